#include "config/ui/FolderPicker.h"

#include <gtest/gtest.h>
#include <wx/dirdlg.h>

#include <filesystem>

#include "WxFixture.h"
#include "config/ui/WxText.h"
#include "platform/files.h"

namespace {

using wxtest::WindowTest;

class FolderPickerTest : public WindowTest {
 protected:
  void TearDown() override {
    CFolderPicker::SetRunner({});
    WindowTest::TearDown();
  }
};

TEST_F(FolderPickerTest, OpensOnAnExistingFolderAndKeepsTheCurrentFolder) {
  const auto cwd = std::filesystem::current_path();
  struct Seen {
    std::string title, initial;
  } seen;
  std::optional<std::string> answer;
  CFolderPicker::SetRunner([&](wxWindow*, const std::string& title, const std::string& initial) {
    seen = {title, initial};
    return answer;
  });

  struct Case {
    std::string initial, shown;
  } cases[] = {{dataDir(), dataDir()}, {tempDir() + "/missing", ""}, {"", ""}};
  for (const Case& c : cases) {
    CFolderPicker picker(nullptr, "Select A File Directory");
    picker.InitialFolder = c.initial;
    answer = std::nullopt;
    EXPECT_FALSE(picker.DoModal());  // cancelled
    EXPECT_EQ(picker.GetPath(), "");
    EXPECT_EQ(seen.initial, c.shown) << c.initial;
    EXPECT_EQ(seen.title, "Select A File Directory");
    EXPECT_EQ(std::filesystem::current_path(), cwd);
  }

  CFolderPicker picker(nullptr, std::string(300, 'T'));
  EXPECT_EQ(picker.GetTitle(), std::string(259, 'T'));
  answer = "/chosen";
  ASSERT_TRUE(picker.DoModal());
  EXPECT_EQ(picker.GetPath(), "/chosen");
  EXPECT_EQ(seen.title.size(), 259u);
  answer = std::nullopt;
  EXPECT_FALSE(picker.DoModal());
  EXPECT_EQ(picker.GetPath(), "/chosen");  // a cancel leaves the last choice
}

// Cancels the first folder dialog that is shown. (The native dialog reports its folder
// only once chosen, so what it opens on is checked through the runner above.)
class CancelDirDialog : public wxEventFilter {
 public:
  CancelDirDialog() { wxEvtHandler::AddFilter(this); }
  ~CancelDirDialog() override { wxEvtHandler::RemoveFilter(this); }
  int FilterEvent(wxEvent& event) override {
    if (event.GetEventType() != wxEVT_SHOW || handled_) return Event_Skip;
    auto* dialog = dynamic_cast<wxDirDialog*>(event.GetEventObject());
    if (!dialog || !static_cast<wxShowEvent&>(event).IsShown()) return Event_Skip;
    handled_ = true;
    wxTheApp->CallAfter([this, dialog] {
      title = lumetra::FromWx(dialog->GetMessage());
      dialog->EndModal(wxID_CANCEL);
    });
    return Event_Skip;
  }
  std::string title;

 private:
  bool handled_ = false;
};

TEST_F(FolderPickerTest, TheRealDialogOpensAndCancels) {
  const auto cwd = std::filesystem::current_path();
  CancelDirDialog cancel;
  CFolderPicker picker(nullptr, "Select A File Directory");
  picker.InitialFolder = dataDir();
  EXPECT_FALSE(picker.DoModal());
  EXPECT_EQ(cancel.title, "Select A File Directory");
  EXPECT_EQ(picker.GetPath(), "");
  EXPECT_EQ(std::filesystem::current_path(), cwd);
}

}  // namespace
