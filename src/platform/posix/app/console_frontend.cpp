// The console front end: one poll loop on the front end's thread reads keys or lines,
// signals, the requests of other threads (password prompts) and the control socket; the
// log's writers print their lines directly, under the output lock, when it is shown.
#include "platform/posix/app/console_frontend.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <vector>

namespace skiff {

namespace {

constexpr std::size_t kMaxLineBytes = std::size_t{64} * 1024;
constexpr std::size_t kMaxHeldBytes = CActivityLog::kMaxBytes;
constexpr unsigned char kEscape = 0x1b;
constexpr unsigned char kCtrlC = 0x03;
constexpr unsigned char kCtrlD = 0x04;
constexpr unsigned char kCtrlU = 0x15;

// Log text as the console shows it: safe to print, "\r\n" line ends as "\n".
std::string ForConsole(const std::string& text) {
  const std::string safe = DisplaySafeText(text);
  std::string out;
  out.reserve(safe.size());
  for (std::size_t i = 0; i < safe.size(); ++i) {
    if (safe[i] == '\r' && i + 1 < safe.size() && safe[i + 1] == '\n') continue;
    out += safe[i];
  }
  return out;
}

std::string Trimmed(const std::string& text) {
  std::size_t begin = 0, end = text.size();
  while (begin < end && (text[begin] == ' ' || text[begin] == '\t')) ++begin;
  while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t' || text[end - 1] == '\r')) --end;
  return text.substr(begin, end - begin);
}

void Wipe(std::string& secret) {
  for (char& c : secret) c = 0;
  secret.clear();
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

void CConsoleFrontEnd::PrintStatus() {
  if (m_mode == InputMode::Terminal)
    WriteLocked("[tray] " + m_title +
                "  (Enter: show window, h: hide, r: run on startup, a: about, x: exit)\n");
  else if (m_mode == InputMode::Lines)
    WriteLocked("[tray] " + m_title +
                "  (commands, one per line: empty line shows the window, h hides it, r toggles run on "
                "startup, a: about, x: exit)\n");
  else
    WriteLocked("[tray] " + m_title + "  (no console input: ends on SIGTERM)\n");
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

// ---- The loop ---------------------------------------------------------------------

void CConsoleFrontEnd::AddSource(int fd, std::function<void()> onReadable) {
  m_sources[fd] = std::move(onReadable);
}

void CConsoleFrontEnd::RemoveSource(int fd) {
  m_sources.erase(fd);
}

void CConsoleFrontEnd::Wake() {
  if (m_wakeWrite < 0) return;
  const unsigned char byte = 1;
  [[maybe_unused]] const ssize_t ignored = write(m_wakeWrite, &byte, 1);  // a full pipe is awake already
}

void CConsoleFrontEnd::RequestExit() {
  m_exitRequested.store(true);
  Wake();
}

void CConsoleFrontEnd::EnterTerminalMode() {
  if (m_mode != InputMode::Terminal || tcgetattr(m_inputFd, &m_savedTerminal) != 0) return;
  termios raw = m_savedTerminal;
  // Keys one at a time and unechoed (the password is masked); Ctrl-C still raises SIGINT.
  raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | IEXTEN);
  // Ctrl-S would stop the output, and with it every thread that writes to the log.
  raw.c_iflag &= ~static_cast<tcflag_t>(IXON);
  raw.c_cc[VMIN] = 1;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(m_inputFd, TCSANOW, &raw) == 0) m_terminalSaved = true;
}

void CConsoleFrontEnd::LeaveTerminalMode() {
  if (!m_terminalSaved) return;
  tcsetattr(m_inputFd, TCSANOW, &m_savedTerminal);
  m_terminalSaved = false;
}

void CConsoleFrontEnd::RunModal(IMainWindowHost& host) {
  m_host = &host;
  m_passwords.SetHost(&host);
  m_running = true;
  EnterTerminalMode();
  PrintStatus();
  if (m_mode != InputMode::Terminal) Show();  // no tray to double-click: the log is shown at once
  OnWake();

  std::vector<pollfd> fds;
  std::vector<std::function<void()>> handlers;
  while (m_running) {
    fds.clear();
    handlers.clear();
    const auto watch = [&](int fd, std::function<void()> handler) {
      fds.push_back(pollfd{fd, POLLIN, 0});
      handlers.push_back(std::move(handler));
    };
    // Requests of other threads and signals first: a withdrawn prompt is closed before
    // the next input line is read.
    if (m_wakeRead >= 0) watch(m_wakeRead, [this] { OnWake(); });
    if (m_signalFd >= 0) watch(m_signalFd, [this] { OnSignal(); });
    if (m_mode != InputMode::None && !m_inputEnded) watch(m_inputFd, [this] { OnInput(); });
    for (const auto& source : m_sources) {
      const int fd = source.first;
      // A source removed by an earlier handler of this round is not called; the handler
      // is copied because it may remove itself.
      watch(fd, [this, fd] {
        const auto found = m_sources.find(fd);
        if (found == m_sources.end()) return;
        const auto handler = found->second;
        handler();
      });
    }

    const int ready = poll(fds.data(), fds.size(), -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (std::size_t i = 0; i < fds.size() && m_running; ++i)
      if (fds[i].revents != 0) handlers[i]();
  }

  // The window ends: an open prompt ends as a cancel, later requests are not shown.
  if (m_stage != Stage::None) FinishPrompt(CDeviceWorker::kNoPassword, false);
  m_passwords.Abandon();
  LeaveTerminalMode();
  m_host = nullptr;
}

void CConsoleFrontEnd::OnSignal() {
  unsigned char signals[32];
  const ssize_t n = read(m_signalFd, signals, sizeof signals);
  for (ssize_t i = 0; i < n && m_running; ++i) {
    // Ctrl-C on a terminal cancels an open prompt, as Escape does; otherwise, and for
    // every other signal, the program ends.
    if (signals[i] == SIGINT && m_stage != Stage::None && m_mode == InputMode::Terminal)
      FinishPrompt(CDeviceWorker::kNoPassword, false);
    else
      m_running = false;
  }
}

void CConsoleFrontEnd::OnWake() {
  unsigned char buffer[64];
  while (m_wakeRead >= 0 && read(m_wakeRead, buffer, sizeof buffer) > 0) {
  }
  if (m_exitRequested.load()) m_running = false;
  if (m_passwords.IsShownWithdrawn())
    FinishPrompt(CDeviceWorker::kNoPassword, false);  // already answered: nothing is handed over
  OpenNextPrompt();
}

// ---- Input --------------------------------------------------------------------------

void CConsoleFrontEnd::OnInput() {
  unsigned char buffer[4096];
  const ssize_t n = read(m_inputFd, buffer, sizeof buffer);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n <= 0) {
    HandleEndOfInput();
    return;
  }
  if (m_mode == InputMode::Terminal) {
    for (ssize_t i = 0; i < n && m_running; ++i) {
      bool sequence = false;
      // A key that sends an escape sequence (arrows, function keys) is one key, not Escape.
      if (buffer[i] == kEscape && i + 1 < n && (buffer[i + 1] == '[' || buffer[i + 1] == 'O')) {
        sequence = true;
        i += 2;
        while (i < n && !(buffer[i] >= 0x40 && buffer[i] <= 0x7E)) ++i;
      }
      if (m_stage != Stage::None)
        HandlePromptKey(buffer[i < n ? i : n - 1], sequence);
      else
        HandleKey(buffer[i < n ? i : n - 1], sequence);
    }
    return;
  }
  m_lineBuffer.append(reinterpret_cast<const char*>(buffer), static_cast<std::size_t>(n));
  std::size_t start = 0;
  for (;;) {
    const auto end = m_lineBuffer.find('\n', start);
    if (end == std::string::npos) break;
    std::string line = m_lineBuffer.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    HandleLine(std::move(line));
    if (!m_running) break;
  }
  m_lineBuffer.erase(0, start);
  if (m_lineBuffer.size() > kMaxLineBytes) m_lineBuffer.clear();  // not a line anyone typed
}

void CConsoleFrontEnd::HandleEndOfInput() {
  m_inputEnded = true;
  if (m_mode == InputMode::Lines && !m_lineBuffer.empty()) {
    std::string last;
    last.swap(m_lineBuffer);
    HandleLine(std::move(last));
  }
  // Nobody is left to answer an open prompt; the program ends.
  if (m_stage != Stage::None) FinishPrompt(CDeviceWorker::kNoPassword, false);
  m_running = false;
}

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
      PrintStatus();
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

// ---- The password prompt ------------------------------------------------------------

void CConsoleFrontEnd::RequestPassword(std::int32_t attemptsRemaining, std::uint32_t pin) {
  m_passwords.RequestPassword(attemptsRemaining, pin);
}

void CConsoleFrontEnd::Abandon() {
  m_passwords.Abandon();
}

void CConsoleFrontEnd::OpenNextPrompt() {
  while (m_stage == Stage::None && m_passwords.TakeNext(m_question)) {
    m_stage = Stage::Password;
    Wipe(m_typed);
    std::string text("\n");
    text.append(kPasswordCaption).append("\n");
    text.append(ForConsole(PasswordPromptText(m_question.attemptsRemaining, m_question.pin))).append("\n");
    if (m_mode == InputMode::Terminal)
      text += "Password (Enter accepts, Escape cancels): ";
    else if (m_mode == InputMode::Lines)
      text += "Password (one line; a line holding only Escape cancels):\n";
    {
      std::lock_guard<std::mutex> lock(m_outMutex);
      m_promptOpen = true;
      Write(text);
    }
    if (m_mode == InputMode::None) {
      WriteLocked("No console input to answer from: the prompt is cancelled.\n");
      FinishPrompt(CDeviceWorker::kNoPassword, false);
    }
  }
}

void CConsoleFrontEnd::AskRemember() {
  m_stage = Stage::Remember;
  WriteLocked(m_mode == InputMode::Terminal ? std::string("\n") + kRememberLabel + "? [y/N] "
                                            : std::string(kRememberLabel) + "? [y/N]\n");
}

void CConsoleFrontEnd::HandlePromptKey(unsigned char key, bool escapeSequence) {
  if (escapeSequence) return;
  if (key == kEscape || key == kCtrlC) {
    FinishPrompt(CDeviceWorker::kNoPassword, false);
    return;
  }
  if (m_stage == Stage::Remember) {
    if (key == 'y' || key == 'Y') {
      WriteLocked("yes");
      FinishPrompt(m_typed, true);
    } else if (key == 'n' || key == 'N' || key == '\r' || key == '\n') {
      WriteLocked("no");
      FinishPrompt(m_typed, false);
    }
    return;
  }
  if (key == '\r' || key == '\n') {
    AskRemember();
  } else if (key == 0x7F || key == 0x08) {
    if (m_typed.empty()) return;
    // One character, which in UTF-8 may be several bytes.
    while (!m_typed.empty() && (static_cast<unsigned char>(m_typed.back()) & 0xC0) == 0x80)
      m_typed.pop_back();
    if (!m_typed.empty()) m_typed.pop_back();
    WriteLocked("\b \b");
  } else if (key == kCtrlU) {
    std::string erase;
    for (char c : m_typed)
      if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) erase += "\b \b";
    Wipe(m_typed);
    WriteLocked(erase);
  } else if (key >= 0x20 || key == '\t') {
    m_typed += static_cast<char>(key);
    if ((key & 0xC0) != 0x80) WriteLocked("*");
  }
}

void CConsoleFrontEnd::HandlePromptLine(const std::string& line) {
  if (line == "\x1b") {
    FinishPrompt(CDeviceWorker::kNoPassword, false);
  } else if (m_stage == Stage::Password) {
    m_typed = line;
    AskRemember();
  } else {
    FinishPrompt(m_typed, IsYesAnswer(line));
  }
}

void CConsoleFrontEnd::FinishPrompt(const std::string& password, bool remember) {
  m_stage = Stage::None;
  const bool cancelled = password == CDeviceWorker::kNoPassword;
  // The answer goes back on this thread (nothing when the request was withdrawn) before
  // the requesting thread is let go.
  m_passwords.Answer(password, remember);
  Wipe(m_typed);

  std::lock_guard<std::mutex> lock(m_outMutex);
  if (m_mode == InputMode::Terminal) Write("\n");
  Write(cancelled ? "Password prompt cancelled.\n" : "Password entered.\n");
  m_promptOpen = false;
  std::string held;
  for (const auto& line : m_held) held += line;
  m_held.clear();
  m_heldBytes = 0;
  if (m_showPending)
    WriteWindow();  // the whole text, which holds the held lines too
  else if (m_shown)
    Write(ForConsole(held));
  m_showPending = false;
}

}  // namespace skiff
