// IScanCtrl: carousel and slide, PMT channels and their calibration, lasers, door, FLASH
// store and DSP memory dump.
#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <vector>

#include "Jotwell/Logger.h"
#include "Jotwell/Utilities.h"
#include "com/ComServer.h"
#include "com/ScanCtrl.h"
#include "devices/DeviceErrors.h"
#include "devices/DeviceUtil.h"
#include "devices/Scanner.h"
#include "link/MessageTable.h"
#include "platform/files.h"

using namespace movrak;
using platform::com::S_OK;

namespace {

constexpr int kArmAtHolder = 2;
constexpr int kErrInvalidDSPId = 619;
constexpr int kErrOpeningFile = 551;
constexpr int kDetailDSPId = 2022;
constexpr int kErrArmAtHolderWithChip = 629;
// The open-door refusal of LockDoor.
constexpr int kErrDoorOpen = kErrNotReady;

CChannel& Channel(CScanner& scanner, int channel) {
  CChannel* c = scanner.GetChannel(channel);
  if (!c) throw kErrInvalidPMTChannel;
  return *c;
}

}  // namespace

bool IsValidDSPId(int id) { return id >= kScan && id <= kVCAF; }

std::string FormatMessageResource(int id, ...) {
  const char* format = FindMessageText(id);
  if (!format) return FormatText("Missing message resource: %d", id);
  va_list args;
  va_start(args, id);
  std::string text = FormatTextV(format, args);
  va_end(args);
  return text;
}

// ---- autoloader and slide ---------------------------------------------------------------------

HRESULT CScanCtrl::LoadCarousel() {
  return Frame([&] { Scanner().LoadCarousel(); });
}

HRESULT CScanCtrl::AdvanceCarousel(tagCarouselDir eDir, LONG lCount) {
  return Frame([&] {
    LogInfo("Advancing Carousel");
    CScanner& scanner = Scanner();
    const int location = scanner.GetArm().GetLocation();
    if (location == kArmAtHolder && scanner.GetCarousel().IsChipPresent()) throw kErrArmAtHolderWithChip;
    if (location == CArm::kLocationUnknown) scanner.GetArm().MoveToCarousel();
    if (eDir == kClockwise)
      scanner.GetCarousel().RotateClockwise(lCount);
    else
      scanner.GetCarousel().RotateCounterClockwise(lCount);
  });
}

HRESULT CScanCtrl::LoadChip(int numTriesToReadBarcode, int nSlotToLoadFrom) {
  return Frame([&] {
    {
      std::lock_guard lock(m_Mutex);
      m_strBarcode.clear();
    }
    CScanner& scanner = Scanner();
    scanner.BarcodeReaderLaserControl(true);
    std::string barcode;
    try {
      barcode = scanner.LoadChip(numTriesToReadBarcode, nSlotToLoadFrom);
    } catch (...) {
      // The reader's light goes off before the failure is reported.
      try {
        scanner.BarcodeReaderLaserControl(false);
      } catch (...) {
      }
      throw;
    }
    {
      std::lock_guard lock(m_Mutex);
      m_strBarcode = barcode;
    }
    scanner.BarcodeReaderLaserControl(false);
  });
}

HRESULT CScanCtrl::EjectChip() {
  return Frame([&] { Scanner().EjectChip(); });
}

HRESULT CScanCtrl::EjectCarousel() {
  return Frame([&] { Scanner().EjectCarousel(); });
}

HRESULT CScanCtrl::IsChipPresent(BOOL32* pbPresent) {
  return Frame([&] {
    const bool present = Scanner().GetCarousel().IsChipPresent();
    if (pbPresent) *pbPresent = present ? 1 : 0;
  });
}

HRESULT CScanCtrl::IsCarouselAligned(BOOL32* pbAligned) {
  return Frame([&] {
    const bool aligned = Scanner().GetCarousel().IsCarouselAligned();
    LogInfo("Check Carousel Sensor: Carousel %s", aligned ? "properly seated" : "not seated properly");
    if (pbAligned) *pbAligned = aligned ? 1 : 0;
  });
}

HRESULT CScanCtrl::StartBrowseCarousel(int nFirstSlot, int nLastSlot, BOOL32 bScanBarcodes) {
  return Frame([&] { Scanner().StartBrowseCarousel(nFirstSlot, nLastSlot, bScanBarcodes != 0); });
}

