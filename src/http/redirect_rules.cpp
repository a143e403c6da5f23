// The Windows stack's rules for the next hop of a redirect: the count, the scheme, and
// the method and body the next request carries.
#include "http/redirect_rules.h"

#include <cctype>

#include "http/winhttp_errors.h"

namespace skiff {

bool IsRedirectStatus(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

RedirectTo ApplyRedirectRules(const RedirectFrom& from, std::string resolvedUrl, std::string scheme) {
  RedirectTo to;
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (from.followed + 1 > kMaxRedirects || (scheme != "http" && scheme != "https") ||
      (from.secure && scheme == "http")) {
    to.error = kErrorRedirectFailed;
    return to;
  }
  to.url = std::move(resolvedUrl);
  to.secure = scheme == "https";
  to.verb = from.verb;
  to.hasBody = from.hasBody;
  if ((from.status == 303 && from.verb != "HEAD") ||
      ((from.status == 301 || from.status == 302) && from.verb == "POST")) {
    to.verb = "GET";
    to.hasBody = false;
  }
  return to;
}

}  // namespace skiff
