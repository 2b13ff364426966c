#include "lib/dgn/windows/DgnOsExceptions.h"

#include <windows.h>

#include "lib/dgn/windows/DgnSysUtils.h"

bool IsConvertedOsException(uint32_t code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_DIVIDE_BY_ZERO:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_OVERFLOW:
    case EXCEPTION_FLT_STACK_CHECK:
    case EXCEPTION_FLT_UNDERFLOW:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
      return true;
    default:
      return false;
  }
}

static std::wstring ModuleNameOf(void* address) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCWSTR>(address), &module))
    return std::wstring();
  const std::wstring path = ModuleFilePath(module);
  const size_t p = path.find_last_of(L"\\/");
  return p == std::wstring::npos ? path : path.substr(p + 1);
}

void RaiseOsExceptionObject(uint32_t code, void* address, uintptr_t info0, uintptr_t info1) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION: {
      const wchar_t* kind = info0 == 1 ? L"Write" : info0 == 8 ? L"Execution" : L"Read";
      throw EAccessViolation(WideFormat(L"Access violation at address %08X in module '%ls'. %ls of address %08X",
                                        static_cast<unsigned>(reinterpret_cast<uintptr_t>(address)),
                                        ModuleNameOf(address).c_str(), kind, static_cast<unsigned>(info1)),
                             code, address);
    }
    case EXCEPTION_INT_DIVIDE_BY_ZERO: throw EDivByZero(L"Division by zero", code, address);
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED: throw ERangeError(L"Range check error", code, address);
    case EXCEPTION_INT_OVERFLOW: throw EIntOverflow(L"Integer overflow", code, address);
    case EXCEPTION_FLT_DIVIDE_BY_ZERO: throw EZeroDivide(L"Floating point division by zero", code, address);
    case EXCEPTION_FLT_OVERFLOW: throw EOverflow(L"Floating point overflow", code, address);
    case EXCEPTION_FLT_UNDERFLOW: throw EUnderflow(L"Floating point underflow", code, address);
    case EXCEPTION_FLT_DENORMAL_OPERAND:
    case EXCEPTION_FLT_INEXACT_RESULT:
    case EXCEPTION_FLT_INVALID_OPERATION:
    case EXCEPTION_FLT_STACK_CHECK:
      throw EInvalidOp(L"Invalid floating point operation", code, address);
    case EXCEPTION_PRIV_INSTRUCTION: throw EPrivilege(L"Privileged instruction", code, address);
    default:
      throw EExternalException(WideFormat(L"External exception %08X", code), code, address);
  }
}
