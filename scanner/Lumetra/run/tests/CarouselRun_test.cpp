#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "FakeScanCtrl.h"
#include "Jotwell/ProductKeys.h"
#include "Jotwell/RegEdit.h"
#include "ReadOnlyFolder.h"
#include "RecordingWindow.h"
#include "RunFixture.h"
#include "RunTestSupport.h"
#include "Tessary/TiffScanRecord.h"
#include "config/CarouselCfgInfo.h"
#include "platform/files.h"
#include "platform/sync.h"
#include "run/OutputNaming.h"
#include "run/RunStatus.h"
#include "run/ScanMgr.h"

namespace {

using namespace lumetra::run;
using lumetra_test::FakeScanCtrl;
using lumetra_test::RecordingWindow;
using lumetra_test::StatusText;
using platform::com::ComError;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
using Message = RecordingWindow::Message;

// One scripted pass of DoScan.
struct Pass {
  enum Kind { ok, com, message, text } kind = ok;
  int id = 0;           // error id (com) or message id (message)
  bool started = true;  // the instrument was told to scan before the outcome
};

// The one-slide scan replaced by a script, so that the run around it can be driven pass
// by pass without an instrument.
class ScriptedScanMgr : public CScanMgr {
 public:
  using CScanMgr::CScanMgr;
  // The run thread calls DoScan: it must end before this part of the object goes.
  ~ScriptedScanMgr() override { StopCarouselRun(); }

  std::deque<Pass> script;
  std::function<void()> during;  // runs inside every pass
  std::vector<std::string> paths;
  std::vector<std::pair<unsigned, unsigned>> percents;  // red, green of each pass

  void DoScan(const std::string& path) override {
    paths.push_back(path);
    percents.emplace_back(m_nRedPercent, m_nGreenPercent);
    Pass p;
    if (!script.empty()) {
      p = script.front();
      script.pop_front();
    }
    if (p.started) m_nScanStarted = 1;
    if (during) during();
    switch (p.kind) {
      case Pass::ok:
        return;
      case Pass::com:
        throw ComError(platform::com::ItfError(static_cast<std::uint32_t>(p.id)),
                       "Error " + std::to_string(p.id));
      case Pass::message:
        throw RunMessage{p.id};
      case Pass::text:
        throw std::runtime_error("scripted failure");
    }
  }
};

// What an image held just before it was saved.
struct Image {
  std::string path, barcode, scanId, status;
};

// The status window: lines as "kind:text", the scan-file records, the run ends, and each
// image's header values when the run announces that it saves it.
class RunWindow : public RecordingWindow {
 public:
  explicit RunWindow() {
    OnMessage = [this](const Message& msg) {
      std::lock_guard lock(mutex_);
      if (msg.message == WM_SCAN_STATUS_LINE) {
        const std::string text = reinterpret_cast<const char*>(msg.lParam);
        lines_.push_back(std::to_string(msg.wParam) + ":" + text);
        if (msg.wParam == kLineProgress && text.find("Saving") != std::string::npos) CaptureImage();
      } else if (msg.message == WM_SCAN_FILE_INFO) {
        const auto* r = reinterpret_cast<const ScanFileRecord*>(msg.lParam);
        files_.push_back(std::string(r->fileName) + "|" + r->barcode);
      }
      if (onLine && msg.message == WM_SCAN_STATUS_LINE) onLine(reinterpret_cast<const char*>(msg.lParam));
      if (onEnd && msg.message == WM_RUN_ENDED) onEnd();
    };
  }
  void Watch(CScanMgr* mgr) { mgr_ = mgr; }
  std::vector<std::string> Lines() {
    std::lock_guard lock(mutex_);
    return lines_;
  }
  std::vector<std::string> Files() {
    std::lock_guard lock(mutex_);
    return files_;
  }
  std::vector<Image> Images() {
    std::lock_guard lock(mutex_);
    return images_;
  }
  std::vector<std::intptr_t> Ends() const {
    std::vector<std::intptr_t> out;
    for (const auto& [w, l] : Of(WM_RUN_ENDED)) out.push_back(l);
    return out;
  }
  std::vector<std::intptr_t> Recorded() const {
    std::vector<std::intptr_t> out;
    for (const auto& [w, l] : Of(WM_SLOT_RECORDED)) out.push_back(l);
    return out;
  }
  // The lines of the run's end: those after its last blank line, without the one about
  // history lines that could not be written (these tests give the history no folder).
  std::vector<std::string> EndLines() {
    const auto lines = Lines();
    const auto blank = std::find(lines.rbegin(), lines.rend(), "2: ");
    std::vector<std::string> out;
    for (auto it = blank.base(); it != lines.end(); ++it)
      if (it->rfind("5:The scan-history line of slot(s)", 0) != 0) out.push_back(*it);
    return out;
  }
  bool HasLine(const std::string& line) {
    const auto lines = Lines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  }
  bool AnyLineHas(const std::string& part) {
    for (const auto& l : Lines())
      if (l.find(part) != std::string::npos) return true;
    return false;
  }
  std::function<void(const std::string&)> onLine;
  std::function<void()> onEnd;

