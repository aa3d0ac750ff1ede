// The window's events: load and unload, the receive loop's tick, the two
// program choices, and the form handed to the toolkit.
#include <gtest/gtest.h>

#include "tests/window/window_fixture.h"

namespace carob::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

inline constexpr const char* kSettingsPath = "C:\\ORB\\CAROB\\CAROB.cfg";

class WindowEventsTest : public WindowTest {};

TEST_F(WindowEventsTest, FormDescribesTheControls) {
  window::Window& w = Rig().window;
  platform::ui::FormDescription form = w.Describe();
  EXPECT_EQ(form.caption, "CAROB");
  EXPECT_EQ(form.client_width, 7110);
  EXPECT_EQ(form.client_height, 6000);
  ASSERT_EQ(form.frame, &w.Frame1);
  EXPECT_EQ(w.Frame1.caption, "Input/Output");
  ASSERT_EQ(form.buttons.size(), 1u);
  EXPECT_EQ(form.buttons[0], &w.Command1);  // the button SIGUSR1 clicks
  EXPECT_EQ(w.Command1.caption, "Think1");
  EXPECT_THAT(form.frame_labels, ElementsAre(&w.Label1, &w.Label2));
  EXPECT_EQ(w.Label1.caption, "Input:");
  EXPECT_EQ(w.Label2.caption, "Output:");
  EXPECT_THAT(form.frame_combos, ElementsAre(&w.InProg, &w.OutProg));
  EXPECT_THAT(w.InProg.items, ElementsAre("User", "Lexwright"));
  EXPECT_THAT(w.OutProg.items, ElementsAre("User", "Lexwright"));
  EXPECT_THAT(form.lists, ElementsAre(&w.WordList, &w.ActiveMemory));
  ASSERT_THAT(form.timers, ElementsAre(&w.Reciever));
  EXPECT_EQ(w.Reciever.Interval, 1000);
  EXPECT_TRUE(w.Reciever.Enabled);
  EXPECT_EQ(w.ActiveMemory.place.left, 3360);
  EXPECT_EQ(w.ActiveMemory.place.height, 5715);
  EXPECT_EQ(w.OutProg.place.top, 720);
  // Created state.
  EXPECT_EQ(w.xStage, 0);
  EXPECT_TRUE(w.xKnowledge.empty());
  EXPECT_TRUE(w.xSettings.empty());
}

class WindowFirstStartTest : public WindowTest {
 protected:
  WindowFirstStartTest() : WindowTest(kBaseFileLoc) {}
};

TEST_F(WindowFirstStartTest, LoadRecordsDefaultPathsAndRegisters) {
  WindowRig& r = Loaded();
  EXPECT_EQ(r.window.xKnowledge, kKnowledgePath);
  EXPECT_EQ(r.window.xSettings, kSettingsPath);
  EXPECT_EQ(r.window.xStage, 1);
  EXPECT_EQ(Fresh("C:\\FileLoc", "CAROB knowledge"), kKnowledgePath);
  EXPECT_EQ(Fresh("C:\\FileLoc", "CAROB settings"), kSettingsPath);
  // Neither databank file is created by starting.
  EXPECT_FALSE(root.Exists(kKnowledgePath));
  EXPECT_FALSE(root.Exists(kSettingsPath));
  EXPECT_EQ(r.window.InProg.Text(), "");
  EXPECT_EQ(r.window.OutProg.Text(), "");

  const std::string status = reg->StatusBank();
  EXPECT_EQ(Fresh(status, "CAROB running"), "Yes");
  EXPECT_EQ(Fresh(status, "CAROB ID"), "Talkweave v100");
  EXPECT_EQ(Fresh(status, "CAROB Author"), "Kado Vel of Brindle");
  EXPECT_TRUE(msg->ConsoleLogEnabled());
  ASSERT_EQ(r.reports.size(), 1u);
  EXPECT_THAT(r.reports[0], HasSubstr("started"));
  EXPECT_THAT(r.reports[0], HasSubstr(kProgramFolder));
  EXPECT_THAT(r.reports[0], HasSubstr(kKnowledgePath));

  r.Unload();
  EXPECT_EQ(Fresh(status, "CAROB running"), "No");
  EXPECT_EQ(Fresh(status, "CAROB ID"), "Talkweave v100");
  EXPECT_THAT(r.reports.back(), HasSubstr("stopped"));
}

