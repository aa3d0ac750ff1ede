// carob: the conversational program of the family. Everything it needs lies
// in its databanks; its command line is empty, or `--help` or `--version`
// alone, which print and end. Anything else is wrong usage (exit 2).
#include <cstring>
#include <iostream>
#include <memory>

#include "databank/databank.h"
#include "messaging/messaging.h"
#include "platform/env.h"
#include "ui/ui.h"
#include "registry/registry.h"
#include "window/window.h"

namespace {

void Usage(std::ostream& to) {
  to << "usage: carob\n       carob --help\n       carob --version\n"
        "CAROB takes its configuration from its databanks and the environment\n"
        "(ORB_ROOT, ORB, TEMP, TMP, DISPLAY); see carob(1).\n";
}

}  // namespace

int main(int argc, char** argv) {
  using namespace carob;
  if (argc > 1) {
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
    std::cerr << "carob: unexpected argument \"" << argv[help || version ? 2 : 1] << "\"\n";
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
  messaging::Messaging messaging(*env, db, registry);

  window::Window window(*env, db, registry, messaging, *toolkit);
  if (!toolkit->HasWindow()) {
    // Without a window the lifecycle shows on standard error, a line an event.
    window.SetLifecycleReport([](const std::string& line) { std::cerr << line << std::endl; });
  }
  platform::ui::FormDescription form = window.Describe();
  platform::ui::FormEvents events = window.Events();
  toolkit->Run(form, events);
  return 0;
}
