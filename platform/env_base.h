// The portable half of the systems' Env, written once: what PosixEnv
// (posix/env.cc) and WinEnv (windows/env.cc) do alike, over each system's
// own primitives. Internal to platform/: nothing above it includes this.
//
//   EnvBase              the clock, the random numbers, the program's folder
//                        and name, the environment's variables, file
//                        serials and the grouping of syncs
//   AssignedFolder       the "<executable>.folder" file of an installed program
//   ReplaceThrough       ReplaceContents: build beside, sync, close, rename,
//                        then sweep the leftovers of writers that died
//   StepTimePast         a modification time that really moves on
//   EntryKind            the checks of what stands at a name
//   WallTimeOf           a clock reading from the system's calendar fields
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/env.h"
#include "platform/sync_points.h"

namespace carob::platform {

// Ok when `error` is 0, else `what` failed for that errno.
Status Checked(std::string what, int error);
// What a failed Open reports: "cannot open C:\x for reading" / "for writing".
std::string OpenWhat(const std::string& path, OpenMode mode);

// What stands at a name, as the file calls tell it apart.
enum class EntryKind { kFile, kFolder, kLink, kOther };
// The errno that refuses something other than an ordinary file where one
// is wanted: EISDIR for a folder, EINVAL for anything else.
int NotAFile(EntryKind kind);
// The cause of a lock refused because something other than an ordinary
// file stands at its name ("a folder stands at its name").
std::string StandsAtItsName(EntryKind kind);

// A clock reading from the system's calendar fields and the fraction of the
// second; a leap second reads as the last ordinary second of its minute.
WallTime WallTimeOf(int year, int month, int day, int hour, int minute, int second,
                    double fraction);

// An installed program keeps its files in the family's root, never beside
// its executable in the system's folders: a file "<executable>.folder"
// beside the executable names, Windows-style, the folder it takes as its
// program folder ("C:\ORB\CAROB"). `make` makes that folder when missing
// and gives back its name as the Env writes it. "" when there is no such
// file or it names no drive-letter path.
std::string AssignedFolder(const std::string& program_path,
                           const std::function<std::string(const std::string&)>& make);

// The Env calls both systems answer alike.
class EnvBase : public Env {
 public:
  Clock& clock() override { return *clock_; }
  Random& random() override { return *random_; }
  // The assigned folder, or the executable's; no trailing "\" except at a
  // drive root ("C:\").
  std::string ProgramFolder() const override;
  // The executable's name without its extension.
  std::string ProgramName() const override;
  std::string GetVariable(const std::string& name) const override;
  int FreeSerial(int nth) override;
  void GroupSyncs(bool on) override;

 protected:
  // `program_path` is the running executable's native path.
  EnvBase(const EnvOptions& options, std::string program_path);

  // The folder (Windows-style) and the file name of the executable, as the
  // system splits its native path.
  virtual std::string ExecutableFolder() const = 0;
  virtual std::string ExecutableName() const = 0;

  const std::string& program_path() const { return program_path_; }
  // Set by the system's constructor once it can map paths (see
  // AssignedFolder).
  void set_assigned_folder(std::string folder) { assigned_folder_ = std::move(folder); }

  // The syncs owed while they are grouped, shared with the files opened.
  const std::shared_ptr<SyncPoints>& syncs() const { return syncs_; }

