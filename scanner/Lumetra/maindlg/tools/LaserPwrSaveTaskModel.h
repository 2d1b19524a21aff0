#pragma once
// The editing state and rules of the laser auto on/off settings dialog and of the laser-off
// notice's button, without a display: the edited copy of the settings, which items are
// read-only, Reset, the OK check, and the laser button.
#include <string>
#include <vector>

#include "config/LaserPowerSaver.h"
#include "maindlg/tools/LaserPowerControl.h"

namespace lumetra {

// The caption of the settings dialog's message boxes.
inline constexpr const char* kLaserPwrSaveCaption = "Laser power Save Task";

class LaserPwrSaveTaskModel {
 public:
  // The grid's items.
  enum class Item { EnableAuto, DailyOn, DailyOnAt, DailyOff, DailyOffAt, NonUseOff, IdleHours };

  // The edited values (the idle period in hours, 1 to 24).
  struct Values {
    int EnableSaverAutoTasks = 0;
    int AutoDailyOnOption = 1;
    unsigned DailyTurnOnAt = 420;
    int EnableDailyOff = 1;
    unsigned DailyTurnOffAt = 1020;
    int EnableMaxNonUsePeriod = 1;
    int IdleHours = 1;
  };

  explicit LaserPwrSaveTaskModel(const LaserPowerSaverSettings& record);

  Values Edit;

  // The hours shown at opening (what OK compares with).
  int OpenedIdleHours() const { return m_OpenedIdleHours; }

  bool IsReadOnly(Item item) const;
  // The idle slider is collapsed while "Turn OFF when idle" is off.
  bool IdleCollapsed() const { return !Edit.EnableMaxNonUsePeriod; }
  bool ResetEnabled() const { return Edit.EnableSaverAutoTasks != 0; }
  // Schedule defaults; the master switch and the on time stay.
  void Reset();

  enum class OkResult { SameOnOff, Unchanged, Changed };
  // OK: refuses equal on and off times (message box, the dialog stays); otherwise copies
  // the edited values into `record` when any differs.
  OkResult Apply(LaserPowerSaverSettings& record) const;

  // "Turn ON daily" choices, and the option number of a choice text (anything else 0).
  static const std::vector<std::string>& DailyOnChoices();
  static int DailyOnOptionOf(const std::string& choice);
  // The 48 half hours of the day as texts.
  static std::vector<std::string> HalfHourChoices(bool twelveHour);
  // Whether times are shown in the twelve-hour form: the locale's text of the current time
  // holds one of a, p, m, A, P, M.
  static bool UseTwelveHour(const std::string& localeTimeNow);

  // ---- the laser button ------------------------------------------------------------------
  // Opening: whether the button can be used, and the lasers' state.
  void ReadLaserState(ILaserPowerControl& control);
  bool LaserButtonEnabled() const { return m_LaserButtonEnabled; }
  bool LasersOn() const { return m_LasersOn; }
  std::string LaserButtonText() const;
  // The button: refuses offline or busy (message box), else switches the lasers over.
  void OnLaserButton(ILaserPowerControl& control);

 private:
  int m_OpenedIdleHours = 1;
  bool m_LaserButtonEnabled = false;
  bool m_LasersOn = false;
};

// The laser-off notice's "Turn On Lasers" button: switches the lasers on unless they are.
void TurnOnLasersAsked(ILaserPowerControl& control);

}  // namespace lumetra
