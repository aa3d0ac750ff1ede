// The event loop without a display: timers, signals, Load and Unload.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <initializer_list>
#include <string>
#include <thread>
#include <vector>

#include "ui/ui.h"
#include "tests/support/process.h"
#include "tests/support/world.h"

namespace carob::platform::ui {
namespace {

using namespace carob::testing;  // the test kit
using Steady = std::chrono::steady_clock;

// A form with one button and timers of its own, one for each of the given
// intervals (by default one ticking every millisecond), recording what
// happens.
struct Rig {
  Button button{{120, 1440, 1215, 495}, "Think1", nullptr};
  FormDescription form;
  FormEvents events;
  std::vector<std::string> log;
  std::unique_ptr<Toolkit> kit = NewHeadlessToolkit();
  std::vector<Timer> timers;  // never resized: the form points at them
  Timer& t = timers.front();

  explicit Rig(std::initializer_list<int> intervals = {1}) : timers(intervals.size()) {
    form.caption = "CAROB";
    form.client_width = 7110;
    form.client_height = 6000;
    form.buttons = {&button};
    for (size_t i = 0; i < timers.size(); ++i) {
      timers[i].Interval = intervals.begin()[i];
      form.timers.push_back(&timers[i]);
    }
    events.Load = [this] { log.push_back("load"); };
    events.Unload = [this] { log.push_back("unload"); };
  }

