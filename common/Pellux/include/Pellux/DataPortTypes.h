#pragma once
// The data port's records and enumerations, shared with the instrument-control library.
#include <cstdint>
#include <string>

#include "Pellux/Export.h"

// Outcome of OpenDataPort, and the value thrown by the data reads.
enum PortStatus : int {
  PortStatusSuccess = 0,
  PortStatusUnknownError = 1,
  PortStatusSystemError = 2,
  PortStatusDeviceNotFound = 3,
  PortStatusConfigFileInvalid = 4,
  PortStatusConnectFailed = 5,
  PortStatusLoadPLLFailed = 6,
  PortStatusConfigureFailed = 7,
  PortStatusDCMAdjustFailed = 8,
  PortStatusNotConnected = 9,
  PortStatusBusy = 10,
  PortStatusInvalidParameter = 11,
  PortStatusBufferTooSmall = 12,
  PortStatusNotEnoughData = 13,
  PortStatusDeviceTimeout = 14,
  PortStatusWaitTimeout = 15,
  PortStatusReceiveFailed = 16,
  PortStatusNoStatus = 17,  // a failure that carried no status (a text or an unknown exception)
};

enum eDataModeType : int {
  eFakeData = 0,  // test pattern
  eScanData = 1,
  eMeasuringData = 2,  // raw samples
};

// Result of the laser calibrations and laser tests.
enum LaserStatus : int {
  LaserStatusDone = 0,
  LaserStatusCtrlStatusFailed = 1,
  LaserStatusPowerOnFailed = 2,
  LaserStatusLaserOnFailed = 3,
  LaserStatusSetPointFailed = 4,
  LaserStatusTimeout = 5,
  LaserStatusPDTimeout = 6,
  LaserStatusPDTooHigh = 7,
  LaserStatusUnstable = 8,
  LaserStatusNotReadyToAdjust = 9,
  LaserStatusOff = 10,
  LaserStatusOnTimeUnknown = 11,
};

// Where the red laser's half-wave plate stands, from three photodiode readings.
enum HWPhase : int {
  HWPhaseUnknown = 0,
  HWPhaseNearMinimum = 1,
  HWPhaseForwardRaises = 2,
  HWPhaseNearMaximum = 3,
  HWPhaseForwardLowers = 4,
};

// The two control status words of the board (wire-outs 0x31 and 0x32).
struct PELLUX_API PortCtrlStatus {
  std::uint32_t dwStatus1 = 0;
  std::uint32_t dwStatus2 = 0;

  static constexpr std::uint32_t kMasterAlive = 0x0002;
  static constexpr std::uint32_t kPMTFault_R = 0x1000;
  static constexpr std::uint32_t kPMTFault_G = 0x0800;
  static constexpr std::uint32_t kLaserPwrOn_R = 0x8000;
  static constexpr std::uint32_t kLaserPwrOn_G = 0x0100;
  static constexpr std::uint32_t kLaserOn_G = 0x0400;
  static constexpr std::uint32_t kLaserReady_G = 0x0040;
  static constexpr std::uint32_t kShutter1Closed = 0x2000;
  static constexpr std::uint32_t kSPIBusy = 0x0001;
  static constexpr std::uint32_t kMasterTimeout = 0x0010;
  static constexpr std::uint32_t kLaserOverCurrent_G = 0x0200;
  static constexpr std::uint32_t kLaserOverTemp_G = 0x0080;
  static constexpr std::uint32_t kLaserHSOverTemp_G = 0x0020;
  // Word 2.
  static constexpr std::uint32_t kDuplicationDisabled = 0x0100;
  static constexpr std::uint32_t kTimeoutDisabled = 0x0200;

  bool IsMasterAlive() const { return dwStatus1 & kMasterAlive; }
  bool IsPMTFault(bool red) const { return dwStatus1 & (red ? kPMTFault_R : kPMTFault_G); }
  bool IsLaserPwrOn(bool red) const { return dwStatus1 & (red ? kLaserPwrOn_R : kLaserPwrOn_G); }
  bool IsLaserOnGreen() const { return dwStatus1 & kLaserOn_G; }
  bool IsLaserReadyGreen() const { return dwStatus1 & kLaserReady_G; }
  bool IsShutter1On() const { return !(dwStatus1 & kShutter1Closed); }
  bool IsSPIBusy() const { return dwStatus1 & kSPIBusy; }
  bool IsMasterTimeout() const { return dwStatus1 & kMasterTimeout; }

  // "MasterAlive = Yes, PMTFault_R = No, ..." (the over-current and temperature rows only
  // when verbose).
  std::string GetStatusString(int verbose) const;
};

// The DCM phase-bits word (wire-out 0x26) and status word (wire-out 0x21). Every
// operation takes a phase selector: non-zero = odd phase, zero = even phase.
struct PELLUX_API DCMStatusInfo {
  std::uint32_t dwPhaseBits = 0;
  std::uint32_t dwStatus = 0;

  bool IsLocked(int bOdd) const;
  bool IsDone(int bOdd) const;
  bool IsPhaseOK(int bOdd) const;
  bool IsPhaseErr(int bOdd) const;
  // At least 4 (odd) or 3 (even) of the phase's 7 bits set; the _V2 form: exactly.
  bool IsPhaseInPattern(int bOdd) const;
  bool IsPhaseInPattern_V2(int bOdd) const;
  bool HasPhasePattern(int bOdd) const;
  // The phase's 7 bits packed, its highest bit most significant.
  int GetPhaseBitsValue(int bOdd) const;
  bool IsDCMConfigOK(int bOdd) const;
  bool IsDCMConfigOK() const;  // both phases
};

struct PELLUX_API RawDataStatsInfo {
  double dHiAve = 0;
  double dHiStDev = 0;
  double dLoAve = 0;
  double dLoStDev = 0;
  int bIsSaturated = 0;
};

// The board's clock chip as GetPLLConfigInfo reports it.
struct PELLUX_API PLLConfigInfo {
  static constexpr int kOutputs = 6;
  double dReference = 0;
  double dVCOFrequency = 0;
  int nVCOP = 0;
  int nVCOQ = 0;
  int nDiv1Source = 0;
  int nDiv2Source = 0;
  int nDiv1Divider = 0;
  int nDiv2Divider = 0;
  struct Output {
    int bEnabled = 0;
    int nSource = 0;
    double dFrequency = 0;
  } outputs[kOutputs];
  std::string strMessage;
};

// A device-interface identifier in its binary form.
struct PELLUX_API PortDeviceGUID {
  std::uint32_t Data1 = 0;
  std::uint16_t Data2 = 0;
  std::uint16_t Data3 = 0;
  std::uint8_t Data4[8] = {};
};
