#include <gtest/gtest.h>

#include "tests/messaging/messaging_rig.h"

namespace carob::testing {
namespace {

TEST(LogWriter, LinesAreStampedAndAppendedInTheProgramFolder) {
  MessagingRig rig;
  rig.msg->WriteLog("Console_use.log", "Sent [x]");
  rig.clock->Advance(0.53125);
  rig.msg->WriteLog("Console_use.log", "");
  rig.msg->WriteLog("Console_use.log", "two\r\nlines");
  EXPECT_EQ(rig.root.ReadFile("C:\\ORB\\CAROB\\Console_use.log"),
            "12-07-2026 08:29:45| Sent [x]\r\n"
            "12-07-2026 08:29:45.53125| \r\n"
            "12-07-2026 08:29:45.53125| two\r\nlines\r\n");
}

TEST(LogWriter, LogNameRules) {
  MessagingRig rig;
  rig.root.MakeFolder("D:\\logs");
  rig.msg->WriteLog("D:\\logs\\run.txt", "full");
  rig.msg->WriteLog("D:\\logs\\plain", "full without dot");
  rig.msg->WriteLog("trace", "bare");
  rig.msg->WriteLog("notes.txt", "dotted");
  EXPECT_EQ(rig.root.ReadFile("D:\\logs\\run.txt"), "12-07-2026 08:29:45| full\r\n");
  EXPECT_EQ(rig.root.ReadFile("D:\\logs\\plain.log"), "12-07-2026 08:29:45| full without dot\r\n");
  EXPECT_EQ(rig.root.ReadFile("C:\\ORB\\CAROB\\trace.log"), "12-07-2026 08:29:45| bare\r\n");
  EXPECT_EQ(rig.root.ReadFile("C:\\ORB\\CAROB\\notes.txt"), "12-07-2026 08:29:45| dotted\r\n");
  EXPECT_FALSE(rig.root.Exists("C:\\ORB\\CAROB\\notes.txt.log"));
}

TEST(LogWriter, DotInProgramFolderKeepsExtensionOff) {
  MessagingRig rig("C:\\Apps\\release.2");
  rig.msg->WriteLog("trace", "t");
  EXPECT_EQ(rig.root.ReadFile("C:\\Apps\\release.2\\trace"), "12-07-2026 08:29:45| t\r\n");
  EXPECT_FALSE(rig.root.Exists("C:\\Apps\\release.2\\trace.log"));
}

TEST(LogWriter, MissingFolderLosesTheLineQuietly) {
  MessagingRig rig;
  rig.msg->WriteLog("Q:\\nowhere\\run.txt", "lost");
  EXPECT_FALSE(rig.root.Exists("Q:\\nowhere\\run.txt"));
  // The writer goes on working afterwards.
  rig.msg->WriteLog("trace", "kept");
  EXPECT_EQ(rig.root.ReadFile("C:\\ORB\\CAROB\\trace.log"), "12-07-2026 08:29:45| kept\r\n");
}

TEST(LogWriter, AppendLineWritesOneLineAndCreatesTheFile) {
  MessagingRig rig;
  rig.msg->AppendLine("C:\\ORB\\CAROB\\lines.txt", "a");
  rig.msg->AppendLine("lines.txt", "b");
  EXPECT_EQ(rig.root.ReadFile("C:\\ORB\\CAROB\\lines.txt"), "a\r\nb\r\n");
}

TEST(ConsoleLog, RotationKeepsOneGeneration) {
  MessagingRig rig;
  rig.root.WriteFile("C:\\ORB\\CAROB\\Console_use.log", "current\r\n");
  rig.root.WriteFile("C:\\ORB\\CAROB\\Console_use.log.x", "older\r\n");
  EXPECT_FALSE(rig.msg->ConsoleLogEnabled());
  rig.msg->RotateConsoleLog(true);
  EXPECT_TRUE(rig.msg->ConsoleLogEnabled());
  EXPECT_FALSE(rig.root.Exists("C:\\ORB\\CAROB\\Console_use.log"));
  EXPECT_EQ(rig.root.ReadFile("C:\\ORB\\CAROB\\Console_use.log.x"), "current\r\n");
}

TEST(ConsoleLog, RotationWithoutEarlierLogStillSwitchesOn) {
  MessagingRig rig;
  rig.msg->RotateConsoleLog(true);
  EXPECT_TRUE(rig.msg->ConsoleLogEnabled());
  EXPECT_FALSE(rig.root.Exists("C:\\ORB\\CAROB\\Console_use.log.x"));
  EXPECT_FALSE(rig.root.Exists("C:\\ORB\\CAROB\\Console_use.log"));
}

TEST(ConsoleLog, RotationWithoutKeepingDeletesTheLog) {
  MessagingRig rig;
  rig.root.WriteFile("C:\\ORB\\CAROB\\Console_use.log", "current\r\n");
  rig.root.WriteFile("C:\\ORB\\CAROB\\Console_use.log.x", "older\r\n");
  rig.msg->RotateConsoleLog(false);
  EXPECT_TRUE(rig.msg->ConsoleLogEnabled());
  EXPECT_FALSE(rig.root.Exists("C:\\ORB\\CAROB\\Console_use.log"));
  EXPECT_EQ(rig.root.ReadFile("C:\\ORB\\CAROB\\Console_use.log.x"), "older\r\n");
}

}  // namespace
}  // namespace carob::testing
