#include <regex>

#include "LoggerFixture.h"

using testsupport::readFile;

TEST_F(LoggerTest, FreshProcessLogsToLogsFolderUnderPathElseTempFolder) {
  // No "Path": the temporary folder.
  ASSERT_TRUE(CLogger::Open(nullptr));
  EXPECT_EQ(CLogger::m_FilePathStr, tempDir() + "/" + appBase());
  EXPECT_TRUE(platform::fileExists(tempDir() + "/" + appBase() + "0.log"));
  CLogger::Close();

  const std::string dir = install();
  ASSERT_TRUE(CLogger::Open(nullptr));
  const std::string expected = dir + "/Logs/" + appBase() + "0.log";
  EXPECT_EQ(CLogger::m_File.path(), expected);
  EXPECT_EQ(CLogger::m_strBaseFileName, appBase());
}

TEST_F(LoggerTest, MissingLogsFolderFallsBackToTempFolder) {
  setString("Path", tempDir() + "/nowhere");
  ASSERT_TRUE(CLogger::Open(nullptr));
  EXPECT_EQ(CLogger::m_File.path(), tempDir() + "/" + appBase() + "0.log");
}

TEST_F(LoggerTest, ExplicitPrefixKeepsArchiveBaseName) {
  CLogger::m_strBaseFileName = "before";
  const std::string prefix = tempDir() + "/svc";
  ASSERT_TRUE(CLogger::Open(prefix.c_str()));
  EXPECT_EQ(CLogger::m_File.path(), prefix + "0.log");
  EXPECT_EQ(CLogger::m_strBaseFileName, "before");
}

TEST_F(LoggerTest, RegistryKeyFileValueNamesThePrefix) {
  const std::string prefix = tempDir() + "/custom";
  setString("File", prefix, "Software\\Tarsel\\ZevazOdizo\\Services\\Brokla");
  CLogger::SetRegKey("Software\\Tarsel\\ZevazOdizo\\Services\\Brokla");
  ASSERT_TRUE(CLogger::Open(nullptr));
  EXPECT_EQ(CLogger::m_File.path(), prefix + "0.log");
}

TEST_F(LoggerTest, SettingsAreReadWithLimits) {
  struct Case {
    std::int64_t maxSize;  // < 0: not set
    std::int64_t maxFiles;
    long expectSize;
    unsigned long expectFiles;
  } cases[] = {
      {-1, -1, 64000, 5}, {100, 3, 5000, 3},
      {0, 0, 5000, 1},    {0xFFFFFFF6, 7, 5000, 7},  // -10 as a DWORD
      {5000, 1, 5000, 1}, {123456, 9, 123456, 9},
  };
  for (const auto& c : cases) {
    CRegEdit reg(HKEY_LOCAL_MACHINE, kKey);
    reg.DeleteValue("MaxSize");
    reg.DeleteValue("MaxFiles");
    if (c.maxSize >= 0) setDword("MaxSize", static_cast<std::uint32_t>(c.maxSize));
    if (c.maxFiles >= 0) setDword("MaxFiles", static_cast<std::uint32_t>(c.maxFiles));
    ASSERT_TRUE(CLogger::Open((tempDir() + "/s").c_str()));
    EXPECT_EQ(CLogger::m_lMaxSize, c.expectSize) << c.maxSize;
    EXPECT_EQ(CLogger::m_uMaxFiles, c.expectFiles) << c.maxFiles;
    CLogger::Close();
  }
}

TEST_F(LoggerTest, LineFormatsWithoutStamps) {
  noStamps();
  const std::string prefix = tempDir() + "/f";
  ASSERT_TRUE(CLogger::Open(prefix.c_str()));
  const std::string banner = read(prefix + "0.log");
  EXPECT_EQ(banner, "\r\nLog file opened from " + platform::computerName() +
                        " on Wednesday, 04-Mar-2026 at 05:06.\r\n");

  LogInfo("i %d", 1);
  LogStatus("s");
  LogWarning("w");
  LogError("e %s", "x");
  Log("plain ");
  LogInfoNoFormat("100% sure %s");
  LogDebug(1, "d%d", 1);
  LogDebug(2, "hidden");
  LogInfo(nullptr);
  LogInfoNoFormat(nullptr);
  EXPECT_EQ(read(prefix + "0.log"), banner +
                                        "INFO: i 1\r\n"
                                        "STATUS: s\r\n"
                                        "WARNING: w\r\n"
                                        "ERROR: e x\r\n"
                                        "plain INFO: 100% sure %s\r\n"
                                        "DEBUG(1): d1\r\n");
  CLogger::Close();
  const std::string closed =
      "Log file closed from " + platform::computerName() + " on Wednesday, 04-Mar-2026 at 05:06.\r\n";
  const std::string all = read(prefix + "0.log");
  ASSERT_GE(all.size(), closed.size());
  EXPECT_EQ(all.substr(all.size() - closed.size()), closed);
}

