// The ScanLL object: construction on the shared scanner, its error reports and method
// frames, connection, versions, firmware and DSP downloads and the FLASH store methods.
#include "com/ScanLL.h"

#include <array>
#include <atomic>
#include <cstdarg>
#include <new>

#include "Jotwell/Logger.h"
#include "Jotwell/Utilities.h"
#include "com/ComServer.h"
#include "com/ScanList.h"
#include "devices/DeviceErrors.h"
#include "devices/DeviceUtil.h"
#include "devices/Scanner.h"
#include "link/MessageTable.h"

using namespace movrak;
using platform::com::S_OK;

namespace {

std::atomic<long> g_objects{0};

constexpr std::size_t kMaxConnectString = 255;
// Longer names were cut and then named another file: they are refused instead.
constexpr std::size_t kMaxFileName = 259;
constexpr int kErrInvalidDSPId = 619;
constexpr int kErrCannotAccessFile = 550;  // "Unable to access or create the file %s."
constexpr int kErrFileAccess = 551;        // "Unable to create or access file."

constexpr int kDetailScanner = 2000;
constexpr int kDetailFirmwareFile = 2001;
constexpr int kDetailFile = 2002;
constexpr int kDetailKey = 2003;
constexpr int kDetailKeyLong = 2004;
constexpr int kDetailKeyString = 2005;
constexpr int kDetailMotor = 2006;
constexpr int kDetailDSPFile = 2017;
constexpr int kDetailKeyUnsigned = 2021;
constexpr int kDetailDSPId = 2022;

std::string SourceName(int sourceId) {
  if (sourceId == CScanLL::kSrcBrowseCarousel) return "BrowseCarousel";
  std::string source;
  if (sourceId != CScanLL::kSrcNone) LoadMessageString(sourceId, source);
  return source;
}

// Debug lines go off for a transfer and come back as they were, whatever happens.
class CDebugLoggingOff {
 public:
  CDebugLoggingOff() : m_bWasOn(CLogger::m_bDebugOn) { CLogger::SetDebugLogging(false); }
  ~CDebugLoggingOff() { Restore(); }
  CDebugLoggingOff(const CDebugLoggingOff&) = delete;
  CDebugLoggingOff& operator=(const CDebugLoggingOff&) = delete;
  void Restore() { CLogger::SetDebugLogging(m_bWasOn); }

 private:
  bool m_bWasOn;
};

}  // namespace

// ---- construction ------------------------------------------------------------------------------

CScanLL::CScanLL() {
  m_pScanner = CScanList::Instance().GetScanner();
  InstallMessagePump();
  ++g_objects;
}

CScanLL::~CScanLL() {
  // A connected object leaves the link open: the others of the process may use it.
  if (m_pScanner) {
    m_Link.Leave(*m_pScanner);
    CScanList::Instance().ReleaseScanner();
    m_pScanner = nullptr;
  }
  --g_objects;
}

long CScanLL::ObjectCount() { return g_objects; }

HRESULT CScanLL::Create(const platform::com::IID& iid, void** object) {
  if (!object) return platform::com::E_POINTER;
  *object = nullptr;
  CScanLL* created = nullptr;
  try {
    created = new CScanLL;
  } catch (int id) {
    return Fail(id, kSrcNone);
  } catch (const std::bad_alloc&) {
    return Fail(kErrOutOfMemory, kSrcNone);
  } catch (...) {
    return Fail(kErrUnknown, kSrcNone);
  }
  const HRESULT hr = created->QueryInterface(iid, object);
  created->Release();
  return hr;
}

// ---- error reports -----------------------------------------------------------------------------

HRESULT CScanLL::ReportError(const std::string& text, int id) {
  platform::com::SetErrorInfo({text, kScanLLProgId, IScanLL::kIID});
  // Every bit of the id: the command channel's -1 gives 0xFFFFFFFF.
  return static_cast<HRESULT>(0x80040000u | static_cast<std::uint32_t>(id));
}

std::string CScanLL::BuildErrorText(int id, const std::string& source, const std::string& detail) {
  std::string message = movrak::GetErrorText(id);
  if (!detail.empty()) message += "  " + detail;
  // The message holds client text (keys, file names, command lines): never a format.
  LogError("%s\r\n\t\t[Error Code: 0x%X  Source: IScanLL (%s)]", message.c_str(), static_cast<unsigned>(id),
           source.c_str());
  return message;
}

std::string CScanLL::GetErrorText(int id, int sourceId, const std::string& detail) {
  return BuildErrorText(id, SourceName(sourceId), detail);
}

