#pragma once
// The PMT calibration: the voltage of a sensitivity ratio, the calibration of both tubes
// against the instrument's calibration light, and the dark offsets the instrument
// subtracts. It reaches the instrument only through an IPMTBench, so that it can run
// against a scripted one. Failures are thrown as int error ids.
#include <array>
#include <cstdint>
#include <string>

#include "Pellux/DataPortTypes.h"

class CChannel;
class CFlash;
class CScanDataPort;
class CScanObj;

// What the PMT calibration needs of the instrument. Channels: 0 red, 1 green.
class IPMTBench {
 public:
  enum class Stat { gain, offset, data };

  // FLASH values as the store answers them (4109 for a missing key without a default).
  virtual std::string FlashString(const char* key) = 0;
  virtual std::string FlashStringDef(const char* key, const char* def) = 0;
  virtual unsigned long FlashUnsigned(const char* key) = 0;
  virtual unsigned long FlashUnsignedDef(const char* key, unsigned long def) = 0;
  // Marks the calibration as untrustworthy in the instrument's FLASH (written and burnt).
  virtual void RaiseCalibrationFlag() = 0;
  virtual void SetVoltage(int channel, unsigned tenths) = 0;
  // One statistics read of a channel; false when it failed.
  virtual bool Stats(Stat which, int channel, int groupFactor, RawDataStatsInfo& info) = 0;
  virtual void ClearErrorCounts() = 0;
  // Negative when the counts could not be read.
  virtual int ErrorCounts() = 0;
  virtual void CalibrationLight(bool on) = 0;
  virtual void SetDarkSubtraction(unsigned red, unsigned green) = 0;

 protected:
  ~IPMTBench() = default;
};

// The instrument's bench: its FLASH store, PMT channels, data port and scan commands.
class CInstrumentPMTBench final : public IPMTBench {
 public:
  CInstrumentPMTBench(CFlash& flash, std::array<CChannel, 4>& channels, CScanDataPort& port, CScanObj& scan)
      : m_Flash(flash), m_Channels(channels), m_Port(port), m_Scan(scan) {}

  std::string FlashString(const char* key) override;
  std::string FlashStringDef(const char* key, const char* def) override;
  unsigned long FlashUnsigned(const char* key) override;
  unsigned long FlashUnsignedDef(const char* key, unsigned long def) override;
  void RaiseCalibrationFlag() override;
  void SetVoltage(int channel, unsigned tenths) override;
  bool Stats(Stat which, int channel, int groupFactor, RawDataStatsInfo& info) override;
  void ClearErrorCounts() override;
  int ErrorCounts() override;
  void CalibrationLight(bool on) override;
  void SetDarkSubtraction(unsigned red, unsigned green) override;

 private:
  CFlash& m_Flash;
  std::array<CChannel, 4>& m_Channels;
  CScanDataPort& m_Port;
  CScanObj& m_Scan;
};

class CPMTCalibration {
 public:
  static constexpr long kStatSamples = 1048576;
  static constexpr unsigned kMaxVoltage = 9990;  // tenths of volts
  static constexpr int kMaxAttempts = 5;

  explicit CPMTCalibration(IPMTBench& bench) : m_Bench(bench) {}

  // reference x ratio^(1/exponent), the exponent from FLASH ("PMTn_Exponent", 7.833 when
  // missing or invalid); 601 for a ratio that is no number or below 0.
  unsigned CalculatePMTVoltage(int channel, double ratio, unsigned referenceVoltage);
  // Sets the tubes of `channelMask` (1 red, 2 green) so that the calibration light gives
  // the nominal signal times their ratio; `fullVolt*` are the last voltages calibrated at
  // 100 % (0: none, the factory voltage is the start). The voltages set are handed out;
  // a failure throws 645 (unstable) or 646 (lost) after the fallback voltages are set.
  void Calibrate(int channelMask, unsigned pixelSizeX, double ratioRed, double ratioGreen,
                 unsigned fullVoltRed, unsigned fullVoltGreen, unsigned& newVoltRed, unsigned& newVoltGreen,
                 int& badCalibration);
  void SetDarkSubtractionValue(double redMean, double greenMean, std::int32_t& redValue,
                               std::int32_t& greenValue);

 private:
  // One calibration's state; [0] red, [1] green.
  struct Run {
    double requested[2] = {1, 1};
    unsigned fullVolt[2] = {0, 0};
    unsigned* output[2] = {nullptr, nullptr};
    int groupFactor = 1;
    unsigned target[2] = {0, 0};
    unsigned reference[2] = {0, 0};
    RawDataStatsInfo offset[2];
    double gainRatio[2] = {1.0, 1.0};
    int initialMask = 0, mask = 0;
    double current[2] = {1, 1};
    double first[2] = {0, 0}, last[2] = {0, 0};
    bool overMax[2] = {false, false};
  };

  void Steps(Run& run, int& badCalibration);
  unsigned FactoryVoltage(int channel);
  // Every voltage decided here is set through the channel, and handed out only once set.
  void SetVoltage(Run& run, int channel, unsigned tenths);
  // Without the calibration light (its FLASH warning flag set): voltages from the formula.
  void EstimateWithoutLight(Run& run, int& badCalibration);
  void MeasureGainAndOffset(Run& run);
  bool ReadStats(IPMTBench::Stat which, const Run& run, int channel, RawDataStatsInfo& info);
  // A channel's signal from one measurement, with the suffix of its log line.
  double SignalOf(const Run& run, int channel, const RawDataStatsInfo& info, const char*& suffix) const;
  RawDataStatsInfo Measure(const Run& run, int channel, const char* light);
  // Sets the voltages of the channels still calibrating; a channel beyond the maximum
  // gets its fallback and leaves the mask.
  void SetAttemptVoltages(Run& run);
  // Light on, light off, and the channels' next ratios.
  void MeasureAttempt(Run& run, int attempt);
  void FailOverMaximum(Run& run, int& badCalibration);
  void FailTooManyAttempts(Run& run, int& badCalibration);
  // Drift of the light source since the last calibration at full sensitivity.
  void CheckDrift(Run& run, double maxIncrease, double maxDecrease);

  IPMTBench& m_Bench;
};
