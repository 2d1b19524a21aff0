#pragma once
// One scan of up to two PMT channels: while the scan runs, each channel (and, on request,
// a decimated 16-bit copy of each) goes into a temporary TIFF file of its own; when the
// scan ends, CloseAndSaveScan merges them into the final image (a multi-page TIFF, or one
// rotated TIFF per file), applying the line-offset (DDN) correction. A merge that fails
// keeps the data next to the target or in the temporary folder; a target on a network
// drive that became unreachable is written into the local backup folder instead and
// reported by throwing CNetworkFailedRedirected.
//
// Hard failures are logged and thrown as a std::string holding the text.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "Tessary/Export.h"
#include "Tessary/TiffHandler.h"

// Thrown (by value) when the scan image went to the local backup folder.
class TESSARY_API CNetworkFailedRedirected {
 public:
  explicit CNetworkFailedRedirected(std::string message) : m_strMessage(std::move(message)) {}
  const std::string& GetMessage() const { return m_strMessage; }

 private:
  std::string m_strMessage;
};

class TESSARY_API MultiChannelTiffHandler {
 public:
  explicit MultiChannelTiffHandler(std::string label = {});
  ~MultiChannelTiffHandler();
  MultiChannelTiffHandler(const MultiChannelTiffHandler&) = delete;
  MultiChannelTiffHandler& operator=(const MultiChannelTiffHandler&) = delete;
  MultiChannelTiffHandler(MultiChannelTiffHandler&&) noexcept = default;
  MultiChannelTiffHandler& operator=(MultiChannelTiffHandler&&) noexcept = default;

  void SetScanFileName(const std::string& name) { m_strScanFileName = name; }
  const std::string& GetScanFileName() const { return m_strScanFileName; }
  const std::string& GetLabel() const { return m_strLabel; }
  unsigned GetFileCount() const { return m_nFileCount; }

  // Checks free space (target and temporary folder) and creates the temporary files.
  void CreateTiff(const char* scanFile, unsigned long pixelsPerLine, unsigned long lines, int depth,
                  int channels, int xMicrons, int yMicrons, bool decimatedSet);
  // File i (0 to 3); null outside.
  TiffHandler* GetTiffByChannel(int i);

  void SetBarcode(const char* text);
  void SetScanStatus(const char* text);
  void SetPercentAutoFocusHold(double value);
  void SetGlassThickness(double value);
  void SetDyxScanIDInfo(const char* scanId, int pass);
  void SetScanDDNInfo(int ddn1, int ddn2);
  void SetBinning(unsigned int x, unsigned int y);

  // 0 success, non-zero failure; may throw CNetworkFailedRedirected.
  int CloseAndSaveScan(int compression, int noDdnCorrection, int ddn1, int ddn2, bool flipAndRotate);
  // Abandons the scan: closes every file and deletes its temporary file.
  void CloseAndRemoveScan();

  // The "TemporaryImageFolder" registry value.
  static std::string GetTempScanPath();
  // A new, unique temporary file in the temporary folder (created empty).
  static std::string GetTempScanFile(long index);
  static void CheckForScanFileSpace(const std::string& file, unsigned long pixelsPerLine, unsigned long lines,
                                    int depth, int channels, int xMicrons, int yMicrons, bool decimatedSet);
  // Estimated bytes of a scan's files (what CheckForScanFileSpace asks for).
  static std::int64_t EstimateScanFileBytes(unsigned long pixelsPerLine, unsigned long lines, int depth,
                                            int channels, int xMicrons);
  static bool GetLocalDataDirectory(const std::string& file, std::string& folder);
  static bool GenLocalFileName(const std::string& file, const std::string& folder, std::string& result);
  static void ChangeSuffixAndExtension(std::string& path, const std::string& suffix,
                                       const std::string& extension);

 protected:
  int MergeTiffs(const std::string& target, int compression, int noDdnCorrection, int ddn1, int ddn2);
  int MergeTiffsFlipAndRotate(const std::string& target, int compression, int noDdnCorrection, int ddn1,
                              int ddn2);
  int RecoverFromMergeFailure();
  static int CopyImage16(TiffHandler& source, TiffHandler& destination, int ddn, int maximum);
  static int CopyImage32(TiffHandler& source, TiffHandler& destination, int ddn, int maximum);
  // `band` is working memory kept across the files of one merge.
  static int CopyImageFlipAndRotate(TiffHandler& source, TiffHandler& destination, int ddn, int maximum,
                                    std::unique_ptr<std::uint16_t[]>& band, std::size_t& bandSize);
  // The memory a rotation assembles its output in: uncompressed, a block of source rows
  // turned into runs of columns of every output row; compressed, a band of whole output
  // rows (rounded to whole strips; two bands take turns, one being written while the next
  // is made), each band costing one pass down the source, reading only the columns it
  // needs. Tests make it small to exercise many blocks and passes.
  static inline std::size_t s_nRotationBandBytes = std::size_t{32} << 20;
  // A file that may reach this size is written as 64-bit TIFF (BigTIFF): classic TIFF
  // addresses no more than 4 GiB. Tests lower it to write the 64-bit form small.
  static inline std::uint64_t s_nClassicTiffLimit = std::uint64_t{1} << 32;
  static void CopyTags(TiffHandler& source, TiffHandler& destination, bool swap);
  static long DDNCorrect(long value, int ddn, bool oddRow, int maximum);

 private:
  int MergeInto(const std::string& target, int compression, int noDdnCorrection, int ddn1, int ddn2,
                bool flipAndRotate);
  void RemoveTemporaryFiles();
  // Whether a file of about `bytes` (before any compression) is written as 64-bit TIFF.
  static bool NeedsBigTiff(std::uint64_t bytes);
  // "_<channel>" or "_Small_<channel>": the name ending of file i's recovery or rotated file.
  std::string FileSuffix(unsigned i) const;
  void CheckSpace(const std::string& scanFile, unsigned long pixelsPerLine, unsigned long lines,
                  int xMicrons);

  std::string m_strScanFileName;
  std::array<TiffHandler, 4> m_Files;
  std::array<std::string, 4> m_TempPaths;
  std::array<int, 4> m_FileChannel{};
  std::array<bool, 4> m_FileDecimated{};
  unsigned m_nFileCount = 0;
  unsigned m_nChannels = 0;
  unsigned m_nDepth = 0;
  bool m_bDecimatedSet = false;
  std::string m_strLabel;
};