std::string CScanLL::GetErrorTextV(int id, int sourceId, ...) {
  std::string message = "Unknown error";
  if (const char* format = FindMessageText(id)) {
    va_list args;
    va_start(args, sourceId);
    message = FormatTextV(format, args);
    va_end(args);
    if (message.size() > 511) message.resize(511);
  }
  LogError("%s\r\n\t\t[Error Code: 0x%X  Source: IScanLL (%s)]", message.c_str(), static_cast<unsigned>(id),
           SourceName(sourceId).c_str());
  return message;
}

int CScanLL::ValidateMotorId(int motorId, int sourceId, std::string& text) {
  if (motorId >= kSlowStageMotor && motorId <= kALArm) return 0;
  text = GetErrorText(kErrInvalidMotor, sourceId);
  return kErrInvalidMotor;
}

int CScanLL::ValidatePMTChannel(int channel, int sourceId, std::string& text) {
  if (channel >= kRedPMT && channel <= kYellowPMT) return 0;
  text = GetErrorText(kErrInvalidPMTChannel, sourceId);
  return kErrInvalidPMTChannel;
}

int CScanLL::CheckConnected(int sourceId, std::string& text) const {
  {
    std::lock_guard lock(m_Mutex);
    if (m_bConnected) return 0;
  }
  text = GetErrorText(kErrConnectionLost, sourceId);
  return kErrConnectionLost;
}

CMotor* CScanLL::GetMotor(int motorId) { return Scanner().GetMotor(motorId); }

HRESULT CScanLL::Connected(int sourceId) const {
  std::string text;
  const int id = CheckConnected(sourceId, text);
  return id == 0 ? S_OK : ReportError(text, id);
}

HRESULT CScanLL::Fail(int id, int sourceId, const std::string& detail) {
  return ReportError(GetErrorText(id, sourceId, detail), id);
}

HRESULT CScanLL::Refuse(const char* suffix) {
  return ReportError(GetErrorText(kErrUnsupportedModel, kSrcCalibrateLasers) + suffix, kErrUnsupportedModel);
}

HRESULT CScanLL::FileError(int sourceId, const std::string& path) {
  return ReportError(GetErrorTextV(kErrCannotAccessFile, sourceId, path.c_str()), kErrFileAccess);
}

std::string CScanLL::ServiceFilePath(const std::string& name) {
  if (name.empty() || name.front() == '/') return name;
  return platform::joinPath(InstallDataFolder(), name);
}

// ---- method frames -------------------------------------------------------------------------------

HRESULT CScanLL::Run(int sourceId, const std::function<void()>& body, const Detail& detail,
                     bool checkConnection) {
  platform::com::ClearErrorInfo();
  if (checkConnection) {
    if (const HRESULT hr = Connected(sourceId); hr != S_OK) return hr;
  }
  const auto failure = CatchError(body);
  if (!failure) return S_OK;
  const std::string detailText = detail ? detail() : std::string();
  if (failure->text.empty()) return Fail(failure->id, sourceId, detailText);
  // An exception with a text of its own is reported with that text.
  std::string message = failure->text;
  if (!detailText.empty()) message += "  " + detailText;
  LogError("%s\r\n\t\t[Error Code: 0x%X  Source: IScanLL (%s)]", message.c_str(),
           static_cast<unsigned>(failure->id), SourceName(sourceId).c_str());
  return ReportError(message, failure->id);
}

HRESULT CScanLL::WithMotor(int sourceId, tagMotorIDs motorId, const std::function<void(CMotor&)>& body,
                           const std::function<std::string(const std::string& name)>& detail,
                           bool checkConnection) {
  platform::com::ClearErrorInfo();
  if (checkConnection) {
    if (const HRESULT hr = Connected(sourceId); hr != S_OK) return hr;
  }
  std::string text;
  if (const int id = ValidateMotorId(motorId, sourceId, text); id != 0) return ReportError(text, id);
  CMotor& motor = *GetMotor(motorId);
  return Run(
      sourceId, [&] { body(motor); },
      [&] {
        const std::string name = motor.GetName();
        return detail ? detail(name) : FormatMessageResource(kDetailMotor, name.c_str());
      },
      false);
}

HRESULT CScanLL::WithDSP(int sourceId, tagDSPIDs dspId, const std::function<void(CDSP&)>& body,
                         const Detail& detail) {
  platform::com::ClearErrorInfo();
  if (const HRESULT hr = Connected(sourceId); hr != S_OK) return hr;
  if (!IsValidDSPId(dspId))
    return Fail(kErrInvalidDSPId, sourceId,
                FormatMessageResource(kDetailDSPId, static_cast<unsigned>(dspId)));
  CDSP& dsp = *Scanner().GetDSP(dspId);
  return Run(
      sourceId, [&] { body(dsp); }, detail, false);
}

