#include "Tracer/engine/uCallHandlers.h"

#include <atomic>

#include <oleauto.h>
#include <shellapi.h>

#include <cwctype>
#include <new>

#include "Tracer/com/uAutoObject.h"
#include "Tracer/engine/uProcessMemory.h"
#include "Tracer/foundation/uConfig.h"
#include "Tracer/foundation/uGuards.h"
#include "Tracer/foundation/uOleVariant.h"
#include "Tracer/foundation/uRaise.h"
#include "Tracer/foundation/uSingletons.h"
#include "Tracer/foundation/uUtils.h"
#include "Tracer/foundation/uWideStrUtils.h"
#include "lib/dgn/windows/DgnSysUtils.h"


namespace {

const wchar_t* const UnitPath = L"src/Tracer/uCallHandlers";
// Where the scripting runtime can be had, offered by the version check.
const wchar_t* const ScriptingRuntimeDownloadPage =
    L"https://www.microsoft.com/download/details.aspx?id=8247";

// ---- guarded calls into handler libraries -----------------------------------------------------
//
// A handler library is foreign code: a fault inside it must become an error of that call, not
// the end of the tracer. There is no __try here, so the call runs through a small assembler
// thunk that puts an exception-registration record of its own on the thread's chain. The
// library's own structured and C++ handlers lie above it and see every exception first; only
// an exception none of them takes reaches the guard, which unwinds the library's frames
// (their clean-ups run and the chain is ours again) and resumes the thunk with its saved stack.

struct THandlerGuard {
  uint32_t SavedEsp;   // +0, written by the thunk
  uint32_t SavedEbp;   // +4
  uint32_t ResumeEip;  // +8
  DWORD ExceptionCode = 0;
  uintptr_t ExceptionAddress = 0;
  ULONG_PTR AccessKind = 0;
  ULONG_PTR AccessAddress = 0;
};

}  // namespace

extern "C" EXCEPTION_DISPOSITION __cdecl CwHandlerGuardFrame(EXCEPTION_RECORD* record, void* frame,
                                                             CONTEXT* context, void* dispatcher);
// RtlUnwind to frame, returning here with the callee-saved registers kept.
extern "C" void __cdecl CwUnwindTo(void* frame, EXCEPTION_RECORD* record);
// Continues the thunk at its resume point with its saved stack, as an __except block is
// entered: a jump, so exceptions raised as non-continuable are taken too.
extern "C" __attribute__((noreturn)) void __cdecl CwResumeGuarded(const THandlerGuard* guard);

// Calls Proc with Arg (on the stack when Register is 0, in EAX otherwise) under the guard's
// registration record; 0, or 1 when an exception was caught. ESP is restored after the call, so
// a handler that does not pop its argument leaves no trace. The record is
// {previous, CwHandlerGuardFrame, guard}, and the chain's head is put back on both ways out.
extern "C" uint32_t __stdcall CwGuardedHandlerCall(void* proc, void* arg, uint32_t reg,
                                                   THandlerGuard* guard);
asm(R"(
  .text
  .globl _CwGuardedHandlerCall@16
  .def _CwGuardedHandlerCall@16; .scl 2; .type 32; .endef
_CwGuardedHandlerCall@16:
  pushl %ebp
  movl %esp, %ebp
  pushl %ebx
  pushl %esi
  pushl %edi
  pushl 20(%ebp)
  pushl $_CwHandlerGuardFrame
  pushl %fs:0
  movl %esp, %fs:0
  movl 20(%ebp), %ecx
  movl %esp, 0(%ecx)
  movl %ebp, 4(%ecx)
  movl $1f, 8(%ecx)
  movl 12(%ebp), %eax
  cmpl $0, 16(%ebp)
  jne 2f
  pushl %eax
2:
  call *8(%ebp)
  leal -24(%ebp), %esp
  xorl %eax, %eax
  jmp 3f
1:
  movl $1, %eax
3:
  movl 0(%esp), %ecx
  movl %ecx, %fs:0
  addl $12, %esp
  popl %edi
  popl %esi
  popl %ebx
  popl %ebp
  ret $16

  .globl _CwResumeGuarded
  .def _CwResumeGuarded; .scl 2; .type 32; .endef
_CwResumeGuarded:
  movl 4(%esp), %ecx
  movl 0(%ecx), %esp
  movl 4(%ecx), %ebp
  jmp *8(%ecx)

  .globl _CwUnwindTo
  .def _CwUnwindTo; .scl 2; .type 32; .endef
_CwUnwindTo:
  pushl %ebp
  movl %esp, %ebp
  pushl %ebx
  pushl %esi
  pushl %edi
  pushl $0
  pushl 12(%ebp)
  pushl $4f
  pushl 8(%ebp)
  call _RtlUnwind@16
4:
  popl %edi
  popl %esi
  popl %ebx
  popl %ebp
  ret
)");

