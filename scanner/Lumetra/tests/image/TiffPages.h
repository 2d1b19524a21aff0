#pragma once
// Scan images read back page by page with libtiff, and the check of an image against what
// the simulated board's slide must give (SlideImage.h): shared by the run side's tests and
// the tests of the installed programs.
#include <cstdint>
#include <string>
#include <vector>

#include "SlideImage.h"

namespace lumetra_test {

struct TiffPage {
  std::uint32_t width = 0, length = 0;
  std::uint16_t bits = 0;
  std::vector<std::vector<std::uint32_t>> rows;  // samples (20-bit pages unpacked to `samples` per row)
};
// Every page of a TIFF file; `samples` is the line length of packed 32-bit pages.
std::vector<TiffPage> ReadTiff(const std::string& path, std::uint32_t samples = 0);

// Where a merged image (a 16-bit page a channel: red, then green) differs from `want`
// over `scan`: the page count, a page's size or depth, or the first pixel that differs
// (channel, row, column, both values); "" when every pixel is as it must be.
std::string ImageDifference(const std::vector<TiffPage>& pages, const SlideScan& scan,
                            const SlideImage& want);

}  // namespace lumetra_test
