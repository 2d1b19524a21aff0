// The data-port pass-throughs through the COM layer, on the simulated board.
#include <atomic>
#include <functional>
#include <future>
#include <regex>

#include "ComFixture.h"
#include "okSim/okSim.h"
#include "testsupport/RunTogether.h"

namespace {

using platform::com::S_OK;
using testing::Contains;
using testing::HasSubstr;
using testing::Not;

class ScanCtrlDataPortTest : public ComTest {
 protected:
  ScanCtrlDataPortTest() {
    ctrl = create();
    connect(*ctrl);
  }
  ~ScanCtrlDataPortTest() override {
    if (ctrl) ctrl->Disconnect();
  }
  // Trigger bits of the control trigger, in order.
  static std::vector<int> triggers() {
    std::vector<int> bits;
    const std::string prefix = "okUsbFrontPanel_ActivateTriggerIn(0x40,";
    for (const std::string& call : oksim::calls(prefix))
      bits.push_back(std::stoi(call.substr(prefix.size())));
    return bits;
  }

  ComPtr<IScanCtrl> ctrl;
};

TEST_F(ScanCtrlDataPortTest, PassThroughsAnswerFromTheBoard) {
  BOOL32 flag = 0;
  ASSERT_EQ(ctrl->SDPIsOpen(&flag), S_OK);
  EXPECT_EQ(flag, 1);
  ASSERT_EQ(ctrl->SDPIsConfigured(&flag), S_OK);
  EXPECT_EQ(flag, 1);
  std::string serial;
  ASSERT_EQ(ctrl->SDPGetDeviceSN(&serial), S_OK);
  EXPECT_FALSE(serial.empty());
  std::string found;
  ASSERT_EQ(ctrl->SDPFindPort(&found), S_OK);
  EXPECT_EQ(found, serial);

  std::vector<unsigned char> buffer(16, 0xAB);
  ULONG count = 7;
  ASSERT_EQ(ctrl->SDPGetData(3, buffer.data(), 16, 16, &count), S_OK);  // no such run mode
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(buffer[0], 0xAB);

  int errors = 0;
  okSim_SetSimpleErrorCounts(5);
  ASSERT_EQ(ctrl->SDPGetSimpleErrCounts(&errors), S_OK);
  EXPECT_EQ(errors, 5);

  okSim_ClearCallLog();
  ASSERT_EQ(ctrl->SDPBlockLasers(1), S_OK);
  EXPECT_EQ(triggers(), (std::vector<int>{10, 12}));  // both shutters close, shutter 1 first
  EXPECT_THAT(log(), HasSubstr("<CScanCtrl> Send command to block both lasers"));
  okSim_ClearCallLog();
  ASSERT_EQ(ctrl->SDPBlockLasers(0), S_OK);
  EXPECT_EQ(triggers(), (std::vector<int>{11, 13}));
}

TEST_F(ScanCtrlDataPortTest, SetPMTVoltageIsTheExtendedFormWithoutShutdown) {
  okSim_ClearCallLog();
  ASSERT_EQ(ctrl->SDPSetPMTVoltage(1, 1234), S_OK);
  const auto plain = oksim::calls();
  okSim_ClearCallLog();
  ASSERT_EQ(ctrl->SDPSetPMTVoltageEx(1, 1234, 0), S_OK);
  EXPECT_EQ(oksim::calls(), plain);
  EXPECT_EQ(okSim_GetSpiWord(), 1234u);
  LONG volt = 0;
  ASSERT_EQ(ctrl->SDPGetPMTVoltage(1, &volt), S_OK);
  EXPECT_EQ(volt, 1234);
}

TEST_F(ScanCtrlDataPortTest, ConfigurationFailuresAreReported) {
  EXPECT_EQ(ctrl->SDPLoadFPGA(tempDir() + "/missing.bit"), Itf(12007));
  EXPECT_EQ(description(), "The Data Port configuration failed.");
  okSim_ScriptResult("okUsbFrontPanel_OpenBySerial", -1, 0);
  EXPECT_EQ(ctrl->SDPOpenPort("nothing"), Itf(12005));
}

TEST_F(ScanCtrlDataPortTest, FastStageModeSendsItsSpeed) {
  ASSERT_EQ(ctrl->SetFSMotorCtrlMode(kMotorCtrlHold), S_OK) << description();
  EXPECT_THAT(lines(), Contains("motorsetspeed 0x4000001 0"));
  ASSERT_EQ(ctrl->SetFSMotorCtrlMode(kMotorCtrlOpen), S_OK) << description();
  EXPECT_THAT(lines(), Contains("motorsetspeed 0x4000001 -1"));
  EXPECT_THAT(log(), HasSubstr("Set Fast-Stage motor control mode: mode = 0"));
}

TEST_F(ScanCtrlDataPortTest, RuntimeOnlineWithoutAConnectionIsFalseNotAFailure) {
  ASSERT_EQ(ctrl->Disconnect(), S_OK);
  BOOL32 online = 1;
  ASSERT_EQ(ctrl->IsRuntimeOnline(&online), S_OK) << description();
  EXPECT_EQ(online, 0);
}

TEST_F(ScanCtrlDataPortTest, PMTVoltageAndPhotodiodeFromTwoThreadsEachReachTheirTarget) {
  constexpr int kWrites = 150;
  okSim_ClearCallLog();
  auto pmt = std::async(std::launch::async, [&] {
    for (int i = 0; i < kWrites; ++i)
      if (ctrl->SDPSetPMTVoltageEx(1, static_cast<std::uint16_t>(1000 + i), 0) != S_OK) return false;
    return true;
  });
  auto photodiode = std::async(std::launch::async, [&] {
    for (int i = 0; i < kWrites; ++i)
      if (ctrl->SDPSetHeNePD(static_cast<std::uint16_t>(3000 + i)) != S_OK) return false;
    return true;
  });
  EXPECT_TRUE(pmt.get());
  EXPECT_TRUE(photodiode.get());

  // Each trigger fires the SPI word written for it.
  const std::regex spi(R"(okUsbFrontPanel_SetWireInValue\(0x00,0x([0-9A-F]+),0xFFFF\))");
  const std::regex trigger(R"(okUsbFrontPanel_ActivateTriggerIn\(0x40,(\d+)\))");
  unsigned word = 0;
  int pmtTriggers = 0, pdTriggers = 0;
  for (const std::string& call : oksim::calls()) {
    std::smatch m;
    if (std::regex_match(call, m, spi)) {
      word = static_cast<unsigned>(std::stoul(m[1], nullptr, 16));
    } else if (std::regex_match(call, m, trigger)) {
      const int bit = std::stoi(m[1]);
      if (bit == 2) {
        ++pmtTriggers;
        EXPECT_TRUE(word >= 1000 && word < 1000 + kWrites) << "PMT trigger fired SPI word " << word;
      } else if (bit == 4) {
        ++pdTriggers;
        EXPECT_TRUE(word >= 3000 && word < 3000 + kWrites) << "photodiode trigger fired SPI word " << word;
      }
    }
  }
  EXPECT_EQ(pmtTriggers, kWrites);
  EXPECT_EQ(pdTriggers, kWrites);
}

}  // namespace

