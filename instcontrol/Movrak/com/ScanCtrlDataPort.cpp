// IScanCtrl: pass-throughs to the scan-data port, a few scanner operations, the link's
// runtime test and the fast-stage motor; red-laser readiness, self test and raw data.
#include <climits>

#include "Jotwell/Logger.h"
#include "Jotwell/Utilities.h"
#include "com/ScanCtrl.h"
#include "devices/DeviceErrors.h"
#include "devices/DeviceUtil.h"
#include "devices/Scanner.h"

using namespace movrak;
using platform::com::S_OK;

namespace {

constexpr int kErrPortConfiguration = 12007;
constexpr int kPortStatusBase = 12000;
constexpr long kBytesPerSample = 4;

IScanCtrl::BOOL32 AsBool(bool b) { return b ? 1 : 0; }

// A raw-data read's buffer must be there and hold every sample (600 otherwise).
void CheckSampleBuffer(long numSamples, const unsigned char* buffer, long available) {
  if (!buffer || numSamples <= 0 || available <= 0 || numSamples > available / kBytesPerSample)
    throw kErrBadParameter;
}

}  // namespace

#define MOVRAK_PORT_FLAG(Method, Call)                 \
  HRESULT CScanCtrl::Method(BOOL32* pOut) {            \
    return Frame([&] {                                 \
      const bool value = Scanner().GetDataPort().Call; \
      if (pOut) *pOut = AsBool(value);                 \
    });                                                \
  }

MOVRAK_PORT_FLAG(SDPIsOpen, IsPortOpen())
MOVRAK_PORT_FLAG(SDPIsConfigured, IsPortConfigured())
MOVRAK_PORT_FLAG(SDPIsDCMPhaseOK, IsDCMPhaseOK())
MOVRAK_PORT_FLAG(SDPIsReady, IsReady())
MOVRAK_PORT_FLAG(SDPAutoAdjustDCMPhases, AutoAdjustDCMPhases())
MOVRAK_PORT_FLAG(SDPIsBusy, IsBusy())
MOVRAK_PORT_FLAG(SDPIsInitCfgSkipped, IsInitCfgSkipped())
MOVRAK_PORT_FLAG(IsRedLaserReadyToAdjust, IsRedLaserReadyToAdjust())
#undef MOVRAK_PORT_FLAG

#define MOVRAK_PORT_TEXT(Method, Call)                  \
  HRESULT CScanCtrl::Method(std::string* pVal) {        \
    return Frame([&] {                                  \
      std::string value = Scanner().GetDataPort().Call; \
      if (pVal) *pVal = std::move(value);               \
    });                                                 \
  }

MOVRAK_PORT_TEXT(SDPGetDeviceVersion, GetDeviceVersionString())
MOVRAK_PORT_TEXT(SDPGetDeviceSN, GetDeviceSNString())
MOVRAK_PORT_TEXT(SDPGetDeviceID, GetDeviceIDString())
MOVRAK_PORT_TEXT(SDPGetFPGAVersion, GetFPGABitVersionString())
#undef MOVRAK_PORT_TEXT

#define MOVRAK_PORT_DCM(Method, Call)                          \
  HRESULT CScanCtrl::Method(BOOL32 bOddPhase, BOOL32* pbRtn) { \
    return Frame([&] {                                         \
      const bool ok = Scanner().GetDataPort().Call(bOddPhase); \
      if (pbRtn) *pbRtn = AsBool(ok);                          \
    });                                                        \
  }

MOVRAK_PORT_DCM(SDPCfgDCMReset, SetDCMConfigReset)
MOVRAK_PORT_DCM(SDPCfgDCMStepInc, SetDCMConfigInc)
MOVRAK_PORT_DCM(SDPCfgDCMStepDec, SetDCMConfigDec)
MOVRAK_PORT_DCM(SDPCfgDCMShiftPhase, SetDCMConfigPhaseAdjust)
#undef MOVRAK_PORT_DCM

HRESULT CScanCtrl::SDPAutoAdjustDCMs(BOOL32 bOddPhase) {
  return Frame([&] { Scanner().GetDataPort().DoDCMPhaseAutoAdjust(bOddPhase); });
}

