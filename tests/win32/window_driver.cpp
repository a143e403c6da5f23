// The test driver's side of the program: process start and end, window search by class,
// caption and process, control texts, clicks.
#include "window_driver.h"

#include <shellapi.h>

#include <cstring>
#include <stdexcept>
#include <vector>

namespace skiff::test {

namespace {

constexpr char kMainClass[] = "SINGLE_INSTANCE_APPKZRW";
constexpr char kDesktop[] = "skiffhouse-test";
constexpr char kDesktopSize[] = "1024x768";
constexpr UINT kTrayIconId = 132;
constexpr char kProfileKey[] = "Software\\SkiffHouse\\SkiffHouse";
constexpr char kRunKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr char kRunValueName[] = "SkiffHouse";

struct Search {
  DWORD processId;
  const char* className;
  const char* caption;
  HWND found;
};

BOOL CALLBACK MatchWindow(HWND window, LPARAM param) {
  auto* search = reinterpret_cast<Search*>(param);
  DWORD owner = 0;
  GetWindowThreadProcessId(window, &owner);
  if (search->processId != 0 && owner != search->processId) return TRUE;
  char name[256] = {};
  if (search->className) {
    GetClassNameA(window, name, sizeof name);
    if (std::string(name) != search->className) return TRUE;
  }
  if (search->caption && Text(window) != search->caption) return TRUE;
  search->found = window;
  return FALSE;
}

HWND FindTopLevel(DWORD processId, const char* className, const char* caption) {
  Search search{processId, className, caption, nullptr};
  EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
  return search.found;
}

std::string ReadString(const char* key, const char* name) {
  char value[1024] = {};
  DWORD size = sizeof value - 1;
  if (RegGetValueA(HKEY_CURRENT_USER, key, name, RRF_RT_REG_SZ, nullptr, value, &size) != ERROR_SUCCESS)
    return {};
  return value;
}

void WriteString(const std::string& key, const char* name, const std::string& value) {
  HKEY opened = nullptr;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &opened,
                      nullptr) != ERROR_SUCCESS)
    throw std::runtime_error("cannot create " + key);
  RegSetValueExA(opened, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>(value.size() + 1));
  RegCloseKey(opened);
}

BOOL CALLBACK AddText(HWND control, LPARAM texts) {
  reinterpret_cast<std::vector<std::string>*>(texts)->push_back(Text(control));
  return TRUE;
}

}  // namespace

std::string WindowsPath(const std::string& unixPath) {
  std::string path = unixPath[0] == '/' ? "Z:" + unixPath : unixPath;
  for (char& c : path)
    if (c == '/') c = '\\';
  return path;
}

std::string ProgramWindowsPath() {
  return WindowsPath(SKIFFHOUSE_EXE);
}

void EnterTestDesktop() {
  // A desktop named in Wine's Desktops key is a virtual one, with its own taskbar.
  WriteString("Software\\Wine\\Explorer\\Desktops", kDesktop, kDesktopSize);
  const HDESK desktop = CreateDesktopA(kDesktop, nullptr, nullptr, 0, GENERIC_ALL, nullptr);
  if (!desktop || !SetThreadDesktop(desktop)) throw std::runtime_error("cannot enter the test desktop");
}

void RemoveTrayIcon(HWND main) {
  NOTIFYICONDATAA icon{};
  icon.cbSize = NOTIFYICONDATAA_V2_SIZE;
  icon.hWnd = main;
  icon.uID = kTrayIconId;
  Shell_NotifyIconA(NIM_DELETE, &icon);
}

bool TrayIconShown(HWND main) {
  // Changing nothing succeeds only for an icon the tray holds.
  NOTIFYICONDATAA icon{};
  icon.cbSize = NOTIFYICONDATAA_V2_SIZE;
  icon.hWnd = main;
  icon.uID = kTrayIconId;
  return Shell_NotifyIconA(NIM_MODIFY, &icon) != FALSE;
}

std::vector<std::string> DialogTexts(HWND dialog) {
  std::vector<std::string> texts;
  EnumChildWindows(dialog, AddText, reinterpret_cast<LPARAM>(&texts));
  return texts;
}

void ForgetSettings() {
  RegDeleteTreeA(HKEY_CURRENT_USER, kProfileKey);
  DeleteRunValue();
}

std::string Setting(const std::string& section, const std::string& name) {
  return ReadString((std::string(kProfileKey) + "\\" + section).c_str(), name.c_str());
}

