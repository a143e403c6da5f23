// A recording stand-in for the device manager's channel and for the dispatcher's owner:
// every write is kept byte for byte, a write can be made to fail, and log lines are
// collected in order. Also a dispatcher wired to both for tests that exchange packets
// with it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "device/api/devmgr.h"
#include "http/http_client.h"
#include "protocol/dispatcher.h"
#include "protocol/packet.h"
#include "support/packet_bytes.h"

namespace skiff::testing {

class RecordingChannel : public IDevMgrChannel {
 public:
  virtual ~RecordingChannel() = default;
  HRESULT writeResult = S_OK;
  bool record = true;
  std::vector<std::vector<std::uint8_t>> writes;
  std::size_t lastWriteSize = 0;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE Reserved1() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved2() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved3() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ReadData(BYTE*, ULONG, ULONG*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE WriteData(const BYTE* data, ULONG length) override {
    lastWriteSize = length;
    if (record) writes.emplace_back(data, data + length);
    return writeResult;
  }
};

class FakeDispatchHost : public IDispatchHost {
 public:
  virtual ~FakeDispatchHost() = default;
  IDevMgrChannel* channel = nullptr;
  std::vector<std::string> lines;

  void Log(const std::string& text) override { lines.push_back(text); }
  IDevMgrChannel* Channel() override { return channel; }
};

// A dispatcher in a new conversation, answering through the recording channel.
struct DispatchRig {
  explicit DispatchRig(IHttpTransport& transport) : http(transport) {
    host.channel = &channel;
    dispatcher.BeginConversation();
  }

  // Sends one request with the next sequence number and returns its one reply, with the
  // sequence shown as 0 so that expectations need not repeat it. A request answered not
  // exactly once, or with another sequence, counts in `faults` (and returns nothing).
  std::vector<std::uint8_t> Request(PacketType type, const std::string& payload = {}) {
    ++sequence;
    const std::size_t before = channel.writes.size();
    const Received r = MakePacket(type, sequence, payload);
    dispatcher.Dispatch(r.packet, r.bytes);
    std::vector<std::uint8_t> reply;
    if (channel.writes.size() == before + 1) reply = channel.writes.back();
    if (reply.size() < kPacketHeaderSize || (reply[2] | (reply[3] << 8)) != sequence) {
      ++faults;
      return {};
    }
    reply[2] = reply[3] = 0;
    return reply;
  }
  static std::vector<std::uint8_t> Reply(const std::string& payload) {
    return PacketBytes(PacketType::Reply, 0, payload);
  }
  static std::vector<std::uint8_t> Error(std::uint32_t code, const std::string& text) {
    return PacketBytes(PacketType::Error, 0, Le32(code) + (text.empty() ? "" : text + '\0'));
  }

  RecordingChannel channel;
  FakeDispatchHost host;
  HttpClient http;
  RequestDispatcher dispatcher{host, http};
  std::uint16_t sequence = 0;
  int faults = 0;
};

}  // namespace skiff::testing
