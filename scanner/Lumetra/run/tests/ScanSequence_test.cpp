// The one-slide scan with a scripted IScanCtrl: slot settings, the PMT memory, the
// instrument's scan parameters, and whole passes through the data processor (calibration
// results in the image, failures, an abort in the line loop and the pass after it).
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>

#include "FakeScanCtrl.h"
#include "Jotwell/ProductKeys.h"
#include "Jotwell/RegEdit.h"
#include "RecordingWindow.h"
#include "RunTestSupport.h"
#include "run/ScanMgr.h"

namespace {

using namespace lumetra::run;
using lumetra_test::FakeScanCtrl;
using lumetra_test::MakeLine;
using lumetra_test::RawPixel;
using lumetra_test::RecordingWindow;
using ::testing::ElementsAreArray;
using ::testing::HasSubstr;
using ::testing::Not;

constexpr int kLeadIn = 10;  // lead-in records at 5 µm

CRegEdit ScannerKey() { return CRegEdit(HKEY_LOCAL_MACHINE, zeva::kScannerKey); }

class ScanSequenceTest : public lumetra_test::RunTest {
 protected:
  ScanSequenceTest() : fake_(FakeScanCtrl::Create()), mgr_(&window_, fake_.get(), true) {
    // As the progress dialog does: a data failure becomes the manager's data status.
    window_.OnMessage = [this](const RecordingWindow::Message& m) {
      if (m.message == WM_SCANDATA_PROGRESS && m.wParam == kScanDataFailed)
        mgr_.SetDataStatus(static_cast<int>(m.lParam));
    };
    fake_->flash = {{"LaserSetPointMWatt_G", "1000"},
                    {"LaserPDCtToMWatt_G", "1"},
                    {"LaserSetPointMWatt_R", "2000"},
                    {"LaserPDCtToMWatt_R", "1"}};
    fake_->Hook("SDPSetAbort", [this] {
      std::lock_guard lock(feedMutex_);
      feedChanged_.notify_all();
      return platform::com::S_OK;
    });
  }
  ~ScanSequenceTest() override {
    if (CScanDataProc* proc = mgr_.GetDataProc()) proc->CloseAndRemoveScan();
  }

  CScanDataProc& Proc() { return *mgr_.GetDataProc(); }

  // Channels at 5 µm, a region of `lines` x `pixels`, and a fresh image for the pass.
  void SetUpPass(bool red, bool green, unsigned redPercent, unsigned greenPercent, int lines = 8,
                 int pixels = 16) {
    mgr_.SetChannelSettings(2, green, red, redPercent, greenPercent);
    mgr_.SetLumetraParams({12000, 3000, 12500, 3500, 14000, 4000, 1, pixels * 5, lines * 5}, true);
    file_ = outDir() + "/pass" + std::to_string(++passes_) + ".tif";
    Proc().CloseAndRemoveScan();
    Proc().CreateTiff(file_.c_str(), static_cast<unsigned long>(pixels), static_cast<unsigned long>(lines),
                      mgr_.m_nChannelCount, 5, 5, false, false, false);
    lines_ = lines;
    std::lock_guard lock(feedMutex_);
    stream_.clear();
    for (int n = 0; n < lines + kLeadIn; ++n) {
      const auto line = MakeLine(n, n & 1, pixels, 1000, 2000, [n](int j) {
        RawPixel p;
        p.redSum = static_cast<std::uint32_t>((n + j) % 64) * p.count;
        p.greenSum = static_cast<std::uint32_t>((n * 3 + j) % 64) * p.count;
        return p;
      });
      stream_.insert(stream_.end(), line.begin(), line.end());
    }
    offset_ = 0;
    deliverable_ = stream_.size();
  }

