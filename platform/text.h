// Text helpers shared by every layer. Text is bytes in the ANSI code page
// (Windows-1252); trimming removes blanks (the space character) only.
#pragma once

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
// Position (from 0) of the first case-blind occurrence of needle in
// haystack, or npos. An empty needle occurs at 0 of a non-empty haystack and
// nowhere in an empty one.
size_t FindNoCase(std::string_view haystack, std::string_view needle);
// "occurs in": needle found in haystack, letter case aside.
bool OccursIn(std::string_view needle, std::string_view haystack);

}  // namespace carob::platform
