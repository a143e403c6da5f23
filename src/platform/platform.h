// Every hook the portable core needs from an operating system, in one place. Each
// platform directory (platform/posix, platform/win32) implements them; the core reaches
// the system only through these. Interfaces are handed in by constructor so that a test
// can hand in a fake; the few free functions are implemented once per platform.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "compat/com.h"

struct IDevMgrMain;

namespace skiff {

// ---- Console (implemented by each platform's console.cpp) ---------------------------

// Writes text and a single "\n" to the process's console output device, verbatim;
// silently dropped when there is none. (Windows: CONOUT$; POSIX: standard error.)
void ConsoleEcho(std::string_view text);

// ---- System error texts (implemented by each platform's system_messages.cpp) --------

// The system's message text for an HRESULT, as FormatMessage gives it (line end
// included). False when the system has no text for the code.
bool SystemMessageText(HRESULT code, std::string& text);

// ---- ANSI code page (implemented by each platform's ansi_code_page.cpp) -------------

// Converts between the system's 8-bit "ANSI" code page and UTF-16 with the system's
// rules (MultiByteToWideChar / WideCharToMultiByte: written is 0 when the result does
// not fit, with capacity 0 the needed size). False when the ANSI code page is UTF-8
// (POSIX): the core's own UTF-8 conversion is then used.
bool SystemAnsiToWide(WideChar* dest, std::size_t capacity, const char* source, std::size_t count,
                      std::size_t& written);
bool SystemWideToAnsi(char* dest, std::size_t capacity, const WideChar* source, std::size_t count,
                      std::size_t& written);

// ---- Device manager creation (Windows: COM server; POSIX: the USB-link manager) -----

class IDeviceManagerFactory {
 public:
  virtual ~IDeviceManagerFactory() = default;
  // Creates the device manager and returns its IDevMgrMain with one reference for the
  // caller, or a failed HRESULT. Called on the watcher thread.
  virtual HRESULT CreateDeviceManager(IDevMgrMain** deviceManager) = 0;
};

// ---- Profile (Windows: registry under the company key; POSIX: the INI file) ---------

class IProfile {
 public:
  virtual ~IProfile() = default;
  // The value of section/name, or defaultValue when absent or unreadable.
  virtual std::string GetString(const std::string& section, const std::string& name,
                                const std::string& defaultValue) = 0;
  // False when the value could not be stored; other entries are never lost.
  virtual bool WriteString(const std::string& section, const std::string& name, const std::string& value) = 0;
  virtual bool DeleteEntry(const std::string& section, const std::string& name) = 0;
};

// ---- Password request to the main window (the front end's prompt) ------------------

class IPasswordRequester {
 public:
  virtual ~IPasswordRequester() = default;
  // Shows the password prompt for a device and returns when the user has answered or
  // cancelled; the answer has been handed back through the worker's SetPasswordAnswer
  // (both fields, then the password event) before it returns. Called on a device
  // manager thread; must return promptly once Abandon() was called.
  virtual void RequestPassword(std::int32_t attemptsRemaining, std::uint32_t pin) = 0;
  // The program is ending: any open or later request ends at once as a cancel.
  virtual void Abandon() = 0;
};

}  // namespace skiff