  // The port hands out the first `records` scan-data records, then holds back (as an
  // instrument that stopped sending) until the data path is aborted.
  void FeedOnly(int records) {
    std::lock_guard lock(feedMutex_);
    deliverable_ = std::min(stream_.size(), stream_.size() / static_cast<std::size_t>(lines_ + kLeadIn) *
                                                static_cast<std::size_t>(records));
  }
  void InstallFeed() {
    fake_->DataSource = [this](unsigned char* buffer, long available, long) -> long {
      std::unique_lock lock(feedMutex_);
      if (offset_ >= deliverable_) {
        feedChanged_.wait_for(lock, std::chrono::seconds(30), [this] { return Proc().IsAborted(); });
        return 0;
      }
      const std::size_t n = std::min(deliverable_ - offset_, static_cast<std::size_t>(available));
      std::memcpy(buffer, stream_.data() + offset_, n);
      offset_ += n;
      return static_cast<long>(n);
    };
    fake_->PortBacklog = [this] {
      std::lock_guard lock(feedMutex_);
      return static_cast<std::uint32_t>(deliverable_ - offset_);
    };
  }

  // DoScan's failure as text ("" when it returned normally); message ids as "id NNNN".
  std::string Scan() {
    try {
      mgr_.DoScan(file_);
    } catch (const RunMessage& m) {
      return "id " + std::to_string(m.id);
    } catch (const std::exception& e) {
      return e.what();
    }
    return {};
  }

  int IndexOf(const std::string& call) const {
    const auto calls = fake_->Calls();
    const auto it = std::find(calls.begin(), calls.end(), call);
    return it == calls.end() ? -1 : static_cast<int>(it - calls.begin());
  }

  RecordingWindow window_;
  platform::com::ComPtr<FakeScanCtrl> fake_;
  CScanMgr mgr_;
  std::string file_;
  int passes_ = 0, lines_ = 0;

