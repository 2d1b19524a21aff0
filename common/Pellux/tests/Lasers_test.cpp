// Laser calibration, red-laser readiness, laser switching and the laser tests.
#include "BoardFixture.h"

namespace {
// Opens the protected tests.
class TestablePort : public CScanDataPort {
 public:
  using CScanDataPort::TestGreenLaserPowerBySetPt;
  using CScanDataPort::TestHeNeHWPhase;
};

class PelluxLaserTest : public BoardTest {
 protected:
  void SetUp() override {
    BoardTest::SetUp();
    open(port);
    okSim_ClearCallLog();
  }
  // Red supply on, and on for `time` by the port's record.
  void redOnFor(std::chrono::seconds time) {
    ASSERT_TRUE(port.TurnOnOffRedLaser(true));
    clock_->advance(time);
  }
  int greenPd() { return port.GetLaserPower(false); }
  TestablePort port;
};
}  // namespace

TEST_F(PelluxLaserTest, RedLaserReadiness) {
  using std::chrono::seconds;
  struct Case {
    seconds on;
    std::int64_t minutes;
    int left;
    bool ready;
  };
  const Case cases[] = {
      {seconds(20), 0, -1, false}, {seconds(90), 1, 29, false}, {seconds(31 * 60), 31, 0, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.on.count());
    ASSERT_TRUE(port.TurnOnOffRedLaser(false));
    EXPECT_EQ(port.GetRedLaserLastOnMinutes(), 0);
    redOnFor(c.on);
    EXPECT_EQ(port.GetRedLaserLastOnMinutes(), c.minutes);
    EXPECT_EQ(port.GetLaserPowerReadyToAdjustWaitTimeLeftRed(), c.left);
    EXPECT_EQ(port.IsRedLaserReadyToAdjust(), c.ready);
  }
  okSim_ForceStatusBits(1, 0, 0x8000);  // the supply reads off after all
  EXPECT_EQ(port.GetRedLaserLastOnMinutes(), -1);
  EXPECT_TRUE(
      logHas("<GetRedLaserLastOnMinutes> Recorded the Red laser has been turned ON already, but the current "
             "Control Status shows OFF"));
}

TEST_F(PelluxLaserTest, GreenCalibrationConvergesOnTheDesiredLevel) {
  okSim_SetGreenLaser(3000, 0.5, 30000);  // PD = set point / 2, reached over 30 s
  EXPECT_EQ(port.CalibrateGreenLaser(2000, 1000, 50, 120, 5, 1), LaserStatusDone);
  EXPECT_EQ(okSim_GetGreenSetPoint(), 2000);
  EXPECT_NEAR(greenPd(), 1000, 50);
  // 5.5 percent rounds to the even 6.
  EXPECT_TRUE(
      logHas("<DataPort::CalibrateLaser_Green> SetPt = 2000, desiredPD = 1000, delta = 50 [6 percent]"));
  EXPECT_TRUE(logHas("<DataPort::CalibrateLaser_Green> The laser power is 'READY'"));
  EXPECT_TRUE(logHas("<DataPort::CalibrateLaser_Green> Checked the stability: Retry = 1, nInRange = 5"));

  // Within range already: the set point stays.
  okSim_ClearCallLog();
  EXPECT_EQ(port.CalibrateGreenLaser(3000, 1000, 50, 120, 5, 1), LaserStatusDone);
  EXPECT_EQ(okSim_GetGreenSetPoint(), 2000);
  EXPECT_TRUE(oksim::calls("SetWireInValue(0x05").empty());
  EXPECT_TRUE(logHas("Current laser power level is fine, calibrating skipped"));
}

