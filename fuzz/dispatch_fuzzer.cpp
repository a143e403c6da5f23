// Fuzzes the request dispatcher: arbitrary packets with arbitrary received counts go
// through Dispatch and the HTTP client, with a transport and channel whose failures the
// input also chooses. Every write must be one whole packet no larger than the record.
//
// Input: one control byte (bit 0-5: which transport step fails, bit 6: writes fail,
// bit 7: a proxy is set), then records of [received count, 2 bytes LE][that many bytes].
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "device/api/com_error.h"
#include "http/http_client.h"
#include "protocol/dispatcher.h"
#include "support/fake_http_transport.h"
#include "support/recording_channel.h"

namespace {

using skiff::kPacketSize;

class CheckingChannel : public skiff::testing::RecordingChannel {
 public:
  int writeCount = 0;

  HRESULT STDMETHODCALLTYPE WriteData(const BYTE* data, ULONG length) override {
    ++writeCount;
    // One whole packet: the header's length matches the bytes written, within a record.
    if (length < skiff::kPacketHeaderSize || length > kPacketSize) std::abort();
    if (static_cast<ULONG>(data[4] | (data[5] << 8)) + skiff::kPacketHeaderSize != length) std::abort();
    return RecordingChannel::WriteData(data, length);
  }
};

class CountingHost : public skiff::IDispatchHost {
 public:
  virtual ~CountingHost() = default;
  IDevMgrChannel* channel = nullptr;
  std::size_t lines = 0;
  void Log(const std::string& text) override {
    ++lines;
    if (text.size() > 3 * kPacketSize) std::abort();  // no line is longer than a trace
  }
  IDevMgrChannel* Channel() override { return channel; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t control = data[0];
  ++data;
  --size;

  skiff::testing::FakeHttpTransport transport;
  transport.record = false;
  transport.responseBody = std::string(9000, 'b');
  const std::uint32_t code = 12000u + (control & 0x3F);
  switch (control & 0x07) {
    case 1:
      transport.openSessionError = code;
      break;
    case 2:
      transport.connectError = code;
      break;
    case 3:
      transport.openRequestError = code;
      break;
    case 4:
      transport.sendError = code;
      break;
    case 5:
      transport.readError = code;
      break;
    case 6:
      transport.rawProbeResult = code;
      break;
    default:
      break;
  }
  if (control & 0x80) {
    transport.proxyConfig.hasProxy = true;
    transport.proxyConfig.proxy = u"127.0.0.1:3128";
  }
  CheckingChannel channel;
  channel.record = false;
  if (control & 0x40) channel.writeResult = E_FAIL;
  CountingHost host;
  host.channel = &channel;
  skiff::HttpClient http(transport);
  skiff::RequestDispatcher dispatcher(host, http);
  dispatcher.BeginConversation();

  // One receive record reused for every packet, as the channel transport does: bytes
  // beyond a short packet are whatever the previous one left.
  static skiff::Packet record;
  while (size >= 2) {
    const std::size_t received = static_cast<std::size_t>(data[0] | (data[1] << 8)) % (kPacketSize + 200);
    data += 2;
    size -= 2;
    const std::size_t copied = std::min({received, size, kPacketSize});
    std::memcpy(record.bytes, data, copied);
    data += copied;
    size -= copied;
    const int writesBefore = channel.writeCount;
    try {
      dispatcher.Dispatch(record, received);
    } catch (const skiff::ComError&) {
      // The device pass reports it and ends the conversation; the next packet starts a new one.
      dispatcher.BeginConversation();
    }
    if (channel.writeCount - writesBefore > 1) std::abort();  // at most one reply per packet
    if (dispatcher.HistoryPosition() < 0 || dispatcher.HistoryPosition() >= 10) std::abort();
  }
  http.Reset();
  if (transport.openHandles != 0) std::abort();
  return 0;
}