  std::mutex feedMutex_;
  std::condition_variable feedChanged_;
  std::vector<std::uint8_t> stream_;
  std::size_t offset_ = 0, deliverable_ = 0;
};

// ---- slot settings -----------------------------------------------------------------------------

TEST_F(ScanSequenceTest, ResolutionTypeSetsPixelSizesBinningAndScale) {
  struct Row {
    int type, pixelX, pixelY, binY, outScale;
  };
  const Row rows[] = {{1, 10, 10, 2, 1}, {2, 5, 5, 1, 0},   {3, 3, 3, 1, 0},  {4, 2, 3, 1, 0},
                      {5, 2, 2, 1, 0},   {0, 10, 10, 2, 1}, {6, 10, 10, 2, 1}};
  for (const Row& r : rows) {
    mgr_.SetChannelSettings(r.type, true, true, 80, 90);
    EXPECT_EQ(mgr_.m_nPixelSizeX, r.pixelX) << "type " << r.type;
    EXPECT_EQ(mgr_.m_nPixelSizeY, r.pixelY) << "type " << r.type;
    EXPECT_EQ(mgr_.m_nBinX, 1) << "type " << r.type;
    EXPECT_EQ(mgr_.m_nBinY, r.binY) << "type " << r.type;
    EXPECT_EQ(mgr_.m_nOutScale, r.outScale) << "type " << r.type;
  }
  EXPECT_EQ(mgr_.m_nRedPercent, 80u);
  EXPECT_EQ(mgr_.m_nGreenPercent, 90u);
}

TEST_F(ScanSequenceTest, ChannelTableListsRedFirstThenGreen) {
  struct Row {
    bool red, green;
    std::vector<int> channels;
  };
  const Row rows[] = {
      {true, true, {kRedPMT, kGreenPMT}}, {false, true, {kGreenPMT}}, {true, false, {kRedPMT}}};
  for (const Row& r : rows) {
    mgr_.SetChannelSettings(2, r.green, r.red, 100, 100);
    ASSERT_EQ(mgr_.m_nChannelCount, static_cast<int>(r.channels.size()));
    for (std::size_t i = 0; i < r.channels.size(); ++i) EXPECT_EQ(mgr_.m_Channels[i], r.channels[i]);
    EXPECT_EQ(mgr_.m_bRedEnable, r.red);
    EXPECT_EQ(mgr_.m_bGreenEnable, r.green);
  }
}

TEST_F(ScanSequenceTest, ModelTextGivesTheModelIndexInAnyCase) {
  const std::pair<const char*, int> rows[] = {{"K7431B", 1}, {"k7431b", 1},       {"Model K7431C rev 2", 2},
                                              {"K7431A", 0}, {"XYZ", 3},          {"", 3},
                                              {"K7431", 3},  {"k7431a k7431c", 2}};
  for (const auto& [text, index] : rows) EXPECT_EQ(ScannerModelIndex(text), index) << text;

  fake_->model = "k7431B";
  EXPECT_EQ(mgr_.GetScannerModel(), 1);
  EXPECT_THAT(logText(), Not(HasSubstr("Unrecognized model")));
  fake_->model = "XYZ";
  EXPECT_EQ(mgr_.GetScannerModel(), 3);
  EXPECT_THAT(logText(), HasSubstr("ERROR: GetScannerModel: Unrecognized model number 'XYZ'"));
}

TEST_F(ScanSequenceTest, RegionIsStoredAsGivenWhenTheCheckIsSkippedAndFailsWithoutARegionDatabase) {
  const std::array<int, 9> region{12000, 3000, 12500, 3500, 14000, 4000, 1, 20000, 10000};
  mgr_.SetLumetraParams(region, true);
  EXPECT_EQ(mgr_.m_ScanRegion, region);
  EXPECT_THAT(logText(), HasSubstr("<ScanMgr::SetLumetraParams> Skipped CheckScanRegion"));

  // The installation folder holds no RegionDB.sys: the region cannot be checked.
  const std::array<int, 9> other{1, 2, 3, 4, 5, 6, 7, 8, 9};
  try {
    mgr_.SetLumetraParams(other, false);
    ADD_FAILURE() << "no failure";
  } catch (const std::runtime_error& e) {
    EXPECT_STREQ(e.what(), "CheckScanRegion failed");
  }
  EXPECT_EQ(mgr_.m_ScanRegion, region);
}

TEST_F(ScanSequenceTest, InstrumentScanParametersAreWrittenInOrder) {
  mgr_.SetChannelSettings(1, true, false, 100, 100);
  mgr_.m_nDoublePass = 1;
  mgr_.SetLumetraParams({11, 12, 13, 14, 15, 16, 17, 18, 19}, true);
  fake_->ClearCalls();
  mgr_.SetInstrumentScanParams();
  EXPECT_THAT(fake_->Calls(), ElementsAreArray({"put_ScanGreen(1)",
                                                "put_ScanRed(0)",
                                                "put_ScanRegionOriginX(13)",
                                                "put_ScanRegionOriginY(14)",
                                                "put_ScanRegionWidth(18)",
                                                "put_ScanRegionHeight(19)",
                                                "put_ChipActiveOriginX(13)",
                                                "put_ChipActiveOriginY(14)",
                                                "put_ChipActiveWidth(18)",
                                                "put_ChipActiveHeight(19)",
                                                "put_ChipOriginX(11)",
                                                "put_ChipOriginY(12)",
                                                "put_PixelSizeX(10)",
                                                "put_PixelSizeY(10)",
                                                "put_BinX(1)",
                                                "put_BinY(2)",
                                                "put_OutScale(1)",
                                                "put_ScanDoublePass(1)",
                                                "put_AFPosX(15)",
                                                "put_AFPosY(16)",
                                                "SetPackageType(17)"}));

  fake_->Fail("put_BinY", 612, 1, "Invalid bin");
  try {
    mgr_.SetInstrumentScanParams();
    ADD_FAILURE() << "no failure";
  } catch (const platform::com::ComError& e) {
    EXPECT_EQ(e.Description(), "Invalid bin");
  }
  EXPECT_EQ(fake_->CallCount("put_OutScale"), 1);  // nothing after the failing call
}

// ---- run helpers -------------------------------------------------------------------------------

TEST_F(ScanSequenceTest, ScanRetriesAndTimeStamp) {
  EXPECT_EQ(mgr_.GetScanRetries(), 1);
  ScannerKey().WriteInt("ScanRetries", 0L);
  EXPECT_EQ(mgr_.GetScanRetries(), 0);
  ScannerKey().WriteInt("ScanRetries", 3L);
  EXPECT_EQ(mgr_.GetScanRetries(), 3);
  ScannerKey().WriteInt("ScanRetries", -2L);
  EXPECT_EQ(mgr_.GetScanRetries(), 1);

  const char* saved = std::getenv("TZ");
  const std::optional<std::string> savedTz = saved ? std::optional<std::string>(saved) : std::nullopt;
  ::setenv("TZ", "UTC0", 1);
  ::tzset();
  clock_->setSystemTime(platform::SystemTime(std::chrono::seconds(1709647629)));  // 2024-03-05 14:07:09
  EXPECT_EQ(CScanMgr::GetTimeStamp(), "03052024140709");
  if (savedTz)
    ::setenv("TZ", savedTz->c_str(), 1);
  else
    ::unsetenv("TZ");
  ::tzset();
}

// ---- PMT memory ---------------------------------------------------------------------------------

TEST_F(ScanSequenceTest, PmtMemoryAtRunStartBelongsToTheInstrumentAndFallsBackToFactoryVoltages) {
  struct Row {
    const char* name;
    const char* storedSerial;   // null: none stored
    long red, green;            // stored values
    unsigned setRed, setGreen;  // voltages the PMTs get
    bool valuesKept;
    const char* log;
  };
  const Row rows[] = {
      {"same instrument", "SN000001", 6500, 7000, 6500, 7000, true, "Red = 6500, Green = 7000."},
      {"other instrument", "SN999", 6500, 7000, 640, 720, false,
       "PMT Calibration for Instrument SN SN999 Invalid for Current Instrument (SN SN000001)."},
      {"first run", nullptr, 6500, 7000, 6500, 7000, true, "Red = 6500, Green = 7000."},
      {"corrupt", "SN000001", 10000, 7000, 640, 720, false,
       "ERROR: Prior PMT Voltage Invalid!  Registry Key Corrupt?  Using Factory Setting."},
      {"negative", "SN000001", 6500, -5, 640, 720, false, "Prior PMT Voltage Invalid!"},
      {"red unknown", "SN000001", 0, 7000, 640, 7000, true, "Red = 0, Green = 7000."},
  };
  fake_->flashVoltage[kRedPMT] = 640;
  fake_->flashVoltage[kGreenPMT] = 720;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    CRegEdit reg = ScannerKey();
    reg.DeleteValue("InstSerialNumber");
    if (r.storedSerial) reg.WriteString("InstSerialNumber", r.storedSerial);
    reg.WriteInt("LastPMT1Volt", r.red);
    reg.WriteInt("LastPMT2Volt", r.green);
    mgr_.m_nRedConfirmed = mgr_.m_nGreenConfirmed = 1;
    mgr_.m_bCalibrationDue = false;
    fake_->ClearCalls();

    mgr_.LoadLastGoodPMTVoltages();

    EXPECT_EQ(reg.ReadString("InstSerialNumber", ""), "SN000001");
    EXPECT_EQ(reg.ReadInt("LastPMT1Volt", -1L), r.valuesKept ? r.red : -1L);
    EXPECT_EQ(reg.ReadInt("LastPMT2Volt", -1L), r.valuesKept ? r.green : -1L);
    EXPECT_THAT(fake_->Calls("PMTChangeVoltageEx"),
                ElementsAreArray({"PMTChangeVoltageEx(0," + std::to_string(r.setRed) + ",1)",
                                  "PMTChangeVoltageEx(1," + std::to_string(r.setGreen) + ",1)"}));
    EXPECT_EQ(mgr_.m_nLastGoodRedVoltage, r.setRed == 640 ? 0u : r.setRed);
    EXPECT_EQ(mgr_.m_nLastGoodGreenVoltage, r.setGreen == 720 ? 0u : r.setGreen);
    EXPECT_EQ(mgr_.m_nRedConfirmed + mgr_.m_nGreenConfirmed, 0);
    EXPECT_TRUE(mgr_.m_bCalibrationDue);
    EXPECT_THAT(logText(), HasSubstr(r.log));
  }
  EXPECT_THAT(logText(), HasSubstr("Last known good PMT Voltage registry keys have been deleted."));
}

