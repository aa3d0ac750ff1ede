// The registry's tests: a world up to the registry, where a warning nobody
// expected ends the test.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "databank/databank.h"
#include "platform/env.h"
#include "registry/registry.h"
#include "tests/support/world.h"

namespace carob::testing {

// Thrown by the message-box hook of tests that expect no warning, so that a
// guard that wrongly acts ends the test instead of waiting for ever.
struct UnexpectedWarning : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// Lines ended with CR LF, as the databanks hold them.
inline std::string Lines(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += l + "\r\n";
  return out;
}

struct RegistryWorld : World {
  explicit RegistryWorld(std::shared_ptr<platform::Clock> clock = MakeManualClock(),
                         const std::string& program_folder = "C:\\ORB\\CAROB",
                         const std::string& exe = "carob",
                         const std::string& fileloc = "Temporary path=C:\\TEMP\r\n")
      : World({program_folder, exe, fileloc, std::move(clock)}) {
    AddRegistry();
    ui.on_message_box = [](const std::string& text, const std::string&) {
      throw UnexpectedWarning(text);
    };
  }
};

}  // namespace carob::testing
