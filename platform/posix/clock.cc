// The real clock on POSIX: the local time, to the nanosecond.
#include <cerrno>
#include <ctime>

#include "platform/env.h"
#include "platform/env_base.h"

namespace carob::platform {

WallTime SystemClock::Now() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  std::tm local{};
  time_t secs = ts.tv_sec;
  ::localtime_r(&secs, &local);
  return WallTimeOf(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                    local.tm_min, local.tm_sec, static_cast<double>(ts.tv_nsec) / 1e9);
}

void SystemClock::Sleep(double seconds) {
  if (!(seconds > 0)) return;
  timespec ts{};
  ts.tv_sec = static_cast<time_t>(seconds);
  ts.tv_nsec = static_cast<long>((seconds - static_cast<double>(ts.tv_sec)) * 1e9);
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

}  // namespace carob::platform
