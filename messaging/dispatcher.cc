// The dispatcher's routing engine: how an entry of the input file is taken
// apart, where it goes, and what waits or is kept.
#include "messaging/dispatcher.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/signals.h"
#include "platform/text.h"

namespace carob::messaging {

using platform::EqualsNoCase;
using platform::Trim;
using platform::Upper;

namespace {

constexpr int kMaxEntriesPerTurn = 100000;

// ": cause" of a failure, "" of a success, for a line that goes on.
std::string Cause(const platform::Status& s) { return s ? std::string() : ": " + s.cause(); }

// The text of a ROZ entry as it is stored: ReadTopEntry hands every line
// back with CR LF, the last one too; that last CR LF is the file's and not
// the writer's, so it is taken off before the entry is stored again.
std::string StoredForm(const std::string& entry_text) {
  return entry_text.ends_with("\r\n") ? entry_text.substr(0, entry_text.size() - 2) : entry_text;
}

}  // namespace

std::string SideQueuePath(const std::string& input_path, const std::string& kind) {
  std::string_view base = input_path;
  if (base.size() >= 4 && EqualsNoCase(base.substr(base.size() - 4), ".POF")) base.remove_suffix(4);
  return std::string(base) + "." + kind + ".POF";
}

// One entry of the dispatcher's input file, taken apart.
struct Dispatcher::RoutedEntry {
  enum class Route {
    kLocal,          // deliver into App's interface file on this computer
    kForward,        // pass on, unchanged, to the dispatcher of `computer`
    kUndeliverable,  // cannot be routed at all (see `reason`)
  };

  // Takes an entry text (as ReadTopEntry gives it) apart and decides its way.
  RoutedEntry(Messaging& msg, const std::string& entry_text, const std::string& local_id);

  Route route = Route::kUndeliverable;
  std::string stored;    // the entry's text as it is stored again (forwarding, queues)
  std::string source;    // the sending computer ("0.0.0.0" when none is named)
  std::string computer;  // the computer named by SENDTO
  std::string app;       // the addressed application (kLocal)
  std::string text;      // the text after "App:" (kLocal)
  std::string reason;    // why it is undeliverable
};

Dispatcher::RoutedEntry::RoutedEntry(Messaging& msg, const std::string& entry_text,
                                     const std::string& local_id) {
  stored = StoredForm(entry_text);

  // The same source splitting as the receiving side: a text that holds
  // "SET SOURCE" anywhere goes through SplitSource, any other names no
  // computer.
  std::string body = stored;
  source = kNoComputer;
  if (platform::OccursIn("SET SOURCE", entry_text)) {
    SourcedText parts = msg.SplitSource(entry_text);
    source = Trim(parts.Source);
    body = StoredForm(parts.Text);
  }
  // A SET SOURCE line without a value names no computer either; passing an
  // empty id on would make the addressee's answers unroutable.
  if (source.empty()) source = kNoComputer;
  // Passed on, such an id would make the addressee's answers land in another
  // application's queue.
  if (!ValidComputerId(source)) {
    reason = "the SET SOURCE line names no computer id (it holds \"[\", \"]\" or a line break)";
    return;
  }

  body = Trim(body);
  std::string address;
  if (platform::FindNoCase(body, "DO ") == 0) {
    address = body.substr(3);
  } else if (platform::FindNoCase(body, "SENDTO [") == 0) {
    size_t close = body.find(']');
    if (close == std::string::npos) {
      reason = "SENDTO without a closing \"]\"";
      return;
    }
    computer = Trim(body.substr(8, close - 8));
    if (!ValidComputerId(computer)) {
      reason = "SENDTO names no computer id (it holds \"[\" or a line break)";
      return;
    }
    address = body.substr(close + 1);
    // An empty id or "0.0.0.0" names no particular computer: like "DO ".
    bool local = computer.empty() || computer == kNoComputer ||
                 (!local_id.empty() && EqualsNoCase(computer, Trim(local_id)));
    if (!local) {
      route = Route::kForward;
      return;
    }
  } else {
    reason = "the body begins with neither \"DO \" nor \"SENDTO [\"";
    return;
  }

  address = Trim(address);
  size_t colon = address.find(':');
  size_t line_end = address.find_first_of("\r\n");
  if (colon == std::string::npos || (line_end != std::string::npos && line_end < colon)) {
    reason = "no \"App:\" in front of the text";
    return;
  }
  app = Trim(address.substr(0, colon));
  if (app.empty()) {
    reason = "an empty application name in front of the text";
    return;
  }
  text = address.substr(colon + 1);
  route = Route::kLocal;
}

Dispatcher::Dispatcher(platform::Env& env, databank::Databank& db, Report report)
    : env_(env),
      db_(db),
      registry_(env, db),
      msg_(env, db, registry_),
      side_(env, db, registry_),
      report_(std::move(report)) {}

bool Dispatcher::Start(const std::string& wanted_local_id) {
  platform::Status s;
  input_ = msg_.FileLocationOr(kDispatcherInputKey, std::string(kDispatcherApp) + ".input.POF", &s);
  if (input_.empty()) input_ = msg_.FileLocation(kDispatcherInputKey);
  if (input_.empty()) {
    report_("cannot record \"RORU PO Input\" in C:\\FileLoc" + Cause(s));
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
      report_("cannot record \"Local ID\" in the STATUS databank" + Cause(s));
      Stop();
      return false;
    }
  } else if (!wanted.empty() && wanted != id) {
    report_("this computer's Local ID is already \"" + id + "\"; keeping it");
  }
  local_id_ = id;
  return true;
}

