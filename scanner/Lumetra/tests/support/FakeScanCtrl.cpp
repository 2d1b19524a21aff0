#include "FakeScanCtrl.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "platform/text.h"

namespace lumetra_test {

using platform::com::S_OK;
using HRESULT = platform::com::HRESULT;
using BOOL32 = IScanCtrl::BOOL32;
using LONG = IScanCtrl::LONG;
using ULONG = IScanCtrl::ULONG;

namespace {
constexpr const char* kStateTexts[] = {
    "Fatal System Error.",       "Scanner Offline (or awaiting initialization).",
    "Initializing Scanner...",   "Scanner ready.",
    "Browsing Carousel...",      "Lasers are warming up...",
    "Lasers are powered off.",   "Calibrating Laser power...",
    "Turning on Green laser...", "Turning on Red laser..."};

template <typename T>
void Put(T* out, const T& value) {
  if (out) *out = value;
}
}  // namespace

platform::com::ComPtr<FakeScanCtrl> FakeScanCtrl::Create() {
  return platform::com::ComPtr<FakeScanCtrl>(new FakeScanCtrl());  // NOLINT: the reference count owns it
}

// ---- scripting ---------------------------------------------------------------------------------

void FakeScanCtrl::Fail(const std::string& method, int errorId, int count, const std::string& description) {
  std::lock_guard lock(mutex_);
  failures_[method] = Failure{errorId, count, description};
}

void FakeScanCtrl::ClearFailures() {
  std::lock_guard lock(mutex_);
  failures_.clear();
}

void FakeScanCtrl::Hook(const std::string& method, std::function<HRESULT()> hook) {
  std::lock_guard lock(mutex_);
  if (hook)
    hooks_[method] = std::move(hook);
  else
    hooks_.erase(method);
}

std::vector<std::string> FakeScanCtrl::Calls(const std::string& prefix) const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> out;
  for (const auto& c : calls_)
    if (c.compare(0, prefix.size(), prefix) == 0) out.push_back(c);
  return out;
}

int FakeScanCtrl::CallCount(const std::string& method) const {
  std::lock_guard lock(mutex_);
  const auto it = callCounts_.find(method);
  return it == callCounts_.end() ? 0 : it->second;
}

void FakeScanCtrl::ClearCalls() {
  std::lock_guard lock(mutex_);
  calls_.clear();
  callCounts_.clear();
}

bool FakeScanCtrl::WaitForCalls(const std::string& method, int count,
                                std::chrono::milliseconds timeout) const {
  std::unique_lock lock(mutex_);
  // Real time on purpose: the calls come from other threads, whatever clock they run on.
  return called_.wait_for(lock, timeout, [&] {
    const auto it = callCounts_.find(method);
    return it != callCounts_.end() && it->second >= count;
  });
}

std::string FakeScanCtrl::Arg(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "%g", v);
  return text;
}

HRESULT FakeScanCtrl::Call(const std::string& method, std::initializer_list<std::string> args) {
  std::function<HRESULT()> hook;
  {
    std::lock_guard lock(mutex_);
    std::string line = method + "(";
    bool first = true;
    for (const auto& a : args) {
      if (!first) line += ",";
      line += a;
      first = false;
    }
    calls_.push_back(line + ")");
    ++callCounts_[method];
    called_.notify_all();
    const auto it = failures_.find(method);
    if (it != failures_.end() && it->second.count != 0) {
      const Failure failure = it->second;
      if (it->second.count > 0 && --it->second.count == 0) failures_.erase(it);
      const std::string text = failure.description.empty()
                                   ? "Unknown error: " + std::to_string(failure.errorId)
                                   : failure.description;
      platform::com::SetErrorInfo({text, kScanCtrlProgId, IScanCtrl::kIID});
      return platform::com::ItfError(static_cast<std::uint32_t>(failure.errorId));
    }
    const auto h = hooks_.find(method);
    if (h != hooks_.end()) hook = h->second;
  }
  // Outside the lock: a hook may block until the test lets it go.
  return hook ? hook() : S_OK;
}

const std::string* FakeScanCtrl::FlashValue(const std::string& key) const {
  for (const auto& [k, v] : flash)
    if (platform::equalsFolded(k, key)) return &v;
  return nullptr;
}

// ---- scan data ---------------------------------------------------------------------------------

void FakeScanCtrl::AppendScanData(std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(mutex_);
  data_.insert(data_.end(), bytes.begin(), bytes.end());
}

std::size_t FakeScanCtrl::QueuedScanBytes() const {
  std::lock_guard lock(mutex_);
  return data_.size();
}

HRESULT FakeScanCtrl::SDPGetData(unsigned uiRunMode, unsigned char* pBuffer, LONG lBufAvailable,
                                 LONG lPacketSize, ULONG* pulByteCnt) {
  if (const HRESULT hr = Call("SDPGetData", {Arg(uiRunMode), Arg(lBufAvailable), Arg(lPacketSize)});
      hr != S_OK)
    return hr;
  long got = 0;
  if (DataSource) {
    got = DataSource(pBuffer, lBufAvailable, lPacketSize);
  } else if (uiRunMode == 1 && pBuffer) {
    std::lock_guard lock(mutex_);
    const long n = std::min<long>({static_cast<long>(data_.size()), lBufAvailable, lPacketSize});
    std::copy(data_.begin(), data_.begin() + n, pBuffer);
    data_.erase(data_.begin(), data_.begin() + n);
    got = n;
  }
  Put(pulByteCnt, static_cast<ULONG>(std::max(got, 0L)));
  return S_OK;
}

