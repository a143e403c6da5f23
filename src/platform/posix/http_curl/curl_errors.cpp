// libcurl results to the Windows and WinHTTP numbers; docs/http-errors.md lists the map
// with the reasons behind the less obvious rows.
#include "platform/posix/http_curl/curl_errors.h"

namespace skiff {

std::uint32_t WinHttpCodeFor(CURLcode result) {
  switch (result) {
    case CURLE_OK:
      return 0;
    case CURLE_UNSUPPORTED_PROTOCOL:
      return kErrorUnrecognizedScheme;
    case CURLE_URL_MALFORMAT:
      return kErrorInvalidUrl;
    case CURLE_COULDNT_RESOLVE_PROXY:
    case CURLE_COULDNT_RESOLVE_HOST:
      return kErrorNameNotResolved;
    case CURLE_COULDNT_CONNECT:
    case CURLE_NO_CONNECTION_AVAILABLE:
    case CURLE_PROXY:
      return kErrorCannotConnect;
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_GOT_NOTHING:
    case CURLE_BAD_CONTENT_ENCODING:
      return kErrorInvalidServerResponse;
    case CURLE_PARTIAL_FILE:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_UPLOAD_FAILED:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
      return kErrorConnectionError;
    case CURLE_OUT_OF_MEMORY:
      return kErrorNotEnoughMemory;
    case CURLE_OPERATION_TIMEDOUT:
      return kErrorTimeout;
    case CURLE_TOO_MANY_REDIRECTS:
      return kErrorRedirectFailed;
    case CURLE_ABORTED_BY_CALLBACK:
      return kErrorOperationCancelled;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
      return kErrorSecureFailure;
    case CURLE_SSL_CLIENTCERT:
      return kErrorClientCertNeeded;
    case CURLE_BAD_FUNCTION_ARGUMENT:
      return kErrorInvalidParameter;
    default:
      return kErrorInternal;
  }
}

}  // namespace skiff
