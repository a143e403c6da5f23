// The COM vocabulary the core speaks: HRESULT, GUID, IUnknown, BSTR, VARIANT and the
// status codes. The platform's own definitions come from compat_platform.h, which CMake
// picks from compat/win32 (the system headers) or compat/posix (our own).
#pragma once

#include <cstdint>

#include "compat_platform.h"

// The core's 16-bit text unit, the same type on every platform. On Windows it is
// converted to OLECHAR (wchar_t) only where a system call needs it.
using WideChar = char16_t;

// Turns a platform OLECHAR text into the core's 16-bit text and back. Both are 16-bit
// units on every supported platform, so this is a view, not a conversion.
inline const WideChar* AsWide(const OLECHAR* text) {
  return reinterpret_cast<const WideChar*>(text);
}
inline WideChar* AsWide(OLECHAR* text) {
  return reinterpret_cast<WideChar*>(text);
}
inline const OLECHAR* AsOle(const WideChar* text) {
  return reinterpret_cast<const OLECHAR*>(text);
}
inline OLECHAR* AsOle(WideChar* text) {
  return reinterpret_cast<OLECHAR*>(text);
}

static_assert(sizeof(OLECHAR) == sizeof(WideChar), "OLECHAR must be a 16-bit unit");
static_assert(sizeof(HRESULT) == 4, "HRESULT must be 32 bits");