  int Run() { return kit->Run(form, events); }
};

TEST(HeadlessLoopTest, TicksFollowIntervalChangesAndStopWhenDisabled) {
  Rig rig({5, 10});
  Timer &t1 = rig.timers[0], &t2 = rig.timers[1];
  t2.Enabled = false;  // started later by t1
  std::vector<Steady::time_point> at;
  std::vector<int> interval_seen;
  int t2_ticks = 0;
  t1.Tick = [&] {
    at.push_back(Steady::now());
    interval_seen.push_back(t1.Interval);
    rig.log.push_back("t1");
    if (at.size() == 1) t1.Interval = 120;  // from the next tick on
    if (at.size() == 3) {
      t1.Enabled = false;
      t2.Enabled = true;
    }
  };
  t2.Tick = [&] {
    ++t2_ticks;
    rig.log.push_back("t2");
    rig.kit->Close();
  };
  Steady::time_point start = Steady::now();
  EXPECT_EQ(rig.Run(), 0);

  EXPECT_EQ(rig.log, (std::vector<std::string>{"load", "t1", "t1", "t1", "t2", "unload"}));
  ASSERT_EQ(at.size(), 3u);
  EXPECT_EQ(interval_seen, (std::vector<int>{5, 120, 120}));
  // A timer never ticks before its interval is up.
  EXPECT_GE(at[0] - start, std::chrono::milliseconds(5));
  EXPECT_GE(at[1] - at[0], std::chrono::milliseconds(120));
  EXPECT_GE(at[2] - at[1], std::chrono::milliseconds(120));
  EXPECT_EQ(t2_ticks, 1);
}

// The interval counts from a tick's start: a tick that outlasts it is
// followed by the next at once, a quick one an interval after it began.
TEST(HeadlessLoopTest, ALongTickIsFollowedAtOnceAQuickOneAnIntervalAfterItBegan) {
  Rig rig({200});
  std::vector<Steady::time_point> began, ended;
  rig.t.Tick = [&] {
    began.push_back(Steady::now());
    if (began.size() == 1) std::this_thread::sleep_for(std::chrono::milliseconds(300));
    if (began.size() == 3) rig.kit->Close();
    ended.push_back(Steady::now());
  };
  EXPECT_EQ(rig.Run(), 0);
  ASSERT_EQ(began.size(), 3u);
  EXPECT_LT(began[1] - ended[0], std::chrono::milliseconds(150)) << "the long tick's follower waited";
  EXPECT_GE(began[2] - began[1], std::chrono::milliseconds(200));
}

TEST(HeadlessLoopTest, IntervalZeroStopsTheTimer) {
  Rig rig({1, 50});
  Timer &t1 = rig.timers[0], &closer = rig.timers[1];
  int ticks = 0, closer_ticks = 0;
  t1.Tick = [&] {
    if (++ticks == 2) t1.Interval = 0;
  };
  closer.Tick = [&] {
    // Let a few closer ticks pass so a stopped timer would have had room.
    if (++closer_ticks == 3) rig.kit->Close();
  };
  EXPECT_EQ(rig.Run(), 0);
  EXPECT_EQ(ticks, 2);
  EXPECT_EQ(closer_ticks, 3);
}

TEST(HeadlessLoopTest, NoTickRunsInsideAnotherTicksYield) {
  Rig rig({1, 1});
  Timer &a = rig.timers[0], &b = rig.timers[1];
  int depth = 0, max_depth = 0, a_ticks = 0, b_ticks = 0;
  auto body = [&](int& count) {
    ++depth;
    max_depth = std::max(max_depth, depth);
    ++count;
    // Yield long enough for both timers to fall due again.
    Steady::time_point until = Steady::now() + std::chrono::milliseconds(15);
    while (Steady::now() < until) rig.kit->Yield();
    --depth;
    if (a_ticks >= 3 && b_ticks >= 3) rig.kit->Close();
  };
  a.Tick = [&] { body(a_ticks); };
  b.Tick = [&] { body(b_ticks); };
  EXPECT_EQ(rig.Run(), 0);
  EXPECT_EQ(max_depth, 1);
  EXPECT_GE(a_ticks, 3);
  EXPECT_GE(b_ticks, 3);
}

TEST(HeadlessLoopTest, TicksRunDuringAClicksYield) {
  Rig rig;
  int ticks = 0, ticks_in_click = 0;
  bool in_click = false;
  rig.t.Tick = [&] {
    ++ticks;
    if (in_click) ++ticks_in_click;
    if (ticks == 1) ::raise(SIGUSR1);
  };
  rig.button.Click = [&] {
    in_click = true;
    int before = ticks;
    while (ticks < before + 3) rig.kit->Yield();
    in_click = false;
    rig.kit->Close();
  };
  EXPECT_EQ(rig.Run(), 0);
  EXPECT_GE(ticks_in_click, 3);
}

TEST(HeadlessSignalTest, Usr1ClicksTheFirstButton) {
  Rig rig;
  Button second{{0, 0, 10, 10}, "Other", nullptr};
  rig.form.buttons.push_back(&second);
  int ticks = 0;
  second.Click = [&] { rig.log.push_back("second clicked"); };
  rig.t.Tick = [&] {
    if (++ticks == 1) ::raise(SIGUSR1);
  };
  rig.button.Click = [&] {
    rig.log.push_back("click");
    rig.kit->Close();
  };
  EXPECT_EQ(rig.Run(), 0);
  EXPECT_EQ(rig.log, (std::vector<std::string>{"load", "click", "unload"}));
}

TEST(HeadlessSignalTest, AClickDuringAYieldReachesTheButtonWhichMayIgnoreIt) {
  Rig rig;
  bool busy = false;
  int ignored = 0, ran = 0;
  rig.t.Tick = [&] {
    if (ran == 0) ::raise(SIGUSR1);
  };
  rig.button.Click = [&] {
    if (busy) {
      ++ignored;
      return;
    }
    busy = true;
    ++ran;
    ::raise(SIGUSR1);  // a second click while the first one works
    for (int i = 0; i < 20 && ignored == 0; ++i) rig.kit->Yield();
    busy = false;
    rig.kit->Close();
  };
  EXPECT_EQ(rig.Run(), 0);
  EXPECT_EQ(ran, 1);
  EXPECT_EQ(ignored, 1);
}

TEST(HeadlessSignalTest, CloseSignalsRunUnloadAndReturn) {
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(sig);
    Rig rig;
    int ticks = 0;
    rig.t.Tick = [&] {
      rig.log.push_back("tick");
      if (++ticks == 2) ::raise(sig);
    };
    EXPECT_EQ(rig.Run(), 0);
    // The tick that raised the signal ends; no tick runs after it.
    EXPECT_EQ(rig.log, (std::vector<std::string>{"load", "tick", "tick", "unload"}));
  }
}

TEST(HeadlessSignalTest, CloseDuringALongClickWaitsForTheClickToEnd) {
  Rig rig;
  int ticks = 0;
  rig.t.Tick = [&] {
    if (++ticks == 1) ::raise(SIGUSR1);
  };
  rig.button.Click = [&] {
    rig.log.push_back("click");
    ::raise(SIGTERM);
    for (int i = 0; i < 10; ++i) rig.kit->Yield();
    rig.log.push_back("click done");
  };
  EXPECT_EQ(rig.Run(), 0);
  EXPECT_EQ(rig.log, (std::vector<std::string>{"load", "click", "click done", "unload"}));
  EXPECT_EQ(ticks, 1);
}

// Load's yields are the registry's waits: what falls due there runs there.
// A signal raised outside a yield waits until Load is over.
TEST(HeadlessSignalTest, LoadsYieldsTakeTicksClicksAndCloses) {
  struct Case {
    const char* name;
    int sig;           // raised inside Load, 0 for none
    bool yield;        // Load then yields until a close is asked for
    std::vector<std::string> log;
    bool closing_in_load;
  } cases[] = {
      {"close in a yield", SIGTERM, true, {"load", "load done", "unload"}, true},
      {"click in a yield", SIGUSR1, true, {"load", "click", "load done", "unload"}, false},
      {"click without a yield", SIGUSR1, false, {"load", "load done", "click", "unload"}, false},
      {"tick in a yield", 0, true, {"load", "tick", "load done", "unload"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Rig rig({c.sig == 0 ? 5 : 60000});  // the interval from the creation on
    Timer& t = rig.t;
    bool closing_in_load = false;
    t.Tick = [&] {
      rig.log.push_back("tick");
      rig.kit->Close();
    };
    rig.button.Click = [&] {
      rig.log.push_back("click");
      rig.kit->Close();
    };
    rig.events.Load = [&] {
      rig.log.push_back("load");
      if (c.sig != 0) ::raise(c.sig);
      // Each yielding case ends in a close; the time only guards a hang.
      const auto until = Steady::now() + std::chrono::seconds(10);
      while (c.yield && Steady::now() < until && !rig.kit->Closing()) rig.kit->Yield();
      closing_in_load = rig.kit->Closing();
      rig.log.push_back("load done");
    };
    EXPECT_EQ(rig.Run(), 0);
    EXPECT_EQ(rig.log, c.log);
    EXPECT_EQ(closing_in_load, c.closing_in_load || c.log[1] != "load done");
    EXPECT_FALSE(rig.kit->Closing()) << "only while Run runs";
  }
}

TEST(HeadlessSignalTest, HandlersAreGivenBackAfterRun) {
  struct sigaction before {};
  ASSERT_EQ(::sigaction(SIGUSR1, nullptr, &before), 0);
  Rig rig;
  rig.t.Tick = [&] { rig.kit->Close(); };
  EXPECT_EQ(rig.Run(), 0);
  struct sigaction after {};
  ASSERT_EQ(::sigaction(SIGUSR1, nullptr, &after), 0);
  EXPECT_EQ(after.sa_handler, before.sa_handler);
}

TEST(HeadlessToolkitTest, ReportsNoWindowAndYieldOutsideRunIsHarmless) {
  auto kit = NewHeadlessToolkit();
  EXPECT_FALSE(kit->HasWindow());
  kit->Yield();
  kit->Close();
  // A Close() before Run does not carry over into it.
  Rig rig;
  rig.kit = std::move(kit);
  int ticks = 0;
  rig.t.Tick = [&] {
    if (++ticks == 2) rig.kit->Close();
  };
  EXPECT_EQ(rig.Run(), 0);
  EXPECT_EQ(ticks, 2);
}

TEST(NewToolkitTest, NoDisplayMeansHeadless) {
  std::string saved = ::getenv("DISPLAY") ? ::getenv("DISPLAY") : "";
  bool had = ::getenv("DISPLAY") != nullptr;
  ::unsetenv("DISPLAY");
  EXPECT_FALSE(NewToolkit()->HasWindow());
  ::setenv("DISPLAY", "", 1);
  EXPECT_FALSE(NewToolkit()->HasWindow());
  if (had) ::setenv("DISPLAY", saved.c_str(), 1);
  else ::unsetenv("DISPLAY");
}

// The probe program as a real process, signalled from outside.
class HeadlessProcessTest : public ::testing::Test {
 protected:
  std::string probe_ = std::string(CAROB_BIN_DIR) + "/ui_probe";
  TempRoot root_;
  std::string log_ = root_.path() + "/events.log";
};

TEST_F(HeadlessProcessTest, SignalsFromOutsideClickAndClose) {
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(sig);
    std::remove(log_.c_str());
    Process child(Launch{{probe_, log_, "headless", "interval=20"}, {"DISPLAY="}});
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(WaitUntil([&] { return HasLine(log_, "tick 1 20"); }));
    child.Signal(SIGUSR1);
    ASSERT_TRUE(WaitUntil([&] { return HasLine(log_, "click done"); }));
    child.Signal(sig);
    int status = child.Wait();
    EXPECT_EQ(status, 0) << status;
    std::vector<std::string> lines = ReadLines(log_);
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2], "unload");
    EXPECT_EQ(lines.back(), "exit 0");
    EXPECT_EQ(lines.front(), "load headless");
  }
}

