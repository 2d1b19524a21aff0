#pragma once
// The host's handle on the scanner's USB FPGA data board: finding, opening and
// configuring it, the clock-phase (DCM) adjustment, the control words for lasers,
// shutters and PMT voltages, the laser calibrations and tests, and the data reads.
//
// Conventions: operations return false and log on failure; the data reads throw a
// PortStatus value. Every call into the board's library holds the board guard. The
// port's own whole operations (the connect sequence, the clock-phase adjustment, the
// measuring reads and their statistics) hold the access lock themselves; other sequences
// that must not interleave with other threads' are the caller's to bracket with
// LockAccess/ReleaseAccess.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "Pellux/DataPortTypes.h"
#include "Pellux/Export.h"
#include "Pellux/FrontPanel.h"
#include "platform/sync.h"
#include "platform/window.h"

// The range tests of the laser work.
// measured - target when percent is 0; else the distance below (negative) or above
// (positive) the band target +/- percent, 0 inside it.
PELLUX_API double CheckLaserPowerInRange(double measured, double target, double percent);
PELLUX_API int CheckLaserPowerPDInRange(unsigned short measured, unsigned short target,
                                        unsigned short percent);
// tolerance <= 0: measured >= desired; else |measured - desired| / desired x 100 <= tolerance
// (a desired value of 0 counts as a deviation of 0 percent).
PELLUX_API bool IsMeasuredLaserPDDesired(unsigned short measured, unsigned short desired,
                                         double tolerancePercent);

// Statistics over measuring samples (4 bytes each: low and high 14-bit values) in groups
// of groupFactor x 44 samples: the means and standard deviations of the group means,
// times 4. False (outputs 0) for a group factor below 1 or fewer than two whole groups.
// The dump file name is accepted and not used.
PELLUX_API bool RawArrayStats(const unsigned char* data, long byteCount, int groupFactor, double& hiAve,
                              double& hiStDev, double& loAve, double& loStDev, int& saturated,
                              const char* dumpFile);

// Asks the user for a configuration bit file; "" when cancelled or when no file picker
// is installed (headless processes).
PELLUX_API std::string GetConfigBitFilePath(platform::Window* parent);

// The open-file picker GetConfigBitFilePath shows (the user interface installs one).
struct OpenFilePickerRequest {
  platform::Window* parent = nullptr;
  std::string defaultExtension;  // "bit"
  std::string initialName;       // "*.bit"
  std::string filter;            // "Xilinx Configuration Files (*.bit)|*.bit|All Files (*.*)|*.*||"
  bool hideReadOnly = true;
  bool fileMustExist = true;
};
using OpenFilePickerHook = std::string (*)(const OpenFilePickerRequest& request);
// Installs the picker (nullptr: none); returns the previous one.
PELLUX_API OpenFilePickerHook SetConfigBitFilePickerHook(OpenFilePickerHook hook);

class PELLUX_API CScanDataPort : public okCUsbFrontPanel {
 public:
  CScanDataPort();
  virtual ~CScanDataPort();
  CScanDataPort(const CScanDataPort&) = delete;
  CScanDataPort& operator=(const CScanDataPort&) = delete;

  // ---- the board's library -------------------------------------------------------
  // Loads the library once per process: `path`, or libokFrontPanel.so beside the
  // running executable when null or empty. A failure shows a message box.
  static bool InitPortLib(const char* path);
  // "" for 0, else "<text> [okErrCode = <code>]".
  static std::string GetOKErrCodeString(ok_ErrorCode code);

  // ---- access lock (5000 ms; an abandoned lock counts as taken) -------------------
  bool LockAccess();
  bool ReleaseAccess();
  // How long the port's own whole operations (see the conventions above) wait for the
  // access lock: each may have to wait for several others, each of which can run for
  // seconds. The same log lines as LockAccess.
  static constexpr std::chrono::seconds kOperationLockWait{60};
  bool LockAccessForOperation();

