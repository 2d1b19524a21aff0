#include "App.h"

#include <wx/ipc.h>
#include <wx/msgdlg.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "Numbers.h"
#include "Windows.h"
#include "platform/files.h"
#include "platform/localpipe.h"
#include "platform/ui.h"

namespace quillmark {

namespace {

constexpr const char* kActivateTopic = "activate";

class ActivationConnection : public wxConnection {};

// Answers a later instance's request to bring this one to the front.
class ActivationServer : public wxServer {
 public:
  explicit ActivationServer(QuillmarkApp& app) : app_(app) {}
  wxConnectionBase* OnAcceptConnection(const wxString& topic) override {
    if (topic != kActivateTopic) return nullptr;
    app_.CallAfter([this] { app_.ActivateMainWindow(); });
    return new ActivationConnection;  // owned and deleted by wx when the client disconnects
  }

 private:
  QuillmarkApp& app_;
};

std::string socketPath() { return RuntimeFolder() + "/quillmark.ipc"; }

}  // namespace

std::string RuntimeFolder() { return platform::localpipe::runtimeDirectory(); }

namespace {
bool g_initialised = false;
std::string g_startupFailure;
}  // namespace

bool QuillmarkApp::Initialised() { return g_initialised; }
std::string QuillmarkApp::StartupFailure() { return g_startupFailure; }

int ShowWxMessageBox(const std::string& text, const std::string& caption, unsigned type) {
  namespace ui = platform::ui;
  long style = wxOK;
  switch (type & ui::MB_TYPEMASK) {
    case ui::MB_OKCANCEL:
      style = wxOK | wxCANCEL;
      break;
    case ui::MB_YESNO:
      style = wxYES_NO;
      break;
    case ui::MB_YESNOCANCEL:
      style = wxYES_NO | wxCANCEL;
      break;
    default:
      break;
  }
  switch (type & 0xF0) {
    case ui::MB_ICONERROR:
      style |= wxICON_ERROR;
      break;
    case ui::MB_ICONQUESTION:
      style |= wxICON_QUESTION;
      break;
    case ui::MB_ICONWARNING:
      style |= wxICON_WARNING;
      break;
    case ui::MB_ICONINFORMATION:
      style |= wxICON_INFORMATION;
      break;
    default:
      break;
  }
  wxString shown = ToWx(text);
  shown.Replace("\r\n", "\n");
  switch (wxMessageBox(shown, ToWx(caption), style, wxTheApp ? wxTheApp->GetTopWindow() : nullptr)) {
    case wxYES:
      return ui::IDYES;
    case wxNO:
      return ui::IDNO;
    case wxCANCEL:
      return ui::IDCANCEL;
    default:
      return ui::IDOK;
  }
}

QuillmarkApp::QuillmarkApp() : global_(GetDecimalSpecifier()[0]) {}
QuillmarkApp::~QuillmarkApp() = default;

bool QuillmarkApp::OnInit() {
  // The whole command line, upper case, is the model asked for (no options to parse).
  std::string model;
  for (int i = 1; i < argc; ++i) model += (i > 1 ? " " : "") + FromWx(argv[i]);
  model = Trim(model);
  std::transform(model.begin(), model.end(), model.begin(), [](unsigned char c) { return std::toupper(c); });

  g_initialised = true;
  platform::ui::setMessageBoxHook(ShowWxMessageBox);
  // Late reports (a help viewer that failed) are shown from the event loop.
  platform::ui::setDispatchHook([](std::function<void()> report) { wxTheApp->CallAfter(std::move(report)); });

  // The platform makes the folder private, or refuses it; nothing here makes it.
  const std::string folder = RuntimeFolder();
  if (folder.empty()) {
    g_startupFailure = "the runtime folder for its one-instance lock cannot be used";
    return false;
  }
  checker_ = std::make_unique<wxSingleInstanceChecker>();
  if (checker_->Create("quillmark.lock", ToWx(folder)) && checker_->IsAnotherRunning()) {
    // The earlier instance comes to the front; this one ends.
    wxClient client;
    std::unique_ptr<wxConnectionBase> c(
        client.MakeConnection("localhost", ToWx(socketPath()), kActivateTopic));
    if (c) c->Disconnect();
    handedOver_ = true;
    return true;
  }

  frame_ = new RegionFrame(global_);  // a top-level window: wx deletes it when it closes
  // The message that ends a failed start goes to stderr as well once the user closed it.
  std::string shown;
  platform::ui::setMessageBoxHook(
      [&shown](const std::string& text, const std::string& caption, unsigned type) {
        shown = text;
        return ShowWxMessageBox(text, caption, type);
      });
  const bool started = frame_->Startup(model, platform::directoryOf(platform::executablePath()));
  platform::ui::setMessageBoxHook(ShowWxMessageBox);
  if (!started) {
    g_startupFailure = shown;
    frame_->Destroy();
    frame_ = nullptr;
    return false;
  }
  SetTopWindow(frame_);
  // Left by an instance that did not end cleanly; missing is the usual case.
  (void)platform::removeFile(socketPath());
  server_ = std::make_unique<ActivationServer>(*this);
  server_->Create(ToWx(socketPath()));
  return true;
}

int QuillmarkApp::OnRun() { return handedOver_ ? 0 : wxApp::OnRun(); }

int QuillmarkApp::OnExit() {
  if (server_) {
    server_.reset();
    (void)platform::removeFile(socketPath());  // one left behind goes at the next start
  }
  platform::ui::setDispatchHook({});
  platform::ui::setMessageBoxHook({});
  return wxApp::OnExit();
}

void QuillmarkApp::ActivateMainWindow() {
  if (!frame_) return;
  frame_->Iconize(false);
  frame_->Show();
  frame_->Raise();
}

}  // namespace quillmark
