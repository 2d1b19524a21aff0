#include "config/ui/CarouselCfgGrid.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <wx/odcombo.h>
#include <wx/textctrl.h>

#include "WxFixture.h"
#include "config/ui/FolderPicker.h"
#include "config/ui/WxText.h"

namespace {

using lumetra::FromWx;
using M = lumetra::CarouselGridModel;
using ::testing::ElementsAre;

// Keys reach the drop list through the grid's handler in front of it, as the keyboard
// delivers them: the key, then its character when nobody took the key. Sent to the
// control itself, so that no other window taking the keyboard changes the outcome.
void press(wxWindow* control, int key) {
  wxKeyEvent down(wxEVT_KEY_DOWN);
  down.m_keyCode = key;
  down.m_uniChar = key < WXK_START ? static_cast<wxChar>(key) : 0;
  down.SetEventObject(control);
  down.SetId(control->GetId());
  if (control->GetEventHandler()->ProcessEvent(down) && !down.GetSkipped()) return;
  wxKeyEvent character(down);
  character.SetEventType(wxEVT_CHAR);
  character.Skip(false);
  control->GetEventHandler()->ProcessEvent(character);
}

class GridWindowTest : public wxtest::WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    if (IsSkipped()) return;
    profile_ = profile("Lab");
    frame_ = keep(new wxFrame(nullptr, wxID_ANY, "Carousel", wxDefaultPosition, wxSize(1200, 420)));
    grid_ = new CCarouselCfgGrid(frame_);
    grid_->EstimateChanged = [this] { ++estimates_; };
    grid_->SetCurrentProfile(&profile_, true);
    frame_->Show();
    wxtest::settle();
  }
  void TearDown() override {
    CFolderPicker::SetRunner({});
    WindowTest::TearDown();
  }
  std::string text(int row, int col) const { return FromWx(grid_->GetCellValue(row, col)); }
  bool bold(int row, int col) const { return grid_->GetCellFont(row, col).GetWeight() == wxFONTWEIGHT_BOLD; }
  // Opens the cell's editor, lets `use` work its control, and closes it, keeping the value.
  template <class Control>
  void editCell(int row, int col, const std::function<void(Control*)>& use) {
    grid_->SetGridCursor(row, col);
    grid_->EnableCellEditControl();
    wxGridCellEditor* editor = grid_->GetCellEditor(row, col);
    auto* control = dynamic_cast<Control*>(editor->GetControl());
    editor->DecRef();
    ASSERT_NE(control, nullptr);
    use(control);
    grid_->DisableCellEditControl();
    wxtest::settle();
  }

  tagScanCfgStruct profile_;
  wxFrame* frame_ = nullptr;
  CCarouselCfgGrid* grid_ = nullptr;
  int estimates_ = 0;
};

TEST_F(GridWindowTest, ShowsOneRowPerSlotWithTheProfilesValues) {
  grid_->ChangeSlotRange(5, 7);
  ASSERT_EQ(grid_->GetNumberRows(), 3);
  EXPECT_EQ(grid_->GetNumberCols(), 10);
  EXPECT_EQ(grid_->GetRowLabelValue(0), "5");
  EXPECT_EQ(grid_->GetRowLabelValue(2), "7");
  EXPECT_EQ(grid_->GetColLabelValue(0), " Slide ID ");
  EXPECT_EQ(grid_->GetColSize(8), 250);
  EXPECT_EQ(grid_->GetSlotCfg(4), nullptr);
  EXPECT_EQ(text(0, M::kColSlideID), "<Auto detect>");
  EXPECT_EQ(text(0, M::kColRegion), "Full Slide");
  EXPECT_EQ(text(0, M::kColPMTRed), "100%");
  EXPECT_EQ(text(0, M::kColDyx), "<No Dyx>");
  EXPECT_EQ(text(0, M::kColOutputPath), dataDir());
  EXPECT_EQ(grid_->GetCellBackgroundColour(0, 1), CCarouselCfgGrid::kCellColour);
  EXPECT_FALSE(bold(0, M::kColRegion));
  EXPECT_FALSE(grid_->IsReadOnly(0, M::kColSlideID));
  EXPECT_TRUE(grid_->IsReadOnly(0, M::kColOutputPath));  // chosen with the folder button

  const std::string barcode = "BC-7";
  grid_->SetSlotEnabled(6, false, nullptr);
  grid_->SetSlotEnabled(7, true, &barcode);
  EXPECT_EQ(text(1, M::kColSlideID), "<No chip>");
  EXPECT_TRUE(bold(1, M::kColSlideID));
  EXPECT_EQ(text(1, M::kColRegion), "");
  EXPECT_TRUE(grid_->IsReadOnly(1, M::kColRegion));
  EXPECT_EQ(text(2, M::kColSlideID), "BC-7");
  EXPECT_TRUE(bold(2, M::kColSlideID));
  EXPECT_EQ(grid_->HintAt(-1, M::kColTiff),
            "TIFF file dynamic range:\r\n  16 bit: Conventional TIFF\r\n  20 bit: High dynamic range TIFF");
  grid_->ChangeSlotRange(1, 12);
  grid_->SelectBlock(2, M::kColTiff, 3, M::kColTiff);
  grid_->ApplyChoice("20 bit");
  EXPECT_TRUE(bold(2, M::kColTiff));
  grid_->SetGridCursor(4, M::kColOutputPath);
  wxtest::screenshot(frame_, "lumetra-carousel-grid.png");
}

