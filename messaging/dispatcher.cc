// The dispatcher's routing engine: how an entry of the input file is taken
// apart, where it goes, and what waits or is kept.
#include "messaging/dispatcher.h"

#include <algorithm>
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

constexpr size_t kMaxEntriesPerTurn = 100000;
// The most entries handed on under one claim. A claim holds back the
// queue's rebuild, so a long queue goes in rounds of this many: what is
// handed on leaves the queue a round at a time, and a dispatcher killed in
// a round leaves its successor at most a round to sort out.
constexpr size_t kBatchLimit = 64;

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
  // Looked up afresh: on a share what the client kept of the file may not
  // show another computer's append yet.
  std::optional<platform::FileInfo> info;
  if (!env_.LookUp(msg_.ResolveInterfacePath(queue), info)) return false;
  const bool first = looked_.insert(queue).second;
  if ((!info || info->size == 0) && !first) return false;
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
  (void)HandleBatch(entries, true, &still);
  if (platform::Status s = msg_.ReleaseClaim(); !s) ReportTakeFailure(s);
  for (auto& [key, n] : still) {
    report_(std::to_string(n) + (n == 1 ? " entry" : " entries") + " still kept in " + pending_ +
            ": " + blocked_[key].reason);
  }
}

void Dispatcher::DrainInput() {
  for (size_t taken = 0; taken < kMaxEntriesPerTurn && !platform::StopRequested();) {
    if (!ClaimWaiting(input_)) return;
    // Everything the read saw is handed on under this one claim; what was
    // appended meanwhile waits for the next round.
    std::vector<QueueEntry> entries = msg_.ClaimedEntries();
    entries.resize(std::min({entries.size(), kBatchLimit, kMaxEntriesPerTurn - taken}));
    if (entries.empty()) {
      (void)msg_.ReleaseClaim();  // nothing was taken
      return;
    }
    const bool whole = HandleBatch(entries, false, nullptr);
    taken += entries.size();
    if (platform::Status s = msg_.ReleaseClaim(); !s) {
      ReportTakeFailure(s);
      return;
    }
    if (!whole) return;  // the rest stays at the top for the next turn
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

std::string Dispatcher::Target(RoutedEntry& entry, std::map<std::string, std::string>& recorded,
                               Outcome* outcome) {
  const bool local = entry.route == RoutedEntry::Route::kLocal;
  const std::string key = local ? entry.app + " interface" : kRoutePrefix + entry.computer;
  // Read afresh once a batch: another program may have just recorded it.
  auto [at, fresh] = recorded.try_emplace(Upper(key));
  if (fresh) at->second = Recorded(key);
  const std::string& target = at->second;
  if (local) {
    if (target.empty()) {
      entry.reason = "waiting for \"" + key + "\" in C:\\FileLoc";
      *outcome = Outcome::kWait;
    }
    return target;
  }
  if (target.empty()) {
    entry.reason = "no route for computer [" + entry.computer + "] (\"" + key + "\" in C:\\FileLoc)";
    *outcome = Outcome::kUndeliverable;
  } else if (EqualsNoCase(Trim(target), Trim(input_))) {
    // A route back into this dispatcher's own input would pass the entry
    // round and round for ever.
    entry.reason = "the route for computer [" + entry.computer + "] leads back to this dispatcher";
    *outcome = Outcome::kUndeliverable;
  }
  return target;
}

std::string Dispatcher::AppendCause(const RoutedEntry& entry, const std::string& target,
                                    const platform::Status& s) {
  // A shared folder that is not there at the moment (not mounted, no
  // network) loses nothing: the entry waits and is handed on later.
  if (entry.route == RoutedEntry::Route::kLocal) {
    return "cannot append to " + target + " (\"" + entry.app + " interface\")" + Cause(s);
  }
  return "cannot append to " + target + " (route for computer [" + entry.computer + "])" + Cause(s);
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

// One entry of a batch on its way.
struct Dispatcher::Step {
  size_t index = 0;
  std::optional<RoutedEntry> entry;
  std::string block_key;
  Outcome outcome = Outcome::kDone;
  std::string target;   // the file it is appended to, while it goes on
  std::string written;  // the text appended there
};

void Dispatcher::Block(const std::string& block_key, const RoutedEntry& entry) {
  const bool local = entry.route == RoutedEntry::Route::kLocal;
  Blocked b{entry.reason, local ? entry.app + " interface" : kRoutePrefix + entry.computer,
            local ? entry.app : std::string(), ""};
  b.seen = Watched(b);
  blocked_[block_key] = std::move(b);
}

bool Dispatcher::HandleBatch(const std::vector<QueueEntry>& entries, bool from_pending,
                             std::map<std::string, int>* still) {
  using Route = RoutedEntry::Route;
  const std::string& source_queue = from_pending ? pending_ : input_;
  const std::string local_id = registry_.GetLocalId();
  std::map<std::string, std::string> recorded;
  std::vector<Step> steps;

  // First every entry's way, in order: once an application's or a
  // computer's entry waits, its later entries wait behind it.
  for (size_t i = 0; i < entries.size(); ++i) {
    const QueueEntry& taken = entries[i];
    // Lines before the first header of a file are nobody's message.
    if (const std::string junk = StoredForm(taken.junk); !Trim(junk).empty()) {
      if (platform::Status s = Keep(undeliverable_, junk); !s) {
        report_("cannot write " + undeliverable_ + Cause(s));
        break;  // it and what follows stay where they are
      }
      ++stats_.undeliverable;
      report_("undeliverable, lines that stand before the first entry of " + source_queue +
              "; kept in " + undeliverable_);
    }
    if (!from_pending) ++stats_.taken;
    Step& step = steps.emplace_back();
    step.index = i;
    if (taken.text.empty()) continue;  // a header without text carries nothing
    RoutedEntry& entry = step.entry.emplace(msg_, taken.text, local_id);
    step.block_key = entry.route == Route::kLocal ? "APP " + Upper(entry.app)
                                                   : "COMPUTER " + Upper(entry.computer);
    if (entry.route == Route::kUndeliverable) {
      step.outcome = Outcome::kUndeliverable;
      continue;
    }
    if (auto it = blocked_.find(step.block_key); it != blocked_.end()) {
      step.outcome = Outcome::kWait;
      entry.reason = "behind earlier entries that wait: " + it->second.reason;
      continue;
    }
    step.target = Target(entry, recorded, &step.outcome);
    if (step.outcome != Outcome::kDone) {
      if (step.outcome == Outcome::kWait) Block(step.block_key, entry);
      continue;
    }
    step.written = entry.route == Route::kLocal
                       ? "SET SOURCE = " + entry.source + "\r\n" + entry.text
                       : entry.stored;
    if (SplitsIntoEntries(step.written)) {
      // Refused before anything is written; the entry waits, as any other
      // that cannot be appended.
      entry.reason = AppendCause(entry, step.target, msg_.AppendEntry(step.target, step.written));
      step.outcome = Outcome::kWait;
      Block(step.block_key, entry);
      continue;
    }
    step.outcome = Outcome::kFailed;  // until its append is made
  }

  // Then the entries for one file go on together, in their order: one
  // append and one note in the claim file for all of them.
  std::vector<bool> grouped(steps.size(), false);
  bool stopped = false;
  for (size_t i = 0; i < steps.size(); ++i) {
    if (grouped[i] || steps[i].outcome != Outcome::kFailed) continue;
    if (platform::StopRequested()) {
      stopped = true;  // the rest stays where it is, for the next start
      break;
    }
    std::vector<size_t> group, indices;
    std::vector<std::string> texts;
    for (size_t j = i; j < steps.size(); ++j) {
      if (grouped[j] || steps[j].outcome != Outcome::kFailed ||
          !EqualsNoCase(steps[j].target, steps[i].target)) {
        continue;
      }
      grouped[j] = true;
      group.push_back(j);
      indices.push_back(steps[j].index);
      texts.push_back(steps[j].written);
    }
    msg_.HandingOn(indices);
    const platform::Status s = msg_.AppendTexts(steps[i].target, texts);
    msg_.HandingOn(std::nullopt);
    for (size_t j : group) {
      Step& step = steps[j];
      if (s) {
        step.outcome = Outcome::kDone;
        ++(step.entry->route == Route::kLocal ? stats_.delivered : stats_.forwarded);
        continue;
      }
      step.outcome = Outcome::kWait;
      if (auto it = blocked_.find(step.block_key); it != blocked_.end()) {
        step.entry->reason = "behind earlier entries that wait: " + it->second.reason;
      } else {
        step.entry->reason = AppendCause(*step.entry, step.target, s);
        Block(step.block_key, *step.entry);
      }
    }
    // Unmarked ones are found landed by their note.
    if (s) (void)msg_.MarkHandled(indices);
  }

  // Last what must wait or cannot go at all is kept, in order; an entry of
  // the pending queue that must still wait stays where it is.
  std::vector<size_t> done;
  for (Step& step : steps) {
    if (step.outcome == Outcome::kFailed) {
      if (stopped) break;
      continue;
    }
    if (step.outcome == Outcome::kDone) {
      if (!step.entry) done.push_back(step.index);  // carried nothing
      continue;
    }
    if (step.outcome == Outcome::kWait && from_pending) {
      if (still) ++(*still)[step.block_key];
      continue;
    }
    const std::string& queue = step.outcome == Outcome::kWait ? pending_ : undeliverable_;
    msg_.HandingOn(step.index);
    const platform::Status kept = Keep(queue, step.entry->stored);
    msg_.HandingOn(std::nullopt);
    if (!kept) {
      report_("cannot write " + queue + Cause(kept) + "; the entry stays in " + source_queue);
      (void)msg_.MarkHandled(done);
      return false;
    }
    done.push_back(step.index);
    if (step.outcome == Outcome::kUndeliverable) {
      ++stats_.undeliverable;
      report_("undeliverable, " + step.entry->reason + "; kept in " + undeliverable_);
    } else {
      ++stats_.pending;
      report_(step.entry->reason + "; kept in " + pending_);
    }
  }
  (void)msg_.MarkHandled(done);  // unmarked: recovery finds the kept ones by their note
  return !stopped && steps.size() == entries.size();
}

}  // namespace carob::messaging
