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
#include "run/OutputNaming.h"
#include "run/ScanDataProc.h"
#include "run/ScannerInfo.h"

class CCarouselCfgInfo;
class CSlotScanCfgInfo;

namespace lumetra::run {

// The text of a WM_SCANNER_STATUS_TEXT, posted or sent: lParam is a NUL-terminated text
// that the message owns, valid while it is handled (0 gives "").
std::string MessageText(std::intptr_t lParam);

// What WM_CHECK_CAROUSEL with wParam 2 points to; valid only while the message is handled.
struct BrowsedSlotRecord {
  std::uint16_t slot = 0;
  std::int32_t present = 0;
  const char* barcode = nullptr;  // null unless barcodes are read
};

// wParam of WM_CHECK_CAROUSEL.
enum CheckCarouselCode : std::uintptr_t {
  kCheckFailed = 0,  // lParam: const char* text
  kCheckStarted = 1,
  kCheckSlot = 2,  // lParam: const BrowsedSlotRecord*
  kCheckEnded = 3,
};

class CScanMgr : public INamingHost {
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
  // Bound of the destructor's wait for a run thread told to abort now: longer than the
  // scan's own 120 s wait for the read thread.
  static constexpr std::chrono::seconds kRunThreadWait{150};

  // Holds one reference on `scanner` (may be null). Never calls the instrument. `ring`:
  // the geometry of the data processor's scan data ring (benchmarks size it).
  CScanMgr(platform::Window* statusWindow, IScanCtrl* scanner, bool mainHost,
           RingGeometry ring = RingGeometry{});
  // Stops the poll thread, aborts a check or a run (now) and joins their threads.
  ~CScanMgr() override;
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

  // ---- carousel run ----------------------------------------------------------------------
  // The run configuration the main dialog fills before a run (not owned; set only while no
  // run is in progress).
  void SetRunConfig(CCarouselCfgInfo* config) { m_pRunConfig = config; }
  CCarouselCfgInfo* GetRunConfig() const { return m_pRunConfig; }
  // Starts the run thread over slots 1..48 and returns at once; false while a run thread
  // still exists or when it could not be started.
  bool StartCarouselRunThread();
  // Waits (bounded) for the run thread to end and joins it; true when none runs any more.
  bool WaitForCarouselRun(std::chrono::milliseconds timeout);
  bool IsRunInProgress() const { return m_nRunInProgress.load() != 0; }
  // The run body (the run thread's work); every exit sends the run end.
  void DoCarouselRun();
  // Pixel sizes, binning, output scale, channel flags, percentages and the channel table of
  // a slot from its resolution type.
  void SetChannelSettings(int resolutionType, bool green, bool red, unsigned redPercent,
                          unsigned greenPercent);
  // The PMT memory at run start (instrument calls fail as platform::com::ComError).
  void LoadLastGoodPMTVoltages();
  void StoreLastGoodPMTVoltages();
  void DeleteLastGoodPMTVoltages();
  // "ScanRetries" (default 1).
  int GetScanRetries();
  // The local time as "%m%d%Y%H%M%S" (the two-pass identifier).
  static std::string GetTimeStamp();
  // Set by the status window when the data threads report a failure (WM_USER+300 code 5).
  void SetDataStatus(int status) { m_nDataStatus.store(status); }
  int GetDataStatus() const { return m_nDataStatus.load(); }

  // ---- status messages (to the current status window) -----------------------------------
  void SendStatusLine(const std::string& text, int kind) override;
  void SendStatusMessage(int id, int id2, int kind);
  void SendStatusText(int id, const std::string& extra, int kind);
  void SendAttention(int code, std::uintptr_t wParam);
  void SendScanFileInfo(const std::string& fileName, const std::string& barcode, int slot, int slidesDone);

  // ---- naming host ------------------------------------------------------------------------
  std::string ReadInstrumentSerialNumber() override;
  std::string& GetSerialNumberText() override { return m_Info.serialNumber; }
  bool IsSlotTwoPass() const override { return m_bSlotTwoPass; }
  bool UseTwoPassSuffixes() const override;

