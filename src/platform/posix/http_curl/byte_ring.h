// A fixed ring of bytes between libcurl's deliveries and the caller's reads: the
// response body passes through it, so memory stays bounded whatever the body's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace skiff {

class ByteRing {
 public:
  explicit ByteRing(std::size_t capacity);
  std::size_t Size() const { return m_size; }
  std::size_t Free() const { return m_capacity - m_size; }
  void Clear() { m_head = m_size = 0; }
  // Appends `count` bytes; the caller checks that they fit (count <= Free()).
  void Push(const void* data, std::size_t count);
  // Takes up to `count` bytes from the front; returns how many were taken.
  std::size_t Pop(void* destination, std::size_t count);

 private:
  std::unique_ptr<std::uint8_t[]> m_bytes;
  std::size_t m_capacity;
  std::size_t m_head = 0;
  std::size_t m_size = 0;
};

}  // namespace skiff
