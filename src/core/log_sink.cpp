// The log relay: holds early lines, forwards to the bound sink outside its lock, and
// lets the binder wait until the previous sink is no longer in use.
#include "core/log_sink.h"

#include <utility>

namespace skiff {

void CLogRelay::Bind(ILogSink* target) {
  std::unique_lock<std::mutex> lock(m_mutex);
  // From here new lines are held (binding) or dropped (unbinding), never sent to the
  // previous target; the lines on their way to it are waited for.
  m_target = nullptr;
  m_binding = target != nullptr;
  if (target == nullptr) m_everBound = true;
  m_idle.wait(lock, [this] { return m_forwarding == 0; });
  if (target == nullptr) return;
  // Held lines first, in order, with lines that come meanwhile held behind them.
  while (!m_held.empty()) {
    std::deque<std::string> held;
    held.swap(m_held);
    lock.unlock();
    for (const std::string& line : held) target->Log(line);
    lock.lock();
  }
  m_target = target;
  m_binding = false;
  m_everBound = true;
}

void CLogRelay::Log(const std::string& line) {
  ILogSink* target = nullptr;
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_target == nullptr) {
      if (m_everBound && !m_binding) return;  // the log is gone
      m_held.push_back(line);
      if (m_held.size() > kMaxHeld) m_held.pop_front();
      return;
    }
    target = m_target;
    ++m_forwarding;
  }
  target->Log(line);
  std::lock_guard<std::mutex> lock(m_mutex);
  if (--m_forwarding == 0) m_idle.notify_all();
}

}  // namespace skiff
