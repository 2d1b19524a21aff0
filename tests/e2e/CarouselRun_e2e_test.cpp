// A carousel run of several slides across processes on loopback: the connection manager
// and the simulated instrument are programs of their own; the automation server (from
// the built library), the board and the run manager are in this process. Every pixel of
// every image, the run report and the scan history are checked.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <regex>
#include <thread>

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

// A region of a slide's real size (25 x 10 mm at 5 um: 5000 pixels by 2000 lines a
// channel) from the instrument program through the board, the data path and the merge:
// the image is the slide, every pixel of it.
TEST_F(CarouselRunE2eTest, ARegionOfRealSizeIsTheSlideEveryPixel) {
  ASSERT_TRUE(m_Daemon.Ready()) << m_Daemon.Log() << m_Daemon.program().Err();
  m_nRegionWidth = 25000;
  m_nRegionHeight = 10000;
  const int rows = m_nRegionHeight / kMicrons;
  const std::vector<Slide> slides = {{3, "250000000003"}};
  // As the instrument, the board holds back what the port cannot take (80 MB in all).
  okSim_SetScanBuffer(16L * 1024 * 1024);
  const auto port = StartInstrument(slides, 0, rows);
  ASSERT_TRUE(port);
  ASSERT_TRUE(WaitForText(m_Daemon.LogPath(), "New Instrument (IP=127.0.0.2")) << m_Daemon.Log();

  ComPtr<IScanCtrl> ctrl = create();
  ASSERT_EQ(ctrl->Connect("127.0.0.2_" + std::to_string(*port)), platform::com::S_OK)
      << description() << log();
  const auto config = MakeRunConfig(3, 3, {3});
  ProgressWindow window;
  const RunResult run = RunCarousel(*ctrl, *config, window);
  ctrl->Disconnect();
  ASSERT_EQ(run.code, std::optional<int>(0)) << window.Transcript() << log();
  const auto files = window.ScanFiles();
  ASSERT_EQ(files.size(), 1u) << window.Transcript();
  EXPECT_EQ(files[0].lines, rows);
  ExpectExactImage(files[0].fileName, run.darkRed, run.darkGreen);
  okSim_SetScanBuffer(0);
}

TEST_F(CarouselRunE2eTest, ThreeBarcodedSlidesGiveExactImagesTheReportAndTheHistory) {
  ASSERT_TRUE(m_Daemon.Ready()) << m_Daemon.Log() << m_Daemon.program().Err();
  const std::vector<Slide> slides = {{1, "250000000001"}, {2, "250000000002"}, {4, "250000000004"}};
  const auto port = StartInstrument(slides);
  ASSERT_TRUE(port);
  ASSERT_TRUE(WaitForText(m_Daemon.LogPath(), "New Instrument (IP=127.0.0.2")) << m_Daemon.Log();

  ComPtr<IScanCtrl> ctrl = create();
  ASSERT_EQ(ctrl->Connect("127.0.0.2_" + std::to_string(*port)), platform::com::S_OK)
      << description() << log();
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
    ASSERT_EQ(ctrl->Connect("127.0.0.2_" + std::to_string(*port)), platform::com::S_OK)
        << description() << log();
    const auto config = MakeRunConfig(1, 2, {1, 2});
    ProgressWindow window;
    // The instrument's process dies as the first slide's data starts to flow.
    bool killed = false;
    window.OnMessage = [&](unsigned message, std::uintptr_t code, std::intptr_t) {
      if (message != lumetra::run::WM_SCANDATA_PROGRESS || killed || code != lumetra::run::kScanDataStarted)
        return;
      killed = true;
      m_Instrument->program().Kill();
    };
    const RunResult run = RunCarousel(*ctrl, *config, window);
    ctrl->Disconnect();
    ASSERT_TRUE(killed) << window.Transcript();
    ASSERT_TRUE(run.code) << window.Transcript() << log();
    // The operator is told why: the server's text for a lost connection, as an error.
    std::string errors;
    for (const auto& line : window.Lines())
      if (line.kind == 5) errors += line.text + "\n";
    EXPECT_THAT(errors,
                HasSubstr("A connection to the scanner has been lost or has not been established yet."))
        << window.Transcript();
    // The board here goes on sending when the instrument is gone, so which step meets the
    // dead link first depends on whether the first scan's data were all in by then: the
    // scan ends and the next slide cannot be loaded (code 1), or the scan fails and the
    // carousel cannot be ejected (code 2). Either way the end code goes with its text.
    if (*run.code == 1) {
      EXPECT_THAT(errors, HasSubstr("Failed to load the chip.")) << window.Transcript();
    } else {
      EXPECT_EQ(*run.code, 2) << window.Transcript();
      EXPECT_THAT(errors, HasSubstr("Failed to eject the chip.")) << window.Transcript();
    }
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
  ASSERT_EQ(ctrl->Connect("127.0.0.2_" + std::to_string(*port)), platform::com::S_OK)
      << description() << log();
  const auto config = MakeRunConfig(1, 2, {1, 2});
  ProgressWindow window;
  const RunResult run = RunCarousel(*ctrl, *config, window);
  ctrl->Disconnect();
  ExpectWholeImages(run, window, slides.size());
}

