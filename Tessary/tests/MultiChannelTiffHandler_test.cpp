// The multi-channel scan image: temporary files, merge, rotation, DDN correction, free
// space, recovery and the network backup.
#include "Tessary/MultiChannelTiffHandler.h"

#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <type_traits>
#include <vector>

#include "Jotwell/RegEdit.h"
#include "Tessary/TiffCompress.h"
#include "TessaryTest.h"
#include "platform/files.h"

namespace tessary_test {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::StartsWith;

static_assert(!std::is_copy_constructible_v<MultiChannelTiffHandler>);
static_assert(std::is_move_constructible_v<MultiChannelTiffHandler>);

using Samples = std::function<std::uint32_t(int channel, int row, int column)>;

struct Scan {
  unsigned width = 20, lines = 10;
  int depth = 16, channels = 2, x = 2, y = 2;
  bool decimated = false;
  int saturation[2] = {0, 0};
};

class MultiChannelTest : public TessaryTest {
 protected:
  // Creates and fills a scan the way the scan-data writer does: each line into its
  // channel file and, with a decimated set, into the channel's decimated file.
  void Write(MultiChannelTiffHandler& m, const std::string& target, const Scan& s, const Samples& f) {
    m.CreateTiff(target.c_str(), s.width, s.lines, s.depth, s.channels, s.x, s.y, s.decimated);
    for (int ch = 0; ch < s.channels; ++ch) {
      TiffHandler* h = m.GetTiffByChannel(ch);
      h->SetPMTChannel(ch);
      h->SetSaturationValue(s.saturation[ch]);
      h->SetPMTVoltage(600 + ch);
      h->SetScanRegion(1, 2, 3, 4);
      guids_[ch] = h->GetStru()->fileGuid;
    }
    m.SetBarcode("BC-17");
    m.SetScanStatus("Scan completed.\r\n");
    std::vector<unsigned int> line(s.width);
    for (unsigned row = 0; row < s.lines; ++row) {
      for (int ch = 0; ch < s.channels; ++ch) {
        for (unsigned c = 0; c < s.width; ++c) line[c] = f(ch, static_cast<int>(row), static_cast<int>(c));
        m.GetTiffByChannel(ch)->AddScanline(line.data());
        if (s.decimated) m.GetTiffByChannel(s.channels + ch)->AddScanline(line.data());
      }
    }
  }
  static std::uint32_t Plain(int ch, int row, int col) {
    return static_cast<std::uint32_t>(1000 * ch + 100 * row + col);
  }

