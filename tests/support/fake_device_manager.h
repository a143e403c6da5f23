// A scripted device manager for the device worker's tests. Like a real one it raises its
// events on threads of its own: device and channel events on an event thread, and each
// password challenge on a thread of its own while OpenChannel waits for the answer. Each
// test sets the devices' properties, password and channel behaviour.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "compat/com.h"
#include "device/devmgr.h"
#include "platform/platform.h"

namespace skiff::testing {

using namespace std::chrono_literals;
using Millis = std::chrono::milliseconds;
inline constexpr auto kSafetyTimeout = 20s;

// The recorded state of one fake behind a mutex, and a condition to wait on it.
class Guarded {
 protected:
  // A copy of one field of the derived fake, and a change of one.
  template <typename T, typename Fake>
  T Get(T Fake::*field) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<const Fake&>(*this).*field;
  }
  template <typename T, typename Fake, typename V>
  void Set(T Fake::*field, V value) {
    Change([&] { static_cast<Fake&>(*this).*field = std::move(value); });
  }
  template <typename F>
  auto Locked(F read) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return read();
  }
  template <typename F>
  void Change(F change) {
    std::lock_guard<std::mutex> lock(m_mutex);
    change();
    m_changed.notify_all();
  }
  template <typename P>
  bool Wait(Millis timeout, P done) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, done);
  }
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
};

// Hands out `self` for IUnknown and `iid`, with one reference added.
template <typename Interface>
HRESULT QueryOne(Interface* self, REFIID riid, REFIID iid, void** object) {
  *object = riid == IID_IUnknown || riid == iid ? self : nullptr;
  if (*object == nullptr) return E_NOINTERFACE;
  self->AddRef();
  return S_OK;
}

// The fakes the test owns count references without ever deleting themselves, so a test
// sees how many the worker still holds.
template <typename Interface>
class TestOwned : public Interface {
 public:
  virtual ~TestOwned() = default;
  ULONG STDMETHODCALLTYPE AddRef() override { return static_cast<ULONG>(++m_refs); }
  ULONG STDMETHODCALLTYPE Release() override { return static_cast<ULONG>(--m_refs); }
  LONG References() const { return m_refs.load(); }

 private:
  std::atomic<LONG> m_refs{0};
};

class FakeDeviceManager;

// One property as the device reports it. A missing name is handed over as a null BSTR.
struct FakePropertySpec {
  std::optional<std::u16string> name;
  VARTYPE type = VT_EMPTY;
  LONG number = 0;
  std::u16string text;
  HRESULT getValueResult = S_OK;

  static FakePropertySpec Number(std::u16string name, LONG value) {
    return {std::move(name), VT_I4, value, {}, S_OK};
  }
  static FakePropertySpec Text(std::optional<std::u16string> name, std::u16string value) {
    return {std::move(name), VT_BSTR, 0, std::move(value), S_OK};
  }
  static FakePropertySpec Empty(std::u16string name) { return {std::move(name), VT_EMPTY, 0, {}, S_OK}; }
};

// One channel to the handheld application.
class FakeChannel final : public TestOwned<IDevMgrChannel>, public Guarded {
 public:
  FakeChannel(FakeDeviceManager& manager, IDevMgrChannelSink* sink, bool closeOnRelease);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    return QueryOne<IDevMgrChannel>(this, riid, IID_IDevMgrChannel, object);
  }
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE Reserved1() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved2() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Reserved3() override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE ReadData(BYTE* buffer, ULONG capacity, ULONG* count) override;
  HRESULT STDMETHODCALLTYPE WriteData(const BYTE* data, ULONG length) override;

  // ---- what the handheld does (events go out on the manager's event thread) ----
  void Deliver(std::vector<std::uint8_t> packet);
  void Close();

  // ---- script ----
  // The next read fails with this code (the packet it would have read is lost).
  void FailNextRead(HRESULT code) { Set(&FakeChannel::m_nextReadFailure, code); }
  void FailWrites(HRESULT code) { Set(&FakeChannel::m_writeFailure, code); }
  // While held, WriteData waits (so the test can signal more while a reply is written).
  void HoldWrites(bool hold) { Set(&FakeChannel::m_holdWrites, hold); }

  // ---- record ----
  std::vector<std::vector<std::uint8_t>> Written() const { return Get(&FakeChannel::m_written); }
  bool WaitForWrites(std::size_t count, Millis timeout = kSafetyTimeout) const {
    return Wait(timeout, [&] { return m_written.size() >= count; });
  }
  bool WaitForHeldWrite(Millis timeout = kSafetyTimeout) const {
    return Wait(timeout, [&] { return m_writeHeld; });
  }
  bool SinkDropped() const;

 private:
  // Raises a sink event on the event thread, or counts it when no sink is left.
  void Raise(HRESULT (STDMETHODCALLTYPE IDevMgrChannelSink::*event)());

  FakeDeviceManager& m_manager;
  const bool m_closeOnRelease;
  // A channel the desktop never released keeps its sink reference: the sink may be gone
  // by then, so it is not touched (the test sees the leak in References()).
  IDevMgrChannelSink* m_sink;  // guarded by the manager's delivery mutex
  std::deque<std::vector<std::uint8_t>> m_incoming;
  std::vector<std::vector<std::uint8_t>> m_written;
  HRESULT m_nextReadFailure = S_OK;
  HRESULT m_writeFailure = S_OK;
  bool m_holdWrites = false;
  bool m_writeHeld = false;
};

