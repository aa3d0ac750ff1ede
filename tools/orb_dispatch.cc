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
// error, each kept entry with its reason. `--once` runs one turn and prints
// what it did.
//
// An entry leaves the file it waits in only once it has been passed on (or
// put aside): the dispatcher claims the file, delivers, marks the entry
// handled in its claim file and only then takes it off, so a dispatcher
// killed at any moment loses nothing, and the next start finishes what the
// claim file records.
//
// Waiting entries cost nothing while their addressee is absent: the pending
// queue is looked through only at the first turn, when something about a
// waiting addressee changed (its interface or route recorded or changed, or
// it signed on or off), or every kRetrySeconds for a file that could not be
// written. The kept queues hold at most kKeptQueueLimit bytes each; beyond
// that their oldest entries are moved to a ".aside" queue beside them, with a
// line on standard error.
#include <iostream>
#include <map>
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

namespace carob::tools {
namespace {

using messaging::kNoComputer;  // the id that names no particular computer
using platform::EqualsNoCase;
using platform::Trim;
using platform::Upper;

constexpr char kDispatcherApp[] = "RORU PO";
constexpr char kRoutePrefix[] = "RORU PO Route ";
constexpr int kMaxEntriesPerTurn = 100000;
constexpr double kRetrySeconds = 30;
constexpr int64_t kKeptQueueLimit = 4 << 20;

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
  // Passed on, such an id would make the addressee's answers land in another
  // application's queue.
  if (!messaging::ValidComputerId(r.source)) {
    return undeliverable("the SET SOURCE line names no computer id (it holds \"[\", \"]\" or a line break)");
  }