 private:
  void CaptureImage() {
    CScanDataProc* dp = mgr_ ? mgr_->GetDataProc() : nullptr;
    TiffHandler* file = dp ? dp->GetTiffByChannel(0) : nullptr;
    if (!file || !file->GetStru()) return;
    const TiffScanRecord& r = *file->GetStru();
    images_.push_back({dp->GetTiffHandler().GetScanFileName(), TiffScanRecord::Text(r.barcode),
                       TiffScanRecord::Text(r.scanIdText),
                       TiffScanRecord::Text(r.scanStatus) + TiffScanRecord::Text(r.scanStatusMore)});
  }
  CScanMgr* mgr_ = nullptr;
  std::mutex mutex_;
  std::vector<std::string> lines_, files_;
  std::vector<Image> images_;
};

class CarouselRunTest : public RunTest {
 public:
  CarouselRunTest() : fake_(FakeScanCtrl::Create()), out_(tempDir() + "/out") {
    writeSampleDb();
    clock_->setAutoAdvance(true);
    EXPECT_TRUE(platform::createDirectories(out_));
    CRegEdit(HKEY_LOCAL_MACHINE, zeva::kProductKey)
        .WriteString("TemporaryImageFolder", tempDir() + "/tmpimg");
    fake_->chipThickness = 620.0;
    cfg_.FirstSlot = 1;
    cfg_.LastSlot = 1;
    cfg_.AutoNamingPrefix1 = "<Slide ID>";
    cfg_.AutoNamingPrefix2 = "<Slot #>";
    cfg_.ScanNumberToken = "<Scan #>";
    cfg_.UseSlideID = 1;
    cfg_.DyxScanNameUseSuffix = 1;
    mgr_ = std::make_unique<ScriptedScanMgr>(&window_, fake_.get(), true);
    mgr_->SetMainWindow(&window_);
    mgr_->SetRunConfig(&cfg_);
    window_.Watch(mgr_.get());
  }
  ~CarouselRunTest() override { mgr_.reset(); }

  // A slot with a slide and a small 5 µm region, red 80 % and green 60 %.
  CSlotScanCfgInfo& AddSlide(int slot) {
    auto record = CSlotScanCfgInfo::CreateObject();
    record->OutputPath = out_;
    record->ResolutionType = 2;
    record->PMTRed = 80;
    record->PMTGreen = 60;
    record->OriginX = 12000;
    record->OriginY = 3000;
    record->RegionWidth = 1000;
    record->RegionHeight = 500;
    record->AFX = 10500;
    record->AFY = 3000;
    CSlotScanCfgInfo& ref = *record;
    cfg_.SetAt(slot, std::move(record));
    fake_->slots[slot].present = 1;
    cfg_.LastSlot = std::max(cfg_.LastSlot, slot);
    return ref;
  }
  void SetRetries(long n) { CRegEdit(HKEY_LOCAL_MACHINE, zeva::kScannerKey).WriteInt("ScanRetries", n); }
  void Classes(std::initializer_list<std::pair<int, unsigned>> pairs) {
    for (const auto& p : pairs) fake_->errorClasses.insert(p);
  }
  int Count(const std::vector<std::string>& v, const std::string& s) {
    return static_cast<int>(std::count(v.begin(), v.end(), s));
  }

