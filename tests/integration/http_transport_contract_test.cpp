// The contract every HTTP transport keeps, written once: run against libcurl natively and
// against WinHTTP under Wine, with real loopback servers, TLS with a certificate made for
// the run, and a real tinyproxy (http_peers.py starts them and names them in SKIFF_TEST_*).
// Where Wine's WinHTTP answers otherwise than Windows, the case says so; the table of
// such differences is docs/http-errors.md.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/text.h"
#include "http/http_client.h"
#include "http/winhttp_errors.h"
#include "integration/transport_contract/transport_under_test.h"
#include "protocol/dispatcher.h"
#include "support/recording_channel.h"
#include "support/transport_fetch.h"

namespace skiff {
namespace {

using test::KindUnderTest;
using test::TransportKind;

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}
std::uint16_t PortOf(const char* name) {
  return static_cast<std::uint16_t>(std::atoi(Env(name).c_str()));
}
std::uint16_t HttpPort() {
  return PortOf("SKIFF_TEST_HTTP_PORT");
}
std::uint16_t HttpsPort() {
  return PortOf("SKIFF_TEST_HTTPS_PORT");
}

bool UnderWine() {
  return KindUnderTest() == TransportKind::WinHttpUnderWine;
}
// The code Windows gives, or Wine's own where it differs.
std::uint32_t Code(std::uint32_t windows, std::uint32_t wine) {
  return UnderWine() ? wine : windows;
}

// The socket error for a reset connection (WSAECONNRESET), which Wine passes on as it is.
constexpr std::uint32_t kWsaConnectionReset = 10054;

std::u16string W(std::string_view text) {
  return Utf8ToWideString(text);
}

// The generated body's byte at `offset` (the servers' pattern).
std::uint8_t PatternByte(std::uint64_t offset) {
  return static_cast<std::uint8_t>(((offset % 65521) * 2654435761u) >> 13);
}
bool MatchesPattern(std::string_view bytes, std::uint64_t offset) {
  for (std::size_t i = 0; i < bytes.size(); ++i)
    if (static_cast<std::uint8_t>(bytes[i]) != PatternByte(offset + i)) return false;
  return true;
}

// One request through the transport, with the contract's own servers at hand.
class Fetch : public skiff::testing::TransportFetch {
 public:
  using TransportFetch::TransportFetch;
  std::uint32_t Get(const std::string& path, bool secure = false) {
    return Run(secure ? "localhost" : "127.0.0.1", secure ? HttpsPort() : HttpPort(), "GET", path, {}, {},
               secure);
  }
};

class TransportContract : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(HttpPort(), 0) << "run through tests/integration/support/http_peers.py"; }
  std::unique_ptr<IHttpTransport> transport = test::MakeTransportUnderTest(false);
};

// The echo route answers "METHOD TARGET", the header lines, a blank line and the body.
struct Echo {
  explicit Echo(const std::string& text) {
    std::istringstream in(text);
    std::getline(in, requestLine);
    for (std::string line; std::getline(in, line) && !line.empty();) headers += line + "\n";
    std::size_t end = text.find("\n\n");
    if (end != std::string::npos) body = text.substr(end + 2);
  }
  std::string Header(const std::string& name) const {
    std::size_t at = headers.find(name + ": ");
    return at == std::string::npos
               ? "(none)"
               : headers.substr(at + name.size() + 2, headers.find('\n', at) - at - name.size() - 2);
  }
  std::string requestLine, headers, body;
};

