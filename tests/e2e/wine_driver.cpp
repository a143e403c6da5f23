// skiff-wine-driver: does in the Windows program what a user's clicks and keys would, and
// reads what its windows show, for the end-to-end tests under Wine. One command a start:
//   log                   the activity log
//   state                 which of these hold: visible tray checked front newest-shown
//   send|post ID MSG W L  sends or posts a message to the main window's control ID (0: the
//                         window itself); MSG is a number or the name of a registered one
//   untray                takes the tray icon away, as a restarting taskbar loses it
//   dialog CAPTION [ID]   the texts of a dialog's controls; with ID, clicks that button
//   password TEXT 0|1     answers the password prompt, "Remember (insecure)" ticked for 1
//   type TEXT             types into the password prompt where its keyboard focus is (a
//                         carriage return is the Enter key)
//   keys                  the prompt's focused control id, and "ok" or "no-ok" for its OK
//   where CAPTION         "dx dy" of the window's centre from the centre of what it should
//                         be centred on: its owner when shown, else the work area
//   view                  the log box: first visible line, the selection (start end), the
//                         first visible line's text and the selected text, one a line
//   scroll LINE SEL       scrolls the log box so LINE is the first visible line and selects
//                         from SEL characters after that line's start to the end of the line
//   timed-exit ID MSG W L posts the message and prints the milliseconds until the window
//                         was hidden, until the tray icon was gone and until the program
//                         had ended
// Exit status 0 when done, 2 when the window or dialog is not there (yet).
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

constexpr int kLog = 1001;
constexpr int kPassword = 1002;
constexpr int kRemember = 1004;
constexpr int kRunOnStartup = 1005;
constexpr UINT kTrayId = 132;

std::string Text(HWND control) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutA(control, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 5000, &length)) return {};
  std::string text(length + 1, '\0');
  DWORD_PTR copied = 0;
  SendMessageTimeoutA(control, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()),
                      SMTO_ABORTIFHUNG, 5000, &copied);
  text.resize(copied);
  return text;
}

LPARAM Number(const char* text) {
  return static_cast<LPARAM>(std::strtoll(text, nullptr, 0));
}

// Changing nothing succeeds only for an icon that the tray holds.
bool Tray(HWND main, DWORD message) {
  NOTIFYICONDATAA icon{};
  icon.cbSize = NOTIFYICONDATAA_V2_SIZE;
  icon.hWnd = main;
  icon.uID = kTrayId;
  return Shell_NotifyIconA(message, &icon) != FALSE;
}

// The log's newest line is in view, below lines scrolled away. New lines keep coming: the
// position is read between two equal lengths of the text.
bool NewestShown(HWND log) {
  RECT box;
  GetClientRect(log, &box);
  for (;;) {
    const LRESULT length = SendMessageA(log, WM_GETTEXTLENGTH, 0, 0);
    const auto top = static_cast<short>(HIWORD(SendMessageA(log, EM_POSFROMCHAR, length - 3, 0)));
    if (SendMessageA(log, WM_GETTEXTLENGTH, 0, 0) == length)
      return SendMessageA(log, EM_GETFIRSTVISIBLELINE, 0, 0) > 0 && top >= 0 && top < box.bottom;
  }
}

HWND Prompt() {
  const HWND dialog = FindWindowA(MAKEINTATOM(32770), "Enter Password");
  return dialog != nullptr && IsWindowVisible(dialog) ? dialog : nullptr;
}

// The control that has the keyboard in the window's thread.
HWND Focused(HWND window) {
  GUITHREADINFO info{};
  info.cbSize = sizeof info;
  return GetGUIThreadInfo(GetWindowThreadProcessId(window, nullptr), &info) ? info.hwndFocus : nullptr;
}

