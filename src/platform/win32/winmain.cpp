// skiffhouse.exe: the desktop downloader on Windows. One running instance per desktop,
// found by its window class; the program lives in the tray until its window is shown.
#include <windows.h>

#include <commctrl.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/win32/app/downloader_dlg.h"
#include "platform/win32/app/resource.h"
#include "platform/win32/com/com_device_manager.h"
#include "platform/win32/http/winhttp_transport.h"
#include "platform/win32/registry/registry_profile.h"
#include "shell/main_window_run.h"

namespace {

// How long a second start waits for the running window to take its show request.
constexpr UINT kShowRunningMs = 5000;

// A second start: the running window is shown, comes to the front and stays shown (the
// tray's double click clears its hidden flag, which a bare show would not).
void ShowRunningInstance(HWND running) {
  DWORD processId = 0;
  GetWindowThreadProcessId(running, &processId);
  AllowSetForegroundWindow(processId);
  DWORD_PTR ignored = 0;
  SendMessageTimeoutA(running, skiff::WM_TRAY_NOTIFY, IDI_MAIN, WM_LBUTTONDBLCLK, SMTO_ABORTIFHUNG,
                      kShowRunningMs, &ignored);
  ShowWindow(running, SW_SHOW);
  SetForegroundWindow(running);
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE /*previous*/, LPSTR /*commandLine*/, int /*show*/) {
  using namespace skiff;
  RegisterMainWindowClass(instance);
  if (const HWND running = FindWindowA(kMainWindowClass, nullptr)) {
    // Nothing else is created and nothing is written.
    ShowRunningInstance(running);
    return 0;
  }

  // The themed controls that the manifest asks for come from the common controls.
  INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&controls);

  CLogRelay earlyLog;
  CRegistryProfile profile;
  CRunKey runOnStartup;
  CComDeviceManagerFactory deviceManagers;
  WinHttpOptions httpOptions;
#if SKIFF_TEST_HOOKS
  // Test builds only: Wine's WinHTTP trusts no test authority, so the tests under Wine
  // accept an unknown one. A shipped build has no way to turn the check off.
  const char* ignoreUnknownCa = std::getenv("SKIFFHOUSE_TEST_IGNORE_UNKNOWN_CA");
  httpOptions.ignoreUnknownCaForTests = ignoreUnknownCa != nullptr && std::strcmp(ignoreUnknownCa, "1") == 0;
#endif
  const std::unique_ptr<IHttpTransport> transport = CreateWinHttpTransport(httpOptions);

  const WorkerTiming timing = WorkerTimingFromEnvironment();

  CDownloaderDlg window(instance);
  MainWindowParts parts{window, window, deviceManagers, *transport, profile, runOnStartup, timing, earlyLog};
  RunMainWindow(parts);
  return 0;
}
