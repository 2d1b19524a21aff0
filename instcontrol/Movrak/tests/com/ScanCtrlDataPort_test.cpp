// The data-port pass-throughs through the COM layer, on the simulated board.
#include <future>
#include <regex>

#include "ComFixture.h"
#include "okSim/okSim.h"

namespace {

using platform::com::S_OK;
using testing::Contains;
using testing::HasSubstr;

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
