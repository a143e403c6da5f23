// The WinHTTP-shaped seam on libcurl. Each request runs on its own multi handle, driven
// only while a call of the seam is in progress; the response body flows through a small
// fixed buffer and the transfer pauses while that buffer is full, so memory stays
// bounded whatever the body's size. Redirects are followed here rather than by libcurl
// so that the Windows stack's rules (10 at most, never from https to http, POST becoming
// GET on 301/302/303) and its error numbers hold.
#include "platform/posix/http_curl/curl_transport.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <mutex>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <curl/curl.h>
#include <openssl/ssl.h>

#include "core/text.h"
#include "platform/posix/http_curl/byte_ring.h"
#include "platform/posix/http_curl/curl_errors.h"
#include "platform/posix/http_curl/curl_proxy.h"
#include "platform/posix/http_curl/redirect_policy.h"
#include "platform/posix/http_curl/response_headers.h"

namespace skiff {

namespace {

using Clock = std::chrono::steady_clock;

// libcurl receives up to 64 KiB at a time, so a fast server's body costs one receive per
// 16 reads of 4000 bytes rather than one per 4, and one delivery is at most that much.
// The buffer holds 4 deliveries (256 KiB): the transfer pauses only when it is nearly
// full, so libcurl never has to keep a delivery of its own, and the pause-and-resume
// cycle (in which libcurl sets up its socket bookkeeping again, with a few allocations)
// comes once per 64 reads.
constexpr std::size_t kReceiveBytes = std::size_t{64} * 1024;
constexpr std::size_t kBodyBufferBytes = 4 * kReceiveBytes;
// The Windows stack refuses a response whose headers pass 64 KiB.
constexpr std::size_t kMaxResponseHeaderBytes = std::size_t{64} * 1024;
// libcurl counts name resolution in its connect time-out; the connect allowance is
// enforced here from the first socket on, so libcurl's own is set out of the way.
constexpr long kUnlimitedMs = 24L * 60 * 60 * 1000;

CURLcode GlobalInit() {
  static const CURLcode result = curl_global_init(CURL_GLOBAL_DEFAULT);
  return result;
}

int SslIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

std::string ToUtf8(const WideChar* text) {
  if (text == nullptr) return {};
  return WideToUtf8String(std::u16string_view(text, WideLength(text)));
}

bool IsTokenChar(unsigned char c) {
  return c > 0x20 && c < 0x7F && std::strchr("()<>@,;:\\\"/[]?={}", c) == nullptr;
}

}  // namespace

class CurlTransport final : public IHttpTransport {
 public:
  explicit CurlTransport(CurlOptions options);
  ~CurlTransport() override;
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

  // The handle kinds, named here so that the callbacks below can reach them.
  struct Handle;
  struct Session;
  struct Connection;
  struct Request;

 private:
  template <typename Kind>
  std::uint32_t Find(HttpHandle handle, std::shared_ptr<Kind>& found);
  HttpHandle Register(std::shared_ptr<Handle> handle);

  // Runs the transfer until `done` holds, the transfer ends, it fails, times out or is
  // cancelled. Returns 0 or the failure's code.
  template <typename Condition>
  std::uint32_t Pump(Request& request, Condition done);
  std::uint32_t StartHop(Request& request);
  std::uint32_t FollowRedirect(Request& request, bool& followed);

  const CurlOptions m_options;
  std::atomic<bool> m_cancelled{false};
  std::mutex m_mutex;  // guards the two sets below
  std::unordered_map<HttpHandle, std::shared_ptr<Handle>> m_handles;
  std::unordered_set<void*> m_liveMultis;  // every request's multi handle, woken by Cancel
};

struct CurlTransport::Handle {
  enum class Kind { Session, Connection, Request };
  explicit Handle(Kind k) : kind(k) {}
  virtual ~Handle() = default;
  const Kind kind;
};

struct CurlTransport::Session : Handle {
  static constexpr Kind kKind = Kind::Session;
  Session() : Handle(kKind) {}
  std::string userAgent;
  ProxyRules proxy;
};

struct CurlTransport::Connection : Handle {
  static constexpr Kind kKind = Kind::Connection;
  Connection() : Handle(kKind) {}
  std::shared_ptr<Session> session;
  std::string host;  // as given, UTF-8
  std::uint16_t port = 0;
};

struct CurlTransport::Request : Handle {
  static constexpr Kind kKind = Kind::Request;
  enum class Phase { Opened, Sending, Received, Failed };

