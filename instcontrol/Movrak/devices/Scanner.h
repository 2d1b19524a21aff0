#pragma once
// The model of one connected scanner: CInstrument owns the command channel, the FLASH
// store and the scan-data port; CScanner adds the device objects, the scanner state and
// its status texts, the instrument-level commands, serial number and model, and the
// translation of controller statuses into error ids.
#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Pellux/ScanDataPort.h"
#include "devices/Channel.h"
#include "devices/DSP.h"
#include "devices/Flash.h"
#include "devices/Motor.h"
#include "devices/ScanObj.h"
#include "devices/ScannerTypes.h"
#include "link/LanComm.h"

class CInstrument : public ILanCommOwner {
 public:
  CInstrument();
  ~CInstrument() override;
  CInstrument(const CInstrument&) = delete;
  CInstrument& operator=(const CInstrument&) = delete;

  int TranslateRuntimeError(unsigned code) override = 0;
  virtual int TranslateDSPError(unsigned code) = 0;
  virtual void SetLEDs(unsigned char green, unsigned char yellow, unsigned char red, unsigned char mode) = 0;
  // After a laser power conversion factor was written to the store.
  virtual void LoadLaserPowerFactors() = 0;

  CLanComm& GetComm() { return m_Comm; }
  CFlash& GetFlash() { return m_Flash; }
  CScanDataPort& GetDataPort() { return m_DataPort; }

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

class CScanner : public CInstrument {
 public:
  static constexpr int kReadyPolls = 10;
  static constexpr unsigned kStatusMsgBase = 3000;

  CScanner();
  ~CScanner() override;

  // ---- error translation ------------------------------------------------------------
  int TranslateRuntimeError(unsigned code) override;
  int TranslateDSPError(unsigned code) override;

  // ---- state and flags --------------------------------------------------------------
  tagScannerState GetScannerState() const { return m_eState; }
  void SetScannerState(tagScannerState state);
  static const char* GetStateName(int state);
  std::string GetStatusMsg();
  void SetStatusMsgId(unsigned id) { m_nStatusMsgId = id; }
  unsigned GetStatusMsgId() const { return m_nStatusMsgId; }
  void SetErrorId(int id) { m_nErrorId = id; }
  int GetErrorId() const { return m_nErrorId; }
  void SetAutoInit(bool on) { m_bAutoInit = on; }
  bool IsAutoInit() const { return m_bAutoInit; }
  void SetInitRequested(bool on) { m_bInitRequested = on; }
  bool IsInitRequested() const { return m_bInitRequested; }
  bool IsStatusThreadEnabled() const { return m_bStatusThreadEnabled; }
  void StopStatusThread() { m_bStatusThreadEnabled = false; }
  bool IsStatusThreadRunning() const { return m_bStatusThreadRunning; }
  void ClearStatusThreadRunning() { m_bStatusThreadRunning = false; }
  void SetScanInProgress(unsigned on) { m_nScanInProgress = on; }
  unsigned IsScanInProgress() const { return m_nScanInProgress; }
  bool IsRedLaserDid1stCalibration() const { return m_bRedLaserDid1stCalibration; }
  int IsCarouselRunStarting() const { return m_nCarouselRunStarting; }
  void SetBrowseActive(bool on) { m_bBrowseActive = on; }
  bool IsBrowseActive() const { return m_bBrowseActive; }
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
  bool IsDoorClosed();
  void LockDoor();
  void UnLockDoor();
  void PrepareBarcodeReader();
  std::string ReadBarcode();
  void BarcodeReaderLaserControl(bool on);
  bool IsInstrumentReady();

  std::string GetSerialNumber();
  std::string GetModel();

  // ---- positions, autofocus, clock, carousel run ----------------------------------------
  long GlassCoordToStagePos(long coordinate, int packageType, bool bY);
  void DoEnableAutofocus(long x, long y, int packageType, double* result);
  void Set68KCurrentDateTime() override;
  int OnStartExitCarouselRun(bool bStart);
  int IsBrowseCarouselDone();
  long SetCmdTimeout(long timeout);

  // ---- laser power factors --------------------------------------------------------------
  void LoadLaserPowerFactors() override;
  double GetGreenSetPointFactor() const { return m_dGreenSetPointPerMWatt; }
  double GetGreenPDFactor() const { return m_dGreenPDPerMWatt; }
  double GetRedPDFactor() const { return m_dRedPDPerMWatt; }

