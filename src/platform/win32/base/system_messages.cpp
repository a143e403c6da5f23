// The system's message text for an HRESULT, from the system's message tables.
#include <windows.h>

#include "platform/platform.h"

namespace skiff {

bool SystemMessageText(HRESULT code, std::string& text) {
  char* buffer = nullptr;
  // FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, the neutral language.
  const DWORD length = FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM, nullptr,
                                      static_cast<DWORD>(code), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                                      reinterpret_cast<LPSTR>(&buffer), 0, nullptr);
  if (length == 0 || buffer == nullptr) return false;
  bool made = true;
  try {
    text.assign(buffer, length);
  } catch (...) {
    made = false;
  }
  LocalFree(buffer);
  return made;
}

}  // namespace skiff
