// The WinHTTP-shaped seam on libcurl: the seam's calls on the handle table, and a
// request's course from its first hop through the redirects to the reads of its body.
// The connections live in the transport's pool (curl_pool.h), beneath the handles, so a
// fetch after another to the same server takes the open connection; a request's hops
// are set up in curl_hop.cpp, its state and libcurl callbacks live in curl_request.cpp.
// Redirects are followed here rather than by libcurl so that the Windows stack's rules
// (10 at most, never from https to http, POST becoming GET on 301/302/303) and its error
// numbers hold.
#include "platform/posix/http_curl/curl_transport.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <string_view>
#include <vector>

#include <curl/curl.h>

#include "core/text.h"
#include "platform/posix/http_curl/curl_handles.h"
#include "platform/posix/http_curl/curl_hop.h"
#include "platform/posix/http_curl/curl_pool.h"
#include "platform/posix/http_curl/curl_proxy.h"
#include "platform/posix/http_curl/curl_request.h"
#include "platform/posix/http_curl/redirect_policy.h"

namespace skiff {

namespace {

std::string ToUtf8(const WideChar* text) {
  if (text == nullptr) return {};
  return WideToUtf8String(std::u16string_view(text, WideLength(text)));
}

bool IsTokenChar(unsigned char c) {
  return c > 0x20 && c < 0x7F && std::strchr("()<>@,;:\\\"/[]?={}", c) == nullptr;
}

// The caller's header block: lines split on CR LF (or a lone LF), blank lines dropped.
std::vector<std::string> SplitHeaderLines(std::string_view block) {
  std::vector<std::string> lines;
  while (!block.empty()) {
    std::size_t end = block.find('\n');
    std::string_view line = block.substr(0, end);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!line.empty()) lines.emplace_back(line);
    if (end == std::string_view::npos) break;
    block.remove_prefix(end + 1);
  }
  return lines;
}

std::string HostForUrl(const std::string& host) {
  if (host.find(':') != std::string::npos && host.front() != '[') return "[" + host + "]";
  return host;
}

// Writes a text answer of QueryHeaders: UTF-16 with a terminator, the buffer length in
// bytes; too small (or no buffer) gives 122 with the size needed.
std::uint32_t WriteText(std::string_view text, void* buffer, std::uint32_t* bufferBytes) {
  std::u16string wide = Utf8ToWideString(text);
  const std::uint64_t needed = (wide.size() + 1) * sizeof(WideChar);
  if (needed > std::numeric_limits<std::uint32_t>::max()) return kErrorNotEnoughMemory;
  if (buffer == nullptr || *bufferBytes < needed) {
    *bufferBytes = static_cast<std::uint32_t>(needed);
    return kErrorInsufficientBuffer;
  }
  std::memcpy(buffer, wide.c_str(), needed);
  *bufferBytes = static_cast<std::uint32_t>(needed - sizeof(WideChar));
  return 0;
}

}  // namespace

class CurlTransport final : public IHttpTransport {
 public:
  explicit CurlTransport(CurlOptions options) : m_options(std::move(options)), m_pool(m_options) {}
  // The handles go first: a request leaves the pool before the pool closes.
  ~CurlTransport() override { m_handles.Clear(); }
  CurlTransport(const CurlTransport&) = delete;
  CurlTransport& operator=(const CurlTransport&) = delete;

  std::uint32_t GetUserProxyConfig(UserProxyConfig& config) override;
  std::uint32_t OpenSession(const WideChar* userAgent, std::uint32_t accessType, const WideChar* proxyName,
                            const WideChar* proxyBypass, HttpHandle* session) override;
  std::uint32_t Connect(HttpHandle session, const WideChar* host, std::uint16_t port,
                        HttpHandle* connection) override;
  std::uint32_t OpenRequest(HttpHandle connection, const WideChar* verb, const WideChar* path,
                            const WideChar* const* acceptTypes, std::uint32_t flags,
                            HttpHandle* request) override;
  std::uint32_t SendRequest(HttpHandle request, const WideChar* headers, std::uint32_t headersLength,
                            const void* body, std::uint32_t bodyLength) override;
  std::uint32_t ReceiveResponse(HttpHandle request) override;
  std::uint32_t QueryHeaders(HttpHandle request, std::uint32_t infoLevel, void* buffer,
                             std::uint32_t* bufferBytes) override;
  std::uint32_t ReadData(HttpHandle request, void* buffer, std::uint32_t size,
                         std::uint32_t* bytesRead) override;
  void CloseHandle(HttpHandle handle) override;
  void Cancel() override;