extern "C" EXCEPTION_DISPOSITION __cdecl CwHandlerGuardFrame(EXCEPTION_RECORD* record, void* frame,
                                                             CONTEXT*, void*) {
  if (record->ExceptionFlags & (EXCEPTION_UNWINDING | EXCEPTION_EXIT_UNWIND)) return ExceptionContinueSearch;
  auto* guard = static_cast<THandlerGuard**>(frame)[2];
  guard->ExceptionCode = record->ExceptionCode;
  guard->ExceptionAddress = reinterpret_cast<uintptr_t>(record->ExceptionAddress);
  if (record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION && record->NumberParameters >= 2) {
    guard->AccessKind = record->ExceptionInformation[0];
    guard->AccessAddress = record->ExceptionInformation[1];
  }
  // The library's frames above ours run their clean-ups and leave the chain.
  CwUnwindTo(frame, record);
  CwResumeGuarded(guard);
}

namespace {

void CallGuarded(HMODULE module, void* proc, void* arg, bool registerCall) {
  THandlerGuard guard;
  uint32_t faulted = CwGuardedHandlerCall(proc, arg, registerCall ? 1 : 0, &guard);
  if (!faulted) return;
  std::wstring where = WideExtractFileName(ModuleFilePath(module));
  if (guard.ExceptionCode == EXCEPTION_ACCESS_VIOLATION)
    throw Exception(WideFormat(L"Access violation at address %08X in module \"%ls\". %ls of address %08X",
                               static_cast<unsigned>(guard.ExceptionAddress), where.c_str(),
                               guard.AccessKind == 1 ? L"Write" : guard.AccessKind == 8 ? L"Execute" : L"Read",
                               static_cast<unsigned>(guard.AccessAddress)));
  throw Exception(WideFormat(L"Exception %08X at address %08X in module \"%ls\"",
                             static_cast<unsigned>(guard.ExceptionCode),
                             static_cast<unsigned>(guard.ExceptionAddress), where.c_str()));
}

}  // namespace

// ---- registry ----------------------------------------------------------------------------------

std::recursive_mutex& CallHandlerRegistryLock() {
  static std::recursive_mutex lock;
  return lock;
}

TCallHandler::TCallHandler(const std::wstring& functionName, TCallHandlerModule* module)
    : FFunctionName(functionName), FModule(module) {
  std::lock_guard<std::recursive_mutex> guard(CallHandlerRegistryLock());
  FModule->FHandlers[functionName] = this;
}

TCallHandler::~TCallHandler() {
  std::lock_guard<std::recursive_mutex> guard(CallHandlerRegistryLock());
  auto entry = FModule->FHandlers.find(FFunctionName);
  // A successor may have taken the name while this one waited for the lock.
  if (entry != FModule->FHandlers.end() && entry->second == this) FModule->FHandlers.erase(entry);
  if (FModule->FHandlers.empty()) delete FModule;
}

void* TCallHandler::GetInterface(REFIID iid) {
  if (iid == IID_IUnknown || iid == __uuidof(ICallHandler)) return static_cast<ICallHandler*>(this);
  return TInterfacedObject::GetInterface(iid);
}

TCallHandlerModule::TCallHandlerModule(const std::wstring& name, TCallHandlerProtocol* protocol)
    : FName(name), FProtocol(protocol) {
  std::lock_guard<std::recursive_mutex> guard(CallHandlerRegistryLock());
  FProtocol->FModules[name] = this;
}

TCallHandlerModule::~TCallHandlerModule() {
  std::lock_guard<std::recursive_mutex> guard(CallHandlerRegistryLock());
  FProtocol->FModules.erase(FName);
}

