// Packets as the channel carries them, built for tests: a 6-byte little-endian header
// (type, sequence, payload length), then the payload; and the received record the
// dispatcher reads them from.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/packet.h"

namespace skiff::testing {

using Bytes = std::vector<std::uint8_t>;

inline Bytes AsBytes(std::string_view text) {
  return {text.begin(), text.end()};
}

// Writes the packet into bytes, reusing its storage: nothing is allocated when it has room.
inline void EncodePacket(std::uint16_t type, std::uint16_t sequence, std::string_view payload, Bytes& bytes) {
  bytes.resize(kPacketHeaderSize + payload.size());
  const std::uint16_t fields[3] = {type, sequence, static_cast<std::uint16_t>(payload.size())};
  for (std::size_t i = 0; i < kPacketHeaderSize; ++i)
    bytes[i] = static_cast<std::uint8_t>(fields[i / 2] >> (8 * (i % 2)));
  std::copy(payload.begin(), payload.end(), bytes.begin() + kPacketHeaderSize);
}

inline Bytes PacketBytes(std::uint16_t type, std::uint16_t sequence, std::string_view payload = {}) {
  Bytes bytes;
  EncodePacket(type, sequence, payload, bytes);
  return bytes;
}
inline Bytes PacketBytes(PacketType type, std::uint16_t sequence, std::string_view payload = {}) {
  return PacketBytes(static_cast<std::uint16_t>(type), sequence, payload);
}

// The little-endian bytes of a 32-bit code, as Error and status replies carry it.
inline std::string Le32(std::uint32_t value) {
  std::string bytes(4, '\0');
  for (int i = 0; i < 4; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
  return bytes;
}

// A packet record as the channel read leaves it for the dispatcher, and the count that arrived.
struct Received {
  Packet packet = {};
  std::size_t bytes = 0;
};

inline Received MakePacket(std::uint16_t type, std::uint16_t sequence, std::string_view payload = {}) {
  const Bytes wire = PacketBytes(type, sequence, payload);
  Received r;
  std::memcpy(r.packet.bytes, wire.data(), std::min(wire.size(), sizeof r.packet.bytes));
  r.bytes = wire.size();
  return r;
}
inline Received MakePacket(PacketType type, std::uint16_t sequence, std::string_view payload = {}) {
  return MakePacket(static_cast<std::uint16_t>(type), sequence, payload);
}

}  // namespace skiff::testing
