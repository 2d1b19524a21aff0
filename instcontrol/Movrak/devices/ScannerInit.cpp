#include "devices/ScannerInit.h"

#include <exception>
#include <limits>
#include <string>

#include "Jotwell/Logger.h"
#include "Jotwell/ProductKeys.h"
#include "Jotwell/RegEdit.h"
#include "devices/DeviceErrors.h"
#include "devices/DeviceUtil.h"
#include "devices/Scanner.h"
#include "link/MessageTable.h"
#include "platform/clock.h"

using namespace movrak;

namespace {

constexpr int kRebootEvent = 1;
constexpr unsigned kMsgInitializing = 3002;
constexpr unsigned kMsgReady = 3003;
constexpr unsigned kMsgWarming = 3005;
constexpr unsigned kMsgLasersOff = 3006;
constexpr unsigned kMsgGreenLaserOn = 3008;
constexpr unsigned kMsgRedLaserOn = 3009;
constexpr unsigned kMsgInitVCStage = 3100;
constexpr unsigned kMsgSetPMT = 3102;
constexpr unsigned kMsgInitCarousel = 3106;
constexpr unsigned kMsgSelfTest = 3114;
constexpr unsigned kWarmupCheckEvery = 5;
constexpr unsigned kWarmupLogEvery = 20;

// Clearing the run flag stops an initialisation at its next check.
void AbortCheck(CScanner& scanner) {
  if (!scanner.IsStatusThreadEnabled()) throw kErrInitAborted;
}

// Turns both lasers on and waits until both lase or the wait gives up; only an abort or
// a laser that cannot be switched on fails the step.
void TurnOnLasers(CScanner& scanner) {
  const double lasingLevel =
      CRegEdit(HKEY_LOCAL_MACHINE, zeva::kScannerKey).ReadDouble("LaserLasingPowerLevel", 0.25);

  LogInfo("InitStep: Turn on Green laser");
  scanner.SetStatusMsgId(kMsgGreenLaserOn);
  if (!scanner.GetGreenLaserSetPoint()) throw kErrInitAborted;
  LogInfo("InitStep: Turn on Red laser");
  scanner.SetStatusMsgId(kMsgRedLaserOn);
  if (!scanner.GetRedLaserSetPoint()) throw kErrInitAborted;

  CScanDataPort& port = scanner.GetDataPort();
  bool redLasing = false;
  bool greenLasing = false;
  int polls = 0;
  while (polls < kLasingPolls && !(redLasing && greenLasing)) {
    ++polls;
    platform::sleepFor(kLasingPoll);
    // A stop must not wait out the five minutes.
    AbortCheck(scanner);
    PortCtrlStatus status;
    if (!port.GetCtrlStatus(&status)) {
      LogDebug(1,
               "<DoInitSteps> Failed to get current Keth ctrl status during waiting for laser being lasing");
      break;
    }
    const std::uint32_t word = status.dwStatus1;
    if (!PortCtrlLaser::IsLaserPowerOn(word, true) || !PortCtrlLaser::IsLaserPowerOn(word, false) ||
        !PortCtrlLaser::IsLaserOn(word, false)) {
      LogDebug(1,
               "<DoInitSteps> Detected one fo the laser is turned OFF during waiting for laser being lasing");
      break;
    }
    const double red = scanner.GetLaserPower(true, true);
    const double green = scanner.GetLaserPower(false, true);
    if (!redLasing && red > lasingLevel) {
      redLasing = true;
      LogInfo("Detected Red laser is lasing [current power = %.2f mWatts]", red);
    }
    if (!greenLasing && green > lasingLevel) {
      greenLasing = true;
      LogInfo("Detected Green laser is lasing [current power = %.2f mWatts]", green);
    }
  }
  if (!(redLasing && greenLasing)) {
    if (polls >= kLasingPolls)
      LogDebug(1, "<DoInitSteps> Timed out when waiting for laser being lasing");
    else
      LogDebug(1, "<DoInitSteps> Failed to record (at least one) laser start lasing time");
  }
}

std::string ErrorTextOr(int id, const char* fallbackFormat) {
  std::string text;
  return LoadMessageString(id, text) ? text : FormatText(fallbackFormat, id);
}

}  // namespace

// ---- initialisation ---------------------------------------------------------------------------