TEST_F(TransportContract, VerbsHeadersAndBodiesReachTheServerAsGiven) {
  const struct {
    const char* verb;
    const char* path;
    const char* headers;
    std::string body;
  } cases[] = {
      {"GET", "/echo?a=1&b=%20x/../y", "X-One: 1\r\nX-Two: two words\r\n", ""},
      {"POST", "/echo", "Content-Type: application/octet-stream", std::string("bin\0ary", 7)},
      {"PUT", "/echo", "", "new content"},
      {"PROPFIND", "/echo", "", ""},
      {"HEAD", "/echo", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.verb);
    Fetch fetch(*transport);
    ASSERT_EQ(fetch.Run("127.0.0.1", HttpPort(), c.verb, c.path, c.headers, c.body), 0u);
    EXPECT_EQ(fetch.Status(), 200u);
    const std::string body = fetch.Body();
    if (std::string(c.verb) == "HEAD") {
      EXPECT_EQ(body, "") << "a HEAD response has no body, whatever its length says";
      continue;
    }
    Echo echo(body);
    EXPECT_EQ(echo.requestLine, std::string(c.verb) + " " + c.path)
        << "the path is neither escaped nor normalised";
    EXPECT_EQ(echo.body, c.body);
    EXPECT_EQ(echo.Header("User-Agent"), "SkiffTest/1.0");
    EXPECT_EQ(echo.Header("Accept"), "*/*");
    EXPECT_EQ(echo.Header("Host"), "127.0.0.1:" + std::to_string(HttpPort()));
    if (std::string(c.verb) == "GET") {
      EXPECT_EQ(echo.Header("X-One"), "1");
      EXPECT_EQ(echo.Header("X-Two"), "two words");
      EXPECT_EQ(echo.Header("Accept-Encoding"), "(none)") << "no automatic decompression is offered";
    }
    if (std::string(c.verb) == "POST") {
      EXPECT_EQ(echo.Header("Content-Length"), "7");
      EXPECT_EQ(echo.Header("Content-Type"), "application/octet-stream");
    }
  }
}

TEST_F(TransportContract, BodiesArriveWholeAndAsSent) {
  {
    Fetch fetch(*transport);
    ASSERT_EQ(fetch.Get("/encoded"), 0u);
    EXPECT_EQ(fetch.Body(), "not really gzip") << "the body is passed on as sent, never decoded";
  }
  const std::string whole = "first piece;" + std::string(20000, 'x') + "last";
  for (const char* path : {"/chunked", "/close"}) {
    SCOPED_TRACE(path);
    Fetch fetch(*transport);
    ASSERT_EQ(fetch.Get(path), 0u);
    EXPECT_EQ(fetch.Body(7), whole) << "odd read sizes split the deliveries at any byte";
    std::uint32_t got = 99;
    char byte;
    EXPECT_EQ(transport->ReadData(fetch.request, &byte, 1, &got), 0u);
    EXPECT_EQ(got, 0u) << "every read after the end returns 0 bytes";
  }
}

TEST_F(TransportContract, HugeBodyArrivesInOrderInBoundedMemory) {
  constexpr std::uint64_t kSize = 20'000'000 + 4321;
  Fetch fetch(*transport);
  ASSERT_EQ(fetch.Get("/huge?" + std::to_string(kSize)), 0u);
  std::string chunk(4000, '\0');
  std::uint64_t offset = 0;
  std::uint64_t baseline = 0, peak = 0;
  for (std::uint32_t got = 1, reads = 0; got != 0; offset += got, ++reads) {
    ASSERT_EQ(transport->ReadData(fetch.request, chunk.data(), 4000, &got), 0u) << "at " << offset;
    ASSERT_TRUE(MatchesPattern(std::string_view(chunk).substr(0, got), offset)) << "at " << offset;
    // Buffers are in place after the first megabyte; from then on memory stays flat.
    if (reads == 250) baseline = test::ProcessMemoryBytes();
    if (reads > 250 && reads % 500 == 0) peak = std::max(peak, test::ProcessMemoryBytes());
  }
  EXPECT_EQ(offset, kSize);
  EXPECT_LT(peak, baseline + 8'000'000) << "the body is streamed, not gathered";
}

