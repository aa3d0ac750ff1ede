#include "platform/windows/file.h"
#include "platform/windows_path.h"

#include <algorithm>
#include <cerrno>

namespace carob::platform::win {

OVERLAPPED At(int64_t offset) {
  OVERLAPPED o{};
  o.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset) & 0xFFFFFFFFu);
  o.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  return o;
}

int ErrnoOf(DWORD code) {
  switch (code) {
    case ERROR_SUCCESS: return 0;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
    case ERROR_INVALID_NAME:
    case ERROR_DIRECTORY:
      return ENOENT;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return EEXIST;
    case ERROR_ACCESS_DENIED:
    case ERROR_CANNOT_MAKE:
      return EACCES;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EWOULDBLOCK;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
      return ENOSPC;
    case ERROR_WRITE_PROTECT: return EROFS;
    case ERROR_INVALID_HANDLE: return EBADF;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_TOO_MANY_OPEN_FILES: return EMFILE;
    case ERROR_BUFFER_OVERFLOW:
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    case ERROR_DIR_NOT_EMPTY: return ENOTEMPTY;
    case ERROR_BAD_EXE_FORMAT:
    case ERROR_EXE_MACHINE_TYPE_MISMATCH:
      return ENOEXEC;
    case ERROR_INVALID_PARAMETER: return EINVAL;
    default: return EIO;
  }
}

int LastErrno() { return ErrnoOf(::GetLastError()); }

bool LockRange(HANDLE h) {
  OVERLAPPED o{};
  o.Offset = kLockOffsetLow;
  o.OffsetHigh = kLockOffsetHigh;
  if (::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &o)) return true;
  errno = LastErrno();
  return false;
}

bool WriteFully(HANDLE h, std::string_view bytes) {
  while (!bytes.empty()) {
    DWORD n = 0;
    DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1u << 30));
    if (!::WriteFile(h, bytes.data(), want, &n, nullptr)) {
      errno = LastErrno();
      return false;
    }
    if (n == 0) {
      errno = EIO;
      return false;
    }
    bytes.remove_prefix(n);
  }
  return true;
}

int WriteFullyAt(HANDLE h, std::string_view bytes, int64_t offset) {
  while (!bytes.empty()) {
    OVERLAPPED o = At(offset);
    DWORD n = 0;
    DWORD want = static_cast<DWORD>(std::min<size_t>(bytes.size(), 1u << 30));
    if (!::WriteFile(h, bytes.data(), want, &n, &o)) return LastErrno();
    if (n == 0) return EIO;
    offset += n;
    bytes.remove_prefix(n);
  }
  return 0;
}

Status ReadFully(HANDLE h, std::string& bytes, int64_t length, const std::string& what) {
  auto read = [h](char* into, size_t n, size_t& got) {
    DWORD done = 0;
    got = 0;
    if (!::ReadFile(h, into, static_cast<DWORD>(std::min<size_t>(n, 1u << 30)), &done, nullptr)) {
      // The system's word for the end of the file is no failure.
      const DWORD code = ::GetLastError();
      return code == ERROR_HANDLE_EOF ? Status::Ok() : Status::FromErrno("", ErrnoOf(code));
    }
    got = done;
    return Status::Ok();
  };
  auto size_now = [h](int64_t& size) {
    LARGE_INTEGER now{};
    if (!::GetFileSizeEx(h, &now)) return Status::FromErrno("", LastErrno());
    size = static_cast<int64_t>(now.QuadPart);
    return Status::Ok();
  };
  return ReadToEnd(bytes, length, what, read, size_now);
}

int FlushChecked(HANDLE h) { return ::FlushFileBuffers(h) ? 0 : LastErrno(); }

int SetLength(HANDLE h, int64_t length) {
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = length;
  if (::SetFileInformationByHandle(h, FileEndOfFileInfo, &end, sizeof end)) return 0;
  if (::GetLastError() != ERROR_ACCESS_DENIED) return LastErrno();
  // Opened to append only: a second handle on the same file may write.
  Handle writer(::ReOpenFile(h, GENERIC_WRITE, kShareAll, 0));
  if (!writer.valid()) return LastErrno();
  if (!::SetFileInformationByHandle(writer.get(), FileEndOfFileInfo, &end, sizeof end)) return LastErrno();
  return 0;
}

int CloseChecked(Handle& h) {
  if (!h.valid()) return 0;
  return ::CloseHandle(h.Release()) ? 0 : LastErrno();
}