TCallHandlerRef TCallHandlerModule::GetHandler(const std::wstring& functionName) {
  std::lock_guard<std::recursive_mutex> guard(CallHandlerRegistryLock());
  auto found = FHandlers.find(functionName);
  // A handler whose last reference went on the debugging thread is dying: make a new one.
  if (found != FHandlers.end() && found->second->RefCount() > 0)
    return TCallHandlerRef(static_cast<ICallHandler*>(found->second));
  TCallHandlerRef handler = CreateHandler(functionName);
  if (!handler)
    throw Exception(WideFormat(L"Cannot create handler for %ls::%ls", FName.c_str(),
                               functionName.c_str()));
  return handler;
}

TCallHandlerProtocol::~TCallHandlerProtocol() = default;

TCallHandlerModule* TCallHandlerProtocol::GetModule(const std::wstring& name,
                                                    const std::wstring& query) {
  std::lock_guard<std::recursive_mutex> guard(CallHandlerRegistryLock());
  auto found = FModules.find(name);
  if (found != FModules.end()) {
    found->second->ApplyQuery(query);
    return found->second;
  }
  return CreateModule(name, query);
}

std::vector<TCallHandlerModule*> TCallHandlerProtocol::ModuleList() {
  std::vector<TCallHandlerModule*> modules;
  for (auto& entry : FModules) modules.push_back(entry.second);
  return modules;
}

TCallHandlerProtocols::TCallHandlerProtocols() : TQStringBucketList(true) {
  AddProtocol(new TScriptCallHandlerProtocol());
  AddProtocol(new TStdCallHandlerProtocol());
}

void TCallHandlerProtocols::AddProtocol(TCallHandlerProtocol* protocol) {
  AddString(protocol->Name(), protocol);
  FItems.push_back(protocol);
}

bool TCallHandlerProtocols::FindProtocol(const std::wstring& name,
                                         TCallHandlerProtocol*& protocol) const {
  TObject* found = nullptr;
  if (!FindString(name, found)) return false;
  CW_ASSERT(found != nullptr, UnitPath, 129);
  // Keys are hashes: a name whose hash meets a protocol's is still not that protocol.
  if (static_cast<TCallHandlerProtocol*>(found)->Name() != name) return false;
  protocol = static_cast<TCallHandlerProtocol*>(found);
  return true;
}

std::wstring ModulePath(const std::wstring& name) {
  if (name.find(L'\\') != std::wstring::npos) return name;
  return WideExtractFilePath(ModuleFilePath(nullptr)) + L"symbols\\" + name;
}

// ---- stdcall -----------------------------------------------------------------------------------

TCallHandlerModule* TStdCallHandlerProtocol::CreateModule(const std::wstring& name,
                                                          const std::wstring& query) {
  return new TStdCallHandlerModule(name, this, query);
}

TStdCallHandlerModule::TStdCallHandlerModule(const std::wstring& name,
                                             TCallHandlerProtocol* protocol,
                                             const std::wstring& query)
    : TCallHandlerModule(name, protocol) {
  // Owned from here: a failed query frees the library again.
  FLib.Reset(LoadLibraryChecked(ModulePath(name), true));
  ApplyQuery(query);
}

TStdCallHandlerModule::~TStdCallHandlerModule() = default;

void TStdCallHandlerModule::ApplyQuery(const std::wstring& query) {
  FARPROC setParams = GetProcAddress(FLib.Get(), "SetParams");
  if (!setParams) return;
  std::string text = WideToAnsi(query);
  PluginCallGuard(
      [&] { CallGuarded(FLib.Get(), reinterpret_cast<void*>(setParams), const_cast<char*>(text.c_str()), true); });
}

TCallHandlerRef TStdCallHandlerModule::CreateHandler(const std::wstring& functionName) {
  FARPROC proc = GetProcAddress(FLib.Get(), WideToAnsi(functionName).c_str());
  Win32CheckApi(proc != nullptr, "GetProcAddress");
  return TCallHandlerRef(new TStdCallHandler(functionName, this, proc));
}

TStdCallHandler::TStdCallHandler(const std::wstring& functionName, TCallHandlerModule* module,
                                 FARPROC procAddress)
    : TCallHandler(functionName, module), FProcAddress(procAddress) {}

void TStdCallHandler::Execute(ITracerEventParams* params) {
  CW_ASSERT(FProcAddress != nullptr, UnitPath, 229);
  auto* module = static_cast<TStdCallHandlerModule*>(Module());
  PluginCallGuard([&] { CallGuarded(module->LibHandle(), reinterpret_cast<void*>(FProcAddress), params, false); });
}

// ---- script ------------------------------------------------------------------------------------

