// The libcurl transport's connection pool and the loop that drives a transfer: one multi
// handle for the transport's life holds the open connections (per host, port, scheme and
// proxy) and the resolved names, and a share holds the TLS sessions, so every fetch can
// use what an earlier one set up. Idle connections go after libcurl's default of 118 s
// (CURLOPT_MAXAGE_CONN) and when the pool is destroyed.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include <curl/curl.h>
#include <openssl/ssl.h>

#include "platform/posix/http_curl/curl_transport.h"

namespace skiff {

struct CurlRequest;

// libcurl's global set-up, done once, before the first handle.
CURLcode CurlGlobalInit();

class CurlPool {
 public:
  explicit CurlPool(const CurlOptions& options);
  ~CurlPool();
  CurlPool(const CurlPool&) = delete;
  CurlPool& operator=(const CurlPool&) = delete;

  bool Ready() const { return m_multi != nullptr && m_share != nullptr; }
  const CurlOptions& Options() const { return m_options; }

  // Puts a request's hop, set up on its easy handle, into the pool; 0 or the failure.
  std::uint32_t Attach(CurlRequest& request);
  void Detach(CurlRequest& request);
  // Lets a paused transfer go on.
  void Resume(CurlRequest& request);
  // The easy handle's options that tie it to the pool's shared caches.
  void Share(CURL* easy);

  // What a drive waits for, besides the transfer's end.
  enum class Until {
    Sent,     // the connection is ready and the request went out
    Headers,  // the response's head is in
    Body,     // body bytes wait in the request's buffer
  };
  // Runs the pool until the request reaches `until`, its transfer ends, fails, times out
  // or is cancelled. Returns 0 or the failure's code (the request is then failed).
  std::uint32_t Drive(CurlRequest& request, Until until);
  // From any thread: a drive in progress looks at the cancel at once.
  void Wake();

  // A server asked `ssl` for a client certificate: marks the request on that connection.
  void ClientCertificateRequested(const SSL* ssl);

 private:
  void Reap();

  const CurlOptions& m_options;
  CURLM* m_multi = nullptr;
  CURLSH* m_share = nullptr;
  std::mutex m_shareLocks[CURL_LOCK_DATA_LAST];
  // Driving, attaching and detaching touch the multi handle, which is not thread-safe;
  // recursive because a failure inside a drive detaches.
  std::recursive_mutex m_drive;
  std::vector<CurlRequest*> m_attached;
};

}  // namespace skiff
