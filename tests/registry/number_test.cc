// Reading the Pulse's text as a number and rounding it to 32 bits.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "registry/registry.h"

namespace carob::registry {
namespace {

TEST(ReadLeadingNumber, TakesTheNumberAtTheStartIgnoringBlanks) {
  struct Case {
    const char* text;
    double expected;
  };
  const Case cases[] = {
      {"1000", 1000},   {" 1 2 5 ", 125},  {"-40", -40},    {"+7", 7},       {"1e3", 1000},
      {"1E3", 1000},    {"1 e 3", 1000},   {"2.5e-1", 0.25}, {".5", 0.5},    {"5.", 5},
      {"1.2.3", 1.2},   {"12abc", 12},     {"1e", 1},       {"1e+", 1},      {"1ex", 1},
      {"- 3", -3},      {"1,5", 1},        {"0x10", 0},     {"007", 7},      {"3 .5", 3.5},
  };
  for (const Case& c : cases) EXPECT_DOUBLE_EQ(ReadLeadingNumber(c.text), c.expected) << c.text;
}

TEST(ReadLeadingNumber, TextWithoutANumberReadsZero) {
  for (const char* text : {"", "   ", "fast", "-", "+", ".", "-.", "--5", "e3", "\t5", "Yes"})
    EXPECT_EQ(ReadLeadingNumber(text), 0) << "[" << text << "]";
}

TEST(ReadLeadingNumber, OutOfRangeExponentsOverflowOrVanish) {
  EXPECT_TRUE(std::isinf(ReadLeadingNumber("1e400")));
  EXPECT_TRUE(std::isinf(ReadLeadingNumber("-1e400")));
  EXPECT_LT(ReadLeadingNumber("-1e400"), 0);
  EXPECT_TRUE(std::isinf(ReadLeadingNumber(std::string(400, '9'))));
  EXPECT_EQ(ReadLeadingNumber("1e-400"), 0);
  EXPECT_EQ(ReadLeadingNumber("0.000000000000000000000000000000001e-300"), 0);
  EXPECT_EQ(ReadLeadingNumber("0e99999999999999999999"), 0);
}

TEST(RoundToInt32, HalvesGoToTheEvenNeighbour) {
  EXPECT_EQ(RoundToInt32(2.5), 2);
  EXPECT_EQ(RoundToInt32(3.5), 4);
  EXPECT_EQ(RoundToInt32(0.5), 0);
  EXPECT_EQ(RoundToInt32(1.5), 2);
  EXPECT_EQ(RoundToInt32(-0.5), 0);
  EXPECT_EQ(RoundToInt32(-1.5), -2);
  EXPECT_EQ(RoundToInt32(-2.5), -2);
  EXPECT_EQ(RoundToInt32(2.4999), 2);
  EXPECT_EQ(RoundToInt32(2.5001), 3);
  EXPECT_EQ(RoundToInt32(-2.6), -3);
}

TEST(RoundToInt32, ValuesOutsideThirtyTwoBitsDoNotConvert) {
  EXPECT_EQ(RoundToInt32(2147483647.0), 2147483647);
  EXPECT_EQ(RoundToInt32(2147483647.4), 2147483647);
  EXPECT_EQ(RoundToInt32(2147483647.5), std::nullopt);  // rounds to 2^31
  EXPECT_EQ(RoundToInt32(-2147483648.0), std::numeric_limits<int32_t>::min());
  EXPECT_EQ(RoundToInt32(-2147483648.5), std::numeric_limits<int32_t>::min());  // even neighbour
  EXPECT_EQ(RoundToInt32(-2147483649.0), std::nullopt);
  EXPECT_EQ(RoundToInt32(3e9), std::nullopt);
  EXPECT_EQ(RoundToInt32(std::numeric_limits<double>::infinity()), std::nullopt);
  EXPECT_EQ(RoundToInt32(std::nan("")), std::nullopt);
}

}  // namespace
}  // namespace carob::registry