HRESULT CScanCtrl::SDPGetDCMCfgInfo(LONG* pFCValue, LONG* pDCMStats) {
  return Frame([&] {
    CScanDataPort& port = Scanner().GetDataPort();
    const int fc = port.GetLvdsFCValue();
    const int stats = port.GetLvdsStatus();
    if (pFCValue) *pFCValue = fc;
    if (pDCMStats) *pDCMStats = stats;
  });
}

HRESULT CScanCtrl::SDPGetCtrlStats(LONG* pStatus1, LONG* pStatus2, BOOL32* pbRtn) {
  return Frame([&] {
    int status1 = 0, status2 = 0;
    const bool ok = Scanner().GetDataPort().GetMiscFeedbackInfo(status1, status2);
    if (pStatus1) *pStatus1 = status1;
    if (pStatus2) *pStatus2 = status2;
    if (pbRtn) *pbRtn = AsBool(ok);
  });
}

HRESULT CScanCtrl::SDPClearCtrlErr() {
  return Frame([&] { Scanner().GetDataPort().ClearMiscErrorFlags(); });
}

HRESULT CScanCtrl::SDPSetLaserOnOff(BOOL32 bRed, BOOL32 bOn) {
  return Frame([&] { Scanner().GetDataPort().SetLaserOnOff(bOn != 0, bRed != 0); });
}

HRESULT CScanCtrl::SDPSetLaserPWOnOff(BOOL32 bRed, BOOL32 bOn) {
  return Frame([&] { Scanner().GetDataPort().SendLaserPowerOnOffCmd(bOn != 0, bRed != 0); });
}

HRESULT CScanCtrl::SDPSetLaserSetPoint(BOOL32 bRed, double dSetLevel, BOOL32 bInMWatts) {
  return Frame([&] { Scanner().ChangeLaserSetPoint(bRed != 0, dSetLevel, bInMWatts != 0); });
}

HRESULT CScanCtrl::SDPGetLaserPower(BOOL32 bRed, BOOL32 bInMWatts, double* pPower) {
  return Frame([&] {
    const double power = Scanner().GetLaserPower(bRed != 0, bInMWatts != 0);
    if (pPower) *pPower = power;
  });
}

HRESULT CScanCtrl::SDPGetPMTVoltage(BOOL32 bRed, LONG* pVolt) {
  return Frame([&] {
    const int volt = Scanner().GetDataPort().GetPMTVoltage(bRed != 0);
    if (pVolt) *pVolt = volt;
  });
}

HRESULT CScanCtrl::SDPSetPMTVoltage(BOOL32 bRed, std::uint16_t nVolt) {
  return SDPSetPMTVoltageEx(bRed, nVolt, 0);
}

HRESULT CScanCtrl::SDPSetPMTVoltageEx(BOOL32 bRed, std::uint16_t nVolt, BOOL32 bNeedDisableShutdown) {
  return Frame([&] {
    CScanDataPort& port = Scanner().GetDataPort();
    PortAccess access(port);
    port.SetPMTVoltage(nVolt, bRed != 0, bNeedDisableShutdown != 0);
  });
}

HRESULT CScanCtrl::SDPSetHeNePD(std::uint16_t nPhotodiode) {
  return Frame([&] {
    CScanDataPort& port = Scanner().GetDataPort();
    PortAccess access(port);
    port.SetHeNePhotodiode(nPhotodiode);
  });
}

HRESULT CScanCtrl::SDPSetSPIWriteData(std::uint16_t nData) {
  return Frame([&] {
    CScanDataPort& port = Scanner().GetDataPort();
    PortAccess access(port);
    port.SetSPIWriteData(nData);
  });
}

HRESULT CScanCtrl::SDPKeepAlive(BOOL32* pbRtn) {
  return Frame([&] {
    const bool ok = Scanner().GetDataPort().SendKeepAliveCmd(true);
    if (pbRtn) *pbRtn = AsBool(ok);
  });
}

HRESULT CScanCtrl::SDPLoadFPGA(const std::string& bstrFileName) {
  return Frame([&] {
    if (!Scanner().GetDataPort().LoadFPGA(bstrFileName.c_str())) throw kErrPortConfiguration;
  });
}

HRESULT CScanCtrl::SDPOpenPort(const std::string& bstrFileName) {
  return Frame([&] {
    if (!Scanner().GetDataPort().OpenPort(bstrFileName.c_str()))
      throw kPortStatusBase + static_cast<int>(PortStatusConnectFailed);
  });
}

