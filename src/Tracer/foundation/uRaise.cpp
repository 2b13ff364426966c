#include "Tracer/foundation/uRaise.h"

#include <windows.h>

#include "Tracer/foundation/uWideStrUtils.h"

void Win32CheckApi(bool result, const char* apiName) {
  if (result) return;
  const DWORD code = GetLastError();
  const std::wstring text = code != 0 ? SysErrorMessage(code) : L"A call to an OS function failed";
  EOSError e(WideFormat(L"System Error.  Code: %lu.\r\n%ls", static_cast<unsigned long>(code), text.c_str()),
             code);
  // The name is plain ASCII; widening each byte keeps it readable whatever the code page.
  const std::string name = apiName != nullptr ? apiName : "";
  AppendExceptionLine(e, L"at " + std::wstring(name.begin(), name.end()));
  throw e;
}

void AppendExceptionLine(Exception& e, const std::wstring& text) {
  e.SetMessage(e.Message() + L"\r\n" + text);
}

void PrependExceptionLine(Exception& e, const std::wstring& text) {
  e.SetMessage(text + L"\r\n" + e.Message());
}
