// Locking: which lock guards what, and why.
//
// CAROB shares its files with the other programs of the family, each in its
// own process, with no server between them, and possibly on other computers
// that mount the same network share. Three kinds of lock keep them from
// spoiling each other's work; each is the lightest that is enough for what
// it guards.
//
// 1. Swap files guard a databank while it is written (Env::TryLock, here
//    TryLockNative). A writer of "C:\ORB\CAROB.dat" first creates the swap
//    file "DSP.<folder>.<file>.TMP" in the temporary folder, exclusively, so
//    that of any number of racing writers exactly one gets it. How depends on
//    what the folder's file system offers (FolderLocksOf, found once per
//    folder and remembered):
//    - with hard links (local disks), the file is made without a name (or
//      under a private one), locked, and only then linked to its name:
//      link() never replaces an existing file, and whoever sees the name
//      sees a file already held;
//    - without them (a network share), it is created under its own name with
//      O_EXCL and locked at once. A share's client may pass that create on
//      to the server as a plain one, so there the look for the file and the
//      create run inside a guard folder "<name>.guard": making a folder is
//      exclusive on the server. No candidate file is ever left behind.
//    A process that locks often in one folder (carob's thinking passes take
//    a lock for every fact they learn) keeps the file of a released lock
//    instead of making a new one each time (Spares): making a file is the
//    dearest step, on a disk that has just seen many deleted. The kept file
//    stays held and named ".carob-spare.<pid>.<n>", and the next lock is a
//    link() of it to the lock's name, exclusive as ever. Only files nothing
//    was written into are kept (a claim's notes must never reach another
//    claim). A spare left by a killed process is unheld; the next process
//    that keeps one in that folder removes it.
//    The swap file is the family's own convention; programs that know
//    nothing of flock still see the name and wait. It stays empty: a
//    rewrite builds the new databank beside the old one and renames it into
//    place, so the old contents stay whole under the databank's own name
//    until then, even when the writer is killed. Release() deletes it, but
//    only while the name still names our file. Anything else standing at the
//    name (a folder, a symbolic link, even a dangling one) is no lock of
//    ours: TryLock refuses it with words saying what stands there, and it is
//    never followed.
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
//      On a network share a flock is seen only on the computer that took it
//      (FolderLocks::seen_everywhere is false): a file nobody holds here may
//      be held on another computer (kUnknown), so it is never adopted, but
//      for one whose maker the caller knows was a process of this computer
//      that has ended (a queue claim names its maker): then no computer
//      holds it, and our flock keeps out every other process here. There
//      the home platform's own rule serves instead: the server refuses to
//      delete a file that some client holds open, and a holder keeps its swap
//      file open while it lives. A breaker's delete therefore fails while the
//      holder lives and succeeds once it is gone; for the same reason every
//      delete there happens after our own descriptor is closed.
//    - A waiter on a network share cannot see the holder's flock. There the
//      holder's mark of life tells: a thread of the holder moves the swap
//      file's modification time on about once a second while it holds the
//      file (LifeMark), and a waiter breaks only a lock whose mark has stood
//      still for the whole grace period; a slow holder is waited for.
//    - Queues (Env::OpenLocked): appending an entry, reading the top one and
//      taking it all hold flock(LOCK_EX) on the queue file itself, so an entry
//      is written whole and read whole. Beside it they hold the record lock
//      that Windows programs take on the same file (QueueLockRetry): a
//      Windows program run here locks a byte of the file, which this system
//      sees as a record lock and never as a flock. Where the folder's locks are not seen
//      everywhere, the queue layer takes the queue's swap file in the
//      temporary folder around the same steps, as the databanks do.
//      OpenLocked checks after locking that the path still names the file it
//      holds, because a taker may have put a rebuilt file in its place while
//      we waited.
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
#include <linux/magic.h>
#include <dirent.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/life_mark.h"
#include "platform/posix/file.h"
#include "platform/text.h"

