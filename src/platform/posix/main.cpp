// skiffhouse: the desktop downloader on POSIX. One running instance per user; the console
// front end stands in for the main window, its tray icon and the password prompt.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/posix/app/autostart.h"
#include "platform/posix/app/console_frontend.h"
#include "platform/posix/app/ini_profile.h"
#include "platform/posix/app/signals.h"
#include "platform/posix/app/single_instance.h"
#include "platform/posix/app/xdg_paths.h"
#include "platform/posix/base/console.h"
#include "platform/posix/http_curl/curl_transport.h"
#include "platform/posix/usb_link/usb_socket.h"
#include "shell/main_window_run.h"
#include "usb_link/usb_device_manager.h"

namespace {

// How long a second start waits for the running one to answer (it may be starting).
constexpr int kAskRunningInstanceMs = 10000;

void PrintUsage(std::FILE* to) {
  std::fprintf(to,
               "Usage: skiffhouse [--help]\n"
               "\n"
               "%s: downloads from the web for an attached handheld.\n"
               "Handhelds attach through the USB-link socket $SKIFFHOUSE_USB_SOCKET (default\n"
               "$XDG_RUNTIME_DIR/skiffhouse/usb.sock). The program starts hidden in the console's\n"
               "tray line; keys on a terminal: Enter shows the activity log, h hides it, r toggles\n"
               "Run On Startup, a shows About, x (or Ctrl-C) ends. When standard input is not a\n"
               "terminal, the log is shown at once and commands and password answers are read as\n"
               "lines (an empty line shows the log); end of input ends the program. With standard\n"
               "input on /dev/null it runs until SIGTERM.\n"
               "\n"
               "Settings: ${XDG_CONFIG_HOME:-$HOME/.config}/SkiffHouse/SkiffHouse.ini\n"
               "Run on startup: ${XDG_CONFIG_HOME:-$HOME/.config}/autostart/SkiffHouse.desktop\n"
               "Proxy: https_proxy, http_proxy, all_proxy and no_proxy from the environment.\n"
               "Extra trusted certificate authorities: a PEM file named by SSL_CERT_FILE.\n"
               "\n"
               "A second start shows the running instance's log and ends.\n",
               skiff::kAppTitle);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace skiff;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      PrintUsage(stdout);
      return 0;
    }
    std::fprintf(stderr, "skiffhouse: unknown argument '%s'\n\n", argv[i]);
    PrintUsage(stderr);
    return 2;
  }

  // Single instance first: a second start writes nothing at all.
  const std::string usbSocketPath = DefaultUsbSocketPath();
  CSingleInstance instance(usbSocketPath);
  std::string error;
  switch (instance.Claim(kAskRunningInstanceMs, error)) {
    case CSingleInstance::Outcome::Running:
      break;
    case CSingleInstance::Outcome::OtherShown:
      std::printf("%s is already running; its window has been shown.\n", kAppTitle);
      return 0;
    case CSingleInstance::Outcome::OtherSilent:
      std::fprintf(stderr, "%s is already running but does not answer on %s.\n", kAppTitle,
                   instance.ControlPath().c_str());
      return 1;
    case CSingleInstance::Outcome::Failed:
      std::fprintf(stderr, "skiffhouse: cannot make sure only one instance runs: %s\n", error.c_str());
      return 1;
  }

  // Settings and the device manager write to the log through the relay, which holds
  // their lines until the log exists.
  CLogRelay earlyLog;
  CIniProfile profile(DefaultProfilePath(), &earlyLog);
  CAutostartEntry autostart(DefaultAutostartPath(), SelfExecutablePath());

  // The front end, the device manager and the HTTP transport the worker is built on.
  CSignalPipe signals;
  CConsoleFrontEnd frontEnd(STDIN_FILENO, STDOUT_FILENO, CConsoleFrontEnd::ModeFor(STDIN_FILENO),
                            signals.ReadFd());
  SetConsoleFrontEndOutput(STDOUT_FILENO);  // the window shows each line there once
  instance.Serve(frontEnd, [&frontEnd] { frontEnd.Show(); });
  CUsbDeviceManagerFactory deviceManagers(usblink::UnixSocketEndpoint(usbSocketPath), earlyLog);
  CurlOptions curlOptions;
  if (const char* caFile = std::getenv("SSL_CERT_FILE")) curlOptions.extraCaFile = caFile;
  const std::unique_ptr<IHttpTransport> transport = CreateCurlTransport(curlOptions);

  const WorkerTiming timing = WorkerTimingFromEnvironment();

  MainWindowParts parts{frontEnd, frontEnd, deviceManagers, *transport, profile, autostart, timing, earlyLog};
  RunMainWindow(parts);
  instance.StopServing();
  return 0;
}
