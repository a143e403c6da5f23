// The system's socket headers and types on POSIX, as the shared socket layer names them.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace skiff::usblink {

using NativeSocket = int;
using SocketLength = socklen_t;
using PollEntry = pollfd;
inline constexpr NativeSocket kInvalidSocket = -1;
inline constexpr short kPollReadable = POLLIN;

}  // namespace skiff::usblink
