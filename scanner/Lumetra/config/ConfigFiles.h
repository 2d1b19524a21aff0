#pragma once
// Helpers of the configuration files' readers.
#include <string>
#include <string_view>

namespace lumetra {

// n for a section name "<prefix><n>" written as the writers write it ("Region7": 7;
// "Region07", "Region", "Region-1" and names of other prefixes: 0). The prefix compares
// case-insensitively, as section names do.
inline int SectionNumber(std::string_view name, std::string_view prefix) {
  if (name.size() <= prefix.size() || name.size() > prefix.size() + 9) return 0;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    const auto lower = [](char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; };
    if (lower(name[i]) != lower(prefix[i])) return 0;
  }
  const std::string_view digits = name.substr(prefix.size());
  if (digits.front() == '0') return 0;
  int n = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return 0;
    n = n * 10 + (c - '0');
  }
  return n;
}

}  // namespace lumetra
