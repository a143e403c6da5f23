// Start-up and shutdown order of the main window: log, worker, watcher thread, first
// start, title, modal run; then abandon, stop, destroy in reverse. Also the watcher's
// intervals as the program starts them.
#include "shell/main_window_run.h"

#include <cstdint>
#include <cstdlib>

namespace skiff {

namespace {

class MainWindowHost : public IMainWindowHost {
 public:
  MainWindowHost(CDeviceWorker& worker, IRunOnStartup& runOnStartup)
      : m_worker(worker), m_runOnStartup(runOnStartup) {}

  bool RunOnStartupClicked(bool checked) override {
    return ToggleRunOnStartup(checked, m_runOnStartup, m_worker.LogSink());
  }

  void PasswordAnswered(const std::string& password, bool remember) override {
    m_worker.SetPasswordAnswer(password, remember);
  }

 private:
  CDeviceWorker& m_worker;
  IRunOnStartup& m_runOnStartup;
};

}  // namespace

void RunMainWindow(MainWindowParts& parts) {
  CActivityLog log;
  CDeviceWorker worker(parts.deviceManagers, parts.transport, parts.profile, parts.passwordRequester,
                       parts.timing);
  MainWindowHost host(worker, parts.runOnStartup);

  log.SetWindow(&parts.window);
  worker.SetLog(&log);
  parts.earlyLog.Bind(&worker.LogSink());
  worker.Start();
  parts.window.SetRunOnStartupCheck(ApplyFirstStartRule(parts.profile, parts.runOnStartup, worker.LogSink()));
  parts.window.SetTitle(kAppTitle);

  parts.window.RunModal(host);

  // The watcher thread and the device manager's callbacks use the worker and the log:
  // they end before either is destroyed. An open prompt must not hold the stop up.
  parts.passwordRequester.Abandon();
  worker.Stop();
  parts.window.Destroy();
  parts.earlyLog.Bind(nullptr);
}

#if SKIFF_TEST_HOOKS
namespace {

std::uint32_t TestInterval(const char* name, std::uint32_t programValue) {
  const char* text = std::getenv(name);
  if (!text || !*text) return programValue;
  char* end = nullptr;
  const unsigned long value = std::strtoul(text, &end, 10);
  return (*end == '\0' && value > 0 && value <= 600000) ? static_cast<std::uint32_t>(value) : programValue;
}

}  // namespace
#endif

WorkerTiming WorkerTimingFromEnvironment() {
  WorkerTiming timing;
#if SKIFF_TEST_HOOKS  // test builds only: a shipped program keeps its own intervals
  timing.watchMs = TestInterval("SKIFFHOUSE_TEST_WATCH_MS", timing.watchMs);
  timing.retryMs = TestInterval("SKIFFHOUSE_TEST_RETRY_MS", timing.retryMs);
#endif
  return timing;
}

}  // namespace skiff
