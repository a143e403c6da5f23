// The libcurl transport against a real loopback HTTP(S) server: what the server receives,
// body shapes, a huge body, redirects, broken and stalled servers,
// TLS trust, header queries, handles and cancellation.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/text.h"
#include "http/http_transport.h"
#include "platform/posix/http_curl/curl_transport.h"
#include "test_http_server.h"
#include "test_peers.h"

namespace skiff {
namespace {

using test::ReceivedRequest;
using test::ServerConnection;
using test::TestHttpServer;

std::u16string W(std::string_view text) {
  return Utf8ToWideString(text);
}

// One request through the transport, step by step, closing what it opened.
class Fetch {
 public:
  explicit Fetch(IHttpTransport& transport) : m_transport(transport) {}
  ~Fetch() {
    for (HttpHandle handle : {request, connection, session})
      if (handle != nullptr) m_transport.CloseHandle(handle);
  }

  std::uint32_t Open(const std::string& host, std::uint16_t port, const std::string& verb,
                     const std::string& path, bool secure = false) {
    static const WideChar* const kAccept[] = {u"*/*", nullptr};
    if (std::uint32_t code =
            m_transport.OpenSession(u"SkiffTest/1.0", kAccessTypeNoProxy, nullptr, nullptr, &session))
      return code;
    if (std::uint32_t code = m_transport.Connect(session, W(host).c_str(), port, &connection)) return code;
    return m_transport.OpenRequest(connection, W(verb).c_str(), W(path).c_str(), kAccept,
                                   kFlagEscapeDisable | (secure ? kFlagSecure : 0), &request);
  }
  std::uint32_t Send(const std::string& headers = {}, const std::string& body = {}) {
    std::u16string wide = W(headers);
    return m_transport.SendRequest(request, wide.c_str(), static_cast<std::uint32_t>(wide.size()),
                                   body.empty() ? nullptr : body.data(),
                                   static_cast<std::uint32_t>(body.size()));
  }
  std::uint32_t Receive() { return m_transport.ReceiveResponse(request); }
  // Open, send and receive; the first failing step's code.
  std::uint32_t Run(const std::string& host, std::uint16_t port, const std::string& verb,
                    const std::string& path, const std::string& headers = {}, const std::string& body = {},
                    bool secure = false) {
    if (std::uint32_t code = Open(host, port, verb, path, secure)) return code;
    if (std::uint32_t code = Send(headers, body)) return code;
    return Receive();
  }
  std::uint32_t Status() {
    std::uint32_t status = 0, bytes = sizeof status;
    EXPECT_EQ(m_transport.QueryHeaders(request, kQueryStatusCode | kQueryFlagNumber, &status, &bytes), 0u);
    return status;
  }
  std::string Text(std::uint32_t level) {
    std::uint32_t bytes = 0;
    EXPECT_EQ(m_transport.QueryHeaders(request, level, nullptr, &bytes), 122u);
    std::u16string text(bytes / 2, u'\0');
    EXPECT_EQ(m_transport.QueryHeaders(request, level, text.data(), &bytes), 0u);
    EXPECT_EQ(bytes, (text.size() - 1) * 2) << "success reports the length without the terminator";
    text.resize(bytes / 2);
    return WideToUtf8String(text);
  }
  // Reads the body to its end in pieces of `chunk`; the read's failure lands in *error.
  std::string Body(std::uint32_t chunk = 4000, std::uint32_t* error = nullptr) {
    std::string body;
    std::vector<char> buffer(chunk);
    for (;;) {
      std::uint32_t got = 0;
      std::uint32_t code = m_transport.ReadData(request, buffer.data(), chunk, &got);
      if (code != 0) {
        if (error != nullptr) *error = code;
        return body;
      }
      if (got == 0) return body;
      EXPECT_LE(got, chunk);
      body.append(buffer.data(), got);
    }
  }

  HttpHandle session = nullptr;
  HttpHandle connection = nullptr;
  HttpHandle request = nullptr;

