// Text helpers and key codes shared by the console front end's files (the window, its
// poll loop and the password prompt).
#pragma once

#include <cstddef>
#include <string>

#include "core/activity_log.h"
#include "platform/posix/app/console_rules.h"
#include "shell/shell_texts.h"

namespace skiff::console {

inline constexpr std::size_t kMaxLineBytes = std::size_t{64} * 1024;
inline constexpr std::size_t kMaxHeldBytes = CActivityLog::kMaxBytes;
inline constexpr unsigned char kEscape = 0x1b;
inline constexpr unsigned char kCtrlC = 0x03;
inline constexpr unsigned char kCtrlD = 0x04;
inline constexpr unsigned char kCtrlU = 0x15;

// Said when Enter comes with nothing typed: nothing is sent to the handheld.
inline constexpr char kEmptyPasswordNote[] =
    "Empty password: it would use up an attempt. Type it, or Escape to cancel.";

// Log text as the console shows it: safe to print, "\r\n" line ends as "\n".
inline std::string ForConsole(const std::string& text) {
  const std::string safe = DisplaySafeText(text);
  std::string out;
  out.reserve(safe.size());
  for (std::size_t i = 0; i < safe.size(); ++i) {
    if (safe[i] == '\r' && i + 1 < safe.size() && safe[i + 1] == '\n') continue;
    out += safe[i];
  }
  return out;
}

// Overwrites a typed secret before it is let go.
inline void Wipe(std::string& secret) {
  for (char& c : secret) c = 0;
  secret.clear();
}

}  // namespace skiff::console
