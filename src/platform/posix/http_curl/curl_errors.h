// The Windows and WinHTTP error numbers the POSIX transport answers with, and the map
// from a libcurl result to the number a Windows user would get for the same failure.
#pragma once

#include <cstdint>

#include <curl/curl.h>

namespace skiff {

inline constexpr std::uint32_t kErrorInvalidHandle = 6;
inline constexpr std::uint32_t kErrorNotEnoughMemory = 8;
inline constexpr std::uint32_t kErrorInvalidParameter = 87;
inline constexpr std::uint32_t kErrorInsufficientBuffer = 122;
inline constexpr std::uint32_t kErrorTimeout = 12002;
inline constexpr std::uint32_t kErrorInternal = 12004;
inline constexpr std::uint32_t kErrorInvalidUrl = 12005;
inline constexpr std::uint32_t kErrorUnrecognizedScheme = 12006;
inline constexpr std::uint32_t kErrorNameNotResolved = 12007;
inline constexpr std::uint32_t kErrorOperationCancelled = 12017;
inline constexpr std::uint32_t kErrorIncorrectHandleType = 12018;
inline constexpr std::uint32_t kErrorIncorrectHandleState = 12019;
inline constexpr std::uint32_t kErrorCannotConnect = 12029;
inline constexpr std::uint32_t kErrorConnectionError = 12030;
inline constexpr std::uint32_t kErrorClientCertNeeded = 12044;
inline constexpr std::uint32_t kErrorHeaderNotFound = 12150;
inline constexpr std::uint32_t kErrorInvalidServerResponse = 12152;
inline constexpr std::uint32_t kErrorRedirectFailed = 12156;
inline constexpr std::uint32_t kErrorSecureFailure = 12175;
inline constexpr std::uint32_t kErrorHeaderSizeOverflow = 12182;

// The number for a failed transfer, by libcurl's result alone. The transport refines a
// few by what it saw (a cancel, a redirect, a client-certificate request).
std::uint32_t WinHttpCodeFor(CURLcode result);

}  // namespace skiff
