// Breakpoint hits and single steps on the debugging thread, the per-thread call contexts, and
// the calls' parameters at entry and return.
#include "Tracer/engine/uDebugCore.h"

#include "Tracer/engine/uCallHandlers.h"
#include "Tracer/engine/uEventQueue.h"
#include "Tracer/engine/uProcessMemory.h"
#include "Tracer/engine/uSystemObjects.h"
#include "Tracer/foundation/uRaise.h"

namespace {

const wchar_t* const UnitPath = L"src/Tracer/uDebugCore";

// Parts of a thread's context: all a hit hands on (control, integer and segment registers),
// what a step touches (control and integer registers), and the instruction pointer alone.
constexpr DWORD HitContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER | CONTEXT_SEGMENTS;
constexpr DWORD StepContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
constexpr DWORD ControlContextFlags = CONTEXT_CONTROL;
static_assert(HitContextFlags == 0x10007 && StepContextFlags == 0x10003 && ControlContextFlags == 0x10001);

// EFlags' trap flag: the thread runs one instruction, then raises a single-step exception.
constexpr DWORD TrapFlag = 0x100;

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

void BeginCall(TTraceBreakpoint* trace, TBreakpointContext* context);
void EndCall(TTraceBreakpoint* trace, TBreakpointContext* context, const CONTEXT& threadContext);

// ---------------------------------------------------------------------------------------
// Breakpoint hits

void TDebuggingThread::OnBreakpoint(DWORD threadId, uint32_t address) {
  TReadLock lock(*GetDebugRWSync());
  TLoadedProcDefs* loaded = GetLoadedProcDefs();
  TBreakpoint* b = nullptr;
  const bool isTrace = loaded->TraceBreakpoints().FindBreakpoint(address, b);
  if (!isTrace && !loaded->ReturnBreakpoints().FindBreakpoint(address, b)) {
    // The loader's breakpoint and the debuggee's own go on.
    RewindQueuedHit(ThreadHandle(threadId), address);
    return;
  }
  b->Remove();
  HANDLE h = ThreadHandle(threadId);
  CW_ASSERT(h != nullptr, UnitPath, 690);
  CONTEXT context = ReadContext(h, HitContextFlags);
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

void TDebuggingThread::RewindQueuedHit(HANDLE thread, uint32_t address) {
  uint8_t now = BreakpointByte;
  if (thread == nullptr || !TryReadProcessMemory(FProcess->Handle.Get(), address, &now, 1) || now == BreakpointByte)
    return;
  CONTEXT context = ReadContext(thread, ControlContextFlags);
  if (context.Eip == address + BreakpointInstructionSize) {
    context.Eip = address;
    WriteContext(thread, context);
  }
}

void TDebuggingThread::OnTraceBreakpoint(DWORD threadId, TTraceBreakpoint* trace, CONTEXT& context) {
  uint32_t returnAddress = 0;
  if (!TryReadProcessMemory(FProcess->Handle.Get(), context.Esp, &returnAddress, sizeof returnAddress))
    returnAddress = static_cast<uint32_t>(GetProcessMemoryBridge()->ReadInteger(context.Esp));
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

// ---------------------------------------------------------------------------------------
// Single steps

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
  ClearTrapFlag(h);
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

void TDebuggingThread::ClearTrapFlag(HANDLE thread) {
  CONTEXT context = ReadContext(thread, StepContextFlags);
  if (context.EFlags & TrapFlag) {
    context.EFlags &= ~TrapFlag;
    WriteContext(thread, context);
  }
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

// ---------------------------------------------------------------------------------------
// Call contexts

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

// Each definition at the called function that is active and has its share of the call.
template <class F>
void ForEachActiveCall(TTraceBreakpoint* trace, TBreakpointContext* context, int line, F step) {
  TProcDefsEnumerator e(&trace->Defs, UnitPath, line);
  while (e.MoveNext()) {
    TProcDef* def = e.GetCurrent();
    TProcCallContext* call = nullptr;
    if (def->GetActive() && context->CallContexts.FindContext(def, call)) step(def, call);
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
  ForEachActiveCall(trace, context, 560, [context](TProcDef* def, TProcCallContext* call) {
    for (TParamDef* param : def->GetParams()) {
      const uint32_t slot = context->Esp + param->GetOffset();
      if (DerefAtReturn(param)) {
        try {
          call->PartialAddresses[param] = GetProcessMemoryBridge()->ReadDWord(slot);
        } catch (const Exception& ex) {
          call->ParamAddresses.AddError(param, ex.Message());
        }
      } else {
        call->ParamAddresses.AddParamAddress(param, slot, param->GetIndirectionCount());
      }
    }
    ReadCallParams(def, call, false);
  });
}

void EndCall(TTraceBreakpoint* trace, TBreakpointContext* context, const CONTEXT& threadContext) {
  context->EndTime = GetTimeCounter()->GetTimeStamp();
  ForEachActiveCall(trace, context, 583, [context, &threadContext](TProcDef* def, TProcCallContext* call) {
    for (auto& [param, partial] : call->PartialAddresses)
      call->ParamAddresses.AddParamAddress(param, partial, param->GetIndirectionCount() - 1);
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
  });
}
