#pragma once
// Small parsing and formatting helpers shared by the device families.
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "zevasim/DeviceFamilies.h"

namespace zevasim::detail {

// The value of a hexadecimal digit; 16 or more for anything else.
inline unsigned digitValue(char c) {
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0');
  if (c >= 'a' && c <= 'f') return static_cast<unsigned>(c - 'a' + 10);
  if (c >= 'A' && c <= 'F') return static_cast<unsigned>(c - 'A' + 10);
  return 99;
}

// A whole argument as a C number: optional sign, then decimal, 0x-hexadecimal or
// 0-octal. nullopt for anything else or a value beyond 64 bits.
inline std::optional<std::int64_t> number(std::string_view s) {
  bool negative = false;
  if (!s.empty() && (s[0] == '-' || s[0] == '+')) {
    negative = s[0] == '-';
    s.remove_prefix(1);
  }
  if (s.empty()) return std::nullopt;
  unsigned base = 10;
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
    base = 16;
    s.remove_prefix(2);
  } else if (s.size() > 1 && s[0] == '0') {
    base = 8;
    s.remove_prefix(1);
  }
  std::uint64_t v = 0;
  for (char c : s) {
    const unsigned d = digitValue(c);
    if (d >= base || v > (UINT64_MAX - d) / base) return std::nullopt;  // also a non-digit
    v = v * base + d;
  }
  if (v > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
  const auto value = static_cast<std::int64_t>(v);
  return negative ? -value : value;
}

// A hexadecimal argument with or without "0x" (what "%X" and "0x%x" produce).
inline std::optional<std::uint32_t> hexArg(std::string_view s) {
  if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) s.remove_prefix(2);
  if (s.empty() || s.size() > 8) return std::nullopt;
  std::uint32_t v = 0;
  for (char c : s) {
    const unsigned d = digitValue(c);
    if (d >= 16) return std::nullopt;
    v = v * 16 + d;
  }
  return v;
}

// A C number that must fit 32 bits (signed or unsigned); returned as its bit pattern.
inline std::optional<std::uint32_t> word32(std::string_view s) {
  const auto v = number(s);
  if (!v || *v < INT32_MIN || *v > static_cast<std::int64_t>(UINT32_MAX)) return std::nullopt;
  return static_cast<std::uint32_t>(*v);
}

inline std::string hex(std::uint32_t v) {
  char b[16];
  std::snprintf(b, sizeof b, "%X", v);
  return b;
}

inline void putBE16(std::string& out, std::uint16_t v) {
  out.push_back(static_cast<char>(v >> 8));
  out.push_back(static_cast<char>(v & 0xFF));
}

// A reply of status, a separator and raw bytes (read as three characters, then data).
inline Reply rawReply(const std::string& bytes) {
  Reply r;
  r.frames = {"00," + bytes};
  return r;
}

inline Reply bad() { return Reply::error(kStatusBadParameters); }

// The text of a request's line after its first `skip` blank-separated fields.
inline std::string restOfLine(const std::string& line, int skip) {
  std::size_t at = 0;
  for (int i = 0; i < skip; ++i) {
    while (at < line.size() && line[at] == ' ') ++at;
    while (at < line.size() && line[at] != ' ') ++at;
  }
  if (at < line.size() && line[at] == ' ') ++at;
  return line.substr(at);
}

}  // namespace zevasim::detail
