// The scan data path with a scripted IScanCtrl: ring assembly, decoding and
// registration, the messages to the status window, every failure and the abort.
#include "run/ScanDataProc.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <vector>

#include "FakeScanCtrl.h"
#include "RecordingWindow.h"
#include "RunTestSupport.h"
#include "Tessary/FileSystemHooks.h"
#include "platform/files.h"

namespace {

using lumetra::run::CScanDataProc;
using lumetra::run::CScanDataRing;
using lumetra::run::WM_SCANDATA_PROGRESS;
using lumetra_test::FakeScanCtrl;
using lumetra_test::MakeLine;
using lumetra_test::RawPixel;
using lumetra_test::ReadTiff;
using lumetra_test::RecordingWindow;
using testing::HasSubstr;
using testing::Not;

using Pairs = std::vector<std::pair<std::uintptr_t, std::intptr_t>>;

constexpr int kGreenPd = 1000, kRedPd = 2000;

// The value a pixel stands for (channel 0 red, 1 green), as the board's pattern.
std::uint32_t Pattern(int line, int pixel, int channel) {
  return static_cast<std::uint32_t>((line * 31u + pixel * 17u + channel * 1009u) % 4096u);
}

// The line offset correction as the merge applies it: even rows one way, odd rows the
// other, the odd half on the lowered side.
long long DdnShift(int ddn, bool oddRow) {
  const long long magnitude = std::llabs(ddn);
  const long long down = (magnitude + 1) / 2, up = magnitude / 2;
  if (!oddRow) return ddn < 0 ? -down : up;
  return ddn > 0 ? -down : up;
}

class ScanDataProcTest : public lumetra_test::RunTest {
 protected:
  ScanDataProcTest() : ctrl(FakeScanCtrl::Create()) {
    // Reference powers equal to the lines' photodiode counts: laser factor 1.
    ctrl->flash = {{"LaserSetPointMWatt_G", "1000"},
                   {"LaserPDCtToMWatt_G", "1"},
                   {"LaserSetPointMWatt_R", "2000"},
                   {"LaserPDCtToMWatt_R", "1"}};
  }

  // Creates the image and prepares a scan of `lines` lines of `pixels` at `microns`.
  void Prepare(int lines, int pixels, int microns = 5, int channels = 2, bool highDynamicRange = false,
               CScanDataRing::Geometry ring = {}) {
    proc = std::make_unique<CScanDataProc>(ctrl.get(), "", ring);
    file = outDir() + "/scan.tif";
    proc->CreateTiff(file.c_str(), static_cast<unsigned long>(pixels), static_cast<unsigned long>(lines),
                     channels, microns, microns, highDynamicRange, false, false);
    proc->SetLineResolution(microns);
    proc->SetPixelSizeX(microns);
    ASSERT_EQ(proc->PrepareScan(lines, pixels, false, 0), 1);
    this->lines = lines;
    this->pixels = pixels;
  }

  // The board's stream: line n has the pattern, direction n & 1.
  std::vector<std::uint8_t> Stream(int first, int count) const {
    std::vector<std::uint8_t> out;
    for (int n = first; n < first + count; ++n) {
      const auto line = MakeLine(n, n & 1, pixels, kGreenPd, kRedPd, [n](int j) {
        RawPixel p;
        p.redSum = Pattern(n, j, 0) * p.count;
        p.greenSum = Pattern(n, j, 1) * p.count;
        return p;
      });
      out.insert(out.end(), line.begin(), line.end());
    }
    return out;
  }
  int Records() const { return lines + proc->GetLeadInLines(); }

  // Runs the scan to its end (both threads done), as the receive thread starts it.
  void Run() {
    proc->DoRecvScanData(&window);
    ASSERT_TRUE(proc->WaitUntilDone(std::chrono::minutes(2)));
  }