 private:
  std::uint32_t FollowRedirect(CurlRequest& request, bool& followed);

  const CurlOptions m_options;
  std::atomic<bool> m_cancelled{false};
  CurlPool m_pool;
  CurlHandleTable m_handles;
};

std::unique_ptr<IHttpTransport> CreateCurlTransport(CurlOptions options) {
  return std::make_unique<CurlTransport>(std::move(options));
}

std::uint32_t CurlTransport::GetUserProxyConfig(UserProxyConfig& config) {
  if (m_cancelled) return kErrorOperationCancelled;
  EnvironmentProxy env = ReadEnvironmentProxy([](const char* name) { return std::getenv(name); });
  config.hasProxy = !env.proxy.empty();
  config.proxy = Utf8ToWideString(env.proxy);
  config.bypass = Utf8ToWideString(env.bypass);
  return 0;
}

std::uint32_t CurlTransport::OpenSession(const WideChar* userAgent, std::uint32_t accessType,
                                         const WideChar* proxyName, const WideChar* proxyBypass,
                                         HttpHandle* session) {
  if (session == nullptr) return kErrorInvalidParameter;
  *session = nullptr;
  if (m_cancelled) return kErrorOperationCancelled;
  if (CurlGlobalInit() != CURLE_OK || !m_pool.Ready()) return kErrorInternal;
  auto handle = std::make_shared<CurlSession>();
  handle->userAgent = ToUtf8(userAgent);
  switch (accessType) {
    case kAccessTypeNoProxy:
      break;
    case kAccessTypeNamedProxy:
      if (proxyName == nullptr || proxyName[0] == 0) return kErrorInvalidParameter;
      handle->proxy = ParseProxyRules(ToUtf8(proxyName), ToUtf8(proxyBypass));
      break;
    case kAccessTypeDefaultProxy:  // the user's setting, read now
    case kAccessTypeAutomaticProxy: {
      EnvironmentProxy env = ReadEnvironmentProxy([](const char* name) { return std::getenv(name); });
      handle->proxy = ParseProxyRules(env.proxy, env.bypass);
      break;
    }
    default:
      return kErrorInvalidParameter;
  }
  *session = m_handles.Register(std::move(handle));
  return 0;
}

std::uint32_t CurlTransport::Connect(HttpHandle session, const WideChar* host, std::uint16_t port,
                                     HttpHandle* connection) {
  if (connection == nullptr) return kErrorInvalidParameter;
  *connection = nullptr;
  if (m_cancelled) return kErrorOperationCancelled;
  std::shared_ptr<CurlSession> parent;
  if (std::uint32_t code = m_handles.Find(session, parent)) return code;
  if (host == nullptr || host[0] == 0) return kErrorInvalidParameter;
  auto handle = std::make_shared<CurlConnection>();
  handle->session = std::move(parent);
  handle->host = ToUtf8(host);
  handle->port = port;
  *connection = m_handles.Register(std::move(handle));
  return 0;
}

