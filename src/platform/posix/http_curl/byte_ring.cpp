// The body ring: two copies at most per push or pop, at the wrap point.
#include "platform/posix/http_curl/byte_ring.h"

#include <algorithm>
#include <cstring>

namespace skiff {

ByteRing::ByteRing(std::size_t capacity) : m_bytes(new std::uint8_t[capacity]), m_capacity(capacity) {}

void ByteRing::Push(const void* data, std::size_t count) {
  const auto* in = static_cast<const std::uint8_t*>(data);
  const std::size_t tail = (m_head + m_size) % m_capacity;
  const std::size_t first = std::min(count, m_capacity - tail);
  std::memcpy(m_bytes.get() + tail, in, first);
  std::memcpy(m_bytes.get(), in + first, count - first);
  m_size += count;
}

std::size_t ByteRing::Pop(void* destination, std::size_t count) {
  count = std::min(count, m_size);
  const std::size_t first = std::min(count, m_capacity - m_head);
  auto* out = static_cast<std::uint8_t*>(destination);
  std::memcpy(out, m_bytes.get() + m_head, first);
  std::memcpy(out + first, m_bytes.get(), count - first);
  m_head = (m_head + count) % m_capacity;
  m_size -= count;
  return count;
}

}  // namespace skiff