HRESULT FakeScanCtrl::SDPGetAvailableByteCnt(ULONG* pulByteCnt) {
  if (const HRESULT hr = Call("SDPGetAvailableByteCnt", {}); hr != S_OK) return hr;
  if (PortBacklog) {
    Put(pulByteCnt, static_cast<ULONG>(PortBacklog()));
  } else {
    std::lock_guard lock(mutex_);
    Put(pulByteCnt, static_cast<ULONG>(data_.size()));
  }
  return S_OK;
}

HRESULT FakeScanCtrl::SDPSetAbort(BOOL32 bAbort) {
  if (const HRESULT hr = Call("SDPSetAbort", {Arg(bAbort)}); hr != S_OK) return hr;
  abort_ = bAbort != 0;
  return S_OK;
}

HRESULT FakeScanCtrl::SDPInitRunMode(unsigned uiRunMode, unsigned uiSamplingMode, BOOL32* pbRtn) {
  if (const HRESULT hr = Call("SDPInitRunMode", {Arg(uiRunMode), Arg(uiSamplingMode)}); hr != S_OK) return hr;
  std::lock_guard lock(mutex_);
  abort_ = false;
  Put(pbRtn, initRunModeResult);
  return S_OK;
}

// ---- answers from the fields -------------------------------------------------------------------

#define FAKE_ANSWER(call, ...)                               \
  do {                                                       \
    if (const HRESULT hr_ = (call); hr_ != S_OK) return hr_; \
    std::lock_guard lock_(mutex_);                           \
    __VA_ARGS__;                                             \
    return S_OK;                                             \
  } while (false)

HRESULT FakeScanCtrl::IsChipPresent(BOOL32* pbPresent) {
  FAKE_ANSWER(Call("IsChipPresent", {}), Put(pbPresent, chipPresent));
}
HRESULT FakeScanCtrl::GetScanLine(LONG lPoints, std::uint16_t* pPoints) {
  FAKE_ANSWER(Call("GetScanLine", {Arg(lPoints)}),
              if (pPoints && lPoints > 0) std::fill(pPoints, pPoints + lPoints, std::uint16_t{0}));
}
HRESULT FakeScanCtrl::get_InstrumentSerialNumber(std::string* pVal) {
  FAKE_ANSWER(Call("get_InstrumentSerialNumber", {}), Put(pVal, serialNumber));
}
HRESULT FakeScanCtrl::get_InstrumentModel(std::string* pVal) {
  FAKE_ANSWER(Call("get_InstrumentModel", {}), Put(pVal, model));
}
HRESULT FakeScanCtrl::get_SoftwareVersion(std::string* pVal) {
  FAKE_ANSWER(Call("get_SoftwareVersion", {}), Put(pVal, softwareVersion));
}
HRESULT FakeScanCtrl::get_PMTVoltageSetting(LONG eChannel, double* pVal) {
  if (eChannel < 0 || eChannel > 3) {
    Call("get_PMTVoltageSetting", {Arg(eChannel)});
    platform::com::SetErrorInfo({"Invalid PMT channel specified.", kScanCtrlProgId, IScanCtrl::kIID});
    return platform::com::ItfError(607);
  }
  FAKE_ANSWER(Call("get_PMTVoltageSetting", {Arg(eChannel)}), Put(pVal, pmtVoltageSetting[eChannel]));
}
HRESULT FakeScanCtrl::FirmwareVersion(std::string* pRunStr, std::string* pBootStr, ULONG* pRAMSize) {
  FAKE_ANSWER(Call("FirmwareVersion", {}), Put(pRunStr, firmwareRun); Put(pBootStr, firmwareBoot);
              Put(pRAMSize, ramSize));
}
HRESULT FakeScanCtrl::ScannerStateMsg(tagScannerState eState, std::string* pVal) {
  FAKE_ANSWER(Call("ScannerStateMsg", {Arg(eState)}),
              Put(pVal, std::string(eState >= 0 && eState <= 9 ? kStateTexts[eState] : "Unknown state")));
}
HRESULT FakeScanCtrl::get_StatusMsg(std::string* pStr) {
  FAKE_ANSWER(Call("get_StatusMsg", {}), Put(pStr, statusMsg));
}
HRESULT FakeScanCtrl::get_ScannerState(tagScannerState* pVal) {
  FAKE_ANSWER(Call("get_ScannerState", {}), Put(pVal, state));
}
HRESULT FakeScanCtrl::DSPVersion(std::string* pbstrScan, std::string* pbstrVC, std::string* pbstrAF) {
  FAKE_ANSWER(Call("DSPVersion", {}), Put(pbstrScan, dspScan); Put(pbstrVC, dspVC); Put(pbstrAF, dspAF));
}
HRESULT FakeScanCtrl::get_Barcode(std::string* pVal) {
  FAKE_ANSWER(Call("get_Barcode", {}), Put(pVal, barcode));
}
HRESULT FakeScanCtrl::IsDoorClosed(BOOL32* pbIsClosed) {
  FAKE_ANSWER(Call("IsDoorClosed", {}), Put(pbIsClosed, doorClosed));
}
HRESULT FakeScanCtrl::GetAFStats(LONG* pVal) { FAKE_ANSWER(Call("GetAFStats", {}), Put(pVal, afStats)); }
HRESULT FakeScanCtrl::GetAFStatsEx(double* pVal) {
  FAKE_ANSWER(Call("GetAFStatsEx", {}), Put(pVal, afStatsEx));
}
HRESULT FakeScanCtrl::CheckErrorCode(int iErrorCode, unsigned errorSymbol, BOOL32* pbMatch) {
  FAKE_ANSWER(Call("CheckErrorCode", {Arg(iErrorCode), Arg(errorSymbol)}),
              Put(pbMatch, BOOL32{errorClasses.count({iErrorCode, errorSymbol}) > 0}));
}
HRESULT FakeScanCtrl::get_IsTarselBarcode(LONG* pVal) {
  FAKE_ANSWER(Call("get_IsTarselBarcode", {}), Put(pVal, isTarselBarcode));
}
HRESULT FakeScanCtrl::GetBrowseCarouselInfo(int nSlotNo, BOOL32* pbChipInSlot, unsigned char* pcSymbology,
                                            unsigned char* pszBarcode) {
  FAKE_ANSWER(Call("GetBrowseCarouselInfo", {Arg(nSlotNo)}), {
    const auto it = slots.find(nSlotNo);
    const Slot slot = it == slots.end() ? Slot{} : it->second;
    Put(pbChipInSlot, slot.present);
    Put(pcSymbology, slot.symbology);
    if (pszBarcode) {
      const std::size_t n = std::min<std::size_t>(slot.barcode.size(), 49);
      std::memcpy(pszBarcode, slot.barcode.data(), n);
      pszBarcode[n] = 0;
    }
  });
}
HRESULT FakeScanCtrl::CalibratePMT(unsigned uChannelMask, double dRatioRed, double dRatioGreen,
                                   unsigned uFullVoltRed, unsigned uFullVoltGreen, unsigned* uNewVoltRed,
                                   unsigned* uNewVoltGreen, BOOL32* bBadPMTCalib, float fred, float fgreen) {
  FAKE_ANSWER(Call("CalibratePMT", {Arg(uChannelMask), Arg(dRatioRed), Arg(dRatioGreen), Arg(uFullVoltRed),
                                    Arg(uFullVoltGreen), Arg(fred), Arg(fgreen)}),
              Put(uNewVoltRed, newVoltRed);
              Put(uNewVoltGreen, newVoltGreen); Put(bBadPMTCalib, badPMTCalib));
}
HRESULT FakeScanCtrl::SetDarkSubtractionValue(double dRedMean, double dGreenMean, LONG* lRedValue,
                                              LONG* lGreenValue) {
  FAKE_ANSWER(Call("SetDarkSubtractionValue", {Arg(dRedMean), Arg(dGreenMean)}), darkRedMean = dRedMean;
              darkGreenMean = dGreenMean; Put(lRedValue, darkRed); Put(lGreenValue, darkGreen));
}
HRESULT FakeScanCtrl::get_ChipThickness(double* pVal) {
  FAKE_ANSWER(Call("get_ChipThickness", {}), Put(pVal, chipThickness));
}
HRESULT FakeScanCtrl::IsADCReset(LONG* pbIsReset) {
  FAKE_ANSWER(Call("IsADCReset", {}), Put(pbIsReset, adcReset));
}
HRESULT FakeScanCtrl::ResetADCResetFlag() { FAKE_ANSWER(Call("ResetADCResetFlag", {}), adcReset = 0); }

