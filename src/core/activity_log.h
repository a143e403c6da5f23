// The activity log: a bounded text of whole "\r\n" lines that tells the user what the
// program is doing, shown through a small display interface.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>

namespace skiff {

// Where the log is shown. Each append hands over the whole kept text, never a delta,
// so a display that shows it replaces its content with it.
class ILogDisplay {
 public:
  virtual ~ILogDisplay() = default;
  // Still able to show text (the window exists)?
  virtual bool IsAlive() const = 0;
  // Replaces the shown text by the whole kept text and scrolls to its end. appended is
  // the line just added (with its "\r\n"), for displays that show lines as they come.
  // Called on the appending thread with the log's lock held, so refreshes never
  // interleave: it must not append to the log itself.
  virtual void ShowText(const std::string& keptText, const std::string& appended) = 0;
};

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
  // lines while the text is over 10,000 bytes, then refreshes the display. Appends from
  // different threads are serialised.
  void AddLine(std::string first, std::string second = {}, std::string third = {});

  // A copy of the kept text, for front ends and tests.
  std::string Text() const;

 private:
  mutable std::mutex m_mutex;
  ILogDisplay* m_window = nullptr;
  std::string m_text;
};

}  // namespace skiff
