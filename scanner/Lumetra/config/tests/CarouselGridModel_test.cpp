#include "config/CarouselGridModel.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "ProfileFixture.h"
#include "config/ConfigUi.h"

namespace {

using lumetra::CarouselGridModel;
using ::testing::ElementsAre;
using M = CarouselGridModel;

class GridModelTest : public ProfileTest {
 protected:
  GridModelTest() : profile_(profile("Lab")) { model_.SetCurrentProfile(&profile_, true); }

  // One cell as the selection.
  static M::Selection cell(int row, int col) { return M::Selection{row, row, col, col, {}}; }
  static M::Selection column(int firstRow, int lastRow, int col) {
    return M::Selection{firstRow, lastRow, col, col, {}};
  }
  // Runs the refresh pass over everything and returns the views.
  std::vector<std::vector<M::CellView>> refresh() {
    std::vector<std::vector<M::CellView>> views(model_.RowCount(), std::vector<M::CellView>(M::kColumnCount));
    model_.RefreshCells(0, model_.RowCount() - 1, 0, M::kColumnCount - 1,
                        [&](int row, int col, const M::CellView& v) { views[row][col] = v; });
    return views;
  }

  tagScanCfgStruct profile_;
  CarouselGridModel model_;
};

TEST_F(GridModelTest, RowsAndSlotsMapBothWaysAtTheRangeEdges) {
  ASSERT_TRUE(model_.SetSlotRange(5, 7));
  EXPECT_EQ(model_.RowCount(), 3);
  struct Case {
    int row, slot;
  } rows[] = {{-1, 0}, {0, 5}, {1, 6}, {2, 7}, {3, 0}};
  for (const Case& c : rows) EXPECT_EQ(model_.SlotOfRow(c.row), c.slot) << "row " << c.row;
  struct SlotCase {
    int slot, row;
  } slots[] = {{4, -1}, {5, 0}, {7, 2}, {8, -1}, {0, -1}, {49, -1}};
  for (const SlotCase& c : slots) EXPECT_EQ(model_.RowOfSlot(c.slot), c.row) << "slot " << c.slot;

  EXPECT_EQ(model_.GetSlotCfg(4), nullptr);
  EXPECT_EQ(model_.GetSlotCfg(8), nullptr);
  EXPECT_EQ(model_.RowRecord(3), nullptr);
  // Row 0 is slot 5's own record, not slot 6's.
  const std::string id = "S5";
  model_.SetSlotEnabled(5, true, &id);
  EXPECT_EQ(model_.RowRecord(0)->SlideID, "S5");
  EXPECT_EQ(model_.GetSlotCfg(5), model_.RowRecord(0));
  EXPECT_EQ(model_.GetSlotCfg(7), model_.RowRecord(2));

  // A selection of slots 1..6 shows as rows 0..1 after the change; slots 8..10 not at all.
  EXPECT_EQ(model_.RowsOfSlots(1, 6), std::make_pair(0, 1));
  EXPECT_EQ(model_.RowsOfSlots(6, 48), std::make_pair(1, 2));
  EXPECT_EQ(model_.RowsOfSlots(8, 10), std::nullopt);

  struct RangeCase {
    int first, last;
    bool changed;
  } ranges[] = {{5, 7, false}, {0, 3, false}, {5, 49, false}, {7, 5, false}, {48, 48, true}, {1, 48, true}};
  for (const RangeCase& c : ranges)
    EXPECT_EQ(model_.SetSlotRange(c.first, c.last), c.changed) << c.first << ".." << c.last;
  EXPECT_EQ(model_.SlotOfRow(47), 48);
  EXPECT_EQ(model_.GetSlotCfg(5)->SlideID, "S5");  // slots outside a range keep their records
}

TEST_F(GridModelTest, ValuesDifferentFromTheProfileAreBold) {
  auto views = refresh();
  EXPECT_EQ(views[0][M::kColSlideID].text, M::kAutoDetect);
  for (int col = 0; col < M::kColumnCount; ++col) EXPECT_FALSE(views[0][col].bold) << col;
  EXPECT_EQ(views[0][M::kColChannels].text, "R+G");
  EXPECT_EQ(views[0][M::kColRegion].text, "Full Slide");
  EXPECT_EQ(views[0][M::kColResolution].text, "5 um");
  EXPECT_EQ(views[0][M::kColTiff].text, "16 bit");
  EXPECT_EQ(views[0][M::kColPMTRed].text, "100%");
  EXPECT_EQ(views[0][M::kColDyx].text, "<No Dyx>");
  EXPECT_EQ(views[0][M::kColOutputPath].kind, M::CellKind::Folder);
  EXPECT_EQ(views[0][M::kColRegion].list, M::kListRegion);

  struct Case {
    int col;
    const char* choice;
    const char* shown;
  } cases[] = {{M::kColChannels, "R", "R"},         {M::kColRegion, "Array B", "Array B"},
               {M::kColResolution, "2 um", "2 um"}, {M::kColTiff, "20 bit", "20 bit"},
               {M::kColPMTRed, "90%", "90%"},       {M::kColPMTGreen, "80%", "80%"},
               {M::kColDyx, "0.33", "0.33"}};
  int row = 0;
  for (const Case& c : cases) {
    const auto result = model_.ApplyChoice(cell(row, c.col), c.choice);
    EXPECT_TRUE(result.changed) << c.choice;
    views = refresh();
    EXPECT_EQ(views[row][c.col].text, c.shown);
    EXPECT_TRUE(views[row][c.col].bold) << c.choice;
    EXPECT_FALSE(views[row + 1][c.col].bold);
    ++row;
  }
  model_.SetOutputFolder(cell(9, M::kColOutputPath), "/elsewhere");
  EXPECT_EQ(model_.EndTextEdit(10, M::kColDescription, "other"), M::EditEnd::Stored);
  EXPECT_EQ(model_.EndTextEdit(11, M::kColSlideID, "BC123"), M::EditEnd::Stored);
  views = refresh();
  EXPECT_TRUE(views[9][M::kColOutputPath].bold);
  EXPECT_TRUE(views[10][M::kColDescription].bold);
  EXPECT_TRUE(views[11][M::kColSlideID].bold);
  EXPECT_EQ(views[11][M::kColSlideID].text, "BC123");

  // Choosing the profile's value again makes it plain.
  model_.ApplyChoice(cell(0, M::kColChannels), "R+G");
  EXPECT_FALSE(refresh()[0][M::kColChannels].bold);
}

TEST_F(GridModelTest, ASlotNotInUseShowsNoChipAndForgetsItsSettings) {
  model_.ApplyChoice(cell(3, M::kColChannels), "G");
  model_.SetSlotEnabled(4, false, nullptr);
  EXPECT_FALSE(model_.IsSlotUsed(4));
  const auto views = refresh();
  EXPECT_EQ(views[3][0].text, M::kNoChip);
  EXPECT_TRUE(views[3][0].bold);
  for (int col = 1; col < M::kColumnCount; ++col) {
    EXPECT_EQ(views[3][col].text, "") << col;
    EXPECT_TRUE(views[3][col].readOnly) << col;
  }
  EXPECT_EQ(model_.GetSlotCfg(4)->DyeChannels, "R+G");

  // Used again with a barcode: the identifier replaces the stored one.
  const std::string barcode = "0001234";
  model_.SetSlotEnabled(4, true, &barcode);
  EXPECT_EQ(model_.GetSlotCfg(4)->SlideID, barcode);
  const std::string empty;
  model_.SetSlotEnabled(4, true, &empty);
  EXPECT_EQ(model_.GetSlotCfg(4)->SlideID, "");
  EXPECT_THROW(model_.SetSlotEnabled(0, true, nullptr), std::invalid_argument);
  EXPECT_THROW(model_.SetSlotEnabled(49, false, nullptr), std::invalid_argument);
}

TEST_F(GridModelTest, SplitAndRotateAllowsOnly16BitAndNoDyx) {
  model_.ApplyChoice(column(0, 1, M::kColDyx), "0.50");
  model_.ApplyChoice(cell(2, M::kColTiff), "20 bit");
  profile_.SplitAndRotate = 1;
  model_.SetCurrentProfile(&profile_, false);
  const auto views = refresh();
  for (int row : {0, 1, 2}) {
    EXPECT_EQ(views[row][M::kColTiff].text, "16 bit");
    EXPECT_TRUE(views[row][M::kColTiff].readOnly);
    EXPECT_EQ(views[row][M::kColTiff].kind, M::CellKind::Plain);
    EXPECT_EQ(views[row][M::kColDyx].text, "<No Dyx>");
    EXPECT_TRUE(views[row][M::kColDyx].readOnly);
  }
  EXPECT_EQ(model_.GetSlotCfg(1)->DyxRatio, 0.0);
  EXPECT_EQ(model_.GetSlotCfg(3)->Tiff20Bit, 0);
  EXPECT_THAT(model_.ListChoices(0, M::kColDyx, false), ElementsAre("<No Dyx>"));
  EXPECT_TRUE(model_.ListChoices(0, M::kColTiff, false).empty());  // a plain cell has no list
}

TEST_F(GridModelTest, RegionsNoLongerLoadedAreResetAndNamedOnce) {
  model_.GetSlotCfg(1)->RegionName = "Gone";
  model_.GetSlotCfg(2)->RegionName = "Gone";
  model_.GetSlotCfg(3)->RegionName = "Vanished";
  model_.GetSlotCfg(4)->RegionName = "Array B";
  clearBoxes();
  const auto views = refresh();
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(captions_[0], "Invalid Scan Region Found");
  EXPECT_EQ(types_[0], platform::ui::MB_ICONWARNING);
  EXPECT_EQ(
      boxes_[0],
      "Detected some specified scan regions are invalid: might be caused by an updating of the chip region "
      "list file.\r\nAffected scan has been reset with the profile's default region.  Please verify your "
      "settings\r\n\r\nInvalid region: Gone,Vanished.");
  EXPECT_EQ(views[0][M::kColRegion].text, "Full Slide");
  EXPECT_FALSE(views[0][M::kColRegion].bold);
  EXPECT_EQ(model_.GetSlotCfg(3)->RegionName, "Full Slide");
  EXPECT_TRUE(views[3][M::kColRegion].bold);  // a loaded region stays
  clearBoxes();
  refresh();
  EXPECT_TRUE(boxes_.empty());
}

TEST_F(GridModelTest, DropListChoices) {
  EXPECT_THAT(model_.ListChoices(0, M::kColRegion, true), ElementsAre(M::kResetChoice));
  EXPECT_THAT(model_.ListChoices(0, M::kColRegion, false), ElementsAre("Array B", "Full Slide", "left Half"));
  EXPECT_THAT(model_.ListChoices(0, M::kColChannels, false), ElementsAre("R", "G", "R+G"));
  EXPECT_EQ(model_.ListChoices(0, M::kColResolution, false).front(), "2 um");
  EXPECT_EQ(model_.ListChoices(0, M::kColPMTGreen, false).size(), 13u);
  EXPECT_THAT(model_.ListChoices(0, M::kColTiff, false), ElementsAre("16 bit", "20 bit"));
  EXPECT_TRUE(model_.ListChoices(0, M::kColSlideID, false).empty());
  EXPECT_TRUE(model_.ListChoices(0, M::kColOutputPath, false).empty());

  struct Case {
    const char* red;
    const char* green;
    std::vector<std::string> ratios;
  } cases[] = {
      {"100%", "100%", {"<No Dyx>", "0.50", "0.33", "0.20", "0.10", "0.05"}},
      {"100%", "10%", {"<No Dyx>", "0.50", "0.33", "0.20", "0.10"}},
      {"5%", "100%", {"<No Dyx>"}},
  };
  for (const Case& c : cases) {
    tagSlotCfgRow* r = model_.RowRecord(0);
    r->PMTRed = c.red;
    r->PMTGreen = c.green;
    EXPECT_EQ(model_.ListChoices(0, M::kColDyx, false), c.ratios) << c.red << " " << c.green;
  }
  model_.RowRecord(1)->Tiff20Bit = 1;
  EXPECT_THAT(model_.ListChoices(1, M::kColDyx, false), ElementsAre("<No Dyx>"));

  // The region file changed since it was loaded: the list shows the new regions.
  testsupport::writeFile(regionFile_, std::string(kRegions) +
                                          "[Region4]\nName=Extra\nType=TarselDefault\nX=0\nY=0\n"
                                          "W=5000\nH=5000\n");
  ASSERT_TRUE(platform::profile::writeString(regionFile_, "ScanRegions", "NumRegions", "4"));
  EXPECT_THAT(model_.ListChoices(0, M::kColRegion, false),
              ElementsAre("Array B", "Extra", "Full Slide", "left Half"));
}

TEST_F(GridModelTest, DyxRatioFollowsTheGainsAndTheTiffRange) {
  struct Case {
    const char* what;
    const char* ratio;   // chosen first
    int col;             // then this column
    const char* choice;  // gets this choice
    double expectRatio;
    bool fullRefresh;
  } cases[] = {
      {"gain too low for any ratio", "0.50", M::kColPMTRed, "5%", 0.0, true},
      {"gain lowered, ratio raised to the minimum", "0.05", M::kColPMTGreen, "10%", 0.1, true},
      {"gain lowered, ratio still allowed", "0.50", M::kColPMTGreen, "10%", 0.5, false},
      {"20 bit clears the ratio", "0.50", M::kColTiff, "20 bit", 0.0, true},
      {"ratio below the minimum is raised", "<No Dyx>", M::kColDyx, "0.05", 0.05, false},
  };
  int row = 0;
  for (const Case& c : cases) {
    model_.ApplyChoice(cell(row, M::kColDyx), c.ratio);
    const auto result = model_.ApplyChoice(cell(row, c.col), c.choice);
    EXPECT_DOUBLE_EQ(model_.RowRecord(row)->DyxRatio, c.expectRatio) << c.what;
    EXPECT_EQ(result.fullRefresh, c.fullRefresh) << c.what;
    ++row;
  }
  EXPECT_TRUE(refresh()[3][M::kColDyx].readOnly);

  // Gains 10 %: 0.05 is below the minimum 0.10 and is stored as 0.10.
  model_.ApplyChoice(cell(10, M::kColPMTRed), "10%");
  model_.ApplyChoice(cell(10, M::kColDyx), "0.05");
  EXPECT_DOUBLE_EQ(model_.RowRecord(10)->DyxRatio, 0.1);
  // One choice over two rows, one of them with gains that allow no ratio.
  model_.ApplyChoice(cell(12, M::kColPMTRed), "5%");
  model_.ApplyChoice(column(11, 12, M::kColDyx), "0.50");
  EXPECT_DOUBLE_EQ(model_.RowRecord(11)->DyxRatio, 0.5);
  EXPECT_DOUBLE_EQ(model_.RowRecord(12)->DyxRatio, 0.0);
}

TEST_F(GridModelTest, ChoicesReachOnlySelectedCellsAndReportWhatChanged) {
  // Rows 0 and 2 of column 1 selected, row 1 not.
  M::Selection sel{0, 2, M::kColChannels, M::kColChannels, [](int row, int) { return row != 1; }};
  auto result = model_.ApplyChoice(sel, "G");
  EXPECT_TRUE(result.changed && result.refresh && result.estimateChanged);
  EXPECT_FALSE(result.fullRefresh);
  EXPECT_EQ(model_.RowRecord(0)->DyeChannels, "G");
  EXPECT_EQ(model_.RowRecord(1)->DyeChannels, "R+G");
  EXPECT_EQ(model_.RowRecord(2)->DyeChannels, "G");

  result = model_.ApplyChoice(sel, "G");  // nothing differs
  EXPECT_FALSE(result.changed || result.refresh);

  // A text that is not among a cell's choices changes nothing there.
  result = model_.ApplyChoice(M::Selection{0, 0, M::kColChannels, M::kColDyx, {}}, "20 bit");
  EXPECT_EQ(model_.RowRecord(0)->Resolution, "5 um");
  EXPECT_EQ(model_.RowRecord(0)->DyeChannels, "G");
  EXPECT_EQ(model_.RowRecord(0)->RegionName, "Full Slide");
  EXPECT_EQ(model_.RowRecord(0)->Tiff20Bit, 1);
  EXPECT_TRUE(result.changed);
  for (const char* bad : {"0.40", "7%", "Nowhere"}) {
    EXPECT_FALSE(model_.ApplyChoice(M::Selection{1, 1, M::kColRegion, M::kColDyx, {}}, bad).changed) << bad;
  }

  result = model_.ApplyChoice(cell(0, M::kColPMTRed), "50%");
  EXPECT_TRUE(result.changed);
  EXPECT_FALSE(result.estimateChanged);  // the gains do not change the estimates

  // "Reset to Profile Value" over a block of two columns.
  result = model_.ApplyChoice(M::Selection{0, 2, M::kColChannels, M::kColPMTRed, {}}, M::kResetChoice);
  EXPECT_TRUE(result.refresh);
  EXPECT_EQ(model_.RowRecord(0)->DyeChannels, "R+G");
  EXPECT_EQ(model_.RowRecord(0)->PMTRed, "100%");
}

TEST_F(GridModelTest, ResetToProfile) {
  model_.ApplyChoice(cell(0, M::kColResolution), "10 um");
  model_.EndTextEdit(0, M::kColSlideID, "X1");
  model_.SetSlotEnabled(3, false, nullptr);
  // Column 0 of rows 0..3, only row 0 selected: the unused slot 3 (row 2) comes back into
  // use and from there on the rest of the block counts too.
  M::Selection sel{0, 3, M::kColSlideID, M::kColResolution,
                   [](int row, int) { return row == 0 || row == 2; }};
  model_.RowRecord(3)->Resolution = "2 um";
  auto result = model_.ResetToProfile(sel, true);
  EXPECT_TRUE(result.changed && result.fullRefresh && result.estimateChanged);
  EXPECT_EQ(model_.RowRecord(0)->SlideID, "");
  EXPECT_TRUE(model_.IsSlotUsed(3));
  EXPECT_EQ(model_.RowRecord(0)->Resolution, "5 um");
  EXPECT_EQ(model_.RowRecord(3)->Resolution, "5 um");

  // A profile ratio the slot's gains do not allow is refused, and the pass stops there.
  profile_.DyxRatioType = 1;  // 0.5
  model_.SetCurrentProfile(&profile_, false);
  model_.ApplyChoice(cell(5, M::kColPMTGreen), "1%");
  model_.EndTextEdit(5, M::kColDescription, "changed");
  clearBoxes();
  result = model_.ResetToProfile(M::Selection{5, 5, M::kColDyx, M::kColDescription, {}}, true);
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(boxes_[0], "The default value is not valid this time. Please check with your current setting!");
  EXPECT_EQ(captions_[0], "Set Dyx-Lo PMT Factor");
  EXPECT_EQ(model_.RowRecord(5)->Description, "changed");  // not reached
  EXPECT_TRUE(result.refresh);

  // The profile's red gain with this slot's green gain of 1 % cannot carry the ratio.
  model_.ApplyChoice(cell(5, M::kColPMTRed), "50%");
  clearBoxes();
  model_.ResetToProfile(cell(5, M::kColPMTRed), true);
  ASSERT_EQ(captions_.size(), 1u);
  EXPECT_EQ(captions_[0], "Set PMT Scale");
  EXPECT_EQ(model_.RowRecord(5)->PMTRed, "50%");
}

TEST_F(GridModelTest, TypedSlideIdentifiersAndDescriptions) {
  struct Case {
    const char* typed;
    M::EditEnd result;
    const char* stored;
  } cases[] = {
      {"<Auto detect>", M::EditEnd::Unchanged, ""},
      {"B-77", M::EditEnd::Stored, "B-77"},
      {"B-77", M::EditEnd::Unchanged, "B-77"},
      {"a/b", M::EditEnd::Refused, "B-77"},
      {"<Auto detect>", M::EditEnd::Stored, ""},
      {"C1", M::EditEnd::Stored, "C1"},
      {"", M::EditEnd::Stored, ""},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(model_.EndTextEdit(0, M::kColSlideID, c.typed), c.result) << c.typed;
    EXPECT_EQ(model_.RowRecord(0)->SlideID, c.stored) << c.typed;
  }
  EXPECT_EQ(captions_.back(), lumetra::kMessageCaption);  // the file-name check's message
  EXPECT_EQ(model_.EndTextEdit(0, M::kColDescription, "new text"), M::EditEnd::Stored);
  EXPECT_EQ(model_.EndTextEdit(0, M::kColRegion, "typed"), M::EditEnd::Unchanged);
  EXPECT_EQ(model_.EndTextEdit(48, M::kColDescription, "x"), M::EditEnd::Unchanged);
}

TEST_F(GridModelTest, AProfileWhoseRegionIsNotLoaded) {
  tagScanCfgStruct p = profile("Old");
  p.RegionName = "Retired";
  clearBoxes();
  model_.SetCurrentProfile(&p, true);
  ASSERT_EQ(boxes_.size(), 1u);
  EXPECT_EQ(
      boxes_[0],
      "The scan region 'Retired' defined in the profile is not loaded by the system currently.\r\nThe Tarsel "
      "default region will be used instead.");
  EXPECT_EQ(captions_[0], "Load Profile for Carousel configuration Setting");
  EXPECT_EQ(p.RegionName, "Full Slide");
  EXPECT_EQ(model_.GetSlotCfg(17)->RegionName, "Full Slide");

  // Without a default region the region is emptied, silently.
  testsupport::writeFile(
      regionFile_,
      "[ScanRegions]\nNumRegions=1\n[Region1]\nName=Only\nType=Mine\nX=0\nY=0\nW=9000\nH=9000\n"
      "[Mine]\nX=2000\nY=500\n");
  CScanRegionInfoMap noDefault;
  noDefault.LoadScanRegions(regionFile_.c_str(), 0);
  ASSERT_EQ(noDefault.GetDefaultRegion(), nullptr);
  p.RegionMap = &noDefault;
  p.RegionName = "Retired";
  clearBoxes();
  model_.SetCurrentProfile(&p, false);
  EXPECT_TRUE(boxes_.empty());
  EXPECT_EQ(p.RegionName, "");
  model_.SetCurrentProfile(nullptr, false);  // before noDefault goes
}

TEST_F(GridModelTest, ProfileValuesFollowTheProfilesRules) {
  struct Case {
    int tiff, split, ratioType;
    int expectTiff;
    double expectRatio;
  } cases[] = {{0, 0, 3, 0, 0.2}, {1, 0, 3, 1, 0.0}, {0, 1, 3, 0, 0.0}, {1, 1, 3, 0, 0.0}, {0, 0, 9, 0, 0.0}};
  for (const Case& c : cases) {
    profile_.Tiff32Bit = c.tiff;
    profile_.SplitAndRotate = c.split;
    profile_.DyxRatioType = c.ratioType;
    model_.SetCurrentProfile(&profile_, true);
    EXPECT_EQ(model_.ProfileValues().Tiff20Bit, c.expectTiff);
    EXPECT_DOUBLE_EQ(model_.ProfileValues().DyxRatio, c.expectRatio);
    EXPECT_DOUBLE_EQ(model_.GetSlotCfg(1)->DyxRatio, c.expectRatio);
  }
}

TEST_F(GridModelTest, ApplyingToRowsAndToSlotsOutsideTheRange) {
  model_.SetSlotRange(3, 4);
  model_.SetSlotEnabled(4, false, nullptr);
  model_.GetSlotCfg(3)->DyeChannels = "G";
  model_.SetSlotEnabled(10, true, nullptr);
  profile_.DyeChannel = "R";
  model_.SetCurrentProfile(&profile_, true);
  EXPECT_TRUE(model_.IsSlotUsed(4));  // the profile marks every slot of the rows used
  EXPECT_EQ(model_.GetSlotCfg(3)->DyeChannels, "R");
  model_.SetSlotRange(1, 48);
  EXPECT_EQ(model_.GetSlotCfg(10)->DyeChannels, "R");  // outside the range, followed too

  // A record of its own: the slide identifier goes only where one used slot is meant.
  tagSlotCfgRow source = model_.ProfileValues();
  source.SlideID = "ONE";
  source.PMTRed = "50%";
  model_.ApplyProfileToRows(&source, {0, 1}, false);
  EXPECT_EQ(model_.GetSlotCfg(1)->SlideID, "");
  EXPECT_EQ(model_.GetSlotCfg(1)->PMTRed, "50%");
  model_.ApplyProfileToRows(&source, {5}, false);
  EXPECT_EQ(model_.GetSlotCfg(6)->SlideID, "ONE");

  // Only the gains, over a narrower range: the slots outside get them too; a ratio the
  // new gains cannot carry goes.
  model_.ApplyChoice(cell(7, M::kColDyx), "0.05");
  model_.SetSlotRange(5, 9);
  source.PMTRed = "10%";
  model_.ApplyProfileToRows(&source, {3}, true);
  EXPECT_EQ(model_.GetSlotCfg(8)->PMTRed, "10%");
  EXPECT_DOUBLE_EQ(model_.GetSlotCfg(8)->DyxRatio, 0.1);
  EXPECT_EQ(model_.GetSlotCfg(8)->SlideID, "");
  EXPECT_EQ(model_.GetSlotCfg(7)->PMTRed, "100%");  // in the range, not among the rows
  model_.SetSlotRange(1, 48);
  EXPECT_EQ(model_.GetSlotCfg(1)->PMTRed, "10%");
}

TEST_F(GridModelTest, HintsHeadingsAndTheResetCommand) {
  EXPECT_EQ(M::Heading(0), " Slide ID ");
  EXPECT_EQ(M::Heading(-1), "Slot");
  EXPECT_EQ(M::Heading(10), "Unknown");
  EXPECT_EQ(M::ColumnWidth(9), 300);
  EXPECT_EQ(model_.Hint(-1, 1), "Dye channel");
  EXPECT_EQ(model_.Hint(-1, -1), "Carousel Slot #");
  // Array B: 20000 x 10000 at (100, 200); the default region's origin is (2000, 500). The
  // hint gives where the scan starts on the slide, which is the origin less the corner.
  model_.ApplyChoice(cell(0, M::kColRegion), "Array B");
  EXPECT_EQ(model_.Hint(0, M::kColRegion), "Size=(20000x10000), Origin=(1900, 300)");
  EXPECT_EQ(model_.Hint(0, M::kColDyx), "No Dyx scan defined");
  model_.ApplyChoice(cell(0, M::kColPMTRed), "90%");
  model_.ApplyChoice(cell(0, M::kColDyx), "0.33");
  EXPECT_EQ(model_.Hint(0, M::kColDyx), "Dyx-Lo scan PMT scales (%): Red=29, Green=33");
  EXPECT_EQ(model_.Hint(0, M::kColChannels), "");

  EXPECT_TRUE(model_.ResetAllowed(1, M::kColDyx));
  model_.ApplyChoice(cell(1, M::kColTiff), "20 bit");
  EXPECT_FALSE(model_.ResetAllowed(1, M::kColDyx));
  EXPECT_TRUE(model_.ResetAllowed(1, M::kColTiff));
}

}  // namespace
