// Child processes for the databank's multi-process tests.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "tests/support/environment.h"

namespace carob::testing {

// A started program whose standard output the test reads line by line.
class Child {
 public:
  // Starts argv[0] with the arguments, the test's environment plus `extra`
  // ("NAME=value" texts).
  explicit Child(const std::vector<std::string>& argv, const std::vector<std::string>& extra = {}) {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    std::vector<std::string> arg_text = argv;
    std::vector<char*> args = CStrings(arg_text);
    std::vector<std::pair<std::string, std::string>> set;
    for (const auto& x : extra) set.emplace_back(x.substr(0, x.find('=')), x.substr(x.find('=') + 1));
    std::vector<std::string> env_text = ChildEnvironment(set);
    std::vector<char*> envp = CStrings(env_text);
    if (::posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    out_ = fds[0];
  }
  ~Child() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      Wait();
    }
    if (out_ >= 0) ::close(out_);
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  bool started() const { return pid_ > 0; }
  // The next line of output without its end; "" at its end or after
  // `limit_ms` without a line (a bound for a hung child, not a measure).
  std::string ReadLine(int limit_ms = 30000) {
    for (;;) {
      size_t nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return line;
      }
      pollfd p{out_, POLLIN, 0};
      if (::poll(&p, 1, limit_ms) <= 0) return {};
      char chunk[256];
      ssize_t n = ::read(out_, chunk, sizeof chunk);
      if (n <= 0) return {};
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }
  void Kill() {
    if (pid_ > 0 && !reaped_) ::kill(pid_, SIGKILL);
  }
  // True once the child has ended (it is then reaped).
  bool Exited() {
    if (pid_ <= 0 || reaped_) return true;
    int st = 0;
    if (::waitpid(pid_, &st, WNOHANG) != pid_) return false;
    reaped_ = true;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return true;
  }
  // The exit code, or 128 + the signal.
  int Wait() {
    if (pid_ <= 0) return -1;
    if (reaped_) return status_;
    int st = 0;
    while (::waitpid(pid_, &st, 0) < 0 && errno == EINTR) {
    }
    reaped_ = true;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return status_;
  }
  pid_t pid() const { return pid_; }
  // Everything the child writes from here until it closes its output.
  std::string ReadToEnd() {
    std::string all = buffer_;
    buffer_.clear();
    char chunk[4096];
    for (;;) {
      ssize_t n = ::read(out_, chunk, sizeof chunk);
      if (n > 0) {
        all.append(chunk, static_cast<size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        return all;
      }
    }
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  bool reaped_ = false;
  int status_ = -1;
  std::string buffer_;
};

}  // namespace carob::testing
