// The Windows main window: the IDD_MAIN dialog of class "SINGLE_INSTANCE_APPKZRW" with
// the activity log, "Hide", "Exit" and "Run On Startup", its tray icon, the About box,
// and the password prompt that the device worker asks for.
#pragma once

#include <windows.h>

#include <cstdint>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "shell/main_window_run.h"
#include "shell/password_handoff.h"

namespace skiff {

// The class name is the whole single-instance protocol between two starts.
inline constexpr char kMainWindowClass[] = "SINGLE_INSTANCE_APPKZRW";
// Tray icon callback: wParam = icon id (IDI_MAIN), lParam = the mouse message.
inline constexpr UINT WM_TRAY_NOTIFY = WM_USER + 2;
// Posted to the window when a password request waits, or the shown one was withdrawn.
inline constexpr UINT WM_PASSWORD_REQUEST = WM_USER + 3;
// Posted to the window when the log has new text to show.
inline constexpr UINT WM_LOG_REFRESH = WM_APP + 1;

// Registers the main window's class (the system's dialog procedure with the dialog's
// extra bytes, the program's icon, the arrow cursor, a button-face brush). Its result is
// not needed: a failure shows up as a dialog that cannot be created.
void RegisterMainWindowClass(HINSTANCE instance);

class CDownloaderDlg final : public IMainWindow, public IPasswordRequester {
 public:
  explicit CDownloaderDlg(HINSTANCE instance);
  ~CDownloaderDlg() override;
  CDownloaderDlg(const CDownloaderDlg&) = delete;
  CDownloaderDlg& operator=(const CDownloaderDlg&) = delete;

  // ILogDisplay: any thread. The text is kept here and the window is told by a posted
  // message, so a writer never waits for the window's thread (which logs too, and at
  // exit waits for the writers to stop).
  bool IsAlive() const override;
  void ShowText(const std::string& keptText, const std::string& appended) override;

  // IMainWindow: the owner's thread, which runs the window.
  void SetTitle(const std::string& title) override;
  void SetRunOnStartupCheck(bool checked) override;
  void RunModal(IMainWindowHost& host) override;
  void Destroy() override;

  // IPasswordRequester: any thread. The prompt runs on the window's thread; the caller
  // waits until its answer has been handed to the host (through the shell's hand-off).
  void RequestPassword(std::int32_t attemptsRemaining, std::uint32_t pin) override;
  void Abandon() override;

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  void OnInitDialog();
  bool OnPaint();
  void OnCommand(WORD id, WORD code);

  BOOL Tray(DWORD message);
  void ShowHide(bool hide);
  void ShowAbout();
  void RefreshLog();
  void ReplaceLog(HWND box, std::string text, std::uint64_t textStart);
  static LRESULT VisibleLines(HWND box);
  void OpenPrompts();
  // Ends the window's run; open About and password dialogs end first, the password
  // dialog as a cancel.
  void End(int result);
  void WakeForPrompt();

  const HINSTANCE m_hInstance;
  const HICON m_hIcon;
  const HICON m_hSmallIcon;
  const UINT m_uTaskbarCreated;

  // The window's thread only.
  HWND m_hWnd = nullptr;
  HWND m_hAbout = nullptr;
  HWND m_hPrompt = nullptr;
  bool m_bHidden = true;
  bool m_bEnding = false;
  bool m_bPromptRunning = false;
  std::string m_strTitle;
  // What the log box holds: the log's text as of the last refresh, and where it starts
  // in all the bytes ever logged.
  bool m_bBoxFilled = false;
  std::string m_strBox;
  std::uint64_t m_ullBoxStart = 0;
  bool m_bRunOnStartup = false;
  IMainWindowHost* m_pHost = nullptr;

  // Shared with the log's writers.
  mutable std::mutex m_displayMutex;
  std::string m_strShown;
  std::uint64_t m_ullLogEnd = 0;  // all the bytes logged so far: where m_strShown ends
  bool m_bRefreshPosted = false;
  bool m_bAlive = true;
  HWND m_hPostTarget = nullptr;  // the window while it exists

  // Shared with the threads that ask for a password: where their wake-up goes.
  std::mutex m_wakeMutex;
  HWND m_hWakeTarget = nullptr;
  CPasswordHandOff m_passwords;
};

}  // namespace skiff
