// The socket layer's POSIX calls: descriptors closed on exec, errno texts, accept4 with
// a send time limit, recv and sendmsg that never raise SIGPIPE, and an eventfd as the
// poller's wake-up.
#include <sys/eventfd.h>
#include <sys/uio.h>

#include <cerrno>
#include <cstring>

#include "platform/common/usb_link/socket_layer.h"

namespace skiff::usblink {

bool SocketsStarted(std::string* /*reason*/) {
  return true;
}

NativeSocket NewSocket(int family, int type, int protocol) {
  return ::socket(family, type | SOCK_CLOEXEC, protocol);
}

void CloseSocket(NativeSocket socket) {
  ::close(socket);
}

int LastSocketError() {
  return errno;
}

std::string SocketErrorText(const std::string& what, int error) {
  return what + ": " + std::strerror(error);
}

bool IsAddressInUse(int error) {
  return error == EADDRINUSE;
}

void PrepareListeningSocket(NativeSocket socket) {
  // A port left in TIME_WAIT by the last run is taken again; a listening one is not.
  const int on = 1;
  ::setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
}

NativeSocket AcceptSocket(NativeSocket listening, unsigned sendMs) {
  const int fd = ::accept4(listening, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return kInvalidSocket;  // the peer went before we took it, or descriptors ran out
  timeval sendTimeout{};
  sendTimeout.tv_sec = sendMs / 1000;
  sendTimeout.tv_usec = static_cast<suseconds_t>((sendMs % 1000) * 1000);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
  return fd;
}

std::ptrdiff_t ReceiveSome(NativeSocket socket, std::uint8_t* into, std::size_t capacity) {
  const ssize_t got = ::recv(socket, into, capacity, MSG_DONTWAIT);
  if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
  return got > 0 ? got : -1;
}

int SendSome(NativeSocket socket, const IUsbStream::Part* parts, std::size_t count, std::size_t* sent) {
  iovec vectors[4];
  msghdr message{};
  for (std::size_t index = 0; index < count && index < std::size(vectors); ++index) {
    vectors[message.msg_iovlen++] = {const_cast<void*>(parts[index].data), parts[index].size};
  }
  message.msg_iov = vectors;
  const ssize_t result = ::sendmsg(socket, &message, MSG_NOSIGNAL);
  if (result < 0) return errno;
  *sent = static_cast<std::size_t>(result);
  return 0;
}

bool IsInterrupted(int error) {
  return error == EINTR;
}

bool IsSendTimeout(int error) {
  return error == EAGAIN || error == EWOULDBLOCK;
}

void ShutdownSocket(NativeSocket socket) {
  ::shutdown(socket, SHUT_RDWR);
}

NativeSocket OpenWaker(std::string* error) {
  const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) *error = SocketErrorText("cannot create the wake-up descriptor", errno);
  return fd;
}

void CloseWaker(NativeSocket waker) {
  ::close(waker);
}

void SignalWaker(NativeSocket waker) {
  // write() is async-signal-safe, so a signal handler may wake the poller too.
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(waker, &one, sizeof one);
}

void DrainWaker(NativeSocket waker) {
  std::uint64_t count = 0;
  [[maybe_unused]] const ssize_t got = ::read(waker, &count, sizeof count);
}

bool PollSockets(PollEntry* entries, std::size_t count, int timeoutMs, std::string* reason) {
  if (::poll(entries, count, timeoutMs) >= 0 || errno == EINTR) return true;
  *reason = SocketErrorText("poll failed", errno);
  return false;
}

}  // namespace skiff::usblink
