#pragma once
// The run manager: the one object that drives the instrument for the main dialog. It owns
// the data processor, polls the scanner's state for the main window on a worker thread,
// and browses the carousel for the check-carousel dialog and before a run.
#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "Movrak/IScanCtrl.h"
#include "platform/com.h"
#include "platform/sync.h"
#include "platform/thread.h"
#include "platform/window.h"
#include "run/ScanDataProc.h"
#include "run/ScannerInfo.h"

namespace lumetra::run {

// A text posted as WM_SCANNER_STATUS_TEXT travels as a heap copy owned by the receiver;
// the receiver takes it over with this (0 gives "").
std::string TakePostedText(std::intptr_t lParam);

// What WM_CHECK_CAROUSEL with wParam 2 points to; valid only while the message is handled.
struct BrowsedSlotRecord {
  std::uint16_t slot = 0;
  std::int32_t present = 0;
  const char* barcode = nullptr;  // null unless barcodes are read
};

// wParam of WM_CHECK_CAROUSEL.
enum CheckCarouselCode : std::uintptr_t {
  kCheckFailed = 0,   // lParam: const char* text
  kCheckStarted = 1,
  kCheckSlot = 2,     // lParam: const BrowsedSlotRecord*
  kCheckEnded = 3,
};

class CScanMgr {
 public:
  static constexpr int kFirstSlot = 1;
  static constexpr int kLastSlot = 48;
  static constexpr int kBarcodeBytes = 128;
  static constexpr std::chrono::milliseconds kPollInterval{1500};
  static constexpr int kRepeatReadyAfter = 10;  // unchanged polls before the state is sent again
  static constexpr std::chrono::milliseconds kBrowseEndPoll{500};
  static constexpr std::chrono::seconds kBrowseEndLimit{60};
  // Bound of every hand-over with the poll thread and of its join.
  static constexpr std::chrono::seconds kThreadWait{10};

  // Holds one reference on `scanner` (may be null). Never calls the instrument.
  CScanMgr(platform::Window* statusWindow, IScanCtrl* scanner, bool mainHost);
  // Stops the poll thread, aborts a check and joins both.
  ~CScanMgr();
  CScanMgr(const CScanMgr&) = delete;
  CScanMgr& operator=(const CScanMgr&) = delete;

  // ---- windows ---------------------------------------------------------------------------
  // Replaces the status window; returns the previous one.
  platform::Window* SetStatusWindow(platform::Window* window);
  platform::Window* GetStatusWindow() const { return m_pStatusWindow.load(); }
  void SetMainWindow(platform::Window* window) { m_pMainWindow.store(window); }

  // ---- abort and slot range --------------------------------------------------------------
  // No abort (request 0), abort after the current scan (2) or abort now (1, which also
  // stops the data processor and the instrument's data port).
  void RequestAbort(bool abort, bool afterCurrentScan);
  int GetAbortRequest() const { return m_nAbortRequest.load(); }
  // 1 and the run's slot range when 1 <= start <= end <= 48; 0 (logged) otherwise.
  int CheckSlotRange(int start, int end);

  // ---- status polling --------------------------------------------------------------------
  // Starts the poll thread (if not started) and returns once it polls; false (logged) when
  // the thread could not be started or did not answer in time.
  bool StartStatusThread();
  // Ends the poll thread and joins it; false (logged) when it did not end in time.
  bool StopStatusThread();
  // One poll: the state (posted to the main window when it changed or is repeated) and
  // the status text (posted to the status window). Runs on the poll thread.
  void PollScannerStatus();
  // 0 no thread, 1 paused, 2 polling.
  int GetPollState() const { return m_nPollState.load(); }
  // While set, the poll thread skips its poll step.
  void SetRunInProgress(bool inProgress) { m_nRunInProgress.store(inProgress ? 1 : 0); }

  // ---- carousel check --------------------------------------------------------------------
  // Browses slots first..last on a worker thread for the check-carousel dialog (the status
  // window). False when the range is invalid or a check still runs.
  bool StartCheckCarousel(int first, int last, bool readBarcodes);
  // Waits (bounded) for a check thread to end; true when none runs any more.
  bool WaitForCheckCarousel(std::chrono::milliseconds timeout);
  // The check itself (the check thread's body).
  void DoCheckCarousel();
  // The pre-run check: the number of slides in first..last, each slot's presence in
  // `slotUsed` (index slot - 1); -1 after an abort or a failure (reported as a line).
  int CheckCarouselForRun(int first, int last, std::array<std::int32_t, kLastSlot>& slotUsed);

  // The instrument reset its analog-to-digital converter; false on a failure (logged).
  bool IsADCReset();

  CScanDataProc* GetDataProc() const { return m_pDataProc.get(); }

  // Information texts (the main dialog reads and fills them at start-up).
  CScannerInfoTexts m_Info;
  const bool m_bMainHost;

 private:
  std::uint32_t DoStatusPoll(platform::Event& stop);
  void PostStatusText(const std::string& text);
  // Waits while the scanner browses; "" when it stopped browsing, else the error text.
  std::string WaitWhileBrowsing();
  void SendCheckMessage(std::uintptr_t code, std::intptr_t lParam);
  void SendCheckText(const std::string& text);

  platform::com::ComPtr<IScanCtrl> m_pScanCtrl;
  std::unique_ptr<CScanDataProc> m_pDataProc;
  std::atomic<platform::Window*> m_pStatusWindow;
  std::atomic<platform::Window*> m_pMainWindow{nullptr};

  // Hand-over with the poll thread (auto-reset events).
  platform::Event m_AckEvent{false};
  platform::Event m_RunEvent{false};
  platform::Event m_PauseEvent{false};
  std::atomic<bool> m_bStopRequested{false};
  std::atomic<int> m_nPollState{0};
  platform::Thread m_PollThread;
  // Only the poll thread touches these.
  tagScannerState m_eLastState = kStateOffline;
  int m_nUnchangedPolls = 0;

  std::atomic<int> m_nAbortRequest{0};
  std::atomic<int> m_nRunInProgress{0};
  std::atomic<int> m_nStartSlot{kFirstSlot};
  std::atomic<int> m_nEndSlot{kLastSlot};
  bool m_bReadBarcodes = false;
  platform::Thread m_CheckThread;
};

}  // namespace lumetra::run
