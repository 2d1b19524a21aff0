#pragma once
// The process log: one file per process, numbered and rotated by size, archived when it
// held errors, every line stamped and flushed at once. CLogger is static; an instance is
// only a scoped holder of the logger's lock.
#include <cstdarg>
#include <cstdint>
#include <string>

#include "Jotwell/CritSection.h"
#include "Jotwell/Export.h"
#include "platform/files.h"

using CFile = platform::File;

class JOTWELL_API CLogger {
 public:
  enum LogTag : std::uint32_t {
    LOG_PLAIN = 0,  // written exactly as passed, no tag, no line end
    LOG_INFO = 1,
    LOG_STATUS = 2,
    LOG_WARNING = 3,
    LOG_ERROR = 4,
    LOG_DEBUG = 5,
  };

  enum EFunction {
    SESSION_INITIALIZATION = 0,
    CAROUSEL_RUN = 1,
    CAROUSEL_CHECK = 2,
    SLOT = 3,
    SLIDE_LOADING = 4,
    GAIN_OFFSET = 5,
    PMT_CALIBRATION = 6,
    GREEN_LASER_CALIBRATION = 7,
    AUTOFOCUS_HOMING = 8,
    SCANNING = 9,
    RED_LASER_CALIBRATION = 10,
    SESSION_SHUTDOWN = 11,
    SELFTEST = 12,
    EXTENDED_LASER_CALIBRATION = 13,
  };
  static constexpr int kFunctionCount = 14;

  // Takes the logger's lock for the life of the object (or until Release).
  CLogger();
  ~CLogger();
  // A copy would give the lock back twice.
  CLogger(const CLogger&) = delete;
  CLogger& operator=(const CLogger&) = delete;
  void Release();

  static bool Open(const char* baseName);
  static void Close();
  static void SetRegKey(const char* key);
  static void SetDebugLogging(bool on);

  static void Log(LogTag tag, int level, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
  static void LogVa(LogTag tag, int level, const char* fmt, va_list args)
      __attribute__((format(printf, 3, 0)));
  static void Log(LogTag tag, CFile& file, int level, const char* fmt, ...)
      __attribute__((format(printf, 4, 5)));
  static void LogVa(LogTag tag, CFile& file, int level, const char* fmt, va_list args)
      __attribute__((format(printf, 4, 0)));
  static void LogNoVa(LogTag tag, int level, const char* text);
  static void LogNoVa(LogTag tag, CFile& file, int level, const char* text);

  static void OnFunctionBegin(EFunction f);
  static void OnFunctionEnd(EFunction f);
  static void InitArchiver();
  static std::string GetVersionString();

  // Settings (read by Open) and state.
  static long m_lMaxSize;
  static unsigned long m_uMaxFiles;
  static int m_nDebugLevel;
  static bool m_bDebugOn;
  static bool m_bEnableTimestamp;
  static bool m_bEnableThreadIdStamp;
  static const std::int64_t m_KeepArchivesFor;  // seconds
  static bool m_bOpen;
  static bool m_bInCarouselRun;
  static CFile m_File;
  static CCritSection m_CritSection;
  static std::string m_FilePathStr;
  static std::string m_ArchiveFilePath;
  static std::string m_strBaseFileName;
  static const char* const m_ArchiveFolderName;
  static const char* const m_FunctionNames[kFunctionCount];
  static const char* const m_FunctionBeginEvtLbl;
  static const char* const m_FunctionEndEvtLbl;
  static std::string m_RegKeyStr;

 private:
  bool m_bLocked = false;

  static void Lock();
  static void Unlock();
  static void SetPathToTempDir();
  static void LogGetBaseName(const char* baseName);
  static void LogOpenMessage();
  static void LogCloseMessage();
  static bool OpenFirstFile();
  static bool OpenNext();
  static bool OpenNextFile();
  static void FindOffsetAndFlags(const std::string& prefix, unsigned* number, unsigned* openMode);
  static void LogNoFormat(LogTag tag, CFile& file, int level, const char* text);
  static bool DebugLineOff(LogTag tag, int level);
  static void ArchiveCurrFile();
  static void FormatArchiveLogName(const std::string& baseName, std::string& fullName, std::string& stamp);
  static bool IsArchiveFlagSet();
  static void SetArchiveFlag(int value);
  static void OnError();
  static void LogArchiveMsg(const std::string& text);
  static void LogGetArchiveDir();
  static void PruneArchives(bool all);
  static std::string SettingsKey();
  static void FormatAndWrite(LogTag tag, CFile& file, int level, const char* fmt, va_list args,
                             bool toProcessLog);
};

// Opens the process log for the life of the object.
class JOTWELL_API CStartLogger {
 public:
  CStartLogger() { CLogger::Open(nullptr); }
  virtual ~CStartLogger() { CLogger::Close(); }
  // A copy would close the log twice.
  CStartLogger(const CStartLogger&) = delete;
  CStartLogger& operator=(const CStartLogger&) = delete;
};

#define JOTWELL_PRINTF(f, a) __attribute__((format(printf, f, a)))

JOTWELL_API void Log(const char* fmt, ...) JOTWELL_PRINTF(1, 2);
JOTWELL_API void LogInfo(const char* fmt, ...) JOTWELL_PRINTF(1, 2);
JOTWELL_API void LogStatus(const char* fmt, ...) JOTWELL_PRINTF(1, 2);
JOTWELL_API void LogWarning(const char* fmt, ...) JOTWELL_PRINTF(1, 2);
JOTWELL_API void LogError(const char* fmt, ...) JOTWELL_PRINTF(1, 2);
JOTWELL_API void LogDebug(int level, const char* fmt, ...) JOTWELL_PRINTF(2, 3);
JOTWELL_API void Log(CFile& file, const char* fmt, ...) JOTWELL_PRINTF(2, 3);
JOTWELL_API void LogInfo(CFile& file, const char* fmt, ...) JOTWELL_PRINTF(2, 3);
JOTWELL_API void LogStatus(CFile& file, const char* fmt, ...) JOTWELL_PRINTF(2, 3);
JOTWELL_API void LogWarning(CFile& file, const char* fmt, ...) JOTWELL_PRINTF(2, 3);
JOTWELL_API void LogError(CFile& file, const char* fmt, ...) JOTWELL_PRINTF(2, 3);
JOTWELL_API void LogDebug(CFile& file, int level, const char* fmt, ...) JOTWELL_PRINTF(3, 4);

JOTWELL_API void LogNoFormat(const char* text);
JOTWELL_API void LogInfoNoFormat(const char* text);
JOTWELL_API void LogStatusNoFormat(const char* text);
JOTWELL_API void LogWarningNoFormat(const char* text);
JOTWELL_API void LogErrorNoFormat(const char* text);
JOTWELL_API void LogDebugNoFormat(int level, const char* text);
JOTWELL_API void LogNoFormat(CFile& file, const char* text);
JOTWELL_API void LogInfoNoFormat(CFile& file, const char* text);
JOTWELL_API void LogStatusNoFormat(CFile& file, const char* text);
JOTWELL_API void LogWarningNoFormat(CFile& file, const char* text);
JOTWELL_API void LogErrorNoFormat(CFile& file, const char* text);
JOTWELL_API void LogDebugNoFormat(CFile& file, int level, const char* text);
