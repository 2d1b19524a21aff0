// The data port object: construction, the access lock, finding, opening and configuring
// the board, status and identity, run modes and the keep-alive.
#include "Pellux/ScanDataPort.h"

#include <cstdlib>
#include <mutex>

#include "FrontPanelTable.h"
#include "Jotwell/Logger.h"
#include "Jotwell/ProductKeys.h"
#include "Jotwell/RegEdit.h"
#include "Jotwell/Utilities.h"
#include "PortInternal.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/thread.h"
#include "platform/ui.h"

using pellux::okApi;
using namespace pellux;

namespace {

// The access-lock count of the whole process, for the log only.
std::atomic<int> s_nAccessLockCount{0};

// The port's device-interface identifier.
constexpr const char* kDevInterfaceGUID = "7C3F6D2A-94B1-4E58-A0C3-5B1D2E8F4A67";

std::atomic<OpenFilePickerHook> s_filePicker{nullptr};

}  // namespace

CScanDataPort::CScanDataPort() = default;

CScanDataPort::~CScanDataPort() = default;

// ---- access lock ---------------------------------------------------------------------

bool CScanDataPort::LockAccess() { return LockAccessWithin(std::chrono::milliseconds(5000)); }

bool CScanDataPort::LockAccessForOperation() { return LockAccessWithin(kOperationLockWait); }

bool CScanDataPort::LockAccessWithin(std::chrono::milliseconds timeout) {
  const std::string prefix =
      FormatText("<Thread %d> DataPortMutex:", static_cast<int>(platform::currentThreadId()));
  LogDebug(2, "%s trying to lock DataPortMutex. [count = %d]", prefix.c_str(), s_nAccessLockCount.load());
  switch (m_AccessMutex.lock(timeout)) {
    case platform::LockResult::acquired:
      LogDebug(2, "%s locked. [count = %d]", prefix.c_str(), ++s_nAccessLockCount);
      return true;
    case platform::LockResult::abandoned:
      s_nAccessLockCount = 1;
      LogDebug(2, "%s locked (WAIT_ABANDONED). [count = %d]", prefix.c_str(), s_nAccessLockCount.load());
      return true;
    case platform::LockResult::timedOut:
      LogDebug(2, "%s timeout.", prefix.c_str());
      return false;
  }
  LogDebug(2, "%s unknown event.", prefix.c_str());
  return false;
}

bool CScanDataPort::ReleaseAccess() {
  const std::string prefix =
      FormatText("<Thread %d> DataPortMutex:", static_cast<int>(platform::currentThreadId()));
  if (m_AccessMutex.unlock()) {
    LogDebug(2, "%s unlocked. [count = %d]", prefix.c_str(), --s_nAccessLockCount);
    return true;
  }
  LogDebug(2, "%s unlock failed. [count = %d]", prefix.c_str(), s_nAccessLockCount.load());
  return false;
}

// ---- primitives of the board guard ---------------------------------------------------------

ok_ErrorCode CScanDataPort::WriteWireIn(int ep, unsigned value, unsigned mask) {
  std::lock_guard guard(m_BoardGuard);
  const ok_ErrorCode rc = SetWireInValue(ep, value, mask);
  if (rc != 0) return rc;
  // Without the update the value never reaches the FPGA.
  if (!okApi().okUsbFrontPanel_UpdateWireIns) return kOkUnsupportedFeature;
  okApi().okUsbFrontPanel_UpdateWireIns(m_hBoard);
  return 0;
}

int CScanDataPort::ReadWireOut(int ep) {
  std::lock_guard guard(m_BoardGuard);
  const auto& api = okApi();
  if (!api.okUsbFrontPanel_UpdateWireOuts || !api.okUsbFrontPanel_GetWireOutValue) return 0;
  api.okUsbFrontPanel_UpdateWireOuts(m_hBoard);
  return api.okUsbFrontPanel_GetWireOutValue(m_hBoard, ep);
}

// ---- finding, opening, configuring ----------------------------------------------------------

