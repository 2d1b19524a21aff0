#pragma once
// The object behind "Movrak.ScanLL": low-level service access to the process's shared
// scanner. Every method names itself in its error reports by a source text of the
// message table; a failure's description may carry a detail naming its arguments, and
// its log line ends "[Error Code: 0x..  Source: IScanLL (source)]".
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include "Movrak/IScanLL.h"
#include "com/SharedLink.h"

class CScanner;
class CMotor;
class CDSP;
class CChannel;
using platform::com::HRESULT;

class CScanLL final : public platform::com::Object<IScanLL> {
 public:
  // The message-table ids of the methods' source names.
  enum Source : int {
    kSrcNone = 0,
    kSrcBrowseCarousel = -1,  // the browse methods name themselves with a fixed text
    kSrcConnect = 1025,
    kSrcDownloadFirmware = 1026,
    kSrcFlashBurn = 1027,
    kSrcFlashDump = 1028,
    kSrcFlashErase = 1029,
    kSrcFlashGetLong = 1030,
    kSrcFlashGetString = 1031,
    kSrcFlashLoad = 1032,
    kSrcFlashSetLong = 1033,
    kSrcFlashSetString = 1034,
    kSrcFlushDMA = 1035,
    kSrcMotorGetPos = 1036,
    kSrcMotorGetPosPhys = 1037,
    kSrcMotorGetSpeed = 1038,
    kSrcMotorHome = 1039,
    kSrcMotorInit = 1040,
    kSrcMotorMove = 1041,
    kSrcMotorMovePhys = 1042,
    kSrcMotorSetSpeed = 1043,
    kSrcMotorSetSpeedAcc = 1044,
    kSrcMotorTune = 1045,
    kSrcPeek = 1046,
    kSrcPoke = 1047,
    kSrcGetVersionInfo = 1048,
    kSrcMotorPeek = 1049,
    kSrcMotorPoke = 1050,
    kSrcReadDSPDataMemory = 1051,
    kSrcSetLED = 1052,
    kSrcWriteDSPDataMemory = 1053,
    kSrcMtrGetMaxPos = 1056,
    kSrcTimeout = 1057,
    kSrcRamSize = 1061,
    kSrcRuntimeVerStr = 1062,
    kSrcBootROMVerStr = 1063,
    kSrcSquareStartScan = 1064,
    kSrcEndScan = 1065,
    kSrcGetScanLine = 1066,
    kSrcAbortScan = 1067,
    kSrcGetStatus = 1068,
    kSrcDSPPoke = 1069,
    kSrcDSPPeek = 1070,
    kSrcWriteString = 1071,
    kSrcReadString = 1072,
    kSrcIsRuntimeOnline = 1073,
    kSrcSetADC = 1074,
    kSrcAbortCmd = 1075,
    kSrcDownloadDSP = 1076,
    kSrcMtrGetMinPos = 1077,
    kSrcDspResult = 1078,
    kSrcPMTChangeVoltage = 1079,
    kSrcPMTSetVoltage = 1080,
    kSrcPMTGetVoltage = 1081,
    kSrcReadDiagADC = 1082,
    kSrcFlashSetUnsigned = 1083,
    kSrcFlashGetUnsigned = 1084,
    kSrcFlashGetStringDef = 1085,
    kSrcFlashGetLongDef = 1086,
    kSrcFlashGetUnsignedDef = 1087,
    kSrcLastDSPResult = 1088,
    kSrcExecuteDSPCmd = 1089,
    kSrcDSPMemDump = 1090,
    kSrcPSDVal = 1092,
    kSrcMotorEnable = 1093,
    kSrcMotorDisable = 1094,
    kSrcCheckSensors = 1095,
    kSrcGetDSPVersionInfo = 1096,
    kSrcMotorDriverOn = 1097,
    kSrcMotorDriverOff = 1098,
    kSrcClearBarcode = 1099,
    kSrcBarcode = 1100,
    kSrcInitLasers = 1101,
    kSrcCalibrateLasers = 1102,
    kSrcCalibratePMT = 1103,
    kSrcMeasureDarkOffset = 1104,
    kSrcSetPackType = 1105,
    kSrcFindFiducials = 1106,
    kSrcSetScanRegion = 1107,
    kSrcEnableAF = 1108,
    kSrcControlLasers = 1109,
    kSrcStartScan = 1110,
    kSrcUpdateLaserVoltage = 1111,
    kSrcReadLaserPower = 1112,
    kSrcLockDoor = 1113,
    kSrcUnlockDoor = 1114,
    kSrcEnableDepthScan = 1115,
    kSrcMotorCalibrate = 1118,
    kSrcSetEOMDigitalPot = 1120,
    kSrcSetDarkSubtractionValue = 1121,
    kSrcGetLaserPowerStatus = 1122,
    kSrcGetVCDumpInfo = 1124,
    kSrcMotorStepTest = 1125,
    kSrcMotorSetParams = 1126,
  };