namespace carob::platform::posix {

namespace {

// The name still names the file seen as `seen`.
bool StillNames(const std::string& native, const struct stat& seen) {
  struct stat now {};
  return ::lstat(native.c_str(), &now) == 0 && SameFile(now, seen);
}

// The kept lock files of this process, one a folder at most (see the head
// of this file). A kept file is held (flock) and named privately while it
// waits; a lock made from it holds it under both names until its release.
class Spares {
 public:
  static Spares& Of() {
    static Spares* spares = new Spares;  // left for the exit handler to use
    return *spares;
  }

  // The folder's kept file, taken for a lock, with its private name; an
  // invalid Fd when there is none free (or it was another process's: a
  // forked child shares its parent's descriptor, and with it the hold).
  Fd Take(const std::string& folder, std::string* name) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto slot = slots_.find(folder);
    if (slot == slots_.end() || !slot->second.fd.valid() || slot->second.owner != ::getpid()) return {};
    *name = slot->second.name;
    return std::move(slot->second.fd);
  }

  // A released lock file of `folder` that nothing was written into, still
  // named `native` and held by `fd`; `name` is its private name when it came
  // from here. Kept (true: `fd` is taken) when it came from here, or when
  // this process has released enough files there to be worth one and has
  // none; then it is linked to a private name first. The caller removes
  // `native` afterwards either way.
  bool Keep(const std::string& folder, Fd& fd, const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    Slot& slot = slots_[folder];
    if (!name.empty()) {
      if (slot.name != name || slot.fd.valid()) return false;
      slot.fd = std::move(fd);
      return true;
    }
    if (slot.fd.valid() || !slot.name.empty() || ++slot.released < kReleasesBeforeKeeping) return false;
    const std::string spare = folder + "/" + std::string(kPrefix) + std::to_string(::getpid()) +
                              "." + std::to_string(counter_++);
    const std::string proc = "/proc/self/fd/" + std::to_string(fd.get());
    if (::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, spare.c_str(), AT_SYMLINK_FOLLOW) != 0) {
      slot.released = -1000000;  // no /proc, or no links after all: not tried again
      return false;
    }
    if (!exit_handler_) exit_handler_ = std::atexit([] { Of().RemoveAll(); }) == 0;
    SweepDead(folder, spare);
    // A few folders' files at most (a test program goes through hundreds of
    // folders): past that, the others' waiting files are given up.
    auto others = [&](auto each) {
      for (auto& [other, kept] : slots_) {
        if (other != folder && kept.fd.valid()) each(kept);
      }
    };
    size_t kept_elsewhere = 0;
    others([&](Slot&) { ++kept_elsewhere; });
    if (kept_elsewhere >= kMostFolders) {
      others([](Slot& kept) {
        ::unlink(kept.name.c_str());
        kept.fd.Reset();
        kept.name.clear();
      });
    }
    slot.name = spare;
    slot.owner = ::getpid();
    slot.fd = std::move(fd);
    return true;
  }

  // A lock made from the folder's kept file went without being given back
  // (it was written into, or dropped unreleased): its private name goes.
  void Forget(const std::string& folder, const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto slot = slots_.find(folder);
    if (slot == slots_.end() || slot->second.name != name) return;
    ::unlink(name.c_str());
    slot->second.name.clear();
  }

 private:
  static constexpr std::string_view kPrefix = ".carob-spare.";
  static constexpr int kReleasesBeforeKeeping = 4;  // a one-shot command never keeps one
  static constexpr size_t kMostFolders = 4;

  struct Slot {
    Fd fd;              // held while it waits here; invalid while a lock has it
    std::string name;   // its private name, empty when there is none
    pid_t owner = 0;
    int released = 0;   // locks released in the folder before one was kept
  };

