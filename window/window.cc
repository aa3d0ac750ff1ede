#include "window/window.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "platform/text.h"

namespace carob::window {

using platform::OccursIn;
using platform::Trim;

namespace {

constexpr const char* kKnowledgeKey = "CAROB knowledge";
constexpr const char* kSettingsKey = "CAROB settings";
// The timer takes intervals from 1 to 65535 ms.
constexpr int32_t kMinInterval = 1;
constexpr int32_t kMaxInterval = 65535;

// Strips blanks and up to two commas from each end of a subject or object.
std::string StripCommas(std::string text) {
  text = Trim(text);
  for (int round = 0; round < 2; ++round) {
    if (!text.empty() && text.back() == ',') {
      text.pop_back();
      text = Trim(text);
    }
    if (!text.empty() && text.front() == ',') {
      text.erase(0, 1);
      text = Trim(text);
    }
    text = Trim(text);
  }
  return text;
}

// The first line of a text. A databank line holds one key and one value, so
// a line break inside either would end the entry there and let the rest of a
// received sentence stand in the knowledge file as entries of its own.
std::string FirstLine(const std::string& text) {
  const size_t end = text.find_first_of("\r\n");
  return end == std::string::npos ? text : text.substr(0, end);
}

}  // namespace

std::string IdentificationText() {
  return std::string("User:") + kTitle + "\r\n" + kAppName + ": aSentence";
}

Window::Window(platform::Env& env, databank::Databank& db, registry::Registry& registry,
               messaging::Messaging& messaging, platform::ui::Toolkit* toolkit)
    : env_(env), db_(db), registry_(registry), messaging_(messaging), toolkit_(toolkit) {
  Frame1.caption = "Input/Output";
  Frame1.place = {120, 120, 3135, 1215};
  Label1.caption = "Input:";
  Label1.place = {120, 360, 615, 255};
  InProg.place = {840, 360, 2175, 315};
  InProg.items = {"User", "Lexwright"};
  Label2.caption = "Output:";
  Label2.place = {120, 720, 615, 255};
  OutProg.place = {840, 720, 2175, 315};
  OutProg.items = {"User", "Lexwright"};
  Command1.caption = "Think1";
  Command1.place = {120, 1440, 1215, 495};
  WordList.place = {120, 2640, 1215, 1035};
  ActiveMemory.place = {3360, 120, 3015, 5715};
  Reciever.Interval = 1000;
  Reciever.Enabled = true;

  InProg.Change = [this] { InProg_Change(); };
  InProg.Click = [this] { InProg_Click(); };
  OutProg.Change = [this] { OutProg_Change(); };
  OutProg.Click = [this] { OutProg_Click(); };
  Command1.Click = [this] { Command1_Click(); };
  Reciever.Tick = [this] { Reciever_Timer(); };
}

platform::ui::FormDescription Window::Describe() {
  platform::ui::FormDescription form;
  form.caption = kAppName;
  form.client_width = 7110;
  form.client_height = 6000;
  form.frame = &Frame1;
  form.frame_labels = {&Label1, &Label2};
  form.frame_combos = {&InProg, &OutProg};
  form.buttons = {&Command1};
  form.lists = {&WordList, &ActiveMemory};
  form.timers = {&Reciever};
  return form;
}

platform::ui::FormEvents Window::Events() {
  platform::ui::FormEvents events;
  events.Load = [this] { Form_Load(); };
  events.Unload = [this] { Form_Unload(); };
  return events;
}

// ---------------------------------------------------------------------------
// Event handlers

std::string Window::DefaultPath(const std::string& file_name) const {
  std::string folder = env_.ProgramFolder();
  // At a drive root the folder already ends in "\"; a second one would be
  // recorded into the file-location databank for every program after us.
  if (!folder.empty() && folder.back() == '\\') return folder + file_name;
  return folder + "\\" + file_name;
}

void Window::Form_Load() {
  registry_.RegisterApplication(kAppName);
  registry_.RegisterInformation(kAppName, "ID", kTitle);
  registry_.RegisterInformation(kAppName, "Author", kAuthor);

  xKnowledge = db_.Query(std::string(databank::kFileLoc), std::string(kKnowledgeKey));
  if (xKnowledge.empty()) {
    xKnowledge = DefaultPath(std::string(kAppName) + ".dat");
    db_.Set(std::string(databank::kFileLoc), std::string(kKnowledgeKey), std::string(xKnowledge));
  }
  xSettings = db_.Query(std::string(databank::kFileLoc), std::string(kSettingsKey));
  if (xSettings.empty()) {
    xSettings = DefaultPath(std::string(kAppName) + ".cfg");
    db_.Set(std::string(databank::kFileLoc), std::string(kSettingsKey), std::string(xSettings));
  }

  // Restoring the texts would only store the values just read; skipping that
  // spares the settings databank a rewrite when a choice is missing.
  restoring_ = true;
  InProg.SetText(db_.Query(std::string(xSettings), std::string(kInputProgramKey)));
  OutProg.SetText(db_.Query(std::string(xSettings), std::string(kOutputProgramKey)));
  restoring_ = false;

  xStage = 1;
  messaging_.RotateConsoleLog(true);
  Report(std::string(kAppName) + " started: program folder " + env_.ProgramFolder() +
         ", knowledge " + xKnowledge);
}

void Window::Form_Unload() {
  registry_.UnregisterApplication(kAppName);
  Report(std::string(kAppName) + " stopped");
}

void Window::Reciever_Timer() {
  // A Pulse the timer cannot take (including the 0 that an oversized stored
  // value reads as) is brought into the timer's range, so that polling never
  // stops.
  const int32_t pulse = registry_.GetPulse();
  Reciever.Interval = std::clamp(pulse, kMinInterval, kMaxInterval);

  // The registry may wait for another program and let events run meanwhile;
  // a tick arriving inside this tick's wait has nothing to add.
  if (ticking_) return;
  ticking_ = true;
  const std::string sentence =
      Trim(messaging_.ReceiveMessage(kAppName, messaging::MessageKind::kInterface));
  if (!sentence.empty()) {
    if (sentence == "?") {
      messaging_.SendToOutputProgram(IdentificationText());
    } else {
      xHandleSentence(sentence);
    }
  }
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
  Outcome outcome = xThink1();
  if (!outcome) {
    failed_pass = "xThink1";
  } else if (!(outcome = xThink2())) {
    failed_pass = "xThink2";
  } else if (!(outcome = xThink3())) {
    failed_pass = "xThink3";
  }
  passes_running_ = false;

  if (failed_pass != nullptr) {
    ReportFailure(std::string(kAppName) + ": thinking pass " + failed_pass + " failed (" +
                  outcome.reason + "); the remaining passes of this click were not run");
    return;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  char elapsed[32];
  std::snprintf(elapsed, sizeof elapsed, "%.3f", seconds);
  Report(std::string(kAppName) + ": thinking passes finished: " +
         std::to_string(ActiveMemory.ListCount()) + " memory lines in " + elapsed + " s");
}

void Window::InProg_Change() {
  if (restoring_) return;
  db_.Set(std::string(xSettings), std::string(kInputProgramKey), std::string(InProg.Text()));
}

void Window::InProg_Click() { InProg_Change(); }

void Window::OutProg_Change() {
  if (restoring_) return;
  db_.Set(std::string(xSettings), std::string(kOutputProgramKey), std::string(OutProg.Text()));
}

void Window::OutProg_Click() { OutProg_Change(); }

void Window::Report(const std::string& line) {
  if (report_) report_(line);
}

void Window::ReportFailure(const std::string& line) {
  if (toolkit_ != nullptr && toolkit_->HasWindow()) {
    toolkit_->ShowStatus(line);
  } else {
    Report(line);
  }
}

// ---------------------------------------------------------------------------
// Dialogue handling

void Window::xHandleSentence(std::string sentence) {
  const uint8_t stage = xStage;
  if (stage == 0) {
    xSay(kGreeting);
    xStage = 1;
    return;
  }
  if (stage != 1) return;

  if (!sentence.empty() && sentence.back() == '?') {
    // A failed reload leaves the list empty; the question then gets no answer.
    (void)xRemember();
    const int n = ActiveMemory.ListCount();
    std::string line;
    for (int i = 0; i < n; ++i) {
      if (!MemoryLine(i, line)) continue;
      if (OccursIn(databank::KeyPart(line), sentence)) xSay(line);
    }
    return;
  }

  // A statement: subject, the first "be" (inside words too, any case), one
  // skipped character, object.
  const size_t be = platform::FindNoCase(sentence, "be");
  std::string subject;
  std::string object;
  if (be == std::string::npos) {
    if (sentence.size() > 2) object = Trim(std::string_view(sentence).substr(2));
  } else {
    subject = Trim(std::string_view(sentence).substr(0, be));
    if (be + 3 < sentence.size()) object = Trim(std::string_view(sentence).substr(be + 3));
  }
  xLearn(xKnowledge, subject, object);
}

void Window::xLearn(std::string bank, std::string key, std::string value) {
  // A sentence that kept its line break ("blue?" + CR LF) is learnt as the
  // line the knowledge file can hold; whatever follows a break is dropped
  // rather than written as further lines.
  value = StripCommas(FirstLine(value));
  key = StripCommas(FirstLine(key));

  std::string existing = db_.Query(std::string(bank), std::string(key));
  if (existing.empty()) {
    db_.Set(bank, key, value);
    return;
  }
  if (OccursIn(value, existing) || OccursIn(existing, value) || OccursIn(existing, key) ||
      OccursIn(key, existing)) {
    return;
  }
  std::string merged = existing + ", " + value;
  db_.Set(bank, key, merged);
}

void Window::xSay(std::string text) {
  messaging_.SendToOutputProgram(Trim(OutProg.Text()) + ":" + text);
}

void Window::xSplitWords(std::string text) {
  const std::string work = text + " ";
  WordList.Clear();
  std::string word;
  for (const char c : work) {
    word += c;
    if (c != ' ' || Trim(word).empty()) continue;
    word = Trim(word);
    if (!word.empty() && word.front() == ',') word.erase(0, 1);
    if (!word.empty() && word.back() == ',') word.pop_back();
    word = Trim(word);
    if (!word.empty()) WordList.AddItem(word);
    word.clear();
  }
}

// ---------------------------------------------------------------------------
// Memory and the thinking passes

bool Window::MemoryLine(int index, std::string& line) const {
  if (index < 0 || index >= ActiveMemory.ListCount()) return false;
  line = ActiveMemory.List(index);
  return true;
}

Outcome Window::xRemember() {
  ActiveMemory.Clear();
  if (Trim(xKnowledge).empty()) return Outcome::Fail("no knowledge databank is set");
  // The file is found the way the databank engine finds it, so that the
  // lines read are those of the databank that facts are learnt into.
  std::string name = xKnowledge;
  const std::string path = db_.ResolveBankPath(name);
  if (path.empty()) return Outcome::Fail("knowledge databank " + xKnowledge + " is not a file");
  std::unique_ptr<platform::File> file;
  if (!env_.Open(path, platform::OpenMode::kRead, &file)) return Outcome::Fail("knowledge databank " + xKnowledge + " cannot be read");
  std::string line;
  while (file->ReadLine(line)) ActiveMemory.AddItem(line);
  return Outcome::Ok();
}

Outcome Window::xThink1() {
  db_.StartDatabankIOLog(true);
  if (Outcome loaded = xRemember(); !loaded) return loaded;
  const int n = ActiveMemory.ListCount();
  std::string line;
  for (int i = 0; i < n; ++i) {
    // A question handled during a yield may have reloaded a shorter list.
    if (!MemoryLine(i, line)) continue;
    xLearn(xKnowledge, databank::ValuePart(line), databank::KeyPart(line));
    env_.Yield();
  }
  return xRemember();
}

Outcome Window::xThink2() {
  if (Outcome loaded = xRemember(); !loaded) return loaded;
  const int n = ActiveMemory.ListCount();
  std::string line;
  for (int i = 0; i < n; ++i) {
    if (!MemoryLine(i, line)) continue;
    xSplitWords(databank::KeyPart(line));
    WordList.Refresh();
    env_.Yield();

    std::string phrase;
    const int m = WordList.ListCount();
    for (int j = 0; j < m; ++j) {
      std::string word = WordList.List(j);
      std::string meaning = db_.Query(std::string(xKnowledge), std::string(word));
      if (meaning.empty()) meaning = word;
      phrase += meaning + " ";
    }
    env_.Yield();
    phrase = Trim(phrase);

    // The item is read again after the yields; it may be gone by now.
    if (!MemoryLine(i, line)) continue;
    const std::string value = databank::ValuePart(line);
    if (value != phrase) xLearn(xKnowledge, phrase, value);
  }
  return xRemember();
}

Outcome Window::xThink3() {
  if (Outcome loaded = xRemember(); !loaded) return loaded;
  const int n = ActiveMemory.ListCount();
  std::string line;
  for (int i = 0; i < n; ++i) {
    if (!MemoryLine(i, line)) continue;
    const std::string value = databank::ValuePart(line);
    xSplitWords(value);
    const int m = WordList.ListCount();
    for (int j = 0; j < m; ++j) {
      std::string word = Trim(WordList.List(j));
      if (!word.empty() && word.back() == ',') {
        word.pop_back();
        word = Trim(word);
      }
      if (!word.empty() && word.front() == ',') {
        word.erase(0, 1);
        word = Trim(word);
      }
      const std::string meaning = db_.Query(std::string(xKnowledge), std::string(word));
      if (!meaning.empty() && meaning != value && word != "," && !word.empty()) {
        xLearn(xKnowledge, value, meaning);
      }
    }
    env_.Yield();
  }
  return xRemember();
}

}  // namespace carob::window