HRESULT CScanCtrl::SDPConfigPort(const std::string& bstrSN, const std::string& bstrFileName, BOOL32* pbRtn) {
  return Frame([&] {
    const bool ok = Scanner().GetDataPort().ConfigurePort(bstrSN.c_str(), bstrFileName.c_str());
    if (pbRtn) *pbRtn = AsBool(ok);
  });
}

HRESULT CScanCtrl::SDPFindPort(std::string* pbstrPortSN) {
  return Frame([&] {
    std::string serial;
    Scanner().GetDataPort().FindScanDataPort(serial);
    if (pbstrPortSN) *pbstrPortSN = std::move(serial);
  });
}

HRESULT CScanCtrl::SDPInitRunMode(unsigned uiRunMode, unsigned uiSamplingMode, BOOL32* pbRtn) {
  return Frame([&] {
    const bool ok =
        Scanner().GetDataPort().InitRunMode(static_cast<eDataModeType>(uiRunMode), uiSamplingMode);
    if (pbRtn) *pbRtn = AsBool(ok);
  });
}

HRESULT CScanCtrl::SDPGetAvailableByteCnt(ULONG* pulByteCnt) {
  return Frame([&] {
    const long count = Scanner().GetDataPort().GetAvailableDataByteCnt();
    if (pulByteCnt) *pulByteCnt = static_cast<ULONG>(count);
  });
}

HRESULT CScanCtrl::SDPReadFakeData(BOOL32 bSaveData, ULONG* pulByteCnt) {
  return Frame([&] {
    const long count = Scanner().GetDataPort().ReadFakeData(bSaveData != 0);
    if (pulByteCnt) *pulByteCnt = static_cast<ULONG>(count);
  });
}

HRESULT CScanCtrl::SDPGetData(unsigned uiRunMode, unsigned char* pBuffer, LONG lBufAvailable,
                              LONG lPacketSize, ULONG* pulByteCnt) {
  return Frame([&] {
    CScanDataPort& port = Scanner().GetDataPort();
    long count = 0;
    if (uiRunMode <= eMeasuringData && (!pBuffer || lBufAvailable <= 0)) throw kErrBadParameter;
    switch (uiRunMode) {
      case eFakeData:
        count = port.GetFakeData(pBuffer, lBufAvailable);
        break;
      case eScanData:
        count = port.GetScanData(pBuffer, lBufAvailable, lPacketSize);
        break;
      case eMeasuringData:
        count = port.GetSampleData(pBuffer, lBufAvailable);
        break;
      default:
        break;
    }
    if (pulByteCnt) *pulByteCnt = static_cast<ULONG>(count);
  });
}

HRESULT CScanCtrl::SDPSetAbort(BOOL32 bAbort) {
  return Frame([&] { Scanner().GetDataPort().SetAbort(bAbort != 0); });
}

HRESULT CScanCtrl::IsRuntimeOnline(BOOL32* pbOnline) {
  return Frame([&] {
    bool online = false;
    const int r = Scanner().GetComm().IsRuntimeOnline(&online);
    if (r == kErrConnectionLost)
      online = false;
    else if (r != 0)
      throw r;
    if (pbOnline) *pbOnline = AsBool(online);
  });
}

HRESULT CScanCtrl::SDPEnablingShutdown(BOOL32 bEnable) {
  return Frame([&] { Scanner().GetDataPort().EnableShutdown(bEnable); });
}

HRESULT CScanCtrl::SDPShutterOpenClose(BOOL32 bOpen, BOOL32 bShutter1) {
  return Frame([&] { Scanner().GetDataPort().SetShutterOpenClose(bOpen != 0, bShutter1 != 0); });
}

HRESULT CScanCtrl::SDPBlockLasers(BOOL32 bBlock) {
  return Frame([&] {
    LogDebug(1, "<CScanCtrl> Send command to %s both lasers", bBlock ? "block" : "unblock");
    CScanDataPort& port = Scanner().GetDataPort();
    port.SetShutterOpenClose(bBlock == 0, true);
    port.SetShutterOpenClose(bBlock == 0, false);
  });
}

HRESULT CScanCtrl::FSMotorDriverOnOff(BOOL32 bOn) {
  return Frame([&] {
    LogDebug(1, "Set Fast-Stage motor %s", bOn ? "on" : "off");
    if (bOn)
      Scanner().GetVCStage().DriverOn();
    else
      Scanner().GetVCStage().DriverOff();
  });
}