HRESULT CScanCtrl::GetBrowseCarouselInfo(int nSlotNo, BOOL32* pbChipInSlot, unsigned char* pcSymbology,
                                         unsigned char* pszBarcode) {
  return Frame([&] { ReadBrowseCarouselInfo(Scanner(), nSlotNo, pbChipInSlot, pcSymbology, pszBarcode); });
}

HRESULT CScanCtrl::StopBrowseCarousel() {
  return Frame([&] { Scanner().StopBrowseCarousel(); });
}

HRESULT CScanCtrl::get_Barcode(std::string* pVal) {
  std::lock_guard lock(m_Mutex);
  if (pVal) *pVal = m_strBarcode;
  return S_OK;
}

HRESULT CScanCtrl::get_IsTarselBarcode(LONG* pVal) {
  return Frame([&] {
    if (pVal) *pVal = Scanner().GetBarcodeCheck();
  });
}

// ---- PMT channels and calibration ----------------------------------------------------------------

HRESULT CScanCtrl::get_PMTVoltageSetting(LONG eChannel, double* pVal) {
  return Frame([&] {
    if (eChannel < 0 || eChannel > kYellowPMT) throw kErrInvalidPMTChannel;
    const std::string key = FormatText("PMT%d", static_cast<int>(eChannel) + 1);
    const double volts = static_cast<double>(Scanner().GetFlash().GetUnsigned(key.c_str())) / 10.0;
    if (pVal) *pVal = volts;
  });
}

HRESULT CScanCtrl::PMTChangeVoltageEx(tagPMTChannels eChannelId, ULONG ulVoltage,
                                      BOOL32 bNeedDisableShutdown) {
  return Frame([&] {
    CChannel& channel = Channel(Scanner(), eChannelId);
    LogInfo("Changing PMT Voltage to %u (tenths of volts) for the %s channel",
            static_cast<unsigned>(ulVoltage), eChannelId == kRedPMT ? "Red" : "Green");
    channel.ChangeVoltage(ulVoltage, true, bNeedDisableShutdown != 0);
  });
}

HRESULT CScanCtrl::PMTChangeVoltage(tagPMTChannels eChannelId, ULONG ulVoltage) {
  return PMTChangeVoltageEx(eChannelId, ulVoltage, 0);
}

HRESULT CScanCtrl::PMTGetVoltage(tagPMTChannels eChannelId, ULONG* pVoltage) {
  return Frame([&] {
    const unsigned voltage = Channel(Scanner(), eChannelId).GetVoltage();
    if (pVoltage) *pVoltage = voltage;
  });
}

HRESULT CScanCtrl::PMTGetNomCalibSignal(tagPMTChannels eChannelId, ULONG* pVal) {
  return Frame([&] {
    if (eChannelId != kRedPMT && eChannelId != kGreenPMT) return;
    const unsigned long value = Scanner().GetFlash().GetUnsigned(
        eChannelId == kRedPMT ? "PMT1_NominalCalibrationSignal" : "PMT2_NominalCalibrationSignal");
    if (pVal) *pVal = static_cast<ULONG>(value);
  });
}

HRESULT CScanCtrl::PMTGetFlashVoltage(tagPMTChannels eChannelId, ULONG* pVoltage) {
  return Frame([&] {
    if (eChannelId != kRedPMT && eChannelId != kGreenPMT) return;
    const unsigned long value = Scanner().GetFlash().GetUnsigned(eChannelId == kRedPMT ? "PMT1" : "PMT2");
    if (pVoltage) *pVoltage = static_cast<ULONG>(value);
  });
}

