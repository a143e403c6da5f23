// The loopback server of http_curl_server.h. Stopping shuts every socket down, which ends
// the accept and any handler's blocked send at once.
#include "http_curl_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <stdexcept>
#include <thread>
#include <vector>

namespace skiff::test {

namespace {

class Socket final : public ServerConnection {
 public:
  explicit Socket(int fd) : m_fd(fd) {}
  using ServerConnection::Send;
  bool Send(const void* data, std::size_t size) override {
    for (auto* bytes = static_cast<const char*>(data); size > 0;) {
      const ssize_t sent = send(m_fd, bytes, size, MSG_NOSIGNAL);
      if (sent < 0 && errno == EINTR) continue;
      if (sent <= 0) return false;
      bytes += sent;
      size -= static_cast<std::size_t>(sent);
    }
    return true;
  }

 private:
  int m_fd;
};

}  // namespace

struct TestHttpServer::Impl {
  void Serve(int fd) {
    Socket connection(fd);
    std::string buffer;
    char chunk[4096];
    for (ssize_t got; (got = recv(fd, chunk, sizeof chunk, 0)) > 0;) {
      buffer.append(chunk, static_cast<std::size_t>(got));
      for (std::size_t end; (end = buffer.find("\r\n\r\n")) != std::string::npos;) {
        ReceivedRequest request;
        std::istringstream(buffer.substr(0, end)) >> request.method >> request.target;
        buffer.erase(0, end + 4);
        Handler handler;
        {
          std::lock_guard lock(mutex);
          auto it = routes.find(request.target.substr(0, request.target.find('?')));
          if (it != routes.end()) handler = it->second;
        }
        if (handler)
          handler(request, connection);
        else
          connection.Send("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
      }
    }
    {
      std::lock_guard lock(mutex);
      open.erase(fd);
    }
    close(fd);
  }

  int listenFd = -1;
  std::thread acceptThread;
  std::mutex mutex;
  bool stopping = false;
  std::map<std::string, Handler> routes;
  std::vector<std::thread> threads;
  std::set<int> open;
};

TestHttpServer::TestHttpServer() : m_impl(std::make_unique<Impl>()) {
  Impl& impl = *m_impl;
  impl.listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (impl.listenFd < 0 || bind(impl.listenFd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(impl.listenFd, 64) != 0 ||
      getsockname(impl.listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("test server: cannot listen");
  m_port = ntohs(address.sin_port);
  impl.acceptThread = std::thread([&impl] {
    for (;;) {
      const int fd = accept4(impl.listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0 && (errno == EINTR || errno == ECONNABORTED)) continue;
      std::lock_guard lock(impl.mutex);
      if (fd < 0 || impl.stopping) {
        if (fd >= 0) close(fd);
        return;
      }
      impl.open.insert(fd);
      impl.threads.emplace_back([&impl, fd] { impl.Serve(fd); });
    }
  });
}

TestHttpServer::~TestHttpServer() {
  Impl& impl = *m_impl;
  {
    std::lock_guard lock(impl.mutex);
    impl.stopping = true;
  }
  shutdown(impl.listenFd, SHUT_RDWR);
  impl.acceptThread.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(impl.mutex);
    for (int fd : impl.open) shutdown(fd, SHUT_RDWR);
    threads.swap(impl.threads);
  }
  for (auto& thread : threads) thread.join();
  close(impl.listenFd);
}

void TestHttpServer::Route(const std::string& path, Handler handler) {
  std::lock_guard lock(m_impl->mutex);
  m_impl->routes[path] = std::move(handler);
}

bool SendGenerated(ServerConnection& connection, std::uint64_t size) {
  static const std::string block(1 << 16, 'x');
  if (!connection.Send("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n"))
    return false;
  for (std::uint64_t offset = 0; offset < size;) {
    const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(size - offset, block.size()));
    if (!connection.Send(block.data(), piece)) return false;
    offset += piece;
  }
  return true;
}

}  // namespace skiff::test
