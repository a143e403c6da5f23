// The USB link's sockets on every platform: a connected socket's byte stream, TCP on
// 127.0.0.1 (listener, endpoint, connect) and the poller, over the calls POSIX and
// Winsock share; their differences are the small functions of socket_layer.h.
#include "platform/common/usb_link/socket_layer.h"

#include <vector>

namespace skiff::usblink {

namespace {

class CSocketStream final : public IUsbStream {
 public:
  explicit CSocketStream(NativeSocket socket) : m_socket(socket) {}
  ~CSocketStream() override { CloseSocket(m_socket); }
  CSocketStream(const CSocketStream&) = delete;
  CSocketStream& operator=(const CSocketStream&) = delete;

  SocketHandle Handle() const override { return static_cast<SocketHandle>(m_socket); }

  std::ptrdiff_t Receive(std::uint8_t* into, std::size_t capacity) override {
    return ReceiveSome(m_socket, into, capacity);
  }

  bool Send(const Part* parts, std::size_t count, std::string* reason) override {
    Part left[4];
    std::size_t used = 0;
    for (std::size_t index = 0; index < count && used < std::size(left); ++index) {
      if (parts[index].size != 0) left[used++] = parts[index];
    }
    Part* next = left;
    while (used != 0) {
      std::size_t sent = 0;
      const int error = SendSome(m_socket, next, used, &sent);
      if (error != 0) {
        if (IsInterrupted(error)) continue;
        if (reason != nullptr) {
          *reason = IsSendTimeout(error) ? "the peer does not take data (send timed out)"
                                         : SocketErrorText("send failed", error);
        }
        return false;
      }
      // A partial send: skip what went out and send the rest.
      while (sent != 0 && used != 0) {
        if (sent < next->size) {
          next->data = static_cast<const std::uint8_t*>(next->data) + sent;
          next->size -= sent;
          sent = 0;
        } else {
          sent -= next->size;
          ++next;
          --used;
        }
      }
    }
    return true;
  }

  void Shutdown() override { ShutdownSocket(m_socket); }

 private:
  const NativeSocket m_socket;
};

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

void NoDelay(NativeSocket socket) {
  // Requests and replies are small frames that wait for each other: never hold one back.
  const int on = 1;
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

class CTcpListener final : public IUsbListener {
 public:
  CTcpListener(NativeSocket socket, std::uint16_t port) : m_socket(socket), m_port(port) {}
  ~CTcpListener() override { CloseSocket(m_socket); }
  CTcpListener(const CTcpListener&) = delete;
  CTcpListener& operator=(const CTcpListener&) = delete;

  SocketHandle Handle() const override { return static_cast<SocketHandle>(m_socket); }

  std::unique_ptr<IUsbStream> Accept(unsigned sendMs, std::string* /*refusal*/) override {
    const NativeSocket socket = AcceptSocket(m_socket, sendMs);
    if (socket == kInvalidSocket) return nullptr;  // the peer went before we took it: next time
    NoDelay(socket);
    return MakeSocketStream(socket);
  }

  std::string Name() const override { return LoopbackName(m_port); }
  std::uint16_t Port() const { return m_port; }

 private:
  const NativeSocket m_socket;
  const std::uint16_t m_port;
};

class CTcpEndpoint final : public IUsbEndpoint {
 public:
  explicit CTcpEndpoint(std::uint16_t port) : m_port(port) {}

  ListenStatus Listen(std::unique_ptr<IUsbListener>* listener, std::string* reason) override {
    const std::string name = LoopbackName(m_port);
    if (!SocketsStarted(reason)) return ListenStatus::Failed;
    const NativeSocket socket = NewSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (socket == kInvalidSocket) {
      *reason = SocketErrorText("cannot create a socket for " + name, LastSocketError());
      return ListenStatus::Failed;
    }
    PrepareListeningSocket(socket);
    sockaddr_in address = LoopbackAddress(m_port);
    SocketLength size = sizeof address;
    if (::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
      const int error = LastSocketError();
      CloseSocket(socket);
      if (IsAddressInUse(error)) {
        *reason = "another program is already listening on " + name;
        return ListenStatus::AlreadyServed;
      }
      *reason = SocketErrorText("cannot bind " + name, error);
      return ListenStatus::Failed;
    }
    if (::listen(socket, 16) != 0 ||
        ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      const int error = LastSocketError();
      CloseSocket(socket);
      *reason = SocketErrorText("cannot listen on " + name, error);
      return ListenStatus::Failed;
    }
    *listener = std::make_unique<CTcpListener>(socket, ntohs(address.sin_port));
    return ListenStatus::Listening;
  }

 private:
  const std::uint16_t m_port;
};

}  // namespace

std::unique_ptr<IUsbStream> MakeSocketStream(NativeSocket socket) {
  return std::make_unique<CSocketStream>(socket);
}

std::unique_ptr<IUsbEndpoint> TcpLoopbackEndpoint(std::uint16_t port) {
  return std::make_unique<CTcpEndpoint>(port);
}

std::uint16_t BoundTcpPort(const IUsbListener& listener) {
  const auto* tcp = dynamic_cast<const CTcpListener*>(&listener);
  return tcp != nullptr ? tcp->Port() : 0;
}

std::unique_ptr<IUsbStream> ConnectToTcpLoopback(std::uint16_t port, std::string* reason) {
  if (!SocketsStarted(reason)) return nullptr;
  const NativeSocket socket = NewSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (socket == kInvalidSocket) {
    *reason = SocketErrorText("cannot create a socket", LastSocketError());
    return nullptr;
  }
  const sockaddr_in address = LoopbackAddress(port);
  if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = LastSocketError();
    CloseSocket(socket);
    *reason = SocketErrorText("cannot connect to " + LoopbackName(port), error);
    return nullptr;
  }
  NoDelay(socket);
  return MakeSocketStream(socket);
}

// ---- Poller ---------------------------------------------------------------------------

struct CSocketPoller::Impl {
  NativeSocket waker = kInvalidSocket;
  std::string error;
  std::vector<PollEntry> entries;  // the waker first, then the sockets in order
};

CSocketPoller::CSocketPoller() : m_impl(std::make_unique<Impl>()) {
  m_impl->waker = OpenWaker(&m_impl->error);
  Clear();
}

CSocketPoller::~CSocketPoller() {
  if (m_impl->waker != kInvalidSocket) CloseWaker(m_impl->waker);
}

bool CSocketPoller::Usable() const {
  return m_impl->waker != kInvalidSocket;
}

const std::string& CSocketPoller::Error() const {
  return m_impl->error;
}

void CSocketPoller::Clear() {
  m_impl->entries.clear();
  m_impl->entries.push_back({m_impl->waker, kPollReadable, 0});
}

void CSocketPoller::Add(SocketHandle socket) {
  m_impl->entries.push_back({static_cast<NativeSocket>(socket), kPollReadable, 0});
}

bool CSocketPoller::Wait(int timeoutMs, std::string* reason) {
  for (PollEntry& entry : m_impl->entries) entry.revents = 0;
  if (!PollSockets(m_impl->entries.data(), m_impl->entries.size(), timeoutMs, reason)) return false;
  if (m_impl->entries[0].revents != 0) DrainWaker(m_impl->waker);
  return true;
}

bool CSocketPoller::Readable(std::size_t index) const {
  return m_impl->entries[index + 1].revents != 0;
}

void CSocketPoller::Wake() {
  SignalWaker(m_impl->waker);
}

}  // namespace skiff::usblink
