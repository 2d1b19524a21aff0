// Numbered rotation, the archive of log files that held errors, and traced operations.
#include <cstdio>
#include <ctime>

#include "Jotwell/Logger.h"
#include "Jotwell/ProductKeys.h"
#include "Jotwell/RegEdit.h"
#include "Jotwell/Utilities.h"
#include "LoggerInternal.h"
#include "platform/clock.h"
#include "platform/files.h"

using jotwell::Format;
using jotwell::LogFileName;

namespace {
constexpr unsigned kModeCreate = 0;
constexpr unsigned kModeAppend = 1;

platform::OpenMode ToOpenMode(unsigned mode) {
  return mode == kModeAppend ? platform::OpenMode::append : platform::OpenMode::create;
}
}  // namespace

void CLogger::FindOffsetAndFlags(const std::string& prefix, unsigned* number, unsigned* openMode) {
  *number = 0;
  *openMode = kModeCreate;
  bool haveFull = false;
  platform::SystemTime oldest{};
  for (unsigned i = 0; i < m_uMaxFiles; ++i) {
    const std::string name = LogFileName(prefix, i);
    const auto size = platform::fileSize(name);
    if (!size) {
      *number = i;
      *openMode = kModeCreate;
      return;
    }
    if (*size < static_cast<std::uint64_t>(m_lMaxSize)) {
      *number = i;
      *openMode = kModeAppend;
      return;
    }
    const auto modified = platform::modificationTime(name).value_or(platform::SystemTime{});
    if (!haveFull || modified < oldest) {
      haveFull = true;
      oldest = modified;
      *number = i;
      *openMode = kModeCreate;
    }
  }
}

namespace jotwell {
std::string& UnusableFirstFileNote() {
  static std::string note;
  return note;
}
}  // namespace jotwell

bool CLogger::OpenFirstFile() {
  unsigned number = 0, mode = kModeCreate;
  FindOffsetAndFlags(m_FilePathStr, &number, &mode);
  const std::string first = LogFileName(m_FilePathStr, number);
  jotwell::UnusableFirstFileNote().clear();
  if (m_File.openExclusive(first, ToOpenMode(mode))) return true;
  if (m_File.error() == platform::OpenError::badPath) return false;
  // Another writer is the usual reason and needs no word; anything else in the file's place
  // (a FIFO, a device, a folder) is named, so that nobody looks for the log there.
  if (m_File.error() != platform::OpenError::inUse)
    jotwell::UnusableFirstFileNote() = Format("The log file %s cannot be used: %s.", first.c_str(),
                                              platform::fileErrorText(m_File.errorCode()).c_str());
  // Typically another process holds the file: fall back to "<prefix>A" ... "<prefix>Z".
  for (char c = 'A'; c <= 'Z'; ++c) {
    const std::string prefix = m_FilePathStr + c;
    FindOffsetAndFlags(prefix, &number, &mode);
    if (m_File.openExclusive(LogFileName(prefix, number), ToOpenMode(mode))) {
      m_FilePathStr = prefix;
      return true;
    }
  }
  return false;
}

bool CLogger::OpenNextFile() {
  unsigned number = 0, mode = kModeCreate;
  FindOffsetAndFlags(m_FilePathStr, &number, &mode);
  for (unsigned long attempt = 0; attempt < m_uMaxFiles; ++attempt) {
    if (m_File.openExclusive(LogFileName(m_FilePathStr, number), ToOpenMode(mode))) return true;
    number = static_cast<unsigned>((number + 1) % m_uMaxFiles);
  }
  return false;
}

bool CLogger::OpenNext() {
  CLogger lock;
  try {
    if (m_bOpen) {
      ArchiveCurrFile();
      m_File.close();
      m_bOpen = false;
    }
    // A log that was never opened has no prefix: open nothing rather than a stray file.
    if (m_FilePathStr.empty() || !OpenNextFile()) return false;
    (void)m_File.seekToEnd();  // the open placed it there already
    m_bOpen = true;
    LogOpenMessage();
    return true;
  } catch (...) {
    return false;
  }
}

bool CLogger::IsArchiveFlagSet() {
  return CRegEdit(HKEY_LOCAL_MACHINE, SettingsKey()).ReadUInt("ArchiveFlag", 0u) != 0;
}

