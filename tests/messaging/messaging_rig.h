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
#include "platform/env.h"
#include "registry/registry.h"
#include "tests/support/world.h"

namespace carob::testing {

// Forwards every call to a real Env and counts the file opens and lookups
// per path, so tests can see what an operation touched.
class CountingEnv : public platform::Env {
 public:
  explicit CountingEnv(platform::Env& real) : real_(real) {}

  std::vector<std::string> opened;  // paths of Open and OpenLocked calls
  std::vector<std::string> found;   // paths of FindFile calls
  int reads = 0;                    // ReadAll calls
  // Called before an Open, OpenLocked or Rename is passed on, to let a test act at
  // exactly that moment (another program writing, say).
  std::function<void(const std::string&, platform::OpenMode)> on_open;
  std::function<void(const std::string&, const std::string&)> on_rename;
  void Reset() {
    opened.clear();
    found.clear();
    reads = 0;
  }

  platform::Clock& clock() override { return real_.clock(); }
  platform::Random& random() override { return real_.random(); }
  std::string ToNative(std::string_view p) const override { return real_.ToNative(p); }
  std::string ToWindows(std::string_view p) const override { return real_.ToWindows(p); }
  std::string ProgramFolder() const override { return real_.ProgramFolder(); }
  std::string ProgramName() const override { return real_.ProgramName(); }
  std::string GetVariable(const std::string& n) const override { return real_.GetVariable(n); }
  std::string GetPathVariable(const std::string& n) const override {
    return real_.GetPathVariable(n);
  }
  std::string HostName() const override { return real_.HostName(); }
  std::optional<platform::FileInfo> FindFile(const std::string& path) override {
    found.push_back(path);
    return real_.FindFile(path);
  }
  bool FolderExists(const std::string& path) override { return real_.FolderExists(path); }
  std::unique_ptr<platform::File> Open(const std::string& path, platform::OpenMode mode) override {
    opened.push_back(path);
    if (on_open) on_open(path, mode);
    return real_.Open(path, mode);
  }
  std::unique_ptr<platform::File> OpenLocked(const std::string& path,
                                             platform::OpenMode mode) override {
    opened.push_back(path);
    if (on_open) on_open(path, mode);
    return real_.OpenLocked(path, mode);
  }
  bool ReadAll(const std::string& path, std::string& bytes) override {
    ++reads;
    return real_.ReadAll(path, bytes);
  }
  // Called before an AppendBytes is passed on.
  std::function<void(const std::string&)> on_append_bytes;
  bool AppendBytes(const std::string& path, std::string_view bytes) override {
    if (on_append_bytes) on_append_bytes(path);
    return real_.AppendBytes(path, bytes);
  }
  bool Rename(const std::string& from, const std::string& to) override {
    if (on_rename) on_rename(from, to);
    return real_.Rename(from, to);
  }
  bool Delete(const std::string& path) override { return real_.Delete(path); }
  bool ReplaceContents(const std::string& path, std::string_view bytes) override {
    return real_.ReplaceContents(path, bytes);
  }
  std::unique_ptr<platform::LockFile> ReplaceContentsHeld(const std::string& path,
                                                        std::string_view bytes) override {
    return real_.ReplaceContentsHeld(path, bytes);
  }
  bool MarkModified(const std::string& path) override { return real_.MarkModified(path); }
  std::unique_ptr<platform::LockFile> TryLock(const std::string& path) override {
    return real_.TryLock(path);
  }
  platform::LockState ProbeLock(const std::string& path) override { return real_.ProbeLock(path); }
  bool BreakLock(const std::string& path) override { return real_.BreakLock(path); }
  bool StartProgram(const std::string& path, int style) override {
    return real_.StartProgram(path, style);
  }
  int ProcessId() const override { return real_.ProcessId(); }

 private:
  platform::Env& real_;
};

// The layers over the counting Env, which forwards to the world's real one.
struct MessagingRig : World {
  explicit MessagingRig(const std::string& program_folder = "C:\\ORB\\CAROB",
                        const std::string& temp_path = kTempFolder)
      : World({.program_folder = program_folder,
               .fileloc = "Temporary path=" + temp_path + "\r\nSTATUS=" + kStatusPath + "\r\n"}),
        real_env(World::env.get()),
        env(Wrap<CountingEnv>()) {
    WriteStatus({"Local ID=10.0.0.9"});
    AddMessaging();
  }

  // The header line of an entry written at the rig clock's current moment.
  static std::string Header(const std::string& stamp = "12-07-2026 08:29:45") {
    return messaging::kEntryHeader + stamp + "\r\n";
  }

  platform::Env* real_env;
  CountingEnv* env;
};

}  // namespace carob::testing