  // Removes the kept files of processes that have died: nobody holds them.
  static void SweepDead(const std::string& folder, const std::string& ours) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), &::closedir);
    if (!dir) return;
    while (dirent* e = ::readdir(dir.get())) {
      const std::string name = folder + "/" + e->d_name;
      if (!std::string_view(e->d_name).starts_with(kPrefix) || name == ours) continue;
      Fd fd(::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
      struct stat held {}, named {};
      if (fd.valid() && FlockRetry(fd.get(), LOCK_EX | LOCK_NB) == 0 && ::fstat(fd.get(), &held) == 0 &&
          ::lstat(name.c_str(), &named) == 0 && SameFile(held, named)) {
        ::unlink(name.c_str());
      }
    }
  }

  // At exit: this process's kept files go (a lock that holds one keeps it).
  void RemoveAll() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& [folder, slot] : slots_) {
      if (slot.owner == ::getpid() && slot.fd.valid()) ::unlink(slot.name.c_str());
    }
  }

  std::mutex mutex_;
  std::map<std::string, Slot> slots_;
  unsigned counter_ = 0;
  bool exit_handler_ = false;
};

class PosixLockFile : public LockFile {
 public:
  // A swap file (`marked`) carries its holder's mark of life: its
  // modification time, moved on while it is held. A lock of TryLockNative
  // (`keepable`) may leave its file to Spares at its release; `spare` is
  // the private name of a kept file it was made from.
  PosixLockFile(Fd fd, std::string native, std::string windows, bool owned = true,
                bool marked = false, bool keepable = false, std::string spare = {})
      : fd_(std::move(fd)),
        native_(std::move(native)),
        windows_(std::move(windows)),
        owned_(owned),
        close_first_(!FolderLocksOf(FolderOf(native_)).seen_everywhere),
        keepable_(keepable),
        spare_(std::move(spare)) {
    const int held = fd_.get();
    if (marked) mark_ = std::make_unique<LifeMark>([held] { (void)::futimens(held, nullptr); });
  }
  // Closing the descriptor ends the hold; a kept file's private name goes
  // with it, as the lock's own name stays.
  ~PosixLockFile() override {
    mark_.reset();
    if (fd_.valid() && !spare_.empty()) Spares::Of().Forget(FolderOf(native_), spare_);
  }

  Status Write(std::string_view bytes) override {
    written_ = true;
    int error = !fd_.valid() ? EBADF : WriteFully(fd_.get(), bytes) ? 0 : errno;
    return error == 0 ? Status::Ok() : Status::FromErrno("cannot write lock " + windows_, error);
  }

  Status Sync() override {
    int error = !fd_.valid() || !owned_ ? EBADF : SyncData(fd_.get());
    // The name once: a lock file's folder does not change under its holder.
    if (error == 0 && !name_synced_) error = SyncFolder(FolderOf(native_));
    name_synced_ = error == 0;
    return error == 0 ? Status::Ok() : Status::FromErrno("cannot sync lock " + windows_, error);
  }

  void Release() override { (void)ReleaseTelling(); }  // the caller asked nothing

  // Release() that tells whether the name was removed.
  bool ReleaseTelling() {
    mark_.reset();  // before the descriptor it touches goes
    if (!fd_.valid()) return false;
    struct stat ours {}, named {};
    // An adopted file was left by someone else: it stays where it is.
    // Remove the name only while it still names our file: a peer may have
    // broken the lock and made a new one meanwhile.
    const bool ours_named = owned_ && ::fstat(fd_.get(), &ours) == 0 &&
                            ::lstat(native_.c_str(), &named) == 0 && SameFile(ours, named);
    // A share's server refuses to delete a file that is open, ours too, and
    // for a moment while a breaker on another computer looks at it.
    if (close_first_) fd_.Reset();
    // A file kept for the next lock stays held under its private name (Keep
    // takes the descriptor); the lock's name goes all the same.
    const bool kept = keepable_ && ours_named && !written_ && fd_.valid() &&
                      Spares::Of().Keep(FolderOf(native_), fd_, spare_);
    bool removed = false;
    for (int retry = 0; ours_named && !(removed = ::unlink(native_.c_str()) == 0) &&
                        errno == EBUSY && retry < 100 && StillNames(native_, named);
         ++retry) {
      ::usleep(5000);
    }
    if (!kept && !spare_.empty()) Spares::Of().Forget(FolderOf(native_), spare_);
    fd_.Reset();
    return removed;
  }

