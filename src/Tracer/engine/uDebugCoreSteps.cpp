// Breakpoint hits and single steps on the debugging thread, the per-thread call contexts, and
// the calls' parameters at entry and return.
#include "Tracer/engine/uDebugCore.h"

#include <atomic>
#include <cstring>

#include "Tracer/engine/uCallHandlers.h"
#include "Tracer/engine/uEntryInstructions.h"
#include "Tracer/engine/uEventQueue.h"
#include "Tracer/engine/uProcessMemory.h"
#include "Tracer/engine/uSystemObjects.h"
#include "Tracer/foundation/uHolders.h"
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

constexpr uint32_t StackPageSize = 0x1000;

// pushfd: when stepped, the processor pushes our trap flag with the program's flags.
constexpr uint8_t PushFlagsOpcode = 0x9C;

// How long a faulting instruction run again may take to fault again before we take it that it
// went on (the fault comes at once when it comes).
constexpr DWORD RetryWaitMs = 50;

// Entry hits whose instruction a thread stepped over (the others were carried out here).
std::atomic<uint32_t> GSteppedEntries{0};

// Faults that an instruction raises again when it runs again in the same state (no other
// thread of the program runs meanwhile).
bool FaultsAgainOnRetry(DWORD code) {
  switch (code) {
    case EXCEPTION_ACCESS_VIOLATION:
    case EXCEPTION_ILLEGAL_INSTRUCTION:
    case EXCEPTION_PRIV_INSTRUCTION:
    case EXCEPTION_INT_DIVIDE_BY_ZERO:
    case EXCEPTION_INT_OVERFLOW:
    case EXCEPTION_ARRAY_BOUNDS_EXCEEDED: return true;
    default: return false;
  }
}

DWORD& Register(CONTEXT& context, int number) {
  DWORD* const registers[8] = {&context.Eax, &context.Ecx, &context.Edx, &context.Ebx,
                               &context.Esp, &context.Ebp, &context.Esi, &context.Edi};
  return *registers[number & 7];
}

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

// givenUp: checked before every definition and after every handler; once set the call is
// left at once (EGivenUp).
void BeginCall(TTraceBreakpoint* trace, TBreakpointContext* context, const std::atomic<bool>& givenUp);
void EndCall(TTraceBreakpoint* trace, TBreakpointContext* context, const CONTEXT& threadContext,
             const std::atomic<bool>& givenUp);

namespace {
// Thrown past everything shared once a handler returns to a thread Stop gave up on.
struct EGivenUp {};
}  // namespace

// ---------------------------------------------------------------------------------------
// Breakpoint hits