  RunWindow window_;
  platform::com::ComPtr<FakeScanCtrl> fake_;
  std::string out_;
  CCarouselCfgInfo cfg_;
  std::unique_ptr<ScriptedScanMgr> mgr_;
};

TEST_F(CarouselRunTest, NoSlideFoundEndsBeforeTheCarouselIsLoaded) {
  cfg_.SetAt(1, CSlotScanCfgInfo::CreateObject());
  mgr_->DoCarouselRun();
  EXPECT_TRUE(window_.HasLine("7:Scan failed.\r\nThere is no chip to scan."));
  EXPECT_THAT(window_.Of(WM_CAROUSEL_CHECKED),
              ElementsAre(std::make_pair(std::uintptr_t{0}, std::intptr_t{0})));
  EXPECT_THAT(window_.Ends(), ElementsAre(1));
  EXPECT_EQ(fake_->CallCount("LoadCarousel"), 0);
  EXPECT_EQ(fake_->CallCount("EjectCarousel"), 0);
}

TEST_F(CarouselRunTest, EmptySlotsArePassedOverSilentlyAndListed) {
  cfg_.LastSlot = 5;
  AddSlide(1);
  AddSlide(3);
  AddSlide(5);
  mgr_->DoCarouselRun();
  EXPECT_TRUE(window_.HasLine("1:Total number of slide(s) detected: 3."));
  EXPECT_TRUE(window_.HasLine("1:No slide present in slot(#): 2, 4."));
  EXPECT_FALSE(window_.AnyLineHas("Slot 2 --"));
  EXPECT_FALSE(window_.AnyLineHas("Slot 4 --"));
  EXPECT_THAT(fake_->Calls("LoadChip"), ElementsAre("LoadChip(0,1)", "LoadChip(0,3)", "LoadChip(0,5)"));
  EXPECT_THAT(window_.Recorded(), ElementsAre(1, 3, 5));
  EXPECT_TRUE(window_.HasLine("1:Carousel run completed."));
  EXPECT_EQ(fake_->CallCount("EjectCarousel"), 1);
  EXPECT_THAT(window_.Ends(), ElementsAre(0));
}

TEST_F(CarouselRunTest, SlideLoadFailuresOfSlotOne) {
  struct Case {
    int error;
    std::vector<std::string> lines;
    std::vector<std::intptr_t> recorded;
    std::intptr_t code;
    int ejects;
  };
  Classes({{631, 25}, {4162, 32}});
  const Case cases[] = {
      {631, {"7:No slide found."}, {2}, 0, 1},
      {4162,
       {"5:Scan failed.\r\nThe slide failed to load [Description: Error 4162]; slide was skipped.",
        "7:NOTE: The Autoloader may be out of alignment or the slide holder may need to be replaced. Be "
        "careful "
        "when removing the carousel not to bump the Autoloader Guide Bracket."},
       {1, 2},
       0,
       1},
      {627, {"5:Failed to load the chip.\r\nDescription: Error 627\r\n"}, {}, 1, 0},
  };
  AddSlide(1);
  AddSlide(2);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    RunWindow window;
    mgr_->SetStatusWindow(&window);
    fake_->ClearCalls();
    fake_->Fail("LoadChip", c.error, 1, "Error " + std::to_string(c.error));
    mgr_->DoCarouselRun();
    for (const auto& line : c.lines) EXPECT_TRUE(window.HasLine(line)) << line;
    EXPECT_EQ(window.Recorded(), c.recorded);
    EXPECT_THAT(window.Ends(), ElementsAre(c.code));
    EXPECT_EQ(fake_->CallCount("EjectCarousel"), c.ejects);
  }
}

TEST_F(CarouselRunTest, SlideThatCannotBeNamedIsSkipped) {
  AddSlide(1).OutputPath = "relative/folder";
  AddSlide(2);
  mgr_->DoCarouselRun();
  std::string naming;
  GetMessageText(9949, naming);
  EXPECT_TRUE(window_.HasLine("5:Scan failed.\r\n" + naming + "\r\n"));
  EXPECT_EQ(mgr_->paths.size(), 1u);
  EXPECT_THAT(window_.Recorded(), ElementsAre(1, 2));
  EXPECT_THAT(window_.Ends(), ElementsAre(0));
}

