// A small world for registry tests: an ORB root in a temporary folder whose
// "C:\FileLoc" names "C:\TEMP" as the temporary folder, a real databank
// engine over it and a registry on top.
#pragma once

#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "databank/databank.h"
#include "platform/env.h"
#include "registry/registry.h"
#include "tests/support/scripted_interaction.h"
#include "tests/support/test_env.h"

namespace carob::testing {

inline constexpr const char* kStatusPath = "C:\\TEMP\\STATUS";

// Thrown by the message-box hook of tests that expect no warning, so that a
// guard that wrongly acts ends the test instead of waiting for ever.
struct UnexpectedWarning : std::runtime_error {
  using std::runtime_error::runtime_error;
};

inline std::string Lines(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += l + "\r\n";
  return out;
}

class RegistryWorld {
 public:
  explicit RegistryWorld(std::shared_ptr<platform::Clock> clock = MakeManualClock(),
                         const std::string& program_folder = "C:\\ORB\\CAROB",
                         const std::string& exe = "carob",
                         const std::string& fileloc = "Temporary path=C:\\TEMP\r\n")
      : clock_(std::move(clock)) {
    root.WriteFile("C:\\FileLoc", fileloc);
    root.MakeFolder("C:\\TEMP");
    env = MakeTestEnv(root, clock_, program_folder, exe);
    db = std::make_unique<databank::Databank>(*env);
    reg = std::make_unique<registry::Registry>(*env, *db, ui);
    ui.on_message_box = [](const std::string& text, const std::string&) {
      throw UnexpectedWarning(text);
    };
  }

  std::string Status() const { return root.ReadFile(kStatusPath); }
  void WriteStatus(const std::vector<std::string>& lines) const { root.WriteFile(kStatusPath, Lines(lines)); }

  TempRoot root;
  ScriptedInteraction ui;
  std::unique_ptr<platform::Env> env;
  std::unique_ptr<databank::Databank> db;
  std::unique_ptr<registry::Registry> reg;

 private:
  std::shared_ptr<platform::Clock> clock_;
};

}  // namespace carob::testing
