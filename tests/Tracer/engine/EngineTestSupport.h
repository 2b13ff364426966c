// Helpers of the engine tests: the program's type library, COM values and error texts.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <string>

#include <wrl/client.h>

#include "Tracer/CalderwispTlb.h"

// Points the COM server object at the built Calderwisp.tlb (once).
void UseProgramTypeLibrary();

// The description of the calling thread's error information, or empty.
std::wstring LastErrorInfoText();

std::wstring VariantText(const VARIANT& value);
VARIANT MakeInt(LONG value);
VARIANT MakeText(const std::wstring& text);

// Name, value and visibility of a parameter.
std::wstring ParamName(ITracerEventParam* param);
std::wstring ParamValueText(ITracerEventParam* param);
// "name=value" of every parameter, joined by "; ".
std::wstring DescribeParams(ITracerEventParams* params);

// A new, empty parameter list.
Microsoft::WRL::ComPtr<ITracerEventParams> NewParams();
// A call's parameter list as the return handling builds it: "result" first, then the others.
Microsoft::WRL::ComPtr<ITracerEventParams> MakeCallParams(
    LONG result, std::initializer_list<std::pair<const wchar_t*, LONG>> params = {});

// Late-bound property access, as a script does it.
HRESULT GetProperty(IDispatch* object, const wchar_t* name, VARIANT* value);
HRESULT PutProperty(IDispatch* object, const wchar_t* name, const VARIANT& value,
                    WORD flags = DISPATCH_PROPERTYPUT);
