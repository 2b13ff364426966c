#include "Tracer/engine/uDebugCore.h"

#include <algorithm>
#include <functional>

#include "Tracer/engine/uCallHandlers.h"
#include "Tracer/engine/uEventQueue.h"
#include "Tracer/foundation/uMultiLanguage.h"
#include "Tracer/engine/uProcessMemory.h"
#include "Tracer/foundation/uRaise.h"
#include "Tracer/engine/uSystemObjects.h"
#include "Tracer/foundation/uUtils.h"
#include "Tracer/foundation/uWideStrUtils.h"
#include "lib/dgn/windows/DgnStackInfo.h"

namespace {

const wchar_t* const UnitPath = L"src/Tracer/uDebugCore";

constexpr DWORD TrapFlag = 0x100;
constexpr uint8_t BreakpointByte = 0xCC;

// The current debuggee's memory manager (the holder keeps it alive for the trace).
IMemoryManager* Memory() {
  TMemoryManagerRef bridge;
  GetProcessMemoryBridge(bridge);
  return bridge.Get();
}

// Reads from the debuggee without the memory manager (before it can be reached, or where a
// failure must only give an empty answer).
bool ReadRemote(HANDLE process, uint32_t address, void* buffer, size_t count) {
  SIZE_T done = 0;
  return address != 0 &&
         ReadProcessMemory(process, reinterpret_cast<LPCVOID>(static_cast<uintptr_t>(address)),
                           buffer, count, &done) &&
         done == count;
}

// The image name a load event points to (a pointer in the debuggee to the name), or empty.
std::wstring ReadImageName(HANDLE process, const LOAD_DLL_DEBUG_INFO& info) {
  uint32_t namePtr = 0;
  if (!ReadRemote(process, static_cast<uint32_t>(reinterpret_cast<uintptr_t>(info.lpImageName)),
                  &namePtr, sizeof namePtr) ||
      namePtr == 0)
    return std::wstring();
  // Mostly one read; near the end of a page the name is read a character at a time.
  if (info.fUnicode) {
    wchar_t buffer[MAX_PATH + 1] = {};
    if (ReadRemote(process, namePtr, buffer, MAX_PATH * sizeof(wchar_t))) return std::wstring(buffer);
  }
  std::wstring name;
  for (uint32_t i = 0; i < MAX_PATH * 4; ++i) {
    if (info.fUnicode) {
      wchar_t c = 0;
      if (!ReadRemote(process, namePtr + i * 2, &c, 2) || c == 0) break;
      name += c;
    } else {
      char c = 0;
      if (!ReadRemote(process, namePtr + i, &c, 1) || c == 0) break;
      wchar_t w = 0;
      MultiByteToWideChar(CP_ACP, 0, &c, 1, &w, 1);
      name += w;
    }
  }
  return name;
}

// SizeOfImage from the image's headers in the debuggee, or 0.
uint32_t ReadImageSize(HANDLE process, uint32_t base) {
  IMAGE_DOS_HEADER dos{};
  if (!ReadRemote(process, base, &dos, sizeof dos) || dos.e_magic != IMAGE_DOS_SIGNATURE) return 0;
  IMAGE_NT_HEADERS32 nt{};
  if (!ReadRemote(process, base + dos.e_lfanew, &nt, sizeof nt) || nt.Signature != IMAGE_NT_SIGNATURE)
    return 0;
  return nt.OptionalHeader.SizeOfImage;
}

// Clean-up steps in reverse order, also when a step raised; the first exception wins.
class TCleanup {
public:
  explicit TCleanup(std::function<void()> fn) : FFn(std::move(fn)) {}
  ~TCleanup() noexcept(false) {
    if (std::uncaught_exceptions() > FUncaught) {
      try {
        FFn();
      } catch (...) {
      }
    } else {
      FFn();
    }
  }
  TCleanup(const TCleanup&) = delete;
  TCleanup& operator=(const TCleanup&) = delete;

private:
  std::function<void()> FFn;
  int FUncaught = std::uncaught_exceptions();
};

}  // namespace

// ---------------------------------------------------------------------------------------
// Modules, threads, process

TDebuggedProcessModule::~TDebuggedProcessModule() { CloseHandleAndNil(FileHandle); }

bool TDebuggedProcessModulesList::FindModule(uint32_t baseAddress,
                                             TDebuggedProcessModule*& module) const {
  TObject* obj = nullptr;
  if (!Find(baseAddress, obj)) return false;
  CW_ASSERT(obj != nullptr, UnitPath, 130);
  module = static_cast<TDebuggedProcessModule*>(obj);
  return true;
}

TDebuggedProcessModules::TDebuggedProcessModules(TDebuggedProcess* process)
    : TDebuggedProcessModulesList(true), FProcess(process) {}

TDebuggedProcessModules::~TDebuggedProcessModules() { ClearModules(); }

TDebuggedProcessModule* TDebuggedProcessModules::AddModule(uint32_t baseAddress, HANDLE fileHandle) {
  // A load at a base whose unload was never reported replaces the old module.
  RemoveModule(baseAddress);
  auto* module = new TDebuggedProcessModule(baseAddress, fileHandle);
  Add(baseAddress, module);
  return module;
}

