// The real clock on POSIX: the local time, to the nanosecond.
#include <cerrno>
#include <ctime>

#include "platform/env.h"

namespace carob::platform {

WallTime SystemClock::Now() {
  timespec ts{};
  ::clock_gettime(CLOCK_REALTIME, &ts);
  std::tm local{};
  time_t secs = ts.tv_sec;
  ::localtime_r(&secs, &local);
  WallTime t;
  t.year = local.tm_year + 1900;
  t.month = local.tm_mon + 1;
  t.day = local.tm_mday;
  t.hour = local.tm_hour;
  t.minute = local.tm_min;
  // A leap second reads as the last ordinary second of its minute.
  t.second = local.tm_sec > 59 ? 59 : local.tm_sec;
  t.seconds_since_midnight =
      t.hour * 3600.0 + t.minute * 60.0 + t.second + static_cast<double>(ts.tv_nsec) / 1e9;
  return t;
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