TEST_F(TransportContract, StatusTextAndRawHeadersInCrlfForm) {
  Fetch fetch(*transport);
  ASSERT_EQ(fetch.Get("/status"), 0u);
  EXPECT_EQ(fetch.Status(), 200u);
  EXPECT_EQ(fetch.Text(kQueryStatusText), "Very Fine");
  EXPECT_EQ(fetch.Text(kQueryRawHeadersCrlf),
            "HTTP/1.1 200 Very Fine\r\nX-One: 1\r\nContent-Length: 4\r\n\r\n");
  EXPECT_EQ(fetch.Body(), "body");

  // Through the client: raw headers needing more than 3999 bytes give the client's own
  // code, anything less arrives whole.
  for (const auto& [fillerBytes, code] : {std::pair{1500, 0u}, std::pair{2100, ERROR_HEADERS_TOO_LONG}}) {
    SCOPED_TRACE(fillerBytes);
    HttpClient client(*transport);
    const std::u16string path = W("/headers?" + std::to_string(fillerBytes));
    for (std::uint32_t step : {client.SetHost(u"127.0.0.1"), client.SetPort(HttpPort()),
                               client.SetVerb(u"GET"), client.SetPath(path.c_str()), client.SetHeaders(u"")})
      ASSERT_EQ(step, 0u);
    std::uint32_t status = 0, textBytes = 4000;
    WideChar text[2000];
    ASSERT_EQ(client.QueryStatus(&status, text, &textBytes), 0u);
    WideChar raw[2000] = {};
    std::uint32_t rawBytes = 4000;
    EXPECT_EQ(client.QueryRawHeaders(raw, &rawBytes, 4000), code);
    if (code == 0) {
      const std::string headers = WideToUtf8String(std::u16string_view(raw, rawBytes / 2));
      EXPECT_TRUE(headers.starts_with("HTTP/1.1 200 OK\r\nX-Filler-0000: ") && headers.ends_with("\r\n\r\n"))
          << headers;
    } else {
      EXPECT_EQ(raw[0], 0) << "the buffer is left untouched";
    }
    client.Reset();
  }
}

TEST_F(TransportContract, RedirectsAreFollowedWithinLimits) {
  // Only the final response's status and body are seen. Wine's WinHTTP resolves a
  // target without a leading '/' to the wrong path, fails a POST redirected by 301, does
  // not follow a 303 after PUT, and fails a redirect without a target (12150).
  const struct {
    const char* verb;
    const char* path;
    std::uint32_t code;
    const char* body;
    bool wineDiffers;
  } cases[] = {
      {"GET", "/relative", 0, "GET ", true},
      {"GET", "/absolute", 0, "GET ", false},
      {"POST", "/absolute", 0, "GET ", true},            // a POST continues as GET after 301
      {"PUT", "/see-other", 0, "GET ", true},            // and anything after 303
      {"POST", "/temporary", 0, "POST payload", false},  // 307 keeps the method and the body
      {"GET", "/hop?10", 0, "done", false},              // ten redirects are followed
      {"GET", "/hop?11", kErrorRedirectFailed, "", false},
      {"GET", "/loop", kErrorRedirectFailed, "", false},
      {"GET", "/no-location", 0, "stay here", true},  // a redirect without a target is final
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    if (c.wineDiffers && UnderWine()) continue;
    Fetch fetch(*transport);
    const std::string body = std::string(c.verb) == "GET" ? "" : "payload";
    ASSERT_EQ(fetch.Run("127.0.0.1", HttpPort(), c.verb, c.path, "", body), c.code);
    if (c.code == 0) {
      EXPECT_EQ(fetch.Body(), c.body);
    }
  }
}

