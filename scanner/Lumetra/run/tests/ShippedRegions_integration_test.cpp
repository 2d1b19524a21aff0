// The scan regions that come with the instrument (the installed ChipRegions.ini, checked
// against the installed RegionDB.sys) on the real automation server over the simulated
// instrument and board: each names the part of the slide its name says, starts on the
// glass at the slots' default resolution, and scans that part pixel for pixel.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <string>
#include <vector>

#include "CarouselRunFixture.h"
#include "TiffPages.h"
#include "config/ScanRegionInfoMap.h"
#include "okSim/okSim.h"
#include "run/ScanDataProc.h"
#include "run/ScanMgr.h"

namespace {

using lumetra_test::CarouselRunTest;
using lumetra_test::ProgressWindow;
using lumetra_test::SlideScan;
using platform::com::S_OK;

// A rectangle on the slide, micrometres (x to the right, y down from the glass's corner).
struct SlideRect {
  int x, y, width, height;
  bool operator==(const SlideRect&) const = default;
};

std::ostream& operator<<(std::ostream& out, const SlideRect& r) {
  return out << "(" << r.x << ", " << r.y << ") " << r.width << " x " << r.height;
}

// The maker's scan area of a slide, which "Full Slide" covers; the other regions lie in it.
constexpr SlideRect kFullSlide{2000, 500, 61000, 21600};

struct ShippedRegion {
  const char* name;
  SlideRect onSlide;
};

void PrintTo(const ShippedRegion& r, std::ostream* out) { *out << r.name << " " << r.onSlide; }

// What each shipped region's name says it scans.
const ShippedRegion kShippedRegions[] = {
    {"Full Slide", kFullSlide},
    {"Left Half", {kFullSlide.x, kFullSlide.y, kFullSlide.width / 2, kFullSlide.height}},
    {"Right Half",
     {kFullSlide.x + kFullSlide.width / 2, kFullSlide.y, kFullSlide.width / 2, kFullSlide.height}},
    // 22 x 20 mm in the middle of the scan area.
    {"Array 22 x 20 mm",
     {kFullSlide.x + (kFullSlide.width - 22000) / 2, kFullSlide.y + (kFullSlide.height - 20000) / 2, 22000,
      20000}},
    // The editor's own kind: its corner in its slide section.
    {"Sample Custom Region", {10000, 5000, 20000, 10000}},
};

// The model the simulated instrument reports (K7431C).
constexpr int kScannerType = 2;

// Where a region of the map lies on the slide: its slide section's corner less its own.
SlideRect OnSlide(const ScanRegionInfo& r) {
  return {r.OriginX - r.Left, r.OriginY - r.Top, r.Right - r.Left, r.Bottom - r.Top};
}

class ShippedRegionsTest : public CarouselRunTest {
 protected:
  ShippedRegionsTest() {
    testsupport::writeFile(installDir() + "/RegionDB.sys",
                           testsupport::readFile(std::string(ZEVA_DIST_DIR) + "/RegionDB.sys"));
    m_nLoaded =
        m_Regions.LoadScanRegions((std::string(ZEVA_DIST_DIR) + "/ChipRegions.ini").c_str(), kScannerType);
    // The board holds back what the port has not taken in, as the instrument does: a large
    // region's data does not all wait in the board at once.
    okSim_SetScanBuffer(16L << 20);
    // The instrument streams the status record of every row of the scan it was set up for.
    sim.setHandler("getscanline", [scans = devices.scans](const zevasim::Request&) {
      return zevasim::StatusRecordsReply(scans->currentScan().rows);
    });
  }

  // The scan's parameters as the one-slide scan hands them to the instrument.
  static void SetRegion(IScanCtrl& ctrl, const ScanRegionInfo& r, unsigned microns) {
    ctrl.put_ScanRed(1);
    ctrl.put_ScanGreen(1);
    ctrl.put_ScanRegionOriginX(r.Left);
    ctrl.put_ScanRegionOriginY(r.Top);
    ctrl.put_ScanRegionWidth(r.Right - r.Left);
    ctrl.put_ScanRegionHeight(r.Bottom - r.Top);
    ctrl.put_ChipOriginX(r.OriginX);
    ctrl.put_ChipOriginY(r.OriginY);
    ctrl.put_PixelSizeX(microns);
    ctrl.put_PixelSizeY(microns);
    ctrl.put_AFPosX(r.AFX);
    ctrl.put_AFPosY(r.AFY);
    ctrl.SetPackageType(r.PKG);
  }