 private:
  IHttpTransport& m_transport;
};

class CurlTransportTest : public ::testing::Test {
 protected:
  CurlTransportTest() {
    server.Route("/echo", [](const ReceivedRequest& request, ServerConnection& c) {
      test::SendFixed(c, 200, "OK", request.method + " " + request.target + " " + request.body,
                      "Content-Type: text/plain\r\n");
    });
  }
  std::uint16_t Port() const { return server.Port(); }

  TestHttpServer server;
  CurlTransport transport;
};

TEST_F(CurlTransportTest, VerbsHeadersAndBodiesReachTheServerAsGiven) {
  const struct {
    const char* verb;
    const char* path;
    const char* headers;
    std::string body;
    std::string echoed;  // "" for HEAD: a HEAD response has no body, whatever its length says
  } cases[] = {
      {"GET", "/echo?a=1&b=%20x/../y", "X-One: 1\r\nX-Two: two words\r\n", "", "GET /echo?a=1&b=%20x/../y "},
      {"POST", "/echo", "Content-Type: application/octet-stream", std::string("bin\0ary", 7),
       std::string("POST /echo bin\0ary", 18)},
      {"PUT", "/echo", "", "new content", "PUT /echo new content"},
      {"PROPFIND", "/echo", "", "", "PROPFIND /echo "},
      {"HEAD", "/echo", "", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.verb);
    Fetch fetch(transport);
    ASSERT_EQ(fetch.Run("127.0.0.1", Port(), c.verb, c.path, c.headers, c.body), 0u);
    EXPECT_EQ(fetch.Status(), 200u);
    EXPECT_EQ(fetch.Body(), c.echoed);
  }
  std::vector<ReceivedRequest> seen = server.Requests();
  ASSERT_EQ(seen.size(), std::size(cases));
  for (std::size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].method, cases[i].verb);
    EXPECT_EQ(seen[i].body, cases[i].body);
  }
  const ReceivedRequest& get = seen[0];
  EXPECT_EQ(get.version, "HTTP/1.1");
  EXPECT_EQ(get.target, "/echo?a=1&b=%20x/../y") << "the path is neither escaped nor normalised";
  EXPECT_EQ(get.Header("X-One"), "1");
  EXPECT_EQ(get.Header("X-Two"), "two words");
  EXPECT_EQ(get.Header("User-Agent"), "SkiffTest/1.0");
  EXPECT_EQ(get.Header("Accept"), "*/*");
  EXPECT_EQ(get.Header("Host"), "127.0.0.1:" + std::to_string(Port()));
  EXPECT_FALSE(get.HasHeader("Content-Length"));
  EXPECT_FALSE(get.HasHeader("Accept-Encoding")) << "no automatic decompression is offered";
  EXPECT_EQ(seen[1].Header("Content-Length"), "7");
  EXPECT_EQ(seen[1].Header("Content-Type"), "application/octet-stream");
  EXPECT_FALSE(seen[1].HasHeader("Expect"));
  EXPECT_FALSE(seen[2].HasHeader("Content-Type")) << "no content type is made up";
}

TEST_F(CurlTransportTest, ChunkedAndCloseDelimitedBodiesArriveWhole) {
  std::vector<std::string> chunks = {"first piece;", std::string(20000, 'x'), "", "last"};
  chunks.erase(chunks.begin() + 2);  // an empty chunk would end the body
  std::string whole;
  for (const auto& c : chunks) whole += c;
  server.Route("/chunked",
               [&](const ReceivedRequest&, ServerConnection& c) { test::SendChunked(c, chunks); });
  server.Route("/close",
               [&](const ReceivedRequest&, ServerConnection& c) { test::SendCloseDelimited(c, whole); });
  server.Route("/encoded", [](const ReceivedRequest&, ServerConnection& c) {
    test::SendFixed(c, 200, "OK", "not really gzip", "Content-Encoding: gzip\r\n");
  });
  {
    Fetch fetch(transport);
    ASSERT_EQ(fetch.Run("127.0.0.1", Port(), "GET", "/encoded"), 0u);
    EXPECT_EQ(fetch.Body(), "not really gzip") << "the body is passed on as sent, never decoded";
  }

  for (std::string path : {"/chunked", "/close"}) {
    Fetch fetch(transport);
    ASSERT_EQ(fetch.Run("127.0.0.1", Port(), "GET", path), 0u) << path;
    // Odd read sizes split libcurl's deliveries at any byte.
    EXPECT_EQ(fetch.Body(7), whole) << path;
    std::uint32_t got = 99;
    char byte;
    EXPECT_EQ(transport.ReadData(fetch.request, &byte, 1, &got), 0u);
    EXPECT_EQ(got, 0u) << "every read after the end returns 0 bytes";
  }
}

