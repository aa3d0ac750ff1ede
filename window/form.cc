// The form: its controls and their places, the load and unload events, the
// receive tick, the button and combo box handlers, the lifecycle report.
#include <chrono>
#include <cstdio>

#include "platform/text.h"
#include "window/window.h"

namespace carob::window {

namespace {

constexpr const char* kKnowledgeKey = "CAROB knowledge";
constexpr const char* kSettingsKey = "CAROB settings";

}  // namespace

Window::Window(platform::Env& env, databank::Databank& db, registry::Registry& registry,
               messaging::Messaging& messaging, platform::Interaction& interaction)
    : env_(env), db_(db), registry_(registry), messaging_(messaging), interaction_(interaction),
      toolkit_(dynamic_cast<platform::ui::Toolkit*>(&interaction)) {
  Controls().Place();
  Reciever.Interval = 1000;
  Reciever.Enabled = true;

  InProg.Change = InProg.Click = [this] { StoreChoice(kInputProgramKey, InProg); };
  OutProg.Change = OutProg.Click = [this] { StoreChoice(kOutputProgramKey, OutProg); };
  Command1.Click = [this] { Command1_Click(); };
  Reciever.Tick = [this] { Reciever_Timer(); };
}

platform::ui::MainFormControls Window::Controls() {
  return {Frame1, Label1, InProg, Label2, OutProg, Command1, WordList, ActiveMemory, Reciever};
}

platform::ui::FormDescription Window::Describe() { return Controls().Describe(kAppName); }

platform::ui::FormEvents Window::Events() {
  platform::ui::FormEvents events;
  events.Load = [this] { Form_Load(); };
  events.Unload = [this] { Form_Unload(); };
  return events;
}

void Window::Form_Load() {
  // Events run in the registry's waits (the size warning, the wait for the
  // maintenance program): a tick may take a sentence while the stage is
  // still 0 and greet, a click may run the passes. A close asked for there
  // ends the waits; the steps below then run on without waiting.
  const platform::Status registered = registry_.RegisterApplication(kAppName);
  registry_.RegisterInformation(kAppName, "ID", kTitle);
  registry_.RegisterInformation(kAppName, "Author", kAuthor);

  // A location not recorded yet is the program's file in its folder. At a
  // drive root the folder already ends in "\"; JoinPath adds no second one,
  // which would be recorded into the file-location databank for every
  // program after us.
  auto location = [this](const char* key, const char* extension) {
    std::string value = db_.Query(databank::kFileLoc, key);
    if (value.empty()) {
      value = platform::JoinPath(env_.ProgramFolder(), std::string(kAppName) + extension);
      (void)db_.Write(databank::kFileLoc, key, value);  // derived again next start
    }
    return value;
  };
  xKnowledge = location(kKnowledgeKey, ".dat");
  xSettings = location(kSettingsKey, ".cfg");

  FollowSettings();

  xStage = 1;
  messaging_.RotateConsoleLog(true);
  Report(std::string(kAppName) + " started: program folder " + env_.ProgramFolder() +
         ", knowledge " + xKnowledge);
  // A family whose files cannot be written (a read-only root, say) is told
  // once, at the start, rather than at every write that fails after it.
  if (!registered && !interaction_.Closing()) {
    ReportFailure(std::string(kAppName) + " cannot record its registration (" +
                  registered.message() + "); it answers as well as it can, but what it " +
                  "learns and what it is sent may not be kept");
  }
}

void Window::Form_Unload() {
  registry_.UnregisterApplication(kAppName);
  Report(std::string(kAppName) + " stopped");
}

void Window::Reciever_Timer() {
  // A Pulse the timer cannot take (including the 0 that an oversized stored
  // value reads as) runs at the default or the longest interval, so that
  // polling never stops.
  Reciever.Interval = registry::TimerInterval(registry_.GetPulse());

  // The registry may wait for another program and let events run meanwhile;
  // a tick arriving inside this tick's wait has nothing to add.
  if (ticking_) return;
  FollowSettings();
  // What handling a message wrote is on the disk before the message leaves
  // its queue (while the thinking passes group syncs, it waits for a sync
  // point). A sync that fails keeps the last message held, and the next
  // tick tries again before it takes another.
  if (!env_.SyncGrouped()) return;
  ticking_ = true;
  const std::string sentence = platform::Trim(messaging_.ReceiveMessageHeld(kAppName, messaging::MessageKind::kInterface));
  if (!sentence.empty()) {
    if (sentence == "?") {
      // Two lines, the first to "User" with the title.
      messaging_.SendToOutputProgram(std::string("User:") + kTitle + "\r\n" + kAppName +
                                     ": aSentence");
    } else {
      xHandleSentence(sentence);
    }
  }
  // Only now does the message leave its file: a kill while handling it
  // brings it back at the next start.
  if (env_.SyncGrouped()) messaging_.MessageHandled();
  ticking_ = false;
}

void Window::Command1_Click() {
  // A click during a pass's yield is ignored: the running passes go on.
  if (passes_running_) {
    Report(std::string(kAppName) + ": Command1 click ignored, thinking passes are running");
    return;
  }
  passes_running_ = true;
  Report(std::string(kAppName) + ": Command1 click received");
  const auto start = std::chrono::steady_clock::now();

  const char* failed_pass = nullptr;
  platform::Status outcome;
  for (auto [name, pass] : {std::pair{"xThink1", &Window::xThink1},
                            std::pair{"xThink2", &Window::xThink2},
                            std::pair{"xThink3", &Window::xThink3}}) {
    if (!(outcome = (this->*pass)())) {
      failed_pass = name;
      break;
    }
  }
  passes_running_ = false;

  if (failed_pass != nullptr) {
    ReportFailure(std::string(kAppName) + ": thinking pass " + failed_pass + " failed (" +
                  outcome.cause() + "); the remaining passes of this click were not run");
    return;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  char elapsed[32];
  std::snprintf(elapsed, sizeof elapsed, "%.3f", seconds);
  Report(std::string(kAppName) + ": thinking passes finished: " +
         std::to_string(ActiveMemory.ListCount()) + " memory lines in " + elapsed + " s");
}

void Window::StoreChoice(const char* key, const platform::ui::ComboBox& box) {
  if (restoring_) return;
  (void)db_.Write(xSettings, key, box.Text());  // a choice, kept when it can be
}

void Window::FollowSettings() {
  if (xSettings.empty()) return;  // a tick inside the load event, before it read them
  std::string name = xSettings;
  const std::string path = db_.ResolveBankPath(name);
  platform::FileInfo now;
  if (path.empty() || !env_.FileStamp(path, &now)) {
    now = platform::FileInfo{};
    now.size = -1;
  }
  if (settings_stamp_ && settings_stamp_->size == now.size &&
      settings_stamp_->mtime_ns == now.mtime_ns && settings_stamp_->inode == now.inode &&
      settings_stamp_->device == now.device) {
    return;
  }
  settings_stamp_ = now;
  // Showing the stored texts would only store them again; skipping that
  // spares the settings databank a rewrite.
  restoring_ = true;
  for (auto [key, box] : {std::pair{kInputProgramKey, &InProg}, std::pair{kOutputProgramKey, &OutProg}}) {
    const std::string stored = db_.Query(std::string(xSettings), key);
    if (stored != box->Text()) box->SetText(stored);
  }
  restoring_ = false;
}

void Window::Report(const std::string& line) {
  if (report_) report_(line);
}

void Window::ReportFailure(const std::string& line) {
  if (toolkit_ != nullptr && toolkit_->HasWindow()) {
    toolkit_->ShowStatus(line);
    status_shown_ = line;
  } else {
    Report(line);
  }
}

}  // namespace carob::window