// The run's end says whether anything was scanned and names the slots given up or failed;
// a run that scanned no slide is no completed run.
TEST_F(CarouselRunTest, TheSummaryNamesSkippedAndFailedSlotsAndARunWithoutAScanIsNoSuccess) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    std::vector<std::string> endLines;  // the lines after the last " "
    std::intptr_t code;
  };
  Classes({{4162, 32}});
  const std::string completed = "1:" + StatusText(9937);
  const std::string none = "5:Carousel run ended without scanning a slide.";
  const Case cases[] = {
      {"every slide scanned", [] {}, {completed}, 0},
      {"slot 2 cannot be named",
       [this] { cfg_.GetAt(2)->OutputPath = "relative/folder"; },
       {completed, "5:Slide skipped in slot(#): 2."},
       0},
      {"no slide can be named",
       [this] {
         cfg_.GetAt(1)->OutputPath = "relative/folder";
         cfg_.GetAt(2)->OutputPath = "relative/folder";
       },
       {none, "5:Slide skipped in slot(#): 1, 2."},
       1},
      {"no slide loads",
       [this] { fake_->Fail("LoadChip", 4162, 2); },
       {none, "5:Slide skipped in slot(#): 1, 2."},
       1},
      {"slot 1 skipped, slot 2 fails",
       [this] {
         cfg_.GetAt(1)->OutputPath = "relative/folder";
         mgr_->script = {{Pass::text}};
       },
       {"5:Scan failed.\r\nscripted failure\r\n", "5:Slide skipped in slot(#): 1.",
        "5:Slide failed in slot(#): 2."},
       1},
      {"slot 1 fails to load",
       [this] { fake_->Fail("LoadChip", 627, 1, "Error 627"); },  // the run stops there
       {"5:Failed to load the chip.\r\nDescription: Error 627\r\n", "5:Slide failed in slot(#): 1."},
       1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunWindow window;
    mgr_->SetStatusWindow(&window);
    mgr_->script.clear();
    fake_->ClearFailures();
    AddSlide(1);
    AddSlide(2);
    c.arrange();
    mgr_->DoCarouselRun();
    EXPECT_EQ(window.EndLines(), c.endLines);
    EXPECT_THAT(window.Ends(), ElementsAre(c.code));
  }
}

// A folder that refuses new files fails the naming of every slide; the skipped slide's
// line names that cause, not only the naming failure.
TEST_F(CarouselRunTest, ASlideSkippedForAFolderThatRefusesNewFilesSaysSo) {
  const std::string folder = tempDir() + "/locked";
  ASSERT_TRUE(platform::createDirectories(folder));
  lumetra_test::ReadOnlyFolder readOnly(folder);
  if (!readOnly.Refuses()) GTEST_SKIP() << readOnly.Why();
  AddSlide(1).OutputPath = folder;
  mgr_->DoCarouselRun();
  EXPECT_TRUE(window_.HasLine("5:Scan failed.\r\n" + StatusText(9949) + "\r\n" +
                              FolderNotWritableText(folder, readOnly.ExpectedError()) + "\r\n"))
      << testing::PrintToString(window_.Lines());
  EXPECT_TRUE(mgr_->paths.empty());
  EXPECT_THAT(window_.Ends(), ElementsAre(1));
}

// A pass that ends the run at once (the instrument timed out, or laser power is out of
// its specification) still gets its slide's history line, as every other failed slide.
TEST_F(CarouselRunTest, ASlideWhosePassEndsTheRunIsRecordedAsFailed) {
  Classes({{603, 26}, {12108, 50}});
  for (const int error : {603, 12108}) {
    SCOPED_TRACE(error);
    RunWindow window;
    mgr_->SetStatusWindow(&window);
    AddSlide(1);
    AddSlide(2);
    mgr_->script = {{Pass::com, error}};
    mgr_->DoCarouselRun();
    EXPECT_THAT(window.Recorded(), ElementsAre(1));
    // The run ends at once: no blank line before its end, which ends this slot's lines.
    const std::string failed = "5:Scan failed.\r\nDescription: Error " + std::to_string(error) + "\r\n";
    const auto end = window.EndLines();
    ASSERT_GE(end.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(end.end() - 2, end.end()),
              (std::vector<std::string>{failed, "5:Slide failed in slot(#): 1."}));
    EXPECT_THAT(window.Ends(), ElementsAre(1));
  }
}

// The operator was told an image's name when its pass began: a pass that leaves no image
// says so, in the status box and in the report.
TEST_F(CarouselRunTest, APassThatLeavesNoImageSaysSo) {
  struct Case {
    Pass pass;
    std::string why;
  };
  const Case cases[] = {
      {{Pass::com, 4242, false}, "the scan did not start"},
      {{Pass::com, 4242, true}, "no scan line was written"},
  };
  fake_->barcode = "US555";
  AddSlide(1);
  const std::string path = out_ + "/US555_SLOT01_S01.tif";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.why);
    RunWindow window;
    mgr_->SetStatusWindow(&window);
    mgr_->script = {c.pass};
    mgr_->DoCarouselRun();
    EXPECT_TRUE(window.HasLine("5:No image was kept for '" + path + "': " + c.why + "."))
        << testing::PrintToString(window.Lines());
    EXPECT_FALSE(platform::fileExists(path));
  }
}