void CLogger::SetArchiveFlag(int value) {
  if (!CRegEdit(HKEY_LOCAL_MACHINE, SettingsKey()).WriteInt("ArchiveFlag", static_cast<unsigned>(value)))
    LogArchiveMsg(
        Format("Couldn't set the archive flag (in CopyFile, Last Error: %d)", platform::lastError()));
}

void CLogger::OnError() {
  if (!IsArchiveFlagSet()) SetArchiveFlag(1);
}

void CLogger::LogArchiveMsg(const std::string& text) {
  CLogger lock;
  if (!m_File.isOpen()) return;
  // Raw (no stamps, no tag) but a line of its own, so it does not glue onto the next one.
  (void)m_File.write(text + "\r\n");  // the log is where its own failure would be told
}

void CLogger::FormatArchiveLogName(const std::string& baseName, std::string& fullName, std::string& stamp) {
  const std::tm t = platform::localTime();
  stamp = Format(" %04d%02d%02d-%02d%02d%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min,
                 t.tm_sec);
  fullName = m_ArchiveFilePath + baseName + stamp + ".log";
}

void CLogger::ArchiveCurrFile() {
  const auto size = m_File.size();
  if (!size || *size < static_cast<std::uint64_t>(m_lMaxSize) || !IsArchiveFlagSet()) return;

  std::string fullName, stamp;
  FormatArchiveLogName(m_strBaseFileName, fullName, stamp);
  if (!platform::copyFileNoOverwrite(m_File.path(), fullName))
    LogArchiveMsg(Format("Archive Failed (in CopyFile, Last Error: %d, from: %s, to: %s)",
                         platform::lastError(), m_strBaseFileName.c_str(), fullName.c_str()));

  const std::string path =
      CRegEdit(HKEY_LOCAL_MACHINE, zeva::kProductKey).ReadString(zeva::kInstallPathValue, "");
  const std::string report = path.empty() ? std::string("CarouselRunLog.htm")
                                          : path + (path.back() == '/' ? "" : "/") + "CarouselRunLog.htm";
  const std::string reportCopy = m_ArchiveFilePath + "CarouselRunLog" + stamp + ".htm";
  if (!platform::copyFileNoOverwrite(report, reportCopy))
    LogArchiveMsg(Format("Archive HTML Failed (in CopyFile, Last Error: %d, from: %s, to: %s)",
                         platform::lastError(), report.c_str(), reportCopy.c_str()));

  SetArchiveFlag(0);
}

void CLogger::LogGetArchiveDir() {
  m_ArchiveFilePath = platform::directoryOf(m_FilePathStr) + m_ArchiveFolderName + "/";
  // A folder that cannot be made shows as the archive copy's failure, logged with its error.
  (void)platform::createDirectory(m_ArchiveFilePath);
}

void CLogger::PruneArchives(bool all) {
  const auto now = platform::systemNow();
  const auto keep = std::chrono::seconds(m_KeepArchivesFor);
  for (const std::string& name : platform::listDirectory(m_ArchiveFilePath, "*.log")) {
    const std::string path = m_ArchiveFilePath + name;
    const auto created = platform::creationTime(path);
    if (!all && (!created || now - *created <= keep)) continue;
    if (!platform::removeFile(path))
      LogArchiveMsg(Format("Couldn't remove archive(in DeleteFile, Last Error: %d, file: %s)",
                           platform::lastError(), path.c_str()));
  }
}

void CLogger::InitArchiver() {
  LogGetArchiveDir();
  PruneArchives(false);
}

void CLogger::OnFunctionBegin(EFunction f) {
  if (f < 0 || f >= kFunctionCount) return;
  if (f == CAROUSEL_RUN) {
    CLogger lock;
    if (!OpenNext()) LogArchiveMsg("OpenNext failed in OnFunctionBegin(CAROUSEL_RUN)");
    m_bInCarouselRun = true;
  }
  LogInfo(m_FunctionBeginEvtLbl, m_FunctionNames[f]);
}

void CLogger::OnFunctionEnd(EFunction f) {
  if (f < 0 || f >= kFunctionCount) return;
  CLogger lock;
  // The end line still belongs to the run's file; rotation resumes with the next line.
  LogInfo(m_FunctionEndEvtLbl, m_FunctionNames[f]);
  if (f == CAROUSEL_RUN) m_bInCarouselRun = false;
}

std::string CLogger::GetVersionString() { return "Jotwell.dll: " + ::GetVersionString(GetThisModule()); }