  // ---- finding, opening, configuring ----------------------------------------------
  bool FindScanDataPort(std::string& serial);
  bool OpenPort(const char* serial);
  bool IsPortOpen();
  bool LoadFPGA(const char* bitFile);
  int GetFPGABitVersion();
  bool ConfigurePort(const char* serial, const char* bitFile);
  // The whole connect sequence; never throws.
  PortStatus OpenDataPort(const char* serial, const char* bitFile);
  // The configuration file the last OpenDataPort looked for (for the user's message when
  // it was missing).
  std::string GetConfigFilePath();

  // ---- status and identity ----------------------------------------------------------
  bool IsPortConfigured() const { return m_bConfigured; }
  bool IsBusy() const { return m_bBusy; }
  bool IsInitDCMAdjusted() const { return m_bInitDCMAdjusted; }
  bool Is1stPacketScanDataReceived() const { return m_bFirstScanPacketReceived; }
  int GetLaserPowerReadyToAdjustMinWaitTimeRed() const { return m_nRedLaserMinOnMinutes; }
  bool IsInitCfgSkipped() const { return !m_bInitCfgDone; }
  bool IsReady();
  void SetAbort(bool bAbort) { m_bAbort = bAbort; }
  bool EnableShutdown(int) { return true; }
  std::string GetDeviceVersionString();
  std::string GetDeviceSNString();
  std::string GetDeviceIDString();
  std::string GetFPGABitVersionString() const;
  static PortDeviceGUID GetScanDataPortDevGUID();
  ok_ErrorCode GetPLLConfigInfo(PLLConfigInfo* info, int fromEeprom);

  // ---- run modes and data availability ----------------------------------------------
  bool InitRunMode(eDataModeType mode, unsigned samplingMode);
  long GetAvailableDataByteCnt();
  bool CheckDataBufferFull(int& full);
  // While a read is busy: throws PortStatusBusy, or with mayDefer records the keep-alive
  // for the end of the read and returns true.
  bool SendKeepAliveCmd(bool mayDefer);

  // ---- DCM clock phases --------------------------------------------------------------
  bool SetDCMConfigInc(int bOdd);
  bool SetDCMConfigDec(int bOdd);
  bool SetDCMConfigReset(int bOdd);
  bool SetDCMConfigPhaseAdjust(int bOdd);
  bool SendDCMConfigCmd(unsigned char bit);
  bool GetDCMConfigInfo(DCMStatusInfo* info);
  int GetLvdsFCValue();  // wire-out 0x26
  int GetLvdsStatus();   // wire-out 0x21
  bool IsDCMPhaseOK();
  // Both phases / one phase, by the method the registry chooses.
  bool AutoAdjustDCMPhases();
  bool DoDCMPhaseAutoAdjust(int bOdd);
  bool AutoAdjustDCMPhases_V1();
  bool AutoAdjustDCMPhases_V2();
  bool DoDCMPhaseAutoAdjust_V1(int bOdd);
  bool DoDCMPhaseAutoAdjust_V2(int bOdd);
  bool TestPhaseResetBoundary(int bOdd, unsigned& forwardSteps, unsigned& backwardSteps);
  int FindTotalPhaseSteps(int bOdd, int bReset);
  bool MoveToPhaseMiddle(int bOdd, int bForward, int& total);

  // ---- FPGA control words ------------------------------------------------------------
  bool SetOKTriggerIn(unsigned ep, unsigned char bit);
  bool SetOKWireIn(unsigned address, unsigned char bit);
  bool GetMiscFeedbackInfo(int& status1, int& status2);
  bool GetCtrlStatus(PortCtrlStatus* status);
  // The simple error counts, or -1 when the port is not open.
  int GetSimpleErrCounts();
  bool ClearSimpleErrCounts();
  bool ClearMiscErrorFlags();
  bool EnableMasterTimeout(bool bEnable);
  bool EnableSimpleDuplication(bool bEnable);
  bool SendLaserPowerOnOffCmd(bool bOn, bool bRed);
  bool SetLaserOnOff(bool bOn, bool bRed);
  bool SetLaserSetting(unsigned short setPoint, bool bRed);
  bool ChangeLaserSetPt(unsigned short setPoint, bool bRed);
  int GetLaserPower(bool bRed);
  bool SetShutterOpenClose(bool bOpen, bool bShutter1);
  bool SetSPIWriteData(unsigned short data);
  bool SetPMTVoltage(unsigned short value, bool bRed, bool bNeedDisableShutdown);
  int GetPMTVoltage(bool bRed);
  bool SetHeNePhotodiode(unsigned short value);
  bool SetHeNeHWPMotorSpeed(unsigned short speed);
  bool SetHeNeHWPMotorDirection(bool bForward);
  bool RunHeNeHWPMotor(bool bForward, short speed);