void* TDebuggedProcessModules::InsertSorted(int bucket, int index, uint32_t key, void* data) {
  CW_ASSERT(dynamic_cast<TDebuggedProcessModule*>(static_cast<TObject*>(data)) != nullptr, UnitPath,
            160);
  void* result = TDebuggedProcessModulesList::InsertSorted(bucket, index, key, data);
  FPending.Add(key, static_cast<TObject*>(data));
  return result;
}

void TDebuggedProcessModules::RemoveModule(uint32_t baseAddress) {
  FPending.Remove(baseAddress);
  Remove(baseAddress);
}

void TDebuggedProcessModules::ClearModules() {
  FPending.Clear();
  Clear();
}

bool TDebuggedProcessModules::ResolvePendingNames() {
  if (FPending.IsEmpty()) return false;
  std::vector<TDebuggedProcessModule*> named;
  auto e = TDebuggedProcessModulesListEnumerator(&FPending, UnitPath, 190);
  while (e.MoveNext()) {
    TDebuggedProcessModule* m = e.GetCurrent();
    CW_ASSERT(m->FileName.empty(), UnitPath, 193);
    GetProcessModuleFileName(FProcess->Handle,
                             reinterpret_cast<HMODULE>(static_cast<uintptr_t>(m->BaseAddress)),
                             m->FileName);
    if (!m->FileName.empty()) named.push_back(m);
  }
  for (TDebuggedProcessModule* m : named) FPending.Remove(m->BaseAddress);
  return !named.empty();
}

void TDebuggedProcessModules::NameKnown(TDebuggedProcessModule* module) {
  if (!module->FileName.empty()) FPending.Remove(module->BaseAddress);
}

bool TDebuggedProcessModules::FindByName(const std::wstring& name, TDebuggedProcessModule*& module) {
  const bool fullPath = name.find(L'\\') != std::wstring::npos;
  auto e = Enumerate();
  while (e->MoveNext()) {
    TDebuggedProcessModule* m = e->GetCurrent();
    if (m->FileName.empty()) continue;
    const std::wstring candidate = fullPath ? m->FileName : WideExtractFileName(m->FileName);
    if (CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, candidate.c_str(),
                       static_cast<int>(candidate.size()), name.c_str(),
                       static_cast<int>(name.size())) == CSTR_EQUAL) {
      module = m;
      return true;
    }
  }
  return false;
}

bool TDebuggedProcessModules::FindByAddress(uint32_t address, TDebuggedProcessModule*& module) {
  auto e = Enumerate();
  while (e->MoveNext()) {
    TDebuggedProcessModule* m = e->GetCurrent();
    if (address >= m->BaseAddress && address - m->BaseAddress < m->ImageSize) {
      module = m;
      return true;
    }
  }
  return false;
}

std::unique_ptr<TDebuggedProcessModulesListEnumerator> TDebuggedProcessModules::Enumerate() {
  return std::make_unique<TDebuggedProcessModulesListEnumerator>(this, UnitPath, 236);
}

void TDebuggedProcessThreads::AddThread(DWORD threadId, HANDLE handle) {
  Remove(threadId);
  Add(threadId, new TDebuggedProcessThread(threadId, handle));
}

bool TDebuggedProcessThreads::FindThread(DWORD threadId, TDebuggedProcessThread*& thread) const {
  TObject* obj = nullptr;
  if (!Find(threadId, obj)) return false;
  CW_ASSERT(obj != nullptr, UnitPath, 262);
  thread = static_cast<TDebuggedProcessThread*>(obj);
  return true;
}

std::vector<TDebuggedProcessThread*> TDebuggedProcessThreads::Items() {
  std::vector<TDebuggedProcessThread*> items;
  TQObjectBucketListEnumerator<TDebuggedProcessThread> e(this, UnitPath, 269);
  while (e.MoveNext()) items.push_back(e.GetCurrent());
  return items;
}

TDebuggedProcess::TDebuggedProcess(DWORD processId)
    : TProcess(processId, std::wstring()), Modules(this) {
  Handle = OpenProcess(0x100439, FALSE, processId);
  Win32CheckApi(Handle != nullptr, "OpenProcess");
  try {
    GetProcessMemory()->SetBridge(new TMemoryManager(Handle));
    SetBreakpointProcess(Handle);
  } catch (...) {
    CloseHandleAndNil(Handle);
    throw;
  }
}

TDebuggedProcess::~TDebuggedProcess() {
  try {
    if (GetBreakpointProcess() == Handle) SetBreakpointProcess(nullptr);
    GetProcessMemory()->SetBridge(nullptr);
  } catch (...) {
  }
  Modules.ClearModules();
  Threads.Clear();
  CloseHandleAndNil(Handle);
}

void TDebuggedProcess::UpdateFileName() {
  if (FFileName.empty()) GetProcessModuleFileName(Handle, nullptr, FFileName);
}

// ---------------------------------------------------------------------------------------
// The debugging thread

TDebuggingThread::TDebuggingThread() : FPausedDefs(std::make_unique<TProcDefs>(false)) {
  FreeOnTerminate = true;
}

TDebuggingThread::~TDebuggingThread() {
  FThreadBreakpoints.Clear();
  FContexts.clear();
  FProcess.reset();
}

