#include "devices/DSP.h"

#include <future>
#include <sstream>

#include "DeviceFixture.h"
#include "devices/DeviceErrors.h"

namespace {

using testing::ElementsAre;
using testing::HasSubstr;

class DSPTest : public DeviceTest {
 protected:
  DSPTest() { connect(); }
  CDSP& dsp(int id) { return *scanner.GetDSP(id); }

  // An S-record file: a header record, the data in S1 records of up to 32 bytes, an end
  // record; CR LF line ends.
  static std::string SRecords(const std::vector<std::uint8_t>& data) {
    std::string out = "S00600004844521B\r\n";
    for (std::size_t at = 0; at < data.size(); at += 32) {
      const std::size_t n = std::min<std::size_t>(32, data.size() - at);
      char head[16];
      std::snprintf(head, sizeof head, "S1%02X%04X", static_cast<unsigned>(n + 3),
                    static_cast<unsigned>(at & 0xFFFF));
      out += head;
      for (std::size_t i = 0; i < n; ++i) {
        char b[4];
        std::snprintf(b, sizeof b, "%02X", data[at + i]);
        out += b;
      }
      out += "00\r\n";  // the checksum is not checked
    }
    return out + "S9030000FC\r\n";
  }
};

TEST_F(DSPTest, EachOperationSendsItsLineAndReadsItsReply) {
  devices.dsps->setMemory(1, 1, 0x1234, 0xABCD);
  devices.dsps->setMemory(3, 1, 0x20, 0x0BAD);
  devices.dsps->setLastResult(5);
  const struct {
    const char* what;
    std::function<long(CScanner&)> call;
    const char* line;
    long result;
  } cases[] = {
      {"poke",
       [](CScanner& s) {
         s.GetDSP(kVCStage)->Poke(0, 0x1234, 0x5678);
         return 0L;
       },
       "dsppoke 2 0 0x1234 0x5678", 0},
      {"peek", [](CScanner& s) { return static_cast<long>(s.GetDSP(kScan)->Peek(1, 0x1234)); },
       "dsppeek 1 1 0x1234", 0xABCD},
      {"data memory read",
       [](CScanner& s) { return static_cast<long>(s.GetDSP(kVCAF)->ReadDataMemory(0x20)); }, "dmr 3 0020",
       0x0BAD},
      {"data memory write",
       [](CScanner& s) {
         s.GetDSP(kVCAF)->WriteDataMemory(0x21, 5);
         return 0L;
       },
       "dmw 3 0021 0005", 0},
      {"last result", [](CScanner& s) { return static_cast<long>(s.GetDSP(kVCStage)->GetLastResult()); },
       "getlastdspresult", 5},
      {"response", [](CScanner& s) { return static_cast<long>(s.GetDSP(kScan)->GetResponse()); }, "gdsp", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(c.call(scanner), c.result);
    EXPECT_EQ(lastLine(), c.line);
  }
  EXPECT_EQ(devices.dsps->memory(2, 0, 0x1234), 0x5678);
  EXPECT_EQ(devices.dsps->memory(3, 1, 0x21), 5);
  EXPECT_THAT(log(), HasSubstr("DSP Poke: DSP Id: 2   Address Space Id:  0   Address: 1234   Value: 5678"));
  EXPECT_THAT(log(), HasSubstr("Get Last DSP Result returned: (5) Bad parameter specified. (DSP error.)"));
  EXPECT_EQ(dsp(kScan).GetName(), "Scan DSP");
  EXPECT_EQ(dsp(kVCStage).GetName(), "VC Stage DSP");
  EXPECT_EQ(dsp(kVCAF).GetName(), "Autofocus DSP");
  EXPECT_EQ(scanner.GetDSP(0), nullptr);
  EXPECT_THROW(CDSP(nullptr, 1, "x"), int);
}

TEST_F(DSPTest, NoLastResultIsMinusOne) {
  devices.dsps->setLastResult(-1);
  EXPECT_EQ(dsp(kScan).GetLastResult(), -1);
  EXPECT_THAT(log(), HasSubstr("Get Last DSP Result returned: (-1) none"));
}

TEST_F(DSPTest, MemoryDumpAndWriteMoveWholeBlocks) {
  const std::uint16_t words[] = {1, 2, 65535};
  dsp(kScan).MemWrite(0x10, 3, words);
  EXPECT_EQ(lastPayload(), "dmwmulti 1 0010 0003\n1 2 65535 \n");
  std::uint16_t back[4] = {0, 0, 0, 9};
  dsp(kScan).MemDump(0x10, 3, back);
  EXPECT_EQ(lastLine(), "dspmemdump 1 0010 0003");
  EXPECT_THAT(back, ElementsAre(1, 2, 65535, 9));

  forget();
  EXPECT_EQ(thrown([&] { dsp(kScan).MemDump(0, 0, back); }), movrak::kErrBadParameter);
  EXPECT_EQ(thrown([&] { dsp(kScan).MemDump(0, 1, nullptr); }), movrak::kErrBadParameter);
  EXPECT_EQ(thrown([&] { dsp(kScan).MemWrite(0, 0, words); }), movrak::kErrBadParameter);
  EXPECT_EQ(thrown([&] { dsp(kScan).MemWrite(0, 2, nullptr); }), movrak::kErrBadParameter);
  EXPECT_TRUE(lines().empty());

  sim.injectFault("dspmemdump", {zevasim::Fault::Kind::errorStatus, 0x02});
  EXPECT_EQ(thrown([&] { dsp(kScan).MemDump(0, 1, back); }), 4098);
  EXPECT_THAT(log(), HasSubstr("DSP Memory Dump failed with error: 4098"));
}

TEST_F(DSPTest, CommandParametersFollowTheLineAsLittleEndianWords) {
  const std::uint16_t params[] = {0x0102, 0xFFFE, 0x00A5};
  EXPECT_EQ(dsp(kVCStage).ExecuteCommand(0x12, 3, params, false), -1);
  EXPECT_EQ(lastPayload(), std::string("sdsp 12 03\n\x02\x01\xFE\xFF\xA5\x00", 17));
  ASSERT_EQ(devices.dsps->commands().size(), 1u);
  EXPECT_THAT(devices.dsps->commands()[0].params, ElementsAre(0x0102, 0xFFFE, 0x00A5));
  EXPECT_EQ(devices.dsps->responsePolls(), 0);
  EXPECT_EQ(thrown([&] { dsp(kVCStage).ExecuteCommand(1, 1, nullptr, false); }), movrak::kErrBadParameter);
}

TEST_F(DSPTest, MemoryDumpWordsComeLowByteFirst) {
  sim.setHandler("dspmemdump", [](const zevasim::Request&) {
    zevasim::Reply r;
    r.frames = {std::string("00,\x34\x12\xFF\x00\x01\x80", 9)};
    return r;
  });
  std::uint16_t back[3] = {};
  dsp(kScan).MemDump(0x10, 3, back);
  EXPECT_THAT(back, ElementsAre(0x1234, 0x00FF, 0x8001));
}

TEST_F(DSPTest, AResponseIsPolledFor300MsApartAndGivenUpAfter100Waits) {
  auto clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scoped(clock);
  clock->setAutoAdvance(true);
  const struct {
    int pending;
    int result;  // thrown when negative
    int polls;
    std::chrono::milliseconds waited;
  } cases[] = {{0, 42, 1, std::chrono::milliseconds(0)},
               {3, 42, 4, std::chrono::milliseconds(900)},
               {1000, -movrak::kErrDSPCommandIncomplete, 101, std::chrono::milliseconds(30000)}};
  int polls = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.pending);
    devices.dsps->setResponse(42, c.pending);
    const auto start = clock->steadyNow();
    int result = 0;
    const int error = thrown([&] { result = dsp(kScan).ExecuteCommand(7, 0, nullptr, true); });
    EXPECT_EQ(c.result < 0 ? -error : result, c.result);
    EXPECT_EQ(devices.dsps->responsePolls() - polls, c.polls);
    EXPECT_EQ(clock->steadyNow() - start, c.waited);
    polls = devices.dsps->responsePolls();
  }
  EXPECT_THAT(log(), HasSubstr("Execute DSP Command failed with error: 589"));
}