// ---- Faults across processes ----------------------------------------------------------------

// The fault runs: an instrument started with faults of its own, the connection manager
// killed and started again, another application holding the instrument's lock.
class CarouselFaultE2eTest : public CarouselRunE2eTest {
 protected:
  static constexpr const char* kLostText =
      "A connection to the scanner has been lost or has not been established yet.";

  static std::string ConnectString(std::uint16_t port) { return "127.0.0.2_" + std::to_string(port); }

  static std::string LinesOfKind(const ProgressWindow& window, int kind) {
    std::string text;
    for (const auto& line : window.Lines())
      if (line.kind == kind) text += line.text + "\n";
    return text;
  }

  // What a cut-short run leaves in the output folder: whole images or nothing.
  void ExpectNoPartImage(const RunResult& run) {
    for (const auto& entry : std::filesystem::directory_iterator(outDir())) {
      SCOPED_TRACE(entry.path().string());
      ExpectExactImage(entry.path().string(), run.darkRed, run.darkGreen);
    }
  }

  // A whole run of `slides` on a new automation object connected to `port`: every image
  // exact. The output folder is emptied first.
  void ExpectWholeRun(std::uint16_t port, const std::vector<Slide>& slides) {
    std::filesystem::remove_all(outDir());
    std::filesystem::create_directories(outDir());
    ComPtr<IScanCtrl> ctrl = create();
    ASSERT_EQ(ctrl->Connect(ConnectString(port)), platform::com::S_OK) << description() << log();
    std::vector<int> slots;
    for (const Slide& slide : slides) slots.push_back(slide.slot);
    const auto config = MakeRunConfig(slots.front(), slots.back(), slots);
    ProgressWindow window;
    const RunResult run = RunCarousel(*ctrl, *config, window);
    ctrl->Disconnect();
    ExpectWholeImages(run, window, slides.size());
  }
};

// Runs `action` once, on a thread of its own, when the data of the run's `nth` scan start
// to flow; the window goes on handling the run's messages meanwhile. Made before the
// window it watches, so that the window (and its calls into this) ends first.
class AtScanData {
 public:
  AtScanData(int nth, std::function<void()> action) : m_nNth(nth), m_Action(std::move(action)) {}
  void Watch(ProgressWindow& window) {
    window.OnMessage = [this](unsigned message, std::uintptr_t code, std::intptr_t) {
      if (message != lumetra::run::WM_SCANDATA_PROGRESS || code != lumetra::run::kScanDataStarted) return;
      if (++m_nSeen == m_nNth) m_Thread = std::thread(m_Action);
    };
  }
  ~AtScanData() { Join(); }
  AtScanData(const AtScanData&) = delete;
  AtScanData& operator=(const AtScanData&) = delete;
  // Until the action is done; false when it never started.
  bool Join() {
    if (!m_Thread.joinable()) return false;
    m_Thread.join();
    return true;
  }

 private:
  int m_nNth;
  std::function<void()> m_Action;
  int m_nSeen = 0;  // on the window's thread only
  std::thread m_Thread;
};

