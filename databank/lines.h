// Line handling shared by the reading and the writing side of the engine.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "databank/databank.h"
#include "platform/env.h"
#include "platform/text.h"

namespace carob::databank::lines {

using platform::ForEachLine;

// The bank stamp of a file as it is described by info, written into a
// buffer of its own (a cache test allocates nothing).
class StampText {
 public:
  explicit StampText(const platform::FileInfo& info);
  std::string_view view() const { return {buf_, size_}; }
  std::string str() const { return std::string(view()); }

 private:
  char buf_[96];
  size_t size_ = 0;
};
inline std::string StampOf(const platform::FileInfo& info) { return StampText(info).str(); }

// Why a databank name resolves to no path: a ":" outside a drive
// designation, or else a name that denotes a folder.
std::string NoPathCause(std::string_view name);

// The slot of a cache that answers for (path, stamp, key), or nullptr.
const CacheSlot* FindSlot(const Cache& cache, std::string_view path, std::string_view stamp,
                          std::string_view key);

inline std::string_view TrimView(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && s[b] == ' ') ++b;
  while (e > b && s[e - 1] == ' ') --e;
  return s.substr(b, e - b);
}

// The upper case of every byte, by the code page's rules.
inline const std::array<char, 256>& UpperTable() {
  static const std::array<char, 256> table = [] {
    std::array<char, 256> t{};
    for (int i = 0; i < 256; ++i) t[i] = platform::UpperChar(static_cast<char>(i));
    return t;
  }();
  return table;
}

inline char Up(char c) { return UpperTable()[static_cast<unsigned char>(c)]; }

// Case-blind equality of a trimmed piece of a line with a key that is
// already trimmed and upper-cased.
inline bool SameKey(std::string_view piece, std::string_view upper_key) {
  std::string_view t = TrimView(piece);
  if (t.size() != upper_key.size()) return false;
  for (size_t i = 0; i < t.size(); ++i) {
    if (Up(t[i]) != upper_key[i]) return false;
  }
  return true;
}

// When line is an entry of upper_key (its text before the first "=",
// trimmed, equals the key letter case aside), the position of that "=".
inline size_t KeyLineEquals(std::string_view line, std::string_view upper_key) {
  // Most lines differ in their first character: pass them over before
  // looking for the "=".
  size_t first = 0;
  while (first < line.size() && line[first] == ' ') ++first;
  if (first == line.size() || upper_key.empty() || Up(line[first]) != upper_key[0]) {
    return std::string_view::npos;
  }
  size_t eq = line.find('=');
  if (eq == std::string_view::npos) return std::string_view::npos;
  return SameKey(line.substr(0, eq), upper_key) ? eq : std::string_view::npos;
}

}  // namespace carob::databank::lines