bool CScanDataPort::FindScanDataPort(std::string& serial) {
  serial.clear();
  int count = 0;
  {
    std::lock_guard guard(m_BoardGuard);
    if (okApi().okUsbFrontPanel_GetDeviceCount) count = okApi().okUsbFrontPanel_GetDeviceCount(m_hBoard);
  }
  if (count <= 0) {
    platform::ui::messageBox("No ScanDataPort device found!");
    return false;
  }
  if (count > 1) LogWarning("Found %d XEM DataPort devices", count);
  for (int i = 0; i < count; ++i) {
    int model = 0;
    std::string sn;
    {
      std::lock_guard guard(m_BoardGuard);
      if (okApi().okUsbFrontPanel_GetDeviceListModel)
        model = okApi().okUsbFrontPanel_GetDeviceListModel(m_hBoard, i);
      sn = GetDeviceListSerial(i);
    }
    if (model == 4) {  // the accepted board
      serial = sn;
      return true;
    }
  }
  platform::ui::messageBox("No valid ScanDataPort device found!");
  return false;
}

bool CScanDataPort::OpenPort(const char* serial) {
  ok_ErrorCode rc = kOkUnsupportedFeature;
  {
    std::lock_guard guard(m_BoardGuard);
    if (okApi().okUsbFrontPanel_OpenBySerial)
      rc = okApi().okUsbFrontPanel_OpenBySerial(m_hBoard, serial ? serial : "");
  }
  if (rc != 0) {
    platform::ui::messageBox("Failed to open the Scan Data Port!");
    return false;
  }
  return IsPortOpen();
}

bool CScanDataPort::IsPortOpen() {
  std::lock_guard guard(m_BoardGuard);
  return okApi().okUsbFrontPanel_IsOpen && okApi().okUsbFrontPanel_IsOpen(m_hBoard) == 1;
}

bool CScanDataPort::LoadFPGA(const char* bitFile) {
  if (!bitFile || !*bitFile) {
    LogError("<DataPort::LoadFPGA> FPGA BIT file not specified!");
    return false;
  }
  ok_ErrorCode rc;
  {
    std::lock_guard guard(m_BoardGuard);
    rc = ConfigureFPGA(bitFile);
  }
  if (rc == 0) return true;
  LogError("<DataPort::LoadFPGA> Failed to download configuration file %s to the Scan Data Port: %s", bitFile,
           GetOKErrCodeString(rc).c_str());
  return false;
}

int CScanDataPort::GetFPGABitVersion() {
  if (!IsPortOpen()) return 0;
  const int version = ReadWireOut(kOutCfgVersion) & 0x0FFF;
  return version < 20 ? 0 : version;
}

bool CScanDataPort::ConfigurePort(const char* serial, const char* bitFile) {
  AccessHold access(*this);
  if (!access.held()) {
    LogPortInUse("<DataPort::ConfigurePort>");
    return false;
  }
  ok_ErrorCode rc = kOkUnsupportedFeature;
  {
    std::lock_guard guard(m_BoardGuard);
    if (okApi().okUsbFrontPanel_OpenBySerial)
      rc = okApi().okUsbFrontPanel_OpenBySerial(m_hBoard, serial ? serial : "");
  }
  if (rc != 0) {
    platform::ui::messageBox("Failed to open the Scan Data Port!");
    return false;
  }
  rc = kOkUnsupportedFeature;
  {
    std::lock_guard guard(m_BoardGuard);
    if (okApi().okUsbFrontPanel_LoadDefaultPLLConfiguration)
      rc = okApi().okUsbFrontPanel_LoadDefaultPLLConfiguration(m_hBoard);
  }
  if (rc != 0) platform::ui::messageBox("Failed to load default PLL configuration to the Scan Data Port!");
  if (!LoadFPGA(bitFile))
    platform::ui::messageBox("Failed to download FPGA configuration file to the Scan Data Port!");
  m_nCfgVersion = GetFPGABitVersion();
  if (m_nCfgVersion >= 20) {
    m_bConfigured = true;
    return true;
  }
  const char* text =
      "<DataPort::ConfigurePort> Invalid FPGA configuration file (might be an old version) loaded to the "
      "Scan Data Port!";
  platform::ui::messageBox(text);
  LogError("%s", text);
  return false;
}