HRESULT FakeScanCtrl::FlashGetString(const std::string& bstrKeyName, std::string* pbstrVal) {
  if (const HRESULT hr = Call("FlashGetString", {bstrKeyName}); hr != S_OK) return hr;
  std::lock_guard lock(mutex_);
  const std::string* value = FlashValue(bstrKeyName);
  if (!value) {
    platform::com::SetErrorInfo(
        {"No such FLASH key.  (Reported by runtime.)", kScanCtrlProgId, IScanCtrl::kIID});
    return platform::com::ItfError(4109);
  }
  Put(pbstrVal, *value);
  return S_OK;
}
HRESULT FakeScanCtrl::FlashGetLong(const std::string& bstrKeyName, LONG* plVal) {
  std::string text;
  if (const HRESULT hr = FlashGetString(bstrKeyName, &text); hr != S_OK) return hr;
  Put(plVal, static_cast<LONG>(std::strtol(text.c_str(), nullptr, 0)));
  return S_OK;
}
HRESULT FakeScanCtrl::FlashGetUnsigned(const std::string& bstrKeyName, ULONG* pulVal) {
  std::string text;
  if (const HRESULT hr = FlashGetString(bstrKeyName, &text); hr != S_OK) return hr;
  Put(pulVal, static_cast<ULONG>(std::strtoul(text.c_str(), nullptr, 0)));
  return S_OK;
}
HRESULT FakeScanCtrl::FlashGetUnsignedDef(const std::string& bstrKeyName, ULONG ulDefault, ULONG* pulVal) {
  if (const HRESULT hr = Call("FlashGetUnsignedDef", {bstrKeyName, Arg(ulDefault)}); hr != S_OK) return hr;
  std::lock_guard lock(mutex_);
  const std::string* value = FlashValue(bstrKeyName);
  Put(pulVal, value ? static_cast<ULONG>(std::strtoul(value->c_str(), nullptr, 0)) : ulDefault);
  return S_OK;
}
HRESULT FakeScanCtrl::FlashSetUnsigned(const std::string& bstrKeyName, ULONG ulVal) {
  FAKE_ANSWER(Call("FlashSetUnsigned", {bstrKeyName, Arg(ulVal)}), flashWritten[bstrKeyName] = ulVal;
              flash[bstrKeyName] = std::to_string(ulVal));
}

