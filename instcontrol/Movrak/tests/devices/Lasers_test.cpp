// Laser set points, switching, warm-up, calibration and the min/max test on the simulated
// board, with the test clock.
#include <chrono>
#include <functional>

#include "BoardFixture.h"
#include "Jotwell/ProductKeys.h"
#include "Jotwell/RegEdit.h"
#include "devices/DeviceErrors.h"
#include "devices/DeviceUtil.h"

namespace {

using namespace std::chrono_literals;
using testing::HasSubstr;
using testing::IsEmpty;

constexpr double kRedPerMW = 2920.0, kGreenPDPerMW = 2228.6;
constexpr int kStatusGreenReady = 0x40;

class LasersTest : public BoardDeviceTest {
 protected:
  LasersTest() {
    // A red laser whose power does not depend on the plate (unless a test says so), at 8 mW.
    redAt(8.0);
    scanner.LoadLaserPowerFactors();
  }
  static void redAt(double mw) {
    const int pd = static_cast<int>(mw * kRedPerMW);
    okSim_SetRedLaser(pd, pd, 0.01);
  }
  // Both supplies and the green emission on, as the status thread finds them.
  void lasersOn() {
    ASSERT_EQ(scanner.SetOnOffLaserPowers(true), 1);
    okSim_ClearCallLog();
  }
  struct Warmup {
    int result = -1;
    int error = -1;
    int thrown = 0;
  };
  Warmup check(bool reload = false, bool logLevels = false) {
    Warmup w;
    w.thrown = thrown([&] { w.result = scanner.CheckLaserWarmingUpStatus(w.error, reload, logLevels); });
    return w;
  }
  bool greenReady() {
    bool red = false, green = false;
    scanner.LaserWarmingUpStatus(red, green, false, false);
    return green;
  }
  // The values written to the red photodiode, in order.
  static std::vector<unsigned> redGains() {
    std::vector<unsigned> gains;
    unsigned word = 0;
    const std::string wire = "okUsbFrontPanel_SetWireInValue(0x00,";
    for (const std::string& call : oksim::calls()) {
      if (call.rfind(wire, 0) == 0)
        word = static_cast<unsigned>(std::stoul(call.substr(wire.size()), nullptr, 16));
      if (call == "okUsbFrontPanel_ActivateTriggerIn(0x40,4)") gains.push_back(word);
    }
    return gains;
  }
  static CRegEdit scannerKey() { return CRegEdit(HKEY_LOCAL_MACHINE, zeva::kScannerKey); }
};

TEST_F(LasersTest, FactorsAndConversions) {
  const struct {
    const char* text;  // LaserPDCtToMWatt_R in FLASH; null: missing
    double factor;
    const char* logged;
  } cases[] = {
      {"3000.5", 3000.5, nullptr},
      {nullptr, 2920.0, "No FLASH value for LaserPDCtToMWatt_R, using default value of 2920.000000"},
      {"0", 2920.0,
       "Invalid FLASH value for LaserPDCtToMWatt_R (0.000000), using default value of 2920.000000"},
      {"-12", 2920.0, "Invalid FLASH value for LaserPDCtToMWatt_R (-12.000000)"},
      {"lots", 2920.0,
       "Invalid FLASH value for LaserPDCtToMWatt_R (lots), using default value of 2920.000000"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text ? c.text : "missing");
    if (c.text)
      devices.flash->set("LaserPDCtToMWatt_R", c.text);
    else
      devices.flash->erase("LaserPDCtToMWatt_R");
    scanner.LoadLaserPowerFactors();
    EXPECT_DOUBLE_EQ(scanner.GetRedPDFactor(), c.factor);
    if (c.logged) {
      EXPECT_THAT(log(), HasSubstr(c.logged));
    }
  }

  okSim_ForcePd(1, 5840);
  okSim_ForcePd(0, 4457);
  EXPECT_DOUBLE_EQ(scanner.GetLaserPower(true, true), 2.0);
  EXPECT_DOUBLE_EQ(scanner.GetLaserPower(true, false), 5840);
  EXPECT_NEAR(scanner.GetLaserPower(false, true), 2.0, 0.001);
  EXPECT_DOUBLE_EQ(scanner.PDToLaserPower(true, 2920), 1.0);
  const struct {
    double mw;
    std::uint16_t pd;
  } toPD[] = {{1.0, 2920}, {2.5, 7300}, {22.44, 65524}, {25.0, 65535}, {-1.0, 0}, {1e300, 65535}};
  for (const auto& c : toPD) EXPECT_EQ(scanner.LaserPowerToPD(true, c.mw), c.pd) << c.mw;
}

TEST_F(LasersTest, SetPointsFromFlash) {
  EXPECT_EQ(scanner.GetGreenLaserSetPoint(), 1);
  EXPECT_EQ(okSim_GetGreenSetPoint(), 2268);  // 13 mW x 174.5
  devices.flash->set("LaserSetPointMWatt_G", "10");
  EXPECT_EQ(scanner.GetGreenLaserSetPoint(), 1);
  EXPECT_EQ(okSim_GetGreenSetPoint(), 1745);
  EXPECT_THAT(logLine("No FLASH value for LaserSetPointMWatt_G, using default value of 13.000000"),
              HasSubstr("INFO: "));

  devices.flash->set("LaserPDGainSetPoint_R", "20");
  okSim_ClearCallLog();
  EXPECT_EQ(scanner.GetRedLaserSetPoint(), 1);
  EXPECT_EQ(redGains(), std::vector<unsigned>{20});  // the red PD is far from 13 mW: its gain is written
  bool red = false, green = false;
  scanner.CheckLaserPowerOnOffStatus(red, green, true);
  EXPECT_TRUE(red);
  EXPECT_TRUE(green);

  okSim_ClearCallLog();
  EXPECT_EQ(scanner.ChangeLaserSetPoint(true, 5.0, true), 0);
  EXPECT_THAT(oksim::calls(), IsEmpty());
  EXPECT_THAT(logLine("Try to set RED laser's setpoint: Not supported yet!"), HasSubstr("ERROR: "));
  EXPECT_EQ(scanner.ChangeLaserSetPoint(false, 5.0, true), 1);
  EXPECT_EQ(okSim_GetGreenSetPoint(), 872);
  EXPECT_EQ(scanner.ChangeLaserSetPoint(false, 500, false), 1);
  EXPECT_EQ(okSim_GetGreenSetPoint(), 500);
}

TEST_F(LasersTest, SwitchingBothPowersSetsTheState) {
  scannerKey().WriteDouble("RLaserWarmingUpErraticWatchLevel", 2.5);
  EXPECT_EQ(scanner.SetOnOffLaserPowers(true), 1);
  EXPECT_EQ(scanner.GetScannerState(), kStateWarming);
  EXPECT_EQ(scanner.GetStatusMsgId(), 3005u);
  EXPECT_THAT(log(),
              HasSubstr("<InitTrunOnRedLaser> Current Red Laser WarmingUp Erratic Watch Level = 2.50"));
  EXPECT_EQ(scanner.GetPortCtrlStatus(true), 1);
  EXPECT_EQ(scanner.GetPortCtrlStatus(false), 1);

  EXPECT_EQ(scanner.SetOnOffLaserPowers(false), 1);
  EXPECT_EQ(scanner.GetScannerState(), kStateLasersOff);
  EXPECT_EQ(scanner.GetStatusMsgId(), 3006u);
  bool red = true, green = true;
  scanner.CheckLaserPowerOnOffStatus(red, green, true);
  EXPECT_FALSE(red);
  EXPECT_FALSE(green);
  EXPECT_THAT(log(), HasSubstr("<CheckLaserPowerOnOffStatus> current Keth ctrl status: "));

  // Neither command gets through: nothing changes.
  scanner.SetScannerState(kStateReady);
  scanner.SetStatusMsgId(3003);
  okSim_FailTrigger(0x40, 9, 0, -1);
  okSim_FailTrigger(0x40, 1, 0, -1);
  EXPECT_EQ(scanner.SetOnOffLaserPowers(false), 0);
  EXPECT_EQ(scanner.GetScannerState(), kStateReady);
  EXPECT_EQ(scanner.GetStatusMsgId(), 3003u);

  // A watch level that reads as 0 is replaced by its default, which is written back.
  scannerKey().WriteDouble("RLaserWarmingUpErraticWatchLevel", 0.0);
  scanner.SetScannerState(kStateWarming);
  EXPECT_DOUBLE_EQ(scannerKey().ReadDouble("RLaserWarmingUpErraticWatchLevel", -1), 1.0);

  CScanner offline;  // its port was never opened
  EXPECT_EQ(thrown([&] { offline.GetPortCtrlStatus(true); }), movrak::kErrDataPortNotConnected);
  EXPECT_EQ(thrown([&] { offline.CheckLaserPowerOnOffStatus(red, green, false); }),
            movrak::kErrDataPortNotConnected);
  int error = 0;
  EXPECT_EQ(thrown([&] { offline.CheckLaserWarmingUpStatus(error, false, false); }),
            movrak::kErrDataPortNotConnected);
}

TEST_F(LasersTest, GreenIsReadyOnceItsReadyBitStaysSetForTheStableTime) {
  lasersOn();
  EXPECT_FALSE(greenReady());  // READY comes 3 s after the set point
  clock_->advance(3s);
  EXPECT_FALSE(greenReady());
  EXPECT_THAT(log(), HasSubstr("Green laser got its first READY flag set - start stability waiting"));
  clock_->advance(5s);
  okSim_ForceStatusBits(1, 0, kStatusGreenReady);  // the bit drops after 5 s of the 30 s
  EXPECT_FALSE(greenReady());
  EXPECT_THAT(log(),
              HasSubstr("Green laser READY flag got reset after 5 seconds - need a re-start the stability"));
  okSim_ForceStatusBits(1, 0, 0);
  clock_->advance(20s);
  EXPECT_FALSE(greenReady());  // the wait starts again from here
  clock_->advance(29s);
  EXPECT_FALSE(greenReady());
  clock_->advance(1s);
  EXPECT_TRUE(greenReady());
  EXPECT_THAT(log(), HasSubstr("Detected Green laser is ready. Stablilty measuring: Average power = "));
  EXPECT_EQ(logCount("Current Green laser power level = "), 6 + 1);  // the info line once, when ready

  // The stable time comes from the registry, read once per process.
  CScanner::ResetLaserWarmUpValues();
  scannerKey().WriteInt("GLaserWarmingUpTargetLevel", 10u);
  EXPECT_FALSE(greenReady());
  clock_->advance(10s);
  EXPECT_TRUE(greenReady());
  EXPECT_THAT(log(), HasSubstr("Get green laser warming up target READY stable time = 10"));
}

TEST_F(LasersTest, BothReadyRedInRange) {
  lasersOn();
  redAt(13.0);  // the target
  clock_->advance(3s);
  check();  // green's first READY
  clock_->advance(30s);
  const Warmup w = check(false, true);
  EXPECT_EQ(w.result, 1);
  EXPECT_EQ(w.error, 0);
  EXPECT_THAT(log(), HasSubstr("<LaserWarmingUpStatus> Red laser is ready"));
  EXPECT_THAT(log(), HasSubstr("Current Red laser power level = 13.00, offset to target range = 0.00"));
  EXPECT_FALSE(scanner.IsRedLaserDid1stCalibration());

  // Only one ready: said so, result 0.
  redAt(5.0);
  EXPECT_EQ(check().result, 0);
  EXPECT_THAT(logLine("Green laser is ready, Red laser is still warming."), HasSubstr("INFO: "));
}

TEST_F(LasersTest, TheRedGainTestGoesUpAndDownAndBack) {
  const struct {
    const char* gain;
    std::vector<unsigned> written;
  } cases[] = {{"16", {26, 6, 16}}, {"12", {22, 2, 12}}, {"10", {20, 1, 10}}, {"8", {18, 1, 8}}};
  lasersOn();
  redAt(13.0);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.gain);
    devices.flash->set("LaserPDGainSetPoint_R", c.gain);
    ASSERT_TRUE(scanner.GetDataPort().SetHeNePhotodiode(16));  // the red power reads 13 mW again
    okSim_ClearCallLog();
    check();
    EXPECT_EQ(redGains(), c.written);
  }
  EXPECT_THAT(log(), HasSubstr("Tested Red laser power at PDGain+10:  Power = "));
  EXPECT_THAT(log(), HasSubstr("Set Red photodiode back to original PDGain: Power = "));
}

