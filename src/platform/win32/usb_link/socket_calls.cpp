// The socket layer's Winsock calls: Winsock started once at first use, sockets not
// inherited, system texts for Winsock errors, a listener that holds its port alone, and
// a datagram socket connected to itself as the poller's wake-up (Wine has no Unix
// sockets and no eventfd).
#include <algorithm>
#include <climits>

#include "platform/common/usb_link/socket_layer.h"

namespace skiff::usblink {

bool SocketsStarted(std::string* reason) {
  // Started once, at first use (never from DllMain), and left running until the process
  // ends.
  static const int startup = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
  }();
  if (startup != 0 && reason != nullptr) *reason = "cannot start Winsock: error " + std::to_string(startup);
  return startup == 0;
}

NativeSocket NewSocket(int family, int type, int protocol) {
  // Not inherited: a child process must not keep a handheld's connection open.
  return WSASocketW(family, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

void CloseSocket(NativeSocket socket) {
  closesocket(socket);
}

int LastSocketError() {
  return WSAGetLastError();
}

std::string SocketErrorText(const std::string& what, int error) {
  char text[256] = {};
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                      static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
  std::string said(text, length);
  while (!said.empty() && (said.back() == '\n' || said.back() == '\r' || said.back() == '.')) said.pop_back();
  return what + ": " + (said.empty() ? "" : said + " ") + "(Winsock error " + std::to_string(error) + ")";
}

bool IsAddressInUse(int error) {
  return error == WSAEADDRINUSE || error == WSAEACCES;
}

void PrepareListeningSocket(NativeSocket socket) {
  // Nobody else may bind the port while we listen (Windows would otherwise let a second
  // program share it).
  const BOOL on = TRUE;
  setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
}

NativeSocket AcceptSocket(NativeSocket listening, unsigned sendMs) {
  const SOCKET socket = accept(listening, nullptr, nullptr);
  if (socket == INVALID_SOCKET) return kInvalidSocket;  // the peer went before we took it
  const DWORD timeout = sendMs;
  setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
  return socket;
}

// Called when the poller says the socket is readable, so the call does not wait.
std::ptrdiff_t ReceiveSome(NativeSocket socket, std::uint8_t* into, std::size_t capacity) {
  const int got = recv(socket, reinterpret_cast<char*>(into),
                       static_cast<int>(std::min<std::size_t>(capacity, INT_MAX)), 0);
  if (got > 0) return got;
  if (got == SOCKET_ERROR) {
    const int error = WSAGetLastError();
    if (error == WSAEWOULDBLOCK || error == WSAEINTR) return 0;
  }
  return -1;
}

int SendSome(NativeSocket socket, const IUsbStream::Part* parts, std::size_t count, std::size_t* sent) {
  WSABUF buffers[4];
  DWORD used = 0;
  for (std::size_t index = 0; index < count && used < std::size(buffers); ++index, ++used) {
    buffers[used].buf = static_cast<CHAR*>(const_cast<void*>(parts[index].data));
    buffers[used].len = static_cast<ULONG>(parts[index].size);
  }
  DWORD done = 0;
  if (WSASend(socket, buffers, used, &done, 0, nullptr, nullptr) != 0) return WSAGetLastError();
  *sent = done;
  return 0;
}

bool IsInterrupted(int error) {
  return error == WSAEINTR;
}

bool IsSendTimeout(int error) {
  return error == WSAETIMEDOUT || error == WSAEWOULDBLOCK;
}

void ShutdownSocket(NativeSocket socket) {
  shutdown(socket, SD_BOTH);
}

NativeSocket OpenWaker(std::string* error) {
  if (!SocketsStarted(error)) return kInvalidSocket;
  SOCKET waker = NewSocket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int size = sizeof address;
  u_long nonBlocking = 1;
  if (waker == INVALID_SOCKET ||
      bind(waker, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      getsockname(waker, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
      connect(waker, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ioctlsocket(waker, FIONBIO, &nonBlocking) != 0) {
    *error = SocketErrorText("cannot create the wake-up socket", WSAGetLastError());
    if (waker != INVALID_SOCKET) closesocket(waker);
    waker = INVALID_SOCKET;
  }
  return waker;
}

void CloseWaker(NativeSocket waker) {
  closesocket(waker);
}

void SignalWaker(NativeSocket waker) {
  const char one = 1;
  send(waker, &one, 1, 0);
}

void DrainWaker(NativeSocket waker) {
  char drained[64];
  while (recv(waker, drained, sizeof drained, 0) > 0) {
  }
}

bool PollSockets(PollEntry* entries, std::size_t count, int timeoutMs, std::string* reason) {
  if (WSAPoll(entries, static_cast<ULONG>(count), timeoutMs) != SOCKET_ERROR) return true;
  *reason = SocketErrorText("WSAPoll failed", WSAGetLastError());
  return false;
}

}  // namespace skiff::usblink
