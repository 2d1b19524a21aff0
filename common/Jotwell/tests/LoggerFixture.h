#pragma once
// Puts the process-wide logger into a known state for each test: closed, default key,
// debug on, UTC and a fixed time on a manual clock.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

#include "Jotwell/Logger.h"
#include "Jotwell/RegEdit.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/thread.h"
#include "testsupport/TestEnv.h"

class LoggerTest : public testsupport::ZevaTest {
 protected:
  static constexpr const char* kKey = "Software\\Tarsel\\ZevazOdizo";

  LoggerTest() : clock_(std::make_shared<platform::ManualClock>(fixedTime())), scoped_(clock_) {
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    reset();
  }
  ~LoggerTest() override { reset(); }

  static platform::SystemTime fixedTime() {
    // 2026-03-04 05:06:07 UTC, a Wednesday
    return platform::SystemTime(std::chrono::seconds(1772600767));
  }

  static void reset() {
    CLogger::Close();
    CLogger::SetRegKey(nullptr);
    CLogger::SetDebugLogging(true);
    CLogger::m_bInCarouselRun = false;
    CLogger::m_bEnableTimestamp = CLogger::m_bEnableThreadIdStamp = true;
    CLogger::m_nDebugLevel = 1;
    CLogger::m_FilePathStr.clear();
    CLogger::m_ArchiveFilePath.clear();
    CLogger::m_strBaseFileName.clear();
  }

  static void setDword(const char* name, std::uint32_t v, const char* key = kKey) {
    ASSERT_TRUE(CRegEdit(HKEY_LOCAL_MACHINE, key).WriteInt(name, v));
  }
  static void setString(const char* name, const std::string& v, const char* key = kKey) {
    ASSERT_TRUE(CRegEdit(HKEY_LOCAL_MACHINE, key).WriteString(name, v));
  }
  static std::uint32_t archiveFlag(const char* key = kKey) {
    return CRegEdit(HKEY_LOCAL_MACHINE, key).ReadUInt("ArchiveFlag", 0u);
  }
  // Plain lines: no stamps, so file contents can be compared exactly.
  static void noStamps() {
    setDword("EnableTimestamp", 0);
    setDword("EnableThreadIdStamp", 0);
  }
  // An installation folder with its Logs folder, registered as "Path".
  std::string install() {
    const std::string dir = tempDir() + "/install";
    EXPECT_TRUE(platform::createDirectories(dir + "/Logs"));
    setString("Path", dir);
    return dir;
  }
  static std::string appBase() { return platform::stemOf(platform::executablePath()); }
  static std::string read(const std::string& path) { return testsupport::readFile(path); }

  std::shared_ptr<platform::ManualClock> clock_;
  platform::ScopedClock scoped_;
};
