// The stop of orb's long-running commands: SIGTERM and SIGINT cut a wait
// short and are remembered, a wake cuts one wait short; other signals and
// the earlier handling stay.
#include "platform/signals.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <thread>

namespace carob::platform {
namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

TEST(StopSignalsTest, EachStopSignalCutsTheWaitShortAndStays) {
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(sig);
    StopSignals stop;
    EXPECT_FALSE(stop.requested());
    EXPECT_FALSE(StopRequested());
    auto start = Clock::now();
    EXPECT_FALSE(stop.WaitFor(0.05));  // nothing arrives: the whole time passes
    EXPECT_GE(SecondsSince(start), 0.045);

    // Sent from another thread while the wait runs.
    std::thread sender([sig] {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      ::kill(::getpid(), sig);
    });
    start = Clock::now();
    EXPECT_TRUE(stop.WaitFor(30));
    sender.join();
    EXPECT_LT(SecondsSince(start), 10);
    EXPECT_TRUE(StopRequested());
    EXPECT_TRUE(stop.requested());
    EXPECT_TRUE(stop.WaitFor(30));  // a stop stays requested
  }
}

TEST(StopSignalsTest, AWakeEndsOneWaitAndAsksNoStop) {
  StopSignals stop;
  // From another thread while the wait runs.
  std::thread waker([&stop] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    stop.Wake();
  });
  auto start = Clock::now();
  EXPECT_FALSE(stop.WaitFor(30));
  waker.join();
  EXPECT_LT(SecondsSince(start), 10);
  // Made before the wait: the wait ends at once.
  stop.Wake();
  start = Clock::now();
  EXPECT_FALSE(stop.WaitFor(30));
  EXPECT_LT(SecondsSince(start), 10);
  // Used up: the next wait runs its whole time.
  start = Clock::now();
  EXPECT_FALSE(stop.WaitFor(0.05));
  EXPECT_GE(SecondsSince(start), 0.045);
  EXPECT_FALSE(StopRequested());
}

TEST(StopSignalsTest, RestoresTheHandlingItFoundAndLeavesOtherSignals) {
  struct sigaction before {}, usr1 {}, during {}, after {};
  ASSERT_EQ(::sigaction(SIGTERM, nullptr, &before), 0);
  ASSERT_EQ(::sigaction(SIGUSR1, nullptr, &usr1), 0);
  {
    StopSignals stop;
    ASSERT_EQ(::sigaction(SIGTERM, nullptr, &during), 0);
    EXPECT_NE(during.sa_handler, before.sa_handler);
    struct sigaction usr1_during {};
    ASSERT_EQ(::sigaction(SIGUSR1, nullptr, &usr1_during), 0);
    EXPECT_EQ(usr1_during.sa_handler, usr1.sa_handler);  // not caught by the stop
  }
  ASSERT_EQ(::sigaction(SIGTERM, nullptr, &after), 0);
  EXPECT_EQ(after.sa_handler, before.sa_handler);
}

}  // namespace
}  // namespace carob::platform
