// The commands of `orb`, the companion tool of the family. Each command
// group lives in a file of its own (orb_<group>.cc). kOrbCommands below is the
// one list of the commands: orb's help is printed from it, orb_main.cc ties
// each entry to its Run function (a build fails when the two disagree), and
// orb_command_table_test checks the command lists of docs/orb.md, the man
// page and the bash completion against it.
//
// Conventions of every command: BANK and FILE names are taken exactly as the
// programs of the family take them (a bare name lies in orb's own program
// folder, a name with ":" is a full path); wrong usage names the problem in
// one line on standard error, followed by "Try 'orb help COMMAND'.", and
// returns 2 (UsageError below), found by the command's check before any
// file is touched; an operation that could not be done returns
// 1; output lines end with "\n".
#pragma once

#include <algorithm>
#include <ostream>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "databank/databank.h"
#include "messaging/messaging.h"
#include "platform/env.h"
#include "platform/status.h"

namespace carob::tools {

// One option of a command: how it is written (the option and its argument,
// as the synopsis writes them) and what it does, in a few words.
struct OrbOptionInfo {
  std::string_view form;
  std::string_view what;
};

// One command of orb: its name, its synopsis (the name and its arguments, as
// `orb COMMAND --help` prints it after "usage: orb "), what it does, in a
// line, and its options, one entry for each option of the synopsis.
struct OrbCommandInfo {
  std::string_view name;
  std::string_view synopsis;
  std::string_view summary;
  std::span<const OrbOptionInfo> options = {};
};

inline constexpr OrbOptionInfo kDispatchOptions[] = {
    {"--once", "runs one turn, prints what it did and exits"},
    {"--local-id ID", "records ID as this computer's Local ID"},
};

inline constexpr OrbOptionInfo kTalkOptions[] = {
    {"--to ID", "addresses APP on the computer ID, through its route"},
    {"--wait SECONDS", "after the end of input, leaves once no answer has come for so long (default 3)"},
    {"--answers N", "after the end of input, leaves once N texts have arrived"},
    {"--prompt", "shows the prompt \"you> \" whatever standard input is"},
    {"--no-prompt", "leaves the prompt out whatever standard input is"},
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
     "runs the dispatcher \"RORU PO\", which carries messages between the programs",
     kDispatchOptions},
    {"talk", "talk [APP] [--to ID] [--wait SECONDS] [--answers N] [--prompt|--no-prompt]",
     "the console of the application \"User\": sends each line of standard input to APP "
     "(default CAROB) and prints what arrives",
     kTalkOptions},
    {"status", "status", "prints the STATUS registry, grouped by application"},
};

// The entry of the command `name`, null for no command.
constexpr const OrbCommandInfo* CommandInfo(std::string_view name) {
  for (const OrbCommandInfo& c : kOrbCommands) {
    if (c.name == name) return &c;
  }
  return nullptr;
}

// The synopsis of the command `name`, "" for no command.
constexpr std::string_view SynopsisOf(std::string_view name) {
  const OrbCommandInfo* c = CommandInfo(name);
  return c ? c->synopsis : std::string_view();
}

// "usage: orb <synopsis>\n" of the command `name`: the first line of what
// `orb COMMAND --help` prints.
inline std::string UsageLine(std::string_view name) {
  return "usage: orb " + std::string(SynopsisOf(name)) + "\n";
}

// The operands of the command `name`: the words of its synopsis in capitals
// outside brackets ("BANK", "KEY", "VALUE"), in order.
inline std::vector<std::string_view> OperandsOf(std::string_view name) {
  std::vector<std::string_view> operands;
  std::string_view s = SynopsisOf(name);
  int depth = 0;
  size_t at = 0;
  while (at < s.size()) {
    const size_t end = std::min(s.find(' ', at), s.size());
    const std::string_view word = s.substr(at, end - at);
    for (char ch : word) depth += ch == '[' ? 1 : ch == ']' ? -1 : 0;
    const bool bracketed = depth > 0 || word.find(']') != std::string_view::npos;
    if (!bracketed && !word.empty() && word.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZ") ==
                                           std::string_view::npos) {
      operands.push_back(word);
    }
    at = end + 1;
  }
  return operands;
}

// A usage error of the command `name` ("" before a command): one line that
// names the problem, "orb NAME: PROBLEM", then where to read more, on `err`.
// Returns 2, orb's exit status after wrong usage.
inline int UsageError(std::ostream& err, std::string_view name, std::string_view problem) {
  if (name.empty()) {
    err << "orb: " << problem << "\nTry 'orb --help'.\n";
  } else {
    err << "orb " << name << ": " << problem << "\nTry 'orb help " << name << "'.\n";
  }
  return 2;
}

// The usage error of operands missing or left over: `args` against the
// operands of the command `name` (the last one takes every word left when
// `last_takes_rest`). 0 when their number is right.
inline int OperandError(std::ostream& err, std::string_view name, const std::vector<std::string>& args,
                        bool last_takes_rest = false) {
  const std::vector<std::string_view> operands = OperandsOf(name);
  if (args.size() < operands.size()) {
    std::string problem = "missing " + std::string(operands[args.size()]);
    if (!args.empty()) problem += " after '" + args.back() + "'";
    return UsageError(err, name, problem);
  }
  if (args.size() > operands.size() && !last_takes_rest) {
    return UsageError(err, name, "extra operand '" + args[operands.size()] + "'");
  }
  return 0;
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
// The check of a command's arguments (`name` is the command's): the usage
// error told on `err` and 2, or 0 when the command may run. It reads only
// its arguments: no file, no variable, no home.
using OrbCheck = int (*)(std::ostream& err, std::string_view name, const OrbArgs& args);
// A command run with arguments its check passed; orb's exit status.
using OrbCommand = int (*)(OrbContext&, const OrbArgs& args);

// The check of a command that takes exactly the operands of its synopsis.
inline int CheckOperands(std::ostream& err, std::string_view name, const OrbArgs& args) {
  return OperandError(err, name, args);
}

// The commands of kOrbCommands, by the file that holds them: each check and
// run takes the arguments after the command's name.
// orb_databank.cc
int CheckBankCall(std::ostream& err, std::string_view name, const OrbArgs& args);
int RunQuery(OrbContext& ctx, const OrbArgs& args);
int RunSet(OrbContext& ctx, const OrbArgs& args);
int RunRemove(OrbContext& ctx, const OrbArgs& args);
// orb_queue.cc
int CheckPost(std::ostream& err, std::string_view name, const OrbArgs& args);
int CheckTake(std::ostream& err, std::string_view name, const OrbArgs& args);
int RunPost(OrbContext& ctx, const OrbArgs& args);
int RunTake(OrbContext& ctx, const OrbArgs& args);
// The text of the top entry of the queue `file`, taken off it ("" when the
// queue is empty or missing); entries without text are removed on the way.
// The text is what was taken off while the queue was held.
platform::Status TakeNextText(platform::Env& env, messaging::Messaging& msg, const std::string& file,
                              std::string& text);
// orb_dispatch.cc
int CheckDispatch(std::ostream& err, std::string_view name, const OrbArgs& args);
int RunDispatch(OrbContext& ctx, const OrbArgs& args);
// orb_talk.cc
int CheckTalk(std::ostream& err, std::string_view name, const OrbArgs& args);
int RunTalk(OrbContext& ctx, const OrbArgs& args);
// orb_status.cc
int RunStatus(OrbContext& ctx, const OrbArgs& args);

}  // namespace carob::tools
