// The seam the HTTP client drives, shaped like WinHTTP: the user's proxy settings, open
// a session, connect, open a request, send, receive, query headers, read, close. The
// Windows layer forwards each call to WinHTTP; the POSIX layer implements it on libcurl.
// Every call returns 0 or the WinHTTP/Windows error code a Windows user would get.
#pragma once

#include <cstdint>
#include <string>

#include "compat/com.h"

namespace skiff {

using HttpHandle = void*;

// WinHTTP's numbers, used on every platform.
inline constexpr std::uint32_t kAccessTypeDefaultProxy = 0;
inline constexpr std::uint32_t kAccessTypeNoProxy = 1;
inline constexpr std::uint32_t kAccessTypeNamedProxy = 3;
inline constexpr std::uint32_t kAccessTypeAutomaticProxy = 4;
inline constexpr std::uint32_t kFlagEscapeDisable = 0x40;
inline constexpr std::uint32_t kFlagSecure = 0x800000;
inline constexpr std::uint32_t kQueryStatusCode = 19;
inline constexpr std::uint32_t kQueryStatusText = 20;
inline constexpr std::uint32_t kQueryRawHeadersCrlf = 22;
inline constexpr std::uint32_t kQueryFlagNumber = 0x20000000;

// The user's proxy settings: a proxy list ("host:port" or "scheme=host:port;...") and a
// bypass list, each empty when not set.
struct UserProxyConfig {
  bool hasProxy = false;
  std::u16string proxy;
  std::u16string bypass;
};

class IHttpTransport {
 public:
  virtual ~IHttpTransport() = default;

  virtual std::uint32_t GetUserProxyConfig(UserProxyConfig& config) = 0;
  // proxyName and proxyBypass are null unless accessType is kAccessTypeNamedProxy.
  virtual std::uint32_t OpenSession(const WideChar* userAgent, std::uint32_t accessType,
                                    const WideChar* proxyName, const WideChar* proxyBypass,
                                    HttpHandle* session) = 0;
  // port 0: the scheme's default.
  virtual std::uint32_t Connect(HttpHandle session, const WideChar* host, std::uint16_t port,
                                HttpHandle* connection) = 0;
  // acceptTypes is a null-terminated list; flags are kFlagEscapeDisable and kFlagSecure.
  virtual std::uint32_t OpenRequest(HttpHandle connection, const WideChar* verb, const WideChar* path,
                                    const WideChar* const* acceptTypes, std::uint32_t flags,
                                    HttpHandle* request) = 0;
  virtual std::uint32_t SendRequest(HttpHandle request, const WideChar* headers, std::uint32_t headersLength,
                                    const void* body, std::uint32_t bodyLength) = 0;
  virtual std::uint32_t ReceiveResponse(HttpHandle request) = 0;
  // WinHttpQueryHeaders: buffer null probes; *bufferBytes is the buffer length in bytes
  // on entry and the size written (or needed, with ERROR_INSUFFICIENT_BUFFER) on return.
  virtual std::uint32_t QueryHeaders(HttpHandle request, std::uint32_t infoLevel, void* buffer,
                                     std::uint32_t* bufferBytes) = 0;
  virtual std::uint32_t ReadData(HttpHandle request, void* buffer, std::uint32_t size,
                                 std::uint32_t* bytesRead) = 0;
  virtual void CloseHandle(HttpHandle handle) = 0;

  // From another thread: the call in progress and every later one fail promptly. Used
  // by the worker's orderly stop.
  virtual void Cancel() = 0;
};

}  // namespace skiff
