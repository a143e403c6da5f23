// What the libcurl transport does beyond the transport contract (which every transport
// keeps, in http_transport_contract_test): its time-outs, header-query edge cases,
// handle misuse, client certificates and IPv6 literals, against a loopback server.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "core/text.h"
#include "http/http_transport.h"
#include "http/winhttp_errors.h"
#include "platform/posix/http_curl/curl_transport.h"
#include "support/transport_fetch.h"
#include "test_http_server.h"
#include "test_peers.h"

namespace skiff {
namespace {

using test::ReceivedRequest;
using test::ServerConnection;
using test::TestHttpServer;

using Fetch = skiff::testing::TransportFetch;

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
  const std::unique_ptr<IHttpTransport> transportOwner = CreateCurlTransport();
  IHttpTransport& transport = *transportOwner;
};

TEST(CurlTransportTimeouts, StalledPeersTimeOut) {
  TestHttpServer server;
  server.Route("/stall", [](const ReceivedRequest&, ServerConnection& c) { c.WaitUntilClosed(); });
  server.Route("/stall-body", [](const ReceivedRequest&, ServerConnection& c) {
    c.Send("HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc");
    c.WaitUntilClosed();
  });
  CurlOptions options;
  options.sendReceiveTimeout = std::chrono::milliseconds(1000);  // short, yet generous on a busy machine
  const std::unique_ptr<IHttpTransport> transportOwner = CreateCurlTransport(options);
  IHttpTransport& transport = *transportOwner;
  {
    Fetch fetch(transport);
    EXPECT_EQ(fetch.Run("127.0.0.1", server.Port(), "GET", "/stall"), kErrorTimeout);
  }
  {
    Fetch fetch(transport);
    ASSERT_EQ(fetch.Run("127.0.0.1", server.Port(), "GET", "/stall-body"), 0u);
    std::uint32_t error = 0;
    EXPECT_EQ(fetch.Body(4000, &error), "abc");
    EXPECT_EQ(error, kErrorTimeout);
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
    const std::unique_ptr<IHttpTransport> impatientOwner = CreateCurlTransport(quick);
    IHttpTransport& impatient = *impatientOwner;
    Fetch fetch(impatient);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(fetch.Run("127.0.0.1", ntohs(address.sin_port), "GET", "/"), kErrorTimeout);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10))
        << "by the connect allowance";
    for (int fd : fillers) close(fd);
    close(listener);
  }
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
  EXPECT_EQ(transport.QueryHeaders(fetch.request, kQueryStatusText, text, &bytes), kErrorIncorrectHandleState)
      << "nothing to query before the response";
  ASSERT_EQ(fetch.Send(), 0u);
  ASSERT_EQ(fetch.Receive(), 0u);

  EXPECT_EQ(fetch.Status(), 200u);
  EXPECT_EQ(fetch.Text(kQueryStatusText), "Very Fine");
  EXPECT_EQ(fetch.Text(kQueryStatusCode), "200");
  bytes = 6;  // room for two units and the terminator only
  EXPECT_EQ(transport.QueryHeaders(fetch.request, kQueryStatusText, text, &bytes), kErrorInsufficientBuffer);
  EXPECT_EQ(bytes, 20u) << "nine units and the terminator";
  std::uint32_t status = 0;
  bytes = 2;
  EXPECT_EQ(transport.QueryHeaders(fetch.request, kQueryStatusCode | kQueryFlagNumber, &status, &bytes),
            kErrorInsufficientBuffer);

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
  EXPECT_EQ(overflowing.Run("127.0.0.1", Port(), "GET", "/endless-headers"), kErrorHeaderSizeOverflow)
      << "headers past 64 KiB";

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
  const std::unique_ptr<IHttpTransport> transportOwner = CreateCurlTransport();
  IHttpTransport& transport = *transportOwner;
  Fetch fetch(transport);
  ASSERT_EQ(fetch.Open("127.0.0.1", server.Port(), "GET", "/"), 0u);
  int notAHandle = 0;
  std::uint32_t got = 0;
  char buffer[16];
  EXPECT_EQ(transport.ReadData(&notAHandle, buffer, sizeof buffer, &got), kErrorInvalidHandle);
  EXPECT_EQ(transport.ReadData(fetch.session, buffer, sizeof buffer, &got), kErrorIncorrectHandleType);
  EXPECT_EQ(transport.ReadData(fetch.request, buffer, sizeof buffer, &got), kErrorIncorrectHandleState)
      << "not sent yet";
  EXPECT_EQ(transport.ReceiveResponse(fetch.request), kErrorIncorrectHandleState);

  // Parents closed first: the request keeps working until it is closed itself.
  transport.CloseHandle(fetch.session);
  transport.CloseHandle(fetch.connection);
  fetch.session = fetch.connection = nullptr;
  ASSERT_EQ(fetch.Send(), 0u);
  ASSERT_EQ(fetch.Receive(), 0u);
  EXPECT_EQ(fetch.Body(), "hello");
  transport.CloseHandle(fetch.request);
  EXPECT_EQ(transport.ReadData(fetch.request, buffer, sizeof buffer, &got), kErrorInvalidHandle)
      << "a closed handle is gone";
  fetch.request = nullptr;

  HttpHandle session = nullptr, connection = nullptr, request = nullptr;
  ASSERT_EQ(transport.OpenSession(u"", kAccessTypeNoProxy, nullptr, nullptr, &session), 0u);
  EXPECT_EQ(transport.Connect(session, u"", 80, &connection), kErrorInvalidParameter) << "an empty host";
  ASSERT_EQ(transport.Connect(session, u"127.0.0.1", server.Port(), &connection), 0u);
  EXPECT_EQ(transport.OpenRequest(connection, u"", u"/", nullptr, 0, &request), kErrorInvalidParameter)
      << "an empty verb";
  EXPECT_EQ(transport.OpenRequest(connection, u"GET", u"/a\r\nX-Injected: 1", nullptr, 0, &request),
            kErrorInvalidUrl);
  HttpHandle badHost = nullptr, badRequest = nullptr;
  ASSERT_EQ(transport.Connect(session, u"no spaces allowed", 80, &badHost), 0u);
  ASSERT_EQ(transport.OpenRequest(badHost, u"GET", u"/", nullptr, 0, &badRequest), 0u);
  EXPECT_EQ(transport.SendRequest(badRequest, nullptr, 0, nullptr, 0), kErrorInvalidUrl)
      << "a host that makes no URL";
  transport.CloseHandle(badRequest);
  transport.CloseHandle(badHost);
  // A request left open when the transport goes is closed with it.
  ASSERT_EQ(transport.OpenRequest(connection, u"GET", u"/", nullptr, 0, &request), 0u);
  ASSERT_EQ(transport.SendRequest(request, nullptr, 0, nullptr, 0), 0u);
  transport.CloseHandle(session);
}

