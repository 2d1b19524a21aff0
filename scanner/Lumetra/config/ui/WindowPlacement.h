#pragma once
// Stored placement of a resizable dialog, kept through wx's persistence manager under the
// dialog's name. The dialog saves it from its own destructor (SaveAndUnregister): the
// framework's ready-made window persistence saves from the destroy event, when only the
// window's base part is left, which the sanitizers rightly reject.
#include <wx/display.h>
#include <wx/persist.h>
#include <wx/toplevel.h>

#include <algorithm>

namespace lumetra {

class WindowPlacement : public wxPersistentObject {
 public:
  WindowPlacement(wxTopLevelWindow* window, const wxString& name)
      : wxPersistentObject(window), m_Name(name) {}

  void Save() const override {
    const auto* w = static_cast<const wxTopLevelWindow*>(GetObject());
    const wxRect r = w->GetRect();
    SaveValue("x", r.x);
    SaveValue("y", r.y);
    SaveValue("w", r.width);
    SaveValue("h", r.height);
  }
  bool Restore() override {
    auto* w = static_cast<wxTopLevelWindow*>(GetObject());
    int x = 0, y = 0, width = 0, height = 0;
    if (!RestoreValue("x", &x) || !RestoreValue("y", &y) || !RestoreValue("w", &width) ||
        !RestoreValue("h", &height))
      return false;
    const wxSize least = w->GetMinSize();
    w->SetSize(FitIntoWorkArea(wxRect(x, y, std::max(width, least.x), std::max(height, least.y))));
    return true;
  }
  wxString GetKind() const override { return "Window"; }
  wxString GetName() const override { return m_Name; }

  // Registers the window and restores its placement.
  static void RegisterAndRestore(wxTopLevelWindow* window, const wxString& name) {
    wxPersistenceManager::Get().Register(window, new WindowPlacement(window, name));
    wxPersistenceManager::Get().Restore(window);
  }

  // A placement saved on another screen (larger, or arranged otherwise) is moved and, where
  // it must be, shrunk into the work area of the display it lies on, so that no part of the
  // window (its buttons, its status bar) is out of reach.
  static wxRect FitIntoWorkArea(wxRect r) {
    const wxRect area = WorkAreaOf(r);
    r.width = std::min(r.width, area.width);
    r.height = std::min(r.height, area.height);
    r.x = std::clamp(r.x, area.x, area.x + area.width - r.width);
    r.y = std::clamp(r.y, area.y, area.y + area.height - r.height);
    return r;
  }

 private:
  // The display holding the rectangle's centre, else the one it overlaps most, else the
  // primary one.
  static wxRect WorkAreaOf(const wxRect& r) {
    int index = wxDisplay::GetFromPoint(wxPoint(r.x + r.width / 2, r.y + r.height / 2));
    if (index == wxNOT_FOUND) {
      long best = 0;
      for (unsigned i = 0; i < wxDisplay::GetCount(); ++i) {
        const wxRect common = r.Intersect(wxDisplay(i).GetGeometry());
        const long overlap = static_cast<long>(common.width) * common.height;
        if (!common.IsEmpty() && overlap > best) {
          best = overlap;
          index = static_cast<int>(i);
        }
      }
    }
    return wxDisplay(index == wxNOT_FOUND ? 0u : static_cast<unsigned>(index)).GetClientArea();
  }

  wxString m_Name;
};

}  // namespace lumetra
