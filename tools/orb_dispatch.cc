// `orb dispatch`: the dispatcher of the family ("RORU PO").
//
// Every program sends by appending a ROZ entry to the file that "C:\FileLoc"
// records under messaging::kDispatcherInputKey. The dispatcher owns that file: at every
// turn of its loop (one turn a Pulse of the STATUS databank) it takes every
// waiting entry and passes each one on:
//
//   "DO App:text"            delivered on this computer;
//   "SENDTO [id] App:text"   delivered here when id is this computer's
//                            Local ID, otherwise forwarded unchanged to the
//                            file recorded under "RORU PO Route " + id (the
//                            input file of the dispatcher of that computer,
//                            on a folder both computers share).
//
// Delivery appends "SET SOURCE = " + sender, CR LF, and the text after
// "App:" to the file recorded under App + " interface". Nothing is lost: an
// entry for an application whose interface is not recorded yet (or for a
// file that cannot be written at the moment, such as a share that is not
// mounted) waits in the pending queue beside the input file and goes on, in
// order, once it can; an entry that cannot be routed at all goes to the
// undeliverable queue beside the input file. Both are reported on standard
// error. `--once` runs one turn and prints what it did.
#include <iostream>
#include <set>
#include <string>

#include "databank/databank.h"
#include "messaging/messaging.h"
#include "platform/env.h"
#include "platform/signals.h"
#include "platform/text.h"
#include "registry/registry.h"
#include "tools/orb_commands.h"

namespace carob::tools {
namespace {

using messaging::kNoComputer;  // the id that names no particular computer
using platform::EqualsNoCase;
using platform::Trim;
using platform::Upper;

constexpr char kDispatcherApp[] = "RORU PO";
constexpr char kRoutePrefix[] = "RORU PO Route ";
constexpr int kMaxEntriesPerTurn = 100000;

// The text of a ROZ entry as it is stored: ReadTopEntry hands every line
// back with CR LF, the last one too; that last CR LF is the file's and not
// the writer's, so it is taken off before the entry is stored again.
std::string StoredForm(const std::string& entry_text) {
  return entry_text.ends_with("\r\n") ? entry_text.substr(0, entry_text.size() - 2) : entry_text;
}

// A queue file beside the input file: "X.input.POF" -> "X.input.<kind>.POF".
std::string SideQueuePath(const std::string& input_path, const std::string& kind) {
  std::string_view base = input_path;
  if (base.size() >= 4 && EqualsNoCase(base.substr(base.size() - 4), ".POF")) base.remove_suffix(4);
  return std::string(base) + "." + kind + ".POF";
}

enum class Route {
  kLocal,          // deliver into App's interface file on this computer
  kForward,        // pass on, unchanged, to the dispatcher of `computer`
  kUndeliverable,  // cannot be routed at all (see `reason`)
};

// One entry of the dispatcher's input file, taken apart.
struct RoutedEntry {
  Route route = Route::kUndeliverable;
  std::string stored;    // the entry's text as it is stored again (forwarding, queues)
  std::string source;    // the sending computer ("0.0.0.0" when none is named)
  std::string computer;  // the computer named by SENDTO
  std::string app;       // the addressed application (kLocal)
  std::string text;      // the text after "App:" (kLocal)
  std::string reason;    // why it is undeliverable
};

// Takes an entry text (as ReadTopEntry gives it) apart and decides its way.
RoutedEntry ParseEntry(messaging::Messaging& msg, const std::string& entry_text,
                       const std::string& local_id) {
  RoutedEntry r;
  r.stored = StoredForm(entry_text);
  auto undeliverable = [&r](const char* reason) {
    r.reason = reason;
    return r;
  };

  // The same source splitting as the receiving side: a text that holds
  // "SET SOURCE" anywhere goes through SplitSource, any other names no
  // computer.
  std::string body = r.stored;
  r.source = kNoComputer;
  if (platform::OccursIn("SET SOURCE", entry_text)) {
    messaging::SourcedText parts = msg.SplitSource(entry_text);
    r.source = Trim(parts.Source);
    body = StoredForm(parts.Text);
  }
  // A SET SOURCE line without a value names no computer either; passing an
  // empty id on would make the addressee's answers unroutable.
  if (r.source.empty()) r.source = kNoComputer;

  body = Trim(body);
  std::string address;
  if (platform::FindNoCase(body, "DO ") == 0) {
    address = body.substr(3);
  } else if (platform::FindNoCase(body, "SENDTO [") == 0) {
    size_t close = body.find(']');
    if (close == std::string::npos) return undeliverable("SENDTO without a closing \"]\"");
    r.computer = Trim(body.substr(8, close - 8));
    address = body.substr(close + 1);
    // An empty id or "0.0.0.0" names no particular computer: like "DO ".
    bool local = r.computer.empty() || r.computer == kNoComputer ||
                 (!local_id.empty() && EqualsNoCase(r.computer, Trim(local_id)));
    if (!local) {
      r.route = Route::kForward;
      return r;
    }
  } else {
    return undeliverable("the body begins with neither \"DO \" nor \"SENDTO [\"");
  }

  address = Trim(address);
  size_t colon = address.find(':');
  size_t line_end = address.find_first_of("\r\n");
  if (colon == std::string::npos || (line_end != std::string::npos && line_end < colon)) {
    return undeliverable("no \"App:\" in front of the text");
  }
  r.app = Trim(address.substr(0, colon));
  if (r.app.empty()) return undeliverable("an empty application name in front of the text");
  r.text = address.substr(colon + 1);
  r.route = Route::kLocal;
  return r;
}

struct DispatchStats {
  int taken = 0;
  int delivered = 0;
  int forwarded = 0;
  int pending = 0;  // newly put aside to wait (no interface key, or a file not writable now)
  int undeliverable = 0;
};

class Dispatcher {
 public:
  Dispatcher(platform::Env& env, databank::Databank& db, std::ostream& err)
      : env_(env), db_(db), registry_(env, db), msg_(env, db, registry_), err_(err) {}

