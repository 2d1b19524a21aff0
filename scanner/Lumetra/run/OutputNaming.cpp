#include "run/OutputNaming.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "Jotwell/Logger.h"
#include "Jotwell/Utilities.h"
#include "config/ScanCfgRules.h"
#include "platform/clock.h"
#include "platform/com.h"
#include "platform/files.h"
#include "run/ComError.h"

using lumetra::run::FormatComError;

namespace {

bool IsRefusedChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u < 0x20 || u == 0x7F || (c != '\0' && std::strchr(kFileNameRefusedChars, c) != nullptr);
}

// A naming part followed by its "_" (not doubled; nothing for an empty part).
std::string Joined(const std::string& part) {
  if (part.empty()) return part;
  return part.back() == '_' ? part : part + "_";
}

void RemoveTrailingSlashes(std::string& path) {
  while (!path.empty() && path.back() == '/') path.pop_back();
}

std::string ReadSerialNumber(INamingHost& host) {
  try {
    return host.ReadInstrumentSerialNumber();
  } catch (const platform::com::ComError& e) {
    LogError("SetStringParams: Failed to get scanner's serial number - %s", FormatComError(e).c_str());
    return "UNKNOWN";
  }
}

}  // namespace

bool IsUsableFileName(std::string_view text) {
  if (text.empty() || text == "." || text == "..") return false;
  for (const char c : text)
    if (IsRefusedChar(c)) return false;
  return true;
}

std::string MakeFileNamePart(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (IsRefusedChar(c)) c = '_';
  return out;
}

bool IsExistingFile(const char* path) { return path && *path && platform::fileExists(path); }

bool IsExistingTiffFile(const std::string& basePath) {
  return IsExistingFile((basePath + ".tif").c_str()) || IsExistingFile((basePath + ".tiff").c_str());
}

bool IsCreatableFile(const char* path) {
  if (!path || !*path) return false;
  if (IsExistingFile(path)) return true;
  platform::File file;
  if (!file.openExclusive(path, platform::OpenMode::create)) return false;
  file.close();
  // The name stays usable (the image's creation empties the file); only a stray file is left.
  if (!platform::removeFile(path))
    LogWarning("The trial file '%s' could not be removed: %s", path,
               platform::systemErrorText(platform::lastError()).c_str());
  return true;
}

int TryWriteInFolder(const std::string& folder) {
  if (folder.empty()) return ENOENT;  // never the temporary folder in its place
  platform::setLastError(0);
  const std::string trial = platform::uniqueTempFile(folder, ".zeva-write-trial-");
  if (trial.empty()) {
    const int error = platform::lastError();
    return error != 0 ? error : EIO;
  }
  // Writing works; a trial file left behind is only told.
  if (!platform::removeFile(trial))
    LogWarning("The trial file '%s' could not be removed: %s", trial.c_str(),
               platform::systemErrorText(platform::lastError()).c_str());
  return 0;
}

std::string FolderNotWritableText(const std::string& folder, int error) {
  std::string reason = platform::systemErrorText(error);
  if (reason.empty()) reason = FormatText("error %d", error);
  return FormatText(
      "Output Path '%s' is not writable: %s. Choose another output folder, or give this user write access to "
      "it.",
      folder.c_str(), reason.c_str());
}

void COutputNaming::SetStringParams(const std::string& outputFolder, const std::string& scanDescription,
                                    const std::string& operatorName, const std::string& template1,
                                    const std::string& template2, const std::string& scanNumberToken,
                                    const std::string& initialComment, bool slideIdNaming) {
  m_strOutputFolder = outputFolder;
  m_strScanDescription = scanDescription;
  m_strOperatorName = operatorName;
  m_strNamingTemplate1 = template1;
  m_strNamingTemplate2 = template2;
  m_strScanNumberToken = scanNumberToken;
  m_strScanComment = initialComment;
  m_bAutoNaming = slideIdNaming;
  if (template1 == kTemplateSerialNumber) {
    std::string& serial = m_Host.GetSerialNumberText();
    if (serial.empty() || serial == "Unknown") serial = ReadSerialNumber(m_Host);
    // The serial number is the instrument's text: it must stay one name of the folder.
    m_strNamingTemplate1 = MakeFileNamePart(serial);
  }
}

std::string COutputNaming::BasePath(const std::string& part1, const std::string& part2, int number) const {
  return m_strOutputFolder + "/" + Joined(part1) + Joined(part2) + FormatText("S%.2d", number);
}

bool COutputNaming::IsFreeBasePath(const std::string& base) const {
  for (const char* suffix : {"", "_Red", "_Green", "_H", "_L"})
    if (IsExistingTiffFile(base + suffix)) return false;
  return true;
}