void TDebuggingThread::OnBreakpoint(DWORD threadId, uint32_t address) {
  // The breakpoint lists and bytes change under the write lock; the call's parameters are read
  // and its handler runs under the read lock only, so the window (whose waits for the lock
  // pump messages) stays responsive through a slow handler. Nothing the two steps share is
  // freed in between: breakpoints and contexts go only on this thread.
  // A hit of the thread whose step is pending is looked at first, in a section of its own;
  // every other hit (nearly all of them) takes only the one below.
  if (FRunner == threadId) {
    TLoopSection section(*this);
    TObject* step = nullptr;
    if (FAbandoned) return;
    if (FRunner == threadId && FThreadBreakpoints.Find(threadId, step)) {
      // The instruction being stepped over is a breakpoint of the program's own: it goes on as
      // without ours, with no trap flag of ours left. After a faulting instruction ran again
      // (and, unexpectedly, went on) the hit is one of ours: its step is over first.
      const bool ranOn = static_cast<TPendingStep*>(step)->Retried != 0;
      OnStepException(threadId, EXCEPTION_BREAKPOINT);
      if (!ranOn) return;
    }
  }
  TTraceBreakpoint* entered = nullptr;
  TBreakpointContext* enteredCall = nullptr;
  TReturnBreakpoint* ret = nullptr;
  std::unique_ptr<TBreakpointContext> returning;
  CONTEXT context;
  {
    TLoopSection section(*this);
    // Given up on while it waited: the program runs on, detached; its threads are not ours.
    if (FAbandoned) return;
    TLoadedProcDefs* loaded = GetLoadedProcDefs();
    TBreakpoint* b = nullptr;
    const bool isTrace = loaded->TraceBreakpoints().FindBreakpoint(address, b);
    if (!isTrace && (!loaded->ReturnBreakpoints().FindBreakpoint(address, b) ||
                     IdleReturnBreakpoint(static_cast<TReturnBreakpoint*>(b)))) {
      // The loader's breakpoint and the debuggee's own go on.
      RewindQueuedHit(ThreadHandle(threadId), address);
      FHitSettled = true;
      return;
    }
    HANDLE h = ThreadHandle(threadId);
    CW_ASSERT(h != nullptr, UnitPath, 690);
    context = ReadContext(h, HitContextFlags);
    context.Eip = address;
    if (isTrace) {
      entered = static_cast<TTraceBreakpoint*>(b);
      // Most functions begin with an instruction this thread can carry out itself: then the
      // byte stays, no other thread is held and no single step is taken.
      CONTEXT run = context;
      ReadEntryStack(context.Esp);
      const bool emulated = EmulateEntryInstruction(entered, run);
      if (!emulated) {
        b->RemoveAtHit();
        run.EFlags |= TrapFlag;
        ++GSteppedEntries;
      }
      WriteContext(h, run);
      FHitSettled = true;
      enteredCall = OnTraceBreakpoint(threadId, entered, context, !emulated);
      TObject* step = nullptr;
      if (!emulated && entered->SavedByte == PushFlagsOpcode && (context.EFlags & TrapFlag) == 0 &&
          FThreadBreakpoints.Find(threadId, step))
        static_cast<TPendingStep*>(step)->ClearPushedTrapFlag = true;
    } else {
      b->RemoveAtHit();
      ret = static_cast<TReturnBreakpoint*>(b);
      // The returning call: the innermost context through this address whose entry lies below
      // the stack pointer now. Every context below the stack pointer is over.
      TThreadContexts& stack = ContextsOf(threadId);
      TBreakpointContext* innermost = nullptr;
      int endingHere = 0;
      for (auto& c : stack) {
        if (c->Esp >= context.Esp) continue;
        if (c->Return == ret) {
          ++endingHere;
          if (innermost == nullptr) innermost = c.get();
        }
      }
      const bool rearm = ret->ContextCount - endingHere > 0;
      if (rearm) context.EFlags |= TrapFlag;
      WriteContext(h, context);
      FHitSettled = true;
      if (rearm) BeginStep(threadId, ret);
      returning = TakeReturningCall(threadId, ret, context, innermost);
    }
  }
  if (entered != nullptr) {
    if (enteredCall == nullptr) return;
    TReadLock lock(*GetDebugRWSync());
    if (FAbandoned) return;
    // The entry parameters mostly lie in the stack block read with the return address: while
    // the debuggee is stopped they come from that copy, not one read each.
    TScopeExit cacheEnd([memory = FProcess->Memory()] { memory->SetReadCache(0, nullptr, 0); });
    if (FEntryStackSize != 0) FProcess->Memory()->SetReadCache(context.Esp, FEntryStack, FEntryStackSize);
    try {
      BeginCall(entered, enteredCall, FAbandoned);
    } catch (const EGivenUp&) {
    }
    return;
  }
  std::exception_ptr error;
  if (returning) {
    try {
      TReadLock lock(*GetDebugRWSync());
      EndCall(returning->Trace, returning.get(), context, FAbandoned);
    } catch (const EGivenUp&) {
      // The main thread ended the trace meanwhile: the call is dropped. What it points to
      // was handed to this thread, so it lives until the thread's end is seen.
      return;
    } catch (...) {
      error = std::current_exception();
    }
  }
  returning.reset();
  {
    TLoopSection section(*this);
    if (FAbandoned) return;
    --ret->Stepping;
    FreeReturnBreakpointIfDone(ret);
  }
  if (error) std::rethrow_exception(error);
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

bool TDebuggingThread::EmulateEntryInstruction(TTraceBreakpoint* trace, CONTEXT& context) {
  // The first byte is the one saved when ours went in (the program cannot change it without
  // writing over ours, and then reaches no hit here); the bytes after it are read again when
  // the instruction has any, since the program or its loader may have changed them since.
  const TCodeSite& site = trace->Site();
  if (site.CodeSize == 0) return false;
  TEntryInstruction in = DecodeEntryInstruction(site.Code[0], site.Code + 1, site.CodeSize - 1);
  if (in.Kind == TEntryInstruction::None) return false;
  if (in.Length > 1) {
    trace->ReadCurrentCode();
    in = DecodeEntryInstruction(site.Code[0], site.Code + 1, site.CodeSize - 1);
  }
  auto push = [&](DWORD value) {
    // Only inside the stack pointer's own page: a push into the next one must be the
    // processor's, which grows the stack through its guard page.
    if ((context.Esp & (StackPageSize - 1)) < sizeof(DWORD)) return false;
    const uint32_t slot = context.Esp - sizeof(DWORD);
    SIZE_T done = 0;
    if (!WriteProcessMemory(FProcess->Handle.Get(), reinterpret_cast<void*>(static_cast<uintptr_t>(slot)), &value,
                            sizeof value, &done) ||
        done != sizeof value)
      return false;
    context.Esp = slot;
    return true;
  };
  // A dword of the stack block read at this hit; a slot beyond it is the processor's.
  auto stackSlot = [&](uint32_t offset, DWORD& value) {
    if (offset + sizeof(DWORD) > FEntryStackSize) return false;
    std::memcpy(&value, FEntryStack + offset, sizeof value);
    return true;
  };
  DWORD value = 0;
  switch (in.Kind) {
    case TEntryInstruction::None: return false;
    case TEntryInstruction::PushRegister:
      if (!push(Register(context, in.Source))) return false;
      break;
    case TEntryInstruction::PushImmediate:
      if (!push(in.Value)) return false;
      break;
    case TEntryInstruction::PushFlags:
      if (!push(context.EFlags & PushedFlagsMask)) return false;
      break;
    case TEntryInstruction::PopFlags:
      // A trap flag of the program's own is carried: its single step comes after the next
      // instruction, as the processor's popfd makes it.
      if (!stackSlot(0, value)) return false;
      context.EFlags = FlagsAfterPop(context.EFlags, value);
      context.Esp += sizeof(DWORD);
      break;
    case TEntryInstruction::MoveRegister: Register(context, in.Target) = Register(context, in.Source); break;
    case TEntryInstruction::LoadStack:
      if (!stackSlot(in.Value, value)) return false;
      Register(context, in.Target) = value;
      break;
    case TEntryInstruction::LoadImmediate: Register(context, in.Target) = in.Value; break;
    case TEntryInstruction::OwnBreakpoint:
      // The call is logged; the program's int3 is then continued as without ours: on after it.
      break;
  }
  context.Eip = trace->Address + in.Length;
  return true;
}

uint32_t SteppedEntryCount() { return GSteppedEntries; }

void TDebuggingThread::ReadEntryStack(uint32_t esp) {
  FEntryStackSize = 0;
  if (TryReadProcessMemory(FProcess->Handle.Get(), esp, FEntryStack, sizeof FEntryStack))
    FEntryStackSize = sizeof FEntryStack;
}

TBreakpointContext* TDebuggingThread::OnTraceBreakpoint(DWORD threadId, TTraceBreakpoint* trace,
                                                        CONTEXT& context, bool stepping) {
  // The return address and the stack arguments above it came in one read (ReadEntryStack).
  uint32_t returnAddress = 0;
  const bool called = FEntryStackSize != 0 ||
                      TryReadProcessMemory(FProcess->Handle.Get(), context.Esp, &returnAddress, sizeof returnAddress);
  if (FEntryStackSize != 0) std::memcpy(&returnAddress, FEntryStack, sizeof returnAddress);
  DropStaleContexts(threadId, context.Esp);
  if (stepping) BeginStep(threadId, trace);
  // Entered on an empty stack (a thread's start routine, jumped to): no return to catch, so
  // no call to log; nor when what lies on the stack is no code address.
  if (!called) return nullptr;
  TLoadedProcDefs* loaded = GetLoadedProcDefs();
  TBreakpoint* found = nullptr;
  TReturnBreakpoint* ret;
  if (loaded->ReturnBreakpoints().FindBreakpoint(returnAddress, found)) {
    ret = static_cast<TReturnBreakpoint*>(found);
    if (!ret->Inserted) ret->Insert();
  } else {
    uint8_t code = 0;
    if (!TryReadProcessMemory(FProcess->Handle.Get(), returnAddress, &code, 1)) return nullptr;  // not a call
    auto created = std::make_unique<TReturnBreakpoint>(returnAddress);
    ret = created.get();
    loaded->ReturnBreakpoints().AddBreakpoint(created.release());
    TDebuggedProcessModule* module = nullptr;
    ret->Kept = FProcess->Modules.FindByAddress(returnAddress, module);
    ret->Insert();
  }
  auto c = std::make_unique<TBreakpointContext>(trace);
  TProcDefsEnumerator defs(&trace->Defs, UnitPath, 545);
  while (defs.MoveNext()) {
    TProcDef* def = defs.GetCurrent();
    c->CallContexts.AddContext(def, new TProcCallContext(def->GetTitle(), static_cast<size_t>(def->GetParams().GetCount())));
  }
  c->Esp = context.Esp;
  c->ThreadId = threadId;
  c->Return = ret;
  ++ret->ContextCount;
  TBreakpointContext* call = c.get();
  ContextsOf(threadId).push_back(std::move(c));
  return call;
}

std::unique_ptr<TBreakpointContext> TDebuggingThread::TakeReturningCall(DWORD threadId, TReturnBreakpoint* ret,
                                                                        const CONTEXT& context,
                                                                        TBreakpointContext* returning) {
  ++ret->Stepping;  // kept alive while its contexts are dropped and its call is logged
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
  return call;
}

// ---------------------------------------------------------------------------------------
// Single steps

void TDebuggingThread::OnSingleStep(DWORD threadId) {
  TLoopSection section(*this);
  HANDLE h = ThreadHandle(threadId);
  TObject* step = nullptr;
  if (FAbandoned || h == nullptr || !FThreadBreakpoints.Find(threadId, step)) return;  // not a step of ours
  if (static_cast<TPendingStep*>(step)->ClearPushedTrapFlag) ClearPushedTrapFlag(h);
  // The single-step trap took the flag off the thread itself.
  FinishStep(threadId, h, false);
}

void TDebuggingThread::ClearPushedTrapFlag(HANDLE thread) {
  // The flags pushfd left on the stack are the program's, as untraced.
  const CONTEXT context = ReadContext(thread, ControlContextFlags);
  DWORD pushed = 0;
  void* slot = reinterpret_cast<void*>(static_cast<uintptr_t>(context.Esp));
  if (TryReadProcessMemory(FProcess->Handle.Get(), context.Esp, &pushed, sizeof pushed) && (pushed & TrapFlag)) {
    pushed &= ~TrapFlag;
    WriteProcessMemory(FProcess->Handle.Get(), slot, &pushed, sizeof pushed, nullptr);
  }
}

void TDebuggingThread::RewindStep(HANDLE thread, const TPendingStep& step) {
  // A stepped pushfd that ran already (its single step may be queued) left our flag on the
  // stack; one that did not run yet runs without it.
  if (step.ClearPushedTrapFlag &&
      ReadContext(thread, ControlContextFlags).Eip == step.Address + BreakpointInstructionSize)
    ClearPushedTrapFlag(thread);
  ClearTrapFlag(thread);
}

bool TDebuggingThread::RearmGuardPage(uint32_t address) {
  MEMORY_BASIC_INFORMATION info{};
  const HANDLE process = FProcess->Handle.Get();
  void* at = reinterpret_cast<void*>(static_cast<uintptr_t>(address));
  if (VirtualQueryEx(process, at, &info, sizeof info) != sizeof info || info.State != MEM_COMMIT) return false;
  DWORD old = 0;
  return VirtualProtectEx(process, at, 1, info.Protect | PAGE_GUARD, &old) != FALSE;
}

void TDebuggingThread::EndUnrepeatedRetry() {
  // Every pass of the loop: the common case (no step pending) takes no lock.
  if (FRunner == 0) return;
  TLoopSection section(*this);
  TObject* obj = nullptr;
  if (FAbandoned || FRunner == 0 || !FThreadBreakpoints.Find(FRunner, obj)) return;
  const TPendingStep* step = static_cast<TPendingStep*>(obj);
  HANDLE h = ThreadHandle(FRunner);
  if (step->Retried == 0 || GetTickCount() - step->RetryTick < RetryWaitMs || h == nullptr) return;
  if (SuspendThread(h) == static_cast<DWORD>(-1)) return;
  TScopeExit resume([h] { ResumeThread(h); });
  // Still at the instruction: it has not run again yet, or its fault is on its way. A thread
  // whose context cannot be had ends its step all the same: no other thread stays held.
  CONTEXT context{};
  context.ContextFlags = ControlContextFlags;
  if (GetThreadContext(h, &context) && context.Eip == step->Breakpoint->Address) return;
  // It ran on: the step is over, and no thread of the program stays held.
  FinishStep(FRunner, h, false);
}

bool TDebuggingThread::OnStepException(DWORD threadId, DWORD code, const EXCEPTION_RECORD* record) {
  // Only the runner executes while a step is pending; held threads raise nothing. The program's
  // own exceptions (nearly all of them) take no lock.
  if (FRunner != threadId) return false;
  TLoopSection section(*this);
  if (FAbandoned || FRunner != threadId || !FThreadBreakpoints.Exists(threadId)) return false;
  HANDLE h = ThreadHandle(threadId);
  if (h == nullptr) return false;
  TObject* step = nullptr;
  FThreadBreakpoints.Find(threadId, step);
  TPendingStep* pending = static_cast<TPendingStep*>(step);
  // A guard page lost its guard with this fault: guarded again, it faults again as well.
  const bool repeats = pending->Retried == 0 &&
                       (FaultsAgainOnRetry(code) ||
                        (code == STATUS_GUARD_PAGE_VIOLATION && record != nullptr && record->NumberParameters >= 2 &&
                         RearmGuardPage(static_cast<uint32_t>(record->ExceptionInformation[1]))));
  if (repeats) {
    // The system hands the program's handlers the context this fault was raised with, our
    // trap flag in it. The instruction runs again without it, the other threads still held,
    // and faults the same way: then as it does untraced.
    pending->Retried = code;
    pending->RetryTick = GetTickCount();
    if (code == EXCEPTION_INT_OVERFLOW) {
      // into is a trap: the thread is past it already, so it runs it again from its start.
      CONTEXT context = ReadContext(h, StepContextFlags);
      context.Eip = pending->Breakpoint->Address;
      context.EFlags &= ~TrapFlag;
      WriteContext(h, context);
    } else {
      ClearTrapFlag(h);
    }
    return true;
  }
  // The instruction did not complete: its handlers run with the entry byte back in place, so a
  // retry of the instruction is a new call, and the held threads go on.
  FinishStep(threadId, h, true);
  return false;
}

void TDebuggingThread::FinishStep(DWORD threadId, HANDLE h, bool clearTrapFlag) {
  TObject* obj = nullptr;
  if (!FThreadBreakpoints.Find(threadId, obj)) return;
  TBreakpoint* b = static_cast<TPendingStep*>(obj)->Breakpoint;
  FThreadBreakpoints.Remove(threadId);
  // The continuation: the byte goes back once no thread steps over it any more.
  b->EndStepOver();
  if (b->Stepping == 0) {
    if (auto* ret = dynamic_cast<TReturnBreakpoint*>(b)) {
      if (ret->ContextCount > 0) ret->Insert();
      FreeReturnBreakpointIfDone(ret);
    } else {
      b->Insert();
    }
  }
  if (clearTrapFlag) ClearTrapFlag(h);
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
  breakpoint->BeginStepOver();
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
  // A give-up may release the program while this thread still handles a hit: what it would
  // hold after that would stay stopped for good.
  std::lock_guard<std::recursive_mutex> release(FReleaseLock);
  if (!FReleased && !thread->Held && SuspendThread(thread->Handle) != static_cast<DWORD>(-1)) thread->Held = true;
}

void TDebuggingThread::ResumeHeld(TDebuggedProcessThread* thread) {
  std::lock_guard<std::recursive_mutex> release(FReleaseLock);
  if (thread->Held) {
    ResumeThread(thread->Handle);
    thread->Held = false;
  }
}

// ---------------------------------------------------------------------------------------
// Call contexts

void TDebuggingThread::FreeReturnBreakpointIfDone(TReturnBreakpoint* ret) {
  if (ret->ContextCount != 0 || ret->Stepping != 0) return;
  if (ret->Kept)
    ret->Remove();
  else
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
void ForEachActiveCall(TTraceBreakpoint* trace, TBreakpointContext* context, int line,
                       const std::atomic<bool>& givenUp, F step) {
  TProcDefsEnumerator e(&trace->Defs, UnitPath, line);
  while (e.MoveNext()) {
    if (givenUp) throw EGivenUp();
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

void BeginCall(TTraceBreakpoint* trace, TBreakpointContext* context, const std::atomic<bool>& givenUp) {
  context->StartTime = GetTimeCounter()->GetTimeStamp();
  ForEachActiveCall(trace, context, 560, givenUp, [context](TProcDef* def, TProcCallContext* call) {
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

void EndCall(TTraceBreakpoint* trace, TBreakpointContext* context, const CONTEXT& threadContext,
             const std::atomic<bool>& givenUp) {
  context->EndTime = GetTimeCounter()->GetTimeStamp();
  ForEachActiveCall(trace, context, 583, givenUp, [context, &threadContext, &givenUp](TProcDef* def, TProcCallContext* call) {
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
      if (givenUp) throw EGivenUp();
      GetTracerEventQueue()->AddError(ex.Message());
    }
    if (givenUp) throw EGivenUp();
    GetTracerEventQueue()->AddCalls(call->Name, context->ThreadId, context->StartTime, context->EndTime,
                                    call->Params.Get(), def->GetVisible());
  });
}
