// IScanCtrl: scan set-up, autofocus homing, start, lines, end and abort.
#include <algorithm>
#include <chrono>
#include <climits>

#include "Jotwell/Logger.h"
#include "Jotwell/Utilities.h"
#include "com/ComServer.h"
#include "com/ScanCtrl.h"
#include "devices/DeviceErrors.h"
#include "devices/DeviceUtil.h"
#include "devices/Scanner.h"
#include "link/MessageTable.h"
#include "platform/clock.h"
#include "platform/text.h"

using namespace movrak;
using platform::com::S_OK;

namespace {

constexpr int kErrSlideSkipped = 650;
constexpr int kErrAutofocusNoStop = 10816;
constexpr unsigned kAutofocusClass = 24;
constexpr int kDetailAddressValue = 2013;

constexpr double kThicknessMin = 594.865;
constexpr double kThicknessMax = 657.483;
constexpr double kModelThicknessMin = 547.902;
constexpr double kModelThicknessMax = 782.9;
constexpr const char* kThicknessModel = "k7431b";

constexpr long kSlideWidth = 76200;      // micrometres
constexpr long kBareGlassNeeded = 4000;  // right of the region, for the second homing point
constexpr long kLastHomingX = 41500, kLastHomingY = 24070;
// Slow-stage counts per micrometre of the glass (as the glass-to-stage conversion scales).
constexpr long kSlowStageCountsPerMicron = 2;
// How far right of the region the voice-coil stage waits while the slow stage comes back.
constexpr long kBeyondRegion = 200;

constexpr const char* kInspectAdvice =
    "Otherwise, consider potential scanner hardware issues such as Instrument Datum calibration or Autofocus "
    "misalignment.";

// The scan geometry of the object's fields.
struct Geometry {
  unsigned vcIncrement, stageIncrement, pixels, rows;
  long vcStart, stageStart;
};

// Brackets a traced operation in the log.
class TracedOperation {
 public:
  explicit TracedOperation(CLogger::EFunction f) : f_(f) { CLogger::OnFunctionBegin(f_); }
  ~TracedOperation() { CLogger::OnFunctionEnd(f_); }
  TracedOperation(const TracedOperation&) = delete;
  TracedOperation& operator=(const TracedOperation&) = delete;

 private:
  CLogger::EFunction f_;
};

bool ThicknessOutOfRange(double t) { return t < kThicknessMin || t > kThicknessMax; }

// The texts of the three homing attempts: beside the scan region, right of it, and below
// the array (the last, which is not retried).
struct HomingAttempt {
  const char* thickness;  // the slide is not as thick as the system's own slides
  const char* inspect;    // where to look; %s: the advice
  const char* retry;      // null for the last attempt
  const char* success;
  const char* failure;  // (x, y)
  const char* noStop;   // (error id)
};
constexpr HomingAttempt kHomingAttempts[] = {
    {"The slide thickness determined from the 1st Autofocus Homing attempt is outside the normal range for "
     "an "
     "Tarsel slide.",
     "Inspect the slide near the upper left corner of the scan region for hybridization residue or a barcode "
     "placement that is out-of-spec. %s",
     "Retrying Autofocus Homing at a 2nd location.", "Autofocus homed successfully.",
     "First autofocus home attempt at (%d,%d) failed.", "AF homing: Got the ERR_AFEXT_NOSTOP code (%d)"},
    {"The slide thickness determined from the 2nd Autofocus Homing attempt is outside the normal range for "
     "an "
     "Tarsel slide.",
     "Inspect the slide near the upper right corner of the scan region for hybridization residue or other "
     "contamination. %s",
     "Retrying Autofocus Homing at a 3rd location.", "Second attempt was successful.",
     "Second autofocus home attempt at (%d,%d) failed.", "AF Homing: Got the ERR_AFEXT_NOSTOP code (%d)"},
    {"The slide thickness determined from the 3rd Autofocus Homing attempt is outside the normal range for "
     "an "
     "Tarsel slide. Scanning anyway.",
     "Inspect the slide near the middle of the bottom edge for hybridization residue or other contamination.",
     nullptr, "Last attempt was successful.", nullptr, nullptr},
};

}  // namespace

