#include "run/ScanMgr.h"

#include <vector>

#include "Jotwell/Logger.h"
#include "Jotwell/Utilities.h"
#include "run/ComError.h"
#include "run/RunStatus.h"

namespace lumetra::run {

using platform::com::ComError;

std::string MessageText(std::intptr_t lParam) {
  return lParam ? std::string(reinterpret_cast<const char*>(lParam)) : std::string();
}

CScanMgr::CScanMgr(platform::Window* statusWindow, IScanCtrl* scanner, bool mainHost, RingGeometry ring)
    : m_bMainHost(mainHost), m_pStatusWindow(statusWindow) {
  if (scanner) {
    scanner->AddRef();
    m_pScanCtrl = platform::com::ComPtr<IScanCtrl>(scanner);
  }
  try {
    m_pDataProc = std::make_unique<CScanDataProc>(scanner, std::string(), ring);
  } catch (const std::bad_alloc&) {
    LogError("ScanMgr: failed to create the scan data processor.");
  }
}

CScanMgr::~CScanMgr() {
  StopStatusThread();
  StopCarouselRun();
  // A check still browsing ends at its next slot; its thread is joined before the members go.
  m_nAbortRequest.store(1);
  // Neither thread destroys the manager: the joins cannot fail.
  if (m_CheckThread.joinable()) (void)m_CheckThread.join();
  if (m_PollThread.joinable()) (void)m_PollThread.join();
}

platform::Window* CScanMgr::SetStatusWindow(platform::Window* window) {
  return m_pStatusWindow.exchange(window);
}

void CScanMgr::RequestAbort(bool abort, bool afterCurrentScan) {
  if (!abort) {
    m_nAbortRequest.store(0);
  } else if (afterCurrentScan) {
    m_nAbortRequest.store(2);
    LogInfo("User asked to abort the carousel run after the current scan is done.");
  } else {
    m_nAbortRequest.store(1);
    if (m_pDataProc) m_pDataProc->SetAbort(true);
    LogInfo("User asked to abort the carousel run now.");
  }
}

int CScanMgr::CheckSlotRange(int start, int end) {
  if (start < kFirstSlot || end > kLastSlot || start > end) {
    LogError("Internal error: invalid start/end slots specified.");
    return 0;
  }
  m_nStartSlot.store(start);
  m_nEndSlot.store(end);
  return 1;
}

// ---- status polling ------------------------------------------------------------------------

bool CScanMgr::StartStatusThread() {
  if (m_PollThread.running()) return true;
  // One that ended before is collected.
  if (m_PollThread.joinable() && !m_PollThread.join(kThreadWait)) {
    LogError("ScanMgr: the previous status thread has not ended.");
    return false;
  }
  m_bStopRequested.store(false);
  if (!m_PollThread.start([this](platform::Event& stop) { return DoStatusPoll(stop); }, "StatusPoll")) {
    LogError("ScanMgr: cannot start the status thread.");
    return false;
  }
  if (!m_AckEvent.wait(kThreadWait)) {
    LogError("ScanMgr: the status thread did not start in time.");
    return false;
  }
  if (m_nPollState.load() == 1) {
    m_RunEvent.set();
    if (!m_AckEvent.wait(kThreadWait)) {
      LogError("ScanMgr: the status thread did not start polling in time.");
      return false;
    }
  }
  return m_nPollState.load() == 2;
}

bool CScanMgr::StopStatusThread() {
  if (!m_PollThread.joinable()) return true;
  // The thread only posts to windows, so it cannot be blocked on the caller's thread; the
  // stop event ends both of its waits.
  m_bStopRequested.store(true);
  m_PollThread.requestStop();
  if (!m_PollThread.join(kThreadWait)) {
    LogError("ScanMgr: the status thread did not end in time.");
    return false;
  }
  m_nPollState.store(0);
  return true;
}

std::uint32_t CScanMgr::DoStatusPoll(platform::Event& stop) {
  m_nPollState.store(1);
  m_AckEvent.set();
  while (!m_bStopRequested.load()) {
    platform::Event* startWaits[] = {&m_RunEvent, &stop};
    if (platform::Event::waitAny(startWaits) != 0) break;
    m_nPollState.store(2);
    m_AckEvent.set();
    platform::Event* tickWaits[] = {&m_PauseEvent, &stop};
    int woken;
    while ((woken = platform::Event::waitAny(tickWaits, kPollInterval)) < 0) {
      if (m_bStopRequested.load()) break;
      if (!m_nRunInProgress.load()) PollScannerStatus();
    }
    if (woken != 0) break;  // stopped while polling
    m_nPollState.store(1);
    m_AckEvent.set();
  }
  return 0;
}

void CScanMgr::PostStatusText(const std::string& text) {
  platform::Window* window = m_pStatusWindow.load();
  if (!window) return;
  window->postText(WM_SCANNER_STATUS_TEXT, 0, text);
}

void CScanMgr::PollScannerStatus() {
  if (!m_pScanCtrl) return;
  try {
    tagScannerState state = kStateOffline;
    CheckScanCtrl(m_pScanCtrl->get_ScannerState(&state));
    platform::Window* statusWindow = m_pStatusWindow.load();
    const bool toMain = statusWindow && statusWindow == m_pMainWindow.load();
    if (state != m_eLastState) {
      m_eLastState = state;
      if (!toMain) return;
      statusWindow->post(WM_SCANNER_STATE, 0, state);
    } else if (state == kStateCalibLasers || state == kStateBrowsing) {
      return;
    } else if (state != kStateInitializing) {
      if (m_nUnchangedPolls < kRepeatReadyAfter) {
        ++m_nUnchangedPolls;
        return;
      }
      m_nUnchangedPolls = 0;
      if (!toMain) return;
      statusWindow->post(WM_SCANNER_STATE, 0, state);
    }
    std::string text;
    CheckScanCtrl(m_pScanCtrl->get_StatusMsg(&text));
    PostStatusText(text);
  } catch (const ComError& e) {
    std::string text;
    GetMessageText(9920, text);
    text += "\r\n" + FormatComError(e);
    LogError("%s", text.c_str());
    PostStatusText(text);
  }
}

// ---- carousel check ------------------------------------------------------------------------

bool CScanMgr::StartCheckCarousel(int first, int last, bool readBarcodes) {
  if (m_CheckThread.running()) {
    LogError("ScanMgr: a carousel check is still running.");
    return false;
  }
  if (!CheckSlotRange(first, last)) return false;
  if (m_CheckThread.joinable()) (void)m_CheckThread.join();  // ended already: nothing to wait for
  m_bReadBarcodes = readBarcodes;
  m_nAbortRequest.store(0);
  return m_CheckThread.start(
      [this](platform::Event&) {
        DoCheckCarousel();
        return 0u;
      },
      "CheckCarousel");
}

bool CScanMgr::WaitForCheckCarousel(std::chrono::milliseconds timeout) {
  return !m_CheckThread.joinable() || m_CheckThread.join(timeout);
}

std::string CScanMgr::WaitWhileBrowsing() {
  const auto deadline = platform::steadyNow() + kBrowseEndLimit;
  for (;;) {
    tagScannerState state = kStateOffline;
    try {
      CheckScanCtrl(m_pScanCtrl->get_ScannerState(&state));
    } catch (const ComError& e) {
      return FormatComError(e);
    }
    if (state != kStateBrowsing) return {};
    if (m_nAbortRequest.load()) {
      LogInfo("Stopped waiting for the end of the carousel browse: abort requested.");
      return {};
    }
    if (platform::steadyNow() >= deadline)
      return FormatText("The scanner did not stop browsing the carousel within %d s.",
                        static_cast<int>(kBrowseEndLimit.count()));
    platform::sleepFor(kBrowseEndPoll);
  }
}

void CScanMgr::SendCheckMessage(std::uintptr_t code, std::intptr_t lParam) {
  if (platform::Window* window = m_pStatusWindow.load()) window->send(WM_CHECK_CAROUSEL, code, lParam);
}

void CScanMgr::SendCheckText(const std::string& text) {
  SendCheckMessage(kCheckFailed, reinterpret_cast<std::intptr_t>(text.c_str()));
}

void CScanMgr::DoCheckCarousel() {
  if (!m_pScanCtrl) {
    LogError("Movrak was not set in ScanMgr.");
    SendCheckMessage(kCheckEnded, 0);
    return;
  }
  const int first = m_nStartSlot.load(), last = m_nEndSlot.load();
  try {
    tagScannerState state = kStateOffline;
    CheckScanCtrl(m_pScanCtrl->get_ScannerState(&state));
    if (state == kStateBrowsing) {
      SendCheckText("The scanner is busy now, please try later");
      SendCheckMessage(kCheckEnded, 0);
      return;
    }
  } catch (const ComError& e) {
    const std::string text = FormatComError(e);
    LogError("%s", text.c_str());
    SendCheckText(text);
    SendCheckMessage(kCheckEnded, 0);
    return;
  }
  try {
    CheckScanCtrl(m_pScanCtrl->StartBrowseCarousel(first, last, m_bReadBarcodes ? 1 : 0));
    SendCheckMessage(kCheckStarted, 0);
    if (!m_nAbortRequest.load()) {
      std::vector<unsigned char> barcode(m_bReadBarcodes ? kBarcodeBytes : 0);
      for (int slot = first; slot <= last; ++slot) {
        IScanCtrl::BOOL32 present = 0;
        if (!barcode.empty()) std::fill(barcode.begin(), barcode.end(), 0);
        CheckScanCtrl(m_pScanCtrl->GetBrowseCarouselInfo(slot, &present, nullptr,
                                                         barcode.empty() ? nullptr : barcode.data()));
        if (m_nAbortRequest.load()) break;
        if (!barcode.empty()) barcode.back() = 0;  // the instrument's text may fill the buffer
        BrowsedSlotRecord record{static_cast<std::uint16_t>(slot), present,
                                 barcode.empty() ? nullptr : reinterpret_cast<const char*>(barcode.data())};
        SendCheckMessage(kCheckSlot, reinterpret_cast<std::intptr_t>(&record));
      }
    }
  } catch (const ComError& e) {
    const std::string text = FormatComError(e);
    LogError("%s", text.c_str());
    SendCheckText(text);
  }
  std::string error;
  try {
    CheckScanCtrl(m_pScanCtrl->StopBrowseCarousel());
    error = WaitWhileBrowsing();
  } catch (const ComError& e) {
    error = FormatComError(e);
  }
  if (!error.empty()) {
    LogError("%s", error.c_str());
    SendCheckText(error);
  }
  SendCheckMessage(kCheckEnded, 0);
}

int CScanMgr::CheckCarouselForRun(int first, int last, std::array<std::int32_t, kLastSlot>& slotUsed) {
  std::string error;
  int found = 0;
  if (first < kFirstSlot || last > kLastSlot || first > last || !m_pScanCtrl) {
    error = m_pScanCtrl ? "Internal error: invalid start/end slots specified for checking carousel"
                        : "Movrak was not set in ScanMgr.";
    found = -1;
  } else {
    try {
      CheckScanCtrl(m_pScanCtrl->StartBrowseCarousel(first, last, 0));
      for (int slot = first; slot <= last; ++slot) {
        if (m_nAbortRequest.load()) {
          GetMessageText(9918, error);
          found = -1;
          break;
        }
        IScanCtrl::BOOL32 present = 0;
        CheckScanCtrl(m_pScanCtrl->GetBrowseCarouselInfo(slot, &present, nullptr, nullptr));
        if (present) ++found;
        slotUsed[slot - 1] = present;
      }
    } catch (const ComError& e) {
      error = FormatComError(e);
      found = -1;
    } catch (...) {
      GetMessageText(9919, error);
      found = -1;
    }
  }
  if (found < 0) {
    LogError("%s", error.c_str());
    if (!m_nAbortRequest.load()) CRunStatus(m_pStatusWindow.load()).SendStatusText(9946, error, kLineError);
  }
  if (!m_pScanCtrl) return found;
  std::string browseError;
  try {
    CheckScanCtrl(m_pScanCtrl->StopBrowseCarousel());
    browseError = WaitWhileBrowsing();
  } catch (const ComError& e) {
    browseError = FormatComError(e);
  }
  if (!browseError.empty()) {
    // The carousel may still move: the run must not go on.
    LogError("%s", browseError.c_str());
    if (found >= 0 && !m_nAbortRequest.load())
      CRunStatus(m_pStatusWindow.load()).SendStatusText(9946, browseError, kLineError);
    found = -1;
  }
  return found;
}

bool CScanMgr::IsADCReset() {
  if (!m_pScanCtrl) {
    LogError("Movrak was not set in ScanMgr.");
    return false;
  }
  try {
    IScanCtrl::LONG reset = 0;
    CheckScanCtrl(m_pScanCtrl->IsADCReset(&reset));
    return reset != 0;
  } catch (const ComError& e) {
    LogError("%s", FormatComError(e).c_str());
    return false;
  }
}

}  // namespace lumetra::run
