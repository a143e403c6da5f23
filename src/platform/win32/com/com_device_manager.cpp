// The device manager created through COM, and the watcher thread's apartment.
#include "platform/win32/com/com_device_manager.h"

#include "device/api/devmgr.h"

namespace skiff {
namespace {

// Every context the server may run in: in-process server and handler, local and remote
// server (23).
constexpr DWORD kAnyServerContext =
    CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;
static_assert(kAnyServerContext == 23);

// Joins of this thread still to be undone.
thread_local int t_apartmentJoins = 0;

// After a failed step on the created object: the thread's error object describes it only
// when the object says it reports errors for that interface; otherwise whatever is there
// belongs to something else and goes, so that the caller's line names no other error.
void KeepErrorInfoIfGiven(IUnknown* object, REFIID iid) {
  ISupportErrorInfo* support = nullptr;
  bool given = false;
  if (SUCCEEDED(object->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(&support))) &&
      support != nullptr) {
    given = support->InterfaceSupportsErrorInfo(iid) == S_OK;
    support->Release();
  }
  if (!given) SetErrorInfo(0, nullptr);
}

}  // namespace

CComDeviceManagerFactory::CComDeviceManagerFactory(const CLSID& classId) : m_classId(classId) {}

CComDeviceManagerFactory::CComDeviceManagerFactory() : m_classId(CLSID_DevMgr) {}

void CComDeviceManagerFactory::JoinApartment() {
  // S_FALSE (joined already) counts too: every success must be matched by one leave.
  if (SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) ++t_apartmentJoins;
}

void CComDeviceManagerFactory::LeaveApartment() {
  for (; t_apartmentJoins > 0; --t_apartmentJoins) CoUninitialize();
}

HRESULT CComDeviceManagerFactory::CreateDeviceManager(IDevMgrMain** deviceManager) {
  if (deviceManager == nullptr) return E_POINTER;
  *deviceManager = nullptr;
  JoinApartment();
  // Nothing from an earlier call stands for this attempt's failure.
  SetErrorInfo(0, nullptr);
  IUnknown* object = nullptr;
  HRESULT hr = CoCreateInstance(m_classId, nullptr, kAnyServerContext, IID_IUnknown,
                                reinterpret_cast<void**>(&object));
  if (SUCCEEDED(hr) && object == nullptr) hr = E_POINTER;
  if (SUCCEEDED(hr)) {
    hr = OleRun(object);
    if (FAILED(hr)) KeepErrorInfoIfGiven(object, IID_IRunnableObject);
  }
  if (SUCCEEDED(hr)) {
    hr = object->QueryInterface(IID_IDevMgrMain, reinterpret_cast<void**>(deviceManager));
    if (SUCCEEDED(hr) && *deviceManager == nullptr) hr = E_POINTER;
    if (FAILED(hr)) KeepErrorInfoIfGiven(object, IID_IDevMgrMain);
    if (FAILED(hr) && *deviceManager != nullptr) {
      (*deviceManager)->Release();
      *deviceManager = nullptr;
    }
  }
  if (object != nullptr) object->Release();
  return hr;
}

}  // namespace skiff
