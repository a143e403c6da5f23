// On POSIX the "ANSI" code page is UTF-8: the core's own UTF-8 conversion serves it.
#include "platform/platform.h"

namespace skiff {

bool SystemAnsiToWide(WideChar* /*dest*/, std::size_t /*capacity*/, const char* /*source*/,
                      std::size_t /*count*/, std::size_t& written) {
  written = 0;
  return false;
}

bool SystemWideToAnsi(char* /*dest*/, std::size_t /*capacity*/, const WideChar* /*source*/,
                      std::size_t /*count*/, std::size_t& written) {
  written = 0;
  return false;
}

}  // namespace skiff
