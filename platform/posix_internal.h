// Internal to the POSIX platform: lock files and process start over native
// paths. Env resolves the Windows-style names before calling these.
#pragma once

#include <memory>
#include <string>

#include "platform/env.h"

namespace carob::platform::posix {

// Creates `native` atomically and holds it under flock(LOCK_EX); nullptr
// when a file of that name exists already or it cannot be made.
std::unique_ptr<LockFile> TryLockNative(const std::string& native);
// kHeld when some open file description holds flock on it (this process
// included), kUnheld otherwise; the caller has checked that it exists.
LockState ProbeLockNative(const std::string& native);
// Removes an unheld lock file; false when held or gone.
bool BreakLockNative(const std::string& native);
// The folder part of a native path ("." for a bare name, "/" at the root).
std::string FolderOf(const std::string& native);
// Wraps an open descriptor that holds flock(LOCK_EX) on `native` as a
// LockFile: Write appends, destruction ends the hold.
std::unique_ptr<LockFile> HeldFile(int fd, std::string native);

// Starts the executable detached (own session, stdin from /dev/null, no
// zombie left behind) without waiting for it. False when it cannot be run.
bool StartDetached(const std::string& native_exe);

}  // namespace carob::platform::posix
