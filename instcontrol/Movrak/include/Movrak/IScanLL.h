#pragma once
// IScanLL: low-level service access to the scanner (motors, DSP memory, FLASH keys,
// firmware download, raw command lines), as service programs create it:
// platform::com::CreateInstance("Movrak.ScanLL", IScanLL::kIID, ...). It shares the
// process's scanner, and its link, with the "Movrak.ScanCtrl" objects of the process.
//
// Every method returns an HRESULT: S_OK, or 0x80040000 | error id with the calling
// thread's error information set for IScanLL (description: the id's text, two blanks
// and a detail naming the arguments when the method has one). Each object must Connect
// itself before its methods work (566 otherwise), even when another object of the
// process is connected. Booleans are 32-bit integers; strings are UTF-8; outputs are
// written only on success. A relative file name is taken in the data folder (the
// "Data" folder under the installation folder).
#include <cstdint>
#include <string>

#include "Movrak/ScanCtrlTypes.h"
#include "platform/com.h"

inline constexpr platform::com::CLSID CLSID_ScanLL{
    0xB8B8D2FE, 0x78C3, 0x461D, {0xBF, 0x52, 0x02, 0x72, 0x90, 0xAD, 0x88, 0x30}};
inline constexpr const char* kScanLLProgId = "Movrak.ScanLL";
inline constexpr const char* kScanLLVersionedProgId = "Movrak.ScanLL.1";

class IScanLL : public platform::com::IUnknown {
 public:
  static constexpr platform::com::IID kIID{
      0xFF840431, 0xE766, 0x4F5C, {0xAC, 0x22, 0xC6, 0x40, 0x80, 0x20, 0xF3, 0x25}};
  using HRESULT = platform::com::HRESULT;
  using BOOL32 = std::int32_t;
  using LONG = std::int32_t;
  using ULONG = std::uint32_t;
  using BYTE = std::uint8_t;
  using WORD = std::uint16_t;
  using SHORT = std::int16_t;

  // ---- connection, versions, downloads, FLASH store, motors (in the interface's order) ----
  virtual HRESULT Connect(const std::string& bstrConnectString) = 0;
  virtual HRESULT Disconnect() = 0;
  virtual HRESULT GetVersionInfo(std::string* pbstrBootVer, std::string* pbstrBootName,
                                 std::string* pbstrRunVer, std::string* pbstrRunName, ULONG* pdwRamSize) = 0;
  // The file name may hold at most 259 bytes (600 otherwise).
  virtual HRESULT DownloadFirmware(const std::string& bstrFileName) = 0;
  virtual HRESULT FlashBurn() = 0;
  virtual HRESULT FlashDump(const std::string& bstrFileName) = 0;
  virtual HRESULT FlashEraseKey(const std::string& bstrKeyName) = 0;
  virtual HRESULT FlashGetLongDef(const std::string& bstrKeyName, LONG lDefault, LONG* plVal) = 0;
  virtual HRESULT FlashGetStringDef(const std::string& bstrKeyName, const std::string& bstrDefault,
                                    std::string* pbstrVal) = 0;
  virtual HRESULT FlashLoad() = 0;
  virtual HRESULT FlashSetLong(const std::string& bstrKeyName, LONG lVal) = 0;
  virtual HRESULT FlashSetString(const std::string& bstrKeyName, const std::string& bstrVal) = 0;
  virtual HRESULT FlushDMA() = 0;
  virtual HRESULT MotorGetPos(tagMotorIDs eMotorId, LONG* plVal) = 0;
  virtual HRESULT MotorGetPosPhys(tagMotorIDs eMotorId, LONG* plVal) = 0;
  virtual HRESULT MotorGetSpeed(tagMotorIDs eMotorId, LONG* plVal) = 0;
  virtual HRESULT MotorHome(tagMotorIDs eMotorId) = 0;
  virtual HRESULT MotorInit(tagMotorIDs eMotorId) = 0;
  // bMoveType 0: to the position lDistance; any other value: by lDistance.
  virtual HRESULT MotorMove(tagMotorIDs eMotorId, LONG lDistance, BYTE bMoveType) = 0;
  virtual HRESULT MotorMovePhys(tagMotorIDs eMotorId, LONG lDistance, BYTE bMoveType) = 0;
  virtual HRESULT MotorPeek(tagMotorIDs eMotorId, ULONG uAddress, ULONG* puVal) = 0;
  virtual HRESULT MotorPoke(tagMotorIDs eMotorId, ULONG uAddress, ULONG uVal) = 0;
  virtual HRESULT MotorSetSpeed(tagMotorIDs eMotorId, LONG lSpeed) = 0;
  virtual HRESULT MotorSetSpeedAcc(tagMotorIDs eMotorId, LONG lSpeed, LONG lAccel) = 0;
  // lNumPts (at least 1) samples of a tuning move, one unsigned decimal a line (CR LF).
  virtual HRESULT MotorTune(tagMotorIDs eMotorId, LONG lNumPts, LONG lTime, LONG lPosition,
                            const std::string& bstrFileName) = 0;

