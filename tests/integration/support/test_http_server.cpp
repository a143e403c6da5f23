// The in-process loopback HTTP(S) server of the integration tests: one thread accepts,
// one thread per connection parses requests (bodies by Content-Length) and runs
// the handler of the request's path. Every blocking wait also watches a stop event, so
// Stop() ends stalled handlers at once.
#include "test_http_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <stdexcept>
#include <unordered_set>

#include <openssl/err.h>
#include <openssl/ssl.h>

namespace skiff::test {

namespace {

constexpr std::uint64_t kPatternPeriod = 65521;  // prime, so a misplaced piece shows
constexpr std::size_t kPatternWindow = 256 * 1024;

const std::vector<std::uint8_t>& PatternBlock() {
  static const std::vector<std::uint8_t> block = [] {
    std::vector<std::uint8_t> bytes(kPatternPeriod + kPatternWindow);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = PatternByte(i);
    return bytes;
  }();
  return block;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

std::uint8_t PatternByte(std::uint64_t offset) {
  std::uint64_t i = offset % kPatternPeriod;
  return static_cast<std::uint8_t>((i * 2654435761u) >> 13);
}

bool MatchesPattern(const std::uint8_t* data, std::size_t size, std::uint64_t offset) {
  const auto& block = PatternBlock();
  while (size > 0) {
    std::size_t start = offset % kPatternPeriod;
    std::size_t piece = std::min(size, kPatternWindow);
    if (std::memcmp(data, block.data() + start, piece) != 0) return false;
    data += piece;
    size -= piece;
    offset += piece;
  }
  return true;
}

std::string ReceivedRequest::Header(std::string_view name) const {
  for (const auto& [key, value] : headers)
    if (EqualsNoCase(key, name)) return value;
  return {};
}

bool ReceivedRequest::HasHeader(std::string_view name) const {
  return std::any_of(headers.begin(), headers.end(),
                     [&](const auto& h) { return EqualsNoCase(h.first, name); });
}

std::string ReceivedRequest::Path() const {
  return target.substr(0, target.find('?'));
}

struct TestHttpServer::Impl {
  int listenFd = -1;
  int stopFd = -1;
  SSL_CTX* tls = nullptr;
  std::atomic<bool> stopping{false};
  std::thread acceptThread;
  mutable std::mutex mutex;
  std::map<std::string, Handler> routes;
  std::vector<ReceivedRequest> requests;
  std::vector<std::thread> connectionThreads;
  std::unordered_set<int> openFds;
};

namespace {

// A connection's byte stream, plain or TLS, with waits that end on the stop event.
class Stream final : public ServerConnection {
 public:
  Stream(int fd, int stopFd, SSL* ssl) : m_fd(fd), m_stopFd(stopFd), m_ssl(ssl) {}

  // Waits for readability; false on stop.
  bool WaitReadable() {
    if (m_ssl != nullptr && SSL_pending(m_ssl) > 0) return true;
    pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_stopFd, POLLIN, 0}};
    for (;;) {
      int ready = poll(fds, 2, -1);
      if (ready < 0 && errno == EINTR) continue;
      if (ready < 0 || (fds[1].revents & POLLIN) != 0) return false;
      return true;
    }
  }

  // Reads some bytes; 0 at the end or on failure.
  std::size_t Receive(char* data, std::size_t size) {
    if (m_dead || !WaitReadable()) return 0;
    if (m_ssl != nullptr) {
      int got = SSL_read(m_ssl, data, static_cast<int>(size));
      return got > 0 ? static_cast<std::size_t>(got) : 0;
    }
    ssize_t got = recv(m_fd, data, size, 0);
    return got > 0 ? static_cast<std::size_t>(got) : 0;
  }

  bool Send(const void* data, std::size_t size) override {
    const char* bytes = static_cast<const char*>(data);
    while (size > 0 && !m_dead) {
      pollfd fds[2] = {{m_fd, POLLOUT, 0}, {m_stopFd, POLLIN, 0}};
      if (poll(fds, 2, -1) < 0 && errno != EINTR) return false;
      if ((fds[1].revents & POLLIN) != 0) return false;
      ssize_t sent;
      if (m_ssl != nullptr) {
        int n = SSL_write(m_ssl, bytes, static_cast<int>(std::min<std::size_t>(size, 1 << 20)));
        sent = n > 0 ? n : -1;
      } else {
        sent = send(m_fd, bytes, size, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent < 0 && (errno == EAGAIN || errno == EINTR)) continue;
      }
      if (sent <= 0) {
        m_dead = true;
        return false;
      }
      bytes += sent;
      size -= static_cast<std::size_t>(sent);
    }
    return !m_dead;
  }

  void Reset() override {
    linger hard{1, 0};
    setsockopt(m_fd, SOL_SOCKET, SO_LINGER, &hard, sizeof hard);
    shutdown(m_fd, SHUT_RDWR);
    m_dead = true;
  }

  void WaitUntilClosed() override {
    char scratch[4096];
    while (Receive(scratch, sizeof scratch) > 0) {
    }
    m_dead = true;
  }

  bool Dead() const { return m_dead; }

 private:
  int m_fd;
  int m_stopFd;
  SSL* m_ssl;
  bool m_dead = false;
};

// Buffered request parsing over a Stream.
class RequestReader {
 public:
  explicit RequestReader(Stream& stream) : m_stream(stream) {}

