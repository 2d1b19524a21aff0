// The self test: supply voltages through the diagnostic ADC, the data port's identity and
// lasers, and the PMT and raw-data chain with the calibration light source, all reported
// through the log, on the simulated instrument and board.
#include "devices/SelfTest.h"

#include <functional>

#include "ScannerBoardFixture.h"
#include "devices/DeviceErrors.h"

namespace {

using testing::HasSubstr;
using testing::Not;

std::shared_ptr<platform::ManualClock> autoClock() {
  auto clock = std::make_shared<platform::ManualClock>();
  clock->setAutoAdvance(true);  // settling waits cost no time
  return clock;
}

class SelfTestTest : public ScannerBoardTest {
 protected:
  SelfTestTest() : ScannerBoardTest(autoClock()) {}

  // As after the initialisation: both tubes at their FLASH voltage (600.0 V).
  void setPMTsFromFlash() {
    scanner.GetChannel(kRedPMT)->SetVoltageFromFlash(false);
    scanner.GetChannel(kGreenPMT)->SetVoltageFromFlash(false);
    forget();
    okSim_ClearCallLog();
  }
  void switchLasersOn() {
    ASSERT_TRUE(scanner.GetGreenLaserSetPoint());
    ASSERT_TRUE(scanner.GetRedLaserSetPoint());
  }
  // Trigger bits 2 and 3 set the red and the green PMT.
  static int pmtWrites() {
    int n = 0;
    for (int bit : triggers()) n += bit == 2 || bit == 3;
    return n;
  }
};

TEST(DiagADCTest, CountsBecomeVoltsThroughEachChannelsDivider) {
  CScanner scanner;
  const struct {
    int channel;
    std::uint32_t raw;
    double expected;
  } cases[] = {
      {0, 2048, 0.0},
      {0, 0, -40.1},
      {3, 4096, 40.1},
      {4, 3584, 15.0},
      {5, 0, -20.0},
      {6, 3072, 5.0},
      {7, 2048 + 64, 0.3125 / 7.49},
      {8, 4096, 10.0 / 7.49},
      {9, 1024, -5.0},
      {15, 3072, 5.0},
      {16, 3072, 0.0},
      {-1, 3072, 0.0},
  };
  for (const auto& c : cases)
    EXPECT_NEAR(scanner.GetDiagADCVoltValue(c.channel, c.raw), c.expected, 1e-9) << c.channel << " " << c.raw;
}

TEST(DiagADCTest, EachFixedSupplyPassesStrictlyInsideItsRange) {
  const struct {
    int channel;
    double value;
    const char* line;  // nullptr: no line
  } cases[] = {
      {0, 28.0, "+28 Volts: PASSED [28.000]"},
      {0, 29.4, "+28 Volts: ERROR [29.400]"},
      {0, 26.6, "+28 Volts: ERROR [26.600]"},
      {2, -18.0, "-18 Volts: PASSED [-18.000]"},
      {2, 18.0, "-18 Volts: ERROR [18.000]"},
      {3, 12.0, "Sol_+12V Volts: PASSED [12.000]"},
      {5, -14.25, "-15VA Volts: ERROR [-14.250]"},
      {6, 5.1, "SS_OPTO5V Volts: PASSED [5.100]"},
      {7, 0.4, "PASSED: Door Unlocked [Solenoid Amps = 0.400]"},
      {7, 0.5, "ERROR: Scanner Cover OFF? [Solenoid Amps = 0.500]"},
      {8, 0.1234, "Slow Stage Move Current Amps = 0.123"},
      {9, 1.0, nullptr},
      {12, 1.0, nullptr},
      {13, 4.8, "+5VA: PASSED [4.800]"},
      {14, -5.3, "-5VA Volts: ERROR [-5.300]"},
      {15, 5.0, "VCC/VAA Volts: PASSED [5.000]"},
      {16, 5.0, "Invalid DiagADC channel: 16"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.channel);
    const auto line = FormatDiagADCLine(c.channel, c.value);
    if (c.line)
      EXPECT_EQ(line.value_or("<none>"), c.line);
    else
      EXPECT_FALSE(line.has_value());
  }
}

TEST_F(SelfTestTest, AHealthyScannerPassesEverySupplyAndRunsTheThreePMTPasses) {
  devices.flash->set("PMT1", "5995");  // reads back as 5992 tenths of volts
  setPMTsFromFlash();
  switchLasersOn();
  // Red: offset 400/800, gain 800/4000 (ratio 8); green: gain and offset share their low
  // average, so its ratio stays 1.
  okSim_SetSampleValues(2, 100, 200);
  okSim_SetSampleValues(1, 200, 1000);
  okSim_SetSampleValues(6, 100, 300);
  okSim_SetSampleValues(5, 100, 900);
  forget();
  okSim_ClearCallLog();

  EXPECT_EQ(scanner.SelfTest(true), 1);

  // Channels 7 and 9 to 12 are not read.
  EXPECT_THAT(linesOf("readdiagadc"),
              testing::ElementsAre("readdiagadc 0x0", "readdiagadc 0x1", "readdiagadc 0x2", "readdiagadc 0x3",
                                   "readdiagadc 0x4", "readdiagadc 0x5", "readdiagadc 0x6", "readdiagadc 0x8",
                                   "readdiagadc 0xD", "readdiagadc 0xE", "readdiagadc 0xF"));
  EXPECT_EQ(logCount(": PASSED ["), 10);
  EXPECT_EQ(logCount(": ERROR ["), 0);
  EXPECT_THAT(logLine("Slow Stage Move Current Amps = 0.1"), HasSubstr("INFO: "));
  EXPECT_EQ(logCount("Solenoid Amps"), 0);

  EXPECT_THAT(log(), HasSubstr("<SelfTest::ScanDataPort> Port Device SN = SIM-KETH-0001"));
  EXPECT_THAT(log(), HasSubstr("<SelfTest::ScanDataPort> DCM phases adjustment OK = Yes"));
  EXPECT_THAT(log(), HasSubstr("<SelfTest::ScanDataPort> Current Red laser power level = "));
  EXPECT_THAT(log(), HasSubstr("<SelfTest::ScanDataPort> Red laser has been turnned on for 0 hours and "));
  EXPECT_THAT(log(), HasSubstr("<SelfTest::ScanDataPort> Current Green laser power level = "));

  // Tenths divided in floating point.
  EXPECT_EQ(logCount("Current Red PMT voltage = 599.2 volt"), 1);  // at the start
  EXPECT_EQ(logCount("Current Red PMT voltage = 0.0 volt"), 1);    // pass 1
  EXPECT_EQ(logCount("Current Green PMT voltage = 0.0 volt"), 1);  // pass 2
  EXPECT_THAT(log(), HasSubstr("Computed raw gain ratio: GainRatio_R = 8.00, GainRatio_G = 1.00"));
  EXPECT_THAT(logLine("Failed to compute Green raw gain ratio: gain Lo average equals offset Lo average."),
              HasSubstr("ERROR: "));
  // Raw red data (4000/32000, not saturated) against the red offset's high average.
  EXPECT_EQ(logCount("Light source = On, avgRed = 31200.00 "), 3);
  EXPECT_EQ(logCount("Light source = Off, avgRed = 31200.00 "), 3);
  EXPECT_EQ(logCount("[HiSaturated = No]"), 12);
  for (const char* pass :
       {"RedPMTvoltage = OFF,  GreenPMTvoltage = ON", "RedPMTvoltage = ON,  GreenPMTvoltage = OFF",
        "RedPMTvoltage = ON,  GreenPMTvoltage = ON"})
    EXPECT_EQ(logCount(pass), 1) << pass;
  EXPECT_THAT(linesOf("calibratepmt"),
              testing::ElementsAre("calibratepmt 1", "calibratepmt 0", "calibratepmt 1", "calibratepmt 0",
                                   "calibratepmt 1", "calibratepmt 0"));
  EXPECT_THAT(log(), HasSubstr("<SelfTest::TestPMTsAndRawData> Current simple error count = 0"));
  EXPECT_NEAR(boardVoltage(kRedPMT), 6000, 10);
  EXPECT_NEAR(boardVoltage(kGreenPMT), 6000, 10);
  EXPECT_THAT(log(), Not(HasSubstr("caught an exception")));
  EXPECT_THAT(log(), HasSubstr("-------------------SelfTest Complete------------------------"));
}

TEST_F(SelfTestTest, ASaturatedHighRangeTakesTheLowRangeTimesTheGainRatio) {
  setPMTsFromFlash();
  okSim_SetSampleValues(2, 100, 200);
  okSim_SetSampleValues(1, 200, 1000);
  okSim_SetSampleValues(0, 10, 16383);  // raw red: high range saturated
  scanner.SelfTest(false);
  // (40 - 400) x 8
  EXPECT_EQ(logCount("Light source = On, avgRed = -2880.00 [Hi saturated]"), 3);
  EXPECT_EQ(logCount("Red RawData Stats: HiAve = 65532.00"), 6);
  EXPECT_EQ(logCount("[HiSaturated = Yes]"), 6);
}

TEST_F(SelfTestTest, WithoutTheLaserCheckTheLaserLinesAreAbsentButThePMTTestRuns) {
  setPMTsFromFlash();
  switchLasersOn();
  EXPECT_EQ(scanner.SelfTest(false), 1);
  EXPECT_THAT(log(), Not(HasSubstr("laser power level")));
  EXPECT_THAT(log(), Not(HasSubstr("Measuring: current Red and Green laser power levels")));
  EXPECT_EQ(linesOf("calibratepmt").size(), 6u);
}

TEST_F(SelfTestTest, LasersThatAreOffAreReportedAndNotMeasured) {
  setPMTsFromFlash();
  scanner.SelfTest(true);
  EXPECT_THAT(log(), HasSubstr("<SelfTest::ScanDataPort> Red laser is OFF, checking power level skipped!"));
  EXPECT_THAT(log(),
              HasSubstr("<SelfTest::ScanDataPort> Green laser power is OFF, checking power level skipped!"));
  EXPECT_THAT(log(), Not(HasSubstr("laser power level =")));
}

TEST_F(SelfTestTest, AFailedSupplyReadingIsLoggedAndTheNextChannelIsRead) {
  setPMTsFromFlash();
  sim.injectFault("readdiagadc", {zevasim::Fault::Kind::errorStatus, 5, 1});
  devices.controller->setDiagADC(1, 4095);  // +18 V channel far too high
  scanner.SelfTest(false);
  EXPECT_THAT(logLine("Failed to test DiagADC channel 0 [error code: 4101]."), HasSubstr("ERROR: "));
  EXPECT_THAT(log(), HasSubstr("+18 Volts: ERROR [40.080]"));
  EXPECT_THAT(log(), HasSubstr("VCC/VAA Volts: PASSED [5.000]"));
  EXPECT_EQ(linesOf("readdiagadc").size(), 11u);
}

TEST_F(SelfTestTest, AMissingOrFaultyPortEndsTheTestBeforeAnyPMTIsTouched) {
  const struct {
    const char* what;
    std::function<void()> arrange;
    const char* line;
  } cases[] = {
      {"port not open", [] { okSim_ScriptResult("okUsbFrontPanel_IsOpen", 0, 1); },
       "<SelfTest::ScanDataPort> Port is not open, self testing skipped"},
      {"red PMT fault", [] { okSim_ForceStatusBits(1, 0x1000, 0); },
       "<SelfTest::TestPMTsAndRawData> Red PMT has a fault, test skipped!"},
      {"green PMT fault", [] { okSim_ForceStatusBits(1, 0x800, 0); },
       "<SelfTest::TestPMTsAndRawData> Green PMT has a fault, test skipped!"},
  };
  setPMTsFromFlash();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.arrange();
    forget();
    okSim_ClearCallLog();
    EXPECT_EQ(scanner.SelfTest(true), 1);
    EXPECT_THAT(log(), HasSubstr(c.line));
    EXPECT_EQ(pmtWrites(), 0);
    EXPECT_TRUE(linesOf("calibratepmt").empty());
    EXPECT_EQ(linesOf("readdiagadc").size(), 11u);  // the supplies are tested all the same
    okSim_ClearScripts();
    okSim_ForceStatusBits(1, 0, 0);
  }
}

