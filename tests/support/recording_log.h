// Where tests collect log lines: a sink that keeps every line written to it, and a log
// display that keeps what the activity log showed; both from any thread, both able to
// wait until a line has come. The display also notes two refreshes that overlap.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/log_sink.h"
#include "platform/platform.h"

namespace skiff::testing {

// Waits until the condition holds; false after a generous safety time-out.
template <typename Condition>
bool Eventually(Condition condition) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

class CollectingSink : public ILogSink {
 public:
  void Log(const std::string& line) override {
    std::lock_guard<std::mutex> hold(m_mutex);
    m_lines.push_back(line);
  }
  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> hold(m_mutex);
    return m_lines;
  }
  std::size_t Count() const { return Lines().size(); }
  std::string Last() const {
    std::lock_guard<std::mutex> hold(m_mutex);
    return m_lines.empty() ? std::string() : m_lines.back();
  }
  // True once count lines have come in all; false after a safety time-out.
  bool WaitForCount(std::size_t count) const {
    return Eventually([&] { return Count() >= count; });
  }

 private:
  mutable std::mutex m_mutex;
  std::vector<std::string> m_lines;
};

class RecordingLogDisplay final : public ILogDisplay {
 public:
  bool IsAlive() const override { return alive; }
  void ShowText(const std::string& keptText, const std::string& appended) override {
    if (++m_inside != 1) overlapped = true;
    {
      std::lock_guard<std::mutex> hold(m_mutex);
      m_shown = keptText;
      m_appended += appended;
      ++m_refreshes;
    }
    if (whileShowing) std::exchange(whileShowing, nullptr)();
    --m_inside;
  }

  // Every line appended so far, in order, without its "\r\n".
  std::vector<std::string> Lines() const {
    const std::string appended = Appended();
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = appended.find("\r\n", at)) != std::string::npos; at = end + 2)
      lines.push_back(appended.substr(at, end - at));
    return lines;
  }
  std::size_t Count(const std::string& line) const {
    const auto lines = Lines();
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
  }
  bool WaitForLine(const std::string& line, std::size_t count = 1) const {
    return Eventually([&] { return Count(line) >= count; });
  }
  std::string Shown() const {
    std::lock_guard<std::mutex> hold(m_mutex);
    return m_shown;
  }
  std::string Appended() const {
    std::lock_guard<std::mutex> hold(m_mutex);
    return m_appended;
  }
  int Refreshes() const {
    std::lock_guard<std::mutex> hold(m_mutex);
    return m_refreshes;
  }

  std::atomic<bool> alive{true}, overlapped{false};
  std::function<void()> whileShowing;  // runs once, inside the next refresh; set before logging

 private:
  mutable std::mutex m_mutex;
  std::string m_shown, m_appended;
  int m_refreshes = 0;
  std::atomic<int> m_inside{0};
};

}  // namespace skiff::testing
