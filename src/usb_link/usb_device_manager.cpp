// The device manager itself: it listens on the USB-link socket, turns each handheld's
// frames into devices, channel answers and packets, and raises the device and channel
// events on its own I/O thread; and the factory the program creates it with.
#include "usb_link/usb_device_manager.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "usb_link/usb_com_objects.h"
#include "usb_link/usb_connection.h"

namespace skiff {

namespace usblink {
namespace {

// More handhelds than anyone attaches; past it a connection is refused, so a runaway
// client cannot use up the process's descriptors.
constexpr std::size_t kMaxConnections = 128;

class CUsbDevMgr final : public RefCounted<IDevMgrMain> {
 public:
  CUsbDevMgr(ListeningSocket socket, IUsbLinkLog& log, UsbLinkTiming timing)
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
  void AddDevice(const std::shared_ptr<Connection>& connection);
  void Finish(const std::shared_ptr<Connection>& connection, bool raiseDeviceEvents);
  void RaiseDeviceEvent(bool connected, IDevMgrDevice* device);

  ListeningSocket m_socket;
  IUsbLinkLog& m_log;
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
    for (const auto& connection : m_connections) m_pollFds.push_back({connection->Handle(), POLLIN, 0});
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
      if (connection->Ended())
        m_connections.erase(m_connections.begin() + static_cast<std::ptrdiff_t>(index));
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
  m_connections.push_back(std::make_shared<Connection>(m_nextConnectionId++, fd, m_timing));
}

void CUsbDevMgr::Receive(const std::shared_ptr<Connection>& connection) {
  if (!connection->ReceiveBytes()) {
    Finish(connection, true);  // the handheld went away, or we ended it from another thread
    return;
  }
  for (;;) {
    std::string why;
    switch (connection->HandleNextFrame(&why)) {
      case Connection::FrameOutcome::NeedMore:
        return;
      case Connection::FrameOutcome::Handled:
        continue;
      case Connection::FrameOutcome::Attached:
        AddDevice(connection);
        continue;
      case Connection::FrameOutcome::Bad:
        connection->RequestEnd(why);
        Finish(connection, true);
        return;
    }
  }
}

void CUsbDevMgr::AddDevice(const std::shared_ptr<Connection>& connection) {
  auto* device = new CUsbDevice(connection);
  {
    std::lock_guard lock(m_mutex);
    m_devices.push_back({connection, device});
  }
  RaiseDeviceEvent(true, device);
}

void CUsbDevMgr::Finish(const std::shared_ptr<Connection>& connection, bool raiseDeviceEvents) {
  std::string reason;
  IDevMgrChannelSink* openSink = nullptr;
  if (!connection->Finish(&reason, &openSink)) return;
  if (!reason.empty())
    m_log.Log("USB link: handheld " + std::to_string(connection->Id()) + " dropped: " + reason);
  CUsbDevice* device = nullptr;
  {
    std::lock_guard lock(m_mutex);
    for (auto it = m_devices.begin(); it != m_devices.end(); ++it) {
      if (it->connection == connection) {
        device = it->device;
        m_devices.erase(it);
        break;
      }
    }
  }
  if (device != nullptr && raiseDeviceEvents) RaiseDeviceEvent(false, device);
  if (openSink != nullptr) connection->NotifyClosed(openSink);
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

CUsbDeviceManagerFactory::CUsbDeviceManagerFactory(std::string socketPath, IUsbLinkLog& log,
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