void SetSetting(const std::string& section, const std::string& name, const std::string& value) {
  WriteString(std::string(kProfileKey) + "\\" + section, name.c_str(), value);
}

std::string RunValue() {
  return ReadString(kRunKey, kRunValueName);
}

void DeleteRunValue() {
  RegDeleteKeyValueA(HKEY_CURRENT_USER, kRunKey, kRunValueName);
}

bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs) {
  const ULONGLONG deadline = GetTickCount64() + timeoutMs;
  for (;;) {
    if (done()) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(10);
  }
}

RunningProgram::RunningProgram(const std::string& extraEnvironment) {
  std::string path = ProgramWindowsPath();
  std::string commandLine = "\"" + path + "\"";
  // The driver's environment with the extra entries, as a block of zero-ended strings.
  std::vector<char> environment;
  if (LPCH own = GetEnvironmentStringsA()) {
    const char* entry = own;
    while (*entry) {
      const std::size_t length = std::strlen(entry) + 1;
      environment.insert(environment.end(), entry, entry + length);
      entry += length;
    }
    FreeEnvironmentStringsA(own);
  }
  std::size_t start = 0;
  while (start < extraEnvironment.size()) {
    std::size_t end = extraEnvironment.find(';', start);
    if (end == std::string::npos) end = extraEnvironment.size();
    environment.insert(environment.end(), extraEnvironment.begin() + static_cast<std::ptrdiff_t>(start),
                       extraEnvironment.begin() + static_cast<std::ptrdiff_t>(end));
    environment.push_back('\0');
    start = end + 1;
  }
  environment.push_back('\0');

  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  startup.lpDesktop = const_cast<char*>(kDesktop);
  if (!CreateProcessA(path.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, environment.data(),
                      nullptr, &startup, &m_info))
    throw std::runtime_error("cannot start " + path + ": error " + std::to_string(GetLastError()));
}

RunningProgram::~RunningProgram() {
  if (Running()) {
    TerminateProcess(m_info.hProcess, 1);
    WaitForSingleObject(m_info.hProcess, 5000);
  }
  CloseHandle(m_info.hThread);
  CloseHandle(m_info.hProcess);
}

long RunningProgram::WaitForExit(DWORD timeoutMs) {
  if (WaitForSingleObject(m_info.hProcess, timeoutMs) != WAIT_OBJECT_0) return -1;
  DWORD code = 0;
  GetExitCodeProcess(m_info.hProcess, &code);
  return static_cast<long>(code);
}

bool RunningProgram::Running() const {
  return WaitForSingleObject(m_info.hProcess, 0) == WAIT_TIMEOUT;
}

HWND RunningProgram::MainWindow(DWORD timeoutMs) const {
  // Idle for input once the window has been shown and painted (hidden, at start).
  WaitForInputIdle(m_info.hProcess, timeoutMs);
  HWND found = nullptr;
  WaitUntil([&] { return (found = FindTopLevel(Id(), kMainClass, nullptr)) != nullptr; }, timeoutMs);
  return found;
}

HWND RunningProgram::Dialog(const std::string& caption, DWORD timeoutMs) const {
  HWND found = nullptr;
  WaitUntil(
      [&] {
        return (found = FindTopLevel(Id(), "#32770", caption.c_str())) != nullptr && IsWindowVisible(found);
      },
      timeoutMs);
  return found;
}

std::string Text(HWND window) {
  // WM_GETTEXT crosses the process boundary; the length first.
  const auto length = static_cast<std::size_t>(SendMessageA(window, WM_GETTEXTLENGTH, 0, 0));
  std::string text(length + 1, '\0');
  const auto copied = static_cast<std::size_t>(SendMessageA(
      window, WM_GETTEXT, static_cast<WPARAM>(text.size()), reinterpret_cast<LPARAM>(text.data())));
  text.resize(copied < length ? copied : length);
  return text;
}

std::string ControlText(HWND dialog, int id) {
  return Text(GetDlgItem(dialog, id));
}

void Click(HWND dialog, int id) {
  PostMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
}

void EndStrayInstances() {
  while (const HWND stray = FindTopLevel(0, kMainClass, nullptr)) {
    DWORD processId = 0;
    GetWindowThreadProcessId(stray, &processId);
    const HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId);
    if (!process) return;
    TerminateProcess(process, 1);
    WaitForSingleObject(process, 5000);
    CloseHandle(process);
  }
}

}  // namespace skiff::test
