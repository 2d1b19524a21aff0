// The data job: set-up, start, progress, end, abort and failures, reported to a window.
#include "Pellux/ScanlineProc.h"

#include <condition_variable>
#include <mutex>

#include "BoardFixture.h"

namespace {

// A window that records what is posted to it.
class RecordingWindow : public platform::Window {
 public:
  struct Message {
    unsigned msg;
    std::uintptr_t wParam;
    std::intptr_t lParam;
  };
  bool post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override {
    std::lock_guard lock(mutex_);
    messages_.push_back({message, wParam, lParam});
    changed_.notify_all();
    return true;
  }
  bool postText(unsigned, std::uintptr_t, std::string) override {
    ADD_FAILURE() << "the job posts no text";
    return false;
  }
  std::intptr_t send(unsigned, std::uintptr_t, std::intptr_t) override {
    ADD_FAILURE() << "the job must not send";
    return 0;
  }
  std::vector<Message> messages() {
    std::lock_guard lock(mutex_);
    return messages_;
  }
  bool has(std::uintptr_t wParam) {
    std::lock_guard lock(mutex_);
    return std::any_of(messages_.begin(), messages_.end(),
                       [&](const Message& m) { return m.wParam == wParam; });
  }
  // The job's last message (3 or 4), waited for in real time (the clock runs itself).
  Message waitForEnd() {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, std::chrono::seconds(30), [&] {
      return !messages_.empty() && (messages_.back().wParam == 3 || messages_.back().wParam == 4);
    });
    return messages_.empty() ? Message{0, 0, 0} : messages_.back();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<Message> messages_;
};

class PelluxJobTest : public BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    open(port);
  }
  RecordingWindow window;  // outlives the job, which is joined first
  CScanDataPort port;
  CScanlineProc job;
};

constexpr std::uint64_t kLine = 32 + 8 * 100;  // 100 pixels

}  // namespace

TEST_F(PelluxJobTest, SetupSizesTheJobAndNamesItsFile) {
  ASSERT_TRUE(job.SetupScan(&port, 100, 1000, nullptr, 0));
  EXPECT_EQ(job.GetExpectedBytes(), 803200u);
  EXPECT_EQ(job.GetLineBytes(), 8032u);
  EXPECT_EQ(job.GetOutputFileName(), install_ + "/Data/ScanData.data");
  EXPECT_TRUE(platform::directoryExists(install_ + "/Data"));
  ASSERT_TRUE(job.SetupScan(&port, 1, 1, (tempDir() + "/slide.tif").c_str(), 0));
  EXPECT_EQ(job.GetOutputFileName(), tempDir() + "/slide.data");

  struct Case {
    unsigned long count;
    eDataModeType mode;
    unsigned sampling;
    bool accepted;
    std::string file;
  };
  const Case cases[] = {
      {0, eMeasuringData, 0, false, ""},
      {8388609, eMeasuringData, 0, false, ""},
      {8388608, eMeasuringData, 0, true, "Raw_Red_8388608.data"},
      {100, eMeasuringData, 0x0D, true, "Raw_Green_Gated_Gain_100.data"},
      {100, eMeasuringData, 0x02, true, "Raw_Red_Offset_100.data"},
      {0, eFakeData, 0, true, "TestFakeData_201326592.data"},
      {100, eScanData, 0, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.count << " mode " << c.mode);
    EXPECT_EQ(job.SetupData(&port, c.count, nullptr, c.mode, c.sampling), c.accepted);
    if (c.accepted) {
      EXPECT_EQ(job.GetOutputFileName(), install_ + "/Data/" + c.file);
    }
  }
  EXPECT_EQ(job.GetExpectedBytes(), 201326592u);

  CScanDataPort closed;
  EXPECT_FALSE(job.SetupScan(&closed, 1, 1, nullptr, 0));
  EXPECT_FALSE(job.SetupData(&closed, 100, nullptr, eMeasuringData, 0));
}

