// The request dispatcher and the HTTP client beneath it, packet by packet against a recording
// channel and a scripted transport: replies byte for byte, the resend rule, cut lengths, failed
// writes, the client's lazy steps, refusals, resets, error texts, and replies that allocate nothing.
#include "protocol/dispatcher.h"

#include <cstring>
#include <map>
#include <string>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "device/api/com_error.h"
#include "support/counting_allocator.h"
#include "support/fake_http_transport.h"
#include "support/recording_channel.h"

namespace skiff {
namespace {

using ::testing::ElementsAre;
using testing::FakeHttpTransport;
using testing::Le32;
using testing::MakePacket;
using testing::PacketBytes;
using P = PacketType;

// NOLINTBEGIN(cert-err58-cpp): test constants; a failed allocation here ends the test run anyway
const std::string kSuccess("Success\0", 8);
const std::vector<std::uint8_t> kStatus = testing::DispatchRig::Reply(Le32(200) + std::string("OK\0", 3));
// The texts the handheld gets for the codes met here, as it must read them.
const std::map<std::uint32_t, std::string> kErrorTexts = {
    {kErrorInvalidParameter, "Invalid parameter"},
    {kErrorTimeout, "The request has timed out."},
    {kErrorInternal, "An internal error has occurred."},
    {kErrorUnrecognizedScheme, "The URL scheme could not be recognized, or is not supported."},
    {kErrorNameNotResolved, "The server name cannot be resolved."},
    {kErrorIncorrectHandleState,
     "The requested operation cannot be carried out because the handle supplied is not in the correct "
     "state."},
    {kErrorCannotConnect, "Returned if connection to the server failed."},
    {kErrorInvalidServerResponse, "The server response could not be parsed."},
    {ERROR_CALL_OUT_OF_ORDER, "Function call out of order"},
    {ERROR_HEADERS_TOO_LONG, "Headers too long to fit in buffer"},
};
// NOLINTEND(cert-err58-cpp)

struct WithFakeTransport {
  FakeHttpTransport transport;
};

class DispatcherTest : public ::testing::Test, protected WithFakeTransport, protected testing::DispatchRig {
 protected:
  DispatcherTest() : DispatchRig(transport) {}
  void TearDown() override { EXPECT_EQ(faults, 0) << "a request was not answered once with its sequence"; }

  // A packet with a chosen sequence number; Request() numbers them itself.
  void Send(P type, std::uint16_t seq, const std::string& payload = {}) {
    const testing::Received r = MakePacket(type, seq, payload);
    dispatcher.Dispatch(r.packet, r.bytes);
  }
  static std::vector<std::uint8_t> Pong(std::uint16_t seq, const std::string& text = {}) {
    return PacketBytes(P::Pong, seq, "Pong: " + text + '\0');
  }
  const std::vector<std::uint8_t>& Last() const { return channel.writes.back(); }

