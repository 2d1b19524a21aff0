#pragma once
// The editor's application: one instance at a time, message boxes as wx dialogs, the
// region list window as its main window.
#include <wx/app.h>
#include <wx/ipc.h>
#include <wx/snglinst.h>

#include <memory>
#include <string>

#include "Global.h"

namespace quillmark {

class RegionFrame;

// Message boxes of the editor as wx dialogs (the platform hook's answer numbers).
int ShowWxMessageBox(const std::string& text, const std::string& caption, unsigned type);

class QuillmarkApp : public wxApp {
 public:
  QuillmarkApp();
  ~QuillmarkApp() override;
  bool OnInit() override;
  // A second instance ends here with 0 once it has woken the first.
  int OnRun() override;
  int OnExit() override;

  // The earlier instance's main window to the front.
  void ActivateMainWindow();

  // Whether the windows got as far as OnInit (false: the display could not be opened).
  static bool Initialised();
  // What kept the editor from starting, as told to the user; "" when it started (or
  // the user chose no model).
  static std::string StartupFailure();

 private:
  Global global_;
  RegionFrame* frame_ = nullptr;
  bool handedOver_ = false;
  std::unique_ptr<wxSingleInstanceChecker> checker_;
  std::unique_ptr<wxServer> server_;
};

// The folder for this user's instance lock and activation socket: the platform's runtime
// folder ("" when it is refused).
std::string RuntimeFolder();

}  // namespace quillmark
