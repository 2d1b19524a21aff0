#include "run/RunStatus.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "RecordingWindow.h"

namespace {

using namespace lumetra::run;
using lumetra_test::RecordingWindow;

const ResourceLookup kNoResources = [](int) { return std::optional<std::string>(); };

TEST(RunStatusTest, TextsComeFromTheStringTableThenTheBuiltInTable) {
  struct Case {
    int id;
    bool resources;
    const char* text;
    bool found;
  } cases[] = {
      {9914, true, "Ejecting chip...", true},
      {9914, false, "Ejecting slide...", true},
      {9949, false,
       "Failed the automatic file naming (may caused by an invalid output folder path, invalid 'Prefix' or "
       "the "
       "'scannumber' exceed the limit).",
       true},
      {9952, true, "Failed to process scan data", true},
      {9952, false, "Unknown message ID: 9952", false},  // no built-in text
      {9931, false, "Unknown message ID: 9931", false},
      {9937, false, "Carousel run completed.", true},
      {12345, true, "Unknown message ID: 12345", false},
  };
  for (const Case& c : cases) {
    std::string text;
    EXPECT_EQ(GetMessageText(c.id, text, c.resources ? ResourceLookup(LoadResourceString) : kNoResources),
              c.found)
        << c.id;
    EXPECT_EQ(text, c.text) << c.id;
  }
}

TEST(RunStatusTest, LinesAreSentWithTheirKindAndJoinedTexts) {
  RecordingWindow window;
  std::vector<std::pair<int, std::string>> lines;
  window.OnMessage = [&](const RecordingWindow::Message& m) {
    if (m.message == WM_SCAN_STATUS_LINE)
      lines.emplace_back(static_cast<int>(m.wParam), reinterpret_cast<const char*>(m.lParam));
  };
  CRunStatus status;
  status.SendStatusLine("not shown", kLineInfo);  // no window yet: nothing
  EXPECT_EQ(status.SetStatusWindow(&window), nullptr);
  status.SendStatusMessage(9911, 9912, kLineProgress);
  status.SendStatusMessage(9913, 0, kLineProgress);
  status.SendStatusText(9909, "", kLineError);
  status.SendStatusText(9909, "Disk full", kLineError);
  status.SendStatusLine("100% done", kLineSuccess);
  EXPECT_EQ(lines, (std::vector<std::pair<int, std::string>>{{0, "Scan aborted. Saving any collected data."},
                                                             {0, "Saving file..."},
                                                             {5, "Scan failed."},
                                                             {5, "Scan failed.\r\nDisk full"},
                                                             {1, "100% done"}}));
  for (const auto& m : window.Messages()) EXPECT_TRUE(m.sent);
  EXPECT_EQ(status.SetStatusWindow(nullptr), &window);
}

TEST(RunStatusTest, RunEndIsPostedAndTheScanFileRecordSent) {
  RecordingWindow window;
  ScanFileRecord seen;
  std::string name, barcode;
  window.OnMessage = [&](const RecordingWindow::Message& m) {
    if (m.message != WM_SCAN_FILE_INFO) return;
    seen = *reinterpret_cast<const ScanFileRecord*>(m.lParam);
    name = seen.fileName;
    barcode = seen.barcode;
  };
  CRunStatus status(&window);
  status.SendAttention(1, 0);
  status.SendScanFileInfo("/data/a.tif", "2500001", 3, 2, 4320);
  const auto messages = window.Messages();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(messages[0], (RecordingWindow::Message{WM_RUN_ENDED, 0, 1, false}));
  EXPECT_TRUE(messages[1].sent);
  EXPECT_EQ(seen.code, 1001);
  EXPECT_EQ(seen.slot, 3);
  EXPECT_EQ(seen.slidesDone, 2);
  EXPECT_EQ(seen.lines, 4320);
  EXPECT_EQ(name, "/data/a.tif");
  EXPECT_EQ(barcode, "2500001");
}

}  // namespace
