// The pixel check that the image tests rest on: it passes only the image the slide must
// give, and a wrong one is named by where it first goes wrong, so that a failing run
// says which channel and pixel to look at.
#include "TiffPages.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace lumetra_test {
namespace {

// A small scan of the slide's spots, with a line offset to correct (single lines at 5 um).
SlideScan SpotScan() {
  SlideScan scan;
  scan.slide = "250000000007";
  scan.originX = 12000;
  scan.originY = 1500;
  scan.pixels = 30;
  scan.rows = 20;
  return scan;
}

// The image `want` describes, as ReadTiff gives it: a 16-bit page a channel.
std::vector<TiffPage> Pages(const SlideScan& scan, const SlideImage& want) {
  std::vector<TiffPage> pages(2);
  for (int channel : {0, 1}) {
    TiffPage& page = pages[static_cast<std::size_t>(channel)];
    page.width = static_cast<std::uint32_t>(scan.pixels);
    page.length = static_cast<std::uint32_t>(scan.rows);
    page.bits = 16;
    for (int row = 0; row < scan.rows; ++row) {
      std::vector<std::uint32_t> values;
      for (int p = 0; p < scan.pixels; ++p)
        values.push_back(static_cast<std::uint32_t>(want.Pixel(channel, row, p)));
      page.rows.push_back(std::move(values));
    }
  }
  return pages;
}

TEST(ImageDifferenceTest, PassesOnlyTheSlidesImageAndNamesWhereAWrongOneFirstDiffers) {
  const SlideScan scan = SpotScan();
  const SlideImage want(scan, 3, 5);
  const std::vector<TiffPage> exact = Pages(scan, want);
  const auto value = [&](int channel, int row, int p) {
    return std::to_string(exact[static_cast<std::size_t>(channel)]
                              .rows[static_cast<std::size_t>(row)][static_cast<std::size_t>(p)]);
  };
  struct Case {
    const char* what;
    std::function<void(std::vector<TiffPage>&)> spoil;
    std::string difference;
  };
  const std::vector<Case> cases = {
      {"the image itself", [](std::vector<TiffPage>&) {}, ""},
      {"one green pixel one count high", [](std::vector<TiffPage>& p) { ++p[1].rows[7][11]; },
       "first difference: channel 1 (green) row 7 pixel 11: " +
           std::to_string(std::stoll(value(1, 7, 11)) + 1) + " instead of " + value(1, 7, 11)},
      {"red wrong after green's first difference",
       [](std::vector<TiffPage>& p) {
         p[1].rows[0][0] += 2;
         p[0].rows[19][29] = 0;
       },
       "first difference: channel 0 (red) row 19 pixel 29: 0 instead of " + value(0, 19, 29)},
      {"the channels swapped", [](std::vector<TiffPage>& p) { std::swap(p[0], p[1]); },
       "first difference: channel 0 (red) row 0 pixel 0: " + value(1, 0, 0) + " instead of " +
           value(0, 0, 0)},
      {"the green page missing", [](std::vector<TiffPage>& p) { p.pop_back(); },
       "1 pages instead of 2 (red, green)"},
      {"a column short", [](std::vector<TiffPage>& p) { p[1].width = 29; },
       "channel 1 (green): 29 x 20 pixels of 16 bits (20 rows read) instead of 30 x 20 of 16"},
      {"rows missing", [](std::vector<TiffPage>& p) { p[0].rows.resize(12); },
       "channel 0 (red): 30 x 20 pixels of 16 bits (12 rows read) instead of 30 x 20 of 16"},
      {"32-bit pages", [](std::vector<TiffPage>& p) { p[0].bits = 32; },
       "channel 0 (red): 30 x 20 pixels of 32 bits (20 rows read) instead of 30 x 20 of 16"},
  };
  ASSERT_NE(value(0, 19, 29), "0");
  ASSERT_NE(value(1, 0, 0), value(0, 0, 0));
  for (const Case& c : cases) {
    std::vector<TiffPage> pages = exact;
    c.spoil(pages);
    EXPECT_EQ(ImageDifference(pages, scan, want), c.difference) << c.what;
  }
}

}  // namespace
}  // namespace lumetra_test