 private:
  Fd fd_;
  std::string native_;
  std::string windows_;
  bool owned_;  // we made the file; otherwise we only hold it
  bool close_first_;  // a delete needs the file closed (a network share)
  bool keepable_;
  std::string spare_;
  bool written_ = false;
  bool name_synced_ = false;
  // Declared last: it stops before the descriptor closes.
  std::unique_ptr<LifeMark> mark_;
};

// File systems whose advisory locks stay on the computer that takes them.
bool LocksStayLocal(const struct statfs& fs) {
  switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x65735546UL:  // FUSE (a share mounted through a user-space client)
    case SMB_SUPER_MAGIC:
    case 0xFF534D42UL:  // CIFS
    case 0xFE534D42UL:  // SMB2
      return true;
    default:
      return false;
  }
}

// The same by the name of the file system's type in a mount table.
bool LocksStayLocal(std::string_view type) {
  return type.starts_with("fuse") || type == "cifs" || type == "smb3" || type == "smbfs";
}

// A mount table's field with its octal escapes ("\\040" for a space) undone.
std::string Unescaped(std::string_view field) {
  std::string out;
  for (size_t i = 0; i < field.size(); ++i) {
    const std::string_view code = field.substr(i + 1, 3);
    if (field[i] == '\\' && code.size() == 3 && code.find_first_not_of("01234567") == code.npos) {
      out += static_cast<char>((code[0] - '0') * 64 + (code[1] - '0') * 8 + (code[2] - '0'));
      i += 3;
    } else {
      out += field[i];
    }
  }
  return out;
}

// Whether a hard link can be made in `folder`: one probe file, linked once
// and removed with its link; nothing when the probe cannot be made.
std::optional<bool> LinksWork(const std::string& folder) {
  static std::atomic<unsigned> counter{0};
  const std::string probe = folder + "/.carob-link-probe." + std::to_string(::getpid()) + "." +
                            std::to_string(counter.fetch_add(1));
  const std::string linked = probe + ".2";
  Fd fd(::open(probe.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (!fd.valid()) return std::nullopt;
  fd.Reset();
  const bool linked_ok = ::link(probe.c_str(), linked.c_str()) == 0;
  ::unlink(linked.c_str());
  // A share's server may still count the probe open for a moment after our
  // close, and refuses its delete until then.
  for (int retry = 0; ::unlink(probe.c_str()) != 0 && errno == EBUSY && retry < 100; ++retry) {
    ::usleep(5000);
  }
  return linked_ok;
}

std::mutex folders_mutex;
std::map<std::string, FolderLocks> folders;

}  // namespace

FolderLocks FolderLocksOf(const std::string& folder) {
  {
    std::lock_guard<std::mutex> lock(folders_mutex);
    auto known = folders.find(folder);
    if (known != folders.end()) return known->second;
  }
  struct statfs fs {};
  if (::statfs(folder.c_str(), &fs) != 0) {
    // A share's client may fail every call for a moment, and a process whose
    // first look falls then must still know the folder for a share (or it
    // would not wait for the share to come back): the mount table tells the
    // kind by the folder's name. Not remembered.
    std::string table;
    Fd mounts(::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC));
    // (Its length reads as 0: it is read to its end.)
    if (mounts.valid() && !ReadFully(mounts.get(), table, 0, "cannot read the mount table")) table.clear();
    FolderLocks guessed;
    guessed.seen_everywhere = !LocksStayLocalByMounts(table, folder).value_or(false);
    guessed.hard_links = guessed.unnamed_files = guessed.seen_everywhere;
    return guessed;
  }
  FolderLocks found;
  found.seen_everywhere = !LocksStayLocal(fs);
  // A share's locks are made the share's way, which holds on any file
  // system: no probe there (its four calls to the server cost a one-shot
  // command a third of a write's time).
  const std::optional<bool> links =
      found.seen_everywhere ? LinksWork(folder) : std::optional<bool>(false);
  // Cannot tell (the folder is not writable, or a share's client fails for
  // a moment): the usual answer for its kind, not remembered.
  found.hard_links = links.value_or(found.seen_everywhere);
  found.unnamed_files = found.hard_links;  // tried at the first lock, then remembered
  if (!links) return found;
  std::lock_guard<std::mutex> lock(folders_mutex);
  return folders.emplace(folder, found).first->second;
}

