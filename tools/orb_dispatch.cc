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
#include <cstdio>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "databank/databank.h"
#include "messaging/messaging.h"
#include "platform/env.h"
#include "platform/signals.h"
#include "platform/text.h"
#include "registry/registry.h"
#include "tools/orb_commands.h"
#include "tools/orb_family.h"

namespace carob::tools {
namespace {

using platform::EqualsNoCase;
using platform::Trim;

// ": cause" of a failure, "" of a success.
std::string Cause(const platform::Status& s) { return s ? std::string() : ": " + s.cause(); }
using platform::Upper;


// The text of a ROZ entry as it is stored: ReadTopEntry hands every line
// back with CR LF, the last one too; that last CR LF is the file's and not
// the writer's, so it is taken off before the entry is stored again.
std::string StoredForm(const std::string& entry_text) {
  if (entry_text.size() >= 2 && entry_text.compare(entry_text.size() - 2, 2, "\r\n") == 0) {
    return entry_text.substr(0, entry_text.size() - 2);
  }
  return entry_text;
}

bool StartsWithNoCase(const std::string& text, std::string_view prefix) {
  return text.size() >= prefix.size() && EqualsNoCase(std::string_view(text).substr(0, prefix.size()), prefix);
}

}  // namespace

// ---------------------------------------------------------------- routing

RoutedEntry ParseEntry(messaging::Messaging& msg, const std::string& entry_text,
                       const std::string& local_id) {
  RoutedEntry r;
  r.stored = StoredForm(entry_text);

  // The same source splitting as the receiving side: a text that holds
  // "SET SOURCE" anywhere goes through SplitSource, any other names no
  // computer.
  std::string body;
  if (platform::OccursIn("SET SOURCE", entry_text)) {
    messaging::SourcedText parts = msg.SplitSource(entry_text);
    r.source = Trim(parts.Source);
    body = StoredForm(parts.Text);
  } else {
    r.source = kNoComputer;
    body = r.stored;
  }
  // A SET SOURCE line without a value names no computer either; passing an
  // empty id on would make the addressee's answers unroutable.
  if (r.source.empty()) r.source = kNoComputer;

  body = Trim(body);
  std::string address;
  if (StartsWithNoCase(body, "DO ")) {
    address = body.substr(3);
  } else if (StartsWithNoCase(body, "SENDTO [")) {
    size_t close = body.find(']');
    if (close == std::string::npos) {
      r.route = Route::kUndeliverable;
      r.reason = "SENDTO without a closing \"]\"";
      return r;
    }
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
    r.route = Route::kUndeliverable;
    r.reason = "the body begins with neither \"DO \" nor \"SENDTO [\"";
    return r;
  }

  address = Trim(address);
  size_t colon = address.find(':');
  size_t line_end = address.find_first_of("\r\n");
  if (colon == std::string::npos || (line_end != std::string::npos && line_end < colon)) {
    r.route = Route::kUndeliverable;
    r.reason = "no \"App:\" in front of the text";
    return r;
  }
  r.app = Trim(address.substr(0, colon));
  if (r.app.empty()) {
    r.route = Route::kUndeliverable;
    r.reason = "an empty application name in front of the text";
    return r;
  }
  r.text = address.substr(colon + 1);
  r.route = Route::kLocal;
  return r;
}

std::string DeliveredText(const RoutedEntry& entry) {
  return "SET SOURCE = " + entry.source + "\r\n" + entry.text;
}

std::string SideQueuePath(const std::string& input_path, const std::string& kind) {
  std::string base = input_path;
  if (base.size() >= 4 && EqualsNoCase(std::string_view(base).substr(base.size() - 4), ".POF")) {
    base.resize(base.size() - 4);
  }
  return base + "." + kind + ".POF";
}

// ---------------------------------------------------------------- dispatcher

Dispatcher::Dispatcher(platform::Env& env, databank::Databank& db, registry::Registry& registry,
                       messaging::Messaging& msg, std::ostream& err)
    : env_(env), db_(db), registry_(registry), msg_(msg), err_(err) {}

bool Dispatcher::Start(const std::string& wanted_local_id) {
  input_ = msg_.FileLocation(messaging::kDispatcherInputKey);
  if (input_.empty()) {
    const std::string path =
        platform::JoinPath(env_.ProgramFolder(), std::string(kDispatcherApp) + ".input.POF");
    platform::Status s = db_.Write(databank::kFileLoc, messaging::kDispatcherInputKey, path);
    input_ = msg_.FileLocation(messaging::kDispatcherInputKey);
    if (input_.empty()) {
      err_ << "orb dispatch: cannot record \"RORU PO Input\" in C:\\FileLoc" << Cause(s) << "\n";
      return false;
    }
  }
  pending_ = SideQueuePath(input_, "pending");
  undeliverable_ = SideQueuePath(input_, "undeliverable");

  registry_.RegisterApplication(kDispatcherApp);

  std::string id = registry_.GetLocalId();
  std::string wanted = Trim(wanted_local_id);
  if (id.empty()) {
    if (wanted.empty()) wanted = Trim(env_.HostName());
    if (wanted.empty()) wanted = "localhost";
    platform::Status s = db_.Write(registry_.StatusBank(), "Local ID", wanted);
    id = registry_.GetLocalId();
    if (id.empty()) {
      err_ << "orb dispatch: cannot record \"Local ID\" in the STATUS databank" << Cause(s) << "\n";
      registry_.UnregisterApplication(kDispatcherApp);
      return false;
    }
  } else if (!wanted.empty() && wanted != id) {
    err_ << "orb dispatch: this computer's Local ID is already \"" << id << "\"; keeping it\n";
  }
  return true;
}

void Dispatcher::Stop() { registry_.UnregisterApplication(kDispatcherApp); }

bool Dispatcher::HasContent(const std::string& path) {
  auto info = env_.FindFile(msg_.ResolveInterfacePath(path));
  return info && info->size > 0;
}

bool Dispatcher::TakeTop(const std::string& file, std::string& text) {
  if (!HasContent(file)) return false;
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

int Dispatcher::CountEntries(const std::string& file) {
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

std::string Dispatcher::InterfaceOf(const std::string& app) {
  std::string key = app + " interface";
  db_.ForgetCached(std::string(key));
  return msg_.FileLocation(key);
}

// Local delivery into the addressee's interface file. kWait when the file
// is not recorded yet or cannot be written now.
Dispatcher::Outcome Dispatcher::Deliver(RoutedEntry& entry, std::set<std::string>& blocked) {
  std::string block_key = "APP " + Upper(entry.app);
  if (blocked.count(block_key)) return Outcome::kWait;
  std::string iface = InterfaceOf(entry.app);
  if (iface.empty()) {
    entry.reason = "waiting for \"" + entry.app + " interface\" in C:\\FileLoc";
  } else if (platform::Status s = msg_.AppendEntryChecked(iface, DeliveredText(entry)); !s) {
    entry.reason = "cannot append to " + iface + " (\"" + entry.app + " interface\")" + Cause(s);
  } else {
    ++stats_.delivered;
    return Outcome::kDone;
  }
  // Later entries for the same application wait behind this one.
  blocked.insert(block_key);
  return Outcome::kWait;
}

// Forwarding, unchanged, to the dispatcher of another computer.
Dispatcher::Outcome Dispatcher::Forward(RoutedEntry& entry, std::set<std::string>& blocked) {
  std::string block_key = "COMPUTER " + Upper(entry.computer);
  if (blocked.count(block_key)) return Outcome::kWait;
  std::string key = kRoutePrefix + entry.computer;
  db_.ForgetCached(std::string(key));
  std::string route = msg_.FileLocation(key);
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
    blocked.insert(block_key);
    return Outcome::kWait;
  }
  ++stats_.forwarded;
  return Outcome::kDone;
}

bool Dispatcher::Handle(const std::string& entry_text, std::set<std::string>& blocked,
                        bool from_pending) {
  RoutedEntry entry = ParseEntry(msg_, entry_text, registry_.GetLocalId());
  Outcome outcome = Outcome::kUndeliverable;
  if (entry.route == Route::kLocal) outcome = Deliver(entry, blocked);
  if (entry.route == Route::kForward) outcome = Forward(entry, blocked);
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
  if (outcome == Outcome::kWait) {
    if (!from_pending) {
      ++stats_.pending;
      err_ << "orb dispatch: " << entry.reason << "; kept in " << pending_ << "\n";
    }
  } else {
    ++stats_.undeliverable;
    err_ << "orb dispatch: undeliverable, " << entry.reason << "; kept in " << undeliverable_
         << "\n";
  }
  return true;
}

void Dispatcher::Turn() {
  std::set<std::string> blocked;
  // Waiting entries first, oldest first: each is taken from the top and
  // either passed on or put back at the end, so the queue keeps its order.
  if (HasContent(pending_)) {
    int n = CountEntries(pending_);
    for (int i = 0; i < n && !platform::StopRequested(); ++i) {
      std::string text;
      if (!TakeTop(pending_, text)) break;
      if (text.empty()) continue;
      if (!Handle(text, blocked, true)) return;
    }
  }
  // Then everything that waits in the input file. An application or a
  // computer still blocked above keeps its order: its new entries queue
  // behind the old ones.
  for (int taken = 0; taken < kMaxEntriesPerTurn && !platform::StopRequested(); ++taken) {
    std::string text;
    if (!TakeTop(input_, text)) break;
    ++stats_.taken;
    if (text.empty()) continue;  // a header without text carries nothing
    if (!Handle(text, blocked, false)) return;
  }
}

int Dispatcher::PulseMs() { return registry::TimerInterval(registry_.GetPulse()); }

// ---------------------------------------------------------------- command

namespace {

void DispatchUsage(std::ostream& err) {
  err << "usage: orb dispatch [--once] [--local-id ID]\n";
}

}  // namespace

int RunDispatch(OrbContext& ctx, const OrbArgs& args) {
  std::ostream& out = ctx.out;
  std::ostream& err = ctx.err;
  bool once = false;
  std::string local_id;
  for (size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--once") {
      once = true;
    } else if (args[i] == "--local-id" && i + 1 < args.size()) {
      local_id = args[++i];
    } else if (args[i].rfind("--local-id=", 0) == 0) {
      local_id = args[i].substr(11);
    } else {
      DispatchUsage(err);
      return 2;
    }
  }

  registry::Registry registry(ctx.env, ctx.db);
  messaging::Messaging msg(ctx.env, ctx.db, registry);
  Dispatcher dispatcher(ctx.env, ctx.db, registry, msg, err);

  platform::StopSignals stop;

  int rc = 0;
  if (!dispatcher.Start(local_id)) {
    rc = 1;
  } else {
    while (true) {
      dispatcher.Turn();
      if (once || stop.requested()) break;
      // Wait one Pulse; a stop ends the wait at once.
      if (stop.WaitFor(dispatcher.PulseMs() / 1000.0)) break;
    }
    dispatcher.Stop();
    if (once) {
      const DispatchStats& s = dispatcher.stats();
      out << "taken " << s.taken << ", delivered " << s.delivered << ", forwarded " << s.forwarded
          << ", pending " << s.pending << ", undeliverable " << s.undeliverable << "\n";
    }
  }

  err.flush();
  return rc;
}

}  // namespace carob::tools
