// The seam on WinHTTP: each call is the WinHTTP function of the same name with
// synchronous handles, and a failure is the thread's last error as that function left
// it. No time-out or callback is set, so WinHTTP's defaults hold (idle pooled
// connections close after its default idle time). Beneath the client's handles:
//  - the session is WinHTTP's pool of connections, so it is kept after the fetch and
//    taken again by the next one while the user agent and the proxy setting read at
//    that fetch's start are the same; otherwise a new one is opened and the old one
//    closed once its last fetch is;
//  - WinHTTP's cookie store and its redirects are off on every request, since the store
//    belongs to the session: the transport follows redirects itself, with the Windows
//    stack's rules, and sends each hop the cookies the fetch's earlier hops were given.
#include "platform/win32/http/winhttp_transport.h"

#include <string_view>
#include <utility>
#include <vector>

#include "core/text.h"
#include "http/redirect_rules.h"
#include "http/winhttp_errors.h"
#include "platform/win32/http/fetch_cookies.h"
#include "platform/win32/http/redirect_target.h"

namespace skiff {

// The names the rest of the program uses are the system's numbers.
static_assert(kAccessTypeDefaultProxy == WINHTTP_ACCESS_TYPE_DEFAULT_PROXY);
static_assert(kAccessTypeNoProxy == WINHTTP_ACCESS_TYPE_NO_PROXY);
static_assert(kAccessTypeNamedProxy == WINHTTP_ACCESS_TYPE_NAMED_PROXY);
static_assert(kAccessTypeAutomaticProxy == WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY);
static_assert(kFlagEscapeDisable == WINHTTP_FLAG_ESCAPE_DISABLE);
static_assert(kFlagSecure == WINHTTP_FLAG_SECURE);
static_assert(kQueryStatusCode == WINHTTP_QUERY_STATUS_CODE);
static_assert(kQueryStatusText == WINHTTP_QUERY_STATUS_TEXT);
static_assert(kQueryRawHeadersCrlf == WINHTTP_QUERY_RAW_HEADERS_CRLF);
static_assert(kQueryFlagNumber == WINHTTP_QUERY_FLAG_NUMBER);
static_assert(kErrorInvalidHandle == ERROR_INVALID_HANDLE);
static_assert(kErrorNotEnoughMemory == ERROR_NOT_ENOUGH_MEMORY);
static_assert(kErrorInvalidParameter == ERROR_INVALID_PARAMETER);
static_assert(kErrorInsufficientBuffer == ERROR_INSUFFICIENT_BUFFER);
static_assert(kErrorTimeout == ERROR_WINHTTP_TIMEOUT);
static_assert(kErrorInternal == ERROR_WINHTTP_INTERNAL_ERROR);
static_assert(kErrorInvalidUrl == ERROR_WINHTTP_INVALID_URL);
static_assert(kErrorUnrecognizedScheme == ERROR_WINHTTP_UNRECOGNIZED_SCHEME);
static_assert(kErrorNameNotResolved == ERROR_WINHTTP_NAME_NOT_RESOLVED);
static_assert(kErrorShutdown == ERROR_WINHTTP_SHUTDOWN);
static_assert(kErrorLoginFailure == ERROR_WINHTTP_LOGIN_FAILURE);
static_assert(kErrorOperationCancelled == ERROR_WINHTTP_OPERATION_CANCELLED);
static_assert(kErrorIncorrectHandleType == ERROR_WINHTTP_INCORRECT_HANDLE_TYPE);
static_assert(kErrorIncorrectHandleState == ERROR_WINHTTP_INCORRECT_HANDLE_STATE);
static_assert(kErrorCannotConnect == ERROR_WINHTTP_CANNOT_CONNECT);
static_assert(kErrorConnectionError == ERROR_WINHTTP_CONNECTION_ERROR);
static_assert(kErrorResendRequest == ERROR_WINHTTP_RESEND_REQUEST);
static_assert(kErrorClientCertNeeded == ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED);
static_assert(kErrorHeaderNotFound == ERROR_WINHTTP_HEADER_NOT_FOUND);
static_assert(kErrorInvalidServerResponse == ERROR_WINHTTP_INVALID_SERVER_RESPONSE);
static_assert(kErrorRedirectFailed == ERROR_WINHTTP_REDIRECT_FAILED);
static_assert(kErrorSecureChannelError == ERROR_WINHTTP_SECURE_CHANNEL_ERROR);
static_assert(kErrorSecureFailure == ERROR_WINHTTP_SECURE_FAILURE);
static_assert(kErrorHeaderCountExceeded == ERROR_WINHTTP_HEADER_COUNT_EXCEEDED);
static_assert(kErrorHeaderSizeOverflow == ERROR_WINHTTP_HEADER_SIZE_OVERFLOW);
static_assert(kErrorChunkedEncodingOverflow == ERROR_WINHTTP_CHUNKED_ENCODING_HEADER_SIZE_OVERFLOW);
static_assert(kErrorResponseDrainOverflow == ERROR_WINHTTP_RESPONSE_DRAIN_OVERFLOW);

namespace {

LPCWSTR Wide(const WideChar* text) {
  return reinterpret_cast<LPCWSTR>(text);
}

LPCWSTR Wide(const std::u16string& text) {
  return reinterpret_cast<LPCWSTR>(text.c_str());
}

std::u16string Copy(LPCWSTR text) {
  return text != nullptr ? std::u16string(reinterpret_cast<const char16_t*>(text)) : std::u16string();
}

std::u16string Copy(const WideChar* text) {
  return text != nullptr ? std::u16string(text) : std::u16string();
}

std::string Narrow(std::u16string_view text) {
  return WideToUtf8String(text);
}

// A text header of the request's answer; empty when it has none. `index` walks headers
// that come more than once.
bool QueryText(HINTERNET request, DWORD level, std::u16string& text, DWORD* index = WINHTTP_NO_HEADER_INDEX) {
  DWORD bytes = 0;
  WinHttpQueryHeaders(request, level, WINHTTP_HEADER_NAME_BY_INDEX, nullptr, &bytes, index);
  if (GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
  text.assign(bytes / sizeof(char16_t) + 1, u'\0');
  if (!WinHttpQueryHeaders(request, level, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &bytes, index))
    return false;
  text.resize(bytes / sizeof(char16_t));
  return true;
}

}  // namespace

// A WinHTTP session and what it was opened with.
struct WinHttpTransport::Session {
  Session(HINTERNET h, std::u16string agent, std::uint32_t access, std::u16string proxyName,
          std::u16string bypassList)
      : handle(h),
        userAgent(std::move(agent)),
        accessType(access),
        proxy(std::move(proxyName)),
        bypass(std::move(bypassList)) {}
  ~Session() { WinHttpCloseHandle(handle); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  bool Matches(const std::u16string& agent, std::uint32_t access, const std::u16string& proxyName,
               const std::u16string& bypassList) const {
    return userAgent == agent && accessType == access && proxy == proxyName && bypass == bypassList;
  }

  const HINTERNET handle;
  const std::u16string userAgent;
  const std::uint32_t accessType;
  const std::u16string proxy;
  const std::u16string bypass;
};

struct WinHttpTransport::Handle {
  enum class Kind { Session, Connection, Request };
  explicit Handle(Kind k) : kind(k) {}
  virtual ~Handle() = default;
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  const Kind kind;
};

struct WinHttpTransport::SessionHandle : Handle {
  static constexpr Kind kKind = Kind::Session;
  explicit SessionHandle(std::shared_ptr<Session> s) : Handle(kKind), session(std::move(s)) {}
  const std::shared_ptr<Session> session;
};

struct WinHttpTransport::ConnectionHandle : Handle {
  static constexpr Kind kKind = Kind::Connection;
  ConnectionHandle(std::shared_ptr<Session> s, HINTERNET h, std::u16string name, std::uint16_t number)
      : Handle(kKind), session(std::move(s)), handle(h), host(std::move(name)), port(number) {}
  ~ConnectionHandle() override { WinHttpCloseHandle(handle); }
  const std::shared_ptr<Session> session;
  const HINTERNET handle;
  const std::u16string host;
  const std::uint16_t port;
};

struct WinHttpTransport::RequestHandle : Handle {
  static constexpr Kind kKind = Kind::Request;
  RequestHandle(WinHttpTransport& transport, std::shared_ptr<ConnectionHandle> c)
      : Handle(kKind), owner(transport), connection(std::move(c)) {}
  ~RequestHandle() override {
    if (hop != nullptr) owner.CloseHop(hop);
    if (hopConnection != nullptr) WinHttpCloseHandle(hopConnection);
  }

