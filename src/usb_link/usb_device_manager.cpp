// The device manager itself: it listens for handhelds on the USB link, turns each handheld's
// frames into devices, channel answers and packets, and raises the device and channel
// events on its own I/O thread; and the factory the program creates it with.
#include "usb_link/usb_device_manager.h"

#include <algorithm>
#include <atomic>
#include <optional>
#include <thread>

#include "usb_link/usb_com_objects.h"
#include "usb_link/usb_connection.h"

namespace skiff {

namespace usblink {
namespace {

// Removes the first entry that matches and returns it; nothing when none does.
template <typename Entry, typename Match>
std::optional<Entry> TakeFirst(std::vector<Entry>& entries, Match match) {
  const auto found = std::find_if(entries.begin(), entries.end(), match);
  if (found == entries.end()) return std::nullopt;
  Entry entry = *found;
  entries.erase(found);
  return entry;
}

// More handhelds than anyone attaches; past it a connection is refused, so a runaway
// client cannot use up the process's descriptors.
constexpr std::size_t kMaxConnections = 128;

class CUsbDevMgr final : public RefCounted<IDevMgrMain> {
 public:
  CUsbDevMgr(std::unique_ptr<IUsbListener> listener, ILogSink& log, UsbLinkTiming timing)
      : m_listener(std::move(listener)), m_log(log), m_timing(timing) {}

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

  const std::unique_ptr<IUsbListener> m_listener;
  ILogSink& m_log;
  const UsbLinkTiming m_timing;
  CSocketPoller m_poller;
  std::thread m_thread;
  std::atomic<bool> m_stop{false};
  std::atomic<bool> m_deleteWhenStopped{false};

  // Used by the I/O thread only.
  std::vector<std::shared_ptr<Connection>> m_connections;
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
  if (!m_poller.Usable()) {
    *reason = m_poller.Error();
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

CUsbDevMgr::~CUsbDevMgr() = default;

void CUsbDevMgr::Destroy() {
  m_stop = true;
  if (m_thread.joinable()) {
    m_poller.Wake();
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
    if (auto entry = TakeFirst(m_sinks, [&](const auto& advised) { return advised.cookie == cookie; }))
      sink = entry->sink;
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
    m_poller.Clear();
    m_poller.Add(m_listener->Handle());
    for (const auto& connection : m_connections) m_poller.Add(connection->Handle());
    std::string failure;
    if (!m_poller.Wait(-1, &failure)) {
      m_log.Log("USB link: waiting for handhelds failed: " + failure);
      break;
    }
    if (m_stop) break;
    // Connections added by Accept come after the polled ones and were not polled.
    const std::size_t polled = m_connections.size();
    if (m_poller.Readable(0)) Accept();
    for (std::size_t index = polled; index-- > 0;) {
      if (!m_poller.Readable(index + 1) && !m_connections[index]->EndAsked()) continue;
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
  std::string refusal;
  std::unique_ptr<IUsbStream> stream = m_listener->Accept(m_timing.sendMs, &refusal);
  if (!stream) {
    if (!refusal.empty()) m_log.Log("USB link: " + refusal);
    return;
  }
  if (m_connections.size() >= kMaxConnections) {
    m_log.Log("USB link: refused a handheld: already " + std::to_string(kMaxConnections) + " are connected");
    return;
  }
  m_connections.push_back(
      std::make_shared<Connection>(m_nextConnectionId++, std::move(stream), m_timing, &m_poller));
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
    if (auto entry = TakeFirst(m_devices, [&](const auto& known) { return known.connection == connection; }))
      device = entry->device;
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

CUsbDeviceManagerFactory::CUsbDeviceManagerFactory(std::unique_ptr<usblink::IUsbEndpoint> endpoint,
                                                   ILogSink& log, UsbLinkTiming timing)
    : m_endpoint(std::move(endpoint)), m_log(log), m_timing(timing) {}

CUsbDeviceManagerFactory::~CUsbDeviceManagerFactory() = default;

HRESULT CUsbDeviceManagerFactory::CreateDeviceManager(IDevMgrMain** deviceManager) {
  return CreateDeviceManager(deviceManager, nullptr);
}

HRESULT CUsbDeviceManagerFactory::CreateDeviceManager(IDevMgrMain** deviceManager, std::uint16_t* tcpPort) {
  if (deviceManager == nullptr) return E_POINTER;
  *deviceManager = nullptr;
  std::lock_guard lock(m_mutex);
  std::unique_ptr<usblink::IUsbListener> listener;
  std::string reason;
  HRESULT result = S_OK;
  switch (m_endpoint->Listen(&listener, &reason)) {
    case usblink::ListenStatus::Listening:
      break;
    case usblink::ListenStatus::AlreadyServed:
      result = kUsbSocketInUse;
      break;
    case usblink::ListenStatus::Failed:
      result = kUsbSocketFailed;
      break;
  }
  std::string where;
  std::uint16_t port = 0;
  usblink::CUsbDevMgr* manager = nullptr;
  if (SUCCEEDED(result)) {
    where = listener->Name();
    port = usblink::BoundTcpPort(*listener);
    manager = new usblink::CUsbDevMgr(std::move(listener), m_log, m_timing);
    if (!manager->Start(&reason)) {
      manager->Release();
      manager = nullptr;
      result = E_OUTOFMEMORY;
    }
  }
  if (FAILED(result)) {
    // The program retries every few seconds: say it once, until something changes.
    if (reason != m_lastFailure) m_log.Log("USB link: " + reason);
    m_lastFailure = reason;
    return usblink::ReportFailure(result, reason);
  }
  m_lastFailure.clear();
  m_log.Log("USB link: waiting for handhelds on " + where);
  if (tcpPort != nullptr) *tcpPort = port;
  *deviceManager = manager;
  return S_OK;
}

HRESULT CreateTcpUsbDeviceManager(std::uint16_t port, ILogSink& log, IDevMgrMain** deviceManager,
                                  std::uint16_t* boundPort, UsbLinkTiming timing) {
  CUsbDeviceManagerFactory factory(usblink::TcpLoopbackEndpoint(port), log, timing);
  std::uint16_t bound = 0;
  const HRESULT result = factory.CreateDeviceManager(deviceManager, &bound);
  if (boundPort != nullptr) *boundPort = bound;
  return result;
}

}  // namespace skiff