  Request(CurlTransport& owner, const CurlOptions& options)
      : Handle(kKind), m_owner(owner), m_options(options) {}
  ~Request() override {
    if (multi != nullptr) {
      {
        std::lock_guard lock(m_owner.m_mutex);
        m_owner.m_liveMultis.erase(multi);
      }
      if (attached) curl_multi_remove_handle(multi, easy);
      curl_multi_cleanup(multi);
    }
    if (easy != nullptr) curl_easy_cleanup(easy);
    curl_slist_free_all(headerList);
  }

  // Ends the transfer for good and remembers why, so every later call answers the same.
  std::uint32_t Fail(std::uint32_t code) {
    Detach();
    phase = Phase::Failed;
    failure = code;
    return code;
  }
  void Detach() {
    if (attached) curl_multi_remove_handle(multi, easy);
    attached = false;
  }
  // Forgets the response of the previous hop before the next one starts.
  void ResetHop() {
    prereqSeen = socketOpened = false;
    headers.Reset();
    response = ResponseHead{};
    connect = ResponseHead{};
    headersComplete = redirectPending = discardBody = false;
    transferDone = false;
    result = CURLE_OK;
    uploaded = 0;
    ring.Clear();
    paused = false;
  }
  bool Cancelled() const { return m_owner.m_cancelled.load(); }

  CurlTransport& m_owner;
  const CurlOptions& m_options;
  std::shared_ptr<Connection> connection;

  // What the request was opened with.
  std::string verb;
  std::string target;  // the path as given, sent as it is on the first hop
  bool secure = false;
  std::string accept;  // the Accept header's value; empty: none is sent
  std::vector<std::string> userHeaders;
  std::string body;
  bool sendsBody = false;

  CURL* easy = nullptr;
  CURLM* multi = nullptr;
  bool attached = false;
  curl_slist* headerList = nullptr;
  Phase phase = Phase::Opened;
  std::uint32_t failure = 0;

  // The hop in progress: its URL, method and the transfer's progress.
  std::string url;
  std::string hopVerb;
  bool hopSecure = false;
  bool hopBody = false;
  bool firstHop = true;
  int redirects = 0;
  bool prereqSeen = false;
  bool socketOpened = false;
  Clock::time_point connectStart;
  Clock::time_point lastProgress;
  curl_off_t uploaded = 0;
  bool transferDone = false;
  CURLcode result = CURLE_OK;
  std::uint32_t ownError = 0;  // a limit of ours that stopped the transfer
  bool clientCertRequested = false;

  // The response being received, and a proxy's answer to the tunnel request, which
  // precedes the connection proper.
  ResponseHeaderParser headers{kMaxResponseHeaderBytes};
  ResponseHead response;
  ResponseHead connect;
  bool headersComplete = false;
  bool redirectPending = false;
  bool discardBody = false;

