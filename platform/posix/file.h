// Internal to the POSIX platform: open files, file descriptors and the
// process-wide table of file serials; lock files and process start over
// native paths (Env resolves the Windows-style names before calling these).
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/env.h"
#include "platform/env_base.h"
#include "platform/system_file.h"
#include "platform/unique_native.h"

namespace carob::platform::posix {

// A file descriptor: any negative number is none.
struct FdTraits {
  using Raw = int;
  static int Invalid() { return -1; }
  static bool Valid(int fd) { return fd >= 0; }
  static int Adopt(int fd) { return fd; }
  // The descriptor is gone after close() even when it reports EINTR.
  static void Close(int fd) { ::close(fd); }
};
// Owns a file descriptor; closes it on destruction.
using Fd = UniqueNative<FdTraits>;

// Makes the call again while it fails with EINTR; its last result.
template <class Call>
auto RetryOnEintr(Call call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result < 0 && errno == EINTR);
  return result;
}

// Writes all of `bytes` (at the descriptor's offset); false on failure, with
// errno set.
bool WriteFully(int fd, std::string_view bytes);
// Appends all of `bytes` to a descriptor opened for appending, or nothing:
// a write that fails part way (a full disk) is cut back to the file's old
// length. 0, or the errno of the failure.
int AppendWhole(int fd, std::string_view bytes);
// Writes all of `bytes` at `offset`: 0, or the errno of the failure.
int PwriteFully(int fd, std::string_view bytes, int64_t offset);
// Reads the whole rest of the descriptor into `bytes`, to the end of the
// file; `length` is the file's length when it was opened (-1: ask). A read
// that meets the end before that length is asked once more, and when the
// file is still longer it fails ("the file ended at byte 300 of 1000"): a
// short file is never taken for the whole. `what` names the read.
Status ReadFully(int fd, std::string& bytes, int64_t length, const std::string& what);

// Makes a descriptor's written bytes durable (fdatasync). 0, or the errno;
// a file system that cannot sync (it says EINVAL or ENOTSUP) counts as done.
int SyncData(int fd);
// Makes a folder's names durable (fsync of the folder), where the system
// allows it: 0, or the errno of a real failure.
int SyncFolder(const std::string& native_folder);
// Closes a descriptor and tells the close's failure (a write error some file
// systems report only now): 0, or the errno. The descriptor is gone either way.
int CloseChecked(Fd& fd);

// An open file over the descriptor (see SystemFile).
std::unique_ptr<File> NewFile(Fd fd, Opened opened);

// Opens an ordinary file at a native path in the given mode (kAppend creates
// it, exclusively, and says so in `created`). Refuses folders (EISDIR),
// devices, pipes and sockets (EINVAL), and for writing a symbolic link at
// the name (ELOOP); an invalid Fd with errno set on failure.
Fd OpenNative(const std::string& native, OpenMode mode, struct stat* info = nullptr,
              bool* created = nullptr);

// What a folder's file system offers for locking, found once per folder
// (statfs, and on a local disk one probe link) and remembered for the life
// of the process.
struct FolderLocks {
  bool seen_everywhere = true;  // flock is seen by every holder (not on a network share)
  bool hard_links = true;       // link() works (not on a network share)
  bool unnamed_files = true;    // O_TMPFILE works and its files can be linked
};
FolderLocks FolderLocksOf(const std::string& native_folder);

// Whether `native_folder` (absolute) lies on a file system whose advisory
// locks stay on the computer that takes them (a network share), told by name
// alone from a mount table in the form of /proc/self/mountinfo, without a
// look at the folder: the answer for a folder that cannot be looked at for
// the moment. Nothing when no mount point of the table holds the folder.
std::optional<bool> LocksStayLocalByMounts(std::string_view mountinfo, std::string_view native_folder);

// lstat() as the file system holding `native` answers it now: where locks
// stay on one computer (a network share), its client answers a look from
// what it kept of the last one for up to a second, and a lock file deleted
// from another computer meanwhile would still seem there; there the look
// goes to the server. 0 or the errno; `st` gets what was found.
int LookNow(const std::string& native, struct stat* st);

