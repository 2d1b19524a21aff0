// The process log: settings, opening and closing, and the line format.
#include "Jotwell/Logger.h"

#include <cstdio>
#include <string>

#include "Jotwell/BaseException.h"
#include "Jotwell/ProductKeys.h"
#include "Jotwell/RegEdit.h"
#include "Jotwell/Utilities.h"
#include "LoggerInternal.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/text.h"
#include "platform/thread.h"

namespace jotwell {

std::string FormatV(const char* fmt, va_list args) {
  auto out = platform::formatV(fmt, args);
  // A format the C library rejects is an invalid parameter, as the runtime would say.
  if (!out) throw CInvalidParamException("Invalid parameter detected in logging function");
  return std::move(*out);
}

std::string Format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  std::string s;
  try {
    s = FormatV(fmt, args);
  } catch (...) {
    va_end(args);
    throw;
  }
  va_end(args);
  return s;
}

std::string LogFileName(const std::string& prefix, unsigned number) {
  return prefix + std::to_string(number) + ".log";
}

}  // namespace jotwell

using jotwell::Format;

long CLogger::m_lMaxSize = jotwell::kDefaultMaxSize;
unsigned long CLogger::m_uMaxFiles = 5;
int CLogger::m_nDebugLevel = 1;
bool CLogger::m_bDebugOn = true;
bool CLogger::m_bEnableTimestamp = true;
bool CLogger::m_bEnableThreadIdStamp = true;
const std::int64_t CLogger::m_KeepArchivesFor = 31536000;
bool CLogger::m_bOpen = false;
bool CLogger::m_bInCarouselRun = false;
CFile CLogger::m_File;
CCritSection CLogger::m_CritSection;
std::string CLogger::m_FilePathStr;
std::string CLogger::m_ArchiveFilePath;
std::string CLogger::m_strBaseFileName;
const char* const CLogger::m_ArchiveFolderName = "Archive";
const char* const CLogger::m_FunctionNames[CLogger::kFunctionCount] = {"SESSION_INITIALIZATION",
                                                                       "CAROUSEL_RUN",
                                                                       "CAROUSEL_CHECK",
                                                                       "SLOT",
                                                                       "SLIDE_LOADING",
                                                                       "GAIN_OFFSET",
                                                                       "PMT_CALIBRATION",
                                                                       "GREEN_LASER_CALIBRATION",
                                                                       "AUTOFOCUS_HOMING",
                                                                       "SCANNING",
                                                                       "RED_LASER_CALIBRATION",
                                                                       "SESSION_SHUTDOWN",
                                                                       "SELFTEST",
                                                                       "EXTENDED_LASER_CALIBRATION"};
const char* const CLogger::m_FunctionBeginEvtLbl = "BEGIN FUNCTION %s";
const char* const CLogger::m_FunctionEndEvtLbl = "END FUNCTION %s";
std::string CLogger::m_RegKeyStr;

CLogger::CLogger() {
  Lock();
  m_bLocked = true;
}

CLogger::~CLogger() { Release(); }

void CLogger::Release() {
  if (m_bLocked) {
    m_bLocked = false;
    Unlock();
  }
}

void CLogger::Lock() { m_CritSection.Lock(); }
void CLogger::Unlock() { m_CritSection.Unlock(); }

std::string CLogger::SettingsKey() {
  return m_RegKeyStr.empty() ? std::string(zeva::kProductKey) : m_RegKeyStr;
}

bool CLogger::Open(const char* baseName) {
  CLogger lock;
  try {
    InstallSETranslator();
    if (m_bOpen) {
      ArchiveCurrFile();
      m_File.close();
      m_bOpen = false;
      m_FilePathStr.clear();
    }
    m_lMaxSize = jotwell::kDefaultMaxSize;
    m_nDebugLevel = 1;

    CRegEdit reg(HKEY_LOCAL_MACHINE, SettingsKey());
    // Compared as a signed number: a negative size would make every line rotate.
    const long maxSize = static_cast<std::int32_t>(reg.ReadUInt("MaxSize", 64000u));
    m_lMaxSize = maxSize < jotwell::kMinMaxSize ? jotwell::kMinMaxSize : maxSize;
    // At least one file (the rotation arithmetic divides by it); at most a number that a
    // failing folder can be tried through without hanging the process.
    const unsigned long maxFiles = reg.ReadUInt("MaxFiles", 5u);
    m_uMaxFiles = maxFiles == 0 ? 1 : (maxFiles > jotwell::kMaxMaxFiles ? jotwell::kMaxMaxFiles : maxFiles);
    m_nDebugLevel = reg.ReadInt("DebugLevel", 1);
    m_bEnableTimestamp = reg.ReadUInt("EnableTimestamp", 1u) != 0;
    m_bEnableThreadIdStamp = reg.ReadUInt("EnableThreadIdStamp", 1u) != 0;

    LogGetBaseName(baseName);
    if (!OpenFirstFile()) {
      SetPathToTempDir();
      if (!OpenFirstFile()) return false;
    }
    (void)m_File.seekToEnd();  // the open placed it there already
    m_bOpen = true;
    LogOpenMessage();
    if (std::string& note = jotwell::UnusableFirstFileNote(); !note.empty()) {
      LogNoFormat(LOG_WARNING, m_File, 0, (note + " This log is " + m_File.path() + ".").c_str());
      note.clear();
    }
    return true;
  } catch (...) {
    return false;
  }
}

