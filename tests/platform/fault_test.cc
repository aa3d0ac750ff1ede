// Every failing step of a databank write, a queue take and a registration,
// one at a time, over real files: the operation skips what it cannot do and
// loses nothing. Each test first counts the steps of the operation when all
// goes well, then runs it again once per step with that step failing. The
// power-cut tests do the same with the power cut at each step in turn.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "databank/databank.h"
#include "messaging/messaging.h"
#include "registry/registry.h"
#include "tests/support/fault_env.h"
#include "tests/support/world.h"

namespace carob::testing {
namespace {

constexpr const char* kBank = "C:\\ORB\\CAROB\\K.dat";
constexpr const char* kStatus = "C:\\TEMP\\STATUS";
constexpr const char* kQueue = "C:\\ORB\\Queue.pof";
constexpr const char* kOld = "alpha=one\r\nbeta=two\r\ngamma=three\r\n";

// One program's stack over a fresh root whose Env can be made to fail.
struct FaultWorld : World {
  explicit FaultWorld(const std::string& bank_contents)
      : World({.fileloc = "Temporary path=C:\\TEMP\r\nSTATUS=C:\\TEMP\\STATUS\r\n"}),
        fault(Wrap<FaultEnv>()) {
    WriteStatus({"Local ID=10.0.0.9"});
    if (!bank_contents.empty()) root.WriteFile(kBank, bank_contents);
    AddMessaging();
    // The engines settle their file locations before the steps are counted.
    db->ResolveBankPath(kBank);
    (void)msg->ReadTop(kQueue);
  }

  // Files that only a half-done operation leaves: swap files and
  // replacements under construction, anywhere under the root.
  std::vector<std::string> Leftovers() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root.path())) {
      const std::string name = e.path().filename().string();
      if (name.rfind("DSP.", 0) == 0 || name.rfind("ROZ.", 0) == 0 ||
          (name.size() > 4 && name.compare(name.size() - 4, 4, ".new") == 0)) {
        out.push_back(name);
      }
    }
    return out;
  }
  // What the queue's swap files hold, together.
  std::string Swapped() const {
    std::string all;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root.path())) {
      if (e.path().filename().string().rfind("ROZ.", 0) == 0) {
        std::ifstream in(e.path(), std::ios::binary);
        all.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
      }
    }
    return all;
  }

  FaultEnv* fault;
};

// Runs `operation` in a fresh world with no fault to count its steps, then
// once for each step failing with `error`, handing each world to `check`.
void SweepSteps(const std::string& start, int error, const std::function<void(FaultWorld&)>& operation,
                const std::function<void(FaultWorld&, const std::string& step)>& check) {
  int steps = 0;
  {
    FaultWorld w(start);
    w.fault->Count();
    operation(w);
    steps = w.fault->steps();
    check(w, "none");
  }
  ASSERT_GT(steps, 0);
  for (int n = 1; n <= steps; ++n) {
    FaultWorld w(start);
    w.fault->FailNth(n, error);
    operation(w);
    const std::string step = std::to_string(n) + " of " + std::to_string(steps) + " (" +
                             (w.fault->log().size() >= static_cast<size_t>(n) ? w.fault->log()[n - 1]
                                                                            : "not reached") +
                             ")";
    SCOPED_TRACE("failing step " + step);
    EXPECT_EQ(w.fault->failures(), w.fault->log().size() >= static_cast<size_t>(n) ? 1 : 0);
    check(w, step);
  }
}

// The entries of a queue file's bytes: the text of each, in order.
std::vector<std::string> Texts(const std::string& queue) {
  std::vector<std::string> out;
  size_t at = 0;
  while ((at = queue.find("--- Entry", at)) != std::string::npos) {
    const size_t text = queue.find("\r\n", at) + 2;
    const size_t next = queue.find("--- Entry", text);
    out.push_back(queue.substr(text, next == std::string::npos ? std::string::npos : next - text));
    at = text;
  }
  return out;
}

constexpr const char* kOut = "C:\\ORB\\Out.pof";

std::string ThreeEntries() {
  std::string queue;
  for (const char* e : {"first\r\n", "second\r\n", "third\r\n"}) {
    queue += std::string("--- Entry by ROZ Default on 12-07-2026 08:29:45\r\n") + e;
  }
  return queue;
}

