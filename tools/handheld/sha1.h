// SHA-1 for the simulated handheld, which checks the desktop's answer to its password
// challenge against the digest of its own password.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace skiff::handheld {

using Sha1Digest = std::array<std::uint8_t, 20>;

Sha1Digest Sha1(const void* data, std::size_t size);
inline Sha1Digest Sha1(std::string_view text) {
  return Sha1(text.data(), text.size());
}

}  // namespace skiff::handheld
