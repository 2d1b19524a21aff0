#include "CarouselRunFixture.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "Jotwell/ProductKeys.h"
#include "Jotwell/RegEdit.h"
#include "Jotwell/Utilities.h"
#include "RegionDbBuilder.h"
#include "RunTestSupport.h"
#include "okSim/okSim.h"
#include "platform/files.h"
#include "run/RunStatus.h"
#include "run/ScanDataProc.h"
#include "run/ScanLogFile.h"
#include "run/ScanMgr.h"
#include "zevasim/DeviceFamilies.h"

namespace lumetra_test {

using namespace lumetra::run;

namespace {

// The dialog's own start-up step, run on its thread.
constexpr unsigned kStartRunMessage = platform::WM_USER + 900;

constexpr const char* kLoggingKey = "Software\\Tarsel\\ZevazOdizo\\Scanner\\Logging\\";
constexpr const char* kReportTitle = "TARSEL SCANNER -- CAROUSEL REPORT LOG";

// Report category of a status line's kind; -1: none.
int ReportCategory(int kind) {
  switch (kind) {
    case 1:
    case 2:
      return REPORT_HEADER;
    case 3:
      return REPORT_INFO;
    case 4:
      return REPORT_WARNING;
    case 5:
      return REPORT_ERROR;
    case 7:
      return REPORT_ATTENTION1;
    case 8:
      return REPORT_ATTENTION2;
    case 9:
      return REPORT_ATTENTION3;
    default:
      return -1;
  }
}

bool ShownInStatusBox(int kind) { return kind == 0 || kind == 1 || kind == 3 || kind == 5 || kind == 7; }

}  // namespace

// ---- ProgressWindow ---------------------------------------------------------------------------

ProgressWindow::ProgressWindow() : m_Thread([this] { Loop(); }) {}

ProgressWindow::~ProgressWindow() {
  {
    std::lock_guard lock(m_Mutex);
    m_bQuit = true;
  }
  m_Changed.notify_all();
  m_Thread.join();
}

bool ProgressWindow::StartRun(CScanMgr& manager) {
  return send(kStartRunMessage, 0, reinterpret_cast<std::intptr_t>(&manager)) != 0;
}

std::optional<int> ProgressWindow::WaitForRunEnd(std::chrono::milliseconds timeout) {
  std::unique_lock lock(m_Mutex);
  m_Changed.wait_for(lock, timeout, [this] { return m_RunEnd.has_value(); });
  return m_RunEnd;
}

bool ProgressWindow::post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
  auto item = std::make_shared<Item>(Item{message, wParam, lParam, false});
  {
    std::lock_guard lock(m_Mutex);
    if (m_bQuit) return false;
    m_Queue.push_back(item);
  }
  m_Changed.notify_all();
  return true;
}

bool ProgressWindow::postText(unsigned message, std::uintptr_t wParam, std::string text) {
  auto item = std::make_shared<Item>(Item{message, wParam, 0, false});
  item->text = std::move(text);
  {
    std::lock_guard lock(m_Mutex);
    if (m_bQuit) return false;
    m_Queue.push_back(item);
  }
  m_Changed.notify_all();
  return true;
}

std::intptr_t ProgressWindow::send(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
  if (std::this_thread::get_id() == m_Thread.get_id()) return Handle(message, wParam, lParam, true);
  auto item = std::make_shared<Item>(Item{message, wParam, lParam, true});
  std::unique_lock lock(m_Mutex);
  if (m_bQuit) return 0;
  m_Queue.push_back(item);
  m_Changed.notify_all();
  // As SendMessage: the sender waits until the window has handled it.
  m_Changed.wait(lock, [&] { return item->done || m_bQuit; });
  return item->result;
}

void ProgressWindow::Loop() {
  std::unique_lock lock(m_Mutex);
  for (;;) {
    m_Changed.wait(lock, [this] { return m_bQuit || !m_Queue.empty(); });
    if (m_bQuit) return;
    const std::shared_ptr<Item> item = m_Queue.front();
    m_Queue.pop_front();
    lock.unlock();
    const std::intptr_t lParam =
        item->text ? reinterpret_cast<std::intptr_t>(item->text->c_str()) : item->lParam;
    const std::intptr_t result = Handle(item->message, item->wParam, lParam, item->sent);
    lock.lock();
    item->result = result;
    item->done = true;
    m_Changed.notify_all();
  }
}

