// skiff-wine-driver: does in the Windows program what a user's clicks and keys would, and
// reads what its windows show, for the end-to-end tests under Wine. One command a start:
//   log                   the activity log
//   state                 which of these hold: visible tray checked front newest-shown
//   send|post ID MSG W L  sends or posts a message to the main window's control ID (0: the
//                         window itself); MSG is a number or the name of a registered one
//   untray                takes the tray icon away, as a restarting taskbar loses it
//   dialog CAPTION [ID]   the texts of a dialog's controls; with ID, clicks that button
//   password TEXT 0|1     answers the password prompt, "Remember (insecure)" ticked for 1
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

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 1;
  _setmode(_fileno(stdout), _O_BINARY);  // the log's own CR LF, not one more CR
  const std::string command = argv[1];
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
  } else if (command == "untray") {
    return Tray(main, NIM_DELETE) ? 0 : 1;
  } else {
    return 1;
  }
  return 0;
}