TEST_F(PelluxJobTest, AScanJobReportsStartProgressAndDone) {
  // 20 lines (10 rows and the 10 before them at 5 um) beside the glass: every value 0.
  okSim_SetSlideScan("BESIDE", -100000, 0, 5, 5, 100, 10, 0);
  ASSERT_TRUE(job.SetupScan(&port, 20, 100, nullptr, 0));
  ASSERT_TRUE(job.DoRecvScanData(&window, false));
  const auto end = window.waitForEnd();
  EXPECT_EQ(end.wParam, 3u);
  EXPECT_EQ(static_cast<std::uint64_t>(end.lParam), 20 * kLine);

  const auto messages = window.messages();
  ASSERT_GE(messages.size(), 3u);
  EXPECT_EQ(messages.front().wParam, 1u);
  EXPECT_EQ(messages.front().lParam, 0);
  EXPECT_EQ(messages[messages.size() - 2].wParam, 2u);
  EXPECT_EQ(messages[messages.size() - 2].lParam, 20);  // lines
  for (const auto& m : messages) EXPECT_EQ(m.msg, platform::WM_USER + 300);
  EXPECT_EQ(job.GetReceivedBytes(), 20 * kLine);
  EXPECT_TRUE(logHas("ScanlineProc::DoGetDataJob: ExpectToGet = 16640, TotalRecved = 16640, LeftOnPort = 0"));

  // The lines are the board's: header fields and a converted pixel.
  ScanLineDataHeader header;
  CScanlineProc::ReadLineHeader(job.GetDataBuffer(), 7 * kLine, &header);
  EXPECT_EQ(header.wWords[0], 7);
  EXPECT_EQ(header.wWords[1], 1);
  EXPECT_EQ(header.wWords[2], 100);
  ASSERT_TRUE(job.ProcessLine(0));
  EXPECT_EQ(job.GetLineBuffer()[0], -20);  // (0 - 6.2) x 1.01 x 128 / 40
  EXPECT_EQ(job.GetLineBuffer()[1], -13);  // 128 / 40 x (0 - 4.1)
  EXPECT_FALSE(job.ProcessLine(20));       // never received

  // The job is over: the next one may start at once.
  okSim_SetScanGeometry(100, 20);
  ASSERT_TRUE(job.SetupScan(&port, 20, 100, nullptr, 0));
  EXPECT_TRUE(job.DoRecvScanData(&window, false));
  EXPECT_EQ(window.waitForEnd().wParam, 3u);
}

TEST_F(PelluxJobTest, AJobStreamsToItsFile) {
  okSim_SetScanGeometry(100, 20);
  const std::string file = tempDir() + "/scan.tif";
  ASSERT_TRUE(job.SetupScan(&port, 20, 100, file.c_str(), 0));
  ASSERT_TRUE(job.DoRecvScanData(&window, true));
  EXPECT_EQ(window.waitForEnd().wParam, 3u);
  const std::string data = testsupport::readFile(tempDir() + "/scan.data");
  ASSERT_EQ(data.size(), 20 * kLine);
  EXPECT_EQ(data.substr(kLine, 4), std::string("\xFF\x33\x11\x01"));
  EXPECT_EQ(static_cast<unsigned char>(data[kLine + 4]), 1);  // line 1
  EXPECT_FALSE(job.ProcessLine(0));                           // nothing kept in the buffer
}

TEST_F(PelluxJobTest, AbortingARunningJobEndsItWithoutDone) {
  // A line a second for more than a day: the job is still reading whenever the test looks.
  okSim_SetScanGeometry(100, 100000);
  okSim_SetDataRate(832);
  ASSERT_TRUE(job.SetupScan(&port, 100000, 100, nullptr, 0));
  clock_->setAutoAdvance(false);  // the job moves only as the test turns the clock
  ASSERT_TRUE(job.DoRecvScanData(&window, false));
  ASSERT_TRUE(driveClockUntil([&] { return window.has(2); }));
  EXPECT_FALSE(job.DoRecvScanData(&window, false));  // one job at a time
  job.SetAbort(true);
  ASSERT_TRUE(driveClockUntil([&] { return window.has(4); }));
  const auto messages = window.messages();
  EXPECT_EQ(std::count_if(messages.begin(), messages.end(), [](const auto& m) { return m.wParam == 1; }), 1);
  EXPECT_FALSE(window.has(3));
  EXPECT_GT(messages.back().lParam, 0);
  EXPECT_LT(static_cast<std::uint64_t>(messages.back().lParam), 100000 * kLine);
}