  bool Read(ReceivedRequest& request) {
    std::string head;
    for (;;) {
      std::size_t end = m_buffer.find("\r\n\r\n");
      if (end != std::string::npos) {
        head = m_buffer.substr(0, end + 2);
        m_buffer.erase(0, end + 4);
        break;
      }
      if (m_buffer.size() > (1 << 20) || !Fill()) return false;
    }
    std::size_t lineEnd = head.find("\r\n");
    std::string line = head.substr(0, lineEnd);
    std::size_t s1 = line.find(' '), s2 = line.rfind(' ');
    if (s1 == std::string::npos || s2 == s1) return false;
    request.method = line.substr(0, s1);
    request.target = line.substr(s1 + 1, s2 - s1 - 1);
    request.version = line.substr(s2 + 1);
    for (std::size_t pos = lineEnd + 2; pos < head.size();) {
      std::size_t next = head.find("\r\n", pos);
      std::string field = head.substr(pos, next - pos);
      pos = next + 2;
      std::size_t colon = field.find(':');
      if (colon == std::string::npos) continue;
      std::size_t valueStart = field.find_first_not_of(" \t", colon + 1);
      request.headers.emplace_back(field.substr(0, colon),
                                   valueStart == std::string::npos ? "" : field.substr(valueStart));
    }
    std::string length = request.Header("Content-Length");
    if (!length.empty()) return ReadExactly(std::stoull(length), request.body);
    return true;
  }

