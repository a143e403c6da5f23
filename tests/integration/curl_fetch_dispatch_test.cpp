// A handheld's fetch packet by packet through the request dispatcher, with the real
// libcurl transport against the loopback HTTPS server: every reply checked byte for byte,
// and failures reaching the handheld as Error packets with code and text.
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "http/http_client.h"
#include "platform/posix/http_curl/curl_transport.h"
#include "protocol/dispatcher.h"
#include "test_http_server.h"
#include "test_peers.h"
#include "unit/fakes/fake_channel.h"

namespace skiff {
namespace {

using test::ReceivedRequest;
using test::ServerConnection;

const std::string kSuccess("Success\0", 8);

using skiff::testing::Le32;

std::string Port16(std::uint16_t port) {
  return std::string{static_cast<char>(port & 0xFF), static_cast<char>(port >> 8)};
}

// A loopback HTTPS server and a transport that trusts its certificate authority.
struct SecurePeers {
  test::TempDir dir;
  test::TestCertificates certificates = test::MakeTestCertificates(dir);
  test::TestHttpServer server{test::TlsSettings{certificates.certificateFile, certificates.keyFile}};
  CurlTransport transport{
      CurlOptions{std::chrono::seconds(60), std::chrono::seconds(30), certificates.caFile}};
};

class FetchDispatchTest : public ::testing::Test,
                          protected SecurePeers,
                          protected skiff::testing::DispatchRig {
 protected:
  FetchDispatchTest() : DispatchRig(transport) {}
  void TearDown() override { EXPECT_EQ(faults, 0) << "a request was not answered once with its sequence"; }
};

TEST_F(FetchDispatchTest, WholeSecureFetchIsAnsweredPacketByPacket) {
  std::string body(9001, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>((i * 131) ^ (i >> 7));
  server.Route("/file.bin", [&](const ReceivedRequest&, ServerConnection& c) {
    test::SendFixed(c, 200, "OK", body, "Content-Type: application/octet-stream\r\n");
  });

  EXPECT_EQ(Request(PacketType::UserAgent, "Handheld/4.2"), Reply(kSuccess));
  EXPECT_EQ(Request(PacketType::Host, "localhost"), Reply(kSuccess));
  EXPECT_EQ(http.State(), HttpClientState::SessionOpen);
  EXPECT_EQ(Request(PacketType::Port, Port16(server.Port())), Reply(kSuccess));
  EXPECT_EQ(Request(PacketType::Verb, "GET"), Reply(kSuccess));
  EXPECT_EQ(http.State(), HttpClientState::Connected);
  EXPECT_EQ(Request(PacketType::Path, "/file.bin?name=a%20b"), Reply(kSuccess));
  EXPECT_EQ(Request(PacketType::Secure, std::string(1, '\x01')), Reply(kSuccess));
  EXPECT_EQ(Request(PacketType::Headers, ""), Reply(kSuccess));
  EXPECT_EQ(http.State(), HttpClientState::RequestOpen);
  EXPECT_EQ(Request(PacketType::Send), Reply(Le32(200) + std::string("OK\0", 3)));
  EXPECT_EQ(http.State(), HttpClientState::ResponseReceived);
  EXPECT_EQ(
      Request(PacketType::ResponseHeaders),
      Reply("HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: 9001\r\n\r\n" +
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
  EXPECT_EQ(received, body) << "the body arrives whole, in order, in chunks of at most 4000 bytes";
  EXPECT_EQ(Request(PacketType::Read), Reply("")) << "and every read after the end is empty";
  EXPECT_EQ(Request(PacketType::Close), Reply(""));
  EXPECT_EQ(http.State(), HttpClientState::Idle);

  std::vector<ReceivedRequest> seen = server.Requests();
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].method, "GET");
  EXPECT_EQ(seen[0].target, "/file.bin?name=a%20b");
  EXPECT_EQ(seen[0].Header("User-Agent"), "Handheld/4.2");
  EXPECT_EQ(seen[0].Header("Host"), "localhost:" + std::to_string(server.Port()));
  EXPECT_TRUE(host.lines.empty() || host.lines.back().find("Sending error") == std::string::npos);
}

TEST_F(FetchDispatchTest, FailuresReachTheHandheldAsErrorPackets) {
  server.Route("/cut",
               [](const ReceivedRequest&, ServerConnection& c) { test::SendGenerated(c, 50'000, 6'000); });

  // Nothing listens on the port: the send fails, the client starts over.
  Request(PacketType::UserAgent, "Handheld/4.2");
  Request(PacketType::Host, "127.0.0.1");
  Request(PacketType::Port, Port16(test::FreeLoopbackPort()));
  Request(PacketType::Verb, "GET");
  Request(PacketType::Secure, std::string(1, '\x01'));
  Request(PacketType::Headers, "");
  host.lines.clear();
  EXPECT_EQ(Request(PacketType::Send),
            Error(kErrorCannotConnect, "Returned if connection to the server failed."));
  EXPECT_EQ(host.lines, (std::vector<std::string>{"Sending error:", "12029",
                                                  "Returned if connection to the server failed."}));
  EXPECT_EQ(http.State(), HttpClientState::Idle);

  // A reset in the middle of the body: the read fails, the fetch stays open to close.
  Request(PacketType::UserAgent, "Handheld/4.2");
  Request(PacketType::Host, "127.0.0.1");
  Request(PacketType::Port, Port16(server.Port()));
  Request(PacketType::Verb, "GET");
  Request(PacketType::Path, "/cut");
  Request(PacketType::Secure, std::string(1, '\x01'));
  Request(PacketType::Body, "");
  ASSERT_EQ(Request(PacketType::Send), Reply(Le32(200) + std::string("OK\0", 3)));
  std::vector<std::uint8_t> reply;
  for (int reads = 0; reads < 100; ++reads) {
    reply = Request(PacketType::Read);
    if (reply.empty() || reply[0] != static_cast<std::uint8_t>(PacketType::Reply)) break;
  }
  const std::string resetText =
      "The connection with the server has been reset or terminated, or an incompatible SSL protocol was "
      "encountered. For example, WinHTTP 5.1 does not support SSL2 unless the client specifically enables "
      "it.";
  EXPECT_EQ(reply, Error(kErrorConnectionError, resetText));
  EXPECT_EQ(http.State(), HttpClientState::ResponseReceived);
  EXPECT_EQ(Request(PacketType::Close), Reply(""));

  // A name that cannot be resolved (a label too long for any DNS query, so no traffic).
  Request(PacketType::UserAgent, "Handheld/4.2");
  Request(PacketType::Host, std::string(70, 'x') + ".invalid");
  Request(PacketType::Verb, "GET");
  Request(PacketType::Headers, "");
  EXPECT_EQ(Request(PacketType::Send), Error(kErrorNameNotResolved, "The server name cannot be resolved."));
}

}  // namespace
}  // namespace skiff
