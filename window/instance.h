// One CAROB per family. Two CAROBs on one family would take from one queue
// and sign each other off in the STATUS databank, so a CAROB holds the
// family's run lock for its whole life: a lock file beside the STATUS
// databank ("<STATUS>.CAROB.lock"), made exclusively and held at the OS
// level, so that of two started at once only one runs and a CAROB that was
// killed leaves a file nobody holds, which the next start takes over
// (registry/run_lock.h makes, names and reads it).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "databank/databank.h"
#include "platform/env.h"
#include "platform/interaction.h"
#include "registry/registry.h"
#include "registry/run_lock.h"

namespace carob::window {

// Seconds a replacing CAROB waits for the running one to stop.
inline constexpr double kReplaceWait = 30;
using registry::kNameWait;

// The holder of a family's run lock, as its lock file names it.
using RunningCarob = registry::RunLockHolder;

struct InstanceClaim {
  // Held for the life of the program; null when refused, and also when the
  // lock cannot be made (a family root that cannot be written): the program
  // then runs unguarded, as it runs without its registration.
  std::unique_ptr<platform::LockFile> held;
  // Another CAROB runs and was not (or could not be) replaced.
  bool refused = false;
  // Why: the refusal, or why the lock could not be taken ("" when held).
  std::string message;
};

// Takes the family's run lock. With `replace`, a running CAROB on this
// computer is asked to stop and the claim waits (up to kReplaceWait) for it
// to go. Each step of a replacement is reported through `report`. Waits end
// early once `interaction` is closing.
InstanceClaim ClaimInstance(platform::Env& env, databank::Databank& db,
                            registry::Registry& registry, bool replace,
                            const std::function<void(const std::string&)>& report,
                            platform::Interaction& interaction = platform::NoWindow());

}  // namespace carob::window