  // The class factory's creator: a failing construction (549) is reported, never thrown.
  static HRESULT Create(const platform::com::IID& iid, void** object);
  static long ObjectCount();

  // ---- error reports ----------------------------------------------------------------------
  // Sets the thread's error information (description `text`, interface IScanLL) and
  // returns 0x80040000 | id.
  static HRESULT ReportError(const std::string& text, int id);
  // The text of `id` with the detail (after two blanks) when there is one, logged with the
  // source's name; returns it without the log suffix.
  static std::string GetErrorText(int id, int sourceId, const std::string& detail = {});
  static std::string BuildErrorText(int id, const std::string& source, const std::string& detail);
  // The table's text of `id` as a format filled with the arguments ("Unknown error"
  // without one), logged like GetErrorText.
  static std::string GetErrorTextV(int id, int sourceId, ...);
  // 0, or 606 for a motor id outside 1-5 (`text` gets its logged text).
  static int ValidateMotorId(int motorId, int sourceId, std::string& text);
  // 0, or 607 for a channel outside 0-3.
  static int ValidatePMTChannel(int channel, int sourceId, std::string& text);
  // 0, or 566 when this object has not connected.
  int CheckConnected(int sourceId, std::string& text) const;
  CMotor* GetMotor(int motorId);

  // ---- connection, versions, downloads, FLASH store -----------------------------------------
  HRESULT Connect(const std::string& bstrConnectString) override;
  HRESULT Disconnect() override;
  HRESULT GetVersionInfo(std::string* pbstrBootVer, std::string* pbstrBootName, std::string* pbstrRunVer,
                         std::string* pbstrRunName, ULONG* pdwRamSize) override;
  HRESULT DownloadFirmware(const std::string& bstrFileName) override;
  HRESULT DownloadDSP(const std::string& bstrFileName, tagDSPIDs eDSPId) override;
  HRESULT FlashBurn() override;
  HRESULT FlashLoad() override;
  HRESULT FlashDump(const std::string& bstrFileName) override;
  HRESULT FlashEraseKey(const std::string& bstrKeyName) override;
  HRESULT FlashGetString(const std::string& bstrKeyName, std::string* pbstrVal) override;
  HRESULT FlashGetStringDef(const std::string& bstrKeyName, const std::string& bstrDefault,
                            std::string* pbstrVal) override;
  HRESULT FlashGetLong(const std::string& bstrKeyName, LONG* plVal) override;
  HRESULT FlashGetLongDef(const std::string& bstrKeyName, LONG lDefault, LONG* plVal) override;
  HRESULT FlashGetUnsigned(const std::string& bstrKeyName, ULONG* pulVal) override;
  HRESULT FlashGetUnsignedDef(const std::string& bstrKeyName, ULONG ulDefault, ULONG* pulVal) override;
  HRESULT FlashSetLong(const std::string& bstrKeyName, LONG lVal) override;
  HRESULT FlashSetString(const std::string& bstrKeyName, const std::string& bstrVal) override;
  HRESULT FlashSetUnsigned(const std::string& bstrKeyName, ULONG ulVal) override;

