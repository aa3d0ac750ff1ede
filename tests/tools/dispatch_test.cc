// The dispatcher `orb dispatch`, run as a real process over a temporary
// computer: what it records at start and stop, how it routes DO and SENDTO
// entries, what waits and what is kept as undeliverable, and that nothing is
// lost or doubled while several senders append.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/process.h"

namespace carob::testing {
namespace {

std::string JoinLines(const EntryLines& lines) {
  std::string s;
  for (size_t i = 0; i < lines.size(); ++i) s += (i ? "\n" : "") + lines[i];
  return s;
}

const char kInput[] = "C:\\ORB\\TOOLS\\RORU PO.input.POF";
const char kPending[] = "C:\\ORB\\TOOLS\\RORU PO.input.pending.POF";
const char kUndeliverable[] = "C:\\ORB\\TOOLS\\RORU PO.input.undeliverable.POF";
const char kCarobIface[] = "C:\\ORB\\CAROB\\CAROB.interface.POF";

TEST(DispatchStart, RecordsInputRegistrationAndLocalIdAndSignsOff) {
  Computer c;
  auto r = c.RunOrb({"dispatch", "--once", "--local-id", "hostA"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(c.FileLocValue("RORU PO Input"), kInput);
  EXPECT_EQ(c.StatusValue("Local ID"), "hostA");
  EXPECT_EQ(c.StatusValue("RORU PO running"), "No");
  EXPECT_EQ(c.StatusValue("RORU PO path"), "C:\\ORB\\TOOLS\\ORB.EXE");
  EXPECT_TRUE(c.StatusValue("RORU PO last login date").has_value());
  EXPECT_TRUE(c.StatusValue("RORU PO last login time").has_value());

  // A recorded input file is kept, wherever it lies.
  Computer d;
  d.AddFileLoc("RORU PO Input", "C:\\SHARE\\in.POF");
  d.AppendEntry("C:\\SHARE\\in.POF", "SET SOURCE = x\r\nDO Nobody:hi");
  r = d.RunOrb({"dispatch", "--once", "--local-id", "hostA"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(d.FileLocValue("RORU PO Input"), "C:\\SHARE\\in.POF");
  EXPECT_EQ(d.root.ReadFile("C:\\SHARE\\in.POF"), "");
  EXPECT_EQ(d.Entries("C:\\SHARE\\in.pending.POF").size(), 1u);
}

TEST(DispatchStart, LocalIdIsTheHostNameUnlessGivenAndIsNeverReplaced) {
  Computer c;
  auto r = c.RunOrb({"dispatch", "--once"});
  ASSERT_EQ(r.code, 0) << r.err;
  char host[256] = {};
  ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
  EXPECT_EQ(c.StatusValue("Local ID"), std::string(host));

  r = c.RunOrb({"dispatch", "--once", "--local-id", "elsewhere"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(c.StatusValue("Local ID"), std::string(host));
  EXPECT_NE(r.err.find("keeping"), std::string::npos) << r.err;
}

TEST(DispatchStart, WrongUsageIsExitTwo) {
  Computer c;
  EXPECT_EQ(c.RunOrb({"dispatch", "--bogus"}).code, 2);
  EXPECT_EQ(c.RunOrb({"dispatch", "--local-id"}).code, 2);
  EXPECT_EQ(c.RunOrb({"dispatch", "extra"}).code, 2);
  // Nothing was registered by a refused start.
  EXPECT_FALSE(c.StatusValue("RORU PO running").has_value());
}

TEST(DispatchRouting, DeliversDoAndLocalSendToWithTheSenderNamed) {
  Computer c;
  c.AddFileLoc("CAROB interface", kCarobIface);
  c.AddStatus("Local ID", "hostA");
  c.AddFileLoc("RORU PO Input", kInput);
  c.AppendEntry(kInput, "SET SOURCE = hostB\r\nDO CAROB:the sky be blue");
  c.AppendEntry(kInput, "SET SOURCE = hostB\r\nDO carob:lower case prefix");
  c.AppendEntry(kInput, "SET SOURCE = hostC\r\nSENDTO [hostA] CAROB:addressed here");
  c.AppendEntry(kInput, "SET SOURCE = hostC\r\nSENDTO [HOSTA] Carob :other case");
  c.AppendEntry(kInput, "DO CAROB:no source line");
  c.AppendEntry(kInput, "SET SOURCE = hostB\r\nDO CAROB:two\r\nlines: here");
  c.AppendEntry(kInput, "set source = hostD\r\nSENDTO [0.0.0.0] CAROB: no computer named");

  auto r = c.RunOrb({"dispatch", "--once"});
  ASSERT_EQ(r.code, 0) << r.err;
  std::vector<EntryLines> want = {
      {"SET SOURCE = hostB", "the sky be blue"},
      {"SET SOURCE = hostB", "lower case prefix"},
      {"SET SOURCE = hostC", "addressed here"},
      {"SET SOURCE = hostC", "other case"},
      {"SET SOURCE = 0.0.0.0", "no source line"},
      {"SET SOURCE = hostB", "two", "lines: here"},
      {"SET SOURCE = hostD", " no computer named"},
  };
  EXPECT_EQ(c.Entries(kCarobIface), want);
  EXPECT_EQ(c.root.ReadFile(kInput), "");
  EXPECT_FALSE(c.root.Exists(kPending) && !c.root.ReadFile(kPending).empty());
  EXPECT_NE(r.out.find("taken 7, delivered 7"), std::string::npos) << r.out;
}

TEST(DispatchRouting, ForwardsOtherComputersUnchangedAndKeepsTheUnroutable) {
  Computer c;
  c.AddStatus("Local ID", "hostA");
  c.AddFileLoc("RORU PO Input", kInput);
  c.AddFileLoc("CAROB interface", kCarobIface);
  c.AddFileLoc("RORU PO Route hostB", "C:\\SHARE\\hostB.input.POF");
  c.AddFileLoc("RORU PO Route hostY", kInput);  // a route that leads back here
  c.AppendEntry(kInput, "SET SOURCE = hostA\r\nSENDTO [hostB] CAROB:for b\r\nsecond line");
  c.AppendEntry(kInput, "SET SOURCE = hostA\r\nSENDTO [hostZ] CAROB:nowhere");
  c.AppendEntry(kInput, "SET SOURCE = hostA\r\nDO no application");
  c.AppendEntry(kInput, "SET SOURCE = hostA\r\nHELLO CAROB:x");
  c.AppendEntry(kInput, "SET SOURCE = hostA\r\nDO :empty application");
  c.AppendEntry(kInput, "SET SOURCE = hostA\r\nSENDTO [hostY] CAROB:round and round");
  c.AppendEntry(kInput, "SET SOURCE = hostA\r\nSENDTO [hostB CAROB:unclosed");

  // The shared folder is not there yet: the entry for hostB waits.
  auto r = c.RunOrb({"dispatch", "--once"});
  ASSERT_EQ(r.code, 0) << r.err;
  std::vector<EntryLines> forwarded = {{"SET SOURCE = hostA", "SENDTO [hostB] CAROB:for b", "second line"}};
  EXPECT_EQ(c.Entries(kPending), forwarded);
  EXPECT_NE(r.err.find("hostB.input.POF"), std::string::npos) << r.err;
  std::vector<EntryLines> kept = {
      {"SET SOURCE = hostA", "SENDTO [hostZ] CAROB:nowhere"},
      {"SET SOURCE = hostA", "DO no application"},
      {"SET SOURCE = hostA", "HELLO CAROB:x"},
      {"SET SOURCE = hostA", "DO :empty application"},
      {"SET SOURCE = hostA", "SENDTO [hostY] CAROB:round and round"},
      {"SET SOURCE = hostA", "SENDTO [hostB CAROB:unclosed"},
  };
  EXPECT_EQ(c.Entries(kUndeliverable), kept);
  EXPECT_TRUE(c.Entries(kCarobIface).empty());
  EXPECT_EQ(c.root.ReadFile(kInput), "");
  // Each one is reported on standard error, the waiting one too.
  EXPECT_NE(r.err.find("[hostZ]"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("leads back"), std::string::npos) << r.err;
  EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 7) << r.err;

  // Once the folder is there, the waiting entry goes on, unchanged.
  c.root.MakeFolder("C:\\SHARE");
  r = c.RunOrb({"dispatch", "--once"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(c.Entries("C:\\SHARE\\hostB.input.POF"), forwarded);
  EXPECT_EQ(c.root.ReadFile(kPending), "");
  EXPECT_EQ(c.Entries(kUndeliverable), kept);
}

TEST(DispatchRouting, WaitsForAnInterfaceKeyThenDeliversInOrder) {
  Computer c;
  c.AddStatus("Local ID", "hostA");
  c.AddFileLoc("RORU PO Input", kInput);
  c.AddFileLoc("CAROB interface", kCarobIface);
  c.AppendEntry(kInput, "SET SOURCE = hostA\r\nDO Lexwright:first");
  c.AppendEntry(kInput, "SET SOURCE = hostA\r\nDO CAROB:not held up");
  c.AppendEntry(kInput, "SET SOURCE = hostA\r\nDO LEXWRIGHT:second");

  auto r = c.RunOrb({"dispatch", "--once"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(c.Entries(kCarobIface), (std::vector<EntryLines>{{"SET SOURCE = hostA", "not held up"}}));
  EXPECT_EQ(c.Entries(kPending).size(), 2u);
  EXPECT_NE(r.err.find("Lexwright interface"), std::string::npos) << r.err;

  // Still no key: the waiting entries stay, neither lost nor doubled.
  r = c.RunOrb({"dispatch", "--once"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(c.Entries(kPending),
            (std::vector<EntryLines>{{"SET SOURCE = hostA", "DO Lexwright:first"},
                                {"SET SOURCE = hostA", "DO LEXWRIGHT:second"}}));

  // The key appears (any letter case) while a third one waits in the input,
  // but the file it names cannot be written yet: all keep waiting.
  c.AppendEntry(kInput, "SET SOURCE = hostB\r\nDO lexwright:third");
  c.AddFileLoc("LEXWRIGHT Interface", "C:\\LEX\\Lexwright.interface.POF");
  r = c.RunOrb({"dispatch", "--once"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(c.Entries(kPending).size(), 3u);
  c.root.MakeFolder("C:\\LEX");
  r = c.RunOrb({"dispatch", "--once"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(c.Entries("C:\\LEX\\Lexwright.interface.POF"),
            (std::vector<EntryLines>{{"SET SOURCE = hostA", "first"},
                                {"SET SOURCE = hostA", "second"},
                                {"SET SOURCE = hostB", "third"}}));
  EXPECT_EQ(c.root.ReadFile(kPending), "");
}

TEST(DispatchRouting, EntriesWithoutTextAreDroppedWithoutBlockingTheQueue) {
  Computer c;
  c.AddStatus("Local ID", "hostA");
  c.AddFileLoc("RORU PO Input", kInput);
  c.AddFileLoc("CAROB interface", kCarobIface);
  c.root.WriteFile(kInput, RozHeader("12-07-2026 08:29:45") +
                                RozEntry("SET SOURCE = hostB\r\nDO CAROB:after an empty entry",
                                         "12-07-2026 08:29:46"));
  auto r = c.RunOrb({"dispatch", "--once"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(c.Entries(kCarobIface),
            (std::vector<EntryLines>{{"SET SOURCE = hostB", "after an empty entry"}}));
  EXPECT_EQ(c.root.ReadFile(kInput), "");
}

// Entries the dispatcher cannot read go to the undeliverable queue, each
// with its reason; stray lines before the first header are never part of
// the entry after them.
TEST(DispatchRouting, UnreadableEntriesAreKeptWithTheirReason) {
  Computer c;
  c.AddStatus("Local ID", "hostA");
  c.AddFileLoc("RORU PO Input", kInput);
  c.AddFileLoc("CAROB interface", kCarobIface);
  c.AddFileLoc("Mail interface", "C:\\ORB\\MAIL\\Mail.POF");
  c.root.MakeFolder("C:\\ORB\\MAIL");
  c.root.WriteFile(kInput, "the sky be green\r\n" +
                               RozEntry("SET SOURCE = hostB\r\nDO CAROB:the sky be blue") +
                               RozEntry("SET SOURCE = ] Mail:\r\nDO CAROB:answer me") +
                               RozEntry("SET SOURCE = hostB\r\nSENDTO [a[b] CAROB:odd id"));
  auto r = c.RunOrb({"dispatch", "--once"});
  ASSERT_EQ(r.code, 0) << r.err;
  EXPECT_EQ(c.Entries(kCarobIface),
            (std::vector<EntryLines>{{"SET SOURCE = hostB", "the sky be blue"}}));
  EXPECT_EQ(c.Entries(kUndeliverable),
            (std::vector<EntryLines>{{"the sky be green"},
                                     {"SET SOURCE = ] Mail:", "DO CAROB:answer me"},
                                     {"SET SOURCE = hostB", "SENDTO [a[b] CAROB:odd id"}}));
  EXPECT_FALSE(c.root.Exists("C:\\ORB\\MAIL\\Mail.POF"));
  EXPECT_NE(r.err.find("before the first entry"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("names no computer id"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("SENDTO names no computer id"), std::string::npos) << r.err;
  EXPECT_EQ(c.root.ReadFile(kInput), "");
}

// Ten thousand entries for an application that does not run cost nothing
// while it stays away: the pending queue is not rewritten turn after turn, an
// entry for a running application goes at the next turn, and every line that
// keeps an entry says why.
TEST(DispatchPending, WaitingEntriesDoNotHoldUpTheRest) {
  Computer c(200);
  c.AddStatus("Local ID", "hostA");
  c.AddFileLoc("RORU PO Input", kInput);
  c.AddFileLoc("CAROB interface", kCarobIface);
  constexpr int kWaiting = 10000;
  std::string pending;
  for (int i = 0; i < kWaiting; ++i) {
    pending += RozEntry("SET SOURCE = hostB\r\nDO Lexwright:waiting " + std::to_string(i));
  }
  c.root.WriteFile(kPending, pending);
  c.AppendEntry(kInput, "SET SOURCE = hostB\r\nDO Lexwright:one more");
  auto dispatcher = c.Start({c.orb, "dispatch"});
  ASSERT_TRUE(WaitUntil([&] { return c.root.ReadFile(kInput).empty(); }, 60));
  const auto stamp = std::filesystem::last_write_time(c.root.Native(kPending));
  const std::string kept = c.root.ReadFile(kPending);

  c.AppendEntry(kInput, "SET SOURCE = hostB\r\nDO CAROB:not held up");
  EXPECT_TRUE(WaitUntil([&] { return c.Entries(kCarobIface).size() == 1; }, 5))
      << "a deliverable entry waited behind the pending queue";
  std::this_thread::sleep_for(std::chrono::milliseconds(800));  // a few more turns
  EXPECT_EQ(std::filesystem::last_write_time(c.root.Native(kPending)), stamp);
  EXPECT_EQ(c.root.ReadFile(kPending), kept);

  // Lexwright signs on: everything waiting goes, in order, in one turn.
  c.root.MakeFolder("C:\\LEX");
  c.AddFileLoc("Lexwright interface", "C:\\LEX\\L.POF");
  EXPECT_TRUE(WaitUntil([&] { return c.Entries("C:\\LEX\\L.POF").size() == kWaiting + 1; }, 60));
  dispatcher->Signal(SIGTERM);
  EXPECT_EQ(dispatcher->Wait(30), 0);
  auto delivered = c.Entries("C:\\LEX\\L.POF");
  EXPECT_EQ(delivered.front(), (EntryLines{"SET SOURCE = hostB", "waiting 0"}));
  EXPECT_EQ(delivered.back(), (EntryLines{"SET SOURCE = hostB", "one more"}));
  EXPECT_EQ(c.root.ReadFile(kPending), "");
  for (const std::string& line : SplitLines(dispatcher->Err())) {
    if (line.find("kept in") == std::string::npos) continue;
    EXPECT_EQ(line.find(": ; kept"), std::string::npos) << line;
    EXPECT_EQ(line.find("orb dispatch: ; kept"), std::string::npos) << line;
  }
  EXPECT_NE(dispatcher->Err().find("behind earlier entries that wait"), std::string::npos)
      << dispatcher->Err();
}

// A kept queue past its limit moves its oldest entries aside, says so, and
// drops nothing.
TEST(DispatchPending, FullPendingQueueMovesItsOldestAside) {
  Computer c;
  c.AddStatus("Local ID", "hostA");
  c.AddFileLoc("RORU PO Input", kInput);
  const std::string line = "SET SOURCE = hostB\r\nDO Lexwright:" + std::string(100, 'w') + " ";
  std::string pending;
  int n = 0;
  while (pending.size() < (4u << 20)) pending += RozEntry(line + std::to_string(n++));
  c.root.WriteFile(kPending, pending);
  c.AppendEntry(kInput, line + "newest");
  auto r = c.RunOrb({"dispatch", "--once"});
  ASSERT_EQ(r.code, 0) << r.err;
  const std::string aside = "C:\\ORB\\TOOLS\\RORU PO.input.pending.aside.POF";
  auto moved = c.Entries(aside);
  auto kept = c.Entries(kPending);
  EXPECT_FALSE(moved.empty());
  EXPECT_EQ(moved.size() + kept.size(), static_cast<size_t>(n) + 1);
  EXPECT_EQ(moved.front().back(), "DO Lexwright:" + std::string(100, 'w') + " 0");
  EXPECT_EQ(kept.back().back(), "DO Lexwright:" + std::string(100, 'w') + " newest");
  EXPECT_LT(c.root.ReadFile(kPending).size(), 4u << 20);
  EXPECT_NE(r.err.find("moved to " + aside), std::string::npos) << r.err;
}

// Several console processes append to the input file while the dispatcher
// keeps taking from it: every line arrives, and arrives once.
// Two dispatchers started on one input file by mistake share the work
// without passing anything on twice.
class DispatchConcurrency : public ::testing::TestWithParam<int> {};

TEST_P(DispatchConcurrency, NothingLostOrDoubledWithSeveralSenders) {
  Computer c(20);
  c.AddStatus("Local ID", "hostA");
  c.AddFileLoc("CAROB interface", kCarobIface);
  c.AddFileLoc("RORU PO Input", kInput);
  std::vector<std::unique_ptr<Process>> dispatchers;
  for (int d = 0; d < GetParam(); ++d) dispatchers.push_back(c.Start({c.orb, "dispatch"}));
  ASSERT_TRUE(WaitUntil([&] { return c.StatusValue("RORU PO running") == "Yes"; }, 30));

  constexpr int kSenders = 4, kLines = 40;
  std::vector<std::unique_ptr<Process>> senders;
  for (int s = 0; s < kSenders; ++s) {
    senders.push_back(c.Start({c.orb, "talk", "CAROB", "--wait", "0"}, true));
    std::string lines;
    for (int i = 0; i < kLines; ++i) lines += "s" + std::to_string(s) + " line " + std::to_string(i) + "\n";
    senders.back()->Feed(lines);
    senders.back()->CloseInput();
  }
  for (auto& s : senders) EXPECT_EQ(s->Wait(120), 0) << s->Err();

  ASSERT_TRUE(WaitUntil([&] { return c.Entries(kCarobIface).size() >= kSenders * kLines; }, 60))
      << c.Entries(kCarobIface).size();
  for (auto& d : dispatchers) d->Signal(SIGTERM);
  for (auto& d : dispatchers) EXPECT_EQ(d->Wait(30), 0) << d->Err();
  EXPECT_EQ(c.StatusValue("RORU PO running"), "No");

  std::map<int, std::set<int>> seen;
  auto entries = c.Entries(kCarobIface);
  EXPECT_EQ(entries.size(), static_cast<size_t>(kSenders * kLines));
  for (const auto& e : entries) {
    ASSERT_EQ(e.size(), 2u) << JoinLines(e);
    EXPECT_EQ(e[0], "SET SOURCE = hostA");
    int s = -1, i = -1;
    ASSERT_EQ(std::sscanf(e[1].c_str(), "s%d line %d", &s, &i), 2) << e[1];
    EXPECT_TRUE(seen[s].insert(i).second) << "doubled: " << e[1];
  }
  for (int s = 0; s < kSenders; ++s) {
    EXPECT_EQ(seen[s].size(), static_cast<size_t>(kLines)) << "sender " << s;
  }
  EXPECT_EQ(c.root.ReadFile(kInput), "");
}

INSTANTIATE_TEST_SUITE_P(Dispatchers, DispatchConcurrency, ::testing::Values(1, 2));

TEST(DispatchLoop, StopsCleanlyOnSigintAndSigterm) {
  for (int sig : {SIGINT, SIGTERM}) {
    Computer c;
    auto dispatcher = c.Start({c.orb, "dispatch", "--local-id", "hostA"});
    ASSERT_TRUE(WaitUntil([&] { return c.StatusValue("RORU PO running") == "Yes"; }, 30));
    // Entries that arrive while it runs are taken at its next turn.
    c.root.MakeFolder("C:\\LEX");
    c.AddFileLoc("Lexwright interface", "C:\\LEX\\L.POF");
    c.AppendEntry(kInput, "SET SOURCE = hostA\r\nDO Lexwright:while running");
    ASSERT_TRUE(WaitUntil([&] { return c.Entries("C:\\LEX\\L.POF").size() == 1; }, 30));
    dispatcher->Signal(sig);
    EXPECT_EQ(dispatcher->Wait(30), 0) << dispatcher->Err();
    EXPECT_EQ(c.StatusValue("RORU PO running"), "No");
  }
}

}  // namespace
}  // namespace carob::testing
