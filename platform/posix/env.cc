// The POSIX implementation of Env.
//
// Where things are (the portable layer at the root of platform/, this
// system's primitives in platform/posix/):
//   env.h               the Env interface, File, LockFile, EnvWrapper, clocks
//   status.h/.cc        Status, the one shape of a checked result
//   buffered_file.h/.cc the read-ahead behind ReadLine, shared with Windows
//   signals.h           signal handling, waits a stop cuts short, terminal check
//   clock.cc            the manual clock and the random generator
//   clockstamp.h/.cc    the date and time stamps written into files
//   text.h/.cc          path joining, line splitting and other text rules
//   windows_path.h/.cc  the text rules of Windows-style paths (drive, colon,
//                       folder part, last component), for both systems
//   env_base.h/.cc      what both systems' Envs do alike: the program's
//                       folder and name, the replace skeleton and the sweep
//                       of leftovers, the modification-time steps
//   system_file.h/.cc   the open file of both systems over their primitives
//   posix/env.cc        this file: PosixEnv, the Env calls over native paths,
//                       ReplaceContents' steps (build beside, rename into place)
//   posix/paths.h/.cc   Windows-style paths onto the native tree, case-blind
//                       lookup, ORB_ROOT
//   posix/file.h/.cc    descriptors, open files, file serials, whole reads and
//                       writes (the header also declares the native lock and
//                       process calls)
//   posix/lock.cc       swap-file locks and flock liveness (its opening
//                       comment explains every lock and why)
//   posix/process.cc    starting programs detached
//   posix/signals.cc    the signal handlers and waits
//   posix/clock.cc      the system clock
// The window toolkit is a library of its own, in ui/.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <set>
#include <vector>

#include "platform/env.h"
#include "platform/env_base.h"
#include "platform/posix/file.h"
#include "platform/posix/paths.h"
#include "platform/sync_points.h"
#include "platform/text.h"

