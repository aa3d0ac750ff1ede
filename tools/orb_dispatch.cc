// `orb dispatch`: runs the dispatcher of the family ("RORU PO",
// messaging/dispatcher.h says what it does) one turn a Pulse of the STATUS
// databank until SIGTERM, SIGINT or SIGHUP, then signs it off. Whatever the
// dispatcher reports (each kept entry with its reason) goes to standard
// error, and so do its lifecycle lines, as carob's do: when it started (its
// input file and Local ID) and when it stopped and why. `--once` runs one
// turn and prints what it did. For its whole life it holds its run lock
// (registry/run_lock.h), so that a dispatcher that was killed is seen dead
// although the STATUS databank still records it running.
#include <iostream>
#include <memory>
#include <string>

#include "messaging/dispatcher.h"
#include "platform/signals.h"
#include "registry/registry.h"
#include "registry/run_lock.h"
#include "tools/orb_commands.h"

namespace carob::tools {

namespace {

struct DispatchOptions {
  bool once = false;
  std::string local_id;
};

int ParseDispatch(std::ostream& err, const OrbArgs& args, DispatchOptions& o) {
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--once") {
      o.once = true;
    } else if (args[i] == "--local-id") {
      if (i + 1 >= args.size()) {
        return UsageError(err, "dispatch", "option '--local-id' requires an argument");
      }
      o.local_id = args[++i];
    } else if (args[i].starts_with("--local-id=")) {
      o.local_id = args[i].substr(11);
    } else if (args[i].starts_with("-")) {
      return UsageError(err, "dispatch", "unrecognised option '" + args[i] + "'");
    } else {
      return UsageError(err, "dispatch", "extra operand '" + args[i] + "'");
    }
  }
  return 0;
}

}  // namespace

int CheckDispatch(std::ostream& err, std::string_view, const OrbArgs& args) {
  DispatchOptions unused;
  return ParseDispatch(err, args, unused);
}

int RunDispatch(OrbContext& ctx, const OrbArgs& args) {
  DispatchOptions o;
  (void)ParseDispatch(ctx.err, args, o);  // its check passed
  const bool once = o.once;
  const std::string& local_id = o.local_id;

  auto report = [&ctx](const std::string& line) { ctx.err << "orb dispatch: " << line << "\n"; };
  // The lifecycle lines go out at once, so that the journal stamps each
  // when it happens.
  auto lifecycle = [&](const std::string& line) {
    report(line);
    ctx.err.flush();
  };
  messaging::Dispatcher dispatcher(ctx.env, ctx.db, report);
  platform::StopSignals stop;
  // Taken before it registers, so that a lock left by a dispatcher that
  // was killed is never seen beside this one's "running". A second
  // dispatcher runs on without it.
  registry::Registry registry(ctx.env, ctx.db, platform::NoWindow(), registry::SizeGuard::kOff);
  std::string unheld;
  std::unique_ptr<platform::LockFile> run_lock = registry::HoldRunLock(
      ctx.env, registry::RunLockPath(ctx.db, registry, messaging::kDispatcherApp), &unheld);
  if (!unheld.empty()) {
    report(run_lock ? "RORU PO " + unheld : "RORU PO runs without its run lock: " + unheld);
  }
  if (!dispatcher.Start(local_id)) {
    if (run_lock) run_lock->Release();
    lifecycle("RORU PO did not start");
    return 1;
  }
  lifecycle("RORU PO started: input " + dispatcher.input() + ", Local ID " + dispatcher.local_id());
  // One turn a Pulse; a stop ends the wait at once. A stop that came during
  // the start (a wait for the STATUS databank's maintenance) leaves no turn.
  while (!stop.requested()) {
    dispatcher.Turn();
    if (once || stop.WaitFor(dispatcher.PulseSeconds())) break;
  }
  dispatcher.Stop();
  if (run_lock) run_lock->Release();
  lifecycle(std::string("RORU PO stopped: ") +
         (stop.requested() ? "asked to stop" : "one turn done (--once)"));
  if (once) {
    const messaging::DispatchStats& s = dispatcher.stats();
    ctx.out << "taken " << s.taken << ", delivered " << s.delivered << ", forwarded " << s.forwarded
            << ", pending " << s.pending << ", undeliverable " << s.undeliverable << "\n";
  }
  ctx.err.flush();
  return 0;
}

}  // namespace carob::tools
