// The activity log: a bounded text of whole "\r\n" lines that tells the user what the
// program is doing, shown through the platform's ILogDisplay.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

#include "platform/platform.h"

namespace skiff {

class CActivityLog {
 public:
  static constexpr std::size_t kMaxBytes = 10000;

  CActivityLog() = default;
  virtual ~CActivityLog() = default;
  CActivityLog(const CActivityLog&) = delete;
  CActivityLog& operator=(const CActivityLog&) = delete;

  // Binds the display; called once before the worker gets the log.
  void SetWindow(ILogDisplay* window);

  // Appends one line made of first + second + third + "\r\n", drops the oldest whole
  // lines while the text is over 10,000 bytes, then refreshes the display (outside the
  // lock). Appends from different threads are serialised.
  void AddLine(std::string first, std::string second = {}, std::string third = {});

  // A copy of the kept text, for front ends and tests.
  std::string Text() const;

 private:
  void Refresh(std::unique_lock<std::mutex>& lock);

  mutable std::mutex m_mutex;
  ILogDisplay* m_window = nullptr;
  std::string m_text;
  std::uint64_t m_sequence = 0;       // counts appends
  std::uint64_t m_shownSequence = 0;  // the append the display shows last
  std::size_t m_unshownBytes = 0;     // the tail of m_text the display has not had yet
  bool m_refreshing = false;          // a thread is calling the display
};

}  // namespace skiff
