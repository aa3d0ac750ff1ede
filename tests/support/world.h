// The tests' one world builder: a temporary ORB root with "C:\FileLoc"
// naming the shared temporary folder C:\TEMP, an Env over it (a manual clock
// unless told otherwise), and the Databank, Registry and Messaging layers
// built in that order, each only when a test asks for it (so a test links
// only the layers it uses).
#pragma once

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/scripted_interaction.h"
#include "tests/support/test_env.h"

namespace carob::databank { class Databank; }
namespace carob::registry { class Registry; }
namespace carob::messaging { class Messaging; }

namespace carob::testing {

inline constexpr const char* kTempFolder = "C:\\TEMP";
inline constexpr const char* kStatusPath = "C:\\TEMP\\STATUS";

struct WorldOptions {
  std::string program_folder = "C:\\ORB\\CAROB";
  std::string exe = "carob";
  std::string fileloc = "Temporary path=C:\\TEMP\r\n";  // the bytes of C:\FileLoc
  std::shared_ptr<platform::Clock> clock = MakeManualClock();  // null: the system clock
};

class World {
 public:
  explicit World(WorldOptions o = {})
      : options_(std::move(o)),
        clock(std::dynamic_pointer_cast<platform::ManualClock>(options_.clock)) {
    root.WriteFile("C:\\FileLoc", options_.fileloc);
    root.MakeFolder(kTempFolder);
    env = NewEnv();
    over_ = env.get();
  }
  ~World() {
    while (!layers_.empty()) layers_.pop_back();  // from the top down
  }
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  // One more Env for the same program over the same root and clock (another
  // running copy of it, with caches of its own).
  std::unique_ptr<platform::Env> NewEnv() const {
    return MakeTestEnv(root, options_.clock, options_.program_folder, options_.exe);
  }

  // Has the layers built over a `Wrapper` of the real Env (one that counts
  // or fails some calls and forwards the rest); call before adding them.
  template <class Wrapper>
  Wrapper* Wrap() {
    Wrapper* w = Hold(std::make_shared<Wrapper>(*env));
    over_ = w;
    return w;
  }

  // The layers, each over the ones below it.
  template <class Databank = databank::Databank>
  World& AddDatabank() {
    db = Hold(std::make_shared<Databank>(*over_));
    return *this;
  }
  template <class Registry = registry::Registry>
  World& AddRegistry() {
    if (db == nullptr) AddDatabank();
    reg = Hold(std::make_shared<Registry>(*over_, *db, ui));
    return *this;
  }
  template <class Messaging = messaging::Messaging>
  World& AddMessaging() {
    if (reg == nullptr) AddRegistry();
    msg = Hold(std::make_shared<Messaging>(*over_, *db, *reg));
    return *this;
  }

  std::string Read(const std::string& windows_path) const { return root.ReadFile(windows_path); }
  std::string Status() const { return root.ReadFile(kStatusPath); }
  void WriteStatus(const std::vector<std::string>& lines) const {
    std::string bytes;
    for (const std::string& l : lines) bytes += l + "\r\n";
    root.WriteFile(kStatusPath, bytes);
  }
  // A line added to "C:\FileLoc" as another program would record it.
  void AddFileLoc(const std::string& key, const std::string& value) const {
    root.WriteFile("C:\\FileLoc", root.ReadFile("C:\\FileLoc") + key + "=" + value + "\r\n");
  }

 private:
  WorldOptions options_;
  std::vector<std::shared_ptr<void>> layers_;

  template <class T>
  T* Hold(std::shared_ptr<T> layer) {
    layers_.push_back(layer);
    return layer.get();
  }

 public:
  TempRoot root;
  ScriptedInteraction ui;  // the registry's yields and message boxes
  std::shared_ptr<platform::ManualClock> clock;  // null with another clock
  std::unique_ptr<platform::Env> env;
  databank::Databank* db = nullptr;
  registry::Registry* reg = nullptr;
  messaging::Messaging* msg = nullptr;

 private:
  platform::Env* over_ = nullptr;
};

}  // namespace carob::testing
