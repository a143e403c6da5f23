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
#include <vector>

#include "compat/com.h"
#include "device/devmgr.h"
#include "platform/platform.h"

namespace skiff::testing {

using namespace std::chrono_literals;
inline constexpr auto kSafetyTimeout = 20s;

class FakeDeviceManager;

// Reference counting of the fakes that the test owns: the count shows how many
// references the worker holds, and reaching zero never deletes.
class FakeRefCount {
 public:
  ULONG Add() { return static_cast<ULONG>(++m_count); }
  ULONG Drop() { return static_cast<ULONG>(--m_count); }
  LONG Count() const { return m_count.load(); }

 private:
  std::atomic<LONG> m_count{0};
};

// One property as the device reports it. A missing name is handed over as a null BSTR.
struct FakePropertySpec {
  std::optional<std::u16string> name;
  VARTYPE type = VT_EMPTY;
  LONG number = 0;
  std::u16string text;
  HRESULT getValueResult = S_OK;

  static FakePropertySpec Number(std::u16string propertyName, LONG value);
  static FakePropertySpec Text(std::optional<std::u16string> propertyName, std::u16string value);
  static FakePropertySpec Empty(std::u16string propertyName);
};

// One channel to the handheld application.
class FakeChannel final : public IDevMgrChannel {
 public:
  FakeChannel(FakeDeviceManager& manager, IDevMgrChannelSink* sink, bool closeOnRelease);
  ~FakeChannel();

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return m_refs.Add(); }
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
  void FailNextRead(HRESULT code);
  // Every write fails with this code.
  void FailWrites(HRESULT code);
  // While held, WriteData waits (so the test can signal more while a reply is written).
  void HoldWrites(bool hold);

  // ---- record ----
  std::vector<std::vector<std::uint8_t>> Written() const;
  bool WaitForWrites(std::size_t count, std::chrono::milliseconds timeout = kSafetyTimeout) const;
  bool WaitForHeldWrite(std::chrono::milliseconds timeout = kSafetyTimeout) const;
  LONG References() const { return m_refs.Count(); }
  bool SinkDropped() const;

 private:
  FakeDeviceManager& m_manager;
  FakeRefCount m_refs;
  const bool m_closeOnRelease;
  IDevMgrChannelSink* m_sink;  // guarded by the manager's delivery mutex
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  std::deque<std::vector<std::uint8_t>> m_incoming;
  std::vector<std::vector<std::uint8_t>> m_written;
  HRESULT m_nextReadFailure = S_OK;
  HRESULT m_writeFailure = S_OK;
  bool m_holdWrites = false;
  bool m_writeHeld = false;
};

// One attached handheld.
class FakeDevice final : public IDevMgrDevice {
 public:
  explicit FakeDevice(FakeDeviceManager& manager, std::vector<FakePropertySpec> properties = {});

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return m_refs.Add(); }
  ULONG STDMETHODCALLTYPE Release() override { return m_refs.Drop(); }
  HRESULT STDMETHODCALLTYPE GetProperties(IDevMgrPropertyList** properties) override;
  HRESULT STDMETHODCALLTYPE OpenChannel(const OLECHAR* name, IDevMgrChannelSink* sink,
                                        IDevMgrChannel** channel) override;

  // ---- script (set before the worker uses the device) ----
  void SetProperties(std::vector<FakePropertySpec> properties);
  // A locked handheld: every open is challenged until the SHA-1 of this password comes
  // back; a wrong answer costs one attempt, the last one wipes the device.
  void SetPassword(std::string password, int attemptsRemaining = 10);
  // After the challenge, the open fails with this code.
  void FailOpen(HRESULT code);
  // The handheld reports a close when the desktop releases a channel.
  void CloseOnRelease(bool close);
  // A count the property list reports in place of the real one.
  void OverridePropertyCount(LONG count);

  // ---- record ----
  struct Challenge {
    LONG attempts;
    HRESULT result;
    std::array<std::uint8_t, 20> answer;
  };
  std::vector<Challenge> Challenges() const;
  int OpenCalls() const;
  int PropertyReads() const;
  std::u16string LastChannelName() const;
  // The channel of the last successful open (null before any).
  std::shared_ptr<FakeChannel> LastChannel() const;
  bool WaitForChannel(std::size_t count, std::chrono::milliseconds timeout = kSafetyTimeout) const;
  bool WaitForChallenge(std::size_t count, std::chrono::milliseconds timeout = kSafetyTimeout) const;
  LONG References() const { return m_refs.Count(); }
  int AttemptsRemaining() const;

 private:
  FakeDeviceManager& m_manager;
  FakeRefCount m_refs;
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
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