HRESULT CScanLL::WithChannel(int sourceId, tagPMTChannels channel,
                             const std::function<void(CChannel&)>& body) {
  platform::com::ClearErrorInfo();
  if (const HRESULT hr = Connected(sourceId); hr != S_OK) return hr;
  std::string text;
  if (const int id = ValidatePMTChannel(channel, sourceId, text); id != 0) return ReportError(text, id);
  CChannel& c = *Scanner().GetChannel(channel);
  return Run(
      sourceId, [&] { body(c); }, {}, false);
}

// ---- connection and versions -----------------------------------------------------------------------

HRESULT CScanLL::Connect(const std::string& bstrConnectString) {
  platform::com::ClearErrorInfo();
  const std::string name = bstrConnectString.substr(0, kMaxConnectString);
  if (name.empty()) LogDebug(1, "Connect():  No connection string specified.  Use first instrument found.");
  if (const int r = m_Link.Open(Scanner(), name.c_str()); r != 0) {
    const std::string detail = FormatMessageResource(kDetailScanner, name.c_str());
    // The scanner in use is the one this process holds: the text names it.
    if (r == kErrScannerInUse)
      return ReportError(
          GetErrorTextV(r, kSrcConnect, Scanner().GetComm().GetConnectedInstrument().c_str()) + "  " + detail,
          r);
    if (r == kErrScannerNotFound)
      return ReportError(GetErrorTextV(r, kSrcConnect, name.c_str()) + "  " + detail, r);
    return Fail(r, kSrcConnect, detail);
  }
  std::lock_guard lock(m_Mutex);
  m_bConnected = true;
  m_bVersionCached = false;
  return S_OK;
}

HRESULT CScanLL::Disconnect() {
  {
    std::lock_guard lock(m_Mutex);
    if (!m_bConnected) return S_OK;
    m_bConnected = false;
  }
  // The link closes only when no other object of the process uses it.
  m_Link.Close(Scanner());
  return S_OK;
}

void CScanLL::CacheVersionInfo() {
  {
    std::lock_guard lock(m_Mutex);
    if (m_bVersionCached) return;
  }
  CScanner& scanner = Scanner();
  try {
    std::string bootVer, bootName, runVer, runName;
    std::uint32_t ram = 0;
    scanner.GetFWVersion(bootVer, bootName, runVer, runName, &ram);
    std::lock_guard lock(m_Mutex);
    m_strBootROMVer = bootVer;
    m_strBootROMName = bootName;
    m_strRuntimeVer = runVer;
    m_strRuntimeName = runName;
    m_nRamSize = ram;
  } catch (int e) {
    GetErrorText(e, kSrcGetVersionInfo);
  }
  try {
    std::array<std::string, 3> versions, names;
    scanner.GetDSPVersion(versions, names);
    std::lock_guard lock(m_Mutex);
    m_strScanDSPVer = versions[0];
    m_strScanDSPName = names[0];
    m_strVCStageDSPVer = versions[1];
    m_strVCStageDSPName = names[1];
    m_strAFDSPVer = versions[2];
    m_strAFDSPName = names[2];
  } catch (int e) {
    GetErrorText(e, kSrcGetDSPVersionInfo);
  }
  // Also after errors: a failed read waits for the next Connect or download.
  std::lock_guard lock(m_Mutex);
  m_bVersionCached = true;
}

HRESULT CScanLL::GetVersionInfo(std::string* pbstrBootVer, std::string* pbstrBootName,
                                std::string* pbstrRunVer, std::string* pbstrRunName, ULONG* pdwRamSize) {
  return Run(kSrcGetVersionInfo, [&] {
    CacheVersionInfo();
    std::lock_guard lock(m_Mutex);
    if (pbstrBootVer) *pbstrBootVer = m_strBootROMVer;
    if (pbstrBootName) *pbstrBootName = m_strBootROMName;
    if (pbstrRunVer) *pbstrRunVer = m_strRuntimeVer;
    if (pbstrRunName) *pbstrRunName = m_strRuntimeName;
    if (pdwRamSize) *pdwRamSize = m_nRamSize;
  });
}

HRESULT CScanLL::get_BootROMVerStr(std::string* pVal) {
  return Run(kSrcBootROMVerStr, [&] {
    CacheVersionInfo();
    std::lock_guard lock(m_Mutex);
    if (pVal) *pVal = m_strBootROMName + "  " + m_strBootROMVer;
  });
}

