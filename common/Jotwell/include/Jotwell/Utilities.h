#pragma once
// Shared helpers compiled into every deliverable: paths, version text, user flags, the
// slide-barcode check, free space and the technical-support link.
#include <cstdarg>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "platform/dynlib.h"

using HINSTANCE = platform::ModuleHandle;

// printf into a string ("" for a format the C library rejects).
std::string FormatText(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string FormatTextV(const char* fmt, va_list args) __attribute__((format(printf, 1, 0)));

bool FileExists(const char* path);
inline bool FileExists(const std::string& path) { return FileExists(path.c_str()); }
// Full path of the running executable ("" when it cannot be had).
std::string GetAppPath();
// Replaces the extension of `path` ("." added unless `ext` starts with one; "" removes it).
void ChangeExtension(std::string& path, const char* ext);

// "Version %s.%d.%d.%d   %s": version letter(s), minor, third and fourth number, build
// date and time of the module; "" when the module carries no version.
std::string GetVersionString(HINSTANCE module);
std::string FormatVersionString(const platform::ModuleVersion& version);
// The module this copy of the shared sources was compiled into.
HINSTANCE GetThisModule();

std::uint32_t ReadUserFlag(const char* name);
bool IsAdvancedEnabled();
bool IsDebugEnabled();

// What the dialog-field helpers need of a dialog.
class IDialogFields {
 public:
  virtual ~IDialogFields() = default;
  virtual std::string GetDlgItemText(int itemId) const = 0;
  virtual void RedrawDlgItem(int itemId) = 0;
};
using HWND = IDialogFields*;
bool UpdateFromDlgItemDouble(HWND dialog, int itemId, double* value, double reference);
bool UpdateFromDlgItemInt(HWND dialog, int itemId, int* value, int reference);

// A barcode that is not of a supported format; what() is the text for the user.
class BarcodeFormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};
// Validates a slide barcode and extracts its number ("%06d"); throws BarcodeFormatError.
void CheckBarcodeFormat(const char* barcode, std::string& number);
bool IsBarcodeFormatValid(const char* barcode);

std::string GetModulePath();
// The folder of the files a program keeps "beside itself": the installation folder
// (registry "Path") when one is registered, else the program's own folder; with a
// trailing '/'.
std::string GetModuleDir();
// The folder that stands for the fixed Windows file locations of the instrument's files:
// "Data" under the install folder (registry "Path"), created when missing; the temporary
// folder when no install folder is registered.
std::string InstallDataFolder();
bool HasFreeDiskSpace(const char* path, std::uint64_t bytes);
void OpenTechSupportLink();
// Used when neither the user's nor the installation's support link is configured.
inline constexpr const char* kDefaultTechSupportHyperlink = "https://support.tarsel.example/zevazodizo";