  // ---- memory, DSPs, LEDs, version properties --------------------------------------------------
  virtual HRESULT Peek(LONG lAddress, BYTE* pbValue) = 0;
  virtual HRESULT Poke(LONG lAddress, BYTE bValue) = 0;
  virtual HRESULT ReadDSPDataMemory(tagDSPIDs eDSPId, WORD wOffset, WORD* pwValue) = 0;
  virtual HRESULT SetLED(BYTE bGreenMode, BYTE bYellowMode, BYTE bRedMode, BYTE bBoardMode) = 0;
  virtual HRESULT WriteDSPDataMemory(tagDSPIDs eDSPId, WORD wOffset, WORD wValue) = 0;
  virtual HRESULT get_BootROMVerStr(std::string* pVal) = 0;
  // The command time-out in milliseconds; a new one must lie within 1000..65535000.
  virtual HRESULT get_Timeout(LONG* pVal) = 0;
  virtual HRESULT put_Timeout(LONG newVal) = 0;
  virtual HRESULT get_RuntimeVerStr(std::string* pVal) = 0;
  virtual HRESULT get_RamSize(ULONG* pVal) = 0;

  // ---- scans, raw commands ------------------------------------------------------------------------
  virtual HRESULT SquareStartScan(LONG lPixels, LONG lNumRows, LONG lStageStart, LONG lStageInc,
                                  LONG lPackType, ULONG uBinX, ULONG uBinY, LONG lRescans, LONG lOutScale,
                                  ULONG uMask, ULONG lVCStart, ULONG uVCInc) = 0;
  // One line of lPoints 16-bit samples into pPoints, as the instrument sends them.
  virtual HRESULT GetScanLine(LONG lPoints, WORD* pPoints) = 0;
  virtual HRESULT EndScan() = 0;
  virtual HRESULT AbortScan() = 0;
  // The link's status byte (255 when unknown).
  virtual HRESULT GetStatus(BYTE* bStatus) = 0;
  virtual HRESULT DSPPoke(tagDSPIDs eDSPId, tagAddrSpaceIDs eAddrId, WORD wAddress, WORD wData) = 0;
  virtual HRESULT DSPPeek(tagDSPIDs eDSPId, tagAddrSpaceIDs eAddrId, WORD wAddress, WORD* pwValue) = 0;
  // A raw command line (at most 511 bytes); its reply is kept for ReadString.
  virtual HRESULT WriteString(const std::string& bStr, LONG* plCount) = 0;
  // Up to lLength bytes of the kept reply; the last byte read (its line end) is dropped
  // from the text, but counted.
  virtual HRESULT ReadString(LONG lLength, std::string* pbstrVal, LONG* plCount) = 0;
  virtual HRESULT IsRuntimeOnline(BYTE* pbOnline) = 0;
  virtual HRESULT SetADC(ULONG ulShift, ULONG ulDecimation, ULONG ulSample) = 0;
  virtual HRESULT LastDSPResult(tagDSPIDs eDSPId, LONG* pVal) = 0;
  virtual HRESULT AbortCmd() = 0;
  // The file name may hold at most 259 bytes (600 otherwise).
  virtual HRESULT DownloadDSP(const std::string& bstrFileName, tagDSPIDs eDSPId) = 0;
  // pParams holds numParams words (it may be null only without parameters).
  virtual HRESULT ExecuteDSPCmd(tagDSPIDs eDSPId, WORD cmdNum, BYTE numParams, const WORD* pParams,
                                LONG bGetResp, LONG* pResp) = 0;
  virtual HRESULT DSPResult(tagDSPIDs eDSPId, LONG* pVal) = 0;

