// The DCM clock-phase adjustment: walk each phase in single steps, find the band where
// the sampled pattern is stable and correct (the eye) and park the phase in its middle.
#include <cstdlib>
#include <mutex>
#include <string>

#include "FrontPanelTable.h"
#include "Jotwell/Logger.h"
#include "Jotwell/ProductKeys.h"
#include "Jotwell/RegEdit.h"
#include "Pellux/ScanDataPort.h"
#include "PortInternal.h"

using pellux::okApi;
using namespace pellux;

// ---- DCMStatusInfo ------------------------------------------------------------------------

namespace {

struct PhaseBits {
  std::uint32_t locked, done, phaseOK, phaseErr, bits, configOK;
  int firstBit, patternCount;
};

constexpr PhaseBits kOdd{0x0200, 0x0100, 0x4000, 0x8000, 0x2AAA, 0x2A80, 1, 4};
constexpr PhaseBits kEven{0x0002, 0x0001, 0x0040, 0x0080, 0x1555, 0x1500, 0, 3};

const PhaseBits& Phase(int bOdd) { return bOdd ? kOdd : kEven; }
const char* PhaseName(int bOdd) { return bOdd ? "Odd" : "Even"; }

int CountBits(std::uint32_t v) { return __builtin_popcount(v); }

}  // namespace

bool DCMStatusInfo::IsLocked(int bOdd) const { return dwStatus & Phase(bOdd).locked; }
bool DCMStatusInfo::IsDone(int bOdd) const { return dwStatus & Phase(bOdd).done; }
bool DCMStatusInfo::IsPhaseOK(int bOdd) const { return dwStatus & Phase(bOdd).phaseOK; }
bool DCMStatusInfo::IsPhaseErr(int bOdd) const { return dwStatus & Phase(bOdd).phaseErr; }

bool DCMStatusInfo::IsPhaseInPattern(int bOdd) const {
  return CountBits(dwPhaseBits & Phase(bOdd).bits) >= Phase(bOdd).patternCount;
}

bool DCMStatusInfo::IsPhaseInPattern_V2(int bOdd) const {
  return CountBits(dwPhaseBits & Phase(bOdd).bits) == Phase(bOdd).patternCount;
}

bool DCMStatusInfo::HasPhasePattern(int bOdd) const {
  static constexpr std::uint32_t kOddRuns[] = {0xAA, 0x2A8, 0xAA0};
  static constexpr std::uint32_t kEvenRuns[] = {0x15, 0x54, 0x150, 0x540};
  if (bOdd) {
    for (std::uint32_t m : kOddRuns)
      if ((dwPhaseBits & m) == m) return true;
  } else {
    for (std::uint32_t m : kEvenRuns)
      if ((dwPhaseBits & m) == m) return true;
  }
  return false;
}

int DCMStatusInfo::GetPhaseBitsValue(int bOdd) const {
  int value = 0;
  for (int i = 0; i < 7; ++i)
    value |= static_cast<int>((dwPhaseBits >> (Phase(bOdd).firstBit + 2 * i)) & 1u) << i;
  return value;
}

bool DCMStatusInfo::IsDCMConfigOK(int bOdd) const {
  const PhaseBits& p = Phase(bOdd);
  return IsLocked(bOdd) && IsDone(bOdd) && IsPhaseOK(bOdd) && !IsPhaseErr(bOdd) &&
         (dwPhaseBits & p.configOK) == p.configOK;
}

bool DCMStatusInfo::IsDCMConfigOK() const { return IsDCMConfigOK(1) && IsDCMConfigOK(0); }

// ---- single steps --------------------------------------------------------------------------

bool CScanDataPort::SetDCMConfigInc(int bOdd) { return SetOKTriggerIn(kTriggerDCM, bOdd ? 8 : 0); }
bool CScanDataPort::SetDCMConfigDec(int bOdd) { return SetOKTriggerIn(kTriggerDCM, bOdd ? 9 : 1); }
bool CScanDataPort::SetDCMConfigReset(int bOdd) { return SetOKTriggerIn(kTriggerDCM, bOdd ? 15 : 7); }
bool CScanDataPort::SetDCMConfigPhaseAdjust(int bOdd) { return SetOKTriggerIn(kTriggerDCM, bOdd ? 14 : 2); }
bool CScanDataPort::SendDCMConfigCmd(unsigned char bit) { return SetOKTriggerIn(kTriggerDCM, bit); }