std::string COutputNaming::GetBatchFileName(bool hasBarcode, const std::string& barcode, int slot,
                                            std::string* text) {
  const std::string slotText = FormatText("SLOT%.2d", slot);
  const std::string dateTime = platform::formatLocalTime("%Y%m%d%H%M");
  bool usesBarcode = false;
  const auto part = [&](const std::string& tmpl, bool second) -> std::string {
    if (tmpl == kTemplateSlideId) {
      if (!hasBarcode || barcode.empty()) return slotText;
      usesBarcode = true;
      return barcode;
    }
    if (tmpl == kTemplateSlot) return slotText;
    if (second && tmpl == kTemplateScanDateTime) return dateTime;
    return tmpl;
  };
  const std::string part1 = part(m_strNamingTemplate1, false);
  const std::string part2 = part(m_strNamingTemplate2, true);

  if (!CheckOutputFolder(m_strOutputFolder, true)) return {};
  RemoveTrailingSlashes(m_strOutputFolder);

  const bool twoPass = m_Host.IsSlotTwoPass();
  std::string failed;
  if (usesBarcode && !IsUsableFileName(barcode)) {
    // A barcode holding a separator or ".." would name a file outside the output folder:
    // never touch that path.
    failed = BasePath(part1, part2, 1) + (twoPass ? "" : ".tif");
    LogInfo("GetBatchFileName: Got an invaled file name '%s'.", failed.c_str());
  } else {
    int number = 1;
    std::string base;
    for (; number <= kMaxScanNumber; ++number) {
      base = BasePath(part1, part2, number);
      if (IsFreeBasePath(base)) break;
    }
    if (number > kMaxScanNumber) {
      LogInfo("GetBatchFileName: Auto naming exceed the max number '%d'.", kMaxScanNumber);
      failed = base;
    } else {
      bool creatable;
      std::string path = base;
      if (!twoPass) {
        path += ".tif";
        creatable = IsCreatableFile(path.c_str());
      } else if (m_Host.UseTwoPassSuffixes()) {
        creatable = IsCreatableFile((base + "_H.tif").c_str()) && IsCreatableFile((base + "_L.tif").c_str());
      } else {
        creatable = IsCreatableFile((base + ".tif").c_str());
      }
      if (creatable) return path;
      LogInfo("GetBatchFileName: Got an invaled file name '%s'.", path.c_str());
      failed = path;
    }
  }

  if (!hasBarcode) return {};
  LogInfo(
      "GetBatchFileName: Failed to generate the file name by the barcode numbering , try to using the slot "
      "numbering");
  const std::string name = GetBatchFileName(false, barcode, slot, text);
  if (name.empty()) return {};
  const std::string message =
      FormatText("Invalid filename '%s', replaced by '%s' (defaulting to slot numbering).\r\n",
                 failed.c_str(), name.c_str());
  if (text) *text = message;
  m_Host.SendStatusLine(message, 3);
  return name;
}

bool COutputNaming::CheckOutputFolder(const std::string& folder, bool create) {
  if (folder.empty()) {
    LogError("The output folder has not been defined yet!");
    return false;
  }
  const char* given = folder.c_str();
  std::string work = folder;
  bool root = false;
  if (work.size() > 2 && work.compare(0, 2, "//") == 0 && work[2] != '/') {
    LogDebug(1, "<CheckOutputFolder> Specified output folder '%s' is an explicit shared folder pathe", given);
    RemoveTrailingSlashes(work);
  } else if (work.front() != '/') {
    LogError("Invalid drive name specified in the output folder path '%s'", given);
    return false;
  } else {
    RemoveTrailingSlashes(work);
    root = work.empty();
    if (root) work = "/";
  }

  std::error_code error;
  const auto status = std::filesystem::status(work, error);
  if (!error && std::filesystem::exists(status)) {
    switch (platform::driveKind(work)) {
      case platform::DriveKind::local:
        break;
      case platform::DriveKind::noRoot:
        LogWarning(
            "Specified output folder path '%s' has no root directory (e.g. no volume is mounted) on the "
            "drive",
            given);
        break;
      case platform::DriveKind::removable:
        LogDebug(1, "<CheckOutputFolder> Specified output folder '%s' is a %s drive", given, "removable");
        break;
      case platform::DriveKind::remote:
        LogDebug(1, "<CheckOutputFolder> Specified output folder '%s' is a %s drive", given, "remote");
        break;
      case platform::DriveKind::cdrom:
        LogDebug(1, "<CheckOutputFolder> Specified output folder '%s' is a %s drive", given, "CD-ROM");
        break;
      case platform::DriveKind::ramDisk:
        LogDebug(1, "<CheckOutputFolder> Specified output folder '%s' is a %s drive", given, "RAM disk");
        break;
    }
    return true;
  }

  const int code = error ? error.value() : ENOENT;
  LogDebug(1, "<CheckOutputFolder> Folder '%s' stat error: errCode = %d", given, code);
  if (code != ENOENT) {
    LogError("Failed to access specified output folder '%s'", given);
    return false;
  }
  if (root) {
    LogError("Specified output folder (a root directory) '%s' does not exist!", given);
    return false;
  }
  if (!create) {
    LogError("Specified output folder '%s' does not exist!", given);
    return false;
  }
  LogWarning("Specified output folder '%s' does not exist!  Try to create it for the scan...", given);
  if (platform::createDirectories(work)) return true;
  LogError("Failed to create folder '%s': system error code = %d", given, platform::lastError());
  return false;
}
