// Starting the probe program (and other programs) as real processes, and
// waiting on their event logs.
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/environment.h"

namespace carob::testing {

inline std::string ReadText(const std::string& native_path) {
  std::ifstream in(native_path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline std::vector<std::string> ReadLines(const std::string& native_path) {
  std::vector<std::string> lines;
  std::istringstream in(ReadText(native_path));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// Waits (at most `limit`) until `ok` holds; the limit is only a guard
// against a hung test, never a measure.
template <class Pred>
bool WaitFor(Pred ok, std::chrono::seconds limit = std::chrono::seconds(60)) {
  auto end = std::chrono::steady_clock::now() + limit;
  while (!ok()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return true;
}

inline bool HasLine(const std::string& log, const std::string& line) {
  for (const std::string& l : ReadLines(log)) {
    if (l == line) return true;
  }
  return false;
}

// This process's environment with `changes` applied: "NAME=value" adds or
// replaces NAME, "NAME=" with nothing after it removes it.
inline std::vector<std::string> MergedEnvironment(const std::vector<std::string>& changes) {
  std::vector<std::pair<std::string, std::string>> set;
  std::vector<std::string> unset;
  for (const std::string& c : changes) {
    const size_t eq = c.find('=');
    if (eq + 1 == c.size()) {
      unset.push_back(c.substr(0, eq));
    } else {
      set.emplace_back(c.substr(0, eq), c.substr(eq + 1));
    }
  }
  return ChildEnvironment(set, unset);
}

// Spawns argv[0] (searched on PATH when it has no "/"); -1 on failure.
inline pid_t Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   const posix_spawn_file_actions_t* actions = nullptr) {
  std::vector<std::string> vars = MergedEnvironment(env);
  std::vector<char*> cargv, cenv;
  for (const std::string& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
  cargv.push_back(nullptr);
  for (const std::string& v : vars) cenv.push_back(const_cast<char*>(v.c_str()));
  cenv.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawnp(&pid, cargv[0], actions, nullptr, cargv.data(), cenv.data()) != 0) return -1;
  return pid;
}

// A child process; killed and reaped if the test leaves early.
class Child {
 public:
  Child(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
        const posix_spawn_file_actions_t* actions = nullptr)
      : pid_(Spawn(argv, env, actions)) {}
  ~Child() {
    if (pid_ > 0 && !reaped_) {
      ::kill(pid_, SIGKILL);
      int st;
      ::waitpid(pid_, &st, 0);
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  bool started() const { return pid_ > 0; }
  void Signal(int sig) {
    if (pid_ > 0 && !reaped_) ::kill(pid_, sig);
  }
  // True once the child has ended (it is reaped then).
  bool Ended() {
    if (pid_ <= 0) return true;
    if (!reaped_) {
      int st;
      if (::waitpid(pid_, &st, WNOHANG) == pid_) {
        status_ = st;
        reaped_ = true;
      }
    }
    return reaped_;
  }
  // Waits for the exit; the wait status, or -1 when it did not end in time.
  int Wait(std::chrono::seconds limit = std::chrono::seconds(60)) {
    if (pid_ <= 0) return -1;
    return WaitFor([&] { return Ended(); }, limit) ? status_ : -1;
  }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = -1;
};

inline bool ExitedWith(int status, int code) {
  return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

// Runs a program to its end with its standard output in `out` (standard
// error is dropped); its exit code, or -1 when it could not run.
inline int RunCapture(const std::vector<std::string>& argv, std::string* out,
                      const std::vector<std::string>& env = {}) {
  char tmpl[] = "/tmp/carob-out-XXXXXX";
  int fd = ::mkstemp(tmpl);
  if (fd < 0) return -1;
  ::close(fd);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, tmpl, O_WRONLY | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  pid_t pid = Spawn(argv, env, &actions);
  posix_spawn_file_actions_destroy(&actions);
  int status = -1;
  if (pid > 0) ::waitpid(pid, &status, 0);
  if (out != nullptr) *out = ReadText(tmpl);
  ::unlink(tmpl);
  if (pid <= 0 || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

}  // namespace carob::testing
