// The next hop of a redirect on Windows, where WinHTTP's own redirects are off (they
// would carry the session's cookies, not the fetch's): the target resolved against the
// answered URL, then the Windows stack's rules, and the URL split for WinHttpConnect.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "http/redirect_rules.h"

namespace skiff {

RedirectTo NextRedirectTarget(const RedirectFrom& from);

// An absolute http or https URL in the parts WinHTTP takes: the host (IPv6 without
// brackets), the port (the scheme's when the URL names none) and the path with its query.
struct UrlParts {
  bool secure = false;
  std::string host;
  std::uint16_t port = 0;
  std::string pathAndQuery;
};
bool SplitHttpUrl(std::string_view url, UrlParts& parts);

}  // namespace skiff
