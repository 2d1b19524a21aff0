#include "Numbers.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

using namespace quillmark;

TEST(Numbers, FormatMMRoundsHalvesAwayFromZero) {
  struct Case {
    double value;
    char sep;
    const char* text;
  } cases[] = {
      {0, '.', "0.00"},
      {0.125, '.', "0.13"},
      {-0.125, '.', "-0.13"},
      {0.135, '.', "0.14"},
      {2.345, '.', "2.35"},
      {2.344999, '.', "2.34"},
      {9.995, '.', "10.00"},
      {0.005, '.', "0.01"},
      {0.004, '.', "0.00"},
      {-0.001, '.', "0.00"},
      {12.35, ',', "12,35"},
      {100, '.', "100.00"},
      {2009.9999999999998 / 1000, '.', "2.01"},
      {1234567.891, '.', "1234567.89"},
      {1e300, '.', ""},  // only checked not to crash or overrun
  };
  for (const auto& c : cases) {
    const std::string s = FormatMM(c.value, c.sep);
    if (*c.text) {
      EXPECT_EQ(s, c.text) << c.value;
    }
  }
}

TEST(Numbers, StrictDecimalNumbersInTheUsersSeparator) {
  struct Case {
    const char* text;
    char sep;
    bool ok;
    double value;
  } cases[] = {
      {" 12.5 ", '.', true, 12.5}, {"12,", ',', true, 12},   {".5", '.', true, 0.5},  {"-3", '.', true, -3},
      {"+4", '.', true, 4},        {"1.2.3", '.', false, 0}, {"abc", '.', false, 0},  {"", '.', false, 0},
      {" ", '.', false, 0},        {"1e5", '.', false, 0},   {"12.5", ',', false, 0}, {"1 2", '.', false, 0},
      {"-", '.', false, 0},        {"0x10", '.', false, 0},
  };
  for (const auto& c : cases) {
    const auto v = ParseNumber(c.text, c.sep);
    EXPECT_EQ(v.has_value(), c.ok) << "'" << c.text << "'";
    if (v && c.ok) {
      EXPECT_EQ(*v, c.value) << c.text;
    }
  }
}

TEST(Numbers, ToleranceIsPlainDoubleArithmetic) {
  EXPECT_TRUE(IsGreater(10.02, 10));
  EXPECT_FALSE(IsGreater(10.005, 10));
  EXPECT_FALSE(IsGreater(10.01, 10));  // 10.01 - 10 comes out just below 0.01
  EXPECT_TRUE(IsLess(9.98, 10));
  EXPECT_FALSE(IsLess(9.995, 10));
}

TEST(Numbers, FileNumbersHaveFifteenSignificantDigits) {
  EXPECT_EQ(FormatFileNumber(2.01 * 1000.0), "2010");
  EXPECT_EQ(FormatFileNumber(12.35 * 1000.0), "12350");
  EXPECT_EQ(FormatFileNumber(-1.5 * 1000.0), "-1500");
  EXPECT_EQ(FormatFileNumber(12.3456 * 1000.0), "12345.6");
  EXPECT_EQ(FormatFileNumber(10.5), "10.5");
}

TEST(Numbers, SeparatorComesFromTheEnvironment) {
  ::setenv("LC_ALL", "C", 1);
  EXPECT_EQ(GetDecimalSpecifier(), ".");
  ::unsetenv("LC_ALL");
}

}  // namespace