// Memory use during a huge body is measured in bench/ (and the absence of allocations
// per read in curl_allocations_test); here every byte of a body far larger than any
// buffer must arrive, in order, through many pauses of the transfer.
TEST_F(CurlTransportTest, HugeBodyArrivesWholeAndInOrder) {
  constexpr std::uint64_t kSize = 20'000'000 + 4321;
  server.Route("/huge", [&](const ReceivedRequest&, ServerConnection& c) { test::SendGenerated(c, kSize); });
  Fetch fetch(transport);
  ASSERT_EQ(fetch.Run("127.0.0.1", Port(), "GET", "/huge"), 0u);
  std::uint8_t buffer[4000];
  std::uint64_t offset = 0;
  for (std::uint32_t got = 1; got != 0; offset += got) {
    ASSERT_EQ(transport.ReadData(fetch.request, buffer, sizeof buffer, &got), 0u) << "at " << offset;
    ASSERT_TRUE(test::MatchesPattern(buffer, got, offset)) << "at " << offset;
  }
  EXPECT_EQ(offset, kSize);
}

TEST_F(CurlTransportTest, RedirectsAreFollowedWithinLimits) {
  server.Route("/final", [](const ReceivedRequest& r, ServerConnection& c) {
    test::SendFixed(c, 200, "Landed", r.method + " " + r.body);
  });
  server.Route("/relative", [](const ReceivedRequest&, ServerConnection& c) {
    test::SendFixed(c, 302, "Found", "moved", "Location: final\r\n");
  });
  server.Route("/absolute", [this](const ReceivedRequest&, ServerConnection& c) {
    test::SendFixed(c, 301, "Moved", "",
                    "Location: http://127.0.0.1:" + std::to_string(Port()) + "/final\r\n");
  });
  server.Route("/see-other",
               [](const ReceivedRequest&, ServerConnection& c) { test::SendRedirect(c, 303, "/final"); });
  server.Route("/temporary",
               [](const ReceivedRequest&, ServerConnection& c) { test::SendRedirect(c, 307, "/final"); });
  server.Route("/loop",
               [](const ReceivedRequest&, ServerConnection& c) { test::SendRedirect(c, 302, "/loop"); });
  // /hop?n counts down: n redirects, then the final answer.
  server.Route("/hop", [](const ReceivedRequest& r, ServerConnection& c) {
    int left = std::stoi(r.target.substr(r.target.find('?') + 1));
    if (left == 0)
      test::SendFixed(c, 200, "OK", "done");
    else
      test::SendFixed(c, 302, "Found", "", "Location: /hop?" + std::to_string(left - 1) + "\r\n");
  });
  server.Route("/no-location", [](const ReceivedRequest&, ServerConnection& c) {
    test::SendFixed(c, 302, "Found", "stay here");
  });

  // Only the final response's status and body are seen.
  const struct {
    const char* verb;
    const char* path;
    std::uint32_t code;
    const char* reason;
    const char* body;
  } cases[] = {
      {"GET", "/relative", 0, "Landed", "GET "},
      {"POST", "/absolute", 0, "Landed", "GET "},           // a POST continues as GET after 301
      {"PUT", "/see-other", 0, "Landed", "GET "},           // and anything after 303
      {"POST", "/temporary", 0, "Landed", "POST payload"},  // 307 keeps the method and the body
      {"GET", "/hop?10", 0, "OK", "done"},                  // ten redirects are allowed
      {"GET", "/hop?11", 12156, nullptr, ""},
      {"GET", "/loop", 12156, nullptr, ""},
      {"GET", "/no-location", 0, "Found", "stay here"},  // a redirect without a target is final
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    Fetch fetch(transport);
    const std::string body = std::string(c.verb) == "GET" ? "" : "payload";
    ASSERT_EQ(fetch.Run("127.0.0.1", Port(), c.verb, c.path, "", body), c.code);
    if (c.reason != nullptr) {
      EXPECT_EQ(fetch.Text(kQueryStatusText), c.reason);
    }
    std::uint32_t error = 0;
    EXPECT_EQ(fetch.Body(4000, &error), c.body);
    EXPECT_EQ(error, c.code) << "a failed request stays failed";
  }
}

