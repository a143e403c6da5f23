// Test harness for the USB-link device manager on a real socket: a sink that records
// the events that reach it, a raw handheld that speaks frames byte by byte, and the fixture.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "core/text.h"
#include "device/api/devmgr.h"
#include "device/sha1.h"
#include "support/packet_bytes.h"
#include "support/recording_log.h"
#include "usb_link/usb_device_manager.h"
#include "usb_link/usb_frame.h"
#include "usb_link/usb_stream.h"

namespace skiff::testing {

inline constexpr auto kEventWait = std::chrono::seconds(10);  // safety net only

// Whatever reaches it, counted: device events and one channel's events, so that a test
// can wait for one to reach a number. References are counted so a test can see that the
// manager lets go; the manager never queries for other interfaces.
class RecordingSink : public IDevMgrDeviceSink, public IDevMgrChannelSink {
 public:
  virtual ~RecordingSink() = default;
  static bool Wait(const std::atomic<int>& counter, int count) {
    return Eventually([&] { return counter >= count; });
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOTIMPL; }
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--references); }
  HRESULT STDMETHODCALLTYPE OnDeviceConnected(void* device) override {
    if (onConnected) onConnected();  // before it is counted
    return Count(device, connected);
  }
  HRESULT STDMETHODCALLTYPE OnDeviceDisconnected(void* device) override {
    return Count(device, disconnected);
  }
  HRESULT STDMETHODCALLTYPE OnNotify() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnChallenge(LONG, BYTE answer[20]) override {
    Count(this, challenged);
    if (duringChallenge) duringChallenge();
    if (!password) return HRESULT_FROM_WIN32(ERROR_CANCELLED);
    Sha1Digest(password->data(), password->size(), answer, kSha1DigestBytes);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnDataReady() override { return Count(this, dataReady); }
  HRESULT STDMETHODCALLTYPE OnClose() override { return Count(this, closed); }

  std::atomic<int> references{1}, connected{0}, disconnected{0}, dataReady{0}, closed{0}, challenged{0};
  std::function<void()> onConnected;      // runs on the manager's thread
  std::optional<std::string> password;    // none: the challenge fails, as on a cancel
  std::function<void()> duringChallenge;  // runs inside OnChallenge before it answers

 private:
  static HRESULT Count(const void* object, std::atomic<int>& counter) {
    if (object == nullptr) return E_POINTER;
    ++counter;
    return S_OK;
  }
};

// A handheld made of raw frames, for answers the real one never gives.
class RawHandheld {
 public:
  explicit RawHandheld(std::unique_ptr<usblink::IUsbStream> stream) : m_stream(std::move(stream)) {}
  bool Connected() const { return m_stream != nullptr; }
  void Close() { m_stream.reset(); }
  // The desktop may have hung up already: that is what some tests want.
  void SendFrame(usblink::FrameKind kind, const Bytes& body = {}) {
    if (m_stream) usblink::SendFrame(*m_stream, kind, body.data(), body.size(), &m_error);
  }
  void Attach(std::int32_t pin, std::vector<usblink::DeviceProperty> more = {}) {
    more.insert(more.begin(), usblink::DeviceProperty::MakeInteger("BBPIN", pin));
    Bytes body;
    ASSERT_TRUE(usblink::EncodeAttach(more, &body, &m_error)) << m_error;
    SendFrame(usblink::FrameKind::Attach, body);
  }

  using Frame = std::pair<usblink::FrameKind, Bytes>;  // gtest prints pairs readably
  // The next frame from the desktop, without allocating; false when none came in time
  // or the connection ended (ended()).
  bool NextFrame(usblink::FrameView& frame) {
    using Result = usblink::FrameReader::Result;
    const auto deadline = std::chrono::steady_clock::now() + kEventWait;
    for (Result result; (result = m_reader.Next(frame)) != Result::Frame;) {
      const auto left =
          std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (result == Result::Bad || !m_stream || m_ended || left.count() <= 0) return false;
      m_poller.Clear();
      m_poller.Add(m_stream->Handle());
      if (!m_poller.Wait(static_cast<int>(left.count()), &m_error)) return false;
      if (!m_poller.Readable(0)) continue;
      const std::ptrdiff_t got = m_stream->Receive(m_reader.FreeSpace(), m_reader.FreeSize());
      m_ended = got < 0;
      m_reader.Commit(m_ended ? 0 : static_cast<std::size_t>(got));
    }
    return true;
  }
  std::optional<Frame> ReadFrame() {
    usblink::FrameView view{};
    if (!NextFrame(view)) return std::nullopt;
    return Frame{view.kind, Bytes(view.body, view.body + view.length)};
  }
  // True when the desktop ended the connection in time; frames before are skipped.
  bool WaitForEnd() {
    usblink::FrameView view{};
    while (NextFrame(view)) {
    }
    return m_ended;
  }