TScriptCallHandlerProtocol::TScriptCallHandlerProtocol() : TCallHandlerProtocol(L"script") {
  CheckScriptingRuntime();
}

TCallHandlerModule* TScriptCallHandlerProtocol::CreateModule(const std::wstring& name,
                                                             const std::wstring& query) {
  return new TScriptCallHandlerModule(name, this, query);
}

TScriptCallHandlerModule::TScriptCallHandlerModule(const std::wstring& name,
                                                   TCallHandlerProtocol* protocol,
                                                   const std::wstring& query)
    : TCallHandlerModule(name, protocol) {
  try {
    if (!query.empty()) ApplyQuery(query);
    AddScriptFile(name);
  } catch (Exception& e) {
    PrependExceptionLine(e, L"Cannot create script handler module");
    throw;
  }
}

DWORD ScriptEngineKey() {
  static std::atomic<DWORD> last{0};
  thread_local const DWORD key = ++last;
  return key;
}

size_t TScriptCallHandlerModule::ScriptEngineCount() {
  std::lock_guard<std::mutex> guard(FControlsLock);
  size_t count = 0;
  for (auto& [key, control] : FScriptControls)
    if (control) ++count;
  return count;
}

TScriptCallHandlerModule::~TScriptCallHandlerModule() {
  for (auto& [thread, control] : FScriptControls) {
    if (!control || thread == ScriptEngineKey()) continue;
    try {
      GetCallHandlerEngine()->ReleaseAtEndOfTrace(thread, std::move(control));
    } catch (...) {
      // The engine is gone (shutdown): no trace runs any more, the engine is released here.
    }
  }
}

void TScriptCallHandlerModule::ApplyQuery(const std::wstring& query) {
  std::vector<std::wstring> items;
  SplitQueryParams(query, items);
  for (const std::wstring& item : items) {
    std::wstring key, value;
    SplitKeyValue(item, key, value);
    if (WideUpperCase(key) == L"INCLUDE") AddScriptFile(value);
  }
}

void TScriptCallHandlerModule::AddScriptFile(const std::wstring& fileName) {
  std::wstring path = ModulePath(fileName);
  std::wstring key = WideUpperCase(path);
  std::lock_guard<std::mutex> guard(FCodeLock);
  if (FLoadedFiles.count(key)) return;

  std::string bytes;
  {
    TWideFileStream stream(path, fmOpenRead | fmShareDenyWrite);
    bytes.resize(static_cast<size_t>(stream.GetSize()));
    if (!bytes.empty()) stream.ReadBuffer(bytes.data(), static_cast<int32_t>(bytes.size()));
  }

  std::wstring name = WideExtractFileName(path);
  size_t dot = name.rfind(L'.');
  std::wstring extension = dot == std::wstring::npos ? std::wstring() : name.substr(dot);
  std::wstring upper = WideUpperCase(extension);
  std::wstring language;
  if (upper == L".JS")
    language = L"JScript";
  else if (upper == L".VBS")
    language = L"VBScript";
  else
    throw Exception(WideFormat(L"Unsupported script language(\"%ls\")", extension.c_str()));
  if (language != FLanguage) {
    if (!FLanguage.empty())
      throw Exception(WideFormat(L"Cannot change script language from \"%ls\" to \"%ls\"",
                                 FLanguage.c_str(), language.c_str()));
    FLanguage = language;
  }

  std::wstring text = AnsiToWide(bytes);
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find_first_of(L"\r\n", start);
    if (end == std::wstring::npos) {
      FCode.push_back(text.substr(start));
      break;
    }
    FCode.push_back(text.substr(start, end - start));
    start = end + ((text[end] == L'\r' && end + 1 < text.size() && text[end + 1] == L'\n') ? 2 : 1);
  }
  FLoadedFiles.insert(key);
}

TComPtr<IScriptControl>& TScriptCallHandlerModule::OwnScriptControl() {
  std::lock_guard<std::mutex> guard(FControlsLock);
  return FScriptControls[ScriptEngineKey()];
}