// ---- refusals -----------------------------------------------------------------------------------------

HRESULT CScanCtrl::StartScan(float*, float*, float*) {
  return Refuse(" [CScanCtrl::StartScan() function is not for C scanner]");
}

HRESULT CScanCtrl::StartScanAF(float*, float*, float*, BOOL32) {
  return Refuse(" [CScanCtrl::StartScanAF() function is not for C scanner]");
}

// ---- simple members --------------------------------------------------------------------------------------

HRESULT CScanCtrl::SetPackageType(LONG lPackType) {
  return Frame([&] {
    LogInfo("Setting Package Type to %d", static_cast<int>(lPackType));
    Scanner().GetScanObj().SetPackageType(lPackType);
    std::lock_guard lock(m_Mutex);
    m_lPackageType = lPackType;
  });
}

HRESULT CScanCtrl::get_ChipThickness(double* pVal) {
  std::lock_guard lock(m_Mutex);
  if (pVal) *pVal = m_dChipThickness;
  return S_OK;
}

HRESULT CScanCtrl::IsADCReset(LONG* pbIsReset) {
  std::lock_guard lock(m_Mutex);
  if (pbIsReset) *pbIsReset = m_lADCResetFlag;
  return S_OK;
}

HRESULT CScanCtrl::ResetADCResetFlag() {
  std::lock_guard lock(m_Mutex);
  m_lADCResetFlag = 0;
  return S_OK;
}

HRESULT CScanCtrl::AbortScan() {
  return Frame([&] { Scanner().GetScanObj().Abort(); });
}

HRESULT CScanCtrl::EndScan() {
  return Frame([&] {
    LogInfo("Ending Scan");
    CScanner& scanner = Scanner();
    try {
      scanner.GetScanObj().End();
    } catch (...) {
      // The scan is over even when its end reported a fault.
      scanner.SetScanInProgress(0);
      throw;
    }
    scanner.SetScanInProgress(0);
  });
}

HRESULT CScanCtrl::GetScanLine(LONG lPoints, std::uint16_t* pPoints) {
  return Frame([&] { ReadScanLine(Scanner(), lPoints, pPoints); });
}

namespace {
// The autofocus statistics' pixel count, from the region and the pixel size.
long AFStatsPixels(std::uint32_t width, std::uint32_t height, unsigned pixelSizeX, unsigned pixelSizeY) {
  if (pixelSizeX == 0 || pixelSizeY == 0) throw kErrBadParameter;
  return static_cast<long>(width / pixelSizeX) * static_cast<long>(height / pixelSizeY);
}
}  // namespace

HRESULT CScanCtrl::GetAFStats(LONG* pVal) {
  double result = 0;
  const HRESULT hr = GetAFStatsEx(&result);
  if (hr == S_OK && pVal) *pVal = static_cast<LONG>(result);
  return hr;
}

HRESULT CScanCtrl::GetAFStatsEx(double* pVal) {
  std::uint32_t width = 0, height = 0;
  unsigned pixelSizeX = 0, pixelSizeY = 0;
  {
    std::lock_guard lock(m_Mutex);
    width = static_cast<std::uint32_t>(m_lScanRegionWidth);
    height = static_cast<std::uint32_t>(m_lScanRegionHeight);
    pixelSizeX = m_uPixelSizeX;
    pixelSizeY = m_uPixelSizeY;
  }
  return Frame([&] {
    LogInfo("Getting AF Stats");
    const double result =
        Scanner().GetScanObj().GetAFStats(AFStatsPixels(width, height, pixelSizeX, pixelSizeY));
    if (pVal) *pVal = result;
  });
}

// ---- InitStartScan ----------------------------------------------------------------------------------------

