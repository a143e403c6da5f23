// The USB link's wire format, shared by the desktop's device manager and the simulated
// handheld: frame kinds, an incremental bounded frame reader, and the ATTACH body.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace skiff::usblink {

inline constexpr std::size_t kFrameHeaderSize = 4;
inline constexpr std::size_t kMaxFrameBody = 8192;
inline constexpr std::size_t kMaxFrameSize = kFrameHeaderSize + kMaxFrameBody;
// A handheld's DATA carries one packet of 1 to 4006 bytes; the desktop's at least a
// packet header of 6 bytes.
inline constexpr std::size_t kMaxDataBody = 4006;
inline constexpr std::size_t kMinDesktopDataBody = 6;
inline constexpr std::size_t kAnswerSize = 20;
inline constexpr std::int32_t kMaxAttempts = 10;

enum class FrameKind : std::uint8_t {
  // handheld to desktop
  Attach = 0x01,
  Opened = 0x02,
  Refused = 0x03,
  Challenge = 0x04,
  Wiped = 0x05,
  Data = 0x10,
  Close = 0x11,
  // desktop to handheld
  Open = 0x81,
  Answer = 0x82,
  Cancel = 0x83,
  DesktopData = 0x90,
  DesktopClose = 0x91,
};

// Which end reads the frames: each end accepts only the kinds the other end sends.
enum class Direction { ToDesktop, ToHandheld };

// The name of a kind as this page writes it ("ATTACH", "DATA", ...), or null when the
// byte is no kind at all.
const char* FrameKindName(std::uint8_t kind);

// Fills the 4-byte header of a frame.
void EncodeFrameHeader(std::uint8_t header[kFrameHeaderSize], FrameKind kind, std::uint16_t length);

// Checks a whole frame as the receiving end must: a known kind for that direction, the
// reserved byte 0, a length within bounds, and a body that parses for its kind. Returns
// true or false with a reason fit for a log line.
bool CheckFrame(Direction direction, std::uint8_t kind, std::uint8_t reserved, const std::uint8_t* body,
                std::size_t length, std::string* reason);

struct FrameView {
  FrameKind kind;
  const std::uint8_t* body;
  std::size_t length;
};

// Reads frames from a byte stream that arrives in pieces of any size. The buffer is
// fixed (two whole frames' worth), so a peer can make it neither grow nor read out of
// bounds. Once it has refused a frame it stays refused: the stream has lost its framing.
class FrameReader {
 public:
  enum class Result { Frame, NeedMore, Bad };

  explicit FrameReader(Direction direction);
  FrameReader(const FrameReader&) = delete;
  FrameReader& operator=(const FrameReader&) = delete;

  // Room to receive into. Once Next() has handed out every whole frame, this is never
  // less than one frame's worth, so a partial frame can always be completed.
  std::uint8_t* FreeSpace();
  std::size_t FreeSize() const;
  // count bytes were written at FreeSpace().
  void Commit(std::size_t count);
  // Copies as many of the bytes as fit (what FreeSize allows); returns how many.
  std::size_t Feed(const std::uint8_t* data, std::size_t count);

  // The next whole frame. A frame's body stays valid until the next call of any method.
  Result Next(FrameView& frame);

  // Why the stream was refused (after Next returned Bad).
  const std::string& Error() const { return m_error; }
  // Bytes received but not yet handed out as frames.
  std::size_t Pending() const { return m_end - m_start; }

 private:
  void Compact();

  static constexpr std::size_t kCapacity = 2 * kMaxFrameSize;
  Direction m_direction;
  std::vector<std::uint8_t> m_buffer;  // kCapacity bytes, allocated once
  std::size_t m_start = 0;             // first byte not handed out
  std::size_t m_end = 0;               // one past the last byte received
  bool m_bad = false;
  std::string m_error;
};

// One device property as ATTACH carries it: type 1 is a 32-bit signed integer, type 2
// a UTF-8 text.
struct DeviceProperty {
  enum class Type : std::uint8_t { Integer = 1, Text = 2 };
  std::string name;
  Type type = Type::Integer;
  std::int32_t integer = 0;
  std::string text;

  static DeviceProperty MakeInteger(std::string name, std::int32_t value);
  static DeviceProperty MakeText(std::string name, std::string value);
};

// The ATTACH body: u16 count, then per property u16 name length, name, u8 type, value.
// Decoding fails with a reason when the body is short, holds an unknown type or has
// bytes left over. Encoding fails when a name or text is over 65535 bytes or the body
// over 8192.
bool DecodeAttach(const std::uint8_t* body, std::size_t length, std::vector<DeviceProperty>* properties,
                  std::string* reason);
bool EncodeAttach(const std::vector<DeviceProperty>& properties, std::vector<std::uint8_t>* body,
                  std::string* reason);

// Little-endian helpers for the frame bodies.
inline std::uint16_t ReadLe16(const std::uint8_t* at) {
  return static_cast<std::uint16_t>(at[0] | (at[1] << 8));
}
inline std::int32_t ReadLeI32(const std::uint8_t* at) {
  return static_cast<std::int32_t>(
      static_cast<std::uint32_t>(at[0]) | (static_cast<std::uint32_t>(at[1]) << 8) |
      (static_cast<std::uint32_t>(at[2]) << 16) | (static_cast<std::uint32_t>(at[3]) << 24));
}
inline void WriteLe16(std::uint8_t* at, std::uint16_t value) {
  at[0] = static_cast<std::uint8_t>(value & 0xFF);
  at[1] = static_cast<std::uint8_t>(value >> 8);
}
inline void WriteLeI32(std::uint8_t* at, std::int32_t value) {
  const auto bits = static_cast<std::uint32_t>(value);
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

}  // namespace skiff::usblink
