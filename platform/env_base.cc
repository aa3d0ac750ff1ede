#include "platform/env_base.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <set>

#include "platform/serials.h"
#include "platform/text.h"
#include "platform/windows_path.h"

namespace carob::platform {

Status Checked(std::string what, int error) {
  return error == 0 ? Status::Ok() : Status::FromErrno(std::move(what), error);
}

std::string OpenWhat(const std::string& path, OpenMode mode) {
  return "cannot open " + path + (mode == OpenMode::kRead ? " for reading" : " for writing");
}

int NotAFile(EntryKind kind) { return kind == EntryKind::kFolder ? EISDIR : EINVAL; }

std::string StandsAtItsName(EntryKind kind) {
  switch (kind) {
    case EntryKind::kFolder: return "a folder stands at its name";
    case EntryKind::kLink: return "a symbolic link stands at its name";
    default: return "a device, pipe or socket stands at its name";
  }
}

WallTime WallTimeOf(int year, int month, int day, int hour, int minute, int second,
                    double fraction) {
  WallTime t;
  t.year = year;
  t.month = month;
  t.day = day;
  t.hour = hour;
  t.minute = minute;
  t.second = second > 59 ? 59 : second;
  t.seconds_since_midnight = t.hour * 3600.0 + t.minute * 60.0 + t.second + fraction;
  return t;
}

std::string AssignedFolder(const std::string& program_path,
                           const std::function<std::string(const std::string&)>& make) {
  std::ifstream in(program_path + ".folder");
  std::string folder;
  if (!in || !std::getline(in, folder)) return "";
  while (!folder.empty() && std::isspace(static_cast<unsigned char>(folder.back()))) folder.pop_back();
  if (!HasDrive(folder)) return "";
  return make(folder);
}

// -- EnvBase

EnvBase::EnvBase(const EnvOptions& options, std::string program_path)
    : clock_(options.clock ? options.clock : std::make_shared<SystemClock>()),
      random_(options.random ? options.random : std::make_shared<LcgRandom>()),
      program_path_(std::move(program_path)) {}

std::string EnvBase::ProgramFolder() const {
  std::string folder = assigned_folder_.empty() ? ExecutableFolder() : assigned_folder_;
  while (folder.size() > 3 && folder.back() == '\\') folder.pop_back();
  return folder;
}

std::string EnvBase::ProgramName() const {
  std::string name = ExecutableName();
  size_t dot = name.rfind('.');
  if (dot != std::string::npos && dot > 0) name.erase(dot);
  return name;
}

std::string ProcessVariable(const std::string& name) {
  const char* v = std::getenv(name.c_str());
  return v ? std::string(v) : std::string();
}

std::string EnvBase::GetVariable(const std::string& name) const { return ProcessVariable(name); }

int EnvBase::FreeSerial(int nth) { return LowestFreeSerial(nth); }

void EnvBase::GroupSyncs(bool on) {
  if (!on) (void)SyncGrouped();  // a failure shows at the next sync
  syncs_->Group(on);
}

// -- replacements

namespace {

// Files beside replaced ones that this process is using right now (native
// paths).
std::mutex in_flight_mutex;
std::set<std::string> in_flight;

bool InFlight(const std::string& native) {
  std::lock_guard<std::mutex> lock(in_flight_mutex);
  return in_flight.count(native) > 0;
}

// How a sweep of a file's leftovers is due (the cadence is told in
// env_base.h).
enum class SweepNeed { kNone, kPaced, kAtOnce };

// Whether the leftovers of `name` in `folder` are due for a sweep; `failed`
// asks for one at the next replacement instead, whatever the folder's mark
// says.
SweepNeed SweepDue(const std::string& folder, const std::string& name, bool failed = false) {
  static std::mutex mutex;
  static std::map<std::string, std::chrono::steady_clock::time_point> swept;
  static std::set<std::string> after_failure;
  const auto now = std::chrono::steady_clock::now();
  std::lock_guard<std::mutex> lock(mutex);
  const std::string key = folder + "/" + name;
  if (failed) {
    swept.erase(key);
    after_failure.insert(key);
    return SweepNeed::kNone;
  }
  auto [at, fresh] = swept.emplace(key, now);
  if (!fresh && now - at->second < std::chrono::minutes(1)) return SweepNeed::kNone;
  at->second = now;
  return after_failure.erase(key) > 0 ? SweepNeed::kAtOnce : SweepNeed::kPaced;
}

// A folder of more entries than this is crowded: its sweeps are paced
// across processes by the mark ".<name>.swept" (see env_base.h).
constexpr size_t kCrowdedFolder = 1000;
constexpr int64_t kSweepPaceNs = 60LL * 1000 * 1000 * 1000;

// Removes the leftovers of `name` in `folder` whose writers died. A file
// under our own process id that we are not using was left by an earlier
// process that had the same id. A paced sweep of a crowded folder is left
// out while its mark says another process swept it within the last minute.
void SweepDeadReplacements(Replacement& steps, const std::string& folder, char separator,
                           const std::string& name, long pid, SweepNeed need) {
  const std::string mark = folder + separator + "." + name + ".swept";
  const std::optional<int64_t> marked = steps.MarkTime(mark);
  const int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  // A mark from the future (another computer's clock) is no proof.
  if (need == SweepNeed::kPaced && marked && *marked <= now + kSweepPaceNs &&
      now - *marked < kSweepPaceNs) {
    return;
  }
  std::vector<std::string> dead;
  const std::vector<std::string> entries = steps.ListFolder();
  for (const std::string& entry : entries) {
    const std::optional<long> writer = ReplacementWriter(entry, name);
    if (!writer) continue;
    const std::string native = folder + separator + entry;
    if (*writer == pid ? !InFlight(native) : !steps.ProcessLives(*writer)) dead.push_back(native);
  }
  for (const std::string& native : dead) steps.Remove(native);
  if (entries.size() > kCrowdedFolder) {
    steps.Mark(mark);
  } else if (marked) {
    steps.Remove(mark);  // no longer crowded: listing it is cheaper than a mark
  }
}

}  // namespace

InFlightMark::InFlightMark(std::string native) : native_(std::move(native)) {
  std::lock_guard<std::mutex> lock(in_flight_mutex);
  in_flight.insert(native_);
}

InFlightMark::~InFlightMark() {
  std::lock_guard<std::mutex> lock(in_flight_mutex);
  in_flight.erase(native_);
}

std::string ReplacementPath(const std::string& folder, char separator, const std::string& name,
                            long pid, std::string_view ending) {
  static std::atomic<unsigned> counter{0};
  return folder + separator + "." + name + "." + std::to_string(pid) + "." +
         std::to_string(counter.fetch_add(1)) + std::string(ending);
}

std::optional<long> ReplacementWriter(std::string_view entry, std::string_view name) {
  const size_t prefix = name.size() + 2;  // ".<name>."
  if (entry.size() <= prefix + 4 || entry[0] != '.' || entry[prefix - 1] != '.' ||
      !EqualsNoCase(entry.substr(1, name.size()), name)) {
    return std::nullopt;
  }
  if (!entry.ends_with(".new") && !entry.ends_with(".old")) return std::nullopt;
  const std::string rest(entry.substr(prefix));
  char* end = nullptr;
  const long pid = std::strtol(rest.c_str(), &end, 10);
  if (pid <= 0 || end == nullptr || *end != '.') return std::nullopt;
  return pid;
}

int ReplaceThrough(Replacement& steps, char separator, const std::string& name, long pid, bool hold,
                   std::string_view bytes) {
  const std::string& folder = steps.folder();
  if (int error = steps.CheckTarget()) return error;
  if (SweepNeed need = SweepDue(folder, name); need != SweepNeed::kNone) {
    SweepDeadReplacements(steps, folder, separator, name, pid, need);
  }
  InFlightMark mark(ReplacementPath(folder, separator, name, pid, ".new"));
  const std::string& temp = mark.native();
  if (int error = steps.Create(temp)) {
    (void)SweepDue(folder, name, /*failed=*/true);  // the creation's error is the one told
    return error;
  }
  int error = steps.Fill(bytes);
  if (error == 0) error = steps.Sync();
  if (!hold) {
    const int closed = steps.Close();
    if (error == 0) error = closed;
  }
  if (error == 0) error = steps.MoveIntoPlace(temp);
  if (error != 0) {
    steps.Discard(temp);
    (void)SweepDue(folder, name, /*failed=*/true);  // perhaps leftovers filled the disk
    return error;
  }
  steps.Settle();
  return 0;
}

// -- modification times

Status MarkedModified(const std::string& path, int stepped) {
  const std::string what = "cannot mark " + path + " modified";
  if (stepped < 0) return Status::Failure(what, "its time does not move on");
  return Checked(what, stepped);
}

int StepTimePast(int64_t previous, int64_t not_before, int64_t first_step, int64_t growth,
                 const std::function<int(int64_t ns)>& set,
                 const std::function<int(int64_t& ns)>& stored) {
  for (int64_t step = first_step; step <= 2000000000LL; step *= growth) {
    if (int error = set(std::max(not_before, previous + step))) return error;
    int64_t now = 0;
    if (int error = stored(now)) return error;
    if (now > previous) return 0;
  }
  return -1;
}

}  // namespace carob::platform
