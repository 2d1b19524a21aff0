#include "EditRegionModel.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "QuillFixture.h"

namespace {

using namespace quillmark;
using ::testing::ElementsAre;

class EditRegionTest : public QuillTest {
 protected:
  EditRegionTest() { writeIni(regionFile(2)); }  // "Maker 1", "Maker 2", "Custom 1", "Custom 2"
  // The form opened in the mode given, as the list window opens it.
  EditRegionModel& open(const std::string& mode, const std::string& section = {}) {
    if (section.empty())
      g_.ClearCurrentRegion();
    else
      g_.LoadRegion(section);
    form_.Mode = mode;
    form_.Load();
    caption_ = form_.Activate();
    return form_;
  }
  void enter(const std::string& name, const std::string& x, const std::string& y, const std::string& w,
             const std::string& h) {
    form_.SetText(Box::Name, name);
    form_.SetText(Box::XPos, x);
    form_.SetText(Box::YPos, y);
    form_.SetText(Box::Width, w);
    form_.SetText(Box::Height, h);
  }
  EditRegionModel form_{g_};
  std::string caption_;
};

TEST_F(EditRegionTest, ValidationRulesInOrderWithMessageAndFocus) {
  open("New");
  EXPECT_EQ(caption_, "Add New Region");
  EXPECT_EQ(
      (std::vector<std::string>{form_.lblMinX, form_.lblMaxX, form_.lblMinY, form_.lblMaxY, form_.lblMinWidth,
                                form_.lblMaxWidth, form_.lblMinHeight, form_.lblMaxHeight}),
      (std::vector<std::string>{"2.00", "62.00", "0.50", "21.10", "1.00", "61.00", "1.00", "21.60"}));
  struct Case {
    const char *name, *x, *y, *w, *h;
    const char* message;  // "" = passes
    Box focus;
  } cases[] = {
      {"", "2", "1", "5", "5", "Please enter a valid Name", Box::Name},
      {"   ", "2", "1", "5", "5", "Please enter a valid Name", Box::Name},
      {"two\r\nlines", "2", "1", "5", "5", "Please enter a valid Name", Box::Name},
      {"tab\tname", "2", "1", "5", "5", "Please enter a valid Name", Box::Name},
      {"A", "x", "1", "5", "5", "Please enter a valid X position", Box::XPos},
      {"A", "2", "", "5", "5", "Please enter a valid Y position", Box::YPos},
      {"A", "2", "1", "1..2", "5", "Please enter a valid width", Box::Width},
      {"A", "2", "1", "5", "-", "Please enter a valid height", Box::Height},
      {"A", "1.98", "1", "5", "5", "X coordinate must be between 2.00 and 62.00", Box::XPos},
      {"A", "1.995", "1", "5", "5", "", Box::None},  // within the 0.01 mm tolerance
      {"A", "62.02", "1", "5", "5", "X coordinate must be between 2.00 and 62.00", Box::XPos},
      {"A", "2", "0.48", "5", "5", "Y coordinate must be between 0.50 and 21.10", Box::YPos},
      {"A", "2", "1", "0.98", "5", "Width must be between 1.00 and 61.00", Box::Width},
      {"A", "2", "1", "61.02", "5", "Width must be between 1.00 and 61.00", Box::Width},
      {"A", "2", "1", "5", "21.62", "Height must be between 1.00 and 21.60", Box::Height},
      {"A", "10", "1", "53.02", "5",
       "X coordinate + Width cannot be greater than 63.00\r\nEither reduce the X coordinate or the Width.",
       Box::Width},
      {"A", "10", "1", "53.005", "5", "", Box::None},  // cut to 5 characters: 53.00
      {"A", "2", "10", "5", "12.12",
       "Y coordinate + Height cannot be greater than 22.10\r\nEither reduce the Y coordinate or the Height.",
       Box::Height},
      {" custom 1 ", "2", "1", "5", "5", "This region name already exists. Please rename your region.",
       Box::Name},
      {"*UNKNOWN*", "2", "1", "5", "5", "", Box::None},  // every region here has a name
      {"123456789012345678901234567890", "2", "1", "5", "5", "", Box::None},
  };
  for (const auto& c : cases) {
    enter(c.name, c.x, c.y, c.w, c.h);
    std::string message;
    Box focus = Box::None;
    try {
      form_.ValidateFields();
    } catch (const ValidationError& e) {
      message = e.what();
      focus = e.focus;
      EXPECT_EQ(e.Number(), 100);
    }
    EXPECT_EQ(message, c.message) << c.name << " " << c.x << " " << c.y << " " << c.w << " " << c.h;
    EXPECT_EQ(focus, c.focus) << c.message;
  }
  form_.SetText(Box::Name, std::string(31, 'n'));
  EXPECT_EQ(form_.Text(Box::Name).size(), 30u);
}

TEST_F(EditRegionTest, PositionsBoundTheSizeThatFits) {
  open("New");
  form_.SetText(Box::XPos, " 62.5 ");
  form_.LostFocus(Box::XPos);
  EXPECT_EQ(form_.Text(Box::XPos), "62.50");
  EXPECT_EQ(form_.lblMaxWidth, "0.50");  // the room right of X, less than the minimum width
  EXPECT_TRUE(form_.maxWidthRed);
  form_.SetText(Box::XPos, "64");
  form_.LostFocus(Box::XPos);
  EXPECT_EQ(form_.lblMaxWidth, "0.00");
  enter("A", "64", "1", "1", "5");
  EXPECT_THROW(form_.ValidateFields(), ValidationError);

  form_.SetText(Box::XPos, "abc");  // not a number: the colour returns, the text stays
  form_.LostFocus(Box::XPos);
  EXPECT_FALSE(form_.maxWidthRed);
  EXPECT_EQ(form_.lblMaxWidth, "0.00");
  form_.SetText(Box::YPos, "2");
  form_.LostFocus(Box::YPos);
  EXPECT_EQ(form_.lblMaxHeight, "20.10");
  EXPECT_FALSE(form_.maxHeightRed);
  form_.SetText(Box::Width, " ab ");
  form_.LostFocus(Box::Width);
  EXPECT_EQ(form_.Text(Box::Width), "ab");
}

TEST_F(EditRegionTest, KeyFilterAndDecimals) {
  struct Case {
    const char* text;
    int key, selStart, selLength;
    bool passes;
  } cases[] = {
      {"12", '.', 0, 0, true}, {"1.2", '.', 3, 0, false}, {"1.2", '.', 0, 2, true}, {"1.2", '.', 2, 1, false},
      {"", '7', 0, 0, true},   {"", 'a', 0, 0, false},    {"", '-', 0, 0, false},   {"", ' ', 0, 0, false},
      {"", ',', 0, 0, false},  {"", 8, 0, 0, true},       {"", 13, 0, 0, true},     {"", 3, 0, 0, true},
      {"", 22, 0, 0, true},    {"", 24, 0, 0, true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(EditRegionModel::NumericKeys(c.text, c.key, c.selStart, c.selLength, '.'), c.passes ? c.key : 0)
        << c.text << " key " << c.key;
  EXPECT_EQ(EditRegionModel::NumericKeys("1,2", ',', 0, 0, ','), 0);

  std::string text = "1.234";
  int caret = 5;
  EXPECT_TRUE(EditRegionModel::LimitDecimals(text, caret, '.'));
  EXPECT_EQ(text, "1.23");
  EXPECT_EQ(caret, 4);
  text = "1.2345", caret = 0;
  EXPECT_TRUE(EditRegionModel::LimitDecimals(text, caret, '.'));
  EXPECT_EQ(text, "1.23");
  EXPECT_EQ(caret, 0);
  text = "12.5";
  EXPECT_FALSE(EditRegionModel::LimitDecimals(text, caret, '.'));
}

TEST_F(EditRegionTest, TheRecordForTheFile) {
  open("New");
  struct Case {
    const char* x;
    const char* afx;
  } cases[] = {{"12.30", "10.5"}, {"0.40", "-1.5"}, {"12.50", "10.5"}, {"13.50", "12.5"}, {"2", "0.5"}};
  for (const auto& c : cases) {
    enter(" Name ", c.x, "3", "4", "5");
    const RegionRecord r = form_.FillRegionRecord(true);
    EXPECT_EQ(r.AFX, c.afx) << c.x;
    EXPECT_EQ(r.Name, "Name");
    EXPECT_EQ(r.Section, "Region5");
    EXPECT_EQ(r.Type, "CustomerSlide4");
    EXPECT_EQ((std::vector<std::string>{r.Custom, r.X, r.Y, r.AFY, r.PKG}),
              (std::vector<std::string>{"YES", "0", "0", "3", "5"}));
  }
  Global comma(',');
  comma.IniPath = g_.IniPath;
  EditRegionModel form(comma);
  form.SetText(Box::XPos, "12,3");
  EXPECT_EQ(form.FillRegionRecord(false).AFX, "10,5");
}

TEST_F(EditRegionTest, SaveWritesOnlyChangesAndStaysOpenOnFailure) {
  open("Modify", "Region3");
  EXPECT_EQ(caption_, "Modify Region");
  EXPECT_EQ(form_.Text(Box::Name), "Custom 1");
  const auto stamp = platform::profile::fileStamp(g_.IniPath);
  EXPECT_TRUE(form_.Save().close);  // nothing changed: nothing written
  EXPECT_EQ(platform::profile::fileStamp(g_.IniPath), stamp);

  open("Modify", "Region3");
  form_.SetText(Box::Name, "CUSTOM 1");  // a change of letter case is a change
  EXPECT_TRUE(form_.Save().close);
  EXPECT_EQ(platform::profile::getString(g_.IniPath, "Region3", "Name"), "CUSTOM 1");
  EXPECT_EQ(form_.Text(Box::Name), "");  // cleared after the write

  // The file cannot be written: the message, the window stays, nothing is lost.
  open("Modify", "Region4");
  const RegionRecord loaded = g_.CurrentRegion;
  form_.SetText(Box::Name, "Other");
  ::chmod(g_.IniPath.c_str(), 0444);
  boxes.clear();
  const auto failed = form_.Save();
  EXPECT_FALSE(failed.close);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_THAT(boxes[0], ::testing::StartsWith("Error writing Region Type in "));
  EXPECT_EQ(form_.Text(Box::Name), "Other");
  EXPECT_EQ(g_.CurrentRegion, loaded);
  ::chmod(g_.IniPath.c_str(), 0644);

  // The names cannot be compared: the Save ends after saying so.
  ASSERT_TRUE(platform::profile::writeString(g_.IniPath, "ScanRegions", "NumRegions", "many"));
  boxes.clear();
  EXPECT_FALSE(form_.Save().close);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_THAT(boxes[0], ::testing::HasSubstr("NumRegions=many"));
  EXPECT_EQ(platform::profile::getString(g_.IniPath, "Region4", "Name"), "Custom 2");

  // A validation failure shows its message and gives the focus.
  ASSERT_TRUE(platform::profile::writeString(g_.IniPath, "ScanRegions", "NumRegions", "4"));
  form_.SetText(Box::XPos, "99");
  boxes.clear();
  const auto invalid = form_.Save();
  EXPECT_FALSE(invalid.close);
  EXPECT_EQ(invalid.focus, Box::XPos);
  EXPECT_THAT(boxes, ElementsAre("X coordinate must be between 2.00 and 62.00"));
}

TEST_F(EditRegionTest, ExitChecksTheStoredValuesInModifyMode) {
  ASSERT_TRUE(
      platform::profile::writeString(g_.IniPath, "CustomerSlide2", "X", "99000"));  // Custom 1 out of limits
  open("Modify", "Region3");
  form_.SetText(Box::Name, "typed");
  answers = {platform::ui::IDNO};
  const auto stay = form_.Exit();
  EXPECT_FALSE(stay.close);
  EXPECT_EQ(stay.focus, Box::XPos);
  EXPECT_EQ(form_.Text(Box::Name), "Custom 1");  // the stored values are back
  EXPECT_EQ(form_.Text(Box::XPos), "99.00");
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(
      boxes[0],
      "The original values for this region are incorrect.\r\nX coordinate must be between 2.00 and 62.00\r\n"
      "Are you sure you want to exit?");
  answers = {platform::ui::IDYES};
  EXPECT_TRUE(form_.Exit().close);

  open("Modify", "Region4");
  boxes.clear();
  EXPECT_TRUE(form_.Exit().close);  // valid stored values: no question
  EXPECT_TRUE(boxes.empty());
  open("New");
  form_.SetText(Box::XPos, "999");
  EXPECT_TRUE(form_.Exit().close);  // add mode: nothing checked
}

TEST_F(EditRegionTest, LongLoadedValuesAreCutToTheBox) {
  ASSERT_TRUE(platform::profile::writeString(g_.IniPath, "Region3", "W", "100000"));
  open("Modify", "Region3");
  EXPECT_EQ(form_.Text(Box::Width), "100.0");
}

}  // namespace
