// The benchmark's loopback HTTP server: every request, whatever its path, is answered with
// one generated body of a fixed size, on a thread per connection.
#pragma once

#include <cstdint>
#include <memory>

namespace skiff::bench {

class GeneratedBodyServer {
 public:
  // Listens on a free port of 127.0.0.1; the destructor ends every connection.
  explicit GeneratedBodyServer(std::uint64_t bodySize);
  ~GeneratedBodyServer();
  GeneratedBodyServer(const GeneratedBodyServer&) = delete;
  GeneratedBodyServer& operator=(const GeneratedBodyServer&) = delete;

  std::uint16_t Port() const { return m_port; }

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
  std::uint16_t m_port = 0;
};

}  // namespace skiff::bench
