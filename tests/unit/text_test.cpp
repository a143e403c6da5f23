// UTF-8 / UTF-16 conversions: replacement of invalid input, surrogate pairs, sizes and
// the refusal to cut a result that does not fit.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "core/text.h"

namespace skiff {
namespace {

std::u16string ToWide(const std::string& bytes) {
  std::u16string out(bytes.size() * 2 + 4, u'?');
  const std::size_t written = Utf8ToUtf16(out.data(), out.size(), bytes.data(), bytes.size());
  out.resize(written);
  return out;
}

std::string ToUtf8(const std::u16string& units) {
  std::string out(units.size() * 3 + 4, '?');
  const std::size_t written = Utf16ToUtf8(out.data(), out.size(), units.data(), units.size());
  out.resize(written);
  return out;
}

TEST(Utf8ToUtf16, SizesTerminatorAndCapacity) {
  WideChar dest[8] = {};
  EXPECT_EQ(Utf8ToUtf16(dest, 8, "abc", 4), 4u);  // the terminator counts and is written
  EXPECT_EQ(std::u16string(dest, 4), std::u16string(u"abc\0", 4));
  EXPECT_EQ(Utf8ToUtf16(nullptr, 0, "abc", 3), 3u);  // capacity 0 measures
  EXPECT_EQ(Utf8ToUtf16(dest, 8, "abc", 0), 0u);     // nothing to convert
  EXPECT_EQ(Utf8ToUtf16(dest, 3, "abc", 3), 3u);     // exact fit
  EXPECT_EQ(Utf8ToUtf16(dest, 2, "abc", 3), 0u);     // does not fit: fails, not cut
  EXPECT_EQ(Utf8ToUtf16(dest, 3, "abc", 4), 0u);     // the terminator does not fit
  // A pair is never split: one unit of room for a character that needs two fails.
  EXPECT_EQ(Utf8ToUtf16(dest, 1, "\xF0\x9F\x98\x80", 4), 0u);
  EXPECT_EQ(Utf8ToUtf16(nullptr, 0, "\xF0\x9F\x98\x80", 4), 2u);
}

TEST(Utf8ToUtf16, ValidSequencesOfEveryLength) {
  EXPECT_EQ(ToWide("A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80"), std::u16string(u"A\u00E9\u20AC\U0001F600"));
  EXPECT_EQ(ToWide("\xF4\x8F\xBF\xBF"), std::u16string({0xDBFF, 0xDFFF}));  // U+10FFFF
  EXPECT_EQ(ToWide("\xEF\xBB\xBF"), std::u16string(u"\uFEFF"));             // a BOM is kept
}

TEST(Utf8ToUtf16, InvalidSequencesBecomeReplacementCharacters) {
  const char16_t R = 0xFFFD;
  EXPECT_EQ(ToWide("\xFF"), std::u16string({R}));
  EXPECT_EQ(ToWide("a\x80z"), std::u16string({u'a', R, u'z'}));  // stray continuation
  EXPECT_EQ(ToWide("\xC0\x80"), std::u16string({R, R}));         // overlong NUL
  EXPECT_EQ(ToWide("\xC1\xBF"), std::u16string({R, R}));         // overlong 2-byte
  EXPECT_EQ(ToWide("\xE0\x80\xAF"), std::u16string({R, R, R}));  // overlong 3-byte
  EXPECT_EQ(ToWide("\xF0\x80\x80\xAF"), std::u16string({R, R, R, R}));
  EXPECT_EQ(ToWide("\xED\xA0\x80"), std::u16string({R, R, R}));         // encoded surrogate
  EXPECT_EQ(ToWide("\xF4\x90\x80\x80"), std::u16string({R, R, R, R}));  // past U+10FFFF
  EXPECT_EQ(ToWide("\xF5\x80"), std::u16string({R, R}));
  // A cut sequence is one replacement, and the byte that cut it is read on its own.
  EXPECT_EQ(ToWide("\xE2\x82"), std::u16string({R}));
  EXPECT_EQ(ToWide("\xE2\x82"
                   "A"),
            std::u16string({R, u'A'}));
  EXPECT_EQ(ToWide("\xF0\x9F\x98"
                   "\xC3\xA9"),
            std::u16string({R, 0x00E9}));
  // Replacement changes the size: measuring must agree with converting.
  EXPECT_EQ(Utf8ToUtf16(nullptr, 0, "\xC0\x80\xFF", 3), 3u);
}

TEST(Utf16ToUtf8, SizesAndCapacity) {
  char dest[8] = {};
  const WideChar euro[] = {0x20AC, 0};
  EXPECT_EQ(Utf16ToUtf8(nullptr, 0, euro, 2), 4u);
  EXPECT_EQ(Utf16ToUtf8(dest, 4, euro, 2), 4u);
  EXPECT_EQ(std::string(dest, 4), std::string("\xE2\x82\xAC\0", 4));
  EXPECT_EQ(Utf16ToUtf8(dest, 3, euro, 2), 0u);  // only the terminator is missing
  EXPECT_EQ(Utf16ToUtf8(dest, 2, euro, 1), 0u);  // a character is never cut
  EXPECT_EQ(Utf16ToUtf8(dest, 8, euro, 0), 0u);
}

TEST(Utf16ToUtf8, PairsAndLoneSurrogates) {
  const std::string R = "\xEF\xBF\xBD";
  EXPECT_EQ(ToUtf8(std::u16string({0xD83D, 0xDE00})), "\xF0\x9F\x98\x80");
  EXPECT_EQ(ToUtf8(std::u16string({0xD83D})), R);              // high at the end
  EXPECT_EQ(ToUtf8(std::u16string({0xDE00, u'x'})), R + "x");  // low alone
  EXPECT_EQ(ToUtf8(std::u16string({0xD83D, u'x'})), R + "x");  // high, then no low
  EXPECT_EQ(ToUtf8(std::u16string({0xDE00, 0xD83D})), R + R);  // the wrong way round
  EXPECT_EQ(ToUtf8(std::u16string({0xD83D, 0xD83D, 0xDE00})), R + "\xF0\x9F\x98\x80");
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
}

TEST(Text, ConvenienceFormsAndLength) {
  EXPECT_EQ(Utf8ToWideString(""), u"");
  EXPECT_EQ(WideToUtf8String(u""), "");
  EXPECT_EQ(Utf8ToWideString(std::string("a\0b", 3)), std::u16string(u"a\0b", 3));
  EXPECT_EQ(WideToUtf8String(u"BBPIN \u00E9"), "BBPIN \xC3\xA9");
  // Plain ASCII reads the same in every ANSI code page.
  EXPECT_EQ(AnsiToWideString("Opening Channel: 100%"), u"Opening Channel: 100%");
  EXPECT_EQ(WideToAnsiString(u"Opening Channel: 100%"), "Opening Channel: 100%");
  EXPECT_EQ(WideLength(u"SkiffhouseUSB"), 13u);
  EXPECT_EQ(WideLength(u""), 0u);
  EXPECT_EQ(WideLength(nullptr), 0u);
}

}  // namespace
}  // namespace skiff
