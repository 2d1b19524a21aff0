#pragma once
// IScanCtrl: the scanner's high-level control, as clients (the scanner user interface)
// create it: platform::com::CreateInstance("Movrak.ScanCtrl", IScanCtrl::kIID, ...),
// which loads libMovrak.so from its registration.
//
// Every method returns an HRESULT: S_OK, or 0x80040000 | error id with the calling
// thread's error information set for IScanCtrl (description: the id's text). Booleans
// are 32-bit integers (0 false, non-zero true). Strings are UTF-8; an output string is
// written only on success. Lengths and positions are micrometres, PMT voltages tenths of
// volts unless a method says otherwise, laser powers milliwatts.
#include <cstdint>
#include <string>

#include "Movrak/ScanCtrlTypes.h"
#include "platform/com.h"

inline constexpr platform::com::CLSID CLSID_ScanCtrl{
    0xB156C214, 0xDEED, 0x43C5, {0x9D, 0x8D, 0x8C, 0x27, 0x24, 0x2A, 0x59, 0xF5}};
inline constexpr const char* kScanCtrlProgId = "Movrak.ScanCtrl";
inline constexpr const char* kScanCtrlVersionedProgId = "Movrak.ScanCtrl.1";

class IScanCtrl : public platform::com::IUnknown {
 public:
  static constexpr platform::com::IID kIID{
      0xEC21324E, 0x0B80, 0x475B, {0xA7, 0x3B, 0x1A, 0x1C, 0x9F, 0x1F, 0xC4, 0x08}};
  using HRESULT = platform::com::HRESULT;
  using BOOL32 = std::int32_t;  // the interface's boolean
  using LONG = std::int32_t;
  using ULONG = std::uint32_t;