std::uint32_t CurlTransport::OpenRequest(HttpHandle connection, const WideChar* verb, const WideChar* path,
                                         const WideChar* const* acceptTypes, std::uint32_t flags,
                                         HttpHandle* request) {
  if (request == nullptr) return kErrorInvalidParameter;
  *request = nullptr;
  if (m_cancelled) return kErrorOperationCancelled;
  std::shared_ptr<CurlConnection> parent;
  if (std::uint32_t code = m_handles.Find(connection, parent)) return code;

  auto handle = std::make_shared<CurlRequest>(m_pool, m_options, m_cancelled);
  handle->connection = std::move(parent);
  handle->verb = verb == nullptr ? "GET" : ToUtf8(verb);
  if (handle->verb.empty() ||
      !std::all_of(handle->verb.begin(), handle->verb.end(), [](char c) { return IsTokenChar(c); }))
    return kErrorInvalidParameter;
  handle->target = ToUtf8(path);
  if (handle->target.empty()) handle->target.assign(1, '/');
  // Control characters would end the request line early.
  if (std::any_of(handle->target.begin(), handle->target.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }))
    return kErrorInvalidUrl;
  if ((flags & kFlagEscapeDisable) == 0) {
    std::string escaped;
    for (char c : handle->target) {
      auto byte = static_cast<unsigned char>(c);
      if (byte > 0x20 && byte < 0x7F) {
        escaped += c;
      } else {
        static const char kHex[] = "0123456789ABCDEF";
        escaped += '%';
        escaped += kHex[byte >> 4];
        escaped += kHex[byte & 15];
      }
    }
    handle->target = std::move(escaped);
  }
  handle->secure = (flags & kFlagSecure) != 0;
  for (const WideChar* const* type = acceptTypes; type != nullptr && *type != nullptr; ++type) {
    if (!handle->accept.empty()) handle->accept += ", ";
    handle->accept += ToUtf8(*type);
  }

  handle->easy = curl_easy_init();
  if (handle->easy == nullptr) return kErrorNotEnoughMemory;
  SetUpEasyHandle(*handle);
  *request = m_handles.Register(std::move(handle));
  return 0;
}

std::uint32_t CurlTransport::SendRequest(HttpHandle request, const WideChar* headers,
                                         std::uint32_t headersLength, const void* body,
                                         std::uint32_t bodyLength) {
  std::shared_ptr<CurlRequest> r;
  if (std::uint32_t code = m_handles.Find(request, r)) return code;
  if (m_cancelled) return r->Fail(kErrorOperationCancelled);
  if (r->phase != CurlRequest::Phase::Opened) return kErrorIncorrectHandleState;
  if ((headers == nullptr && headersLength != 0 && headersLength != 0xFFFFFFFFu) ||
      (body == nullptr && bodyLength != 0))
    return kErrorInvalidParameter;

  std::u16string_view block;
  if (headers != nullptr)
    block = headersLength == 0xFFFFFFFFu ? std::u16string_view(headers, WideLength(headers))
                                         : std::u16string_view(headers, headersLength);
  r->userHeaders = SplitHeaderLines(WideToUtf8String(block));
  r->body.assign(static_cast<const char*>(body), body != nullptr ? bodyLength : 0);
  r->hopVerb = r->verb;
  r->hopBody = bodyLength != 0 || r->verb == "POST" || r->verb == "PUT";
  r->hopSecure = r->secure;
  r->firstHop = true;
  r->redirects = 0;

  const CurlConnection& connection = *r->connection;
  r->url = std::string(r->secure ? "https://" : "http://") + HostForUrl(connection.host);
  if (connection.port != 0) {
    r->url += ':';
    r->url += std::to_string(connection.port);
  }
  r->url += '/';
  if (std::uint32_t code = StartHop(*r)) return code;
  // Sent once the connection is ready: the request goes out in the same step, and what
  // happens to it afterwards is the response's business.
  return m_pool.Drive(*r, CurlPool::Until::Sent);
}

std::uint32_t CurlTransport::FollowRedirect(CurlRequest& r, bool& followed) {
  followed = false;
  if (!r.redirectPending) return 0;
  RedirectFrom from;
  // The first hop's URL ends in the "/" added to the origin; its path went out as given.
  from.url = r.firstHop && r.target.starts_with("/") ? r.url.substr(0, r.url.size() - 1) + r.target : r.url;
  from.fallbackUrl = r.url;
  from.secure = r.hopSecure;
  from.verb = r.hopVerb;
  from.hasBody = r.hopBody;
  from.status = r.response.status;
  from.location = r.response.location;
  from.followed = r.redirects++;
  RedirectTo to = NextRedirect(from);
  if (to.error != 0) return r.Fail(to.error);
  r.Detach();
  r.url = std::move(to.url);
  r.hopVerb = std::move(to.verb);
  r.hopBody = to.hasBody;
  r.hopSecure = to.secure;
  r.firstHop = false;
  if (std::uint32_t code = StartHop(r)) return code;
  followed = true;
  return 0;
}

