// The loopback server of http_curl_server.h. Stopping shuts every socket down, which ends
// the accept and any connection's blocked send at once.
#include "http_curl_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace skiff::bench {

namespace {

bool SendAll(int fd, const char* bytes, std::size_t size) {
  while (size > 0) {
    const ssize_t sent = send(fd, bytes, size, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return false;
    bytes += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

bool SendGenerated(int fd, std::uint64_t size) {
  static const std::string block(1 << 16, 'x');
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n";
  if (!SendAll(fd, head.data(), head.size())) return false;
  for (std::uint64_t offset = 0; offset < size;) {
    const std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(size - offset, block.size()));
    if (!SendAll(fd, block.data(), piece)) return false;
    offset += piece;
  }
  return true;
}

}  // namespace

struct GeneratedBodyServer::Impl {
  // Each request's head (requests carry no body) gets the whole generated answer.
  void Serve(int fd) const {
    std::string buffer;
    char chunk[4096];
    bool peerThere = true;
    for (ssize_t got; peerThere && (got = recv(fd, chunk, sizeof chunk, 0)) > 0;) {
      buffer.append(chunk, static_cast<std::size_t>(got));
      for (std::size_t end; peerThere && (end = buffer.find("\r\n\r\n")) != std::string::npos;) {
        buffer.erase(0, end + 4);
        peerThere = SendGenerated(fd, bodySize);
      }
    }
  }

  std::uint64_t bodySize = 0;
  int listenFd = -1;
  std::thread acceptThread;
  std::mutex mutex;
  bool stopping = false;
  std::vector<std::thread> threads;
  std::set<int> open;
};

GeneratedBodyServer::GeneratedBodyServer(std::uint64_t bodySize) : m_impl(std::make_unique<Impl>()) {
  Impl& impl = *m_impl;
  impl.bodySize = bodySize;
  impl.listenFd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (impl.listenFd < 0 || bind(impl.listenFd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(impl.listenFd, 64) != 0 ||
      getsockname(impl.listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("benchmark server: cannot listen");
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
      impl.threads.emplace_back([&impl, fd] {
        impl.Serve(fd);
        {
          std::lock_guard closing(impl.mutex);
          impl.open.erase(fd);
        }
        close(fd);
      });
    }
  });
}

GeneratedBodyServer::~GeneratedBodyServer() {
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

}  // namespace skiff::bench
