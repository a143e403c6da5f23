// Events with the semantics of kernel events: automatic or manual reset, set/reset, and
// a wait on any of two with a time-out. They carry every hand-over between threads.
#pragma once

#include <cstdint>
#include <memory>

namespace skiff {

inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

enum class EventReset { Automatic, Manual };

// Result of a wait, numbered as the platform numbers them.
enum class WaitResult : std::uint32_t {
  Object0 = 0,           // the first event of the pair was signalled (and, if automatic, consumed)
  Object1 = 1,           // the second event
  Timeout = 0x102,       // nothing was signalled in time
  Failed = 0xFFFFFFFFu,  // a null or closed event was waited on
};

class Event {
 public:
  explicit Event(EventReset reset);
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;
  ~Event();

  void Set();
  void Reset();
  bool IsSet() const;       // for tests; does not consume
  bool HasWaiters() const;  // for tests: a thread is waiting on this event now

  // Waits on this event alone. Automatic events are consumed when they end the wait.
  WaitResult Wait(std::uint32_t timeoutMs);

 private:
  friend WaitResult WaitForAny(Event* first, Event* second, std::uint32_t timeoutMs);
  struct Shared;
  struct Listed;
  static std::shared_ptr<Shared> SharedState();
  // Waits until one of count (1 or 2) events is signalled; consumes only the one reported.
  static WaitResult WaitOn(Event* const* events, int count, std::uint32_t timeoutMs);
  std::shared_ptr<Shared> m_shared;
  EventReset m_reset;
  bool m_signalled = false;     // guarded by m_shared->mutex
  Listed* m_waiters = nullptr;  // the threads waiting now; guarded by m_shared->mutex
};

// Waits until one of the two events is signalled or the time-out passes. When both are
// signalled, the first in order is reported and only it is consumed. A null event fails.
WaitResult WaitForAny(Event* first, Event* second, std::uint32_t timeoutMs);

}  // namespace skiff