bool CScanDataPort::GetDCMConfigInfo(DCMStatusInfo* info) {
  if (!info) return false;
  *info = DCMStatusInfo{};
  std::lock_guard guard(m_BoardGuard);
  const auto& api = okApi();
  if (api.okUsbFrontPanel_UpdateWireOuts && api.okUsbFrontPanel_GetWireOutValue) {
    api.okUsbFrontPanel_UpdateWireOuts(m_hBoard);
    info->dwPhaseBits =
        static_cast<std::uint32_t>(api.okUsbFrontPanel_GetWireOutValue(m_hBoard, kOutPhaseBits));
    info->dwStatus = static_cast<std::uint32_t>(api.okUsbFrontPanel_GetWireOutValue(m_hBoard, kOutDCMStatus));
  }
  return true;
}

int CScanDataPort::GetLvdsFCValue() { return ReadWireOut(kOutPhaseBits); }
int CScanDataPort::GetLvdsStatus() { return ReadWireOut(kOutDCMStatus); }

bool CScanDataPort::IsDCMPhaseOK() {
  DCMStatusInfo info;
  return IsPortOpen() && GetDCMConfigInfo(&info) && info.IsDCMConfigOK();
}

// ---- the failures inside the algorithms ------------------------------------------------------

namespace {

// A failure inside a search: a text or a number; retryable ones start the next attempt.
struct DCMFailure {
  std::string text;  // empty: a numeric failure
  int code = 0;
  bool retryable = false;
  bool isText() const { return !text.empty(); }
};

[[noreturn]] void FailText(std::string text, bool retryable = false) {
  throw DCMFailure{std::move(text), 0, retryable};
}
[[noreturn]] void FailCode(int code, bool retryable = false) { throw DCMFailure{{}, code, retryable}; }

// The boundary test steps while the phase stays done; a DCM that never leaves done would
// otherwise be walked for ever.
constexpr unsigned kBoundaryStepCap = 1024;

constexpr int kMinEyeWidthV1 = 48;
constexpr int kMinEyeWidthV2 = 36;

// The steps and reads of the searches, failing by throwing.
class Walker {
 public:
  Walker(CScanDataPort& port, int bOdd) : port_(port), odd_(bOdd) {}

  DCMStatusInfo Read() {
    DCMStatusInfo info;
    if (!port_.GetDCMConfigInfo(&info)) FailText("Failed to get DCM config info");
    return info;
  }
  void Inc(int& pos) {
    if (!port_.SetDCMConfigInc(odd_)) FailText("Failed to make a DCM increment-step");
    ++pos;
  }
  void Dec(int& pos) {
    if (!port_.SetDCMConfigDec(odd_)) FailText("Failed to make a DCM decrement-step");
    --pos;
  }
  void Step(bool forward, int& pos) { forward ? Inc(pos) : Dec(pos); }
  void Steps(int count, bool forward, int& pos) {
    for (int i = 0; i < count; ++i) Step(forward, pos);
  }
  void Reset(const char* failure) {
    if (!port_.SetDCMConfigReset(odd_)) FailText(failure);
    SleepMs(50);
  }
  // After a reset the phase must lock and be done.
  DCMStatusInfo ReadLockedAndDone(bool retryable) {
    const DCMStatusInfo info = Read();
    if (!info.IsLocked(odd_)) FailText("Reset failed to lock phase", retryable);
    if (!info.IsDone(odd_)) FailText("Reset failed to get phase done", retryable);
    return info;
  }
  // Up to 7 phase shifts until the phase-OK bit shows; false when it never does.
  bool ShiftUntilPhaseOK(DCMStatusInfo& info) {
    for (int i = 0; i < 7; ++i) {
      if (!port_.SetDCMConfigPhaseAdjust(odd_)) FailText("Failed to shift phase");
      info = Read();
      if (info.IsPhaseOK(odd_)) return true;
    }
    return false;
  }

 private:
  CScanDataPort& port_;
  int odd_;
};

int ReadMethodOption() {
  const int method =
      CRegEdit(HKEY_LOCAL_MACHINE, zeva::kDataPortKey).ReadInt("DCMPhaseAdjustMethodOption", 1);
  return (method < 1 || method > 5) ? 1 : method;
}

}  // namespace

