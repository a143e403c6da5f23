// The benchmark's loopback HTTP server: one thread per connection answers each request
// (its head only: no request bodies) through the handler of its path.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace skiff::test {

struct ReceivedRequest {
  std::string method;
  std::string target;  // as on the request line, query included
};

class ServerConnection {
 public:
  virtual ~ServerConnection() = default;
  // False once the peer is gone or the server stops.
  virtual bool Send(const void* data, std::size_t size) = 0;
  bool Send(std::string_view text) { return Send(text.data(), text.size()); }
};

using Handler = std::function<void(const ReceivedRequest&, ServerConnection&)>;

class TestHttpServer {
 public:
  // Listens on a free port of 127.0.0.1; the destructor ends every connection.
  TestHttpServer();
  ~TestHttpServer();
  TestHttpServer(const TestHttpServer&) = delete;
  TestHttpServer& operator=(const TestHttpServer&) = delete;

  // Answers requests whose path (without query) is `path`; others get 404.
  void Route(const std::string& path, Handler handler);
  std::uint16_t Port() const { return m_port; }

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
  std::uint16_t m_port = 0;
};

// A 200 response with a body of `size` bytes and its Content-Length; false when the peer
// went away.
bool SendGenerated(ServerConnection& connection, std::uint64_t size);

}  // namespace skiff::test
