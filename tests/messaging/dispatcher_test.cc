// The dispatcher's routing engine driven in this process on a manual clock,
// over real files in a temporary ORB root: where each kind of entry goes and
// what is reported, how waiting entries wait and when they are looked at
// again, a full kept queue's oldest entries moved aside, a dispatcher
// killed right after it handed an entry on, and batches: their cost, and a
// power cut at any step of one.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "messaging/dispatcher.h"
#include "tests/support/fault_env.h"
#include "tests/support/world.h"

namespace carob::testing {
namespace {

const std::string kInput = "C:\\ORB\\TOOLS\\RORU PO.input.POF";
const std::string kPending = "C:\\ORB\\TOOLS\\RORU PO.input.pending.POF";
const std::string kUndeliverable = "C:\\ORB\\TOOLS\\RORU PO.input.undeliverable.POF";
const std::string kCarobIface = "C:\\ORB\\CAROB\\CAROB.interface.POF";
const std::string kRouteB = "C:\\SHARE\\hostB.input.POF";
const std::string kLexIface = "C:\\LEX\\L.POF";

using Texts = std::vector<std::vector<std::string>>;  // the text lines of each entry

std::string Filler() { return std::string(30000, 'w'); }

// A computer known as "hostA" whose dispatcher input, CAROB's interface and
// the route to "hostB" are recorded, with the databank layer over a
// `Wrapper` of the real Env; the dispatchers it starts report into
// `reports`.
template <class Wrapper = platform::EnvWrapper>
struct DispatchRig : World {
  DispatchRig()
      : World({.program_folder = "C:\\ORB\\TOOLS", .exe = "orb", .fileloc = FileLocWithStatus()}),
        wrapped(Wrap<Wrapper>()) {
    WriteStatus({"Local ID=hostA"});
    AddFileLoc("RORU PO Input", kInput);
    AddFileLoc("CAROB interface", kCarobIface);
    AddFileLoc("RORU PO Route hostB", kRouteB);
    root.MakeFolder("C:\\ORB\\CAROB");
    root.MakeFolder("C:\\SHARE");
    AddDatabank();
  }

  std::unique_ptr<messaging::Dispatcher> StartDispatcher() {
    auto d = std::make_unique<messaging::Dispatcher>(
        *wrapped, *db, [this](const std::string& line) { reports.push_back(line); });
    EXPECT_TRUE(d->Start(""));
    return d;
  }

  // An entry as another program appends it.
  void Post(const std::string& text) const { root.Append(kInput, RozEntry(text)); }

  Texts TextsIn(const std::string& queue) const {
    Texts out;
    for (const QueueEntry& e : ParseQueue(root.ReadFile(queue))) out.push_back(e.lines);
    return out;
  }

