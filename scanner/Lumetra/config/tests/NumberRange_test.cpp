#include "config/NumberRange.h"

#include <gtest/gtest.h>

#include <climits>

#include "ConfigFixture.h"

namespace {

using lumetra::NumberRange;

class NumberRangeTest : public ConfigTest {};

TEST_F(NumberRangeTest, SetRangeOrdersTheBounds) {
  NumberRange r(24, 1);  // the constructor keeps what it is given
  EXPECT_EQ(r.Minimum(), 24);
  r.SetRange(24, 1);
  EXPECT_EQ(r.Minimum(), 1);
  EXPECT_EQ(r.Maximum(), 24);
  EXPECT_EQ(r.Message(), "A valid value should be between 1 and 24");
  r.SetRange(5, 5);
  EXPECT_EQ(r.Message(), "A valid value should be 5");
  r.SetRange(LONG_MIN, LONG_MAX);
  EXPECT_TRUE(r.ValidateNumber("-99999999"));
}

TEST_F(NumberRangeTest, TextsAreReadAsTheCLibraryReadsThem) {
  struct Case {
    const char* text;
    long min, max;
    bool accepted;
  } cases[] = {
      {"12", 1, 24, true}, {"  7", 1, 24, true},  {"24", 1, 24, true},  {"25", 1, 24, false},
      {"0", 1, 24, false}, {"abc", 1, 24, false}, {"abc", 0, 24, true}, {"3hr", 1, 24, true},
      {"-1", -5, 0, true}, {"", 0, 0, true},      {"5", 5, 5, true},    {"6", 5, 5, false},
  };
  for (const Case& c : cases) {
    NumberRange r(c.min, c.max);
    boxes_.clear();
    EXPECT_EQ(r.ValidateNumber(c.text), c.accepted) << "'" << c.text << "' in " << c.min << ".." << c.max;
    if (c.accepted) {
      EXPECT_TRUE(boxes_.empty());
    } else {
      ASSERT_EQ(boxes_.size(), 1u);
      EXPECT_EQ(boxes_[0], r.Message());
      EXPECT_EQ(captions_[0], "Invalid Input");
      EXPECT_EQ(types_[0], platform::ui::MB_ICONERROR);
    }
  }
}

}  // namespace
