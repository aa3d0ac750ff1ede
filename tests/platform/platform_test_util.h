// Helpers for the platform tests: environment variables set for one test,
// and small multi-process plumbing.
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "platform/env.h"

namespace carob::testing {

// What an Env call hands back, or null when it failed (the causes of
// failures are checked by the status tests).
inline std::unique_ptr<platform::File> Opened(platform::Env& env, const std::string& path,
                                              platform::OpenMode mode) {
  std::unique_ptr<platform::File> file;
  (void)env.Open(path, mode, &file);
  return file;
}
inline std::unique_ptr<platform::File> OpenedLocked(platform::Env& env, const std::string& path,
                                                    platform::OpenMode mode) {
  std::unique_ptr<platform::File> file;
  (void)env.OpenLocked(path, mode, &file);
  return file;
}
inline std::unique_ptr<platform::LockFile> Locked(platform::Env& env, const std::string& path) {
  std::unique_ptr<platform::LockFile> lock;
  (void)env.TryLock(path, &lock);
  return lock;
}
inline std::unique_ptr<platform::LockFile> HeldReplacement(platform::Env& env,
                                                           const std::string& path,
                                                           std::string_view bytes) {
  std::unique_ptr<platform::LockFile> held;
  (void)env.ReplaceContentsHeld(path, bytes, &held);
  return held;
}

// Sets (or unsets, with nullopt) an environment variable and restores it.
class ScopedEnvVar {
 public:
  ScopedEnvVar(std::string name, std::optional<std::string> value) : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str())) old_ = old;
    if (value) {
      ::setenv(name_.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  ~ScopedEnvVar() {
    if (old_) {
      ::setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      ::unsetenv(name_.c_str());
    }
  }
  ScopedEnvVar(const ScopedEnvVar&) = delete;
  ScopedEnvVar& operator=(const ScopedEnvVar&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// A one-way pipe for "ready"/"go" signals between a parent and a forked
// child.
class SignalPipe {
 public:
  SignalPipe() {
    if (::pipe(fds_) != 0) fds_[0] = fds_[1] = -1;
  }
  ~SignalPipe() {
    CloseRead();
    CloseWrite();
  }
  void Send(char c = '!') { (void)!::write(fds_[1], &c, 1); }
  // Waits for one byte; false when the other side closed without sending.
  bool Wait() {
    char c;
    ssize_t n;
    do {
      n = ::read(fds_[0], &c, 1);
    } while (n < 0 && errno == EINTR);
    return n == 1;
  }
  void CloseRead() {
    if (fds_[0] >= 0) ::close(fds_[0]);
    fds_[0] = -1;
  }
  void CloseWrite() {
    if (fds_[1] >= 0) ::close(fds_[1]);
    fds_[1] = -1;
  }

 private:
  int fds_[2];
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
