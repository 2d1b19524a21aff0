#pragma once
// Stored placement of a resizable dialog, kept through wx's persistence manager under the
// dialog's name. The dialog saves it from its own destructor (SaveAndUnregister): the
// framework's ready-made window persistence saves from the destroy event, when only the
// window's base part is left, which the sanitizers rightly reject.
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
    w->SetSize(x, y, std::max(width, least.x), std::max(height, least.y));
    return true;
  }
  wxString GetKind() const override { return "Window"; }
  wxString GetName() const override { return m_Name; }

  // Registers the window and restores its placement.
  static void RegisterAndRestore(wxTopLevelWindow* window, const wxString& name) {
    wxPersistenceManager::Get().Register(window, new WindowPlacement(window, name));
    wxPersistenceManager::Get().Restore(window);
  }

 private:
  wxString m_Name;
};

}  // namespace lumetra
