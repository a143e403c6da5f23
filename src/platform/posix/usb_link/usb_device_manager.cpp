// The device manager itself: it listens on the USB-link socket, turns each handheld's
// frames into devices, channel answers and packets, and raises the device and channel
// events on its own I/O thread; and the factory the program creates it with.
#include "platform/posix/usb_link/usb_device_manager.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/posix/usb_link/usb_link_internal.h"

namespace skiff {

namespace usblink {
namespace {

// More handhelds than anyone attaches; past it a connection is refused, so a runaway
// client cannot use up the process's descriptors.
constexpr std::size_t kMaxConnections = 128;

class CUsbDevMgr final : public RefCounted<IDevMgrMain> {
 public:
  CUsbDevMgr(ListeningSocket socket, ILogSink& log, UsbLinkTiming timing)
      : m_socket(std::move(socket)), m_log(log), m_timing(timing) {}

  bool Start(std::string* reason);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  HRESULT STDMETHODCALLTYPE GetDevices(IDevMgrDeviceList** devices) override;
  HRESULT STDMETHODCALLTYPE AdviseDeviceEvents(IDevMgrDeviceSink* sink, DWORD* cookie) override;
  HRESULT STDMETHODCALLTYPE UnadviseDeviceEvents(DWORD cookie) override;

 private:
  ~CUsbDevMgr() override;
  void Destroy() override;

  // I/O thread.
  void Run();
  void Accept();
  void Receive(const std::shared_ptr<Connection>& connection);
  bool HandleFrame(const std::shared_ptr<Connection>& connection, const FrameView& frame, std::string* why);
  void Finish(const std::shared_ptr<Connection>& connection, bool raiseDeviceEvents);
  void RaiseDeviceEvent(bool connected, IDevMgrDevice* device);
  static void CallChannelSink(Connection& c, std::unique_lock<std::mutex>& lock, IDevMgrChannelSink* sink,
                              bool close);

  ListeningSocket m_socket;
  ILogSink& m_log;
  const UsbLinkTiming m_timing;
  int m_wakeFd = -1;
  std::thread m_thread;
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_deleteWhenStopped{false};

  // Used by the I/O thread only.
  std::vector<std::shared_ptr<Connection>> m_connections;
  std::vector<pollfd> m_pollFds;
  std::uint64_t m_nextConnectionId = 1;

  // Shared with the program's threads.
  std::mutex m_mutex;
  std::condition_variable m_changed;
  struct Attached {
    std::shared_ptr<Connection> connection;
    CUsbDevice* device;  // the list's reference
  };
  std::vector<Attached> m_devices;  // in order of attachment
  struct Advised {
    DWORD cookie;
    IDevMgrDeviceSink* sink;  // one reference
  };
  std::vector<Advised> m_sinks;
  DWORD m_nextCookie = 1;
  int m_sinkCalls = 0;
  std::thread::id m_sinkCaller;
};

bool CUsbDevMgr::Start(std::string* reason) {
  m_wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m_wakeFd < 0) {
    *reason = std::string("cannot create the wake-up descriptor: ") + std::strerror(errno);
    return false;
  }
  try {
    m_thread = std::thread([this] { Run(); });
  } catch (const std::system_error& error) {
    *reason = std::string("cannot start the device manager's thread: ") + error.what();
    return false;
  }
  return true;
}

CUsbDevMgr::~CUsbDevMgr() {
  if (m_wakeFd >= 0) ::close(m_wakeFd);
  m_socket.Remove();
}

void CUsbDevMgr::Destroy() {
  m_stop = true;
  if (m_thread.joinable()) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t written = ::write(m_wakeFd, &one, sizeof one);
    if (m_thread.get_id() == std::this_thread::get_id()) {
      // The last reference went inside one of our own callbacks: the thread cannot join
      // itself, so it finishes the teardown when the callback has returned.
      m_deleteWhenStopped = true;
      m_thread.detach();
      return;
    }
    m_thread.join();
  }
  delete this;
}

HRESULT CUsbDevMgr::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IDevMgrMain) {
    AddRef();
    *object = static_cast<IDevMgrMain*>(this);
    return S_OK;
  }
  *object = nullptr;
  return E_NOINTERFACE;
}

HRESULT CUsbDevMgr::GetDevices(IDevMgrDeviceList** devices) {
  if (devices == nullptr) return E_POINTER;
  std::vector<IDevMgrDevice*> snapshot;
  {
    std::lock_guard lock(m_mutex);
    snapshot.reserve(m_devices.size());
    for (const Attached& attached : m_devices) {
      attached.device->AddRef();
      snapshot.push_back(attached.device);
    }
  }
  *devices = new CUsbDeviceList(std::move(snapshot));
  return S_OK;
}

