// The console front end: the main window, its tray presence and the password prompt on a
// text console. It starts hidden (a one-line status stands for the tray icon); Enter
// shows the log, h hides it, r toggles Run On Startup, a shows About, x ends. Without a
// terminal (a pipe, a service) the log is shown from the start and commands and answers
// are read as lines. Its jobs live in three files: console_frontend.cpp (the window and
// its commands), console_loop.cpp (the poll loop) and console_prompt.cpp (the prompt).
#pragma once

#include <termios.h>

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "platform/platform.h"
#include "platform/posix/app/poll_sources.h"
#include "shell/main_window_run.h"
#include "shell/password_handoff.h"

namespace skiff {

class CConsoleFrontEnd : public IMainWindow, public IPasswordRequester, public IPollSources {
 public:
  enum class InputMode {
    Terminal,  // keys, unechoed; the password masked
    Lines,     // one command or answer per line; the log shown from the start
    None,      // nothing to read (standard input is /dev/null): runs until told to end
  };

  // The mode standard input calls for.
  static InputMode ModeFor(int inputFd);

  // signalFd: a descriptor that yields one byte per signal (CSignalPipe), or -1.
  CConsoleFrontEnd(int inputFd, int outputFd, InputMode mode, int signalFd = -1);
  ~CConsoleFrontEnd() override;
  CConsoleFrontEnd(const CConsoleFrontEnd&) = delete;
  CConsoleFrontEnd& operator=(const CConsoleFrontEnd&) = delete;

  // ILogDisplay: any thread that logs; refreshes never overlap.
  bool IsAlive() const override;
  void ShowText(const std::string& keptText, const std::string& appended) override;

  // IMainWindow.
  void SetTitle(const std::string& title) override;
  void SetRunOnStartupCheck(bool checked) override;
  void RunModal(IMainWindowHost& host) override;
  void Destroy() override;

  // IPasswordRequester: any thread; the prompt itself runs in RunModal's thread.
  void RequestPassword(std::int32_t attemptsRemaining, std::uint32_t pin) override;
  void Abandon() override;

  // IPollSources: the loop's thread (or before RunModal).
  void AddSource(int fd, std::function<void()> onReadable) override;
  void RemoveSource(int fd) override;

  // Shows the window: prints the whole kept log, then every new line. Loop's thread.
  void Show();
  // Any thread: ends RunModal soon.
  void RequestExit();

 private:
  enum class Stage { None, Password, Remember };

  void Hide();
  void WriteWindow();  // caller holds m_outMutex
  // The line that stands for the tray icon while the window is hidden.
  std::string StatusLine() const;
  void PrintStatus();
  void PrintKeys();
  void PrintAbout();
  void ToggleRunOnStartup();
  void Write(const std::string& text);  // caller holds m_outMutex
  void WriteLocked(const std::string& text);
  void Wake();

  void OnInput();
  void OnSignal();
  void OnWake();
  void HandleKey(unsigned char key, bool escapeSequence);
  void HandleLine(std::string line);
  void HandleEndOfInput();
  void HandlePromptKey(unsigned char key, bool escapeSequence);
  void HandlePromptLine(const std::string& line);

  void OpenNextPrompt();
  void AskRemember();
  void FinishPrompt(const std::string& password, bool remember);

  void EnterTerminalMode();
  void LeaveTerminalMode();

  const int m_inputFd;
  const int m_outputFd;
  const InputMode m_mode;
  const int m_signalFd;
  int m_wakeRead = -1;
  int m_wakeWrite = -1;

  // Shared with the log's writers.
  mutable std::mutex m_outMutex;
  bool m_alive = true;
  bool m_shown = false;
  bool m_promptOpen = false;
  bool m_showPending = false;  // shown while the prompt was open
  std::string m_keptText;
  std::deque<std::string> m_held;  // lines that came while the prompt was open
  std::size_t m_heldBytes = 0;

  // The requesting threads' side of the prompt; answers go to the host set by RunModal,
  // which outlives every request (the owner stops the requesting threads first).
  CPasswordHandOff m_passwords{[this] { Wake(); }};
  std::atomic<bool> m_exitRequested{false};

  // The loop's own state.
  IMainWindowHost* m_host = nullptr;
  std::string m_title;
  bool m_runOnStartup = false;
  bool m_running = false;
  std::map<int, std::function<void()>> m_sources;
  std::string m_lineBuffer;
  PasswordQuestion m_question;
  Stage m_stage = Stage::None;  // None: no prompt shown
  std::string m_typed;
  bool m_inputEnded = false;
  bool m_terminalSaved = false;
  termios m_savedTerminal{};
};

}  // namespace skiff