class WindowAtADriveRootTest : public WindowTest {
 protected:
  WindowAtADriveRootTest() : WindowTest(kBaseFileLoc, "C:\\") {}
};

TEST_F(WindowAtADriveRootTest, ProgramAtADriveRootGetsSingleSeparators) {
  WindowRig& r = Loaded();
  EXPECT_EQ(r.window.xKnowledge, "C:\\CAROB.dat");
  EXPECT_EQ(r.window.xSettings, "C:\\CAROB.cfg");
  EXPECT_EQ(Fresh("C:\\FileLoc", "CAROB knowledge"), "C:\\CAROB.dat");
  r.peer.HandleSentence("sky be blue");
  EXPECT_EQ(root.ReadFile("C:\\CAROB.dat"), "sky=blue\r\n");
}

TEST_F(WindowFirstStartTest, UnloadWithoutLoadStillSignsOff) {
  WindowRig& r = Rig();
  r.Unload();
  EXPECT_EQ(Fresh(reg->StatusBank(), "CAROB running"), "No");
}

class WindowRecordedPathsTest : public WindowTest {
 protected:
  WindowRecordedPathsTest()
      : WindowTest(kBaseFileLoc + "CAROB knowledge=D:\\Brain\\facts.txt\r\n" +
                   "CAROB settings=D:\\Brain\\choices.txt\r\n" + "CAROB interface=" +
                   kInterfacePath + "\r\n") {}
};

TEST_F(WindowRecordedPathsTest, RecordedPathsAreUsedAndChoicesRestored) {
  const std::string settings = "Input program=User\r\nOutput program=Lexwright\r\n";
  root.WriteFile("D:\\Brain\\choices.txt", settings);
  root.WriteFile("D:\\Brain\\facts.txt", "sky=blue\r\n");
  WindowRig& r = Loaded();
  EXPECT_EQ(r.window.xKnowledge, "D:\\Brain\\facts.txt");
  EXPECT_EQ(r.window.xSettings, "D:\\Brain\\choices.txt");
  EXPECT_EQ(r.window.InProg.Text(), "User");
  EXPECT_EQ(r.window.OutProg.Text(), "Lexwright");
  EXPECT_EQ(root.ReadFile("D:\\Brain\\choices.txt"), settings) << "restoring writes nothing";

  // Questions and learning use the recorded knowledge file.
  Deliver("SET SOURCE = 10.0.0.7\r\nWhat is the sky?");
  r.Tick();
  EXPECT_THAT(Answers(), ElementsAre("Lexwright:sky=blue"));
  Deliver("SET SOURCE = 10.0.0.7\r\ngrass be green");
  r.Tick();
  EXPECT_EQ(root.ReadFile("D:\\Brain\\facts.txt"), "sky=blue\r\ngrass=green\r\n");
  EXPECT_FALSE(root.Exists(kKnowledgePath));
}

TEST_F(WindowEventsTest, PickedOutputProgramIsStoredAndRestoredNextStart) {
  {
    WindowRig& r = Loaded();
    r.window.OutProg.UserPicked(1);
    EXPECT_EQ(Fresh(kSettingsPath, "Output program"), "Lexwright");
    r.window.InProg.UserEdited("U");
    r.window.InProg.UserEdited("Us");
    EXPECT_EQ(Fresh(kSettingsPath, "Input program"), "Us");
    r.Unload();
    rig_.reset();  // the program ends; the next start has layers of its own
    World::Restart();
  }
  WindowRig& again = Loaded();
  EXPECT_EQ(again.window.OutProg.Text(), "Lexwright");
  EXPECT_EQ(again.window.InProg.Text(), "Us");
}

