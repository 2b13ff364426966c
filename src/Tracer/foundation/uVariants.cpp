#include "Tracer/foundation/uVariants.h"

#include <algorithm>
#include <string>

#include "Tracer/foundation/uHolders.h"
#include "Tracer/foundation/uOleVariant.h"
#include "lib/rtl/SysUtils.h"

namespace {

[[noreturn]] void RaiseConversion(HRESULT hr) {
  throw EConvertError(WideFormat(L"Variant conversion failed (%08X)", static_cast<unsigned>(hr)));
}

// What the text loses when written in the ANSI code page: unmappable characters become the
// code page's substitute. ASCII is the same in every ANSI code page, so only other text (rare
// in a log, and read for every row of an export) makes the round trip.
std::wstring ThroughAnsi(std::wstring s) {
  if (std::all_of(s.begin(), s.end(), [](wchar_t c) { return c < 0x80; })) return s;
  const int n = WideCharToMultiByte(CP_ACP, 0, s.data(), static_cast<int>(s.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) RaiseConversion(HRESULT_FROM_WIN32(GetLastError()));
  std::string ansi(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_ACP, 0, s.data(), static_cast<int>(s.size()), ansi.data(), n, nullptr, nullptr);
  const int m = MultiByteToWideChar(CP_ACP, 0, ansi.data(), n, nullptr, 0);
  std::wstring back(static_cast<size_t>(m), L'\0');
  MultiByteToWideChar(CP_ACP, 0, ansi.data(), n, back.data(), m);
  return back;
}

// The standard conversion to a string, in the user's locale (decimal separator, dates).
std::wstring StandardText(const VARIANT& value) {
  // A string is its own text: no copy through the conversion.
  if (V_VT(&value) == VT_BSTR) return ThroughAnsi(BStrToWide(V_BSTR(&value)));
  TOleVariant text;
  const HRESULT hr = VariantChangeTypeEx(text.Receive(), const_cast<VARIANT*>(&value), LOCALE_USER_DEFAULT,
                                         VARIANT_ALPHABOOL, VT_BSTR);
  if (FAILED(hr)) RaiseConversion(hr);
  return ThroughAnsi(BStrToWide(V_BSTR(&text)));
}

}  // namespace

std::wstring VariantToText(const VARIANT& value) noexcept {
  try {
    const VARTYPE vt = V_VT(&value);
    if (vt == VT_NULL) return L"(null)";
    if (vt == VT_EMPTY) return L"(unassigned)";
    if (vt & VT_ARRAY) return VariantArrayToText(value);
    // Whole-type tests: a reference to one of these falls to the standard conversion.
    if (vt == VT_DISPATCH) return L"(automation object)";
    if (vt == VT_ERROR) return L"(error object)";
    if (vt == VT_UNKNOWN) return L"(com object)";
    return StandardText(value);
  } catch (...) {
    try {
      return L"(erroneous data)";
    } catch (...) {
      return std::wstring();
    }
  }
}

std::wstring VariantToQuotedText(const VARIANT& value) noexcept {
  std::wstring text = VariantToText(value);
  if (V_VT(&value) != VT_BSTR) return text;
  try {
    return L"'" + text + L"'";
  } catch (...) {
    return text;
  }
}

std::wstring VariantArrayToText(const VARIANT& value) {
  if (V_VT(&value) == (VT_ARRAY | VT_VARIANT)) return JoinVariantArray(value);
  return L"(variant array)";
}

std::wstring JoinVariantArray(const VARIANT& value) {
  SAFEARRAY* array = (V_VT(&value) & VT_BYREF) ? (V_ARRAYREF(&value) ? *V_ARRAYREF(&value) : nullptr)
                                                 : V_ARRAY(&value);
  if (array == nullptr) RaiseConversion(E_POINTER);
  LONG low = 0, high = 0;
  HRESULT hr = SafeArrayGetLBound(array, 1, &low);
  if (SUCCEEDED(hr)) hr = SafeArrayGetUBound(array, 1, &high);
  if (FAILED(hr)) RaiseConversion(hr);
  if (high == low - 1) return L"(empty variant array)";
  // One index walks only a one-dimensional array.
  if (SafeArrayGetDim(array) != 1) RaiseConversion(DISP_E_BADINDEX);
  std::wstring text;
  for (LONG i = low; i <= high; ++i) {
    TOleVariant element;
    hr = SafeArrayGetElement(array, &i, element.Receive());
    if (FAILED(hr)) RaiseConversion(hr);
    if (!text.empty()) text += L' ';
    if (V_VT(&element) == VT_UI1)
      text += WideFormat(L"%02X", static_cast<unsigned>(V_UI1(&element)));
    else
      text += StandardText(element);
  }
  return text;
}

void LongWordToVariant(uint32_t n, VARIANT& dest) {
  V_VT(&dest) = VT_UI4;
  V_UI4(&dest) = n;
}

void SmallIntToVariant(int16_t n, VARIANT& dest) {
  V_VT(&dest) = VT_I2;
  V_I2(&dest) = n;
}

VARIANT NullOleVariant() {
  VARIANT v;
  VariantInit(&v);
  V_VT(&v) = VT_NULL;
  return v;
}
