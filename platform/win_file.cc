#include "platform/win_file.h"
#include "platform/serials.h"

#include <algorithm>
#include <cerrno>

namespace carob::platform::win {

namespace {


constexpr DWORD kChunk = 64 * 1024;

OVERLAPPED At(int64_t offset) {
  OVERLAPPED o{};
  o.Offset = static_cast<DWORD>(static_cast<uint64_t>(offset) & 0xFFFFFFFFu);
  o.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
  return o;
}

}  // namespace

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

bool ReadFully(HANDLE h, std::string& bytes) {
  LARGE_INTEGER size{};
  size_t want = ::GetFileSizeEx(h, &size) && size.QuadPart > 0
                    ? static_cast<size_t>(size.QuadPart) + 1
                    : kChunk;
  size_t have = bytes.size();
  for (;;) {
    bytes.resize(have + want);
    DWORD n = 0;
    if (!::ReadFile(h, bytes.data() + have, static_cast<DWORD>(std::min<size_t>(want, 1u << 30)), &n,
                    nullptr)) {
      bytes.resize(have);
      errno = LastErrno();
      return false;
    }
    have += n;
    if (n == 0) {
      bytes.resize(have);
      return true;
    }
    want = kChunk;
  }
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

std::string FolderOf(const std::string& path) {
  size_t sep = path.find_last_of("\\/");
  if (sep == std::string::npos) return ".";
  // "C:\" keeps its separator: it is the drive's root.
  if (sep == 2 && path.size() > 1 && path[1] == ':') return path.substr(0, 3);
  return path.substr(0, sep);
}

std::string NameOf(const std::string& path) {
  size_t sep = path.find_last_of("\\/");
  return sep == std::string::npos ? path : path.substr(sep + 1);
}

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

WinFile::WinFile(Handle h, OpenMode mode, std::string path)
    : h_(std::move(h)), mode_(mode), path_(std::move(path)) {
  serial_ = TakeSerial();
}

WinFile::~WinFile() {
  h_.Reset();
  ReturnSerial(serial_);
}

size_t WinFile::ReadChunk(int64_t offset, char* into, size_t n) {
  OVERLAPPED o = At(offset);
  DWORD got = 0;
  if (!::ReadFile(h_.get(), into, static_cast<DWORD>(n), &got, &o)) return 0;
  return got;
}

Status WinFile::Write(std::string_view bytes) {
  if (mode_ == OpenMode::kRead) return WriteFailed(EBADF);
  if (mode_ == OpenMode::kAppend) {
    // A handle opened for appending data only writes at the end.
    if (!WriteFully(h_.get(), bytes)) return WriteFailed(errno);
    MoreMayFollow();
    return Status::Ok();
  }
  const int64_t at = Tell();
  if (int error = WriteFullyAt(h_.get(), bytes, at)) return WriteFailed(error);
  ContinueAt(at + static_cast<int64_t>(bytes.size()));
  return Status::Ok();
}

bool WinFile::ReadAt(int64_t offset, char& byte) {
  if (offset < 0) return false;
  OVERLAPPED o = At(offset);
  DWORD n = 0;
  return ::ReadFile(h_.get(), &byte, 1, &n, &o) && n == 1;
}

Status WinFile::WriteRangeAt(int64_t offset, std::string_view bytes) {
  if (mode_ != OpenMode::kReadWrite) return WriteFailed(EBADF);
  if (offset < 0) return WriteFailed(EINVAL);
  if (int error = WriteFullyAt(h_.get(), bytes, offset)) return WriteFailed(error);
  Overwrote(offset, bytes);
  return Status::Ok();
}

Status WinFile::WriteAt(int64_t offset, char byte) {
  return WriteRangeAt(offset, std::string_view(&byte, 1));
}

Status WinFile::Truncate(int64_t length) {
  if (mode_ == OpenMode::kRead) return WriteFailed(EBADF);
  if (length < 0) return WriteFailed(EINVAL);
  FILE_END_OF_FILE_INFO end{};
  end.EndOfFile.QuadPart = length;
  if (!::SetFileInformationByHandle(h_.get(), FileEndOfFileInfo, &end, sizeof end)) {
    return WriteFailed(LastErrno());
  }
  CutTo(length);
  return Status::Ok();
}

int64_t WinFile::Size() {
  LARGE_INTEGER size{};
  if (!::GetFileSizeEx(h_.get(), &size)) return -1;
  return static_cast<int64_t>(size.QuadPart);
}

}  // namespace carob::platform::win
