// What the check-carousel dialog shows for the check's messages.
#include "run/ui/CheckCarouselModel.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using lumetra::CheckCarouselModel;
using lumetra::run::BrowsedSlotRecord;
using namespace lumetra::run;

TEST(CheckCarouselModelTest, EstimatedTimeInSecondsOrWholeMinutes) {
  struct Case {
    int start, end;
    bool barcode;
    int seconds;
    const char* text;
  };
  const Case cases[] = {
      {1, 48, true, 601, "10 minutes."}, {1, 3, false, 28, "28 seconds."}, {1, 5, true, 85, "1 minute."},
      {1, 34, false, 59, "59 seconds."}, {1, 35, false, 60, "1 minute."},  {1, 64, false, 89, "1 minute."},
      {1, 65, false, 90, "2 minutes."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.seconds);
    EXPECT_EQ(CheckCarouselModel::EstimatedSeconds(c.start, c.end, c.barcode), c.seconds);
    EXPECT_EQ(CheckCarouselModel::DurationText(c.seconds), c.text);
  }
  EXPECT_EQ(CheckCarouselModel(3, 7).ActionInfo(true),
            "Check the presence of slides from slot3 to slot7 and read the barcode.\r\n"
            "This operation will be completed in 1 minute.");
  EXPECT_EQ(
      CheckCarouselModel(1, 48).ActionInfo(false),
      "Check the presence of slides from slot1 to slot48.\r\nThis operation will be completed in 1 minute.");
}

TEST(CheckCarouselModelTest, ACheckWithBarcodesMarksEachSlotAndCountsTheProgress) {
  CheckCarouselModel model(5, 8);
  model.Begin(true);
  EXPECT_TRUE(model.IsBusy());
  model.OnMessage(kCheckStarted, nullptr, nullptr);
  EXPECT_EQ(model.ProgressInfo(), "Start reading barcode...");

  const BrowsedSlotRecord withCode{5, 1, "AB-12"}, emptyCode{6, 1, ""}, noCode{7, 1, nullptr},
      empty{8, 0, nullptr};
  auto r = model.OnMessage(kCheckSlot, nullptr, &withCode);
  ASSERT_TRUE(r.mark);
  EXPECT_EQ(r.mark->slot, 5);
  EXPECT_TRUE(r.mark->used);
  EXPECT_EQ(r.mark->slideId, "AB-12");
  EXPECT_EQ(model.ProgressInfo(), "Slot 5: ChipPresent = Yes, Barcode = AB-12");
  EXPECT_EQ(model.DoneText(), "25 %");
  model.OnMessage(kCheckSlot, nullptr, &emptyCode);
  EXPECT_EQ(model.ProgressInfo(), "Slot 6: ChipPresent = Yes, Barcode = NoBarcode");
  r = model.OnMessage(kCheckSlot, nullptr, &noCode);
  EXPECT_EQ(r.mark->slideId, "");
  EXPECT_EQ(model.ProgressInfo(), "Slot 7: ChipPresent = Yes, Barcode = NoBarcode");
  r = model.OnMessage(kCheckSlot, nullptr, &empty);
  EXPECT_FALSE(r.mark->used);
  EXPECT_EQ(model.ProgressInfo(), "Slot 8: ChipPresent = No");
  EXPECT_EQ(model.Percent(), 100);

  r = model.OnMessage(kCheckSlot, nullptr, nullptr);  // no record: nothing to mark or count
  EXPECT_FALSE(r.mark);
  EXPECT_EQ(model.SlotsDone(), 4);

  r = model.OnMessage(kCheckEnded, nullptr, nullptr);
  EXPECT_TRUE(r.finished);
  EXPECT_FALSE(model.IsBusy());
  EXPECT_EQ(model.ProgressInfo(), "Reading barcode completed");
}

TEST(CheckCarouselModelTest, WithoutBarcodesAndAfterAFailure) {
  CheckCarouselModel model(1, 3);
  model.Begin(false);
  model.OnMessage(kCheckStarted, nullptr, nullptr);
  EXPECT_EQ(model.ProgressInfo(), "Start browsing carousel...");
  const BrowsedSlotRecord slot{1, 1, nullptr};
  const auto r = model.OnMessage(kCheckSlot, nullptr, &slot);
  EXPECT_EQ(r.mark->slideId, "");  // a typed slide identifier is cleared
  EXPECT_EQ(model.ProgressInfo(), "Slot 1: ChipPresent = Yes, Barcode = <not read>");
  EXPECT_EQ(model.DoneText(), "33 %");

  model.RequestCancel();
  model.OnMessage(kCheckFailed, "Description: door open", nullptr);
  EXPECT_TRUE(model.IsFailed());
  EXPECT_EQ(model.ProgressInfo(), "Browsing carousel failed:Description: door open");
  model.OnMessage(kCheckEnded, nullptr, nullptr);
  EXPECT_EQ(model.ProgressInfo(), "Browsing carousel failed:Description: door open");  // the failure stays
  EXPECT_EQ(model.SlotsDone(), 1);  // the count reached stays
  EXPECT_FALSE(model.IsCancelRequested());

  model.OnMessage(kCheckStarted, nullptr, nullptr);  // a new start forgets the failure
  EXPECT_FALSE(model.IsFailed());
  EXPECT_EQ(model.DoneText(), "0 %");
}

}  // namespace
