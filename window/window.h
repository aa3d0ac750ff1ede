// The main window of CAROB: its fields, its controls (as data for the window
// toolkit), its event handlers, dialogue handling and the thinking passes.
//
// Where things are:
//   form.cc      the form: its controls and their places, the load and
//                unload events, the receive tick, the button and combo box
//                handlers, the lifecycle report
//   dialogue.cc  the dialogue: greeting, answering, learning, splitting
//                into words, and the comma-stripping rule (StripCommas)
//   passes.cc    the memory list (xRemember) and the thinking passes
//   main.cc      the program carob: wires the layers and the toolkit
//
// Everything runs on the window's one thread. Events reach the window only
// between handlers and during yields: those the thinking passes make, and
// those of the registry's waits inside the load event (so a tick may run
// before the load event has ended). The handlers tolerate running inside
// such a yield; a close asked for there stops the waits and the passes.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "databank/databank.h"
#include "messaging/messaging.h"
#include "platform/env.h"
#include "platform/interaction.h"
#include "platform/status.h"
#include "ui/ui.h"
#include "registry/registry.h"

namespace carob::window {

// The program's own name among its siblings.
inline constexpr const char* kAppName = "CAROB";
inline constexpr const char* kTitle = "Talkweave v100";
inline constexpr const char* kAuthor = "Kado Vel of Brindle";
inline constexpr const char* kGreeting = "Hello. Who are you?";
inline constexpr const char* kInputProgramKey = "Input program";
inline constexpr const char* kOutputProgramKey = "Output program";

// Strips blanks from both ends of a subject, an object or a word, then
// `rounds` times a comma from its end and one from its start, each followed
// by the blanks it uncovers. Learning takes two rounds, a word one.
std::string StripCommas(std::string_view text, int rounds);

class Window {
 public:
  // The window uses the layers below it. It is created with empty fields,
  // stage 0 and its timer running at 1000 ms. The passes yield through
  // `interaction`; failures go to the lifecycle report, or, when
  // `interaction` is a toolkit showing a real window, to its status.
  Window(platform::Env& env, databank::Databank& db, registry::Registry& registry,
         messaging::Messaging& messaging, platform::Interaction& interaction = platform::NoWindow());

  Window(const Window&) = delete;
  Window& operator=(const Window&) = delete;

  // -- public operations, in their fixed order
  // Reloads ActiveMemory from the knowledge databank file. Fails (after
  // emptying the list) when the file cannot be read; the reason is the
  // failure's cause().
  platform::Status xRemember();
  // The reverse pass.
  platform::Status xThink1();
  // The key-substitution pass.
  platform::Status xThink2();
  // The value-meaning pass.
  platform::Status xThink3();

  // -- the form as the toolkit needs it; the controls' handlers are wired
  // to this window's event handlers.
  platform::ui::FormDescription Describe();
  platform::ui::FormEvents Events();

  // One short line per lifecycle event (started, click received, passes
  // finished or failed, stopped). Unset: nothing is reported.
  void SetLifecycleReport(std::function<void(const std::string&)> report) {
    report_ = std::move(report);
  }

  // -- fields
  std::string xSettings;
  std::string xKnowledge;
  uint8_t xStage = 0;

  // -- controls
  platform::ui::Frame Frame1;
  platform::ui::Label Label1;
  platform::ui::ComboBox InProg;
  platform::ui::Label Label2;
  platform::ui::ComboBox OutProg;
  platform::ui::Button Command1;
  platform::ui::ListBox WordList;
  platform::ui::ListBox ActiveMemory;
  platform::ui::Timer Reciever;

  // True while the passes of a click run (including their yields).
  bool PassesRunning() const { return passes_running_; }

 private:
  friend class WindowTestPeer;

  // The controls above in the toolkit's layout of the form.
  platform::ui::MainFormControls Controls();

  // -- event handlers
  void Form_Load();
  void Form_Unload();
  void Reciever_Timer();
  void Command1_Click();
  // A combo box's change or click: its text is stored under key in the
  // settings databank.
  void StoreChoice(const char* key, const platform::ui::ComboBox& box);
  // Shows the choices the settings databank holds when its file is not the
  // one last looked at (a stamp taken per tick, the file read only when it
  // changed): a choice stored by another program (`orb set`) is followed
  // from the next tick on. A box already showing the stored text is left
  // alone, and nothing is written back.
  void FollowSettings();

  // -- dialogue handling
  void xHandleSentence(std::string sentence);
  // Learns value under key, merged with what the key holds; a failure is
  // reported. Fails when what the key holds cannot be read (learning then
  // could overwrite it) or the system refused the write (an I/O error, a
  // full disk); a fact the file cannot hold (a blank key) is passed over.
  platform::Status xLearn(std::string bank, std::string key, std::string value);
  void xSay(std::string text);
  void xSplitWords(std::string text);

  // The item at a position of ActiveMemory, or nothing when a reload has
  // shortened the list below that position.
  bool MemoryLine(int index, std::string& line) const;
  // Reloads the list, runs `step` on each item still there (with its
  // index), and reloads the list again: the frame of every thinking pass.
  // A step that fails (the knowledge could not be read) ends the pass with
  // its failure.
  platform::Status EachMemoryLine(const std::function<platform::Status(int, const std::string&)>& step);
  // The meaning the knowledge gives a word ("" for none); fails when the
  // knowledge cannot be read.
  platform::Status Meaning(const std::string& word, std::string& meaning);
  void Report(const std::string& line);
  void ReportFailure(const std::string& line);
  // Reports a failure to "answer" or "learn" through the knowledge
  // databank, once until that step succeeds again; `told` holds the line
  // last reported for it.
  void KnowledgeFailure(std::string& told, const char* what, const platform::Status& outcome);

  platform::Env& env_;
  databank::Databank& db_;
  registry::Registry& registry_;
  messaging::Messaging& messaging_;
  platform::Interaction& interaction_;
  // The toolkit showing the window, when there is one.
  platform::ui::Toolkit* toolkit_ = nullptr;
  std::function<void(const std::string&)> report_;
  bool passes_running_ = false;
  bool ticking_ = false;
  // Set while the stored choices are shown in the combo boxes, so that
  // showing them does not write back the values just read.
  bool restoring_ = false;
  // The settings file's stamp when last looked at (size -1: no file);
  // unset until the load event has read the choices.
  std::optional<platform::FileInfo> settings_stamp_;
  // The knowledge failures last told, for answering and for learning.
  std::string answer_failure_, learn_failure_;
  // The failure the title bar shows now ("" for none), taken down when what
  // failed succeeds again.
  std::string status_shown_;
};

}  // namespace carob::window