// ---- boundary test --------------------------------------------------------------------------

bool CScanDataPort::TestPhaseResetBoundary(int bOdd, unsigned& forwardSteps, unsigned& backwardSteps) {
  Walker walk(*this, bOdd);
  const char* phase = PhaseName(bOdd);
  std::string lastFailure;
  for (int retry = 0; retry < 5; ++retry) {
    forwardSteps = backwardSteps = 0;
    int pass = 1;
    try {
      for (pass = 1; pass <= 2; ++pass) {
        walk.Reset("Failed to reset DCM configuration.");
        DCMStatusInfo info = walk.ReadLockedAndDone(true);
        unsigned& steps = pass == 1 ? forwardSteps : backwardSteps;
        int pos = 0;
        while (info.IsDone(bOdd)) {
          if (steps >= kBoundaryStepCap)
            FailText(FormatText("The phase stayed done for %u steps", steps), true);
          walk.Step(pass == 1, pos);
          ++steps;
          info = walk.Read();
        }
      }
      LogDebug(2, "TestPhaseResetBoundary: Done - Phase = %s, F_Steps = %d, B_Steps = %d [retry = %d]", phase,
               forwardSteps, backwardSteps, retry);
      return true;
    } catch (const DCMFailure& f) {
      const char* dir = pass == 1 ? "Forward" : "Backward";
      const unsigned made = pass == 1 ? forwardSteps : backwardSteps;
      const std::string text =
          f.isText() ? FormatText("Failed - %s [Phase = %s, Dir = %s, Steps made = %d, Retry = %d]",
                                  f.text.c_str(), phase, dir, made, retry)
                     : FormatText("Failed - error = %d [Phase = %s, Dir = %s, Steps made = %d, Retry = %d]",
                                  f.code, phase, dir, made, retry);
      LogDebug(1, "TestPhaseResetBoundary: %s", text.c_str());
      if (!f.retryable) return false;
      lastFailure = f.isText() ? f.text : FormatText("error = %d", f.code);
    } catch (...) {
      LogDebug(1, "TestPhaseResetBoundary: %s",
               FormatText("Failed - unknown error [Phase = %s, Dir = %s, Steps made = %d, Retry = %d]", phase,
                          pass == 1 ? "Forward" : "Backward", pass == 1 ? forwardSteps : backwardSteps, retry)
                   .c_str());
      return false;
    }
  }
  LogDebug(1, "TestPhaseResetBoundary: Failed - %s", lastFailure.c_str());
  return false;
}

// ---- method V1 --------------------------------------------------------------------------------

int CScanDataPort::MoveToNextPhaseEdge(int bOdd, int bForward, int& pos, int& skipped) {
  Walker walk(*this, bOdd);
  DCMStatusInfo info = walk.Read();
  std::uint32_t reference = info.dwPhaseBits;
  skipped = 0;
  int stable = 0;
  for (int n = 0; n < 100 && stable < 5; ++n) {
    walk.Step(bForward, pos);
    info = walk.Read();
    if (!info.IsDone(bOdd)) return 0;
    if (info.dwPhaseBits == reference) {
      ++stable;
    } else {
      reference = info.dwPhaseBits;
      skipped += stable;
      stable = 0;
    }
  }
  if (stable < 5) FailText("Couldn't make 5 stable increment step move");
  for (int n = 0; n < 100; ++n) {
    walk.Step(bForward, pos);
    info = walk.Read();
    if (!info.IsDone(bOdd)) return 0;
    ++stable;
    if (info.dwPhaseBits != reference) {
      LogDebug(2, "<MoveToNextPhaseEdge>: StableSteps = %d, SkippedSteps = %d", stable, skipped);
      return stable;
    }
  }
  return 0;
}