 private:
  std::shared_ptr<Clock> clock_;
  std::shared_ptr<Random> random_;
  std::string program_path_;
  std::string assigned_folder_;
  std::shared_ptr<SyncPoints> syncs_ = std::make_shared<SyncPoints>();
};

// -- replacing a file's contents (Env::ReplaceContents)
//
// The new contents go into a file of their own beside the old one,
// ".<name>.<process id>.<n>.new", that is synced, closed (unless held) and
// renamed into place. A writer that dies on the way leaves its file; the
// next replacement of the same file sweeps such leftovers (every
// ".<name>.<process id>.<n>.new" or ".old" whose process no longer lives).
//
// The sweep's cadence, the same on both systems: at a process's first
// replacement of a file, then at most once a minute for that file of that
// folder, and at once after a replacement that failed (leftovers may have
// filled the disk). Listing the folder at every replacement cost as much as
// the rest of a small one, and a dead writer's leftover is rare and
// harmless until swept.
//
// A crowded folder (more than a thousand entries) is paced across
// processes as well: a sweep there leaves the empty file
// ".<name>.swept", its modification time the time of the sweep, and a
// process's first sweep of that file is left out while the mark is less
// than a minute old (a sweep after a failure never is). A command run once
// per write would otherwise list the whole folder at every write; so a dead
// writer's leftover there goes at the first replacement of its file a
// minute or more after the last sweep. The mark goes again at a sweep that
// finds the folder no longer crowded; small folders never get one.

// The steps of one replacement of the file at the native path `target` in
// `folder`, that each system takes its own way; 0, or the errno of the step
// that failed.
class Replacement {
 public:
  Replacement(std::string target, std::string folder, SyncPoints& syncs)
      : target_(std::move(target)), folder_(std::move(folder)), syncs_(syncs) {}
  virtual ~Replacement() = default;
  const std::string& target() const { return target_; }
  const std::string& folder() const { return folder_; }
  // Whether the name may be replaced: an ordinary file stands there, or
  // nothing in an existing folder.
  virtual int CheckTarget() = 0;
  // Makes the new file at the native path `temp`.
  virtual int Create(const std::string& temp) = 0;
  // Writes the bytes into it and readies it to take the name: the old
  // file's permissions, a later modification time, the lock when held.
  virtual int Fill(std::string_view bytes) = 0;
  // Makes its bytes durable: they are on the disk before they take the
  // name, grouped or not, so that a power cut after the rename never finds
  // the name on a file whose bytes were still to be written.
  virtual int Sync() = 0;
  // Closes it (not held); a close that fails (a write error told only now)
  // fails the replacement.
  virtual int Close() = 0;
  // Gives it the name.
  virtual int MoveIntoPlace(const std::string& temp) = 0;
  // After a failure: the new file goes (closed first where it must be).
  virtual void Discard(const std::string& temp) = 0;
  // After the move: the rename is made durable with its folder (or noted
  // for the next sync point). Should that fail, the new file stands under
  // the name all the same: the replacement is done, and not told undone.
  virtual void Settle() = 0;

  // -- the sweep of leftovers
  // Every name in the folder.
  virtual std::vector<std::string> ListFolder() = 0;
  // The modification time of the file at the native path (nanoseconds
  // since 1970), or nothing when there is none.
  virtual std::optional<int64_t> MarkTime(const std::string& native) = 0;
  // Makes the file at the native path, empty, or gives it the time now;
  // quiet when it cannot.
  virtual void Mark(const std::string& native) = 0;
  // Whether a process of that id lives.
  virtual bool ProcessLives(long pid) = 0;
  // Deletes a leftover (native path); quiet when it cannot.
  virtual void Remove(const std::string& native) = 0;

 protected:
  // The Env's grouping of syncs.
  SyncPoints& syncs() const { return syncs_; }

 private:
  const std::string target_;
  const std::string folder_;
  SyncPoints& syncs_;
};

// Replaces the file `name` (the target's last component) through the
// system's steps, its folder joined to names by `separator`; `pid` is this
// process's id and `hold` says that the new file stays open (held) after
// the move. 0 or the errno; on failure no new file is left.
int ReplaceThrough(Replacement& steps, char separator, const std::string& name, long pid, bool hold,
                   std::string_view bytes);

// Marks a file of this process beside the one it replaces (native path)
// as in use for as long as the mark lives, so that no sweep takes it for
// the leftover of an earlier process that had the same id.
class InFlightMark {
 public:
  explicit InFlightMark(std::string native);
  ~InFlightMark();
  InFlightMark(const InFlightMark&) = delete;
  InFlightMark& operator=(const InFlightMark&) = delete;
  const std::string& native() const { return native_; }

 private:
  std::string native_;
};
// The native path of a further file of this process beside `name` in
// `folder`: ".<name>.<pid>.<n><ending>", n counting up in the process.
std::string ReplacementPath(const std::string& folder, char separator, const std::string& name,
                            long pid, std::string_view ending);

// The writer's process id of a leftover of `name` (".<name>.<pid>.<n>.new"
// or ".old", the name matching letter case aside), or nothing when `entry`
// is no such file.
std::optional<long> ReplacementWriter(std::string_view entry, std::string_view name);

// -- modification times
//
// File systems keep times at a coarse step, so a time set just past another
// may be stored as that other. Sets the time to the later of `not_before`
// and `previous` plus a step, the step growing from `first_step` by
// `growth` up to 2 s, until what `stored` reads back lies past `previous`
// (nanoseconds since 1970). `set` and `stored` give 0 or the errno. 0 once
// it moved on, the first errno, or -1 when it never did.
// What MarkModified reports for StepTimePast's answer (or a failure
// before it): "cannot mark C:\x modified" with the cause, or "its time does
// not move on".
Status MarkedModified(const std::string& path, int stepped);
int StepTimePast(int64_t previous, int64_t not_before, int64_t first_step, int64_t growth,
                 const std::function<int(int64_t ns)>& set,
                 const std::function<int(int64_t& ns)>& stored);

}  // namespace carob::platform