namespace {

using ScanCtrlPortConcurrencyTest = ComTest;

using testsupport::RunTogether;

std::string Where(int t, int r) {
  return "thread " + std::to_string(t) + " round " + std::to_string(r) + ": ";
}

}  // namespace

// Every Connect opens the board, loads its configuration and walks the clock phases; two
// objects share the one board, so those sequences must not run through each other.
TEST_F(ScanCtrlPortConcurrencyTest, ConnectsOfTwoObjectsFromSeveralThreadsAllSucceed) {
  ComPtr<IScanCtrl> objects[] = {create(), create()};
  okSim_ClearCallLog();
  // Meanwhile a client reads what the open sets.
  std::atomic<bool> connecting{true};
  auto reader = std::async(std::launch::async, [&] {
    int reads = 0;
    BOOL32 skipped = 0;
    LONG minutes = 0;
    while (connecting)
      if (objects[1]->SDPIsInitCfgSkipped(&skipped) == S_OK &&
          objects[1]->GetRedLaserPowerReadyToAdjustMinWaitTime(&minutes) == S_OK)
        ++reads;
    return reads;
  });
  const auto failures = RunTogether(4, 5, [&](int t, int r) {
    const HRESULT hr = objects[t % 2]->Connect(connectString());
    return hr == S_OK ? std::string() : Where(t, r) + description();
  });
  connecting = false;
  EXPECT_GT(reader.get(), 0);
  EXPECT_TRUE(failures.empty()) << testing::PrintToString(failures);

  // On the board, each open ran whole: open, clock set-up, download, then the phase walk.
  const std::string shape = oksim::openSteps();
  std::string expected;
  for (int i = 0; i < 20; ++i) expected += "OPCD";
  EXPECT_EQ(shape, expected);
  BOOL32 ready = 0;
  ASSERT_EQ(objects[0]->SDPIsReady(&ready), S_OK);
  EXPECT_EQ(ready, 1);
  for (auto& o : objects) EXPECT_EQ(o->Disconnect(), S_OK);
}