std::string CScanDataPort::GetConfigFilePath() {
  std::lock_guard guard(m_BoardGuard);
  return m_strConfigFile;
}

PortStatus CScanDataPort::OpenDataPort(const char* serialArg, const char* bitFileArg) {
  // Another thread's download or phase walk in the middle of this one spoils the clock
  // phases: the whole connect sequence is one operation.
  AccessHold access(*this);
  if (!access.held()) {
    LogPortInUse("<DataPort::OpenDataPort>");
    return PortStatusBusy;
  }
  std::string serial = serialArg ? serialArg : "";
  if (serial.empty() && !FindScanDataPort(serial)) return PortStatusDeviceNotFound;
  LogInfo("Connecting to DataPort device [DeviceSN = %s]", serial.c_str());

  CRegEdit reg(HKEY_LOCAL_MACHINE, zeva::kDataPortKey);
  std::string bitFile = bitFileArg ? bitFileArg : "";
  if (bitFile.empty()) {
    bitFile = reg.ReadString("KethConfigFile", "");
    if (bitFile.empty()) bitFile = GetModuleDir() + "keth.bit";
    {
      std::lock_guard guard(m_BoardGuard);
      m_strConfigFile = bitFile;
    }
    if (!platform::fileExists(bitFile)) {
      LogError("<DataPort::OpenDataPort> FPGA configuration file %s not found", bitFile.c_str());
      return PortStatusConfigFileInvalid;
    }
  }

  PortStatus result = PortStatusSuccess;
  const char* task = "";
  try {
    task = "Open Port";
    ok_ErrorCode rc = kOkUnsupportedFeature;
    {
      std::lock_guard guard(m_BoardGuard);
      if (okApi().okUsbFrontPanel_OpenBySerial)
        rc = okApi().okUsbFrontPanel_OpenBySerial(m_hBoard, serial.c_str());
    }
    if (rc != 0) throw PortStatusConnectFailed;

    const int lastLoaded = reg.ReadInt("LastLoadedKethCfgBitsVersion", 0);
    m_nCfgVersion = 0;
    bool running = false;
    {
      std::lock_guard guard(m_BoardGuard);
      running = okApi().okUsbFrontPanel_IsFrontPanelEnabled &&
                okApi().okUsbFrontPanel_IsFrontPanelEnabled(m_hBoard) == 1;
    }
    if (running) {
      task = "Check port configuration file version";
      m_nCfgVersion = GetFPGABitVersion();
    }

    task = "Load default PLL configuration";
    rc = kOkUnsupportedFeature;
    {
      std::lock_guard guard(m_BoardGuard);
      if (okApi().okUsbFrontPanel_LoadDefaultPLLConfiguration)
        rc = okApi().okUsbFrontPanel_LoadDefaultPLLConfiguration(m_hBoard);
    }
    if (rc != 0) throw PortStatusLoadPLLFailed;

    task = "Configure port";
    if (!LoadFPGA(bitFile.c_str())) throw PortStatusConfigureFailed;

    task = "Check port configuration file version";
    m_nCfgVersion = GetFPGABitVersion();
    if (m_nCfgVersion < 20) {
      const char* text =
          "<DataPort::OpenDataPort> Invalid FPGA configuration file (might be an old version) loaded to the "
          "Scan Data Port!";
      platform::ui::messageBox(text);
      LogError("%s", text);
      return PortStatusConfigFileInvalid;
    }

    task = "Auto adjust DCM phases";
    if (!AutoAdjustDCMPhases()) throw PortStatusDCMAdjustFailed;

    m_bInitCfgDone = true;
    m_bInitDCMAdjusted = true;
    LogDebug(1, "<DataPort::OpenDataPort> Port has been configurated with '%s' [ver = %d]", bitFile.c_str(),
             m_nCfgVersion.load());
    if (m_nCfgVersion != lastLoaded) reg.WriteInt("LastLoadedKethCfgBitsVersion", m_nCfgVersion.load());

    m_bConfigured = true;
    task = "Send keep master alive command";
    if (!SendKeepAliveCmd(true))
      LogDebug(1, "<DataPort::OpenDataPort> Failed to send 'KeepMasterAlive' command");

    task = "Clear misc error flags";
    ClearMiscErrorFlags();
    m_tRedLaserOnTime = 0;
    PortCtrlStatus status;
    if (GetCtrlStatus(&status) && status.IsLaserPwrOn(true)) m_tRedLaserOnTime = NowSeconds();
  } catch (PortStatus s) {
    LogDebug(1, "<DataPort::OpenDataPort> Task [%s] failed [ErrCode = %d]", task, static_cast<int>(s));
    result = s;
  } catch (int code) {
    LogDebug(1, "<DataPort::OpenDataPort> Task [%s] failed [error code = %d]", task, code);
    result = static_cast<PortStatus>(code);
  } catch (const std::exception& e) {
    LogDebug(1, "<DataPort::OpenDataPort> Task [%s] failed - %s [ErrCode = %d]", task, e.what(),
             static_cast<int>(PortStatusNoStatus));
    result = PortStatusNoStatus;
  } catch (...) {
    LogDebug(1, "<DataPort::OpenDataPort> Task [%s] failed - unknown error", task);
    result = PortStatusNoStatus;
  }

  PortCtrlStatus status;
  if (GetCtrlStatus(&status))
    LogDebug(1, "<DataPort::OpenDataPort> Exiting status: %s", status.GetStatusString(0).c_str());
  const int minOnMinutes = reg.ReadInt("RLaserPowerReadyToAdjustWaitTimeMin", 30);
  m_nRedLaserMinOnMinutes = minOnMinutes < 0 ? 30 : minOnMinutes;
  LogDebug(2, "<DataPort::OpenDataPort> Get RedLaserPowerReadyToAdjustMinWaitTime = %d",
           m_nRedLaserMinOnMinutes.load());
  return result;
}

