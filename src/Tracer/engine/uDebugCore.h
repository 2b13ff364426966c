// The debugger core: the debugger singleton that the window drives (run, attach, pause, stop),
// the debugging thread that owns one trace, the debuggee process with its modules and threads,
// and the debug-event loop with the breakpoint hits and single steps.
// Sources by concern: uDebugCore.cpp (the debugging thread: event loop and one handler per
// event), uDebugCoreProcess.cpp (process, modules, threads), uDebugCoreSteps.cpp (breakpoint
// hits, single steps, call contexts and the calls' parameters), uDebugCoreSession.cpp (one
// trace from start to detach, the run and attach threads, the debugger singleton).
#pragma once
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Tracer/foundation/uAppThread.h"
#include "Tracer/engine/uBreakpoints.h"
#include "Tracer/foundation/uClasses.h"
#include "Tracer/foundation/uCollections.h"
#include "Tracer/engine/uProcDefs.h"
#include "Tracer/foundation/uSingletons.h"
#include "lib/dgn/windows/DgnHandle.h"

class TDebuggedProcess;
class TMemoryManager;
class TProcDefs;

class TDebuggedProcessModule : public TObject {
public:
  // Adopts the file handle of the load event.
  TDebuggedProcessModule(uint32_t baseAddress, HANDLE fileHandle)
      : BaseAddress(baseAddress), FileHandle(fileHandle) {}

  uint32_t BaseAddress;
  TDgnHandle FileHandle;  // closed with the module
  std::wstring FileName;  // empty until known
  uint32_t ImageSize = 0;  // from the image's header in the debuggee; 0 when unreadable
};

// Modules keyed by base address.
class TDebuggedProcessModulesList : public TQObjectBucketList {
public:
  using TQObjectBucketList::TQObjectBucketList;
  bool FindModule(uint32_t baseAddress, TDebuggedProcessModule*& module) const;
};

using TDebuggedProcessModulesListEnumerator = TQObjectBucketListEnumerator<TDebuggedProcessModule>;

// All modules of the debuggee (owning), and the pending ones whose name is not known yet.
class TDebuggedProcessModules : public TDebuggedProcessModulesList {
public:
  explicit TDebuggedProcessModules(TDebuggedProcess* process);
  ~TDebuggedProcessModules() override;
  TDebuggedProcessModule* AddModule(uint32_t baseAddress, HANDLE fileHandle);
  // Names the pending modules the system can name by now; true when any got a name.
  bool ResolvePendingNames();
  // A name with "\" matches the whole file name, else the file-name part; letter case is
  // ignored; unnamed modules never match.
  bool FindByName(const std::wstring& name, TDebuggedProcessModule*& module);
  // The module whose image holds the address.
  bool FindByAddress(uint32_t address, TDebuggedProcessModule*& module);
  // Takes a module out of the pending list once its name was set from outside.
  void NameKnown(TDebuggedProcessModule* module);
  TDebuggedProcessModulesList& Pending() { return FPending; }
  // Removing a module (or all) takes it out of the pending list first, then frees it.
  void RemoveModule(uint32_t baseAddress);
  void ClearModules();
  std::unique_ptr<TDebuggedProcessModulesListEnumerator> Enumerate();

protected:
  void* InsertSorted(int bucket, int index, uint32_t key, void* data) override;

private:
  TDebuggedProcessModulesList FPending;
  TDebuggedProcess* FProcess;
};

class TDebuggedProcessThread : public TObject {
public:
  TDebuggedProcessThread(DWORD threadId, HANDLE handle) : ThreadId(threadId), Handle(handle) {}
  DWORD ThreadId;
  HANDLE Handle;  // the system's; never closed here
  bool Held = false;  // suspended by us while another thread steps over a breakpoint
};

class TDebuggedProcessThreads : public TQObjectBucketList {
public:
  TDebuggedProcessThreads() : TQObjectBucketList(true) {}
  void AddThread(DWORD threadId, HANDLE handle);
  bool FindThread(DWORD threadId, TDebuggedProcessThread*& thread) const;
  void RemoveThread(DWORD threadId) { Remove(threadId); }
  std::vector<TDebuggedProcessThread*> Items();
};

class TDebuggedProcess : public TProcess {
public:
  // Opens the process; its memory manager becomes the bridge of the process memory.
  explicit TDebuggedProcess(DWORD processId);
  ~TDebuggedProcess() override;
  void UpdateFileName();
  // Read by the window while the debugging thread sets it: a copy under the name's lock.
  std::wstring FileName() const;
  // The image name a load or create-process event points to (a pointer in the debuggee to
  // the name), or empty.
  std::wstring ReadImageName(void* imageName, bool unicode) const;
  // SizeOfImage from the headers of the image at base in the debuggee, or 0.
  uint32_t ReadImageSize(uint32_t base) const;

