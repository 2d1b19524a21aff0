#pragma once
// The model of one connected scanner: CInstrument owns the command channel, the FLASH
// store and the scan-data port; CScanner adds the device objects, the scanner state and
// its status texts, the instrument-level commands, serial number and model, and the
// translation of controller statuses into error ids.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "Pellux/ScanDataPort.h"
#include "devices/Autoloader.h"
#include "devices/Channel.h"
#include "devices/DSP.h"
#include "devices/DeviceContext.h"
#include "devices/Flash.h"
#include "devices/Lasers.h"
#include "devices/Motor.h"
#include "devices/ScanObj.h"
#include "devices/ScannerTypes.h"
#include "link/LanComm.h"
#include "platform/thread.h"

class CInstrument : public ILanCommOwner, public IDeviceContext {
 public:
  CInstrument();
  ~CInstrument() override;
  CInstrument(const CInstrument&) = delete;
  CInstrument& operator=(const CInstrument&) = delete;

  int TranslateRuntimeError(unsigned code) override = 0;
  virtual int TranslateDSPError(unsigned code) = 0;

  CLanComm& GetComm() override { return m_Comm; }
  CFlash& GetFlash() override { return m_Flash; }
  CScanDataPort& GetDataPort() override { return m_DataPort; }

 protected:
  CLanComm m_Comm;
  CFlash m_Flash;
  CScanDataPort m_DataPort;
};

// The laser tests on the data port's control-status word (red: the red laser).
namespace PortCtrlLaser {
inline bool IsLaserHSOverTemp(std::uint32_t word, bool red) { return !red && (word & 0x20); }
inline bool IsLaserOverTemp(std::uint32_t word, bool red) { return !red && (word & 0x80); }
inline bool IsLaserReady(std::uint32_t word, bool red) { return word & (red ? 0x8000 : 0x40); }
inline bool IsLaserPowerOn(std::uint32_t word, bool red) { return word & (red ? 0x8000 : 0x100); }
inline bool IsLaserOverCurrent(std::uint32_t word, bool red) { return !red && (word & 0x200); }
inline bool IsLaserOn(std::uint32_t word, bool red) { return word & (red ? 0x8000 : 0x400); }
inline bool IsRedLaserPowerOn(std::uint32_t word) { return word & 0x8000; }
}  // namespace PortCtrlLaser

// True for the system's own slide barcodes: a format beginning with '7' and 12 digits
// beginning "25" or 14 digits beginning "16".
bool IsTarselBarcode(const char* barcode, const char* format);

// Processes pending window messages of the calling thread while the scanner waits for
// the instrument; the automation layer installs the pump (none by default).
using MessagePumpHook = void (*)();
MessagePumpHook SetMessagePumpHook(MessagePumpHook hook);
void PumpWaitingMessages();

class CScanner : public CInstrument, public ILaserStateHost, public IAutoloaderHost {
 public:
  static constexpr int kReadyPolls = 10;
  static constexpr unsigned kStatusMsgBase = 3000;

  CScanner();
  ~CScanner() override;

  // ---- error translation ------------------------------------------------------------
  int TranslateRuntimeError(unsigned code) override;
  int TranslateDSPError(unsigned code) override;

  // ---- state and flags --------------------------------------------------------------
  tagScannerState GetScannerState() const override { return m_eState; }
  void SetScannerState(tagScannerState state) override;
  static const char* GetStateName(int state);
  std::string GetStatusMsg();
  void SetStatusMsgId(unsigned id) override { m_nStatusMsgId = id; }
  unsigned GetStatusMsgId() const { return m_nStatusMsgId; }
  void SetErrorId(int id) override { m_nErrorId = id; }
  int GetErrorId() const { return m_nErrorId; }
  void SetAutoInit(bool on) { m_bAutoInit = on; }
  bool IsAutoInit() const { return m_bAutoInit; }
  void SetInitRequested(bool on) { m_bInitRequested = on; }
  bool IsInitRequested() const { return m_bInitRequested; }
  bool IsStatusThreadEnabled() const { return m_bStatusThreadEnabled; }
  void ClearStatusThreadRunning() { m_bStatusThreadRunning = false; }
  void SetScanInProgress(unsigned on) { m_nScanInProgress = on; }
  unsigned IsScanInProgress() const { return m_nScanInProgress; }
  bool IsRedLaserDid1stCalibration() const { return m_Lasers.IsRedLaserDid1stCalibration(); }
  int IsCarouselRunStarting() const { return m_nCarouselRunStarting; }
  void SetBrowseActive(bool on) { m_pAutoloader->SetBrowseActive(on); }
  bool IsBrowseActive() const { return m_pAutoloader->IsBrowseActive(); }
  // 1 when the last barcode read was of the system's own format.
  int GetBarcodeCheck() const { return m_nBarcodeCheck; }

