// The device worker's test doubles: a scripted device manager (handhelds with properties,
// a password and a channel), a log display that records lines and a password prompt that
// answers from a script. Device and channel events are raised on the test's thread, the
// challenge on a thread of its own while OpenChannel waits; a delivery lock serialises
// them with unregistration and channel release, so that once those return no event
// reaches the sink, as the worker relies on.
#pragma once

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "compat/com.h"
#include "device/devmgr.h"
#include "device/worker.h"
#include "platform/platform.h"

namespace skiff::testing {

// Waits until the condition holds (checking every millisecond); false after a generous
// safety time-out.
template <typename Condition>
bool Eventually(Condition condition) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!condition()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

class RecordingLogDisplay final : public ILogDisplay {
 public:
  bool IsAlive() const override { return true; }
  void ShowText(const std::string&, const std::string& appended) override {
    std::lock_guard<std::mutex> hold(m_lock);
    for (std::size_t at = 0, end; (end = appended.find("\r\n", at)) != std::string::npos; at = end + 2)
      m_lines.push_back(appended.substr(at, end - at));
  }
  std::vector<std::string> Lines() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_lines;
  }
  std::size_t Count(const std::string& line) const {
    const auto lines = Lines();
    return static_cast<std::size_t>(std::count(lines.begin(), lines.end(), line));
  }
  bool WaitForLine(const std::string& line, std::size_t count = 1) const {
    return Eventually([&] { return Count(line) >= count; });
  }

 private:
  mutable std::mutex m_lock;
  std::vector<std::string> m_lines;
};

// The front end's prompt, answering from a script; with the script used up it cancels.
class ScriptedPasswordRequester final : public IPasswordRequester {
 public:
  enum class Then { Answer, Cancel, HoldUntilAbandoned, ReturnWithoutAnswer };
  struct Step {
    Then then;
    std::string password = {};
    bool remember = false;
  };
  void Attach(CDeviceWorker* worker) { m_worker = worker; }
  void Push(Step step) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_script.push_back(std::move(step));
  }
  void RequestPassword(std::int32_t attempts, std::uint32_t pin) override {
    Step step{Then::Cancel, {}};
    {
      std::unique_lock<std::mutex> hold(m_lock);
      m_requests.emplace_back(attempts, pin);
      if (!m_abandoned && !m_script.empty()) {
        step = m_script.front();
        m_script.pop_front();
      }
      if (step.then == Then::HoldUntilAbandoned) m_changed.wait(hold, [this] { return m_abandoned; });
    }
    if (step.then == Then::Answer) m_worker->SetPasswordAnswer(step.password, step.remember);
    if (step.then == Then::Cancel || step.then == Then::HoldUntilAbandoned)
      m_worker->SetPasswordAnswer(CDeviceWorker::kNoPassword, false);
  }
  void Abandon() override {
    std::lock_guard<std::mutex> hold(m_lock);
    m_abandoned = true;
    m_changed.notify_all();
  }
  std::vector<std::pair<std::int32_t, std::uint32_t>> Requests() const {  // attempts, PIN
    std::lock_guard<std::mutex> hold(m_lock);
    return m_requests;
  }
  bool Abandoned() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_abandoned;
  }

 private:
  CDeviceWorker* m_worker = nullptr;
  mutable std::mutex m_lock;
  std::condition_variable m_changed;
  std::deque<Step> m_script;
  std::vector<std::pair<std::int32_t, std::uint32_t>> m_requests;
  bool m_abandoned = false;
};

// The test owns the device manager's objects: references are counted, never deleted, so
// a test sees how many the worker still holds. No error information is offered.
template <typename Interface>
class Counted : public Interface {
 public:
  virtual ~Counted() = default;
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++refs); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--refs); }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  std::atomic<LONG> refs{0};
};

// Lists and properties free themselves at their last release; `live` counts those left.
template <typename Interface>
class Transient : public Counted<Interface> {
 public:
  explicit Transient(std::atomic<int>& live) : m_live(live) {
    ++m_live;
    this->AddRef();
  }
  ~Transient() override { --m_live; }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = Counted<Interface>::Release();
    if (left == 0) delete this;
    return left;
  }

 protected:
  std::atomic<int>& m_live;
};

