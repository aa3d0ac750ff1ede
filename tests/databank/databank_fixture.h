// The databank engine's tests: a world with only the databank layer, and the
// I/O log read back line by line.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "databank/databank.h"
#include "tests/support/world.h"

namespace carob::testing {

inline constexpr const char* kLog = "C:\\ORB\\CAROB\\Database_IO.log";

// The length of the "mm-dd-yyyy hh:mm:ss[.fraction]| " at the start of a
// log line, or 0 when the line does not start with one.
inline size_t StampLength(const std::string& line) {
  const std::string shape = "dd-dd-dddd dd:dd:dd";
  if (line.size() < shape.size()) return 0;
  for (size_t i = 0; i < shape.size(); ++i) {
    const bool digit = line[i] >= '0' && line[i] <= '9';
    if (shape[i] == 'd' ? !digit : line[i] != shape[i]) return 0;
  }
  size_t at = shape.size();
  if (at < line.size() && line[at] == '.') {
    size_t digits = 0;
    while (++at < line.size() && line[at] >= '0' && line[at] <= '9') ++digits;
    if (digits == 0) return 0;
  }
  return line.compare(at, 2, "| ") == 0 ? at + 2 : 0;
}

// The texts of the log's lines, each checked to start with a time stamp and
// "| " and to end with CR LF.
inline std::vector<std::string> LogTexts(const std::string& bytes) {
  std::vector<std::string> out;
  if (bytes == "<missing>") return out;
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t end = bytes.find("\r\n", pos);
    EXPECT_NE(end, std::string::npos) << "log line without CR LF: " << bytes.substr(pos);
    if (end == std::string::npos) break;
    std::string line = bytes.substr(pos, end - pos);
    const size_t stamp = StampLength(line);
    EXPECT_GT(stamp, 0u) << "no time stamp: " << line;
    out.push_back(line.substr(stamp));
    pos = end + 2;
  }
  return out;
}

class DatabankTest : public ::testing::Test {
 protected:
  DatabankTest() {
    root.MakeFolder("C:\\data");
    world.AddDatabank();
  }

  // The log's texts, stamps checked and taken off.
  std::vector<std::string> Log() const { return LogTexts(root.ReadFile(kLog)); }
  // Starts the log after settling the databank access, so that only the
  // lines of the operations under test appear.
  void StartLog() {
    std::string name = "C:\\FileLoc";
    db->ResolveBankPath(name);
    db->StartDatabankIOLog(false);
  }
  std::string Q(const std::string& bank, const std::string& key) {
    std::string b = bank, k = key;
    return db->Query(b, k);
  }
  void S(const std::string& bank, const std::string& key, const std::string& value) {
    std::string b = bank, k = key, v = value;
    db->Set(b, k, v);
  }
  // A second program on the same files: its own engine and caches.
  std::unique_ptr<databank::Databank> OtherProgram() {
    other_envs.push_back(world.NewEnv());
    return std::make_unique<databank::Databank>(*other_envs.back());
  }

  World world;
  TempRoot& root = world.root;
  std::shared_ptr<platform::ManualClock> clock = world.clock;
  std::unique_ptr<platform::Env>& env = world.env;
  databank::Databank*& db = world.db;
  std::vector<std::unique_ptr<platform::Env>> other_envs;
};

}  // namespace carob::testing