  TDgnHandle Handle;
  TDebuggedProcessModules Modules;
  TDebuggedProcessThreads Threads;
  // The memory manager made with the process (alive while the process memory's bridge holds it).
  TMemoryManager* Memory() const { return FMemory; }

private:
  TMemoryManager* FMemory = nullptr;
  mutable SRWLOCK FFileNameLock = SRWLOCK_INIT;
  std::wstring FFileName;
};

// What a thread must do after its single step: put one breakpoint's byte back.
class TPendingStep : public TObject {
public:
  explicit TPendingStep(TBreakpoint* breakpoint) : Breakpoint(breakpoint), Address(breakpoint->Address) {}
  // Freed with the trace's breakpoints before the detach rewinds the step: the address stays.
  TBreakpoint* Breakpoint;
  uint32_t Address;
  uint32_t Retried = 0;  // the fault the instruction raised, run again without the trap flag
  DWORD RetryTick = 0;   // when it was run again
  // A stepped pushfd pushed our trap flag, which the program's flags do not have.
  bool ClearPushedTrapFlag = false;
};

// Thread id to the step it is taking over one of our breakpoints (owning).
class TThreadBreakpoints : public TQObjectBucketList {
public:
  TThreadBreakpoints() : TQObjectBucketList(true) {}
};

class TDebuggingThread : public TAppThread, public TResolverDebuggee {
public:
  TDebuggingThread();
  ~TDebuggingThread() override;

  bool GetPaused();
  // From the main thread; nothing once the trace is over (the pause it ended with is undone).
  void SetPaused(bool value);
  virtual bool KillOnExit() = 0;
  // Stop's road, on the main thread, when this thread has not ended the trace within Stop's
  // limit (a handler that does not return soon, an exit event that does not come): the debug
  // object and the trace become the main thread's, the thread's read holds of the engine's lock
  // count no more; the program is ended (run), or released as the loop releases it and
  // detached (attach); the trace's global state is ended here and "Finish" logged. Whenever
  // this thread gets back, it ends without touching the program, the log or anything shared.
  void Abandon();
  bool GivenUp() const { return FAbandoned; }

  TDebuggedProcess* Process() const { return FProcess.get(); }
  // The resolvers' view of the debuggee.
  bool FindModuleByName(const std::wstring& name, TDebuggeeModuleInfo& module) override;
  void ReadMemory(uint32_t address, void* buffer, int32_t count) override;
  HANDLE ImageFileHandle() const { return FImageFileHandle.Get(); }
  TThreadBreakpoints& ThreadBreakpoints() { return FThreadBreakpoints; }

  // Breakpoint handling, on this thread inside a debug event.
  void OnBreakpoint(DWORD threadId, uint32_t address);
  void OnSingleStep(DWORD threadId);
  // Any other exception: a thread whose stepped instruction faulted has ended its step, or
  // runs it again without our trap flag (true: continue the event, the fault comes again).
  bool OnStepException(DWORD threadId, DWORD code, const EXCEPTION_RECORD* record = nullptr);
  // After a wait: a stepped instruction run again that did not fault again has ended its step.
  void EndUnrepeatedRetry();

protected:
  void DoExecute() override;
  void Trace();
  void DebugLoop();

  std::unique_ptr<TDebuggedProcess> FProcess;

private:
  void CheckTerminate();
  void HandleEvent(const DEBUG_EVENT& event, DWORD& status);
  // One handler per debug event.
  void OnException(const DEBUG_EVENT& event, DWORD& status);
  void OnCreateThread(const DEBUG_EVENT& event);
  void OnCreateProcess(const DEBUG_EVENT& event);
  void OnExitThread(const DEBUG_EVENT& event);
  void OnExitProcess(const DEBUG_EVENT& event);
  void OnLoadDll(const DEBUG_EVENT& event);
  void OnUnloadDll(const DEBUG_EVENT& event);
  void AfterWait();
  // debuggeeStopped: inside an event's handling, before it is continued.
  void ResolvePass(bool debuggeeStopped = false);