TEST_F(CurlTransportTest, BrokenServersGiveTheWindowsCodes) {
  server.Route("/reset", [](const ReceivedRequest&, ServerConnection& c) {
    test::SendGenerated(c, 1'000'000, 300'000);
  });
  server.Route("/short", [](const ReceivedRequest&, ServerConnection& c) {
    c.Send("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nonly this");
    c.CloseAfterResponse();
  });
  server.Route("/nothing", [](const ReceivedRequest&, ServerConnection& c) { c.CloseAfterResponse(); });
  server.Route("/garbage", [](const ReceivedRequest&, ServerConnection& c) {
    c.Send("SPEAKING NONSENSE\r\n\r\n");
    c.CloseAfterResponse();
  });
  {
    Fetch fetch(transport);
    ASSERT_EQ(fetch.Run("127.0.0.1", Port(), "GET", "/reset"), 0u);
    std::uint32_t error = 0;
    std::string body = fetch.Body(4000, &error);
    EXPECT_EQ(error, 12030u) << "a reset in the middle of the body";
    EXPECT_LE(body.size(), 300'000u);
    EXPECT_TRUE(test::MatchesPattern(reinterpret_cast<const std::uint8_t*>(body.data()), body.size(), 0));
  }
  {
    Fetch fetch(transport);
    ASSERT_EQ(fetch.Run("127.0.0.1", Port(), "GET", "/short"), 0u);
    std::uint32_t error = 0;
    EXPECT_EQ(fetch.Body(4000, &error), "only this");
    EXPECT_EQ(error, 12030u) << "closed before the announced length";
  }
  // A label over 63 characters cannot be put in a DNS query, so the lookup fails here
  // without any traffic leaving the machine.
  const struct {
    std::string host;
    std::uint16_t port;
    const char* path;
    std::uint32_t code;
  } refused[] = {
      {"127.0.0.1", Port(), "/nothing", 12152},
      {"127.0.0.1", Port(), "/garbage", 12152},
      {"127.0.0.1", test::FreeLoopbackPort(), "/", 12029},  // nothing listens
      {std::string(70, 'a') + ".no-such-host.invalid", 80, "/", 12007},
  };
  for (const auto& c : refused) {
    Fetch fetch(transport);
    EXPECT_EQ(fetch.Run(c.host, c.port, "GET", c.path), c.code) << c.host << c.path;
  }
}

TEST(CurlTransportTimeouts, StalledPeersTimeOutAndCancelEndsTheWait) {
  TestHttpServer server;
  std::promise<void> stalled;
  server.Route("/stall", [](const ReceivedRequest&, ServerConnection& c) { c.WaitUntilClosed(); });
  server.Route("/stall-body", [](const ReceivedRequest&, ServerConnection& c) {
    c.Send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc");
    c.WaitUntilClosed();
  });
  server.Route("/stall-signal", [&](const ReceivedRequest&, ServerConnection& c) {
    stalled.set_value();
    c.WaitUntilClosed();
  });
  CurlOptions options;
  options.sendReceiveTimeout = std::chrono::milliseconds(1000);  // short, yet generous on a busy machine
  CurlTransport transport(options);
  {
    Fetch fetch(transport);
    EXPECT_EQ(fetch.Run("127.0.0.1", server.Port(), "GET", "/stall"), 12002u);
  }
  {
    Fetch fetch(transport);
    ASSERT_EQ(fetch.Run("127.0.0.1", server.Port(), "GET", "/stall-body"), 0u);
    std::uint32_t error = 0;
    EXPECT_EQ(fetch.Body(4000, &error), "abc");
    EXPECT_EQ(error, 12002u);
  }

  // A listener whose queue is full drops new connection attempts: the connect allowance
  // runs out.
  {
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener, 0), 0);
    ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length), 0);
    std::vector<int> fillers;
    for (int i = 0; i < 2; ++i) {
      int filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
      connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
      fillers.push_back(filler);
    }
    CurlOptions quick;
    quick.connectTimeout = std::chrono::milliseconds(300);
    CurlTransport impatient(quick);
    Fetch fetch(impatient);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(fetch.Run("127.0.0.1", ntohs(address.sin_port), "GET", "/"), 12002u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10))
        << "by the connect allowance";
    for (int fd : fillers) close(fd);
    close(listener);
  }

  // Cancel from another thread ends a wait the time-out would not end for 30 s.
  CurlTransport patient;
  Fetch fetch(patient);
  ASSERT_EQ(fetch.Open("127.0.0.1", server.Port(), "GET", "/stall-signal"), 0u);
  ASSERT_EQ(fetch.Send(), 0u);
  std::thread canceller([&] {
    stalled.get_future().wait();
    patient.Cancel();
  });
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(fetch.Receive(), 12017u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  canceller.join();
  Fetch later(patient);
  EXPECT_EQ(later.Open("127.0.0.1", server.Port(), "GET", "/"), 12017u) << "every later call fails too";
}

