// CDeviceWorker: everything the program knows about the attached handheld. It runs the
// watcher thread (device passes, channel reads, the dispatcher, the HTTP client) and is
// itself the event sink of the device manager and of the open channel.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "compat/com.h"
#include "core/activity_log.h"
#include "core/event.h"
#include "device/com_error.h"
#include "device/devmgr.h"
#include "http/http_client.h"
#include "http/http_transport.h"
#include "platform/platform.h"
#include "protocol/dispatcher.h"
#include "protocol/packet.h"

namespace skiff {

// The watcher's intervals. Defaults are the program's (10 s between attempts to create
// the device manager, 5 s between device passes); tests shorten them.
struct WorkerTiming {
  std::uint32_t retryMs = 10000;
  std::uint32_t watchMs = 5000;
};

// The name of the channel to the handheld application.
inline constexpr char16_t kChannelName[] = u"SkiffhouseUSB";
// The profile section of remembered device passwords (value name: the PIN in "%x").
inline constexpr char kSavedPasswordsSection[] = "Saved passwords";

// The failure with which a cancelled password challenge ends, so that the open fails.
inline constexpr HRESULT kChallengeCancelled = HRESULT_FROM_WIN32(ERROR_CANCELLED);

// Lets device-manager callbacks in only while the worker is listening, and lets the
// stopping thread wait until every callback that got in has left.
class CallbackGate {
 public:
  bool Enter();
  void Leave();
  // No callback gets in after this; returns once the ones inside have left.
  void CloseAndDrain();
  bool IsClosed() const;

 private:
  mutable std::mutex m_mutex;
  std::condition_variable m_drained;
  int m_inside = 0;
  bool m_closed = false;
};

// Holds a callback inside the gate for its duration (when it got in).
class CallbackScope {
 public:
  explicit CallbackScope(CallbackGate& gate) : m_gate(gate), m_entered(gate.Enter()) {}
  ~CallbackScope() {
    if (m_entered) m_gate.Leave();
  }
  CallbackScope(const CallbackScope&) = delete;
  CallbackScope& operator=(const CallbackScope&) = delete;
  bool Entered() const { return m_entered; }

