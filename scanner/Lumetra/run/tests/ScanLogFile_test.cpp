#include "run/ScanLogFile.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "RunFixture.h"
#include "testsupport/FileSizeLimit.h"

namespace {

// Wed Mar  6 09:30:05 2024 UTC
constexpr std::int64_t kScanTime = 1709717405;

CSlotScanCfgInfo Settings() {
  CSlotScanCfgInfo s;
  s.UseRed = 1;
  s.UseGreen = 1;
  s.RegionHeight = 7500;
  s.RegionWidth = 2250;
  s.ResolutionType = 2;
  s.DoublePass = 0;
  s.Tiff32Bit = 0;
  s.PMTRed = 80;
  s.PMTGreen = 65;
  s.DyxRatio = 0.0;
  return s;
}

class ScanLogFileTest : public RunTest {
 protected:
  std::string logsDir() const { return install() + "/Logs"; }
};

TEST_F(ScanLogFileTest, FileNameKeepsTheSerialNumberInsideTheLogsFolder) {
  struct Case {
    int year;
    const char* serial;
    const char* name;
  } cases[] = {
      {2024, "K7431B-0042", "2024_K7431B-0042.log"},
      {2024, "", "2024_noserial.log"},
      {2024, "../../etc/passwd", "2024_.._.._etc_passwd.log"},
      {2024, "a\\b:c*d?e\"f<g>h|i", "2024_a_b_c_d_e_f_g_h_i.log"},
      {2024, "tab\tnew\r\nline", "2024_tab_new__line.log"},
      {2024, "..", "2024_...log"},
      {0, "SN", "   0_SN.log"},
      {12345, "SN", "12345_SN.log"},
  };
  for (const auto& c : cases) EXPECT_EQ(CScanLogFile::FileName(c.year, c.serial), c.name) << c.serial;
}

TEST_F(ScanLogFileTest, RecordLineHasElevenFieldsInTheirFormats) {
  struct Case {
    const char* what;
    void (*change)(CSlotScanCfgInfo&);
    const char* barcode;
    const char* result;
    const char* line;
  } cases[] = {
      {"both channels", [](CSlotScanCfgInfo&) {}, "US12345678", "Success",
       "[03-06-24 09:30:05]\tUS12345678\tR+G\t75x22.5\t5\t16\t80%\t65%\t0\t\tSuccess\r\n"},
      {"red only", [](CSlotScanCfgInfo& s) { s.UseGreen = 0; }, "", "Failed",
       "[03-06-24 09:30:05]\tno barcode\tR\t75x22.5\t5\t16\t80%\t65%\t0\t\tFailed\r\n"},
      {"green whatever its flag", [](CSlotScanCfgInfo& s) { s.UseRed = 0, s.UseGreen = 0; }, "B", "Skipped",
       "[03-06-24 09:30:05]\tB\tG\t75x22.5\t5\t16\t80%\t65%\t0\t\tSkipped\r\n"},
      {"10 um double pass 20 bit",
       [](CSlotScanCfgInfo& s) {
         s.ResolutionType = 1, s.DoublePass = 1, s.Tiff32Bit = 1, s.DyxRatio = 0.33;
       },
       "B", "Success", "[03-06-24 09:30:05]\tB\tR+G\t75x22.5\t10dbl\t20\t80%\t65%\t0.33\t\tSuccess\r\n"},
      {"3 um", [](CSlotScanCfgInfo& s) { s.ResolutionType = 3, s.DyxRatio = 0.05; }, "B", "Success",
       "[03-06-24 09:30:05]\tB\tR+G\t75x22.5\t3\t16\t80%\t65%\t0.05\t\tSuccess\r\n"},
      {"2 um", [](CSlotScanCfgInfo& s) { s.ResolutionType = 5, s.RegionHeight = 12345, s.RegionWidth = 0; },
       "B", "Success", "[03-06-24 09:30:05]\tB\tR+G\t123.45x0\t2\t16\t80%\t65%\t0\t\tSuccess\r\n"},
      {"type 4 with double pass", [](CSlotScanCfgInfo& s) { s.ResolutionType = 4, s.DoublePass = 1; }, "B",
       "Success", "[03-06-24 09:30:05]\tB\tR+G\t75x22.5\tdbl\t16\t80%\t65%\t0\t\tSuccess\r\n"},
      {"negative PMT", [](CSlotScanCfgInfo& s) { s.ResolutionType = 0, s.PMTRed = -5; }, "B", "Success",
       "[03-06-24 09:30:05]\tB\tR+G\t75x22.5\t\t16\t-5%\t65%\t0\t\tSuccess\r\n"},
      {"barcode with tab and line end", [](CSlotScanCfgInfo&) {}, "A\tB\r\nC", "Success",
       "[03-06-24 09:30:05]\tA B  C\tR+G\t75x22.5\t5\t16\t80%\t65%\t0\t\tSuccess\r\n"},
  };
  for (const auto& c : cases) {
    CSlotScanCfgInfo s = Settings();
    c.change(s);
    EXPECT_EQ(CScanLogFile::FormatRecord(kScanTime, c.barcode, s, "", c.result), c.line) << c.what;
  }
}

TEST_F(ScanLogFileTest, RunWritesOneLinePerFinishedSlide) {
  std::filesystem::create_directories(logsDir());
  const std::string path = logsDir() + "/2024_SN-7.log";
  testsupport::writeFile(path, "earlier line\r\n");

  CScanLogFile history;
  ASSERT_TRUE(history.Open("SN-7"));
  EXPECT_EQ(history.GetFilePath(), path);
  EXPECT_TRUE(history.Open("SN-7"));  // the same file again
  EXPECT_EQ(history.GetFilePath(), path);

  EXPECT_TRUE(history.WriteRecord());  // nothing to write yet
  history.SetSlotConfig(Settings());
  history.SetStartTime(kScanTime);
  history.SetBarcode("US1");
  history.SetResult("Failed");
  history.SetResult("Skipped");
  EXPECT_TRUE(history.WriteRecord());
  EXPECT_TRUE(history.WriteRecord());  // the result was used up: no second line
  history.SetResult("Success");        // barcode cleared, time and settings kept
  EXPECT_TRUE(history.WriteRecord());

  EXPECT_EQ(testsupport::readFile(path),
            "earlier line\r\n"
            "[03-06-24 09:30:05]\tUS1\tR+G\t75x22.5\t5\t16\t80%\t65%\t0\t\tSkipped\r\n"
            "[03-06-24 09:30:05]\tno barcode\tR+G\t75x22.5\t5\t16\t80%\t65%\t0\t\tSuccess\r\n");
}

TEST_F(ScanLogFileTest, UnopenedLogKeepsTheRecordUntilItCanWrite) {
  CScanLogFile history;
  EXPECT_FALSE(history.Open("SN"));  // no Logs folder yet
  history.SetSlotConfig(Settings());
  history.SetStartTime(kScanTime);
  history.SetBarcode("US9");
  history.SetResult("Success");
  EXPECT_FALSE(history.WriteRecord());

  std::filesystem::create_directories(logsDir());
  ASSERT_TRUE(history.Open("../SN"));
  EXPECT_EQ(history.GetFilePath(), logsDir() + "/2024_.._SN.log");
  EXPECT_TRUE(history.WriteRecord());
  EXPECT_EQ(testsupport::readFile(logsDir() + "/2024_.._SN.log"),
            "[03-06-24 09:30:05]\tUS9\tR+G\t75x22.5\t5\t16\t80%\t65%\t0\t\tSuccess\r\n");

  // Another process's writer holds the file: this one cannot open it.
  CScanLogFile second;
  EXPECT_FALSE(second.Open("../SN"));
}

// What may sit where the year's file goes: the open (on the run thread) neither waits on
// it nor writes into a device; it fails with the reason, and the record stays pending
// until the file can be written.
TEST_F(ScanLogFileTest, AHistoryFileThatIsNoRegularFileIsRefusedAtOnceAndTheRecordKept) {
  std::filesystem::create_directories(logsDir());
  const std::string path = logsDir() + "/2024_SN.log";
  const struct {
    const char* what;
    std::function<void()> make;
    int error;
  } cases[] = {
      {"fifo", [&] { testsupport::makeFifo(path); }, ENODEV},
      {"link to /dev/zero", [&] { ASSERT_EQ(::symlink("/dev/zero", path.c_str()), 0); }, ENODEV},
      {"folder", [&] { ASSERT_EQ(::mkdir(path.c_str(), 0700), 0); }, EISDIR},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.make();
    CScanLogFile history;
    bool opened = true;
    ASSERT_TRUE(testsupport::endsWithoutAReader([&] { opened = history.Open("SN"); }, path));
    EXPECT_FALSE(opened);
    EXPECT_FALSE(history.IsOpen());
    EXPECT_EQ(history.GetErrorCode(), c.error);
    history.SetSlotConfig(Settings());
    history.SetStartTime(kScanTime);
    history.SetBarcode("KEPT");
    history.SetResult("Success");
    EXPECT_FALSE(history.WriteRecord());

    std::error_code ignored;
    std::filesystem::remove(path, ignored);
    EXPECT_TRUE(history.WriteRecord());
    EXPECT_EQ(testsupport::readFile(path),
              "[03-06-24 09:30:05]\tKEPT\tR+G\t75x22.5\t5\t16\t80%\t65%\t0\t\tSuccess\r\n");
    std::filesystem::remove(path, ignored);
  }
}

// A disk that runs full while a slide's line is written, and has room again for the next
// slide: the history holds whole lines only, the failed one is not half there with the
// next glued to it.
TEST_F(ScanLogFileTest, AFullDiskLeavesNoPartOfTheRecordAndTheNextOneIsWhole) {
  std::filesystem::create_directories(logsDir());
  const std::string path = logsDir() + "/2024_SN.log";
  // Earlier years of lines: larger than any other file the test writes meanwhile, so
  // that the size limit only catches the history.
  std::string earlier;
  for (int i = 0; i < 2000; ++i)
    earlier += "[01-02-24 10:00:00]\tEARLIER\tR+G\t75x22.5\t5\t16\t80%\t65%\t0\t\tSuccess\r\n";
  testsupport::writeFile(path, earlier);

  CScanLogFile history;
  ASSERT_TRUE(history.Open("SN"));
  history.SetSlotConfig(Settings());
  history.SetStartTime(kScanTime);
  history.SetBarcode("SLIDE1");
  history.SetResult("Success");
  {
    // Room for a part of the line only.
    testsupport::FileSizeLimit full(earlier.size() + 20);
    ASSERT_TRUE(full.IsSet());
    EXPECT_FALSE(history.WriteRecord());
  }
  EXPECT_NE(history.GetErrorCode(), 0);
  // What follows the earlier lines (they stay as they were).
  const auto added = [&] {
    const std::string now = testsupport::readFile(path);
    EXPECT_EQ(now.compare(0, earlier.size(), earlier), 0);
    return now.size() >= earlier.size() ? now.substr(earlier.size()) : now;
  };
  EXPECT_EQ(added(), "");

  // Room again: the record that failed is still pending as it was; the next slide's
  // fields replace it.
  history.SetBarcode("SLIDE2");
  history.SetResult("Failed");
  EXPECT_TRUE(history.WriteRecord());
  EXPECT_EQ(added(), "[03-06-24 09:30:05]\tSLIDE2\tR+G\t75x22.5\t5\t16\t80%\t65%\t0\t\tFailed\r\n");
}

// Each record goes into the file its year and instrument name, and the file is opened
// anew when it was deleted or moved away (archived) since the last record.
TEST_F(ScanLogFileTest, EachRecordGoesToTheFileOfItsYearAndInstrument) {
  using Steps = std::vector<std::pair<std::string, std::string>>;  // (file, barcodes in it)
  struct Case {
    const char* what;
    // Between the first record (serial "A", Mar 2024) and the second.
    void (*between)(CScanLogFile& history, platform::ManualClock& clock, const std::string& logs);
    Steps files;
  } cases[] = {
      {"same instrument, same year",
       [](CScanLogFile&, platform::ManualClock&, const std::string&) {},
       {{"2024_A.log", "ONE TWO "}}},
      {"second instrument",
       [](CScanLogFile& h, platform::ManualClock&, const std::string&) { EXPECT_TRUE(h.Open("B")); },
       {{"2024_A.log", "ONE "}, {"2024_B.log", "TWO "}}},
      {"file deleted",
       [](CScanLogFile&, platform::ManualClock&, const std::string& logs) {
         ASSERT_TRUE(std::filesystem::remove(logs + "/2024_A.log"));
       },
       {{"2024_A.log", "TWO "}}},
      {"file archived",
       [](CScanLogFile&, platform::ManualClock&, const std::string& logs) {
         std::filesystem::rename(logs + "/2024_A.log", logs + "/archived.log");
       },
       {{"2024_A.log", "TWO "}, {"archived.log", "ONE "}}},
      {"New Year",
       [](CScanLogFile&, platform::ManualClock& clock, const std::string&) {
         // Dec 31 2024 23:59:59 UTC, then the first second of 2025.
         clock.setSystemTime(platform::SystemTime(std::chrono::seconds(1735689599)));
         clock.advance(std::chrono::seconds(1));
       },
       {{"2024_A.log", "ONE "}, {"2025_A.log", "TWO "}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::filesystem::remove_all(logsDir());
    std::filesystem::create_directories(logsDir());
    clock_->setSystemTime(platform::SystemTime(std::chrono::seconds(kStart)));
    CScanLogFile history;
    ASSERT_TRUE(history.Open("A"));
    history.SetSlotConfig(Settings());
    history.SetStartTime(kScanTime);
    history.SetBarcode("ONE");
    history.SetResult("Success");
    ASSERT_TRUE(history.WriteRecord());
    c.between(history, *clock_, logsDir());
    history.SetBarcode("TWO");
    history.SetResult("Success");
    ASSERT_TRUE(history.WriteRecord());

    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(logsDir()))
      names.push_back(entry.path().filename().string());
    EXPECT_EQ(names.size(), c.files.size());
    for (const auto& [name, barcodes] : c.files) {
      std::string found;
      std::istringstream lines(testsupport::readFile(logsDir() + "/" + name));
      for (std::string line; std::getline(lines, line);) found += line.substr(line.find('\t') + 1, 3) + " ";
      EXPECT_EQ(found, barcodes) << name;
    }
  }
}

}  // namespace
