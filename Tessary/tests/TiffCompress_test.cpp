// Compressing and uncompressing finished images.
#include "Tessary/TiffCompress.h"

#include <string>
#include <vector>

#include "TessaryTest.h"
#include "platform/files.h"

namespace tessary_test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;

class CompressTest : public TessaryTest {
 protected:
  // A scan image of four pages with every private tag, as other programs may hold it.
  std::string MakeScanImage(const std::string& name) {
    const std::string path = outDir() + "/" + name;
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    EXPECT_NE(tif, nullptr);
    const char* names[] = {"Red", "Green", "Red", "Green"};
    for (int p = 0; p < 4; ++p) {
      const std::uint32_t width = p < 2 ? 40 : 8, length = p < 2 ? 30 : 6;
      TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
      TIFFSetField(tif, TIFFTAG_IMAGELENGTH, length);
      TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 16);
      TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
      TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
      TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 7);
      TIFFSetField(tif, TIFFTAG_PAGENAME, names[p]);
      TIFFSetField(tif, TIFFTAG_IMAGEDESCRIPTION, names[p]);
      TIFFSetField(tif, TIFFTAG_XRESOLUTION, 5000.0);
      TIFFSetField(tif, TIFFTAG_YRESOLUTION, 5000.0);
      TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_CENTIMETER);
      TIFFSetField(tif, TIFFTAG_SOFTWARE, "Scanner: 1.0\r\n");
      TIFFSetField(tif, TIFFTAG_ARTIST, "operator");
      const std::uint32_t longs[] = {42};
      const float rationals[] = {1.5f};
      const std::uint16_t shorts[] = {1, 2, 3};
      TIFFSetField(tif, 33445, 1, longs);
      TIFFSetField(tif, 33446, 1, rationals);
      TIFFSetField(tif, 33447, 3, shorts);
      const std::string text = "page " + std::to_string(p);
      TIFFSetField(tif, 37702, static_cast<std::uint32_t>(text.size() + 1), text.c_str());
      std::vector<std::uint8_t> record(3176);
      for (std::size_t i = 0; i < record.size(); ++i) record[i] = static_cast<std::uint8_t>(i * 7 + p);
      TIFFSetField(tif, 37701, 3176u, record.data());
      std::vector<std::uint16_t> line(width);
      for (std::uint32_t r = 0; r < length; ++r) {
        for (std::uint32_t c = 0; c < width; ++c)
          line[c] = static_cast<std::uint16_t>((r * 977 + c * 31 + p) % 997);
        EXPECT_EQ(TIFFWriteScanline(tif, line.data(), r, 0), 1);
      }
      EXPECT_TRUE(TIFFWriteDirectory(tif));
    }
    TIFFClose(tif);
    return path;
  }

  // Everything a reader sees of a page, compression aside.
  static void ExpectSameContent(const std::vector<Page>& a, const std::vector<Page>& b) {
    ASSERT_EQ(a.size(), b.size());
    for (std::size_t p = 0; p < a.size(); ++p) {
      SCOPED_TRACE(p);
      EXPECT_EQ(a[p].width, b[p].width);
      EXPECT_EQ(a[p].length, b[p].length);
      EXPECT_EQ(a[p].bits, b[p].bits);
      EXPECT_EQ(a[p].pageName, b[p].pageName);
      EXPECT_EQ(a[p].imageDescription, b[p].imageDescription);
      EXPECT_EQ(a[p].description, b[p].description);
      EXPECT_EQ(a[p].descriptionCount, b[p].descriptionCount);
      EXPECT_EQ(a[p].record, b[p].record);
      EXPECT_EQ(a[p].xResolution, b[p].xResolution);
      EXPECT_EQ(a[p].rows, b[p].rows);
    }
  }

  static std::vector<std::uint32_t> Rgba(const std::string& path) {
    TIFF* tif = TIFFOpen(path.c_str(), "r");
    if (!tif) return {};
    std::uint32_t w = 0, h = 0;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
    std::vector<std::uint32_t> pixels(static_cast<std::size_t>(w) * h);
    if (!TIFFReadRGBAImage(tif, w, h, pixels.data(), 0)) pixels.clear();
    TIFFClose(tif);
    return pixels;
  }
};

