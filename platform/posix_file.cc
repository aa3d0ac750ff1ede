#include "platform/posix_file.h"
#include "platform/serials.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace carob::platform::posix {

namespace {


constexpr size_t kChunk = 64 * 1024;

}  // namespace

void Fd::Reset() {
  if (fd_ >= 0) {
    // The descriptor is gone after close() even when it reports EINTR.
    ::close(fd_);
    fd_ = -1;
  }
}

bool WriteFully(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = RetryOnEintr([&] { return ::write(fd, bytes.data(), bytes.size()); });
    if (n < 0) return false;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

int AppendWhole(int fd, std::string_view bytes) {
  struct stat before {};
  const bool known = ::fstat(fd, &before) == 0;
  size_t written = 0;
  while (written < bytes.size()) {
    ssize_t n = RetryOnEintr(
        [&] { return ::write(fd, bytes.data() + written, bytes.size() - written); });
    if (n <= 0) {
      const int error = n < 0 ? errno : EIO;
      // Cut back only our own bytes: a file that grew by more than them was
      // appended to by someone else meanwhile, and is left as it stands.
      struct stat now {};
      if (written > 0 && known && ::fstat(fd, &now) == 0 &&
          now.st_size == before.st_size + static_cast<off_t>(written)) {
        (void)RetryOnEintr([&] { return ::ftruncate(fd, before.st_size); });
      }
      return error;
    }
    written += static_cast<size_t>(n);
  }
  return 0;
}

// Writes all of `bytes` at `offset`: 0, or the errno of the failure.
static int PwriteFully(int fd, std::string_view bytes, int64_t offset) {
  while (!bytes.empty()) {
    ssize_t n = RetryOnEintr(
        [&] { return ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)); });
    if (n <= 0) return n < 0 ? errno : EIO;
    offset += n;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

bool ReadFully(int fd, std::string& bytes, int64_t size_hint) {
  // Read straight into the string, sized from the file's length, so a whole
  // databank usually comes in with one read; a file that grows meanwhile is
  // still read to its end.
  if (size_hint < 0) {
    struct stat st {};
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) size_hint = static_cast<int64_t>(st.st_size);
  }
  size_t want = size_hint > 0 ? static_cast<size_t>(size_hint) + 1 : kChunk;  // +1 sees the end
  size_t have = bytes.size();
  for (;;) {
    bytes.resize(have + want);
    ssize_t n = RetryOnEintr([&] { return ::read(fd, bytes.data() + have, want); });
    if (n < 0) {
      bytes.resize(have);
      return false;
    }
    have += static_cast<size_t>(n);
    if (n == 0) {
      bytes.resize(have);
      return true;
    }
    want = kChunk;
  }
}

Fd OpenNative(const std::string& native, OpenMode mode, struct stat* info) {
  // Opened without blocking and checked afterwards, so that a pipe or device
  // is never waited on (opening a pipe for reading would block); regular
  // files take no notice of the flag.
  int flags = O_CLOEXEC | O_NONBLOCK;
  switch (mode) {
    case OpenMode::kRead: flags |= O_RDONLY; break;
    // A write never follows a symbolic link at the file's own name: one
    // planted in a shared folder would lead it to any file of the user.
    case OpenMode::kAppend: flags |= O_RDWR | O_APPEND | O_NOFOLLOW; break;
    case OpenMode::kReadWrite: flags |= O_RDWR | O_NOFOLLOW; break;
  }
  auto open = [&](int with) {
    int fd = RetryOnEintr([&] { return ::open(native.c_str(), with, 0666); });
    if (fd < 0 && mode == OpenMode::kAppend && errno == EACCES) {
      // A write-only file can still be appended to.
      fd = RetryOnEintr([&] { return ::open(native.c_str(), (with & ~O_RDWR) | O_WRONLY, 0666); });
    }
    return fd;
  };
  int fd = open(flags);
  // A missing file is made exclusively, so that nothing put at its name
  // meanwhile is taken over; one made by a peer in between is opened as
  // found, under the same rules.
  for (int round = 0; fd < 0 && errno == ENOENT && mode == OpenMode::kAppend && round < 3; ++round) {
    fd = open(flags | O_CREAT | O_EXCL);
    if (fd < 0 && errno == EEXIST) fd = open(flags);
  }
  Fd out(fd);
  if (!out.valid()) return out;
  struct stat st {};
  if (::fstat(out.get(), &st) != 0) return Fd();
  if (!S_ISREG(st.st_mode)) {
    out.Reset();
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return out;
  }
  if (info) *info = st;
  return out;
}

PosixFile::PosixFile(Fd fd, OpenMode mode, std::string path)
    : fd_(std::move(fd)), mode_(mode), path_(std::move(path)) {
  serial_ = TakeSerial();
}

PosixFile::~PosixFile() {
  fd_.Reset();
  ReturnSerial(serial_);
}

size_t PosixFile::ReadChunk(int64_t offset, char* into, size_t n) {
  ssize_t got = RetryOnEintr([&] { return ::pread(fd_.get(), into, n, static_cast<off_t>(offset)); });
  return got > 0 ? static_cast<size_t>(got) : 0;
}

Status PosixFile::WriteFailed(int error) const {
  return Status::FromErrno("cannot write " + path_, error);
}

Status PosixFile::Write(std::string_view bytes) {
  if (mode_ == OpenMode::kRead) return WriteFailed(EBADF);
  if (mode_ == OpenMode::kAppend) {
    if (int error = AppendWhole(fd_.get(), bytes)) return WriteFailed(error);
    MoreMayFollow();
    return Status::Ok();
  }
  const int64_t at = Tell();
  if (int error = PwriteFully(fd_.get(), bytes, at)) return WriteFailed(error);
  ContinueAt(at + static_cast<int64_t>(bytes.size()));
  return Status::Ok();
}

bool PosixFile::ReadAt(int64_t offset, char& byte) {
  if (offset < 0) return false;
  auto read = [&] { return ::pread(fd_.get(), &byte, 1, static_cast<off_t>(offset)); };
  return RetryOnEintr(read) == 1;
}

Status PosixFile::WriteRangeAt(int64_t offset, std::string_view bytes) {
  // In append mode every write goes to the end, so a positioned write
  // cannot be honoured.
  if (mode_ != OpenMode::kReadWrite) return WriteFailed(EBADF);
  if (offset < 0) return WriteFailed(EINVAL);
  if (int error = PwriteFully(fd_.get(), bytes, offset)) return WriteFailed(error);
  Overwrote(offset, bytes);
  return Status::Ok();
}

Status PosixFile::WriteAt(int64_t offset, char byte) {
  return WriteRangeAt(offset, std::string_view(&byte, 1));
}

Status PosixFile::Truncate(int64_t length) {
  if (mode_ == OpenMode::kRead) return WriteFailed(EBADF);
  if (length < 0) return WriteFailed(EINVAL);
  if (RetryOnEintr([&] { return ::ftruncate(fd_.get(), length); }) != 0) return WriteFailed(errno);
  CutTo(length);
  return Status::Ok();
}

int64_t PosixFile::Size() {
  struct stat st {};
  if (::fstat(fd_.get(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

}  // namespace carob::platform::posix
