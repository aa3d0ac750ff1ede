// The dispatcher of the family ("RORU PO"): the routing engine that `orb
// dispatch` runs, one turn at a time.
//
// Every program sends by appending a ROZ entry to the file that "C:\FileLoc"
// records under kDispatcherInputKey. The dispatcher owns that file: at every
// turn (the command runs one turn a Pulse of the STATUS databank) it takes
// every waiting entry and passes each one on:
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
// undeliverable queue beside the input file. Both are reported, each kept
// entry with its reason.
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
// it signed on or off), or every kPendingRetrySeconds of the Env's clock for
// a file that could not be written. The kept queues hold at most
// kKeptQueueLimit bytes each; beyond that their oldest entries are moved to
// a ".aside" queue beside them, and that is reported too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "databank/databank.h"
#include "messaging/messaging.h"
#include "platform/env.h"
#include "platform/status.h"
#include "registry/registry.h"

namespace carob::messaging {

// The name the dispatcher registers under in the STATUS databank.
inline constexpr const char* kDispatcherApp = "RORU PO";
// The "C:\FileLoc" key of another computer's dispatcher input: this + its id.
inline constexpr const char* kRoutePrefix = "RORU PO Route ";
// Seconds between two looks through the pending queue when nothing about a
// waiting addressee changed.
inline constexpr double kPendingRetrySeconds = 30;
// The most bytes a kept queue (pending, undeliverable) holds.
inline constexpr int64_t kKeptQueueLimit = 4 << 20;

// What the dispatcher did since it started.
struct DispatchStats {
  int taken = 0;
  int delivered = 0;
  int forwarded = 0;
  int pending = 0;  // newly put aside to wait (no interface key, or a file not writable now)
  int undeliverable = 0;
  bool operator==(const DispatchStats&) const = default;
};

// A queue file beside the input file: "X.input.POF" -> "X.input.<kind>.POF".
std::string SideQueuePath(const std::string& input_path, const std::string& kind);

class Dispatcher {
 public:
  // Receives each line the dispatcher has to say (a kept entry and why, a
  // queue moved aside, a queue that cannot be taken from), without its end.
  using Report = std::function<void(const std::string& line)>;

  // Works through `env` (its clock times the pending queue's looks) and the
  // databank engine `db` of the caller's process.
  Dispatcher(platform::Env& env, databank::Databank& db, Report report);

  // Records the input file in "C:\FileLoc", registers "RORU PO" as running
  // and records the Local ID when none is recorded (`wanted_local_id`, else
  // the host name). False, with a report, when the input file or the Local
  // ID cannot be recorded.
  bool Start(const std::string& wanted_local_id);
  // Records "RORU PO" as no longer running.
  void Stop();

  // One turn: the waiting entries when they may have become deliverable,
  // then everything that waits in the input file; an application or a
  // computer whose entries wait keeps its order: its new entries queue
  // behind the old ones. A stop request (platform::StopRequested) ends the
  // turn between two entries.
  void Turn();

  // The interval between two turns from the STATUS databank's Pulse, in
  // seconds, by the receive timer's rule (registry::TimerInterval).
  double PulseSeconds();

  const DispatchStats& stats() const { return stats_; }
  // The queues, known once Start succeeded.
  const std::string& input() const { return input_; }
  const std::string& pending() const { return pending_; }
  const std::string& undeliverable() const { return undeliverable_; }
  // This computer's Local ID, known once Start succeeded.
  const std::string& local_id() const { return local_id_; }

 private:
  enum class Outcome { kDone, kWait, kUndeliverable, kFailed };
  struct RoutedEntry;
  struct Step;

  // An addressee whose entries wait, why, and what is watched for a change.
  struct Blocked {
    std::string reason;
    std::string watch_key;  // the "C:\FileLoc" key of its interface or route
    std::string app;        // the application, for its running state
    std::string seen;       // the watched state when it was blocked
  };

  std::string Watched(const Blocked& b);
  bool RetryDue();
  // Claims a queue that holds something, or any queue at its first look:
  // false when it is empty (after its first look), another taker has it,
  // or the claim failed (then reported).
  bool ClaimWaiting(const std::string& queue);
  // Looks through the pending queue once: what can go now goes, in order,
  // and leaves the queue in one rewrite; the rest stays where it is.
  void RetryPending();
  // Takes the entries of the input file a claim at a time, every entry the
  // claim's read saw at once, each off the file only once it is passed on
  // or put aside.
  void DrainInput();
  void ReportTakeFailure(const platform::Status& s);
  // The value of a "C:\FileLoc" key another program records, read afresh.
  std::string Recorded(const std::string& key);
  // Where an entry goes: the addressee's interface file (kLocal) or the
  // input file of the dispatcher of another computer (kForward), each key
  // read once per batch (`recorded`). Sets *outcome to kWait (no interface
  // recorded yet) or kUndeliverable (no route, or one back to us), with the
  // entry's reason.
  std::string Target(RoutedEntry& entry, std::map<std::string, std::string>& recorded,
                     Outcome* outcome);
  // Why an append to `target` failed, as the kept entry's reason.
  std::string AppendCause(const RoutedEntry& entry, const std::string& target,
                          const platform::Status& s);
  // Makes the later entries of `block_key` wait behind `entry`.
  void Block(const std::string& block_key, const RoutedEntry& entry);
  // Keeps an entry in a kept queue; a queue past its limit first moves its
  // oldest entries aside.
  platform::Status Keep(const std::string& queue, const std::string& text);
  void MoveOldestAside(const std::string& queue);
  // Passes on, or keeps in the pending or the undeliverable queue, every
  // entry of the claimed queue (`entries`, as read): the entries for one
  // file go in one append, noted as one in the claim file before it writes,
  // and are marked handled together after it. An entry of the pending queue
  // that must still wait stays where it is (counted in *still by its
  // addressee). False when the batch ended early (an entry could not even
  // be kept, or a stop was requested): what was not handed on stays where
  // it was, and the turn ends.
  bool HandleBatch(const std::vector<QueueEntry>& entries, bool from_pending,
                   std::map<std::string, int>* still);

  platform::Env& env_;
  databank::Databank& db_;
  registry::Registry registry_;
  Messaging msg_;
  Messaging side_;  // moves a kept queue's oldest entries aside
  Report report_;
  std::string input_;
  std::string pending_;
  std::string undeliverable_;
  std::string local_id_;
  bool take_failed_reported_ = false;
  std::map<std::string, Blocked> blocked_;
  bool retried_ = false;
  // The queues claimed once already: an empty one is claimed at its first
  // look all the same, so that what a killed dispatcher left of its claim
  // (finished work, entries it kept aside) is finished at the next start,
  // not at the next entry.
  std::set<std::string> looked_;
  float last_retry_ = 0;
  DispatchStats stats_;
};

}  // namespace carob::messaging
