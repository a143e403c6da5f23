// SHA-1 (FIPS 180-4): 64-byte blocks, 80 rounds, big-endian length padding.
#include "device/sha1.h"

#include <algorithm>
#include <cstring>

namespace skiff {

namespace {

std::uint32_t Rotl(std::uint32_t value, int bits) {
  return (value << bits) | (value >> (32 - bits));
}

std::uint32_t LoadBigEndian32(const std::uint8_t* bytes) {
  return (static_cast<std::uint32_t>(bytes[0]) << 24) | (static_cast<std::uint32_t>(bytes[1]) << 16) |
         (static_cast<std::uint32_t>(bytes[2]) << 8) | static_cast<std::uint32_t>(bytes[3]);
}

}  // namespace

Sha1::Sha1() : m_state{0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u} {}

void Sha1::Compress(const std::uint8_t block[64]) {
  std::uint32_t w[80];
  for (std::size_t t = 0; t < 16; ++t) w[t] = LoadBigEndian32(block + 4 * t);
  for (int t = 16; t < 80; ++t) w[t] = Rotl(w[t - 3] ^ w[t - 8] ^ w[t - 14] ^ w[t - 16], 1);

  std::uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3], e = m_state[4];
  for (int t = 0; t < 80; ++t) {
    std::uint32_t f;
    std::uint32_t k;
    if (t < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999u;
    } else if (t < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1u;
    } else if (t < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDCu;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6u;
    }
    const std::uint32_t temp = Rotl(a, 5) + f + e + k + w[t];
    e = d;
    d = c;
    c = Rotl(b, 30);
    b = a;
    a = temp;
  }
  m_state[0] += a;
  m_state[1] += b;
  m_state[2] += c;
  m_state[3] += d;
  m_state[4] += e;
}

void Sha1::Update(const void* data, std::size_t length) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  m_totalBytes += length;
  while (length > 0) {
    const std::size_t take = std::min(length, sizeof(m_block) - m_blockUsed);
    std::memcpy(m_block + m_blockUsed, bytes, take);
    m_blockUsed += take;
    bytes += take;
    length -= take;
    if (m_blockUsed == sizeof(m_block)) {
      Compress(m_block);
      m_blockUsed = 0;
    }
  }
}

void Sha1::Final(std::uint8_t digest[kSha1DigestBytes]) {
  const std::uint64_t bitLength = m_totalBytes * 8;
  // Padding: one 1 bit, zeros up to 56 mod 64, then the length as 64 bits big-endian.
  m_block[m_blockUsed++] = 0x80;
  if (m_blockUsed > 56) {
    std::memset(m_block + m_blockUsed, 0, sizeof(m_block) - m_blockUsed);
    Compress(m_block);
    m_blockUsed = 0;
  }
  std::memset(m_block + m_blockUsed, 0, 56 - m_blockUsed);
  for (int i = 0; i < 8; ++i) m_block[56 + i] = static_cast<std::uint8_t>(bitLength >> (56 - 8 * i));
  Compress(m_block);
  for (std::size_t i = 0; i < 5; ++i) {
    digest[4 * i] = static_cast<std::uint8_t>(m_state[i] >> 24);
    digest[4 * i + 1] = static_cast<std::uint8_t>(m_state[i] >> 16);
    digest[4 * i + 2] = static_cast<std::uint8_t>(m_state[i] >> 8);
    digest[4 * i + 3] = static_cast<std::uint8_t>(m_state[i]);
  }
}

void Sha1Digest(const void* data, std::size_t length, std::uint8_t* out, std::size_t outLength) {
  Sha1 sha;
  sha.Update(data, length);
  std::uint8_t digest[kSha1DigestBytes];
  sha.Final(digest);
  std::memcpy(out, digest, std::min(outLength, kSha1DigestBytes));
}

}  // namespace skiff
