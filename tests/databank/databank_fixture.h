// The databank engine's tests: a world with only the databank layer, and the
// I/O log read back line by line.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <regex>
#include <utility>

#include "databank/databank.h"
#include "tests/support/world.h"

namespace carob::testing {

inline constexpr const char* kLog = "C:\\ORB\\CAROB\\Database_IO.log";

// The texts of the log's lines, each checked to start with a time stamp
// ("mm-dd-yyyy hh:mm:ss[.fraction]| ") and to end with CR LF.
inline std::vector<std::string> LogTexts(const std::string& bytes) {
  static const std::regex line(R"(\d\d-\d\d-\d{4} \d\d:\d\d:\d\d(\.\d+)?\| ([^\n]*)\r\n)");
  std::vector<std::string> out;
  std::smatch m;
  for (size_t pos = 0; bytes != "<missing>" && pos < bytes.size(); pos += m.length(0)) {
    if (!std::regex_search(bytes.begin() + pos, bytes.end(), m, line,
                           std::regex_constants::match_continuous)) {
      ADD_FAILURE() << "log line without a time stamp or CR LF: " << bytes.substr(pos);
      break;
    }
    out.push_back(m[2]);
  }
  return out;
}

// A manual clock that lets a test act while the engine waits: each sleep
// advances it, is counted, and then runs `on_sleep`.
class HookClock : public platform::Clock {
 public:
  explicit HookClock(std::shared_ptr<platform::ManualClock> inner) : inner_(std::move(inner)) {}
  platform::WallTime Now() override { return inner_->Now(); }
  void Sleep(double seconds) override {
    ++sleeps;
    inner_->Advance(seconds);
    if (on_sleep) on_sleep();
  }
  int sleeps = 0;
  std::function<void()> on_sleep;

 private:
  std::shared_ptr<platform::ManualClock> inner_;
};

class DatabankTest : public ::testing::Test, public World {
 protected:
  DatabankTest() {
    root.MakeFolder("C:\\data");
    AddDatabank();
  }

  std::vector<std::string> Log() const { return LogTexts(root.ReadFile(kLog)); }
  // Starts the log after settling the databank access, so that only the
  // operations under test appear.
  void StartLog() {
    db->ResolveBankPath("C:\\FileLoc");
    db->StartDatabankIOLog(false);
  }
};

}  // namespace carob::testing
