// skiffhouse.exe: the desktop downloader on Windows. One running instance per desktop,
// found by its window class; the program lives in the tray until its window is shown.
#include <windows.h>

#include <cstdlib>
#include <memory>

#include "platform/win32/app/main_window.h"
#include "platform/win32/app/resource.h"
#include "platform/win32/com/com_device_manager.h"
#include "platform/win32/http/winhttp_transport.h"
#include "platform/win32/registry/registry_profile.h"
#include "shell/downloader_shell.h"

namespace {

// How long a second start waits for the running window to take its show request.
constexpr UINT kShowRunningMs = 5000;

// Test-only: the watcher's intervals in milliseconds, so that tests need not wait the
// program's 5 and 10 seconds. Unset, the program's own values hold.
std::uint32_t TestInterval(const char* name, std::uint32_t programValue) {
  const char* text = std::getenv(name);
  if (!text || !*text) return programValue;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  return (*end == '\0' && value > 0 && value <= 600000) ? static_cast<std::uint32_t>(value) : programValue;
}

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

  CLogRelay earlyLog;
  CRegistryProfile profile;
  CRunKey runOnStartup;
  CComDeviceManagerFactory deviceManagers;
  const std::unique_ptr<IHttpTransport> transport = CreateWinHttpTransport();

  WorkerTiming timing;
  timing.watchMs = TestInterval("SKIFFHOUSE_TEST_WATCH_MS", timing.watchMs);
  timing.retryMs = TestInterval("SKIFFHOUSE_TEST_RETRY_MS", timing.retryMs);

  CDownloaderDlg window(instance);
  MainWindowParts parts{window, window, deviceManagers, *transport, profile, runOnStartup, timing, earlyLog};
  RunMainWindow(parts);
  return 0;
}