  // ---- laser calibration and red-laser readiness ---------------------------------------
  // Whole minutes the red laser has been on; 0 when off or unknown, -1 when the status
  // cannot be read or contradicts the record.
  std::int64_t GetRedLaserLastOnMinutes();
  int GetLaserPowerReadyToAdjustWaitTimeLeftRed();
  bool IsRedLaserReadyToAdjust();
  LaserStatus CalibrateGreenLaser(unsigned short setPoint, unsigned short desiredPD, unsigned short delta,
                                  unsigned short calibWaitTime, unsigned short stableTime,
                                  unsigned short checkStability);
  LaserStatus CalibrateRedLaser(unsigned short pdGainSetPoint, unsigned short desiredPD, unsigned short delta,
                                double pdCountsPerMilliwatt, unsigned short speed,
                                unsigned short calibWaitTime, unsigned short stableTime,
                                unsigned short unused);

  // ---- data capture ------------------------------------------------------------------
  // Reads up to `expected` bytes of scan data; throws PortStatus.
  long GetScanData(unsigned char* buffer, long bufferSize, long expected);
  // Reads `count` bytes of measuring samples (at most 32 MiB); throws PortStatus.
  long GetSampleData(unsigned char* buffer, long count);
  long GetFakeData(unsigned char* buffer, long count);
  long ReadFakeData(bool bSaveData);
  bool GetMeasuringData(long numSamples, unsigned samplingMode, unsigned char* buffer, long bufferSize);
  // Into the port's own sample buffer (valid until the next such call, so a caller that
  // reads it afterwards holds the access lock around both); null on failure.
  unsigned char* GetMeasuringData(long numSamples, unsigned samplingMode);
  bool GetMeasuringStats(long numSamples, unsigned samplingMode, int groupFactor, int& saturated,
                         double& hiAve, double& hiStDev, double& loAve, double& loStDev,
                         const char* dumpFile);

  bool GetRawData(long numSamples, bool bGreen, unsigned char* buffer, long bufferSize);
  unsigned char* GetRawData(long numSamples, bool bGreen);
  bool GetRawGainData(long numSamples, bool bGreen, unsigned char* buffer, long bufferSize);
  unsigned char* GetRawGainData(long numSamples, bool bGreen);
  bool GetRawOffsetData(long numSamples, bool bGreen, unsigned char* buffer, long bufferSize);
  unsigned char* GetRawOffsetData(long numSamples, bool bGreen);
  bool GetRawGatedData(long numSamples, bool bGreen, unsigned char* buffer, long bufferSize);
  unsigned char* GetRawGatedData(long numSamples, bool bGreen);

  bool GetRawDataStats(long numSamples, bool bGreen, int groupFactor, int& saturated, double& hiAve,
                       double& hiStDev, double& loAve, double& loStDev, const char* dumpFile);
  bool GetRawDataStats(long numSamples, bool bGreen, int groupFactor, RawDataStatsInfo* stats,
                       const char* dumpFile);
  bool GetRawGainStats(long numSamples, bool bGreen, int groupFactor, double& hiAve, double& hiStDev,
                       double& loAve, double& loStDev, const char* dumpFile);
  bool GetRawGainStats(long numSamples, bool bGreen, int groupFactor, RawDataStatsInfo* stats,
                       const char* dumpFile);
  bool GetRawOffsetStats(long numSamples, bool bGreen, int groupFactor, double& hiAve, double& hiStDev,
                         double& loAve, double& loStDev, const char* dumpFile);
  bool GetRawOffsetStats(long numSamples, bool bGreen, int groupFactor, RawDataStatsInfo* stats,
                         const char* dumpFile);
  bool GetRawGatedStats(long numSamples, bool bGreen, int groupFactor, double& hiAve, double& hiStDev,
                        double& loAve, double& loStDev, const char* dumpFile);
  bool GetRawGatedStats(long numSamples, bool bGreen, int groupFactor, RawDataStatsInfo* stats,
                        const char* dumpFile);

