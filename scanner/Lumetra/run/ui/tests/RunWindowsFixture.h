#pragma once
// The run windows' tests: the profile fixture (own registry, install folder, recorded
// message boxes with scripted answers), shell opens recorded instead of run, the report
// in the test's folder, and an event loop that runs until a condition holds (bounded).
#include <gtest/gtest.h>
#include <wx/evtloop.h>
#include <wx/timer.h>
#include <wx/wx.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "Jotwell/RegEdit.h"
#include "ProfileFixture.h"
#include "platform/ui.h"
#include "testsupport/TestEnv.h"
#include "testsupport/WxTestEnv.h"

namespace wxtest {

inline void click(wxWindow* dialog, int id) {
  wxWindow* button = dialog->FindWindow(id);
  ASSERT_NE(button, nullptr) << id;
  wxCommandEvent e(wxEVT_BUTTON, id);
  e.SetEventObject(button);
  button->GetEventHandler()->ProcessEvent(e);
}

class RunWindowTest : public ProfileTest {
 protected:
  void SetUp() override {
    if (!gDisplay) GTEST_SKIP() << "no display";
    previousShell_ = platform::ui::setShellOpenHook([this](const std::string& target) {
      opened_.push_back(target);
      return 42;
    });
    CRegEdit logging(HKEY_LOCAL_MACHINE, "Software\\Tarsel\\ZevazOdizo\\Scanner\\Logging\\");
    logging.WriteString("XMLFilesPath", tempDir() + "/CarouselRunLog.xml");
    logging.WriteString("HTMLLogPath", tempDir() + "/CarouselRunLog.htm");
  }
  void TearDown() override {
    for (wxWindow* w : windows_) {
      w->Hide();
      w->Destroy();
    }
    if (gDisplay) {
      settle();
      platform::ui::setShellOpenHook(previousShell_);
    }
  }
  template <class W>
  W* keep(W* w) {
    windows_.push_back(w);
    return w;
  }
  std::string boxWith(const std::string& caption) const {
    for (std::size_t i = 0; i < captions_.size(); ++i)
      if (captions_[i] == caption) return boxes_[i];
    return "<no box>";
  }

  std::vector<wxWindow*> windows_;
  std::vector<std::string> opened_;
  platform::ui::ShellOpenHook previousShell_;
};

}  // namespace wxtest

namespace wxtest {
inline ::testing::Environment* const gEnvironment =
    ::testing::AddGlobalTestEnvironment(new WxEnvironment("Lumetra_run_ui_gui_tests"));
}  // namespace wxtest