// Self tests and measurements on one object share the port's sample buffer and its run
// mode, while another thread disconnects and connects again (which reloads the board).
TEST_F(ScanCtrlPortConcurrencyTest, SelfTestsAndMeasurementsBesideDisconnectAndConnect) {
  ComPtr<IScanCtrl> ctrl = create();
  connect(*ctrl);
  const auto failures = RunTogether(6, 2, [&](int t, int r) {
    switch (t) {
      case 0: {  // the only thread that changes the connection
        if (ctrl->Disconnect() != S_OK) return Where(t, r) + "Disconnect: " + description();
        if (ctrl->Connect(connectString()) != S_OK) return Where(t, r) + "Connect: " + description();
        return std::string();
      }
      case 1:
      case 2: {
        if (r > 0) return std::string();  // two self tests at once are enough
        LONG result = 0;
        if (ctrl->SelfTest(&result) != S_OK || result != 1) return Where(t, r) + "SelfTest: " + description();
        return std::string();
      }
      default: {
        // Requests of growing size, so that the port's buffer is replaced now and then.
        const LONG samples = 2200L * (1 + 3 * r + (t - 3));
        double hiAve = 0, hiStDev = 0, loAve = 0, loStDev = 0;
        BOOL32 saturated = 0, ok = 0;
        if (ctrl->SDPGetRawDataStats(samples, 0, 5, "", &hiAve, &hiStDev, &loAve, &loStDev, &saturated,
                                     &ok) != S_OK ||
            ok != 1)
          return Where(t, r) + "raw data statistics: " + description();
        std::vector<unsigned char> buffer(static_cast<std::size_t>(samples) * 4);
        if (ctrl->SDPGetMeasuringData(samples, 2, buffer.data(), static_cast<LONG>(buffer.size()), &ok) !=
                S_OK ||
            ok != 1)
          return Where(t, r) + "measuring data: " + description();
        // Offset samples (mode 2), not another thread's mode.
        if ((buffer[0] | ((buffer[1] & 0x3F) << 8)) != 1020) return Where(t, r) + "samples of another mode";
        return std::string();
      }
    }
  });
  EXPECT_TRUE(failures.empty()) << testing::PrintToString(failures);
  const std::string text = log();
  EXPECT_THAT(text, Not(HasSubstr("Stats!")));
  EXPECT_THAT(text, Not(HasSubstr("caught an exception")));
  EXPECT_THAT(text, Not(HasSubstr("Port is busy!")));
  EXPECT_EQ(ctrl->Disconnect(), S_OK);
}