  // ---- devices ------------------------------------------------------------------------
  CStage& GetSlowStage() { return *m_pSlowStage; }
  CStage& GetVCStage() { return *m_pVCStage; }
  CMotor& GetAFMotor() { return *m_pAFMotor; }
  CCarousel& GetCarousel() { return *m_pCarousel; }
  CArm& GetArm() { return *m_pArm; }
  // By tagMotorIDs; nullptr for another id.
  CMotor* GetMotor(int motorId);
  // By tagDSPIDs; nullptr for another id.
  CDSP* GetDSP(int dspId) {
    return dspId >= 1 && dspId <= 3 ? m_DSPs[static_cast<std::size_t>(dspId)] : nullptr;
  }
  // By tagPMTChannels; nullptr for another id.
  CChannel* GetChannel(int channel);
  CScanObj& GetScanObj() { return *m_pScanObj; }

  // ---- instrument commands -----------------------------------------------------------
  // Address and value texts are passed on as they are, but must each be one token (600).
  void Poke(const char* address, const char* value);
  unsigned char Peek(const char* address);
  void SetLEDs(unsigned char green, unsigned char yellow, unsigned char red, unsigned char mode) override;
  void SetADC(long shift, long decimation, long samples);
  std::uint32_t ReadDiagADC(unsigned char channel);
  std::uint16_t ReadPSDVal();
  void FlushDMALatch();
  int GetDSPExtendedStatus();
  std::uint32_t GetPICStatus(int n);
  void GetFWVersion(std::string& bootVersion, std::string& bootField, std::string& runtimeVersion,
                    std::string& runtimeField, std::uint32_t* ramSize);
  void GetDSPVersion(std::array<std::string, 3>& versions, std::array<std::string, 3>& fields);
  std::uint32_t ReadAutoloaderSensor();
  bool IsDoorClosed() override;
  void LockDoor();
  void UnLockDoor();
  void PrepareBarcodeReader() override;
  std::string ReadBarcode() override;
  void BarcodeReaderLaserControl(bool on);
  bool IsInstrumentReady();

  std::string GetSerialNumber();
  std::string GetModel();

  // ---- positions, autofocus, clock, carousel run ----------------------------------------
  long GlassCoordToStagePos(long coordinate, int packageType, bool bY);
  void DoEnableAutofocus(long x, long y, int packageType, double* result);
  void Set68KCurrentDateTime() override;
  int OnStartExitCarouselRun(bool bStart);
  int IsBrowseCarouselDone() { return m_pAutoloader->IsBrowseCarouselDone(); }
  long SetCmdTimeout(long timeout);

