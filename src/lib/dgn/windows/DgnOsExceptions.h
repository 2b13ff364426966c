// Exception classes for operating-system exceptions (access violation, division by zero...)
// that the conversion hook raises in place of the hardware exception.
#pragma once
#include <cstdint>

#include "lib/rtl/SysUtils.h"

// Base of every converted operating-system exception: the code and the faulting address.
class EExternal : public Exception {
public:
  EExternal(std::wstring message, uint32_t exceptionCode, void* exceptionAddress)
      : Exception(std::move(message)), ExceptionCode(exceptionCode), ExceptionAddress(exceptionAddress) {}
  const wchar_t* ClassName() const override { return L"EExternal"; }
  Exception* Clone() const override { return new EExternal(*this); }
  [[noreturn]] void Rethrow() const override { throw *this; }
  uint32_t ExceptionCode;
  void* ExceptionAddress;
};

CW_DECLARE_EXCEPTION(EExternalException, EExternal);
CW_DECLARE_EXCEPTION(EAccessViolation, EExternal);
CW_DECLARE_EXCEPTION(EPrivilege, EExternal);
CW_DECLARE_EXCEPTION(EIntError, EExternal);
CW_DECLARE_EXCEPTION(EDivByZero, EIntError);
CW_DECLARE_EXCEPTION(ERangeError, EIntError);
CW_DECLARE_EXCEPTION(EIntOverflow, EIntError);
CW_DECLARE_EXCEPTION(EMathError, EExternal);
CW_DECLARE_EXCEPTION(EInvalidOp, EMathError);
CW_DECLARE_EXCEPTION(EZeroDivide, EMathError);
CW_DECLARE_EXCEPTION(EOverflow, EMathError);
CW_DECLARE_EXCEPTION(EUnderflow, EMathError);

// True for the hardware exception codes that are converted.
bool IsConvertedOsException(uint32_t code);
// The exception object for a hardware exception: its class by code, the run-time's texts
// ("Access violation at address 0040123A in module 'x.exe'. Read of address 00000000").
// info0/info1 are the record's first two parameters (access kind and address).
[[noreturn]] void RaiseOsExceptionObject(uint32_t code, void* address, uintptr_t info0, uintptr_t info1);
