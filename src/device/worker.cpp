// The device worker's life: construction, the log entry points, the password hand-back,
// and the start and orderly stop of the watcher thread.
#include "device/worker.h"

#include <utility>

namespace skiff {

bool CallbackGate::Enter() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_closed) return false;
  ++m_inside;
  return true;
}

void CallbackGate::Leave() {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (--m_inside == 0) m_drained.notify_all();
}

void CallbackGate::CloseAndDrain() {
  std::unique_lock<std::mutex> lock(m_mutex);
  m_closed = true;
  m_drained.wait(lock, [this] { return m_inside == 0; });
}

bool CallbackGate::IsClosed() const {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_closed;
}

CDeviceWorker::CDeviceWorker(IDeviceManagerFactory& factory, IHttpTransport& transport, IProfile& profile,
                             IPasswordRequester& requester, WorkerTiming timing)
    : m_factory(factory),
      m_transport(transport),
      m_profile(profile),
      m_requester(requester),
      m_timing(timing),
      m_http(transport),
      m_dispatcher(*this, m_http) {}

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

void CDeviceWorker::SetLog(CActivityLog* log) {
  m_pLog.store(log);
}

void CDeviceWorker::Log(const std::string& text) {
  if (CActivityLog* log = m_pLog.load()) log->AddLine(text);
  ConsoleEcho(text);
}

void CDeviceWorker::Log(const std::string& first, const std::string& second) {
  if (CActivityLog* log = m_pLog.load()) log->AddLine(first, second);
}

void CDeviceWorker::SetPasswordAnswer(const std::string& password, bool remember) {
  {
    std::lock_guard<std::mutex> lock(m_answerMutex);
    m_strPassword = password;
    m_bRememberPassword = remember;
  }
  m_hPasswordEvent.Set();
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
  m_hDataReadyEvent.Set();
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
  Log(ComErrorLine(error));
}

}  // namespace skiff
