// A scripted stand-in for the HTTP transport: hands out fixed handles, answers from a
// canned response, fails any chosen step with a chosen code, and records what it was
// asked (recording can be switched off where allocations are counted).
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include "http/http_transport.h"
#include "http/winhttp_errors.h"

namespace skiff::testing {

class FakeHttpTransport : public IHttpTransport {
 public:
  // Script: a non-zero code fails that step with it.
  std::uint32_t proxyResult = 0, openSessionError = 0, connectError = 0, openRequestError = 0;
  std::uint32_t sendError = 0, receiveError = 0, statusCodeError = 0, rawQueryError = 0, readError = 0;
  // What the raw-header probe answers: the platform's "too small" when there are headers.
  std::uint32_t rawProbeResult = ERROR_INSUFFICIENT_BUFFER, statusCode = 200;
  UserProxyConfig proxyConfig;
  std::u16string statusText = u"OK", rawHeaders = u"HTTP/1.1 200 OK\r\n\r\n";
  std::string responseBody;
  std::size_t readPosition = 0;

  // Record: every call counts a step; texts are kept only while `record` is set, a null
  // proxy name or bypass as "(null)".
  bool record = true;
  int steps = 0, sendCalls = 0, openHandles = 0, wrongHandles = 0;
  std::uint32_t accessType = 0, flags = 0;
  std::uint16_t port = 0;
  std::u16string userAgent, proxyName, proxyBypass, host, verb, path, acceptTypes, headers;
  std::string body;

  std::uint32_t GetUserProxyConfig(UserProxyConfig& config) override {
    ++steps;
    if (proxyResult == 0) config = proxyConfig;
    return proxyResult;
  }
  std::uint32_t OpenSession(const WideChar* agent, std::uint32_t access, const WideChar* name,
                            const WideChar* bypass, HttpHandle* session) override {
    ++steps;
    accessType = access;
    if (record) {
      userAgent = agent;
      proxyName = name != nullptr ? name : u"(null)";
      proxyBypass = bypass != nullptr ? bypass : u"(null)";
    }
    return Open(openSessionError, &m_session, session);
  }
  std::uint32_t Connect(HttpHandle session, const WideChar* hostName, std::uint16_t portNumber,
                        HttpHandle* connection) override {
    Check(session, &m_session);
    port = portNumber;
    if (record) host = hostName;
    return Open(connectError, &m_connection, connection);
  }
  std::uint32_t OpenRequest(HttpHandle connection, const WideChar* verbText, const WideChar* pathText,
                            const WideChar* const* accept, std::uint32_t requestFlags,
                            HttpHandle* request) override {
    Check(connection, &m_connection);
    flags = requestFlags;
    if (record) {
      verb = verbText;
      path = pathText;
      acceptTypes = std::u16string(accept[0]) + (accept[1] == nullptr ? u"" : u" and more");
    }
    return Open(openRequestError, &m_request, request);
  }
  std::uint32_t SendRequest(HttpHandle request, const WideChar* headerText, std::uint32_t headerLength,
                            const void* bodyBytes, std::uint32_t bodyLength) override {
    Check(request, &m_request);
    ++sendCalls;
    if (record) {
      headers.assign(headerText, headerLength);
      body.assign(static_cast<const char*>(bodyBytes), bodyBytes != nullptr ? bodyLength : 0);
    }
    return sendError;
  }
  std::uint32_t ReceiveResponse(HttpHandle request) override {
    Check(request, &m_request);
    return receiveError;
  }
  std::uint32_t QueryHeaders(HttpHandle request, std::uint32_t infoLevel, void* buffer,
                             std::uint32_t* bufferBytes) override {
    Check(request, &m_request);
    if (infoLevel == (kQueryStatusCode | kQueryFlagNumber)) {
      if (statusCodeError == 0) std::memcpy(buffer, &statusCode, sizeof statusCode);
      return statusCodeError;
    }
    const std::u16string& text = infoLevel == kQueryStatusText ? statusText : rawHeaders;
    const auto needed = static_cast<std::uint32_t>((text.size() + 1) * sizeof(char16_t));
    if (infoLevel == kQueryRawHeadersCrlf && buffer == nullptr) {
      *bufferBytes = needed;
      return rawProbeResult;
    }
    if (infoLevel == kQueryRawHeadersCrlf && rawQueryError != 0) return rawQueryError;
    if (*bufferBytes < needed) return ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(buffer, text.c_str(), needed);
    *bufferBytes = needed - sizeof(char16_t);
    return 0;
  }
  std::uint32_t ReadData(HttpHandle request, void* buffer, std::uint32_t size,
                         std::uint32_t* bytesRead) override {
    Check(request, &m_request);
    if (readError != 0) return readError;
    const std::size_t count = std::min<std::size_t>(size, responseBody.size() - readPosition);
    std::memcpy(buffer, responseBody.data() + readPosition, count);
    readPosition += count;
    *bytesRead = static_cast<std::uint32_t>(count);
    return 0;
  }
  void CloseHandle(HttpHandle handle) override {
    ++steps;
    if (handle != &m_session && handle != &m_connection && handle != &m_request) ++wrongHandles;
    --openHandles;
  }
  void Cancel() override {}

 private:
  // Open hands out `own` unless the step is scripted to fail; Check counts a step and
  // checks that it was given the handle handed out for it.
  std::uint32_t Open(std::uint32_t error, char* own, HttpHandle* out) {
    *out = error != 0 ? nullptr : own;
    openHandles += error != 0 ? 0 : 1;
    return error;
  }
  void Check(HttpHandle given, char* expected) {
    ++steps;
    if (given != expected) ++wrongHandles;
  }

  char m_session = 0, m_connection = 0, m_request = 0;
};

}  // namespace skiff::testing
