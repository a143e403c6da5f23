// The COM vocabulary: BSTR layout and lifetime, the VARIANT conversions the device
// manager's property values go through, and the per-thread error object.
#include <atomic>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "compat/com.h"
#include "support/fake_error_info.h"

namespace {

using skiff::testing::FakeErrorInfo;

std::u16string Units(BSTR text) {
  return {AsWide(text), SysStringLen(text)};
}

BSTR MakeBstr(const std::u16string& text) {
  return SysAllocStringLen(AsOle(text.data()), static_cast<UINT>(text.size()));
}

TEST(Bstr, LayoutIsByteCountUnitsAndTerminator) {
  const OLECHAR text[] = {u'P', u'I', u'N', 0};
  BSTR copy = SysAllocString(text);
  ASSERT_NE(copy, nullptr);
  EXPECT_NE(copy, text);
  std::uint32_t prefix = 0;
  std::memcpy(&prefix, reinterpret_cast<const char*>(copy) - 4, 4);
  EXPECT_EQ(prefix, 6u);  // bytes, not units
  EXPECT_EQ(SysStringLen(copy), 3u);
  EXPECT_EQ(copy[3], 0);
  EXPECT_EQ(Units(copy), u"PIN");
  SysFreeString(copy);
}

TEST(Bstr, LengthFormKeepsEmbeddedNulsAndNullSourceGivesZeroedUnits) {
  const std::u16string withNul(u"a\0b", 3);
  BSTR copy = MakeBstr(withNul);
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(SysStringLen(copy), 3u);
  EXPECT_EQ(Units(copy), withNul);
  SysFreeString(copy);

  BSTR blank = SysAllocStringLen(nullptr, 4);
  ASSERT_NE(blank, nullptr);
  EXPECT_EQ(SysStringLen(blank), 4u);
  EXPECT_EQ(blank[4], 0);
  SysFreeString(blank);

  BSTR empty = SysAllocString(AsOle(u""));
  ASSERT_NE(empty, nullptr);  // an empty string is a string, not null
  EXPECT_EQ(SysStringLen(empty), 0u);
  EXPECT_EQ(empty[0], 0);
  SysFreeString(empty);
}

TEST(Bstr, NullIsAcceptedEverywhere) {
  EXPECT_EQ(SysAllocString(nullptr), nullptr);
  EXPECT_EQ(SysStringLen(nullptr), 0u);
  SysFreeString(nullptr);  // must not crash
}

class VariantChange : public ::testing::Test {
 protected:
  void SetUp() override {
    VariantInit(&m_source);
    VariantInit(&m_dest);
  }
  void TearDown() override {
    VariantClear(&m_source);
    VariantClear(&m_dest);
  }
  void SetText(const std::u16string& text) {
    VariantClear(&m_source);
    m_source.vt = VT_BSTR;
    m_source.bstrVal = MakeBstr(text);
  }
  // Converts the text to VT_I4: the code, and the value in value when it succeeded.
  HRESULT ToI4(const std::u16string& text, LONG& value) {
    SetText(text);
    VariantClear(&m_dest);
    const HRESULT hr = VariantChangeType(&m_dest, &m_source, 0, VT_I4);
    if (SUCCEEDED(hr)) {
      EXPECT_EQ(m_dest.vt, VT_I4);
      value = m_dest.lVal;
    }
    return hr;
  }
  VARIANT m_source;
  VARIANT m_dest;
};

TEST_F(VariantChange, DecimalTextBecomesI4) {
  LONG value = 0;
  ASSERT_EQ(ToI4(u"305419896", value), S_OK);
  EXPECT_EQ(value, 305419896);
  ASSERT_EQ(ToI4(u"-42", value), S_OK);
  EXPECT_EQ(value, -42);
  ASSERT_EQ(ToI4(u"+7", value), S_OK);
  EXPECT_EQ(value, 7);
  ASSERT_EQ(ToI4(u"  123  ", value), S_OK);
  EXPECT_EQ(value, 123);
  ASSERT_EQ(ToI4(u"0000000000012", value), S_OK);  // leading zeros do not overflow
  EXPECT_EQ(value, 12);
  ASSERT_EQ(ToI4(u"2147483647", value), S_OK);
  EXPECT_EQ(value, 2147483647);
  ASSERT_EQ(ToI4(u"-2147483648", value), S_OK);
  EXPECT_EQ(value, -2147483647 - 1);
}

TEST_F(VariantChange, NonDecimalTextIsATypeMismatchAndLeavesDestAlone) {
  LONG value = 0;
  m_dest.vt = VT_I4;
  m_dest.lVal = 99;
  SetText(u"12ab");
  EXPECT_EQ(VariantChangeType(&m_dest, &m_source, 0, VT_I4), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(m_dest.vt, VT_I4);
  EXPECT_EQ(m_dest.lVal, 99);
  EXPECT_EQ(ToI4(u"", value), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(ToI4(u"   ", value), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(ToI4(u"-", value), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(ToI4(u"abc", value), DISP_E_TYPEMISMATCH);
  EXPECT_EQ(ToI4(u"1 2", value), DISP_E_TYPEMISMATCH);
}

TEST_F(VariantChange, OutOfRangeTextOverflows) {
  LONG value = 0;
  EXPECT_EQ(ToI4(u"2147483648", value), DISP_E_OVERFLOW);
  EXPECT_EQ(ToI4(u"-2147483649", value), DISP_E_OVERFLOW);
  EXPECT_EQ(ToI4(u"4294967296", value), DISP_E_OVERFLOW);  // would wrap to 0 in 32 bits
  EXPECT_EQ(ToI4(u"99999999999999999999999", value), DISP_E_OVERFLOW);
}

TEST_F(VariantChange, I4BecomesPlainDecimalText) {
  m_source.vt = VT_I4;
  m_source.lVal = -2147483647 - 1;
  ASSERT_EQ(VariantChangeType(&m_dest, &m_source, 0, VT_BSTR), S_OK);
  ASSERT_EQ(m_dest.vt, VT_BSTR);
  EXPECT_EQ(Units(m_dest.bstrVal), u"-2147483648");

  m_source.lVal = 2018915346;  // no thousands separators, no padding
  ASSERT_EQ(VariantChangeType(&m_dest, &m_source, 0, VT_BSTR), S_OK);
  EXPECT_EQ(Units(m_dest.bstrVal), u"2018915346");
}

TEST_F(VariantChange, EmptyBecomesZeroAndInPlaceConversionFreesTheText) {
  ASSERT_EQ(VariantChangeType(&m_dest, &m_source, 0, VT_I4), S_OK);
  EXPECT_EQ(m_dest.vt, VT_I4);
  EXPECT_EQ(m_dest.lVal, 0);

  // In place: the text is released (AddressSanitizer reports a leak otherwise) and the
  // variant holds the number.
  SetText(u"  -15 ");
  ASSERT_EQ(VariantChangeType(&m_source, &m_source, 0, VT_I4), S_OK);
  EXPECT_EQ(m_source.vt, VT_I4);
  EXPECT_EQ(m_source.lVal, -15);

  // A string copied to a string is a separate allocation.
  SetText(u"dup");
  ASSERT_EQ(VariantChangeType(&m_dest, &m_source, 0, VT_BSTR), S_OK);
  EXPECT_NE(m_dest.bstrVal, m_source.bstrVal);
  EXPECT_EQ(Units(m_dest.bstrVal), u"dup");
}

TEST(Variant, ClearFreesTextAndLeavesEmpty) {
  VARIANT value;
  VariantInit(&value);
  EXPECT_EQ(value.vt, VT_EMPTY);
  value.vt = VT_BSTR;
  value.bstrVal = SysAllocString(AsOle(u"x"));
  EXPECT_EQ(VariantClear(&value), S_OK);
  EXPECT_EQ(value.vt, VT_EMPTY);
  EXPECT_EQ(VariantClear(&value), S_OK);  // clearing twice is harmless
}

TEST(ErrorObject, HandedOverOnceAndKeptPerThread) {
  std::atomic<int> alive{0};
  auto* info = new FakeErrorInfo(alive);
  ASSERT_EQ(SetErrorInfo(0, info), S_OK);
  info->Release();  // the thread's slot keeps it alive
  EXPECT_EQ(alive.load(), 1);

  // Another thread has its own (empty) slot.
  std::thread other([] {
    IErrorInfo* seen = reinterpret_cast<IErrorInfo*>(1);
    EXPECT_EQ(GetErrorInfo(0, &seen), S_FALSE);
    EXPECT_EQ(seen, nullptr);
  });
  other.join();

  IErrorInfo* taken = nullptr;
  ASSERT_EQ(GetErrorInfo(0, &taken), S_OK);
  EXPECT_EQ(taken, info);
  IErrorInfo* again = reinterpret_cast<IErrorInfo*>(1);
  EXPECT_EQ(GetErrorInfo(0, &again), S_FALSE);  // taken means gone
  EXPECT_EQ(again, nullptr);
  taken->Release();
  EXPECT_EQ(alive.load(), 0);
}

TEST(ErrorObject, ReplacingOrClearingReleasesThePreviousOne) {
  std::atomic<int> alive{0};
  auto* first = new FakeErrorInfo(alive);
  auto* second = new FakeErrorInfo(alive);
  SetErrorInfo(0, first);
  SetErrorInfo(0, second);
  first->Release();
  second->Release();
  EXPECT_EQ(alive.load(), 1);  // the first went when the second replaced it
  SetErrorInfo(0, nullptr);
  EXPECT_EQ(alive.load(), 0);
}

}  // namespace
