#include "devices/SelfTest.h"

#include <array>
#include <chrono>

#include "Jotwell/Logger.h"
#include "devices/DeviceErrors.h"
#include "devices/DeviceUtil.h"
#include "devices/Scanner.h"
#include "platform/clock.h"

using namespace movrak;

namespace {

constexpr int kMaxDiagChannel = 15;
constexpr long kSelfTestSamples = 1048576;
constexpr int kSelfTestPixelSizeX = 5;
constexpr auto kPMTSettle = std::chrono::milliseconds(200);

struct Supply {
  const char* label;  // nullptr: not a plain supply line
  double low;
  double high;
};

// Channel by channel; a value passes strictly inside its range.
constexpr std::array<Supply, kMaxDiagChannel + 1> kSupplies = {{
    {"+28 Volts", 26.6, 29.4},
    {"+18 Volts", 17.1, 18.9},
    {"-18 Volts", -18.9, -17.1},
    {"Sol_+12V Volts", 11.4, 12.6},
    {"+15VA Volts", 14.25, 15.75},
    {"-15VA Volts", -15.75, -14.25},
    {"SS_OPTO5V Volts", 4.75, 5.25},
    {nullptr, 0.3, 0.5},  // door solenoid current
    {nullptr, 0, 0},      // slow stage current
    {nullptr, 0, 0},
    {nullptr, 0, 0},
    {nullptr, 0, 0},
    {nullptr, 0, 0},
    {"+5VA", 4.75, 5.25},
    {"-5VA Volts", -5.25, -4.75},
    {"VCC/VAA Volts", 4.75, 5.25},
}};

bool Inside(const Supply& s, double value) { return value > s.low && value < s.high; }

double Volts(unsigned tenths) { return tenths / 10.0; }

const char* YesNo(bool b) { return b ? "Yes" : "No"; }

// ---- data port identity and lasers -----------------------------------------------------------

// False when the port cannot be tested at all.
bool TestScanDataPort(CScanner& scanner, bool bCheckLasers) {
  CScanDataPort& port = scanner.GetDataPort();
  if (!port.IsPortOpen()) {
    LogDebug(1, "<SelfTest::ScanDataPort> Port is not open, self testing skipped");
    return false;
  }
  LogDebug(1, "<SelfTest::ScanDataPort> Port Device ID = %s", port.GetDeviceIDString().c_str());
  LogDebug(1, "<SelfTest::ScanDataPort> Port Device SN = %s", port.GetDeviceSNString().c_str());
  if (!port.IsPortConfigured()) {
    LogDebug(1, "<SelfTest::ScanDataPort>Port is not configured yet, self testing skipped");
    return false;
  }
  LogDebug(1, "<SelfTest::ScanDataPort> Keth FPGA version = %s", port.GetFPGABitVersionString().c_str());
  LogDebug(1, "<SelfTest::ScanDataPort> DCM phases adjustment OK = %s", YesNo(port.IsDCMPhaseOK()));
  if (!bCheckLasers) return true;

  PortCtrlStatus status;
  if (!port.GetCtrlStatus(&status)) {
    // Without a status nothing can be said about the lasers.
    LogDebug(1, "<SelfTest::ScanDataPort> Check control status failed!");
    return true;
  }
  LogDebug(1, "<SelfTest::ScanDataPort> Control status: %s", status.GetStatusString(0).c_str());
  LogInfo("Measuring: current Red and Green laser power levels");
  const std::uint32_t word = status.dwStatus1;
  if (!PortCtrlLaser::IsLaserPowerOn(word, true) || !PortCtrlLaser::IsLaserOn(word, true)) {
    LogDebug(1, "<SelfTest::ScanDataPort> Red laser is OFF, checking power level skipped!");
  } else {
    LogDebug(1, "<SelfTest::ScanDataPort> Current Red laser power level = %.2f mW",
             scanner.GetLaserPower(true, true));
    const std::int64_t minutes = port.GetRedLaserLastOnMinutes();
    LogDebug(1, "<SelfTest::ScanDataPort> Red laser has been turnned on for %ld hours and %d minutes",
             static_cast<long>(minutes / 60), static_cast<int>(minutes % 60));
  }
  if (!PortCtrlLaser::IsLaserPowerOn(word, false))
    LogDebug(1, "<SelfTest::ScanDataPort> Green laser power is OFF, checking power level skipped!");
  else if (!PortCtrlLaser::IsLaserOn(word, false))
    LogDebug(1, "<SelfTest::ScanDataPort> Green laser is OFF, checking power level skipped!");
  else
    LogDebug(1, "<SelfTest::ScanDataPort> Current Green laser power level = %.2f mW",
             scanner.GetLaserPower(false, true));
  return true;
}

// ---- PMTs and raw data -------------------------------------------------------------------------

const char* ColourOf(bool green) { return green ? "Green" : "Red"; }

// The light-source signal of one measurement, against the channel's offset.
struct Signal {
  double value;
  const char* suffix;
};
Signal SignalOf(const RawDataStatsInfo& data, const RawDataStatsInfo& offset, double gainRatio) {
  if (!data.bIsSaturated) return {data.dHiAve - offset.dHiAve, ""};
  return {(data.dLoAve - offset.dLoAve) * gainRatio, "[Hi saturated]"};
}

class PMTRawDataTest {
 public:
  explicit PMTRawDataTest(CScanner& scanner)
      : scanner_(scanner),
        port_(scanner.GetDataPort()),
        red_(*scanner.GetChannel(kRedPMT)),
        green_(*scanner.GetChannel(kGreenPMT)) {}

