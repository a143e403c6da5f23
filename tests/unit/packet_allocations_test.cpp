// Shows that answering a packet allocates nothing: global operator new is replaced in
// this test binary by the counting one of tests/support, and Ping, status and Read packets are dispatched
// through the HTTP client with a transport and channel that do not record.
#include <string>

#include <gtest/gtest.h>

#include "http/http_client.h"
#include "protocol/dispatcher.h"
#include "support/counting_allocator.h"
#include "support/fake_http_transport.h"
#include "support/recording_channel.h"

namespace skiff {
namespace {

using testing::FakeDispatchHost;
using testing::FakeHttpTransport;
using testing::MakePacket;
using testing::Received;
using testing::RecordingChannel;

class PacketAllocationsTest : public ::testing::Test {
 protected:
  PacketAllocationsTest() {
    host.channel = &channel;
    transport.responseBody = std::string(100000, 'd');
  }

  // Allocations made while dispatching one packet.
  long AllocationsFor(const Received& r) {
    const long before = testing::AllocationCount();
    dispatcher.Dispatch(r.packet, r.bytes);
    return testing::AllocationCount() - before;
  }

  RecordingChannel channel;
  FakeDispatchHost host;
  FakeHttpTransport transport;
  HttpClient http{transport};
  RequestDispatcher dispatcher{host, http};
};

TEST_F(PacketAllocationsTest, CounterSeesAllocations) {
  // Without this the zero counts below would prove nothing.
  const long before = testing::AllocationCount();
  std::string* text = new std::string(200, 'x');
  delete text;
  EXPECT_GE(testing::AllocationCount() - before, 2);
}

TEST_F(PacketAllocationsTest, PingStatusAndReadRepliesAllocateNothing) {
  // Built before counting: the packets and the fetch up to the response.
  const Received ping = MakePacket(PacketType::Ping, 1, std::string(3000, 'p'));
  const Received path = MakePacket(PacketType::Path, 4, "/some/where");
  Received setup[] = {MakePacket(PacketType::UserAgent, 2, "UA"), MakePacket(PacketType::Host, 3, "h"),
                      MakePacket(PacketType::Verb, 5, "GET"), MakePacket(PacketType::Headers, 6),
                      MakePacket(PacketType::Send, 7)};
  Received reads[8];
  for (int i = 0; i < 8; ++i) reads[i] = MakePacket(PacketType::Read, static_cast<std::uint16_t>(8 + i));
  transport.record = false;
  channel.record = false;

  EXPECT_EQ(AllocationsFor(ping), 0);
  for (int i = 0; i < 2; ++i) dispatcher.Dispatch(setup[i].packet, setup[i].bytes);
  EXPECT_EQ(AllocationsFor(path), 0) << "a status reply";
  for (int i = 2; i < 5; ++i) dispatcher.Dispatch(setup[i].packet, setup[i].bytes);
  ASSERT_EQ(http.State(), HttpClientState::ResponseReceived);
  for (const Received& read : reads) EXPECT_EQ(AllocationsFor(read), 0);

  // The replies really went out: the last one was a full 4000-byte chunk.
  EXPECT_EQ(channel.writeCount, 15);
  EXPECT_EQ(channel.lastWriteSize, kPacketSize);
  EXPECT_TRUE(host.lines.empty());
}

}  // namespace
}  // namespace skiff