class FakeDeviceManager final : public IDevMgrMain {
 public:
  FakeDeviceManager();
  ~FakeDeviceManager();
  FakeDeviceManager(const FakeDeviceManager&) = delete;
  FakeDeviceManager& operator=(const FakeDeviceManager&) = delete;

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return m_refs.Add(); }
  ULONG STDMETHODCALLTYPE Release() override { return m_refs.Drop(); }
  HRESULT STDMETHODCALLTYPE GetDevices(IDevMgrDeviceList** devices) override;
  HRESULT STDMETHODCALLTYPE AdviseDeviceEvents(IDevMgrDeviceSink* sink, DWORD* cookie) override;
  HRESULT STDMETHODCALLTYPE UnadviseDeviceEvents(DWORD cookie) override;

  // A new handheld, owned by the manager, not yet attached.
  std::shared_ptr<FakeDevice> NewDevice(std::vector<FakePropertySpec> properties = {});
  // Attaching and detaching change the list at once and raise the event afterwards.
  void Attach(const std::shared_ptr<FakeDevice>& device, bool raiseEvent = true);
  void Detach(const std::shared_ptr<FakeDevice>& device);
  // An arrival event without a change of the list (several arrivals, a quick re-attach).
  void RaiseDeviceConnected();

  // ---- script ----
  void FailAdvise(HRESULT code);
  void FailUnadvise(HRESULT code);

  // ---- record ----
  bool WaitForAdvise(std::chrono::milliseconds timeout = kSafetyTimeout) const;
  bool WaitForGetDevices(int count, std::chrono::milliseconds timeout = kSafetyTimeout) const;
  // Waits until every event raised so far has been delivered.
  bool WaitForEventsDelivered(std::chrono::milliseconds timeout = kSafetyTimeout) const;
  int GetDevicesCalls() const;
  int AdviseCalls() const;
  int UnadviseCalls() const;
  bool Advised() const;
  LONG References() const { return m_refs.Count(); }
  // Events that found no sink to go to (raised after the worker unregistered).
  int UndeliveredEvents() const;

  // ---- used by the devices and channels ----
  // Runs an event on the event thread; sink calls there are serialised with
  // unregistration and channel release, so that once those return no event reaches the
  // sink any more, as the worker relies on.
  void Post(std::function<void()> event);
  // The same, returning once the event has been delivered.
  void PostAndWait(std::function<void()> event);
  std::mutex& DeliveryMutex() { return m_deliveryMutex; }
  void CountUndelivered();
  std::atomic<int> liveObjects{0};  // transient lists and properties not yet released

 private:
  void EventThread();

  FakeRefCount m_refs;
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  std::vector<std::shared_ptr<FakeDevice>> m_owned;
  std::vector<std::shared_ptr<FakeDevice>> m_attached;
  HRESULT m_adviseFailure = S_OK;
  HRESULT m_unadviseFailure = S_OK;
  int m_getDevicesCalls = 0;
  int m_adviseCalls = 0;
  int m_unadviseCalls = 0;
  int m_undelivered = 0;
  DWORD m_nextCookie = 41;
  DWORD m_cookie = 0;

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
class FakeDeviceManagerFactory final : public IDeviceManagerFactory {
 public:
  explicit FakeDeviceManagerFactory(FakeDeviceManager& manager) : m_manager(manager) {}
  HRESULT CreateDeviceManager(IDevMgrMain** deviceManager) override;

  // The next `count` attempts fail with code (count < 0: every attempt).
  void Fail(HRESULT code, int count);
  int Attempts() const;
  std::vector<std::chrono::steady_clock::time_point> AttemptTimes() const;
  bool WaitForAttempts(int count, std::chrono::milliseconds timeout = kSafetyTimeout) const;

 private:
  FakeDeviceManager& m_manager;
  mutable std::mutex m_mutex;
  mutable std::condition_variable m_changed;
  HRESULT m_failure = S_OK;
  int m_failuresLeft = 0;
  std::vector<std::chrono::steady_clock::time_point> m_attempts;
};

}  // namespace skiff::testing