std::optional<bool> LocksStayLocalByMounts(std::string_view mountinfo, std::string_view folder) {
  std::optional<bool> stays_local;
  size_t longest = 0;
  ForEachLine(mountinfo, [&](std::string_view line, int64_t) {
    // "<id> <parent> <dev> <root> <mount point> <options> [tags...] - <type> ..."
    std::vector<std::string_view> fields;
    for (size_t at = 0; at < line.size();) {
      size_t end = std::min(line.find(' ', at), line.size());
      if (end > at) fields.push_back(line.substr(at, end - at));
      at = end + 1;
    }
    if (fields.size() < 7) return true;
    auto dash = std::find(fields.begin() + 5, fields.end(), "-");
    if (dash == fields.end() || dash + 1 == fields.end()) return true;
    std::string point = Unescaped(fields[4]);
    if (point.size() > 1 && point.back() == '/') point.pop_back();
    const bool holds = folder == point || (folder.starts_with(point) &&
                                           (point == "/" || folder[point.size()] == '/'));
    // The longest mount point that holds the folder; of equal ones the last,
    // which was mounted over the others.
    if (holds && point.size() >= longest) {
      longest = point.size();
      stays_local = LocksStayLocal(*(dash + 1));
    }
    return true;
  });
  return stays_local;
}

namespace {

// Whether `guard` has been met for more than `seconds` (it is noted at the
// first call); a negative `seconds` forgets it.
bool GuardSeenLongerThan(const std::string& guard, double seconds) {
  static std::mutex mutex;
  static std::map<std::string, time_t> first_seen;
  std::lock_guard<std::mutex> lock(mutex);
  if (seconds < 0) {
    first_seen.erase(guard);
    return false;
  }
  const time_t now = ::time(nullptr);
  auto [at, fresh] = first_seen.emplace(guard, now);
  if (fresh || now - at->second <= seconds) return false;
  first_seen.erase(at);
  return true;
}

void ForgetUnnamedFiles(const std::string& folder) {
  std::lock_guard<std::mutex> lock(folders_mutex);
  auto known = folders.find(folder);
  if (known != folders.end()) known->second.unnamed_files = false;
}

}  // namespace

int LookNow(const std::string& native, struct stat* st) {
  *st = {};
  if (FolderLocksOf(FolderOf(native)).seen_everywhere) {
    return ::lstat(native.c_str(), st) == 0 ? 0 : errno;
  }
  // A forced look asks the server through the kept name; a name the
  // server no longer has answers ENOENT.
  struct statx x {};
  if (::statx(AT_FDCWD, native.c_str(), AT_SYMLINK_NOFOLLOW | AT_STATX_FORCE_SYNC,
              STATX_BASIC_STATS, &x) != 0) {
    return errno;
  }
  st->st_mode = x.stx_mode;
  st->st_ino = x.stx_ino;
  st->st_dev = ::makedev(x.stx_dev_major, x.stx_dev_minor);
  st->st_nlink = x.stx_nlink;
  st->st_size = static_cast<off_t>(x.stx_size);
  st->st_mtim = {x.stx_mtime.tv_sec, x.stx_mtime.tv_nsec};
  st->st_ctim = {x.stx_ctime.tv_sec, x.stx_ctime.tv_nsec};
  st->st_atim = {x.stx_atime.tv_sec, x.stx_atime.tv_nsec};
  return 0;
}

