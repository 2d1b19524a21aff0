// The main window's logic: construction, its texts and the free helpers. The rest of
// CScanDlgCore lives in ScanDlgStartup, ScanDlgState, ScanDlgRunLaunch and ScanDlgTools.
#include "maindlg/ScanDlgCore.h"

#include "Jotwell/ProductKeys.h"
#include "Jotwell/Utilities.h"
#include "maindlg/ScanDlgShared.h"
#include "platform/process.h"
#include "platform/ui.h"
#include "run/ComError.h"
#include "run/RunStatus.h"
#include "run/ScanMgr.h"

namespace lumetra::maindlg {

namespace ui = platform::ui;

namespace {

constexpr const char* kCaption = "Tarsel Halvorn";

}  // namespace

std::string MainDlgText(int id, const char* fallback) {
  switch (id) {
    case 2003:
      return "Unable to allocate memory. ";
    case 2006:
      return "The application is busy.  Cannot exit until it is no longer busy or  scan is aborted.";
    default:
      break;
  }
  return run::LoadResourceString(id).value_or(fallback);
}

namespace {

struct DeviceClass {
  const char* id;
  int kind;
  const char* name;
};
// Tested in this order.
constexpr DeviceClass kDeviceClasses[] = {
    {kScanDataPortInterfaceClass, 1, "ScannerDataPort"},
    {"{4d36e972-e325-11ce-bfc1-08002be10318}", 2, "ScannerCmdPort"},     // network adapters
    {"{4d36e978-e325-11ce-bfc1-08002be10318}", 3, "ScannerSerialPort"},  // serial ports
    {"{36fc9e60-c465-11cf-8056-444553540000}", 0, "ScanerHub"},          // USB hubs and hosts
    {"{50906cb8-ba12-11d1-bf5d-0000f805f530}", 4, "TISerialAdapter"},    // multi-port serial
};

}  // namespace

// ---- free helpers ---------------------------------------------------------------------------------

int ClassifyDeviceInterface(const std::string& classId, std::string* name) {
  // A text that does not parse is the all-zero identifier, which no class has.
  const platform::com::GUID id = platform::com::GuidFromString(classId).value_or(platform::com::GUID{});
  for (const DeviceClass& c : kDeviceClasses) {
    if (platform::com::GuidFromString(c.id).value_or(platform::com::GUID{}) == id && !classId.empty()) {
      if (name) *name = c.name;
      return c.kind;
    }
  }
  if (name) *name = "Unknown port";
  return 5;
}

std::string ScanCaption(int start, int end) {
  return start == end ? FormatText("&Scan Slot %d", start) : FormatText("&Scan Slot %d-%d", start, end);
}

std::string ShellErrorText(int result, const std::string& target) {
  if (std::string own = ui::shellOpenErrorText(result, target); !own.empty()) return own;
  switch (result) {
    case 0:
      return "The operating system is out of memory or resources";
    case 2:
      return "File not found";
    case 3:
      return "The specified path was not found";
    case 5:
      return "Access denied";
    case 8:
      return "Not enough memory to complete the operation";
    case 11:
      return "The .exe file is invalid (non-Win32?.exe or error in .exe image)";
    case 26:
      return "A sharing violation occurred";
    case 27:
      return "Incomplete or invalid file association";
    case 28:
      return "DDE Time out";
    case 29:
      return "DDE transaction failed";
    case 30:
      return "DDE busy";
    case 31:
      return "No association for file extension";
    case 32:
      return "DLL not found";
    default:
      return "Unknown error";
  }
}

std::string ProgressText(long done, long total) {
  if (total <= 0) return {};
  return FormatText("Scanning: %d %% done", static_cast<int>(static_cast<long long>(done) * 100 / total));
}

std::string QuillmarkCommandLine(int scannerType) {
  static const char* const kModels[] = {" K7431A", " K7431B", " K7431C"};
  std::string line = detail::kQuillmark;
  if (scannerType >= 0 && scannerType <= 2) line += kModels[scannerType];
  return line;
}

// ---- construction ---------------------------------------------------------------------------------

CScanDlgCore::CScanDlgCore(IScanDlgView& view, platform::Window* window)
    : m_FileSystem(FileSystemQueries::System()), m_View(view), m_pWindow(window) {
  // The region files and the profiles: the installation folder, which the region editor
  // shares (beside the program only when none is registered).
  m_strAppDir = GetModuleDir();
  m_strProgramPath = GetAppPath();
  m_CreateScanCtrl = [] {
    platform::com::ComPtr<platform::com::IUnknown> unknown;
    platform::com::Check(
        platform::com::CreateInstance(kScanCtrlProgId, platform::com::IUnknown::kIID, unknown.put()));
    return unknown.as<IScanCtrl>();
  };
  m_CreateScanMgr = [](platform::Window* w, IScanCtrl* scanner) {
    return std::make_unique<run::CScanMgr>(w, scanner, true);
  };
  m_Spawn = [](const std::vector<std::string>& argv, int* error) {
    return platform::process::spawnDetached(argv, {}, error).has_value();
  };
}

CScanDlgCore::~CScanDlgCore() {
  // The monitor reports to the window: it goes before anything it may report to.
  m_RegionMap.StopMonitor();
  m_pScanMgr.reset();
  m_ProfileMap.RemoveAll();
  m_RegionMap.RemoveAll();
  m_pScanCtrl.reset();
}

void CScanDlgCore::EndDialog(int code) {
  m_bEnded = true;
  m_nEndCode = code;
  m_View.EndDialog(code);
}

int CScanDlgCore::ErrorBox(const std::string& text) {
  return m_View.MessageBox(text, kCaption, ui::MB_OK | ui::MB_ICONERROR);
}

}  // namespace lumetra::maindlg