TEST_F(ScanSequenceTest, StoredVoltagesAreWrittenAndDeleted) {
  mgr_.m_nLastGoodRedVoltage = 6123;
  mgr_.m_nLastGoodGreenVoltage = 7456;
  mgr_.StoreLastGoodPMTVoltages();
  EXPECT_EQ(ScannerKey().ReadInt("LastPMT1Volt", 0L), 6123);
  EXPECT_EQ(ScannerKey().ReadInt("LastPMT2Volt", 0L), 7456);
  EXPECT_THAT(logText(),
              HasSubstr("Store PMT voltages calibrated at 100 percent into registry database: Red = "
                        "6123, Green = 7456."));
  mgr_.DeleteLastGoodPMTVoltages();
  EXPECT_EQ(ScannerKey().ReadInt("LastPMT1Volt", -1L), -1);
  EXPECT_EQ(ScannerKey().ReadInt("LastPMT2Volt", -1L), -1);
  EXPECT_THAT(logText(), HasSubstr("INFO: Last known good PMT Voltage registry keys have been deleted."));
}

// ---- one pass ------------------------------------------------------------------------------------

TEST_F(ScanSequenceTest, PassRecordsEachChannelsPmtSettingAndConfirmsFullSensitivity) {
  struct Row {
    const char* name;
    bool red, green;
    unsigned redPercent, greenPercent;
    const char* calibrate;
    std::vector<std::pair<double, double>> files;  // voltage (V) and sensitivity per file
    int redConfirmed, greenConfirmed;
  };
  const Row rows[] = {
      {"green only", false, true, 100, 100, "CalibratePMT(2,1,1,5000,6000,1,1)", {{654.3, 100}}, 0, 1},
      {"both, red reduced",
       true,
       true,
       50,
       100,
       "CalibratePMT(3,0.5,1,5000,6000,1,1)",
       {{432.1, 50}, {654.3, 100}},
       0,
       1},
      {"red only", true, false, 100, 75, "CalibratePMT(1,1,0.75,5000,6000,1,1)", {{432.1, 100}}, 1, 0},
  };
  InstallFeed();
  fake_->newVoltRed = 4321;
  fake_->newVoltGreen = 6543;
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    SetUpPass(r.red, r.green, r.redPercent, r.greenPercent);
    mgr_.m_nLastGoodRedVoltage = 5000;
    mgr_.m_nLastGoodGreenVoltage = 6000;
    mgr_.m_nRedConfirmed = mgr_.m_nGreenConfirmed = 0;
    mgr_.m_nScanStarted = 0;
    fake_->ClearCalls();

    ASSERT_EQ(Scan(), "");

    EXPECT_THAT(fake_->Calls("CalibratePMT"), ElementsAreArray({r.calibrate}));
    for (std::size_t i = 0; i < r.files.size(); ++i) {
      const TiffScanRecord* record = Proc().GetTiffByChannel(static_cast<int>(i))->GetStru();
      ASSERT_NE(record, nullptr);
      EXPECT_DOUBLE_EQ(record->pmtVoltage[0], r.files[i].first) << "file " << i;
      EXPECT_DOUBLE_EQ(record->sensitivity[0], r.files[i].second) << "file " << i;
    }
    EXPECT_EQ(mgr_.m_nRedConfirmed, r.redConfirmed);
    EXPECT_EQ(mgr_.m_nGreenConfirmed, r.greenConfirmed);
    EXPECT_EQ(mgr_.m_nLastGoodRedVoltage, r.redConfirmed ? 4321u : 5000u);
    EXPECT_EQ(mgr_.m_nLastGoodGreenVoltage, r.greenConfirmed ? 6543u : 6000u);
    EXPECT_EQ(mgr_.m_nScanStarted.load(), 1);
    EXPECT_EQ(fake_->CallCount("GetScanLine"), lines_);
    EXPECT_EQ(Proc().GetLinesWritten(), lines_ + kLeadIn);
    EXPECT_TRUE(Proc().IsDoneReading() && Proc().IsDoneWriting());
    // Calibrations, dark offset, then the scan; the lasers are blocked once the data is in.
    const int light = IndexOf("CalibrationLightSource(0)"), laser = IndexOf("CalibrateLaser(0)"),
              init = IndexOf("InitStartScan(1)"), start = IndexOf("StartScan_C()"),
              block = IndexOf("SDPBlockLasers(1)");
    EXPECT_TRUE(light >= 0 && light < laser && laser < init && init < start && start < block)
        << light << " " << laser << " " << init << " " << start << " " << block;
  }
  EXPECT_EQ(Proc().CloseAndSaveScan(), 0);
}

