// IScanLL: a scan step by step, the PMT voltages, the lasers and their calibration, the
// dark offset and the EOM's digital potentiometer.
#include "Jotwell/Logger.h"
#include "com/ComServer.h"
#include "com/ScanLL.h"
#include "devices/DeviceErrors.h"
#include "devices/Scanner.h"

using namespace movrak;
using platform::com::S_OK;

namespace {
constexpr int kDetailADC = 2016;
}  // namespace

// ---- scans ---------------------------------------------------------------------------------------

HRESULT CScanLL::SquareStartScan(LONG lPixels, LONG lNumRows, LONG lStageStart, LONG lStageInc,
                                 LONG lPackType, ULONG uBinX, ULONG uBinY, LONG lRescans, LONG lOutScale,
                                 ULONG uMask, ULONG lVCStart, ULONG uVCInc) {
  return Run(kSrcSquareStartScan, [&] {
    Scanner().GetScanObj().SquareStart(lPixels, lNumRows, lStageStart, lStageInc, lPackType,
                                       static_cast<int>(uBinX), static_cast<int>(uBinY),
                                       static_cast<unsigned>(lRescans), static_cast<unsigned>(lOutScale),
                                       uMask, static_cast<int>(lVCStart), uVCInc);
  });
}

HRESULT CScanLL::GetScanLine(LONG lPoints, WORD* pPoints) {
  return Run(kSrcGetScanLine, [&] { ReadScanLine(Scanner(), lPoints, pPoints); });
}

HRESULT CScanLL::EndScan() {
  return Run(kSrcEndScan, [&] { Scanner().GetScanObj().End(); });
}

HRESULT CScanLL::AbortScan() {
  return Run(kSrcAbortScan, [&] { Scanner().GetScanObj().Abort(); });
}

HRESULT CScanLL::SetScanRegion(LONG lPixels, LONG lNumRows, LONG lVCStart, LONG lStageStart, LONG lVCInc,
                               LONG lStageInc, LONG lBinX, LONG lBinY) {
  return Run(kSrcSetScanRegion, [&] {
    Scanner().GetScanObj().SetScanRegion(lPixels, lNumRows, lVCStart, lStageStart, lVCInc, lStageInc, lBinX,
                                         lBinY);
  });
}

HRESULT CScanLL::SetPackageType(LONG lPackType) {
  return Run(kSrcSetPackType, [&] {
    Scanner().GetScanObj().SetPackageType(lPackType);
    std::lock_guard lock(m_Mutex);
    m_lPackageType = lPackType;
  });
}

HRESULT CScanLL::StartScan(LONG lChannelMask, LONG lRescans, LONG lOutShift) {
  return Run(kSrcStartScan, [&] {
    Scanner().GetScanObj().StartScan(static_cast<unsigned>(lChannelMask), static_cast<unsigned>(lRescans),
                                     static_cast<unsigned>(lOutShift));
  });
}

HRESULT CScanLL::DepthScan(LONG lDScanStart, LONG lDScanInc, LONG lDScanLines) {
  return Run(kSrcEnableDepthScan, [&] {
    Scanner().GetScanObj().EnableDepthScan(static_cast<unsigned>(lDScanStart),
                                           static_cast<unsigned>(lDScanInc),
                                           static_cast<unsigned>(lDScanLines));
  });
}

HRESULT CScanLL::EnableAutoFocus(LONG lSafePosX, LONG lSafePosY) {
  return Run(kSrcEnableAF, [&] {
    LogInfo("Homing autofocus at coordinate (%d,%d)...", static_cast<int>(lSafePosX),
            static_cast<int>(lSafePosY));
    LONG packageType = 0;
    double thickness = 0.0;
    {
      std::lock_guard lock(m_Mutex);
      packageType = m_lPackageType;
      thickness = m_dChipThickness;
    }
    Scanner().DoEnableAutofocus(lSafePosX, lSafePosY, packageType, &thickness);
    std::lock_guard lock(m_Mutex);
    m_dChipThickness = thickness;
  });
}

