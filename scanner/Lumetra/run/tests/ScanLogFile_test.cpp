#include "run/ScanLogFile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "RunFixture.h"

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
  EXPECT_TRUE(history.Open("another"));  // the first name stays
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

}  // namespace
