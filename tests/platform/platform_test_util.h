// Helpers for the platform tests: what Env calls hand out, environment
// variables set for one test, and plumbing between a test and its forked
// children.
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "platform/env.h"

namespace carob::testing {

// What an Env call hands back, or null when it failed.
template <class T, class Call>
std::unique_ptr<T> HandedOut(Call call) {
  std::unique_ptr<T> out;
  (void)call(&out);
  return out;
}
inline auto Opened(platform::Env& env, const std::string& path, platform::OpenMode mode) {
  return HandedOut<platform::File>([&](auto* f) { return env.Open(path, mode, f); });
}
inline auto OpenedLocked(platform::Env& env, const std::string& path, platform::OpenMode mode) {
  return HandedOut<platform::File>([&](auto* f) { return env.OpenLocked(path, mode, f); });
}
inline auto Locked(platform::Env& env, const std::string& path) {
  return HandedOut<platform::LockFile>([&](auto* l) { return env.TryLock(path, l); });
}

// Sets (or unsets, with nullopt) an environment variable and restores it.
class ScopedEnvVar {
 public:
  ScopedEnvVar(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    Set(value);
  }
  ~ScopedEnvVar() { Set(old_); }
  ScopedEnvVar(const ScopedEnvVar&) = delete;
  ScopedEnvVar& operator=(const ScopedEnvVar&) = delete;

 private:
  void Set(const std::optional<std::string>& value) {
    value ? ::setenv(name_.c_str(), value->c_str(), 1) : ::unsetenv(name_.c_str());
  }
  std::string name_;
  std::optional<std::string> old_;
};

// A one-way pipe for "ready" and "go" between a parent and a forked child.
class SignalPipe {
 public:
  SignalPipe() { (void)!::pipe(fds_); }
  ~SignalPipe() {
    for (int fd : fds_) ::close(fd);
  }
  SignalPipe(const SignalPipe&) = delete;
  SignalPipe& operator=(const SignalPipe&) = delete;

  void Send() { (void)!::write(fds_[1], "!", 1); }
  // Waits for one byte; false when the other side ended without sending.
  bool Wait() {
    char c;
    ssize_t n;
    while ((n = ::read(fds_[0], &c, 1)) < 0 && errno == EINTR) {
    }
    return n == 1;
  }
  void CloseWrite() {
    ::close(fds_[1]);
    fds_[1] = -1;
  }

 private:
  int fds_[2] = {-1, -1};
};

// Waits for a child and returns its exit code (-1 when it did not exit).
inline int WaitExit(pid_t pid) {
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace carob::testing