HRESULT CScanLL::get_RuntimeVerStr(std::string* pVal) {
  return Run(kSrcRuntimeVerStr, [&] {
    CacheVersionInfo();
    std::lock_guard lock(m_Mutex);
    if (pVal) *pVal = m_strRuntimeName + " " + m_strRuntimeVer;
  });
}

HRESULT CScanLL::get_RamSize(ULONG* pVal) {
  return Run(kSrcRamSize, [&] {
    CacheVersionInfo();
    std::lock_guard lock(m_Mutex);
    if (pVal) *pVal = m_nRamSize;
  });
}

HRESULT CScanLL::GetDSPVersion(std::string* pScanVerStr, std::string* pScanNameStr, std::string* pVCVerStr,
                               std::string* pVCNameStr, std::string* pAFVerStr, std::string* pAFNameStr) {
  return Run(kSrcGetDSPVersionInfo, [&] {
    CacheVersionInfo();
    std::lock_guard lock(m_Mutex);
    if (pScanVerStr) *pScanVerStr = m_strScanDSPVer;
    if (pScanNameStr) *pScanNameStr = m_strScanDSPName;
    if (pVCVerStr) *pVCVerStr = m_strVCStageDSPVer;
    if (pVCNameStr) *pVCNameStr = m_strVCStageDSPName;
    if (pAFVerStr) *pAFVerStr = m_strAFDSPVer;
    if (pAFNameStr) *pAFNameStr = m_strAFDSPName;
  });
}

// ---- downloads -----------------------------------------------------------------------------------------

HRESULT CScanLL::DownloadFirmware(const std::string& bstrFileName) {
  return Run(
      kSrcDownloadFirmware,
      [&] {
        if (bstrFileName.size() > kMaxFileName) throw kErrBadParameter;
        const std::string path = ServiceFilePath(bstrFileName);
        LogDebug(5, "Attempting to downloaded %s", path.c_str());
        int r = 0;
        {
          CDebugLoggingOff quiet;
          r = Scanner().GetComm().DownloadRuntime(path.c_str());
        }
        if (r != 0) throw r;
        {
          std::lock_guard lock(m_Mutex);
          m_bVersionCached = false;
        }
        LogDebug(1, "Downloaded %s", path.c_str());
      },
      [&] { return FormatMessageResource(kDetailFirmwareFile, bstrFileName.c_str()); });
}

HRESULT CScanLL::DownloadDSP(const std::string& bstrFileName, tagDSPIDs eDSPId) {
  platform::com::ClearErrorInfo();
  if (const HRESULT hr = Connected(kSrcDownloadDSP); hr != S_OK) return hr;
  if (bstrFileName.size() > kMaxFileName)
    return Fail(kErrBadParameter, kSrcDownloadDSP, FormatMessageResource(kDetailFile, bstrFileName.c_str()));
  const std::string path = ServiceFilePath(bstrFileName);
  LogDebug(5, "Attempting to downloaded DSP id %d with the file %s", static_cast<int>(eDSPId), path.c_str());
  CDebugLoggingOff quiet;
  if (!IsValidDSPId(eDSPId)) {
    quiet.Restore();
    return Fail(kErrInvalidDSPId, kSrcDownloadDSP,
                FormatMessageResource(kDetailDSPId, static_cast<unsigned>(eDSPId)));
  }
  const auto failure = CatchError([&] { Scanner().GetDSP(eDSPId)->Download(path.c_str()); });
  quiet.Restore();
  if (failure)
    return Fail(failure->id, kSrcDownloadDSP,
                FormatMessageResource(kDetailDSPFile, static_cast<int>(eDSPId), bstrFileName.c_str()));
  {
    std::lock_guard lock(m_Mutex);
    m_bVersionCached = false;
  }
  LogDebug(1, "Downloaded DSP %d with file %s", static_cast<int>(eDSPId), path.c_str());
  return S_OK;
}

// ---- FLASH store -----------------------------------------------------------------------------------------

namespace {
// The detail of a failed key operation.
std::function<std::string()> KeyDetail(const std::string& key) {
  return [&key] { return FormatMessageResource(kDetailKey, key.c_str()); };
}
}  // namespace

HRESULT CScanLL::FlashBurn() {
  return Run(kSrcFlashBurn, [&] { Scanner().GetFlash().Burn(); });
}

HRESULT CScanLL::FlashLoad() {
  return Run(kSrcFlashLoad, [&] { Scanner().GetFlash().Load(); });
}

HRESULT CScanLL::FlashDump(const std::string& bstrFileName) {
  return Run(
      kSrcFlashDump, [&] { Scanner().GetFlash().Dump(ServiceFilePath(bstrFileName).c_str()); },
      [&] { return FormatMessageResource(kDetailFile, bstrFileName.c_str()); });
}

