#include "TraceHarness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>

#include "EngineTestSupport.h"
#include "Tracer/engine/uDebugCore.h"
#include "Tracer/engine/uEventQueue.h"
#include "Tracer/engine/uSystemObjects.h"
#include "Tracer/foundation/uHolders.h"
#include "Tracer/foundation/uVariants.h"
#include "Tracer/foundation/uXMLFiler.h"

namespace {

std::wstring BstrText(BSTR s) {
  std::wstring text = s ? std::wstring(s, SysStringLen(s)) : std::wstring();
  SysFreeString(s);
  return text;
}

std::wstring BytesText(const VARIANT& v) {
  std::wstring text;
  SAFEARRAY* a = v.parray;
  LONG lo = 0, hi = -1;
  SafeArrayGetLBound(a, 1, &lo);
  SafeArrayGetUBound(a, 1, &hi);
  for (LONG i = lo; i <= hi; ++i) {
    VARIANT item;
    VariantInit(&item);
    if ((v.vt & VT_TYPEMASK) == VT_VARIANT) {
      SafeArrayGetElement(a, &i, &item);
    } else {
      item.vt = VT_UI1;
      SafeArrayGetElement(a, &i, &item.bVal);
    }
    VARIANT b;
    VariantInit(&b);
    VariantChangeType(&b, &item, 0, VT_UI1);
    text += WideFormat(L"%02X", b.bVal);
    VariantClear(&item);
  }
  return text;
}

// The debuggee's id while a trace runs, read on the main thread (where the debugging thread's
// object cannot go away), so that an expired wait can end what the engine waits for.
DWORD DebuggeeId() {
  TDebuggingThread* thread = GetDebugger()->Thread();
  TDebuggedProcess* process = thread ? thread->Process() : nullptr;
  return process ? process->ProcessId() : 0;
}

std::function<void()> KillProcess(DWORD pid) {
  return [pid] {
    if (HANDLE p = pid ? OpenProcess(PROCESS_TERMINATE, FALSE, pid) : nullptr) {
      TerminateProcess(p, 1);
      CloseHandle(p);
    }
  };
}

// The engine's own waits have no limit: each runs bounded, and on expiry the traced program is
// ended (the debugging thread then sees its exit and ends) and the test fails.
bool EndTrace(DWORD timeoutMs, DWORD knownPid) {
  TDebugger* debugger = GetDebugger();
  const DWORD running = DebuggeeId();
  const std::function<void()> kill = KillProcess(running ? running : knownPid);
  bool ok = true;
  if (debugger->GetActive())
    ok = BoundedWait("stopping the trace", timeoutMs, [debugger] { debugger->Stop(); }, kill);
  return BoundedWait("the end of the debugging thread", timeoutMs, [debugger] { debugger->WaitForThreadEnd(); },
                     kill) && ok;
}

}  // namespace

const VARIANT* TLoggedEvent::Find(const std::wstring& name) const {
  for (auto& [n, v] : Params)
    if (n == name) return &v;
  return nullptr;
}

std::wstring TLoggedEvent::Value(const std::wstring& name) const {
  const VARIANT* v = Find(name);
  if (!v) return L"<missing>";
  if (v->vt & VT_ARRAY) return BytesText(*v);
  if (v->vt == VT_NULL) return L"null";
  return VariantToText(*v);
}

TTraceHarness::TTraceHarness() {
  UseProgramTypeLibrary();
  GetTracerEventQueue()->Clear();
}

TTraceHarness::~TTraceHarness() { Stop(); }

DWORD TTraceHarness::KnownPid() const {
  try {
    return TruthPid();
  } catch (const std::exception&) {
    return 0;
  }
}

bool TTraceHarness::Stop(DWORD timeoutMs) { return EndTrace(timeoutMs, KnownPid()); }

bool TTraceHarness::WaitForThreadEnd(DWORD timeoutMs) {
  return BoundedWait("the end of the debugging thread", timeoutMs, [] { GetDebugger()->WaitForThreadEnd(); },
                     KillProcess(KnownPid()));
}

std::wstring TTraceHarness::CommandLine(const std::wstring& scenario, const std::wstring& argument) const {
  std::wstring cmd = L"\"" + TestBinDir() + L"tracee.exe\" " + scenario + L" \"" + TruthFile() + L"\"";
  if (!argument.empty()) cmd += L" \"" + argument + L"\"";
  return cmd;
}