bool TDebuggingThread::GetPaused() {
  TReadLock lock(*GetDebugRWSync());
  return FPaused;
}

void TDebuggingThread::SetPaused(bool value) {
  TWriteLock lock(*GetDebugRWSync());
  if (value == FPaused) return;
  if (value) {
    FPausedDefs->Clear();
    TProcDefsEnumerator e(GetLoadedProcDefs(), UnitPath, 340);
    std::vector<TProcDef*> active;
    while (e.MoveNext()) {
      TProcDef* def = e.GetCurrent();
      if (def->GetActive()) active.push_back(def);
    }
    for (TProcDef* def : active) {
      FPausedDefs->Add(def);
      def->SetActive(false);
    }
  } else {
    std::vector<TProcDef*> paused;
    TProcDefsEnumerator e(FPausedDefs.get(), UnitPath, 351);
    while (e.MoveNext()) paused.push_back(e.GetCurrent());
    for (TProcDef* def : paused) def->SetActive(true);
    FPausedDefs->Clear();
  }
  FPaused = value;
}

bool TDebuggingThread::FindModuleByName(const std::wstring& name, TDebuggeeModuleInfo& module) {
  TDebuggedProcessModule* found = nullptr;
  if (!FProcess || !FProcess->Modules.FindByName(name, found)) return false;
  module.BaseAddress = found->BaseAddress;
  module.FileName = found->FileName;
  return true;
}

void TDebuggingThread::ReadMemory(uint32_t address, void* buffer, int32_t count) {
  Memory()->Read(address, buffer, count);
}

HANDLE TDebuggingThread::ThreadHandle(DWORD threadId) {
  TDebuggedProcessThread* t = nullptr;
  return FProcess->Threads.FindThread(threadId, t) ? t->Handle : nullptr;
}

void TDebuggingThread::DoExecute() {
  // The outermost step: a live debuggee is left without a byte or a trap flag of ours.
  TCleanup detach([this] {
    if (FExited) return;
    ReleaseDebuggee();
    Win32CheckApi(DebugActiveProcessStop(FProcess->ProcessId()) != FALSE, "DebugActiveProcessStop");
  });
  Win32CheckApi(DebugSetProcessKillOnExit(KillOnExit()) != FALSE, "DebugSetProcessKillOnExit");
  Synchronize([this] { GetDebugger()->SetThread(this); });
  TCleanup clearThread([this] { Synchronize([] { GetDebugger()->SetThread(nullptr); }); });
  GetTracerEventQueue()->AddMessage(GetMultiLanguage()->MessageText(SStart));
  TCleanup finish([] { GetTracerEventQueue()->AddMessage(GetMultiLanguage()->MessageText(SFinish)); });
  SetResolverDebuggee(this);
  TCleanup noDebuggee([] { SetResolverDebuggee(nullptr); });
  GetCallHandlerEngine()->BeginTrace();
  TCleanup endTrace([] { GetCallHandlerEngine()->EndTrace(); });
  GetLoadedProcDefs()->Reset();
  TCleanup reset([this] {
    // Pending steps stay listed: detaching rewinds their trap flags.
    FContexts.clear();
    GetLoadedProcDefs()->Reset();
  });
  DebugLoop();
  SetPaused(false);
}

void TDebuggingThread::DebugLoop() {
  CW_ASSERT(FProcess != nullptr, UnitPath, 767);
  FImageFileHandle = nullptr;
  FDone = false;
  FTerminateHandled = false;
  FModulesChanged = true;
  TCleanup cleanup([this] {
    FProcess->Modules.ClearModules();
    CloseHandleAndNil(FImageFileHandle);
  });
  do {
    CheckTerminate();
    DEBUG_EVENT event{};
    if (WaitForDebugEvent(&event, 100)) {
      DWORD status = DBG_EXCEPTION_NOT_HANDLED;
      try {
        HandleEvent(event, status);
      } catch (...) {
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
        throw;
      }
      ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
    }
    AfterWait();
  } while (!FDone);
}

void TDebuggingThread::CheckTerminate() {
  if (!Terminated() || FTerminateHandled) return;
  if (KillOnExit()) {
    Win32CheckApi(TerminateProcess(FProcess->Handle, 0) != FALSE, "TerminateProcess");
  } else {
    FDone = true;
  }
  FTerminateHandled = true;
}

void TDebuggingThread::HandleEvent(const DEBUG_EVENT& event, DWORD& status) {
  if (event.dwProcessId != FProcess->ProcessId()) {
    if (event.dwDebugEventCode != EXCEPTION_DEBUG_EVENT ||
        event.u.Exception.ExceptionRecord.ExceptionCode == EXCEPTION_BREAKPOINT)
      status = DBG_CONTINUE;
    return;
  }
  switch (event.dwDebugEventCode) {
    case EXCEPTION_DEBUG_EVENT: OnException(event, status); break;
    case CREATE_THREAD_DEBUG_EVENT: OnCreateThread(event); break;
    case CREATE_PROCESS_DEBUG_EVENT: OnCreateProcess(event); break;
    case EXIT_THREAD_DEBUG_EVENT: OnExitThread(event); break;
    case EXIT_PROCESS_DEBUG_EVENT: OnExitProcess(event); break;
    case LOAD_DLL_DEBUG_EVENT: OnLoadDll(event); break;
    case UNLOAD_DLL_DEBUG_EVENT: OnUnloadDll(event); break;
    default: break;
  }
}