TEST_F(CompressTest, FourPageScanImageKeepsEveryPageAndTagInPlace) {
  const std::string path = MakeScanImage("scan_01.tif");
  const auto before = ReadPages(path);
  ASSERT_EQ(CompressTiff(path.c_str(), nullptr), kTiffCompressOk);
  EXPECT_THAT(FilesIn(outDir()), ElementsAre("scan_01.tif"));
  const auto compressed = ReadPages(path);
  for (const auto& p : compressed) EXPECT_EQ(p.compression, COMPRESSION_LZW);
  ExpectSameContent(before, compressed);
  EXPECT_EQ(compressed[3].description, "page 3");

  if (HaveTiffTools()) {
    const auto dump = TiffDump(path);
    EXPECT_THAT(dump.output, HasSubstr("Compression (259) SHORT (3) 1<5>"));
    EXPECT_THAT(dump.output, HasSubstr("33445 (0x82a5) LONG (4) 1<42>"));
    EXPECT_THAT(dump.output, HasSubstr("33446 (0x82a6) RATIONAL (5) 1<1.5>"));
    EXPECT_THAT(dump.output, HasSubstr("33447 (0x82a7) SHORT (3) 3<1 2 3>"));
    EXPECT_THAT(dump.output, HasSubstr("37702 (0x9346) ASCII (2) 7<page 3\\0>"));
    EXPECT_THAT(dump.output, HasSubstr("Directory 3:"));
    EXPECT_EQ(TiffInfo(path).exitCode, 0);
  }

  ASSERT_EQ(UncompressTiff(path.c_str(), nullptr), kTiffCompressOk);
  const auto plain = ReadPages(path);
  for (const auto& p : plain) EXPECT_EQ(p.compression, COMPRESSION_NONE);
  ExpectSameContent(before, plain);
  // Uncompressing an uncompressed file changes nothing a reader sees.
  ASSERT_EQ(UncompressTiff(path.c_str(), (outDir() + "/again.tif").c_str()), kTiffCompressOk);
  ExpectSameContent(plain, ReadPages(outDir() + "/again.tif"));
  EXPECT_THAT(FilesIn(outDir()), ElementsAre("again.tif", "scan_01.tif"));
}

// Strips are compressed on several threads, in batches of jobs: each must come out as
// libtiff compresses it writing line by line, whatever batch or job it fell in, the short
// last strip and the predictor included.
TEST_F(CompressTest, StripsCompressedTogetherAreThoseWrittenLineByLine) {
  constexpr std::uint32_t kWidth = 301, kLength = 9003, kRowsPerStrip = 7;  // 5.4 MB, several batches
  for (const int predictor : {PREDICTOR_NONE, PREDICTOR_HORIZONTAL}) {
    SCOPED_TRACE(predictor);
    const std::string source = outDir() + "/lines.tif";
    TIFF* tif = CreateGrey16(source, "w", kWidth, kLength, kRowsPerStrip, COMPRESSION_LZW);
    ASSERT_NE(tif, nullptr);
    TIFFSetField(tif, TIFFTAG_PREDICTOR, predictor);
    std::vector<std::uint16_t> line(kWidth);
    for (std::uint32_t r = 0; r < kLength; ++r) {
      for (std::uint32_t c = 0; c < kWidth; ++c)
        line[c] = static_cast<std::uint16_t>((r * 977 + c * 31) % 997 + ((r * c) % 13 == 0 ? 40000 : 0));
      ASSERT_EQ(TIFFWriteScanline(tif, line.data(), r, 0), 1);
    }
    TIFFClose(tif);

    const std::string again = outDir() + "/again.tif";
    ASSERT_EQ(CompressTiff(source.c_str(), again.c_str()), kTiffCompressOk);
    TIFF* a = TIFFOpen(source.c_str(), "r");
    TIFF* b = TIFFOpen(again.c_str(), "r");
    ASSERT_TRUE(a && b);
    ASSERT_EQ(TIFFNumberOfStrips(a), TIFFNumberOfStrips(b));
    std::vector<std::uint8_t> x, y;
    for (std::uint32_t s = 0; s < TIFFNumberOfStrips(a); ++s) {
      x.resize(TIFFRawStripSize64(a, s));
      y.resize(TIFFRawStripSize64(b, s));
      ASSERT_EQ(TIFFReadRawStrip(a, s, x.data(), static_cast<tmsize_t>(x.size())),
                static_cast<tmsize_t>(x.size()));
      ASSERT_EQ(TIFFReadRawStrip(b, s, y.data(), static_cast<tmsize_t>(y.size())),
                static_cast<tmsize_t>(y.size()));
      ASSERT_EQ(x, y) << "strip " << s;
    }
    TIFFClose(a);
    TIFFClose(b);
  }
}