 private:
  CallbackGate& m_gate;
  bool m_entered;
};

// A PIN as it names a remembered password and shows in the log: "%x" of the 32 bits.
std::string PinText(std::uint32_t pin);

class CDeviceWorker : public IDevMgrChannelSink,
                      public IDevMgrDeviceSink,
                      public ILogSink,
                      private IDispatchHost {
 public:
  // Stands for "no password": the prompt was cancelled, or nothing is remembered. Made of
  // characters no one types into the prompt.
  static constexpr char kNoPassword[] = "\x1b<no-password>\x1b";
  static_assert(sizeof(kNoPassword) == 16, "the no-password sentinel has 15 characters");

  CDeviceWorker(IDeviceManagerFactory& factory, IHttpTransport& transport, IProfile& profile,
                IPasswordRequester& requester, WorkerTiming timing = {});
  // Stops the watcher thread first if it still runs.
  virtual ~CDeviceWorker();
  CDeviceWorker(const CDeviceWorker&) = delete;
  CDeviceWorker& operator=(const CDeviceWorker&) = delete;

  void SetLog(CActivityLog* log);
  // One line, echoed to the console as well. Any thread.
  void Log(const std::string& text) override;
  // One line made of first directly followed by second; no console echo.
  void Log(const std::string& first, const std::string& second);

  // Called by the front end (on its own thread) with the prompt's answer: the password,
  // or kNoPassword on cancel, and the "Remember (insecure)" choice. Both fields are
  // stored before the password event is signalled.
  void SetPasswordAnswer(const std::string& password, bool remember);

  // Starts the watcher thread.
  void Start();
  // Orderly stop: returns when the watcher thread has ended and the device manager and
  // channel are released, promptly in every state (watching, serving, in a slow HTTP
  // call, waiting for a password answer). No device-manager callback touches the worker
  // or the log after it returns.
  void Stop();

  std::uint32_t Pin() const { return m_dwPin.load(); }

  // IUnknown, shared by both sinks.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IDevMgrChannelSink.
  HRESULT STDMETHODCALLTYPE OnNotify() override;
  HRESULT STDMETHODCALLTYPE OnChallenge(LONG attemptsRemaining, BYTE answer[20]) override;
  HRESULT STDMETHODCALLTYPE OnDataReady() override;
  HRESULT STDMETHODCALLTYPE OnClose() override;

  // IDevMgrDeviceSink.
  HRESULT STDMETHODCALLTYPE OnDeviceConnected(void* device) override;
  HRESULT STDMETHODCALLTYPE OnDeviceDisconnected(void* device) override;

  // Writes the one log line of a caught device-manager error.
  void LogComError(const ComError& error);

 private:
  static unsigned int WatcherThreadProc(CDeviceWorker* worker);
  void Run();
  void Register();
  void ResetConnection();
  void Shutdown();

  void ServeDevice();
  void ReadDeviceProperties(IDevMgrDevice* device);
  // Waits for the channel's data or close; true when a packet was read, with the number
  // of bytes that arrived in receivedBytes.
  bool ReadPacket(Packet& packet, std::uint32_t timeoutMs, std::size_t& receivedBytes);

  // Answers one challenge by asking the user; false when there is no answer (cancel,
  // or the worker is stopping).
  bool AskForPassword(LONG attemptsRemaining, std::string& password);
  void RememberTypedPassword();

  IDevMgrChannel* Channel() override { return m_pChannel; }

  // Interfaces handed in by the owner.
  IDeviceManagerFactory& m_factory;
  IHttpTransport& m_transport;
  IProfile& m_profile;
  IPasswordRequester& m_requester;
  const WorkerTiming m_timing;

  // Threads. Three kinds use the worker: the watcher thread, the device manager's
  // threads (the sinks and the challenge) and the owner's thread (SetLog, the password
  // answer, Start, Stop). A plain field written on one and read on another is a data
  // race, so each field that crosses threads is an atomic, is guarded by a lock where
  // it is a pair that must change together, or is handed over through an event. The
  // watcher thread's own fields (channel, device manager, flags of the pass, the
  // dispatcher and the HTTP client) stay plain: only that thread touches them, and Stop()
  // reads them only after joining it.

  // Written by OnChallenge (device-manager thread), read by the watcher thread.
  std::atomic<std::int32_t> m_nCancelledArrival{-1};
  // Written by the watcher thread, read by OnChallenge.
  std::atomic<std::int32_t> m_nArrival{0};
  std::int32_t m_bDevicePresent = 0;

  // The password answer. The front end may answer at any moment (a late answer after an
  // abandoned prompt, say) while the watcher thread resets the password at a pass start,
  // so the pair is guarded by a lock; m_hPasswordEvent still carries the wake-up.
  mutable std::mutex m_answerMutex;
  bool m_bRememberPassword = false;
  std::string m_strPassword;

  bool m_bAdvised = false;
  // Set by Stop() on the owner's thread.
  std::atomic<bool> m_bStop{false};

  HttpClient m_http;
  // Holds lastReplySequence, historyPosition and ReplyHistory.
  RequestDispatcher m_dispatcher;

  IDevMgrChannel* m_pChannel = nullptr;
  IDevMgrMain* m_pDeviceManager = nullptr;
  // Written on the watcher thread, read by the challenge and by the front end.
  std::atomic<std::uint32_t> m_dwPin{0};
  // Set by the owner, read by every thread that logs.
  std::atomic<CActivityLog*> m_pLog{nullptr};
  DWORD m_dwAdviseCookie = 0;

  Event m_hDataReadyEvent{EventReset::Automatic};
  Event m_hPortClosedEvent{EventReset::Automatic};
  Event m_hConnectedEvent{EventReset::Automatic};
  Event m_hDisconnectedEvent{EventReset::Automatic};
  Event m_hStopEvent{EventReset::Manual};
  Event m_hPasswordEvent{EventReset::Automatic};
  Event* const m_hReadWait[2] = {&m_hDataReadyEvent, &m_hPortClosedEvent};
  Event* const m_hWatchWait[2] = {&m_hConnectedEvent, &m_hStopEvent};

  // Packets the channel has announced and the serve loop has not read yet. The data
  // event alone would fold two quick announcements into one read and leave a packet
  // unread until the next one came.
  std::atomic<std::int32_t> m_nAnnouncedPackets{0};

  bool m_bClientConnected = false;
  bool m_bRegistered = false;
  // Counts only the device manager's references, which its threads add and drop
  // concurrently; never ends the worker's life.
  std::atomic<LONG> m_nRefCount{0};

  // Closed by Shutdown in place of closing the events: after the stop no late
  // device-manager callback touches the events or the log.
  CallbackGate m_callbacks;
  std::mutex m_threadMutex;  // Start() and Stop() from the owner's threads
  std::thread m_thread;
};

}  // namespace skiff