// What a slide reported stays in the run's summary when an empty slot follows it.
TEST_F(CarouselRunTest, AnEmptySlotAfterASlideKeepsWhatTheSlideReportedInTheSummary) {
  AddSlide(1);
  cfg_.LastSlot = 3;  // slots 2 and 3 hold no slide
  fake_->Fail("EndScan", 4242, 1, "Error 4242");
  mgr_->DoCarouselRun();
  EXPECT_TRUE(window_.HasLine("5:Description: Error 4242"));
  EXPECT_EQ(window_.EndLines(),
            std::vector<std::string>{"1:" + StatusText(9937) + "\r\nDescription: Error 4242\r\n"});
  EXPECT_THAT(window_.Ends(), ElementsAre(0));
}

TEST_F(CarouselRunTest, BarcodeReadEnteredMismatchedOrMissing) {
  struct Case {
    std::string read, entered, file, imageBarcode, line;
  };
  const Case cases[] = {
      {"US111", "", "US111_SLOT01_S01.tif", "US111", ""},
      {"", "USER9", "USER9_SLOT01_S01.tif", "USER9", "2:No barcode read.  Using user entered barcode\r\n"},
      {"US111", "USER9", "USER9_SLOT01_S01.tif", "US111",
       "8:Read barcode (US111) mismatches with user entered (USER9). Using read barcode\r\n"},
      {"", "", "SLOT01_SLOT01_S01.tif", "NOBARCODE", "2:Slot number used as file name prefix\r\n"},
  };
  CSlotScanCfgInfo& slot = AddSlide(1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.read + "/" + c.entered);
    fake_->barcode = c.read;
    slot.SlideID = c.entered;
    window_.Watch(mgr_.get());
    const auto before = window_.Images().size();
    mgr_->DoCarouselRun();
    EXPECT_THAT(window_.Files(), Contains(out_ + "/" + c.file + "|" + c.imageBarcode));
    ASSERT_EQ(window_.Images().size(), before + 1);
    EXPECT_EQ(window_.Images().back().barcode, c.imageBarcode);
    if (!c.line.empty()) {
      EXPECT_TRUE(window_.HasLine(c.line));
    }
  }
}

TEST_F(CarouselRunTest, TwoPassLowFirstWithSuffixesScansLowThenHighWithOneIdentifier) {
  cfg_.DyxScanLoPMTFirst = 1;
  fake_->barcode = "US222";
  AddSlide(1).DyxRatio = 0.5;
  mgr_->DoCarouselRun();
  const std::string base = out_ + "/US222_SLOT01_S01";
  EXPECT_THAT(mgr_->paths, ElementsAre(base + "_L.tif", base + "_H.tif"));
  EXPECT_THAT(mgr_->percents, ElementsAre(std::make_pair(40u, 30u), std::make_pair(80u, 60u)));
  // Preset for the low first pass, again for the high second one.
  EXPECT_THAT(fake_->Calls("CalculatePMTVoltage"),
              ElementsAre("CalculatePMTVoltage(0,0.4,0)", "CalculatePMTVoltage(1,0.3,0)",
                          "CalculatePMTVoltage(0,0.8,0)", "CalculatePMTVoltage(1,0.6,0)"));
  const auto images = window_.Images();
  ASSERT_EQ(images.size(), 2u);
  EXPECT_EQ(images[0].path, base + "_L.tif");
  EXPECT_EQ(images[1].path, base + "_H.tif");
  // The low image has role 2, the high one role 1, both the same identifier.
  const std::string id = images[0].scanId.substr(0, images[0].scanId.find(':'));
  EXPECT_EQ(id.substr(0, 3), "Dyx");
  EXPECT_EQ(id.size(), 3u + 14u);
  EXPECT_THAT(images[0].scanId, HasSubstr(id + ":2;"));
  EXPECT_THAT(images[1].scanId, HasSubstr(id + ":1;"));
  EXPECT_THAT(window_.Recorded(), ElementsAre(1));
  EXPECT_THAT(window_.Ends(), ElementsAre(0));
}

