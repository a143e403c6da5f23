// Every hook the portable core needs from an operating system, in one place. Each
// platform directory (platform/posix, platform/win32) implements them; the core reaches
// the system only through these. Interfaces are handed in by constructor so that a test
// can hand in a fake; the few free functions are implemented once per platform.
//
// Declared here: ConsoleEcho, SystemMessageText, SystemAnsiToWide/WideToAnsi,
// WaitOnWord/WakeWordWaiters, IDeviceManagerFactory, IProfile, IRunOnStartup,
// ILogDisplay, IMainWindowHost, IMainWindow, IPasswordRequester. Declared in their own
// headers, included here:
//   usblink::IUsbStream, IUsbListener, IUsbEndpoint, CSocketPoller, TcpLoopbackEndpoint,
//   ConnectToTcpLoopback, BoundTcpPort
//                     platform/usb_sockets.h (the USB link's sockets; a header of its own
//                     so that the simulated handheld uses them without the COM
//                     vocabulary)
//   ILogSink          core/log_sink.h (where every part writes its log lines)
// Named here, not included:
//   IHttpTransport    http/http_transport.h: the WinHTTP-shaped seam belongs to the HTTP
//                     client that drives it (the core does not depend on http/); libcurl
//                     on POSIX, WinHTTP on Windows
// The password hand-off that windows build IPasswordRequester on is CPasswordHandOff in
// shell/password_handoff.h; the docs' architecture page tables each hook's two sides.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "compat/com.h"
#include "core/log_sink.h"
#include "platform/usb_sockets.h"

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

// ---- Sleeping on a word (implemented by each platform's word_wait.cpp) --------------

// Sleeps while word holds expected, until WakeWordWaiters(word), timeoutMs passes
// (0xFFFFFFFF: no limit) or a spurious wake-up; the caller checks why it woke. One
// system call each way, none when the word has already changed (Linux: a futex;
// Windows: WaitOnAddress).
void WaitOnWord(const std::atomic<std::uint32_t>& word, std::uint32_t expected, std::uint32_t timeoutMs);
// Wakes every thread sleeping on word. Waking a word nobody sleeps on does nothing.
void WakeWordWaiters(std::atomic<std::uint32_t>& word);

// ---- Device manager creation (Windows: COM server; POSIX: the USB-link manager) -----

// All three calls come on the watcher thread, in this order: WatcherThreadStarted once,
// CreateDeviceManager at each attempt, WatcherThreadEnding once after every device-manager
// object the thread used has been released. Windows joins the multithreaded COM
// apartment at every attempt and leaves it as often when the thread ends; POSIX has
// nothing to join and does nothing.
class IDeviceManagerFactory {
 public:
  virtual ~IDeviceManagerFactory() = default;
  virtual void WatcherThreadStarted() {}
  // Creates the device manager and returns its IDevMgrMain with one reference for the
  // caller, or a failed HRESULT.
  virtual HRESULT CreateDeviceManager(IDevMgrMain** deviceManager) = 0;
  virtual void WatcherThreadEnding() {}
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

// ---- Run on startup (Windows: the per-user Run value; POSIX: the autostart entry) ---

class IRunOnStartup {
 public:
  virtual ~IRunOnStartup() = default;
  // Registered at all (the content is not examined).
  virtual bool IsRunOnStartup() = 0;
  // on: registers the running program's full path; off: removes the registration.
  // False when that could not be done.
  virtual bool SetRunOnStartup(bool on) = 0;
  // Why the last SetRunOnStartup failed, for the log; empty when unknown.
  virtual std::string LastError() const { return {}; }
};

// ---- The log's display (Windows: the main window's edit box; POSIX: the console) ----

// Each refresh hands over the whole kept text, never a delta, so a display that shows it
// replaces its content with it.
//
// The log never holds its lock while it calls the display, so a display may take locks
// of its own or hand the text to another thread (the Windows main window keeps the
// newest text and posts one refresh to the window's thread). Refreshes never overlap
// and each is newer than the one before; a line logged while a refresh runs is shown by
// a later refresh, which the thread already showing makes before it returns (a later
// update wins).
class ILogDisplay {
 public:
  virtual ~ILogDisplay() = default;
  // Still able to show text (the window exists)?
  virtual bool IsAlive() const = 0;
  // Replaces the shown text by the whole kept text and scrolls to its end. appended is
  // what was added since the previous refresh (whole lines with their "\r\n"), for
  // displays that show lines as they come. Called on a thread that logs.
  virtual void ShowText(const std::string& keptText, const std::string& appended) = 0;
};

// ---- Main window with its tray presence (Windows: dialog and tray icon; POSIX: the
// console front end) --------------------------------------------------------------------

// What the main window asks of the program while it runs.
class IMainWindowHost {
 public:
  virtual ~IMainWindowHost() = default;
  // The "Run On Startup" control was used; checked is its state before the click.
  // Returns the state it shows afterwards.
  virtual bool RunOnStartupClicked(bool checked) = 0;
  // The password prompt's answer: the password, or CDeviceWorker::kNoPassword when
  // cancelled, and the remember choice. Both are stored before the worker's password
  // event is signalled.
  virtual void PasswordAnswered(const std::string& password, bool remember) = 0;
};

// The platform's main window. It is the display of the log.
class IMainWindow : public ILogDisplay {
 public:
  virtual void SetTitle(const std::string& title) = 0;
  virtual void SetRunOnStartupCheck(bool checked) = 0;
  // Runs the window until the user ends the program ("Exit", close, end of input, a
  // termination request). Every answer and click goes through host.
  virtual void RunModal(IMainWindowHost& host) = 0;
  // The window is gone: the log is shown no more.
  virtual void Destroy() = 0;
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