int CScanDataPort::FindPhaseEyeWidthAndMoveToMiddle(int bOdd, int& pos) {
  Walker walk(*this, bOdd);
  if (!walk.Read().IsDCMConfigOK(bOdd)) return -1;
  // Down to the lower edge, back in, then across the eye counting.
  for (int n = 0;; ++n) {
    if (n == 100) return 0;
    walk.Dec(pos);
    if (!walk.Read().IsDCMConfigOK(bOdd)) break;
  }
  for (int n = 0;; ++n) {
    if (n == 100) return 0;
    walk.Inc(pos);
    if (walk.Read().IsDCMConfigOK(bOdd)) break;
  }
  int width = 0;
  for (;;) {
    if (width == 100) return 0;
    walk.Inc(pos);
    ++width;
    if (!walk.Read().IsDCMConfigOK(bOdd)) break;
  }
  walk.Steps(width / 2 + 1, false, pos);
  return walk.Read().IsDCMConfigOK(bOdd) ? width : 0;
}

bool CScanDataPort::DoDCMPhaseAutoAdjust_V1(int bOdd) {
  Walker walk(*this, bOdd);
  const char* phase = PhaseName(bOdd);
  bool done = false;
  int retry = 0;
  for (; retry < 10; ++retry) {
    try {
      unsigned forward = 0, backward = 0;
      if (!TestPhaseResetBoundary(bOdd, forward, backward)) FailCode(0, true);
      const int total = static_cast<int>(forward + backward);
      walk.Reset("Failed to reset DCM configuration.");
      walk.ReadLockedAndDone(true);

      int pos = static_cast<int>(backward);  // counted from the lower boundary
      if (backward > 5) walk.Steps(static_cast<int>(backward) - 5, false, pos);
      int skipped = 0;
      if (MoveToNextPhaseEdge(bOdd, 1, pos, skipped) < 1)
        FailText("Failed to find the next phase edge.", true);
      const int width = MoveToNextPhaseEdge(bOdd, 1, pos, skipped);
      const int move = width + skipped;
      LogDebug(2, "DoDCMPhaseAutoAdjust: phase = %s, stable phase width = %d, curPos = %d [retry = %d]",
               phase, width, pos, retry);
      if (width < kMinEyeWidthV1) {
        LogDebug(2,
                 "DoDCMPhaseAutoAdjust: found stable phase width for %d is too narrow, will re-try the auto "
                 "adjustment",
                 bOdd);
        break;
      }
      walk.Steps(width / 2, false, pos);
      LogDebug(2, "DoDCMPhaseAutoAdjust: Stepped %d back to the middle of the stable area [curPos = %d]",
               width / 2, pos);

      DCMStatusInfo info = walk.ReadLockedAndDone(true);
      if (!info.IsPhaseInPattern(bOdd)) {
        const bool forwardMove = move < total - pos;
        LogDebug(2,
                 "DoDCMPhaseAutoAdjust: no right pattern for the %s phase [phase bits = %d], will try the "
                 "next phase "
                 "[%s], [CurPos = %d, retry = %d]",
                 phase, info.GetPhaseBitsValue(bOdd), forwardMove ? "Forward" : "backward", pos, retry);
        walk.Steps(move, forwardMove, pos);
        info = walk.Read();
        if (!info.IsDone(bOdd)) break;
        if (!info.IsPhaseInPattern(bOdd)) {
          LogDebug(1,
                   "DoDCMPhaseAutoAdjust: still no right pattern for the %s phase [phase bits = %d, curPos = "
                   "%d], will "
                   "re-try the auto adjustment",
                   phase, info.GetPhaseBitsValue(bOdd), pos);
          FailText("Failed to find right phase pattern", true);
        }
      }
      if (!info.IsPhaseOK(bOdd) && !walk.ShiftUntilPhaseOK(info)) FailCode(6, true);
      if (!info.IsDCMConfigOK(bOdd)) break;

      const int eye = FindPhaseEyeWidthAndMoveToMiddle(bOdd, pos);
      LogDebug(2,
               "DoDCMPhaseAutoAdjust: phase = %s, eye-width = %d, curPos from L-boundary = %d [retry = %d]",
               phase, eye, pos, retry);
      if (eye < kMinEyeWidthV1) {
        LogDebug(
            2, "DoDCMPhaseAutoAdjust: found eye-width for %d is too narrow, will re-try the auto adjustment",
            bOdd);
        break;
      }
      done = true;
      break;
    } catch (const DCMFailure& f) {
      if (f.retryable) {
        if (f.isText())
          LogDebug(1, "DoDCMPhaseAutoAdjust: %s", f.text.c_str());
        else
          LogDebug(1, "DoDCMPhaseAutoAdjust: error code = %d", f.code);
        continue;
      }
      LogDebug(1, "DoDCMPhaseAutoAdjust: Failed [error code = %d]", f.isText() ? 19 : f.code);
      return false;
    } catch (...) {
      LogDebug(1, "DoDCMPhaseAutoAdjust: Failed [error code = %d]", 21);
      return false;
    }
  }
  LogDebug(2, "DoDCMPhaseAutoAdjust: %s phase adjustment %s, retry = %d", phase,
           done ? " succeeded" : "failed", retry < 10 ? retry : 9);
  return done;
}

