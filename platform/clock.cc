#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <ctime>

#include "platform/env.h"

namespace carob::platform {

namespace {

constexpr double kSecondsPerDay = 86400.0;

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (m < 1 || m > 12) return 31;
  return (m == 2 && IsLeapYear(y)) ? 29 : kDays[m - 1];
}

void NextDay(WallTime& t) {
  if (++t.day > DaysInMonth(t.year, t.month)) {
    t.day = 1;
    if (++t.month > 12) {
      t.month = 1;
      ++t.year;
    }
  }
}

void PreviousDay(WallTime& t) {
  if (--t.day < 1) {
    if (--t.month < 1) {
      t.month = 12;
      --t.year;
    }
    t.day = DaysInMonth(t.year, t.month);
  }
}

// Sets hh:mm:ss from seconds_since_midnight, which lies in [0, 86400).
void SplitTimeOfDay(WallTime& t) {
  int whole = static_cast<int>(std::floor(t.seconds_since_midnight));
  if (whole < 0) whole = 0;
  if (whole > 86399) whole = 86399;
  t.hour = whole / 3600;
  t.minute = (whole / 60) % 60;
  t.second = whole % 60;
}

// The seconds-since-midnight reading is what the clock is; hh:mm:ss follow
// it. A reading given only as hh:mm:ss (seconds left at 0) is filled in.
WallTime Normalized(WallTime t) {
  if (t.seconds_since_midnight == 0 && (t.hour || t.minute || t.second)) {
    t.seconds_since_midnight = t.hour * 3600.0 + t.minute * 60.0 + t.second;
  }
  return t;
}

}  // namespace

ManualClock::ManualClock(WallTime start) : now_(Normalized(start)) { Advance(0); }

WallTime ManualClock::Now() { return now_; }

void ManualClock::Set(WallTime t) {
  now_ = Normalized(t);
  Advance(0);
}

void ManualClock::Advance(double seconds) {
  double s = now_.seconds_since_midnight + seconds;
  while (s >= kSecondsPerDay) {
    s -= kSecondsPerDay;
    NextDay(now_);
  }
  while (s < 0) {
    s += kSecondsPerDay;
    PreviousDay(now_);
  }
  now_.seconds_since_midnight = s;
  SplitTimeOfDay(now_);
}

// A 32-bit linear congruential generator whose top 24 bits make the number:
// small, fast and the same on every machine, which is all the swap-name
// logic needs.
void LcgRandom::Seed(float seed) {
  uint32_t bits = 0;
  static_assert(sizeof(bits) == sizeof(seed));
  std::memcpy(&bits, &seed, sizeof(bits));
  // Spread the low bits of the clock reading over the whole state, so that
  // readings a fraction of a second apart start different sequences.
  state_ = bits ^ (bits >> 16) ^ 0x5DEECE66u;
  state_ *= 0x9E3779B1u;
}

float LcgRandom::Next() {
  state_ = state_ * 1664525u + 1013904223u;
  return static_cast<float>(state_ >> 8) / 16777216.0f;
}

}  // namespace carob::platform
