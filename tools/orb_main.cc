// orb, the companion tool: `orb [--trace] COMMAND ARGS...`, `orb --version`,
// `orb --help` (also `-h` and `help`) or `orb COMMAND --help`.
//
// --trace switches the databank I/O log on for the call (the previous log is
// kept as "Database_IO.log.x"); the log lies in orb's program folder.

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
  OrbCommand run;
};
constexpr Runner kRunners[] = {
    {"query", RunQuery},       {"set", RunSet},   {"remove", RunRemove},
    {"post", RunPost},         {"take", RunTake}, {"dispatch", RunDispatch},
    {"talk", RunTalk},         {"status", RunStatus},
};

constexpr bool RunnersMatchTheCommands() {
  if (std::size(kRunners) != std::size(kOrbCommands)) return false;
  for (size_t i = 0; i < std::size(kRunners); ++i) {
    if (kRunners[i].name != kOrbCommands[i].name) return false;
  }
  return true;
}
static_assert(RunnersMatchTheCommands(),
              "kRunners must name the commands of kOrbCommands, in its order");

// The whole usage: on standard output when asked for (exit 0), on standard
// error after wrong usage (exit 2).
int Usage(std::ostream& to, int code = 2) {
  to << "usage: orb [--trace] COMMAND ARGS...\n       orb COMMAND --help\n"
        "       orb --help\n       orb --version\ncommands:\n";
  for (const OrbCommandInfo& c : kOrbCommands) to << "  orb " << c.synopsis << "\n";
  return code;
}

bool AsksForHelp(const std::string& word) { return word == "--help" || word == "-h"; }

// The runner of the command `name`, null for no command.
const Runner* Find(const std::string& name) {
  for (const Runner& r : kRunners) {
    if (name == r.name) return &r;
  }
  return nullptr;
}

int Main(int argc, char** argv) {
  std::vector<std::string> words(argv + 1, argv + argc);
  if (words.size() == 1 && words[0] == "--version") {
    std::cout << "orb " CAROB_VERSION "\n";
    return 0;
  }
  if (words.size() == 1 && (AsksForHelp(words[0]) || words[0] == "help")) {
    return Usage(std::cout, 0);
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
  if (at >= words.size()) return Usage(std::cerr);
  const std::string command = words[at];
  const OrbArgs args(words.begin() + static_cast<long>(at) + 1, words.end());
  const Runner* found = Find(command);
  if (found == nullptr) {
    std::cerr << "orb: unknown command \"" << command << "\"\n";
    return Usage(std::cerr);
  }
  if (args.size() == 1 && AsksForHelp(args[0])) {
    // Alone after a command, --help is a question, never an argument.
    std::cout << UsageLine(command);
    return 0;
  }
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