  // ---- one-slide scan ---------------------------------------------------------------------
  // The nine region values in order: chip origin X, Y, scan region origin X, Y, autofocus
  // X, Y, package type, width, height. Unless `skipCheck`, the region is checked for the
  // scanner model; a failure throws the text "CheckScanRegion failed" (std::runtime_error).
  void SetLumetraParams(const std::array<int, 9>& values, bool skipCheck);
  // Writes the pass's parameters to the instrument; a failure throws its ComError.
  void SetInstrumentScanParams();
  // One pass of one slide into the created image. Throws platform::com::ComError, RunMessage
  // (9918 abort, 9952 data processing failed) or std::runtime_error. Virtual so that run
  // tests can script a pass.
  virtual void DoScan(const std::string& path);
  // Starts the receive thread of the scan (joined by DoScan and the destructor).
  bool StartRecvThread();
  // 0 K7431A, 1 K7431B, 2 K7431C, 3 not recognised (logged), from the instrument's model.
  int GetScannerModel();

  // The instrument reset its analog-to-digital converter; false on a failure (logged).
  bool IsADCReset();

  CScanDataProc* GetDataProc() const { return m_pDataProc.get(); }

  // Information texts (the main dialog reads and fills them at start-up).
  CScannerInfoTexts m_Info;
  const bool m_bMainHost;

  // ---- per-run, per-slot and per-pass state that the run and the one-slide scan share
  // (owned by the run thread while a run works; what only the run uses, the run keeps) ----
  int m_nPixelSizeX = 5, m_nPixelSizeY = 5;
  int m_nBinX = 1, m_nBinY = 1, m_nOutScale = 0;
  bool m_bGreenEnable = false, m_bRedEnable = false;
  unsigned m_nGreenPercent = 100, m_nRedPercent = 100;
  unsigned m_nNewRedVoltage = 0, m_nNewGreenVoltage = 0;
  int m_nCalibrationFailed = 0;
  bool m_bCalibrationDue = false;
  unsigned m_nLastGoodRedVoltage = 0, m_nLastGoodGreenVoltage = 0;
  int m_nRedConfirmed = 0, m_nGreenConfirmed = 0;
  std::array<int, 9> m_ScanRegion{};  // as stored by SetLumetraParams
  int m_nChannelCount = 0;
  std::array<int, 2> m_Channels{};  // PMT channel per image channel, red first
  std::string m_strScanComment;
  // Read by the progress dialog on the UI thread while the run thread writes it.
  std::atomic<int> m_nScanStarted{0};
  float m_fRedLaserFactor = 1.0f, m_fGreenLaserFactor = 1.0f;
  // Answered to the naming host's IsSlotTwoPass while the run names the slot's images.
  bool m_bSlotTwoPass = false;
  int m_nDoublePass = 0;

 protected:
  // Aborts a run thread now and joins it (bounded, then for good: it uses this object). The
  // destructor does it; a derived class whose overrides the run calls must do it in its own.
  void StopCarouselRun();

 private:
  // The carousel run (CarouselRun.cpp) reaches the instrument, the run's slot range and
  // the output naming that the manager keeps from run to run.
  friend class CCarouselRun;
  std::uint32_t CarouselRunThreadProc();

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

  CCarouselCfgInfo* m_pRunConfig = nullptr;
  std::atomic<int> m_nDataStatus{0};
  platform::Thread m_RunThread;
  platform::Thread m_RecvThread;
  std::unique_ptr<COutputNaming> m_pNaming;

  // ---- one-slide scan helpers ---------------------------------------------------------------
  void ThrowIfAbortNow() const;
  // True when this pass's data failed, taking over the data processor's own report.
  bool TakeDataFailure(const CScanDataProc& proc);
  bool IsErrorClass(const platform::com::ComError& e, unsigned errorClass);
  void AddScanWarning(const std::string& text);
  void CalibratePMTs(unsigned channelMask);
  void ClearSimpleErrCounts();
  void LogSimpleErrCounts();
  // Tells the data processor and the data port to stop (a failure is logged).
  void AbortDataProc();
  // Polls every second, at most 120 times, for the end of reading; true when it ended.
  bool WaitForReading(bool stopOnAbortOrDataFailure);
  // Joins the receive thread (bounded); false (logged) when it did not end in time.
  bool JoinRecvThread();
  // Every exit once the scan started: the receive thread joined and the data threads ended.
  void EndReceiving();
};

// A run failure that carries one of the run's message ids (9918 abort, 9949 naming failed,
// 9952 data processing failed, ...).
struct RunMessage {
  int id;
};

// The scanner model index of an instrument model text, any case: 2 for "k7431c", 1 for
// "k7431b", 0 for "k7431a" (tested in that order), 3 otherwise.
int ScannerModelIndex(const std::string& model);

}  // namespace lumetra::run