TEST_F(GridWindowTest, ADropListChoiceReachesEverySelectedSlot) {
  grid_->SelectBlock(0, M::kColChannels, 2, M::kColChannels);
  EXPECT_THAT(grid_->ListChoicesAt(0, M::kColChannels), ElementsAre("R", "G", "R+G"));
  grid_->ApplyChoice("G");
  for (int row : {0, 1, 2}) {
    EXPECT_EQ(text(row, M::kColChannels), "G");
    EXPECT_TRUE(bold(row, M::kColChannels));
    EXPECT_EQ(grid_->GetSlotCfg(row + 1)->DyeChannels, "G");
  }
  EXPECT_EQ(text(3, M::kColChannels), "R+G");
  EXPECT_EQ(estimates_, 1);

  // Two columns selected: the list offers only the reset.
  grid_->SelectBlock(0, M::kColChannels, 0, M::kColRegion);
  EXPECT_THAT(grid_->ListChoicesAt(0, M::kColChannels), ElementsAre("Reset to Profile Value"));

  // Through the cell's own drop list.
  grid_->ClearSelection();
  editCell<wxOwnerDrawnComboBox>(5, M::kColPMTGreen, [this](wxOwnerDrawnComboBox* list) {
    // The open list covers its own cell only, not the neighbouring columns.
    const wxRect cell = grid_->CellToRect(5, M::kColPMTGreen);
    EXPECT_LE(list->GetSize().x, cell.width + 2);
    EXPECT_LE(list->GetSize().y, cell.height + 2);
    wxtest::screenshot(frame_, "lumetra-carousel-grid-droplist.png");
    EXPECT_EQ(list->GetCount(), 13u);
    EXPECT_EQ(list->wxItemContainer::GetStringSelection(), "100%");
    list->SetStringSelection("20%");
    press(list, WXK_RETURN);
  });
  EXPECT_EQ(grid_->GetSlotCfg(6)->PMTGreen, "20%");
  EXPECT_EQ(text(5, M::kColPMTGreen), "20%");
  EXPECT_TRUE(bold(5, M::kColPMTGreen));
  EXPECT_EQ(estimates_, 1);  // a gain does not change the estimates

  editCell<wxOwnerDrawnComboBox>(5, M::kColTiff, [](wxOwnerDrawnComboBox* list) {
    list->SetStringSelection("20 bit");
    press(list, WXK_RETURN);
  });
  EXPECT_EQ(text(5, M::kColTiff), "20 bit");
  EXPECT_TRUE(grid_->IsReadOnly(5, M::kColDyx));
  EXPECT_FALSE(grid_->ResetOffered(5, M::kColDyx));
}

// The list opens under its cell; closing it without a pick ends the edit and changes
// nothing.
TEST_F(GridWindowTest, ClosingAnOpenDropListEndsTheEditWithoutAChoice) {
  grid_->SetGridCursor(2, M::kColResolution);
  grid_->EnableCellEditControl();
  wxGridCellEditor* editor = grid_->GetCellEditor(2, M::kColResolution);
  auto* list = dynamic_cast<wxOwnerDrawnComboBox*>(editor->GetControl());
  editor->DecRef();
  ASSERT_NE(list, nullptr);
  list->Popup();
  ASSERT_TRUE(wxtest::runUntil([&] { return list->IsPopupShown(); }));
  wxtest::screenshot(list->GetPopupWindow(), "lumetra-carousel-grid-droplist-open.png");
  list->Dismiss();
  EXPECT_TRUE(wxtest::runUntil([&] { return !grid_->IsCellEditControlShown(); }));
  EXPECT_EQ(text(2, M::kColResolution), "5 um");
  EXPECT_FALSE(bold(2, M::kColResolution));
}

