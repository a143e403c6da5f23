// Test harness for the USB-link device manager on a real socket: a log and sinks that
// record what reaches them, a raw handheld that speaks frames byte by byte, and a fixture
// holding a manager whose device events go to a recording sink.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "device/devmgr.h"
#include "usb_link/usb_device_manager.h"
#include "usb_link/usb_frame.h"
#include "usb_link/usb_stream.h"

namespace skiff::testing {

inline constexpr auto kEventWait = std::chrono::seconds(10);  // safety net only
using Packet = std::vector<std::uint8_t>;

// Counters changed under one mutex, so that a test can wait for one to reach a count.
class Recorder {
 public:
  bool Wait(const std::atomic<int>& counter, int count) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, kEventWait, [&] { return counter >= count; });
  }

 protected:
  template <typename Change>
  void Record(Change change) {
    {
      std::lock_guard lock(m_mutex);
      change();
    }
    m_changed.notify_all();
  }
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
};

class RecordingLog : public ILogSink, public Recorder {
 public:
  void Log(const std::string& line) override {
    Record([&] { m_last = line, ++count; });
  }
  std::string Last() const {
    std::lock_guard lock(m_mutex);
    return m_last;
  }
  std::atomic<int> count{0};

 private:
  std::string m_last;
};

// Both sinks count references so a test can see that the manager lets go of them.
class RecordingDeviceSink : public IDevMgrDeviceSink, public Recorder {
 public:
  virtual ~RecordingDeviceSink() = default;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--references); }
  HRESULT STDMETHODCALLTYPE OnDeviceConnected(void* device) override {
    if (device == nullptr) return E_POINTER;
    if (onConnected) onConnected();  // before it is counted
    Record([&] { ++connected; });
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnDeviceDisconnected(void*) override {
    Record([&] { ++disconnected; });
    return S_OK;
  }
  std::atomic<int> references{1}, connected{0}, disconnected{0};
  std::function<void()> onConnected;  // runs on the manager's thread
};

class RecordingChannelSink : public IDevMgrChannelSink, public Recorder {
 public:
  virtual ~RecordingChannelSink() = default;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--references); }
  HRESULT STDMETHODCALLTYPE OnNotify() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnChallenge(LONG attemptsRemaining, BYTE answer[20]) override;
  HRESULT STDMETHODCALLTYPE OnDataReady() override {
    Record([&] { ++dataReady; });
    if (onDataReady) onDataReady();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnClose() override {
    Record([&] { ++closed; });
    return S_OK;
  }
  std::vector<int> Attempts() const {
    std::lock_guard lock(m_mutex);
    return m_attempts;
  }

  std::optional<std::string> password;    // none: the challenge fails, as on a cancel
  std::function<void()> duringChallenge;  // runs inside OnChallenge before it answers
  std::function<void()> onDataReady;      // runs inside OnDataReady, after it is counted
  std::atomic<int> references{1}, dataReady{0}, closed{0}, challenged{0};

 private:
  std::vector<int> m_attempts;
};

// A handheld made of raw frames, for answers the real one never gives.
class RawHandheld {
 public:
  explicit RawHandheld(std::unique_ptr<usblink::IUsbStream> stream) : m_stream(std::move(stream)) {}
  bool Connected() const { return m_stream != nullptr; }
  // The desktop may have hung up already: that is what some tests want.
  void SendBytes(const Packet& bytes);
  void SendFrame(usblink::FrameKind kind, const Packet& body = {});
  void Attach(std::int32_t pin, std::vector<usblink::DeviceProperty> more = {});

  struct Frame {
    usblink::FrameKind kind;
    Packet body;
    bool operator==(const Frame&) const = default;
    friend void PrintTo(const Frame& frame, std::ostream* out) {
      *out << "kind 0x" << std::hex << static_cast<int>(frame.kind) << std::dec << ", body "
           << ::testing::PrintToString(frame.body);
    }
  };
  // The next frame from the desktop, without allocating; false when none came in time.
  bool NextFrame(usblink::FrameView& frame);
  std::optional<Frame> ReadFrame();
  // True when the desktop ended the connection within the limit; frames before are skipped.
  bool WaitForEnd();
  void Close() { m_stream.reset(); }

 private:
  bool WaitReadable(std::chrono::steady_clock::time_point deadline);
  std::unique_ptr<usblink::IUsbStream> m_stream;
  usblink::CSocketPoller m_poller;
  usblink::FrameReader m_reader{usblink::Direction::ToHandheld};
};

// A packet as the channel carries it: type, sequence, length, payload.
Packet MakePacket(std::uint16_t type, std::uint16_t sequence, const std::string& payload);
Packet Bytes(const std::string& text);

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
  T* Detach() { return std::exchange(m_pointer, nullptr); }
  void Reset() {
    if (m_pointer != nullptr) std::exchange(m_pointer, nullptr)->Release();
  }

 private:
  T* m_pointer = nullptr;
};

// The device at index in a fresh device list (null when there is none), and the count.
IDevMgrDevice* DeviceAt(IDevMgrMain* manager, LONG index);
ULONG DeviceCount(IDevMgrMain* manager);
// The device's properties in order, as "BBPIN=I4:10767" or "Name=BSTR:text".
std::vector<std::string> Properties(IDevMgrDevice* device);
HRESULT OpenChannel(IDevMgrDevice* device, IDevMgrChannelSink& sink, IDevMgrChannel** channel);
// The description in the calling thread's error object (and clears it).
std::string LastErrorDescription();
// The next packet on the channel (empty when there is none), and a packet written to it.
Packet ReadPacket(IDevMgrChannel* channel);
HRESULT WritePacket(IDevMgrChannel* channel, const Packet& packet);

class UsbLinkTest : public ::testing::Test {
 protected:
  void TearDown() override;
  void CreateOn(std::unique_ptr<usblink::IUsbEndpoint> endpoint, UsbLinkTiming timing = {});
  // On TCP at 127.0.0.1, a free port (tcpPort).
  void CreateTcp(UsbLinkTiming timing = {}) { CreateOn(usblink::TcpLoopbackEndpoint(0), timing); }
  void ReleaseManager();  // unadvised first
  // The device the manager listed last, after waiting for count attachments.
  IDevMgrDevice* WaitForDevice(int count = 1);
  // Waits for the log to hold count lines; the last one names reason.
  void ExpectLogged(int count, const std::string& reason);

  RecordingLog log;
  RecordingDeviceSink deviceSink;
  std::unique_ptr<CUsbDeviceManagerFactory> factory;
  Ref<IDevMgrMain> manager;
  std::uint16_t tcpPort = 0;
  DWORD cookie = 0;
  bool advised = false;
};

}  // namespace skiff::testing