namespace carob::platform {

namespace {

using posix::Fd;
using posix::FolderOf;
using posix::NameOf;
using posix::PathMap;

int64_t Ns(const timespec& ts) {
  return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

// A time after 1970 in nanoseconds as a timespec.
timespec FromNs(int64_t ns) {
  return {static_cast<time_t>(ns / 1000000000LL), static_cast<long>(ns % 1000000000LL)};
}

std::string SelfExecutable() {
  std::error_code ec;
  return std::filesystem::read_symlink("/proc/self/exe", ec).string();
}

// The steps of a replacement on POSIX (see ReplaceThrough): the new file is
// made exclusively, takes the old one's permissions and a later time, and
// is renamed over it in one step.
class PosixReplacement : public Replacement {
 public:
  // `held`: the new file is locked before it gets the name and its
  // descriptor (in append mode) is handed back there.
  PosixReplacement(const std::string& target, Fd* held, SyncPoints& syncs)
      : Replacement(target, FolderOf(target), syncs), held_(held) {}

  int CheckTarget() override {
    // A symbolic link at the name is refused like any write through one
    // (the rewrite would copy the linked file's contents beside it).
    existed_ = ::lstat(target().c_str(), &old_) == 0;
    if (existed_ && S_ISLNK(old_.st_mode)) return ELOOP;
    if (existed_ && !S_ISREG(old_.st_mode)) return NotAFile(posix::KindOf(old_.st_mode));
    return 0;
  }

  int Create(const std::string& temp) override {
    const int flags = O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | (held_ ? O_APPEND : 0);
    fd_ = Fd(::open(temp.c_str(), flags, 0666));
    if (!fd_.valid() && errno == EEXIST) {
      // No thread of ours uses this name (the counter is ours alone): it is
      // the leftover of an earlier process that had our process id.
      ::unlink(temp.c_str());
      fd_ = Fd(::open(temp.c_str(), flags, 0666));
    }
    return fd_.valid() ? 0 : errno;
  }

  int Fill(std::string_view bytes) override {
    if (!posix::WriteFully(fd_.get(), bytes)) return errno;
    if (existed_ && ::fchmod(fd_.get(), old_.st_mode & 07777) != 0) return errno;
    if (existed_) MoveTimePast();
    if (held_) return posix::QueueLockRetry(fd_.get());
    return 0;
  }

  int Sync() override { return posix::SyncData(fd_.get()); }
  int Close() override { return posix::CloseChecked(fd_); }

  int MoveIntoPlace(const std::string& temp) override {
    int error = ::rename(temp.c_str(), target().c_str()) == 0 ? 0 : errno;
    // A share's server refuses to replace a file that a reader on some
    // computer has open this moment (EEXIST or EBUSY, never seen on a local
    // disk): such a reader is done within moments.
    for (int retry = 0; (error == EEXIST || error == EBUSY) && retry < 400; ++retry) {
      ::usleep(5000);
      error = ::rename(temp.c_str(), target().c_str()) == 0 ? 0 : errno;
    }
    return error;
  }

  void Discard(const std::string& temp) override { ::unlink(temp.c_str()); }

  void Settle() override {
    if (held_) *held_ = std::move(fd_);
    if (!syncs().DeferFolder(folder())) (void)posix::SyncFolder(folder());  // the file stands: done
  }

  std::vector<std::string> ListFolder() override {
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder().c_str());
    if (!dir) return names;
    while (dirent* e = ::readdir(dir)) names.emplace_back(e->d_name);
    ::closedir(dir);
    return names;
  }

  std::optional<int64_t> MarkTime(const std::string& native) override {
    struct stat st {};
    if (::stat(native.c_str(), &st) != 0) return std::nullopt;
    return Ns(st.st_mtim);
  }

  void Mark(const std::string& native) override {
    Fd fd(::open(native.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK, 0666));
    // A mark not made only brings the next sweep sooner.
    if (fd.valid()) (void)::futimens(fd.get(), nullptr);
  }

  bool ProcessLives(long pid) override {
    return !(::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH);
  }

  void Remove(const std::string& native) override { ::unlink(native.c_str()); }

 private:
  // Gives the new file a modification time later than the old one's when
  // the clock has not moved on since (file systems keep times at a coarse
  // step): a file put in another's place always has another stamp, even
  // should it get the same length and a reused inode. Best effort.
  void MoveTimePast() {
    const int fd = fd_.get();
    auto stored = [fd](int64_t& ns) {
      struct stat now {};
      if (::fstat(fd, &now) != 0) return errno;
      ns = Ns(now.st_mtim);
      return 0;
    };
    int64_t now = 0;
    const int64_t previous = Ns(old_.st_mtim);
    if (stored(now) != 0 || now > previous) return;
    // A time not moved is still a write.
    (void)StepTimePast(previous, previous, 1, 1000, [fd](int64_t ns) {
      timespec times[2] = {{0, UTIME_OMIT}, FromNs(ns)};
      return ::futimens(fd, times) == 0 ? 0 : errno;
    }, stored);
  }

  Fd* held_;
  Fd fd_;
  struct stat old_ {};
  bool existed_ = false;
};

// Renames a file but never onto another: 0, or the errno.
int RenameNoReplace(const std::string& from, const std::string& to) {
  // A name differing only in letter case from the source is the source.
  if (from == to) return 0;
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return errno;
  // A file system without the no-replace flag: link() refuses an existing
  // target just as well.
  if (::link(from.c_str(), to.c_str()) != 0) return errno;
  return ::unlink(from.c_str()) == 0 ? 0 : errno;
}

// The stamp of what fstat or stat said.
void StampFrom(const struct stat& st, FileInfo& info) {
  info.size = static_cast<int64_t>(st.st_size);
  info.mtime_ns = Ns(st.st_mtim);
  info.device = static_cast<uint64_t>(st.st_dev);
  info.inode = static_cast<uint64_t>(st.st_ino);
}

// A log file held open between lines (see Appender). Before each line one
// stat of the path tells whether the file held is still the one named.
class PosixAppender : public Appender {
 public:
  PosixAppender(const PathMap& paths, std::string path) : paths_(paths), path_(std::move(path)) {}

  Status Append(std::string_view bytes) override {
    struct stat named {};
    if (fd_.valid() && (::stat(native_.c_str(), &named) != 0 || !posix::SameFile(named, held_))) {
      fd_.Reset();
    }
    int error = 0;
    if (!fd_.valid()) error = Reopen();
    if (error == 0 && !posix::WriteFully(fd_.get(), bytes)) error = errno;
    if (error != 0) {
      fd_.Reset();
      return Status::FromErrno("cannot append to " + path_, error);
    }
    return Status::Ok();
  }