TEST_F(CarouselRunTest, GivenUpPassesAreNotRepeatedAndSkipTheSlide) {
  struct Case {
    const char* name;
    long retries;
    double dyx;
    Pass pass;
    int scans;
    bool memDump;
  };
  Classes({{4145, 14}, {4145, 24}, {650, 31}});
  const Case cases[] = {
      {"autofocus, no retries", 0, 0, {Pass::com, 4145}, 1, true},
      {"thickness on a two-pass slide", 0, 0.5, {Pass::com, 650}, 1, false},
      {"autofocus after its retry", 1, 0, {Pass::com, 4145}, 2, true},
  };
  fake_->barcode = "US333";
  CSlotScanCfgInfo& first = AddSlide(1);
  AddSlide(2);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SetRetries(c.retries);
    first.DyxRatio = c.dyx;
    mgr_->paths.clear();
    mgr_->script.assign(static_cast<std::size_t>(c.scans), c.pass);
    fake_->ClearCalls();
    mgr_->DoCarouselRun();
    // The slide is given up, the run goes on with slot 2.
    EXPECT_EQ(static_cast<int>(mgr_->paths.size()), c.scans + 1);
    EXPECT_EQ(fake_->CallCount("DSPMemDump"), c.memDump ? 1 : 0);
    if (c.memDump) {
      EXPECT_THAT(fake_->Calls("DSPMemDump"),
                  ElementsAre("DSPMemDump(3,8192,5888," + out_ + "/US333_SLOT01_S01_AF_MemDump.log)"));
    }
    EXPECT_TRUE(window_.HasLine("7:Slide skipped.\r\n\r\n"));
    EXPECT_EQ(window_.Ends().back(), 0);
  }
  EXPECT_THAT(window_.Recorded(), ElementsAre(1, 2, 1, 2, 1, 2));
}

TEST_F(CarouselRunTest, RetriedPassIsNeverReportedComplete) {
  SetRetries(1);
  fake_->barcode = "US444";
  AddSlide(1);
  mgr_->script = {{Pass::message, 9952}, {}};
  mgr_->DoCarouselRun();
  const auto images = window_.Images();
  ASSERT_EQ(images.size(), 2u);
  EXPECT_THAT(images[0].status, Not(HasSubstr("Scan completed.")));
  EXPECT_THAT(images[0].status, HasSubstr("repeated"));
  EXPECT_THAT(images[1].status, HasSubstr("Scan completed."));
  EXPECT_THAT(images[1].status, Not(HasSubstr("repeated")));
  EXPECT_TRUE(window_.HasLine("3:Failed to process scan data***Scan retry***\r\n"));
  EXPECT_EQ(Count(window_.Lines(), "1:Scan completed.\r\n\r\n"), 1);
  EXPECT_EQ(fake_->CallCount("AbortScan"), 1);  // the cut-short pass is stopped on the instrument
  EXPECT_THAT(window_.Ends(), ElementsAre(0));
}

TEST_F(CarouselRunTest, AnImageThatCannotBeSavedFailsItsSlideAndStopsTheRun) {
  AddSlide(1);
  AddSlide(2);
  // The data of the first slide came whole; its image cannot be written while it is saved
  // (the progress dialog relays the data processor's report as the data status).
  window_.onLine = [this](const std::string& line) {
    if (line.find("Saving") != std::string::npos && mgr_->paths.size() == 1)
      mgr_->SetDataStatus(kDataStatusWriteFailed);
  };
  mgr_->DoCarouselRun();
  EXPECT_EQ(mgr_->paths.size(), 1u);
  EXPECT_THAT(window_.Recorded(), ElementsAre(1));
  EXPECT_TRUE(window_.HasLine("5:Failed to write to the scan file"));
  EXPECT_TRUE(window_.HasLine("5:Scan failed.\r\nFailed to write to the scan file\r\n"));
  EXPECT_FALSE(window_.AnyLineHas("Carousel run completed."));
  EXPECT_THAT(window_.Ends(), ElementsAre(1));
}

TEST_F(CarouselRunTest, AbortAfterTheScanLetsTheSlideFinishAndEndsAsAborted) {
  for (int slot = 1; slot <= 5; ++slot) AddSlide(slot);
  mgr_->during = [this] {
    if (mgr_->paths.size() == 2) mgr_->RequestAbort(true, true);
  };
  mgr_->DoCarouselRun();
  EXPECT_EQ(mgr_->paths.size(), 2u);
  EXPECT_THAT(window_.Recorded(), ElementsAre(1, 2));
  EXPECT_THAT(window_.Images().back().status, HasSubstr("Scan completed."));
  EXPECT_EQ(fake_->CallCount("AbortScan"), 0);
  EXPECT_EQ(fake_->CallCount("EjectCarousel"), 1);
  EXPECT_TRUE(window_.HasLine("0:Carousel run aborted. Ejecting carousel..."));
  EXPECT_TRUE(window_.HasLine("7:Carousel run aborted. Operation aborted by user."));
  EXPECT_FALSE(window_.AnyLineHas("Carousel run completed."));
  EXPECT_THAT(window_.Ends(), ElementsAre(1));
}