TEST_F(DSPTest, SRecordDataBytesMakeTheImage) {
  const struct {
    const char* what;
    const char* text;
    std::vector<std::uint8_t> image;  // empty with an error
    int error;
  } cases[] = {
      {"three record types",
       "S00600004844521B\nS10500001234B4\nS207000000ABCDFF\r\nS30800000000EF00\nS9030000FC\n",
       {0x12, 0x34, 0xAB, 0xCD, 0xEF},
       0},
      {"no data", "S1030000FC\n", {}, 0},
      {"no final line end", "S1040000FF00", {0xFF}, 0},
      {"lower-case digits", "S1050000abcdef\n", {0xAB, 0xCD}, 0},
      {"other lines are skipped", "hello\nS\nS5030001FB\ns1050000ABCD00\n", {}, 0},
      {"too short for its address", "S1050000\n", {}, movrak::kErrDownloadFailed},
      {"too short for the checksum", "S305000000001\n", {}, movrak::kErrDownloadFailed},
      {"not hexadecimal", "S10500001G34B4\n", {}, movrak::kErrDownloadFailed},
      {"odd digit count", "S1050000123B4\n", {}, movrak::kErrDownloadFailed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    std::istringstream in(c.text);
    std::vector<std::uint8_t> image;
    EXPECT_EQ(thrown([&] { image = CDSP::ConvertSRecords(in); }), c.error);
    EXPECT_EQ(image, c.image);
  }
}

TEST_F(DSPTest, DownloadSendsHeaderAndImageAsOneFrameUpToItsLimit) {
  const std::string file = tempDir() + "/scan.s";
  testsupport::writeFile(file, "S10500001234B4\r\nS1050002ABCD00\r\n");
  dsp(kScan).Download(file.c_str());
  EXPECT_EQ(lastPayload(), std::string("DownLoadDSP 0x01 0x00004\n\x12\x34\xAB\xCD", 29));
  ASSERT_EQ(devices.dsps->downloads().size(), 1u);
  EXPECT_EQ(devices.dsps->downloads()[0].dspId, 1u);

  std::vector<std::uint8_t> largest(CDSP::kMaxImageBytes);
  for (std::size_t i = 0; i < largest.size(); ++i) largest[i] = static_cast<std::uint8_t>(i * 7);
  testsupport::writeFile(file, SRecords(largest));
  dsp(kVCAF).Download(file.c_str());
  ASSERT_EQ(devices.dsps->downloads().size(), 2u);
  EXPECT_EQ(devices.dsps->downloads()[1].image, largest);
  EXPECT_EQ(lastPayload().substr(0, 25), "DownLoadDSP 0x03 0x17fff\n");

  forget();
  largest.push_back(0);
  testsupport::writeFile(file, SRecords(largest));
  EXPECT_EQ(thrown([&] { dsp(kScan).Download(file.c_str()); }), movrak::kErrBinTooLarge);
  EXPECT_THAT(logLine("DSP Binary Too Large!"), HasSubstr("ERROR: "));
  testsupport::writeFile(file, "S1050000XY34B4\n");
  EXPECT_EQ(thrown([&] { dsp(kScan).Download(file.c_str()); }), movrak::kErrDownloadFailed);
  EXPECT_EQ(thrown([&] { dsp(kScan).Download((tempDir() + "/none.s").c_str()); }),
            movrak::kErrCannotReadFirmware);
  EXPECT_EQ(thrown([&] { dsp(kScan).Download(nullptr); }), movrak::kErrCannotReadFirmware);
  EXPECT_TRUE(lines().empty());
  EXPECT_THAT(log(), HasSubstr("Download DSP file failed with error: 596"));
}

TEST_F(DSPTest, VoiceCoilDumpInfoFillsTheGivenValuesInOrder) {
  std::uint32_t v[10] = {};
  dsp(kVCStage).GetVCDumpInfo(&v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &v[6], &v[7], &v[8], &v[9]);
  EXPECT_EQ(lastLine(), "getvcdumpinfo 2");
  EXPECT_THAT(v, ElementsAre(10, 200, 0x1000, 2, 0x2000, 2, 0x3000, 4, 0x4000, 4));

  // Optional outputs may be left out; a short reply fills what it has and says so.
  devices.dsps->setVCDumpInfo({1, 2, 3});
  std::uint32_t w[10] = {0, 0, 0, 7, 7, 7, 7, 7, 7, 7};
  dsp(kVCAF).GetVCDumpInfo(&w[0], nullptr, &w[2], &w[3], &w[4], &w[5], &w[6], &w[7], &w[8], &w[9]);
  EXPECT_THAT(w, ElementsAre(1, 0, 3, 7, 7, 7, 7, 7, 7, 7));
  EXPECT_THAT(logLine("Error converting GetVCDumpInfo return values, only converted 3 values"),
              HasSubstr("ERROR: "));
}

}  // namespace
