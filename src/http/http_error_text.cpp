// The table of error texts sent to the handheld in Error packets and written to the log.
#include "http/http_error_text.h"

#include <algorithm>
#include <iterator>

#include "http/winhttp_errors.h"

namespace skiff {

namespace {

struct ErrorText {
  std::uint32_t code;
  const WideChar* text;
};

// Sorted by code for the lookup.
constexpr ErrorText kErrorTexts[] = {
    {kErrorNotEnoughMemory,
     u"Not enough memory was available to complete the requested operation. (Windows error code)"},
    {kErrorInvalidParameter, u"Invalid parameter"},
    {kErrorTimeout, u"The request has timed out."},
    {kErrorInternal, u"An internal error has occurred."},
    {kErrorInvalidUrl, u"The URL is invalid."},
    {kErrorUnrecognizedScheme, u"The URL scheme could not be recognized, or is not supported."},
    {kErrorNameNotResolved, u"The server name cannot be resolved."},
    {kErrorShutdown, u"The WinHTTP function support is being shut down or unloaded."},
    {kErrorLoginFailure, u"The login attempt failed."},
    {kErrorOperationCancelled,
     u"The operation was canceled, usually because the handle on which the request was operating was closed "
     u"before the operation completed."},
    {kErrorIncorrectHandleType, u"The type of handle supplied is incorrect for this operation."},
    {kErrorIncorrectHandleState,
     u"The requested operation cannot be carried out because the handle supplied is not in the correct "
     u"state."},
    {kErrorCannotConnect, u"Returned if connection to the server failed."},
    {kErrorConnectionError,
     u"The connection with the server has been reset or terminated, or an incompatible SSL protocol was "
     u"encountered. For example, WinHTTP 5.1 does not support SSL2 unless the client specifically enables "
     u"it."},
    {kErrorResendRequest,
     u"The application must call WinHttpSendRequest again due to a redirect or authentication challenge."},
    {kErrorClientCertNeeded, u"The secure HTTP server requires a client certificate."},
    {kErrorHeaderNotFound, u"The requested header could not be located."},
    {kErrorInvalidServerResponse, u"The server response could not be parsed."},
    {kErrorRedirectFailed,
     u"The redirection failed because either the scheme changed or all attempts made to redirect failed "
     u"(default is five attempts)."},
    {kErrorSecureFailure,
     u"One or more errors were found in the Secure Sockets Layer (SSL) certificate sent by the server."},
    {kErrorHeaderCountExceeded,
     u"Returned when a larger number of headers were present in a response than WinHTTP could receive."},
    {kErrorHeaderSizeOverflow,
     u"Returned by WinHttpReceiveResponse when the size of headers received exceeds the limit for the "
     u"request "
     u"handle."},
    {kErrorChunkedEncodingOverflow,
     u"Returned when an overflow condition is encountered in the course of parsing chunked encoding."},
    {kErrorResponseDrainOverflow,
     u"Returned when an incoming response exceeds an internal WinHTTP size limit."},
    {ERROR_CALL_OUT_OF_ORDER, u"Function call out of order"},
    {ERROR_HEADERS_TOO_LONG, u"Headers too long to fit in buffer"},
};

constexpr bool IsSortedByCode() {
  for (std::size_t i = 1; i < std::size(kErrorTexts); ++i) {
    if (kErrorTexts[i - 1].code >= kErrorTexts[i].code) return false;
  }
  return true;
}
static_assert(IsSortedByCode(), "the lookup needs the table sorted by code");
static_assert(std::size(kErrorTexts) == 26);

}  // namespace

const WideChar* HttpErrorText(std::uint32_t code) {
  const ErrorText* end = std::end(kErrorTexts);
  const ErrorText* found = std::lower_bound(std::begin(kErrorTexts), end, code,
                                            [](const ErrorText& e, std::uint32_t c) { return e.code < c; });
  return found != end && found->code == code ? found->text : nullptr;
}

}  // namespace skiff