void ProgressWindow::AppendStatus(const std::string& text) {
  if (m_StatusText.size() < 2 || m_StatusText.compare(m_StatusText.size() - 2, 2, "\r\n") != 0)
    m_StatusText += "\r\n";
  m_StatusText += text;
}

std::intptr_t ProgressWindow::Handle(unsigned message, std::uintptr_t wParam, std::intptr_t lParam,
                                     bool /*sent*/) {
  // Handlers run on this thread only; the lock keeps the test's readers consistent.
  if (OnMessage) OnMessage(message, wParam, lParam);
  switch (message) {
    case kStartRunMessage: {
      auto* manager = reinterpret_cast<CScanMgr*>(lParam);
      CRegEdit reg(HKEY_LOCAL_MACHINE, kLoggingKey);
      std::string html = reg.ReadString("HTMLLogPath", "");
      if (html.empty()) html = GetModuleDir() + "CarouselRunLog.htm";
      std::string xml = reg.ReadString("XMLFilesPath", "");
      if (xml.empty()) xml = GetModuleDir() + "CarouselRunLog.xml";
      {
        std::lock_guard lock(m_Mutex);
        m_pManager = manager;
        m_XmlPath = xml;
      }
      manager->SetStatusWindow(this);
      m_Report.SetXslFile(reg.ReadString("XSLFileName", "logfile").c_str());
      m_Report.SetDtdFile(reg.ReadString("DTDFileName", "logfile").c_str());
      try {
        m_Report.SetHtmlPath(html.c_str());
      } catch (const std::string& text) {
        ADD_FAILURE() << text;
      }
      m_Report.Open(xml.c_str(), kReportTitle);
      {
        std::lock_guard lock(m_Mutex);
        m_HtmlPath = m_Report.GetHtmlFile();
      }
      return manager->StartCarouselRunThread() ? 1 : 0;
    }
    case WM_SCANNER_STATUS_TEXT: {
      const std::string text = MessageText(lParam);
      std::lock_guard lock(m_Mutex);
      if (!text.empty()) AppendStatus(text);
      return 0;
    }
    case WM_SCAN_STATUS_LINE: {
      const std::string text = lParam ? reinterpret_cast<const char*>(lParam) : "";
      const int kind = static_cast<int>(wParam);
      if (text.empty() || kind > 9) return 0;
      // The report entry comes before the status box.
      if (const int category = ReportCategory(kind); category >= 0) m_Report.AddLog(category, text.c_str());
      std::lock_guard lock(m_Mutex);
      m_Lines.push_back({kind, text});
      if (ShownInStatusBox(kind)) AppendStatus(text);
      return 0;
    }
    case WM_SCAN_FILE_INFO: {
      const auto* record = reinterpret_cast<const ScanFileRecord*>(lParam);
      if (!record) return 0;
      ScanFile file{record->slot, record->fileName ? record->fileName : "",
                    record->barcode ? record->barcode : "", record->lines};
      m_Report.AddLog(REPORT_HEADER, ("Scanned image: " + file.fileName + "\r\n").c_str());
      std::lock_guard lock(m_Mutex);
      m_Files.push_back(std::move(file));
      return 0;
    }
    case WM_SLOT_RECORDED: {
      std::lock_guard lock(m_Mutex);
      ++m_nCompleted;
      return 0;
    }
    case WM_CAROUSEL_CHECKED: {
      std::lock_guard lock(m_Mutex);
      m_nTotal = static_cast<int>(wParam);
      return 0;
    }
    case WM_SCANDATA_PROGRESS: {
      CScanMgr* manager = nullptr;
      {
        std::lock_guard lock(m_Mutex);
        m_DataProgress.emplace_back(wParam, lParam);
        manager = m_pManager;
      }
      // The one-slide scan polls the data status the failure leaves here.
      if (wParam == kScanDataFailed && manager) manager->SetDataStatus(static_cast<int>(lParam));
      return 0;
    }
    case WM_RUN_ENDED: {
      // As the dialog ends a run: a last try for the report entries a full disk held back,
      // and the operator told of those still missing.
      m_Report.WritePending();
      const std::string incomplete = m_Report.IncompleteText();
      {
        std::lock_guard lock(m_Mutex);
        if (!incomplete.empty()) AppendStatus(incomplete);
        m_RunEnd = static_cast<int>(lParam);
      }
      m_Changed.notify_all();
      return 0;
    }
    default:
      return 0;
  }
}

