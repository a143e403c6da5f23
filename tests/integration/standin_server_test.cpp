// The stand-in device-manager DLL under Wine, its class object registered for this
// process only (the prefix's registry is left alone), created the way the program
// creates it, with a simulated handheld attaching over TCP on 127.0.0.1.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "device/devmgr.h"
#include "handheld_link.h"
#include "platform/win32/com/com_device_manager.h"

namespace skiff {
namespace {

// A free loopback port for this test (never the default, which others may be using).
std::uint16_t FreePort() {
  WSADATA data;
  WSAStartup(MAKEWORD(2, 2), &data);
  const SOCKET probe = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof address;
  EXPECT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&address), size), 0);
  getsockname(probe, reinterpret_cast<sockaddr*>(&address), &size);
  closesocket(probe);
  return ntohs(address.sin_port);
}

class CArrivalSink final : public IDevMgrDeviceSink {
 public:
  CArrivalSink() : m_arrived(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}
  ~CArrivalSink() { CloseHandle(m_arrived); }
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    *object = riid == IID_IUnknown ? this : nullptr;
    return *object != nullptr ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE OnDeviceConnected(void*) override {
    SetEvent(m_arrived);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE OnDeviceDisconnected(void*) override { return S_OK; }
  bool WaitForArrival() { return WaitForSingleObject(m_arrived, 30000) == WAIT_OBJECT_0; }

 private:
  HANDLE m_arrived;
};

class StandInServer : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    std::string path = std::string("Z:") + SKIFF_STANDIN_DLL;
    for (char& c : path) c = c == '/' ? '\\' : c;
    m_dll = LoadLibraryA(path.c_str());
    ASSERT_NE(m_dll, nullptr) << path;
    m_canUnload = Export<HRESULT(STDAPICALLTYPE*)()>("DllCanUnloadNow");
    const auto getClassObject =
        Export<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>("DllGetClassObject");
    ASSERT_TRUE(m_canUnload != nullptr && getClassObject != nullptr);
    IUnknown* classObject = nullptr;
    EXPECT_EQ(getClassObject(IID_IDevMgrMain, IID_IClassFactory, reinterpret_cast<void**>(&classObject)),
              CLASS_E_CLASSNOTAVAILABLE);
    ASSERT_EQ(getClassObject(CLSID_DevMgr, IID_IClassFactory, reinterpret_cast<void**>(&classObject)), S_OK);
    ASSERT_EQ(
        CoRegisterClassObject(CLSID_DevMgr, classObject, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &m_cookie),
        S_OK);
    classObject->Release();
    m_port = FreePort();
    _putenv_s("SKIFFHOUSE_USB_PORT", std::to_string(m_port).c_str());
  }
  void TearDown() override {
    CoRevokeClassObject(m_cookie);
    CoUninitialize();
  }

  template <typename Function>
  Function Export(const char* name) {
    // Through a plain pointer: an exported function's type is known only to its caller.
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(m_dll, name)));
  }

  HMODULE m_dll = nullptr;
  HRESULT(STDAPICALLTYPE* m_canUnload)() = nullptr;
  DWORD m_cookie = 0;
  std::uint16_t m_port = 0;
};

TEST_F(StandInServer, RunsOnTheGivenPortAndServesAHandheld) {
  CComDeviceManagerFactory factory;
  IDevMgrMain* manager = nullptr;
  ASSERT_EQ(factory.CreateDeviceManager(&manager), S_OK);
  EXPECT_EQ(m_canUnload(), S_FALSE);

  // OleRun found it runnable; what it does not offer is refused.
  IRunnableObject* runnable = nullptr;
  ASSERT_EQ(manager->QueryInterface(IID_IRunnableObject, reinterpret_cast<void**>(&runnable)), S_OK);
  EXPECT_TRUE(runnable->IsRunning());
  runnable->Release();
  void* other = &other;
  EXPECT_EQ(manager->QueryInterface(IID_IDispatch, &other), E_NOINTERFACE);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(manager->QueryInterface(IID_IDevMgrDevice, &other), E_NOINTERFACE);

  CArrivalSink sink;
  DWORD cookie = 0;
  ASSERT_EQ(manager->AdviseDeviceEvents(&sink, &cookie), S_OK);
  handheld::HandheldConfig config;
  config.tcpPort = m_port;
  std::ostringstream diagnostics;
  handheld::HandheldLink handheld(config, diagnostics);
  std::string error;
  ASSERT_TRUE(handheld.Attach(&error)) << error;
  ASSERT_TRUE(sink.WaitForArrival());
  IDevMgrDeviceList* devices = nullptr;
  ASSERT_EQ(manager->GetDevices(&devices), S_OK);
  ULONG count = 0;
  EXPECT_EQ(devices->GetCount(&count), S_OK);
  EXPECT_EQ(count, 1u);
  devices->Release();
  EXPECT_EQ(manager->UnadviseDeviceEvents(cookie), S_OK);
  handheld.Detach();

  // The last reference stops the listener: the port is free again.
  manager->Release();
  handheld::HandheldLink late(config, diagnostics);
  EXPECT_FALSE(late.Attach(&error));
}

TEST_F(StandInServer, APortInUseOrNotANumberFailsTheCreation) {
  CComDeviceManagerFactory factory;
  IDevMgrMain* first = nullptr;
  ASSERT_EQ(factory.CreateDeviceManager(&first), S_OK);
  IDevMgrMain* second = nullptr;
  EXPECT_TRUE(FAILED(factory.CreateDeviceManager(&second)));
  EXPECT_EQ(second, nullptr);
  first->Release();

  _putenv_s("SKIFFHOUSE_USB_PORT", "http");
  EXPECT_EQ(factory.CreateDeviceManager(&second), E_INVALIDARG);
  IErrorInfo* info = nullptr;
  ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
  BSTR description = nullptr;
  info->GetDescription(&description);
  EXPECT_NE(std::wstring(description).find(L"SKIFFHOUSE_USB_PORT"), std::wstring::npos);
  SysFreeString(description);
  info->Release();
  EXPECT_EQ(m_canUnload(), S_OK);
}

}  // namespace
}  // namespace skiff