// One attached handheld.
class FakeDevice final : public TestOwned<IDevMgrDevice>, public Guarded {
 public:
  FakeDevice(FakeDeviceManager& manager, std::vector<FakePropertySpec> properties)
      : m_manager(manager), m_properties(std::move(properties)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    return QueryOne<IDevMgrDevice>(this, riid, IID_IDevMgrDevice, object);
  }
  HRESULT STDMETHODCALLTYPE GetProperties(IDevMgrPropertyList** properties) override;
  HRESULT STDMETHODCALLTYPE OpenChannel(const OLECHAR* name, IDevMgrChannelSink* sink,
                                        IDevMgrChannel** channel) override;

  // ---- script (set before the worker uses the device) ----
  // A locked handheld: every open is challenged until the SHA-1 of this password comes
  // back; a wrong answer costs one attempt, the last one wipes the device.
  void SetPassword(std::string password, int attemptsRemaining = 10) {
    Change([&] {
      m_password = std::move(password);
      m_attemptsRemaining = attemptsRemaining;
    });
  }
  // After the challenge, the open fails with this code.
  void FailOpen(HRESULT code) { Set(&FakeDevice::m_openFailure, code); }
  // The handheld reports a close when the desktop releases a channel.
  void CloseOnRelease(bool close) { Set(&FakeDevice::m_closeOnRelease, close); }
  // A count the property list reports in place of the real one.
  void OverridePropertyCount(LONG count) { Set(&FakeDevice::m_countOverride, count); }

  // ---- record ----
  struct Challenge {
    LONG attempts;
    HRESULT result;
    std::array<std::uint8_t, 20> answer;
  };
  std::vector<Challenge> Challenges() const { return Get(&FakeDevice::m_challenges); }
  int OpenCalls() const { return Get(&FakeDevice::m_openCalls); }
  int PropertyReads() const { return Get(&FakeDevice::m_propertyReads); }
  std::u16string LastChannelName() const { return Get(&FakeDevice::m_lastChannelName); }
  // The channel of the last successful open (null before any).
  std::shared_ptr<FakeChannel> LastChannel() const {
    return Locked([&] { return m_channels.empty() ? nullptr : m_channels.back(); });
  }
  bool WaitForChannel(std::size_t count, Millis timeout = kSafetyTimeout) const {
    return Wait(timeout, [&] { return m_channels.size() >= count; });
  }
  bool WaitForChallenge(std::size_t count, Millis timeout = kSafetyTimeout) const {
    return Wait(timeout, [&] { return m_challenges.size() >= count; });
  }

 private:
  FakeDeviceManager& m_manager;
  std::vector<FakePropertySpec> m_properties;
  std::optional<LONG> m_countOverride;
  std::optional<std::string> m_password;
  int m_attemptsRemaining = 10;
  HRESULT m_openFailure = S_OK;
  bool m_closeOnRelease = false;
  std::vector<Challenge> m_challenges;
  int m_openCalls = 0;
  int m_propertyReads = 0;
  std::u16string m_lastChannelName;
  std::vector<std::shared_ptr<FakeChannel>> m_channels;
};

class FakeDeviceManager final : public TestOwned<IDevMgrMain>, public Guarded {
 public:
  FakeDeviceManager() : m_thread(&FakeDeviceManager::EventThread, this) {}
  ~FakeDeviceManager();
  FakeDeviceManager(const FakeDeviceManager&) = delete;
  FakeDeviceManager& operator=(const FakeDeviceManager&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    return QueryOne<IDevMgrMain>(this, riid, IID_IDevMgrMain, object);
  }
  HRESULT STDMETHODCALLTYPE GetDevices(IDevMgrDeviceList** devices) override;
  HRESULT STDMETHODCALLTYPE AdviseDeviceEvents(IDevMgrDeviceSink* sink, DWORD* cookie) override;
  HRESULT STDMETHODCALLTYPE UnadviseDeviceEvents(DWORD cookie) override;