TEST_F(PelluxJobTest, AJobEndsOnTheFirstReadThatBringsNothing) {
  okSim_SetScanGeometry(100, 2);  // the board has two of the twenty lines
  ASSERT_TRUE(job.SetupScan(&port, 20, 100, nullptr, 0));
  ASSERT_TRUE(job.DoRecvScanData(&window, false));
  const auto end = window.waitForEnd();
  EXPECT_EQ(end.wParam, 3u);
  EXPECT_EQ(static_cast<std::uint64_t>(end.lParam), 2 * kLine);
  EXPECT_TRUE(
      logHas("The Scan Data Port didn't receive the amount data we expected for one-read (expected = 16640, "
             "recved = 1664)."));
  EXPECT_TRUE(
      logHas("The Scan Data Port didn't receive any data we expected for one-read (expected = 14976). No "
             "more waitting!"));
}

TEST_F(PelluxJobTest, FailuresOnTheWorkerEndTheJobAsAborted) {
  struct Case {
    const char* name;
    std::string file;
    std::function<void()> fault;
    const char* line;
  };
  const Case cases[] = {
      {"port read fails", "", [] { okSim_ScriptResult("okUsbFrontPanel_ReadFromBlockPipeOut", -1, 0); },
       "ScanlineProc::DoGetDataJob: Reading from the Scan Data Port failed [PortStatus = 16]"},
      {"file cannot be created", "/nonexistent-folder/scan.tif", [] {},
       "ScanlineProc::DoGetDataJob: Failed to open the output file /nonexistent-folder/scan.data"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RecordingWindow w;
    okSim_SetScanGeometry(100, 20);
    ASSERT_TRUE(job.SetupScan(&port, 20, 100, c.file.empty() ? nullptr : c.file.c_str(), 0));
    c.fault();
    ASSERT_TRUE(job.DoRecvScanData(&w, !c.file.empty()));
    EXPECT_EQ(w.waitForEnd().wParam, 4u);
    EXPECT_FALSE(w.has(3));
    EXPECT_TRUE(logHas(c.line));
  }
}

TEST_F(PelluxJobTest, MeasuringJobsRunOnTheCallersThread) {
  okSim_SetSampleValues(4, 300, 9000);
  job.SetPixelSize(5, 5);
  RawDataStatsInfo stats;
  ASSERT_TRUE(job.GetRawDataStats(&port, 440, true, &stats));
  EXPECT_DOUBLE_EQ(stats.dLoAve, 1200.0);
  EXPECT_DOUBLE_EQ(stats.dHiAve, 36000.0);

  const std::string file = tempDir() + "/raw.bin";
  ASSERT_TRUE(job.GetRawGainData(&port, 1000, false, file.c_str()));
  EXPECT_EQ(testsupport::readFile(tempDir() + "/raw.data").size(), 4000u);
  EXPECT_TRUE(logHas("Stats info for " + tempDir() + "/raw.data: HiMean = 32040.000"));

  std::vector<unsigned char> exact(400);
  EXPECT_TRUE(job.GetRawOffsetData(&port, 100, false, exact.data(), 400));
  EXPECT_EQ(exact[0] | ((exact[1] & 0x3F) << 8), 1020);
  EXPECT_FALSE(job.GetRawOffsetData(&port, 100, false, exact.data(), 399));

  // A read that fails is tried once more.
  okSim_ScriptResult("okUsbFrontPanel_ReadFromBlockPipeOut", -2, 0);
  EXPECT_NE(job.GetRawData(&port, 100, false), nullptr);
  EXPECT_TRUE(
      logHas("<CScanlineProc::GetMeasuringData> Failed to get measuring data: Error code = 16, [retry = 0]"));
  okSim_ScriptResult("okUsbFrontPanel_ReadFromBlockPipeOut", -2, 1);
  EXPECT_EQ(job.GetRawData(&port, 100, false), nullptr);
}
