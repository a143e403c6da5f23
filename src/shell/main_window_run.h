// The life of the program between the single-instance check and process end: the main
// window with its log and device worker, built, run and torn down in a fixed order.
#pragma once

#include <string>

#include "core/activity_log.h"
#include "device/worker.h"
#include "http/http_transport.h"
#include "platform/platform.h"
#include "shell/first_start.h"
#include "shell/shell_texts.h"

namespace skiff {

// Everything the main window is built from; all outlive RunMainWindow.
struct MainWindowParts {
  IMainWindow& window;
  IPasswordRequester& passwordRequester;  // normally the window itself
  IDeviceManagerFactory& deviceManagers;
  IHttpTransport& transport;
  IProfile& profile;
  IRunOnStartup& runOnStartup;
  WorkerTiming timing;
  // Where the parts made before the log (settings, the device manager) write: bound to
  // the log before the worker starts, unbound before the log goes away.
  CLogRelay& earlyLog;
};

// Builds the log and the worker, binds the log to the window, starts the watcher thread,
// applies the first-start rule, sets the title and runs the window. When the window
// ends: the prompt is abandoned, the worker stopped (its thread joined), the window
// destroyed; then worker and log are destroyed, in that order.
void RunMainWindow(MainWindowParts& parts);

// The program's watcher intervals. A test build (SKIFF_TEST_HOOKS) also takes shorter
// ones in milliseconds from SKIFFHOUSE_TEST_WATCH_MS and SKIFFHOUSE_TEST_RETRY_MS (1 to
// 600000; anything else is ignored), so that tests need not wait 5 and 10 seconds.
WorkerTiming WorkerTimingFromEnvironment();

}  // namespace skiff
