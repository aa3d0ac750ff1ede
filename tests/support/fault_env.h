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
// creations and breaks, time marks and program starts.
#pragma once

#include <cerrno>
#include <memory>
#include <string>
#include <string_view>
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
    kOther = 1u << 3,    // ReadAll, Rename, Delete, TryLock, BreakLock, MarkModified, StartProgram
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

}  // namespace carob::testing
