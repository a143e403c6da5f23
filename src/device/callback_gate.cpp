// The callback gate: a count of callbacks inside and a flag that shuts the door.
#include "device/callback_gate.h"

namespace skiff {

bool CallbackGate::Enter() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_closed) return false;
  ++m_inside;
  return true;
}

void CallbackGate::Leave() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (--m_inside == 0) m_drained.notify_all();
}

void CallbackGate::CloseAndDrain() {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_closed = true;
  m_drained.wait(lock, [this] { return m_inside == 0; });
}

bool CallbackGate::IsClosed() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_closed;
}

}  // namespace skiff
