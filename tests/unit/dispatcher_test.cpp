// The request dispatcher against a recording channel: the packets it answers itself, the
// resend rule and its history, packet traces, cut lengths, oversized replies and failed writes.
#include "protocol/dispatcher.h"

#include <cstring>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "device/com_error.h"
#include "support/fake_http_transport.h"
#include "support/recording_channel.h"

namespace skiff {
namespace {

using ::testing::ElementsAre;
using testing::Le32;
using testing::WireBytes;

struct WithFakeTransport {
  testing::FakeHttpTransport transport;
};

class DispatcherTest : public ::testing::Test, protected WithFakeTransport, protected testing::DispatchRig {
 protected:
  DispatcherTest() : DispatchRig(transport) {}

  void Send(PacketType type, std::uint16_t seq, const std::string& payload = {}) {
    const testing::Received r = testing::MakePacket(type, seq, payload);
    dispatcher.Dispatch(r.packet, r.bytes);
  }
  void Ping(std::uint16_t seq, const std::string& text = {}) { Send(PacketType::Ping, seq, text); }
  static std::vector<std::uint8_t> Pong(std::uint16_t seq, const std::string& text = {}) {
    return WireBytes(PacketType::Pong, seq, "Pong: " + text + '\0');
  }
  // The code a dispatch raised, S_OK when none.
  HRESULT Raised(PacketType type, std::uint16_t seq, const std::string& payload) {
    try {
      Send(type, seq, payload);
    } catch (const ComError& error) {
      return error.Code();
    }
    return S_OK;
  }
  const std::vector<std::uint8_t>& Last() const { return channel.writes.back(); }
};

TEST_F(DispatcherTest, PingPongAndLogMessageAreAnsweredWithoutHttp) {
  Ping(1, "abc");
  EXPECT_EQ(Last(), Pong(1, "abc"));
  Ping(2, "h\xC3\xA9llo \xF0\x9F\x98\x80");
  EXPECT_EQ(Last(), Pong(2, "h\xC3\xA9llo \xF0\x9F\x98\x80")) << "through UTF-16 and back";
  // "Pong: " leaves 3994 units: 3993 characters and the terminator fit, 3994 do not.
  Ping(3, std::string(3993, 'a'));
  EXPECT_EQ(Last(), Pong(3, std::string(3993, 'a')));
  EXPECT_EQ(Last().size(), kPacketSize);
  Ping(4, std::string(3994, 'a'));
  EXPECT_EQ(Last(), Pong(4));

  // A Pong is only logged; a LogMessage is logged up to its NUL and answered.
  Send(PacketType::Pong, 5, "ignored");
  Send(PacketType::LogMessage, 6, std::string("fetch started\0junk", 18));
  EXPECT_THAT(host.lines, ElementsAre("Got ping response", "fetch started"));
  EXPECT_EQ(channel.writes.size(), 5u);
  EXPECT_EQ(Last(), WireBytes(PacketType::Reply, 6, std::string("Success\0", 8)));
  EXPECT_EQ(transport.steps, 0);
}

TEST_F(DispatcherTest, InvalidTypesAreTracedAndNeverAnswered) {
  Ping(1);
  const Packet remembered = dispatcher.HistorySlot(0);
  for (std::uint16_t type : {0, 17, 29, 31, 65535}) {
    host.lines.clear();
    const testing::Received r = testing::MakePacket(type, 2, "abc\0def", 7);
    dispatcher.Dispatch(r.packet, r.bytes);
    EXPECT_THAT(host.lines, ElementsAre("Invalid packet type received: ",
                                        "Type: " + std::to_string(type) + "\r\nSize: 7\r\nData: abc\r\n"));
  }
  EXPECT_EQ(channel.writes.size(), 1u);
  EXPECT_EQ(dispatcher.LastReplySequence(), 1);
  EXPECT_EQ(dispatcher.HistoryPosition(), 1);
  EXPECT_EQ(std::memcmp(&dispatcher.HistorySlot(0), &remembered, sizeof(Packet)), 0);

  // A trace shows no more than the record's 4000 bytes, whatever length is claimed.
  host.lines.clear();
  Packet full = {};
  full.SetType(99);
  full.SetLength(0xFFFF);
  std::memset(full.Payload(), 'x', kMaxPayload);
  dispatcher.TracePacket(full, kMaxPayload);
  EXPECT_THAT(host.lines, ElementsAre("Type: 99\r\nSize: 65535\r\nData: " + std::string(4000, 'x') + "\r\n"));
}

TEST_F(DispatcherTest, RepeatsAreAnsweredFromTheLastTenReplies) {
  // Sequence 0 in a new conversation matches an unused, zero-filled slot.
  Ping(0, "hi");
  EXPECT_EQ(Last(), std::vector<std::uint8_t>(6, 0));
  EXPECT_EQ(dispatcher.HistoryPosition(), 0);
  for (std::uint16_t s = 1; s <= 5; ++s) Ping(s, std::to_string(s));

  // A repeat is resent byte for byte whatever its own type, and changes nothing.
  host.lines.clear();
  Send(PacketType::Host, 3, "example.test");
  EXPECT_EQ(Last(), Pong(3, "3"));
  EXPECT_THAT(host.lines, ElementsAre("Resending packet"));
  EXPECT_EQ(dispatcher.LastReplySequence(), 5);
  EXPECT_EQ(dispatcher.HistoryPosition(), 5);
  EXPECT_EQ(transport.steps, 0);

  // Beyond L + 10 and not in the history: new. L + 10 itself: new. Older and kept: resent.
  Ping(16, "sixteen");
  EXPECT_EQ(Last(), Pong(16, "sixteen"));
  Ping(26, "n");
  EXPECT_EQ(Last(), Pong(26, "n"));
  Ping(16, "again");
  EXPECT_EQ(Last(), Pong(16, "sixteen"));

  // After a last reply of exactly 30000 every lower number is new, 30000 included; above
  // L + 10 the history still answers.
  Ping(40000, "forty");
  Ping(30000, "mark");
  Ping(30000, "mark2");
  EXPECT_EQ(Last(), Pong(30000, "mark2"));
  Ping(40000, "x");
  EXPECT_EQ(Last(), Pong(40000, "forty"));
  Ping(1, "b");
  EXPECT_EQ(Last(), Pong(1, "b"));
  EXPECT_EQ(dispatcher.LastReplySequence(), 1);
}

TEST_F(DispatcherTest, ElevenRepliesWrapTheHistoryAndANewConversationKeepsIt) {
  for (std::uint16_t s = 1; s <= 11; ++s) Ping(s, "r" + std::to_string(s));
  EXPECT_EQ(dispatcher.HistoryPosition(), 1);
  Ping(1, "new");
  EXPECT_EQ(Last(), Pong(1, "new")) << "1 was overwritten by 11";

  dispatcher.BeginConversation();
  EXPECT_EQ(dispatcher.LastReplySequence(), 0);
  EXPECT_EQ(dispatcher.HistoryPosition(), 0);
  Ping(11, "lost reply asked for again");
  EXPECT_EQ(Last(), Pong(11, "r11"));
}

TEST_F(DispatcherTest, FailedWritesRaiseAfterTheReplyIsRemembered) {
  channel.writeResult = E_FAIL;
  EXPECT_EQ(Raised(PacketType::Ping, 1, "x"), E_FAIL);
  EXPECT_EQ(dispatcher.LastReplySequence(), 1);
  // An Error reply whose write fails leaves before its three log lines.
  EXPECT_EQ(Raised(PacketType::Verb, 2, "GET"), E_FAIL);
  EXPECT_TRUE(host.lines.empty());

  // Once the channel works again, the lost reply is resent from the history.
  channel.writeResult = S_OK;
  Send(PacketType::Verb, 2, "GET");
  EXPECT_EQ(Last(), WireBytes(PacketType::Error, 2,
                              Le32(ERROR_CALL_OUT_OF_ORDER) + "Function call out of order" + '\0'));
  EXPECT_THAT(host.lines, ElementsAre("Resending packet"));

  host.channel = nullptr;
  EXPECT_EQ(Raised(PacketType::Ping, 3, ""), E_POINTER);
  EXPECT_EQ(dispatcher.LastReplySequence(), 3);
}

TEST_F(DispatcherTest, OnlyBytesThatArrivedAreRead) {
  // Claims 100 payload bytes, but only 4 arrived; stale bytes after them are not read.
  testing::Received r = testing::MakePacket(PacketType::Ping, 1, std::string(100, 'S'));
  std::memcpy(r.packet.Payload(), "abcd", 4);
  dispatcher.Dispatch(r.packet, kPacketHeaderSize + 4);
  EXPECT_EQ(Last(), Pong(1, "abcd"));
  // More bytes arrived than the length says: only length bytes count.
  r.packet.SetLength(2);
  r.packet.SetSequence(2);
  dispatcher.Dispatch(r.packet, kPacketHeaderSize + 4);
  EXPECT_EQ(Last(), Pong(2, "ab"));
  // No more than the record holds, even when more is claimed received: 4000 units leave no
  // room for the terminator, so the text is empty.
  r = testing::MakePacket(PacketType::LogMessage, 3, std::string(4000, 'L'));
  r.packet.SetLength(5000);
  dispatcher.Dispatch(r.packet, 9000);
  // Fewer bytes than a header: nothing to answer.
  dispatcher.Dispatch(r.packet, 5);
  EXPECT_THAT(host.lines,
              ElementsAre("Packet length 100 exceeds the 4 payload bytes received; using those",
                          "Packet length 5000 exceeds the 4000 payload bytes received; using those", "",
                          "Packet too short to be read: 5 bytes received"));
  EXPECT_EQ(channel.writes.size(), 3u);
}

TEST_F(DispatcherTest, ReplyTextsThatDoNotFitAreSentWithoutText) {
  dispatcher.SendTextReply(PacketType::Reply, 1, std::u16string(3999, u'a').c_str());
  EXPECT_EQ(Last().size(), kPacketSize);
  dispatcher.SendTextReply(PacketType::Reply, 2, std::u16string(4000, u'a').c_str());
  EXPECT_EQ(Last(), WireBytes(PacketType::Reply, 2, ""));
  // Counted in UTF-8 bytes: 2000 two-byte characters and the terminator need 4001.
  dispatcher.SendTextReply(PacketType::Reply, 3, std::u16string(2000, u'\u00E9').c_str());
  EXPECT_EQ(Last(), WireBytes(PacketType::Reply, 3, ""));

  dispatcher.SendValueTextReply(PacketType::Error, 4, 1, std::u16string(3995, u'b').c_str());
  EXPECT_EQ(Last().size(), kPacketSize);
  dispatcher.SendValueTextReply(PacketType::Error, 5, 0x01020304, std::u16string(3996, u'b').c_str());
  EXPECT_EQ(Last(), WireBytes(PacketType::Error, 5, "\x04\x03\x02\x01"));
  dispatcher.SendValueTextReply(PacketType::Error, 6, 7, nullptr);
  EXPECT_EQ(Last(), WireBytes(PacketType::Error, 6, Le32(7)));
}

}  // namespace
}  // namespace skiff
