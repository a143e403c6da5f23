// The USB link's sockets on POSIX: a descriptor's byte stream, TCP on 127.0.0.1 and
// the poller (poll with an eventfd to wake it).
#include "usb_link/usb_stream.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "platform/posix/usb_link/usb_fd_stream.h"

namespace skiff::usblink {

namespace {

std::string ErrnoText(const std::string& what, int error) {
  return what + ": " + std::strerror(error);
}

class CFdStream final : public IUsbStream {
 public:
  explicit CFdStream(int fd) : m_fd(fd) {}
  ~CFdStream() override { ::close(m_fd); }
  CFdStream(const CFdStream&) = delete;
  CFdStream& operator=(const CFdStream&) = delete;

  SocketHandle Handle() const override { return static_cast<SocketHandle>(m_fd); }

  std::ptrdiff_t Receive(std::uint8_t* into, std::size_t capacity) override {
    const ssize_t got = ::recv(m_fd, into, capacity, MSG_DONTWAIT);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
    return got > 0 ? got : -1;
  }

  bool Send(const Part* parts, std::size_t count, std::string* reason) override {
    iovec vectors[4];
    if (count > std::size(vectors)) count = std::size(vectors);
    std::size_t left = 0;
    msghdr message{};
    for (std::size_t index = 0; index < count; ++index) {
      if (parts[index].size == 0) continue;
      vectors[message.msg_iovlen++] = {const_cast<void*>(parts[index].data), parts[index].size};
      left += parts[index].size;
    }
    message.msg_iov = vectors;
    while (left != 0) {
      const ssize_t sent = ::sendmsg(m_fd, &message, MSG_NOSIGNAL);
      if (sent < 0) {
        if (errno == EINTR) continue;
        if (reason != nullptr) {
          *reason = errno == EAGAIN || errno == EWOULDBLOCK ? "the peer does not take data (send timed out)"
                                                            : ErrnoText("send failed", errno);
        }
        return false;
      }
      left -= static_cast<std::size_t>(sent);
      // A partial send: skip what went out and send the rest.
      auto skip = static_cast<std::size_t>(sent);
      while (skip != 0 && message.msg_iovlen != 0) {
        iovec& first = message.msg_iov[0];
        if (skip < first.iov_len) {
          first.iov_base = static_cast<std::uint8_t*>(first.iov_base) + skip;
          first.iov_len -= skip;
          skip = 0;
        } else {
          skip -= first.iov_len;
          ++message.msg_iov;
          --message.msg_iovlen;
        }
      }
    }
    return true;
  }

  void Shutdown() override { ::shutdown(m_fd, SHUT_RDWR); }

 private:
  const int m_fd;
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

void NoDelay(int fd) {
  // Requests and replies are small frames that wait for each other: never hold one back.
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

class CTcpListener final : public IUsbListener {
 public:
  CTcpListener(int fd, std::uint16_t port) : m_fd(fd), m_port(port) {}
  ~CTcpListener() override { ::close(m_fd); }
  CTcpListener(const CTcpListener&) = delete;
  CTcpListener& operator=(const CTcpListener&) = delete;

  SocketHandle Handle() const override { return static_cast<SocketHandle>(m_fd); }
  std::unique_ptr<IUsbStream> Accept(unsigned sendMs, std::string* /*refusal*/) override {
    const int fd = AcceptFd(m_fd, sendMs);
    if (fd < 0) return nullptr;
    NoDelay(fd);
    return MakeFdStream(fd);
  }
  std::string Name() const override { return LoopbackName(m_port); }
  std::uint16_t Port() const { return m_port; }

 private:
  const int m_fd;
  const std::uint16_t m_port;
};

class CTcpEndpoint final : public IUsbEndpoint {
 public:
  explicit CTcpEndpoint(std::uint16_t port) : m_port(port) {}

  ListenStatus Listen(std::unique_ptr<IUsbListener>* listener, std::string* reason) override {
    const std::string name = LoopbackName(m_port);
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      *reason = ErrnoText("cannot create a socket for " + name, errno);
      return ListenStatus::Failed;
    }
    // A port left in TIME_WAIT by the last run is taken again; a listening one is not.
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address = LoopbackAddress(m_port);
    socklen_t size = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      const int error = errno;
      ::close(fd);
      if (error == EADDRINUSE) {
        *reason = "another program is already listening on " + name;
        return ListenStatus::AlreadyServed;
      }
      *reason = ErrnoText("cannot bind " + name, error);
      return ListenStatus::Failed;
    }
    if (::listen(fd, 16) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      const int error = errno;
      ::close(fd);
      *reason = ErrnoText("cannot listen on " + name, error);
      return ListenStatus::Failed;
    }
    *listener = std::make_unique<CTcpListener>(fd, ntohs(address.sin_port));
    return ListenStatus::Listening;
  }