  Wrapper* wrapped;
  std::vector<std::string> reports;
};

// Every entry of an input file goes where its address leads, in one turn,
// and leaves the input; what is kept is reported with its reason.
TEST(DispatcherTurn, EachEntryGoesWhereItsAddressLeads) {
  struct Case {
    const char* what;
    std::string input;                    // the input file's bytes
    std::map<std::string, Texts> queues;  // what stands in these files afterwards
    std::vector<std::string> reports;
    messaging::DispatchStats stats;
  };
  const std::string undeliverable = "; kept in " + kUndeliverable;
  const Case cases[] = {
      {"DO, and SENDTO this computer in any letter case, are delivered here",
       RozEntry("SET SOURCE = hostB\r\nDO CAROB:the sky be blue") +
           RozEntry("SET SOURCE = hostC\r\nSENDTO [HOSTA] Carob :two\r\nlines") +
           RozEntry("DO CAROB:no source line"),
       {{kCarobIface,
         {{"SET SOURCE = hostB", "the sky be blue"},
          {"SET SOURCE = hostC", "two", "lines"},
          {"SET SOURCE = 0.0.0.0", "no source line"}}}},
       {},
       {.taken = 3, .delivered = 3}},
      {"SENDTO another computer is forwarded unchanged along its route",
       RozEntry("SET SOURCE = hostA\r\nSENDTO [hostB] CAROB:for b\r\nsecond line"),
       {{kRouteB, {{"SET SOURCE = hostA", "SENDTO [hostB] CAROB:for b", "second line"}}},
        {kCarobIface, {}}},
       {},
       {.taken = 1, .forwarded = 1}},
      {"an application whose interface is not recorded waits in the pending queue",
       RozEntry("SET SOURCE = hostB\r\nDO Lexwright:later"),
       {{kPending, {{"SET SOURCE = hostB", "DO Lexwright:later"}}}},
       {"waiting for \"Lexwright interface\" in C:\\FileLoc; kept in " + kPending},
       {.taken = 1, .pending = 1}},
      {"what cannot be routed is kept as undeliverable, each entry with its reason",
       "the sky be green\r\n" + RozEntry("SET SOURCE = hostA\r\nSENDTO [hostZ] CAROB:nowhere") +
           RozEntry("SET SOURCE = hostA\r\nHELLO CAROB:x") +
           RozEntry("SET SOURCE = ] Mail:\r\nDO CAROB:answer me"),
       {{kUndeliverable,
         {{"the sky be green"},
          {"SET SOURCE = hostA", "SENDTO [hostZ] CAROB:nowhere"},
          {"SET SOURCE = hostA", "HELLO CAROB:x"},
          {"SET SOURCE = ] Mail:", "DO CAROB:answer me"}}},
        {kCarobIface, {}}},
       {"undeliverable, lines that stand before the first entry of " + kInput + undeliverable,
        "undeliverable, no route for computer [hostZ] (\"RORU PO Route hostZ\" in C:\\FileLoc)" +
            undeliverable,
        "undeliverable, the body begins with neither \"DO \" nor \"SENDTO [\"" + undeliverable,
        "undeliverable, the SET SOURCE line names no computer id (it holds \"[\", \"]\" or a line "
        "break)" + undeliverable},
       {.taken = 3, .undeliverable = 4}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DispatchRig rig;
    rig.root.WriteFile(kInput, c.input);
    auto dispatcher = rig.StartDispatcher();
    dispatcher->Turn();
    for (const auto& [queue, texts] : c.queues) EXPECT_EQ(rig.TextsIn(queue), texts) << queue;
    EXPECT_EQ(rig.root.ReadFile(kInput), "");
    EXPECT_EQ(rig.reports, c.reports);
    EXPECT_EQ(dispatcher->stats(), c.stats);
  }
}

// Entries for an absent addressee wait in order, with later ones behind
// them, and are looked at again only when something about the addressee
// changes or, for a file that could not be written, after
// kPendingRetrySeconds on the clock.
TEST(DispatcherPending, WaitingEntriesGoOnceTheirAddresseeCanTakeThem) {
  DispatchRig rig;
  rig.Post("SET SOURCE = hostB\r\nDO Lexwright:first");
  rig.Post("SET SOURCE = hostB\r\nDO CAROB:not held up");
  rig.Post("SET SOURCE = hostB\r\nDO LEXWRIGHT:second");
  auto dispatcher = rig.StartDispatcher();
  dispatcher->Turn();
  EXPECT_EQ(rig.TextsIn(kCarobIface), (Texts{{"SET SOURCE = hostB", "not held up"}}));
  EXPECT_EQ(rig.TextsIn(kPending).size(), 2u);
  const std::string waiting = "waiting for \"Lexwright interface\" in C:\\FileLoc";
  EXPECT_EQ(rig.reports,
            (std::vector<std::string>{
                waiting + "; kept in " + kPending,
                "behind earlier entries that wait: " + waiting + "; kept in " + kPending}));

  // Its interface is recorded, in a folder that is not there yet: looked at
  // at once, both stay.
  rig.reports.clear();
  rig.AddFileLoc("Lexwright interface", kLexIface);
  dispatcher->Turn();
  ASSERT_EQ(rig.reports.size(), 1u);
  EXPECT_TRUE(rig.reports[0].starts_with("2 entries still kept in " + kPending +
                                         ": cannot append to " + kLexIface +
                                         " (\"Lexwright interface\"): "))
      << rig.reports[0];
  EXPECT_EQ(rig.TextsIn(kPending).size(), 2u);

  // The folder appears: nothing the dispatcher watches changed, so the
  // pending queue is not looked at before the retry time has passed.
  rig.root.MakeFolder("C:\\LEX");
  rig.clock->Advance(messaging::kPendingRetrySeconds - 1);
  dispatcher->Turn();
  EXPECT_FALSE(rig.root.Exists(kLexIface));
  rig.clock->Advance(1);
  dispatcher->Turn();
  EXPECT_EQ(rig.TextsIn(kLexIface),
            (Texts{{"SET SOURCE = hostB", "first"}, {"SET SOURCE = hostB", "second"}}));
  EXPECT_EQ(rig.root.ReadFile(kPending), "");
  EXPECT_EQ(dispatcher->stats(),
            (messaging::DispatchStats{.taken = 3, .delivered = 3, .pending = 2}));
}

// A queue file of at least `bytes` bytes: `count` entries whose texts end in
// their number. Each text is long (the entries moved aside are marked one by
// one, each mark made durable), so they are few.
std::string FullQueue(int64_t bytes, int* count) {
  std::string queue;
  for (*count = 0; static_cast<int64_t>(queue.size()) < bytes; ++*count) {
    queue += RozEntry("SET SOURCE = hostB\r\nHELLO " + Filler() + " " + std::to_string(*count));
  }
  return queue;
}

// A kept queue at its limit moves its oldest entries, half the limit's worth,
// to its ".aside" queue before it takes another, and says so.
TEST(DispatcherKeptQueue, AFullQueueMovesItsOldestEntriesAside) {
  DispatchRig rig;
  int n = 0;
  rig.root.WriteFile(kUndeliverable, FullQueue(messaging::kKeptQueueLimit, &n));
  rig.Post("SET SOURCE = hostB\r\nHELLO newest");
  auto dispatcher = rig.StartDispatcher();
  dispatcher->Turn();

  const std::string aside = messaging::SideQueuePath(kUndeliverable, "aside");
  const Texts moved = rig.TextsIn(aside), kept = rig.TextsIn(kUndeliverable);
  ASSERT_FALSE(moved.empty());
  EXPECT_GE(static_cast<int64_t>(rig.root.ReadFile(aside).size()), messaging::kKeptQueueLimit / 2);
  EXPECT_LT(static_cast<int64_t>(rig.root.ReadFile(kUndeliverable).size()),
            messaging::kKeptQueueLimit);
  // Nothing lost, nothing doubled, the order kept.
  ASSERT_EQ(moved.size() + kept.size(), static_cast<size_t>(n) + 1);
  for (size_t i = 0; i < moved.size() + kept.size() - 1; ++i) {
    const Texts& in = i < moved.size() ? moved : kept;
    EXPECT_EQ(in[i < moved.size() ? i : i - moved.size()].back(),
              "HELLO " + Filler() + " " + std::to_string(i));
  }
  EXPECT_EQ(kept.back().back(), "HELLO newest");
  EXPECT_EQ(rig.reports,
            (std::vector<std::string>{
                kUndeliverable + " reached its limit of " +
                    std::to_string(messaging::kKeptQueueLimit) + " bytes; its oldest " +
                    std::to_string(moved.size()) + " entries were moved to " + aside,
                "undeliverable, the body begins with neither \"DO \" nor \"SENDTO [\"; kept in " +
                    kUndeliverable}));
}

// What stands for a kill of the dispatcher: thrown from the claim file's
// write that would mark an entry handled, it leaves every frame at once,
// and the claim file stays behind no longer held, as a killed process
// leaves it.
struct Killed {};

// An Env whose claim files, once `armed`, kill their taker instead of
// marking an entry handled (once), or, once `armed_release`, when a claim
// that marked entries handled would go.
struct KillingEnv : platform::EnvWrapper {
  using EnvWrapper::EnvWrapper;

  struct Lock : platform::LockFile {
    Lock(std::unique_ptr<platform::LockFile> real, KillingEnv& env)
        : real(std::move(real)), env(env) {}
    platform::Status Write(std::string_view bytes) override {
      if (env.armed && bytes.starts_with("--- handled ")) {
        env.armed = false;
        throw Killed{};
      }
      handled = handled || bytes.starts_with("--- handled ");
      return real->Write(bytes);
    }
    platform::Status Sync() override { return real->Sync(); }
    void Release() override {
      if (env.armed_release && handled) {
        env.armed_release = false;
        throw Killed{};
      }
      real->Release();
    }
    std::unique_ptr<platform::LockFile> real;
    KillingEnv& env;
    bool handled = false;
  };

  platform::Status TryLock(const std::string& path,
                           std::unique_ptr<platform::LockFile>* lock) override {
    platform::Status s = EnvWrapper::TryLock(path, lock);
    if (s) *lock = std::make_unique<Lock>(std::move(*lock), *this);
    return s;
  }

  bool armed = false;
  bool armed_release = false;
};

// A dispatcher killed after it handed an entry on (delivered, forwarded,
// kept, or moved aside) and before it marked the entry handled: the next
// one finds the claim file, sees the entry's bytes where they were noted,
// and takes the entry off instead of handing it on a second time. Killed
// once the queue was rebuilt, before its claim went, it leaves the input
// empty: the next start still finishes the claim and removes it.
TEST(DispatcherRecovery, AnEntryHandedOnBeforeAKillIsNotHandedOnAgain) {
  struct Case {
    const char* what;
    bool at_release;  // killed as the finished claim would go
    std::string input;
    std::string pending;  // the pending queue's bytes before
    bool full_undeliverable;
    std::vector<std::string> queues;  // where the entries may stand afterwards
    Texts expected;                   // what stands in the first of them
  };
  const Case cases[] = {
      {"delivered", false, RozEntry("SET SOURCE = hostB\r\nDO CAROB:once") +
                        RozEntry("SET SOURCE = hostB\r\nDO CAROB:after"),
       "", false, {kCarobIface, kInput, kPending},
       {{"SET SOURCE = hostB", "once"}, {"SET SOURCE = hostB", "after"}}},
      {"forwarded", false, RozEntry("SET SOURCE = hostA\r\nSENDTO [hostB] CAROB:once"), "", false,
       {kRouteB, kInput, kPending, kUndeliverable},
       {{"SET SOURCE = hostA", "SENDTO [hostB] CAROB:once"}}},
      {"kept to wait", false, RozEntry("SET SOURCE = hostB\r\nDO Lexwright:once"), "", false,
       {kPending, kInput}, {{"SET SOURCE = hostB", "DO Lexwright:once"}}},
      {"delivered from the pending queue", false, "",
       RozEntry("SET SOURCE = hostB\r\nDO CAROB:once") +
           RozEntry("SET SOURCE = hostB\r\nDO CAROB:after"),
       false, {kCarobIface, kPending},
       {{"SET SOURCE = hostB", "once"}, {"SET SOURCE = hostB", "after"}}},
      {"delivered, the claim left behind", true,
       RozEntry("SET SOURCE = hostB\r\nDO CAROB:once"), "", false, {kCarobIface, kInput},
       {{"SET SOURCE = hostB", "once"}}},
      {"moved aside", false, RozEntry("SET SOURCE = hostB\r\nHELLO newest"), "", true,
       {messaging::SideQueuePath(kUndeliverable, "aside"), kUndeliverable, kInput}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    DispatchRig<KillingEnv> rig;
    rig.root.WriteFile(kInput, c.input);
    if (!c.pending.empty()) rig.root.WriteFile(kPending, c.pending);
    int n = 0;
    if (c.full_undeliverable) {
      rig.root.WriteFile(kUndeliverable, FullQueue(messaging::kKeptQueueLimit, &n));
    }
    {
      auto dispatcher = rig.StartDispatcher();
      (c.at_release ? rig.wrapped->armed_release : rig.wrapped->armed) = true;
      EXPECT_THROW(dispatcher->Turn(), Killed);
    }
    ASSERT_FALSE(rig.wrapped->armed || rig.wrapped->armed_release) << "no kill";
    auto dispatcher = rig.StartDispatcher();
    dispatcher->Turn();

    std::map<std::string, int> seen;  // each entry's last line, and where it stands how often
    for (const std::string& queue : c.queues) {
      for (const auto& lines : rig.TextsIn(queue)) ++seen[lines.back()];
    }
    for (const auto& [text, times] : seen) EXPECT_EQ(times, 1) << text;
    if (c.full_undeliverable) {
      EXPECT_EQ(seen.size(), static_cast<size_t>(n) + 1);
      EXPECT_EQ(seen.count("HELLO newest"), 1u);
    } else {
      EXPECT_EQ(rig.TextsIn(c.queues[0]), c.expected);
    }
    EXPECT_EQ(rig.root.ReadFile(kInput), "");
    // Nothing is left in the temporary folder but the STATUS databank.
    for (const auto& e : std::filesystem::directory_iterator(rig.root.Native(kTempFolder))) {
      EXPECT_EQ(e.path().filename().string(), "STATUS");
    }
  }
}

// Entries from three computers, for CAROB here, for hostB, and for an
// application whose interface is not recorded, interleaved.
const std::vector<std::string> kBatch = {
    "SET SOURCE = hostB\r\nDO CAROB:b1",
    "SET SOURCE = hostA\r\nSENDTO [hostB] CAROB:a1",
    "SET SOURCE = hostC\r\nDO CAROB:c1",
    "SET SOURCE = hostB\r\nDO Lexwright:w1",
    "SET SOURCE = hostB\r\nDO CAROB:b2",
    "SET SOURCE = hostA\r\nSENDTO [hostB] CAROB:a2",
    "SET SOURCE = hostB\r\nDO Lexwright:w2",
    "SET SOURCE = hostC\r\nDO CAROB:c2",
};

// The file operations of one turn over `input`, reads of lines left out
// (they grow with the bytes, not with the calls).
int TurnSteps(const std::string& input) {
  DispatchRig<FaultEnv> rig;
  rig.root.WriteFile(kInput, input);
  auto dispatcher = rig.StartDispatcher();
  rig.wrapped->Count(FaultEnv::kAll & ~FaultEnv::kRead);
  dispatcher->Turn();
  EXPECT_EQ(rig.root.ReadFile(kInput), "");
  return rig.wrapped->steps();
}

// What a turn costs grows with the addressees its entries go to, not with
// the entries: sixteen for one addressee cost hardly more than one, and the
// mixed batch little more than one entry for each of its three queues.
TEST(DispatcherBatch, ATurnCostsPerAddresseeNotPerEntry) {
  const int one = TurnSteps(RozEntry(kBatch[0]));
  std::string sixteen, singles;
  for (int i = 0; i < 16; ++i) sixteen += RozEntry(kBatch[i % 2 == 0 ? 0 : 2]);
  EXPECT_LE(TurnSteps(sixteen), one + 4) << "one entry: " << one;
  std::string mixed;
  for (const std::string& text : kBatch) mixed += RozEntry(text);
  for (int i : {0, 1, 3}) singles += RozEntry(kBatch[static_cast<size_t>(i)]);
  EXPECT_LE(TurnSteps(mixed), TurnSteps(singles) + 8) << "one entry: " << one;
}

// The power goes at each step of a turn that hands the mixed batch on, in
// turn: after it a fresh dispatcher finishes what the claim file records,
// and every entry stands exactly once where it goes (or still waits), each
// sender's entries in their order.
TEST(DispatcherRecovery, APowerCutAnywhereInABatchLosesAndDoublesNothing) {
  std::string input;
  for (const std::string& text : kBatch) input += RozEntry(text);
  // Where each entry ends up, by its last line, in its sender's order.
  const std::map<std::string, std::vector<std::string>> expected = {
      {kCarobIface, {"b1", "c1", "b2", "c2"}},
      {kRouteB, {"SENDTO [hostB] CAROB:a1", "SENDTO [hostB] CAROB:a2"}},
      {kPending, {"DO Lexwright:w1", "DO Lexwright:w2"}},
  };
  int steps = 0;
  {
    DispatchRig<FaultEnv> rig;
    rig.root.WriteFile(kInput, input);
    auto dispatcher = rig.StartDispatcher();
    rig.wrapped->Count();
    dispatcher->Turn();
    steps = rig.wrapped->steps();
  }
  ASSERT_GT(steps, 10);
  int cut = 0;
  for (int n = 1; n <= steps; ++n) {
    DispatchRig<FaultEnv> rig;
    rig.root.WriteFile(kInput, input);
    {
      auto dispatcher = rig.StartDispatcher();
      rig.wrapped->Track(rig.root.path());
      rig.wrapped->CutAt(n);
      dispatcher->Turn();
      if (rig.wrapped->cut()) ++cut;
    }  // the process ends with the power
    const std::string step = static_cast<size_t>(n) <= rig.wrapped->log().size()
                                 ? rig.wrapped->log()[static_cast<size_t>(n) - 1]
                                 : "?";
    SCOPED_TRACE("power cut at step " + std::to_string(n) + " of " + std::to_string(steps) +
                 " (" + step + ")");
    rig.wrapped->PowerUp();
    auto dispatcher = rig.StartDispatcher();
    dispatcher->Turn();
    EXPECT_EQ(rig.root.ReadFile(kInput), "");
    for (const auto& [queue, lasts] : expected) {
      std::vector<std::string> seen;
      for (const auto& lines : rig.TextsIn(queue)) seen.push_back(lines.back());
      // Each sender's own entries, in the order they stand.
      for (const char* sender : {"b", "c", "a1", "a2", "w"}) {
        std::vector<std::string> want, got;
        for (const std::string& l : lasts) {
          if (l.find(sender) != std::string::npos) want.push_back(l);
        }
        for (const std::string& l : seen) {
          if (l.find(sender) != std::string::npos) got.push_back(l);
        }
        EXPECT_EQ(got, want) << queue << " holds " << ::testing::PrintToString(seen);
      }
      EXPECT_EQ(seen.size(), lasts.size()) << queue << " holds " << ::testing::PrintToString(seen);
    }
  }
  EXPECT_EQ(cut, steps) << "every step was reached";
}

}  // namespace
}  // namespace carob::testing
