// The seam on WinHTTP itself: each call is the WinHTTP function of the same name with
// synchronous handles, and a failure is the thread's last error as that function left
// it. No option, time-out or callback is set, so WinHTTP's defaults hold.
#include "platform/win32/http/winhttp_transport.h"

#include <vector>

#include "http/winhttp_errors.h"

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

std::u16string Copy(LPCWSTR text) {
  return text != nullptr ? std::u16string(reinterpret_cast<const char16_t*>(text)) : std::u16string();
}

}  // namespace

WinHttpTransport::WinHttpTransport(WinHttpOptions options) : m_options(options) {}

// Whatever the owner left open goes with the transport.
WinHttpTransport::~WinHttpTransport() {
  for (const auto& [handle, isRequest] : m_open)
    if (isRequest) WinHttpCloseHandle(handle);
  for (const auto& [handle, isRequest] : m_open)
    if (!isRequest) WinHttpCloseHandle(handle);
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

std::uint32_t WinHttpTransport::Track(HINTERNET handle, bool isRequest, HttpHandle* out) {
  if (handle == nullptr) return Result(FALSE);
  {
    std::lock_guard lock(m_mutex);
    // A cancel that came while the handle was being opened cannot have closed it.
    if (!m_cancelled) {
      m_open.emplace(handle, isRequest);
      *out = handle;
      return 0;
    }
  }
  WinHttpCloseHandle(handle);
  return kErrorOperationCancelled;
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
  // The client hands an empty bypass list for none; WinHTTP's word for none is null.
  const bool named = accessType == kAccessTypeNamedProxy;
  LPCWSTR bypass =
      named && proxyBypass != nullptr && proxyBypass[0] != 0 ? Wide(proxyBypass) : WINHTTP_NO_PROXY_BYPASS;
  HINTERNET handle =
      WinHttpOpen(Wide(userAgent), accessType, named ? Wide(proxyName) : WINHTTP_NO_PROXY_NAME, bypass, 0);
  return Track(handle, false, session);
}

std::uint32_t WinHttpTransport::Connect(HttpHandle session, const WideChar* host, std::uint16_t port,
                                        HttpHandle* connection) {
  *connection = nullptr;
  if (m_cancelled) return kErrorOperationCancelled;
  return Track(WinHttpConnect(session, Wide(host), port, 0), false, connection);
}

std::uint32_t WinHttpTransport::OpenRequest(HttpHandle connection, const WideChar* verb, const WideChar* path,
                                            const WideChar* const* acceptTypes, std::uint32_t flags,
                                            HttpHandle* request) {
  *request = nullptr;
  if (m_cancelled) return kErrorOperationCancelled;
  // WinHTTP takes the list as non-const pointers but only reads it.
  std::vector<LPCWSTR> types;
  for (const WideChar* const* type = acceptTypes; type != nullptr && *type != nullptr; ++type)
    types.push_back(Wide(*type));
  types.push_back(nullptr);
  HINTERNET handle =
      WinHttpOpenRequest(connection, Wide(verb), Wide(path), nullptr, WINHTTP_NO_REFERER,
                         acceptTypes != nullptr ? types.data() : WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
  if (handle != nullptr && m_options.ignoreUnknownCaForTests && (flags & kFlagSecure) != 0) {
    DWORD security = SECURITY_FLAG_IGNORE_UNKNOWN_CA;
    WinHttpSetOption(handle, WINHTTP_OPTION_SECURITY_FLAGS, &security, sizeof security);
  }
  return Track(handle, true, request);
}

std::uint32_t WinHttpTransport::SendRequest(HttpHandle request, const WideChar* headers,
                                            std::uint32_t headersLength, const void* body,
                                            std::uint32_t bodyLength) {
  if (m_cancelled) return kErrorOperationCancelled;
  return Result(WinHttpSendRequest(request, Wide(headers), headersLength, const_cast<void*>(body), bodyLength,
                                   bodyLength, 0));
}

std::uint32_t WinHttpTransport::ReceiveResponse(HttpHandle request) {
  if (m_cancelled) return kErrorOperationCancelled;
  return Result(WinHttpReceiveResponse(request, nullptr));
}

std::uint32_t WinHttpTransport::QueryHeaders(HttpHandle request, std::uint32_t infoLevel, void* buffer,
                                             std::uint32_t* bufferBytes) {
  if (m_cancelled) return kErrorOperationCancelled;
  DWORD bytes = *bufferBytes;
  const BOOL ok = WinHttpQueryHeaders(request, infoLevel, WINHTTP_HEADER_NAME_BY_INDEX, buffer, &bytes,
                                      WINHTTP_NO_HEADER_INDEX);
  const std::uint32_t result = Result(ok);
  *bufferBytes = bytes;
  return result;
}

std::uint32_t WinHttpTransport::ReadData(HttpHandle request, void* buffer, std::uint32_t size,
                                         std::uint32_t* bytesRead) {
  *bytesRead = 0;
  if (m_cancelled) return kErrorOperationCancelled;
  DWORD count = 0;
  const std::uint32_t result = Result(WinHttpReadData(request, buffer, size, &count));
  if (result == 0) *bytesRead = count;
  return result;
}

void WinHttpTransport::CloseHandle(HttpHandle handle) {
  {
    std::lock_guard lock(m_mutex);
    // A request that a cancel has closed already is not closed twice.
    if (m_open.erase(handle) == 0) return;
  }
  WinHttpCloseHandle(handle);
}

void WinHttpTransport::Cancel() {
  std::vector<HINTERNET> requests;
  {
    std::lock_guard lock(m_mutex);
    m_cancelled = true;
    for (auto it = m_open.begin(); it != m_open.end();) {
      if (it->second) {
        requests.push_back(it->first);
        it = m_open.erase(it);
      } else {
        ++it;
      }
    }
  }
  for (HINTERNET request : requests) WinHttpCloseHandle(request);
}

}  // namespace skiff