void TDebuggingThread::OnException(const DEBUG_EVENT& event, DWORD& status) {
  const EXCEPTION_RECORD& record = event.u.Exception.ExceptionRecord;
  switch (record.ExceptionCode) {
    case EXCEPTION_BREAKPOINT:
      status = DBG_CONTINUE;
      OnBreakpoint(event.dwThreadId,
                   static_cast<uint32_t>(reinterpret_cast<uintptr_t>(record.ExceptionAddress)));
      break;
    case EXCEPTION_SINGLE_STEP:
      status = DBG_CONTINUE;
      OnSingleStep(event.dwThreadId);
      break;
    default:
      break;  // the debuggee's own: its handlers run
  }
}

void TDebuggingThread::OnCreateThread(const DEBUG_EVENT& event) {
  if (event.u.CreateThread.hThread == nullptr) return;
  FProcess->Threads.AddThread(event.dwThreadId, event.u.CreateThread.hThread);
  // A thread born while another steps over a breakpoint waits with the others.
  if (FRunner != 0) {
    TDebuggedProcessThread* t = nullptr;
    if (FProcess->Threads.FindThread(event.dwThreadId, t)) SuspendHeld(t);
  }
}

void TDebuggingThread::OnCreateProcess(const DEBUG_EVENT& event) {
  if (event.u.CreateProcessInfo.hThread != nullptr)
    FProcess->Threads.AddThread(event.dwThreadId, event.u.CreateProcessInfo.hThread);
  CloseHandleAndNil(FImageFileHandle);
  FImageFileHandle = event.u.CreateProcessInfo.hFile;
}

void TDebuggingThread::OnExitThread(const DEBUG_EVENT& event) {
  FThreadBreakpoints.Remove(event.dwThreadId);
  if (FRunner == event.dwThreadId) {
    FRunner = 0;
    ReleaseHeldThreads();
  }
  FContexts.erase(event.dwThreadId);
  FProcess->Threads.RemoveThread(event.dwThreadId);
}

void TDebuggingThread::OnExitProcess(const DEBUG_EVENT&) {
  Memory()->SetEnabled(false);
  SetBreakpointProcess(nullptr);
  Terminate();
  FExited = true;
  FDone = true;
}

void TDebuggingThread::OnLoadDll(const DEBUG_EVENT& event) {
  const LOAD_DLL_DEBUG_INFO& info = event.u.LoadDll;
  const uint32_t base = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(info.lpBaseOfDll));
  TDebuggedProcessModule* module = FProcess->Modules.AddModule(base, info.hFile);
  module->ImageSize = ReadImageSize(FProcess->Handle, base);
  // Named from the event when the system gives the name, and resolved before the load is
  // continued, so that calls made right after the load are traced.
  module->FileName = ReadImageName(FProcess->Handle, info);
  FProcess->Modules.NameKnown(module);
  FModulesChanged = true;
  if (!module->FileName.empty()) ResolvePass();
}

void TDebuggingThread::OnUnloadDll(const DEBUG_EVENT& event) {
  const uint32_t base = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(event.u.UnloadDll.lpBaseOfDll));
  TDebuggedProcessModule* module = nullptr;
  if (FProcess->Modules.FindModule(base, module)) UnbindModule(*module);
  FProcess->Modules.RemoveModule(base);
  FModulesChanged = true;
}

void TDebuggingThread::AfterWait() {
  FProcess->UpdateFileName();
  if (FProcess->Modules.ResolvePendingNames()) FModulesChanged = true;
  if (FModulesChanged) ResolvePass();
}

void TDebuggingThread::ResolvePass() {
  FModulesChanged = false;
  TReadLock lock(*GetDebugRWSync());
  GetLoadedProcDefs()->ResolvePass();
}

// ---------------------------------------------------------------------------------------
// Breakpoint hits and single steps

void BeginCall(TTraceBreakpoint* trace, TBreakpointContext* context);
void EndCall(TTraceBreakpoint* trace, TBreakpointContext* context, const CONTEXT& threadContext);

namespace {

CONTEXT ReadContext(HANDLE thread, DWORD flags) {
  CONTEXT context{};
  context.ContextFlags = flags;
  Win32CheckApi(GetThreadContext(thread, &context) != FALSE, "GetThreadContext");
  return context;
}

void WriteContext(HANDLE thread, const CONTEXT& context) {
  Win32CheckApi(SetThreadContext(thread, &context) != FALSE, "SetThreadContext");
}

}  // namespace

