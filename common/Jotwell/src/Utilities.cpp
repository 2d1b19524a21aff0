#include "Jotwell/Utilities.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Jotwell/ProductKeys.h"
#include "Jotwell/RegEdit.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/ui.h"

namespace {}

std::string FormatTextV(const char* fmt, va_list args) {
  if (!fmt) return {};
  return platform::formatV(fmt, args).value_or(std::string());
}

std::string FormatText(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string out = FormatTextV(fmt, args);
  va_end(args);
  return out;
}

std::string InstallDataFolder() {
  std::string install =
      CRegEdit(HKEY_LOCAL_MACHINE, zeva::kProductKey).ReadString(zeva::kInstallPathValue, "");
  if (install.empty()) return platform::tempDirectory();
  if (install.back() != '/') install += '/';
  const std::string folder = install + "Data";
  // A folder that cannot be made shows in the writer's own error, with the path.
  (void)platform::createDirectories(folder);
  return folder;
}

bool FileExists(const char* path) { return path && *path && platform::fileExists(path); }

std::string GetAppPath() {
  // The kernel's record of the executable plays the quoted program path of a command line.
  std::string path = platform::executablePath();
  if (!path.empty() && FileExists(path)) return path;
  const auto args = platform::commandLineArguments();
  if (!args.empty() && FileExists(args.front())) return args.front();
  return {};
}

void ChangeExtension(std::string& path, const char* ext) {
  const std::string dir = platform::directoryOf(path);
  const std::string stem = platform::stemOf(path);
  std::string e = ext ? ext : "";
  if (!e.empty() && e.front() != '.') e.insert(e.begin(), '.');
  path = dir + stem + e;
}

HINSTANCE GetThisModule() { return platform::moduleOf(reinterpret_cast<const void*>(&GetThisModule)); }

std::string GetVersionString(HINSTANCE module) {
  const auto v = platform::moduleVersion(module);
  return v ? FormatVersionString(*v) : std::string();
}

std::string FormatVersionString(const platform::ModuleVersion& version) {
  const platform::ModuleVersion* v = &version;
  std::string letter;
  if (v->major == 0)
    letter = "PR";
  else if (v->major <= 26)
    letter = std::string(1, static_cast<char>('A' + v->major - 1));
  else
    letter = "ZZ";
  char buf[160];
  std::snprintf(buf, sizeof buf, "Version %s.%d.%d.%d   %s %s", letter.c_str(), v->minor, v->third, v->fourth,
                v->buildDate.c_str(), v->buildTime.c_str());
  return buf;
}

std::uint32_t ReadUserFlag(const char* name) {
  if (!name) return 0;
  return CRegEdit(HKEY_CURRENT_USER, zeva::kProductKey).ReadUInt(name, 0u);
}

bool IsAdvancedEnabled() { return ReadUserFlag("EnableAdvanced") != 0; }
bool IsDebugEnabled() { return ReadUserFlag("EnableDebug") != 0; }

namespace {
// The field's text as the dialog would give it into a 50-character buffer.
std::string FieldText(HWND dialog, int itemId) {
  std::string text = dialog->GetDlgItemText(itemId);
  if (text.size() > 49) text.resize(49);
  return text;
}

template <typename T>
bool UpdateFromField(HWND dialog, int itemId, T* value, T reference, T parsed) {
  const bool wasDifferent = *value != reference;
  *value = parsed;
  const bool isDifferent = *value != reference;
  // Only a change of the answer changes how the field looks.
  if (isDifferent != wasDifferent) dialog->RedrawDlgItem(itemId);
  return isDifferent;
}
}  // namespace

bool UpdateFromDlgItemDouble(HWND dialog, int itemId, double* value, double reference) {
  if (!dialog || !value) return false;
  return UpdateFromField(dialog, itemId, value, reference, std::atof(FieldText(dialog, itemId).c_str()));
}

bool UpdateFromDlgItemInt(HWND dialog, int itemId, int* value, int reference) {
  if (!dialog || !value) return false;
  return UpdateFromField(dialog, itemId, value, reference, std::atoi(FieldText(dialog, itemId).c_str()));
}

