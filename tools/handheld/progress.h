// The fetch's progress line on standard error, with the manners of command-line HTTP
// clients: a bar with percentage, size and rate when the size is known, a counter when
// it is not, redrawn at most ten times a second; any other message starts on a line of
// its own instead of being glued to the progress line.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <streambuf>

namespace skiff::handheld {

class ProgressLine {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::milliseconds kRedrawInterval{100};

  // Draws on out when shown; otherwise it only keeps messages apart (nothing to do).
  ProgressLine(std::ostream& out, bool shown, std::function<Clock::time_point()> now = Clock::now);

  void Start(std::optional<std::uint64_t> total);
  // Redraws when the last drawing is at least kRedrawInterval old.
  void Update(std::uint64_t received);
  // Draws the final state and ends the line.
  void Finish();
  // Ends a line that is being drawn, so that the next message starts on its own.
  void Break();

 private:
  void Draw(Clock::time_point now);

  std::ostream& m_out;
  const bool m_shown;
  const std::function<Clock::time_point()> m_now;
  std::optional<std::uint64_t> m_total;
  std::uint64_t m_received = 0;
  Clock::time_point m_started{};
  std::optional<Clock::time_point> m_lastDraw;
  bool m_lineOpen = false;
  std::size_t m_lastWidth = 0;
};

// Sizes as people read them: "512 B", "1.5 KiB", "3.0 MiB".
std::string HumanBytes(double bytes);

// A stream for messages on the same terminal as a progress line: whatever is written
// ends the progress line first.
class MessageStream : public std::ostream {
 public:
  MessageStream(std::ostream& to, ProgressLine& progress);

 private:
  class Buffer : public std::streambuf {
   public:
    Buffer(std::ostream& to, ProgressLine& progress) : m_to(to), m_progress(progress) {}

   protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* text, std::streamsize size) override;
    int sync() override;

   private:
    std::ostream& m_to;
    ProgressLine& m_progress;
  };
  Buffer m_buffer;
};

}  // namespace skiff::handheld
