// The scanner's positions on the glass, the autofocus enable sequence, the instrument's
// clock and command time-out and the carousel-run hook.
#include <chrono>
#include <cstdlib>

#include "Jotwell/Logger.h"
#include "devices/DeviceErrors.h"
#include "devices/DeviceUtil.h"
#include "devices/Scanner.h"
#include "platform/clock.h"

using namespace movrak;

namespace {
constexpr int kRawReply = 200;
constexpr long kParkMargin = 500;
}  // namespace

long CScanner::GlassCoordToStagePos(long coordinate, int packageType, bool bY) {
  const std::string cornerKey =
      FormatText("%s_%02d", bY ? "GlassULCornerYCoord" : "GlassULCornerXCoord", packageType);
  const long corner = m_Flash.GetLong(cornerKey.c_str());
  const long datum = m_Flash.GetLong(bY ? "DatumStagePos" : "DatumVCStagePos");
  const long delta = corner - coordinate;
  if (bY) {
    if (delta < 0 && packageType != -1) throw kErrBadParameter;
    return datum - 2 * delta;
  }
  if (delta < 0) throw kErrBadParameter;
  return datum + delta;
}

void CScanner::DoEnableAutofocus(long x, long y, int packageType, double* result) {
  m_pScanObj->ControlLasers(0, 0);
  const long vc = GlassCoordToStagePos(x, packageType, false);
  const long ss = GlassCoordToStagePos(y, packageType, true);
  const long slowNow = m_pSlowStage->GetPos();
  const long vcNow = m_pVCStage->GetPos();
  LogDebug(2, "Current stage position: SS_Motor = %ld, SS_ScanRaw = %d, VC_Motor = %ld, VC_ScanRaw = %ld",
           slowNow, static_cast<int>(ss), vcNow, vc);

  const long park = m_pVCStage->GetMaxPos() - kParkMargin;
  LogDebug(2, "Move fast-stage to parking position [MaxPos-500] %ld", park);
  try {
    m_pVCStage->MoveAbs(park);
  } catch (int e) {
    LogDebug(
        1,
        "<DoEnableAutofocus> Caught an error [errCode = %d] during move FS to parking position [MaxPos-500] "
        "%ld before AF homing",
        e, park);
    if (e != kErrFastStageTimeout) throw;
    // A time-out close enough to the parking position is good enough.
    const long position = m_pVCStage->GetPos();
    LogDebug(1, "Detected the current FS position = %ld after the motor timed out [errCode = %d]", position,
             e);
    if (std::labs(park - position) > kParkMargin) {
      LogDebug(1,
               "The current FS position is not within 500 counts of where it should be, the task can't be "
               "continued...");
      throw;
    }
  }
  platform::sleepFor(std::chrono::milliseconds(100));
  LogDebug(2, "Movinge S-Stage to AF Homing raw position [%ld]", ss);
  m_pSlowStage->MoveAbs(ss);
  platform::sleepFor(std::chrono::milliseconds(200));
  LogDebug(2, "Movinge VC-stage to AF Homing raw position [%ld]", vc);
  m_pVCStage->MoveAbs(vc);
  platform::sleepFor(std::chrono::milliseconds(100));

  m_pScanObj->ControlLasers(1, 1);
  const double thickness = m_pScanObj->EnableAutoFocus(static_cast<int>(x), static_cast<int>(y));
  if (result) *result = thickness;
}

void CScanner::Set68KCurrentDateTime() {
  const std::tm now = platform::localTime();
  const long date = (now.tm_year + 1900L) * 65536L + (now.tm_mon + 1L) * 256L + now.tm_mday;
  const long time = now.tm_hour * 65536L + now.tm_min * 256L + now.tm_sec;
  LogDebug(1, "CScanner::Set68KCurrentDateTime (DateVal = %ld TimeVal = %ld)", date, time);
  int error = 0;
  {
    CCommLock lock(m_Comm);
    const std::string line = FormatText("%s 0x%x 0x%x\n", "sethostdatetimeinfo", static_cast<unsigned>(date),
                                        static_cast<unsigned>(time));
    int written = 0;
    error = m_Comm.WriteString(line.data(), static_cast<int>(line.size()), &written);
    if (error == 0) error = ReadRawStatus(m_Comm, kRawReply);
  }
  if (error != 0) throw error;
}

long CScanner::SetCmdTimeout(long timeout) {
  LogDebug(1, "SetCmdTimeout: Try to set new 68K command timeout value to  = %ld", timeout);
  std::string rest;
  int error = 0;
  {
    CCommLock lock(m_Comm);
    error = Exchange(m_Comm, FormatText("%s %ld\n", "setcmdtimeout", timeout), &rest);
  }
  const auto previous = ParseHex32(rest);
  if (error == 0 && !previous) error = kErrUnknown;
  if (error != 0) {
    LogDebug(1, "SetCmdTimeout failed with error: 0x%x", static_cast<unsigned>(error));
    throw error;
  }
  LogDebug(1, "SetCmdTimeout: Returned previous 68K command timeout value = %ld",
           static_cast<long>(*previous));
  return *previous;
}

int CScanner::OnStartExitCarouselRun(bool bStart) {
  const tagScannerState state = m_eState;
  LogDebug(
      1,
      "<CScanner::OnStartExitCarouselRun> %s CarouselRun state: the current sacnner state is %s [current "
      "state code = %d]",
      bStart ? "Start" : "Exit", GetStateName(state), static_cast<int>(state));
  if (bStart) {
    if (state != kStateReady) {
      LogDebug(1,
               "<CScanner::OnStartExitCarouselRun> Can not switch to 'CarouselRun' state: the sacnner "
               "currently is "
               "NOT in 'Ready' state");
      return 0;
    }
    m_nCarouselRunStarting = 1;
    return 1;
  }
  if (m_nCarouselRunStarting.exchange(0) == 0)
    LogDebug(1,
             "<CScanner::OnStartExitCarouselRun> We are being asked to exit Carousel Run but the Starting "
             "flag has "
             "not been set yet!");
  return 1;
}
