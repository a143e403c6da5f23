// Shows that answering a packet allocates nothing: global operator new is replaced in
// this test binary by a counting one, and Ping, status and Read packets are dispatched
// through the HTTP client with a transport and channel that do not record.
#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include <gtest/gtest.h>

#include "http/http_client.h"
#include "protocol/dispatcher.h"
#include "unit/fakes/fake_channel.h"
#include "unit/fakes/fake_http_transport.h"

namespace {
std::atomic<long> g_allocations{0};
}  // namespace

// The replacements below pair malloc with free by design; inlined into callers, the
// compiler sees new-expressions ending in free and would warn.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t size) {
  return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
  return operator new(size, tag);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}

namespace skiff {
namespace {

using testing::FakeChannel;
using testing::FakeDispatchHost;
using testing::FakeHttpTransport;
using testing::MakePacket;
using testing::Received;

class PacketAllocationsTest : public ::testing::Test {
 protected:
  PacketAllocationsTest() {
    host.channel = &channel;
    transport.responseBody = std::string(100000, 'd');
  }

  // Allocations made while dispatching one packet.
  long AllocationsFor(const Received& r) {
    const long before = g_allocations.load();
    dispatcher.Dispatch(r.packet, r.bytes);
    return g_allocations.load() - before;
  }

  FakeChannel channel;
  FakeDispatchHost host;
  FakeHttpTransport transport;
  HttpClient http{transport};
  RequestDispatcher dispatcher{host, http};
};

TEST_F(PacketAllocationsTest, CounterSeesAllocations) {
  // Without this the zero counts below would prove nothing.
  const long before = g_allocations.load();
  std::string* text = new std::string(200, 'x');
  delete text;
  EXPECT_GE(g_allocations.load() - before, 2);
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
