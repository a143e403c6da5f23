// Events with kernel-event semantics. Every event's state is guarded by one process-wide
// mutex, so that a wait on two events sees both at once. A waiting thread sleeps on a word
// of its own, listed on each event it waits for; a Set wakes only the threads listed on
// its event, and only after the lock is let go, so a woken thread does not run into it.
// A Set that nobody waits for makes no system call.
#include "core/event.h"

#include <array>
#include <atomic>
#include <chrono>
#include <mutex>

#include "platform/platform.h"

namespace skiff {

namespace {

using Clock = std::chrono::steady_clock;

// A thread's sleeping word; the thread's own, so a late wake-up meant for an earlier wait
// can only ever reach this thread, which then looks again.
struct Sleeper {
  std::atomic<std::uint32_t> woken{0};
};

thread_local Sleeper t_sleeper;

}  // namespace

// A waiting thread's entry in one event's list; on the waiting thread's stack.
struct Event::Listed {
  std::atomic<std::uint32_t>* word;
  Listed* next;
};

struct Event::Shared {
  std::mutex mutex;
};

// One lock for all events. Kept alive by every event that uses it, whatever the order of
// static destruction.
std::shared_ptr<Event::Shared> Event::SharedState() {
  static const auto shared = std::make_shared<Shared>();
  return shared;
}

Event::Event(EventReset reset) : m_shared(SharedState()), m_reset(reset) {}

Event::~Event() = default;

void Event::Set() {
  // Woken after the unlock; more waiters than this at once are woken under the lock.
  std::array<std::atomic<std::uint32_t>*, 4> toWake{};
  std::size_t count = 0;
  {
    std::lock_guard lock(m_shared->mutex);
    m_signalled = true;
    for (Listed* listed = m_waiters; listed != nullptr; listed = listed->next) {
      listed->word->store(1, std::memory_order_relaxed);
      if (count < toWake.size()) {
        toWake[count++] = listed->word;
      } else {
        WakeWordWaiters(*listed->word);
      }
    }
  }
  for (std::size_t index = 0; index < count; ++index) WakeWordWaiters(*toWake[index]);
}

void Event::Reset() {
  std::lock_guard lock(m_shared->mutex);
  m_signalled = false;
}

bool Event::IsSet() const {
  std::lock_guard lock(m_shared->mutex);
  return m_signalled;
}

bool Event::HasWaiters() const {
  std::lock_guard lock(m_shared->mutex);
  return m_waiters != nullptr;
}

WaitResult Event::Wait(std::uint32_t timeoutMs) {
  Event* const events[] = {this};
  return WaitOn(events, 1, timeoutMs);
}

WaitResult Event::WaitOn(Event* const* events, int count, std::uint32_t timeoutMs) {
  const std::shared_ptr<Shared> shared = SharedState();
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  std::atomic<std::uint32_t>& word = t_sleeper.woken;
  Listed listed[2];
  bool listing = false;
  std::unique_lock lock(shared->mutex);
  auto unlist = [&] {
    if (!listing) return;
    for (int i = 0; i < count; ++i) {
      Listed** link = &events[i]->m_waiters;
      while (*link != &listed[i]) link = &(*link)->next;
      *link = listed[i].next;
    }
  };
  for (;;) {
    for (int i = 0; i < count; ++i) {
      Event* event = events[i];
      if (event->m_signalled) {
        if (event->m_reset == EventReset::Automatic) event->m_signalled = false;
        unlist();
        return static_cast<WaitResult>(i);
      }
    }
    std::uint32_t sleepMs = kInfinite;
    if (timeoutMs != kInfinite) {
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
      if (left <= 0) {
        unlist();
        return WaitResult::Timeout;
      }
      sleepMs = static_cast<std::uint32_t>(left);
    }
    if (!listing) {
      for (int i = 0; i < count; ++i) {
        listed[i] = {&word, events[i]->m_waiters};
        events[i]->m_waiters = &listed[i];
      }
      listing = true;
    }
    // Cleared under the lock: a Set from here on changes it, and the sleep below then
    // returns at once.
    word.store(0, std::memory_order_relaxed);
    lock.unlock();
    WaitOnWord(word, 0, sleepMs);
    lock.lock();
  }
}

WaitResult WaitForAny(Event* first, Event* second, std::uint32_t timeoutMs) {
  if (first == nullptr || second == nullptr) return WaitResult::Failed;
  Event* const events[] = {first, second};
  return Event::WaitOn(events, 2, timeoutMs);
}

}  // namespace skiff
