// The time stamp of every log line and of every queue-entry header:
// "mm-dd-yyyy hh:mm:ss" followed directly by the fraction of the current
// second when the single-precision seconds-since-midnight reading is not
// whole (".5", ".296875"; at most seven significant digits, no leading zero,
// trailing zeros dropped). hh:mm:ss is the time of day, so a stamp never
// shows the next second. Late in the day the fraction moves in steps of
// 1/128 second, because the reading is single precision.
#pragma once

#include <string>

#include "platform/env.h"

namespace carob::platform {

std::string FormatClockStamp(const WallTime& t);
std::string ClockStamp(Env& env);
// "mm-dd-yyyy" and "hh:mm:ss" of a reading.
std::string FormatDate(const WallTime& t);
std::string FormatTime(const WallTime& t);

}  // namespace carob::platform
