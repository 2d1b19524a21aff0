#include "Tessary/TiffTags.h"

#include <tiffio.h>

#include <mutex>
#include <string>

#include "Jotwell/Logger.h"
#include "TiffFile.h"

namespace {

// libtiff wants writable name buffers.
char g_nameLong[] = "PrivateLong33445";
char g_nameRational[] = "PrivateRational33446";
char g_nameShort[] = "PrivateShort33447";
char g_nameRecord[] = "ScanRecord";
char g_nameDescription[] = "ScanDescription";

// Counts are passed with every value: 33445-33447 may be absent or of any length and are
// only ever copied; the record and the description are counted (the description with its
// terminating NUL, so that a reader keeps every character).
const TIFFFieldInfo kPrivateFields[] = {
    {kTagPrivateLong, TIFF_VARIABLE, TIFF_VARIABLE, TIFF_LONG, FIELD_CUSTOM, 1, 1, g_nameLong},
    {kTagPrivateRational, TIFF_VARIABLE, TIFF_VARIABLE, TIFF_RATIONAL, FIELD_CUSTOM, 1, 1, g_nameRational},
    {kTagPrivateShort, TIFF_VARIABLE, TIFF_VARIABLE, TIFF_SHORT, FIELD_CUSTOM, 1, 1, g_nameShort},
    {kTagScanRecord, TIFF_VARIABLE2, TIFF_VARIABLE2, TIFF_BYTE, FIELD_CUSTOM, 1, 1, g_nameRecord},
    {kTagDescription, TIFF_VARIABLE2, TIFF_VARIABLE2, TIFF_ASCII, FIELD_CUSTOM, 1, 1, g_nameDescription},
};

TIFFExtendProc g_previousExtender = nullptr;

void ExtendTags(TIFF* tif) {
  TIFFMergeFieldInfo(tif, kPrivateFields, sizeof(kPrivateFields) / sizeof(kPrivateFields[0]));
  if (g_previousExtender) g_previousExtender(tif);
}

std::string LibTiffText(const char* module, const char* fmt, va_list args) {
  std::string text = fmt ? FormatTextV(fmt, args) : std::string();
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return module && *module ? std::string(module) + ": " + text : text;
}

void LogTiffError(const char* module, const char* fmt, va_list args) {
  LogErrorNoFormat(LibTiffText(module, fmt, args).c_str());
}

void LogTiffWarning(const char* module, const char* fmt, va_list args) {
  LogWarningNoFormat(LibTiffText(module, fmt, args).c_str());
}

}  // namespace

void InstallTiffTagExtender() {
  static std::once_flag once;
  std::call_once(once, [] {
    g_previousExtender = TIFFSetTagExtender(ExtendTags);
    TIFFSetErrorHandler(LogTiffError);
    TIFFSetWarningHandler(LogTiffWarning);
  });
}
