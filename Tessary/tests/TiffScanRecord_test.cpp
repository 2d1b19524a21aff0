// The scan record: byte layout, the text-field rules and the setters.
#include <string>
#include <vector>

#include "Tessary/TiffHandler.h"
#include "TessaryTest.h"

namespace tessary_test {
namespace {

using R = TiffScanRecord;

std::vector<std::uint8_t> Bytes(const TiffScanRecord& r) {
  const auto b = r.Serialize();
  return std::vector<std::uint8_t>(b.begin(), b.end());
}

TiffScanRecord Distinct() {
  TiffScanRecord r;
  r.recordVersion = 11;
  r.channelCount = 2;
  r.pmtChannel = {0, 1, 2, 3};
  for (std::size_t i = 0; i < 16; ++i) r.crossTalk[i] = static_cast<double>(i) + 0.5;
  r.pixelSizeX = 2.5;
  r.pixelSizeY = 3.5;
  R::SetText(r.scanIdText, "DDN2005;");
  R::SetText(r.serialNumber, "SN-42");
  r.decimation = -5;
  r.decimationFactor = 7;
  r.reScans = 9;
  r.cropRegion = {1, 2, 3, 4};
  r.scanRegion = {5, 6, 7, 8};
  r.pmtVoltage = {600.5, 601.5, 602.5, 603.5};
  r.laserPower = {1.25, 2.25, 3.25, 4.25};
  for (std::uint8_t i = 0; i < 16; ++i) {
    r.fileGuid[i] = static_cast<std::uint8_t>(i + 1);
    r.sourceGuid[i] = static_cast<std::uint8_t>(i + 17);
  }
  for (int k = 0; k < 4; ++k) r.darkOffset[k] = {k + 1, 10.25 + k, 20.5 + k, 30.75 + k};
  r.xBinning = 2;
  r.yBinning = -3;
  R::SetText(r.barcode, "BC123");
  R::SetText(r.scanStatus, "status");
  r.reserved1012 = 0xDEADBEEF;
  r.reserved1016 = {1, 2, 3, 4, 5, 6, 7, 8};
  r.lineLength = 4101;
  r.reserved1032 = {9, 10, 11, 12, 13, 14, 15, 16};
  r.decimatedSetPresent = 1;
  r.percentAutoFocusHold = 12.5;
  r.sensitivity = {100, 50, 25, 12.5};
  r.merged = 1;
  r.channelCountHalf = 1;
  R::SetText(r.orientation, "BsLandLeft");
  r.saturation = {65535, -1, 3, 4};
  r.glassThickness = 0.17;
  R::SetText(r.scanStatusMore, "more");
  return r;
}

TEST(ScanRecordTest, FieldsSitLittleEndianAtTheirOffsets) {
  const auto b = Bytes(Distinct());
  ASSERT_EQ(b.size(), 3176u);
  struct U {
    std::size_t offset;
    std::uint32_t value;
  };
  const U ints[] = {{0, 11},
                    {4, 2},
                    {8, 0},
                    {12, 1},
                    {20, 3},
                    {336, 0xFFFFFFFBu},
                    {340, 7},
                    {344, 9},
                    {508, 1},
                    {536, 2},
                    {592, 4},
                    {620, 2},
                    {624, 0xFFFFFFFDu},
                    {1012, 0xDEADBEEF},
                    {1040, 1},
                    {1084, 1},
                    {1088, 1},
                    {1104, 65535},
                    {1108, 0xFFFFFFFFu},
                    {1116, 4}};
  for (const auto& c : ints) EXPECT_EQ(U32At(b, c.offset), c.value) << "offset " << c.offset;
  struct D {
    std::size_t offset;
    double value;
  };
  const D doubles[] = {{24, 0.5},    {144, 15.5},  {152, 2.5},   {160, 3.5},   {348, 1},
                       {372, 4},     {380, 5},     {404, 8},     {412, 600.5}, {444, 1.25},
                       {512, 10.25}, {520, 20.5},  {528, 30.75}, {540, 11.25}, {612, 33.75},
                       {1024, 4101}, {1044, 12.5}, {1052, 100},  {1076, 12.5}, {1120, 0.17}};
  for (const auto& c : doubles) EXPECT_EQ(F64At(b, c.offset), c.value) << "offset " << c.offset;
  EXPECT_EQ(TextAt(b, 168, 40), "DDN2005;");
  EXPECT_EQ(TextAt(b, 208, 128), "SN-42");
  EXPECT_EQ(TextAt(b, 628, 128), "BC123");
  EXPECT_EQ(TextAt(b, 756, 256), "status");
  EXPECT_EQ(TextAt(b, 1092, 12), "BsLandLeft");
  EXPECT_EQ(TextAt(b, 1128, 2048), "more");
  EXPECT_EQ(b[476], 1);
  EXPECT_EQ(b[491], 16);
  EXPECT_EQ(b[492], 17);
  EXPECT_EQ(b[507], 32);
  EXPECT_EQ(b[1016], 1);
  EXPECT_EQ(b[1023], 8);
  EXPECT_EQ(b[1032], 9);
  EXPECT_EQ(b[1039], 16);
  // Reading gives back every byte.
  EXPECT_EQ(Bytes(TiffScanRecord::Deserialize(std::span<const std::uint8_t, 3176>(b.data(), b.size()))), b);
}

class RecordSetterTest : public TessaryTest {
 protected:
  RecordSetterTest() {
    path_ = outDir() + "/channel.tif";
    h_.CreateTiff(path_.c_str(), 8, 16, 0);
  }
  std::string scanId() const { return R::Text(h_.GetStru()->scanIdText); }
  std::string path_;
  TiffHandler h_;
};

TEST_F(RecordSetterTest, ScanStatusFillsBothFieldsWithoutLosingACharacter) {
  std::string s300;
  for (int i = 0; i < 300; ++i) s300 += static_cast<char>('a' + i % 26);
  std::string s3000(3000, 'x');
  struct Case {
    std::string text, first, more;
  } cases[] = {
      {std::string(255, 'y'), std::string(255, 'y'), ""},
      {s300, s300.substr(0, 255), s300.substr(255)},
      {"first\r\nsecond", "first  second", ""},
      {"a\r\r\nb\n", "a\r  b\n", ""},
      {s3000, std::string(255, 'x'), std::string(2047, 'x')},
  };
  for (const auto& c : cases) {
    R::SetText(h_.GetStru()->scanStatusMore, "stale");
    ASSERT_EQ(h_.SetScanStatus(c.text.c_str()), 0);
    EXPECT_EQ(R::Text(h_.GetStru()->scanStatus), c.first) << c.text.size();
    EXPECT_EQ(R::Text(h_.GetStru()->scanStatusMore), c.more) << c.text.size();
  }
}

TEST_F(RecordSetterTest, ScanIdKeepsOneEntryOfEachKind) {
  struct Step {
    const char* preset;  // field text before the step, when not null
    bool dyx;
    const char* id;
    int a, b;  // Dyx: pass in a; DDN: ddn1, ddn2
    const char* expect;
  } steps[] = {
      {nullptr, false, "", 5, -12, "DDN20051012;"},
      {nullptr, false, "", 0, 7, "DDN00002007;"},
      {nullptr, true, "ABC", 2, 0, "DDN00002007;DyxABC:2;"},
      {nullptr, false, "", -1, 1234, "DyxABC:2;DDN100121234;"},
      {nullptr, true, "ABCDEFGHIJKLMNOPQ", 3, 0, "DDN100121234;DyxABCDEFGHIJKLMN:0;"},
      {nullptr, false, "", 1, 1, "DyxABCDEFGHIJKLMN:0;DDN20012001;"},
      // No room: the other kind's entry alone is kept, and the result cut to 39 characters.
      {"0123456789012345678901234567DyxAB:1;", false, "", 1, 1, "DyxAB:1;DDN20012001;"},
      {"0123456789012345678901234567890DDN2001", true, "Z", 1, 0, "DDN2001;DyxZ:1;"},
      {"DyxABCDEFGHIJKLMN:0;", false, "", 123456789, -123456789, "DyxABCDEFGHIJKLMN:0;DDN2123456789112345"},
  };
  for (const auto& s : steps) {
    if (s.preset) R::SetText(h_.GetStru()->scanIdText, s.preset);
    if (s.dyx)
      h_.SetDyxScanIDInfo(s.id, s.a);
    else
      h_.SetScanDDNInfo(s.a, s.b);
    EXPECT_EQ(scanId(), s.expect);
  }
  EXPECT_FALSE(h_.GetIsTwoPass());
  EXPECT_EQ(h_.GetDDN1(), 123456789);
  EXPECT_EQ(h_.GetDDN2(), -123456789);
}

TEST_F(RecordSetterTest, FreshRecordAndSetterRules) {
  const TiffScanRecord& r = *h_.GetStru();
  EXPECT_EQ(r.recordVersion, 11u);
  EXPECT_NE(r.fileGuid, TiffScanRecord::Guid{});
  EXPECT_EQ(R::Text(r.orientation), "BsLandLeft");
  // Everything else is zero until the setters run.
  TiffScanRecord blank = r;
  blank.recordVersion = 0;
  blank.fileGuid = {};
  blank.orientation = {};
  blank.channelCount = blank.channelCountHalf = 0;  // set up as one channel
  blank.lineLength = 0;
  EXPECT_EQ(r.channelCount, 1);
  EXPECT_EQ(r.lineLength, 8);
  EXPECT_EQ(blank.Serialize(), TiffScanRecord{}.Serialize());

  TiffHandler other;
  other.CreateTiff((outDir() + "/other.tif").c_str(), 8, 16, 2);
  EXPECT_NE(other.GetStru()->fileGuid, r.fileGuid);

  h_.SetCrossTalk(1, 2, 0.25);
  EXPECT_EQ(r.crossTalk[6], 0.25);
  EXPECT_EQ(h_.SetCrossTalk(4, 0, 1), -1);
  h_.SetXBinning(3);
  other.SetXBinning(3);
  other.SetYBinning(2);
  EXPECT_EQ(r.xBinning, 3);
  EXPECT_EQ(other.GetStru()->xBinning, 6);  // times the decimation factor
  EXPECT_EQ(other.GetStru()->yBinning, 4);
  h_.SetDarkOffSet(1, 2.5, 3.5, 4.5);
  int type = 0;
  double offset = 0, mean = 0, dev = 0;
  h_.GetDarkOffSet(type, offset, mean, dev);
  EXPECT_EQ(type, 1);
  EXPECT_EQ(dev, 4.5);
  h_.SetSaturationValue(60000);
  EXPECT_EQ(h_.GetSaturationValue(), 60000);
  h_.SetBarcode(std::string(200, 'b').c_str());
  EXPECT_EQ(R::Text(r.barcode).size(), 127u);

  TiffHandler closed;
  EXPECT_EQ(closed.SetBarcode("x"), -1);  // no record: nothing to write into
}

}  // namespace
}  // namespace tessary_test