std::vector<ProgressWindow::Line> ProgressWindow::Lines() const {
  std::lock_guard lock(m_Mutex);
  return m_Lines;
}

std::vector<ProgressWindow::ScanFile> ProgressWindow::ScanFiles() const {
  std::lock_guard lock(m_Mutex);
  return m_Files;
}

std::string ProgressWindow::StatusText() const {
  std::lock_guard lock(m_Mutex);
  return m_StatusText;
}

std::vector<std::pair<std::uintptr_t, std::intptr_t>> ProgressWindow::DataProgress() const {
  std::lock_guard lock(m_Mutex);
  return m_DataProgress;
}

int ProgressWindow::SlidesCompleted() const {
  std::lock_guard lock(m_Mutex);
  return m_nCompleted;
}

int ProgressWindow::TotalSlides() const {
  std::lock_guard lock(m_Mutex);
  return m_nTotal;
}

std::string ProgressWindow::Transcript() const {
  std::lock_guard lock(m_Mutex);
  std::string out;
  for (const Line& line : m_Lines) out += "[" + std::to_string(line.kind) + "] " + line.text + "\n";
  return out;
}

// ---- CarouselRunTest ----------------------------------------------------------------------------

CarouselRunTest::CarouselRunTest() {
  m_Install = tempDir() + "/install";
  m_Out = tempDir() + "/images";
  m_Report = tempDir() + "/report";
  for (const std::string& folder : {m_Install + "/Logs", m_Out, m_Report})
    EXPECT_TRUE(platform::createDirectories(folder));
  CopyReportFiles(m_Install);

  // A region database that takes tiny regions anywhere on every model.
  testsupport::writeFile(m_Install + "/RegionDB.sys",
                         regiondb::version2({{"ANY", 0xF, {0, 0, 75000, 25000, 75000, 25000, 100, 100}}}));

  CRegEdit scanner(HKEY_LOCAL_MACHINE, zeva::kScannerKey);
  scanner.WriteInt("BarcodeCount", 1);
  CRegEdit(HKEY_LOCAL_MACHINE, "Software\\Tarsel\\ZevazOdizo\\Scanner").WriteInt("ScanRetries", 0);
  CRegEdit logging(HKEY_LOCAL_MACHINE, "Software\\Tarsel\\ZevazOdizo\\Scanner\\Logging\\");
  logging.WriteString("XMLFilesPath", m_Report + "/CarouselRunLog.xml");
  logging.WriteString("HTMLLogPath", m_Report + "/CarouselRunLog.htm");
  logging.WriteString("DTDFileName", "logfile");
  logging.WriteString("XSLFileName", "logfile");
  CRegEdit(HKEY_CURRENT_USER, zeva::kScannerKey).WriteInt("AutoDisplayScanReport", 0);

  // Healthy supplies; the instrument's calibration light reaches the board's tubes.
  devices.controller->setNominalSupplies();
  devices.scans->onCalibrationLight([](bool on) { okSim_SetCalibrationLight(on ? 1 : 0); });
  // A slide of the maker's thickness.
  devices.scans->setAutofocus(620.5, 0, 25);
  // The instrument streams the 18-word status record of every line of the scan after its
  // first line request (the run fetches them one by one).
  sim.setHandler("getscanline", [](const zevasim::Request&) { return zevasim::StatusRecordsReply(kLines); });

  // Laser references equal to the photodiode counts in the lines' headers and no channel
  // offsets, so that a pixel decodes to the board's value less the dark level.
  okSim_ForcePd(0, 1000);
  okSim_ForcePd(1, 2000);
  for (const auto& [key, value] : FlashValues()) devices.flash->set(key, value);
  devices.flash->erase("LaserCompensationRequired_R");
  devices.flash->erase("LaserCompensationRequired_G");

  // Tubes that give the nominal calibration signal at the factory voltage: the PMT
  // calibration keeps that voltage. Their read-back follows what they were set to.
  devices.flash->erase("PMTCalibErrorFlag");
  okSim_SetPMTReadsVoltage(1);
  for (int green : {0, 4}) {
    okSim_SetSampleValues(1 | green, 600, 4200);
    okSim_SetSampleValues(2 | green, 100, 200);
  }
  // The set word of the factory voltage: 4.095 counts a volt.
  constexpr int kFactoryCounts = kFactoryVoltage * 4095 / 10000;
  for (int red : {1, 0}) okSim_SetPmtResponse(red, 30, kNominalSignal / 4.0, kFactoryCounts, 7.833);

  // The board scans the slide on the arm over the region the instrument was given.
  devices.scans->onScanStarted([autoloader = devices.autoloader](const zevasim::ScanFamily::ScanStart& s) {
    const auto held = autoloader->heldSlide();
    okSim_SetSlideScan(held ? held->barcode.c_str() : "", s.vcStart, s.stageStart,
                       static_cast<int>(std::lround(s.vcIncrement * s.binX)),
                       static_cast<int>(std::lround(s.stageIncrement * s.binY)), s.pixels, s.rows,
                       s.passes == 2 ? 1 : 0);
  });
  okSim_SetIntegrationCount(40);
}

