// The Windows implementation of Env. Paths are native and stay as they are:
// "C:\FileLoc" is the file C:\FileLoc, and the system matches names without
// regard to letter case, so there is no mapping and no search of our own.
//
// The portable half (env_base.h, system_file.h, windows_path.h) is shared
// with POSIX; this system keeps only its primitives:
//
//   windows/env.cc      this file: WinEnv, the Env calls, ReplaceContents'
//                       steps (flush, move into place or aside)
//   windows/file.h/.cc  handles, open files, file serials, error numbers
//   windows/lock.cc     swap-file locks, queue locks, the held replacement
//   windows/process.cc  starting programs with a window style
//   windows/signals.cc  console control events, waits a stop cuts short
//   windows/clock.cc    the system clock
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/env.h"
#include "platform/env_base.h"
#include "platform/sync_points.h"
#include "platform/text.h"
#include "platform/windows/file.h"

namespace carob::platform {

namespace {

using win::FolderOf;
using win::Handle;
using win::LastErrno;
using win::NameOf;

// "/" written for "\" is the same separator to the system; ours are "\".
std::string Backslashed(std::string_view path) {
  std::string out(path);
  std::replace(out.begin(), out.end(), '/', '\\');
  return out;
}

std::string ModulePath() {
  std::vector<char> buf(MAX_PATH);
  for (;;) {
    DWORD n = ::GetModuleFileNameA(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) return "";
    if (n < buf.size()) return std::string(buf.data(), n);
    buf.resize(buf.size() * 2);
  }
}

// Makes a folder and the folders above it; quiet when they exist.
void MakeFolders(const std::string& folder) {
  if (folder.size() <= 3) return;  // a drive root
  std::string parent = FolderOf(folder);
  if (parent != folder && parent != ".") MakeFolders(parent);
  ::CreateDirectoryA(folder.c_str(), nullptr);
}

bool ProcessIsAlive(DWORD pid) {
  HANDLE h = ::OpenProcess(SYNCHRONIZE, FALSE, pid);
  if (h == nullptr) return ::GetLastError() == ERROR_ACCESS_DENIED;
  bool alive = ::WaitForSingleObject(h, 0) == WAIT_TIMEOUT;
  ::CloseHandle(h);
  return alive;
}

// MoveFileEx's flag that writes a move through to the disk, unless syncs
// are grouped.
DWORD WriteThrough(bool grouped) { return grouped ? 0 : MOVEFILE_WRITE_THROUGH; }

// The steps of a replacement on Windows (see ReplaceThrough): the new file is
// made with deletion shared, flushed, and moved over the old one, or the
// old one moved aside first while it is open.
class WinReplacement : public Replacement {
 public:
  // `held`: the new file is under the queue lock first, stays open and its
  // handle comes back there.
  WinReplacement(const std::string& target, Handle* held, SyncPoints& syncs)
      : Replacement(target, FolderOf(target), syncs), held_(held) {}

  int CheckTarget() override {
    DWORD attributes = ::GetFileAttributesA(target().c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) return EISDIR;
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      DWORD parent = ::GetFileAttributesA(folder().c_str());
      if (parent == INVALID_FILE_ATTRIBUTES || !(parent & FILE_ATTRIBUTE_DIRECTORY)) return ENOENT;
    }
    return 0;
  }

