// orb, the companion tool: `orb [--trace] COMMAND ARGS...`, or
// `orb --version`.
//
// --trace switches the databank I/O log on for the call (the previous log is
// kept as "Database_IO.log.x"); the log lies in orb's program folder.

#include <cstring>
#include <iostream>
#include <string>
#include <vector>

#include "databank/databank.h"
#include "platform/env.h"
#include "platform/signals.h"
#include "tools/orb_commands.h"

namespace carob::tools {
namespace {

struct CommandLine {
  const char* name;
  const char* usage;
  OrbCommand run;
};

// One line per command.
const CommandLine kCommands[] = {
    {"query", "query BANK KEY", RunQuery},
    {"set", "set BANK KEY VALUE", RunSet},
    {"remove", "remove BANK KEY", RunRemove},
    {"post", "post FILE TEXT", RunPost},
    {"take", "take FILE", RunTake},
    {"dispatch", "dispatch [--once] [--local-id ID]", RunDispatch},
    {"talk", "talk [APP] [--to ID] [--wait SECONDS]", RunTalk},
    {"status", "status", RunStatus},
};

int Usage(std::ostream& err) {
  err << "usage: orb [--trace] COMMAND ARGS...\n       orb --version\ncommands:\n";
  for (const CommandLine& c : kCommands) err << "  orb " << c.usage << "\n";
  return 2;
}

int Main(int argc, char** argv) {
  std::vector<std::string> words(argv + 1, argv + argc);
  if (words.size() == 1 && words[0] == "--version") {
    std::cout << "orb " CAROB_VERSION "\n";
    return 0;
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
  for (const CommandLine& c : kCommands) {
    if (command != c.name) continue;
    auto env = platform::NewPosixEnv();
    databank::Databank db(*env);
    if (trace) db.StartDatabankIOLog(true);
    OrbContext ctx{*env, db, std::cin, std::cout, std::cerr, platform::StdinIsTerminal()};
    int rc = c.run(ctx, args);
    std::cout.flush();
    return rc;
  }
  std::cerr << "orb: unknown command \"" << command << "\"\n";
  return Usage(std::cerr);
}

}  // namespace
}  // namespace carob::tools

int main(int argc, char** argv) { return carob::tools::Main(argc, argv); }