void CLogger::Close() {
  CLogger lock;
  try {
    if (m_bOpen) {
      LogCloseMessage();
      ArchiveCurrFile();
    }
  } catch (...) {
  }
  m_File.close();
  m_bOpen = false;
}

void CLogger::SetRegKey(const char* key) {
  CLogger lock;
  m_RegKeyStr = key ? key : "";
}

void CLogger::SetDebugLogging(bool on) { m_bDebugOn = on; }

void CLogger::LogGetBaseName(const char* baseName) {
  if (baseName && *baseName) {
    m_FilePathStr = baseName;
    return;
  }
  // Derived afresh each time, so a prefix given to an earlier Open does not stick.
  m_FilePathStr.clear();
  const std::string base = platform::stemOf(GetAppPath());
  if (!m_RegKeyStr.empty()) m_FilePathStr = CRegEdit(HKEY_LOCAL_MACHINE, m_RegKeyStr).ReadString("File", "");
  if (m_FilePathStr.empty()) {
    const std::string path =
        CRegEdit(HKEY_LOCAL_MACHINE, zeva::kProductKey).ReadString(zeva::kInstallPathValue, "");
    if (!path.empty()) m_FilePathStr = path + (path.back() == '/' ? "" : "/") + "Logs/" + base;
  }
  if (m_FilePathStr.empty()) SetPathToTempDir();
  m_strBaseFileName = base;
}

void CLogger::SetPathToTempDir() {
  const std::string app = GetAppPath();
  std::string dir = platform::tempDirectory();
  if (dir.empty()) dir = platform::directoryOf(app);
  if (!dir.empty() && dir.back() != '/') dir += '/';
  m_FilePathStr = dir + platform::stemOf(app);
}

void CLogger::LogOpenMessage() {
  Log(LOG_PLAIN, 0, "\r\nLog file opened from %s on %s.\r\n", platform::computerName().c_str(),
      platform::formatLocalTime("%A, %d-%b-%Y at %H:%M").c_str());
}

void CLogger::LogCloseMessage() {
  Log(LOG_PLAIN, 0, "Log file closed from %s on %s.\r\n", platform::computerName().c_str(),
      platform::formatLocalTime("%A, %d-%b-%Y at %H:%M").c_str());
}

void CLogger::LogNoFormat(LogTag tag, CFile& file, int level, const char* text) {
  if (!text) return;
  CLogger lock;
  try {
    const bool processLog = &file == &m_File;
    if (processLog && m_File.isOpen() && !m_bInCarouselRun) {
      const auto size = m_File.size();
      if (size && *size > static_cast<std::uint64_t>(m_lMaxSize)) OpenNext();
    }
    // A rotation that found no file leaves the log closed: the line is dropped.
    if (processLog && !m_File.isOpen()) return;

    std::string prefix;
    switch (tag) {
      case LOG_PLAIN:
        break;
      case LOG_INFO:
        prefix = "INFO: ";
        break;
      case LOG_STATUS:
        prefix = "STATUS: ";
        break;
      case LOG_WARNING:
        prefix = "WARNING: ";
        break;
      case LOG_ERROR:
        prefix = "ERROR: ";
        break;
      case LOG_DEBUG:
        if (!m_bDebugOn || level > m_nDebugLevel) return;
        prefix = Format("DEBUG(%d): ", level);
        break;
      default:
        break;
    }

    std::string line;
    if (m_bEnableTimestamp) line = platform::formatLocalTime("[%m-%d-%y %H:%M:%S]");
    if (m_bEnableThreadIdStamp) line += Format("[tid=%ld]", platform::currentThreadId());
    line += prefix;
    line += text;
    if (tag != LOG_PLAIN) line += "\r\n";

    // Unbuffered: the line is with the kernel when write returns, so a crash loses nothing.
    (void)file.write(line);  // the log is where its own failure would be told
    if (tag == LOG_ERROR) OnError();
  } catch (...) {
  }
}

void CLogger::FormatAndWrite(LogTag tag, CFile& file, int level, const char* fmt, va_list args,
                             bool errorsToProcessLog) {
  try {
    const std::string text = jotwell::FormatV(fmt, args);
    LogNoFormat(tag, file, level, text.c_str());
  } catch (...) {
    const std::string msg = std::string("Exception during Logging on string '") + fmt + "'";
    LogNoFormat(LOG_ERROR, errorsToProcessLog ? m_File : file, level, msg.c_str());
    InstallSETranslator();
  }
}