TEST_F(CompressTest, FailuresKeepSourceAndDestinationWhole) {
  const std::string source = MakeScanImage("scan.tif");
  const std::string sourceBytes = testsupport::readFile(source);
  const std::string existing = outDir() + "/existing.tif";
  const std::string garbage = outDir() + "/garbage.tif";
  testsupport::writeFile(garbage, "not a tiff");
  struct Case {
    const char* name;
    std::string source;
    std::string destination;  // empty: in place
    std::size_t writeLimit;   // bytes the destination may take
    eTiffCompressError result;
  } cases[] = {
      {"missing source in place", outDir() + "/missing.tif", "", SIZE_MAX, kTiffCompressMoveFailed},
      {"missing source", outDir() + "/missing.tif", existing, SIZE_MAX, kTiffCompressOpenFailed},
      {"not a TIFF", garbage, existing, SIZE_MAX, kTiffCompressOpenFailed},
      {"unwritable folder", source, UnwritableFolder(tempDir()) + "/x.tif", SIZE_MAX,
       kTiffCompressCreateFailed},
      {"full disk", source, existing, 3000, kTiffCompressCopyFailed},
      {"full disk in place", source, "", 3000, kTiffCompressCopyFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    testsupport::writeFile(existing, "keep me");
    const std::size_t limit = c.writeLimit;
    tessary::SetFileSystemHooks(
        {.writeLimit = [limit](const std::string&, std::uint64_t offset, std::size_t size) {
          return offset >= limit ? 0 : std::min<std::size_t>(size, limit - offset);
        }});
    EXPECT_EQ(CompressTiff(c.source.c_str(), c.destination.empty() ? nullptr : c.destination.c_str()),
              c.result);
    EXPECT_EQ(testsupport::readFile(existing), "keep me");
    EXPECT_EQ(testsupport::readFile(source), sourceBytes);
    EXPECT_THAT(FilesIn(outDir()), ElementsAre("existing.tif", "garbage.tif", "scan.tif"));
  }
  tessary::SetFileSystemHooks({});

  // The source named again as the destination is rewritten in place.
  const std::string sameFile = outDir() + "/../out/scan.tif";
  EXPECT_EQ(CompressTiff(source.c_str(), sameFile.c_str()), kTiffCompressOk);
  EXPECT_EQ(ReadPages(source).at(0).compression, COMPRESSION_LZW);
  EXPECT_THAT(logText(), HasSubstr("Failed to open '" + garbage + "'"));
}

TEST_F(CompressTest, OtherLayoutsAreCopiedAsTheyAre) {
  // Tiles with three samples, separate planes, and a mirrored orientation.
  struct Case {
    const char* name;
    bool tiled, separate;
    std::uint16_t orientation, expectOrientation;
  } cases[] = {
      {"tiled.tif", true, false, ORIENTATION_TOPLEFT, ORIENTATION_TOPLEFT},
      {"planes.tif", false, true, ORIENTATION_TOPLEFT, ORIENTATION_TOPLEFT},
      {"mirrored.tif", false, false, ORIENTATION_TOPRIGHT, ORIENTATION_TOPLEFT},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = outDir() + "/" + c.name;
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    ASSERT_NE(tif, nullptr);
    const std::uint32_t w = 40, h = 20;
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, h);
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(tif, TIFFTAG_ORIENTATION, c.orientation);
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, c.separate ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    auto value = [](std::uint32_t x, std::uint32_t y, int s) {
      return static_cast<std::uint8_t>(x * 5 + y * 11 + s * 70);
    };
    if (c.tiled) {
      TIFFSetField(tif, TIFFTAG_TILEWIDTH, 16);
      TIFFSetField(tif, TIFFTAG_TILELENGTH, 16);
      std::vector<std::uint8_t> tile(16 * 16 * 3);
      for (std::uint32_t ty = 0; ty < h; ty += 16)
        for (std::uint32_t tx = 0; tx < w; tx += 16) {
          for (std::uint32_t y = 0; y < 16; ++y)
            for (std::uint32_t x = 0; x < 16; ++x)
              for (int s = 0; s < 3; ++s) tile[(y * 16 + x) * 3 + s] = value(tx + x, ty + y, s);
          ASSERT_GT(TIFFWriteTile(tif, tile.data(), tx, ty, 0, 0), 0);
        }
    } else {
      TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, 3);
      std::vector<std::uint8_t> line(w * 3);
      for (int plane = 0; plane < (c.separate ? 3 : 1); ++plane)
        for (std::uint32_t y = 0; y < h; ++y) {
          for (std::uint32_t x = 0; x < w; ++x) {
            if (c.separate)
              line[x] = value(x, y, plane);
            else
              for (int s = 0; s < 3; ++s) line[x * 3 + s] = value(x, y, s);
          }
          ASSERT_EQ(TIFFWriteScanline(tif, line.data(), y, static_cast<std::uint16_t>(plane)), 1);
        }
    }
    TIFFClose(tif);
    const auto before = Rgba(path);
    ASSERT_FALSE(before.empty());

    const std::string plain = outDir() + "/plain-" + c.name;
    ASSERT_EQ(UncompressTiff(path.c_str(), plain.c_str()), kTiffCompressOk);
    TIFF* out = TIFFOpen(plain.c_str(), "r");
    ASSERT_NE(out, nullptr);
    std::uint16_t compression = 0, planar = 0, orientation = 0;
    TIFFGetFieldDefaulted(out, TIFFTAG_COMPRESSION, &compression);
    TIFFGetFieldDefaulted(out, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetFieldDefaulted(out, TIFFTAG_ORIENTATION, &orientation);
    EXPECT_EQ(compression, COMPRESSION_NONE);
    EXPECT_EQ(TIFFIsTiled(out) != 0, c.tiled);
    EXPECT_EQ(planar, c.separate ? PLANARCONFIG_SEPARATE : PLANARCONFIG_CONTIG);
    EXPECT_EQ(orientation, c.expectOrientation);
    TIFFClose(out);
    if (c.orientation == c.expectOrientation) {
      EXPECT_EQ(Rgba(plain), before);
    } else {
      // The samples are kept as they lie; only the declared orientation changed.
      ASSERT_EQ(ReadPages(plain).at(0).rows.size(), h);
    }
    ASSERT_EQ(CompressTiff(plain.c_str(), nullptr), kTiffCompressOk);
    if (c.orientation == c.expectOrientation) {
      EXPECT_EQ(Rgba(plain), before);
    }
  }
  EXPECT_THAT(logText(), HasSubstr("WARNING: " + outDir() + "/mirrored.tif: using top-left orientation"));
}

}  // namespace
}  // namespace tessary_test
