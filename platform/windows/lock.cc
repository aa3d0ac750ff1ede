// Locking on Windows: the same three locks as on POSIX (see posix/lock.cc),
// built from the system's own rules.
//
// 1. Swap files: created exclusively (CREATE_NEW) and kept open with a
//    sharing mode that allows reading and writing but not deletion. While
//    the holder lives nobody can delete the file (the delete fails with a
//    sharing violation), so a living holder's lock cannot be broken; when
//    it dies the system closes its handle and the file can go. Liveness is
//    asked the same way: an open that wants delete access fails while a
//    holder has the file open.
//    Release() closes the file and deletes it: while it was held nobody could
//    delete it, so the name is still ours.
// 2. Queues: a byte-range lock on one byte far past the end of the file
//    (LockFileEx), which the system drops when the holder dies.
// 3. The held replacement of a queue: the new file takes that byte-range
//    lock before it is renamed into place.
#include <cerrno>
#include <string>

#include "platform/windows/file.h"

namespace carob::platform::win {

namespace {

// Sharing that a holder allows others: everything but deletion.
constexpr DWORD kShareNoDelete = FILE_SHARE_READ | FILE_SHARE_WRITE;

class WinLockFile : public LockFile {
 public:
  WinLockFile(Handle h, std::string path, bool owned)
      : h_(std::move(h)), path_(std::move(path)), owned_(owned) {}

  Status Write(std::string_view bytes) override {
    int error = !h_.valid() || !owned_ ? EBADF : WriteFully(h_.get(), bytes) ? 0 : errno;
    return error == 0 ? Status::Ok() : Status::FromErrno("cannot write lock " + path_, error);
  }

  // Flushes what was written; the system has no sync for the folder that
  // holds the name. EBADF for an adopted hold (never written) or after
  // Release().
  Status Sync() override {
    int error = !h_.valid() || !owned_ ? EBADF : FlushChecked(h_.get());
    return error == 0 ? Status::Ok() : Status::FromErrno("cannot sync lock " + path_, error);
  }

  void Release() override {
    if (!h_.valid()) return;
    h_.Reset();
    // Our own file goes; nobody else can have taken its name meanwhile,
    // since nobody could delete it while we held it. An adopted file stays.
    if (owned_) ::DeleteFileA(path_.c_str());
  }

 private:
  Handle h_;
  std::string path_;
  bool owned_;
};

// The held replacement file of a queue: writes append, the hold is the
// byte-range lock that ends with the handle.
class HeldReplacement : public LockFile {
 public:
  HeldReplacement(Handle h, std::string path) : h_(std::move(h)), path_(std::move(path)) {}

  Status Write(std::string_view bytes) override {
    LARGE_INTEGER end{};
    int error = !h_.valid() ? EBADF : 0;
    if (error == 0 && !::GetFileSizeEx(h_.get(), &end)) error = LastErrno();
    if (error == 0) error = WriteFullyAt(h_.get(), bytes, end.QuadPart);
    return error == 0 ? Status::Ok() : Status::FromErrno("cannot write " + path_, error);
  }
  // Flushes what was written (EBADF after Release()).
  Status Sync() override {
    int error = !h_.valid() ? EBADF : FlushChecked(h_.get());
    return error == 0 ? Status::Ok() : Status::FromErrno("cannot sync " + path_, error);
  }
  void Release() override { h_.Reset(); }

 private:
  Handle h_;
  std::string path_;
};

// Opens an existing lock file for deletion; fails with a sharing violation
// while a holder has it open.
Handle OpenForDelete(const std::string& path, DWORD share) {
  return Handle(::CreateFileA(path.c_str(), GENERIC_READ | DELETE, share, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr));
}

}  // namespace

std::unique_ptr<LockFile> HeldFile(Handle h, std::string path) {
  return std::make_unique<HeldReplacement>(std::move(h), std::move(path));
}

Status TryLockNative(const std::string& path, std::unique_ptr<LockFile>* lock) {
  lock->reset();
  // No delete access of our own: a reader that does not share deletion (as
  // most programs open files) can still read the file while we hold it.
  Handle h(::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, kShareNoDelete, nullptr,
                         CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.valid()) {
    int error = LastErrno();
    // A file whose holder is just deleting it refuses the create as well.
    if (error == EACCES && ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
      error = EEXIST;
    }
    return Status::FromErrno("cannot create lock " + path, error);
  }
  *lock = std::make_unique<WinLockFile>(std::move(h), path, /*owned=*/true);
  return Status::Ok();
}

LockState ProbeLockNative(const std::string& path) {
  Handle h = OpenForDelete(path, kShareAll);
  if (h.valid()) return LockState::kUnheld;
  DWORD code = ::GetLastError();
  if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) return LockState::kAbsent;
  // A holder's handle refuses our delete access; a file being deleted
  // refuses everyone (access denied) and counts as held until it is gone.
  return code == ERROR_SHARING_VIOLATION || code == ERROR_ACCESS_DENIED ? LockState::kHeld
                                                                        : LockState::kUnheld;
}

int BreakLockNative(const std::string& path) {
  if (::DeleteFileA(path.c_str())) return 0;
  int error = LastErrno();
  return error == EACCES ? EWOULDBLOCK : error;
}

Status AdoptLockNative(const std::string& path, std::unique_ptr<LockFile>* hold) {
  hold->reset();
  // Delete access fails while a living holder has the file open; once we
  // have it, our sharing mode keeps everyone else from deleting it.
  Handle h = OpenForDelete(path, kShareNoDelete);
  if (!h.valid()) {
    int error = LastErrno();
    if (error == EACCES) error = EWOULDBLOCK;
    return Status::FromErrno("cannot hold lock " + path, error);
  }
  *hold = std::make_unique<WinLockFile>(std::move(h), path, /*owned=*/false);
  return Status::Ok();
}

}  // namespace carob::platform::win
