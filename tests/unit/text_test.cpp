// UTF-8 / UTF-16 conversions: replacement of invalid input, surrogate pairs, sizes and
// the refusal to cut a result that does not fit.
#include <string>
#include <utility>

#include <gtest/gtest.h>

#include "core/text.h"

namespace skiff {
namespace {

TEST(Utf8ToUtf16, SizesTerminatorAndCapacity) {
  WideChar dest[8] = {};
  EXPECT_EQ(Utf8ToUtf16(dest, 8, "abc", 4), 4u);  // the terminator counts and is written
  EXPECT_EQ(std::u16string(dest, 4), std::u16string(u"abc\0", 4));
  EXPECT_EQ(Utf8ToUtf16(nullptr, 0, "abc", 3), 3u);  // capacity 0 measures
  EXPECT_EQ(Utf8ToUtf16(dest, 3, "abc", 3), 3u);     // exact fit
  EXPECT_EQ(Utf8ToUtf16(dest, 3, "abc", 4), 0u);     // the terminator does not fit: fails, not cut
  // A pair is never split: one unit of room for a character that needs two fails.
  EXPECT_EQ(Utf8ToUtf16(dest, 1, "\xF0\x9F\x98\x80", 4), 0u);
  // Replacement changes the size: measuring must agree with converting.
  EXPECT_EQ(Utf8ToUtf16(nullptr, 0, "\xC0\x80\xFF", 3), 3u);

  char narrow[8] = {};
  const WideChar euro[] = {0x20AC, 0};
  EXPECT_EQ(Utf16ToUtf8(nullptr, 0, euro, 2), 4u);
  EXPECT_EQ(Utf16ToUtf8(narrow, 4, euro, 2), 4u);
  EXPECT_EQ(std::string(narrow, 4), std::string("\xE2\x82\xAC\0", 4));
  EXPECT_EQ(Utf16ToUtf8(narrow, 3, euro, 2), 0u);  // only the terminator is missing
  EXPECT_EQ(Utf16ToUtf8(narrow, 2, euro, 1), 0u);  // a character is never cut
}

TEST(Utf8ToUtf16, InvalidSequencesBecomeOneReplacementEach) {
  const char16_t R = 0xFFFD;
  const std::pair<std::string, std::u16string> cases[] = {
      {"a\x80z", {u'a', R, u'z'}},            // stray continuation
      {"\xC0\x80", {R, R}},                   // overlong NUL
      {"\xE0\x80\xAF", {R, R, R}},            // overlong 3-byte
      {"\xED\xA0\x80", {R, R, R}},            // encoded surrogate
      {"\xF4\x90\x80\x80", {R, R, R, R}},     // past U+10FFFF
      {"\xF0\x9F\x98\xC3\xA9", {R, 0x00E9}},  // a cut sequence is one, the cutter read alone
      {"\xEF\xBB\xBF\xF4\x8F\xBF\xBF", {0xFEFF, 0xDBFF, 0xDFFF}},  // a BOM is kept; U+10FFFF
  };
  for (const auto& [bytes, units] : cases)
    EXPECT_EQ(Utf8ToWideString(bytes), units) << ::testing::PrintToString(bytes);
}

TEST(Utf16ToUtf8, LoneSurrogatesBecomeReplacements) {
  const std::string R = "\xEF\xBF\xBD";
  EXPECT_EQ(WideToUtf8String(std::u16string{0xD83D}), R);              // high at the end
  EXPECT_EQ(WideToUtf8String(std::u16string{0xDE00, 0xD83D}), R + R);  // the wrong way round
  EXPECT_EQ(WideToUtf8String(std::u16string{0xD83D, 0xD83D, 0xDE00, u'x'}), R + "\xF0\x9F\x98\x80x");
  // A pair cut by the count: the high half is converted alone.
  const WideChar pair[] = {0xD83D, 0xDE00};
  char dest[8] = {};
  EXPECT_EQ(Utf16ToUtf8(dest, 8, pair, 1), 3u);
  EXPECT_EQ(std::string(dest, 3), R);
}

TEST(Text, EveryScalarValueRoundTrips) {
  std::u16string all;
  for (char32_t ch = 1; ch <= 0x10FFFF; ++ch) {
    if (ch >= 0xD800 && ch <= 0xDFFF) continue;
    if (ch < 0x10000) {
      all += static_cast<char16_t>(ch);
    } else {
      all += static_cast<char16_t>(0xD800 + ((ch - 0x10000) >> 10));
      all += static_cast<char16_t>(0xDC00 + ((ch - 0x10000) & 0x3FF));
    }
  }
  const std::string utf8 = WideToUtf8String(all);
  // 127 one-byte, 1920 two-byte, 63488 three-byte less 2048 surrogates, 1048576 four-byte.
  EXPECT_EQ(utf8.size(), 127u + 1920u * 2 + (63488u - 2048u) * 3 + 1048576u * 4);
  EXPECT_EQ(Utf8ToWideString(utf8), all);
  EXPECT_EQ(Utf8ToWideString(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
  EXPECT_EQ(WideLength(u"SkiffhouseUSB"), 13u);
  EXPECT_EQ(WideLength(nullptr), 0u);
}

}  // namespace
}  // namespace skiff