TEST_F(CarouselFaultE2eTest, AnInstrumentRebootedOntoANewPortEndsTheRunKeepsTheScannedSlideAndIsFoundThere) {
  ASSERT_TRUE(m_Daemon.Ready()) << m_Daemon.Log() << m_Daemon.program().Err();
  const std::vector<Slide> slides = {{1, "250000000001"}, {2, "250000000002"}};
  // The second scan's start reboots the controller, which comes back on another port.
  const auto port =
      StartInstrument(slides, 0, kLines, {"--fault", "startscan:delay:0:1", "--fault", "startscan:reboot:1"});
  ASSERT_TRUE(port);
  ASSERT_TRUE(WaitForText(m_Daemon.LogPath(), "New Instrument (IP=127.0.0.2")) << m_Daemon.Log();
  {
    ComPtr<IScanCtrl> ctrl = create();
    ASSERT_EQ(ctrl->Connect(ConnectString(*port)), platform::com::S_OK) << description() << log();
    const auto config = MakeRunConfig(1, 2, {1, 2});
    ProgressWindow window;
    const RunResult run = RunCarousel(*ctrl, *config, window);
    ctrl->Disconnect();
    ASSERT_TRUE(m_Instrument->program().WaitForOutput("zevasim: rebooted, serving"))
        << m_Instrument->program().Out();
    // The link goes on to where the instrument was, which refuses it: the scan fails as
    // for a lost connection, and the carousel cannot be ejected (the scanner must be
    // initialised again).
    ASSERT_TRUE(run.code) << window.Transcript() << log();
    EXPECT_EQ(*run.code, 2) << window.Transcript();
    EXPECT_THAT(LinesOfKind(window, 5), HasSubstr(kLostText)) << window.Transcript();
    EXPECT_THAT(LinesOfKind(window, 5), HasSubstr("Failed to eject the chip.")) << window.Transcript();
    // The first slide's image stays whole; the second is whole or not there.
    const auto files = window.ScanFiles();
    ASSERT_EQ(files.size(), 2u) << window.Transcript();
    ExpectExactImage(files[0].fileName, run.darkRed, run.darkGreen);
    ExpectNoPartImage(run);
    const auto history = HistoryRecords(kSerial);
    ASSERT_EQ(history.size(), 2u);
    EXPECT_THAT(history[0], testing::Contains("Success"));
    EXPECT_THAT(history[1], testing::Contains("Failed"));
  }

  // The connection manager took the new port from the instrument and passed the boot on.
  ASSERT_TRUE(WaitForText(m_Daemon.LogPath(), "Soft-booted Instrument (IP=127.0.0.2)")) << m_Daemon.Log();
  std::smatch m;
  const std::string out = m_Instrument->program().Out();
  ASSERT_TRUE(std::regex_search(out, m, std::regex("rebooted, serving [0-9.]+:([0-9]+)"))) << out;
  const auto moved = static_cast<std::uint16_t>(std::stoi(m[1].str()));
  ASSERT_NE(moved, *port);
  // The next run finds it there, through the connection manager, without a restart.
  ExpectWholeRun(moved, slides);
}

TEST_F(CarouselFaultE2eTest, AConnectionManagerKilledAndRestartedMidRunLetsTheRunFinishAndTheNextOneConnect) {
  ASSERT_TRUE(m_Daemon.Ready()) << m_Daemon.Log() << m_Daemon.program().Err();
  const std::vector<Slide> slides = {{1, "250000000001"}, {2, "250000000002"}};
  const auto port = StartInstrument(slides);
  ASSERT_TRUE(port);
  ASSERT_TRUE(WaitForText(m_Daemon.LogPath(), "New Instrument (IP=127.0.0.2")) << m_Daemon.Log();
  // The restarted manager's identify broadcast reaches the instrument (on a real network
  // it goes to the instruments' subnet), so that it learns of it again.
  CRegEdit(HKEY_LOCAL_MACHINE, "Software\\Tarsel\\ZevazOdizo\\Services\\Brokla")
      .WriteInt("BCastAddr", static_cast<int>(0x7F000002));
  std::optional<Program> restarted;
  {
    ComPtr<IScanCtrl> ctrl = create();
    ASSERT_EQ(ctrl->Connect(ConnectString(*port)), platform::com::S_OK) << description() << log();
    const auto config = MakeRunConfig(1, 2, {1, 2});
    // As the first slide's data flows, the manager dies and is started again.
    AtScanData fault(1, [&] {
      m_Daemon.program().Kill();
      restarted.emplace("brokla-restarted", std::vector<std::string>{BROKLA_PROGRAM}, tempDir());
    });
    ProgressWindow window;
    fault.Watch(window);
    const RunResult run = RunCarousel(*ctrl, *config, window);
    ASSERT_TRUE(fault.Join()) << window.Transcript();
    ctrl->Disconnect();
    // The run holds the instrument already: it needs the manager no more until it lets go.
    ExpectWholeImages(run, window, slides.size());
    // Only the end of a scan asks the manager (for the instrument's status), and says
    // that it could not tell.
    for (const auto& line : window.Lines()) {
      if (line.kind <= 3) continue;
      EXPECT_THAT(line.text, HasSubstr("Error ending scan.  Instrument not ready.")) << window.Transcript();
    }
  }
  ASSERT_TRUE(restarted && restarted->Started());
  ASSERT_TRUE(WaitForText(m_Daemon.LogPath(), "Processing the startup REFRESH request", 2))
      << m_Daemon.Log() << restarted->Err();
  ASSERT_TRUE(WaitForText(m_Daemon.LogPath(), "New Instrument has Identified Itself (IP=127.0.0.2"))
      << m_Daemon.Log();
  ExpectWholeRun(*port, slides);
  EXPECT_EQ(restarted->Stop(), 0) << restarted->Err();
}

