#include "maindlg/ui/BitFilePicker.h"

#include <wx/app.h>
#include <wx/filedlg.h>
#include <wx/thread.h>

#include <condition_variable>
#include <memory>
#include <mutex>

#include "Jotwell/Logger.h"
#include "config/ui/WxText.h"

namespace lumetra::maindlg {

namespace {

std::string PickOnUiThread(const OpenFilePickerRequest& request) {
  long style = wxFD_OPEN;
  if (request.fileMustExist) style |= wxFD_FILE_MUST_EXIST;
  // A wildcard as the initial name is a filter, which the dialog already has.
  const bool wildcardName = request.initialName.find_first_of("*?") != std::string::npos;
  wxFileDialog dialog(wxGetActiveWindow(), "Open", wxEmptyString,
                      wildcardName ? wxString() : ToWx(request.initialName), WildcardOfFilter(request.filter),
                      style);
  if (dialog.ShowModal() != wxID_OK) return {};
  return FromWx(dialog.GetPath());
}

}  // namespace

wxString WildcardOfFilter(const std::string& filter) {
  std::string text = filter;
  while (!text.empty() && text.back() == '|') text.pop_back();
  wxString wildcard;
  std::size_t at = 0;
  for (int field = 0; at <= text.size(); ++field) {
    std::size_t end = text.find('|', at);
    if (end == std::string::npos) end = text.size();
    std::string part = text.substr(at, end - at);
    if (field % 2 == 1 && part == "*.*") part = "*";
    if (field > 0) wildcard += "|";
    wildcard += ToWx(part);
    at = end + 1;
  }
  return wildcard;
}

std::string ShowBitFilePicker(const OpenFilePickerRequest& request) {
  if (!wxTheApp) return {};
  if (wxThread::IsMain()) return PickOnUiThread(request);

  // Another thread: the dialog runs on the user-interface thread. The caller waits as long
  // as the user takes once the dialog is up, but only a bounded time for the thread to take
  // it up: a busy or ending user interface gives "" (as cancelled), never a hang.
  struct Call {
    std::mutex mutex;
    std::condition_variable changed;
    bool started = false, done = false, abandoned = false;
    std::string path;
    void Finish(std::string chosen) {
      std::lock_guard lock(mutex);
      if (done) return;
      path = std::move(chosen);
      done = true;
      changed.notify_all();
    }
  };
  auto call = std::make_shared<Call>();
  wxTheApp->CallAfter([call, request] {
    {
      std::lock_guard lock(call->mutex);
      if (call->abandoned) return;
      call->started = true;
    }
    std::string chosen;
    try {
      chosen = PickOnUiThread(request);
    } catch (...) {
    }
    call->Finish(std::move(chosen));
  });
  std::unique_lock lock(call->mutex);
  if (!call->changed.wait_for(lock, kBitFilePickerStartLimit, [&] { return call->started || call->done; })) {
    call->abandoned = true;
    LogError("The configuration file picker could not be shown: the window is busy.");
    return {};
  }
  call->changed.wait(lock, [&] { return call->done; });
  return call->path;
}

}  // namespace lumetra::maindlg