// Typing moves through the list; only Enter or a click takes an entry. Escape, or
// leaving the cell, keeps the cell as it was.
TEST_F(GridWindowTest, OnlyEnterOrAClickTakesADropListEntry) {
  struct Case {
    const char* what;
    int col;
    bool open;              // the list opened first
    std::vector<int> keys;  // then these keys
    bool click;             // then a click on the entry "20%" of the open list
    int last;               // then this key; 0: leave the cell (the grid ends the edit)
    const char* value;      // the cell afterwards
  };
  const Case cases[] = {
      {"typed 250, then left", M::kColPMTRed, false, {'2', '5', '0'}, false, 0, "100%"},
      {"typed 55, then left", M::kColPMTGreen, false, {'5', '5'}, false, 0, "100%"},
      {"typed 250, then Escape", M::kColPMTRed, false, {'2', '5', '0'}, false, WXK_ESCAPE, "100%"},
      {"arrow down, then Escape", M::kColResolution, false, {WXK_DOWN}, false, WXK_ESCAPE, "5 um"},
      {"open list, typed 2, then Escape", M::kColPMTGreen, true, {'2'}, false, WXK_ESCAPE, "100%"},
      {"open list, arrow down, then left", M::kColResolution, true, {WXK_DOWN}, false, 0, "5 um"},
      {"typed 55, then Enter", M::kColPMTGreen, false, {'5', '5'}, false, WXK_RETURN, "50%"},
      {"open list, typed 2, then Enter", M::kColPMTRed, true, {'2'}, false, WXK_RETURN, "20%"},
      {"a click in the open list", M::kColPMTRed, true, {}, true, -1, "20%"},
  };
  int row = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    grid_->ClearSelection();
    grid_->SetGridCursor(row, c.col);
    grid_->EnableCellEditControl();
    wxGridCellEditor* editor = grid_->GetCellEditor(row, c.col);
    auto* list = dynamic_cast<wxOwnerDrawnComboBox*>(editor->GetControl());
    editor->DecRef();
    ASSERT_NE(list, nullptr);
    if (c.open) {
      list->Popup();
      ASSERT_TRUE(wxtest::runUntil([&] { return list->IsPopupShown(); }));
    }
    for (const int key : c.keys) press(list, key);
    wxtest::settle();  // the list's own change events are queued
    if (c.click) {
      auto* popup = dynamic_cast<wxVListBoxComboPopup*>(list->GetPopupControl());
      ASSERT_NE(popup, nullptr);
      // The pointer moves onto the entry, and the button goes down and up on it.
      const wxRect item = popup->GetItemRect(static_cast<std::size_t>(list->FindString("20%")));
      for (const wxEventType type : {wxEVT_MOTION, wxEVT_LEFT_DOWN, wxEVT_LEFT_UP}) {
        wxMouseEvent mouse(type);
        mouse.SetPosition(item.GetPosition() + wxPoint(item.width / 2, item.height / 2));
        mouse.SetEventObject(popup->GetControl());
        popup->GetControl()->GetEventHandler()->ProcessEvent(mouse);
      }
    }
    if (c.last > 0) press(list, c.last);
    if (c.last == 0) grid_->DisableCellEditControl();  // a click elsewhere in the grid
    EXPECT_TRUE(wxtest::runUntil([&] { return !grid_->IsCellEditControlShown() && !list->IsPopupShown(); }));
    wxtest::settle();
    EXPECT_EQ(text(row, c.col), c.value);
    // Only a taken entry sets the slot's own value (bold); nothing else changed it.
    const bool taken = c.last == WXK_RETURN || c.click;
    EXPECT_EQ(bold(row, c.col), taken);
    ++row;
  }
  wxtest::screenshot(frame_, "lumetra-carousel-grid-droplist-keys.png");
}

