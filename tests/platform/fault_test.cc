// Every failing step of a databank write, a queue take and a registration,
// one at a time, over real files: the operation skips what it cannot do and
// loses nothing. Each test first counts the steps of the operation when all
// goes well, then runs it again once per step with that step failing.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "databank/databank.h"
#include "messaging/messaging.h"
#include "registry/registry.h"
#include "tests/support/world.h"

namespace carob::testing {
namespace {

// An Env that makes the Nth fallible step of an operation fail, so a test can
// sweep N over every step and show that each failure is survived. The files
// are real (a TempRoot under a real Env); only the chosen step is refused,
// before it reaches the file system, with the errno the test picks.
//
//   FaultEnv env(*real);
//   env.FailNth(3, ENOSPC);        // the third step from now fails
//   db.Set(bank, key, value);
//   env.steps();                   // how many steps the Set took
//
// Steps are counted across the Env and the Files and LockFiles it hands out:
// opens, reads of whole files, writes, renames, deletes, replacements, lock
// creations, breaks and adoptions, time marks and program starts.
class FaultEnv : public platform::EnvWrapper {
  using Status = platform::Status;
  using File = platform::File;
  using LockFile = platform::LockFile;

 public:
  // Kinds of step, to count only some of them.
  enum Kind : unsigned {
    kOpen = 1u << 0,     // Open, OpenLocked
    kWrite = 1u << 1,    // AppendBytes and the writes of Files and LockFiles
    kReplace = 1u << 2,  // ReplaceContents, ReplaceContentsHeld
    kOther = 1u << 3,    // ReadAll, ReadAllStamped, Rename, Delete, TryLock, BreakLock, AdoptLock, MarkModified, StartProgram
    kAll = (1u << 4) - 1,
  };

  explicit FaultEnv(platform::Env& target) : EnvWrapper(target) {}

  // From now, counts the steps of the kinds in `kinds` and fails the nth
  // (from 1) with `error`; n = 0 fails none. With `and_after`, every later
  // step of those kinds fails too.
  void FailNth(int n, int error = EIO, unsigned kinds = kAll, bool and_after = false) {
    fail_at_ = n;
    error_ = error;
    kinds_ = kinds;
    and_after_ = and_after;
    failed_ = 0;
    log_.clear();
  }
  // Counts without failing.
  void Count(unsigned kinds = kAll) { FailNth(0, 0, kinds); }

  // Steps counted since the last FailNth, and how many of them failed.
  int steps() const { return static_cast<int>(log_.size()); }
  int failures() const { return failed_; }
  // "open C:\x", "rename C:\a" ... one line per counted step, for messages.
  const std::vector<std::string>& log() const { return log_; }

  Status Open(const std::string& path, platform::OpenMode mode,
              std::unique_ptr<File>* file) override {
    return Handed(Then(kOpen, "open " + path, [&] { return EnvWrapper::Open(path, mode, file); }),
                  file, path);
  }
  Status OpenLocked(const std::string& path, platform::OpenMode mode,
                    std::unique_ptr<File>* file) override {
    return Handed(Then(kOpen, "open locked " + path,
                       [&] { return EnvWrapper::OpenLocked(path, mode, file); }),
                  file, path);
  }
  Status ReadAll(const std::string& path, std::string& bytes) override {
    bytes.clear();
    return Then(kOther, "read " + path, [&] { return EnvWrapper::ReadAll(path, bytes); });
  }
  Status ReadAllStamped(const std::string& path, std::string& bytes,
                        platform::FileInfo* stamp) override {
    bytes.clear();
    *stamp = platform::FileInfo{};
    stamp->size = -1;
    return Then(kOther, "read " + path,
                [&] { return EnvWrapper::ReadAllStamped(path, bytes, stamp); });
  }
  Status AppendBytes(const std::string& path, std::string_view bytes) override {
    return Then(kWrite, "append to " + path, [&] { return EnvWrapper::AppendBytes(path, bytes); });
  }
  Status Rename(const std::string& from, const std::string& to) override {
    return Then(kOther, "rename " + from + " to " + to,
                [&] { return EnvWrapper::Rename(from, to); });
  }
  Status Delete(const std::string& path) override {
    return Then(kOther, "delete " + path, [&] { return EnvWrapper::Delete(path); });
  }
  Status ReplaceContents(const std::string& path, std::string_view bytes) override {
    return Then(kReplace, "replace " + path,
                [&] { return EnvWrapper::ReplaceContents(path, bytes); });
  }
  Status ReplaceContentsHeld(const std::string& path, std::string_view bytes,
                             std::unique_ptr<LockFile>* held) override {
    return Handed(Then(kReplace, "replace held " + path,
                       [&] { return EnvWrapper::ReplaceContentsHeld(path, bytes, held); }),
                  held, path);
  }
  Status MarkModified(const std::string& path) override {
    return Then(kOther, "mark " + path, [&] { return EnvWrapper::MarkModified(path); });
  }
  Status TryLock(const std::string& path, std::unique_ptr<LockFile>* lock) override {
    return Handed(Then(kOther, "lock " + path, [&] { return EnvWrapper::TryLock(path, lock); }),
                  lock, path);
  }
  Status BreakLock(const std::string& path) override {
    return Then(kOther, "break lock " + path, [&] { return EnvWrapper::BreakLock(path); });
  }
  Status AdoptLock(const std::string& path, std::unique_ptr<LockFile>* hold) override {
    return Handed(Then(kOther, "hold lock " + path, [&] { return EnvWrapper::AdoptLock(path, hold); }),
                  hold, path);
  }
  Status StartProgram(const std::string& path, int window_style) override {
    return Then(kOther, "start " + path,
                [&] { return EnvWrapper::StartProgram(path, window_style); });
  }

