// ROZ interface files: queues of entries, each a header line
// "--- Entry by ROZ Default on " + clock stamp followed by the lines of a text.
// Any program appends whole entries at the end; the owner reads the entry at
// the top and removes it. Here: the format, appends, reads and the queue's
// rebuild; the claims that take entries off only once they are handled, and
// the recovery of a killed taker's claim, are in claim.cc.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "messaging/messaging.h"
#include "messaging/roz_file.h"
#include "platform/clockstamp.h"
#include "platform/text.h"
#include "platform/windows_path.h"

namespace carob::messaging {
namespace {

using platform::kCrLf;
using platform::Status;

bool IsBoundary(std::string_view line) { return line.substr(0, 3) == "---"; }

// Calls fn for every piece of a line as File::ReadLine gives it, split at
// lone CRs: a file written with CR-only line ends reads line by line too
// instead of as one long line that holds every entry.
template <class Fn>
void ForEachPiece(std::string_view line, Fn&& fn) {
  size_t at = 0;
  for (;;) {
    const size_t cr = line.find('\r', at);
    if (cr == std::string_view::npos) {
      fn(line.substr(at));
      return;
    }
    fn(line.substr(at, cr - at));
    at = cr + 1;
    if (at == line.size()) return;
  }
}

// Splits the lines of a queue file into entries. Lines before the first
// boundary are junk of the first entry, never its text. (Taken plainly, a
// queue counts them as part of the first entry; a careless writer's stray
// lines would then be read as message text.)
class EntrySplitter {
 public:
  void Take(std::string_view line) {
    if (IsBoundary(line)) {
      if (!headed_ && !entries_.empty()) {
        entries_.front().header = line;
      } else {
        entries_.emplace_back().header = line;
      }
      headed_ = true;
      return;
    }
    if (entries_.empty()) entries_.emplace_back();
    QueueEntry& e = entries_.back();
    (headed_ ? e.text : e.junk).append(line).append(kCrLf);
  }
  void TakeLine(std::string_view line) {
    ForEachPiece(line, [this](std::string_view piece) { Take(piece); });
  }
  // The first entry is complete once a second one has begun.
  bool FirstComplete() const { return entries_.size() > 1; }
  std::vector<QueueEntry>& entries() { return entries_; }

