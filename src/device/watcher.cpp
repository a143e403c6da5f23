// The watcher thread: creates the device manager (retrying until it can), registers the
// worker for device events, runs a device pass on every arrival or every few seconds,
// and tears the connection down when it is told to stop.
#include "device/worker.h"

namespace skiff {

void CDeviceWorker::Run() {
  // m_bStop is cleared by Start() before the thread exists, not here: a Stop() that
  // comes before the thread first runs must not be forgotten.
  Register();
  if (!m_bRegistered && !m_bStop.load()) Register();
  while (!m_bRegistered) {
    // Waiting on the stop event rather than sleeping lets an orderly stop end the
    // retries at once.
    if (m_hStopEvent.Wait(m_timing.retryMs) != WaitResult::Timeout) break;
    Register();
  }

  for (;;) {
    if (m_bStop.load()) {
      Shutdown();
      return;
    }
    switch (WaitForAny(m_hWatchWait[0], m_hWatchWait[1], m_timing.watchMs)) {
      case WaitResult::Object0:
      case WaitResult::Timeout:
        ServeDevice();
        break;
      case WaitResult::Object1:
        // Only Stop() sets the stop event. It expects the device manager released
        // before it returns, so that no device event reaches a worker that is about
        // to go: hence Shutdown here too, not just the end of the thread.
        m_bStop.store(true);
        Shutdown();
        return;
      default:
        return;
    }
  }
}

void CDeviceWorker::Register() {
  // Joining the platform's thread model for the device manager (the COM apartment on
  // Windows) is the factory's part, done at every attempt and left at WatcherThreadEnding.
  if (m_pDeviceManager != nullptr) {
    m_pDeviceManager->Release();
    m_pDeviceManager = nullptr;
  }

  try {
    IDevMgrMain* manager = nullptr;
    SetErrorInfo(0, nullptr);  // an error object left from before describes nothing here
    HRESULT hr = m_factory.CreateDeviceManager(&manager);
    if (FAILED(hr) && manager != nullptr) {
      manager->Release();
      manager = nullptr;
    }
    if (SUCCEEDED(hr) && manager == nullptr) hr = E_POINTER;
    if (FAILED(hr)) {
      // The factory leaves the failing object's error object on the thread, if it gave one.
      IErrorInfo* errorInfo = nullptr;
      if (GetErrorInfo(0, &errorInfo) != S_OK) errorInfo = nullptr;
      const ComError error(hr, errorInfo);
      if (errorInfo != nullptr) errorInfo->Release();
      throw error;
    }
    m_pDeviceManager = manager;
    m_bRegistered = true;
    m_bClientConnected = false;
  } catch (const ComError& error) {
    m_bRegistered = false;
    m_log.Log(LogTo::LogAndConsole, "Error registering with BBDevMgr:");
    LogComError(error);
  }

  try {
    ThrowIfNull(m_pDeviceManager);
    ThrowIfFailed(
        m_pDeviceManager->AdviseDeviceEvents(static_cast<IDevMgrDeviceSink*>(this), &m_dwAdviseCookie),
        m_pDeviceManager, IID_IDevMgrMain);
    m_bAdvised = true;
  } catch (const ComError& error) {
    m_log.Log(LogTo::LogAndConsole, "Connection advice is unavailable");
    LogComError(error);
  }

  m_challenge.ForgetCancel();
  m_nArrival.store(0);
  m_bDevicePresent = 0;
}

void CDeviceWorker::ResetConnection() {
  if (m_bAdvised && m_pDeviceManager != nullptr) {
    try {
      ThrowIfFailed(m_pDeviceManager->UnadviseDeviceEvents(m_dwAdviseCookie), m_pDeviceManager,
                    IID_IDevMgrMain);
    } catch (const ComError& error) {
      m_log.Log(LogTo::LogAndConsole, "Error unadvising during reset");
      LogComError(error);
    }
    m_bAdvised = false;
  }
  if (m_pDeviceManager != nullptr) {
    m_pDeviceManager->Release();
    m_pDeviceManager = nullptr;
  }
  m_bRegistered = false;
  m_bClientConnected = false;
}

void CDeviceWorker::Shutdown() {
  ResetConnection();
  const bool channelWasOpen = m_pChannel != nullptr;
  if (m_pChannel != nullptr) {
    m_pChannel->Release();
    m_pChannel = nullptr;
  }
  // Give the device manager time to report the close of a channel released just now.
  // With no channel left open no close can come, and waiting would only hold up the
  // stop by the whole 5 seconds.
  if (channelWasOpen) m_channelSignals.WaitForClose(5000);
  // The events are members that live as long as the worker, so instead of closing them
  // the callback gate closes: a late callback touches nothing, and one that is still
  // running is waited for.
  m_callbacks.CloseAndDrain();
  m_http.Reset();
}

}  // namespace skiff