  WinHttpTransport& owner;
  const std::shared_ptr<ConnectionHandle> connection;
  std::vector<std::u16string> acceptTypes;
  std::vector<LPCWSTR> acceptList;  // null-terminated, into acceptTypes; empty: the default

  // The hop in progress: its request handle, the connection a redirect opened for it
  // (the first hop uses the client's), where it went and what it carries.
  HINTERNET hop = nullptr;
  HINTERNET hopConnection = nullptr;
  std::u16string hopVerb;  // as the hop's request handle was opened, to open it again
  std::u16string hopPath;
  std::uint32_t hopFlags = 0;
  bool hopRetried = false;
  std::string url;
  std::string host;
  std::string path;
  std::string verb;
  bool secure = false;
  bool sendsBody = false;
  int redirects = 0;

  std::u16string headers;  // the caller's, sent on every hop
  std::vector<std::uint8_t> body;
  FetchCookies cookies;

  HINTERNET HopConnection() const { return hopConnection != nullptr ? hopConnection : connection->handle; }
  std::string Origin() const { return (secure ? "https://" : "http://") + host + ":" + std::to_string(port); }
  std::uint16_t port = 0;
};

WinHttpTransport::WinHttpTransport(WinHttpOptions options) : m_options(options) {}

// Whatever the owner left open goes with the transport: requests, connections, then the
// sessions, whose idle connections close without waiting on the servers.
WinHttpTransport::~WinHttpTransport() {
  std::unordered_map<HttpHandle, std::shared_ptr<Handle>> handles;
  {
    std::lock_guard lock(m_mutex);
    handles.swap(m_handles);
  }
  for (auto& [key, handle] : handles)
    if (handle->kind == Handle::Kind::Request) handle.reset();
  handles.clear();
  m_session.reset();
}

std::unique_ptr<IHttpTransport> CreateWinHttpTransport(WinHttpOptions options) {
  return std::make_unique<WinHttpTransport>(options);
}

std::uint32_t WinHttpTransport::Result(BOOL ok) const {
  const DWORD lastError = ok ? 0 : GetLastError();
  // A call that a cancel interrupted (or that ended anyway) reports the cancel.
  if (m_cancelled) return kErrorOperationCancelled;
  return ok ? 0 : static_cast<std::uint32_t>(lastError);
}

template <typename Kind>
std::uint32_t WinHttpTransport::Find(HttpHandle handle, std::shared_ptr<Kind>& found) {
  std::lock_guard lock(m_mutex);
  auto it = m_handles.find(handle);
  if (handle == nullptr || it == m_handles.end()) return kErrorInvalidHandle;
  if (it->second->kind != Kind::kKind) return kErrorIncorrectHandleType;
  found = std::static_pointer_cast<Kind>(it->second);
  return 0;
}

HttpHandle WinHttpTransport::Register(std::shared_ptr<Handle> handle) {
  HttpHandle key = handle.get();
  std::lock_guard lock(m_mutex);
  m_handles.emplace(key, std::move(handle));
  return key;
}

std::uint32_t WinHttpTransport::GetUserProxyConfig(UserProxyConfig& config) {
  WINHTTP_CURRENT_USER_IE_PROXY_CONFIG settings{};
  settings.lpszAutoConfigUrl = nullptr;
  settings.lpszProxy = nullptr;
  settings.lpszProxyBypass = nullptr;
  const BOOL ok = WinHttpGetIEProxyConfigForCurrentUser(&settings);
  const DWORD error = ok ? 0 : GetLastError();
  config.hasProxy = ok && settings.lpszProxy != nullptr;
  config.proxy = Copy(settings.lpszProxy);
  config.bypass = Copy(settings.lpszProxyBypass);
  for (LPWSTR text : {settings.lpszProxy, settings.lpszProxyBypass, settings.lpszAutoConfigUrl})
    if (text != nullptr) GlobalFree(text);
  return error;
}

std::uint32_t WinHttpTransport::OpenSession(const WideChar* userAgent, std::uint32_t accessType,
                                            const WideChar* proxyName, const WideChar* proxyBypass,
                                            HttpHandle* session) {
  *session = nullptr;
  if (m_cancelled) return kErrorOperationCancelled;
  const bool named = accessType == kAccessTypeNamedProxy;
  const std::u16string agent = Copy(userAgent);
  const std::u16string proxy = named ? Copy(proxyName) : std::u16string();
  const std::u16string bypass = named ? Copy(proxyBypass) : std::u16string();
  std::shared_ptr<Session> shared;
  {
    std::lock_guard lock(m_mutex);
    if (m_session != nullptr && m_session->Matches(agent, accessType, proxy, bypass)) shared = m_session;
  }
  if (shared == nullptr) {
    // The client hands an empty bypass list for none; WinHTTP's word for none is null.
    HINTERNET handle =
        WinHttpOpen(Wide(userAgent), accessType, named ? Wide(proxyName) : WINHTTP_NO_PROXY_NAME,
                    named && !bypass.empty() ? Wide(proxyBypass) : WINHTTP_NO_PROXY_BYPASS, 0);
    if (handle == nullptr) return Result(FALSE);
    shared = std::make_shared<Session>(handle, agent, accessType, proxy, bypass);
    ++m_sessionsOpened;
    std::shared_ptr<Session> replaced;
    {
      std::lock_guard lock(m_mutex);
      replaced = std::exchange(m_session, shared);
    }
    // The old session closes with its last fetch, outside the lock.
  }
  if (m_cancelled) return kErrorOperationCancelled;
  *session = Register(std::make_shared<SessionHandle>(std::move(shared)));
  return 0;
}

std::uint32_t WinHttpTransport::Connect(HttpHandle session, const WideChar* host, std::uint16_t port,
                                        HttpHandle* connection) {
  *connection = nullptr;
  if (m_cancelled) return kErrorOperationCancelled;
  std::shared_ptr<SessionHandle> parent;
  if (std::uint32_t code = Find(session, parent)) return code;
  HINTERNET handle = WinHttpConnect(parent->session->handle, Wide(host), port, 0);
  if (handle == nullptr) return Result(FALSE);
  *connection = Register(std::make_shared<ConnectionHandle>(parent->session, handle, Copy(host), port));
  return 0;
}

std::uint32_t WinHttpTransport::OpenHop(HINTERNET connection, const std::u16string& verb,
                                        const std::u16string& path, RequestHandle& request,
                                        std::uint32_t flags, HINTERNET* hop) {
  HINTERNET handle =
      WinHttpOpenRequest(connection, Wide(verb), Wide(path), nullptr, WINHTTP_NO_REFERER,
                         request.acceptList.empty() ? WINHTTP_DEFAULT_ACCEPT_TYPES
                                                    : const_cast<LPCWSTR*>(request.acceptList.data()),
                         flags);
  if (handle == nullptr) return Result(FALSE);
  DWORD features = WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_REDIRECTS;
  WinHttpSetOption(handle, WINHTTP_OPTION_DISABLE_FEATURE, &features, sizeof features);
  if (m_options.ignoreUnknownCaForTests && (flags & kFlagSecure) != 0) {
    DWORD security = SECURITY_FLAG_IGNORE_UNKNOWN_CA;
    WinHttpSetOption(handle, WINHTTP_OPTION_SECURITY_FLAGS, &security, sizeof security);
  }
  {
    std::lock_guard lock(m_mutex);
    // A cancel that came while the handle was being opened cannot have closed it.
    if (!m_cancelled) {
      m_openHops.insert(handle);
      *hop = handle;
      return 0;
    }
  }
  WinHttpCloseHandle(handle);
  return kErrorOperationCancelled;
}

void WinHttpTransport::CloseHop(HINTERNET hop) {
  {
    std::lock_guard lock(m_mutex);
    // A request that a cancel has closed already is not closed twice.
    if (m_openHops.erase(hop) == 0) return;
  }
  WinHttpCloseHandle(hop);
}

std::uint32_t WinHttpTransport::OpenRequest(HttpHandle connection, const WideChar* verb, const WideChar* path,
                                            const WideChar* const* acceptTypes, std::uint32_t flags,
                                            HttpHandle* request) {
  *request = nullptr;
  if (m_cancelled) return kErrorOperationCancelled;
  std::shared_ptr<ConnectionHandle> parent;
  if (std::uint32_t code = Find(connection, parent)) return code;
  auto handle = std::make_shared<RequestHandle>(*this, parent);
  // WinHTTP takes the list as non-const pointers but only reads it.
  if (acceptTypes != nullptr) {
    for (const WideChar* const* type = acceptTypes; *type != nullptr; ++type)
      handle->acceptTypes.push_back(Copy(*type));
    for (const std::u16string& type : handle->acceptTypes) handle->acceptList.push_back(Wide(type));
    handle->acceptList.push_back(nullptr);
  }
  const std::u16string wideVerb = verb != nullptr ? Copy(verb) : u"GET";
  const std::u16string widePath = Copy(path);
  if (std::uint32_t code = OpenHop(parent->handle, wideVerb, widePath, *handle, flags, &handle->hop))
    return code;
  handle->secure = (flags & kFlagSecure) != 0;
  handle->verb = Narrow(wideVerb);
  handle->host = Narrow(parent->host);
  handle->path = Narrow(widePath);
  const std::string host =
      handle->host.find(':') != std::string::npos ? "[" + handle->host + "]" : handle->host;
  handle->url = std::string(handle->secure ? "https://" : "http://") + host;
  if (parent->port != 0) handle->url += ":" + std::to_string(parent->port);
  handle->url += handle->path.starts_with('/') ? handle->path : "/" + handle->path;
  *request = Register(std::move(handle));
  return 0;
}

// Sends the hop with the caller's headers, the cookies the fetch holds for its URL, and
// the body when the hop carries it.
std::uint32_t WinHttpTransport::SendHop(RequestHandle& r) {
  std::u16string headers = r.headers;
  const std::string cookie = r.cookies.HeaderFor(r.host, r.path, r.secure);
  if (!cookie.empty()) {
    if (!headers.empty() && !headers.ends_with(u"\r\n")) headers += u"\r\n";
    headers += u"Cookie: " + Utf8ToWideString(cookie) + u"\r\n";
  }
  const auto bodyBytes = static_cast<DWORD>(r.sendsBody ? r.body.size() : 0);
  void* body = bodyBytes != 0 ? r.body.data() : WINHTTP_NO_REQUEST_DATA;
  return Result(WinHttpSendRequest(r.hop, headers.empty() ? WINHTTP_NO_ADDITIONAL_HEADERS : Wide(headers),
                                   static_cast<DWORD>(headers.size()), body, bodyBytes, bodyBytes, 0));
}

std::uint32_t WinHttpTransport::SendRequest(HttpHandle request, const WideChar* headers,
                                            std::uint32_t headersLength, const void* body,
                                            std::uint32_t bodyLength) {
  if (m_cancelled) return kErrorOperationCancelled;
  std::shared_ptr<RequestHandle> r;
  if (std::uint32_t code = Find(request, r)) return code;
  if ((headers == nullptr && headersLength != 0 && headersLength != 0xFFFFFFFFu) ||
      (body == nullptr && bodyLength != 0))
    return kErrorInvalidParameter;
  r->headers.clear();
  if (headers != nullptr)
    r->headers =
        headersLength == 0xFFFFFFFFu ? std::u16string(headers) : std::u16string(headers, headersLength);
  const auto* bytes = static_cast<const std::uint8_t*>(body);
  r->body.assign(bytes, bytes + (body != nullptr ? bodyLength : 0));
  r->sendsBody = bodyLength != 0;
  r->redirects = 0;
  r->hopRetried = false;
  const std::uint32_t code = SendHop(*r);
  return code != 0 && MayRetry(*r, code) ? Retry(*r) : code;
}

// A connection from the pool that the server has closed (its idle time-out, a restart)
// fails the request before any answer, with a reset or an empty answer; then the hop is
// sent once more, and WinHTTP, which drops a connection that failed, takes another or
// opens a new one. Only for a server that has answered this transport before, so that a
// server that fails every request is asked once.
bool WinHttpTransport::MayRetry(const RequestHandle& r, std::uint32_t code) {
  if (r.hopRetried || m_cancelled ||
      (code != kErrorConnectionError && code != kErrorInvalidServerResponse && code != WSAECONNRESET &&
       code != WSAECONNABORTED))
    return false;
  std::lock_guard lock(m_mutex);
  return m_answered.contains(r.Origin());
}

std::uint32_t WinHttpTransport::Retry(RequestHandle& r) {
  r.hopRetried = true;
  HINTERNET hop = nullptr;
  if (std::uint32_t code = OpenHop(r.HopConnection(), r.hopVerb, r.hopPath, r, r.hopFlags, &hop)) return code;
  CloseHop(r.hop);
  r.hop = hop;
  return SendHop(r);
}

std::uint32_t WinHttpTransport::FollowRedirect(RequestHandle& r, bool& followed) {
  followed = false;
  DWORD status = 0, bytes = sizeof status;
  if (!WinHttpQueryHeaders(r.hop, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                           WINHTTP_HEADER_NAME_BY_INDEX, &status, &bytes, WINHTTP_NO_HEADER_INDEX) ||
      !IsRedirectStatus(static_cast<int>(status)))
    return 0;
  std::u16string location;
  if (!QueryText(r.hop, WINHTTP_QUERY_LOCATION, location) || location.empty())
    return 0;  // the answer is final

  RedirectFrom from;
  from.url = r.url;
  from.fallbackUrl = r.url;
  from.secure = r.secure;
  from.verb = r.verb;
  from.hasBody = r.sendsBody;
  from.status = static_cast<int>(status);
  from.location = Narrow(location);
  from.followed = r.redirects++;
  const RedirectTo to = NextRedirectTarget(from);
  if (to.error != 0) return to.error;
  UrlParts parts;
  if (!SplitHttpUrl(to.url, parts)) return kErrorInvalidUrl;

  HINTERNET connection =
      WinHttpConnect(r.connection->session->handle, Wide(Utf8ToWideString(parts.host)), parts.port, 0);
  if (connection == nullptr) return Result(FALSE);
  HINTERNET hop = nullptr;
  const std::uint32_t flags = kFlagEscapeDisable | (parts.secure ? kFlagSecure : 0);
  if (std::uint32_t code = OpenHop(connection, Utf8ToWideString(to.verb),
                                   Utf8ToWideString(parts.pathAndQuery), r, flags, &hop)) {
    WinHttpCloseHandle(connection);
    return code;
  }
  CloseHop(r.hop);
  if (r.hopConnection != nullptr) WinHttpCloseHandle(r.hopConnection);
  r.hop = hop;
  r.hopConnection = connection;
  r.hopVerb = Utf8ToWideString(to.verb);
  r.hopPath = Utf8ToWideString(parts.pathAndQuery);
  r.hopFlags = flags;
  r.hopRetried = false;
  r.port = parts.port;
  r.url = to.url;
  r.host = parts.host;
  r.path = parts.pathAndQuery;
  r.verb = to.verb;
  r.secure = parts.secure;
  r.sendsBody = to.hasBody;
  if (std::uint32_t code = SendHop(r)) return code;
  followed = true;
  return 0;
}

std::uint32_t WinHttpTransport::ReceiveResponse(HttpHandle request) {
  if (m_cancelled) return kErrorOperationCancelled;
  std::shared_ptr<RequestHandle> r;
  if (std::uint32_t code = Find(request, r)) return code;
  for (;;) {
    if (std::uint32_t code = Result(WinHttpReceiveResponse(r->hop, nullptr))) {
      if (!MayRetry(*r, code)) return code;
      if (std::uint32_t retried = Retry(*r)) return retried;
      continue;
    }
    {
      std::lock_guard lock(m_mutex);
      m_answered.insert(r->Origin());
    }
    // Every cookie this answer sets is kept for the fetch's later hops.
    std::u16string cookie;
    for (DWORD index = 0; QueryText(r->hop, WINHTTP_QUERY_SET_COOKIE, cookie, &index);)
      r->cookies.Take(Narrow(cookie), r->host, r->path);
    bool followed = false;
    if (std::uint32_t code = FollowRedirect(*r, followed)) return code;
    if (!followed) return 0;
  }
}

std::uint32_t WinHttpTransport::QueryHeaders(HttpHandle request, std::uint32_t infoLevel, void* buffer,
                                             std::uint32_t* bufferBytes) {
  if (m_cancelled) return kErrorOperationCancelled;
  std::shared_ptr<RequestHandle> r;
  if (std::uint32_t code = Find(request, r)) return code;
  DWORD bytes = *bufferBytes;
  const BOOL ok = WinHttpQueryHeaders(r->hop, infoLevel, WINHTTP_HEADER_NAME_BY_INDEX, buffer, &bytes,
                                      WINHTTP_NO_HEADER_INDEX);
  const std::uint32_t result = Result(ok);
  *bufferBytes = bytes;
  return result;
}

std::uint32_t WinHttpTransport::ReadData(HttpHandle request, void* buffer, std::uint32_t size,
                                         std::uint32_t* bytesRead) {
  *bytesRead = 0;
  if (m_cancelled) return kErrorOperationCancelled;
  std::shared_ptr<RequestHandle> r;
  if (std::uint32_t code = Find(request, r)) return code;
  DWORD count = 0;
  const std::uint32_t result = Result(WinHttpReadData(r->hop, buffer, size, &count));
  if (result == 0) *bytesRead = count;
  return result;
}

void WinHttpTransport::CloseHandle(HttpHandle handle) {
  std::shared_ptr<Handle> closed;
  {
    std::lock_guard lock(m_mutex);
    auto it = m_handles.find(handle);
    if (it == m_handles.end()) return;
    closed = std::move(it->second);
    m_handles.erase(it);
  }
  // Children keep their parents alive; the session stays for the next fetch.
  closed.reset();
}

void WinHttpTransport::Cancel() {
  std::vector<HINTERNET> hops;
  {
    std::lock_guard lock(m_mutex);
    m_cancelled = true;
    hops.assign(m_openHops.begin(), m_openHops.end());
    m_openHops.clear();
  }
  for (HINTERNET hop : hops) WinHttpCloseHandle(hop);
}

}  // namespace skiff
