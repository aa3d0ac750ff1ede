// The family around CAROB inside `orb`: the dispatcher ("RORU PO",
// `orb dispatch`) and the user's console ("User", `orb talk`).
#pragma once

#include <iosfwd>
#include <set>
#include <string>
#include <vector>

#include "databank/databank.h"
#include "messaging/messaging.h"
#include "platform/env.h"
#include "registry/registry.h"

namespace carob::tools {

inline constexpr char kDispatcherApp[] = "RORU PO";
inline constexpr char kRoutePrefix[] = "RORU PO Route ";
inline constexpr char kConsoleApp[] = "User";
using messaging::kNoComputer;  // the id that names no particular computer

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
                       const std::string& local_id);
// The text that local delivery appends to the addressee's interface file.
std::string DeliveredText(const RoutedEntry& entry);
// A queue file beside the input file: "X.input.POF" -> "X.input.<kind>.POF".
std::string SideQueuePath(const std::string& input_path, const std::string& kind);

struct DispatchStats {
  int taken = 0;
  int delivered = 0;
  int forwarded = 0;
  int pending = 0;  // newly put aside to wait (no interface key, or a file not writable now)
  int undeliverable = 0;
};

class Dispatcher {
 public:
  static constexpr int kMaxEntriesPerTurn = 100000;

  Dispatcher(platform::Env& env, databank::Databank& db, registry::Registry& registry,
             messaging::Messaging& msg, std::ostream& err);

  // Records the input file in "C:\FileLoc", registers "RORU PO" as running
  // and records the Local ID when none is recorded. False when the input
  // file or the Local ID cannot be recorded.
  bool Start(const std::string& wanted_local_id);
  // Records "RORU PO" as no longer running.
  void Stop();
  // One turn of the loop: the pending queue, then every entry waiting in the
  // input file.
  void Turn();
  // The loop's interval from the STATUS databank's Pulse, in milliseconds,
  // by the receive timer's rule (registry::TimerInterval).
  int PulseMs();

  const std::string& input() const { return input_; }
  const std::string& pending() const { return pending_; }
  const std::string& undeliverable() const { return undeliverable_; }
  const DispatchStats& stats() const { return stats_; }

 private:
  bool HasContent(const std::string& file);
  bool TakeTop(const std::string& file, std::string& text);
  int CountEntries(const std::string& file);
  std::string InterfaceOf(const std::string& app);
  enum class Outcome { kDone, kWait, kUndeliverable };
  Outcome Deliver(RoutedEntry& entry, std::set<std::string>& blocked);
  Outcome Forward(RoutedEntry& entry, std::set<std::string>& blocked);
  // Passes one entry on, or puts it into the pending or the undeliverable
  // queue. False when it could not even be put aside (it then goes back into
  // the input file and the turn ends).
  bool Handle(const std::string& entry_text, std::set<std::string>& blocked, bool from_pending);

  platform::Env& env_;
  databank::Databank& db_;
  registry::Registry& registry_;
  messaging::Messaging& msg_;
  std::ostream& err_;
  std::string input_;
  std::string pending_;
  std::string undeliverable_;
  bool take_failed_reported_ = false;
  DispatchStats stats_;
};

}  // namespace carob::tools
