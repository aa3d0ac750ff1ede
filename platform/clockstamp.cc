#include "platform/clockstamp.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

namespace carob::platform {

namespace {

// The fractional part of a single-precision reading as ".ddd": at most seven
// significant digits, no leading zero, trailing zeros dropped, never an
// exponent. Empty for a whole number.
std::string FractionText(float frac) {
  if (!(frac > 0.0f)) return "";
  // Let printf do the rounding to seven significant digits, then write the
  // digits out positionally.
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.6e", static_cast<double>(frac));
  // buf reads d.dddddde-XX
  std::string digits;
  digits.push_back(buf[0]);
  const char* p = buf + 2;
  while (*p >= '0' && *p <= '9') digits.push_back(*p++);
  int exponent = (*p == 'e' || *p == 'E') ? std::atoi(p + 1) : 0;
  if (exponent >= 0) {
    // Only a fraction just below one second rounds up to 1 here; a stamp
    // must not read as the next second, so it keeps the largest fraction.
    return ".9999999";
  }
  std::string out = ".";
  out.append(static_cast<size_t>(-exponent - 1), '0');
  out += digits;
  while (out.back() == '0') out.pop_back();
  return out;
}

}  // namespace

std::string FormatDate(const WallTime& t) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02d-%02d-%04d", t.month, t.day, t.year);
  return buf;
}

std::string FormatTime(const WallTime& t) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", t.hour, t.minute, t.second);
  return buf;
}

std::string FormatClockStamp(const WallTime& t) {
  // hh:mm:ss is the time of day; only the fraction comes from the
  // single-precision reading.
  long secs = static_cast<long>(std::floor(t.seconds_since_midnight));
  if (secs < 0) secs = 0;
  if (secs > 86399) secs = 86399;
  const float whole = static_cast<float>(secs);  // exact below 2^24
  float reading = static_cast<float>(t.seconds_since_midnight);
  if (reading >= whole + 1.0f) {
    // In the last sliver of a second the reading can round up to the next
    // whole one (to 86400 just before midnight). The stamp stays in its own
    // second with the largest fraction the reading can hold there, so stamps
    // keep their order.
    reading = std::nextafter(whole + 1.0f, 0.0f);
  }
  // Lines written in a burst mostly share their single-precision reading
  // (late in the day it moves in steps of 1/128 second): the stamp of the
  // last reading is kept and not formatted again.
  struct Reading {
    int year, month, day;
    long secs;
    float reading;
    bool operator==(const Reading&) const = default;
  };
  thread_local std::optional<Reading> last;
  thread_local std::string last_stamp;
  const Reading now{t.year, t.month, t.day, secs, reading};
  if (last == now) return last_stamp;
  WallTime shown = t;
  shown.hour = static_cast<int>(secs / 3600);
  shown.minute = static_cast<int>((secs / 60) % 60);
  shown.second = static_cast<int>(secs % 60);
  last = now;
  last_stamp = FormatDate(shown) + " " + FormatTime(shown) + FractionText(reading - whole);
  return last_stamp;
}

std::string ClockStamp(Env& env) { return FormatClockStamp(env.Now()); }

}  // namespace carob::platform
