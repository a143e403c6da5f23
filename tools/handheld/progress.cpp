// The progress line of a fetch and the message stream that keeps clear of it.
#include "progress.h"

#include <cstdio>
#include <string>

namespace skiff::handheld {

namespace {

constexpr int kBarWidth = 24;

}  // namespace

std::string HumanBytes(double bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 3) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
  return text;
}

ProgressLine::ProgressLine(std::ostream& out, bool shown, std::function<Clock::time_point()> now)
    : m_out(out), m_shown(shown), m_now(std::move(now)) {}

void ProgressLine::Start(std::optional<std::uint64_t> total) {
  m_total = total;
  m_received = 0;
  m_started = m_now();
  m_lastDraw.reset();
}

void ProgressLine::Update(std::uint64_t received) {
  m_received = received;
  if (!m_shown) return;
  const auto now = m_now();
  if (!m_lastDraw || now - *m_lastDraw >= kRedrawInterval) Draw(now);
}

void ProgressLine::Finish() {
  if (!m_shown) return;
  Draw(m_now());
  Break();
}

void ProgressLine::Break() {
  if (!m_lineOpen) return;
  m_out << '\n' << std::flush;
  m_lineOpen = false;
  m_lastWidth = 0;
}

void ProgressLine::Draw(Clock::time_point now) {
  m_lastDraw = now;
  const double seconds = std::chrono::duration<double>(now - m_started).count();
  const std::string rate = HumanBytes(seconds > 0 ? static_cast<double>(m_received) / seconds : 0.0) + "/s";
  std::string line;
  if (m_total && *m_total > 0) {
    const double fraction =
        m_received >= *m_total ? 1.0 : static_cast<double>(m_received) / static_cast<double>(*m_total);
    const int filled = static_cast<int>(fraction * kBarWidth);
    line = "[" + std::string(static_cast<std::size_t>(filled), '#') +
           std::string(static_cast<std::size_t>(kBarWidth - filled), '-') + "]";
    char percent[16];
    std::snprintf(percent, sizeof percent, " %3d%%  ", static_cast<int>(fraction * 100));
    line += percent + HumanBytes(static_cast<double>(m_received)) + " of " +
            HumanBytes(static_cast<double>(*m_total)) + "  " + rate;
  } else {
    line = HumanBytes(static_cast<double>(m_received)) + "  " + rate;
  }
  // Blanks over what a longer earlier drawing left behind.
  const std::size_t width = line.size();
  if (width < m_lastWidth) line.append(m_lastWidth - width, ' ');
  m_lastWidth = width;
  m_out << '\r' << line << std::flush;
  m_lineOpen = true;
}

MessageStream::MessageStream(std::ostream& to, ProgressLine& progress)
    : std::ostream(nullptr), m_buffer(to, progress) {
  rdbuf(&m_buffer);
}

MessageStream::Buffer::int_type MessageStream::Buffer::overflow(int_type c) {
  if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
  m_progress.Break();
  m_to.put(traits_type::to_char_type(c));
  return c;
}

std::streamsize MessageStream::Buffer::xsputn(const char* text, std::streamsize size) {
  m_progress.Break();
  m_to.write(text, size);
  return size;
}

int MessageStream::Buffer::sync() {
  m_to.flush();
  return 0;
}

}  // namespace skiff::handheld
