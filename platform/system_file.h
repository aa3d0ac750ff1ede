// The open file of both systems, written once over each system's few
// primitives: the mode checks of every write, the accounting of what this
// file appended (taken back when its close fails), the reading position
// kept in step with the writes, and the close that repeats its answer.
// Internal to platform/: posix::PosixFile and win::WinFile derive from it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/buffered_file.h"
#include "platform/env.h"
#include "platform/sync_points.h"

namespace carob::platform {

// How an open file came to be, beside the system's descriptor or handle.
struct Opened {
  OpenMode mode = OpenMode::kRead;
  std::string path;    // the Windows-style name that failures report
  std::string native;  // where it lies, as the system is given it
  int64_t length = 0;  // its length when opened
  std::shared_ptr<SyncPoints> syncs;  // the Env's grouping of syncs
  bool created = false;  // this open made it (the name wants its folder synced)
};

// An open file; holds a serial while it lives.
class SystemFile : public BufferedFile {
 public:
  ~SystemFile() override;

  Status Write(std::string_view bytes) final;
  Status ReadAt(int64_t offset, size_t n, std::string& bytes) final;
  Status WriteAt(int64_t offset, char byte) final;
  Status WriteRangeAt(int64_t offset, std::string_view bytes) final;
  Status Truncate(int64_t length) final;
  Status Close() final;

 protected:
  explicit SystemFile(Opened opened);

  // -- the system's primitives (0, or the errno of the failure)
  // Whether the descriptor or handle is still open (Close ends it).
  virtual bool IsOpen() const = 0;
  // Appends all of `bytes` at the end of the file.
  virtual int AppendAll(std::string_view bytes) = 0;
  // Writes all of `bytes` at `offset`.
  virtual int WriteAllAt(int64_t offset, std::string_view bytes) = 0;
  // Sets the file's length.
  virtual int SetLength(int64_t length) = 0;
  // Makes what was written durable as Close promises (or defers it to the
  // Env's grouped syncs), closes, and takes back this file's appends
  // (AppendedRun) when that failed and the system still allows it.
  virtual int FinishClose() = 0;

  Status WriteFailed(int error) const;
  const Opened& opened() const { return opened_; }
  // Whether anything was written through this file.
  bool wrote() const { return wrote_; }
  // The bytes this file appended, while they are all still in the file:
  // from `from` (the length before its first append), `count` of them;
  // false when it appended nothing.
  bool AppendedRun(int64_t& from, int64_t& count) const;

 private:
  Opened opened_;
  bool wrote_ = false;
  int64_t appended_from_ = -1;  // the length before our first append
  int64_t appended_ = 0;        // bytes appended through this file
  std::optional<Status> closed_;
};

}  // namespace carob::platform
