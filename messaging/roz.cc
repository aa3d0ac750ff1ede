// ROZ interface files: queues of entries, each a header line
// "--- Entry by ROZ Default on " + clock stamp followed by the lines of a text.
// Any program appends whole entries at the end; the owner reads the entry at
// the top and removes it.
#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "messaging/messaging.h"
#include "platform/clockstamp.h"
#include "platform/text.h"
#include "platform/windows_path.h"

namespace carob::messaging {
namespace {

using platform::kCrLf;
using platform::Status;

// A claim file's first line names its queue; each handled entry adds a line;
// bytes that a rebuild could not place back into the queue follow "--- kept".
constexpr std::string_view kClaimMark = "--- ROZ take of ";
constexpr std::string_view kHandledMark = "--- handled ";
constexpr std::string_view kKeptMark = "--- kept";
// The queue file's identity when it was claimed: once a rebuild has put a new
// file in its place, the handled entries are gone already.
constexpr std::string_view kFileMark = "--- file ";
// Entries being handed on to another queue: "--- sent <index> <identity>
// <offset> <length> <checksum> <path>", noted before the append writes; a
// run of entries appended in one write is "<first>-<last>" in place of the
// index.
constexpr std::string_view kSentMark = "--- sent ";
// Claim names tried per queue before giving up (a name taken by something
// that is not a claim of this queue is passed over).
constexpr unsigned kClaimNames = 16;
// A file larger than this at a claim name is no claim file of ours.
constexpr int64_t kClaimFileLimit = 1 << 20;

// A queue's name as stored (letter case as on the disk), or the last
// component of its path when it cannot be found.
std::string StoredName(platform::Env& env, const std::string& path) {
  std::string name;
  if (auto info = env.FindFile(path)) name = info->stored_name;
  if (name.empty()) name = platform::LastComponent(path, "\\:");
  return name;
}

bool IsBoundary(std::string_view line) { return line.substr(0, 3) == "---"; }

std::string Hex(unsigned long value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%lX", value);
  return buf;
}

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

// Reads a held queue file from its start: every entry, or only the first.
// A read that fails gives no entries at all: a piece of the file must never
// pass for the queue, nor the piece of an entry for the entry.
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

// Every entry of a queue file's bytes.
std::vector<QueueEntry> EntriesOf(std::string_view bytes) {
  EntrySplitter splitter;
  platform::ForEachLine(bytes, [&](std::string_view line, int64_t) {
    splitter.TakeLine(line);
    return true;
  });
  return std::move(splitter.entries());
}

std::string FileIdentity(const platform::FileInfo& info) {
  return std::to_string(info.device) + ":" + std::to_string(info.inode);
}

// FNV-1a, 64 bits: the same on every system of the family.
std::string Checksum(std::string_view bytes) {
  uint64_t h = 14695981039346656037ULL;
  for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ULL;
  char buf[17];
  std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
  return buf;
}

// The first and last index of the entries a kSentMark note (without its
// mark) tells of, when the bytes it noted stand whole where it noted them:
// the append was made. A queue that is there but cannot be read leaves it
// unknown: `unknown` is set, and nothing may be taken for sent or not.
std::optional<std::pair<size_t, size_t>> LandedEntries(platform::Env& env, std::string_view note,
                                                       bool& unknown) {
  std::string fields[5];
  for (std::string& f : fields) {
    const size_t space = note.find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    f = note.substr(0, space);
    note.remove_prefix(space + 1);
  }
  const std::string path(note);
  const size_t at = std::strtoull(fields[2].c_str(), nullptr, 10);
  const size_t length = std::strtoull(fields[3].c_str(), nullptr, 10);
  auto info = env.FindFile(path);
  std::string bytes;
  if (!info || FileIdentity(*info) != fields[1]) return std::nullopt;
  if (!env.ReadAll(path, bytes)) {
    unknown = env.FindFile(path).has_value();
    return std::nullopt;
  }
  // (The numbers come from a file in a shared folder: never trusted to fit.)
  if (at > bytes.size() || length > bytes.size() - at ||
      Checksum(std::string_view(bytes).substr(at, length)) != fields[4]) {
    return std::nullopt;
  }
  char* dash = nullptr;
  const size_t first = std::strtoull(fields[0].c_str(), &dash, 10);
  const size_t last = *dash == '-' ? std::strtoull(dash + 1, nullptr, 10) : first;
  // Every entry takes bytes of its own.
  if (last < first || last - first >= length) return std::nullopt;
  return std::pair{first, last};
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

std::function<Status(int64_t, std::string_view)> Messaging::SentNote(
    const std::optional<std::pair<size_t, size_t>>& handing, const std::string& path, size_t size) {
  if (!handing || !claim_.lock) return {};
  const auto [first, count] = *handing;
  return [this, first, count, path, size](int64_t at, std::string_view written) -> Status {
    // Held by us, the queue keeps its identity until the write is done. A
    // line end put before the entries moves them.
    auto info = env_.FindFile(path);
    if (!info || written.size() < size) return Status::Ok();
    const size_t from = written.size() - size;
    const std::string index =
        std::to_string(first) + (count > 1 ? "-" + std::to_string(first + count - 1) : "");
    // The note is on the disk before the entries are: a power cut after the
    // append must not leave them sent with nothing to say so, or they would
    // be sent again.
    Status noted = claim_.lock->Write(std::string(kSentMark) + index + " " + FileIdentity(*info) +
                                      " " + std::to_string(at + static_cast<int64_t>(from)) + " " +
                                      std::to_string(size) + " " + Checksum(written.substr(from)) +
                                      " " + path + std::string(kCrLf));
    if (noted) noted = claim_.lock->Sync();
    return noted;
  };
}

Status Messaging::AppendEntryChecked(const std::string& file, const std::string& text) {
  const auto handing = std::exchange(claim_.handing_on, std::nullopt);
  if (platform::Trim(text).empty() || platform::Trim(file).empty()) return Status::Ok();
  const std::string path = ResolveInterfacePath(file);
  if (SplitsIntoEntries(text)) {
    return Status::Failure("cannot append to " + path,
                           "a line of the text begins with \"---\" and would read as another entry");
  }
  std::string entry = kEntryHeader + platform::ClockStamp(env_);
  entry.append(kCrLf).append(text).append(kCrLf);
  // The whole entry goes out in one write while the queue is held, so a
  // taker rebuilding the file never splits it and never loses it.
  databank::SwapLock queue = HoldQueue(path);
  if (!queue.failure().ok()) return queue.failure().As("cannot append to " + path);
  Status s = AppendHeld(env_, path, entry, SentNote(handing, path, entry.size()));
  return s ? s : s.As("cannot append to " + path);
}

Status Messaging::AppendEntries(const std::string& file, const std::vector<QueueEntry>& entries) {
  const auto handing = std::exchange(claim_.handing_on, std::nullopt);
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
  if (platform::Trim(file).empty()) return {};
  const std::string path = ResolveInterfacePath(file);
  auto info = env_.FindFile(path);
  if (!info || info->size == 0) return {};
  // Held while reading, so an entry being appended is seen whole or not at all.
  databank::SwapLock queue = HoldQueue(path);
  if (!queue.failure().ok()) return {};
  std::unique_ptr<platform::File> in;
  if (!env_.OpenLocked(path, platform::OpenMode::kRead, &in)) return {};
  std::vector<QueueEntry> entries;
  if (!ReadEntries(*in, true, entries) || entries.empty()) return {};
  return std::move(entries.front());
}

Status Messaging::TakeTop(const std::string& file, QueueEntry& taken) {
  taken = QueueEntry{};
  env_.random().Seed(env_.Timer());
  const std::string path = ResolveInterfacePath(file);
  std::optional<platform::FileInfo> there;
  if (Status s = env_.LookUp(path, there); !s) return s.As("cannot take the top entry off " + path);
  if (!there) return Status::Ok();
  // A queue whose claim file cannot be made keeps every entry; the caller
  // learns that the top one is still there. Another taker holds its claim
  // only while it handles one entry: that is waited for, a while.
  bool busy = false;
  Status claimed = ClaimQueue(file, &busy);
  for (int tries = 0; !claimed && busy && tries < 700; ++tries) {
    env_.clock().Sleep(0.01);
    claimed = ClaimQueue(file, &busy);
  }
  if (!claimed) return claimed.As("cannot take the top entry off " + path);
  QueueEntry top = ClaimedTop();
  if (top.empty()) {
    auto info = env_.FindFile(path);
    if (info && info->size > 0) {
      (void)ReleaseClaim();
      return Status::Failure("cannot take the top entry off " + path, "it cannot be read");
    }
  }
  // Not marked in the claim file: the caller has not handled it yet, so a
  // kill before the removal leaves it in the queue.
  if (!top.empty()) claim_.handled.push_back(0);
  Status s = ReleaseClaim();
  if (s) taken = std::move(top);
  return s;
}

Status Messaging::RemoveIfTop(const std::string& file, const QueueEntry& expected) {
  if (Status s = ClaimQueue(file); !s) return s;
  if (ClaimedTop() == expected) claim_.handled.push_back(0);
  return ReleaseClaim();
}

Status Messaging::ClaimQueue(const std::string& file, bool* busy) {
  if (busy) *busy = false;
  if (claim_.lock) (void)ReleaseClaim();
  const std::string path = ResolveInterfacePath(file);
  const std::string what = "cannot claim " + path;
  const std::string name = StoredName(env_, path);
  const std::string mark = std::string(kClaimMark) + path + std::string(kCrLf);
  // The claim file is made exclusively (never through a symlink, never over
  // anything). Its names are fixed per queue, so that every taker meets the
  // others' claims; a name held by something that is not a claim of this
  // queue (a folder, a link, another queue's claim, a file someone planted)
  // is passed over for the next.
  for (unsigned counter = 1; counter <= kClaimNames; ++counter) {
    const std::string claim =
        platform::JoinPath(roz_temp_dir_, "ROZ." + name + "." + Hex(counter) + ".TMP");
    // A name that comes and goes (another taker releasing its claim) is
    // tried again: passing it over would let two takers hold the queue at
    // once under two names. Only what stays there and is no claim of this
    // queue is passed over (a dangling link, after a while).
    for (int attempt = 0; attempt < 50; ++attempt) {
      std::unique_ptr<platform::LockFile> lock;
      Status s = env_.TryLock(claim, &lock);
      if (s) {
        // Only a claim holder rebuilds the queue: from now on its identity
        // stays until we rebuild it ourselves.
        std::string identity = "none";
        if (auto info = env_.FindFile(path)) identity = FileIdentity(*info);
        if (Status w = lock->Write(mark + std::string(kFileMark) + identity + std::string(kCrLf)); !w) {
          lock->Release();
          return w.As(what);
        }
        claim_ = Claim{file, path, std::move(lock), {}, false, std::nullopt};
        return Status::Ok();
      }
      // A folder, a link or a device at the name is no claim: the next name.
      if (s.error() == 0) break;
      if (s.error() != EEXIST) return s.As(what);
      auto info = env_.FindFile(claim);
      if (!info) {
        if (env_.FolderExists(claim)) break;  // not ours: the next name
        continue;  // gone meanwhile, or a dangling link
      }
      std::string bytes;
      if (!env_.ReadAll(claim, bytes)) continue;
      const bool ours =
          info->size <= kClaimFileLimit && (bytes.empty() || bytes.starts_with(mark));
      if (!ours) break;  // the next name
      const platform::LockState state = env_.ProbeLock(claim);
      // On a network share a claim held from another computer cannot be
      // seen (kUnknown): it counts as held, never as a dead taker's.
      if (state == platform::LockState::kHeld || state == platform::LockState::kUnknown) {
        if (busy) *busy = true;
        return Status::Failure(what, "another program is taking from it");
      }
      if (state == platform::LockState::kUnheld && !RecoverClaim(claim, path)) {
        // A dead taker's claim whose work cannot be finished yet.
        return Status::Failure(what, "what a stopped taker left in " + claim +
                                         " cannot be finished yet");
      }
      // Recovered, or gone meanwhile: the name again.
    }
  }
  return Status::Failure(what, "every claim name in the temporary folder is taken");
}

bool Messaging::RecoverClaim(const std::string& claim_name, const std::string& path) {
  std::unique_ptr<platform::LockFile> hold;
  // Another taker may be recovering it right now.
  if (!env_.AdoptLock(claim_name, &hold)) return env_.ProbeLock(claim_name) != platform::LockState::kUnheld;
  std::string bytes;
  if (!env_.ReadAll(claim_name, bytes)) {
    hold->Release();
    return false;
  }
  std::vector<size_t> handled;
  bool unknown = false;  // whether some entries were sent cannot be told now
  std::string kept;
  const size_t kept_at = bytes.find(std::string(kCrLf) + std::string(kKeptMark) + std::string(kCrLf));
  if (kept_at != std::string::npos) {
    // The rebuild took place; only the bytes it could not place are missing.
    kept = bytes.substr(kept_at + kKeptMark.size() + 4);
  } else {
    std::string claimed_identity, now_identity = "none";
    if (auto info = env_.FindFile(path)) now_identity = FileIdentity(*info);
    platform::ForEachLine(bytes, [&](std::string_view line, int64_t) {
      if (line.starts_with(kFileMark)) claimed_identity = line.substr(kFileMark.size());
      if (line.starts_with(kHandledMark)) {
        handled.push_back(std::strtoul(std::string(line.substr(kHandledMark.size())).c_str(), nullptr, 10));
      }
      // Handed on, but killed before it could say so: its bytes tell.
      if (line.starts_with(kSentMark)) {
        if (auto landed = LandedEntries(env_, line.substr(kSentMark.size()), unknown)) {
          for (size_t i = landed->first; i <= landed->second; ++i) handled.push_back(i);
        }
      }
      return true;
    });
    // The taker died after its rebuild had replaced the file: done already.
    if (claimed_identity != now_identity) handled.clear();
  }
  std::string unplaced;
  const bool done =
      !unknown && RewriteQueue(path, handled, kept, &unplaced).ok() && unplaced.empty();
  hold->Release();  // leaves the file
  if (done) (void)env_.BreakLock(claim_name);
  return done;
}

QueueEntry Messaging::ClaimedTop() { return claim_.lock ? ReadTop(claim_.file) : QueueEntry{}; }

std::vector<QueueEntry> Messaging::ClaimedEntries() {
  if (!claim_.lock) return {};
  auto info = env_.FindFile(claim_.path);
  if (!info || info->size == 0) return {};
  databank::SwapLock queue = HoldQueue(claim_.path);
  if (!queue.failure().ok()) return {};
  std::unique_ptr<platform::File> in;
  if (!env_.OpenLocked(claim_.path, platform::OpenMode::kRead, &in)) return {};
  // Nothing is handed out from a queue that could not be read whole.
  std::vector<QueueEntry> entries;
  if (!ReadEntries(*in, false, entries)) return {};
  return entries;
}

Status Messaging::MarkHandled(size_t index) {
  if (!claim_.lock) return Status::Failure("cannot mark an entry handled", "no queue is claimed");
  claim_.handled.push_back(index);
  claim_.marked = true;
  // On the disk before the caller goes on, so a power cut never has the
  // entry handled again.
  Status s = claim_.lock->Write(std::string(kHandledMark) + std::to_string(index) + std::string(kCrLf));
  return s ? claim_.lock->Sync() : s;
}

Status Messaging::ReleaseClaim() {
  if (!claim_.lock) return Status::Ok();
  Claim claim = std::move(claim_);
  claim_ = Claim{};
  std::string unplaced;
  Status s = claim.handled.empty() ? Status::Ok()
                                   : RewriteQueue(claim.path, claim.handled, "", &unplaced);
  if (!unplaced.empty()) {
    // What the queue could not take back lives only here now.
    Status kept = claim.lock->Write(std::string(kKeptMark) + std::string(kCrLf) + unplaced);
    if (kept) kept = claim.lock->Sync();
    if (!kept && s) s = kept;
  }
  // A claim whose recorded work is unfinished stays in the temporary folder
  // (no longer held once `claim` goes), and the next claim of the queue ends
  // it; one that records nothing to finish goes.
  if ((s || !claim.marked) && unplaced.empty()) claim.lock->Release();
  return s;
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