void Dispatcher::Stop() { registry_.UnregisterApplication(kDispatcherApp); }

void Dispatcher::Turn() {
  if (RetryDue()) RetryPending();
  DrainInput();
}

double Dispatcher::PulseSeconds() {
  return registry::TimerInterval(registry_.GetPulse()) / 1000.0;
}

std::string Dispatcher::Watched(const Blocked& b) {
  std::string state = Recorded(b.watch_key);
  if (!b.app.empty()) state += registry_.IsRunning(b.app) ? "|running" : "|absent";
  return state;
}

bool Dispatcher::RetryDue() {
  const float now = env_.Timer();
  // The clock of the day runs over at midnight.
  if (!retried_ || now < last_retry_ || now - last_retry_ >= kPendingRetrySeconds) return true;
  for (auto& [key, b] : blocked_) {
    if (Watched(b) != b.seen) return true;
  }
  return false;
}

bool Dispatcher::ClaimWaiting(const std::string& queue) {
  auto info = env_.FindFile(msg_.ResolveInterfacePath(queue));
  if (!info || info->size == 0) return false;
  bool busy = false;
  if (platform::Status s = msg_.ClaimQueue(queue, &busy); !s) {
    if (!busy) ReportTakeFailure(s);
    return false;
  }
  return true;
}

void Dispatcher::RetryPending() {
  retried_ = true;
  last_retry_ = env_.Timer();
  blocked_.clear();
  if (!ClaimWaiting(pending_)) return;
  std::vector<QueueEntry> entries = msg_.ClaimedEntries();
  std::map<std::string, int> still;
  for (size_t i = 0; i < entries.size() && !platform::StopRequested(); ++i) {
    std::string key;
    Outcome o = Handle(entries[i], i, true, &key);
    if (o == Outcome::kFailed) break;
    if (o == Outcome::kWait) {
      ++still[key];
      continue;
    }
    (void)msg_.MarkHandled(i);  // unmarked: recovery finds it by its note
  }
  if (platform::Status s = msg_.ReleaseClaim(); !s) ReportTakeFailure(s);
  for (auto& [key, n] : still) {
    report_(std::to_string(n) + (n == 1 ? " entry" : " entries") + " still kept in " + pending_ +
            ": " + blocked_[key].reason);
  }
}

void Dispatcher::DrainInput() {
  for (int i = 0; i < kMaxEntriesPerTurn && !platform::StopRequested(); ++i) {
    if (!ClaimWaiting(input_)) return;
    QueueEntry top = msg_.ClaimedTop();
    if (top.empty()) {
      (void)msg_.ReleaseClaim();  // nothing was taken
      return;
    }
    ++stats_.taken;
    if (Handle(top, 0, false, nullptr) == Outcome::kFailed) {
      (void)msg_.ReleaseClaim();  // it stays at the top for the next turn
      return;
    }
    (void)msg_.MarkHandled(0);  // unmarked: recovery finds it landed
    if (platform::Status s = msg_.ReleaseClaim(); !s) {
      ReportTakeFailure(s);
      return;
    }
    take_failed_reported_ = false;
  }
}

void Dispatcher::ReportTakeFailure(const platform::Status& s) {
  if (take_failed_reported_) return;
  report_(s.message() + "; trying again later");
  take_failed_reported_ = true;
}

std::string Dispatcher::Recorded(const std::string& key) {
  db_.ForgetCached(std::string(key));
  return msg_.FileLocation(key);
}