  ByteRing ring{kBodyBufferBytes};
  bool paused = false;
};

namespace {

using Request = CurlTransport::Request;

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
  auto& r = *static_cast<Request*>(user);
  const size_t bytes = size * count;
  r.lastProgress = Clock::now();
  if (r.headersComplete) return bytes;  // trailers of a chunked body
  switch (r.headers.Feed(std::string_view(data, bytes))) {
    case ResponseHeaderParser::Result::TooLarge:
      r.ownError = kErrorHeaderSizeOverflow;
      return 0;
    case ResponseHeaderParser::Result::Complete:
      break;
    default:
      return bytes;
  }
  if (!r.prereqSeen) {
    // Before the connection is ready, only a proxy's tunnel answer arrives.
    r.connect = r.headers.Take();
    return bytes;
  }
  r.response = r.headers.Take();
  r.headersComplete = true;
  if (IsRedirectStatus(r.response.status) && !r.response.location.empty()) {
    r.redirectPending = true;
    r.discardBody = true;
  }
  return bytes;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
  auto& r = *static_cast<Request*>(user);
  const size_t bytes = size * count;
  r.lastProgress = Clock::now();
  if (r.discardBody) return bytes;
  if (r.ring.Free() < bytes) {
    r.paused = true;
    return CURL_WRITEFUNC_PAUSE;  // libcurl keeps this delivery until the caller reads
  }
  r.ring.Push(data, bytes);
  // Pause before the next delivery could fail to fit, so libcurl rarely has to hold one.
  if (r.ring.Free() < kReceiveBytes && !r.paused) {
    r.paused = true;
    curl_easy_pause(r.easy, CURLPAUSE_RECV);
  }
  return bytes;
}

int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploadedNow) {
  auto& r = *static_cast<Request*>(user);
  if (uploadedNow != r.uploaded) {
    r.uploaded = uploadedNow;
    r.lastProgress = Clock::now();
  }
  return r.Cancelled() ? 1 : 0;
}

int OnPrerequest(void* user, char*, char*, int, int) {
  auto& r = *static_cast<Request*>(user);
  r.prereqSeen = true;
  r.lastProgress = Clock::now();
  return CURL_PREREQFUNC_OK;
}

int OnSocket(void* user, curl_socket_t, curlsocktype) {
  auto& r = *static_cast<Request*>(user);
  if (!r.socketOpened) {
    r.socketOpened = true;
    r.connectStart = Clock::now();
  }
  return CURL_SOCKOPT_OK;
}

// The Windows stack fails a request when the server asks for a client certificate and
// none was set; this client never sets one.
int OnClientCertificate(SSL* ssl, X509**, EVP_PKEY**) {
  auto* r = static_cast<Request*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), SslIndex()));
  if (r != nullptr) r->clientCertRequested = true;
  return 0;
}

CURLcode OnSslContext(CURL*, void* context, void* user) {
  auto& r = *static_cast<Request*>(user);
  auto* ctx = static_cast<SSL_CTX*>(context);
  SSL_CTX_set_ex_data(ctx, SslIndex(), &r);
  SSL_CTX_set_client_cert_cb(ctx, OnClientCertificate);
  if (!r.m_options.extraCaFile.empty() &&
      SSL_CTX_load_verify_locations(ctx, r.m_options.extraCaFile.c_str(), nullptr) != 1)
    return CURLE_SSL_CACERT_BADFILE;
  return CURLE_OK;
}

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

CurlTransport::CurlTransport(CurlOptions options) : m_options(std::move(options)) {
  GlobalInit();
}

CurlTransport::~CurlTransport() {
  std::unordered_map<HttpHandle, std::shared_ptr<Handle>> handles;
  {
    std::lock_guard lock(m_mutex);
    handles.swap(m_handles);
  }
  handles.clear();  // outside the lock: a request's destructor takes it
}

std::unique_ptr<IHttpTransport> CreateCurlTransport(CurlOptions options) {
  return std::make_unique<CurlTransport>(std::move(options));
}

template <typename Kind>
std::uint32_t CurlTransport::Find(HttpHandle handle, std::shared_ptr<Kind>& found) {
  std::lock_guard lock(m_mutex);
  auto it = m_handles.find(handle);
  if (handle == nullptr || it == m_handles.end()) return kErrorInvalidHandle;
  if (it->second->kind != Kind::kKind) return kErrorIncorrectHandleType;
  found = std::static_pointer_cast<Kind>(it->second);
  return 0;
}

HttpHandle CurlTransport::Register(std::shared_ptr<Handle> handle) {
  HttpHandle key = handle.get();
  std::lock_guard lock(m_mutex);
  m_handles.emplace(key, std::move(handle));
  return key;
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
  if (GlobalInit() != CURLE_OK) return kErrorInternal;
  auto handle = std::make_shared<Session>();
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
  *session = Register(std::move(handle));
  return 0;
}

