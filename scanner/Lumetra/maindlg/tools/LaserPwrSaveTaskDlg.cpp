#include "maindlg/tools/LaserPwrSaveTaskDlg.h"

#include <wx/button.h>
#include <wx/propgrid/manager.h>
#include <wx/propgrid/props.h>
#include <wx/sizer.h>

#include "config/ui/PropertyGridItems.h"
#include "config/ui/WindowPlacement.h"
#include "config/ui/WxText.h"
#include "platform/clock.h"

using lumetra::FromWx;
using lumetra::LaserPwrSaveTaskModel;
using lumetra::ToWx;
using GridItem = LaserPwrSaveTaskModel::Item;

namespace {

wxPGChoices YesNo() {
  wxPGChoices choices;
  choices.Add("Yes", 1);
  choices.Add("No", 0);
  return choices;
}

wxPGChoices Labels(const std::vector<std::string>& texts) {
  wxPGChoices choices;
  for (const std::string& t : texts) choices.Add(ToWx(t));
  return choices;
}

// The four items whose change alters what else may be edited.
bool IsSwitch(GridItem item) {
  return item == GridItem::EnableAuto || item == GridItem::DailyOn || item == GridItem::DailyOff ||
         item == GridItem::NonUseOff;
}

}  // namespace

CLaserPwrSaveTaskDlg::CLaserPwrSaveTaskDlg(LaserPowerSaverSettings* record,
                                           lumetra::ILaserPowerControl& control, wxWindow* parent)
    : wxDialog(parent, wxID_ANY, "Laser Auto ON/OFF Settings", wxDefaultPosition, wxSize(460, 420),
               wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER),
      m_pRecord(record),
      m_Control(control),
      m_Model(*record) {
  m_Model.ReadLaserState(m_Control);
  m_bTwelveHour = LaserPwrSaveTaskModel::UseTwelveHour(platform::formatLocalTime("%X"));

  m_Grid = new wxPropertyGridManager(this, kIdGrid, wxDefaultPosition, wxSize(420, 300),
                                     wxPG_SPLITTER_AUTO_CENTER | wxPG_BOLD_MODIFIED);
  m_Grid->AddPage();
  m_LaserButton = new wxButton(this, kIdLaserButton, "&Turn Lasers ON/Off Now");
  m_Reset = new wxButton(this, kIdReset, "&Reset");
  auto* ok = new wxButton(this, wxID_OK, "OK");
  auto* cancel = new wxButton(this, wxID_CANCEL, "Cancel");
  ok->SetDefault();

  auto* buttons = new wxBoxSizer(wxHORIZONTAL);
  buttons->Add(m_LaserButton, 0, wxRIGHT, 6);
  buttons->Add(m_Reset, 0);
  buttons->AddStretchSpacer();
  buttons->Add(ok, 0, wxRIGHT, 6);
  buttons->Add(cancel, 0);
  auto* all = new wxBoxSizer(wxVERTICAL);
  all->Add(m_Grid, 1, wxEXPAND | wxALL, 8);
  all->Add(buttons, 0, wxEXPAND | wxLEFT | wxRIGHT | wxBOTTOM, 8);
  SetSizer(all);
  SetMinSize(wxSize(420, 320));

  m_LaserButton->Enable(m_Model.LaserButtonEnabled());
  m_LaserButton->SetLabel(ToWx(m_Model.LaserButtonText()));
  m_LaserButton->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnLaserButton(); });
  m_Reset->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnReset(); });
  ok->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) {
    if (OnOK()) EndModal(wxID_OK);
  });
  m_Grid->Bind(wxEVT_PG_CHANGED, &CLaserPwrSaveTaskDlg::OnGridChanged, this);

  BuildGrid();
  lumetra::WindowPlacement::RegisterAndRestore(this, "LaserPowerSaver");
}

CLaserPwrSaveTaskDlg::~CLaserPwrSaveTaskDlg() { wxPersistenceManager::Get().SaveAndUnregister(this); }

wxPGProperty* CLaserPwrSaveTaskDlg::Item(GridItem item) const { return m_Items[static_cast<int>(item)]; }

