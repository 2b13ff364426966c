#include "Tracer/uDebugCore.h"

#include <algorithm>
#include <functional>

#include "Tracer/uEventQueue.h"
#include "Tracer/uMultiLanguage.h"
#include "Tracer/uProcessMemory.h"
#include "Tracer/uRaise.h"
#include "Tracer/uSystemObjects.h"
#include "Tracer/uUtils.h"
#include "Tracer/uWideStrUtils.h"
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
  } catch (...) {
    CloseHandleAndNil(Handle);
    throw;
  }
}

TDebuggedProcess::~TDebuggedProcess() {
  try {
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

TDebuggingThread::~TDebuggingThread() { FProcess.reset(); }

bool TDebuggingThread::GetPaused() {
  TReadLock lock(*GetDebugRWSync());
  return FPaused;
}

void TDebuggingThread::SetPaused(bool value) {
  TWriteLock lock(*GetDebugRWSync());
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
  SetResolverDebuggee(this);
  TCleanup noDebuggee([] { SetResolverDebuggee(nullptr); });
  TCleanup finish([] { GetTracerEventQueue()->AddMessage(GetMultiLanguage()->MessageText(SFinish)); });
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
}

void TDebuggingThread::OnCreateProcess(const DEBUG_EVENT& event) {
  if (event.u.CreateProcessInfo.hThread != nullptr)
    FProcess->Threads.AddThread(event.dwThreadId, event.u.CreateProcessInfo.hThread);
  CloseHandleAndNil(FImageFileHandle);
  FImageFileHandle = event.u.CreateProcessInfo.hFile;
}

void TDebuggingThread::OnExitThread(const DEBUG_EVENT& event) {
  FProcess->Threads.RemoveThread(event.dwThreadId);
}

void TDebuggingThread::OnExitProcess(const DEBUG_EVENT&) {
  Memory()->SetEnabled(false);
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

void TDebuggingThread::ResolvePass() { FModulesChanged = false; }

// ---------------------------------------------------------------------------------------
// Breakpoint hits and single steps

void TDebuggingThread::OnBreakpoint(DWORD threadId, uint32_t address) {
  // The loader's breakpoint and the debuggee's own go on. A hit that was queued for a
  // breakpoint of ours that is gone since finds another byte there: run that instruction.
  HANDLE h = ThreadHandle(threadId);
  uint8_t now = BreakpointByte;
  if (h != nullptr && ReadRemote(FProcess->Handle, address, &now, 1) && now != BreakpointByte) {
    CONTEXT context{};
    context.ContextFlags = CONTEXT_CONTROL | CONTEXT_i386;
    Win32CheckApi(GetThreadContext(h, &context) != FALSE, "GetThreadContext");
    if (context.Eip == address + 1) {
      context.Eip = address;
      Win32CheckApi(SetThreadContext(h, &context) != FALSE, "SetThreadContext");
    }
  }
}

void TDebuggingThread::OnSingleStep(DWORD) {}

void TDebuggingThread::UnbindModule(const TDebuggedProcessModule&) {}

void TDebuggingThread::ReleaseDebuggee() {
  if (!FProcess) return;
  std::vector<TDebuggedProcessThread*> stopped;
  for (TDebuggedProcessThread* t : FProcess->Threads.Items())
    if (!t->Held && SuspendThread(t->Handle) != static_cast<DWORD>(-1)) stopped.push_back(t);
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