std::uint32_t CurlTransport::Connect(HttpHandle session, const WideChar* host, std::uint16_t port,
                                     HttpHandle* connection) {
  if (connection == nullptr) return kErrorInvalidParameter;
  *connection = nullptr;
  if (m_cancelled) return kErrorOperationCancelled;
  std::shared_ptr<Session> parent;
  if (std::uint32_t code = Find(session, parent)) return code;
  if (host == nullptr || host[0] == 0) return kErrorInvalidParameter;
  auto handle = std::make_shared<Connection>();
  handle->session = std::move(parent);
  handle->host = ToUtf8(host);
  handle->port = port;
  *connection = Register(std::move(handle));
  return 0;
}

std::uint32_t CurlTransport::OpenRequest(HttpHandle connection, const WideChar* verb, const WideChar* path,
                                         const WideChar* const* acceptTypes, std::uint32_t flags,
                                         HttpHandle* request) {
  if (request == nullptr) return kErrorInvalidParameter;
  *request = nullptr;
  if (m_cancelled) return kErrorOperationCancelled;
  std::shared_ptr<Connection> parent;
  if (std::uint32_t code = Find(connection, parent)) return code;

  auto handle = std::make_shared<Request>(*this, m_options);
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
  handle->multi = curl_multi_init();
  if (handle->easy == nullptr || handle->multi == nullptr) return kErrorNotEnoughMemory;
  {
    std::lock_guard lock(m_mutex);
    m_liveMultis.insert(handle->multi);
  }
  *request = Register(std::move(handle));
  return 0;
}

std::uint32_t CurlTransport::StartHop(Request& r) {
  r.ResetHop();
  CURL* easy = r.easy;
  curl_easy_reset(easy);
  const Session& session = *r.connection->session;

  // The host and port of this hop decide the proxy.
  CURLU* parsed = curl_url();
  if (parsed == nullptr) return r.Fail(kErrorNotEnoughMemory);
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
  if (!valid) return r.Fail(kErrorInvalidUrl);
  const std::string proxy = ChooseProxy(session.proxy, r.hopSecure, host, port);

  curl_easy_setopt(easy, CURLOPT_URL, r.url.c_str());
  if (r.firstHop) {
    // The path goes out exactly as given; a forwarding proxy needs the absolute form.
    std::string target = r.target;
    if (!proxy.empty() && !r.hopSecure && IsForwardingProxy(proxy)) {
      std::string origin = r.url.substr(0, r.url.size() - 1);  // the URL ends in the "/" added
      target = origin + (target.starts_with("/") ? target : "/" + target);
    }
    curl_easy_setopt(easy, CURLOPT_REQUEST_TARGET, target.c_str());
  }
  curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(easy, CURLOPT_HTTP_VERSION, static_cast<long>(CURL_HTTP_VERSION_1_1));
  curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(easy, CURLOPT_HTTP_CONTENT_DECODING, 0L);
  curl_easy_setopt(easy, CURLOPT_PATH_AS_IS, 1L);
  curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(easy, CURLOPT_QUICK_EXIT, 1L);  // never wait for a stuck name lookup
  curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, kUnlimitedMs);
  // Only the proxy chosen here, never one libcurl finds in the environment itself.
  curl_easy_setopt(easy, CURLOPT_PROXY, proxy.c_str());
  curl_easy_setopt(easy, CURLOPT_NOPROXY, "");
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYPEER, 1L);
  curl_easy_setopt(easy, CURLOPT_SSL_VERIFYHOST, 2L);
  curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, OnSslContext);
  curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, &r);
  if (!session.userAgent.empty()) curl_easy_setopt(easy, CURLOPT_USERAGENT, session.userAgent.c_str());

  curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, OnHeader);
  curl_easy_setopt(easy, CURLOPT_HEADERDATA, &r);
  curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(easy, CURLOPT_BUFFERSIZE, static_cast<long>(kReceiveBytes));
  curl_easy_setopt(easy, CURLOPT_WRITEDATA, &r);
  curl_easy_setopt(easy, CURLOPT_NOPROGRESS, 0L);
  curl_easy_setopt(easy, CURLOPT_XFERINFOFUNCTION, OnProgress);
  curl_easy_setopt(easy, CURLOPT_XFERINFODATA, &r);
  curl_easy_setopt(easy, CURLOPT_PREREQFUNCTION, OnPrerequest);
  curl_easy_setopt(easy, CURLOPT_PREREQDATA, &r);
  curl_easy_setopt(easy, CURLOPT_SOCKOPTFUNCTION, OnSocket);
  curl_easy_setopt(easy, CURLOPT_SOCKOPTDATA, &r);

  // The method: libcurl's own forms for GET, HEAD and POST so that it knows whether a
  // body follows; any other verb by name.
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

  // The caller's headers, and only the defaults the Windows stack sends too.
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
    if (next == nullptr) return r.Fail(kErrorNotEnoughMemory);
    r.headerList = next;
  }
  curl_easy_setopt(easy, CURLOPT_HTTPHEADER, r.headerList);

  if (curl_multi_add_handle(r.multi, easy) != CURLM_OK) return r.Fail(kErrorInternal);
  r.attached = true;
  r.phase = Request::Phase::Sending;
  return 0;
}

