#include "platform/system_file.h"

#include <algorithm>
#include <cerrno>

#include "platform/serials.h"

namespace carob::platform {

SystemFile::SystemFile(NativeFilePtr native, Opened opened)
    : BufferedFile(opened.path, opened.length), native_(std::move(native)), opened_(std::move(opened)) {
  serial_ = TakeSerial();
}

// The system's file is closed before the serial goes.
SystemFile::~SystemFile() {
  native_.reset();
  ReturnSerial(serial_);
}

Status SystemFile::WriteFailed(int error) const {
  return Status::FromErrno("cannot write " + path(), error);
}

Status SystemFile::ReadChunk(int64_t offset, char* into, size_t n, size_t& got) {
  got = 0;
  if (!IsOpen(*native_)) return ReadFailed(EBADF);  // closed
  const int error = ReadChunkAt(*native_, offset, into, n, got);
  return error == 0 ? Status::Ok() : ReadFailed(error);
}

Status SystemFile::Size(int64_t& size) {
  if (!IsOpen(*native_)) return ReadFailed(EBADF);  // closed
  const int error = LengthOf(*native_, size);
  return error == 0 ? Status::Ok() : ReadFailed(error);
}

Status SystemFile::Write(std::string_view bytes) {
  if (opened_.mode == OpenMode::kRead || !IsOpen(*native_)) return WriteFailed(EBADF);
  wrote_ = true;
  if (opened_.mode == OpenMode::kAppend) {
    if (appended_from_ < 0) {
      int64_t size = 0;
      if (LengthOf(*native_, size) == 0) appended_from_ = size;
    }
    // Every write of a file opened for appending goes to the end.
    if (int error = AppendAll(*native_, bytes)) return WriteFailed(error);
    appended_ += static_cast<int64_t>(bytes.size());
    MoreMayFollow();
    return Status::Ok();
  }
  const int64_t at = Tell();
  if (int error = WriteAllAt(*native_, at, bytes)) return WriteFailed(error);
  ContinueAt(at + static_cast<int64_t>(bytes.size()));
  return Status::Ok();
}

Status SystemFile::ReadAt(int64_t offset, size_t n, std::string& bytes) {
  return ReadRange(offset, n, bytes);
}

Status SystemFile::WriteRangeAt(int64_t offset, std::string_view bytes) {
  // In append mode every write goes to the end, so a positioned write
  // cannot be honoured.
  if (opened_.mode != OpenMode::kReadWrite || !IsOpen(*native_)) return WriteFailed(EBADF);
  if (offset < 0) return WriteFailed(EINVAL);
  wrote_ = true;
  if (int error = WriteAllAt(*native_, offset, bytes)) return WriteFailed(error);
  Overwrote(offset, bytes);
  return Status::Ok();
}

Status SystemFile::WriteAt(int64_t offset, char byte) {
  return WriteRangeAt(offset, std::string_view(&byte, 1));
}

Status SystemFile::Truncate(int64_t length) {
  if (opened_.mode == OpenMode::kRead || !IsOpen(*native_)) return WriteFailed(EBADF);
  if (length < 0) return WriteFailed(EINVAL);
  wrote_ = true;
  if (int error = SetLengthOf(*native_, length)) return WriteFailed(error);
  // Of our appends, only those below the new end are still in the file.
  if (appended_from_ >= 0) {
    appended_ = std::max<int64_t>(0, std::min(appended_from_ + appended_, length) - appended_from_);
    appended_from_ = std::min(appended_from_, length);
  }
  CutTo(length);
  return Status::Ok();
}

Status SystemFile::Close() {
  if (closed_) return *closed_;
  const Closing closing{opened_, wrote_, appended_from_, appended_};
  const int error = FinishClose(*native_, closing);
  closed_ = error == 0 ? Status::Ok() : WriteFailed(error);
  return *closed_;
}

}  // namespace carob::platform
