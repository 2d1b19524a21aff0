#include "config/ui/CfgProfileEditDlg.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <wx/button.h>
#include <wx/choice.h>
#include <wx/propgrid/manager.h>
#include <wx/textctrl.h>

#include "WxFixture.h"
#include "config/ui/WxText.h"

namespace {

using lumetra::FromWx;
using M = lumetra::ProfileEditModel;
namespace ui = platform::ui;

class EditorWindowTest : public wxtest::WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    if (IsSkipped()) return;
    map_.LoadDefaultProfile(&regions_);
    add(map_, profile("Lab"));
    add(map_, profile("Night"));
  }
  CCfgProfileEditDlg* openEditor(const std::string& current = "Lab") {
    auto* dlg = keep(new CCfgProfileEditDlg(&map_, current, nullptr));
    dlg->Show();
    wxtest::settle();
    return dlg;
  }
  static wxPGProperty* item(CCfgProfileEditDlg* dlg, int id) {
    wxPGProperty* p = dlg->Item(id);
    EXPECT_NE(p, nullptr) << id;
    return p;
  }
  static std::string value(CCfgProfileEditDlg* dlg, int id) {
    return FromWx(item(dlg, id)->GetValueAsString());
  }
  // A choice made on the grid, as the user makes it: checked by the rules, then taken.
  static bool choose(CCfgProfileEditDlg* dlg, int id, const char* text) {
    wxPGProperty* p = item(dlg, id);
    const int index = p->GetChoices().Index(text);
    return dlg->Grid()->ChangePropertyValue(
               p, index >= 0 ? wxVariant(static_cast<long>(index)) : wxVariant(text)) &&
           value(dlg, id) == text;
  }
  static void click(wxButton* button) {
    wxCommandEvent e(wxEVT_BUTTON, button->GetId());
    e.SetEventObject(button);
    button->ProcessWindowEvent(e);
  }
  static void select(CCfgProfileEditDlg* dlg, const char* name) {
    dlg->ProfileList()->SetStringSelection(name);
    wxCommandEvent e(wxEVT_CHOICE, dlg->ProfileList()->GetId());
    e.SetEventObject(dlg->ProfileList());
    dlg->ProfileList()->ProcessWindowEvent(e);
  }

  CCarouselCfgProfileMap map_;
};

TEST_F(EditorWindowTest, OpensOnTheCurrentProfileWithItsControls) {
  CCfgProfileEditDlg* dlg = openEditor();
  EXPECT_EQ(dlg->GetTitle(), "Profile Editor");
  ASSERT_EQ(dlg->ProfileList()->GetCount(), 3u);
  EXPECT_EQ(dlg->ProfileList()->GetStringSelection(), "Lab");
  EXPECT_EQ(value(dlg, M::kDyeChannel), "R+G");
  EXPECT_EQ(value(dlg, M::kScanRegion), "Full Slide");
  EXPECT_EQ(value(dlg, M::kResolution), "5 um");
  EXPECT_EQ(value(dlg, M::kOutputPath), dataDir());
  EXPECT_EQ(item(dlg, M::kDyxRatio)->GetHelpString().substr(0, 11), "Sensitivity");
  EXPECT_FALSE(item(dlg, M::kCustom1)->IsVisible());
  EXPECT_FALSE(dlg->SaveButton()->IsEnabled());
  EXPECT_FALSE(dlg->RemoveButton()->IsEnabled());  // the main window's profile
  for (int id : {3190, 3200, 3201}) EXPECT_TRUE(dlg->FindWindow(id)->IsEnabled()) << id;

  choose(dlg, M::kPrefix1, "<Customize>");
  EXPECT_TRUE(item(dlg, M::kCustom1)->IsVisible());
  EXPECT_TRUE(dlg->SaveButton()->IsEnabled());
  wxtest::screenshot(dlg, "lumetra-profile-editor.png");
  for (const wxSize screen : {wxSize(1280, 1024), wxSize(1024, 768)}) {
    EXPECT_THAT(wxtest::layoutFaultsOnScreen(dlg, screen), testing::IsEmpty()) << screen.x;
  }
  // Every row shows without scrolling, the last ("Split/rotate image") too.
  wxPropertyGrid* rows = dlg->Grid()->GetGrid();
  EXPECT_LE(rows->GetVirtualSize().y, rows->GetClientSize().y);

  auto* none = keep(new CCfgProfileEditDlg(&map_, "Gone", nullptr));
  EXPECT_EQ(none->ProfileList()->GetCount(), 0u);
  EXPECT_EQ(none->Grid()->GetPage(0)->GetRoot()->GetChildCount(), 0u);
  EXPECT_FALSE(none->FindWindow(3190)->IsEnabled());
}

