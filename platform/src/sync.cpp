#include "platform/sync.h"

#include <algorithm>
#include <vector>

namespace platform {

namespace {

bool isInfinite(std::chrono::milliseconds timeout) { return timeout < std::chrono::milliseconds::zero(); }

// The clock's deadline for a timeout: SteadyTime::max() for none, saturating instead of
// overflowing for huge ones.
SteadyTime deadlineFor(std::chrono::milliseconds timeout) {
  if (isInfinite(timeout)) return SteadyTime::max();
  const SteadyTime now = clock().steadyNow();
  const auto room = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyTime::max() - now);
  return timeout >= room ? SteadyTime::max() : now + timeout;
}

// Waits on `cv` through the clock until `ready` holds or the deadline passes. The caller
// has already found `ready` false; a zero timeout does not block at all.
template <typename Ready>
bool waitFor(std::condition_variable& cv, std::unique_lock<std::mutex>& lock,
             std::chrono::milliseconds timeout, SteadyTime deadline, Ready ready) {
  if (timeout == std::chrono::milliseconds::zero()) return false;
  return clock().waitUntil(cv, lock, deadline, ready);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Event

namespace syncdetail {
// A thread in waitAny: every event it waits on knows it and wakes it on set().
struct GroupWaiter {
  std::mutex mutex;
  std::condition_variable cv;
};
}  // namespace syncdetail

struct Event::Impl {
  Impl(bool manual, bool initiallySet) : manualReset(manual), signaled(initiallySet) {}

  // Takes the signal if present (resetting an auto-reset event). Caller holds `mutex`.
  bool consume() {
    if (!signaled) return false;
    if (!manualReset) signaled = false;
    return true;
  }

  std::mutex mutex;
  std::condition_variable cv;
  const bool manualReset;
  bool signaled;
  std::vector<std::shared_ptr<syncdetail::GroupWaiter>> groups;
};

Event::Event(bool manualReset, bool initiallySet)
    : impl_(std::make_unique<Impl>(manualReset, initiallySet)) {}

Event::~Event() = default;

void Event::set() {
  std::vector<std::shared_ptr<syncdetail::GroupWaiter>> groups;
  {
    std::lock_guard lock(impl_->mutex);
    impl_->signaled = true;
    // All, even for auto-reset: a single woken waiter might be timing out just then and
    // leave the signal unclaimed while the others sleep on.
    impl_->cv.notify_all();
    groups = impl_->groups;
  }
  // Group waiters check the events while holding their own mutex, so taking it here
  // orders this wake-up after any check that missed the signal.
  for (const auto& g : groups) {
    { std::lock_guard lock(g->mutex); }
    g->cv.notify_all();
  }
}

void Event::reset() {
  std::lock_guard lock(impl_->mutex);
  impl_->signaled = false;
}

bool Event::isSet() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->signaled;
}

bool Event::wait(std::chrono::milliseconds timeout) {
  const SteadyTime deadline = deadlineFor(timeout);
  std::unique_lock lock(impl_->mutex);
  if (impl_->consume()) return true;
  if (!waitFor(impl_->cv, lock, timeout, deadline, [&] { return impl_->signaled; })) return false;
  impl_->consume();
  return true;
}

int Event::waitAny(std::span<Event* const> events, std::chrono::milliseconds timeout) {
  const SteadyTime deadline = deadlineFor(timeout);
  auto takeAny = [&]() -> int {
    for (std::size_t i = 0; i < events.size(); ++i) {
      if (!events[i]) continue;
      std::lock_guard lock(events[i]->impl_->mutex);
      if (events[i]->impl_->consume()) return static_cast<int>(i);
    }
    return -1;
  };
  int index = takeAny();
  if (index >= 0 || timeout == std::chrono::milliseconds::zero() || events.empty()) return index;

  auto group = std::make_shared<syncdetail::GroupWaiter>();
  for (Event* e : events) {
    if (!e) continue;
    std::lock_guard lock(e->impl_->mutex);
    e->impl_->groups.push_back(group);
  }
  struct Unregister {
    std::span<Event* const> events;
    const std::shared_ptr<syncdetail::GroupWaiter>& group;
    ~Unregister() {
      for (Event* e : events) {
        if (!e) continue;
        std::lock_guard lock(e->impl_->mutex);
        auto& gs = e->impl_->groups;
        gs.erase(std::find(gs.begin(), gs.end(), group));
      }
    }
  } unregister{events, group};

  std::unique_lock lock(group->mutex);
  waitFor(group->cv, lock, timeout, deadline, [&] {
    index = takeAny();
    return index >= 0;
  });
  return index;
}

// ---------------------------------------------------------------------------------------
// TimedMutex

namespace syncdetail {

struct MutexCore;

// One per thread that touches a TimedMutex; "alive" ends when the thread does.
struct LifeToken {
  std::atomic<bool> alive{true};
  std::mutex mutex;
  std::vector<std::weak_ptr<MutexCore>> held;  // mutexes this thread owns
};

struct MutexCore {
  std::mutex mutex;
  std::condition_variable cv;
  std::shared_ptr<LifeToken> owner;
  int count = 0;

