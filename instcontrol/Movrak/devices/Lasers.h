#pragma once
// The scanner's lasers: conversion factors and set points from FLASH, switching through
// the data port, the warm-up check the status thread runs, the power calibration with
// its derating flag, and the power min/max test. Failures are thrown as int error ids.
#include <atomic>
#include <cstdint>
#include <mutex>

#include "Pellux/DataPortTypes.h"
#include "devices/ScannerTypes.h"

class CFlash;
class CScanDataPort;
struct PortCtrlStatus;

// Where the lasers report the scanner state that switching them and a failed
// calibration decide.
class ILaserStateHost {
 public:
  virtual void SetScannerState(tagScannerState state) = 0;
  virtual void SetStatusMsgId(unsigned id) = 0;
  virtual void SetErrorId(int id) = 0;

 protected:
  ~ILaserStateHost() = default;
};

class CLasers {
 public:
  CLasers(CFlash& flash, CScanDataPort& port, ILaserStateHost& host, unsigned statusMsgBase)
      : m_Flash(flash), m_DataPort(port), m_Host(host), m_nStatusMsgBase(statusMsgBase) {}
  CLasers(const CLasers&) = delete;
  CLasers& operator=(const CLasers&) = delete;

  // ---- power factors ----
  void LoadLaserPowerFactors();
  double GetGreenSetPointFactor() const { return m_dGreenSetPointPerMWatt; }
  double GetGreenPDFactor() const { return m_dGreenPDPerMWatt; }
  double GetRedPDFactor() const { return m_dRedPDPerMWatt; }

  // ---- set points, power and switching ----
  int GetGreenLaserSetPoint();
  int GetRedLaserSetPoint();
  int ChangeLaserSetPoint(bool bRed, double level, bool bInMilliwatts);
  double GetLaserPower(bool bRed, bool bInMilliwatts);
  // Milliwatts to photodiode counts, truncated and held within 0..65535.
  std::uint16_t LaserPowerToPD(bool bRed, double milliwatts);
  double PDToLaserPower(bool bRed, std::uint16_t count);
  int GetPortCtrlStatus(bool bRed);
  int SetOnOffLaserPowers(bool bPowerOn);
  void CheckLaserPowerOnOffStatus(bool& redPowerOn, bool& greenPowerOn, bool bLogStatus);

  // ---- warm-up ----
  // `reserved` reloads the red calibration target (the status thread's first check).
  void LaserWarmingUpStatus(bool& redReady, bool& greenReady, bool reserved, bool bLogLevels);
  int CheckLaserWarmingUpStatus(int& errorId, bool reserved, bool bLogLevels);
  // Entering kStateWarming: the erratic watch level again from the registry, no last red power.
  void OnEnterWarming();
  // The warm-up values a new process starts with (the registry is read again).
  static void ResetLaserWarmUpValues();

  // ---- calibration and tests ----
  double GetLaserCalibrationTargets(bool bRed, bool& compensationRequired, bool bReload);
  LaserStatus CalibrateLaser(bool bRed, double desiredPower, double deltaPercent, int minStableTimeSec,
                             int retries);
  int CheckLaserPowerSpec(bool bRed);
  void TestLaserPowerMinMax(bool bRed, double& minMilliwatts, double& maxMilliwatts);
  // The error id CheckLaserPowerSpec throws for a calibration result other than 0 and the
  // out-of-specification results 5 to 7.
  static int LaserStatusError(bool bRed, int result);
  bool IsRedLaserDid1stCalibration() const { return m_bRedLaserDid1stCalibration; }

 private:
  void EnsureLaserPowerFactors();
  double LaserPDFactor(bool bRed);
  // A FLASH number of the laser table: its default on a missing key, other errors thrown.
  double LaserFlashValue(const char* key, double def);
  void CheckGreenLaserFaults(const PortCtrlStatus& status);
  void TestRedPDGains();
  // One calibration of CheckLaserPowerSpec: 1 on success, 0 for out of specification.
  int CalibrateToSpec(bool bRed, bool& compensationRequired);

  CFlash& m_Flash;
  CScanDataPort& m_DataPort;
  ILaserStateHost& m_Host;
  const unsigned m_nStatusMsgBase;

  std::atomic<double> m_dGreenSetPointPerMWatt{0};
  std::atomic<double> m_dGreenPDPerMWatt{0};
  std::atomic<double> m_dRedPDPerMWatt{0};
  std::atomic<bool> m_bRedLaserDid1stCalibration{false};
  // Both laser targets (mW) and compensation flags, guarded: the status thread and the
  // automation threads both calibrate.
  std::mutex m_LaserTargetsLock;
  double m_dLaserTarget[2] = {0, 0};  // [0] green, [1] red
  bool m_bLaserCompensation[2] = {false, false};
  std::atomic<bool> m_bGreenHSOverTemp{false};
  std::atomic<bool> m_bGreenOverTemp{false};
  std::atomic<bool> m_bGreenOverCurrent{false};
};
