#pragma once
// "Check Carousel / Read Barcode": checks which slots of a range hold a slide, optionally
// reading each slide's barcode. It locks the door, has the run manager browse the
// carousel on its check thread, shows the progress, marks each slot in the carousel
// configuration grid and unlocks the door at the end. What it shows is
// CheckCarouselModel's; this window draws it.
#include <wx/dialog.h>

#include <cstdint>
#include <memory>

#include "Movrak/IScanCtrl.h"
#include "platform/window.h"
#include "run/ui/CheckCarouselModel.h"

class CCarouselCfgGrid;
class wxButton;
class wxCheckBox;
class wxGauge;
class wxStaticText;

namespace lumetra::run {
class CScanMgr;
}

namespace lumetra {

class WxMessageTarget;

inline constexpr int IDD_CHECK_CAROUSEL = 132;
inline constexpr int IDC_CHECK_ACTION_INFO = 3182;
inline constexpr int IDC_CHECK_PROGRESS_INFO = 3210;
inline constexpr int IDC_CHECK_PROGRESS = 3211;
inline constexpr int IDC_CHECK_DONE_TEXT = 3212;
inline constexpr int IDC_CHECK_START = 3213;
inline constexpr int IDC_CHECK_READ_BARCODE = 3214;

class CCheckCarouselDlg : public wxDialog {
 public:
  // `grid` (may be null), `scanCtrl` (may be null) and `scanMgr` (may be null: nothing is
  // checked) must outlive the dialog. `checkAllowed`: the main window is online and not
  // busy (neither m_bOffline nor m_bBusy).
  CCheckCarouselDlg(wxWindow* parent, CCarouselCfgGrid* grid, int startSlot, int endSlot, IScanCtrl* scanCtrl,
                    run::CScanMgr* scanMgr, bool checkAllowed);
  // A check still running is aborted and waited for (bounded).
  ~CCheckCarouselDlg() override;

  // Runs the dialog modally; returns wxID_CANCEL (the dialog has only Cancel / Close).
  int DoModal();

  bool IsBusy() const { return m_Model.IsBusy(); }
  CheckCarouselModel& Model() { return m_Model; }

  // ---- the handlers, open to tests (all on the user-interface thread) ---------------------
  void UpdateActionInfo();
  void OnCheck(wxCommandEvent& event);
  void OnCancel(wxCommandEvent& event);
  void OnCloseWindow(wxCloseEvent& event);
  void OnReadBarcode(wxCommandEvent& event);
  // One window message of the check; `sent` tells a sent message from a posted one.
  std::intptr_t OnCheckMessage(unsigned message, std::uintptr_t wParam, std::intptr_t lParam, bool sent);

  wxStaticText* m_ActionInfo = nullptr;
  wxStaticText* m_ProgressInfo = nullptr;
  wxStaticText* m_DoneText = nullptr;
  wxGauge* m_Progress = nullptr;
  wxCheckBox* m_ReadBarcode = nullptr;
  wxButton* m_CheckButton = nullptr;
  wxButton* m_CancelButton = nullptr;

 private:
  void OnInitDialog(wxInitDialogEvent& event);
  void TransferTexts();
  void DetachFromCheck();
  void LockDoor(bool lock);

  CCarouselCfgGrid* m_pGrid;
  IScanCtrl* m_pScanCtrl;
  run::CScanMgr* m_pScanMgr;
  bool m_bCheckAllowed;
  CheckCarouselModel m_Model;
  std::shared_ptr<WxMessageTarget> m_pTarget;
  platform::Window* m_pPreviousStatusWindow = nullptr;
  bool m_bInstalled = false;  // this dialog is the run manager's status window
};

// The name the run side's documents use for this dialog.
using CBrowseCarouselDlg = CCheckCarouselDlg;

}  // namespace lumetra
