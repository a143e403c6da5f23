// The handheld's fetch command: a URL taken apart, and the whole fetch driven packet by
// packet over the channel (UserAgent, Host, Port, Verb, Path, Secure, Headers, Body,
// Send, ResponseHeaders, Read..., Close).
#pragma once

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "handheld_link.h"

namespace skiff::handheld {

struct ParsedUrl {
  bool secure = false;
  std::string host;
  std::uint16_t port = 0;
  std::string path;  // with the query, "/" at the least
};

// http:// or https:// URLs; a bracketed IPv6 host, a port and a path are optional.
bool ParseUrl(const std::string& url, ParsedUrl* parsed, std::string* error);

struct FetchOptions {
  std::string url;
  std::optional<std::string> verb;   // -X; GET, or POST with a body
  std::vector<std::string> headers;  // -H, joined with CR LF
  std::optional<std::string> data;   // -d DATA or -d @FILE
  std::string agent = "skiffhouse-handheld/1.3";
  bool includeHeaders = false;   // -i
  std::string outputPath;        // -o; standard output when empty
  bool failOnHttpError = false;  // --fail
};

// Everything a fetch sends, checked before anything goes out.
struct FetchPlan {
  ParsedUrl url;
  std::string agent;
  std::string verb;
  std::string headers;
  std::optional<std::vector<std::uint8_t>> body;
};

// Reads -d @FILE and refuses what one packet cannot carry.
bool PrepareFetch(const FetchOptions& options, FetchPlan* plan, std::string* error);

// Exit statuses of the handheld tool.
inline constexpr int kExitOk = 0;
inline constexpr int kExitUsage = 1;
inline constexpr int kExitLink = 2;
inline constexpr int kExitErrorReply = 3;
inline constexpr int kExitWiped = 4;
inline constexpr int kExitHttpFailure = 22;

// Hands out request sequence numbers: 1 up to 30000, then 1 again, as the desktop's
// resend rule expects.
class SequenceCounter {
 public:
  std::uint16_t Next() {
    m_last = m_last >= 30000 ? 1 : static_cast<std::uint16_t>(m_last + 1);
    return m_last;
  }

 private:
  std::uint16_t m_last = 0;
};

int RunFetch(HandheldLink& link, SequenceCounter& sequences, const FetchPlan& plan,
             const FetchOptions& options, std::ostream& out, std::ostream& err);

}  // namespace skiff::handheld
