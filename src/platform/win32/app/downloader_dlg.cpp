// The Windows main window: a modal run of IDD_MAIN, hidden to the tray at its first
// paint, with the log shown from any thread through posted messages and password
// prompts opened on the window's thread for the threads that wait for them.
#include "platform/win32/app/downloader_dlg.h"

#include <shellapi.h>

#include <algorithm>
#include <utility>

#include "device/worker.h"
#include "platform/win32/app/dialogs.h"
#include "platform/win32/app/exit_deadline.h"
#include "platform/win32/app/resource.h"
#include "shell/shell_texts.h"

namespace skiff {

void RegisterMainWindowClass(HINSTANCE instance) {
  WNDCLASSA windowClass{};
  windowClass.style = CS_DBLCLKS | CS_SAVEBITS | CS_BYTEALIGNWINDOW;
  windowClass.lpfnWndProc = DefDlgProcA;
  windowClass.cbClsExtra = 0;
  windowClass.cbWndExtra = DLGWINDOWEXTRA;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDI_MAIN));
  windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
  windowClass.hbrBackground = CreateSolidBrush(GetSysColor(COLOR_BTNFACE));
  windowClass.lpszMenuName = nullptr;
  windowClass.lpszClassName = kMainWindowClass;
  RegisterClassA(&windowClass);
}

CDownloaderDlg::CDownloaderDlg(HINSTANCE instance)
    : m_hInstance(instance),
      m_hIcon(LoadIconA(instance, MAKEINTRESOURCEA(IDI_MAIN))),
      // The icon's own small image for the title bar and the tray, not the big one
      // scaled down by the system.
      m_hSmallIcon(static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(IDI_MAIN), IMAGE_ICON,
                                                 GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                                 LR_DEFAULTCOLOR))),
      // A restarted taskbar has lost every tray icon: this message asks for them again.
      m_uTaskbarCreated(RegisterWindowMessageA("TaskbarCreated")),
      m_strTitle(kAppTitle),
      m_passwords([this] { WakeForPrompt(); }) {}

CDownloaderDlg::~CDownloaderDlg() {
  if (m_hSmallIcon) DestroyIcon(m_hSmallIcon);
}

// ---- The log's display --------------------------------------------------------------

bool CDownloaderDlg::IsAlive() const {
  std::lock_guard<std::mutex> lock(m_displayMutex);
  return m_bAlive;
}

void CDownloaderDlg::ShowText(const std::string& keptText, const std::string& appended) {
  HWND target = nullptr;
  {
    std::lock_guard<std::mutex> lock(m_displayMutex);
    if (!m_bAlive) return;
    m_strShown = keptText;
    // The first refresh may hand over more than was appended since the display was bound.
    m_ullLogEnd = std::max<std::uint64_t>(m_ullLogEnd + appended.size(), keptText.size());
    // One refresh in flight is enough: it shows whatever text is newest when it runs.
    if (m_hPostTarget && !m_bRefreshPosted) {
      m_bRefreshPosted = true;
      target = m_hPostTarget;
    }
  }
  if (target && !PostMessageA(target, WM_LOG_REFRESH, 0, 0)) {
    std::lock_guard<std::mutex> lock(m_displayMutex);
    m_bRefreshPosted = false;
  }
}

namespace {

// Characters the edit box holds for these bytes of the code page.
LONG_PTR BoxChars(const char* text, std::size_t bytes) {
  if (bytes == 0) return 0;
  const int chars = MultiByteToWideChar(CP_ACP, 0, text, static_cast<int>(bytes), nullptr, 0);
  return chars > 0 ? chars : static_cast<LONG_PTR>(bytes);
}

}  // namespace