Dispatcher::Outcome Dispatcher::Deliver(RoutedEntry& entry) {
  std::string iface = Recorded(entry.app + " interface");
  std::string delivered = "SET SOURCE = " + entry.source + "\r\n" + entry.text;
  if (iface.empty()) {
    entry.reason = "waiting for \"" + entry.app + " interface\" in C:\\FileLoc";
  } else if (platform::Status s = msg_.AppendEntry(iface, delivered); !s) {
    entry.reason = "cannot append to " + iface + " (\"" + entry.app + " interface\")" + Cause(s);
  } else {
    ++stats_.delivered;
    return Outcome::kDone;
  }
  return Outcome::kWait;
}

Dispatcher::Outcome Dispatcher::Forward(RoutedEntry& entry) {
  std::string key = kRoutePrefix + entry.computer;
  std::string route = Recorded(key);
  if (route.empty()) {
    entry.reason =
        "no route for computer [" + entry.computer + "] (\"" + key + "\" in C:\\FileLoc)";
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
  if (platform::Status s = msg_.AppendEntry(route, entry.stored); !s) {
    entry.reason = "cannot append to " + route + " (route for computer [" + entry.computer + "])" +
                   Cause(s);
    return Outcome::kWait;
  }
  ++stats_.forwarded;
  return Outcome::kDone;
}

platform::Status Dispatcher::Keep(const std::string& queue, const std::string& text) {
  auto info = env_.FindFile(msg_.ResolveInterfacePath(queue));
  if (info && info->size >= kKeptQueueLimit) MoveOldestAside(queue);
  return msg_.AppendEntry(queue, text);
}

void Dispatcher::MoveOldestAside(const std::string& queue) {
  const std::string aside = SideQueuePath(queue, "aside");
  if (!side_.ClaimQueue(queue)) return;
  std::vector<QueueEntry> entries = side_.ClaimedEntries();
  std::vector<QueueEntry> moved;
  int64_t bytes = 0;
  for (const auto& e : entries) {
    if (bytes >= kKeptQueueLimit / 2) break;
    bytes += static_cast<int64_t>(StoredEntry(e).size());
    moved.push_back(e);
  }
  // Noted in the claim, so that a dispatcher killed before it marks them
  // handled does not make the next one move them aside twice.
  side_.HandingOn(0, moved.size());
  platform::Status s = side_.AppendEntries(aside, moved);
  if (s) {
    // An unmarked one is found landed by the recovery.
    for (size_t i = 0; i < moved.size(); ++i) (void)side_.MarkHandled(i);
  }
  platform::Status r = side_.ReleaseClaim();
  const std::string limit =
      queue + " reached its limit of " + std::to_string(kKeptQueueLimit) + " bytes";
  if (s && r) {
    report_(limit + "; its oldest " + std::to_string(moved.size()) + " entries were moved to " +
            aside);
  } else {
    report_(limit + " and its oldest entries could not be moved aside" + Cause(s ? r : s));
  }
}

Dispatcher::Outcome Dispatcher::Handle(const QueueEntry& taken, size_t index, bool from_pending,
                                       std::string* key) {
  // Lines before the first header of a file are nobody's message.
  if (!taken.junk.empty()) {
    const std::string junk = StoredForm(taken.junk);
    if (!Trim(junk).empty()) {
      if (platform::Status s = Keep(undeliverable_, junk); !s) {
        report_("cannot write " + undeliverable_ + Cause(s));
        return Outcome::kFailed;
      }
      ++stats_.undeliverable;
      report_("undeliverable, lines that stand before the first entry of " +
              (from_pending ? pending_ : input_) + "; kept in " + undeliverable_);
    }
  }
  if (taken.text.empty()) return Outcome::kDone;  // a header without text carries nothing

  using Route = RoutedEntry::Route;
  RoutedEntry entry(msg_, taken.text, registry_.GetLocalId());
  // Once an application's or a computer's entry waits, its later entries
  // wait behind it.
  const std::string block_key = entry.route == Route::kLocal ? "APP " + Upper(entry.app)
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
    report_("cannot write " + queue + Cause(kept) + "; the entry stays in " +
            (from_pending ? pending_ : input_));
    return Outcome::kFailed;
  }
  if (outcome == Outcome::kUndeliverable) {
    ++stats_.undeliverable;
    report_("undeliverable, " + entry.reason + "; kept in " + undeliverable_);
  } else {
    ++stats_.pending;
    report_(entry.reason + "; kept in " + pending_);
  }
  return outcome;
}

}  // namespace carob::messaging
