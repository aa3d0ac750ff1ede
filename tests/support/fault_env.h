// An Env that makes the Nth fallible step of an operation fail, or cuts the
// power there, so a test can sweep N over every step and show that each
// failure and each power cut is survived. The files are real (a TempRoot
// under a real Env); only the chosen step is refused, before it reaches the
// file system, with the errno the test picks.
//
//   FaultEnv env(*real);
//   env.FailNth(3, ENOSPC);        // the third step from now fails
//   db.Write(bank, key, value);
//   env.steps();                   // how many steps the Write took
//
//   env.Track(root.path());        // what is on the disk now is durable
//   env.CutAt(3);                  // the power goes at the third step
//   db.Write(bank, key, value);    // ... which, like all after it, fails
//   env.PowerUp();                 // the files as the disk kept them
//
// Steps are counted across the Env and the Files and LockFiles it hands out:
// opens, reads, writes, closes and syncs, renames, deletes, replacements,
// lock creations, breaks and adoptions, time marks and program starts.
//
// Power cuts follow the Env's durability contract: a change is kept when
// the call that makes it durable succeeded before the cut (File::Close of a
// file opened for writing, LockFile::Sync, ReplaceContents, Rename, and,
// while syncs are grouped, SyncGrouped for what was closed or replaced
// meanwhile). Everything else is lost: each file goes back to the bytes it
// last had for good, and a file never made durable is gone; a file deleted
// without a sync is back.
#pragma once

#include <cerrno>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <memory>
#include <set>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

#include "platform/env.h"

