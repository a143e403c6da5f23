// The device worker's life: construction, the start and orderly stop of the watcher
// thread, and the reference count of its two sinks.
#include "device/worker.h"

namespace skiff {

CDeviceWorker::CDeviceWorker(IDeviceManagerFactory& factory, IHttpTransport& transport, IProfile& profile,
                             IPasswordRequester& requester, WorkerTiming timing)
    : m_factory(factory),
      m_transport(transport),
      m_requester(requester),
      m_timing(timing),
      m_http(transport),
      m_dispatcher(*this, m_http),
      m_challenge(profile, requester, m_log, m_hStopEvent, m_bStop),
      m_channelSignals(m_log) {}

CDeviceWorker::~CDeviceWorker() {
  Stop();
  // Stop() has released both already when the thread ran; these cover a worker whose
  // references were left by a thread that ended on a failed wait.
  if (m_pDeviceManager != nullptr) {
    m_pDeviceManager->Release();
    m_pDeviceManager = nullptr;
  }
  if (m_pChannel != nullptr) {
    m_pChannel->Release();
    m_pChannel = nullptr;
  }
}

void CDeviceWorker::Start() {
  std::lock_guard<std::mutex> lock(m_threadMutex);
  if (m_thread.joinable() || m_callbacks.IsClosed()) return;  // runs once per worker
  m_bStop.store(false);
  m_thread = std::thread(&CDeviceWorker::WatcherThreadProc, this);
}

void CDeviceWorker::Stop() {
  std::lock_guard<std::mutex> lock(m_threadMutex);
  if (!m_thread.joinable()) return;
  // Wake the thread wherever it waits: between passes and between attempts to create
  // the device manager (stop event), in a channel read (data event, then the stop flag
  // is seen), in a slow HTTP call (transport cancel), and in a password challenge that
  // blocks the channel open (abandoned prompt; the answer wait also wakes on the stop
  // event).
  m_bStop.store(true);
  m_hStopEvent.Set();
  m_channelSignals.WakeReader();
  m_transport.Cancel();
  m_requester.Abandon();
  m_thread.join();
}

unsigned int CDeviceWorker::WatcherThreadProc(CDeviceWorker* worker) {
  worker->m_factory.WatcherThreadStarted();
  worker->Run();
  // Every device-manager object is released on this thread before it leaves the
  // platform's thread model (a run that ended on a failed wait skipped Shutdown).
  if (!worker->m_callbacks.IsClosed()) worker->Shutdown();
  worker->m_factory.WatcherThreadEnding();
  return 0;
}

HRESULT STDMETHODCALLTYPE CDeviceWorker::QueryInterface(REFIID riid, void** ppvObject) {
  if (ppvObject == nullptr) return E_POINTER;
  if (riid == IID_IDevMgrChannelSink || riid == IID_IUnknown) {
    *ppvObject = static_cast<IDevMgrChannelSink*>(this);
    AddRef();
    return S_OK;
  }
  *ppvObject = nullptr;
  return E_NOINTERFACE;
}

ULONG STDMETHODCALLTYPE CDeviceWorker::AddRef() {
  return static_cast<ULONG>(++m_nRefCount);
}

ULONG STDMETHODCALLTYPE CDeviceWorker::Release() {
  return static_cast<ULONG>(--m_nRefCount);
}

void CDeviceWorker::LogComError(const ComError& error) {
  m_log.Log(LogTo::LogAndConsole, ComErrorLine(error));
}

}  // namespace skiff
