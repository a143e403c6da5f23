// A scripted stand-in for the HTTP transport: hands out fixed handles, answers from a
// canned response, fails any chosen step with a chosen code, and records what it was
// asked (recording can be switched off where allocations are counted).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "http/http_transport.h"
#include "http/winhttp_errors.h"

namespace skiff::testing {

class FakeHttpTransport : public IHttpTransport {
 public:
  // ---- script ----
  std::uint32_t proxyResult = 0;
  UserProxyConfig proxyConfig;
  std::uint32_t openSessionError = 0;
  std::uint32_t connectError = 0;
  std::uint32_t openRequestError = 0;
  std::uint32_t sendError = 0;
  std::uint32_t receiveError = 0;
  std::uint32_t statusCodeError = 0;
  std::uint32_t statusTextError = 0;
  // What the raw-header probe answers when there are headers (ERROR_INSUFFICIENT_BUFFER
  // like the platform), and an error for the query proper.
  std::uint32_t rawProbeResult = ERROR_INSUFFICIENT_BUFFER;
  std::uint32_t rawQueryError = 0;
  // Overrides the needed size the probe reports (0: the real size of rawHeaders).
  std::uint32_t rawNeededOverride = 0;
  std::uint32_t readError = 0;

  std::uint32_t statusCode = 200;
  std::u16string statusText = u"OK";
  std::u16string rawHeaders = u"HTTP/1.1 200 OK\r\nContent-Type: text/plain\r\n\r\n";
  std::string responseBody;

  // ---- record ----
  bool record = true;
  std::vector<std::string> calls;
  int openSessionCalls = 0, connectCalls = 0, openRequestCalls = 0, sendCalls = 0, receiveCalls = 0,
      readCalls = 0;
  int openHandles = 0;
  std::uint32_t accessType = 0;
  bool proxyNameNull = true, proxyBypassNull = true;
  std::u16string userAgent, proxyName, proxyBypass, host, verb, path, headers;
  std::uint32_t headersLength = 0;
  std::uint16_t port = 0;
  std::uint32_t flags = 0;
  std::vector<std::u16string> acceptTypes;
  std::string body;
  std::size_t readPosition = 0;

  HttpHandle SessionHandle() { return &m_session; }
  HttpHandle ConnectionHandle() { return &m_connection; }
  HttpHandle RequestHandle() { return &m_request; }

  std::uint32_t GetUserProxyConfig(UserProxyConfig& config) override {
    Note("GetUserProxyConfig");
    if (proxyResult != 0) return proxyResult;
    config = proxyConfig;
    return 0;
  }

  std::uint32_t OpenSession(const WideChar* agent, std::uint32_t access, const WideChar* name,
                            const WideChar* bypass, HttpHandle* session) override {
    Note("OpenSession");
    ++openSessionCalls;
    accessType = access;
    proxyNameNull = name == nullptr;
    proxyBypassNull = bypass == nullptr;
    if (record) {
      userAgent = agent;
      proxyName = name != nullptr ? name : u"";
      proxyBypass = bypass != nullptr ? bypass : u"";
    }
    *session = nullptr;
    if (openSessionError != 0) return openSessionError;
    *session = SessionHandle();
    ++openHandles;
    return 0;
  }

  std::uint32_t Connect(HttpHandle session, const WideChar* hostName, std::uint16_t portNumber,
                        HttpHandle* connection) override {
    Note("Connect");
    ++connectCalls;
    EnsureHandle(session, SessionHandle());
    port = portNumber;
    if (record) host = hostName;
    *connection = nullptr;
    if (connectError != 0) return connectError;
    *connection = ConnectionHandle();
    ++openHandles;
    return 0;
  }

  std::uint32_t OpenRequest(HttpHandle connection, const WideChar* verbText, const WideChar* pathText,
                            const WideChar* const* accept, std::uint32_t requestFlags,
                            HttpHandle* request) override {
    Note("OpenRequest");
    ++openRequestCalls;
    EnsureHandle(connection, ConnectionHandle());
    flags = requestFlags;
    if (record) {
      verb = verbText;
      path = pathText;
      acceptTypes.clear();
      for (const WideChar* const* type = accept; type != nullptr && *type != nullptr; ++type) {
        acceptTypes.emplace_back(*type);
      }
    }
    *request = nullptr;
    if (openRequestError != 0) return openRequestError;
    *request = RequestHandle();
    ++openHandles;
    return 0;
  }

