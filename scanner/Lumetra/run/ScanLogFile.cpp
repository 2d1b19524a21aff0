#include "run/ScanLogFile.h"

#include <chrono>
#include <mutex>

#include "Jotwell/ProductKeys.h"
#include "Jotwell/RegEdit.h"
#include "Jotwell/Utilities.h"
#include "platform/clock.h"
#include "run/OutputNaming.h"

namespace {

const char* ResolutionText(int type) {
  switch (type) {
    case 1:
      return "10";
    case 2:
      return "5";
    case 3:
      return "3";
    case 5:
      return "2";
    default:
      return "";
  }
}

// A barcode is outside text: a tab or line end in it would break the line into fields
// and records that are not there.
std::string OneLine(const std::string& text) {
  std::string out = text;
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = ' ';
  return out;
}

}  // namespace

std::string CScanLogFile::FileName(int year, const std::string& serialNumber) {
  return FormatText("%4d_%s.log", year,
                    serialNumber.empty() ? "noserial" : MakeFileNamePart(serialNumber).c_str());
}

std::string CScanLogFile::FormatRecord(std::int64_t time, const std::string& barcode,
                                       const CSlotScanCfgInfo& s, const std::string& spare,
                                       const std::string& result) {
  const platform::SystemTime when{std::chrono::seconds(time)};
  std::string line = platform::formatLocalTime("[%m-%d-%y %H:%M:%S]", when);
  line += '\t';
  line += barcode.empty() ? std::string("no barcode") : OneLine(barcode);
  line += '\t';
  line += s.UseRed ? (s.UseGreen ? "R+G" : "R") : "G";
  line += '\t';
  line += FormatText("%gx%g", s.RegionHeight / 100.0, s.RegionWidth / 100.0);
  line += '\t';
  line += ResolutionText(s.ResolutionType);
  if (s.DoublePass) line += "dbl";
  line += '\t';
  line += s.Tiff32Bit ? "20" : "16";
  line += '\t';
  line += FormatText("%d%%\t%d%%\t%g\t", s.PMTRed, s.PMTGreen, s.DyxRatio);
  line += spare;
  line += '\t';
  line += result;
  line += "\r\n";
  return line;
}

bool CScanLogFile::Open(const std::string& serialNumber) {
  std::lock_guard<platform::CriticalSection> hold(m_Lock);
  m_strSerial = serialNumber;
  m_bHaveSerial = true;
  return OpenCurrentFile();
}

bool CScanLogFile::OpenCurrentFile() {
  const std::string folder =
      CRegEdit(HKEY_LOCAL_MACHINE, zeva::kProductKey).ReadString(zeva::kInstallPathValue, "");
  // The installation's log folder, which its first run creates as "Logs".
  const std::string path = folder + "/Logs/" + FileName(platform::localTime().tm_year + 1900, m_strSerial);
  // A file deleted or moved away keeps taking writes that nobody will ever read.
  if (m_File.isOpen() && m_File.path() == path && m_File.isStillAtPath()) return true;
  return m_File.openExclusive(path, platform::OpenMode::append);
}

void CScanLogFile::SetSlotConfig(const CSlotScanCfgInfo& settings) {
  std::lock_guard<platform::CriticalSection> hold(m_Lock);
  m_Settings = settings;
}

void CScanLogFile::SetStartTime(std::int64_t time) {
  std::lock_guard<platform::CriticalSection> hold(m_Lock);
  m_Time = time;
}

void CScanLogFile::SetBarcode(const std::string& barcode) {
  std::lock_guard<platform::CriticalSection> hold(m_Lock);
  m_strBarcode = barcode;
}

void CScanLogFile::SetResult(const std::string& result) {
  std::lock_guard<platform::CriticalSection> hold(m_Lock);
  m_strResult = result;
}

bool CScanLogFile::WriteRecord() {
  std::lock_guard<platform::CriticalSection> hold(m_Lock);
  if (m_strResult.empty()) return true;
  if (!m_bHaveSerial || !OpenCurrentFile()) return false;
  // A record cut by a full disk would be glued to the next one: whole or not at all.
  if (!m_File.writeWhole(FormatRecord(m_Time, m_strBarcode, m_Settings, m_strSpare, m_strResult)))
    return false;
  m_strBarcode.clear();
  m_strSpare.clear();
  m_strResult.clear();
  return true;
}

CScanLogFile& GetScanLog() {
  static CScanLogFile log;
  return log;
}
