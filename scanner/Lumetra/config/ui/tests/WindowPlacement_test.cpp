// Stored window placements restored on this display: what was saved on a larger screen,
// or beside this one, comes back inside the work area.
#include "config/ui/WindowPlacement.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <wx/button.h>
#include <wx/config.h>
#include <wx/dialog.h>
#include <wx/display.h>

#include "WxFixture.h"
#include "config/ui/CfgProfileEditDlg.h"

namespace {

class PlacementWindowTest : public wxtest::WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    if (IsSkipped()) return;
    area_ = wxDisplay(0u).GetClientArea();
  }
  // Stores a placement as an earlier session would have saved it.
  static void seed(const wxString& name, const wxRect& r) {
    wxConfigBase* config = wxConfigBase::Get();
    const wxString key = "Persistent_Options/Window/" + name + "/";
    config->Write(key + "x", r.x);
    config->Write(key + "y", r.y);
    config->Write(key + "w", r.width);
    config->Write(key + "h", r.height);
    config->Flush();
  }
  static std::string text(const wxRect& r) {
    return std::to_string(r.x) + "," + std::to_string(r.y) + " " + std::to_string(r.width) + "x" +
           std::to_string(r.height);
  }
  wxRect area_;
};

TEST_F(PlacementWindowTest, ARestoredPlacementIsFittedIntoTheWorkArea) {
  const int right = area_.x + area_.width, bottom = area_.y + area_.height;
  struct Case {
    const char* what;
    wxRect saved;
    wxRect restored;
  };
  const Case cases[] = {
      {"saved on a larger screen: larger than this one", wxRect(90, 192, 2000, 1600), area_},
      {"beyond the right and bottom edges", wxRect(right + 300, bottom + 200, 500, 300),
       wxRect(right - 500, bottom - 300, 500, 300)},
      {"reaching past the right and bottom edges", wxRect(right - 200, bottom - 100, 500, 300),
       wxRect(right - 500, bottom - 300, 500, 300)},
      {"left of and above the display", wxRect(-3000, -2000, 500, 300), wxRect(area_.x, area_.y, 500, 300)},
      {"wider only, at the top left", wxRect(area_.x, area_.y, area_.width + 900, 300),
       wxRect(area_.x, area_.y, area_.width, 300)},
      {"inside: kept as saved", wxRect(area_.x + 40, area_.y + 30, 500, 300),
       wxRect(area_.x + 40, area_.y + 30, 500, 300)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    seed("PlacementProbe", c.saved);
    auto* dialog = new wxDialog(nullptr, wxID_ANY, "Placement", wxDefaultPosition, wxSize(300, 200),
                                wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER);
    lumetra::WindowPlacement::RegisterAndRestore(dialog, "PlacementProbe");
    EXPECT_EQ(text(dialog->GetRect()), text(c.restored));
    wxPersistenceManager::Get().SaveAndUnregister(dialog);
    dialog->Destroy();
    wxtest::settle();
  }
}

// The profile editor saved at 2000x1600 far right on a larger screen: it opens inside this
// display, its buttons within reach.
TEST_F(PlacementWindowTest, TheProfileEditorOpensInsideTheDisplay) {
  CCarouselCfgProfileMap map;
  map.LoadDefaultProfile(&regions_);
  seed("CfgProfileEditor", wxRect(1500, 1100, 2000, 1600));
  auto* dlg = keep(new CCfgProfileEditDlg(&map, "<Default>", nullptr));
  dlg->Show();
  wxtest::settle();
  EXPECT_TRUE(area_.Contains(dlg->GetScreenRect())) << text(dlg->GetScreenRect()) << " in " << text(area_);
  for (wxWindow* button : {dlg->FindWindow(wxID_OK), static_cast<wxWindow*>(dlg->SaveButton())}) {
    ASSERT_NE(button, nullptr);
    EXPECT_TRUE(area_.Contains(button->GetScreenRect()))
        << button->GetLabel() << " at " << text(button->GetScreenRect());
  }
  wxtest::screenshot(dlg, "lumetra-profile-editor-restored.png");
}

}  // namespace
