// Write and Remove ("Set" and "RemoveEntry" in the trace): the write cache,
// then one of the three ways of writing (append, in-place overwrite,
// standard method).
#include <algorithm>
#include <optional>

#include "databank/databank.h"
#include "databank/image.h"
#include "databank/lines.h"
#include "platform/text.h"

namespace carob::databank {

using platform::FileInfo;
using platform::OpenMode;
using platform::Status;

struct WriteTrace {
  std::string note;  // the methods used
  std::string bank_serial, swap_serial, inscribed;
  bool changed = false;  // we changed the file
  // What we wrote, for the image the write started from (`base`).
  Image* base = nullptr;
  std::string appended;        // bytes appended at the end
  int64_t run_at = -1;         // an in-place run and its offset
  std::string run;
  std::string rewritten;       // the new contents of a rewrite
  bool rewrote = false;
};

namespace {

constexpr const char* kNoteAppending = "Appending. ";

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

// The rewrite's copy rule: which lines of the old file survive. A line
// that holds nothing (blank, no key, or an empty value) goes, and so does
// every line of the key. Whether the value is empty is told from the text
// after the first "=", not from how the line ends: a value may end in "="
// itself ("dGVzdA==") and is kept.
bool Dropped(std::string_view line, const std::string& upper_key) {
  std::string_view t = lines::TrimView(line);
  if (t.empty()) return true;
  if (t.front() == '=') return true;
  size_t eq = line.find('=');
  if (eq == std::string_view::npos) return false;
  if (lines::TrimView(line.substr(eq + 1)).empty()) return true;
  return eq >= 1 && lines::SameKey(line.substr(0, eq), upper_key);
}

}  // namespace

// A key holding "=" matches no line, so what the rule drops for it is what
// it drops for every key.
bool DroppedByEveryRewrite(std::string_view line) { return Dropped(line, "="); }

namespace {

// The program's close (its interaction's Closing: without a window, a close
// signal) ends the wait for the databank's lock; the write is then not made
// at all rather than made without the lock.
constexpr const char* kClosing = "the program is closing and the databank's lock was not taken";
bool CutShort(const SwapLock& lock, platform::Interaction& interaction) {
  return !lock.held() && interaction.Closing();
}

// A failure of the file layer told as the databank write it spoilt.
Status Cannot(const Status& failed, const std::string& path) {
  return failed.As("cannot write " + path);
}

Status Append(platform::Env& env, const std::string& target, std::string_view bytes,
              const std::string& key, const std::string& value, WriteTrace& trace) {
  trace.note += kNoteAppending;
  std::string line;
  // A last line without its end gets one first, so the new entry is never
  // glued onto it.
  if (!bytes.empty() && bytes.back() != '\n') line += platform::kCrLf;
  line += key + "=" + value;
  line += platform::kCrLf;
  std::unique_ptr<platform::File> f;
  Status s = env.Open(target, OpenMode::kAppend, &f);
  if (s) s = f->Write(line);
  // Only a close that says the line is in the file counts; a failed one
  // has taken the line back out.
  if (s) s = f->Close();
  if (!s) return Cannot(s, target);
  trace.changed = true;
  trace.appended = std::move(line);
  return Status::Ok();
}

Status Overwrite(platform::Env& env, const std::string& target, std::string_view bytes,
                 int64_t first, size_t room, std::string& value, WriteTrace& trace) {
  trace.note += "Inscribing. ";
  if (value.size() < room) {
    value.append(room - value.size(), ' ');
    trace.note += "String enlarged (to " + std::to_string(room) + " bytes). ";
  }
  // Only the bytes that differ are inscribed; the run from the first to the
  // last of them goes out in one positioned write, so a reader never meets
  // the value half written. Offsets come from the real line starts, so
  // files with bare LF line ends are written at the right bytes too.
  int count = 0;
  size_t lo = room, hi = 0;
  for (size_t i = 0; i < room; ++i) {
    if (bytes[static_cast<size_t>(first) + i] == value[i]) continue;
    ++count;
    lo = std::min(lo, i);
    hi = i;
  }
  Status written;
  if (count > 0) {
    std::unique_ptr<platform::File> f;
    const int64_t at = first + static_cast<int64_t>(lo);
    Status s = env.Open(target, OpenMode::kReadWrite, &f);
    if (s) s = f->WriteRangeAt(at, std::string_view(value).substr(lo, hi - lo + 1));
    if (s) {
      trace.run_at = at;
      trace.run = value.substr(lo, hi - lo + 1);
    }
    const std::string_view old_run = bytes.substr(static_cast<size_t>(at), hi - lo + 1);
    if (!s) {
      // A write that stopped part way is undone with the bytes that stood
      // there, so the line never holds a mix of the old and the new value.
      if (f) (void)f->WriteRangeAt(at, old_run);  // the best undo there is
    }
    if (f) {
      Status closed = f->Close();
      if (s && !closed) {
        // The value may not be on the disk: the old one is put back (and
        // synced), so the failed write is not half there after a power cut.
        s = closed;
        std::unique_ptr<platform::File> undo;
        if (env.Open(target, OpenMode::kReadWrite, &undo) && undo->WriteRangeAt(at, old_run)) {
          (void)undo->Close();  // nothing more can be done when this fails too
        }
      }
    }
    if (!s) {
      written = Cannot(s, target);
      count = 0;
    }
  }
  trace.inscribed = std::to_string(count);
  // The length stays, so the time must move on for every stamp to change.
  if (count > 0) (void)env.MarkModified(target);  // the bytes are written either way
  trace.changed = count > 0;
  return written;
}

}  // namespace

Status Databank::Write(std::string_view bank, std::string_view key, std::string_view value) {
  std::string b = platform::Trim(bank), k = platform::Trim(key), v = platform::Trim(value);
  return Store(b, k, v);
}

Status Databank::Remove(std::string_view bank, std::string_view key) {
  return Erase(platform::Trim(bank), platform::Trim(key));
}

Status Databank::Erase(const std::string& bank, const std::string& key) {
  if (io_log_enabled_) LogDatabankIO("Database " + bank + " serial " + " RemoveEntry [" + key + "]");
  std::string empty;
  return Store(bank, key, empty);
}

Status Databank::Store(const std::string& bank, const std::string& key, std::string& value) {
  // A line break inside a key or value would end its line early and turn the
  // rest into lines of their own (another key, or a stray line): such a
  // write is refused rather than let it reshape the databank.
  auto breaks = [](const std::string& s) { return s.find_first_of("\r\n") != std::string::npos; };
  const char* refused = bank.empty() || key.empty() ? "the databank or the key is blank"
                        : breaks(key)               ? "the key holds a line break"
                        : breaks(value)             ? "the value holds a line break"
                                                    : nullptr;
  if (refused) return Status::Failure("cannot write " + bank, refused);
  const std::string path = ResolveBankPath(std::string(bank));
  if (path.empty() || path.back() == '\\') {
    return Status::Failure("cannot write " + bank, lines::NoPathCause(bank));
  }
  if (!value.empty() && CachedAsWritten(path, key, value)) return Status::Ok();

  WriteTrace trace;
  SwapLock lock;
  std::optional<Status> done;
  if (value.empty()) {
    trace.note += "Removing. ";
    lock = LockBank(bank, path);
    if (!lock.failure().ok()) {
      done = Cannot(lock.failure(), path);
    } else if (CutShort(lock, interaction_)) {
      done = Status::Failure("cannot write " + bank, kClosing);
    }
  } else {
    done = AppendOrOverwrite(bank, path, key, value, lock, trace);
  }
  // No answer yet: a removal, or a value that does not fit its line.
  if (!done) done = Rewrite(bank, path, key, value, lock, trace);

  // The stamp is taken while the lock is still held, so it describes our
  // own write and not a later one by another program.
  std::optional<FileInfo> after = env_.FindFile(path);
  std::string stamp = after ? lines::StampOf(*after) : std::string();
  Wrote(path, trace, after ? &*after : nullptr, done->ok() && lock.held());
  lock.Release();

  // A write that failed is not entered in the write cache: the cache would
  // otherwise answer a value the file never received.
  if (done->ok()) {
    // Whatever our own caches said about this file before the write no
    // longer holds.
    if (trace.changed) ForgetPath(path);
    StoreSlot(write_cache_, ResolveBankPath(std::string(bank)), stamp, key, value);
    last_write_stamp_ = stamp;
  }

  if (io_log_enabled_) {
    LogDatabankIO("Database " + bank + " serial " + trace.bank_serial + " Set [" + key + "], [" +
                  value + "]");
    LogDatabankIO(" Methods: " + trace.note);
    LogDatabankIO(" Swap serial " + trace.swap_serial + " Set");
    LogDatabankIO(" Bytes inscribed " + trace.inscribed);
  }
  return *done;
}

bool Databank::CachedAsWritten(const std::string& path, const std::string& key,
                               const std::string& value) {
  std::optional<FileInfo> info = env_.FindFile(path);
  if (!info) return false;
  // The first matching slot decides.
  const CacheSlot* s = lines::FindSlot(write_cache_, path, lines::StampOf(*info), key);
  if (!s || lines::TrimView(s->value) != value) return false;
  if (io_log_enabled_) {
    LogDatabankIO("Database " + path + " Set [" + key + "] ==>> DeCached from write cache [" +
                  platform::Trim(s->value) + "] value already recorded");
  }
  return true;
}

std::optional<Status> Databank::AppendOrOverwrite(const std::string& bank,
                                                  const std::string& path,
                                                  const std::string& key, std::string& value,
                                                  SwapLock& lock, WriteTrace& trace) {
  const std::string upper_key = platform::Upper(key);
  // Every write runs under the databank's lock, and the scan that finds the
  // key line runs under it too: offsets found in a file that another writer
  // then rewrites would point into the wrong bytes. A swap file that a dead
  // writer left is adopted rather than waited for; should the value then
  // turn out not to fit, the lock is taken again the standard method's way.
  bool standard = false;
  bool created = false;  // this call made the databank file
  for (int round = 0;; ++round) {
    lock.Release();
    lock = LockBank(bank, path, /*adopt_dead=*/!standard);
    if (!lock.failure().ok()) return Cannot(lock.failure(), path);
    if (CutShort(lock, interaction_)) return Status::Failure("cannot write " + bank, kClosing);
    // A databank that cannot be looked at for now is not taken for a new one.
    std::optional<FileInfo> info;
    if (Status s = env_.LookUp(path, info); !s) return Cannot(s, path);
    if (!info && round == 0) {
      // A new databank is created empty first and then written under the
      // lock of its own name, the lock every later writer of it takes.
      std::unique_ptr<platform::File> made;
      Status s = env_.Open(path, OpenMode::kAppend, &made);
      if (s) s = made->Close();  // its name is made durable
      created = s.ok();
      if (s) continue;
      trace.note += kNoteAppending;  // the folder is missing: nothing is written
      return Cannot(s, path);
    }
    const std::string target = info ? info->path : path;
    std::string_view bytes;
    trace.base = nullptr;
    if (info) {
      if (Status s = Contents(*info, bytes, &trace.base); !s) {
        // A databank we cannot read is not written: an entry appended
        // behind lines we could not see may stand after an older entry of
        // its key, which Query would go on answering while the write
        // reported success.
        trace.note += kNoteAppending;
        return Cannot(s, target);
      }
    }
    KeyLine k;
    if (trace.base) {
      if (std::optional<Image::Line> line = trace.base->First(upper_key)) {
        k.found = true;
        k.start = line->start;
        k.length = line->text.size();
        k.equals = line->equals;
        k.value = std::string(lines::TrimView(line->text.substr(line->equals + 1)));
      }
    } else {
      k = FindKeyLine(bytes, upper_key);
    }
    if (!k.found) {
      Status s = Append(env_, target, bytes, key, value, trace);
      // A failed append has left the file as it was; a file this call made
      // for it goes again, so that a failed write leaves no trace.
      if (!s && created && bytes.empty()) {
        if (auto now = env_.FindFile(target); now && now->size == 0) {
          (void)env_.Delete(target);  // an empty file left behind is harmless
        }
      }
      return s;
    }
    if (platform::Upper(k.value) == platform::Upper(value)) {
      trace.note = " Value already recorded. Aborting write.";
      return Status::Ok();
    }
    const size_t room = k.length - (k.equals + 1);
    if (value.size() > room && lock.adopted()) {
      standard = true;
      continue;
    }
    trace.note += "Overwriting existant. ";
    if (value.size() > room) return std::nullopt;  // the lock is kept for the rewrite
    return Overwrite(env_, target, bytes, k.start + static_cast<int64_t>(k.equals) + 1, room, value,
                     trace);
  }
}

Status Databank::Rewrite(const std::string& bank, const std::string& path,
                         const std::string& key, const std::string& value, SwapLock& lock,
                         WriteTrace& trace) {
  trace.note += "Doesn't fit in or is empty (using standard method). ";
  if (io_log_enabled_) {
    LogDatabankIO("Database [" + bank + "] ==>> allocated swap [" + lock.path() + "]");
  }
  const std::string upper_key = platform::Upper(key);
  std::string fresh;
  std::optional<FileInfo> info;
  if (Status s = env_.LookUp(path, info); !s) return Cannot(s, path);
  std::string tail;
  if (!value.empty()) {
    tail = key + "=" + value;
    tail += platform::kCrLf;
  }
  trace.base = nullptr;
  if (info) {
    std::string_view old;
    if (Status s = Contents(*info, old, &trace.base); !s) {
      // A databank we cannot read is left as it is rather than replaced by
      // what little we know of it.
      return Cannot(s, info->path);
    }
    // The swap file is the lock for the whole rewrite but holds no copy of
    // the old contents: the new file is built beside the databank and
    // renamed into place, so the databank itself stays whole until the
    // rename, also for a writer killed half-way, and nothing would ever
    // read such a copy. Copying it cost a second write of the whole file.
    if (trace.base) {
      // Built from the image: the trace names the numbers the two files
      // would have had, had they been opened to be copied.
      trace.bank_serial = std::to_string(env_.FreeSerial(0));
      if (lock.held() || env_.FindFile(lock.path())) {
        trace.swap_serial = std::to_string(env_.FreeSerial(1));
      }
      fresh = trace.base->Rewrite(upper_key, tail, [&upper_key](std::string_view line) {
        return Dropped(line, upper_key);
      });
    } else {
      std::unique_ptr<platform::File> bank_file, swap_file;
      // Opened for their numbers in the trace only.
      (void)env_.Open(info->path, OpenMode::kRead, &bank_file);  // else no number traced
      (void)env_.Open(lock.path(), OpenMode::kRead, &swap_file);  // else no number traced
      if (bank_file) trace.bank_serial = std::to_string(bank_file->serial());
      if (swap_file) trace.swap_serial = std::to_string(swap_file->serial());
      fresh.reserve(old.size() + tail.size());
      lines::ForEachLine(old, [&](std::string_view line, int64_t) {
        if (!Dropped(line, upper_key)) {
          fresh += line;
          fresh += platform::kCrLf;
        }
        return true;
      });
      fresh += tail;
    }
  } else {
    fresh = tail;
  }
  if (info) {
    // The new file is built beside the databank and renamed into place:
    // readers see the old or the new databank, never a part of it, and a
    // writer killed half-way leaves the old one whole.
    if (Status s = env_.ReplaceContents(info->path, fresh); !s) return Cannot(s, info->path);
    if (trace.base) {
      trace.rewritten = std::move(fresh);
      trace.rewrote = true;
    }
  } else if (!value.empty()) {
    std::unique_ptr<platform::File> f;
    Status s = env_.Open(path, OpenMode::kAppend, &f);
    if (s) s = f->Write(fresh);
    if (s) s = f->Close();
    if (!s) return Cannot(s, path);
  } else {
    return Status::Ok();  // nothing to remove from a databank that does not exist
  }
  trace.changed = true;
  return Status::Ok();
}

void Databank::Wrote(const std::string& path, WriteTrace& trace, const FileInfo* after, bool ok) {
  if (!images_on_) return;
  Image* image = trace.base;
  trace.base = nullptr;
  if (!trace.changed) return;
  // Our write ran under the databank's lock on the very bytes of the image,
  // so the file now holds the image with our change: no other writer of the
  // family could come between.
  if (image && ok && after) {
    if (!trace.appended.empty()) {
      image->Appended(trace.appended, *after);
      return;
    }
    if (trace.run_at >= 0) {
      image->Overwritten(trace.run_at, trace.run, *after);
      return;
    }
    if (trace.rewrote) {
      image->Rewrote(std::move(trace.rewritten), *after);
      return;
    }
  }
  // Anything else is read again when next needed.
  for (auto it = images_.begin(); it != images_.end();) {
    it = &it->second == image || it->first == path ? images_.erase(it) : std::next(it);
  }
}

}  // namespace carob::databank
