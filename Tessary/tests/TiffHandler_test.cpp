// One channel file: line writing, packing, tags, reading back, editing and failures.
#include "Tessary/TiffHandler.h"

#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "TessaryTest.h"
#include "platform/files.h"

namespace tessary_test {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;

static_assert(!std::is_copy_constructible_v<TiffHandler> && !std::is_copy_assignable_v<TiffHandler>);
static_assert(std::is_nothrow_move_constructible_v<TiffHandler>);

class TiffHandlerTest : public TessaryTest {
 protected:
  std::string file(const char* name) const { return outDir() + "/" + name; }
  // Nothing but the files a test meant to leave: no temporaries beside them.
  void ExpectOnlyFiles(std::vector<std::string> names) const {
    std::sort(names.begin(), names.end());
    EXPECT_EQ(FilesIn(outDir()), names);
  }
};

TEST_F(TiffHandlerTest, SixteenBitLinesSaturateAndTheFileReadsBackEverywhere) {
  const std::string path = file("red.tif");
  TiffHandler h;
  ASSERT_EQ(h.CreateTiff(path.c_str(), 5, 16, 0), 0);
  h.SetPMTChannel(0);
  h.SetDescription("Slide ABC");
  h.SetResolution(5, 5);
  const unsigned int line1[] = {65535, 65536, 4000000, 0, 1234};
  const unsigned int line2[] = {1, 2, 3, 4, 5};
  EXPECT_EQ(h.AddScanline(line1), 1);
  EXPECT_EQ(h.AddScanline(line2), 2);
  ASSERT_EQ(h.WriteVbqStru(), 0);
  ASSERT_EQ(h.Close(), 0);
  ExpectOnlyFiles({"red.tif"});

  const auto pages = ReadPages(path);
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(pages[0].bits, 16);
  EXPECT_THAT(pages[0].rows,
              ElementsAre(ElementsAre(65535, 65535, 65535, 0, 1234), ElementsAre(1, 2, 3, 4, 5)));
  EXPECT_EQ(pages[0].pageName, "Red");
  EXPECT_EQ(pages[0].imageDescription, "Red");
  EXPECT_FLOAT_EQ(pages[0].xResolution, 2000);
  EXPECT_EQ(pages[0].resolutionUnit, RESUNIT_CENTIMETER);
  EXPECT_EQ(pages[0].description, "Slide ABC");
  EXPECT_EQ(pages[0].Record().pixelSizeX, 5);

  if (!HaveTiffTools()) GTEST_SKIP() << "libtiff tools missing";
  const auto dump = TiffDump(path);
  EXPECT_EQ(dump.exitCode, 0);
  EXPECT_THAT(dump.output, HasSubstr("ImageWidth (256) SHORT (3) 1<5>"));
  EXPECT_THAT(dump.output, HasSubstr("ImageLength (257) SHORT (3) 1<2>"));
  EXPECT_THAT(dump.output, HasSubstr("37701 (0x9345) BYTE (1) 3176<0xb 00 00 00 0x1 00 00 00 "));
  // Counted with its NUL, so another reader keeps the last character.
  EXPECT_THAT(dump.output, HasSubstr("37702 (0x9346) ASCII (2) 10<Slide ABC\\0>"));
  // 33445/33446 carry no value and are left out rather than written empty.
  EXPECT_THAT(dump.output, Not(HasSubstr("33445")));
  EXPECT_THAT(dump.output, Not(HasSubstr("33446")));
  const auto info = TiffInfo(path);
  EXPECT_EQ(info.exitCode, 0);
  EXPECT_THAT(info.output, HasSubstr("Tag 37702: Slide ABC\n"));
  EXPECT_THAT(info.output, HasSubstr("Image Width: 5 Image Length: 2"));
}

TEST_F(TiffHandlerTest, DescriptionIsCutTo511Characters) {
  const std::string path = file("long.tif");
  TiffHandler h;
  h.CreateTiff(path.c_str(), 1, 16, 0);
  h.SetDescription(std::string(600, 'd').c_str());
  const unsigned int line[] = {7};
  h.AddScanline(line);
  ASSERT_EQ(h.Close(), 0);
  const auto pages = ReadPages(path);
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(pages[0].description, std::string(511, 'd'));
  EXPECT_EQ(pages[0].descriptionCount, 512u);
}

TEST_F(TiffHandlerTest, DecimationStoresBlockMeansOfWholeBlocks) {
  const std::string path = file("small.tif");
  TiffHandler h;
  ASSERT_EQ(h.CreateTiff(path.c_str(), 5, 16, 2), 0);
  EXPECT_EQ(h.GetLineLength(), 2u);
  h.SetResolution(5, 5);
  // Two input lines make one row; the fifth sample of each line is ignored. Block sums
  // beyond 32 bits still saturate (2^31 four times would wrap to 0).
  constexpr unsigned int big = 2147483648u;
  const unsigned int lines[][5] = {{1, 3, 10, 20, 999},
                                   {5, 7, 30, 41, 999},
                                   {200000, 200000, 0, 1, 5},
                                   {200000, 200000, 0, 0, 5},
                                   {big, big, big, big, 0},
                                   {big, big, big, big, 0},
                                   {8, 8, 8, 8, 8}};
  const int rows[] = {0, 1, 1, 2, 2, 3, 3};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(h.AddScanline(lines[i]), rows[i]) << i;
  h.WriteVbqStru();
  ASSERT_EQ(h.Close(), 0);

  const auto pages = ReadPages(path);
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(pages[0].width, 2u);
  EXPECT_THAT(pages[0].rows,
              ElementsAre(ElementsAre(4, 25), ElementsAre(65535, 0), ElementsAre(65535, 65535)));
  // The decimation is applied once: 5 um blocks of 2 give 10 um pixels.
  EXPECT_FLOAT_EQ(pages[0].xResolution, 1000);
  const auto record = pages[0].Record();
  EXPECT_EQ(record.pixelSizeX, 10);
  EXPECT_EQ(record.decimation, 2);
  EXPECT_EQ(record.decimationFactor, 2u);
  EXPECT_EQ(record.lineLength, 2);

  // A factor without a loop of its own: blocks of 4 x 4, the ninth sample ignored.
  const std::string other = file("four.tif");
  TiffHandler four;
  ASSERT_EQ(four.CreateTiff(other.c_str(), 9, 16, 4), 0);
  for (unsigned int i = 0; i < 4; ++i) {
    const unsigned int line[9] = {i, i, i, i, 100 + i, 100 + i, 100 + i, 103, 50000};
    EXPECT_EQ(four.AddScanline(line), i < 3 ? 0 : 1) << i;
  }
  four.WriteVbqStru();
  ASSERT_EQ(four.Close(), 0);
  const auto blocks = ReadPages(other);
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_THAT(blocks[0].rows, ElementsAre(ElementsAre(1, 101)));  // 24 / 16 and 1630 / 16, rounded down
}

TEST_F(TiffHandlerTest, PackingKeepsTwentyBits) {
  struct Length {
    unsigned long n, words;
  } lengths[] = {{1, 2}, {2, 2}, {3, 3}, {8, 5}, {10, 7}, {16, 10}, {17, 12}};
  for (const auto& l : lengths) EXPECT_EQ(TiffHandler::PackedLineLength(l.n), l.words) << l.n;

  std::mt19937 rng(7);
  for (unsigned long n : {1ul, 2ul, 3ul, 7ul, 8ul, 9ul, 15ul, 16ul, 17ul, 101ul}) {
    std::vector<std::uint32_t> samples(n), back(n, 0xFFFFFFFF);
    for (auto& s : samples) s = rng();
    std::vector<std::uint32_t> packed(TiffHandler::PackedLineLength(n) + 1, 0xA5A5A5A5);
    TiffHandler::PackBuffer(packed.data(), samples.data(), TiffHandler::PackedLineLength(n), n);
    EXPECT_EQ(packed.back(), 0xA5A5A5A5u) << "wrote past the packed line, n=" << n;
    TiffHandler::UnPackBuffer(packed.data(), back.data(), TiffHandler::PackedLineLength(n), n);
    for (unsigned long i = 0; i < n; ++i) EXPECT_EQ(back[i], samples[i] & 0xFFFFF) << "n=" << n << " i=" << i;
  }
  // The layout itself: low halves first, then the nibbles.
  const std::uint32_t samples[] = {0x12345, 0xABCDE, 0x00001};
  std::uint32_t packed[3] = {};
  TiffHandler::PackBuffer(packed, samples, 3, 3);
  EXPECT_THAT(packed, ElementsAre(0xBCDE2345u, 0x0001u, 0x0A1u));
  // A buffer too short is left alone.
  std::uint32_t tooShort[2] = {9, 9};
  TiffHandler::PackBuffer(tooShort, samples, 2, 3);
  EXPECT_THAT(tooShort, ElementsAre(9u, 9u));
}

// Reading a 32-bit file decides from the record whether its lines are packed.
TEST_F(TiffHandlerTest, ReadingTellsPackedFromUnpackedThirtyTwoBitFiles) {
  struct Case {
    unsigned long n;
    bool packed;  // how the file is written
    int merged;
  } cases[] = {{4100, true, 1}, {4101, true, 1}, {10, true, 1}, {3, true, 1},
               {10, false, 0},  {3, false, 0},   {2, false, 0}, {4101, false, 0}};
  for (const auto& c : cases) {
    const std::string path = file("p.tif");
    {
      TiffHandler h;
      h.CreateTiff(path.c_str());
      ASSERT_EQ(h.SetupTiff(c.n, 1, 32, 0, false, c.packed), 0);
      h.GetStru()->merged = c.merged;
      std::vector<std::uint32_t> samples(c.n);
      for (unsigned long i = 0; i < c.n; ++i) samples[i] = static_cast<std::uint32_t>(i * 37 + 0x10000);
      std::vector<std::uint32_t> line(h.GetStoredWidth());
      if (c.packed)
        TiffHandler::PackBuffer(line.data(), samples.data(), line.size(), c.n);
      else
        line = samples;
      h.AddScanline(line.data());
      h.WriteVbqStru();
      ASSERT_EQ(h.Close(), 0);
    }
    TiffHandler r;
    ASSERT_EQ(r.OpenTiff(path.c_str()), 0);
    EXPECT_EQ(r.IsPacked(), c.packed) << c.n;
    EXPECT_EQ(r.GetLineLength(), c.n) << c.n;
    EXPECT_EQ(r.GetStoredWidth(), c.packed ? TiffHandler::PackedLineLength(c.n) : c.n);
    EXPECT_EQ(r.GetDepth(), 32);
  }
}

TEST_F(TiffHandlerTest, EditingRewritesTheDirectoryInPlace) {
  const std::string path = file("edit.tif");
  {
    TiffHandler h;
    h.CreateTiff(path.c_str(), 3, 16, 0);
    const unsigned int line[] = {10, 20, 30};
    h.AddScanline(line);
    h.AddScanline(line);
    h.SetDescription("before");
    h.WriteVbqStru();
    ASSERT_EQ(h.Close(), 0);
  }
  {
    TiffHandler e;
    ASSERT_EQ(e.OpenAndEditTiff(path.c_str()), 0);
    ASSERT_NE(e.GetStru(), nullptr);
    e.SetBarcode("BC-9");
    e.SetDescription("after the edit");
    e.WriteVbqStru();
    EXPECT_EQ(e.Save(), 1);
    EXPECT_EQ(e.Close(), 0);
  }
  const auto pages = ReadPages(path);
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(pages[0].description, "after the edit");
  EXPECT_EQ(TiffScanRecord::Text(pages[0].Record().barcode), "BC-9");
  EXPECT_THAT(pages[0].rows, ElementsAre(ElementsAre(10, 20, 30), ElementsAre(10, 20, 30)));
  if (HaveTiffTools()) {
    EXPECT_EQ(TiffInfo(path).exitCode, 0);
  }
}

TEST_F(TiffHandlerTest, MalformedFilesAreRefusedWithoutHarm) {
  struct Case {
    const char* name;
    bool exists;
    std::string bytes;
  } cases[] = {
      {"missing.tif", false, ""},
      {"empty.tif", true, ""},
      {"garbage.tif", true, "this is not an image at all"},
      {"header-only.tif", true, std::string("II*\0\x08\0\0\0", 8)},
      {"bad-offset.tif", true, std::string("II*\0\xff\xff\xff\x7f", 8)},
      {"truncated-directory.tif", true, std::string("MM\0*\0\0\0\x08\0\x05\x01\0", 12)},
  };
  for (const auto& c : cases) {
    const std::string path = file(c.name);
    if (c.exists) testsupport::writeFile(path, c.bytes);
    TiffHandler h;
    EXPECT_EQ(h.OpenTiff(path.c_str()), -2) << c.name;
    EXPECT_FALSE(h.IsOpen()) << c.name;
    const unsigned int line[] = {1};
    EXPECT_EQ(h.AddScanline(line), 0) << c.name;
  }
  EXPECT_THAT(logText(), HasSubstr("Failed to open '" + file("missing.tif") +
                                   "' No such file or directory [error code: 2]"));
  // libtiff's own complaints reach the log too.
  EXPECT_THAT(logText(), HasSubstr("Not a TIFF"));

  // A record of the wrong size is ignored, not read past its end.
  const std::string path = file("short-record.tif");
  TIFF* tif = TIFFOpen(path.c_str(), "w");
  ASSERT_NE(tif, nullptr);
  TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, 2);
  TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 32);
  TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISBLACK);
  const std::uint8_t shortRecord[100] = {11};
  TIFFSetField(tif, 37701, 100u, shortRecord);
  const std::uint32_t row[2] = {1, 2};
  TIFFWriteScanline(tif, const_cast<std::uint32_t*>(row), 0, 0);
  TIFFClose(tif);
  TiffHandler h;
  EXPECT_EQ(h.OpenTiff(path.c_str()), 0);
  EXPECT_EQ(h.GetStru(), nullptr);
  EXPECT_FALSE(h.IsPacked());
  EXPECT_EQ(h.ReadDir(5), -1);
  EXPECT_THAT(logText(), HasSubstr("the scan record holds 100 bytes instead of 3176"));
}

