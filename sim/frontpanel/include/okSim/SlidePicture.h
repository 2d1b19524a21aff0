#pragma once
// The slide the simulated board scans: what each point of a glass slide gives in the red
// and the green channel. The board samples it line by line; tests, the demo and anyone
// else compute from it what an image must hold, so it is exact (integers only), cheap
// per point and needs nothing but this header.
//
// Coordinates are slide micrometres as the instrument's scan region gives them: x along
// the scan lines (voice-coil start + pixel x pixel size), y across them (stage start +
// row x line resolution). The glass covers 0 <= x < 75000, 0 <= y < 25000; beyond it
// nothing shines (0). The barcode label covers x < 11000 and is dark. The rest is a
// printed microarray on a faint background gradient: blocks of 12 x 12 round spots on a
// 200 um pitch, every spot of its own size, place within its cell and brightness in each
// channel, all drawn from the slide's barcode, so that every slide differs.
#include <cstdint>
#include <string_view>

namespace oksim {

class SlidePicture {
 public:
  static constexpr long kGlassWidth = 75000, kGlassHeight = 25000;
  static constexpr long kLabelEnd = 11000;
  static constexpr long kArrayLeft = 12000, kArrayTop = 1500;
  static constexpr long kArrayRight = 72000, kArrayBottom = 23500;
  static constexpr long kSpotPitch = 200, kBlockSpots = 12, kBlockPitch = 3000;
  // What a channel (0 red, 1 green) shows at most: inside 16 bits, and its integration
  // sum inside the board's 24 bits at any count.
  static constexpr int kMaxValue = 1000 + 309 * 100 * 80 / 50;

  explicit SlidePicture(std::string_view slide) : m_Seed(Fnv1a(slide)) {}

  // The value of channel `channel` (0 red, 1 green) at slide micrometres (x, y).
  int Value(int channel, long x, long y) const {
    if (x < 0 || y < 0 || x >= kGlassWidth || y >= kGlassHeight) return 0;
    if (x < kLabelEnd) return channel == 0 ? 12 : 18;
    const int background = Background(channel, x, y);
    if (x < kArrayLeft || y < kArrayTop || x >= kArrayRight || y >= kArrayBottom) return background;
    const long ax = x - kArrayLeft, ay = y - kArrayTop;
    const long inBlockX = ax % kBlockPitch, inBlockY = ay % kBlockPitch;
    if (inBlockX >= kBlockSpots * kSpotPitch || inBlockY >= kBlockSpots * kSpotPitch) return background;
    const long cellX = ax / kBlockPitch * kBlockSpots + inBlockX / kSpotPitch;
    const long cellY = ay / kBlockPitch * kBlockSpots + inBlockY / kSpotPitch;
    const std::uint64_t h =
        Mix(m_Seed ^ (static_cast<std::uint64_t>(cellX) << 32) ^ static_cast<std::uint64_t>(cellY));
    // A spot: radius 40-79 um, centre up to +-15 um off the cell's middle.
    const long radius = 40 + static_cast<long>(h & 0x3F) % 40;
    const long dx = inBlockX % kSpotPitch - kSpotPitch / 2 - (static_cast<long>((h >> 8) & 0x1F) - 15);
    const long dy = inBlockY % kSpotPitch - kSpotPitch / 2 - (static_cast<long>((h >> 13) & 0x1F) - 15);
    const long d2 = dx * dx + dy * dy, r2 = radius * radius;
    if (d2 >= r2) return background;
    // Brightness: a few spots are blank, most dim, some bright; the two dyes in a ratio of
    // the spot's own. Bright in the middle, half as bright at the rim.
    const std::uint64_t b = h >> 18;
    const long level = static_cast<long>(b % 1000);
    long peak = level < 80 ? 0 : level < 700 ? level * 8 : (level - 690) * 100;
    const long share = 20 + static_cast<long>((b >> 10) % 61);  // red's share, percent
    peak = peak * (channel == 0 ? share : 100 - share) / 50;
    return background + static_cast<int>(peak * (2 * r2 - d2) / (2 * r2));
  }

 private:
  // A faint gradient across the glass, the channels in different directions, its level
  // a little different on every slide.
  int Background(int channel, long x, long y) const {
    const int level = static_cast<int>(m_Seed % 97);
    if (channel == 0) return 300 + level + static_cast<int>(x / 250) + static_cast<int>(y / 200);
    return 450 + level + static_cast<int>((kGlassWidth - x) / 300) + static_cast<int>(y / 125);
  }

  static std::uint64_t Fnv1a(std::string_view text) {
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (const char c : text) h = (h ^ static_cast<unsigned char>(c)) * 0x100000001b3ull;
    return h;
  }
  static std::uint64_t Mix(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }

  std::uint64_t m_Seed;
};

}  // namespace oksim
