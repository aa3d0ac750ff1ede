// Internal to the Windows platform: handles, open files, the process-wide
// table of file serials, the swap-file locks and process start over native
// paths. Windows paths are native: "C:\FileLoc" is C:\FileLoc, and the
// system itself matches names without regard to letter case. Names are
// bytes in the system's ANSI code page, so every call is an "A" call.
#pragma once

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/env.h"
#include "platform/system_file.h"
#include "platform/unique_native.h"

namespace carob::platform::win {

// A handle: the system's calls answer none as INVALID_HANDLE_VALUE or as
// a null handle, both taken for INVALID_HANDLE_VALUE.
struct HandleTraits {
  using Raw = HANDLE;
  static HANDLE Invalid() { return INVALID_HANDLE_VALUE; }
  static bool Valid(HANDLE h) { return h != INVALID_HANDLE_VALUE; }
  static HANDLE Adopt(HANDLE h) { return h == nullptr ? INVALID_HANDLE_VALUE : h; }
  static void Close(HANDLE h) { ::CloseHandle(h); }
};
// Owns a handle; closes it on destruction.
using Handle = UniqueNative<HandleTraits>;

// The errno that stands for a system error code (GetLastError), so that
// failures read the same on every platform ("file exists", "permission
// denied"). Codes without a counterpart become EIO.
int ErrnoOf(DWORD code);
// ErrnoOf(GetLastError()).
int LastErrno();

// Ordinary files are opened sharing reading, writing and deletion with
// everyone, as POSIX files are: a reader never stops a writer or a rename.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// kQueueLockByte as the system's two halves.
constexpr DWORD kLockOffsetHigh = static_cast<DWORD>(kQueueLockByte >> 32);
constexpr DWORD kLockOffsetLow = static_cast<DWORD>(kQueueLockByte & 0xFFFFFFFF);

// The place of a read or write at an offset.
OVERLAPPED At(int64_t offset);

// Takes the queue lock on an open handle, waiting for it; false with errno.
bool LockRange(HANDLE h);

bool WriteFully(HANDLE h, std::string_view bytes);
// Writes at an offset; 0 or the errno.
int WriteFullyAt(HANDLE h, std::string_view bytes, int64_t offset);
// Reads the rest of the handle into `bytes`, to the end of the file;
// `length` is the file's length when it was opened. A read that meets the
// end before that length is asked once more, and when the file is still
// longer it fails ("the file ended at byte 300 of 1000"): a short file is
// never taken for the whole. `what` names the read ("cannot read C:\x").
Status ReadFully(HANDLE h, std::string& bytes, int64_t length, const std::string& what);
// Makes a handle's written bytes durable (FlushFileBuffers): 0 or the errno.
// The handle needs write access.
int FlushChecked(HANDLE h);
// Sets the file's length. A handle that may only append cannot change it,
// so the file is opened again through it for writing to do so. 0 or the
// errno.
int SetLength(HANDLE h, int64_t length);
// Closes the handle and tells the close's failure: 0 or the errno. The
// handle is gone either way.
int CloseChecked(Handle& h);

// An open file over the handle (see SystemFile).
std::unique_ptr<File> NewFile(Handle h, Opened opened);

// Opens an ordinary file in the mode (kAppend creates it, its folder must
// exist). Refuses folders (EISDIR) and devices (EINVAL). An invalid Handle
// and errno on failure; `info` receives the file's information.
Handle OpenNative(const std::string& path, OpenMode mode,
                  BY_HANDLE_FILE_INFORMATION* info = nullptr);

// Nanoseconds since 1970 of a file time.
int64_t UnixNs(const FILETIME& ft);
FILETIME FileTimeOf(int64_t unix_ns);
// The folder part ("." for a bare name) and the last component of a path.
std::string FolderOf(const std::string& path);
std::string NameOf(const std::string& path);

// Swap-file locks (see windows/lock.cc).
Status TryLockNative(const std::string& path, std::unique_ptr<LockFile>* lock);
LockState ProbeLockNative(const std::string& path);
int BreakLockNative(const std::string& path);
Status AdoptLockNative(const std::string& path, std::unique_ptr<LockFile>* hold);
// A held replacement: `h` holds the queue lock on the file now at `path`.
std::unique_ptr<LockFile> HeldFile(Handle h, std::string path);

// Starts the executable without waiting, shown in the window style (the
// classic numbers: 0 hidden, 1 normal, 2 minimized, 3 maximized, 4 normal
// and 6 minimized without taking the focus). 0 or the errno.
int StartDetached(const std::string& exe, int window_style);
// The name of the event whose setting asks process `pid` to close, as a
// close signal does on POSIX: a SignalPipe makes it for its process.
std::string CloseEventName(unsigned long pid);
// This process's command line as the system holds it.
std::string CommandLineOfSelf();
// How this process was started (see Env::StartedHow): its parent process.
std::string StartedHowSelf();
// Sets the close event of a process: 0 or the errno (ESRCH when it has none).
int StopProcessNative(int pid);
// Whether process `pid` of this computer lives (see Env::ProcessAlive).
bool ProcessAliveNative(int pid);

}  // namespace carob::platform::win

namespace carob::platform {

// What SystemFile holds on Windows: the handle.
struct NativeFile {
  win::Handle h;
};

}  // namespace carob::platform
