// The system's socket headers and types on Windows (Winsock), as the shared socket layer
// names them.
#pragma once

#include <winsock2.h>
#include <ws2tcpip.h>

namespace skiff::usblink {

using NativeSocket = SOCKET;
using SocketLength = int;
using PollEntry = WSAPOLLFD;
inline constexpr NativeSocket kInvalidSocket = INVALID_SOCKET;
inline constexpr short kPollReadable = POLLRDNORM;

}  // namespace skiff::usblink
