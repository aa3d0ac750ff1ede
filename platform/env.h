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
// Errors never throw: calls report failure through a Status (see Env).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/status.h"

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

// An open file. While open it holds a file number ("serial"): the lowest
// number from 1 that no other open File of the process holds.
//
// Reads say how they ended: the end of the file is never an error, and an
// error is never the end of the file. A read that meets the end before the
// length the file had when it was opened (the same file, not cut back by
// anyone since) is a failed read ("cannot read C:\x: the file ended at byte
// 300 of 1000"), never the file's content.
//
// Writes that fail say so through their Status ("cannot write C:\x\y.dat: no
// space left on device"); a failed append leaves the file at the length it
// had (unless another writer appended meanwhile), a failed positioned write
// may have written part of its bytes. What was written is in the file for
// good only once Close() said so: a file system may report a write error
// only then (network file systems, quotas).
class File {
 public:
  virtual ~File() = default;
  int serial() const { return serial_; }
  // Reads the next line without its end. A line ends at LF; a CR right
  // before the LF is dropped with it. The last line needs no end. Returns
  // false at the end of the file or on a read error: status() tells which.
  // After an error no partial line is handed out and every later call
  // returns false.
  virtual bool ReadLine(std::string& line) = 0;
  // Why ReadLine last returned false: ok at the end of the file, else the
  // read's failure with its cause.
  virtual Status status() const = 0;
  // Byte offset of the next read.
  virtual int64_t Tell() = 0;
  // Appends (append mode) or writes at the current offset. Fails in read
  // mode (EBADF) or when the system refuses the write.
  virtual Status Write(std::string_view bytes) = 0;
  // Up to `n` bytes at an offset into `bytes` (replaced): fewer only at the
  // end of the file; "cannot read C:\x" with the cause (EINVAL for a
  // negative offset).
  virtual Status ReadAt(int64_t offset, size_t n, std::string& bytes) = 0;
  // One byte at an offset (random access mode only: EBADF otherwise,
  // EINVAL for a negative offset).
  virtual Status WriteAt(int64_t offset, char byte) = 0;
  // Writes a run of bytes at an offset in one positioned write (random
  // access mode), so readers do not meet the run half written. Fails as
  // WriteAt does.
  virtual Status WriteRangeAt(int64_t offset, std::string_view bytes) = 0;
  // The file's length now ("cannot read C:\x" with the cause).
  virtual Status Size(int64_t& size) = 0;
  // Cuts the file back to `length` bytes, so that a write that failed part
  // way leaves it as it was (append and random access modes; EBADF in read
  // mode). Needs no free space.
  virtual Status Truncate(int64_t length) = 0;
  // Closes the file and says whether what was written through it is in the
  // file for good: its bytes are made durable (synced to the disk, unless
  // the Env groups syncs: then at its next SyncGrouped), and so is the name
  // of a file this open created. On failure (the sync's or the close's own:
  // a write error that shows only now) the bytes appended through this File
  // are cut back where the system still allows it. A file only read is just
  // closed. After the first call it does nothing and repeats its answer; the
  // destructor closes without syncing or telling.
  virtual Status Close() = 0;

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
  // Writes bytes into the lock file (it starts empty); the cause when the
  // system refuses (the hold stays either way).
  virtual Status Write(std::string_view bytes) = 0;
  // Makes the bytes written and the lock file's name durable, so that they
  // survive a power cut (a claim's notes). Lock files are not synced
  // otherwise: after a power cut one may be gone or stand empty.
  virtual Status Sync() = 0;
  // Deletes the lock file and ends the hold. Cannot fail: a name that no
  // longer names our file (a peer broke the lock) is left alone.
  virtual void Release() = 0;
};

// A log file held open for appending between lines. It holds no file
// serial. Each Append checks that the path still names the file held and
// opens it again (creating it) when another process renamed or deleted it.
class Appender {
 public:
  virtual ~Appender() = default;
  // Appends the bytes in one write; they are in the file when it returns.
  // "cannot append to C:\x" with the cause; the next call opens afresh.
  virtual Status Append(std::string_view bytes) = 0;
};

