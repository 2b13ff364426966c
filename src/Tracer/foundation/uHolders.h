// Owners of the platform's resources: interface references, BSTRs, safe arrays, the texts of an
// exception record, holds of a slim reader/writer lock, and the OLE error exception that a
// failed HRESULT becomes. Nothing outside
// these holders (and TOleVariant) releases or frees such a resource.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <exception>
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
  // Asks source for T and holds the answer; a failure leaves this empty and answers its HRESULT.
  HRESULT QueryFrom(IUnknown* source) {
    Reset();
    if (!source) return E_POINTER;
    return source->QueryInterface(__uuidof(T), reinterpret_cast<void**>(&FPtr));
  }
  // Asks the held object for U.
  template <class U>
  HRESULT As(TComPtr<U>& target) const {
    return target.QueryFrom(FPtr);
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
  // Frees the held string and hands out the slot for an out-parameter.
  BSTR* Put();
  // Gives the string to the caller (an out-parameter of a COM method).
  BSTR Detach();
  std::wstring Str() const;

private:
  BSTR FValue = nullptr;
};

// Owner of a SAFEARRAY.
class TSafeArray {
public:
  TSafeArray() = default;
  // Adopts an array the caller owns.
  explicit TSafeArray(SAFEARRAY* array) : FArray(array) {}
  TSafeArray(TSafeArray&& other) noexcept : FArray(std::exchange(other.FArray, nullptr)) {}
  TSafeArray& operator=(TSafeArray&& other) noexcept;
  TSafeArray(const TSafeArray&) = delete;
  TSafeArray& operator=(const TSafeArray&) = delete;
  ~TSafeArray() { Reset(); }
  // A one-dimensional array of count elements from lowerBound; raises std::bad_alloc.
  static TSafeArray CreateVector(VARTYPE vt, LONG lowerBound, ULONG count);

  SAFEARRAY* Get() const { return FArray; }
  explicit operator bool() const { return FArray != nullptr; }
  SAFEARRAY** Put() {
    Reset();
    return &FArray;
  }
  SAFEARRAY* Detach() { return std::exchange(FArray, nullptr); }
  void Reset(SAFEARRAY* array = nullptr);

private:
  SAFEARRAY* FArray = nullptr;
};

// An exception record for IDispatch::Invoke: zeroed, and its texts freed with it.
class TExcepInfo : public EXCEPINFO {
public:
  TExcepInfo() : EXCEPINFO() {}
  TExcepInfo(const TExcepInfo&) = delete;
  TExcepInfo& operator=(const TExcepInfo&) = delete;
  ~TExcepInfo();
};

// A slim reader/writer lock held, shared or exclusive, until the end of the scope.
class TSRWLockHold {
public:
  enum TMode { Shared, Exclusive };
  TSRWLockHold(SRWLOCK& lock, TMode mode) : FLock(lock), FMode(mode) {
    if (FMode == Shared)
      AcquireSRWLockShared(&FLock);
    else
      AcquireSRWLockExclusive(&FLock);
  }
  ~TSRWLockHold() {
    if (FMode == Shared)
      ReleaseSRWLockShared(&FLock);
    else
      ReleaseSRWLockExclusive(&FLock);
  }
  TSRWLockHold(const TSRWLockHold&) = delete;
  TSRWLockHold& operator=(const TSRWLockHold&) = delete;

private:
  SRWLOCK& FLock;
  const TMode FMode;
};

// Runs a step when the scope ends. While an exception is already leaving the scope the step's
// own exception is dropped (the first one wins); otherwise it leaves the scope.
template <class F>
class TScopeExit {
public:
  explicit TScopeExit(F step) : FStep(std::move(step)) {}
  ~TScopeExit() noexcept(false) {
    if (std::uncaught_exceptions() > FUncaught) {
      try {
        FStep();
      } catch (...) {
      }
    } else {
      FStep();
    }
  }
  TScopeExit(const TScopeExit&) = delete;
  TScopeExit& operator=(const TScopeExit&) = delete;

private:
  F FStep;
  int FUncaught = std::uncaught_exceptions();
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

// The system's text of an HRESULT (no trailing line break or period), or "OLE error %.8X" when it
// has none.
std::wstring OleErrorText(HRESULT hr);
// Raises EOleSysError when hr failed.
void OleCheck(HRESULT hr);