IScriptControl* TScriptCallHandlerModule::GetScriptControl() {
  TComPtr<IScriptControl>& FScriptControl = OwnScriptControl();
  if (FScriptControl) return FScriptControl.Get();
  std::wstring language, code;
  {
    std::lock_guard<std::mutex> guard(FCodeLock);
    language = FLanguage;
    for (const std::wstring& line : FCode) {
      code += line;
      code += L"\r\n";
    }
  }
  OleCheck(CoCreateInstance(CLSID_ScriptControl, nullptr, CLSCTX_INPROC_SERVER, __uuidof(IScriptControl),
                            reinterpret_cast<void**>(FScriptControl.Put())));
  try {
    CallScriptControl([&] { return FScriptControl->put_Language(TBStr(language).Get()); });
    // The holder forwards QueryInterface to the debuggee's memory manager, which may not exist
    // yet: hand over its own IDispatch.
    IDispatch* memory = static_cast<IDispatch*>(GetProcessMemory());
    CallScriptControl([&] { return FScriptControl->AddObject(TBStr(L"Memory").Get(), memory, VARIANT_FALSE); });
    CallScriptControl([&] { return FScriptControl->AddCode(TBStr(code).Get()); });
  } catch (Exception& e) {
    AppendScriptError(e);
    throw;
  }
  return FScriptControl.Get();
}

// A failed call of the control raises with the control's own description of the error: its
// error object's description, else the error information the call left, else the system's text.
void TScriptCallHandlerModule::CallScriptControl(const std::function<HRESULT()>& call) {
  try {
    PluginCallGuard(call);
  } catch (EOleSysError& e) {
    TComPtr<IScriptControl>& FScriptControl = OwnScriptControl();
    TComPtr<IScriptError> error;
    if (FScriptControl && SUCCEEDED(FScriptControl->get_Error(error.Put())) && error) {
      TBStr text;
      error->get_Description(text.Put());
      if (!text.Str().empty()) e.SetMessage(text.Str());
    }
    throw;
  }
}

void TScriptCallHandlerModule::AppendScriptError(Exception& e) {
  TComPtr<IScriptControl>& FScriptControl = OwnScriptControl();
  if (!FScriptControl) return;
  TComPtr<IScriptError> error;
  if (FAILED(FScriptControl->get_Error(error.Put())) || !error) return;
  LONG number = 0, line = 0, column = 0;
  error->get_Number(&number);
  error->get_Line(&line);
  error->get_Column(&column);
  if (number != 0) AppendExceptionLine(e, WideFormat(L"error code=%d", static_cast<int>(number)));
  // The column counts from 0, so only the line tells whether a location is known.
  if (line != 0) {
    AppendExceptionLine(e, WideFormat(L"in %ls(%d, %d)", Name().c_str(), static_cast<int>(line),
                                      static_cast<int>(column)));
    std::lock_guard<std::mutex> guard(FCodeLock);
    if (line >= 1 && static_cast<size_t>(line) <= FCode.size())
      AppendExceptionLine(e, L"at \"" + FCode[line - 1] + L"\"");
  }
}

std::vector<std::wstring> TScriptCallHandlerModule::Code() const {
  std::lock_guard<std::mutex> guard(FCodeLock);
  return FCode;
}

std::wstring TScriptCallHandlerModule::Language() const {
  std::lock_guard<std::mutex> guard(FCodeLock);
  return FLanguage;
}

TCallHandlerRef TScriptCallHandlerModule::CreateHandler(const std::wstring& functionName) {
  return TCallHandlerRef(new TScriptCallHandler(functionName, this));
}

void TScriptCallHandlerModule::Reset() {
  TComPtr<IScriptControl> own;  // released outside the lock
  std::lock_guard<std::mutex> guard(FControlsLock);
  auto it = FScriptControls.find(ScriptEngineKey());
  if (it == FScriptControls.end()) return;
  own = std::move(it->second);
  FScriptControls.erase(it);
}

void TScriptCallHandler::Execute(ITracerEventParams* params) {
  auto* module = dynamic_cast<TScriptCallHandlerModule*>(Module());
  CW_ASSERT(module != nullptr, UnitPath, 415);
  const std::wstring context = L"Error executing \"" + module->Name() + L"::" + FunctionName() + L"\": ";
  IScriptControl* control = nullptr;
  try {
    control = module->GetScriptControl();  // adds the control's details itself
  } catch (Exception& e) {
    PrependExceptionLine(e, context);
    throw;
  }
  try {
    TSafeArray args = TSafeArray::CreateVector(VT_VARIANT, 0, 1);
    VARIANT arg;  // borrowed reference: the array adds its own
    VariantInit(&arg);
    arg.vt = VT_DISPATCH;
    arg.pdispVal = params;
    LONG index = 0;
    OleCheck(SafeArrayPutElement(args.Get(), &index, &arg));
    TComPtr<IScriptError> error;
    if (SUCCEEDED(control->get_Error(error.Put())) && error) error->Clear();
    SAFEARRAY* argList = args.Get();
    TOleVariant result;
    module->CallScriptControl([&] { return control->Run(TBStr(FunctionName()).Get(), &argList, &result); });
  } catch (Exception& e) {
    PrependExceptionLine(e, context);
    module->AppendScriptError(e);
    throw;
  }
}