HRESULT CScanCtrl::CalibratePMT(unsigned uChannelMask, double dRatioRed, double dRatioGreen,
                                unsigned uFullVoltRed, unsigned uFullVoltGreen, unsigned* uNewVoltRed,
                                unsigned* uNewVoltGreen, BOOL32* bBadPMTCalib, float fred, float fgreen) {
  unsigned pixelSizeX = 0;
  {
    std::lock_guard lock(m_Mutex);
    pixelSizeX = m_uPixelSizeX;
  }
  return Frame([&] {
    unsigned red = 0, green = 0;
    int bad = 0;
    auto handOut = [&] {
      if (uNewVoltRed) *uNewVoltRed = red;
      if (uNewVoltGreen) *uNewVoltGreen = green;
      if (bBadPMTCalib) *bBadPMTCalib = bad;
    };
    try {
      Scanner().CalibratePMT(static_cast<int>(uChannelMask), pixelSizeX, dRatioRed, dRatioGreen, uFullVoltRed,
                             uFullVoltGreen, red, green, bad, fred, fgreen);
    } catch (int e) {
      // The fallback settings of an unstable or lost calibration are what the scan uses.
      if (e == kErrPMTCalibUnstable || e == kErrPMTCalibLost) handOut();
      throw;
    }
    handOut();
  });
}

HRESULT CScanCtrl::SetDarkSubtractionValue(double dRedMean, double dGreenMean, LONG* lRedValue,
                                           LONG* lGreenValue) {
  return Frame([&] {
    std::int32_t red = 0, green = 0;
    Scanner().SetDarkSubtractionValue(dRedMean, dGreenMean, red, green);
    if (lRedValue) *lRedValue = red;
    if (lGreenValue) *lGreenValue = green;
  });
}

HRESULT CScanCtrl::MeasureDarkOffset(LONG, LONG, LONG, std::int16_t*) {
  return Frame([&] { Scanner().GetScanObj().MeasureDarkOffset(); });
}

HRESULT CScanCtrl::CalibrationLightSource(BOOL32 bLightSourceOn) {
  return Frame([&] { Scanner().GetScanObj().CalibrationLightSource(bLightSourceOn != 0); });
}

HRESULT CScanCtrl::CalculatePMTVoltage(tagPMTChannels eChannelId, double dPMTRatio, ULONG ulVoltRef,
                                       ULONG* pVoltNew) {
  return Frame([&] {
    Channel(Scanner(), eChannelId);
    const unsigned voltage = Scanner().CalculatePMTVoltage(eChannelId, dPMTRatio, ulVoltRef);
    if (pVoltNew) *pVoltNew = voltage;
  });
}

// ---- lasers
// ------------------------------------------------------------------------------------------------

HRESULT CScanCtrl::CalibrateLaserEx(BOOL32 bRed, double dTargetLevel, double dAllowDelta,
                                    std::uint16_t uMinStableTimeSec, std::int16_t nRetry, BOOL32* pbRtn) {
  return Frame([&] {
    const LaserStatus status =
        Scanner().CalibrateLaser(bRed != 0, dTargetLevel, dAllowDelta, uMinStableTimeSec, nRetry);
    if (pbRtn) *pbRtn = status == LaserStatusDone ? 1 : 0;
  });
}

HRESULT CScanCtrl::CalibrateLaser(BOOL32 bRed, BOOL32* pbRtn) {
  return Frame([&] {
    const int result = Scanner().CheckLaserPowerSpec(bRed != 0);
    if (pbRtn) *pbRtn = result;
  });
}

HRESULT CScanCtrl::CheckLaserWarmingUpStatus(BOOL32 bForInitCheck, BOOL32* pbReadyRed, BOOL32* pbReadyGreen) {
  return Frame([&] {
    bool red = false, green = false;
    Scanner().LaserWarmingUpStatus(red, green, bForInitCheck != 0, true);
    if (pbReadyRed) *pbReadyRed = red ? 1 : 0;
    if (pbReadyGreen) *pbReadyGreen = green ? 1 : 0;
  });
}

HRESULT CScanCtrl::LaserPowerStatus(BOOL32 bRed, BOOL32* pbPowerOn) {
  return Frame([&] {
    const int on = Scanner().GetPortCtrlStatus(bRed != 0);
    if (pbPowerOn) *pbPowerOn = on;
  });
}

HRESULT CScanCtrl::CalibrateLasers() {
  return Refuse(" [CScanCtrl::CalibrateLasers() function is not for C scanner]");
}

HRESULT CScanCtrl::CheckLaserStatus() {
  return Refuse(" [CScanCtrl::CheckLaserStatus() function is not for C scanner]");
}

HRESULT CScanCtrl::LaserPowerRequest(BOOL32, BOOL32) {
  return Refuse(" [CScanCtrl::LaserPowerRequest() function is not for C scanner]");
}

