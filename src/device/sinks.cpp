// The device and channel event sinks: called by the device manager on threads of its
// own while the callback gate is open. The channel's events go to the challenge and to
// the channel's signals; the device events wake the watcher.
#include "device/worker.h"

namespace skiff {

HRESULT STDMETHODCALLTYPE CDeviceWorker::OnNotify() {
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CDeviceWorker::OnChallenge(LONG attemptsRemaining, BYTE answer[20]) {
  CallbackScope scope(m_callbacks);
  if (!scope.Entered()) return kChallengeCancelled;
  return m_challenge.OnChallenge(attemptsRemaining, answer, m_dwPin.load(), m_nArrival.load());
}

HRESULT STDMETHODCALLTYPE CDeviceWorker::OnDataReady() {
  CallbackScope scope(m_callbacks);
  if (scope.Entered()) m_channelSignals.OnDataReady();
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CDeviceWorker::OnClose() {
  CallbackScope scope(m_callbacks);
  if (scope.Entered()) m_channelSignals.OnClose();
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CDeviceWorker::OnDeviceConnected(void* /*device*/) {
  CallbackScope scope(m_callbacks);
  if (scope.Entered()) {
    // The close event is not reset here: a handheld that detaches and attaches again
    // before the serve loop has seen its close would leave that loop waiting on a closed
    // channel for ever. The device pass clears the channel's signals before it opens the
    // next channel.
    m_hDisconnectedEvent.Reset();
    m_hConnectedEvent.Set();
    m_log.Log(LogTo::LogAndConsole, "Device connected!");
  }
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CDeviceWorker::OnDeviceDisconnected(void* /*device*/) {
  CallbackScope scope(m_callbacks);
  if (scope.Entered()) {
    m_hDisconnectedEvent.Set();
    m_log.Log(LogTo::LogAndConsole, "Device disconnected");
  }
  return S_OK;
}

}  // namespace skiff
