// Every failing step of a databank write, a queue take and a registration,
// one at a time, over real files: the operation skips what it cannot do and
// loses nothing. Each test first counts the steps of the operation when all
// goes well, then runs it again once per step with that step failing.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <functional>
#include <memory>
#include <string>
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

TEST(FaultTest, EachFailingStepOfADatabankWriteLeavesTheBankWhole) {
  struct Case {
    const char* name;
    std::string start;  // "" for a bank that does not exist yet
    const char* key;
    const char* value;
    std::string written;
  };
  const Case cases[] = {
      {"append", kOld, "delta", "four", std::string(kOld) + "delta=four\r\n"},
      {"in place", kOld, "beta", "six", "alpha=one\r\nbeta=six\r\ngamma=three\r\n"},
      {"standard method", kOld, "beta", "twenty-two", "alpha=one\r\ngamma=three\r\nbeta=twenty-two\r\n"},
      {"new databank", "", "alpha", "one", "alpha=one\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    for (int error : {EIO, ENOSPC}) {
      platform::Status written;
      SweepSteps(
          c.start, error,
          [&](FaultWorld& w) { written = w.db->Write(kBank, c.key, c.value); },
          [&](FaultWorld& w, const std::string& step) {
            const std::string now = w.root.ReadFile(kBank);
            const std::string before = c.start.empty() ? "<missing>" : c.start;
            if (step == "none") {
              EXPECT_EQ(now, c.written);
            } else if (step.find("(read ") != std::string::npos) {
              // A databank that cannot be read is not written at all (a new
              // one stays as made, empty).
              EXPECT_TRUE(now == before || (c.start.empty() && now.empty())) << now;
              EXPECT_EQ(written.error(), error);
            } else if (now != c.written && now != before) {
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
  std::string queue;
  for (const auto& e : entries) queue += "--- Entry by ROZ Default on 12-07-2026 08:29:45\r\n" + e;
  std::string rest = queue.substr(queue.find("--- Entry", 1));
  bool gone = false;
  messaging::QueueEntry taken;
  auto take = [&](FaultWorld& w) {
    w.root.WriteFile(kQueue, queue);
    gone = w.msg->TakeTop(kQueue, taken).ok();
  };
  SweepSteps("", EIO, take, [&](FaultWorld& w, const std::string& step) {
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

TEST(FaultTest, EachFailingStepOfARegistrationIsMadeUpByTheNextAttempt) {
  SweepSteps(
      kOld, EIO, [](FaultWorld& w) { w.reg->RegisterApplication("CAROB"); },
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
  w.reg->RegisterApplication("CAROB");  // returns rather than trying for ever
  EXPECT_GT(w.fault->failures(), 0);
  EXPECT_EQ(w.root.ReadFile(kStatus), "Local ID=10.0.0.9\r\n");
  EXPECT_EQ(w.Leftovers(), std::vector<std::string>{});
  // It waited between its attempts, and only between them.
  const double waited = w.clock->Now().seconds_since_midnight - start;
  EXPECT_GE(waited, (registry::kRegisterAttempts - 1) * registry::kRegisterRetryPause - 1e-6);
}

}  // namespace
}  // namespace carob::testing
