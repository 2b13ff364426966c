// One trace from start to end: the debugging thread's set-up and clean-up, leaving a live
// debuggee as it was (detach), the run and attach threads, and the debugger singleton that
// starts and stops them.
#include "Tracer/engine/uDebugCore.h"


#include "Tracer/engine/uCallHandlers.h"
#include "Tracer/engine/uEventQueue.h"
#include "Tracer/engine/uProcessMemory.h"
#include "Tracer/foundation/uClasses.h"
#include "Tracer/engine/uProcDefs.h"
#include "Tracer/engine/uSystemObjects.h"
#include "Tracer/foundation/uHolders.h"
#include "Tracer/foundation/uMainThreadWait.h"
#include "Tracer/foundation/uMultiLanguage.h"
#include "Tracer/foundation/uRaise.h"
#include "Tracer/foundation/uWideStrUtils.h"
#include "lib/dgn/windows/DgnStackInfo.h"

namespace {

const wchar_t* const UnitPath = L"src/Tracer/uDebugCore";

// Detaching takes the events raised before our bytes went: it waits for each at most
// QueuedEventWaitMs, goes on until none came for DrainQuietMs, and stops at DrainLimitMs.
constexpr DWORD QueuedEventWaitMs = 50;
constexpr DWORD DrainQuietMs = 200;
constexpr DWORD DrainLimitMs = 800;

// How long Stop lets the debugging thread end the trace itself before it gives up on it.
constexpr DWORD StopWaitMs = 1000;

// How long closing waits for threads given up on; past it the process ends without them.
constexpr DWORD CloseWaitMs = 3000;

// The calling thread's debug object (the one its debugging calls use), read and set through
// ntdll, so that the main thread can detach a program whose debugging thread does not return.
using TGetDebugObject = HANDLE(NTAPI*)();
using TSetDebugObject = void(NTAPI*)(HANDLE);

template <class F>
F NtdllProc(const char* name) {
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), name)));
}

HANDLE CurrentDebugObject() {
  static const TGetDebugObject get = NtdllProc<TGetDebugObject>("DbgUiGetThreadDebugObject");
  return get ? get() : nullptr;
}

// Runs step with another thread's debug object as the calling thread's own.
template <class F>
void ThroughDebugObject(HANDLE debugObject, F step) {
  static const TSetDebugObject set = NtdllProc<TSetDebugObject>("DbgUiSetThreadDebugObject");
  if (set == nullptr || debugObject == nullptr) return;
  const HANDLE own = CurrentDebugObject();
  set(debugObject);
  try {
    step();
  } catch (...) {
  }
  set(own);
}


// Detaching goes on past a thread whose context cannot be had: the rest still matters.
template <class F>
void BestEffort(F step) {
  try {
    step();
  } catch (const Exception&) {
  }
}

}  // namespace

// ---------------------------------------------------------------------------------------
// One trace

void TDebuggingThread::DoExecute() {
  // The last use of the engine's lock by this thread: a give-up's forfeit is taken back here,
  // while the thread still lives, so its id (the system reuses ids) never stands for a later
  // thread. Under the event lock, so the give-up either comes before it or finds it over.
  TScopeExit last([this] {
    std::lock_guard<std::mutex> own(FEventLock);
    FFinished = true;
    if (FAbandoned) GetDebugRWSync()->Reinstate(ThreadID());
  });
  try {
    Trace();
  } catch (...) {
    // Given up by Stop, which ended the trace: what failed since is nobody's concern.
    if (!FAbandoned) throw;
  }
}

