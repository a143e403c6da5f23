// The program's settings on Windows: the profile under the company key in the current
// user's registry, and the per-user Run value that starts the program at logon.
#pragma once

#include <string>

#include "platform/platform.h"

namespace skiff {

// Where the profile lives below the root key: "Software\SkiffHouse\<application name>".
inline constexpr char kCompanyKey[] = "Software\\SkiffHouse";
inline constexpr char kProfileApplication[] = "SkiffHouse";
// The per-user list of programs started at logon, and our value in it.
inline constexpr wchar_t kRunKeyPath[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Run";
inline constexpr wchar_t kRunValueName[] = L"SkiffHouse";

// Sections are sub-keys of the profile key, entries are REG_SZ values in 8-bit text of
// the ANSI code page. Every call opens and closes its key, so the profile is safe to use
// from any thread.
class CRegistryProfile : public IProfile {
 public:
  // root: HKEY_CURRENT_USER for the program, a key of their own for tests; it must stay
  // open as long as the profile is used.
  explicit CRegistryProfile(HKEY root = HKEY_CURRENT_USER, std::string applicationName = kProfileApplication);

  // "Software\SkiffHouse\<application name>", relative to the root.
  const std::string& KeyPath() const { return m_keyPath; }

  std::string GetString(const std::string& section, const std::string& name,
                        const std::string& defaultValue) override;
  bool WriteString(const std::string& section, const std::string& name, const std::string& value) override;
  bool DeleteEntry(const std::string& section, const std::string& name) override;

 private:
  const HKEY m_root;
  const std::string m_keyPath;
};

// The full path of the running program, as the system has it (no length limit).
std::wstring OwnProgramPath();

// "Run On Startup": the value "SkiffHouse" under the Run key. The path is stored in
// double quotes, so that a path with blanks cannot be read as a shorter program
// ("C:\Program.exe"); any value present counts as registered, so older unquoted values
// keep working.
class CRunKey : public IRunOnStartup {
 public:
  // root: HKEY_CURRENT_USER for the program, a key of their own for tests; programPath:
  // what is registered.
  explicit CRunKey(HKEY root = HKEY_CURRENT_USER, std::wstring programPath = OwnProgramPath());

  bool IsRunOnStartup() override;
  bool SetRunOnStartup(bool on) override;
  std::string LastError() const override { return m_lastError; }

 private:
  const HKEY m_root;
  const std::wstring m_programPath;
  std::string m_lastError;
};

}  // namespace skiff
