#include "maindlg/tools/SplashWnd.h"

#include <wx/dcmemory.h>
#include <wx/font.h>

namespace {

bool g_bShowSplashWnd = false;
CSplashWnd* g_pSplashWnd = nullptr;

// The product picture: drawn here, as the library carries no image files.
wxBitmap SplashBitmap() {
  wxBitmap bitmap(420, 240);
  if (!bitmap.IsOk()) return bitmap;
  wxMemoryDC dc(bitmap);
  dc.SetBackground(wxBrush(wxColour(24, 44, 84)));
  dc.Clear();
  dc.SetPen(wxPen(wxColour(200, 60, 60), 6));
  dc.DrawLine(30, 170, 390, 170);
  dc.SetPen(wxPen(wxColour(60, 180, 80), 6));
  dc.DrawLine(30, 182, 390, 182);
  dc.SetTextForeground(*wxWHITE);
  dc.SetFont(wxFont(wxFontInfo(26).Bold()));
  dc.DrawText("Tarsel Halvorn", 30, 60);
  dc.SetFont(wxFont(wxFontInfo(12)));
  dc.DrawText("Zevazodizo slide scanner", 32, 115);
  dc.SelectObject(wxNullBitmap);
  return bitmap;
}

bool IsPress(const wxEvent& event) {
  const wxEventType t = event.GetEventType();
  return t == wxEVT_KEY_DOWN || t == wxEVT_LEFT_DOWN || t == wxEVT_RIGHT_DOWN || t == wxEVT_MIDDLE_DOWN ||
         t == wxEVT_AUX1_DOWN || t == wxEVT_AUX2_DOWN;
}

}  // namespace

CSplashWnd::CSplashWnd(const wxBitmap& bitmap, wxWindow* parent)
    : wxSplashScreen(bitmap, wxSPLASH_CENTRE_ON_PARENT | wxSPLASH_TIMEOUT, kTimeoutMs, parent, wxID_ANY,
                     wxDefaultPosition, wxDefaultSize, wxBORDER_NONE | wxFRAME_NO_TASKBAR | wxSTAY_ON_TOP),
      m_pParent(parent) {
  // Runs before the base's close handler, which destroys the window.
  Bind(wxEVT_CLOSE_WINDOW, &CSplashWnd::OnClose, this);
}

CSplashWnd::~CSplashWnd() {
  if (g_pSplashWnd == this) g_pSplashWnd = nullptr;
}

void CSplashWnd::EnableSplashScreen(bool enable) { g_bShowSplashWnd = enable; }

void CSplashWnd::ShowSplashScreen(wxWindow* parent) {
  if (!g_bShowSplashWnd || g_pSplashWnd) return;
  const wxBitmap bitmap = SplashBitmap();
  if (!bitmap.IsOk()) return;
  g_pSplashWnd = new CSplashWnd(bitmap, parent);
  g_pSplashWnd->Update();
}

void CSplashWnd::HideSplashScreen() {
  if (g_pSplashWnd) g_pSplashWnd->Close(true);
}

bool CSplashWnd::PreTranslateAppMessage(const wxEvent& event) {
  if (!g_pSplashWnd || !IsPress(event)) return false;
  HideSplashScreen();
  return true;
}

CSplashWnd* CSplashWnd::Current() { return g_pSplashWnd; }

int CSplashWnd::FilterEvent(wxEvent& event) {
  // Only the splash shown now acts; one being destroyed lets everything pass.
  if (g_pSplashWnd != this) return Event_Skip;
  return PreTranslateAppMessage(event) ? Event_Processed : Event_Skip;
}

void CSplashWnd::OnClose(wxCloseEvent& event) {
  if (g_pSplashWnd == this) g_pSplashWnd = nullptr;
  Hide();
  if (m_pParent) m_pParent->Update();
  event.Skip();
}
