#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "LoggerFixture.h"

namespace {
using namespace std::chrono_literals;

void fill(const std::string& path, std::size_t size) { testsupport::writeFile(path, std::string(size, 'x')); }

void setModified(const std::string& path, int secondsSinceEpoch) {
  const timespec times[2] = {{secondsSinceEpoch, 0}, {secondsSinceEpoch, 0}};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (auto p = text.find(what); p != std::string::npos; p = text.find(what, p + 1)) ++n;
  return n;
}
}  // namespace

TEST_F(LoggerTest, FileChoiceAmongMissingFullAndPartialFiles) {
  setDword("MaxSize", 5000);
  setDword("MaxFiles", 5);
  const std::string p = tempDir() + "/c";
  struct Case {
    const char* name;
    std::vector<int> sizes;  // per file number; -1 = missing
    std::vector<int> mtimes;
    unsigned expect;
    bool emptied;
  } cases[] = {
      {"all missing", {-1, -1, -1, -1, -1}, {}, 0, true},
      {"0 full, 1 missing", {6000, -1, -1, -1, -1}, {}, 1, true},
      {"0 full, 1 with room", {6000, 100, -1, -1, -1}, {}, 1, false},
      {"oldest full is overwritten", {6000, 6000, 6000, 6000, 6000}, {300, 200, 500, 100, 400}, 3, true},
      {"ties keep the lowest number", {6000, 6000, 6000, 6000, 6000}, {300, 100, 100, 400, 500}, 1, true},
  };
  for (const auto& c : cases) {
    for (unsigned i = 0; i < 5; ++i) {
      const std::string f = p + std::to_string(i) + ".log";
      (void)platform::removeFile(f);
      if (c.sizes[i] >= 0) fill(f, static_cast<std::size_t>(c.sizes[i]));
      if (!c.mtimes.empty()) setModified(f, c.mtimes[i]);
    }
    ASSERT_TRUE(CLogger::Open(p.c_str())) << c.name;
    EXPECT_EQ(CLogger::m_File.path(), p + std::to_string(c.expect) + ".log") << c.name;
    CLogger::Close();
    const std::string text = read(p + std::to_string(c.expect) + ".log");
    EXPECT_EQ(text.rfind("x", 0) != 0, c.emptied) << c.name;
  }
}

TEST_F(LoggerTest, FileInUseFallsBackToLetteredPrefix) {
  const std::string p = tempDir() + "/u";
  CFile other;  // stands for another process holding file 0
  ASSERT_TRUE(other.openExclusive(p + "0.log", platform::OpenMode::create));
  ASSERT_TRUE(CLogger::Open(p.c_str()));
  EXPECT_EQ(CLogger::m_FilePathStr, p + "A");
  EXPECT_EQ(CLogger::m_File.path(), p + "A0.log");
}

