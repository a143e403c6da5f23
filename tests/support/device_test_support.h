// The device worker's test doubles: a scripted device manager (handhelds with a password
// and a channel; the lists and properties a pass reads are the USB link's real ones) and
// a password prompt that answers from a script.
// Device and channel events are raised on the test's thread, the
// challenge on a thread of its own while OpenChannel waits; one delivery lock serialises
// them with unregistration and channel release, so that once those return no event
// reaches the sink, as the worker relies on.
#pragma once

#include <openssl/evp.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "device/worker.h"
#include "support/recording_log.h"
#include "usb_link/usb_com_objects.h"

namespace skiff::testing {

// What one thread records and another reads: a list behind a lock.
template <typename T>
class Recorded {
 public:
  void Add(T item) {
    std::lock_guard<std::mutex> hold(m_lock);
    m_items.push_back(std::move(item));
  }
  std::vector<T> Get() const {
    std::lock_guard<std::mutex> hold(m_lock);
    return m_items;
  }

 private:
  mutable std::mutex m_lock;
  std::vector<T> m_items;
};

// The front end's prompt, answering from a script set before the start; with the script
// used up, or once abandoned, it cancels.
class ScriptedPasswordRequester final : public IPasswordRequester {
 public:
  enum class Then { Answer, Cancel, HoldUntilAbandoned, ReturnWithoutAnswer };
  struct Step {
    Then then;
    std::string password = {};
    bool remember = false;
  };
  void Attach(CDeviceWorker* worker) { m_worker = worker; }
  void RequestPassword(std::int32_t attempts, std::uint32_t pin) override {
    const std::size_t at = m_next++;
    requests.Add({attempts, pin});
    const Step step = at < script.size() && !m_abandoned ? script[at] : Step{Then::Cancel};
    if (step.then == Then::HoldUntilAbandoned) Eventually([this] { return m_abandoned.load(); });
    if (step.then == Then::Answer) m_worker->SetPasswordAnswer(step.password, step.remember);
    if (step.then == Then::Cancel || step.then == Then::HoldUntilAbandoned)
      m_worker->SetPasswordAnswer(CDeviceWorker::kNoPassword, false);
  }
  void Abandon() override { m_abandoned = true; }

  std::vector<Step> script;
  Recorded<std::pair<std::int32_t, std::uint32_t>> requests;  // attempts, PIN

 private:
  CDeviceWorker* m_worker = nullptr;
  std::atomic<std::size_t> m_next{0};
  std::atomic<bool> m_abandoned{false};
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
    std::lock_guard<std::mutex> delivery(m_delivery);
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
    if (FAILED(writeFailure.load())) return writeFailure;
    written.Add(std::vector<std::uint8_t>(data, data + length));
    return S_OK;
  }

  // What the handheld does.
  void Deliver(std::vector<std::uint8_t> packet) {
    std::lock_guard<std::mutex> delivery(m_delivery);
    m_incoming.push_back(std::move(packet));
    if (m_sink != nullptr) m_sink->OnDataReady();
  }
  void Close() {
    std::lock_guard<std::mutex> delivery(m_delivery);
    if (m_sink != nullptr) m_sink->OnClose();
  }

  Recorded<std::vector<std::uint8_t>> written;
  std::atomic<HRESULT> readFailure{S_OK};   // of the next read
  std::atomic<HRESULT> writeFailure{S_OK};  // of every write
  std::atomic<bool> holdWrites{false}, writeHeld{false};

 private:
  std::mutex& m_delivery;
  IDevMgrChannelSink* m_sink;  // guarded by m_delivery, as is m_incoming
  const bool m_closeOnRelease;
  std::deque<std::vector<std::uint8_t>> m_incoming;
};

