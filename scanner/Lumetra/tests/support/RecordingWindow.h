#pragma once
// A window that records the messages it gets (sent ones too, with the caller's thread
// as the window's), and lets a test wait for one.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/window.h"

namespace lumetra_test {

class RecordingWindow : public platform::Window {
 public:
  struct Message {
    unsigned message;
    std::uintptr_t wParam;
    std::intptr_t lParam;
    bool sent;
    friend bool operator==(const Message& a, const Message& b) {
      return a.message == b.message && a.wParam == b.wParam && a.lParam == b.lParam && a.sent == b.sent;
    }
  };

  // Runs on every message before it is recorded (a sent message's pointers are valid here;
  // a posted text's lParam stays valid as long as the window).
  std::function<void(const Message&)> OnMessage;

  bool post(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override {
    Record({message, wParam, lParam, false});
    return true;
  }
  bool postText(unsigned message, std::uintptr_t wParam, std::string text) override {
    const char* kept;
    {
      std::lock_guard lock(mutex_);
      kept = texts_.emplace_back(std::move(text)).c_str();
    }
    Record({message, wParam, reinterpret_cast<std::intptr_t>(kept), false});
    return true;
  }
  std::intptr_t send(unsigned message, std::uintptr_t wParam, std::intptr_t lParam) override {
    Record({message, wParam, lParam, true});
    return 0;
  }

  std::vector<Message> Messages() const {
    std::lock_guard lock(mutex_);
    return messages_;
  }
  // The messages of one number, as (wParam, lParam) pairs.
  std::vector<std::pair<std::uintptr_t, std::intptr_t>> Of(unsigned message) const {
    std::lock_guard lock(mutex_);
    std::vector<std::pair<std::uintptr_t, std::intptr_t>> out;
    for (const auto& m : messages_)
      if (m.message == message) out.emplace_back(m.wParam, m.lParam);
    return out;
  }
  // Waits (real time, bounded) until a recorded message satisfies `match`.
  bool WaitFor(const std::function<bool(const Message&)>& match,
               std::chrono::milliseconds timeout = std::chrono::seconds(30)) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
      for (const auto& m : messages_)
        if (match(m)) return true;
      return false;
    });
  }

 private:
  void Record(const Message& m) {
    if (OnMessage) OnMessage(m);
    std::lock_guard lock(mutex_);
    messages_.push_back(m);
    changed_.notify_all();
  }
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Message> messages_;
  std::deque<std::string> texts_;  // posted texts; a deque keeps their addresses
};

}  // namespace lumetra_test
