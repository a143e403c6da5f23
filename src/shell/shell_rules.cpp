// The application shell's platform-free rules: first start, run on startup, the password
// prompt text, the second start's request, display-safe text.
#include "shell/shell_rules.h"

#include <cstdio>

#include "device/worker.h"

namespace skiff {

namespace {

bool SetRegistration(bool on, IRunOnStartup& runOnStartup, ILogSink& log) {
  if (runOnStartup.SetRunOnStartup(on)) return true;
  std::string text = on ? "Could not register the program to run on startup"
                        : "Could not remove the program's run-on-startup registration";
  const std::string reason = runOnStartup.LastError();
  if (!reason.empty()) text += ": " + reason;
  log.Log(text);
  return false;
}

}  // namespace

bool ApplyFirstStartRule(IProfile& profile, IRunOnStartup& runOnStartup, ILogSink& log) {
  const std::string version = profile.GetString(kGeneralSection, kVersionName, kVersionNeverStarted);
  if (version == kVersionNeverStarted) {
    // A marker that could not be written is found again at the next start, which then
    // registers again: nothing worse happens.
    if (!profile.WriteString(kGeneralSection, kVersionName, kVersionCurrent))
      log.Log("Could not write the first-start marker to the settings");
    SetRegistration(true, runOnStartup, log);
  }
  return runOnStartup.IsRunOnStartup();
}

bool ToggleRunOnStartup(bool checked, IRunOnStartup& runOnStartup, ILogSink& log) {
  const bool wanted = !checked;
  SetRegistration(wanted, runOnStartup, log);
  return wanted;
}

std::string PasswordPromptText(std::int32_t attemptsRemaining, std::uint32_t pin) {
  char attempts[16];
  std::snprintf(attempts, sizeof attempts, "%d", static_cast<int>(attemptsRemaining));
  return std::string("Please enter password for handheld PIN ") + PinText(pin) + ".\r\nYou have " + attempts +
         " attempts remaining.\r\nNote that device will be wiped if all attempts are used.";
}

bool IsYesAnswer(std::string_view answer) {
  while (!answer.empty() && (answer.front() == ' ' || answer.front() == '\t')) answer.remove_prefix(1);
  while (!answer.empty() && (answer.back() == ' ' || answer.back() == '\t' || answer.back() == '\r'))
    answer.remove_suffix(1);
  std::string lower;
  for (char c : answer) lower += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return lower == "y" || lower == "yes";
}

std::string ControlReplyFor(std::string_view requestLine, bool& showWindow) {
  if (!requestLine.empty() && requestLine.back() == '\r') requestLine.remove_suffix(1);
  showWindow = requestLine == kControlShowRequest;
  return showWindow ? kControlShownReply : kControlUnknownReply;
}

namespace {

// Length of the well-formed UTF-8 sequence at text[i], or 0 when it is not one. Overlong
// forms, surrogates and code points past U+10FFFF are not well formed.
std::size_t Utf8SequenceLength(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  std::size_t length;
  unsigned char low = 0x80, high = 0xBF;  // range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  if (byte(i + 1) < low || byte(i + 1) > high) return 0;
  for (std::size_t k = 2; k < length; ++k)
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  return length;
}

void AppendEscaped(std::string& out, unsigned char c) {
  static const char digits[] = "0123456789abcdef";
  out += "\\x";
  out += digits[c >> 4];
  out += digits[c & 0x0F];
}

}  // namespace

std::string DisplaySafeText(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      if ((c < 0x20 && c != '\r' && c != '\n' && c != '\t') || c == 0x7F)
        AppendEscaped(out, c);
      else
        out += static_cast<char>(c);
      ++i;
      continue;
    }
    const std::size_t length = Utf8SequenceLength(text, i);
    // U+0080..U+009F are the 8-bit controls; a terminal may act on them too.
    const bool c1Control = length == 2 && c == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F;
    if (length == 0 || c1Control) {
      const std::size_t count = c1Control ? 2 : 1;
      for (std::size_t k = 0; k < count; ++k) AppendEscaped(out, static_cast<unsigned char>(text[i + k]));
      i += count;
      continue;
    }
    out.append(text.substr(i, length));
    i += length;
  }
  return out;
}

}  // namespace skiff