void TDebuggingThread::OnBreakpoint(DWORD threadId, uint32_t address) {
  TReadLock lock(*GetDebugRWSync());
  TLoadedProcDefs* loaded = GetLoadedProcDefs();
  TBreakpoint* b = nullptr;
  const bool isTrace = loaded->TraceBreakpoints().FindBreakpoint(address, b);
  if (!isTrace && !loaded->ReturnBreakpoints().FindBreakpoint(address, b)) {
    // The loader's breakpoint and the debuggee's own go on. A hit that was queued for a
    // breakpoint of ours that is gone since finds another byte there: run that instruction.
    HANDLE h = ThreadHandle(threadId);
    uint8_t now = BreakpointByte;
    if (h != nullptr && ReadRemote(FProcess->Handle, address, &now, 1) && now != BreakpointByte) {
      CONTEXT context = ReadContext(h, CONTEXT_CONTROL | CONTEXT_i386);
      if (context.Eip == address + 1) {
        context.Eip = address;
        WriteContext(h, context);
      }
    }
    return;
  }
  b->Remove();
  HANDLE h = ThreadHandle(threadId);
  CW_ASSERT(h != nullptr, UnitPath, 690);
  CONTEXT context = ReadContext(h, 0x10007);
  context.Eip = address;
  if (isTrace) {
    context.EFlags |= TrapFlag;
    WriteContext(h, context);
    OnTraceBreakpoint(threadId, static_cast<TTraceBreakpoint*>(b), context);
    return;
  }
  auto* ret = static_cast<TReturnBreakpoint*>(b);
  // The returning call: the innermost context through this address whose entry lies below
  // the stack pointer now. Every context below the stack pointer is over.
  TThreadContexts& stack = ContextsOf(threadId);
  TBreakpointContext* returning = nullptr;
  int endingHere = 0;
  for (auto& c : stack) {
    if (c->Esp >= context.Esp) continue;
    if (c->Return == ret) {
      ++endingHere;
      if (returning == nullptr) returning = c.get();
    }
  }
  const bool rearm = ret->ContextCount - endingHere > 0;
  if (rearm) context.EFlags |= TrapFlag;
  WriteContext(h, context);
  if (rearm) BeginStep(threadId, ret);
  OnReturnBreakpoint(threadId, ret, context, returning);
}

void TDebuggingThread::OnTraceBreakpoint(DWORD threadId, TTraceBreakpoint* trace, CONTEXT& context) {
  uint32_t returnAddress = 0;
  if (!ReadRemote(FProcess->Handle, context.Esp, &returnAddress, sizeof returnAddress))
    returnAddress = static_cast<uint32_t>(Memory()->ReadInteger(context.Esp));
  DropStaleContexts(threadId, context.Esp);
  BeginStep(threadId, trace);
  TLoadedProcDefs* loaded = GetLoadedProcDefs();
  TBreakpoint* found = nullptr;
  TReturnBreakpoint* ret;
  if (loaded->ReturnBreakpoints().FindBreakpoint(returnAddress, found)) {
    ret = static_cast<TReturnBreakpoint*>(found);
    if (!ret->Inserted) ret->Insert();
  } else {
    auto created = std::make_unique<TReturnBreakpoint>(returnAddress);
    ret = created.get();
    loaded->ReturnBreakpoints().AddBreakpoint(created.release());
    CW_ASSERT(ret->Owner == nullptr, UnitPath, 648);
    ret->Owner = trace;
    ret->Insert();
  }
  auto c = std::make_unique<TBreakpointContext>(trace);
  TProcDefsEnumerator defs(&trace->Defs, UnitPath, 545);
  while (defs.MoveNext()) {
    TProcDef* def = defs.GetCurrent();
    c->CallContexts.AddContext(def, new TProcCallContext(def->GetTitle()));
  }
  c->Esp = context.Esp;
  c->ThreadId = threadId;
  c->Return = ret;
  ++ret->ContextCount;
  TBreakpointContext* call = c.get();
  ContextsOf(threadId).push_back(std::move(c));
  BeginCall(trace, call);
}

void TDebuggingThread::OnReturnBreakpoint(DWORD threadId, TReturnBreakpoint* ret, CONTEXT& context,
                                          TBreakpointContext* returning) {
  ++ret->Stepping;  // kept alive while its contexts are dropped
  TThreadContexts& stack = ContextsOf(threadId);
  std::unique_ptr<TBreakpointContext> call;
  // Take the returning call out and drop the calls below it, which ended without returning.
  for (size_t i = stack.size(); i-- > 0;) {
    if (stack[i]->Esp >= context.Esp) continue;
    if (stack[i].get() == returning) {
      call = std::move(stack[i]);
      stack.erase(stack.begin() + static_cast<std::ptrdiff_t>(i));
      --ret->ContextCount;
    } else {
      DropContext(stack, i);
    }
  }
  std::exception_ptr error;
  if (call) {
    try {
      EndCall(call->Trace, call.get(), context);
    } catch (...) {
      error = std::current_exception();
    }
  }
  call.reset();
  --ret->Stepping;
  FreeReturnBreakpointIfDone(ret);
  if (error) std::rethrow_exception(error);
}

