// The USB link's frame codec: frames split at any point, every kind of bad frame refused
// with a reason, and ATTACH bodies byte-exact both ways.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "usb_link/usb_frame.h"

namespace skiff::usblink {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Frame(std::uint8_t kind, const Bytes& body, std::uint8_t reserved = 0) {
  Bytes bytes = {kind, reserved, static_cast<std::uint8_t>(body.size() & 0xFF),
                 static_cast<std::uint8_t>(body.size() >> 8)};
  bytes.insert(bytes.end(), body.begin(), body.end());
  return bytes;
}

struct Parsed {
  std::vector<std::pair<FrameKind, Bytes>> frames;
  std::string error;  // the first refusal
};

// Feeds the stream in pieces of `piece` bytes, draining the reader after each, to the
// end of the stream even after a refusal.
Parsed Parse(Direction direction, const Bytes& stream, std::size_t piece) {
  FrameReader reader(direction);
  Parsed parsed;
  for (std::size_t at = 0;;) {
    FrameView view{};
    const auto result = reader.Next(view);
    if (result == FrameReader::Result::Frame) {
      parsed.frames.emplace_back(view.kind, Bytes(view.body, view.body + view.length));
      continue;
    }
    if (result == FrameReader::Result::Bad && parsed.error.empty())
      parsed.error = "refused: " + reader.Error();
    const std::size_t fed =
        at == stream.size() ? 0 : reader.Feed(stream.data() + at, std::min(piece, stream.size() - at));
    if (fed == 0) return parsed;
    at += fed;
  }
}

TEST(UsbFrameTest, FramesSurviveAnySplitOfTheStream) {
  Bytes stream;
  for (const auto& frame : {Frame(0x02, {}), Frame(0x10, {1, 2, 3}), Frame(0x03, Bytes(kMaxFrameBody, 'r')),
                            Frame(0x10, Bytes(4006, 7)), Frame(0x04, {3, 0, 0, 0}), Frame(0x11, {})}) {
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  const Parsed whole = Parse(Direction::ToDesktop, stream, stream.size());
  ASSERT_EQ(whole.frames.size(), 6u) << whole.error;
  EXPECT_EQ(whole.frames[1], (std::pair{FrameKind::Data, Bytes{1, 2, 3}}));
  EXPECT_EQ(whole.frames[2].second, Bytes(kMaxFrameBody, 'r'));
  for (std::size_t piece : {1u, 3u, 5u, 1000u, 4099u, 8196u}) {
    EXPECT_EQ(Parse(Direction::ToDesktop, stream, piece).frames, whole.frames) << "pieces of " << piece;
  }
}

TEST(UsbFrameTest, BadFramesAreRefusedWithAReasonAndTheRefusalSticks) {
  const auto in = Direction::ToDesktop, out = Direction::ToHandheld;
  const struct {
    Direction direction;
    Bytes bytes;
    const char* reason;
  } cases[] = {
      {in, Frame(0x42, {}), "unknown frame kind 0x42"},
      {in, {0x10, 0, 0x01, 0x20}, "length 8193 is over 8192"},  // from the header alone
      {in, Frame(0x81, {'x'}), "0x81 (OPEN) is not sent by a handheld"},
      {out, Frame(0x01, {0, 0}), "0x01 (ATTACH) is not sent by the desktop"},
      {in, Frame(0x02, {}, 1), "reserved byte 0x01"},
      {in, Frame(0x02, {9}), "OPENED body must be empty"},
      {in, Frame(0x04, {10, 0, 0}), "CHALLENGE body must be 4 bytes"},
      {in, Frame(0x04, {0, 0, 0, 0}), "attempts 0 is not from 1 to 10"},
      {in, Frame(0x04, {11, 0, 0, 0}), "attempts 11"},
      {in, Frame(0x04, {0xFF, 0xFF, 0xFF, 0xFF}), "attempts -1"},
      {in, Frame(0x10, {}), "DATA body of 0 bytes"},
      {in, Frame(0x10, Bytes(4007)), "DATA body of 4007 bytes"},
      {out, Frame(0x90, {1, 2, 3, 4, 5}), "DATA body of 5 bytes is not from 6 to 4006"},
      {out, Frame(0x82, Bytes(19)), "ANSWER body must be 20 bytes"},
      {in, Frame(0x01, {1}), "no property count"},
      {in, Frame(0x01, {1, 0, 1, 0, 'X', 3, 0, 0, 0, 0}), "unknown type 3"},
      {in, Frame(0x01, {0, 0, 0}), "1 bytes after its 0 properties"},
      {in, Frame(0x01, {0xFF, 0xFF, 0, 0, 2, 0, 0}), "ATTACH"},  // a count no body could hold
  };
  for (const auto& c : cases) {
    Bytes stream = c.bytes;
    const auto good = c.direction == in ? Frame(0x02, {}) : Frame(0x91, {});
    stream.insert(stream.end(), good.begin(), good.end());  // refused too: the framing is lost
    const Parsed parsed = Parse(c.direction, stream, 2);
    EXPECT_TRUE(parsed.frames.empty()) << c.reason;
    EXPECT_NE(parsed.error.find(c.reason), std::string::npos) << c.reason << " / " << parsed.error;
  }
}

TEST(UsbFrameTest, AttachBodyIsByteExactAndEveryDamagedOneIsRefused) {
  const std::vector<DeviceProperty> properties = {
      DeviceProperty::MakeInteger("BBPIN", 0x2A0F), DeviceProperty::MakeText("Name", "ab"),
      DeviceProperty::MakeInteger("Neg", -2), DeviceProperty::MakeText("Empty", "")};
  std::vector<DeviceProperty> decoded;
  Bytes body;
  std::string reason;
  ASSERT_TRUE(EncodeAttach(properties, &body, &reason)) << reason;
  EXPECT_EQ(body, (Bytes{4, 0,                                                      // count
                         5, 0, 'B', 'B', 'P', 'I', 'N',  1,    0x0F, 0x2A, 0,   0,  // BBPIN = 0x2A0F
                         4, 0, 'N', 'a', 'm', 'e', 2,    2,    0,    'a',  'b',     // Name = "ab"
                         3, 0, 'N', 'e', 'g', 1,   0xFE, 0xFF, 0xFF, 0xFF,          // Neg = -2
                         5, 0, 'E', 'm', 'p', 't', 'y',  2,    0,    0}));          // Empty = ""
  ASSERT_TRUE(DecodeAttach(body.data(), body.size(), &decoded, &reason)) << reason;
  ASSERT_EQ(decoded.size(), 4u);
  EXPECT_EQ(decoded[2].integer, -2);  // the manager test sees the rest through the device

  // Every shorter body is cut inside a property.
  for (std::size_t length = 0; length < body.size(); ++length) {
    EXPECT_FALSE(DecodeAttach(body.data(), length, &decoded, &reason)) << length;
  }
  EXPECT_FALSE(
      EncodeAttach({DeviceProperty::MakeText("Big", std::string(kMaxFrameBody, 'x'))}, &body, &reason));
  EXPECT_NE(reason.find("more than a frame's 8192"), std::string::npos) << reason;
  EXPECT_FALSE(EncodeAttach({DeviceProperty::MakeText("Huge", std::string(70000, 'x'))}, &body, &reason));
}

}  // namespace
}  // namespace skiff::usblink
