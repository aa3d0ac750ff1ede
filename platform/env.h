// The platform seam: every operating-system service the rest of CAROB uses
// goes through Env. Everything above platform/ is portable C++ and speaks
// only Windows-style paths ("C:\FileLoc", "Z:\tmp\x"); Env maps them onto
// the native file system.
//
// Path mapping (a contract other programs of the family rely on):
//   "L:\a\b" (drive letter L, either case) is $ORB_ROOT/l/a/b;
//   drive Z is the native root: "Z:\usr\bin" is /usr/bin.
//   ORB_ROOT defaults to ${XDG_DATA_HOME:-$HOME/.local/share}/orb.
//   A native absolute path under $ORB_ROOT/<letter>/ is written "L:\...",
//   any other as "Z:" + the path with "/" turned into "\".
//
// Name lookup: the exact name first; when it does not exist, a case-blind
// match in the same folder counts, and the name it is stored under is the
// name found. This holds for every component of the path.
//
// Errors never throw: calls report failure through their results.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace carob::platform {

// A reading of the local wall clock.
struct WallTime {
  int year = 1970, month = 1, day = 1;
  int hour = 0, minute = 0, second = 0;
  // Seconds since local midnight with the sub-second fraction.
  double seconds_since_midnight = 0;
};

// The clock, injectable so that tests control time.
class Clock {
 public:
  virtual ~Clock() = default;
  virtual WallTime Now() = 0;
  // Waits about `seconds`. A manual clock advances itself instead.
  virtual void Sleep(double seconds) = 0;
};

// The real clock of the machine.
class SystemClock : public Clock {
 public:
  WallTime Now() override;
  void Sleep(double seconds) override;
};

// A clock that stands still until told to move. Sleep advances it, so code
// that waits on the clock finishes at once in tests.
class ManualClock : public Clock {
 public:
  explicit ManualClock(WallTime start);
  WallTime Now() override;
  void Sleep(double seconds) override { Advance(seconds); }
  void Set(WallTime t);
  // Moves the clock on; the date and hh:mm:ss follow (midnight rolls over).
  void Advance(double seconds);

 private:
  WallTime now_;
};

// The pseudo-random generator, seeded from the clock by its users.
class Random {
 public:
  virtual ~Random() = default;
  virtual void Seed(float seed) = 0;
  // A number in [0, 1).
  virtual float Next() = 0;
};

// The generator Env uses unless another is injected.
class LcgRandom : public Random {
 public:
  void Seed(float seed) override;
  float Next() override;

 private:
  uint32_t state_ = 0x50000u;
};

// Information on an existing ordinary file.
struct FileInfo {
  std::string path;         // Windows-style path as stored (case-blind hit resolved)
  std::string stored_name;  // last component as stored
  int64_t size = 0;
  int64_t mtime_ns = 0;     // full resolution
  uint64_t device = 0;
  uint64_t inode = 0;
};

// An open file. Closing happens in the destructor; while open it holds a
// file number ("serial"): the lowest number from 1 that no other open File of
// the process holds.
class File {
 public:
  virtual ~File() = default;
  int serial() const { return serial_; }
  // Reads the next line without its end. A line ends at LF; a CR right
  // before the LF is dropped with it. The last line needs no end. Returns
  // false at the end of the file or on a read error.
  virtual bool ReadLine(std::string& line) = 0;
  // Byte offset of the next read.
  virtual int64_t Tell() = 0;
  // Appends (append mode) or writes at the current offset.
  virtual bool Write(std::string_view bytes) = 0;
  virtual bool ReadAt(int64_t offset, char& byte) = 0;
  virtual bool WriteAt(int64_t offset, char byte) = 0;
  // Writes a run of bytes at an offset in one positioned write (random
  // access mode), so readers do not meet the run half written.
  virtual bool WriteRangeAt(int64_t offset, std::string_view bytes) = 0;
  virtual int64_t Size() = 0;

 protected:
  int serial_ = 0;
};

enum class OpenMode {
  kRead,       // existing file, read only
  kAppend,     // created when missing, every write goes to the end
  kReadWrite,  // existing file, random access
};

// A held write lock: a lock file created exclusively by this process and
// kept locked (at the OS level) for as long as this object lives. Dropping
// the object without Release() leaves the file but ends the hold, so a later
// writer sees a dead holder.
class LockFile {
 public:
  virtual ~LockFile() = default;
  // Writes bytes into the lock file (it starts empty).
  virtual bool Write(std::string_view bytes) = 0;
  // Deletes the lock file and ends the hold.
  virtual void Release() = 0;
};