 private:
  int Reopen() {
    auto place = paths_.PlaceForCreate(path_);
    if (!place) return ENOENT;
    native_ = place->native;
    fd_ = posix::OpenNative(native_, OpenMode::kAppend, &held_);
    return fd_.valid() ? 0 : errno;
  }

  const PathMap& paths_;
  const std::string path_;
  std::string native_;
  posix::Fd fd_;
  struct stat held_ {};
};

// A swap lock of ours: its release is our own change of the folder's
// listing, which the remembered listing takes in instead of reading the
// folder again.
class NotedLock : public LockFile {
 public:
  NotedLock(std::unique_ptr<LockFile> lock, const PathMap& paths, std::string native)
      : lock_(std::move(lock)), paths_(paths), native_(std::move(native)) {}
  ~NotedLock() override = default;
  Status Write(std::string_view bytes) override { return lock_->Write(bytes); }
  Status Sync() override { return lock_->Sync(); }
  void Release() override {
    struct stat before {}, after {};
    const std::string folder = FolderOf(native_);
    const bool looked = ::stat(folder.c_str(), &before) == 0;
    const int removed = posix::ReleaseTelling(*lock_);
    // The name is gone only when the file was ours to remove.
    if (looked && (removed == 1 || (removed < 0 && ::lstat(native_.c_str(), &after) != 0))) {
      paths_.NoteChange(folder, NameOf(native_), /*made=*/false, before);
    }
  }

 private:
  std::unique_ptr<LockFile> lock_;
  const PathMap& paths_;
  const std::string native_;
};

// Lock names whose last try met a file there.
class ContendedNames {
 public:
  bool Has(const std::string& native) {
    std::lock_guard<std::mutex> lock(mutex_);
    return names_.count(native) > 0;
  }
  void Note(const std::string& native, bool contended) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (contended) {
      if (names_.size() < 1000) names_.insert(native);
    } else {
      names_.erase(native);
    }
  }

 private:
  std::mutex mutex_;
  std::set<std::string> names_;
};

class PosixEnv : public EnvBase {
 public:
  explicit PosixEnv(const EnvOptions& options)
      : EnvBase(options, options.program_path.empty() ? SelfExecutable() : options.program_path),
        paths_(posix::DefaultOrbRoot(options.orb_root)) {
    set_assigned_folder(AssignedFolder(program_path(), [this](const std::string& folder) {
      std::error_code ignored;
      std::filesystem::create_directories(paths_.ToNative(folder), ignored);
      return paths_.ToWindows(paths_.ToNative(folder));
    }));
  }

  std::string ToNative(std::string_view windows_path) const override {
    return paths_.ToNative(windows_path);
  }
  std::string ToWindows(std::string_view native_path) const override {
    return paths_.ToWindows(native_path);
  }

  std::string GetPathVariable(const std::string& name) const override {
    std::string value = GetVariable(name);
    return !value.empty() && value[0] == '/' ? paths_.ToWindows(value) : value;
  }

  std::string HostName() const override {
    char buf[HOST_NAME_MAX + 1] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0) return "";
    return buf;
  }

  std::optional<FileInfo> FindFile(const std::string& path) override {
    auto hit = paths_.FindExisting(path);
    if (!hit) return std::nullopt;
    const struct stat& st = hit->st;
    if (!S_ISREG(st.st_mode)) return std::nullopt;
    FileInfo info;
    info.path = hit->windows;
    info.stored_name = hit->stored_name;
    StampFrom(st, info);
    return info;
  }

  Status LookUp(const std::string& path, std::optional<FileInfo>& info) override {
    info = FindFile(path);
    if (info && !posix::FolderLocksOf(FolderOf(paths_.ToNative(info->path))).seen_everywhere) {
      // A share's client answers from what it kept of the file for up to a
      // second: another computer's append would go unseen meanwhile. The
      // server tells.
      struct stat now {};
      const int looked = posix::LookNow(paths_.ToNative(info->path), &now);
      if (looked == 0 && S_ISREG(now.st_mode)) {
        StampFrom(now, *info);
      } else if (looked == ENOENT) {
        info.reset();
      } else {
        return Status::FromErrno("cannot look up " + path, looked == 0 ? EISDIR : looked);
      }
    }
    if (info) return Status::Ok();
    // Not found: certain only when the name as spelt, and the folder that
    // would hold it, say so themselves (or something else stands there).
    const std::string native = paths_.ToNative(path);
    struct stat st {};
    for (const std::string& look : {native, FolderOf(native)}) {
      if (::stat(look.c_str(), &st) != 0 && errno != ENOENT && errno != ENOTDIR) {
        return Status::FromErrno("cannot look up " + path, errno);
      }
    }
    return Status::Ok();
  }

