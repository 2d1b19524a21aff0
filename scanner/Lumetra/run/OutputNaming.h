#pragma once
// Naming of a slide's output image before it is scanned: a free, creatable path from the
// output folder, two naming templates and a running scan number, with the folder checks
// and the small file tests they use.
#include <string>
#include <string_view>

// What naming needs of the run manager it works for.
class INamingHost {
 public:
  virtual ~INamingHost() = default;
  // Asks the instrument for its serial number; throws platform::com::ComError when the
  // scanner interface fails (or is missing).
  virtual std::string ReadInstrumentSerialNumber() = 0;
  // The instrument's serial number as read so far ("" or "Unknown" before it was read).
  virtual std::string& GetSerialNumberText() = 0;
  // The current slot is scanned in two passes (extended dynamic range).
  virtual bool IsSlotTwoPass() const = 0;
  // The run names two-pass images with "_H" and "_L" suffixes.
  virtual bool UseTwoPassSuffixes() const = 0;
  // One status line to the status window, waiting until it was handled.
  virtual void SendStatusLine(const std::string& text, int kind) = 0;
};

// Naming templates the run configuration offers.
inline constexpr const char* kTemplateSlideId = "<Slide ID>";
inline constexpr const char* kTemplateSlot = "<Slot #>";
inline constexpr const char* kTemplateScanDateTime = "<Scan DateTime>";
inline constexpr const char* kTemplateSerialNumber = "<Instrument Serial #>";
// The highest scan number of a base path.
inline constexpr int kMaxScanNumber = 999;

class COutputNaming {
 public:
  explicit COutputNaming(INamingHost& host) : m_Host(host) {}
  COutputNaming(const COutputNaming&) = delete;
  COutputNaming& operator=(const COutputNaming&) = delete;

  // Takes over a slot's naming texts. A first template "<Instrument Serial #>" becomes the
  // serial number (read from the instrument when not known yet; "UNKNOWN" when that
  // fails), made fit for a file name.
  void SetStringParams(const std::string& outputFolder, const std::string& scanDescription,
                       const std::string& operatorName, const std::string& template1,
                       const std::string& template2, const std::string& scanNumberToken,
                       const std::string& initialComment, bool slideIdNaming);

  // The base path of the next image ("" when no usable name can be made): one-pass slots
  // get ".tif", two-pass slots no extension. A barcode that cannot be a file name, like
  // any barcode naming that fails, falls back once to slot numbering; `text` (the scan
  // comment, may be null) then says so.
  std::string GetBatchFileName(bool hasBarcode, const std::string& barcode, int slot, std::string* text);

  // True when the folder exists or (with `create`) was created with its missing parents.
  // Folders are absolute paths; "//server/share..." is taken as a shared-folder path.
  static bool CheckOutputFolder(const std::string& folder, bool create);

  std::string m_strOutputFolder;
  std::string m_strScanDescription;
  std::string m_strOperatorName;
  std::string m_strNamingTemplate1;
  std::string m_strNamingTemplate2;
  std::string m_strScanNumberToken;
  std::string m_strScanComment;
  bool m_bAutoNaming = false;

 private:
  std::string BasePath(const std::string& part1, const std::string& part2, int number) const;
  bool IsFreeBasePath(const std::string& base) const;

  INamingHost& m_Host;
};

// Exists and is not a folder.
bool IsExistingFile(const char* path);
// basePath + ".tif" or basePath + ".tiff" exists.
bool IsExistingTiffFile(const std::string& basePath);
// The file exists, or it can be created (it is removed again at once).
bool IsCreatableFile(const char* path);
// Makes and removes a trial file in an existing folder: 0 when both worked, else the
// error number (a read-only folder or file system, no permission, a full disk).
int TryWriteInFolder(const std::string& folder);
// What the operator is told about an output folder that TryWriteInFolder refused.
std::string FolderNotWritableText(const std::string& folder, int error);

// Whether text can stand as one file name in the output folder: not empty, not "." or
// "..", and without separators, the characters a file name may not hold and control
// characters.
bool IsUsableFileName(std::string_view text);
// The text with separators, characters a file name may not hold and control characters
// replaced by '_', so that it stays one name of its folder.
std::string MakeFileNamePart(std::string_view text);
