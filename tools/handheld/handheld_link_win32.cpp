// The simulated handheld's way to the desktop on Windows: TCP on 127.0.0.1 only (the
// stand-in device manager has no Unix socket), at --port, else $SKIFFHOUSE_USB_PORT,
// else 47147; and what to start when nothing listens there.
#include "handheld_link.h"

namespace skiff::handheld {

std::unique_ptr<usblink::IUsbStream> ConnectToDesktop(const HandheldConfig& config, std::string* reason) {
  std::uint16_t port = config.tcpPort;
  if (port == 0 && !usblink::UsbPortFromEnvironment(&port, reason)) return nullptr;
  return usblink::ConnectToTcpLoopback(port, reason);
}

const char* StartDesktopHint() {
  return "Is it running? Start skiffhouse.exe; where the maker's device manager is not installed,\n"
         "register the stand-in first (regsvr32 skiffhouse-standin.dll), then try again.\n";
}

}  // namespace skiff::handheld
