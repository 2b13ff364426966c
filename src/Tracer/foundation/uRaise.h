// Turning a failed system call into an exception, and adding context lines to an
// exception's message on its way up.
#pragma once
#include <string>

#include "lib/rtl/SysUtils.h"

// Nothing when result is true. Otherwise raises EOSError for the last error:
// "System Error.  Code: <n>.", the system's text, and "at <apiName>", one per line.
// Takes the name as a C string: the check sits on hot paths (time stamps), where building a
// string per call would cost more than the call it checks.
void Win32CheckApi(bool result, const char* apiName);
inline void Win32CheckApi(bool result, const std::string& apiName) { Win32CheckApi(result, apiName.c_str()); }

// message := message + CR LF + text
void AppendExceptionLine(Exception& e, const std::wstring& text);
// message := text + CR LF + message; callers re-raise with `throw;`, so the outermost
// context ends up as the first line.
void PrependExceptionLine(Exception& e, const std::wstring& text);
