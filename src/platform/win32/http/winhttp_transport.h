// The Windows HTTP transport: the seam the HTTP client drives, passed straight through to
// WinHTTP with synchronous handles and WinHTTP's own defaults.
//
// How to create it (the program):
//     std::unique_ptr<skiff::IHttpTransport> transport = skiff::CreateWinHttpTransport();
// and hand `*transport` to HttpClient (through the device worker). It needs nothing else.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <unordered_map>

#include <winhttp.h>

#include "http/http_transport.h"

namespace skiff {

// Settings only a test changes; the program uses the defaults.
struct WinHttpOptions {
  // Sets the request's security flags to accept a server certificate from an unknown
  // authority. Only for tests under Wine, whose WinHTTP trusts no authority added to the
  // test prefix's root store.
  bool ignoreUnknownCaForTests = false;
};

class WinHttpTransport final : public IHttpTransport {
 public:
  explicit WinHttpTransport(WinHttpOptions options = {});
  ~WinHttpTransport() override;
  WinHttpTransport(const WinHttpTransport&) = delete;
  WinHttpTransport& operator=(const WinHttpTransport&) = delete;

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
  // Closes every open request handle from the calling thread, which is how WinHTTP ends
  // a synchronous call in progress on another thread; that call and every later one
  // fail with ERROR_WINHTTP_OPERATION_CANCELLED.
  void Cancel() override;

 private:
  // The code of a call that just returned `ok`: 0, its last error, or the cancel when a
  // cancel came while it ran.
  std::uint32_t Result(BOOL ok) const;
  std::uint32_t Track(HINTERNET handle, bool isRequest, HttpHandle* out);

  const WinHttpOptions m_options;
  std::atomic<bool> m_cancelled{false};
  std::mutex m_mutex;  // guards m_open
  // Every handle this transport opened and has not closed yet; true for requests.
  std::unordered_map<HINTERNET, bool> m_open;
};

// The transport the program uses on Windows.
std::unique_ptr<IHttpTransport> CreateWinHttpTransport(WinHttpOptions options = {});

}  // namespace skiff
