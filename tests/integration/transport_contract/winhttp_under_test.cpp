// The contract test's platform part on Windows: the WinHTTP transport, the user's proxy
// setting in the registry (of the test's own Wine prefix under Wine) and the working set.
#include <windows.h>

#include <psapi.h>

#include <string>
#include <vector>

#include "platform/win32/http/winhttp_transport.h"
#include "transport_under_test.h"

namespace skiff::test {

namespace {

const wchar_t kSettingsKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings";
const wchar_t kConnectionsKey[] =
    L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";

void AppendDword(std::vector<BYTE>& blob, DWORD value) {
  for (int i = 0; i < 4; ++i) blob.push_back(static_cast<BYTE>(value >> (8 * i)));
}

void AppendText(std::vector<BYTE>& blob, const std::string& text) {
  AppendDword(blob, static_cast<DWORD>(text.size()));
  blob.insert(blob.end(), text.begin(), text.end());
}

}  // namespace

bool UnderWine() {
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

std::unique_ptr<IHttpTransport> MakeTransportUnderTest(bool trustTestCa) {
  WinHttpOptions options;
  options.ignoreUnknownCaForTests = trustTestCa;
  return CreateWinHttpTransport(options);
}

// WinHttpGetIEProxyConfigForCurrentUser reads the binary connection settings (measured:
// Wine 8 reads only those); the three plain values are what the settings dialog writes
// beside them.
void SetUserProxy(const std::string& proxy, const std::string& bypass) {
  HKEY settings = nullptr;
  HKEY connections = nullptr;
  RegCreateKeyExW(HKEY_CURRENT_USER, kSettingsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &settings,
                  nullptr);
  RegCreateKeyExW(HKEY_CURRENT_USER, kConnectionsKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &connections,
                  nullptr);
  if (proxy.empty()) {
    for (const wchar_t* name : {L"ProxyEnable", L"ProxyServer", L"ProxyOverride"})
      RegDeleteValueW(settings, name);
    RegDeleteValueW(connections, L"DefaultConnectionSettings");
  } else {
    const DWORD enable = 1;
    RegSetValueExW(settings, L"ProxyEnable", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&enable),
                   sizeof enable);
    RegSetValueExA(settings, "ProxyServer", 0, REG_SZ, reinterpret_cast<const BYTE*>(proxy.c_str()),
                   static_cast<DWORD>(proxy.size() + 1));
    RegSetValueExA(settings, "ProxyOverride", 0, REG_SZ, reinterpret_cast<const BYTE*>(bypass.c_str()),
                   static_cast<DWORD>(bypass.size() + 1));
    // Version marker, change counter, flags (direct and named proxy), proxy, bypass list,
    // no configuration script.
    std::vector<BYTE> blob;
    AppendDword(blob, 0x46);
    AppendDword(blob, 1);
    AppendDword(blob, 0x3);
    AppendText(blob, proxy);
    AppendText(blob, bypass);
    AppendText(blob, "");
    blob.resize(blob.size() + 32, 0);
    RegSetValueExW(connections, L"DefaultConnectionSettings", 0, REG_BINARY, blob.data(),
                   static_cast<DWORD>(blob.size()));
  }
  RegCloseKey(connections);
  RegCloseKey(settings);
}

std::optional<std::uint32_t> SessionsOpened(IHttpTransport& transport) {
  return dynamic_cast<WinHttpTransport&>(transport).SessionsOpened();
}

std::uint64_t ProcessMemoryBytes() {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  return counters.WorkingSetSize;
}

}  // namespace skiff::test
