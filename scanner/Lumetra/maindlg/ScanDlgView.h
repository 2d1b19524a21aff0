#pragma once
// What the main window's logic needs of its window: the controls it writes, its timers,
// message boxes, and the other windows it opens. The wx main window implements it; tests
// use a recording view. Every call comes on the user-interface thread.
#include <string>
#include <vector>

#include "Movrak/IScanCtrl.h"
#include "config/CarouselGridModel.h"

class CCarouselCfgProfileMap;
struct LaserPowerSaverSettings;
namespace lumetra::run {
class CScanMgr;
}

namespace lumetra::maindlg {

// Panes of the status bar, in the order of the bar.
enum StatusPane { kPaneCompress = 0, kPaneSplitRotate, kPaneNaming, kPaneFileSize, kPaneRunTime, kPaneCount };

// What the profile editor reports after it closed with OK.
struct ProfileEditResult {
  int result = 0;  // platform::ui::IDOK or IDCANCEL
  bool defaultChanged = false;
  bool listChanged = false;
  bool currentChanged = false;
};

class IScanDlgView {
 public:
  virtual ~IScanDlgView() = default;

  // ---- controls ---------------------------------------------------------------------------
  virtual void ShowStatusText(const std::string& text) = 0;
  virtual void EnableScanButton(bool enable) = 0;
  virtual void SetScanCaption(const std::string& caption) = 0;
  virtual void EnableSlotLists(bool enable) = 0;
  // Fills a slot list with first..last and selects `selected`.
  virtual void FillStartSlotList(int first, int last, int selected) = 0;
  virtual void FillEndSlotList(int first, int last, int selected) = 0;
  virtual void FillProfileList(const std::vector<std::string>& names, const std::string& selected) = 0;
  virtual void SetStatusPane(StatusPane pane, const std::string& text) = 0;
  virtual std::string OperatorName() const = 0;

  // ---- the carousel grid ------------------------------------------------------------------
  virtual CarouselGridModel& GridModel() = 0;
  virtual void GridSetCurrentProfile(tagScanCfgStruct* profile, bool applyToAllSlots) = 0;
  virtual void GridChangeSlotRange(int first, int last) = 0;
  // Redraws every row from the (reloaded) regions.
  virtual void GridRefreshAll() = 0;

  // ---- window -----------------------------------------------------------------------------
  // A message box over the main window (brought to the front first).
  virtual int MessageBox(const std::string& text, const std::string& caption, unsigned type) = 0;
  // Ends the modal main window with `code`.
  virtual void EndDialog(int code) = 0;
  virtual void ShowSplash() = 0;
  virtual void HideSplash() = 0;
  // Window timers; false when the timer could not be started or stopped.
  virtual bool StartTimer(int id, unsigned milliseconds) = 0;
  virtual bool StopTimer(int id) = 0;
  virtual void BeginWaitCursor() {}
  virtual void EndWaitCursor() {}

  // ---- other windows (modal; each returns its end code) --------------------------------------
  // The connection-failed dialog with its message: IDYES, IDNO or IDCANCEL.
  virtual int RunConnectFailedDlg(const std::string& message) = 0;
  virtual ProfileEditResult RunProfileEditor(CCarouselCfgProfileMap& map, const std::string& current) = 0;
  // The run progress dialog: created (false when it could not be), run modally (the
  // carousel run happens inside it), destroyed.
  virtual bool CreateStatusDlg(run::CScanMgr& manager) = 0;
  virtual void RunStatusDlg() = 0;
  virtual void DestroyStatusDlg() = 0;
  virtual void RunCheckCarouselDlg(run::CScanMgr& manager, int first, int last) = 0;
  virtual void RunAboutDlg() = 0;
  // The power-saving settings dialog on `settings`: true when it ended with OK and changed
  // them; `created` is cleared when the dialog could not be created.
  virtual bool RunLaserPowerSaveTaskDlg(LaserPowerSaverSettings& settings, bool& created) = 0;
  virtual void RunExtendedLaserCalibration() = 0;

  // ---- the power-saving timers, kept by their own logic ------------------------------------
  virtual void ArmDailyLpsTimers() {}
  // Arms (true) or stops (false) the no-use switch-off timer.
  virtual void SetNonUseLpsTimer(bool /*arm*/) {}
  virtual void StopLpsTimers() {}
  // Re-arms the power-saving timers; the no-use one only unless `keepNonUse`.
  virtual void ResetLpsTasks(bool /*keepNonUse*/) {}
  // The settings were loaded or saved.
  virtual void LpsSettingsChanged(const LaserPowerSaverSettings& /*settings*/) {}
  // The first red-laser power calibration runs.
  virtual bool RedLaserCalibrating() { return false; }
  // The automation interface was created (or is about to be released: null).
  virtual void ScanCtrlChanged(IScanCtrl* /*scanCtrl*/) {}
};

}  // namespace lumetra::maindlg
