// The fetch requests and the HTTP client beneath them, through Dispatch with a scripted
// transport: the lazy platform steps, the proxy rule, refusals out of order, resets after
// failed steps, the queries, error replies with their texts, and replies that allocate nothing.
#include <string>
#include <utility>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/text.h"
#include "http/http_client.h"
#include "http/http_error_text.h"
#include "protocol/dispatcher.h"
#include "support/counting_allocator.h"
#include "support/fake_http_transport.h"
#include "support/recording_channel.h"

namespace skiff {
namespace {

using ::testing::ElementsAre;
using testing::FakeHttpTransport;
using testing::Le32;
using P = PacketType;

const std::string kSuccess("Success\0", 8);
const std::vector<std::uint8_t> kStatus = testing::DispatchRig::Reply(Le32(200) + std::string("OK\0", 3));

struct WithFakeTransport {
  FakeHttpTransport transport;
};

class FetchRequestsTest : public ::testing::Test,
                          protected WithFakeTransport,
                          protected testing::DispatchRig {
 protected:
  FetchRequestsTest() : DispatchRig(transport) {}
  void TearDown() override { EXPECT_EQ(faults, 0) << "a request was not answered once with its sequence"; }

  // A new fetch with a user agent, taken `steps` states on: session open, connected,
  // request open, response received.
  void Drive(int steps) {
    const std::pair<P, const char*> fetch[] = {{P::UserAgent, "Agent/1"},
                                               {P::Host, "example.test"},
                                               {P::Verb, "GET"},
                                               {P::Headers, ""},
                                               {P::Send, ""}};
    for (int i = 0; i <= steps; ++i) Request(fetch[i].first, fetch[i].second);
  }
  // The Error reply for a code, with the text the table has for it.
  static std::vector<std::uint8_t> ErrorFor(std::uint32_t code) {
    return Error(code, WideToUtf8String(HttpErrorText(code)));
  }
};

TEST_F(FetchRequestsTest, WholeFetchTakesEachPlatformStepOnceWhenItIsNeeded) {
  std::string body(9000, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>(i * 7);
  transport.responseBody = body;
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
  EXPECT_EQ(transport.openHandles, 2);
  EXPECT_EQ(Request(P::Body, std::string("\x01\x02\0\x03", 4)), Reply(kSuccess));
  EXPECT_EQ(transport.verb + transport.path + transport.acceptTypes, u"POST/a b?c=%41*/*;");
  EXPECT_EQ(transport.flags, 0x800040u) << "escape-disable and secure";
  EXPECT_EQ(Request(P::Headers, "X-One: 1\r\n"), Reply(kSuccess));
  EXPECT_EQ(transport.sendCalls, 0);

  EXPECT_EQ(Request(P::Send), kStatus);
  EXPECT_EQ(transport.headers, u"X-One: 1\r\n");
  EXPECT_EQ(transport.headersLength, 10u);
  EXPECT_EQ(transport.body, std::string("\x01\x02\0\x03", 4));
  EXPECT_EQ(Request(P::ResponseHeaders), Reply(std::string("HTTP/1.1 200 OK\r\n\r\n") + '\0'));
  EXPECT_EQ(Request(P::Send), kStatus) << "asked again";
  EXPECT_EQ(transport.sendCalls, 1);
  EXPECT_EQ(Request(P::Read), Reply(body.substr(0, 4000)));
  EXPECT_EQ(Request(P::Read), Reply(body.substr(4000, 4000)));
  EXPECT_EQ(Request(P::Read), Reply(body.substr(8000)));
  EXPECT_EQ(Request(P::Read), Reply(""));
  EXPECT_EQ(Request(P::Read), Reply("")) << "and again on every further read";

  EXPECT_EQ(Request(P::Close), Reply(""));
  EXPECT_EQ(http.State(), HttpClientState::Idle);
  EXPECT_EQ(transport.openHandles, 0);
  EXPECT_EQ(transport.wrongHandles, 0);
  EXPECT_TRUE(host.lines.empty());
}

TEST_F(FetchRequestsTest, SessionUsesTheUsersNamedProxyOnlyWhenOneIsSet) {
  Request(P::Host, "h");
  EXPECT_EQ(transport.accessType, kAccessTypeNoProxy);
  EXPECT_EQ(transport.proxyName + transport.proxyBypass, u"(null)(null)");

  transport.proxyConfig = {true, u"127.0.0.1:3128", u"<local>"};
  Drive(1);
  EXPECT_EQ(transport.accessType, kAccessTypeNamedProxy);
  EXPECT_EQ(transport.proxyName + u" " + transport.proxyBypass, u"127.0.0.1:3128 <local>");

  transport.proxyResult = 5;  // settings that cannot be read mean no proxy
  Drive(1);
  EXPECT_EQ(transport.accessType, kAccessTypeNoProxy);
  EXPECT_EQ(transport.proxyName, u"(null)");
}

TEST_F(FetchRequestsTest, RequestsOutOfOrderAreRefusedAndReachNothing) {
  const std::vector<P> refusedAfter[] = {
      {P::Verb, P::Path, P::Secure, P::Headers, P::Body, P::Send, P::ResponseHeaders, P::Read},
      {P::Headers, P::Body, P::Send, P::ResponseHeaders, P::Read},
      {P::Host, P::Port, P::Send, P::ResponseHeaders, P::Read},
      {P::Host, P::Port, P::Verb, P::Path, P::Secure, P::ResponseHeaders, P::Read},
      {P::Host, P::Port, P::Verb, P::Path, P::Secure, P::Headers, P::Body}};
  for (int steps = 0; steps < 5; ++steps) {
    for (P type : refusedAfter[steps]) {
      Drive(steps);
      const HttpClientState state = http.State();
      const int platformSteps = transport.steps;
      EXPECT_EQ(Request(type, "\x01\x02"), Error(ERROR_CALL_OUT_OF_ORDER, "Function call out of order"))
          << static_cast<int>(type) << " after " << steps;
      EXPECT_EQ(http.State(), state);
      EXPECT_EQ(transport.steps, platformSteps);
    }
  }
}

TEST_F(FetchRequestsTest, FailedPlatformStepResetsEverythingAndSendsItsOwnCode) {
  const struct {
    std::uint32_t FakeHttpTransport::*error;
    std::uint32_t code;
    int from;
    P request;
  } cases[] = {{&FakeHttpTransport::openSessionError, kErrorInternal, 0, P::Host},
               {&FakeHttpTransport::connectError, kErrorNameNotResolved, 1, P::Path},
               {&FakeHttpTransport::openRequestError, kErrorUnrecognizedScheme, 2, P::Body},
               {&FakeHttpTransport::sendError, kErrorCannotConnect, 3, P::Send},
               {&FakeHttpTransport::receiveError, kErrorInvalidServerResponse, 3, P::Send}};
  for (const auto& c : cases) {
    Drive(c.from);
    host.lines.clear();
    transport.*c.error = c.code;
    EXPECT_EQ(Request(c.request), ErrorFor(c.code)) << c.code;
    transport.*c.error = 0;
    EXPECT_THAT(host.lines, ElementsAre("Sending error:", std::to_string(c.code),
                                        WideToUtf8String(HttpErrorText(c.code))));
    EXPECT_EQ(http.State(), HttpClientState::Idle);
    EXPECT_EQ(transport.openHandles, 0);
    Request(P::Host, "h");
    EXPECT_EQ(transport.userAgent, u"") << "the user agent went with the reset";
  }
  EXPECT_EQ(transport.wrongHandles, 0);
}

TEST_F(FetchRequestsTest, ErrorRepliesCarryTheTableTextOrTheCodeAlone) {
  transport.connectError = kErrorNameNotResolved;
  Request(P::Host, "h");
  EXPECT_EQ(Request(P::Path, "/"), Error(kErrorNameNotResolved, "The server name cannot be resolved."));
  // Codes the table does not know, neighbours of known ones among them, borrow no text.
  for (std::uint32_t code : {kErrorInsufficientBuffer, 12001u, 12008u, 854731u, 854734u, 0xFFFFFFFFu}) {
    host.lines.clear();
    transport.openSessionError = code;
    EXPECT_EQ(Request(P::Host, "h"), Error(code, ""));
    EXPECT_THAT(host.lines, ElementsAre("Sending error:", std::to_string(code), ""));
  }
  // Every text the table has goes out whole after its code.
  for (std::uint32_t code = 1; code < 900000; ++code) {
    if (HttpErrorText(code) == nullptr) continue;
    transport.openSessionError = code;
    EXPECT_EQ(Request(P::Host, "h"), ErrorFor(code)) << code;
  }
}

TEST_F(FetchRequestsTest, QueriesAndReadsThatFailKeepTheResponseOpen) {
  Drive(4);
  transport.rawProbeResult = kErrorHeaderNotFound;
  EXPECT_EQ(Request(P::ResponseHeaders), Reply(std::string(1, '\0'))) << "no headers: the empty text";
  transport.rawProbeResult = kErrorInsufficientBuffer;
  transport.rawHeaders = std::u16string(1999, u'h');  // with its terminator 4000 bytes: too long
  EXPECT_EQ(Request(P::ResponseHeaders), Error(ERROR_HEADERS_TOO_LONG, "Headers too long to fit in buffer"));
  transport.rawNeededOverride = 3999;
  transport.rawHeaders = u"A: b";
  EXPECT_EQ(Request(P::ResponseHeaders), Reply(std::string("A: b\0", 5)));

  transport.rawQueryError = kErrorInternal;
  transport.statusCodeError = kErrorIncorrectHandleState;
  transport.readError = kErrorTimeout;
  EXPECT_EQ(Request(P::ResponseHeaders), ErrorFor(kErrorInternal));
  EXPECT_EQ(Request(P::Send), ErrorFor(kErrorIncorrectHandleState));
  EXPECT_EQ(Request(P::Read), ErrorFor(kErrorTimeout));
  EXPECT_EQ(http.State(), HttpClientState::ResponseReceived);
  EXPECT_EQ(transport.openHandles, 3);
  EXPECT_EQ(transport.sendCalls, 1);
}

TEST_F(FetchRequestsTest, RefusedValuesStoreNothing) {
  EXPECT_EQ(Request(P::Port, "\x50"), ErrorFor(kErrorInvalidParameter));
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

  // A Port packet with one byte received never takes the stale byte after it.
  Drive(0);
  testing::Received stale = testing::MakePacket(P::Port, ++sequence, "\xBB\x01");
  dispatcher.Dispatch(stale.packet, kPacketHeaderSize + 1);
  EXPECT_EQ(
      channel.writes.back(),
      testing::WireBytes(P::Error, sequence, Le32(kErrorInvalidParameter) + "Invalid parameter" + '\0'));

  // The body is replaced whole; its field holds 16000 bytes, more than a packet carries.
  Drive(1);
  EXPECT_EQ(Request(P::Verb, std::string(19, 'V')), Reply(kSuccess));
  EXPECT_EQ(Request(P::Body, std::string(3000, 'a')), Reply(kSuccess));
  EXPECT_EQ(Request(P::Body, "second"), Reply(kSuccess));
  const std::string full(16001, 'f');
  EXPECT_EQ(http.SetBody(reinterpret_cast<const std::uint8_t*>(full.data()), 16001), kErrorInvalidParameter);
  Request(P::Send);
  EXPECT_EQ(transport.verb, std::u16string(19, u'V'));
  EXPECT_EQ(transport.body, "second");
  EXPECT_EQ(transport.headersLength, 0u);
  Drive(2);
  EXPECT_EQ(http.SetBody(reinterpret_cast<const std::uint8_t*>(full.data()), 16000), 0u);
  Request(P::Send);
  EXPECT_EQ(transport.body.size(), 16000u);
}

TEST_F(FetchRequestsTest, ResetsCloseOnlyWhatIsOpenAndForgetTheSettings) {
  Drive(2);
  const int beforeClose = transport.steps;
  EXPECT_EQ(Request(P::Close), Reply(""));
  EXPECT_EQ(Request(P::Close), Reply(""));
  EXPECT_EQ(transport.steps, beforeClose + 2) << "the connection and the session, once";

  // A user agent mid-fetch closes everything; the port goes with it, the agent stays.
  Drive(0);
  Request(P::Port, "\x50\x00");
  Request(P::Verb, "GET");
  EXPECT_EQ(Request(P::UserAgent, "Next/2"), Reply(kSuccess));
  EXPECT_EQ(transport.openHandles, 0);
  Request(P::Host, "h");
  Request(P::Path, "/");
  EXPECT_EQ(transport.port, 0) << "the scheme's default";
  EXPECT_EQ(transport.userAgent, u"Next/2");
  EXPECT_EQ(transport.wrongHandles, 0);

  // Only Reset closes handles, never the client's destruction (the worker's teardown resets).
  {
    HttpClient other(transport);
    other.SetHost(u"h");
  }
  EXPECT_EQ(transport.openHandles, 3);
}

TEST_F(FetchRequestsTest, RepeatedReadIsAnsweredFromHistoryWithoutReadingOn) {
  transport.responseBody = std::string(4000, 'A') + std::string(2000, 'B');
  Drive(4);
  EXPECT_EQ(Request(P::Read), Reply(std::string(4000, 'A')));
  const std::vector<std::uint8_t> sent = channel.writes.back();
  const testing::Received again = testing::MakePacket(P::Read, sequence);
  dispatcher.Dispatch(again.packet, again.bytes);
  EXPECT_EQ(channel.writes.back(), sent);
  EXPECT_EQ(transport.readCalls, 1);
  EXPECT_EQ(Request(P::Read), Reply(std::string(2000, 'B')));
}

// counting_allocator.cpp, built into this test, replaces global operator new.
TEST_F(FetchRequestsTest, PingStatusAndReadRepliesAllocateNothing) {
  transport.responseBody = std::string(20000, 'd');
  Drive(1);
  const testing::Received packets[] = {testing::MakePacket(P::Ping, 3, std::string(3000, 'p')),
                                       testing::MakePacket(P::Path, 4, "/some/where"),
                                       testing::MakePacket(P::Headers, 5),
                                       testing::MakePacket(P::Send, 6),
                                       testing::MakePacket(P::Read, 7),
                                       testing::MakePacket(P::Read, 8)};
  transport.record = channel.record = false;
  const long before = testing::AllocationCount();
  for (const testing::Received& r : packets) dispatcher.Dispatch(r.packet, r.bytes);
  EXPECT_EQ(testing::AllocationCount() - before, 0);
  EXPECT_EQ(channel.writeCount, 8);
  EXPECT_EQ(channel.lastWriteSize, kPacketSize);
  host.Log(std::string(100, 'x'));
  EXPECT_GT(testing::AllocationCount() - before, 0) << "the counter sees allocations at all";
}

}  // namespace
}  // namespace skiff
