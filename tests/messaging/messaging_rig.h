// A messaging layer over a real file tree in a temporary ORB root, with the
// shared files a cooperating computer would have: "C:\FileLoc" naming the
// temporary folder and the STATUS databank, which records the Local ID
// 10.0.0.9.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "databank/databank.h"
#include "messaging/messaging.h"
#include "registry/registry.h"
#include "tests/support/world.h"

namespace carob::testing {

// Passes every call on to a real Env and notes the file opens and lookups
// per path, so tests can see what an operation touched.
class CountingEnv : public platform::EnvWrapper {
 public:
  using EnvWrapper::EnvWrapper;

  std::vector<std::string> opened;  // paths of Open and OpenLocked calls
  std::vector<std::string> found;   // paths of FindFile calls
  int reads = 0;                    // ReadAll calls
  // Called before an AppendBytes is passed on, to let a test act at exactly
  // that moment (another program writing, say).
  std::function<void(const std::string&)> on_append_bytes;
  void Reset() {
    opened.clear();
    found.clear();
    reads = 0;
  }

  std::optional<platform::FileInfo> FindFile(const std::string& path) override {
    found.push_back(path);
    return EnvWrapper::FindFile(path);
  }
  platform::Status Open(const std::string& path, platform::OpenMode mode,
                        std::unique_ptr<platform::File>* file) override {
    opened.push_back(path);
    return EnvWrapper::Open(path, mode, file);
  }
  platform::Status OpenLocked(const std::string& path, platform::OpenMode mode,
                              std::unique_ptr<platform::File>* file) override {
    opened.push_back(path);
    return EnvWrapper::OpenLocked(path, mode, file);
  }
  platform::Status ReadAll(const std::string& path, std::string& bytes) override {
    ++reads;
    return EnvWrapper::ReadAll(path, bytes);
  }
  platform::Status AppendBytes(const std::string& path, std::string_view bytes) override {
    if (on_append_bytes) on_append_bytes(path);
    return EnvWrapper::AppendBytes(path, bytes);
  }
};

// The layers over the counting Env, which forwards to the world's real one.
struct MessagingRig : World {
  explicit MessagingRig(const std::string& program_folder = "C:\\ORB\\CAROB",
                        const std::string& temp_path = kTempFolder)
      : World({.program_folder = program_folder,
               .fileloc = "Temporary path=" + temp_path + "\r\nSTATUS=" + kStatusPath + "\r\n"}),
        env(Wrap<CountingEnv>()) {
    WriteStatus({"Local ID=10.0.0.9"});
    AddMessaging();
  }

  CountingEnv* env;
};

}  // namespace carob::testing
