// The activity log: whole "\r\n" lines, at most kMaxBytes kept, oldest lines dropped
// first, and the display handed the whole kept text after every append.
#include "core/activity_log.h"

#include <new>

namespace skiff {

void CActivityLog::SetWindow(ILogDisplay* window) {
  std::lock_guard lock(m_mutex);
  m_window = window;
}

// The parts are taken by value, as callers hand over temporaries built for the line.
// NOLINTNEXTLINE(performance-unnecessary-value-param)
void CActivityLog::AddLine(std::string first, std::string second, std::string third) {
  // The display is refreshed under the lock too, so two writers never interleave their
  // refreshes and the display always ends showing the newest text.
  std::lock_guard lock(m_mutex);
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

    if (m_window != nullptr && m_window->IsAlive()) m_window->ShowText(m_text, line);
  } catch (const std::bad_alloc&) {
    // Out of memory: this line is lost, the kept text stays whole, and the writer (a
    // device-manager callback, say) carries on.
  }
}

std::string CActivityLog::Text() const {
  std::lock_guard lock(m_mutex);
  return m_text;
}

}  // namespace skiff
