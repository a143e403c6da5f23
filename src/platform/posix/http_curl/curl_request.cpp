// One request of the libcurl transport and the callbacks libcurl calls while its hops
// run: response headers into the parser, the body into the fixed buffer (pausing the
// transfer while that is nearly full), and the progress marks the time-outs count from.
#include "platform/posix/http_curl/curl_request.h"

#include <string_view>

#include "platform/posix/http_curl/curl_pool.h"
#include "platform/posix/http_curl/redirect_policy.h"

namespace skiff {

namespace {

int SslIndex() {
  static const int index = SSL_CTX_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
  return index;
}

// The Windows stack fails a request when the server asks for a client certificate and
// none was set; this client never sets one.
int OnClientCertificate(SSL* ssl, X509**, EVP_PKEY**) {
  auto* pool = static_cast<CurlPool*>(SSL_CTX_get_ex_data(SSL_get_SSL_CTX(ssl), SslIndex()));
  if (pool != nullptr) pool->ClientCertificateRequested(ssl);
  return 0;
}

}  // namespace

CurlRequest::CurlRequest(CurlPool& pool, const CurlOptions& options, const std::atomic<bool>& cancelled)
    : CurlHandle(kKind), m_pool(pool), m_options(options), m_cancelled(cancelled) {}

CurlRequest::~CurlRequest() {
  Detach();
  if (easy != nullptr) curl_easy_cleanup(easy);
  curl_slist_free_all(headerList);
}

std::uint32_t CurlRequest::Fail(std::uint32_t code) {
  Detach();
  phase = Phase::Failed;
  failure = code;
  return code;
}

void CurlRequest::Detach() {
  if (attached) m_pool.Detach(*this);
  attached = false;
}

void CurlRequest::ResetHop() {
  prereqSeen = socketOpened = false;
  headers.Reset();
  response = ResponseHead{};
  connect = ResponseHead{};
  headersComplete = redirectPending = discardBody = false;
  transferDone = false;
  result = CURLE_OK;
  uploaded = 0;
  ring.Clear();
  paused = false;
}

size_t OnCurlHeader(char* data, size_t size, size_t count, void* request) {
  auto& r = *static_cast<CurlRequest*>(request);
  const size_t bytes = size * count;
  r.lastProgress = CurlRequest::Clock::now();
  if (r.headersComplete) return bytes;  // trailers of a chunked body
  switch (r.headers.Feed(std::string_view(data, bytes))) {
    case ResponseHeaderParser::Result::TooLarge:
      r.ownError = kErrorHeaderSizeOverflow;
      return 0;
    case ResponseHeaderParser::Result::Complete:
      break;
    default:
      return bytes;
  }
  if (!r.prereqSeen) {
    // Before the connection is ready, only a proxy's tunnel answer arrives.
    r.connect = r.headers.Take();
    return bytes;
  }
  r.response = r.headers.Take();
  r.headersComplete = true;
  if (IsRedirectStatus(r.response.status) && !r.response.location.empty()) {
    r.redirectPending = true;
    r.discardBody = true;
  }
  return bytes;
}

size_t OnCurlBody(char* data, size_t size, size_t count, void* request) {
  auto& r = *static_cast<CurlRequest*>(request);
  const size_t bytes = size * count;
  r.lastProgress = CurlRequest::Clock::now();
  if (r.discardBody) return bytes;
  if (r.ring.Free() < bytes) {
    r.paused = true;
    return CURL_WRITEFUNC_PAUSE;  // libcurl keeps this delivery until the caller reads
  }
  r.ring.Push(data, bytes);
  // Pause before the next delivery could fail to fit, so libcurl rarely has to hold one.
  if (r.ring.Free() < kReceiveBytes && !r.paused) {
    r.paused = true;
    curl_easy_pause(r.easy, CURLPAUSE_RECV);
  }
  return bytes;
}

int OnCurlProgress(void* request, curl_off_t, curl_off_t, curl_off_t, curl_off_t uploadedNow) {
  auto& r = *static_cast<CurlRequest*>(request);
  if (uploadedNow != r.uploaded) {
    r.uploaded = uploadedNow;
    r.lastProgress = CurlRequest::Clock::now();
  }
  return r.Cancelled() ? 1 : 0;
}

// Called for every request, on a new connection and on one taken from the pool alike.
int OnCurlPrerequest(void* request, char*, char*, int, int) {
  auto& r = *static_cast<CurlRequest*>(request);
  r.prereqSeen = true;
  r.lastProgress = CurlRequest::Clock::now();
  return CURL_PREREQFUNC_OK;
}

int OnCurlSocket(void* request, curl_socket_t, curlsocktype) {
  auto& r = *static_cast<CurlRequest*>(request);
  if (!r.socketOpened) {
    r.socketOpened = true;
    r.connectStart = CurlRequest::Clock::now();
  }
  return CURL_SOCKOPT_OK;
}

CURLcode OnCurlSslContext(CURL*, void* context, void* pool) {
  auto& owner = *static_cast<CurlPool*>(pool);
  auto* ctx = static_cast<SSL_CTX*>(context);
  SSL_CTX_set_ex_data(ctx, SslIndex(), &owner);
  SSL_CTX_set_client_cert_cb(ctx, OnClientCertificate);
  const std::string& extraCa = owner.Options().extraCaFile;
  if (!extraCa.empty() && SSL_CTX_load_verify_locations(ctx, extraCa.c_str(), nullptr) != 1)
    return CURLE_SSL_CACERT_BADFILE;
  return CURLE_OK;
}

}  // namespace skiff
