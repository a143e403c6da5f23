// The cookies of one fetch on Windows: WinHTTP's own cookie store belongs to the
// session, which later fetches share, so it is switched off and the transport keeps the
// cookies that a fetch's answers set for that fetch's later hops alone.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace skiff {

class FetchCookies {
 public:
  // One Set-Cookie value from the answer to a request for `path` on `host`.
  void Take(std::string_view setCookie, std::string_view host, std::string_view path);
  // The Cookie header's value for a request ("a=1; b=2"), empty when no cookie applies.
  std::string HeaderFor(std::string_view host, std::string_view path, bool secure) const;

 private:
  struct Cookie {
    std::string name;
    std::string value;
    std::string domain;  // lower case
    bool hostOnly = true;
    std::string path;
    bool secure = false;
  };
  std::vector<Cookie> m_cookies;
};

}  // namespace skiff