void CheckBarcodeFormat(const char* barcode, std::string& number) {
  const std::string code = barcode ? barcode : "";
  char text[512];
  std::snprintf(
      text, sizeof text,
      "The barcode '%s' is not a supported format.\n\nFormat: 12 or 14 digits followed by _Ann\n"
      "For 14 digit barcode the first digit must 1 and for 12 digit barcodes the first number must be 2",
      code.c_str());
  const auto fail = [&text]() { throw BarcodeFormatError(text); };
  const auto digits = [&code](std::size_t n) {
    if (code.size() < n) return false;
    for (std::size_t i = 0; i < n; ++i)
      if (!std::isdigit(static_cast<unsigned char>(code[i]))) return false;
    return true;
  };
  const bool hasA = code.find("_A") != std::string::npos;
  const std::size_t len = code.size();

  if (code.empty()) fail();
  if (code[0] == '1') {
    if (!digits(14)) fail();
    if (!(len == 14 || (len == 18 && hasA))) fail();
  } else if (code[0] == '2') {
    if (!digits(10)) fail();
    if (!(len == 10 || len == 12 || len == 14 || len == 16)) fail();
    if ((len == 14 || len == 16) && !hasA) fail();
  } else {
    fail();
  }
  if (len > 1) {
    const int n = code[1] - '0';
    if (n < 1 || n > 7) fail();
    // The formats above guarantee n digits after the second character.
    number.clear();
    char buf[16];
    std::snprintf(buf, sizeof buf, "%06d", std::atoi(code.substr(2, static_cast<std::size_t>(n)).c_str()));
    number = buf;
  }
}

bool IsBarcodeFormatValid(const char* barcode) {
  if (!barcode || !*barcode) return false;
  try {
    std::string number;
    CheckBarcodeFormat(barcode, number);
    return true;
  } catch (const BarcodeFormatError&) {
    return false;
  }
}

std::string GetModulePath() {
  // The module of the application: the running program.
  const std::string path = platform::modulePath(platform::mainProgramModule());
  return path.empty() ? platform::executablePath() : path;
}

std::string GetModuleDir() {
  // The files the programs keep beside themselves elsewhere (region files, profiles, the
  // report's DTD and style sheet, the data port's configuration file) live in the one
  // installation folder that the first run made and registered; nothing is read from or
  // written to the programs' bin/. Without one (a program run from its build tree) they
  // are beside the program.
  std::string install =
      CRegEdit(HKEY_LOCAL_MACHINE, zeva::kProductKey).ReadString(zeva::kInstallPathValue, "");
  if (install.empty()) return platform::directoryOf(GetModulePath());
  if (install.back() != '/') install += '/';
  return install;
}

bool HasFreeDiskSpace(const char* path, std::uint64_t bytes) {
  if (!path || !*path) return false;
  const auto free = platform::freeSpace(path);
  return free && *free >= bytes;
}

namespace {

std::string TechSupportFailureText(int result, const std::string& link) {
  if (std::string own = platform::ui::shellOpenErrorText(result, link); !own.empty()) return own;
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
      return "The .exe file is invalid (non-Win32\xae .exe or error in .exe image)";
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

// Also when the desktop's handler fails after the call returned; names the address tried.
void TellTechSupportFailure(int result, const std::string& link) {
  platform::ui::messageBox(TechSupportFailureText(result, link) + "\n\nTechnical support address: " + link,
                           "", platform::ui::MB_OK | platform::ui::MB_ICONERROR);
}

}  // namespace

void OpenTechSupportLink() {
  std::string link =
      CRegEdit(HKEY_CURRENT_USER, zeva::kProductKey).ReadString("CurrentTechSupportHyperlink", "");
  if (link.empty())
    link = CRegEdit(HKEY_LOCAL_MACHINE, std::string(zeva::kProductKey) + "\\")
               .ReadString("DefaultTechSupportHyperlink", kDefaultTechSupportHyperlink);
  const int result = platform::ui::shellOpen(link, [link](int outcome) {
    if (outcome <= 32) TellTechSupportFailure(outcome, link);
  });
  if (result <= 32) TellTechSupportFailure(result, link);
}