HRESULT CScanLL::get_ChipThickness(double* pVal) {
  return Run(kSrcRamSize, [&] {
    std::lock_guard lock(m_Mutex);
    if (pVal) *pVal = m_dChipThickness;
  });
}

HRESULT CScanLL::FindFiducials(float* ULRegionX, float* ULRegionY, float* slope) {
  return Run(kSrcFindFiducials, [&] {
    double x = ULRegionX ? *ULRegionX : 0.0, y = ULRegionY ? *ULRegionY : 0.0, s = slope ? *slope : 0.0;
    Scanner().GetScanObj().FindFiducials(&x, &y, &s);
    if (ULRegionX) *ULRegionX = static_cast<float>(x);
    if (ULRegionY) *ULRegionY = static_cast<float>(y);
    if (slope) *slope = static_cast<float>(s);
  });
}

HRESULT CScanLL::FindDatum(LONG offsetX, LONG offsetY, LONG*, LONG*) {
  return Run(kSrcFindFiducials, [&] {
    LONG packageType = 0;
    {
      std::lock_guard lock(m_Mutex);
      packageType = m_lPackageType;
    }
    Scanner().GetScanObj().FindDatum(offsetX, offsetY, packageType);
  });
}

// ---- PMTs ------------------------------------------------------------------------------------------

HRESULT CScanLL::PMTSetVoltageEx(tagPMTChannels eChannelId, BOOL32 bNeedDisableShutdown) {
  return WithChannel(kSrcPMTSetVoltage, eChannelId,
                     [&](CChannel& c) { c.SetVoltageFromFlash(bNeedDisableShutdown != 0); });
}

HRESULT CScanLL::PMTSetVoltage(tagPMTChannels eChannelId) {
  // Through the interface, so that the extended form serves both.
  return static_cast<IScanLL*>(this)->PMTSetVoltageEx(eChannelId, 0);
}

HRESULT CScanLL::PMTChangeVoltageEx(tagPMTChannels eChannelId, ULONG ulVoltage, BOOL32 bNeedDisableShutdown) {
  return WithChannel(kSrcPMTChangeVoltage, eChannelId,
                     [&](CChannel& c) { c.ChangeVoltage(ulVoltage, true, bNeedDisableShutdown != 0); });
}

HRESULT CScanLL::PMTChangeVoltage(tagPMTChannels eChannelId, ULONG ulVoltage) {
  return static_cast<IScanLL*>(this)->PMTChangeVoltageEx(eChannelId, ulVoltage, 0);
}

HRESULT CScanLL::PMTGetVoltage(tagPMTChannels eChannelId, ULONG* pVoltage) {
  return WithChannel(kSrcPMTGetVoltage, eChannelId, [&](CChannel& c) {
    const unsigned voltage = c.GetVoltage();
    if (pVoltage) *pVoltage = voltage;
  });
}

HRESULT CScanLL::SetADC(ULONG ulShift, ULONG ulDecimation, ULONG ulSample) {
  return Run(
      kSrcSetADC,
      [&] {
        Scanner().SetADC(static_cast<long>(ulShift), static_cast<long>(ulDecimation),
                         static_cast<long>(ulSample));
      },
      [&] {
        return FormatMessageResource(kDetailADC, static_cast<unsigned long>(ulShift),
                                     static_cast<unsigned long>(ulDecimation),
                                     static_cast<unsigned>(ulSample));
      });
}

// ---- lasers --------------------------------------------------------------------------------------------

HRESULT CScanLL::LaserInit() {
  return Run(kSrcInitLasers, [&] { Scanner().GetScanObj().InitLasers(); });
}

HRESULT CScanLL::CalibrateLasers(LONG, LONG, float*, float*, float*, float*, ULONG*) {
  return Refuse(" [CScanLL::CalibrateLasers() function is not for C scanner]");
}

HRESULT CScanLL::CalibrateLasersRaw(LONG, LONG, ULONG*, ULONG*, ULONG*, ULONG*, ULONG*) {
  return Refuse(" [CScanLL::CalibrateLasers() function is not for C scanner]");
}

