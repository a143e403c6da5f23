// SHA-1 (FIPS 180-1) in one pass over a buffer; enough for a password digest.
#include "sha1.h"

#include <cstring>

namespace skiff::handheld {

namespace {

std::uint32_t Rotate(std::uint32_t value, int bits) {
  return (value << bits) | (value >> (32 - bits));
}

void Block(std::uint32_t state[5], const std::uint8_t* block) {
  std::uint32_t w[80];
  for (int i = 0; i < 16; ++i) {
    w[i] = (static_cast<std::uint32_t>(block[4 * i]) << 24) |
           (static_cast<std::uint32_t>(block[4 * i + 1]) << 16) |
           (static_cast<std::uint32_t>(block[4 * i + 2]) << 8) | block[4 * i + 3];
  }
  for (int i = 16; i < 80; ++i) w[i] = Rotate(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
  std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3], e = state[4];
  for (int i = 0; i < 80; ++i) {
    std::uint32_t f, k;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDC;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6;
    }
    const std::uint32_t next = Rotate(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = Rotate(b, 30);
    b = a;
    a = next;
  }
  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
  state[4] += e;
}

}  // namespace

Sha1Digest Sha1(const void* data, std::size_t size) {
  std::uint32_t state[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  std::size_t left = size;
  for (; left >= 64; left -= 64, bytes += 64) Block(state, bytes);
  // The tail, the 0x80 marker and the bit length, in one or two blocks.
  std::uint8_t tail[128] = {};
  if (left != 0) std::memcpy(tail, bytes, left);
  tail[left] = 0x80;
  const std::size_t tailSize = left < 56 ? 64 : 128;
  const std::uint64_t bits = static_cast<std::uint64_t>(size) * 8;
  for (int i = 0; i < 8; ++i) tail[tailSize - 1 - i] = static_cast<std::uint8_t>(bits >> (8 * i));
  Block(state, tail);
  if (tailSize == 128) Block(state, tail + 64);
  Sha1Digest digest{};
  for (int i = 0; i < 5; ++i) {
    for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<std::uint8_t>(state[i] >> (24 - 8 * j));
  }
  return digest;
}

}  // namespace skiff::handheld
