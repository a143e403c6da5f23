// The stand-in device manager's COM object: what CoCreateInstance hands out. It starts
// the USB-link device manager on TCP at 127.0.0.1 when it is run and passes the
// device-manager calls on to it.
#pragma once

#include <atomic>
#include <mutex>

#include "device/api/devmgr.h"

namespace skiff {

// Objects and server locks alive in the DLL; it may be unloaded only at zero.
extern std::atomic<long> g_standInUsers;

class CStandInManager final : public IDevMgrMain, public IRunnableObject {
 public:
  CStandInManager();

  // IUnknown: IDevMgrMain and IRunnableObject, nothing else (E_NOINTERFACE).
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IDevMgrMain, passed on to the link's manager; a manager not run yet is run first.
  HRESULT STDMETHODCALLTYPE GetDevices(IDevMgrDeviceList** devices) override;
  HRESULT STDMETHODCALLTYPE AdviseDeviceEvents(IDevMgrDeviceSink* sink, DWORD* cookie) override;
  HRESULT STDMETHODCALLTYPE UnadviseDeviceEvents(DWORD cookie) override;

  // IRunnableObject: Run starts listening on $SKIFFHOUSE_USB_PORT (default 47147).
  HRESULT STDMETHODCALLTYPE GetRunningClass(CLSID* classId) override;
  HRESULT STDMETHODCALLTYPE Run(IBindCtx* context) override;
  BOOL STDMETHODCALLTYPE IsRunning() override;
  HRESULT STDMETHODCALLTYPE LockRunning(BOOL lock, BOOL lastUnlockCloses) override;
  HRESULT STDMETHODCALLTYPE SetContainedObject(BOOL contained) override;

 private:
  ~CStandInManager();
  // The link's manager with one reference for the caller, running it first if needed.
  HRESULT Running(IDevMgrMain** manager);

  std::atomic<ULONG> m_refs{1};
  std::mutex m_mutex;
  IDevMgrMain* m_link = nullptr;  // guarded by m_mutex
};

}  // namespace skiff