template <typename Condition>
std::uint32_t CurlTransport::Pump(Request& r, Condition done) {
  // The send/receive allowance counts from the start of each call, like the Windows
  // stack's per-operation time-outs.
  if (r.prereqSeen) r.lastProgress = Clock::now();
  auto settle = [&]() -> std::uint32_t {
    if (m_cancelled) return r.Fail(kErrorOperationCancelled);
    if (r.clientCertRequested) return r.Fail(kErrorClientCertNeeded);
    if (r.ownError != 0) return r.Fail(r.ownError);
    return 0;
  };
  auto finished = [&]() { return done() || r.transferDone; };
  auto finish = [&]() -> std::uint32_t {
    if (done() || r.result == CURLE_OK) return 0;
    std::uint32_t code = WinHttpCodeFor(r.result);
    if (r.result == CURLE_UNSUPPORTED_PROTOCOL && r.prereqSeen)
      code = kErrorInvalidServerResponse;  // HTTP/0.9
    return r.Fail(code);
  };
  auto reap = [&]() {
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(r.multi, &queued)) {
      if (message->msg != CURLMSG_DONE || message->easy_handle != r.easy) continue;
      r.transferDone = true;
      r.result = message->data.result;
      // A proxy that refused the tunnel: its answer is the response, as on Windows.
      if (r.result != CURLE_OK && !r.prereqSeen && r.connect.status >= 300 && !r.connect.raw.empty()) {
        r.response = std::move(r.connect);
        r.headersComplete = true;
        r.result = CURLE_OK;
      }
    }
  };

  for (;;) {
    if (std::uint32_t code = settle()) return code;
    if (finished()) return finish();
    int running = 0;
    CURLMcode performed = curl_multi_perform(r.multi, &running);
    if (performed != CURLM_OK)
      return r.Fail(performed == CURLM_OUT_OF_MEMORY ? kErrorNotEnoughMemory : kErrorInternal);
    reap();
    if (std::uint32_t code = settle()) return code;
    if (finished()) return finish();

    Clock::time_point now = Clock::now();
    Clock::time_point deadline = Clock::time_point::max();
    if (r.prereqSeen)
      deadline = r.lastProgress + m_options.sendReceiveTimeout;
    else if (r.socketOpened)
      deadline = r.connectStart + m_options.connectTimeout;
    if (now >= deadline) return r.Fail(kErrorTimeout);
    long waitMs = 1000;
    if (deadline != Clock::time_point::max())
      waitMs =
          std::clamp<long>(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count(), 1, 1000);
    curl_multi_poll(r.multi, nullptr, 0, static_cast<int>(waitMs), nullptr);
  }
}