// ---- engine ------------------------------------------------------------------------------------

class TCallHandlerEngine::TFactory : public TServiceFactory<TCallHandlerEngine, TSimpleObjectFactory> {};

TCallHandlerEngine::TCallHandlerEngine() = default;
TCallHandlerEngine::~TCallHandlerEngine() = default;

TCallHandlerRef TCallHandlerEngine::GetHandler(const std::wstring& url) {
  std::wstring scheme, path, query, userPart;
  ParseURL(url, scheme, path, query, userPart);
  TCallHandlerProtocol* protocol = nullptr;
  if (!FProtocols.FindProtocol(scheme, protocol))
    throw Exception(WideFormat(L"Unknown protocol \"%ls\"", scheme.c_str()));
  std::lock_guard<std::recursive_mutex> guard(CallHandlerRegistryLock());
  TCallHandlerModule* module = protocol->GetModule(path, query);
  try {
    return module->GetHandler(userPart);
  } catch (...) {
    // A module lives only while it has handlers: one made for this URL alone goes again.
    if (!module->HasHandlers()) delete module;
    throw;
  }
}

void TCallHandlerEngine::ExecuteHandler(ICallHandler* handler, ITracerEventParams* params) {
  if (!handler) return;
  // Holds the handler (and so its module) while it runs, whatever the main thread unloads.
  TCallHandlerRef hold(handler);
  hold->Execute(params);
}

void TCallHandlerEngine::EndTrace() {
  std::vector<TComPtr<IScriptControl>> released;
  {
    std::lock_guard<std::recursive_mutex> guard(CallHandlerRegistryLock());
    for (TCallHandlerProtocol* protocol : FProtocols.Items())
      for (TCallHandlerModule* module : protocol->ModuleList()) module->Reset();
    const DWORD self = ScriptEngineKey();
    for (size_t i = FPendingReleases.size(); i-- > 0;) {
      if (FPendingReleases[i].first != self) continue;
      released.push_back(std::move(FPendingReleases[i].second));
      FPendingReleases.erase(FPendingReleases.begin() + static_cast<std::ptrdiff_t>(i));
    }
  }
  released.clear();
}

void TCallHandlerEngine::ReleaseAtEndOfTrace(DWORD threadId, TComPtr<IScriptControl> control) {
  std::lock_guard<std::recursive_mutex> guard(CallHandlerRegistryLock());
  FPendingReleases.emplace_back(threadId, std::move(control));
}

size_t TCallHandlerEngine::PendingReleases() {
  std::lock_guard<std::recursive_mutex> guard(CallHandlerRegistryLock());
  return FPendingReleases.size();
}

static TObject* CallHandlerEngineInstance = nullptr;

TCallHandlerEngine* GetCallHandlerEngine() {
  static const TCallHandlerEngine::TFactory factory;
  return GetServiceInstance<TCallHandlerEngine>(factory, CallHandlerEngineInstance);
}

// ---- scripting runtime check -------------------------------------------------------------------

void CheckScriptingRuntime() {
  std::wstring version = GetFileVersionText(L"JScript.dll").substr(0, 3);
  // A version that cannot be read counts as too old.
  if (!version.empty() && CompareVersionStrings(version, L"5.6") >= 0) return;
  std::wstring text = L"Detected Microsoft JScript " + version +
                      L"\r\nIt is strongly recommended to install the latest version of Microsoft "
                      L"Windows Script. It is available at " +
                      std::wstring(ScriptingRuntimeDownloadPage) + L". Open this page now?";
  // The error box with the button answer (ShowErrorBox does not return it).
  if (ShowMessageBox(text, MB_YESNO | MB_ICONERROR) == IDYES)
    ShellExecuteW(nullptr, L"open", ScriptingRuntimeDownloadPage, nullptr, nullptr, SW_SHOWNORMAL);
}