HRESULT CScanLL::LaserPowerRequest(BOOL32, BOOL32, LONG, BOOL32, LONG, BOOL32, LONG, LONG, LONG, BOOL32,
                                   LONG) {
  return Refuse(" [CScanLL::LaserPowerRequest() function is not for C scanner]");
}

HRESULT CScanLL::RemoveAllLaserPowerRequests() {
  return Refuse(" [CScanLL::RemoveAllLaserPowerRequests() function is not for C scanner]");
}

HRESULT CScanLL::CalibrateLaserEx(BOOL32 bRed, double dTargetLevel, double dAllowDelta, WORD uMinStableTime,
                                  WORD nRetry, BOOL32* pbRtn) {
  return Run(
      kSrcCalibrateLasers,
      [&] {
        // A calibration that ran but missed its target is no failure of the call.
        const LaserStatus status =
            Scanner().CalibrateLaser(bRed != 0, dTargetLevel, dAllowDelta, uMinStableTime, nRetry);
        if (pbRtn) *pbRtn = status == LaserStatusDone ? 1 : 0;
      },
      {}, false);
}

HRESULT CScanLL::MeasureDarkOffset(ULONG, ULONG, ULONG, WORD*) {
  return Run(kSrcMeasureDarkOffset, [&] { Scanner().GetScanObj().MeasureDarkOffset(); });
}

HRESULT CScanLL::ControlLasers(LONG lLaserCtrlA, LONG lLaserCtrlB) {
  return Run(kSrcControlLasers, [&] { Scanner().GetScanObj().ControlLasers(lLaserCtrlA, lLaserCtrlB); });
}

HRESULT CScanLL::UpdateLaserVoltage(LONG lRedVolt, LONG lGreenVolt, LONG* redLaser, LONG* greenLaser) {
  return Run(kSrcUpdateLaserVoltage, [&] {
    long red = redLaser ? *redLaser : 0, green = greenLaser ? *greenLaser : 0;
    Scanner().GetScanObj().UpdateLaserVoltage(static_cast<unsigned>(lRedVolt),
                                              static_cast<unsigned>(lGreenVolt), &red, &green);
    if (redLaser) *redLaser = static_cast<LONG>(red);
    if (greenLaser) *greenLaser = static_cast<LONG>(green);
  });
}

HRESULT CScanLL::ReadLaserPower(LONG* redLaser, LONG* greenLaser) {
  return Run(kSrcReadLaserPower, [&] {
    long red = 0, green = 0;
    Scanner().GetScanObj().ReadLaserPower(&red, &green);
    if (redLaser) *redLaser = static_cast<LONG>(red);
    if (greenLaser) *greenLaser = static_cast<LONG>(green);
  });
}

HRESULT CScanLL::SetEOMDigitalPot(tagPMTChannels eChanId, LONG iVal) {
  return Run(kSrcSetEOMDigitalPot,
             [&] { Scanner().GetScanObj().SetEOMDigitalPot(eChanId, static_cast<unsigned>(iVal)); });
}

HRESULT CScanLL::CalibrationLightSource(BOOL32 bLightSourceOn) {
  return Run(kSrcCalibratePMT, [&] { Scanner().GetScanObj().CalibrationLightSource(bLightSourceOn != 0); });
}

HRESULT CScanLL::SetDarkSubtractionValue(double dRedMean, double dGreenMean, LONG* lRedValue,
                                         LONG* lGreenValue) {
  return Run(kSrcSetDarkSubtractionValue, [&] {
    std::int32_t red = lRedValue ? *lRedValue : 0, green = lGreenValue ? *lGreenValue : 0;
    Scanner().SetDarkSubtractionValue(dRedMean, dGreenMean, red, green);
    if (lRedValue) *lRedValue = red;
    if (lGreenValue) *lGreenValue = green;
  });
}

HRESULT CScanLL::LaserPowerStatus(BOOL32 bRed, BOOL32* pbPowerOn) {
  return Run(kSrcGetLaserPowerStatus, [&] {
    const int on = Scanner().GetPortCtrlStatus(bRed != 0);
    if (pbPowerOn) *pbPowerOn = on;
  });
}
