// Run modes and the reads of the block pipe.
#include <future>
#include <thread>
#include <vector>

#include "BoardFixture.h"

namespace {
class PelluxCaptureTest : public BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    open(port);
    okSim_ClearCallLog();
  }
  CScanDataPort port;
};
}  // namespace

TEST_F(PelluxCaptureTest, InitRunModeWritesTheModeRegisterInOrder) {
  struct Case {
    eDataModeType mode;
    unsigned sampling;
    std::vector<std::string> writes;
    unsigned latched;
  };
  const Case cases[] = {
      {eScanData,
       0,
       {"(0x02,0x0000,0x0080)", "(0x02,0x0000,0xF003)", "(0x02,0x8000,0xF003)", "(0x03,0x0A0A,0xFFFF)",
        "(0x02,0x0080,0x0080)"},
       0x8080},
      {eScanData,
       0x03,
       {"(0x02,0x0000,0x0080)", "(0x02,0x0000,0xF003)", "(0x02,0x8000,0xF003)", "(0x03,0x0A0A,0xFFFF)",
        "(0x02,0x0002,0x0002)", "(0x02,0x0001,0x0001)", "(0x02,0x0080,0x0080)"},
       0x8083},
      {eMeasuringData,
       0x05,
       {"(0x02,0x0000,0x0080)", "(0x02,0x0000,0xF003)", "(0x02,0x2000,0x2000)", "(0x02,0x0002,0x0002)",
        "(0x02,0x0080,0x0080)"},
       0x2082},
      {eMeasuringData,
       0x10A,  // only the low byte counts
       {"(0x02,0x0000,0x0080)", "(0x02,0x0000,0xF003)", "(0x02,0x4000,0x4000)", "(0x02,0x0001,0x0001)",
        "(0x02,0x0080,0x0080)"},
       0x4081},
      {eFakeData,
       0x0F,  // sampling bits do not apply to the test pattern
       {"(0x02,0x0000,0x0080)", "(0x02,0x0000,0xF003)", "(0x02,0x1000,0xF003)", "(0x02,0x0080,0x0080)"},
       0x1080},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "mode " << c.mode << " sampling " << c.sampling);
    okSim_ClearCallLog();
    port.SetAbort(true);
    const long long before = nowMs();
    ASSERT_TRUE(port.InitRunMode(c.mode, c.sampling));
    EXPECT_EQ(simArgs("okUsbFrontPanel_SetWireInValue"), c.writes);
    EXPECT_EQ(okSim_GetWireIn(0x02), c.latched);
    EXPECT_GE(nowMs() - before, 100);  // the run bit follows the mode after 100 ms
    EXPECT_FALSE(port.Is1stPacketScanDataReceived());
  }
}

TEST_F(PelluxCaptureTest, InitRunModeStopsAtTheFirstFailedWrite) {
  okSim_ScriptResult("okUsbFrontPanel_SetWireInValue", 0, 0);
  okSim_ScriptResult("okUsbFrontPanel_SetWireInValue", 0, 0);
  okSim_ScriptResult("okUsbFrontPanel_SetWireInValue", -1, 0);
  EXPECT_FALSE(port.InitRunMode(eScanData, 0));
  EXPECT_TRUE(logHas("ERROR: <DataPort::InitRunMode> Failed to set data mode!"));
  EXPECT_EQ(simArgs("okUsbFrontPanel_SetWireInValue").size(), 3u);
  EXPECT_EQ(okSim_GetWireIn(0x02) & 0x0080, 0u);  // never started
}