HRESULT CScanCtrl::SetFSMotorCtrlMode(tagMotorCtrlMode eMode) {
  if (eMode != kMotorCtrlOpen && eMode != kMotorCtrlHold) {
    const std::string text = FormatText("Failed to set Fast-Stage motor control mode: %s [mode = %d]",
                                        GetErrorText(kErrBadParameter).c_str(), static_cast<int>(eMode));
    return ReportError(text, kErrBadParameter);
  }
  return Frame([&] {
    LogDebug(1, "Set Fast-Stage motor control mode: mode = %d", static_cast<int>(eMode));
    Scanner().GetVCStage().SetSpeed(eMode == kMotorCtrlOpen ? -1 : 0);
  });
}

HRESULT CScanCtrl::RunHeNeHWPMotor(BOOL32 bForward, std::int16_t nSpeed) {
  return Frame([&] { Scanner().GetDataPort().RunHeNeHWPMotor(bForward != 0, nSpeed); });
}

// ---- laser readiness, error counts, self test ------------------------------------------------------------

HRESULT CScanCtrl::GetRedLaserLastOnMinutes(ULONG* pRtn) {
  return Frame([&] {
    const std::int64_t minutes = Scanner().GetDataPort().GetRedLaserLastOnMinutes();
    if (pRtn) *pRtn = static_cast<ULONG>(static_cast<std::uint64_t>(minutes) & 0xFFFFFFFFu);
  });
}

HRESULT CScanCtrl::IsRedLaserDid1stCalibration(BOOL32* pbRtn) {
  return Frame([&] {
    if (pbRtn) *pbRtn = AsBool(Scanner().IsRedLaserDid1stCalibration());
  });
}

HRESULT CScanCtrl::SDPGetSimpleErrCounts(int* pRtVal) {
  return Frame([&] {
    const int count = Scanner().GetDataPort().GetSimpleErrCounts();
    if (pRtVal) *pRtVal = count;
  });
}

HRESULT CScanCtrl::SDPClearSimpleErrCounts() {
  return Frame([&] { Scanner().GetDataPort().ClearSimpleErrCounts(); });
}

HRESULT CScanCtrl::SDPEnableMasterTimeout(BOOL32 bEnable) {
  return Frame([&] { Scanner().GetDataPort().EnableMasterTimeout(bEnable != 0); });
}

HRESULT CScanCtrl::SDPEnableSimpleDuplication(BOOL32 bEnable) {
  return Frame([&] { Scanner().GetDataPort().EnableSimpleDuplication(bEnable != 0); });
}

HRESULT CScanCtrl::SetOnOffLaserPowers(BOOL32 bPowerOn, BOOL32* pbRtn) {
  return Frame([&] {
    const int result = Scanner().SetOnOffLaserPowers(bPowerOn != 0);
    if (pbRtn) *pbRtn = result;
  });
}

HRESULT CScanCtrl::GetRedLaserPowerReadyToAdjustMinWaitTime(LONG* pRtn) {
  return Frame([&] {
    if (pRtn) *pRtn = Scanner().GetDataPort().GetLaserPowerReadyToAdjustMinWaitTimeRed();
  });
}

HRESULT CScanCtrl::GetRedLaserPowerReadyToAdjustWaitTimeLeft(LONG* pRtn) {
  return Frame([&] {
    const int left = Scanner().GetDataPort().GetLaserPowerReadyToAdjustWaitTimeLeftRed();
    if (pRtn) *pRtn = left;
  });
}

HRESULT CScanCtrl::SelfTest(LONG* pRtn) {
  return Frame([&] {
    // The findings are in the log; the call itself has done its part.
    Scanner().SelfTest(false);
    if (pRtn) *pRtn = 1;
  });
}

HRESULT CScanCtrl::OnStartExitCarouselRun(BOOL32 bStart) {
  return Frame([&] { Scanner().OnStartExitCarouselRun(bStart != 0); });
}

HRESULT CScanCtrl::TestLaserPowerMinMax(BOOL32 bRed, double* pMWattsMin, double* pMWattsMax) {
  return Frame([&] {
    double low = 0, high = 0;
    Scanner().TestLaserPowerMinMax(bRed != 0, low, high);
    if (pMWattsMin) *pMWattsMin = low;
    if (pMWattsMax) *pMWattsMax = high;
  });
}

