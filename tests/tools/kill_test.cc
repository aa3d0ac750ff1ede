// Programs of the family killed with SIGKILL at random moments while they
// take entries from their queues: the dispatcher passing messages on and
// carob learning sentences. Nothing may be lost, what a killed taker left in
// the temporary folder is finished and removed at the next start, and the
// number of entries handed over more than once is reported.
#include <signal.h>

#include <filesystem>
#include <map>
#include <random>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/process.h"

namespace carob::testing {
namespace {

const char kInput[] = "C:\\ORB\\TOOLS\\RORU PO.input.POF";
const char kCarobIface[] = "C:\\ORB\\CAROB\\CAROB.interface.POF";
constexpr int kKills = 30;

// Names of the files in the temporary folder that a taker made ("ROZ.").
std::vector<std::string> TakerFiles(const Computer& c) {
  std::vector<std::string> out;
  for (auto& e : std::filesystem::directory_iterator(c.root.Native(kTempFolder))) {
    std::string name = e.path().filename().string();
    if (name.rfind("ROZ.", 0) == 0) out.push_back(name);
  }
  return out;
}

// Starts `argv` on `c` and, once the queue `file` has begun to shrink, kills
// it after a random moment, kKills times; `after_kill` looks at what the
// killed process left before the next start.
void KillRepeatedly(Computer& c, const std::vector<std::string>& argv, const std::string& file,
                    int max_ms, const std::function<void()>& after_kill) {
  std::mt19937 random(12345);
  std::uniform_int_distribution<int> delay(0, max_ms);
  for (int k = 0; k < kKills; ++k) {
    const size_t before = c.root.ReadFile(file).size();
    auto p = c.Start(argv);
    WaitUntil([&] { return c.root.ReadFile(file).size() < before; }, 30, 2);
    std::this_thread::sleep_for(std::chrono::milliseconds(delay(random)));
    p->Signal(SIGKILL);
    p->Wait(30);
    after_kill();
  }
}

TEST(KilledTaker, DispatcherLosesNothing) {
  Computer c(1);
  c.AddStatus("Local ID", "hostA");
  c.AddFileLoc("RORU PO Input", kInput);
  c.AddFileLoc("CAROB interface", kCarobIface);
  constexpr int kEntries = 3000;
  std::string queue;
  for (int i = 0; i < kEntries; ++i) {
    queue += RozEntry("SET SOURCE = hostB\r\nDO CAROB:message " + std::to_string(i));
  }
  c.root.WriteFile(kInput, queue);

  int left_behind = 0;  // taker files found after a kill
  KillRepeatedly(c, {c.orb, "dispatch"}, kInput, 40,
                 [&] { left_behind += static_cast<int>(TakerFiles(c).size()); });
  // The kills landed while there was work: the input was not yet empty.
  EXPECT_LT(c.Entries(kCarobIface).size(), static_cast<size_t>(kEntries));
  auto r = c.RunOrb({"dispatch", "--once"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(c.root.ReadFile(kInput), "");
  EXPECT_EQ(c.Entries("C:\\ORB\\TOOLS\\RORU PO.input.pending.POF").size(), 0u) << r.err;
  EXPECT_EQ(c.Entries("C:\\ORB\\TOOLS\\RORU PO.input.undeliverable.POF").size(), 0u) << r.err;

  std::map<int, int> seen;
  for (const EntryLines& e : c.Entries(kCarobIface)) {
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0], "SET SOURCE = hostB");
    ++seen[std::stoi(e[1].substr(8))];
  }
  int lost = 0, doubled = 0;
  for (int i = 0; i < kEntries; ++i) {
    if (seen[i] == 0) ++lost;
    if (seen[i] > 1) doubled += seen[i] - 1;
  }
  std::cout << "dispatcher: " << kKills << " kills, " << kEntries << " entries, " << lost
            << " lost, " << doubled << " delivered twice, " << left_behind
            << " claim files found after a kill\n";
  RecordProperty("delivered_twice", doubled);
  EXPECT_EQ(lost, 0);
  EXPECT_EQ(doubled, 0);
  // What the killed dispatchers left was finished and removed.
  EXPECT_EQ(TakerFiles(c), std::vector<std::string>{});
}

TEST(KilledTaker, CarobLosesNoSentence) {
  Computer c(1);
  c.AddFileLoc("CAROB interface", kCarobIface);
  constexpr int kSentences = 1500;
  std::string queue;
  for (int i = 0; i < kSentences; ++i) {
    queue += RozEntry("SET SOURCE = hostB\r\nkx" + std::to_string(i) + " be vy" + std::to_string(i));
  }
  c.root.WriteFile(kCarobIface, queue);

  // Each handing over is in the console log of the run.
  const std::string log = "C:\\ORB\\CAROB\\Console_use.log";
  std::map<std::string, int> handed;
  auto count_log = [&] {
    if (!c.root.Exists(log)) return;
    for (const std::string& line : SplitLines(c.root.ReadFile(log))) {
      size_t at = line.find("| Recieved [");
      if (at != std::string::npos) ++handed[line.substr(at + 12)];
    }
  };
  KillRepeatedly(c, {c.carob}, kCarobIface, 40, count_log);
  EXPECT_FALSE(c.Entries(kCarobIface).empty()) << "the kills came too late to mean anything";

  auto p = c.Start({c.carob});
  ASSERT_TRUE(WaitUntil([&] { return c.root.ReadFile(kCarobIface).empty(); }, 120));
  p->Signal(SIGTERM);
  EXPECT_EQ(p->Wait(60), 0) << p->Err();
  count_log();

  const std::string knowledge = c.root.ReadFile("C:\\ORB\\CAROB\\CAROB.dat");
  int lost = 0, again = 0;
  for (int i = 0; i < kSentences; ++i) {
    auto value = BankValue(knowledge, "kx" + std::to_string(i));
    if (value != "vy" + std::to_string(i)) ++lost;
  }
  for (auto& [text, n] : handed) again += n - 1;
  EXPECT_EQ(handed.size(), static_cast<size_t>(kSentences)) << "every sentence is in the logs";
  std::cout << "carob: " << kKills << " kills, " << kSentences << " sentences, " << lost
            << " not learnt, " << again << " handed over again after a kill\n";
  RecordProperty("handed_over_again", again);
  EXPECT_EQ(lost, 0);
  // At worst the one being handled at each kill comes again.
  EXPECT_LE(again, kKills);
  EXPECT_EQ(TakerFiles(c), std::vector<std::string>{});
}

}  // namespace
}  // namespace carob::testing