HRESULT FakeScanCtrl::SDPIsOpen(BOOL32* pbOpen) { FAKE_ANSWER(Call("SDPIsOpen", {}), Put(pbOpen, sdpOpen)); }
HRESULT FakeScanCtrl::SDPIsConfigured(BOOL32* pbCfged) {
  FAKE_ANSWER(Call("SDPIsConfigured", {}), Put(pbCfged, sdpConfigured));
}
HRESULT FakeScanCtrl::SDPIsReady(BOOL32* pbReady) {
  FAKE_ANSWER(Call("SDPIsReady", {}), Put(pbReady, sdpReady));
}
HRESULT FakeScanCtrl::IsRuntimeOnline(BOOL32* pbOnline) {
  FAKE_ANSWER(Call("IsRuntimeOnline", {}), Put(pbOnline, runtimeOnline));
}
HRESULT FakeScanCtrl::CalibrateLaser(BOOL32 bRed, BOOL32* pbRtn) {
  FAKE_ANSWER(Call("CalibrateLaser", {Arg(bRed)}), Put(pbRtn, calibrateLaserResult));
}
HRESULT FakeScanCtrl::SetOnOffLaserPowers(BOOL32 bPowerOn, BOOL32* pbRtn) {
  FAKE_ANSWER(Call("SetOnOffLaserPowers", {Arg(bPowerOn)}), Put(pbRtn, laserPowersResult));
}
HRESULT FakeScanCtrl::IsRedLaserDid1stCalibration(BOOL32* pbRtn) {
  FAKE_ANSWER(Call("IsRedLaserDid1stCalibration", {}), Put(pbRtn, redLaserDid1stCalibration));
}
HRESULT FakeScanCtrl::IsRedLaserReadyToAdjust(BOOL32* pbRtn) {
  FAKE_ANSWER(Call("IsRedLaserReadyToAdjust", {}), Put(pbRtn, redLaserReadyToAdjust));
}
HRESULT FakeScanCtrl::SDPGetSimpleErrCounts(int* pRtVal) {
  FAKE_ANSWER(Call("SDPGetSimpleErrCounts", {}), Put(pRtVal, simpleErrCounts));
}

HRESULT FakeScanCtrl::StatsCall(const std::string& method, const std::string& kind, LONG samples,
                                BOOL32 green, int pixelSizeX, double* hi, double* hiSd, double* lo,
                                double* loSd, BOOL32* saturated, BOOL32* result) {
  FAKE_ANSWER(Call(method, {Arg(samples), Arg(green), Arg(pixelSizeX)}), {
    const auto it = stats.find({kind, green ? 1 : 0});
    const Stats s = it == stats.end() ? Stats{} : it->second;
    if (s.result) {
      Put(hi, s.hiMean);
      Put(hiSd, s.hiStDev);
      Put(lo, s.loMean);
      Put(loSd, s.loStDev);
      Put(saturated, s.saturated);
    }
    Put(result, s.result);
  });
}
HRESULT FakeScanCtrl::SDPGetRawDataStats(LONG lNumSamples, BOOL32 bGreen, int nPixelSizeX, const std::string&,
                                         double* pdHiAve, double* pdHiStDev, double* pdLoAve,
                                         double* pdLoStDev, BOOL32* pbIsSaturated, BOOL32* pbRtn) {
  return StatsCall("SDPGetRawDataStats", "Raw", lNumSamples, bGreen, nPixelSizeX, pdHiAve, pdHiStDev, pdLoAve,
                   pdLoStDev, pbIsSaturated, pbRtn);
}
HRESULT FakeScanCtrl::SDPGetRawGainStats(LONG lNumSamples, BOOL32 bGreen, int nPixelSizeX, const std::string&,
                                         double* pdHiAve, double* pdHiStDev, double* pdLoAve,
                                         double* pdLoStDev, BOOL32* pbRtn) {
  return StatsCall("SDPGetRawGainStats", "Gain", lNumSamples, bGreen, nPixelSizeX, pdHiAve, pdHiStDev,
                   pdLoAve, pdLoStDev, nullptr, pbRtn);
}
HRESULT FakeScanCtrl::SDPGetRawOffsetStats(LONG lNumSamples, BOOL32 bGreen, int nPixelSizeX,
                                           const std::string&, double* pdHiAve, double* pdHiStDev,
                                           double* pdLoAve, double* pdLoStDev, BOOL32* pbRtn) {
  return StatsCall("SDPGetRawOffsetStats", "Offset", lNumSamples, bGreen, nPixelSizeX, pdHiAve, pdHiStDev,
                   pdLoAve, pdLoStDev, nullptr, pbRtn);
}
HRESULT FakeScanCtrl::SDPGetRawGatedStats(LONG lNumSamples, BOOL32 bGreen, int nPixelSizeX,
                                          const std::string&, double* pdHiAve, double* pdHiStDev,
                                          double* pdLoAve, double* pdLoStDev, BOOL32* pbRtn) {
  return StatsCall("SDPGetRawGatedStats", "Gated", lNumSamples, bGreen, nPixelSizeX, pdHiAve, pdHiStDev,
                   pdLoAve, pdLoStDev, nullptr, pbRtn);
}

#undef FAKE_ANSWER

// ---- the rest: logged and scriptable, outputs untouched ----------------------------------------

