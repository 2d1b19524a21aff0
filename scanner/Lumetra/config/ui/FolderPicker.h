#pragma once
// Lets the user choose an output folder, opened on an initial folder when that exists.
// The process's current folder is never touched: other threads resolve relative paths
// against it while the dialog is open.
#include <functional>
#include <optional>
#include <string>

class wxWindow;

class CFolderPicker {
 public:
  static constexpr std::size_t kMaxTitle = 259;

  CFolderPicker(wxWindow* parent, const std::string& title);

  // True when the user chose a folder; GetPath() then holds it. Cancel keeps the path.
  bool DoModal();
  const std::string& GetPath() const { return m_Path; }
  const std::string& GetTitle() const { return m_Title; }

  // The folder shown first; empty, or a folder that does not exist, opens without one.
  std::string InitialFolder;

  // What runs the dialog: gets the title and the initial folder (empty when none) and
  // returns the chosen folder. Tests replace it; returns the previous one.
  using Runner = std::function<std::optional<std::string>(wxWindow* parent, const std::string& title,
                                                          const std::string& initialFolder)>;
  static Runner SetRunner(Runner runner);

 private:
  wxWindow* m_Parent;
  std::string m_Title;
  std::string m_Path;
};
