// Databank names and paths, the temporary folder, and swap-file locks.
#include <cctype>
#include <cerrno>
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>

#include "databank/databank.h"
#include "databank/lines.h"
#include "platform/text.h"
#include "platform/windows_path.h"

namespace carob::databank {

using platform::LockState;
using platform::TrimInPlace;

namespace {

// Pause between two looks at a swap file that someone else holds: the
// first is short (a holder often lets go within milliseconds), each next
// one twice as long, up to kSwapPause; on a network share up to
// kShareSwapPause, since there each look is a call to the server: eight
// computers' writers waiting for one queue and looking every 10 ms kept the
// server so busy that the holder's own calls took several times as long.
constexpr double kSwapPause = 0.01;
constexpr double kShareSwapPause = 0.025;
constexpr double kFirstSwapPause = 0.002;
// A swap file whose holder is gone is removed after this many seconds.
constexpr double kSwapBreakSeconds = 7.0;
// Seconds into a wait for an unseen holder before its mark of life is read.
constexpr double kFirstMarkRead = 1.0;
// Looks at a lock that cannot be made although no swap file is in the way,
// before the write fails (a file system may refuse a name for a moment
// while another computer deletes it).
constexpr int kUnmakeableLookLimit = 5;
// On a network share the client may fail every call for a moment (an I/O
// error, the temporary folder not seen) while its connection to the server
// recovers: there a lock that cannot be made is tried again for this many
// seconds before the write fails.
constexpr double kShareRecoverySeconds = 15.0;

// The name of the folder that directly holds the databank, from its name.
std::string FolderPart(const std::string& name) {
  size_t last = name.rfind('\\');
  if (last == std::string::npos) return "Root";
  std::string before = name.substr(0, last);
  std::string part = before.substr(before.rfind('\\') + 1);  // all of it without a "\"
  // A databank directly in a drive's root would give the drive designation
  // ("D:"), which cannot be part of a file name; such databanks share the
  // word "Root" with the file-location databank ("C:\FileLoc").
  if (part.empty() || part.find(':') != std::string::npos) return "Root";
  return part;
}

// A program asked to close (its interaction says so, see Databank's
// constructor) still waits a moment for a lock that another writer holds
// briefly, so that its last writes (signing off) are made; from then on,
// counted from the first wait that noticed the close, no lock is waited for,
// and such a write is not made.
constexpr double kStopGrace = 0.5;

}  // namespace

std::string lines::NoPathCause(std::string_view name) {
  return platform::HasStrayColon(platform::Trim(name)) ? "a \":\" stands outside a drive designation"
                                          : "the name denotes a folder";
}

void Databank::SettleTemporaryFolder(std::string& folder) {
  folder = Query(kFileLoc, kTemporaryPathKey);
  if (!folder.empty()) return;
  folder = env_.GetPathVariable("ORB");
  if (folder.empty()) folder = env_.GetPathVariable("TEMP");
  if (folder.empty()) folder = env_.GetPathVariable("TMP");
  if (folder.empty()) folder = env_.ProgramFolder();
  (void)Write(kFileLoc, kTemporaryPathKey, folder);  // used whether recorded or not
}

void Databank::InitDatabankAccess() {
  initialising_ = true;
  SettleTemporaryFolder(temp_dir_);
  run_path_ = env_.ProgramFolder();
  if (io_log_enabled_) {
    LogDatabankIO("Innitialized databank access with tempdir [" + temp_dir_ + "], runpath [" +
                  run_path_ + "]");
    LogDatabankIO("   ");
  }
  initialising_ = false;
}

std::string Databank::ResolveBankPath(std::string& name) {
  TrimInPlace(name);
  if (name == last_name_) return last_path_;
  if (temp_dir_.empty() && !initialising_) InitDatabankAccess();
  std::string path = !run_path_.empty() && name.find(':') == std::string::npos
                         ? platform::JoinPath(run_path_, name)
                         : name;
  if (!path.empty() && path.front() == '\\' && !temp_dir_.empty()) {
    path = platform::JoinPath(temp_dir_, std::string_view(path).substr(1));
  }
  if (!path.empty() && path.back() == '\\') path.clear();
  if (platform::HasStrayColon(name)) path.clear();
  last_name_ = name;
  last_path_ = path;
  return path;
}

std::string Databank::SwapPathFor(const std::string& name,
                                  const std::optional<platform::FileInfo>& stored) const {
  // Both parts as the databank is stored, so that every writer of it spells
  // its lock alike however it spelt the databank's name.
  std::string folder = FolderPart(name);
  if (stored) {
    if (std::string as_stored = FolderPart(stored->path); platform::EqualsNoCase(as_stored, folder)) {
      folder = std::move(as_stored);
    }
  }
  return platform::JoinPath(temp_dir_,
                            "DSP." + folder + "." + (stored ? stored->stored_name : "") + ".TMP");
}

std::string Databank::SwapPath(std::string& name) {
  TrimInPlace(name);
  // The file part is the name the databank file is stored under; a bare
  // name is looked up where it lives, in the program folder.
  std::optional<platform::FileInfo> info;
  if (std::string path = ResolveBankPath(name); !path.empty()) info = env_.FindFile(path);
  return SwapPathFor(name, info);
}

SwapLock Databank::AllocateSwap(std::string& name) {
  std::string swap = SwapPath(name);
  SwapLock lock = TakeSwap(swap);
  if (io_log_enabled_) LogDatabankIO("Database [" + name + "] ==>> allocated swap [" + swap + "]");
  return lock;
}

// Waits for the swap file to be absent and creates it in one step: the
// lock file is made exclusively, so two writers can never both take it.
//
// A lock is broken only when its holder is gone (its file exists but no
// process holds it) and has stayed so for more than 7 seconds; a living
// holder keeps its lock however long it takes, and its TIMEOUT line is then
// written about once a second rather than at every look.
//
// With `adopt_dead` (an append or an in-place overwrite, which never touch
// the swap file's contents) a gone holder is not waited for: its file is
// adopted at once, under our own liveness hold, so that a rewrite waiting
// meanwhile sees a living holder and cannot break the lock under our write;
// the file itself is left where it is.
//
// On a network share a holder on another computer cannot be seen (kUnknown):
// its mark of life tells instead. A holder moves its swap file's time on
// about once a second while it lives; once that time has stood still for 7
// seconds the lock is broken as if its holder were gone, about once a
// second, and the server refuses each delete while a holder lives.
//
// A swap file that cannot be made (the folder is read-only, missing, full or
// not ours to write, or something that is no swap file stands at its name)
// fails the write at once, with a line in the I/O log saying why.
SwapLock Databank::TakeSwap(const std::string& swap_path, bool adopt_dead) {
  SwapLock out(swap_path);
  // No temporary folder yet (only while it is being settled): no lock.
  if (temp_dir_.empty()) return out;

  const std::string waiting = "!!! Swap conflict [" + swap_path + "] Waiting...";
  const std::string timeout = "!!! Swap conflict [" + swap_path + "] TIMEOUT. File removed.";
  std::optional<double> prev;  // clock reading of the previous look
  double elapsed = 0;      // seconds since the first sighting in this call
  double waiting_mark = 0; // moment of the last "Waiting..." line, whole seconds
  bool unheld_run = false; // the same unheld swap file was seen at the last look
  double unheld_since = 0;
  uint64_t unheld_inode = 0;
  int64_t unheld_mark = 0;  // the file's modification time at the last look
  double last_timeout = -std::numeric_limits<double>::infinity();
  bool mark_read = false;  // an unseen holder's mark was read in this call
  int unmakeable = 0;
  std::optional<double> unmakeable_since;  // clock reading of the first failed look
  double pause = kFirstSwapPause;
  std::optional<double> longest_pause;  // asked at the first pause that grows
  auto next_pause = [&] {
    if (!longest_pause) {
      longest_pause = env_.LocksSeenEverywhere(temp_dir_) ? kSwapPause : kShareSwapPause;
    }
    pause = std::min(pause * 2, *longest_pause);
  };
  // The last look found a living holder, or one that cannot be seen: then
  // one look at the swap file's name tells whether it still stands, and the
  // lock is tried again only once it is gone (trying makes and removes a
  // guard folder on a share, and looks at every folder of the path).
  bool holder_seen = false;

  for (;;) {
    std::unique_ptr<platform::LockFile> hold;
    platform::Status made;
    LockState state = LockState::kAbsent;
    const bool still_held = holder_seen && (state = env_.ProbeLock(swap_path)) != LockState::kAbsent &&
                            state != LockState::kUnheld;
    if (still_held) {
      made = platform::Status::FromErrno("cannot create lock " + swap_path, EEXIST);
    } else {
      made = env_.TryLock(swap_path, &hold);
      if (made) {
        out.hold_.reset(hold.release());
        return out;
      }
    }
    if (StopEndsWaits(env_.clock().Now().seconds_since_midnight)) return out;
    // The temporary folder is made when it is missing, as the launchers make
    // it; one that cannot be made fails the write like any other.
    if (made.error() == ENOENT && unmakeable == 0 && !env_.FolderExists(temp_dir_)) {
      platform::Status folder = env_.MakeFolder(temp_dir_);
      if (folder) continue;
      // A folder that cannot be made fails the write at once, saying why.
      made = folder;
      unmakeable = kUnmakeableLookLimit;
    }
    if (!still_held) {
      state = made.error() == EEXIST ? env_.ProbeLock(swap_path) : LockState::kAbsent;
    }
    holder_seen = state == LockState::kHeld || state == LockState::kUnknown;
    if (state == LockState::kAbsent) {
      // Released between the two looks, or the lock cannot be made at all:
      // then the write fails rather than go on unlocked or wait for ever.
      if (made.error() == 0 || (made.error() != EEXIST && ++unmakeable > kUnmakeableLookLimit)) {
        if (made.error() != 0 && ShareMayRecover(unmakeable_since)) {
          unmakeable = 0;  // the folder is looked for, and made, afresh
          env_.clock().Sleep(kSwapPause);
          continue;
        }
        LogDatabankIO("!!! Swap failure [" + swap_path + "] " + made.cause() + ".");
        out.failure_ = platform::Status::Failure(
            "cannot make swap file " + swap_path,
            "its swap file " + swap_path + " cannot be made: " + made.cause());
        return out;
      }
      env_.clock().Sleep(pause);
      next_pause();
      continue;
    }
    unmakeable = 0;

    if (state == LockState::kUnheld && adopt_dead) {
      if (env_.AdoptLock(swap_path, &hold)) {
        out.hold_.reset(hold.release());
        out.adopted_ = true;
        return out;
      }
      // Someone took or broke the file meanwhile, or we may not open it:
      // wait as for any other swap file.
    }

    double now = env_.clock().Now().seconds_since_midnight;
    double step = prev ? now - *prev : 0;
    if (step < 0) step += 86400.0;  // the clock passed midnight
    elapsed += step;
    prev = now;

    if (std::fabs(now - waiting_mark) > 1.0) {
      if (io_log_enabled_) LogDatabankIO(waiting);
      waiting_mark = std::round(now);
    }

    // An unseen holder's mark is first read once the wait has lasted a
    // second, and counts from the first sighting: a living holder moves it
    // again within a second, so an earlier read would tell nothing more.
    // Most waits on a share end sooner, and then never look at the swap
    // file by its name, which opens it on the server: a look that meets it
    // being deleted there fails, and the share's client then fails every
    // call for seconds.
    if (state == LockState::kUnheld ||
        (state == LockState::kUnknown && elapsed >= kFirstMarkRead &&
         elapsed - last_timeout >= 1.0)) {
      std::optional<platform::FileInfo> info = env_.FindFile(swap_path);
      uint64_t inode = info ? info->inode : 0;
      // A holder that cannot be seen shows its life by the file's time,
      // which it moves on while it holds the file: a time that moved starts
      // the grace period afresh, so only a holder whose mark stood still
      // for all of it is taken for dead.
      int64_t mark = info ? info->mtime_ns : 0;
      if (!unheld_run || inode != unheld_inode || mark != unheld_mark) {
        unheld_since = state == LockState::kUnknown && !mark_read ? 0 : elapsed;
        unheld_run = true;
        unheld_inode = inode;
        unheld_mark = mark;
      }
      mark_read = mark_read || state == LockState::kUnknown;
      if (elapsed - unheld_since > kSwapBreakSeconds) {
        (void)env_.BreakLock(swap_path);  // the next look tells
        LogDatabankIO(timeout);
        // A share's holder that lives refused the delete: try again in a
        // second, not after another 7.
        unheld_run = state == LockState::kUnknown;
        last_timeout = elapsed;
        continue;  // look again at once
      }
    } else if (state == LockState::kHeld) {
      unheld_run = false;
      if (elapsed > kSwapBreakSeconds && elapsed - last_timeout >= 1.0) {
        LogDatabankIO(timeout);
        last_timeout = elapsed;
      }
    }
    env_.clock().Sleep(pause);
    next_pause();
  }
}

// Whether a lock that cannot be made is to be tried again: only in a
// temporary folder on a network share, and only for kShareRecoverySeconds
// from the first failed look (`since`, noted at the first call).
bool Databank::ShareMayRecover(std::optional<double>& since) {
  if (env_.LocksSeenEverywhere(temp_dir_)) return false;
  const double now = env_.clock().Now().seconds_since_midnight;
  if (!since) since = now;
  double lasted = now - *since;
  if (lasted < 0) lasted += 86400.0;  // the clock passed midnight
  return lasted < kShareRecoverySeconds;
}

// Whether the program's close, asked for at least kStopGrace seconds ago
// (`now`), ends the waits for locks.
bool Databank::StopEndsWaits(double now) {
  if (!interaction_.Closing()) {
    stop_noticed_.reset();  // a close asked for later counts afresh
    return false;
  }
  if (!stop_noticed_) stop_noticed_ = now;
  double since = now - *stop_noticed_;
  if (since < 0) since += 86400.0;  // the clock passed midnight
  return since > kStopGrace;
}

// Takes the databank's lock under the swap name that matches the file as it
// is once the lock is held: a databank that was created, or replaced by a
// differently stored name, while we waited is locked again under its name.
SwapLock Databank::LockBank(const std::string& bank, const std::string& path, bool adopt_dead) {
  SwapLock lock;
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::optional<platform::FileInfo> before = env_.FindFile(path);
    std::string swap = SwapPathFor(bank, before);
    // Never hold one swap lock while waiting for another.
    lock.Release();
    lock = TakeSwap(swap, adopt_dead);
    if (!lock.failure().ok()) break;
    std::optional<platform::FileInfo> after = env_.FindFile(path);
    if (before.has_value() == after.has_value() && SwapPathFor(bank, after) == swap) break;
  }
  return lock;
}

}  // namespace carob::databank