  // ---- motors -----------------------------------------------------------------------------------
  HRESULT FlushDMA() override;
  HRESULT MotorGetPos(tagMotorIDs eMotorId, LONG* plVal) override;
  HRESULT MotorGetPosPhys(tagMotorIDs eMotorId, LONG* plVal) override;
  HRESULT MotorGetSpeed(tagMotorIDs eMotorId, LONG* plVal) override;
  HRESULT MotorHome(tagMotorIDs eMotorId) override;
  HRESULT MotorInit(tagMotorIDs eMotorId) override;
  HRESULT MotorMove(tagMotorIDs eMotorId, LONG lDistance, BYTE bMoveType) override;
  HRESULT MotorMovePhys(tagMotorIDs eMotorId, LONG lDistance, BYTE bMoveType) override;
  HRESULT MotorPeek(tagMotorIDs eMotorId, ULONG uAddress, ULONG* puVal) override;
  HRESULT MotorPoke(tagMotorIDs eMotorId, ULONG uAddress, ULONG uVal) override;
  HRESULT MotorSetSpeed(tagMotorIDs eMotorId, LONG lSpeed) override;
  HRESULT MotorSetSpeedAcc(tagMotorIDs eMotorId, LONG lSpeed, LONG lAccel) override;
  HRESULT MotorTune(tagMotorIDs eMotorId, LONG lNumPts, LONG lTime, LONG lPosition,
                    const std::string& bstrFileName) override;
  HRESULT MotorEnable(tagMotorIDs eMotorId) override;
  HRESULT MotorDisable(tagMotorIDs eMotorId) override;
  HRESULT MotorDriverOn(tagMotorIDs eMotorId) override;
  HRESULT MotorDriverOff(tagMotorIDs eMotorId) override;
  HRESULT MotorGetMaxPos(tagMotorIDs eMotorId, LONG* plVal) override;
  HRESULT MotorGetMinPos(tagMotorIDs eMotorId, LONG* plVal) override;
  HRESULT MotorCalibrate(tagMotorIDs eMotorId) override;
  HRESULT MotorStepTest(tagMotorIDs eMotorId, WORD lNumSteps, WORD uDelay, SHORT iStep1stMoveCt,
                        SHORT iStep2ndMoveCt, WORD* pStepPosBuf) override;
  HRESULT MotorSetParams(tagMotorIDs eMotorId, SHORT iPIDKp, SHORT iPIDKi, SHORT iPIDKd, SHORT iPIDImax,
                         ULONG lAccel, ULONG lVel) override;

  // ---- memory, DSPs, raw commands, version properties ---------------------------------------------
  HRESULT Peek(LONG lAddress, BYTE* pbValue) override;
  HRESULT Poke(LONG lAddress, BYTE bValue) override;
  HRESULT ReadDSPDataMemory(tagDSPIDs eDSPId, WORD wOffset, WORD* pwValue) override;
  HRESULT WriteDSPDataMemory(tagDSPIDs eDSPId, WORD wOffset, WORD wValue) override;
  HRESULT DSPPoke(tagDSPIDs eDSPId, tagAddrSpaceIDs eAddrId, WORD wAddress, WORD wData) override;
  HRESULT DSPPeek(tagDSPIDs eDSPId, tagAddrSpaceIDs eAddrId, WORD wAddress, WORD* pwValue) override;
  HRESULT LastDSPResult(tagDSPIDs eDSPId, LONG* pVal) override;
  HRESULT DSPResult(tagDSPIDs eDSPId, LONG* pVal) override;
  HRESULT ExecuteDSPCmd(tagDSPIDs eDSPId, WORD cmdNum, BYTE numParams, const WORD* pParams, LONG bGetResp,
                        LONG* pResp) override;
  HRESULT GetVCDumpInfo(tagDSPIDs eDSPId, LONG* usPerTick, LONG* numPoints, ULONG* startAddr0,
                        LONG* bytesPerPt0, ULONG* startAddr1, LONG* bytesPerPt1, ULONG* startAddr2,
                        LONG* bytesPerPt2, ULONG* startAddr3, LONG* bytesPerPt3) override;
  HRESULT DSPMemDump(tagDSPIDs eDSPId, WORD wStartAddr, WORD wNumWords,
                     const std::string& bstrFileName) override;
  HRESULT DSPMemWrite(tagDSPIDs eDSPId, WORD wStartAddr, LONG nNumWords,
                      const std::string& bstrFileName) override;
  HRESULT DSPMemRead(tagDSPIDs eDSPId, WORD wStartAddr, WORD wNumWords, WORD* pWordData) override;
  HRESULT WriteString(const std::string& bStr, LONG* plCount) override;
  HRESULT ReadString(LONG lLength, std::string* pbstrVal, LONG* plCount) override;
  HRESULT IsRuntimeOnline(BYTE* pbOnline) override;
  HRESULT AbortCmd() override;
  HRESULT GetStatus(BYTE* bStatus) override;
  HRESULT get_Timeout(LONG* pVal) override;
  HRESULT put_Timeout(LONG newVal) override;
  HRESULT get_BootROMVerStr(std::string* pVal) override;
  HRESULT get_RuntimeVerStr(std::string* pVal) override;
  HRESULT get_RamSize(ULONG* pVal) override;
  HRESULT GetDSPVersion(std::string* pScanVerStr, std::string* pScanNameStr, std::string* pVCVerStr,
                        std::string* pVCNameStr, std::string* pAFVerStr, std::string* pAFNameStr) override;