  std::vector<std::string> TempFiles() const { return FilesIn(tempFolder()); }
  TiffScanRecord::Guid guids_[2]{};
};

TEST_F(MultiChannelTest, TwoChannelsWithDecimatedSetMergeIntoFourPages) {
  const std::string target = outDir() + "/slide_01.tif";
  MultiChannelTiffHandler m("label");
  Scan s;
  s.decimated = true;  // 2 um: blocks of 5
  s.saturation[0] = 60000;
  s.saturation[1] = 50000;
  Write(m, target, s,
        [](int ch, int row, int col) { return ch == 1 && row == 0 ? 70000u : Plain(ch, row, col); });
  EXPECT_EQ(TempFiles().size(), 4u);
  ASSERT_EQ(m.CloseAndSaveScan(0, 0, 0, 0, false), 0);
  EXPECT_THAT(FilesIn(outDir()), ElementsAre("slide_01.tif"));
  EXPECT_THAT(TempFiles(), IsEmpty());
  EXPECT_THAT(logText(), HasSubstr("Removing temporary file '" + tempFolder() + "/SCN"));

  const auto pages = ReadPages(target);
  ASSERT_EQ(pages.size(), 4u);
  const char* names[] = {"Red", "Green", "Red", "Green"};
  for (int p = 0; p < 4; ++p) {
    const bool small = p >= 2;
    const int ch = p % 2;
    SCOPED_TRACE(p);
    EXPECT_EQ(pages[p].pageName, names[p]);
    EXPECT_EQ(pages[p].imageDescription, names[p]);
    EXPECT_EQ(pages[p].width, small ? 4u : 20u);
    EXPECT_EQ(pages[p].length, small ? 2u : 10u);
    // The decimation is applied to the resolution once: 2 um x 5 = 10 um.
    EXPECT_FLOAT_EQ(pages[p].xResolution, small ? 1000 : 5000);
    for (unsigned r = 0; r < pages[p].length; ++r) {
      for (unsigned c = 0; c < pages[p].width; ++c) {
        std::uint32_t expect = 0;
        if (!small) {
          expect = std::min<std::uint32_t>(ch == 1 && r == 0 ? 70000u : Plain(ch, r, c), 65535);
        } else {
          std::uint64_t sum = 0;
          for (unsigned i = 0; i < 5; ++i)
            for (unsigned j = 0; j < 5; ++j)
              sum += ch == 1 && r * 5 + i == 0
                         ? 70000u
                         : Plain(ch, static_cast<int>(r * 5 + i), static_cast<int>(c * 5 + j));
          expect = static_cast<std::uint32_t>(sum / 25);
        }
        ASSERT_EQ(pages[p].rows[r][c], expect) << "row " << r << " col " << c;
      }
    }
    const TiffScanRecord rec = pages[p].Record();
    EXPECT_EQ(rec.recordVersion, 11u);
    EXPECT_EQ(rec.merged, 1);
    EXPECT_EQ(rec.channelCount, 2);
    EXPECT_EQ(rec.decimatedSetPresent, 1);
    EXPECT_EQ(rec.sourceGuid, guids_[0]);
    EXPECT_EQ(rec.fileGuid, pages[0].Record().fileGuid);
    EXPECT_NE(rec.fileGuid, guids_[0]);
    EXPECT_THAT(rec.pmtChannel, ElementsAre(0, 1, 0, 0));
    EXPECT_THAT(rec.pmtVoltage, ElementsAre(600, 601, 0, 0));
    EXPECT_THAT(rec.saturation, ElementsAre(60000, 50000, 0, 0));
    EXPECT_THAT(rec.crossTalk, ElementsAre(1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1));
    EXPECT_THAT(rec.cropRegion, ElementsAre(0, 0, 0, 0));
    EXPECT_THAT(rec.scanRegion, ElementsAre(1, 2, 3, 4));
    EXPECT_EQ(rec.lineLength, small ? 4 : 20);
    EXPECT_EQ(rec.decimation, small ? 5 : 0);
    EXPECT_EQ(rec.pixelSizeX, small ? 10 : 2);
    EXPECT_EQ(TiffScanRecord::Text(rec.barcode), "BC-17");
    EXPECT_EQ(TiffScanRecord::Text(rec.scanStatus), "Scan completed.  ");
    EXPECT_EQ(TiffScanRecord::Text(rec.orientation), "BsLandLeft");
  }

  if (!HaveTiffTools()) GTEST_SKIP() << "libtiff tools missing";
  const auto info = TiffInfo(target);
  EXPECT_EQ(info.exitCode, 0);
  EXPECT_THAT(info.output, HasSubstr("=== TIFF directory 3 ==="));
  const auto dump = TiffDump(target);
  std::size_t records = 0;
  for (auto at = dump.output.find("37701 (0x9345) BYTE (1) 3176<"); at != std::string::npos;
       at = dump.output.find("37701 (0x9345) BYTE (1) 3176<", at + 1))
    ++records;
  EXPECT_EQ(records, 4u);
  EXPECT_THAT(dump.output, HasSubstr("PageName (285) ASCII (2) 6<Green\\0>"));
}

TEST_F(MultiChannelTest, DdnCorrectionShiftsEvenAndOddRowsWithinLimits) {
  // Red: ddn 3 raises even rows by 1 and lowers odd rows by 2, within 0 and its
  // saturation value; green: ddn -3 the other way round, limited by the sample range
  // since it has no saturation value.
  const std::uint32_t values[] = {0, 1, 2, 1000, 59999, 60000, 65534, 65535};
  auto f = [&](int, int, int col) { return values[col]; };
  Scan s;
  s.width = 8;
  s.lines = 4;
  s.saturation[0] = 60000;
  struct Case {
    int noDdn;
    std::vector<std::uint32_t> redEven, redOdd, greenEven, greenOdd;
  } cases[] = {
      {0,
       {1, 2, 3, 1001, 60000, 60000, 60000, 60000},
       {0, 0, 0, 998, 59997, 59998, 60000, 60000},
       {0, 0, 0, 998, 59997, 59998, 65532, 65533},
       {1, 2, 3, 1001, 60000, 60001, 65535, 65535}},
      {1,
       {0, 1, 2, 1000, 59999, 60000, 65534, 65535},
       {0, 1, 2, 1000, 59999, 60000, 65534, 65535},
       {0, 1, 2, 1000, 59999, 60000, 65534, 65535},
       {0, 1, 2, 1000, 59999, 60000, 65534, 65535}},
  };
  for (const auto& c : cases) {
    const std::string target = outDir() + "/ddn.tif";
    MultiChannelTiffHandler m;
    Write(m, target, s, f);
    ASSERT_EQ(m.CloseAndSaveScan(0, c.noDdn, 3, -3, false), 0);
    const auto pages = ReadPages(target);
    ASSERT_EQ(pages.size(), 2u);
    for (unsigned r = 0; r < 4; ++r) {
      SCOPED_TRACE(testing::Message() << "noDdn " << c.noDdn << " row " << r);
      EXPECT_EQ(pages[0].rows[r], r % 2 ? c.redOdd : c.redEven);
      EXPECT_EQ(pages[1].rows[r], r % 2 ? c.greenOdd : c.greenEven);
    }
  }
}

TEST_F(MultiChannelTest, ThirtyTwoBitPagesArePackedAndReadBackUnpacked) {
  const std::string target = outDir() + "/hdr_02.tif";
  MultiChannelTiffHandler m;
  Scan s;
  s.width = 10;
  s.lines = 4;
  s.depth = 32;
  s.x = s.y = 5;  // decimated copies in blocks of 2
  s.decimated = true;
  auto f = [](int ch, int row, int col) -> std::uint32_t {
    return col == 9 ? 0x1FFFFFu : static_cast<std::uint32_t>(0x10000 * (ch + 1) + 0x100 * row + col);
  };
  Write(m, target, s, f);
  ASSERT_EQ(m.CloseAndSaveScan(1, 1, 0, 0, false), 0);

  const auto pages = ReadPages(target);
  ASSERT_EQ(pages.size(), 4u);
  for (int p = 0; p < 2; ++p) {
    EXPECT_EQ(pages[p].bits, 32);
    EXPECT_EQ(pages[p].compression, COMPRESSION_LZW);
    EXPECT_EQ(pages[p].width, TiffHandler::PackedLineLength(10));
    EXPECT_EQ(pages[p].Record().lineLength, 10);
    for (unsigned r = 0; r < 4; ++r) {
      std::vector<std::uint32_t> samples(10);
      TiffHandler::UnPackBuffer(pages[p].rows[r].data(), samples.data(), pages[p].width, 10);
      for (int c = 0; c < 10; ++c)  // beyond 20 bits a sample saturates
        EXPECT_EQ(samples[c], std::min<std::uint32_t>(f(p, static_cast<int>(r), c), 0xFFFFF)) << p << r << c;
    }
  }
  EXPECT_EQ(pages[2].bits, 16);
  EXPECT_EQ(pages[2].width, 5u);
  EXPECT_EQ(pages[2].length, 2u);

  // The handler recognises the narrow packed pages and the unpacked decimated ones.
  TiffHandler r;
  ASSERT_EQ(r.OpenTiff(target.c_str()), 0);
  EXPECT_TRUE(r.IsPacked());
  EXPECT_EQ(r.GetLineLength(), 10u);
  ASSERT_EQ(r.ReadDir(2), 0);
  EXPECT_FALSE(r.IsPacked());
  EXPECT_EQ(r.GetLineLength(), 5u);
}

TEST_F(MultiChannelTest, FlipAndRotateWritesOneTurnedFilePerChannel) {
  const std::string target = outDir() + "/turn_03.tif";
  MultiChannelTiffHandler m;
  Scan s;
  s.width = 23;  // bands of 2 rows and a last band of 5
  s.lines = 5;
  s.x = 2;
  s.y = 3;
  Write(m, target, s, Plain);
  ASSERT_EQ(m.CloseAndSaveScan(0, 0, 2, 0, true), 0);
  EXPECT_THAT(FilesIn(outDir()), ElementsAre("turn_03_Green.tif", "turn_03_Red.tif"));
  EXPECT_THAT(TempFiles(), IsEmpty());

  for (int ch = 0; ch < 2; ++ch) {
    SCOPED_TRACE(ch);
    const auto pages = ReadPages(outDir() + (ch ? "/turn_03_Green.tif" : "/turn_03_Red.tif"));
    ASSERT_EQ(pages.size(), 1u);
    const Page& p = pages[0];
    EXPECT_EQ(p.width, 5u);
    EXPECT_EQ(p.length, 23u);
    EXPECT_EQ(p.pageName, ch ? "Green" : "Red");
    for (unsigned k = 0; k < 23; ++k) {
      for (unsigned c = 0; c < 5; ++c) {
        const int sourceRow = 4 - static_cast<int>(c);
        std::uint32_t v = Plain(ch, sourceRow, 22 - static_cast<int>(k));
        if (ch == 0) v = sourceRow % 2 ? v - 1 : v + 1;  // ddn 2 on the red channel
        ASSERT_EQ(p.rows[k][c], v) << "row " << k << " col " << c;
      }
    }
    // The axes swap, and with them the pixel sizes and the region's far corner.
    EXPECT_FLOAT_EQ(p.xResolution, 10000.0f / 3);
    EXPECT_FLOAT_EQ(p.yResolution, 5000);
    const TiffScanRecord rec = p.Record();
    EXPECT_EQ(rec.pixelSizeX, 3);
    EXPECT_EQ(rec.pixelSizeY, 2);
    EXPECT_EQ(TiffScanRecord::Text(rec.orientation), "FsPortUp");
    EXPECT_THAT(rec.scanRegion, ElementsAre(1, 2, 4, 3));
    EXPECT_EQ(rec.lineLength, 5);
    EXPECT_EQ(rec.merged, 1);
    EXPECT_EQ(rec.sourceGuid, guids_[ch]);
    EXPECT_THAT(rec.pmtChannel, ElementsAre(ch, 0, 0, 0));
  }
}

// The files the merge, the rotation, compression and recovery write stay exactly as they
// are, byte for byte in every tag and pixel (the date, the computer's name and the random
// identifiers aside): checksums of files made before the write path was made faster.
TEST_F(MultiChannelTest, OutputFilesKeepTheirExactLayout) {
  // Noisy samples, some beyond 16 and 20 bits, so that clamping and DDN limits show.
  auto noisy = [](int ch, int row, int col) {
    const auto u = [](int i) { return static_cast<std::uint32_t>(i); };
    std::uint32_t v = (u(ch) * 7919u + u(row) * 104729u + u(col) * 1299709u) * 2654435761u;
    v >>= 11;  // 21 bits
    return (v & 7) == 0 ? v : v % 70000;
  };
  struct Case {
    const char* name;
    Scan scan;
    int compression, ddn1, ddn2;
    bool rotate, failMerge;
    std::vector<std::pair<std::string, std::string>> files;  // name in outDir(), checksum
  };
  Scan decimated16;  // several rows per strip, a short last strip
  decimated16.width = 37;
  decimated16.lines = 250;
  decimated16.decimated = true;
  decimated16.saturation[0] = 60000;
  Scan wide;  // one row per strip
  wide.width = 5000;
  wide.lines = 12;
  wide.channels = 1;
  wide.decimated = true;
  Scan deep = decimated16;  // packed 32-bit pages and decimated blocks of 2
  deep.depth = 32;
  deep.lines = 41;
  deep.x = deep.y = 5;
  deep.saturation[1] = 0x7FFFF;
  const Case cases[] = {
      {"16 bit", decimated16, 0, 3, -2, false, false, {{"a_01.tif", "d7d108ccee8450b7"}}},
      {"16 bit, LZW", decimated16, 1, 3, -2, false, false, {{"b_01.tif", "a0ead6c9401d4031"}}},
      {"one row per strip", wide, 0, -5, 0, false, false, {{"c_01.tif", "8cf1519a657fe243"}}},
      {"32 bit", deep, 0, 5, -7, false, false, {{"d_01.tif", "2e01a89eeab536c7"}}},
      {"32 bit, LZW", deep, 1, 5, -7, false, false, {{"e_01.tif", "24a331a7cc158e50"}}},
      {"rotated",
       decimated16,
       0,
       3,
       -2,
       true,
       false,
       {{"f_01_Green.tif", "20975247f4e6d5d2"},
        {"f_01_Red.tif", "b09c92a974057196"},
        {"f_01_Small_Green.tif", "23b31de2af421a78"},
        {"f_01_Small_Red.tif", "65991d92a5c3b244"}}},
      {"rotated, one row per strip",
       wide,
       0,
       -5,
       0,
       true,
       false,
       {{"g_01_Red.tif", "f3ad452968ac48c7"}, {"g_01_Small_Red.tif", "873025d582e39806"}}},
      {"recovered temporary files",
       deep,
       0,
       5,
       -7,
       false,
       true,
       {{"h_Green.tif", "a4fecee6a845e936"},
        {"h_Red.tif", "e7fdc97679c48653"},
        {"h_Small_Green.tif", "471a4cfb5416eb89"},
        {"h_Small_Red.tif", "302f10992daa846d"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string stem = c.files.front().first.substr(0, c.failMerge ? 1 : 4);
    const std::string target = outDir() + "/" + stem + ".tif";
    if (c.failMerge)
      tessary::SetFileSystemHooks(
          {.writeLimit = [&](const std::string& path, std::uint64_t offset, std::size_t size) {
            return path.starts_with(target + ".part-") && offset + size > 200 ? 0 : size;
          }});
    MultiChannelTiffHandler m;
    Write(m, target, c.scan, noisy);
    EXPECT_EQ(m.CloseAndSaveScan(c.compression, 0, c.ddn1, c.ddn2, c.rotate) == 0, !c.failMerge);
    tessary::SetFileSystemHooks({});
    for (const auto& [name, checksum] : c.files) {
      const std::string layout = StableLayout(outDir() + "/" + name);
      EXPECT_EQ(Checksum(layout), checksum) << name << "\n" << layout;
    }
  }
  // Compressing and uncompressing a merged image.
  const std::string merged = outDir() + "/a_01.tif";
  ASSERT_EQ(CompressTiff(merged.c_str(), (outDir() + "/lzw.tif").c_str()), kTiffCompressOk);
  ASSERT_EQ(UncompressTiff((outDir() + "/lzw.tif").c_str(), (outDir() + "/plain.tif").c_str()),
            kTiffCompressOk);
  for (const auto& [name, checksum] : {std::pair<std::string, std::string>{"lzw.tif", "3b28d896f291d0fd"},
                                       {"plain.tif", "424a1dafdf616133"}}) {
    const std::string layout = StableLayout(outDir() + "/" + name);
    EXPECT_EQ(Checksum(layout), checksum) << name << "\n" << layout;
  }
}

// Large scans are turned in blocks of source rows (into runs of columns of every output
// row) or, compressed, in several passes over the source (bands of output rows), each in
// blocks of source rows and small tiles: every boundary must meet exactly.
class RotationBandTest : public MultiChannelTest, public MultiChannelTiffHandler {
 protected:
  ~RotationBandTest() override { s_nRotationBandBytes = saved_; }
  std::size_t saved_ = s_nRotationBandBytes;
};

TEST_F(RotationBandTest, EveryBandBlockAndTileBoundaryMeets) {
  struct Case {
    const char* name;
    unsigned width, lines;
    std::size_t bandRows;  // output rows per pass
  };
  const Case cases[] = {
      {"one pass", 70, 301, 1000},       // tiles of 32 over 70 columns, blocks over 301 rows
      {"bands of one row", 33, 130, 1},  // a pass per output row
      {"uneven bands", 71, 257, 5},      // the last band is short
  };
  // Uncompressed output is turned in blocks of source rows written into place (the block
  // takes as much memory as a band would), read in place when uncorrected; compressed
  // output in bands of whole rows.
  struct Way {
    int compression, ddn;
  };
  for (const Way way : {Way{0, 4}, Way{0, 0}, Way{1, 4}})
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      SCOPED_TRACE(way.compression ? "compressed" : way.ddn ? "corrected" : "as it is");
      const std::string target = outDir() + "/band_01.tif";
      s_nRotationBandBytes = c.bandRows * c.lines * sizeof(std::uint16_t);
      MultiChannelTiffHandler m;
      Scan s;
      s.width = c.width;
      s.lines = c.lines;
      s.channels = 1;
      auto sample = [](int, int row, int col) {
        return static_cast<std::uint32_t>(7 * row + 1000 * (col % 50) + 3);
      };
      Write(m, target, s, sample);
      ASSERT_EQ(m.CloseAndSaveScan(way.compression, 0, way.ddn, 0, true), 0);
      const auto pages = ReadPages(outDir() + "/band_01_Red.tif");
      ASSERT_EQ(pages.size(), 1u);
      const Page& p = pages[0];
      ASSERT_EQ(p.width, c.lines);
      ASSERT_EQ(p.length, c.width);
      for (unsigned k = 0; k < c.width; ++k) {
        for (unsigned col = 0; col < c.lines; ++col) {
          const int sourceRow = static_cast<int>(c.lines - 1 - col);
          std::uint32_t v = sample(0, sourceRow, static_cast<int>(c.width - 1 - k));
          if (way.ddn) v = sourceRow % 2 ? v - 2 : v + 2;  // ddn 4
          ASSERT_EQ(p.rows[k][col], v) << "row " << k << " col " << col;
        }
      }
      (void)platform::removeFile(outDir() + "/band_01_Red.tif");
    }
}

// Channel files are normally read in place; one that libtiff must decode (another byte
// order, compressed) is read through libtiff instead, with the same result.
TEST_F(RotationBandTest, SourcesLibtiffMustDecodeGiveTheSamePixels) {
  constexpr std::uint32_t kWidth = 37, kRows = 50;
  auto sample = [](std::uint32_t row, std::uint32_t col) {
    return static_cast<std::uint16_t>(1000 + 97 * row + col);
  };
  struct Case {
    const char* name;
    const char* mode;
    std::uint16_t compression;
  } cases[] = {{"big-endian", "wb", COMPRESSION_NONE}, {"LZW", "wl", COMPRESSION_LZW}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = outDir() + "/source.tif";
    TIFF* tif = CreateGrey16(path, c.mode, kWidth, kRows, 7, c.compression);
    ASSERT_NE(tif, nullptr);
    std::vector<std::uint16_t> line(kWidth);
    for (std::uint32_t r = 0; r < kRows; ++r) {
      for (std::uint32_t col = 0; col < kWidth; ++col) line[col] = sample(r, col);
      ASSERT_EQ(TIFFWriteScanline(tif, line.data(), r, 0), 1);
    }
    TIFFClose(tif);

    for (bool turn : {false, true}) {
      SCOPED_TRACE(turn ? "turned" : "copied");
      TiffHandler source;
      ASSERT_EQ(source.OpenTiff(path.c_str()), 0);
      const std::string target = outDir() + "/target.tif";
      TiffHandler out;
      out.CreateTiff(target.c_str());
      ASSERT_EQ(out.SetupTiff(turn ? kRows : kWidth, 1, 16, 0, false, false), 0);
      std::unique_ptr<std::uint16_t[]> band;
      std::size_t bandSize = 0;
      s_nRotationBandBytes = 5 * kRows * sizeof(std::uint16_t);  // several bands
      ASSERT_EQ(turn ? CopyImageFlipAndRotate(source, out, 2, 65535, band, bandSize)
                     : CopyImage16(source, out, 2, 65535),
                0);
      ASSERT_TRUE(out.Save());
      ASSERT_EQ(out.Close(), 0);
      const auto pages = ReadPages(target);
      ASSERT_EQ(pages.size(), 1u);
      ASSERT_EQ(pages[0].length, turn ? kWidth : kRows);
      for (std::uint32_t r = 0; r < pages[0].length; ++r) {
        for (std::uint32_t col = 0; col < pages[0].width; ++col) {
          const std::uint32_t sourceRow = turn ? kRows - 1 - col : r;
          const std::uint32_t sourceCol = turn ? kWidth - 1 - r : col;
          const std::uint32_t expect = sample(sourceRow, sourceCol) + (sourceRow % 2 ? -1 : 1);  // ddn 2
          ASSERT_EQ(pages[0].rows[r][col], expect) << "row " << r << " col " << col;
        }
      }
    }
  }
}

// The temporary files are the scan's only copy until the merge: a process that ends
// before it leaves them, with the lines written so far.
// The merge writes each block of rows while it makes the next: a write that fails in any
// block, the last included, fails the merge, and the scan is kept whole for recovery.
TEST_F(RotationBandTest, AWriteFailingInAnyBlockFailsTheMergeAndKeepsTheScan) {
  struct Case {
    const char* name;
    int ddn;
    bool rotate;
    std::uint64_t allowed;  // bytes of the output that can be written
  };
  // Several blocks of rows (and, turned, several bands) to the output; the last failing
  // write is one the writer makes while nothing else is left to make.
  constexpr unsigned kWidth = 2048, kLines = 1536;
  constexpr std::uint64_t kLast = std::uint64_t{kWidth} * kLines * 2 - (1 << 20) - (100 << 10);
  const Case cases[] = {
      {"corrected rows, first block", 4, false, 1 << 20},   {"corrected rows, last block", 4, false, kLast},
      {"rows as they are, first block", 0, false, 1 << 20}, {"rows as they are, last block", 0, false, kLast},
      {"turned, an early band", 4, true, 1 << 20},          {"turned, a late band", 4, true, kLast},
  };
  s_nRotationBandBytes = 256 << 10;
  auto sample = [](int, int row, int col) {
    return static_cast<std::uint32_t>((7 * row + 13 * col) % 60000);
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string target = outDir() + "/fail.tif";
    // Only the merged image's own writes fail, not those of the recovery's copy (which,
    // turned, goes under the same name).
    const std::string merged = (c.rotate ? outDir() + "/fail_Red.tif" : target) + ".part-";
    std::string failing;
    tessary::SetFileSystemHooks(
        {.writeLimit = [&](const std::string& path, std::uint64_t offset, std::size_t size) -> std::size_t {
          if (failing.empty() && path.starts_with(merged)) failing = path;
          if (path != failing) return size;
          return offset + size > c.allowed ? (offset < c.allowed ? c.allowed - offset : 0) : size;
        }});
    const std::size_t logged = logText().size();
    MultiChannelTiffHandler m;
    Scan s;
    s.width = kWidth;
    s.lines = kLines;
    s.channels = 1;
    Write(m, target, s, sample);
    EXPECT_NE(m.CloseAndSaveScan(0, 0, c.ddn, 0, c.rotate), 0);
    tessary::SetFileSystemHooks({});
    EXPECT_THAT(logText().substr(logged), HasSubstr("can't write scanline"));
    // The scan's rows, every one of them, in the recovery file beside the target.
    EXPECT_THAT(FilesIn(outDir()), ElementsAre("fail_Red.tif")) << logText();
    const auto pages = ReadPages(outDir() + "/fail_Red.tif");
    ASSERT_EQ(pages.size(), 1u);
    ASSERT_EQ(pages[0].rows.size(), kLines);
    EXPECT_EQ(pages[0].rows[kLines - 1][kWidth - 1], sample(0, kLines - 1, kWidth - 1));
    EXPECT_THAT(TempFiles(), IsEmpty());
    (void)platform::removeFile(outDir() + "/fail_Red.tif");
  }
}

// Images past what classic TIFF addresses (4 GiB) are written as 64-bit TIFF (BigTIFF),
// with the same tags, records and pixels; everything that fits stays classic. The limit
// is lowered so that small images stand in for large ones.
class BigTiffTest : public MultiChannelTest, public MultiChannelTiffHandler {
 protected:
  ~BigTiffTest() override { s_nClassicTiffLimit = saved_; }
  std::uint64_t saved_ = s_nClassicTiffLimit;

  // 42: classic TIFF; 43: 64-bit TIFF (both little-endian).
  static int Version(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    unsigned char b[4] = {};
    in.read(reinterpret_cast<char*>(b), 4);
    return in && b[0] == 'I' && b[1] == 'I' ? b[2] | (b[3] << 8) : -1;
  }
  // A page as it reads back, its identifiers (new with every scan) left out.
  static std::string Contents(const Page& p) {
    TiffScanRecord r = p.Record();
    r.fileGuid = {};
    r.sourceGuid = {};
    const auto record = r.Serialize();
    std::string text = std::to_string(p.width) + "x" + std::to_string(p.length) + " bits " +
                       std::to_string(p.bits) + " compression " + std::to_string(p.compression) + " " +
                       p.pageName + "/" + p.imageDescription + " res " + std::to_string(p.xResolution) + "," +
                       std::to_string(p.yResolution) + "," + std::to_string(p.resolutionUnit) + " record " +
                       Checksum(std::string(record.begin(), record.end())) + " rows ";
    for (const auto& row : p.rows)
      for (std::uint32_t v : row) text += std::to_string(v) + ",";
    return text;
  }
};

TEST_F(BigTiffTest, ImagesPastTheClassicLimitAreWrittenAs64BitTiffWithTheSameContents) {
  struct Case {
    const char* name;
    int depth;
    bool decimated, rotate;
    int compression;
    std::vector<std::string> files;
  };
  const Case cases[] = {
      {"16 bit with decimated pages", 16, true, false, 0, {"img_07.tif"}},
      {"32 bit, packed", 32, false, false, 0, {"img_07.tif"}},
      {"compressed", 16, true, false, 1, {"img_07.tif"}},
      {"turned", 16, false, true, 0, {"img_07_Green.tif", "img_07_Red.tif"}},
  };
  auto sample = [](int ch, int row, int col) {
    return static_cast<std::uint32_t>((5003 * ch + 7 * row * row + 131 * col) % 1048576);
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Scan s;
    s.width = 300;
    s.lines = 200;  // 120 kB a 16-bit channel
    s.depth = c.depth;
    s.decimated = c.decimated;
    std::string contents[2];
    for (bool big : {false, true}) {
      SCOPED_TRACE(big ? "64-bit" : "classic");
      // The image and each channel file hold some 100 kB: a limit of 50 kB is passed by
      // every file, one of 100 MB by none.
      s_nClassicTiffLimit = big ? 50'000 : 100'000'000;
      const std::size_t logged = logText().size();
      MultiChannelTiffHandler m;
      Write(m, outDir() + "/img_07.tif", s, sample);
      for (unsigned i = 0; i < m.GetFileCount(); ++i)
        EXPECT_EQ(TIFFIsBigTIFF(m.GetTiffByChannel(static_cast<int>(i))->GetTiffPtr()) != 0, big) << i;
      ASSERT_EQ(m.CloseAndSaveScan(c.compression, 0, 3, -2, c.rotate), 0) << logText();
      ASSERT_EQ(FilesIn(outDir()), c.files);
      for (const std::string& name : c.files) {
        const std::string path = outDir() + "/" + name;
        EXPECT_EQ(Version(path), big ? 43 : 42) << name;
        EXPECT_THAT(logText().substr(logged),
                    HasSubstr(big ? "written as 64-bit TIFF (BigTIFF)" : "written as classic TIFF"));
        for (const Page& p : ReadPages(path)) contents[big] += Contents(p) + "\n";
        (void)platform::removeFile(path);
      }
    }
    EXPECT_EQ(contents[0], contents[1]);
    EXPECT_FALSE(contents[0].empty());
  }
}

// Compression keeps the form of its source: a 64-bit image stays one, a classic one stays
// classic.
TEST_F(BigTiffTest, CompressionKeepsTheSourcesForm) {
  for (bool big : {false, true}) {
    SCOPED_TRACE(big ? "64-bit" : "classic");
    s_nClassicTiffLimit = big ? 50'000 : 100'000'000;
    const std::string target = outDir() + "/cmp_01.tif", packed = outDir() + "/cmp_lzw.tif";
    MultiChannelTiffHandler m;
    Scan s;
    s.width = 300;
    s.lines = 200;
    Write(m, target, s, Plain);
    ASSERT_EQ(m.CloseAndSaveScan(0, 0, 0, 0, false), 0);
    ASSERT_EQ(CompressTiff(target.c_str(), packed.c_str()), kTiffCompressOk);
    EXPECT_EQ(Version(packed), big ? 43 : 42);
    const auto before = ReadPages(target), after = ReadPages(packed);
    ASSERT_EQ(before.size(), after.size());
    for (std::size_t i = 0; i < before.size(); ++i) {
      EXPECT_EQ(after[i].compression, COMPRESSION_LZW);
      EXPECT_EQ(after[i].rows, before[i].rows);
      EXPECT_EQ(after[i].pageName, before[i].pageName);
    }
    (void)platform::removeFile(target);
    (void)platform::removeFile(packed);
  }
}

TEST_F(MultiChannelTest, AProcessEndingBeforeTheMergeLeavesTheTemporaryFiles) {
  // Forked (not re-run): the child writes into this test's folders.
  GTEST_FLAG_SET(death_test_style, "fast");
  const std::string target = outDir() + "/crash_01.tif";
  EXPECT_EXIT(
      {
        MultiChannelTiffHandler m;
        Scan s;
        s.width = 4000;
        s.lines = 300;
        Write(m, target, s, Plain);
        std::_Exit(3);
      },
      ::testing::ExitedWithCode(3), "");
  const auto temps = TempFiles();
  ASSERT_EQ(temps.size(), 2u);
  for (const auto& name : temps) {
    const auto size = platform::fileSize(tempFolder() + "/" + name);
    ASSERT_TRUE(size.has_value());
    // All but what was still buffered in the process (at most a mebibyte).
    EXPECT_GE(*size, 300u * 4000u * 2u - (1u << 20)) << name;
  }
  EXPECT_THAT(FilesIn(outDir()), IsEmpty());
}

TEST_F(MultiChannelTest, EachImageIsSyncedOnceWholeBeforeItTakesItsName) {
  // What each sync found: the file synced, its size then, and whether its final name
  // was already taken.
  struct Sync {
    std::string name;
    std::uint64_t size;
    bool named;
  };
  std::vector<Sync> syncs;
  tessary::SetFileSystemHooks({.synced = [&](const std::string& path) {
    const std::string name = path.substr(0, path.find(".part-"));
    syncs.push_back({name, platform::fileSize(path).value_or(0), platform::fileSize(name).has_value()});
  }});
  struct Case {
    const char* name;
    int compression;
    bool rotate;
    std::vector<std::string> files;
  };
  const Case cases[] = {
      {"merged", 0, false, {"s_01.tif"}},
      {"merged and compressed", 1, false, {"s_01.tif"}},
      {"turned", 0, true, {"s_01_Red.tif", "s_01_Green.tif"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    syncs.clear();
    MultiChannelTiffHandler m;
    Scan s;
    s.width = 600;
    s.lines = 900;  // more than a write buffer's worth
    Write(m, outDir() + "/s_01.tif", s, Plain);
    ASSERT_EQ(m.CloseAndSaveScan(c.compression, 0, 3, -2, c.rotate), 0);
    ASSERT_EQ(syncs.size(), c.files.size());
    for (std::size_t i = 0; i < syncs.size(); ++i) {
      const std::string path = outDir() + "/" + c.files[i];
      EXPECT_EQ(syncs[i].name, path);
      EXPECT_FALSE(syncs[i].named) << path;
      EXPECT_EQ(syncs[i].size, platform::fileSize(path).value_or(1)) << path;
      (void)platform::removeFile(path);
    }
  }
  tessary::SetFileSystemHooks({});
}

TEST_F(MultiChannelTest, FreeSpaceOfExactlyTheEstimateIsRefused) {
  // 16 bits, 1000 x 2000 pixels at 2 um: 4000000 + 1 MiB, plus the decimated copy
  // 2 x 2000000 / 25 + 1 MiB, per channel.
  const std::int64_t perChannel = 4000000 + 1048576 + 160000 + 1048576;
  EXPECT_EQ(MultiChannelTiffHandler::EstimateScanFileBytes(1000, 2000, 16, 2, 2), 2 * perChannel);
  EXPECT_EQ(MultiChannelTiffHandler::EstimateScanFileBytes(1000, 2000, 32, 1, 10),
            8000000 + 1048576 + 4000000 + 1048576);
  EXPECT_EQ(MultiChannelTiffHandler::EstimateScanFileBytes(1000, 2000, 16, 1, 20), 4000000 + 1048576);

  std::uint64_t free = 0;
  tessary::SetFileSystemHooks({.freeSpace = [&](const std::string&) { return std::optional(free); }});
  const std::string file = outDir() + "/new/slide_01.tif";
  free = 2 * perChannel;
  try {
    MultiChannelTiffHandler::CheckForScanFileSpace(file, 1000, 2000, 16, 2, 2, 2, false);
    ADD_FAILURE() << "accepted";
  } catch (const std::string& text) {
    EXPECT_EQ(text, "For " + file +
                        " : Not enough available disk space on drive. Total free bytes avaliable = " +
                        std::to_string(free) + ". Required (estimated) = " + std::to_string(2 * perChannel));
  }
  EXPECT_FALSE(platform::directoryExists(outDir() + "/new"));
  free = 2 * perChannel + 1;
  EXPECT_NO_THROW(MultiChannelTiffHandler::CheckForScanFileSpace(file, 1000, 2000, 16, 2, 2, 2, false));
  EXPECT_TRUE(platform::directoryExists(outDir() + "/new"));
}

TEST_F(MultiChannelTest, CreatingChecksTheTemporaryFolderToo) {
  const std::int64_t need = MultiChannelTiffHandler::EstimateScanFileBytes(100, 100, 16, 1, 2);
  // Free space per folder; the temporary folder and the target share this machine's
  // disk, so the target needs room for both.
  struct Case {
    std::int64_t target, temp;
    const char* refused;  // the folder named in the refusal, or null
  } cases[] = {
      {2 * need + 1, need, "temp"},
      {2 * need, need + 1, "target"},
      {2 * need + 1, need + 1, nullptr},
  };
  for (const auto& c : cases) {
    tessary::SetFileSystemHooks({.freeSpace = [&](const std::string& path) {
      return std::optional<std::uint64_t>(path.starts_with(tempFolder()) ? c.temp : c.target);
    }});
    MultiChannelTiffHandler m;
    const std::string target = outDir() + "/space_01.tif";
    try {
      m.CreateTiff(target.c_str(), 100, 100, 16, 1, 2, 2, false);
      EXPECT_EQ(c.refused, nullptr);
      m.CloseAndRemoveScan();
    } catch (const std::string& text) {
      ASSERT_NE(c.refused, nullptr) << text;
      EXPECT_THAT(
          text, StartsWith(std::string("For ") + (c.refused == std::string("temp") ? tempFolder() : target) +
                           " : Not enough available disk space"));
      EXPECT_EQ(m.GetFileCount(), 0u);
    }
    EXPECT_THAT(TempFiles(), IsEmpty());
  }
}

TEST_F(MultiChannelTest, UnreachableNetworkTargetIsBackedUpLocally) {
  // The share is gone: its folder cannot be written, and it lies on a network drive.
  const std::string share = UnwritableFolder(tempDir());
  tessary::SetFileSystemHooks({.driveKind = [&](const std::string& path) {
    return path.starts_with(share) ? platform::DriveKind::remote : platform::DriveKind::local;
  }});
  const std::string backup = install() + "/NetDataBackup";
  EXPECT_TRUE(platform::createDirectories(backup));
  testsupport::writeFile(backup + "/slide_07.tif", "an earlier backup");

  MultiChannelTiffHandler m;
  Scan s;
  Write(m, share + "/slide_07.tif", s, Plain);
  try {
    m.CloseAndSaveScan(0, 0, 0, 0, false);
    ADD_FAILURE() << "no redirect reported";
  } catch (const CNetworkFailedRedirected& e) {
    EXPECT_EQ(e.GetMessage(), "Network drive became unaccessible for file: " + share +
                                  "/slide_07.tif; File backed-up into: " + backup + "/slide_08.tif");
  }
  EXPECT_EQ(testsupport::readFile(backup + "/slide_07.tif"), "an earlier backup");
  const auto pages = ReadPages(backup + "/slide_08.tif");
  ASSERT_EQ(pages.size(), 2u);
  EXPECT_EQ(pages[1].rows[9][19], Plain(1, 9, 19));
  EXPECT_THAT(TempFiles(), IsEmpty());
  EXPECT_THAT(logText(), HasSubstr("INFO: Network drive became unaccessible for file: "));
}

TEST_F(MultiChannelTest, FailedMergeIsRecoveredBesideTheTarget) {
  // The disk under the target fills up during the merge: a name without trailing
  // digits cannot be backed up, so each temporary file is copied next to the target.
  const std::string target = outDir() + "/base.tif";
  tessary::SetFileSystemHooks(
      {.writeLimit = [&](const std::string& path, std::uint64_t offset, std::size_t size) {
        return path.starts_with(target + ".part-") && offset + size > 200 ? 0 : size;
      }});
  MultiChannelTiffHandler m;
  Scan s;
  s.decimated = true;
  Write(m, target, s, Plain);
  EXPECT_NE(m.CloseAndSaveScan(0, 0, 0, 0, false), 0);
  EXPECT_THAT(FilesIn(outDir()),
              ElementsAre("base_Green.tif", "base_Red.tif", "base_Small_Green.tif", "base_Small_Red.tif"));
  EXPECT_THAT(TempFiles(), IsEmpty());
  const auto red = ReadPages(outDir() + "/base_Red.tif");
  ASSERT_EQ(red.size(), 1u);
  EXPECT_EQ(red[0].rows[3][4], Plain(0, 3, 4));
  const auto smallGreen = ReadPages(outDir() + "/base_Small_Green.tif");
  ASSERT_EQ(smallGreen.size(), 1u);
  EXPECT_EQ(smallGreen[0].pageName, "Green");
  EXPECT_EQ(smallGreen[0].width, 4u);
  EXPECT_THAT(logText(), HasSubstr("No space left on device")) << logText();
}

TEST_F(MultiChannelTest, WhenNothingCanBeWrittenTheTemporaryFilesStay) {
  struct Case {
    const char* name;
    bool failDuringScan;  // the temporary folder fills up while the lines arrive
  } cases[] = {{"unwritable target", false}, {"full temporary folder", true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string folder = UnwritableFolder(outDir());
    tessary::SetFileSystemHooks(
        {.writeLimit = [&](const std::string& path, std::uint64_t offset, std::size_t size) {
          return c.failDuringScan && path.starts_with(tempFolder()) && offset + size > 100000 ? 0 : size;
        }});
    const std::string target = c.failDuringScan ? outDir() + "/full_04.tif" : folder + "/lost_05.tif";
    MultiChannelTiffHandler m;
    Scan s;
    s.width = 1024;
    s.lines = 600;  // more than the write buffer holds
    try {
      Write(m, target, s, Plain);
      EXPECT_FALSE(c.failDuringScan) << "no line failed";
    } catch (const std::string& text) {
      EXPECT_TRUE(c.failDuringScan) << text;
      EXPECT_THAT(text, HasSubstr("can't write scanline"));
    }
    EXPECT_NE(m.CloseAndSaveScan(0, 0, 0, 0, false), 0);
    EXPECT_THAT(FilesIn(outDir()), ElementsAre("not-a-folder"));
    EXPECT_EQ(TempFiles().size(), 2u);
    EXPECT_THAT(logText(),
                HasSubstr("ERROR: For " + target + " : scan data kept in '" + tempFolder() + "/SCN"));
    for (const auto& name : TempFiles()) (void)platform::removeFile(tempFolder() + "/" + name);
    (void)platform::removeFile(outDir() + "/not-a-folder");
    tessary::SetFileSystemHooks({});
  }
}

TEST_F(MultiChannelTest, AbandonedScanRemovesItsTemporaryFiles) {
  MultiChannelTiffHandler m;
  Scan s;
  s.decimated = true;
  Write(m, outDir() + "/gone_06.tif", s, Plain);
  EXPECT_EQ(TempFiles().size(), 4u);
  EXPECT_THAT(logText(),
              HasSubstr("INFO: Creating Temporary Scan Output for channel 4 as '" + tempFolder() + "/SCN"));
  m.CloseAndRemoveScan();
  EXPECT_THAT(TempFiles(), IsEmpty());
  EXPECT_THAT(FilesIn(outDir()), IsEmpty());
  EXPECT_NE(m.CloseAndSaveScan(0, 0, 0, 0, false), 0);

  // A scan that never got a line has nothing to save (and nothing unreadable is left).
  m.CreateTiff((outDir() + "/empty_07.tif").c_str(), 10, 10, 16, 2, 2, 2, true);
  EXPECT_NE(m.CloseAndSaveScan(0, 0, 0, 0, false), 0);
  EXPECT_THAT(TempFiles(), IsEmpty());
  EXPECT_THAT(FilesIn(outDir()), IsEmpty());
  EXPECT_THAT(logText(), HasSubstr("no scan line was written"));

  // Shorter than one decimated block (5 lines at 2 um): saved without decimated pages.
  Scan s3;
  s3.lines = 3;
  s3.decimated = true;
  Write(m, outDir() + "/short_09.tif", s3, Plain);
  ASSERT_EQ(m.CloseAndSaveScan(0, 0, 0, 0, false), 0);
  const auto pages = ReadPages(outDir() + "/short_09.tif");
  ASSERT_EQ(pages.size(), 2u);
  EXPECT_EQ(pages[1].length, 3u);
  EXPECT_EQ(pages[1].Record().decimatedSetPresent, 0);
  EXPECT_THAT(TempFiles(), IsEmpty());
}

TEST_F(MultiChannelTest, FilesOfOneChannelGetNamesOfTheirOwn) {
  MultiChannelTiffHandler m;
  Scan s;
  Write(m, outDir() + "/same_08.tif", s, Plain);
  m.GetTiffByChannel(1)->SetPMTChannel(0);  // both files claim the red channel
  ASSERT_EQ(m.CloseAndSaveScan(0, 0, 0, 0, true), 0);
  EXPECT_THAT(FilesIn(outDir()), ElementsAre("same_08_Red.tif", "same_08_Red_2.tif"));
  EXPECT_EQ(ReadPages(outDir() + "/same_08_Red_2.tif").at(0).rows[0][0], Plain(1, 9, 19));
}

TEST_F(MultiChannelTest, TemporaryFolderComesFromTheRegistry) {
  EXPECT_EQ(MultiChannelTiffHandler::GetTempScanPath(), install() + "/Temp");
  const std::string own = tempDir() + "/scratch";
  CRegEdit(HKEY_LOCAL_MACHINE, "Software\\Tarsel\\ZevazOdizo").WriteString("TemporaryImageFolder", own);
  EXPECT_EQ(MultiChannelTiffHandler::GetTempScanPath(), own);
  const std::string name = MultiChannelTiffHandler::GetTempScanFile(0);
  EXPECT_THAT(name, StartsWith(own + "/SCN"));
  EXPECT_TRUE(platform::fileExists(name));

  CRegEdit(HKEY_LOCAL_MACHINE, "Software\\Tarsel\\ZevazOdizo")
      .WriteString("TemporaryImageFolder", UnwritableFolder(tempDir()));
  try {
    MultiChannelTiffHandler::GetTempScanFile(1);
    ADD_FAILURE() << "no exception";
  } catch (const std::string& text) {
    EXPECT_EQ(text, "Failed to Create temporary Path '" + UnwritableFolder(tempDir()) +
                        "' -- Cannot create temporary tiff file");
  }
}

TEST_F(MultiChannelTest, NamesOfBackupAndRecoveryFiles) {
  const std::string folder = tempDir() + "/backup";
  EXPECT_TRUE(platform::createDirectories(folder));
  for (const char* existing :
       {"slide_07.tif", "slide_08.tif", "run7.tif", "s98.tif", "s99.tif", "t_Red.tif", "scan_05_Green.tif"})
    testsupport::writeFile(folder + "/" + existing, "x");
  struct Case {
    const char* file;
    const char* result;  // null: no name
  } cases[] = {
      {"/share/slide_06.tif", "slide_06.tif"},
      {"/share/slide_07.tif", "slide_09.tif"},
      {"/share/run7.tif", "run08.tif"},
      {"/share/s98.tif", nullptr},
      {"/share/base.tif", nullptr},
      {"/share/scan_05.tif", "scan_06.tif"},
      {"/share/S123.tif", "S123.tif"},
      {"/share/x1", "x1"},
  };
  for (const auto& c : cases) {
    std::string result;
    const bool ok = MultiChannelTiffHandler::GenLocalFileName(c.file, folder, result);
    EXPECT_EQ(ok, c.result != nullptr) << c.file;
    if (c.result) {
      EXPECT_EQ(result, folder + "/" + c.result) << c.file;
    }
  }

  struct Rename {
    const char* path;
    const char* suffix;
    const char* result;
  } renames[] = {
      {"/d/slide_07.tif", "_Red", "/d/slide_07_Red.tif"},
      {"/d/slide_07", "_Small_Green", "/d/slide_07_Small_Green.tif"},
      {"/d.x/scan.v2.tiff", "_Green", "/d.x/scan.v2_Green.tif"},
      {"/d/", "_Red", "/d/"},
      {"", "_Red", ""},
  };
  for (const auto& r : renames) {
    std::string path = r.path;
    MultiChannelTiffHandler::ChangeSuffixAndExtension(path, r.suffix, "tif");
    EXPECT_EQ(path, r.result) << r.path;
  }

  // Only network drives (or paths without a mount point) have a local backup folder.
  std::string backup;
  tessary::SetFileSystemHooks({.driveKind = [](const std::string&) { return platform::DriveKind::local; }});
  EXPECT_FALSE(MultiChannelTiffHandler::GetLocalDataDirectory("/share/a.tif", backup));
  for (auto kind : {platform::DriveKind::remote, platform::DriveKind::noRoot}) {
    tessary::SetFileSystemHooks({.driveKind = [kind](const std::string&) { return kind; }});
    EXPECT_TRUE(MultiChannelTiffHandler::GetLocalDataDirectory("/share/a.tif", backup));
    EXPECT_EQ(backup, install() + "/NetDataBackup");
    EXPECT_TRUE(platform::directoryExists(backup));
  }
}

}  // namespace
}  // namespace tessary_test
