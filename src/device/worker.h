// CDeviceWorker: the watcher thread with the device manager's life (created, retried,
// registered for device events, torn down) and the device pass that serves the open
// channel. It is the event sink of the device manager and of the channel, and hands
// each event to the part that owns it: the password challenge, the channel's signals,
// its own device events.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "compat/com.h"
#include "core/activity_log.h"
#include "core/event.h"
#include "core/log_writer.h"
#include "device/api/com_error.h"
#include "device/api/devmgr.h"
#include "device/callback_gate.h"
#include "device/channel_signals.h"
#include "device/password_challenge.h"
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

class CDeviceWorker : public IDevMgrChannelSink, public IDevMgrDeviceSink, private IDispatchHost {
 public:
  static constexpr const auto& kNoPassword = CPasswordChallenge::kNoPassword;

  CDeviceWorker(IDeviceManagerFactory& factory, IHttpTransport& transport, IProfile& profile,
                IPasswordRequester& requester, WorkerTiming timing = {});
  // Stops the watcher thread first if it still runs.
  virtual ~CDeviceWorker();
  CDeviceWorker(const CDeviceWorker&) = delete;
  CDeviceWorker& operator=(const CDeviceWorker&) = delete;

  void SetLog(CActivityLog* log) { m_log.SetLog(log); }
  // Where the parts made before the log and the shell's rules write their lines.
  ILogSink& LogSink() { return m_log.Sink(); }

  // Called by the front end (on its own thread) with the prompt's answer: the password,
  // or kNoPassword on cancel, and the "Remember (insecure)" choice.
  void SetPasswordAnswer(const std::string& password, bool remember) {
    m_challenge.SetPasswordAnswer(password, remember);
  }

  // Starts the watcher thread.
  void Start();
  // Orderly stop: returns when the watcher thread has ended and the device manager and
  // channel are released, promptly in every state (watching, serving, in a slow HTTP
  // call, waiting for a password answer). No device-manager callback touches the worker
  // or the log after it returns.
  void Stop();

  std::uint32_t Pin() const { return m_dwPin.load(); }

  // IUnknown, shared by both sinks. The count covers only the device manager's
  // references and never ends the worker's life.
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IDevMgrChannelSink: handed to the challenge and the channel's signals.
  HRESULT STDMETHODCALLTYPE OnNotify() override;
  HRESULT STDMETHODCALLTYPE OnChallenge(LONG attemptsRemaining, BYTE answer[20]) override;
  HRESULT STDMETHODCALLTYPE OnDataReady() override;
  HRESULT STDMETHODCALLTYPE OnClose() override;

  // IDevMgrDeviceSink: wakes the watcher for a device pass.
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

  // IDispatchHost: the dispatcher's one-part lines are echoed to the console.
  void Log(const std::string& text) override { m_log.Log(LogTo::LogAndConsole, text); }
  IDevMgrChannel* Channel() override { return m_pChannel; }

  // Interfaces handed in by the owner.
  IDeviceManagerFactory& m_factory;
  IHttpTransport& m_transport;
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

  CLogWriter m_log;

  // Written by the watcher thread, read by OnChallenge.
  std::atomic<std::int32_t> m_nArrival{0};
  std::int32_t m_bDevicePresent = 0;

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
  DWORD m_dwAdviseCookie = 0;

  Event m_hConnectedEvent{EventReset::Automatic};
  Event m_hDisconnectedEvent{EventReset::Automatic};
  Event m_hStopEvent{EventReset::Manual};
  Event* const m_hWatchWait[2] = {&m_hConnectedEvent, &m_hStopEvent};

  // Holds m_hPasswordEvent and the answer; holds m_hDataReadyEvent and m_hPortClosedEvent.
  CPasswordChallenge m_challenge;
  CChannelSignals m_channelSignals;

  bool m_bClientConnected = false;
  bool m_bRegistered = false;
  std::atomic<LONG> m_nRefCount{0};

  // Closed by Shutdown in place of closing the events: after the stop no late
  // device-manager callback touches the events or the log.
  CallbackGate m_callbacks;
  std::mutex m_threadMutex;  // Start() and Stop() from the owner's threads
  std::thread m_thread;
};

}  // namespace skiff
