// Test harness for the USB-link device manager, on every platform: a manager on a real
// socket, a log and sinks that record what reaches them, and a raw handheld that speaks
// frames byte by byte over it. unix_socket_test.h puts the manager on a Unix socket.
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
    Record([&] { m_lines.push_back(line), ++count; });
  }
  std::string Last() const {
    std::lock_guard lock(m_mutex);
    return m_lines.empty() ? std::string() : m_lines.back();
  }
  std::atomic<int> count{0};

 private:
  std::vector<std::string> m_lines;
};

// Both sinks count references so a test can see that the manager lets go of them.
class RecordingDeviceSink : public IDevMgrDeviceSink, public Recorder {
 public:
  virtual ~RecordingDeviceSink() = default;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++references); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--references); }
  HRESULT STDMETHODCALLTYPE OnDeviceConnected(void* device) override {
    if (device != nullptr && onConnected) onConnected();
    return Count(device, connected);
  }
  HRESULT STDMETHODCALLTYPE OnDeviceDisconnected(void* device) override {
    return Count(device, disconnected);
  }

  std::atomic<int> references{1}, connected{0}, disconnected{0};
  // Runs inside OnDeviceConnected (on the manager's thread), before it is counted.
  std::function<void()> onConnected;

 private:
  HRESULT Count(void* device, std::atomic<int>& counter) {
    if (device == nullptr) return E_POINTER;
    Record([&] { ++counter; });
    return S_OK;
  }
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

  // The passwords answered in turn (the last one repeats); none: the challenge fails.
  std::vector<std::string> passwords;
  // Runs inside OnChallenge before it answers; may block.
  std::function<void()> duringChallenge;
  // Runs inside OnDataReady, after it is counted.
  std::function<void()> onDataReady;
  std::atomic<int> references{1}, dataReady{0}, closed{0}, challenged{0};

 private:
  std::vector<int> m_attempts;
};

// A handheld made of raw frames, for answers the real one never gives.
class RawHandheld {
 public:
  explicit RawHandheld(const std::string& socketPath);  // POSIX only
  explicit RawHandheld(std::uint16_t tcpPort);          // on 127.0.0.1
  ~RawHandheld() { Close(); }
  RawHandheld(const RawHandheld&) = delete;
  RawHandheld& operator=(const RawHandheld&) = delete;

  bool Connected() const { return m_stream != nullptr; }
  void SendBytes(const std::vector<std::uint8_t>& bytes);
  void SendFrame(usblink::FrameKind kind, const std::vector<std::uint8_t>& body = {});
  void Attach(std::int32_t pin, std::vector<usblink::DeviceProperty> more = {});

  struct Frame {
    usblink::FrameKind kind;
    std::vector<std::uint8_t> body;
    bool operator==(const Frame&) const = default;
    friend void PrintTo(const Frame& frame, std::ostream* out) {
      *out << "kind 0x" << std::hex << static_cast<int>(frame.kind) << std::dec << ", " << frame.body.size()
           << "-byte body " << ::testing::PrintToString(frame.body);
    }
  };
  // The next frame from the desktop; nullopt when none came in time or the link ended.
  std::optional<Frame> ReadFrame();
  // True when the desktop ended the connection within the limit; frames before are skipped.
  bool WaitForEnd();
  void Close();

 private:
  bool WaitReadable(std::chrono::steady_clock::time_point deadline);
  std::unique_ptr<usblink::IUsbStream> m_stream;
  usblink::CSocketPoller m_poller;
  usblink::FrameReader m_reader{usblink::Direction::ToHandheld};
};

// A packet as the channel carries it: type, sequence, length, payload.
std::vector<std::uint8_t> MakePacket(std::uint16_t type, std::uint16_t sequence, const std::string& payload);
std::vector<std::uint8_t> Bytes(const std::string& text);
// The 20-byte answer to a password challenge.
std::vector<std::uint8_t> PasswordDigest(const std::string& password);

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
    if (m_pointer != nullptr) m_pointer->Release();
    m_pointer = nullptr;
  }

 private:
  T* m_pointer = nullptr;
};

// The device at index in a fresh device list (null when there is none).
IDevMgrDevice* DeviceAt(IDevMgrMain* manager, LONG index);
ULONG DeviceCount(IDevMgrMain* manager);
// The property at index in list (a VT_I4 index).
HRESULT PropertyAt(IDevMgrPropertyList* list, LONG index, IDevMgrProperty** property);
// The device's properties in order, as "BBPIN=I4:10767" or "Name=BSTR:text".
std::vector<std::string> Properties(IDevMgrDevice* device);
// Opens the program's channel on device.
HRESULT OpenChannel(IDevMgrDevice* device, IDevMgrChannelSink& sink, IDevMgrChannel** channel);
// The description in the calling thread's error object (and clears it).
std::string LastErrorDescription();
// The next packet on the channel (empty when there is none), and a packet written to it.
std::vector<std::uint8_t> ReadPacket(IDevMgrChannel* channel);
HRESULT WritePacket(IDevMgrChannel* channel, const std::vector<std::uint8_t>& packet);

// A device manager, its device events advised to deviceSink.
class UsbLinkTest : public ::testing::Test {
 protected:
  void TearDown() override;
  void CreateOn(std::unique_ptr<usblink::IUsbEndpoint> endpoint, UsbLinkTiming timing = {});
  // On TCP at 127.0.0.1, a free port (tcpPort).
  void CreateTcp(UsbLinkTiming timing = {}) { CreateOn(usblink::TcpLoopbackEndpoint(0), timing); }
  // Lets the manager go, unadvised first.
  void ReleaseManager();
  // The device the manager listed last (after waiting for count attachments).
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
