// Files as a reader independent of the program's layers sees them: lines,
// queue entries (the tests' one entry parser, and the entry header the
// family's programs write) and databank values.
#pragma once

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/world.h"

namespace carob::testing {

// The start of every entry's header line; the moment follows it.
inline constexpr const char* kRozHeader = "--- Entry by ROZ Default on ";

// An entry's header line, and a whole entry as a program of the family
// appends it: header, text, CR LF.
inline std::string RozHeader(const std::string& stamp = "12-07-2026 08:29:45") {
  return kRozHeader + stamp + "\r\n";
}
inline std::string RozEntry(const std::string& text,
                            const std::string& stamp = "12-07-2026 08:29:45") {
  return RozHeader(stamp) + text + "\r\n";
}

// The lines of a text, split at LF with a CR before it dropped (a last
// line without its end counts).
inline std::vector<std::string> SplitLines(const std::string& bytes) {
  std::vector<std::string> lines;
  for (size_t at = 0, end; at < bytes.size(); at = end + 1) {
    end = std::min(bytes.find('\n', at), bytes.size());
    lines.push_back(bytes.substr(at, end - at - (end > at && bytes[end - 1] == '\r')));
  }
  return lines;
}

// The lines of a file at a native path, and whether one of them is `line`.
inline std::vector<std::string> ReadLines(const std::string& native_path) {
  return SplitLines(ReadNative(native_path));
}
inline bool HasLine(const std::string& native_path, const std::string& line) {
  return std::ranges::count(ReadLines(native_path), line) > 0;
}

// One entry of a queue file: its header line and its text lines.
struct QueueEntry {
  std::string header;
  std::vector<std::string> lines;
};

// A line beginning with "---" starts an entry; lines before the first
// header form an entry without one.
inline std::vector<QueueEntry> ParseQueue(const std::string& bytes) {
  std::vector<QueueEntry> entries;
  for (const std::string& line : SplitLines(bytes)) {
    if (line.starts_with("---")) {
      entries.push_back({line, {}});
    } else {
      if (entries.empty()) entries.emplace_back();
      entries.back().lines.push_back(line);
    }
  }
  return entries;
}

// Value of a key in a databank file (case-blind key, blanks trimmed), or
// nullopt when the key is absent.
inline std::optional<std::string> BankValue(const std::string& bytes, const std::string& key) {
  auto norm = [](std::string s, bool upper) {
    s.erase(0, std::min(s.find_first_not_of(' '), s.size()));
    s.erase(s.find_last_not_of(' ') + 1);
    if (upper) for (char& c : s) c = static_cast<char>(std::toupper(c & 0xff));
    return s;
  };
  for (const std::string& line : SplitLines(bytes)) {
    const size_t eq = line.find('=');
    if (eq != std::string::npos && norm(line.substr(0, eq), true) == norm(key, true)) {
      return norm(line.substr(eq + 1), false);
    }
  }
  return std::nullopt;
}

}  // namespace carob::testing
