// The simulated handheld's way to the desktop on Windows: TCP on 127.0.0.1 only (the
// stand-in device manager has no Unix socket), at --port, else $SKIFFHOUSE_USB_PORT,
// else 47147.
#include "handheld_link.h"

namespace skiff::handheld {

std::unique_ptr<usblink::IUsbStream> ConnectToDesktop(const HandheldConfig& config, std::string* reason) {
  std::uint16_t port = config.tcpPort;
  if (port == 0 && !usblink::UsbPortFromEnvironment(&port, reason)) return nullptr;
  return usblink::ConnectToTcpLoopback(port, reason);
}

}  // namespace skiff::handheld