// Whether a lock file stands at `native` now: 0 (its kind in `mode`, when
// given), ENOENT, or the errno of a look that failed. On a network share the
// folder's listing is read, and the name matched letter case aside as the
// family's programs name files: a look at the name itself would open the
// file on the server, and a look that meets a lock another computer is
// deleting (delete pending there while a third looks at it) fails, and
// the share's client then fails every call for seconds. Elsewhere lstat().
int LookForLock(const std::string& native, mode_t* mode = nullptr);

// Creates `native` atomically and holds it under flock(LOCK_EX); `windows`
// is the name failures report. EEXIST when a file of that name exists.
Status TryLockNative(const std::string& native, const std::string& windows,
                     std::unique_ptr<LockFile>* lock);
// kHeld when some open file description holds flock on it (this process
// included), kUnheld otherwise; the caller has checked that it exists.
LockState ProbeLockNative(const std::string& native);
// Removes an unheld lock file: 0, or the errno (EWOULDBLOCK when held,
// ESTALE when the name changed meanwhile).
int BreakLockNative(const std::string& native);
// Takes flock on an existing, unheld lock file without owning its name:
// the LockFile's Release() only ends the hold. EWOULDBLOCK when held (or,
// on a share, when unheld here unless `maker_ended_here`: its maker was a
// process of this computer that has ended), ESTALE when the name changed
// meanwhile.
Status AdoptLockNative(const std::string& native, const std::string& windows,
                       std::unique_ptr<LockFile>* hold, bool maker_ended_here = false);
// Whether process `pid` of this computer lives (see Env::ProcessAlive).
bool ProcessAliveNative(int pid);
// Releases a lock file of TryLockNative, HeldFile or AdoptLockNative and
// tells whether its name went with it: 1 removed, 0 left, -1 not one of
// those (then it is released all the same and the caller looks itself).
int ReleaseTelling(LockFile& lock);
// The folder part of a native path ("." for a bare name, "/" at the root).
std::string FolderOf(const std::string& native);
// The last component of a native path.
std::string NameOf(const std::string& native);
// What a stat's mode says stands at a name.
inline EntryKind KindOf(mode_t mode) {
  return S_ISREG(mode) ? EntryKind::kFile : S_ISDIR(mode) ? EntryKind::kFolder
                                          : S_ISLNK(mode) ? EntryKind::kLink
                                                          : EntryKind::kOther;
}
// True when both name the same file (device and inode).
inline bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}
// flock() taken again while a signal interrupts it.
int FlockRetry(int fd, int op);
// The queue lock on an open descriptor: flock(LOCK_EX), then a record lock
// on kQueueLockByte (waiting for both), the one Windows programs take, so
// that a Windows program run on this system (whose byte-range locks are
// record locks here) and this one never hold a queue at once. The record
// lock is one of the open file description (F_OFD_SETLKW): it ends with the
// descriptor, not at the close of any other descriptor of the file. Write
// for a descriptor open for writing, read otherwise (as Windows programs
// lock through a handle without write access). 0, or the errno; a file
// system without record locks has only the flock.
int QueueLockRetry(int fd);
// Wraps an open descriptor that holds flock(LOCK_EX) on `native` as a
// LockFile: Write appends, destruction ends the hold.
std::unique_ptr<LockFile> HeldFile(int fd, std::string native, std::string windows);

// Starts the executable detached (own session, stdin from /dev/null, no
// zombie left behind) without waiting for it. 0, or the errno that stopped
// it (from stat, access, fork or the exec).
int StartDetached(const std::string& native_exe);
// This process's command line, its arguments separated by blanks.
std::string CommandLineOfSelf();
// How this process was started (see Env::StartedHow).
std::string StartedHowSelf();
// SIGTERM to a process: 0 or the errno.
int StopProcessNative(int pid);

}  // namespace carob::platform::posix

namespace carob::platform {

// What SystemFile holds on POSIX: the descriptor.
struct NativeFile {
  posix::Fd fd;
};

}  // namespace carob::platform
