// Length-prefixed 16-bit strings for systems without OLE Automation: a 32-bit byte count
// just before the first unit, the units, then a NUL unit, as the platform lays them out.
#include <cstdlib>
#include <cstring>
#include <limits>

#include "compat_platform.h"

namespace {

constexpr std::size_t kPrefixBytes = sizeof(std::uint32_t);

// The platform refuses strings whose byte count does not fit the 32-bit prefix.
constexpr UINT kMaxUnits =
    (std::numeric_limits<std::uint32_t>::max() - kPrefixBytes - sizeof(OLECHAR)) / sizeof(OLECHAR) / 2;

unsigned char* BlockOf(BSTR text) {
  return reinterpret_cast<unsigned char*>(text) - kPrefixBytes;
}

}  // namespace

BSTR SysAllocStringLen(const OLECHAR* text, UINT length) {
  if (length > kMaxUnits) return nullptr;
  const std::size_t bytes = std::size_t{length} * sizeof(OLECHAR);
  // malloc, not new: running out of memory is a null result here, never an exception.
  auto* block = static_cast<unsigned char*>(std::malloc(kPrefixBytes + bytes + sizeof(OLECHAR)));
  if (block == nullptr) return nullptr;
  const auto byteCount = static_cast<std::uint32_t>(bytes);
  std::memcpy(block, &byteCount, sizeof byteCount);
  auto* units = reinterpret_cast<OLECHAR*>(block + kPrefixBytes);
  if (text != nullptr) {
    std::memcpy(units, text, bytes);
  } else {
    std::memset(units, 0, bytes);  // the platform leaves them undefined; zero is kinder
  }
  units[length] = u'\0';
  return units;
}

BSTR SysAllocString(const OLECHAR* text) {
  if (text == nullptr) return nullptr;
  std::size_t length = 0;
  while (text[length] != u'\0') ++length;
  if (length > kMaxUnits) return nullptr;
  return SysAllocStringLen(text, static_cast<UINT>(length));
}

void SysFreeString(BSTR text) {
  if (text != nullptr) std::free(BlockOf(text));
}

UINT SysStringLen(BSTR text) {
  if (text == nullptr) return 0;
  std::uint32_t byteCount = 0;
  std::memcpy(&byteCount, BlockOf(text), sizeof byteCount);
  return byteCount / sizeof(OLECHAR);
}