  // What image row `row` of a channel holds after registration (before the DDN shift):
  // backward lines are mirrored; red comes `delay` lines late.
  std::uint32_t Expected(int row, int pixel, int channel) const {
    const int line = row + proc->GetLeadInLines() - (channel == 0 ? proc->GetRedLineDelay() : 0);
    const int j = (line & 1) ? pixels - 1 - pixel : pixel;
    return Pattern(line, j, channel);
  }
  // The DDN the data path must find for a channel: backward minus forward line means.
  int ExpectedDdn(int channel) const {
    double sum[2] = {0, 0};
    int count[2] = {0, 0};
    for (int n = 0; n < Records(); ++n) {
      double mean = 0;
      for (int j = 0; j < pixels; ++j) mean += Pattern(n, j, channel);
      sum[n & 1] += mean / pixels;
      ++count[n & 1];
    }
    return static_cast<int>(std::floor(sum[1] / count[1] - sum[0] / count[0] + 0.5));
  }
  // Checks the merged image: red page then green page, pixel for pixel.
  void ExpectImage() {
    const auto pages = ReadTiff(file);
    ASSERT_GE(pages.size(), 2u);
    for (int channel : {0, 1}) {
      const auto& page = pages[channel == 0 ? 0 : 1];
      ASSERT_EQ(page.length, static_cast<std::uint32_t>(lines));
      ASSERT_EQ(page.width, static_cast<std::uint32_t>(pixels));
      const int ddn = ExpectedDdn(channel);
      for (int row = 0; row < lines; ++row)
        for (int p = 0; p < pixels; ++p) {
          const long long v =
              std::clamp<long long>(Expected(row, p, channel) + DdnShift(ddn, row % 2 == 1), 0, 65535);
          ASSERT_EQ(page.rows[row][p], v) << "channel " << channel << " row " << row << " pixel " << p;
        }
    }
  }
  Pairs Progress() const { return window.Of(WM_SCANDATA_PROGRESS); }
  bool Has(unsigned code, std::intptr_t value) const {
    const auto all = Progress();
    return std::find(all.begin(), all.end(), std::make_pair(std::uintptr_t{code}, value)) != all.end();
  }

 public:
  platform::com::ComPtr<FakeScanCtrl> ctrl;

