// The next hop of a redirect: the target resolved against the answered URL with
// libcurl's URL parser, then the Windows stack's rules on scheme, count and method.
#include "platform/posix/http_curl/redirect_policy.h"

#include <curl/curl.h>

#include "http/winhttp_errors.h"

namespace skiff {

RedirectTo NextRedirect(const RedirectFrom& from) {
  if (from.followed + 1 > kMaxRedirects) {
    RedirectTo to;
    to.error = kErrorRedirectFailed;
    return to;
  }
  std::string scheme;
  std::string url;
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
      url = whole;
    }
    curl_free(part);
    curl_free(whole);
    curl_url_cleanup(parsed);
  }
  return ApplyRedirectRules(from, std::move(url), std::move(scheme));
}

}  // namespace skiff