enum class LockState {
  kAbsent,  // no lock file
  kHeld,    // a living process holds it
  kUnheld,  // the file exists but nobody holds it (its holder died, or a peer made it)
  // The file exists and nobody on this computer holds it, but on a network
  // share a holder on another computer cannot be seen: only a break (which
  // the server refuses while the holder has the file open) tells.
  kUnknown,
};

// Operating-system services. All paths are Windows-style.
//
// Durability: a write call that reports success has made its change survive
// a power cut, as each call says (ReplaceContents, File::Close, Rename,
// LockFile::Sync); Delete, MarkModified, AppendBytes, lock files and the
// Appender's lines are not synced. Syncs can be grouped (GroupSyncs): a
// program that makes many small writes in a row (the thinking passes) then
// pays for one sync per file at each SyncGrouped, while a power cut at any
// instant still leaves every file as it was before each write or after it.
//
// Failure: every call that can fail returns a Status naming the action in
// Windows-style paths and its cause from the system ("cannot rename C:\a to
// C:\b: file exists"); a name that cannot be found is ENOENT. A call that
// hands back an object does so through its last parameter, which is left
// null on failure. Queries whose "no" is an answer (FindFile, FolderExists,
// ProbeLock) return that answer instead. Nothing throws.
class Env {
 public:
  virtual ~Env() = default;

  // -- clock and random numbers (cannot fail)
  virtual Clock& clock() = 0;
  virtual Random& random() = 0;
  WallTime Now() { return clock().Now(); }
  // Seconds since midnight in single precision (the classic timer reading).
  float Timer() { return static_cast<float>(clock().Now().seconds_since_midnight); }

  // -- paths (pure mapping; cannot fail)
  virtual std::string ToNative(std::string_view windows_path) const = 0;
  virtual std::string ToWindows(std::string_view native_path) const = 0;
  // The folder of the running executable, Windows-style, no trailing "\"
  // except at a drive root; or, for an installed program, the folder named
  // by the file "<executable>.folder" beside it (made when missing).
  virtual std::string ProgramFolder() const = 0;
  // The executable's file name without folder and extension ("carob").
  virtual std::string ProgramName() const = 0;

  // -- environment ("" when unset or unknown)
  virtual std::string GetVariable(const std::string& name) const = 0;
  // A variable holding a path: a native path ("/tmp/x") comes back
  // Windows-style ("Z:\tmp\x"); a value with a drive letter as it stands.
  virtual std::string GetPathVariable(const std::string& name) const = 0;
  virtual std::string HostName() const = 0;