std::vector<std::pair<std::string, std::string>> CarouselRunTest::FlashValues() {
  return {{"Model", "K7431C"},
          {"LaserSetPointMWatt_G", "1000"},
          {"LaserPDCtToMWatt_G", "1"},
          {"LaserSetPointMWatt_R", "2000"},
          {"LaserPDCtToMWatt_R", "1"},
          {"RedGreenOffsetDeltaH", "0"},
          {"RedGreenOffsetDeltaV", "0"},
          {"LeftRightOffsetDeltaH", "0"},
          {"PMT1", std::to_string(kFactoryVoltage)},
          {"PMT2", std::to_string(kFactoryVoltage)},
          {"PMT1_NominalCalibrationSignal", std::to_string(kNominalSignal)},
          {"PMT2_NominalCalibrationSignal", std::to_string(kNominalSignal)}};
}

CarouselRunTest::~CarouselRunTest() {
  devices.scans->onCalibrationLight(nullptr);
  devices.scans->onScanStarted(nullptr);
}

void CarouselRunTest::LoadCarousel(const std::vector<Slide>& slides) {
  for (const Slide& slide : slides) devices.autoloader->putSlide(slide.slot, {slide.barcode, "7"});
}

std::unique_ptr<CCarouselCfgInfo> CarouselRunTest::MakeRunConfig(int first, int last,
                                                                 const std::vector<int>& slots) const {
  auto config = std::make_unique<CCarouselCfgInfo>();
  config->FirstSlot = first;
  config->LastSlot = last;
  config->OperatorName = "itest";
  config->AutoNamingPrefix1 = "<Slide ID>";
  config->AutoNamingPrefix2 = "<Slot #>";
  config->ScanNumberToken = "<Scan #>";
  config->UseSlideID = 1;
  config->DyxScanNameUseSuffix = 1;
  for (int slot : slots) {
    auto record = std::make_unique<CSlotScanCfgInfo>();
    record->OutputPath = m_Out;
    record->ScanDescription = "carousel run test";
    record->PMTRed = record->PMTGreen = 100;
    record->UseRed = record->UseGreen = 1;
    record->ResolutionType = m_nMicrons == 10 ? 1 : 2;  // 10 or 5 um
    record->RegionName = "Tiny";
    // The chip's origin right of the barcode label (11000 um); the region and the
    // autofocus point within the region database's limits.
    record->OriginX = kChipX;
    record->OriginY = kChipY;
    record->RegionLeft = kRegionLeft;
    record->RegionTop = kRegionTop;
    record->RegionWidth = m_nRegionWidth;
    record->RegionHeight = m_nRegionHeight;
    record->AFX = 500;
    record->AFY = 500;
    record->PKG = 0;
    config->SetAt(slot, std::move(record));
    config->SlotUsed[static_cast<std::size_t>(slot - 1)] = 1;
  }
  return config;
}

std::optional<int> CarouselRunTest::DriveRunToEnd(ProgressWindow& window,
                                                  std::chrono::milliseconds realLimit) {
  constexpr auto kStep = std::chrono::milliseconds(10);
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    if (const auto code = window.WaitForRunEnd(kStep)) return code;
    if (std::chrono::steady_clock::now() - start > realLimit) return std::nullopt;
    clock_->advance(2 * kStep);
  }
}

