// Base of every worker thread: a registry entry for the thread's lifetime, and an exception
// that escapes its work handed to the main thread, where it is reported with its own trace.
#pragma once
#include <windows.h>

#include <atomic>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "lib/dgn/windows/DgnCriticalSection.h"
#include "lib/dgn/windows/DgnHandle.h"
#include "lib/rtl/SysUtils.h"

// A Win32 thread object. C++ runs no derived code before the derived constructor ends, so the
// step that ends construction is explicit: Create<T>(...) builds the object and then runs
// AfterConstruction, which registers the thread and starts it unless it was created suspended.
// A thread created suspended (and built with plain new) is started with Start.
class TDgnDebugThread : public TObject {
public:
  TDgnDebugThread(bool suspended, const std::wstring& threadName);
  // Unregisters, then stops a thread that still runs (terminate request and wait). A derived
  // class whose Execute uses its own members must stop the thread in its own destructor.
  ~TDgnDebugThread() override;

  template <class T, class... A>
  static T* Create(A&&... args) {
    T* thread = new T(std::forward<A>(args)...);
    thread->AfterConstruction();
    return thread;
  }
  void AfterConstruction();
  // Registers the thread (once) and lets it run.
  void Start();
  void Resume() { Start(); }

  void Terminate() { FTerminated = true; }
  bool Terminated() const { return FTerminated; }
  bool Finished() const { return FFinished; }
  // Waits for the end of the thread; in the main thread through the installed main-thread wait.
  // A thread that was never started is ended without running its work.
  DWORD WaitFor();
  // Runs method in the main thread while this thread waits; an exception raised there is
  // raised again here.
  void Synchronize(const std::function<void()>& method);

  HANDLE Handle() const { return FHandle.Get(); }
  DWORD ThreadID() const { return FThreadID; }
  const std::wstring& ThreadName() const { return FThreadName; }
  // Class name of the most derived class, as the registry shows it.
  virtual std::wstring ClassName() const;
  // The exception under report (only while ReportException runs), nullptr otherwise or when
  // the reported object is not one of our exceptions; ReportedExceptionPtr holds any kind.
  const Exception* ReportedException() const { return FReportedObject; }
  std::exception_ptr ReportedExceptionPtr() const { return FReported; }
  // What escaped Execute and its report, if anything.
  std::exception_ptr FatalException() const { return FFatalException; }

  bool FreeOnTerminate = false;
  DWORD ReturnValue = 0;

protected:
  virtual void Execute() = 0;
  // Hands exceptObj, or without one the exception being handled, to the main thread unless its
  // class is ignored; returns after the main thread has reported it.
  void ReportException(std::exception_ptr exceptObj = nullptr);
  virtual void ExceptionReportHandler();
  void FireExceptionEvent();
  // The guard of a thread's entry. Nothing may leave a thread procedure (under this toolchain
  // that ends the program): what escapes body is reported in the main thread
  // (ReportException, which passes over ignored classes), and what escapes the report as well
  // is kept as FatalException.
  template <class F>
  void DgnThreadEntryGuard(F&& body) noexcept {
    try {
      body();
    } catch (...) {
      HandleEscapedException();
    }
  }

private:
  static unsigned __stdcall ThreadProc(void* self);
  // Inside a catch block of the entry guard.
  void HandleEscapedException() noexcept;
  void ReportInMainThread();

  std::wstring FThreadName;
  std::exception_ptr FReported;
  const Exception* FReportedObject = nullptr;
  std::exception_ptr FFatalException;
  TDgnHandle FHandle;
  DWORD FThreadID = 0;
  bool FCreateSuspended;
  bool FStarted = false;
  bool FSkipExecute = false;
  std::atomic<bool> FTerminated{false};
  std::atomic<bool> FFinished{false};
};

// One registered thread.
class TDgnDebugThreadInfo : public TObject {
public:
  double CreationTime = 0;  // local date and time of registration
  DWORD ParentThreadID = 0;
  std::wstring ClassName;
  DWORD ThreadID = 0;
  HANDLE ThreadHandle = nullptr;
  std::wstring ThreadName;
};

using TDgnDebugThreadExceptionEvent = std::function<void(TDgnDebugThread* thread)>;

class TDgnDebugThreadList : public TObject {
public:
  void RegisterThread(TDgnDebugThread* thread, const std::wstring& threadName);
  void UnregisterThread(TDgnDebugThread* thread);
  int IndexOfThreadID(DWORD threadID) const;
  void FireThreadException(TDgnDebugThread* thread);
  int Count() const;
  // A copy of entry index (the entry itself may go away with its thread).
  TDgnDebugThreadInfo Entry(int index) const;

  // Called in the main thread for each reported exception; empty by default.
  TDgnDebugThreadExceptionEvent OnDebugThreadException;

private:
  std::vector<std::unique_ptr<TDgnDebugThreadInfo>> FItems;
  TDgnCriticalSection FRegistryLock;
  mutable TDgnCriticalSection FReadLock;
};

TDgnDebugThreadList* GetDebugThreadList();

// How the main thread waits for a thread's end: the program installs its one main-thread wait,
// which keeps synchronised calls going. Without one the main thread waits plainly, so a thread
// that synchronises must not be waited for from the main thread.
using TDgnMainThreadWaitProc = void (*)(HANDLE handle);
void DgnSetMainThreadWait(TDgnMainThreadWaitProc proc);
// At the library's shutdown: frees the registry with its entries.
void FreeDebugThreadList();
