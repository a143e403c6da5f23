// Drives the real skiffhouse.exe under Wine as a user's clicks would arrive: starts it,
// finds its windows by class and caption, reads controls, clicks buttons and waits for
// the state that follows (polling with a deadline, never a fixed sleep).
#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace skiff::test {

// Waits until done() holds, checking every few milliseconds; false at the deadline.
bool WaitUntil(const std::function<bool()>& done, DWORD timeoutMs = 15000);

// One started program; ended (killed if need be) when destroyed.
class RunningProgram {
 public:
  // Starts skiffhouse.exe with extra "NAME=value" entries (";" between them) in its
  // environment.
  explicit RunningProgram(const std::string& extraEnvironment = {});
  ~RunningProgram();
  RunningProgram(const RunningProgram&) = delete;
  RunningProgram& operator=(const RunningProgram&) = delete;

  DWORD Id() const { return m_info.dwProcessId; }
  // Waits for the process to end; its exit code, or -1 at the deadline.
  long WaitForExit(DWORD timeoutMs);
  bool Running() const;

  // The main window ("SINGLE_INSTANCE_APPKZRW" of this process), waited for.
  HWND MainWindow(DWORD timeoutMs = 15000) const;
  // A top-level dialog of this process with that caption, waited for; null at the deadline.
  HWND Dialog(const std::string& caption, DWORD timeoutMs = 15000) const;

 private:
  PROCESS_INFORMATION m_info{};
};

std::string Text(HWND window);
std::string ControlText(HWND dialog, int id);
// A button click as the button's owner gets it (posted: the click may open a nested
// modal run, which a sent message would wait for).
void Click(HWND dialog, int id);
// Ends every leftover instance of the program on this desktop (from a failed test).
void EndStrayInstances();

// The driver's thread joins the virtual desktop in which the tests start the program:
// Wine's own desktop with a taskbar and its tray, needing no window manager.
void EnterTestDesktop();
// The tray holds the program's icon (id 132) for that window. Wine's tray forgets the
// icons of a destroyed window within half a second, so an icon that the program failed
// to remove still shows right after the program ends.
bool TrayIconShown(HWND main);
// Takes the icon away as a restarting taskbar would lose it.
void RemoveTrayIcon(HWND main);
// The texts of a dialog's controls, in their order.
std::vector<std::string> DialogTexts(HWND dialog);

// The program's registry settings in the prefix: the profile entry (empty when absent)
// and the Run value (empty when absent).
void ForgetSettings();
std::string Setting(const std::string& section, const std::string& name);
void SetSetting(const std::string& section, const std::string& name, const std::string& value);
std::string RunValue();
void DeleteRunValue();
// The program's path as Windows names it.
std::string ProgramWindowsPath();
// A path of the build as Windows names it (drive Z: is the Unix root).
std::string WindowsPath(const std::string& unixPath);

}  // namespace skiff::test