TEST_F(TransportContract, BrokenPeersGiveTheWindowsCodes) {
  {
    // The server resets only once the head has arrived: a reset discards what the
    // client has not read yet, the head included.
    Fetch fetch(*transport);
    ASSERT_EQ(fetch.Get("/cut"), 0u);
    std::string body(4000, '\0');
    std::uint32_t got = 0;
    ASSERT_EQ(transport->ReadData(fetch.request, body.data(), 4000, &got), 0u);
    body.resize(got);
    std::unique_ptr<IHttpTransport> other = test::MakeTransportUnderTest(false);
    Fetch cut(*other);
    ASSERT_EQ(cut.Get("/cut-now"), 0u);
    std::uint32_t error = 0;
    body += fetch.Body(4000, &error);
    // Wine's WinHTTP passes the socket's own error on, or, depending on timing, ends the
    // body quietly as if it were complete.
    if (UnderWine()) {
      EXPECT_TRUE(error == kWsaConnectionReset || error == 0) << error;
    } else {
      EXPECT_EQ(error, kErrorConnectionError) << "a reset in the middle of the body";
    }
    EXPECT_LE(body.size(), 65536u);
    EXPECT_TRUE(MatchesPattern(body, 0));
  }
  // A label over 63 characters cannot be put in a DNS query, so the lookup fails here
  // without any traffic leaving the machine.
  const struct {
    std::string host;
    std::uint16_t port;
    const char* path;
    std::uint32_t code;
  } cases[] = {
      {"127.0.0.1", PortOf("SKIFF_TEST_REFUSED_PORT"), "/", kErrorCannotConnect},
      {std::string(70, 'a') + ".no-such-host.invalid", 80, "/", kErrorNameNotResolved},
      {"127.0.0.1", HttpPort(), "/nothing", kErrorInvalidServerResponse},
      {"127.0.0.1", HttpPort(), "/garbage", kErrorInvalidServerResponse},
  };
  for (const auto& c : cases) {
    Fetch fetch(*transport);
    EXPECT_EQ(fetch.Run(c.host, c.port, "GET", c.path), c.code) << c.host << c.path;
  }
}

TEST_F(TransportContract, CertificatesAreCheckedAndHttpsNeverFallsToHttp) {
  {
    Fetch fetch(*transport);
    EXPECT_EQ(fetch.Get("/final", true), Code(kErrorSecureFailure, kErrorSecureChannelError))
        << "a certificate from an authority nobody trusts";
  }
  std::unique_ptr<IHttpTransport> trusting = test::MakeTransportUnderTest(true);
  {
    Fetch fetch(*trusting);
    ASSERT_EQ(fetch.Get("/final", true), 0u);
    EXPECT_EQ(fetch.Body(), "GET ");
  }
  {
    Fetch fetch(*trusting);
    EXPECT_EQ(fetch.Get("/downgrade", true), kErrorRedirectFailed) << "never from https to http";
  }
}

// Fetches through HttpClient, which reads the user's proxy setting as the session opens.
std::uint32_t FetchThroughClient(IHttpTransport& transport, const std::string& host, std::uint16_t port,
                                 const std::string& path, bool secure, std::string* body = nullptr) {
  HttpClient client(transport);
  const std::u16string wideHost = W(host), widePath = W(path);
  for (std::uint32_t code :
       {client.SetHost(wideHost.c_str()), client.SetPort(port), client.SetVerb(u"GET"),
        client.SetPath(widePath.c_str()), client.SetSecure(secure), client.SetHeaders(u"")})
    if (code != 0) return code;
  std::uint32_t status = 0, textBytes = 4000;
  WideChar text[2000];
  std::uint32_t code = client.QueryStatus(&status, text, &textBytes);
  char buffer[4000];
  for (std::uint16_t got = 1; code == 0 && got != 0;) {
    code = client.ReadBody(buffer, sizeof buffer, &got);
    if (body != nullptr) body->append(buffer, got);
  }
  client.Reset();
  return code == 0 && status != 200 ? status : code;
}

std::string ProxyLog() {
  std::ifstream in(Env("SKIFF_TEST_PROXY_LOG"));
  std::stringstream log;
  log << in.rdbuf();
  return log.str();
}

