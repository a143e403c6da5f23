// The one message format on the channel: a 6-byte little-endian header (type, sequence,
// length) and up to 4000 payload bytes, held in memory as a fixed 4006-byte record.
#pragma once

#include <cstddef>
#include <cstdint>

namespace skiff {

inline constexpr std::size_t kPacketHeaderSize = 6;
inline constexpr std::size_t kMaxPayload = 4000;
inline constexpr std::size_t kPacketSize = kPacketHeaderSize + kMaxPayload;  // 4006

enum class PacketType : std::uint16_t {
  Ping = 1,
  Pong = 2,
  Error = 3,
  UserAgent = 4,
  Host = 5,
  Port = 6,
  Verb = 7,
  Path = 8,
  Secure = 9,
  Headers = 10,
  Body = 11,
  Send = 12,
  ResponseHeaders = 13,
  Read = 14,
  Reply = 15,
  Close = 16,
  LogMessage = 30,
};

// The record as it travels: the header fields are little-endian on the wire, and the
// accessors read and write them so regardless of the host's byte order.
struct Packet {
  std::uint8_t bytes[kPacketSize];

  std::uint16_t Type() const { return Get16(0); }
  std::uint16_t Sequence() const { return Get16(2); }
  std::uint16_t Length() const { return Get16(4); }
  void SetType(std::uint16_t value) { Put16(0, value); }
  void SetType(PacketType value) { Put16(0, static_cast<std::uint16_t>(value)); }
  void SetSequence(std::uint16_t value) { Put16(2, value); }
  void SetLength(std::uint16_t value) { Put16(4, value); }
  std::uint8_t* Payload() { return bytes + kPacketHeaderSize; }
  const std::uint8_t* Payload() const { return bytes + kPacketHeaderSize; }
  // Bytes on the wire: header + length (length is trusted here; see Dispatch).
  std::size_t WireSize() const { return kPacketHeaderSize + Length(); }

 private:
  std::uint16_t Get16(std::size_t at) const {
    return static_cast<std::uint16_t>(bytes[at] | (bytes[at + 1] << 8));
  }
  void Put16(std::size_t at, std::uint16_t value) {
    bytes[at] = static_cast<std::uint8_t>(value & 0xFF);
    bytes[at + 1] = static_cast<std::uint8_t>(value >> 8);
  }
};
static_assert(sizeof(Packet) == kPacketSize);

}  // namespace skiff
