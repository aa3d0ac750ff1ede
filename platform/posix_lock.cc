// Locking: which lock guards what, and why.
//
// CAROB shares its files with the other programs of the family, each in its
// own process, with no server between them. Three kinds of lock keep them
// from spoiling each other's work; each is the lightest that is enough for
// what it guards.
//
// 1. Swap files guard a databank while it is written (Env::TryLock, here
//    TryLockNative). A writer of "C:\ORB\CAROB.dat" first creates the swap
//    file "DSP.<folder>.<file>.TMP" in the temporary folder, exclusively: the
//    file is made without a name, locked, and only then linked to its name,
//    and link() never replaces an existing file, so of any number of racing
//    writers exactly one gets it. The swap file is the family's own
//    convention; programs that know nothing of flock still see the name and
//    wait. It also keeps the databank's old contents while a standard-method
//    rewrite runs, so that a writer killed half-way leaves them behind.
//    Release() deletes it, but only while the name still names our file.
//
// 2. Advisory flock locks guard two things.
//    - A swap holder's liveness: the holder keeps flock(LOCK_EX) on its swap
//      file for as long as it lives, and the kernel drops that lock when the
//      process dies, however it dies. A waiting writer that finds the file
//      but no flock on it (ProbeLockNative: kUnheld) knows the holder is
//      gone, and after a grace period breaks the lock (BreakLockNative),
//      which again only deletes a file nobody holds. Without it a crashed
//      writer would block its databank until someone deleted the file.
//      An append or in-place overwrite needs no grace period: it takes the
//      dead holder's flock itself (AdoptLockNative), which keeps a rewrite
//      from breaking the file under it, writes, and leaves the file.
//    - Queues (Env::OpenLocked): appending an entry, reading the top one and
//      taking it all hold flock(LOCK_EX) on the queue file itself, so an entry
//      is written whole and read whole. A queue has no swap-file lock: it is
//      touched far more often than a databank, and a sender must never wait
//      for a dead peer's grace period. OpenLocked checks after locking that
//      the path still names the file it holds, because a taker may have put
//      a rebuilt file in its place while we waited.
//
// 3. The held replacement file guards a queue rebuild (Env::ReplaceContentsHeld).
//    Taking the top entry rewrites the queue without it. The new file is
//    written beside the old one and locked before rename() gives it the
//    queue's name, and the taker keeps that lock until it has carried over
//    what appenders wrote to the old file meanwhile. So the queue's name
//    never stands empty or unlocked: an appender that waited for the old
//    file opens the new one, waits again, and lands after the entries that
//    were already waiting, keeping every sender's order.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "platform/posix_file.h"

namespace carob::platform::posix {

namespace {

class PosixLockFile : public LockFile {
 public:
  PosixLockFile(Fd fd, std::string native, std::string windows, bool owned = true)
      : fd_(std::move(fd)),
        native_(std::move(native)),
        windows_(std::move(windows)),
        owned_(owned) {}
  ~PosixLockFile() override = default;  // closing the descriptor ends the hold

  Status Write(std::string_view bytes) override {
    int error = !fd_.valid() ? EBADF : WriteFully(fd_.get(), bytes) ? 0 : errno;
    return error == 0 ? Status::Ok() : Status::FromErrno("cannot write lock " + windows_, error);
  }

  void Release() override {
    if (!fd_.valid()) return;
    struct stat ours {}, named {};
    // An adopted file was left by someone else: it stays where it is.
    // Remove the name only while it still names our file: a peer may have
    // broken the lock and made a new one meanwhile.
    if (owned_ && ::fstat(fd_.get(), &ours) == 0 && ::lstat(native_.c_str(), &named) == 0 &&
        SameFile(ours, named)) {
      ::unlink(native_.c_str());
    }
    fd_.Reset();
  }

