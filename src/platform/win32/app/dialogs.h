// The two small dialogs the main window opens: the password prompt (IDD_PASSWORD) and
// the About box (IDD_ABOUTBOX).
#pragma once

#include <windows.h>

#include <string>

namespace skiff {

// "Enter Password": system-modal and in front, centred on the screen, no system menu,
// the prompt in three lines, a masked edit that has the keyboard and "Remember
// (insecure)". OK (or Enter) takes the typed password and the check box, and is
// unavailable while the box is empty; Cancel (or Escape) gives the no-password sentinel
// and remember false.
class CPasswordDlg {
 public:
  explicit CPasswordDlg(std::string prompt);
  ~CPasswordDlg();
  CPasswordDlg(const CPasswordDlg&) = delete;
  CPasswordDlg& operator=(const CPasswordDlg&) = delete;

  // Runs the dialog owned by owner; *open names it while it runs. False when it could
  // not be shown: the answer is then a cancel, since an empty password sent in its
  // place would use up one of the handheld's attempts.
  bool DoModal(HINSTANCE instance, HWND owner, HWND* open);

  const std::string& Password() const { return m_strPassword; }
  bool Remember() const { return m_bRemember; }

 private:
  static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  void OnOk(HWND window);
  void OnCancel(HWND window);

  std::string m_strPrompt;
  std::string m_strPassword;
  bool m_bRemember = false;
  HWND* m_pOpen = nullptr;
};

// Moves window to the centre of over, or of the screen's work area when over is null or
// hidden.
void CentreOver(HWND window, HWND over);

// "About SkiffhouseDesktop", centred over its owner: OK or Escape closes it. *open names
// it while it runs.
void RunAboutDialog(HINSTANCE instance, HWND owner, HWND* open);

}  // namespace skiff
