#include "maindlg/tools/SplashWnd.h"
void CSplashWnd::EnableSplashScreen(bool) {}
void CSplashWnd::ShowSplashScreen(wxWindow*) {}
void CSplashWnd::HideSplashScreen() {}
bool CSplashWnd::PreTranslateAppMessage(const wxEvent&) { return false; }
CSplashWnd* CSplashWnd::Current() { return nullptr; }
CSplashWnd::~CSplashWnd() = default;
