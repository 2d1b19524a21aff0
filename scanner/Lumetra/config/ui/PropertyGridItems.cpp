#include "config/ui/PropertyGridItems.h"

#include <wx/dcclient.h>
#include <wx/propgrid/propgrid.h>
#include <wx/settings.h>

#include <climits>

#include "config/ui/WxText.h"

using lumetra::FromWx;

const wxColour CTrqPropertyGridItemNumber::kHighlightColour(50, 150, 55);

CTrqPropertyGridItemNumber::CTrqPropertyGridItemNumber(const wxString& caption, long value, long* boundNumber,
                                                       long minimum, long maximum)
    : wxIntProperty(caption, wxPG_LABEL, value), m_Range(minimum, maximum), m_Bound(boundNumber) {}

void CTrqPropertyGridItemNumber::Expand(bool show) {
  if (wxPropertyGrid* grid = GetGrid()) {
    if (show && !IsExpanded())
      grid->Expand(this);
    else if (!show && IsExpanded())
      grid->Collapse(this);
  } else {
    SetExpanded(show);
  }
}

void CTrqPropertyGridItemNumber::ShowChildren(bool show) {
  if (show == m_ChildrenShown) return;
  m_ChildrenShown = show;
  Expand(show);
}

void CTrqPropertyGridItemNumber::ShowChildItems(bool show) {
  if (show == m_ChildItemsShown) return;
  m_ChildItemsShown = show;
  Expand(show);
}

void CTrqPropertyGridItemNumber::SetItemEnabled(bool enabled) {
  m_Enabled = enabled;
  Enable(enabled);
}

void CTrqPropertyGridItemNumber::SetHighlighted(bool highlighted) {
  m_Highlighted = highlighted;
  wxPGCell& cell = GetOrCreateCell(1);
  cell.SetFgCol(highlighted ? kHighlightColour : wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOWTEXT));
  if (wxPropertyGrid* grid = GetGridIfDisplayed()) grid->RefreshProperty(this);
}

bool CTrqPropertyGridItemNumber::StringToValue(wxVariant& variant, const wxString& text, int) const {
  const long number = lumetra::NumberRange::ToNumber(FromWx(text));
  if (!GetValue().IsNull() && GetValue().GetLong() == number && text == GetValueAsString()) return false;
  variant = number;
  return true;
}

bool CTrqPropertyGridItemNumber::ValidateValue(wxVariant& value, wxPGValidationInfo& info) const {
  // The message is this item's own; a refusal puts the old value back.
  info.SetFailureBehavior(0);
  return ValidateNumber(std::to_string(value.GetLong()));
}

void CTrqPropertyGridItemNumber::OnSetValue() {
  wxIntProperty::OnSetValue();
  if (m_Bound && !GetValue().IsNull()) *m_Bound = GetValue().GetLong();
}

// --- slider

namespace {

class SliderEditor : public wxPGEditor {
 public:
  wxString GetName() const override { return "LumetraInplaceSlider"; }

  wxPGWindowList CreateControls(wxPropertyGrid* grid, wxPGProperty* property, const wxPoint& pos,
                                const wxSize& size) const override {
    auto* item = dynamic_cast<CCustomItemSlider*>(property);
    if (!item || !item->IsItemEnabled()) return wxPGWindowList(nullptr);
    if (!item->HasFlag(wxPG_PROP_READONLY)) {
      wxClientDC dc(grid);
      dc.SetFont(grid->GetFont());
      item->LabelWidth = dc.GetTextExtent("XXX").x;
    }
    const int left = pos.x + item->LabelWidth + 2;
    const int right = pos.x + size.x;
    if (left >= right) return wxPGWindowList(nullptr);  // too narrow for a slider
    auto* slider =
        new CInplaceSlider(grid->GetPanel(), item, wxPoint(left, pos.y), wxSize(right - left, size.y));
    return wxPGWindowList(slider);
  }

  void UpdateControl(wxPGProperty* property, wxWindow* control) const override {
    auto* slider = dynamic_cast<CInplaceSlider*>(control);
    auto* item = dynamic_cast<CCustomItemSlider*>(property);
    if (slider && item) slider->SetValue(static_cast<int>(item->GetNumber() / item->Scale()));
  }

  bool OnEvent(wxPropertyGrid*, wxPGProperty*, wxWindow* control, wxEvent& event) const override {
    auto* slider = dynamic_cast<CInplaceSlider*>(control);
    return slider && event.GetEventType() == wxEVT_SLIDER && slider->TakePosition();
  }

  bool GetValueFromControl(wxVariant& variant, wxPGProperty* property, wxWindow* control) const override {
    auto* slider = dynamic_cast<CInplaceSlider*>(control);
    auto* item = dynamic_cast<CCustomItemSlider*>(property);
    if (!slider || !item) return false;
    const long number = static_cast<long>(slider->GetValue()) * item->Scale();
    if (number == item->GetNumber()) return false;
    variant = number;
    return true;
  }

  void SetControlStringValue(wxPGProperty*, wxWindow*, const wxString&) const override {}
};

}  // namespace

CInplaceSlider::CInplaceSlider(wxWindow* parent, CCustomItemSlider* item, const wxPoint& pos,
                               const wxSize& size)
    : wxSlider(parent, wxID_ANY, 0, item->SliderMinimum(), item->SliderMaximum(), pos, size,
               wxSL_HORIZONTAL | (TicksFit(item, size) ? wxSL_AUTOTICKS : 0)),
      m_Item(item) {
  if (TicksFit(item, size) && item->TickFrequency() > 1) SetTickFreq(item->TickFrequency());
  m_LastPosition = static_cast<int>(item->GetNumber() / item->Scale());
  SetValue(m_LastPosition);
}

bool CInplaceSlider::TicksFit(const CCustomItemSlider* item, const wxSize& size) {
  // GTK draws a scale with marks only from about 30 pixels up; in a lower grid row the
  // marks would leave no room for the slider itself.
  return item->TickMarks() && size.y >= kTickedHeight;
}

bool CInplaceSlider::TakePosition() {
  const int position = GetValue();
  if (position == m_LastPosition) return false;
  if (!m_Item->ValidateNumber(std::to_string(static_cast<long>(position) * m_Item->Scale()))) {
    SetValue(m_LastPosition);
    return false;
  }
  m_LastPosition = position;
  return true;
}

CCustomItemSlider::CCustomItemSlider(const wxString& caption, long value, long* boundNumber,
                                     int sliderMinimum, int sliderMaximum, bool tickMarks, int tickFrequency)
    : CTrqPropertyGridItemNumber(caption, value, boundNumber, LONG_MIN, LONG_MAX),
      m_SliderMinimum(sliderMinimum),
      m_SliderMaximum(sliderMaximum),
      m_TickMarks(tickMarks),
      m_TickFrequency(tickFrequency) {}

const wxPGEditor* CCustomItemSlider::DoGetEditorClass() const {
  // Registered once; the grid owns registered editors.
  static wxPGEditor* const editor = wxPropertyGrid::RegisterEditorClass(new SliderEditor);
  return editor;
}
