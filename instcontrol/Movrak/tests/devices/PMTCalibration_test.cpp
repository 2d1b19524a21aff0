// PMT voltages from a ratio, the calibration loop against the calibration light on the
// simulated board, its error order, and the dark offsets.
#include <cmath>
#include <functional>
#include <limits>

#include "BoardFixture.h"
#include "Jotwell/Utilities.h"
#include "devices/DeviceErrors.h"

namespace {

using testing::ElementsAre;
using testing::HasSubstr;
using testing::IsEmpty;

constexpr unsigned kUnset = 12345;  // what the outputs hold before a calibration
constexpr int kRedOnly = 1, kGreenOnly = 2, kBoth = 3;

class PMTCalibrationTest : public BoardDeviceTest {
 protected:
  PMTCalibrationTest() { arrange(); }

  // Nominal signals of 2000, no warning flag, gain and offset samples of both channels
  // (the low range 8 times less sensitive), both tubes seeing 1600 at 600.0 V, no faults.
  void arrange() {
    devices.flash->set("PMT1_NominalCalibrationSignal", "2000");
    devices.flash->set("PMT2_NominalCalibrationSignal", "2000");
    devices.flash->erase("PMTCalibErrorFlag");
    for (int code = 0; code < 16; ++code) okSim_FailSampling(code, -1);
    for (int green : {0, 4}) {
      okSim_SetSampleValues(1 | green, 600, 4200);
      okSim_SetSampleValues(2 | green, 100, 200);
    }
    tube(true, 1600);
    tube(false, 1600);
    okSim_ClearCallLog();
    forget();
  }

  // A tube whose calibration signal (as the calibration measures it: four times the
  // samples' difference) is `signalAt600V` at 600.0 V, following the voltage with
  // `exponent`.
  static void tube(bool red, double signalAt600V, double exponent = 7.833) {
    okSim_SetPmtResponse(red ? 1 : 0, 30, signalAt600V / 4, CChannel::TenthsToCounts(6000), exponent);
  }

