// The request dispatcher against a recording channel: replies byte for byte, the resend
// rule and its history, the activity-log lines, packet traces, and failed writes.
#include "protocol/dispatcher.h"

#include <cstring>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "device/com_error.h"
#include "http/http_client.h"
#include "support/fake_http_transport.h"
#include "support/recording_channel.h"

namespace skiff {
namespace {

using ::testing::ElementsAre;
using testing::FakeDispatchHost;
using testing::FakeHttpTransport;
using testing::MakePacket;
using testing::Received;
using testing::RecordingChannel;
using testing::WireBytes;

class DispatcherTest : public ::testing::Test {
 protected:
  DispatcherTest() { host.channel = &channel; }

  void Dispatch(const Received& r) { dispatcher.Dispatch(r.packet, r.bytes); }
  void Ping(std::uint16_t sequence, const std::string& text = {}) {
    Dispatch(MakePacket(PacketType::Ping, sequence, text));
  }
  std::vector<std::uint8_t> Pong(std::uint16_t sequence, const std::string& text = {}) {
    return WireBytes(PacketType::Pong, sequence, "Pong: " + text + std::string(1, '\0'));
  }

  RecordingChannel channel;
  FakeDispatchHost host;
  FakeHttpTransport transport;
  HttpClient http{transport};
  RequestDispatcher dispatcher{host, http};
};

TEST_F(DispatcherTest, PingIsAnsweredWithPongAndItsText) {
  Ping(7, "abc");
  Ping(8);
  ASSERT_EQ(channel.writes.size(), 2u);
  EXPECT_EQ(channel.writes[0], Pong(7, "abc"));
  EXPECT_EQ(channel.writes[0].size(), 6u + 10u);
  EXPECT_EQ(channel.writes[1], Pong(8));
  EXPECT_EQ(dispatcher.LastReplySequence(), 8);
  EXPECT_TRUE(host.lines.empty());
  EXPECT_TRUE(transport.calls.empty()) << "a ping never involves the HTTP client";

  // Non-ASCII text survives the round trip through UTF-16.
  Ping(9, "h\xC3\xA9llo \xF0\x9F\x98\x80");
  EXPECT_EQ(channel.writes.back(), Pong(9, "h\xC3\xA9llo \xF0\x9F\x98\x80"));
}

TEST_F(DispatcherTest, PingTextFillingTheWholeBufferIsDecodedAsEmpty) {
  // "Pong: " leaves 3994 units: 3993 characters and the terminator fit, 3994 do not.
  Ping(1, std::string(3993, 'a'));
  ASSERT_EQ(channel.writes.size(), 1u);
  EXPECT_EQ(channel.writes[0].size(), kPacketSize);
  EXPECT_EQ(channel.writes[0], Pong(1, std::string(3993, 'a')));
  Ping(2, std::string(3994, 'a'));
  EXPECT_EQ(channel.writes.back(), Pong(2));
}

TEST_F(DispatcherTest, PongFromTheHandheldIsLoggedAndNotAnswered) {
  Ping(3);
  Dispatch(MakePacket(PacketType::Pong, 4, "ignored"));
  EXPECT_THAT(host.lines, ElementsAre("Got ping response"));
  EXPECT_EQ(channel.writes.size(), 1u);
  EXPECT_EQ(dispatcher.LastReplySequence(), 3);
}

TEST_F(DispatcherTest, LogMessageGoesToTheLogAndIsAnsweredSuccess) {
  Dispatch(MakePacket(PacketType::LogMessage, 1, std::string("fetch started\0junk", 18)));
  EXPECT_THAT(host.lines, ElementsAre("fetch started"));
  ASSERT_EQ(channel.writes.size(), 1u);
  EXPECT_EQ(channel.writes[0], WireBytes(PacketType::Reply, 1, std::string("Success\0", 8)));
  EXPECT_EQ(dispatcher.HistoryPosition(), 1);
}

TEST_F(DispatcherTest, InvalidTypesAreTracedAndNeverAnswered) {
  Ping(1);
  const Packet remembered = dispatcher.HistorySlot(0);
  for (std::uint16_t type : {0, 3, 15, 17, 29, 31, 99, 65535}) {
    host.lines.clear();
    Dispatch(MakePacket(type, 2, "hello", 5));
    EXPECT_THAT(host.lines, ElementsAre("Invalid packet type received: ",
                                        "Type: " + std::to_string(type) + "\r\nSize: 5\r\nData: hello\r\n"))
        << type;
  }
  EXPECT_EQ(channel.writes.size(), 1u);
  EXPECT_EQ(dispatcher.LastReplySequence(), 1);
  EXPECT_EQ(dispatcher.HistoryPosition(), 1);
  EXPECT_EQ(std::memcmp(&dispatcher.HistorySlot(0), &remembered, sizeof(Packet)), 0);
}

TEST_F(DispatcherTest, TraceShowsPayloadUpToZeroByteLengthOrBuffer) {
  Received empty = MakePacket(99, 1, nullptr, 0);
  dispatcher.TracePacket(empty.packet, 0);
  Received withZero = MakePacket(99, 1, "abc\0def", 7);
  dispatcher.TracePacket(withZero.packet, 7);
  // A whole record of 'x' claiming 65535 bytes shows 4000 of them.
  Received full;
  full.packet.SetType(0xFFFF);
  full.packet.SetLength(0xFFFF);
  std::memset(full.packet.Payload(), 'x', kMaxPayload);
  dispatcher.TracePacket(full.packet, kMaxPayload);
  ASSERT_EQ(host.lines.size(), 3u);
  EXPECT_EQ(host.lines[0], "Type: 99\r\nSize: 0\r\nData: \r\n");
  EXPECT_EQ(host.lines[1], "Type: 99\r\nSize: 7\r\nData: abc\r\n");
  EXPECT_EQ(host.lines[2], "Type: 65535\r\nSize: 65535\r\nData: " + std::string(4000, 'x') + "\r\n");
}

TEST_F(DispatcherTest, ResendRuleAroundLastReply) {
  for (std::uint16_t s = 1; s <= 5; ++s) Ping(s, std::to_string(s));
  ASSERT_EQ(dispatcher.LastReplySequence(), 5);

  // A repeat of 5 is answered from the history byte for byte and remembers nothing.
  host.lines.clear();
  Dispatch(MakePacket(PacketType::Ping, 5, "different"));
  EXPECT_EQ(channel.writes.back(), Pong(5, "5"));
  EXPECT_THAT(host.lines, ElementsAre("Resending packet"));
  EXPECT_EQ(dispatcher.LastReplySequence(), 5);
  EXPECT_EQ(dispatcher.HistoryPosition(), 5);

  // Whatever the repeat's own type, the remembered reply answers it; HTTP is not touched.
  Dispatch(MakePacket(PacketType::Host, 3, "example.test"));
  EXPECT_EQ(channel.writes.back(), Pong(3, "3"));
  EXPECT_TRUE(transport.calls.empty());

  // 16 is beyond L + 10: looked up, not found, handled as new.
  Ping(16, "sixteen");
  EXPECT_EQ(channel.writes.back(), Pong(16, "sixteen"));
  EXPECT_EQ(dispatcher.LastReplySequence(), 16);
  // L + 10 is still new.
  Ping(26, "n");
  EXPECT_EQ(channel.writes.back(), Pong(26, "n"));
  Ping(37, "far");
  EXPECT_EQ(channel.writes.back(), Pong(37, "far"));
  // An older number still in the history is resent.
  host.lines.clear();
  Ping(16, "again");
  EXPECT_EQ(channel.writes.back(), Pong(16, "sixteen"));
  EXPECT_THAT(host.lines, ElementsAre("Resending packet"));
  EXPECT_EQ(dispatcher.LastReplySequence(), 37);
  EXPECT_EQ(channel.writes.size(), 11u);
}

TEST_F(DispatcherTest, AfterThirtyThousandEveryLowerNumberIsNew) {
  Ping(1, "a");
  Ping(40000, "forty");
  Ping(30000, "mark");
  ASSERT_EQ(dispatcher.LastReplySequence(), 30000);
  // A repeat of 30000 itself is new as well.
  Ping(30000, "mark2");
  EXPECT_EQ(channel.writes.back(), Pong(30000, "mark2"));
  ASSERT_EQ(dispatcher.LastReplySequence(), 30000);
  // Above L + 10 the history is searched.
  host.lines.clear();
  Ping(40000, "x");
  EXPECT_EQ(channel.writes.back(), Pong(40000, "forty"));
  EXPECT_THAT(host.lines, ElementsAre("Resending packet"));
  // 1 is in the history, yet handled as a new request.
  Ping(1, "b");
  EXPECT_EQ(channel.writes.back(), Pong(1, "b"));
  EXPECT_EQ(dispatcher.LastReplySequence(), 1);
}

TEST_F(DispatcherTest, SequenceZeroInANewWorkerResendsTheZeroFilledSlot) {
  Dispatch(MakePacket(PacketType::Ping, 0, "hi"));
  ASSERT_EQ(channel.writes.size(), 1u);
  EXPECT_EQ(channel.writes[0], std::vector<std::uint8_t>(6, 0));
  EXPECT_THAT(host.lines, ElementsAre("Resending packet"));
  EXPECT_EQ(dispatcher.HistoryPosition(), 0);
}

TEST_F(DispatcherTest, ElevenRepliesWrapTheHistoryAndANewConversationKeepsIt) {
  for (std::uint16_t s = 1; s <= 11; ++s) Ping(s, "r" + std::to_string(s));
  EXPECT_EQ(dispatcher.HistoryPosition(), 1);
  EXPECT_EQ(dispatcher.HistorySlot(0).Sequence(), 11);
  EXPECT_EQ(dispatcher.HistorySlot(1).Sequence(), 2);

  // Sequence 1 is gone from the history: handled as a new request.
  Ping(1, "new");
  EXPECT_EQ(channel.writes.back(), Pong(1, "new"));
  EXPECT_EQ(dispatcher.HistoryPosition(), 2);

  // A new conversation starts numbering afresh, but the old replies can still answer.
  dispatcher.BeginConversation();
  EXPECT_EQ(dispatcher.LastReplySequence(), 0);
  EXPECT_EQ(dispatcher.HistoryPosition(), 0);
  host.lines.clear();
  Ping(11, "lost reply asked for again");
  EXPECT_EQ(channel.writes.back(), Pong(11, "r11"));
  EXPECT_THAT(host.lines, ElementsAre("Resending packet"));
}

TEST_F(DispatcherTest, FailedWriteRaisesAfterRememberingAndSkipsLaterLogLines) {
  channel.writeResult = E_FAIL;
  try {
    Ping(1, "x");
    FAIL() << "a failed write must raise";
  } catch (const ComError& error) {
    EXPECT_EQ(error.Code(), E_FAIL);
    EXPECT_EQ(error.ErrorInfo(), nullptr) << "the channel offers no error information";
  }
  EXPECT_EQ(dispatcher.LastReplySequence(), 1);
  EXPECT_EQ(dispatcher.HistorySlot(0).Sequence(), 1);

  // An Error reply whose write fails leaves before its three log lines.
  host.lines.clear();
  EXPECT_THROW(Dispatch(MakePacket(PacketType::Verb, 2, "GET")), ComError);
  EXPECT_TRUE(host.lines.empty());
  EXPECT_EQ(dispatcher.HistorySlot(1).Type(), static_cast<std::uint16_t>(PacketType::Error));

  // Once the channel works again, the lost reply is resent from the history.
  channel.writeResult = S_OK;
  Dispatch(MakePacket(PacketType::Verb, 2, "GET"));
  EXPECT_EQ(channel.writes.back().size(), 6u + 4u + 27u);
  EXPECT_THAT(host.lines, ElementsAre("Resending packet"));
}

TEST_F(DispatcherTest, NoOpenChannelRaisesPointerError) {
  host.channel = nullptr;
  try {
    Ping(1);
    FAIL() << "no channel must raise";
  } catch (const ComError& error) {
    EXPECT_EQ(error.Code(), E_POINTER);
  }
  EXPECT_EQ(dispatcher.LastReplySequence(), 1) << "remembered all the same";
}

TEST_F(DispatcherTest, LengthBeyondTheReceivedBytesIsCutToThem) {
  // Claims 100 payload bytes, but only 4 arrived; stale bytes after them are not read.
  Received r = MakePacket(PacketType::Ping, 1, std::string(100, 'S'));
  std::memcpy(r.packet.Payload(), "abcd", 4);
  r.bytes = kPacketHeaderSize + 4;
  Dispatch(r);
  EXPECT_EQ(channel.writes.back(), Pong(1, "abcd"));
  EXPECT_THAT(host.lines, ElementsAre("Packet length 100 exceeds the 4 payload bytes received; using those"));

  // More than the record holds: at most 4000 bytes, even when more is claimed received.
  host.lines.clear();
  Received big = MakePacket(PacketType::LogMessage, 2, std::string(3000, 'L'));
  big.packet.SetLength(5000);
  std::memset(big.packet.Payload(), 'L', kMaxPayload);
  dispatcher.Dispatch(big.packet, 9000);
  ASSERT_EQ(host.lines.size(), 2u);
  EXPECT_EQ(host.lines[0], "Packet length 5000 exceeds the 4000 payload bytes received; using those");
  EXPECT_EQ(host.lines[1], "") << "4000 units leave no room for the terminator: the empty text";

  // Fewer bytes than a header: nothing to answer.
  host.lines.clear();
  const std::size_t writes = channel.writes.size();
  Received tiny = MakePacket(PacketType::Ping, 3, "x");
  dispatcher.Dispatch(tiny.packet, 5);
  EXPECT_EQ(channel.writes.size(), writes);
  EXPECT_THAT(host.lines, ElementsAre("Packet too short to be read: 5 bytes received"));

  // More bytes received than the length says: only length bytes count.
  Received extra = MakePacket(PacketType::Ping, 4, "ab");
  std::memcpy(extra.packet.Payload() + 2, "zz", 2);
  dispatcher.Dispatch(extra.packet, kPacketHeaderSize + 4);
  EXPECT_EQ(channel.writes.back(), Pong(4, "ab"));
}

TEST_F(DispatcherTest, ReplyTextsThatDoNotFitAreSentWithoutText) {
  const std::u16string fits(3999, u'a');
  const std::u16string tooLong(4000, u'a');
  dispatcher.SendTextReply(PacketType::Reply, 1, fits.c_str());
  EXPECT_EQ(channel.writes.back().size(), kPacketSize);
  EXPECT_EQ(channel.writes.back().back(), 0);
  dispatcher.SendTextReply(PacketType::Reply, 2, tooLong.c_str());
  EXPECT_EQ(channel.writes.back(), WireBytes(PacketType::Reply, 2, ""));
  // Multi-byte characters count in UTF-8 bytes: 2000 two-byte characters need 4001.
  dispatcher.SendTextReply(PacketType::Reply, 3, std::u16string(2000, u'\u00E9').c_str());
  EXPECT_EQ(channel.writes.back(), WireBytes(PacketType::Reply, 3, ""));

  dispatcher.SendValueTextReply(PacketType::Error, 4, 0x01020304, std::u16string(3995, u'b').c_str());
  EXPECT_EQ(channel.writes.back().size(), kPacketSize);
  dispatcher.SendValueTextReply(PacketType::Error, 5, 0x01020304, std::u16string(3996, u'b').c_str());
  EXPECT_EQ(channel.writes.back(), WireBytes(PacketType::Error, 5, "\x04\x03\x02\x01"));
  dispatcher.SendValueTextReply(PacketType::Error, 6, 7, nullptr);
  EXPECT_EQ(channel.writes.back(), WireBytes(PacketType::Error, 6, std::string("\x07\0\0\0", 4)));
}

TEST(Utf8ToWideTest, KeepsTheTerminatorInsideTheBuffer) {
  WideChar out[8];
  const std::uint8_t abc[] = {'a', 'b', 'c'};
  EXPECT_EQ(Utf8ToWide(out, 8, abc, 3), 4u);
  EXPECT_EQ(std::u16string(out), u"abc");
  const std::uint8_t withNul[] = {'a', 'b', 0};
  EXPECT_EQ(Utf8ToWide(out, 8, withNul, 3), 3u) << "an included NUL is the terminator";

  // Exactly filling the buffer leaves no room for the terminator: refused.
  const std::uint8_t eight[] = {'1', '2', '3', '4', '5', '6', '7', '8'};
  out[0] = u'#';
  EXPECT_EQ(Utf8ToWide(out, 8, eight, 8), 0u);
  EXPECT_EQ(out[0], 0);
  EXPECT_EQ(Utf8ToWide(out, 8, eight, 7), 8u);
  EXPECT_EQ(out[7], 0);
  out[0] = u'#';
  EXPECT_EQ(Utf8ToWide(out, 8, eight, 0), 0u) << "an empty source is the empty text";
  EXPECT_EQ(out[0], 0);

  // A character outside the basic plane takes two units.
  const std::uint8_t emoji[] = {0xF0, 0x9F, 0x98, 0x80};
  EXPECT_EQ(Utf8ToWide(out, 3, emoji, 4), 3u);
  EXPECT_EQ(Utf8ToWide(out, 2, emoji, 4), 0u);
}

}  // namespace
}  // namespace skiff
