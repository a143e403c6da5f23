// Creation of the device manager through real COM under Wine: a class of the test's own,
// registered for this process, that offers or refuses what the creation asks for.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "device/api/devmgr.h"
#include "platform/win32/com/com_device_manager.h"

namespace skiff {
namespace {

const CLSID kTestClass = {0x5e0c1d2a, 0x8b1f, 0x4c3e, {0x9a, 0x51, 0x2d, 0x7e, 0x60, 0x11, 0xa4, 0x3b}};
const CLSID kUnregisteredClass = {
    0x5e0c1d2a, 0x8b1f, 0x4c3e, {0x9a, 0x51, 0x2d, 0x7e, 0x60, 0x11, 0xa4, 0x3c}};

// What the next created object offers, and what happened to the objects made.
struct Behaviour {
  bool runnable = true;
  HRESULT runResult = S_OK;
  bool offersMain = true;
  // A failed Run leaves an error object on the thread; reportsErrors: the object says so.
  bool describesRunFailure = false;
  bool reportsErrors = false;
};
Behaviour g_behaviour;
std::atomic<int> g_liveReferences{0};
std::atomic<int> g_runs{0};

class CTestManager : public IDevMgrMain, public IRunnableObject, public ISupportErrorInfo {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    *out = nullptr;
    if (riid == IID_IUnknown || (riid == IID_IDevMgrMain && g_behaviour.offersMain)) {
      *out = static_cast<IDevMgrMain*>(this);
    } else if (riid == IID_IRunnableObject && g_behaviour.runnable) {
      *out = static_cast<IRunnableObject*>(this);
    } else if (riid == IID_ISupportErrorInfo) {
      *out = static_cast<ISupportErrorInfo*>(this);
    } else {
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override {
    ++g_liveReferences;
    return static_cast<ULONG>(++m_refs);
  }
  ULONG STDMETHODCALLTYPE Release() override {
    --g_liveReferences;
    const int left = --m_refs;
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
  }

  HRESULT STDMETHODCALLTYPE GetDevices(IDevMgrDeviceList**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE AdviseDeviceEvents(IDevMgrDeviceSink*, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE UnadviseDeviceEvents(DWORD) override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE GetRunningClass(CLSID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Run(IBindCtx*) override {
    ++g_runs;
    ICreateErrorInfo* create = nullptr;
    if (FAILED(g_behaviour.runResult) && g_behaviour.describesRunFailure &&
        SUCCEEDED(CreateErrorInfo(&create))) {
      create->SetDescription(const_cast<LPOLESTR>(L"the handheld service is stopped"));
      IErrorInfo* info = nullptr;
      if (SUCCEEDED(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&info)))) {
        SetErrorInfo(0, info);
        info->Release();
      }
      create->Release();
    }
    return g_behaviour.runResult;
  }
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID) override {
    return g_behaviour.reportsErrors ? S_OK : S_FALSE;
  }
  BOOL STDMETHODCALLTYPE IsRunning() override { return TRUE; }
  HRESULT STDMETHODCALLTYPE LockRunning(BOOL, BOOL) override { return S_OK; }
  HRESULT STDMETHODCALLTYPE SetContainedObject(BOOL) override { return S_OK; }

 private:
  virtual ~CTestManager() = default;
  std::atomic<int> m_refs{0};
};

class CTestClassFactory : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    *out = (riid == IID_IUnknown || riid == IID_IClassFactory) ? this : nullptr;
    return *out != nullptr ? S_OK : E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown*, REFIID riid, void** out) override {
    *out = nullptr;
    auto* object = new CTestManager;
    object->AddRef();
    const HRESULT hr = object->QueryInterface(riid, out);
    object->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

// Two creation attempts on a thread of their own, as the watcher makes them (each joins
// the multithreaded apartment); every join is left when the watcher ends, which shows
// when nothing else holds the apartment. The second attempt's result; *described gets
// the description of the error object it left on the thread ("" for none).
HRESULT CreateOnThread(const CLSID& classId, bool aloneInTheApartment = false,
                       std::wstring* described = nullptr) {
  HRESULT hr = E_UNEXPECTED;
  std::thread([&] {
    CComDeviceManagerFactory factory(classId);
    for (int attempt = 0; attempt < 2; ++attempt) {
      IDevMgrMain* manager = nullptr;
      hr = factory.CreateDeviceManager(&manager);
      EXPECT_EQ(SUCCEEDED(hr), manager != nullptr);
      if (manager != nullptr) manager->Release();
    }
    IErrorInfo* info = nullptr;
    if (described != nullptr && GetErrorInfo(0, &info) == S_OK && info != nullptr) {
      BSTR text = nullptr;
      if (SUCCEEDED(info->GetDescription(&text)) && text != nullptr) *described = text;
      SysFreeString(text);
      info->Release();
    }
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    EXPECT_EQ(CoGetApartmentType(&type, &qualifier), S_OK);
    EXPECT_EQ(type, APTTYPE_MTA);
    factory.WatcherThreadEnding();
    // Alone: no apartment left on this thread, and none in the process to fall back on.
    EXPECT_TRUE(!aloneInTheApartment || CoGetApartmentType(&type, &qualifier) == CO_E_NOTINITIALIZED);
  }).join();
  return hr;
}

TEST(ComCreation, RunsTheServerHandsOutItsMainInterfaceOnlyAndReturnsEachFailure) {
  EXPECT_EQ(CreateOnThread(kUnregisteredClass, true), REGDB_E_CLASSNOTREG);
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  CTestClassFactory classFactory;
  DWORD cookie = 0;
  ASSERT_EQ(
      CoRegisterClassObject(kTestClass, &classFactory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &cookie),
      S_OK);
  struct Case {
    Behaviour behaviour;
    HRESULT result;
    int runs;
  };
  // Not runnable: OleRun has nothing to run, which is fine.
  for (const Case& c :
       {Case{{}, S_OK, 2}, Case{{false, S_OK, true}, S_OK, 0},
        Case{{true, E_ACCESSDENIED, true}, E_ACCESSDENIED, 2}, Case{{true, S_OK, false}, E_NOINTERFACE, 2}}) {
    g_behaviour = c.behaviour;
    g_runs = 0;
    EXPECT_EQ(CreateOnThread(kTestClass), c.result);
    EXPECT_EQ(g_runs.load(), c.runs);
    EXPECT_EQ(g_liveReferences.load(), 0);
  }
  // A failed run is described when the object reports errors for it, and only then.
  for (const bool reports : {true, false}) {
    g_behaviour = {true, E_ACCESSDENIED, true, true, reports};
    std::wstring described = L"none yet";
    EXPECT_EQ(CreateOnThread(kTestClass, false, &described), E_ACCESSDENIED);
    EXPECT_EQ(described, reports ? L"the handheld service is stopped" : L"none yet");
    EXPECT_EQ(g_liveReferences.load(), 0);
  }
  CoRevokeClassObject(cookie);
  CoUninitialize();
}

}  // namespace
}  // namespace skiff
