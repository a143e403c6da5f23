// The VARIANT subset the device manager hands over (empty, 32-bit integer, string) and
// the conversions between them, with the platform's results and error codes.
#include <cstdint>
#include <string>

#include "compat_platform.h"

namespace {

bool IsKnownType(VARTYPE vt) {
  return vt == VT_EMPTY || vt == VT_I4 || vt == VT_BSTR;
}

bool IsBlank(OLECHAR unit) {
  return unit == u' ' || unit == u'\t';
}

// Decimal text to a 32-bit integer: surrounding blanks, an optional sign right before
// the digits, at least one digit, nothing else.
HRESULT ParseDecimal(BSTR text, LONG& value) {
  const UINT length = SysStringLen(text);
  UINT pos = 0;
  while (pos < length && IsBlank(text[pos])) ++pos;
  bool negative = false;
  if (pos < length && (text[pos] == u'-' || text[pos] == u'+')) {
    negative = text[pos] == u'-';
    ++pos;
  }
  const UINT firstDigit = pos;
  // Large enough for every 32-bit value and its negation; saturates instead of wrapping.
  std::int64_t magnitude = 0;
  constexpr std::int64_t kLimit = std::int64_t{1} << 32;
  while (pos < length && text[pos] >= u'0' && text[pos] <= u'9') {
    if (magnitude < kLimit) magnitude = magnitude * 10 + (text[pos] - u'0');
    ++pos;
  }
  if (pos == firstDigit) return DISP_E_TYPEMISMATCH;
  while (pos < length && IsBlank(text[pos])) ++pos;
  if (pos != length) return DISP_E_TYPEMISMATCH;
  const std::int64_t signedValue = negative ? -magnitude : magnitude;
  if (signedValue < INT32_MIN || signedValue > INT32_MAX) return DISP_E_OVERFLOW;
  value = static_cast<LONG>(signedValue);
  return S_OK;
}

HRESULT DecimalText(LONG value, BSTR& text) {
  const std::string digits = std::to_string(value);
  OLECHAR units[16] = {};
  for (std::size_t i = 0; i < digits.size(); ++i) units[i] = static_cast<OLECHAR>(digits[i]);
  text = SysAllocStringLen(units, static_cast<UINT>(digits.size()));
  return text != nullptr ? S_OK : E_OUTOFMEMORY;
}

// Makes the converted value in result; source is left untouched.
HRESULT Convert(const VARIANT& source, VARTYPE vt, VARIANT& result) {
  VariantInit(&result);
  switch (vt) {
    case VT_EMPTY:
      return S_OK;
    case VT_I4:
      result.vt = VT_I4;
      if (source.vt == VT_EMPTY) {
        result.lVal = 0;
        return S_OK;
      }
      if (source.vt == VT_I4) {
        result.lVal = source.lVal;
        return S_OK;
      }
      return ParseDecimal(source.bstrVal, result.lVal);
    case VT_BSTR: {
      BSTR text = nullptr;
      HRESULT hr = S_OK;
      if (source.vt == VT_I4) {
        hr = DecimalText(source.lVal, text);
      } else {
        // An empty variant becomes an empty string; a string is copied with its length.
        const BSTR from = source.vt == VT_BSTR ? source.bstrVal : nullptr;
        text = SysAllocStringLen(from, SysStringLen(from));
        if (text == nullptr) hr = E_OUTOFMEMORY;
      }
      if (FAILED(hr)) return hr;
      result.vt = VT_BSTR;
      result.bstrVal = text;
      return S_OK;
    }
    default:
      return DISP_E_BADVARTYPE;
  }
}

}  // namespace

void VariantInit(VARIANT* variant) {
  variant->vt = VT_EMPTY;
  variant->wReserved1 = 0;
  variant->wReserved2 = 0;
  variant->wReserved3 = 0;
  variant->llVal = 0;
}

HRESULT VariantClear(VARIANT* variant) {
  if (variant == nullptr) return E_INVALIDARG;
  if (!IsKnownType(variant->vt)) return DISP_E_BADVARTYPE;
  if (variant->vt == VT_BSTR) SysFreeString(variant->bstrVal);
  VariantInit(variant);
  return S_OK;
}

HRESULT VariantChangeType(VARIANT* dest, const VARIANT* src, USHORT /*flags*/, VARTYPE vt) {
  if (dest == nullptr || src == nullptr) return E_INVALIDARG;
  if (!IsKnownType(src->vt) || !IsKnownType(vt)) return DISP_E_BADVARTYPE;
  if (!IsKnownType(dest->vt)) return DISP_E_BADVARTYPE;
  VARIANT result;
  const HRESULT hr = Convert(*src, vt, result);
  if (FAILED(hr)) return hr;  // dest keeps its value when the conversion fails
  // Only now is the old value released, which also covers dest == src.
  VariantClear(dest);
  *dest = result;
  return S_OK;
}
