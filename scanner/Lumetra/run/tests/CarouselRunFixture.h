#pragma once
// A carousel run on the real automation server (created through the COM layer from the
// built library) over the simulated instrument and board: slides with barcodes in the
// carousel, a board that scans each slide as the instrument started it, tubes and lasers that
// calibrate at once, a region database that takes tiny regions, the installation and
// output folders in the test's folder, and the registry values of a run. A window thread
// stands in for the run progress dialog: it records what the run tells it, keeps the run
// report as the dialog does and passes a data failure on to the run manager.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ComFixture.h"
#include "SlideImage.h"
#include "config/CarouselCfgInfo.h"
#include "platform/window.h"
#include "run/Reporter.h"
#include "run/ScanDataRing.h"

namespace lumetra::run {
class CScanMgr;
}

namespace lumetra_test {

// The run progress dialog's part in a run, on a thread of its own (the user-interface
// thread of the process): sent messages wait for it, posted ones are queued.
class ProgressWindow : public platform::Window {
 public:
  struct Line {
    int kind;
    std::string text;
  };
  struct ScanFile {
    int slot;
    std::string fileName, barcode;
    int lines;
  };

  ProgressWindow();
  ~ProgressWindow() override;

  // Runs on the window's thread before each message is handled (tests script the
  // simulators at a given moment of the run through it). Set before the run starts.
  std::function<void(unsigned message, std::uintptr_t wParam, std::intptr_t lParam)> OnMessage;
  ProgressWindow(const ProgressWindow&) = delete;
  ProgressWindow& operator=(const ProgressWindow&) = delete;

  // What the dialog does when it opens: becomes the manager's status window, creates the
  // report where the registry says ("Scanner\Logging": XMLFilesPath, HTMLLogPath,
  // DTDFileName, XSLFileName) and starts the run. False when the run did not start.
  bool StartRun(lumetra::run::CScanMgr& manager);
  // Waits (real time) for the run's end message; its code, or nullopt on time-out.
  std::optional<int> WaitForRunEnd(std::chrono::milliseconds timeout = std::chrono::seconds(120));

  bool post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override;
  bool postText(unsigned message, std::uintptr_t wParam, std::string text) override;
  std::intptr_t send(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override;

  std::vector<Line> Lines() const;
  std::vector<ScanFile> ScanFiles() const;
  // The status box's text (CR LF between lines, as the dialog shows it).
  std::string StatusText() const;
  // (wParam, lParam) of every WM_USER+300.
  std::vector<std::pair<std::uintptr_t, std::intptr_t>> DataProgress() const;
  int SlidesCompleted() const;
  int TotalSlides() const;
  const std::string& XmlPath() const { return m_XmlPath; }
  const std::string& HtmlPath() const { return m_HtmlPath; }
  // Everything the report and the run's messages went through, as text (for failure output).
  std::string Transcript() const;

 private:
  struct Item {
    unsigned message;
    std::uintptr_t wParam;
    std::intptr_t lParam;
    bool sent;
    std::intptr_t result = 0;
    bool done = false;
    std::optional<std::string> text = std::nullopt;  // a posted text, handed on as lParam
  };
  void Loop();
  std::intptr_t Handle(unsigned message, std::uintptr_t wParam, std::intptr_t lParam, bool sent);
  void AppendStatus(const std::string& text);

  mutable std::mutex m_Mutex;
  std::condition_variable m_Changed;
  std::deque<std::shared_ptr<Item>> m_Queue;
  bool m_bQuit = false;
  std::thread m_Thread;

  // Owned by the window thread while the run works; read under m_Mutex afterwards.
  lumetra::run::CScanMgr* m_pManager = nullptr;
  CReporter m_Report{"logfile", "logfile", ""};
  std::string m_XmlPath, m_HtmlPath;
  std::vector<Line> m_Lines;
  std::vector<ScanFile> m_Files;
  std::vector<std::pair<std::uintptr_t, std::intptr_t>> m_DataProgress;
  std::string m_StatusText;
  int m_nCompleted = 0;
  int m_nTotal = 48;
  std::optional<int> m_RunEnd;
};

// The simulated scanner set up for carousel runs.
class CarouselRunTest : public ComTest {
 public:
  struct Slide {
    int slot;
    std::string barcode;
  };

