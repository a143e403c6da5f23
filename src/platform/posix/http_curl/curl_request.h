// One request of the libcurl transport: what it was opened with, the hop in progress, the
// response being received and the body buffer between libcurl and the caller's reads,
// and the libcurl callbacks that fill them.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <curl/curl.h>

#include "platform/posix/http_curl/byte_ring.h"
#include "platform/posix/http_curl/curl_handles.h"
#include "platform/posix/http_curl/curl_transport.h"
#include "platform/posix/http_curl/response_headers.h"

namespace skiff {

class CurlPool;

// libcurl receives up to 64 KiB at a time, so a fast server's body costs one receive per
// 16 reads of 4000 bytes rather than one per 4, and one delivery is at most that much.
// The buffer holds 4 deliveries (256 KiB): the transfer pauses only when it is nearly
// full, so libcurl never has to keep a delivery of its own, and the pause-and-resume
// cycle (in which libcurl sets up its socket bookkeeping again, with a few allocations)
// comes once per 64 reads.
inline constexpr std::size_t kReceiveBytes = std::size_t{64} * 1024;
inline constexpr std::size_t kBodyBufferBytes = 4 * kReceiveBytes;
// The Windows stack refuses a response whose headers pass 64 KiB.
inline constexpr std::size_t kMaxResponseHeaderBytes = std::size_t{64} * 1024;

struct CurlRequest : CurlHandle {
  using Clock = std::chrono::steady_clock;
  static constexpr Kind kKind = Kind::Request;
  enum class Phase { Opened, Sending, Received, Failed };

  CurlRequest(CurlPool& pool, const CurlOptions& options, const std::atomic<bool>& cancelled);
  ~CurlRequest() override;

  // Ends the transfer for good and remembers why, so every later call answers the same.
  std::uint32_t Fail(std::uint32_t code);
  // Takes the transfer out of the pool: a finished one leaves its connection there for
  // the next request, an unfinished one closes it.
  void Detach();
  // Forgets the response of the previous hop before the next one starts.
  void ResetHop();
  bool Cancelled() const { return m_cancelled.load(); }

  CurlPool& m_pool;
  const CurlOptions& m_options;
  const std::atomic<bool>& m_cancelled;
  std::shared_ptr<CurlConnection> connection;

  // What the request was opened with.
  std::string verb;
  std::string target;  // the path as given, sent as it is on the first hop
  bool secure = false;
  std::string accept;  // the Accept header's value; empty: none is sent
  std::vector<std::string> userHeaders;
  std::string body;
  bool sendsBody = false;

  // The easy handle is this request's alone, and so is the cookie store inside it: a
  // cookie set on one hop goes with the later hops of this fetch and with no other.
  CURL* easy = nullptr;
  bool attached = false;
  curl_slist* headerList = nullptr;
  Phase phase = Phase::Opened;
  std::uint32_t failure = 0;

  // The hop in progress: its URL, method and the transfer's progress.
  std::string url;
  std::string hopVerb;
  bool hopSecure = false;
  bool hopBody = false;
  bool firstHop = true;
  int redirects = 0;
  bool prereqSeen = false;
  bool socketOpened = false;
  Clock::time_point connectStart;
  Clock::time_point lastProgress;
  curl_off_t uploaded = 0;
  bool transferDone = false;
  CURLcode result = CURLE_OK;
  std::uint32_t ownError = 0;  // a limit of ours that stopped the transfer
  bool clientCertRequested = false;

  // The response being received, and a proxy's answer to the tunnel request, which
  // precedes the connection proper.
  ResponseHeaderParser headers{kMaxResponseHeaderBytes};
  ResponseHead response;
  ResponseHead connect;
  bool headersComplete = false;
  bool redirectPending = false;
  bool discardBody = false;

  ByteRing ring{kBodyBufferBytes};
  bool paused = false;
};

// The callbacks a hop installs on the easy handle; each gets the request as its data.
size_t OnCurlHeader(char* data, size_t size, size_t count, void* request);
size_t OnCurlBody(char* data, size_t size, size_t count, void* request);
int OnCurlProgress(void* request, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploadedNow);
int OnCurlPrerequest(void* request, char*, char*, int, int);
int OnCurlSocket(void* request, curl_socket_t, curlsocktype);
// Sets up a new TLS connection's context; its data is the pool, since the connection
// outlives the request that opened it.
CURLcode OnCurlSslContext(CURL* easy, void* context, void* pool);

}  // namespace skiff
