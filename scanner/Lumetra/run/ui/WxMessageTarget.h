#pragma once
// A wx window as the target of worker threads' window messages (platform::Window). Posted
// and sent messages run, in the order they came, on the user-interface thread through
// wx's event queue. A sender waits until its message has been handled, until the window
// detaches (it then returns 0 at once), or at most kSendLimit (the message is then dropped
// unhandled, logged), so a worker never stays blocked on a window that is closing or busy.
// The target is shared: a worker that has just read the pointer may still call it after
// the window has gone, and gets false or 0.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/window.h"

namespace lumetra {

class WxMessageTarget : public platform::Window {
 public:
  // Handles one message on the user-interface thread; `sent` tells a sent one.
  using Handler =
      std::function<std::intptr_t(unsigned message, std::uintptr_t wParam, std::intptr_t lParam, bool sent)>;

  static constexpr std::chrono::seconds kSendLimit{60};

  static std::shared_ptr<WxMessageTarget> Create(Handler handler);
  ~WxMessageTarget() override;

  bool post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override;
  bool postText(unsigned message, std::uintptr_t wParam, std::string text) override;
  std::intptr_t send(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override;

  // User-interface thread: no message is handled any more; waiting senders return 0,
  // queued posts are dropped.
  void Detach();
  bool IsAttached() const;

  // Keeps a detached target alive for the rest of the process: for a worker that could
  // not be waited for and may still hold the pointer.
  static void Retire(std::shared_ptr<WxMessageTarget> target);

  struct Core;

 private:
  explicit WxMessageTarget(std::shared_ptr<Core> core) : m_pCore(std::move(core)) {}
  std::shared_ptr<Core> m_pCore;
};

}  // namespace lumetra