 protected:
  // A region of 300 x 200 um at 5 um: 60 pixels by 40 lines, on the slide's spots (its
  // corner at 12000, 2000 um: the chip's origin less the region's).
  static constexpr int kMicrons = 5;
  static constexpr int kChipX = 14000, kChipY = 3000, kRegionLeft = 2000, kRegionTop = 1000;
  static constexpr int kRegionWidth = 300, kRegionHeight = 200;
  static constexpr int kPixels = kRegionWidth / kMicrons, kLines = kRegionHeight / kMicrons;
  // The board sends the lines the red channel's delay (50 um) needs before the region.
  static constexpr int kLeadIn = 50 / kMicrons;
  static constexpr int kRecords = kLines + kLeadIn;
  // PMT voltage (tenths of volts) the instrument holds as the factory setting, and the
  // calibration signal each tube gives there (the nominal one: it needs no correction).
  static constexpr unsigned kFactoryVoltage = 6000;
  static constexpr int kNominalSignal = 2000;

  CarouselRunTest();
  ~CarouselRunTest() override;

  // The instrument's FLASH values for these runs: the model, laser references equal to the
  // photodiode counts the board puts in the lines' headers, no channel offsets, and tubes
  // that give the nominal calibration signal at the factory voltage.
  static std::vector<std::pair<std::string, std::string>> FlashValues();

  // Puts the slides into the carousel.
  void LoadCarousel(const std::vector<Slide>& slides);
  // A run over `first`..`last` in which `slots` have the small region at 5 um, both
  // channels at 100 %, one pass, named "<Slide ID>_<Slot #>" into outDir().
  std::unique_ptr<CCarouselCfgInfo> MakeRunConfig(int first, int last, const std::vector<int>& slots) const;

  struct RunResult {
    std::optional<int> code;  // of the run's end message; nullopt: none came
    // The data processor's dark levels of the last scan (the same for every scan of the
    // board as set up here).
    double darkRed = 0, darkGreen = 0;
  };
  // A whole run of `config` with `window` as its progress dialog, through a run manager
  // of its own (its scan data ring of `ring`), until its thread has ended.
  RunResult RunCarousel(IScanCtrl& ctrl, CCarouselCfgInfo& config, ProgressWindow& window,
                        lumetra::run::RingGeometry ring = lumetra::run::RingGeometry{});
  // Every pixel of both channels of the image at `path` is the slide's (the barcode is the
  // file name's part before "_SLOT"), scanned over the region MakeRunConfig gives.
  void ExpectExactImage(const std::string& path, double darkRed, double darkGreen);
  // The barcode an image of these runs is named after ("<barcode>_SLOT..").
  static std::string BarcodeOf(const std::string& path);
  // The scan of `barcode` over that region (micrometres, as the instrument is told it).
  SlideScan RegionScan(const std::string& barcode) const;
  // The lines of the instrument's scan-history file, each split into its fields; fails
  // the test when there is not exactly one such file.
  std::vector<std::vector<std::string>> HistoryRecords(const std::string& serialNumber);

  // Waits for the run's end while the test clock runs at twice the real pace (the run
  // waits out the instrument's time-outs on it, e.g. the end of the scan data); the end
  // code, or nullopt when it did not come within `realLimit`.
  std::optional<int> DriveRunToEnd(ProgressWindow& window,
                                   std::chrono::milliseconds realLimit = std::chrono::seconds(120));

  const std::string& installDir() const { return m_Install; }
  const std::string& outDir() const { return m_Out; }
  const std::string& reportDir() const { return m_Report; }

  // The region of the runs MakeRunConfig makes (a test may take a larger one).
  int m_nRegionWidth = kRegionWidth, m_nRegionHeight = kRegionHeight, m_nMicrons = kMicrons;

 private:
  std::string m_Install, m_Out, m_Report;
};

}  // namespace lumetra_test
