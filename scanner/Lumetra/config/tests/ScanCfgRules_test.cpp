#include "config/ScanCfgRules.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "ConfigFixture.h"

namespace {

TEST(ScanCfgRules, ResolutionNames) {
  struct Case {
    int type;
    bool doublePass;
    const char* name;
  } names[] = {{1, false, "10 um"}, {1, true, "10 um"},
               {2, false, "5 um"},  {2, true, "5 um double pass"},
               {3, false, "3 um"},  {3, true, "3 um double pass"},
               {5, false, "2 um"},  {5, true, "2 um double pass"},
               {4, false, "5 um"},  {0, true, "5 um double pass"}};
  for (const auto& c : names) EXPECT_EQ(GetResolutionName(c.type, c.doublePass), c.name) << c.type;

  struct Parse {
    const char* text;
    bool ok;
    int type;
    bool doublePass;
  } parses[] = {{"10 um", true, 1, false},
                {"5 um", true, 2, false},
                {"5 um double pass", true, 2, true},
                {"3 um double pass", true, 3, true},
                {"2 um", true, 5, false},
                {"2 um double pass", true, 5, true},
                {"10 um double pass", false, -1, true},
                {"5 UM", false, -1, true},
                {" 5 um", false, -1, true},
                {"", false, -1, true}};
  for (const auto& c : parses) {
    int type = -1;
    bool dp = true;
    EXPECT_EQ(ParseResolutionName(c.text, &type, &dp), c.ok) << c.text;
    EXPECT_EQ(type, c.type) << c.text;
    EXPECT_EQ(dp, c.doublePass) << c.text;
  }
}

TEST(ScanCfgRules, DyxRatios) {
  EXPECT_TRUE(CheckDyxRatio(0.05, 20, 30));
  EXPECT_FALSE(CheckDyxRatio(0.05, 19, 30));  // 19 x 0.05 < 1
  EXPECT_FALSE(CheckDyxRatio(0.1, 9, 50));
  EXPECT_FALSE(CheckDyxRatio(0.3, 50, 50));  // not an allowed ratio
  EXPECT_TRUE(CheckDyxRatio(0.33, 50, 50));

  for (double r : {0.0, 0.05, 0.1, 0.2, 0.33, 0.5}) EXPECT_TRUE(IsValidDyxRatio(r)) << r;
  for (double r : {0.04, 0.3, 0.6, -0.05, 1e300, std::numeric_limits<double>::quiet_NaN()})
    EXPECT_FALSE(IsValidDyxRatio(r)) << r;

  EXPECT_EQ(GetMinDyxRatio(20, 90), 0.05);
  EXPECT_EQ(GetMinDyxRatio(90, 10), 0.1);
  EXPECT_EQ(GetMinDyxRatio(9, 90), 0.0);

  struct Snap {
    double in, out;
  } snaps[] = {{0.04, 0.0}, {0.05, 0.05}, {0.07, 0.1}, {0.1, 0.1},   {0.15, 0.2},
               {0.2, 0.2},  {0.25, 0.33}, {0.3, 0.33}, {0.33, 0.33}, {0.34, 0.5},
               {0.5, 0.5},  {0.51, 0.0},  {0.6, 0.0},  {-0.2, 0.0},  {1e300, 0.0}};
  for (const auto& c : snaps) EXPECT_EQ(SnapDyxRatio(c.in), c.out) << c.in;

  EXPECT_EQ(FormatDyxRatio(0.2), "0.20");
  EXPECT_EQ(FormatDyxRatio(0.07), "0.10");
  EXPECT_EQ(FormatDyxRatio(0.33), "0.33");
  EXPECT_EQ(FormatDyxRatio(0), "<No Dyx>");
  EXPECT_EQ(FormatDyxRatio(0.9), "<No Dyx>");
  EXPECT_EQ(ParseDyxRatio("0.3"), 0.33);
  EXPECT_EQ(ParseDyxRatio("<No Dyx>"), 0.0);
  EXPECT_EQ(ParseDyxRatio("0.05"), 0.05);

  struct Type {
    double ratio;
    int type;
  } types[] = {{-1, 0},  {0, 0},    {0.04, 0}, {0.05, 5}, {0.1, 4},
               {0.2, 3}, {0.25, 3}, {0.33, 2}, {0.5, 1},  {0.9, 1}};
  for (const auto& c : types) EXPECT_EQ(GetDyxRatioType(c.ratio), c.type) << c.ratio;
  for (int t = 0; t <= 5; ++t) EXPECT_EQ(GetDyxRatioType(GetDyxRatio(t)), t);
  EXPECT_EQ(GetDyxRatio(6), 0.0);
  EXPECT_EQ(GetDyxRatio(-1), 0.0);
}

class FileNameTest : public ConfigTest {};

TEST_F(FileNameTest, FileNamesAreCheckedWithTheirLabel) {
  EXPECT_FALSE(CheckFileName("", true, "Slide ID"));
  EXPECT_FALSE(CheckFileName(nullptr, false, nullptr));
  EXPECT_FALSE(CheckFileName("a/b", true, nullptr));
  EXPECT_TRUE(CheckFileName("slide 12.tif", true, "Slide ID"));
  ASSERT_EQ(boxes_.size(), 2u);  // only the calls that asked for a message
  EXPECT_EQ(boxes_[0], "Slide ID is empty");
  EXPECT_EQ(boxes_[1],
            "A file name cannot contain any of the following characters:\r\n\t\\ / : * ? \" < > |");
  EXPECT_EQ(captions_[0], "Tarsel Halvorn");
  EXPECT_EQ(types_[0] & platform::ui::MB_ICONERROR, platform::ui::MB_ICONERROR);
  EXPECT_EQ(FileNameProblem(nullptr, ""), "File name is empty");
  for (const char c : std::string("\\/:*?\"<>|"))
    EXPECT_FALSE(FileNameProblem((std::string("x") + c + "y").c_str(), "Name").empty()) << c;
}

}  // namespace
