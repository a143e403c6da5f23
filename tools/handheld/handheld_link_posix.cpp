// The simulated handheld's way to the desktop on POSIX: TCP on 127.0.0.1 when a port is
// given (--port, or $SKIFFHOUSE_USB_PORT set), else the Unix socket; and what to start
// when nothing listens.
#include "handheld_link.h"

#include <cstdlib>

#include "platform/posix/usb_link/usb_socket.h"

namespace skiff::handheld {

std::unique_ptr<usblink::IUsbStream> ConnectToDesktop(const HandheldConfig& config, std::string* reason) {
  std::uint16_t port = config.tcpPort;
  const char* fromEnvironment = std::getenv("SKIFFHOUSE_USB_PORT");
  if (port == 0 && fromEnvironment != nullptr && *fromEnvironment != '\0' &&
      !usblink::UsbPortFromEnvironment(&port, reason)) {
    return nullptr;
  }
  if (port != 0) return usblink::ConnectToTcpLoopback(port, reason);
  return usblink::ConnectToUsbSocket(config.socketPath.empty() ? DefaultUsbSocketPath() : config.socketPath,
                                     reason);
}

const char* StartDesktopHint() {
  return "Is it running? Start it with `skiffhouse` (in a source tree: scripts/run.sh), then try again.\n";
}

}  // namespace skiff::handheld
