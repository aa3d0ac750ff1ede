#include "platform/text.h"

#include <algorithm>
#include <vector>

namespace carob::platform {

std::string Trim(std::string_view text) {
  std::string out(text);
  return TrimInPlace(out);
}

std::string& TrimInPlace(std::string& text) {
  size_t end = text.size();
  while (end > 0 && text[end - 1] == ' ') --end;
  text.erase(end);
  size_t begin = 0;
  while (begin < text.size() && text[begin] == ' ') ++begin;
  text.erase(0, begin);
  return text;
}

char UpperChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  if (u >= 'a' && u <= 'z') return static_cast<char>(u - 0x20);
  // Accented small letters of the code page; 0xF7 is the division sign.
  if (u >= 0xE0 && u <= 0xFE && u != 0xF7) return static_cast<char>(u - 0x20);
  switch (u) {
    case 0x9A: return static_cast<char>(0x8A);  // s caron
    case 0x9C: return static_cast<char>(0x8C);  // oe ligature
    case 0x9E: return static_cast<char>(0x8E);  // z caron
    case 0xFF: return static_cast<char>(0x9F);  // y diaeresis
    default: return c;
  }
}

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = UpperChar(c);
  return out;
}

static bool SameLetter(char a, char b) { return UpperChar(a) == UpperChar(b); }

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), SameLetter);
}

bool EndsWithNoCase(std::string_view text, std::string_view tail) {
  return text.size() >= tail.size() && EqualsNoCase(text.substr(text.size() - tail.size()), tail);
}

size_t FindNoCase(std::string_view haystack, std::string_view needle) {
  if (haystack.empty()) return std::string_view::npos;
  if (needle.empty()) return 0;
  if (needle.size() > haystack.size()) return std::string_view::npos;
  // Knuth-Morris-Pratt over upper-cased letters: time linear in both texts
  // whatever they hold, so one long text cannot stall the caller (a naive
  // search costs their product on texts like "aaa...ab").
  std::string pattern = Upper(needle);
  std::vector<size_t> border(pattern.size(), 0);
  for (size_t i = 1, k = 0; i < pattern.size(); ++i) {
    while (k > 0 && pattern[i] != pattern[k]) k = border[k - 1];
    if (pattern[i] == pattern[k]) ++k;
    border[i] = k;
  }
  for (size_t i = 0, k = 0; i < haystack.size(); ++i) {
    const char c = UpperChar(haystack[i]);
    while (k > 0 && c != pattern[k]) k = border[k - 1];
    if (c == pattern[k]) ++k;
    if (k == pattern.size()) return i + 1 - k;
  }
  return std::string_view::npos;
}

bool OccursIn(std::string_view needle, std::string_view haystack) {
  return FindNoCase(haystack, needle) != std::string_view::npos;
}

std::string JoinPath(std::string_view folder, std::string_view name) {
  std::string path(folder);
  if (!path.empty() && path.back() != '\\') path += '\\';
  path += name;
  return path;
}

}  // namespace carob::platform