void TDebuggingThread::Trace() {
  // The outermost step: a live debuggee is left without a byte or a trap flag of ours. A run's
  // program asked to end is left to end: it goes with this thread's debug object at the latest.
  TScopeExit detach([this] {
    if (FExited || FAbandoned || (KillOnExit() && FTerminateTick != 0)) return;
    ReleaseDebuggee();
    if (FAbandoned) return;  // given up on meanwhile: the main thread detaches
    Win32CheckApi(DebugActiveProcessStop(FProcess->ProcessId()) != FALSE, "DebugActiveProcessStop");
  });
  FDebugObject = CurrentDebugObject();
  Win32CheckApi(DebugSetProcessKillOnExit(KillOnExit()) != FALSE, "DebugSetProcessKillOnExit");
  Synchronize([this] { GetDebugger()->SetThread(this); });
  TScopeExit clearThread([this] {
    if (!FAbandoned) Synchronize([] { GetDebugger()->SetThread(nullptr); });
  });
  GetTracerEventQueue()->AddMessage(GetMultiLanguage()->MessageText(SStart));
  TScopeExit finish([this] { LogFinish(); });
  SetResolverDebuggee(this);
  GetCallHandlerEngine()->BeginTrace();
  // Its own script engines go with it, given up on or not: they are this thread's alone (a
  // new trace runs in engines of its own thread), and the engine outlives every debugging
  // thread (made before the debugger, freed after it).
  TScopeExit endTrace([] { GetCallHandlerEngine()->EndTrace(); });
  GetLoadedProcDefs()->Reset();
  // Also when the loop failed: a pause must not outlive the trace with its definitions off.
  // Pending steps stay listed: detaching rewinds their trap flags.
  TScopeExit endState([this] {
    TWriteLock lock(*GetDebugRWSync());
    if (!FAbandoned) EndTraceState();
  });
  DebugLoop();
}

void TDebuggingThread::EndTraceState() {
  TWriteLock lock(*GetDebugRWSync());
  FContexts.clear();
  GetLoadedProcDefs()->Reset();
  // Unbound by now: the definitions a pause switched off are on again without a byte written.
  EndPause();
  if (GetResolverDebuggee() == this) SetResolverDebuggee(nullptr);
}

void TDebuggingThread::LogFinish() {
  if (!FFinishLogged.exchange(true)) GetTracerEventQueue()->AddMessage(GetMultiLanguage()->MessageText(SFinish));
}

// ---------------------------------------------------------------------------------------
// Giving up on the debugging thread

void TDebuggingThread::Abandon() {
  {
    // The debug object is the main thread's from here on: the loop waits on it no more.
    std::lock_guard<std::mutex> own(FEventLock);
    FAbandoned = true;
    // A handler that does not return keeps its read lock: it keeps nobody out any more, and
    // the thread touches nothing shared once it gets back. A thread already past its last use
    // of the lock has nothing to forfeit.
    if (!FFinished) GetDebugRWSync()->Forfeit(ThreadID());
  }
  // Its own late additions (a call whose handler returns after this) would follow "Finish".
  GetTracerEventQueue()->SealThread(ThreadID());
  // Released before the write lock is taken here: the thread may be releasing it itself, and
  // its release (which takes the write lock for the bytes) is waited for, then completed.
  if (KillOnExit()) {
    TerminateProcess(FProcess->Handle.Get(), 0);
  } else if (!ProcessEnded()) {
    // The loop's own road, through its debug object, the event it holds continued first.
    ThroughDebugObject(FDebugObject, [this] {
      ReleaseDebuggee();
      DebugActiveProcessStop(FProcess->ProcessId());
    });
  }
  TWriteLock lock(*GetDebugRWSync());
  // Nothing is written into the program any more, as after its exit.
  if (GetBreakpointProcess() == FProcess->Handle.Get()) SetBreakpointProcess(nullptr);
  if (FProcess->Memory() != nullptr) FProcess->Memory()->SetEnabled(false);
  // The trace's state ends as at the trace's own end, except that what the thread may still
  // touch whatever it is doing (its breakpoints, its call contexts) is not freed: the
  // breakpoints are handed to it, orphaned, and both go when its end is seen.
  BestEffort([this] {
    GetLoadedProcDefs()->Reset(&FKeptBreakpoints);
    EndPause();
    if (GetResolverDebuggee() == this) SetResolverDebuggee(nullptr);
  });
  LogFinish();
}

// ---------------------------------------------------------------------------------------
// Detaching

