// The POSIX HTTP transport: the WinHTTP-shaped seam on libcurl, answering with the codes
// and behaviour of the Windows HTTP stack at its defaults, so the handheld sees the same
// results on either platform.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "http/http_transport.h"

namespace skiff {

// Settings a test may change; the program uses the defaults, which are the Windows
// stack's: 60 s to connect, 30 s without progress while sending or receiving, unlimited
// name resolution, and only the system's certificate store trusted.
struct CurlOptions {
  std::chrono::milliseconds connectTimeout{60000};
  std::chrono::milliseconds sendReceiveTimeout{30000};
  // A PEM file of certificate authorities trusted in addition to the system's store.
  std::string extraCaFile;
};

class CurlTransport final : public IHttpTransport {
 public:
  explicit CurlTransport(CurlOptions options = {});
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

  // Internal handle kinds, public only so that the implementation file can name them.
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

// The transport the program uses on POSIX.
std::unique_ptr<IHttpTransport> CreateCurlTransport(CurlOptions options = {});

}  // namespace skiff