TEST_F(TiffHandlerTest, FailedCreationOrWritesLeaveNoFile) {
  // A folder that cannot exist.
  const std::string bad = UnwritableFolder(tempDir()) + "/x.tif";
  TiffHandler h;
  try {
    h.CreateTiff(bad.c_str(), 4, 16, 0);
    ADD_FAILURE() << "no exception";
  } catch (const std::string& text) {
    EXPECT_EQ(text, "Failed to create '" + bad + "' Not a directory [error code: 20]");
  }
  EXPECT_FALSE(h.IsOpen());
  EXPECT_THAT(logText(), HasSubstr("ERROR: Failed to create '" + bad + "'"));

  // The disk fills up while lines are written: the line (or the close) fails, and no
  // file appears under the name.
  const std::string path = file("full.tif");
  tessary::SetFileSystemHooks({.writeLimit = [](const std::string&, std::uint64_t offset, std::size_t size) {
    return offset >= 800000 ? 0 : std::min<std::size_t>(size, 800000 - offset);
  }});
  std::vector<unsigned int> line(1000, 4242);
  bool threw = false;
  try {
    h.CreateTiff(path.c_str(), line.size(), 16, 0);
    for (int i = 0; i < 1000; ++i) h.AddScanline(line.data());
  } catch (const std::string& text) {
    threw = true;
    EXPECT_THAT(text, HasSubstr("can't write scanline"));
    EXPECT_THAT(text, HasSubstr("No space left on device [error code: 28]"));
  }
  EXPECT_TRUE(threw);
  EXPECT_EQ(h.Close(), -1);
  ExpectOnlyFiles({});
  EXPECT_THAT(logText(), HasSubstr("could not be written completely"));
}

TEST_F(TiffHandlerTest, MovingHandsTheOpenFileOver) {
  const std::string path = file("moved.tif");
  TiffHandler a;
  a.CreateTiff(path.c_str(), 2, 16, 0);
  TiffHandler b(std::move(a));
  EXPECT_FALSE(a.IsOpen());
  EXPECT_EQ(a.Close(), 0);
  const unsigned int line[] = {5, 6};
  EXPECT_EQ(b.AddScanline(line), 1);
  TiffHandler c;
  c = std::move(b);
  EXPECT_EQ(c.AddScanline(line), 2);
  EXPECT_EQ(c.Close(), 0);
  const auto pages = ReadPages(path);
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(pages[0].length, 2u);
}

}  // namespace
}  // namespace tessary_test
