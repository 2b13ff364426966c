#include "EngineTestSupport.h"

#include <gtest/gtest.h>
#include <oleauto.h>

#include <algorithm>
#include <stdexcept>

#include "Tracer/com/uMiniComServer.h"
#include "Tracer/engine/uTracerEventParams.h"
#include "Tracer/foundation/uXMLFiler.h"
#include "lib/rtl/SysUtils.h"
#include "support/DispatchCall.h"
#include "support/TestSupport.h"

std::wstring Bin(const std::wstring& file) { return TestBinDir() + file; }

void UseProgramTypeLibrary() {
  static bool done = false;
  if (done) return;
  done = true;
  GetMiniComServer()->SetTypeLibFileName(TestBinDir() + L"Calderwisp.tlb");
}

std::wstring LastErrorInfoText() {
  TComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.Put()) != S_OK || !info) return std::wstring();
  BSTR text = nullptr;
  info->GetDescription(&text);
  std::wstring result = text ? text : L"";
  SysFreeString(text);
  return result;
}

std::wstring VariantText(const VARIANT& value) {
  if (value.vt == VT_EMPTY) return L"(empty)";
  if (value.vt == VT_NULL) return L"(null)";
  VARIANT text, source = value;
  VariantInit(&text);
  if (FAILED(VariantChangeType(&text, &source, VARIANT_ALPHABOOL, VT_BSTR))) return L"(?)";
  std::wstring result(text.bstrVal, SysStringLen(text.bstrVal));
  VariantClear(&text);
  return result;
}

VARIANT MakeInt(LONG value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = value;
  return v;
}

VARIANT MakeText(const std::wstring& text) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return v;
}

std::wstring ParamName(ITracerEventParam* param) {
  BSTR name = nullptr;
  param->get_Name(&name);
  std::wstring result = name ? name : L"";
  SysFreeString(name);
  return result;
}

std::wstring ParamValueText(ITracerEventParam* param) {
  VARIANT value;
  VariantInit(&value);
  param->get_Value(&value);
  std::wstring result = VariantText(value);
  VariantClear(&value);
  return result;
}

std::wstring DescribeParams(ITracerEventParams* params) {
  std::wstring text;
  LONG count = 0;
  params->get_Count(&count);
  for (LONG i = 0; i < count; ++i) {
    TComPtr<ITracerEventParam> param;
    params->get_Item(i, param.Put());
    if (!text.empty()) text += L"; ";
    text += ParamName(param.Get()) + L"=" + ParamValueText(param.Get());
  }
  return text;
}

TComPtr<ITracerEventParams> NewParams() {
  UseProgramTypeLibrary();
  TComPtr<ITracerEventParams> list;
  list.Attach(NewTracerEventParams().Detach());
  return list;
}

TComPtr<ITracerEventParams> MakeCallParams(LONG result,
                                          std::initializer_list<std::pair<const wchar_t*, LONG>> params) {
  UseProgramTypeLibrary();
  TComPtr<ITracerEventParams> list = NewParams();
  auto add = [&](const wchar_t* name, LONG value) {
    BSTR bname = SysAllocString(name);
    TComPtr<ITracerEventParam> param;
    list->Add(bname, param.Put());
    SysFreeString(bname);
    VARIANT v = MakeInt(value);
    param->put_Value(v);
  };
  add(L"result", result);
  for (auto& p : params) add(p.first, p.second);
  return list;
}

TComPtr<IXMLDOMNode> ParsePropertySet(const std::wstring& xml) {
  TXMLDocument doc;
  CreatePropertySetDocument(doc);
  VARIANT_BOOL ok = VARIANT_FALSE;
  BSTR text = SysAllocString(xml.c_str());
  doc->loadXML(text, &ok);
  SysFreeString(text);
  EXPECT_EQ(VARIANT_TRUE, ok) << "fixture XML does not parse: " << WideToUtf8(xml);
  TComPtr<IXMLDOMElement> root;
  doc->get_documentElement(root.Put());
  TComPtr<IXMLDOMNode> node;
  root.As(node);
  return node;
}

std::wstring XmlProperty(const std::wstring& name, const std::wstring& value) {
  return L"<property name=\"" + name + L"\" value=\"" + value + L"\"/>";
}

HRESULT GetProperty(IDispatch* object, const wchar_t* name, VARIANT* value) {
  return Call(object, name, DISPATCH_PROPERTYGET, {}, value);
}

HRESULT PutProperty(IDispatch* object, const wchar_t* name, const VARIANT& value, WORD flags) {
  return Call(object, name, flags, {value}, nullptr);
}

