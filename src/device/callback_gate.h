// Lets device-manager callbacks into the worker only while it listens, and lets the
// stopping thread wait until every callback that got in has left.
#pragma once

#include <condition_variable>
#include <mutex>

namespace skiff {

class CallbackGate {
 public:
  bool Enter();
  void Leave();
  // No callback gets in after this; returns once the ones inside have left.
  void CloseAndDrain();
  bool IsClosed() const;

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_drained;
  int m_inside = 0;
  bool m_closed = false;
};

// Holds a callback inside the gate for its duration (when it got in).
class CallbackScope {
 public:
  explicit CallbackScope(CallbackGate& gate) : m_gate(gate), m_entered(gate.Enter()) {}
  ~CallbackScope() {
    if (m_entered) m_gate.Leave();
  }
  CallbackScope(const CallbackScope&) = delete;
  CallbackScope& operator=(const CallbackScope&) = delete;
  bool Entered() const { return m_entered; }

 private:
  CallbackGate& m_gate;
  bool m_entered;
};

}  // namespace skiff