TEST_F(CurlTransportTest, HeaderQueriesFollowTheWindowsContract) {
  std::string big;
  for (int i = 0; big.size() < 5000; ++i)
    big += "X-Filler-" + std::to_string(i) + ": " + std::string(60, 'f') + "\r\n";
  server.Route("/big", [&](const ReceivedRequest&, ServerConnection& c) {
    test::SendFixed(c, 200, "Very Fine", "body", big);
  });
  server.Route("/no-reason",
               [](const ReceivedRequest&, ServerConnection& c) { c.Send("HTTP/1.1 204\r\nX-A: b\r\n\r\n"); });
  Fetch fetch(transport);
  ASSERT_EQ(fetch.Open("127.0.0.1", Port(), "GET", "/big"), 0u);
  std::uint32_t bytes = 64;
  char16_t text[32];
  EXPECT_EQ(transport.QueryHeaders(fetch.request, kQueryStatusText, text, &bytes), 12019u)
      << "nothing to query before the response";
  ASSERT_EQ(fetch.Send(), 0u);
  ASSERT_EQ(fetch.Receive(), 0u);

  EXPECT_EQ(fetch.Status(), 200u);
  EXPECT_EQ(fetch.Text(kQueryStatusText), "Very Fine");
  EXPECT_EQ(fetch.Text(kQueryStatusCode), "200");
  bytes = 6;  // room for two units and the terminator only
  EXPECT_EQ(transport.QueryHeaders(fetch.request, kQueryStatusText, text, &bytes), 122u);
  EXPECT_EQ(bytes, 20u) << "nine units and the terminator";
  std::uint32_t status = 0;
  bytes = 2;
  EXPECT_EQ(transport.QueryHeaders(fetch.request, kQueryStatusCode | kQueryFlagNumber, &status, &bytes),
            122u);

  std::string raw = fetch.Text(kQueryRawHeadersCrlf);
  EXPECT_EQ(raw, "HTTP/1.1 200 Very Fine\r\n" + big + "Content-Length: 4\r\n\r\n");
  EXPECT_GE(raw.size(), 4000u);
  EXPECT_EQ(fetch.Body(), "body");

  server.Route("/endless-headers", [](const ReceivedRequest&, ServerConnection& c) {
    std::string head = "HTTP/1.1 200 OK\r\n";
    for (int i = 0; head.size() < 70 * 1024; ++i)
      head += "X-More-" + std::to_string(i) + ": " + std::string(100, 'm') + "\r\n";
    c.Send(head + "Content-Length: 0\r\n\r\n");
  });
  Fetch overflowing(transport);
  EXPECT_EQ(overflowing.Run("127.0.0.1", Port(), "GET", "/endless-headers"), 12182u) << "headers past 64 KiB";

  Fetch bare(transport);
  ASSERT_EQ(bare.Run("127.0.0.1", Port(), "GET", "/no-reason"), 0u);
  EXPECT_EQ(bare.Status(), 204u);
  EXPECT_EQ(bare.Text(kQueryStatusText), "");
  EXPECT_EQ(bare.Text(kQueryRawHeadersCrlf), "HTTP/1.1 204\r\nX-A: b\r\n\r\n");
  EXPECT_EQ(bare.Body(), "");
}

