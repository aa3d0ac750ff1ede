#include "registry/status_report.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <set>
#include <utility>

#include "platform/text.h"
#include "registry/run_lock.h"

namespace carob::registry {

namespace {

using platform::Upper;

// The registration keys, in the order they are shown.
constexpr std::array<const char*, 4> kRecordSuffixes = {" running", " path", " last login date",
                                                        " last login time"};

bool EndsWithNoCase(const std::string& text, const std::string& suffix) {
  return text.size() > suffix.size() &&
         platform::EqualsNoCase(std::string_view(text).substr(text.size() - suffix.size()), suffix);
}

}  // namespace

StatusReport GroupStatusLines(const std::vector<std::string>& lines) {
  StatusReport report;

  // The entries as Query sees them: first line of a key wins.
  std::vector<std::pair<std::string, std::string>> entries;
  std::set<std::string> seen;
  for (const std::string& line : lines) {
    std::string key = databank::KeyPart(line);
    if (key.empty()) continue;
    if (!seen.insert(Upper(key)).second) continue;
    std::string value = databank::ValuePart(line);
    if (value.empty()) continue;  // stands for an absent key
    entries.emplace_back(std::move(key), std::move(value));
  }

  // The application names, from the registration keys.
  for (const auto& [key, value] : entries) {
    for (const char* suffix : kRecordSuffixes) {
      if (!EndsWithNoCase(key, suffix)) continue;
      std::string name = platform::Trim(key.substr(0, key.size() - std::string(suffix).size()));
      if (name.empty()) continue;
      bool known = std::any_of(report.applications.begin(), report.applications.end(),
                               [&](const StatusApplication& a) { return platform::EqualsNoCase(a.name, name); });
      if (!known) report.applications.push_back(StatusApplication{name, {}, false});
      break;
    }
  }

  std::vector<std::vector<StatusFact>> record(report.applications.size());
  for (const auto& [key, value] : entries) {
    if (platform::EqualsNoCase(key, "Local ID")) {
      report.local_id = value;
      continue;
    }
    if (platform::EqualsNoCase(key, "Pulse")) {
      report.pulse = value;
      continue;
    }
    // The longest application name wins ("Lex" and "Lex Tools" both
    // registered: "Lex Tools path" belongs to "Lex Tools").
    int owner = -1;
    for (size_t a = 0; a < report.applications.size(); ++a) {
      const std::string& name = report.applications[a].name;
      if (platform::FindNoCase(key, name + " ") != 0) continue;
      if (owner < 0 || name.size() > report.applications[owner].name.size()) owner = static_cast<int>(a);
    }
    if (owner < 0) {
      report.other.push_back(StatusFact{key, value});
      continue;
    }
    StatusApplication& app = report.applications[owner];
    std::string label = platform::Trim(key.substr(app.name.size()));
    if (platform::EqualsNoCase(label, "running")) app.running = Upper(value) == "YES";
    app.facts.push_back(StatusFact{label, value});
  }

  // Registration facts first, in a fixed order; the others as they stand.
  auto rank = [](const StatusFact& f) {
    for (size_t i = 0; i < kRecordSuffixes.size(); ++i) {
      if (platform::EqualsNoCase(" " + f.label, kRecordSuffixes[i])) return i;
    }
    return kRecordSuffixes.size();
  };
  for (StatusApplication& app : report.applications) {
    std::stable_sort(app.facts.begin(), app.facts.end(),
                     [&](const StatusFact& a, const StatusFact& b) { return rank(a) < rank(b); });
  }
  return report;
}

StatusReport ReadStatusReport(platform::Env& env, databank::Databank& db, Registry& registry) {
  std::string bank = registry.FindStatusBank();
  std::string name = bank;
  std::string path = db.ResolveBankPath(name);
  std::vector<std::string> lines;
  StatusReport report;
  // A name that cannot be found is the only "no" that is an answer; a
  // folder standing there, or a file that cannot be read, is a failure.
  platform::Status read = path.empty() ? platform::Status::Failure("cannot read " + bank, "no file name")
                                       : db.ReadLines(bank, lines);
  const bool exists = read.error() != ENOENT;
  const bool readable = read.ok();
  if (readable) report = GroupStatusLines(lines);
  for (StatusApplication& app : report.applications) {
    app.lock_unheld = app.running && RunLockAbandoned(env, db, registry, app.name);
  }
  report.bank = bank;
  report.path = path;
  report.readable = readable;
  report.exists = exists;
  report.read = read;
  return report;
}

std::string FormatStatusReport(const StatusReport& report) {
  std::string out;
  auto line = [&out](const std::string& text) { out += text + "\n"; };
  line("STATUS databank: " + report.bank);
  line("Local ID: " + (report.local_id.empty() ? std::string("(not recorded)") : report.local_id));
  line("Pulse: " + (report.pulse.empty() ? std::string("(not recorded)") : report.pulse));
  if (report.applications.empty() && report.other.empty()) {
    line("");
    line("No applications recorded.");
  }
  for (const StatusApplication& app : report.applications) {
    line("");
    line(app.name + (app.lock_unheld ? " (recorded running, but not running: its run lock is not held)"
                     : app.running ? " (running)"
                                   : " (not running)"));
    size_t width = 0;
    for (const StatusFact& f : app.facts) width = std::max(width, f.label.size());
    for (const StatusFact& f : app.facts)
      line("  " + f.label + ":" + std::string(width - f.label.size() + 1, ' ') + f.value);
  }
  if (!report.other.empty()) {
    line("");
    line("Other keys");
    for (const StatusFact& f : report.other) line("  " + f.label + " = " + f.value);
  }
  return out;
}

}  // namespace carob::registry
