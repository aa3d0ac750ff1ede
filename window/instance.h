// One CAROB per family. Two CAROBs on one family would take from one queue
// and sign each other off in the STATUS databank, so a CAROB holds the
// family's run lock for its whole life: a lock file beside the STATUS
// databank ("<STATUS>.CAROB.lock"), made exclusively and held at the OS
// level, so that of two started at once only one runs and a CAROB that was
// killed leaves a file nobody holds, which the next start takes over. The
// file names its holder in databank lines: "process", "computer",
// "started", "started by" and "command line".
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "databank/databank.h"
#include "platform/env.h"
#include "platform/interaction.h"
#include "registry/registry.h"

namespace carob::window {

// Seconds a replacing CAROB waits for the running one to stop.
inline constexpr double kReplaceWait = 30;
// Seconds a starting CAROB waits for a holder that has just taken the lock
// to name itself.
inline constexpr double kNameWait = 3;

// The holder of a family's run lock, as its lock file names it.
struct RunningCarob {
  int process = 0;
  std::string computer, started, started_by, command_line;
  // "process 4321 on this computer, started 12-09-2026 16:40:01 by the user
  // service carob.service (command line: /usr/bin/carob)".
  std::string Describe(const std::string& this_computer) const;
};

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

// The run lock of the family whose STATUS databank `registry` finds.
std::string RunLockPath(databank::Databank& db, registry::Registry& registry);

// Takes the family's run lock. With `replace`, a running CAROB on this
// computer is asked to stop and the claim waits (up to kReplaceWait) for it
// to go. Each step of a replacement is reported through `report`. Waits end
// early once `interaction` is closing.
InstanceClaim ClaimInstance(platform::Env& env, databank::Databank& db,
                            registry::Registry& registry, bool replace,
                            const std::function<void(const std::string&)>& report,
                            platform::Interaction& interaction = platform::NoWindow());

}  // namespace carob::window
