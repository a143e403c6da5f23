// The stand-in device manager as an in-process COM server: its class factory, and the
// entry points by which regsvr32 registers it under HKEY_CLASSES_ROOT\CLSID (Wine reads
// no per-user classes) with the free threading model.
#include <new>
#include <string>

#include "platform/win32/standin/standin_manager.h"

namespace {

HMODULE g_module = nullptr;

constexpr wchar_t kClassKey[] = L"CLSID\\{BA3D0120-E617-4F66-ADCA-585CC2FB86DB}";
constexpr wchar_t kServerKey[] = L"CLSID\\{BA3D0120-E617-4F66-ADCA-585CC2FB86DB}\\InprocServer32";
constexpr wchar_t kClassName[] = L"SkiffHouse device manager stand-in";

class CStandInClassFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    if (riid != IID_IUnknown && riid != IID_IClassFactory) {
      *object = nullptr;
      return E_NOINTERFACE;
    }
    *object = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  // The one factory lives as long as the DLL; only locks keep the DLL loaded.
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }

  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    if (outer != nullptr) return CLASS_E_NOAGGREGATION;
    auto* manager = new (std::nothrow) skiff::CStandInManager;
    if (manager == nullptr) return E_OUTOFMEMORY;
    const HRESULT hr = manager->QueryInterface(riid, object);
    manager->Release();
    return hr;
  }
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
    if (lock) {
      ++skiff::g_standInUsers;
    } else {
      --skiff::g_standInUsers;
    }
    return S_OK;
  }
};

CStandInClassFactory g_classFactory;

std::wstring ModulePath() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = GetModuleFileNameW(g_module, path.data(), static_cast<DWORD>(path.size()));
    if (length == 0) return {};
    if (length < path.size()) {
      path.resize(length);
      return path;
    }
    path.resize(path.size() * 2);
  }
}

LONG SetText(HKEY key, const wchar_t* name, const std::wstring& value) {
  return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                        static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

// The server path registered for the class now, empty when none.
std::wstring RegisteredServer() {
  wchar_t path[32768];
  DWORD size = sizeof path;
  if (RegGetValueW(HKEY_CLASSES_ROOT, kServerKey, nullptr, RRF_RT_REG_SZ, nullptr, path, &size) !=
      ERROR_SUCCESS) {
    return {};
  }
  return path;
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) {
    g_module = instance;
    DisableThreadLibraryCalls(instance);
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID classId, REFIID riid, LPVOID* object) {
  if (object == nullptr) return E_POINTER;
  *object = nullptr;
  if (classId != CLSID_DevMgr) return CLASS_E_CLASSNOTAVAILABLE;
  return g_classFactory.QueryInterface(riid, object);
}

STDAPI DllCanUnloadNow() {
  return skiff::g_standInUsers.load() == 0 ? S_OK : S_FALSE;
}

STDAPI DllRegisterServer() {
  const std::wstring path = ModulePath();
  if (path.empty()) return SELFREG_E_CLASS;
  HKEY classKey = nullptr;
  HKEY serverKey = nullptr;
  LONG result = RegCreateKeyExW(HKEY_CLASSES_ROOT, kClassKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                                &classKey, nullptr);
  if (result == ERROR_SUCCESS) result = SetText(classKey, nullptr, kClassName);
  if (result == ERROR_SUCCESS) {
    result = RegCreateKeyExW(HKEY_CLASSES_ROOT, kServerKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &serverKey,
                             nullptr);
  }
  if (result == ERROR_SUCCESS) result = SetText(serverKey, nullptr, path);
  // Free: the program calls from its multithreaded apartment, and the link raises its
  // events on threads of its own.
  if (result == ERROR_SUCCESS) result = SetText(serverKey, L"ThreadingModel", L"Free");
  if (serverKey != nullptr) RegCloseKey(serverKey);
  if (classKey != nullptr) RegCloseKey(classKey);
  return result == ERROR_SUCCESS ? S_OK : SELFREG_E_CLASS;
}

STDAPI DllUnregisterServer() {
  // Only our own registration goes: the class id may belong to the maker's real server.
  const std::wstring registered = RegisteredServer();
  if (registered.empty()) return S_OK;
  if (CompareStringOrdinal(registered.c_str(), -1, ModulePath().c_str(), -1, TRUE) != CSTR_EQUAL) {
    return SELFREG_E_CLASS;
  }
  const LONG result = RegDeleteTreeW(HKEY_CLASSES_ROOT, kClassKey);
  return result == ERROR_SUCCESS || result == ERROR_FILE_NOT_FOUND ? S_OK : SELFREG_E_CLASS;
}