TEST(CurlTransportHandles, MisusedAndEarlyClosedHandlesAreSafe) {
  TestHttpServer server;
  server.Route("/",
               [](const ReceivedRequest&, ServerConnection& c) { test::SendFixed(c, 200, "OK", "hello"); });
  CurlTransport transport;
  Fetch fetch(transport);
  ASSERT_EQ(fetch.Open("127.0.0.1", server.Port(), "GET", "/"), 0u);
  int notAHandle = 0;
  std::uint32_t got = 0;
  char buffer[16];
  EXPECT_EQ(transport.ReadData(&notAHandle, buffer, sizeof buffer, &got), 6u);
  EXPECT_EQ(transport.ReadData(fetch.session, buffer, sizeof buffer, &got), 12018u);
  EXPECT_EQ(transport.ReadData(fetch.request, buffer, sizeof buffer, &got), 12019u) << "not sent yet";
  EXPECT_EQ(transport.ReceiveResponse(fetch.request), 12019u);

  // Parents closed first: the request keeps working until it is closed itself.
  transport.CloseHandle(fetch.session);
  transport.CloseHandle(fetch.connection);
  fetch.session = fetch.connection = nullptr;
  ASSERT_EQ(fetch.Send(), 0u);
  ASSERT_EQ(fetch.Receive(), 0u);
  EXPECT_EQ(fetch.Body(), "hello");
  transport.CloseHandle(fetch.request);
  EXPECT_EQ(transport.ReadData(fetch.request, buffer, sizeof buffer, &got), 6u) << "a closed handle is gone";
  fetch.request = nullptr;

  HttpHandle session = nullptr, connection = nullptr, request = nullptr;
  ASSERT_EQ(transport.OpenSession(u"", kAccessTypeNoProxy, nullptr, nullptr, &session), 0u);
  EXPECT_EQ(transport.Connect(session, u"", 80, &connection), 87u) << "an empty host";
  ASSERT_EQ(transport.Connect(session, u"127.0.0.1", server.Port(), &connection), 0u);
  EXPECT_EQ(transport.OpenRequest(connection, u"", u"/", nullptr, 0, &request), 87u) << "an empty verb";
  EXPECT_EQ(transport.OpenRequest(connection, u"GET", u"/a\r\nX-Injected: 1", nullptr, 0, &request), 12005u);
  HttpHandle badHost = nullptr, badRequest = nullptr;
  ASSERT_EQ(transport.Connect(session, u"no spaces allowed", 80, &badHost), 0u);
  ASSERT_EQ(transport.OpenRequest(badHost, u"GET", u"/", nullptr, 0, &badRequest), 0u);
  EXPECT_EQ(transport.SendRequest(badRequest, nullptr, 0, nullptr, 0), 12005u) << "a host that makes no URL";
  transport.CloseHandle(badRequest);
  transport.CloseHandle(badHost);
  // A request left open when the transport goes is closed with it.
  ASSERT_EQ(transport.OpenRequest(connection, u"GET", u"/", nullptr, 0, &request), 0u);
  ASSERT_EQ(transport.SendRequest(request, nullptr, 0, nullptr, 0), 0u);
  transport.CloseHandle(session);
}

