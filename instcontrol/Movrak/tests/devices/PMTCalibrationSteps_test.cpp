// The PMT calibration on a scripted bench: no instrument, no board. Tubes follow the
// voltage with the FLASH exponent; the bench records every step in order.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "Jotwell/Logger.h"
#include "Jotwell/RegEdit.h"
#include "devices/DeviceErrors.h"
#include "devices/PMTCalibration.h"
#include "devices/ScannerTypes.h"
#include "testsupport/TestEnv.h"

namespace {

using testing::ElementsAre;

class ScriptedBench final : public IPMTBench {
 public:
  std::map<std::string, std::string> flash{{"PMT1", "5500"},
                                           {"PMT2", "5600"},
                                           {"PMT1_NominalCalibrationSignal", "2000"},
                                           {"PMT2_NominalCalibrationSignal", "2000"}};
  // The calibration light's signal of a channel at a voltage (tenths).
  std::function<double(int channel, unsigned tenths)> signal = [](int, unsigned tenths) {
    return 2000.0 * std::pow(tenths / 6000.0, 7.833);
  };
  // The statistics read (counted from 1) that fails; 0: none.
  int failingRead = 0;
  std::vector<std::string> steps;
  unsigned voltage[2] = {0, 0};

  std::string FlashString(const char* key) override {
    const auto it = flash.find(key);
    if (it == flash.end()) throw movrak::kErrNoSuchFlashKey;
    return it->second;
  }
  std::string FlashStringDef(const char* key, const char* def) override {
    const auto it = flash.find(key);
    return it == flash.end() ? def : it->second;
  }
  unsigned long FlashUnsigned(const char* key) override { return std::stoul(FlashString(key)); }
  unsigned long FlashUnsignedDef(const char* key, unsigned long def) override {
    const auto it = flash.find(key);
    return it == flash.end() ? def : std::stoul(it->second);
  }
  void RaiseCalibrationFlag() override {
    flash["PMTCalibErrorFlag"] = "1";
    steps.push_back("flag");
  }
  void SetVoltage(int channel, unsigned tenths) override {
    voltage[channel] = tenths;
    steps.push_back("set " + std::to_string(channel) + " " + std::to_string(tenths));
  }
  bool Stats(Stat which, int channel, int, RawDataStatsInfo& info) override {
    if (++reads_ == failingRead) return false;
    info = RawDataStatsInfo{};
    switch (which) {
      case Stat::gain:
        info.dHiAve = 4200, info.dLoAve = 600;
        break;
      case Stat::offset:
        info.dHiAve = 200, info.dLoAve = 100;
        break;
      case Stat::data:
        info.dHiAve = 300 + (light_ ? signal(channel, voltage[channel]) : 0);
        break;
    }
    return true;
  }
  void ClearErrorCounts() override {}
  int ErrorCounts() override { return 0; }
  void CalibrationLight(bool on) override {
    light_ = on;
    steps.push_back(on ? "light on" : "light off");
  }
  void SetDarkSubtraction(unsigned, unsigned) override {}

