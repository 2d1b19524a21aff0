// The library's entry: one scanner window per desktop, run modally on the caller's thread.
#include <wx/app.h>
#include <wx/init.h>
#include <wx/msgdlg.h>
#include <wx/utils.h>

#include <cstdio>
#include <new>
#include <string>

#include "Jotwell/Logger.h"
#include "Lumetra/ScannerUI.h"
#include "maindlg/SingleInstance.h"
#include "maindlg/ui/BitFilePicker.h"
#include "maindlg/ui/ScanDlg.h"
#include "platform/ui.h"

namespace {

using lumetra::maindlg::CScanDlg;

// The window of this process while it runs: a second call on the same thread finds it
// here (the desktop channel answers other processes).
CScanDlg* g_pOpenDlg = nullptr;

// A host without wx gets wx started for the call (and ended after it); a wx host keeps its
// own application.
class WxSession {
 public:
  WxSession() {
    if (wxTheApp) {
      m_bReady = true;
      return;
    }
    static int argc = 1;
    static char name[] = "Lumetra";
    static char* argv[] = {name, nullptr};
    // GTK hides scroll bars until the pointer comes near: the operator would not see that
    // the grid has more columns and rows. Unless the desktop says otherwise, show them.
    if (!wxGetEnv("GTK_OVERLAY_SCROLLING", nullptr)) wxSetEnv("GTK_OVERLAY_SCROLLING", "0");
    wxApp::SetInstance(new wxApp);  // owned by wx from here on
    m_bOwned = true;
    m_bReady = wxEntryStart(argc, argv) && wxTheApp && wxTheApp->CallOnInit();
    if (!m_bReady) {
      LogError("ShowScannerUI: the window system cannot be started (no display?).");
      std::fputs("The scanner window cannot open: the window system cannot be started (no display?).\n",
                 stderr);
    }
  }
  ~WxSession() {
    if (!m_bOwned) return;
    if (m_bReady) wxTheApp->OnExit();
    wxEntryCleanup();
  }
  WxSession(const WxSession&) = delete;
  WxSession& operator=(const WxSession&) = delete;
  bool Ready() const { return m_bReady; }

 private:
  bool m_bOwned = false;
  bool m_bReady = false;
};

// The host's window when `hParent` is one of this process's windows.
wxWindow* HostWindow(void* hParent) {
  if (!hParent) return nullptr;
  for (wxWindow* w : wxTopLevelWindows)
    if (w == hParent) return w;
  return nullptr;
}

}  // namespace

extern "C" LUMETRA_API void ShowScannerUI(void* hParent, const char* connect) {
  WxSession session;
  if (!session.Ready()) return;
  auto previousBox = platform::ui::setMessageBoxHook(lumetra::maindlg::WxMessageBox);
  // Late reports (a report viewer that failed after the command returned) are shown from
  // the window's event loop; the previous hooks come back before wx may go.
  auto previousDispatch = platform::ui::setDispatchHook(
      [](std::function<void()> report) { wxTheApp->CallAfter(std::move(report)); });
  struct RestoreBox {
    platform::ui::MessageBoxHook hook;
    platform::ui::DispatchHook dispatch;
    ~RestoreBox() {
      platform::ui::setDispatchHook(std::move(dispatch));
      platform::ui::setMessageBoxHook(std::move(hook));
    }
  } restore{std::move(previousBox), std::move(previousDispatch)};
  const lumetra::maindlg::BitFilePickerInstalled picker;

  if (g_pOpenDlg) {
    g_pOpenDlg->BringToFront();
    return;
  }
  if (lumetra::maindlg::FindRunningInstance() != lumetra::maindlg::RunningInstance::none) return;

  wxWindow* parent = HostWindow(hParent);
  CScanDlg* dialog = nullptr;
  try {
    dialog = new CScanDlg(parent);  // a wx window: it deletes itself through Destroy
  } catch (const std::bad_alloc&) {
    const std::string text = lumetra::maindlg::MainDlgText(2003, "Memory allocation failed");
    if (parent)
      wxMessageBox(text, wxEmptyString, wxOK, parent);
    else
      platform::ui::messageBox(text);
    return;
  }
  dialog->Core().m_strConnectString = connect ? connect : "";
  g_pOpenDlg = dialog;
  dialog->DoModal();
  g_pOpenDlg = nullptr;
  dialog->Destroy();
  // Deleting the window and what it owns happens in idle time; give wx that time before a
  // host without wx ends it.
  wxTheApp->ProcessIdle();
}
