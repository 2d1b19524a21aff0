#pragma once
// The object behind "Movrak.ScanCtrl": its fields, the method frame that turns every
// failure into an HRESULT with error information and one log line, and the methods of
// IScanCtrl. All objects of a process share one CScanner (CScanList).
#include <functional>
#include <mutex>
#include <string>

#include "Movrak/IScanCtrl.h"
#include "com/SharedLink.h"

class CScanner;
using platform::com::HRESULT;

class CScanCtrl final : public platform::com::Object<IScanCtrl> {
 public:
  // The class factory's creator: 549 (or another id) from a construction that fails is
  // reported as an HRESULT with error information, never thrown.
  static HRESULT Create(const platform::com::IID& iid, void** object);

  // The text of an id ("Unknown error: %d" when the table has none), logged as an error
  // line "%s\r\n\t\t[Error Code: 0x%X]".
  static std::string GetErrorText(int id);
  // Sets the thread's error information (description `text`, interface IScanCtrl) and
  // returns 0x80040000 | id.
  static HRESULT ReportError(const std::string& text, int id);

  // The method frame: runs `body` and returns S_OK, or the failure's HRESULT with error
  // information and its log line. A thrown id is reported with its text; a PortStatus as
  // 12000 + status; an allocation failure as 549; any other exception as 512 with its own
  // text (a CBaseException with an id of the table as that id).
  static HRESULT Frame(const std::function<void()>& body);
  // Reports `id` with its text (logged) and returns its HRESULT.
  static HRESULT Fail(int id);
  // 109 ("Unsupported scanner model.") with the method's suffix.
  static HRESULT Refuse(const char* suffix);

  // The objects alive in this module (for DllCanUnloadNow).
  static long ObjectCount();

  // ---- connection, initialisation, scan (in the interface's order) ----------------------
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
  CScanCtrl();
  ~CScanCtrl() override;

  CScanner& Scanner() { return *m_pScanner; }

  // Scan set-up, start and the autofocus homing.
  void DoInitStartScan(float* ffX, float* ffY, float* ffSlope, bool bEnableAF);
  void HomeAutofocus();
  void ResetADC();
  void DoStartScan();

  // The object's own fields, under m_Mutex; instrument access is serialised below.
  mutable std::mutex m_Mutex;
  bool m_bConnected = false;
  CLinkUser m_Link;  // this object's use of the scanner's shared command channel
  CScanner* m_pScanner = nullptr;
  LONG m_lScanRegionOriginX = 0, m_lScanRegionOriginY = 0;
  LONG m_lScanRegionWidth = 60000, m_lScanRegionHeight = 20000;
  LONG m_lChipOriginX = 0, m_lChipOriginY = 0;
  LONG m_lChipActiveOriginX = 0, m_lChipActiveOriginY = 0;
  LONG m_lChipActiveWidth = 60000, m_lChipActiveHeight = 20000;
  LONG m_lOutScale = 0;
  bool m_bScanRed = false, m_bScanGreen = false;
  unsigned m_uPixelSizeX = 5, m_uPixelSizeY = 5;
  unsigned m_uBinX = 1, m_uBinY = 1;
  std::string m_strBarcode;
  double m_dChipThickness = 0.0;
  LONG m_lAFPosX = 30001, m_lAFPosY = 20001;
  LONG m_lScan5umUseOnePass = 0;
  LONG m_lADCResetFlag = 0;
  LONG m_lScanDoublePass = 0;
  LONG m_lPackageType = 5;
};