  // -- files
  // An existing ordinary file (not a folder, device or socket); nullopt
  // when there is none or it cannot be looked at.
  virtual std::optional<FileInfo> FindFile(const std::string& path) = 0;
  // FindFile that tells a file that is not there (ok, `info` empty) from
  // one that cannot be looked at for now ("cannot look up C:\x" with the
  // system's cause: an I/O error, a share's client that fails for a moment,
  // no permission on the way): a write must not take the second for the
  // first. It answers as the file system does now: where a client keeps
  // what it saw of a file for a moment (a network share), the POSIX Env
  // asks the server.
  virtual Status LookUp(const std::string& path, std::optional<FileInfo>& info) = 0;
  // The stamp (size, time, inode, device; path and stored_name left
  // empty) of the file FindFile would find: false when it finds none.
  virtual bool FileStamp(const std::string& path, FileInfo* stamp) = 0;
  // False when there is no such folder or it cannot be looked at.
  virtual bool FolderExists(const std::string& path) = 0;
  // Makes a folder and any missing folders above it; ok when it exists
  // already ("cannot make folder C:\x": the system's cause).
  virtual Status MakeFolder(const std::string& path) = 0;
  // Opens an ordinary file ("cannot open C:\x for reading" / "for writing").
  // kRead and kReadWrite fail with ENOENT when it is missing; kAppend creates
  // it exclusively, and fails with ENOENT when its folder is missing.
  // Anything but an ordinary file is refused, and kAppend and kReadWrite
  // refuse a symbolic link at the name ("a symbolic link stands there").
  virtual Status Open(const std::string& path, OpenMode mode, std::unique_ptr<File>* file) = 0;
  // Like Open, but the file is also held under an exclusive advisory lock
  // (respected by every OpenLocked caller of every process) until the File is
  // destroyed. Waits for the lock. When the path was renamed or replaced while
  // waiting, the file now at the path is opened and locked instead, so the
  // caller always holds the file that the path names. Fails as Open does, or
  // when the lock cannot be taken ("cannot lock C:\x").
  virtual Status OpenLocked(const std::string& path, OpenMode mode,
                            std::unique_ptr<File>* file) = 0;
  // The whole file ("cannot read C:\x"); `bytes` is emptied first and holds
  // what was read before a failure.
  virtual Status ReadAll(const std::string& path, std::string& bytes) = 0;
  // Appends to the file, creating it as Open's kAppend does ("cannot append
  // to C:\x"); a failure part way leaves the file at its old length.
  virtual Status AppendBytes(const std::string& path, std::string_view bytes) = 0;
  // Like ReadAll; `stamp` (size, time, inode, device; path as given) then
  // describes the bytes read, or has size -1 when the file changed while it
  // was read or cannot be looked at.
  virtual Status ReadAllStamped(const std::string& path, std::string& bytes, FileInfo* stamp) = 0;
  // An appender on the file at `path`; nothing is opened or made until its
  // first Append (cannot fail).
  virtual std::unique_ptr<Appender> NewAppender(const std::string& path) = 0;
  // The serial that the (nth + 1)-th file opened now would get: nth 0 is
  // the lowest serial no open File holds (cannot fail).
  virtual int FreeSerial(int nth) = 0;
  // Renames a file; never replaces another (EEXIST), and `from` must exist
  // (ENOENT). "cannot rename C:\a to C:\b". On failure nothing moved; on
  // success the folders are synced where the system allows it (grouped: at
  // SyncGrouped), a sync that fails left untold.
  virtual Status Rename(const std::string& from, const std::string& to) = 0;
  // Deletes an ordinary file ("cannot delete C:\x"; EISDIR for a folder).
  virtual Status Delete(const std::string& path) = 0;
  // Replaces the file's contents atomically: the new file is built beside it,
  // synced, closed (a failed close fails the replace) and renamed into place,
  // and then the folder is synced, so readers see the old or the new file,
  // never a part, and a power cut at any instant leaves one of the two whole.
  // Works whatever file system the temporary folder is on. On failure
  // ("cannot replace C:\x") the old file stands untouched and no temporary
  // file is left. Grouped, the folder's sync waits for SyncGrouped (a cut
  // before it leaves the old file).
  virtual Status ReplaceContents(const std::string& path, std::string_view bytes) = 0;
  // Like ReplaceContents, but the new file is already under the exclusive
  // advisory lock that OpenLocked takes when it appears under the name, and
  // stays so while the holder put in `held` lives; the holder's Write appends
  // to it. Fails as ReplaceContents does, leaving `held` null.
  virtual Status ReplaceContentsHeld(const std::string& path, std::string_view bytes,
                                     std::unique_ptr<LockFile>* held) = 0;
  // Sets the file's modification time to now, but always later than it was,
  // so that a change within the clock's step still changes the file's stamp.
  // "cannot mark C:\x modified"; the stamp may be unchanged then.
  virtual Status MarkModified(const std::string& path) = 0;

  // -- grouped syncs
  // Switches grouping on or off. Off, what is pending is synced first (its
  // failure is lost: a program that must know calls SyncGrouped before).
  virtual void GroupSyncs(bool on) = 0;
  // Makes every write since the last sync point durable: each file closed
  // since then is synced, and each folder that gained or changed a name.
  // The first failure, with its cause; ok when nothing was pending.
  virtual Status SyncGrouped() = 0;

