// One hop's set-up on the easy handle, in four parts: the destination and the proxy for
// it, the transfer's fixed options and callbacks, the method, and the header lines (the
// caller's, plus only the defaults the Windows stack sends too).
#include "platform/posix/http_curl/curl_hop.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "platform/posix/http_curl/curl_pool.h"
#include "platform/posix/http_curl/curl_proxy.h"

namespace skiff {

namespace {

// libcurl counts name resolution in its connect time-out; the connect allowance is
// enforced by the pool's drive from the first socket on, so libcurl's own is set out of
// the way.
constexpr long kUnlimitedMs = 24L * 60 * 60 * 1000;

bool HasHeader(const std::vector<std::string>& headers, std::string_view name) {
  for (const std::string& line : headers) {
    if (line.size() > name.size() && line[name.size()] == ':' &&
        std::equal(name.begin(), name.end(), line.begin(), [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
        }))
      return true;
  }
  return false;
}

// The proxy for the hop's host and port; false when the URL does not parse.
bool ChooseHopProxy(const CurlRequest& r, std::string& proxy) {
  CURLU* parsed = curl_url();
  if (parsed == nullptr) return false;
  char* hostPart = nullptr;
  char* portPart = nullptr;
  bool valid = curl_url_set(parsed, CURLUPART_URL, r.url.c_str(), 0) == CURLUE_OK &&
               curl_url_get(parsed, CURLUPART_HOST, &hostPart, 0) == CURLUE_OK &&
               curl_url_get(parsed, CURLUPART_PORT, &portPart, CURLU_DEFAULT_PORT) == CURLUE_OK;
  std::string host = hostPart != nullptr ? hostPart : "";
  std::uint16_t port =
      portPart != nullptr ? static_cast<std::uint16_t>(std::strtoul(portPart, nullptr, 10)) : 0;
  curl_free(hostPart);
  curl_free(portPart);
  curl_url_cleanup(parsed);
  if (valid) proxy = ChooseProxy(r.connection->session->proxy, r.hopSecure, host, port);
  return valid;
}

void SetDestination(CurlRequest& r, const std::string& proxy) {
  CURL* easy = r.easy;
  curl_easy_setopt(easy, CURLOPT_URL, r.url.c_str());
  if (r.firstHop) {
    // The path goes out exactly as given; a forwarding proxy needs the absolute form.
    std::string target = r.target;
    if (!proxy.empty() && !r.hopSecure && IsForwardingProxy(proxy)) {
      std::string origin = r.url.substr(0, r.url.size() - 1);  // the URL ends in the "/" added
      target = origin + (target.starts_with("/") ? target : "/" + target);
    }
    curl_easy_setopt(easy, CURLOPT_REQUEST_TARGET, target.c_str());
  } else {
    curl_easy_setopt(easy, CURLOPT_REQUEST_TARGET, nullptr);
  }
  // Only the proxy chosen here, never one libcurl finds in the environment itself.
  curl_easy_setopt(easy, CURLOPT_PROXY, proxy.c_str());
  curl_easy_setopt(easy, CURLOPT_NOPROXY, "");
}

}  // namespace

void SetUpEasyHandle(CurlRequest& r) {
  CURL* easy = r.easy;
  curl_easy_setopt(easy, CURLOPT_PRIVATE, &r);
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy, CURLOPT_HTTP_CONTENT_DECODING, 0L);
  curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);  // never wait for a stuck name lookup
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, kUnlimitedMs);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  r.m_pool.Share(easy);
  // The cookie store of this easy handle, so that a cookie set by a redirect goes to its
  // target; nothing is read from or written to a file.
  curl_easy_setopt(easy, CURLOPT_COOKIEFILE, "");
  const std::string& userAgent = r.connection->session->userAgent;
  if (!userAgent.empty()) curl_easy_setopt(easy, CURLOPT_USERAGENT, userAgent.c_str());

  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, OnCurlHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &r);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, OnCurlBody);
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, static_cast<long>(kReceiveBytes));
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &r);
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, OnCurlProgress);
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &r);
  curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, OnCurlPrerequest);
  curl_easy_setopt(easy, CURLOPT_PREREQDATA, &r);
  curl_easy_setopt(easy, CURLOPT_SOCKOPTFUNCTION, OnCurlSocket);
  curl_easy_setopt(easy, CURLOPT_SOCKOPTDATA, &r);
}

namespace {

// libcurl's own forms for GET, HEAD and POST so that it knows whether a body follows;
// any other verb by name.
void SetMethod(CurlRequest& r) {
  CURL* easy = r.easy;
  // What an earlier hop set goes first; HTTPGET makes the method GET again.
  curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, nullptr);
  curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(-1));
  curl_easy_setopt(easy, CURLOPT_POSTFIELDS, nullptr);
  curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
  if (r.hopVerb == "HEAD") {
    curl_easy_setopt(easy, CURLOPT_NOBODY, 1L);
  } else if (r.hopBody) {
    curl_easy_setopt(easy, CURLOPT_POSTFIELDS, r.body.data());
    curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(r.body.size()));
    if (r.hopVerb != "POST") curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, r.hopVerb.c_str());
  } else if (r.hopVerb == "GET") {
    curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L);
  } else {
    curl_easy_setopt(easy, CURLOPT_CUSTOMREQUEST, r.hopVerb.c_str());
  }
}

bool SetHeaderLines(CurlRequest& r) {
  curl_slist_free_all(r.headerList);
  r.headerList = nullptr;
  std::vector<std::string> lines;
  for (const std::string& line : r.userHeaders) {
    std::size_t colon = line.find(':');
    // "Name:" with nothing after it means "remove" to libcurl; "Name;" sends it empty.
    if (colon != std::string::npos && line.find_first_not_of(" \t", colon + 1) == std::string::npos)
      lines.push_back(line.substr(0, colon) + ";");
    else
      lines.push_back(line);
  }
  if (!HasHeader(r.userHeaders, "Accept"))
    lines.push_back(r.accept.empty() ? "Accept:" : "Accept: " + r.accept);
  if (!HasHeader(r.userHeaders, "Expect")) lines.push_back("Expect:");
  if (r.hopBody && !HasHeader(r.userHeaders, "Content-Type")) lines.push_back("Content-Type:");
  for (const std::string& line : lines) {
    curl_slist* next = curl_slist_append(r.headerList, line.c_str());
    if (next == nullptr) return false;
    r.headerList = next;
  }
  curl_easy_setopt(r.easy, CURLOPT_HTTPHEADER, r.headerList);
  return true;
}

}  // namespace

std::uint32_t StartHop(CurlRequest& r) {
  // The handle is not reset between hops: a reset would drop libcurl's list of cookie
  // files without freeing it. Each hop sets every option that differs between hops.
  r.ResetHop();
  std::string proxy;
  if (!ChooseHopProxy(r, proxy)) return r.Fail(kErrorInvalidUrl);
  SetDestination(r, proxy);
  SetMethod(r);
  if (!SetHeaderLines(r)) return r.Fail(kErrorNotEnoughMemory);
  if (std::uint32_t code = r.m_pool.Attach(r)) return r.Fail(code);
  r.phase = CurlRequest::Phase::Sending;
  return 0;
}

}  // namespace skiff