void TTraceHarness::Pump() { ProcessMessages(); }

void TTraceHarness::StartRun(const std::wstring& scenario, const std::wstring& argument) {
  GetDebugger()->Run(CommandLine(scenario, argument));
  ASSERT_TRUE(PumpUntil([] { return GetDebugger()->GetActive(); }, 20000)) << "the trace never started";
}

bool TTraceHarness::WaitForEnd(DWORD timeoutMs) {
  if (!PumpUntil([] { return !GetDebugger()->GetActive(); }, timeoutMs)) return false;
  return WaitForThreadEnd(timeoutMs);
}

void TTraceHarness::RunToEnd(const std::wstring& scenario, const std::wstring& argument, DWORD timeoutMs) {
  StartRun(scenario, argument);
  ASSERT_TRUE(WaitForEnd(timeoutMs)) << "the trace did not end";
}

std::vector<TLoggedEvent> TTraceHarness::Events() const {
  std::vector<TLoggedEvent> events;
  ITracerEvents* all = GetTracerEventQueue()->AllEvents();
  LONG count = 0;
  all->get_Count(&count);
  for (LONG i = 0; i < count; ++i) {
    TComPtr<ITracerEvent> event;
    if (FAILED(all->Item(i, event.Put()))) continue;
    TLoggedEvent e;
    BSTR text = nullptr;
    event->get_Text(&text);
    e.Text = BstrText(text);
    TComPtr<IErrorTracerEvent> error;
    TComPtr<ICallTracerEvent> call;
    TComPtr<IParamTracerEvent> withParams;
    if (SUCCEEDED(event->QueryInterface(__uuidof(IErrorTracerEvent), reinterpret_cast<void**>(error.Put()))))
      e.Kind = TLoggedEvent::Error;
    else if (SUCCEEDED(event->QueryInterface(__uuidof(ICallTracerEvent), reinterpret_cast<void**>(call.Put())))) {
      e.Kind = TLoggedEvent::Call;
      LONG id = 0;
      call->get_ThreadId(&id);
      e.ThreadId = static_cast<DWORD>(id);
      call->get_Time(&e.Time);
    }
    if (SUCCEEDED(event->QueryInterface(__uuidof(IParamTracerEvent), reinterpret_cast<void**>(withParams.Put())))) {
      TComPtr<ITracerEventParams> params;
      withParams->get_Params(params.Put());
      LONG n = 0;
      params->get_Count(&n);
      for (LONG j = 0; j < n; ++j) {
        TComPtr<ITracerEventParam> param;
        params->get_Item(j, param.Put());
        BSTR name = nullptr;
        param->get_Name(&name);
        TOleVariant value;
        param->get_Value(&value);
        VARIANT_BOOL visible = VARIANT_TRUE;
        param->get_Visible(&visible);
        e.Params.emplace_back(BstrText(name), std::move(value));
        e.ParamVisible.push_back(visible != VARIANT_FALSE);
      }
    }
    events.push_back(std::move(e));
  }
  // Visibility in the log view: the event is also in the visible list.
  IVisibleTracerEvents* visible = GetTracerEventQueue()->VisibleEvents();
  LONG visibleCount = 0;
  visible->get_Count(&visibleCount);
  std::vector<bool> shown(events.size(), false);
  for (LONG i = 0, j = 0; i < visibleCount; ++i) {
    TComPtr<ITracerEvent> v;
    visible->Item(i, v.Put());
    while (j < count) {
      TComPtr<ITracerEvent> a;
      all->Item(j, a.Put());
      ++j;
      if (a.Get() == v.Get()) {
        shown[j - 1] = true;
        break;
      }
    }
  }
  for (size_t i = 0; i < events.size(); ++i) events[i].Visible = shown[i];
  return events;
}

std::vector<TLoggedEvent> TTraceHarness::OfKind(TLoggedEvent::TKind kind) const {
  std::vector<TLoggedEvent> events;
  for (auto& e : Events())
    if (e.Kind == kind) events.push_back(e);
  return events;
}

std::vector<TLoggedEvent> TTraceHarness::Calls() const { return OfKind(TLoggedEvent::Call); }

std::vector<TLoggedEvent> TTraceHarness::CallsOf(const std::wstring& title) const {
  std::vector<TLoggedEvent> calls;
  for (auto& e : Calls())
    if (e.Text == title) calls.push_back(e);
  return calls;
}