void TDebuggingThread::ReleaseDebuggee() {
  if (!FProcess) return;
  // One release, whoever comes first: the loop's detach and a give-up's may overlap. The one
  // that comes second takes what was queued since (the loop's drain stops at a give-up).
  std::lock_guard<std::recursive_mutex> once(FReleaseLock);
  if (FReleased) {
    DrainQueuedEvents();
    return;
  }
  FReleased = true;
  // Every item is best effort: a byte, a thread or an event that fails leaves the rest to be
  // released all the same, so the program is never left stopped or with a step undone.
  std::vector<TDebuggedProcessThread*> stopped;
  for (TDebuggedProcessThread* t : FProcess->Threads.Items())
    if (!t->Held && SuspendThread(t->Handle) != static_cast<DWORD>(-1)) stopped.push_back(t);
  {
    TWriteLock lock(*GetDebugRWSync());
    for (TBreakpoint* b : GetLoadedProcDefs()->TraceBreakpoints().Items()) BestEffort([b] { b->Remove(); });
    for (TBreakpoint* b : GetLoadedProcDefs()->ReturnBreakpoints().Items()) BestEffort([b] { b->Remove(); });
  }
  // Pending steps are rewound: the instruction's own byte is back, the trap flag goes, also
  // from the flags a stepped pushfd pushed. Our bytes go back only where our 0xCC still is:
  // code the program rewrote stays as it wrote it.
  for (TDebuggedProcessThread* t : FProcess->Threads.Items()) {
    TObject* step = nullptr;
    if (FThreadBreakpoints.Find(t->ThreadId, step))
      BestEffort([&] { RewindStep(t->Handle, *static_cast<TPendingStep*>(step)); });
  }
  FThreadBreakpoints.Clear();
  FRunner = 0;
  // Then the threads run on: one stopped while it raised a hit raises it now, and it is taken
  // and rewound with the others.
  for (TDebuggedProcessThread* t : stopped) ResumeThread(t->Handle);
  BestEffort([this] { ReleaseHeldThreads(); });
  BestEffort([this] { ReleaseHeldEvent(); });
  BestEffort([this] { DrainQueuedEvents(); });
}

void TDebuggingThread::ReleaseHeldEvent() {
  // Only a give-up finds one: the loop continues its events itself. While it is held the
  // program stays stopped, and a hit raised only after it would be continued unrewound.
  std::lock_guard<std::mutex> held(FEventLock);
  if (!FEventHeld) return;
  FEventHeld = false;
  ContinueDebugEvent(FEvent.dwProcessId, FEvent.dwThreadId, ReleaseEvent(FEvent, !FHitSettled));
}

void TDebuggingThread::DrainQueuedEvents() {
  DEBUG_EVENT event{};
  // A thread just resumed may take a while to raise what it had begun to raise; a program that
  // raises events without end is detached all the same.
  const DWORD start = GetTickCount();
  DWORD last = start;
  for (;;) {
    const DWORD now = GetTickCount();
    if (FExited || now - start >= DrainLimitMs || now - last >= DrainQuietMs) break;
    {
      // Given up on while it detached: the debug object is the main thread's now.
      std::lock_guard<std::mutex> own(FEventLock);
      if (FAbandoned && GetCurrentThreadId() == ThreadID()) break;
      if (!WaitForDebugEvent(&event, QueuedEventWaitMs)) continue;
    }
    last = GetTickCount();
    const DWORD status = ReleaseEvent(event, true);
    switch (event.dwDebugEventCode) {
      case EXIT_PROCESS_DEBUG_EVENT: FExited = true; break;
      // The events' file handles are ours to close.
      case LOAD_DLL_DEBUG_EVENT: TDgnHandle(event.u.LoadDll.hFile).Reset(); break;
      case CREATE_PROCESS_DEBUG_EVENT: TDgnHandle(event.u.CreateProcessInfo.hFile).Reset(); break;
      default: break;
    }
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
  }
}

DWORD TDebuggingThread::ReleaseEvent(const DEBUG_EVENT& event, bool rewind) {
  if (event.dwDebugEventCode != EXCEPTION_DEBUG_EVENT) return DBG_CONTINUE;
  const EXCEPTION_RECORD& record = event.u.Exception.ExceptionRecord;
  HANDLE h = ThreadHandle(event.dwThreadId);
  if (record.ExceptionCode == EXCEPTION_BREAKPOINT && h != nullptr) {
    const uint32_t address = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(record.ExceptionAddress));
    if (rewind) BestEffort([&] { RewindQueuedHit(h, address); });
    return DBG_CONTINUE;
  }
  if (record.ExceptionCode == EXCEPTION_SINGLE_STEP && h != nullptr) {
    BestEffort([h] { ClearTrapFlag(h); });
    return DBG_CONTINUE;
  }
  return DBG_EXCEPTION_NOT_HANDLED;
}

// ---------------------------------------------------------------------------------------
// Run and attach threads

TAttachThread::TAttachThread(DWORD processId) : FProcessId(processId) {
  FProcess = std::make_unique<TDebuggedProcess>(processId);
}

void TAttachThread::DoExecute() {
  Attach(FProcessId);
  TDebuggingThread::DoExecute();
}

