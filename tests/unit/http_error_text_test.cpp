// The error text table: exact texts for the listed codes, nothing for any other code.
#include "http/http_error_text.h"

#include <string>

#include <gtest/gtest.h>

#include "core/text.h"
#include "http/winhttp_errors.h"

namespace skiff {
namespace {

TEST(HttpErrorTextTest, ListedCodesHaveTheirTextsAndOthersNone) {
  EXPECT_EQ(std::u16string(HttpErrorText(kErrorNameNotResolved)), u"The server name cannot be resolved.");
  EXPECT_EQ(std::u16string(HttpErrorText(ERROR_CALL_OUT_OF_ORDER)), u"Function call out of order");
  EXPECT_EQ(std::u16string(HttpErrorText(ERROR_HEADERS_TOO_LONG)), u"Headers too long to fit in buffer");
  EXPECT_EQ(std::u16string(HttpErrorText(kErrorInvalidParameter)), u"Invalid parameter");
  EXPECT_EQ(std::u16string(HttpErrorText(kErrorNotEnoughMemory)),
            u"Not enough memory was available to complete the requested operation. (Windows error code)");
  EXPECT_EQ(std::u16string(HttpErrorText(kErrorOperationCancelled)),
            u"The operation was canceled, usually because the handle on which the request was operating was "
            u"closed before the operation completed.");

  const std::uint32_t listed[] = {kErrorNotEnoughMemory,
                                  kErrorInvalidParameter,
                                  kErrorTimeout,
                                  kErrorInternal,
                                  kErrorInvalidUrl,
                                  kErrorUnrecognizedScheme,
                                  kErrorNameNotResolved,
                                  kErrorShutdown,
                                  kErrorLoginFailure,
                                  kErrorOperationCancelled,
                                  kErrorIncorrectHandleType,
                                  kErrorIncorrectHandleState,
                                  kErrorCannotConnect,
                                  kErrorConnectionError,
                                  kErrorResendRequest,
                                  kErrorClientCertNeeded,
                                  kErrorHeaderNotFound,
                                  kErrorInvalidServerResponse,
                                  kErrorRedirectFailed,
                                  kErrorSecureFailure,
                                  kErrorHeaderCountExceeded,
                                  kErrorHeaderSizeOverflow,
                                  kErrorChunkedEncodingOverflow,
                                  kErrorResponseDrainOverflow,
                                  ERROR_CALL_OUT_OF_ORDER,
                                  ERROR_HEADERS_TOO_LONG};
  for (std::uint32_t code : listed) {
    ASSERT_NE(HttpErrorText(code), nullptr) << code;
    EXPECT_GT(WideLength(HttpErrorText(code)), 0u) << code;
  }
  // No ranges and no defaults: neighbours and other codes have nothing.
  for (std::uint32_t code : {0u, 1u, 7u, 9u, 86u, 88u, 122u, 12001u, 12003u, 12008u, 12151u, 12185u, 854731u,
                             854734u, 0xFFFFFFFFu}) {
    EXPECT_EQ(HttpErrorText(code), nullptr) << code;
  }
}

TEST(HttpErrorTextTest, LongestTextFitsAfterTheCodeInOnePacket) {
  const WideChar* text = HttpErrorText(kErrorConnectionError);
  ASSERT_NE(text, nullptr);
  const std::string utf8 = WideToUtf8String(text);
  EXPECT_EQ(utf8.substr(0, 40), "The connection with the server has been ");
  EXPECT_LT(utf8.size() + 1, 3996u);
}

}  // namespace
}  // namespace skiff