TEST_F(PelluxCaptureTest, GetScanDataReadsInAsFewTransfersAsTheBlockRuleAllows) {
  okSim_SetScanGeometry(300, 2);  // 2 x 2432 bytes available
  ASSERT_TRUE(port.InitRunMode(eScanData, 0));
  std::vector<unsigned char> buffer(4000, 0xEE);
  okSim_ClearCallLog();
  EXPECT_EQ(port.GetScanData(buffer.data(), 2600, 2500), 2500);
  EXPECT_EQ(simArgs("okUsbFrontPanel_ReadFromBlockPipeOut"),
            (std::vector<std::string>{"(0xA0,1024,2048)", "(0xA0,8,448)", "(0xA0,1,4)"}));
  EXPECT_EQ(std::vector<unsigned char>(buffer.begin(), buffer.begin() + 4),
            (std::vector<unsigned char>{0xFF, 0x33, 0x11, 0x01}));
  EXPECT_EQ(buffer[2599], 0);     // the whole given size is cleared first
  EXPECT_EQ(buffer[2600], 0xEE);  // and nothing past it
  EXPECT_TRUE(port.Is1stPacketScanDataReceived());
  EXPECT_TRUE(logHas("DEBUG(1): <DataPort::GetScanData> Got first packet of scan data [2048 bytes]"));
  EXPECT_FALSE(port.IsBusy());
}

TEST_F(PelluxCaptureTest, GetScanDataTakesWhatArrivedWithinTenSeconds) {
  okSim_SetScanGeometry(9, 1);  // one line of 104 bytes
  okSim_SetDataRate(20);
  ASSERT_TRUE(port.InitRunMode(eScanData, 0));
  std::vector<unsigned char> buffer(1000);
  const long long before = nowMs();
  EXPECT_EQ(port.GetScanData(buffer.data(), 1000, 1000), 104);
  EXPECT_EQ(nowMs() - before, 10000);
  EXPECT_TRUE(
      logHas("WARNING: <DataPort::GetScanData> Not enough data available: expacted = 1000, available = 104 "
             "[waited for 10000 ms], get whatever the available data anyway..."));
}

TEST_F(PelluxCaptureTest, GetScanDataFailures) {
  struct Case {
    long pipeResult;
    const char* text;
  };
  const Case reads[] = {
      {-9, "ERROR: <DataPort::GetScanData> Read data - Invalid end point. [error code = -9]"},
      {-2, "ERROR: <DataPort::GetScanData> Read data - Timeout. [error code = -2]"},
      {-1, "ERROR: <DataPort::GetScanData> Read data failed. [error code = -1]"},
      {0, "ERROR: <DataPort::GetScanData> Read data failed - Bogus, 0 byte data read!"},
      {-5, "ERROR: <DataPort::GetScanData> Read data failed - Unknown. [error code = -5]"},
  };
  okSim_SetScanGeometry(100, 10);
  ASSERT_TRUE(port.InitRunMode(eScanData, 0));
  std::vector<unsigned char> buffer(2000);
  for (const Case& c : reads) {
    SCOPED_TRACE(c.pipeResult);
    okSim_ScriptResult("okUsbFrontPanel_ReadFromBlockPipeOut", c.pipeResult, 0);
    try {
      port.GetScanData(buffer.data(), 2000, 2000);
      ADD_FAILURE() << "no status thrown";
    } catch (PortStatus s) {
      EXPECT_EQ(s, PortStatusReceiveFailed);
    }
    EXPECT_TRUE(logHas(c.text));
    EXPECT_FALSE(port.IsBusy());
  }
  EXPECT_TRUE(logHas(
      "DEBUG(1): <DataPort::GetScanData> Read data failed: expacted = 2000, available = 8320 received = 0"));

  struct Misuse {
    unsigned char* buffer;
    long size, expected;
    PortStatus status;
  };
  const Misuse misuses[] = {
      {buffer.data(), 2000, 0, PortStatusInvalidParameter},
      {nullptr, 2000, 100, PortStatusBufferTooSmall},
      {buffer.data(), 99, 100, PortStatusBufferTooSmall},
  };
  for (const Misuse& m : misuses) {
    try {
      port.GetScanData(m.buffer, m.size, m.expected);
      ADD_FAILURE() << "no status thrown";
    } catch (PortStatus s) {
      EXPECT_EQ(s, m.status);
    }
    EXPECT_FALSE(port.IsBusy());
  }
}