 private:
  // A File whose writes are steps of its FaultEnv.
  class FaultFile : public File {
   public:
    FaultFile(FaultEnv& env, std::unique_ptr<File> file, std::string path)
        : env_(env), file_(std::move(file)), path_(std::move(path)) {
      serial_ = file_->serial();
    }
    bool ReadLine(std::string& line) override { return file_->ReadLine(line); }
    int64_t Tell() override { return file_->Tell(); }
    bool ReadAt(int64_t offset, char& byte) override { return file_->ReadAt(offset, byte); }
    int64_t Size() override { return file_->Size(); }
    Status Truncate(int64_t length) override { return file_->Truncate(length); }
    Status Write(std::string_view bytes) override {
      return env_.Then(kWrite, "write " + path_, [&] { return file_->Write(bytes); });
    }
    Status WriteAt(int64_t offset, char byte) override {
      return env_.Then(kWrite, "write at " + path_, [&] { return file_->WriteAt(offset, byte); });
    }
    Status WriteRangeAt(int64_t offset, std::string_view bytes) override {
      return env_.Then(kWrite, "write range " + path_,
                       [&] { return file_->WriteRangeAt(offset, bytes); });
    }

   private:
    FaultEnv& env_;
    std::unique_ptr<File> file_;
    std::string path_;
  };

  // A LockFile whose writes are steps of its FaultEnv.
  class FaultLock : public LockFile {
   public:
    FaultLock(FaultEnv& env, std::unique_ptr<LockFile> lock, std::string path)
        : env_(env), lock_(std::move(lock)), path_(std::move(path)) {}
    Status Write(std::string_view bytes) override {
      return env_.Then(kWrite, "write lock " + path_, [&] { return lock_->Write(bytes); });
    }
    void Release() override { lock_->Release(); }

   private:
    FaultEnv& env_;
    std::unique_ptr<LockFile> lock_;
    std::string path_;
  };

  // Counts the step when its kind is counted, and refuses it when it is the
  // one to fail; otherwise makes the call.
  template <class Call>
  Status Then(Kind kind, std::string what, Call call) {
    if ((kinds_ & kind) == 0) return call();
    log_.push_back(what);
    const int n = steps();
    if (fail_at_ <= 0 || n < fail_at_ || (n > fail_at_ && !and_after_)) return call();
    ++failed_;
    return Status::FromErrno("cannot " + what, error_);
  }
  // What a successful call handed out, wrapped so its writes are steps too;
  // nothing after a failure.
  template <class T>
  Status Handed(Status s, std::unique_ptr<T>* out, const std::string& path) {
    using Faulty = std::conditional_t<std::is_same_v<T, File>, FaultFile, FaultLock>;
    if (s) {
      *out = std::make_unique<Faulty>(*this, std::move(*out), path);
    } else {
      out->reset();
    }
    return s;
  }

  int fail_at_ = 0;
  int error_ = EIO;
  unsigned kinds_ = kAll;
  bool and_after_ = false;
  int failed_ = 0;
  std::vector<std::string> log_;
};

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