HRESULT CScanCtrl::RemoveAllLaserPowerRequests() {
  return Refuse(" [CScanCtrl::RemoveAllLaserPowerRequests() function is not for C scanner]");
}

HRESULT CScanCtrl::GetLaserSetPointChange(float*, float*) {
  LogDebug(1, "CScanCtrl::GetLaserSetPointChange() function is not for C scanner");
  return S_OK;
}

// ---- door, FLASH and DSP memory -----------------------------------------------------------------------

HRESULT CScanCtrl::LockDoor() {
  bool open = false;
  const HRESULT hr = Frame([&] {
    CScanner& scanner = Scanner();
    if (scanner.IsDoorClosed())
      scanner.LockDoor();
    else
      open = true;
  });
  if (hr != S_OK || !open) return hr;
  const std::string text = "Door is not closed.  Lock failed.";
  LogError("%s\r\n\t\t[Error Code: 0x%X]", text.c_str(), static_cast<unsigned>(kErrDoorOpen));
  return ReportError(text, kErrDoorOpen);
}

HRESULT CScanCtrl::UnLockDoor() {
  return Frame([&] { Scanner().UnLockDoor(); });
}

HRESULT CScanCtrl::IsDoorClosed(BOOL32* pbIsClosed) {
  return Frame([&] {
    const bool closed = Scanner().IsDoorClosed();
    if (pbIsClosed) *pbIsClosed = closed ? 1 : 0;
  });
}

HRESULT CScanCtrl::FlashGetString(const std::string& bstrKeyName, std::string* pbstrVal) {
  return Frame([&] {
    std::string value = Scanner().GetFlash().GetString(FlashKeyArg(bstrKeyName));
    if (pbstrVal) *pbstrVal = std::move(value);
  });
}

HRESULT CScanCtrl::FlashGetLong(const std::string& bstrKeyName, LONG* plVal) {
  return Frame([&] {
    const long value = Scanner().GetFlash().GetLong(FlashKeyArg(bstrKeyName));
    if (plVal) *plVal = static_cast<LONG>(value);
  });
}

HRESULT CScanCtrl::FlashGetUnsigned(const std::string& bstrKeyName, ULONG* pulVal) {
  return Frame([&] {
    const unsigned long value = Scanner().GetFlash().GetUnsigned(FlashKeyArg(bstrKeyName));
    if (pulVal) *pulVal = static_cast<ULONG>(value);
  });
}

HRESULT CScanCtrl::FlashGetUnsignedDef(const std::string& bstrKeyName, ULONG ulDefault, ULONG* pulVal) {
  return Frame([&] {
    const unsigned long value = Scanner().GetFlash().GetUnsignedDef(FlashKeyArg(bstrKeyName), ulDefault);
    if (pulVal) *pulVal = static_cast<ULONG>(value);
  });
}

HRESULT CScanCtrl::FlashSetUnsigned(const std::string& bstrKeyName, ULONG ulVal) {
  // Stored as the signed 32-bit number of the same bits.
  return Frame(
      [&] { Scanner().GetFlash().SetLong(FlashKeyArg(bstrKeyName), static_cast<std::int32_t>(ulVal)); });
}

HRESULT CScanCtrl::FlashBurn() {
  return Frame([&] { Scanner().GetFlash().Burn(); });
}

HRESULT CScanCtrl::DSPMemDump(tagDSPIDs eDSPId, std::uint16_t wStartAddr, std::uint16_t wNumWords,
                              const std::string& bstrFileName) {
  if (!IsValidDSPId(eDSPId))
    return ReportError(FormatMessageResource(kDetailDSPId, static_cast<unsigned>(eDSPId)), kErrInvalidDSPId);
  platform::File file;
  if (!file.openExclusive(bstrFileName, platform::OpenMode::create))
    return ReportError("Error Opening file.", kErrOpeningFile);
  return Frame([&] {
    std::vector<std::uint16_t> words(wNumWords);
    Scanner().GetDSP(eDSPId)->MemDump(wStartAddr, wNumWords, words.data());
    std::string text;
    for (std::uint16_t w : words) text += FormatText("%u\r\n", static_cast<unsigned>(w));
    if (!file.write(text)) throw kErrOpeningFile;
  });
}
