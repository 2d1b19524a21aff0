// The ScanCtrl object: construction on the shared scanner, the method frame and error
// reports, the property puts, and the connection, initialisation and state methods.
#include "com/ScanCtrl.h"

#include <array>
#include <atomic>
#include <chrono>
#include <new>

#include "Jotwell/BaseException.h"
#include "Jotwell/Logger.h"
#include "Jotwell/ProductKeys.h"
#include "Jotwell/RegEdit.h"
#include "Jotwell/Utilities.h"
#include "com/ComServer.h"
#include "com/ScanList.h"
#include "com/SharedLink.h"
#include "devices/DeviceErrors.h"
#include "devices/DeviceUtil.h"
#include "devices/Scanner.h"
#include "link/MessageTable.h"
#include "platform/clock.h"

using namespace movrak;
using platform::com::S_OK;

namespace {

std::atomic<long> g_objects{0};

constexpr int kPortStatusBase = 12000;
constexpr unsigned kDisconnectingMsg = 3108;
constexpr auto kThreadStopPoll = std::chrono::milliseconds(2000);
constexpr int kThreadStopPollsBeforeWarning = 20;
constexpr std::size_t kMaxConnectString = 255;

}  // namespace

// ---- construction ---------------------------------------------------------------------------

CScanCtrl::CScanCtrl() {
  m_pScanner = CScanList::Instance().GetScanner();
  // The status thread initialises the instrument by itself.
  m_pScanner->SetAutoInit(true);
  InstallMessagePump();
  ++g_objects;
}

CScanCtrl::~CScanCtrl() {
  if (m_pScanner) {
    m_Link.Leave(*m_pScanner);
    CScanList::Instance().ReleaseScanner();
    m_pScanner = nullptr;
  }
  --g_objects;
}

long CScanCtrl::ObjectCount() { return g_objects; }

HRESULT CScanCtrl::Create(const platform::com::IID& iid, void** object) {
  if (!object) return platform::com::E_POINTER;
  *object = nullptr;
  CScanCtrl* created = nullptr;
  try {
    created = new CScanCtrl;
  } catch (int id) {
    return ReportError(GetErrorText(id), id);
  } catch (const std::bad_alloc&) {
    return ReportError(GetErrorText(kErrOutOfMemory), kErrOutOfMemory);
  } catch (...) {
    return ReportError(GetErrorText(kErrUnknown), kErrUnknown);
  }
  const HRESULT hr = created->QueryInterface(iid, object);
  created->Release();
  return hr;
}

// ---- errors -------------------------------------------------------------------------------------

std::string CScanCtrl::GetErrorText(int id) {
  std::string text = movrak::GetErrorText(id);
  LogError("%s\r\n\t\t[Error Code: 0x%X]", text.c_str(), static_cast<unsigned>(id));
  return text;
}

HRESULT CScanCtrl::ReportError(const std::string& text, int id) {
  platform::com::SetErrorInfo({text, kScanCtrlProgId, IScanCtrl::kIID});
  return platform::com::ItfError(static_cast<std::uint32_t>(id));
}

HRESULT CScanCtrl::Fail(int id) { return ReportError(GetErrorText(id), id); }

HRESULT CScanCtrl::Refuse(const char* suffix) {
  return ReportError(GetErrorText(kErrUnsupportedModel) + suffix, kErrUnsupportedModel);
}

namespace {
// A failure that carries a text of its own: logged and reported with it.
HRESULT FailWithText(const std::string& text, int id) {
  LogError("%s\r\n\t\t[Error Code: 0x%X]", text.c_str(), static_cast<unsigned>(id));
  return CScanCtrl::ReportError(text, id);
}
}  // namespace

HRESULT CScanCtrl::Frame(const std::function<void()>& body) {
  platform::com::ClearErrorInfo();
  const auto failure = CatchError(body);
  if (!failure) return S_OK;
  return failure->text.empty() ? Fail(failure->id) : FailWithText(failure->text, failure->id);
}

// ---- property puts ------------------------------------------------------------------------------------

#define MOVRAK_PUT(Name, Type, field)          \
  HRESULT CScanCtrl::put_##Name(Type newVal) { \
    std::lock_guard lock(m_Mutex);             \
    field = newVal;                            \
    return S_OK;                               \
  }

