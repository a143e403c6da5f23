// Events with kernel-event semantics on one process-wide mutex and condition variable:
// every Set wakes every waiter, and each waiter re-checks its own events under the lock,
// so spurious wake-ups and wake-ups meant for others only cost a re-check.
#include "core/event.h"

#include <chrono>

namespace skiff {

struct Event::Shared {
  std::mutex mutex;
  std::condition_variable changed;
};

// One lock for all events, so that a wait on two events sees both under one lock. Kept
// alive by every event that uses it, whatever the order of static destruction.
std::shared_ptr<Event::Shared> Event::SharedState() {
  static const auto shared = std::make_shared<Shared>();
  return shared;
}

Event::Event(EventReset reset) : m_shared(SharedState()), m_reset(reset) {}

Event::~Event() = default;

void Event::Set() {
  {
    std::lock_guard lock(m_shared->mutex);
    m_signalled = true;
  }
  m_shared->changed.notify_all();
}

void Event::Reset() {
  std::lock_guard lock(m_shared->mutex);
  m_signalled = false;
}

bool Event::IsSet() const {
  std::lock_guard lock(m_shared->mutex);
  return m_signalled;
}

WaitResult Event::Wait(std::uint32_t timeoutMs) {
  Event* const events[] = {this};
  return WaitOn(events, 1, timeoutMs);
}

WaitResult Event::WaitOn(Event* const* events, int count, std::uint32_t timeoutMs) {
  const std::shared_ptr<Shared> shared = SharedState();
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  // Under the lock: the first signalled event in order, consumed if automatic; -1 if none.
  auto takeFirstSignalled = [events, count]() {
    for (int i = 0; i < count; ++i) {
      Event* event = events[i];
      if (event->m_signalled) {
        if (event->m_reset == EventReset::Automatic) event->m_signalled = false;
        return i;
      }
    }
    return -1;
  };
  std::unique_lock lock(shared->mutex);
  for (;;) {
    int signalled = takeFirstSignalled();
    if (signalled >= 0) return static_cast<WaitResult>(signalled);
    if (timeoutMs == kInfinite) {
      shared->changed.wait(lock);
    } else if (shared->changed.wait_until(lock, deadline) == std::cv_status::timeout) {
      // One last look: a Set may have come in together with the time-out.
      signalled = takeFirstSignalled();
      return signalled >= 0 ? static_cast<WaitResult>(signalled) : WaitResult::Timeout;
    }
  }
}

WaitResult WaitForAny(Event* first, Event* second, std::uint32_t timeoutMs) {
  if (first == nullptr || second == nullptr) return WaitResult::Failed;
  Event* const events[] = {first, second};
  return Event::WaitOn(events, 2, timeoutMs);
}

}  // namespace skiff
