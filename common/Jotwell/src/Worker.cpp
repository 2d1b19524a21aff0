#include "Jotwell/Worker.h"

#include "Jotwell/BaseException.h"
#include "platform/files.h"
#include "platform/window.h"

CWorker::CWorker(AFX_THREADPROC function, void* param, platform::ThreadPriority priority,
                 std::uint32_t stackSize, std::uint32_t flags, void* securityAttributes)
    : m_pfnThreadProc(function),
      m_pParam(param),
      m_nPriority(priority),
      m_nStackSize(stackSize),
      m_dwCreateFlags(flags),
      m_lpSecurityAttrs(securityAttributes) {}

CWorker::~CWorker() { DeleteThread(); }

void CWorker::Start(AFX_THREADPROC function, void* param) {
  // false only when called on the worker's own thread, which cannot wait for itself; that
  // thread then runs on detached when its object goes below.
  if (m_pThread && m_pThread->running()) (void)m_pThread->join();
  if (function) m_pfnThreadProc = function;
  if (param) m_pParam = param;
  m_bAbort = false;
  m_pThread.reset();
  if (!m_pfnThreadProc) return;
  m_pThread = std::make_unique<platform::Thread>();
  const AFX_THREADPROC proc = m_pfnThreadProc;
  const platform::ThreadPriority priority = m_nPriority;
  const bool started = m_pThread->start([this, proc, priority](platform::Event&) {
    platform::setCurrentThreadPriority(priority);
    return proc(this);
  });
  if (!started) {
    // No thread runs the function: the worker is not running, and the caller must hear it
    // rather than wait for work that never happens.
    const int error = platform::lastError();
    m_pThread.reset();
    platform::setLastError(error);
    ThrowAPIException("Error creating the worker thread: %1");
  }
}

void CWorker::Wait() {
  // false only on the worker's own thread, which cannot wait for itself.
  if (m_pThread) (void)m_pThread->join();
}

bool CWorker::IsRunning() const { return m_pThread != nullptr; }

std::uint32_t CWorker::GetExitCode() const {
  if (!m_pThread) ThrowAPIException("Error getting thread exit code: %1");
  return m_pThread->exitCode().value_or(platform::Thread::kStillActive);
}

void CWorker::DeleteThread() {
  // The thread object joins before it goes: the function may still use this worker.
  m_pThread.reset();
}

void CWorker::SetNotify(platform::Window* window, unsigned message) {
  m_nNotifyMsg = message;
  m_pNotifyWnd = window;
}

bool CWorker::PostNotify(std::uintptr_t wParam, std::intptr_t lParam) {
  return m_pNotifyWnd && m_nNotifyMsg && m_pNotifyWnd->post(m_nNotifyMsg, wParam, lParam);
}

bool CWorker::SendNotify(std::uintptr_t wParam, std::intptr_t lParam) {
  if (!m_pNotifyWnd || !m_nNotifyMsg) return false;
  m_pNotifyWnd->send(m_nNotifyMsg, wParam, lParam);
  return true;
}

bool IsAbortRequested(const CWorker* worker) { return worker && worker->m_bAbort; }