TEST_F(EditorWindowTest, GridEditsFollowTheRulesAndReachTheProfile) {
  CCfgProfileEditDlg* dlg = openEditor();
  EXPECT_TRUE(choose(dlg, M::kTiffRange, "20 bit"));
  EXPECT_TRUE(item(dlg, M::kDyxRatio)->HasFlag(wxPG_PROP_READONLY));
  EXPECT_TRUE(item(dlg, M::kSplitRotate)->HasFlag(wxPG_PROP_READONLY));
  EXPECT_TRUE(dlg->SaveButton()->IsEnabled());
  EXPECT_FALSE(choose(dlg, M::kSplitRotate, "Yes"));
  EXPECT_EQ(captions_.back(), "Select Split And Rotate Option");
  EXPECT_EQ(value(dlg, M::kSplitRotate), "No");

  EXPECT_TRUE(choose(dlg, M::kTiffRange, "16 bit"));
  EXPECT_TRUE(choose(dlg, M::kDyxRatio, "0.50"));
  EXPECT_TRUE(item(dlg, M::kTiffRange)->HasFlag(wxPG_PROP_READONLY));
  EXPECT_TRUE(choose(dlg, M::kRedGain, "5%"));
  EXPECT_EQ(value(dlg, M::kDyxRatio), "<No Dyx>");  // no ratio possible any more
  EXPECT_EQ(item(dlg, M::kDyxRatio)->GetChoices().GetCount(), 1u);

  dlg->Grid()->ChangePropertyValue(item(dlg, M::kDescription), wxVariant("edited"));
  click(dlg->SaveButton());
  EXPECT_FALSE(dlg->SaveButton()->IsEnabled());
  const tagScanCfgStruct* lab = map_.Lookup("Lab");
  EXPECT_EQ(lab->Description, "edited");
  EXPECT_EQ(lab->PMTRed, 5);
  EXPECT_TRUE(dlg->ProfileListChanged());
  EXPECT_TRUE(dlg->CurrentProfileChanged());
  EXPECT_FALSE(dlg->DefaultProfileChanged());
}

TEST_F(EditorWindowTest, SwitchingSavingAsAndRemoving) {
  CCfgProfileEditDlg* dlg = openEditor();
  dlg->Grid()->ChangePropertyValue(item(dlg, M::kDescription), wxVariant("dropped"));
  answers_ = {ui::IDNO};
  select(dlg, "Night");
  EXPECT_EQ(boxes_.back(), "Loaded profile has been modified. Do you want to save the change?");
  EXPECT_EQ(value(dlg, M::kDescription), "Night settings");
  EXPECT_TRUE(dlg->RemoveButton()->IsEnabled());
  EXPECT_EQ(map_.Lookup("Lab")->Description, "Lab settings");

  dlg->AskProfileName = [](const std::string& old) -> std::optional<std::string> {
    EXPECT_EQ(old, "Night");
    return std::string("Copy");
  };
  click(static_cast<wxButton*>(dlg->FindWindow(CCfgProfileEditDlg::kIdSaveAs)));
  ASSERT_NE(map_.Lookup("Copy"), nullptr);
  EXPECT_EQ(dlg->ProfileList()->GetStringSelection(), "Copy");
  EXPECT_EQ(dlg->ProfileList()->GetCount(), 4u);

  dlg->Grid()->ChangePropertyValue(item(dlg, M::kDescription), wxVariant("about to go"));
  clearBoxes();
  click(dlg->RemoveButton());
  EXPECT_EQ(map_.Lookup("Copy"), nullptr);
  EXPECT_EQ(dlg->ProfileList()->GetStringSelection(), "<Default>");
  EXPECT_EQ(dlg->ProfileList()->GetCount(), 3u);
  EXPECT_FALSE(dlg->RemoveButton()->IsEnabled());
  select(dlg, "Lab");
  EXPECT_TRUE(boxes_.empty());  // nothing offers to save into the removed profile
}

TEST_F(EditorWindowTest, ExportThenImportThroughTheButtons) {
  CCfgProfileEditDlg* dlg = openEditor();
  const std::string file = tempDir() + "/exported.pfl";
  dlg->AskFile = [&](bool exporting) -> std::optional<std::string> {
    EXPECT_TRUE(exporting);
    return file;
  };
  click(static_cast<wxButton*>(dlg->FindWindow(CCfgProfileEditDlg::kIdExport)));
  EXPECT_FALSE(testsupport::readFile(file).empty());

  map_.RemoveKey("Night");
  map_.Lookup("Lab")->PMTGreen = 30;
  auto* again = openEditor();
  again->AskFile = [&](bool exporting) -> std::optional<std::string> {
    EXPECT_FALSE(exporting);
    return file;
  };
  answers_ = {ui::IDYES};
  clearBoxes();
  click(static_cast<wxButton*>(again->FindWindow(CCfgProfileEditDlg::kIdImport)));
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(again->ProfileList()->GetCount(), 3u);
  EXPECT_EQ(map_.Lookup("Lab")->PMTGreen, 100);
  EXPECT_EQ(value(again, M::kGreenGain), "100%");
  EXPECT_TRUE(again->CurrentProfileChanged());
}

TEST_F(EditorWindowTest, TheNameDialogRefusesNamesInUse) {
  auto* dlg = keep(new CProfileNameDlg("Lab", &map_, nullptr));
  EXPECT_EQ(dlg->GetTitle(), "Save Profile As");
  EXPECT_EQ(dlg->NameBox()->GetValue(), "NewProfile");
  EXPECT_EQ(dlg->NameBox()->GetId(), CProfileNameDlg::kIdName);
  dlg->NameBox()->SetValue("Night");
  EXPECT_FALSE(dlg->TryOk());
  EXPECT_EQ(boxes_.back(), "A profile with the specified name already exists.");
  dlg->NameBox()->SetValue(" Evening ");
  EXPECT_TRUE(dlg->TryOk());
  EXPECT_EQ(dlg->NewName(), "Evening");
}

}  // namespace
