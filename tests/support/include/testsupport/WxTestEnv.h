#pragma once
// Window tests run on a real (virtual) display: wx is started once per test executable
// (no display: every window test skips), a failed wx check fails the test instead of
// opening a dialog, and screenshots are written when ZEVA_SCREENSHOT_DIR is set.
// Header-only: only window tests, which link wx, include it.
#include <gtest/gtest.h>
#include <wx/config.h>
#include <wx/dcmemory.h>
#include <wx/dcscreen.h>
#include <wx/fileconf.h>
#include <wx/image.h>
#include <wx/init.h>
#include <wx/timer.h>
#include <wx/wx.h>

#include <cstdlib>
#include <string>

namespace wxtest {

// True once wx runs on a display.
inline bool gDisplay = false;

class WxEnvironment : public ::testing::Environment {
 public:
  // `placementFile`: where stored window placements go (none: wx's default).
  explicit WxEnvironment(std::string program, std::string placementFile = {})
      : program_(std::move(program)), placementFile_(std::move(placementFile)) {}

  void SetUp() override {
    if (!std::getenv("DISPLAY")) return;
    static int argc = 1;
    static std::string name;
    name = program_;
    static char* argv[] = {name.data(), nullptr};
    wxApp::SetInstance(new wxApp);  // owned by wx from here on
    gDisplay = wxEntryStart(argc, argv) && wxTheApp && wxTheApp->CallOnInit();
    wxSetAssertHandler(
        [](const wxString& file, int line, const wxString&, const wxString& cond, const wxString& msg) {
          ADD_FAILURE() << file << ":" << line << " " << cond << " " << msg;
        });
    wxInitAllImageHandlers();
    if (!placementFile_.empty())
      delete wxConfigBase::Set(new wxFileConfig("", "", placementFile_, "", wxCONFIG_USE_LOCAL_FILE));
  }
  void TearDown() override {
    if (!gDisplay) return;
    if (!placementFile_.empty()) delete wxConfigBase::Set(nullptr);
    wxTheApp->OnExit();
    wxEntryCleanup();
  }

 private:
  std::string program_;
  std::string placementFile_;
};

// Runs what the display has queued, a bounded number of rounds (idle processing also
// deletes destroyed windows).
inline void settle() {
  for (int i = 0; i < 20; ++i) {
    wxTheApp->Yield(true);
    wxTheApp->ProcessIdle();
  }
}

// Saves what the display shows of `w` as a PNG when ZEVA_SCREENSHOT_DIR is set, once the
// window has painted itself (a bounded number of event rounds).
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
  settle();
  const wxRect r = w->GetScreenRect();
  wxBitmap bitmap(r.width, r.height);
  wxMemoryDC memory(bitmap);
  wxScreenDC screen;
  memory.Blit(0, 0, r.width, r.height, &screen, r.x, r.y);
  memory.SelectObject(wxNullBitmap);
  bitmap.SaveFile(std::string(dir) + "/" + name, wxBITMAP_TYPE_PNG);
}

// Ends every modal dialog should a test's scripted steps not, so that a fault fails the
// test instead of hanging it.
class Watchdog {
 public:
  Watchdog() {
    timer_.Bind(wxEVT_TIMER, [](wxTimerEvent&) {
      ADD_FAILURE() << "a dialog was still open after 30 s";
      for (wxWindow* w : wxTopLevelWindows)
        if (auto* d = dynamic_cast<wxDialog*>(w); d && d->IsModal()) d->EndModal(wxID_CANCEL);
    });
    timer_.StartOnce(30000);
  }

 private:
  wxTimer timer_;
};

}  // namespace wxtest