  // ---- PMTs, diagnostic ADC, more FLASH, DSP memory blocks, sensors, barcode --------------------
  virtual HRESULT PMTSetVoltage(tagPMTChannels eChannelId) = 0;
  // Tenths of volts.
  virtual HRESULT PMTChangeVoltage(tagPMTChannels eChannelId, ULONG ulVoltage) = 0;
  virtual HRESULT PMTGetVoltage(tagPMTChannels eChannelId, ULONG* pVoltage) = 0;
  virtual HRESULT ReadDiagADC(BYTE channel, ULONG* pValue) = 0;
  virtual HRESULT FlashGetString(const std::string& bstrKeyName, std::string* pbstrVal) = 0;
  virtual HRESULT FlashGetLong(const std::string& bstrKeyName, LONG* plVal) = 0;
  virtual HRESULT FlashGetUnsigned(const std::string& bstrKeyName, ULONG* pulVal) = 0;
  virtual HRESULT FlashGetUnsignedDef(const std::string& bstrKeyName, ULONG ulDefault, ULONG* pulVal) = 0;
  // Stored as the signed decimal of the same 32 bits.
  virtual HRESULT FlashSetUnsigned(const std::string& bstrKeyName, ULONG ulVal) = 0;
  // wNumWords words from wStartAddr into a text file, one unsigned decimal a line (CR LF).
  virtual HRESULT DSPMemDump(tagDSPIDs eDSPId, WORD wStartAddr, WORD wNumWords,
                             const std::string& bstrFileName) = 0;
  // pWordData holds wNumWords words.
  virtual HRESULT DSPMemRead(tagDSPIDs eDSPId, WORD wStartAddr, WORD wNumWords, WORD* pWordData) = 0;
  virtual HRESULT get_PSDVal(WORD* pwVal) = 0;
  virtual HRESULT MotorEnable(tagMotorIDs eMotorId) = 0;
  virtual HRESULT MotorDisable(tagMotorIDs eMotorId) = 0;
  // Each flag is optional (null: not asked); the arm's location is always read.
  virtual HRESULT CheckSensors(BOOL32* bArmAtCarousel, BOOL32* bArmAtHolder, BOOL32* bChipInSlot,
                               BOOL32* bCarouselInSlot, BOOL32* bCarouselPresent, BOOL32* bCarouselHome,
                               BOOL32* bDoorClosed) = 0;
  // Version, then name, of the scan, voice-coil stage and autofocus DSPs.
  virtual HRESULT GetDSPVersion(std::string* pScanVerStr, std::string* pScanNameStr, std::string* pVCVerStr,
                                std::string* pVCNameStr, std::string* pAFVerStr, std::string* pAFNameStr) = 0;
  virtual HRESULT MotorDriverOn(tagMotorIDs eMotorId) = 0;
  virtual HRESULT MotorDriverOff(tagMotorIDs eMotorId) = 0;
  virtual HRESULT ClearBarcode() = 0;
  virtual HRESULT get_Barcode(std::string* pVal) = 0;
  virtual HRESULT MotorGetMaxPos(tagMotorIDs eMotorId, LONG* plVal) = 0;
  virtual HRESULT MotorGetMinPos(tagMotorIDs eMotorId, LONG* plVal) = 0;

