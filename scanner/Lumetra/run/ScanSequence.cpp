// The one-slide scan and the operations that set up a slot's scan: channel settings from
// the resolution, the scan region, the instrument's scan parameters, the scanner model,
// and the PMT voltages remembered between runs.
#include <algorithm>
#include <cctype>
#include <stdexcept>

#include "Jotwell/Logger.h"
#include "Jotwell/ProductKeys.h"
#include "Jotwell/RegEdit.h"
#include "config/ScanRegionInfoMap.h"
#include "platform/clock.h"
#include "run/ComError.h"
#include "run/RunStatus.h"
#include "run/ScanMgr.h"

namespace lumetra::run {

using platform::com::ComError;

namespace {

constexpr const char* kSerialValue = "InstSerialNumber";
constexpr const char* kRedVoltValue = "LastPMT1Volt";
constexpr const char* kGreenVoltValue = "LastPMT2Volt";
constexpr long kMaxStoredVoltage = 9999;

CRegEdit ScannerKey() { return CRegEdit(HKEY_LOCAL_MACHINE, zeva::kScannerKey); }

}  // namespace

// ---- scanner model ------------------------------------------------------------------------

int ScannerModelIndex(const std::string& model) {
  std::string lower = model;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (lower.find("k7431c") != std::string::npos) return 2;
  if (lower.find("k7431b") != std::string::npos) return 1;
  if (lower.find("k7431a") != std::string::npos) return 0;
  return 3;
}

int CScanMgr::GetScannerModel() {
  if (!m_pScanCtrl) {
    LogError("Movrak was not set in ScanMgr.");
    return 3;
  }
  std::string model;
  CheckScanCtrl(m_pScanCtrl->get_InstrumentModel(&model));
  const int index = ScannerModelIndex(model);
  if (index == 3) LogError("GetScannerModel: Unrecognized model number '%s'", model.c_str());
  return index;
}

// ---- slot settings ------------------------------------------------------------------------

void CScanMgr::SetChannelSettings(int resolutionType, bool green, bool red, unsigned redPercent,
                                  unsigned greenPercent) {
  struct Resolution {
    int type, pixelX, pixelY, binY, outScale;
  };
  static constexpr Resolution kResolutions[] = {
      {2, 5, 5, 1, 0},
      {3, 3, 3, 1, 0},
      {4, 2, 3, 1, 0},
      {5, 2, 2, 1, 0},
  };
  Resolution chosen{resolutionType, 10, 10, 2, 1};  // 10 µm, and any type not listed
  for (const Resolution& r : kResolutions)
    if (r.type == resolutionType) chosen = r;
  m_nPixelSizeX = chosen.pixelX;
  m_nPixelSizeY = chosen.pixelY;
  m_nBinX = 1;
  m_nBinY = chosen.binY;
  m_nOutScale = chosen.outScale;

  m_bGreenEnable = green;
  m_bRedEnable = red;
  m_nRedPercent = redPercent;
  m_nGreenPercent = greenPercent;
  m_nChannelCount = 0;
  m_Channels = {};
  if (red) m_Channels[static_cast<std::size_t>(m_nChannelCount++)] = kRedPMT;
  if (green) m_Channels[static_cast<std::size_t>(m_nChannelCount++)] = kGreenPMT;
}

void CScanMgr::SetLumetraParams(const std::array<int, 9>& values, bool skipCheck) {
  std::array<int, 9> region = values;
  if (skipCheck) {
    LogDebug(1, "<ScanMgr::SetLumetraParams> Skipped CheckScanRegion");
  } else {
    // The check corrects values outside the model's limits in place; only a region
    // database that cannot be used fails it.
    int width = region[7], height = region[8];
    const int check = CheckScanRegion(GetScannerModel(), &region[0], &region[1], &width, &height, &region[4],
                                      &region[5]);
    if (check != 0 && check != 1) throw std::runtime_error("CheckScanRegion failed");
    region[7] = width;
    region[8] = height;
  }
  m_ScanRegion = region;
}

void CScanMgr::SetInstrumentScanParams() {
  if (!m_pScanCtrl) throw std::runtime_error("Movrak was not set in ScanMgr.");
  IScanCtrl& s = *m_pScanCtrl;
  const auto& r = m_ScanRegion;
  const int originX = r[2], originY = r[3], width = r[7], height = r[8];
  CheckScanCtrl(s.put_ScanGreen(m_bGreenEnable ? 1 : 0));
  CheckScanCtrl(s.put_ScanRed(m_bRedEnable ? 1 : 0));
  CheckScanCtrl(s.put_ScanRegionOriginX(originX));
  CheckScanCtrl(s.put_ScanRegionOriginY(originY));
  CheckScanCtrl(s.put_ScanRegionWidth(width));
  CheckScanCtrl(s.put_ScanRegionHeight(height));
  CheckScanCtrl(s.put_ChipActiveOriginX(originX));
  CheckScanCtrl(s.put_ChipActiveOriginY(originY));
  CheckScanCtrl(s.put_ChipActiveWidth(width));
  CheckScanCtrl(s.put_ChipActiveHeight(height));
  CheckScanCtrl(s.put_ChipOriginX(r[0]));
  CheckScanCtrl(s.put_ChipOriginY(r[1]));
  CheckScanCtrl(s.put_PixelSizeX(static_cast<unsigned>(m_nPixelSizeX)));
  CheckScanCtrl(s.put_PixelSizeY(static_cast<unsigned>(m_nPixelSizeY)));
  CheckScanCtrl(s.put_BinX(static_cast<unsigned>(m_nBinX)));
  CheckScanCtrl(s.put_BinY(static_cast<unsigned>(m_nBinY)));
  CheckScanCtrl(s.put_OutScale(m_nOutScale));
  CheckScanCtrl(s.put_ScanDoublePass(m_nDoublePass));
  CheckScanCtrl(s.put_AFPosX(r[4]));
  CheckScanCtrl(s.put_AFPosY(r[5]));
  CheckScanCtrl(s.SetPackageType(r[6]));
}

// ---- run helpers --------------------------------------------------------------------------

int CScanMgr::GetScanRetries() {
  const long retries = ScannerKey().ReadInt("ScanRetries", 1L);
  if (retries < 0) {
    LogInfo("ScanRetries (%ld) is negative; using 1.", retries);
    return 1;
  }
  return static_cast<int>(std::min<long>(retries, 1000));
}

std::string CScanMgr::GetTimeStamp() { return platform::formatLocalTime("%m%d%Y%H%M%S"); }

// ---- PMT memory ---------------------------------------------------------------------------

void CScanMgr::DeleteLastGoodPMTVoltages() {
  CRegEdit reg = ScannerKey();
  reg.DeleteValue(kRedVoltValue);
  reg.DeleteValue(kGreenVoltValue);
  LogInfo("Last known good PMT Voltage registry keys have been deleted.");
}

void CScanMgr::StoreLastGoodPMTVoltages() {
  CRegEdit reg = ScannerKey();
  reg.WriteInt(kRedVoltValue, static_cast<long>(m_nLastGoodRedVoltage));
  reg.WriteInt(kGreenVoltValue, static_cast<long>(m_nLastGoodGreenVoltage));
  LogInfo("Store PMT voltages calibrated at 100 percent into registry database: Red = %d, Green = %d.",
          static_cast<int>(m_nLastGoodRedVoltage), static_cast<int>(m_nLastGoodGreenVoltage));
}

void CScanMgr::LoadLastGoodPMTVoltages() {
  if (!m_pScanCtrl) throw std::runtime_error("Movrak was not set in ScanMgr.");
  std::string serial;
  CheckScanCtrl(m_pScanCtrl->get_InstrumentSerialNumber(&serial));
  CRegEdit reg = ScannerKey();
  const std::string stored = reg.ReadString(kSerialValue, "");
  if (stored != serial) {
    // Voltages calibrated on another instrument are meaningless for this one.
    if (!stored.empty()) {
      LogInfo("PMT Calibration for Instrument SN %s Invalid for Current Instrument (SN %s).", stored.c_str(),
              serial.c_str());
      LogInfo("Deleting Registry Keys.");
      DeleteLastGoodPMTVoltages();
    }
    reg.WriteString(kSerialValue, serial);
  }

  long red = reg.ReadInt(kRedVoltValue, 0L);
  long green = reg.ReadInt(kGreenVoltValue, 0L);
  LogInfo("Get last known good PMT voltages calibrated at 100 percent from registry database: Red = %ld, "
          "Green = %ld.",
          red, green);
  const auto invalid = [](long v) { return v < 0 || v > kMaxStoredVoltage; };
  if (invalid(red) || invalid(green)) {
    LogError("Prior PMT Voltage Invalid!  Registry Key Corrupt?  Using Factory Setting.");
    red = green = 0;
    reg.DeleteValue(kRedVoltValue);
    reg.DeleteValue(kGreenVoltValue);
  }
  m_nLastGoodRedVoltage = static_cast<unsigned>(red);
  m_nLastGoodGreenVoltage = static_cast<unsigned>(green);

  for (const tagPMTChannels channel : {kRedPMT, kGreenPMT}) {
    IScanCtrl::ULONG voltage = channel == kRedPMT ? m_nLastGoodRedVoltage : m_nLastGoodGreenVoltage;
    if (voltage == 0) CheckScanCtrl(m_pScanCtrl->PMTGetFlashVoltage(channel, &voltage));
    CheckScanCtrl(m_pScanCtrl->PMTChangeVoltageEx(channel, voltage, 1));
  }
  m_nRedConfirmed = 0;
  m_nGreenConfirmed = 0;
  m_bCalibrationDue = true;
}

// ---- one-slide scan -----------------------------------------------------------------------

void CScanMgr::DoScan(const std::string&) { throw RunMessage{9952}; }

bool CScanMgr::StartRecvThread() { return false; }

}  // namespace lumetra::run