// ---- status and identity ----------------------------------------------------------------------

bool CScanDataPort::IsReady() {
  return IsPortOpen() && m_bConfigured && m_nCfgVersion >= 20 && IsDCMPhaseOK();
}

std::string CScanDataPort::GetDeviceVersionString() {
  if (!IsPortOpen()) return {};
  std::lock_guard guard(m_BoardGuard);
  const int major = okApi().okUsbFrontPanel_GetDeviceMajorVersion
                        ? okApi().okUsbFrontPanel_GetDeviceMajorVersion(m_hBoard)
                        : 0;
  const int minor = okApi().okUsbFrontPanel_GetDeviceMinorVersion
                        ? okApi().okUsbFrontPanel_GetDeviceMinorVersion(m_hBoard)
                        : 0;
  return FormatText("%d.%d", major, minor);
}

std::string CScanDataPort::GetDeviceSNString() {
  if (!IsPortOpen()) return {};
  std::lock_guard guard(m_BoardGuard);
  return GetSerialNumber();
}

std::string CScanDataPort::GetDeviceIDString() {
  if (!IsPortOpen()) return {};
  std::lock_guard guard(m_BoardGuard);
  return GetDeviceID();
}

std::string CScanDataPort::GetFPGABitVersionString() const {
  return m_nCfgVersion < 1 ? std::string("Unknown") : FormatText("%d", m_nCfgVersion.load());
}

PortDeviceGUID CScanDataPort::GetScanDataPortDevGUID() {
  // "XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX"
  const std::string text = kDevInterfaceGUID;
  PortDeviceGUID guid;
  auto hex = [&](std::size_t pos, std::size_t len, std::uint64_t& out) {
    if (pos + len > text.size()) return false;
    const auto v = platform::parseHexDigits64(std::string_view(text).substr(pos, len), len);
    if (!v) return false;
    out = *v;
    return true;
  };
  std::uint64_t d1, d2, d3, d4, d5;
  if (text.size() != 36 || text[8] != '-' || text[13] != '-' || text[18] != '-' || text[23] != '-' ||
      !hex(0, 8, d1) || !hex(9, 4, d2) || !hex(14, 4, d3) || !hex(19, 4, d4) || !hex(24, 12, d5))
    return {};
  guid.Data1 = static_cast<std::uint32_t>(d1);
  guid.Data2 = static_cast<std::uint16_t>(d2);
  guid.Data3 = static_cast<std::uint16_t>(d3);
  guid.Data4[0] = static_cast<std::uint8_t>(d4 >> 8);
  guid.Data4[1] = static_cast<std::uint8_t>(d4);
  for (int i = 0; i < 6; ++i) guid.Data4[2 + i] = static_cast<std::uint8_t>(d5 >> (8 * (5 - i)));
  return guid;
}

