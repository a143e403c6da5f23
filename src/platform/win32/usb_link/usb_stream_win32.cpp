// The USB link's sockets on Windows: Winsock TCP on 127.0.0.1 (Wine has no Unix
// sockets) and the poller (WSAPoll, woken by a datagram to a socket of its own).
#include "usb_link/usb_stream.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <climits>
#include <vector>

namespace skiff::usblink {

namespace {

// Winsock is started once, at first use (never from DllMain), and left running until
// the process ends.
bool WinsockStarted(std::string* reason) {
  static const int startup = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
  }();
  if (startup != 0 && reason != nullptr) *reason = "cannot start Winsock: error " + std::to_string(startup);
  return startup == 0;
}

std::string WinsockText(const std::string& what, int error) {
  char text[256] = {};
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                      static_cast<DWORD>(error), 0, text, sizeof text, nullptr);
  std::string said(text, length);
  while (!said.empty() && (said.back() == '\n' || said.back() == '\r' || said.back() == '.')) said.pop_back();
  return what + ": " + (said.empty() ? "" : said + " ") + "(Winsock error " + std::to_string(error) + ")";
}

SOCKET NewSocket(int type, int protocol) {
  // Not inherited: a child process must not keep a handheld's connection open.
  return WSASocketW(AF_INET, type, protocol, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

std::string LoopbackName(std::uint16_t port) {
  return "127.0.0.1:" + std::to_string(port);
}

sockaddr_in LoopbackAddress(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

void NoDelay(SOCKET socket) {
  // Requests and replies are small frames that wait for each other: never hold one back.
  const BOOL on = TRUE;
  setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

class CWinsockStream final : public IUsbStream {
 public:
  explicit CWinsockStream(SOCKET socket) : m_socket(socket) {}
  ~CWinsockStream() override { closesocket(m_socket); }
  CWinsockStream(const CWinsockStream&) = delete;
  CWinsockStream& operator=(const CWinsockStream&) = delete;

  SocketHandle Handle() const override { return static_cast<SocketHandle>(m_socket); }

  // Called when the poller says the socket is readable, so the call does not wait.
  std::ptrdiff_t Receive(std::uint8_t* into, std::size_t capacity) override {
    const int got = recv(m_socket, reinterpret_cast<char*>(into),
                         static_cast<int>(std::min<std::size_t>(capacity, INT_MAX)), 0);
    if (got > 0) return got;
    if (got == SOCKET_ERROR) {
      const int error = WSAGetLastError();
      if (error == WSAEWOULDBLOCK || error == WSAEINTR) return 0;
    }
    return -1;
  }

  bool Send(const Part* parts, std::size_t count, std::string* reason) override {
    WSABUF buffers[4];
    DWORD used = 0;
    std::size_t left = 0;
    for (std::size_t index = 0; index < count && used < std::size(buffers); ++index) {
      if (parts[index].size == 0) continue;
      buffers[used].buf = static_cast<CHAR*>(const_cast<void*>(parts[index].data));
      buffers[used].len = static_cast<ULONG>(parts[index].size);
      left += parts[index].size;
      ++used;
    }
    WSABUF* next = buffers;
    while (left != 0) {
      DWORD sent = 0;
      if (WSASend(m_socket, next, used, &sent, 0, nullptr, nullptr) != 0) {
        const int error = WSAGetLastError();
        if (reason != nullptr) {
          *reason = error == WSAETIMEDOUT || error == WSAEWOULDBLOCK
                        ? "the peer does not take data (send timed out)"
                        : WinsockText("send failed", error);
        }
        return false;
      }
      left -= sent;
      // A partial send: skip what went out and send the rest.
      while (sent != 0 && used != 0) {
        if (sent < next->len) {
          next->buf += sent;
          next->len -= sent;
          sent = 0;
        } else {
          sent -= next->len;
          ++next;
          --used;
        }
      }
    }
    return true;
  }

  void Shutdown() override { shutdown(m_socket, SD_BOTH); }

 private:
  const SOCKET m_socket;
};

class CTcpListener final : public IUsbListener {
 public:
  CTcpListener(SOCKET socket, std::uint16_t port) : m_socket(socket), m_port(port) {}
  ~CTcpListener() override { closesocket(m_socket); }
  CTcpListener(const CTcpListener&) = delete;
  CTcpListener& operator=(const CTcpListener&) = delete;

  SocketHandle Handle() const override { return static_cast<SocketHandle>(m_socket); }

  std::unique_ptr<IUsbStream> Accept(unsigned sendMs, std::string* /*refusal*/) override {
    const SOCKET socket = accept(m_socket, nullptr, nullptr);
    if (socket == INVALID_SOCKET) return nullptr;  // the peer went before we took it: next time
    const DWORD timeout = sendMs;
    setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout);
    NoDelay(socket);
    return std::make_unique<CWinsockStream>(socket);
  }

  std::string Name() const override { return LoopbackName(m_port); }
  std::uint16_t Port() const { return m_port; }

 private:
  const SOCKET m_socket;
  const std::uint16_t m_port;
};

class CTcpEndpoint final : public IUsbEndpoint {
 public:
  explicit CTcpEndpoint(std::uint16_t port) : m_port(port) {}

  ListenStatus Listen(std::unique_ptr<IUsbListener>* listener, std::string* reason) override {
    const std::string name = LoopbackName(m_port);
    if (!WinsockStarted(reason)) return ListenStatus::Failed;
    const SOCKET socket = NewSocket(SOCK_STREAM, IPPROTO_TCP);
    if (socket == INVALID_SOCKET) {
      *reason = WinsockText("cannot create a socket for " + name, WSAGetLastError());
      return ListenStatus::Failed;
    }
    // Nobody else may bind the port while we listen (Windows would otherwise let a
    // second program share it).
    const BOOL on = TRUE;
    setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof on);
    sockaddr_in address = LoopbackAddress(m_port);
    int size = sizeof address;
    if (bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      const int error = WSAGetLastError();
      closesocket(socket);
      if (error == WSAEADDRINUSE || error == WSAEACCES) {
        *reason = "another program is already listening on " + name;
        return ListenStatus::AlreadyServed;
      }
      *reason = WinsockText("cannot bind " + name, error);
      return ListenStatus::Failed;
    }
    if (listen(socket, 16) != 0 || getsockname(socket, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      const int error = WSAGetLastError();
      closesocket(socket);
      *reason = WinsockText("cannot listen on " + name, error);
      return ListenStatus::Failed;
    }
    *listener = std::make_unique<CTcpListener>(socket, ntohs(address.sin_port));
    return ListenStatus::Listening;
  }

 private:
  const std::uint16_t m_port;
};

}  // namespace

std::unique_ptr<IUsbEndpoint> TcpLoopbackEndpoint(std::uint16_t port) {
  return std::make_unique<CTcpEndpoint>(port);
}

std::uint16_t BoundTcpPort(const IUsbListener& listener) {
  const auto* tcp = dynamic_cast<const CTcpListener*>(&listener);
  return tcp != nullptr ? tcp->Port() : 0;
}

std::unique_ptr<IUsbStream> ConnectToTcpLoopback(std::uint16_t port, std::string* reason) {
  if (!WinsockStarted(reason)) return nullptr;
  const SOCKET socket = NewSocket(SOCK_STREAM, IPPROTO_TCP);
  if (socket == INVALID_SOCKET) {
    *reason = WinsockText("cannot create a socket", WSAGetLastError());
    return nullptr;
  }
  const sockaddr_in address = LoopbackAddress(port);
  if (connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = WSAGetLastError();
    closesocket(socket);
    *reason = WinsockText("cannot connect to " + LoopbackName(port), error);
    return nullptr;
  }
  NoDelay(socket);
  return std::make_unique<CWinsockStream>(socket);
}

// ---- Poller ---------------------------------------------------------------------------

struct CSocketPoller::Impl {
  SOCKET wake = INVALID_SOCKET;  // a datagram socket connected to itself
  std::string error;
  std::vector<WSAPOLLFD> sockets;
};

CSocketPoller::CSocketPoller() : m_impl(std::make_unique<Impl>()) {
  Impl& impl = *m_impl;
  if (WinsockStarted(&impl.error)) {
    impl.wake = NewSocket(SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in address = LoopbackAddress(0);
    int size = sizeof address;
    u_long nonBlocking = 1;
    if (impl.wake == INVALID_SOCKET ||
        bind(impl.wake, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        getsockname(impl.wake, reinterpret_cast<sockaddr*>(&address), &size) != 0 ||
        connect(impl.wake, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
        ioctlsocket(impl.wake, FIONBIO, &nonBlocking) != 0) {
      impl.error = WinsockText("cannot create the wake-up socket", WSAGetLastError());
      if (impl.wake != INVALID_SOCKET) closesocket(impl.wake);
      impl.wake = INVALID_SOCKET;
    }
  }
  Clear();
}

CSocketPoller::~CSocketPoller() {
  if (m_impl->wake != INVALID_SOCKET) closesocket(m_impl->wake);
}

bool CSocketPoller::Usable() const {
  return m_impl->wake != INVALID_SOCKET;
}

const std::string& CSocketPoller::Error() const {
  return m_impl->error;
}

void CSocketPoller::Clear() {
  m_impl->sockets.clear();
  m_impl->sockets.push_back({m_impl->wake, POLLRDNORM, 0});
}

void CSocketPoller::Add(SocketHandle socket) {
  m_impl->sockets.push_back({static_cast<SOCKET>(socket), POLLRDNORM, 0});
}

bool CSocketPoller::Wait(int timeoutMs, std::string* reason) {
  for (WSAPOLLFD& entry : m_impl->sockets) entry.revents = 0;
  if (WSAPoll(m_impl->sockets.data(), static_cast<ULONG>(m_impl->sockets.size()), timeoutMs) ==
      SOCKET_ERROR) {
    *reason = WinsockText("WSAPoll failed", WSAGetLastError());
    return false;
  }
  if (m_impl->sockets[0].revents != 0) {
    char drained[64];
    while (recv(m_impl->wake, drained, sizeof drained, 0) > 0) {
    }
  }
  return true;
}

bool CSocketPoller::Readable(std::size_t index) const {
  return m_impl->sockets[index + 1].revents != 0;
}

void CSocketPoller::Wake() {
  const char one = 1;
  send(m_impl->wake, &one, 1, 0);
}

}  // namespace skiff::usblink