// After the power comes back a program starts afresh on the files, finishes
// what a claim left and takes every entry of `queue` in turn.
std::vector<std::string> DrainAfterRestart(FaultWorld& w, const std::string& queue) {
  w.Restart();
  w.AddMessaging();
  std::vector<std::string> taken;
  for (int i = 0; i < 10; ++i) {
    messaging::QueueEntry e;
    if (!w.msg->TakeTop(queue, e) || e.empty()) break;
    taken.push_back(e.text);
  }
  return taken;
}

// The dispatcher's hand-on of the top entry of kQueue to kOut, as it makes
// it: the append noted in its claim, the entry then marked handled.
bool HandOn(FaultWorld& w) {
  if (!w.msg->ClaimQueue(kQueue)) return false;
  messaging::QueueEntry top = w.msg->ClaimedTop();
  if (top.empty()) {  // unread: it stays for the next turn
    (void)w.msg->ReleaseClaim();
    return false;
  }
  w.msg->HandingOn(0);
  bool ok = w.msg->AppendEntry(kOut, top.text.substr(0, top.text.size() - 2)).ok();
  w.msg->HandingOn(std::nullopt);
  if (ok) ok = w.msg->MarkHandled(0).ok();
  return w.msg->ReleaseClaim().ok() && ok;
}

// After a restart the next claim of kQueue finishes what a stopped hand-on
// left; then each entry is handed on or waiting, exactly once.
void ExpectEachEntryOnce(FaultWorld& w, const std::string& queue, bool handed_on) {
  w.Restart();
  w.AddMessaging();
  if (w.msg->ClaimQueue(kQueue)) (void)w.msg->ReleaseClaim();
  std::vector<std::string> sent = Texts(w.root.ReadFile(kOut));
  const std::vector<std::string> waiting = Texts(w.root.ReadFile(kQueue));
  if (handed_on) {
    EXPECT_EQ(sent, std::vector<std::string>{"first\r\n"});
  }
  for (const std::string& t : waiting) sent.push_back(t);
  EXPECT_EQ(sent, Texts(queue)) << "handed on: " << w.root.ReadFile(kOut)
                                << "\nwaiting: " << w.root.ReadFile(kQueue);
}

// A databank write by each of its methods: the bank it starts from ("" for
// one that does not exist yet), the key and value set, and the bank after.
struct BankWrite {
  const char* name;
  std::string start;
  const char* key;
  const char* value;
  std::string after;
};
std::vector<BankWrite> BankWrites() {
  return {
      {"append", kOld, "delta", "four", std::string(kOld) + "delta=four\r\n"},
      {"in place", kOld, "beta", "six", "alpha=one\r\nbeta=six\r\ngamma=three\r\n"},
      {"standard method", kOld, "beta", "twenty-two", "alpha=one\r\ngamma=three\r\nbeta=twenty-two\r\n"},
      {"new databank", "", "alpha", "one", "alpha=one\r\n"},
  };
}

TEST(FaultTest, EachFailingStepOfADatabankWriteLeavesTheBankWhole) {
  for (const BankWrite& c : BankWrites()) {
    SCOPED_TRACE(c.name);
    for (int error : {EIO, ENOSPC, EDQUOT}) {
      platform::Status written;
      SweepSteps(
          c.start, error,
          [&](FaultWorld& w) { written = w.db->Write(kBank, c.key, c.value); },
          [&](FaultWorld& w, const std::string& step) {
            const std::string now = w.root.ReadFile(kBank);
            const std::string before = c.start.empty() ? "<missing>" : c.start;
            if (step == "none") {
              EXPECT_EQ(now, c.after);
            } else if (step.find("(read ") != std::string::npos) {
              // A databank that cannot be read is not written at all (a new
              // one stays as made, empty).
              EXPECT_TRUE(now == before || (c.start.empty() && now.empty())) << now;
              EXPECT_EQ(written.error(), error);
            } else if (now != c.after && now != before) {
              // A new databank may stand empty: it is made before it is written.
              EXPECT_TRUE(c.start.empty() && now.empty()) << "partly written: " << now;
            }
            // A write that reports success changed the file; one that
            // failed says so with the cause it met.
            if (written.ok()) {
              EXPECT_NE(now, before);
            } else {
              EXPECT_EQ(written.error(), error) << written.message();
            }
            EXPECT_EQ(w.Leftovers(), std::vector<std::string>{});
          });
    }
  }
}

