// The activity log: whole "\r\n" lines, at most kMaxBytes kept, oldest lines dropped
// first, and the display handed the whole kept text after every append, outside the lock.
#include "core/activity_log.h"

#include <algorithm>
#include <new>

namespace skiff {

void CActivityLog::SetWindow(ILogDisplay* window) {
  std::lock_guard lock(m_mutex);
  m_window = window;
  m_unshownBytes = 0;  // a new display starts from the whole text at its first refresh
}

// The parts are taken by value, as callers hand over temporaries built for the line.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
void CActivityLog::AddLine(std::string first, std::string second, std::string third) {
  std::unique_lock lock(m_mutex);
  try {
    std::string& line = first;
    line.reserve(first.size() + second.size() + third.size() + 2);
    line += second;
    line += third;
    line += "\r\n";
    m_text += line;  // strong guarantee: the kept text is unchanged if this throws

    // Drop the oldest whole lines while over the cap. A line end inside a part counts as
    // a line end. The cut is found line by line from the start and made once.
    std::size_t cut = 0;
    while (m_text.size() - cut > kMaxBytes) {
      const std::size_t end = m_text.find("\r\n", cut);
      if (end == std::string::npos) {
        cut = m_text.size();  // cannot happen: the text always ends in "\r\n"
        break;
      }
      cut = end + 2;
    }
    if (cut != 0) m_text.erase(0, cut);
    ++m_sequence;
    m_unshownBytes = std::min(m_unshownBytes + line.size(), m_text.size());
  } catch (const std::bad_alloc&) {
    // Out of memory: this line is lost, the kept text stays whole, and the writer (a
    // device-manager callback, say) carries on.
    return;
  }
  Refresh(lock);
}

// One thread at a time calls the display, with a snapshot taken under the lock and the
// lock released. A writer that finds a refresh running leaves its line to that thread,
// which looks again after each call and shows the newest text before it stops, so an
// older snapshot never follows a newer one and no writer waits for the display.
void CActivityLog::Refresh(std::unique_lock<std::mutex>& lock) {
  if (m_refreshing) return;
  m_refreshing = true;
  while (m_window != nullptr && m_shownSequence != m_sequence) {
    ILogDisplay* const window = m_window;
    const std::uint64_t sequence = m_sequence;
    try {
      const std::string kept = m_text;
      const std::string appended = m_text.substr(m_text.size() - m_unshownBytes);
      m_unshownBytes = 0;
      m_shownSequence = sequence;
      lock.unlock();
      if (window->IsAlive()) window->ShowText(kept, appended);
      lock.lock();
    } catch (...) {
      // A display that fails (out of memory) loses this refresh, not the log.
      if (!lock.owns_lock()) lock.lock();
      m_shownSequence = sequence;
    }
  }
  m_refreshing = false;
}

std::string CActivityLog::Text() const {
  std::lock_guard lock(m_mutex);
  return m_text;
}

}  // namespace skiff
