// The USB link's frame codec: byte-exact headers and ATTACH bodies, frames split at any
// point, and every kind of bad frame refused with a reason.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "usb_link/usb_frame.h"

namespace skiff::usblink {
namespace {

std::vector<std::uint8_t> Frame(std::uint8_t kind, const std::vector<std::uint8_t>& body,
                                std::uint8_t reserved = 0) {
  std::vector<std::uint8_t> bytes = {kind, reserved, static_cast<std::uint8_t>(body.size() & 0xFF),
                                     static_cast<std::uint8_t>(body.size() >> 8)};
  bytes.insert(bytes.end(), body.begin(), body.end());
  return bytes;
}

struct Parsed {
  std::vector<std::pair<FrameKind, std::vector<std::uint8_t>>> frames;
  bool bad = false;
  std::string error;
};

// Feeds the stream in pieces of `piece` bytes and drains the reader after each, to the
// end of the stream even after a refusal.
Parsed Parse(Direction direction, const std::vector<std::uint8_t>& stream, std::size_t piece) {
  FrameReader reader(direction);
  Parsed parsed;
  for (std::size_t at = 0;;) {
    FrameView view{};
    const auto result = reader.Next(view);
    if (result == FrameReader::Result::Frame) {
      parsed.frames.emplace_back(view.kind, std::vector<std::uint8_t>(view.body, view.body + view.length));
      continue;
    }
    if (result == FrameReader::Result::Bad && !parsed.bad) {
      parsed.bad = true;
      parsed.error = reader.Error();
    }
    const std::size_t fed =
        at == stream.size() ? 0 : reader.Feed(stream.data() + at, std::min(piece, stream.size() - at));
    if (fed == 0) return parsed;
    at += fed;
  }
}

TEST(UsbFrameTest, FramesSurviveAnySplitOfTheStream) {
  std::vector<std::uint8_t> big(kMaxFrameBody, 'r');
  std::vector<std::uint8_t> stream;
  for (const auto& frame :
       {Frame(0x02, {}), Frame(0x10, {1, 2, 3}), Frame(0x03, big),
        Frame(0x10, std::vector<std::uint8_t>(4006, 7)), Frame(0x04, {3, 0, 0, 0}), Frame(0x11, {})}) {
    stream.insert(stream.end(), frame.begin(), frame.end());
  }
  const Parsed whole = Parse(Direction::ToDesktop, stream, stream.size());
  ASSERT_FALSE(whole.bad) << whole.error;
  ASSERT_EQ(whole.frames.size(), 6u);
  EXPECT_EQ(whole.frames[1].first, FrameKind::Data);
  EXPECT_EQ(whole.frames[1].second, (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_EQ(whole.frames[2].second.size(), kMaxFrameBody);
  EXPECT_EQ(whole.frames[3].second.size(), 4006u);
  EXPECT_EQ(whole.frames[5].first, FrameKind::Close);
  for (std::size_t piece : {1u, 3u, 4u, 5u, 1000u, 4099u, 8196u}) {
    const Parsed split = Parse(Direction::ToDesktop, stream, piece);
    EXPECT_FALSE(split.bad) << piece;
    EXPECT_EQ(split.frames, whole.frames) << "pieces of " << piece;
  }
}

TEST(UsbFrameTest, BadFramesAreRefusedWithAReasonAndTheRefusalSticks) {
  struct Case {
    Direction direction;
    std::vector<std::uint8_t> bytes;
    const char* reason;
  };
  const std::vector<Case> cases = {
      {Direction::ToDesktop, Frame(0x42, {}), "unknown frame kind 0x42"},
      // Refused from the header alone: no body is waited for.
      {Direction::ToDesktop, {0x10, 0, 0x01, 0x20}, "length 8193 is over 8192"},
      {Direction::ToDesktop, Frame(0x81, {'x'}), "0x81 (OPEN) is not sent by a handheld"},
      {Direction::ToHandheld, Frame(0x01, {0, 0}), "0x01 (ATTACH) is not sent by the desktop"},
      {Direction::ToDesktop, Frame(0x02, {}, 1), "reserved byte 0x01"},
      {Direction::ToDesktop, Frame(0x02, {9}), "OPENED body must be empty"},
      {Direction::ToDesktop, Frame(0x04, {10, 0, 0}), "CHALLENGE body must be 4 bytes"},
      {Direction::ToDesktop, Frame(0x04, {0, 0, 0, 0}), "attempts 0 is not from 1 to 10"},
      {Direction::ToDesktop, Frame(0x04, {11, 0, 0, 0}), "attempts 11"},
      {Direction::ToDesktop, Frame(0x04, {0xFF, 0xFF, 0xFF, 0xFF}), "attempts -1"},
      {Direction::ToDesktop, Frame(0x10, {}), "DATA body of 0 bytes"},
      {Direction::ToDesktop, Frame(0x10, std::vector<std::uint8_t>(4007)), "DATA body of 4007 bytes"},
      {Direction::ToHandheld, Frame(0x90, {1, 2, 3, 4, 5}), "DATA body of 5 bytes is not from 6 to 4006"},
      {Direction::ToHandheld, Frame(0x82, std::vector<std::uint8_t>(19)), "ANSWER body must be 20 bytes"},
      {Direction::ToDesktop, Frame(0x01, {1}), "no property count"},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> stream = c.bytes;
    const auto good = c.direction == Direction::ToDesktop ? Frame(0x02, {}) : Frame(0x91, {});
    stream.insert(stream.end(), good.begin(), good.end());  // refused too: the framing is lost
    const Parsed parsed = Parse(c.direction, stream, 2);
    EXPECT_TRUE(parsed.bad) << c.reason;
    EXPECT_TRUE(parsed.frames.empty()) << c.reason;
    EXPECT_NE(parsed.error.find(c.reason), std::string::npos)
        << "wanted \"" << c.reason << "\", got \"" << parsed.error << "\"";
  }
}

TEST(UsbFrameTest, AttachBodyIsByteExactAndRoundTrips) {
  const std::vector<DeviceProperty> properties = {
      DeviceProperty::MakeInteger("BBPIN", 0x2A0F),
      DeviceProperty::MakeText("Name", "ab"),
      DeviceProperty::MakeInteger("Neg", -2),
      DeviceProperty::MakeText("Empty", ""),
  };
  std::vector<std::uint8_t> body;
  std::string reason;
  ASSERT_TRUE(EncodeAttach(properties, &body, &reason)) << reason;
  const std::vector<std::uint8_t> expected = {
      4, 0,                                                      // count
      5, 0, 'B', 'B', 'P', 'I', 'N',  1,    0x0F, 0x2A, 0,   0,  // BBPIN = 0x2A0F
      4, 0, 'N', 'a', 'm', 'e', 2,    2,    0,    'a',  'b',     // Name = "ab"
      3, 0, 'N', 'e', 'g', 1,   0xFE, 0xFF, 0xFF, 0xFF,          // Neg = -2
      5, 0, 'E', 'm', 'p', 't', 'y',  2,    0,    0,             // Empty = ""
  };
  EXPECT_EQ(body, expected);

  std::vector<DeviceProperty> decoded;
  ASSERT_TRUE(DecodeAttach(body.data(), body.size(), &decoded, &reason)) << reason;
  ASSERT_EQ(decoded.size(), 4u);
  EXPECT_EQ(decoded[0].name, "BBPIN");
  EXPECT_EQ(decoded[0].integer, 0x2A0F);
  EXPECT_EQ(decoded[1].type, DeviceProperty::Type::Text);
  EXPECT_EQ(decoded[1].text, "ab");
  EXPECT_EQ(decoded[2].integer, -2);
  EXPECT_EQ(decoded[3].text, "");

  // Every shorter body is cut inside a property; a longer one has bytes left over.
  for (std::size_t length = 0; length < body.size(); ++length) {
    EXPECT_FALSE(DecodeAttach(body.data(), length, &decoded, &reason)) << length;
  }
  body.push_back(0);
  EXPECT_FALSE(DecodeAttach(body.data(), body.size(), &decoded, &reason));
  EXPECT_NE(reason.find("1 bytes after its 4 properties"), std::string::npos) << reason;
}

TEST(UsbFrameTest, AttachRefusesUnknownTypesLyingCountsAndOversizedBodies) {
  std::string reason;
  const std::pair<std::vector<std::uint8_t>, std::string> bad[] = {
      {{1, 0, 1, 0, 'X', 3, 0, 0, 0, 0}, "unknown type 3"},
      {{0xFF, 0xFF, 0, 0, 2, 0, 0}, ""},  // a count no body could hold
  };
  std::vector<DeviceProperty> decoded;
  for (const auto& [body, why] : bad) {
    EXPECT_FALSE(DecodeAttach(body.data(), body.size(), &decoded, &reason)) << why;
    EXPECT_NE(reason.find(why), std::string::npos) << reason;
  }
  const std::vector<std::uint8_t> empty = {0, 0};
  EXPECT_TRUE(DecodeAttach(empty.data(), empty.size(), &decoded, &reason));
  EXPECT_TRUE(decoded.empty());

  std::vector<std::uint8_t> body;
  EXPECT_FALSE(
      EncodeAttach({DeviceProperty::MakeText("Big", std::string(kMaxFrameBody, 'x'))}, &body, &reason));
  EXPECT_NE(reason.find("more than a frame's 8192"), std::string::npos) << reason;
  EXPECT_FALSE(EncodeAttach({DeviceProperty::MakeText("Huge", std::string(70000, 'x'))}, &body, &reason));
}

}  // namespace
}  // namespace skiff::usblink
