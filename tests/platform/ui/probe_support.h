// Starting the probe program (and other programs) as real processes, and
// reading their event logs.
#pragma once

#include <sstream>
#include <string>
#include <vector>

#include "tests/support/process.h"

namespace carob::testing {

inline std::vector<std::string> ReadLines(const std::string& native_path) {
  std::vector<std::string> lines;
  std::istringstream in(ReadNative(native_path));
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

inline bool HasLine(const std::string& log, const std::string& line) {
  for (const std::string& l : ReadLines(log)) {
    if (l == line) return true;
  }
  return false;
}

// `argv` started with `changes` to this process's environment: "NAME=value"
// adds or replaces NAME, "NAME=" with nothing after it removes it.
inline Launch WithEnv(std::vector<std::string> argv, const std::vector<std::string>& changes) {
  Launch l;
  l.argv = std::move(argv);
  for (const std::string& c : changes) {
    const size_t eq = c.find('=');
    if (eq + 1 == c.size()) {
      l.unset_env.push_back(c.substr(0, eq));
    } else {
      l.set_env.emplace_back(c.substr(0, eq), c.substr(eq + 1));
    }
  }
  return l;
}

}  // namespace carob::testing