 private:
  int reads_ = 0;
  bool light_ = false;
};

struct Outcome {
  int error = 0;
  unsigned red = 1, green = 1;
  int bad = -1;
};

Outcome Calibrate(ScriptedBench& bench, int mask, double ratioRed, double ratioGreen, unsigned fullRed,
                  unsigned fullGreen) {
  Outcome o;
  try {
    CPMTCalibration(bench).Calibrate(mask, 5, ratioRed, ratioGreen, fullRed, fullGreen, o.red, o.green,
                                     o.bad);
  } catch (int e) {
    o.error = e;
  }
  return o;
}

TEST(PMTCalibrationSteps, ConvergesWithEachVoltageSetBeforeItIsMeasured) {
  ScriptedBench bench;
  // Red gives 5 % less than nominal at 600.0 V; green (at half sensitivity) is nominal.
  bench.signal = [](int channel, unsigned tenths) {
    return (channel == kRedPMT ? 1900.0 : 2000.0) * std::pow(tenths / 6000.0, 7.833);
  };
  const Outcome o = Calibrate(bench, 3, 1.0, 0.5, 6000, 6000);
  EXPECT_EQ(o.error, 0);
  EXPECT_EQ(o.bad, 0);
  EXPECT_EQ(o.red, bench.voltage[kRedPMT]);
  EXPECT_EQ(o.green, bench.voltage[kGreenPMT]);
  EXPECT_THAT(bench.steps, ElementsAre("set 0 6000", "set 1 5491", "light on", "light off", "set 0 6039",
                                       "light on", "light off", "light off"));
}

TEST(PMTCalibrationSteps, FailuresEndWithTheWorseErrorTheirFallbacksAndTheLightOff) {
  const auto dead = [](int, unsigned) { return 0.0; };
  const struct {
    const char* name;
    int mask;
    unsigned fullRed, fullGreen;
    std::function<double(int, unsigned)> signal;
    int failingRead;
    int error;
    unsigned red, green;  // 1: not handed out
  } cases[] = {
      // A tube without signal never converges: the last good voltage, or the factory's.
      {"dead, last good known", 1, 6000, 6000, dead, 0, movrak::kErrPMTCalibUnstable, 6000, 1},
      {"dead, none known", 1, 0, 6000, dead, 0, movrak::kErrPMTCalibLost, 5500, 1},
      {"both dead, lost wins", 3, 0, 6000, dead, 0, movrak::kErrPMTCalibLost, 5500, 6000},
      {"both dead, lost wins either way", 3, 6000, 0, dead, 0, movrak::kErrPMTCalibLost, 6000, 5600},
      // Reads 1-2 gain, 3-4 offset, 5 light on, 6 light off.
      {"gain read fails", 1, 6000, 6000, nullptr, 2, movrak::kErrPMTRawGain, 1, 1},
      {"light-on read fails", 1, 6000, 6000, nullptr, 5, movrak::kErrPMTRawData, 6000, 1},
  };
  for (const auto& c : cases) {
    ScriptedBench bench;
    if (c.signal) bench.signal = c.signal;
    bench.failingRead = c.failingRead;
    const Outcome o = Calibrate(bench, c.mask, 1.0, 1.0, c.fullRed, c.fullGreen);
    EXPECT_EQ(o.error, c.error) << c.name;
    EXPECT_EQ(o.bad, 1) << c.name;
    EXPECT_EQ(o.red, c.red) << c.name;
    EXPECT_EQ(o.green, c.green) << c.name;
    ASSERT_FALSE(bench.steps.empty()) << c.name;
    EXPECT_EQ(bench.steps.back(), "light off") << c.name;
    EXPECT_EQ(bench.flash.count("PMTCalibErrorFlag"), 0u) << c.name;
  }
}

TEST(PMTCalibrationSteps, AVoltageBeyondTheMaximumFallsBackAndRaisesTheFlag) {
  ScriptedBench bench;
  bench.signal = [](int, unsigned tenths) { return 20.0 * std::pow(tenths / 6000.0, 7.833); };
  const Outcome o = Calibrate(bench, 1, 1.0, 1.0, 6000, 6000);
  EXPECT_EQ(o.error, movrak::kErrPMTCalibUnstable);
  EXPECT_EQ(o.red, 6000u);
  EXPECT_EQ(bench.flash["PMTCalibErrorFlag"], "1");
  EXPECT_EQ(bench.steps.back(), "light off");
}

// With every line logged to a file of the test's own.
class PMTCalibrationLogged : public testsupport::ZevaTest {
 protected:
  PMTCalibrationLogged() {
    CRegEdit reg(HKEY_LOCAL_MACHINE, "Software\\Tarsel\\ZevazOdizo");
    reg.WriteInt("DebugLevel", 6);
    reg.WriteInt("EnableTimestamp", 0);
    CLogger::SetDebugLogging(true);
    CLogger::Open((tempDir() + "/pmt").c_str());
  }
  ~PMTCalibrationLogged() override { CLogger::Close(); }
  static std::string log() { return testsupport::readFile(CLogger::m_File.path()); }
};

TEST_F(PMTCalibrationLogged, DriftIsHalfAPercentUpThenCutAndOnlyBeyondTheLimitRaisesTheFlag) {
  // The first attempt sees the light as it is now; the second sees the target exactly, so
  // the change since the last calibration is (2000 - first) / first.
  const struct {
    double percent;  // the change: above 0 a rise, below 0 a fall
    unsigned maxIncrease, maxDecrease;
    bool flagged;
    const char* logged;
  } cases[] = {
      {10.49, 10, 10, false, "  Red Intensity has increased by 10.49%"},
      {10.51, 10, 10, true, "  Calibration Light Source Red Signal Delta > 11% Since Last Calibration."},
      {-10.49, 10, 10, false, "  Red Intensity has decreased by 10.49%"},
      // A fall counts half a percent less than a rise of the same size.
      {-10.51, 10, 10, false, "  Red Intensity has decreased by 10.51%"},
      {-11.49, 10, 10, false, "  Red Intensity has decreased by 11.49%"},
      {-11.51, 10, 10, true, "  Calibration Light Source Red Signal Delta > 11% Since Last Calibration."},
      {-12.2, 10, 10, true, "  Calibration Light Source Red Signal Delta > 11% Since Last Calibration."},
      {-12.6, 10, 10, true, "  Calibration Light Source Red Signal Delta > 12% Since Last Calibration."},
      // Each direction has its own limit.
      {6.0, 20, 5, false, "  Red Intensity has increased by 6.00%"},
      {-6.0, 20, 5, false, "  Red Intensity has decreased by 6.00%"},
      {-6.6, 20, 5, true, "  Calibration Light Source Red Signal Delta > 6% Since Last Calibration."},
      {-6.0, 5, 20, false, "  Red Intensity has decreased by 6.00%"},
      {5.6, 5, 20, true, "  Calibration Light Source Red Signal Delta > 6% Since Last Calibration."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.percent << "% with limits +" << c.maxIncrease << " -"
                                    << c.maxDecrease);
    ScriptedBench bench;
    bench.flash["PMT_MaxDeltaIncrease"] = std::to_string(c.maxIncrease);
    bench.flash["PMT_MaxDeltaDecrease"] = std::to_string(c.maxDecrease);
    const double first = 2000.0 / (1 + c.percent / 100);
    int seen = 0;
    bench.signal = [&](int, unsigned) { return ++seen == 1 ? first : 2000.0; };
    const std::size_t before = log().size();
    const Outcome o = Calibrate(bench, 1, 1.0, 1.0, 6000, 6000);
    EXPECT_EQ(seen, 2);
    EXPECT_EQ(o.error, c.flagged ? movrak::kErrPMTCalibUnstable : 0);
    EXPECT_EQ(bench.flash.count("PMTCalibErrorFlag"), c.flagged ? 1u : 0u);
    EXPECT_EQ(o.bad, c.flagged ? 1 : 0);
    EXPECT_THAT(log().substr(before), testing::HasSubstr(c.logged));
  }
}

TEST(PMTCalibrationSteps, WithTheFlagSetTheLightIsNeverUsed) {
  ScriptedBench bench;
  bench.flash["PMTCalibErrorFlag"] = "1";
  const Outcome o = Calibrate(bench, 3, 1.0, 0.5, 6000, 0);
  EXPECT_EQ(o.error, movrak::kErrPMTCalibLost);
  EXPECT_EQ(o.red, 6000u);
  EXPECT_EQ(o.green, 5125u);  // the factory's 5600 at half sensitivity
  EXPECT_THAT(bench.steps, ElementsAre("set 0 6000", "set 1 5125", "light off"));
}

}  // namespace
