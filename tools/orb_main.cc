// orb, the companion tool: `orb [--trace] COMMAND ARGS...`, `orb --version`,
// `orb --help` (also `-h` and `help`) or `orb COMMAND --help`.
//
// --trace switches the databank I/O log on for the call (the previous log is
// kept as "Database_IO.log.x"); the log lies in orb's program folder.
//
// Help, version and wrong usage touch no file: a command's arguments are
// checked before anything of the family is settled.

#include <algorithm>
#include <cstring>
#include <iostream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "databank/databank.h"
#include "platform/env.h"
#include "platform/signals.h"
#include "tools/orb_commands.h"

namespace carob::tools {
namespace {

// Each command of kOrbCommands (tools/orb_commands.h) and the function that
// runs it, in the same order.
struct Runner {
  std::string_view name;
  OrbCheck check;
  OrbCommand run;
};
constexpr Runner kRunners[] = {
    {"query", CheckBankCall, RunQuery},
    {"set", CheckBankCall, RunSet},
    {"remove", CheckBankCall, RunRemove},
    {"post", CheckPost, RunPost},
    {"take", CheckTake, RunTake},
    {"dispatch", CheckDispatch, RunDispatch},
    {"talk", CheckTalk, RunTalk},
    {"status", CheckOperands, RunStatus},
};

// Set in the environment (to anything), orb only checks its arguments: it
// exits 0 when the command may run and tells a usage error as it would
// otherwise, touching no file. The installed launcher asks so before it
// settles the family's root, so that a usage error needs no home.
constexpr char kCheckOnlyVariable[] = "ORB_CHECK_ONLY";

constexpr bool RunnersMatchTheCommands() {
  if (std::size(kRunners) != std::size(kOrbCommands)) return false;
  for (size_t i = 0; i < std::size(kRunners); ++i) {
    if (kRunners[i].name != kOrbCommands[i].name) return false;
  }
  return true;
}
static_assert(RunnersMatchTheCommands(),
              "kRunners must name the commands of kOrbCommands, in its order");

// What `orb --help` prints: the forms of the call, a line per command with
// what it does, orb's own options, and where to read more.
void PrintHelp(std::ostream& to) {
  to << "usage: orb [--trace] COMMAND ARGS...\n       orb COMMAND --help\n"
        "       orb --help\n       orb --version\n"
        "Works on the files the family shares, carries messages between its programs\n"
        "and talks to them.\n\ncommands:\n";
  for (const OrbCommandInfo& c : kOrbCommands) {
    to << "  " << c.name << std::string(10 - c.name.size(), ' ') << c.summary << "\n";
  }
  to << "\noptions:\n"
        "  --trace      switches the databank I/O log on for the call\n"
        "  --help, -h   prints this help and exits\n"
        "  --version    prints the version and exits\n"
        "\n'orb help COMMAND' tells a command's arguments and options. See orb(1) for more.\n";
}

// What `orb COMMAND --help` prints: the usage line, what the command does and
// a line per option.
void PrintCommandHelp(std::ostream& to, const OrbCommandInfo& c) {
  to << UsageLine(c.name);
  std::string summary(c.summary);
  if (!summary.empty() && summary[0] >= 'a' && summary[0] <= 'z') {
    summary[0] = static_cast<char>(summary[0] - 'a' + 'A');
  }
  to << summary << ".\n";
  if (c.options.empty()) return;
  size_t width = 0;
  for (const OrbOptionInfo& o : c.options) width = std::max(width, o.form.size());
  to << "options:\n";
  for (const OrbOptionInfo& o : c.options) {
    to << "  " << o.form << std::string(width + 2 - o.form.size(), ' ') << o.what << "\n";
  }
}

bool AsksForHelp(const std::string& word) { return word == "--help" || word == "-h"; }

// The runner of the command `name`, null for no command.
const Runner* Find(const std::string& name) {
  for (const Runner& r : kRunners) {
    if (name == r.name) return &r;
  }
  return nullptr;
}

// The usage error of a word that names no command.
int NoSuchCommand(const std::string& word) {
  if (word.starts_with("-")) return UsageError(std::cerr, "", "unrecognised option '" + word + "'");
  return UsageError(std::cerr, "", "unknown command '" + word + "'");
}

int Main(int argc, char** argv) {
  std::vector<std::string> words(argv + 1, argv + argc);
  const bool help = !words.empty() && (AsksForHelp(words[0]) || words[0] == "help");
  // `orb --version`, `orb --help` and `orb help [COMMAND]` take nothing more.
  const size_t most = !words.empty() && words[0] == "help" ? 2 : 1;
  if (!words.empty() && (words[0] == "--version" || help) && words.size() > most) {
    return UsageError(std::cerr, "", "extra operand '" + words.back() + "' after '" + words[0] + "'");
  }
  if (words.size() == 1 && words[0] == "--version") {
    std::cout << "orb " CAROB_VERSION "\n";
    return 0;
  }
  if (words.size() == 1 && help) {
    PrintHelp(std::cout);
    return 0;
  }
  if (words.size() == 2 && words[0] == "help") {
    // `orb help COMMAND`, the same as `orb COMMAND --help`.
    words = {words[1], "--help"};
  }
  bool trace = false;
  size_t at = 0;
  while (at < words.size() && words[at] == "--trace") {
    trace = true;
    ++at;
  }
  if (at >= words.size()) return UsageError(std::cerr, "", "no command given");
  const std::string command = words[at];
  const OrbArgs args(words.begin() + static_cast<long>(at) + 1, words.end());
  const Runner* found = Find(command);
  if (found == nullptr) return NoSuchCommand(command);
  if (args.size() == 1 && AsksForHelp(args[0])) {
    // Alone after a command, --help is a question, never an argument.
    PrintCommandHelp(std::cout, *CommandInfo(command));
    return 0;
  }
  if (int rc = found->check(std::cerr, command, args)) return rc;
  if (!platform::ProcessVariable(kCheckOnlyVariable).empty()) return 0;
  // Only now is the family touched: making the Env settles orb's program
  // folder.
  auto env = platform::NewSystemEnv();
  databank::Databank db(*env);
  if (trace) db.StartDatabankIOLog(true);
  OrbContext ctx{*env, db, std::cin, std::cout, std::cerr, platform::StdinIsTerminal()};
  int rc = found->run(ctx, args);
  std::cout.flush();
  return rc;
}

}  // namespace
}  // namespace carob::tools

int main(int argc, char** argv) { return carob::tools::Main(argc, argv); }
