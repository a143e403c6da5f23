// The USB link's Unix socket on POSIX: where it lives, listening with a stale socket
// replaced and a live one left alone, and connecting as a handheld.
#pragma once

#include <memory>
#include <string>

#include "usb_link/usb_stream.h"

namespace skiff {

// $SKIFFHOUSE_USB_SOCKET, else $XDG_RUNTIME_DIR/skiffhouse/usb.sock, else
// /tmp/skiffhouse-<uid>/usb.sock.
std::string DefaultUsbSocketPath();

namespace usblink {

// The Unix socket at path: its folder is made with mode 0700 when missing, a stale
// socket is replaced and a live one left alone (AlreadyServed), the socket gets mode
// 0600 before it listens, and handhelds of another user are refused. The listener
// removes the socket file when it goes, if it is still the one it made.
std::unique_ptr<IUsbEndpoint> UnixSocketEndpoint(std::string path);

// Connects to the socket as a handheld; null with the reason on failure.
std::unique_ptr<IUsbStream> ConnectToUsbSocket(const std::string& path, std::string* reason);

}  // namespace usblink
}  // namespace skiff
