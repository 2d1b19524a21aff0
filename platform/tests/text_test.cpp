#include "platform/text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {
namespace {

std::string formatted(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string formatted(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  auto first = formatV(fmt, args);
  // The caller's list stays usable: a second pass gives the same text.
  auto second = formatV(fmt, args);
  va_end(args);
  EXPECT_EQ(first, second);
  return first.value_or("<rejected>");
}

TEST(TextTest, FormatVHasNoLengthLimit) {
  EXPECT_EQ(formatted("%s=%04X", "id", 0x2Au), "id=002A");
  const std::string longText(5000, 'x');
  EXPECT_EQ(formatted("<%s>", longText.c_str()), "<" + longText + ">");
  EXPECT_EQ(formatted("%s", ""), "");
}

TEST(TextTest, WholeHexFields) {
  struct Case {
    std::string_view text;
    std::size_t maxDigits;
    std::optional<std::uint32_t> digits;  // parseHexDigits
    std::optional<std::uint32_t> number;  // parseHexNumber (ignores maxDigits)
  };
  const Case cases[] = {
      {"0", 8, 0u, 0u},
      {"ff", 2, 0xFFu, 0xFFu},
      {"fFf", 2, std::nullopt, 0xFFFu},  // more digits than the field holds
      {"FFFFFFFF", 8, 0xFFFFFFFFu, 0xFFFFFFFFu},
      {"100000000", 8, std::nullopt, std::nullopt},  // nine digits
      {"0x1F", 8, std::nullopt, 0x1Fu},
      {"0X1f", 8, std::nullopt, 0x1Fu},
      {"0x", 8, std::nullopt, std::nullopt},
      {"0x0xF", 8, std::nullopt, std::nullopt},
      {"", 8, std::nullopt, std::nullopt},
      {" 1", 8, std::nullopt, std::nullopt},
      {"1 ", 8, std::nullopt, std::nullopt},
      {"-1", 8, std::nullopt, std::nullopt},
      {"g", 8, std::nullopt, std::nullopt},
      {"12", 9, std::nullopt, 0x12u},  // a width beyond 32 bits is the caller's mistake
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text));
    EXPECT_EQ(parseHexDigits(c.text, c.maxDigits), c.digits);
    EXPECT_EQ(parseHexNumber(c.text), c.number);
  }
  EXPECT_EQ(parseHexDigits64("0123456789abCDEF"), 0x0123456789ABCDEFull);
  EXPECT_EQ(parseHexDigits64("123456789ABC", 12), 0x123456789ABCull);
  EXPECT_EQ(parseHexDigits64("123456789ABCD", 12), std::nullopt);
  EXPECT_EQ(parseHexDigits64("12345678901234567"), std::nullopt);
  EXPECT_EQ(hexDigit('a'), 10);
  EXPECT_EQ(hexDigit('G'), -1);
}

TEST(TextTest, LeadingHexStopsAtTheFirstOtherCharacter) {
  struct Case {
    std::string_view text;
    std::optional<std::uint32_t> value;
    std::size_t end;  // where the digits stopped (when there is a value)
  };
  const Case cases[] = {
      {"0", 0u, 1},
      {"  1A,rest", 0x1Au, 4},
      {"00\r\n", 0u, 2},
      {"ffffffff", 0xFFFFFFFFu, 8},
      {"0000000000ff", 0xFFu, 12},  // leading zeros are no overflow
      {"100000000", std::nullopt, 0},
      {"0x1F", 0u, 1},           // no prefix: a reply's number starts with its digits
      {"\t1", std::nullopt, 0},  // only spaces lead
      {"", std::nullopt, 0},
      {"   ", std::nullopt, 0},
      {",12", std::nullopt, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.text));
    std::size_t end = 999;
    EXPECT_EQ(parseLeadingHex(c.text, &end), c.value);
    if (c.value) {
      EXPECT_EQ(end, c.end);
    }
    EXPECT_EQ(parseLeadingHex(c.text), c.value);
  }
}

TEST(TextTest, FoldingIsAsciiOnly) {
  EXPECT_EQ(foldedAscii("AbC-Z\xC4"), "abc-z\xC4");
  EXPECT_TRUE(equalsFolded("Stop", "sTOP"));
  EXPECT_FALSE(equalsFolded("stop", "stops"));
  EXPECT_FALSE(equalsFolded("\xC4", "\xE4"));  // no letters beyond ASCII
  EXPECT_TRUE(startsWithFolded("Region12", "REGION"));
  EXPECT_FALSE(startsWithFolded("Reg", "Region"));

  EXPECT_TRUE(lessFolded("alpha", "Beta"));
  EXPECT_FALSE(lessFolded("Beta", "alpha"));
  EXPECT_FALSE(lessFolded("ABC", "abc"));
  EXPECT_FALSE(lessFolded("abc", "ABC"));
  EXPECT_TRUE(lessFolded("ab", "ABC"));
  EXPECT_TRUE(lessFolded("z", "\xC4"));  // bytes beyond ASCII sort after it, not before
  EXPECT_FALSE(lessFolded("", ""));
}

TEST(TextTest, Trimming) {
  EXPECT_EQ(trim(" \t a b \t "), "a b");
  EXPECT_EQ(trim("\r\n x \r\n"), "\r\n x \r\n");  // line ends are not blanks
  EXPECT_EQ(trimLeft("  a "), "a ");
  EXPECT_EQ(trimRight("  a "), "  a");
  EXPECT_EQ(trim(" \t "), "");
  EXPECT_EQ(trim(" \tname\t ", " "), "\tname\t");
  EXPECT_EQ(trim("xxaxx", "x"), "a");
  EXPECT_EQ(trim("   ", " "), "");
  EXPECT_EQ(trim("", " "), "");
}

}  // namespace
}  // namespace platform
