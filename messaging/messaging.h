// Messaging between the programs of the family: the shared log writer and
// the console log, ROZ queue files (interface files), and receiving and
// sending messages through the dispatcher's input file.
//
// One Messaging object is the module state of the messaging layer for one
// process (the console-log switch, the ROZ temporary folder, the path memo,
// LastSource). Operations never throw; those that callers check return a
// platform::Status that says what failed and why.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "databank/databank.h"
#include "platform/env.h"
#include "platform/status.h"
#include "registry/registry.h"

namespace carob::messaging {

inline constexpr const char* kDispatcherInputKey = "RORU PO Input";
inline constexpr const char* kConsoleLogName = "Console_use.log";
inline constexpr const char* kEntryHeader = "--- Entry by ROZ Default on ";
inline constexpr const char* kNoComputer = "0.0.0.0";

// Which interface file of an application a message is received from. The
// console log records the kind by its number ("AppType = 0"); a number
// outside these has no file word of its own.
enum class MessageKind : int {
  kInterface = 0,
  kOutbox = 1,
};

// A received message taken apart.
struct SourcedText {
  std::string Source;
  std::string Text;
};

// The top entry of a queue file as it stands: its first boundary line (when
// the file has one before any text) and its text, CR LF after every line.
struct QueueEntry {
  std::string header;
  std::string text;
  bool operator==(const QueueEntry&) const = default;
};

class Messaging {
 public:
  Messaging(platform::Env& env, databank::Databank& db, registry::Registry& registry);

  // -- log writer
  void WriteLog(const std::string& log_name, const std::string& text);
  void AppendLine(const std::string& path, const std::string& line);
  void RotateConsoleLog(bool keep_previous);
  bool ConsoleLogEnabled() const { return console_log_enabled_; }

  // -- ROZ interface files
  std::string ResolveInterfacePath(const std::string& name);
  void AppendEntry(const std::string& file, const std::string& text) {
    (void)AppendEntryChecked(file, text);
  }
  std::string ReadTopEntry(const std::string& file) { return ReadTop(file).text; }
  void DeleteTopEntry(const std::string& file) { (void)RemoveTopEntry(file); }
  std::string MakeSwapName(const std::string& path);

  // Checked forms for callers that must know the outcome (the companion
  // tool, receive). AppendEntryChecked succeeds when the entry was written
  // or there was nothing to write ("cannot append to C:\x\q.POF: ..."
  // otherwise); RemoveTopEntry succeeds when the top entry is gone from the
  // file (or the file held none), and fails while it is still there.
  platform::Status AppendEntryChecked(const std::string& file, const std::string& text);
  QueueEntry ReadTop(const std::string& file);
  platform::Status RemoveTopEntry(const std::string& file) {
    QueueEntry taken;
    return TakeTop(file, taken);
  }
  // Removes the top entry and gives back what was removed, read while the
  // queue is held, so that takers never hand out one entry twice. Same
  // result as RemoveTopEntry; `taken` stays empty when nothing was removed.
  platform::Status TakeTop(const std::string& file, QueueEntry& taken);

  // -- receive and send
  std::string ReceiveMessage(const std::string& app, MessageKind kind);
  SourcedText SplitSource(const std::string& text);
  void SendMessage(std::string& source, const std::string& destination, const std::string& text);
  void SendToOutputProgram(const std::string& text);
  std::string AddSource(std::string& source, const std::string& text);
  const std::string& LastSource() const { return last_source_; }

  const std::string& RozTempDir() const { return roz_temp_dir_; }

  // The value of key in "C:\FileLoc" ("" when absent or unreadable).
  std::string FileLocation(std::string_view key);
  // The same; when key holds none, file_name in the program folder is
  // recorded under it (the write's outcome in *recorded) and "" returned.
  std::string FileLocationOr(std::string_view key, std::string_view file_name,
                             platform::Status* recorded = nullptr);

 private:
  void InitInterfaceFileAccess();
  // Where the queue's folder keeps advisory locks to one computer (a network
  // share), the queue's swap file "ROZ.<file>.TMP" in the temporary folder,
  // taken as the databanks take theirs; elsewhere nothing is taken.
  databank::SwapLock HoldQueue(const std::string& path);
  // TakeTop under HoldQueue: the rest replaces the file with no handle of
  // ours open on it, since a share's server refuses to replace an open file.
  platform::Status TakeTopOnShare(const std::string& path, QueueEntry& taken);

  // A top entry that was handed over but could not be taken off its file,
  // with the state of the file at that moment.
  struct StuckEntry {
    std::string path;
    QueueEntry entry;
    platform::FileInfo seen;
  };

  platform::Env& env_;
  databank::Databank& db_;
  registry::Registry& registry_;
  bool console_log_enabled_ = false;
  std::string roz_temp_dir_;
  bool initialising_ = false;
  std::string last_name_;
  std::string last_path_;
  std::string last_source_;
  StuckEntry stuck_;
};

}  // namespace carob::messaging