  struct Outcome {
    int error = 0;
    unsigned red = kUnset, green = kUnset;
    int bad = -1;
  };
  Outcome calibrate(int mask, double ratioRed, double ratioGreen, unsigned fullRed, unsigned fullGreen,
                    unsigned pixelSizeX = 5) {
    Outcome o;
    o.error = thrown([&] {
      scanner.CalibratePMT(mask, pixelSizeX, ratioRed, ratioGreen, fullRed, fullGreen, o.red, o.green, o.bad,
                           1.0f, 1.0f);
    });
    return o;
  }
  std::vector<std::string> lightSwitches() const {
    std::vector<std::string> out;
    for (const std::string& line : lines())
      if (line.rfind("calibratepmt", 0) == 0) out.push_back(line);
    return out;
  }
  std::string flag() const { return devices.flash->get("PMTCalibErrorFlag").value_or(""); }
  static unsigned redCounts() { return pmtCounts(2); }
  static unsigned greenCounts() { return pmtCounts(3); }
  // The SPI word written before the last PMT trigger of that bit.
  static unsigned pmtCounts(int bit) {
    unsigned word = 0, last = 0;
    for (const std::string& call : oksim::calls()) {
      const std::string wire = "okUsbFrontPanel_SetWireInValue(0x00,";
      if (call.rfind(wire, 0) == 0)
        word = static_cast<unsigned>(std::stoul(call.substr(wire.size()), nullptr, 16));
      if (call == "okUsbFrontPanel_ActivateTriggerIn(0x40," + std::to_string(bit) + ")") last = word;
    }
    return last;
  }
};

TEST_F(PMTCalibrationTest, VoltageFromARatio) {
  devices.flash->set("PMT1_Exponent", "5.0");
  const struct {
    int channel;
    double ratio;
    unsigned reference;
    unsigned volts;
  } cases[] = {
      {kRedPMT, 1.0, 6000, 6000},     // full sensitivity is the reference itself
      {kRedPMT, 0.5, 6000, 5223},     // 6000 x 0.5^(1/5) = 5223.3
      {kRedPMT, 2.0, 8000, 9189},     // 9189.5
      {kGreenPMT, 0.5, 6000, 5491},   // the default exponent 7.833: 5491.9
      {kPurplePMT, 0.5, 6000, 5491},  // every channel but red reads the green exponent
      {kGreenPMT, 0.0, 6000, 0},
      {kGreenPMT, 1.0, 0, 0},
      {kGreenPMT, 1e300, 6000, std::numeric_limits<unsigned>::max()},
  };
  for (const auto& c : cases)
    EXPECT_EQ(scanner.CalculatePMTVoltage(c.channel, c.ratio, c.reference), c.volts)
        << c.channel << " " << c.ratio << " " << c.reference;
  EXPECT_THAT(logLine("No FLASH value for PMT2_Exponent, using default value of 7.833"), HasSubstr("INFO: "));

  for (double bad : {-0.5, std::nan(""), std::numeric_limits<double>::infinity()})
    EXPECT_EQ(thrown([&] { scanner.CalculatePMTVoltage(kRedPMT, bad, 6000); }), movrak::kErrBadParameter)
        << bad;

  // An exponent that is no number would divide by zero: the default stands in.
  devices.flash->set("PMT2_Exponent", "0");
  EXPECT_EQ(scanner.CalculatePMTVoltage(kGreenPMT, 0.5, 6000), 5491u);
  EXPECT_THAT(logLine("Invalid FLASH value for PMT2_Exponent (0), using default value of 7.833"),
              HasSubstr("WARNING: "));
  sim.injectFault("getparam", {zevasim::Fault::Kind::errorStatus, 0x05});
  EXPECT_EQ(thrown([&] { scanner.CalculatePMTVoltage(kGreenPMT, 0.5, 6000); }), 4101);
}

TEST_F(PMTCalibrationTest, TheLoopConvergesOnTheTargetSignal) {
  tube(true, 1900);
  tube(false, 2500);
  const Outcome o = calibrate(kBoth, 1.0, 0.5, 6000, 6000);
  EXPECT_EQ(o.error, 0);
  EXPECT_EQ(o.bad, 0);
  // Red needs 5 % more signal, green (at half sensitivity, target 1000) 60 % less.
  EXPECT_EQ(o.red, 6039u);
  EXPECT_EQ(o.green, 5340u);
  EXPECT_EQ(redCounts(), CChannel::TenthsToCounts(o.red));
  EXPECT_EQ(greenCounts(), CChannel::TenthsToCounts(o.green));
  EXPECT_EQ(okSim_GetCalibrationLight(), 0);
  // Attempt 0 at the reference, then one correction each.
  EXPECT_THAT(lightSwitches(), ElementsAre("calibratepmt 1", "calibratepmt 0", "calibratepmt 1",
                                           "calibratepmt 0", "calibratepmt 0"));
  EXPECT_THAT(log(), HasSubstr("measuredCalSigRed = 1900.00"));
  EXPECT_THAT(log(), HasSubstr("Computed newRatioRed = 1.05 [retry = 1]"));
  EXPECT_THAT(log(), HasSubstr("Computed newRatioGreen = 1.00 [retry = 2]"));
  EXPECT_THAT(log(), HasSubstr("----- Starting PMT Calibration: Red = 100% / Green = 50% -----"));
  EXPECT_THAT(log(), HasSubstr("Computed raw gain ratio: GainRatio_R = 8.00, GainRatio_G = 8.00"));
  EXPECT_THAT(logLine("  No PMT Compensation is required, Laser Set Points are not changed"),
              HasSubstr("INFO: "));
  EXPECT_THAT(log(), HasSubstr("Red Intensity has increased by"));
  EXPECT_EQ(flag(), "");
  EXPECT_EQ(devices.flash->burns(), 0);
}

TEST_F(PMTCalibrationTest, ASaturatedHighRangeIsMeasuredInTheLowRange) {
  tube(true, 70000);  // beyond the 14-bit high range at 600 V
  const Outcome o = calibrate(kRedOnly, 1.0, 1.0, 0, 6000);
  EXPECT_EQ(o.error, 0);
  EXPECT_EQ(o.green, kUnset);
  EXPECT_EQ(o.red, 3810u);
  EXPECT_THAT(log(), HasSubstr("[Hi saturated]"));
}

TEST_F(PMTCalibrationTest, AMaskOfZeroMeasuresGainAndOffsetOnly) {
  const Outcome o = calibrate(0, 1.0, 1.0, 6000, 6000);
  EXPECT_EQ(o.error, 0);
  EXPECT_EQ(o.red, kUnset);
  EXPECT_EQ(o.green, kUnset);
  EXPECT_EQ(pmtWrites(true) + pmtWrites(false), 0);
  EXPECT_THAT(lightSwitches(), ElementsAre("calibratepmt 0"));
  EXPECT_THAT(log(), HasSubstr("Get measured raw offset stats: HiMean_R = 800.00, LoMean_R = 400.00"));
}

TEST_F(PMTCalibrationTest, TheBandWidensOnlyForTheLastAttemptAtLowSensitivity) {
  // The signal ignores the voltage: the ratio never moves, so only the band decides.
  // Targets are 4000 at 1 %, 8000 at 2 %, 12000 at 3 %.
  devices.flash->set("PMT1_NominalCalibrationSignal", "400000");
  const struct {
    double ratio;
    double signal;  // target / signal is the ratio the loop computes each time
    int error;
    int attempts;
  } cases[] = {
      {0.01, 4000 / 1.04, 0, 5},  // 1.04: inside the wide band of the last attempt
      {0.01, 4000 / 1.06, movrak::kErrPMTCalibUnstable, 5},
      {0.02, 8000 / 1.04, movrak::kErrPMTCalibUnstable, 5},  // the wide band is for ratios below 0.02
      {0.03, 12000 / 1.009, 0, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.ratio);
    tube(true, c.signal, 0);
    okSim_ClearCallLog();
    forget();
    const Outcome o = calibrate(kRedOnly, c.ratio, 1.0, 6000, 6000);
    EXPECT_EQ(o.error, c.error);
    EXPECT_EQ(static_cast<int>(lightSwitches().size()), 2 * c.attempts + 1);
  }
}

TEST_F(PMTCalibrationTest, FailuresEndWithTheWorseErrorTheLightOffAndTheBadFlag) {
  const struct {
    const char* what;
    std::function<void(zevasim::DeviceFamilies&)> arrange;
    int mask;
    unsigned fullRed, fullGreen;
    int error;
    bool flagWritten;  // by the calibration
    const char* logged;
  } cases[] = {
      {"red above the maximum, last good voltage", [](auto&) { tube(true, 10); }, kRedOnly, 6000, 6000,
       movrak::kErrPMTCalibUnstable, true,
       "  Calculating Red Voltage Mathematically Based on Last Successful Calibration Result."},
      {"red above the maximum, factory voltage", [](auto&) { tube(true, 10); }, kRedOnly, 0, 6000,
       movrak::kErrPMTCalibLost, true, "  Calculating Red Voltage Mathematically Based on Factory Setting."},
      {"both above, green from the factory", [](auto&) { tube(true, 10), tube(false, 10); }, kBoth, 6000, 0,
       movrak::kErrPMTCalibLost, true, "  Red and Green Voltages Surpassed Maximum Voltage"},
      {"both above, red from the factory", [](auto&) { tube(true, 10), tube(false, 10); }, kBoth, 0, 6000,
       movrak::kErrPMTCalibLost, true, "  setting PMT Calibration Warning Flag in Instrument FLASH"},
      {"no signal", [](auto&) { tube(true, 0); }, kRedOnly, 6000, 6000, movrak::kErrPMTCalibUnstable, false,
       "  Too Many Red Channel PMT Calibration Attempts."},
      // Red would say 646 and green 645: the factory fallback is the one to report.
      {"no signal, red from the factory", [](auto&) { tube(true, 0), tube(false, 0); }, kBoth, 0, 6000,
       movrak::kErrPMTCalibLost, false, "  Calculating Voltage Mathematically Based on Factory Setting."},
      {"the light source is not to be used", [](auto& d) { d.flash->set("PMTCalibErrorFlag", "1"); },
       kRedOnly, 6000, 6000, movrak::kErrPMTCalibUnstable, false,
       "Estimating PMT Voltage Based on Mathematical Calculation Only."},
      {"the light source is not to be used, no good voltage",
       [](auto& d) { d.flash->set("PMTCalibErrorFlag", "1"); }, kRedOnly, 6000, 0, movrak::kErrPMTCalibLost,
       false, "PMT Calibration Warning Flag set on this Instrument."},
      {"gain", [](auto&) { okSim_FailSampling(5, 0); }, kBoth, 6000, 6000, movrak::kErrPMTRawGain, false,
       "Failed to get Green raw gain."},
      {"offset", [](auto&) { okSim_FailSampling(2, 0); }, kBoth, 6000, 6000, movrak::kErrPMTRawOffset, false,
       "Failed to get Red raw offset."},
      {"light on", [](auto&) { okSim_FailSampling(4, 0); }, kBoth, 6000, 6000, movrak::kErrPMTRawData, false,
       "Failed to get Green raw data [light-on]."},
      {"light off", [](auto&) { okSim_FailSampling(0, 1); }, kRedOnly, 6000, 6000, movrak::kErrPMTRawData,
       false, "Failed to get Red raw data [light-off]."},
      {"no nominal signal", [](auto& d) { d.flash->erase("PMT2_NominalCalibrationSignal"); }, kRedOnly, 6000,
       6000, movrak::kErrNoSuchFlashKey, false, "----- Starting PMT Calibration"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    arrange();
    c.arrange(devices);
    const int burns = devices.flash->burns();
    const Outcome o = calibrate(c.mask, 1.0, 1.0, c.fullRed, c.fullGreen);
    EXPECT_EQ(o.error, c.error);
    EXPECT_EQ(o.bad, 1);
    EXPECT_EQ(okSim_GetCalibrationLight(), 0);
    if (!lightSwitches().empty()) {
      EXPECT_EQ(lightSwitches().back(), "calibratepmt 0");
    }
    EXPECT_EQ(devices.flash->burns() - burns, c.flagWritten ? 1 : 0);
    if (c.flagWritten) {
      EXPECT_EQ(flag(), "1");
    }
    EXPECT_THAT(log(), HasSubstr(c.logged));
  }
}

TEST_F(PMTCalibrationTest, FallbackVoltagesAreSetAndHandedOut) {
  // Red cannot reach its signal below the maximum: its requested ratio from the last good
  // voltage; green without a signal: from the factory voltage after five attempts, when
  // the red error is already decided.
  tube(true, 10);
  devices.flash->set("PMT2", "5000");
  Outcome o = calibrate(kRedOnly, 0.5, 1.0, 7000, 0);
  EXPECT_EQ(o.error, movrak::kErrPMTCalibUnstable);
  EXPECT_EQ(o.red, scanner.CalculatePMTVoltage(kRedPMT, 0.5, 7000));
  EXPECT_EQ(redCounts(), CChannel::TenthsToCounts(o.red));
  EXPECT_EQ(o.green, kUnset);

  // With the warning flag both channels get a computed voltage, whatever the mask.
  arrange();
  devices.flash->set("PMTCalibErrorFlag", "1");
  o = calibrate(kRedOnly, 0.5, 0.25, 7000, 0);
  EXPECT_EQ(o.error, movrak::kErrPMTCalibLost);
  EXPECT_EQ(o.red, scanner.CalculatePMTVoltage(kRedPMT, 0.5, 7000));
  EXPECT_EQ(o.green, scanner.CalculatePMTVoltage(kGreenPMT, 0.25, 5000));
  EXPECT_EQ(greenCounts(), CChannel::TenthsToCounts(o.green));
  EXPECT_THAT(lightSwitches(), ElementsAre("calibratepmt 0"));

  // Too many attempts: green from the factory voltage, red from the last good one.
  arrange();
  tube(true, 0);
  tube(false, 0);
  o = calibrate(kBoth, 1.0, 0.5, 7000, 0);
  EXPECT_EQ(o.error, movrak::kErrPMTCalibLost);
  EXPECT_EQ(o.red, 7000u);
  EXPECT_EQ(o.green, scanner.CalculatePMTVoltage(kGreenPMT, 0.5, 5000));
  EXPECT_EQ(logCount("  Too Many Green Channel PMT Calibration Attempts."), 1);
  EXPECT_EQ(flag(), "");
}

TEST_F(PMTCalibrationTest, AVoltageIsHandedOutOnlyOnceItIsSet) {
  okSim_FailTrigger(0x40, 2, 0, -1);  // the red tube's voltage never arrives
  const Outcome o = calibrate(kBoth, 1.0, 1.0, 6000, 6000);
  EXPECT_EQ(o.error, movrak::kErrPMTVoltage);
  EXPECT_EQ(o.red, kUnset);
  EXPECT_EQ(o.green, kUnset);  // red is set first: green was never reached
  EXPECT_EQ(o.bad, 1);
  EXPECT_EQ(okSim_GetCalibrationLight(), 0);
  EXPECT_THAT(lightSwitches(), ElementsAre("calibratepmt 0"));
  okSim_FailTrigger(0x40, 2, 0, 0);
}

TEST_F(PMTCalibrationTest, DriftOfTheLightSinceTheLastCalibration) {
  const struct {
    const char* what;
    double redSignal;  // at the last good voltage; the loop then brings it to 2000
    int error;
    const char* logged;
  } cases[] = {
      {"rose 9 percent", 2000 / 1.09, 0, "  Red Intensity has increased by"},
      {"rose 12 percent", 2000 / 1.12, movrak::kErrPMTCalibUnstable,
       "  Calibration Light Source Red Signal Delta > 12% Since Last Calibration."},
      // A fall counts half a percent less: 10.7 percent below is within the 10 percent,
      // 13 percent counts as 12.
      {"fell 10.7 percent", 2000 / 0.893, 0, "  Red Intensity has decreased by"},
      {"fell 13 percent", 2000 / 0.87, movrak::kErrPMTCalibUnstable,
       "  Calibration Light Source Red Signal Delta > 12% Since Last Calibration."},
      {"fell 9 percent", 2000 / 0.91, 0, "  Red Intensity has decreased by"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    arrange();
    tube(true, c.redSignal);
    const int burns = devices.flash->burns();
    const Outcome o = calibrate(kRedOnly, 1.0, 1.0, 6000, 6000);
    EXPECT_EQ(o.error, c.error);
    EXPECT_THAT(log(), HasSubstr(c.logged));
    if (c.error != 0) {
      EXPECT_EQ(flag(), "1");
      EXPECT_EQ(devices.flash->burns(), burns + 1);
      EXPECT_EQ(o.red, 6000u);  // from the last good voltage at full sensitivity
      EXPECT_EQ(o.bad, 1);
    } else {
      EXPECT_EQ(flag(), "");
      EXPECT_EQ(o.bad, 0);
    }
  }

  // Both channels drifted: the flag is written once.
  arrange();
  tube(true, 2000 / 1.2);
  tube(false, 2000 / 1.2);
  const int burns = devices.flash->burns();
  EXPECT_EQ(calibrate(kBoth, 1.0, 1.0, 6000, 6000).error, movrak::kErrPMTCalibUnstable);
  EXPECT_EQ(devices.flash->burns(), burns + 1);

  // Only at full sensitivity and with a last good voltage is there a drift to check.
  for (const auto& [ratio, full] : {std::pair{0.9, 6000u}, std::pair{1.0, 0u}}) {
    arrange();
    tube(true, 2000 / 1.2);
    EXPECT_EQ(calibrate(kRedOnly, ratio, 1.0, full, 6000).error, 0) << ratio << " " << full;
    EXPECT_EQ(flag(), "");
  }
}

TEST_F(PMTCalibrationTest, NoFirstSignalNoDrift) {
  // The light shows only from the second attempt: attempt 0 measures nothing.
  int switches = 0;
  devices.scans->onCalibrationLight(
      [&switches](bool on) { okSim_SetCalibrationLight(on && ++switches > 1); });
  tube(true, 2000 / 1.2);
  const Outcome o = calibrate(kRedOnly, 1.0, 1.0, 6000, 6000);
  EXPECT_EQ(o.error, 0);
  EXPECT_EQ(flag(), "");
  EXPECT_THAT(log(), HasSubstr("  Less than 25 counts signal between calibration light source on and off."));
  EXPECT_THAT(log(), testing::Not(HasSubstr("Intensity has")));
}

TEST_F(PMTCalibrationTest, DarkSubtraction) {
  const double nan = std::nan("");
  const struct {
    const char* sdRed;
    const char* sdGreen;
    const char* multRed;
    const char* multGreen;
    double redMean, greenMean;
    std::int32_t red, green;
    const char* logged;
  } cases[] = {
      {"2.5", "3.0", "3", "3", 100.2, 50.0, 91, 41,
       "Red Dark Value: [ 91 ]  = (long)((100.200000 - (3 * 3.000000)) + 0.5)"},
      {"3.0", "2.5", "2", "4", 100.2, 50.0, 94, 38,
       "Green Dark Value: [ 38 ]  = (long)((50.000000 - (4 * 3.000000)) + 0.5)"},
      {nullptr, "3.0", "3", "3", 100.2, 50.0, 0, 0,
       "Dark Subtraction FLASH Values Missing or Invalid, Skipping Dark Offset Subtraction."},
      {"3.0", "3.0", "3", nullptr, 100.2, 50.0, 0, 0, "Dark Subtraction FLASH Values Missing or Invalid"},
      {"3.0", "3.0", "0", "3", 100.2, 50.0, 0, 0, "Dark Subtraction FLASH Values Missing or Invalid"},
      {"noise", "3.0", "3", "3", 100.2, 50.0, 0, 0, "Dark Subtraction FLASH Values Missing or Invalid"},
      {"3.0", "3.0", "3", "3", 100.2, 5.0, 0, 0,
       "Dark Subtraction Value is Negative!  Setting Values to Zero."},
      {"3.0", "3.0", "3", "3", nan, 50.0, 0, 0, "Red Dark Value is out of range"},
      {"3.0", "3.0", "3", "3", 100.2, 1e12, 0, 0,
       "Dark Subtraction Value is Negative!  Setting Values to Zero."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.logged);
    const std::pair<const char*, const char*> keys[] = {{"DarkNoiseSD_Red", c.sdRed},
                                                        {"DarkNoiseSD_Green", c.sdGreen},
                                                        {"DarkNoiseMultiplier_Red", c.multRed},
                                                        {"DarkNoiseMultiplier_Green", c.multGreen}};
    for (const auto& [key, value] : keys) {
      if (value)
        devices.flash->set(key, value);
      else
        devices.flash->erase(key);
    }
    forget();
    std::int32_t red = -1, green = -1;
    scanner.SetDarkSubtractionValue(c.redMean, c.greenMean, red, green);
    EXPECT_EQ(red, c.red);
    EXPECT_EQ(green, c.green);
    EXPECT_EQ(lastLine(), FormatText("setdarksubtractionvalue 0x%x,0x%x", static_cast<unsigned>(c.red),
                                     static_cast<unsigned>(c.green)));
    EXPECT_THAT(log(), HasSubstr(c.logged));
  }
}

}  // namespace