// DebugActiveProcess without its remote break-in. Under Wine the break-in is a thread that one
// of the program's own threads must create, interrupted wherever it is; now and then it never
// did, and the attach waited for it for good. The attach's own events (the process, its
// threads, its modules) come without it, and the program keeps just its own threads.
void TAttachThread::Attach(DWORD processId) {
  using TConnect = LONG(NTAPI*)();
  using TDebugActive = LONG(NTAPI*)(HANDLE, HANDLE);
  using TStatusToError = ULONG(NTAPI*)(LONG);
  static const TConnect connect = NtdllProc<TConnect>("DbgUiConnectToDbg");
  static const TDebugActive debugActive = NtdllProc<TDebugActive>("NtDebugActiveProcess");
  static const TStatusToError toError = NtdllProc<TStatusToError>("RtlNtStatusToDosError");
  if (connect == nullptr || debugActive == nullptr || toError == nullptr) {
    Win32CheckApi(DebugActiveProcess(processId) != FALSE, "DebugActiveProcess");
    return;
  }
  const auto check = [](LONG status) {
    if (status < 0) SetLastError(toError(status));
    Win32CheckApi(status >= 0, "DebugActiveProcess");
  };
  check(connect());
  // Opened as DebugActiveProcess opens it: Wine wants these rights for the attach.
  TDgnHandle process(OpenProcess(PROCESS_CREATE_THREAD | PROCESS_VM_READ | PROCESS_VM_WRITE |
                                     PROCESS_QUERY_INFORMATION | PROCESS_SUSPEND_RESUME,
                                 FALSE, processId));
  Win32CheckApi(process.Valid(), "DebugActiveProcess");
  check(debugActive(process.Get(), CurrentDebugObject()));
}

TRunThread::TRunThread(std::wstring commandLine) : FCommandLine(std::move(commandLine)) {}

std::wstring CommandLineProgramDir(const std::wstring& commandLine) {
  size_t i = 0;
  while (i < commandLine.size() && (commandLine[i] == L' ' || commandLine[i] == L'\t')) ++i;
  if (i < commandLine.size() && commandLine[i] == L'"') {
    const size_t end = commandLine.find(L'"', i + 1);
    return WideExtractFileDir(
        commandLine.substr(i + 1, end == std::wstring::npos ? std::wstring::npos : end - i - 1));
  }
  // Unquoted, the program is the one CreateProcessW runs: the first blank-separated prefix
  // naming a file, ".exe" added to a name without an extension; when none does, the first token.
  const auto namesFile = [](const std::wstring& name) {
    const bool hasExtension = name.find(L'.', name.find_last_of(L"\\/:") + 1) != std::wstring::npos;
    return WideFileExists(hasExtension ? name : name + L".exe");
  };
  const size_t first = commandLine.find_first_of(L" \t", i);
  for (size_t end = first; end != std::wstring::npos; end = commandLine.find_first_of(L" \t", end + 1)) {
    const std::wstring name = commandLine.substr(i, end - i);
    if (namesFile(name)) return WideExtractFileDir(name);
  }
  const std::wstring whole = commandLine.substr(i);
  if (namesFile(whole)) return WideExtractFileDir(whole);
  return WideExtractFileDir(commandLine.substr(i, first == std::wstring::npos ? std::wstring::npos : first - i));
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
  // Closed at the end of the trace: the thread's handle first, then the process's.
  TDgnHandle process(info.hProcess);
  TDgnHandle thread(info.hThread);
  FProcess = std::make_unique<TDebuggedProcess>(info.dwProcessId);
  TDebuggingThread::DoExecute();
}

// ---------------------------------------------------------------------------------------
// The debugger

bool TDebugger::GetPaused() {
  std::shared_ptr<TDebuggingThread> thread = FLastThread;  // alive through the lock's wait
  return thread != nullptr && FThread.load() == thread.get() && thread->GetPaused();
}

void TDebugger::SetPaused(bool value) {
  std::shared_ptr<TDebuggingThread> thread = FLastThread;  // alive through the lock's wait
  if (thread != nullptr && FThread.load() == thread.get()) thread->SetPaused(value);
}

std::wstring TDebugger::DebuggeeFileName() const {
  // The thread clears itself here (through the main thread) before its process goes.
  TDebuggingThread* thread = FThread;
  return thread != nullptr && thread->Process() != nullptr ? thread->Process()->FileName() : std::wstring();
}

void TDebugger::WaitForThreadEnd() {
  WaitForLastThread(INFINITE);
  FreeEndedGivenUp();
}

