// The Windows HTTP transport: the seam the HTTP client drives, on WinHTTP with
// synchronous handles and WinHTTP's own defaults, except that the session outlives the
// fetch (WinHTTP pools connections per session) and that cookies and redirects are the
// transport's, so that nothing of one fetch reaches the next.
//
// How to create it (the program):
//     std::unique_ptr<skiff::IHttpTransport> transport = skiff::CreateWinHttpTransport();
// and hand `*transport` to HttpClient (through the device worker). It needs nothing else.
#pragma once

#include <windows.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

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

  // The WinHTTP sessions opened so far: fetches one after another with the same user
  // agent and proxy setting share one.
  std::uint32_t SessionsOpened() const { return m_sessionsOpened.load(); }

  // The kinds of handle the client holds, named here for the file's helpers.
  struct Session;
  struct Handle;
  struct SessionHandle;
  struct ConnectionHandle;
  struct RequestHandle;

 private:
  // The code of a call that just returned `ok`: 0, its last error, or the cancel when a
  // cancel came while it ran.
  std::uint32_t Result(BOOL ok) const;
  template <typename Kind>
  std::uint32_t Find(HttpHandle handle, std::shared_ptr<Kind>& found);
  HttpHandle Register(std::shared_ptr<Handle> handle);
  // A WinHTTP request handle with the transport's options set, closed by a cancel.
  std::uint32_t OpenHop(HINTERNET connection, const std::u16string& verb, const std::u16string& path,
                        RequestHandle& request, std::uint32_t flags, HINTERNET* hop);
  // Closes a request handle unless a cancel has closed it already.
  void CloseHop(HINTERNET hop);
  std::uint32_t SendHop(RequestHandle& request);
  // Whether a hop that failed with `code` is sent once more on another connection, and
  // that second sending.
  bool MayRetry(const RequestHandle& request, std::uint32_t code);
  std::uint32_t Retry(RequestHandle& request);
  std::uint32_t FollowRedirect(RequestHandle& request, bool& followed);

  const WinHttpOptions m_options;
  std::atomic<bool> m_cancelled{false};
  std::atomic<std::uint32_t> m_sessionsOpened{0};
  std::mutex m_mutex;  // guards the four below
  std::unordered_map<HttpHandle, std::shared_ptr<Handle>> m_handles;
  std::unordered_set<HINTERNET> m_openHops;  // request handles, which a cancel closes
  std::shared_ptr<Session> m_session;        // kept for the next fetch
  // The servers ("scheme://host:port") that have answered a request of this transport,
  // so that a connection to them may be in a pool.
  std::unordered_set<std::string> m_answered;
};

// The transport the program uses on Windows.
std::unique_ptr<IHttpTransport> CreateWinHttpTransport(WinHttpOptions options = {});

}  // namespace skiff
