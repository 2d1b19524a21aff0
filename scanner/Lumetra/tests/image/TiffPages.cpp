#include "TiffPages.h"

#include <tiffio.h>

#include <sstream>

#include "Tessary/TiffHandler.h"

namespace lumetra_test {

std::vector<TiffPage> ReadTiff(const std::string& path, std::uint32_t samples) {
  std::vector<TiffPage> pages;
  TIFF* tif = TIFFOpen(path.c_str(), "r");
  if (!tif) return pages;
  do {
    TiffPage page;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &page.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &page.length);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &page.bits);
    std::vector<std::uint8_t> buffer(static_cast<std::size_t>(TIFFScanlineSize(tif)));
    for (std::uint32_t row = 0; row < page.length; ++row) {
      if (TIFFReadScanline(tif, buffer.data(), row, 0) < 0) break;
      std::vector<std::uint32_t> values;
      if (page.bits == 16) {
        const auto* v = reinterpret_cast<const std::uint16_t*>(buffer.data());
        values.assign(v, v + page.width);
      } else {
        const auto* v = reinterpret_cast<const std::uint32_t*>(buffer.data());
        if (samples > 0) {
          values.resize(samples);
          TiffHandler::UnPackBuffer(v, values.data(), page.width, samples);
        } else {
          values.assign(v, v + page.width);
        }
      }
      page.rows.push_back(std::move(values));
    }
    pages.push_back(std::move(page));
  } while (TIFFReadDirectory(tif));
  TIFFClose(tif);
  return pages;
}

std::string ImageDifference(const std::vector<TiffPage>& pages, const SlideScan& scan,
                            const SlideImage& want) {
  std::ostringstream out;
  if (pages.size() != 2) {
    out << pages.size() << " pages instead of 2 (red, green)";
    return out.str();
  }
  for (int channel : {0, 1}) {
    const TiffPage& page = pages[static_cast<std::size_t>(channel)];
    const char* name = channel == 0 ? "red" : "green";
    if (page.width != static_cast<std::uint32_t>(scan.pixels) ||
        page.length != static_cast<std::uint32_t>(scan.rows) || page.bits != 16 ||
        page.rows.size() != page.length) {
      out << "channel " << channel << " (" << name << "): " << page.width << " x " << page.length
          << " pixels of " << page.bits << " bits (" << page.rows.size() << " rows read) instead of "
          << scan.pixels << " x " << scan.rows << " of 16";
      return out.str();
    }
    for (int row = 0; row < scan.rows; ++row) {
      const auto& values = page.rows[static_cast<std::size_t>(row)];
      for (int p = 0; p < scan.pixels; ++p) {
        const long long expected = want.Pixel(channel, row, p);
        if (values[static_cast<std::size_t>(p)] == expected) continue;
        out << "first difference: channel " << channel << " (" << name << ") row " << row << " pixel " << p
            << ": " << values[static_cast<std::size_t>(p)] << " instead of " << expected;
        return out.str();
      }
    }
  }
  return {};
}

}  // namespace lumetra_test
