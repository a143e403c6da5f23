// The error text lookup: exact codes only, and the longest text fits one Error packet.
#include "http/http_error_text.h"

#include <string>

#include <gtest/gtest.h>

#include "core/text.h"
#include "http/winhttp_errors.h"

namespace skiff {
namespace {

// The lookup finds exact codes only: a listed code has its text, its neighbours none.
TEST(HttpErrorTextTest, OnlyListedCodesHaveATextAndNoNeighbourBorrowsOne) {
  EXPECT_EQ(std::u16string(HttpErrorText(kErrorNameNotResolved)), u"The server name cannot be resolved.");
  for (std::uint32_t code : {0u, 7u, 9u, 12001u, 12003u, 12008u, 854731u, 854734u, 0xFFFFFFFFu})
    EXPECT_EQ(HttpErrorText(code), nullptr) << code;
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