 private:
  std::vector<QueueEntry> entries_;
  bool headed_ = false;
};

// Every entry of a queue file's bytes.
std::vector<QueueEntry> EntriesOf(std::string_view bytes) {
  EntrySplitter splitter;
  platform::ForEachLine(bytes, [&](std::string_view line, int64_t) {
    splitter.TakeLine(line);
    return true;
  });
  return std::move(splitter.entries());
}

// What a queue holds once the entries at `indices` are taken off and `add`
// is put behind the rest.
std::string Remaining(const std::vector<QueueEntry>& entries, const std::vector<size_t>& indices,
                      const std::string& add) {
  const std::set<size_t> drop(indices.begin(), indices.end());
  std::string rest;
  for (size_t i = 0; i < entries.size(); ++i) {
    if (!drop.count(i)) rest += StoredEntry(entries[i]);
  }
  if (!add.empty()) {
    if (!rest.empty() && rest.back() != '\n') rest += kCrLf;
    rest += add;
  }
  return rest;
}

}  // namespace

std::string Hex(unsigned long value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%lX", value);
  return buf;
}

std::string StoredName(platform::Env& env, const std::string& path) {
  std::string name;
  if (auto info = env.FindFile(path)) name = info->stored_name;
  if (name.empty()) name = platform::LastComponent(path, "\\:");
  return name;
}

Status ReadEntries(platform::File& in, bool first_only, std::vector<QueueEntry>& out) {
  out.clear();
  EntrySplitter splitter;
  std::string line;
  bool more = true;
  while (!(first_only && splitter.FirstComplete()) && (more = in.ReadLine(line))) {
    splitter.TakeLine(line);
  }
  if (!more) {
    if (Status read = in.status(); !read) return read;
  }
  out = std::move(splitter.entries());
  if (first_only && out.size() > 1) out.resize(1);
  return Status::Ok();
}

// The text splits into lines whose first begins with "---" or a later one
// does: read back, it would be more than one entry.
bool SplitsIntoEntries(std::string_view text) {
  size_t at = 0;
  for (;;) {
    if (IsBoundary(text.substr(at))) return true;
    const size_t end = text.find_first_of("\r\n", at);
    if (end == std::string_view::npos) return false;
    at = end + 1;
    if (text[end] == '\r' && at < text.size() && text[at] == '\n') ++at;
  }
}

bool ValidComputerId(std::string_view id) {
  if (id.empty()) return true;
  if (id.front() == ' ' || id.back() == ' ') return false;
  return id.find_first_of("[]\r\n") == std::string_view::npos;
}

std::string StoredEntry(const QueueEntry& entry) {
  std::string out = entry.junk;
  if (!entry.header.empty()) out.append(entry.header).append(kCrLf);
  return out.append(entry.text);
}

void Messaging::InitInterfaceFileAccess() {
  initialising_ = true;
  db_.SettleTemporaryFolder(roz_temp_dir_);
  initialising_ = false;
}

std::string Messaging::FileLocation(std::string_view key) {
  std::string value;
  // An unreadable "C:\FileLoc" holds no location.
  (void)db_.Read(databank::kFileLoc, key, value);
  return value;
}

std::string Messaging::FileLocationOr(std::string_view key, std::string_view file_name,
                                      Status* recorded) {
  std::string value = FileLocation(key);
  if (value.empty()) {
    const std::string path = platform::JoinPath(env_.ProgramFolder(), file_name);
    Status s = db_.Write(databank::kFileLoc, key, path);
    if (recorded) *recorded = s;
  }
  return value;
}

std::string Messaging::ResolveInterfacePath(const std::string& name) {
  if (name == last_name_) return last_path_;
  last_name_ = name;
  if (roz_temp_dir_.empty() && !initialising_) InitInterfaceFileAccess();
  std::string path = name;
  if (path.find(':') == std::string::npos) path = platform::JoinPath(env_.ProgramFolder(), path);
  if (!path.empty() && path.front() == '\\' && !roz_temp_dir_.empty()) {
    path = platform::JoinPath(roz_temp_dir_, std::string_view(path).substr(1));
  }
  last_path_ = path;
  return path;
}

// Appends bytes to a queue while holding it. A last line without its end is
// completed first, so the bytes cannot glue onto it; a write that fails part
// way is cut back to the old length, so a retry does not glue onto a piece.
// `noting`, when given, is told before the write where the bytes land and
// exactly what is written.
static Status AppendHeld(platform::Env& env, const std::string& path, const std::string& bytes,
                         const std::function<Status(int64_t, std::string_view)>& noting = {}) {
  std::unique_ptr<platform::File> out;
  Status s = env.OpenLocked(path, platform::OpenMode::kAppend, &out);
  if (!s) return s;
  int64_t old_size = -1;
  std::string last;
  if (s = out->Size(old_size); s && old_size > 0) s = out->ReadAt(old_size - 1, 1, last);
  if (!s) return s;
  // A lone CR ends a line too (see ForEachPiece).
  const bool ended = last.empty() || last == "\n" || last == "\r";
  const std::string written = ended ? bytes : std::string(kCrLf) + bytes;
  if (noting) {
    if (s = noting(old_size, written); !s) return s;
  }
  s = out->Write(written);
  if (!s) {
    if (Status cut = out->Truncate(old_size); !cut) {
      return Status::Failure(s.message(), "and it could not be cut back: " + cut.cause());
    }
  }
  // The entry counts as appended once the close says it is on the disk (a
  // failed close has taken it back out).
  if (Status closed = out->Close(); s) s = closed;
  return s;
}

Status Messaging::AppendEntry(const std::string& file, const std::string& text) {
  return AppendTexts(file, {text});
}

Status Messaging::AppendTexts(const std::string& file, const std::vector<std::string>& texts) {
  const auto handing = std::exchange(claim_.handing_on, {});
  if (platform::Trim(file).empty()) return Status::Ok();
  const std::string path = ResolveInterfacePath(file);
  const std::string header = kEntryHeader + platform::ClockStamp(env_);
  std::string entries;
  for (const std::string& text : texts) {
    if (platform::Trim(text).empty()) continue;
    if (SplitsIntoEntries(text)) {
      return Status::Failure("cannot append to " + path,
                             "a line of the text begins with \"---\" and would read as another entry");
    }
    entries.append(header).append(kCrLf).append(text).append(kCrLf);
  }
  if (entries.empty()) return Status::Ok();
  // The whole batch goes out in one write while the queue is held, so a
  // taker rebuilding the file never splits an entry and never loses one.
  databank::SwapLock queue = HoldQueue(path);
  if (!queue.failure().ok()) return queue.failure().As("cannot append to " + path);
  Status s = AppendHeld(env_, path, entries, SentNote(handing, path, entries.size()));
  return s ? s : s.As("cannot append to " + path);
}

Status Messaging::AppendEntries(const std::string& file, const std::vector<QueueEntry>& entries) {
  const auto handing = std::exchange(claim_.handing_on, {});
  std::string bytes;
  for (const QueueEntry& e : entries) bytes += StoredEntry(e);
  if (bytes.empty()) return Status::Ok();
  const std::string path = ResolveInterfacePath(file);
  databank::SwapLock queue = HoldQueue(path);
  if (!queue.failure().ok()) return queue.failure().As("cannot append to " + path);
  Status s = AppendHeld(env_, path, bytes, SentNote(handing, path, bytes.size()));
  return s ? s : s.As("cannot append to " + path);
}

QueueEntry Messaging::ReadTop(const std::string& file) {
  QueueEntry top;
  (void)ReadTop(file, top);  // a queue that cannot be read hands out nothing
  return top;
}

Status Messaging::ReadTop(const std::string& file, QueueEntry& top) {
  top = QueueEntry{};
  if (platform::Trim(file).empty()) return Status::Ok();
  const std::string path = ResolveInterfacePath(file);
  auto info = env_.FindFile(path);
  if (!info || info->size == 0) return Status::Ok();
  const std::string what = "cannot read " + path;
  // Held while reading, so an entry being appended is seen whole or not at all.
  databank::SwapLock queue = HoldQueue(path);
  if (!queue.failure().ok()) return queue.failure().As(what);
  std::unique_ptr<platform::File> in;
  if (Status s = env_.OpenLocked(path, platform::OpenMode::kRead, &in); !s) return s.As(what);
  std::vector<QueueEntry> entries;
  if (Status s = ReadEntries(*in, true, entries); !s) return s.As(what);
  if (!entries.empty()) top = std::move(entries.front());
  return Status::Ok();
}

Status Messaging::RewriteQueue(const std::string& path, const std::vector<size_t>& indices,
                               const std::string& add, std::string* unplaced) {
  unplaced->clear();
  const std::string what = "cannot take entries off " + path;
  if (indices.empty() && add.empty()) return Status::Ok();
  databank::SwapLock queue = HoldQueue(path);
  if (!queue.failure().ok()) return queue.failure().As(what);
  // Only a queue that is surely gone has nothing to take off: one that
  // cannot be looked at for now keeps its entries for the next try.
  std::optional<platform::FileInfo> there;
  if (Status s = env_.LookUp(path, there); !s) return s.As(what);
  if (!there) {
    if (add.empty()) return Status::Ok();
    Status s = AppendHeld(env_, path, add);
    return s ? s : s.As(what);
  }
  // The queue stays held from the first read until the rebuilt file stands
  // under its name: appenders of the family wait meanwhile and then write to
  // the rebuilt file, after the entries that were waiting. The name never
  // stands empty: the rebuilt file replaces the old one in one step, already
  // held by us. (Moving the file away and creating it anew would let an
  // appender create the file in between and land ahead of the entries still
  // waiting.)
  if (!env_.LocksSeenEverywhere(platform::FolderPart(path))) return RewriteOnShare(path, indices, add);
  std::unique_ptr<platform::File> held;
  if (Status s = env_.OpenLocked(path, platform::OpenMode::kRead, &held); !s) {
    return GoneSince(path, s.As(what));
  }
  // The queue is rebuilt only from a whole read: a read that failed or
  // ended early leaves the queue as it is.
  std::vector<QueueEntry> entries;
  if (Status read = ReadEntries(*held, false, entries); !read) return read.As(what);
  int64_t copied = held->Tell();
  std::string rest = Remaining(entries, indices, add);
  std::unique_ptr<platform::LockFile> rebuilt;
  if (Status s = env_.ReplaceContentsHeld(path, rest, &rebuilt); !s) return s.As(what);

  // Programs that append without holding the queue may still have written
  // to the old file after the first pass; carry that over as well. What the
  // rebuilt file cannot take goes back to the caller. (The rebuild stands
  // already: a read that fails here is tried again, then what it would have
  // carried is given up with the old file, as a write that came too late.)
  bool carried = false;
  int64_t size = 0;
  for (int failures = 0; failures < 3 && held->Size(size) && size > copied;) {
    std::string extra;
    if (!held->ReadAt(copied, static_cast<size_t>(size - copied), extra)) {
      ++failures;
      continue;
    }
    if (extra.empty()) break;
    copied += static_cast<int64_t>(extra.size());
    if (!unplaced->empty() || !rebuilt->Write(extra)) {
      unplaced->append(extra);
    } else {
      carried = true;
    }
  }
  // Best effort: their writers did not wait for the disk either.
  if (carried) (void)rebuilt->Sync();
  return Status::Ok();
}

// The rebuild where the queue's folder lies on a network share, under the
// queue's swap file (appenders there hold it too, so nothing is appended
// meanwhile): the file is read whole and replaced with no handle of ours
// open on it, since the server refuses to replace a file that is open.
Status Messaging::RewriteOnShare(const std::string& path, const std::vector<size_t>& indices,
                                 const std::string& add) {
  const std::string what = "cannot take entries off " + path;
  std::string old;
  if (Status s = env_.ReadAll(path, old); !s) return GoneSince(path, s.As(what));
  std::vector<QueueEntry> entries = EntriesOf(old);
  std::string rest = Remaining(entries, indices, add);
  Status s = env_.ReplaceContents(path, rest);
  return s ? s : s.As(what);
}

Status Messaging::GoneSince(const std::string& path, const Status& failed) {
  std::optional<platform::FileInfo> there;
  Status looked = env_.LookUp(path, there);
  return looked && !there ? Status::Ok() : failed;
}

databank::SwapLock Messaging::HoldQueue(const std::string& path) {
  if (env_.LocksSeenEverywhere(platform::FolderPart(path)) || roz_temp_dir_.empty()) return {};
  const std::string name = StoredName(env_, path);
  return db_.LockSwapFile(platform::JoinPath(roz_temp_dir_, "ROZ." + name + ".TMP"));
}

std::string Messaging::MakeSwapName(const std::string& path) {
  const std::string name = StoredName(env_, path);
  for (unsigned long counter = 1;; ++counter) {
    float r = env_.random().Next() * 4095.0f;
    // nearbyint rounds halves to the even neighbour.
    auto whole = static_cast<unsigned long>(std::nearbyint(r));
    std::string candidate = platform::JoinPath(
        roz_temp_dir_, "ROZ." + name + "." + Hex(counter) + "." + Hex(whole) + ".TMP");
    if (!env_.FindFile(candidate)) return candidate;
  }
}

}  // namespace carob::messaging