TEST(FaultTest, EachFailingStepOfAQueueTakeKeepsEveryEntry) {
  const std::string entries[] = {"first\r\n", "second\r\n", "third\r\n"};
  const std::string queue = ThreeEntries();
  std::string rest = queue.substr(queue.find("--- Entry", 1));
  bool gone = false;
  messaging::QueueEntry taken;
  auto take = [&](FaultWorld& w) {
    w.root.WriteFile(kQueue, queue);
    gone = w.msg->TakeTop(kQueue, taken).ok();
  };
  for (int error : {EIO, ENOSPC, EDQUOT}) {
    SCOPED_TRACE(error);
    SweepSteps("", error, take, [&](FaultWorld& w, const std::string& step) {
      const std::string now = w.root.ReadFile(kQueue);
      // The queue is the old file or the rebuilt one, never something between.
      EXPECT_TRUE(now == queue || now == rest) << now;
      EXPECT_EQ(gone, now == rest);
      if (gone) {
        EXPECT_EQ(taken.text, entries[0]);
      } else {
        EXPECT_TRUE(taken.text.empty());
      }
      // No entry is lost: each stands in the queue, in a swap file, or was taken.
      const std::string swapped = w.Swapped();
      for (const auto& e : entries) {
        EXPECT_TRUE(now.find(e) != std::string::npos || swapped.find(e) != std::string::npos ||
                    taken.text == e)
            << e;
      }
      // A swap file stays only when it keeps what the rebuilt file lacks.
      if (step == "none" || !gone) {
        EXPECT_EQ(w.Leftovers(), std::vector<std::string>{});
      }
    });
  }
}

TEST(FaultTest, EachFailingStepOfAnAppendOrAHandOnLosesNothingAndDoublesNothing) {
  const std::string queue = ThreeEntries();
  std::vector<std::string> grown = Texts(queue);
  grown.push_back("fourth\r\n");
  bool ok = false;
  for (int error : {EIO, ENOSPC, EDQUOT}) {
    SCOPED_TRACE(error);
    // An append is whole or absent, and present exactly when reported.
    SweepSteps(
        "", error,
        [&](FaultWorld& w) {
          w.root.WriteFile(kQueue, queue);
          ok = w.msg->AppendEntry(kQueue, "fourth").ok();
        },
        [&](FaultWorld& w, const std::string&) {
          const std::vector<std::string> texts = Texts(w.root.ReadFile(kQueue));
          EXPECT_EQ(texts, ok ? grown : Texts(queue)) << w.root.ReadFile(kQueue);
        });
    // A hand-on that met a failure is finished or undone by the next claim.
    SweepSteps(
        "", error,
        [&](FaultWorld& w) {
          w.root.WriteFile(kQueue, queue);
          ok = HandOn(w);
        },
        [&](FaultWorld& w, const std::string&) { ExpectEachEntryOnce(w, queue, ok); });
  }
}

TEST(FaultTest, EachFailingStepOfARegistrationIsMadeUpByTheNextAttempt) {
  SweepSteps(
      kOld, EIO, [](FaultWorld& w) { (void)w.reg->RegisterApplication("CAROB"); },  // the files tell
      [](FaultWorld& w, const std::string&) {
        const std::string status = w.root.ReadFile(kStatus);
        EXPECT_EQ(status.rfind("Local ID=10.0.0.9\r\n", 0), 0u) << status;
        EXPECT_NE(status.find("CAROB running=Yes\r\n"), std::string::npos) << status;
        EXPECT_EQ(w.Leftovers(), std::vector<std::string>{});
      });
}

TEST(FaultTest, ARegistrationThatCannotBeWrittenGivesUpAfterItsAttempts) {
  FaultWorld w(kOld);
  const double start = w.clock->Now().seconds_since_midnight;
  w.fault->FailNth(1, EROFS, FaultEnv::kOpen | FaultEnv::kWrite | FaultEnv::kReplace,
                 /*and_after=*/true);
  EXPECT_FALSE(w.reg->RegisterApplication("CAROB"));  // returns rather than trying for ever
  EXPECT_GT(w.fault->failures(), 0);
  EXPECT_EQ(w.root.ReadFile(kStatus), "Local ID=10.0.0.9\r\n");
  EXPECT_EQ(w.Leftovers(), std::vector<std::string>{});
  // It waited between its attempts, and only between them.
  const double waited = w.clock->Now().seconds_since_midnight - start;
  EXPECT_GE(waited, (registry::kRegisterAttempts - 1) * registry::kRegisterRetryPause - 1e-6);
}

}  // namespace
}  // namespace carob::testing

