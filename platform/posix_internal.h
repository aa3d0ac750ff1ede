// Internal to the POSIX platform: lock files and process start over native
// paths. Env resolves the Windows-style names before calling these.
#pragma once

#include <sys/stat.h>

#include <memory>
#include <string>

#include "platform/env.h"

namespace carob::platform::posix {

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
// The folder part of a native path ("." for a bare name, "/" at the root).
std::string FolderOf(const std::string& native);
// The last component of a native path.
std::string NameOf(const std::string& native);
// True when both name the same file (device and inode).
inline bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}
// flock() taken again while a signal interrupts it.
int FlockRetry(int fd, int op);
// Wraps an open descriptor that holds flock(LOCK_EX) on `native` as a
// LockFile: Write appends, destruction ends the hold.
std::unique_ptr<LockFile> HeldFile(int fd, std::string native, std::string windows);

// Starts the executable detached (own session, stdin from /dev/null, no
// zombie left behind) without waiting for it. 0, or the errno that stopped
// it (from stat, access, fork or the exec).
int StartDetached(const std::string& native_exe);

}  // namespace carob::platform::posix