  body = Trim(body);
  std::string address;
  if (platform::FindNoCase(body, "DO ") == 0) {
    address = body.substr(3);
  } else if (platform::FindNoCase(body, "SENDTO [") == 0) {
    size_t close = body.find(']');
    if (close == std::string::npos) return undeliverable("SENDTO without a closing \"]\"");
    r.computer = Trim(body.substr(8, close - 8));
    if (!messaging::ValidComputerId(r.computer)) {
      return undeliverable("SENDTO names no computer id (it holds \"[\" or a line break)");
    }
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
      : env_(env),
        db_(db),
        registry_(env, db),
        msg_(env, db, registry_),
        side_(env, db, registry_),
        err_(err) {}

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

    (void)registry_.RegisterApplication(kDispatcherApp);  // the Local ID below tells

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

  // One turn of the loop: the waiting entries when they may have become
  // deliverable, then everything that waits in the input file; an
  // application or a computer whose entries wait keeps its order: its new
  // entries queue behind the old ones.
  void Turn() {
    if (RetryDue()) RetryPending();
    DrainInput();
  }

  // The loop's interval from the STATUS databank's Pulse, in seconds, by the
  // receive timer's rule (registry::TimerInterval).
  double PulseSeconds() { return registry::TimerInterval(registry_.GetPulse()) / 1000.0; }

  const DispatchStats& stats() const { return stats_; }

 private:
  enum class Outcome { kDone, kWait, kUndeliverable, kFailed };

  // An addressee whose entries wait, why, and what is watched for a change.
  struct Blocked {
    std::string reason;
    std::string watch_key;  // the "C:\FileLoc" key of its interface or route
    std::string app;        // the application, for its running state
    std::string seen;       // the watched state when it was blocked
  };

  std::string Watched(const Blocked& b) {
    std::string state = Recorded(b.watch_key);
    if (!b.app.empty()) state += registry_.IsRunning(b.app) ? "|running" : "|absent";
    return state;
  }

  bool RetryDue() {
    const float now = env_.Timer();
    // The clock of the day runs over at midnight.
    if (!retried_ || now < last_retry_ || now - last_retry_ >= kRetrySeconds) return true;
    for (auto& [key, b] : blocked_) {
      if (Watched(b) != b.seen) return true;
    }
    return false;
  }

  // Claims a queue that holds something: false when it is empty, another
  // taker has it, or the claim failed (then reported).
  bool ClaimWaiting(const std::string& queue) {
    auto info = env_.FindFile(msg_.ResolveInterfacePath(queue));
    if (!info || info->size == 0) return false;
    bool busy = false;
    if (platform::Status s = msg_.ClaimQueue(queue, &busy); !s) {
      if (!busy) ReportTakeFailure(s);
      return false;
    }
    return true;
  }

  // Looks through the pending queue once: what can go now goes, in order,
  // and leaves the queue in one rewrite; the rest stays where it is.
  void RetryPending() {
    retried_ = true;
    last_retry_ = env_.Timer();
    blocked_.clear();
    if (!ClaimWaiting(pending_)) return;
    std::vector<messaging::QueueEntry> entries = msg_.ClaimedEntries();
    std::map<std::string, int> still;
    for (size_t i = 0; i < entries.size() && !platform::StopRequested(); ++i) {
      std::string key;
      Outcome o = Handle(entries[i], i, true, &key);
      if (o == Outcome::kFailed) break;
      if (o == Outcome::kWait) {
        ++still[key];
        continue;
      }
      (void)msg_.MarkHandled(i);
    }
    if (platform::Status s = msg_.ReleaseClaim(); !s) ReportTakeFailure(s);
    for (auto& [key, n] : still) {
      err_ << "orb dispatch: " << n << (n == 1 ? " entry" : " entries") << " still kept in "
           << pending_ << ": " << blocked_[key].reason << "\n";
    }
  }

  // Takes the entries of the input file one at a time, each off the file
  // only once it is passed on or put aside.
  void DrainInput() {
    for (int i = 0; i < kMaxEntriesPerTurn && !platform::StopRequested(); ++i) {
      if (!ClaimWaiting(input_)) return;
      messaging::QueueEntry top = msg_.ClaimedTop();
      if (top.empty()) {
        (void)msg_.ReleaseClaim();
        return;
      }
      ++stats_.taken;
      if (Handle(top, 0, false, nullptr) == Outcome::kFailed) {
        (void)msg_.ReleaseClaim();  // it stays at the top for the next turn
        return;
      }
      (void)msg_.MarkHandled(0);
      if (platform::Status s = msg_.ReleaseClaim(); !s) {
        ReportTakeFailure(s);
        return;
      }
      take_failed_reported_ = false;
    }
  }

  void ReportTakeFailure(const platform::Status& s) {
    if (take_failed_reported_) return;
    err_ << "orb dispatch: " << s.message() << "; trying again later\n";
    take_failed_reported_ = true;
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

  // Keeps an entry in a kept queue; a queue past its limit first moves its
  // oldest entries aside.
  platform::Status Keep(const std::string& queue, const std::string& text) {
    auto info = env_.FindFile(msg_.ResolveInterfacePath(queue));
    if (info && info->size >= kKeptQueueLimit) MoveOldestAside(queue);
    return msg_.AppendEntryChecked(queue, text);
  }

  void MoveOldestAside(const std::string& queue) {
    const std::string aside = SideQueuePath(queue, "aside");
    if (!side_.ClaimQueue(queue)) return;
    std::vector<messaging::QueueEntry> entries = side_.ClaimedEntries();
    std::vector<messaging::QueueEntry> moved;
    int64_t bytes = 0;
    for (const auto& e : entries) {
      if (bytes >= kKeptQueueLimit / 2) break;
      bytes += static_cast<int64_t>(messaging::StoredEntry(e).size());
      moved.push_back(e);
    }
    // Noted in the claim, so that a dispatcher killed before it marks them
    // handled does not make the next one move them aside twice.
    side_.HandingOn(0, moved.size());
    platform::Status s = side_.AppendEntries(aside, moved);
    if (s) {
      for (size_t i = 0; i < moved.size(); ++i) (void)side_.MarkHandled(i);
    }
    platform::Status r = side_.ReleaseClaim();
    if (s && r) {
      err_ << "orb dispatch: " << queue << " reached its limit of " << kKeptQueueLimit
           << " bytes; its oldest " << moved.size() << " entries were moved to " << aside << "\n";
    } else {
      err_ << "orb dispatch: " << queue << " reached its limit of " << kKeptQueueLimit
           << " bytes and its oldest entries could not be moved aside" << Cause(s ? r : s) << "\n";
    }
  }

  // Passes one entry on or keeps it in the pending or the undeliverable
  // queue. An entry from the pending queue that must still wait stays where
  // it is (kWait, its addressee in *key). kFailed when it could not even be
  // kept: it then stays where it was and the turn ends. It is entry `index`
  // of the claimed queue: its last append says so, so that a dispatcher
  // killed right after it does not make the next one hand it on again.
  Outcome Handle(const messaging::QueueEntry& taken, size_t index, bool from_pending,
                 std::string* key) {
    // Lines before the first header of a file are nobody's message.
    if (!taken.junk.empty()) {
      const std::string junk = StoredForm(taken.junk);
      if (!Trim(junk).empty()) {
        if (platform::Status s = Keep(undeliverable_, junk); !s) {
          err_ << "orb dispatch: cannot write " << undeliverable_ << Cause(s) << "\n";
          return Outcome::kFailed;
        }
        ++stats_.undeliverable;
        err_ << "orb dispatch: undeliverable, lines that stand before the first entry of "
             << (from_pending ? pending_ : input_) << "; kept in " << undeliverable_ << "\n";
      }
    }
    if (taken.text.empty()) return Outcome::kDone;  // a header without text carries nothing

    RoutedEntry entry = ParseEntry(msg_, taken.text, registry_.GetLocalId());
    // Once an application's or a computer's entry waits, its later entries
    // wait behind it.
    const std::string block_key = entry.route == Route::kLocal
                                      ? "APP " + Upper(entry.app)
                                      : "COMPUTER " + Upper(entry.computer);
    if (key) *key = block_key;
    Outcome outcome = Outcome::kUndeliverable;
    if (entry.route != Route::kUndeliverable) {
      if (auto it = blocked_.find(block_key); it != blocked_.end()) {
        outcome = Outcome::kWait;
        entry.reason = "behind earlier entries that wait: " + it->second.reason;
      } else {
        msg_.HandingOn(index);
        outcome = entry.route == Route::kLocal ? Deliver(entry) : Forward(entry);
        msg_.HandingOn(std::nullopt);
        if (outcome == Outcome::kWait) {
          Blocked b{entry.reason,
                    entry.route == Route::kLocal ? entry.app + " interface"
                                                 : kRoutePrefix + entry.computer,
                    entry.route == Route::kLocal ? entry.app : std::string(), ""};
          b.seen = Watched(b);
          blocked_[block_key] = std::move(b);
        }
      }
    }
    if (outcome == Outcome::kDone) return outcome;
    if (outcome == Outcome::kWait && from_pending) return outcome;

    const std::string& queue = outcome == Outcome::kWait ? pending_ : undeliverable_;
    msg_.HandingOn(index);
    const platform::Status kept = Keep(queue, entry.stored);
    msg_.HandingOn(std::nullopt);
    if (!kept) {
      err_ << "orb dispatch: cannot write " << queue << Cause(kept) << "; the entry stays in "
           << (from_pending ? pending_ : input_) << "\n";
      return Outcome::kFailed;
    }
    if (outcome == Outcome::kUndeliverable) {
      ++stats_.undeliverable;
      err_ << "orb dispatch: undeliverable, " << entry.reason << "; kept in " << undeliverable_
           << "\n";
    } else {
      ++stats_.pending;
      err_ << "orb dispatch: " << entry.reason << "; kept in " << pending_ << "\n";
    }
    return outcome;
  }

  platform::Env& env_;
  databank::Databank& db_;
  registry::Registry registry_;
  messaging::Messaging msg_;
  messaging::Messaging side_;  // moves a kept queue's oldest entries aside
  std::ostream& err_;
  std::string input_;
  std::string pending_;
  std::string undeliverable_;
  bool take_failed_reported_ = false;
  std::map<std::string, Blocked> blocked_;
  bool retried_ = false;
  float last_retry_ = 0;
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
