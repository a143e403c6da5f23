// The fetch requests through Dispatch with a scripted transport: a whole fetch packet by
// packet, status and error replies with their log lines, and the refusals.
#include <cstring>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "http/http_client.h"
#include "protocol/dispatcher.h"
#include "unit/fakes/fake_channel.h"
#include "unit/fakes/fake_http_transport.h"

namespace skiff {
namespace {

using ::testing::ElementsAre;
using testing::FakeHttpTransport;
using testing::Le32;
using testing::MakePacket;
using testing::WireBytes;

const std::string kSuccess("Success\0", 8);

struct WithFakeTransport {
  FakeHttpTransport transport;
};

class FetchRequestsTest : public ::testing::Test,
                          protected WithFakeTransport,
                          protected testing::DispatchRig {
 protected:
  FetchRequestsTest() : DispatchRig(transport) {}
  void TearDown() override { EXPECT_EQ(faults, 0) << "a request was not answered once with its sequence"; }
};

TEST_F(FetchRequestsTest, WholeFetchIsAnsweredStepByStep) {
  std::string body(9000, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7);
  transport.responseBody = body;
  transport.rawHeaders = u"HTTP/1.1 200 OK\r\nContent-Length: 9000\r\n\r\n";

  EXPECT_EQ(Request(PacketType::UserAgent, "Handheld/4.2"), Reply(kSuccess));
  EXPECT_EQ(Request(PacketType::Host, "example.test"), Reply(kSuccess));
  EXPECT_EQ(http.State(), HttpClientState::SessionOpen);
  EXPECT_EQ(transport.userAgent, u"Handheld/4.2");
  EXPECT_EQ(Request(PacketType::Port, "\xBB\x01"), Reply(kSuccess));
  EXPECT_EQ(Request(PacketType::Verb, "GET"), Reply(kSuccess));
  EXPECT_EQ(http.State(), HttpClientState::Connected);
  EXPECT_EQ(transport.host, u"example.test");
  EXPECT_EQ(transport.port, 443);
  EXPECT_EQ(Request(PacketType::Path, "/files/a.bin"), Reply(kSuccess));
  EXPECT_EQ(Request(PacketType::Secure, "\x01"), Reply(kSuccess));
  EXPECT_EQ(Request(PacketType::Headers), Reply(kSuccess));
  EXPECT_EQ(http.State(), HttpClientState::RequestOpen);
  EXPECT_EQ(transport.verb, u"GET");
  EXPECT_EQ(transport.path, u"/files/a.bin");
  EXPECT_EQ(transport.flags, 0x800040u);

  EXPECT_EQ(Request(PacketType::Send), Reply(Le32(200) + std::string("OK\0", 3)));
  EXPECT_EQ(channel.writes.back().size(), 6u + 7u);
  EXPECT_EQ(Request(PacketType::ResponseHeaders),
            Reply(std::string("HTTP/1.1 200 OK\r\nContent-Length: 9000\r\n\r\n") + '\0'));

  EXPECT_EQ(Request(PacketType::Read), Reply(body.substr(0, 4000)));
  EXPECT_EQ(Request(PacketType::Read), Reply(body.substr(4000, 4000)));
  EXPECT_EQ(Request(PacketType::Read), Reply(body.substr(8000)));
  EXPECT_EQ(Request(PacketType::Read), Reply(""));
  EXPECT_EQ(Request(PacketType::Read), Reply("")) << "and again on every further read";
  EXPECT_EQ(Request(PacketType::Close), Reply(""));
  EXPECT_EQ(http.State(), HttpClientState::Idle);
  EXPECT_EQ(transport.openHandles, 0);
  EXPECT_TRUE(host.lines.empty());
  EXPECT_EQ(transport.sendCalls, 1);
}

TEST_F(FetchRequestsTest, RepeatedReadIsAnsweredFromHistoryWithoutReadingOn) {
  transport.responseBody = std::string(6000, 'b');
  transport.responseBody[0] = 'A';
  transport.responseBody[4000] = 'B';
  Request(PacketType::Host, "h");
  Request(PacketType::Verb, "GET");
  Request(PacketType::Body, "payload");
  Request(PacketType::Send);
  const std::vector<std::uint8_t> first = Request(PacketType::Read);
  ASSERT_EQ(first.size(), 4006u);
  EXPECT_EQ(first[6], 'A');
  const std::vector<std::uint8_t> sent = channel.writes.back();
  // The same sequence again: the handheld lost our reply.
  testing::Received again = MakePacket(PacketType::Read, sequence);
  dispatcher.Dispatch(again.packet, again.bytes);
  EXPECT_EQ(channel.writes.back(), sent);
  EXPECT_EQ(transport.readCalls, 1);
  const std::vector<std::uint8_t> second = Request(PacketType::Read);
  ASSERT_EQ(second.size(), 6u + 2000u);
  EXPECT_EQ(second[6], 'B');
  EXPECT_EQ(transport.body, "payload");
}

TEST_F(FetchRequestsTest, ErrorReplyCarriesCodeTextAndThreeLogLines) {
  // Verb before any session: out of order.
  EXPECT_EQ(Request(PacketType::Verb, "GET"), Error(ERROR_CALL_OUT_OF_ORDER, "Function call out of order"));
  EXPECT_THAT(host.lines, ElementsAre("Sending error:", "854732", "Function call out of order"));
  EXPECT_EQ(http.State(), HttpClientState::Idle);
  EXPECT_TRUE(transport.calls.empty());

  // Send before any Headers or Body.
  host.lines.clear();
  Request(PacketType::Host, "h");
  Request(PacketType::Path, "/");
  EXPECT_EQ(Request(PacketType::Send), Error(ERROR_CALL_OUT_OF_ORDER, "Function call out of order"));
  EXPECT_EQ(transport.sendCalls, 0);
  EXPECT_EQ(http.State(), HttpClientState::Connected);
}

TEST_F(FetchRequestsTest, CodeWithoutTextSendsTheCodeAloneAndAnEmptyLine) {
  transport.connectError = kErrorInsufficientBuffer;
  Request(PacketType::UserAgent, "UA");
  Request(PacketType::Host, "h");
  EXPECT_EQ(Request(PacketType::Verb, "GET"), Error(kErrorInsufficientBuffer, ""));
  EXPECT_EQ(channel.writes.back().size(), 6u + 4u);
  EXPECT_THAT(host.lines, ElementsAre("Sending error:", "122", ""));
  // The failed step reset everything, the user agent included.
  EXPECT_EQ(http.State(), HttpClientState::Idle);
  transport.connectError = 0;
  Request(PacketType::Host, "h");
  EXPECT_EQ(transport.userAgent, u"");

  // A code with a text: the name could not be resolved.
  host.lines.clear();
  transport.connectError = kErrorNameNotResolved;
  EXPECT_EQ(Request(PacketType::Path, "/"),
            Error(kErrorNameNotResolved, "The server name cannot be resolved."));
  EXPECT_THAT(host.lines, ElementsAre("Sending error:", "12007", "The server name cannot be resolved."));
}

TEST_F(FetchRequestsTest, ShortPortAndSecurePacketsAreRefusedAndStoreNothing) {
  EXPECT_EQ(Request(PacketType::Port, "\x50"), Error(kErrorInvalidParameter, "Invalid parameter"));
  EXPECT_EQ(http.State(), HttpClientState::Idle) << "no session opened for a refused port";
  EXPECT_TRUE(transport.calls.empty());
  EXPECT_EQ(Request(PacketType::Port, std::string("\x50\x00\x99", 3)), Reply(kSuccess));
  EXPECT_EQ(Request(PacketType::Host, "h"), Reply(kSuccess));
  EXPECT_EQ(Request(PacketType::Secure), Error(kErrorInvalidParameter, "Invalid parameter"));
  EXPECT_EQ(http.State(), HttpClientState::SessionOpen);
  EXPECT_EQ(Request(PacketType::Secure, std::string("\0", 1)), Reply(kSuccess));
  EXPECT_EQ(transport.port, 80);
  EXPECT_EQ(Request(PacketType::Headers, "X: y\r\n"), Reply(kSuccess));
  EXPECT_EQ(transport.flags, kFlagEscapeDisable);

  // The stale record bytes of a short packet are never used as a port.
  host.lines.clear();
  Request(PacketType::UserAgent, "UA");
  testing::Received stale =
      MakePacket(static_cast<std::uint16_t>(PacketType::Port), ++sequence, "\xBB\x01", 2);
  stale.packet.SetLength(1);
  stale.bytes = kPacketHeaderSize + 1;
  dispatcher.Dispatch(stale.packet, stale.bytes);
  EXPECT_EQ(channel.writes.back(), WireBytes(PacketType::Error, sequence,
                                             Le32(kErrorInvalidParameter) + "Invalid parameter" + '\0'));
}

TEST_F(FetchRequestsTest, HeaderQueryAnswersEmptyTextTooLongOrFailure) {
  Request(PacketType::Host, "h");
  Request(PacketType::Verb, "GET");
  Request(PacketType::Headers);
  Request(PacketType::Send);
  transport.rawProbeResult = kErrorHeaderNotFound;
  EXPECT_EQ(Request(PacketType::ResponseHeaders), Reply(std::string(1, '\0')));
  transport.rawProbeResult = ERROR_INSUFFICIENT_BUFFER;
  transport.rawHeaders = std::u16string(2500, u'h');
  EXPECT_EQ(Request(PacketType::ResponseHeaders),
            Error(ERROR_HEADERS_TOO_LONG, "Headers too long to fit in buffer"));
  transport.readError = kErrorConnectionError;
  const std::vector<std::uint8_t> failedRead = Request(PacketType::Read);
  ASSERT_GT(failedRead.size(), 10u);
  EXPECT_EQ(failedRead[0], static_cast<std::uint8_t>(PacketType::Error));
  EXPECT_EQ(http.State(), HttpClientState::ResponseReceived);
  // Status asked again: same answer, no second send.
  EXPECT_EQ(Request(PacketType::Send), Reply(Le32(200) + std::string("OK\0", 3)));
  EXPECT_EQ(transport.sendCalls, 1);
}

TEST_F(FetchRequestsTest, UserAgentMidFetchClosesEverythingAndSucceeds) {
  Request(PacketType::Host, "h");
  Request(PacketType::Verb, "GET");
  Request(PacketType::Headers);
  EXPECT_EQ(transport.openHandles, 3);
  EXPECT_EQ(Request(PacketType::UserAgent, "again"), Reply(kSuccess));
  EXPECT_EQ(transport.openHandles, 0);
  EXPECT_EQ(http.State(), HttpClientState::Idle);
  // The body of a request packet is taken as it is, zero bytes included.
  Request(PacketType::Host, "h");
  Request(PacketType::Verb, "POST");
  EXPECT_EQ(Request(PacketType::Body, std::string("a\0b", 3)), Reply(kSuccess));
  Request(PacketType::Send);
  EXPECT_EQ(transport.body, std::string("a\0b", 3));
  EXPECT_EQ(transport.userAgent, u"again");
}

}  // namespace
}  // namespace skiff
