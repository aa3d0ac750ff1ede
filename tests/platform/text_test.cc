#include "platform/text.h"

#include <gtest/gtest.h>

namespace carob::platform {
namespace {

TEST(TextTest, TrimRemovesSpacesOnlyAtBothEnds) {
  const struct {
    const char* text;
    const char* trimmed;
  } cases[] = {{"  the sky  ", "the sky"}, {"\tx \r\n", "\tx \r\n"}, {" \tx\t ", "\tx\t"},
               {"     ", ""}, {"", ""}};
  for (const auto& c : cases) EXPECT_EQ(Trim(c.text), c.trimmed) << '[' << c.text << ']';

  std::string s = "  a b  ";
  std::string& same = TrimInPlace(s);
  EXPECT_EQ(&same, &s);
  EXPECT_EQ(s, "a b");
  std::string blanks = "   ";
  EXPECT_EQ(TrimInPlace(blanks), "");
}

TEST(TextTest, UpperFollowsTheCodePage) {
  EXPECT_EQ(Upper("abc xyz 09!"), "ABC XYZ 09!");
  const struct {
    char small, upper;
  } bytes[] = {
      // Accented small letters 0xE0..0xFE move down by 0x20, except the
      // division sign 0xF7; sharp s (0xDF) has no capital here.
      {'\xE0', '\xC0'}, {'\xE9', '\xC9'}, {'\xFE', '\xDE'}, {'\xF7', '\xF7'}, {'\xDF', '\xDF'},
      // Letters outside the Latin-1 block.
      {'\x9A', '\x8A'}, {'\x9C', '\x8C'}, {'\x9E', '\x8E'}, {'\xFF', '\x9F'},
      // Capitals and other bytes stay.
      {'\xC0', '\xC0'}, {'\x8A', '\x8A'}, {'\xB5', '\xB5'},
  };
  for (const auto& b : bytes) {
    EXPECT_EQ(UpperChar(b.small), b.upper) << std::hex << (b.small & 0xFF);
  }
  EXPECT_EQ(Upper("caf\xE9 \xFF"), "CAF\xC9 \x9F");
}

TEST(TextTest, CaseBlindComparisonAndSearch) {
  EXPECT_TRUE(EqualsNoCase("Zadozo", "ZADOZO"));
  EXPECT_TRUE(EqualsNoCase("\xE9t\xE9", "\xC9T\xC9"));
  EXPECT_FALSE(EqualsNoCase("abc", "abd"));
  EXPECT_FALSE(EqualsNoCase("abc", "ab"));

  EXPECT_EQ(FindNoCase("What colour is THE SKY?", "the sky"), 15u);
  EXPECT_EQ(FindNoCase("aaab", "AAB"), 1u);
  EXPECT_EQ(FindNoCase("abc", "abcd"), std::string_view::npos);
  EXPECT_EQ(FindNoCase("abc", "x"), std::string_view::npos);
  EXPECT_EQ(FindNoCase("abc", ""), 0u);
  EXPECT_EQ(FindNoCase("", ""), std::string_view::npos);

  EXPECT_TRUE(OccursIn("SKY", "the sky be blue"));
  EXPECT_FALSE(OccursIn("sea", "the sky be blue"));
  EXPECT_FALSE(OccursIn("", ""));
}

}  // namespace
}  // namespace carob::platform
