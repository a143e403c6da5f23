// Inside the USB-link device manager: the state of one handheld connection, shared by
// the manager's I/O thread and the COM objects the program holds, and those objects.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/devmgr.h"
#include "platform/posix/usb_link/usb_device_manager.h"
#include "platform/posix/usb_link/usb_frame.h"

namespace skiff::usblink {

inline constexpr std::size_t kMaxUnreadPackets = 64;

// The channel of a connection, as the handheld and the program see it.
enum class ChannelPhase {
  None,        // no channel: never opened, refused, closed by the desktop, or failed
  Opening,     // OPEN or ANSWER sent, waiting for the handheld's answer
  Challenged,  // a CHALLENGE is being answered by the channel sink
  Open,
  Closed,  // closed by the handheld or by the end of the connection
};

// One handheld's connection. The I/O thread owns the socket's read side and the frame
// reader; everything below `mutex` is shared with the program's threads. The socket is
// closed when the last holder lets go, so no thread can write to a reused descriptor.
class Connection {
 public:
  Connection(std::uint64_t id, int fd);
  ~Connection();
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  const std::uint64_t id;
  const int fd;
  FrameReader reader{Direction::ToDesktop};  // I/O thread only

  // Ends the connection from any thread: the first reason wins and is logged by the
  // I/O thread, which then raises the events. An empty reason is an ordinary detach.
  void RequestEnd(const std::string& reason);
  // Sends one frame; the write lock keeps frames from different threads whole.
  bool Send(FrameKind kind, const void* body, std::size_t length, std::string* reason);

  std::mutex mutex;
  std::condition_variable changed;  // open outcome, end, sink calls finished
  bool attached = false;
  bool ended = false;  // the I/O thread has finished the connection
  bool endRequested = false;
  std::string endReason;  // why it ends (empty: the handheld went away)
  std::shared_ptr<const std::vector<DeviceProperty>> properties;  // set once, at ATTACH

  ChannelPhase phase = ChannelPhase::None;
  std::uint32_t generation = 0;  // bumped by each OpenChannel; a channel object
                                 // whose generation is old is closed
  bool closedByDesktop = false;  // DATA and CLOSE crossing our CLOSE are dropped
  HRESULT openResult = S_FALSE;  // S_FALSE while undecided
  std::string openDetail;        // the handheld's REFUSED text
  bool challengePending = false;
  std::int32_t challengeAttempts = 0;
  std::chrono::steady_clock::time_point openDeadline;

  IDevMgrChannelSink* sink = nullptr;  // one reference, while the channel may call it
  int sinkCalls = 0;                   // sink calls running now (on the I/O thread)
  std::thread::id sinkCaller;          // the thread making them

  // Unread packets: a ring of fixed slots, allocated at the first open, never per packet.
  std::unique_ptr<std::uint8_t[]> ring;
  std::uint16_t ringSizes[kMaxUnreadPackets] = {};
  std::size_t ringHead = 0;
  std::size_t ringCount = 0;

  // Waits (mutex held by lock) until no sink call runs, unless this thread makes it.
  void WaitForSinkCalls(std::unique_lock<std::mutex>& lock);

 private:
  std::mutex m_writeMutex;
};

// The per-thread error object with a description, for ComError's log line.
HRESULT ReportFailure(HRESULT code, const std::string& description);

// ---- The COM objects ----------------------------------------------------------------

// Shared reference counting of the objects below.
template <typename Base>
class RefCounted : public Base {
 public:
  ULONG STDMETHODCALLTYPE AddRef() override { return m_refs.fetch_add(1, std::memory_order_relaxed) + 1; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = m_refs.fetch_sub(1, std::memory_order_acq_rel) - 1;
    if (left == 0) Destroy();
    return left;
  }

 protected:
  RefCounted() = default;
  virtual ~RefCounted() = default;
  virtual void Destroy() { delete this; }

 private:
  std::atomic<ULONG> m_refs{1};
};

class CUsbDevice final : public RefCounted<IDevMgrDevice>, public ISupportErrorInfo {
 public:
  explicit CUsbDevice(std::shared_ptr<Connection> connection, UsbLinkTiming timing);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return RefCounted::AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return RefCounted::Release(); }
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;
  HRESULT STDMETHODCALLTYPE GetProperties(IDevMgrPropertyList** properties) override;
  HRESULT STDMETHODCALLTYPE OpenChannel(const OLECHAR* name, IDevMgrChannelSink* sink,
                                        IDevMgrChannel** channel) override;

 private:
  HRESULT FailOpen(HRESULT code, const std::string& description);
  std::shared_ptr<Connection> m_connection;
  UsbLinkTiming m_timing;
};

class CUsbDeviceList final : public RefCounted<IDevMgrDeviceList> {
 public:
  explicit CUsbDeviceList(std::vector<IDevMgrDevice*> devices);  // takes their references
  ~CUsbDeviceList() override;
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  HRESULT STDMETHODCALLTYPE GetCount(ULONG* count) override;
  HRESULT STDMETHODCALLTYPE GetItem(LONG index, IDevMgrDevice** device) override;

 private:
  std::vector<IDevMgrDevice*> m_devices;
};

class CUsbPropertyList final : public RefCounted<IDevMgrPropertyList> {
 public:
  explicit CUsbPropertyList(std::shared_ptr<const std::vector<DeviceProperty>> properties);
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  HRESULT STDMETHODCALLTYPE GetCount(LONG* count) override;
  HRESULT STDMETHODCALLTYPE GetItem(VARIANT index, IDevMgrProperty** property) override;

 private:
  std::shared_ptr<const std::vector<DeviceProperty>> m_properties;
};

class CUsbProperty final : public RefCounted<IDevMgrProperty> {
 public:
  CUsbProperty(std::shared_ptr<const std::vector<DeviceProperty>> properties, std::size_t index);
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  HRESULT STDMETHODCALLTYPE GetName(BSTR* name) override;
  HRESULT STDMETHODCALLTYPE GetValue(VARIANT* value) override;

 private:
  std::shared_ptr<const std::vector<DeviceProperty>> m_properties;
  std::size_t m_index;
};

class CUsbChannel final : public RefCounted<IDevMgrChannel>, public ISupportErrorInfo {
 public:
  CUsbChannel(std::shared_ptr<Connection> connection, std::uint32_t generation);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return RefCounted::AddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return RefCounted::Release(); }
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;
  HRESULT STDMETHODCALLTYPE Reserved1() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved2() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved3() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ReadData(BYTE* buffer, ULONG capacity, ULONG* count) override;
  HRESULT STDMETHODCALLTYPE WriteData(const BYTE* data, ULONG length) override;

 private:
  // Releasing the last reference closes the channel: CLOSE to the handheld, and no
  // sink call runs once it returns.
  void Destroy() override;
  std::shared_ptr<Connection> m_connection;
  const std::uint32_t m_generation;
};

}  // namespace skiff::usblink
