#include "platform/text.h"

#include <gtest/gtest.h>

namespace carob::platform {
namespace {

TEST(TextTest, TrimRemovesSpacesOnlyAtBothEnds) {
  EXPECT_EQ(Trim("  the sky  "), "the sky");
  EXPECT_EQ(Trim("\tx \r\n"), "\tx \r\n");
  EXPECT_EQ(Trim(" \tx\t "), "\tx\t");
  EXPECT_EQ(Trim("     "), "");
  EXPECT_EQ(Trim(""), "");

  std::string s = "  a b  ";
  std::string& same = TrimInPlace(s);
  EXPECT_EQ(&same, &s);
  EXPECT_EQ(s, "a b");
  std::string blanks = "   ";
  EXPECT_EQ(TrimInPlace(blanks), "");
}

TEST(TextTest, UpperFollowsTheCodePage) {
  EXPECT_EQ(Upper("abc xyz 09!"), "ABC XYZ 09!");
  // Accented small letters 0xE0..0xFE move down by 0x20, except the
  // division sign 0xF7.
  EXPECT_EQ(UpperChar('\xE0'), '\xC0');
  EXPECT_EQ(UpperChar('\xE9'), '\xC9');
  EXPECT_EQ(UpperChar('\xFE'), '\xDE');
  EXPECT_EQ(UpperChar('\xF7'), '\xF7');
  EXPECT_EQ(UpperChar('\xDF'), '\xDF');  // sharp s has no capital here
  // Letters outside the Latin-1 block.
  EXPECT_EQ(UpperChar('\x9A'), '\x8A');
  EXPECT_EQ(UpperChar('\x9C'), '\x8C');
  EXPECT_EQ(UpperChar('\x9E'), '\x8E');
  EXPECT_EQ(UpperChar('\xFF'), '\x9F');
  // Capitals and other bytes stay.
  EXPECT_EQ(UpperChar('\xC0'), '\xC0');
  EXPECT_EQ(UpperChar('\x8A'), '\x8A');
  EXPECT_EQ(UpperChar('\xB5'), '\xB5');
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
