#include "Tracer/foundation/uOleVariant.h"

#include <new>

#include "Tracer/foundation/uHolders.h"

static void CopyInto(VARIANT& dest, const VARIANT& source) {
  VariantInit(&dest);
  // Only out of memory makes a plain copy fail.
  if (FAILED(VariantCopy(&dest, const_cast<VARIANT*>(&source)))) throw std::bad_alloc();
}

TOleVariant::TOleVariant(const VARIANT& source) { CopyInto(*this, source); }

TOleVariant::TOleVariant(const TOleVariant& source) : VARIANT() { CopyInto(*this, source); }

TOleVariant::TOleVariant(TOleVariant&& source) noexcept : VARIANT(source) { VariantInit(&source); }

TOleVariant::TOleVariant(int32_t value) {
  VariantInit(this);
  vt = VT_I4;
  lVal = value;
}

TOleVariant::TOleVariant(bool value) {
  VariantInit(this);
  vt = VT_BOOL;
  boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
}

TOleVariant::TOleVariant(const std::wstring& value) {
  VariantInit(this);
  BSTR b = SysAllocStringLen(value.data(), static_cast<UINT>(value.size()));
  if (!b) throw std::bad_alloc();
  vt = VT_BSTR;
  bstrVal = b;
}

TOleVariant::TOleVariant(const wchar_t* value) : TOleVariant(std::wstring(value ? value : L"")) {}

TOleVariant& TOleVariant::operator=(const VARIANT& source) {
  if (&source != this) {
    VARIANT copy;
    CopyInto(copy, source);
    VariantClear(this);
    *static_cast<VARIANT*>(this) = copy;
  }
  return *this;
}

TOleVariant& TOleVariant::operator=(TOleVariant&& source) noexcept {
  if (&source != this) {
    VariantClear(this);
    *static_cast<VARIANT*>(this) = source;
    VariantInit(&source);
  }
  return *this;
}

VARIANT TOleVariant::Detach() {
  VARIANT v = *this;
  VariantInit(this);
  return v;
}

std::wstring TOleVariant::AsBSTRText() const {
  if (vt != VT_BSTR || !bstrVal) return std::wstring();
  return std::wstring(bstrVal, SysStringLen(bstrVal));
}

TOleVariant VariantByValue(const VARIANT& source) {
  TOleVariant result;
  OleCheck(VariantCopyInd(&result, const_cast<VARIANT*>(&source)));
  return result;
}
