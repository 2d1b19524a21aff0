#pragma once
// The configuration windows' tests run on a real (virtual) display: wx is started once
// for the executable, every test gets the profile fixture, and windows it keeps are
// destroyed after it. Screenshots are written when ZEVA_SCREENSHOT_DIR is set.
#include <gtest/gtest.h>
#include <wx/config.h>
#include <wx/dcmemory.h>
#include <wx/dcscreen.h>
#include <wx/fileconf.h>
#include <wx/image.h>
#include <wx/init.h>
#include <wx/wx.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "ProfileFixture.h"
#include "testsupport/TestEnv.h"

namespace wxtest {

inline bool gDisplay = false;

class WxEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    if (!std::getenv("DISPLAY")) return;
    static int argc = 1;
    static char name[] = "Lumetra_config_gui_tests";
    static char* argv[] = {name, nullptr};
    wxApp::SetInstance(new wxApp);  // owned by wx from here on
    gDisplay = wxEntryStart(argc, argv) && wxTheApp && wxTheApp->CallOnInit();
    wxSetAssertHandler(
        [](const wxString& file, int line, const wxString&, const wxString& cond, const wxString& msg) {
          ADD_FAILURE() << file << ":" << line << " " << cond << " " << msg;
        });
    wxInitAllImageHandlers();
    // Stored window placements go to a file of the test run, not the user's.
    delete wxConfigBase::Set(
        new wxFileConfig("", "", config_.file("placement.ini"), "", wxCONFIG_USE_LOCAL_FILE));
  }
  void TearDown() override {
    if (!gDisplay) return;
    delete wxConfigBase::Set(nullptr);
    wxTheApp->OnExit();
    wxEntryCleanup();
  }

 private:
  testsupport::TempDir config_;
};

// Runs what the display has queued, a bounded number of rounds.
inline void settle() {
  for (int i = 0; i < 20; ++i) {
    wxTheApp->Yield(true);
    wxTheApp->ProcessIdle();
  }
}

// Saves what the display shows of `w` as a PNG once it has painted itself.
inline void screenshot(wxWindow* w, const std::string& name) {
  const char* dir = std::getenv("ZEVA_SCREENSHOT_DIR");
  if (!dir) return;
  bool painted = false;
  const auto onPaint = [&painted](wxPaintEvent& e) {
    painted = true;
    e.Skip();
  };
  w->Bind(wxEVT_PAINT, onPaint);
  w->Raise();
  w->Refresh();
  for (int i = 0; i < 100000 && !painted; ++i) wxTheApp->Yield(true);
  w->Unbind(wxEVT_PAINT, onPaint);
  w->Update();
  for (int i = 0; i < 10; ++i) settle();
  const wxRect r = w->GetScreenRect();
  wxBitmap bitmap(r.width, r.height);
  wxMemoryDC memory(bitmap);
  wxScreenDC screen;
  memory.Blit(0, 0, r.width, r.height, &screen, r.x, r.y);
  memory.SelectObject(wxNullBitmap);
  bitmap.SaveFile(std::string(dir) + "/" + name, wxBITMAP_TYPE_PNG);
}

class WindowTest : public ProfileTest {
 protected:
  void SetUp() override {
    if (!gDisplay) GTEST_SKIP() << "no display";
  }
  void TearDown() override {
    for (wxWindow* w : windows_) {
      w->Hide();
      w->Destroy();
    }
    if (gDisplay) settle();
  }
  template <class W>
  W* keep(W* w) {
    windows_.push_back(w);
    return w;
  }
  std::vector<wxWindow*> windows_;
};

}  // namespace wxtest

namespace wxtest {
inline ::testing::Environment* const gEnvironment = ::testing::AddGlobalTestEnvironment(new WxEnvironment);
}  // namespace wxtest
