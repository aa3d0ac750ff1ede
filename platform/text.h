// Text helpers shared by every layer. Text is bytes in the ANSI code page
// (Windows-1252); trimming removes blanks (the space character) only.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace carob::platform {

inline constexpr std::string_view kCrLf = "\r\n";

// Removes spaces (never tabs or line breaks) from both ends.
std::string Trim(std::string_view text);
// Trims in place and returns the same string.
std::string& TrimInPlace(std::string& text);
// Upper case by the Windows-1252 code page's rules.
std::string Upper(std::string_view text);
char UpperChar(char c);
// Case-blind equality (both sides upper-cased).
bool EqualsNoCase(std::string_view a, std::string_view b);
// True when `text` ends with `tail`, letter case aside.
bool EndsWithNoCase(std::string_view text, std::string_view tail);
// Position (from 0) of the first case-blind occurrence of needle in
// haystack, or npos. An empty needle occurs at 0 of a non-empty haystack and
// nowhere in an empty one.
size_t FindNoCase(std::string_view haystack, std::string_view needle);
// "occurs in": needle found in haystack, letter case aside.
bool OccursIn(std::string_view needle, std::string_view haystack);

// Joins a Windows-style folder and a name with one "\": a folder that
// already ends in "\" (a drive root such as "C:\") gets no second one, and
// an empty folder gives the name alone.
std::string JoinPath(std::string_view folder, std::string_view name);

// Calls fn(line, start) for every line of bytes, where start is the byte
// offset of the line's first character. A line ends at LF; a CR right
// before the LF is not part of the line; the last line needs no end. fn
// returns false to stop. This is how every file of the family is read.
template <class Fn>
void ForEachLine(std::string_view bytes, Fn&& fn) {
  size_t pos = 0;
  while (pos < bytes.size()) {
    const size_t lf = bytes.find('\n', pos);
    const size_t end = lf == std::string_view::npos ? bytes.size() : lf;
    size_t content_end = end;
    if (lf != std::string_view::npos && content_end > pos && bytes[content_end - 1] == '\r') {
      --content_end;
    }
    if (!fn(bytes.substr(pos, content_end - pos), static_cast<int64_t>(pos))) return;
    pos = lf == std::string_view::npos ? bytes.size() : lf + 1;
  }
}

}  // namespace carob::platform
