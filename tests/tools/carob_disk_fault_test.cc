// carob's thinking passes over a knowledge databank that cannot be read
// whole: the preloaded fault library (tests/support/fault_preload.c) makes
// reads of CAROB.dat fail from some read on, or end twice where bytes stand,
// while the real program runs its passes headless. The pass that meets the
// failure says it failed, and the knowledge file keeps every line it had,
// byte for byte, with nothing but whole learnt lines beside them.
#include <signal.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "tests/support/disk_fault.h"
#include "tests/support/process.h"

namespace carob::testing {
namespace {

const char kKnowledge[] = "C:\\ORB\\CAROB\\CAROB.dat";
const char kKnowledgeFile[] = "/ORB/CAROB/CAROB.dat";  // a piece of its real path

// Forty facts. The first thirty only teach their reverse. In the others a
// value holds the reverse of another fact ("kind1=animal, pet1" beside
// "pet1=kind1"), so a learnt fact is found there and nothing is written,
// unless the lookup is mistaken for an absence, which would overwrite it.
std::string FortyFacts() {
  std::vector<std::string> lines;
  for (int i = 1; i <= 30; ++i) {
    lines.push_back("subject" + std::to_string(i) + "=object" + std::to_string(i));
  }
  for (int i = 1; i <= 5; ++i) {
    const std::string n = std::to_string(i);
    lines.push_back("kind" + n + "=animal, pet" + n);
    lines.push_back("pet" + n + "=kind" + n);
  }
  return Lines(lines);
}

// What one start of carob left: it was started headless over `c`, its
// passes run once, and it was stopped once they said how they ended.
struct PassesRun {
  bool told = false;  // a lifecycle line said how the passes ended
  int code = -1;
  std::string err;
  std::vector<FaultCall> calls;
  int Failed() const { return static_cast<int>(std::ranges::count_if(calls, &FaultCall::failed)); }
};

PassesRun RunPasses(const Computer& c, const DiskFault& fault, bool images) {
  TempRoot scratch;
  const std::string log = scratch.path() + "/fault.log";
  Launch launch = InRoot(c.root, {c.carob});
  // Without its file images the databank reads the file at every lookup.
  if (!images) launch.env.push_back("CAROB_DATABANK_IMAGE=off");
  Process carob(WithDiskFault(std::move(launch), fault, log));
  auto said = [&](const char* text) { return carob.Err().find(text) != std::string::npos; };
  PassesRun run;
  if (WaitUntil([&] { return !carob.Running() || said("CAROB started"); })) {
    carob.Signal(SIGUSR1);
    run.told = WaitUntil([&] { return !carob.Running() || said("CAROB: thinking pass"); }) &&
               said("CAROB: thinking pass");
  }
  carob.Signal(SIGTERM);
  run.code = carob.Wait(60);
  run.err = carob.Err();
  run.calls = ReadFaultLog(log);
  return run;
}

// The key of a databank line.
std::string KeyOf(const std::string& line) { return line.substr(0, line.find('=')); }

TEST(CarobPassesOnAFailingDisk, APassThatCannotReadFailsAndTheKnowledgeKeepsItsLines) {
  const std::string before = FortyFacts();
  const std::vector<std::string> facts = SplitLines(before);
  for (bool images : {true, false}) {
    SCOPED_TRACE(images ? "with file images" : "reading the file at every lookup");
    const DiskFault reads{"read,pread", kKnowledgeFile, 0, 0};
    // A run on a sound disk: its reads, and every line the passes learn.
    std::vector<FaultCall> traced;
    std::set<std::string> learnt;
    {
      Computer c;
      c.root.WriteFile(kKnowledge, before);
      PassesRun clean = RunPasses(c, reads, images);
      ASSERT_TRUE(clean.told) << clean.err;
      ASSERT_NE(clean.err.find("thinking passes finished"), std::string::npos) << clean.err;
      ASSERT_EQ(clean.code, 0) << clean.err;
      const std::string after = c.root.ReadFile(kKnowledge);
      ASSERT_TRUE(after.starts_with(before) && after.size() > before.size()) << after;
      for (const std::string& line : SplitLines(after)) learnt.insert(line);
      traced = clean.calls;
    }
    const int n = static_cast<int>(traced.size());
    ASSERT_GE(n, 2) << "the passes read the knowledge file at least once to its end";

    // EIO from reads spread over the passes on; twice an end of file at the
    // first read from there that returns bytes (once is a short read).
    std::vector<DiskFault> faults;
    std::set<int> at = {0, 1, n - 1};
    for (int eighth = 1; eighth < 8; ++eighth) at.insert(n * eighth / 8);
    std::set<int> early_ends;
    for (int k : at) {
      faults.push_back({"read,pread", kKnowledgeFile, k, -1, "EIO"});
      for (int d = k; d < n; ++d) {
        if (traced[d].result > 0 && early_ends.insert(d).second) {
          faults.push_back({"read,pread", kKnowledgeFile, d, 2, "EOF"});
          break;
        }
      }
    }
    for (const DiskFault& fault : faults) {
      SCOPED_TRACE(fault.error + " at read " + std::to_string(fault.skip) + " of " +
                   std::to_string(n));
      Computer c;
      c.root.WriteFile(kKnowledge, before);
      const PassesRun run = RunPasses(c, fault, images);
      EXPECT_TRUE(run.told) << run.err;
      EXPECT_EQ(run.code, 0) << run.err;
      EXPECT_NE(run.err.find("CAROB stopped"), std::string::npos) << run.err;
      if (run.Failed() == 0) {
        ADD_FAILURE() << "the fault never fired";
        continue;
      }
      EXPECT_EQ(run.err.find("thinking passes finished"), std::string::npos)
          << "a read of the knowledge failed, yet the passes finished:\n" << run.err;
      EXPECT_NE(run.err.find(" failed ("), std::string::npos) << run.err;

      const std::string after = c.root.ReadFile(kKnowledge);
      EXPECT_GE(after.size(), before.size());
      EXPECT_TRUE(after.ends_with("\r\n")) << after;
      const std::vector<std::string> lines = SplitLines(after);
      for (const std::string& fact : facts) {
        EXPECT_EQ(std::ranges::count(lines, fact), 1) << "the fact \"" << fact << "\" is gone";
      }
      std::map<std::string, int> keys;
      for (const std::string& line : lines) {
        EXPECT_TRUE(learnt.contains(line)) << "a line no pass makes: \"" << line << "\"";
        EXPECT_EQ(++keys[KeyOf(line)], 1) << "a key stands twice: \"" << line << "\"";
      }
    }
  }
}

}  // namespace
}  // namespace carob::testing
