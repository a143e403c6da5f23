// The scripted device manager: device list, properties, password challenges on threads
// of their own, and channels whose events go out on the manager's event thread.
#include "support/fake_device_manager.h"

#include <algorithm>
#include <cstring>
#include <future>
#include <utility>

#include <openssl/evp.h>

namespace skiff::testing {

namespace {

std::array<std::uint8_t, 20> Sha1Of(const std::string& text) {
  std::array<std::uint8_t, 20> digest{};
  unsigned int size = 0;
  EVP_Digest(text.data(), text.size(), digest.data(), &size, EVP_sha1(), nullptr);
  return digest;
}

BSTR AllocString(const std::u16string& text) {
  return SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
}

// Transient objects (device list, property list, property) free themselves at their
// last release; the manager counts those alive so a test can see leaks.
template <typename Interface>
class Transient : public Interface {
 public:
  explicit Transient(FakeDeviceManager& manager) : m_manager(manager) { ++m_manager.liveObjects; }
  virtual ~Transient() { --m_manager.liveObjects; }
  Transient(const Transient&) = delete;
  Transient& operator=(const Transient&) = delete;

  ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = --m_refs;
    if (left == 0) delete this;
    return left;
  }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    return QueryOne<Interface>(this, riid, IID_IUnknown, object);
  }

 protected:
  FakeDeviceManager& m_manager;

 private:
  std::atomic<ULONG> m_refs{1};
};