  int Create(const std::string& temp) override {
    // Deletion is shared so that the rename can move it while it is open;
    // without delete access of its own, readers that do not share deletion
    // can open it while it is held.
    h_ = Handle(::CreateFileA(temp.c_str(), GENERIC_READ | GENERIC_WRITE, win::kShareAll, nullptr,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    return h_.valid() ? 0 : LastErrno();
  }

  int Fill(std::string_view bytes) override {
    if (!win::WriteFully(h_.get(), bytes)) return errno;
    if (held_ && !win::LockRange(h_.get())) return errno;
    return 0;
  }

  int Sync() override { return win::FlushChecked(h_.get()); }
  int Close() override { return win::CloseChecked(h_); }

  int MoveIntoPlace(const std::string& temp) override {
    grouped_ = syncs().grouped();
    return MoveNewFileIn(temp, held_ != nullptr);
  }

  void Discard(const std::string& temp) override {
    h_.Reset();
    ::DeleteFileA(temp.c_str());
  }

  void Settle() override {
    if (grouped_) syncs().DeferFile(target());
    if (held_) *held_ = std::move(h_);
  }

  std::vector<std::string> ListFolder() override {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found{};
    HANDLE search = ::FindFirstFileA((folder() + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
      names.emplace_back(found.cFileName);
    } while (::FindNextFileA(search, &found));
    ::FindClose(search);
    return names;
  }

  std::optional<int64_t> MarkTime(const std::string& native) override {
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExA(native.c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
    return win::UnixNs(data.ftLastWriteTime);
  }

  void Mark(const std::string& native) override {
    Handle h(::CreateFileA(native.c_str(), FILE_WRITE_ATTRIBUTES, win::kShareAll, nullptr,
                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h.valid()) return;  // a mark not made only brings the next sweep sooner
    FILETIME now{};
    ::GetSystemTimeAsFileTime(&now);
    (void)::SetFileTime(h.get(), nullptr, nullptr, &now);  // as for a mark not made
  }

  bool ProcessLives(long pid) override { return ProcessIsAlive(static_cast<DWORD>(pid)); }

  void Remove(const std::string& native) override { ::DeleteFileA(native.c_str()); }

 private:
  // Gives the new file the target's name. The system refuses to replace a
  // file that is open, even one opened sharing deletion, and to move a file
  // that a reader opened without sharing deletion (as most programs open
  // files); readers hold a file for moments, so both are tried again for a
  // while. The taker of a queue always has the old file open itself: a
  // held replacement moves the old file aside first (to a name of our own,
  // deleted at once: it goes when its last reader closes it) and then moves
  // the new file in; so does a replacement that could not replace the file
  // in one step within that while. A reader that looks between those two
  // steps finds no file. The moves that give the name its new file are
  // written through to the disk (grouped: see Rename). 0 or the errno.
  int MoveNewFileIn(const std::string& temp, bool target_open) {
    const DWORD through = WriteThrough(grouped_);
    auto busy = [](DWORD code) { return code == ERROR_ACCESS_DENIED || code == ERROR_SHARING_VIOLATION; };
    // About two seconds in all, in steps that grow from 1 to 20 ms.
    auto again = [](int attempt) {
      if (attempt >= 150) return false;
      ::Sleep(static_cast<DWORD>(std::min(1 + attempt / 5, 20)));
      return true;
    };
    if (!target_open) {
      for (int attempt = 0;; ++attempt) {
        if (::MoveFileExA(temp.c_str(), target().c_str(), MOVEFILE_REPLACE_EXISTING | through)) return 0;
        DWORD code = ::GetLastError();
        if (!busy(code)) return win::ErrnoOf(code);
        if (!again(attempt)) break;
      }
    }
    // The old file aside is ours while we move: no sweep takes it.
    const InFlightMark aside(ReplacementPath(folder(), '\\', NameOf(target()),
                                             static_cast<long>(::GetCurrentProcessId()), ".old"));
    bool moved_aside = false;
    for (int attempt = 0;; ++attempt) {
      if (::MoveFileExA(target().c_str(), aside.native().c_str(), 0)) {
        moved_aside = true;
        break;
      }
      DWORD code = ::GetLastError();
      if (code == ERROR_FILE_NOT_FOUND) break;
      if (!busy(code) || !again(attempt)) return win::ErrnoOf(code);
    }
    if (!::MoveFileExA(temp.c_str(), target().c_str(), through)) {
      int error = LastErrno();
      // Put the old file back, so that the target is never left without one.
      if (moved_aside) ::MoveFileExA(aside.native().c_str(), target().c_str(), through);
      return error;
    }
    if (moved_aside) ::DeleteFileA(aside.native().c_str());
    return 0;
  }

  Handle* held_;
  Handle h_;
  bool grouped_ = false;
};

// The programs write their lines as they mean them: "\n" where a line ends
// and CR LF where a queue entry's text holds it, on Windows as on POSIX. The
// C runtime's text mode would add a CR before every LF of standard output
// and error; the programs' streams are binary from the start instead.
struct BinaryStandardStreams {
  BinaryStandardStreams() {
    ::_setmode(::_fileno(stdout), _O_BINARY);
    ::_setmode(::_fileno(stderr), _O_BINARY);
  }
} binary_standard_streams;

class WinEnv : public EnvBase {
 public:
  explicit WinEnv(const EnvOptions& options)
      : EnvBase(options, options.program_path.empty() ? ModulePath() : Backslashed(options.program_path)) {
    set_assigned_folder(AssignedFolder(program_path(), [](const std::string& folder) {
      std::string named = Backslashed(folder);
      MakeFolders(named);
      return named;
    }));
  }

  std::string ToNative(std::string_view windows_path) const override {
    return Backslashed(windows_path);
  }
  std::string ToWindows(std::string_view native_path) const override {
    return Backslashed(native_path);
  }

  std::string GetPathVariable(const std::string& name) const override {
    return GetVariable(name);
  }

  std::string HostName() const override {
    char buf[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof buf;
    return ::GetComputerNameA(buf, &size) ? std::string(buf, size) : std::string();
  }

  std::optional<FileInfo> FindFile(const std::string& path) override {
    if (path.empty() || path.find_first_of("*?") != std::string::npos) return std::nullopt;
    Handle h(::CreateFileA(path.c_str(), FILE_READ_ATTRIBUTES, win::kShareAll, nullptr,
                           OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION bh{};
    if (!h.valid() || !::GetFileInformationByHandle(h.get(), &bh)) return std::nullopt;
    if ((bh.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) || ::GetFileType(h.get()) != FILE_TYPE_DISK) {
      return std::nullopt;
    }
    FileInfo info;
    info.path = Backslashed(path);
    info.stored_name = NameOf(info.path);
    // The name as stored, which may differ from ours in letter case.
    WIN32_FIND_DATAA found{};
    HANDLE search = ::FindFirstFileA(path.c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
      ::FindClose(search);
      info.stored_name = found.cFileName;
      info.path = FolderOf(info.path) == "." && info.path.find('\\') == std::string::npos
                      ? info.stored_name
                      : info.path.substr(0, info.path.size() - NameOf(info.path).size()) + info.stored_name;
    }
    info.size = (static_cast<int64_t>(bh.nFileSizeHigh) << 32) | bh.nFileSizeLow;
    info.mtime_ns = win::UnixNs(bh.ftLastWriteTime);
    info.device = bh.dwVolumeSerialNumber;
    info.inode = (static_cast<uint64_t>(bh.nFileIndexHigh) << 32) | bh.nFileIndexLow;
    return info;
  }

  Status LookUp(const std::string& path, std::optional<FileInfo>& info) override {
    info = FindFile(path);
    if (info || path.empty()) return Status::Ok();
    // Not found: certain only when the system says the name or its folder
    // is not there (or something else than a file stands at it).
    if (::GetFileAttributesA(Backslashed(path).c_str()) == INVALID_FILE_ATTRIBUTES) {
      const DWORD code = ::GetLastError();
      if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND &&
          code != ERROR_INVALID_NAME && code != ERROR_BAD_NETPATH) {
        return Status::FromErrno("cannot look up " + path, win::ErrnoOf(code));
      }
    }
    return Status::Ok();
  }

  bool FileStamp(const std::string& path, FileInfo* stamp) override {
    std::optional<FileInfo> info = FindFile(path);
    if (info) *stamp = std::move(*info);
    return info.has_value();
  }

  bool FolderExists(const std::string& path) override {
    if (path.empty()) return false;
    DWORD attributes = ::GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
  }

  Status MakeFolder(const std::string& path) override {
    if (FolderExists(path)) return Status::Ok();
    MakeFolders(Backslashed(path));
    return FolderExists(path) ? Status::Ok() : Status::FromErrno("cannot make folder " + path, EACCES);
  }

  Status Open(const std::string& path, OpenMode mode, std::unique_ptr<File>* file) override {
    file->reset();
    const std::string native = Backslashed(path);
    BY_HANDLE_FILE_INFORMATION info{};
    Handle h = win::OpenNative(native, mode, &info);
    int error = h.valid() ? 0 : errno;
    if (error == 0) *file = NewFile(std::move(h), mode, path, native, SizeOf(info));
    return Checked(OpenWhat(path, mode), error);
  }

  Status OpenLocked(const std::string& path, OpenMode mode, std::unique_ptr<File>* file) override {
    file->reset();
    const std::string native = Backslashed(path);
    for (int attempt = 0; attempt < 10000; ++attempt) {
      BY_HANDLE_FILE_INFORMATION held{};
      Handle h = win::OpenNative(native, mode, &held);
      if (!h.valid()) return Status::FromErrno(OpenWhat(path, mode), errno);
      if (!win::LockRange(h.get())) return Status::FromErrno("cannot lock " + path, errno);
      // A file replaced while we waited is not the one the path names.
      auto named = FindFile(native);
      if (named && named->inode == ((static_cast<uint64_t>(held.nFileIndexHigh) << 32) | held.nFileIndexLow) &&
          named->device == held.dwVolumeSerialNumber) {
        // Its length is the one it has now that nobody else writes it.
        LARGE_INTEGER length{};
        if (!::GetFileSizeEx(h.get(), &length)) return Status::FromErrno(OpenWhat(path, mode), LastErrno());
        *file = NewFile(std::move(h), mode, path, native, static_cast<int64_t>(length.QuadPart));
        return Status::Ok();
      }
    }
    return Status::Failure("cannot lock " + path, "the file keeps being replaced");
  }

  Status ReadAll(const std::string& path, std::string& bytes) override {
    bytes.clear();
    BY_HANDLE_FILE_INFORMATION info{};
    Handle h = win::OpenNative(Backslashed(path), OpenMode::kRead, &info);
    if (!h.valid()) return Status::FromErrno("cannot read " + path, errno);
    return win::ReadFully(h.get(), bytes, SizeOf(info), "cannot read " + path);
  }

  Status ReadAllStamped(const std::string& path, std::string& bytes, FileInfo* stamp) override {
    *stamp = FileInfo{};
    stamp->path = path;
    stamp->size = -1;
    std::optional<FileInfo> before = FindFile(path);
    Status s = ReadAll(path, bytes);
    std::optional<FileInfo> after = FindFile(path);
    // What was read is described by the stamp only when the file stood
    // still meanwhile: same time, same length, and all of it read.
    if (s && before && after && before->mtime_ns == after->mtime_ns &&
        before->size == after->size && static_cast<int64_t>(bytes.size()) == before->size) {
      *stamp = std::move(*before);
    }
    return s;
  }

  // Each line is appended with the file opened and closed around it: the
  // system refuses to delete or rename a file that is held open, and another
  // program of the family may rotate the log at any time.
  std::unique_ptr<Appender> NewAppender(const std::string& path) override {
    struct OpenEachTime : Appender {
      OpenEachTime(Env& env, std::string path) : env(env), path(std::move(path)) {}
      Status Append(std::string_view bytes) override { return env.AppendBytes(path, bytes); }
      Env& env;
      std::string path;
    };
    return std::make_unique<OpenEachTime>(*this, path);
  }

  Status AppendBytes(const std::string& path, std::string_view bytes) override {
    Handle h = win::OpenNative(Backslashed(path), OpenMode::kAppend);
    int error = h.valid() ? 0 : errno;
    if (error == 0 && !win::WriteFully(h.get(), bytes)) error = errno;
    if (const int closed = win::CloseChecked(h); error == 0) error = closed;
    return Checked("cannot append to " + path, error);
  }

  // The move is written through to the disk before the call returns. The
  // system has no sync for a folder; grouped, the move goes without write-
  // through and the file is flushed under its new name at SyncGrouped, which
  // commits the move with it on a file system that journals its names.
  Status Rename(const std::string& from, const std::string& to) override {
    int error = 0;
    const std::string target = Backslashed(to);
    const bool grouped = syncs()->grouped();
    // Without MOVEFILE_REPLACE_EXISTING an existing target is refused.
    if (!::MoveFileExA(Backslashed(from).c_str(), target.c_str(), WriteThrough(grouped))) {
      error = LastErrno();
    } else if (grouped) {
      syncs()->DeferFile(target);
    }
    return Checked("cannot rename " + from + " to " + to, error);
  }

  Status Delete(const std::string& path) override {
    const std::string native = Backslashed(path);
    int error = 0;
    DWORD attributes = ::GetFileAttributesA(native.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
      error = LastErrno();
    } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      error = EISDIR;
    } else if (!::DeleteFileA(native.c_str())) {
      error = LastErrno();
    }
    return Checked("cannot delete " + path, error);
  }

  Status ReplaceContents(const std::string& path, std::string_view bytes) override {
    return Checked("cannot replace " + path, Replace(Backslashed(path), bytes, nullptr));
  }

  Status ReplaceContentsHeld(const std::string& path, std::string_view bytes,
                             std::unique_ptr<LockFile>* held) override {
    held->reset();
    Handle h;
    const std::string native = Backslashed(path);
    int error = Replace(native, bytes, &h);
    if (error == 0) *held = win::HeldFile(std::move(h), path);
    return Checked("cannot replace " + path, error);
  }

  // Builds the new file beside the old one and moves it into place (see
  // ReplaceThrough); with `held` it is under the queue lock first, stays open
  // and its handle comes back there. 0 or the errno; on failure the new
  // file is gone.
  int Replace(const std::string& target, std::string_view bytes, Handle* held) {
    WinReplacement steps(target, held, *syncs());
    return ReplaceThrough(steps, '\\', NameOf(target), static_cast<long>(::GetCurrentProcessId()),
                          held != nullptr, bytes);
  }

  Status MarkModified(const std::string& path) override {
    const std::string native = Backslashed(path);
    DWORD attributes = ::GetFileAttributesA(native.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return MarkedModified(path, LastErrno());
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) return MarkedModified(path, NotAFile(EntryKind::kFolder));
    Handle h(::CreateFileA(native.c_str(), FILE_WRITE_ATTRIBUTES | FILE_READ_ATTRIBUTES, win::kShareAll,
                           nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h.valid()) return MarkedModified(path, LastErrno());
    FILETIME before{}, now{};
    if (!::GetFileTime(h.get(), nullptr, nullptr, &before)) return MarkedModified(path, LastErrno());
    ::GetSystemTimeAsFileTime(&now);
    // File times count in steps of 100 ns: the first step is one of them.
    const HANDLE file = h.get();
    auto set = [file](int64_t ns) {
      const FILETIME wanted = win::FileTimeOf(ns);
      return ::SetFileTime(file, nullptr, nullptr, &wanted) ? 0 : LastErrno();
    };
    auto stored = [file](int64_t& ns) {
      FILETIME after{};
      if (!::GetFileTime(file, nullptr, nullptr, &after)) return LastErrno();
      ns = win::UnixNs(after);
      return 0;
    };
    return MarkedModified(path, StepTimePast(win::UnixNs(before), win::UnixNs(now), 100, 10, set, stored));
  }

  // Each file closed, replaced or renamed since the last sync point is
  // opened for writing and flushed; a file gone meanwhile (replaced,
  // deleted) has nothing left to sync. A reader that does not share
  // writing refuses the open while it reads, for moments: it is tried again
  // for about a second. Folders are never pending here: the system has no
  // sync for them.
  Status SyncGrouped() override {
    auto sync_file = [](const std::string& native) {
      Handle h;
      DWORD code = ERROR_SUCCESS;
      for (int attempt = 0;; ++attempt) {
        h = Handle(::CreateFileA(native.c_str(), GENERIC_WRITE, win::kShareAll, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        if (h.valid()) break;
        code = ::GetLastError();
        if (code != ERROR_SHARING_VIOLATION || attempt >= 100) break;
        ::Sleep(static_cast<DWORD>(std::min(1 + attempt / 5, 20)));
      }
      return h.valid() ? win::FlushChecked(h.get()) : win::ErrnoOf(code);
    };
    // No folder is ever pending: the system has no sync for folders.
    auto no_folder = [](const std::string&) { return 0; };
    return syncs()->SyncPending(sync_file, no_folder, [](const std::string& native) { return native; });
  }

  Status TryLock(const std::string& path, std::unique_ptr<LockFile>* lock) override {
    const std::string native = Backslashed(path);
    // Something that is no swap file of ours stands at the name: it is
    // never waited for, broken or followed.
    const DWORD attributes = ::GetFileAttributesA(native.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
      lock->reset();
      if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        return Status::Failure("cannot create lock " + path, StandsAtItsName(EntryKind::kLink));
      }
      if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        return Status::Failure("cannot create lock " + path, StandsAtItsName(EntryKind::kFolder));
      }
    }
    return win::TryLockNative(native, lock).As("cannot create lock " + path);
  }

  // The system refuses to delete an open file wherever the folder lies (a
  // server's share included), so a holder is seen from every computer.
  bool LocksSeenEverywhere(const std::string&) override { return true; }

  LockState ProbeLock(const std::string& path) override {
    return win::ProbeLockNative(Backslashed(path));
  }

  Status BreakLock(const std::string& path) override {
    return Checked("cannot break lock " + path, win::BreakLockNative(Backslashed(path)));
  }

  Status AdoptLock(const std::string& path, std::unique_ptr<LockFile>* hold) override {
    return win::AdoptLockNative(Backslashed(path), hold).As("cannot hold lock " + path);
  }

  // Here a share's server sees every holder's open file: an ended maker
  // changes nothing.
  Status AdoptEndedMakersLock(const std::string& path, std::unique_ptr<LockFile>* hold) override {
    return AdoptLock(path, hold);
  }

  Status StartProgram(const std::string& path, int window_style) override {
    std::string exe = Backslashed(path);
    DWORD attributes = ::GetFileAttributesA(exe.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES && !EndsWithNoCase(exe, ".EXE")) exe += ".exe";
    return Checked("cannot start " + path, win::StartDetached(exe, window_style));
  }

  int ProcessId() const override { return static_cast<int>(::GetCurrentProcessId()); }
  bool ProcessAlive(int pid) override { return win::ProcessAliveNative(pid); }
  std::string CommandLine() const override { return win::CommandLineOfSelf(); }
  std::string StartedHow() const override { return win::StartedHowSelf(); }
  Status StopProcess(int pid) override {
    return Checked("cannot stop process " + std::to_string(pid), win::StopProcessNative(pid));
  }

 private:
  static int64_t SizeOf(const BY_HANDLE_FILE_INFORMATION& info) {
    return (static_cast<int64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  }

  std::unique_ptr<File> NewFile(Handle h, OpenMode mode, const std::string& path,
                                const std::string& native, int64_t length) {
    return win::NewFile(std::move(h), Opened{mode, path, native, length, syncs()});
  }

  std::string ExecutableFolder() const override { return FolderOf(program_path()); }
  std::string ExecutableName() const override { return NameOf(program_path()); }
};

}  // namespace

std::unique_ptr<Env> NewSystemEnv(EnvOptions options) {
  return std::make_unique<WinEnv>(std::move(options));
}

}  // namespace carob::platform
