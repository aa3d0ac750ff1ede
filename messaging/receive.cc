// Taking messages out of an application's interface file.
#include <string>

#include "messaging/messaging.h"
#include "platform/text.h"

namespace carob::messaging {
namespace {

std::string KindWord(MessageKind kind) {
  switch (kind) {
    case MessageKind::kInterface: return "interface";
    case MessageKind::kOutbox: return "outbox";
  }
  return "";
}

// The file is as it was: same length, time and identity.
bool SameState(const platform::FileInfo& a, const platform::FileInfo& b) {
  return a.size == b.size && a.mtime_ns == b.mtime_ns && a.inode == b.inode;
}

}  // namespace

std::string Messaging::ReceiveMessage(const std::string& app, MessageKind kind) {
  std::string result = ReceiveMessageHeld(app, kind);
  MessageHandled();
  return result;
}

void Messaging::MessageHandled() {
  if (!held_message_) return;
  held_message_ = false;
  const std::string path = claim_.path;
  const std::string file = claim_.file;
  (void)MarkHandled(0);  // unmarked: recovery finds it taken
  if (!ReleaseClaim()) {
    // Not handed over again: see the stuck entry in ReceiveMessageHeld.
    QueueEntry entry = ReadTop(file);
    if (auto now = env_.FindFile(path)) stuck_ = StuckEntry{path, entry, *now};
  }
}

std::string Messaging::ReceiveMessageHeld(const std::string& app, MessageKind kind) {
  // A caller that did not say its last message was handled is done with it.
  MessageHandled();
  const std::string kind_word = KindWord(kind);
  // First use registers the default location; the file is looked at from
  // the next call on.
  const std::string file =
      FileLocationOr(app + " " + kind_word, platform::Trim(app) + "." + kind_word + ".POF");
  if (file.empty()) return "";

  // The length check looks at the recorded path and settles nothing: the
  // queue layer's temporary folder is settled at its first path resolution
  // (the first entry read or the first log line), never by a poll that
  // finds the file empty. A location recorded as a bare name is looked for
  // in the program folder, where the queue operations find it, instead of
  // never being read.
  const std::string path = file.find(':') == std::string::npos
                               ? platform::JoinPath(env_.ProgramFolder(), file)
                               : file;
  auto info = env_.FindFile(path);
  if (!info || info->size == 0) return "";

  // An entry that was handed over but could not be taken off the file is not
  // handed over again. While the file is unchanged nothing is read at all;
  // once it changes, removing that entry is tried again.
  if (!stuck_.path.empty()) {
    if (stuck_.path == path) {
      if (SameState(*info, stuck_.seen)) return "";
      if (ReadTop(file) == stuck_.entry) {
        if (RemoveIfTop(file, stuck_.entry)) {
          stuck_ = StuckEntry{};
        } else if (auto now = env_.FindFile(path)) {
          stuck_.seen = *now;
        }
        return "";
      }
    }
    stuck_ = StuckEntry{};
  }

  // The entry stays in the file, claimed, until the caller has handled it
  // (the plain rule takes it off before handing it over, so a program killed
  // while handling it lost it). The plain rule removes an entry only when it
  // has text; an entry with a header but no text lines carries nothing and is
  // removed as well, or it would stay at the top and block its queue for good.
  QueueEntry top;
  bool busy = false;
  if (ClaimQueue(file, &busy)) {
    top = ClaimedTop();
    // Another taker emptied the file meanwhile: nothing was taken.
    if (top.empty()) {
      (void)ReleaseClaim();  // nothing was taken
      return "";
    }
    held_message_ = true;
  } else if (busy) {
    return "";
  } else {
    // No claim can be made (no temporary folder): the entry is handed over
    // this once all the same and taken off once that works.
    top = ReadTop(file);
    if (auto now = env_.FindFile(path)) stuck_ = StuckEntry{path, top, *now};
  }
  if (!top.junk.empty() && console_log_enabled_) {
    WriteLog(kConsoleLogName, "Not taken [" + top.junk + "]: it stands before the first entry of " + path);
  }
  const std::string& text = top.text;
  if (top.header.empty() && text.empty()) return "";  // only stray lines, now gone

  std::string result;
  last_source_refused_ = false;
  if (platform::OccursIn("SET SOURCE", text)) {
    SourcedText parts = SplitSource(text);
    last_source_ = parts.Source;
    result = parts.Text;
    // A source that is no computer id counts as naming none, and nothing is
    // sent back to it: pasted into "SENDTO [" + id + "] " it would address
    // another program.
    if (!ValidComputerId(last_source_)) {
      if (console_log_enabled_) {
        std::string shown;
        for (char c : last_source_) shown += c == '\r' ? "\\r" : c == '\n' ? "\\n" : std::string(1, c);
        WriteLog(kConsoleLogName, "Source refused [" + shown +
                                      "]: a computer id holds no \"[\", \"]\", line break or "
                                      "surrounding blank; no answer is sent");
      }
      last_source_ = kNoComputer;
      last_source_refused_ = true;
    }
  } else {
    last_source_ = kNoComputer;
    result = text;
  }

  if (platform::Trim(result) == "!") {
    if (!last_source_refused_) {
      std::string source;
      SendMessage(source, last_source_, "User:!!");
    }
    result.clear();
  }

  if (console_log_enabled_) {
    WriteLog(kConsoleLogName, "Recieved [" + result + "]");
    WriteLog(kConsoleLogName, " Source = " + last_source_);
    WriteLog(kConsoleLogName, " AppName = " + app);
    WriteLog(kConsoleLogName, " AppType = " + std::to_string(static_cast<int>(kind)));
  }
  return result;
}

SourcedText Messaging::SplitSource(const std::string& text) {
  SourcedText parts;
  if (platform::EqualsNoCase(std::string_view(text).substr(0, 10), "SET SOURCE")) {
    size_t nl = text.find(platform::kCrLf);
    // Without a line break the whole text is the first line.
    if (nl == std::string::npos) nl = text.size();
    size_t eq = text.find('=');
    // Without any "=" the whole first line names the source; an "=" that
    // stands only after the first line names none.
    size_t from = eq == std::string::npos ? 0 : eq + 1;
    if (from <= nl) parts.Source = platform::Trim(std::string_view(text).substr(from, nl - from));
    std::string rest = nl + 2 <= text.size() ? platform::Trim(text.substr(nl + 2)) : std::string();
    if (rest.starts_with(platform::kCrLf)) rest.erase(0, 2);
    if (rest.ends_with(platform::kCrLf)) rest.erase(rest.size() - 2);
    parts.Text = rest;
  } else {
    parts.Source = registry_.GetLocalId();
    parts.Text = text;
  }
  return parts;
}

}  // namespace carob::messaging
