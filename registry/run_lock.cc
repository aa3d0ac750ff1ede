// Run locks: made, named, read and looked at.
#include "registry/run_lock.h"

#include <cerrno>
#include <cstdlib>
#include <utility>

#include "platform/clockstamp.h"
#include "platform/text.h"

namespace carob::registry {

namespace {

constexpr const char* kProcessKey = "process";
constexpr const char* kComputerKey = "computer";
constexpr const char* kStartedKey = "started";
constexpr const char* kStartedByKey = "started by";
constexpr const char* kCommandLineKey = "command line";

// A value of the record: line breaks would start a line of its own.
std::string OneLine(std::string text) {
  for (char& c : text) {
    if (c == '\r' || c == '\n') c = ' ';
  }
  return text;
}

}  // namespace

std::string RunLockHolder::Describe(const std::string& this_computer) const {
  std::string text = process > 0 ? "process " + std::to_string(process) : "a process";
  text += computer.empty() || platform::Upper(computer) == platform::Upper(this_computer)
              ? " on this computer"
              : " on the computer " + computer;
  if (!started.empty()) text += ", started " + started;
  if (!started_by.empty()) text += " by " + started_by;
  if (!command_line.empty()) text += " (command line: " + command_line + ")";
  return text;
}

std::string RunLockPath(databank::Databank& db, Registry& registry, const std::string& app) {
  const std::string status = db.ResolveBankPath(registry.FindStatusBank());
  return status.empty() ? "" : status + "." + app + ".lock";
}

std::string RunLockRecord(platform::Env& env) {
  const platform::WallTime now = env.Now();
  std::string record;
  for (auto [key, value] :
       {std::pair<const char*, std::string>{kProcessKey, std::to_string(env.ProcessId())},
        {kComputerKey, env.HostName()},
        {kStartedKey, platform::FormatDate(now) + " " + platform::FormatTime(now)},
        {kStartedByKey, env.StartedHow()},
        {kCommandLineKey, env.CommandLine()}}) {
    record += std::string(key) + "=" + OneLine(value) + "\r\n";
  }
  return record;
}

RunLockHolder ReadRunLock(platform::Env& env, const std::string& path) {
  RunLockHolder holder;
  std::string bytes;
  if (!env.ReadAll(path, bytes)) return holder;
  size_t at = 0;
  while (at < bytes.size()) {
    size_t end = bytes.find('\n', at);
    if (end == std::string::npos) end = bytes.size();
    std::string line = bytes.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, equals), value = line.substr(equals + 1);
    if (key == kProcessKey) holder.process = std::atoi(value.c_str());
    if (key == kComputerKey) holder.computer = value;
    if (key == kStartedKey) holder.started = value;
    if (key == kStartedByKey) holder.started_by = value;
    if (key == kCommandLineKey) holder.command_line = value;
  }
  return holder;
}

LockHolder HolderOf(platform::Env& env, const std::string& path, platform::Status& broken) {
  switch (env.ProbeLock(path)) {
    case platform::LockState::kAbsent:
      return LockHolder::kNone;
    case platform::LockState::kHeld:
      return LockHolder::kLiving;
    case platform::LockState::kUnheld:
    case platform::LockState::kUnknown:
      break;
  }
  // A holder on another computer is seen only by the server's refusal.
  broken = env.BreakLock(path);
  if (broken || broken.error() == ENOENT) return LockHolder::kNone;
  if (broken.error() == EWOULDBLOCK) return LockHolder::kLiving;
  // The name changed under us (a racing start made it afresh), or the
  // delete itself failed: the next look tells which.
  return LockHolder::kUnbreakable;
}

std::unique_ptr<platform::LockFile> HoldRunLock(platform::Env& env, const std::string& path,
                                                std::string* why) {
  std::unique_ptr<platform::LockFile> held;
  if (path.empty()) {
    *why = "the STATUS databank names a folder";
    return held;
  }
  const double begun = env.Timer();
  while (true) {
    const platform::Status made = env.TryLock(path, &held);
    if (made) {
      if (const platform::Status named = held->Write(RunLockRecord(env)); !named) {
        *why = "cannot name itself in its run lock (" + named.message() + ")";
      }
      return held;
    }
    held.reset();
    if (made.error() != EEXIST) {
      *why = made.message();
      return held;
    }
    platform::Status broken;
    const LockHolder holder = HolderOf(env, path, broken);
    if (holder == LockHolder::kLiving) {
      *why = "another process holds its run lock (" +
             ReadRunLock(env, path).Describe(env.HostName()) + ")";
      return held;
    }
    double waited = env.Timer() - begun;
    if (waited < 0) waited += 86400;  // across midnight
    if (holder == LockHolder::kUnbreakable && waited >= kNameWait) {
      *why = broken.message();
      return held;
    }
    env.clock().Sleep(kWaitStep);
  }
}

bool RunLockAbandoned(platform::Env& env, databank::Databank& db, Registry& registry,
                      const std::string& app) {
  const std::string path = RunLockPath(db, registry, app);
  if (path.empty()) return false;
  // Read before the look: a file not yet named may be one a starting holder
  // has only just made, and a holder that takes the lock after the read is
  // seen holding it.
  const bool named = ReadRunLock(env, path).process > 0;
  return named && env.ProbeLock(path) == platform::LockState::kUnheld;
}

}  // namespace carob::registry
