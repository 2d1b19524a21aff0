#include "config/ui/PropertyGridItems.h"

#include <gtest/gtest.h>
#include <wx/propgrid/propgrid.h>

#include "WxFixture.h"

namespace {

using wxtest::WindowTest;

class PropertyItemsTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    if (IsSkipped()) return;
    frame_ = keep(new wxFrame(nullptr, wxID_ANY, "Items", wxDefaultPosition, wxSize(420, 260)));
    grid_ = new wxPropertyGrid(frame_, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxPG_DEFAULT_STYLE);
    grid_->SetVerticalSpacing(6);  // rows high enough for a slider
    grid_->Append(new wxPropertyCategory("Auto OFF Settings"));
    number_ = new CTrqPropertyGridItemNumber("Turn OFF after", 5, &boundNumber_, 1, 24);
    grid_->Append(number_);
    slider_ = new CCustomItemSlider("Idle for(hr)", 3, &idleHours_, 1, 24, true, 1);
    slider_->SetRange(24, 1);
    grid_->Append(slider_);
    frame_->Show();
    wxtest::settle();
    grid_->SetSplitterPosition(200);
  }
  CInplaceSlider* selectSlider() {
    grid_->SelectProperty(slider_, false);
    wxtest::settle();
    return dynamic_cast<CInplaceSlider*>(grid_->GetEditorControl());
  }
  void slide(CInplaceSlider* s, int position) {
    s->SetValue(position);
    wxCommandEvent moved(wxEVT_SLIDER, s->GetId());
    moved.SetEventObject(s);
    moved.SetInt(position);
    s->ProcessWindowEvent(moved);
  }

  wxFrame* frame_ = nullptr;
  wxPropertyGrid* grid_ = nullptr;
  CTrqPropertyGridItemNumber* number_ = nullptr;
  CCustomItemSlider* slider_ = nullptr;
  long boundNumber_ = 0;
  long idleHours_ = 0;
};

TEST_F(PropertyItemsTest, NumbersOutsideTheRangeAreRefusedWithTheRangeMessage) {
  EXPECT_EQ(slider_->Range().Minimum(), 1);
  EXPECT_EQ(slider_->Range().Maximum(), 24);
  struct Case {
    long value;
    bool accepted;
    long after;
  } cases[] = {{12, true, 12}, {30, false, 12}, {0, false, 12}, {24, true, 24}, {1, true, 1}};
  for (const Case& c : cases) {
    clearBoxes();
    grid_->ChangePropertyValue(number_, wxVariant(c.value));
    EXPECT_EQ(number_->GetNumber(), c.after) << c.value;
    EXPECT_EQ(boundNumber_, c.after) << c.value;
    if (c.accepted) {
      EXPECT_TRUE(boxes_.empty());
    } else {
      EXPECT_EQ(boxes_, std::vector<std::string>{"A valid value should be between 1 and 24"});
      EXPECT_EQ(captions_[0], "Invalid Input");
    }
  }
  // Texts are read the C library's way.
  wxVariant v = number_->GetValue();
  ASSERT_TRUE(number_->StringToValue(v, "7 hours"));
  EXPECT_EQ(v.GetLong(), 7);
  ASSERT_TRUE(number_->StringToValue(v, "abc"));
  EXPECT_EQ(v.GetLong(), 0);
  v = number_->GetValue();
  EXPECT_FALSE(number_->StringToValue(v, number_->GetValueAsString()));  // the current text changes nothing
}

TEST_F(PropertyItemsTest, TheSliderEditsTheValueWithinTheRange) {
  CInplaceSlider* s = selectSlider();
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->GetMin(), 1);
  EXPECT_EQ(s->GetMax(), 24);
  EXPECT_EQ(s->GetValue(), 3);
  EXPECT_GT(slider_->LabelWidth, 0);
  // The value text stays readable left of the slider.
  EXPECT_GE(s->GetPosition().x, grid_->GetSplitterPosition() + slider_->LabelWidth);
  EXPECT_TRUE(s->IsShownOnScreen());
  wxtest::screenshot(frame_, "lumetra-property-items.png");

  slide(s, 8);
  wxtest::settle();
  EXPECT_EQ(slider_->GetNumber(), 8);
  EXPECT_EQ(idleHours_, 8);

  // A range narrower than the slider: a position outside it is refused and undone.
  slider_->SetRange(1, 10);
  s = selectSlider();
  ASSERT_NE(s, nullptr);
  clearBoxes();
  slide(s, 15);
  EXPECT_EQ(boxes_, std::vector<std::string>{"A valid value should be between 1 and 10"});
  EXPECT_EQ(s->GetValue(), 8);
  EXPECT_EQ(slider_->GetNumber(), 8);
}

TEST_F(PropertyItemsTest, DisabledNarrowHighlightedAndParentItems) {
  slider_->SetItemEnabled(false);
  EXPECT_EQ(selectSlider(), nullptr);
  slider_->SetItemEnabled(true);
  grid_->ClearSelection();

  // A value cell narrower than the label and a slider gets no slider.
  grid_->SetSplitterPosition(grid_->GetClientSize().x - 10);
  wxtest::settle();
  EXPECT_EQ(selectSlider(), nullptr);

  number_->SetHighlighted(true);
  EXPECT_EQ(number_->GetCell(1).GetFgCol(), CTrqPropertyGridItemNumber::kHighlightColour);
  EXPECT_TRUE(number_->IsHighlighted());

  auto* child = new wxStringProperty("Detail", wxPG_LABEL, "x");
  grid_->AppendIn(number_, child);
  grid_->Expand(number_);
  number_->ShowChildren(false);
  EXPECT_FALSE(number_->IsExpanded());
  grid_->Expand(number_);
  number_->ShowChildren(false);  // the same request again changes nothing
  EXPECT_TRUE(number_->IsExpanded());
  number_->ShowChildren(true);
  EXPECT_TRUE(number_->IsExpanded());
  number_->ShowChildItems(false);
  EXPECT_FALSE(number_->IsExpanded());
}

}  // namespace
