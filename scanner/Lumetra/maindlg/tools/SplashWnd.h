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
  // For the main window's event pre-processing: hides the splash and returns true
  // (consumed) for a key or mouse-button press while a splash is shown; else false.
  static bool PreTranslateAppMessage(const wxEvent& event);

  // The splash shown now, or null.
  static CSplashWnd* Current();

  ~CSplashWnd() override;

 private:
  CSplashWnd(const wxBitmap& bitmap, wxWindow* parent);
  void Hide();
  void OnClose(wxCloseEvent& event);

  wxWindow* m_pParent;
};
