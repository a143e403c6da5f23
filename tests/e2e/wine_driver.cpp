// skiff-wine-driver: does in the Windows program what a user's clicks would, for the
// end-to-end tests under Wine. One command per start: "log" prints the activity log,
// "prompt" the password dialog's text; "password TEXT 0|1" answers the dialog (with
// "Remember (insecure)" ticked for 1), "cancel" cancels it, "exit" clicks "Exit".
// Exit status 0 when done, 2 when the window or dialog is not there (yet).
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr int kLog = 1001;
constexpr int kPassword = 1002;
constexpr int kPrompt = 1003;
constexpr int kRemember = 1004;

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

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return 1;
  _setmode(_fileno(stdout), _O_BINARY);  // the log's own CR LF, not one more CR
  const std::string command = argv[1];
  const HWND main = FindWindowA("SINGLE_INSTANCE_APPKZRW", nullptr);
  const HWND prompt = FindWindowA(MAKEINTATOM(32770), "Enter Password");
  if (command == "log" || command == "exit") {
    if (main == nullptr) return 2;
    if (command == "exit") return PostMessageA(main, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0) ? 0 : 1;
    std::fputs(Text(GetDlgItem(main, kLog)).c_str(), stdout);
    return 0;
  }
  if (prompt == nullptr) return 2;
  if (command == "prompt") {
    std::fputs(Text(GetDlgItem(prompt, kPrompt)).c_str(), stdout);
    return 0;
  }
  if (command == "password" && argc == 4) {
    SendMessageA(GetDlgItem(prompt, kPassword), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(argv[2]));
    SendMessageA(GetDlgItem(prompt, kRemember), BM_SETCHECK,
                 std::strcmp(argv[3], "1") == 0 ? BST_CHECKED : BST_UNCHECKED, 0);
    return PostMessageA(prompt, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0) ? 0 : 1;
  }
  if (command == "cancel")
    return PostMessageA(prompt, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0) ? 0 : 1;
  return 1;
}
