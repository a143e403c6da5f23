// The stand-in's COM object over the USB-link manager. Failures to start are told to
// the caller with error information and written to the process's standard error, since
// the stand-in has no window of its own.
#include "platform/win32/standin/standin_manager.h"

#include <cstdio>
#include <string>

#include "usb_link/usb_device_manager.h"
#include "usb_link/usb_stream.h"

namespace skiff {

std::atomic<long> g_standInUsers{0};

namespace {

// The link's messages (a handheld dropped for bad input, the port in use) for whoever
// watches the process's standard error.
class CStandInLog final : public ILogSink {
 public:
  void Log(const std::string& line) override {
    std::fprintf(stderr, "SkiffHouse device manager stand-in: %s\n", line.c_str());
    std::fflush(stderr);
  }
};

CStandInLog& StandInLog() {
  // Never destroyed: the link's threads may still write while the process ends.
  static auto* log = new CStandInLog;
  return *log;
}

// Makes description the thread's error information, for the caller's error line.
HRESULT Fail(HRESULT code, const std::string& description) {
  ICreateErrorInfo* create = nullptr;
  if (SUCCEEDED(CreateErrorInfo(&create))) {
    const std::wstring wide(description.begin(), description.end());
    create->SetDescription(const_cast<LPOLESTR>(wide.c_str()));
    create->SetGUID(IID_IDevMgrMain);
    IErrorInfo* info = nullptr;
    if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
      SetErrorInfo(0, info);
      info->Release();
    }
    create->Release();
  }
  StandInLog().Log(description);
  return code;
}

}  // namespace

CStandInManager::CStandInManager() {
  ++g_standInUsers;
}

CStandInManager::~CStandInManager() {
  if (m_link != nullptr) m_link->Release();  // stops listening and closes the port
  --g_standInUsers;
}

HRESULT CStandInManager::QueryInterface(REFIID riid, void** object) {
  if (object == nullptr) return E_POINTER;
  if (riid == IID_IUnknown || riid == IID_IDevMgrMain) {
    *object = static_cast<IDevMgrMain*>(this);
  } else if (riid == IID_IRunnableObject) {
    *object = static_cast<IRunnableObject*>(this);
  } else {
    *object = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG CStandInManager::AddRef() {
  return ++m_refs;
}

ULONG CStandInManager::Release() {
  const ULONG left = --m_refs;
  if (left == 0) delete this;
  return left;
}

HRESULT CStandInManager::Run(IBindCtx*) {
  std::lock_guard<std::mutex> lock(m_mutex);
  if (m_link != nullptr) return S_OK;
  std::uint16_t port = 0;
  std::string reason;
  if (!usblink::UsbPortFromEnvironment(&port, &reason)) return Fail(E_INVALIDARG, reason);
  return CreateTcpUsbDeviceManager(port, StandInLog(), &m_link);
}

BOOL CStandInManager::IsRunning() {
  std::lock_guard<std::mutex> lock(m_mutex);
  return m_link != nullptr;
}

HRESULT CStandInManager::Running(IDevMgrMain** manager) {
  *manager = nullptr;
  const HRESULT hr = Run(nullptr);
  if (FAILED(hr)) return hr;
  std::lock_guard<std::mutex> lock(m_mutex);
  *manager = m_link;
  m_link->AddRef();
  return S_OK;
}

HRESULT CStandInManager::GetDevices(IDevMgrDeviceList** devices) {
  IDevMgrMain* link = nullptr;
  HRESULT hr = Running(&link);
  if (SUCCEEDED(hr)) {
    hr = link->GetDevices(devices);
    link->Release();
  }
  return hr;
}

HRESULT CStandInManager::AdviseDeviceEvents(IDevMgrDeviceSink* sink, DWORD* cookie) {
  IDevMgrMain* link = nullptr;
  HRESULT hr = Running(&link);
  if (SUCCEEDED(hr)) {
    hr = link->AdviseDeviceEvents(sink, cookie);
    link->Release();
  }
  return hr;
}

HRESULT CStandInManager::UnadviseDeviceEvents(DWORD cookie) {
  IDevMgrMain* link = nullptr;
  HRESULT hr = Running(&link);
  if (SUCCEEDED(hr)) {
    hr = link->UnadviseDeviceEvents(cookie);
    link->Release();
  }
  return hr;
}

HRESULT CStandInManager::GetRunningClass(CLSID* classId) {
  if (classId == nullptr) return E_POINTER;
  *classId = CLSID_DevMgr;
  return S_OK;
}

HRESULT CStandInManager::LockRunning(BOOL, BOOL) {
  return S_OK;
}

HRESULT CStandInManager::SetContainedObject(BOOL) {
  return S_OK;
}

}  // namespace skiff
