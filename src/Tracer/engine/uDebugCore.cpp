// The debugging thread: its state, the debug-event loop and one handler per event.
#include "Tracer/engine/uDebugCore.h"

#include "Tracer/engine/uProcessMemory.h"
#include "Tracer/foundation/uRaise.h"

namespace {

const wchar_t* const UnitPath = L"src/Tracer/uDebugCore";

// How long one wait for a debug event lasts: the loop looks at a stop request and at
// modules still to be named at least this often.
constexpr DWORD DebugEventWaitMs = 100;

// How long a run trace waits for the exit event of the program it asked to end: one that does
// not come (a thread the system cannot end, events that keep coming) must not keep the trace.
constexpr DWORD ExitEventWaitMs = 700;

uint32_t DebuggeeAddress(const void* pointer) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer));
}

}  // namespace

// The debugger owns the thread object (it frees it once it has seen the thread end).
TDebuggingThread::TDebuggingThread() : FPausedDefs(std::make_unique<TProcDefs>(false)) {}

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
  // Looked at after the wait: the trace may have ended meanwhile.
  if (FTraceOver || value == FPaused) return;
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

void TDebuggingThread::EndPause() {
  TWriteLock lock(*GetDebugRWSync());
  SetPaused(false);
  FTraceOver = true;
}

bool TDebuggingThread::FindModuleByName(const std::wstring& name, TDebuggeeModuleInfo& module) {
  TDebuggedProcessModule* found = nullptr;
  if (!FProcess || !FProcess->Modules.FindByName(name, found)) return false;
  module.BaseAddress = found->BaseAddress;
  module.FileName = found->FileName;
  return true;
}

void TDebuggingThread::ReadMemory(uint32_t address, void* buffer, int32_t count) {
  GetProcessMemoryBridge()->Read(address, buffer, count);
}

HANDLE TDebuggingThread::ThreadHandle(DWORD threadId) {
  TDebuggedProcessThread* t = nullptr;
  return FProcess->Threads.FindThread(threadId, t) ? t->Handle : nullptr;
}

// ---------------------------------------------------------------------------------------
// The event loop

void TDebuggingThread::DebugLoop() {
  CW_ASSERT(FProcess != nullptr, UnitPath, 767);
  FImageFileHandle.Reset();
  FDone = false;
  FTerminateHandled = false;
  FModulesChanged = true;
  // Also when a pass raised: every module's file handle and the image's are closed.
  auto closeFiles = [this] {
    FProcess->Modules.ClearModules();
    FImageFileHandle.Reset();
  };
  try {
    do {
      CheckTerminate();
      DEBUG_EVENT event{};
      if (WaitForEvent(event)) {
        DWORD status = DBG_EXCEPTION_NOT_HANDLED;
        try {
          HandleEvent(event, status);
        } catch (...) {
          ContinueHeldEvent(status);
          throw;
        }
        ContinueHeldEvent(status);
      }
      // Given up by Stop: the program is not ours to touch any more.
      if (FAbandoned) break;
      EndUnrepeatedRetry();
      AfterWait();
      if (!FDone && FTerminateTick != 0 && GetTickCount() - FTerminateTick >= ExitEventWaitMs) {
        FExited = ProcessEnded();
        FDone = true;
      }
    } while (!FDone);
  } catch (...) {
    try {
      closeFiles();
    } catch (...) {
    }
    throw;
  }
  closeFiles();
}

bool TDebuggingThread::WaitForEvent(DEBUG_EVENT& event) {
  std::lock_guard<std::mutex> lock(FEventLock);
  if (FAbandoned || !WaitForDebugEvent(&event, DebugEventWaitMs)) return false;
  FEvent = event;
  FEventHeld = true;
  FHitSettled = false;
  return true;
}

void TDebuggingThread::ContinueHeldEvent(DWORD status) {
  std::lock_guard<std::mutex> lock(FEventLock);
  // Abandon may have continued it already; this thread's word would then reach a later event.
  if (!FEventHeld) return;
  FEventHeld = false;
  ContinueDebugEvent(FEvent.dwProcessId, FEvent.dwThreadId, status);
}

void TDebuggingThread::CheckTerminate() {
  if (!Terminated() || FTerminateHandled) return;
  if (KillOnExit()) {
    Win32CheckApi(TerminateProcess(FProcess->Handle.Get(), 0) != FALSE, "TerminateProcess");
    FTerminateTick = GetTickCount() | 1;
  } else {
    FDone = true;
  }
  FTerminateHandled = true;
}

