// Splitting a fetch URL with libcurl's URL API.
#include "url_split.h"

#include <curl/curl.h>

#include <cstdlib>
#include <memory>

namespace skiff::handheld {

namespace {

struct UrlDeleter {
  void operator()(CURLU* url) const { curl_url_cleanup(url); }
};
struct PartDeleter {
  void operator()(char* part) const { curl_free(part); }
};
using Part = std::unique_ptr<char, PartDeleter>;

// The part, or nothing when the URL has none.
Part Get(CURLU* url, CURLUPart which) {
  char* text = nullptr;
  if (curl_url_get(url, which, &text, 0) != CURLUE_OK) return nullptr;
  return Part(text);
}

}  // namespace

bool SplitUrl(const std::string& url, ParsedUrl* parsed, std::string* error) {
  const std::unique_ptr<CURLU, UrlDeleter> handle(curl_url());
  if (!handle) {
    *error = "out of memory";
    return false;
  }
  if (const CURLUcode code = curl_url_set(handle.get(), CURLUPART_URL, url.c_str(), 0); code != CURLUE_OK) {
    *error = std::string("not a URL (") + curl_url_strerror(code) + "): " + url;
    return false;
  }
  const Part scheme = Get(handle.get(), CURLUPART_SCHEME);
  const std::string schemeText = scheme ? scheme.get() : "";
  if (schemeText != "http" && schemeText != "https") {
    *error = "the URL must start with http:// or https://: " + url;
    return false;
  }
  parsed->secure = schemeText == "https";
  if (Get(handle.get(), CURLUPART_USER)) {
    *error = "user names in URLs are not supported: " + url;
    return false;
  }
  const Part host = Get(handle.get(), CURLUPART_HOST);
  parsed->host = host ? host.get() : "";
  if (parsed->host.size() >= 2 && parsed->host.front() == '[' && parsed->host.back() == ']')
    parsed->host = parsed->host.substr(1, parsed->host.size() - 2);
  if (parsed->host.empty()) {
    *error = "the URL names no host: " + url;
    return false;
  }
  parsed->port = parsed->secure ? 443 : 80;
  if (const Part port = Get(handle.get(), CURLUPART_PORT)) {
    const long number = std::strtol(port.get(), nullptr, 10);
    if (number <= 0 || number > 65535) {
      *error = "\"" + std::string(port.get()) + "\" is no port number: " + url;
      return false;
    }
    parsed->port = static_cast<std::uint16_t>(number);
  }
  const Part path = Get(handle.get(), CURLUPART_PATH);
  parsed->path = path && *path.get() ? path.get() : "/";
  if (const Part query = Get(handle.get(), CURLUPART_QUERY)) parsed->path += std::string("?") + query.get();
  return true;
}

}  // namespace skiff::handheld