TEST_F(CarouselFaultE2eTest, AnApplicationKilledHoldingTheInstrumentsLockLeavesItToTheRun) {
  ASSERT_TRUE(m_Daemon.Ready()) << m_Daemon.Log() << m_Daemon.program().Err();
  const std::vector<Slide> slides = {{1, "250000000001"}, {2, "250000000002"}};
  const auto port = StartInstrument(slides);
  ASSERT_TRUE(port);
  ASSERT_TRUE(WaitForText(m_Daemon.LogPath(), "New Instrument (IP=127.0.0.2")) << m_Daemon.Log();
  const std::vector<std::string> holderArgs{LOCK_HOLDER_PROGRAM, "--address", "127.0.0.2"};

  // Another application holds the instrument: this one cannot have it.
  std::optional<Program> holder;
  holder.emplace("lock-holder", holderArgs, tempDir());
  ASSERT_TRUE(holder->WaitForOutput("lock holder: locked")) << holder->Out() << holder->Err();
  ASSERT_TRUE(WaitForText(m_Daemon.LogPath(), "Event Monitor Connection Established")) << m_Daemon.Log();
  ComPtr<IScanCtrl> ctrl = create();
  EXPECT_NE(ctrl->Connect(ConnectString(*port)), platform::com::S_OK);
  EXPECT_EQ(description(), "Unable to lock instrument specified by connection manager.") << log();

  // It dies holding the lock: the manager frees it once both of its pipes have closed.
  holder->Kill();
  ASSERT_TRUE(WaitForText(m_Daemon.LogPath(), "Unlocking instrument id=")) << m_Daemon.Log();
  ASSERT_TRUE(WaitForText(m_Daemon.LogPath(), "exiting...Removed app from app list")) << m_Daemon.Log();
  ASSERT_EQ(ctrl->Connect(ConnectString(*port)), platform::com::S_OK) << description() << log();
  {
    const auto config = MakeRunConfig(1, 2, {1, 2});
    // During the run another application asks for the lock, is refused and dies: what
    // the manager clears after it must not be the run's lock.
    std::optional<Program> late;
    AtScanData fault(1, [&] {
      late.emplace("lock-holder-late", holderArgs, tempDir());
      EXPECT_TRUE(late->WaitForOutput("lock holder: refused")) << late->Out() << late->Err();
      late->Kill();
      std::smatch m;
      const std::string out = late->Out();
      ASSERT_TRUE(std::regex_search(out, m, std::regex("pid ([0-9]+)"))) << out;
      EXPECT_TRUE(
          WaitForText(m_Daemon.LogPath(), "App " + m[1].str() + " exiting...Removed app from app list"))
          << m_Daemon.Log();
    });
    ProgressWindow window;
    fault.Watch(window);
    const RunResult run = RunCarousel(*ctrl, *config, window);
    ASSERT_TRUE(fault.Join()) << window.Transcript();
    ctrl->Disconnect();
    ExpectWholeImages(run, window, slides.size());
  }
  EXPECT_EQ(CountText(m_Daemon.LogPath(), "Unlocking instrument id="), 1) << m_Daemon.Log();

  // Let go by the run, the instrument is free for the next one, and for others.
  ExpectWholeRun(*port, slides);
  holder.emplace("lock-holder-after", holderArgs, tempDir());
  EXPECT_TRUE(holder->WaitForOutput("lock holder: locked")) << holder->Out() << holder->Err();
  EXPECT_EQ(holder->Stop(), 0);
}

// An instrument program killed and started again takes the port the manager hands out
// before it serves: it is served only once the new process says so (its output file
// still holds what the killed one said).
TEST_F(CarouselFaultE2eTest, AnInstrumentStartedAgainOnTheAssignedPortServesTheNextRun) {
  ASSERT_TRUE(m_Daemon.Ready()) << m_Daemon.Log() << m_Daemon.program().Err();
  const std::vector<Slide> slides = {{1, "250000000001"}};
  const auto port = StartInstrument(slides);
  ASSERT_TRUE(port);
  ASSERT_TRUE(WaitForText(m_Daemon.LogPath(), "New Instrument (IP=127.0.0.2")) << m_Daemon.Log();
  m_Instrument->program().Kill();
  ASSERT_EQ(StartInstrument(slides), port);
  ExpectWholeRun(*port, slides);
}
}  // namespace
}  // namespace e2e_test
