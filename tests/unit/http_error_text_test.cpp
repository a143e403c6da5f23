// The error text table: exact texts for the listed codes, nothing for any other code.
#include "http/http_error_text.h"

#include <string>

#include <gtest/gtest.h>

#include "core/text.h"
#include "http/http_client.h"

namespace skiff {
namespace {

TEST(HttpErrorTextTest, ListedCodesHaveTheirTextsAndOthersNone) {
  EXPECT_EQ(std::u16string(HttpErrorText(12007)), u"The server name cannot be resolved.");
  EXPECT_EQ(std::u16string(HttpErrorText(854732)), u"Function call out of order");
  EXPECT_EQ(std::u16string(HttpErrorText(ERROR_HEADERS_TOO_LONG)), u"Headers too long to fit in buffer");
  EXPECT_EQ(std::u16string(HttpErrorText(87)), u"Invalid parameter");
  EXPECT_EQ(std::u16string(HttpErrorText(8)),
            u"Not enough memory was available to complete the requested operation. (Windows error code)");
  EXPECT_EQ(std::u16string(HttpErrorText(12017)),
            u"The operation was canceled, usually because the handle on which the request was operating was "
            u"closed before the operation completed.");

  const std::uint32_t listed[] = {8,     87,    12002, 12004, 12005, 12006, 12007,  12012, 12015,
                                  12017, 12018, 12019, 12029, 12030, 12032, 12044,  12150, 12152,
                                  12156, 12175, 12181, 12182, 12183, 12184, 854732, 854733};
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
  const WideChar* text = HttpErrorText(12030);
  ASSERT_NE(text, nullptr);
  const std::string utf8 = WideToUtf8String(text);
  EXPECT_EQ(utf8.substr(0, 40), "The connection with the server has been ");
  EXPECT_LT(utf8.size() + 1, 3996u);
}

}  // namespace
}  // namespace skiff
