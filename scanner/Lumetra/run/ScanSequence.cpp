// The one-slide scan and the operations that set up a slot's scan: channel settings from
// the resolution, the scan region, the instrument's scan parameters, the scanner model,
// and the PMT voltages remembered between runs.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <vector>

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
    const int check =
        CheckScanRegion(GetScannerModel(), &region[0], &region[1], &width, &height, &region[4], &region[5]);
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
  LogInfo(
      "Get last known good PMT voltages calibrated at 100 percent from registry database: Red = %ld, "
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

namespace {

constexpr int kLineStatusWords = 18;  // the instrument's status record of one scan line
constexpr int kReadPolls = 120;       // the read thread's time after the line loop, in polls
constexpr std::chrono::milliseconds kPoll{1000};
constexpr std::chrono::seconds kLongWait{30};  // waits this long are logged
// Error classes of IScanCtrl::CheckErrorCode that a pass survives.
constexpr unsigned kClassPMTCalibUnstable = 27;
constexpr unsigned kClassPMTCalibLost = 28;
constexpr unsigned kClassLaserUnstable = 34;

void SendProgressText(CScanMgr& mgr, int id) {
  std::string text;
  GetMessageText(id, text);
  mgr.SendStatusLine(text, kLineProgress);
}

}  // namespace

void CScanMgr::ThrowIfAbortNow() const {
  if (m_nAbortRequest.load() == 1) throw RunMessage{9918};
}

bool CScanMgr::IsErrorClass(const ComError& e, unsigned errorClass) {
  const int id = static_cast<int>(static_cast<std::uint32_t>(e.Error()) & 0xFFFFu);
  IScanCtrl::BOOL32 match = 0;
  try {
    CheckScanCtrl(m_pScanCtrl->CheckErrorCode(id, errorClass, &match));
  } catch (const ComError& failure) {
    LogError("<CScanMgr::DoScan> Failed to classify error %d: %s", id, FormatComError(failure).c_str());
    return false;
  }
  return match != 0;
}

void CScanMgr::AddScanWarning(const std::string& text) {
  m_strScanComment += text + "\r\n";
  SendStatusLine(text, kLineWarning);
}

void CScanMgr::CalibratePMTs(unsigned channelMask) {
  SendProgressText(*this, 9941);
  CLogger::OnFunctionBegin(CLogger::PMT_CALIBRATION);
  unsigned newRed = 0, newGreen = 0;
  IScanCtrl::BOOL32 failed = 0;
  try {
    CheckScanCtrl(m_pScanCtrl->CalibratePMT(channelMask, m_nRedPercent / 100.0, m_nGreenPercent / 100.0,
                                            m_nLastGoodRedVoltage, m_nLastGoodGreenVoltage, &newRed,
                                            &newGreen, &failed, m_fRedLaserFactor, m_fGreenLaserFactor));
  } catch (const ComError& e) {
    CLogger::OnFunctionEnd(CLogger::PMT_CALIBRATION);
    if (!IsErrorClass(e, kClassPMTCalibUnstable) && !IsErrorClass(e, kClassPMTCalibLost)) throw;
    // The instrument scans with its fallback setting (handed out as the new voltages), but
    // that setting was not calibrated: it must not become a last good voltage.
    AddScanWarning(FormatComError(e));
    failed = 1;
  }
  m_nNewRedVoltage = newRed;
  m_nNewGreenVoltage = newGreen;
  m_nCalibrationFailed = failed ? 1 : 0;

  // The image records each channel's voltage (volts) and sensitivity; files are in
  // channel order, red first.
  CScanDataProc& proc = *m_pDataProc;
  int file = 0;
  const auto record = [&](unsigned voltage, unsigned percent) {
    if (TiffHandler* tiff = proc.GetTiffByChannel(file)) {
      tiff->SetPMTVoltage(voltage / 10.0);
      tiff->SetSensitivity(percent);
    }
    ++file;
  };
  if (m_bRedEnable) record(newRed, m_nRedPercent);
  if (m_bGreenEnable) record(newGreen, m_nGreenPercent);

  if (m_nCalibrationFailed) return;
  if (m_bRedEnable && m_nRedPercent == 100) {
    m_nLastGoodRedVoltage = newRed;
    m_nRedConfirmed = 1;
  }
  if (m_bGreenEnable && m_nGreenPercent == 100) {
    m_nLastGoodGreenVoltage = newGreen;
    m_nGreenConfirmed = 1;
  }
}

void CScanMgr::ClearSimpleErrCounts() {
  try {
    CheckScanCtrl(m_pScanCtrl->SDPClearSimpleErrCounts());
  } catch (const ComError& e) {
    LogError("<CScanMgr::DoScan>Failed to send ClearSimpleErrorCounts command: %s",
             FormatComError(e).c_str());
  }
}

void CScanMgr::LogSimpleErrCounts() {
  try {
    int counts = 0;
    CheckScanCtrl(m_pScanCtrl->SDPGetSimpleErrCounts(&counts));
    if (counts < 0)
      LogError("<CScanMgr::DoScan> Failed to get SimpleErrorCounts from Data Port");
    else if (counts > 0)
      LogDebug(1, "<CScanMgr::DoScan> Got SimpleErrorCounts = %d", counts);
  } catch (const ComError& e) {
    LogError("<CScanMgr::DoScan>Failed to get SimpleErrorCounts from Data Port: %s",
             FormatComError(e).c_str());
  }
}

void CScanMgr::AbortDataProc() {
  try {
    m_pDataProc->SetAbort(true);
  } catch (const ComError& e) {
    // The processor's own flag is set before the port is told: its threads stop anyway.
    LogError("<CScanMgr::DoScan> Failed to tell the Scan Data Port to abort: %s", FormatComError(e).c_str());
  }
}

bool CScanMgr::WaitForReading(bool stopOnAbortOrDataFailure) {
  CScanDataProc& proc = *m_pDataProc;
  const auto start = platform::steadyNow();
  int polls = 0;
  bool done = proc.IsDoneReading();
  while (!done && polls < kReadPolls) {
    if (stopOnAbortOrDataFailure && (m_nAbortRequest.load() == 1 || m_nDataStatus.load() != 0)) break;
    // Ends at once when the read thread ends (an abort ends it too).
    done = proc.WaitUntilDoneReading(kPoll);
    if (!done) ++polls;
  }
  const auto waited = std::chrono::duration_cast<std::chrono::seconds>(platform::steadyNow() - start);
  if (polls >= kReadPolls)
    LogDebug(1, "Waiting for 'IsDoneReading' flag: timed-out [2 min.]");
  else if (waited >= kLongWait)
    LogDebug(1, "Waiting for 'IsDoneReading' flag: waiting time = %d sec.", static_cast<int>(waited.count()));
  return done;
}

bool CScanMgr::StartRecvThread() {
  if (!m_pDataProc) {
    LogError("<CScanMgr::StartRecvThread> No scan data processor.");
    return false;
  }
  if (m_RecvThread.running()) {
    LogError("<CScanMgr::StartRecvThread> The receive thread of the previous scan is still running.");
    return false;
  }
  if (m_RecvThread.joinable()) (void)m_RecvThread.join();  // ended already: nothing to wait for
  CScanDataProc* proc = m_pDataProc.get();
  platform::Window* window = m_pStatusWindow.load();
  const bool started = m_RecvThread.start(
      [proc, window](platform::Event&) -> std::uint32_t {
        try {
          proc->DoRecvScanData(window);
        } catch (const std::exception& e) {
          LogError("<RecvScanDataThreadProc> Failed to start receiving scan data: %s", e.what());
        } catch (...) {
          LogError("<RecvScanDataThreadProc> Failed to start receiving scan data.");
        }
        return 0;
      },
      "RecvScanData");
  if (!started) LogError("<CScanMgr::StartRecvThread> Cannot start the receive thread.");
  return started;
}

bool CScanMgr::JoinRecvThread() {
  // The thread only starts the read and write threads; it waits for nothing but the
  // status window's answer to the start message, so the bound is generous.
  if (!m_RecvThread.joinable() || m_RecvThread.join(kThreadWait)) return true;
  LogError("<CScanMgr::DoScan> The receive thread did not end within %d s.",
           static_cast<int>(kThreadWait.count()));
  return false;
}

void CScanMgr::EndReceiving() {
  // The done flags belong to this scan only once the receive thread has started it.
  const bool joined = JoinRecvThread();
  CScanDataProc& proc = *m_pDataProc;
  if (!joined || !proc.IsDoneReading() || !proc.IsDoneWriting()) AbortDataProc();
  if (!proc.WaitUntilDone(kThreadWait))
    LogError("<CScanMgr::DoScan> The scan data threads did not stop within %d s of the abort.",
             static_cast<int>(kThreadWait.count()));
}

void CScanMgr::DoScan(const std::string& path) {
  if (!m_pScanCtrl || !m_pDataProc) {
    LogError("Movrak was not set in ScanMgr.");
    throw std::runtime_error("Movrak was not set in ScanMgr.");
  }
  IScanCtrl& scanner = *m_pScanCtrl;
  CScanDataProc& proc = *m_pDataProc;
  LogDebug(2, "<CScanMgr::DoScan> Scanning into %s", path.c_str());

  SetInstrumentScanParams();
  const unsigned mask = (m_bRedEnable ? 1u : 0u) | (m_bGreenEnable ? 2u : 0u);
  m_fRedLaserFactor = 1.0f;
  m_fGreenLaserFactor = 1.0f;
  // An aborted or failed pass leaves the data path's abort set; this pass starts clear.
  // (An abort asked for meanwhile is still seen: every step below tests the request.)
  proc.SetAbort(false);

  CheckScanCtrl(scanner.CalibrationLightSource(0));
  ThrowIfAbortNow();

  CalibratePMTs(mask);

  ThrowIfAbortNow();
  SendProgressText(*this, 9954);
  try {
    IScanCtrl::BOOL32 calibrated = 0;
    CheckScanCtrl(scanner.CalibrateLaser(0, &calibrated));
  } catch (const ComError& e) {
    if (!IsErrorClass(e, kClassLaserUnstable)) throw;
    AddScanWarning(FormatComError(e));
  }
  ThrowIfAbortNow();

  // Dark offset and the port's error counts.
  SendProgressText(*this, 9942);
  proc.SetLineResolution(m_nPixelSizeY);
  proc.SetPixelSizeX(m_nPixelSizeX);
  ClearSimpleErrCounts();
  proc.GetStatsSummary();
  LogSimpleErrCounts();
  ThrowIfAbortNow();

  const unsigned lines = static_cast<unsigned>(m_ScanRegion[8]) / static_cast<unsigned>(m_nPixelSizeY);
  const int pixels = m_ScanRegion[7] / m_nPixelSizeX;
  SendProgressText(*this, 9906);

  float focusX = 0, focusY = 0, focusSlope = 0;
  CheckScanCtrl(scanner.InitStartScan(&focusX, &focusY, &focusSlope, 1));
  ThrowIfAbortNow();
  ClearSimpleErrCounts();
  ThrowIfAbortNow();

  if (!proc.PrepareScan(static_cast<int>(lines), pixels, m_nDoublePass == 1, 0)) {
    LogError("<CScanMgr::DoScan> Failed to prepare the scan data processing for %u lines of %d pixels.",
             lines, pixels);
    throw std::runtime_error(
        "Failed to prepare the scan data processing (data buffer or data port not ready); the scan was not "
        "started.");
  }
  CheckScanCtrl(scanner.StartScan_C());
  m_nScanStarted = 1;
  m_nDataStatus.store(0);
  SendProgressText(*this, 9943);

  // From here every exit leaves no receive thread and no data thread running.
  struct Receiving {
    CScanMgr& mgr;
    ~Receiving() { mgr.EndReceiving(); }
  } receiving{*this};
  if (!StartRecvThread()) throw std::runtime_error("Failed to start the receive thread of the scan data.");
  // The receive thread only starts the read and write threads: once it has ended, the
  // data processor's done flags and its abort belong to this scan.
  if (!JoinRecvThread()) {
    AbortDataProc();
    if (m_nDataStatus.load() == 0) m_nDataStatus.store(kDataStatusReadFailed);
    throw RunMessage{9952};
  }

  std::vector<std::uint16_t> lineStatus(std::size_t{lines} * kLineStatusWords, 0);
  try {
    for (unsigned line = 0; line < lines && m_nAbortRequest.load() != 1 && !TakeDataFailure(proc); ++line)
      CheckScanCtrl(scanner.GetScanLine(kLineStatusWords, &lineStatus[std::size_t{line} * kLineStatusWords]));
  } catch (...) {
    AbortDataProc();
    LogDebug(1, "<CScanMgr::DoScan> Caught an exception during scanning, try to stop receiving data.");
    WaitForReading(false);
    throw;
  }

  if (!WaitForReading(true)) {
    // Reading must not run on into the next pass.
    AbortDataProc();
    if (m_nAbortRequest.load() != 1 && m_nDataStatus.load() == 0) {
      LogError("<CScanMgr::DoScan> The scan data was not read completely; the data processing was stopped.");
      m_nDataStatus.store(kDataStatusIncomplete);
    }
  }
  LogSimpleErrCounts();
  CheckScanCtrl(scanner.SDPBlockLasers(1));
  lineStatus = {};

  // No limit: the write thread ends on its own, on an abort and on a failure too.
  while (!proc.WaitUntilDoneWriting(kPoll)) {
  }
  if (!proc.WaitUntilDone(kThreadWait) && m_nDataStatus.load() == 0) {
    LogError("<CScanMgr::DoScan> The scan data read thread did not stop.");
    m_nDataStatus.store(kDataStatusReadFailed);
  }

  ThrowIfAbortNow();
  if (TakeDataFailure(proc)) throw RunMessage{9952};
}

bool CScanMgr::TakeDataFailure(const CScanDataProc& proc) {
  // The status window relays the data threads' failure report when it gets to it; the data
  // processor's own record closes the gap, so a failed pass is never taken for a whole one.
  int none = kDataStatusOK;
  if (const int failure = proc.GetFailureStatus(); failure != kDataStatusOK)
    m_nDataStatus.compare_exchange_strong(none, failure);
  return m_nDataStatus.load() != kDataStatusOK;
}

}  // namespace lumetra::run