namespace carob::testing {
namespace {

// What a power cut left, and what the program found when it came back.
struct CutOutcome {
  int points = 0;      // cut points tried, the last just after the end
  int violations = 0;  // checks that failed
};

// Runs `operation` with no cut to count its steps, then once with the power
// cut at each step and once just after its last, each in a fresh world whose
// files the disk holds for good. After the cut the files go back to what
// the disk kept, and `check` is told whether the operation had reported
// success before the power went (only the run cut after its end can have).
CutOutcome SweepCuts(const std::string& start, const std::function<void(FaultWorld&)>& prepare,
                     const std::function<bool(FaultWorld&)>& operation,
                     const std::function<void(FaultWorld&, bool reported_ok)>& check) {
  int steps = 0;
  {
    FaultWorld w(start);
    prepare(w);
    w.fault->Count();
    EXPECT_TRUE(operation(w)) << "the operation fails with no fault";
    steps = w.fault->steps();
  }
  CutOutcome outcome;
  for (int n = 1; n <= steps + 1; ++n) {
    FaultWorld w(start);
    prepare(w);
    w.fault->Track(w.root.path());
    w.fault->CutAt(n);
    // A program whose power went reported nothing after that moment.
    const bool ok = operation(w) && !w.fault->cut();
    const std::string step = n <= steps && static_cast<size_t>(n) <= w.fault->log().size()
                                 ? w.fault->log()[static_cast<size_t>(n) - 1]
                                 : "after the end";
    SCOPED_TRACE("power cut at step " + std::to_string(n) + " of " + std::to_string(steps) + " (" +
                 step + ")");
    w.fault->PowerUp();
    const int failures_before = ::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count();
    check(w, ok);
    ++outcome.points;
    if (::testing::UnitTest::GetInstance()->current_test_info()->result()->total_part_count() >
        failures_before) {
      ++outcome.violations;
    }
  }
  return outcome;
}

TEST(PowerCutTest, EveryWriteIsWholeBeforeOrAfterAndWhatWasReportedStays) {
  int points = 0, violations = 0;
  auto tally = [&](const CutOutcome& o) {
    points += o.points;
    violations += o.violations;
  };
  auto nothing = [](FaultWorld&) {};

  // Databank writes by each of their methods: the file is the old one or the
  // new one, never empty or a mix, and a write reported done is there.
  std::vector<BankWrite> banks = BankWrites();
  banks.push_back({"remove", kOld, "beta", "", "alpha=one\r\ngamma=three\r\n"});  // "" removes
  for (const BankWrite& c : banks) {
    SCOPED_TRACE(c.name);
    const std::string before = c.start.empty() ? "<missing>" : c.start;
    tally(SweepCuts(
        c.start, nothing,
        [&](FaultWorld& w) {
          return std::string(c.value).empty() ? w.db->Remove(kBank, c.key).ok()
                                               : w.db->Write(kBank, c.key, c.value).ok();
        },
        [&](FaultWorld& w, bool ok) {
          const std::string now = w.root.ReadFile(kBank);
          if (ok) {
            EXPECT_EQ(now, c.after);
          } else {
            // A new databank may stand empty: it is made before it is written.
            EXPECT_TRUE(now == before || now == c.after || (c.start.empty() && now.empty())) << now;
          }
          // The program starts again on what is left and can write it.
          w.Restart();
          w.AddDatabank();
          EXPECT_TRUE(w.db->Write(kBank, "omega", "last")) << "after the cut";
          EXPECT_EQ(w.db->Query(kBank, "omega"), "last");
        }));
  }

  // A queue append: the queue is as it was or holds the entry once.
  const std::string queue = ThreeEntries();
  auto with_queue = [&](FaultWorld& w) { w.root.WriteFile(kQueue, queue); };
  tally(SweepCuts(
      "", with_queue, [](FaultWorld& w) { return w.msg->AppendEntry(kQueue, "fourth").ok(); },
      [&](FaultWorld& w, bool ok) {
        const std::vector<std::string> texts = Texts(w.root.ReadFile(kQueue));
        const std::vector<std::string> old = Texts(queue);
        std::vector<std::string> grown = old;
        grown.push_back("fourth\r\n");
        if (ok) {
          EXPECT_EQ(texts, grown);
        } else {
          EXPECT_TRUE(texts == old || texts == grown) << w.root.ReadFile(kQueue);
        }
      }));

  // A take: what it handed out is off the queue for good, and nothing is
  // taken twice, counting what a fresh start takes after the cut.
  tally(SweepCuts(
      "", with_queue,
      [](FaultWorld& w) {
        messaging::QueueEntry e;
        return w.msg->TakeTop(kQueue, e).ok() && e.text == "first\r\n";
      },
      [&](FaultWorld& w, bool ok) {
        const std::vector<std::string> drained = DrainAfterRestart(w, kQueue);
        std::vector<std::string> rest = Texts(queue);
        rest.erase(rest.begin());
        // A take hands its entry over once its removal is on the disk: the
        // power may go before the caller has it, and then it went with the
        // caller's unfinished work; it is never there to be taken again.
        if (ok) {
          EXPECT_EQ(drained, rest);
        } else {
          EXPECT_TRUE(drained == rest || drained == Texts(queue)) << ::testing::PrintToString(drained);
        }
      }));

  // The dispatcher's hand-on of the top entry to another queue, and the
  // recovery of its claim by the next start: each entry ends up either
  // still waiting or handed on, exactly once.
  auto hand_on = [](FaultWorld& w) { return HandOn(w); };
  auto exactly_once = [&](FaultWorld& w, bool ok) { ExpectEachEntryOnce(w, queue, ok); };
  tally(SweepCuts("", with_queue, hand_on, exactly_once));

  // The recovery itself, cut at each of its steps: the claim a hand-on left
  // when the power went just before it rebuilt the queue.
  auto left_claim = [&](FaultWorld& w) {
    with_queue(w);
    w.fault->Count();
    (void)hand_on(w);
    int rebuild = 0;
    for (size_t i = 0; i < w.fault->log().size(); ++i) {
      if (w.fault->log()[i].rfind("replace held " + std::string(kQueue), 0) == 0) rebuild = static_cast<int>(i) + 1;
    }
    ASSERT_GT(rebuild, 0);
    w.root.WriteFile(kOut, "");
    std::filesystem::remove(w.root.Native(kOut));
    w.root.WriteFile(kQueue, queue);
    // The same hand-on again, the power cut at its rebuild.
    for (const auto& e : std::filesystem::directory_iterator(w.root.Native("C:\\TEMP"))) {
      if (e.path().filename().string().rfind("ROZ.", 0) == 0) std::filesystem::remove(e.path());
    }
    w.fault->Track(w.root.path());
    w.fault->CutAt(rebuild);
    (void)hand_on(w);
    w.fault->PowerUp();
    w.Restart();
    w.fault = w.Wrap<FaultEnv>();
    w.AddMessaging();
    (void)w.msg->ReadTop(kQueue);  // settles the temporary folder before the steps count
  };
  tally(SweepCuts(
      "", left_claim,
      [](FaultWorld& w) {
        if (!w.msg->ClaimQueue(kQueue)) return false;
        return w.msg->ReleaseClaim().ok();
      },
      exactly_once));

  // A registration: STATUS is the old one or records the program.
  tally(SweepCuts(
      kOld, nothing,
      [](FaultWorld& w) {
        (void)w.reg->RegisterApplication("CAROB");  // a cut fails it; the file tells
        return w.root.ReadFile(kStatus).find("CAROB running=Yes") != std::string::npos;
      },
      [](FaultWorld& w, bool ok) {
        const std::string status = w.root.ReadFile(kStatus);
        EXPECT_EQ(status.rfind("Local ID=10.0.0.9\r\n", 0), 0u) << status;
        if (ok) {
          EXPECT_NE(status.find("CAROB running=Yes\r\n"), std::string::npos) << status;
        }
      }));

  std::cout << "power cuts: " << points << " cut points tried, " << violations << " violations\n";
  EXPECT_EQ(violations, 0);
}

}  // namespace
}  // namespace carob::testing
