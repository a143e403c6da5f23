// The HTTP client's state machine against a scripted transport: lazy steps, the proxy
// rule, refusals out of order, resets after failed steps, and the query semantics.
#include "http/http_client.h"

#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "unit/fakes/fake_http_transport.h"

namespace skiff {
namespace {

using ::testing::ElementsAre;
using testing::FakeHttpTransport;

constexpr std::uint32_t kOutOfOrder = ERROR_CALL_OUT_OF_ORDER;

class HttpClientTest : public ::testing::Test {
 protected:
  // Drives a fresh client up to the given state through its public operations.
  void DriveTo(HttpClientState target) {
    ASSERT_EQ(client.SetUserAgent(u"Agent/1.0"), 0u);
    if (target == HttpClientState::Idle) return;
    ASSERT_EQ(client.SetHost(u"example.test"), 0u);
    ASSERT_EQ(client.SetPort(8443), 0u);
    if (target == HttpClientState::SessionOpen) return;
    ASSERT_EQ(client.SetVerb(u"POST"), 0u);
    ASSERT_EQ(client.SetPath(u"/a b?c=%41"), 0u);
    if (target == HttpClientState::Connected) return;
    ASSERT_EQ(client.SetHeaders(u"X-One: 1\r\n"), 0u);
    if (target == HttpClientState::RequestOpen) return;
    std::uint32_t status = 0;
    std::uint32_t textBytes = sizeof(text);
    ASSERT_EQ(client.QueryStatus(&status, text, &textBytes), 0u);
  }