HRESULT CUsbDevMgr::AdviseDeviceEvents(IDevMgrDeviceSink* sink, DWORD* cookie) {
  if (sink == nullptr || cookie == nullptr) return E_POINTER;
  sink->AddRef();
  std::lock_guard lock(m_mutex);
  *cookie = m_nextCookie++;
  m_sinks.push_back({*cookie, sink});
  return S_OK;
}

HRESULT CUsbDevMgr::UnadviseDeviceEvents(DWORD cookie) {
  IDevMgrDeviceSink* sink = nullptr;
  {
    std::unique_lock lock(m_mutex);
    for (auto it = m_sinks.begin(); it != m_sinks.end(); ++it) {
      if (it->cookie == cookie) {
        sink = it->sink;
        m_sinks.erase(it);
        break;
      }
    }
    if (sink == nullptr) return CONNECT_E_NOCONNECTION;
    // An event being delivered right now may still be inside the sink: once this
    // returns, none is.
    m_changed.wait(lock, [&] { return m_sinkCalls == 0 || m_sinkCaller == std::this_thread::get_id(); });
  }
  sink->Release();
  return S_OK;
}

// ---- I/O thread ---------------------------------------------------------------------

void CUsbDevMgr::Run() {
  while (!m_stop) {
    m_pollFds.clear();
    m_pollFds.push_back({m_wakeFd, POLLIN, 0});
    m_pollFds.push_back({m_socket.fd, POLLIN, 0});
    for (const auto& connection : m_connections) m_pollFds.push_back({connection->fd, POLLIN, 0});
    if (::poll(m_pollFds.data(), m_pollFds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      m_log.Log(std::string("USB link: waiting for handhelds failed: ") + std::strerror(errno));
      break;
    }
    if (m_pollFds[0].revents != 0) {
      std::uint64_t count = 0;
      [[maybe_unused]] const ssize_t got = ::read(m_wakeFd, &count, sizeof count);
    }
    if (m_stop) break;
    if (m_pollFds[1].revents != 0) Accept();
    // Connections added by Accept come after the polled ones and were not polled.
    const std::size_t polled = m_pollFds.size() - 2;
    for (std::size_t index = polled; index-- > 0;) {
      if (m_pollFds[index + 2].revents == 0) continue;
      const std::shared_ptr<Connection> connection = m_connections[index];
      Receive(connection);
      if (connection->ended) m_connections.erase(m_connections.begin() + static_cast<std::ptrdiff_t>(index));
    }
  }
  // The manager is going away: every handheld is let go. The program has its devices
  // and channels still; they answer that the handheld is gone, and an open channel's
  // sink hears OnClose. Device sinks get no more events.
  for (const auto& connection : m_connections) {
    connection->RequestEnd({});
    Finish(connection, false);
  }
  m_connections.clear();
  std::vector<Advised> sinks;
  {
    std::lock_guard lock(m_mutex);
    sinks.swap(m_sinks);
  }
  for (const Advised& advised : sinks) advised.sink->Release();
  if (m_deleteWhenStopped) delete this;
}

void CUsbDevMgr::Accept() {
  const int fd = ::accept4(m_socket.fd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return;  // the peer went before we took it, or descriptors ran out: next time
  ucred peer{};
  socklen_t peerSize = sizeof peer;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &peerSize) == 0 && peer.uid != ::getuid()) {
    m_log.Log("USB link: refused a handheld of another user (uid " + std::to_string(peer.uid) + ")");
    ::close(fd);
    return;
  }
  if (m_connections.size() >= kMaxConnections) {
    m_log.Log("USB link: refused a handheld: already " + std::to_string(kMaxConnections) + " are connected");
    ::close(fd);
    return;
  }
  timeval sendTimeout{};
  sendTimeout.tv_sec = m_timing.sendMs / 1000;
  sendTimeout.tv_usec = static_cast<suseconds_t>((m_timing.sendMs % 1000) * 1000);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
  m_connections.push_back(std::make_shared<Connection>(m_nextConnectionId++, fd));
}

void CUsbDevMgr::Receive(const std::shared_ptr<Connection>& connection) {
  Connection& c = *connection;
  const ssize_t got = ::recv(c.fd, c.reader.FreeSpace(), c.reader.FreeSize(), MSG_DONTWAIT);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return;
  if (got <= 0) {
    // The handheld went away (or we ended it from another thread).
    Finish(connection, true);
    return;
  }
  c.reader.Commit(static_cast<std::size_t>(got));
  FrameView frame{};
  for (;;) {
    const FrameReader::Result result = c.reader.Next(frame);
    if (result == FrameReader::Result::NeedMore) return;
    std::string why;
    if (result == FrameReader::Result::Bad) {
      why = c.reader.Error();
    } else if (HandleFrame(connection, frame, &why)) {
      continue;
    }
    c.RequestEnd(why);
    Finish(connection, true);
    return;
  }
}