namespace {

// The scan's start and far corner in stage positions, with the FLASH values they came from.
struct StartPositions {
  long cornerX, cornerY, datumVC, datumStage;
  long xStart, yStart;
  long lowerRightX, lowerRightY;
};

// Computes the start positions of a scan and refuses (600) a start outside the glass or a
// scan whose positions (the start sequence's 200 um beyond the region included) leave a
// stage's travel. Reads the FLASH keys and the stages' limits; moves nothing.
StartPositions PlanStartPositions(CScanner& scanner, const Geometry& g, unsigned binX, unsigned binY,
                                  int packageType) {
  CFlash& flash = scanner.GetFlash();
  StartPositions p{};
  p.cornerX = flash.GetLong(FormatText("%s_%02d", "GlassULCornerXCoord", packageType).c_str());
  p.cornerY = flash.GetLong(FormatText("%s_%02d", "GlassULCornerYCoord", packageType).c_str());
  p.datumStage = flash.GetLong("DatumStagePos");
  p.datumVC = flash.GetLong("DatumVCStagePos");
  if (p.cornerX < g.vcStart || (p.cornerY < g.stageStart && packageType != -1)) {
    LogError(
        "Init StartScan: the scan region starts outside the glass: start (%ld, %ld), glass corner (%ld, %ld) "
        "of package type %d",
        g.vcStart, g.stageStart, p.cornerX, p.cornerY, packageType);
    throw kErrBadParameter;
  }
  p.xStart = scanner.GlassCoordToStagePos(g.vcStart, packageType, false);
  p.yStart = scanner.GlassCoordToStagePos(g.stageStart, packageType, true);
  p.lowerRightX = p.xStart - static_cast<long>(g.vcIncrement) * static_cast<long>(binX) * g.pixels;
  // The region's lower edge in slow-stage counts, as yStart is.
  p.lowerRightY = p.yStart + kSlowStageCountsPerMicron * static_cast<long>(g.stageIncrement) *
                                 static_cast<long>(binY) * static_cast<long>(g.rows);

  const auto within = [](CMotor& stage, const char* name, long from, long to) {
    const long low = stage.GetMinPos(), high = stage.GetMaxPos();
    if (std::min(from, to) >= low && std::max(from, to) <= high) return;
    LogError(
        "Init StartScan: the scan region needs the %s stage at %ld to %ld, beyond its travel of %ld to %ld",
        name, std::min(from, to), std::max(from, to), low, high);
    throw kErrBadParameter;
  };
  within(scanner.GetVCStage(), "voice-coil", p.xStart, p.lowerRightX - kBeyondRegion);
  within(scanner.GetSlowStage(), "slow", p.yStart, p.lowerRightY);
  return p;
}

}  // namespace

HRESULT CScanCtrl::InitStartScan(float* ffX, float* ffY, float* ffSlope, BOOL32 bEnableAF) {
  return Frame([&] { DoInitStartScan(ffX, ffY, ffSlope, bEnableAF != 0); });
}