  // ---- scanner operations pending merge (drop at merge) ----
  std::string LoadChip(int numTriesToReadBarcode, int slot);
  void EjectChip();
  void LoadCarousel();
  void EjectCarousel();
  void StartBrowseCarousel(int firstSlot, int lastSlot, bool scanBarcodes);
  void GetBrowseCarouselInfo(int slot, int* present, char* symbology, char* barcode);
  void StopBrowseCarousel();
  int ChangeLaserSetPoint(bool bRed, double level, bool bInMilliwatts);
  double GetLaserPower(bool bRed, bool bInMilliwatts);
  int GetPortCtrlStatus(bool bRed);
  int SetOnOffLaserPowers(bool bPowerOn);
  void LaserWarmingUpStatus(bool& redReady, bool& greenReady, bool reserved, bool bLogLevels);
  LaserStatus CalibrateLaser(bool bRed, double desiredPower, double deltaPercent, int minStableTimeSec, int retries);
  int CheckLaserPowerSpec(bool bRed);
  void TestLaserPowerMinMax(bool bRed, double& minMilliwatts, double& maxMilliwatts);
  unsigned CalculatePMTVoltage(int channel, double ratio, unsigned referenceVoltage);
  void CalibratePMT(int channelMask, double pixelSizeX, double ratioRed, double ratioGreen, unsigned fullVoltRed,
                    unsigned fullVoltGreen, unsigned& newVoltRed, unsigned& newVoltGreen, int& badCalibration,
                    double laserCompensationRed, double laserCompensationGreen);
  void SetDarkSubtractionValue(double redMean, double greenMean, std::int32_t& redValue, std::int32_t& greenValue);
  int SelfTest(bool bCheckLasers);
  void InitializeSync();
  void StartStatusThread();
  // ---- end of scanner operations pending merge ----

 private:
  // One exchange under the command mutex: `line`, reply reader, release; logs
  // `failure` (debug 1, with the id) and throws a non-zero result. Returns the rest.
  std::string Command(const std::string& line, const char* failure);
  int TranslateSpecial(unsigned code);
  // A FLASH text read under the command mutex; nullopt when the store has no such key,
  // or (with `busy` set) when the mutex could not be had.
  std::optional<std::string> ReadIdentity(const char* key, bool& busy);

  // Carousel browse (its buffers belong to the browse sequence).
  std::vector<std::uint8_t> m_BrowsePresence;
  std::vector<char> m_BrowseBarcodes;
  std::vector<int> m_BrowseInfo;
  bool m_bBrowseActive = false;
  int m_nBrowseSlot = -1;

  std::string m_strModel;
  bool m_bAutoInit = false;
  bool m_bInitRequested = false;
  std::atomic<bool> m_bStatusThreadEnabled{false};
  std::atomic<bool> m_bStatusThreadRunning{false};
  std::atomic<tagScannerState> m_eState{kStateOffline};
  std::atomic<unsigned> m_nStatusMsgId{kStatusMsgBase + kStateOffline};
  std::atomic<int> m_nErrorId{0};

  double m_dGreenSetPointPerMWatt = 0;
  double m_dGreenPDPerMWatt = 0;
  double m_dRedPDPerMWatt = 0;
  bool m_bRedLaserDid1stCalibration = false;

  std::atomic<unsigned> m_nScanInProgress{0};
  std::atomic<int> m_nCarouselRunStarting{0};

  std::unique_ptr<CStage> m_pSlowStage;
  std::unique_ptr<CStage> m_pVCStage;
  std::unique_ptr<CMotor> m_pAFMotor;
  std::unique_ptr<CCarousel> m_pCarousel;
  std::unique_ptr<CArm> m_pArm;
  std::unique_ptr<CScanObj> m_pScanObj;
  std::array<CChannel, 4> m_Channels;
  std::unique_ptr<CScanDSP> m_pScanDSP;
  std::unique_ptr<CDSP> m_pVCStageDSP;
  std::unique_ptr<CDSP> m_pAFDSP;
  std::array<CDSP*, 4> m_DSPs{};

  std::atomic<int> m_nBarcodeCheck{0};
};