TEST_F(SelfTestTest, AFailedMeasurementIsLoggedAndTheTestGoesOn) {
  setPMTsFromFlash();
  // The first wire-in write is the red offset's run mode.
  okSim_ScriptResult("okUsbFrontPanel_SetWireInValue", -1, 0);
  scanner.SelfTest(false);
  EXPECT_THAT(logLine("<SelfTest::TestPMTsAndRawData> Failed to get Red RawOffset Stats!"),
              HasSubstr("ERROR: "));
  EXPECT_THAT(log(), HasSubstr("<SelfTest::TestPMTsAndRawData> Green RawOffset Stats: HiAve = "));
  EXPECT_EQ(linesOf("calibratepmt").size(), 6u);
  EXPECT_THAT(log(), Not(HasSubstr("caught an exception")));
}

TEST_F(SelfTestTest, WhereverThePMTTestFailsTheLightGoesOffAndTheTubesGetTheirVoltagesBack) {
  // The n-th light source command fails: 1 the first "on" (pass 1, red at 0 V), 2 the
  // first "off", 4 the second "off" (pass 2, green at 0 V), 5 the last "on".
  int calls = 0;
  int failing = 0;
  sim.setHandler("calibratepmt", [&calls, &failing](const zevasim::Request&) {
    return ++calls == failing ? zevasim::Reply::error(5) : zevasim::Reply::ok();
  });
  int round = 0;
  for (int n : {1, 2, 4, 5}) {
    SCOPED_TRACE(n);
    setPMTsFromFlash();
    calls = 0;
    failing = n;
    EXPECT_EQ(scanner.SelfTest(false), 1);
    EXPECT_EQ(
        logCount(
            "PMTs/Raw data measuring with light-on/off and data acquisition failed - caught an exception"),
        ++round);
    const auto light = linesOf("calibratepmt");
    ASSERT_FALSE(light.empty());
    EXPECT_EQ(light.back(), "calibratepmt 0");
    EXPECT_NEAR(boardVoltage(kRedPMT), 6000, 10);
    EXPECT_NEAR(boardVoltage(kGreenPMT), 6000, 10);
    EXPECT_EQ(logCount("-------------------SelfTest Complete------------------------"), round);
  }
}

}  // namespace