TEST_F(PelluxLaserTest, GreenCalibrationFailures) {
  struct Case {
    const char* name;
    std::function<void()> setup;
    LaserStatus expected;
    const char* line;
  };
  const Case cases[] = {
      {"never READY", [] { okSim_SetGreenLaser(600000, 0.5, 0); }, LaserStatusTimeout,
       "<DataPort::CalibrateLaser_Green> Timed-out when waiting for the 'READY' flag"},
      {"too weak", [] { okSim_SetGreenLaser(1000, 0.1, 0); }, LaserStatusPDTimeout,
       "Timed-out when waiting for the measured power meets the desired level"},
      {"too strong", [] { okSim_ForcePd(0, 2000); }, LaserStatusPDTooHigh,
       "<DataPort::CalibrateLaser_Green> The current power level is too high"},
      {"set point refused",
       [this] {
         ASSERT_TRUE(port.ChangeLaserSetPt(100, false));  // on, far below the level
         okSim_ScriptResult("okUsbFrontPanel_SetWireInValue", -1, 0);
       },
       LaserStatusSetPointFailed, "<DataPort::CalibrateLaser_Green> Failed to change the laser's SetPoint"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    okSim_ClearScripts();
    okSim_ForcePd(0, -1);
    okSim_SetGreenLaser(1000, 0.5, 0);
    ASSERT_TRUE(port.TurnOffGreenLaser());
    c.setup();
    EXPECT_EQ(port.CalibrateGreenLaser(2000, 1000, 50, 120, 5, 1), c.expected);
    EXPECT_TRUE(logHas(c.line));
  }
  EXPECT_EQ(logCount("The current power level is over the range: PD count = 2000"), 11);
}

TEST_F(PelluxLaserTest, RedCalibration) {
  okSim_SetRedLaser(200, 3000, 0.01);  // 1.5 degrees per second at speed 150
  okSim_SetRedPlateAngle(60);          // forward raises the power here
  EXPECT_EQ(port.CalibrateRedLaser(16, 2000, 100, 100.0, 150, 120, 10, 0), LaserStatusDone);
  EXPECT_NEAR(port.GetLaserPower(true), 2000, 60);
  EXPECT_TRUE(logHas("<DataPort::CalibrateLaser_Red> The laser power is OFF befor the calibration starts"));
  EXPECT_TRUE(
      logHas("<DataPort::CalibrateLaser_Red> OK to set power level back to desired mWatts: target = 20.00"));

  // Forward lowers the power here: the aim is never reached.
  okSim_SetRedPlateAngle(10);
  EXPECT_EQ(port.CalibrateRedLaser(16, 2900, 100, 100.0, 150, 20, 10, 0), LaserStatusTimeout);
  EXPECT_TRUE(logHas("<DataPort::CalibrateLaser_Red> Failed to set power level close to desired"));

  okSim_ClearCallLog();
  EXPECT_EQ(port.CalibrateRedLaser(16, 2000, 100, 0.0, 150, 120, 10, 0), LaserStatusTimeout);
  EXPECT_TRUE(oksim::calls("SetWireInValue(0x04").empty());
}

TEST_F(PelluxLaserTest, SwitchingTheGreenLaser) {
  okSim_SetGreenLaser(3000, 0.5, 0);
  long long before = nowMs();
  EXPECT_TRUE(port.TurnOnGreenLaser(2000, 1000, 5000));
  EXPECT_GE(nowMs() - before, 65000);  // READY, the asked 5 s, then a minute more
  EXPECT_EQ(greenPd(), 1000);

  EXPECT_TRUE(port.ChangeGreenLaserPower(3000, 1020, 0));  // within 5 percent: left alone
  EXPECT_EQ(okSim_GetGreenSetPoint(), 2000);
  EXPECT_TRUE(port.ChangeGreenLaserPower(3000, 1500, 0));
  EXPECT_EQ(okSim_GetGreenSetPoint(), 3000);

  EXPECT_TRUE(port.TurnOffGreenLaser());
  EXPECT_EQ(greenPd(), 0);

  // A READY that never comes is waited for 121 s, not for ever.
  okSim_SetGreenLaser(24 * 3600 * 1000, 0.5, 0);
  before = nowMs();
  EXPECT_FALSE(port.TurnOnGreenLaser(2000, 1000, 1000));
  EXPECT_EQ(nowMs() - before, (100 + 5) + (100 + 1000) + 121000);  // set point, supply on, then the bound
}

TEST_F(PelluxLaserTest, TurningOffAGreenLaserWhoseStatusCannotBeReadFails) {
  CScanDataPort closed;
  EXPECT_FALSE(closed.TurnOffGreenLaser());
}

TEST_F(PelluxLaserTest, SwitchingTheRedLaser) {
  okSim_SetRedLaser(200, 3000, 0.01);
  okSim_SetRedPlateAngle(60);  // PD 900 at gain 16
  EXPECT_TRUE(port.TurnOnRedLaser(16, 900, 0));
  EXPECT_TRUE(oksim::calls("(0x40,4)").empty());  // already where wanted
  EXPECT_EQ(port.GetRedLaserLastOnMinutes(), 0);

  // Doubling the photodiode gain doubles the reading.
  EXPECT_TRUE(port.ChangeRedLaserPower(32, 1800, 1000));
  EXPECT_EQ(okSim_GetSpiWord(), 32u);
  EXPECT_FALSE(port.ChangeRedLaserPower(16, 5000, 1000));
  ASSERT_TRUE(port.TurnOnOffRedLaser(false));
  EXPECT_FALSE(port.ChangeRedLaserPower(16, 900, 0));  // supply off
}

TEST_F(PelluxLaserTest, TheHalfWavePlatePhaseFromThreeReadings) {
  okSim_SetRedLaser(200, 3000, 0.01);
  EXPECT_EQ(port.TestHeNeHWPhase(150), HWPhaseUnknown);  // the laser is off
  EXPECT_TRUE(logHas("<DataPort::GetHeNeHWPhase> the Red laser is OFF"));
  redOnFor(std::chrono::minutes(31));
  struct Case {
    double angle;
    HWPhase phase;
  };
  const Case cases[] = {{45, HWPhaseNearMinimum},
                        {70, HWPhaseForwardRaises},
                        {0, HWPhaseNearMaximum},
                        {20, HWPhaseForwardLowers}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.angle);
    okSim_SetRedPlateAngle(c.angle);
    EXPECT_EQ(port.TestHeNeHWPhase(150), c.phase);
  }
}