 private:
  bool Fill() {
    char chunk[16384];
    std::size_t got = m_stream.Receive(chunk, sizeof chunk);
    if (got == 0) return false;
    m_buffer.append(chunk, got);
    return true;
  }
  bool ReadExactly(std::uint64_t count, std::string& out) {
    while (m_buffer.size() < count)
      if (!Fill()) return false;
    out.append(m_buffer, 0, count);
    m_buffer.erase(0, count);
    return true;
  }
  Stream& m_stream;
  std::string m_buffer;
};

}  // namespace

TestHttpServer::TestHttpServer(std::optional<TlsSettings> tls, bool ipv6) : m_impl(std::make_unique<Impl>()) {
  if (tls) {
    m_impl->tls = SSL_CTX_new(TLS_server_method());
    if (m_impl->tls == nullptr ||
        SSL_CTX_use_certificate_chain_file(m_impl->tls, tls->certificateFile.c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(m_impl->tls, tls->keyFile.c_str(), SSL_FILETYPE_PEM) != 1)
      throw std::runtime_error("test server: cannot load the certificate");
    if (tls->requireClientCertificate)
      SSL_CTX_set_verify(m_impl->tls, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT,
                         [](int, X509_STORE_CTX*) { return 1; });
  }
  m_impl->stopFd = eventfd(0, EFD_CLOEXEC);
  int family = ipv6 ? AF_INET6 : AF_INET;
  m_impl->listenFd = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int yes = 1;
  setsockopt(m_impl->listenFd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_storage address{};
  socklen_t length;
  if (ipv6) {
    auto* a6 = reinterpret_cast<sockaddr_in6*>(&address);
    a6->sin6_family = AF_INET6;
    a6->sin6_addr = in6addr_loopback;
    length = sizeof *a6;
  } else {
    auto* a4 = reinterpret_cast<sockaddr_in*>(&address);
    a4->sin_family = AF_INET;
    a4->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    length = sizeof *a4;
  }
  if (m_impl->stopFd < 0 || m_impl->listenFd < 0 ||
      bind(m_impl->listenFd, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(m_impl->listenFd, 64) != 0 ||
      getsockname(m_impl->listenFd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("test server: cannot listen");
  m_port = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                      : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  m_impl->acceptThread = std::thread([this] { AcceptLoop(); });
}

TestHttpServer::~TestHttpServer() {
  Stop();
  if (m_impl->listenFd >= 0) close(m_impl->listenFd);
  if (m_impl->stopFd >= 0) close(m_impl->stopFd);
  if (m_impl->tls != nullptr) SSL_CTX_free(m_impl->tls);
}

void TestHttpServer::Route(const std::string& path, Handler handler) {
  std::lock_guard lock(m_impl->mutex);
  m_impl->routes[path] = std::move(handler);
}

std::vector<ReceivedRequest> TestHttpServer::Requests() const {
  std::lock_guard lock(m_impl->mutex);
  return m_impl->requests;
}

void TestHttpServer::Stop() {
  if (m_impl->stopping.exchange(true)) return;
  std::uint64_t one = 1;
  (void)!write(m_impl->stopFd, &one, sizeof one);
  if (m_impl->acceptThread.joinable()) m_impl->acceptThread.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(m_impl->mutex);
    for (int fd : m_impl->openFds) shutdown(fd, SHUT_RDWR);
    threads.swap(m_impl->connectionThreads);
  }
  for (auto& thread : threads) thread.join();
}

void TestHttpServer::AcceptLoop() {
  for (;;) {
    pollfd fds[2] = {{m_impl->listenFd, POLLIN, 0}, {m_impl->stopFd, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if ((fds[1].revents & POLLIN) != 0) return;
    int fd = accept4(m_impl->listenFd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    int yes = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
    std::lock_guard lock(m_impl->mutex);
    if (m_impl->stopping) {
      close(fd);
      return;
    }
    m_impl->openFds.insert(fd);
    m_impl->connectionThreads.emplace_back([this, fd] { Serve(fd); });
  }
}

void TestHttpServer::Serve(int fd) {
  SSL* ssl = nullptr;
  bool ready = true;
  if (m_impl->tls != nullptr) {
    ssl = SSL_new(m_impl->tls);
    SSL_set_fd(ssl, fd);
    ready = SSL_accept(ssl) == 1;
  }
  Stream stream(fd, m_impl->stopFd, ssl);
  RequestReader reader(stream);
  while (ready && !stream.Dead()) {
    ReceivedRequest request;
    if (!reader.Read(request)) break;
    Handler handler;
    {
      std::lock_guard lock(m_impl->mutex);
      m_impl->requests.push_back(request);
      auto it = m_impl->routes.find(request.Path());
      if (it != m_impl->routes.end()) handler = it->second;
    }
    if (handler)
      handler(request, stream);
    else
      SendFixed(stream, 404, "Not Found", "no such path\n");
    if (stream.closeAfter) break;
  }
  if (ssl != nullptr) {
    if (!stream.Dead()) SSL_shutdown(ssl);
    SSL_free(ssl);
  }
  ERR_clear_error();
  {
    std::lock_guard lock(m_impl->mutex);
    m_impl->openFds.erase(fd);
  }
  close(fd);
}

namespace {

std::string ResponseHead(int status, std::string_view reason, std::string_view extraHeaders = {}) {
  return "HTTP/1.1 " + std::to_string(status) + " " + std::string(reason) + "\r\n" +
         std::string(extraHeaders);
}

}  // namespace

void SendFixed(ServerConnection& connection, int status, std::string_view reason, std::string_view body,
               std::string_view extraHeaders) {
  std::string response = ResponseHead(status, reason, extraHeaders);
  response += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  response += body;
  connection.Send(response);
}

void SendChunked(ServerConnection& connection, const std::vector<std::string>& chunks,
                 std::string_view extraHeaders) {
  std::string response = ResponseHead(200, "OK", extraHeaders);
  response += "Transfer-Encoding: chunked\r\n\r\n";
  char size[32];
  for (const std::string& chunk : chunks) {
    std::snprintf(size, sizeof size, "%zx\r\n", chunk.size());
    response += size;
    response += chunk;
    response += "\r\n";
  }
  response += "0\r\n\r\n";
  connection.Send(response);
}

void SendRedirect(ServerConnection& connection, int status, std::string_view location) {
  SendFixed(connection, status, "Redirect", "", "Location: " + std::string(location) + "\r\n");
}

void SendCloseDelimited(ServerConnection& connection, std::string_view body) {
  std::string response = "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n";
  response += body;
  connection.Send(response);
  connection.CloseAfterResponse();
}

bool SendGenerated(ServerConnection& connection, std::uint64_t size,
                   std::optional<std::uint64_t> resetAfter) {
  if (!connection.Send(ResponseHead(200, "OK", "Content-Length: " + std::to_string(size) + "\r\n\r\n")))
    return false;
  const auto& block = PatternBlock();
  std::uint64_t limit = resetAfter.value_or(size);
  for (std::uint64_t offset = 0; offset < limit;) {
    std::size_t piece = static_cast<std::size_t>(std::min<std::uint64_t>(limit - offset, kPatternWindow));
    if (!connection.Send(block.data() + offset % kPatternPeriod, piece)) return false;
    offset += piece;
  }
  if (resetAfter) {
    connection.Reset();
    return false;
  }
  return true;
}

}  // namespace skiff::test
