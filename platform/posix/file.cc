#include "platform/posix/file.h"
#include "platform/windows_path.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace carob::platform::posix {

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
        // The write's error is told.
        (void)RetryOnEintr([&] { return ::ftruncate(fd, before.st_size); });
      }
      return error;
    }
    written += static_cast<size_t>(n);
  }
  return 0;
}

int PwriteFully(int fd, std::string_view bytes, int64_t offset) {
  while (!bytes.empty()) {
    ssize_t n = RetryOnEintr(
        [&] { return ::pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)); });
    if (n <= 0) return n < 0 ? errno : EIO;
    offset += n;
    bytes.remove_prefix(static_cast<size_t>(n));
  }
  return 0;
}

Status ReadFully(int fd, std::string& bytes, int64_t length, const std::string& what) {
  auto read = [fd](char* into, size_t n, size_t& got) {
    const ssize_t r = RetryOnEintr([&] { return ::read(fd, into, n); });
    got = r > 0 ? static_cast<size_t>(r) : 0;
    return r < 0 ? Status::FromErrno("", errno) : Status::Ok();
  };
  auto size_now = [fd](int64_t& size) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return Status::FromErrno("", errno);
    size = static_cast<int64_t>(st.st_size);
    return Status::Ok();
  };
  return ReadToEnd(bytes, length, what, read, size_now);
}

namespace {
// A sync the file system does not offer (some network and user-space file
// systems) cannot be made; it is not a failure of the write.
bool CannotSync(int error) { return error == EINVAL || error == ENOTSUP || error == ENOSYS; }
}  // namespace

int SyncData(int fd) {
  if (RetryOnEintr([&] { return ::fdatasync(fd); }) == 0) return 0;
  return CannotSync(errno) ? 0 : errno;
}

int SyncFolder(const std::string& native_folder) {
  Fd dir(RetryOnEintr([&] { return ::open(native_folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
  // A folder that cannot be opened for reading cannot be synced here.
  if (!dir.valid()) return errno == EACCES || CannotSync(errno) ? 0 : errno;
  if (RetryOnEintr([&] { return ::fsync(dir.get()); }) == 0) return 0;
  return CannotSync(errno) || errno == EBADF ? 0 : errno;
}

int CloseChecked(Fd& fd) {
  const int raw = fd.Release();
  if (raw < 0 || ::close(raw) == 0) return 0;
  // After EINTR the descriptor is gone and what it wrote was synced before.
  return errno == EINTR ? 0 : errno;
}

Fd OpenNative(const std::string& native, OpenMode mode, struct stat* info, bool* created) {
  if (created) *created = false;
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
    if (fd >= 0 && created) *created = true;
    if (fd < 0 && errno == EEXIST) fd = open(flags);
  }
  Fd out(fd);
  if (!out.valid()) return out;
  struct stat st {};
  if (::fstat(out.get(), &st) != 0) return Fd();
  if (!S_ISREG(st.st_mode)) {
    out.Reset();
    errno = NotAFile(KindOf(st.st_mode));
    return out;
  }
  if (info) *info = st;
  return out;
}

std::unique_ptr<File> NewFile(Fd fd, Opened opened) {
  return std::make_unique<SystemFile>(NativeFilePtr(new NativeFile{std::move(fd)}), std::move(opened));
}

namespace {

// The syncs that a close owes: 0, or the errno of the first that failed.
int SyncWritten(int fd, const Closing& closing) {
  const Opened& o = closing.opened;
  if (closing.wrote && (!o.syncs || !o.syncs->DeferFile(o.native))) {
    if (int error = SyncData(fd)) return error;
  }
  // A name this open made is durable only once its folder is.
  if (o.created) {
    const std::string folder = FolderOf(o.native);
    if (!o.syncs || !o.syncs->DeferFolder(folder)) return SyncFolder(folder);
  }
  return 0;
}

}  // namespace

std::string NameOf(const std::string& native) { return LastComponent(native, "/"); }

std::string FolderOf(const std::string& native) {
  size_t slash = native.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return native.substr(0, slash);
}

}  // namespace carob::platform::posix

namespace carob::platform {

using posix::Fd;
using posix::RetryOnEintr;

void NativeFileDeleter::operator()(NativeFile* file) const { delete file; }

bool IsOpen(const NativeFile& file) { return file.fd.valid(); }

int ReadChunkAt(NativeFile& file, int64_t offset, char* into, size_t n, size_t& got) {
  ssize_t r = RetryOnEintr([&] { return ::pread(file.fd.get(), into, n, static_cast<off_t>(offset)); });
  if (r < 0) return errno;
  got = static_cast<size_t>(r);
  return 0;
}

int LengthOf(NativeFile& file, int64_t& length) {
  struct stat st {};
  if (::fstat(file.fd.get(), &st) != 0) return errno;
  length = static_cast<int64_t>(st.st_size);
  return 0;
}

int AppendAll(NativeFile& file, std::string_view bytes) { return posix::AppendWhole(file.fd.get(), bytes); }

int WriteAllAt(NativeFile& file, int64_t offset, std::string_view bytes) {
  return posix::PwriteFully(file.fd.get(), bytes, offset);
}

int SetLengthOf(NativeFile& file, int64_t length) {
  return RetryOnEintr([&] { return ::ftruncate(file.fd.get(), length); }) == 0 ? 0 : errno;
}

int FinishClose(NativeFile& file, const Closing& closing) {
  const Opened& o = closing.opened;
  const bool changed = closing.wrote || o.created;
  int error = changed ? posix::SyncWritten(file.fd.get(), closing) : 0;
  const bool appended = closing.appended > 0 && closing.appended_from >= 0;
  // Which file it was, for a cut-back after a failed close (appends only).
  struct stat held {};
  const bool known = appended && ::fstat(file.fd.get(), &held) == 0;
  const int closed = posix::CloseChecked(file.fd);
  if (error == 0) error = changed ? closed : 0;
  if (error != 0 && known) {
    // Our appends are taken back while the file holds nothing after them,
    // through a descriptor of its own (a failed close took ours).
    Fd again(RetryOnEintr([&] { return ::open(o.native.c_str(), O_WRONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK); }));
    struct stat now {};
    if (again.valid() && ::fstat(again.get(), &now) == 0 && posix::SameFile(now, held) &&
        static_cast<int64_t>(now.st_size) == closing.appended_from + closing.appended &&
        RetryOnEintr([&] { return ::ftruncate(again.get(), closing.appended_from); }) == 0) {
      (void)posix::SyncData(again.get());  // the cut is all that can still be done
      (void)posix::CloseChecked(again);
    }
  }
  return error;
}

}  // namespace carob::platform