// ---- raw and measuring data
// --------------------------------------------------------------------------------

#define MOVRAK_RAW_DATA(Method, Call)                                                                    \
  HRESULT CScanCtrl::Method(LONG lNumSamples, BOOL32 bGreen, unsigned char* pBuffer, LONG lBufAvailable, \
                            BOOL32* pbRtn) {                                                             \
    return Frame([&] {                                                                                   \
      CheckSampleBuffer(lNumSamples, pBuffer, lBufAvailable);                                            \
      const bool ok = Scanner().GetDataPort().Call(lNumSamples, bGreen != 0, pBuffer, lBufAvailable);    \
      if (pbRtn) *pbRtn = AsBool(ok);                                                                    \
    });                                                                                                  \
  }

MOVRAK_RAW_DATA(SDPGetRawData, GetRawData)
MOVRAK_RAW_DATA(SDPGetRawGainData, GetRawGainData)
MOVRAK_RAW_DATA(SDPGetRawOffsetData, GetRawOffsetData)
MOVRAK_RAW_DATA(SDPGetRawGatedData, GetRawGatedData)
#undef MOVRAK_RAW_DATA

HRESULT CScanCtrl::SDPGetMeasuringData(LONG lNumSamples, unsigned uSamplingMode, unsigned char* pBuffer,
                                       LONG lBufAvailable, BOOL32* pbRtn) {
  return Frame([&] {
    CheckSampleBuffer(lNumSamples, pBuffer, lBufAvailable);
    const bool ok =
        Scanner().GetDataPort().GetMeasuringData(lNumSamples, uSamplingMode, pBuffer, lBufAvailable);
    if (pbRtn) *pbRtn = AsBool(ok);
  });
}

HRESULT CScanCtrl::SDPGetRawDataStats(LONG lNumSamples, BOOL32 bGreen, int nPixelSizeX,
                                      const std::string& bstrDumpFileName, double* pdHiAve, double* pdHiStDev,
                                      double* pdLoAve, double* pdLoStDev, BOOL32* pbIsSaturated,
                                      BOOL32* pbRtn) {
  return Frame([&] {
    int saturated = 0;
    double hiAve = 0, hiStDev = 0, loAve = 0, loStDev = 0;
    const bool ok =
        Scanner().GetDataPort().GetRawDataStats(lNumSamples, bGreen != 0, nPixelSizeX, saturated, hiAve,
                                                hiStDev, loAve, loStDev, bstrDumpFileName.c_str());
    if (pdHiAve) *pdHiAve = hiAve;
    if (pdHiStDev) *pdHiStDev = hiStDev;
    if (pdLoAve) *pdLoAve = loAve;
    if (pdLoStDev) *pdLoStDev = loStDev;
    if (pbIsSaturated) *pbIsSaturated = AsBool(saturated != 0);
    if (pbRtn) *pbRtn = AsBool(ok);
  });
}

#define MOVRAK_RAW_STATS(Method, Call)                                                                     \
  HRESULT CScanCtrl::Method(LONG lNumSamples, BOOL32 bGreen, int nPixelSizeX, const std::string& bstrDump, \
                            double* pdHiAve, double* pdHiStDev, double* pdLoAve, double* pdLoStDev,        \
                            BOOL32* pbRtn) {                                                               \
    return Frame([&] {                                                                                     \
      double hiAve = 0, hiStDev = 0, loAve = 0, loStDev = 0;                                               \
      const bool ok = Scanner().GetDataPort().Call(lNumSamples, bGreen != 0, nPixelSizeX, hiAve, hiStDev,  \
                                                   loAve, loStDev, bstrDump.c_str());                      \
      if (pdHiAve) *pdHiAve = hiAve;                                                                       \
      if (pdHiStDev) *pdHiStDev = hiStDev;                                                                 \
      if (pdLoAve) *pdLoAve = loAve;                                                                       \
      if (pdLoStDev) *pdLoStDev = loStDev;                                                                 \
      if (pbRtn) *pbRtn = AsBool(ok);                                                                      \
    });                                                                                                    \
  }

MOVRAK_RAW_STATS(SDPGetRawGainStats, GetRawGainStats)
MOVRAK_RAW_STATS(SDPGetRawOffsetStats, GetRawOffsetStats)
MOVRAK_RAW_STATS(SDPGetRawGatedStats, GetRawGatedStats)
#undef MOVRAK_RAW_STATS
