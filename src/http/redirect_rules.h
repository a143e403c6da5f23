// The redirect rules of the Windows stack at its defaults, shared by the transports that
// follow redirects themselves: at most 10 redirects, never from https to http or to
// another scheme, 303 (and 301/302 after a POST) continuing as GET without the body.
// Each transport resolves the target against the answered URL with its own URL parser.
#pragma once

#include <cstdint>
#include <string>

namespace skiff {

inline constexpr int kMaxRedirects = 10;

bool IsRedirectStatus(int status);

struct RedirectFrom {
  std::string url;          // the URL of the request that was answered
  std::string fallbackUrl;  // used as the base when `url` does not parse
  bool secure = false;      // whether that request went over TLS
  std::string verb;         // its method
  bool hasBody = false;     // whether it carried the body
  int status = 0;           // the answer's status
  std::string location;     // the answer's Location, as sent
  int followed = 0;         // redirects followed before this one
};

struct RedirectTo {
  std::uint32_t error = 0;  // nonzero: the redirect fails with this code
  std::string url;
  std::string verb;
  bool hasBody = false;
  bool secure = false;
};

// The next hop, given the target resolved to an absolute URL and its scheme (empty when
// it did not resolve).
RedirectTo ApplyRedirectRules(const RedirectFrom& from, std::string resolvedUrl, std::string scheme);

}  // namespace skiff