void DoInitSteps(CScanner& scanner, bool skipLasers) {
  scanner.LockDoor();

  LogInfo("InitStep: Block lasers");
  scanner.GetScanObj().ControlLasers(0, 0);

  LogInfo("InitStep: Get scanner Model");
  scanner.GetModel();

  LogInfo("InitStep: Initialize Fast-Stage");
  scanner.SetStatusMsgId(kMsgInitVCStage);
  scanner.GetVCStage().Init(true);
  AbortCheck(scanner);

  scanner.GetDataPort().EnableShutdown(0);

  if (skipLasers)
    LogInfo("InitStep: Skip turn on lasers!");
  else
    TurnOnLasers(scanner);

  LogInfo("InitStep: Set Red PMT Voltage");
  scanner.SetStatusMsgId(kMsgSetPMT);
  scanner.GetChannel(kRedPMT)->SetVoltageFromFlash(false);
  LogInfo("InitStep: Set Green PMT Voltage");
  scanner.GetChannel(kGreenPMT)->SetVoltageFromFlash(false);

  LogInfo("InitStep: Check Red PMT Voltage");
  scanner.GetChannel(kRedPMT)->CheckVoltage();
  LogInfo("InitStep: Check Green PMT Voltage");
  scanner.GetChannel(kGreenPMT)->CheckVoltage();

  PortCtrlStatus status;
  if (scanner.GetDataPort().GetCtrlStatus(&status))
    LogDebug(2, "<DoInitSteps> current Keth ctrl status: %s", status.GetStatusString(0).c_str());
  else
    LogDebug(1, "<DoInitSteps> Failed to get current Keth ctrl status");
  AbortCheck(scanner);

  LogInfo("InitStep: Eject Carousel");
  scanner.SetStatusMsgId(kMsgInitCarousel);
  scanner.EjectCarousel();
  AbortCheck(scanner);

  LogInfo("InitStep: Turn off Barcode Reader Laser");
  scanner.BarcodeReaderLaserControl(false);
  AbortCheck(scanner);
}

void CScanner::InitializeSync() {
  // The run flag doubles as the steps' abort switch; a status thread that runs beside
  // this must keep running afterwards, unless someone stopped it meanwhile.
  unsigned stopsBefore = 0;
  bool wasEnabled = false;
  {
    std::lock_guard lock(m_StatusThreadMutex);
    stopsBefore = m_nStopRequests;
    wasEnabled = m_bStatusThreadEnabled.exchange(true);
  }
  auto restoreRunFlag = [&] {
    std::lock_guard lock(m_StatusThreadMutex);
    m_bStatusThreadEnabled = wasEnabled && m_nStopRequests == stopsBefore;
  };

  SetStatusMsgId(kMsgInitializing);
  SetInitRequested(false);
  LogInfo("Scanner Initialization started.");
  try {
    DoInitSteps(*this, true);
  } catch (int error) {
    if (error != kErrTimedOut) {
      try {
        UnLockDoor();
      } catch (int) {
        // The initialisation's own error is the one to report.
      }
    }
    LogError("Initialization failed.");
    SetStatusMsgId(static_cast<unsigned>(error));
    SetScannerState(kStateError);
    restoreRunFlag();
    throw;
  } catch (...) {
    restoreRunFlag();
    throw;
  }
  LogInfo("Initialization completed.");
  SetStatusMsgId(kMsgReady);
  SetScannerState(kStateReady);
  restoreRunFlag();
}

void InitializeScanner(CScanner& scanner) {
  scanner.SetStatusMsgId(kMsgInitializing);
  scanner.SetInitRequested(false);
  LogInfo("---------------------- Scanner Initialization started ----------------------");
  try {
    DoInitSteps(scanner, false);
    scanner.SetStatusMsgId(kMsgSelfTest);
    CLogger::OnFunctionBegin(CLogger::SELFTEST);
    scanner.SelfTest(false);
    CLogger::OnFunctionEnd(CLogger::SELFTEST);
  } catch (int error) {
    if (error != kErrTimedOut) {
      try {
        scanner.UnLockDoor();
      } catch (int) {
        // Ignored: the initialisation's error is what the Error state shows.
      }
    }
    LogError("%s", ErrorTextOr(error, "Missing error message: %d").c_str());
    LogError("Scanner Initialization failed.");
    scanner.SetStatusMsgId(static_cast<unsigned>(error));
    scanner.SetScannerState(kStateError);
    scanner.SetErrorId(error);
    CLogger::OnFunctionEnd(CLogger::SELFTEST);
  }
  LogInfo("---------------------- Scanner Initialization completed ----------------------");
}

// ---- the status thread --------------------------------------------------------------------------

namespace {

// One run of the status loop, with the values that live from pass to pass.
class StatusLoop {
 public:
  explicit StatusLoop(CScanner& scanner) : s_(scanner), comm_(scanner.GetComm()) {}

