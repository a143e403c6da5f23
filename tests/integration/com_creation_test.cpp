// Creation of the device manager through real COM under Wine: a class of the test's own,
// registered for this process, that offers or refuses what the creation asks for.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "device/devmgr.h"
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
};
Behaviour g_behaviour;
std::atomic<int> g_liveReferences{0};
std::atomic<int> g_runs{0};

class CTestManager : public IDevMgrMain, public IRunnableObject {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    *out = nullptr;
    if (riid == IID_IUnknown || (riid == IID_IDevMgrMain && g_behaviour.offersMain)) {
      *out = static_cast<IDevMgrMain*>(this);
    } else if (riid == IID_IRunnableObject && g_behaviour.runnable) {
      *out = static_cast<IRunnableObject*>(this);
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

  HRESULT STDMETHODCALLTYPE GetDevices(IDevMgrDeviceList** devices) override {
    *devices = nullptr;
    return S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE AdviseDeviceEvents(IDevMgrDeviceSink*, DWORD*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE UnadviseDeviceEvents(DWORD) override { return E_NOTIMPL; }

  HRESULT STDMETHODCALLTYPE GetRunningClass(CLSID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Run(IBindCtx*) override {
    ++g_runs;
    return g_behaviour.runResult;
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
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override {
    *out = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    auto* object = new CTestManager;
    object->AddRef();
    const HRESULT hr = object->QueryInterface(riid, out);
    object->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

class ComCreation : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    ASSERT_EQ(
        CoRegisterClassObject(kTestClass, &m_factory, CLSCTX_INPROC_SERVER, REGCLS_MULTIPLEUSE, &m_cookie),
        S_OK);
    g_behaviour = {};
    g_runs = 0;
  }
  void TearDown() override {
    CoRevokeClassObject(m_cookie);
    CoUninitialize();
  }

  // Two creations on a thread of their own, as the watcher makes them, in the
  // multithreaded apartment.
  HRESULT CreateOnThread(const CLSID& classId) {
    HRESULT hr = E_UNEXPECTED;
    std::thread([&] {
      CComDeviceManagerFactory factory(classId);
      IDevMgrMain* manager = nullptr;
      hr = factory.CreateDeviceManager(&manager);
      if (SUCCEEDED(hr)) {
        manager->Release();
        hr = factory.CreateDeviceManager(&manager);  // a second attempt joins again
      }
      EXPECT_EQ(SUCCEEDED(hr), manager != nullptr);
      if (manager != nullptr) {
        IDevMgrDeviceList* devices = nullptr;
        EXPECT_EQ(manager->GetDevices(&devices), S_FALSE);  // the test's own object answers
        manager->Release();
      }
      APTTYPE type;
      APTTYPEQUALIFIER qualifier;
      EXPECT_EQ(CoGetApartmentType(&type, &qualifier), S_OK);
      EXPECT_EQ(type, APTTYPE_MTA);
      CComDeviceManagerFactory::LeaveApartment();
    }).join();
    return hr;
  }

  CTestClassFactory m_factory;
  DWORD m_cookie = 0;
};

TEST_F(ComCreation, RunsTheServerAndHandsOutItsMainInterfaceOnly) {
  EXPECT_EQ(CreateOnThread(kTestClass), S_OK);
  EXPECT_EQ(g_runs.load(), 2);
  EXPECT_EQ(g_liveReferences.load(), 0);

  g_behaviour.runnable = false;  // OleRun has nothing to run: fine
  EXPECT_EQ(CreateOnThread(kTestClass), S_OK);
  EXPECT_EQ(g_liveReferences.load(), 0);
}

TEST_F(ComCreation, EachFailureIsReturnedAndNothingIsLeftReferenced) {
  g_behaviour.runResult = E_ACCESSDENIED;
  EXPECT_EQ(CreateOnThread(kTestClass), E_ACCESSDENIED);
  EXPECT_EQ(g_runs.load(), 1);
  EXPECT_EQ(g_liveReferences.load(), 0);

  g_behaviour = {};
  g_behaviour.offersMain = false;
  EXPECT_EQ(CreateOnThread(kTestClass), E_NOINTERFACE);
  EXPECT_EQ(g_liveReferences.load(), 0);

  EXPECT_EQ(CreateOnThread(kUnregisteredClass), REGDB_E_CLASSNOTREG);
}

TEST(ComApartment, TheWatcherLeavesEveryJoinWhenItEnds) {
  std::thread([] {
    CComDeviceManagerFactory factory(kUnregisteredClass);
    IDevMgrMain* manager = nullptr;
    for (int attempt = 0; attempt < 3; ++attempt) {
      EXPECT_EQ(factory.CreateDeviceManager(&manager), REGDB_E_CLASSNOTREG);
      EXPECT_EQ(manager, nullptr);
    }
    APTTYPE type;
    APTTYPEQUALIFIER qualifier;
    ASSERT_EQ(CoGetApartmentType(&type, &qualifier), S_OK);
    EXPECT_EQ(type, APTTYPE_MTA);
    factory.WatcherThreadEnding();
    // No apartment left on this thread (and none in the process to fall back on).
    EXPECT_EQ(CoGetApartmentType(&type, &qualifier), CO_E_NOTINITIALIZED);
  }).join();
}

}  // namespace
}  // namespace skiff