TEST_F(ScanSequenceTest, CalibrationFallbacksWarnButConfirmNothing) {
  InstallFeed();
  fake_->newVoltGreen = 6543;
  for (const unsigned errorClass : {27u, 28u}) {
    SCOPED_TRACE(errorClass);
    const int id = 4000 + static_cast<int>(errorClass);
    fake_->errorClasses.insert({id, errorClass});
    const std::string text = "PMT calibration fallback " + std::to_string(errorClass);
    fake_->Fail("CalibratePMT", id, 1, text);
    SetUpPass(false, true, 100, 100);
    mgr_.m_nLastGoodGreenVoltage = 6000;
    mgr_.m_nGreenConfirmed = 0;
    mgr_.m_strScanComment.clear();

    ASSERT_EQ(Scan(), "");

    EXPECT_EQ(mgr_.m_strScanComment, "Description: " + text + "\r\n");
    EXPECT_EQ(mgr_.m_nCalibrationFailed, 1);
    EXPECT_EQ(mgr_.m_nGreenConfirmed, 0);
    EXPECT_EQ(mgr_.m_nLastGoodGreenVoltage, 6000u);
    EXPECT_EQ(Proc().GetLinesWritten(), lines_ + kLeadIn);
  }
}

TEST_F(ScanSequenceTest, FailuresBeforeTheScanStartLeaveItUnstarted) {
  struct Row {
    const char* name;
    std::function<void(FakeScanCtrl&)> script;
    std::string failure;
    bool warned;  // the pass goes on with a warning in the scan comment
  };
  const Row rows[] = {
      {"PMT calibration failed",
       [](FakeScanCtrl& f) { f.Fail("CalibratePMT", 4029, 1, "PMT calibration failed"); },
       "PMT calibration failed", false},
      {"light source", [](FakeScanCtrl& f) { f.Fail("CalibrationLightSource", 601, 1, "No light"); },
       "No light", false},
      {"laser unstable",
       [](FakeScanCtrl& f) {
         f.errorClasses.insert({4034, 34});
         f.Fail("CalibrateLaser", 4034, 1, "Laser power unstable");
       },
       "", true},
      {"laser failed", [](FakeScanCtrl& f) { f.Fail("CalibrateLaser", 4050, 1, "Laser out of spec"); },
       "Laser out of spec", false},
      {"autofocus", [](FakeScanCtrl& f) { f.Fail("InitStartScan", 4145, 1, "Autofocus failed"); },
       "Autofocus failed", false},
      {"data port closed", [](FakeScanCtrl& f) { f.sdpOpen = 0; },
       "Failed to prepare the scan data processing", false},
  };
  InstallFeed();
  for (const Row& r : rows) {
    SCOPED_TRACE(r.name);
    SetUpPass(true, true, 100, 100);
    fake_->ClearFailures();
    fake_->sdpOpen = 1;
    r.script(*fake_);
    mgr_.m_nScanStarted = 0;
    mgr_.m_strScanComment.clear();
    fake_->ClearCalls();

    const std::string failure = Scan();

    if (r.failure.empty()) {
      EXPECT_EQ(failure, "");
      EXPECT_EQ(mgr_.m_nScanStarted.load(), 1);
    } else {
      EXPECT_THAT(failure, HasSubstr(r.failure));
      EXPECT_EQ(mgr_.m_nScanStarted, 0);
      EXPECT_EQ(fake_->CallCount("StartScan_C"), 0);
      EXPECT_EQ(fake_->CallCount("GetScanLine"), 0);
    }
    EXPECT_EQ(mgr_.m_strScanComment.empty(), !r.warned);
  }
}

