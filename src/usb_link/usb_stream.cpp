// The parts of the USB link's sockets that every platform shares: sending a frame and
// the TCP port the environment names.
#include "usb_link/usb_stream.h"

#include <cstdlib>

namespace skiff::usblink {

bool SendFrame(IUsbStream& stream, FrameKind kind, const void* body, std::size_t length,
               std::string* reason) {
  if (length > kMaxFrameBody) {
    if (reason != nullptr) *reason = "frame body of " + std::to_string(length) + " bytes is too long";
    return false;
  }
  std::uint8_t header[kFrameHeaderSize];
  EncodeFrameHeader(header, kind, static_cast<std::uint16_t>(length));
  const IUsbStream::Part parts[2] = {{header, sizeof header}, {body, length}};
  return stream.Send(parts, length != 0 ? 2 : 1, reason);
}

bool UsbPortFromEnvironment(std::uint16_t* port, std::string* reason) {
  const char* text = std::getenv("SKIFFHOUSE_USB_PORT");
  if (text == nullptr || *text == '\0') {
    *port = kDefaultUsbPort;
    return true;
  }
  unsigned long value = 0;
  for (const char* at = text; *at != '\0'; ++at) {
    if (*at < '0' || *at > '9' || value > 65535) {
      value = 0;
      break;
    }
    value = value * 10 + static_cast<unsigned long>(*at - '0');
  }
  if (value < 1 || value > 65535) {
    *reason = std::string("SKIFFHOUSE_USB_PORT is not a port number from 1 to 65535: ") + text;
    return false;
  }
  *port = static_cast<std::uint16_t>(value);
  return true;
}

}  // namespace skiff::usblink