  // A new fetch with a user agent, taken `steps` states on: session open, connected,
  // request open, response received.
  void Drive(int steps) {
    const P fetch[] = {P::UserAgent, P::Host, P::Verb, P::Headers, P::Send};
    for (int i = 0; i <= steps; ++i) Request(fetch[i], "x");
  }
  // The Error reply for a code, with its text.
  static std::vector<std::uint8_t> ErrorFor(std::uint32_t code) { return Error(code, kErrorTexts.at(code)); }
};

TEST_F(DispatcherTest, PacketsTheDispatcherAnswersItself) {
  Send(P::Ping, 1, "h\xC3\xA9llo \xF0\x9F\x98\x80");
  EXPECT_EQ(Last(), Pong(1, "h\xC3\xA9llo \xF0\x9F\x98\x80")) << "through UTF-16 and back";
  // "Pong: " leaves 3994 units: 3993 characters and the terminator fit, 3994 do not.
  Send(P::Ping, 2, std::string(3993, 'a'));
  EXPECT_EQ(Last(), Pong(2, std::string(3993, 'a')));
  Send(P::Ping, 3, std::string(3994, 'a'));
  EXPECT_EQ(Last(), Pong(3));
  // A reply counts UTF-8 bytes: 3993 units holding one two-byte character need 4001.
  Send(P::Ping, 4, std::string(3992, 'a') + "\xC3\xA9");
  EXPECT_EQ(Last(), PacketBytes(P::Pong, 4, ""));
  // A Pong is only logged; a LogMessage is logged up to its NUL and answered.
  Send(P::Pong, 5, "ignored");
  Send(P::LogMessage, 6, std::string("fetch started\0junk", 18));
  EXPECT_THAT(host.lines, ElementsAre("Got ping response", "fetch started"));
  EXPECT_EQ(Last(), PacketBytes(P::Reply, 6, kSuccess));
  // Invalid types are traced up to a zero byte and never answered nor remembered.
  for (std::uint16_t type : {0, 17, 29, 31, 65535}) {
    host.lines.clear();
    const testing::Received r = MakePacket(type, 7, std::string_view("abc\0def", 7));
    dispatcher.Dispatch(r.packet, r.bytes);
    EXPECT_THAT(host.lines, ElementsAre("Invalid packet type received: ",
                                        "Type: " + std::to_string(type) + "\r\nSize: 7\r\nData: abc\r\n"));
  }
  EXPECT_EQ(channel.writes.size(), 5u);
  EXPECT_EQ(dispatcher.HistoryPosition(), 5);
}

TEST_F(DispatcherTest, RepeatsAreAnsweredFromTheLastTenReplies) {
  // Sequence 0 in a new conversation matches an unused, zero-filled slot.
  Send(P::Ping, 0, "hi");
  EXPECT_EQ(Last(), std::vector<std::uint8_t>(6, 0));
  for (std::uint16_t s = 1; s <= 5; ++s) Send(P::Ping, s, std::to_string(s));
  // A repeat is resent byte for byte whatever its own type, and changes nothing.
  host.lines.clear();
  Send(P::Host, 3, "example.test");
  EXPECT_EQ(Last(), Pong(3, "3"));
  EXPECT_THAT(host.lines, ElementsAre("Resending packet"));
  EXPECT_EQ(dispatcher.LastReplySequence(), 5);

  // Beyond L + 10 and not in the history: new. Older and kept: resent.
  Send(P::Ping, 16, "sixteen");
  Send(P::Ping, 16, "again");
  EXPECT_EQ(Last(), Pong(16, "sixteen"));
  // After a last reply of 30000 every lower number, 30000 too, is new; higher ones are resent.
  Send(P::Ping, 40000, "forty");
  Send(P::Ping, 30000, "mark");
  Send(P::Ping, 30000, "mark2");
  EXPECT_EQ(Last(), Pong(30000, "mark2"));
  Send(P::Ping, 40000, "x");
  EXPECT_EQ(Last(), Pong(40000, "forty"));
  Send(P::Ping, 1, "b");
  EXPECT_EQ(Last(), Pong(1, "b"));

  // Ten slots: 11 replies later 2 is gone; a new conversation still resends the old replies.
  for (std::uint16_t s = 2; s <= 12; ++s) Send(P::Ping, s, "r" + std::to_string(s));
  Send(P::Ping, 2, "new");
  EXPECT_EQ(Last(), Pong(2, "new"));
  dispatcher.BeginConversation();
  Send(P::Ping, 12, "lost reply asked for again");
  EXPECT_EQ(Last(), Pong(12, "r12"));
}

TEST_F(DispatcherTest, FailedWritesRaiseAfterTheReplyIsRemembered) {
  channel.writeResult = E_FAIL;
  EXPECT_THROW(Send(P::Ping, 1), ComError);
  // An Error reply whose write fails leaves before its three log lines.
  EXPECT_THROW(Send(P::Verb, 2), ComError);
  EXPECT_TRUE(host.lines.empty());
  // Once the channel works again, the lost reply is resent from the history.
  channel.writeResult = S_OK;
  Send(P::Verb, 2);
  EXPECT_EQ(Last(),
            PacketBytes(P::Error, 2, Le32(ERROR_CALL_OUT_OF_ORDER) + "Function call out of order" + '\0'));
  EXPECT_THAT(host.lines, ElementsAre("Resending packet"));
  host.channel = nullptr;
  EXPECT_THROW(Send(P::Ping, 3), ComError) << "no open channel";
  EXPECT_EQ(dispatcher.LastReplySequence(), 3);
}

TEST_F(DispatcherTest, OnlyBytesThatArrivedAreRead) {
  // Claims 100 payload bytes, but only 4 arrived; stale bytes after them are not read.
  testing::Received r = MakePacket(P::Ping, 1, std::string(100, 'S'));
  std::memcpy(r.packet.Payload(), "abcd", 4);
  dispatcher.Dispatch(r.packet, kPacketHeaderSize + 4);
  EXPECT_EQ(Last(), Pong(1, "abcd"));
  // More bytes arrived than the length says: only length bytes count.
  r.packet.SetLength(2);
  r.packet.SetSequence(2);
  dispatcher.Dispatch(r.packet, kPacketHeaderSize + 4);
  EXPECT_EQ(Last(), Pong(2, "ab"));
  // At most the record's 4000 bytes, whatever is claimed: no room for a terminator, so no text.
  r = MakePacket(P::LogMessage, 3, std::string(4000, 'L'));
  r.packet.SetLength(5000);
  dispatcher.Dispatch(r.packet, 9000);
  dispatcher.Dispatch(r.packet, 5);
  EXPECT_THAT(host.lines,
              ElementsAre("Packet length 100 exceeds the 4 payload bytes received; using those",
                          "Packet length 5000 exceeds the 4000 payload bytes received; using those", "",
                          "Packet too short to be read: 5 bytes received"));
  EXPECT_EQ(channel.writes.size(), 3u);
}

TEST_F(DispatcherTest, WholeFetchTakesEachPlatformStepOnceWhenItIsNeeded) {
  transport.responseBody = std::string(4000, 'a') + std::string(4000, 'b') + std::string(1000, 'c');
  EXPECT_EQ(Request(P::UserAgent, "Handheld/4.2"), Reply(kSuccess));
  EXPECT_EQ(transport.steps, 0) << "the user agent alone opens nothing";
  // The port may come before the host: both go into the connection.
  EXPECT_EQ(Request(P::Port, "\xBB\x01"), Reply(kSuccess));
  EXPECT_EQ(Request(P::Host, "example.test"), Reply(kSuccess));
  EXPECT_EQ(transport.userAgent, u"Handheld/4.2");
  EXPECT_EQ(Request(P::Path, "/a b?c=%41"), Reply(kSuccess));
  EXPECT_EQ(transport.host, u"example.test");
  EXPECT_EQ(transport.port, 443);
  EXPECT_EQ(Request(P::Verb, "POST"), Reply(kSuccess));
  EXPECT_EQ(Request(P::Secure, "\x01"), Reply(kSuccess));
  EXPECT_EQ(Request(P::Body, "replaced whole by the next"), Reply(kSuccess));
  EXPECT_EQ(Request(P::Body, std::string("\x01\x02\0\x03", 4)), Reply(kSuccess));
  EXPECT_EQ(transport.verb + transport.path + transport.acceptTypes, u"POST/a b?c=%41*/*");
  EXPECT_EQ(transport.flags, 0x800040u) << "escape-disable and secure";
  EXPECT_EQ(Request(P::Headers, "X-One: 1\r\n"), Reply(kSuccess));
  EXPECT_EQ(transport.sendCalls, 0);

  EXPECT_EQ(Request(P::Send), kStatus);
  EXPECT_EQ(transport.headers, u"X-One: 1\r\n");
  EXPECT_EQ(transport.body, std::string("\x01\x02\0\x03", 4));
  EXPECT_EQ(Request(P::ResponseHeaders), Reply(std::string("HTTP/1.1 200 OK\r\n\r\n") + '\0'));
  EXPECT_EQ(Request(P::Send), kStatus) << "asked again";
  EXPECT_EQ(transport.sendCalls, 1);
  EXPECT_EQ(Request(P::Read), Reply(std::string(4000, 'a')));
  // The same Read again (our reply was lost) is answered from the history, not read on.
  const std::vector<std::uint8_t> sent = Last();
  Send(P::Read, sequence);
  EXPECT_EQ(Last(), sent);
  EXPECT_EQ(Request(P::Read), Reply(std::string(4000, 'b')));
  EXPECT_EQ(Request(P::Read), Reply(std::string(1000, 'c')));
  EXPECT_EQ(Request(P::Read), Reply("")) << "the end";

  EXPECT_EQ(Request(P::Close), Reply(""));
  EXPECT_EQ(Request(P::Close), Reply("")) << "closes nothing twice";
  EXPECT_EQ(transport.openHandles, 0);
  EXPECT_EQ(transport.wrongHandles, 0);
  EXPECT_THAT(host.lines, ElementsAre("Resending packet"));
}

TEST_F(DispatcherTest, RequestsOutOfOrderAreRefusedAndReachNothing) {
  const std::vector<P> refusedAfter[] = {
      {P::Verb, P::Path, P::Secure, P::Headers, P::Body, P::Send, P::ResponseHeaders, P::Read},
      {P::Headers, P::Body, P::Send, P::ResponseHeaders, P::Read},
      {P::Host, P::Port, P::Send, P::ResponseHeaders, P::Read},
      {P::Host, P::Port, P::Verb, P::Path, P::Secure, P::ResponseHeaders, P::Read},
      {P::Host, P::Port, P::Verb, P::Path, P::Secure, P::Headers, P::Body}};
  for (int steps = 0; steps < 5; ++steps) {
    for (P type : refusedAfter[steps]) {
      Drive(steps);
      const int platformSteps = transport.steps;
      EXPECT_EQ(Request(type, "\x01\x02"), ErrorFor(ERROR_CALL_OUT_OF_ORDER)) << static_cast<int>(type);
      EXPECT_EQ(transport.steps, platformSteps);
    }
  }
}

TEST_F(DispatcherTest, FailedPlatformStepResetsEverythingAndSendsItsCodeAndText) {
  // The step's error, its code, the states driven before, and the request that takes the step.
  const std::tuple<std::uint32_t FakeHttpTransport::*, std::uint32_t, int, P> cases[] = {
      {&FakeHttpTransport::openSessionError, kErrorInternal, 0, P::Host},
      {&FakeHttpTransport::connectError, kErrorNameNotResolved, 1, P::Path},
      {&FakeHttpTransport::openRequestError, kErrorUnrecognizedScheme, 2, P::Body},
      {&FakeHttpTransport::sendError, kErrorCannotConnect, 3, P::Send},
      {&FakeHttpTransport::receiveError, kErrorInvalidServerResponse, 3, P::Send}};
  for (const auto& [error, code, from, request] : cases) {
    Drive(from);
    host.lines.clear();
    transport.*error = code;
    EXPECT_EQ(Request(request), ErrorFor(code)) << code;
    transport.*error = 0;
    EXPECT_THAT(host.lines, ElementsAre("Sending error:", std::to_string(code), kErrorTexts.at(code)));
    EXPECT_EQ(transport.openHandles, 0);
    Request(P::Host, "h");
    EXPECT_EQ(transport.userAgent, u"") << "the user agent went with the reset";
  }
  EXPECT_EQ(transport.wrongHandles, 0);
  Drive(0);
  // Codes the table does not know, neighbours of known ones among them, borrow no text.
  for (std::uint32_t code : {kErrorInsufficientBuffer, 12001u, 12008u, 854731u, 854734u, 0xFFFFFFFFu}) {
    transport.openSessionError = code;
    EXPECT_EQ(Request(P::Host, "h"), Error(code, ""));
  }
  // The longest text goes out whole after its code.
  transport.openSessionError = kErrorConnectionError;
  EXPECT_EQ(
      Request(P::Host, "h"),
      Error(kErrorConnectionError,
            "The connection with the server has been reset or terminated, or an incompatible SSL protocol "
            "was encountered. For example, WinHTTP 5.1 does not support SSL2 unless the client "
            "specifically enables it."));
}

TEST_F(DispatcherTest, QueriesAndReadsThatFailKeepTheResponseOpen) {
  Drive(4);
  transport.rawProbeResult = kErrorHeaderNotFound;
  EXPECT_EQ(Request(P::ResponseHeaders), Reply(std::string(1, '\0'))) << "no headers: the empty text";
  transport.rawProbeResult = kErrorInsufficientBuffer;
  transport.rawHeaders = std::u16string(1998, u'h');  // with its terminator 3998 bytes: fits
  EXPECT_EQ(Request(P::ResponseHeaders), Reply(std::string(1998, 'h') + '\0'));
  transport.rawHeaders += u'h';  // 4000 bytes: too long
  EXPECT_EQ(Request(P::ResponseHeaders), ErrorFor(ERROR_HEADERS_TOO_LONG));
  // A status text that does not fit after the code in UTF-8 is left out.
  transport.statusText = std::u16string(1999, u'\u00E9');
  EXPECT_EQ(Request(P::Send), Reply(Le32(200)));

  transport.rawQueryError = kErrorInternal;
  transport.statusCodeError = kErrorIncorrectHandleState;
  transport.readError = kErrorTimeout;
  transport.rawHeaders = u"A: b";
  EXPECT_EQ(Request(P::ResponseHeaders), ErrorFor(kErrorInternal));
  EXPECT_EQ(Request(P::Send), ErrorFor(kErrorIncorrectHandleState));
  EXPECT_EQ(Request(P::Read), ErrorFor(kErrorTimeout));
  EXPECT_EQ(transport.openHandles, 3);
}

TEST_F(DispatcherTest, RefusedOrResetSettingsAreNotUsed) {
  // A Port packet with one byte received is refused, whatever stale byte follows it.
  const testing::Received stale = MakePacket(P::Port, ++sequence, "\xBB\x01");
  dispatcher.Dispatch(stale.packet, kPacketHeaderSize + 1);
  EXPECT_EQ(Last(),
            PacketBytes(P::Error, sequence, Le32(kErrorInvalidParameter) + "Invalid parameter" + '\0'));
  EXPECT_EQ(transport.steps, 0) << "no session opened for a refused port";
  EXPECT_EQ(Request(P::Port, std::string("\x50\x00\x99", 3)), Reply(kSuccess));
  EXPECT_EQ(Request(P::Host, "h"), Reply(kSuccess));
  EXPECT_EQ(Request(P::Secure), ErrorFor(kErrorInvalidParameter));
  EXPECT_EQ(Request(P::Secure, std::string("\0", 1)), Reply(kSuccess));
  // The verb field holds 19 characters: a longer verb is refused, not cut to another verb.
  EXPECT_EQ(Request(P::Verb, std::string(20, 'W')), ErrorFor(kErrorInvalidParameter));
  EXPECT_EQ(Request(P::Headers), Reply(kSuccess));
  EXPECT_EQ(transport.verb, u"");
  EXPECT_EQ(transport.port, 80);
  EXPECT_EQ(transport.flags, kFlagEscapeDisable) << "not secure";
  Drive(1);
  EXPECT_EQ(Request(P::Verb, std::string(19, 'V')), Reply(kSuccess));
  EXPECT_EQ(Request(P::Headers), Reply(kSuccess));
  EXPECT_EQ(transport.verb, std::u16string(19, u'V'));

  // A reset forgets the port; a session takes the user's proxy only when one is named.
  Drive(0);
  EXPECT_EQ(Request(P::Port, std::string("\x50\x00", 2)), Reply(kSuccess));
  EXPECT_EQ(transport.accessType, kAccessTypeNoProxy) << "no proxy set";
  EXPECT_EQ(transport.proxyName + transport.proxyBypass, u"(null)(null)");
  transport.proxyConfig = {true, u"127.0.0.1:3128", u"<local>"};
  Drive(1);
  Request(P::Path, "/");
  EXPECT_EQ(transport.port, 0) << "the port went with the reset: the scheme's default";
  EXPECT_EQ(transport.accessType, kAccessTypeNamedProxy);
  EXPECT_EQ(transport.proxyName + u" " + transport.proxyBypass, u"127.0.0.1:3128 <local>");
  transport.proxyResult = 5;  // settings that cannot be read mean no proxy
  Drive(1);
  EXPECT_EQ(transport.accessType, kAccessTypeNoProxy);
}

// counting_allocator.cpp, built into this test, replaces global operator new.
TEST_F(DispatcherTest, PingStatusAndReadRepliesAllocateNothing) {
  transport.responseBody = std::string(20000, 'd');
  Drive(1);
  const P types[] = {P::Ping, P::Path, P::Headers, P::Send, P::Read, P::Read};
  testing::Received packets[6];
  for (int i = 0; i < 6; ++i) packets[i] = MakePacket(types[i], static_cast<std::uint16_t>(3 + i), "p");
  transport.record = channel.record = false;
  const long before = testing::AllocationCount();
  for (const testing::Received& r : packets) dispatcher.Dispatch(r.packet, r.bytes);
  EXPECT_EQ(testing::AllocationCount() - before, 0);
  EXPECT_EQ(channel.lastWriteSize, kPacketSize);
  host.Log(std::string(100, 'x'));
  EXPECT_GT(testing::AllocationCount() - before, 0) << "the counter sees allocations at all";
}

}  // namespace
}  // namespace skiff