  // -- write locks between processes
  // Creates the lock file atomically and holds it ("cannot create lock
  // C:\x"): EEXIST when an ordinary file of that name exists already; when
  // something else stands at the name (a folder, a symbolic link, dangling
  // or not, a device) a cause in words that says what, with error() 0;
  // otherwise the system's cause (read-only, no space, no permission, a
  // missing folder). Never follows a symbolic link.
  virtual Status TryLock(const std::string& path, std::unique_ptr<LockFile>* lock) = 0;
  // Whether the advisory locks of OpenLocked and the holds of lock files in
  // this folder are seen by every process that can open its files: false on
  // a network share, where a holder on another computer is not seen. Found
  // once per folder and remembered; while the folder cannot be looked at,
  // what was found for it before, or true.
  virtual bool LocksSeenEverywhere(const std::string& folder) = 0;
  // kAbsent when there is no lock file (or it cannot be looked up).
  virtual LockState ProbeLock(const std::string& path) = 0;
  // Deletes a lock file that nobody holds ("cannot break lock C:\x"):
  // ENOENT when absent, EWOULDBLOCK when a living process holds it, ESTALE
  // when the name changed under us, or the delete's own cause.
  virtual Status BreakLock(const std::string& path) = 0;
  // Takes the liveness hold of an existing lock file that nobody holds (its
  // holder died), so that no one breaks it or holds it meanwhile, without
  // making the file ours: the LockFile's Release() ends the hold and leaves
  // the file where it is, and its Write fails. "cannot hold lock C:\x":
  // ENOENT when absent, EWOULDBLOCK when a living process holds it, ESTALE
  // when the name changed under us, or the open's own cause.
  virtual Status AdoptLock(const std::string& path, std::unique_ptr<LockFile>* hold) = 0;
  // AdoptLock for a lock file whose maker the caller knows was a process of
  // this computer that has ended (ProcessAlive): on a network share too,
  // where AdoptLock refuses (EWOULDBLOCK), since every process of this
  // computer sees the holds taken here, and the maker can no longer have a
  // hold anywhere. A file just made is not waited for either (its maker
  // locked it before it wrote what names it). Fails as AdoptLock does.
  virtual Status AdoptEndedMakersLock(const std::string& path, std::unique_ptr<LockFile>* hold) = 0;

  // -- processes
  // Starts a program from its recorded (Windows-style) path without waiting.
  // "X.EXE" also finds a file "x" without extension; the name matches
  // case-blind. The window style is accepted and ignored where the platform
  // has no equivalent. "cannot start C:\x": ENOENT when there is no such
  // file, EACCES when it is not executable, or the cause the exec met.
  virtual Status StartProgram(const std::string& path, int window_style) = 0;
  // This process's id (cannot fail).
  virtual int ProcessId() const = 0;
  // Whether process `pid` of this computer lives: false only when the system
  // says there is no such process (a zombie that nobody reaped counts as
  // living); a process that cannot be told (not ours to look at, an id out
  // of range) counts as living (cannot fail).
  virtual bool ProcessAlive(int pid) = 0;
  // This process's command line, its arguments separated by blanks ("" when
  // the system does not tell; cannot fail).
  virtual std::string CommandLine() const = 0;
  // How this process was started, as far as the system tells it reliably:
  // the service or the desktop launch it runs under ("the user service
  // carob.service", "the desktop entry carob.desktop"), else its parent
  // process ("bash, process 4321") and whether it has a terminal; "" when
  // nothing can be told (cannot fail).
  virtual std::string StartedHow() const = 0;
  // Asks another process of this computer to stop as a close signal does
  // (SIGTERM; on Windows the close event that a program's SignalPipe
  // watches). "cannot stop process 123": ESRCH when there is no such process
  // (on Windows also one that watches no close event yet), EPERM when it is
  // not ours to stop.
  virtual Status StopProcess(int pid) = 0;
};

// An Env that passes every call on to another, so that a test double
// overrides only the calls it is about and inherits the rest. Fails exactly
// as its target does.
class EnvWrapper : public Env {
 public:
  explicit EnvWrapper(Env& target) : target_(target) {}
  Env& target() const { return target_; }

