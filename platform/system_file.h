// The open file of both systems, written once: the mode checks of every
// write, the accounting of what the file appended (taken back when its
// close fails), the reading position kept in step with the writes, and the
// close that repeats its answer. Each system holds its own descriptor or
// handle in a NativeFile and defines the few calls on it declared below
// (posix/file.cc, windows/file.cc; platform/CMakeLists.txt builds one).
// Internal to platform/.
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

// The byte that queue locks lock on both systems: far past the end of any
// file, because a byte-range lock on Windows also refuses other handles'
// reads and writes of the bytes it covers. Every process locks this same
// byte, so a Windows program and a POSIX one on one file system (or one
// running the other's program) wait for each other.
constexpr int64_t kQueueLockByte = 0x7FFFFFFF00000000LL;

// How an open file came to be, beside the system's descriptor or handle.
struct Opened {
  OpenMode mode = OpenMode::kRead;
  std::string path;    // the Windows-style name that failures report
  std::string native;  // where it lies, as the system is given it
  int64_t length = 0;  // its length when opened
  std::shared_ptr<SyncPoints> syncs;  // the Env's grouping of syncs
  bool created = false;  // this open made it (the name wants its folder synced)
};

// The system's own open file (a descriptor, a handle), defined by each
// system with its deleter.
struct NativeFile;
struct NativeFileDeleter {
  void operator()(NativeFile* file) const;
};
using NativeFilePtr = std::unique_ptr<NativeFile, NativeFileDeleter>;

// What a close has to make good: the file, whether anything was written
// through it, and the bytes it appended while they are all still in the
// file (`appended` of them from `appended_from`; 0 when none).
struct Closing {
  const Opened& opened;
  bool wrote = false;
  int64_t appended_from = -1;
  int64_t appended = 0;
};

// -- each system's calls on its open file: 0, or the errno of the failure
// Whether the file is still open (Close ends it).
bool IsOpen(const NativeFile& file);
// Up to `n` bytes at `offset` in one system read: `got` of them, 0 at the end.
int ReadChunkAt(NativeFile& file, int64_t offset, char* into, size_t n, size_t& got);
// The file's length now.
int LengthOf(NativeFile& file, int64_t& length);
// Appends all of `bytes` at the end of the file.
int AppendAll(NativeFile& file, std::string_view bytes);
// Writes all of `bytes` at `offset`.
int WriteAllAt(NativeFile& file, int64_t offset, std::string_view bytes);
// Sets the file's length.
int SetLengthOf(NativeFile& file, int64_t length);
// Makes what was written durable as File::Close promises (or leaves it to
// the Env's grouped syncs), closes, and takes the appends back when that
// failed and the system still allows it.
int FinishClose(NativeFile& file, const Closing& closing);

// An open file; holds a serial while it lives.
class SystemFile final : public BufferedFile {
 public:
  SystemFile(NativeFilePtr native, Opened opened);
  ~SystemFile() override;

  Status Write(std::string_view bytes) override;
  Status ReadAt(int64_t offset, size_t n, std::string& bytes) override;
  Status WriteAt(int64_t offset, char byte) override;
  Status WriteRangeAt(int64_t offset, std::string_view bytes) override;
  Status Size(int64_t& size) override;
  Status Truncate(int64_t length) override;
  Status Close() override;

 private:
  Status ReadChunk(int64_t offset, char* into, size_t n, size_t& got) override;
  Status WriteFailed(int error) const;

  NativeFilePtr native_;
  Opened opened_;
  bool wrote_ = false;
  int64_t appended_from_ = -1;  // the length before our first append
  int64_t appended_ = 0;        // bytes appended through this file
  std::optional<Status> closed_;
};

}  // namespace carob::platform