  std::uint32_t SendRequest(HttpHandle request, const WideChar* headerText, std::uint32_t headerLength,
                            const void* bodyBytes, std::uint32_t bodyLength) override {
    Note("SendRequest");
    ++sendCalls;
    EnsureHandle(request, RequestHandle());
    headersLength = headerLength;
    if (record) {
      headers.assign(headerText, headerLength);
      body.assign(static_cast<const char*>(bodyBytes), bodyBytes != nullptr ? bodyLength : 0);
    }
    readPosition = 0;
    return sendError;
  }

  std::uint32_t ReceiveResponse(HttpHandle request) override {
    Note("ReceiveResponse");
    ++receiveCalls;
    EnsureHandle(request, RequestHandle());
    return receiveError;
  }

  std::uint32_t QueryHeaders(HttpHandle request, std::uint32_t infoLevel, void* buffer,
                             std::uint32_t* bufferBytes) override {
    Note("QueryHeaders");
    EnsureHandle(request, RequestHandle());
    if (infoLevel == (kQueryStatusCode | kQueryFlagNumber)) {
      if (statusCodeError != 0) return statusCodeError;
      if (*bufferBytes < 4) return ERROR_INSUFFICIENT_BUFFER;
      std::memcpy(buffer, &statusCode, 4);
      *bufferBytes = 4;
      return 0;
    }
    if (infoLevel == kQueryStatusText) {
      if (statusTextError != 0) return statusTextError;
      return CopyOut(statusText, buffer, bufferBytes);
    }
    if (infoLevel == kQueryRawHeadersCrlf) {
      if (buffer == nullptr) {
        *bufferBytes = rawNeededOverride != 0 ? rawNeededOverride : Bytes(rawHeaders);
        return rawProbeResult;
      }
      if (rawQueryError != 0) return rawQueryError;
      return CopyOut(rawHeaders, buffer, bufferBytes);
    }
    return kErrorHeaderNotFound;  // header not found
  }

  std::uint32_t ReadData(HttpHandle request, void* buffer, std::uint32_t size,
                         std::uint32_t* bytesRead) override {
    Note("ReadData");
    ++readCalls;
    EnsureHandle(request, RequestHandle());
    if (readError != 0) return readError;
    std::size_t count = std::min<std::size_t>(size, responseBody.size() - readPosition);
    std::memcpy(buffer, responseBody.data() + readPosition, count);
    readPosition += count;
    *bytesRead = static_cast<std::uint32_t>(count);
    return 0;
  }

  void CloseHandle(HttpHandle handle) override {
    if (handle == RequestHandle()) {
      Note("Close request");
    } else if (handle == ConnectionHandle()) {
      Note("Close connection");
    } else if (handle == SessionHandle()) {
      Note("Close session");
    } else {
      Note("Close unknown handle");
    }
    --openHandles;
  }

  void Cancel() override {}

 private:
  static std::uint32_t Bytes(const std::u16string& text) {
    return static_cast<std::uint32_t>((text.size() + 1) * sizeof(char16_t));
  }
  std::uint32_t CopyOut(const std::u16string& text, void* buffer, std::uint32_t* bufferBytes) {
    std::uint32_t needed = Bytes(text);
    if (buffer == nullptr || *bufferBytes < needed) {
      *bufferBytes = needed;
      return ERROR_INSUFFICIENT_BUFFER;
    }
    std::memcpy(buffer, text.c_str(), needed);
    *bufferBytes = needed - sizeof(char16_t);
    return 0;
  }
  void Note(const char* what) {
    if (record) calls.emplace_back(what);
  }
  // A call on a handle other than the one handed out for it is recorded as a fault.
  void EnsureHandle(HttpHandle given, HttpHandle expected) {
    if (given != expected) Note("WRONG HANDLE");
  }

  char m_session = 0, m_connection = 0, m_request = 0;
};

}  // namespace skiff::testing