  // Records the input file in "C:\FileLoc", registers "RORU PO" as running
  // and records the Local ID when none is recorded. False when the input
  // file or the Local ID cannot be recorded.
  bool Start(const std::string& wanted_local_id) {
    platform::Status s;
    input_ = msg_.FileLocationOr(messaging::kDispatcherInputKey,
                                 std::string(kDispatcherApp) + ".input.POF", &s);
    if (input_.empty()) input_ = msg_.FileLocation(messaging::kDispatcherInputKey);
    if (input_.empty()) {
      err_ << "orb dispatch: cannot record \"RORU PO Input\" in C:\\FileLoc" << Cause(s) << "\n";
      return false;
    }
    pending_ = SideQueuePath(input_, "pending");
    undeliverable_ = SideQueuePath(input_, "undeliverable");

    registry_.RegisterApplication(kDispatcherApp);

    std::string id = registry_.GetLocalId();
    std::string wanted = Trim(wanted_local_id);
    if (id.empty()) {
      if (wanted.empty()) wanted = Trim(env_.HostName());
      if (wanted.empty()) wanted = "localhost";
      s = db_.Write(registry_.StatusBank(), "Local ID", wanted);
      id = registry_.GetLocalId();
      if (id.empty()) {
        err_ << "orb dispatch: cannot record \"Local ID\" in the STATUS databank" << Cause(s) << "\n";
        Stop();
        return false;
      }
    } else if (!wanted.empty() && wanted != id) {
      err_ << "orb dispatch: this computer's Local ID is already \"" << id << "\"; keeping it\n";
    }
    return true;
  }

  // Records "RORU PO" as no longer running.
  void Stop() { registry_.UnregisterApplication(kDispatcherApp); }

  // One turn of the loop. Waiting entries first, oldest first: each is taken
  // from the top and either passed on or put back at the end, so the queue
  // keeps its order. Then everything that waits in the input file; an
  // application or a computer still blocked above keeps its order: its new
  // entries queue behind the old ones.
  void Turn() {
    std::set<std::string> blocked;
    if (Drain(pending_, CountEntries(pending_), true, blocked)) {
      Drain(input_, kMaxEntriesPerTurn, false, blocked);
    }
  }