// ---- method V2 ----------------------------------------------------------------------------------

int CScanDataPort::MoveToNextPhaseEdge_V2(int bOdd, int bForward, int& pos, int& skipped, int& inPattern,
                                          int& hasStartEdge, int& hasStopEdge) {
  Walker walk(*this, bOdd);
  skipped = inPattern = hasStartEdge = hasStopEdge = 0;
  DCMStatusInfo info = walk.Read();
  std::uint32_t reference = info.dwPhaseBits;
  int stable = 0;
  for (int n = 0; n < 100 && stable < 5; ++n) {
    walk.Step(bForward, pos);
    info = walk.Read();
    if (!info.IsDone(bOdd)) {
      walk.Dec(pos);  // back inside the boundary
      return stable;
    }
    if (info.dwPhaseBits == reference) {
      ++stable;
    } else {
      reference = info.dwPhaseBits;
      skipped += stable;
      stable = 0;
      hasStartEdge = 1;
    }
  }
  if (stable < 5) FailText("Couldn't make 5 stable increment step move");
  inPattern = info.IsPhaseInPattern_V2(bOdd) ? 1 : 0;
  for (int n = 0; n < 100; ++n) {
    walk.Step(bForward, pos);
    info = walk.Read();
    if (!info.IsDone(bOdd)) {
      walk.Dec(pos);
      return stable;
    }
    ++stable;
    if (info.dwPhaseBits != reference) {
      hasStopEdge = 1;
      break;
    }
  }
  LogDebug(
      2, "<MoveToNextPhaseEdge_V2>: StableSteps = %d, SkippedSteps = %d, HasStartEdge = %s, HasStopEdge = %s",
      stable, skipped, hasStartEdge ? "yes" : "no", hasStopEdge ? "yes" : "no");
  return stable;
}

bool CScanDataPort::DoDCMPhaseAutoAdjust_V2(int bOdd) {
  Walker walk(*this, bOdd);
  const char* phase = PhaseName(bOdd);
  try {
    unsigned forward = 0, backward = 0;
    if (!TestPhaseResetBoundary(bOdd, forward, backward)) FailCode(0);
    walk.Reset("Failed to reset DCM configuration");
    walk.ReadLockedAndDone(false);
    int pos = 0;  // from the reset position
    if (backward > 5) walk.Steps(static_cast<int>(backward) - 5, false, pos);
    LogDebug(1,
             "<DataPort::DoDCMPhaseAutoAdjust_V2> Detected DCM %s phase boundarys: ForwardSteps = %d, "
             "BackwardSteps = %d",
             phase, forward, backward);
    walk.ReadLockedAndDone(false);

    int bestWidth = 0, bestStart = pos;
    int skipped = 0, inPattern = 0, hasStart = 0, hasStop = 0;
    // Every search moves at least one step up, so the boundary ends the walk; the bound
    // only guards against a board that misreports it.
    const int maxSearches = static_cast<int>(forward + backward) + 1;
    int searches = 0;
    do {
      const int from = pos;
      const int width = MoveToNextPhaseEdge_V2(bOdd, 1, pos, skipped, inPattern, hasStart, hasStop);
      const int start = from + skipped;
      if (inPattern) {
        LogDebug(2,
                 "<DataPort::DoDCMPhaseAutoAdjust_V2> Found a correct %s phase: eye-width = %d, startPos "
                 "from the reset "
                 "0-position = %d",
                 phase, width, start);
        if (width > bestWidth) {
          bestWidth = width;
          bestStart = start;
        }
      }
    } while (hasStop && ++searches < maxSearches);
    if (bestWidth < kMinEyeWidthV2) {
      LogDebug(2, "<DataPort::DoDCMPhaseAutoAdjust_V2> Found %s phase eye-width is too narrow [width = %d]",
               phase, bestWidth);
      FailText("Found eye-width is too narrow");
    }

    walk.Reset("Failed to reset DCM configuration");
    walk.ReadLockedAndDone(false);
    pos = 0;
    const int sync = bestWidth / 2 + bestStart;
    walk.Steps(std::abs(sync), sync >= 0, pos);
    DCMStatusInfo info = walk.Read();
    if (!info.IsPhaseInPattern_V2(bOdd)) FailText("Failed to adjuct the phase");
    if (!info.IsPhaseOK(bOdd) && !walk.ShiftUntilPhaseOK(info)) FailText("Couldn't find the correcct phase");
    if (!info.IsDCMConfigOK(bOdd)) FailText("Failed to adjuct the phase");
    LogDebug(1,
             "<DataPort::DoDCMPhaseAutoAdjust_V2> %s phase adjustment done: eye-width = %d, startPos = %d, "
             "syncPos = %d",
             phase, bestWidth, bestStart, sync);
    return true;
  } catch (const DCMFailure& f) {
    if (f.isText())
      LogDebug(1, "<DataPort::DoDCMPhaseAutoAdjust_V2> %s phase adjustment falied: %s", phase,
               f.text.c_str());
    else
      LogDebug(1, "<DataPort::DoDCMPhaseAutoAdjust_V2>  %s phase adjustment falied: error code = %d", phase,
               f.code);
  } catch (...) {
    LogDebug(1, "<DataPort::DoDCMPhaseAutoAdjust_V2>  %s phase adjustment falied: unknown error", phase);
  }
  return false;
}

