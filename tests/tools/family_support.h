// The family's end-to-end tests: real `orb` and `carob` processes over a
// temporary ORB_ROOT.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/world.h"

namespace carob::testing {

// The text lines of one queue entry.
using EntryLines = std::vector<std::string>;

// A computer of the family: carob installed in C:\ORB\CAROB, orb in
// C:\ORB\TOOLS, the STATUS databank recorded in C:\FileLoc beside the
// temporary folder, with a quick Pulse. Files are appended to as the
// programs of the family append (see TempRoot::Append).
struct Computer : World {
  explicit Computer(int pulse_ms = 50)
      : World({.fileloc = std::string("Temporary path=C:\\TEMP\r\nSTATUS=") + kStatusPath + "\r\n"}),
        orb(Install(root, "orb", "C:\\ORB\\TOOLS")),
        carob(Install(root, "carob", "C:\\ORB\\CAROB")) {
    AddStatus("Pulse", std::to_string(pulse_ms));
  }

  std::optional<std::string> StatusValue(const std::string& key) const {
    return BankValue(Status(), key);
  }
  std::optional<std::string> FileLocValue(const std::string& key) const {
    return BankValue(Read("C:\\FileLoc"), key);
  }
  void AddStatus(const std::string& key, const std::string& value) {
    root.Append(kStatusPath, key + "=" + value + "\r\n");
  }

  // The text lines of each entry of a queue file.
  std::vector<EntryLines> Entries(const std::string& windows_path) const {
    std::vector<EntryLines> out;
    if (!root.Exists(windows_path)) return out;
    for (QueueEntry& e : ParseQueue(Read(windows_path))) out.push_back(std::move(e.lines));
    return out;
  }
  void AppendEntry(const std::string& windows_path, const std::string& text) {
    root.Append(windows_path, RozEntry(text));
  }

  std::unique_ptr<Process> Start(std::vector<std::string> argv, bool pipe_input = false) {
    return std::make_unique<Process>(InRoot(root, std::move(argv), pipe_input));
  }
  Ran RunOrb(std::vector<std::string> args) { return testing::RunOrb(root, std::move(args), orb); }

  const std::string orb, carob;  // where they are installed
};

}  // namespace carob::testing
