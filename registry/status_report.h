// A person-readable view of the STATUS databank: the computer-wide keys
// ("Local ID", "Pulse") and the records of the applications, grouped by
// application name.
#pragma once

#include <string>
#include <vector>

#include "databank/databank.h"
#include "platform/env.h"
#include "registry/registry.h"

namespace carob::registry {

struct StatusFact {
  std::string label;  // the key without the application's name ("running", "ID")
  std::string value;
};

struct StatusApplication {
  std::string name;
  std::vector<StatusFact> facts;  // running, path, last login date/time first, then the rest
  bool running = false;
  // Recorded running, but its run lock is left unheld: it was killed.
  bool lock_unheld = false;
};

struct StatusReport {
  std::string bank;      // the STATUS databank's name
  std::string path;      // its file
  bool readable = false; // the file exists and could be read
  bool exists = false;   // a file stands under its name (nothing has run yet when not)
  platform::Status read; // why it could not be read, when it exists
  std::string local_id;  // "" when not recorded
  std::string pulse;     // "" when not recorded
  std::vector<StatusApplication> applications;  // in order of first appearance
  std::vector<StatusFact> other;                // keys of no application
};

// Groups the lines of a STATUS databank file. Lines are taken as Query takes
// them: the first line of a key counts, keys match case-blind, lines without
// a key or with an empty value are passed over. An application is a name that
// carries one of the registration keys (" running", " path", " last login
// date", " last login time"); every other key that starts with such a name
// and a blank is one of its facts.
StatusReport GroupStatusLines(const std::vector<std::string>& lines);

// Reads the STATUS databank that `registry` would use, without writing
// anything and without the size guard.
StatusReport ReadStatusReport(platform::Env& env, databank::Databank& db, Registry& registry);

// The report as lines of text (each ending "\n").
std::string FormatStatusReport(const StatusReport& report);

}  // namespace carob::registry
