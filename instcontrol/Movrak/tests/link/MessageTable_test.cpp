#include "link/MessageTable.h"

#include <gtest/gtest.h>

#include <string>

#include "Jotwell/BaseException.h"

namespace {

TEST(MessageTable, TextsAreKeptExactly) {
  const struct {
    int id;
    const char* text;
  } cases[] = {
      {100, "Movrak"},
      {109, "Unsupported scanner model."},
      {521, "Unable to downlod firmware file %s."},  // the spelling users have always seen
      {566,
       "A connection to the scanner has been lost or has not been established yet.  Please connect to a "
       "scanner "
       "first."},
      {609,
       "Error ending scan.   Program thinks scan complete, but instrument has more data.  Extra data was "
       "ignored "
       "and execution continued. Data file may or may not be complete."},
      {634, "Instrument is busy.  Another operation has locked access to the instrument."},
      {650,
       "Slide skipped because it is outside the allowable thickness range or the selected scan region "
       "contains an "
       "obstruction to the initial focus positions.\n\n"},
      {1025, "Connect"},
      {1090, "DSPMemDump"},
      {1092, "PSDVal"},  // 1091 has no name; the names go on after it
      {1126, "MotorSetParams"},
      {2006, "Motor:  %s"},
      {3114, "Self testing..."},
      {4122, "Runtime error 0x1A."},
      {4134,
       "No PSD signal detected.  Make sure there are no fingerprints, labels, or other foreign substances on "
       "the "
       "chip. "},  // trailing blank
      {4163, "Motor timed out when moving Arm to Holder and unable to recover."},
      {8207, "DSP error 0x0F."},
      {8211, "The index pulse was never detected. "},
      {8218, "DSP error 0x1A"},
      {10753,
       "Autofocus error.  Autofocus does not move when a voltage is applied.  You may have to close the "
       "software and "
       "power cycle the instrument to recover from this error."},
      {10832, "Autofocus error.  The PSD cannot be zero'ed."},
      {11120, "Fast-axis stage error: temperature monitor failure."},
      {12102, "The green leaser heat sink is over temperature."},
      {12122, "Red laser power is unstable."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    const char* text = movrak::FindMessageText(c.id);
    ASSERT_NE(text, nullptr);
    EXPECT_STREQ(text, c.text);
  }
}

TEST(MessageTable, ExtendedDspStatusesWithoutTextsOfTheirOwnAreGenerated) {
  const struct {
    int id;
    const char* text;
  } cases[] = {
      {10752, "Autofocus error: status 0x00"},       {10824, "Autofocus error: status 0x48"},
      {10827, "Autofocus error: status 0x4B"},       {10863, "Autofocus error: status 0x6F"},
      {11008, "Fast-axis stage error: status 0x00"}, {11011, "Fast-axis stage error: status 0x03"},
      {11119, "Fast-axis stage error: status 0x6F"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.id);
    EXPECT_EQ(movrak::GetErrorText(c.id), c.text);
  }
  // The ranges end at status 0x70.
  EXPECT_EQ(movrak::FindMessageText(10865), nullptr);
  EXPECT_EQ(movrak::FindMessageText(11121), nullptr);
}

TEST(MessageTable, GapsHaveNoTextAndGetTheFallbacks) {
  for (int id :
       {0,    99,   110,  511,  515,  518,  557,  558,  560,   565,   586,   590,   623,   654,   1024, 1091,
        1127, 1999, 2023, 3010, 3099, 3115, 4164, 8224, 10751, 11007, 12000, 12017, 12099, 12123, -1}) {
    SCOPED_TRACE(id);
    EXPECT_EQ(movrak::FindMessageText(id), nullptr);
    std::string text = "stale";
    EXPECT_FALSE(movrak::LoadMessageString(id, text));
    EXPECT_EQ(text, "");
    EXPECT_EQ(movrak::GetErrorText(id), "Unknown error: " + std::to_string(id));
    EXPECT_EQ(movrak::GetDetailFormat(id), "Missing message resource: " + std::to_string(id));
  }
  std::string text;
  EXPECT_TRUE(movrak::LoadMessageString(2013, text));
  EXPECT_EQ(text, "Address: 0x%X    Value:  0x%X.");
  EXPECT_EQ(movrak::GetDetailFormat(2013), text);
}

TEST(MessageTable, ExceptionsOfTheSupportLibraryUseThisTable) {
  EXPECT_STREQ(LookupMessageText(603), "Command timed out.");
  EXPECT_EQ(LookupMessageText(557), nullptr);
}

}  // namespace
