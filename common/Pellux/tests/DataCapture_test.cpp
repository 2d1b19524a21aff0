// Statistics over raw measuring samples.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "Pellux/ScanDataPort.h"

namespace {
// n samples of (lo, hi), little-endian 14-bit values; `junk` sets the two unused bits.
void append(std::vector<unsigned char>& out, int n, unsigned lo, unsigned hi, bool junk = false) {
  const unsigned top = junk ? 0xC0 : 0;
  const std::size_t at = out.size();
  out.resize(at + 4 * static_cast<std::size_t>(n));
  for (std::size_t i = at; i < out.size(); i += 4) {
    out[i] = static_cast<unsigned char>(lo);
    out[i + 1] = static_cast<unsigned char>((lo >> 8) | top);
    out[i + 2] = static_cast<unsigned char>(hi);
    out[i + 3] = static_cast<unsigned char>((hi >> 8) | top);
  }
}

struct Stats {
  bool ok;
  double hiAve, hiStDev, loAve, loStDev;
  int saturated;
};

Stats run(const std::vector<unsigned char>& data, int groupFactor) {
  Stats s{};
  s.saturated = -1;
  s.ok = RawArrayStats(data.data(), static_cast<long>(data.size()), groupFactor, s.hiAve, s.hiStDev, s.loAve,
                       s.loStDev, s.saturated, nullptr);
  return s;
}
}  // namespace

TEST(PelluxRawArrayStats, MeansAndDeviationsOfGroupMeans) {
  std::vector<unsigned char> data;
  append(data, 44, 100, 200);
  append(data, 44, 300, 600, true);  // the unused bits do not count
  const Stats s = run(data, 1);
  ASSERT_TRUE(s.ok);
  EXPECT_DOUBLE_EQ(s.loAve, 4 * 200.0);
  EXPECT_DOUBLE_EQ(s.hiAve, 4 * 400.0);
  EXPECT_NEAR(s.loStDev, 4 * std::sqrt(20000.0), 1e-9);
  EXPECT_NEAR(s.hiStDev, 4 * std::sqrt(80000.0), 1e-9);
  EXPECT_EQ(s.saturated, 0);
}

TEST(PelluxRawArrayStats, GroupsAndSaturation) {
  struct Case {
    const char* name;
    int samples;
    int groupFactor;
    bool ok;
  };
  const Case cases[] = {
      {"two groups", 88, 1, true},
      {"one group", 87, 1, false},
      {"two groups and a tail", 131, 1, true},
      {"factor 0", 880, 0, false},
      {"negative factor", 880, -2, false},
      {"factor 2, two groups", 176, 2, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<unsigned char> data;
    append(data, c.samples, 10, 20);
    const Stats s = run(data, c.groupFactor);
    EXPECT_EQ(s.ok, c.ok);
    if (!c.ok) {
      EXPECT_EQ(s.hiAve, 0);
      EXPECT_EQ(s.loStDev, 0);
      EXPECT_EQ(s.saturated, 0);
    } else {
      EXPECT_TRUE(std::isfinite(s.hiStDev));
    }
  }

  std::vector<unsigned char> data;
  append(data, 87, 10, 20);
  append(data, 1, 10, 16383);  // saturated, inside the second group
  append(data, 1, 10, 16383);  // past the last whole group: ignored
  EXPECT_EQ(run(data, 1).saturated, 1);
  data.resize(88 * 4 - 4);
  append(data, 1, 10, 16382);
  append(data, 5, 10, 16383);
  EXPECT_EQ(run(data, 1).saturated, 0);
}

TEST(PelluxRawArrayStats, SumsDoNotOverflowForLargeGroups) {
  // 2 x 2.2 million samples of 16000: a group's sum passes 2^31.
  const int groupFactor = 50000;
  std::vector<unsigned char> data;
  append(data, 2 * 44 * groupFactor, 16000, 16000);
  const Stats s = run(data, groupFactor);
  ASSERT_TRUE(s.ok);
  EXPECT_DOUBLE_EQ(s.hiAve, 4 * 16000.0);
  EXPECT_DOUBLE_EQ(s.loAve, 4 * 16000.0);
  EXPECT_DOUBLE_EQ(s.hiStDev, 0);
}