void CLaserPwrSaveTaskDlg::BuildGrid() {
  m_bBuilding = true;
  const LaserPwrSaveTaskModel::Values& v = m_Model.Edit;
  wxPropertyGridPage* page = m_Grid->GetPage(0);
  page->Clear();
  wxPGChoices times = Labels(LaserPwrSaveTaskModel::HalfHourChoices(m_bTwelveHour));
  const auto timeProperty = [&](const char* caption, const char* name, unsigned minutes) {
    auto* p = new wxEnumProperty(caption, name, times);
    p->SetValueFromString(ToWx(FormatTimeOfDay(minutes, m_bTwelveHour)));
    return p;
  };
  const auto yesNo = [](const char* caption, const char* name, int value) {
    wxPGChoices choices = YesNo();
    return new wxEnumProperty(caption, name, choices, value ? 1 : 0);
  };

  page->Append(new wxPropertyCategory("General", "GeneralCategory"));
  m_Items[static_cast<int>(GridItem::EnableAuto)] =
      page->Append(yesNo("Enable laser auto ON/OFF", "EnableAuto", v.EnableSaverAutoTasks));

  page->Append(new wxPropertyCategory("Auto ON Settings", "OnCategory"));
  wxPGChoices dailyOnChoices = Labels(LaserPwrSaveTaskModel::DailyOnChoices());
  auto* dailyOn = new wxEnumProperty("Turn ON daily", "DailyOn", dailyOnChoices);
  dailyOn->SetValueFromString(ToWx(LaserPwrSaveTaskModel::DailyOnChoices()[static_cast<std::size_t>(
      v.AutoDailyOnOption >= 0 && v.AutoDailyOnOption <= 2 ? v.AutoDailyOnOption : 0)]));
  m_Items[static_cast<int>(GridItem::DailyOn)] = page->Append(dailyOn);
  m_Items[static_cast<int>(GridItem::DailyOnAt)] =
      page->AppendIn(dailyOn, timeProperty("Turn ON at", "DailyOnAt", v.DailyTurnOnAt));

  page->Append(new wxPropertyCategory("Auto OFF Settings", "OffCategory"));
  auto* dailyOff = yesNo("Turn OFF daily", "DailyOff", v.EnableDailyOff);
  m_Items[static_cast<int>(GridItem::DailyOff)] = page->Append(dailyOff);
  m_Items[static_cast<int>(GridItem::DailyOffAt)] =
      page->AppendIn(dailyOff, timeProperty("Turn OFF at", "DailyOffAt", v.DailyTurnOffAt));
  auto* idle = yesNo("Turn OFF when idle", "NonUseOff", v.EnableMaxNonUsePeriod);
  m_Items[static_cast<int>(GridItem::NonUseOff)] = page->Append(idle);
  m_IdleHours = v.IdleHours;
  auto* slider = new CCustomItemSlider("Idle for(hr)", m_IdleHours, &m_IdleHours, 1, 24, false, 1);
  slider->SetRange(1, 24);
  m_Items[static_cast<int>(GridItem::IdleHours)] = page->AppendIn(idle, slider);

  m_Grid->ExpandAll();
  m_bBuilding = false;
  ApplyReadOnly();
}

void CLaserPwrSaveTaskDlg::ApplyReadOnly() {
  for (int i = 0; i < 7; ++i) {
    wxPGProperty* p = m_Items[i];
    if (!p) continue;
    const bool readOnly = m_Model.IsReadOnly(static_cast<GridItem>(i));
    if (p->HasFlag(wxPG_PROP_READONLY) != readOnly) m_Grid->SetPropertyReadOnly(p, readOnly, 0);
  }
  if (wxPGProperty* idle = Item(GridItem::NonUseOff)) {
    if (m_Model.IdleCollapsed())
      m_Grid->Collapse(idle);
    else
      m_Grid->Expand(idle);
  }
  m_Reset->Enable(m_Model.ResetEnabled());
  m_Grid->RefreshGrid();
}

void CLaserPwrSaveTaskDlg::TakeGrid() {
  LaserPwrSaveTaskModel::Values& v = m_Model.Edit;
  const auto yes = [this](GridItem item) { return Item(item)->GetValue().GetLong() != 0 ? 1 : 0; };
  const auto text = [this](GridItem item) { return FromWx(Item(item)->GetValueAsString()); };
  v.EnableSaverAutoTasks = yes(GridItem::EnableAuto);
  v.AutoDailyOnOption = LaserPwrSaveTaskModel::DailyOnOptionOf(text(GridItem::DailyOn));
  v.DailyTurnOnAt = ParseTimeOfDay(text(GridItem::DailyOnAt));
  v.EnableDailyOff = yes(GridItem::DailyOff);
  v.DailyTurnOffAt = ParseTimeOfDay(text(GridItem::DailyOffAt));
  v.EnableMaxNonUsePeriod = yes(GridItem::NonUseOff);
  v.IdleHours = static_cast<int>(static_cast<CCustomItemSlider*>(Item(GridItem::IdleHours))->GetNumber());
}

void CLaserPwrSaveTaskDlg::OnGridChanged(wxPropertyGridEvent& event) {
  if (m_bBuilding || !event.GetProperty()) return;
  TakeGrid();
  for (int i = 0; i < 7; ++i)
    if (m_Items[i] == event.GetProperty() && IsSwitch(static_cast<GridItem>(i))) ApplyReadOnly();
}

void CLaserPwrSaveTaskDlg::OnLaserButton() {
  m_Model.OnLaserButton(m_Control);
  m_LaserButton->SetLabel(ToWx(m_Model.LaserButtonText()));
}

void CLaserPwrSaveTaskDlg::OnReset() {
  TakeGrid();
  m_Model.Reset();
  BuildGrid();
}

bool CLaserPwrSaveTaskDlg::OnOK() {
  TakeGrid();
  switch (m_Model.Apply(*m_pRecord)) {
    case LaserPwrSaveTaskModel::OkResult::SameOnOff:
      return false;
    case LaserPwrSaveTaskModel::OkResult::Changed:
      m_bChanged = true;
      return true;
    case LaserPwrSaveTaskModel::OkResult::Unchanged:
      m_bChanged = false;
      return true;
  }
  return true;
}
