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
  bstrVal = TBStr(value).Detach();
  vt = VT_BSTR;
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

TOleVariant TOleVariant::Adopt(VARIANT& value) noexcept {
  TOleVariant owner;
  static_cast<VARIANT&>(owner) = value;
  VariantInit(&value);
  return owner;
}

std::wstring TOleVariant::AsBSTRText() const { return vt == VT_BSTR ? BStrToWide(bstrVal) : std::wstring(); }

TOleVariant VariantByValue(const VARIANT& source) {
  TOleVariant result;
  OleCheck(VariantCopyInd(&result, const_cast<VARIANT*>(&source)));
  return result;
}
