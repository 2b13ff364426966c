#include "lib/dgn/windows/DgnDebugThread.h"

#include <cxxabi.h>
#include <process.h>

#include <cstdlib>

#include "lib/dgn/windows/DgnStackInfo.h"
#include "lib/dgn/windows/DgnWin32.h"

namespace {

const wchar_t SyncWindowClass[] = L"DgnDebugThreadSync";
constexpr UINT WM_DGN_SYNCHRONIZE = WM_APP + 0x0D61;

// One synchronised call on its way to the main thread and back.
struct TSyncRequest {
  const std::function<void()>* Method;
  std::unique_ptr<Exception> Error;
  std::exception_ptr OtherError;
};

// The main thread's side of a synchronised call, which arrives through a window procedure:
// whatever the call raises is carried back to the waiting thread, which raises it again.
template <class F>
void DgnSyncCallGuard(TSyncRequest& request, F&& call) noexcept {
  try {
    call();
  } catch (const Exception& e) {
    try {
      request.Error.reset(e.Clone());
    } catch (...) {
      request.OtherError = std::current_exception();
    }
  } catch (...) {
    request.OtherError = std::current_exception();
  }
}

LRESULT CALLBACK SyncWindowProc(HWND wnd, UINT msg, WPARAM wParam, LPARAM lParam) {
  if (msg != WM_DGN_SYNCHRONIZE)
    return DefWindowProcW(wnd, msg, wParam, lParam);
  auto* request = reinterpret_cast<TSyncRequest*>(lParam);
  DgnSyncCallGuard(*request, *request->Method);
  return 0;
}

HWND GSyncWindow = nullptr;

// The main thread's message-only window that runs synchronised calls; made by the main thread.
HWND SyncWindow() {
  if (!GSyncWindow && GetCurrentThreadId() == DgnMainThreadID()) {
    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = &SyncWindowProc;
    wc.hInstance = static_cast<HINSTANCE>(ModuleBaseOfAddress(reinterpret_cast<void*>(&SyncWindowProc)));
    wc.lpszClassName = SyncWindowClass;
    RegisterClassExW(&wc);
    GSyncWindow = CreateWindowExW(0, SyncWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  wc.hInstance, nullptr);
  }
  return GSyncWindow;
}

std::atomic<TDgnMainThreadWaitProc> GMainThreadWait{nullptr};

// Waits for handle; the main thread through the program's main-thread wait.
void WaitForEnd(HANDLE handle) {
  TDgnMainThreadWaitProc wait = GMainThreadWait.load();
  if (wait != nullptr && GetCurrentThreadId() == DgnMainThreadID())
    wait(handle);
  else
    WaitForSingleObject(handle, INFINITE);
}

std::wstring Widen(const char* s) {
  std::wstring w;
  for (; *s; ++s)
    w += static_cast<wchar_t>(static_cast<unsigned char>(*s));
  return w;
}

TDgnDebugThreadList* GDebugThreadList = nullptr;

}  // namespace

// ---- thread ---------------------------------------------------------------------------------

TDgnDebugThread::TDgnDebugThread(bool suspended, const std::wstring& threadName)
    : FThreadName(threadName), FCreateSuspended(suspended) {
  SyncWindow();  // made now, while we are (normally) in the main thread
  unsigned id = 0;
  FHandle.Reset(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, &ThreadProc, this,
                                                          CREATE_SUSPENDED, &id)));
  if (!FHandle)
    throw EDgnWin32Error(L"Failed to create thread");
  FThreadID = id;
}

TDgnDebugThread::~TDgnDebugThread() {
  if (GDebugThreadList)
    GDebugThreadList->UnregisterThread(this);
  if (FHandle && !FFinished && GetCurrentThreadId() != FThreadID) {
    Terminate();
    WaitFor();
  }
}

void TDgnDebugThread::AfterConstruction() {
  GetDebugThreadList()->RegisterThread(this, FThreadName);
  if (!FCreateSuspended)
    Start();
}

void TDgnDebugThread::Start() {
  GetDebugThreadList()->RegisterThread(this, FThreadName);
  if (!FStarted) {
    FStarted = true;
    ResumeThread(FHandle.Get());
  }
}

DWORD TDgnDebugThread::WaitFor() {
  if (GetCurrentThreadId() == FThreadID)
    return ReturnValue;  // a thread that frees itself cannot wait for its own end
  if (!FStarted) {
    // Never started: it ends at once without its work, so that the wait can end.
    FSkipExecute = true;
    FStarted = true;
    ResumeThread(FHandle.Get());
  }
  WaitForEnd(FHandle.Get());
  DWORD code = 0;
  GetExitCodeThread(FHandle.Get(), &code);
  return code;
}

