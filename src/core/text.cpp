// UTF-8 and UTF-16 conversions with the platform's rules (one U+FFFD for each maximal
// invalid part of a UTF-8 text, U+FFFD for a lone surrogate, no cut results), and the
// ANSI forms, which go to the system's code page unless that is UTF-8.
#include "core/text.h"

#include <cstdint>

#include "platform/platform.h"

namespace skiff {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Counts and, when there is room, stores units; remembers a result that did not fit.
template <typename Unit>
class Output {
 public:
  Output(Unit* dest, std::size_t capacity) : m_dest(dest), m_capacity(capacity) {}

  // All units of one character or none, so a failed result never ends in half of one.
  void Put(const Unit* units, std::size_t count) {
    if (m_capacity != 0) {
      if (m_dest == nullptr || count > m_capacity - m_written) {
        m_overflow = true;
        return;
      }
      for (std::size_t i = 0; i < count; ++i) m_dest[m_written + i] = units[i];
    }
    m_written += count;
  }

  bool Failed() const { return m_overflow; }
  std::size_t Result() const { return m_overflow ? 0 : m_written; }

 private:
  Unit* m_dest;
  std::size_t m_capacity;
  std::size_t m_written = 0;
  bool m_overflow = false;
};

bool IsContinuation(unsigned char byte) {
  return (byte & 0xC0) == 0x80;
}

// Decodes one character at source[pos]; on an invalid or cut sequence yields U+FFFD
// and consumes only the lead byte and the continuation bytes that were still valid.
char32_t DecodeUtf8(const unsigned char* source, std::size_t count, std::size_t& pos) {
  const unsigned char lead = source[pos++];
  if (lead < 0x80) return lead;
  int needed = 0;
  char32_t value = 0;
  // The second byte's range excludes overlong forms, surrogates and values past U+10FFFF.
  unsigned char low = 0x80;
  unsigned char high = 0xBF;
  if (lead >= 0xC2 && lead <= 0xDF) {
    needed = 1;
    value = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    needed = 2;
    value = lead & 0x0F;
    if (lead == 0xE0) low = 0xA0;
    if (lead == 0xED) high = 0x9F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    needed = 3;
    value = lead & 0x07;
    if (lead == 0xF0) low = 0x90;
    if (lead == 0xF4) high = 0x8F;
  } else {
    return kReplacement;
  }
  for (int i = 0; i < needed; ++i) {
    if (pos >= count) return kReplacement;
    const unsigned char byte = source[pos];
    if (i == 0 ? (byte < low || byte > high) : !IsContinuation(byte)) return kReplacement;
    value = (value << 6) | (byte & 0x3F);
    ++pos;
  }
  return value;
}

}  // namespace

std::size_t Utf8ToUtf16(WideChar* dest, std::size_t capacity, const char* source, std::size_t count) {
  if (source == nullptr || count == 0) return 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(source);
  Output<WideChar> out(dest, capacity);
  std::size_t pos = 0;
  while (pos < count && !out.Failed()) {
    const char32_t ch = DecodeUtf8(bytes, count, pos);
    if (ch < 0x10000) {
      const auto unit = static_cast<WideChar>(ch);
      out.Put(&unit, 1);
    } else {
      const char32_t offset = ch - 0x10000;
      const WideChar pair[2] = {static_cast<WideChar>(0xD800 + (offset >> 10)),
                                static_cast<WideChar>(0xDC00 + (offset & 0x3FF))};
      out.Put(pair, 2);
    }
  }
  return out.Result();
}

std::size_t Utf16ToUtf8(char* dest, std::size_t capacity, const WideChar* source, std::size_t count) {
  if (source == nullptr || count == 0) return 0;
  Output<char> out(dest, capacity);
  std::size_t pos = 0;
  while (pos < count && !out.Failed()) {
    char32_t ch = source[pos++];
    if (ch >= 0xD800 && ch <= 0xDBFF && pos < count && source[pos] >= 0xDC00 && source[pos] <= 0xDFFF) {
      ch = 0x10000 + ((ch - 0xD800) << 10) + (source[pos++] - 0xDC00);
    } else if (ch >= 0xD800 && ch <= 0xDFFF) {
      ch = kReplacement;  // a surrogate without its partner
    }
    char encoded[4];
    std::size_t length = 0;
    if (ch < 0x80) {
      encoded[length++] = static_cast<char>(ch);
    } else if (ch < 0x800) {
      encoded[length++] = static_cast<char>(0xC0 | (ch >> 6));
      encoded[length++] = static_cast<char>(0x80 | (ch & 0x3F));
    } else if (ch < 0x10000) {
      encoded[length++] = static_cast<char>(0xE0 | (ch >> 12));
      encoded[length++] = static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
      encoded[length++] = static_cast<char>(0x80 | (ch & 0x3F));
    } else {
      encoded[length++] = static_cast<char>(0xF0 | (ch >> 18));
      encoded[length++] = static_cast<char>(0x80 | ((ch >> 12) & 0x3F));
      encoded[length++] = static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
      encoded[length++] = static_cast<char>(0x80 | (ch & 0x3F));
    }
    out.Put(encoded, length);
  }
  return out.Result();
}

std::size_t AnsiToUtf16(WideChar* dest, std::size_t capacity, const char* source, std::size_t count) {
  std::size_t written = 0;
  if (SystemAnsiToWide(dest, capacity, source, count, written)) return written;
  return Utf8ToUtf16(dest, capacity, source, count);
}

std::size_t Utf16ToAnsi(char* dest, std::size_t capacity, const WideChar* source, std::size_t count) {
  std::size_t written = 0;
  if (SystemWideToAnsi(dest, capacity, source, count, written)) return written;
  return Utf16ToUtf8(dest, capacity, source, count);
}

namespace {

// Measures, then converts into a string of exactly that size.
template <typename To, typename From, typename Convert>
std::basic_string<To> ConvertWhole(std::basic_string_view<From> text, Convert convert) {
  std::basic_string<To> result;
  const std::size_t needed = convert(nullptr, 0, text.data(), text.size());
  if (needed == 0) return result;
  result.resize(needed);
  result.resize(convert(result.data(), result.size(), text.data(), text.size()));
  return result;
}

}  // namespace

std::u16string Utf8ToWideString(std::string_view text) {
  return ConvertWhole<char16_t>(text, Utf8ToUtf16);
}

std::string WideToUtf8String(std::u16string_view text) {
  return ConvertWhole<char>(text, Utf16ToUtf8);
}

std::string WideToAnsiString(std::u16string_view text) {
  return ConvertWhole<char>(text, Utf16ToAnsi);
}

std::u16string AnsiToWideString(std::string_view text) {
  return ConvertWhole<char16_t>(text, AnsiToUtf16);
}

std::size_t WideLength(const WideChar* text) {
  std::size_t length = 0;
  if (text != nullptr) {
    while (text[length] != u'\0') ++length;
  }
  return length;
}

}  // namespace skiff
