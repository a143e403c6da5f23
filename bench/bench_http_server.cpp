// A loopback HTTP/1.1 server for the end-to-end benchmarks that costs next to nothing
// per byte: GET /bytes/N answers N bytes of a fixed pattern (byte i is i % 251) sent
// straight from one prepared buffer, so the server is never what limits a measurement.
//
//   bench_http_server [PORT]     listens on 127.0.0.1:PORT (0: any), prints the port
//   bench_http_server --dump N   writes the N-byte body to standard output
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr std::size_t kPeriod = 251;
// Whole periods, so the body from any offset is one contiguous slice of it.
const std::vector<std::uint8_t>& Pattern() {
  static const std::vector<std::uint8_t> pattern = [] {
    std::vector<std::uint8_t> bytes(kPeriod * 4096 + kPeriod);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i % kPeriod);
    return bytes;
  }();
  return pattern;
}

bool SendAll(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  while (size > 0) {
    const ssize_t sent = ::send(fd, bytes, size, MSG_NOSIGNAL);
    if (sent <= 0) {
      if (sent < 0 && errno == EINTR) continue;
      return false;
    }
    bytes += sent;
    size -= static_cast<std::size_t>(sent);
  }
  return true;
}

bool SendBody(int fd, std::uint64_t size) {
  const auto& pattern = Pattern();
  const std::size_t slice = kPeriod * 4096;
  std::uint64_t offset = 0;
  while (offset < size) {
    const std::size_t start = static_cast<std::size_t>(offset % kPeriod);
    const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(slice, size - offset));
    if (!SendAll(fd, pattern.data() + start, count)) return false;
    offset += count;
  }
  return true;
}

void Serve(int fd) {
  std::string pending;
  char buffer[8192];
  for (;;) {
    std::size_t end;
    while ((end = pending.find("\r\n\r\n")) == std::string::npos) {
      const ssize_t got = ::recv(fd, buffer, sizeof buffer, 0);
      if (got <= 0 || pending.size() > 65536) {
        ::close(fd);
        return;
      }
      pending.append(buffer, static_cast<std::size_t>(got));
    }
    const std::string head = pending.substr(0, end);
    pending.erase(0, end + 4);
    std::uint64_t size = 0;
    bool found = false;
    const auto prefix = head.find(" /bytes/");
    if (head.starts_with("GET ") && prefix != std::string::npos) {
      char* after = nullptr;
      size = std::strtoull(head.c_str() + prefix + 8, &after, 10);
      found = after != nullptr && *after == ' ';
    }
    const std::string status = found ? "200 OK" : "404 Not Found";
    if (!found) size = 0;
    const std::string reply =
        "HTTP/1.1 " + status +
        "\r\nContent-Type: application/octet-stream\r\nContent-Length: " + std::to_string(size) + "\r\n\r\n";
    if (!SendAll(fd, reply.data(), reply.size()) || !SendBody(fd, size)) {
      ::close(fd);
      return;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--dump") == 0) {
    const std::uint64_t size = std::strtoull(argv[2], nullptr, 10);
    const auto& pattern = Pattern();
    for (std::uint64_t offset = 0; offset < size;) {
      const std::size_t count =
          static_cast<std::size_t>(std::min<std::uint64_t>(kPeriod * 4096, size - offset));
      std::fwrite(pattern.data() + offset % kPeriod, 1, count, stdout);
      offset += count;
    }
    return 0;
  }
  std::signal(SIGPIPE, SIG_IGN);
  const int port = argc > 1 ? std::atoi(argv[1]) : 0;
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int yes = 1;
  ::setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  socklen_t length = sizeof address;
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, 64) != 0 ||
      ::getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    std::perror("bench_http_server: listen");
    return 1;
  }
  std::printf("%d\n", ntohs(address.sin_port));
  std::fflush(stdout);
  Pattern();
  for (;;) {
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::thread(Serve, fd).detach();
  }
}
