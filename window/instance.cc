// The family's run lock: taken at the start, held for the program's life.
#include "window/instance.h"

#include <cerrno>

#include "platform/text.h"
#include "window/window.h"

namespace carob::window {

using registry::HolderOf;
using registry::LockHolder;

InstanceClaim ClaimInstance(platform::Env& env, databank::Databank& db,
                            registry::Registry& registry, bool replace,
                            const std::function<void(const std::string&)>& report,
                            platform::Interaction& interaction) {
  InstanceClaim claim;
  const std::string path = registry::RunLockPath(db, registry, kAppName);
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
      if (const platform::Status named = claim.held->Write(registry::RunLockRecord(env)); !named) {
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
      RunningCarob running = registry::ReadRunLock(env, path);
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
