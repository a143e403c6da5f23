// Conversions between UTF-8, UTF-16 and the "ANSI" code page, with the platform's rules:
// invalid UTF-8 and lone surrogates become U+FFFD, and a text that does not fit its
// destination fails (returns 0) rather than being cut.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "compat/com.h"

namespace skiff {

// Converts count units/bytes of source (count may include a terminator, which is then
// converted like any other unit). Returns the number of units/bytes written, or 0 when
// the source is empty or the result needs more than capacity. With capacity 0 nothing
// is written and the needed size is returned.
std::size_t Utf8ToUtf16(WideChar* dest, std::size_t capacity, const char* source, std::size_t count);
std::size_t Utf16ToUtf8(char* dest, std::size_t capacity, const WideChar* source, std::size_t count);

// The same for the 8-bit "ANSI" code page (UTF-8 on POSIX; the system's code page on
// Windows, where unmappable characters become the code page's default character).
std::size_t AnsiToUtf16(WideChar* dest, std::size_t capacity, const char* source, std::size_t count);
std::size_t Utf16ToAnsi(char* dest, std::size_t capacity, const WideChar* source, std::size_t count);

// Convenience forms for code off the packet path (they allocate).
std::u16string Utf8ToWideString(std::string_view text);
std::string WideToUtf8String(std::u16string_view text);
std::string WideToAnsiString(std::u16string_view text);
std::u16string AnsiToWideString(std::string_view text);

// Length of a zero-terminated 16-bit text.
std::size_t WideLength(const WideChar* text);

}  // namespace skiff
