#pragma once
// The output folders and free space of a carousel run, checked before it starts. A
// "drive" is the file system that holds a folder (its mount point), asked for its kind
// and free space itself, so folders on network mounts are checked where they live.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

class CCarouselCfgInfo;

namespace lumetra::maindlg {

enum class DriveType { unknown, noRoot, local, remote, removable, cdrom, ramDisk };

// The file system queries the check makes (replaced in tests).
struct FileSystemQueries {
  std::function<bool(const std::string& path)> folderExists;
  // Something that is not a folder is there (a file in the folder's place).
  std::function<bool(const std::string& path)> fileExists;
  // Makes and removes a trial file in the folder: 0, or the error number that stopped it.
  std::function<int(const std::string& folder)> writeTrial;
  // The drive of a path: its mount point; empty when none can be found.
  std::function<std::string(const std::string& path)> driveOf;
  std::function<DriveType(const std::string& path)> driveType;
  // Free bytes for the caller; nullopt with the error code in *error on failure.
  std::function<std::optional<std::uint64_t>(const std::string& path, int* error)> freeBytes;
  // The folder of the run's temporary image files.
  std::function<std::string()> tempScanPath;

  static FileSystemQueries System();
};

// One output drive of a run.
struct DriveSpaceInfo {
  std::string drive;
  DriveType type = DriveType::unknown;
  std::int64_t bytes = 0;
};

// False with "Output Path '%s' does not exist" when the folder cannot be found, or with
// the text that says the path is not a folder.
bool CheckOutputPath(const FileSystemQueries& fs, const std::string& path, std::string& text);
// False with the text naming the cause when no file can be made in the folder.
bool CheckOutputPathWritable(const FileSystemQueries& fs, const std::string& path, std::string& text);
// False with the reason for a drive no run may write to.
bool CheckDriveType(DriveType type, std::string& text);

// Every selected slot's folder (there, a folder, on a drive a run may use, and writable)
// and every drive's free space: the drive needs what the
// run writes to it, and the temporary files' drive three times the largest image besides.
// False without a configuration; a failed check throws std::runtime_error with its text.
bool CheckDiskSpace(const CCarouselCfgInfo* config, const FileSystemQueries& fs);

}  // namespace lumetra::maindlg