TAddressPrinter StartAddressPrinter(const std::wstring& program, const std::vector<std::wstring>& arguments) {
  const std::string name = WideToUtf8(program);
  SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
  HANDLE outRead, outWrite, inRead, inWrite;
  if (!CreatePipe(&outRead, &outWrite, &sa, 0)) throw std::runtime_error("CreatePipe failed");
  if (!CreatePipe(&inRead, &inWrite, &sa, 0)) {
    CloseHandle(outRead);
    CloseHandle(outWrite);
    throw std::runtime_error("CreatePipe failed");
  }
  SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = inRead;
  si.hStdOutput = outWrite;
  si.hStdError = outWrite;
  PROCESS_INFORMATION pi{};
  std::wstring cmd = L"\"" + TestBinDir() + program + L"\"";
  for (const auto& a : arguments) cmd += L" \"" + a + L"\"";
  const std::wstring dir = TestBinDir();
  BOOL ok = CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, dir.c_str(), &si, &pi);
  CloseHandle(outWrite);
  CloseHandle(inRead);
  if (!ok) {
    CloseHandle(outRead);
    CloseHandle(inWrite);
    throw std::runtime_error(name + " could not be started");
  }
  CloseHandle(pi.hThread);
  TAddressPrinter child;
  child.Process = pi.hProcess;
  child.Input = inWrite;
  // Read only what the pipe holds, so that a program that never says "ready" cannot hold the
  // test: it is ended when the time is up.
  std::string text;
  char buf[512];
  DWORD got = 0, available = 0;
  const TDeadline deadline(20000);
  while (text.find("ready") == std::string::npos) {
    if (!PeekNamedPipe(outRead, nullptr, 0, nullptr, &available, nullptr)) break;  // it ended
    if (available == 0) {
      if (deadline.Passed()) {
        CloseHandle(outRead);
        TerminateProcess(child.Process, 1);
        WaitForSingleObject(child.Process, ScaledMs(5000));
        CloseHandle(child.Process);
        CloseHandle(child.Input);
        throw std::runtime_error(name + " did not print \"ready\" within " + std::to_string(deadline.Limit()) +
                                 " ms");
      }
      Sleep(5);
      continue;
    }
    if (!ReadFile(outRead, buf, std::min<DWORD>(sizeof buf, available), &got, nullptr) || got == 0) break;
    text.append(buf, got);
  }
  CloseHandle(outRead);
  size_t pos = 0;
  while (pos < text.size()) {
    size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    std::string line = text.substr(pos, eol - pos);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    size_t eq = line.rfind('=');
    if (eq != std::string::npos)
      child.Addresses[line.substr(0, eq)] = static_cast<uint32_t>(std::stoul(line.substr(eq + 1), nullptr, 16));
    pos = eol + 1;
  }
  return child;
}

std::wstring WriteZentrelFile(const std::wstring& dll, const std::wstring& folder) {
  const std::wstring name = dll.substr(dll.find_last_of(L"\\/") + 1);
  // Unique across the test programs that share the per-user folder of override copies.
  const std::wstring path =
      folder + L"\\" + name.substr(0, name.find_last_of(L'.')) + L"-" + std::to_wstring(GetCurrentProcessId()) + L".xml";
  CopyFileW(Bin(L"propertyset.dtd").c_str(), (folder + L"\\propertyset.dtd").c_str(), FALSE);
  // Run in the DLL's folder with its bare name, as a user does: the URLs name the DLL as a
  // debuggee's module list does.
  const TConsoleRun run = RunConsoleProgram(L"\"" + Bin(L"zentrel.exe") + L"\" \"" + name + L"\"", 60000,
                                            dll.substr(0, dll.size() - name.size()));
  if (!run.Ended || run.ExitCode != 0) {
    ADD_FAILURE() << "zentrel.exe made no symbol file of " << WideToUtf8(dll) << ": " << run.Output;
    return L"";
  }
  WriteTextFile(path, run.Output);
  return path;
}

TConsoleRun RunConsoleProgram(const std::wstring& commandLine, DWORD ms, const std::wstring& folder) {
  TTempDir dir;
  TConsoleRun run;
  SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
  HANDLE out = CreateFileW(dir.File(L"out.txt").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                           CREATE_ALWAYS, 0, nullptr);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdOutput = out;
  si.hStdError = out;
  PROCESS_INFORMATION pi{};
  std::wstring cmd = commandLine;
  const BOOL started = CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                                      folder.empty() ? nullptr : folder.c_str(), &si, &pi);
  CloseHandle(out);
  if (!started) return run;
  run.Ended = WaitForSingleObject(pi.hProcess, ScaledMs(ms)) == WAIT_OBJECT_0;
  if (!run.Ended) TerminateProcess(pi.hProcess, 99);
  WaitForSingleObject(pi.hProcess, ScaledMs(5000));
  GetExitCodeProcess(pi.hProcess, &run.ExitCode);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  run.Output = ReadTextFile(dir.File(L"out.txt"));
  return run;
}
