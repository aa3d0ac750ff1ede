// The real clock on Windows: the system's local time, to the millisecond.
#include <windows.h>

#include <cmath>

#include "platform/env.h"

namespace carob::platform {

WallTime SystemClock::Now() {
  SYSTEMTIME local{};
  ::GetLocalTime(&local);
  WallTime t;
  t.year = local.wYear;
  t.month = local.wMonth;
  t.day = local.wDay;
  t.hour = local.wHour;
  t.minute = local.wMinute;
  t.second = local.wSecond > 59 ? 59 : local.wSecond;
  t.seconds_since_midnight =
      t.hour * 3600.0 + t.minute * 60.0 + t.second + local.wMilliseconds / 1000.0;
  return t;
}

void SystemClock::Sleep(double seconds) {
  if (!(seconds > 0)) return;
  ::Sleep(static_cast<DWORD>(std::min(std::ceil(seconds * 1000.0), 4.0e9)));
}

}  // namespace carob::platform
