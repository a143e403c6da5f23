// The console's text rules: which answers mean yes, and log text made safe for a
// terminal.
#include "platform/posix/app/console_rules.h"

namespace skiff {

bool IsYesAnswer(std::string_view answer) {
  while (!answer.empty() && (answer.front() == ' ' || answer.front() == '\t')) answer.remove_prefix(1);
  while (!answer.empty() && (answer.back() == ' ' || answer.back() == '\t' || answer.back() == '\r'))
    answer.remove_suffix(1);
  std::string lower;
  for (char c : answer) lower += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  return lower == "y" || lower == "yes";
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