namespace carob::testing {

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
    kOther = 1u << 3,    // LookUp, ReadAll, ReadAllStamped, Rename, Delete, TryLock, BreakLock, AdoptLock(s), MarkModified, StartProgram
    kRead = 1u << 4,     // the reads of open Files: ReadLine, ReadAt, Size
    kSync = 1u << 5,     // File::Close of a written file, LockFile::Sync, SyncGrouped
    kAll = (1u << 6) - 1,
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
    cut_ = false;
    log_.clear();
  }
  // Counts without failing.
  void Count(unsigned kinds = kAll) { FailNth(0, 0, kinds); }

  // Called after each counted step has been made (or refused).
  std::function<void()> on_step;

  // Steps counted since the last FailNth, and how many of them failed.
  int steps() const { return static_cast<int>(log_.size()); }
  int failures() const { return failed_; }
  // "open C:\x", "rename C:\a" ... one line per counted step, for messages.
  const std::vector<std::string>& log() const { return log_; }

  // -- power cuts
  // Takes every file under the native folder `root` as durable as it is.
  void Track(const std::string& root) {
    root_ = root;
    durable_.clear();
    pending_.clear();
    for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
      if (e.is_regular_file()) durable_[e.path().string()] = Bytes(e.path().string());
    }
  }
  // The power goes at the nth step from now: it fails, and so does every
  // later one, as the program runs on into a dead disk.
  void CutAt(int n) {
    FailNth(n, EIO, kAll, /*and_after=*/true);
    cut_ = n > 0;
  }
  // Whether the cut came, that is whether the operation reached its step.
  bool cut() const { return cut_ && failed_ > 0; }
  // The power is back: the tracked tree holds what the disk had made durable.
  void PowerUp() {
    std::vector<std::string> present;
    for (const auto& e : std::filesystem::recursive_directory_iterator(root_)) {
      if (e.is_regular_file()) present.push_back(e.path().string());
    }
    for (const std::string& p : present) {
      if (!durable_.count(p)) std::filesystem::remove(p);
    }
    for (const auto& [p, bytes] : durable_) {
      std::filesystem::create_directories(std::filesystem::path(p).parent_path());
      std::ofstream(p, std::ios::binary | std::ios::trunc) << bytes;
    }
    FailNth(0);
  }

  Status Open(const std::string& path, platform::OpenMode mode,
              std::unique_ptr<File>* file) override {
    return Handed(Then(kOpen, "open " + path, [&] { return EnvWrapper::Open(path, mode, file); }),
                  file, path, mode);
  }
  Status OpenLocked(const std::string& path, platform::OpenMode mode,
                    std::unique_ptr<File>* file) override {
    return Handed(Then(kOpen, "open locked " + path,
                       [&] { return EnvWrapper::OpenLocked(path, mode, file); }),
                  file, path, mode);
  }
  Status LookUp(const std::string& path, std::optional<platform::FileInfo>& info) override {
    info.reset();
    return Then(kOther, "look up " + path, [&] { return EnvWrapper::LookUp(path, info); });
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
    const std::string source = NativeOf(from);
    Status s = Then(kOther, "rename " + from + " to " + to,
                    [&] { return EnvWrapper::Rename(from, to); });
    if (s && Tracking()) {
      const std::string target = NativeOf(to);
      auto it = durable_.find(source);
      if (it != durable_.end()) {
        durable_[target] = it->second;
        durable_.erase(source);
      }
    }
    return s;
  }
  Status Delete(const std::string& path) override {
    return Then(kOther, "delete " + path, [&] { return EnvWrapper::Delete(path); });
  }
  Status ReplaceContents(const std::string& path, std::string_view bytes) override {
    Status s = Then(kReplace, "replace " + path,
                    [&] { return EnvWrapper::ReplaceContents(path, bytes); });
    if (s) MadeDurable(NativeOf(path));
    return s;
  }
  Status ReplaceContentsHeld(const std::string& path, std::string_view bytes,
                             std::unique_ptr<LockFile>* held) override {
    Status s = Then(kReplace, "replace held " + path,
                    [&] { return EnvWrapper::ReplaceContentsHeld(path, bytes, held); });
    if (s) MadeDurable(NativeOf(path));
    return Handed(s, held, path, platform::OpenMode::kAppend);
  }
  Status MarkModified(const std::string& path) override {
    return Then(kOther, "mark " + path, [&] { return EnvWrapper::MarkModified(path); });
  }
  void GroupSyncs(bool on) override {
    if (!on) (void)SyncGrouped();
    grouped_ = on;
    EnvWrapper::GroupSyncs(on);
  }
  Status SyncGrouped() override {
    Status s = Then(kSync, "sync grouped", [&] { return EnvWrapper::SyncGrouped(); });
    if (s && Tracking()) {
      for (const std::string& p : pending_) Keep(p);
      pending_.clear();
    }
    return s;
  }
  Status TryLock(const std::string& path, std::unique_ptr<LockFile>* lock) override {
    return Handed(Then(kOther, "lock " + path, [&] { return EnvWrapper::TryLock(path, lock); }),
                  lock, path, platform::OpenMode::kAppend);
  }
  Status BreakLock(const std::string& path) override {
    return Then(kOther, "break lock " + path, [&] { return EnvWrapper::BreakLock(path); });
  }
  Status AdoptLock(const std::string& path, std::unique_ptr<LockFile>* hold) override {
    return Handed(Then(kOther, "hold lock " + path, [&] { return EnvWrapper::AdoptLock(path, hold); }),
                  hold, path, platform::OpenMode::kRead);
  }
  Status AdoptEndedMakersLock(const std::string& path, std::unique_ptr<LockFile>* hold) override {
    return Handed(Then(kOther, "hold lock " + path,
                       [&] { return EnvWrapper::AdoptEndedMakersLock(path, hold); }),
                  hold, path, platform::OpenMode::kRead);
  }
  Status StartProgram(const std::string& path, int window_style) override {
    return Then(kOther, "start " + path,
                [&] { return EnvWrapper::StartProgram(path, window_style); });
  }

 private:
  // A File whose reads, writes and close are steps of its FaultEnv.
  class FaultFile : public File {
   public:
    FaultFile(FaultEnv& env, std::unique_ptr<File> file, std::string path, platform::OpenMode mode)
        : env_(env), file_(std::move(file)), path_(std::move(path)), mode_(mode) {
      serial_ = file_->serial();
    }
    bool ReadLine(std::string& line) override {
      if (!failed_read_.ok()) return false;
      // Only a read that goes to the file is a step: the end is no read.
      std::string next;
      if (!file_->ReadLine(next)) return false;
      failed_read_ = env_.Then(kRead, "read line " + path_, [] { return Status::Ok(); });
      if (!failed_read_) return false;
      line = std::move(next);
      return true;
    }
    Status status() const override { return failed_read_.ok() ? file_->status() : failed_read_; }
    int64_t Tell() override { return file_->Tell(); }
    Status ReadAt(int64_t offset, size_t n, std::string& bytes) override {
      return env_.Then(kRead, "read at " + path_, [&] { return file_->ReadAt(offset, n, bytes); });
    }
    Status Size(int64_t& size) override {
      return env_.Then(kRead, "size " + path_, [&] { return file_->Size(size); });
    }
    Status Truncate(int64_t length) override { return file_->Truncate(length); }
    Status Write(std::string_view bytes) override {
      if (mode_ == platform::OpenMode::kAppend && appended_from_ < 0) {
        if (!file_->Size(appended_from_)) appended_from_ = -1;
      }
      Status s = env_.Then(kWrite, "write " + path_, [&] { return file_->Write(bytes); });
      if (s && mode_ == platform::OpenMode::kAppend) appended_ += static_cast<int64_t>(bytes.size());
      return s;
    }
    Status WriteAt(int64_t offset, char byte) override {
      return env_.Then(kWrite, "write at " + path_, [&] { return file_->WriteAt(offset, byte); });
    }
    Status WriteRangeAt(int64_t offset, std::string_view bytes) override {
      return env_.Then(kWrite, "write range " + path_,
                       [&] { return file_->WriteRangeAt(offset, bytes); });
    }
    Status Close() override {
      if (mode_ == platform::OpenMode::kRead) return file_->Close();
      const std::string native = env_.NativeOf(path_);
      Status s = env_.Then(kSync, "close " + path_, [&] { return file_->Close(); });
      if (s) {
        env_.MadeDurable(native);
      } else {
        // As a failed close does: our appends are taken back out.
        int64_t size = -1;
        if (appended_ > 0 && file_->Size(size) && size == appended_from_ + appended_) {
          (void)file_->Truncate(appended_from_);
        }
        (void)file_->Close();
      }
      return s;
    }

   private:
    FaultEnv& env_;
    std::unique_ptr<File> file_;
    std::string path_;
    platform::OpenMode mode_;
    Status failed_read_;
    int64_t appended_from_ = -1;  // the length before our first append
    int64_t appended_ = 0;
  };

  // A LockFile whose writes and syncs are steps of its FaultEnv.
  class FaultLock : public LockFile {
   public:
    FaultLock(FaultEnv& env, std::unique_ptr<LockFile> lock, std::string path)
        : env_(env), lock_(std::move(lock)), path_(std::move(path)) {}
    Status Write(std::string_view bytes) override {
      return env_.Then(kWrite, "write lock " + path_, [&] { return lock_->Write(bytes); });
    }
    Status Sync() override {
      const std::string native = env_.NativeOf(path_);
      Status s = env_.Then(kSync, "sync lock " + path_, [&] { return lock_->Sync(); });
      if (s && env_.Tracking()) env_.Keep(native);
      return s;
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
    const bool refused = fail_at_ > 0 && (n == fail_at_ || (n > fail_at_ && and_after_));
    Status s = refused ? Status::FromErrno("cannot " + what, error_) : call();
    if (refused) ++failed_;
    if (on_step) on_step();
    return s;
  }
  // What a successful call handed out, wrapped so its steps are counted too;
  // nothing after a failure.
  template <class T>
  Status Handed(Status s, std::unique_ptr<T>* out, const std::string& path, platform::OpenMode mode) {
    if (!s) {
      out->reset();
    } else if constexpr (std::is_same_v<T, File>) {
      *out = std::make_unique<FaultFile>(*this, std::move(*out), path, mode);
    } else {
      *out = std::make_unique<FaultLock>(*this, std::move(*out), path);
    }
    return s;
  }

  bool Tracking() const { return !root_.empty() && !cut(); }
  // The native path of the file a Windows-style path finds (or would make).
  std::string NativeOf(const std::string& path) {
    auto info = target().FindFile(path);
    return target().ToNative(info ? info->path : path);
  }
  static std::string Bytes(const std::string& native) {
    std::ifstream in(native, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  void Keep(const std::string& native) {
    if (std::filesystem::is_regular_file(native)) {
      durable_[native] = Bytes(native);
    } else {
      durable_.erase(native);
    }
  }
  // A call made the file durable: kept now, or at the next SyncGrouped
  // while syncs are grouped (a replacement synced its bytes before its
  // rename, but the name stays on the old file until the folder is synced).
  void MadeDurable(const std::string& native) {
    if (!Tracking()) return;
    if (grouped_) {
      pending_.insert(native);
    } else {
      Keep(native);
    }
  }

  int fail_at_ = 0;
  int error_ = EIO;
  unsigned kinds_ = kAll;
  bool and_after_ = false;
  int failed_ = 0;
  bool cut_ = false;
  bool grouped_ = false;
  std::vector<std::string> log_;
  std::string root_;
  std::map<std::string, std::string> durable_;  // native path -> its durable bytes
  std::set<std::string> pending_;               // made durable at the next SyncGrouped
};

}  // namespace carob::testing