// ---- both phases and the method choice ------------------------------------------------------------

bool CScanDataPort::AutoAdjustDCMPhasesByMethod(bool v2) {
  int retryOdd = 0, retryEven = 0;
  bool ok = false;
  while (retryOdd < 7 && retryEven < 7) {
    DCMStatusInfo info;
    if (!GetDCMConfigInfo(&info)) break;
    bool adjusted = false;
    if (!info.IsDCMConfigOK(1)) {
      ++retryOdd;
      adjusted = true;
      v2 ? DoDCMPhaseAutoAdjust_V2(1) : DoDCMPhaseAutoAdjust_V1(1);
    }
    if (!info.IsDCMConfigOK(0)) {
      ++retryEven;
      adjusted = true;
      v2 ? DoDCMPhaseAutoAdjust_V2(0) : DoDCMPhaseAutoAdjust_V1(0);
    }
    if (IsDCMPhaseOK()) {
      ok = true;
      break;
    }
    if (!adjusted) break;  // both read fine yet the port is not OK: nothing left to adjust
  }
  if (v2)
    LogDebug(1, "<DataPort::AutoAdjustDCMPhases_V2> %s [AutoRetry_O = %d, AutoRetry_E = %d]",
             ok ? "Done." : "Failed.", retryOdd, retryEven);
  else
    LogDebug(1, "<DataPort::AutoAdjustDCMPhases> %s [AutoRetry_O = %d, AutoRetry_E = %d]",
             ok ? "Done." : "Failed.", retryOdd, retryEven);
  return ok;
}

bool CScanDataPort::AutoAdjustDCMPhases_V1() { return AutoAdjustDCMPhasesByMethod(false); }
bool CScanDataPort::AutoAdjustDCMPhases_V2() { return AutoAdjustDCMPhasesByMethod(true); }

bool CScanDataPort::ResetDCMForDispatch(int bOdd, bool bothPhases) {
  if (bothPhases) {
    if (!SetDCMConfigReset(1)) {
      LogError("<DataPort::AutoAdjustDCMPhasesEx> Reset Odd-phase Falied");
      return false;
    }
    SleepMs(50);
    if (!SetDCMConfigReset(0)) {
      LogError("<DataPort::AutoAdjustDCMPhasesEx> Reset Even-phase Falie");
      return false;
    }
    SleepMs(50);
    return true;
  }
  if (!SetDCMConfigReset(bOdd)) {
    LogError("<DataPort::DoDCMPhaseAutoAdjustEx> Reset %s-phase Falied", PhaseName(bOdd));
    return false;
  }
  SleepMs(50);
  return true;
}