 private:
  Fd fd_;
  std::string native_;
  std::string windows_;
  bool owned_;  // we made the file; otherwise we only hold it
};

}  // namespace

int FlockRetry(int fd, int op) {
  return RetryOnEintr([&] { return ::flock(fd, op); });
}

std::string NameOf(const std::string& native) {
  return native.substr(native.rfind('/') + 1);  // npos + 1 is 0
}

std::string FolderOf(const std::string& native) {
  size_t slash = native.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return native.substr(0, slash);
}

std::unique_ptr<LockFile> HeldFile(int fd, std::string native, std::string windows) {
  return std::make_unique<PosixLockFile>(Fd(fd), std::move(native), std::move(windows));
}

Status TryLockNative(const std::string& native, const std::string& windows,
                     std::unique_ptr<LockFile>* lock) {
  lock->reset();
  auto failed = [&](int error) { return Status::FromErrno("cannot create lock " + windows, error); };
  // The lock file is made without a name (or under a private one), locked,
  // and only then linked to its real name: link() never replaces an
  // existing file, and whoever sees the name sees a file already held.
  Fd unnamed(::open(FolderOf(native).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666));
  if (unnamed.valid()) {
    if (FlockRetry(unnamed.get(), LOCK_EX | LOCK_NB) != 0) return failed(errno);
    // Some file systems create unnamed files but cannot link them.
    std::string proc = "/proc/self/fd/" + std::to_string(unnamed.get());
    if (::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, native.c_str(), AT_SYMLINK_FOLLOW) == 0) {
      *lock = std::make_unique<PosixLockFile>(std::move(unnamed), native, windows);
      return Status::Ok();
    }
    if (errno == EEXIST) return failed(EEXIST);
  }
  std::string tmpl = FolderOf(native) + "/." + NameOf(native) + ".lock-XXXXXX";
  int raw = ::mkostemp(tmpl.data(), O_CLOEXEC);
  if (raw < 0) return failed(errno);
  Fd fd(raw);
  if (FlockRetry(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    int error = errno;
    ::unlink(tmpl.c_str());
    return failed(error);
  }
  int rc = ::link(tmpl.c_str(), native.c_str());
  int error = errno;
  ::unlink(tmpl.c_str());
  if (rc != 0) return failed(error);
  *lock = std::make_unique<PosixLockFile>(std::move(fd), native, windows);
  return Status::Ok();
}

LockState ProbeLockNative(const std::string& native) {
  Fd fd(::open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return errno == ENOENT ? LockState::kAbsent : LockState::kUnheld;
  if (FlockRetry(fd.get(), LOCK_EX | LOCK_NB) != 0) {
    return errno == EWOULDBLOCK ? LockState::kHeld : LockState::kUnheld;
  }
  FlockRetry(fd.get(), LOCK_UN);
  return LockState::kUnheld;
}

int BreakLockNative(const std::string& native) {
  Fd fd(::open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return errno;
  // A living holder keeps its flock; then the lock is not ours to break.
  if (FlockRetry(fd.get(), LOCK_EX | LOCK_NB) != 0) return errno;
  struct stat ours {}, named {};
  if (::fstat(fd.get(), &ours) != 0 || ::lstat(native.c_str(), &named) != 0) return errno;
  if (!SameFile(ours, named)) return ESTALE;
  return ::unlink(native.c_str()) == 0 ? 0 : errno;
}

Status AdoptLockNative(const std::string& native, const std::string& windows,
                       std::unique_ptr<LockFile>* hold) {
  hold->reset();
  auto failed = [&](int error) { return Status::FromErrno("cannot hold lock " + windows, error); };
  Fd fd(::open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd.valid()) return failed(errno);
  if (FlockRetry(fd.get(), LOCK_EX | LOCK_NB) != 0) return failed(errno);
  // Held now; but a peer may have broken the file and made a new one
  // between our open and our flock, and then we hold nothing that counts.
  struct stat ours {}, named {};
  if (::fstat(fd.get(), &ours) != 0 || ::lstat(native.c_str(), &named) != 0) return failed(errno);
  if (!SameFile(ours, named)) return failed(ESTALE);
  *hold = std::make_unique<PosixLockFile>(std::move(fd), native, windows, /*owned=*/false);
  return Status::Ok();
}

}  // namespace carob::platform::posix
