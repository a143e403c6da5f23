// The connection pool of the libcurl transport and the drive loop: the multi handle runs
// only while a call of the seam is in progress, and each finished transfer is handed to
// the request it belongs to, whichever request the drive was for.
#include "platform/posix/http_curl/curl_pool.h"

#include <algorithm>

#include "platform/posix/http_curl/curl_errors.h"
#include "platform/posix/http_curl/curl_request.h"

namespace skiff {

namespace {

// Connections kept open at most; beyond it libcurl closes the one idle longest. A
// handheld's pages come from a few hosts.
constexpr long kMaxPooledConnections = 16;

void LockShare(CURL*, curl_lock_data data, curl_lock_access, void* locks) {
  static_cast<std::mutex*>(locks)[data].lock();
}

void UnlockShare(CURL*, curl_lock_data data, void* locks) {
  static_cast<std::mutex*>(locks)[data].unlock();
}

}  // namespace

CURLcode CurlGlobalInit() {
  static const CURLcode result = curl_global_init(CURL_GLOBAL_DEFAULT);
  return result;
}

CurlPool::CurlPool(const CurlOptions& options) : m_options(options) {
  if (CurlGlobalInit() != CURLE_OK) return;
  m_multi = curl_multi_init();
  m_share = curl_share_init();
  if (m_multi == nullptr || m_share == nullptr) return;
  curl_multi_setopt(m_multi, CURLMOPT_MAXCONNECTS, kMaxPooledConnections);
  // The multi handle already shares connections and names among its transfers; TLS
  // sessions live in each easy handle unless a share holds them.
  curl_share_setopt(m_share, CURLSHOPT_LOCKFUNC, LockShare);
  curl_share_setopt(m_share, CURLSHOPT_UNLOCKFUNC, UnlockShare);
  curl_share_setopt(m_share, CURLSHOPT_USERDATA, m_shareLocks);
  curl_share_setopt(m_share, CURLSHOPT_SHARE, CURL_LOCK_DATA_SSL_SESSION);
}

CurlPool::~CurlPool() {
  // Every request is gone by now; this closes the idle connections without waiting on
  // any peer.
  if (m_multi != nullptr) curl_multi_cleanup(m_multi);
  if (m_share != nullptr) curl_share_cleanup(m_share);
}

void CurlPool::Share(CURL* easy) {
  curl_easy_setopt(easy, CURLOPT_SHARE, m_share);
  curl_easy_setopt(easy, CURLOPT_SSL_CTX_FUNCTION, OnCurlSslContext);
  curl_easy_setopt(easy, CURLOPT_SSL_CTX_DATA, this);
}

std::uint32_t CurlPool::Attach(CurlRequest& request) {
  std::lock_guard lock(m_drive);
  if (curl_multi_add_handle(m_multi, request.easy) != CURLM_OK) return kErrorInternal;
  m_attached.push_back(&request);
  request.attached = true;
  return 0;
}

void CurlPool::Detach(CurlRequest& request) {
  std::lock_guard lock(m_drive);
  curl_multi_remove_handle(m_multi, request.easy);
  m_attached.erase(std::remove(m_attached.begin(), m_attached.end(), &request), m_attached.end());
}

void CurlPool::Resume(CurlRequest& request) {
  std::lock_guard lock(m_drive);
  curl_easy_pause(request.easy, CURLPAUSE_CONT);
}

void CurlPool::Wake() {
  if (m_multi != nullptr) curl_multi_wakeup(m_multi);
}

void CurlPool::ClientCertificateRequested(const SSL* ssl) {
  for (CurlRequest* request : m_attached) {
    curl_tlssessioninfo* info = nullptr;
    if (curl_easy_getinfo(request->easy, CURLINFO_TLS_SSL_PTR, &info) == CURLE_OK && info != nullptr &&
        info->internals == ssl)
      request->clientCertRequested = true;
  }
}

void CurlPool::Reap() {
  int queued = 0;
  while (CURLMsg* message = curl_multi_info_read(m_multi, &queued)) {
    if (message->msg != CURLMSG_DONE) continue;
    CurlRequest* request = nullptr;
    curl_easy_getinfo(message->easy_handle, CURLINFO_PRIVATE, &request);
    if (request == nullptr) continue;
    CurlRequest& r = *request;
    r.transferDone = true;
    r.result = message->data.result;
    // A proxy that refused the tunnel: its answer is the response, as on Windows.
    if (r.result != CURLE_OK && !r.prereqSeen && r.connect.status >= 300 && !r.connect.raw.empty()) {
      r.response = std::move(r.connect);
      r.headersComplete = true;
      r.result = CURLE_OK;
    }
  }
}

std::uint32_t CurlPool::Drive(CurlRequest& r, Until until) {
  using Clock = CurlRequest::Clock;
  std::lock_guard lock(m_drive);
  // The send/receive allowance counts from the start of each call, like the Windows
  // stack's per-operation time-outs.
  if (r.prereqSeen) r.lastProgress = Clock::now();
  auto done = [&] {
    switch (until) {
      case Until::Sent:
        return r.prereqSeen || r.headersComplete;
      case Until::Headers:
        return r.headersComplete;
      case Until::Body:
        return r.ring.Size() != 0;
    }
    return false;
  };
  auto settle = [&]() -> std::uint32_t {
    if (r.Cancelled()) return r.Fail(kErrorOperationCancelled);
    if (r.clientCertRequested) return r.Fail(kErrorClientCertNeeded);
    if (r.ownError != 0) return r.Fail(r.ownError);
    return 0;
  };
  auto finished = [&]() { return done() || r.transferDone; };
  auto finish = [&]() -> std::uint32_t {
    if (done() || r.result == CURLE_OK) return 0;
    std::uint32_t code = WinHttpCodeFor(r.result);
    if (r.result == CURLE_UNSUPPORTED_PROTOCOL && r.prereqSeen)
      code = kErrorInvalidServerResponse;  // HTTP/0.9
    return r.Fail(code);
  };

  for (;;) {
    if (std::uint32_t code = settle()) return code;
    if (finished()) return finish();
    int running = 0;
    CURLMcode performed = curl_multi_perform(m_multi, &running);
    if (performed != CURLM_OK)
      return r.Fail(performed == CURLM_OUT_OF_MEMORY ? kErrorNotEnoughMemory : kErrorInternal);
    Reap();
    if (std::uint32_t code = settle()) return code;
    if (finished()) return finish();

    Clock::time_point now = Clock::now();
    Clock::time_point deadline = Clock::time_point::max();
    if (r.prereqSeen)
      deadline = r.lastProgress + m_options.sendReceiveTimeout;
    else if (r.socketOpened)
      deadline = r.connectStart + m_options.connectTimeout;
    if (now >= deadline) return r.Fail(kErrorTimeout);
    long waitMs = 1000;
    if (deadline != Clock::time_point::max())
      waitMs =
          std::clamp<long>(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count(), 1, 1000);
    curl_multi_poll(m_multi, nullptr, 0, static_cast<int>(waitMs), nullptr);
  }
}

}  // namespace skiff
