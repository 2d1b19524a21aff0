#pragma once
// What the image of a scan of the simulated board's slide must hold, from the slide's
// picture alone: each pixel is the slide where it lies, less the dark level, where the
// data processing placed a sample; the edge columns that the channel registration
// leaves empty are 0; averaged pairs give the pair's mean; and every row is corrected by
// half the line offset (DDN) that the forward and backward lines' means give.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>

#include "okSim/SlidePicture.h"

namespace lumetra_test {

// A scan of the board's slide: its place, resolution and size, and the instrument's
// optics (micrometres), as the board and the FLASH keys are given them.
struct SlideScan {
  std::string slide;
  long originX = 0, originY = 0;
  int pixelSize = 5, lineResolution = 5;
  int pixels = 0, rows = 0;
  bool averagedPairs = false;
  int redGreenH = 0, redGreenV = 0, leftRightH = 0;

  bool Pairs() const { return averagedPairs || lineResolution == 10; }
  int LeadIn() const { return 50 / lineResolution; }
  int RedDelay() const {
    return static_cast<int>((50 + redGreenV) / static_cast<double>(lineResolution) + 0.5);
  }
  int Records() const { return (rows + LeadIn()) * (Pairs() ? 2 : 1); }
};

class SlideImage {
 public:
  // `dark`: the data processor's dark levels (red, green); `records`: the lines the
  // processing took in (all of the scan's unless it stopped short).
  SlideImage(SlideScan scan, double darkRed, double darkGreen, int records = -1)
      : m_Scan(std::move(scan)),
        m_Picture(m_Scan.slide),
        m_Records(records < 0 ? m_Scan.Records() : records) {
    m_Dark[0] = std::llround(darkRed);
    m_Dark[1] = std::llround(darkGreen);
    for (int channel : {0, 1}) m_Ddn[channel] = m_Scan.Pairs() ? 0 : ComputeDdn(channel);
  }

  int Ddn(int channel) const { return m_Ddn[channel]; }

  // The value at image row `row`, column `p` of a channel (0 red, 1 green).
  long long Pixel(int channel, int row, int p) const {
    return std::clamp<long long>(Placed(channel, row, p) + DdnShift(m_Ddn[channel], (row & 1) != 0), 0,
                                 65535);
  }

  // The same before the line offset's correction (as a channel's own file keeps it).
  long long Placed(int channel, int row, int p) const {
    const int perRow = m_Scan.Pairs() ? 2 : 1;
    const int first = (row + m_Scan.LeadIn() - (channel == 0 ? m_Scan.RedDelay() : 0)) * perRow;
    long long value = 0;
    bool placed = false;
    for (int n = first; n < first + perRow; ++n) {
      if (n < 0 || n >= m_Records || !Covers(channel, n, p)) continue;
      const long long v = Decoded(channel, row, p);
      // A backward line of a pair halves the sum with what is in place (0 when nothing).
      value = m_Scan.Pairs() && (n & 1) ? (value + v) / 2 : v;
      placed = true;
    }
    return placed ? value : 0;
  }

  // Half the line offset, down on forward rows and up on backward ones (the odd share to
  // the side the offset points to).
  static long long DdnShift(int ddn, bool oddRow) {
    const long long magnitude = std::llabs(ddn);
    const long long down = (magnitude + 1) / 2, up = magnitude / 2;
    if (!oddRow) return ddn < 0 ? -down : up;
    return ddn > 0 ? -down : up;
  }

 private:
  long long Decoded(int channel, int row, int p) const {
    const long x = m_Scan.originX + static_cast<long>(p) * m_Scan.pixelSize;
    const long y = m_Scan.originY + static_cast<long>(row) * m_Scan.lineResolution;
    return std::max<long long>(m_Picture.Value(channel, x, y) - m_Dark[channel], 0);
  }

  // The columns a line's samples land in are shifted by the registration: backward lines
  // by the odd/even offset (green; red where the delay makes their row parities differ),
  // red by the red/green offset. Whether line `n` puts a sample into column p.
  bool Covers(int channel, int n, int p) const {
    const int h = static_cast<int>(m_Scan.redGreenH / static_cast<double>(m_Scan.pixelSize) + 0.5);
    const int e = m_Scan.lineResolution == 10
                      ? 0
                      : static_cast<int>(m_Scan.leftRightH / static_cast<double>(m_Scan.pixelSize) + 0.5);
    const bool backward = (n & 1) != 0;
    const int shift =
        channel == 1 ? (backward ? e : 0) : h + ((backward != ((m_Scan.RedDelay() & 1) != 0)) ? e : 0);
    return p >= shift && p < m_Scan.pixels + shift;
  }

  // Backward minus forward mean of the lines' means, each over the samples it placed.
  int ComputeDdn(int channel) const {
    double sum[2] = {0, 0};
    int count[2] = {0, 0};
    for (int n = 0; n < m_Records; ++n) {
      const int row = n - m_Scan.LeadIn() + (channel == 0 ? m_Scan.RedDelay() : 0);
      double lineSum = 0;
      int placed = 0;
      for (int p = 0; p < m_Scan.pixels; ++p) {
        if (!Covers(channel, n, p)) continue;
        lineSum += static_cast<double>(Decoded(channel, row, p));
        ++placed;
      }
      sum[n & 1] += lineSum / std::max(placed, 1);
      ++count[n & 1];
    }
    // Without lines of both directions there is no offset to measure.
    if (count[0] == 0 || count[1] == 0) return 0;
    return static_cast<int>(std::floor(sum[1] / count[1] - sum[0] / count[0] + 0.5));
  }

  SlideScan m_Scan;
  oksim::SlidePicture m_Picture;
  int m_Records;
  long long m_Dark[2] = {0, 0};
  int m_Ddn[2] = {0, 0};
};

}  // namespace lumetra_test