  // ---- scans, PMTs, lasers ------------------------------------------------------------------------
  HRESULT SquareStartScan(LONG lPixels, LONG lNumRows, LONG lStageStart, LONG lStageInc, LONG lPackType,
                          ULONG uBinX, ULONG uBinY, LONG lRescans, LONG lOutScale, ULONG uMask,
                          ULONG lVCStart, ULONG uVCInc) override;
  HRESULT GetScanLine(LONG lPoints, WORD* pPoints) override;
  HRESULT EndScan() override;
  HRESULT AbortScan() override;
  HRESULT SetScanRegion(LONG lPixels, LONG lNumRows, LONG lVCStart, LONG lStageStart, LONG lVCInc,
                        LONG lStageInc, LONG lBinX, LONG lBinY) override;
  HRESULT SetPackageType(LONG lPackType) override;
  HRESULT StartScan(LONG lChannelMask, LONG lRescans, LONG lOutShift) override;
  HRESULT DepthScan(LONG lDScanStart, LONG lDScanInc, LONG lDScanLines) override;
  HRESULT EnableAutoFocus(LONG lSafePosX, LONG lSafePosY) override;
  HRESULT get_ChipThickness(double* pVal) override;
  HRESULT FindFiducials(float* ULRegionX, float* ULRegionY, float* slope) override;
  HRESULT FindDatum(LONG offsetX, LONG offsetY, LONG* datumX, LONG* datumY) override;
  HRESULT PMTSetVoltage(tagPMTChannels eChannelId) override;
  HRESULT PMTSetVoltageEx(tagPMTChannels eChannelId, BOOL32 bNeedDisableShutdown) override;
  HRESULT PMTChangeVoltage(tagPMTChannels eChannelId, ULONG ulVoltage) override;
  HRESULT PMTChangeVoltageEx(tagPMTChannels eChannelId, ULONG ulVoltage,
                             BOOL32 bNeedDisableShutdown) override;
  HRESULT PMTGetVoltage(tagPMTChannels eChannelId, ULONG* pVoltage) override;
  HRESULT SetADC(ULONG ulShift, ULONG ulDecimation, ULONG ulSample) override;
  HRESULT LaserInit() override;
  HRESULT CalibrateLasers(LONG lPowerLevelRed, LONG lPowerLevelGreen, float* minRed, float* maxRed,
                          float* minGreen, float* maxGreen, ULONG* laserStatusMask) override;
  HRESULT CalibrateLasersRaw(LONG lPowerLevelRed, LONG lPowerLevelGreen, ULONG* minRed, ULONG* maxRed,
                             ULONG* minGreen, ULONG* maxGreen, ULONG* laserStatusMask) override;
  HRESULT CalibrateLaserEx(BOOL32 bRed, double dTargetLevel, double dAllowDelta, WORD uMinStableTime,
                           WORD nRetry, BOOL32* pbRtn) override;
  HRESULT MeasureDarkOffset(ULONG lMask, ULONG lNumSamples, ULONG lArrayLength, WORD* sArray) override;
  HRESULT ControlLasers(LONG lLaserCtrlA, LONG lLaserCtrlB) override;
  HRESULT UpdateLaserVoltage(LONG lRedVolt, LONG lGreenVolt, LONG* redLaser, LONG* greenLaser) override;
  HRESULT ReadLaserPower(LONG* redLaser, LONG* greenLaser) override;
  HRESULT SetEOMDigitalPot(tagPMTChannels eChanId, LONG iVal) override;
  HRESULT CalibrationLightSource(BOOL32 bLightSourceOn) override;
  HRESULT SetDarkSubtractionValue(double dRedMean, double dGreenMean, LONG* lRedValue,
                                  LONG* lGreenValue) override;
  HRESULT LaserPowerStatus(BOOL32 bRed, BOOL32* pbPowerOn) override;
  HRESULT LaserPowerRequest(BOOL32 bPowerOn, BOOL32 bOneShot, LONG nMinutesDelay, BOOL32 bRecurring,
                            LONG nRecurrenceInterval, BOOL32 bEnableSkip, LONG nPreloadCount,
                            LONG nSkipCycles, LONG nOnCycles, BOOL32 bIdleTimer, LONG nMinutesIdle) override;
  HRESULT RemoveAllLaserPowerRequests() override;