namespace {
// The combinations the method option chooses: first, the fallback after a reset, and
// whether the fallback runs only when the first failed.
template <typename V1, typename V2, typename Reset>
bool Dispatch(int method, V1 v1, V2 v2, Reset reset) {
  switch (method) {
    case 2:
      return v1();
    case 3:
      return v2();
    case 4:
      if (v2()) return true;
      return reset() && v1();
    case 5:
      v1();
      return reset() && v2();
    default:
      if (v1()) return true;
      return reset() && v2();
  }
}
}  // namespace

bool CScanDataPort::AutoAdjustDCMPhases() {
  // Each step moves the board's phase from where the last one left it: one walk at a time.
  AccessHold access(*this);
  if (!access.held()) {
    LogPortInUse("<DataPort::AutoAdjustDCMPhasesEx>");
    return false;
  }
  const int method = ReadMethodOption();
  LogDebug(1, "<DataPort::AutoAdjustDCMPhasesEx> DCMPhaseAdjustMethodOption = %d", method);
  return Dispatch(
      method, [this] { return AutoAdjustDCMPhases_V1(); }, [this] { return AutoAdjustDCMPhases_V2(); },
      [this] { return ResetDCMForDispatch(0, true); });
}

bool CScanDataPort::DoDCMPhaseAutoAdjust(int bOdd) {
  AccessHold access(*this);
  if (!access.held()) {
    LogPortInUse("<DataPort::DoDCMPhaseAutoAdjustEx>");
    return false;
  }
  const int method = ReadMethodOption();
  LogDebug(1, "<DataPort::DoDCMPhaseAutoAdjustEx> Phase = %s adjustMethod = %d", PhaseName(bOdd), method);
  return Dispatch(
      method, [this, bOdd] { return DoDCMPhaseAutoAdjust_V1(bOdd); },
      [this, bOdd] { return DoDCMPhaseAutoAdjust_V2(bOdd); },
      [this, bOdd] { return ResetDCMForDispatch(bOdd, false); });
}

// ---- operations outside the adjustment ----------------------------------------------------------

int CScanDataPort::FindTotalPhaseSteps(int bOdd, int bReset) {
  Walker walk(*this, bOdd);
  try {
    if (bReset) walk.Reset("Failed to reset DCM configuration");
    int pos = 0, skipped = 0;
    if (MoveToNextPhaseEdge(bOdd, 1, pos, skipped) < 1) return 0;
    DCMStatusInfo info = walk.Read();
    std::uint32_t reference = info.dwPhaseBits;
    int stable = 0;
    for (int n = 0; n < 100 && stable < 5; ++n) {
      walk.Inc(pos);
      info = walk.Read();
      if (info.dwPhaseBits == reference) {
        ++stable;
      } else {
        reference = info.dwPhaseBits;
        stable = 0;
      }
    }
    if (stable < 5) FailText("Couldn't make 5 stable increment step move");
    for (int steps = 1; steps <= 100; ++steps) {
      walk.Inc(pos);
      info = walk.Read();
      if (!info.IsDone(bOdd)) return 0;
      if (info.dwPhaseBits != reference) return steps + stable + 1;
    }
    return 0;
  } catch (const DCMFailure& f) {
    LogDebug(1, "<DataPort::FindTotalPhaseSteps> %s",
             f.isText() ? f.text.c_str() : FormatText("error code = %d", f.code).c_str());
    return 0;
  }
}

bool CScanDataPort::MoveToPhaseMiddle(int bOdd, int bForward, int& total) {
  Walker walk(*this, bOdd);
  try {
    total = FindTotalPhaseSteps(bOdd, 1);
    if (total < 1) return false;
    walk.Reset("Failed to reset DCM configuration.");
    int pos = 0, skipped = 0;
    if (MoveToNextPhaseEdge(bOdd, 1, pos, skipped) < 1) return false;
    walk.Steps(total / 2, bForward != 0, pos);
    return true;
  } catch (const DCMFailure& f) {
    LogDebug(1, "<DataPort::MoveToPhaseMiddle> %s",
             f.isText() ? f.text.c_str() : FormatText("error code = %d", f.code).c_str());
    return false;
  }
}
