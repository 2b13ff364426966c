// Win32 side of the library's errors: the exception that carries the last system error,
// load-on-demand binding of functions that may be missing, and the platform flag.
#pragma once
#include <cstdint>
#include <string>

#include "lib/dgn/common/DgnErrors.h"

// "Win32 error: <system text> (<code>)" CR LF and the given text. The code is taken from the
// calling thread's last error, so construct it right after the failing call.
class EDgnWin32Error : public EDgnError {
public:
  explicit EDgnWin32Error(const std::wstring& message);
  EDgnWin32Error(uint32_t errorCode, const std::wstring& message);
  const wchar_t* ClassName() const override { return L"EDgnWin32Error"; }
  Exception* Clone() const override { return new EDgnWin32Error(*this); }
  [[noreturn]] void Rethrow() const override { throw *this; }
  uint32_t LastError() const { return FLastError; }
  const std::wstring& LastErrorMsg() const { return FLastErrorMsg; }

private:
  uint32_t FLastError;
  std::wstring FLastErrorMsg;
};

// The system's text for an error code, trailing line breaks, blanks and period trimmed.
std::wstring DgnSysErrorMessage(uint32_t code);

// True on the NT family of Windows; computed once when the library starts.
extern const bool IsNTPlatform;

// Binds a procedure variable by name on first use: nothing when it is bound already; the
// module is loaded only when it is not loaded yet (no critical-error box). Raises EDgnError
// "Library not found: %s" or "Function not found: %s.%s"; a failure leaves it unbound.
void BindProcedureAddress(void*& procVar, const std::wstring& moduleName, const std::string& procName);

template <class Proc>
void BindProcedure(Proc& procVar, const std::wstring& moduleName, const std::string& procName) {
  static_assert(sizeof(Proc) == sizeof(void*), "a procedure variable");
  void* p = reinterpret_cast<void*>(procVar);
  BindProcedureAddress(p, moduleName, procName);
  procVar = reinterpret_cast<Proc>(p);
}