MOVRAK_PUT(ScanRegionOriginX, LONG, m_lScanRegionOriginX)
MOVRAK_PUT(ScanRegionOriginY, LONG, m_lScanRegionOriginY)
MOVRAK_PUT(ScanRegionWidth, LONG, m_lScanRegionWidth)
MOVRAK_PUT(ScanRegionHeight, LONG, m_lScanRegionHeight)
MOVRAK_PUT(ScanRed, LONG, m_bScanRed)
MOVRAK_PUT(ScanGreen, LONG, m_bScanGreen)
MOVRAK_PUT(PixelSizeX, unsigned, m_uPixelSizeX)
MOVRAK_PUT(PixelSizeY, unsigned, m_uPixelSizeY)
MOVRAK_PUT(BinX, unsigned, m_uBinX)
MOVRAK_PUT(BinY, unsigned, m_uBinY)
MOVRAK_PUT(ChipActiveOriginX, LONG, m_lChipActiveOriginX)
MOVRAK_PUT(ChipActiveOriginY, LONG, m_lChipActiveOriginY)
MOVRAK_PUT(ChipActiveWidth, LONG, m_lChipActiveWidth)
MOVRAK_PUT(ChipActiveHeight, LONG, m_lChipActiveHeight)
MOVRAK_PUT(ChipOriginX, LONG, m_lChipOriginX)
MOVRAK_PUT(ChipOriginY, LONG, m_lChipOriginY)
MOVRAK_PUT(AFPosX, LONG, m_lAFPosX)
MOVRAK_PUT(AFPosY, LONG, m_lAFPosY)
MOVRAK_PUT(OutScale, LONG, m_lOutScale)
MOVRAK_PUT(Scan5umUseOnePass, LONG, m_lScan5umUseOnePass)
MOVRAK_PUT(ScanDoublePass, LONG, m_lScanDoublePass)

#undef MOVRAK_PUT

// ---- connection
// ---------------------------------------------------------------------------------------------

HRESULT CScanCtrl::Connect(const std::string& bstrConnectString) {
  LogInfo("Connecting to Instrument");
  std::string name;
  if (bstrConnectString.empty())
    LogDebug(1, "Connect():  No connection string specified.  Use first instrument found.");
  else
    name = bstrConnectString.substr(0, kMaxConnectString);

  if (const int r = m_Link.Open(Scanner(), name.c_str()); r != 0) {
    // The scanner in use is the one this process holds: the text names it.
    if (r == kErrScannerInUse)
      return FailWithText(FormatMessageResource(r, Scanner().GetComm().GetConnectedInstrument().c_str()), r);
    // An instrument the manager does not list: the text names the one asked for.
    if (r == kErrScannerNotFound) return FailWithText(FormatMessageResource(r, name.c_str()), r);
    return Fail(r);
  }

  const PortStatus port = Scanner().GetDataPort().OpenDataPort(nullptr, nullptr);
  if (port != PortStatusSuccess) {
    const int id = kPortStatusBase + static_cast<int>(port);
    std::string text = GetErrorText(id);
    if (port == PortStatusConfigFileInvalid) {
      // Where it was looked for, and what belongs there.
      const std::string path = Scanner().GetDataPort().GetConfigFilePath();
      std::string key = zeva::kDataPortKey;
      if (!key.empty() && key.back() == '\\') key.pop_back();
      if (!path.empty())
        text +=
            " It was looked for at " + path +
            ": put the data board's configuration file there (for the simulated board: install the "
            "simulators component and run zevazodizo-setup again), or name the file in the registry value "
            "\"KethConfigFile\" (HKEY_LOCAL_MACHINE\\" +
            key + ").";
    }
    LogError("<CScanCtrl::Connect> Failed to open Data Port: %s [code = %d]", text.c_str(),
             static_cast<int>(port));
    return ReportError(text, id);
  }
  {
    std::lock_guard lock(m_Mutex);
    m_bConnected = true;
  }
  try {
    LogInfo("Scanner Serial Number: %s", Scanner().GetSerialNumber().c_str());
  } catch (int e) {
    GetErrorText(e);
  }
  return Frame([&] { Scanner().LoadLaserPowerFactors(); });
}