  // ---- laser switching and laser tests ----------------------------------------------------
  bool TurnOnGreenLaser(unsigned short setPoint, unsigned short desiredPD, unsigned int waitMs);
  bool TurnOffGreenLaser();
  bool ChangeGreenLaserPower(unsigned short setPoint, unsigned short desiredPD, unsigned int waitMs);
  bool TurnOnRedLaser(unsigned short pdSetPoint, unsigned short desiredPD, unsigned int waitMs);
  bool TurnOnOffRedLaser(bool bOn);
  bool ChangeRedLaserPower(unsigned short pdSetPoint, unsigned short desiredPD, unsigned int longestWaitMs);
  LaserStatus TestLaserPowerPDMinMaxRed(int& minPD, int& maxPD, unsigned short speed);
  LaserStatus TestLaserPowerPDMinMaxGreen(int& minPD, int& maxPD, double pdPerSetPointFactor);

  static constexpr long kMaxSampleBytes = 32L * 1024 * 1024;
  static constexpr long kMaxSamples = kMaxSampleBytes / 4;

 protected:
  HWPhase TestHeNeHWPhase(unsigned short speed);
  // Throws its LaserStatus as an int on failure.
  unsigned short TestGreenLaserPowerBySetPt(unsigned short setPoint, int samples);

  // DCM searches; failures are thrown (see the source).
  int MoveToNextPhaseEdge(int bOdd, int bForward, int& pos, int& skipped);
  int FindPhaseEyeWidthAndMoveToMiddle(int bOdd, int& pos);
  int MoveToNextPhaseEdge_V2(int bOdd, int bForward, int& pos, int& skipped, int& inPattern,
                             int& hasStartEdge, int& hasStopEdge);

 private:
  bool LockAccessWithin(std::chrono::milliseconds timeout);
  // Wire-in write (value and mask, then the latching update on success); the library's code.
  ok_ErrorCode WriteWireIn(int ep, unsigned value, unsigned mask);
  // Wire-out read after an update (0 when unbound).
  int ReadWireOut(int ep);
  const char* SetOKRunMode(eDataModeType mode, unsigned samplingMode);
  long ReadPipe(long blockSize, long length, unsigned char* buffer);
  long ReadPipeBlocks(unsigned char* buffer, long length, bool stopOnAbort, long* lastResult);
  bool WaitForDataBufferFull();
  void SendPendingKeepAlive(const char* who);
  bool SwitchLaserPower(bool bOn, bool bRed, bool recordRedOnTime);
  bool WaitGreenLaserReady(const char* who, PortCtrlStatus& status, unsigned int waitMs);
  bool AutoAdjustDCMPhasesByMethod(bool v2);
  bool ResetDCMForDispatch(int bOdd, bool bothPhases);
  void PulseHWPMotor(bool bForward, unsigned short speed, int ms);
  bool StatsOf(long numSamples, unsigned samplingMode, int groupFactor, int& saturated, double& hiAve,
               double& hiStDev, double& loAve, double& loStDev, const char* dumpFile);

  platform::CriticalSection m_BoardGuard;
  platform::TimedMutex m_AccessMutex;
  std::atomic<bool> m_bAbort{false};
  std::atomic<int> m_nCfgVersion{0};
  std::string m_strConfigFile;  // under m_BoardGuard
  eDataModeType m_eRunMode = eScanData;
  std::atomic<bool> m_bConfigured{false};
  std::atomic<bool> m_bBusy{false};
  std::atomic<bool> m_bKeepAlivePending{false};
  std::atomic<bool> m_bInitCfgDone{false};
  std::atomic<bool> m_bInitDCMAdjusted{false};
  std::atomic<bool> m_bFirstScanPacketReceived{false};
  std::atomic<std::int64_t> m_tRedLaserOnTime{0};  // seconds since 1970; 0 = off or unknown
  std::atomic<int> m_nRedLaserMinOnMinutes{30};
  std::vector<unsigned char> m_SampleBuffer;  // under the access lock

  friend class CScanDataPortBusyClaim;
};