  void Run() {
    if (!port_.IsPortOpen()) {
      LogError("<SelfTest::TestPMTsAndRawData> Data Port is not open, test skipped");
      return;
    }
    if (!port_.IsPortConfigured()) {
      LogError("<SelfTest::TestPMTsAndRawData>Port is not configured yet, test skipped");
      return;
    }
    PortCtrlStatus status;
    if (!port_.GetCtrlStatus(&status)) {
      LogError("<SelfTest::TestPMTsAndRawData> Check control status failed, test skipped");
      return;
    }
    LogDebug(1, "<SelfTest::TestPMTsAndRawData> Control status: %s", status.GetStatusString(0).c_str());
    LogInfo("Measuring: current Red and Green PMT voltages");
    if (status.IsPMTFault(true)) {
      LogError("<SelfTest::TestPMTsAndRawData> Red PMT has a fault, test skipped!");
      return;
    }
    if (status.IsPMTFault(false)) {
      LogError("<SelfTest::TestPMTsAndRawData> Green PMT has a fault, test skipped!");
      return;
    }
    try {
      Measure();
    } catch (...) {
      LogError("PMTs/Raw data measuring with light-on/off and data acquisition failed - caught an exception");
    }
    // Whatever ended the test, the light goes off and the tubes get their voltages back.
    SwitchLightOffIfOn();
    RestorePMTsIfChanged();
  }

 private:
  void LogVoltages() {
    LogInfo("Current Red PMT voltage = %.1f volt", Volts(red_.GetVoltage()));
    LogInfo("Current Green PMT voltage = %.1f volt", Volts(green_.GetVoltage()));
  }

  using StatsCall = bool (CScanDataPort::*)(long, bool, int, RawDataStatsInfo*, const char*);
  bool Stats(StatsCall call, bool green, RawDataStatsInfo& out) {
    return (port_.*call)(kSelfTestSamples, green, kSelfTestPixelSizeX, &out, nullptr);
  }

  void MeasureReference(StatsCall call, const char* kind, bool green, RawDataStatsInfo& out, bool& ok) {
    ok = Stats(call, green, out);
    if (!ok) {
      LogError("<SelfTest::TestPMTsAndRawData> Failed to get %s %s Stats!", ColourOf(green), kind);
      return;
    }
    LogDebug(
        1,
        "<SelfTest::TestPMTsAndRawData> %s %s Stats: HiAve = %.2f, HiStDev = %.2f , LoAve = %.2f, LoStDev = "
        "%.2f",
        ColourOf(green), kind, out.dHiAve, out.dHiStDev, out.dLoAve, out.dLoStDev);
  }

  double GainRatio(bool green) {
    const int i = green ? 1 : 0;
    // A channel whose gain or offset could not be measured keeps a ratio of 1.
    if (!gainOk_[i] || !offsetOk_[i]) return 1.0;
    const double below = gain_[i].dLoAve - offset_[i].dLoAve;
    if (below == 0) {
      LogError("Failed to compute %s raw gain ratio: gain Lo average equals offset Lo average.",
               ColourOf(green));
      return 1.0;
    }
    return (gain_[i].dHiAve - offset_[i].dHiAve) / below;
  }

