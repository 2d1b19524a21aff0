#include "Jotwell/Worker.h"

#include "Jotwell/BaseException.h"
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
  if (m_pThread && m_pThread->running()) m_pThread->join();
  if (function) m_pfnThreadProc = function;
  if (param) m_pParam = param;
  m_bAbort = false;
  m_pThread.reset();
  if (!m_pfnThreadProc) return;
  m_pThread = std::make_unique<platform::Thread>();
  const AFX_THREADPROC proc = m_pfnThreadProc;
  const platform::ThreadPriority priority = m_nPriority;
  m_pThread->start([this, proc, priority](platform::Event&) {
    platform::setCurrentThreadPriority(priority);
    return proc(this);
  });
}

void CWorker::Wait() {
  if (m_pThread) m_pThread->join();
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
