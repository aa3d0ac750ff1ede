// The three thinking passes run by Command1, on real knowledge files.
#include <gtest/gtest.h>

#include <functional>
#include <iostream>
#include <set>

#include "tests/support/fault_env.h"
#include "tests/window/window_fixture.h"

namespace carob::testing {
namespace {

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

class WindowPassesTest : public WindowTest {
 protected:
  // Runs the passes of one click; the yields run `on_yield` (may be empty).
  void Click(std::function<void()> on_yield = nullptr) {
    WindowRig& r = rig_ ? *rig_ : Loaded();
    ui.on_yield = std::move(on_yield);
    r.reports.clear();
    r.Click();
  }
  const std::vector<std::string>& Reports() { return Rig().reports; }
  bool Finished() {
    for (const std::string& line : Reports()) {
      if (line.find("thinking passes finished") != std::string::npos) return true;
    }
    return false;
  }
};

TEST_F(WindowPassesTest, SkyIsBlueLearnsOnlyTheReverse) {
  Knowledge("sky=blue\r\n");
  Click();
  EXPECT_EQ(KnowledgeBytes(), "sky=blue\r\nblue=sky\r\n");
  EXPECT_THAT(Rig().window.ActiveMemory.items(), ElementsAre("sky=blue", "blue=sky"));
  EXPECT_TRUE(Finished());
  EXPECT_THAT(Reports().back(), HasSubstr("2 memory lines"));
}

TEST_F(WindowPassesTest, WorkedExampleGivesExactlyTheseEntriesInThisOrder) {
  Knowledge("cat=small animal\r\nsmall=little\r\n");
  Click();
  // xThink1 adds the reverses, xThink2 "little animal", and xThink3 extends
  // "small animal" (rewritten, so it moves to the end).
  EXPECT_EQ(KnowledgeBytes(),
            "cat=small animal\r\n"
            "small=little\r\n"
            "little=small\r\n"
            "little animal=cat\r\n"
            "small animal=cat, little\r\n");
  EXPECT_EQ(Rig().window.ActiveMemory.ListCount(), 5);
  EXPECT_TRUE(Finished());
}

TEST_F(WindowPassesTest, ListOfObjectsOverTwoClicks) {
  Knowledge("tree=oak, ash\r\n");
  Click();
  EXPECT_EQ(KnowledgeBytes(), "tree=oak, ash\r\noak, ash=tree\r\noak ash=tree\r\n");
  Click();
  EXPECT_EQ(KnowledgeBytes(), "oak, ash=tree\r\noak ash=tree\r\ntree=oak, ash, oak ash\r\n");
  EXPECT_EQ(Fresh(kKnowledgePath, "TREE"), "oak, ash, oak ash");
}

TEST_F(WindowPassesTest, LineWithoutEqualsStoresNothingAndIsKept) {
  Knowledge("just a note\r\nsky=blue\r\n");
  Click();
  EXPECT_EQ(KnowledgeBytes(), "just a note\r\nsky=blue\r\nblue=sky\r\n");
  EXPECT_TRUE(Finished());
}

TEST_F(WindowPassesTest, EmptyValueTeachesNothing) {
  Knowledge("sky=blue\r\nvoid=\r\n");
  Click();
  // "void=" stands for an absent key; nothing is learnt from it, and no
  // reverse with an empty key appears.
  for (const std::string& line : SplitLines(KnowledgeBytes())) {
    EXPECT_FALSE(databank::KeyPart(line).empty()) << line;
    EXPECT_NE(databank::KeyPart(line), "void") << "nothing learnt for void";
  }
  EXPECT_EQ(Fresh(kKnowledgePath, "blue"), "sky");
  EXPECT_TRUE(Finished());
}

TEST_F(WindowPassesTest, EmptyKnowledgeFileLearnsNothing) {
  Knowledge("");
  Click();
  EXPECT_EQ(KnowledgeBytes(), "");
  EXPECT_EQ(Rig().window.ActiveMemory.ListCount(), 0);
  EXPECT_TRUE(Finished());
}

TEST_F(WindowPassesTest, MissingKnowledgeFileEndsTheClickAndSaysSo) {
  WindowRig& r = Loaded();
  r.window.ActiveMemory.AddItem("stale line");
  Click();
  EXPECT_EQ(r.window.ActiveMemory.ListCount(), 0);
  EXPECT_FALSE(root.Exists(kKnowledgePath));
  EXPECT_FALSE(Finished());
  ASSERT_EQ(Reports().size(), 2u);
  EXPECT_THAT(Reports()[1], HasSubstr("xThink1 failed"));
  EXPECT_FALSE(r.window.PassesRunning());

  // The program goes on: the next statement is learnt, the next click runs.
  r.peer.HandleSentence("sky be blue");
  Click();
  EXPECT_TRUE(Finished());
  EXPECT_EQ(KnowledgeBytes(), "sky=blue\r\nblue=sky\r\n");
}

// The memory list holds the knowledge file's lines as the file layer reads
// them, whatever ends the lines.
TEST_F(WindowPassesTest, MemoryHoldsTheFileLinesWhateverEndsThem) {
  const std::string files[] = {
      "sky=blue\r\nsea=wet\r\n", "sky=blue\nsea=wet\n", "sky=blue\r\nsea=wet",
      "a=1\n\n\r\nb=2\r\n\r\n", "a=1\r\r\nb=2\r", "\n", "\r\n", "lone\rcr",
  };
  WindowRig& r = Loaded();
  for (const std::string& bytes : files) {
    Knowledge(bytes);
    std::vector<std::string> expected;
    std::unique_ptr<platform::File> file;
    ASSERT_TRUE(env->Open(kKnowledgePath, platform::OpenMode::kRead, &file).ok());
    for (std::string line; file->ReadLine(line);) expected.push_back(line);
    ASSERT_TRUE(r.window.xRemember().ok());
    EXPECT_EQ(r.window.ActiveMemory.items(), expected) << ::testing::PrintToString(bytes);
  }
  Knowledge("a=1\n\n\r\nb=2\r\n\r\nc=3\r\r\nlast");
  ASSERT_TRUE(r.window.xRemember().ok());
  EXPECT_THAT(r.window.ActiveMemory.items(), ElementsAre("a=1", "", "", "b=2", "", "c=3\r", "last"));
}

TEST_F(WindowPassesTest, MemoryFailuresEmptyTheListAndSayWhy) {
  WindowRig& r = Loaded();
  const std::pair<std::string, std::string> cases[] = {
      {"  ", "no knowledge databank is set"},
      {"C:\\ORB\\CAROB\\", "knowledge databank C:\\ORB\\CAROB\\ is not a file"},
      {kKnowledgePath, std::string("knowledge databank ") + kKnowledgePath + " cannot be read"},
  };
  for (const auto& [knowledge, reason] : cases) {
    r.window.xKnowledge = knowledge;
    r.window.ActiveMemory.AddItem("stale line");
    platform::Status remembered = r.window.xRemember();
    EXPECT_FALSE(remembered.ok());
    EXPECT_EQ(remembered.cause(), reason);
    EXPECT_EQ(r.window.ActiveMemory.ListCount(), 0);

    std::vector<std::string> lines = {"stale"};
    EXPECT_FALSE(db->ReadLines(knowledge, lines).ok()) << knowledge;
    EXPECT_THAT(lines, IsEmpty());
  }
}

TEST_F(WindowPassesTest, WithAWindowAFailedPassIsShownAsStatus) {
  Rig();  // the layers
  StatusToolkit toolkit;
  window::Window shown(*env, *db, *reg, *msg, toolkit);
  std::vector<std::string> reports;
  shown.SetLifecycleReport([&](const std::string& line) { reports.push_back(line); });
  shown.Events().Load();
  shown.Command1.Click();  // no knowledge file
  ASSERT_EQ(toolkit.shown.size(), 1u);
  EXPECT_THAT(toolkit.shown[0], HasSubstr("xThink1 failed"));
  for (const std::string& line : reports) EXPECT_THAT(line, Not(HasSubstr("failed")));
}

TEST_F(WindowPassesTest, KnowledgeFileVanishingMidwayStopsTheRemainingPasses) {
  Knowledge("sky=blue\r\n");
  int yields = 0;
  Click([&] {
    // During xThink1's only yield the file disappears: xThink1's closing
    // reload fails and xThink2 and xThink3 do not run.
    if (++yields == 1) std::filesystem::remove(root.Native(kKnowledgePath));
  });
  EXPECT_EQ(yields, 1);
  EXPECT_FALSE(Finished());
  EXPECT_THAT(Reports().back(), HasSubstr("xThink1 failed"));
}

TEST_F(WindowPassesTest, FirstPassSwitchesTheDatabankTraceOn) {
  Knowledge("sky=blue\r\n");
  root.WriteFile("C:\\ORB\\CAROB\\Database_IO.log", "earlier run\r\n");
  Loaded();
  EXPECT_FALSE(db->IOLogEnabled());
  Click();
  EXPECT_TRUE(db->IOLogEnabled());
  EXPECT_EQ(root.ReadFile("C:\\ORB\\CAROB\\Database_IO.log.x"), "earlier run\r\n");
  EXPECT_THAT(root.ReadFile("C:\\ORB\\CAROB\\Database_IO.log"), HasSubstr("Query [blue]"));
}

TEST_F(WindowPassesTest, ClickDuringAYieldIsIgnoredAndThePassesFinish) {
  Knowledge("cat=small animal\r\nsmall=little\r\n");
  WindowRig& r = Loaded();
  int yields = 0;
  Click([&] {
    ++yields;
    EXPECT_TRUE(r.window.PassesRunning());
    r.Click();  // a second click inside the running passes
  });
  EXPECT_GT(yields, 0);
  EXPECT_FALSE(r.window.PassesRunning());
  EXPECT_TRUE(Finished());
  // The outcome is exactly that of one click.
  EXPECT_EQ(KnowledgeBytes(),
            "cat=small animal\r\nsmall=little\r\nlittle=small\r\n"
            "little animal=cat\r\nsmall animal=cat, little\r\n");
  int ignored = 0;
  for (const std::string& line : Reports()) {
    if (line.find("ignored") != std::string::npos) ++ignored;
  }
  EXPECT_EQ(ignored, yields);
}

TEST_F(WindowPassesTest, ReloadThatShortensTheListDuringAYieldIsSkipped) {
  Knowledge("a=1\r\nb=2\r\nc=3\r\n");
  WindowRig& r = Loaded();
  int yields = 0;
  Click([&] {
    // A question handled during the first yield finds a shorter file.
    if (++yields == 1) {
      root.WriteFile(kKnowledgePath, "a=1\r\n");
      r.peer.HandleSentence("what is a?");
    }
  });
  EXPECT_TRUE(Finished());
  EXPECT_FALSE(r.window.PassesRunning());
  // The cut file is what the later passes walked; positions 1 and 2 of the
  // first pass were skipped, so nothing was learnt from b or c.
  EXPECT_EQ(KnowledgeBytes(), "a=1\r\n");
  EXPECT_EQ(yields, 1 + 1 * 2 + 1);
  EXPECT_THAT(Answers(), ElementsAre(":a=1"));
}

TEST_F(WindowPassesTest, TickDuringAYieldIsHandledByTheReceiveLoop) {
  Knowledge("sky=blue\r\n");
  WindowRig& r = Loaded();
  DeliverFrom("10.0.0.7", "What is the sky?");
  bool ticked = false;
  Click([&] {
    if (!ticked) {
      ticked = true;
      r.Tick();
    }
  });
  EXPECT_TRUE(Finished());
  ASSERT_EQ(Sent().size(), 1u);
  EXPECT_EQ(Sent()[0].body, "SENDTO [10.0.0.7] :sky=blue");
  EXPECT_EQ(KnowledgeBytes(), "sky=blue\r\nblue=sky\r\n");
}

TEST_F(WindowPassesTest, YieldsOncePerLineInPassesOneAndThreeTwiceInTwo) {
  Knowledge("sky=blue\r\n");
  int yields = 0;
  Click([&] { ++yields; });
  // xThink1 walks 1 line, xThink2 and xThink3 walk the 2 lines then known.
  EXPECT_EQ(yields, 1 + 2 * 2 + 2);
  EXPECT_THAT(Rig().window.WordList.items(), ElementsAre("sky"));
}

}  // namespace
}  // namespace carob::testing