  // An entry hit: the return breakpoint armed and the call's context made (its parameters are
  // read afterwards, under the read lock).
  // stepping: the thread single-steps over the instruction (else it was carried out here).
  // nullptr: no return address to follow.
  TBreakpointContext* OnTraceBreakpoint(DWORD threadId, TTraceBreakpoint* trace, CONTEXT& context,
                                        bool stepping);
  // Carries out the entry instruction on the context when it is one this thread can do
  // itself (pushes, register moves, loads from the stack or of a constant); false: the thread
  // must step over it.
  bool EmulateEntryInstruction(TTraceBreakpoint* trace, CONTEXT& context);
  // The return address and the arguments above it at an entry hit, in one read.
  void ReadEntryStack(uint32_t esp);
  // A kept return breakpoint without a call through it: as if it were not there.
  static bool IdleReturnBreakpoint(const TReturnBreakpoint* ret) {
    return ret->ContextCount == 0 && ret->Stepping == 0 && !ret->Inserted;
  }
  // A return hit: the returning call taken out of the thread's contexts, with those below it
  // dropped; the breakpoint is kept (Stepping) until the call is logged.
  std::unique_ptr<TBreakpointContext> TakeReturningCall(DWORD threadId, TReturnBreakpoint* ret,
                                                        const CONTEXT& context, TBreakpointContext* returning);
  // Single steps over a breakpoint: the thread runs one instruction while every other
  // thread is held; then the step's continuation puts the byte back.
  void BeginStep(DWORD threadId, TBreakpoint* breakpoint);
  // Puts the guard back on the page of an address whose guard a fault took off.
  bool RearmGuardPage(uint32_t address);
  // Takes the trap flag off a thread (the system may have cleared it already).
  static void ClearTrapFlag(HANDLE thread);
  // Takes our trap flag out of the flags a stepped pushfd left on the thread's stack.
  void ClearPushedTrapFlag(HANDLE thread);
  // A step undone at a detach: no trap flag of ours left on the thread or its stack.
  void RewindStep(HANDLE thread, const TPendingStep& step);
  // The step of a thread is over (its single step arrived, or its instruction raised): the
  // byte goes back and the next held thread takes its turn.
  void FinishStep(DWORD threadId, HANDLE thread, bool clearTrapFlag);
  // A hit queued for a breakpoint of ours that is gone since finds the instruction's own
  // byte at the address: the thread runs that instruction instead of the rest of it.
  void RewindQueuedHit(HANDLE thread, uint32_t address);
  void HoldOtherThreads(DWORD runner);
  void ReleaseHeldThreads();
  void SuspendHeld(TDebuggedProcessThread* thread);
  void ResumeHeld(TDebuggedProcessThread* thread);
  void FreeReturnBreakpointIfDone(TReturnBreakpoint* ret);
  // Contexts of one thread, outermost call first.
  TThreadContexts& ContextsOf(DWORD threadId);
  // Drops this thread's contexts at or below the stack pointer (calls left by an
  // exception or a long jump).
  void DropStaleContexts(DWORD threadId, uint32_t esp);
  void DropContext(TThreadContexts& stack, size_t index);
  void DropContextsOf(TTraceBreakpoint* trace);
  // Definitions and breakpoints inside an unloaded image wait for its next load.
  void UnbindModule(const TDebuggedProcessModule& module);
  // Before detaching: no byte of ours, no trap flag, no held thread, no queued hit.
  void ReleaseDebuggee();
  // Continues the events that were queued before the threads stopped, rewinding their hits
  // and steps.
  void DrainQueuedEvents();
  HANDLE ThreadHandle(DWORD threadId);

  // The last step of a trace: the definitions a pause switched off are on again, and later
  // pauses change nothing.
  void EndPause();
  bool FPaused = false;
  bool FTraceOver = false;  // under the write lock, like FPaused
  std::unique_ptr<TProcDefs> FPausedDefs;
  TDgnHandle FImageFileHandle;
  TThreadBreakpoints FThreadBreakpoints;
  std::map<DWORD, TThreadContexts> FContexts;
  // The trace's breakpoints, handed over when the trace was ended without this thread.
  TKeptBreakpoints FKeptBreakpoints;
  // The program is released once: by the loop's detach or by a give-up, whichever is first.
  // Holding and resuming its threads take it too, so none is held again after the release.
  std::recursive_mutex FReleaseLock;
  bool FReleased = false;
  // A step of the loop that writes our bytes, changes steps or holds threads: a give-up's
  // release comes wholly before it or after it (then FAbandoned is seen inside it), so no byte
  // or step of ours is left in the released program.
  class TLoopSection {
  public:
    explicit TLoopSection(TDebuggingThread& thread) : FWrite(*GetDebugRWSync()), FRelease(thread.FReleaseLock) {}

