// The data port's bit-file picker in the operator's process: a wx open-file dialog with the
// port's filter, shown on the user-interface thread whichever thread asks.
#include "maindlg/ui/BitFilePicker.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <wx/filedlg.h>
#include <wx/modalhook.h>

#include <functional>
#include <future>
#include <thread>
#include <utility>

#include "testsupport/TestEnv.h"
#include "testsupport/WxTestEnv.h"

namespace {

using lumetra::maindlg::BitFilePickerInstalled;
using lumetra::maindlg::WildcardOfFilter;
using wxtest::gDisplay;

TEST(BitFilePickerFilter, MfcFiltersBecomeWxWildcards) {
  const struct {
    const char* filter;
    const char* wildcard;
  } cases[] = {
      {"Xilinx Configuration Files (*.bit)|*.bit|All Files (*.*)|*.*||",
       "Xilinx Configuration Files (*.bit)|*.bit|All Files (*.*)|*"},
      {"Text (*.txt;*.log)|*.txt;*.log||", "Text (*.txt;*.log)|*.txt;*.log"},
      {"Any|*.*", "Any|*"},
      {"", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(WildcardOfFilter(c.filter), c.wildcard) << c.filter;
}

class BitFilePickerTest : public testsupport::ZevaTest {
 protected:
  void SetUp() override {
    if (!gDisplay) GTEST_SKIP() << "no display";
    hook_.Register();
  }
  void TearDown() override {
    if (gDisplay) hook_.Unregister();
  }
  // When the picker is up: checks it and ends it through `answer` (on the UI thread). The
  // native dialog is not among wx's own windows; the modal hook sees it come up.
  void WhenShown(std::function<void(wxFileDialog&)> answer) { hook_.answer = std::move(answer); }

  class Hook : public wxModalDialogHook {
   public:
    std::function<void(wxFileDialog&)> answer;
    int shown = 0;

   protected:
    int Enter(wxDialog* dialog) override {
      auto* d = dynamic_cast<wxFileDialog*>(dialog);
      if (!d) return wxID_NONE;
      if (!answer) return wxID_NONE;
      ++shown;
      // Ended from inside its own modal loop, as a user would.
      wxTheApp->CallAfter([d, a = std::exchange(answer, nullptr)] { a(*d); });
      return wxID_NONE;
    }
    void Exit(wxDialog*) override {}
  };
  static void ExpectThePortsDialog(wxFileDialog& d) {
    EXPECT_EQ(d.GetWildcard(), "Xilinx Configuration Files (*.bit)|*.bit|All Files (*.*)|*");
    EXPECT_EQ(d.GetMessage(), "Open");
    EXPECT_TRUE(d.HasFlag(wxFD_OPEN));
    EXPECT_TRUE(d.HasFlag(wxFD_FILE_MUST_EXIST));
  }
  Hook hook_;
};

// The dialog's own answer (the path the user picked) is the toolkit's; what is checked
// here is that the dialog comes up as the port asks for it, on the right thread, and that
// a cancelled one gives "".
TEST_F(BitFilePickerTest, TheUserInterfaceShowsThePortsDialogOnItsOwnThread) {
  {
    const BitFilePickerInstalled installed;
    WhenShown([](wxFileDialog& d) {
      ExpectThePortsDialog(d);
      d.EndModal(wxID_CANCEL);
    });
    EXPECT_EQ(GetConfigBitFilePath(nullptr), "");

    // From another thread the dialog still runs here, on the user-interface thread.
    WhenShown([](wxFileDialog& d) {
      EXPECT_TRUE(wxThread::IsMain());
      ExpectThePortsDialog(d);
      d.EndModal(wxID_CANCEL);
    });
    auto answer = std::async(std::launch::async, [] { return GetConfigBitFilePath(nullptr); });
    while (answer.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready) wxTheApp->Yield(true);
    EXPECT_EQ(answer.get(), "");
    EXPECT_EQ(hook_.shown, 2);
  }
  // Without the user interface nothing is shown.
  EXPECT_EQ(GetConfigBitFilePath(nullptr), "");
  EXPECT_EQ(hook_.shown, 2);
}

}  // namespace
