// A fetch URL taken apart into what the fetch packets carry. The checks that hold
// everywhere live in fetch.cpp; the splitting itself is the platform's own URL parser
// (libcurl's URL API on POSIX, WinHttpCrackUrl on Windows).
#pragma once

#include <cstdint>
#include <string>

namespace skiff::handheld {

struct ParsedUrl {
  bool secure = false;
  std::string host;  // an IPv6 address without its brackets
  std::uint16_t port = 0;
  std::string path;  // with the query, "/" at the least; no fragment
};

// http:// and https:// URLs only; a user name, a missing host or port 0 are refused.
// The URL has passed the portable checks (no blanks, no control characters).
bool SplitUrl(const std::string& url, ParsedUrl* parsed, std::string* error);

}  // namespace skiff::handheld
