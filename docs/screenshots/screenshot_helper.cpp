// Helper of make_screenshots.sh: does one thing to skiffhouse.exe in Wine's virtual
// desktop "skiffhouse-shots", as a user would, and returns when it has taken effect.
//   tray           waits until the window has hidden itself to the tray icon
//   show           double-click on the tray icon (the window is shown)
//   about          the About item of the window's system menu
//   close CAPTION  Escape in the dialog with that caption
//   wait CAPTION   waits for a dialog with that caption
//   answer TEXT    types TEXT into the password prompt and presses Enter
//   log            prints the log box's text
//   exit           "Exit"
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr char kDesktop[] = "skiffhouse-shots";
constexpr char kMainClass[] = "SINGLE_INSTANCE_APPKZRW";

bool WaitFor(HWND* found, const char* className, const char* caption) {
  for (int i = 0; i < 3000; ++i) {  // 30 s
    *found = FindWindowA(className, caption);
    if (*found && IsWindowVisible(*found)) return true;
    Sleep(10);
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  // Wine's explorer makes the desktop when it starts the program: it may not be there yet.
  HDESK desktop = nullptr;
  for (int i = 0; i < 3000 && !(desktop = OpenDesktopA(kDesktop, 0, FALSE, GENERIC_ALL)); ++i) Sleep(10);
  if (!desktop || !SetThreadDesktop(desktop)) {
    std::fprintf(stderr, "screenshot_helper: no desktop %s\n", kDesktop);
    return 1;
  }
  HWND main = nullptr;
  for (int i = 0; i < 3000 && !(main = FindWindowA(kMainClass, nullptr)); ++i) Sleep(10);
  if (!main) {
    std::fprintf(stderr, "screenshot_helper: the program's window is not there\n");
    return 1;
  }
  const std::string command = argv[1];
  HWND dialog = nullptr;
  if (command == "tray") {
    NOTIFYICONDATAA icon{};
    icon.cbSize = NOTIFYICONDATAA_V2_SIZE;
    icon.hWnd = main;
    icon.uID = 132;
    int i = 0;
    while ((IsWindowVisible(main) || !Shell_NotifyIconA(NIM_MODIFY, &icon)) && ++i < 3000) Sleep(10);
  } else if (command == "show") {
    SendMessageA(main, WM_USER + 2, 132, WM_LBUTTONDBLCLK);
  } else if (command == "about") {
    PostMessageA(main, WM_SYSCOMMAND, 0x0010, 0);
    if (!WaitFor(&dialog, "#32770", "About SkiffhouseDesktop")) return 1;
  } else if (command == "wait" && argc > 2) {
    if (!WaitFor(&dialog, "#32770", argv[2])) return 1;
  } else if (command == "close" && argc > 2) {
    if (!WaitFor(&dialog, "#32770", argv[2])) return 1;
    PostMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    for (int i = 0; i < 3000 && IsWindow(dialog); ++i) Sleep(10);
  } else if (command == "answer" && argc > 2) {
    if (!WaitFor(&dialog, "#32770", "Enter Password")) return 1;
    const HWND box = GetDlgItem(dialog, 1002);
    for (const char* c = argv[2]; *c; ++c) PostMessageA(box, WM_CHAR, static_cast<unsigned char>(*c), 1);
    PostMessageA(box, WM_KEYDOWN, VK_RETURN, 0x001C0001);
    for (int i = 0; i < 3000 && IsWindow(dialog); ++i) Sleep(10);
  } else if (command == "log") {
    char text[12000] = {};
    GetWindowTextA(GetDlgItem(main, 1001), text, sizeof text);
    std::fputs(text, stdout);
  } else if (command == "exit") {
    PostMessageA(main, WM_COMMAND, IDOK, 0);
  } else {
    return 2;
  }
  // Whatever changed is painted before the screenshot is taken.
  const UINT repaint = RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_ALLCHILDREN | RDW_UPDATENOW;
  RedrawWindow(main, nullptr, nullptr, repaint);
  if (dialog && IsWindow(dialog)) RedrawWindow(dialog, nullptr, nullptr, repaint);
  SendMessageA(main, WM_NULL, 0, 0);
  return 0;
}
