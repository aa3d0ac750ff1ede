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
 public:
  // Kinds of step, to count only some of them.
  enum Kind : unsigned {
    kOpen = 1u << 0,     // Open, OpenLocked
    kRead = 1u << 1,     // ReadAll
    kWrite = 1u << 2,    // AppendBytes and the writes of Files and LockFiles
    kRename = 1u << 3,   // Rename
    kReplace = 1u << 4,  // ReplaceContents, ReplaceContentsHeld
    kLock = 1u << 5,     // TryLock, BreakLock
    kOther = 1u << 6,    // Delete, MarkModified, StartProgram
    kAll = (1u << 7) - 1,
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
    count_ = 0;
    failed_ = 0;
    log_.clear();
  }
  // Counts without failing.
  void Count(unsigned kinds = kAll) { FailNth(0, 0, kinds); }

  // Steps counted since the last FailNth, and how many of them failed.
  int steps() const { return count_; }
  int failures() const { return failed_; }
  // "open C:\x", "rename C:\a" ... one line per counted step, for messages.
  const std::vector<std::string>& log() const { return log_; }

  platform::Status Open(const std::string& path, platform::OpenMode mode,
                        std::unique_ptr<platform::File>* file) override {
    if (auto s = Step(kOpen, "open " + path); !s) return Refused(s, file);
    return Wrap(EnvWrapper::Open(path, mode, file), file, path);
  }
  platform::Status OpenLocked(const std::string& path, platform::OpenMode mode,
                              std::unique_ptr<platform::File>* file) override {
    if (auto s = Step(kOpen, "open locked " + path); !s) return Refused(s, file);
    return Wrap(EnvWrapper::OpenLocked(path, mode, file), file, path);
  }
  platform::Status ReadAll(const std::string& path, std::string& bytes) override {
    if (auto s = Step(kRead, "read " + path); !s) {
      bytes.clear();
      return s;
    }
    return EnvWrapper::ReadAll(path, bytes);
  }
  platform::Status AppendBytes(const std::string& path, std::string_view bytes) override {
    if (auto s = Step(kWrite, "append to " + path); !s) return s;
    return EnvWrapper::AppendBytes(path, bytes);
  }
  platform::Status Rename(const std::string& from, const std::string& to) override {
    if (auto s = Step(kRename, "rename " + from + " to " + to); !s) return s;
    return EnvWrapper::Rename(from, to);
  }
  platform::Status Delete(const std::string& path) override {
    if (auto s = Step(kOther, "delete " + path); !s) return s;
    return EnvWrapper::Delete(path);
  }
  platform::Status ReplaceContents(const std::string& path, std::string_view bytes) override {
    if (auto s = Step(kReplace, "replace " + path); !s) return s;
    return EnvWrapper::ReplaceContents(path, bytes);
  }
  platform::Status ReplaceContentsHeld(const std::string& path, std::string_view bytes,
                                       std::unique_ptr<platform::LockFile>* held) override {
    if (auto s = Step(kReplace, "replace held " + path); !s) return Refused(s, held);
    return WrapLock(EnvWrapper::ReplaceContentsHeld(path, bytes, held), held, path);
  }
  platform::Status MarkModified(const std::string& path) override {
    if (auto s = Step(kOther, "mark " + path); !s) return s;
    return EnvWrapper::MarkModified(path);
  }
  platform::Status TryLock(const std::string& path,
                           std::unique_ptr<platform::LockFile>* lock) override {
    if (auto s = Step(kLock, "lock " + path); !s) return Refused(s, lock);
    return WrapLock(EnvWrapper::TryLock(path, lock), lock, path);
  }
  platform::Status BreakLock(const std::string& path) override {
    if (auto s = Step(kLock, "break lock " + path); !s) return s;
    return EnvWrapper::BreakLock(path);
  }
  platform::Status StartProgram(const std::string& path, int window_style) override {
    if (auto s = Step(kOther, "start " + path); !s) return s;
    return EnvWrapper::StartProgram(path, window_style);
  }

 private:
  // A File whose writes are steps of its FaultEnv.
  class FaultFile : public platform::File {
   public:
    FaultFile(FaultEnv& env, std::unique_ptr<platform::File> file, std::string path)
        : env_(env), file_(std::move(file)), path_(std::move(path)) {
      serial_ = file_->serial();
    }
    bool ReadLine(std::string& line) override { return file_->ReadLine(line); }
    int64_t Tell() override { return file_->Tell(); }
    bool ReadAt(int64_t offset, char& byte) override { return file_->ReadAt(offset, byte); }
    int64_t Size() override { return file_->Size(); }
    platform::Status Write(std::string_view bytes) override {
      if (auto s = env_.Step(kWrite, "write " + path_); !s) return s;
      return file_->Write(bytes);
    }
    platform::Status WriteAt(int64_t offset, char byte) override {
      if (auto s = env_.Step(kWrite, "write at " + path_); !s) return s;
      return file_->WriteAt(offset, byte);
    }
    platform::Status WriteRangeAt(int64_t offset, std::string_view bytes) override {
      if (auto s = env_.Step(kWrite, "write range " + path_); !s) return s;
      return file_->WriteRangeAt(offset, bytes);
    }

   private:
    FaultEnv& env_;
    std::unique_ptr<platform::File> file_;
    std::string path_;
  };

  // A LockFile whose writes are steps of its FaultEnv.
  class FaultLock : public platform::LockFile {
   public:
    FaultLock(FaultEnv& env, std::unique_ptr<platform::LockFile> lock, std::string path)
        : env_(env), lock_(std::move(lock)), path_(std::move(path)) {}
    platform::Status Write(std::string_view bytes) override {
      if (auto s = env_.Step(kWrite, "write lock " + path_); !s) return s;
      return lock_->Write(bytes);
    }
    void Release() override { lock_->Release(); }

   private:
    FaultEnv& env_;
    std::unique_ptr<platform::LockFile> lock_;
    std::string path_;
  };

  platform::Status Step(Kind kind, std::string what) {
    if ((kinds_ & kind) == 0) return platform::Status::Ok();
    ++count_;
    log_.push_back(what);
    if (fail_at_ <= 0 || count_ < fail_at_ || (count_ > fail_at_ && !and_after_)) {
      return platform::Status::Ok();
    }
    ++failed_;
    return platform::Status::FromErrno("cannot " + what, error_);
  }
  template <typename T>
  static platform::Status Refused(const platform::Status& s, std::unique_ptr<T>* out) {
    out->reset();
    return s;
  }
  platform::Status Wrap(platform::Status s, std::unique_ptr<platform::File>* file,
                        const std::string& path) {
    if (s) *file = std::make_unique<FaultFile>(*this, std::move(*file), path);
    return s;
  }
  platform::Status WrapLock(platform::Status s, std::unique_ptr<platform::LockFile>* lock,
                            const std::string& path) {
    if (s) *lock = std::make_unique<FaultLock>(*this, std::move(*lock), path);
    return s;
  }

  int fail_at_ = 0;
  int error_ = EIO;
  unsigned kinds_ = kAll;
  bool and_after_ = false;
  int count_ = 0;
  int failed_ = 0;
  std::vector<std::string> log_;
};

}  // namespace carob::testing