  bool FileStamp(const std::string& path, FileInfo* stamp) override {
    struct stat st {};
    if (paths_.StatPlain(path, &st) == 1) {
      if (!S_ISREG(st.st_mode)) return false;
      StampFrom(st, *stamp);
      return true;
    }
    // Not spelt as stored, or not a plain path: the full look-up.
    std::optional<FileInfo> info = FindFile(path);
    if (!info) return false;
    stamp->size = info->size;
    stamp->mtime_ns = info->mtime_ns;
    stamp->inode = info->inode;
    stamp->device = info->device;
    return true;
  }

  bool FolderExists(const std::string& path) override {
    if (PathMap::IsDriveRoot(path)) return true;  // a drive root always exists
    auto hit = paths_.FindExisting(path);
    return hit && S_ISDIR(hit->st.st_mode);
  }

  Status Open(const std::string& path, OpenMode mode, std::unique_ptr<File>* file) override {
    file->reset();
    Fd fd;
    Opened opened;
    int error = OpenFd(path, mode, fd, &opened);
    if (error == 0) *file = posix::NewFile(std::move(fd), std::move(opened));
    if (error == ELOOP && mode != OpenMode::kRead) return LinkRefused(OpenWhat(path, mode));
    return Checked(OpenWhat(path, mode), error);
  }

  Status OpenLocked(const std::string& path, OpenMode mode, std::unique_ptr<File>* file) override {
    file->reset();
    // A file replaced or renamed while we waited is not the one the path
    // names any more; go round again for the new one. The bound only stops
    // a pathological livelock.
    for (int attempt = 0; attempt < 10000; ++attempt) {
      Fd fd;
      Opened opened;
      if (int error = OpenFd(path, mode, fd, &opened)) {
        return Status::FromErrno(OpenWhat(path, mode), error);
      }
      if (int error = posix::QueueLockRetry(fd.get())) {
        return Status::FromErrno("cannot lock " + path, error);
      }
      struct stat held {}, named {};
      if (::fstat(fd.get(), &held) == 0 && ::stat(opened.native.c_str(), &named) == 0 &&
          posix::SameFile(held, named)) {
        // Its length is the one it has now that nobody else writes it.
        opened.length = static_cast<int64_t>(held.st_size);
        *file = posix::NewFile(std::move(fd), std::move(opened));
        return Status::Ok();
      }
    }
    return Status::Failure("cannot lock " + path, "the file keeps being replaced");
  }

  Status ReadAll(const std::string& path, std::string& bytes) override {
    bytes.clear();
    Fd fd;
    Opened opened;
    int error = OpenFd(path, OpenMode::kRead, fd, &opened);
    if (error != 0) return Status::FromErrno("cannot read " + path, error);
    return posix::ReadFully(fd.get(), bytes, opened.length, "cannot read " + path);
  }

  Status ReadAllStamped(const std::string& path, std::string& bytes, FileInfo* stamp) override {
    bytes.clear();
    *stamp = FileInfo{};
    stamp->path = path;
    stamp->size = -1;
    struct stat before {}, after {};
    Fd fd;
    Opened opened;
    int error = OpenFd(path, OpenMode::kRead, fd, &opened, &before);
    if (error != 0) return Status::FromErrno("cannot read " + path, error);
    Status read = posix::ReadFully(fd.get(), bytes, opened.length, "cannot read " + path);
    // What was read is described by the stamp only when the file stood
    // still meanwhile: same time, same length, and all of it read.
    if (read && ::fstat(fd.get(), &after) == 0 && Ns(after.st_mtim) == Ns(before.st_mtim) &&
        after.st_size == before.st_size &&
        static_cast<int64_t>(bytes.size()) == static_cast<int64_t>(before.st_size)) {
      StampFrom(before, *stamp);
    }
    return read;
  }