void CScanCtrl::DoInitStartScan(float* ffX, float* ffY, float* ffSlope, bool bEnableAF) {
  bool red = false, green = false;
  unsigned pixelSizeX = 0, pixelSizeY = 0, binX = 0, binY = 0;
  long originX = 0, originY = 0, width = 0, height = 0, chipX = 0, chipY = 0;
  int packageType = 0;
  {
    std::lock_guard lock(m_Mutex);
    red = m_bScanRed;
    green = m_bScanGreen;
    pixelSizeX = m_uPixelSizeX;
    pixelSizeY = m_uPixelSizeY;
    binX = m_uBinX;
    binY = m_uBinY;
    originX = m_lScanRegionOriginX;
    originY = m_lScanRegionOriginY;
    width = m_lScanRegionWidth;
    height = m_lScanRegionHeight;
    chipX = m_lChipOriginX;
    chipY = m_lChipOriginY;
    packageType = static_cast<int>(m_lPackageType);
  }
  // The geometry divides by all four: a zero is refused before anything moves.
  if (pixelSizeX == 0 || pixelSizeY == 0 || binX == 0 || binY == 0) throw kErrBadParameter;

  LogInfo("Init StartScan");
  CScanner& scanner = Scanner();
  scanner.GetAFMotor().DriverOn();
  if (red) scanner.GetChannel(kRedPMT)->CheckVoltage();
  if (green) scanner.GetChannel(kGreenPMT)->CheckVoltage();

  Geometry g;
  g.vcIncrement = pixelSizeX / binX;
  g.stageIncrement = pixelSizeY / binY;
  g.pixels = static_cast<std::uint32_t>(width) / pixelSizeX;
  g.rows = static_cast<std::uint32_t>(height) / pixelSizeY;
  g.vcStart = chipX - originX;
  g.stageStart = chipY - originY;

  // Where the stages start and how far the scan takes them, settled before anything moves:
  // a region that starts off the glass or runs beyond a stage's travel is refused here,
  // not after the autofocus homing has moved the stages, nor scanned where it lies.
  const StartPositions start = PlanStartPositions(scanner, g, binX, binY, packageType);

  if (bEnableAF) {
    double x = 0, y = 0, slope = 0;
    scanner.GetScanObj().FindFiducials(&x, &y, &slope);
    LogInfo("FindFiducial Results: xOffset=%f, yOffset=%f, slope=%f", x, y, slope);
    if (ffX) *ffX = static_cast<float>(x);
    if (ffY) *ffY = static_cast<float>(y);
    if (ffSlope) *ffSlope = static_cast<float>(slope);
  } else {
    if (ffX) *ffX = 0.0f;
    if (ffY) *ffY = 0.0f;
    if (ffSlope) *ffSlope = 0.0f;
  }

  std::string parameters = "Scan Parameters (more):";
  parameters += FormatText("\r\n\tScan Origin X: %ld,  Scan Origin Y: %ld", originX, originY);
  parameters += FormatText("\r\n\tScan Width (microns): %ld,  Scan Height (microns): %ld", width, height);
  parameters +=
      FormatText("\r\n\tPixelSize X (microns): %u,  PixelSize Y (microns): %u", pixelSizeX, pixelSizeY);
  parameters += FormatText("\r\n\tBin X: %u,  Bin Y: %u", binX, binY);
  parameters += FormatText("\r\n\tNum Pixels: %u,  Num Rows:  %u", g.pixels, g.rows);
  parameters += FormatText("\r\n\tStage Start: %u,  VC Start: %u", static_cast<unsigned>(g.stageStart),
                           static_cast<unsigned>(g.vcStart));
  parameters += FormatText("\r\n\tStage Inc: %u, VC Inc: %u", g.stageIncrement, g.vcIncrement);
  LogInfo("%s", parameters.c_str());

  scanner.GetScanObj().SetScanRegion(static_cast<int>(g.pixels), static_cast<int>(g.rows),
                                     static_cast<int>(g.vcStart), static_cast<int>(g.stageStart),
                                     g.vcIncrement, g.stageIncrement, static_cast<int>(binX),
                                     static_cast<int>(binY));

  if (bEnableAF) {
    TracedOperation trace(CLogger::AUTOFOCUS_HOMING);
    HomeAutofocus();
  }

  LogDebug(1, "Move stages into position...");
  LogDebug(1, "xStartRaw = %ld, yStartRaw = %ld", start.datumVC + (start.cornerX - g.vcStart),
           start.datumStage - 2 * (start.cornerY - g.stageStart));
  const long xStart = start.xStart;
  const long yStart = start.yStart;
  LogDebug(1, "xStartRaw = %ld, yStartRaw = %ld", xStart, yStart);

  long ss = scanner.GetSlowStage().GetPos();
  long vc = scanner.GetVCStage().GetPos();
  LogDebug(1, "Current stage position: SS = %ld, VC = %ld", ss, vc);
  if (ss > yStart + 10) {
    LogDebug(1, "S-Stage pos is currently below the start pos, we need to move to upper-right of the array");
    const long lowerRightX = start.lowerRightX;
    const long lowerRightY = start.lowerRightY;
    if (ss < lowerRightY) {
      LogDebug(
          1,
          "S-Stage pos is currently not fully below the arry, we need to move to the lowerRightY pos [%ld]",
          lowerRightY);
      scanner.GetSlowStage().MoveAbs(lowerRightY);
      platform::sleepFor(std::chrono::milliseconds(200));
    }
    LogDebug(1, "Now move VC-stage to 200 um to the right of the scan region lowerRightX [%ld]",
             lowerRightX - kBeyondRegion);
    scanner.GetVCStage().MoveAbs(lowerRightX - kBeyondRegion);
    platform::sleepFor(std::chrono::milliseconds(100));
    LogDebug(1, "Ready to move S-Stage into start position [%ld]", yStart);
    scanner.GetSlowStage().MoveAbs(yStart);
    platform::sleepFor(std::chrono::milliseconds(200));
    ss = scanner.GetSlowStage().GetPos();
    vc = scanner.GetVCStage().GetPos();
    LogDebug(1, "Current position: SS = %ld, VC = %ld", ss, vc);
  }
  LogInfo("End Init StartScan");
}