ok_ErrorCode CScanDataPort::GetPLLConfigInfo(PLLConfigInfo* info, int fromEeprom) {
  if (!info) return -1;
  *info = PLLConfigInfo{};
  if (!IsPortOpen()) {
    info->strMessage = "Failed to get PLL config info - Device Not Open!";
    return -8;
  }
  const auto& api = okApi();
  auto get = fromEeprom ? api.okUsbFrontPanel_GetEepromPLL22150Configuration
                        : api.okUsbFrontPanel_GetPLL22150Configuration;
  if (!get || !api.okPLL22150_Construct || !api.okPLL22150_Destruct) {
    info->strMessage = "Failed to get PLL config info - Unsupported feature!";
    return kOkUnsupportedFeature;
  }
  std::lock_guard guard(m_BoardGuard);
  okClock22150Handle pll = api.okPLL22150_Construct();
  const ok_ErrorCode rc = get(m_hBoard, pll);
  if (rc != 0) {
    info->strMessage = "Failed to get PLL config info - " + GetOKErrCodeString(rc);
  } else {
    auto call = [&](auto fn, auto... args) { return fn ? fn(pll, args...) : decltype(fn(pll, args...)){}; };
    info->dReference = call(api.okPLL22150_GetReference);
    info->dVCOFrequency = call(api.okPLL22150_GetVCOFrequency);
    info->nVCOP = call(api.okPLL22150_GetVCOP);
    info->nVCOQ = call(api.okPLL22150_GetVCOQ);
    info->nDiv1Source = call(api.okPLL22150_GetDiv1Source);
    info->nDiv2Source = call(api.okPLL22150_GetDiv2Source);
    info->nDiv1Divider = call(api.okPLL22150_GetDiv1Divider);
    info->nDiv2Divider = call(api.okPLL22150_GetDiv2Divider);
    for (int i = 0; i < PLLConfigInfo::kOutputs; ++i) {
      info->outputs[i].bEnabled = call(api.okPLL22150_IsOutputEnabled, i);
      info->outputs[i].nSource = call(api.okPLL22150_GetOutputSource, i);
      info->outputs[i].dFrequency = call(api.okPLL22150_GetOutputFrequency, i);
    }
  }
  api.okPLL22150_Destruct(pll);
  return rc;
}

// ---- run modes and data availability ------------------------------------------------------------

const char* CScanDataPort::SetOKRunMode(eDataModeType mode, unsigned samplingMode) {
  // One guard for the whole switch: another thread's wire-in update in between would
  // latch a half-written mode register.
  std::lock_guard guard(m_BoardGuard);
  m_eRunMode = mode;
  if (mode == eScanData) m_bFirstScanPacketReceived = false;
  if (WriteWireIn(kWireMode, 0, 0x0080)) return "Failed to reset the run mode!";
  if (WriteWireIn(kWireMode, 0, 0xF003)) return "Failed to reset all data and simpling mode bits!";
  if (mode != eMeasuringData && WriteWireIn(kWireMode, mode == eScanData ? 0x8000 : 0x1000, 0xF003))
    return "Failed to set data mode!";
  const unsigned sampling = samplingMode & 0xFF;
  if (mode == eMeasuringData) {
    if ((sampling & 0x04) && WriteWireIn(kWireMode, 0x2000, 0x2000))
      return "Failed to set raw data GREEN mode register!";
    if ((sampling & 0x08) && WriteWireIn(kWireMode, 0x4000, 0x4000))
      return "Failed to set raw data GATED mode register!";
  }
  if (mode == eScanData && WriteWireIn(kWirePixelDelay, 0x0A0A, 0xFFFF))
    return "Failed to set Pixel Delay register!";
  if (mode == eScanData || mode == eMeasuringData) {
    if ((sampling & 0x01) && WriteWireIn(kWireMode, 0x0002, 0x0002))
      return "Failed to set data GAIN mode register!";
    if ((sampling & 0x02) && WriteWireIn(kWireMode, 0x0001, 0x0001))
      return "Failed to set data OFFSET mode register!";
  }
  if (!okApi().okUsbFrontPanel_UpdateWireIns) return "Failed to start run mode!";
  okApi().okUsbFrontPanel_UpdateWireIns(m_hBoard);
  SleepMs(100);
  if (WriteWireIn(kWireMode, 0x0080, 0x0080)) return "Failed to start run mode!";
  m_bAbort = false;
  return nullptr;
}

