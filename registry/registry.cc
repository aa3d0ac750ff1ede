#include "registry/registry.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "platform/clockstamp.h"
#include "platform/text.h"

namespace carob::registry {

namespace {

bool ReadsAsYes(const std::string& value) {
  return platform::Upper(platform::Trim(value)) == "YES";
}

}  // namespace

Registry::Registry(platform::Env& env, databank::Databank& db, platform::Interaction& interaction,
                   SizeGuard guard)
    : env_(env), db_(db), interaction_(interaction), guard_(guard) {}

void Registry::EnsureLocated() {
  if (status_bank_.empty()) LocateStatusBank();
}

std::string Registry::Recorded(std::string_view key, platform::Status* read) {
  EnsureLocated();
  std::string value;
  // An unreadable STATUS databank records nothing.
  platform::Status s = db_.Read(status_bank_, key, value);  // "" then
  if (read) *read = std::move(s);
  return value;
}

platform::Status Registry::Record(std::string_view key, std::string_view value) {
  EnsureLocated();
  return db_.Write(status_bank_, key, value);
}

std::optional<int64_t> Registry::StatusSize() {
  std::string path = db_.ResolveBankPath(std::string(status_bank_));
  std::optional<platform::FileInfo> info;
  if (!path.empty()) info = env_.FindFile(path);
  return info ? std::optional<int64_t>(info->size) : std::nullopt;
}

std::string Registry::FindStatusBank() {
  if (!status_bank_.empty()) return status_bank_;
  std::string found = db_.Query(databank::kFileLoc, "STATUS");
  return found.empty() ? platform::JoinPath(db_.TempDir(), "STATUS") : found;
}

void Registry::LocateStatusBank() {
  // The first query of the process: it also settles the databank engine's
  // TempDir, which the default below needs.
  status_bank_ = db_.Query(databank::kFileLoc, "STATUS");
  if (status_bank_.empty()) {
    status_bank_ = platform::JoinPath(db_.TempDir(), "STATUS");
    (void)db_.Write(databank::kFileLoc, "STATUS", status_bank_);  // else settled again next time
  }

  // The size guard: only with the maintenance program installed.
  if (guard_ == SizeGuard::kOff || !IsInstalled(kZadozo)) return;
  // A size that cannot be read is not taken for a size over the limit: the
  // guard would otherwise hold the start-up for a file it cannot examine.
  std::optional<int64_t> size = StatusSize();
  if (!size || *size <= kStatusWarnSize) return;

  interaction_.MessageBox(kSizeWarningText, kSizeWarningTitle);
  // A close that answered the box starts nothing.
  if (interaction_.Closing()) return;

  // "Zadozo" may do its work and sign off again between two of the checks
  // for its running flag; a wait for the flag alone would then never end.
  // The wait for it to start therefore also ends once the file has shrunk.
  EnsureRunning(kZadozo, kZadozoWindowStyle, [this] {
    std::optional<int64_t> now = StatusSize();
    return now && *now <= kStatusWarnSize;
  });

  // Wait until the file is small enough and "Zadozo" is done. This wait does
  // not let the window handle events; it pauses briefly between looks at
  // the clock so that it does not spin hot. A close signal ends it (the
  // wait has no limit of its own, and a program that could not be stopped
  // would have to be killed, leaving itself recorded as running).
  float last_check = 0;
  for (;;) {
    while (std::fabs(env_.Timer() - last_check) < 1.0f) {
      if (interaction_.Closing()) return;
      env_.clock().Sleep(kWaitStep);
    }
    last_check = std::round(env_.Timer());
    std::optional<int64_t> now = StatusSize();
    if (now && *now >= kStatusWaitSize) continue;
    // The flag is another program's: it is read from the file at every
    // check, never from a cached answer.
    db_.ForgetCached(std::string(kZadozo) + " running");
    if (IsRunning(kZadozo)) continue;
    return;
  }
}

std::string Registry::ExecutablePath() const {
  // Only the extension is upper-case: the folder and the name keep the case
  // they have on the disk. A program without an extension (every program on
  // a POSIX system) is recorded with ".EXE" all the same; starting a recorded
  // path finds it without.
  return platform::JoinPath(env_.ProgramFolder(), env_.ProgramName() + ".EXE");
}

bool Registry::TryRegister(const std::string& app, platform::Status& failure) {
  auto record = [&](std::string_view key, std::string_view value) {
    platform::Status s = Record(key, value);
    if (!s && failure.ok()) failure = s;
  };
  record(app + " running", "Yes");
  // One clock reading for both, so that a registration across midnight does
  // not record the old date with the new time.
  platform::WallTime now = env_.Now();
  record(app + " last login date", platform::FormatDate(now));
  record(app + " last login time", platform::FormatTime(now));
  record(app + " path", ExecutablePath());
  return ReadsAsYes(Recorded(app + " running"));
}

platform::Status Registry::RegisterApplication(const std::string& app) {
  // A STATUS databank that cannot be written (a missing folder, a name that
  // is a folder) never reads back "Yes". Repeating without end would hang
  // the start-up for good, so the registration is given up after a few
  // attempts and the program runs unregistered. A close asked for meanwhile
  // ends the attempts.
  platform::Status failure;
  for (int attempt = 1; attempt <= kRegisterAttempts; ++attempt) {
    failure = platform::Status::Ok();
    if (TryRegister(app, failure)) return platform::Status::Ok();
    if (interaction_.Closing()) break;
    if (attempt < kRegisterAttempts) env_.clock().Sleep(kRegisterRetryPause);
  }
  if (failure.ok()) {
    failure = platform::Status::Failure("cannot register " + app + " in " + status_bank_,
                                        "the running flag does not read back");
  }
  return failure;
}

void Registry::RegisterInformation(const std::string& app, const std::string& fact,
                                   const std::string& value) {
  (void)Record(app + " " + fact, value);  // a fact for others to read only
}

void Registry::UnregisterApplication(const std::string& app) {
  (void)Record(app + " running", "No");  // the program leaves either way
}

std::string Registry::GetLocalId() { return Recorded("Local ID"); }

int32_t Registry::GetPulse() {
  platform::Status read;
  const std::string stored = Recorded("Pulse", &read);
  // A STATUS databank that cannot be read now (a network share's client
  // failing for a moment) tells nothing of the Pulse: the last one read
  // holds, and the stored one is not written over with the default (which
  // would slow every program of the computer to a tick a second for good).
  if (!read) return last_pulse_;
  double pulse = ReadLeadingNumber(stored);
  if (pulse == 0) {
    (void)Record("Pulse", "1000");  // 1000 holds all the same
    pulse = 1000;
  }
  // A Pulse too large for 32 bits reads as 0; the caller decides what an
  // interval of 0 means.
  last_pulse_ = RoundToInt32(pulse).value_or(0);
  return last_pulse_;
}

int32_t TimerInterval(int32_t pulse) {
  constexpr int32_t kDefault = 1000, kLongest = 65535;
  // Taken as it stands, an interval of 0 would stop the timer for good and a
  // 1 ms one would poll (and log) a thousand times a second; a Pulse below
  // 1 ms polls at the default instead.
  if (pulse < 1) return kDefault;
  return std::min(pulse, kLongest);
}

bool Registry::IsRunning(const std::string& app) { return ReadsAsYes(Recorded(app + " running")); }

bool Registry::IsInstalled(const std::string& app) {
  return !platform::Trim(Recorded(app + " path")).empty();
}

void Registry::RunApplication(const std::string& app, int32_t window_style) {
  std::string path = Recorded(app + " path");
  if (path.empty()) return;
  // The started program's fate is not followed: a path that cannot be
  // started leaves the application not running, which only a wait notices.
  (void)env_.StartProgram(path, window_style);  // only a wait notices
}

void Registry::EnsureRunning(const std::string& app, int32_t window_style,
                             const std::function<bool()>& done) {
  if (!IsInstalled(app) || IsRunning(app)) return;
  RunApplication(app, window_style);
  if (IsRunning(app)) return;
  for (;;) {
    float noted = std::round(env_.Timer());
    db_.ForgetCached(app + " running");
    do {
      interaction_.Yield();
      if (interaction_.Closing()) return;
      env_.clock().Sleep(kWaitStep);
    } while (std::fabs(env_.Timer() - noted) < 1.0f);
    if (IsRunning(app)) return;
    if (done && done()) return;
  }
}

}  // namespace carob::registry
