#pragma once
// The start-up splash: a borderless picture over the main window that goes after 6
// seconds or at the first key or mouse press anywhere in the application (the press is
// consumed). At most one exists.
#include <wx/event.h>
#include <wx/splash.h>

class CSplashWnd : public wxSplashScreen {
 public:
  static constexpr int kTimeoutMs = 6000;

  static void EnableSplashScreen(bool enable);
  // Shows the splash over `parent` when allowed and none is shown.
  static void ShowSplashScreen(wxWindow* parent);
  static void HideSplashScreen();
  // Offered every event of the application while a splash is shown (the splash is an
  // event filter; the main window may also call it): hides the splash and returns true
  // (consumed) for a key or mouse-button press; else false.
  static bool PreTranslateAppMessage(const wxEvent& event);

  // The splash shown now, or null.
  static CSplashWnd* Current();

  ~CSplashWnd() override;
  int FilterEvent(wxEvent& event) override;

 private:
  CSplashWnd(const wxBitmap& bitmap, wxWindow* parent);
  void OnClose(wxCloseEvent& event);

  wxWindow* m_pParent;
};
