// Helpers of the engine tests: the program's type library, COM values, error texts and the
// fixture programs that run beside the test as second processes.
#pragma once
#include <windows.h>
#include <oaidl.h>
#include <msxml2.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>


#include "Tracer/com/CalderwispTlb.h"
#include "Tracer/foundation/uHolders.h"

// A file of the test binary folder.
std::wstring Bin(const std::wstring& file);

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
TComPtr<ITracerEventParams> NewParams();
// A call's parameter list as the return handling builds it: "result" first, then the others.
TComPtr<ITracerEventParams> MakeCallParams(
    LONG result, std::initializer_list<std::pair<const wchar_t*, LONG>> params = {});

// A property set of the XML property-set format parsed from text (a failed parse fails the test).
TComPtr<IXMLDOMNode> ParsePropertySet(const std::wstring& xml);
// One "property" element of that format.
std::wstring XmlProperty(const std::wstring& name, const std::wstring& value);

// Late-bound property access, as a script does it.
HRESULT GetProperty(IDispatch* object, const wchar_t* name, VARIANT* value);
HRESULT PutProperty(IDispatch* object, const wchar_t* name, const VARIANT& value,
                    WORD flags = DISPATCH_PROPERTYPUT);

// A fixture program running as a second process: it printed "name=<hex address>" lines, then
// "ready", and waits until its standard input closes.
struct TAddressPrinter {
  HANDLE Process = nullptr;
  HANDLE Input = nullptr;  // its standard input; closing it lets the program end
  std::map<std::string, uint32_t> Addresses;  // by the text before a line's last "="
};

// Starts program (a file of the test binary folder, which is also its working folder) with
// each argument quoted, and reads what it prints up to "ready". Throws when it cannot start.
TAddressPrinter StartAddressPrinter(const std::wstring& program, const std::vector<std::wstring>& arguments = {});

// A symbol file of every export of dll, written by zentrel.exe as a user makes one, into
// folder (which gets the filer's "propertyset.dtd" too); its path. Fails the test and answers
// empty when zentrel.exe does not write one.
std::wstring WriteZentrelFile(const std::wstring& dll, const std::wstring& folder);

// What a console program wrote to its standard output and error, and its exit code.
struct TConsoleRun {
  std::string Output;
  DWORD ExitCode = 0;
  bool Ended = false;  // false: still running at the limit (then terminated)
};

// Runs a command line untraced (in folder, when given), its standard handles on a file, within
// ms (scaled).
TConsoleRun RunConsoleProgram(const std::wstring& commandLine, DWORD ms = 60000, const std::wstring& folder = L"");