TEST_F(CarouselRunTest, AutofocusHoldWarnings) {
  struct Case {
    int af;
    std::string line;  // "" for none
  };
  const std::string extended = "5:AutoFocus was suspended for an extended period of time during the scan [";
  const std::string longer = "4:AutoFocus was suspended longer than normal during the scan [";
  const Case cases[] = {{2, ""},
                        {3, longer + "3.0000 percent]."},
                        {8, extended + "8.0000 percent]."},
                        {150, extended + "100.0000 percent]."}};
  AddSlide(1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.af);
    fake_->afStats = c.af;
    const auto before = window_.Lines().size();
    mgr_->DoCarouselRun();
    const auto lines = window_.Lines();
    std::vector<std::string> warnings;
    for (auto i = before; i < lines.size(); ++i)
      if (lines[i].find("AutoFocus was suspended") != std::string::npos) warnings.push_back(lines[i]);
    if (c.line.empty()) {
      EXPECT_TRUE(warnings.empty());
    } else {
      ASSERT_EQ(warnings.size(), 1u);
      EXPECT_EQ(warnings[0].substr(0, c.line.size()), c.line);
    }
  }
}

TEST_F(CarouselRunTest, EachSlotIsPresetWithItsOwnChannelsAndSensitivities) {
  CSlotScanCfgInfo& red = AddSlide(1);
  red.UseGreen = 0;
  red.PMTRed = 50;
  CSlotScanCfgInfo& green = AddSlide(2);
  green.UseRed = 0;
  green.PMTGreen = 70;
  mgr_->DoCarouselRun();
  std::vector<std::string> calls;
  for (const auto& c : fake_->Calls())
    if (c.rfind("CalculatePMTVoltage", 0) == 0 || c.rfind("LoadChip", 0) == 0) calls.push_back(c);
  EXPECT_THAT(calls, ElementsAre("CalculatePMTVoltage(0,0.5,0)", "LoadChip(0,1)",
                                 "CalculatePMTVoltage(1,0.7,0)", "LoadChip(0,2)"));
}

TEST_F(CarouselRunTest, EndOfRunCalibrationStartsFromNeutralLaserFactors) {
  AddSlide(1);
  mgr_->during = [this] {
    mgr_->m_fRedLaserFactor = 0.5f;
    mgr_->m_fGreenLaserFactor = 0.25f;
  };
  mgr_->DoCarouselRun();
  EXPECT_THAT(fake_->Calls("CalibratePMT").back(), HasSubstr(",0.5,0.25)"));
  // Every slide of the next run is given up before its scan.
  Classes({{4162, 32}});
  fake_->Fail("LoadChip", 4162);
  mgr_->DoCarouselRun();
  EXPECT_EQ(mgr_->paths.size(), 1u);
  EXPECT_THAT(fake_->Calls("CalibratePMT").back(), HasSubstr(",1,1)"));
}

TEST_F(CarouselRunTest, SecondPassFailingAfterItsStartIsStoppedOnTheInstrument) {
  cfg_.DyxScanLoPMTFirst = 0;
  AddSlide(1).DyxRatio = 0.2;
  mgr_->script = {{}, {Pass::com, 4242}};
  mgr_->DoCarouselRun();
  ASSERT_EQ(mgr_->paths.size(), 2u);
  EXPECT_EQ(fake_->CallCount("AbortScan"), 1);
  EXPECT_TRUE(window_.HasLine("0:Scan failed. Saving any collected data."));
  EXPECT_THAT(window_.Ends(), ElementsAre(1));
}

TEST_F(CarouselRunTest, LaserPowerFailureBlocksTheLasersBeforeTheRunEnds) {
  Classes({{12108, 35}, {12108, 36}, {12108, 50}});
  AddSlide(1);
  AddSlide(2);
  mgr_->script = {{Pass::com, 12108}};
  int blockedAtEnd = -1;
  window_.onEnd = [&] { blockedAtEnd = fake_->CallCount("SDPBlockLasers"); };
  mgr_->DoCarouselRun();
  EXPECT_GE(blockedAtEnd, 1);
  EXPECT_EQ(blockedAtEnd, fake_->CallCount("SDPBlockLasers"));  // nothing after the run end
  EXPECT_EQ(mgr_->paths.size(), 1u);
  EXPECT_EQ(fake_->CallCount("EjectCarousel"), 0);
  EXPECT_TRUE(window_.HasLine("5:Scan failed.\r\nDescription: Error 12108\r\n"));
  EXPECT_THAT(window_.Ends(), ElementsAre(1));
  ASSERT_EQ(window_.Images().size(), 0u);  // saved without the usual announcement
  EXPECT_EQ(mgr_->GetDataProc()->GetTiffHandler().GetFileCount(), 0u);
}