TEST_F(WindowEventsTest, TickHandsOneTrimmedSentencePerTick) {
  WindowRig& r = Loaded();
  DeliverFrom("10.0.0.7", "   the sky be blue   ");
  DeliverFrom("10.0.0.7", "What is the sky?");
  r.Tick();
  EXPECT_EQ(Fresh(kKnowledgePath, "the sky"), "blue");
  EXPECT_THAT(Answers(), IsEmpty());
  r.Tick();
  ASSERT_EQ(Sent().size(), 1u);
  EXPECT_EQ(Sent()[0].header, messaging::kEntryHeader + std::string("12-07-2026 08:29:45"));
  EXPECT_EQ(Sent()[0].source_line, "SET SOURCE = ");  // no Local ID recorded
  EXPECT_EQ(Sent()[0].body, "SENDTO [10.0.0.7] :the sky=blue");
  r.Tick();  // nothing waiting
  EXPECT_EQ(Sent().size(), 1u);
}

TEST_F(WindowEventsTest, QuestionMarkAloneIdentifiesTheProgramToUser) {
  WindowRig& r = Loaded();
  r.window.OutProg.UserEdited("Lexwright");
  DeliverFrom("10.0.0.7", "  ?  ");
  r.Tick();
  ASSERT_EQ(Sent().size(), 1u);
  EXPECT_EQ(Sent()[0].body, "SENDTO [10.0.0.7] User:Talkweave v100\r\nCAROB: aSentence");
  EXPECT_EQ(r.window.xStage, 1);
}

TEST_F(WindowEventsTest, OnlyABareQuestionMarkIsTheIdentificationRequest) {
  Knowledge("a note without key\r\n");
  WindowRig& r = Loaded();
  DeliverFrom("10.0.0.7", "??");
  r.Tick();
  // "??" is a question: the keyless line answers it.
  EXPECT_THAT(Answers(), ElementsAre(":a note without key"));
  // Without a SET SOURCE line the text keeps its line break: no question,
  // no identification; it is a statement without "be".
  Deliver("?");
  r.Tick();
  EXPECT_EQ(Answers().size(), 1u);
  EXPECT_EQ(KnowledgeBytes(), "a note without key\r\n");
}

TEST_F(WindowEventsTest, TextEndingInLineBreakIsAStatement) {
  WindowRig& r = Loaded();
  Deliver("the sky be blue?");  // no SET SOURCE line: ends in CR LF
  r.Tick();
  EXPECT_THAT(Answers(), IsEmpty());
  EXPECT_EQ(KnowledgeBytes(), "the sky=blue?\r\n");
}

TEST_F(WindowEventsTest, LineBreaksInASentenceNeverAddEntries) {
  WindowRig& r = Loaded();
  Deliver("grass be green\r\nsecret=planted\r\n,,");
  r.Tick();
  EXPECT_EQ(KnowledgeBytes(), "grass=green\r\n");
  EXPECT_EQ(Fresh(kKnowledgePath, "secret"), "");
  Deliver("leaf be\r\nx=y");  // nothing before the break: no object
  r.Tick();
  EXPECT_EQ(KnowledgeBytes(), "grass=green\r\n");
}

TEST_F(WindowEventsTest, SpacesOnlyAreIgnored) {
  WindowRig& r = Rig();
  r.window.xKnowledge = kKnowledgePath;  // not loaded: stage 0 would greet
  r.window.xStage = 0;
  DeliverFrom("10.0.0.7", "     ");
  r.Tick();
  EXPECT_THAT(Answers(), IsEmpty());
  EXPECT_EQ(r.window.xStage, 0);
  EXPECT_EQ(root.ReadFile(kInterfacePath), "") << "the entry was taken";
}

TEST_F(WindowEventsTest, TickFollowsThePulseWithinTheTimerRange) {
  WindowRig& r = Loaded();
  const std::string status = reg->StatusBank();
  struct Case {
    std::string stored;
    int interval;
  } cases[] = {
      {"5000", 5000}, {"250", 250}, {"100000", 65535}, {"-40", 1000}, {"0.4", 1000},
      // Too large for a 32-bit number: read as 0, and the loop keeps polling
      // at the default.
      {"99999999999", 1000}, {"", 1000},
  };
  for (const Case& c : cases) {
    EXPECT_TRUE(db->Write(status, "Pulse", c.stored));
    r.Tick();
    EXPECT_EQ(r.window.Reciever.Interval, c.interval) << "Pulse " << c.stored;
    EXPECT_TRUE(r.window.Reciever.Enabled);
  }
}

}  // namespace
}  // namespace carob::testing
