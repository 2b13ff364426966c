// Owner of one OLE VARIANT: cleared on destruction, deep-copied on copy. It is a VARIANT,
// so it passes straight to the platform's calls that take one.
#pragma once
#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <string>

class TOleVariant : public VARIANT {
public:
  TOleVariant() { VariantInit(this); }
  TOleVariant(const VARIANT& source);
  TOleVariant(const TOleVariant& source);
  TOleVariant(TOleVariant&& source) noexcept;
  explicit TOleVariant(int32_t value);
  explicit TOleVariant(bool value);
  explicit TOleVariant(const std::wstring& value);
  explicit TOleVariant(const wchar_t* value);
  // No pointer may turn into a Boolean by accident.
  explicit TOleVariant(const void*) = delete;
  ~TOleVariant() { VariantClear(this); }

  TOleVariant& operator=(const VARIANT& source);
  TOleVariant& operator=(const TOleVariant& source) { return *this = static_cast<const VARIANT&>(source); }
  TOleVariant& operator=(TOleVariant&& source) noexcept;

  VARTYPE Type() const { return vt; }
  bool IsEmpty() const { return vt == VT_EMPTY; }
  bool IsNull() const { return vt == VT_NULL; }
  void Clear() { VariantClear(this); }
  // For out-parameters of platform calls: cleared first.
  VARIANT* Receive() {
    VariantClear(this);
    return this;
  }
  // Hands the content over (the caller owns it) and leaves this Empty.
  VARIANT Detach();
  // Takes over the content of a VARIANT the caller owned (an in-out parameter), leaving it Empty.
  static TOleVariant Adopt(VARIANT& value) noexcept;

  // The content of a VT_BSTR variant (an empty text for a null BSTR).
  std::wstring AsBSTRText() const;
};

// A copy that owns its value: a by-reference variant (a script's variable, a plug-in's
// pointer) becomes the value it points at, so the copy never points into the caller's memory.
// Raises the COM error of a variant that cannot be copied.
TOleVariant VariantByValue(const VARIANT& source);