TEST_F(LasersTest, AFailedGainStepPutsTheGainBack) {
  lasersOn();
  redAt(13.0);
  const int pdAtGain = static_cast<int>(scanner.GetLaserPower(true, false));
  okSim_FailTrigger(0x40, 4, 1, 1);  // the step down fails, with the gain still 10 up
  const Warmup w = check();
  EXPECT_EQ(w.thrown, 0);
  EXPECT_EQ(w.error, 0);                                      // the gain test never fails the check
  EXPECT_EQ(redGains(), (std::vector<unsigned>{26, 6, 16}));  // 6 never arrived
  EXPECT_EQ(static_cast<int>(scanner.GetLaserPower(true, false)), pdAtGain);
  EXPECT_THAT(logLine("<LaserWarmingUpStatus> Failed to set Red photodiode value to 6"),
              HasSubstr("ERROR: "));
  EXPECT_THAT(log(),
              HasSubstr("Failed to test Red laser power level at different PDGain level: error = 12101"));

  // When even the way back fails, it says so.
  okSim_FailTrigger(0x40, 4, 1, 2);
  check();
  EXPECT_THAT(log(), HasSubstr("<LaserWarmingUpStatus> Failed to set Red photodiode value back to 16"));
  okSim_FailTrigger(0x40, 4, 0, 0);
}

