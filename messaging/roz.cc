// ROZ interface files: queues of entries, each a header line
// "--- Entry by ROZ Default on " + clock stamp followed by the lines of a text.
// Any program appends whole entries at the end; the owner reads the entry at
// the top and removes it.
#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>

#include "messaging/messaging.h"
#include "platform/clockstamp.h"
#include "platform/text.h"

namespace carob::messaging {
namespace {

using platform::Status;

// The folder that holds a file ("C:\\" for a file at a drive's root).
std::string FolderOf(const std::string& path) {
  size_t last = path.rfind('\\');
  if (last == std::string::npos) return "";
  return path.substr(0, last == 2 ? 3 : last);
}

bool IsBoundary(std::string_view line) { return line.substr(0, 3) == "---"; }

std::string Hex(unsigned long value) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%lX", value);
  return buf;
}

// Carries the lines of a queue file over to its rebuilt form: nothing until
// the second boundary line, then every line (that one included) with CR LF.
class RestCopier {
 public:
  void Take(const std::string& line) {
    if (!copying_ && IsBoundary(line)) {
      if (++boundaries_ == 1) {
        removed_.header = line;
        return;
      }
      copying_ = true;
    }
    (copying_ ? out_ : removed_.text).append(line).append(platform::kCrLf);
  }
  // Takes raw bytes line by line, the way File::ReadLine splits them.
  void TakeBytes(std::string_view bytes) {
    platform::ForEachLine(bytes, [this](std::string_view line, int64_t) {
      Take(std::string(line));
      return true;
    });
  }
  std::string TakeOutput() { return std::move(out_); }
  // The second boundary line has been taken: the entry is complete.
  bool copying() const { return copying_; }
  // What stands before the second boundary: the entry being removed.
  QueueEntry& removed() { return removed_; }

 private:
  QueueEntry removed_;
  int boundaries_ = 0;
  bool copying_ = false;
  std::string out_;
};

}  // namespace

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

Status Messaging::AppendEntryChecked(const std::string& file, const std::string& text) {
  if (platform::Trim(text).empty() || platform::Trim(file).empty()) return Status::Ok();
  const std::string path = ResolveInterfacePath(file);
  std::string entry = kEntryHeader + platform::ClockStamp(env_);
  entry.append(platform::kCrLf).append(text).append(platform::kCrLf);
  // The whole entry goes out in one write while the queue is held, so a
  // taker rebuilding the file never splits it and never loses it.
  databank::SwapLock queue = HoldQueue(path);
  if (!queue.failure().ok()) return queue.failure().As("cannot append to " + path);
  std::unique_ptr<platform::File> out;
  Status s = env_.OpenLocked(path, platform::OpenMode::kAppend, &out);
  if (s) s = out->Write(entry);
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
  RestCopier copier;
  std::string line;
  while (!copier.copying() && in->ReadLine(line)) copier.Take(line);
  return copier.removed();
}

Status Messaging::TakeTop(const std::string& file, QueueEntry& taken) {
  taken = QueueEntry{};
  env_.random().Seed(env_.Timer());
  const std::string path = ResolveInterfacePath(file);
  const std::string what = "cannot take the top entry off " + path;
  if (!env_.FindFile(path)) return Status::Ok();
  if (!env_.LocksSeenEverywhere(FolderOf(path))) return TakeTopOnShare(path, taken);
  // The queue stays held from the first read until the rebuilt file stands
  // under its name: appenders of the family wait meanwhile and then write to
  // the rebuilt file, after the entries that were waiting.
  std::unique_ptr<platform::File> held;
  if (Status s = env_.OpenLocked(path, platform::OpenMode::kRead, &held); !s) {
    return env_.FindFile(path) ? s.As(what) : Status::Ok();
  }
  if (held->Size() == 0) return Status::Ok();

  RestCopier copier;
  std::string old, line;
  while (held->ReadLine(line)) {
    copier.Take(line);
    old.append(line).append(platform::kCrLf);
  }
  int64_t copied = held->Tell();

  // The old contents go to the swap file first. The queue's name never
  // stands empty: the rebuilt file replaces the old one in one step, already
  // held by us, and is filled before anyone else may touch it. (Moving the
  // file away and creating it anew would let an appender create the file in
  // between and land ahead of the entries still waiting, so one sender's
  // messages could arrive out of order; and a copy works whatever file
  // system the temporary folder is on.) A queue whose swap file cannot be
  // made keeps every entry; the caller learns that the top one is still
  // there.
  const std::string swap = MakeSwapName(path);
  if (Status s = env_.AppendBytes(swap, old); !s) return s.As(what);

  std::string rest = copier.TakeOutput();
  std::unique_ptr<platform::LockFile> rebuilt;
  if (Status s = env_.ReplaceContentsHeld(path, rest, &rebuilt); !s) {
    (void)env_.Delete(swap);
    return s.As(what);
  }
  bool ok = true;

  // Programs that append without holding the queue may still have written
  // to the old file after the first pass; carry that over as well.
  for (int64_t size = held->Size(); ok && size > copied; size = held->Size()) {
    std::string extra;
    extra.reserve(static_cast<size_t>(size - copied));
    char byte = 0;
    for (int64_t at = copied; at < size && held->ReadAt(at, byte); ++at) extra.push_back(byte);
    copier.TakeBytes(extra);
    std::string more = copier.TakeOutput();
    if (!more.empty()) ok = rebuilt->Write(more).ok();
    if (ok) ok = env_.AppendBytes(swap, extra).ok();
    copied += static_cast<int64_t>(extra.size());
    if (extra.empty()) break;
  }
  // When the rebuilt file could not take the rest, the swap file keeps it.
  if (ok) (void)env_.Delete(swap);
  taken = std::move(copier.removed());
  return Status::Ok();
}

databank::SwapLock Messaging::HoldQueue(const std::string& path) {
  if (env_.LocksSeenEverywhere(FolderOf(path)) || roz_temp_dir_.empty()) return {};
  std::string name;
  if (auto info = env_.FindFile(path)) name = info->stored_name;
  if (name.empty()) name = path.substr(path.find_last_of("\\:") + 1);
  return db_.LockSwapFile(platform::JoinPath(roz_temp_dir_, "ROZ." + name + ".TMP"));
}

Status Messaging::TakeTopOnShare(const std::string& path, QueueEntry& taken) {
  const std::string what = "cannot take the top entry off " + path;
  databank::SwapLock queue = HoldQueue(path);
  if (!queue.failure().ok()) return queue.failure().As(what);
  std::string old;
  if (Status s = env_.ReadAll(path, old); !s) return env_.FindFile(path) ? s.As(what) : Status::Ok();
  if (old.empty()) return Status::Ok();
  RestCopier copier;
  copier.TakeBytes(old);
  // The old contents stay in the swap file until the rest stands in place.
  const std::string swap = MakeSwapName(path);
  if (Status s = env_.AppendBytes(swap, old); !s) return s.As(what);
  if (Status s = env_.ReplaceContents(path, copier.TakeOutput()); !s) {
    (void)env_.Delete(swap);
    return s.As(what);
  }
  (void)env_.Delete(swap);
  taken = std::move(copier.removed());
  return Status::Ok();
}

std::string Messaging::MakeSwapName(const std::string& path) {
  std::string name;
  if (auto info = env_.FindFile(path)) name = info->stored_name;
  if (name.empty()) name = path.substr(path.find_last_of("\\:") + 1);  // the last component
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
