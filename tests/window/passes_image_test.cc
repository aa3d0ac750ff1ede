// The thinking passes answered from file images give the very bytes of the
// reference path (every lookup read from the file): the knowledge file and
// the databank I/O log, line for line once the time stamps are cut off. And
// another program writing the knowledge file meanwhile is seen at once.
#include <gtest/gtest.h>

#include <sstream>

#include "tests/databank/databank_fixture.h"
#include "tests/support/process.h"
#include "tests/window/window_fixture.h"

namespace carob::testing {
namespace {

// Knowledge of `facts` generated facts whose words are other facts'
// subjects, with every kind of line the file format allows: keys in other
// letter cases and with blanks around "=", values with room to spare (the
// in-place overwrite), empty values, lines without "=" or beginning with
// "=", a blank line, bare LF ends and a last line without its end.
std::string GeneratedKnowledge(int facts) {
  std::ostringstream out;
  // Looked up before any rewrite drops it: a removal.
  out << "void=\r\nhole=void\r\n";
  for (int i = 0; i < facts; ++i) {
    out << "thing" << i << "=kind" << (i * 7) % facts << " thing" << (i * 13 + 5) % facts;
    if (i % 17 == 0) out << "                    ";  // room for merged values
    out << (i % 29 == 0 ? "\n" : "\r\n");
    if (i % 23 == 0) out << "  KIND" << i << "  =  thing" << (i * 3) % facts << "\r\n";
    if (i % 31 == 0) out << "Thing" << i << "=shadowed " << i << "\r\n";
    if (i % 37 == 0) out << "void" << i << "=\r\n";
    if (i % 41 == 0) out << "a note without equals " << i << "\r\n=no key " << i << "\r\n\r\n";
  }
  out << "last=line without end";
  return out.str();
}

struct Outcome {
  std::string knowledge;
  std::vector<std::string> log;
  std::vector<std::string> memory;
};

// Two clicks over the generated knowledge in a world of their own.
Outcome TwoClicks(int facts, bool images) {
  World world({.fileloc = kBaseFileLoc});
  world.root.WriteFile(kKnowledgePath, GeneratedKnowledge(facts));
  WindowRig rig(world);
  world.db->UseImages(images);
  rig.Load();
  rig.Click();
  rig.Click();
  // Each click starts the log afresh: the first click's is the previous one.
  std::vector<std::string> log = LogTexts(world.root.ReadFile(kLog + std::string(".x")));
  for (std::string& line : LogTexts(world.root.ReadFile(kLog))) log.push_back(std::move(line));
  return {world.root.ReadFile(kKnowledgePath), log, rig.window.ActiveMemory.items()};
}

TEST(PassesImageTest, SameKnowledgeAndSameLogWithImagesAsWithout) {
  const Outcome reference = TwoClicks(200, false);
  const Outcome imaged = TwoClicks(200, true);
  EXPECT_EQ(imaged.knowledge, reference.knowledge);
  EXPECT_EQ(imaged.memory, reference.memory);
  ASSERT_EQ(imaged.log.size(), reference.log.size());
  for (size_t i = 0; i < reference.log.size(); ++i) {
    ASSERT_EQ(imaged.log[i], reference.log[i]) << "log line " << i;
  }
  // The run went through every way of writing and reading.
  auto count = [&](const std::string& text) {
    return std::count_if(reference.log.begin(), reference.log.end(), [&](const std::string& l) {
      return l.find(text) != std::string::npos;
    });
  };
  for (const char* kind : {"Appending.", "Inscribing.", "standard method", "serial 1 Query",
                           "DeCached from read cache", "DeCached from write cache",
                           "allocated swap", " Swap serial 2 Set", "RemoveEntry"}) {
    EXPECT_GT(count(kind), 0) << kind;
  }
}

// Another program of the family writes the knowledge file between the
// lookups of the passes: appends new facts and overwrites one in place (the
// same length, so only the time and the content move).
TEST(PassesImageTest, AnotherProgramsWritesAreSeenByTheNextLookupAndKept) {
  World world({.fileloc = kBaseFileLoc});
  world.root.WriteFile(kKnowledgePath, GeneratedKnowledge(120));
  WindowRig rig(world);
  ASSERT_TRUE(world.db->UsesImages());
  rig.Load();
  int yields = 0;
  std::vector<std::string> written;
  std::string failures;
  world.ui.on_yield = [&] {
    if (++yields % 60 != 0) return;
    const std::string key = "visitor" + std::to_string(yields);
    const std::string value = "guest" + std::to_string(yields);
    Ran ran = RunOrb(world.root, {"set", kKnowledgePath, key, value});
    if (ran.code != 0) failures += ran.err;
    written.push_back(key + "=" + value);
    if (world.db->Query(std::string(kKnowledgePath), std::string(key)) != value) {
      failures += "not seen after its append: " + key + "\n";
    }
    // "kind0 thing5" becomes "kind0 thingX": the same room, written in place.
    const std::string same_size = "kind0 thing" + std::string(1, static_cast<char>('A' + yields % 26));
    ran = RunOrb(world.root, {"set", kKnowledgePath, "thing0", same_size});
    if (world.db->Query(std::string(kKnowledgePath), std::string("thing0")).rfind(same_size, 0) != 0) {
      failures += "not seen after its overwrite: thing0=" + same_size + "\n";
    }
  };
  rig.Click();
  EXPECT_EQ(failures, "");
  ASSERT_GT(written.size(), 3u);
  const std::vector<std::string> lines = SplitLines(world.root.ReadFile(kKnowledgePath));
  for (const std::string& fact : written) {
    EXPECT_EQ(std::count(lines.begin(), lines.end(), fact), 1) << fact;
  }
}

}  // namespace
}  // namespace carob::testing
