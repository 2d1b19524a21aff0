#pragma once
// Window tests run on a real (virtual) display: wx is started once per test executable
// (no display: every window test skips), a failed wx check fails the test instead of
// opening a dialog, and screenshots are written when ZEVA_SCREENSHOT_DIR is set.
// Header-only: only window tests, which link wx, include it.
#include <gtest/gtest.h>
#include <wx/config.h>
#include <wx/dcmemory.h>
#include <wx/dcscreen.h>
#include <wx/evtloop.h>
#include <wx/fileconf.h>
#include <wx/image.h>
#include <wx/init.h>
#include <wx/timer.h>
#include <wx/wx.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

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
    // As the programs do: scroll bars always shown, so that the layout checks see them.
    if (!wxGetEnv("GTK_OVERLAY_SCROLLING", nullptr)) wxSetEnv("GTK_OVERLAY_SCROLLING", "0");
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

// Runs the display's events until `done` holds or `limit` has passed; false on the limit.
inline bool runUntil(const std::function<bool()>& done,
                     std::chrono::seconds limit = std::chrono::seconds(30)) {
  if (done()) return true;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  wxGUIEventLoop loop;
  wxTimer check;
  check.Bind(wxEVT_TIMER, [&](wxTimerEvent&) {
    if (done() || std::chrono::steady_clock::now() >= deadline) loop.Exit();
  });
  check.Start(5);
  loop.Run();
  check.Stop();
  return done();
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

// What does not fit in a window: a control whose text needs more room than the control
// has, or a control that reaches beyond its parent's visible area. One line per fault,
// naming the control by class and label; empty when everything fits. Children of
// scrolling windows (grid cells, property rows) are left out: they may scroll.
inline std::vector<std::string> layoutFaults(wxWindow* top) {
  std::vector<std::string> faults;
  const auto name = [](wxWindow* w) {
    std::string n = w->GetClassInfo() ? std::string(wxString(w->GetClassInfo()->GetClassName()).utf8_str())
                                      : std::string("window");
    const wxString label = w->GetLabel();
    if (!label.empty()) n += " \"" + std::string(label.utf8_str()) + "\"";
    return n;
  };
  const auto walk = [&](auto&& self, wxWindow* parent) -> void {
    if (dynamic_cast<wxScrollHelperBase*>(parent) && parent != top) return;
    const wxSize area = parent->GetClientSize();
    for (wxWindow* w : parent->GetChildren()) {
      if (!w->IsShown() || w->IsTopLevel()) continue;
      // A frame's own bars sit outside its client area by design.
      if (auto* frame = dynamic_cast<wxFrame*>(parent);
          frame && (w == frame->GetStatusBar() || w == frame->GetToolBar()))
        continue;
      const wxRect r = w->GetRect();
      if (r.x < 0 || r.y < 0 || r.GetRight() >= area.x || r.GetBottom() >= area.y)
        faults.push_back(name(w) + " at " + std::to_string(r.x) + "," + std::to_string(r.y) + " size " +
                         std::to_string(r.width) + "x" + std::to_string(r.height) + " outside its parent's " +
                         std::to_string(area.x) + "x" + std::to_string(area.y));
      // Controls that show their own text: their best size holds the text and its padding.
      if (dynamic_cast<wxAnyButton*>(w) || dynamic_cast<wxStaticText*>(w) || dynamic_cast<wxCheckBox*>(w) ||
          dynamic_cast<wxRadioButton*>(w) || dynamic_cast<wxChoice*>(w)) {
        const wxSize best = w->GetBestSize();
        const wxSize now = w->GetSize();
        if (best.x > now.x || best.y > now.y)
          faults.push_back(name(w) + " is " + std::to_string(now.x) + "x" + std::to_string(now.y) +
                           ", its text needs " + std::to_string(best.x) + "x" + std::to_string(best.y));
      }
      // Content beyond the visible area needs a visible scroll bar to reach it.
      if (dynamic_cast<wxScrollHelperBase*>(w)) {
        const wxSize client = w->GetClientSize();
        const wxSize whole = w->GetSize();
        if (w->GetScrollRange(wxHORIZONTAL) > w->GetScrollThumb(wxHORIZONTAL) && client.y >= whole.y)
          faults.push_back(name(w) + " is wider inside than shown but has no horizontal scroll bar");
        if (w->GetScrollRange(wxVERTICAL) > w->GetScrollThumb(wxVERTICAL) && client.x >= whole.x)
          faults.push_back(name(w) + " is taller inside than shown but has no vertical scroll bar");
      }
      self(self, w);
    }
  };
  walk(walk, top);
  return faults;
}

// The layout faults of a top-level window sized for a screen of `screen`: no larger than
// the screen, laid out again, then checked as layoutFaults does; a window that must grow
// beyond the screen to fit is a fault too.
inline std::vector<std::string> layoutFaultsOnScreen(wxTopLevelWindow* w, wxSize screen) {
  const wxSize before = w->GetSize();
  w->SetSize(wxSize(std::min(before.x, screen.x), std::min(before.y, screen.y)));
  w->Layout();
  settle();
  std::vector<std::string> faults;
  const wxSize now = w->GetSize();
  if (now.x > screen.x || now.y > screen.y)
    faults.push_back("the window is " + std::to_string(now.x) + "x" + std::to_string(now.y) +
                     ", larger than " + std::to_string(screen.x) + "x" + std::to_string(screen.y));
  for (std::string& f : layoutFaults(w)) faults.push_back(std::move(f));
  w->SetSize(before);
  w->Layout();
  settle();
  return faults;
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