std::uint32_t CurlTransport::ReceiveResponse(HttpHandle request) {
  std::shared_ptr<CurlRequest> r;
  if (std::uint32_t code = m_handles.Find(request, r)) return code;
  if (m_cancelled) return r->Fail(kErrorOperationCancelled);
  if (r->phase == CurlRequest::Phase::Failed) return r->failure;
  if (r->phase != CurlRequest::Phase::Sending) return kErrorIncorrectHandleState;
  for (;;) {
    if (std::uint32_t code = m_pool.Drive(*r, CurlPool::Until::Headers)) return code;
    if (!r->headersComplete) return r->Fail(kErrorInvalidServerResponse);
    bool followed = false;
    if (std::uint32_t code = FollowRedirect(*r, followed)) return code;
    if (!followed) break;
  }
  r->phase = CurlRequest::Phase::Received;
  return 0;
}

std::uint32_t CurlTransport::QueryHeaders(HttpHandle request, std::uint32_t infoLevel, void* buffer,
                                          std::uint32_t* bufferBytes) {
  std::shared_ptr<CurlRequest> r;
  if (std::uint32_t code = m_handles.Find(request, r)) return code;
  if (bufferBytes == nullptr) return kErrorInvalidParameter;
  if (r->phase != CurlRequest::Phase::Received) return kErrorIncorrectHandleState;
  const std::uint32_t level = infoLevel & 0xFFFF;
  const std::uint32_t modifiers = infoLevel & ~0xFFFFu;
  if (modifiers == kQueryFlagNumber) {
    if (level != kQueryStatusCode) return kErrorHeaderNotFound;
    if (buffer == nullptr || *bufferBytes < sizeof(std::uint32_t)) {
      *bufferBytes = sizeof(std::uint32_t);
      return kErrorInsufficientBuffer;
    }
    const auto status = static_cast<std::uint32_t>(r->response.status);
    std::memcpy(buffer, &status, sizeof status);
    *bufferBytes = sizeof status;
    return 0;
  }
  if (modifiers != 0) return kErrorHeaderNotFound;
  switch (level) {
    case kQueryStatusCode:
      return WriteText(std::to_string(r->response.status), buffer, bufferBytes);
    case kQueryStatusText:
      return WriteText(r->response.reason, buffer, bufferBytes);
    case kQueryRawHeadersCrlf:
      return WriteText(r->response.raw, buffer, bufferBytes);
    default:
      return kErrorHeaderNotFound;
  }
}

std::uint32_t CurlTransport::ReadData(HttpHandle request, void* buffer, std::uint32_t size,
                                      std::uint32_t* bytesRead) {
  std::shared_ptr<CurlRequest> r;
  if (std::uint32_t code = m_handles.Find(request, r)) return code;
  if (bytesRead == nullptr || (buffer == nullptr && size != 0)) return kErrorInvalidParameter;
  *bytesRead = 0;
  if (m_cancelled) return r->Fail(kErrorOperationCancelled);
  if (r->phase == CurlRequest::Phase::Failed) return r->failure;
  if (r->phase != CurlRequest::Phase::Received) return kErrorIncorrectHandleState;
  if (size == 0) return 0;
  if (r->ring.Size() == 0) {
    // With the transfer over, this only reports how it ended: 0 bytes, or its failure.
    if (r->paused && !r->transferDone) {
      r->paused = false;
      m_pool.Resume(*r);  // may hand over what libcurl held at once
    }
    if (std::uint32_t code = m_pool.Drive(*r, CurlPool::Until::Body)) return code;
  }
  *bytesRead = static_cast<std::uint32_t>(r->ring.Pop(buffer, size));
  return 0;
}

void CurlTransport::CloseHandle(HttpHandle handle) {
  // Children keep their parents alive, so closing a session before its requests is safe.
  // A request's connection stays in the pool when its transfer had ended.
  m_handles.Remove(handle).reset();
}

void CurlTransport::Cancel() {
  m_cancelled = true;
  m_pool.Wake();
}

}  // namespace skiff
