// Time to answer one packet through Dispatch: a Ping, and a Read that returns a full
// 4000-byte chunk through the HTTP client (scripted transport, channel that only counts).
#include <cstring>
#include <string>

#include <benchmark/benchmark.h>

#include "http/http_client.h"
#include "protocol/dispatcher.h"
#include "support/fake_http_transport.h"
#include "support/recording_channel.h"

namespace {

using namespace skiff;

struct Rig {
  Rig() {
    transport.record = false;
    channel.record = false;
    host.channel = &channel;
  }
  void Dispatch(PacketType type, std::uint16_t sequence, const std::string& payload = {}) {
    testing::Received r = testing::MakePacket(type, sequence, payload);
    dispatcher.Dispatch(r.packet, r.bytes);
  }

  testing::FakeHttpTransport transport;
  testing::RecordingChannel channel;
  testing::FakeDispatchHost host;
  HttpClient http{transport};
  RequestDispatcher dispatcher{host, http};
};

// Sequence numbers advance by one per packet and wrap, as the handheld's do; the
// numbers stay new requests, so every iteration is a full answer, not a resend.
std::uint16_t Next(std::uint16_t& sequence) {
  sequence = sequence == 60000 ? 1 : static_cast<std::uint16_t>(sequence + 1);
  return sequence;
}

void BM_DispatchPing(benchmark::State& state) {
  Rig rig;
  rig.dispatcher.BeginConversation();
  testing::Received ping = testing::MakePacket(PacketType::Ping, 1, "benchmark ping text");
  std::uint16_t sequence = 0;
  for (auto _ : state) {
    ping.packet.SetSequence(Next(sequence));
    if (sequence == 1) rig.dispatcher.BeginConversation();
    rig.dispatcher.Dispatch(ping.packet, ping.bytes);
  }
  if (rig.channel.lastWriteSize != 6 + 6 + 19 + 1) state.SkipWithError("unexpected reply");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DispatchPing);

void BM_DispatchRead4000(benchmark::State& state) {
  Rig rig;
  // A body large enough that every Read returns a full chunk; rewound when used up.
  rig.transport.responseBody = std::string(4000 * 1024, 'd');
  rig.dispatcher.BeginConversation();
  rig.Dispatch(PacketType::Host, 1, "h");
  rig.Dispatch(PacketType::Verb, 2, "GET");
  rig.Dispatch(PacketType::Headers, 3);
  rig.Dispatch(PacketType::Send, 4);
  testing::Received read = testing::MakePacket(PacketType::Read, 5);
  std::uint16_t sequence = 4;
  for (auto _ : state) {
    read.packet.SetSequence(Next(sequence));
    if (sequence == 1) rig.dispatcher.BeginConversation();
    if (rig.transport.readPosition == rig.transport.responseBody.size()) rig.transport.readPosition = 0;
    rig.dispatcher.Dispatch(read.packet, read.bytes);
  }
  if (rig.channel.lastWriteSize != kPacketSize) state.SkipWithError("reply was not a full chunk");
  state.SetItemsProcessed(state.iterations());
  state.SetBytesProcessed(state.iterations() * 4000);
}
BENCHMARK(BM_DispatchRead4000);

}  // namespace

BENCHMARK_MAIN();
