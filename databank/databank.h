// The databank engine: key/value stores in plain-text files shared between
// the programs of the family, with read and write caches, in-place
// overwriting, swap-file write locks and an I/O trace ("Database_IO.log").
//
// One Databank object is the engine's module state for one process (caches,
// TempDir, RunPath, the I/O log switch). Operations never throw. Query
// reports nothing (an absent value is the empty string) and Read is its
// checked form; Write and Remove always say why they failed, and a caller
// that goes on regardless says why it may.
//
// Writers of ours coordinate through the databank's swap file in TempDir
// ("DSP.<folder>.<file>.TMP"): a databank is locked while its swap file
// exists. Every write (append, in-place overwrite, rewrite) runs under that
// lock; a rewrite builds the new file beside the databank and renames it
// into place, so readers always see a complete databank (the swap file
// holds no copy of it).
#pragma once

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "databank/image.h"
#include "platform/env.h"
#include "platform/interaction.h"
#include "platform/status.h"

namespace carob::databank {

// One slot of the read or the write cache.
struct CacheSlot {
  std::string path;
  std::string stamp;
  std::string key;
  std::string value;
  // The file could not be read at this stamp: Query answers "" from the
  // slot, a checked Read looks at the file again.
  bool unread = false;
};

struct Cache {
  std::array<CacheSlot, 5> slots;
  int next = 0;
};

// The fixed path of the file-location databank and its key for TempDir.
inline constexpr const char* kFileLoc = "C:\\FileLoc";
inline constexpr const char* kTemporaryPathKey = "Temporary path";

// A databank's swap-file lock. While held(), the swap file exists and this
// process holds it; the destructor releases it (deleting the swap file,
// unless it was adopted).
class SwapLock {
 public:
  SwapLock() = default;
  explicit SwapLock(std::string path) : path_(std::move(path)) {}

  // The swap path of the databank.
  const std::string& path() const { return path_; }
  // False when no lock was made: no temporary folder yet, or failed().
  bool held() const { return hold_ != nullptr; }
  // Why the swap file could not be made; ok when it was, or when there is
  // no temporary folder yet. A write must not go on after a failure.
  const platform::Status& failure() const { return failure_; }
  // Held by taking over the liveness hold of a swap file that a dead writer
  // left: the file is not ours, stays when released and cannot be written.
  bool adopted() const { return adopted_; }
  // Writes into the swap file (it starts empty).
  bool Write(std::string_view bytes) { return hold_ && hold_->Write(bytes).ok(); }
  void Release() {
    hold_.reset();
    adopted_ = false;
    failure_ = platform::Status::Ok();
  }

 private:
  friend class Databank;
  // Ending the hold deletes the swap file first.
  struct Releaser {
    void operator()(platform::LockFile* hold) const {
      hold->Release();
      delete hold;
    }
  };
  std::string path_;
  std::unique_ptr<platform::LockFile, Releaser> hold_;
  bool adopted_ = false;
  platform::Status failure_;
};

struct WriteTrace;  // how one write went, for the I/O trace and the caches

class Databank {
 public:
  // A wait for a lock that another writer holds asks `interaction` whether
  // the program is closing (without a window: a close signal caught); once
  // it has said so for a moment, no lock is waited for and such a write is
  // not made.
  explicit Databank(platform::Env& env,
                    platform::Interaction& interaction = platform::NoWindow());

  // The value stored under key, or "" for every kind of absence. Both
  // arguments are trimmed in place.
  std::string Query(std::string& bank, std::string& key);
  std::string Query(std::string&& bank, std::string&& key) { return Query(bank, key); }

  // The checked form of Query for callers that hold their names as views:
  // the arguments are trimmed copies, nothing is changed in place. Read
  // fails when the name denotes a folder or the databank exists but cannot
  // be read; an absent databank or key is a success with value "".
  [[nodiscard]] platform::Status Read(std::string_view bank, std::string_view key,
                                      std::string& value);
  // Stores value under key (an empty value removes it); the arguments are
  // trimmed copies (an in-place overwrite pads the copy of value). It
  // fails, and leaves the caches as they were, when the file could not be
  // made to hold the value: the failure names the databank file and the
  // cause ("cannot write C:\x\y.dat: read-only file system"), or the
  // refusal in words (a blank name or key, a line break in the key or
  // value, a folder's name).
  [[nodiscard]] platform::Status Write(std::string_view bank, std::string_view key,
                                       std::string_view value);
  // Removes key (trimmed copies of both names); the trace names it a
  // RemoveEntry. Fails as Write does.
  [[nodiscard]] platform::Status Remove(std::string_view bank, std::string_view key);

  // Empties every cache slot whose path or key equals name (trimmed, case
  // blind). name is trimmed and upper-cased in place.
  void ForgetCached(std::string& name);
  void ForgetCached(std::string&& name) { ForgetCached(name); }

  // The file path of a databank name: a name with ":" as it stands, any
  // other in the program folder. "" when the name denotes a folder.
  std::string ResolveBankPath(std::string& name);
  std::string ResolveBankPath(std::string&& name) { return ResolveBankPath(name); }

  // Every line of a databank's file, as it stands, in the file's order:
  // the name is resolved as ResolveBankPath does, a line ends at LF (a CR
  // before it goes with it) and the last line needs no end. Reads under no
  // lock and without the caches or the I/O log. Fails, leaving `lines`
  // empty, when the name denotes a folder or the file cannot be read.
  [[nodiscard]] platform::Status ReadLines(std::string_view bank, std::vector<std::string>& lines);