TEST_F(PelluxLaserTest, RedPowerMinMax) {
  okSim_SetRedLaser(200, 3000, 0.01);
  struct Case {
    const char* name;
    std::function<void()> setup;
    LaserStatus expected;
  };
  const Case refusals[] = {
      {"off", [] {}, LaserStatusOff},
      {"warming", [&] { redOnFor(std::chrono::minutes(5)); }, LaserStatusNotReadyToAdjust},
      {"unknown", [] { okSim_ForceStatusBits(1, 0, 0x8000); }, LaserStatusOnTimeUnknown},
  };
  for (const Case& c : refusals) {
    SCOPED_TRACE(c.name);
    c.setup();
    int minPD = -7, maxPD = -7;
    EXPECT_EQ(port.TestLaserPowerPDMinMaxRed(minPD, maxPD, 150), c.expected);
    EXPECT_EQ(minPD, -7);
    EXPECT_EQ(maxPD, -7);
  }
  okSim_ForceStatusBits(1, 0, 0);
  ASSERT_TRUE(port.TurnOnOffRedLaser(true));
  clock_->advance(std::chrono::minutes(31));
  int minPD = 0, maxPD = 0;
  EXPECT_EQ(port.TestLaserPowerPDMinMaxRed(minPD, maxPD, 150), LaserStatusDone);
  EXPECT_NEAR(minPD, 200, 20);  // the sweep covers a whole period of the plate
  EXPECT_NEAR(maxPD, 3000, 20);
  EXPECT_TRUE(logHas("<DataPort::TestLaserPowerPDMinMaxRed> MaxPD = "));
}

TEST_F(PelluxLaserTest, GreenPowerMinMax) {
  okSim_SetGreenLaser(3000, 0.5, 0);
  ASSERT_TRUE(port.TurnOnGreenLaser(2000, 1000, 0));
  clock_->advance(std::chrono::seconds(5));
  int minPD = 0, maxPD = 0;
  EXPECT_EQ(port.TestLaserPowerPDMinMaxGreen(minPD, maxPD, 0.5), LaserStatusDone);
  EXPECT_EQ(maxPD, 2047);
  EXPECT_LE(minPD, 1);
  EXPECT_EQ(okSim_GetGreenSetPoint(), 2000);  // restored from the start reading

  // A factor that would ask for more than twelve bits gets the top of the range.
  EXPECT_EQ(port.TestLaserPowerPDMinMaxGreen(minPD, maxPD, 0.1), LaserStatusDone);
  EXPECT_EQ(okSim_GetGreenSetPoint(), 4095);
  // No factor: the set point stays at the minimum.
  EXPECT_EQ(port.TestLaserPowerPDMinMaxGreen(minPD, maxPD, 0), LaserStatusDone);
  EXPECT_EQ(okSim_GetGreenSetPoint(), 1);

  okSim_SetGreenLaser(24 * 3600 * 1000, 0.5, 0);
  minPD = 5, maxPD = 5;
  EXPECT_EQ(port.TestLaserPowerPDMinMaxGreen(minPD, maxPD, 0.5), LaserStatusSetPointFailed);
  EXPECT_EQ(minPD, 65535);
  EXPECT_EQ(maxPD, 0);
  EXPECT_TRUE(logHas("Failed to test Green laser max power level: error = 4"));
}
