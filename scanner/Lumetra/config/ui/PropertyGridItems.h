#pragma once
// Items of the settings property grids: a whole number with an inclusive range, and a
// range item edited with a slider in its value cell while it is selected.
#include <wx/propgrid/editors.h>
#include <wx/propgrid/props.h>
#include <wx/slider.h>

#include <string>

#include "config/NumberRange.h"

class CTrqPropertyGridItemNumber : public wxIntProperty {
 public:
  // The range is kept as given; SetRange orders it.
  CTrqPropertyGridItemNumber(const wxString& caption, long value, long* boundNumber, long minimum,
                             long maximum);

  void SetRange(long minimum, long maximum) { m_Range.SetRange(minimum, maximum); }
  const lumetra::NumberRange& Range() const { return m_Range; }
  // The range check, with its message box on refusal.
  virtual bool ValidateNumber(const std::string& text) const { return m_Range.ValidateNumber(text); }

  // Expand (true) or collapse the child items; a repeated request does nothing.
  void ShowChildren(bool show);
  void ShowChildItems(bool show);

  // A disabled item opens no editor.
  void SetItemEnabled(bool enabled);
  bool IsItemEnabled() const { return m_Enabled; }
  // Draws the value in green.
  void SetHighlighted(bool highlighted);
  bool IsHighlighted() const { return m_Highlighted; }

  long GetNumber() const { return GetValue().IsNull() ? 0 : GetValue().GetLong(); }

  // Texts are read as atol reads them ("abc" is 0); the current value's text changes nothing.
  bool StringToValue(wxVariant& variant, const wxString& text, int argFlags = 0) const override;
  bool ValidateValue(wxVariant& value, wxPGValidationInfo& info) const override;
  void OnSetValue() override;
  // No character filter: any text goes through the range check, read as atol reads it.
  wxValidator* DoGetValidator() const override { return nullptr; }

  static const wxColour kHighlightColour;

 private:
  void Expand(bool show);

  lumetra::NumberRange m_Range;
  long* m_Bound;
  bool m_Enabled = true;
  bool m_ChildrenShown = true;
  bool m_ChildItemsShown = true;
  bool m_Highlighted = false;
};

class CCustomItemSlider;

// The slider in a selected slider item's value cell. It lives from the item's selection
// to its deselection (the grid destroys editor windows then).
class CInplaceSlider : public wxSlider {
 public:
  CInplaceSlider(wxWindow* parent, CCustomItemSlider* item, const wxPoint& pos, const wxSize& size);
  // The slider moved: its position, times the item's scale, goes through the item's
  // range check; a refused position puts the slider back. True when accepted.
  bool TakePosition();
  CCustomItemSlider* Item() const { return m_Item; }
  int LastPosition() const { return m_LastPosition; }
  // Tick marks are drawn when the item asks for them and the row is high enough.
  static constexpr int kTickedHeight = 30;
  static bool TicksFit(const CCustomItemSlider* item, const wxSize& size);

 private:
  CCustomItemSlider* m_Item;
  int m_LastPosition;
};

class CCustomItemSlider : public CTrqPropertyGridItemNumber {
 public:
  CCustomItemSlider(const wxString& caption, long value, long* boundNumber, int sliderMinimum,
                    int sliderMaximum, bool tickMarks, int tickFrequency);

  const wxPGEditor* DoGetEditorClass() const override;

  int SliderMinimum() const { return m_SliderMinimum; }
  int SliderMaximum() const { return m_SliderMaximum; }
  bool TickMarks() const { return m_TickMarks; }
  int TickFrequency() const { return m_TickFrequency; }
  int Scale() const { return m_Scale; }
  // The width of "XXX" in the grid's font, measured when the slider is placed, so that
  // the value text stays readable left of the slider.
  int LabelWidth = 0;

 private:
  int m_SliderMinimum;
  int m_SliderMaximum;
  bool m_TickMarks;
  int m_TickFrequency;
  int m_Scale = 1;
};
