// One CAROB per family, through the real program: a second one refuses to
// start and names the first, or with --replace stops it and takes its
// place; a killed CAROB leaves nothing in the way; of two started at once
// exactly one runs.
#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "tests/support/process.h"
#include "tests/window/window_fixture.h"

namespace carob::testing {
namespace {

using ::testing::HasSubstr;

// The exit status of a CAROB that another of its family keeps out.
constexpr int kKeptOut = 3;

class CarobSingleTest : public WindowTest {
 protected:
  CarobSingleTest() : WindowTest(kBaseFileLoc) {
    root.WriteFile(kStatusPath, "Pulse=50\r\n");
    carob_ = Install(root, "carob", kProgramFolder);
  }

  std::unique_ptr<Process> Start(std::vector<std::string> args = {}) {
    args.insert(args.begin(), carob_);
    return std::make_unique<Process>(InRoot(root, args));
  }
  // Waits until the program has said `text` on standard error; false when it
  // ended (or the deadline passed) without saying it.
  static bool Says(Process& p, const std::string& text) {
    auto said = [&] { return p.Err().find(text) != std::string::npos; };
    WaitUntil([&] { return said() || !p.Running(); });
    return said();
  }
  std::string Running() { return Fresh(kStatusPath, "CAROB running"); }

  std::string carob_;
};

TEST_F(CarobSingleTest, ASecondCarobIsKeptOutReplacesTheFirstOrFollowsAKilledOne) {
  enum class First { kRuns, kReplaced, kKilled };
  struct Case {
    const char* name;
    First first;
    std::vector<std::string> args;  // the second's
  } cases[] = {
      {"kept out while the first runs", First::kRuns, {}},
      {"replaces the first, which stops cleanly", First::kReplaced, {"--replace"}},
      {"starts where a killed one left its lock", First::kKilled, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<Process> first = Start();
    ASSERT_TRUE(Says(*first, "CAROB started")) << first->Err();
    ASSERT_EQ(Running(), "Yes");
    if (c.first == First::kKilled) first->Kill();

    std::unique_ptr<Process> second = Start(c.args);
    const std::string named = "process " + std::to_string(first->pid()) + " on this computer";
    switch (c.first) {
      case First::kRuns: {
        EXPECT_EQ(second->Wait(60), kKeptOut) << second->Err();
        EXPECT_THAT(second->Err(), HasSubstr("carob: CAROB runs already in this family: " + named));
        EXPECT_THAT(second->Err(), HasSubstr(" by "));
        EXPECT_THAT(second->Err(), HasSubstr("(command line: "));
        EXPECT_THAT(second->Err(), HasSubstr("carob --replace"));
        EXPECT_THAT(second->Err(), ::testing::Not(HasSubstr("CAROB started")));
        // The first runs on, recorded as running.
        EXPECT_TRUE(first->Running());
        EXPECT_EQ(Running(), "Yes");
        second = std::move(first);
        break;
      }
      case First::kReplaced: {
        ASSERT_TRUE(Says(*second, "CAROB started")) << second->Err();
        EXPECT_THAT(second->Err(), HasSubstr("CAROB asks " + named));
        EXPECT_THAT(second->Err(), HasSubstr("CAROB replaced process " + std::to_string(first->pid())));
        // The first signed off before the second registered.
        EXPECT_EQ(first->Wait(60), 0) << first->Err();
        EXPECT_THAT(first->Err(), HasSubstr("CAROB stopped"));
        EXPECT_EQ(Running(), "Yes");
        break;
      }
      case First::kKilled: {
        ASSERT_TRUE(Says(*second, "CAROB started")) << second->Err();
        EXPECT_THAT(second->Err(), ::testing::Not(HasSubstr("asks")));
        break;
      }
    }
    // Killed, the one left running leaves its lock to the next case's first.
    second->Kill();
  }
}

TEST_F(CarobSingleTest, OfTwoStartedAtOnceExactlyOneRuns) {
  std::unique_ptr<Process> a = Start(), b = Start();
  // Each either starts or is kept out.
  auto settled = [](Process& p) {
    return p.Err().find("CAROB started") != std::string::npos || !p.Running();
  };
  ASSERT_TRUE(WaitUntil([&] { return settled(*a) && settled(*b); }));
  const bool a_runs = a->Running(), b_runs = b->Running();
  EXPECT_NE(a_runs, b_runs) << a->Err() << "\n--\n" << b->Err();
  Process& out = a_runs ? *b : *a;
  EXPECT_EQ(out.Wait(60), kKeptOut) << out.Err();
  EXPECT_THAT(out.Err(), HasSubstr("CAROB runs already in this family: process " +
                                   std::to_string((a_runs ? a : b)->pid())));
}

}  // namespace
}  // namespace carob::testing
