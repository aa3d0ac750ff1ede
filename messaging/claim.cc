// Taking entries off a queue only once they are handled: a taker's claim
// (a claim file in the temporary folder, held while the taker lives), its
// notes of the entries it handled or is handing on, and the recovery of what
// a killed taker's claim file leaves to finish. The queue's format, appends
// and rebuild are in roz.cc.
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "messaging/messaging.h"
#include "messaging/roz_file.h"
#include "platform/text.h"

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
// Who made the claim: "--- maker <process id> <computer>", written with the
// first line. Where the maker's hold cannot be seen (a network share), an
// ended process of this computer is told from a living taker elsewhere.
constexpr std::string_view kMakerMark = "--- maker ";
// Entries being handed on to another queue: "--- sent <index> <identity>
// <offset> <length> <checksum> <path>", noted before the append writes; a
// run of entries appended in one write is "<first>-<last>" in place of the
// index, and a batch with gaps lists its runs and single indices, ascending,
// between commas ("0-2,5,7-9").
constexpr std::string_view kSentMark = "--- sent ";
// Claim names tried per queue before giving up (a name taken by something
// that is not a claim of this queue is passed over).
constexpr unsigned kClaimNames = 16;
// A file larger than this at a claim name is no claim file of ours.
constexpr int64_t kClaimFileLimit = 1 << 20;

// The index field of a kSentMark note for `indices` (ascending).
std::string IndexList(const std::vector<size_t>& indices) {
  std::string out;
  for (size_t i = 0; i < indices.size();) {
    size_t j = i;
    while (j + 1 < indices.size() && indices[j + 1] == indices[j] + 1) ++j;
    if (!out.empty()) out += ',';
    out += std::to_string(indices[i]);
    if (j > i) out += "-" + std::to_string(indices[j]);
    i = j + 1;
  }
  return out;
}

// The indices an index field names; nothing when it is malformed, not
// ascending, or names more entries than `limit` (every entry takes bytes of
// its own). The field comes from a file in a shared folder: never trusted.
std::optional<std::vector<size_t>> ParseIndexList(std::string_view field, size_t limit) {
  std::vector<size_t> out;
  auto number = [&](size_t& value) {
    const size_t digits = field.find_first_not_of("0123456789");
    const std::string_view part = field.substr(0, digits);
    if (part.empty() || part.size() > 18) return false;
    value = std::strtoull(std::string(part).c_str(), nullptr, 10);
    field.remove_prefix(part.size());
    return true;
  };
  while (true) {
    size_t first = 0, last = 0;
    if (!number(first)) return std::nullopt;
    last = first;
    if (field.starts_with('-')) {
      field.remove_prefix(1);
      if (!number(last)) return std::nullopt;
    }
    if (last < first || (!out.empty() && first <= out.back()) ||
        last - first >= limit - std::min(limit, out.size())) {
      return std::nullopt;
    }
    for (size_t i = first; i <= last; ++i) out.push_back(i);
    if (field.empty()) return out;
    if (!field.starts_with(',')) return std::nullopt;
    field.remove_prefix(1);
  }
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

// The indices of the entries a kSentMark note (without its mark) tells of,
// when the bytes it noted stand whole where it noted them: the append was
// made. A queue that is there but cannot be read leaves it unknown:
// `unknown` is set, and nothing may be taken for sent or not.
std::optional<std::vector<size_t>> LandedEntries(platform::Env& env, std::string_view note,
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
  return ParseIndexList(fields[0], length);
}

// The claim files that takers of this process hold now, by name.
std::mutex held_here_mutex;
std::set<std::string> held_here;

bool HeldHere(const std::string& claim_name) {
  std::lock_guard<std::mutex> lock(held_here_mutex);
  return held_here.contains(claim_name);
}

// Whether the claim file `claim_name` holding `bytes` names a process of
// this computer as its maker that has ended, or this very process while no
// taker of it holds the claim: left behind by a release that could not
// finish its work (or remove the file), it is ours to finish, and waiting
// for it would wait for ever. A claim without the line (an older taker's),
// or whose line cannot be read, tells nothing: no.
bool MakerEndedHere(platform::Env& env, std::string_view bytes, const std::string& claim_name) {
  bool ended = false;
  platform::ForEachLine(bytes, [&](std::string_view line, int64_t) {
    if (!line.starts_with(kMakerMark)) return true;
    line.remove_prefix(kMakerMark.size());
    const size_t space = line.find(' ');
    if (space == std::string_view::npos || space == 0) return false;
    const std::string digits(line.substr(0, space));
    char* end = nullptr;
    const long pid = std::strtol(digits.c_str(), &end, 10);
    const std::string host = env.HostName();
    const bool here = *end == '\0' && pid > 0 && pid <= 0x7fffffff && !host.empty() &&
                      line.substr(space + 1) == host;
    ended = here && (pid == env.ProcessId() ? !HeldHere(claim_name)
                                             : !env.ProcessAlive(static_cast<int>(pid)));
    return false;
  });
  return ended;
}

}  // namespace