// New lines are appended and dropped ones cut from the start, so that a user who
// scrolled up to read or selected text to copy keeps the place: the box follows the
// newest line only when its last line was in view, and a selection stays on its text.
// The whole text goes in only at the first refresh, after the log dropped everything
// the box held, or after the user typed into the box.
void CDownloaderDlg::RefreshLog() {
  std::string text;
  std::uint64_t logEnd = 0;
  {
    std::lock_guard<std::mutex> lock(m_displayMutex);
    m_bRefreshPosted = false;
    text = m_strShown;
    logEnd = m_ullLogEnd;
  }
  const HWND box = GetDlgItem(m_hWnd, IDC_LOG);
  const std::uint64_t textStart = logEnd - text.size();
  const std::uint64_t boxEnd = m_ullBoxStart + m_strBox.size();
  const bool edited = SendMessageA(box, EM_GETMODIFY, 0, 0) != 0;
  if (!m_bBoxFilled || edited || textStart < m_ullBoxStart || textStart >= boxEnd || logEnd < boxEnd) {
    ReplaceLog(box, text, textStart);
    return;
  }
  if (logEnd == boxEnd && textStart == m_ullBoxStart) return;
  const auto droppedBytes = static_cast<std::size_t>(textStart - m_ullBoxStart);
  const auto newFrom = static_cast<std::size_t>(boxEnd - textStart);

  // Where the user is: the selection, and whether the last line is in view.
  DWORD selStart = 0;
  DWORD selEnd = 0;
  SendMessageA(box, EM_GETSEL, reinterpret_cast<WPARAM>(&selStart), reinterpret_cast<LPARAM>(&selEnd));
  const auto lengthBefore = static_cast<DWORD>(GetWindowTextLengthW(box));
  const LRESULT firstVisible = SendMessageA(box, EM_GETFIRSTVISIBLELINE, 0, 0);
  const LRESULT linesBefore = SendMessageA(box, EM_GETLINECOUNT, 0, 0);
  const LRESULT visibleLines = VisibleLines(box);
  // The empty line after the last line end is the box's last line.
  const bool atEnd = firstVisible + visibleLines >= linesBefore;
  const bool caretAtEnd = selStart == selEnd && selEnd == lengthBefore;

  SendMessageA(box, WM_SETREDRAW, FALSE, 0);
  // Appended first, while the box's positions still count from the old start.
  SendMessageA(box, EM_SETSEL, lengthBefore, lengthBefore);
  SendMessageA(box, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(text.c_str() + newFrom));
  const auto droppedChars = static_cast<DWORD>(BoxChars(m_strBox.data(), droppedBytes));
  LRESULT droppedLines = 0;
  for (std::size_t at = m_strBox.find("\r\n"); at != std::string::npos && at < droppedBytes;
       at = m_strBox.find("\r\n", at + 2))
    ++droppedLines;
  if (droppedChars > 0) {
    SendMessageA(box, EM_SETSEL, 0, droppedChars);
    SendMessageA(box, EM_REPLACESEL, FALSE, reinterpret_cast<LPARAM>(""));
  }
  const auto length = static_cast<DWORD>(GetWindowTextLengthW(box));
  if (caretAtEnd) {
    SendMessageA(box, EM_SETSEL, length, length);
  } else {
    // The selection stays on its text; what was dropped from under it is gone.
    const DWORD from = selStart > droppedChars ? selStart - droppedChars : 0;
    const DWORD to = selEnd > droppedChars ? selEnd - droppedChars : 0;
    SendMessageA(box, EM_SETSEL, from, to);
  }
  const LRESULT lines = SendMessageA(box, EM_GETLINECOUNT, 0, 0);
  const LRESULT wantedFirst =
      atEnd ? std::max<LRESULT>(0, lines - visibleLines) : std::max<LRESULT>(0, firstVisible - droppedLines);
  SendMessageA(box, EM_LINESCROLL, 0, wantedFirst - SendMessageA(box, EM_GETFIRSTVISIBLELINE, 0, 0));
  SendMessageA(box, EM_SETMODIFY, FALSE, 0);
  SendMessageA(box, WM_SETREDRAW, TRUE, 0);
  InvalidateRect(box, nullptr, TRUE);
  m_strBox = std::move(text);
  m_ullBoxStart = textStart;
}

void CDownloaderDlg::ReplaceLog(HWND box, std::string text, std::uint64_t textStart) {
  SetWindowTextA(box, text.c_str());
  // The caret at the end brings the newest lines into view, at the bottom of the box.
  const auto end = static_cast<WPARAM>(BoxChars(text.data(), text.size()));
  SendMessageA(box, EM_SETSEL, end, static_cast<LPARAM>(end));
  SendMessageA(box, EM_SCROLLCARET, 0, 0);
  SendMessageA(box, EM_SETMODIFY, FALSE, 0);
  m_bBoxFilled = true;
  m_strBox = std::move(text);
  m_ullBoxStart = textStart;
}

LRESULT CDownloaderDlg::VisibleLines(HWND box) {
  RECT client{};
  GetClientRect(box, &client);
  TEXTMETRICA metrics{};
  if (const HDC dc = GetDC(box)) {
    const HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageA(box, WM_GETFONT, 0, 0)));
    GetTextMetricsA(dc, &metrics);
    SelectObject(dc, old);
    ReleaseDC(box, dc);
  }
  return metrics.tmHeight > 0 ? std::max<LRESULT>(1, (client.bottom - client.top) / metrics.tmHeight) : 1;
}

// ---- The window ---------------------------------------------------------------------

void CDownloaderDlg::SetTitle(const std::string& title) {
  m_strTitle = title;
  if (m_hWnd) SetWindowTextA(m_hWnd, title.c_str());
}

void CDownloaderDlg::SetRunOnStartupCheck(bool checked) {
  m_bRunOnStartup = checked;
  if (m_hWnd)
    SendDlgItemMessageA(m_hWnd, IDC_RUN_ON_STARTUP, BM_SETCHECK, checked ? BST_CHECKED : BST_UNCHECKED, 0);
}

