// Run locks: a program of the family that must be known to live holds a lock
// file beside the STATUS databank ("<STATUS>.<application>.lock", e.g.
// "STATUS.CAROB.lock") for its whole life, made exclusively and held at the
// OS level. A program that was killed leaves a file nobody holds, so its
// "<application> running=Yes" in the STATUS databank is seen to be stale.
// The file names its holder in databank lines: "process", "computer",
// "started", "started by" and "command line".
#pragma once

#include <memory>
#include <string>

#include "databank/databank.h"
#include "platform/env.h"
#include "registry/registry.h"

namespace carob::registry {

// Seconds a starting program waits for a holder that has just taken the
// lock to name itself.
inline constexpr double kNameWait = 3;

// The holder of a run lock, as its lock file names it.
struct RunLockHolder {
  int process = 0;  // 0 while it has not named itself
  std::string computer, started, started_by, command_line;
  // "process 4321 on this computer, started 12-09-2026 16:40:01 by the user
  // service carob.service (command line: /usr/bin/carob)".
  std::string Describe(const std::string& this_computer) const;
};

// The run lock of `app` in the family whose STATUS databank `registry`
// finds; "" when the STATUS databank names no file.
std::string RunLockPath(databank::Databank& db, Registry& registry, const std::string& app);

// The lines that name this process in its run lock.
std::string RunLockRecord(platform::Env& env);

// The holder the lock file at `path` names.
RunLockHolder ReadRunLock(platform::Env& env, const std::string& path);

enum class LockHolder { kNone, kLiving, kUnbreakable };

// Whether a living process holds the lock file. A file nobody holds is
// broken (kNone: the caller makes it afresh); kUnbreakable, with the cause
// in `broken`, when that fails otherwise than because someone holds it or
// took it meanwhile.
LockHolder HolderOf(platform::Env& env, const std::string& path, platform::Status& broken);

// Takes the run lock at `path` for a program that runs whoever else does:
// a lock nobody holds is taken over; null when another living process holds
// it, or when it cannot be made (`why` then says why; the program runs on,
// its liveness only unrecorded).
std::unique_ptr<platform::LockFile> HoldRunLock(platform::Env& env, const std::string& path,
                                                std::string* why);

// True when the program recorded as running in the family is known dead:
// its run lock names a holder but nobody holds it. A lock file that is
// absent, not yet named, or whose holder cannot be seen (a share) tells
// nothing: false.
bool RunLockAbandoned(platform::Env& env, databank::Databank& db, Registry& registry,
                      const std::string& app);

}  // namespace carob::registry
