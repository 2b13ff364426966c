// Owners of the platform's resources: interface references, BSTRs, and the OLE error exception
// that a failed HRESULT becomes. Nothing outside these holders releases or frees such a resource.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <string>
#include <utility>

#include "lib/rtl/SysUtils.h"

// Owner of one interface reference.
template <class T>
class TComPtr {
public:
  TComPtr() = default;
  // Takes a reference of its own.
  explicit TComPtr(T* p) : FPtr(p) {
    if (FPtr) FPtr->AddRef();
  }
  TComPtr(const TComPtr& other) : TComPtr(other.FPtr) {}
  TComPtr(TComPtr&& other) noexcept : FPtr(std::exchange(other.FPtr, nullptr)) {}
  TComPtr& operator=(TComPtr other) noexcept {
    std::swap(FPtr, other.FPtr);
    return *this;
  }
  ~TComPtr() { Reset(); }

  T* Get() const { return FPtr; }
  T* operator->() const { return FPtr; }
  explicit operator bool() const { return FPtr != nullptr; }
  // Releases the held reference and hands out the slot for an out-parameter.
  T** Put() {
    Reset();
    return &FPtr;
  }
  void Reset() {
    if (FPtr) std::exchange(FPtr, nullptr)->Release();
  }
  // Gives the reference to the caller (an out-parameter of a COM method).
  T* Detach() { return std::exchange(FPtr, nullptr); }
  // Adopts a reference the caller already owns.
  void Attach(T* p) {
    Reset();
    FPtr = p;
  }

private:
  T* FPtr = nullptr;
};

// Owner of a BSTR.
class TBStr {
public:
  TBStr() = default;
  explicit TBStr(const std::wstring& s);
  TBStr(const TBStr&) = delete;
  TBStr& operator=(const TBStr&) = delete;
  ~TBStr();
  BSTR Get() const { return FValue; }
  BSTR* Put();
  BSTR Detach();
  std::wstring Str() const;

private:
  BSTR FValue = nullptr;
};

// A BSTR as a wide string (nil is the empty string).
std::wstring BStrToWide(BSTR s);

// A failed HRESULT of a COM call, with the system's text for it.
class EOleSysError : public Exception {
public:
  EOleSysError(std::wstring message, HRESULT errorCode) : Exception(std::move(message)), ErrorCode(errorCode) {}
  const wchar_t* ClassName() const override { return L"EOleSysError"; }
  Exception* Clone() const override { return new EOleSysError(*this); }
  [[noreturn]] void Rethrow() const override { throw *this; }
  HRESULT ErrorCode;
};

// The system's text of an HRESULT, or "OLE error %.8X" when it has none.
std::wstring OleErrorText(HRESULT hr);
// Raises EOleSysError when hr failed.
void OleCheck(HRESULT hr);
