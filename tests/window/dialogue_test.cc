// Dialogue handling: greeting, statements with "be", the merge rules,
// questions answered from the knowledge file, and the words of a text.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>

#include "platform/text.h"
#include "tests/window/window_fixture.h"

namespace carob::testing {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

class WindowDialogueTest : public WindowTest {
 protected:
  // Handles each sentence in turn with a loaded window.
  void Tell(std::initializer_list<std::string> sentences) {
    WindowRig& r = rig_ ? *rig_ : Loaded();
    for (const std::string& s : sentences) r.peer.HandleSentence(s);
  }
  std::string Known(const std::string& subject) { return Fresh(kKnowledgePath, subject); }
};

TEST_F(WindowDialogueTest, StageZeroGreetsOnceAndLearnsNothing) {
  WindowRig& r = Rig();  // not loaded: stage 0
  r.window.xKnowledge = kKnowledgePath;
  r.peer.HandleSentence("the sky be blue");
  EXPECT_EQ(r.window.xStage, 1);
  EXPECT_THAT(Answers(), ElementsAre(":Hello. Who are you?"));
  EXPECT_FALSE(root.Exists(kKnowledgePath));

  r.peer.HandleSentence("the sky be blue");
  EXPECT_EQ(Known("the sky"), "blue");
  EXPECT_EQ(Answers().size(), 1u);
}

TEST_F(WindowDialogueTest, OtherStagesIgnoreSentences) {
  WindowRig& r = Loaded();
  r.window.xStage = 2;
  r.peer.HandleSentence("the sky be blue");
  r.peer.HandleSentence("What is the sky?");
  EXPECT_EQ(r.window.xStage, 2);
  EXPECT_FALSE(root.Exists(kKnowledgePath));
  EXPECT_THAT(Answers(), IsEmpty());
}

TEST_F(WindowDialogueTest, StatementSplitsAtTheFirstBeEvenInsideWords) {
  Tell({"Maybe it rains", "sky be-blue", "SEA BEblue", "Abe be honest"});
  EXPECT_EQ(Known("May"), "it rains");
  // The one character after "be" is skipped whatever it is.
  EXPECT_EQ(Known("sky"), "blue");
  EXPECT_EQ(Known("SEA"), "lue");
  // "Abe" holds the first "be": subject "A", object from "be" + 1 on.
  EXPECT_EQ(Known("A"), "be honest");
  EXPECT_THAT(Answers(), IsEmpty());
}

TEST_F(WindowDialogueTest, StatementsWithoutSubjectTeachNothing) {
  Tell({"it rains", "be quiet", "Be happy", "sky be"});
  // Only "sky be" has a subject, and its empty object stores nothing.
  EXPECT_EQ(KnowledgeBytes(), "<missing>");
}

TEST_F(WindowDialogueTest, SkippedCharacterAtTheEndLeavesAnEmptyObject) {
  Knowledge("sky=blue\r\n");
  Tell({"sky bex"});
  EXPECT_EQ(KnowledgeBytes(), "sky=blue\r\n");
}

TEST_F(WindowDialogueTest, MergeRulesGrowOneEntryPerSubject) {
  Tell({"sky be blue", "sky be clear", "sky be high"});
  EXPECT_EQ(Known("sky"), "blue, clear, high");
  // Contained in the known value, or containing it (case aside): nothing.
  Tell({"sky be CLEAR", "sky be lue", "sky be blue, clear, high and far"});
  EXPECT_EQ(Known("sky"), "blue, clear, high");
  EXPECT_EQ(KnowledgeBytes().find("\r\n"), KnowledgeBytes().size() - 2) << "one line only";
}

TEST_F(WindowDialogueTest, MergeRulesRefuseWhenSubjectAndValueContainEachOther) {
  Tell({"bluebird be blue", "bluebird be small"});
  EXPECT_EQ(Known("bluebird"), "blue");  // the known value occurs in the subject
  Tell({"sea be the sea itself", "sea be wet"});
  EXPECT_EQ(Known("sea"), "the sea itself");  // the subject occurs in the known value
}

TEST_F(WindowDialogueTest, SubjectInOtherCapitalsJoinsTheSameEntry) {
  Tell({"Sky be blue", "SKY be clear"});
  const std::vector<std::string> lines = SplitLines(KnowledgeBytes());
  ASSERT_EQ(lines.size(), 1u) << KnowledgeBytes();
  EXPECT_EQ(databank::ValuePart(lines[0]), "blue, clear");
  EXPECT_EQ(Known("sky"), "blue, clear");
}

TEST_F(WindowDialogueTest, UpToTwoCommasAreStrippedAtEachEnd) {
  Tell({",,sky,, be ,,blue,,", ", , sea , be , wet ,", ",,,fog be grey,,,"});
  EXPECT_EQ(Known("sky"), "blue");
  EXPECT_EQ(Known("sea"), "wet");
  // A third comma at each end stays.
  EXPECT_EQ(Known(",fog"), "grey,");
}

TEST_F(WindowDialogueTest, QuestionsAreNeverLearnt) {
  Tell({"Can the sky be blue?"});
  EXPECT_EQ(KnowledgeBytes(), "<missing>");
  EXPECT_THAT(Answers(), IsEmpty());
}

TEST_F(WindowDialogueTest, QuestionsAnswerEveryContainedSubjectInFileOrder) {
  Knowledge("the sea=wet\r\nthe sky=blue, clear\r\ngrass=green\r\n");
  Tell({"Is THE SKY above the sea?"});
  EXPECT_THAT(Answers(), ElementsAre(":the sea=wet", ":the sky=blue, clear"));
  Tell({"What is a cloud?"});
  EXPECT_EQ(Answers().size(), 2u) << "no subject, no answer";
}

TEST_F(WindowDialogueTest, QuestionReadsTheFileAsItIsNow) {
  Tell({"What is the sky?"});
  EXPECT_THAT(Answers(), IsEmpty());  // no knowledge file yet
  EXPECT_EQ(Rig().window.ActiveMemory.ListCount(), 0);
  Knowledge("the sky=grey\r\n");
  Tell({"What is the sky?"});
  EXPECT_THAT(Answers(), ElementsAre(":the sky=grey"));
  EXPECT_EQ(Rig().window.ActiveMemory.ListCount(), 1);
}

TEST_F(WindowDialogueTest, ALongQuestionCostsAboutTheTimeToReadIt) {
  // A 10 KB subject that nearly matches at every place of a 4 MB question:
  // a naive search compares about 4e10 characters (half a minute), a linear
  // one a few million.
  const std::string subject = std::string(10 * 1024 - 1, 'a') + "b";
  Knowledge("short=x\r\n" + subject + "=long\r\n");
  WindowRig& r = Loaded();
  const auto start = std::chrono::steady_clock::now();
  r.peer.HandleSentence(std::string(4 << 20, 'A') + "B?");
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  EXPECT_THAT(Answers(), ElementsAre(":" + subject + "=long"));
  EXPECT_LT(took.count(), 5.0);
}

TEST_F(WindowDialogueTest, AnUnusableKnowledgeFileIsReportedOnce) {
  WindowRig& r = Loaded();
  auto told = [&](const std::string& what) {
    return std::count_if(r.reports.begin(), r.reports.end(), [&](const std::string& line) {
      return line.rfind("CAROB: cannot " + what + ": ", 0) == 0;
    });
  };
  Tell({"What is the sky?"});  // no knowledge file yet: nothing has been learnt, nothing failed
  EXPECT_EQ(told("answer"), 0);

  root.MakeFolder(kKnowledgePath);  // a folder where the knowledge file belongs
  Tell({"What is the sky?", "Where is the sea?", "the sky be blue", "the sea be wet"});
  EXPECT_EQ(told("answer"), 1) << ::testing::PrintToString(r.reports);
  EXPECT_EQ(told("learn"), 1) << ::testing::PrintToString(r.reports);
  EXPECT_THAT(Answers(), IsEmpty());
}

TEST_F(WindowDialogueTest, AFailedLearnLeavesTheTitleAtTheNextSuccess) {
  Rig();  // the layers
  StatusToolkit toolkit;
  window::Window shown(*env, *db, *reg, *msg, toolkit);
  window::WindowTestPeer peer{shown};
  shown.Events().Load();
  // "hello" is no "subject be object" sentence: its blank key cannot be
  // learnt. The next sentence learnt, or found known already, takes the
  // failure down; a failure again is shown again.
  for (const char* sentence : {"hello", "the sky be blue", "hello", "the sky be blue"}) {
    peer.HandleSentence(sentence);
  }
  ASSERT_EQ(toolkit.shown.size(), 4u) << ::testing::PrintToString(toolkit.shown);
  EXPECT_EQ(toolkit.shown[0].rfind("CAROB: cannot learn: ", 0), 0u) << toolkit.shown[0];
  EXPECT_EQ(toolkit.shown[1], "");
  EXPECT_EQ(toolkit.shown[2], toolkit.shown[0]);
  EXPECT_EQ(toolkit.shown[3], "");
  EXPECT_EQ(Known("the sky"), "blue");
}

TEST_F(WindowDialogueTest, LinesWithoutKeyAnswerEveryQuestion) {
  Knowledge("a loose note\r\n=orphan\r\nsky=blue\r\n");
  Tell({"Anything?"});
  EXPECT_THAT(Answers(), ElementsAre(":a loose note", ":=orphan"));
}

TEST_F(WindowDialogueTest, AnswersGoToTheTrimmedOutputProgram) {
  Knowledge("sky=blue\r\n");
  WindowRig& r = Loaded();
  r.window.OutProg.UserEdited("  Lexwright  ");
  r.peer.HandleSentence("sky?");
  r.window.OutProg.UserEdited("");
  r.peer.HandleSentence("sky?");
  EXPECT_THAT(Answers(), ElementsAre("Lexwright:sky=blue", ":sky=blue"));
}

TEST_F(WindowDialogueTest, LearnWritesOneNormalisedLine) {
  WindowRig& r = Loaded();
  ASSERT_TRUE(r.peer.Learn(kKnowledgePath, "  , owl ,", " wise  "));
  ASSERT_TRUE(r.peer.Learn(kKnowledgePath, "OWL", "wise"));
  EXPECT_EQ(KnowledgeBytes(), "owl=wise\r\n");
}

TEST_F(WindowDialogueTest, SplitWordsCutsAtSpacesOnly) {
  WindowRig& r = Loaded();
  auto& words = r.window.WordList;
  r.peer.SplitWords("two   words");
  EXPECT_THAT(words.items(), ElementsAre("two", "words"));
  r.peer.SplitWords(",word, ,, ,,, oak,ash. what? tab\there");
  EXPECT_THAT(words.items(), ElementsAre("word", ",", "oak,ash.", "what?", "tab\there"));
  r.peer.SplitWords("   ");
  EXPECT_THAT(words.items(), IsEmpty());
  r.peer.SplitWords(" , ");
  EXPECT_THAT(words.items(), IsEmpty());
  r.peer.SplitWords("line\r\nbreak");
  EXPECT_THAT(words.items(), ElementsAre("line\r\nbreak"));
}

// Learning strips two rounds of commas, a word one; a round takes a comma
// from the end, then one from the start, and the blanks each uncovers.
TEST_F(WindowDialogueTest, CommaStrippingRoundsOnTrickyTexts) {
  struct Case {
    std::string text, one_round, two_rounds;
  };
  const Case cases[] = {
      {"", "", ""},
      {"   ", "", ""},
      {",", "", ""},
      {",,", "", ""},
      {",,,", ",", ""},
      {" , ", "", ""},
      {",a", "a", "a"},
      {"a,", "a", "a"},
      {",,sky,,", ",sky,", "sky"},
      {",,,fog,,,", ",,fog,,", ",fog,"},
      {", , sea , ,", ", sea ,", "sea"},
      {"sky , ,", "sky ,", "sky"},
      {"oak,ash", "oak,ash", "oak,ash"},
      {"\t,x,\t", "\t,x,\t", "\t,x,\t"},
  };
  WindowRig& r = Loaded();
  for (const Case& c : cases) {
    EXPECT_EQ(window::StripCommas(c.text, 1), c.one_round) << "[" << c.text << "]";
    EXPECT_EQ(window::StripCommas(c.text, 2), c.two_rounds) << "[" << c.text << "]";
    // A text without inner blanks is one word to the word splitter.
    if (platform::Trim(c.text).find(' ') != std::string::npos) continue;
    r.peer.SplitWords(c.text);
    if (c.one_round.empty()) {
      EXPECT_THAT(r.window.WordList.items(), IsEmpty()) << "[" << c.text << "]";
    } else {
      EXPECT_THAT(r.window.WordList.items(), ElementsAre(c.one_round)) << "[" << c.text << "]";
    }
  }
}

}  // namespace
}  // namespace carob::testing
