#pragma once
// Builds RegionDB.sys files byte by byte (little-endian), for tests and for the sample
// database in dist/, so that no binary fixture is edited by hand.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace regiondb {

struct Limits {
  std::int32_t minX, minY, maxX, maxY, maxWidth, maxHeight, minWidth, minHeight;
};

struct Model {
  std::string name;    // at most 32 bytes; NUL-padded in the file
  std::uint32_t mask;  // bit 1 << scanner type
  Limits limits;
};

inline void put32(std::string& out, std::int64_t v) {
  const auto u = static_cast<std::uint32_t>(v);
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((u >> (8 * i)) & 0xFF));
}

inline void putLimits(std::string& out, const Limits& l) {
  for (const std::int32_t v :
       {l.minX, l.minY, l.maxX, l.maxY, l.maxWidth, l.maxHeight, l.minWidth, l.minHeight})
    put32(out, v);
}

// Version 2: header (version, count) and 72-byte records; the count is the number of
// models unless given.
inline std::string version2(const std::vector<Model>& models,
                            std::optional<std::int32_t> count = std::nullopt, std::int32_t version = 2) {
  std::string out;
  put32(out, version);
  put32(out, count ? *count : static_cast<std::int32_t>(models.size()));
  for (const Model& m : models) {
    std::string name = m.name.substr(0, 32);
    name.resize(32, '\0');
    out += name;
    put32(out, m.mask);
    put32(out, 0);  // reserved
    putLimits(out, m.limits);
  }
  return out;
}

// The old layout: 40 bytes, one set of limits for scanner type 0.
inline std::string version1(const Limits& l, std::int32_t version = 1) {
  std::string out;
  put32(out, version);
  put32(out, 0);  // reserved
  putLimits(out, l);
  return out;
}

// The three models of the sample database, in micrometres.
inline std::vector<Model> sampleModels() {
  return {
      {"K7431A", 0x1, {2000, 500, 63000, 22100, 61000, 21600, 1000, 1000}},
      {"K7431B", 0x2, {2000, 500, 73000, 24500, 71000, 24000, 500, 500}},
      {"K7431C", 0x4, {1500, 0, 75000, 25000, 73500, 25000, 500, 500}},
  };
}

}  // namespace regiondb