class FakeProperty final : public Transient<IDevMgrProperty> {
 public:
  FakeProperty(FakeDeviceManager& manager, FakePropertySpec spec)
      : Transient(manager), m_spec(std::move(spec)) {}
  HRESULT STDMETHODCALLTYPE GetName(BSTR* name) override {
    *name = m_spec.name ? AllocString(*m_spec.name) : nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetValue(VARIANT* value) override {
    if (FAILED(m_spec.getValueResult)) return m_spec.getValueResult;
    VariantInit(value);
    value->vt = m_spec.type;
    if (m_spec.type == VT_I4) value->lVal = m_spec.number;
    if (m_spec.type == VT_BSTR) value->bstrVal = AllocString(m_spec.text);
    return S_OK;
  }

 private:
  FakePropertySpec m_spec;
};

class FakePropertyList final : public Transient<IDevMgrPropertyList> {
 public:
  FakePropertyList(FakeDeviceManager& manager, std::vector<FakePropertySpec> specs, LONG count)
      : Transient(manager), m_specs(std::move(specs)), m_count(count) {}
  HRESULT STDMETHODCALLTYPE GetCount(LONG* count) override {
    *count = m_count;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetItem(VARIANT index, IDevMgrProperty** property) override {
    if (index.vt != VT_I4 || index.lVal < 0 || static_cast<std::size_t>(index.lVal) >= m_specs.size()) {
      return E_INVALIDARG;
    }
    *property = new FakeProperty(m_manager, m_specs[static_cast<std::size_t>(index.lVal)]);
    return S_OK;
  }

 private:
  std::vector<FakePropertySpec> m_specs;
  LONG m_count;
};

class FakeDeviceList final : public Transient<IDevMgrDeviceList> {
 public:
  FakeDeviceList(FakeDeviceManager& manager, std::vector<std::shared_ptr<FakeDevice>> devices)
      : Transient(manager), m_devices(std::move(devices)) {}
  HRESULT STDMETHODCALLTYPE GetCount(ULONG* count) override {
    *count = static_cast<ULONG>(m_devices.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetItem(LONG index, IDevMgrDevice** device) override {
    if (index < 0 || static_cast<std::size_t>(index) >= m_devices.size()) return E_INVALIDARG;
    *device = m_devices[static_cast<std::size_t>(index)].get();
    (*device)->AddRef();
    return S_OK;
  }

 private:
  std::vector<std::shared_ptr<FakeDevice>> m_devices;
};

}  // namespace

// ---- channel ---------------------------------------------------------------------------

FakeChannel::FakeChannel(FakeDeviceManager& manager, IDevMgrChannelSink* sink, bool closeOnRelease)
    : m_manager(manager), m_closeOnRelease(closeOnRelease), m_sink(sink) {
  m_sink->AddRef();
}

ULONG STDMETHODCALLTYPE FakeChannel::Release() {
  const ULONG left = TestOwned::Release();
  if (left == 0) {
    // The desktop let go of the channel: the handheld may report the close, and once
    // this returns no event reaches the sink any more.
    m_manager.PostAndWait([this] {
      if (m_closeOnRelease && m_sink != nullptr) m_sink->OnClose();
      if (m_sink != nullptr) m_sink->Release();
      m_sink = nullptr;
    });
  }
  return left;
}

bool FakeChannel::SinkDropped() const {
  std::lock_guard<std::mutex> lock(m_manager.DeliveryMutex());
  return m_sink == nullptr;
}

HRESULT STDMETHODCALLTYPE FakeChannel::ReadData(BYTE* buffer, ULONG capacity, ULONG* count) {
  std::lock_guard<std::mutex> lock(m_mutex);
  *count = 0;
  if (m_incoming.empty()) return S_OK;
  std::vector<std::uint8_t> packet = std::move(m_incoming.front());
  m_incoming.pop_front();
  if (const HRESULT failure = std::exchange(m_nextReadFailure, S_OK); FAILED(failure)) return failure;
  *count = std::min<ULONG>(capacity, static_cast<ULONG>(packet.size()));
  std::memcpy(buffer, packet.data(), *count);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeChannel::WriteData(const BYTE* data, ULONG length) {
  std::unique_lock<std::mutex> lock(m_mutex);
  if (m_holdWrites) {
    m_writeHeld = true;
    m_changed.notify_all();
    m_changed.wait(lock, [this] { return !m_holdWrites; });
    m_writeHeld = false;
  }
  if (FAILED(m_writeFailure)) return m_writeFailure;
  m_written.emplace_back(data, data + length);
  m_changed.notify_all();
  return S_OK;
}

void FakeChannel::Raise(HRESULT (STDMETHODCALLTYPE IDevMgrChannelSink::*event)()) {
  m_manager.Post([this, event] {
    if (m_sink != nullptr) {
      (m_sink->*event)();
    } else {
      m_manager.CountUndelivered();
    }
  });
}

void FakeChannel::Deliver(std::vector<std::uint8_t> packet) {
  Change([&] { m_incoming.push_back(std::move(packet)); });
  Raise(&IDevMgrChannelSink::OnDataReady);
}

void FakeChannel::Close() {
  Raise(&IDevMgrChannelSink::OnClose);
}

// ---- device ------------------------------------------------------------------------------

HRESULT STDMETHODCALLTYPE FakeDevice::GetProperties(IDevMgrPropertyList** properties) {
  std::lock_guard<std::mutex> lock(m_mutex);
  ++m_propertyReads;
  const LONG count = m_countOverride.value_or(static_cast<LONG>(m_properties.size()));
  *properties = new FakePropertyList(m_manager, m_properties, count);
  return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeDevice::OpenChannel(const OLECHAR* name, IDevMgrChannelSink* sink,
                                                  IDevMgrChannel** channel) {
  *channel = nullptr;
  const std::optional<std::string> password = Locked([&] {
    ++m_openCalls;
    m_lastChannelName = name != nullptr ? std::u16string(name) : std::u16string();
    return m_password;
  });
  if (sink == nullptr) return E_POINTER;

  while (password) {
    Challenge challenge{Locked([&] { return static_cast<LONG>(m_attemptsRemaining); }), S_OK, {}};
    // The challenge comes on a thread of the device manager while this call waits.
    std::thread([&] {
      challenge.result = sink->OnChallenge(challenge.attempts, challenge.answer.data());
    }).join();
    const bool right = SUCCEEDED(challenge.result) && challenge.answer == Sha1Of(*password);
    std::lock_guard<std::mutex> lock(m_mutex);
    m_challenges.push_back(challenge);
    m_changed.notify_all();
    if (FAILED(challenge.result)) return challenge.result;
    if (right) {
      m_attemptsRemaining = 10;
      break;
    }
    if (--m_attemptsRemaining == 0) return E_ACCESSDENIED;  // wiped
  }

  std::lock_guard<std::mutex> lock(m_mutex);
  if (FAILED(m_openFailure)) return m_openFailure;
  auto opened = std::make_shared<FakeChannel>(m_manager, sink, m_closeOnRelease);
  opened->AddRef();
  m_channels.push_back(opened);
  m_changed.notify_all();
  *channel = opened.get();
  return S_OK;
}

// ---- manager -----------------------------------------------------------------------------

FakeDeviceManager::~FakeDeviceManager() {
  Change([&] { m_stopping = true; });
  m_thread.join();
  // The devices and their channels go before the mutexes they use.
  m_attached.clear();
  m_owned.clear();
}

HRESULT STDMETHODCALLTYPE FakeDeviceManager::GetDevices(IDevMgrDeviceList** devices) {
  Change([&] {
    ++m_getDevicesCalls;
    *devices = new FakeDeviceList(*this, m_attached);
  });
  return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeDeviceManager::AdviseDeviceEvents(IDevMgrDeviceSink* sink, DWORD* cookie) {
  std::scoped_lock lock(m_deliveryMutex, m_mutex);
  ++m_adviseCalls;
  m_changed.notify_all();
  if (FAILED(m_adviseFailure)) return m_adviseFailure;
  if (sink == nullptr || cookie == nullptr) return E_POINTER;
  sink->AddRef();
  if (m_sink != nullptr) m_sink->Release();
  m_sink = sink;
  *cookie = ++m_cookie;
  return S_OK;
}

HRESULT STDMETHODCALLTYPE FakeDeviceManager::UnadviseDeviceEvents(DWORD cookie) {
  // Waits for an event being delivered: once this returns, none reaches the sink.
  std::scoped_lock lock(m_deliveryMutex, m_mutex);
  ++m_unadviseCalls;
  m_changed.notify_all();
  if (FAILED(m_unadviseFailure)) return m_unadviseFailure;
  if (m_sink == nullptr || cookie != m_cookie) return CONNECT_E_NOCONNECTION;
  m_sink->Release();
  m_sink = nullptr;
  return S_OK;
}

std::shared_ptr<FakeDevice> FakeDeviceManager::NewDevice(std::vector<FakePropertySpec> properties) {
  auto device = std::make_shared<FakeDevice>(*this, std::move(properties));
  Change([&] { m_owned.push_back(device); });
  return device;
}

void FakeDeviceManager::Attach(const std::shared_ptr<FakeDevice>& device, bool raiseEvent) {
  Change([&] { m_attached.push_back(device); });
  if (raiseEvent) RaiseDeviceConnected();
}

void FakeDeviceManager::Detach(const std::shared_ptr<FakeDevice>& device) {
  Change(
      [&] { m_attached.erase(std::remove(m_attached.begin(), m_attached.end(), device), m_attached.end()); });
  Raise(&IDevMgrDeviceSink::OnDeviceDisconnected);
}

void FakeDeviceManager::Raise(HRESULT (STDMETHODCALLTYPE IDevMgrDeviceSink::*event)(void*)) {
  Post([this, event] {
    if (m_sink != nullptr) {
      (m_sink->*event)(nullptr);
    } else {
      CountUndelivered();
    }
  });
}

void FakeDeviceManager::Post(std::function<void()> event) {
  Change([&] {
    m_queue.push_back(std::move(event));
    ++m_posted;
  });
}

void FakeDeviceManager::PostAndWait(std::function<void()> event) {
  auto done = std::make_shared<std::promise<void>>();
  std::future<void> delivered = done->get_future();
  Post([event = std::move(event), done] {
    event();
    done->set_value();
  });
  delivered.wait();
}

void FakeDeviceManager::EventThread() {
  for (;;) {
    std::function<void()> event;
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      m_changed.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
      if (m_queue.empty()) return;
      event = std::move(m_queue.front());
      m_queue.pop_front();
    }
    {
      std::lock_guard<std::mutex> delivery(m_deliveryMutex);
      event();
    }
    Change([&] { ++m_delivered; });
  }
}

// ---- factory -----------------------------------------------------------------------------

HRESULT FakeDeviceManagerFactory::CreateDeviceManager(IDevMgrMain** deviceManager) {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_attempts.push_back(std::chrono::steady_clock::now());
  m_changed.notify_all();
  *deviceManager = nullptr;
  if (m_failuresLeft != 0) {
    if (m_failuresLeft > 0) --m_failuresLeft;
    return m_failure;
  }
  m_manager.AddRef();
  *deviceManager = &m_manager;
  return S_OK;
}

}  // namespace skiff::testing