// One property as the handheld reports it; no name comes as a null BSTR.
struct Property {
  std::optional<std::u16string> name;
  VARTYPE type = VT_I4;
  LONG number = 0;
  std::u16string text;
  HRESULT failure = S_OK;  // of GetValue
};
inline Property Number(std::u16string name, LONG value) {
  return {std::move(name), VT_I4, value, {}};
}
inline Property Text(std::optional<std::u16string> name, std::u16string value) {
  return {std::move(name), VT_BSTR, 0, std::move(value)};
}

class FakeProperty final : public Transient<IDevMgrProperty> {
 public:
  FakeProperty(std::atomic<int>& live, Property p) : Transient(live), m_p(std::move(p)) {}
  HRESULT STDMETHODCALLTYPE GetName(BSTR* name) override {
    *name = m_p.name ? SysAllocStringLen(m_p.name->data(), static_cast<UINT>(m_p.name->size())) : nullptr;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetValue(VARIANT* value) override {
    VariantInit(value);
    value->vt = m_p.type;
    if (m_p.type == VT_I4) value->lVal = m_p.number;
    if (m_p.type == VT_BSTR)
      value->bstrVal = SysAllocStringLen(m_p.text.data(), static_cast<UINT>(m_p.text.size()));
    return m_p.failure;
  }

 private:
  Property m_p;
};

class FakePropertyList final : public Transient<IDevMgrPropertyList> {
 public:
  FakePropertyList(std::atomic<int>& live, std::vector<Property> all)
      : Transient(live), m_all(std::move(all)) {}
  HRESULT STDMETHODCALLTYPE GetCount(LONG* count) override {
    *count = static_cast<LONG>(m_all.size());
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetItem(VARIANT index, IDevMgrProperty** property) override {
    if (index.vt != VT_I4 || index.lVal < 0 || index.lVal >= static_cast<LONG>(m_all.size()))
      return E_INVALIDARG;
    *property = new FakeProperty(m_live, m_all[static_cast<std::size_t>(index.lVal)]);
    return S_OK;
  }

 private:
  std::vector<Property> m_all;
};

// One channel to the handheld application.
class FakeChannel final : public Counted<IDevMgrChannel> {
 public:
  FakeChannel(std::mutex& delivery, IDevMgrChannelSink* sink, bool closeOnRelease)
      : m_delivery(delivery), m_sink(sink), m_closeOnRelease(closeOnRelease) {
    m_sink->AddRef();
  }
  ULONG STDMETHODCALLTYPE Release() override {
    const ULONG left = Counted::Release();
    if (left == 0) {  // let go: the handheld may report the close; no event comes after
      std::lock_guard<std::mutex> delivery(m_delivery);
      if (m_closeOnRelease) m_sink->OnClose();
      m_sink->Release();
      m_sink = nullptr;
    }
    return left;
  }
  HRESULT STDMETHODCALLTYPE Reserved1() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved2() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved3() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ReadData(BYTE* buffer, ULONG capacity, ULONG* count) override {
    std::lock_guard<std::mutex> hold(m_lock);
    *count = 0;
    if (m_incoming.empty()) return S_OK;
    const std::vector<std::uint8_t> packet = std::move(m_incoming.front());
    m_incoming.pop_front();
    if (const HRESULT failure = readFailure.exchange(S_OK); FAILED(failure)) return failure;  // packet lost
    *count = std::min<ULONG>(capacity, static_cast<ULONG>(packet.size()));
    std::memcpy(buffer, packet.data(), *count);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE WriteData(const BYTE* data, ULONG length) override {
    for (writeHeld = holdWrites.load(); holdWrites;) std::this_thread::yield();
    writeHeld = false;
    if (const HRESULT failure = writeFailure; FAILED(failure)) return failure;
    std::lock_guard<std::mutex> hold(m_lock);
    m_written.emplace_back(data, data + length);
    return S_OK;
  }

  // What the handheld does.
  void Deliver(std::vector<std::uint8_t> packet) {
    {
      std::lock_guard<std::mutex> hold(m_lock);
      m_incoming.push_back(std::move(packet));
    }
    Raise(&IDevMgrChannelSink::OnDataReady);
  }
  void Close() { Raise(&IDevMgrChannelSink::OnClose); }
  std::vector<std::vector<std::uint8_t>> Written() {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_written;
  }
  bool SinkDropped() {
    std::lock_guard<std::mutex> delivery(m_delivery);
    return m_sink == nullptr;
  }

  std::atomic<HRESULT> readFailure{S_OK};   // of the next read
  std::atomic<HRESULT> writeFailure{S_OK};  // of every write
  std::atomic<bool> holdWrites{false}, writeHeld{false};

 private:
  void Raise(HRESULT (STDMETHODCALLTYPE IDevMgrChannelSink::*event)()) {
    std::lock_guard<std::mutex> delivery(m_delivery);
    if (m_sink != nullptr) (m_sink->*event)();
  }
  std::mutex& m_delivery;
  IDevMgrChannelSink* m_sink;  // guarded by m_delivery
  const bool m_closeOnRelease;
  std::mutex m_lock;
  std::deque<std::vector<std::uint8_t>> m_incoming;
  std::vector<std::vector<std::uint8_t>> m_written;
};

// One handheld; the test sets its script before attaching it.
class FakeDevice final : public Counted<IDevMgrDevice> {
 public:
  FakeDevice(std::mutex& delivery, std::atomic<int>& live, std::vector<Property> all)
      : properties(std::move(all)), m_delivery(delivery), m_live(live) {}
  HRESULT STDMETHODCALLTYPE GetProperties(IDevMgrPropertyList** list) override {
    ++propertyReads;
    *list = new FakePropertyList(m_live, properties);
    return S_OK;
  }
  // A locked handheld challenges until the SHA-1 of its password comes back; a wrong
  // answer costs an attempt, the last one wipes it. Only the program's channel opens.
  HRESULT STDMETHODCALLTYPE OpenChannel(const OLECHAR* name, IDevMgrChannelSink* sink,
                                        IDevMgrChannel** channel) override {
    ++openCalls;
    *channel = nullptr;
    if (std::u16string(AsWide(name)) != kChannelName) return E_INVALIDARG;
    while (password) {
      std::array<std::uint8_t, 20> answer{}, right{};
      EVP_Digest(password->data(), password->size(), right.data(), nullptr, EVP_sha1(), nullptr);
      HRESULT result = S_OK;
      std::thread([&] { result = sink->OnChallenge(attempts, answer.data()); }).join();
      Record(m_challenges, std::make_pair(attempts, result));
      if (FAILED(result)) return result;
      if (answer == right) break;
      if (--attempts == 0) return E_ACCESSDENIED;
    }
    if (FAILED(openFailure.load())) return openFailure;
    auto opened = std::make_shared<FakeChannel>(m_delivery, sink, closeOnRelease);
    opened->AddRef();
    *channel = opened.get();
    Record(m_channels, std::move(opened));
    return S_OK;
  }

