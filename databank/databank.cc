// Query, the two caches, the bank stamp, line parts and the I/O log.
#include "databank/databank.h"

#include <charconv>
#include <optional>

#include "databank/lines.h"
#include "platform/clockstamp.h"
#include "platform/log_rotation.h"
#include "platform/text.h"
#include "platform/windows_path.h"

namespace carob::databank {

using platform::FileInfo;
using platform::OpenMode;
using platform::Status;
using platform::TrimInPlace;

namespace {

// Images kept at most; past it they are all dropped and read again.
constexpr size_t kMaxImages = 32;

}  // namespace

Databank::Databank(platform::Env& env, platform::Interaction& interaction)
    : env_(env), interaction_(interaction) {
  const std::string image = platform::Upper(platform::Trim(env_.GetVariable("CAROB_DATABANK_IMAGE")));
  images_on_ = !(image == "OFF" || image == "NO" || image == "FALSE" || image == "0");
}

void Databank::UseImages(bool on) {
  images_on_ = on;
  images_.clear();
  log_.reset();
}

Status Databank::Contents(const FileInfo& info, std::string_view& bytes, Image** image) {
  *image = nullptr;
  bytes = {};
  // On a network share another computer's write may leave the stamp we see
  // unchanged for a while (the client caches file information), so a file
  // there is read afresh every time.
  const std::string folder = platform::FolderPart(info.path);
  bool seen_everywhere = false;
  if (images_on_) {
    if (seen_everywhere_.size() >= kMaxImages && !seen_everywhere_.contains(folder)) {
      seen_everywhere_.clear();
    }
    SeenEverywhere& known = seen_everywhere_[folder];
    if (info.device == 0 || known.device != info.device) {
      known = {info.device, env_.LocksSeenEverywhere(folder)};
    }
    seen_everywhere = known.seen;
  }
  if (!seen_everywhere) {
    Status read = env_.ReadAll(info.path, scratch_);
    bytes = scratch_;
    return read;
  }
  auto it = images_.find(info.path);
  if (it != images_.end() && it->second.Matches(info)) {
    *image = &it->second;
    bytes = it->second.bytes();
    return Status::Ok();
  }
  FileInfo stamp;
  Status read = env_.ReadAllStamped(info.path, scratch_, &stamp);
  if (!read || stamp.size < 0) {
    if (it != images_.end()) images_.erase(it);
    bytes = scratch_;
    return read;
  }
  if (it == images_.end() && images_.size() >= kMaxImages) images_.clear();
  Image& kept = images_[info.path];
  kept.Load(std::move(scratch_), stamp);
  scratch_.clear();
  *image = &kept;
  bytes = kept.bytes();
  return Status::Ok();
}

// A slot answers for (path, stamp, key) by exact comparison of the trimmed
// texts; a slot whose path is empty or names a folder never answers.
const CacheSlot* lines::FindSlot(const Cache& cache, std::string_view path,
                                 std::string_view stamp, std::string_view key) {
  path = TrimView(path);
  stamp = TrimView(stamp);
  key = TrimView(key);
  for (const CacheSlot& s : cache.slots) {
    if (s.path.empty() || s.path.back() == '\\') continue;
    if (TrimView(s.path) == path && TrimView(s.stamp) == stamp && TrimView(s.key) == key) {
      return &s;
    }
  }
  return nullptr;
}

lines::StampText::StampText(const FileInfo& info) {
  // The file's full-resolution time, its length and its identity: a change
  // within the same second, or a file replaced by one of equal length,
  // still gives a new stamp, so no cached answer outlives the state it was
  // read from. Each number takes at most 20 digits and its sign.
  char* at = buf_;
  char* const end = buf_ + sizeof buf_;
  at = std::to_chars(at, end, info.mtime_ns).ptr;
  *at++ = ' ';
  at = std::to_chars(at, end - 22, info.size).ptr;
  *at++ = ' ';
  at = std::to_chars(at, end - 22, info.inode).ptr;
  *at++ = ' ';
  at = std::to_chars(at, end - 1, info.device).ptr;
  size_ = static_cast<size_t>(at - buf_);
}

std::string Databank::BankStamp(const std::string& path) {
  std::optional<FileInfo> info = env_.FindFile(path);
  return info ? lines::StampOf(*info) : std::string();
}

void Databank::StoreSlot(Cache& cache, const std::string& path, const std::string& stamp,
                         const std::string& key, const std::string& value, bool unread) {
  cache.next = (cache.next + 1) % static_cast<int>(cache.slots.size());
  CacheSlot& s = cache.slots[cache.next];
  s.path = platform::Trim(path);
  s.stamp = stamp;
  s.key = platform::Trim(key);
  s.value = value;
  s.unread = unread;
}

void Databank::ForgetPath(const std::string& path) {
  std::string_view p = lines::TrimView(path);
  for (Cache* c : {&read_cache_, &write_cache_}) {
    for (CacheSlot& s : c->slots) {
      if (lines::TrimView(s.path) == p) s = CacheSlot{};
    }
  }
}

std::string Databank::Query(std::string& bank, std::string& key) {
  TrimInPlace(bank);
  TrimInPlace(key);
  return Lookup(bank, key, nullptr);
}

Status Databank::Read(std::string_view bank, std::string_view key, std::string& value) {
  std::string b = platform::Trim(bank), k = platform::Trim(key);
  Status status;
  value = Lookup(b, k, &status);
  return status;
}

// Query on trimmed arguments; a databank that exists but cannot be read, or
// a name that denotes a folder, is told in *status when it is given.
std::string Databank::Lookup(std::string& bank, std::string& key, Status* status) {
  if (bank.empty() || key.empty()) return {};

  std::string path = ResolveBankPath(bank);
  if (path.empty() && status) *status = Status::Failure("cannot read " + bank, lines::NoPathCause(bank));
  // One look at the file's information serves both caches; the file's full
  // information is asked for only when it is to be read.
  FileInfo now;
  if (path.empty() || !env_.FileStamp(path, &now)) {
    if (!path.empty() && status && env_.FolderExists(path)) {
      *status = Status::Failure("cannot read " + bank, "is a directory");
    } else if (!path.empty() && status) {
      // A checked read tells a databank that is not there from one that
      // cannot be looked at for now (an I/O error, a share's client failing
      // for a moment): a caller must not take the second for the first.
      std::optional<FileInfo> there;
      if (Status looked = env_.LookUp(path, there); !looked) *status = looked.As("cannot read " + bank);
    }
    if (io_log_enabled_) {
      LogDatabankIO("Database " + bank + " serial " + " Query [" + key +
                    "] ==>> DATABANK NOT FOUND!!");
    }
    return {};
  }

  const lines::StampText stamp(now);
  for (auto [cache, which] : {std::pair{&write_cache_, "write"}, std::pair{&read_cache_, "read"}}) {
    if (const CacheSlot* s = lines::FindSlot(*cache, path, stamp.view(), key)) {
      if (s->unread && status) {
        // A checked read wants what the file holds, not the "" its failed
        // read left: the slot goes, and the file is read again.
        cache->slots[static_cast<size_t>(s - cache->slots.data())] = CacheSlot{};
        break;
      }
      std::string value = platform::Trim(s->value);
      if (io_log_enabled_) {
        LogDatabankIO("Database " + bank + " Query [" + key + "] ==>> DeCached from " + which +
                      " cache [" + value + "]");
      }
      return value;
    }
  }

  if (now.size == 0) return {};
  std::optional<FileInfo> info;
  if (auto kept = images_on_ ? images_.find(path) : images_.end();
      kept != images_.end() && kept->second.Matches(now)) {
    // The file still has the stamp of the image kept under this very
    // spelling: the stamp just taken is its full information.
    info = now;
    info->path = path;
  } else {
    info = env_.FindFile(path);
  }
  if (!info) {
    // Gone since its stamp was taken: nothing is read.
    info = FileInfo{};
    info->path = path;
  }

  const std::string upper_key = platform::Upper(key);
  std::string value;
  bool found = false;
  std::string serial;
  auto look = [&](std::string_view line) {
    size_t eq = lines::KeyLineEquals(line, upper_key);
    if (eq == std::string_view::npos) return true;
    found = true;
    value = std::string(lines::TrimView(line.substr(eq + 1)));
    return false;
  };
  Status read;
  if (images_on_) {
    // Answered from the file's image; the trace still names the number the
    // file would have had, had it been opened to be read.
    std::string_view bytes;
    Image* image = nullptr;
    read = Contents(*info, bytes, &image);
    if (image) {
      if (std::optional<Image::Line> line = image->First(upper_key)) {
        found = true;
        value = std::string(lines::TrimView(line->text.substr(line->equals + 1)));
      }
    } else if (read) {
      lines::ForEachLine(bytes, [&](std::string_view line, int64_t) { return look(line); });
    }
    if (read && io_log_enabled_) serial = std::to_string(env_.FreeSerial(0));
  } else if (io_log_enabled_) {
    // The trace names the file number, so the file is read through an open
    // file line by line.
    std::unique_ptr<platform::File> file;
    if ((read = env_.Open(info->path, OpenMode::kRead, &file))) {
      serial = std::to_string(file->serial());
      std::string line;
      while (file->ReadLine(line) && look(line)) {
      }
      // A read that failed before the key was met answers nothing for sure.
      if (!found) read = file->status();
    }
  } else {
    std::string bytes;
    bytes.reserve(static_cast<size_t>(info->size) + 1);
    if ((read = env_.ReadAll(info->path, bytes))) {
      lines::ForEachLine(bytes, [&](std::string_view line, int64_t) { return look(line); });
    }
  }
  if (!read && status) *status = read.As("cannot read " + info->path);

  // The answer is cached under the stamp the file had before it was read
  // (or the one our own removal left, taken under its lock), never under a
  // stamp read later: a change by another program between the read and the
  // stamp would otherwise be hidden behind an old answer.
  std::string slot_stamp = stamp.str();
  if (found && value.empty()) {
    slot_stamp = Erase(bank, key).ok() ? last_write_stamp_ : BankStamp(path);
  }

  // A file that cannot be read answers "" until its stamp changes, as a
  // missing key would; the slot says that the "" stands for no answer, so
  // that a checked Read never takes it for one.
  StoreSlot(read_cache_, ResolveBankPath(bank), slot_stamp, key, value, !read);

  if (io_log_enabled_) {
    LogDatabankIO("Database " + bank + " serial " + serial + " Query [" + key + "] ==>> [" +
                  value + "]");
  }
  return value;
}

void Databank::ForgetCached(std::string& name) {
  name = platform::Upper(platform::Trim(name));
  for (Cache* c : {&read_cache_, &write_cache_}) {
    for (CacheSlot& s : c->slots) {
      if (name == platform::Upper(platform::Trim(s.path)) ||
          name == platform::Upper(platform::Trim(s.key))) {
        s = CacheSlot{};
      }
    }
  }
}

std::string KeyPart(const std::string& line) {
  size_t eq = line.find('=');
  return eq == std::string::npos ? std::string()
                                 : platform::Trim(std::string_view(line).substr(0, eq));
}

std::string ValuePart(const std::string& line) {
  size_t eq = line.find('=');
  return platform::Trim(std::string_view(line).substr(eq == std::string::npos ? 0 : eq + 1));
}

// -- the I/O log

void Databank::LogDatabankIO(const std::string& text) {
  if (log_path_.empty()) log_path_ = platform::JoinPath(env_.ProgramFolder(), "Database_IO.log");
  std::string line = platform::ClockStamp(env_) + "| " + text;
  line += platform::kCrLf;
  // A line that cannot be written is lost; nothing else happens. The log
  // is held open between lines (each line still goes out in one write and
  // is in the file when this returns); the appender opens it again when
  // another process rotated or deleted it.
  if (!images_on_) {
    (void)env_.AppendBytes(log_path_, line);  // a lost trace line
    return;
  }
  if (!log_) log_ = env_.NewAppender(log_path_);
  (void)log_->Append(line);  // a lost trace line
}

void Databank::StartDatabankIOLog(bool keep_previous) {
  log_.reset();
  platform::StartLogAfresh(env_, platform::JoinPath(env_.ProgramFolder(), "Database_IO.log"),
                           keep_previous);
  io_log_enabled_ = true;
}

}  // namespace carob::databank