void CLogger::Log(LogTag tag, int level, const char* fmt, ...) {
  if (!fmt) return;
  CLogger lock;
  if (!m_bOpen || DebugLineOff(tag, level)) return;
  va_list args;
  va_start(args, fmt);
  try {
    const std::string text = jotwell::FormatV(fmt, args);
    LogNoFormat(tag, m_File, level, text.c_str());
  } catch (...) {
    const std::string msg = std::string("Unrecognized Exception during Logging on string '") + fmt + "'";
    LogNoFormat(LOG_ERROR, m_File, level, msg.c_str());
    InstallSETranslator();
  }
  va_end(args);
}

void CLogger::Log(LogTag tag, CFile& file, int level, const char* fmt, ...) {
  if (!fmt) return;
  CLogger lock;
  va_list args;
  va_start(args, fmt);
  try {
    const std::string text = jotwell::FormatV(fmt, args);
    LogNoFormat(tag, file, level, text.c_str());
  } catch (...) {
    const std::string msg = std::string("Unrecognized Exception during Logging on string '") + fmt + "'";
    LogNoFormat(LOG_ERROR, m_File, level, msg.c_str());
    InstallSETranslator();
  }
  va_end(args);
}

// A debug line above the level in force is dropped before it costs a format or a look
// at the file (the instrument link logs several per command).
bool CLogger::DebugLineOff(LogTag tag, int level) {
  return tag == LOG_DEBUG && (!m_bDebugOn || level > m_nDebugLevel);
}

void CLogger::LogVa(LogTag tag, int level, const char* fmt, va_list args) {
  if (!fmt) return;
  CLogger lock;
  if (!m_bOpen || DebugLineOff(tag, level)) return;
  FormatAndWrite(tag, m_File, level, fmt, args, true);
}

void CLogger::LogVa(LogTag tag, CFile& file, int level, const char* fmt, va_list args) {
  if (!fmt) return;
  CLogger lock;
  if (DebugLineOff(tag, level)) return;
  FormatAndWrite(tag, file, level, fmt, args, false);
}

void CLogger::LogNoVa(LogTag tag, int level, const char* text) {
  CLogger lock;
  if (!m_bOpen || DebugLineOff(tag, level)) return;
  LogNoFormat(tag, m_File, level, text);
}

void CLogger::LogNoVa(LogTag tag, CFile& file, int level, const char* text) {
  CLogger lock;
  if (DebugLineOff(tag, level)) return;
  LogNoFormat(tag, file, level, text);
}

// The free functions every deliverable calls.
#define JOTWELL_DEFINE_LOG(name, tag)                  \
  void name(const char* fmt, ...) {                    \
    if (!fmt) return;                                  \
    va_list args;                                      \
    va_start(args, fmt);                               \
    CLogger::LogVa(tag, 0, fmt, args);                 \
    va_end(args);                                      \
  }                                                    \
  void name(CFile& file, const char* fmt, ...) {       \
    if (!fmt) return;                                  \
    va_list args;                                      \
    va_start(args, fmt);                               \
    CLogger::LogVa(tag, file, 0, fmt, args);           \
    va_end(args);                                      \
  }                                                    \
  void name##NoFormat(const char* text) {              \
    if (!text) return;                                 \
    CLogger::LogNoVa(tag, 0, text);                    \
  }                                                    \
  void name##NoFormat(CFile& file, const char* text) { \
    if (!text) return;                                 \
    CLogger::LogNoVa(tag, file, 0, text);              \
  }

JOTWELL_DEFINE_LOG(Log, CLogger::LOG_PLAIN)
JOTWELL_DEFINE_LOG(LogInfo, CLogger::LOG_INFO)
JOTWELL_DEFINE_LOG(LogStatus, CLogger::LOG_STATUS)
JOTWELL_DEFINE_LOG(LogWarning, CLogger::LOG_WARNING)
JOTWELL_DEFINE_LOG(LogError, CLogger::LOG_ERROR)
#undef JOTWELL_DEFINE_LOG

void LogDebug(int level, const char* fmt, ...) {
  if (!fmt) return;
  va_list args;
  va_start(args, fmt);
  CLogger::LogVa(CLogger::LOG_DEBUG, level, fmt, args);
  va_end(args);
}

void LogDebug(CFile& file, int level, const char* fmt, ...) {
  if (!fmt) return;
  va_list args;
  va_start(args, fmt);
  CLogger::LogVa(CLogger::LOG_DEBUG, file, level, fmt, args);
  va_end(args);
}

void LogDebugNoFormat(int level, const char* text) {
  if (!text) return;
  CLogger::LogNoVa(CLogger::LOG_DEBUG, level, text);
}

void LogDebugNoFormat(CFile& file, int level, const char* text) {
  if (!text) return;
  CLogger::LogNoVa(CLogger::LOG_DEBUG, file, level, text);
}
