// Set and RemoveEntry: no write, append, in-place overwrite or rewrite.
#include <algorithm>
#include <optional>

#include "databank/databank.h"
#include "databank/lines.h"
#include "platform/text.h"

namespace carob::databank {

using platform::FileInfo;
using platform::OpenMode;
using platform::TrimInPlace;

namespace {

constexpr const char* kNoteRemoving = "Removing. ";
constexpr const char* kNoteRecorded = " Value already recorded. Aborting write.";
constexpr const char* kNoteAppending = "Appending. ";
constexpr const char* kNoteOverwriting = "Overwriting existant. ";
constexpr const char* kNoteStandard = "Doesn't fit in or is empty (using standard method). ";
constexpr const char* kNoteInscribing = "Inscribing. ";

// The first line of the file that holds the key.
struct KeyLine {
  bool found = false;
  int64_t start = 0;  // byte offset of the line's first character
  size_t length = 0;  // characters of the line without its end
  size_t equals = 0;  // offset of its first "=" within the line
  std::string value;  // the text after the "=", trimmed
};

KeyLine FindKeyLine(std::string_view bytes, const std::string& upper_key) {
  KeyLine k;
  lines::ForEachLine(bytes, [&](std::string_view line, int64_t start) {
    size_t eq = lines::KeyLineEquals(line, upper_key);
    if (eq == std::string_view::npos) return true;
    k.found = true;
    k.start = start;
    k.length = line.size();
    k.equals = eq;
    k.value = std::string(lines::TrimView(line.substr(eq + 1)));
    return false;
  });
  return k;
}

// The rewrite's copy rule: which lines of the old file survive.
bool Dropped(std::string_view line, const std::string& upper_key) {
  std::string_view t = lines::TrimView(line);
  if (t.empty()) return true;
  if (t.front() == '=' || t.back() == '=') return true;
  size_t eq = line.find('=');
  return eq != std::string_view::npos && eq >= 1 && lines::SameKey(line.substr(0, eq), upper_key);
}

}  // namespace

void Databank::Set(std::string& bank, std::string& key, std::string& value) {
  TrimInPlace(bank);
  TrimInPlace(key);
  TrimInPlace(value);
  last_write_ok_ = false;
  if (bank.empty() || key.empty()) return;
  // A line break inside a key or value would end its line early and turn the
  // rest into lines of their own (another key, or a stray line): such a
  // write is refused, and reported as not done, rather than let it reshape
  // the databank.
  if (key.find_first_of("\r\n") != std::string::npos ||
      value.find_first_of("\r\n") != std::string::npos) {
    return;
  }

  std::string note;
  const std::string path = ResolveBankPath(bank);
  if (path.empty() || path.back() == '\\') return;

  if (value.empty()) {
    note += kNoteRemoving;
  } else if (std::optional<FileInfo> info = env_.FindFile(path)) {
    const std::string stamp = lines::StampOf(*info);
    for (const CacheSlot& s : write_cache_.slots) {
      if (s.path.empty() || s.path.back() == '\\') continue;
      if (lines::TrimView(s.path) != lines::TrimView(path) || lines::TrimView(s.stamp) != stamp ||
          lines::TrimView(s.key) != key) {
        continue;
      }
      if (lines::TrimView(s.value) == value) {
        if (io_log_enabled_) {
          LogDatabankIO("Database " + path + " Set [" + key + "] ==>> DeCached from write cache [" +
                        platform::Trim(s.value) + "] value already recorded");
        }
        last_write_ok_ = true;
        return;
      }
      break;  // the first matching slot decides
    }
  }

  const std::string upper_key = platform::Upper(key);
  std::string bank_serial, swap_serial, inscribed;
  bool ok = false;       // the file holds what was asked for
  bool changed = false;  // we changed the file
  bool standard = value.empty();
  SwapLock lock;
  bool lock_sought = false;  // (a lock that cannot be made is not sought twice)

  if (!standard) {
    // Every write runs under the databank's lock, and the scan that finds
    // the key line runs under it too: offsets found in a file that another
    // writer then rewrites would point into the wrong bytes.
    for (int round = 0;; ++round) {
      lock.Release();
      lock = LockBank(bank, path);
      lock_sought = true;
      std::optional<FileInfo> info = env_.FindFile(path);
      if (!info && round == 0) {
        // A new databank is created empty first and then written under the
        // lock of its own name, the lock every later writer of it takes.
        std::unique_ptr<platform::File> made;
        bool created = env_.Open(path, OpenMode::kAppend, &made).ok();
        if (created) continue;
        note += kNoteAppending;  // the folder is missing: nothing is written
        break;
      }
      const std::string target = info ? info->path : path;
      std::string bytes;
      if (info) (void)env_.ReadAll(target, bytes);
      KeyLine k = FindKeyLine(bytes, upper_key);
      if (!k.found) {
        note += kNoteAppending;
        std::string line;
        // A last line without its end gets one first, so the new entry is
        // never glued onto it.
        if (!bytes.empty() && bytes.back() != '\n') line += platform::kCrLf;
        line += key + "=" + value;
        line += platform::kCrLf;
        std::unique_ptr<platform::File> f;
        ok = env_.Open(target, OpenMode::kAppend, &f) && f->Write(line);
        changed = ok;
        break;
      }
      if (platform::Upper(k.value) == platform::Upper(value)) {
        note = kNoteRecorded;
        ok = true;
        break;
      }
      note += kNoteOverwriting;
      const size_t room = k.length - (k.equals + 1);
      if (value.size() > room) {
        standard = true;  // the lock is kept for the rewrite
        break;
      }
      note += kNoteInscribing;
      if (value.size() < room) {
        value.append(room - value.size(), ' ');
        note += "String enlarged (to " + std::to_string(room) + " bytes). ";
      }
      // Only the bytes that differ are inscribed; the run from the first to
      // the last of them goes out in one positioned write, so a reader never
      // meets the value half written. Offsets come from the real line
      // starts, so files with bare LF line ends are written at the right
      // bytes too.
      const int64_t first = k.start + static_cast<int64_t>(k.equals) + 1;
      int count = 0;
      size_t lo = room, hi = 0;
      for (size_t i = 0; i < room; ++i) {
        if (bytes[static_cast<size_t>(first) + i] == value[i]) continue;
        ++count;
        lo = std::min(lo, i);
        hi = i;
      }
      bool all_written = true;
      if (count > 0) {
        std::unique_ptr<platform::File> f;
        all_written = env_.Open(target, OpenMode::kReadWrite, &f) &&
                      f->WriteRangeAt(first + static_cast<int64_t>(lo),
                                      std::string_view(value).substr(lo, hi - lo + 1));
        if (!all_written) count = 0;
      }
      inscribed = std::to_string(count);
      // The length stays, so the time must move on for every stamp to change.
      if (count > 0) (void)env_.MarkModified(target);
      ok = all_written;
      changed = count > 0;
      break;
    }
  }

  if (standard) {
    note += kNoteStandard;
    if (!lock_sought) lock = LockBank(bank, path);
    if (io_log_enabled_) {
      LogDatabankIO("Database [" + bank + "] ==>> allocated swap [" + lock.path() + "]");
    }
    std::string fresh;
    std::optional<FileInfo> info = env_.FindFile(path);
    bool readable = true;
    if (info) {
      std::string old;
      readable = env_.ReadAll(info->path, old).ok();
      if (readable) {
        // The old contents stay in the swap file while the lock is held.
        (void)lock.Write(old);
        std::unique_ptr<platform::File> bank_file, swap_file;
        (void)env_.Open(info->path, OpenMode::kRead, &bank_file);
        (void)env_.Open(lock.path(), OpenMode::kRead, &swap_file);
        if (bank_file) bank_serial = std::to_string(bank_file->serial());
        if (swap_file) swap_serial = std::to_string(swap_file->serial());
        fresh.reserve(old.size() + key.size() + value.size() + 3);
        lines::ForEachLine(old, [&](std::string_view line, int64_t) {
          if (!Dropped(line, upper_key)) {
            fresh += line;
            fresh += platform::kCrLf;
          }
          return true;
        });
      }
    }
    if (!value.empty()) {
      fresh += key + "=" + value;
      fresh += platform::kCrLf;
    }
    if (!readable) {
      // A databank we cannot read is left as it is rather than replaced by
      // what little we know of it.
      ok = false;
    } else if (info) {
      // The new file is built beside the databank and renamed into place:
      // readers see the old or the new databank, never a part of it, and a
      // writer killed half-way leaves the old one whole.
      ok = env_.ReplaceContents(info->path, fresh).ok();
      changed = ok;
    } else if (!value.empty()) {
      std::unique_ptr<platform::File> f;
      ok = env_.Open(path, OpenMode::kAppend, &f) && f->Write(fresh);
      changed = ok;
    } else {
      ok = true;  // nothing to remove from a databank that does not exist
    }
  }

  // The stamp is taken while the lock is still held, so it describes our
  // own write and not a later one by another program.
  std::string stamp = BankStamp(path);
  lock.Release();

  // A write that failed is not entered in the write cache: the cache would
  // otherwise answer a value the file never received.
  if (ok) {
    // Whatever our own caches said about this file before the write no
    // longer holds.
    if (changed) ForgetPath(path);
    StoreSlot(write_cache_, ResolveBankPath(bank), stamp, key, value);
    last_write_stamp_ = stamp;
  }
  last_write_ok_ = ok;

  if (io_log_enabled_) {
    LogDatabankIO("Database " + bank + " serial " + bank_serial + " Set [" + key + "], [" + value +
                  "]");
    LogDatabankIO(" Methods: " + note);
    LogDatabankIO(" Swap serial " + swap_serial + " Set");
    LogDatabankIO(" Bytes inscribed " + inscribed);
  }
}

void Databank::RemoveEntry(std::string& bank, std::string& key) {
  TrimInPlace(bank);
  TrimInPlace(key);
  if (io_log_enabled_) {
    LogDatabankIO("Database " + bank + " serial " + " RemoveEntry [" + key + "]");
  }
  std::string empty;
  Set(bank, key, empty);
}

}  // namespace carob::databank
