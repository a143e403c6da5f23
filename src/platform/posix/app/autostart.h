// "Run On Startup" on POSIX: the XDG autostart entry SkiffHouse.desktop, present while
// the program is registered, its Exec= naming the program's full path.
#pragma once

#include <string>

#include "platform/platform.h"

namespace skiff {

// The Exec= value that starts exactly that program: the path quoted as desktop entries
// require when it holds a reserved character, then escaped as a desktop-entry string.
std::string DesktopExecValue(const std::string& programPath);

class CAutostartEntry : public IRunOnStartup {
 public:
  // entryPath: where the entry lives; programPath: what it starts (the running program).
  CAutostartEntry(std::string entryPath, std::string programPath);

  bool IsRunOnStartup() override;
  bool SetRunOnStartup(bool on) override;

  std::string LastError() const override { return m_lastError; }

 private:
  const std::string m_entryPath;
  const std::string m_programPath;
  std::string m_lastError;
};

}  // namespace skiff