 private:
  const std::uint16_t m_port;
};

}  // namespace

std::unique_ptr<IUsbStream> MakeFdStream(int fd) {
  return std::make_unique<CFdStream>(fd);
}

int AcceptFd(int listeningFd, unsigned sendMs) {
  const int fd = ::accept4(listeningFd, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) return -1;  // the peer went before we took it, or descriptors ran out: next time
  timeval sendTimeout{};
  sendTimeout.tv_sec = sendMs / 1000;
  sendTimeout.tv_usec = static_cast<suseconds_t>((sendMs % 1000) * 1000);
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
  return fd;
}

std::unique_ptr<IUsbEndpoint> TcpLoopbackEndpoint(std::uint16_t port) {
  return std::make_unique<CTcpEndpoint>(port);
}

std::uint16_t BoundTcpPort(const IUsbListener& listener) {
  const auto* tcp = dynamic_cast<const CTcpListener*>(&listener);
  return tcp != nullptr ? tcp->Port() : 0;
}

std::unique_ptr<IUsbStream> ConnectToTcpLoopback(std::uint16_t port, std::string* reason) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *reason = ErrnoText("cannot create a socket", errno);
    return nullptr;
  }
  const sockaddr_in address = LoopbackAddress(port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    const int error = errno;
    ::close(fd);
    *reason = ErrnoText("cannot connect to " + LoopbackName(port), error);
    return nullptr;
  }
  NoDelay(fd);
  return MakeFdStream(fd);
}

// ---- Poller ---------------------------------------------------------------------------

struct CSocketPoller::Impl {
  int wakeFd = -1;
  std::string error;
  std::vector<pollfd> fds;
};

CSocketPoller::CSocketPoller() : m_impl(std::make_unique<Impl>()) {
  m_impl->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (m_impl->wakeFd < 0) m_impl->error = ErrnoText("cannot create the wake-up descriptor", errno);
  Clear();
}

CSocketPoller::~CSocketPoller() {
  if (m_impl->wakeFd >= 0) ::close(m_impl->wakeFd);
}

bool CSocketPoller::Usable() const {
  return m_impl->wakeFd >= 0;
}

const std::string& CSocketPoller::Error() const {
  return m_impl->error;
}

void CSocketPoller::Clear() {
  m_impl->fds.clear();
  m_impl->fds.push_back({m_impl->wakeFd, POLLIN, 0});
}

void CSocketPoller::Add(SocketHandle socket) {
  m_impl->fds.push_back({static_cast<int>(socket), POLLIN, 0});
}

bool CSocketPoller::Wait(int timeoutMs, std::string* reason) {
  for (pollfd& entry : m_impl->fds) entry.revents = 0;
  if (::poll(m_impl->fds.data(), m_impl->fds.size(), timeoutMs) < 0) {
    if (errno == EINTR) return true;
    *reason = ErrnoText("poll failed", errno);
    return false;
  }
  if (m_impl->fds[0].revents != 0) {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t got = ::read(m_impl->wakeFd, &count, sizeof count);
  }
  return true;
}

bool CSocketPoller::Readable(std::size_t index) const {
  return m_impl->fds[index + 1].revents != 0;
}

void CSocketPoller::Wake() {
  // write() is async-signal-safe, so a signal handler may wake the poller too.
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t written = ::write(m_impl->wakeFd, &one, sizeof one);
}

}  // namespace skiff::usblink
