#pragma once
// One scanner window per user's desktop. The running window serves the local message
// channel "ScannerGUI" in the user's runtime folder (the stand-in for its registered
// window class and message): a caller that reaches it gets the answer 0xA1B2C3D4 and
// learns whether the host program's window was found and brought to the front; when it
// was not, the caller tells the user and asks the scanner window itself to come forward.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/localpipe.h"
#include "platform/thread.h"

namespace lumetra::maindlg {

inline constexpr const char* kScannerGuiChannel = "ScannerGUI";
// The host program's window title the check looks for.
inline constexpr const char* kHostWindowTitle = "Tarsel Scanner Control Application";

class CScannerGuiServer {
 public:
  // Run on the server's thread; each returns once done on the user-interface thread.
  struct Handlers {
    // Brings the host's window to the front; false when there is none.
    std::function<bool()> raiseHost;
    // Brings the scanner window to the front, restoring it when minimised.
    std::function<void()> raiseWindow;
  };

  explicit CScannerGuiServer(Handlers handlers);
  // Stops serving.
  ~CScannerGuiServer();
  CScannerGuiServer(const CScannerGuiServer&) = delete;
  CScannerGuiServer& operator=(const CScannerGuiServer&) = delete;

  // Claims the channel and serves it on a thread; false when another window serves it
  // (or it cannot be served: the desktop then has no single-instance guard, logged).
  bool Start();
  void Stop();
  bool IsServing() const { return m_Thread.running(); }

 private:
  std::uint32_t Serve(platform::Event& stop);

  Handlers m_Handlers;
  std::unique_ptr<platform::localpipe::PipeServer> m_pServer;
  platform::Thread m_Thread;
};

enum class RunningInstance {
  none,          // no scanner window runs
  hostRaised,    // one runs; its host's window was brought to the front
  windowRaised,  // one runs; the user was told, and the scanner window came forward
};

// The check ShowScannerUI makes first. `tell` shows "Application is already running"
// (the default shows it through platform::ui).
RunningInstance FindRunningInstance(const std::function<void()>& tell = {},
                                    std::chrono::milliseconds timeout = std::chrono::seconds(5));

}  // namespace lumetra::maindlg
