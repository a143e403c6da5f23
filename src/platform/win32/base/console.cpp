// The log echo on Windows: the process's console output device, when it has one.
#include <windows.h>

#include "platform/platform.h"

namespace skiff {

void ConsoleEcho(std::string_view text) {
  // Opened per line: a console may be attached or freed while the program runs.
  HANDLE console = CreateFileA("CONOUT$", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
  if (console == INVALID_HANDLE_VALUE) return;  // no console: the echo is dropped
  DWORD written = 0;
  while (!text.empty()) {
    const auto chunk = static_cast<DWORD>(text.size() > 0x10000 ? 0x10000 : text.size());
    if (!WriteFile(console, text.data(), chunk, &written, nullptr) || written == 0) break;
    text.remove_prefix(written);
  }
  WriteFile(console, "\n", 1, &written, nullptr);
  CloseHandle(console);
}

}  // namespace skiff
