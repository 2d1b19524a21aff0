#pragma once
// The scan-history log: one text line per slide a carousel run processed, in one file per
// calendar year and scanner under the installation's Logs folder. One process-wide
// instance, filled field by field by the run thread and written when a slide is done.
#include <cstdint>
#include <string>

#include "config/CarouselCfgInfo.h"
#include "platform/files.h"
#include "platform/sync.h"

class CScanLogFile {
 public:
  CScanLogFile() = default;
  CScanLogFile(const CScanLogFile&) = delete;
  CScanLogFile& operator=(const CScanLogFile&) = delete;

  // Takes the instrument's serial number for the records to come and opens
  // "<Path>/Logs/<year>_<serial>.log" for appending ("noserial" for an empty serial number;
  // separators and characters a file name may not hold become '_'). False when it cannot
  // be opened (WriteRecord tries again).
  bool Open(const std::string& serialNumber);
  bool IsOpen() const { return m_File.isOpen(); }
  const std::string& GetFilePath() const { return m_File.path(); }
  // errno of the last failed open or write (0 when none).
  int GetErrorCode() const { return m_File.errorCode(); }

  void SetSlotConfig(const CSlotScanCfgInfo& settings);
  void SetStartTime(std::int64_t time);  // seconds since 1970
  void SetBarcode(const std::string& barcode);
  void SetResult(const std::string& result);  // "Success", "Failed" or "Skipped"

  // Writes the pending record when it has a result (true without writing when not) and
  // clears its barcode and result; false when no serial number was given yet, or the file
  // cannot be opened or the write failed (the record then stays as it is and the file
  // holds no part of it). The file is chosen for each record from the year and the serial
  // number: a new year, another instrument, or a file deleted or moved away (archived)
  // since the last record opens the right file anew.
  bool WriteRecord();

  // The file's name for a year and serial number.
  static std::string FileName(int year, const std::string& serialNumber);
  // The line of a record, CR LF included.
  static std::string FormatRecord(std::int64_t time, const std::string& barcode,
                                  const CSlotScanCfgInfo& settings, const std::string& spare,
                                  const std::string& result);

 private:
  // Opens the file the next record belongs in, unless it is the one open (under m_Lock).
  bool OpenCurrentFile();

  platform::CriticalSection m_Lock;
  platform::File m_File;
  bool m_bHaveSerial = false;
  std::string m_strSerial;
  std::int64_t m_Time = 0;
  std::string m_strBarcode;
  CSlotScanCfgInfo m_Settings;
  std::string m_strSpare;
  std::string m_strResult;
};

// The process-wide log (created on first use, closed when the library is unloaded).
CScanLogFile& GetScanLog();
