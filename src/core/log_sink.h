// The one way a line reaches the activity log, from any part of the program, and the
// relay through which parts made before the log (settings, the device manager) write.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>

namespace skiff {

// Takes one line of the activity log (without its line end). Thread-safe.
class ILogSink {
 public:
  virtual ~ILogSink() = default;
  virtual void Log(const std::string& line) = 0;
};

// A sink for parts that live longer than the log. Lines written before Bind() are held
// (the oldest dropped beyond kMaxHeld) and handed over when bound; lines written after
// Bind(nullptr) are dropped. The target is called without the relay's lock held.
class CLogRelay : public ILogSink {
 public:
  static constexpr std::size_t kMaxHeld = 64;

  // target: where lines go from now on, or null. Returns only when no line is being
  // handed to the previous target any more, so that it may be destroyed then.
  void Bind(ILogSink* target);
  void Log(const std::string& line) override;

 private:
  std::mutex m_mutex;
  std::condition_variable m_idle;
  ILogSink* m_target = nullptr;
  bool m_everBound = false;
  bool m_binding = false;  // held lines are being handed to the new target
  int m_forwarding = 0;
  std::deque<std::string> m_held;
};

}  // namespace skiff