POINT Centre(const RECT& rect) {
  return {(rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2};
}

// Line number line of an unwrapped edit box's text: its lines end in "\r\n".
std::string LineOf(const std::string& text, LRESULT line) {
  std::size_t start = 0;
  for (; line > 0 && start != std::string::npos; --line) {
    start = text.find("\r\n", start);
    if (start != std::string::npos) start += 2;
  }
  if (start == std::string::npos) return {};
  const std::size_t end = text.find("\r\n", start);
  return text.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

// The log box's view, read until two readings agree: new lines keep coming, and at the
// log's cap they keep the text's length.
int View(HWND box) {
  struct Reading {
    LRESULT first = 0;
    DWORD from = 0;
    DWORD to = 0;
    std::string text;
    bool operator==(const Reading&) const = default;
  };
  const auto read = [box] {
    Reading r;
    SendMessageA(box, EM_GETSEL, reinterpret_cast<WPARAM>(&r.from), reinterpret_cast<LPARAM>(&r.to));
    r.first = SendMessageA(box, EM_GETFIRSTVISIBLELINE, 0, 0);
    r.text = Text(box);
    return r;
  };
  Reading before = read();
  for (Reading now = read(); !(now == before); now = read()) before = now;
  const std::string line = LineOf(before.text, before.first);
  const std::string& text = before.text;
  std::printf("%ld\n%lu %lu\n%s\n%s\n", static_cast<long>(before.first),
              static_cast<unsigned long>(before.from), static_cast<unsigned long>(before.to), line.c_str(),
              before.to <= text.size() && before.from <= before.to
                  ? text.substr(before.from, before.to - before.from).c_str()
                  : "");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 1;
  _setmode(_fileno(stdout), _O_BINARY);  // the log's own CR LF, not one more CR
  const std::string command = argv[1];
  if (command == "type" || command == "keys") {
    const HWND prompt = Prompt();
    if (prompt == nullptr) return 2;
    const HWND focus = Focused(prompt);
    if (command == "keys") {
      std::printf("%d %s\n", focus ? GetDlgCtrlID(focus) : 0,
                  IsWindowEnabled(GetDlgItem(prompt, IDOK)) ? "ok" : "no-ok");
      return 0;
    }
    // Enter as its key, which the dialog turns into its default button's command.
    for (const char* c = argv[2]; *c; ++c) {
      const bool posted = *c == '\r' ? PostMessageA(focus, WM_KEYDOWN, VK_RETURN, 0x001C0001) &&
                                           PostMessageA(focus, WM_KEYUP, VK_RETURN, 0xC01C0001)
                                     : PostMessageA(focus, WM_CHAR, static_cast<unsigned char>(*c), 1);
      if (!posted) return 1;
    }
    return 0;
  }
  if (command == "where") {
    const HWND dialog = FindWindowA(nullptr, argv[2]);
    if (dialog == nullptr || !IsWindowVisible(dialog)) return 2;
    RECT own;
    RECT outer;
    GetWindowRect(dialog, &own);
    const HWND owner = GetWindow(dialog, GW_OWNER);
    if (owner != nullptr && IsWindowVisible(owner)) {
      GetWindowRect(owner, &outer);
    } else {
      MONITORINFO monitor{};
      monitor.cbSize = sizeof monitor;
      GetMonitorInfoA(MonitorFromWindow(dialog, MONITOR_DEFAULTTOPRIMARY), &monitor);
      outer = monitor.rcWork;
    }
    std::printf("%ld %ld\n", Centre(own).x - Centre(outer).x, Centre(own).y - Centre(outer).y);
    return 0;
  }
  if (command == "dialog" || command == "password") {
    const HWND dialog = FindWindowA(MAKEINTATOM(32770), command == "password" ? "Enter Password" : argv[2]);
    if (dialog == nullptr || !IsWindowVisible(dialog)) return 2;
    if (command == "password") {
      SendDlgItemMessageA(dialog, kPassword, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[2]));
      SendDlgItemMessageA(dialog, kRemember, BM_SETCHECK, Number(argv[3]) ? BST_CHECKED : BST_UNCHECKED, 0);
      return PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0) ? 0 : 1;
    }
    if (argc == 4)
      return PostMessageA(GetDlgItem(dialog, static_cast<int>(Number(argv[3]))), BM_CLICK, 0, 0) ? 0 : 1;
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
      std::printf("%s\n", Text(child).c_str());
    return 0;
  }
  const HWND main = FindWindowA("SINGLE_INSTANCE_APPKZRW", nullptr);
  if (main == nullptr) return 2;
  if (command == "log") {
    std::fputs(Text(GetDlgItem(main, kLog)).c_str(), stdout);
  } else if (command == "state") {
    // A paint first: a window that hid itself at every paint would show it here.
    RedrawWindow(main, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    SendMessageA(main, WM_NULL, 0, 0);
    const bool visible = IsWindowVisible(main) != FALSE;
    std::printf("%s%s%s%s%s\n", visible ? "visible " : "", Tray(main, NIM_MODIFY) ? "tray " : "",
                SendDlgItemMessageA(main, kRunOnStartup, BM_GETCHECK, 0, 0) == BST_CHECKED ? "checked " : "",
                GetForegroundWindow() == main ? "front " : "",
                visible && NewestShown(GetDlgItem(main, kLog)) ? "newest-shown" : "");
  } else if ((command == "send" || command == "post") && argc == 6) {
    const HWND target = Number(argv[2]) == 0 ? main : GetDlgItem(main, static_cast<int>(Number(argv[2])));
    const UINT message =
        std::isdigit(argv[3][0]) ? static_cast<UINT>(Number(argv[3])) : RegisterWindowMessageA(argv[3]);
    const auto wParam = static_cast<WPARAM>(Number(argv[4]));
    if (command == "post") return PostMessageA(target, message, wParam, Number(argv[5])) ? 0 : 1;
    SendMessageA(target, message, wParam, Number(argv[5]));
  } else if (command == "view") {
    return View(GetDlgItem(main, kLog));
  } else if (command == "scroll" && argc == 4) {
    const HWND box = GetDlgItem(main, kLog);
    const LRESULT line = Number(argv[2]);
    SendMessageA(box, EM_LINESCROLL, 0, line - SendMessageA(box, EM_GETFIRSTVISIBLELINE, 0, 0));
    const auto start = SendMessageA(box, EM_LINEINDEX, static_cast<WPARAM>(line), 0);
    const auto length = SendMessageA(box, EM_LINELENGTH, static_cast<WPARAM>(start), 0);
    SendMessageA(box, EM_SETSEL, static_cast<WPARAM>(start + Number(argv[3])), start + length);
  } else if (command == "timed-exit" && argc == 6) {
    DWORD processId = 0;
    GetWindowThreadProcessId(main, &processId);
    const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
    const HWND target = Number(argv[2]) == 0 ? main : GetDlgItem(main, static_cast<int>(Number(argv[2])));
    const ULONGLONG start = GetTickCount64();
    const auto since = [start] { return static_cast<long>(GetTickCount64() - start); };
    if (process == nullptr || !PostMessageA(target, static_cast<UINT>(Number(argv[3])),
                                            static_cast<WPARAM>(Number(argv[4])), Number(argv[5])))
      return 1;
    // Each until it happened or 20 s have passed; -1 if it did not. The tray's answer can
    // take a while (Wine's stand-alone tray), so its time is taken when it has answered.
    long hidden = -1;
    while (hidden < 0 && since() < 20000) {
      if (!IsWindow(main) || !IsWindowVisible(main)) hidden = since();
      if (hidden < 0) Sleep(2);
    }
    long untrayed = -1;
    while (untrayed < 0 && since() < 20000) {
      if (!IsWindow(main) || !Tray(main, NIM_MODIFY)) untrayed = since();
      if (untrayed < 0) Sleep(2);
    }
    const long left = 20000 - since();
    const long ended =
        WaitForSingleObject(process, left > 0 ? static_cast<DWORD>(left) : 0) == WAIT_OBJECT_0 ? since() : -1;
    CloseHandle(process);
    std::printf("%ld %ld %ld\n", hidden, untrayed, ended);
  } else if (command == "untray") {
    return Tray(main, NIM_DELETE) ? 0 : 1;
  } else {
    return 1;
  }
  return 0;
}
