#pragma once
// A small worker-thread wrapper: a thread function with a parameter, an abort flag and
// an optional window to notify.
#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/thread.h"

namespace platform {
class Window;
}

class CWorker;
using AFX_THREADPROC = std::uint32_t (*)(void* param);

class CWorker {
 public:
  CWorker(AFX_THREADPROC function = nullptr, void* param = nullptr,
          platform::ThreadPriority priority = platform::ThreadPriority::normal, std::uint32_t stackSize = 0,
          std::uint32_t flags = 0, void* securityAttributes = nullptr);
  virtual ~CWorker();
  CWorker(const CWorker&) = delete;
  CWorker& operator=(const CWorker&) = delete;

  virtual void RequestAbort() { m_bAbort = true; }

  // The thread's argument is this worker: the function gets `this` and reaches the
  // parameter through GetParam(). Throws CAPIException (with the system's reason) when no
  // thread could be started; the worker is then not running.
  void Start(AFX_THREADPROC function = nullptr, void* param = nullptr);
  void Wait();
  bool IsRunning() const;
  void Resume() {}
  std::uint32_t GetExitCode() const;
  void DeleteThread();
  void* GetParam() const { return m_pParam; }

  void SetNotify(platform::Window* window, unsigned message);
  bool PostNotify(std::uintptr_t wParam, std::intptr_t lParam);
  bool SendNotify(std::uintptr_t wParam, std::intptr_t lParam);

  friend bool IsAbortRequested(const CWorker* worker);

 private:
  std::unique_ptr<platform::Thread> m_pThread;
  AFX_THREADPROC m_pfnThreadProc;
  void* m_pParam;
  platform::ThreadPriority m_nPriority;
  std::uint32_t m_nStackSize;
  std::uint32_t m_dwCreateFlags;
  void* m_lpSecurityAttrs;
  std::atomic<bool> m_bAbort{false};
  unsigned m_nNotifyMsg = 0;
  platform::Window* m_pNotifyWnd = nullptr;
};

bool IsAbortRequested(const CWorker* worker);