void CUsbDevMgr::CallChannelSink(Connection& c, std::unique_lock<std::mutex>& lock, IDevMgrChannelSink* sink,
                                 bool close) {
  ++c.sinkCalls;
  c.sinkCaller = std::this_thread::get_id();
  lock.unlock();
  if (close) {
    sink->OnClose();
    sink->Release();
  } else {
    sink->OnDataReady();
  }
  lock.lock();
  if (--c.sinkCalls == 0) {
    c.sinkCaller = {};
    c.changed.notify_all();
  }
}

bool CUsbDevMgr::HandleFrame(const std::shared_ptr<Connection>& connection, const FrameView& frame,
                             std::string* why) {
  Connection& c = *connection;
  std::unique_lock lock(c.mutex);
  if (c.endRequested) return true;  // being ended from another thread; nothing counts now
  const char* name = FrameKindName(static_cast<std::uint8_t>(frame.kind));
  if (!c.attached) {
    if (frame.kind != FrameKind::Attach) {
      *why = std::string("the first frame is ") + name + ", not ATTACH";
      return false;
    }
    auto properties = std::make_shared<std::vector<DeviceProperty>>();
    if (!DecodeAttach(frame.body, frame.length, properties.get(), why)) return false;
    c.properties = std::move(properties);
    c.attached = true;
    lock.unlock();
    auto* device = new CUsbDevice(connection, m_timing);
    {
      std::lock_guard devicesLock(m_mutex);
      m_devices.push_back({connection, device});
    }
    RaiseDeviceEvent(true, device);
    return true;
  }

  // Frames the handheld sent before it saw our CLOSE still come in, until it answers our
  // next OPEN: those are dropped, not taken for bad input.
  const bool afterOurClose =
      c.closedByDesktop && (c.phase == ChannelPhase::None || c.phase == ChannelPhase::Opening);
  if (frame.kind == FrameKind::Opened || frame.kind == FrameKind::Refused || frame.kind == FrameKind::Wiped ||
      frame.kind == FrameKind::Challenge) {
    c.closedByDesktop = false;
  }
  switch (frame.kind) {
    case FrameKind::Attach:
      *why = "a second ATTACH";
      return false;
    case FrameKind::Opened:
    case FrameKind::Refused:
    case FrameKind::Wiped:
      if (c.phase != ChannelPhase::Opening) {
        *why = std::string(name) + " without an OPEN or ANSWER waiting for it";
        return false;
      }
      if (frame.kind == FrameKind::Opened) {
        c.phase = ChannelPhase::Open;
        c.openResult = S_OK;
      } else {
        c.phase = ChannelPhase::None;
        c.openResult = frame.kind == FrameKind::Refused ? kChannelRefused : kHandheldWiped;
        c.openDetail.assign(reinterpret_cast<const char*>(frame.body), frame.length);
      }
      c.changed.notify_all();
      return true;
    case FrameKind::Challenge:
      if (c.phase != ChannelPhase::Opening) {
        *why = "CHALLENGE without an OPEN or ANSWER waiting for it";
        return false;
      }
      c.phase = ChannelPhase::Challenged;
      c.challengePending = true;
      c.challengeAttempts = ReadLeI32(frame.body);
      c.changed.notify_all();
      return true;
    case FrameKind::Data: {
      if (c.phase != ChannelPhase::Open) {
        if (afterOurClose) return true;  // sent before the handheld saw our CLOSE
        *why = c.phase == ChannelPhase::None || c.phase == ChannelPhase::Closed
                   ? "DATA on a closed channel"
                   : "DATA before the channel is open";
        return false;
      }
      if (c.ringCount == kMaxUnreadPackets) {
        *why = "more than " + std::to_string(kMaxUnreadPackets) + " unread packets";
        return false;
      }
      const std::size_t slot = (c.ringHead + c.ringCount) % kMaxUnreadPackets;
      std::memcpy(c.ring.get() + slot * kMaxDataBody, frame.body, frame.length);
      c.ringSizes[slot] = static_cast<std::uint16_t>(frame.length);
      ++c.ringCount;
      if (c.sink != nullptr) CallChannelSink(c, lock, c.sink, false);
      return true;
    }
    case FrameKind::Close: {
      if (c.phase != ChannelPhase::Open) {
        if (afterOurClose) return true;  // both ends closed at once
        *why = "CLOSE with no channel open";
        return false;
      }
      c.phase = ChannelPhase::Closed;
      IDevMgrChannelSink* sink = c.sink;
      c.sink = nullptr;
      if (sink != nullptr) CallChannelSink(c, lock, sink, true);
      return true;
    }
    default:
      *why = std::string(name != nullptr ? name : "unknown") + " is not sent by a handheld";
      return false;
  }
}

