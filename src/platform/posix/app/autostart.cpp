// The autostart desktop entry: written atomically when registering, removed when not.
#include "platform/posix/app/autostart.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/posix/app/xdg_paths.h"
#include "shell/shell_texts.h"

namespace skiff {

std::string DesktopExecValue(const std::string& programPath) {
  // Characters that make the desktop-entry format require a quoted argument.
  static const char kReserved[] = " \t\n\"'\\><~|&;$*?#()`";
  std::string argument;
  if (programPath.find_first_of(kReserved) == std::string::npos) {
    argument = programPath;
  } else {
    argument = "\"";
    for (char c : programPath) {
      if (c == '"' || c == '`' || c == '$' || c == '\\') argument += '\\';
      argument += c;
    }
    argument += '"';
  }
  // Then the value is a desktop-entry string (backslash escapes) in which '%' starts a
  // field code.
  std::string value;
  for (char c : argument) {
    switch (c) {
      case '\\':
        value += "\\\\";
        break;
      case '\n':
        value += "\\n";
        break;
      case '\t':
        value += "\\t";
        break;
      case '\r':
        value += "\\r";
        break;
      case '%':
        value += "%%";
        break;
      default:
        value += c;
    }
  }
  return value;
}

CAutostartEntry::CAutostartEntry(std::string entryPath, std::string programPath)
    : m_entryPath(std::move(entryPath)), m_programPath(std::move(programPath)) {}

bool CAutostartEntry::IsRunOnStartup() {
  struct stat st {};
  return !m_entryPath.empty() && lstat(m_entryPath.c_str(), &st) == 0;
}

bool CAutostartEntry::SetRunOnStartup(bool on) {
  m_lastError.clear();
  if (m_entryPath.empty()) {
    m_lastError = "no place for the autostart entry (neither XDG_CONFIG_HOME nor HOME is set)";
    return false;
  }
  if (!on) {
    if (unlink(m_entryPath.c_str()) == 0 || errno == ENOENT) return true;
    m_lastError = "cannot remove " + m_entryPath + ": " + std::strerror(errno);
    return false;
  }
  if (m_programPath.empty()) {
    m_lastError = "the program's own path is unknown";
    return false;
  }
  const auto slash = m_entryPath.find_last_of('/');
  if (slash != std::string::npos && slash > 0 && !MakeFolders(m_entryPath.substr(0, slash), 0700)) {
    m_lastError = "cannot create the folder of " + m_entryPath + ": " + std::strerror(errno);
    return false;
  }
  const std::string content =
      "[Desktop Entry]\n"
      "Type=Application\n"
      "Name=" +
      std::string(kAppTitle) +
      "\n"
      "Comment=Downloads from the web for an attached handheld\n"
      "Exec=" +
      DesktopExecValue(m_programPath) +
      "\n"
      "Terminal=false\n"
      "X-GNOME-Autostart-enabled=true\n";
  std::string error;
  if (!WriteFileAtomically(m_entryPath, content, 0644, error)) {
    m_lastError = "cannot write " + m_entryPath + ": " + error;
    return false;
  }
  return true;
}

}  // namespace skiff