  // ---- connection, initialisation, scan (in the interface's order) ----------------------
  virtual HRESULT Connect(const std::string& bstrConnectString) = 0;
  virtual HRESULT Disconnect() = 0;
  virtual HRESULT Initialize() = 0;
  virtual HRESULT AbortScan() = 0;
  virtual HRESULT LoadCarousel() = 0;
  virtual HRESULT AdvanceCarousel(tagCarouselDir eDir, LONG lCount) = 0;
  virtual HRESULT EjectChip() = 0;
  virtual HRESULT EjectCarousel() = 0;
  virtual HRESULT IsChipPresent(BOOL32* pbPresent) = 0;
  virtual HRESULT put_ScanRegionOriginX(LONG newVal) = 0;
  virtual HRESULT put_ScanRegionOriginY(LONG newVal) = 0;
  virtual HRESULT put_ScanRegionWidth(LONG newVal) = 0;
  virtual HRESULT put_ScanRegionHeight(LONG newVal) = 0;
  virtual HRESULT put_ScanRed(LONG newVal) = 0;
  virtual HRESULT put_ScanGreen(LONG newVal) = 0;
  virtual HRESULT StartScan(float* ffX, float* ffY, float* ffSlope) = 0;
  virtual HRESULT EndScan() = 0;
  // One line of lPoints 16-bit samples as the instrument sends them.
  virtual HRESULT GetScanLine(LONG lPoints, std::uint16_t* pPoints) = 0;
  virtual HRESULT put_PixelSizeX(unsigned newVal) = 0;
  virtual HRESULT put_PixelSizeY(unsigned newVal) = 0;
  virtual HRESULT put_BinX(unsigned newVal) = 0;
  virtual HRESULT put_BinY(unsigned newVal) = 0;
  virtual HRESULT get_InstrumentSerialNumber(std::string* pVal) = 0;
  virtual HRESULT get_InstrumentModel(std::string* pVal) = 0;
  virtual HRESULT get_SoftwareVersion(std::string* pVal) = 0;
  virtual HRESULT get_PMTVoltageSetting(LONG eChannel, double* pVal) = 0;
  virtual HRESULT FirmwareVersion(std::string* pRunStr, std::string* pBootStr, ULONG* pRAMSize) = 0;
  virtual HRESULT ScannerStateMsg(tagScannerState eState, std::string* pVal) = 0;
  virtual HRESULT get_StatusMsg(std::string* pStr) = 0;
  virtual HRESULT get_ScannerState(tagScannerState* pVal) = 0;
  virtual HRESULT put_ChipActiveOriginX(LONG newVal) = 0;
  virtual HRESULT put_ChipActiveOriginY(LONG newVal) = 0;
  virtual HRESULT put_ChipActiveWidth(LONG newVal) = 0;
  virtual HRESULT put_ChipActiveHeight(LONG newVal) = 0;
  virtual HRESULT put_ChipOriginX(LONG newVal) = 0;
  virtual HRESULT put_ChipOriginY(LONG newVal) = 0;
  virtual HRESULT DSPVersion(std::string* pbstrScan, std::string* pbstrVC, std::string* pbstrAF) = 0;
  virtual HRESULT get_Barcode(std::string* pVal) = 0;
  virtual HRESULT put_AFPosX(LONG newVal) = 0;
  virtual HRESULT put_AFPosY(LONG newVal) = 0;
  virtual HRESULT CalibrateLasers() = 0;
  virtual HRESULT MeasureDarkOffset(LONG lMask, LONG lNumSamples, LONG lArrayLength,
                                    std::int16_t* sArray) = 0;
  virtual HRESULT LockDoor() = 0;
  virtual HRESULT UnLockDoor() = 0;
  virtual HRESULT IsDoorClosed(BOOL32* pbIsClosed) = 0;
  virtual HRESULT put_OutScale(LONG newVal) = 0;
  virtual HRESULT DSPMemDump(tagDSPIDs eDSPId, std::uint16_t wStartAddr, std::uint16_t wNumWords,
                             const std::string& bstrFileName) = 0;
  virtual HRESULT GetAFStats(LONG* pVal) = 0;
  virtual HRESULT SetPackageType(LONG lPackType) = 0;
  virtual HRESULT LoadChip(int numTriesToReadBarcode, int nSlotToLoadFrom) = 0;
  virtual HRESULT PMTChangeVoltage(tagPMTChannels eChannelId, ULONG ulVoltage) = 0;
  virtual HRESULT PMTGetVoltage(tagPMTChannels eChannelId, ULONG* pVoltage) = 0;
  virtual HRESULT PMTGetNomCalibSignal(tagPMTChannels eChannelId, ULONG* pVal) = 0;
  virtual HRESULT PMTGetFlashVoltage(tagPMTChannels eChannelId, ULONG* pVoltage) = 0;
  virtual HRESULT InitializeSync() = 0;
  virtual HRESULT CheckLaserStatus() = 0;
  virtual HRESULT CheckErrorCode(int iErrorCode, unsigned errorSymbol, BOOL32* pbMatch) = 0;
  virtual HRESULT StartScanAF(float* ffX, float* ffY, float* ffSlope, BOOL32 bEnableAF) = 0;
  virtual HRESULT get_IsTarselBarcode(LONG* pVal) = 0;
  virtual HRESULT StartBrowseCarousel(int nFirstSlot, int nLastSlot, BOOL32 bScanBarcodes) = 0;
  // pszBarcode, when not null, must hold 50 bytes (at most 49 characters and a NUL).
  virtual HRESULT GetBrowseCarouselInfo(int nSlotNo, BOOL32* pbChipInSlot, unsigned char* pcSymbology,
                                        unsigned char* pszBarcode) = 0;
  virtual HRESULT StopBrowseCarousel() = 0;
  virtual HRESULT CalibrationLightSource(BOOL32 bLightSourceOn) = 0;
  virtual HRESULT CalibratePMT(unsigned uChannelMask, double dRatioRed, double dRatioGreen,
                               unsigned uFullVoltRed, unsigned uFullVoltGreen, unsigned* uNewVoltRed,
                               unsigned* uNewVoltGreen, BOOL32* bBadPMTCalib, float fred, float fgreen) = 0;
  virtual HRESULT SetDarkSubtractionValue(double dRedMean, double dGreenMean, LONG* lRedValue,
                                          LONG* lGreenValue) = 0;
  virtual HRESULT get_ChipThickness(double* pVal) = 0;
  virtual HRESULT LaserPowerStatus(BOOL32 bRed, BOOL32* pbPowerOn) = 0;
  virtual HRESULT LaserPowerRequest(BOOL32 bRed, BOOL32 bOn) = 0;
  virtual HRESULT RemoveAllLaserPowerRequests() = 0;
  virtual HRESULT GetLaserSetPointChange(float* fRedSetPointChange, float* fGreenSetPointChange) = 0;
  virtual HRESULT put_Scan5umUseOnePass(LONG newVal) = 0;
  virtual HRESULT IsADCReset(LONG* pbIsReset) = 0;
  virtual HRESULT ResetADCResetFlag() = 0;
  virtual HRESULT IsCarouselAligned(BOOL32* pbAligned) = 0;
  virtual HRESULT InitStartScan(float* ffX, float* ffY, float* ffSlope, BOOL32 bEnableAF) = 0;
  virtual HRESULT StartScan_C() = 0;

