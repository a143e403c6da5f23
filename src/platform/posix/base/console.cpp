// The log echo on POSIX: standard error stands in for the console output device.
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace skiff {

namespace {

// Writes all of it, or gives up quietly: nothing can be reported about a failed echo.
void WriteAll(const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t written = ::write(STDERR_FILENO, data, size);
    if (written < 0) {
      if (errno == EINTR) continue;
      return;
    }
    data += written;
    size -= static_cast<std::size_t>(written);
  }
}

}  // namespace

void ConsoleEcho(std::string_view text) {
  // One write for the line and its "\n" keeps echoes from different threads whole.
  char small[512];
  if (text.size() < sizeof small) {
    std::memcpy(small, text.data(), text.size());
    small[text.size()] = '\n';
    WriteAll(small, text.size() + 1);
    return;
  }
  try {
    std::string line;
    line.reserve(text.size() + 1);
    line.append(text);
    line += '\n';
    WriteAll(line.data(), line.size());
  } catch (const std::bad_alloc&) {
    WriteAll(text.data(), text.size());
    WriteAll("\n", 1);
  }
}

}  // namespace skiff