bool TDebugger::WaitForLastThread(DWORD timeoutMs) {
  std::shared_ptr<TDebuggingThread> thread = FLastThread;
  if (thread == nullptr) return true;
  if (!WaitOnMainThread(thread->Handle(), timeoutMs)) return false;
  // Seen to end: freed, unless a nested wait still holds it (it goes with that one). Its id
  // may now be another thread's.
  GetTracerEventQueue()->UnsealThread(thread->ThreadID());
  if (FLastThread == thread) FLastThread.reset();
  return true;
}

bool TDebugger::WaitForThreadEnd(DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  auto left = [&] {
    const DWORD spent = GetTickCount() - start;
    return timeoutMs == INFINITE ? INFINITE : spent >= timeoutMs ? 0 : timeoutMs - spent;
  };
  if (!WaitForLastThread(timeoutMs)) return false;
  for (std::shared_ptr<TDebuggingThread> thread : std::vector(FGivenUp))
    if (!WaitOnMainThread(thread->Handle(), left())) return false;
  FreeEndedGivenUp();
  return true;
}

void TDebugger::FreeEndedGivenUp() {
  for (size_t i = FGivenUp.size(); i-- > 0;) {
    std::shared_ptr<TDebuggingThread> thread = FGivenUp[i];
    if (WaitForSingleObject(thread->Handle(), 0) != WAIT_OBJECT_0) continue;
    // Its handle goes with it, and with that its id may become a later trace thread's.
    GetTracerEventQueue()->UnsealThread(thread->ThreadID());
    FGivenUp.erase(FGivenUp.begin() + static_cast<std::ptrdiff_t>(i));
  }
}

TDebugger::TDebugger() {
  // Everything a debugging thread uses is made before the debugger, so it is freed after it:
  // a thread given up on still runs until the debugger's end has waited for it or ended the
  // process.
  GetDebugRWSync();
  GetTimeCounter();
  GetMultiLanguage();
  GetTracerEventQueue();
  GetLoadedProcDefs();
  GetBreakpointResolverProtocols();
  GetParamTypeDefs();
  GetProcTypeDefs();
  GetCallHandlerEngine();
  GetProcessMemory();
}

TDebugger::~TDebugger() {
  try {
    if (FLastThread != nullptr) {
      FLastThread->Terminate();
      WaitForThreadEnd();
    }
    FreeEndedGivenUp();
    if (FGivenUp.empty() || WaitForThreadEnd(CloseWaitMs)) return;
  } catch (...) {
    if (FGivenUp.empty()) return;  // shutdown goes on: the thread object's own destructor waits
  }
  // A handler given up on still runs: the settings are saved by now, and what would be freed
  // from here on (the engine, its definitions, the handler's own module) it may still use.
  // The process ends as the session would have.
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(ShutdownExitCode()));
}

void TDebugger::Start(std::shared_ptr<TDebuggingThread> thread) {
  FLastThread = thread;
  thread->Start();
}

void TDebugger::Attach(DWORD processId) {
  CW_ASSERT(FThread == nullptr, UnitPath, 903);
  // The previous trace's process object must be gone before a new one installs its memory.
  WaitForThreadEnd();
  Start(std::make_shared<TAttachThread>(processId));
}

void TDebugger::Run(const std::wstring& commandLine) {
  CW_ASSERT(FThread == nullptr, UnitPath, 909);
  WaitForThreadEnd();
  Start(std::make_shared<TRunThread>(commandLine));
}

void TDebugger::Stop() {
  CW_ASSERT(GetCurrentThreadId() == DgnMainThreadID(), UnitPath, 915);
  CW_ASSERT(FThread != nullptr, UnitPath, 916);
  TDebuggingThread* running = FThread;
  running->Terminate();
  // The thread clears FThread through the main thread before it ends.
  if (WaitForLastThread(StopWaitMs) || FThread.load() != running) return;
  // Still inside something that does not return soon: the trace ends here all the same. The
  // thread stays owned here until its end is seen; nothing waits for it.
  running->Abandon();
  FThread = nullptr;
  if (FLastThread.get() == running) {
    FGivenUp.push_back(std::move(FLastThread));
    FLastThread.reset();
  }
}

TDebugger* GetDebugger() {
  static const TDebugger::TFactory factory;
  static TObject* instance = nullptr;
  return GetServiceInstance<TDebugger>(factory, instance);
}
