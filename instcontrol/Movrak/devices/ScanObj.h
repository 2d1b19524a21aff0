#pragma once
// The scanner's scan commands: package type, fiducials and datum, scan region,
// autofocus, depth scan, lasers, dark subtraction, PMT calibration light, scan start,
// scan lines and data, results, end, flush and abort. Failures are thrown as int ids.
#include <cstdint>

class IDeviceContext;

class CScanObj {
 public:
  static constexpr int kFindTimeoutMs = 100000;
  static constexpr int kAutofocusTimeoutMs = 60000;
  static constexpr int kStartTimeoutMs = 90000;
  static constexpr int kAbortTimeoutMs = 10000;
  static constexpr int kFlushBlock = 2048;
  static constexpr int kFlushReadTimeoutSec = 1;
  static constexpr int kMaxAFRows = 20;

  // Throws 625 without a scanner.
  explicit CScanObj(IDeviceContext* scanner);
  virtual ~CScanObj();
  CScanObj(const CScanObj&) = delete;
  CScanObj& operator=(const CScanObj&) = delete;

  void SetPackageType(int packageType);
  void FindFiducials(double* v1, double* v2, double* v3);
  void FindDatum(int x, int y, int packageType);
  void SetScanRegion(int pixels, int rows, int vcStart, int stageStart, double vcIncrement,
                     double stageIncrement, int binX, int binY);
  // Returns the glass thickness (the encoder position too, when asked for).
  double EnableAutoFocus(int x, int y, bool wantEncoder = false, int* encoderPos = nullptr);
  void StartScan(unsigned mask, unsigned rescans, unsigned outShift);
  void SquareStart(int pixels, int rows, int stageStart, double stageIncrement, int packageType, int binX,
                   int binY, unsigned rescans, unsigned outShift, unsigned mask, int vcStart,
                   double vcIncrement);
  void GetScanLine();
  int GetResults();
  // The percentage of pixels the autofocus held; 600 for a total pixel count below 1.
  double GetAFStats(long totalPixels);
  void InitLasers();
  void UpdateLaserVoltage(unsigned red, unsigned green, long* redPower, long* greenPower);
  void EnableDepthScan(unsigned start, unsigned increment, unsigned lines);
  void SetEOMDigitalPot(int channel, unsigned value);
  void SetDarkSubtractionValue(unsigned red, unsigned green);
  void CalibrationLightSource(bool on);

  void ControlLasers(int a, int b);
  void ReadLaserPower(long* red, long* green);
  // Scan bytes of the running scan; returns the bytes received.
  int GetData(std::uint8_t* buffer, int count);
  void Abort();
  void End();
  void FlushData();

  void CalibrateLasers();
  [[noreturn]] void MeasureDarkOffset();
  [[noreturn]] void CheckLaserStatus();

 private:
  // Lock, one line, raw status (200 characters), release; throws a non-zero result.
  void SimpleCommand(const char* name, const char* line);

  IDeviceContext* m_pScanner;
};