int LookForLock(const std::string& native, mode_t* mode) {
  mode_t kind = 0;
  if (!mode) mode = &kind;
  *mode = 0;
  const std::string folder = FolderOf(native);
  if (FolderLocksOf(folder).seen_everywhere) {
    struct stat st {};
    if (::lstat(native.c_str(), &st) != 0) return errno;
    *mode = st.st_mode;
    return 0;
  }
  std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(folder.c_str()), &::closedir);
  if (!dir) return errno;
  const std::string name = NameOf(native);
  int found = ENOENT;
  for (;;) {
    errno = 0;
    const dirent* e = ::readdir(dir.get());
    if (!e) {
      if (errno != 0) return errno;
      break;
    }
    if (!EqualsNoCase(e->d_name, name)) continue;
    found = 0;
    // A kind the listing does not give is taken for a file: waited for,
    // never made over.
    *mode = e->d_type == DT_DIR ? S_IFDIR : e->d_type == DT_LNK ? S_IFLNK : S_IFREG;
    if (name == e->d_name) break;  // the spelling asked for tells best
  }
  return found;
}

int FlockRetry(int fd, int op) {
  return RetryOnEintr([&] { return ::flock(fd, op); });
}

int QueueLockRetry(int fd) {
  if (FlockRetry(fd, LOCK_EX) != 0) return errno;
  const int mode = ::fcntl(fd, F_GETFL);
  if (mode < 0) return errno;
  struct flock range {};
  range.l_type = (mode & O_ACCMODE) == O_RDONLY ? F_RDLCK : F_WRLCK;
  range.l_whence = SEEK_SET;
  range.l_start = static_cast<off_t>(kQueueLockByte);
  range.l_len = 1;
  if (RetryOnEintr([&] { return ::fcntl(fd, F_OFD_SETLKW, &range); }) == 0) return 0;
  // No record locks here (some network shares): the flock alone, as before.
  return errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL ? 0 : errno;
}

int ReleaseTelling(LockFile& lock) {
  if (auto* ours = dynamic_cast<PosixLockFile*>(&lock)) return ours->ReleaseTelling() ? 1 : 0;
  lock.Release();
  return -1;
}

std::unique_ptr<LockFile> HeldFile(int fd, std::string native, std::string windows) {
  return std::make_unique<PosixLockFile>(Fd(fd), std::move(native), std::move(windows));
}