std::uint32_t CurlTransport::SendRequest(HttpHandle request, const WideChar* headers,
                                         std::uint32_t headersLength, const void* body,
                                         std::uint32_t bodyLength) {
  std::shared_ptr<Request> r;
  if (std::uint32_t code = Find(request, r)) return code;
  if (m_cancelled) return r->Fail(kErrorOperationCancelled);
  if (r->phase != Request::Phase::Opened) return kErrorIncorrectHandleState;
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

  const Connection& connection = *r->connection;
  r->url = std::string(r->secure ? "https://" : "http://") + HostForUrl(connection.host);
  if (connection.port != 0) {
    r->url += ':';
    r->url += std::to_string(connection.port);
  }
  r->url += '/';
  if (std::uint32_t code = StartHop(*r)) return code;
  // Sent once the connection is ready: the request goes out in the same step, and what
  // happens to it afterwards is the response's business.
  return Pump(*r, [&] { return r->prereqSeen || r->headersComplete; });
}

std::uint32_t CurlTransport::FollowRedirect(Request& r, bool& followed) {
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
  std::shared_ptr<Request> r;
  if (std::uint32_t code = Find(request, r)) return code;
  if (m_cancelled) return r->Fail(kErrorOperationCancelled);
  if (r->phase == Request::Phase::Failed) return r->failure;
  if (r->phase != Request::Phase::Sending) return kErrorIncorrectHandleState;
  for (;;) {
    if (std::uint32_t code = Pump(*r, [&] { return r->headersComplete; })) return code;
    if (!r->headersComplete) return r->Fail(kErrorInvalidServerResponse);
    bool followed = false;
    if (std::uint32_t code = FollowRedirect(*r, followed)) return code;
    if (!followed) break;
  }
  r->phase = Request::Phase::Received;
  return 0;
}

std::uint32_t CurlTransport::QueryHeaders(HttpHandle request, std::uint32_t infoLevel, void* buffer,
                                          std::uint32_t* bufferBytes) {
  std::shared_ptr<Request> r;
  if (std::uint32_t code = Find(request, r)) return code;
  if (bufferBytes == nullptr) return kErrorInvalidParameter;
  if (r->phase != Request::Phase::Received) return kErrorIncorrectHandleState;
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
  std::shared_ptr<Request> r;
  if (std::uint32_t code = Find(request, r)) return code;
  if (bytesRead == nullptr || (buffer == nullptr && size != 0)) return kErrorInvalidParameter;
  *bytesRead = 0;
  if (m_cancelled) return r->Fail(kErrorOperationCancelled);
  if (r->phase == Request::Phase::Failed) return r->failure;
  if (r->phase != Request::Phase::Received) return kErrorIncorrectHandleState;
  if (size == 0) return 0;
  if (r->ring.Size() == 0) {
    // With the transfer over, this only reports how it ended: 0 bytes, or its failure.
    if (r->paused && !r->transferDone) {
      r->paused = false;
      curl_easy_pause(r->easy, CURLPAUSE_CONT);  // may hand over what libcurl held at once
    }
    if (std::uint32_t code = Pump(*r, [&] { return r->ring.Size() != 0; })) return code;
  }
  *bytesRead = static_cast<std::uint32_t>(r->ring.Pop(buffer, size));
  return 0;
}

void CurlTransport::CloseHandle(HttpHandle handle) {
  std::shared_ptr<Handle> closed;
  {
    std::lock_guard lock(m_mutex);
    auto it = m_handles.find(handle);
    if (it == m_handles.end()) return;
    closed = std::move(it->second);
    m_handles.erase(it);
  }
  // Children keep their parents alive, so closing a session before its requests is safe.
  closed.reset();
}

void CurlTransport::Cancel() {
  m_cancelled = true;
  std::lock_guard lock(m_mutex);
  for (void* multi : m_liveMultis) curl_multi_wakeup(static_cast<CURLM*>(multi));
}

}  // namespace skiff