HRESULT FakeScanCtrl::Connect(const std::string& bstrConnectString) {
  return Call("Connect", {Arg(bstrConnectString)});
}
HRESULT FakeScanCtrl::Disconnect() { return Call("Disconnect", {}); }
HRESULT FakeScanCtrl::Initialize() { return Call("Initialize", {}); }
HRESULT FakeScanCtrl::AbortScan() { return Call("AbortScan", {}); }
HRESULT FakeScanCtrl::LoadCarousel() { return Call("LoadCarousel", {}); }
HRESULT FakeScanCtrl::AdvanceCarousel(tagCarouselDir eDir, LONG lCount) {
  return Call("AdvanceCarousel", {Arg(eDir), Arg(lCount)});
}
HRESULT FakeScanCtrl::EjectChip() { return Call("EjectChip", {}); }
HRESULT FakeScanCtrl::EjectCarousel() { return Call("EjectCarousel", {}); }
HRESULT FakeScanCtrl::put_ScanRegionOriginX(LONG newVal) {
  return Call("put_ScanRegionOriginX", {Arg(newVal)});
}
HRESULT FakeScanCtrl::put_ScanRegionOriginY(LONG newVal) {
  return Call("put_ScanRegionOriginY", {Arg(newVal)});
}
HRESULT FakeScanCtrl::put_ScanRegionWidth(LONG newVal) { return Call("put_ScanRegionWidth", {Arg(newVal)}); }
HRESULT FakeScanCtrl::put_ScanRegionHeight(LONG newVal) {
  return Call("put_ScanRegionHeight", {Arg(newVal)});
}
HRESULT FakeScanCtrl::put_ScanRed(LONG newVal) { return Call("put_ScanRed", {Arg(newVal)}); }
HRESULT FakeScanCtrl::put_ScanGreen(LONG newVal) { return Call("put_ScanGreen", {Arg(newVal)}); }
HRESULT FakeScanCtrl::StartScan(float* /*ffX*/, float* /*ffY*/, float* /*ffSlope*/) {
  return Call("StartScan", {});
}
HRESULT FakeScanCtrl::EndScan() { return Call("EndScan", {}); }
HRESULT FakeScanCtrl::put_PixelSizeX(unsigned newVal) { return Call("put_PixelSizeX", {Arg(newVal)}); }
HRESULT FakeScanCtrl::put_PixelSizeY(unsigned newVal) { return Call("put_PixelSizeY", {Arg(newVal)}); }
HRESULT FakeScanCtrl::put_BinX(unsigned newVal) { return Call("put_BinX", {Arg(newVal)}); }
HRESULT FakeScanCtrl::put_BinY(unsigned newVal) { return Call("put_BinY", {Arg(newVal)}); }
HRESULT FakeScanCtrl::put_ChipActiveOriginX(LONG newVal) {
  return Call("put_ChipActiveOriginX", {Arg(newVal)});
}
HRESULT FakeScanCtrl::put_ChipActiveOriginY(LONG newVal) {
  return Call("put_ChipActiveOriginY", {Arg(newVal)});
}
HRESULT FakeScanCtrl::put_ChipActiveWidth(LONG newVal) { return Call("put_ChipActiveWidth", {Arg(newVal)}); }
HRESULT FakeScanCtrl::put_ChipActiveHeight(LONG newVal) {
  return Call("put_ChipActiveHeight", {Arg(newVal)});
}
HRESULT FakeScanCtrl::put_ChipOriginX(LONG newVal) { return Call("put_ChipOriginX", {Arg(newVal)}); }
HRESULT FakeScanCtrl::put_ChipOriginY(LONG newVal) { return Call("put_ChipOriginY", {Arg(newVal)}); }
HRESULT FakeScanCtrl::put_AFPosX(LONG newVal) { return Call("put_AFPosX", {Arg(newVal)}); }
HRESULT FakeScanCtrl::put_AFPosY(LONG newVal) { return Call("put_AFPosY", {Arg(newVal)}); }
HRESULT FakeScanCtrl::CalibrateLasers() { return Call("CalibrateLasers", {}); }
HRESULT FakeScanCtrl::MeasureDarkOffset(LONG lMask, LONG lNumSamples, LONG lArrayLength,
                                        std::int16_t* /*sArray*/) {
  return Call("MeasureDarkOffset", {Arg(lMask), Arg(lNumSamples), Arg(lArrayLength)});
}
HRESULT FakeScanCtrl::LockDoor() { return Call("LockDoor", {}); }
HRESULT FakeScanCtrl::UnLockDoor() { return Call("UnLockDoor", {}); }
HRESULT FakeScanCtrl::put_OutScale(LONG newVal) { return Call("put_OutScale", {Arg(newVal)}); }
HRESULT FakeScanCtrl::DSPMemDump(tagDSPIDs eDSPId, std::uint16_t wStartAddr, std::uint16_t wNumWords,
                                 const std::string& bstrFileName) {
  return Call("DSPMemDump", {Arg(eDSPId), Arg(wStartAddr), Arg(wNumWords), Arg(bstrFileName)});
}
HRESULT FakeScanCtrl::SetPackageType(LONG lPackType) { return Call("SetPackageType", {Arg(lPackType)}); }
HRESULT FakeScanCtrl::LoadChip(int numTriesToReadBarcode, int nSlotToLoadFrom) {
  return Call("LoadChip", {Arg(numTriesToReadBarcode), Arg(nSlotToLoadFrom)});
}
HRESULT FakeScanCtrl::PMTChangeVoltage(tagPMTChannels eChannelId, ULONG ulVoltage) {
  return Call("PMTChangeVoltage", {Arg(eChannelId), Arg(ulVoltage)});
}
HRESULT FakeScanCtrl::PMTGetVoltage(tagPMTChannels eChannelId, ULONG* /*pVoltage*/) {
  return Call("PMTGetVoltage", {Arg(eChannelId)});
}
HRESULT FakeScanCtrl::PMTGetNomCalibSignal(tagPMTChannels eChannelId, ULONG* /*pVal*/) {
  return Call("PMTGetNomCalibSignal", {Arg(eChannelId)});
}
HRESULT FakeScanCtrl::PMTGetFlashVoltage(tagPMTChannels eChannelId, ULONG* pVoltage) {
  if (const HRESULT hr = Call("PMTGetFlashVoltage", {Arg(eChannelId)}); hr != S_OK) return hr;
  std::lock_guard lock(mutex_);
  if (eChannelId == kRedPMT || eChannelId == kGreenPMT) Put(pVoltage, flashVoltage[eChannelId]);
  return S_OK;
}
HRESULT FakeScanCtrl::InitializeSync() { return Call("InitializeSync", {}); }
HRESULT FakeScanCtrl::CheckLaserStatus() { return Call("CheckLaserStatus", {}); }
HRESULT FakeScanCtrl::StartScanAF(float* /*ffX*/, float* /*ffY*/, float* /*ffSlope*/, BOOL32 bEnableAF) {
  return Call("StartScanAF", {Arg(bEnableAF)});
}
HRESULT FakeScanCtrl::StartBrowseCarousel(int nFirstSlot, int nLastSlot, BOOL32 bScanBarcodes) {
  return Call("StartBrowseCarousel", {Arg(nFirstSlot), Arg(nLastSlot), Arg(bScanBarcodes)});
}
HRESULT FakeScanCtrl::StopBrowseCarousel() { return Call("StopBrowseCarousel", {}); }
HRESULT FakeScanCtrl::CalibrationLightSource(BOOL32 bLightSourceOn) {
  return Call("CalibrationLightSource", {Arg(bLightSourceOn)});
}
HRESULT FakeScanCtrl::LaserPowerStatus(BOOL32 bRed, BOOL32* /*pbPowerOn*/) {
  return Call("LaserPowerStatus", {Arg(bRed)});
}
HRESULT FakeScanCtrl::LaserPowerRequest(BOOL32 bRed, BOOL32 bOn) {
  return Call("LaserPowerRequest", {Arg(bRed), Arg(bOn)});
}
HRESULT FakeScanCtrl::RemoveAllLaserPowerRequests() { return Call("RemoveAllLaserPowerRequests", {}); }
HRESULT FakeScanCtrl::GetLaserSetPointChange(float* /*fRedSetPointChange*/, float* /*fGreenSetPointChange*/) {
  return Call("GetLaserSetPointChange", {});
}
HRESULT FakeScanCtrl::put_Scan5umUseOnePass(LONG newVal) {
  return Call("put_Scan5umUseOnePass", {Arg(newVal)});
}
HRESULT FakeScanCtrl::IsCarouselAligned(BOOL32* /*pbAligned*/) { return Call("IsCarouselAligned", {}); }
HRESULT FakeScanCtrl::InitStartScan(float* /*ffX*/, float* /*ffY*/, float* /*ffSlope*/, BOOL32 bEnableAF) {
  return Call("InitStartScan", {Arg(bEnableAF)});
}
HRESULT FakeScanCtrl::StartScan_C() { return Call("StartScan_C", {}); }
HRESULT FakeScanCtrl::FlashBurn() { return Call("FlashBurn", {}); }
HRESULT FakeScanCtrl::SDPIsDCMPhaseOK(BOOL32* /*pbPhaseOK*/) { return Call("SDPIsDCMPhaseOK", {}); }
HRESULT FakeScanCtrl::SDPGetDeviceVersion(std::string* /*pVal*/) { return Call("SDPGetDeviceVersion", {}); }
HRESULT FakeScanCtrl::SDPGetDeviceSN(std::string* /*pVal*/) { return Call("SDPGetDeviceSN", {}); }
HRESULT FakeScanCtrl::SDPGetDeviceID(std::string* /*pVal*/) { return Call("SDPGetDeviceID", {}); }
HRESULT FakeScanCtrl::SDPGetFPGAVersion(std::string* /*pVal*/) { return Call("SDPGetFPGAVersion", {}); }
HRESULT FakeScanCtrl::SDPCfgDCMReset(BOOL32 bOddPhase, BOOL32* /*pbRtn*/) {
  return Call("SDPCfgDCMReset", {Arg(bOddPhase)});
}
HRESULT FakeScanCtrl::SDPCfgDCMStepInc(BOOL32 bOddPhase, BOOL32* /*pbRtn*/) {
  return Call("SDPCfgDCMStepInc", {Arg(bOddPhase)});
}
HRESULT FakeScanCtrl::SDPCfgDCMStepDec(BOOL32 bOddPhase, BOOL32* /*pbRtn*/) {
  return Call("SDPCfgDCMStepDec", {Arg(bOddPhase)});
}
HRESULT FakeScanCtrl::SDPCfgDCMShiftPhase(BOOL32 bOddPhase, BOOL32* /*pbRtn*/) {
  return Call("SDPCfgDCMShiftPhase", {Arg(bOddPhase)});
}
HRESULT FakeScanCtrl::SDPAutoAdjustDCMs(BOOL32 bOddPhase) {
  return Call("SDPAutoAdjustDCMs", {Arg(bOddPhase)});
}
HRESULT FakeScanCtrl::SDPGetDCMCfgInfo(LONG* /*pFCValue*/, LONG* /*pDCMStats*/) {
  return Call("SDPGetDCMCfgInfo", {});
}
HRESULT FakeScanCtrl::SDPGetCtrlStats(LONG* /*pStatus1*/, LONG* /*pStatus2*/, BOOL32* /*pbRtn*/) {
  return Call("SDPGetCtrlStats", {});
}
HRESULT FakeScanCtrl::SDPClearCtrlErr() { return Call("SDPClearCtrlErr", {}); }
HRESULT FakeScanCtrl::SDPSetLaserOnOff(BOOL32 bRed, BOOL32 bOn) {
  return Call("SDPSetLaserOnOff", {Arg(bRed), Arg(bOn)});
}
HRESULT FakeScanCtrl::SDPSetLaserPWOnOff(BOOL32 bRed, BOOL32 bOn) {
  return Call("SDPSetLaserPWOnOff", {Arg(bRed), Arg(bOn)});
}
HRESULT FakeScanCtrl::SDPSetLaserSetPoint(BOOL32 bRed, double dSetLevel, BOOL32 bInMWatts) {
  return Call("SDPSetLaserSetPoint", {Arg(bRed), Arg(dSetLevel), Arg(bInMWatts)});
}
HRESULT FakeScanCtrl::SDPGetLaserPower(BOOL32 bRed, BOOL32 bInMWatts, double* /*pPower*/) {
  return Call("SDPGetLaserPower", {Arg(bRed), Arg(bInMWatts)});
}
HRESULT FakeScanCtrl::SDPGetPMTVoltage(BOOL32 bRed, LONG* /*pVolt*/) {
  return Call("SDPGetPMTVoltage", {Arg(bRed)});
}
HRESULT FakeScanCtrl::SDPSetPMTVoltage(BOOL32 bRed, std::uint16_t nVolt) {
  return Call("SDPSetPMTVoltage", {Arg(bRed), Arg(nVolt)});
}
HRESULT FakeScanCtrl::SDPSetHeNePD(std::uint16_t nPhotodiode) {
  return Call("SDPSetHeNePD", {Arg(nPhotodiode)});
}
HRESULT FakeScanCtrl::SDPSetSPIWriteData(std::uint16_t nData) {
  return Call("SDPSetSPIWriteData", {Arg(nData)});
}
HRESULT FakeScanCtrl::SDPKeepAlive(BOOL32* /*pbRtn*/) { return Call("SDPKeepAlive", {}); }
HRESULT FakeScanCtrl::SDPLoadFPGA(const std::string& bstrFileName) {
  return Call("SDPLoadFPGA", {Arg(bstrFileName)});
}
HRESULT FakeScanCtrl::SDPOpenPort(const std::string& bstrFileName) {
  return Call("SDPOpenPort", {Arg(bstrFileName)});
}
HRESULT FakeScanCtrl::SDPAutoAdjustDCMPhases(BOOL32* /*pbRtn*/) { return Call("SDPAutoAdjustDCMPhases", {}); }
HRESULT FakeScanCtrl::SDPConfigPort(const std::string& bstrSN, const std::string& bstrFileName,
                                    BOOL32* /*pbRtn*/) {
  return Call("SDPConfigPort", {Arg(bstrSN), Arg(bstrFileName)});
}
HRESULT FakeScanCtrl::SDPFindPort(std::string* /*pbstrPortSN*/) { return Call("SDPFindPort", {}); }
HRESULT FakeScanCtrl::SDPReadFakeData(BOOL32 bSaveData, ULONG* /*pulByteCnt*/) {
  return Call("SDPReadFakeData", {Arg(bSaveData)});
}
HRESULT FakeScanCtrl::SDPIsBusy(BOOL32* /*pbBusy*/) { return Call("SDPIsBusy", {}); }
HRESULT FakeScanCtrl::SDPEnablingShutdown(BOOL32 bEnable) {
  return Call("SDPEnablingShutdown", {Arg(bEnable)});
}
HRESULT FakeScanCtrl::SDPShutterOpenClose(BOOL32 bOpen, BOOL32 bShutter1) {
  return Call("SDPShutterOpenClose", {Arg(bOpen), Arg(bShutter1)});
}
HRESULT FakeScanCtrl::SDPBlockLasers(BOOL32 bBlock) { return Call("SDPBlockLasers", {Arg(bBlock)}); }
HRESULT FakeScanCtrl::FSMotorDriverOnOff(BOOL32 bOn) { return Call("FSMotorDriverOnOff", {Arg(bOn)}); }
HRESULT FakeScanCtrl::SetFSMotorCtrlMode(tagMotorCtrlMode eMode) {
  return Call("SetFSMotorCtrlMode", {Arg(eMode)});
}
HRESULT FakeScanCtrl::RunHeNeHWPMotor(BOOL32 bForward, std::int16_t nSpeed) {
  return Call("RunHeNeHWPMotor", {Arg(bForward), Arg(nSpeed)});
}
HRESULT FakeScanCtrl::SDPIsInitCfgSkipped(BOOL32* /*pbSkipped*/) { return Call("SDPIsInitCfgSkipped", {}); }
HRESULT FakeScanCtrl::put_ScanDoublePass(LONG newVal) { return Call("put_ScanDoublePass", {Arg(newVal)}); }
HRESULT FakeScanCtrl::SDPSetPMTVoltageEx(BOOL32 bRed, std::uint16_t nVolt, BOOL32 bNeedDisableShutdown) {
  return Call("SDPSetPMTVoltageEx", {Arg(bRed), Arg(nVolt), Arg(bNeedDisableShutdown)});
}
HRESULT FakeScanCtrl::PMTChangeVoltageEx(tagPMTChannels eChannelId, ULONG ulVoltage,
                                         BOOL32 bNeedDisableShutdown) {
  return Call("PMTChangeVoltageEx", {Arg(eChannelId), Arg(ulVoltage), Arg(bNeedDisableShutdown)});
}
HRESULT FakeScanCtrl::CalculatePMTVoltage(tagPMTChannels eChannelId, double dPMTRatio, ULONG ulVoltRef,
                                          ULONG* /*pVoltNew*/) {
  return Call("CalculatePMTVoltage", {Arg(eChannelId), Arg(dPMTRatio), Arg(ulVoltRef)});
}
HRESULT FakeScanCtrl::CalibrateLaserEx(BOOL32 bRed, double dTargetLevel, double dAllowDelta,
                                       std::uint16_t uMinStableTimeSec, std::int16_t nRetry,
                                       BOOL32* /*pbRtn*/) {
  return Call("CalibrateLaserEx",
              {Arg(bRed), Arg(dTargetLevel), Arg(dAllowDelta), Arg(uMinStableTimeSec), Arg(nRetry)});
}
HRESULT FakeScanCtrl::GetRedLaserLastOnMinutes(ULONG* /*pRtn*/) {
  return Call("GetRedLaserLastOnMinutes", {});
}
HRESULT FakeScanCtrl::CheckLaserWarmingUpStatus(BOOL32 bForInitCheck, BOOL32* /*pbReadyRed*/,
                                                BOOL32* /*pbReadyGreen*/) {
  return Call("CheckLaserWarmingUpStatus", {Arg(bForInitCheck)});
}
HRESULT FakeScanCtrl::SDPClearSimpleErrCounts() { return Call("SDPClearSimpleErrCounts", {}); }
HRESULT FakeScanCtrl::SDPEnableMasterTimeout(BOOL32 bEnable) {
  return Call("SDPEnableMasterTimeout", {Arg(bEnable)});
}
HRESULT FakeScanCtrl::SDPEnableSimpleDuplication(BOOL32 bEnable) {
  return Call("SDPEnableSimpleDuplication", {Arg(bEnable)});
}
HRESULT FakeScanCtrl::GetRedLaserPowerReadyToAdjustMinWaitTime(LONG* /*pRtn*/) {
  return Call("GetRedLaserPowerReadyToAdjustMinWaitTime", {});
}
HRESULT FakeScanCtrl::GetRedLaserPowerReadyToAdjustWaitTimeLeft(LONG* /*pRtn*/) {
  return Call("GetRedLaserPowerReadyToAdjustWaitTimeLeft", {});
}
HRESULT FakeScanCtrl::SelfTest(LONG* /*pRtn*/) { return Call("SelfTest", {}); }
HRESULT FakeScanCtrl::OnStartExitCarouselRun(BOOL32 bStart) {
  return Call("OnStartExitCarouselRun", {Arg(bStart)});
}
HRESULT FakeScanCtrl::TestLaserPowerMinMax(BOOL32 bRed, double* /*pMWattsMin*/, double* /*pMWattsMax*/) {
  return Call("TestLaserPowerMinMax", {Arg(bRed)});
}
HRESULT FakeScanCtrl::SDPGetRawData(LONG lNumSamples, BOOL32 bGreen, unsigned char* /*pBuffer*/,
                                    LONG lBufAvailable, BOOL32* /*pbRtn*/) {
  return Call("SDPGetRawData", {Arg(lNumSamples), Arg(bGreen), Arg(lBufAvailable)});
}
HRESULT FakeScanCtrl::SDPGetRawGainData(LONG lNumSamples, BOOL32 bGreen, unsigned char* /*pBuffer*/,
                                        LONG lBufAvailable, BOOL32* /*pbRtn*/) {
  return Call("SDPGetRawGainData", {Arg(lNumSamples), Arg(bGreen), Arg(lBufAvailable)});
}
HRESULT FakeScanCtrl::SDPGetRawOffsetData(LONG lNumSamples, BOOL32 bGreen, unsigned char* /*pBuffer*/,
                                          LONG lBufAvailable, BOOL32* /*pbRtn*/) {
  return Call("SDPGetRawOffsetData", {Arg(lNumSamples), Arg(bGreen), Arg(lBufAvailable)});
}
HRESULT FakeScanCtrl::SDPGetRawGatedData(LONG lNumSamples, BOOL32 bGreen, unsigned char* /*pBuffer*/,
                                         LONG lBufAvailable, BOOL32* /*pbRtn*/) {
  return Call("SDPGetRawGatedData", {Arg(lNumSamples), Arg(bGreen), Arg(lBufAvailable)});
}
HRESULT FakeScanCtrl::SDPGetMeasuringData(LONG lNumSamples, unsigned uSamplingMode,
                                          unsigned char* /*pBuffer*/, LONG lBufAvailable, BOOL32* /*pbRtn*/) {
  return Call("SDPGetMeasuringData", {Arg(lNumSamples), Arg(uSamplingMode), Arg(lBufAvailable)});
}

}  // namespace lumetra_test