// Trust and the https-to-http rule are in the transport contract; these are libcurl's own.
TEST(CurlTransportTls, PlainToATlsPortAndClientCertificateRequests) {
  test::TempDir dir;
  test::TestCertificates certificates = test::MakeTestCertificates(dir);
  CurlOptions options;
  options.extraCaFile = certificates.caFile;
  const std::unique_ptr<IHttpTransport> trustingOwner = CreateCurlTransport(options);
  IHttpTransport& trusting = *trustingOwner;
  TestHttpServer server(test::TlsSettings{certificates.certificateFile, certificates.keyFile});
  {
    Fetch fetch(trusting);
    EXPECT_EQ(fetch.Run("127.0.0.1", server.Port(), "GET", "/"), kErrorConnectionError)
        << "plain HTTP to a TLS port: the server drops the connection";
  }
  TestHttpServer demanding(test::TlsSettings{certificates.certificateFile, certificates.keyFile, true});
  Fetch fetch(trusting);
  EXPECT_EQ(fetch.Run("127.0.0.1", demanding.Port(), "GET", "/", "", "", true), kErrorClientCertNeeded);
}

TEST(CurlTransportAddresses, IPv6LiteralsNeedNoBracketsFromTheCaller) {
  TestHttpServer server(std::nullopt, true);
  server.Route("/six", [](const ReceivedRequest& r, ServerConnection& c) {
    test::SendFixed(c, 200, "OK", r.Header("Host"));
  });
  const std::unique_ptr<IHttpTransport> transportOwner = CreateCurlTransport();
  IHttpTransport& transport = *transportOwner;
  for (std::string host : {"::1", "[::1]"}) {
    Fetch fetch(transport);
    ASSERT_EQ(fetch.Run(host, server.Port(), "GET", "/six"), 0u) << host;
    EXPECT_EQ(fetch.Body(), "[::1]:" + std::to_string(server.Port()));
  }
}

}  // namespace
}  // namespace skiff