  void Run() {
    current_ = previous_ = saved_ = s_.GetScannerState();
    s_.SetStatusMsgId(CScanner::kStatusMsgBase + static_cast<unsigned>(current_));
    s_.SetErrorId(0);
    warmupFirst_ = false;
    warmupCycle_ = 0;
    bool needLock = true;

    while (s_.IsStatusThreadEnabled()) {
      if (needLock) {
        if (!comm_.LockComm()) {
          platform::sleepFor(kStatusCycle);
          continue;
        }
        needLock = false;
      }
      set_ = current_;
      if (!CheckReboot()) HandleCurrentState();
      if (previous_ == current_) {
        comm_.UnlockComm();
        needLock = true;
        platform::sleepFor(kStatusCycle);
      }
      // A state this pass set may already be replaced when it is read back (a browse
      // started at the first "Scanner ready."): then that state, not the one before it,
      // is the one the new state follows.
      const tagScannerState now = s_.GetScannerState();
      previous_ = (set_ != current_ && now != set_) ? set_ : current_;
      current_ = now;
    }
    // A pass after a state change keeps the mutex; the thread must not end holding it.
    if (!needLock) comm_.UnlockComm();
  }

 private:
  bool Entered() const { return previous_ != current_; }

  void ToState(tagScannerState state) {
    s_.SetScannerState(state);
    set_ = state;
  }
  void ToLasersOff(int error) {
    s_.SetStatusMsgId(kMsgLasersOff);
    ToState(kStateLasersOff);
    s_.SetErrorId(error);
  }
  void ToError(int error) {
    ToState(kStateError);
    s_.SetStatusMsgId(CScanner::kStatusMsgBase + kStateError);
    s_.SetErrorId(error);
  }

  // True when the instrument rebooted (the pass then handles no state).
  bool CheckReboot() {
    try {
      if (!comm_.ReopenAfterReboot()) return false;
    } catch (int error) {
      LogError("<StatusProc> Error checking for reboot: %s", ErrorTextOr(error, "%d").c_str());
      return false;
    }
    LogDebug(3, "<StatusProc> Detected instrument reboot.  Need to re-initialize");
    ToState(kStateInitializing);
    return true;
  }

  void HandleCurrentState() {
    int error = 0;
    try {
      HandleState();
      return;
    } catch (int e) {
      error = e;
    } catch (const std::exception& e) {
      LogError("<StatusProc> Unexpected exception: %s", e.what());
      error = kErrUnknown;
    } catch (...) {
      LogError("<StatusProc> Unexpected exception of unknown type");
      error = kErrUnknown;
    }
    std::string statusText;
    LoadMessageString(static_cast<int>(s_.GetStatusMsgId()), statusText);
    LogWarning("<StatusProc> Caught error (0x%x) while processing %s state", static_cast<unsigned>(error),
               statusText.c_str());
    ToError(error);
    LogWarning("<StatusProc> Unsafe to continue, going to error state...");
  }

  void HandleState() {
    switch (current_) {
      case kStateError:
        if (Entered()) s_.SetStatusMsgId(CScanner::kStatusMsgBase + kStateError);
        if (s_.IsInitRequested()) {
          ToState(kStateInitializing);
          s_.SetErrorId(0);
        }
        break;
      case kStateOffline:
        if (Entered()) s_.SetStatusMsgId(CScanner::kStatusMsgBase + kStateOffline);
        ToState(kStateInitializing);
        break;
      case kStateInitializing:
        if (s_.IsInitRequested() || s_.IsAutoInit()) {
          InitializeScanner(s_);
          if (s_.GetScannerState() == kStateError) break;
          s_.SetErrorId(0);
          s_.SetStatusMsgId(kMsgWarming);
          ToState(kStateWarming);
          warmupFirst_ = true;
          warmupCycle_ = 0;
        }
        HandleWarming();
        break;
      case kStateWarming:
        HandleWarming();
        break;
      case kStateLasersOff:
        HandleLasersOff();
        break;
      case kStateReady:
        HandleReady();
        break;
      case kStateBrowsing:
        if (Entered()) {
          saved_ = previous_;
          LogDebug(1, "<StatusProc::StateBrowsing> Enter kStateBrowsing, save the previous state [%d]",
                   static_cast<int>(saved_));
        }
        if (s_.IsBrowseCarouselDone()) {
          ToState(saved_);
          LogDebug(1, "<StatusProc::StateBrowsing> Exit kStateBrowsing, back to previous state [%d]",
                   static_cast<int>(saved_));
        }
        break;
      default:  // calibrating lasers, carousel run: nothing enters them here
        break;
    }
  }

  // False (and the scanner in kStateLasersOff) when a laser power is off.
  bool CheckBothPowersOn(const char* where) {
    bool red = false, green = false;
    s_.CheckLaserPowerOnOffStatus(red, green, true);
    if (red && green) return true;
    if (!red && !green)
      LogDebug(1, "<StatusProc::%s> Detected both laser powers switched OFF.", where);
    else
      LogDebug(1, "<StatusProc::%s> Detected %s laser power switched OFF.", where, red ? "green" : "red");
    ToLasersOff(red ? kErrGreenPowerOff : kErrRedLaserOff);
    return false;
  }