TEST_F(PelluxCaptureTest, GetScanDataOnAClosedPortFailsAtOnce) {
  CScanDataPort closed;
  std::vector<unsigned char> buffer(100);
  try {
    closed.GetScanData(buffer.data(), 100, 100);
    ADD_FAILURE() << "no status thrown";
  } catch (PortStatus s) {
    EXPECT_EQ(s, PortStatusNotConnected);
  }
  EXPECT_TRUE(boxes().empty());
}

TEST_F(PelluxCaptureTest, GetScanDataStopsWaitingOnAbort) {
  okSim_SetScanGeometry(100, 0);  // nothing arrives
  ASSERT_TRUE(port.InitRunMode(eScanData, 0));
  port.SetAbort(true);
  std::vector<unsigned char> buffer(100);
  EXPECT_EQ(port.GetScanData(buffer.data(), 100, 100), 0);
  EXPECT_TRUE(logHas("INFO: <DataPort::GetScanData> Got the ABORT flag when waiting for data available..."));
  EXPECT_FALSE(port.IsBusy());
}

TEST_F(PelluxCaptureTest, AReadInProgressMakesThePortBusyAndDefersTheKeepAlive) {
  okSim_SetScanGeometry(100, 1);
  okSim_SetDataRate(832);  // the line is there a second after the run starts
  ASSERT_TRUE(port.InitRunMode(eScanData, 0));
  clock_->setAutoAdvance(false);
  std::vector<unsigned char> first(832), second(832);
  auto reading = std::async(std::launch::async, [&] { return port.GetScanData(first.data(), 832, 832); });
  ASSERT_TRUE(clock_->waitForWaiters(1));
  EXPECT_TRUE(port.IsBusy());
  try {
    port.GetScanData(second.data(), 832, 832);
    ADD_FAILURE() << "no status thrown";
  } catch (PortStatus s) {
    EXPECT_EQ(s, PortStatusBusy);
  }
  EXPECT_THROW(port.SendKeepAliveCmd(false), PortStatus);
  okSim_ClearCallLog();
  EXPECT_TRUE(port.SendKeepAliveCmd(true));
  EXPECT_TRUE(oksim::calls("(0x40,15)").empty());  // not while reading

  ASSERT_TRUE(driveClockUntil(
      [&] { return reading.wait_for(std::chrono::seconds(0)) == std::future_status::ready; }));
  EXPECT_EQ(reading.get(), 832);
  EXPECT_FALSE(port.IsBusy());
  EXPECT_EQ(oksim::calls("(0x40,15)").size(), 1u);  // sent when the read ended
  EXPECT_TRUE(logHas("DEBUG(2): <DataPort::GetScanData> try to send a pending ALIVE command"));
}

TEST_F(PelluxCaptureTest, SampleReadsFitTheCallersBufferExactly) {
  // 1000 samples: a part of one MiB block, read through a bounce buffer.
  okSim_SetSampleValues(0, 1234, 5678);
  std::vector<unsigned char> exact(1000 * 4);
  ASSERT_TRUE(port.GetMeasuringData(1000, 0, exact.data(), static_cast<long>(exact.size())));
  EXPECT_EQ(simArgs("okUsbFrontPanel_ReadFromBlockPipeOut"), std::vector<std::string>{"(0xA0,1024,1048576)"});
  for (std::size_t i : {std::size_t{0}, std::size_t{1}, std::size_t{999}}) {
    const unsigned char* s = &exact[4 * i];
    EXPECT_EQ(s[0] | ((s[1] & 0x3F) << 8), 1234) << i;
    EXPECT_EQ(s[2] | ((s[3] & 0x3F) << 8), 5678) << i;
  }

  struct Limit {
    long samples;
    long bufferSize;
    bool accepted;
  };
  const Limit limits[] = {
      {0, 16, false},
      {CScanDataPort::kMaxSamples + 1, CScanDataPort::kMaxSampleBytes + 4, false},
      {1000, 3999, false},
      {CScanDataPort::kMaxSamples, CScanDataPort::kMaxSampleBytes, true},
  };
  std::vector<unsigned char> big(static_cast<std::size_t>(CScanDataPort::kMaxSampleBytes) + 4);
  for (const Limit& l : limits) {
    SCOPED_TRACE(l.samples);
    okSim_ClearCallLog();
    EXPECT_EQ(port.GetMeasuringData(l.samples, 0, big.data(), l.bufferSize), l.accepted);
    EXPECT_EQ(simArgs("okUsbFrontPanel_ReadFromBlockPipeOut").size(), l.accepted ? 32u : 0u);
  }
}

