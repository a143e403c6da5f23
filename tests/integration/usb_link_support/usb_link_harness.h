// Test harness for the USB-link device manager: a temporary socket folder, a log and
// sinks that record what reaches them (and on which thread), and a raw handheld that
// speaks frames byte by byte over the real socket.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "device/devmgr.h"
#include "platform/posix/usb_link/usb_device_manager.h"
#include "platform/posix/usb_link/usb_frame.h"

namespace skiff::testing {

inline constexpr auto kEventWait = std::chrono::seconds(10);  // safety net only

// A folder under $TMPDIR removed with its contents at the end.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return m_path; }

 private:
  std::string m_path;
};

// Waits on a condition over state guarded by one mutex.
class Recorder {
 protected:
  template <typename Predicate>
  bool WaitFor(Predicate predicate, std::chrono::milliseconds limit = kEventWait) {
    std::unique_lock lock(m_mutex);
    return m_changed.wait_for(lock, limit, predicate);
  }
  void Notify() { m_changed.notify_all(); }
  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
};

class RecordingLog : public IUsbLinkLog, public Recorder {
 public:
  void Log(const std::string& line) override;
  std::vector<std::string> Lines() const;
  std::size_t Count() const;
  bool WaitForCount(std::size_t count);

 private:
  std::vector<std::string> m_lines;
};

// Counts references so a test can see that the manager lets go of what it took.
class CountedUnknown {
 public:
  int References() const { return m_references.load(); }

 protected:
  std::atomic<int> m_references{1};
};

class RecordingDeviceSink : public IDevMgrDeviceSink, public Recorder, public CountedUnknown {
 public:
  virtual ~RecordingDeviceSink() = default;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++m_references); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--m_references); }
  HRESULT STDMETHODCALLTYPE OnDeviceConnected(void* device) override;
  HRESULT STDMETHODCALLTYPE OnDeviceDisconnected(void* device) override;

  int Connected() const;
  int Disconnected() const;
  bool WaitConnected(int count);
  bool WaitDisconnected(int count);
  std::vector<std::thread::id> Threads() const;
  // Runs inside OnDeviceConnected (on the manager's thread), before it is counted.
  std::function<void()> onConnected;

 private:
  int m_connected = 0;
  int m_disconnected = 0;
  std::vector<std::thread::id> m_threads;
};

class RecordingChannelSink : public IDevMgrChannelSink, public Recorder, public CountedUnknown {
 public:
  virtual ~RecordingChannelSink() = default;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++m_references); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--m_references); }
  HRESULT STDMETHODCALLTYPE OnNotify() override { return S_OK; }
  HRESULT STDMETHODCALLTYPE OnChallenge(LONG attemptsRemaining, BYTE answer[20]) override;
  HRESULT STDMETHODCALLTYPE OnDataReady() override;
  HRESULT STDMETHODCALLTYPE OnClose() override;

  // The passwords answered in turn (the last one repeats); none: the challenge fails.
  std::vector<std::string> passwords;
  // Runs inside OnChallenge before it answers; may block.
  std::function<void()> duringChallenge;
  // Runs inside OnDataReady, after it is counted.
  std::function<void()> onDataReady;

  int DataReady() const;
  int Closed() const;
  std::vector<int> Attempts() const;
  std::vector<std::thread::id> ChallengeThreads() const;
  bool WaitDataReady(int count);
  bool WaitClosed(int count);
  bool WaitChallenged(std::size_t count);

 private:
  int m_dataReady = 0;
  int m_closed = 0;
  std::vector<int> m_attempts;
  std::vector<std::thread::id> m_challengeThreads;
};

// A handheld made of raw frames, for answers the real one never gives.
class RawHandheld {
 public:
  explicit RawHandheld(const std::string& socketPath);
  ~RawHandheld();
  RawHandheld(const RawHandheld&) = delete;
  RawHandheld& operator=(const RawHandheld&) = delete;

  bool Connected() const { return m_fd >= 0; }
  void SendBytes(const std::vector<std::uint8_t>& bytes);
  void SendFrame(usblink::FrameKind kind, const std::vector<std::uint8_t>& body = {});
  void Attach(std::int32_t pin, std::vector<usblink::DeviceProperty> more = {});

  struct Frame {
    usblink::FrameKind kind;
    std::vector<std::uint8_t> body;
  };
  // The next frame from the desktop; nullopt when none came in time or the link ended.
  std::optional<Frame> ReadFrame(std::chrono::milliseconds limit = kEventWait);
  // True when the desktop ended the connection (end of stream) within the limit;
  // frames that come before are skipped.
  bool WaitForEnd(std::chrono::milliseconds limit = kEventWait);
  void Close();

 private:
  int m_fd = -1;
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
  T* Detach() {
    T* pointer = m_pointer;
    m_pointer = nullptr;
    return pointer;
  }
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
// The property value of name on device as text ("I4:10767" or "BSTR:text").
std::string PropertyText(IDevMgrDevice* device, const std::string& name);
// The description in the calling thread's error object (and clears it).
std::string LastErrorDescription();

}  // namespace skiff::testing
