// The environment and argument arrays handed to the programs tests start.
#pragma once

#include <string>
#include <utility>
#include <vector>

extern char** environ;

namespace carob::testing {

// This process's environment as "NAME=value" texts, with every name in
// `unset` left out and every pair in `set` added (replacing a value the
// environment had).
inline std::vector<std::string> ChildEnvironment(
    const std::vector<std::pair<std::string, std::string>>& set,
    const std::vector<std::string>& unset = {}) {
  std::vector<std::string> vars;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string v = *e;
    const std::string name = v.substr(0, v.find('='));
    bool drop = false;
    for (const auto& n : unset) drop = drop || n == name;
    for (const auto& [n, value] : set) drop = drop || n == name;
    if (!drop) vars.push_back(v);
  }
  for (const auto& [name, value] : set) vars.push_back(name + "=" + value);
  return vars;
}

// A null-terminated array of pointers into `strings`, for exec and spawn
// calls; `strings` must outlive it.
inline std::vector<char*> CStrings(std::vector<std::string>& strings) {
  std::vector<char*> out;
  for (std::string& s : strings) out.push_back(s.data());
  out.push_back(nullptr);
  return out;
}

}  // namespace carob::testing