void TDebuggingThread::OnSingleStep(DWORD threadId) {
  TReadLock lock(*GetDebugRWSync());
  HANDLE h = ThreadHandle(threadId);
  if (h == nullptr) return;
  TObject* obj = nullptr;
  if (!FThreadBreakpoints.Find(threadId, obj)) return;  // not a step of ours
  TBreakpoint* b = static_cast<TPendingStep*>(obj)->Breakpoint;
  FThreadBreakpoints.Remove(threadId);
  // The continuation: the byte goes back once no thread steps over it any more.
  if (--b->Stepping == 0) {
    if (auto* ret = dynamic_cast<TReturnBreakpoint*>(b)) {
      if (ret->ContextCount > 0) ret->Insert();
      FreeReturnBreakpointIfDone(ret);
    } else {
      b->Insert();
    }
  }
  CONTEXT context = ReadContext(h, 0x10003);
  // The system may have cleared the trap flag already.
  if (context.EFlags & TrapFlag) {
    context.EFlags &= ~TrapFlag;
    WriteContext(h, context);
  }
  if (FRunner != threadId) return;
  // The next queued step runs while this thread waits with the others.
  FRunner = 0;
  for (TDebuggedProcessThread* t : FProcess->Threads.Items()) {
    if (t->ThreadId != threadId && FThreadBreakpoints.Exists(t->ThreadId)) {
      FRunner = t->ThreadId;
      ResumeHeld(t);
      TDebuggedProcessThread* self = nullptr;
      if (FProcess->Threads.FindThread(threadId, self)) SuspendHeld(self);
      return;
    }
  }
  ReleaseHeldThreads();
}

void TDebuggingThread::BeginStep(DWORD threadId, TBreakpoint* breakpoint) {
  ++breakpoint->Stepping;
  FThreadBreakpoints.Remove(threadId);
  FThreadBreakpoints.Add(threadId, new TPendingStep(breakpoint));
  if (FRunner == 0) {
    FRunner = threadId;
    HoldOtherThreads(threadId);
  }
  // Otherwise this thread's hit was queued before the runner's step: it is held, and steps
  // when its turn comes.
}

void TDebuggingThread::HoldOtherThreads(DWORD runner) {
  for (TDebuggedProcessThread* t : FProcess->Threads.Items())
    if (t->ThreadId != runner) SuspendHeld(t);
}

void TDebuggingThread::ReleaseHeldThreads() {
  for (TDebuggedProcessThread* t : FProcess->Threads.Items()) ResumeHeld(t);
}

void TDebuggingThread::SuspendHeld(TDebuggedProcessThread* thread) {
  if (!thread->Held && SuspendThread(thread->Handle) != static_cast<DWORD>(-1)) thread->Held = true;
}

void TDebuggingThread::ResumeHeld(TDebuggedProcessThread* thread) {
  if (thread->Held) {
    ResumeThread(thread->Handle);
    thread->Held = false;
  }
}

void TDebuggingThread::FreeReturnBreakpointIfDone(TReturnBreakpoint* ret) {
  if (ret->ContextCount == 0 && ret->Stepping == 0)
    GetLoadedProcDefs()->ReturnBreakpoints().RemoveBreakpoint(ret);
}

TThreadContexts& TDebuggingThread::ContextsOf(DWORD threadId) { return FContexts[threadId]; }

void TDebuggingThread::DropContext(TThreadContexts& stack, size_t index) {
  TReturnBreakpoint* ret = stack[index]->Return;
  stack.erase(stack.begin() + static_cast<std::ptrdiff_t>(index));
  if (ret == nullptr) return;
  --ret->ContextCount;
  FreeReturnBreakpointIfDone(ret);
}

void TDebuggingThread::DropStaleContexts(DWORD threadId, uint32_t esp) {
  TThreadContexts& stack = ContextsOf(threadId);
  for (size_t i = stack.size(); i-- > 0;)
    if (stack[i]->Esp <= esp) DropContext(stack, i);
}

void TDebuggingThread::DropContextsOf(TTraceBreakpoint* trace) {
  for (auto& [id, stack] : FContexts)
    for (size_t i = stack.size(); i-- > 0;)
      if (stack[i]->Trace == trace) DropContext(stack, i);
}

// ---------------------------------------------------------------------------------------
// Calls: parameter addresses at entry, values at entry and return, the log at return

namespace {

// Output parameters behind two or more pointers: only the stack slot is read at entry; the
// rest of the way is followed at return, when the callee has filled the pointers.
bool DerefAtReturn(const TParamDef* param) {
  return param->GetOut() && param->GetIndirectionCount() >= 2;
}

// Stack pointer at entry + offset, then one pointer read per indirection (stopping at 0). An
// unreadable pointer gives the parameter the error's text; the call goes on.
void AddParamAddress(TProcCallContext* call, const TParamDef* param, uint32_t address, int indirections) {
  try {
    for (int i = 0; i < indirections && address != 0; ++i) address = Memory()->ReadDWord(address);
    call->ParamAddresses.AddAddress(param, address);
  } catch (const Exception& e) {
    call->ParamAddresses.AddError(param, e.Message());
  }
}

void ReadCallParams(TProcDef* def, TProcCallContext* call, bool out) {
  for (TParamDef* param : def->GetParams()) {
    if (param->GetOut() != out) continue;
    TOleVariant value;
    ReadParamValue(param, call->ParamAddresses, value);
    call->AddParam(param->GetName(), value, param->GetVisible());
  }
}

}  // namespace