  // ---- autoloader (CAutoloader) -------------------------------------------------------------
  void ReadAutoLoaderSensors(bool* armAtCarousel, bool* armAtHolder, bool* chipInSlot, bool* aligned,
                             bool* present, bool* atHome, bool* doorClosed) {
    m_pAutoloader->ReadAutoLoaderSensors(armAtCarousel, armAtHolder, chipInSlot, aligned, present, atHome,
                                         doorClosed);
  }
  bool IsArmMoveSafe() { return m_pAutoloader->IsArmMoveSafe(); }
  std::string LoadChip(int numTriesToReadBarcode, int slot) {
    return m_pAutoloader->LoadChip(numTriesToReadBarcode, slot);
  }
  void EjectChip() { m_pAutoloader->EjectChip(); }
  void LoadCarousel() { m_pAutoloader->LoadCarousel(); }
  void EjectCarousel() { m_pAutoloader->EjectCarousel(); }
  bool RecoverArmToHolder() { return m_pAutoloader->RecoverArmToHolder(); }
  void StartBrowseCarousel(int firstSlot, int lastSlot, bool scanBarcodes) {
    m_pAutoloader->StartBrowseCarousel(firstSlot, lastSlot, scanBarcodes);
  }
  void GetBrowseCarouselInfo(int slot, int* present, char* symbology, char* barcode) {
    m_pAutoloader->GetBrowseCarouselInfo(slot, present, symbology, barcode);
  }
  void StopBrowseCarousel() { m_pAutoloader->StopBrowseCarousel(); }
  int GetCarouselSlotCount() { return m_pAutoloader->GetCarouselSlotCount(); }

  // ---- lasers (CLasers) -------------------------------------------------------------------
  void LoadLaserPowerFactors() override { m_Lasers.LoadLaserPowerFactors(); }
  double GetGreenSetPointFactor() const { return m_Lasers.GetGreenSetPointFactor(); }
  double GetGreenPDFactor() const { return m_Lasers.GetGreenPDFactor(); }
  double GetRedPDFactor() const { return m_Lasers.GetRedPDFactor(); }
  int GetGreenLaserSetPoint() { return m_Lasers.GetGreenLaserSetPoint(); }
  int GetRedLaserSetPoint() { return m_Lasers.GetRedLaserSetPoint(); }
  int ChangeLaserSetPoint(bool bRed, double level, bool bInMilliwatts) {
    return m_Lasers.ChangeLaserSetPoint(bRed, level, bInMilliwatts);
  }
  double GetLaserPower(bool bRed, bool bInMilliwatts) { return m_Lasers.GetLaserPower(bRed, bInMilliwatts); }
  std::uint16_t LaserPowerToPD(bool bRed, double milliwatts) {
    return m_Lasers.LaserPowerToPD(bRed, milliwatts);
  }
  double PDToLaserPower(bool bRed, std::uint16_t count) { return m_Lasers.PDToLaserPower(bRed, count); }
  int GetPortCtrlStatus(bool bRed) { return m_Lasers.GetPortCtrlStatus(bRed); }
  int SetOnOffLaserPowers(bool bPowerOn) { return m_Lasers.SetOnOffLaserPowers(bPowerOn); }
  void CheckLaserPowerOnOffStatus(bool& redPowerOn, bool& greenPowerOn, bool bLogStatus) {
    m_Lasers.CheckLaserPowerOnOffStatus(redPowerOn, greenPowerOn, bLogStatus);
  }
  void LaserWarmingUpStatus(bool& redReady, bool& greenReady, bool reserved, bool bLogLevels) {
    m_Lasers.LaserWarmingUpStatus(redReady, greenReady, reserved, bLogLevels);
  }
  int CheckLaserWarmingUpStatus(int& errorId, bool reserved, bool bLogLevels) {
    return m_Lasers.CheckLaserWarmingUpStatus(errorId, reserved, bLogLevels);
  }
  double GetLaserCalibrationTargets(bool bRed, bool& compensationRequired, bool bReload) {
    return m_Lasers.GetLaserCalibrationTargets(bRed, compensationRequired, bReload);
  }
  LaserStatus CalibrateLaser(bool bRed, double desiredPower, double deltaPercent, int minStableTimeSec,
                             int retries) {
    return m_Lasers.CalibrateLaser(bRed, desiredPower, deltaPercent, minStableTimeSec, retries);
  }
  int CheckLaserPowerSpec(bool bRed) { return m_Lasers.CheckLaserPowerSpec(bRed); }
  void TestLaserPowerMinMax(bool bRed, double& minMilliwatts, double& maxMilliwatts) {
    m_Lasers.TestLaserPowerMinMax(bRed, minMilliwatts, maxMilliwatts);
  }
  static int LaserStatusError(bool bRed, int result) { return CLasers::LaserStatusError(bRed, result); }
  static void ResetLaserWarmUpValues() { CLasers::ResetLaserWarmUpValues(); }