  private:
    TWriteLock FWrite;
    std::lock_guard<std::recursive_mutex> FRelease;
  };
  DWORD FRunner = 0;  // the thread taking a step while the others are held
  // The stack at the last entry hit: the return address and the arguments above it.
  uint8_t FEntryStack[64] = {};
  uint32_t FEntryStackSize = 0;
  // The global state a trace ends (definitions, pause, resolvers' debuggee, breakpoint process,
  // memory): by the trace itself, or by Abandon on the main thread.
  void EndTraceState();
  bool FDone = false;
  bool FTerminateHandled = false;
  // Ending within a bound: when the run's program was asked to end (0: not yet), whether Stop
  // gave up on this thread, whether "Finish" is logged, and this thread's debug object.
  DWORD FTerminateTick = 0;
  std::atomic<bool> FAbandoned{false};
  std::atomic<bool> FFinishLogged{false};
  HANDLE FDebugObject = nullptr;  // the system's, closed when this thread ends
  // Who owns the debug object: the loop takes this lock around "given up? wait, hold the event",
  // and Abandon sets FAbandoned under it, so the loop never waits on the object once Abandon
  // owns it. It also guards the event the loop got and has not continued yet, which Abandon
  // continues in its stead (the program's threads run only once it is), and whether its hit's
  // context is settled (the loop's own: set under the write lock).
  std::mutex FEventLock;
  bool FFinished = false;  // past its last use of the engine's lock (under FEventLock)
  DEBUG_EVENT FEvent{};
  bool FEventHeld = false;
  std::atomic<bool> FHitSettled{false};
  // One wait for an event, unless given up; the event got is held.
  bool WaitForEvent(DEBUG_EVENT& event);
  void ContinueHeldEvent(DWORD status);
  // Given up: the held event continued as a queued one once our bytes are gone.
  void ReleaseHeldEvent();
  // The status a queued event is continued with once our bytes are gone, its hit rewound
  // (unless the loop settled it) or its step's trap flag off.
  DWORD ReleaseEvent(const DEBUG_EVENT& event, bool rewind);
  bool ProcessEnded() const;
  void LogFinish();
  bool FExited = false;       // the exit event arrived: nothing to detach from
  bool FModulesChanged = true;  // a resolve pass is due
};

// Attaches to a running process; stopping detaches and leaves it running.
class TAttachThread : public TDebuggingThread {
public:
  explicit TAttachThread(DWORD processId);
  bool KillOnExit() override { return false; }

protected:
  void DoExecute() override;

private:
  static void Attach(DWORD processId);
  DWORD FProcessId;
};

// Starts the program as its debugger; stopping terminates it.
class TRunThread : public TDebuggingThread {
public:
  explicit TRunThread(std::wstring commandLine);
  bool KillOnExit() override { return true; }

protected:
  void DoExecute() override;

private:
  std::wstring FCommandLine;
};

// The working folder of a command line: the folder of its program (first token, quotes
// removed), or empty.
std::wstring CommandLineProgramDir(const std::wstring& commandLine);

class TDebugger : public TObject {
public:
  bool GetActive() const { return FThread.load() != nullptr; }
  bool GetPaused();
  void SetPaused(bool value);
  void Attach(DWORD processId);
  void Run(const std::wstring& commandLine);
  // Terminates the trace and waits (MainThreadWait) until its thread has ended; past a limit
  // the trace is ended without it (TDebuggingThread::Abandon).
  void Stop();
  // Waits (MainThreadWait) until the last debugging thread has ended (it may still be
  // detaching after GetActive went false), then frees it; a thread Stop gave up on is not
  // waited for (freed once its end is seen). The second waits for those too, all within a
  // limit (false: one still runs).
  void WaitForThreadEnd();
  bool WaitForThreadEnd(DWORD timeoutMs);
  TDebugger();
  ~TDebugger() override;

  // Set and cleared by the debugging thread through the main thread.
  void SetThread(TDebuggingThread* thread) { FThread = thread; }
  TDebuggingThread* Thread() const { return FThread; }
  // The traced program's file name (for the window's title); empty while none is known.
  std::wstring DebuggeeFileName() const;

  using TFactory = TServiceFactory<TDebugger, TSimpleObjectFactory>;

private:
  void Start(std::shared_ptr<TDebuggingThread> thread);
  bool WaitForLastThread(DWORD timeoutMs);
  // Frees the given-up threads whose end was seen.
  void FreeEndedGivenUp();
  // Written through the main thread only, but read by the debugging thread too.
  std::atomic<TDebuggingThread*> FThread{nullptr};
  // The last debugging thread, owned here until its end has been seen: a wait of the main
  // thread (a pause waiting for the lock) may outlast the trace, and holds it as well.
  std::shared_ptr<TDebuggingThread> FLastThread;
  // Threads Stop gave up on, owned here until their end is seen; nothing waits for them.
  std::vector<std::shared_ptr<TDebuggingThread>> FGivenUp;
};

TDebugger* GetDebugger();

// Entry hits so far whose first instruction a thread single-stepped (the debugging thread
// carries out the others itself).
uint32_t SteppedEntryCount();