enum class LockState {
  kAbsent,  // no lock file
  kHeld,    // a living process holds it
  kUnheld,  // the file exists but nobody holds it (its holder died, or a peer made it)
};

// Operating-system services. All paths are Windows-style.
class Env {
 public:
  virtual ~Env() = default;

  // -- clock and random numbers
  virtual Clock& clock() = 0;
  virtual Random& random() = 0;
  WallTime Now() { return clock().Now(); }
  // Seconds since midnight in single precision (the classic timer reading).
  float Timer() { return static_cast<float>(clock().Now().seconds_since_midnight); }

  // -- paths
  virtual std::string ToNative(std::string_view windows_path) const = 0;
  virtual std::string ToWindows(std::string_view native_path) const = 0;
  // The folder of the running executable, Windows-style, no trailing "\"
  // except at a drive root.
  virtual std::string ProgramFolder() const = 0;
  // The executable's file name without folder and extension ("carob").
  virtual std::string ProgramName() const = 0;

  // -- environment
  virtual std::string GetVariable(const std::string& name) const = 0;
  // A variable holding a path: a native path ("/tmp/x") comes back
  // Windows-style ("Z:\tmp\x"); a value with a drive letter as it stands.
  virtual std::string GetPathVariable(const std::string& name) const = 0;
  virtual std::string HostName() const = 0;

  // -- files
  // An existing ordinary file (not a folder, device or socket).
  virtual std::optional<FileInfo> FindFile(const std::string& path) = 0;
  virtual bool FolderExists(const std::string& path) = 0;
  virtual std::unique_ptr<File> Open(const std::string& path, OpenMode mode) = 0;
  // Like Open, but the file is also held under an exclusive advisory lock
  // (respected by every OpenLocked caller of every process) until the File is
  // destroyed. Waits for the lock. When the path was renamed or replaced while
  // waiting, the file now at the path is opened and locked instead, so the
  // caller always holds the file that the path names.
  virtual std::unique_ptr<File> OpenLocked(const std::string& path, OpenMode mode) = 0;
  virtual bool ReadAll(const std::string& path, std::string& bytes) = 0;
  virtual bool AppendBytes(const std::string& path, std::string_view bytes) = 0;
  virtual bool Rename(const std::string& from, const std::string& to) = 0;
  virtual bool Delete(const std::string& path) = 0;
  // Replaces the file's contents atomically: the new file is built beside it
  // and renamed into place, so readers see the old or the new file, never a
  // part. Works whatever file system the temporary folder is on.
  virtual bool ReplaceContents(const std::string& path, std::string_view bytes) = 0;
  // Like ReplaceContents, but the new file is already under the exclusive
  // advisory lock that OpenLocked takes when it appears under the name, and
  // stays so while the returned holder lives; the holder's Write appends to
  // it. nullptr when the file cannot be replaced.
  virtual std::unique_ptr<LockFile> ReplaceContentsHeld(const std::string& path,
                                                        std::string_view bytes) = 0;
  // Sets the file's modification time to now, but always later than it was,
  // so that a change within the clock's step still changes the file's stamp.
  virtual bool MarkModified(const std::string& path) = 0;

  // -- write locks between processes
  // Creates the lock file atomically; nullptr when it exists already (or
  // cannot be made).
  virtual std::unique_ptr<LockFile> TryLock(const std::string& path) = 0;
  virtual LockState ProbeLock(const std::string& path) = 0;
  // Deletes a lock file that nobody holds; false when it is held, absent, or
  // the delete fails.
  virtual bool BreakLock(const std::string& path) = 0;

  // -- processes
  // Starts a program from its recorded (Windows-style) path without waiting.
  // "X.EXE" also finds a file "x" without extension; the name matches
  // case-blind. The window style is accepted and ignored where the platform
  // has no equivalent. False when the program cannot be started.
  virtual bool StartProgram(const std::string& path, int window_style) = 0;
  virtual int ProcessId() const = 0;
};

// The POSIX implementation. `clock` and `random` may be null for the real
// ones. `orb_root` overrides the ORB_ROOT environment variable when not
// empty; `program_path` overrides the running executable's native path.
struct PosixEnvOptions {
  std::shared_ptr<Clock> clock;
  std::shared_ptr<Random> random;
  std::string orb_root;
  std::string program_path;
};
std::unique_ptr<Env> NewPosixEnv(PosixEnvOptions options = {});

}  // namespace carob::platform