// ---- autofocus homing
// ------------------------------------------------------------------------------------------

void CScanCtrl::HomeAutofocus() {
  long afX = 0, afY = 0, width = 0, d = 0;
  int packageType = 0;
  bool red = false, green = false;
  {
    std::lock_guard lock(m_Mutex);
    afX = m_lAFPosX;
    afY = m_lAFPosY;
    width = m_lScanRegionWidth;
    d = m_lChipOriginX - m_lScanRegionOriginX;
    packageType = static_cast<int>(m_lPackageType);
    red = m_bScanRed;
    green = m_bScanGreen;
  }
  CScanner& scanner = Scanner();
  const bool roomRight = kSlideWidth - (d + width) >= kBareGlassNeeded;
  const bool ours = scanner.GetBarcodeCheck() != 0;

  // Homes at (x, y); the thickness measured becomes the chip thickness.
  auto home = [&](long x, long y) {
    double t = 0;
    scanner.DoEnableAutofocus(x, y, packageType, &t);
    std::lock_guard lock(m_Mutex);
    m_dChipThickness = t;
    return t;
  };
  auto isAutofocusError = [&](int e) {
    BOOL32 match = 0;
    CheckErrorCode(e, kAutofocusClass, &match);
    return match != 0;
  };
  // One attempt at (x, y); true when the slide is to be homed again elsewhere. What is no
  // autofocus error, and any failure of the last attempt, is thrown.
  auto tryHoming = [&](const HomingAttempt& attempt, long x, long y, bool resetOnNoStop) {
    try {
      const double t = home(x, y);
      if (!ThicknessOutOfRange(t) || !ours) {
        LogInfo("%s", attempt.success);
        return false;
      }
      LogWarning("%s", attempt.thickness);
      LogWarning(attempt.inspect, kInspectAdvice);
      if (!attempt.retry) return false;
      LogInfo("%s", attempt.retry);
      return true;
    } catch (int e) {
      if (!attempt.retry) {
        LogError("Last autofocus home attempt at (%d,%d) failed. Giving up.", static_cast<int>(x),
                 static_cast<int>(y));
        throw;
      }
      if (!isAutofocusError(e)) throw;
      LogWarning(attempt.failure, static_cast<int>(x), static_cast<int>(y));
      if (e == kErrAutofocusNoStop) {
        LogInfo(attempt.noStop, e);
        if (resetOnNoStop) ResetADC();
      }
      return true;
    }
  };

  try {
    scanner.GetAFMotor().DriverOn();
    if (red) scanner.GetChannel(kRedPMT)->CheckVoltage();
    if (green) scanner.GetChannel(kGreenPMT)->CheckVoltage();
    LogInfo("Start AF Homing");

    long x = std::clamp(afX, 2500L, 73700L);
    const long y = std::clamp(afY, 1500L, 23900L);
    LogInfo("Homing autofocus at coordinate (%d,%d)...", static_cast<int>(x), static_cast<int>(y));
    bool retry = tryHoming(kHomingAttempts[0], x, y, !roomRight);
    if (retry) {
      if (roomRight) {
        x = std::clamp(2 * d - afX + width, 3400L, 72800L);
        LogInfo("Trying to home a second time at (%d,%d)...", static_cast<int>(x), static_cast<int>(y));
        retry = tryHoming(kHomingAttempts[1], x, y, true);
      } else {
        LogWarning("Do not have %d microns of bare glass to the right of the scan region.",
                   static_cast<int>(kBareGlassNeeded));
        LogWarning("Cannot attempt homing to the right of the scan region.");
      }
    }
    if (retry) {
      LogInfo("Last attempt: trying to home below the array at (%d,%d)...", static_cast<int>(kLastHomingX),
              static_cast<int>(kLastHomingY));
      tryHoming(kHomingAttempts[2], kLastHomingX, kLastHomingY, false);
    }

    const std::string model = platform::foldedAscii(scanner.GetModel());
    if (model.find(kThicknessModel) != std::string::npos) {
      double t = 0;
      {
        std::lock_guard lock(m_Mutex);
        t = m_dChipThickness;
      }
      if (t < kModelThicknessMin) {
        LogError(
            "The slide has a thickness of %.3f which is thinner than the allowable range (%.3f - %.3f).  It "
            "cannot "
            "be scanned.",
            t, kModelThicknessMin, kModelThicknessMax);
        throw kErrSlideSkipped;
      }
      if (t > kModelThicknessMax) {
        LogError(
            "The slide has a thickness of %.3f which is thicker than the allowable range (%.3f - %.3f).  It "
            "cannot "
            "be scanned.",
            t, kModelThicknessMin, kModelThicknessMax);
        throw kErrSlideSkipped;
      }
    }
    LogInfo("End AF Homing");
  } catch (int) {
    LogInfo("End AF Homing");
    throw;
  } catch (...) {
    LogError("Unknown Error...");
    LogInfo("End AF Homing");
    throw;
  }
}

