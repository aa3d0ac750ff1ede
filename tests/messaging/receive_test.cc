#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "tests/messaging/messaging_rig.h"

namespace carob::testing {
namespace {

const std::string kInterface = "C:\\ORB\\CAROB\\CAROB.interface.POF";
const std::string kDispatcher = "C:\\ORB\\RORU\\input.POF";
const std::string kConsoleLog = "C:\\ORB\\CAROB\\Console_use.log";

// The four console log lines of one message handed over to CAROB.
std::string Received(const std::string& text, const std::string& source) {
  const std::string at = "12-07-2026 08:29:45| ";
  return at + "Recieved [" + text + "]\r\n" + at + " Source = " + source + "\r\n" + at +
         " AppName = CAROB\r\n" + at + " AppType = 0\r\n";
}

// A rig whose "CAROB interface" and dispatcher input are registered.
template <class Wrapper = platform::EnvWrapper>
struct ReceiveRig : MessagingRig<Wrapper> {
  ReceiveRig() {
    this->AddFileLoc("CAROB interface", kInterface);
    this->AddFileLoc("RORU PO Input", kDispatcher);
    this->root.MakeFolder("C:\\ORB\\RORU");
  }
  void Post(const std::string& text) { EXPECT_TRUE(this->msg->AppendEntry(kInterface, text)); }
  std::string Receive() {
    return this->msg->ReceiveMessage("CAROB", messaging::MessageKind::kInterface);
  }
};

TEST(Receive, FirstCallOnlyRegistersTheLocation) {
  MessagingRig rig;
  rig.root.WriteFile(kInterface, RozHeader() + "waiting\r\n");
  EXPECT_EQ(rig.msg->ReceiveMessage("CAROB", messaging::MessageKind::kInterface), "");
  EXPECT_NE(rig.root.ReadFile("C:\\FileLoc").find("CAROB interface=" + kInterface + "\r\n"),
            std::string::npos);
  EXPECT_EQ(rig.root.ReadFile(kInterface), RozHeader() + "waiting\r\n") << "not looked at";
  EXPECT_EQ(rig.msg->LastSource(), "");
  EXPECT_EQ(rig.msg->ReceiveMessage("CAROB", messaging::MessageKind::kInterface), "waiting\r\n");
  EXPECT_EQ(rig.msg->LastSource(), "0.0.0.0");
  EXPECT_EQ(rig.root.ReadFile(kInterface), "");
}

TEST(Receive, OutboxAndOtherKinds) {
  MessagingRig rig;
  EXPECT_EQ(rig.msg->ReceiveMessage("CAROB", messaging::MessageKind::kOutbox), "");
  EXPECT_NE(
      rig.root.ReadFile("C:\\FileLoc").find("CAROB outbox=C:\\ORB\\CAROB\\CAROB.outbox.POF\r\n"),
      std::string::npos);
  EXPECT_TRUE(rig.msg->AppendEntry("C:\\ORB\\CAROB\\CAROB.outbox.POF", "out"));
  EXPECT_EQ(rig.msg->ReceiveMessage("CAROB", messaging::MessageKind::kOutbox), "out\r\n");
  // The default file takes the name trimmed; the key keeps it as given
  // (the databank trims only its ends).
  EXPECT_EQ(rig.msg->ReceiveMessage(" Lexwright ", messaging::MessageKind::kOutbox), "");
  EXPECT_NE(rig.root.ReadFile("C:\\FileLoc")
                .find("Lexwright  outbox=C:\\ORB\\CAROB\\Lexwright.outbox.POF\r\n"),
            std::string::npos);
  // Any other kind has no kind word.
  EXPECT_EQ(rig.msg->ReceiveMessage("CAROB", static_cast<messaging::MessageKind>(7)), "");
  EXPECT_NE(rig.root.ReadFile("C:\\FileLoc").find("CAROB=C:\\ORB\\CAROB\\CAROB..POF\r\n"),
            std::string::npos);
}

TEST(Receive, SourceLineIsTakenOffAndRemembered) {
  ReceiveRig rig;
  rig.Post("SET SOURCE = 10.0.0.7\r\nHello");
  EXPECT_EQ(rig.Receive(), "Hello");
  EXPECT_EQ(rig.msg->LastSource(), "10.0.0.7");
  EXPECT_EQ(rig.root.ReadFile(kInterface), "");

  rig.Post("Hello");
  EXPECT_EQ(rig.Receive(), "Hello\r\n");
  EXPECT_EQ(rig.msg->LastSource(), "0.0.0.0");

  // SET SOURCE only after the first line: not split, the source is this computer.
  rig.Post("Hello\r\nand set Source = 10.0.0.3");
  EXPECT_EQ(rig.Receive(), "Hello\r\nand set Source = 10.0.0.3\r\n");
  EXPECT_EQ(rig.msg->LastSource(), "10.0.0.9");
}

TEST(Receive, NothingWaitingLeavesLastSourceAndLogAlone) {
  ReceiveRig rig;
  rig.msg->RotateConsoleLog(true);
  rig.Post("SET SOURCE = 10.0.0.7\r\nHi");
  EXPECT_EQ(rig.Receive(), "Hi");
  const std::string log = rig.root.ReadFile(kConsoleLog);
  EXPECT_EQ(log, Received("Hi", "10.0.0.7"));
  EXPECT_EQ(rig.Receive(), "");  // empty file
  EXPECT_EQ(rig.msg->LastSource(), "10.0.0.7");
  EXPECT_EQ(rig.root.ReadFile(kConsoleLog), log);
  // A missing file is the same.
  std::filesystem::remove(rig.root.Native(kInterface));
  EXPECT_EQ(rig.Receive(), "");
  EXPECT_EQ(rig.root.ReadFile(kConsoleLog), log);
}

TEST(Receive, NoLogLinesWhileConsoleLogIsOff) {
  ReceiveRig rig;
  rig.Post("x");
  EXPECT_EQ(rig.Receive(), "x\r\n");
  EXPECT_FALSE(rig.root.Exists(kConsoleLog));
}

TEST(Receive, PingIsAnsweredHere) {
  ReceiveRig rig;
  rig.msg->RotateConsoleLog(true);
  rig.Post("SET SOURCE = 10.0.0.7\r\n ! ");
  EXPECT_EQ(rig.Receive(), "");
  EXPECT_EQ(rig.root.ReadFile(kDispatcher),
            RozHeader() + "SET SOURCE = 10.0.0.9\r\nSENDTO [10.0.0.7] User:!!\r\n");
  EXPECT_EQ(rig.root.ReadFile(kInterface), "") << "the ping is consumed";
  EXPECT_NE(rig.root.ReadFile(kConsoleLog).find("| Recieved []\r\n"), std::string::npos);

  rig.Post("SET SOURCE = 0.0.0.0\r\n!");
  EXPECT_EQ(rig.Receive(), "");
  EXPECT_EQ(rig.msg->LastSource(), "0.0.0.0");
  std::string dispatcher = rig.root.ReadFile(kDispatcher);
  EXPECT_TRUE(dispatcher.ends_with("SET SOURCE = 10.0.0.9\r\nDO User:!!\r\n")) << dispatcher;

  // Without a SET SOURCE line the CR LF stays on, so it is no ping.
  rig.Post("!");
  EXPECT_EQ(rig.Receive(), "!\r\n");
  EXPECT_EQ(rig.root.ReadFile(kDispatcher), dispatcher);
}

// A source that is no computer id would put the answer into another
// program's queue ("SENDTO [" + "] Mail:" + "] " ends the id at once): such a
// message is answered nowhere, its ping included, and the console log says
// why. The next message from a real computer is answered again.
TEST(Receive, SourceThatIsNoComputerIdIsAnsweredNowhere) {
  for (const char* source : {"] Mail:", "x] Mail:", "[a"}) {
    SCOPED_TRACE(source);
    ReceiveRig rig;
    rig.msg->RotateConsoleLog(true);
    rig.Post(std::string("SET SOURCE = ") + source + "\r\nthe sky be blue");
    EXPECT_EQ(rig.Receive(), "the sky be blue");
    EXPECT_EQ(rig.msg->LastSource(), "0.0.0.0");
    rig.msg->SendToOutputProgram("User:the sky=blue");
    rig.Post(std::string("SET SOURCE = ") + source + "\r\n!");
    EXPECT_EQ(rig.Receive(), "");
    EXPECT_EQ(rig.root.ReadFile(kDispatcher), "<missing>");
    const std::string log = rig.root.ReadFile(kConsoleLog);
    EXPECT_NE(log.find("| Source refused ["), std::string::npos) << log;
    EXPECT_NE(log.find("| Not sent [User:the sky=blue]: "), std::string::npos) << log;

    rig.Post("SET SOURCE = 10.0.0.7\r\nwhat?");
    EXPECT_EQ(rig.Receive(), "what?");
    rig.msg->SendToOutputProgram("User:hi");
    EXPECT_EQ(rig.root.ReadFile(kDispatcher),
              RozHeader() + "SET SOURCE = 10.0.0.9\r\nSENDTO [10.0.0.7] User:hi\r\n");
  }
}

// Taken with ReceiveMessageHeld, a message stays in its file until it is
// handled; a process that dies before that leaves it for the next one, which
// also finishes what the dead one's claim file records.
TEST(Receive, HeldMessageLeavesOnlyOnceHandled) {
  ReceiveRig rig;
  rig.Post("A");
  rig.Post("B");
  EXPECT_EQ(rig.msg->ReceiveMessageHeld("CAROB", messaging::MessageKind::kInterface), "A\r\n");
  EXPECT_EQ(ParseQueue(rig.root.ReadFile(kInterface)).size(), 2u) << "still there while handled";
  // A second taker of the same queue meanwhile takes nothing.
  auto second = rig.OtherProgram();
  registry::Registry registry(*rig.env, *second);
  messaging::Messaging msg2(*rig.env, *second, registry);
  EXPECT_EQ(msg2.ReceiveMessage("CAROB", messaging::MessageKind::kInterface), "");
  rig.msg->MessageHandled();
  EXPECT_EQ(rig.root.ReadFile(kInterface), RozHeader() + "B\r\n");
  EXPECT_EQ(msg2.ReceiveMessage("CAROB", messaging::MessageKind::kInterface), "B\r\n");
  EXPECT_EQ(rig.root.ReadFile(kInterface), "");

  // A taker that died after handling C but before taking it off left its
  // claim file; one that died while handling D left one without the mark.
  for (bool handled : {true, false}) {
    rig.Post("C");
    rig.Post("D");
    const std::optional<platform::FileInfo> file = rig.env->FindFile(kInterface);
    ASSERT_TRUE(file);
    const std::string identity = std::to_string(file->device) + ":" + std::to_string(file->inode);
    rig.root.WriteFile(std::string(kTempFolder) + "\\ROZ.CAROB.interface.POF.1.TMP",
                       "--- ROZ take of " + kInterface + "\r\n--- file " + identity + "\r\n" +
                           (handled ? "--- handled 0\r\n" : ""));
    if (handled) {
      EXPECT_EQ(rig.Receive(), "D\r\n");
    } else {
      EXPECT_EQ(rig.Receive(), "C\r\n");
      EXPECT_EQ(rig.Receive(), "D\r\n");
    }
    EXPECT_FALSE(rig.root.Exists(std::string(kTempFolder) + "\\ROZ.CAROB.interface.POF.1.TMP"));
  }
}

TEST(Receive, PingWithoutDispatcherIsStillConsumed) {
  MessagingRig rig;
  rig.AddFileLoc("CAROB interface", kInterface);
  EXPECT_TRUE(rig.msg->AppendEntry(kInterface, "SET SOURCE = 10.0.0.7\r\n!"));
  EXPECT_EQ(rig.msg->ReceiveMessage("CAROB", messaging::MessageKind::kInterface), "");
  EXPECT_EQ(rig.root.ReadFile(kInterface), "");
}

TEST(Receive, HeaderOnlyEntryIsRemovedAndTheNextFollows) {
  ReceiveRig rig;
  rig.msg->RotateConsoleLog(true);
  rig.root.WriteFile(kInterface, RozHeader() + RozHeader() + "next\r\n");
  EXPECT_EQ(rig.Receive(), "");
  EXPECT_EQ(rig.msg->LastSource(), "0.0.0.0");
  EXPECT_EQ(rig.root.ReadFile(kInterface), RozHeader() + "next\r\n");
  EXPECT_EQ(rig.Receive(), "next\r\n");
  EXPECT_EQ(rig.root.ReadFile(kInterface), "");
  // Each consumed entry, the empty one included, wrote four log lines.
  EXPECT_EQ(rig.root.ReadFile(kConsoleLog),
            Received("", "0.0.0.0") + Received("next\r\n", "0.0.0.0"));
}

// Lines that stand before the first header of a queue are nobody's
// message: they go with the first entry, are never handed over as its text
// (nor read for its source or as a ping), and the console log names them.
TEST(Receive, LinesBeforeTheFirstHeaderAreNeverHandedOver) {
  const std::string at = "12-07-2026 08:29:45| ";
  auto not_taken = [&](const std::string& junk) {
    return at + "Not taken [" + junk + "]: it stands before the first entry of " + kInterface +
           "\r\n";
  };
  struct Case {
    const char* name;
    std::string queue;
    std::vector<std::string> received;  // one Receive each, in order
    std::string log;
  };
  const std::vector<Case> cases = {
      {"before two entries", "stray\r\n" + RozEntry("A") + RozEntry("B"), {"A\r\n", "B\r\n", ""},
       not_taken("stray\r\n") + Received("A\r\n", "0.0.0.0") + Received("B\r\n", "0.0.0.0")},
      {"a source and a ping", "SET SOURCE = 10.0.0.7\r\n!\r\n" + RozEntry("hello"),
       {"hello\r\n", ""},
       not_taken("SET SOURCE = 10.0.0.7\r\n!\r\n") + Received("hello\r\n", "0.0.0.0")},
      {"before the entry's own source", "the sea be green\r\n" + RozEntry("SET SOURCE = 10.0.0.7\r\nhi"),
       {"hi", ""}, not_taken("the sea be green\r\n") + Received("hi", "10.0.0.7")},
      {"only stray lines", "stray one\r\nstray two\r\n", {"", ""},
       not_taken("stray one\r\nstray two\r\n")},
      {"before a header without text", "stray\r\n" + RozHeader() + RozEntry("next"),
       {"", "next\r\n", ""},
       not_taken("stray\r\n") + Received("", "0.0.0.0") + Received("next\r\n", "0.0.0.0")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ReceiveRig rig;
    rig.msg->RotateConsoleLog(true);
    rig.root.WriteFile(kInterface, c.queue);
    std::vector<std::string> received;
    for (size_t i = 0; i < c.received.size(); ++i) received.push_back(rig.Receive());
    EXPECT_EQ(received, c.received);
    EXPECT_EQ(rig.root.ReadFile(kInterface), "");
    EXPECT_EQ(rig.root.ReadFile(kConsoleLog), c.log);
    EXPECT_FALSE(rig.root.Exists(kDispatcher)) << "nothing is answered for stray lines";
  }
}

TEST(Receive, EntryThatCannotBeRemovedIsHandedOverOnce) {
  MessagingRig rig("C:\\ORB\\CAROB", "C:\\NOTEMP");
  rig.AddFileLoc("CAROB interface", kInterface);
  EXPECT_TRUE(rig.msg->AppendEntry(kInterface, "A"));
  EXPECT_EQ(rig.msg->ReceiveMessage("CAROB", messaging::MessageKind::kInterface), "A\r\n");
  EXPECT_EQ(rig.msg->ReceiveMessage("CAROB", messaging::MessageKind::kInterface), "");
  EXPECT_EQ(rig.msg->ReceiveMessage("CAROB", messaging::MessageKind::kInterface), "");
  // A new entry changes the file, but A is still on top and still not
  // removable: neither A again nor B ahead of it.
  rig.clock->Advance(1);
  EXPECT_TRUE(rig.msg->AppendEntry(kInterface, "B"));
  EXPECT_EQ(rig.msg->ReceiveMessage("CAROB", messaging::MessageKind::kInterface), "");
  EXPECT_EQ(rig.msg->ReceiveMessage("CAROB", messaging::MessageKind::kInterface), "");
  EXPECT_EQ(rig.msg->ReadTopEntry(kInterface), "A\r\n");
  // When removal works again (the folder exists), A is taken off without
  // being handed over a second time, and B follows.
  rig.root.MakeFolder("C:\\NOTEMP");
  rig.clock->Advance(1);
  EXPECT_TRUE(rig.msg->AppendEntry(kInterface, "C"));
  EXPECT_EQ(rig.msg->ReceiveMessage("CAROB", messaging::MessageKind::kInterface), "");
  EXPECT_EQ(rig.msg->ReadTopEntry(kInterface), "B\r\n");
  EXPECT_EQ(rig.msg->ReceiveMessage("CAROB", messaging::MessageKind::kInterface), "B\r\n");
  EXPECT_EQ(rig.msg->ReceiveMessage("CAROB", messaging::MessageKind::kInterface), "C\r\n");
  EXPECT_EQ(rig.msg->ReceiveMessage("CAROB", messaging::MessageKind::kInterface), "");
}

TEST(Receive, LocationRecordedAsBareNameIsReadFromTheProgramFolder) {
  MessagingRig rig;
  rig.AddFileLoc("CAROB interface", "CAROB.interface.POF");
  EXPECT_TRUE(rig.msg->AppendEntry(kInterface, "found"));
  EXPECT_EQ(rig.msg->ReceiveMessage("CAROB", messaging::MessageKind::kInterface), "found\r\n");
}

// Passes every call on and notes the file opens, reads and lookups per path,
// so the test sees what an idle call touches.
struct CountingEnv : platform::EnvWrapper {
  using EnvWrapper::EnvWrapper;
  std::vector<std::string> opened;  // paths of Open and OpenLocked calls
  std::vector<std::string> found;   // paths of FindFile and FileStamp calls
  int reads = 0;                    // ReadAll and ReadAllStamped calls

  std::optional<platform::FileInfo> FindFile(const std::string& path) override {
    found.push_back(path);
    return EnvWrapper::FindFile(path);
  }
  bool FileStamp(const std::string& path, platform::FileInfo* stamp) override {
    found.push_back(path);
    return EnvWrapper::FileStamp(path, stamp);
  }
  platform::Status ReadAllStamped(const std::string& path, std::string& bytes,
                                  platform::FileInfo* stamp) override {
    ++reads;
    return EnvWrapper::ReadAllStamped(path, bytes, stamp);
  }
  platform::Status Open(const std::string& path, platform::OpenMode mode,
                        std::unique_ptr<platform::File>* file) override {
    opened.push_back(path);
    return EnvWrapper::Open(path, mode, file);
  }
  platform::Status OpenLocked(const std::string& path, platform::OpenMode mode,
                              std::unique_ptr<platform::File>* file) override {
    opened.push_back(path);
    return EnvWrapper::OpenLocked(path, mode, file);
  }
  platform::Status ReadAll(const std::string& path, std::string& bytes) override {
    ++reads;
    return EnvWrapper::ReadAll(path, bytes);
  }
};

TEST(Receive, IdleCallOpensNoFile) {
  ReceiveRig<CountingEnv> rig;
  rig.msg->RotateConsoleLog(true);
  rig.Post("first");
  EXPECT_EQ(rig.Receive(), "first\r\n");
  ASSERT_EQ(rig.root.ReadFile(kInterface), "");
  EXPECT_EQ(rig.Receive(), "");  // warms the query cache
  rig.env->opened.clear();  // counts from here on
  rig.env->found.clear();
  rig.env->reads = 0;
  for (int i = 0; i < 5; ++i) EXPECT_EQ(rig.Receive(), "");
  EXPECT_TRUE(rig.env->opened.empty()) << rig.env->opened.front();
  EXPECT_EQ(rig.env->reads, 0);
  EXPECT_EQ(std::count(rig.env->found.begin(), rig.env->found.end(), kInterface), 5);
  // One cached query of "C:\FileLoc" (its stamp check) and one length check.
  EXPECT_EQ(rig.env->found.size(), 10u);
}

TEST(SplitSource, Cases) {
  MessagingRig rig;
  struct Case {
    std::string text;
    const char* source;  // nullptr: not looked at
    const char* rest;
  } cases[] = {
      {"SET SOURCE = 10.0.0.7\r\nHi\r\n", "10.0.0.7", "Hi"},
      {"set source = x\r\nHi", "x", "Hi"},
      {"SET SOURCE 10.0.0.7 \r\nHi\r\n", "SET SOURCE 10.0.0.7", nullptr},
      {"SET SOURCE\r\nkey=value\r\n", "", "key=value"},
      // Blanks around the rest go, and at most one CR LF from each end.
      {"SET SOURCE = s\r\n \r\n\r\nline\r\n\r\n ", nullptr, "\r\nline\r\n"},
      {"Hello SET SOURCE = 1\r\n", "10.0.0.9", "Hello SET SOURCE = 1\r\n"},
      {"SET SOURCE = lone", "lone", ""},
  };
  for (const Case& c : cases) {
    const messaging::SourcedText split = rig.msg->SplitSource(c.text);
    if (c.source) {
      EXPECT_EQ(split.Source, c.source) << c.text;
    }
    if (c.rest) {
      EXPECT_EQ(split.Text, c.rest) << c.text;
    }
  }
}

}  // namespace
}  // namespace carob::testing
