#include "run/ui/WxMessageTarget.h"

#include <wx/app.h>
#include <wx/thread.h>

#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Jotwell/Logger.h"

namespace lumetra {

namespace {

enum class CallState { pending, running, done, cancelled };

struct SendCall {
  unsigned message;
  std::uintptr_t wParam;
  std::intptr_t lParam;
  CallState state = CallState::pending;
  std::intptr_t result = 0;
};

}  // namespace

struct WxMessageTarget::Core {
  std::mutex mutex;
  std::condition_variable changed;
  bool attached = true;
  Handler handler;
  std::vector<std::shared_ptr<SendCall>> waiting;  // sends not yet taken up

  std::intptr_t Handle(unsigned message, std::uintptr_t wParam, std::intptr_t lParam, bool sent) {
    try {
      return handler(message, wParam, lParam, sent);
    } catch (const std::exception& e) {
      LogError("Window message 0x%X failed: %s", message, e.what());
    } catch (...) {
      LogError("Window message 0x%X failed.", message);
    }
    return 0;
  }

  // Runs on the user-interface thread.
  void RunSend(const std::shared_ptr<SendCall>& call) {
    {
      std::lock_guard lock(mutex);
      std::erase(waiting, call);
      if (call->state != CallState::pending) return;
      if (!attached) {
        call->state = CallState::cancelled;
        changed.notify_all();
        return;
      }
      call->state = CallState::running;
    }
    const std::intptr_t result = Handle(call->message, call->wParam, call->lParam, true);
    std::lock_guard lock(mutex);
    call->result = result;
    call->state = CallState::done;
    changed.notify_all();
  }
};

namespace {

// One posted message on its way through wx's queue. It owns what it carries: when wx
// drops it unhandled (the application ends first) or the window has detached, that goes
// with it.
class PostedMessage {
 public:
  PostedMessage(std::shared_ptr<WxMessageTarget::Core> core, unsigned message, std::uintptr_t wParam,
                std::intptr_t lParam, std::optional<std::string> text = std::nullopt)
      : core_(std::move(core)), message_(message), wParam_(wParam), lParam_(lParam), text_(std::move(text)) {}
  PostedMessage(const PostedMessage&) = delete;
  PostedMessage& operator=(const PostedMessage&) = delete;

  void operator()() {
    if (!core_) return;
    bool attached;
    {
      std::lock_guard lock(core_->mutex);
      attached = core_->attached;
    }
    if (!attached) return;  // dropped, with what it carries
    auto core = std::move(core_);
    core->Handle(message_, wParam_, text_ ? reinterpret_cast<std::intptr_t>(text_->c_str()) : lParam_, false);
  }

 private:
  std::shared_ptr<WxMessageTarget::Core> core_;
  unsigned message_;
  std::uintptr_t wParam_;
  std::intptr_t lParam_;
  std::optional<std::string> text_;
};

std::mutex gRetiredMutex;
std::vector<std::shared_ptr<WxMessageTarget>>& Retired() {
  static auto* retired = new std::vector<std::shared_ptr<WxMessageTarget>>;  // kept to the end
  return *retired;
}

}  // namespace

std::shared_ptr<WxMessageTarget> WxMessageTarget::Create(Handler handler) {
  auto core = std::make_shared<Core>();
  core->handler = std::move(handler);
  return std::shared_ptr<WxMessageTarget>(new WxMessageTarget(std::move(core)));
}

WxMessageTarget::~WxMessageTarget() { Detach(); }

bool WxMessageTarget::post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
  std::lock_guard lock(m_pCore->mutex);
  if (!m_pCore->attached || !wxTheApp) return false;
  // Queued under the lock, so that a detached target takes nothing new.
  auto posted = std::make_shared<PostedMessage>(m_pCore, message, wParam, lParam);
  wxTheApp->CallAfter([posted] { (*posted)(); });
  return true;
}

bool WxMessageTarget::postText(unsigned message, std::uintptr_t wParam, std::string text) {
  std::lock_guard lock(m_pCore->mutex);
  if (!m_pCore->attached || !wxTheApp) return false;
  auto posted = std::make_shared<PostedMessage>(m_pCore, message, wParam, 0, std::move(text));
  wxTheApp->CallAfter([posted] { (*posted)(); });
  return true;
}

std::intptr_t WxMessageTarget::send(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) {
  if (wxThread::IsMain()) {
    {
      std::lock_guard lock(m_pCore->mutex);
      if (!m_pCore->attached) return 0;
    }
    return m_pCore->Handle(message, wParam, lParam, true);
  }
  auto call = std::make_shared<SendCall>(SendCall{message, wParam, lParam});
  std::unique_lock lock(m_pCore->mutex);
  if (!m_pCore->attached || !wxTheApp) return 0;
  m_pCore->waiting.push_back(call);
  wxTheApp->CallAfter([core = m_pCore, call] { core->RunSend(call); });
  const auto finished = [&] { return call->state == CallState::done || call->state == CallState::cancelled; };
  if (!m_pCore->changed.wait_for(lock, kSendLimit, finished)) {
    if (call->state == CallState::pending) {
      call->state = CallState::cancelled;
      std::erase(m_pCore->waiting, call);
      LogError("Window message 0x%X was not handled within %d s; dropped.", message,
               static_cast<int>(kSendLimit.count()));
      return 0;
    }
    // Being handled right now, with the sender's data: it must stay valid until the end.
    m_pCore->changed.wait(lock, finished);
  }
  return call->state == CallState::done ? call->result : 0;
}

void WxMessageTarget::Detach() {
  std::lock_guard lock(m_pCore->mutex);
  m_pCore->attached = false;
  for (const auto& call : m_pCore->waiting)
    if (call->state == CallState::pending) call->state = CallState::cancelled;
  m_pCore->waiting.clear();
  m_pCore->changed.notify_all();
}

bool WxMessageTarget::IsAttached() const {
  std::lock_guard lock(m_pCore->mutex);
  return m_pCore->attached;
}

void WxMessageTarget::Retire(std::shared_ptr<WxMessageTarget> target) {
  if (!target) return;
  target->Detach();
  std::lock_guard lock(gRetiredMutex);
  Retired().push_back(std::move(target));
}

}  // namespace lumetra