bool CScanDataPort::InitRunMode(eDataModeType mode, unsigned samplingMode) {
  try {
    if (mode != eFakeData && mode != eScanData && mode != eMeasuringData) {
      LogError("<DataPort::InitRunMode> %s",
               FormatText("Invalid run mode %d!", static_cast<int>(mode)).c_str());
      return false;
    }
    if (const char* failure = SetOKRunMode(mode, samplingMode)) {
      LogError("<DataPort::InitRunMode> %s", failure);
      return false;
    }
    return true;
  } catch (...) {
    LogDebug(1, "<DataPort::InitRunMode> Caught an exception!");
    return false;
  }
}

long CScanDataPort::GetAvailableDataByteCnt() {
  if (!IsPortOpen()) {
    platform::ui::messageBox("Data port is not available!");
    return 0;
  }
  std::lock_guard guard(m_BoardGuard);
  const auto& api = okApi();
  if (!api.okUsbFrontPanel_UpdateWireOuts || !api.okUsbFrontPanel_GetWireOutValue) return 0;
  api.okUsbFrontPanel_UpdateWireOuts(m_hBoard);
  const unsigned high =
      static_cast<unsigned>(api.okUsbFrontPanel_GetWireOutValue(m_hBoard, kOutAvailHigh)) & 0xFFFF;
  const unsigned low =
      static_cast<unsigned>(api.okUsbFrontPanel_GetWireOutValue(m_hBoard, kOutAvailLow)) & 0xFFFF;
  return static_cast<long>((high << 16) | low);
}

bool CScanDataPort::CheckDataBufferFull(int& full) {
  try {
    full = (ReadWireOut(kOutBufferFlags) & kDataBufferFull) ? 1 : 0;
    if (full) LogDebug(1, "<DataPort> Detected data buffer full flag has been set");
    return true;
  } catch (...) {
    LogDebug(1, "<DataPort::CheckDataBufferFull> Caught an OK API exception!");
    return false;
  }
}

// ---- keep-alive -----------------------------------------------------------------------------

bool CScanDataPort::SendKeepAliveCmd(bool mayDefer) {
  if (m_bBusy) {
    if (!mayDefer) throw PortStatusBusy;
    m_bKeepAlivePending = true;
    LogDebug(1, "<DataPort::SendKeepAliveCmd> System is busy, set a send-pending");
    return true;
  }
  const bool ok = SetOKTriggerIn(kTriggerCtrl, 15);
  LogDebug(1, "<DataPort::SendKeepAliveCmd> send %s", ok ? "succeeded" : "failed");
  if (ok) m_bKeepAlivePending = false;
  return ok;
}

void CScanDataPort::SendPendingKeepAlive(const char* who) {
  if (!m_bKeepAlivePending) return;
  LogDebug(2, "<DataPort::%s> try to send a pending ALIVE command", who);
  SendKeepAliveCmd(true);
}

// ---- the bit-file picker -----------------------------------------------------------------------

OpenFilePickerHook SetConfigBitFilePickerHook(OpenFilePickerHook hook) { return s_filePicker.exchange(hook); }

std::string GetConfigBitFilePath(platform::Window* parent) {
  const OpenFilePickerHook picker = s_filePicker.load();
  if (!picker) return {};
  OpenFilePickerRequest request;
  request.parent = parent;
  request.defaultExtension = "bit";
  request.initialName = "*.bit";
  request.filter = "Xilinx Configuration Files (*.bit)|*.bit|All Files (*.*)|*.*||";
  request.hideReadOnly = true;
  request.fileMustExist = true;
  return picker(request);
}
