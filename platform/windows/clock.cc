// The real clock on Windows: the system's local time, to the millisecond.
#include <windows.h>

#include <cmath>

#include "platform/env.h"
#include "platform/env_base.h"

namespace carob::platform {

WallTime SystemClock::Now() {
  SYSTEMTIME local{};
  ::GetLocalTime(&local);
  return WallTimeOf(local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond,
                    local.wMilliseconds / 1000.0);
}

void SystemClock::Sleep(double seconds) {
  if (!(seconds > 0)) return;
  ::Sleep(static_cast<DWORD>(std::min(std::ceil(seconds * 1000.0), 4.0e9)));
}

}  // namespace carob::platform