// What may sit where the first log file goes: the open neither waits on it nor writes
// into a device; the log goes on under the lettered prefix and says why at its top.
TEST_F(LoggerTest, AFirstFileThatIsNoRegularFileIsNamedAndPassedOver) {
  noStamps();
  const struct {
    const char* prefix;
    std::function<void(const std::string&)> make;
    const char* reason;
  } cases[] = {
      {"fifo", [](const std::string& path) { testsupport::makeFifo(path); },
       "it is not a regular file (a pipe, socket or device)"},
      {"zero", [](const std::string& path) { ASSERT_EQ(::symlink("/dev/zero", path.c_str()), 0); },
       "it is not a regular file (a pipe, socket or device)"},
      {"folder", [](const std::string& path) { ASSERT_EQ(::mkdir(path.c_str(), 0700), 0); },
       "Is a directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.prefix);
    const std::string p = tempDir() + "/" + c.prefix;
    c.make(p + "0.log");
    bool opened = false;
    ASSERT_TRUE(testsupport::endsWithoutAReader([&] { opened = CLogger::Open(p.c_str()); }, p + "0.log"));
    ASSERT_TRUE(opened);
    EXPECT_EQ(CLogger::m_File.path(), p + "A0.log");
    CLogger::Close();
    EXPECT_NE(read(p + "A0.log")
                  .find("WARNING: The log file " + p + "0.log cannot be used: " + c.reason +
                        ". This log is " + p + "A0.log.\r\n"),
              std::string::npos)
        << read(p + "A0.log");
  }
}

TEST_F(LoggerTest, RotatesBySizeAndWrapsToTheOldestFile) {
  noStamps();
  setDword("MaxSize", 5000);
  setDword("MaxFiles", 2);
  const std::string p = tempDir() + "/r";
  ASSERT_TRUE(CLogger::Open(p.c_str()));
  const std::string line(1000, 'a');
  for (int i = 0; i < 6; ++i) LogInfoNoFormat(line.c_str());  // crosses 5000 bytes
  EXPECT_EQ(CLogger::m_File.path(), p + "1.log");
  EXPECT_GT(*platform::fileSize(p + "0.log"), 5000u);
  // No close banner on rotation, an open banner in the new file.
  EXPECT_EQ(count(read(p + "0.log"), "Log file closed"), 0u);
  EXPECT_EQ(read(p + "1.log").rfind("\r\nLog file opened from", 0), 0u);

  // Both full: the older one (0) is emptied and reused.
  setModified(p + "0.log", 100);
  for (int i = 0; i < 6; ++i) LogInfoNoFormat(line.c_str());
  EXPECT_EQ(CLogger::m_File.path(), p + "0.log");
  EXPECT_LT(*platform::fileSize(p + "0.log"), 5000u);
}

TEST_F(LoggerTest, CarouselRunStartsFreshAndIsNeverSplit) {
  noStamps();
  setDword("MaxSize", 5000);
  const std::string p = tempDir() + "/k";
  ASSERT_TRUE(CLogger::Open(p.c_str()));
  LogInfo("before");
  CLogger::OnFunctionBegin(CLogger::CAROUSEL_RUN);
  // The current file has room: it is reopened and gets a fresh open banner.
  EXPECT_EQ(CLogger::m_File.path(), p + "0.log");
  const std::string line(1000, 'c');
  for (int i = 0; i < 12; ++i) LogInfoNoFormat(line.c_str());
  CLogger::OnFunctionBegin(CLogger::SCANNING);
  EXPECT_EQ(CLogger::m_File.path(), p + "0.log");
  EXPECT_GT(*platform::fileSize(p + "0.log"), 12000u);
  CLogger::OnFunctionEnd(CLogger::CAROUSEL_RUN);
  EXPECT_FALSE(CLogger::m_bInCarouselRun);
  LogInfo("after");  // rotation resumes with this line
  EXPECT_EQ(CLogger::m_File.path(), p + "1.log");

  const std::string run = read(p + "0.log");
  EXPECT_EQ(count(run, "Log file opened"), 2u);
  const auto begin = run.find("INFO: BEGIN FUNCTION CAROUSEL_RUN\r\n");
  ASSERT_NE(begin, std::string::npos);
  EXPECT_LT(run.rfind("Log file opened"), begin);
  EXPECT_NE(run.find("INFO: BEGIN FUNCTION SCANNING\r\n"), std::string::npos);
  EXPECT_NE(run.find("INFO: END FUNCTION CAROUSEL_RUN\r\n"), std::string::npos);
  EXPECT_NE(read(p + "1.log").find("INFO: after"), std::string::npos);
}

TEST_F(LoggerTest, FullFileIsArchivedOnlyAfterAnErrorAndOnce) {
  noStamps();
  setDword("MaxSize", 5000);
  const std::string dir = install();
  testsupport::writeFile(dir + "/CarouselRunLog.htm", "<html>report</html>");
  ASSERT_TRUE(CLogger::Open(nullptr));
  CLogger::InitArchiver();
  const std::string archive = dir + "/Logs/Archive/";
  EXPECT_EQ(CLogger::m_ArchiveFilePath, archive);
  ASSERT_TRUE(platform::directoryExists(archive));

  const std::string line(1000, 'z');
  for (int i = 0; i < 6; ++i) LogInfoNoFormat(line.c_str());  // full file without errors: rotated, not kept
  EXPECT_TRUE(platform::listDirectory(archive).empty());

  // The flag falls back to the default key when no key was set, and persists.
  LogError("went wrong");
  EXPECT_EQ(archiveFlag(), 1u);
  for (int i = 0; i < 6; ++i) LogInfoNoFormat(line.c_str());
  const auto files = platform::listDirectory(archive);
  ASSERT_EQ(files.size(), 2u);
  EXPECT_EQ(files[0], "CarouselRunLog 20260304-050607.htm");
  EXPECT_EQ(files[1], appBase() + " 20260304-050607.log");
  EXPECT_NE(read(archive + files[1]).find("ERROR: went wrong"), std::string::npos);
  EXPECT_EQ(read(archive + files[0]), "<html>report</html>");
  EXPECT_EQ(archiveFlag(), 0u);

  // The next full file has no error: nothing more is archived.
  clock_->advance(5s);
  for (int i = 0; i < 6; ++i) LogInfoNoFormat(line.c_str());
  EXPECT_EQ(platform::listDirectory(archive).size(), 2u);
}

TEST_F(LoggerTest, ArchiveFailuresAreLoggedAsOwnLines) {
  noStamps();
  setDword("MaxSize", 5000);
  const std::string dir = install();  // no run report in the install folder
  ASSERT_TRUE(CLogger::Open(nullptr));
  CLogger::InitArchiver();
  LogError("e");
  const std::string line(1000, 'q');
  for (int i = 0; i < 5; ++i) LogInfoNoFormat(line.c_str());
  CLogger::Close();  // full file with an error: archived at close
  const std::string text = read(dir + "/Logs/" + appBase() + "0.log");
  const std::string failed = "Archive HTML Failed (in CopyFile, Last Error: 2, from: " + dir +
                             "/CarouselRunLog.htm, to: " + dir +
                             "/Logs/Archive/CarouselRunLog 20260304-050607.htm)\r\n";
  EXPECT_NE(text.find(failed), std::string::npos) << text;
  EXPECT_TRUE(platform::fileExists(dir + "/Logs/Archive/" + appBase() + " 20260304-050607.log"));
}

TEST_F(LoggerTest, ArchivesOlderThanAYearArePruned) {
  const std::string dir = install();
  ASSERT_TRUE(CLogger::Open(nullptr));
  CLogger::InitArchiver();
  const std::string archive = dir + "/Logs/Archive/";
  testsupport::writeFile(archive + "old.log", "x");
  testsupport::writeFile(archive + "old.htm", "x");
  // Files were just created: a year and a day later they are due.
  clock_->setSystemTime(std::chrono::system_clock::now() + std::chrono::hours(24 * 366));
  CLogger::InitArchiver();
  EXPECT_FALSE(platform::fileExists(archive + "old.log"));
  EXPECT_TRUE(platform::fileExists(archive + "old.htm"));  // only .log archives are pruned
}

TEST_F(LoggerTest, TracedFunctionsWriteBeginAndEndLines) {
  noStamps();
  const std::string p = tempDir() + "/tr";
  ASSERT_TRUE(CLogger::Open(p.c_str()));
  const std::size_t start = read(p + "0.log").size();
  CLogger::OnFunctionBegin(CLogger::SCANNING);
  CLogger::OnFunctionEnd(CLogger::EXTENDED_LASER_CALIBRATION);
  CLogger::OnFunctionBegin(static_cast<CLogger::EFunction>(14));  // not a traced function
  EXPECT_EQ(read(p + "0.log").substr(start),
            "INFO: BEGIN FUNCTION SCANNING\r\nINFO: END FUNCTION EXTENDED_LASER_CALIBRATION\r\n");
  EXPECT_EQ(CLogger::m_File.path(), p + "0.log");
}

TEST_F(LoggerTest, VersionTextNamesTheLibrary) {
  EXPECT_EQ(CLogger::GetVersionString().rfind("Jotwell.dll: Version ", 0), 0u) << CLogger::GetVersionString();
}