void CDownloaderDlg::RunModal(IMainWindowHost& host) {
  m_pHost = &host;
  m_passwords.SetHost(&host);
  DialogBoxParamA(m_hInstance, MAKEINTRESOURCEA(IDD_MAIN), nullptr, DialogProc,
                  reinterpret_cast<LPARAM>(this));
  // The window is gone: waiting and later requests end at once as a cancel.
  m_passwords.Abandon();
  m_pHost = nullptr;
  // The user asked to end the program: the orderly stop that follows gets a bounded time.
  ArmExitDeadline();
}

void CDownloaderDlg::Destroy() {
  m_passwords.SetHost(nullptr);
  std::lock_guard<std::mutex> lock(m_displayMutex);
  m_bAlive = false;
  m_hPostTarget = nullptr;
}

INT_PTR CALLBACK CDownloaderDlg::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_INITDIALOG) {
    auto* self = reinterpret_cast<CDownloaderDlg*>(lParam);
    SetWindowLongPtrA(window, DWLP_USER, lParam);
    self->m_hWnd = window;
    self->OnInitDialog();
    return TRUE;  // the focus goes to the first tab stop
  }
  auto* self = reinterpret_cast<CDownloaderDlg*>(GetWindowLongPtrA(window, DWLP_USER));
  return self ? self->OnMessage(message, wParam, lParam) : FALSE;
}

void CDownloaderDlg::OnInitDialog() {
  if (const HMENU systemMenu = GetSystemMenu(m_hWnd, FALSE)) {
    char about[128] = {};
    if (LoadStringA(m_hInstance, IDS_ABOUTBOX, about, sizeof about) > 0 && about[0]) {
      AppendMenuA(systemMenu, MF_SEPARATOR, 0, nullptr);
      AppendMenuA(systemMenu, MF_STRING, IDM_ABOUTBOX, about);
    }
  }
  SendMessageA(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
  SendMessageA(m_hWnd, WM_SETICON, ICON_SMALL,
               reinterpret_cast<LPARAM>(m_hSmallIcon ? m_hSmallIcon : m_hIcon));
  SetRunOnStartupCheck(m_bRunOnStartup);
  SetWindowTextA(m_hWnd, m_strTitle.c_str());
  // New lines go in before the dropped ones come out: room beyond the kept 10,000 bytes.
  SendDlgItemMessageA(m_hWnd, IDC_LOG, EM_SETLIMITTEXT, 0, 0);
  CentreOver(m_hWnd, nullptr);

  // From here on other threads reach the window: the text logged so far is shown, and
  // requests that came before it existed are opened.
  {
    std::lock_guard<std::mutex> lock(m_displayMutex);
    m_hPostTarget = m_hWnd;
  }
  RefreshLog();
  {
    std::lock_guard<std::mutex> lock(m_wakeMutex);
    m_hWakeTarget = m_hWnd;
  }
  WakeForPrompt();

  Tray(NIM_ADD);
}

INT_PTR CDownloaderDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == m_uTaskbarCreated && m_uTaskbarCreated != 0) {
    Tray(NIM_ADD);
    return FALSE;
  }
  switch (message) {
    case WM_PAINT:
      return OnPaint() ? TRUE : FALSE;
    case WM_QUERYDRAGICON:
      return reinterpret_cast<INT_PTR>(m_hIcon);
    case WM_SYSCOMMAND:
      if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
        ShowAbout();
        return TRUE;
      }
      return FALSE;
    case WM_COMMAND:
      OnCommand(LOWORD(wParam), HIWORD(wParam));
      return TRUE;
    case WM_TRAY_NOTIFY:
      // Only a double click with the left button on our icon does anything.
      if (wParam == IDI_MAIN && lParam == WM_LBUTTONDBLCLK) {
        ShowHide(false);
        SetWindowLongPtrA(m_hWnd, DWLP_MSGRESULT, 1);
        return TRUE;
      }
      return FALSE;
    case WM_PASSWORD_REQUEST:
      OpenPrompts();
      return TRUE;
    case WM_LOG_REFRESH:
      RefreshLog();
      return TRUE;
    case WM_DESTROY:
      Tray(NIM_DELETE);
      {
        std::lock_guard<std::mutex> lock(m_displayMutex);
        m_hPostTarget = nullptr;
      }
      {
        std::lock_guard<std::mutex> lock(m_wakeMutex);
        m_hWakeTarget = nullptr;
      }
      return FALSE;
    default:
      return FALSE;
  }
}