namespace carob::testing {
namespace {

// The passes of one click with the power cut at each of their steps in
// turn (their syncs grouped): the knowledge file the disk kept is always
// one the passes had written whole, never empty or a mix, and a program
// started again on it thinks on to the end.
TEST(PassesPowerCutTest, TheKnowledgeFileKeptIsOneThePassesWroteWhole) {
  const std::string start = "cat=small animal\r\nsmall=little\r\ntree=oak, ash\r\n";
  const WorldOptions options{.fileloc = kBaseFileLoc + "CAROB interface=" + kInterfacePath + "\r\n"};
  // Runs the click over a fault Env; `before` prepares it once loaded.
  auto click = [&](World& w, const std::function<void(FaultEnv&)>& before) {
    w.root.MakeFolder("C:\\ORB\\RORU");
    w.root.WriteFile(kKnowledgePath, start);
    FaultEnv* fault = w.Wrap<FaultEnv>();
    w.AddMessaging();
    window::Window win(*fault, *w.db, *w.reg, *w.msg, w.ui);
    win.Events().Load();
    before(*fault);
    win.Command1.Click();
    return fault;
  };

  std::set<std::string> written{start};  // every state the file passed through
  int steps = 0;
  {
    World w(options);
    FaultEnv* fault = click(w, [&](FaultEnv& f) {
      f.Count();
      f.on_step = [&] { written.insert(w.root.ReadFile(kKnowledgePath)); };
    });
    steps = fault->steps();
    fault->on_step = nullptr;
  }
  ASSERT_GT(steps, 10);
  ASSERT_GT(written.size(), 3u);
  for (int n = 1; n <= steps + 1; ++n) {
    SCOPED_TRACE("power cut at step " + std::to_string(n) + " of " + std::to_string(steps));
    World w(options);
    FaultEnv* fault = click(w, [&](FaultEnv& f) {
      f.Track(w.root.path());
      f.CutAt(n);
    });
    fault->PowerUp();
    const std::string kept = w.root.ReadFile(kKnowledgePath);
    EXPECT_TRUE(written.count(kept)) << kept;
    w.Restart();
    WindowRig rig(w);
    rig.Load();
    rig.Click();
    EXPECT_THAT(rig.reports, Contains(HasSubstr("thinking passes finished")));
  }
  std::cout << "power cuts in the passes: " << steps + 1 << " cut points tried\n";
}

}  // namespace
}  // namespace carob::testing
