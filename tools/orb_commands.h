// The commands of `orb`, the companion tool of the family. Each command
// group lives in a file of its own (orb_<group>.cc). kOrbCommands below is the
// one list of the commands: orb's usage is printed from it, orb_main.cc ties
// each entry to its Run function (a build fails when the two disagree), and
// orb_command_table_test checks the command lists of docs/orb.md, the man
// page and the bash completion against it.
//
// Conventions of every command: BANK and FILE names are taken exactly as the
// programs of the family take them (a bare name lies in orb's own program
// folder, a name with ":" is a full path); wrong usage prints the usage to
// standard error and returns 2; an operation that could not be done returns
// 1; output lines end with "\n".
#pragma once

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "databank/databank.h"
#include "platform/env.h"
#include "platform/status.h"

namespace carob::tools {

// One command of orb: its name, its synopsis (the name and its arguments, as
// `orb COMMAND --help` prints it after "usage: orb ") and what it does, in a
// line.
struct OrbCommandInfo {
  std::string_view name;
  std::string_view synopsis;
  std::string_view summary;
};

// Every command, in the order of orb's usage.
inline constexpr OrbCommandInfo kOrbCommands[] = {
    {"query", "query BANK KEY", "prints the value (an empty line when absent)"},
    {"set", "set BANK KEY VALUE", "stores a value (an empty VALUE removes the key)"},
    {"remove", "remove BANK KEY", "removes a key"},
    {"post", "post FILE TEXT", "appends one entry to a queue file"},
    {"take", "take FILE",
     "prints the top entry's text exactly as read (CR LF after every line) and removes it"},
    {"dispatch", "dispatch [--once] [--local-id ID]",
     "runs the dispatcher \"RORU PO\", which carries messages between the programs"},
    {"talk", "talk [APP] [--to ID] [--wait SECONDS] [--answers N] [--prompt|--no-prompt]",
     "the console of the application \"User\": sends each line of standard input to APP "
     "(default CAROB) and prints what arrives"},
    {"status", "status", "prints the STATUS registry, grouped by application"},
};

// The synopsis of the command `name`, "" for no command.
constexpr std::string_view SynopsisOf(std::string_view name) {
  for (const OrbCommandInfo& c : kOrbCommands) {
    if (c.name == name) return c.synopsis;
  }
  return {};
}

// "usage: orb <synopsis>\n" of the command `name`: what `orb COMMAND --help`
// prints, and what wrong usage of the command prints on standard error.
inline std::string UsageLine(std::string_view name) {
  return "usage: orb " + std::string(SynopsisOf(name)) + "\n";
}

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

// The commands of kOrbCommands, by the file that holds them; each takes the
// arguments after its name and returns orb's exit status.
// orb_databank.cc
int RunQuery(OrbContext& ctx, const OrbArgs& args);
int RunSet(OrbContext& ctx, const OrbArgs& args);
int RunRemove(OrbContext& ctx, const OrbArgs& args);
// orb_queue.cc
int RunPost(OrbContext& ctx, const OrbArgs& args);
int RunTake(OrbContext& ctx, const OrbArgs& args);
// orb_dispatch.cc
int RunDispatch(OrbContext& ctx, const OrbArgs& args);
// orb_talk.cc
int RunTalk(OrbContext& ctx, const OrbArgs& args);
// orb_status.cc
int RunStatus(OrbContext& ctx, const OrbArgs& args);

}  // namespace carob::tools
