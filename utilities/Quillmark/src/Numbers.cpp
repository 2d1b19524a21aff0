#include "Numbers.h"

#include <langinfo.h>
#include <locale.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "platform/text.h"

namespace quillmark {

std::string GetDecimalSpecifier() {
  // The environment's numeric locale, read without changing the process's own.
  const locale_t loc = ::newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(nullptr));
  if (loc == static_cast<locale_t>(nullptr)) return ".";
  std::string sep = ::nl_langinfo_l(RADIXCHAR, loc);
  ::freelocale(loc);
  if (sep.size() != 1 || static_cast<unsigned char>(sep[0]) >= 0x80) return ".";
  return sep;
}

std::string FormatMM(double value, char sep) {
  if (!std::isfinite(value)) value = 0.0;
  const bool negative = value < 0;
  const double magnitude = std::fabs(value);
  std::string digits;  // the integer value of magnitude * 100, rounded
  if (magnitude >= 1e15) {
    char buf[400];
    std::snprintf(buf, sizeof buf, "%.0f", std::floor(magnitude * 100.0 + 0.5));
    digits = buf;
  } else {
    // The value's 15 significant digits, then rounding at the second decimal in decimal,
    // so that 0.125 becomes 0.13 and 2.345 (2.34499... in binary) 2.35.
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.14e", magnitude);
    std::string mantissa;
    const char* p = buf;
    for (; *p && *p != 'e'; ++p)
      if (*p >= '0' && *p <= '9') mantissa.push_back(*p);
    const int exponent = std::atoi(p + 1);
    // mantissa = d1 d2 ... d15 with the point after d1 shifted by exponent.
    const int keep = exponent + 1 + 2;  // digits up to the hundredths
    if (keep <= 0) {
      digits = keep == 0 && mantissa[0] >= '5' ? "1" : "0";
    } else {
      digits = mantissa.substr(0, std::min<std::size_t>(static_cast<std::size_t>(keep), mantissa.size()));
      while (static_cast<int>(digits.size()) < keep) digits.push_back('0');
      if (keep < static_cast<int>(mantissa.size()) && mantissa[static_cast<std::size_t>(keep)] >= '5') {
        int i = static_cast<int>(digits.size()) - 1;
        while (i >= 0 && digits[static_cast<std::size_t>(i)] == '9')
          digits[static_cast<std::size_t>(i--)] = '0';
        if (i < 0)
          digits.insert(digits.begin(), '1');
        else
          ++digits[static_cast<std::size_t>(i)];
      }
    }
  }
  while (digits.size() < 3) digits.insert(digits.begin(), '0');
  const std::size_t firstNonZero = digits.find_first_not_of('0');
  std::string out = digits.substr(0, digits.size() - 2) + sep + digits.substr(digits.size() - 2);
  if (negative && firstNonZero != std::string::npos) out.insert(out.begin(), '-');
  return out;
}

std::optional<double> ParseNumber(std::string_view text, char sep) {
  std::string t = Trim(text);
  std::size_t i = 0;
  bool negative = false;
  if (i < t.size() && (t[i] == '-' || t[i] == '+')) negative = t[i++] == '-';
  std::string plain;  // digits and '.' for the conversion
  bool digit = false, point = false;
  for (; i < t.size(); ++i) {
    const char c = t[i];
    if (c >= '0' && c <= '9') {
      plain.push_back(c);
      digit = true;
    } else if (c == sep && !point) {
      plain.push_back('.');
      point = true;
    } else {
      return std::nullopt;
    }
  }
  if (!digit || plain.size() > 300) return std::nullopt;
  double v = 0;
  const auto r = std::from_chars(plain.data(), plain.data() + plain.size(), v);
  if (r.ec != std::errc() || r.ptr != plain.data() + plain.size()) return std::nullopt;
  return negative ? -v : v;
}

bool IsGreater(double a, double b) { return a - b >= 0.01; }
bool IsLess(double a, double b) { return b - a >= 0.01; }

std::string FormatFileNumber(double value) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, 15);
  return std::string(buf, r.ptr);
}

std::string Trim(std::string_view text) { return std::string(platform::trim(text, " ")); }

bool HasControlChar(std::string_view text) {
  for (const char c : text)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) return true;
  return false;
}

}  // namespace quillmark
