// SHA-1, the password challenge's answer, against OpenSSL at every length around the
// padding edges: whole, fed in pieces, and cut short to the caller's buffer.
#include "device/sha1.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>

#include <gtest/gtest.h>
#include <openssl/evp.h>

namespace skiff {
namespace {

TEST(Sha1, EveryLengthAroundThePaddingEdgesAgreesWithOpenSslWholeInPiecesAndCutShort) {
  for (std::size_t length = 0; length <= 200; ++length) {
    std::string message(length, '\0');
    for (std::size_t i = 0; i < length; ++i) message[i] = static_cast<char>(i * 131 + length);
    std::uint8_t expected[20], whole[24], pieced[20], cut[8];
    EVP_Digest(message.data(), length, expected, nullptr, EVP_sha1(), nullptr);
    std::memset(whole, 0xEE, sizeof whole);
    std::memset(cut, 0xEE, sizeof cut);
    Sha1Digest(message.data(), length, whole, 24);  // only 20 bytes are written
    EXPECT_EQ(std::memcmp(whole, expected, 20), 0) << "length " << length;
    Sha1Digest(message.data(), length, cut, 7);
    EXPECT_EQ(std::memcmp(cut, expected, 7), 0) << "length " << length;
    EXPECT_TRUE(whole[20] == 0xEE && cut[7] == 0xEE) << "a byte past the digest or the buffer was written";

    Sha1 pieces;  // pieces of 0, 1, 2, ... bytes, so that each crosses a block edge somewhere new
    for (std::size_t at = 0, take = 0; at < length; at += take++)
      pieces.Update(message.data() + at, std::min(take, length - at));
    pieces.Final(pieced);
    EXPECT_EQ(std::memcmp(pieced, expected, 20), 0) << "length " << length << " in pieces";
  }
}

}  // namespace
}  // namespace skiff
