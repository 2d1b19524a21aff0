#pragma once
// A target of window messages. The user interface implements it for its windows; tests
// use a recording target. Posted data travels by value: a message that carries a text
// owns its copy, so nothing is left for a receiver to free, handled or dropped.
#include <cstdint>
#include <string>

namespace platform {

inline constexpr unsigned WM_USER = 0x0400;

class Window {
 public:
  virtual ~Window() = default;
  // Queues the message for the target's thread; false when the target is gone.
  virtual bool post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) = 0;
  // Queues a message that carries `text`. Its handler sees the text as lParam, a
  // NUL-terminated `const char*` valid while it handles the message (as a sent text is).
  virtual bool postText(unsigned message, std::uintptr_t wParam, std::string text) = 0;
  // Runs the message on the target's thread and returns its result. Never call it while
  // holding a lock that the target's thread may need.
  virtual std::intptr_t send(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) = 0;
};

}  // namespace platform
