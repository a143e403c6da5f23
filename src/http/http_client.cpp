// HttpClient: the fetch state machine over the transport's session, connection and
// request handles. Platform steps are taken lazily, one state at a time, and a failed
// step closes every handle and clears every setting while its own code is returned.
#include "http/http_client.h"

#include <cstring>

namespace skiff {

namespace {

const WideChar kAcceptAll[] = u"*/*";
const WideChar* const kAcceptTypes[] = {kAcceptAll, nullptr};
const WideChar kEmptyText[] = u"";

// Copies a zero-terminated text into a field of `capacity` units, terminator included.
// False (and the field left empty) when the text is missing or needs more room.
bool CopyText(WideChar* field, std::uint32_t capacity, const WideChar* text,
              std::uint32_t* length = nullptr) {
  field[0] = 0;
  if (text == nullptr) return false;
  std::uint32_t units = 0;
  while (units < capacity && text[units] != 0) ++units;
  if (units == capacity) return false;
  std::memcpy(field, text, units * sizeof(WideChar));
  field[units] = 0;
  if (length != nullptr) *length = units;
  return true;
}

}  // namespace

HttpClient::HttpClient(IHttpTransport& transport) : m_transport(transport) {}

// Handles are closed only by Reset (the worker's teardown calls it), never here.
HttpClient::~HttpClient() = default;

void HttpClient::Reset() {
  if (request != nullptr) m_transport.CloseHandle(request);
  request = nullptr;
  if (connection != nullptr) m_transport.CloseHandle(connection);
  connection = nullptr;
  if (session != nullptr) m_transport.CloseHandle(session);
  session = nullptr;
  userAgent[0] = 0;
  host[0] = 0;
  verb[0] = 0;
  path[0] = 0;
  headers[0] = 0;
  port = 0;
  secure = 0;
  headersLength = 0;
  bodyLength = 0;
  state = HttpClientState::Idle;
}

std::uint32_t HttpClient::FailStep(std::uint32_t code) {
  Reset();
  // A transport that reports success without a handle broke its contract; the handheld
  // then sees WinHTTP's internal-error number.
  return code != 0 ? code : kErrorInternal;
}

std::uint32_t HttpClient::OpenSession() {
  if (state != HttpClientState::Idle) return FailStep(ERROR_CALL_OUT_OF_ORDER);
  // The user's proxy applies only when a proxy server is named; automatic detection and
  // configuration scripts are not used.
  UserProxyConfig config;
  std::uint32_t code;
  if (m_transport.GetUserProxyConfig(config) == 0 && config.hasProxy) {
    code = m_transport.OpenSession(userAgent, kAccessTypeNamedProxy, config.proxy.c_str(),
                                   config.bypass.c_str(), &session);
  } else {
    code = m_transport.OpenSession(userAgent, kAccessTypeNoProxy, nullptr, nullptr, &session);
  }
  if (code != 0 || session == nullptr) return FailStep(code);
  state = HttpClientState::SessionOpen;
  return 0;
}

std::uint32_t HttpClient::Connect() {
  if (state != HttpClientState::SessionOpen) return FailStep(ERROR_CALL_OUT_OF_ORDER);
  std::uint32_t code = m_transport.Connect(session, host, port, &connection);
  if (code != 0 || connection == nullptr) return FailStep(code);
  state = HttpClientState::Connected;
  return 0;
}

std::uint32_t HttpClient::OpenRequest() {
  if (state != HttpClientState::Connected) return FailStep(ERROR_CALL_OUT_OF_ORDER);
  std::uint32_t flags = kFlagEscapeDisable | (secure != 0 ? kFlagSecure : 0);
  std::uint32_t code = m_transport.OpenRequest(connection, verb, path, kAcceptTypes, flags, &request);
  if (code != 0 || request == nullptr) return FailStep(code);
  state = HttpClientState::RequestOpen;
  return 0;
}

std::uint32_t HttpClient::SendRequest() {
  if (state != HttpClientState::RequestOpen) return FailStep(ERROR_CALL_OUT_OF_ORDER);
  std::uint32_t code =
      m_transport.SendRequest(request, headers, headersLength, bodyLength != 0 ? body : nullptr, bodyLength);
  if (code != 0) return FailStep(code);
  state = HttpClientState::RequestSent;
  return ReceiveResponse();
}

std::uint32_t HttpClient::ReceiveResponse() {
  if (state != HttpClientState::RequestSent) return FailStep(ERROR_CALL_OUT_OF_ORDER);
  std::uint32_t code = m_transport.ReceiveResponse(request);
  if (code != 0) return FailStep(code);
  state = HttpClientState::ResponseReceived;
  return 0;
}

std::uint32_t HttpClient::Prepare(HttpClientState stepFrom, HttpClientState allowed) {
  if (state == stepFrom) {
    std::uint32_t code = 0;
    switch (stepFrom) {
      case HttpClientState::Idle:
        code = OpenSession();
        break;
      case HttpClientState::SessionOpen:
        code = Connect();
        break;
      case HttpClientState::Connected:
        code = OpenRequest();
        break;
      case HttpClientState::RequestOpen:
        code = SendRequest();
        break;
      default:
        break;
    }
    if (code != 0) return code;
  }
  return state == allowed ? 0 : ERROR_CALL_OUT_OF_ORDER;
}

std::uint32_t HttpClient::SetUserAgent(const WideChar* text) {
  Reset();
  return CopyText(userAgent, kTextUnits, text != nullptr ? text : kEmptyText) ? 0 : kErrorInvalidParameter;
}

std::uint32_t HttpClient::SetHost(const WideChar* text) {
  if (std::uint32_t code = Prepare(HttpClientState::Idle, HttpClientState::SessionOpen)) return code;
  return CopyText(host, kTextUnits, text) ? 0 : kErrorInvalidParameter;
}

std::uint32_t HttpClient::SetPort(std::uint16_t value) {
  if (std::uint32_t code = Prepare(HttpClientState::Idle, HttpClientState::SessionOpen)) return code;
  port = value;
  return 0;
}

std::uint32_t HttpClient::SetVerb(const WideChar* text) {
  if (std::uint32_t code = Prepare(HttpClientState::SessionOpen, HttpClientState::Connected)) return code;
  // The verb field is small: a longer verb is refused rather than cut to another verb.
  return CopyText(verb, kVerbUnits, text) ? 0 : kErrorInvalidParameter;
}

std::uint32_t HttpClient::SetPath(const WideChar* text) {
  if (std::uint32_t code = Prepare(HttpClientState::SessionOpen, HttpClientState::Connected)) return code;
  return CopyText(path, kTextUnits, text) ? 0 : kErrorInvalidParameter;
}

std::uint32_t HttpClient::SetSecure(bool flag) {
  if (std::uint32_t code = Prepare(HttpClientState::SessionOpen, HttpClientState::Connected)) return code;
  secure = flag ? 1 : 0;
  return 0;
}

std::uint32_t HttpClient::SetHeaders(const WideChar* text) {
  if (std::uint32_t code = Prepare(HttpClientState::Connected, HttpClientState::RequestOpen)) return code;
  headersLength = 0;
  return CopyText(headers, kTextUnits, text, &headersLength) ? 0 : kErrorInvalidParameter;
}

std::uint32_t HttpClient::SetBody(const std::uint8_t* bytes, std::uint32_t count) {
  if (std::uint32_t code = Prepare(HttpClientState::Connected, HttpClientState::RequestOpen)) return code;
  if (count > kBodyBytes || (bytes == nullptr && count != 0)) return kErrorInvalidParameter;
  if (count != 0) std::memcpy(body, bytes, count);
  bodyLength = count;
  return 0;
}

std::uint32_t HttpClient::QueryStatus(std::uint32_t* statusCode, WideChar* statusText,
                                      std::uint32_t* textBytes) {
  if (std::uint32_t code = Prepare(HttpClientState::RequestOpen, HttpClientState::ResponseReceived))
    return code;
  if (statusCode == nullptr || statusText == nullptr || textBytes == nullptr) return kErrorInvalidParameter;
  std::uint32_t codeBytes = sizeof(std::uint32_t);
  if (std::uint32_t code =
          m_transport.QueryHeaders(request, kQueryStatusCode | kQueryFlagNumber, statusCode, &codeBytes)) {
    return code;
  }
  return m_transport.QueryHeaders(request, kQueryStatusText, statusText, textBytes);
}

std::uint32_t HttpClient::QueryRawHeaders(WideChar* buffer, std::uint32_t* bufferBytes,
                                          std::uint32_t bufferSize) {
  if (state != HttpClientState::ResponseReceived) return ERROR_CALL_OUT_OF_ORDER;
  if (buffer == nullptr || bufferBytes == nullptr) return kErrorInvalidParameter;
  // The probe tells the size needed; any answer but "buffer too small" means there is
  // nothing to report, which counts as success with the buffer untouched.
  std::uint32_t needed = 0;
  if (m_transport.QueryHeaders(request, kQueryRawHeadersCrlf, nullptr, &needed) != kErrorInsufficientBuffer) {
    return 0;
  }
  if (needed > bufferSize - 1) return ERROR_HEADERS_TOO_LONG;
  return m_transport.QueryHeaders(request, kQueryRawHeadersCrlf, buffer, bufferBytes);
}

std::uint32_t HttpClient::ReadBody(void* destination, std::uint32_t size, std::uint16_t* bytesRead) {
  if (state != HttpClientState::ResponseReceived) return ERROR_CALL_OUT_OF_ORDER;
  if (destination == nullptr || bytesRead == nullptr) return kErrorInvalidParameter;
  std::uint32_t count = 0;
  if (std::uint32_t code = m_transport.ReadData(request, destination, size, &count)) return code;
  // A count beyond the buffer cannot be true; never let it claim bytes that are not there.
  if (count > size) count = size;
  *bytesRead = static_cast<std::uint16_t>(count > 0xFFFF ? 0xFFFF : count);
  return 0;
}

}  // namespace skiff