  void HandleWarming() {
    if (!CheckBothPowersOn("StateWarming")) return;
    if (warmupCycle_ > 0 && warmupCycle_ % kWarmupCheckEvery == 0) {
      int error = 0;
      const bool ready =
          s_.CheckLaserWarmingUpStatus(error, warmupFirst_, warmupCycle_ % kWarmupLogEvery == 0) != 0;
      if (ready) {
        s_.SetStatusMsgId(kMsgReady);
        ToState(kStateReady);
        try {
          s_.SetLEDs(1, 0, 3, 1);
        } catch (int e) {
          LogError("Failed to set LED state of READY: error = %d", e);
        }
        warmupFirst_ = false;
        LogDebug(1, "<StatusProc::StateWarming> Lasers are ready.");
      } else if (error == kErrGreenPowerOff || error == kErrRedLaserOff) {
        ToState(kStateLasersOff);
        s_.SetStatusMsgId(kMsgLasersOff);
        s_.SetErrorId(error);
      } else if (error != 0) {
        ToError(error);
      }
    }
    ++warmupCycle_;
    if (warmupCycle_ == std::numeric_limits<std::uint32_t>::max()) warmupCycle_ = 1;
  }

  void HandleLasersOff() {
    bool red = false, green = false;
    s_.CheckLaserPowerOnOffStatus(red, green, false);
    if (!red && !green) return;
    if (!red || !green) {
      LogDebug(1, "<StatusProc::StateLasersOff> Detected only %s laser power switched ON.",
               red ? "Red" : "Green");
      return;
    }
    LogDebug(1, "<StatusProc::StateLasersOff> Detected both laser powers switched ON.");
    int error = 0;
    if (s_.CheckLaserWarmingUpStatus(error, false, true)) {
      s_.SetStatusMsgId(kMsgReady);
      ToState(kStateReady);
    } else if (error != 0) {
      ToError(error);
    } else {
      s_.SetStatusMsgId(kMsgWarming);
      ToState(kStateWarming);
      try {
        s_.SetLEDs(1, 1, 3, 1);
      } catch (int e) {
        LogError("Failed to set LED state of WARMUP: error = %d", e);
      }
      warmupCycle_ = 0;
    }
  }

  void HandleReady() {
    if (Entered()) s_.SetStatusMsgId(kMsgReady);
    if (s_.IsInitRequested()) {
      ToState(kStateInitializing);
      return;
    }
    // A carousel run watches its lasers itself.
    if (s_.IsCarouselRunStarting()) return;
    CheckBothPowersOn("StateReady");
  }

  CScanner& s_;
  CLanComm& comm_;
  tagScannerState current_ = kStateOffline;
  tagScannerState previous_ = kStateOffline;
  tagScannerState saved_ = kStateOffline;
  tagScannerState set_ = kStateOffline;  // the state as this pass left it
  bool warmupFirst_ = false;
  std::uint32_t warmupCycle_ = 0;
};

}  // namespace

std::uint32_t StatusProc(CScanner& scanner) {
  CLanComm& comm = scanner.GetComm();
  comm.RegisterEventInterest(kRebootEvent);
  for (;;) {
    StatusLoop(scanner).Run();
    std::lock_guard lock(scanner.m_StatusThreadMutex);
    // Started again while this run was leaving its loop: carry on instead of ending.
    if (scanner.IsStatusThreadEnabled()) continue;
    comm.UnregisterEventInterest(kRebootEvent);
    scanner.ClearStatusThreadRunning();
    return 0;
  }
}

void CScanner::StartStatusThread() {
  std::lock_guard lock(m_StatusThreadMutex);
  m_bStatusThreadEnabled = true;
  m_bInitRequested = true;
  if (m_bStatusThreadRunning) return;
  m_bStatusThreadRunning = true;
  if (!m_StatusThread.start([this](platform::Event&) { return StatusProc(*this); }, "StatusProc")) {
    m_bStatusThreadRunning = false;
    m_bStatusThreadEnabled = false;
    LogError("Unable to start the scanner status thread");
    throw kErrUnknown;
  }
}

void CScanner::StopStatusThread() {
  std::lock_guard lock(m_StatusThreadMutex);
  ++m_nStopRequests;
  m_bStatusThreadEnabled = false;
}

void CScanner::ShutdownStatusThread() {
  StopStatusThread();
  (void)m_StatusThread.join();  // never called on the status thread: the join cannot fail
}