void BeginCall(TTraceBreakpoint* trace, TBreakpointContext* context) {
  context->StartTime = GetTimeCounter()->GetTimeStamp();
  TProcDefsEnumerator e(&trace->Defs, UnitPath, 560);
  while (e.MoveNext()) {
    TProcDef* def = e.GetCurrent();
    TProcCallContext* call = nullptr;
    if (!def->GetActive() || !context->CallContexts.FindContext(def, call)) continue;
    for (TParamDef* param : def->GetParams()) {
      const uint32_t slot = context->Esp + param->GetOffset();
      if (DerefAtReturn(param)) {
        try {
          call->PartialAddresses[param] = Memory()->ReadDWord(slot);
        } catch (const Exception& ex) {
          call->ParamAddresses.AddError(param, ex.Message());
        }
      } else {
        AddParamAddress(call, param, slot, param->GetIndirectionCount());
      }
    }
    ReadCallParams(def, call, false);
  }
}

void EndCall(TTraceBreakpoint* trace, TBreakpointContext* context, const CONTEXT& threadContext) {
  context->EndTime = GetTimeCounter()->GetTimeStamp();
  TProcDefsEnumerator e(&trace->Defs, UnitPath, 583);
  while (e.MoveNext()) {
    TProcDef* def = e.GetCurrent();
    TProcCallContext* call = nullptr;
    if (!def->GetActive() || !context->CallContexts.FindContext(def, call)) continue;
    for (auto& [param, partial] : call->PartialAddresses)
      AddParamAddress(call, param, partial, param->GetIndirectionCount() - 1);
    call->PartialAddresses.clear();
    ReadCallParams(def, call, true);
    TOleVariant result;
    def->ReadResult(threadContext, result);
    call->SetResult(result);
    try {
      GetCallHandlerEngine()->ExecuteHandler(def->GetHandler(), call->Params.Get());
    } catch (const Exception& ex) {
      GetTracerEventQueue()->AddError(ex.Message());
    }
    GetTracerEventQueue()->AddCalls(call->Name, context->ThreadId, context->StartTime, context->EndTime,
                                    call->Params.Get(), def->GetVisible());
  }
}

// ---------------------------------------------------------------------------------------
// Unloading and detaching

void TDebuggingThread::UnbindModule(const TDebuggedProcessModule& module) {
  if (module.ImageSize == 0) return;
  TReadLock lock(*GetDebugRWSync());
  TLoadedProcDefs* loaded = GetLoadedProcDefs();
  // The image is gone: nothing may be written back into that memory. Our own references to
  // its breakpoints go first; the loaded set then puts its definitions back on the list.
  auto forgetSteps = [this](TBreakpoint* b) {
    b->Forget();
    for (TDebuggedProcessThread* t : FProcess->Threads.Items()) {
      TObject* step = nullptr;
      if (FThreadBreakpoints.Find(t->ThreadId, step) && static_cast<TPendingStep*>(step)->Breakpoint == b)
        FThreadBreakpoints.Remove(t->ThreadId);
    }
  };
  for (TBreakpoint* b : loaded->ReturnBreakpoints().InRange(module.BaseAddress, module.ImageSize)) {
    forgetSteps(b);
    for (auto& [id, stack] : FContexts)
      for (size_t i = stack.size(); i-- > 0;)
        if (stack[i]->Return == b) stack.erase(stack.begin() + static_cast<std::ptrdiff_t>(i));
    loaded->ReturnBreakpoints().RemoveBreakpoint(b);
  }
  for (TBreakpoint* b : loaded->TraceBreakpoints().InRange(module.BaseAddress, module.ImageSize)) {
    forgetSteps(b);
    DropContextsOf(static_cast<TTraceBreakpoint*>(b));
  }
  loaded->UnbindRange(module.BaseAddress, module.ImageSize);
}

void TDebuggingThread::ReleaseDebuggee() {
  if (!FProcess) return;
  std::vector<TDebuggedProcessThread*> stopped;
  for (TDebuggedProcessThread* t : FProcess->Threads.Items())
    if (!t->Held && SuspendThread(t->Handle) != static_cast<DWORD>(-1)) stopped.push_back(t);
  for (TBreakpoint* b : GetLoadedProcDefs()->TraceBreakpoints().Items()) b->Remove();
  for (TBreakpoint* b : GetLoadedProcDefs()->ReturnBreakpoints().Items()) b->Remove();
  // Pending steps are rewound: the instruction's own byte is back, the trap flag goes.
  for (TDebuggedProcessThread* t : FProcess->Threads.Items()) {
    if (!FThreadBreakpoints.Exists(t->ThreadId)) continue;
    CONTEXT context{};
    context.ContextFlags = CONTEXT_CONTROL | CONTEXT_i386;
    if (GetThreadContext(t->Handle, &context)) {
      context.EFlags &= ~TrapFlag;
      SetThreadContext(t->Handle, &context);
    }
  }
  FThreadBreakpoints.Clear();
  FRunner = 0;
  // Hits and steps queued before the threads stopped.
  DEBUG_EVENT event{};
  while (!FExited && WaitForDebugEvent(&event, 50)) {
    DWORD status = DBG_CONTINUE;
    if (event.dwDebugEventCode == EXCEPTION_DEBUG_EVENT) {
      const EXCEPTION_RECORD& record = event.u.Exception.ExceptionRecord;
      HANDLE h = ThreadHandle(event.dwThreadId);
      if (record.ExceptionCode == EXCEPTION_BREAKPOINT && h != nullptr) {
        const uint32_t address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(record.ExceptionAddress));
        uint8_t now = BreakpointByte;
        CONTEXT context{};
        context.ContextFlags = CONTEXT_CONTROL | CONTEXT_i386;
        if (ReadRemote(FProcess->Handle, address, &now, 1) && now != BreakpointByte &&
            GetThreadContext(h, &context) && context.Eip == address + 1) {
          context.Eip = address;
          SetThreadContext(h, &context);
        }
      } else if (record.ExceptionCode == EXCEPTION_SINGLE_STEP && h != nullptr) {
        CONTEXT context{};
        context.ContextFlags = CONTEXT_CONTROL | CONTEXT_i386;
        if (GetThreadContext(h, &context)) {
          context.EFlags &= ~TrapFlag;
          SetThreadContext(h, &context);
        }
      } else {
        status = DBG_EXCEPTION_NOT_HANDLED;
      }
    } else if (event.dwDebugEventCode == EXIT_PROCESS_DEBUG_EVENT) {
      FExited = true;
    } else if (event.dwDebugEventCode == LOAD_DLL_DEBUG_EVENT) {
      CloseHandle(event.u.LoadDll.hFile);
    } else if (event.dwDebugEventCode == CREATE_PROCESS_DEBUG_EVENT) {
      CloseHandle(event.u.CreateProcessInfo.hFile);
    }
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
  }
  for (TDebuggedProcessThread* t : stopped) ResumeThread(t->Handle);
  ReleaseHeldThreads();
}