bool CDownloaderDlg::OnPaint() {
  if (m_bHidden) {
    // The program starts in the tray: the window hides itself at its first paint.
    ShowHide(true);
    Tray(NIM_ADD);
  }
  if (!IsIconic(m_hWnd)) return false;  // the dialog's own painting
  PAINTSTRUCT paint;
  const HDC dc = BeginPaint(m_hWnd, &paint);
  SendMessageA(m_hWnd, WM_ICONERASEBKGND, reinterpret_cast<WPARAM>(dc), 0);
  const int iconWidth = GetSystemMetrics(SM_CXICON);
  const int iconHeight = GetSystemMetrics(SM_CYICON);
  RECT client;
  GetClientRect(m_hWnd, &client);
  const int x = (client.right - client.left - iconWidth + 1) / 2;
  const int y = (client.bottom - client.top - iconHeight + 1) / 2;
  DrawIcon(dc, x, y, m_hIcon);
  EndPaint(m_hWnd, &paint);
  return true;
}

void CDownloaderDlg::OnCommand(WORD id, WORD code) {
  switch (id) {
    case IDC_HIDE:
      if (code == BN_CLICKED) ShowHide(true);
      break;
    case IDOK:  // "Exit"
      End(IDOK);
      break;
    case IDCANCEL:  // Escape, the close box, Alt+F4
      End(IDCANCEL);
      break;
    case IDC_RUN_ON_STARTUP:
      if (code == BN_CLICKED && m_pHost) {
        // The automatic check box has already changed: its state before the click is
        // the other one.
        const bool before =
            SendDlgItemMessageA(m_hWnd, IDC_RUN_ON_STARTUP, BM_GETCHECK, 0, 0) == BST_UNCHECKED;
        SetRunOnStartupCheck(m_pHost->RunOnStartupClicked(before));
      }
      break;
    default:
      break;
  }
}

BOOL CDownloaderDlg::Tray(DWORD message) {
  NOTIFYICONDATAA data{};
  data.cbSize = NOTIFYICONDATAA_V2_SIZE;
  data.hWnd = m_hWnd;
  data.uID = IDI_MAIN;
  data.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
  data.uCallbackMessage = WM_TRAY_NOTIFY;
  data.hIcon = m_hSmallIcon ? m_hSmallIcon : m_hIcon;
  lstrcpynA(data.szTip, kAppTitle, sizeof data.szTip);
  return Shell_NotifyIconA(message, &data);
}

void CDownloaderDlg::ShowHide(bool hide) {
  m_bHidden = hide;
  if (hide) {
    ShowWindow(m_hWnd, SW_HIDE);
    return;
  }
  ShowWindow(m_hWnd, SW_SHOW);
  SetForegroundWindow(m_hWnd);
  SetFocus(m_hWnd);
}

void CDownloaderDlg::ShowAbout() {
  if (m_hAbout) return;
  RunAboutDialog(m_hInstance, m_hWnd, &m_hAbout);
}

void CDownloaderDlg::End(int result) {
  m_bEnding = true;
  // The user sees the program go at once: window and icon leave before the nested runs
  // end and the worker stops.
  ShowWindow(m_hWnd, SW_HIDE);
  Tray(NIM_DELETE);
  // The nested runs end first; the password dialog ends as a cancel.
  if (m_hPrompt) SendMessageA(m_hPrompt, WM_COMMAND, IDCANCEL, 0);
  if (m_hAbout) EndDialog(m_hAbout, IDCANCEL);
  EndDialog(m_hWnd, result);
}

// ---- The password prompt ------------------------------------------------------------

void CDownloaderDlg::RequestPassword(std::int32_t attemptsRemaining, std::uint32_t pin) {
  m_passwords.RequestPassword(attemptsRemaining, pin);
}

void CDownloaderDlg::Abandon() {
  m_passwords.Abandon();
}

void CDownloaderDlg::WakeForPrompt() {
  std::lock_guard<std::mutex> lock(m_wakeMutex);
  if (m_hWakeTarget) PostMessageA(m_hWakeTarget, WM_PASSWORD_REQUEST, 0, 0);
}

void CDownloaderDlg::OpenPrompts() {
  // A prompt ended elsewhere (the program is ending) closes as a cancel.
  if (m_passwords.IsShownWithdrawn() && m_hPrompt) SendMessageA(m_hPrompt, WM_COMMAND, IDCANCEL, 0);
  // A request that comes while a prompt is open waits for it; the loop below takes it.
  if (m_bPromptRunning) return;
  m_bPromptRunning = true;
  PasswordQuestion question;
  while (!m_bEnding && m_passwords.TakeNext(question)) {
    CPasswordDlg prompt(PasswordPromptText(question.attemptsRemaining, question.pin));
    prompt.DoModal(m_hInstance, m_hWnd, &m_hPrompt);
    // Both fields and the event (the host's hand-back) before the asking thread goes on.
    m_passwords.Answer(prompt.Password(), prompt.Remember());
  }
  m_bPromptRunning = false;
}

}  // namespace skiff
