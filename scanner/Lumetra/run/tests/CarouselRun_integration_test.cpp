// A whole carousel run on the real automation server over the simulated instrument and
// board: two barcoded slides loaded, scanned and saved, every pixel of both images checked
// against the board's pattern, and the run report, its page and the scan-history lines
// checked as the operator would read them.
#include <filesystem>
#include <regex>
#include <string>
#include <vector>
#include <xercesc/parsers/XercesDOMParser.hpp>
#include <xercesc/sax/HandlerBase.hpp>
#include <xercesc/util/PlatformUtils.hpp>

#include "CarouselRunFixture.h"
#include "Jotwell/ProductKeys.h"
#include "Jotwell/RegEdit.h"
#include "RunTestSupport.h"
#include "run/RunStatus.h"
#include "run/ScanDataProc.h"
#include "run/ScanMgr.h"

namespace {

using lumetra::run::CScanMgr;
using lumetra::run::GetMessageText;
using lumetra_test::CarouselRunTest;
using lumetra_test::ProgressWindow;
using lumetra_test::ReadTiff;
using testing::HasSubstr;

std::string MessageText(int id) {
  std::string text;
  GetMessageText(id, text);
  return text;
}

std::vector<std::string> Split(const std::string& text, const std::string& separator) {
  std::vector<std::string> parts;
  std::size_t from = 0;
  for (std::size_t at; (at = text.find(separator, from)) != std::string::npos; from = at + separator.size())
    parts.push_back(text.substr(from, at - from));
  parts.push_back(text.substr(from));
  return parts;
}

std::string Entry(const std::string& category, const std::string& text) {
  return "<log category=\"" + category + "\"> " + text + " </log>";
}

// Parses the report against its DTD; the number of errors (-1: not parsed at all).
int ValidationErrors(const std::string& path) {
  xercesc::XMLPlatformUtils::Initialize();
  int errors = -1;
  {
    xercesc::XercesDOMParser parser;
    parser.setValidationScheme(xercesc::XercesDOMParser::Val_Always);
    xercesc::HandlerBase handler;
    parser.setErrorHandler(&handler);
    try {
      parser.parse(path.c_str());
      errors = static_cast<int>(parser.getErrorCount());
    } catch (...) {
    }
  }
  xercesc::XMLPlatformUtils::Terminate();
  return errors;
}

TEST_F(CarouselRunTest, TwoBarcodedSlidesGiveExactImagesTheReportAndTheHistory) {
  const std::vector<Slide> slides = {{1, "250000000001"}, {2, "250000000002"}};
  LoadCarousel(slides);
  ComPtr<IScanCtrl> ctrl = create();
  connect(*ctrl);
  const auto config = MakeRunConfig(1, 2, {1, 2});

  ProgressWindow window;  // outlives the manager, whose threads talk to it
  double dark[2] = {0, 0};
  {
    CScanMgr manager(nullptr, ctrl.get(), true);
    manager.SetRunConfig(config.get());
    ASSERT_TRUE(window.StartRun(manager));
    const auto code = DriveRunToEnd(window);
    ASSERT_TRUE(manager.WaitForCarouselRun(std::chrono::seconds(60)));
    ASSERT_EQ(code, std::optional<int>(0)) << window.Transcript() << log();
    // Both slides met the same board: the dark levels of the last scan are those of each.
    const auto& proc = *manager.GetDataProc();
    dark[0] = proc.m_Red.rawMean - proc.m_Red.channelOffset;
    dark[1] = proc.m_Green.rawMean - proc.m_Green.channelOffset;
  }
  ctrl->Disconnect();

  // What the operator saw: no warning or failure of any kind, both slides done.
  for (const auto& line : window.Lines())
    EXPECT_TRUE(line.kind <= 3) << "[" << line.kind << "] " << line.text << "\n" << window.Transcript();
  EXPECT_EQ(window.TotalSlides(), 2);
  EXPECT_EQ(window.SlidesCompleted(), 2);
  EXPECT_THAT(window.StatusText(), HasSubstr("Total number of slide(s) detected: 2."));
  EXPECT_THAT(window.StatusText(), HasSubstr(MessageText(9937)));
  for (const auto& [code, value] : window.DataProgress())
    EXPECT_NE(code, lumetra::run::kScanDataFailed) << "data status " << value;

  // Each slide's image, named by its barcode and slot, pixel for pixel.
  const auto files = window.ScanFiles();
  ASSERT_EQ(files.size(), slides.size()) << window.Transcript();
  const int ddn[2] = {ExpectedDdn(0, dark[0], dark[1]), ExpectedDdn(1, dark[0], dark[1])};
  for (std::size_t i = 0; i < slides.size(); ++i) {
    const std::string path =
        outDir() + "/" + slides[i].barcode + "_SLOT0" + std::to_string(slides[i].slot) + "_S01.tif";
    EXPECT_EQ(files[i].fileName, path);
    EXPECT_EQ(files[i].barcode, slides[i].barcode);
    EXPECT_EQ(files[i].slot, slides[i].slot);
    const auto pages = ReadTiff(path);
    ASSERT_EQ(pages.size(), 2u) << path;
    for (int channel : {0, 1}) {
      const auto& page = pages[static_cast<std::size_t>(channel)];
      ASSERT_EQ(page.width, static_cast<std::uint32_t>(kPixels));
      ASSERT_EQ(page.length, static_cast<std::uint32_t>(kLines));
      ASSERT_EQ(page.bits, 16);
      for (int row = 0; row < kLines; ++row)
        for (int p = 0; p < kPixels; ++p)
          ASSERT_EQ(page.rows[static_cast<std::size_t>(row)][static_cast<std::size_t>(p)],
                    ExpectedPixel(channel, row, p, dark[0], dark[1], ddn[channel]))
              << path << " channel " << channel << " row " << row << " pixel " << p;
    }
  }
  // The channel files were merged away.
  std::vector<std::string> left;
  for (const auto& entry : std::filesystem::directory_iterator(outDir()))
    left.push_back(entry.path().string());
  EXPECT_EQ(left.size(), slides.size()) << testing::PrintToString(left);

  // The report: valid against its DTD, the run's story in order, nothing alarming; and
  // its page made from the last entry.
  const std::string xml = testsupport::readFile(reportDir() + "/CarouselRunLog.xml");
  EXPECT_EQ(ValidationErrors(reportDir() + "/CarouselRunLog.xml"), 0);
  const std::vector<std::string> story = {
      Entry("HEADER", "Total number of slide(s) detected: 2."),
      Entry("HEADER", "Slot 1 ----------------\r\n"),
      Entry("HEADER", "Scanned image: " + files[0].fileName + "\r\n"),
      Entry("HEADER", "Scan completed.\r\n\r\n"),
      Entry("HEADER", "Slot 2 ----------------\r\n"),
      Entry("HEADER", "Scanned image: " + files[1].fileName + "\r\n"),
      Entry("HEADER", "Scan completed.\r\n\r\n"),
      Entry("HEADER", MessageText(9937)),
  };
  std::size_t at = 0;
  for (const std::string& entry : story) {
    at = xml.find(entry, at);
    ASSERT_NE(at, std::string::npos) << "missing or out of order: " << entry << "\n" << xml;
  }
  for (const char* category : {"WARNING", "ERROR", "ATTENTION1", "ATTENTION2", "ATTENTION3"})
    EXPECT_THAT(xml, testing::Not(HasSubstr("category=\"" + std::string(category) + "\""))) << xml;
  EXPECT_EQ(window.HtmlPath(), reportDir() + "/CarouselRunLog.htm");
  const std::string page = testsupport::readFile(window.HtmlPath());
  EXPECT_THAT(page, HasSubstr("TARSEL SCANNER -- CAROUSEL REPORT LOG"));
  EXPECT_THAT(page, HasSubstr(MessageText(9937)));

  // The scan history: one line per slide in the instrument's file of the year.
  std::vector<std::string> logs;
  for (const auto& entry : std::filesystem::directory_iterator(installDir() + "/Logs"))
    if (entry.path().filename().string().ends_with("_ZS000001.log")) logs.push_back(entry.path().string());
  ASSERT_EQ(logs.size(), 1u);
  const auto lines = Split(testsupport::readFile(logs[0]), "\r\n");
  ASSERT_EQ(lines.size(), slides.size() + 1) << testsupport::readFile(logs[0]);
  EXPECT_EQ(lines.back(), "");
  const std::regex stamp(R"(\[\d\d-\d\d-\d\d \d\d:\d\d:\d\d\])");
  for (std::size_t i = 0; i < slides.size(); ++i) {
    const auto fields = Split(lines[i], "\t");
    ASSERT_EQ(fields.size(), 11u) << lines[i];
    EXPECT_TRUE(std::regex_match(fields[0], stamp)) << fields[0];
    EXPECT_EQ(std::vector<std::string>(fields.begin() + 1, fields.end()),
              (std::vector<std::string>{slides[i].barcode, "R+G", "2x3", "5", "16", "100%", "100%", "0", "",
                                        "Success"}));
  }

  // Both tubes were confirmed at 100 % during the run: their voltages are remembered for
  // this instrument.
  CRegEdit scanner(HKEY_LOCAL_MACHINE, zeva::kScannerKey);
  EXPECT_EQ(scanner.ReadString("InstSerialNumber", ""), "ZS000001");
  EXPECT_EQ(scanner.ReadInt("LastPMT1Volt", 0), static_cast<int>(kFactoryVoltage));
  EXPECT_EQ(scanner.ReadInt("LastPMT2Volt", 0), static_cast<int>(kFactoryVoltage));
}

}  // namespace
