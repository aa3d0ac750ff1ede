// Starting the probe program (and other programs) as real processes, and
// waiting on their event logs.
#pragma once

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

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

// A child process; killed and reaped if the test leaves early.
class Child {
 public:
  // `env` adds or replaces variables ("NAME=value"); "NAME=" with nothing
  // after it removes NAME.
  Child(const std::vector<std::string>& argv, const std::vector<std::string>& env = {}) {
    std::vector<std::string> vars;
    for (char** e = environ; *e != nullptr; ++e) {
      std::string v = *e;
      bool replaced = false;
      for (const std::string& o : env) {
        if (v.compare(0, o.find('=') + 1, o, 0, o.find('=') + 1) == 0) replaced = true;
      }
      if (!replaced) vars.push_back(v);
    }
    for (const std::string& o : env) {
      if (o.back() != '=') vars.push_back(o);
    }
    std::vector<char*> cargv, cenv;
    for (const std::string& a : argv) cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    for (const std::string& v : vars) cenv.push_back(const_cast<char*>(v.c_str()));
    cenv.push_back(nullptr);
    if (::posix_spawn(&pid_, cargv[0], nullptr, nullptr, cargv.data(), cenv.data()) != 0) pid_ = -1;
  }
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
  // Waits for the exit; the wait status, or -1 when it did not end in time.
  int Wait(std::chrono::seconds limit = std::chrono::seconds(60)) {
    if (pid_ <= 0) return -1;
    if (reaped_) return status_;
    bool done = WaitFor(
        [&] {
          int st;
          pid_t r = ::waitpid(pid_, &st, WNOHANG);
          if (r == pid_) {
            status_ = st;
            reaped_ = true;
          }
          return reaped_;
        },
        limit);
    return done ? status_ : -1;
  }

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = -1;
};

inline bool ExitedWith(int status, int code) {
  return status >= 0 && WIFEXITED(status) && WEXITSTATUS(status) == code;
}

}  // namespace carob::testing
