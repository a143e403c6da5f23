// The map from a libcurl result to the Windows or WinHTTP number a Windows user would
// get for the same failure.
#pragma once

#include <cstdint>

#include <curl/curl.h>

#include "http/winhttp_errors.h"

namespace skiff {

// The number for a failed transfer, by libcurl's result alone. The transport refines a
// few by what it saw (a cancel, a redirect, a client-certificate request).
std::uint32_t WinHttpCodeFor(CURLcode result);

}  // namespace skiff