HRESULT CScanCtrl::Disconnect() {
  {
    std::lock_guard lock(m_Mutex);
    // A channel this object opened is closed even when the connection stopped half-way.
    if (!m_bConnected && !(m_Link.IsOpen() && Scanner().GetComm().IsConnected())) return S_OK;
  }
  return Frame([&] {
    LogInfo("Disconnecting from Instrument");
    CScanner& scanner = Scanner();
    scanner.SetStatusMsgId(kDisconnectingMsg);
    scanner.StopStatusThread();
    // The thread works on the channel: it is closed only once the thread has ended.
    for (int polls = 0; scanner.IsStatusThreadRunning(); ++polls) {
      if (polls == kThreadStopPollsBeforeWarning)
        LogWarning("Disconnect: the status thread is still running; waiting for it to end");
      platform::sleepFor(kThreadStopPoll);
    }
    // The link closes only when no other object of the process uses it.
    m_Link.Close(scanner);
    std::lock_guard lock(m_Mutex);
    m_bConnected = false;
  });
}

HRESULT CScanCtrl::Initialize() {
  return Frame([&] {
    Scanner().StartStatusThread();
    CRegEdit reg(HKEY_LOCAL_MACHINE, zeva::kScannerKey);
    if (reg.ReadInt("BarcodeCount", -1) == -1) reg.WriteInt("BarcodeCount", 2);
  });
}

HRESULT CScanCtrl::InitializeSync() {
  return Frame([&] { Scanner().InitializeSync(); });
}

// ---- identity, versions and state
// ---------------------------------------------------------------------------

HRESULT CScanCtrl::get_InstrumentSerialNumber(std::string* pVal) {
  return Frame([&] {
    std::string serial = Scanner().GetSerialNumber();
    if (pVal) *pVal = std::move(serial);
  });
}

HRESULT CScanCtrl::get_InstrumentModel(std::string* pVal) {
  return Frame([&] {
    std::string model = Scanner().GetModel();
    if (pVal) *pVal = std::move(model);
  });
}

HRESULT CScanCtrl::get_SoftwareVersion(std::string* pVal) {
  return Frame([&] {
    if (pVal) *pVal = GetVersionString(GetThisModule());
  });
}

HRESULT CScanCtrl::FirmwareVersion(std::string* pRunStr, std::string* pBootStr, ULONG* pRAMSize) {
  return Frame([&] {
    std::string boot = "Unknown", bootField, runtime = "Unknown", runtimeField;
    std::uint32_t ram = 0;
    Scanner().GetFWVersion(boot, bootField, runtime, runtimeField, &ram);
    if (pRunStr) *pRunStr = runtime;
    if (pBootStr) *pBootStr = boot;
    if (pRAMSize) *pRAMSize = ram;
  });
}

HRESULT CScanCtrl::DSPVersion(std::string* pbstrScan, std::string* pbstrVC, std::string* pbstrAF) {
  return Frame([&] {
    std::array<std::string, 3> versions{"Unknown", "Unknown", "Unknown"};
    std::array<std::string, 3> fields{"Unknown", "Unknown", "Unknown"};
    Scanner().GetDSPVersion(versions, fields);
    if (pbstrScan) *pbstrScan = versions[0];
    if (pbstrVC) *pbstrVC = versions[1];
    if (pbstrAF) *pbstrAF = fields[2] + " " + versions[2];
  });
}

HRESULT CScanCtrl::ScannerStateMsg(tagScannerState eState, std::string* pVal) {
  return Frame([&] {
    // Only the scanner states have state texts; the ids behind them are step texts.
    std::string text;
    if (eState < kStateError || eState > 9 ||
        !LoadMessageString(static_cast<int>(CScanner::kStatusMsgBase) + eState, text))
      text = "Unknown state";
    if (pVal) *pVal = std::move(text);
  });
}

HRESULT CScanCtrl::get_StatusMsg(std::string* pStr) {
  return Frame([&] {
    std::string text = Scanner().GetStatusMsg();
    if (pStr) *pStr = std::move(text);
  });
}

HRESULT CScanCtrl::get_ScannerState(tagScannerState* pVal) {
  return Frame([&] {
    if (pVal) *pVal = Scanner().GetScannerState();
  });
}
