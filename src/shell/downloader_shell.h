// The life of the program between the single-instance check and process end: the main
// window with its log and device worker, built, run and torn down in a fixed order.
#pragma once

#include <functional>
#include <string>

#include "core/activity_log.h"
#include "device/worker.h"
#include "http/http_transport.h"
#include "platform/platform.h"
#include "shell/shell_rules.h"

namespace skiff {

// What the main window asks of the program while it runs.
class IMainWindowHost {
 public:
  virtual ~IMainWindowHost() = default;
  // The "Run On Startup" control was used; checked is its state before the click.
  // Returns the state it shows afterwards.
  virtual bool RunOnStartupClicked(bool checked) = 0;
  // The password prompt's answer, on the window's thread: the password, or
  // CDeviceWorker::kNoPassword when cancelled, and the remember choice.
  virtual void PasswordAnswered(const std::string& password, bool remember) = 0;
};

// The platform's main window with its tray presence. It is the display of the log.
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

// Everything the main window is built from; all outlive RunMainWindow.
struct MainWindowParts {
  IMainWindow& window;
  IPasswordRequester& passwordRequester;  // normally the window itself
  IDeviceManagerFactory& deviceManagers;
  IHttpTransport& transport;
  IProfile& profile;
  IRunOnStartup& runOnStartup;
  WorkerTiming timing;
  // Called with a function that writes to the log once the log is bound (before the
  // worker starts), and with an empty function before the log goes away: a place to
  // route settings problems into the log.
  std::function<void(const ShellLogFn& log)> logReady;
};

// Builds the log and the worker, binds the log to the window, starts the watcher thread,
// applies the first-start rule, sets the title and runs the window. When the window
// ends: the prompt is abandoned, the worker stopped (its thread joined), the window
// destroyed; then worker and log are destroyed, in that order.
void RunMainWindow(MainWindowParts& parts);

}  // namespace skiff