 protected:
  RecordingWindow window;
  std::unique_ptr<CScanDataProc> proc;
  std::string file;
  int lines = 0, pixels = 0;
};

TEST_F(ScanDataProcTest, LinesFromReadsThatSplitThemBecomeTheRegisteredMergedImage) {
  Prepare(20, 24);
  EXPECT_EQ(proc->GetRedLineDelay(), 10);  // (50 + 0) / 5 + 0.5
  const auto stream = Stream(0, Records());
  // Reads of awkward sizes split lines and headers.
  std::size_t offset = 0;
  const std::size_t sizes[] = {37, 101, 5, 263, 1};
  int call = 0;
  ctrl->DataSource = [&](unsigned char* buffer, long available, long) -> long {
    const std::size_t n =
        std::min({sizes[call++ % 5], stream.size() - offset, static_cast<std::size_t>(available)});
    std::memcpy(buffer, stream.data() + offset, n);
    offset += n;
    return static_cast<long>(n);
  };
  ctrl->PortBacklog = [&] { return static_cast<std::uint32_t>(stream.size() - offset); };
  Run();
  EXPECT_EQ(proc->GetLinesConsidered(), Records());
  EXPECT_EQ(proc->GetLinesWritten(), Records());
  ASSERT_EQ(proc->CloseAndSaveScan(), 0);
  ExpectImage();
  // The scheduling the scan's threads got is said once, whatever the system granted.
  const std::string log = logText();
  const std::string said = "<CScanDataProc::StartScan> Scheduling obtained: read thread ";
  const auto at = log.find(said);
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(log.find(said, at + 1), std::string::npos);
  EXPECT_THAT(log.substr(at, log.find('\n', at) - at),
              testing::MatchesRegex(
                  ".*read thread (real-time round-robin, priority|time-sharing, nice) -?[0-9]+, write thread "
                  "(real-time round-robin, priority|time-sharing, nice) -?[0-9]+\r?"));

  const auto messages = window.Messages();
  ASSERT_FALSE(messages.empty());
  EXPECT_EQ(messages.front(), (RecordingWindow::Message{WM_SCANDATA_PROGRESS, 1, 0, true}));
  // Progress every line below 50 lines, then the end.
  Pairs progress;
  for (const auto& m : Progress())
    if (m.first == 2) progress.push_back(m);
  ASSERT_EQ(progress.size(), static_cast<std::size_t>(lines + 1));
  for (int i = 0; i < lines; ++i) EXPECT_EQ(progress[static_cast<std::size_t>(i)].second, i + 1);
  EXPECT_EQ(Progress().back(), (std::pair<std::uintptr_t, std::intptr_t>{3, 20}));
  EXPECT_FALSE(Has(5, 0) || Has(5, 1) || Has(5, 2));
}

TEST_F(ScanDataProcTest, AnImageThatCannotBeWrittenIsReportedAsAWriteFailure) {
  Prepare(20, 24);
  const auto stream = Stream(0, Records());
  std::size_t offset = 0;
  ctrl->DataSource = [&](unsigned char* buffer, long available, long) -> long {
    const std::size_t n = std::min(stream.size() - offset, static_cast<std::size_t>(available));
    std::memcpy(buffer, stream.data() + offset, n);
    offset += n;
    return static_cast<long>(n);
  };
  ctrl->PortBacklog = [&] { return static_cast<std::uint32_t>(stream.size() - offset); };
  Run();
  // The disk refuses the image itself (not the temporary files): the merge fails.
  const std::string target = file;
  tessary::SetFileSystemHooks(
      {.writeLimit = [target](const std::string& path, std::uint64_t, std::size_t size) {
        return path.rfind(target, 0) == 0 ? std::size_t{0} : size;
      }});
  EXPECT_NE(proc->CloseAndSaveScan(), 0);
  tessary::SetFileSystemHooks({});
  EXPECT_TRUE(Has(5, 5));
}

TEST_F(ScanDataProcTest, AFullRingWrapsOntoItsReaderWithoutLosingALine) {
  // Ten lines of ring; the writer starts over after eight and a half.
  const int pixels = 16, line = 32 + 8 * pixels;
  Prepare(30, pixels, 5, 2, false,
          {static_cast<std::size_t>(10 * line), static_cast<std::size_t>(8 * line + 60),
           static_cast<std::size_t>(3 * line)});
  const auto stream = Stream(0, Records());
  ctrl->AppendScanData(stream);
  // The ring fills whatever the threads' pace: the write thread holds at its first
  // progress message until the read thread found the ring full (its waits for room take
  // no test time, so it waits for the writer instead of using up its retries).
  std::once_flag held;
  bool sawFull = false;
  window.OnMessage = [&](const RecordingWindow::Message& m) {
    if (m.message != WM_SCANDATA_PROGRESS || m.sent) return;  // the writer posts, the reader sends
    std::call_once(held, [&] {
      for (const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
           !sawFull && std::chrono::steady_clock::now() < end;)
        sawFull = logText().find("WriteTest Failed -- buffer FULL") != std::string::npos;
    });
  };
  Run();
  EXPECT_TRUE(sawFull);
  EXPECT_EQ(proc->GetLinesConsidered(), Records());
  ASSERT_EQ(proc->CloseAndSaveScan(), 0);
  ExpectImage();
}

// ---- decoding and registration ------------------------------------------------------------------

// The DDN the data path logged for a channel ("Red" or "Green").
int LoggedDdn(const std::string& log, const std::string& name) {
  const std::string key = name + " Scan image has DDN noise of OddRowAve = ";
  const auto at = log.rfind(key);
  if (at == std::string::npos) return 0;
  double odd = 0, even = 0;
  std::sscanf(log.c_str() + at + key.size(), "%lf, EvenRowAve = %lf", &odd, &even);
  return static_cast<int>(std::floor(odd - even + 0.5));
}

TEST_F(ScanDataProcTest, PixelsDecodeFromTheirSumsWithDarkGainOffsetAndLaserPower) {
  ctrl->flash["RedGreenOffsetDeltaV"] = "0";
  ctrl->flash["LaserSetPointMWatt_R"] = "3000";  // red reference 3000 against 2000 counts: x 1.5
  Prepare(4, 6, 5, 2, /*highDynamicRange=*/true);
  proc->m_nRedBaseOffsetV = 0;
  ASSERT_EQ(proc->PrepareScan(4, 6, false, 0), 1);
  ASSERT_EQ(proc->GetRedLineDelay(), 0);
  // Red: dark 2 per count (3 at low gain), low-gain ratio 4, raw mean 100, channel offset 90:
  // offsets 90 - (100 - 2) = -8 and 90 - (100 - 3) = -7. Green: no dark, offset 5.
  proc->m_Red.rawMean = 100, proc->m_Red.offsetLevel = 2, proc->m_Red.offsetLevelLow = 3;
  proc->m_Red.lowGainRatio = 4, proc->m_Red.channelOffset = 90;
  proc->m_Green.rawMean = 0, proc->m_Green.offsetLevel = 0, proc->m_Green.offsetLevelLow = 0;
  proc->m_Green.lowGainRatio = 2, proc->m_Green.channelOffset = 5;
  struct Px {
    RawPixel raw;
    std::uint32_t red, green;
  } table[] = {
      {{40, 4000, 400, false, false}, 139, 15},  // 1.5 x (4000 - 80) / 40 - 8 + 0.5; 400 / 40 + 5
      {{40, 4000, 400, true, true}, 575, 25},    // 1.5 x (4000 - 120) x 4 / 40 - 7 + 0.5; 10 x 2 + 5
      {{0, 500, 500, false, false}, 4, 15},      // a count of 0 is 50
      {{40, 0, 0, false, false}, 0, 5},          // below zero: 0
      {{1, 0x3FFFFFC, 0x3FFFFFC, false, false}, 0xFFFFF, 0xFFFFF},  // saturates at 20 bits
      {{1023, 1023 * 7, 1023 * 9, false, false}, 0, 14},            // 1.5 x (7 - 2) - 7.5 = 0; 9 + 5
  };
  std::vector<std::uint8_t> stream;
  for (int n = 0; n < Records(); ++n) {
    // Lines of the lead-in without red power: counted, warned about five times, dropped.
    const auto line = MakeLine(n, 0, 6, kGreenPd, n < 7 ? 0 : kRedPd, [&](int j) { return table[j].raw; });
    stream.insert(stream.end(), line.begin(), line.end());
  }
  ctrl->AppendScanData(stream);
  Run();
  EXPECT_EQ(proc->GetZeroPowerLines(), 7);
  ASSERT_EQ(proc->CloseAndSaveScan(), 0);
  const auto pages = ReadTiff(file, 6);
  ASSERT_GE(pages.size(), 2u);
  for (int row = 0; row < 4; ++row)
    for (int j = 0; j < 6; ++j) {
      EXPECT_EQ(pages[0].rows[row][j], table[j].red) << "red row " << row << " pixel " << j;
      EXPECT_EQ(pages[1].rows[row][j], table[j].green) << "green row " << row << " pixel " << j;
    }
  const std::string log = logText();
  std::size_t warnings = 0;
  for (auto at = log.find("the red laser power returned is 0"); at != std::string::npos;
       at = log.find("the red laser power returned is 0", at + 1))
    ++warnings;
  EXPECT_EQ(warnings, 5u);
  EXPECT_THAT(log, HasSubstr("Laser power was calculated as zero for 7 lines in the image"));
  // No backward line: no offset to measure, and no division by zero.
  EXPECT_THAT(log, HasSubstr("Red Scan image has DDN noise of OddRowAve = 0.0"));
}

TEST_F(ScanDataProcTest, ChannelsAreRegisteredAndPositionsOutsideTheLineDropped) {
  // Red 2 pixels right (10 um at 5 um), odd/even 1 pixel, red 11 lines late ((50 + 5) / 5 + 0.5).
  ctrl->flash["RedGreenOffsetDeltaH"] = "10";
  ctrl->flash["RedGreenOffsetDeltaV"] = "5";
  ctrl->flash["LeftRightOffsetDeltaH"] = "5";
  const int n = 8;
  Prepare(20, n);
  ASSERT_EQ(proc->GetRedLineDelay(), 11);
  const auto value = [](int line, int j, int channel) {
    return std::uint32_t(100 * line + 10 * j + channel + 1);
  };
  std::vector<std::uint8_t> stream;
  for (int l = 0; l < Records(); ++l) {
    const auto line = MakeLine(l, l & 1, n, kGreenPd, kRedPd, [&](int j) {
      RawPixel p;
      p.redSum = value(l, j, 0) * p.count;
      p.greenSum = value(l, j, 1) * p.count;
      return p;
    });
    stream.insert(stream.end(), line.begin(), line.end());
  }
  ctrl->AppendScanData(stream);
  Run();
  ASSERT_EQ(proc->CloseAndSaveScan(), 0);
  const auto pages = ReadTiff(file);
  ASSERT_GE(pages.size(), 2u);
  const std::string log = logText();
  const int ddnRed = LoggedDdn(log, "Red"), ddnGreen = LoggedDdn(log, "Green");
  for (int row = 0; row < lines; ++row) {
    const int line = row + 10,
              redLine = line - 11;  // the red of a row comes from a line of the other direction
    for (int p = 0; p < n; ++p) {
      // Green: forward lines as they come; backward lines mirrored and 1 pixel on (pixel 0 gets none).
      std::int64_t green = 0;
      if (!(line & 1))
        green = value(line, p, 1);
      else if (p >= 1)
        green = value(line, n - p, 1);
      // Red: forward 2 + 1 pixels on (the slots differ in parity); backward mirrored, 2 on.
      std::int64_t red = 0;
      if (redLine >= 0 && !(redLine & 1) && p >= 3)
        red = value(redLine, p - 3, 0);
      else if (redLine >= 0 && (redLine & 1) && p >= 2)
        red = value(redLine, n + 1 - p, 0);
      EXPECT_EQ(pages[1].rows[row][p],
                std::clamp<std::int64_t>(green + DdnShift(ddnGreen, row & 1), 0, 65535))
          << "green row " << row << " pixel " << p;
      EXPECT_EQ(pages[0].rows[row][p], std::clamp<std::int64_t>(red + DdnShift(ddnRed, row & 1), 0, 65535))
          << "red row " << row << " pixel " << p;
    }
  }
}

TEST_F(ScanDataProcTest, PairsOfLinesAreAveragedIntoOneRowAtTenMicrons) {
  ctrl->flash["RedGreenOffsetDeltaV"] = "0";
  Prepare(6, 4, 10, 2);
  proc->m_nRedBaseOffsetV = 0;
  ASSERT_EQ(proc->PrepareScan(6, 4, false, 0), 1);
  ASSERT_EQ(proc->GetRedLineDelay(), 0);
  EXPECT_EQ(proc->GetExpectedBytes(), 2 * (6 + 5) * (32 + 8 * 4));
  std::vector<std::uint8_t> stream;
  for (int l = 0; l < 2 * Records(); ++l) {
    // Forward and backward pass of one row; the backward one sees the row mirrored.
    const auto line = MakeLine(l, l & 1, 4, kGreenPd, kRedPd, [&](int j) {
      const int pixel = (l & 1) ? 3 - j : j;
      RawPixel p;
      p.greenSum = std::uint32_t(10 * (l / 2) + pixel + (l & 1) * 4) * p.count;  // the passes differ by 4
      p.redSum = std::uint32_t(1000 + pixel) * p.count;
      return p;
    });
    stream.insert(stream.end(), line.begin(), line.end());
  }
  ctrl->AppendScanData(stream);
  Run();
  EXPECT_EQ(proc->GetLinesConsidered(), Records());
  ASSERT_EQ(proc->CloseAndSaveScan(), 0);
  const auto pages = ReadTiff(file);
  ASSERT_GE(pages.size(), 2u);
  ASSERT_EQ(pages[1].length, 6u);
  for (int row = 0; row < 6; ++row)
    for (int p = 0; p < 4; ++p) {
      EXPECT_EQ(pages[1].rows[row][p], std::uint32_t(10 * (row + 5) + p + 2)) << row << "," << p;
      EXPECT_EQ(pages[0].rows[row][p], std::uint32_t(1000 + p));
    }
  EXPECT_THAT(logText(), Not(HasSubstr("DDN noise")));
}

TEST_F(ScanDataProcTest, ProgressComesEveryTwoPercentOfTheLines) {
  Prepare(1000, 2);
  ctrl->AppendScanData(Stream(0, Records()));
  Run();
  Pairs progress;
  for (const auto& m : Progress())
    if (m.first == 2) progress.push_back(m);
  ASSERT_EQ(progress.size(), 51u);  // every 20 lines, and once more at the end
  for (std::size_t i = 0; i < 50; ++i)
    EXPECT_EQ(progress[i].second, static_cast<std::intptr_t>(20 * (i + 1)));
  EXPECT_TRUE(Has(3, 1000));
  proc->CloseAndRemoveScan();
}

// ---- failures ----------------------------------------------------------------------------------

struct FailureCase {
  const char* name;
  std::function<void(ScanDataProcTest&, std::vector<std::uint8_t>&)> script;
  int code;  // expected (5, code); 0: none
  const char* log;
  bool aborted;  // the port was told to abort
};

class ScanDataFailureTest : public ScanDataProcTest, public testing::WithParamInterface<FailureCase> {};

TEST_P(ScanDataFailureTest, IsReportedToTheStatusWindow) {
  const FailureCase& c = GetParam();
  Prepare(20, 12);
  auto stream = Stream(0, Records());
  c.script(*this, stream);
  ctrl->AppendScanData(stream);
  Run();
  if (c.code != 0) {
    EXPECT_TRUE(Has(5, c.code)) << testing::PrintToString(Progress());
  }
  for (int other = 1; other <= 7; ++other) {
    if (other != c.code) {
      EXPECT_FALSE(Has(5, other)) << "code " << other;
    }
  }
  EXPECT_THAT(logText(), HasSubstr(c.log));
  EXPECT_EQ(!ctrl->Calls("SDPSetAbort(1)").empty(), c.aborted);
  EXPECT_TRUE(proc->IsDoneReading());
  EXPECT_TRUE(proc->IsDoneWriting());
}

void Corrupt(ScanDataProcTest& t, std::vector<std::uint8_t>& stream, int record, std::size_t offset,
             std::uint8_t value) {
  (void)t;
  const std::size_t line = stream.size() / 30;
  stream[static_cast<std::size_t>(record) * line + offset] = value;
}

INSTANTIATE_TEST_SUITE_P(
    Codes, ScanDataFailureTest,
    testing::Values(
        FailureCase{"BadMagicMidScan",
                    [](ScanDataProcTest& t, std::vector<std::uint8_t>& s) { Corrupt(t, s, 15, 1, 0x34); }, 1,
                    "Failed to Read Magic Number at", true},
        FailureCase{"WrongPixelCountAfterAGoodLine",
                    [](ScanDataProcTest& t, std::vector<std::uint8_t>& s) { Corrupt(t, s, 3, 8, 13); }, 1,
                    "Scan Failed -- Header data invalid on scanline '1'", true},
        FailureCase{"ASkippedLineLeavesTheScanShort",
                    [](ScanDataProcTest& t, std::vector<std::uint8_t>& s) { Corrupt(t, s, 0, 8, 13); }, 2,
                    "Scan Failed -- Received and processed '19' out of '20' scanlines", false},
        FailureCase{"ElevenSkippedLines",
                    [](ScanDataProcTest& t, std::vector<std::uint8_t>& s) {
                      for (int i = 0; i < 11; ++i) Corrupt(t, s, i, 8, 13);
                    },
                    3, "Scan Failed -- too many skipped lines -- no scan generated", true},
        FailureCase{"PortOverflow",
                    [](ScanDataProcTest& t, std::vector<std::uint8_t>&) {
                      t.ctrl->PortBacklog = [] { return std::uint32_t{0x1800001}; };
                    },
                    6, "Buffer Overflow: PC is not keeping up with scanner", true},
        FailureCase{"ReadFails",
                    [](ScanDataProcTest& t, std::vector<std::uint8_t>&) {
                      t.ctrl->Fail("SDPGetData", 12016, 1, "Data Port receiving data failed.");
                    },
                    7, "Data Port receiving data failed.", true},
        FailureCase{"ByteCountFails",
                    [](ScanDataProcTest& t, std::vector<std::uint8_t>&) {
                      t.ctrl->Fail("SDPGetAvailableByteCnt", 12009, 1,
                                   "The Scan Data Port is not connected.");
                    },
                    7, "The Scan Data Port is not connected.", true},
        FailureCase{"ReadOfNothing",
                    [](ScanDataProcTest&, std::vector<std::uint8_t>& s) { s.resize(s.size() / 2); }, 7,
                    "failed to retrieve any of the data we expected", true}),
    [](const testing::TestParamInfo<FailureCase>& info) { return std::string(info.param.name); });

TEST_F(ScanDataProcTest, AnAbortEndsBothThreadsAndIsReported) {
  Prepare(20, 12);
  const auto stream = Stream(0, Records());
  ctrl->AppendScanData({stream.data(), stream.size() / 2});
  // The port has nothing more until the abort arrives.
  ctrl->Hook("SDPGetData", [&]() -> platform::com::HRESULT {
    if (ctrl->QueuedScanBytes() == 0) {
      // Once the lines so far are written (15 lines, 10 of them lead-in).
      window.WaitFor([](const RecordingWindow::Message& m) {
        return m.message == WM_SCANDATA_PROGRESS && m.wParam == 2 && m.lParam == 5;
      });
      proc->SetAbort(true);
    }
    return platform::com::S_OK;
  });
  proc->DoRecvScanData(&window);
  ASSERT_TRUE(proc->WaitUntilDone(std::chrono::minutes(2)));
  EXPECT_TRUE(ctrl->AbortRequested());
  EXPECT_FALSE(Has(5, 2));
  EXPECT_TRUE(Has(4, 15));  // lines written, lead-in included
  EXPECT_TRUE(Has(3, 5));
  // A partial image is still saved.
  EXPECT_EQ(proc->CloseAndSaveScan(), 0);
  EXPECT_TRUE(platform::fileExists(file));
}

}  // namespace