  // One raw-data measurement with the light on or off; false when it failed.
  bool MeasureRawData(bool green, bool lightOn, int testIdx) {
    const int i = green ? 1 : 0;
    RawDataStatsInfo data;
    if (!Stats(&CScanDataPort::GetRawDataStats, green, data)) {
      LogError("Failed to get %s raw data stats [%s], current test skipped [testIdx = %d]", ColourOf(green),
               lightOn ? "light-on" : "light-off", testIdx);
      return false;
    }
    LogDebug(1,
             "<SelfTest::TestPMTsAndRawData> %s RawData Stats: HiAve = %.2f, HiStDev = %.2f , LoAve = %.2f, "
             "LoStDev = %.2f, [HiSaturated = %s]",
             ColourOf(green), data.dHiAve, data.dHiStDev, data.dLoAve, data.dLoStDev,
             YesNo(data.bIsSaturated));
    const Signal signal = SignalOf(data, offset_[i], gainRatio_[i]);
    LogDebug(1, "Light source = %s, avg%s = %.2f %s", lightOn ? "On" : "Off", ColourOf(green), signal.value,
             signal.suffix);
    return true;
  }

  void Light(bool on) {
    LogDebug(1, "<SelfTest::TestPMTsAndRawData> Turn PMT calibration light source %s", on ? "ON" : "OFF");
    if (on) lightMayBeOn_ = true;
    scanner_.GetScanObj().CalibrationLightSource(on);
    if (!on) lightMayBeOn_ = false;
  }

  void Measure() {
    const unsigned redVolts = red_.GetVoltage();
    const unsigned greenVolts = green_.GetVoltage();
    LogInfo("Current Red PMT voltage = %.1f volt", Volts(redVolts));
    LogInfo("Current Green PMT voltage = %.1f volt", Volts(greenVolts));

    port_.ClearSimpleErrCounts();
    LogInfo("Testing: Raw offset/Gain data measuring and acquisition");
    MeasureReference(&CScanDataPort::GetRawOffsetStats, "RawOffset", false, offset_[0], offsetOk_[0]);
    MeasureReference(&CScanDataPort::GetRawOffsetStats, "RawOffset", true, offset_[1], offsetOk_[1]);
    MeasureReference(&CScanDataPort::GetRawGainStats, "RawGain", false, gain_[0], gainOk_[0]);
    MeasureReference(&CScanDataPort::GetRawGainStats, "RawGain", true, gain_[1], gainOk_[1]);
    gainRatio_[0] = GainRatio(false);
    gainRatio_[1] = GainRatio(true);
    LogDebug(1, "Computed raw gain ratio: GainRatio_R = %.2f, GainRatio_G = %.2f", gainRatio_[0],
             gainRatio_[1]);

    LogInfo("Testing: PMTs/Raw data measuring and acquisition");
    struct Pass {
      bool redOn;
      bool greenOn;
      const char* title;
    };
    static constexpr Pass kPasses[] = {
        {false, true, "Testing: PMTs/Raw data measuring when RedPMTvoltage = OFF,  GreenPMTvoltage = ON"},
        {true, false, "Testing: PMTs/Raw data measuring when RedPMTvoltage = ON,  GreenPMTvoltage = OFF"},
        {true, true, "Testing: PMTs/Raw data measuring when RedPMTvoltage = ON,  GreenPMTvoltage = ON"},
    };
    int testIdx = 0;
    for (const Pass& pass : kPasses) {
      ++testIdx;
      LogInfo("%s", pass.title);
      pmtsChanged_ = true;
      red_.ChangeVoltage(pass.redOn ? redVolts : 0, false, false);
      green_.ChangeVoltage(pass.greenOn ? greenVolts : 0, false, false);
      // Both tubes are back at their own voltages once the last pass has set them.
      if (pass.redOn && pass.greenOn) pmtsChanged_ = false;
      platform::sleepFor(kPMTSettle);
      LogVoltages();

      Light(true);
      if (!MeasureRawData(false, true, testIdx) || !MeasureRawData(true, true, testIdx)) continue;
      Light(false);
      if (!MeasureRawData(false, false, testIdx) || !MeasureRawData(true, false, testIdx)) continue;
    }
    LogDebug(1, "<SelfTest::TestPMTsAndRawData> Current simple error count = %d", port_.GetSimpleErrCounts());
  }

  void SwitchLightOffIfOn() {
    if (!lightMayBeOn_) return;
    try {
      Light(false);
    } catch (int e) {
      LogError(
          "<SelfTest::TestPMTsAndRawData> Failed to turn PMT calibration light source OFF [error code: %d]",
          e);
    }
  }

