#include "config/ProfileEditModel.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "ProfileFixture.h"
#include "platform/files.h"

namespace {

using lumetra::ProfileEditModel;
using ::testing::ElementsAre;
using M = ProfileEditModel;
namespace ui = platform::ui;

class ProfileEditTest : public ProfileTest {
 protected:
  ProfileEditTest() {
    map_.LoadDefaultProfile(&regions_);
    add(map_, profile("Lab"));
    add(map_, profile("Night"));
  }
  // Opens an editor on the map with `current` as the main window's profile, loading
  // `load` when it differs.
  std::unique_ptr<M> open(const std::string& current = "Lab", const std::string& load = "") {
    auto m = std::make_unique<M>(&map_, current);
    EXPECT_TRUE(m->Open());
    if (!load.empty()) {
      EXPECT_TRUE(m->SelectProfile(load));
    }
    clearBoxes();
    return m;
  }
  // An edit as the window delivers it: checked, then taken when accepted.
  static bool edit(M& m, int id, const std::string& value) {
    if (!m.Changing(id, value)) return false;
    m.Changed(id, value);
    return true;
  }

  CCarouselCfgProfileMap map_;
};

TEST_F(ProfileEditTest, OpensOnTheMainWindowsProfile) {
  EXPECT_FALSE(M(nullptr, "Lab").Open());
  M missing(&map_, "Gone");
  EXPECT_FALSE(missing.Open());
  EXPECT_FALSE(missing.Loaded());
  EXPECT_TRUE(missing.ItemOrder().empty());
  EXPECT_FALSE(missing.SaveEnabled() || missing.RemoveEnabled());

  auto m = open();
  EXPECT_EQ(m->LoadedName(), "Lab");
  EXPECT_THAT(m->ProfileNames(), ElementsAre("<Default>", "Lab", "Night"));
  EXPECT_EQ(m->ItemOrder().size(), 16u);
  EXPECT_EQ(m->Text(M::kResolution), "5 um");
  EXPECT_EQ(m->Text(M::kRedGain), "100%");
  EXPECT_EQ(m->Text(M::kDyxRatio), "<No Dyx>");
  EXPECT_EQ(m->Text(M::kTiffRange), "16 bit");
  EXPECT_EQ(m->Text(M::kSplitRotate), "No");
  EXPECT_EQ(m->Text(M::kPrefix1), "<Instrument Serial #>");
  EXPECT_TRUE(m->GetItem(M::kCustom1).hidden);
  EXPECT_EQ(m->GetItem(M::kCustom1).parent, M::kPrefix1);
  EXPECT_THAT(m->GetItem(M::kScanRegion).choices, ElementsAre("Array B", "Full Slide", "left Half"));
  EXPECT_EQ(m->GetItem(M::kDyxRatio).choices.size(), 6u);
  EXPECT_THAT(m->GetItem(M::kTiffRange).choices, ElementsAre("16 bit", "20 bit"));
  EXPECT_EQ(m->GetItem(M::kDyeChannel).category, "Scan Settings");
  EXPECT_FALSE(m->SaveEnabled());
  EXPECT_FALSE(m->RemoveEnabled());  // the main window's profile
  ASSERT_TRUE(m->SelectProfile("Night"));
  EXPECT_TRUE(m->RemoveEnabled());
  ASSERT_TRUE(m->SelectProfile("<Default>"));
  EXPECT_FALSE(m->RemoveEnabled());
  EXPECT_TRUE(boxes_.empty());
}

TEST_F(ProfileEditTest, LoadingShowsCustomPrefixesAndRepairsForbiddenRatios) {
  tagScanCfgStruct p = profile("Odd");
  p.AutoNamingPrefix1 = "RUN";
  p.AutoNamingPrefix2 = "<Slot #>";
  p.Tiff32Bit = 1;
  p.DyxRatioType = 2;
  add(map_, p);
  auto m = open("Lab", "Odd");
  EXPECT_EQ(m->Text(M::kPrefix1), M::kCustomize);
  EXPECT_EQ(m->Text(M::kCustom1), "RUN");
  EXPECT_FALSE(m->GetItem(M::kCustom1).hidden);
  EXPECT_TRUE(m->GetItem(M::kCustom2).hidden);
  EXPECT_EQ(m->Text(M::kDyxRatio), "<No Dyx>");
  EXPECT_TRUE(m->GetItem(M::kDyxRatio).readOnly);
  EXPECT_THAT(m->GetItem(M::kDyxRatio).choices, ElementsAre("<No Dyx>"));
  EXPECT_TRUE(m->GetItem(M::kSplitRotate).readOnly);
  EXPECT_TRUE(m->SaveEnabled());  // counts as modified at once

  ASSERT_EQ(m->Save(), M::SaveResult::Saved);
  const tagScanCfgStruct* saved = map_.Lookup("Odd");
  EXPECT_EQ(saved->DyxRatioType, 0);
  EXPECT_EQ(saved->AutoNamingPrefix1, "RUN");
  EXPECT_TRUE(m->ListChanged);
  EXPECT_FALSE(m->CurrentChanged || m->DefaultChanged);
}

TEST_F(ProfileEditTest, ConsistencyRulesBetweenRatioTiffAndSplit) {
  struct Step {
    int id;
    const char* value;
    bool accepted;
    const char* caption;  // of the refusal
  };
  struct Case {
    const char* what;
    std::vector<Step> steps;
  } cases[] = {
      {"20 bit refused during a Dyx scan, accepted without",
       {{M::kDyxRatio, "0.50", true, ""},
        {M::kTiffRange, "20 bit", false, "TIFF File Dynamic Range Option"},
        {M::kDyxRatio, "<No Dyx>", true, ""},
        {M::kTiffRange, "20 bit", true, ""}}},
      {"a ratio is refused as soon as 20 bit is chosen, saved or not",
       {{M::kTiffRange, "20 bit", true, ""}, {M::kDyxRatio, "0.50", false, "Dyx Scan Option"}}},
      {"split and rotate refused with 20 bit",
       {{M::kTiffRange, "20 bit", true, ""},
        {M::kSplitRotate, "Yes", false, "Select Split And Rotate Option"}}},
      {"split and rotate refused during a Dyx scan",
       {{M::kDyxRatio, "0.20", true, ""}, {M::kSplitRotate, "Yes", false, "Select Split And Rotate Option"}}},
      {"under split and rotate neither 20 bit nor a ratio",
       {{M::kSplitRotate, "Yes", true, ""},
        {M::kTiffRange, "20 bit", false, "Tiff Dynamic Range Option"},
        {M::kDyxRatio, "0.10", false, "Dyx Scan Option"},
        {M::kResolution, "2 um", true, ""},
        {M::kSplitRotate, "No", true, ""},
        {M::kDyxRatio, "0.10", true, ""}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto m = open();
    for (const Step& s : c.steps) {
      clearBoxes();
      const std::string before = m->Text(s.id);
      EXPECT_EQ(edit(*m, s.id, s.value), s.accepted) << s.value;
      if (s.accepted) {
        EXPECT_TRUE(boxes_.empty());
        EXPECT_EQ(m->Text(s.id), s.value);
      } else {
        ASSERT_EQ(captions_.size(), 1u);
        EXPECT_EQ(captions_[0], s.caption);
        EXPECT_EQ(types_[0], ui::MB_ICONERROR);
        EXPECT_EQ(m->Text(s.id), before);
      }
    }
  }

  auto m = open();
  edit(*m, M::kTiffRange, "20 bit");
  EXPECT_TRUE(m->GetItem(M::kDyxRatio).readOnly);
  EXPECT_TRUE(m->GetItem(M::kSplitRotate).readOnly);
  EXPECT_EQ(m->Edited().Tiff32Bit, 0);  // the flag itself changes only when saved
  edit(*m, M::kTiffRange, "16 bit");
  edit(*m, M::kDyxRatio, "0.50");
  EXPECT_TRUE(m->GetItem(M::kTiffRange).readOnly);
  EXPECT_THAT(m->GetItem(M::kTiffRange).choices, ElementsAre("16 bit"));
  edit(*m, M::kDyxRatio, "<No Dyx>");
  edit(*m, M::kSplitRotate, "Yes");
  EXPECT_TRUE(m->GetItem(M::kTiffRange).readOnly);
  EXPECT_TRUE(m->GetItem(M::kDyxRatio).readOnly);
  EXPECT_EQ(boxes_.size(), 0u);
  EXPECT_EQ(m->Changing(M::kTiffRange, "16 bit"), true);
}

TEST_F(ProfileEditTest, GainChangesKeepTheRatioPossible) {
  struct Case {
    const char* ratio;
    int id;
    const char* gain;
    const char* expect;
    std::size_t choices;
  } cases[] = {
      {"0.50", M::kRedGain, "5%", "<No Dyx>", 1},
      {"0.05", M::kGreenGain, "10%", "0.10", 5},
      {"0.33", M::kGreenGain, "20%", "0.33", 6},
  };
  for (const Case& c : cases) {
    auto m = open();
    edit(*m, M::kDyxRatio, c.ratio);
    edit(*m, c.id, c.gain);
    EXPECT_EQ(m->Text(M::kDyxRatio), c.expect) << c.gain;
    EXPECT_EQ(m->GetItem(M::kDyxRatio).choices.size(), c.choices) << c.gain;
  }
}

TEST_F(ProfileEditTest, SavingSetsTheFlagsTheCallerReads) {
  auto m = open("Lab");
  EXPECT_EQ(m->Save(), M::SaveResult::Unchanged);
  EXPECT_FALSE(m->ListChanged || m->CurrentChanged || m->DefaultChanged);

  edit(*m, M::kResolution, "3 um double pass");
  edit(*m, M::kRedGain, "70%");
  edit(*m, M::kDyxRatio, "0.20");
  edit(*m, M::kPrefix2, M::kCustomize);
  EXPECT_FALSE(m->GetItem(M::kCustom2).hidden);
  edit(*m, M::kCustom2, "Batch7");
  EXPECT_TRUE(m->SaveEnabled());
  ASSERT_EQ(m->Save(), M::SaveResult::Saved);
  EXPECT_FALSE(m->SaveEnabled());
  const tagScanCfgStruct* lab = map_.Lookup("Lab");
  EXPECT_EQ(lab->ResolutionType, 3);
  EXPECT_EQ(lab->DoublePassScan, 1);
  EXPECT_EQ(lab->PMTRed, 70);
  EXPECT_EQ(lab->DyxRatioType, 3);
  EXPECT_EQ(lab->AutoNamingPrefix2, "Batch7");
  EXPECT_EQ(lab->RegionMap, &regions_);
  EXPECT_TRUE(m->ListChanged && m->CurrentChanged);
  EXPECT_FALSE(m->DefaultChanged);

  // A later change of the custom text still counts while the list reads "<Customize>".
  edit(*m, M::kCustom2, "Batch8");
  ASSERT_EQ(m->Save(), M::SaveResult::Saved);
  EXPECT_EQ(lab->AutoNamingPrefix2, "Batch8");

  // A custom text that is no file name: the typing does not count, the save is refused.
  edit(*m, M::kCustom2, "a:b");
  EXPECT_FALSE(m->Unsaved);
  EXPECT_EQ(m->Save(), M::SaveResult::Refused);
  EXPECT_EQ(lab->AutoNamingPrefix2, "Batch8");

  ASSERT_TRUE(m->SelectProfile("<Default>"));
  edit(*m, M::kDescription, "changed");
  ASSERT_EQ(m->Save(), M::SaveResult::Saved);
  EXPECT_TRUE(m->DefaultChanged);
}

TEST_F(ProfileEditTest, SwitchingProfilesWithUnsavedEdits) {
  auto m = open();
  edit(*m, M::kDescription, "dropped");
  answers_ = {ui::IDNO};
  ASSERT_TRUE(m->SelectProfile("Night"));
  EXPECT_EQ(boxes_,
            std::vector<std::string>{"Loaded profile has been modified. Do you want to save the change?"});
  EXPECT_EQ(captions_[0], "Select Profile");
  EXPECT_EQ(map_.Lookup("Lab")->Description, "Lab settings");
  EXPECT_EQ(m->LoadedName(), "Night");

  edit(*m, M::kDescription, "kept");
  answers_ = {ui::IDYES};
  ASSERT_TRUE(m->SelectProfile("Lab"));
  EXPECT_EQ(map_.Lookup("Night")->Description, "kept");

  // Yes, but the save is refused: the editor stays on the edits instead of losing them.
  edit(*m, M::kPrefix1, M::kCustomize);
  m->Changed(M::kCustom1, "x|y");
  edit(*m, M::kDescription, "precious");
  answers_ = {ui::IDYES};
  clearBoxes();
  EXPECT_FALSE(m->SelectProfile("Night"));
  EXPECT_EQ(m->LoadedName(), "Lab");
  EXPECT_EQ(m->Text(M::kDescription), "precious");
  EXPECT_TRUE(m->Unsaved);
  EXPECT_EQ(boxes_.size(), 2u);  // the question and the file-name message

  EXPECT_FALSE(m->SelectProfile("Nobody"));
  EXPECT_EQ(m->LoadedName(), "Lab");
}

TEST_F(ProfileEditTest, SaveAsAndTheNameDialog) {
  auto m = open("Lab", "Night");
  edit(*m, M::kGreenGain, "60%");

  std::string name = "Night";
  EXPECT_FALSE(M::NameDialogAccepts(&map_, name));
  EXPECT_EQ(boxes_.back(), "A profile with the specified name already exists.");
  EXPECT_EQ(captions_.back(), "Profile Exists");
  name = "   ";
  EXPECT_FALSE(M::NameDialogAccepts(&map_, name));
  name = "  Fresh ";
  EXPECT_TRUE(M::NameDialogAccepts(&map_, name));
  EXPECT_EQ(name, "Fresh");

  clearBoxes();
  EXPECT_FALSE(m->SaveAs("Night"));
  EXPECT_EQ(boxes_, std::vector<std::string>{"Please change the name for the new profile."});
  EXPECT_EQ(captions_[0], "Save Profile 'Night' As 'Night'");
  EXPECT_FALSE(m->SaveAs("Lab"));
  EXPECT_EQ(captions_.back(), "Profile Exists");
  EXPECT_EQ(m->Edited().Name, "Night");  // a refused name does not stick to the edits

  ASSERT_TRUE(m->SaveAs("Fresh"));
  EXPECT_EQ(m->LoadedName(), "Fresh");
  EXPECT_FALSE(m->Unsaved);
  EXPECT_TRUE(m->ListChanged);
  EXPECT_TRUE(m->RemoveEnabled());
  ASSERT_NE(map_.Lookup("Fresh"), nullptr);
  EXPECT_EQ(map_.Lookup("Fresh")->PMTGreen, 60);
  EXPECT_EQ(map_.Lookup("Fresh")->Name, "Fresh");
  EXPECT_EQ(map_.Lookup("Night")->PMTGreen, 100);

  // Saving now goes into the new profile.
  edit(*m, M::kDescription, "new one");
  ASSERT_EQ(m->Save(), M::SaveResult::Saved);
  EXPECT_EQ(map_.Lookup("Fresh")->Description, "new one");
  EXPECT_EQ(map_.Lookup("Night")->Description, "Night settings");
}

TEST_F(ProfileEditTest, RemoveDropsTheRemovedProfilesEdits) {
  auto m = open("Lab", "Night");
  edit(*m, M::kDescription, "never saved");
  ASSERT_TRUE(m->Remove());
  EXPECT_EQ(map_.Lookup("Night"), nullptr);
  EXPECT_EQ(m->LoadedName(), "<Default>");
  EXPECT_FALSE(m->Unsaved);
  EXPECT_TRUE(m->ListChanged);
  EXPECT_TRUE(boxes_.empty());
  // Selecting another profile afterwards asks nothing.
  ASSERT_TRUE(m->SelectProfile("Lab"));
  EXPECT_TRUE(boxes_.empty());

  // Neither the main window's profile nor the default one.
  EXPECT_FALSE(m->Remove());
  EXPECT_EQ(boxes_, std::vector<std::string>{"The profile you are trying to remove is currently in use."});
  EXPECT_EQ(captions_[0], "Remove Profile 'Lab'");
  ASSERT_TRUE(m->SelectProfile("<Default>"));
  EXPECT_FALSE(m->Remove());
  EXPECT_NE(map_.GetDefault(), nullptr);
}

TEST_F(ProfileEditTest, ExportAndImportRoundTripIgnoringTheDefaultProfile) {
  const std::string file = tempDir() + "/" + M::ProposedExportName();
  EXPECT_EQ(M::ProposedExportName(), "NewCarouselCfg.pfl");
  EXPECT_EQ(M::FileFilter(), "Tarsel Carousel Configuration Profile Files(*pfl)|*pfl");
  {
    auto m = open();
    ASSERT_TRUE(m->Export(file));
    EXPECT_FALSE(m->ListChanged);
  }

  // The same list again: nothing new, even though this list's default profile differs
  // from the one the reader builds from the registry.
  map_.GetDefault()->Description = "edited, not yet written to the registry";
  {
    auto m = open();
    const auto r = m->Import(file);
    EXPECT_EQ(r.total, 2);
    EXPECT_EQ(boxes_, std::vector<std::string>{"No new or modified profiles found in file"});
    EXPECT_EQ(types_[0], ui::MB_ICONWARNING);
    EXPECT_FALSE(m->ListChanged);
  }
  EXPECT_EQ(map_.GetDefault()->Description, "edited, not yet written to the registry");

  // One new and one modified; No adds only the new one.
  map_.RemoveKey("Night");
  map_.Lookup("Lab")->PMTRed = 40;
  {
    auto m = open();
    answers_ = {ui::IDNO};
    const auto r = m->Import(file);
    ASSERT_EQ(boxes_.size(), 1u);
    EXPECT_EQ(
        boxes_[0],
        "Total 2 profiles found from the import file: New profile = 1, modified = 1.\r\nDo you want to "
        "update "
        "current list?\r\n\r\nClick Yes to add new and overwrite existing profile;\r\nClick No to add new "
        "profile only;\r\nClick Cancel to stop importing.");
    EXPECT_EQ(r.added, 1);
    EXPECT_EQ(r.overwritten, 0);
    EXPECT_NE(map_.Lookup("Night"), nullptr);
    EXPECT_EQ(map_.Lookup("Lab")->PMTRed, 40);
    EXPECT_TRUE(m->ListChanged);
    EXPECT_FALSE(m->CurrentChanged);
  }
  // Only the modified one left; Yes overwrites it, and the loaded copy follows.
  {
    auto m = open();
    edit(*m, M::kDescription, "unsaved");
    answers_ = {ui::IDYES};
    const auto r = m->Import(file);
    EXPECT_EQ(boxes_.back(),
              "Total 1 modified profile found from the import file.\r\nDo you want to overwrite existing "
              "profile on "
              "current list?");
    EXPECT_EQ(r.overwritten, 1);
    EXPECT_EQ(map_.Lookup("Lab")->PMTRed, 100);
    EXPECT_TRUE(m->CurrentChanged);
    EXPECT_EQ(m->Text(M::kRedGain), "100%");
    EXPECT_FALSE(m->Unsaved);
  }
  // Only new ones, refused.
  map_.RemoveKey("Night");
  map_.RemoveKey("Lab");
  add(map_, profile("Other"));
  {
    auto m = open("Other");
    answers_ = {ui::IDNO};
    m->Import(file);
    EXPECT_EQ(boxes_.back(),
              "Total 2 new profiles found from the import file.\r\nDo you want to add new profile to current "
              "list?");
    EXPECT_EQ(map_.GetCount(), 2);
    EXPECT_FALSE(m->ListChanged);
  }
  // A file without profiles.
  {
    auto m = open("Other");
    m->Import(tempDir() + "/missing.pfl");
    EXPECT_EQ(boxes_, std::vector<std::string>{"No any vaild profile found from the import file!"});
    testsupport::writeFile(tempDir() + "/empty.pfl", "[Profiles]\nCount=0\n");
    clearBoxes();
    m->Import(tempDir() + "/empty.pfl");
    EXPECT_EQ(boxes_, std::vector<std::string>{"No any vaild profile found from the import file!"});
  }
  // Exporting into a folder that does not exist says so.
  {
    auto m = open("Other");
    EXPECT_FALSE(m->Export(tempDir() + "/no/such/folder/x.pfl"));
    EXPECT_EQ(captions_.back(), "Export Carousel Configuration Profile");
  }
}

}  // namespace
