#pragma once
// One TIFF file holding one PMT channel of a scan: written line by line while the scan
// runs (16-bit saturating, 16-bit decimated block means, or 32-bit, optionally packed at
// 20 bits per sample), or opened again to be read or edited. It carries the scan record
// (private tag 37701) in memory until WriteVbqStru puts it into the file.
//
// Results: 0 success, negative failure. Hard failures (a file that cannot be created, a
// line that cannot be written) are logged and thrown as a std::string holding the text.
// One handler owns one open file: it can be moved, not copied.
#include <tiffio.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Tessary/Export.h"
#include "Tessary/TiffScanRecord.h"

namespace tessary::detail {
class TiffFile;
}

class TESSARY_API TiffHandler {
 public:
  // Names by PMT channel: 0 "Red", 1 "Green", 2 "Purple", 3 "Yellow".
  static const char* ChannelName(int channel);

  TiffHandler();
  ~TiffHandler();
  TiffHandler(const TiffHandler&) = delete;
  TiffHandler& operator=(const TiffHandler&) = delete;
  TiffHandler(TiffHandler&& other) noexcept;
  TiffHandler& operator=(TiffHandler&& other) noexcept;

  // Opening and creating. A created file appears under its name only when Close finds
  // every write done; until then it is written under a temporary name beside it.
  int CreateTiff(const char* path);
  int CreateTiff(const char* path, unsigned long lineLength, int depth, int decimation);
  int OpenTiff(const char* path);
  int OpenAndEditTiff(const char* path);
  int ReadDir(int directory);
  int HandleOpenError(const char* path);
  int SetupTiff(unsigned long lineLength, int channels, int depth, int decimation, bool halveChannels,
                bool packed);
  int Save();
  // Flushes and closes; -1 when a write of the file failed (the new file is then not kept).
  int Close();
  // Closes a file being created without keeping it.
  void Discard();
  int WriteVbqStru();

  // Line writing. Each returns the next row.
  int AddScanline(const unsigned int* samples);
  int AddFullScanLine(const unsigned int* samples, int row);
  int AddDecimatedScanLine(const unsigned int* samples, int row);

  // 20-bit packing: the low 16 bits of sample i in half-word i of the line, bits 16-19 in
  // nibble i of the words that follow.
  static unsigned long PackedLineLength(unsigned long n);
  // Both do nothing when packedLength is shorter than PackedLineLength(n).
  static void PackBuffer(std::uint32_t* packed, const std::uint32_t* samples, unsigned long packedLength,
                         unsigned long n);
  static void UnPackBuffer(const std::uint32_t* packed, std::uint32_t* samples, unsigned long packedLength,
                           unsigned long n);

  // Standard tags.
  int SetResolution(unsigned int xMicrons, unsigned int yMicrons);
  int SetCompression(bool lzw);
  int SetImageDescription(const char* text);
  int SetPMTChannel(int channel);
  int GetPMTChannel(int& channel) const;
  int SetSoftwareVersion(const char* text);
  int SetOperator(const char* text);
  int SetDateTime(const char* text);
  int SetScannerMake(const char* text);
  int SetScannerModel(const char* text);
  int SetComputerNameA(const char* text);
  int SetDescription(const char* text);  // private tag 37702, at most 511 characters

  // Record fields (each -1 when the handler holds no record).
  int SetBarcode(const char* text);
  int SetScannerSerialNumber(const char* text);
  int SetScanStatus(const char* text);
  int SetDyxScanIDInfo(const char* scanId, int pass);
  int SetScanDDNInfo(int ddn1, int ddn2);
  int SetXBinning(int value);
  int SetYBinning(int value);
  int SetDarkOffSet(int type, double offset, double mean, double stdDev);
  int GetDarkOffSet(int& type, double& offset, double& mean, double& stdDev) const;
  int SetScanRegion(double a, double b, double c, double d);
  int SetCropRegion(double a, double b, double c, double d);
  int SetReScans(unsigned int count);
  int SetLaserPower(double value);
  int SetPMTVoltage(double value);
  int SetCrossTalk(int row, int column, double value);
  int SetSensitivity(double value);
  int SetPercentAutoFocusHold(double value);
  int SetGlassThickness(double value);
  int SetSaturationValue(int value);
  int GetSaturationValue() const;

  bool IsOpen() const { return m_pTiff != nullptr; }
  const std::string& GetFilePath() const { return m_strFilePath; }
  void SetLineLength(unsigned long n) { m_nLineLength = static_cast<std::uint32_t>(n); }
  unsigned long GetLineLength() const { return m_nLineLength; }
  unsigned long GetStoredWidth() const { return m_nStoredWidth; }
  int GetDepth() const { return static_cast<int>(m_nDepth); }
  bool IsPacked() const { return m_bPacked; }
  TiffScanRecord* GetStru() { return m_pRecord.get(); }
  const TiffScanRecord* GetStru() const { return m_pRecord.get(); }
  TIFF* GetTiffPtr() const { return m_pTiff; }
  bool GetIsTwoPass() const { return m_bTwoPass; }
  int GetDDN1() const { return m_nDDN1; }
  int GetDDN2() const { return m_nDDN2; }
  int GetDecimationFactor() const { return m_nDecimationFactor; }
  // errno of the file's first failed read or write, else the current errno.
  int LastError() const;

 private:
  friend class MultiChannelTiffHandler;

  // `big`: 64-bit TIFF (BigTIFF), for files that may pass the 4 GiB of classic TIFF.
  int CreateFile(const char* path, bool scratch, bool big = false);
  int CreateScratchTiff(const char* path, unsigned long lineLength, int depth, int decimation,
                        bool big = false);
  int OpenFile(const char* path, bool edit);
  int WriteRow(const void* data, int row);
  void WriteResolution(double xMicrons, double yMicrons);
  int SetTextTag(std::uint32_t tag, const char* text);
  void ReleaseFile();
  void ResetBuffers();

  std::unique_ptr<tessary::detail::TiffFile> m_File;
  TIFF* m_pTiff = nullptr;
  std::unique_ptr<TiffScanRecord> m_pRecord;
  std::uint32_t m_nLineLength = 0;   // samples per line as handed over (decimated count for decimated files)
  std::uint32_t m_nStoredWidth = 0;  // tag 256: the line length, or its packed length
  std::uint32_t m_nDepth = 0;
  std::string m_strFilePath;
  bool m_bTwoPass = true;
  int m_nDecimationFactor = 0;
  std::vector<std::uint16_t> m_Line16;
  // Column sums of the lines gathered for a decimated line; 64-bit: sums of bright samples
  // must not wrap.
  std::vector<std::uint64_t> m_Accumulator;
  std::uint32_t m_nLinesGathered = 0;
  bool m_bPacked = false;
  int m_nDDN1 = 0;
  int m_nDDN2 = 0;
  // The last file created ran into classic TIFF's 4 GiB limit (kept after it is closed).
  bool m_bClassicLimitHit = false;
};