TEST_F(GridWindowTest, SelectedSlotsStaySelectedWhenTheRangeChanges) {
  grid_->ChangeSlotRange(5, 12);
  grid_->SelectBlock(0, 2, 2, 3);  // slots 5..7
  EXPECT_EQ(grid_->GetSelectedSlots(), (std::vector<int>{5, 6, 7}));
  grid_->ChangeSlotRange(6, 10);
  EXPECT_EQ(grid_->GetSelectedSlots(), (std::vector<int>{6, 7}));
  EXPECT_EQ(grid_->GetSelectedRows(), std::make_pair(0, 1));
  EXPECT_EQ(grid_->GetSelectedColumns(), std::make_pair(2, 3));
  grid_->ChangeSlotRange(9, 10);
  EXPECT_FALSE(grid_->IsSelection());
  EXPECT_EQ(grid_->GetNumberRows(), 2);
  EXPECT_EQ(grid_->GetSelectedRows(), std::make_pair(0, 0));
  EXPECT_FALSE(grid_->SetSlotRange(9, 10));
  EXPECT_FALSE(grid_->SetSlotRange(0, 10));
}

TEST_F(GridWindowTest, TypedSlideIdentifiersAreChecked) {
  editCell<wxTextCtrl>(0, M::kColSlideID, [](wxTextCtrl* box) { box->SetValue("a/b"); });
  EXPECT_EQ(text(0, M::kColSlideID), "<Auto detect>");
  ASSERT_EQ(boxes_.size(), 1u);
  editCell<wxTextCtrl>(0, M::kColSlideID, [](wxTextCtrl* box) { box->SetValue("S-100"); });
  EXPECT_EQ(text(0, M::kColSlideID), "S-100");
  EXPECT_EQ(grid_->GetSlotCfg(1)->SlideID, "S-100");
  EXPECT_TRUE(bold(0, M::kColSlideID));
  editCell<wxTextCtrl>(0, M::kColSlideID, [](wxTextCtrl* box) { box->SetValue(""); });
  EXPECT_EQ(text(0, M::kColSlideID), "<Auto detect>");
  editCell<wxTextCtrl>(1, M::kColDescription, [](wxTextCtrl* box) { box->SetValue("liver"); });
  EXPECT_EQ(grid_->GetSlotCfg(2)->Description, "liver");
  EXPECT_TRUE(bold(1, M::kColDescription));
}

TEST_F(GridWindowTest, TheFolderButtonSetsEverySelectedOutputPath) {
  std::string initial;
  std::optional<std::string> answer = "/picked";
  CFolderPicker::SetRunner([&](wxWindow*, const std::string& title, const std::string& folder) {
    EXPECT_EQ(title, "Select A File Directory");
    initial = folder;
    return answer;
  });
  grid_->SetGridCursor(1, M::kColOutputPath);
  grid_->SelectBlock(1, M::kColOutputPath, 3, M::kColOutputPath);
  grid_->ChooseOutputFolder();
  EXPECT_EQ(initial, dataDir());
  for (int row : {1, 2, 3}) {
    EXPECT_EQ(text(row, M::kColOutputPath), "/picked");
    EXPECT_TRUE(bold(row, M::kColOutputPath));
  }
  EXPECT_EQ(text(0, M::kColOutputPath), dataDir());

  answer = std::nullopt;  // cancelled
  grid_->ChooseOutputFolder();
  EXPECT_EQ(text(1, M::kColOutputPath), "/picked");

  // The context menu's reset puts the profile's folder back.
  grid_->RunMenuCommand(CCarouselCfgGrid::kMenuReset);
  EXPECT_EQ(text(2, M::kColOutputPath), dataDir());
  EXPECT_FALSE(bold(2, M::kColOutputPath));
}

TEST_F(GridWindowTest, FittingColumnsToTheWindow) {
  grid_->ClearSelection();
  grid_->RunMenuCommand(CCarouselCfgGrid::kMenuFitColumns);
  int total = grid_->GetRowLabelSize();
  for (int col = 0; col < 10; ++col) total += grid_->GetColSize(col);
  EXPECT_NEAR(total, grid_->GetClientSize().x, 20);  // a scroll bar may come or go
  grid_->RunMenuCommand(CCarouselCfgGrid::kMenuBestFit);
  EXPECT_LT(grid_->GetColSize(M::kColDescription), 200);  // short texts
}

}  // namespace