  // The loop's interval from the STATUS databank's Pulse, in seconds, by the
  // receive timer's rule (registry::TimerInterval).
  double PulseSeconds() { return registry::TimerInterval(registry_.GetPulse()) / 1000.0; }

  const DispatchStats& stats() const { return stats_; }

 private:
  enum class Outcome { kDone, kWait, kUndeliverable };

  // Takes up to `limit` entries off `file` and passes each on; false when
  // the turn must end.
  bool Drain(const std::string& file, int limit, bool from_pending,
             std::set<std::string>& blocked) {
    for (int i = 0; i < limit && !platform::StopRequested(); ++i) {
      std::string text;
      if (!TakeTop(file, text)) break;
      if (!from_pending) ++stats_.taken;
      if (text.empty()) continue;  // a header without text carries nothing
      if (!Handle(text, blocked, from_pending)) return false;
    }
    return true;
  }

  bool TakeTop(const std::string& file, std::string& text) {
    auto info = env_.FindFile(msg_.ResolveInterfacePath(file));
    if (!info || info->size == 0) return false;
    // Read and removed in one hold of the queue, so that even two dispatchers
    // started on one input file never pass an entry on twice.
    messaging::QueueEntry taken;
    // An entry that cannot be taken off (the file is held elsewhere) is left
    // for the next turn instead of being handled now and again later.
    if (platform::Status s = msg_.TakeTop(file, taken); !s) {
      if (!take_failed_reported_) {
        err_ << "orb dispatch: cannot take the top entry of " << file << Cause(s)
             << "; trying again later\n";
        take_failed_reported_ = true;
      }
      return false;
    }
    take_failed_reported_ = false;
    text = taken.text;
    return true;
  }

  int CountEntries(const std::string& file) {
    std::string bytes;
    if (!env_.ReadAll(msg_.ResolveInterfacePath(file), bytes) || bytes.empty()) return 0;
    int boundaries = 0;
    platform::ForEachLine(bytes, [&](std::string_view line, int64_t) {
      if (line.starts_with("---")) ++boundaries;
      return true;
    });
    // Lines before the first boundary are read as part of the first entry.
    return boundaries > 0 ? boundaries : 1;
  }

  // The value of a "C:\FileLoc" key another program records, read afresh.
  std::string Recorded(const std::string& key) {
    db_.ForgetCached(std::string(key));
    return msg_.FileLocation(key);
  }

  // Local delivery into the addressee's interface file. kWait when the file
  // is not recorded yet or cannot be written now.
  Outcome Deliver(RoutedEntry& entry) {
    std::string iface = Recorded(entry.app + " interface");
    std::string delivered = "SET SOURCE = " + entry.source + "\r\n" + entry.text;
    if (iface.empty()) {
      entry.reason = "waiting for \"" + entry.app + " interface\" in C:\\FileLoc";
    } else if (platform::Status s = msg_.AppendEntryChecked(iface, delivered); !s) {
      entry.reason = "cannot append to " + iface + " (\"" + entry.app + " interface\")" + Cause(s);
    } else {
      ++stats_.delivered;
      return Outcome::kDone;
    }
    return Outcome::kWait;
  }

  // Forwarding, unchanged, to the dispatcher of another computer.
  Outcome Forward(RoutedEntry& entry) {
    std::string key = kRoutePrefix + entry.computer;
    std::string route = Recorded(key);
    if (route.empty()) {
      entry.reason = "no route for computer [" + entry.computer + "] (\"" + key + "\" in C:\\FileLoc)";
      return Outcome::kUndeliverable;
    }
    if (EqualsNoCase(Trim(route), Trim(input_))) {
      // A route back into this dispatcher's own input would pass the entry
      // round and round for ever.
      entry.reason = "the route for computer [" + entry.computer + "] leads back to this dispatcher";
      return Outcome::kUndeliverable;
    }
    // A shared folder that is not there at the moment (not mounted, no
    // network) loses nothing: the entry waits and is forwarded later.
    if (platform::Status s = msg_.AppendEntryChecked(route, entry.stored); !s) {
      entry.reason = "cannot append to " + route + " (route for computer [" + entry.computer + "])" +
                     Cause(s);
      return Outcome::kWait;
    }
    ++stats_.forwarded;
    return Outcome::kDone;
  }