 private:
  std::unique_ptr<usblink::IUsbStream> m_stream;
  usblink::CSocketPoller m_poller;
  usblink::FrameReader m_reader{usblink::Direction::ToHandheld};
  std::string m_error;
  bool m_ended = false;
};

// Holds an interface reference and releases it once.
template <typename T>
class Ref {
 public:
  Ref() = default;
  explicit Ref(T* pointer) : m_pointer(pointer) {}
  ~Ref() { Reset(); }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  T** Out() {
    Reset();
    return &m_pointer;
  }
  T* Get() const { return m_pointer; }
  T* operator->() const { return m_pointer; }
  explicit operator bool() const { return m_pointer != nullptr; }
  void Reset() {
    if (m_pointer != nullptr) std::exchange(m_pointer, nullptr)->Release();
  }

 private:
  T* m_pointer = nullptr;
};

// The number of devices in a fresh device list.
inline ULONG DeviceCount(IDevMgrMain* manager) {
  Ref<IDevMgrDeviceList> list;
  ULONG count = 0;
  if (FAILED(manager->GetDevices(list.Out())) || FAILED(list->GetCount(&count))) return 0xFFFFFFFF;
  return count;
}

inline HRESULT OpenChannel(IDevMgrDevice* device, IDevMgrChannelSink& sink, IDevMgrChannel** channel) {
  return device->OpenChannel(AsOle(u"SkiffhouseUSB"), &sink, channel);
}

// The description in the calling thread's error object (and clears it).
inline std::string LastErrorDescription() {
  IErrorInfo* info = nullptr;
  if (GetErrorInfo(0, &info) != S_OK || info == nullptr) return {};
  BSTR description = nullptr;
  std::string text;
  if (SUCCEEDED(info->GetDescription(&description)) && description != nullptr)
    text = WideToUtf8String(std::u16string_view(AsWide(description), SysStringLen(description)));
  SysFreeString(description);
  info->Release();
  return text;
}

// The next packet on the channel (empty when there is none), and a packet written to it.
inline Bytes ReadPacket(IDevMgrChannel* channel) {
  BYTE buffer[4006];
  ULONG count = 0;
  if (channel->ReadData(buffer, sizeof buffer, &count) != S_OK) return {};
  return {buffer, buffer + count};
}
inline HRESULT WritePacket(IDevMgrChannel* channel, const Bytes& packet) {
  return channel->WriteData(packet.data(), static_cast<ULONG>(packet.size()));
}

class UsbLinkTest : public ::testing::Test {
 protected:
  void TearDown() override {
    ReleaseManager();
    EXPECT_EQ(deviceSink.references, 1) << "the manager kept a reference to the device sink";
  }
  void CreateOn(std::unique_ptr<usblink::IUsbEndpoint> endpoint, UsbLinkTiming timing = {}) {
    factory = std::make_unique<CUsbDeviceManagerFactory>(std::move(endpoint), log, timing);
    ASSERT_EQ(factory->CreateDeviceManager(manager.Out(), &tcpPort), S_OK);
    ASSERT_EQ(manager->AdviseDeviceEvents(&deviceSink, &cookie), S_OK);
    advised = true;
  }
  void ReleaseManager() {  // unadvised first
    if (manager && advised) manager->UnadviseDeviceEvents(cookie);
    advised = false;
    manager.Reset();
  }
  // The device the manager listed last, after waiting for count attachments.
  IDevMgrDevice* WaitForDevice(int count = 1) {
    EXPECT_TRUE(deviceSink.Wait(deviceSink.connected, count));
    Ref<IDevMgrDeviceList> list;
    IDevMgrDevice* device = nullptr;
    if (SUCCEEDED(manager->GetDevices(list.Out())))
      list->GetItem(static_cast<LONG>(DeviceCount(manager.Get())) - 1, &device);
    return device;
  }
  // Waits for the log to hold count lines; the last one names reason.
  void ExpectLogged(std::size_t count, const std::string& reason) {
    EXPECT_TRUE(log.WaitForCount(count));
    EXPECT_EQ(log.Count(), count);
    EXPECT_NE(log.Last().find(reason), std::string::npos) << log.Last();
  }

  CollectingSink log;
  RecordingSink deviceSink;
  std::unique_ptr<CUsbDeviceManagerFactory> factory;
  Ref<IDevMgrMain> manager;
  std::uint16_t tcpPort = 0;  // after creating on TCP
  DWORD cookie = 0;
  bool advised = false;
};

}  // namespace skiff::testing