int64_t UnixNs(const FILETIME& ft) {
  // File times count 100 ns steps from 1601.
  constexpr int64_t kFrom1601 = 116444736000000000LL;
  int64_t ticks = (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return (ticks - kFrom1601) * 100;
}

FILETIME FileTimeOf(int64_t unix_ns) {
  constexpr int64_t kFrom1601 = 116444736000000000LL;
  uint64_t ticks = static_cast<uint64_t>(unix_ns / 100 + kFrom1601);
  FILETIME ft;
  ft.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFFu);
  ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return ft;
}

// "/" is a separator to the system as "\\" is.
std::string FolderOf(const std::string& path) { return FolderPart(path, "\\/", "."); }

std::string NameOf(const std::string& path) { return LastComponent(path, "\\/"); }

Handle OpenNative(const std::string& path, OpenMode mode, BY_HANDLE_FILE_INFORMATION* info) {
  DWORD access = GENERIC_READ;
  DWORD disposition = OPEN_EXISTING;
  if (mode == OpenMode::kAppend) {
    access = FILE_APPEND_DATA | GENERIC_READ;
    disposition = OPEN_ALWAYS;
  } else if (mode == OpenMode::kReadWrite) {
    access = GENERIC_READ | GENERIC_WRITE;
  }
  // Folders open only with backup semantics, so this refuses them; the
  // check below says why.
  Handle h(::CreateFileA(path.c_str(), access, kShareAll, nullptr, disposition,
                         FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!h.valid()) {
    int error = LastErrno();
    DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
      error = EISDIR;
    }
    errno = error;
    return h;
  }
  if (::GetFileType(h.get()) != FILE_TYPE_DISK) {
    h.Reset();
    errno = EINVAL;
    return h;
  }
  if (info && !::GetFileInformationByHandle(h.get(), info)) {
    errno = LastErrno();
    return Handle();
  }
  return h;
}

std::unique_ptr<File> NewFile(Handle h, Opened opened) {
  return std::make_unique<SystemFile>(NativeFilePtr(new NativeFile{std::move(h)}), std::move(opened));
}

}  // namespace carob::platform::win

namespace carob::platform {

using win::Handle;

void NativeFileDeleter::operator()(NativeFile* file) const { delete file; }

bool IsOpen(const NativeFile& file) { return file.h.valid(); }

int ReadChunkAt(NativeFile& file, int64_t offset, char* into, size_t n, size_t& got) {
  OVERLAPPED o = win::At(offset);
  DWORD read = 0;
  if (!::ReadFile(file.h.get(), into, static_cast<DWORD>(std::min<size_t>(n, 1u << 30)), &read, &o)) {
    // A read at an offset at or past the end says so through its error.
    const DWORD code = ::GetLastError();
    return code == ERROR_HANDLE_EOF ? 0 : win::ErrnoOf(code);
  }
  got = read;
  return 0;
}

int LengthOf(NativeFile& file, int64_t& length) {
  LARGE_INTEGER now{};
  if (!::GetFileSizeEx(file.h.get(), &now)) return win::LastErrno();
  length = static_cast<int64_t>(now.QuadPart);
  return 0;
}

// A handle opened for appending data only writes at the end.
int AppendAll(NativeFile& file, std::string_view bytes) {
  return win::WriteFully(file.h.get(), bytes) ? 0 : errno;
}

int WriteAllAt(NativeFile& file, int64_t offset, std::string_view bytes) {
  return win::WriteFullyAt(file.h.get(), bytes, offset);
}

int SetLengthOf(NativeFile& file, int64_t length) { return win::SetLength(file.h.get(), length); }

// The system has no sync for a folder: a name this open made is as durable
// as the file system makes it by itself, and the file's flush is all there
// is to do.
int FinishClose(NativeFile& file, const Closing& closing) {
  int error = 0;
  const Opened& o = closing.opened;
  if (closing.wrote && !(o.syncs && o.syncs->DeferFile(o.native))) error = win::FlushChecked(file.h.get());
  // A failed flush (a write the disk or the server refused only now) takes
  // our appends back while the handle can still do it, when the file holds
  // nothing after them (nobody else appended meanwhile).
  LARGE_INTEGER now{};
  if (error != 0 && closing.appended > 0 && closing.appended_from >= 0 &&
      ::GetFileSizeEx(file.h.get(), &now) && now.QuadPart == closing.appended_from + closing.appended) {
    (void)win::SetLength(file.h.get(), closing.appended_from);  // the close's error is told
  }
  const int closed = win::CloseChecked(file.h);
  if (error == 0 && closing.wrote) error = closed;
  return error;
}

}  // namespace carob::platform
