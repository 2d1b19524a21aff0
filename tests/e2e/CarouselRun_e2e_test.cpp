// A carousel run of several slides across processes on loopback: the connection manager
// and the simulated instrument are programs of their own; the automation server (from
// the built library), the board and the run manager are in this process. Every pixel of
// every image, the run report and the scan history are checked.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <optional>

#include "CarouselE2eFixture.h"
#include "CarouselRunFixture.h"
#include "Jotwell/ProductKeys.h"
#include "Jotwell/RegEdit.h"
#include "Programs.h"
#include "okSim/okSim.h"
#include "run/ScanDataProc.h"
#include "testsupport/TestEnv.h"

namespace e2e_test {
namespace {

using lumetra_test::ProgressWindow;
using testing::HasSubstr;

TEST_F(CarouselRunE2eTest, ThreeBarcodedSlidesGiveExactImagesTheReportAndTheHistory) {
  ASSERT_TRUE(m_Daemon.Ready()) << m_Daemon.Log() << m_Daemon.program().Err();
  const std::vector<Slide> slides = {{1, "250000000001"}, {2, "250000000002"}, {4, "250000000004"}};
  const auto port = StartInstrument(slides);
  ASSERT_TRUE(port);
  ASSERT_TRUE(WaitForText(m_Daemon.LogPath(), "New Instrument (IP=127.0.0.2")) << m_Daemon.Log();

  ComPtr<IScanCtrl> ctrl = create();
  ASSERT_EQ(ctrl->Connect("127.0.0.2_" + std::to_string(*port)), platform::com::S_OK) << description() << log();
  const auto config = MakeRunConfig(1, 4, {1, 2, 4});
  ProgressWindow window;  // outlives the run manager, whose threads talk to it
  const RunResult run = RunCarousel(*ctrl, *config, window);
  ctrl->Disconnect();
  ASSERT_EQ(run.code, std::optional<int>(0)) << window.Transcript() << log();

  for (const auto& line : window.Lines()) EXPECT_LE(line.kind, 3) << line.text << "\n" << window.Transcript();
  EXPECT_EQ(window.TotalSlides(), 3);
  EXPECT_EQ(window.SlidesCompleted(), 3);
  const auto files = window.ScanFiles();
  ASSERT_EQ(files.size(), slides.size()) << window.Transcript();
  for (std::size_t i = 0; i < slides.size(); ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "/%s_SLOT%02d_S01.tif", slides[i].barcode.c_str(), slides[i].slot);
    EXPECT_EQ(files[i].fileName, outDir() + name);
    EXPECT_EQ(files[i].barcode, slides[i].barcode);
    EXPECT_EQ(files[i].slot, slides[i].slot);
    EXPECT_EQ(files[i].lines, kLines);
    ExpectExactImage(files[i].fileName, run.darkRed, run.darkGreen);
  }

  // The report tells each slide's story in order, nothing alarming; its page was made.
  const std::string xml = testsupport::readFile(reportDir() + "/CarouselRunLog.xml");
  std::size_t at = xml.find("Total number of slide(s) detected: 3.");
  EXPECT_NE(at, std::string::npos) << xml;
  for (const auto& file : files)
    for (const std::string& entry : {"Slot " + std::to_string(file.slot) + " ----------------",
                                     "Scanned image: " + file.fileName, std::string("Scan completed.")}) {
      at = at == std::string::npos ? at : xml.find(entry, at);
      EXPECT_NE(at, std::string::npos) << entry << "\n" << xml;
    }
  for (const char* category : {"WARNING", "ERROR", "ATTENTION1", "ATTENTION2", "ATTENTION3"})
    EXPECT_THAT(xml, testing::Not(HasSubstr("category=\"" + std::string(category) + "\""))) << xml;
  EXPECT_EQ(window.HtmlPath(), reportDir() + "/CarouselRunLog.htm");
  EXPECT_THAT(testsupport::readFile(window.HtmlPath()), HasSubstr("TARSEL SCANNER -- CAROUSEL REPORT LOG"));

