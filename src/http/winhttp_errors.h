// The Windows and WinHTTP error numbers a fetch can fail with, named once for every
// platform: the error-text table, both transports and the tests use these names. The
// WinHTTP transport checks each against the system's own header when it is built.
#pragma once

#include <cstdint>

namespace skiff {

inline constexpr std::uint32_t kErrorInvalidHandle = 6;              // ERROR_INVALID_HANDLE
inline constexpr std::uint32_t kErrorNotEnoughMemory = 8;            // ERROR_NOT_ENOUGH_MEMORY
inline constexpr std::uint32_t kErrorInvalidParameter = 87;          // ERROR_INVALID_PARAMETER
inline constexpr std::uint32_t kErrorInsufficientBuffer = 122;       // ERROR_INSUFFICIENT_BUFFER
inline constexpr std::uint32_t kErrorTimeout = 12002;                // ERROR_WINHTTP_TIMEOUT
inline constexpr std::uint32_t kErrorInternal = 12004;               // ERROR_WINHTTP_INTERNAL_ERROR
inline constexpr std::uint32_t kErrorInvalidUrl = 12005;             // ERROR_WINHTTP_INVALID_URL
inline constexpr std::uint32_t kErrorUnrecognizedScheme = 12006;     // ERROR_WINHTTP_UNRECOGNIZED_SCHEME
inline constexpr std::uint32_t kErrorNameNotResolved = 12007;        // ERROR_WINHTTP_NAME_NOT_RESOLVED
inline constexpr std::uint32_t kErrorShutdown = 12012;               // ERROR_WINHTTP_SHUTDOWN
inline constexpr std::uint32_t kErrorLoginFailure = 12015;           // ERROR_WINHTTP_LOGIN_FAILURE
inline constexpr std::uint32_t kErrorOperationCancelled = 12017;     // ERROR_WINHTTP_OPERATION_CANCELLED
inline constexpr std::uint32_t kErrorIncorrectHandleType = 12018;    // ERROR_WINHTTP_INCORRECT_HANDLE_TYPE
inline constexpr std::uint32_t kErrorIncorrectHandleState = 12019;   // ERROR_WINHTTP_INCORRECT_HANDLE_STATE
inline constexpr std::uint32_t kErrorCannotConnect = 12029;          // ERROR_WINHTTP_CANNOT_CONNECT
inline constexpr std::uint32_t kErrorConnectionError = 12030;        // ERROR_WINHTTP_CONNECTION_ERROR
inline constexpr std::uint32_t kErrorResendRequest = 12032;          // ERROR_WINHTTP_RESEND_REQUEST
inline constexpr std::uint32_t kErrorClientCertNeeded = 12044;       // ERROR_WINHTTP_CLIENT_AUTH_CERT_NEEDED
inline constexpr std::uint32_t kErrorHeaderNotFound = 12150;         // ERROR_WINHTTP_HEADER_NOT_FOUND
inline constexpr std::uint32_t kErrorInvalidServerResponse = 12152;  // ERROR_WINHTTP_INVALID_SERVER_RESPONSE
inline constexpr std::uint32_t kErrorRedirectFailed = 12156;         // ERROR_WINHTTP_REDIRECT_FAILED
inline constexpr std::uint32_t kErrorSecureChannelError = 12157;     // ERROR_WINHTTP_SECURE_CHANNEL_ERROR
inline constexpr std::uint32_t kErrorSecureFailure = 12175;          // ERROR_WINHTTP_SECURE_FAILURE
inline constexpr std::uint32_t kErrorHeaderCountExceeded = 12181;    // ERROR_WINHTTP_HEADER_COUNT_EXCEEDED
inline constexpr std::uint32_t kErrorHeaderSizeOverflow = 12182;     // ERROR_WINHTTP_HEADER_SIZE_OVERFLOW
inline constexpr std::uint32_t kErrorChunkedEncodingOverflow =
    12183;  // ERROR_WINHTTP_CHUNKED_ENCODING_HEADER_SIZE_OVERFLOW
inline constexpr std::uint32_t kErrorResponseDrainOverflow = 12184;  // ERROR_WINHTTP_RESPONSE_DRAIN_OVERFLOW

// The HTTP client's own two codes, beyond the platform's range.
inline constexpr std::uint32_t ERROR_CALL_OUT_OF_ORDER = 854732;  // not allowed in the client's state
inline constexpr std::uint32_t ERROR_HEADERS_TOO_LONG = 854733;   // raw headers do not fit the buffer

}  // namespace skiff