  // Passes one entry on, or puts it into the pending or the undeliverable
  // queue. False when it could not even be put aside (it then goes back into
  // the input file and the turn ends).
  bool Handle(const std::string& entry_text, std::set<std::string>& blocked, bool from_pending) {
    RoutedEntry entry = ParseEntry(msg_, entry_text, registry_.GetLocalId());
    // Once an application's or a computer's entry waits, its later entries
    // wait behind it.
    const std::string block_key = entry.route == Route::kLocal
                                      ? "APP " + Upper(entry.app)
                                      : "COMPUTER " + Upper(entry.computer);
    Outcome outcome = Outcome::kUndeliverable;
    if (entry.route != Route::kUndeliverable && blocked.count(block_key)) {
      outcome = Outcome::kWait;
    } else if (entry.route != Route::kUndeliverable) {
      outcome = entry.route == Route::kLocal ? Deliver(entry) : Forward(entry);
    }
    if (outcome == Outcome::kWait) blocked.insert(block_key);
    if (outcome == Outcome::kDone) return true;

    const std::string& queue = outcome == Outcome::kWait ? pending_ : undeliverable_;
    if (platform::Status s = msg_.AppendEntryChecked(queue, entry.stored); !s) {
      // The entry is already off its queue: put it back into the input file
      // rather than lose it, and leave the rest of the turn.
      bool back = msg_.AppendEntryChecked(input_, entry.stored).ok();
      err_ << "orb dispatch: cannot write " << queue << Cause(s) << "; "
           << (back ? "entry put back into the input file" : "ENTRY LOST: " + entry.stored) << "\n";
      return false;
    }
    if (outcome == Outcome::kUndeliverable) {
      ++stats_.undeliverable;
      err_ << "orb dispatch: undeliverable, " << entry.reason << "; kept in " << undeliverable_
           << "\n";
    } else if (!from_pending) {
      ++stats_.pending;
      err_ << "orb dispatch: " << entry.reason << "; kept in " << pending_ << "\n";
    }
    return true;
  }

  platform::Env& env_;
  databank::Databank& db_;
  registry::Registry registry_;
  messaging::Messaging msg_;
  std::ostream& err_;
  std::string input_;
  std::string pending_;
  std::string undeliverable_;
  bool take_failed_reported_ = false;
  DispatchStats stats_;
};

}  // namespace

int RunDispatch(OrbContext& ctx, const OrbArgs& args) {
  bool once = false;
  std::string local_id;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--once") {
      once = true;
    } else if (args[i] == "--local-id" && i + 1 < args.size()) {
      local_id = args[++i];
    } else if (args[i].starts_with("--local-id=")) {
      local_id = args[i].substr(11);
    } else {
      ctx.err << "usage: orb dispatch [--once] [--local-id ID]\n";
      return 2;
    }
  }

  Dispatcher dispatcher(ctx.env, ctx.db, ctx.err);
  platform::StopSignals stop;
  if (!dispatcher.Start(local_id)) {
    ctx.err.flush();
    return 1;
  }
  // One turn a Pulse; a stop ends the wait at once. A stop that came during
  // the start (a wait for the STATUS databank's maintenance) leaves no turn.
  while (!stop.requested()) {
    dispatcher.Turn();
    if (once || stop.WaitFor(dispatcher.PulseSeconds())) break;
  }
  dispatcher.Stop();
  if (once) {
    const DispatchStats& s = dispatcher.stats();
    ctx.out << "taken " << s.taken << ", delivered " << s.delivered << ", forwarded " << s.forwarded
            << ", pending " << s.pending << ", undeliverable " << s.undeliverable << "\n";
  }
  ctx.err.flush();
  return 0;
}

}  // namespace carob::tools
