// The FPGA control words: lasers, shutters, PMT voltages over SPI, the plate motor,
// time-out and duplication, the control status.
#include "BoardFixture.h"

namespace {
class PelluxControlWordsTest : public BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    open(port);
    okSim_ClearCallLog();
  }
  PortCtrlStatus status() {
    PortCtrlStatus s;
    EXPECT_TRUE(port.GetCtrlStatus(&s));
    return s;
  }
  CScanDataPort port;
};
}  // namespace

TEST_F(PelluxControlWordsTest, TheGreenSetPointTakesTwelveBitsOnTheStrobe) {
  EXPECT_TRUE(port.SetLaserSetting(0x1234, false));
  EXPECT_EQ(
      simArgs("okUsbFrontPanel_SetWireInValue"),
      (std::vector<std::string>{"(0x05,0x0234,0x0FFF)", "(0x05,0x0000,0x4000)", "(0x05,0x4000,0x4000)"}));
  EXPECT_EQ(okSim_GetGreenSetPoint(), 0x234);
  EXPECT_TRUE(logHas("DEBUG(2): <DataPort::SetLaserSetting> Laser = Green, SetPoint = 4660"));

  // The red laser has neither a set point nor an emission switch on the board.
  okSim_ClearCallLog();
  EXPECT_FALSE(port.SetLaserSetting(100, true));
  EXPECT_FALSE(port.SetLaserOnOff(true, true));
  EXPECT_TRUE(simArgs("okUsbFrontPanel_SetWireInValue").empty());
}

TEST_F(PelluxControlWordsTest, ChangeLaserSetPtSwitchesTheGreenLaserOnAsNeeded) {
  ASSERT_FALSE(status().IsLaserPwrOn(false));
  EXPECT_TRUE(port.ChangeLaserSetPt(2000, false));
  const PortCtrlStatus s = status();
  EXPECT_TRUE(s.IsLaserPwrOn(false));
  EXPECT_TRUE(s.IsLaserOnGreen());
  EXPECT_EQ(okSim_GetGreenSetPoint(), 2000);
  EXPECT_EQ(oksim::calls("(0x40,0)").size(), 1u);

  okSim_ClearCallLog();  // already on: only the set point changes
  EXPECT_TRUE(port.ChangeLaserSetPt(1500, false));
  EXPECT_TRUE(oksim::calls("(0x40,0)").empty());
  EXPECT_EQ(simArgs("okUsbFrontPanel_SetWireInValue").size(), 3u);
}

TEST_F(PelluxControlWordsTest, TheHalfWavePlateMotor) {
  struct Case {
    bool forward;
    short speed;
    std::vector<std::string> writes;
    const char* line;
  };
  const Case cases[] = {
      {true,
       -1,
       {"(0x04,0x8000,0x8000)"},
       "<DataPort> command to set the direction of the red laser motor to Forward"},
      {false,
       300,
       {"(0x04,0x0000,0x8000)", "(0x04,0x012C,0x00FF)"},
       "<DataPort> command to run the red laser motor [dir = Backward, speed = 300]"},
      {true,
       0,
       {"(0x04,0x8000,0x8000)", "(0x04,0x0000,0x00FF)"},
       "<DataPort> command to stop the red laser motor"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.speed);
    okSim_ClearCallLog();
    EXPECT_TRUE(port.RunHeNeHWPMotor(c.forward, c.speed));
    EXPECT_EQ(simArgs("okUsbFrontPanel_SetWireInValue"), c.writes);
    EXPECT_TRUE(logHas(std::string("DEBUG(3): ") + c.line));
  }
  EXPECT_EQ(okSim_GetWireIn(0x04), 0x8000u);
}

TEST_F(PelluxControlWordsTest, APMTVoltageGoesOverTheSPILinkAndReadsBack) {
  EXPECT_TRUE(port.SetPMTVoltage(1234, true, true));
  EXPECT_EQ(port.GetPMTVoltage(true), 1234);
  EXPECT_EQ(port.GetPMTVoltage(false), 0);
  EXPECT_TRUE(logHas("DEBUG(2): <SetPMTVoltage>: Need to disable shutdown"));
  EXPECT_TRUE(
      logHas("DEBUG(2): <SetPMTVoltage>: Control status after sent trigger to write the data: MasterAlive"));

  // A link that stays busy is waited for 5 s, then written regardless.
  okSim_SetSpiBusy(1);
  okSim_ClearCallLog();
  const long long before = nowMs();
  EXPECT_TRUE(port.SetPMTVoltage(777, false, false));
  EXPECT_EQ(nowMs() - before, 5000);
  EXPECT_EQ(port.GetPMTVoltage(false), 777);
  const auto calls = oksim::calls();
  const auto reset = std::find(calls.begin(), calls.end(), "okUsbFrontPanel_ActivateTriggerIn(0x40,7)");
  const auto data =
      std::find(calls.begin(), calls.end(), "okUsbFrontPanel_SetWireInValue(0x00,0x0309,0xFFFF)");
  const auto write = std::find(calls.begin(), calls.end(), "okUsbFrontPanel_ActivateTriggerIn(0x40,3)");
  EXPECT_TRUE(reset < data && data < write && write != calls.end());
}

TEST_F(PelluxControlWordsTest, StatusSwitchesAndCounters) {
  EXPECT_TRUE(port.SetShutterOpenClose(false, true));
  EXPECT_FALSE(status().IsShutter1On());
  EXPECT_TRUE(port.SetShutterOpenClose(true, true));
  EXPECT_TRUE(status().IsShutter1On());

  EXPECT_TRUE(port.EnableMasterTimeout(false));
  EXPECT_TRUE(port.EnableSimpleDuplication(false));
  EXPECT_EQ(status().dwStatus2 & 0x0300u, 0x0300u);
  EXPECT_TRUE(port.EnableMasterTimeout(true));
  EXPECT_EQ(status().dwStatus2 & 0x0300u, 0x0100u);
  EXPECT_TRUE(logHas(
      "DEBUG(1): <DataPort::EnableMasterTimeout> Sent command to disable Keth Master Timeout control"));

  okSim_SetSimpleErrorCounts(7);
  EXPECT_EQ(port.GetSimpleErrCounts(), 7);
  EXPECT_TRUE(port.ClearSimpleErrCounts());
  EXPECT_EQ(port.GetSimpleErrCounts(), 0);

  okSim_ScriptResult("okUsbFrontPanel_ActivateTriggerIn", -2, 0);
  EXPECT_FALSE(port.ClearMiscErrorFlags());
  EXPECT_TRUE(logHas("ERROR: Failed to set triggle point: address = 0041, point = 6, error code = -2"));
  EXPECT_TRUE(logHas("DEBUG(2): <DataPort> Send ClearMiscErrorFlags command failed"));

  EXPECT_FALSE(port.SetOKWireIn(0x02, 16));
  EXPECT_EQ(boxes(), std::vector<std::string>{"Invalid point 16 for config address: 0002"});
}

TEST_F(PelluxControlWordsTest, AClosedPortLeavesTheCallersWordsAlone) {
  CScanDataPort closed;
  int s1 = 11, s2 = 22;
  EXPECT_FALSE(closed.GetMiscFeedbackInfo(s1, s2));
  EXPECT_EQ(s1, 11);
  EXPECT_EQ(s2, 22);
  PortCtrlStatus status;
  EXPECT_FALSE(closed.GetCtrlStatus(&status));
  EXPECT_TRUE(logHas("DEBUG(1): <GetCtrlStatus>: Failed to get Keth control status"));
  EXPECT_EQ(closed.GetSimpleErrCounts(), -1);
}
