#include <gtest/gtest.h>

#include <filesystem>
#include <iterator>

#include "tests/messaging/messaging_rig.h"

namespace carob::testing {
namespace {

const std::string kInterface = "C:\\ORB\\CAROB\\CAROB.interface.POF";
const std::string kDispatcher = "C:\\ORB\\RORU\\input.POF";
const std::string kConsoleLog = "C:\\ORB\\CAROB\\Console_use.log";

struct SendRig : MessagingRig<> {
  SendRig() {
    AddFileLoc("CAROB interface", kInterface);
    AddFileLoc("RORU PO Input", kDispatcher);
    root.MakeFolder("C:\\ORB\\RORU");
  }
  // The texts of the entries in the dispatcher's input file, oldest first.
  std::vector<std::string> Sent() {
    std::vector<std::string> texts;
    for (;;) {
      std::string t = msg->ReadTopEntry(kDispatcher);
      if (t.empty()) break;
      texts.push_back(t);
      if (platform::Status s = msg->RemoveTopEntry(kDispatcher); !s) {
        ADD_FAILURE() << s.message();
        break;
      }
    }
    return texts;
  }
};

TEST(Send, AnswersFollowLastSource) {
  SendRig rig;
  rig.msg->SendToOutputProgram("User:first");
  EXPECT_EQ(rig.root.ReadFile(kDispatcher),
            RozHeader() + "SET SOURCE = 10.0.0.9\r\nDO User:first\r\n");

  EXPECT_TRUE(rig.msg->AppendEntry(kInterface, "SET SOURCE = 10.0.0.7\r\nquestion"));
  EXPECT_EQ(rig.msg->ReceiveMessage("CAROB", messaging::MessageKind::kInterface), "question");
  rig.msg->SendToOutputProgram("User:Hi");

  EXPECT_TRUE(rig.msg->AppendEntry(kInterface, "no source line"));
  EXPECT_EQ(rig.msg->ReceiveMessage("CAROB", messaging::MessageKind::kInterface), "no source line\r\n");
  rig.msg->SendToOutputProgram("User:local");

  EXPECT_EQ(rig.Sent(), (std::vector<std::string>{
                            "SET SOURCE = 10.0.0.9\r\nDO User:first\r\n",
                            "SET SOURCE = 10.0.0.9\r\nSENDTO [10.0.0.7] User:Hi\r\n",
                            "SET SOURCE = 10.0.0.9\r\nDO User:local\r\n"}));
}

TEST(Send, SourceVariableIsFilledIn) {
  SendRig rig;
  std::string source;
  rig.msg->SendMessage(source, "10.0.0.7", "t");
  EXPECT_EQ(source, "10.0.0.9");
  std::string zero = "0.0.0.0";
  rig.msg->SendMessage(zero, "", "u");
  EXPECT_EQ(zero, "10.0.0.9");
  std::string other = "10.0.0.1";
  rig.msg->SendMessage(other, " 0.0.0.0", "v");
  EXPECT_EQ(other, "10.0.0.1");
  EXPECT_EQ(rig.Sent(), (std::vector<std::string>{
                            "SET SOURCE = 10.0.0.9\r\nSENDTO [10.0.0.7] t\r\n",
                            "SET SOURCE = 10.0.0.9\r\nDO u\r\n",
                            "SET SOURCE = 10.0.0.1\r\nSENDTO [ 0.0.0.0] v\r\n"}));
}

TEST(Send, EmptyTextIsStillSent) {
  SendRig rig;
  std::string source = "10.0.0.9";
  rig.msg->SendMessage(source, "", "");
  rig.msg->SendMessage(source, "10.0.0.7", "");
  EXPECT_EQ(rig.Sent(), (std::vector<std::string>{"SET SOURCE = 10.0.0.9\r\nDO \r\n",
                                                  "SET SOURCE = 10.0.0.9\r\nSENDTO [10.0.0.7] \r\n"}));
}

TEST(Send, AddSource) {
  SendRig rig;
  std::string source;
  EXPECT_EQ(rig.msg->AddSource(source, "  "), "");
  EXPECT_EQ(source, "");
  EXPECT_EQ(rig.msg->AddSource(source, "x"), "SET SOURCE = 10.0.0.9\r\nx");
  EXPECT_EQ(source, "10.0.0.9");
  std::string padded = " 10.0.0.5 ";
  EXPECT_EQ(rig.msg->AddSource(padded, "x"), "SET SOURCE =  10.0.0.5 \r\nx");
  std::string zero = " 0.0.0.0 ";
  EXPECT_EQ(rig.msg->AddSource(zero, "x"), "SET SOURCE = 10.0.0.9\r\nx");
}

TEST(Send, ConsoleLogRecordsEverySend) {
  SendRig rig;
  rig.msg->RotateConsoleLog(true);
  std::string source;
  rig.msg->SendMessage(source, "10.0.0.7", "User:Hi");
  EXPECT_EQ(rig.root.ReadFile(kConsoleLog),
            "12-07-2026 08:29:45| Sent [SET SOURCE = 10.0.0.9\r\nSENDTO [10.0.0.7] User:Hi] to [" +
                kDispatcher + "]\r\n"
                "12-07-2026 08:29:45|  SourceComputer = 10.0.0.9\r\n"
                "12-07-2026 08:29:45|  ToComputer = 10.0.0.7\r\n"
                "12-07-2026 08:29:45|  Text = User:Hi\r\n");
}

TEST(Send, WithoutDispatcherTheMessageIsLostButLogged) {
  MessagingRig rig;
  rig.msg->RotateConsoleLog(true);
  std::string source;
  rig.msg->SendMessage(source, "", "User:Hi");
  const std::string log = rig.root.ReadFile(kConsoleLog);
  EXPECT_NE(log.find("DO User:Hi] to []\r\n"), std::string::npos) << log;
  // Only the log was written in the program folder.
  const std::filesystem::directory_iterator files(rig.root.Native("C:\\ORB\\CAROB"));
  EXPECT_EQ(std::distance(files, std::filesystem::directory_iterator()), 1);
}

TEST(Send, WithoutLocalIdTheSourceIsEmpty) {
  SendRig rig;
  rig.root.WriteFile("C:\\TEMP\\STATUS", "");
  std::string source;
  rig.msg->SendMessage(source, "", "x");
  EXPECT_EQ(source, "");
  EXPECT_EQ(rig.Sent(), (std::vector<std::string>{"SET SOURCE = \r\nDO x\r\n"}));
}

}  // namespace
}  // namespace carob::testing