  std::unique_ptr<Appender> NewAppender(const std::string& path) override {
    return std::make_unique<PosixAppender>(paths_, path);
  }

  Status AppendBytes(const std::string& path, std::string_view bytes) override {
    Fd fd;
    int error = OpenFd(path, OpenMode::kAppend, fd);
    if (error == 0) error = posix::AppendWhole(fd.get(), bytes);
    if (const int closed = posix::CloseChecked(fd); error == 0) error = closed;
    if (error == ELOOP) return LinkRefused("cannot append to " + path);
    return Checked("cannot append to " + path, error);
  }

  Status Rename(const std::string& from, const std::string& to) override {
    auto source = paths_.FindExisting(from);
    auto target = source ? paths_.PlaceForCreate(to) : std::nullopt;
    int error = target ? RenameNoReplace(source->native, target->native) : ENOENT;
    // Moved: the folders that lost and gained the name are made to keep it.
    // A sync that fails is not reported: the file has moved all the same,
    // and a failed rename means nothing moved.
    if (error == 0) {
      (void)SyncFolderOf(target->native);
      if (FolderOf(source->native) != FolderOf(target->native)) (void)SyncFolderOf(source->native);
    }
    return Checked("cannot rename " + from + " to " + to, error);
  }

  Status Delete(const std::string& path) override {
    auto hit = paths_.FindExisting(path);
    // unlink() refuses a folder with EISDIR here.
    int error = !hit ? ENOENT : ::unlink(hit->native.c_str()) == 0 ? 0 : errno;
    return Checked("cannot delete " + path, error);
  }

  Status ReplaceContents(const std::string& path, std::string_view bytes) override {
    auto target = paths_.PlaceForCreate(path);
    int error = target ? Replace(target->native, bytes, nullptr) : ENOENT;
    if (error == ELOOP) return LinkRefused("cannot replace " + path);
    return Checked("cannot replace " + path, error);
  }

  Status ReplaceContentsHeld(const std::string& path, std::string_view bytes,
                             std::unique_ptr<LockFile>* held) override {
    held->reset();
    auto target = paths_.PlaceForCreate(path);
    Fd fd;
    int error = target ? Replace(target->native, bytes, &fd) : ENOENT;
    if (error == 0) *held = posix::HeldFile(fd.Release(), target->native, path);
    if (error == ELOOP) return LinkRefused("cannot replace " + path);
    return Checked("cannot replace " + path, error);
  }

