// The USB link's portable socket helpers: sending a whole frame over the platform's
// stream, and the TCP port the environment names. The socket seam itself (streams,
// listeners, endpoints, the poller) is one of the OS hooks that platform/platform.h
// indexes, declared in platform/usb_sockets.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/usb_sockets.h"
#include "usb_link/usb_frame.h"

namespace skiff::usblink {

// Sends one whole frame (header and body gathered).
bool SendFrame(IUsbStream& stream, FrameKind kind, const void* body, std::size_t length, std::string* reason);

inline constexpr std::uint16_t kDefaultUsbPort = 47147;
// $SKIFFHOUSE_USB_PORT, else 47147. False with the reason when the variable holds
// anything but a port number from 1 to 65535.
bool UsbPortFromEnvironment(std::uint16_t* port, std::string* reason);

}  // namespace skiff::usblink