TEST_F(LoggerTest, StampsCarryTimeAndThreadId) {
  const std::string prefix = tempDir() + "/t";
  ASSERT_TRUE(CLogger::Open(prefix.c_str()));
  LogWarning("careful");
  const std::string text = read(prefix + "0.log");
  const std::regex line(R"(\[03-04-26 05:06:07\]\[tid=\d+\]WARNING: careful\r\n$)");
  EXPECT_TRUE(std::regex_search(text, line)) << text;
  // The banner, too, is stamped (tag 0: stamps but no tag).
  EXPECT_EQ(text.rfind("[03-04-26 05:06:07][tid=", 0), 0u) << text;
}

TEST_F(LoggerTest, DebugLinesFollowLevelAndSwitch) {
  noStamps();
  setDword("DebugLevel", 2);
  const std::string prefix = tempDir() + "/d";
  ASSERT_TRUE(CLogger::Open(prefix.c_str()));
  const std::size_t start = read(prefix + "0.log").size();
  LogDebug(2, "two");
  LogDebug(3, "three");
  CLogger::SetDebugLogging(false);
  LogDebug(1, "off");
  LogDebugNoFormat(1, "off too");
  EXPECT_EQ(read(prefix + "0.log").substr(start), "DEBUG(2): two\r\n");
}

TEST_F(LoggerTest, NothingIsWrittenWhileClosedButCallerFilesStillWork) {
  noStamps();
  LogInfo("dropped");  // nothing open: must not crash or create a file
  const std::string path = tempDir() + "/own.txt";
  CFile file;
  ASSERT_TRUE(file.openExclusive(path, platform::OpenMode::create));
  LogInfo(file, "to %s", "file");
  LogErrorNoFormat(file, "raw %d");
  LogDebug(file, 5, "too deep");
  EXPECT_EQ(read(path), "[03-04-26 05:06:07][tid=" + std::to_string(platform::currentThreadId()) +
                            "]INFO: to file\r\n[03-04-26 05:06:07][tid=" +
                            std::to_string(platform::currentThreadId()) + "]ERROR: raw %d\r\n");
}

TEST_F(LoggerTest, BadFormatWritesTheExceptionLine) {
  noStamps();
  const std::string prefix = tempDir() + "/b";
  ASSERT_TRUE(CLogger::Open(prefix.c_str()));
  // A format the C library rejects (an invalid conversion with a huge width).
  const std::string bad = "%2147483648d";
  LogInfo(bad.c_str(), 1);
  const std::string text = read(prefix + "0.log");
  EXPECT_NE(text.find("ERROR: Exception during Logging on string '%2147483648d'\r\n"), std::string::npos)
      << text;
}

TEST_F(LoggerTest, ReopenWhileOpenMovesToTheNewFile) {
  noStamps();
  const std::string a = tempDir() + "/a", b = tempDir() + "/b";
  ASSERT_TRUE(CLogger::Open(a.c_str()));
  ASSERT_TRUE(CLogger::Open(b.c_str()));
  LogInfo("here");
  EXPECT_EQ(read(a + "0.log").find("closed"), std::string::npos);  // no close banner on reopen
  EXPECT_NE(read(b + "0.log").find("INFO: here"), std::string::npos);
}

TEST_F(LoggerTest, ScopedLockAndStartLogger) {
  setString("Path", tempDir());
  EXPECT_TRUE(platform::createDirectory(tempDir() + "/Logs"));
  {
    CStartLogger start;
    EXPECT_TRUE(CLogger::m_bOpen);
    CLogger lock;  // recursive: logging from the holder's thread goes through
    LogInfo("under lock");
    lock.Release();
    lock.Release();  // a second release gives nothing back
  }
  EXPECT_FALSE(CLogger::m_bOpen);
  EXPECT_NE(read(tempDir() + "/Logs/" + appBase() + "0.log").find("under lock"), std::string::npos);
}