// One handheld; the test sets its script before attaching it.
class FakeDevice final : public Counted<IDevMgrDevice> {
 public:
  FakeDevice(std::mutex& delivery, std::vector<usblink::DeviceProperty> all)
      : properties(std::move(all)), m_delivery(delivery) {}
  HRESULT STDMETHODCALLTYPE GetProperties(IDevMgrPropertyList** list) override {
    *list = new usblink::CUsbPropertyList(std::make_shared<std::vector<usblink::DeviceProperty>>(properties));
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
      challenges.Add({attempts, result});
      if (FAILED(result)) return result;
      if (answer == right) break;
      if (--attempts == 0) return E_ACCESSDENIED;
    }
    if (FAILED(openFailure.load())) return openFailure;
    auto opened = std::make_shared<FakeChannel>(m_delivery, sink, closeOnRelease);
    opened->AddRef();
    *channel = opened.get();
    channels.Add(std::move(opened));
    return S_OK;
  }
  std::shared_ptr<FakeChannel> LastChannel() const {
    const auto all = channels.Get();
    return all.empty() ? nullptr : all.back();
  }

  std::vector<usblink::DeviceProperty> properties;
  std::optional<std::string> password;
  LONG attempts = 10;
  bool closeOnRelease = false;
  std::atomic<HRESULT> openFailure{S_OK};
  std::atomic<int> openCalls{0};
  Recorded<std::pair<LONG, HRESULT>> challenges;  // attempts, answer
  Recorded<std::shared_ptr<FakeChannel>> channels;

 private:
  std::mutex& m_delivery;
};

// The device manager, and the factory that creates it (failing the first attempts).
class FakeDeviceManager final : public Counted<IDevMgrMain>, public IDeviceManagerFactory {
 public:
  HRESULT CreateDeviceManager(IDevMgrMain** manager) override {
    ++attempts;
    *manager = nullptr;
    if (failures-- > 0) return REGDB_E_CLASSNOTREG;
    AddRef();
    *manager = this;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetDevices(IDevMgrDeviceList** devices) override {
    ++getDevicesCalls;
    std::lock_guard<std::mutex> delivery(m_delivery);
    for (IDevMgrDevice* device : m_attached) device->AddRef();
    *devices = new usblink::CUsbDeviceList(std::vector<IDevMgrDevice*>(m_attached.begin(), m_attached.end()));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE AdviseDeviceEvents(IDevMgrDeviceSink* sink, DWORD* cookie) override {
    std::lock_guard<std::mutex> delivery(m_delivery);
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

  std::shared_ptr<FakeDevice> NewDevice(std::vector<usblink::DeviceProperty> properties) {
    return m_owned.emplace_back(std::make_shared<FakeDevice>(m_delivery, std::move(properties)));
  }
  // Attaching and detaching change the list, then raise the event; an arrival alone
  // changes nothing (several arrivals, a quick re-attach).
  void Attach(const std::shared_ptr<FakeDevice>& device) {
    std::lock_guard<std::mutex> delivery(m_delivery);
    m_attached.push_back(device.get());
    if (m_sink != nullptr) m_sink->OnDeviceConnected(nullptr);
  }
  void Detach(const std::shared_ptr<FakeDevice>& device) {
    std::lock_guard<std::mutex> delivery(m_delivery);
    m_attached.erase(std::find(m_attached.begin(), m_attached.end(), device.get()));
    if (m_sink != nullptr) m_sink->OnDeviceDisconnected(nullptr);
  }
  void Arrival() {
    std::lock_guard<std::mutex> delivery(m_delivery);
    if (m_sink != nullptr) m_sink->OnDeviceConnected(nullptr);
  }
  bool Advised() {
    std::lock_guard<std::mutex> delivery(m_delivery);
    return m_sink != nullptr;
  }

  HRESULT adviseFailure = S_OK, unadviseFailure = S_OK;
  std::atomic<int> failures{0}, attempts{0}, getDevicesCalls{0}, unadviseCalls{0};

 private:
  std::mutex m_delivery;
  IDevMgrDeviceSink* m_sink = nullptr;  // guarded by m_delivery, as is m_attached
  std::vector<FakeDevice*> m_attached;
  std::vector<std::shared_ptr<FakeDevice>> m_owned;
};

}  // namespace skiff::testing