  // ---- FLASH store ---------------------------------------------------------------------------
  virtual HRESULT FlashGetString(const std::string& bstrKeyName, std::string* pbstrVal) = 0;
  virtual HRESULT FlashGetLong(const std::string& bstrKeyName, LONG* plVal) = 0;
  virtual HRESULT FlashGetUnsigned(const std::string& bstrKeyName, ULONG* pulVal) = 0;
  virtual HRESULT FlashGetUnsignedDef(const std::string& bstrKeyName, ULONG ulDefault, ULONG* pulVal) = 0;
  virtual HRESULT FlashSetUnsigned(const std::string& bstrKeyName, ULONG ulVal) = 0;
  virtual HRESULT FlashBurn() = 0;

  // ---- scan-data port pass-throughs ----------------------------------------------------------
  virtual HRESULT SDPIsOpen(BOOL32* pbOpen) = 0;
  virtual HRESULT SDPIsConfigured(BOOL32* pbCfged) = 0;
  virtual HRESULT SDPIsDCMPhaseOK(BOOL32* pbPhaseOK) = 0;
  virtual HRESULT SDPIsReady(BOOL32* pbReady) = 0;
  virtual HRESULT SDPGetDeviceVersion(std::string* pVal) = 0;
  virtual HRESULT SDPGetDeviceSN(std::string* pVal) = 0;
  virtual HRESULT SDPGetDeviceID(std::string* pVal) = 0;
  virtual HRESULT SDPGetFPGAVersion(std::string* pVal) = 0;
  virtual HRESULT SDPCfgDCMReset(BOOL32 bOddPhase, BOOL32* pbRtn) = 0;
  virtual HRESULT SDPCfgDCMStepInc(BOOL32 bOddPhase, BOOL32* pbRtn) = 0;
  virtual HRESULT SDPCfgDCMStepDec(BOOL32 bOddPhase, BOOL32* pbRtn) = 0;
  virtual HRESULT SDPCfgDCMShiftPhase(BOOL32 bOddPhase, BOOL32* pbRtn) = 0;
  virtual HRESULT SDPAutoAdjustDCMs(BOOL32 bOddPhase) = 0;
  virtual HRESULT SDPGetDCMCfgInfo(LONG* pFCValue, LONG* pDCMStats) = 0;
  virtual HRESULT SDPGetCtrlStats(LONG* pStatus1, LONG* pStatus2, BOOL32* pbRtn) = 0;
  virtual HRESULT SDPClearCtrlErr() = 0;
  virtual HRESULT SDPSetLaserOnOff(BOOL32 bRed, BOOL32 bOn) = 0;
  virtual HRESULT SDPSetLaserPWOnOff(BOOL32 bRed, BOOL32 bOn) = 0;
  virtual HRESULT SDPSetLaserSetPoint(BOOL32 bRed, double dSetLevel, BOOL32 bInMWatts) = 0;
  virtual HRESULT SDPGetLaserPower(BOOL32 bRed, BOOL32 bInMWatts, double* pPower) = 0;
  virtual HRESULT SDPGetPMTVoltage(BOOL32 bRed, LONG* pVolt) = 0;
  virtual HRESULT SDPSetPMTVoltage(BOOL32 bRed, std::uint16_t nVolt) = 0;
  virtual HRESULT SDPSetHeNePD(std::uint16_t nPhotodiode) = 0;
  virtual HRESULT SDPSetSPIWriteData(std::uint16_t nData) = 0;
  virtual HRESULT SDPKeepAlive(BOOL32* pbRtn) = 0;
  virtual HRESULT SDPLoadFPGA(const std::string& bstrFileName) = 0;
  virtual HRESULT SDPOpenPort(const std::string& bstrFileName) = 0;
  virtual HRESULT SDPAutoAdjustDCMPhases(BOOL32* pbRtn) = 0;
  virtual HRESULT SDPConfigPort(const std::string& bstrSN, const std::string& bstrFileName,
                                BOOL32* pbRtn) = 0;
  virtual HRESULT SDPFindPort(std::string* pbstrPortSN) = 0;
  virtual HRESULT SDPInitRunMode(unsigned uiRunMode, unsigned uiSamplingMode, BOOL32* pbRtn) = 0;
  virtual HRESULT SDPGetAvailableByteCnt(ULONG* pulByteCnt) = 0;
  virtual HRESULT SDPReadFakeData(BOOL32 bSaveData, ULONG* pulByteCnt) = 0;
  virtual HRESULT SDPGetData(unsigned uiRunMode, unsigned char* pBuffer, LONG lBufAvailable, LONG lPacketSize,
                             ULONG* pulByteCnt) = 0;
  virtual HRESULT SDPSetAbort(BOOL32 bAbort) = 0;
  virtual HRESULT SDPIsBusy(BOOL32* pbBusy) = 0;
  virtual HRESULT IsRuntimeOnline(BOOL32* pbOnline) = 0;
  virtual HRESULT SDPEnablingShutdown(BOOL32 bEnable) = 0;
  virtual HRESULT SDPShutterOpenClose(BOOL32 bOpen, BOOL32 bShutter1) = 0;
  virtual HRESULT SDPBlockLasers(BOOL32 bBlock) = 0;
  virtual HRESULT FSMotorDriverOnOff(BOOL32 bOn) = 0;
  virtual HRESULT SetFSMotorCtrlMode(tagMotorCtrlMode eMode) = 0;
  virtual HRESULT RunHeNeHWPMotor(BOOL32 bForward, std::int16_t nSpeed) = 0;
  virtual HRESULT SDPIsInitCfgSkipped(BOOL32* pbSkipped) = 0;
  virtual HRESULT put_ScanDoublePass(LONG newVal) = 0;
  virtual HRESULT SDPSetPMTVoltageEx(BOOL32 bRed, std::uint16_t nVolt, BOOL32 bNeedDisableShutdown) = 0;
  virtual HRESULT PMTChangeVoltageEx(tagPMTChannels eChannelId, ULONG ulVoltage,
                                     BOOL32 bNeedDisableShutdown) = 0;
  virtual HRESULT CalculatePMTVoltage(tagPMTChannels eChannelId, double dPMTRatio, ULONG ulVoltRef,
                                      ULONG* pVoltNew) = 0;