TEST(CurlTransportTls, CertificatesAreVerifiedAgainstTrustedAuthorities) {
  test::TempDir dir;
  test::TestCertificates certificates = test::MakeTestCertificates(dir);
  TestHttpServer server(test::TlsSettings{certificates.certificateFile, certificates.keyFile});
  server.Route("/secret", [](const ReceivedRequest& r, ServerConnection& c) {
    test::SendFixed(c, 200, "OK", "over TLS: " + r.Header("Host"));
  });
  server.Route("/downgrade", [](const ReceivedRequest&, ServerConnection& c) {
    test::SendRedirect(c, 302, "http://127.0.0.1:9/plain");
  });
  server.Route("/upgrade-ok", [&](const ReceivedRequest&, ServerConnection& c) {
    test::SendFixed(c, 302, "Found", "",
                    "Location: https://localhost:" + std::to_string(server.Port()) + "/secret\r\n");
  });

  {
    CurlTransport untrusting;
    Fetch fetch(untrusting);
    EXPECT_EQ(fetch.Run("127.0.0.1", server.Port(), "GET", "/secret", "", "", true), 12175u)
        << "a certificate from an authority nobody trusts";
  }
  CurlOptions options;
  options.extraCaFile = certificates.caFile;
  CurlTransport trusting(options);
  {
    Fetch fetch(trusting);
    ASSERT_EQ(fetch.Run("localhost", server.Port(), "GET", "/secret", "", "", true), 0u);
    EXPECT_EQ(fetch.Body(), "over TLS: localhost:" + std::to_string(server.Port()));
  }
  {
    Fetch fetch(trusting);
    ASSERT_EQ(fetch.Run("127.0.0.1", server.Port(), "GET", "/upgrade-ok", "", "", true), 0u);
    EXPECT_EQ(fetch.Body(), "over TLS: localhost:" + std::to_string(server.Port()));
  }
  {
    Fetch fetch(trusting);
    EXPECT_EQ(fetch.Run("127.0.0.1", server.Port(), "GET", "/downgrade", "", "", true), 12156u)
        << "never from https to http";
  }
  {
    Fetch fetch(trusting);
    EXPECT_EQ(fetch.Run("127.0.0.1", server.Port(), "GET", "/secret"), 12030u)
        << "plain HTTP to a TLS port: the server drops the connection";
  }

  TestHttpServer demanding(test::TlsSettings{certificates.certificateFile, certificates.keyFile, true});
  Fetch fetch(trusting);
  EXPECT_EQ(fetch.Run("127.0.0.1", demanding.Port(), "GET", "/", "", "", true), 12044u);
}

TEST(CurlTransportAddresses, IPv6LiteralsNeedNoBracketsFromTheCaller) {
  TestHttpServer server(std::nullopt, true);
  server.Route("/six", [](const ReceivedRequest& r, ServerConnection& c) {
    test::SendFixed(c, 200, "OK", r.Header("Host"));
  });
  CurlTransport transport;
  for (std::string host : {"::1", "[::1]"}) {
    Fetch fetch(transport);
    ASSERT_EQ(fetch.Run(host, server.Port(), "GET", "/six"), 0u) << host;
    EXPECT_EQ(fetch.Body(), "[::1]:" + std::to_string(server.Port()));
  }
}

}  // namespace
}  // namespace skiff