CarouselRunTest::RunResult CarouselRunTest::RunCarousel(IScanCtrl& ctrl, CCarouselCfgInfo& config,
                                                        ProgressWindow& window,
                                                        lumetra::run::RingGeometry ring) {
  RunResult result;
  CScanMgr manager(nullptr, &ctrl, true, ring);
  manager.SetRunConfig(&config);
  if (!window.StartRun(manager)) {
    ADD_FAILURE() << "the run did not start";
    return result;
  }
  result.code = DriveRunToEnd(window);
  if (!manager.WaitForCarouselRun(std::chrono::seconds(60))) ADD_FAILURE() << "the run thread did not end";
  const CScanDataProc& proc = *manager.GetDataProc();
  result.darkRed = proc.m_Red.rawMean - proc.m_Red.channelOffset;
  result.darkGreen = proc.m_Green.rawMean - proc.m_Green.channelOffset;
  return result;
}

SlideScan CarouselRunTest::RegionScan(const std::string& barcode) const {
  SlideScan scan;
  scan.slide = barcode;
  scan.originX = kChipX - kRegionLeft;
  scan.originY = kChipY - kRegionTop;
  scan.pixelSize = scan.lineResolution = m_nMicrons;
  scan.pixels = m_nRegionWidth / m_nMicrons;
  scan.rows = m_nRegionHeight / m_nMicrons;
  return scan;
}

std::string CarouselRunTest::BarcodeOf(const std::string& path) {
  const std::string name = std::filesystem::path(path).filename().string();
  const auto slot = name.rfind("_SLOT");
  if (slot == std::string::npos) ADD_FAILURE() << path << ": no barcode in the name";
  return slot == std::string::npos ? name : name.substr(0, slot);
}

void CarouselRunTest::ExpectExactImage(const std::string& path, double darkRed, double darkGreen) {
  const SlideScan scan = RegionScan(BarcodeOf(path));
  const SlideImage want(scan, darkRed, darkGreen);
  const auto pages = ReadTiff(path);
  ASSERT_EQ(pages.size(), 2u) << path;
  for (int channel : {0, 1}) {
    const auto& page = pages[static_cast<std::size_t>(channel)];
    ASSERT_EQ(page.width, static_cast<std::uint32_t>(scan.pixels));
    ASSERT_EQ(page.length, static_cast<std::uint32_t>(scan.rows));
    ASSERT_EQ(page.bits, 16);
    for (int row = 0; row < scan.rows; ++row) {
      const auto& values = page.rows[static_cast<std::size_t>(row)];
      for (int p = 0; p < scan.pixels; ++p)
        if (values[static_cast<std::size_t>(p)] != want.Pixel(channel, row, p))
          FAIL() << path << " channel " << channel << " row " << row << " pixel " << p << ": "
                 << values[static_cast<std::size_t>(p)] << " instead of " << want.Pixel(channel, row, p);
    }
  }
}

std::vector<std::vector<std::string>> CarouselRunTest::HistoryRecords(const std::string& serialNumber) {
  // The history log is one per process and keeps the file it opened first.
  if (GetScanLog().IsOpen() && GetScanLog().GetFilePath().rfind(m_Install + "/", 0) != 0) {
    ADD_FAILURE() << "the scan-history log of this process was opened by an earlier test ("
                  << GetScanLog().GetFilePath()
                  << "): run each run test in a process of its own, as ctest does";
    return {};
  }
  std::vector<std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(m_Install + "/Logs"))
    if (entry.path().filename().string().ends_with("_" + serialNumber + ".log"))
      files.push_back(entry.path().string());
  if (files.size() != 1) {
    ADD_FAILURE() << files.size() << " scan-history files for " << serialNumber;
    return {};
  }
  const auto split = [](const std::string& text, const std::string& separator) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (std::size_t at; (at = text.find(separator, from)) != std::string::npos; from = at + separator.size())
      parts.push_back(text.substr(from, at - from));
    parts.push_back(text.substr(from));
    return parts;
  };
  const std::string text = testsupport::readFile(files[0]);
  std::vector<std::vector<std::string>> records;
  const auto lines = split(text, "\r\n");
  EXPECT_EQ(lines.back(), "") << "the last line is not ended: " << text;
  for (std::size_t i = 0; i + 1 < lines.size(); ++i) records.push_back(split(lines[i], "\t"));
  return records;
}

}  // namespace lumetra_test
