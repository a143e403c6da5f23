// SHA-1 (FIPS 180-4) of a byte string: the answer to the handheld's password challenge
// is the 20-byte digest of the password.
#pragma once

#include <cstddef>
#include <cstdint>

namespace skiff {

inline constexpr std::size_t kSha1DigestBytes = 20;

// Incremental form, for callers that feed the message in pieces.
class Sha1 {
 public:
  Sha1();
  void Update(const void* data, std::size_t length);
  // Writes the 20-byte digest; the object must not be updated afterwards.
  void Final(std::uint8_t digest[kSha1DigestBytes]);

 private:
  void Compress(const std::uint8_t block[64]);

  std::uint32_t m_state[5];
  std::uint64_t m_totalBytes = 0;
  std::uint8_t m_block[64] = {};
  std::size_t m_blockUsed = 0;
};

// Writes the first min(outLength, 20) bytes of the SHA-1 digest of length bytes of data.
void Sha1Digest(const void* data, std::size_t length, std::uint8_t* out, std::size_t outLength);

}  // namespace skiff