TEST_F(ScanSequenceTest, AbortNowInTheLineLoopRaises9918AndTheNextPassStartsClear) {
  InstallFeed();
  SetUpPass(true, true, 100, 100);
  FeedOnly(kLeadIn + 2);  // the instrument stalls mid-scan
  fake_->Hook("GetScanLine", [this] {
    if (fake_->CallCount("GetScanLine") == 3) mgr_.RequestAbort(true, false);
    return platform::com::S_OK;
  });

  EXPECT_EQ(Scan(), "id 9918");
  EXPECT_EQ(fake_->CallCount("GetScanLine"), 3);
  EXPECT_EQ(mgr_.m_nScanStarted.load(), 1);
  EXPECT_GE(IndexOf("SDPBlockLasers(1)"), 0);
  // Nothing of the pass runs on: both data threads have ended.
  EXPECT_TRUE(Proc().IsDoneReading() && Proc().IsDoneWriting());
  EXPECT_TRUE(Proc().WaitUntilDone(std::chrono::milliseconds(0)));

  // The next pass (the run's retry) starts with the data path's abort cleared.
  fake_->Hook("GetScanLine", nullptr);
  mgr_.RequestAbort(false, false);
  SetUpPass(true, true, 100, 100);
  fake_->ClearCalls();
  EXPECT_EQ(Scan(), "");
  const int cleared = IndexOf("SDPSetAbort(0)"), stats = IndexOf("SDPGetRawDataStats(1048576,0,5)");
  EXPECT_TRUE(cleared >= 0 && cleared < stats) << cleared << " " << stats;
  EXPECT_FALSE(Proc().IsAborted());
  EXPECT_FALSE(fake_->AbortRequested());
  EXPECT_EQ(fake_->CallCount("GetScanLine"), lines_);
  EXPECT_EQ(Proc().GetLinesWritten(), lines_ + kLeadIn);
  EXPECT_EQ(Proc().CloseAndSaveScan(), 0);
}

