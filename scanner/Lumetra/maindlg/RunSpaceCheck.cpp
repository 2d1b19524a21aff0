#include "maindlg/RunSpaceCheck.h"

#include <algorithm>
#include <cinttypes>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>

#include "Jotwell/Logger.h"
#include "Jotwell/Utilities.h"
#include "Tessary/MultiChannelTiffHandler.h"
#include "config/CarouselCfgInfo.h"
#include "platform/files.h"
#include "run/OutputNaming.h"

namespace lumetra::maindlg {

FileSystemQueries FileSystemQueries::System() {
  FileSystemQueries fs;
  fs.folderExists = [](const std::string& path) { return platform::directoryExists(path); };
  fs.fileExists = [](const std::string& path) { return platform::fileExists(path); };
  fs.writeTrial = [](const std::string& folder) { return TryWriteInFolder(folder); };
  fs.driveOf = [](const std::string& path) { return platform::mountPoint(path); };
  fs.driveType = [](const std::string& path) {
    switch (platform::driveKind(path)) {
      case platform::DriveKind::local:
        return DriveType::local;
      case platform::DriveKind::remote:
        return DriveType::remote;
      case platform::DriveKind::removable:
        return DriveType::removable;
      case platform::DriveKind::cdrom:
        return DriveType::cdrom;
      case platform::DriveKind::ramDisk:
        return DriveType::ramDisk;
      case platform::DriveKind::noRoot:
        return DriveType::noRoot;
    }
    return DriveType::unknown;
  };
  fs.freeBytes = [](const std::string& path, int* error) {
    platform::setLastError(0);
    auto bytes = platform::freeSpace(path);
    if (!bytes && error) *error = platform::lastError();
    return bytes;
  };
  fs.tempScanPath = [] { return MultiChannelTiffHandler::GetTempScanPath(); };
  return fs;
}

bool CheckOutputPath(const FileSystemQueries& fs, const std::string& path, std::string& text) {
  if (!path.empty() && fs.folderExists(path)) return true;
  if (!path.empty() && fs.fileExists && fs.fileExists(path))
    text = FormatText("Output Path '%s' is a file, not a folder. Choose a folder as the output path.",
                      path.c_str());
  else
    text = FormatText("Output Path '%s' does not exist", path.c_str());
  return false;
}

bool CheckOutputPathWritable(const FileSystemQueries& fs, const std::string& path, std::string& text) {
  if (!fs.writeTrial) return true;
  const int error = fs.writeTrial(path);
  if (error == 0) return true;
  text = FolderNotWritableText(path, error);
  return false;
}

bool CheckDriveType(DriveType type, std::string& text) {
  switch (type) {
    case DriveType::unknown:
      text = "The drive type cannot be determined";
      return false;
    case DriveType::noRoot:
      text = "The drive root path is invalid";
      return false;
    case DriveType::cdrom:
      text = "The drive is a CD-ROM drive";
      return false;
    default:
      return true;
  }
}

bool CheckDiskSpace(const CCarouselCfgInfo* config, const FileSystemQueries& fs) {
  if (!config) return false;
  const std::string tempDrive = fs.driveOf(fs.tempScanPath());
  std::int64_t largest = 0;
  std::map<std::string, DriveSpaceInfo> drives;
  std::set<std::string> writable;  // folders already tried
  std::string text;

  for (int slot = config->FirstSlot; slot <= config->LastSlot; ++slot) {
    if (slot < 1 || slot > CCarouselCfgInfo::kSlotCount || !config->SlotUsed[slot - 1]) continue;
    const CSlotScanCfgInfo* info = config->GetAt(slot);
    if (!info) continue;
    if (!CheckOutputPath(fs, info->OutputPath, text)) {
      LogDebug(1, "Scan setting error [slot %d]: %s", slot, text.c_str());
      throw std::runtime_error(text);
    }
    const std::string drive = fs.driveOf(info->OutputPath);
    auto found = drives.find(drive);
    if (found == drives.end()) {
      DriveSpaceInfo record{drive, drive.empty() ? DriveType::noRoot : fs.driveType(info->OutputPath), 0};
      if (!CheckDriveType(record.type, text))
        throw std::runtime_error(
            FormatText("Invalid output path '%s': %s", info->OutputPath.c_str(), text.c_str()));
      found = drives.emplace(drive, record).first;
    }
    // After the drive's kind: a CD-ROM is refused as what it is, not as a folder.
    if (writable.insert(info->OutputPath).second && !CheckOutputPathWritable(fs, info->OutputPath, text)) {
      LogDebug(1, "Scan setting error [slot %d]: %s", slot, text.c_str());
      throw std::runtime_error(text);
    }
    const std::int64_t bytes = info->EstimateImageBytes();
    found->second.bytes += bytes;
    largest = std::max(largest, bytes);
  }

  for (const auto& [drive, record] : drives) {
    int error = 0;
    const auto free = fs.freeBytes(drive, &error);
    if (!free)
      throw std::runtime_error(FormatText("Failed to get drive '%s' disk free space: %s [error code = %d]",
                                          drive.c_str(), platform::systemErrorText(error).c_str(), error));
    const bool temporary = !tempDrive.empty() && drive == tempDrive;
    const std::int64_t required = record.bytes + (temporary ? 3 * largest : 0);
    const auto available = static_cast<std::int64_t>(std::min<std::uint64_t>(*free, INT64_MAX));
    if (available <= required) {
      if (temporary)
        throw std::runtime_error(
            FormatText("Not enough free space on drive '%s': Total free bytes available = %" PRId64
                       ", Required (images + temporary files) = %" PRId64,
                       drive.c_str(), available, required));
      throw std::runtime_error(
          FormatText("Not enough free space on drive '%s': Total free bytes available = %" PRId64
                     ", Required = %" PRId64,
                     drive.c_str(), available, required));
    }
  }
  return true;
}

}  // namespace lumetra::maindlg
