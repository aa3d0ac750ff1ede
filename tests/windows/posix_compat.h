// Read before every source of the Windows suite (-include): the few POSIX
// calls that the portable tests make about their own set-up, done the
// Windows way, so that the tests' sources stay one for both systems.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <thread>

inline int setenv(const char* name, const char* value, int /*overwrite*/) {
  return ::_putenv_s(name, value);
}
inline int unsetenv(const char* name) { return ::_putenv_s(name, ""); }
// Nobody is root here: tests take the way of an ordinary user.
inline unsigned geteuid() { return 1000; }

#ifndef SIGALRM
#define SIGALRM 14
#endif
// A watchdog in place of the alarm signal: after `seconds` the test program
// ends with 3, as the tests' SIGALRM handlers do; alarm(0) or a new alarm
// calls the previous one off.
inline unsigned alarm(unsigned seconds) {
  static std::atomic<unsigned> generation{0};
  const unsigned mine = ++generation;
  if (seconds == 0) return 0;
  std::thread([mine, seconds] {
    std::this_thread::sleep_for(std::chrono::seconds(seconds));
    if (generation != mine) return;
    std::fputs("watchdog: a wait did not end, giving up\n", stderr);
    std::_Exit(3);
  }).detach();
  return 0;
}

// There is no memory file system to make a folder on.
inline char* mkdtemp(char* /*tmpl*/) {
  errno = ENOSYS;
  return nullptr;
}

// The disk quota error has no number of its own in the Windows C library;
// the tests that inject it use the one the POSIX systems give it.
#ifndef EDQUOT
#define EDQUOT 122
#endif