  // ---- lasers, scan set-up, door, autofocus ----------------------------------------------------------
  virtual HRESULT LaserInit() = 0;
  // Not offered by this scanner model: 109.
  virtual HRESULT CalibrateLasers(LONG lPowerLevelRed, LONG lPowerLevelGreen, float* minRed, float* maxRed,
                                  float* minGreen, float* maxGreen, ULONG* laserStatusMask) = 0;
  // Not offered by this scanner model: 109.
  virtual HRESULT MeasureDarkOffset(ULONG lMask, ULONG lNumSamples, ULONG lArrayLength, WORD* sArray) = 0;
  virtual HRESULT SetPackageType(LONG lPackType) = 0;
  virtual HRESULT SetScanRegion(LONG lPixels, LONG lNumRows, LONG lVCStart, LONG lStageStart, LONG lVCInc,
                                LONG lStageInc, LONG lBinX, LONG lBinY) = 0;
  virtual HRESULT ControlLasers(LONG lLaserCtrlA, LONG lLaserCtrlB) = 0;
  virtual HRESULT StartScan(LONG lChannelMask, LONG lRescans, LONG lOutShift) = 0;
  virtual HRESULT UpdateLaserVoltage(LONG lRedVolt, LONG lGreenVolt, LONG* redLaser, LONG* greenLaser) = 0;
  virtual HRESULT ReadLaserPower(LONG* redLaser, LONG* greenLaser) = 0;
  virtual HRESULT LockDoor() = 0;
  virtual HRESULT UnLockDoor() = 0;
  virtual HRESULT DepthScan(LONG lDScanStart, LONG lDScanInc, LONG lDScanLines) = 0;
  virtual HRESULT MotorCalibrate(tagMotorIDs eMotorId) = 0;
  // Homes the autofocus for the last package type set (5 before any) and keeps the
  // slide thickness it measured (ChipThickness).
  virtual HRESULT EnableAutoFocus(LONG lSafePosX, LONG lSafePosY) = 0;
  virtual HRESULT SetEOMDigitalPot(tagPMTChannels eChanId, LONG iVal) = 0;
  // Not offered by this scanner model: 109.
  virtual HRESULT CalibrateLasersRaw(LONG lPowerLevelRed, LONG lPowerLevelGreen, ULONG* minRed, ULONG* maxRed,
                                     ULONG* minGreen, ULONG* maxGreen, ULONG* laserStatusMask) = 0;
  virtual HRESULT FindFiducials(float* ULRegionX, float* ULRegionY, float* slope) = 0;
  virtual HRESULT FindDatum(LONG offsetX, LONG offsetY, LONG* datumX, LONG* datumY) = 0;
  // Whether an error id (HRESULT - 0x80040000) belongs to an error class; no instrument
  // access, no connection needed.
  virtual HRESULT CheckErrorCode(int iErrorCode, unsigned errorSymbol, BOOL32* pbMatch) = 0;
  virtual HRESULT StartBrowseCarousel(int nFirstSlot, int nLastSlot, BOOL32 bScanBarcodes) = 0;
  // pszBarcode, when not null, must hold 50 bytes (at most 49 characters and a NUL).
  virtual HRESULT GetBrowseCarouselInfo(int nSlotNo, BOOL32* pbChipInSlot, unsigned char* pcSymbology,
                                        unsigned char* pszBarcode) = 0;
  virtual HRESULT StopBrowseCarousel() = 0;
  virtual HRESULT CalibrationLightSource(BOOL32 bLightSourceOn) = 0;
  virtual HRESULT SetDarkSubtractionValue(double dRedMean, double dGreenMean, LONG* lRedValue,
                                          LONG* lGreenValue) = 0;
  virtual HRESULT get_ChipThickness(double* pVal) = 0;
  virtual HRESULT LaserPowerStatus(BOOL32 bRed, BOOL32* pbPowerOn) = 0;
  // Not offered by this scanner model: 109.
  virtual HRESULT LaserPowerRequest(BOOL32 bPowerOn, BOOL32 bOneShot, LONG nMinutesDelay, BOOL32 bRecurring,
                                    LONG nRecurrenceInterval, BOOL32 bEnableSkip, LONG nPreloadCount,
                                    LONG nSkipCycles, LONG nOnCycles, BOOL32 bIdleTimer,
                                    LONG nMinutesIdle) = 0;
  virtual HRESULT RemoveAllLaserPowerRequests() = 0;
  // nNumWords words from a file DSPMemDump wrote into DSP memory from wStartAddr; they
  // must fit below the top of the address space (0x10000).
  virtual HRESULT DSPMemWrite(tagDSPIDs eDSPId, WORD wStartAddr, LONG nNumWords,
                              const std::string& bstrFileName) = 0;
  virtual HRESULT GetVCDumpInfo(tagDSPIDs eDSPId, LONG* usPerTick, LONG* numPoints, ULONG* startAddr0,
                                LONG* bytesPerPt0, ULONG* startAddr1, LONG* bytesPerPt1, ULONG* startAddr2,
                                LONG* bytesPerPt2, ULONG* startAddr3, LONG* bytesPerPt3) = 0;
  // Slow stage only; pStepPosBuf holds lNumSteps x 4 words.
  virtual HRESULT MotorStepTest(tagMotorIDs eMotorId, WORD lNumSteps, WORD uDelay, SHORT iStep1stMoveCt,
                                SHORT iStep2ndMoveCt, WORD* pStepPosBuf) = 0;
  virtual HRESULT MotorSetParams(tagMotorIDs eMotorId, SHORT iPIDKp, SHORT iPIDKi, SHORT iPIDKd,
                                 SHORT iPIDImax, ULONG lAccel, ULONG lVel) = 0;
  virtual HRESULT PMTSetVoltageEx(tagPMTChannels eChannelId, BOOL32 bNeedDisableShutdown) = 0;
  virtual HRESULT PMTChangeVoltageEx(tagPMTChannels eChannelId, ULONG ulVoltage,
                                     BOOL32 bNeedDisableShutdown) = 0;
  // pbRtn: whether the laser reached the target level.
  virtual HRESULT CalibrateLaserEx(BOOL32 bRed, double dTargetLevel, double dAllowDelta, WORD uMinStableTime,
                                   WORD nRetry, BOOL32* pbRtn) = 0;
};
