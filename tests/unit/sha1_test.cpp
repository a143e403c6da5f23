// SHA-1 against known digests and, at every length around the padding edges, against
// OpenSSL: whole, fed in pieces, and cut short to the caller's buffer.
#include "device/sha1.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
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
  std::memset(out, 0xEE, sizeof out);
  Sha1Digest(message.data(), message.size(), out, outBytes);
  return Hex(out, std::min<std::size_t>(outBytes, 20) + 1);  // and the byte after, left alone
}

TEST(Sha1, KnownDigestsALongInputAndAShortBuffer) {
  EXPECT_EQ(Digest(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709ee");
  EXPECT_EQ(Digest("abc"), "a9993e364706816aba3e25717850c26c9cd0d89dee");
  EXPECT_EQ(Digest(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016fee");
  EXPECT_EQ(Digest("abc", 7), "a9993e36470681ee");
  EXPECT_EQ(Digest("abc", 23), "a9993e364706816aba3e25717850c26c9cd0d89dee") << "only 20 bytes are written";
}

TEST(Sha1, EveryLengthAroundThePaddingEdgesAgreesWithOpenSslWholeAndInPieces) {
  for (std::size_t length = 0; length <= 200; ++length) {
    std::string message(length, '\0');
    for (std::size_t i = 0; i < length; ++i) message[i] = static_cast<char>(i * 131 + length);
    std::uint8_t expected[20], pieced[20];
    EVP_Digest(message.data(), length, expected, nullptr, EVP_sha1(), nullptr);
    EXPECT_EQ(Digest(message), Hex(expected, 20) + "ee") << "length " << length;

    Sha1 pieces;  // pieces of 0, 1, 2, ... bytes, so that each crosses a block edge somewhere new
    for (std::size_t at = 0, take = 0; at < length; at += take++)
      pieces.Update(message.data() + at, std::min(take, length - at));
    pieces.Final(pieced);
    EXPECT_EQ(Hex(pieced, 20), Hex(expected, 20)) << "length " << length << " in pieces";
  }
}

}  // namespace
}  // namespace skiff