  FakeHttpTransport transport;
  HttpClient client{transport};
  WideChar text[4000] = {};
};

TEST_F(HttpClientTest, WholeFetchTakesEachPlatformStepOnceWithTheStoredSettings) {
  transport.responseBody = std::string(9000, 'x');
  EXPECT_EQ(client.SetUserAgent(u"Agent/1.0"), 0u);
  EXPECT_TRUE(transport.calls.empty()) << "the user agent alone opens nothing";
  // Port before host: both land before the connection.
  EXPECT_EQ(client.SetPort(8443), 0u);
  EXPECT_EQ(client.State(), HttpClientState::SessionOpen);
  EXPECT_EQ(client.SetHost(u"example.test"), 0u);
  EXPECT_EQ(transport.userAgent, u"Agent/1.0");
  EXPECT_EQ(transport.connectCalls, 0);

  EXPECT_EQ(client.SetPath(u"/a b?c=%41"), 0u);
  EXPECT_EQ(client.State(), HttpClientState::Connected);
  EXPECT_EQ(transport.host, u"example.test");
  EXPECT_EQ(transport.port, 8443);
  EXPECT_EQ(client.SetVerb(u"POST"), 0u);
  EXPECT_EQ(client.SetSecure(true), 0u);
  EXPECT_EQ(transport.openRequestCalls, 0);

  const std::uint8_t body[] = {1, 2, 0, 3};
  EXPECT_EQ(client.SetBody(body, sizeof(body)), 0u);
  EXPECT_EQ(client.State(), HttpClientState::RequestOpen);
  EXPECT_EQ(transport.verb, u"POST");
  EXPECT_EQ(transport.path, u"/a b?c=%41");
  EXPECT_EQ(transport.flags, kFlagEscapeDisable | kFlagSecure);
  EXPECT_EQ(transport.flags, 0x800040u);
  EXPECT_THAT(transport.acceptTypes, ElementsAre(u"*/*"));
  EXPECT_EQ(client.SetHeaders(u"X-One: 1\r\n"), 0u);
  EXPECT_EQ(transport.sendCalls, 0);

  std::uint32_t status = 0;
  std::uint32_t textBytes = 4000;
  EXPECT_EQ(client.QueryStatus(&status, text, &textBytes), 0u);
  EXPECT_EQ(client.State(), HttpClientState::ResponseReceived);
  EXPECT_EQ(status, 200u);
  EXPECT_EQ(std::u16string(text), u"OK");
  EXPECT_EQ(transport.headers, u"X-One: 1\r\n");
  EXPECT_EQ(transport.headersLength, 10u);
  EXPECT_EQ(transport.body, std::string("\x01\x02\x00\x03", 4));

  // Asked again, the status is queried again without a second send.
  status = 0;
  textBytes = 4000;
  EXPECT_EQ(client.QueryStatus(&status, text, &textBytes), 0u);
  EXPECT_EQ(status, 200u);
  EXPECT_EQ(transport.sendCalls, 1);
  EXPECT_EQ(transport.receiveCalls, 1);

  std::uint8_t chunk[4000];
  std::vector<std::uint16_t> counts;
  for (int i = 0; i < 5; ++i) {
    std::uint16_t count = 0xBEEF;
    ASSERT_EQ(client.ReadBody(chunk, sizeof(chunk), &count), 0u);
    counts.push_back(count);
  }
  EXPECT_THAT(counts, ElementsAre(4000, 4000, 1000, 0, 0));
  EXPECT_EQ(client.State(), HttpClientState::ResponseReceived);
  EXPECT_EQ(transport.openSessionCalls, 1);
  EXPECT_EQ(transport.connectCalls, 1);
  EXPECT_EQ(transport.openRequestCalls, 1);
  EXPECT_THAT(transport.calls, ::testing::Not(::testing::Contains("WRONG HANDLE")));

  client.Reset();
  EXPECT_EQ(client.State(), HttpClientState::Idle);
  EXPECT_EQ(transport.openHandles, 0);
  const std::vector<std::string> tail(transport.calls.end() - 3, transport.calls.end());
  EXPECT_THAT(tail, ElementsAre("Close request", "Close connection", "Close session"));
}

TEST_F(HttpClientTest, SessionUsesTheUsersNamedProxyOnlyWhenOneIsSet) {
  EXPECT_EQ(client.SetHost(u"h"), 0u);
  EXPECT_EQ(transport.accessType, kAccessTypeNoProxy);
  EXPECT_TRUE(transport.proxyNameNull);
  EXPECT_TRUE(transport.proxyBypassNull);
  EXPECT_EQ(transport.userAgent, u"") << "a new client opens with the empty user agent";

  transport.proxyConfig.hasProxy = true;
  transport.proxyConfig.proxy = u"127.0.0.1:3128";
  transport.proxyConfig.bypass = u"<local>";
  client.Reset();
  EXPECT_EQ(client.SetHost(u"h"), 0u);
  EXPECT_EQ(transport.accessType, kAccessTypeNamedProxy);
  EXPECT_EQ(transport.proxyName, u"127.0.0.1:3128");
  EXPECT_EQ(transport.proxyBypass, u"<local>");

  // Settings that cannot be read mean no proxy.
  transport.proxyResult = 5;
  client.Reset();
  EXPECT_EQ(client.SetHost(u"h"), 0u);
  EXPECT_EQ(transport.accessType, kAccessTypeNoProxy);
  EXPECT_TRUE(transport.proxyNameNull);
}

TEST_F(HttpClientTest, OperationsOutOfOrderAreRefusedAndChangeNothing) {
  std::uint32_t status = 0;
  std::uint32_t bytes = 4000;
  std::uint16_t count = 0;
  std::uint8_t chunk[16];
  const std::uint8_t one = 1;

  // Each operation, called in every state where it is not allowed.
  auto attempt = [&](const std::string& op) -> std::uint32_t {
    if (op == "host") return client.SetHost(u"other");
    if (op == "port") return client.SetPort(1);
    if (op == "verb") return client.SetVerb(u"PUT");
    if (op == "path") return client.SetPath(u"/x");
    if (op == "secure") return client.SetSecure(false);
    if (op == "headers") return client.SetHeaders(u"A: b");
    if (op == "body") return client.SetBody(&one, 1);
    if (op == "status") return client.QueryStatus(&status, text, &bytes);
    if (op == "raw") return client.QueryRawHeaders(text, &bytes, 4000);
    return client.ReadBody(chunk, sizeof(chunk), &count);
  };
  const std::vector<std::pair<HttpClientState, std::vector<std::string>>> refused = {
      {HttpClientState::Idle, {"verb", "path", "secure", "headers", "body", "status", "raw", "read"}},
      {HttpClientState::SessionOpen, {"headers", "body", "status", "raw", "read"}},
      {HttpClientState::Connected, {"host", "port", "status", "raw", "read"}},
      {HttpClientState::RequestOpen, {"host", "port", "verb", "path", "secure", "raw", "read"}},
      {HttpClientState::ResponseReceived, {"host", "port", "verb", "path", "secure", "headers", "body"}},
  };
  for (const auto& [state, ops] : refused) {
    for (const std::string& op : ops) {
      client.Reset();
      DriveTo(state);
      const std::size_t callsBefore = transport.calls.size();
      const int handlesBefore = transport.openHandles;
      EXPECT_EQ(attempt(op), kOutOfOrder) << op << " in state " << static_cast<int>(state);
      EXPECT_EQ(client.State(), state) << op;
      EXPECT_EQ(transport.calls.size(), callsBefore) << op << " must not reach the platform";
      EXPECT_EQ(transport.openHandles, handlesBefore);
    }
  }
}

TEST_F(HttpClientTest, EveryFailedPlatformStepResetsEverythingAndKeepsItsOwnCode) {
  struct Case {
    const char* name;
    std::uint32_t FakeHttpTransport::*error;
    std::uint32_t code;
    HttpClientState from;
  };
  const Case cases[] = {
      {"open session", &FakeHttpTransport::openSessionError, kErrorInternal, HttpClientState::Idle},
      {"connect", &FakeHttpTransport::connectError, kErrorNameNotResolved, HttpClientState::SessionOpen},
      {"open request", &FakeHttpTransport::openRequestError, kErrorUnrecognizedScheme,
       HttpClientState::Connected},
      {"send", &FakeHttpTransport::sendError, kErrorCannotConnect, HttpClientState::RequestOpen},
      {"receive", &FakeHttpTransport::receiveError, kErrorInvalidServerResponse,
       HttpClientState::RequestOpen},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    client.Reset();
    transport = FakeHttpTransport();
    DriveTo(c.from);
    transport.*c.error = c.code;
    std::uint32_t result = 0;
    std::uint32_t status = 0;
    std::uint32_t bytes = 4000;
    switch (c.from) {
      case HttpClientState::Idle:
        result = client.SetHost(u"h");
        break;
      case HttpClientState::SessionOpen:
        result = client.SetVerb(u"GET");
        break;
      case HttpClientState::Connected:
        result = client.SetHeaders(u"");
        break;
      default:
        result = client.QueryStatus(&status, text, &bytes);
        break;
    }
    EXPECT_EQ(result, c.code);
    EXPECT_EQ(client.State(), HttpClientState::Idle);
    EXPECT_EQ(transport.openHandles, 0) << "every handle closed";
    transport.*c.error = 0;
    // The user agent went with the reset: the next session opens with an empty one.
    transport.calls.clear();
    EXPECT_EQ(client.SetHost(u"h"), 0u);
    EXPECT_EQ(transport.userAgent, u"");
  }
}

TEST_F(HttpClientTest, FailedQueriesAndReadsKeepTheResponseOpen) {
  DriveTo(HttpClientState::ResponseReceived);
  std::uint32_t status = 0;
  std::uint32_t bytes = 4000;
  transport.statusTextError = kErrorHeaderNotFound;
  EXPECT_EQ(client.QueryStatus(&status, text, &bytes), kErrorHeaderNotFound);
  transport.statusTextError = 0;
  transport.statusCodeError = kErrorIncorrectHandleState;
  EXPECT_EQ(client.QueryStatus(&status, text, &bytes), kErrorIncorrectHandleState);
  transport.statusCodeError = 0;
  transport.rawQueryError = kErrorInternal;
  EXPECT_EQ(client.QueryRawHeaders(text, &bytes, 4000), kErrorInternal);
  transport.readError = kErrorTimeout;
  std::uint8_t chunk[8];
  std::uint16_t count = 77;
  EXPECT_EQ(client.ReadBody(chunk, sizeof(chunk), &count), kErrorTimeout);
  EXPECT_EQ(count, 77) << "a failed read reports no count";
  EXPECT_EQ(client.State(), HttpClientState::ResponseReceived);
  EXPECT_EQ(transport.openHandles, 3);
  EXPECT_EQ(transport.sendCalls, 1);
}

TEST_F(HttpClientTest, RawHeadersProbeDecidesBetweenCopyTooLongAndNothing) {
  DriveTo(HttpClientState::ResponseReceived);
  std::uint32_t bytes = 4000;
  EXPECT_EQ(client.QueryRawHeaders(text, &bytes, 4000), 0u);
  EXPECT_EQ(std::u16string(text), transport.rawHeaders);

  // 3999 bytes needed still fits; 4000 does not, and the buffer is left alone.
  text[0] = u'#';
  text[1] = 0;
  transport.rawHeaders = std::u16string(1999, u'h');  // (1999 + 1) * 2 = 4000 bytes
  bytes = 4000;
  EXPECT_EQ(client.QueryRawHeaders(text, &bytes, 4000), ERROR_HEADERS_TOO_LONG);
  EXPECT_EQ(text[0], u'#');
  transport.rawNeededOverride = 3999;
  transport.rawHeaders = u"A: b";
  bytes = 4000;
  EXPECT_EQ(client.QueryRawHeaders(text, &bytes, 4000), 0u);
  EXPECT_EQ(std::u16string(text), u"A: b");

  // A probe that fails for another reason reports success with nothing written.
  text[0] = u'#';
  transport.rawProbeResult = kErrorHeaderNotFound;
  EXPECT_EQ(client.QueryRawHeaders(text, &bytes, 4000), 0u);
  EXPECT_EQ(text[0], u'#');
  EXPECT_EQ(client.State(), HttpClientState::ResponseReceived);
}

TEST_F(HttpClientTest, BodyIsReplacedWholeAndBoundedByItsField) {
  DriveTo(HttpClientState::Connected);
  const std::string first(5000, 'a');
  const std::string second = "second";
  EXPECT_EQ(client.SetBody(reinterpret_cast<const std::uint8_t*>(first.data()), 5000), 0u);
  EXPECT_EQ(client.SetBody(reinterpret_cast<const std::uint8_t*>(second.data()), 6), 0u);
  const std::string tooBig(16001, 'z');
  EXPECT_EQ(client.SetBody(reinterpret_cast<const std::uint8_t*>(tooBig.data()), 16001),
            kErrorInvalidParameter);
  EXPECT_EQ(client.State(), HttpClientState::RequestOpen);
  std::uint32_t status = 0;
  std::uint32_t bytes = 4000;
  EXPECT_EQ(client.QueryStatus(&status, text, &bytes), 0u);
  EXPECT_EQ(transport.body, "second");
  EXPECT_EQ(transport.headersLength, 0u) << "no headers set: empty text of length 0";

  // The full field is accepted.
  client.Reset();
  DriveTo(HttpClientState::Connected);
  const std::string full(16000, 'f');
  EXPECT_EQ(client.SetBody(reinterpret_cast<const std::uint8_t*>(full.data()), 16000), 0u);
  bytes = 4000;
  EXPECT_EQ(client.QueryStatus(&status, text, &bytes), 0u);
  EXPECT_EQ(transport.body, full);
}

TEST_F(HttpClientTest, VerbLongerThanItsFieldIsRefusedNotCut) {
  DriveTo(HttpClientState::SessionOpen);
  const std::u16string longest(19, u'V');
  EXPECT_EQ(client.SetVerb(longest.c_str()), 0u);
  EXPECT_EQ(client.SetVerb(std::u16string(20, u'W').c_str()), kErrorInvalidParameter);
  EXPECT_EQ(client.State(), HttpClientState::Connected);
  EXPECT_EQ(client.SetHeaders(u""), 0u);
  EXPECT_EQ(transport.verb, u"") << "a refused verb is not left half-stored";

  client.Reset();
  DriveTo(HttpClientState::SessionOpen);
  EXPECT_EQ(client.SetVerb(longest.c_str()), 0u);
  EXPECT_EQ(client.SetHeaders(u""), 0u);
  EXPECT_EQ(transport.verb, longest);
  EXPECT_EQ(transport.flags, kFlagEscapeDisable) << "not secure: escape-disable alone";
}

TEST_F(HttpClientTest, ResetClosesOnlyWhatIsOpenAndUserAgentStartsAfresh) {
  EXPECT_EQ(client.SetHost(u"first.test"), 0u);
  EXPECT_EQ(client.SetPath(u"/"), 0u);
  EXPECT_EQ(transport.port, 0) << "no port given: the scheme's default";
  client.Reset();
  transport.calls.clear();
  client.Reset();
  EXPECT_TRUE(transport.calls.empty());

  DriveTo(HttpClientState::Connected);
  transport.calls.clear();
  EXPECT_EQ(client.SetUserAgent(u"Next/2"), 0u);
  EXPECT_THAT(transport.calls, ElementsAre("Close connection", "Close session"));
  EXPECT_EQ(client.State(), HttpClientState::Idle);
  EXPECT_EQ(client.SetHost(u"h"), 0u);
  EXPECT_EQ(transport.userAgent, u"Next/2");
  EXPECT_EQ(client.SetPath(u"/"), 0u);
  EXPECT_EQ(transport.host, u"h");
  EXPECT_EQ(transport.port, 0) << "the port went with the reset";
}

TEST_F(HttpClientTest, DestroyingTheClientClosesNothing) {
  {
    HttpClient other(transport);
    EXPECT_EQ(other.SetHost(u"h"), 0u);
  }
  EXPECT_EQ(transport.openHandles, 1);
  EXPECT_THAT(transport.calls, ::testing::Not(::testing::Contains("Close session")));
  transport.CloseHandle(transport.SessionHandle());
}

}  // namespace
}  // namespace skiff
