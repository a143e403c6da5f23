// The password prompt and the About box: plain dialogs from the resource script.
#include "platform/win32/app/dialogs.h"

#include <utility>
#include <vector>

#include "device/worker.h"
#include "platform/win32/app/resource.h"

namespace skiff {

namespace {

void Wipe(std::string& secret) {
  SecureZeroMemory(secret.data(), secret.size());
  secret.clear();
}

INT_PTR CALLBACK AboutProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    *reinterpret_cast<HWND*>(lParam) = window;
    CentreOver(window, GetWindow(window, GW_OWNER));
    return TRUE;
  }
  if (message == WM_COMMAND && (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL)) {
    EndDialog(window, LOWORD(wParam));
    return TRUE;
  }
  return FALSE;
}

}  // namespace

void CentreOver(HWND window, HWND over) {
  RECT outer{};
  if (over != nullptr && IsWindowVisible(over)) {
    GetWindowRect(over, &outer);
  } else {
    // The work area of the monitor the window is on: the screen less the taskbar.
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    if (!GetMonitorInfoA(MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY), &monitor)) return;
    outer = monitor.rcWork;
  }
  RECT own{};
  GetWindowRect(window, &own);
  const int width = own.right - own.left;
  const int height = own.bottom - own.top;
  const int x = outer.left + (outer.right - outer.left - width) / 2;
  const int y = outer.top + (outer.bottom - outer.top - height) / 2;
  SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void RunAboutDialog(HINSTANCE instance, HWND owner, HWND* open) {
  DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_ABOUTBOX), owner, AboutProc, reinterpret_cast<LPARAM>(open));
  *open = nullptr;
}

CPasswordDlg::CPasswordDlg(std::string prompt)
    : m_strPrompt(std::move(prompt)), m_strPassword(CDeviceWorker::kNoPassword) {}

CPasswordDlg::~CPasswordDlg() {
  Wipe(m_strPassword);
}

bool CPasswordDlg::DoModal(HINSTANCE instance, HWND owner, HWND* open) {
  m_pOpen = open;
  const INT_PTR result = DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_PASSWORD), owner, DialogProc,
                                         reinterpret_cast<LPARAM>(this));
  *open = nullptr;
  if (result == -1 || result == 0) {
    Wipe(m_strPassword);
    m_strPassword = CDeviceWorker::kNoPassword;
    m_bRemember = false;
    return false;
  }
  return true;
}

INT_PTR CALLBACK CPasswordDlg::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<CPasswordDlg*>(lParam);
    SetWindowLongPtrA(window, DWLP_USER, lParam);
    *self->m_pOpen = window;
    SetDlgItemTextA(window, IDC_PROMPT, self->m_strPrompt.c_str());
    // Centred on the screen, whether the main window is shown or in the tray.
    CentreOver(window, nullptr);
    // System-modal: above every other window, which not every system derives from the
    // template's style by itself. A prompt raised from the tray comes to the front too.
    SetWindowPos(window, HWND_TOPMOST, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE);
    SetForegroundWindow(window);
    // "OK" waits for a password: an empty answer could only spend one of the handheld's
    // attempts. The keyboard starts in the password box.
    EnableWindow(GetDlgItem(window, IDOK), FALSE);
    SetFocus(GetDlgItem(window, IDC_PASSWORD));
    return FALSE;  // the focus is set
  }
  auto* self = reinterpret_cast<CPasswordDlg*>(GetWindowLongPtrA(window, DWLP_USER));
  if (!self) return FALSE;
  if (message == WM_COMMAND && LOWORD(wParam) == IDC_PASSWORD && HIWORD(wParam) == EN_CHANGE) {
    EnableWindow(GetDlgItem(window, IDOK), GetWindowTextLengthA(GetDlgItem(window, IDC_PASSWORD)) > 0);
    return TRUE;
  }
  if (message == WM_COMMAND && LOWORD(wParam) == IDOK) {
    // Enter reaches the default button even while it is unavailable: nothing is sent
    // until there is something to send.
    if (GetWindowTextLengthA(GetDlgItem(window, IDC_PASSWORD)) == 0) {
      MessageBeep(MB_OK);
      return TRUE;
    }
    self->OnOk(window);
    return TRUE;
  }
  if (message == WM_COMMAND && LOWORD(wParam) == IDCANCEL) {
    self->OnCancel(window);
    return TRUE;
  }
  return FALSE;
}

void CPasswordDlg::OnOk(HWND window) {
  const HWND box = GetDlgItem(window, IDC_PASSWORD);
  std::vector<char> typed(static_cast<std::size_t>(GetWindowTextLengthA(box)) + 1, '\0');
  const int length = GetWindowTextA(box, typed.data(), static_cast<int>(typed.size()));
  Wipe(m_strPassword);
  m_strPassword.assign(typed.data(), length > 0 ? static_cast<std::size_t>(length) : 0);
  SecureZeroMemory(typed.data(), typed.size());
  m_bRemember = SendDlgItemMessageA(window, IDC_REMEMBER, BM_GETCHECK, 0, 0) != BST_UNCHECKED;
  EndDialog(window, IDOK);
}

void CPasswordDlg::OnCancel(HWND window) {
  Wipe(m_strPassword);
  m_strPassword = CDeviceWorker::kNoPassword;
  m_bRemember = false;
  EndDialog(window, IDCANCEL);
}

}  // namespace skiff
