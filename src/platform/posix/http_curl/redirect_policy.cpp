// The next hop of a redirect: the target resolved against the answered URL with
// libcurl's URL parser, then the Windows stack's rules on scheme, count and method.
#include "platform/posix/http_curl/redirect_policy.h"

#include <cctype>

#include <curl/curl.h>

#include "http/winhttp_errors.h"

namespace skiff {

bool IsRedirectStatus(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

RedirectTo NextRedirect(const RedirectFrom& from) {
  RedirectTo to;
  if (from.followed + 1 > kMaxRedirects) {
    to.error = kErrorRedirectFailed;
    return to;
  }
  std::string scheme;
  if (CURLU* parsed = curl_url()) {
    char* part = nullptr;
    char* whole = nullptr;
    if (curl_url_set(parsed, CURLUPART_URL, from.url.c_str(), CURLU_PATH_AS_IS) != CURLUE_OK)
      curl_url_set(parsed, CURLUPART_URL, from.fallbackUrl.c_str(), 0);
    bool resolved =
        (curl_url_set(parsed, CURLUPART_URL, from.location.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK ||
         curl_url_set(parsed, CURLUPART_URL, from.location.c_str(),
                      CURLU_NON_SUPPORT_SCHEME | CURLU_URLENCODE | CURLU_ALLOW_SPACE) == CURLUE_OK);
    if (resolved && curl_url_get(parsed, CURLUPART_SCHEME, &part, 0) == CURLUE_OK &&
        curl_url_get(parsed, CURLUPART_URL, &whole, 0) == CURLUE_OK) {
      scheme = part;
      to.url = whole;
    }
    curl_free(part);
    curl_free(whole);
    curl_url_cleanup(parsed);
  }
  for (char& c : scheme) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if ((scheme != "http" && scheme != "https") || (from.secure && scheme == "http")) {
    to.error = kErrorRedirectFailed;
    return to;
  }
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
