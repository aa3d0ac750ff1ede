// The portable rules beneath both systems' primitives: Windows-style path
// text, the names of replacement leftovers, the modification-time steps and
// the clock reading. Built into the POSIX and the Windows test alike.
#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

#include "platform/env_base.h"
#include "platform/windows_path.h"

namespace carob::platform {
namespace {

TEST(WindowsPathTest, DriveAndStrayColon) {
  EXPECT_TRUE(HasDrive("C:\\x"));
  EXPECT_TRUE(HasDrive("z:"));
  EXPECT_FALSE(HasDrive("1:\\x"));
  EXPECT_FALSE(HasDrive("C"));
  EXPECT_FALSE(HasDrive("\\x"));

  EXPECT_FALSE(HasStrayColon("C:\\ORB\\know.dat"));
  EXPECT_FALSE(HasStrayColon("know.dat"));
  EXPECT_TRUE(HasStrayColon("..:\\..\\x.dat"));
  EXPECT_TRUE(HasStrayColon("C:\\a:b"));
  EXPECT_TRUE(HasStrayColon("ab:c"));
}

TEST(WindowsPathTest, FolderPartAndLastComponent) {
  EXPECT_EQ(FolderPart("C:\\ORB\\know.dat"), "C:\\ORB");
  EXPECT_EQ(FolderPart("C:\\know.dat"), "C:\\");  // a drive's root keeps its "\"
  EXPECT_EQ(FolderPart("know.dat"), "");
  EXPECT_EQ(FolderPart("know.dat", "\\/", "."), ".");
  EXPECT_EQ(FolderPart("C:/ORB/know.dat", "\\/"), "C:/ORB");
  EXPECT_EQ(FolderPart("C:/ORB/know.dat"), "");

  EXPECT_EQ(LastComponent("C:\\ORB\\know.dat"), "know.dat");
  EXPECT_EQ(LastComponent("know.dat"), "know.dat");
  EXPECT_EQ(LastComponent("C:\\ORB\\"), "");
  EXPECT_EQ(LastComponent("C:know.dat", "\\:"), "know.dat");
  EXPECT_EQ(LastComponent("/tmp/x", "/"), "x");
}

TEST(ReplacementNamesTest, LeftoversTellTheirWriter) {
  EXPECT_EQ(ReplacementWriter(".know.dat.1234.0.new", "know.dat"), 1234);
  EXPECT_EQ(ReplacementWriter(".know.dat.77.12.old", "know.dat"), 77);
  EXPECT_EQ(ReplacementWriter(".KNOW.DAT.5.1.new", "know.dat"), 5);  // letter case aside
  EXPECT_FALSE(ReplacementWriter("know.dat", "know.dat"));
  EXPECT_FALSE(ReplacementWriter(".know.dat.new", "know.dat"));
  EXPECT_FALSE(ReplacementWriter(".know.dat.x.0.new", "know.dat"));
  EXPECT_FALSE(ReplacementWriter(".know.dat.0.0.new", "know.dat"));
  EXPECT_FALSE(ReplacementWriter(".know.dat.12.0.tmp", "know.dat"));
  EXPECT_FALSE(ReplacementWriter(".know.dat.12new", "know.dat"));
  EXPECT_FALSE(ReplacementWriter(".other.dat.12.0.new", "know.dat"));

  const std::string first = ReplacementPath("/f", '/', "k.dat", 42, ".new");
  const std::string second = ReplacementPath("/f", '/', "k.dat", 42, ".new");
  EXPECT_NE(first, second);
  EXPECT_EQ(first.rfind("/f/.k.dat.42.", 0), 0u);
  EXPECT_EQ(ReplacementWriter(first.substr(3), "k.dat"), 42);
}

// A file system that keeps times in whole seconds.
TEST(TimeStepTest, StepsGrowUntilTheStoredTimeMovesOn) {
  const int64_t second = 1000000000LL;
  const int64_t previous = 50 * second;
  int64_t kept = previous;
  std::vector<int64_t> asked;
  auto set = [&](int64_t ns) {
    asked.push_back(ns);
    kept = ns / second * second;
    return 0;
  };
  auto stored = [&](int64_t& ns) {
    ns = kept;
    return 0;
  };
  EXPECT_EQ(StepTimePast(previous, 0, 1, 1000, set, stored), 0);
  EXPECT_EQ(asked, (std::vector<int64_t>{previous + 1, previous + 1000, previous + 1000000,
                                         previous + 1000000000}));
  EXPECT_GT(kept, previous);

  // A clock ahead of the file is taken at once.
  asked.clear();
  EXPECT_EQ(StepTimePast(previous, previous + 3 * second, 1, 10, set, stored), 0);
  EXPECT_EQ(asked.size(), 1u);

  // A time that never moves, and a call that fails.
  kept = previous;
  auto stuck = [](int64_t) { return 0; };
  EXPECT_EQ(StepTimePast(previous, 0, 100, 10, stuck, stored), -1);
  EXPECT_EQ(StepTimePast(previous, 0, 1, 10, [](int64_t) { return 13; }, stored), 13);
  EXPECT_TRUE(MarkedModified("C:\\x", 0).ok());
  EXPECT_EQ(MarkedModified("C:\\x", -1).message(), "cannot mark C:\\x modified: its time does not move on");
}

TEST(WallTimeTest, FieldsFillTheReading) {
  WallTime t = WallTimeOf(2026, 12, 9, 13, 5, 60, 0.25);
  EXPECT_EQ(t.year, 2026);
  EXPECT_EQ(t.month, 12);
  EXPECT_EQ(t.day, 9);
  EXPECT_EQ(t.second, 59);  // a leap second reads as the last ordinary one
  EXPECT_DOUBLE_EQ(t.seconds_since_midnight, 13 * 3600.0 + 5 * 60.0 + 59 + 0.25);
}

TEST(EntryKindTest, WhatStandsAtAName) {
  EXPECT_EQ(NotAFile(EntryKind::kFolder), EISDIR);
  EXPECT_EQ(NotAFile(EntryKind::kOther), EINVAL);
  EXPECT_EQ(StandsAtItsName(EntryKind::kFolder), "a folder stands at its name");
  EXPECT_EQ(StandsAtItsName(EntryKind::kLink), "a symbolic link stands at its name");
  EXPECT_EQ(StandsAtItsName(EntryKind::kOther), "a device, pipe or socket stands at its name");
}

}  // namespace
}  // namespace carob::platform