// Every way out of the run body sends exactly one run end, with its code.
TEST_F(CarouselRunTest, EveryExitSendsOneRunEnd) {
  struct Case {
    const char* name;
    std::function<void()> arrange;
    std::intptr_t code;
    bool ejected;
  };
  const Case cases[] = {
      {"completed", [] {}, 0, true},
      {"invalid slot range", [this] { cfg_.FirstSlot = 0; }, 1, false},
      {"carousel load fails", [this] { fake_->Fail("LoadCarousel", 627); }, 1, false},
      {"PMT memory fails", [this] { fake_->Fail("PMTChangeVoltageEx", 637); }, 1, false},
      {"slide load fails", [this] { fake_->Fail("LoadChip", 627); }, 1, false},
      {"region check fails", [this] { writeDb(""); }, 1, true},
      {"scan fails", [this] { mgr_->script = {{Pass::text}}; }, 1, true},
      {"abort now during the scan", [this] { mgr_->during = [this] { mgr_->RequestAbort(true, false); }; }, 1,
       true},
      {"eject fails", [this] { fake_->Fail("EjectCarousel", 627); }, 2, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    RunWindow window;
    auto fake = FakeScanCtrl::Create();
    fake_ = fake;
    fake_->chipThickness = 620.0;
    writeSampleDb();
    cfg_.FirstSlot = 1;
    mgr_ = std::make_unique<ScriptedScanMgr>(&window, fake_.get(), true);
    mgr_->SetRunConfig(&cfg_);
    window.Watch(mgr_.get());
    AddSlide(1);
    c.arrange();
    mgr_->DoCarouselRun();
    EXPECT_THAT(window.Ends(), ElementsAre(c.code));
    EXPECT_EQ(fake_->CallCount("EjectCarousel"), c.ejected ? 1 : 0);
    EXPECT_EQ(mgr_->GetDataProc()->GetTiffHandler().GetFileCount(), 0u);
    if (c.code == 2) {
      EXPECT_TRUE(window.AnyLineHas("Failed to eject the chip."));
      EXPECT_FALSE(window.AnyLineHas("Carousel run completed."));
    }
    if (std::string(c.name) == "abort now during the scan") {
      EXPECT_TRUE(window.HasLine("7:Scan aborted."));
      EXPECT_TRUE(window.HasLine("0:Scan aborted. Saving any collected data."));
    }
    mgr_.reset();
  }
}

TEST_F(CarouselRunTest, UnhandledErrorOnTheRunThreadClosesTheImageAndEndsTheRun) {
  AddSlide(1);
  fake_->Hook("EndScan", []() -> platform::com::HRESULT { throw std::runtime_error("unexpected"); });
  ASSERT_TRUE(mgr_->StartCarouselRunThread());
  ASSERT_TRUE(window_.WaitFor([](const Message& m) { return m.message == WM_RUN_ENDED; }));
  ASSERT_TRUE(mgr_->WaitForCarouselRun(std::chrono::seconds(30)));
  EXPECT_THAT(window_.Ends(), ElementsAre(1));
  EXPECT_FALSE(mgr_->IsRunInProgress());
  EXPECT_EQ(mgr_->GetDataProc()->GetTiffHandler().GetFileCount(), 0u);
  EXPECT_THAT(log(), HasSubstr("An unhandled error occurred. [Unknown error in ScanThread()]"));
}

TEST_F(CarouselRunTest, OneRunThreadAtATimeAndTheDestructorAbortsAndJoinsIt) {
  AddSlide(1);
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  mgr_->during = [released] { released.wait_for(std::chrono::seconds(30)); };
  ASSERT_TRUE(mgr_->StartCarouselRunThread());
  ASSERT_TRUE(window_.WaitFor([](const Message& m) { return m.message == WM_SCAN_FILE_INFO; }));
  EXPECT_TRUE(mgr_->IsRunInProgress());
  EXPECT_FALSE(mgr_->StartCarouselRunThread());
  // The destructor asks for an abort now; the scan in progress then ends.
  std::once_flag once;
  fake_->Hook("SDPSetAbort", [&]() -> platform::com::HRESULT {
    std::call_once(once, [&] { release.set_value(); });
    return platform::com::S_OK;
  });
  mgr_.reset();
  EXPECT_GE(fake_->CallCount("SDPSetAbort"), 1);
  EXPECT_EQ(fake_->CallCount("EjectCarousel"), 1);
}

}  // namespace