  // Builds the new file beside the old one (at native path `target`) and
  // renames it into place (see ReplaceThrough). With `held`, the new file is
  // locked before it gets the name and its descriptor (in append mode) is
  // handed back there. 0, or the errno of the step that failed.
  //
  // A share's client fails every call for a moment now and then (an I/O
  // error): there a replacement that met one is made again, for up to 15
  // seconds, as a lock there is (a failed replacement leaves the old file
  // whole and no new one).
  int Replace(const std::string& target, std::string_view bytes, Fd* held) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    for (;;) {
      PosixReplacement steps(target, held, *syncs());
      const int error = ReplaceThrough(steps, '/', NameOf(target), ::getpid(), held != nullptr, bytes);
      if (error != EIO || std::chrono::steady_clock::now() > until ||
          posix::FolderLocksOf(FolderOf(target)).seen_everywhere) {
        return error;
      }
      ::usleep(50000);
    }
  }

  // Syncs the folder that holds a native path now, or notes it for the next
  // sync point when syncs are grouped: 0, or the errno.
  int SyncFolderOf(const std::string& native) {
    const std::string folder = FolderOf(native);
    return syncs()->DeferFolder(folder) ? 0 : posix::SyncFolder(folder);
  }

  Status MarkModified(const std::string& path) override {
    auto hit = paths_.FindExisting(path);
    if (!hit) return MarkedModified(path, ENOENT);
    struct stat st {};
    if (::stat(hit->native.c_str(), &st) != 0) return MarkedModified(path, errno);
    if (!S_ISREG(st.st_mode)) return MarkedModified(path, NotAFile(posix::KindOf(st.st_mode)));
    const char* native = hit->native.c_str();
    // A share's client answers a look from attributes it keeps for about a
    // second, so no read-back tells whether a time set there was stored
    // (smbnetfs ignores it), and each try costs two calls to the server;
    // the server itself stamps every write with its clock. One set there.
    if (!posix::FolderLocksOf(FolderOf(hit->native)).seen_everywhere) {
      return MarkedModified(path, ::utimensat(AT_FDCWD, native, nullptr, 0) == 0 ? 0 : errno);
    }
    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    auto set = [native](int64_t ns) {
      timespec times[2] = {{0, UTIME_OMIT}, FromNs(ns)};
      return ::utimensat(AT_FDCWD, native, times, 0) == 0 ? 0 : errno;
    };
    auto stored = [native](int64_t& ns) {
      struct stat after {};
      if (::stat(native, &after) != 0) return errno;
      ns = Ns(after.st_mtim);
      return 0;
    };
    return MarkedModified(path, StepTimePast(Ns(st.st_mtim), Ns(now), 1, 10, set, stored));
  }

  Status SyncGrouped() override {
    // Any descriptor of a file syncs its data.
    auto sync_file = [](const std::string& native) {
      Fd fd(posix::RetryOnEintr([&] {
        return ::open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
      }));
      return fd.valid() ? posix::SyncData(fd.get()) : errno;
    };
    return syncs()->SyncPending(sync_file, posix::SyncFolder,
                               [this](const std::string& native) { return paths_.ToWindows(native); });
  }

  Status TryLock(const std::string& path, std::unique_ptr<LockFile>* lock) override {
    lock->reset();
    const std::string what = "cannot create lock " + path;
    // The folder is looked up case-blind, the lock's own name taken as
    // spelt. On a local disk the family's writers spell a lock from the
    // stored names of what it guards, so one lock has one spelling, and
    // looking for other spellings would read the whole temporary folder at
    // the first lock of every process (a one-shot command paid for every
    // file there). On a network share TryLockNative matches the name
    // letter case aside in the folder's listing, which the server answers
    // afresh, inside its guard.
    // Whatever stands at the name refuses the lock; it is looked at first
    // only while the last try of this name met something there (a wait then
    // makes no lock file at every look), and otherwise only when the making
    // fails.
    auto place = paths_.PlaceAsSpelt(path);
    if (!place) return Status::FromErrno(what, ENOENT);
    auto refused = [&]() -> std::optional<Status> {
      mode_t there = 0;
      if (posix::LookForLock(place->native, &there) != 0) return std::nullopt;
      if (S_ISREG(there)) return Status::FromErrno(what, EEXIST);
      // Nothing of ours: never waited for, broken or followed.
      return Status::Failure(what, StandsAtItsName(posix::KindOf(there)));
    };
    if (contended_.Has(place->native)) {
      if (auto no = refused()) return *no;
    }
    const std::string folder = FolderOf(place->native);
    // On a network share each look at the folder after our change asks the
    // server (twice a lock): a remembered listing there is read again
    // instead of being brought up to date.
    struct stat before {};
    const bool looked = posix::FolderLocksOf(folder).seen_everywhere &&
                        ::stat(folder.c_str(), &before) == 0;
    Status made = posix::TryLockNative(place->native, path, lock);
    contended_.Note(place->native, !made && made.error() == EEXIST);
    if (!made && made.error() == EEXIST) {
      if (auto no = refused()) return *no;
    }
    if (made && looked) {
      paths_.NoteChange(folder, NameOf(place->native), /*made=*/true, before);
      *lock = std::make_unique<NotedLock>(std::move(*lock), paths_, place->native);
    }
    return made;
  }

  Status MakeFolder(const std::string& path) override {
    if (FolderExists(path)) return Status::Ok();
    std::error_code made;
    std::filesystem::create_directories(paths_.ToNative(path), made);
    return Checked("cannot make folder " + path, made.value());
  }

  bool LocksSeenEverywhere(const std::string& folder) override {
    auto hit = paths_.FindExisting(folder);
    // A share's client may not see the folder for a moment: what was found
    // for it before still holds.
    return posix::FolderLocksOf(hit ? hit->native : paths_.ToNative(folder)).seen_everywhere;
  }

  LockState ProbeLock(const std::string& path) override {
    // On a network share the lock's own name is not looked at (a look there
    // opens the file on the server; see posix::LookForLock): only its folder.
    auto place = paths_.PlaceAsSpelt(path);
    if (place && !posix::FolderLocksOf(FolderOf(place->native)).seen_everywhere) {
      return posix::ProbeLockNative(place->native);
    }
    auto hit = paths_.FindExisting(path);
    return hit ? posix::ProbeLockNative(hit->native) : LockState::kAbsent;
  }

  Status BreakLock(const std::string& path) override {
    auto hit = paths_.FindExisting(path);
    return Checked("cannot break lock " + path, hit ? posix::BreakLockNative(hit->native) : ENOENT);
  }

  Status AdoptLock(const std::string& path, std::unique_ptr<LockFile>* hold) override {
    hold->reset();
    auto hit = paths_.FindExisting(path);
    if (!hit) return Status::FromErrno("cannot hold lock " + path, ENOENT);
    return posix::AdoptLockNative(hit->native, path, hold);
  }

  Status AdoptEndedMakersLock(const std::string& path, std::unique_ptr<LockFile>* hold) override {
    hold->reset();
    auto hit = paths_.FindExisting(path);
    if (!hit) return Status::FromErrno("cannot hold lock " + path, ENOENT);
    return posix::AdoptLockNative(hit->native, path, hold, /*maker_ended_here=*/true);
  }

  Status StartProgram(const std::string& path, int /*window_style*/) override {
    auto hit = paths_.FindExisting(path);
    if (!hit && EndsWithNoCase(path, ".EXE")) {
      // Programs are recorded as "X.EXE"; here an executable has no extension.
      hit = paths_.FindExisting(path.substr(0, path.size() - 4));
    }
    return Checked("cannot start " + path, hit ? posix::StartDetached(hit->native) : ENOENT);
  }

  int ProcessId() const override { return static_cast<int>(::getpid()); }
  bool ProcessAlive(int pid) override { return posix::ProcessAliveNative(pid); }
  std::string CommandLine() const override { return posix::CommandLineOfSelf(); }
  std::string StartedHow() const override { return posix::StartedHowSelf(); }
  Status StopProcess(int pid) override {
    return Checked("cannot stop process " + std::to_string(pid), posix::StopProcessNative(pid));
  }

 private:
  // The file an Open in `mode` works on: an existing file found case-blind,
  // or (append) where a new one is made.
  std::optional<PathMap::Hit> Locate(const std::string& path, OpenMode mode) const {
    return mode == OpenMode::kAppend ? paths_.PlaceForCreate(path) : paths_.FindExisting(path);
  }

  // Opens that file (see posix::OpenNative) and tells how it was opened in
  // `opened`: 0, or the errno of the failure.
  int OpenFd(const std::string& path, OpenMode mode, Fd& fd, Opened* opened = nullptr,
             struct stat* info = nullptr) const {
    auto hit = Locate(path, mode);
    if (!hit) return ENOENT;
    if (!posix::FolderLocksOf(FolderOf(hit->native)).seen_everywhere) {
      // A share's client keeps a file's length for a moment; another
      // computer may have changed it since, and a read would stop short, an
      // append land at the old end. Touching the access time fetches the
      // file's attributes afresh (its modification time stays).
      const timespec times[2] = {{0, UTIME_NOW}, {0, UTIME_OMIT}};
      (void)::utimensat(AT_FDCWD, hit->native.c_str(), times, AT_SYMLINK_NOFOLLOW);  // a hint only
    }
    struct stat st {};
    bool created = false;
    fd = posix::OpenNative(hit->native, mode, &st, &created);
    if (!fd.valid()) return errno;
    if (info) *info = st;
    if (opened) {
      *opened = Opened{mode, path, std::move(hit->native), static_cast<int64_t>(st.st_size),
                              syncs(), created};
    }
    return 0;
  }

  // A write refused because a symbolic link stands at the file's name.
  static Status LinkRefused(std::string what) {
    return Status::Failure(std::move(what), "a symbolic link stands there");
  }

  std::string ExecutableFolder() const override { return paths_.ToWindows(FolderOf(program_path())); }
  std::string ExecutableName() const override { return NameOf(program_path()); }

  PathMap paths_;
  ContendedNames contended_;
};

}  // namespace

std::unique_ptr<Env> NewPosixEnv(EnvOptions options) {
  return std::make_unique<PosixEnv>(std::move(options));
}

std::unique_ptr<Env> NewSystemEnv(EnvOptions options) { return NewPosixEnv(std::move(options)); }

}  // namespace carob::platform
