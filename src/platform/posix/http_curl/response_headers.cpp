// Parsing of response header blocks, kept apart from the transfer so that it is tested
// line by line without a server.
#include "platform/posix/http_curl/response_headers.h"

#include <algorithm>
#include <cctype>
#include <utility>

namespace skiff {

namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

void ParseStatusLine(std::string_view line, int& status, std::string& reason) {
  status = 0;
  reason.clear();
  std::size_t space = line.find(' ');
  if (space == std::string_view::npos) return;
  std::string_view rest = line.substr(space + 1);
  int value = 0;
  std::size_t digits = 0;
  while (digits < rest.size() && digits < 3 && rest[digits] >= '0' && rest[digits] <= '9')
    value = value * 10 + (rest[digits++] - '0');
  if (digits != 3) return;
  status = value;
  rest.remove_prefix(digits);
  if (!rest.empty() && rest.front() == ' ') reason.assign(rest.substr(1));
}

void ResponseHeaderParser::Reset() {
  m_inResponse = false;
  m_head = ResponseHead{};
}

ResponseHead ResponseHeaderParser::Take() {
  ResponseHead head = std::move(m_head);
  Reset();
  return head;
}

ResponseHeaderParser::Result ResponseHeaderParser::Feed(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  if (line.starts_with("HTTP/")) {
    m_head = ResponseHead{};
    m_inResponse = true;
    ParseStatusLine(line, m_head.status, m_head.reason);
  }
  if (!m_inResponse) return Result::Outside;
  if (m_head.raw.size() + line.size() + 2 > m_limit) return Result::TooLarge;
  m_head.raw.append(line);
  m_head.raw.append("\r\n");
  if (line.size() > 9 && StartsWithNoCase(line, "Location:")) {
    std::string_view value = line.substr(9);
    while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.remove_prefix(1);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t')) value.remove_suffix(1);
    m_head.location.assign(value);
  }
  if (!line.empty()) return Result::More;
  // The blank line ends one response's headers.
  m_inResponse = false;
  if (m_head.status >= 100 && m_head.status < 200 && m_head.status != 101) return Result::Interim;
  return Result::Complete;
}

}  // namespace skiff
