// The console front end's window: the log display, show and hide, the tray status line,
// About, Run On Startup, and the commands typed as keys or lines.
#include "platform/posix/app/console_frontend.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/posix/app/console_text.h"

namespace skiff {

using namespace console;

namespace {

std::string Trimmed(const std::string& text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
  while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\r')) --end;
  return text.substr(begin, end - begin);
}

}  // namespace

CConsoleFrontEnd::InputMode CConsoleFrontEnd::ModeFor(int inputFd) {
  if (isatty(inputFd)) return InputMode::Terminal;
  struct stat input {
  }, null{};
  if (fstat(inputFd, &input) != 0) return InputMode::None;
  if (S_ISCHR(input.st_mode) && stat("/dev/null", &null) == 0 && input.st_rdev == null.st_rdev)
    return InputMode::None;
  return InputMode::Lines;
}

CConsoleFrontEnd::CConsoleFrontEnd(int inputFd, int outputFd, InputMode mode, int signalFd)
    : m_inputFd(inputFd), m_outputFd(outputFd), m_mode(mode), m_signalFd(signalFd), m_title(kAppTitle) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) == 0) {
    m_wakeRead = fds[0];
    m_wakeWrite = fds[1];
  }
}

CConsoleFrontEnd::~CConsoleFrontEnd() {
  LeaveTerminalMode();
  if (m_wakeRead >= 0) close(m_wakeRead);
  if (m_wakeWrite >= 0) close(m_wakeWrite);
}

// ---- The display --------------------------------------------------------------------

bool CConsoleFrontEnd::IsAlive() const {
  std::lock_guard<std::mutex> lock(m_outMutex);
  return m_alive;
}

void CConsoleFrontEnd::ShowText(const std::string& keptText, const std::string& appended) {
  std::lock_guard<std::mutex> lock(m_outMutex);
  m_keptText = keptText;
  if (!m_alive) return;
  if (m_promptOpen) {
    // The prompt stays readable; the lines follow once it is answered.
    m_held.push_back(appended);
    m_heldBytes += appended.size();
    while (m_heldBytes > kMaxHeldBytes && !m_held.empty()) {
      m_heldBytes -= m_held.front().size();
      m_held.pop_front();
    }
    return;
  }
  if (m_shown) Write(ForConsole(appended));
}

void CConsoleFrontEnd::Write(const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(m_outputFd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      pollfd pfd{m_outputFd, POLLOUT, 0};
      poll(&pfd, 1, 1000);
      continue;
    }
    if (n <= 0) return;  // nobody reads the output any more: the program goes on
    done += static_cast<std::size_t>(n);
  }
}

void CConsoleFrontEnd::WriteLocked(const std::string& text) {
  std::lock_guard<std::mutex> lock(m_outMutex);
  Write(text);
}

void CConsoleFrontEnd::SetTitle(const std::string& title) {
  m_title = title;
}

void CConsoleFrontEnd::SetRunOnStartupCheck(bool checked) {
  m_runOnStartup = checked;
}

void CConsoleFrontEnd::Destroy() {
  m_passwords.SetHost(nullptr);
  std::lock_guard<std::mutex> lock(m_outMutex);
  m_alive = false;
}

std::string CConsoleFrontEnd::StatusLine() const {
  // Kept within 80 columns on a terminal: "?" lists the keys in full.
  if (m_mode == InputMode::Terminal) return "[tray] " + m_title + "  (Enter: show, x: exit, ?: keys)\n";
  if (m_mode == InputMode::Lines)
    return "[tray] " + m_title +
           "  (commands, one per line: empty line shows the window, h hides it, r toggles run on "
           "startup, a: about, x: exit)\n";
  return "[tray] " + m_title + "  (no console input: ends on SIGTERM)\n";
}

void CConsoleFrontEnd::PrintStatus() {
  WriteLocked(StatusLine());
}

void CConsoleFrontEnd::PrintKeys() {
  WriteLocked("Keys: Enter show window, h hide, r run on startup, a about, x exit\n");
}

void CConsoleFrontEnd::Show() {
  std::lock_guard<std::mutex> lock(m_outMutex);
  m_shown = true;
  if (m_promptOpen) {
    m_showPending = true;  // the prompt has the console; the window follows it
    return;
  }
  WriteWindow();
}

void CConsoleFrontEnd::WriteWindow() {
  Write("==== " + m_title + " ==== [" + (m_runOnStartup ? "x" : " ") + "] " + kRunOnStartupLabel + "\n" +
        ForConsole(m_keptText));
}

void CConsoleFrontEnd::Hide() {
  {
    std::lock_guard<std::mutex> lock(m_outMutex);
    m_shown = false;
  }
  PrintStatus();
}

void CConsoleFrontEnd::PrintAbout() {
  WriteLocked(std::string(kAboutCaption) + "\n  " + kAboutVersion + "\n  " + kAboutMaker + "\n");
}

void CConsoleFrontEnd::ToggleRunOnStartup() {
  if (m_host) m_runOnStartup = m_host->RunOnStartupClicked(m_runOnStartup);
  WriteLocked(std::string(kRunOnStartupLabel) + ": " + (m_runOnStartup ? "on" : "off") + "\n");
}

// ---- Commands ------------------------------------------------------------------------

void CConsoleFrontEnd::HandleKey(unsigned char key, bool escapeSequence) {
  if (escapeSequence) return;
  switch (key) {
    case '\r':
    case '\n':
      Show();
      break;
    case 'h':
    case 'H':
      Hide();
      break;
    case 'r':
    case 'R':
      ToggleRunOnStartup();
      break;
    case 'a':
    case 'A':
      PrintAbout();
      break;
    case '?':
      PrintKeys();
      break;
    case 'x':
    case 'X':
    case kCtrlC:
    case kCtrlD:
      m_running = false;
      break;
    default:
      break;
  }
}

void CConsoleFrontEnd::HandleLine(std::string line) {
  if (m_stage != Stage::None) {
    HandlePromptLine(line);
    Wipe(line);
    return;
  }
  const std::string command = Trimmed(line);
  if (command.empty()) {
    Show();
  } else if (command == "h" || command == "hide") {
    Hide();
  } else if (command == "r" || command == "run-on-startup") {
    ToggleRunOnStartup();
  } else if (command == "a" || command == "about") {
    PrintAbout();
  } else if (command == "x" || command == "exit") {
    m_running = false;
  } else {
    WriteLocked("Unknown command: " + DisplaySafeText(command) + "\n");
    PrintStatus();
  }
}

}  // namespace skiff
