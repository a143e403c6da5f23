// The system's "ANSI" code page: conversions go through the system, which maps
// characters the code page lacks to its default character.
#include <windows.h>

#include <climits>

#include "platform/platform.h"

namespace skiff {

bool SystemAnsiToWide(WideChar* dest, std::size_t capacity, const char* source, std::size_t count,
                      std::size_t& written) {
  written = 0;
  if (source == nullptr || count == 0 || count > INT_MAX) return true;
  const int limit = capacity > INT_MAX ? INT_MAX : static_cast<int>(capacity);
  const int result = MultiByteToWideChar(CP_ACP, 0, source, static_cast<int>(count),
                                         limit == 0 ? nullptr : reinterpret_cast<LPWSTR>(dest), limit);
  written = result > 0 ? static_cast<std::size_t>(result) : 0;
  return true;
}

bool SystemWideToAnsi(char* dest, std::size_t capacity, const WideChar* source, std::size_t count,
                      std::size_t& written) {
  written = 0;
  if (source == nullptr || count == 0 || count > INT_MAX) return true;
  const int limit = capacity > INT_MAX ? INT_MAX : static_cast<int>(capacity);
  const int result = WideCharToMultiByte(CP_ACP, 0, reinterpret_cast<LPCWCH>(source), static_cast<int>(count),
                                         limit == 0 ? nullptr : dest, limit, nullptr, nullptr);
  written = result > 0 ? static_cast<std::size_t>(result) : 0;
  return true;
}

}  // namespace skiff