  // ---- PMT calibration (CPMTCalibration) -----------------------------------------------------
  unsigned CalculatePMTVoltage(int channel, double ratio, unsigned referenceVoltage);
  void CalibratePMT(int channelMask, unsigned pixelSizeX, double ratioRed, double ratioGreen,
                    unsigned fullVoltRed, unsigned fullVoltGreen, unsigned& newVoltRed,
                    unsigned& newVoltGreen, int& badCalibration, float laserCompensationRed,
                    float laserCompensationGreen);
  void SetDarkSubtractionValue(double redMean, double greenMean, std::int32_t& redValue,
                               std::int32_t& greenValue);

  // ---- self test, initialisation and status thread ----------------------------------------
  // Checks supplies, data port, lasers, PMTs and raw data and logs what it finds; never
  // throws, always 1.
  int SelfTest(bool bCheckLasers);
  // A diagnostic ADC count in volts (amps for the current channels); 0.0 for a bad channel.
  double GetDiagADCVoltValue(int channel, std::uint32_t raw);
  // The initialisation steps (lasers skipped) on the calling thread; throws the error id.
  void InitializeSync();
  // Requests an initialisation and starts the status thread unless it runs already.
  void StartStatusThread();
  // Clears the run flag: the thread ends after its pass, an initialisation at its next
  // abort check.
  void StopStatusThread();
  // True until the status thread has left its loop.
  bool IsStatusThreadRunning() const override { return m_bStatusThreadRunning; }

 private:
  // One exchange under the command mutex: `line`, reply reader, release; logs
  // `failure` (debug 1, with the id) and throws a non-zero result. Returns the rest.
  std::string Command(const std::string& line, const char* failure);
  int TranslateSpecial(unsigned code);
  // A FLASH text read under the command mutex; nullopt when the store has no such key,
  // or (with `busy` set) when the mutex could not be had.
  std::optional<std::string> ReadIdentity(const char* key, bool& busy);

  std::string m_strModel;
  std::atomic<bool> m_bAutoInit{false};
  std::atomic<bool> m_bInitRequested{false};
  std::atomic<bool> m_bStatusThreadEnabled{false};
  std::atomic<bool> m_bStatusThreadRunning{false};
  std::atomic<tagScannerState> m_eState{kStateOffline};
  std::atomic<unsigned> m_nStatusMsgId{kStatusMsgBase + kStateOffline};
  std::atomic<int> m_nErrorId{0};

  std::atomic<unsigned> m_nScanInProgress{0};
  std::atomic<int> m_nCarouselRunStarting{0};

  std::unique_ptr<CStage> m_pSlowStage;
  std::unique_ptr<CStage> m_pVCStage;
  std::unique_ptr<CMotor> m_pAFMotor;
  std::unique_ptr<CCarousel> m_pCarousel;
  std::unique_ptr<CArm> m_pArm;
  std::unique_ptr<CScanObj> m_pScanObj;
  std::unique_ptr<CAutoloader> m_pAutoloader;
  std::array<CChannel, 4> m_Channels;
  std::unique_ptr<CScanDSP> m_pScanDSP;
  std::unique_ptr<CDSP> m_pVCStageDSP;
  std::unique_ptr<CDSP> m_pAFDSP;
  std::array<CDSP*, 4> m_DSPs{};

  std::atomic<int> m_nBarcodeCheck{0};

  CLasers m_Lasers{m_Flash, m_DataPort, *this, kStatusMsgBase};
  // ---- self test, initialisation and status thread ----
  friend std::uint32_t StatusProc(CScanner& scanner);
  // Stops the status thread and waits for it (before the devices go away).
  void ShutdownStatusThread();
  platform::Thread m_StatusThread;
  // Serialises starting, stopping and the thread's decision to end.
  std::mutex m_StatusThreadMutex;
  // Counts StopStatusThread calls, so that InitializeSync never undoes a stop.
  unsigned m_nStopRequests = 0;
};
