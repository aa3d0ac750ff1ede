// carob: the conversational program of the family. Everything it needs lies
// in its databanks; of its command line it reads one thing, `carob --version`
// alone, which prints its version and ends. Any other arguments are ignored.
#include <cstring>
#include <iostream>
#include <memory>

#include "databank/databank.h"
#include "messaging/messaging.h"
#include "platform/env.h"
#include "platform/ui.h"
#include "registry/registry.h"
#include "window/window.h"

int main(int argc, char** argv) {
  using namespace carob;
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::cout << "carob " CAROB_VERSION "\n";
    return 0;
  }
  std::unique_ptr<platform::Env> env = platform::NewPosixEnv();
  // The toolkit is the program's interaction: the registry's waits yield to
  // it and its size warning is the toolkit's message box.
  std::unique_ptr<platform::ui::Toolkit> toolkit = platform::ui::NewToolkit();
  databank::Databank db(*env);
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
