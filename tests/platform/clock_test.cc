#include <gtest/gtest.h>

#include <set>
#include <utility>

#include "platform/clockstamp.h"
#include "platform/env.h"
#include "tests/support/world.h"

namespace carob::platform {
namespace {

// A reading on 12-07-2026 given by its seconds since midnight alone.
WallTime At(double seconds_since_midnight) {
  return WallTime{2026, 12, 7, 0, 0, 0, seconds_since_midnight};
}

TEST(ClockStampTest, WholeSecondsHaveNoFractionAndFractionsNoLeadingZero) {
  const double base = 8 * 3600 + 29 * 60 + 45;
  const WallTime jan{2027, 1, 2, 0, 0, 0, 3600 * 13 + 5};
  const WallTime next_day{2027, 1, 3, 0, 0, 0, 3600 * 13 + 5};
  const std::pair<WallTime, const char*> cases[] = {
      {At(base), "12-07-2026 08:29:45"},
      {At(0), "12-07-2026 00:00:00"},
      // The same reading on the next day, then the same day again: each
      // call shows its own date, however the stamps before it were made.
      {jan, "01-02-2027 13:00:05"},
      {next_day, "01-03-2027 13:00:05"},
      {jan, "01-02-2027 13:00:05"},
      {At(base + 0.5), "12-07-2026 08:29:45.5"},
      {At(base + 19.0 / 64), "12-07-2026 08:29:45.296875"},
      {At(base + 0.53125), "12-07-2026 08:29:45.53125"},
      // Early in the day single precision keeps more digits; at most seven
      // significant ones are written, never an exponent.
      {At(0.1), "12-07-2026 00:00:00.1"},
      {At(0.00001), "12-07-2026 00:00:00.00001"},
      {At(1.0 / 3), "12-07-2026 00:00:00.3333333"},
  };
  for (const auto& [time, stamp] : cases) EXPECT_EQ(FormatClockStamp(time), stamp);
}

TEST(ClockStampTest, TimeOfDayFromTheClockFractionFromTheSinglePrecisionReading) {
  struct Case {
    int h, m;
    double s;
    const char* stamp;
  };
  // After 16:00 the reading moves in 1/256 s steps, after 18:12 in 1/128 s
  // steps; in the last sliver of a second it rounds up to the next whole one,
  // yet the stamp stays in its own second with the largest step below it.
  const Case cases[] = {
      {16, 17, 6.5, "12-07-2026 16:17:06.5"},
      {16, 17, 6.996, "12-07-2026 16:17:06.9960938"},
      {16, 17, 6.999, "12-07-2026 16:17:06.9960938"},
      {16, 17, 7, "12-07-2026 16:17:07"},
      {8, 29, 45.99999999, "12-07-2026 08:29:45.9980469"},
      {23, 59, 59.3, "12-07-2026 23:59:59.296875"},
      {23, 59, 59.3 + 1.0 / 128, "12-07-2026 23:59:59.3046875"},
      {23, 59, 59.99, "12-07-2026 23:59:59.9921875"},
      {23, 59, 59.999, "12-07-2026 23:59:59.9921875"},
      {23, 59, 59.9999999, "12-07-2026 23:59:59.9921875"},
      // The largest fraction below one second does not round up to a whole one.
      {0, 0, 0.99999994, "12-07-2026 00:00:00.9999999"},
  };
  testing::TempRoot root;
  auto clock = testing::MakeManualClock();
  auto env = testing::MakeTestEnv(root, clock);
  for (const Case& c : cases) {
    clock->Set(platform::WallTime{2026, 12, 7, c.h, c.m, static_cast<int>(c.s),
                                  c.h * 3600.0 + c.m * 60.0 + c.s});
    EXPECT_EQ(ClockStamp(*env), c.stamp) << c.h << ":" << c.m << ":" << c.s;
  }
  std::set<std::string> seen;
  for (int i = 0; i < 128; ++i) seen.insert(FormatClockStamp(At(70000 + i / 1000.0)));
  // 128 readings one millisecond apart fall into at most 17 steps of 1/128 s.
  EXPECT_LE(seen.size(), 17u);
}

TEST(ClockStampTest, StampOfAnEnvUsesItsClock) {
  testing::TempRoot root;
  auto clock = testing::MakeManualClock(8, 29, 45.53125);
  auto env = testing::MakeTestEnv(root, clock);
  EXPECT_EQ(ClockStamp(*env), "12-07-2026 08:29:45.53125");
  EXPECT_FLOAT_EQ(env->Timer(), 30585.53125f);
  clock->Advance(0.46875);
  EXPECT_EQ(ClockStamp(*env), "12-07-2026 08:29:46");
  EXPECT_EQ(FormatDate(env->Now()), "12-07-2026");
  EXPECT_EQ(FormatTime(env->Now()), "08:29:46");
}

TEST(ManualClockTest, AdvanceRollsTimeAndDate) {
  auto clock = testing::MakeManualClock(23, 59, 59);
  WallTime t = clock->Now();
  t.month = 12;
  t.day = 31;
  clock->Set(t);
  clock->Advance(2.5);
  WallTime n = clock->Now();
  EXPECT_EQ(n.year, 2027);
  EXPECT_EQ(n.month, 1);
  EXPECT_EQ(n.day, 1);
  EXPECT_EQ(n.hour, 0);
  EXPECT_EQ(n.minute, 0);
  EXPECT_EQ(n.second, 1);
  EXPECT_DOUBLE_EQ(n.seconds_since_midnight, 1.5);

  clock->Advance(3600 * 2 + 61);
  n = clock->Now();
  EXPECT_EQ(n.hour, 2);
  EXPECT_EQ(n.minute, 1);
  EXPECT_EQ(n.second, 2);
  EXPECT_EQ(n.day, 1);

  // Leap day and a plain February.
  WallTime feb{2028, 2, 28, n.hour, n.minute, n.second, 86000};
  clock->Set(feb);
  clock->Advance(1000);
  EXPECT_EQ(clock->Now().month, 2);
  EXPECT_EQ(clock->Now().day, 29);
  feb.year = 2027;
  clock->Set(feb);
  clock->Advance(1000);
  EXPECT_EQ(clock->Now().month, 3);
  EXPECT_EQ(clock->Now().day, 1);

  // Sleep moves a manual clock instead of waiting; several days at once.
  clock->Sleep(86400.0 * 3);
  EXPECT_EQ(clock->Now().month, 3);
  EXPECT_EQ(clock->Now().day, 4);
}

TEST(ManualClockTest, TheReadingDecidesTheTimeOfDay) {
  ManualClock clock(At(3723.25));  // hh:mm:ss left at their defaults
  EXPECT_EQ(clock.Now().hour, 1);
  EXPECT_EQ(clock.Now().minute, 2);
  EXPECT_EQ(clock.Now().second, 3);
  // A reading given as hh:mm:ss only is filled in.
  clock.Set(WallTime{2026, 12, 7, 8, 29, 45, 0});
  EXPECT_DOUBLE_EQ(clock.Now().seconds_since_midnight, 30585.0);
  // A reading past midnight is carried into the date.
  clock.Set(At(86400.0 + 10));
  EXPECT_EQ(clock.Now().day, 8);
  EXPECT_EQ(clock.Now().second, 10);
  EXPECT_FLOAT_EQ(static_cast<float>(clock.Now().seconds_since_midnight), 10.0f);
}

TEST(SystemClockTest, ReadingIsConsistent) {
  SystemClock clock;
  WallTime t = clock.Now();
  EXPECT_GE(t.seconds_since_midnight, 0.0);
  EXPECT_LT(t.seconds_since_midnight, 86400.0);
  EXPECT_EQ(static_cast<int>(t.seconds_since_midnight),
            t.hour * 3600 + t.minute * 60 + t.second);
  EXPECT_GE(t.month, 1);
  EXPECT_LE(t.month, 12);
  EXPECT_GE(t.year, 2024);
}

TEST(RandomTest, SeededSequencesRepeatAndStayInRange) {
  LcgRandom a, b, c;
  a.Seed(30585.53125f);
  b.Seed(30585.53125f);
  c.Seed(30585.5390625f);
  bool differs = false;
  std::set<int> buckets;
  for (int i = 0; i < 1000; ++i) {
    float x = a.Next();
    EXPECT_EQ(x, b.Next());
    if (x != c.Next()) differs = true;
    EXPECT_GE(x, 0.0f);
    EXPECT_LT(x, 1.0f);
    buckets.insert(static_cast<int>(x * 16));
  }
  EXPECT_TRUE(differs);
  EXPECT_EQ(buckets.size(), 16u);  // spreads over the whole range
}

}  // namespace
}  // namespace carob::platform