// True once the proxy's log holds `text` (a safety limit only).
bool ProxyLogged(const std::string& text) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  for (;;) {
    if (ProxyLog().find(text) != std::string::npos) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

struct UserProxyGuard {
  ~UserProxyGuard() { test::SetUserProxy("", ""); }
};

TEST_F(TransportContract, UserProxyIsUsedUnlessBypassed) {
  UserProxyGuard guard;
  std::unique_ptr<IHttpTransport> trusting = test::MakeTransportUnderTest(true);
  const std::string proxy = "127.0.0.1:" + Env("SKIFF_TEST_PROXY_PORT");

  test::SetUserProxy(proxy, "");
  std::string body;
  // (The server is named differently from the proxy: Wine's WinHTTP compares only the
  // names and would send a request line meant for the server itself.)
  ASSERT_EQ(FetchThroughClient(*trusting, "localhost", HttpPort(), "/echo?through=proxy", false, &body), 0u);
  EXPECT_TRUE(body.starts_with("GET /echo?through=proxy")) << body;
  EXPECT_TRUE(ProxyLogged("GET http://localhost:" + std::to_string(HttpPort()) + "/echo?through=proxy"))
      << "forwarded by the proxy";
  body.clear();
  ASSERT_EQ(FetchThroughClient(*trusting, "localhost", HttpsPort(), "/echo?through=tunnel", true, &body), 0u);
  // (Wine's WinHTTP sends the absolute form inside the tunnel too; servers accept it.)
  EXPECT_TRUE(body.starts_with("GET /echo?through=tunnel")) << body;
  EXPECT_TRUE(ProxyLogged("CONNECT localhost:" + std::to_string(HttpsPort())))
      << "tunnelled through the proxy";

  // A host on the bypass list goes direct; one that is not still takes the proxy, and
  // once its line is in the log the direct request's would be too.
  test::SetUserProxy(proxy, "127.0.0.1");
  ASSERT_EQ(FetchThroughClient(*trusting, "127.0.0.1", HttpPort(), "/echo?bypassed", false), 0u);
  ASSERT_EQ(FetchThroughClient(*trusting, "localhost", HttpPort(), "/echo?not-bypassed", false), 0u);
  EXPECT_TRUE(ProxyLogged("/echo?not-bypassed"));
  EXPECT_EQ(ProxyLog().find("/echo?bypassed "), std::string::npos);

  // A proxy that is not there: nothing can connect.
  test::SetUserProxy("127.0.0.1:" + Env("SKIFF_TEST_REFUSED_PORT"), "");
  EXPECT_EQ(FetchThroughClient(*trusting, "127.0.0.1", HttpPort(), "/echo", false), kErrorCannotConnect);
}

TEST_F(TransportContract, CancelEndsAWaitFromAnotherThread) {
  Fetch fetch(*transport);
  ASSERT_EQ(fetch.Open("127.0.0.1", HttpPort(), "GET", "/stall", false), 0u);
  // Cancel once the server holds the request; a second transport asks the server. Wine's
  // WinHTTP does not end a call when its handle is closed from another thread (measured:
  // still waiting after a minute), so there the cancel comes first (docs/http-errors.md).
  if (UnderWine()) transport->Cancel();
  std::thread canceller([&] {
    if (UnderWine()) return;
    std::unique_ptr<IHttpTransport> observer = test::MakeTransportUnderTest(false);
    for (int polls = 0; polls < 500; ++polls) {
      Fetch poll(*observer);
      if (poll.Get("/stalled") == 0 && poll.Body() != "0") break;
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    transport->Cancel();
  });
  // The wait is in the send or in the receive, depending on the transport.
  const auto start = std::chrono::steady_clock::now();
  std::uint32_t code = transport->SendRequest(fetch.request, u"", 0, nullptr, 0);
  if (code == 0) code = transport->ReceiveResponse(fetch.request);
  EXPECT_EQ(code, kErrorOperationCancelled);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
  canceller.join();
  Fetch later(*transport);
  EXPECT_EQ(later.Open("127.0.0.1", HttpPort(), "GET", "/", false), kErrorOperationCancelled)
      << "every later call fails too";
}

// The handheld's whole fetch through the dispatcher: every reply byte for byte.
class FetchDispatch : public ::testing::Test {
 protected:
  std::unique_ptr<IHttpTransport> transport = test::MakeTransportUnderTest(true);
  skiff::testing::DispatchRig rig{*transport};
  void TearDown() override {
    EXPECT_EQ(rig.faults, 0) << "a request was not answered once with its sequence";
  }
  std::vector<std::uint8_t> Request(PacketType type, const std::string& payload = {}) {
    return rig.Request(type, payload);
  }
  static std::string Port16(std::uint16_t port) {
    return std::string{static_cast<char>(port & 0xFF), static_cast<char>(port >> 8)};
  }
};

const std::string kSuccess("Success\0", 8);
using skiff::testing::DispatchRig;

TEST_F(FetchDispatch, WholeSecureFetchIsAnsweredPacketByPacket) {
  constexpr std::size_t kSize = 9001;
  EXPECT_EQ(Request(PacketType::UserAgent, "Handheld/4.2"), DispatchRig::Reply(kSuccess));
  EXPECT_EQ(Request(PacketType::Host, "localhost"), DispatchRig::Reply(kSuccess));
  EXPECT_EQ(Request(PacketType::Port, Port16(HttpsPort())), DispatchRig::Reply(kSuccess));
  EXPECT_EQ(Request(PacketType::Verb, "GET"), DispatchRig::Reply(kSuccess));
  EXPECT_EQ(Request(PacketType::Path, "/huge?" + std::to_string(kSize)), DispatchRig::Reply(kSuccess));
  EXPECT_EQ(Request(PacketType::Secure, std::string(1, '\x01')), DispatchRig::Reply(kSuccess));
  EXPECT_EQ(Request(PacketType::Headers, ""), DispatchRig::Reply(kSuccess));
  EXPECT_EQ(Request(PacketType::Send),
            DispatchRig::Reply(skiff::testing::Le32(200) + std::string("OK\0", 3)));
  EXPECT_EQ(
      Request(PacketType::ResponseHeaders),
      DispatchRig::Reply("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: 9001"
                         "\r\n\r\n" +
                         std::string(1, '\0')));
  std::string received;
  for (int reads = 0; reads < 100; ++reads) {
    std::vector<std::uint8_t> reply = Request(PacketType::Read);
    ASSERT_GE(reply.size(), kPacketHeaderSize);
    ASSERT_EQ(reply[0], static_cast<std::uint8_t>(PacketType::Reply));
    const std::size_t length = reply[4] | (reply[5] << 8);
    ASSERT_EQ(length, reply.size() - kPacketHeaderSize);
    ASSERT_LE(length, 4000u);
    if (length == 0) break;
    received.append(reply.begin() + kPacketHeaderSize, reply.end());
  }
  EXPECT_EQ(received.size(), kSize);
  EXPECT_TRUE(MatchesPattern(received, 0))
      << "the body arrives whole, in order, in chunks of at most 4000 bytes";
  EXPECT_EQ(Request(PacketType::Read), DispatchRig::Reply("")) << "and every read after the end is empty";
  EXPECT_EQ(Request(PacketType::Close), DispatchRig::Reply(""));
  EXPECT_EQ(rig.http.State(), HttpClientState::Idle);
}

TEST_F(FetchDispatch, FailuresReachTheHandheldAsErrorPackets) {
  // Nothing listens on the port: the send fails, the client starts over.
  Request(PacketType::UserAgent, "Handheld/4.2");
  Request(PacketType::Host, "127.0.0.1");
  Request(PacketType::Port, Port16(PortOf("SKIFF_TEST_REFUSED_PORT")));
  Request(PacketType::Verb, "GET");
  Request(PacketType::Headers, "");
  rig.host.lines.clear();
  EXPECT_EQ(Request(PacketType::Send),
            DispatchRig::Error(kErrorCannotConnect, "Returned if connection to the server failed."));
  EXPECT_EQ(rig.host.lines, (std::vector<std::string>{"Sending error:", std::to_string(kErrorCannotConnect),
                                                      "Returned if connection to the server failed."}));
  EXPECT_EQ(rig.http.State(), HttpClientState::Idle);

  // A name that cannot be resolved (a label too long for any DNS query, so no traffic).
  Request(PacketType::UserAgent, "Handheld/4.2");
  Request(PacketType::Host, std::string(70, 'x') + ".invalid");
  Request(PacketType::Verb, "GET");
  Request(PacketType::Headers, "");
  EXPECT_EQ(Request(PacketType::Send),
            DispatchRig::Error(kErrorNameNotResolved, "The server name cannot be resolved."));
}

}  // namespace
}  // namespace skiff
