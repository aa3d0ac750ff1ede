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
        if (RemoveTopEntry(file)) {
          stuck_ = StuckEntry{};
        } else if (auto now = env_.FindFile(path)) {
          stuck_.seen = *now;
        }
        return "";
      }
    }
    stuck_ = StuckEntry{};
  }

  // The entry is read while it is taken off, so what is handed over is
  // exactly what left the file. The plain rule removes an entry only when it
  // has text; an entry with a header but no text lines carries nothing and is
  // removed as well, or it would stay at the top and block its queue for good.
  QueueEntry top;
  if (TakeTop(file, top)) {
    // Another taker emptied the file meanwhile: nothing was taken.
    if (top.header.empty() && top.text.empty()) return "";
  } else {
    // It could not be taken off: it is handed over this once all the same.
    top = ReadTop(file);
    if (auto now = env_.FindFile(path)) stuck_ = StuckEntry{path, top, *now};
  }
  const std::string& text = top.text;

  std::string result;
  if (platform::OccursIn("SET SOURCE", text)) {
    SourcedText parts = SplitSource(text);
    last_source_ = parts.Source;
    result = parts.Text;
  } else {
    last_source_ = kNoComputer;
    result = text;
  }

  if (platform::Trim(result) == "!") {
    std::string source;
    SendMessage(source, last_source_, "User:!!");
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