  Clock& clock() override { return target_.clock(); }
  Random& random() override { return target_.random(); }
  std::string ToNative(std::string_view p) const override { return target_.ToNative(p); }
  std::string ToWindows(std::string_view p) const override { return target_.ToWindows(p); }
  std::string ProgramFolder() const override { return target_.ProgramFolder(); }
  std::string ProgramName() const override { return target_.ProgramName(); }
  std::string GetVariable(const std::string& n) const override { return target_.GetVariable(n); }
  std::string GetPathVariable(const std::string& n) const override {
    return target_.GetPathVariable(n);
  }
  std::string HostName() const override { return target_.HostName(); }
  std::optional<FileInfo> FindFile(const std::string& path) override {
    return target_.FindFile(path);
  }
  bool FileStamp(const std::string& path, FileInfo* stamp) override {
    return target_.FileStamp(path, stamp);
  }
  Status LookUp(const std::string& path, std::optional<FileInfo>& info) override {
    return target_.LookUp(path, info);
  }
  bool FolderExists(const std::string& path) override { return target_.FolderExists(path); }
  Status MakeFolder(const std::string& path) override { return target_.MakeFolder(path); }
  Status Open(const std::string& path, OpenMode mode, std::unique_ptr<File>* file) override {
    return target_.Open(path, mode, file);
  }
  Status OpenLocked(const std::string& path, OpenMode mode, std::unique_ptr<File>* file) override {
    return target_.OpenLocked(path, mode, file);
  }
  Status ReadAll(const std::string& path, std::string& bytes) override {
    return target_.ReadAll(path, bytes);
  }
  Status AppendBytes(const std::string& path, std::string_view bytes) override {
    return target_.AppendBytes(path, bytes);
  }
  Status ReadAllStamped(const std::string& path, std::string& bytes, FileInfo* stamp) override {
    return target_.ReadAllStamped(path, bytes, stamp);
  }
  std::unique_ptr<Appender> NewAppender(const std::string& path) override {
    return target_.NewAppender(path);
  }
  int FreeSerial(int nth) override { return target_.FreeSerial(nth); }
  Status Rename(const std::string& from, const std::string& to) override {
    return target_.Rename(from, to);
  }
  Status Delete(const std::string& path) override { return target_.Delete(path); }
  Status ReplaceContents(const std::string& path, std::string_view bytes) override {
    return target_.ReplaceContents(path, bytes);
  }
  Status ReplaceContentsHeld(const std::string& path, std::string_view bytes,
                             std::unique_ptr<LockFile>* held) override {
    return target_.ReplaceContentsHeld(path, bytes, held);
  }
  Status MarkModified(const std::string& path) override { return target_.MarkModified(path); }
  void GroupSyncs(bool on) override { target_.GroupSyncs(on); }
  Status SyncGrouped() override { return target_.SyncGrouped(); }
  Status TryLock(const std::string& path, std::unique_ptr<LockFile>* lock) override {
    return target_.TryLock(path, lock);
  }
  bool LocksSeenEverywhere(const std::string& folder) override {
    return target_.LocksSeenEverywhere(folder);
  }
  LockState ProbeLock(const std::string& path) override { return target_.ProbeLock(path); }
  Status BreakLock(const std::string& path) override { return target_.BreakLock(path); }
  Status AdoptLock(const std::string& path, std::unique_ptr<LockFile>* hold) override {
    return target_.AdoptLock(path, hold);
  }
  Status AdoptEndedMakersLock(const std::string& path, std::unique_ptr<LockFile>* hold) override {
    return target_.AdoptEndedMakersLock(path, hold);
  }
  Status StartProgram(const std::string& path, int window_style) override {
    return target_.StartProgram(path, window_style);
  }
  int ProcessId() const override { return target_.ProcessId(); }
  bool ProcessAlive(int pid) override { return target_.ProcessAlive(pid); }
  std::string CommandLine() const override { return target_.CommandLine(); }
  std::string StartedHow() const override { return target_.StartedHow(); }
  Status StopProcess(int pid) override { return target_.StopProcess(pid); }

 private:
  Env& target_;
};

// The options of the system's Env, POSIX and Windows alike. `clock` and
// `random` may be null for the real ones. `orb_root` overrides the ORB_ROOT
// environment variable when not empty (POSIX only); `program_path`
// overrides the running executable's native path.
struct EnvOptions {
  std::shared_ptr<Clock> clock;
  std::shared_ptr<Random> random;
  std::string orb_root;
  std::string program_path;
};
// The POSIX implementation.
std::unique_ptr<Env> NewPosixEnv(EnvOptions options = {});

// The Env of the system the program is built for: NewPosixEnv's on POSIX;
// on Windows paths are native ("C:\FileLoc" is C:\FileLoc, ORB_ROOT and
// `orb_root` mean nothing there) and the other options hold as above.
std::unique_ptr<Env> NewSystemEnv(EnvOptions options = {});

// The process's environment variable `name` ("" when unset), for what must
// be known before an Env is made (making one settles the program folder).
std::string ProcessVariable(const std::string& name);

}  // namespace carob::platform
