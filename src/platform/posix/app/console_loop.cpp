// The console front end's poll loop on the front end's thread: keys or lines, signals,
// wake-ups from other threads (password requests, exit) and the sources others add (the
// control socket).
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <vector>

#include "platform/posix/app/console_frontend.h"
#include "platform/posix/app/console_text.h"

namespace skiff {

using namespace console;

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

}  // namespace skiff