  bool free() const { return !owner || !owner->alive.load(); }
};

namespace {

bool sameObject(const std::weak_ptr<MutexCore>& w, const std::shared_ptr<MutexCore>& p) {
  return !w.owner_before(p) && !p.owner_before(w);
}

// Set once the thread's ThreadLife is gone; trivially destructible, so it can still be
// read by whatever else runs while the thread (or the process) winds down.
thread_local bool t_lifeEnded = false;

// Lives in thread-local storage; its destructor runs as the thread ends and wakes the
// waiters of every mutex the thread still holds, so they see it abandoned at once.
class ThreadLife {
 public:
  ThreadLife() : token_(std::make_shared<LifeToken>()) {}
  ~ThreadLife() {
    t_lifeEnded = true;
    std::vector<std::weak_ptr<MutexCore>> held;
    {
      std::lock_guard lock(token_->mutex);
      token_->alive = false;
      held.swap(token_->held);
    }
    for (const auto& w : held) {
      if (auto core = w.lock()) {
        // Taking the mutex orders the wake-up after a waiter's check of "alive".
        { std::lock_guard lock(core->mutex); }
        core->cv.notify_all();
      }
    }
  }
  ThreadLife(const ThreadLife&) = delete;
  ThreadLife& operator=(const ThreadLife&) = delete;
  const std::shared_ptr<LifeToken>& token() const { return token_; }

 private:
  std::shared_ptr<LifeToken> token_;
};

const std::shared_ptr<LifeToken>& currentToken() {
  thread_local ThreadLife life;
  if (t_lifeEnded) {
    // A thread past its own end locks as an owner that is already dead.
    static const std::shared_ptr<LifeToken> ended = [] {
      auto t = std::make_shared<LifeToken>();
      t->alive = false;
      return t;
    }();
    return ended;
  }
  return life.token();
}

}  // namespace
}  // namespace syncdetail

struct TimedMutex::Impl : syncdetail::MutexCore {};

TimedMutex::TimedMutex() : impl_(std::make_shared<Impl>()) {}

TimedMutex::~TimedMutex() = default;

LockResult TimedMutex::lock(std::chrono::milliseconds timeout) {
  const auto& me = syncdetail::currentToken();
  const SteadyTime deadline = deadlineFor(timeout);
  std::unique_lock lock(impl_->mutex);
  if (impl_->owner == me) {
    ++impl_->count;
    return LockResult::acquired;
  }
  if (!impl_->free() && !waitFor(impl_->cv, lock, timeout, deadline, [&] { return impl_->free(); }))
    return LockResult::timedOut;

  const bool abandoned = impl_->owner != nullptr;
  impl_->owner = me;
  impl_->count = 1;
  {
    std::lock_guard tokenLock(me->mutex);
    std::erase_if(me->held, [](const auto& w) { return w.expired(); });
    me->held.push_back(impl_);
  }
  return abandoned ? LockResult::abandoned : LockResult::acquired;
}

bool TimedMutex::unlock() {
  const auto& me = syncdetail::currentToken();
  std::unique_lock lock(impl_->mutex);
  if (impl_->owner != me) return false;
  if (--impl_->count > 0) return true;
  impl_->owner.reset();
  {
    std::lock_guard tokenLock(me->mutex);
    std::shared_ptr<syncdetail::MutexCore> self = impl_;
    std::erase_if(me->held, [&](const auto& w) { return w.expired() || syncdetail::sameObject(w, self); });
  }
  // All: a single woken waiter could be timing out and leave the others asleep.
  impl_->cv.notify_all();
  return true;
}

bool TimedMutex::ownedByCurrentThread() const {
  const auto& me = syncdetail::currentToken();
  std::lock_guard lock(impl_->mutex);
  return impl_->owner == me;
}

int TimedMutex::recursionCount() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->owner ? impl_->count : 0;
}

}  // namespace platform