  // The swap path of a databank name (trimmed in place) as it stands now.
  std::string SwapPath(std::string& name);
  // Waits until no swap file of the databank exists and takes the lock
  // (breaking a lock whose holder died more than 7 seconds ago), logs the
  // "allocated swap" line and returns the held lock.
  SwapLock AllocateSwap(std::string& name);
  // Takes a swap-file lock of another kind of shared file (a queue) at a
  // full path in the temporary folder, by the same rules: waits, breaks a
  // dead holder's lock after 7 seconds, fails at once when it cannot be made.
  SwapLock LockSwapFile(const std::string& swap_path) { return TakeSwap(swap_path); }

  // Sets folder to the temporary folder: "Temporary path" in "C:\FileLoc",
  // else the first of the variables ORB, TEMP and TMP that is set, else the
  // program folder. A folder found without the key is recorded under it
  // (folder is set before, so the write already sees it).
  void SettleTemporaryFolder(std::string& folder);

  // The I/O log.
  void StartDatabankIOLog(bool keep_previous);
  void LogDatabankIO(const std::string& text);
  bool IOLogEnabled() const { return io_log_enabled_; }

  // Settled by the first databank operation of the process.
  const std::string& TempDir() const { return temp_dir_; }
  const std::string& RunPath() const { return run_path_; }

  // File images (see image.h): on unless the environment variable
  // CAROB_DATABANK_IMAGE is "off", "no", "false" or "0". Off, every lookup
  // the caches do not answer reads the file, and every trace line opens,
  // appends to and closes the log: the reference path, with the very same
  // results.
  void UseImages(bool on);
  bool UsesImages() const { return images_on_; }

  // For tests and diagnostics.
  const Cache& read_cache() const { return read_cache_; }
  const Cache& write_cache() const { return write_cache_; }
  platform::Env& env() { return env_; }

 private:
  void InitDatabankAccess();
  std::string Lookup(std::string& bank, std::string& key, platform::Status* status);
  // The write behind Write and Remove, on trimmed arguments; an in-place
  // overwrite pads value.
  [[nodiscard]] platform::Status Store(const std::string& bank, const std::string& key,
                                       std::string& value);
  [[nodiscard]] platform::Status Erase(const std::string& bank,
                                       const std::string& key);  // on trimmed names
  // The write cache already holds this value for the file as it stands.
  bool CachedAsWritten(const std::string& path, const std::string& key, const std::string& value);
  // Under the databank's lock: appends the entry or overwrites its value in
  // place; nullopt (the lock still held) when the value does not fit there.
  [[nodiscard]] std::optional<platform::Status> AppendOrOverwrite(
      const std::string& bank, const std::string& path, const std::string& key,
      std::string& value, SwapLock& lock, WriteTrace& trace);
  // The standard method: the file rebuilt without the key's lines, the entry
  // (unless removing) at its end, renamed into place.
  [[nodiscard]] platform::Status Rewrite(const std::string& bank, const std::string& path,
                                         const std::string& key, const std::string& value,
                                         SwapLock& lock, WriteTrace& trace);
  std::string BankStamp(const std::string& path);
  // The bytes of the file described by info: from its image when the image
  // has the file's stamp, else read (and kept as its image when the file
  // stood still while read). *image is the image the bytes belong to, or
  // null (images off, or a file that changed while read). The bytes stay
  // valid until the next call.
  [[nodiscard]] platform::Status Contents(const platform::FileInfo& info, std::string_view& bytes,
                                          Image** image);
  // After a write of ours under the databank's lock: the image it started
  // from is brought up to date, or dropped when that cannot be done.
  void Wrote(const std::string& path, WriteTrace& trace, const platform::FileInfo* after,
             bool ok);
  void StoreSlot(Cache& cache, const std::string& path, const std::string& stamp,
                 const std::string& key, const std::string& value, bool unread = false);
  void ForgetPath(const std::string& path);
  // The swap name of the databank `name` as it is stored (nothing: not
  // there yet).
  std::string SwapPathFor(const std::string& name,
                          const std::optional<platform::FileInfo>& stored) const;
  // With `adopt_dead`, a swap file whose holder is gone is not waited for
  // but adopted (an append or in-place overwrite may write under it).
  SwapLock TakeSwap(const std::string& swap_path, bool adopt_dead = false);
  bool ShareMayRecover(std::optional<double>& since);
  bool StopEndsWaits(double now);
  SwapLock LockBank(const std::string& bank, const std::string& path, bool adopt_dead = false);

  platform::Env& env_;
  platform::Interaction& interaction_;
  std::optional<double> stop_noticed_;  // when a wait first saw the close, seconds since midnight
  Cache read_cache_;
  Cache write_cache_;
  bool io_log_enabled_ = false;
  std::string last_write_stamp_;  // the stamp the last write left, taken under its lock
  std::string temp_dir_;
  std::string run_path_;
  bool initialising_ = false;
  std::string last_name_;
  std::string last_path_;
  bool images_on_ = true;
  std::unordered_map<std::string, Image> images_;  // by the path the file is stored under
  std::string scratch_;  // bytes read without keeping them as an image
  // Whether a folder's locks are seen everywhere, as last asked, with the
  // device of the file it was asked for: the answer of a file system holds
  // while its files are on it (asking looks at the folder every time).
  struct SeenEverywhere {
    uint64_t device = 0;
    bool seen = false;
  };
  std::unordered_map<std::string, SeenEverywhere> seen_everywhere_;
  std::string log_path_;
  std::unique_ptr<platform::Appender> log_;  // the I/O log held open
};

// The trimmed text before the first "=" of a line ("" without "=").
std::string KeyPart(const std::string& line);
// The trimmed text after the first "=" (the whole line trimmed without "=").
std::string ValuePart(const std::string& line);

}  // namespace carob::databank
