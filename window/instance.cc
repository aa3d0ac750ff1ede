// The family's run lock: taken at the start, held for the program's life.
#include "window/instance.h"

#include <cerrno>
#include <cstdlib>

#include "platform/clockstamp.h"
#include "platform/text.h"

namespace carob::window {

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

std::string Record(platform::Env& env) {
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

// The holder the lock file names; process 0 while it has not named itself.
RunningCarob ReadRecord(platform::Env& env, const std::string& path) {
  RunningCarob running;
  std::string bytes;
  if (!env.ReadAll(path, bytes)) return running;
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
    if (key == kProcessKey) running.process = std::atoi(value.c_str());
    if (key == kComputerKey) running.computer = value;
    if (key == kStartedKey) running.started = value;
    if (key == kStartedByKey) running.started_by = value;
    if (key == kCommandLineKey) running.command_line = value;
  }
  return running;
}

enum class LockHolder { kNone, kLiving, kUnbreakable };

// Whether a living process holds the lock file. A file nobody holds is
// broken (kNone: the caller makes it afresh); kUnbreakable, with the cause
// in `broken`, when that fails otherwise than because someone holds it or
// took it meanwhile.
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

}  // namespace

std::string RunningCarob::Describe(const std::string& this_computer) const {
  std::string text = process > 0 ? "process " + std::to_string(process) : "a process";
  text += computer.empty() || platform::Upper(computer) == platform::Upper(this_computer)
              ? " on this computer"
              : " on the computer " + computer;
  if (!started.empty()) text += ", started " + started;
  if (!started_by.empty()) text += " by " + started_by;
  if (!command_line.empty()) text += " (command line: " + command_line + ")";
  return text;
}

std::string RunLockPath(databank::Databank& db, registry::Registry& registry) {
  const std::string status = db.ResolveBankPath(registry.FindStatusBank());
  return status.empty() ? "" : status + ".CAROB.lock";
}

InstanceClaim ClaimInstance(platform::Env& env, databank::Databank& db,
                            registry::Registry& registry, bool replace,
                            const std::function<void(const std::string&)>& report,
                            platform::Interaction& interaction) {
  InstanceClaim claim;
  const std::string path = RunLockPath(db, registry);
  if (path.empty()) {
    claim.message = "the STATUS databank names a folder; nothing keeps a second CAROB out";
    return claim;
  }
  const double begun = env.Timer();
  auto waited = [&] {
    double seconds = env.Timer() - begun;
    return seconds < 0 ? seconds + 86400 : seconds;  // across midnight
  };
  int asked = 0;  // the process asked to stop
  int told = 0;   // the process whose stop was reported
  while (true) {
    const platform::Status made = env.TryLock(path, &claim.held);
    if (made) {
      if (const platform::Status named = claim.held->Write(Record(env)); !named) {
        report("CAROB cannot name itself in its run lock (" + named.message() + ")");
      }
      if (asked != 0) report("CAROB replaced process " + std::to_string(asked));
      return claim;
    }
    if (made.error() != EEXIST) {
      claim.message = made.message() + "; nothing keeps a second CAROB out";
      return claim;
    }
    platform::Status broken;
    const LockHolder holder = HolderOf(env, path, broken);
    if (holder == LockHolder::kUnbreakable && waited() >= kNameWait) {
      claim.message = broken.message() + "; nothing keeps a second CAROB out";
      return claim;
    }
    if (holder == LockHolder::kLiving) {
      RunningCarob running = ReadRecord(env, path);
      const bool named = running.process > 0;
      const bool here = running.computer.empty() ||
                        platform::Upper(running.computer) == platform::Upper(env.HostName());
      std::string refusal;
      if (!named && waited() >= kNameWait) {
        refusal = "another CAROB runs in this family (" + running.Describe(env.HostName()) + ")";
      } else if (named && !replace) {
        refusal = "CAROB runs already in this family: " + running.Describe(env.HostName()) +
                  ". Stop it first, or start with 'carob --replace' to stop it and take its "
                  "place.";
      } else if (named && !here) {
        refusal = "CAROB runs in this family on another computer: " +
                  running.Describe(env.HostName()) + ". It can be stopped only there.";
      } else if (named && asked != running.process) {
        if (told != running.process) {
          told = running.process;
          report("CAROB asks " + running.Describe(env.HostName()) + " to stop");
        }
        if (const platform::Status stop = env.StopProcess(running.process);
            !stop && stop.error() != ESRCH) {
          refusal = "CAROB runs already in this family: " + running.Describe(env.HostName()) +
                    ", and it cannot be stopped (" + stop.message() + ")";
        } else if (stop) {
          asked = running.process;
        }
      } else if (named && waited() >= kReplaceWait) {
        refusal = "CAROB runs already in this family: " + running.Describe(env.HostName()) +
                  ", and it did not stop within " + std::to_string(int(kReplaceWait)) +
                  " seconds of being asked to";
      }
      if (!refusal.empty() || interaction.Closing()) {
        claim.held.reset();
        claim.refused = true;
        claim.message = refusal.empty() ? "CAROB was closed while it waited to start" : refusal;
        return claim;
      }
    }
    env.clock().Sleep(registry::kWaitStep);
  }
}

}  // namespace carob::window
