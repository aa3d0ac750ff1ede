// The family's end-to-end tests: real `orb` and `carob` processes over a
// temporary ORB_ROOT.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/process.h"
#include "tests/support/queue.h"
#include "tests/support/world.h"

namespace carob::testing {

inline const std::string kSourceDir = CAROB_SOURCE_DIR;

// The text lines of one queue entry.
using EntryLines = std::vector<std::string>;

inline std::string JoinLines(const EntryLines& lines) {
  std::string s;
  for (size_t i = 0; i < lines.size(); ++i) s += (i ? "\n" : "") + lines[i];
  return s;
}

// A computer of the family: carob installed in C:\ORB\CAROB, orb in
// C:\ORB\TOOLS, the STATUS databank recorded in C:\FileLoc beside the
// temporary folder, with a quick Pulse. Files are appended to as the
// programs of the family append (see TempRoot::Append).
class Computer {
 public:
  explicit Computer(int pulse_ms = 50)
      : world_({.fileloc = std::string("Temporary path=C:\\TEMP\r\nSTATUS=") + kStatusPath + "\r\n"}),
        orb_(Install(root(), "orb", "C:\\ORB\\TOOLS")),
        carob_(Install(root(), "carob", "C:\\ORB\\CAROB")) {
    AddStatus("Pulse", std::to_string(pulse_ms));
  }

  TempRoot& root() { return world_.root; }
  std::string FileLoc() const { return world_.Read("C:\\FileLoc"); }
  std::optional<std::string> StatusValue(const std::string& key) const {
    return BankValue(world_.Status(), key);
  }
  std::optional<std::string> FileLocValue(const std::string& key) const {
    return BankValue(FileLoc(), key);
  }

  // Adds a line to C:\FileLoc (before any program of the family ran, or for
  // a key no program has written), or to STATUS.
  void SetFileLoc(const std::string& key, const std::string& value) {
    world_.AddFileLoc(key, value);
  }
  void AddStatus(const std::string& key, const std::string& value) {
    root().Append(kStatusPath, key + "=" + value + "\r\n");
  }

  // The text lines of each entry of a queue file.
  std::vector<EntryLines> Entries(const std::string& windows_path) const {
    std::vector<EntryLines> out;
    if (!world_.root.Exists(windows_path)) return out;
    for (QueueEntry& e : ParseQueue(world_.Read(windows_path))) out.push_back(std::move(e.lines));
    return out;
  }
  void AppendEntry(const std::string& windows_path, const std::string& text) {
    root().Append(windows_path, RozEntry(text));
  }

  std::unique_ptr<Process> Start(std::vector<std::string> argv, bool pipe_input = false) {
    return std::make_unique<Process>(InRoot(root(), std::move(argv), pipe_input));
  }
  const std::string& Orb() const { return orb_; }
  const std::string& Carob() const { return carob_; }
  Ran RunOrb(std::vector<std::string> args) { return testing::RunOrb(root(), std::move(args), orb_); }

 private:
  World world_;
  std::string orb_, carob_;
};

}  // namespace carob::testing