TEST_F(ScanSequenceTest, LineStatusFailureStopsTheDataPathAndIsRaised) {
  InstallFeed();
  SetUpPass(true, true, 100, 100);
  FeedOnly(kLeadIn + 2);
  fake_->Fail("GetScanLine", 626, 1, "Lost the scan");

  EXPECT_EQ(Scan(), "Lost the scan");
  EXPECT_TRUE(Proc().IsAborted());
  EXPECT_TRUE(Proc().WaitUntilDone(std::chrono::milliseconds(0)));
  EXPECT_THAT(
      logText(),
      HasSubstr("<CScanMgr::DoScan> Caught an exception during scanning, try to stop receiving data."));
}

TEST_F(ScanSequenceTest, ADataFailureDuringTheLineLoopStopsTheStalledReadAndFailsThePass) {
  InstallFeed();
  SetUpPass(true, true, 100, 100);
  FeedOnly(kLeadIn + 2);  // the port holds back the rest: the read thread waits on it
  // The status window stores a failure the data threads reported.
  fake_->Hook("GetScanLine", [this] {
    if (fake_->CallCount("GetScanLine") == 3) mgr_.SetDataStatus(kDataStatusWriteFailed);
    return platform::com::S_OK;
  });

  EXPECT_EQ(Scan(), "id 9952");
  EXPECT_EQ(fake_->CallCount("GetScanLine"), 3);
  EXPECT_EQ(mgr_.GetDataStatus(), kDataStatusWriteFailed);
  // Reading did not run on: the data path was stopped and both threads have ended.
  EXPECT_TRUE(Proc().IsAborted());
  EXPECT_TRUE(Proc().WaitUntilDone(std::chrono::milliseconds(0)));
  EXPECT_GE(IndexOf("SDPBlockLasers(1)"), 0);
}

TEST_F(ScanSequenceTest, ADataFailureNoWindowRelayedStillFailsThePass) {
  InstallFeed();
  SetUpPass(true, true, 100, 100);
  {
    // A line in the middle of the scan loses its header; nobody relays the data threads'
    // report, so the scan has to learn of it from the data processor.
    std::lock_guard lock(feedMutex_);
    const std::size_t lineBytes = stream_.size() / static_cast<std::size_t>(lines_ + kLeadIn);
    stream_[lineBytes * (kLeadIn + 3)] ^= 0xFF;
  }

  EXPECT_EQ(Scan(), "id 9952");
  EXPECT_EQ(mgr_.GetDataStatus(), kDataStatusInvalidHeader);
  EXPECT_TRUE(Proc().WaitUntilDone(std::chrono::milliseconds(0)));
}

}  // namespace
