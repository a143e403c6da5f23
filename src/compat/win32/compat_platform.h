// COM vocabulary on Windows: the system's own headers, plus the few helpers the core
// uses on every platform.
#pragma once

// windows.h first: the COM headers expect its definitions.
#include <windows.h>

#include <objbase.h>
#include <oleauto.h>
#include <olectl.h>

#include <cstdint>

// An HRESULT from its documented 32-bit value, without sign-conversion warnings.
constexpr HRESULT MakeHresult(std::uint32_t value) {
  return static_cast<HRESULT>(value);
}
