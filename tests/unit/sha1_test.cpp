// SHA-1 against known digests and, around the padding edges, against OpenSSL: whole, fed
// in pieces, and cut short to the caller's buffer.
#include "device/sha1.h"

#include <algorithm>
#include <cstdint>
#include <iterator>
#include <string>

#include <gtest/gtest.h>
#include <openssl/evp.h>

namespace skiff {
namespace {

std::string Hex(const std::uint8_t* bytes, std::size_t count) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (std::size_t i = 0; i < count; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0xF];
  }
  return text;
}

std::string Digest(const std::string& message, std::size_t outBytes = 20) {
  std::uint8_t out[24];
  std::fill(std::begin(out), std::end(out), 0xEE);
  Sha1Digest(message.data(), message.size(), out, outBytes);
  return Hex(out, sizeof out);
}

TEST(Sha1, KnownDigestsAndALongInput) {
  const std::string untouched = "eeeeeeee";
  EXPECT_EQ(Digest(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709" + untouched);
  EXPECT_EQ(Digest("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d" + untouched);
  EXPECT_EQ(Digest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1" + untouched);
  EXPECT_EQ(Digest(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f" + untouched);
  EXPECT_EQ(Digest("abc", 7), "a9993e36470681" + std::string(34, 'e'))
      << "a short buffer gets the first bytes";
}

TEST(Sha1, EveryLengthAroundThePaddingEdgesAgreesWithOpenSslWholeAndInPieces) {
  for (std::size_t length = 0; length <= 200; ++length) {
    std::string message(length, '\0');
    for (std::size_t i = 0; i < length; ++i) message[i] = static_cast<char>(i * 131 + length);
    std::uint8_t expected[20];
    unsigned int size = 0;
    EVP_Digest(message.data(), length, expected, &size, EVP_sha1(), nullptr);
    EXPECT_EQ(Digest(message), Hex(expected, 20) + "eeeeeeee") << "length " << length;

    Sha1 pieces;  // pieces of 0, 1, 2, ... bytes, so each crosses the block edge somewhere new
    for (std::size_t at = 0, take = 0; at < length; at += take, ++take)
      pieces.Update(message.data() + at, std::min(take, length - at));
    std::uint8_t pieced[20];
    pieces.Final(pieced);
    EXPECT_EQ(Hex(pieced, 20), Hex(expected, 20)) << "length " << length << " in pieces";
  }
}

}  // namespace
}  // namespace skiff
