// The dialogue: the greeting, answering questions from memory, learning
// statements, splitting a text into words, and the comma-stripping rule
// that learning and the passes share.
#include "platform/text.h"
#include "window/window.h"

namespace carob::window {

using platform::OccursIn;
using platform::Status;
using platform::Trim;

namespace {

// The first line of a text. A databank line holds one key and one value, so
// a line break inside either would end the entry there and let the rest of a
// received sentence stand in the knowledge file as entries of its own.
std::string FirstLine(const std::string& text) {
  const size_t end = text.find_first_of("\r\n");
  return end == std::string::npos ? text : text.substr(0, end);
}

}  // namespace

std::string StripCommas(std::string_view text, int rounds) {
  std::string stripped = Trim(text);
  for (int round = 0; round < rounds; ++round) {
    if (!stripped.empty() && stripped.back() == ',') {
      stripped.pop_back();
      platform::TrimInPlace(stripped);
    }
    if (!stripped.empty() && stripped.front() == ',') {
      stripped.erase(0, 1);
      platform::TrimInPlace(stripped);
    }
  }
  return stripped;
}

void Window::xHandleSentence(std::string sentence) {
  const uint8_t stage = xStage;
  if (stage == 0) {
    xSay(kGreeting);
    xStage = 1;
    return;
  }
  if (stage != 1) return;

  if (!sentence.empty() && sentence.back() == '?') {
    // A failed reload leaves the list empty; the question then gets no
    // answer, and the failure is told (a knowledge file not made yet is no
    // failure: nothing has been learnt).
    platform::Status loaded = xRemember();
    if (!loaded && !Trim(xKnowledge).empty()) {
      std::string name = xKnowledge;
      const std::string path = db_.ResolveBankPath(name);
      if (!path.empty() && !env_.FindFile(path) && !env_.FolderExists(path)) {
        loaded = platform::Status::Ok();
      }
    }
    KnowledgeFailure(answer_failure_, "answer", loaded);
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
  // The dialogue goes on whether or not the sentence was learnt.
  (void)xLearn(xKnowledge, subject, object);  // xLearn reports its failure
}

Status Window::xLearn(std::string bank, std::string key, std::string value) {
  // A sentence that kept its line break ("blue?" + CR LF) is learnt as the
  // line the knowledge file can hold; whatever follows a break is dropped
  // rather than written as further lines.
  value = StripCommas(FirstLine(value), 2);
  key = StripCommas(FirstLine(key), 2);

  // What the key holds, read for sure: a value that could not be read is
  // not taken for none, or the new one would take its place.
  std::string existing;
  if (Status read = db_.Read(bank, key, existing); !read) {
    KnowledgeFailure(learn_failure_, "learn", read);
    return read;
  }
  if (!existing.empty() && (OccursIn(value, existing) || OccursIn(existing, value) ||
                            OccursIn(existing, key) || OccursIn(key, existing))) {
    KnowledgeFailure(learn_failure_, "learn", Status::Ok());  // known already: learnt
    return Status::Ok();
  }
  Status written = db_.Write(bank, key, existing.empty() ? value : existing + ", " + value);
  KnowledgeFailure(learn_failure_, "learn", written);
  // What the system refused (the file could not be read or written, the
  // disk is full) is told to the caller; a fact the file cannot hold (a
  // blank key, a line break) only in the report.
  return written.error() != 0 ? written : Status::Ok();
}

void Window::KnowledgeFailure(std::string& told, const char* what,
                              const platform::Status& outcome) {
  // Told once: the same failure met again and again (every question while
  // the file stays unreadable) is not repeated; a success forgets it.
  if (outcome.ok()) {
    // The title shows only what is true now: the failure is over.
    if (!told.empty() && told == status_shown_ && toolkit_ != nullptr) {
      toolkit_->ShowStatus("");
      status_shown_.clear();
    }
    told.clear();
    return;
  }
  const std::string line = std::string(kAppName) + ": cannot " + what + ": " + outcome.message();
  if (line == told) return;
  told = line;
  ReportFailure(line);
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
    // A word holds no blank, so one round strips a comma from either end.
    word = StripCommas(word, 1);
    if (!word.empty()) WordList.AddItem(word);
    word.clear();
  }
}

}  // namespace carob::window