void CUsbDevMgr::Finish(const std::shared_ptr<Connection>& connection, bool raiseDeviceEvents) {
  Connection& c = *connection;
  std::unique_lock lock(c.mutex);
  if (c.ended) return;
  c.ended = true;
  const std::string reason = c.endReason;
  IDevMgrChannelSink* sink = nullptr;
  if (c.phase == ChannelPhase::Open) {
    c.phase = ChannelPhase::Closed;
    sink = c.sink;
    c.sink = nullptr;
  }
  c.changed.notify_all();  // an OpenChannel waiting on this handheld fails now
  lock.unlock();

  if (!reason.empty()) m_log.Log("USB link: handheld " + std::to_string(c.id) + " dropped: " + reason);
  CUsbDevice* device = nullptr;
  {
    std::lock_guard devicesLock(m_mutex);
    for (auto it = m_devices.begin(); it != m_devices.end(); ++it) {
      if (it->connection == connection) {
        device = it->device;
        m_devices.erase(it);
        break;
      }
    }
  }
  if (device != nullptr && raiseDeviceEvents) RaiseDeviceEvent(false, device);
  if (sink != nullptr) {
    lock.lock();
    CallChannelSink(c, lock, sink, true);
    lock.unlock();
  }
  if (device != nullptr) device->Release();
}

void CUsbDevMgr::RaiseDeviceEvent(bool connected, IDevMgrDevice* device) {
  // Copied so that the sinks are called without the lock; Unadvise waits for this call
  // to end before it lets its sink go.
  IDevMgrDeviceSink* fixed[4];
  std::vector<IDevMgrDeviceSink*> more;
  std::size_t count = 0;
  {
    std::lock_guard lock(m_mutex);
    if (m_sinks.empty()) return;
    for (const Advised& advised : m_sinks) {
      if (count < std::size(fixed)) {
        fixed[count] = advised.sink;
      } else {
        more.push_back(advised.sink);
      }
      ++count;
    }
    ++m_sinkCalls;
    m_sinkCaller = std::this_thread::get_id();
  }
  for (std::size_t index = 0; index < count; ++index) {
    IDevMgrDeviceSink* sink = index < std::size(fixed) ? fixed[index] : more[index - std::size(fixed)];
    if (connected) {
      sink->OnDeviceConnected(device);
    } else {
      sink->OnDeviceDisconnected(device);
    }
  }
  std::lock_guard lock(m_mutex);
  if (--m_sinkCalls == 0) {
    m_sinkCaller = {};
    m_changed.notify_all();
  }
}

}  // namespace
}  // namespace usblink

// ---- Factory ------------------------------------------------------------------------

CUsbDeviceManagerFactory::CUsbDeviceManagerFactory(std::string socketPath, ILogSink& log,
                                                   UsbLinkTiming timing)
    : m_socketPath(std::move(socketPath)), m_log(log), m_timing(timing) {}

HRESULT CUsbDeviceManagerFactory::CreateDeviceManager(IDevMgrMain** deviceManager) {
  if (deviceManager == nullptr) return E_POINTER;
  *deviceManager = nullptr;
  usblink::ListeningSocket socket;
  std::string reason;
  HRESULT result = S_OK;
  switch (usblink::ListenOnUsbSocket(m_socketPath, &socket, &reason)) {
    case usblink::ListenStatus::Listening:
      break;
    case usblink::ListenStatus::AlreadyServed:
      result = kUsbSocketInUse;
      break;
    case usblink::ListenStatus::Failed:
      result = kUsbSocketFailed;
      break;
  }
  usblink::CUsbDevMgr* manager = nullptr;
  if (SUCCEEDED(result)) {
    manager = new usblink::CUsbDevMgr(std::move(socket), m_log, m_timing);
    if (!manager->Start(&reason)) {
      manager->Release();
      manager = nullptr;
      result = E_OUTOFMEMORY;
    }
  }
  std::lock_guard lock(m_mutex);
  if (FAILED(result)) {
    // The program retries every few seconds: say it once, until something changes.
    if (reason != m_lastFailure) m_log.Log("USB link: " + reason);
    m_lastFailure = reason;
    return usblink::ReportFailure(result, reason);
  }
  m_lastFailure.clear();
  m_log.Log("USB link: waiting for handhelds on " + m_socketPath);
  *deviceManager = manager;
  return S_OK;
}

}  // namespace skiff