  // ---- lasers, self test, raw data -------------------------------------------------------------
  virtual HRESULT CalibrateLaserEx(BOOL32 bRed, double dTargetLevel, double dAllowDelta,
                                   std::uint16_t uMinStableTimeSec, std::int16_t nRetry, BOOL32* pbRtn) = 0;
  virtual HRESULT IsRedLaserReadyToAdjust(BOOL32* pbRtn) = 0;
  virtual HRESULT GetAFStatsEx(double* pVal) = 0;
  virtual HRESULT GetRedLaserLastOnMinutes(ULONG* pRtn) = 0;
  virtual HRESULT CheckLaserWarmingUpStatus(BOOL32 bForInitCheck, BOOL32* pbReadyRed,
                                            BOOL32* pbReadyGreen) = 0;
  virtual HRESULT CalibrateLaser(BOOL32 bRed, BOOL32* pbRtn) = 0;
  virtual HRESULT IsRedLaserDid1stCalibration(BOOL32* pbRtn) = 0;
  virtual HRESULT SDPGetSimpleErrCounts(int* pRtVal) = 0;
  virtual HRESULT SDPClearSimpleErrCounts() = 0;
  virtual HRESULT SDPEnableMasterTimeout(BOOL32 bEnable) = 0;
  virtual HRESULT SDPEnableSimpleDuplication(BOOL32 bEnable) = 0;
  virtual HRESULT SetOnOffLaserPowers(BOOL32 bPowerOn, BOOL32* pbRtn) = 0;
  virtual HRESULT GetRedLaserPowerReadyToAdjustMinWaitTime(LONG* pRtn) = 0;
  virtual HRESULT GetRedLaserPowerReadyToAdjustWaitTimeLeft(LONG* pRtn) = 0;
  virtual HRESULT SelfTest(LONG* pRtn) = 0;
  virtual HRESULT OnStartExitCarouselRun(BOOL32 bStart) = 0;
  virtual HRESULT TestLaserPowerMinMax(BOOL32 bRed, double* pMWattsMin, double* pMWattsMax) = 0;
  // The raw-data reads fill pBuffer (lBufAvailable bytes; 4 bytes per sample).
  virtual HRESULT SDPGetRawData(LONG lNumSamples, BOOL32 bGreen, unsigned char* pBuffer, LONG lBufAvailable,
                                BOOL32* pbRtn) = 0;
  virtual HRESULT SDPGetRawGainData(LONG lNumSamples, BOOL32 bGreen, unsigned char* pBuffer,
                                    LONG lBufAvailable, BOOL32* pbRtn) = 0;
  virtual HRESULT SDPGetRawOffsetData(LONG lNumSamples, BOOL32 bGreen, unsigned char* pBuffer,
                                      LONG lBufAvailable, BOOL32* pbRtn) = 0;
  virtual HRESULT SDPGetRawGatedData(LONG lNumSamples, BOOL32 bGreen, unsigned char* pBuffer,
                                     LONG lBufAvailable, BOOL32* pbRtn) = 0;
  virtual HRESULT SDPGetRawDataStats(LONG lNumSamples, BOOL32 bGreen, int nPixelSizeX,
                                     const std::string& bstrDumpFileName, double* pdHiAve, double* pdHiStDev,
                                     double* pdLoAve, double* pdLoStDev, BOOL32* pbIsSaturated,
                                     BOOL32* pbRtn) = 0;
  virtual HRESULT SDPGetRawGainStats(LONG lNumSamples, BOOL32 bGreen, int nPixelSizeX,
                                     const std::string& bstrDumpFileName, double* pdHiAve, double* pdHiStDev,
                                     double* pdLoAve, double* pdLoStDev, BOOL32* pbRtn) = 0;
  virtual HRESULT SDPGetRawOffsetStats(LONG lNumSamples, BOOL32 bGreen, int nPixelSizeX,
                                       const std::string& bstrDumpFileName, double* pdHiAve,
                                       double* pdHiStDev, double* pdLoAve, double* pdLoStDev,
                                       BOOL32* pbRtn) = 0;
  virtual HRESULT SDPGetRawGatedStats(LONG lNumSamples, BOOL32 bGreen, int nPixelSizeX,
                                      const std::string& bstrDumpFileName, double* pdHiAve, double* pdHiStDev,
                                      double* pdLoAve, double* pdLoStDev, BOOL32* pbRtn) = 0;
  virtual HRESULT SDPGetMeasuringData(LONG lNumSamples, unsigned uSamplingMode, unsigned char* pBuffer,
                                      LONG lBufAvailable, BOOL32* pbRtn) = 0;
};
