// carob: the conversational program of the family. Everything it needs lies
// in its databanks; its command line is empty, `--replace` (take the place
// of the CAROB running in the family), or `--help` or `--version` alone,
// which print and end. Anything else is wrong usage (exit 2). A second
// CAROB in a family that is not asked to replace the first ends with 3.
#include <cstring>
#include <iostream>
#include <memory>

#include "databank/databank.h"
#include "messaging/messaging.h"
#include "platform/env.h"
#include "ui/ui.h"
#include "registry/registry.h"
#include "window/instance.h"
#include "window/window.h"

namespace {

void Usage(std::ostream& to) {
  to << "usage: carob [--replace]\n       carob --help\n       carob --version\n"
        "--replace stops the CAROB running in this family and takes its place.\n"
        "CAROB takes its configuration from its databanks and the environment\n"
        "(ORB_ROOT, ORB, TEMP, TMP, DISPLAY); see carob(1).\n";
}

// The exit status of a CAROB that another one in its family keeps out.
constexpr int kAnotherRuns = 3;

}  // namespace

int main(int argc, char** argv) {
  using namespace carob;
  const bool replace = argc > 1 && std::strcmp(argv[1], "--replace") == 0;
  if (argc > 2 || (argc > 1 && !replace)) {
    const bool help = std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0;
    const bool version = std::strcmp(argv[1], "--version") == 0;
    if (argc == 2 && help) {
      Usage(std::cout);
      return 0;
    }
    if (argc == 2 && version) {
      std::cout << "carob " CAROB_VERSION "\n";
      return 0;
    }
    std::cerr << "carob: unexpected argument \"" << argv[help || version || replace ? 2 : 1]
              << "\"\n";
    Usage(std::cerr);
    return 2;
  }
  std::unique_ptr<platform::Env> env = platform::NewSystemEnv();
  // The toolkit is the program's interaction: the registry's waits yield to
  // it and its size warning is the toolkit's message box.
  std::unique_ptr<platform::ui::Toolkit> toolkit = platform::ui::NewToolkit();
  // The databank's lock waits end on a close signal alone (the interaction
  // of a program without a window), not on a window the person closed:
  // signing off in Unload still waits for a lock another writer holds.
  databank::Databank db(*env, platform::NoWindow());
  registry::Registry registry(*env, db, *toolkit);
  auto to_stderr = [](const std::string& line) { std::cerr << line << std::endl; };
  // Before anything is registered or taken from the queue: a second CAROB
  // of the family stops here.
  window::InstanceClaim claim = window::ClaimInstance(*env, db, registry, replace, to_stderr);
  if (claim.refused) {
    std::cerr << "carob: " << claim.message << std::endl;
    return kAnotherRuns;
  }
  if (!claim.held) to_stderr("CAROB runs unguarded: " + claim.message);
  messaging::Messaging messaging(*env, db, registry);

  window::Window window(*env, db, registry, messaging, *toolkit);
  if (!toolkit->HasWindow()) {
    // Without a window the lifecycle shows on standard error, a line an event.
    window.SetLifecycleReport(to_stderr);
  }
  platform::ui::FormDescription form = window.Describe();
  platform::ui::FormEvents events = window.Events();
  toolkit->Run(form, events);
  // Signed off: the next CAROB of the family may start.
  if (claim.held) claim.held->Release();
  return 0;
}
