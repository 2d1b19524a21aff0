#pragma once
// The "Scan Progress" dialog of a carousel run: it starts the run manager's carousel-run
// thread, becomes the run's status window, shows the current slide, the status lines and
// two progress bars, writes the run report (XML and its HTML page), lets the user abort,
// and at the end shows the report and any attention message. It cannot be closed while
// the run is busy. What it shows and reports is RunProgressModel's; this window draws it.
#include <wx/dialog.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/window.h"
#include "run/Reporter.h"
#include "run/ui/RunProgressModel.h"

class wxButton;
class wxGauge;
class wxStaticText;
class wxTextCtrl;

namespace lumetra::run {
class CScanMgr;
}

namespace lumetra {

class WxMessageTarget;

inline constexpr int IDD_SCAN_PROGRESS = 124;
inline constexpr int IDC_SCAN_PROGRESS = 3023;
inline constexpr int IDC_CAROUSEL_PROGRESS = 3026;
inline constexpr int IDC_ABORT = 3027;
inline constexpr int IDC_BARCODE = 3005;
inline constexpr int IDC_STATUS_TEXT = 3006;
inline constexpr int IDC_FILE_NAME = 3031;
inline constexpr int IDC_SCAN_PROGRESS_TEXT = 3040;
inline constexpr int IDC_SLOT_NUMBER = 3041;
inline constexpr int IDC_CAROUSEL_PROGRESS_TEXT = 3042;
inline constexpr int IDC_VIEW_REPORT = 3044;

// What the end of a run asks of the main window. Every member may be left empty (then
// that step is skipped).
struct RunMainWindowHooks {
  // Sets the main window's m_bReinitAfterRun (the last slide failed to eject).
  std::function<void()> SetReinitAfterRun;
  // The laser power-saver setting EnableSaverAutoTasks.
  std::function<bool()> IsSaverAutoTasksEnabled;
  // CScanDlg::GetScannerType(bool): 0 K7431A, 1 K7431B, 2 K7431C, 3 not recognised.
  std::function<int(bool)> GetScannerType;
  // CScanDlg::SetLPSTimer(timer, set, elapse).
  std::function<void(int, bool, int)> SetLPSTimer;
};

class CRunProgressDlg : public wxDialog {
 public:
  // The end codes DoModal returns besides the run's own (0 completed, 1 failed or aborted,
  // 2 the last slide was not ejected).
  static constexpr int kRunNotEnded = -1;

  // `scanMgr` must outlive the dialog. The run configuration is the one the main window
  // gave the run manager (CScanMgr::SetRunConfig) before opening the dialog.
  CRunProgressDlg(wxWindow* parent, run::CScanMgr& scanMgr, RunMainWindowHooks hooks = {});
  // Should the dialog go while the run still works (its parent is torn down), the run is
  // aborted and waited for, bounded.
  ~CRunProgressDlg() override;

  // Runs the dialog modally (its initialisation starts the run) and returns the run's end
  // code, or kRunNotEnded when the run could not be started or never reported its end.
  int DoModal();

  bool IsBusy() const { return m_Model.IsBusy(); }
  // The run's end code so far (kRunNotEnded until the run reported its end).
  int GetEndCode() const { return m_nEndCode; }
  RunProgressModel& Model() { return m_Model; }
  CReporter& Report() { return m_Report; }
  // The page "View Report" opens.
  const std::string& GetHtmlReportPath() const { return m_strHtmlPath; }
  const std::string& GetXmlReportPath() const { return m_strXmlPath; }

  // ---- the handlers, open to tests (all on the user-interface thread) ---------------------
  // Sets up the report and starts the run; false when the run could not be started.
  bool InitRun();
  // One window message of the run; `sent` tells a sent message from a posted one.
  std::intptr_t OnRunMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam, bool sent);
  void OnAbort(wxCommandEvent& event);
  void OnViewReport(wxCommandEvent& event);
  void OnClose(wxCommandEvent& event);
  void OnCloseWindow(wxCloseEvent& event);
  void ShowReport();

  wxGauge* m_ScanProgress = nullptr;
  wxGauge* m_CarouselProgress = nullptr;
  wxStaticText* m_FileName = nullptr;
  wxStaticText* m_Barcode = nullptr;
  wxStaticText* m_SlotNumber = nullptr;
  wxTextCtrl* m_StatusText = nullptr;
  wxStaticText* m_ScanProgressText = nullptr;
  wxStaticText* m_CarouselProgressText = nullptr;
  wxButton* m_AbortButton = nullptr;
  wxButton* m_ReportButton = nullptr;
  wxButton* m_CloseButton = nullptr;

 private:
  void OnInitDialog(wxInitDialogEvent& event);
  void OnRunEnded(int outcome);
  // Moves the model's texts and bars into the controls.
  void TransferTexts();
  // Ends the hand-over with the run's threads: no more messages reach this window.
  void DetachFromRun();

  run::CScanMgr& m_ScanMgr;
  RunMainWindowHooks m_Hooks;
  CReporter m_Report;
  RunProgressModel m_Model;
  std::shared_ptr<WxMessageTarget> m_pTarget;
  platform::Window* m_pPreviousStatusWindow = nullptr;
  bool m_bInstalled = false;  // this dialog is the run manager's status window
  bool m_bRunStarted = false;
  int m_nEndCode = kRunNotEnded;
  std::string m_strHtmlPath;
  std::string m_strXmlPath;
  std::string m_strDtdName;
  std::string m_strXslName;
};

// The name the run side's documents use for this dialog.
using CStatusDlg = CRunProgressDlg;

}  // namespace lumetra