TEST_F(PelluxCaptureTest, SampleReadFailures) {
  std::vector<unsigned char> buffer(4000);
  ASSERT_TRUE(port.InitRunMode(eMeasuringData, 0));
  // A read of nothing counts as nothing; a negative one fails.
  okSim_ScriptResult("okUsbFrontPanel_ReadFromBlockPipeOut", 0, 0);
  EXPECT_EQ(port.GetSampleData(buffer.data(), 4000), 0);
  okSim_ScriptResult("okUsbFrontPanel_ReadFromBlockPipeOut", -2, 0);
  EXPECT_THROW(port.GetSampleData(buffer.data(), 4000), PortStatus);
  EXPECT_TRUE(logHas("ERROR: <DataPort::GetSampleData> Read data - Timeout. [error code = -2]"));

  okSim_SetBufferFullDelay(-1);
  ASSERT_TRUE(port.InitRunMode(eMeasuringData, 0));
  const long long before = nowMs();
  try {
    port.GetSampleData(buffer.data(), 4000);
    ADD_FAILURE() << "no status thrown";
  } catch (PortStatus s) {
    EXPECT_EQ(s, PortStatusWaitTimeout);
  }
  EXPECT_EQ(nowMs() - before, 10000);
  EXPECT_TRUE(logHas("ERROR: <DataPort::GetSampleData> Failed to wait for reading sample data!"));
  EXPECT_FALSE(port.IsBusy());
}

TEST_F(PelluxCaptureTest, StatisticsOfTheRawFamilyUseTheirSamplingModes) {
  // Two groups of 5 x 44 samples per read; constant samples give their value x 4.
  struct Case {
    const char* name;
    std::function<bool(RawDataStatsInfo*)> read;
    int code;
  };
  const Case cases[] = {
      {"raw red", [&](RawDataStatsInfo* s) { return port.GetRawDataStats(440, false, 5, s, nullptr); }, 0},
      {"gain green", [&](RawDataStatsInfo* s) { return port.GetRawGainStats(440, true, 5, s, nullptr); }, 5},
      {"offset red", [&](RawDataStatsInfo* s) { return port.GetRawOffsetStats(440, false, 5, s, nullptr); },
       2},
      {"gated green", [&](RawDataStatsInfo* s) { return port.GetRawGatedStats(440, true, 5, s, nullptr); },
       12},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RawDataStatsInfo stats;
    stats.bIsSaturated = 7;
    ASSERT_TRUE(c.read(&stats));
    EXPECT_DOUBLE_EQ(stats.dLoAve, 4.0 * (1000 + 10 * c.code));
    EXPECT_DOUBLE_EQ(stats.dHiAve, 4.0 * (8000 + 10 * c.code));
    EXPECT_DOUBLE_EQ(stats.dLoStDev, 0.0);
    EXPECT_EQ(stats.bIsSaturated, c.code == 0 ? 0 : 7);  // only the raw statistics report saturation
  }
  okSim_SetSampleValues(0, 10, 16383);
  int saturated = 0;
  double hiAve = 0, hiStDev = 0, loAve = 0, loStDev = 0;
  ASSERT_TRUE(port.GetRawDataStats(440, false, 5, saturated, hiAve, hiStDev, loAve, loStDev, nullptr));
  EXPECT_EQ(saturated, 1);
  // One group is not enough for a deviation.
  EXPECT_FALSE(port.GetRawDataStats(220, false, 5, saturated, hiAve, hiStDev, loAve, loStDev, nullptr));
}
