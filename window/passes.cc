// The memory list and the three thinking passes Command1 runs: the reverse
// pass, the key-substitution pass and the value-meaning pass. Each yields
// to the window as it walks the list; events handled meanwhile may reload
// the list, so every item is read again after a yield.
#include <vector>

#include "platform/text.h"
#include "window/window.h"

namespace carob::window {

using platform::Status;
using platform::Trim;

namespace {

// The memory list could not be reloaded; `reason` is told in the lifecycle.
Status MemoryFailure(std::string reason) {
  return Status::Failure("cannot reload the memory list", std::move(reason));
}

// A pass learns many facts in a row: they are made durable together, at a
// sync point once a second and at the pass's end, instead of one sync per
// write. A power cut meanwhile still leaves the knowledge file as it was
// before some write or after it (a rewrite's new file is synced before it
// takes the name, grouped or not); it may only lose the facts of the last
// second. Whatever else is written during the pass's yields is grouped too
// (the form syncs before it takes a handled sentence off its queue).
class GroupedSyncs {
 public:
  explicit GroupedSyncs(platform::Env& env) : env_(env), last_(env.Timer()) { env_.GroupSyncs(true); }
  ~GroupedSyncs() { env_.GroupSyncs(false); }
  GroupedSyncs(const GroupedSyncs&) = delete;
  GroupedSyncs& operator=(const GroupedSyncs&) = delete;

  // A sync point when a second has passed since the last (a clock that went
  // back past midnight counts as passed).
  Status Tick() {
    const float now = env_.Timer();
    if (now - last_ < 1.0f && now >= last_) return Status::Ok();
    last_ = now;
    return env_.SyncGrouped();
  }
  Status End() { return env_.SyncGrouped(); }

 private:
  platform::Env& env_;
  float last_;
};

}  // namespace

bool Window::MemoryLine(int index, std::string& line) const {
  if (index < 0 || index >= ActiveMemory.ListCount()) return false;
  line = ActiveMemory.List(index);
  return true;
}

Status Window::xRemember() {
  ActiveMemory.Clear();
  if (Trim(xKnowledge).empty()) return MemoryFailure("no knowledge databank is set");
  // The file is found the way the databank engine finds it, so that the
  // lines read are those of the databank that facts are learnt into.
  std::string name = xKnowledge;
  if (db_.ResolveBankPath(name).empty()) {
    return MemoryFailure("knowledge databank " + xKnowledge + " is not a file");
  }
  std::vector<std::string> lines;
  if (!db_.ReadLines(xKnowledge, lines)) {
    return MemoryFailure("knowledge databank " + xKnowledge + " cannot be read");
  }
  for (const std::string& line : lines) ActiveMemory.AddItem(line);
  return Status::Ok();
}

Status Window::Meaning(const std::string& word, std::string& meaning) {
  return db_.Read(xKnowledge, word, meaning);
}

Status Window::EachMemoryLine(const std::function<Status(int, const std::string&)>& step) {
  if (Status loaded = xRemember(); !loaded) return loaded;
  const int n = ActiveMemory.ListCount();
  std::string line;
  GroupedSyncs syncs(env_);
  for (int i = 0; i < n; ++i) {
    // A close asked for during a yield stops the pass between two lines:
    // every line's writes are whole, the knowledge file with them.
    if (interaction_.Closing()) {
      return Status::Failure("stopped before memory line " + std::to_string(i + 1) + " of " +
                                 std::to_string(n),
                             "the program is closing");
    }
    // A question handled during a yield may have reloaded a shorter list.
    if (MemoryLine(i, line)) {
      if (Status stepped = step(i, line); !stepped) return stepped;
    }
    if (Status synced = syncs.Tick(); !synced) return synced;
  }
  if (Status synced = syncs.End(); !synced) return synced;
  return xRemember();
}

Status Window::xThink1() {
  db_.StartDatabankIOLog(true);
  return EachMemoryLine([this](int, const std::string& line) {
    Status learnt = xLearn(xKnowledge, databank::ValuePart(line), databank::KeyPart(line));
    interaction_.Yield();
    return learnt;
  });
}

Status Window::xThink2() {
  return EachMemoryLine([this](int i, const std::string& line) -> Status {
    xSplitWords(databank::KeyPart(line));
    WordList.Refresh();
    interaction_.Yield();

    std::string phrase;
    const int m = WordList.ListCount();
    for (int j = 0; j < m; ++j) {
      std::string word = WordList.List(j);
      std::string meaning;
      if (Status read = Meaning(word, meaning); !read) return read;
      if (meaning.empty()) meaning = word;
      phrase += meaning + " ";
    }
    interaction_.Yield();
    phrase = Trim(phrase);

    // The item is read again after the yields; it may be gone by now.
    std::string again;
    if (!MemoryLine(i, again)) return Status::Ok();
    const std::string value = databank::ValuePart(again);
    return value != phrase ? xLearn(xKnowledge, phrase, value) : Status::Ok();
  });
}

Status Window::xThink3() {
  return EachMemoryLine([this](int, const std::string& line) -> Status {
    const std::string value = databank::ValuePart(line);
    xSplitWords(value);
    const int m = WordList.ListCount();
    for (int j = 0; j < m; ++j) {
      const std::string word = StripCommas(WordList.List(j), 1);
      std::string meaning;
      if (Status read = Meaning(word, meaning); !read) return read;
      if (!meaning.empty() && meaning != value && word != "," && !word.empty()) {
        if (Status learnt = xLearn(xKnowledge, value, meaning); !learnt) return learnt;
      }
    }
    interaction_.Yield();
    return Status::Ok();
  });
}

}  // namespace carob::window
