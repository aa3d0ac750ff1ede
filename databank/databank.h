// The databank engine: key/value stores in plain-text files shared between
// the programs of the family, with read and write caches, in-place
// overwriting, swap-file write locks and an I/O trace ("Database_IO.log").
//
// One Databank object is the engine's module state for one process (caches,
// TempDir, RunPath, the I/O log switch). Operations never throw and never
// report failure: an absent value is the empty string.
#pragma once

#include <array>
#include <string>

#include "platform/env.h"

namespace carob::databank {

// One slot of the read or the write cache.
struct CacheSlot {
  std::string path;
  std::string stamp;
  std::string key;
  std::string value;
};

struct Cache {
  std::array<CacheSlot, 5> slots;
  int next = 0;
};

class Databank {
 public:
  explicit Databank(platform::Env& env);

  // The value stored under key, or "" for every kind of absence. Both
  // arguments are trimmed in place.
  std::string Query(std::string& bank, std::string& key);
  std::string Query(std::string&& bank, std::string&& key) { return Query(bank, key); }

  // Stores value under key; an empty value removes the key. All three
  // arguments are trimmed in place; an in-place overwrite pads value.
  void Set(std::string& bank, std::string& key, std::string& value);
  void Set(std::string&& bank, std::string&& key, std::string&& value) { Set(bank, key, value); }

  void RemoveEntry(std::string& bank, std::string& key);
  void RemoveEntry(std::string&& bank, std::string&& key) { RemoveEntry(bank, key); }

  // Empties every cache slot whose path or key equals name (trimmed, case
  // blind). name is trimmed and upper-cased in place.
  void ForgetCached(std::string& name);
  void ForgetCached(std::string&& name) { ForgetCached(name); }

  // The file path of a databank name: a name with ":" as it stands, any
  // other in the program folder. "" when the name denotes a folder.
  std::string ResolveBankPath(std::string& name);
  std::string ResolveBankPath(std::string&& name) { return ResolveBankPath(name); }

  // The swap path of a databank, once no swap file of that name exists.
  std::string AllocateSwap(std::string& name);

  // The I/O log.
  void StartDatabankIOLog(bool keep_previous);
  void LogDatabankIO(const std::string& text);
  bool IOLogEnabled() const { return io_log_enabled_; }

  // Settled by the first databank operation of the process.
  const std::string& TempDir() const { return temp_dir_; }
  const std::string& RunPath() const { return run_path_; }

  // For tests and diagnostics.
  const Cache& read_cache() const { return read_cache_; }
  const Cache& write_cache() const { return write_cache_; }
  platform::Env& env() { return env_; }

 private:
  void InitDatabankAccess();

  platform::Env& env_;
  Cache read_cache_;
  Cache write_cache_;
  bool io_log_enabled_ = false;
  std::string temp_dir_;
  std::string run_path_;
  bool initialising_ = false;
  std::string last_name_;
  std::string last_path_;
};

// The trimmed text before the first "=" of a line ("" without "=").
std::string KeyPart(const std::string& line);
// The trimmed text after the first "=" (the whole line trimmed without "=").
std::string ValuePart(const std::string& line);

}  // namespace carob::databank
