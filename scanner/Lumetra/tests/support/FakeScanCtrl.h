#pragma once
// A scriptable stand-in for the automation server's IScanCtrl, for the scanner user
// interface's tests. Every call is logged ("Name(arg,...)" with the input arguments),
// may be scripted to fail with an error id (the HRESULT 0x80040000 | id with the
// description set as the server sets it), and may run a hook first (to block on an event,
// count, or change the answers). The answers come from the public fields below; tests
// set them before the object is used from other threads, or inside Locked().
//
// Scan data (SDPGetData in run mode 1) comes from a byte queue filled by AppendScanData
// (or from the DataSource function); SDPGetAvailableByteCnt reports what is queued unless
// PortBacklog says otherwise.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "Movrak/IScanCtrl.h"
#include "platform/com.h"

namespace lumetra_test {

class FakeScanCtrl final : public platform::com::Object<IScanCtrl> {
 public:
  using HRESULT = platform::com::HRESULT;

  // A new object with one reference, held by the result.
  static platform::com::ComPtr<FakeScanCtrl> Create();

  // ---- scripting ---------------------------------------------------------------------------
  // The next `count` calls of `method` (-1: every call until cleared) fail with `errorId`;
  // the description is `description`, or "Unknown error: %d" when empty.
  void Fail(const std::string& method, int errorId, int count = 1, const std::string& description = {});
  void ClearFailures();
  // Runs before `method` answers (after a scripted failure, which wins); a result other
  // than S_OK is returned as the call's result, with the error information the hook set.
  void Hook(const std::string& method, std::function<HRESULT()> hook);
  // The calls so far, in order; only those whose text starts with `prefix` when given.
  std::vector<std::string> Calls(const std::string& prefix = {}) const;
  int CallCount(const std::string& method) const;
  void ClearCalls();
  // Blocks (in real time, at most `timeout`) until `method` has been called `count` times.
  bool WaitForCalls(const std::string& method, int count,
                    std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

  // ---- scan data ---------------------------------------------------------------------------
  void AppendScanData(std::span<const std::uint8_t> bytes);
  std::size_t QueuedScanBytes() const;
  // Replaces the queue: (buffer, buffer size, requested bytes) -> bytes stored.
  std::function<long(unsigned char*, long, long)> DataSource;
  // Replaces the queued count as the port's byte count.
  std::function<std::uint32_t()> PortBacklog;
  bool AbortRequested() const { return abort_.load(); }

  // Runs `f` under the object's lock (for fields changed while other threads call).
  template <typename F>
  void Locked(F&& f) {
    std::lock_guard lock(mutex_);
    f();
  }

  // ---- answers -----------------------------------------------------------------------------
  struct Stats {
    double hiMean = 0, hiStDev = 0, loMean = 0, loStDev = 0;
    BOOL32 saturated = 0;
    BOOL32 result = 1;
  };
  struct Slot {
    BOOL32 present = 0;
    unsigned char symbology = 0;
    std::string barcode;
  };
  std::map<std::string, std::string> flash;  // keys compared without regard to case
  tagScannerState state = kStateReady;
  std::string statusMsg = "Scanner ready.";
  std::string serialNumber = "SN000001", model = "K7431B",
              softwareVersion = "Version A.0.0.0   Jan  1 2024 00:00:00";
  std::string firmwareRun = "RT 1.0", firmwareBoot = "BOOT 1.0";
  ULONG ramSize = 0x100000;
  std::string dspScan = "SCAN 1.0", dspVC = "VC 1.0", dspAF = "AF 1.0";
  double pmtVoltageSetting[4] = {500.0, 600.0, 0.0, 0.0};
  BOOL32 runtimeOnline = 1;
  BOOL32 sdpOpen = 1, sdpReady = 1, sdpConfigured = 1, initRunModeResult = 1;
  LONG darkRed = 0, darkGreen = 0;
  std::string barcode;
  LONG isTarselBarcode = 0;
  BOOL32 chipPresent = 1, doorClosed = 1;
  LONG adcReset = 0, afStats = 0;
  double afStatsEx = 0, chipThickness = 0;
  int simpleErrCounts = 0;
  unsigned newVoltRed = 0, newVoltGreen = 0;
  ULONG flashVoltage[2] = {0, 0};  // PMTGetFlashVoltage: the factory voltage by channel
  BOOL32 badPMTCalib = 0, calibrateLaserResult = 1, laserPowersResult = 1;
  BOOL32 redLaserDid1stCalibration = 1, redLaserReadyToAdjust = 1;
  std::map<int, Slot> slots;                        // GetBrowseCarouselInfo by slot number
  std::set<std::pair<int, unsigned>> errorClasses;  // CheckErrorCode matches
  // SDPGetRaw...Stats answers by kind ("Raw", "Gain", "Offset", "Gated") and colour (0 red, 1 green).
  std::map<std::pair<std::string, int>, Stats> stats;
  // The last values the calls handed in.
  double darkRedMean = 0, darkGreenMean = 0;
  std::map<std::string, ULONG> flashWritten;

  // ---- IScanCtrl ---------------------------------------------------------------------------
  HRESULT Connect(const std::string& bstrConnectString) override;
  HRESULT Disconnect() override;
  HRESULT Initialize() override;
  HRESULT AbortScan() override;
  HRESULT LoadCarousel() override;
  HRESULT AdvanceCarousel(tagCarouselDir eDir, LONG lCount) override;
  HRESULT EjectChip() override;
  HRESULT EjectCarousel() override;
  HRESULT IsChipPresent(BOOL32* pbPresent) override;
  HRESULT put_ScanRegionOriginX(LONG newVal) override;
  HRESULT put_ScanRegionOriginY(LONG newVal) override;
  HRESULT put_ScanRegionWidth(LONG newVal) override;
  HRESULT put_ScanRegionHeight(LONG newVal) override;
  HRESULT put_ScanRed(LONG newVal) override;
  HRESULT put_ScanGreen(LONG newVal) override;
  HRESULT StartScan(float* ffX, float* ffY, float* ffSlope) override;
  HRESULT EndScan() override;
  HRESULT GetScanLine(LONG lPoints, std::uint16_t* pPoints) override;
  HRESULT put_PixelSizeX(unsigned newVal) override;
  HRESULT put_PixelSizeY(unsigned newVal) override;
  HRESULT put_BinX(unsigned newVal) override;
  HRESULT put_BinY(unsigned newVal) override;
  HRESULT get_InstrumentSerialNumber(std::string* pVal) override;
  HRESULT get_InstrumentModel(std::string* pVal) override;
  HRESULT get_SoftwareVersion(std::string* pVal) override;
  HRESULT get_PMTVoltageSetting(LONG eChannel, double* pVal) override;
  HRESULT FirmwareVersion(std::string* pRunStr, std::string* pBootStr, ULONG* pRAMSize) override;
  HRESULT ScannerStateMsg(tagScannerState eState, std::string* pVal) override;
  HRESULT get_StatusMsg(std::string* pStr) override;
  HRESULT get_ScannerState(tagScannerState* pVal) override;
  HRESULT put_ChipActiveOriginX(LONG newVal) override;
  HRESULT put_ChipActiveOriginY(LONG newVal) override;
  HRESULT put_ChipActiveWidth(LONG newVal) override;
  HRESULT put_ChipActiveHeight(LONG newVal) override;
  HRESULT put_ChipOriginX(LONG newVal) override;
  HRESULT put_ChipOriginY(LONG newVal) override;
  HRESULT DSPVersion(std::string* pbstrScan, std::string* pbstrVC, std::string* pbstrAF) override;
  HRESULT get_Barcode(std::string* pVal) override;
  HRESULT put_AFPosX(LONG newVal) override;
  HRESULT put_AFPosY(LONG newVal) override;
  HRESULT CalibrateLasers() override;
  HRESULT MeasureDarkOffset(LONG lMask, LONG lNumSamples, LONG lArrayLength, std::int16_t* sArray) override;
  HRESULT LockDoor() override;
  HRESULT UnLockDoor() override;
  HRESULT IsDoorClosed(BOOL32* pbIsClosed) override;
  HRESULT put_OutScale(LONG newVal) override;
  HRESULT DSPMemDump(tagDSPIDs eDSPId, std::uint16_t wStartAddr, std::uint16_t wNumWords,
                     const std::string& bstrFileName) override;
  HRESULT GetAFStats(LONG* pVal) override;
  HRESULT SetPackageType(LONG lPackType) override;
  HRESULT LoadChip(int numTriesToReadBarcode, int nSlotToLoadFrom) override;
  HRESULT PMTChangeVoltage(tagPMTChannels eChannelId, ULONG ulVoltage) override;
  HRESULT PMTGetVoltage(tagPMTChannels eChannelId, ULONG* pVoltage) override;
  HRESULT PMTGetNomCalibSignal(tagPMTChannels eChannelId, ULONG* pVal) override;
  HRESULT PMTGetFlashVoltage(tagPMTChannels eChannelId, ULONG* pVoltage) override;
  HRESULT InitializeSync() override;
  HRESULT CheckLaserStatus() override;
  HRESULT CheckErrorCode(int iErrorCode, unsigned errorSymbol, BOOL32* pbMatch) override;
  HRESULT StartScanAF(float* ffX, float* ffY, float* ffSlope, BOOL32 bEnableAF) override;
  HRESULT get_IsTarselBarcode(LONG* pVal) override;
  HRESULT StartBrowseCarousel(int nFirstSlot, int nLastSlot, BOOL32 bScanBarcodes) override;
  HRESULT GetBrowseCarouselInfo(int nSlotNo, BOOL32* pbChipInSlot, unsigned char* pcSymbology,
                                unsigned char* pszBarcode) override;
  HRESULT StopBrowseCarousel() override;
  HRESULT CalibrationLightSource(BOOL32 bLightSourceOn) override;
  HRESULT CalibratePMT(unsigned uChannelMask, double dRatioRed, double dRatioGreen, unsigned uFullVoltRed,
                       unsigned uFullVoltGreen, unsigned* uNewVoltRed, unsigned* uNewVoltGreen,
                       BOOL32* bBadPMTCalib, float fred, float fgreen) override;
  HRESULT SetDarkSubtractionValue(double dRedMean, double dGreenMean, LONG* lRedValue,
                                  LONG* lGreenValue) override;
  HRESULT get_ChipThickness(double* pVal) override;
  HRESULT LaserPowerStatus(BOOL32 bRed, BOOL32* pbPowerOn) override;
  HRESULT LaserPowerRequest(BOOL32 bRed, BOOL32 bOn) override;
  HRESULT RemoveAllLaserPowerRequests() override;
  HRESULT GetLaserSetPointChange(float* fRedSetPointChange, float* fGreenSetPointChange) override;
  HRESULT put_Scan5umUseOnePass(LONG newVal) override;
  HRESULT IsADCReset(LONG* pbIsReset) override;
  HRESULT ResetADCResetFlag() override;
  HRESULT IsCarouselAligned(BOOL32* pbAligned) override;
  HRESULT InitStartScan(float* ffX, float* ffY, float* ffSlope, BOOL32 bEnableAF) override;
  HRESULT StartScan_C() override;
  HRESULT FlashGetString(const std::string& bstrKeyName, std::string* pbstrVal) override;
  HRESULT FlashGetLong(const std::string& bstrKeyName, LONG* plVal) override;
  HRESULT FlashGetUnsigned(const std::string& bstrKeyName, ULONG* pulVal) override;
  HRESULT FlashGetUnsignedDef(const std::string& bstrKeyName, ULONG ulDefault, ULONG* pulVal) override;
  HRESULT FlashSetUnsigned(const std::string& bstrKeyName, ULONG ulVal) override;
  HRESULT FlashBurn() override;
  HRESULT SDPIsOpen(BOOL32* pbOpen) override;
  HRESULT SDPIsConfigured(BOOL32* pbCfged) override;
  HRESULT SDPIsDCMPhaseOK(BOOL32* pbPhaseOK) override;
  HRESULT SDPIsReady(BOOL32* pbReady) override;
  HRESULT SDPGetDeviceVersion(std::string* pVal) override;
  HRESULT SDPGetDeviceSN(std::string* pVal) override;
  HRESULT SDPGetDeviceID(std::string* pVal) override;
  HRESULT SDPGetFPGAVersion(std::string* pVal) override;
  HRESULT SDPCfgDCMReset(BOOL32 bOddPhase, BOOL32* pbRtn) override;
  HRESULT SDPCfgDCMStepInc(BOOL32 bOddPhase, BOOL32* pbRtn) override;
  HRESULT SDPCfgDCMStepDec(BOOL32 bOddPhase, BOOL32* pbRtn) override;
  HRESULT SDPCfgDCMShiftPhase(BOOL32 bOddPhase, BOOL32* pbRtn) override;
  HRESULT SDPAutoAdjustDCMs(BOOL32 bOddPhase) override;
  HRESULT SDPGetDCMCfgInfo(LONG* pFCValue, LONG* pDCMStats) override;
  HRESULT SDPGetCtrlStats(LONG* pStatus1, LONG* pStatus2, BOOL32* pbRtn) override;
  HRESULT SDPClearCtrlErr() override;
  HRESULT SDPSetLaserOnOff(BOOL32 bRed, BOOL32 bOn) override;
  HRESULT SDPSetLaserPWOnOff(BOOL32 bRed, BOOL32 bOn) override;
  HRESULT SDPSetLaserSetPoint(BOOL32 bRed, double dSetLevel, BOOL32 bInMWatts) override;
  HRESULT SDPGetLaserPower(BOOL32 bRed, BOOL32 bInMWatts, double* pPower) override;
  HRESULT SDPGetPMTVoltage(BOOL32 bRed, LONG* pVolt) override;
  HRESULT SDPSetPMTVoltage(BOOL32 bRed, std::uint16_t nVolt) override;
  HRESULT SDPSetHeNePD(std::uint16_t nPhotodiode) override;
  HRESULT SDPSetSPIWriteData(std::uint16_t nData) override;
  HRESULT SDPKeepAlive(BOOL32* pbRtn) override;
  HRESULT SDPLoadFPGA(const std::string& bstrFileName) override;
  HRESULT SDPOpenPort(const std::string& bstrFileName) override;
  HRESULT SDPAutoAdjustDCMPhases(BOOL32* pbRtn) override;
  HRESULT SDPConfigPort(const std::string& bstrSN, const std::string& bstrFileName, BOOL32* pbRtn) override;
  HRESULT SDPFindPort(std::string* pbstrPortSN) override;
  HRESULT SDPInitRunMode(unsigned uiRunMode, unsigned uiSamplingMode, BOOL32* pbRtn) override;
  HRESULT SDPGetAvailableByteCnt(ULONG* pulByteCnt) override;
  HRESULT SDPReadFakeData(BOOL32 bSaveData, ULONG* pulByteCnt) override;
  HRESULT SDPGetData(unsigned uiRunMode, unsigned char* pBuffer, LONG lBufAvailable, LONG lPacketSize,
                     ULONG* pulByteCnt) override;
  HRESULT SDPSetAbort(BOOL32 bAbort) override;
  HRESULT SDPIsBusy(BOOL32* pbBusy) override;
  HRESULT IsRuntimeOnline(BOOL32* pbOnline) override;
  HRESULT SDPEnablingShutdown(BOOL32 bEnable) override;
  HRESULT SDPShutterOpenClose(BOOL32 bOpen, BOOL32 bShutter1) override;
  HRESULT SDPBlockLasers(BOOL32 bBlock) override;
  HRESULT FSMotorDriverOnOff(BOOL32 bOn) override;
  HRESULT SetFSMotorCtrlMode(tagMotorCtrlMode eMode) override;
  HRESULT RunHeNeHWPMotor(BOOL32 bForward, std::int16_t nSpeed) override;
  HRESULT SDPIsInitCfgSkipped(BOOL32* pbSkipped) override;
  HRESULT put_ScanDoublePass(LONG newVal) override;
  HRESULT SDPSetPMTVoltageEx(BOOL32 bRed, std::uint16_t nVolt, BOOL32 bNeedDisableShutdown) override;
  HRESULT PMTChangeVoltageEx(tagPMTChannels eChannelId, ULONG ulVoltage,
                             BOOL32 bNeedDisableShutdown) override;
  HRESULT CalculatePMTVoltage(tagPMTChannels eChannelId, double dPMTRatio, ULONG ulVoltRef,
                              ULONG* pVoltNew) override;
  HRESULT CalibrateLaserEx(BOOL32 bRed, double dTargetLevel, double dAllowDelta,
                           std::uint16_t uMinStableTimeSec, std::int16_t nRetry, BOOL32* pbRtn) override;
  HRESULT IsRedLaserReadyToAdjust(BOOL32* pbRtn) override;
  HRESULT GetAFStatsEx(double* pVal) override;
  HRESULT GetRedLaserLastOnMinutes(ULONG* pRtn) override;
  HRESULT CheckLaserWarmingUpStatus(BOOL32 bForInitCheck, BOOL32* pbReadyRed, BOOL32* pbReadyGreen) override;
  HRESULT CalibrateLaser(BOOL32 bRed, BOOL32* pbRtn) override;
  HRESULT IsRedLaserDid1stCalibration(BOOL32* pbRtn) override;
  HRESULT SDPGetSimpleErrCounts(int* pRtVal) override;
  HRESULT SDPClearSimpleErrCounts() override;
  HRESULT SDPEnableMasterTimeout(BOOL32 bEnable) override;
  HRESULT SDPEnableSimpleDuplication(BOOL32 bEnable) override;
  HRESULT SetOnOffLaserPowers(BOOL32 bPowerOn, BOOL32* pbRtn) override;
  HRESULT GetRedLaserPowerReadyToAdjustMinWaitTime(LONG* pRtn) override;
  HRESULT GetRedLaserPowerReadyToAdjustWaitTimeLeft(LONG* pRtn) override;
  HRESULT SelfTest(LONG* pRtn) override;
  HRESULT OnStartExitCarouselRun(BOOL32 bStart) override;
  HRESULT TestLaserPowerMinMax(BOOL32 bRed, double* pMWattsMin, double* pMWattsMax) override;
  HRESULT SDPGetRawData(LONG lNumSamples, BOOL32 bGreen, unsigned char* pBuffer, LONG lBufAvailable,
                        BOOL32* pbRtn) override;
  HRESULT SDPGetRawGainData(LONG lNumSamples, BOOL32 bGreen, unsigned char* pBuffer, LONG lBufAvailable,
                            BOOL32* pbRtn) override;
  HRESULT SDPGetRawOffsetData(LONG lNumSamples, BOOL32 bGreen, unsigned char* pBuffer, LONG lBufAvailable,
                              BOOL32* pbRtn) override;
  HRESULT SDPGetRawGatedData(LONG lNumSamples, BOOL32 bGreen, unsigned char* pBuffer, LONG lBufAvailable,
                             BOOL32* pbRtn) override;
  HRESULT SDPGetRawDataStats(LONG lNumSamples, BOOL32 bGreen, int nPixelSizeX,
                             const std::string& bstrDumpFileName, double* pdHiAve, double* pdHiStDev,
                             double* pdLoAve, double* pdLoStDev, BOOL32* pbIsSaturated,
                             BOOL32* pbRtn) override;
  HRESULT SDPGetRawGainStats(LONG lNumSamples, BOOL32 bGreen, int nPixelSizeX,
                             const std::string& bstrDumpFileName, double* pdHiAve, double* pdHiStDev,
                             double* pdLoAve, double* pdLoStDev, BOOL32* pbRtn) override;
  HRESULT SDPGetRawOffsetStats(LONG lNumSamples, BOOL32 bGreen, int nPixelSizeX,
                               const std::string& bstrDumpFileName, double* pdHiAve, double* pdHiStDev,
                               double* pdLoAve, double* pdLoStDev, BOOL32* pbRtn) override;
  HRESULT SDPGetRawGatedStats(LONG lNumSamples, BOOL32 bGreen, int nPixelSizeX,
                              const std::string& bstrDumpFileName, double* pdHiAve, double* pdHiStDev,
                              double* pdLoAve, double* pdLoStDev, BOOL32* pbRtn) override;
  HRESULT SDPGetMeasuringData(LONG lNumSamples, unsigned uSamplingMode, unsigned char* pBuffer,
                              LONG lBufAvailable, BOOL32* pbRtn) override;

 private:
  FakeScanCtrl() = default;
  ~FakeScanCtrl() override = default;

  struct Failure {
    int errorId;
    int count;
    std::string description;
  };
  // Logs the call, then a scripted failure or the hook's result; S_OK to answer.
  HRESULT Call(const std::string& method, std::initializer_list<std::string> args);
  static std::string Arg(const std::string& v) { return v; }
  static std::string Arg(double v);
  static std::string Arg(long long v) { return std::to_string(v); }
  static std::string Arg(unsigned long long v) { return std::to_string(v); }
  static std::string Arg(int v) { return std::to_string(v); }
  static std::string Arg(unsigned v) { return std::to_string(v); }
  static std::string Arg(long v) { return std::to_string(v); }
  static std::string Arg(unsigned long v) { return std::to_string(v); }
  static std::string Arg(short v) { return std::to_string(v); }
  static std::string Arg(unsigned short v) { return std::to_string(v); }
  HRESULT StatsCall(const std::string& method, const std::string& kind, LONG samples, BOOL32 green,
                    int pixelSizeX, double* hi, double* hiSd, double* lo, double* loSd, BOOL32* saturated,
                    BOOL32* result);
  const std::string* FlashValue(const std::string& key) const;

  mutable std::mutex mutex_;
  mutable std::condition_variable called_;
  std::vector<std::string> calls_;
  std::map<std::string, int> callCounts_;
  std::map<std::string, Failure> failures_;
  std::map<std::string, std::function<HRESULT()>> hooks_;
  std::deque<std::uint8_t> data_;
  std::atomic<bool> abort_{false};
};

}  // namespace lumetra_test