  // A new handheld, owned by the manager, not yet attached.
  std::shared_ptr<FakeDevice> NewDevice(std::vector<FakePropertySpec> properties = {});
  // Attaching and detaching change the list at once and raise the event afterwards.
  void Attach(const std::shared_ptr<FakeDevice>& device, bool raiseEvent = true);
  void Detach(const std::shared_ptr<FakeDevice>& device);
  // An arrival event without a change of the list (several arrivals, a quick re-attach).
  void RaiseDeviceConnected() { Raise(&IDevMgrDeviceSink::OnDeviceConnected); }

  // ---- script ----
  void FailAdvise(HRESULT code) { Set(&FakeDeviceManager::m_adviseFailure, code); }
  void FailUnadvise(HRESULT code) { Set(&FakeDeviceManager::m_unadviseFailure, code); }

  // ---- record ----
  bool WaitForAdvise(Millis timeout = kSafetyTimeout) const {
    return Wait(timeout, [&] { return m_adviseCalls > 0; });
  }
  bool WaitForGetDevices(int count, Millis timeout = kSafetyTimeout) const {
    return Wait(timeout, [&] { return m_getDevicesCalls >= count; });
  }
  // Waits until every event raised so far has been delivered.
  bool WaitForEventsDelivered(Millis timeout = kSafetyTimeout) const {
    return Wait(timeout, [&] { return m_delivered == m_posted; });
  }
  int GetDevicesCalls() const { return Get(&FakeDeviceManager::m_getDevicesCalls); }
  int AdviseCalls() const { return Get(&FakeDeviceManager::m_adviseCalls); }
  int UnadviseCalls() const { return Get(&FakeDeviceManager::m_unadviseCalls); }
  // Events that found no sink to go to (raised after the worker unregistered).
  int UndeliveredEvents() const { return Get(&FakeDeviceManager::m_undelivered); }
  bool Advised() const {
    std::lock_guard<std::mutex> lock(m_deliveryMutex);
    return m_sink != nullptr;
  }

  // ---- used by the devices and channels ----
  // Runs an event on the event thread; sink calls there are serialised with
  // unregistration and channel release, so that once those return no event reaches the
  // sink any more, as the worker relies on.
  void Post(std::function<void()> event);
  // The same, returning once the event has been delivered.
  void PostAndWait(std::function<void()> event);
  std::mutex& DeliveryMutex() { return m_deliveryMutex; }
  void CountUndelivered() {
    Change([&] { ++m_undelivered; });
  }
  std::atomic<int> liveObjects{0};  // transient lists and properties not yet released

 private:
  void Raise(HRESULT (STDMETHODCALLTYPE IDevMgrDeviceSink::*event)(void*));
  void EventThread();

  std::vector<std::shared_ptr<FakeDevice>> m_owned;
  std::vector<std::shared_ptr<FakeDevice>> m_attached;
  HRESULT m_adviseFailure = S_OK;
  HRESULT m_unadviseFailure = S_OK;
  int m_getDevicesCalls = 0;
  int m_adviseCalls = 0;
  int m_unadviseCalls = 0;
  int m_undelivered = 0;
  DWORD m_cookie = 41;

  mutable std::mutex m_deliveryMutex;
  IDevMgrDeviceSink* m_sink = nullptr;  // guarded by m_deliveryMutex

  std::deque<std::function<void()>> m_queue;  // guarded by m_mutex
  std::uint64_t m_posted = 0;
  std::uint64_t m_delivered = 0;
  bool m_stopping = false;
  std::thread m_thread;
};

// Creates the device manager: fails the first attempts as scripted, then hands out the
// fake manager.
class FakeDeviceManagerFactory final : public IDeviceManagerFactory, public Guarded {
 public:
  explicit FakeDeviceManagerFactory(FakeDeviceManager& manager) : m_manager(manager) {}
  HRESULT CreateDeviceManager(IDevMgrMain** deviceManager) override;

  // The next `count` attempts fail with code (count < 0: every attempt).
  void Fail(HRESULT code, int count) {
    Change([&] {
      m_failure = code;
      m_failuresLeft = count;
    });
  }
  int Attempts() const { return static_cast<int>(AttemptTimes().size()); }
  std::vector<std::chrono::steady_clock::time_point> AttemptTimes() const {
    return Get(&FakeDeviceManagerFactory::m_attempts);
  }
  bool WaitForAttempts(int count, Millis timeout = kSafetyTimeout) const {
    return Wait(timeout, [&] { return static_cast<int>(m_attempts.size()) >= count; });
  }

 private:
  FakeDeviceManager& m_manager;
  HRESULT m_failure = S_OK;
  int m_failuresLeft = 0;
  std::vector<std::chrono::steady_clock::time_point> m_attempts;
};

}  // namespace skiff::testing