void TDgnDebugThread::Synchronize(const std::function<void()>& method) {
  if (GetCurrentThreadId() == DgnMainThreadID()) {
    method();
    return;
  }
  HWND wnd = SyncWindow();
  if (!wnd)
    throw EDgnError(L"No main-thread window to synchronize with");
  TSyncRequest request{&method, nullptr, nullptr};
  SendMessageW(wnd, WM_DGN_SYNCHRONIZE, 0, reinterpret_cast<LPARAM>(&request));
  if (request.Error)
    request.Error->Rethrow();
  if (request.OtherError)
    std::rethrow_exception(request.OtherError);
}

std::wstring TDgnDebugThread::ClassName() const {
  const char* mangled = typeid(*this).name();
  int status = 0;
  char* name = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  std::wstring result = Widen(status == 0 && name ? name : mangled);
  std::free(name);
  return result;
}

unsigned __stdcall TDgnDebugThread::ThreadProc(void* self) {
  auto* thread = static_cast<TDgnDebugThread*>(self);
  thread->DgnThreadEntryGuard([thread] {
    if (!thread->FSkipExecute && !thread->FTerminated)
      thread->Execute();
  });
  DWORD result = thread->ReturnValue;
  bool freeSelf = thread->FreeOnTerminate && !thread->FSkipExecute;
  thread->FFinished = true;
  if (freeSelf)
    delete thread;
  return result;
}

void TDgnDebugThread::HandleEscapedException() noexcept {
  try {
    ReportException();
  } catch (...) {
    FFatalException = std::current_exception();
  }
}

void TDgnDebugThread::ReportException(std::exception_ptr exceptObj) {
  FReported = exceptObj ? exceptObj : std::current_exception();
  FReportedObject = nullptr;
  struct TClear {
    TDgnDebugThread* T;
    ~TClear() {
      T->FReported = nullptr;
      T->FReportedObject = nullptr;
    }
  } clear{this};
  if (!FReported)
    return;
  try {
    std::rethrow_exception(FReported);
  } catch (const Exception& e) {
    FReportedObject = &e;  // lives as long as FReported holds the exception
  } catch (...) {
  }
  if (IsExceptionClassIgnored(FReported.__cxa_exception_type(),
                              const_cast<Exception*>(FReportedObject)))
    return;
  Synchronize([this] { ReportInMainThread(); });
}

void TDgnDebugThread::ReportInMainThread() {
  TDgnGlobalStackList* stacks = GetGlobalStackList();
  stacks->RedirectMainThread(FThreadID);
  try {
    ExceptionReportHandler();
  } catch (...) {
    stacks->EndRedirect();
    throw;
  }
  stacks->EndRedirect();
}

void TDgnDebugThread::ExceptionReportHandler() { FireExceptionEvent(); }

void TDgnDebugThread::FireExceptionEvent() { GetDebugThreadList()->FireThreadException(this); }

// ---- registry -------------------------------------------------------------------------------

void TDgnDebugThreadList::RegisterThread(TDgnDebugThread* thread,
                                         const std::wstring& threadName) {
  if (!thread)
    return;
  TDgnLock registry(FRegistryLock);
  if (IndexOfThreadID(thread->ThreadID()) >= 0)
    return;
  auto info = std::make_unique<TDgnDebugThreadInfo>();
  info->CreationTime = DgnNow();
  info->ParentThreadID = GetCurrentThreadId();
  info->ThreadID = thread->ThreadID();
  info->ThreadHandle = thread->Handle();
  info->ClassName = thread->ClassName();
  info->ThreadName = threadName;
  TDgnLock read(FReadLock);
  FItems.push_back(std::move(info));
}

void TDgnDebugThreadList::UnregisterThread(TDgnDebugThread* thread) {
  if (!thread)
    return;
  TDgnLock registry(FRegistryLock);
  int index = IndexOfThreadID(thread->ThreadID());
  if (index >= 0) {
    TDgnLock read(FReadLock);
    FItems.erase(FItems.begin() + index);
  }
}

int TDgnDebugThreadList::IndexOfThreadID(DWORD threadID) const {
  for (int i = static_cast<int>(FItems.size()) - 1; i >= 0; --i)
    if (FItems[i]->ThreadID == threadID)
      return i;
  return -1;
}

void TDgnDebugThreadList::FireThreadException(TDgnDebugThread* thread) {
  if (OnDebugThreadException)
    OnDebugThreadException(thread);
}

int TDgnDebugThreadList::Count() const {
  TDgnLock lock(FReadLock);
  return static_cast<int>(FItems.size());
}

TDgnDebugThreadInfo TDgnDebugThreadList::Entry(int index) const {
  TDgnLock lock(FReadLock);
  return *FItems.at(index);
}

void DgnSetMainThreadWait(TDgnMainThreadWaitProc proc) { GMainThreadWait = proc; }

TDgnDebugThreadList* GetDebugThreadList() {
  if (!GDebugThreadList)
    GDebugThreadList = new TDgnDebugThreadList;
  return GDebugThreadList;
}

void FreeDebugThreadList() {
  delete GDebugThreadList;
  GDebugThreadList = nullptr;
}
