// HttpClient: one HTTP fetch at a time for the handheld, a strict state machine over the
// session, connection and request handles of the transport. Each platform step is taken
// lazily by the first setter or query that needs it; every operation returns 0 or an
// error code.
#pragma once

#include <cstdint>

#include "compat/com.h"
#include "http/http_transport.h"
#include "http/winhttp_errors.h"

namespace skiff {

enum class HttpClientState : std::uint32_t {
  Idle = 0,
  SessionOpen = 1,
  Connected = 2,
  RequestOpen = 3,
  RequestSent = 4,
  ResponseReceived = 5,
};

class HttpClient {
 public:
  static constexpr std::uint32_t kTextUnits = 4000;
  static constexpr std::uint32_t kVerbUnits = 20;
  static constexpr std::uint32_t kBodyBytes = 16000;

  explicit HttpClient(IHttpTransport& transport);
  virtual ~HttpClient();
  HttpClient(const HttpClient&) = delete;
  HttpClient& operator=(const HttpClient&) = delete;

  std::uint32_t SetUserAgent(const WideChar* text);
  std::uint32_t SetHost(const WideChar* text);
  std::uint32_t SetPort(std::uint16_t port);
  std::uint32_t SetVerb(const WideChar* text);
  std::uint32_t SetPath(const WideChar* text);
  std::uint32_t SetSecure(bool flag);
  std::uint32_t SetHeaders(const WideChar* text);
  std::uint32_t SetBody(const std::uint8_t* bytes, std::uint32_t count);
  // textBytes: buffer length of statusText in bytes on entry.
  std::uint32_t QueryStatus(std::uint32_t* statusCode, WideChar* statusText, std::uint32_t* textBytes);
  std::uint32_t QueryRawHeaders(WideChar* buffer, std::uint32_t* bufferBytes, std::uint32_t bufferSize);
  std::uint32_t ReadBody(void* destination, std::uint32_t size, std::uint16_t* bytesRead);
  void Reset();

  HttpClientState State() const { return state; }
  IHttpTransport& Transport() { return m_transport; }

 private:
  // The lazy platform steps. Each runs only from its own state; any failure resets the
  // client and returns the failure's code (854732 when called in the wrong state).
  std::uint32_t OpenSession();
  std::uint32_t Connect();
  std::uint32_t OpenRequest();
  std::uint32_t SendRequest();  // goes straight on to ReceiveResponse
  std::uint32_t ReceiveResponse();
  std::uint32_t FailStep(std::uint32_t code);
  // Takes the step out of stepFrom when the client is there, then checks that the
  // client is in the state the operation needs.
  std::uint32_t Prepare(HttpClientState stepFrom, HttpClientState allowed);

  IHttpTransport& m_transport;
  HttpHandle session = nullptr;
  HttpHandle connection = nullptr;
  HttpHandle request = nullptr;
  HttpClientState state = HttpClientState::Idle;
  WideChar userAgent[kTextUnits] = {};
  WideChar host[kTextUnits] = {};
  std::uint16_t port = 0;
  WideChar verb[kVerbUnits] = {};
  WideChar path[kTextUnits] = {};
  std::uint8_t secure = 0;
  WideChar headers[kTextUnits] = {};
  std::uint32_t headersLength = 0;
  std::uint8_t body[kBodyBytes] = {};
  std::uint32_t bodyLength = 0;
};

}  // namespace skiff