// ---------------------------------------------------------------------------------------
// Run and attach threads

TAttachThread::TAttachThread(DWORD processId) : FProcessId(processId) {
  FProcess = std::make_unique<TDebuggedProcess>(processId);
}

void TAttachThread::DoExecute() {
  Win32CheckApi(DebugActiveProcess(FProcessId) != FALSE, "DebugActiveProcess");
  TDebuggingThread::DoExecute();
}

TRunThread::TRunThread(std::wstring commandLine) : FCommandLine(std::move(commandLine)) {}

std::wstring CommandLineProgramDir(const std::wstring& commandLine) {
  size_t i = 0;
  while (i < commandLine.size() && (commandLine[i] == L' ' || commandLine[i] == L'\t')) ++i;
  std::wstring program;
  if (i < commandLine.size() && commandLine[i] == L'"') {
    const size_t end = commandLine.find(L'"', i + 1);
    program = commandLine.substr(i + 1, end == std::wstring::npos ? std::wstring::npos : end - i - 1);
  } else {
    const size_t end = commandLine.find_first_of(L" \t", i);
    program = commandLine.substr(i, end == std::wstring::npos ? std::wstring::npos : end - i);
  }
  return WideExtractFileDir(program);
}

void TRunThread::DoExecute() {
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  std::wstring commandLine = FCommandLine;
  const std::wstring dir = CommandLineProgramDir(FCommandLine);
  Win32CheckApi(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                               DEBUG_PROCESS | DEBUG_ONLY_THIS_PROCESS, nullptr,
                               dir.empty() ? nullptr : dir.c_str(), &startup, &info) != FALSE,
                "CreateProcessW");
  TCleanup closeHandles([&info] {
    CloseHandle(info.hThread);
    CloseHandle(info.hProcess);
  });
  FProcess = std::make_unique<TDebuggedProcess>(info.dwProcessId);
  TDebuggingThread::DoExecute();
}

// ---------------------------------------------------------------------------------------
// The debugger

TDebugger::~TDebugger() { CloseHandleAndNil(FLastThread); }

bool TDebugger::GetPaused() { return FThread != nullptr && FThread->GetPaused(); }

void TDebugger::SetPaused(bool value) {
  if (FThread != nullptr) FThread->SetPaused(value);
}

void TDebugger::WaitForThreadEnd() {
  while (FLastThread != nullptr &&
         MsgWaitForMultipleObjects(1, &FLastThread, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0)
    ProcessMessages();
  CloseHandleAndNil(FLastThread);
}

void TDebugger::Start(TDebuggingThread* thread) {
  HANDLE copy = nullptr;
  DuplicateHandle(GetCurrentProcess(), thread->Handle(), GetCurrentProcess(), &copy, SYNCHRONIZE,
                  FALSE, 0);
  FLastThread = copy;
  thread->Start();
}

void TDebugger::Attach(DWORD processId) {
  CW_ASSERT(FThread == nullptr, UnitPath, 903);
  // The previous trace's process object must be gone before a new one installs its memory.
  WaitForThreadEnd();
  Start(new TAttachThread(processId));
}

void TDebugger::Run(const std::wstring& commandLine) {
  CW_ASSERT(FThread == nullptr, UnitPath, 909);
  WaitForThreadEnd();
  Start(new TRunThread(commandLine));
}

void TDebugger::Stop() {
  CW_ASSERT(GetCurrentThreadId() == DgnMainThreadID(), UnitPath, 915);
  CW_ASSERT(FThread != nullptr, UnitPath, 916);
  FThread->Terminate();
  while (FThread != nullptr) {
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    ProcessMessages();
  }
}

TDebugger* GetDebugger() {
  static const TDebugger::TFactory factory;
  static TObject* instance = nullptr;
  return GetServiceInstance<TDebugger>(factory, instance);
}

void ProcessMessages() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) {
      PostQuitMessage(static_cast<int>(msg.wParam));
      return;
    }
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}