TEST_F(LasersTest, ErraticRedDropsAreLogged) {
  scannerKey().WriteDouble("RLaserWarmingUpErraticWatchLevel", 0.5);
  lasersOn();  // enters warming: the watch level is read
  const char* drop = "Detected an erratic drop on Red laser power level";
  check();
  redAt(7.6);  // 0.4 mW down
  check();
  EXPECT_EQ(logCount(drop), 0);
  redAt(7.0);
  check();
  EXPECT_THAT(
      log(),
      HasSubstr(
          "Detected an erratic drop on Red laser power level [current check = 7.00, last check = 7.60]"));

  // A photodiode drifting down by 1 mW a second.
  okSim_SetPdDrift(1, -kRedPerMW);
  clock_->advance(1s);
  check();
  EXPECT_EQ(logCount(drop), 2);

  // Entering warming again forgets the last power.
  okSim_SetPdDrift(1, 0);
  scanner.SetScannerState(kStateWarming);
  redAt(3.0);
  check();
  EXPECT_EQ(logCount(drop), 2);
}

TEST_F(LasersTest, SwitchedOffLasersAreSwitchedOnOrReported) {
  const struct {
    const char* what;
    std::function<void()> arrange;
    int error;  // into the output
    int thrown;
    const char* logged;
  } cases[] = {
      {"green power cannot be switched on", [] { okSim_FailTrigger(0x40, 0, 0, -1); },
       movrak::kErrGreenPowerOff, 0, "<CheckLaserWarmingUpStatus> Detected that Green laser's power is off"},
      {"red power cannot be switched on", [] { okSim_FailTrigger(0x40, 8, 0, -1); }, movrak::kErrRedLaserOff,
       0, "<CheckLaserWarmingUpStatus> Detected that Red laser's power is off"},
      {"green emission cannot be switched on",
       [] { okSim_ScriptResult("okUsbFrontPanel_SetWireInValue", -1, 0); }, -1, movrak::kErrGreenLaserOff,
       "<CheckLaserWarmingUpStatus> Detected that Green laser is off"},
      {"all switched on", [] {}, 0, 0,
       "<LaserWarmingUpStatus> Red laser power is off, trying to turn the power on"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(scanner.SetOnOffLaserPowers(false), 1);
    c.arrange();
    const Warmup w = check();
    EXPECT_EQ(w.thrown, c.thrown);
    if (c.thrown == 0) {
      EXPECT_EQ(w.error, c.error);
      EXPECT_EQ(w.result, 0);
    }
    EXPECT_THAT(log(), HasSubstr(c.logged));
    for (int bit : {0, 8}) okSim_FailTrigger(0x40, bit, 0, 0);
    okSim_ClearScripts();
  }
  bool red = false, green = false;
  scanner.CheckLaserPowerOnOffStatus(red, green, false);
  EXPECT_TRUE(red && green);
}

TEST_F(LasersTest, GreenFaultsAreLoggedWhenTheyComeAndGo) {
  lasersOn();
  okSim_ForceStatusBits(1, 0x20 | 0x80 | 0x200, 0);
  check();
  check();
  EXPECT_EQ(logCount("<LaserWarmingUpStatus> The green leaser heat sink is over temperature."), 1);
  EXPECT_EQ(logCount("<LaserWarmingUpStatus> The green laser is over temperature."), 1);
  EXPECT_THAT(logLine("<LaserWarmingUpStatus> The green laser is over current."), HasSubstr("WARNING: "));
  okSim_ForceStatusBits(1, 0x80, 0);
  check();
  EXPECT_THAT(logLine("Green laser heat sink OverTemperature flag got reset"), HasSubstr("INFO: "));
  EXPECT_THAT(logLine("Green laser OverCurrent flag got reset"), HasSubstr("WARNING: "));
  EXPECT_EQ(logCount("Green laser OverTemperature flag got reset"), 0);
}

// ---- calibration ---------------------------------------------------------------------------

class LaserCalibrationTest : public LasersTest {
 protected:
  // Green: the PD the set point for `mw` yields, as a share of that power's PD target.
  static void greenYields(double share) { okSim_SetGreenLaser(3000, share * kGreenPDPerMW / 174.5, 0); }
  // Red: a plate that turns the power between these limits.
  static void redBetween(double minMw, double maxMw) {
    okSim_SetRedLaser(static_cast<int>(minMw * kRedPerMW), static_cast<int>(maxMw * kRedPerMW), 0.01);
  }
  int calibrations() const { return logCount("----- Starting Laser Power Calibration"); }
  std::string greenFlag() const { return devices.flash->get("LaserCompensationRequired_G").value_or(""); }
  std::string redFlag() const { return devices.flash->get("LaserCompensationRequired_R").value_or(""); }
};

TEST_F(LaserCalibrationTest, TheErrorForEachCalibrationResult) {
  const struct {
    bool red;
    int result;
    int error;
  } cases[] = {
      {true, 1, 12101},  {false, 1, 12101}, {true, 2, 12107}, {false, 2, 12104},
      {false, 3, 12106}, {true, 4, 12101},  {true, 8, 12122}, {false, 8, 12121},
      {true, 9, 512},    {false, 10, 512},  {true, 11, 512},  {false, 42, 512},
  };
  for (const auto& c : cases)
    EXPECT_EQ(CScanner::LaserStatusError(c.red, c.result), c.error) << c.red << " " << c.result;
}

TEST_F(LaserCalibrationTest, GreenOutcomes) {
  using Arrange = std::function<void(zevasim::DeviceFamilies&, zevasim::Instrument&, CScanDataPort&)>;
  const struct {
    const char* what;
    Arrange arrange;
    int thrown;
    int calibrations;
    const char* flagAfter;
    const char* logged;
  } cases[] = {
      {"within its range", [](auto&, auto&, auto&) { greenYields(1.0); }, 0, 1, "",
       "<CalibrateLaser> Calibrating done"},
      {"below, also derated", [](auto&, auto&, auto&) { greenYields(0.5); }, movrak::kErrGreenSpecFailed, 2,
       "1",
       "Green laser power is below specification, setting Laser Calibration Warning Flag in Instrument "
       "FLASH"},
      {"above", [](auto&, auto&, auto&) { greenYields(1.5); }, movrak::kErrGreenSpecFailed, 2, "1",
       "Green laser power is above specification"},
      {"already derated",
       [](auto& d, auto&, auto&) {
         greenYields(0.5);
         d.flash->set("LaserCompensationRequired_G", "1");
       },
       movrak::kErrGreenSpecFailed, 1, "1",
       "The Green Laser Calibration Warning flag has been set on this Instrument."},
      {"power cannot be switched on",
       [](auto&, auto&, auto& port) {
         port.SendLaserPowerOnOffCmd(false, false);
         okSim_FailTrigger(0x40, 0, 0, -1);
       },
       movrak::kErrGreenPowerOff, 1, "", "Falied to turn on the laser POWER"},
      // The flag does not stick: one retry all the same, then the error.
      {"flag not kept",
       [](auto&, auto& sim, auto&) {
         greenYields(0.5);
         sim.setHandler("setparam", [](const zevasim::Request&) { return zevasim::Reply::ok(); });
       },
       movrak::kErrGreenSpecFailed, 2, "", "Green laser power is below specification"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    devices.flash->erase("LaserCompensationRequired_G");
    okSim_FailTrigger(0x40, 0, 0, 0);
    ASSERT_EQ(scanner.SetOnOffLaserPowers(true), 1);
    ASSERT_TRUE(scanner.GetDataPort().ChangeLaserSetPt(0, false));  // dark until calibrated
    c.arrange(devices, sim, scanner.GetDataPort());
    const int before = calibrations(), burns = devices.flash->burns();
    int result = 0;
    EXPECT_EQ(thrown([&] { result = scanner.CheckLaserPowerSpec(false); }), c.thrown);
    if (c.thrown == 0) {
      EXPECT_EQ(result, 1);
    }
    EXPECT_EQ(calibrations() - before, c.calibrations);
    EXPECT_EQ(greenFlag(), c.flagAfter);
    EXPECT_EQ(devices.flash->burns() - burns, c.calibrations == 2 ? 1 : 0);
    EXPECT_THAT(log(), HasSubstr(c.logged));
    if (c.thrown == movrak::kErrGreenSpecFailed) {
      EXPECT_EQ(scanner.GetScannerState(), kStateError);
      EXPECT_EQ(scanner.GetErrorId(), movrak::kErrGreenSpecFailed);
    }
  }
  EXPECT_THAT(
      log(),
      HasSubstr("----- Starting Laser Power Calibration: laser = Green, desired power = 10.40 mW -----"));
  EXPECT_THAT(logLine("<CalibrateLaser> Green laser power calibrating failed in the compensation mode"),
              HasSubstr("ERROR: "));
}

TEST_F(LaserCalibrationTest, RedDeratedCalibrationSucceeds) {
  redBetween(6.0, 12.0);  // 13 mW is out of reach, 80 % of it is not
  lasersOn();
  EXPECT_EQ(scanner.CheckLaserPowerSpec(true), 1);
  EXPECT_EQ(calibrations(), 2);
  EXPECT_EQ(redFlag(), "1");
  EXPECT_THAT(log(),
              HasSubstr("Red laser power is out of specification, setting Laser Calibration Warning Flag"));
  EXPECT_NEAR(scanner.GetLaserPower(true, true), 10.4, 0.2);
  bool compensation = false;
  EXPECT_NEAR(scanner.GetLaserCalibrationTargets(true, compensation, false), 10.4, 1e-9);
  EXPECT_TRUE(compensation);
}

TEST_F(LaserCalibrationTest, ARedLaserReadyToAdjustIsCalibratedDuringWarmUp) {
  redBetween(6.0, 14.0);
  lasersOn();
  const Warmup early = check();
  EXPECT_EQ(early.error, 0);
  EXPECT_EQ(calibrations(), 0);  // on for less than the minimum time: not adjusted
  clock_->advance(31min);
  check();
  EXPECT_EQ(calibrations(), 1);
  EXPECT_TRUE(scanner.IsRedLaserDid1stCalibration());
  EXPECT_THAT(log(), HasSubstr("Detected Red laser is ready. Stablilty measuring"));

  // A red laser that cannot reach even the derated power.
  redBetween(2.0, 5.0);
  okSim_SetRedPlateAngle(20.0);
  const Warmup w = check();
  EXPECT_EQ(w.thrown, 0);
  EXPECT_EQ(w.result, 0);
  EXPECT_EQ(w.error, movrak::kErrRedSpecFailed);
  EXPECT_EQ(scanner.GetScannerState(), kStateError);
  EXPECT_THAT(logLine("Detected that red laser couldn't reach the minimum power level to scan."),
              HasSubstr("ERROR: "));
}

TEST_F(LaserCalibrationTest, TargetsFromFlash) {
  bool compensation = true;
  EXPECT_DOUBLE_EQ(scanner.GetLaserCalibrationTargets(false, compensation, false), 13.0);
  EXPECT_FALSE(compensation);
  EXPECT_THAT(logLine("No FLASH value for LaserSetPointMWatt_G, using default value of 13.000000"),
              HasSubstr("INFO: "));
  devices.flash->set("LaserSetPointMWatt_G", "11.5");
  EXPECT_DOUBLE_EQ(scanner.GetLaserCalibrationTargets(false, compensation, false), 13.0);  // cached
  EXPECT_DOUBLE_EQ(scanner.GetLaserCalibrationTargets(false, compensation, true), 11.5);
  devices.flash->set("LaserCompensationRequired_G", "1");
  EXPECT_DOUBLE_EQ(scanner.GetLaserCalibrationTargets(false, compensation, true), 11.5 * 0.8);
  EXPECT_TRUE(compensation);
  EXPECT_THAT(
      logLine("The Green Laser Calibration Warning flag has been set on this Instrument.  The target power "
              "will be derated."),
      HasSubstr("WARNING: "));

  sim.injectFault("getparam", {zevasim::Fault::Kind::errorStatus, 0x05});
  EXPECT_DOUBLE_EQ(scanner.GetLaserCalibrationTargets(true, compensation, true), 13.0);
  EXPECT_THAT(logLine("Failed to get FLASH value for LaserSetPointMWatt_R: "), HasSubstr("WARNING: "));
}

TEST_F(LaserCalibrationTest, ThePDTargetIsClampedNotWrapped) {
  redBetween(6.0, 14.0);
  lasersOn();
  // 25 mW x 2920 is 73000 counts, beyond 16 bits.
  scanner.CalibrateLaser(true, 25.0, 10.0, 20, 2);
  EXPECT_THAT(log(),
              HasSubstr("<DataPort::CalibrateLaser_Red> PDGainSetPt = 16, desiredPD = 65535, delta = 6553"));
  // No desired power: the FLASH set point.
  devices.flash->set("LaserSetPointMWatt_G", "12");
  greenYields(1.0);
  EXPECT_EQ(scanner.CalibrateLaser(false, 0, 10.0, 20, 2), LaserStatusDone);
  EXPECT_THAT(log(), HasSubstr("<CalibrateLaser> laser = green, target level = 12.00 mW, delta = 10.00"));
}

TEST_F(LaserCalibrationTest, PowerMinMax) {
  greenYields(1.0);
  lasersOn();
  double low = -1, high = -1;
  scanner.TestLaserPowerMinMax(false, low, high);
  const double perSetPoint = kGreenPDPerMW / 174.5;
  EXPECT_NEAR(low, perSetPoint * 1 / kGreenPDPerMW, 0.001);
  EXPECT_NEAR(high, std::lround(perSetPoint * 4094) / kGreenPDPerMW, 0.001);

  // Red: only once it has been on for its minimum time.
  redBetween(6.0, 14.0);
  EXPECT_EQ(thrown([&] { scanner.TestLaserPowerMinMax(true, low, high); }), movrak::kErrUnknown);  // 9
  clock_->advance(31min);
  scanner.TestLaserPowerMinMax(true, low, high);
  EXPECT_NEAR(low, 6.0, 0.05);
  EXPECT_NEAR(high, 14.0, 0.05);
  scanner.GetDataPort().SendLaserPowerOnOffCmd(false, true);
  EXPECT_EQ(thrown([&] { scanner.TestLaserPowerMinMax(true, low, high); }), movrak::kErrGreenLaserOff);  // 10

  CScanner offline;
  EXPECT_EQ(thrown([&] { offline.TestLaserPowerMinMax(true, low, high); }), movrak::kErrDataPortNotConnected);
  EXPECT_THAT(log(), HasSubstr("<CScanner::TestLaserPowerMinMax> Port is not open!"));
  EXPECT_EQ(logCount("-------------- Red Laser Power Min/Max Test Complete-------------"), 4);
}

}  // namespace
