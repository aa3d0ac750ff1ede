// Helpers for the platform tests: a fresh root with an Env over it, what Env
// calls hand out, environment variables set for one test, and the exit of a
// forked child. (A test and its children signal each other with marker files
// and the kit's WaitUntil.)
#pragma once

#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "platform/env.h"
#include "tests/support/world.h"

namespace carob::testing {

// A fresh root and an Env over it.
struct EnvOverRoot : ::testing::Test {
  TempRoot root;
  std::unique_ptr<platform::Env> env = MakeTestEnv(root);
};

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

// Waits for a forked child and returns its exit code (-1 when it did not exit).
inline int WaitExit(pid_t pid) {
  int status = 0;
  if (TEMP_FAILURE_RETRY(::waitpid(pid, &status, 0)) < 0) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace carob::testing
