// The device and channel event sinks: called by the device manager on threads of its
// own, they only set or reset the worker's events and write to the log. The password
// challenge is in challenge.cpp.
#include "device/worker.h"

namespace skiff {

HRESULT STDMETHODCALLTYPE CDeviceWorker::OnNotify() {
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CDeviceWorker::OnDataReady() {
  CallbackScope scope(m_callbacks);
  if (scope.Entered()) {
    m_nAnnouncedPackets.fetch_add(1);
    m_hDataReadyEvent.Set();
  }
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CDeviceWorker::OnClose() {
  CallbackScope scope(m_callbacks);
  if (scope.Entered()) {
    Log("rawOnClose");
    m_hPortClosedEvent.Set();
  }
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CDeviceWorker::OnDeviceConnected(void* /*device*/) {
  CallbackScope scope(m_callbacks);
  if (scope.Entered()) {
    // The close event is not reset here: a handheld that detaches and attaches again
    // before the serve loop has seen its close would leave that loop waiting on a closed
    // channel for ever. The device pass resets it before it opens the next channel.
    m_hDisconnectedEvent.Reset();
    m_hConnectedEvent.Set();
    Log("Device connected!");
  }
  return S_OK;
}

HRESULT STDMETHODCALLTYPE CDeviceWorker::OnDeviceDisconnected(void* /*device*/) {
  CallbackScope scope(m_callbacks);
  if (scope.Entered()) {
    m_hDisconnectedEvent.Set();
    Log("Device disconnected");
  }
  return S_OK;
}

}  // namespace skiff