bool TDebuggingThread::ProcessEnded() const {
  return WaitForSingleObject(FProcess->Handle.Get(), 0) == WAIT_OBJECT_0;
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

void TDebuggingThread::AfterWait() {
  FProcess->UpdateFileName();
  if (FProcess->Modules.ResolvePendingNames()) FModulesChanged = true;
  if (FModulesChanged) ResolvePass();
}

void TDebuggingThread::ResolvePass(bool debuggeeStopped) {
  TLoopSection section(*this);
  if (FAbandoned) return;
  FModulesChanged = false;
  GetLoadedProcDefs()->ResolvePass(debuggeeStopped);
}

// ---------------------------------------------------------------------------------------
// One handler per debug event

void TDebuggingThread::OnException(const DEBUG_EVENT& event, DWORD& status) {
  const EXCEPTION_RECORD& record = event.u.Exception.ExceptionRecord;
  switch (record.ExceptionCode) {
    case EXCEPTION_BREAKPOINT:
      status = DBG_CONTINUE;
      OnBreakpoint(event.dwThreadId, DebuggeeAddress(record.ExceptionAddress));
      break;
    case EXCEPTION_SINGLE_STEP:
      status = DBG_CONTINUE;
      OnSingleStep(event.dwThreadId);
      break;
    default:
      // The debuggee's own: its handlers run. A stepped instruction that raised has ended
      // its step, or runs again to raise it as untraced.
      if (OnStepException(event.dwThreadId, record.ExceptionCode, &record)) status = DBG_CONTINUE;
      break;
  }
}

void TDebuggingThread::OnCreateThread(const DEBUG_EVENT& event) {
  if (event.u.CreateThread.hThread == nullptr) return;
  // The thread list changes only under the write lock: a give-up walks it under that lock.
  TLoopSection section(*this);
  if (FAbandoned) return;
  FProcess->Threads.AddThread(event.dwThreadId, event.u.CreateThread.hThread);
  // A thread born while another steps over a breakpoint waits with the others.
  if (FRunner != 0) {
    TDebuggedProcessThread* t = nullptr;
    if (FProcess->Threads.FindThread(event.dwThreadId, t)) SuspendHeld(t);
  }
}

void TDebuggingThread::OnCreateProcess(const DEBUG_EVENT& event) {
  const CREATE_PROCESS_DEBUG_INFO& info = event.u.CreateProcessInfo;
  if (info.hThread != nullptr) FProcess->Threads.AddThread(event.dwThreadId, info.hThread);
  FImageFileHandle.Reset(info.hFile);
  // The program's own image is a module like its DLLs, so URLs naming the program resolve.
  // Its file handle stays with ImageFileHandle.
  const uint32_t base = DebuggeeAddress(info.lpBaseOfImage);
  if (base == 0) return;
  TDebuggedProcessModule* module = FProcess->Modules.AddModule(base, nullptr);
  module->ImageSize = FProcess->ReadImageSize(base);
  module->FileName = FProcess->ReadImageName(info.lpImageName, info.fUnicode != 0);
  FProcess->Modules.NameKnown(module);
  FModulesChanged = true;
}

void TDebuggingThread::OnExitThread(const DEBUG_EVENT& event) {
  TLoopSection section(*this);
  if (FAbandoned) return;
  // Its step ends with it: the byte goes back, the next step runs or the held threads go on.
  if (FThreadBreakpoints.Exists(event.dwThreadId)) {
    try {
      FinishStep(event.dwThreadId, nullptr, false);
    } catch (const Exception&) {
    }
  }
  FThreadBreakpoints.Remove(event.dwThreadId);
  if (FRunner == event.dwThreadId) {
    FRunner = 0;
    ReleaseHeldThreads();
  }
  FContexts.erase(event.dwThreadId);
  FProcess->Threads.RemoveThread(event.dwThreadId);
}

void TDebuggingThread::OnExitProcess(const DEBUG_EVENT&) {
  // Given up on, the bridge and the byte writer may be another trace's by now.
  if (!FAbandoned) {
    GetProcessMemoryBridge()->SetEnabled(false);
    if (GetBreakpointProcess() == FProcess->Handle.Get()) SetBreakpointProcess(nullptr);
  }
  Terminate();
  FExited = true;
  FDone = true;
}

void TDebuggingThread::OnLoadDll(const DEBUG_EVENT& event) {
  const LOAD_DLL_DEBUG_INFO& info = event.u.LoadDll;
  const uint32_t base = DebuggeeAddress(info.lpBaseOfDll);
  TDebuggedProcessModule* module = FProcess->Modules.AddModule(base, info.hFile);
  module->ImageSize = FProcess->ReadImageSize(base);
  // Named from the event when the system gives the name, and resolved before the load is
  // continued, so that calls made right after the load are traced.
  module->FileName = FProcess->ReadImageName(info.lpImageName, info.fUnicode != 0);
  FProcess->Modules.NameKnown(module);
  FModulesChanged = true;
  if (!module->FileName.empty() && !FAbandoned) ResolvePass(true);
}

void TDebuggingThread::OnUnloadDll(const DEBUG_EVENT& event) {
  const uint32_t base = DebuggeeAddress(event.u.UnloadDll.lpBaseOfDll);
  TDebuggedProcessModule* module = nullptr;
  if (FProcess->Modules.FindModule(base, module)) UnbindModule(*module);
  FProcess->Modules.RemoveModule(base);
  FModulesChanged = true;
}

void TDebuggingThread::UnbindModule(const TDebuggedProcessModule& module) {
  if (module.ImageSize == 0) return;
  TLoopSection section(*this);
  if (FAbandoned) return;
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