  // The scan history: one line per slide, each with its barcode and success.
  const auto history = HistoryRecords(kSerial);
  ASSERT_EQ(history.size(), slides.size());
  for (std::size_t i = 0; i < slides.size(); ++i) {
    EXPECT_THAT(history[i], testing::Contains(slides[i].barcode));
    EXPECT_THAT(history[i], testing::Contains("Success"));
  }

  EXPECT_EQ(m_Instrument->program().Stop(), 0);
  EXPECT_EQ(m_Daemon.program().Stop(), 0) << m_Daemon.program().Err();
}

TEST_F(CarouselRunE2eTest, AnInstrumentGoneMidScanEndsTheRunWithoutAPartImageAndTheNextRunWorks) {
  ASSERT_TRUE(m_Daemon.Ready()) << m_Daemon.Log() << m_Daemon.program().Err();
  const std::vector<Slide> slides = {{1, "250000000001"}, {2, "250000000002"}};
  auto port = StartInstrument(slides);
  ASSERT_TRUE(port);
  {
    ComPtr<IScanCtrl> ctrl = create();
    ASSERT_EQ(ctrl->Connect("127.0.0.2_" + std::to_string(*port)), platform::com::S_OK) << description() << log();
    const auto config = MakeRunConfig(1, 2, {1, 2});
    ProgressWindow window;
    // The instrument's process dies as the first slide's data starts to flow.
    bool killed = false;
    window.OnMessage = [&](unsigned message, std::uintptr_t code, std::intptr_t) {
      if (message != lumetra::run::WM_SCANDATA_PROGRESS || killed || code != lumetra::run::kScanDataStarted) return;
      killed = true;
      m_Instrument->program().Kill();
    };
    const RunResult run = RunCarousel(*ctrl, *config, window);
    ctrl->Disconnect();
    ASSERT_TRUE(killed) << window.Transcript();
    ASSERT_TRUE(run.code) << window.Transcript() << log();
    EXPECT_EQ(*run.code, 1) << window.Transcript();
    // The operator is told why: the server's text for a lost connection, as an error.
    std::string errors;
    for (const auto& line : window.Lines())
      if (line.kind == 5) errors += line.text + "\n";
    EXPECT_THAT(errors, HasSubstr("A connection to the scanner has been lost or has not been established yet."))
        << window.Transcript();
    // No image, or a whole one: never a part.
    for (const auto& entry : std::filesystem::directory_iterator(outDir())) {
      SCOPED_TRACE(entry.path().string());
      ExpectExactImage(entry.path().string(), run.darkRed, run.darkGreen);
    }
    std::filesystem::remove_all(outDir());
    std::filesystem::create_directories(outDir());
  }

  // The instrument back (a new process, where it was), the next run works.
  port = StartInstrument(slides, *port);
  ASSERT_TRUE(port);
  ASSERT_TRUE(WaitForText(m_Daemon.LogPath(), "Instrument (127.0.0.2)")) << m_Daemon.Log();
  ComPtr<IScanCtrl> ctrl = create();
  ASSERT_EQ(ctrl->Connect("127.0.0.2_" + std::to_string(*port)), platform::com::S_OK) << description() << log();
  const auto config = MakeRunConfig(1, 2, {1, 2});
  ProgressWindow window;
  const RunResult run = RunCarousel(*ctrl, *config, window);
  ctrl->Disconnect();
  ASSERT_EQ(run.code, std::optional<int>(0)) << window.Transcript() << log();
  const auto files = window.ScanFiles();
  ASSERT_EQ(files.size(), slides.size()) << window.Transcript();
  for (const auto& file : files) ExpectExactImage(file.fileName, run.darkRed, run.darkGreen);
}

}  // namespace
}  // namespace e2e_test
