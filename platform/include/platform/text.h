#pragma once
// Small text helpers shared by every deliverable: printf into a std::string, hexadecimal
// digits and numbers (whole fields and the leading number of a reply), ASCII case folding (names in the
// registry and INI files compare case-insensitively) and trimming of blanks.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// printf into a std::string; nullopt when the C library rejects the format. `args` is
// left untouched (the caller may use it again).
inline std::optional<std::string> formatV(const char* fmt, va_list args)
    __attribute__((format(printf, 1, 0)));
inline std::optional<std::string> formatV(const char* fmt, va_list args) {
  va_list copy;
  va_copy(copy, args);
  const int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  if (n < 0) return std::nullopt;
  std::string out(static_cast<std::size_t>(n), '\0');
  va_copy(copy, args);
  std::vsnprintf(out.data(), out.size() + 1, fmt, copy);
  va_end(copy);
  return out;
}

// 0-15 for a hexadecimal digit, -1 for anything else.
constexpr int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// 1 to maxDigits (at most 16) hexadecimal digits and nothing else (no prefix, no sign).
constexpr std::optional<std::uint64_t> parseHexDigits64(std::string_view s, std::size_t maxDigits = 16) {
  if (s.empty() || s.size() > maxDigits || maxDigits > 16) return std::nullopt;
  std::uint64_t v = 0;
  for (const char c : s) {
    const int d = hexDigit(c);
    if (d < 0) return std::nullopt;
    v = (v << 4) | static_cast<std::uint64_t>(d);
  }
  return v;
}

// 1 to maxDigits (at most 8) hexadecimal digits and nothing else (no prefix, no sign).
constexpr std::optional<std::uint32_t> parseHexDigits(std::string_view s, std::size_t maxDigits = 8) {
  if (maxDigits > 8) return std::nullopt;
  const auto v = parseHexDigits64(s, maxDigits);
  if (!v) return std::nullopt;
  return static_cast<std::uint32_t>(*v);
}

// A whole hexadecimal field of 1 to 8 digits, with or without "0x"/"0X" (what "%X" and
// "0x%X" write).
constexpr std::optional<std::uint32_t> parseHexNumber(std::string_view s) {
  if (s.size() >= 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.remove_prefix(2);
  return parseHexDigits(s, 8);
}

// The hexadecimal number at the start of a reply: leading spaces, then digits up to the
// first other character (what follows is the caller's business). nullopt for no digits
// or a value beyond 32 bits; leading zeros do not count against the width. `end`, when
// given, receives the position after the last digit.
constexpr std::optional<std::uint32_t> parseLeadingHex(std::string_view s, std::size_t* end = nullptr) {
  std::size_t i = 0;
  while (i < s.size() && s[i] == ' ') ++i;
  const std::size_t first = i;
  std::uint64_t v = 0;
  for (; i < s.size(); ++i) {
    const int d = hexDigit(s[i]);
    if (d < 0) break;
    v = (v << 4) | static_cast<std::uint64_t>(d);
    if (v > 0xFFFFFFFFull) return std::nullopt;
  }
  if (i == first) return std::nullopt;
  if (end) *end = i;
  return static_cast<std::uint32_t>(v);
}

constexpr char foldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

inline std::string foldedAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = foldAscii(c);
  return out;
}

constexpr bool equalsFolded(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (foldAscii(a[i]) != foldAscii(b[i])) return false;
  return true;
}

constexpr bool startsWithFolded(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && equalsFolded(s.substr(0, prefix.size()), prefix);
}

// Case-insensitive ASCII order (bytes compare unsigned), for lists sorted as users read them.
constexpr bool lessFolded(std::string_view a, std::string_view b) {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  for (std::size_t i = 0; i < n; ++i) {
    const auto x = static_cast<unsigned char>(foldAscii(a[i]));
    const auto y = static_cast<unsigned char>(foldAscii(b[i]));
    if (x != y) return x < y;
  }
  return a.size() < b.size();
}

// Blanks are spaces and tabs (line ends are not trimmed: they are the callers' business).
constexpr bool isBlank(char c) { return c == ' ' || c == '\t'; }

constexpr std::string_view trimLeft(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  return s;
}

constexpr std::string_view trimRight(std::string_view s) {
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

constexpr std::string_view trim(std::string_view s) { return trimRight(trimLeft(s)); }

// Trimming of a caller's own set of characters (some texts are trimmed of spaces only).
constexpr std::string_view trim(std::string_view s, std::string_view chars) {
  const auto first = s.find_first_not_of(chars);
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(chars) - first + 1);
}

}  // namespace platform