HRESULT CScanLL::FlashEraseKey(const std::string& bstrKeyName) {
  return Run(
      kSrcFlashErase, [&] { Scanner().GetFlash().EraseKey(FlashKeyArg(bstrKeyName)); },
      KeyDetail(bstrKeyName));
}

HRESULT CScanLL::FlashGetString(const std::string& bstrKeyName, std::string* pbstrVal) {
  return Run(
      kSrcFlashGetString,
      [&] {
        std::string value = Scanner().GetFlash().GetString(FlashKeyArg(bstrKeyName));
        if (pbstrVal) *pbstrVal = std::move(value);
      },
      KeyDetail(bstrKeyName));
}

HRESULT CScanLL::FlashGetStringDef(const std::string& bstrKeyName, const std::string& bstrDefault,
                                   std::string* pbstrVal) {
  return Run(
      kSrcFlashGetStringDef,
      [&] {
        std::string value = Scanner().GetFlash().GetStringDef(FlashKeyArg(bstrKeyName), bstrDefault.c_str());
        if (pbstrVal) *pbstrVal = std::move(value);
      },
      KeyDetail(bstrKeyName));
}

HRESULT CScanLL::FlashGetLong(const std::string& bstrKeyName, LONG* plVal) {
  return Run(
      kSrcFlashGetLong,
      [&] {
        const long value = Scanner().GetFlash().GetLong(FlashKeyArg(bstrKeyName));
        if (plVal) *plVal = static_cast<LONG>(value);
      },
      KeyDetail(bstrKeyName));
}

HRESULT CScanLL::FlashGetLongDef(const std::string& bstrKeyName, LONG lDefault, LONG* plVal) {
  return Run(
      kSrcFlashGetLongDef,
      [&] {
        const long value = Scanner().GetFlash().GetLongDef(FlashKeyArg(bstrKeyName), lDefault);
        if (plVal) *plVal = static_cast<LONG>(value);
      },
      KeyDetail(bstrKeyName));
}

HRESULT CScanLL::FlashGetUnsigned(const std::string& bstrKeyName, ULONG* pulVal) {
  return Run(
      kSrcFlashGetUnsigned,
      [&] {
        const unsigned long value = Scanner().GetFlash().GetUnsigned(FlashKeyArg(bstrKeyName));
        if (pulVal) *pulVal = static_cast<ULONG>(value);
      },
      KeyDetail(bstrKeyName));
}

HRESULT CScanLL::FlashGetUnsignedDef(const std::string& bstrKeyName, ULONG ulDefault, ULONG* pulVal) {
  return Run(
      kSrcFlashGetUnsignedDef,
      [&] {
        const unsigned long value = Scanner().GetFlash().GetUnsignedDef(FlashKeyArg(bstrKeyName), ulDefault);
        if (pulVal) *pulVal = static_cast<ULONG>(value);
      },
      KeyDetail(bstrKeyName));
}

HRESULT CScanLL::FlashSetLong(const std::string& bstrKeyName, LONG lVal) {
  return Run(
      kSrcFlashSetLong, [&] { Scanner().GetFlash().SetLong(FlashKeyArg(bstrKeyName), lVal); },
      [&] { return FormatMessageResource(kDetailKeyLong, bstrKeyName.c_str(), static_cast<long>(lVal)); });
}

HRESULT CScanLL::FlashSetString(const std::string& bstrKeyName, const std::string& bstrVal) {
  return Run(
      kSrcFlashSetString,
      [&] {
        // A value cut at a NUL would be stored as another value.
        if (bstrVal.find('\0') != std::string::npos) throw kErrBadParameter;
        Scanner().GetFlash().SetString(FlashKeyArg(bstrKeyName), bstrVal.c_str());
      },
      [&] { return FormatMessageResource(kDetailKeyString, bstrKeyName.c_str(), bstrVal.c_str()); });
}

HRESULT CScanLL::FlashSetUnsigned(const std::string& bstrKeyName, ULONG ulVal) {
  // Stored as the signed 32-bit number of the same bits, as FlashSetLong stores it.
  return Run(
      kSrcFlashSetUnsigned,
      [&] { Scanner().GetFlash().SetLong(FlashKeyArg(bstrKeyName), static_cast<std::int32_t>(ulVal)); },
      [&] {
        return FormatMessageResource(kDetailKeyUnsigned, bstrKeyName.c_str(),
                                     static_cast<unsigned long>(ulVal), static_cast<unsigned>(ulVal));
      });
}
