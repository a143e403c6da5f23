// Readable texts for the error codes a fetch step can fail with: the Windows and WinHTTP
// numbers the transport passes on and the client's own two codes.
#pragma once

#include <cstdint>

#include "compat/com.h"

namespace skiff {

// The fixed text for exactly this code, or null when the table has none (no ranges, no
// defaults, and the system is never asked).
const WideChar* HttpErrorText(std::uint32_t code);

}  // namespace skiff