void CScanCtrl::ResetADC() {
  {
    std::lock_guard lock(m_Mutex);
    m_lADCResetFlag = 1;
  }
  constexpr std::uint32_t kSpace = kDataSpace;
  unsigned address = 0x2001, value = 0;
  try {
    CDSP& dsp = *Scanner().GetDSP(kVCAF);
    value = dsp.Peek(kSpace, 0x2001);
    LogDebug(1, "Peek ADC data: Addr=0x2001, data=0x%X", value);
    address = 0x2002;
    value = 0x0100;
    dsp.Poke(kSpace, 0x2002, 0x0100);
    LogDebug(1, "Poke ADC data: Addr=0x%X, data=0x%X", address, value);
    address = 0x2000;
    value = 0xC001;
    dsp.Poke(kSpace, 0x2000, 0xC001);
    LogDebug(1, "Poke ADC data: Addr=0x%X, data=0x%X", address, value);
    address = 0x2001;
    value = dsp.Peek(kSpace, 0x2001);
    LogDebug(1, "Peek ADC data: Addr=0x%X, data=0x%X", address, value);
  } catch (int e) {
    LogError("ResetADC: %s [Error Code: 0x%X]\r\n\t\t[Data Info: %s]", movrak::GetErrorText(e).c_str(),
             static_cast<unsigned>(e), FormatMessageResource(kDetailAddressValue, address, value).c_str());
  }
}

// ---- start
// ---------------------------------------------------------------------------------------------------------

HRESULT CScanCtrl::StartScan_C() {
  return Frame([&] { DoStartScan(); });
}

void CScanCtrl::DoStartScan() {
  bool red = false, green = false;
  unsigned pixelSizeY = 0;
  LONG doublePass = 0;
  {
    std::lock_guard lock(m_Mutex);
    red = m_bScanRed;
    green = m_bScanGreen;
    pixelSizeY = m_uPixelSizeY;
    doublePass = m_lScanDoublePass;
  }
  LogInfo("Starting Scan");
  unsigned passes = 1, outScale = 0;
  if (pixelSizeY != 10 && doublePass != 0) {
    passes = 2;
    outScale = 1;
  }
  const unsigned mask = (red ? 1u : 0u) | (green ? 2u : 0u);
  LogInfo("Scan Parameters (more): ChannelMask: 0x%X, Num Passes: %u, OutScale: %u", mask, passes, outScale);
  CScanner& scanner = Scanner();
  scanner.GetScanObj().ControlLasers(1, 1);
  try {
    scanner.Set68KCurrentDateTime();
  } catch (int e) {
    LogError("Set68KCurrentDateTime() Failed: error code = %d", e);
  } catch (...) {
    LogError("Set68KCurrentDateTime() Failed: Unknown error");
  }
  scanner.GetScanObj().StartScan(mask, passes, outScale);
  scanner.SetScanInProgress(1);
}
