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
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

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

// An entry of a queue file as it stands: its boundary line and its text, CR
// LF after every line. Lines that stand before the first boundary of a file
// are no part of any entry: they come back as `junk` of the first entry
// (with an empty header when the file holds no boundary at all).
struct QueueEntry {
  std::string header;
  std::string text;
  std::string junk;
  bool empty() const { return header.empty() && text.empty() && junk.empty(); }
  bool operator==(const QueueEntry&) const = default;
};

// A computer id as a "SET SOURCE = " line may name it: never "[", "]", a
// line break or a blank at either end, since answers put it between "SENDTO ["
// and "] " and the dispatcher ends it at the first "]". The empty id is
// allowed (it names no computer).
bool ValidComputerId(std::string_view id);

// An entry in its stored form: junk, header line and text lines.
std::string StoredEntry(const QueueEntry& entry);

// Whether a text, appended as an entry, would read back as more than one
// (one of its lines begins with "---"): such a text is never appended.
bool SplitsIntoEntries(std::string_view text);

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
  std::string ReadTopEntry(const std::string& file) { return ReadTop(file).text; }
  std::string MakeSwapName(const std::string& path);

  // AppendEntry succeeds when the entry was written or there was nothing to
  // write ("cannot append to C:\x\q.POF: ..." otherwise); RemoveTopEntry
  // succeeds when the top entry is gone from the file (or the file held
  // none), and fails while it is still there.
  // An append never lets its text read back as more than one entry: a text
  // with a line that begins with "---" is refused. A file whose last line
  // lacks its end gets CR LF first; a write that fails part way is cut back,
  // so the file stays exactly as it was.
  [[nodiscard]] platform::Status AppendEntry(const std::string& file, const std::string& text);
  // Several texts, each as an entry of its own in their order, with the same
  // care and in one write: all of them land or none does. Blank texts are
  // left out; a text that would split into entries refuses the whole append.
  [[nodiscard]] platform::Status AppendTexts(const std::string& file,
                                             const std::vector<std::string>& texts);
  // Whole entries as they stood in another queue (headers kept), appended
  // with the same care, in one write.
  platform::Status AppendEntries(const std::string& file, const std::vector<QueueEntry>& entries);
  QueueEntry ReadTop(const std::string& file);
  // ReadTop that tells a queue that cannot be read (its cause) from an
  // empty or missing one (ok, `top` empty).
  [[nodiscard]] platform::Status ReadTop(const std::string& file, QueueEntry& top);
  [[nodiscard]] platform::Status RemoveTopEntry(const std::string& file) {
    QueueEntry taken;
    return TakeTop(file, taken);
  }
  // Removes the top entry and gives back what was removed, read while the
  // queue is held, so that takers never hand out one entry twice. Same
  // result as RemoveTopEntry; `taken` stays empty when nothing was removed.
  platform::Status TakeTop(const std::string& file, QueueEntry& taken);

  // -- taking entries only once they are handled
  //
  // A taker claims a queue (a claim file in the temporary folder, created
  // exclusively and held while the taker lives), reads what it needs,
  // handles it, marks each handled entry in the claim file and releases the
  // claim, which only then removes the handled entries from the queue. A
  // taker killed at any moment loses nothing: the next claim of the queue
  // finds the dead taker's claim file and removes what it marked handled
  // (an entry handled but not yet marked is at worst handled once more).
  //
  // A taker that hands entries on by appending them to another queue says
  // so first (HandingOn): the next AppendEntry or AppendEntries notes
  // in the claim file, before it writes, where the bytes land (the queue's
  // identity, the offset, their length and checksum). A taker killed between
  // that append and MarkHandled leaves the note behind, and the next claim
  // counts the entries handled when their bytes stand there whole, so they
  // are not handed on twice.
  // Where the bytes cannot be found (the queue was rebuilt by its own taker
  // meanwhile, or the write never happened) the entry stays, as before.
  //
  // ClaimQueue fails while another living taker holds the queue (*busy is
  // then set) or when no claim file can be made; one claim at a time, a new
  // claim releases the old one. A claim names its maker (computer and
  // process), so that where a holder cannot be seen (a network share) a
  // claim left by an ended process of this computer is still recovered;
  // one made on another computer counts as held.
  platform::Status ClaimQueue(const std::string& file, bool* busy = nullptr);
  QueueEntry ClaimedTop();
  std::vector<QueueEntry> ClaimedEntries();
  // Entry `index` (from 0, oldest first) of the claimed queue was handled.
  platform::Status MarkHandled(size_t index) { return MarkHandled(std::vector<size_t>{index}); }
  // The same for several entries at once: one write and one sync.
  platform::Status MarkHandled(const std::vector<size_t>& indices);
  // The next append hands on entry `first` of the claimed queue, or the
  // `count` entries from `first` on in their order (nullopt: it hands
  // nothing on).
  void HandingOn(std::optional<size_t> first, size_t count = 1) {
    claim_.handing_on.clear();
    for (size_t i = 0; first && i < count; ++i) claim_.handing_on.push_back(*first + i);
  }
  // The next append hands on the claimed entries at `indices`, ascending,
  // in their order (a batch for one queue; gaps allowed).
  void HandingOn(std::vector<size_t> indices) { claim_.handing_on = std::move(indices); }
  // Removes the handled entries and ends the claim; a removal that fails is
  // finished by the next claim of the queue.
  platform::Status ReleaseClaim();

  // -- receive and send
  // Receives and takes the message off at once.
  std::string ReceiveMessage(const std::string& app, MessageKind kind);
  // Receives the message but leaves it in its file until MessageHandled()
  // (or the next receive), so that a program killed while handling it gets
  // it again at its next start.
  std::string ReceiveMessageHeld(const std::string& app, MessageKind kind);
  void MessageHandled();
  SourcedText SplitSource(const std::string& text);
  void SendMessage(std::string& source, const std::string& destination, const std::string& text);
  // Sends nothing when the last message named a source that is no computer
  // id (see ValidComputerId); the console log says so.
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
  // RewriteQueue on a network share, under HoldQueue.
  platform::Status RewriteOnShare(const std::string& path, const std::vector<size_t>& indices,
                                  const std::string& add);

  // A top entry that was handed over but could not be taken off its file,
  // with the state of the file at that moment.
  struct StuckEntry {
    std::string path;
    QueueEntry entry;
    platform::FileInfo seen;
  };
  // The queue this process is taking from.
  struct Claim {
    std::string file;  // as the caller named it
    std::string path;  // resolved
    std::unique_ptr<platform::LockFile> lock;
    std::vector<size_t> handled;
    bool marked = false;  // the claim file records handled entries
    // The entries handed on by the next append, ascending, then cleared.
    std::vector<size_t> handing_on;
    // The claim file's name among those this process holds, while held.
    std::shared_ptr<const std::string> held_here;
  };
  // Notes `claim_name` among the claims this process holds until the
  // returned mark goes.
  static std::shared_ptr<const std::string> HoldHere(const std::string& claim_name);
  // For an append of `size` bytes to `path` that hands the claimed entries
  // `handing` on: notes in the claim file where its bytes land, before it
  // writes. Empty when it hands nothing on.
  std::function<platform::Status(int64_t, std::string_view)> SentNote(
      const std::vector<size_t>& handing, const std::string& path, size_t size);
  // Takes `expected` off when it is still the top entry; ok when it is gone.
  platform::Status RemoveIfTop(const std::string& file, const QueueEntry& expected);
  // A rebuild whose queue could not be opened or read: done when the queue
  // is surely gone (nothing is left to take off), else `failed`.
  platform::Status GoneSince(const std::string& path, const platform::Status& failed);
  // Finishes what a dead taker's claim file records; false when it cannot.
  // `maker_ended_here`: the claim names a process of this computer that has
  // ended, and lies where a taker on another computer would not be seen.
  bool RecoverClaim(const std::string& claim_name, const std::string& path,
                    bool maker_ended_here = false);
  // Rebuilds the queue without the entries at `indices` and with `add`
  // appended; what could not be placed is handed back in *unplaced.
  platform::Status RewriteQueue(const std::string& path, const std::vector<size_t>& indices,
                                const std::string& add, std::string* unplaced);

  platform::Env& env_;
  databank::Databank& db_;
  registry::Registry& registry_;
  bool console_log_enabled_ = false;
  std::string roz_temp_dir_;
  bool initialising_ = false;
  std::string last_name_;
  std::string last_path_;
  std::string last_source_;
  bool last_source_refused_ = false;
  StuckEntry stuck_;
  Claim claim_;
  bool held_message_ = false;
};

}  // namespace carob::messaging