TEST_F(HeadlessProcessTest, NoDisplayGivesTheHeadlessLoop) {
  // An unreachable display: the program still runs, without a window.
  Process child(Launch{{probe_, log_, "interval=10", "close-after=2"}, {"DISPLAY=:987"}});
  ASSERT_TRUE(child.started());
  EXPECT_EQ(child.Wait(), 0);
  std::vector<std::string> lines = ReadLines(log_);
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), "load headless");
  EXPECT_TRUE(HasLine(log_, "tick 2 10"));
  EXPECT_TRUE(HasLine(log_, "unload"));
}

TEST_F(HeadlessProcessTest, MessageBoxAndStatusGoToStandardError) {
  Process child(Launch{{probe_, log_, "headless", "box=ORB STATUS subsystem", "status=busy",
                         "interval=1", "close-after=1"},
                        {"DISPLAY="}});
  ASSERT_TRUE(child.started());
  EXPECT_EQ(child.Wait(), 0);
  // The box counts as answered at once; its line breaks become plain ones.
  EXPECT_EQ(ReadLines(log_), (std::vector<std::string>{"load headless", "box answered",
                                                         "load done", "tick 1 1", "status",
                                                         "unload", "exit 0"}));
  EXPECT_EQ(child.Err(),
            "ORB STATUS subsystem: Something needs your attention.\n\nPress OK to go on.\n"
            "busy\n");
}

TEST_F(HeadlessProcessTest, NoTickStartsInsideAnotherTicksYield) {
  Process child(Launch{{probe_, log_, "headless", "interval=1", "yield-in-tick", "close-after=4"}, {"DISPLAY="}});
  ASSERT_TRUE(child.started());
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_FALSE(HasLine(log_, "nested tick"));
  EXPECT_TRUE(HasLine(log_, "tick 4 1"));
  EXPECT_FALSE(HasLine(log_, "tick 5 1"));
}

TEST_F(HeadlessProcessTest, CloseSignalDuringLoadIsNotFatal) {
  Process child(Launch{{probe_, log_, "headless", "raise-in-load=SIGTERM"}, {"DISPLAY="}});
  ASSERT_TRUE(child.started());
  EXPECT_EQ(child.Wait(), 0);
  EXPECT_EQ(ReadLines(log_), (std::vector<std::string>{"load headless", "load done", "unload",
                                                         "exit 0"}));
}

}  // namespace
}  // namespace carob::platform::ui