Status TryLockNative(const std::string& native, const std::string& windows,
                     std::unique_ptr<LockFile>* lock) {
  lock->reset();
  auto failed = [&](int error) { return Status::FromErrno("cannot create lock " + windows, error); };
  const std::string folder = FolderOf(native);
  const FolderLocks offers = FolderLocksOf(folder);
  if (!offers.hard_links) {
    // A share's client may pass an exclusive create on as a plain one (two
    // computers then both "create" the file), but making a folder is
    // exclusive on the server: the guard folder "<name>.guard" lets one
    // writer at a time look for the file and create it. A guard left by a
    // writer that died in these few steps is removed after 5 seconds.
    const std::string guard = native + ".guard";
    const bool guarded = !offers.seen_everywhere;
    if (guarded && ::mkdir(guard.c_str(), 0777) != 0) {
      const int error = errno;
      // The share reports no usable time for folders: the guard's age is
      // counted from the moment this process first met it.
      if (error == EEXIST && GuardSeenLongerThan(guard, 5)) ::rmdir(guard.c_str());
      return failed(error);
    }
    if (guarded) GuardSeenLongerThan(guard, -1);  // ours now: forget any earlier sighting
    const int looked = guarded ? LookForLock(native) : ENOENT;
    // O_EXCL never follows a symbolic link and never opens what exists.
    Fd fd(looked != ENOENT ? -1
                           : ::open(native.c_str(), O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0666));
    const int error = looked == 0 ? EEXIST : looked != ENOENT ? looked : errno;
    if (guarded) ::rmdir(guard.c_str());
    if (!fd.valid()) return failed(error);
    // Only a process that adopts a file it has just seen unheld could beat
    // us to it; AdoptLockNative leaves files this young alone.
    if (FlockRetry(fd.get(), LOCK_EX | LOCK_NB) != 0) return failed(EEXIST);
    *lock = std::make_unique<PosixLockFile>(std::move(fd), native, windows, /*owned=*/true, /*marked=*/true);
    return Status::Ok();
  }
  // The lock file is made without a name (or under a private one), locked,
  // and only then linked to its real name: link() never replaces an
  // existing file, and whoever sees the name sees a file already held.
  // A kept file is held already.
  std::string spare;
  if (Fd kept = Spares::Of().Take(folder, &spare); kept.valid()) {
    if (::link(spare.c_str(), native.c_str()) == 0) {
      *lock = std::make_unique<PosixLockFile>(std::move(kept), native, windows, /*owned=*/true,
                                              /*marked=*/true, /*keepable=*/true, spare);
      return Status::Ok();
    }
    const int error = errno;
    // Given back unless its private name is gone (then a new one is made).
    if (error == ENOENT || !Spares::Of().Keep(folder, kept, spare)) Spares::Of().Forget(folder, spare);
    if (error != ENOENT) return failed(error);
  }
  if (offers.unnamed_files) {
    Fd unnamed(::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0666));
    if (unnamed.valid()) {
      if (FlockRetry(unnamed.get(), LOCK_EX | LOCK_NB) != 0) return failed(errno);
      // Some file systems create unnamed files but cannot link them.
      std::string proc = "/proc/self/fd/" + std::to_string(unnamed.get());
      if (::linkat(AT_FDCWD, proc.c_str(), AT_FDCWD, native.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        *lock = std::make_unique<PosixLockFile>(std::move(unnamed), native, windows, /*owned=*/true,
                                                /*marked=*/true, /*keepable=*/true);
        return Status::Ok();
      }
      if (errno == EEXIST) return failed(EEXIST);
      if (errno != ENOENT) ForgetUnnamedFiles(folder);
    } else if (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL) {
      ForgetUnnamedFiles(folder);
    } else {
      return failed(errno);  // read-only, no space, no permission: no try below fares better
    }
  }
  std::string tmpl = folder + "/." + NameOf(native) + ".lock-XXXXXX";
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
  *lock = std::make_unique<PosixLockFile>(std::move(fd), native, windows, /*owned=*/true,
                                          /*marked=*/true, /*keepable=*/true);
  return Status::Ok();
}

LockState ProbeLockNative(const std::string& native) {
  if (!FolderLocksOf(FolderOf(native)).seen_everywhere) {
    // On a share only the server can tell, and every look that opens the
    // file would make the holder's own delete fail for that moment.
    return LookForLock(native) == ENOENT ? LockState::kAbsent : LockState::kUnknown;
  }
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
  if (!FolderLocksOf(FolderOf(native)).seen_everywhere) {
    // On a share the server decides: it refuses the delete (EBUSY) while a
    // holder on any computer has the file open, our own look included.
    fd.Reset();
    struct stat again {};
    if (::lstat(native.c_str(), &again) != 0) return errno;
    if (!SameFile(named, again)) return ESTALE;
  }
  return ::unlink(native.c_str()) == 0 ? 0 : errno;
}

Status AdoptLockNative(const std::string& native, const std::string& windows,
                       std::unique_ptr<LockFile>* hold, bool maker_ended_here) {
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
  const FolderLocks offers = FolderLocksOf(FolderOf(native));
  // Unheld on a share says nothing of the other computers, unless the maker
  // was of this one and has ended: then our flock, seen by every process
  // here, keeps this computer's others out, and no one elsewhere held it.
  if (!offers.seen_everywhere && !maker_ended_here) return failed(EWOULDBLOCK);
  // Without hard links a lock file is locked only just after it is made: a
  // file made within the last second or two may be one whose maker has yet
  // to lock it (an ended maker locked it before it named itself in it).
  timespec now {};
  ::clock_gettime(CLOCK_REALTIME, &now);
  if (!offers.hard_links && !maker_ended_here && now.tv_sec - ours.st_ctim.tv_sec < 2) {
    return failed(EWOULDBLOCK);
  }
  *hold = std::make_unique<PosixLockFile>(std::move(fd), native, windows, /*owned=*/false,
                                          /*marked=*/true);
  return Status::Ok();
}

}  // namespace carob::platform::posix
