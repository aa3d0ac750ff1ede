// A databank world for the tests: a temporary ORB root, a manual clock, the
// program in C:\ORB\CAROB and "C:\FileLoc" naming C:\TEMP as the shared
// temporary folder.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "databank/databank.h"
#include "tests/support/test_env.h"

namespace carob::testing {

inline constexpr const char* kLog = "C:\\ORB\\CAROB\\Database_IO.log";

// The texts of the log's lines, each checked to start with a time stamp and
// "| " and to end with CR LF.
inline std::vector<std::string> LogTexts(const std::string& bytes) {
  static const std::regex stamp(R"(^\d\d-\d\d-\d{4} \d\d:\d\d:\d\d(\.\d+)?\| )");
  std::vector<std::string> out;
  if (bytes == "<missing>") return out;
  size_t pos = 0;
  while (pos < bytes.size()) {
    size_t end = bytes.find("\r\n", pos);
    EXPECT_NE(end, std::string::npos) << "log line without CR LF: " << bytes.substr(pos);
    if (end == std::string::npos) break;
    std::string line = bytes.substr(pos, end - pos);
    std::smatch m;
    EXPECT_TRUE(std::regex_search(line, m, stamp)) << "no time stamp: " << line;
    out.push_back(m.empty() ? line : line.substr(m.length(0)));
    pos = end + 2;
  }
  return out;
}

class DatabankTest : public ::testing::Test {
 protected:
  DatabankTest() {
    root.WriteFile("C:\\FileLoc", "Temporary path=C:\\TEMP\r\n");
    root.MakeFolder("C:\\TEMP");
    root.MakeFolder("C:\\data");
    env = MakeTestEnv(root, clock);
    db = std::make_unique<databank::Databank>(*env);
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
    other_envs.push_back(MakeTestEnv(root, clock));
    return std::make_unique<databank::Databank>(*other_envs.back());
  }

  TempRoot root;
  std::shared_ptr<platform::ManualClock> clock = MakeManualClock();
  std::unique_ptr<platform::Env> env;
  std::vector<std::unique_ptr<platform::Env>> other_envs;
  std::unique_ptr<databank::Databank> db;
};

}  // namespace carob::testing