  std::vector<std::pair<LONG, HRESULT>> Challenges() { return Copy(m_challenges); }  // attempts, answer
  std::size_t Channels() { return Copy(m_channels).size(); }
  std::shared_ptr<FakeChannel> LastChannel() {
    const auto channels = Copy(m_channels);
    return channels.empty() ? nullptr : channels.back();
  }

  std::vector<Property> properties;
  std::optional<std::string> password;
  LONG attempts = 10;
  bool closeOnRelease = false;
  std::atomic<HRESULT> openFailure{S_OK};
  std::atomic<int> openCalls{0}, propertyReads{0};

 private:
  template <typename T, typename V>
  void Record(std::vector<T>& to, V value) {
    std::lock_guard<std::mutex> hold(m_lock);
    to.push_back(std::move(value));
  }
  template <typename T>
  std::vector<T> Copy(const std::vector<T>& from) {
    std::lock_guard<std::mutex> hold(m_lock);
    return from;
  }
  std::mutex& m_delivery;
  std::atomic<int>& m_live;
  std::mutex m_lock;
  std::vector<std::pair<LONG, HRESULT>> m_challenges;
  std::vector<std::shared_ptr<FakeChannel>> m_channels;
};

// The device manager, and the factory that creates it (failing the first attempts).
class FakeDeviceManager final : public Counted<IDevMgrMain>, public IDeviceManagerFactory {
 public:
  HRESULT CreateDeviceManager(IDevMgrMain** manager) override {
    *manager = nullptr;
    Change([&] { m_attempts.push_back(std::chrono::steady_clock::now()); });
    if (failures > 0) {
      --failures;
      return createFailure;
    }
    AddRef();
    *manager = this;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDevices(IDevMgrDeviceList** devices) override {
    ++getDevicesCalls;
    Change([&] { *devices = new FakeDeviceList(live, m_attached); });
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE AdviseDeviceEvents(IDevMgrDeviceSink* sink, DWORD* cookie) override {
    std::lock_guard<std::mutex> delivery(m_delivery);
    ++adviseCalls;
    if (FAILED(adviseFailure)) return adviseFailure;
    sink->AddRef();
    m_sink = sink;
    *cookie = 42;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE UnadviseDeviceEvents(DWORD cookie) override {
    std::lock_guard<std::mutex> delivery(m_delivery);
    ++unadviseCalls;
    if (FAILED(unadviseFailure)) return unadviseFailure;
    if (m_sink == nullptr || cookie != 42) return CONNECT_E_NOCONNECTION;
    m_sink->Release();
    m_sink = nullptr;
    return S_OK;
  }

  std::shared_ptr<FakeDevice> NewDevice(std::vector<Property> properties) {
    return m_owned.emplace_back(std::make_shared<FakeDevice>(m_delivery, live, std::move(properties)));
  }
  // Attaching and detaching change the list at once, then raise the event.
  void Attach(const std::shared_ptr<FakeDevice>& device, bool raise = true) {
    Change([&] { m_attached.push_back(device.get()); });
    if (raise) Arrival();
  }
  void Detach(const std::shared_ptr<FakeDevice>& device) {
    Change([&] { m_attached.erase(std::find(m_attached.begin(), m_attached.end(), device.get())); });
    Raise(&IDevMgrDeviceSink::OnDeviceDisconnected);
  }
  // An arrival without a change of the list (several arrivals, a quick re-attach).
  void Arrival() { Raise(&IDevMgrDeviceSink::OnDeviceConnected); }
  bool Advised() {
    std::lock_guard<std::mutex> delivery(m_delivery);
    return m_sink != nullptr;
  }
  std::vector<std::chrono::steady_clock::time_point> Attempts() {
    std::vector<std::chrono::steady_clock::time_point> attempts;
    Change([&] { attempts = m_attempts; });
    return attempts;
  }

  HRESULT createFailure = S_OK, adviseFailure = S_OK, unadviseFailure = S_OK;  // set before the start
  std::atomic<int> failures{0};
  std::atomic<int> getDevicesCalls{0}, adviseCalls{0}, unadviseCalls{0};
  std::atomic<int> live{0};  // device lists, property lists and properties not released

 private:
  class FakeDeviceList final : public Transient<IDevMgrDeviceList> {
   public:
    FakeDeviceList(std::atomic<int>& live, std::vector<FakeDevice*> devices)
        : Transient(live), m_devices(std::move(devices)) {}
    HRESULT STDMETHODCALLTYPE GetCount(ULONG* count) override {
      *count = static_cast<ULONG>(m_devices.size());
      return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetItem(LONG index, IDevMgrDevice** device) override {
      if (index < 0 || index >= static_cast<LONG>(m_devices.size())) return E_INVALIDARG;
      *device = m_devices[static_cast<std::size_t>(index)];
      (*device)->AddRef();
      return S_OK;
    }

   private:
    std::vector<FakeDevice*> m_devices;
  };
  template <typename F>
  void Change(F change) {
    std::lock_guard<std::mutex> hold(m_lock);
    change();
  }
  void Raise(HRESULT (STDMETHODCALLTYPE IDevMgrDeviceSink::*event)(void*)) {
    std::lock_guard<std::mutex> delivery(m_delivery);
    if (m_sink != nullptr) (m_sink->*event)(nullptr);
  }

  std::mutex m_delivery, m_lock;
  IDevMgrDeviceSink* m_sink = nullptr;  // guarded by m_delivery
  std::vector<FakeDevice*> m_attached;  // guarded by m_lock, as is m_attempts
  std::vector<std::chrono::steady_clock::time_point> m_attempts;
  std::vector<std::shared_ptr<FakeDevice>> m_owned;
};

}  // namespace skiff::testing
