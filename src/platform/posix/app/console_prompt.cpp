// The console front end's password prompt: one request of the hand-off at a time, the
// password masked on a terminal, then the remember question; the log lines that come
// meanwhile are held so that the prompt stays readable.
#include "platform/posix/app/console_frontend.h"
#include "platform/posix/app/console_text.h"

namespace skiff {

using namespace console;

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
    // An empty answer could only spend one of the handheld's attempts.
    if (m_typed.empty()) {
      WriteLocked(std::string("\n") + kEmptyPasswordNote + "\nPassword (Enter accepts, Escape cancels): ");
      return;
    }
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
    if (line.empty()) {
      WriteLocked(std::string(kEmptyPasswordNote) + "\n");
      return;
    }
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
  else
    Write(StatusLine());  // back to the tray
  m_showPending = false;
}

}  // namespace skiff
