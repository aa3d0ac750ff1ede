// A window over a temporary ORB root, with the real databank, registry and
// messaging layers, and helpers to feed its interface file and read what it
// sent to the dispatcher.
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "databank/databank.h"
#include "messaging/messaging.h"
#include "registry/registry.h"
#include "tests/support/world.h"
#include "window/window.h"

namespace carob::window {

class WindowTestPeer {  // the window's private operations
 public:
  Window& w;
  void HandleSentence(const std::string& s) { w.xHandleSentence(s); }
  platform::Status Learn(const std::string& bank, const std::string& key, const std::string& value) {
    return w.xLearn(bank, key, value);
  }
  void SplitWords(const std::string& text) { w.xSplitWords(text); }
};

}  // namespace carob::window

namespace carob::testing {

inline constexpr const char* kKnowledgePath = "C:\\ORB\\CAROB\\CAROB.dat";
inline constexpr const char* kInterfacePath = "C:\\ORB\\CAROB\\CAROB.interface.POF";
inline constexpr const char* kDispatcherPath = "C:\\ORB\\RORU\\PO.in";

// One entry of the dispatcher's input file: its header, its SET SOURCE line
// and its body (the lines after it, joined by CR LF).
struct SentEntry {
  std::string header, source_line, body;
};

// The file-location databank every test starts from.
inline const std::string kBaseFileLoc =
    std::string("Temporary path=") + kTempFolder + "\r\nRORU PO Input=" + kDispatcherPath + "\r\n";

// A toolkit that shows a window and notes the status texts it is given.
class StatusToolkit : public platform::ui::Toolkit {
 public:
  bool HasWindow() const override { return true; }
  int Run(platform::ui::FormDescription&, platform::ui::FormEvents&) override { return 0; }
  void Yield() override {}
  void MessageBox(const std::string&, const std::string&) override {}
  void ShowStatus(const std::string& text) override { shown.push_back(text); }
  void Close() override {}
  std::vector<std::string> shown;
};

// The window over a world's layers, which it adds.
struct WindowRig {
  explicit WindowRig(World& w)
      : world(w.AddMessaging()),
        window(*world.env, *world.db, *world.reg, *world.msg, world.ui),
        peer{window} {
    window.SetLifecycleReport([this](const std::string& line) { reports.push_back(line); });
  }
  World& world;
  window::Window window;
  window::WindowTestPeer peer;
  std::vector<std::string> reports;

  void Load() { window.Events().Load(); }
  void Unload() { window.Events().Unload(); }
  void Tick() { window.Reciever.Tick(); }
  void Click() { window.Command1.Click(); }
};

// A world whose "C:\FileLoc" records the shared temporary folder, the
// dispatcher's input file and (unless a test starts from other recorded
// locations) the interface file, so the first tick reads it.
class WindowTest : public ::testing::Test, public World {
 protected:
  explicit WindowTest(std::string fileloc = kBaseFileLoc + "CAROB interface=" + kInterfacePath +
                                            "\r\n",
                      std::string program_folder = kProgramFolder)
      : World({.program_folder = std::move(program_folder), .fileloc = std::move(fileloc)}) {
    root.MakeFolder("C:\\ORB\\RORU");
  }

  WindowRig& Rig() {
    if (!rig_) rig_ = std::make_unique<WindowRig>(*this);
    return *rig_;
  }
  WindowRig& Loaded() {  // a window whose load event has run
    Rig().Load();
    return *rig_;
  }

  void Knowledge(const std::string& bytes) { root.WriteFile(kKnowledgePath, bytes); }
  std::string KnowledgeBytes() const { return root.ReadFile(kKnowledgePath); }

  // A text put into CAROB's interface file as one more entry.
  void Deliver(const std::string& text) { root.Append(kInterfacePath, RozEntry(text)); }
  void DeliverFrom(const std::string& computer, const std::string& text) {
    Deliver("SET SOURCE = " + computer + "\r\n" + text);
  }

  // The entries of the dispatcher's input file.
  std::vector<SentEntry> Sent() const {
    std::vector<SentEntry> entries;
    for (const QueueEntry& q : ParseQueue(root.ReadFile(kDispatcherPath))) {
      SentEntry& e = entries.emplace_back(q.header, q.lines.empty() ? "" : q.lines[0]);
      for (size_t i = 1; i < q.lines.size(); ++i) e.body += (i > 1 ? "\r\n" : "") + q.lines[i];
    }
    return entries;
  }
  std::vector<std::string> Answers() const {  // the bodies without "DO " or "SENDTO [...] "
    std::vector<std::string> out;
    for (const auto& [header, source, body] : Sent()) {
      const size_t close = body.starts_with("SENDTO [") ? body.find("] ") : std::string::npos;
      out.push_back(body.starts_with("DO ")      ? body.substr(3)
                    : close != std::string::npos ? body.substr(close + 2)
                                                 : "<unaddressed:" + body + ">");
    }
    return out;
  }

  // A value read by a databank engine of its own (no shared caches).
  std::string Fresh(const std::string& bank, const std::string& key) {
    return OtherProgram()->Query(std::string(bank), std::string(key));
  }

  std::unique_ptr<WindowRig> rig_;
};

}  // namespace carob::testing
