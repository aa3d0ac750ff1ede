// The commands of `orb`, the companion tool of the family. Each command
// group lives in a file of its own (orb_<group>.cc) and gets one line in the
// command table of orb_main.cc.
//
// Conventions of every command: BANK and FILE names are taken exactly as the
// programs of the family take them (a bare name lies in orb's own program
// folder, a name with ":" is a full path); wrong usage prints the usage to
// standard error and returns 2; an operation that could not be done returns
// 1; output lines end with "\n".
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "databank/databank.h"
#include "platform/env.h"
#include "platform/status.h"

namespace carob::tools {

// What every command gets: the platform, the process's databank engine and
// the standard streams.
struct OrbContext {
  platform::Env& env;
  databank::Databank& db;
  std::istream& in;
  std::ostream& out;
  std::ostream& err;
  bool interactive = false;  // standard input is a terminal
};

// ": cause" of a failure, "" of a success, for a message that goes on.
inline std::string Cause(const platform::Status& s) { return s ? std::string() : ": " + s.cause(); }

using OrbArgs = std::vector<std::string>;
using OrbCommand = int (*)(OrbContext&, const OrbArgs& args);

// orb_databank.cc
// `orb query BANK KEY`: the value and a newline (an empty line when absent).
int RunQuery(OrbContext& ctx, const OrbArgs& args);
// `orb set BANK KEY VALUE`: stores (an empty VALUE removes the key).
int RunSet(OrbContext& ctx, const OrbArgs& args);
// `orb remove BANK KEY`.
int RunRemove(OrbContext& ctx, const OrbArgs& args);

// orb_queue.cc
// `orb post FILE TEXT`: appends one entry to a queue file.
int RunPost(OrbContext& ctx, const OrbArgs& args);
// `orb take FILE`: prints the top entry's text exactly as read and removes it.
int RunTake(OrbContext& ctx, const OrbArgs& args);

// orb_dispatch.cc
// `orb dispatch [--once] [--local-id ID]`: the dispatcher "RORU PO".
int RunDispatch(OrbContext& ctx, const OrbArgs& args);
// orb_talk.cc
// `orb talk [APP] [--to ID] [--wait SECONDS] [--answers N]`: the console of "User".
int RunTalk(OrbContext& ctx, const OrbArgs& args);
// orb_status.cc
// `orb status`: the STATUS registry, grouped by application.
int RunStatus(OrbContext& ctx, const OrbArgs& args);

}  // namespace carob::tools