  // ---- devices, sensors, door, barcode, browsing, error classes -------------------------------------
  HRESULT SetLED(BYTE bGreenMode, BYTE bYellowMode, BYTE bRedMode, BYTE bBoardMode) override;
  HRESULT CheckSensors(BOOL32* bArmAtCarousel, BOOL32* bArmAtHolder, BOOL32* bChipInSlot,
                       BOOL32* bCarouselInSlot, BOOL32* bCarouselPresent, BOOL32* bCarouselHome,
                       BOOL32* bDoorClosed) override;
  HRESULT ClearBarcode() override;
  HRESULT get_Barcode(std::string* pVal) override;
  HRESULT LockDoor() override;
  HRESULT UnLockDoor() override;
  HRESULT get_PSDVal(WORD* pwVal) override;
  HRESULT ReadDiagADC(BYTE channel, ULONG* pValue) override;
  HRESULT StartBrowseCarousel(int nFirstSlot, int nLastSlot, BOOL32 bScanBarcodes) override;
  HRESULT GetBrowseCarouselInfo(int nSlotNo, BOOL32* pbChipInSlot, unsigned char* pcSymbology,
                                unsigned char* pszBarcode) override;
  HRESULT StopBrowseCarousel() override;
  HRESULT CheckErrorCode(int iErrorCode, unsigned errorSymbol, BOOL32* pbMatch) override;

 private:
  CScanLL();
  ~CScanLL() override;

  CScanner& Scanner() { return *m_pScanner; }

  // The method frames. Each checks the connection first (unless told not to), then runs
  // `body`; a failure it throws is reported with the source and, when `detail` is given,
  // the detail it builds (asked only on failure).
  using Detail = std::function<std::string()>;
  HRESULT Run(int sourceId, const std::function<void()>& body, const Detail& detail = {},
              bool checkConnection = true);
  // S_OK when this object is connected, else the reported 566.
  HRESULT Connected(int sourceId) const;
  // A failure reported with the source and detail.
  static HRESULT Fail(int id, int sourceId, const std::string& detail = {});
  // The motor of a valid id (606 reported otherwise); the detail 2006 names the motor
  // unless `detail` is given.
  HRESULT WithMotor(int sourceId, tagMotorIDs motorId, const std::function<void(CMotor&)>& body,
                    const std::function<std::string(const std::string& name)>& detail = {},
                    bool checkConnection = true);
  // The DSP of a valid id (619 with detail 2022 reported otherwise).
  HRESULT WithDSP(int sourceId, tagDSPIDs dspId, const std::function<void(CDSP&)>& body,
                  const Detail& detail = {});
  // The PMT channel of a valid id (607 reported otherwise).
  HRESULT WithChannel(int sourceId, tagPMTChannels channel, const std::function<void(CChannel&)>& body);
  // 109: its text with the method's suffix, logged with the source "CalibrateLasers".
  static HRESULT Refuse(const char* suffix);
  // A file DSPMemDump, DSPMemWrite or MotorTune cannot open: 551, described by 550.
  static HRESULT FileError(int sourceId, const std::string& path);

  // A client's file name: a relative one is taken in the data folder.
  static std::string ServiceFilePath(const std::string& name);

  // Reads the versions once (until Connect or a download clears the cache).
  void CacheVersionInfo();

  // The object's fields, under m_Mutex; instrument access is serialised below.
  mutable std::mutex m_Mutex;
  CScanner* m_pScanner = nullptr;
  std::uint32_t m_nRamSize = 0;
  std::string m_strRuntimeVer, m_strBootROMVer, m_strScanDSPVer, m_strVCStageDSPVer, m_strAFDSPVer;
  std::string m_strRuntimeName, m_strBootROMName, m_strScanDSPName, m_strVCStageDSPName, m_strAFDSPName;
  bool m_bVersionCached = false;
  bool m_bConnected = false;
  double m_dChipThickness = 0.0;
  LONG m_lPackageType = 5;
  CLinkUser m_Link;
};
