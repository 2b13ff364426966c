// Late-bound calls for the automation tests: by name through IDispatch, as a script would.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <string>
#include <vector>

// Calls name on obj with args in call order (a put passes its value as the named property-put
// argument); a failed name lookup answers its HRESULT. error, when given, receives the
// exception record's description (empty without one).
HRESULT Call(IDispatch* obj, const wchar_t* name, WORD flags, std::vector<VARIANT> args, VARIANT* result,
             std::wstring* error = nullptr);

// A VT_BSTR variant holding s; the caller's to clear.
VARIANT Text(const std::wstring& s);