std::vector<TLoggedEvent> TTraceHarness::Errors() const { return OfKind(TLoggedEvent::Error); }

std::vector<TTruthCall> TTraceHarness::Truth() const {
  std::vector<TTruthCall> calls;
  std::istringstream in(ReadTextFile(TruthFile()));
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    TTruthCall call;
    std::istringstream fields(line);
    std::string field;
    std::getline(fields, field, '\t');
    call.Function = Utf8ToWide(field);
    while (std::getline(fields, field, '\t')) {
      const size_t eq = field.find('=');
      if (eq == std::string::npos)
        call.Values[Utf8ToWide(field)] = L"";
      else
        call.Values[Utf8ToWide(field.substr(0, eq))] = Utf8ToWide(field.substr(eq + 1));
    }
    calls.push_back(std::move(call));
  }
  return calls;
}

std::vector<std::string> TTraceHarness::TruthRemarks() const {
  std::vector<std::string> remarks;
  if (GetFileAttributesW(TruthFile().c_str()) == INVALID_FILE_ATTRIBUTES) return remarks;
  std::istringstream in(ReadTextFile(TruthFile()));
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.rfind("# ", 0) == 0) remarks.push_back(line.substr(2));
  }
  return remarks;
}

DWORD TTraceHarness::TruthPid() const {
  for (const std::string& r : TruthRemarks())
    if (r.rfind("pid ", 0) == 0) return static_cast<DWORD>(std::stoul(r.substr(4)));
  return 0;
}

TTestDefs::~TTestDefs() {
  EndTrace(20000, 0);
  Items.clear();
}

TProcDef* TTestDefs::Add(const std::wstring& url, const std::wstring& result, std::vector<TParamSpec> params,
                         const std::wstring& title) {
  const TDefClass* cls = nullptr;
  EXPECT_TRUE(GetProcTypeDefs()->FindType(result, cls));
  std::unique_ptr<TProcDef> def = static_cast<const TProcDefClass*>(cls)->Create(url);
  std::wstring xml = L"<propertyset name=\"proc\">";
  if (!title.empty()) xml += XmlProperty(L"Title", title);
  for (const TParamSpec& p : params) {
    xml += L"<propertyset name=\"param\">" + XmlProperty(L"Type", p.Type) + XmlProperty(L"Name", p.Name) +
           XmlProperty(L"Offset", std::to_wstring(p.Offset));
    if (p.Out) xml += XmlProperty(L"Out", L"True");
    if (!p.Length.empty()) xml += XmlProperty(L"Length", p.Length);
    xml += L"</propertyset>";
  }
  xml += L"</propertyset>";
  def->LoadFromXML(ParsePropertySet(xml).Get());
  Items.push_back(std::move(def));
  return Items.back().get();
}

uint32_t TTestDefs::ExportRva(const std::wstring& dll, const char* name) {
  HMODULE module = LoadLibraryExW((TestBinDir() + dll).c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
  EXPECT_NE(module, nullptr);
  const uint32_t rva = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(GetProcAddress(module, name)) -
                                             reinterpret_cast<uintptr_t>(module));
  FreeLibrary(module);
  return rva;
}

bool TTraceHarness::HasRemark(const std::string& remark) const {
  auto remarks = TruthRemarks();
  return std::find(remarks.begin(), remarks.end(), remark) != remarks.end();
}

TBusyProgram::TBusyProgram(TTraceHarness& h, const std::wstring& scenario) : FStopFile(h.Dir.File(L"stop")) {
  std::wstring cmd = h.CommandLine(scenario, FStopFile);
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  const std::wstring dir = TestBinDir();
  EXPECT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, dir.c_str(), &si, &pi));
  CloseHandle(pi.hThread);
  Process = pi.hProcess;
  Pid = pi.dwProcessId;
  EXPECT_TRUE(h.PumpUntil([&] { return h.TruthPid() == Pid && h.HasRemark("ready"); }, 20000));
}

TBusyProgram::~TBusyProgram() {
  if (Process && StillRunning()) {
    TerminateProcess(Process, 1);
    WaitForSingleObject(Process, ScaledMs(5000));
  }
  if (Process) CloseHandle(Process);
}

bool TBusyProgram::Finish() {
  WriteTextFile(FStopFile, "stop");
  return WaitForSingleObject(Process, ScaledMs(20000)) == WAIT_OBJECT_0;
}