std::shared_ptr<const std::string> Messaging::HoldHere(const std::string& claim_name) {
  std::lock_guard<std::mutex> lock(held_here_mutex);
  held_here.insert(claim_name);
  return std::shared_ptr<const std::string>(new std::string(claim_name), [](const std::string* name) {
    std::lock_guard<std::mutex> lock(held_here_mutex);
    held_here.erase(*name);
    delete name;
  });
}

std::function<Status(int64_t, std::string_view)> Messaging::SentNote(
    const std::vector<size_t>& handing, const std::string& path, size_t size) {
  if (handing.empty() || !claim_.lock) return {};
  const std::string index = IndexList(handing);
  return [this, index, path, size](int64_t at, std::string_view written) -> Status {
    // Held by us, the queue keeps its identity until the write is done. A
    // line end put before the entries moves them.
    auto info = env_.FindFile(path);
    if (!info || written.size() < size) return Status::Ok();
    const size_t from = written.size() - size;
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
  QueueEntry top;
  Status read = ReadTop(claim_.file, top);
  if (read && top.empty()) {
    auto info = env_.FindFile(path);
    if (info && info->size > 0) read = Status::Failure("cannot read " + path, "it holds no entry");
  }
  if (!read) {
    (void)ReleaseClaim();  // nothing was taken
    return read.As("cannot take the top entry off " + path);
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
  if (claim_.lock) (void)ReleaseClaim();  // the new claim goes on
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
        const std::string maker = std::string(kMakerMark) + std::to_string(env_.ProcessId()) + " " +
                                  env_.HostName() + std::string(kCrLf);
        if (Status w = lock->Write(mark + std::string(kFileMark) + identity + std::string(kCrLf) + maker);
            !w) {
          lock->Release();
          return w.As(what);
        }
        claim_ = Claim{file, path, std::move(lock), {}, false, {}, HoldHere(claim)};
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
      // seen (kUnknown): it counts as held, never as a dead taker's, unless
      // it names an ended process of this computer as its maker.
      const bool ended_here =
          state == platform::LockState::kUnknown && MakerEndedHere(env_, bytes, claim);
      if (state == platform::LockState::kHeld ||
          (state == platform::LockState::kUnknown && !ended_here)) {
        if (busy) *busy = true;
        return Status::Failure(what, "another program is taking from it");
      }
      if ((state == platform::LockState::kUnheld || ended_here) &&
          !RecoverClaim(claim, path, ended_here)) {
        // A dead taker's claim whose work cannot be finished yet.
        return Status::Failure(what, "what a stopped taker left in " + claim +
                                         " cannot be finished yet");
      }
      // Recovered, or gone meanwhile: the name again.
    }
  }
  return Status::Failure(what, "every claim name in the temporary folder is taken");
}

bool Messaging::RecoverClaim(const std::string& claim_name, const std::string& path,
                             bool maker_ended_here) {
  std::unique_ptr<platform::LockFile> hold;
  // Another taker may be recovering it right now. (Where its hold would go
  // unseen, it is this computer's: our adopt fails while it holds, and the
  // caller tries again later.)
  if (maker_ended_here) {
    if (!env_.AdoptEndedMakersLock(claim_name, &hold)) return false;
  } else if (!env_.AdoptLock(claim_name, &hold)) {
    return env_.ProbeLock(claim_name) != platform::LockState::kUnheld;
  }
  std::string bytes;
  if (!env_.ReadAll(claim_name, bytes)) {
    hold->Release();
    return false;
  }
  if (maker_ended_here && !MakerEndedHere(env_, bytes, claim_name)) {
    // Recovered and made anew meanwhile: the new claim is looked at afresh.
    hold->Release();
    return true;
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
          handled.insert(handled.end(), landed->begin(), landed->end());
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
  if (done) (void)env_.BreakLock(claim_name);  // else the next taker finds it dead
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

Status Messaging::MarkHandled(const std::vector<size_t>& indices) {
  if (!claim_.lock) return Status::Failure("cannot mark an entry handled", "no queue is claimed");
  if (indices.empty()) return Status::Ok();
  std::string lines;
  for (size_t index : indices) {
    claim_.handled.push_back(index);
    lines += std::string(kHandledMark) + std::to_string(index) + std::string(kCrLf);
  }
  claim_.marked = true;
  // On the disk before the caller goes on, so a power cut never has the
  // entries handled again.
  Status s = claim_.lock->Write(lines);
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

}  // namespace carob::messaging
