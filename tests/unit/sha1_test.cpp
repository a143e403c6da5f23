// SHA-1 against the FIPS 180 test vectors and against OpenSSL on random inputs, fed in
// one piece and in random pieces.
#include "device/sha1.h"

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

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

std::string DigestHex(const std::string& message) {
  std::uint8_t digest[20];
  Sha1Digest(message.data(), message.size(), digest, sizeof digest);
  return Hex(digest, sizeof digest);
}

std::string OpenSslHex(const std::vector<std::uint8_t>& message) {
  std::uint8_t digest[20];
  unsigned int size = 0;
  EVP_Digest(message.data(), message.size(), digest, &size, EVP_sha1(), nullptr);
  return Hex(digest, size);
}

TEST(Sha1, FipsTestVectors) {
  EXPECT_EQ(DigestHex("abc"), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(DigestHex(""), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(DigestHex("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq"),
            "84983e441c3bd26ebaae4aa1f95129e5e54670f1");
  EXPECT_EQ(
      DigestHex("abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmn"
                "opqrsmnopqrstnopqrstu"),
      "a49b2446a02c645bf419f995b67091253a04a259");
  EXPECT_EQ(DigestHex(std::string(1000000, 'a')), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(Sha1, PaddingBoundariesAndRandomInputsAgreeWithOpenSsl) {
  std::mt19937 random(20261206);
  // Every length around the one- and two-block padding edges (55, 56, 63, 64, 119, 120),
  // then longer random ones.
  std::vector<std::size_t> lengths;
  for (std::size_t length = 0; length <= 200; ++length) lengths.push_back(length);
  for (int i = 0; i < 50; ++i)
    lengths.push_back(std::uniform_int_distribution<std::size_t>(200, 20000)(random));

  for (std::size_t length : lengths) {
    std::vector<std::uint8_t> message(length);
    for (auto& byte : message) byte = static_cast<std::uint8_t>(random());
    const std::string expected = OpenSslHex(message);

    std::uint8_t whole[20];
    Sha1Digest(message.data(), message.size(), whole, sizeof whole);
    ASSERT_EQ(Hex(whole, 20), expected) << "length " << length;

    // The same message fed in random pieces, empty ones included.
    Sha1 pieces;
    std::size_t at = 0;
    while (at < length) {
      const std::size_t take =
          std::min(length - at, std::uniform_int_distribution<std::size_t>(0, 130)(random));
      pieces.Update(message.data() + at, take);
      at += take;
    }
    std::uint8_t pieced[20];
    pieces.Final(pieced);
    ASSERT_EQ(Hex(pieced, 20), expected) << "length " << length << " fed in pieces";
  }
}

TEST(Sha1, ShortOutputGetsTheDigestsFirstBytesOnly) {
  std::array<std::uint8_t, 24> out;
  out.fill(0xEE);
  Sha1Digest("abc", 3, out.data(), 7);
  EXPECT_EQ(Hex(out.data(), 7), "a9993e36470681");
  for (std::size_t i = 7; i < out.size(); ++i) EXPECT_EQ(out[i], 0xEE) << "byte " << i << " was written";

  out.fill(0xEE);
  Sha1Digest("abc", 3, out.data(), out.size());
  EXPECT_EQ(Hex(out.data(), 20), "a9993e364706816aba3e25717850c26c9cd0d89d");
  for (std::size_t i = 20; i < out.size(); ++i) EXPECT_EQ(out[i], 0xEE) << "byte " << i << " was written";
}

}  // namespace
}  // namespace skiff
