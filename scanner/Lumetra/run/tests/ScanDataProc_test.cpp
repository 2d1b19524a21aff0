// The scan data path with a scripted IScanCtrl: ring assembly, decoding and
// registration, the messages to the status window, every failure and the abort.
#include "run/ScanDataProc.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <vector>

#include "FakeScanCtrl.h"
#include "RecordingWindow.h"
#include "RunTestSupport.h"
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

TEST_F(ScanDataProcTest, AFullRingWrapsOntoItsReaderWithoutLosingALine) {
  // Ten lines of ring; the writer starts over after eight and a half.
  const int pixels = 16, line = 32 + 8 * pixels;
  Prepare(30, pixels, 5, 2, false,
          {static_cast<std::size_t>(10 * line), static_cast<std::size_t>(8 * line + 60),
           static_cast<std::size_t>(3 * line)});
  const auto stream = Stream(0, Records());
  ctrl->AppendScanData(stream);
  Run();
  EXPECT_EQ(proc->GetLinesConsidered(), Records());
  ASSERT_EQ(proc->CloseAndSaveScan(), 0);
  ExpectImage();
  EXPECT_THAT(logText(), HasSubstr("WriteTest Failed -- buffer FULL"));
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
