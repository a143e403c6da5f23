// The response-header parser: collects one response's header block from the lines
// libcurl hands over, with its status, reason and redirect target, under a size limit.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace skiff {

// One response's head as the caller sees it.
struct ResponseHead {
  int status = 0;
  std::string reason;
  std::string raw;       // status line and headers, each ending in CR LF, then CR LF
  std::string location;  // the Location header's value, trimmed; empty when none
};

class ResponseHeaderParser {
 public:
  enum class Result {
    Outside,   // not inside a response (before its status line)
    More,      // a line of the block
    Interim,   // the end of a 1xx block other than 101: the real answer follows
    Complete,  // the end of a response's block
    TooLarge,  // the block passed the limit
  };
  explicit ResponseHeaderParser(std::size_t limit) : m_limit(limit) {}
  void Reset();
  // One line as libcurl delivers it, line end included.
  Result Feed(std::string_view line);
  const ResponseHead& Head() const { return m_head; }
  ResponseHead Take();

 private:
  std::size_t m_limit;
  bool m_inResponse = false;
  ResponseHead m_head;
};

// The status number and reason of an HTTP status line; status 0 when it has no number.
void ParseStatusLine(std::string_view line, int& status, std::string& reason);

}  // namespace skiff