  void RestorePMTsIfChanged() {
    if (!pmtsChanged_) return;
    for (CChannel* channel : {&red_, &green_}) {
      try {
        channel->CheckVoltage();
      } catch (int e) {
        LogError("<SelfTest::TestPMTsAndRawData> Failed to restore the %s PMT voltage [error code: %d]",
                 channel->GetName().c_str(), e);
      }
    }
    try {
      LogVoltages();
    } catch (int e) {
      LogError("<SelfTest::TestPMTsAndRawData> Failed to read the PMT voltages [error code: %d]", e);
    }
  }

  CScanner& scanner_;
  CScanDataPort& port_;
  CChannel& red_;
  CChannel& green_;
  RawDataStatsInfo offset_[2];
  RawDataStatsInfo gain_[2];
  bool offsetOk_[2] = {false, false};
  bool gainOk_[2] = {false, false};
  double gainRatio_[2] = {1.0, 1.0};
  bool lightMayBeOn_ = false;
  bool pmtsChanged_ = false;
};

}  // namespace

std::optional<std::string> FormatDiagADCLine(int channel, double value) {
  if (channel < 0 || channel > kMaxDiagChannel) return FormatText("Invalid DiagADC channel: %d", channel);
  const Supply& supply = kSupplies[static_cast<std::size_t>(channel)];
  switch (channel) {
    case 7:
      return Inside(supply, value) ? FormatText("PASSED: Door Unlocked [Solenoid Amps = %.3f]", value)
                                   : FormatText("ERROR: Scanner Cover OFF? [Solenoid Amps = %.3f]", value);
    case 8:
      return FormatText("Slow Stage Move Current Amps = %.3f", value);
    case 9:
    case 10:
    case 11:
    case 12:
      return std::nullopt;
    default:
      return FormatText("%s: %s [%.3f]", supply.label, Inside(supply, value) ? "PASSED" : "ERROR", value);
  }
}

double CScanner::GetDiagADCVoltValue(int channel, std::uint32_t raw) {
  if (channel < 0 || channel > kMaxDiagChannel) {
    LogDebug(1, "<GetDiagADCVoltValue> Invalid DiagADC channel: %d", channel);
    return 0.0;
  }
  // 0 to 4096 counts over -10 V to +10 V, scaled by each channel's divider.
  const double base = raw * 0.0048828125 - 10.0;
  if (channel <= 3) return base * 4.01;
  if (channel <= 5) return base * 2;
  if (channel == 7 || channel == 8) return base / 7.49;
  return base;
}

int CScanner::SelfTest(bool bCheckLasers) {
  LogInfo("-------------------SelfTest Starting------------------------");
  LogInfo("********** Start test the Fixed Voltages on the Communications PC **********");
  for (int channel = 0; channel <= kMaxDiagChannel; ++channel) {
    if (channel == 7 || (channel >= 9 && channel <= 12)) continue;
    if (channel == 0) {
      LogInfo("Measuring: +5V(VCC),+28V, +18V, -18V, Power Supply(PS) Voltages");
      LogInfo("+12 VDC Green Laser & -28 VDC PS Voltage are NOT measured by system!");
      LogInfo("Measure +12 VDC PS at green/black wires going into Green Laser Module");
      LogInfo("Measure -28 VDC PS at blue/black wires going into AF Driver PCA J4");
    }
    if (channel == 3) LogInfo("Measuring Comm. PCA Volts: Sol_+12V,+15VA,-15VA,SS_OPTO5V,+5VA,-5VA");
    try {
      const double value = GetDiagADCVoltValue(channel, ReadDiagADC(static_cast<unsigned char>(channel)));
      if (const auto line = FormatDiagADCLine(channel, value)) LogInfo("%s", line->c_str());
    } catch (int e) {
      LogError("Failed to test DiagADC channel %d [error code: %d].", channel, e);
    } catch (...) {
      LogError("Unable to test DiagADC channel %d [Unknown error].", channel);
    }
  }
  LogInfo("********** End test the Fixed Voltages on the Communications PC **********");

  LogInfo(
      "********** Start test PMT voltages and Raw data acquisition/measuring on the Keth board **********");
  LogInfo("Checking: Keth data port device info, FPGA configuration and current status");
  try {
    if (TestScanDataPort(*this, bCheckLasers)) PMTRawDataTest(*this).Run();
  } catch (...) {
    LogError("SelfTest Failed - caught an exception");
  }
  LogInfo("********** End test PMT voltages and Raw data acquisition/measuring on the Keth board **********");
  LogInfo("-------------------SelfTest Complete------------------------");
  return 1;
}