  CScanRegionInfoMap m_Regions;
  int m_nLoaded = 0;
};

TEST_F(ShippedRegionsTest, EachShippedRegionLiesWhereItsNameSays) {
  ASSERT_EQ(m_nLoaded, static_cast<int>(std::size(kShippedRegions)));
  for (const ShippedRegion& shipped : kShippedRegions) {
    SCOPED_TRACE(shipped.name);
    const ScanRegionInfo* region = m_Regions.Lookup(shipped.name);
    ASSERT_NE(region, nullptr);
    EXPECT_EQ(OnSlide(*region), shipped.onSlide);
  }
  ASSERT_NE(m_Regions.GetDefaultRegion(), nullptr);
  EXPECT_EQ(m_Regions.GetDefaultRegion()->Name, "Full Slide");
}

TEST_F(ShippedRegionsTest, EveryShippedRegionStartsOnTheGlassAtFiveMicrons) {
  // A slot's default: the default region at 5 um. A whole scan of it is long; its start,
  // where the stages go and from where they sweep the region, is what can go wrong.
  ComPtr<IScanCtrl> ctrl = create();
  connect(*ctrl);
  EXPECT_EQ(ctrl->PMTChangeVoltage(kRedPMT, kFactoryVoltage), S_OK) << description();
  EXPECT_EQ(ctrl->PMTChangeVoltage(kGreenPMT, kFactoryVoltage), S_OK) << description();
  ASSERT_EQ(m_nLoaded, static_cast<int>(std::size(kShippedRegions)));
  for (const auto& [name, region] : m_Regions.Regions()) {
    SCOPED_TRACE(name);
    SetRegion(*ctrl, *region, 5);
    float x = 0, y = 0, slope = 0;
    // With the autofocus homing, after which the stages come to the start from below it.
    ASSERT_EQ(ctrl->InitStartScan(&x, &y, &slope, 1), S_OK) << description() << log();
    const auto scan = devices.scans->currentScan();
    const SlideRect want = OnSlide(*region);
    EXPECT_EQ(scan.vcStart, want.x);
    EXPECT_EQ(scan.stageStart, want.y);
    EXPECT_EQ(scan.pixels, want.width / 5);
    EXPECT_EQ(scan.rows, want.height / 5);
  }
  ctrl->Disconnect();
}

// One run a region (a process each under ctest): the region of the slot at 10 um, scanned
// end to end, its image the slide over the part the region's name says.
class ShippedRegionScanTest : public ShippedRegionsTest, public testing::WithParamInterface<ShippedRegion> {};

TEST_P(ShippedRegionScanTest, ScansThePartOfTheSlideItNames) {
  const ShippedRegion& shipped = GetParam();
  const ScanRegionInfo* region = m_Regions.Lookup(shipped.name);
  ASSERT_NE(region, nullptr);
  const Slide slide{1, "250000000001"};
  LoadCarousel({slide});
  ComPtr<IScanCtrl> ctrl = create();
  connect(*ctrl);
  m_nMicrons = 10;
  auto config = MakeRunConfig(1, 1, {1});
  CSlotScanCfgInfo& slot = *config->GetAt(1);
  // The slot record as a configured run fills it from the region map.
  slot.RegionName = region->Name;
  slot.RegionLeft = region->Left;
  slot.RegionTop = region->Top;
  slot.RegionWidth = region->Right - region->Left;
  slot.RegionHeight = region->Bottom - region->Top;
  slot.OriginX = region->OriginX;
  slot.OriginY = region->OriginY;
  slot.AFX = region->AFX;
  slot.AFY = region->AFY;
  slot.PKG = region->PKG;

  ProgressWindow window;
  lumetra::run::CScanMgr manager(nullptr, ctrl.get(), true, lumetra::run::RingGeometry{});
  manager.SetRunConfig(config.get());
  ASSERT_TRUE(window.StartRun(manager));
  // A whole slide is thousands of long lines: more time than the small regions' runs.
  const auto code = DriveRunToEnd(window, std::chrono::minutes(10));
  ASSERT_TRUE(manager.WaitForCarouselRun(std::chrono::seconds(60)));
  ctrl->Disconnect();
  ASSERT_EQ(code, std::optional<int>(0)) << window.Transcript() << log();
  for (const auto& line : window.Lines()) EXPECT_NE(line.kind, 5) << line.text << "\n" << window.Transcript();

  SlideScan scan;
  scan.slide = slide.barcode;
  scan.originX = shipped.onSlide.x;
  scan.originY = shipped.onSlide.y;
  scan.pixelSize = scan.lineResolution = 10;
  scan.pixels = shipped.onSlide.width / 10;
  scan.rows = shipped.onSlide.height / 10;
  const auto files = window.ScanFiles();
  ASSERT_EQ(files.size(), 1u) << window.Transcript();
  const lumetra::run::CScanDataProc& proc = *manager.GetDataProc();
  const lumetra_test::SlideImage want(scan, proc.m_Red.rawMean - proc.m_Red.channelOffset,
                                      proc.m_Green.rawMean - proc.m_Green.channelOffset);
  EXPECT_EQ(lumetra_test::ImageDifference(lumetra_test::ReadTiff(files[0].fileName), scan, want), "");
}

std::string TestName(const testing::TestParamInfo<ShippedRegion>& info) {
  std::string name;
  for (const char c : std::string(info.param.name))
    if (std::isalnum(static_cast<unsigned char>(c))) name += c;
  return name;
}

INSTANTIATE_TEST_SUITE_P(Shipped, ShippedRegionScanTest, testing::ValuesIn(kShippedRegions), TestName);

}  // namespace
