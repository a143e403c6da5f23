// The USB-link test harness on POSIX: a raw handheld on the Unix socket.
#include "integration/usb_link_support/usb_link_harness.h"

#include "platform/posix/usb_link/usb_socket.h"

namespace skiff::testing {

RawHandheld::RawHandheld(const std::string& socketPath) {
  std::string error;
  m_stream = usblink::ConnectToUsbSocket(socketPath, &error);
}

}  // namespace skiff::testing
