#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <functional>
#include <vector>

#include "lib/dgn/common/DgnErrors.h"
#include "lib/dgn/windows/DgnDebugThread.h"
#include "lib/dgn/windows/DgnStackInfo.h"
#include "support/TestSupport.h"

// The program installs its own main-thread wait (the foundation's); these tests, which link
// the library alone, keep synchronised calls going with a small one of their own.
namespace {
void PumpingWait(HANDLE handle) {
  while (MsgWaitForMultipleObjects(1, &handle, FALSE, INFINITE, QS_ALLINPUT) != WAIT_OBJECT_0) {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  }
}
const bool PumpingWaitInstalled = (DgnSetMainThreadWait(&PumpingWait), true);
}  // namespace

CW_DECLARE_EXCEPTION(EWorkerFailure, Exception);
CW_DECLARE_EXCEPTION(EWorkerAbort, EAbort);

// A worker whose work is given as a function; the report of an escaping exception is made the
// way the application's thread class makes it.
class TTestWorker : public TDgnDebugThread {
public:
  TTestWorker(bool suspended, const std::wstring& name, std::function<void(TTestWorker&)> work)
      : TDgnDebugThread(suspended, name), FWork(std::move(work)) {}
  ~TTestWorker() override {
    Terminate();
    WaitForWorker(*this, 10000);
  }
  using TDgnDebugThread::ReportException;
  using TDgnDebugThread::Synchronize;

protected:
  void Execute() override {
    try {
      FWork(*this);
    } catch (...) {
      ReportException();
    }
  }

private:
  std::function<void(TTestWorker&)> FWork;
};

// A worker that lets whatever its work raises leave Execute.
class TBareWorker : public TDgnDebugThread {
public:
  TBareWorker(std::function<void()> work) : TDgnDebugThread(false, L""), FWork(std::move(work)) {}
  ~TBareWorker() override {
    Terminate();
    WaitFor();
  }

protected:
  void Execute() override { FWork(); }

private:
  std::function<void()> FWork;
};

namespace {

// Sets the registry's report event for one test.
class TReportEvent {
public:
  explicit TReportEvent(TDgnDebugThreadExceptionEvent fn) {
    GetDebugThreadList()->OnDebugThreadException = std::move(fn);
  }
  ~TReportEvent() { GetDebugThreadList()->OnDebugThreadException = nullptr; }
};

struct TReport {
  DWORD InThread;
  DWORD ForThread;
  std::wstring Message;
};

}  // namespace

TEST(DgnDebugThread, AThreadIsRegisteredBeforeItRunsAndUntilItIsFreed) {
  std::atomic<bool> listedWhileRunning{false};
  auto* t = TDgnDebugThread::Create<TTestWorker>(false, L"registered", [&](TTestWorker&) {
    listedWhileRunning = GetDebugThreadList()->IndexOfThreadID(GetCurrentThreadId()) >= 0;
  });
  ASSERT_TRUE(WaitForWorker(*t, 10000));
  EXPECT_TRUE(listedWhileRunning);
  TDgnDebugThreadList* list = GetDebugThreadList();
  int index = list->IndexOfThreadID(t->ThreadID());
  ASSERT_GE(index, 0);
  TDgnDebugThreadInfo info = list->Entry(index);
  EXPECT_EQ(L"registered", info.ThreadName);
  EXPECT_EQ(L"TTestWorker", info.ClassName);
  EXPECT_EQ(GetCurrentThreadId(), info.ParentThreadID);
  EXPECT_EQ(t->Handle(), info.ThreadHandle);
  EXPECT_GT(info.CreationTime, 40000.0);
  DWORD id = t->ThreadID();
  delete t;
  EXPECT_EQ(-1, list->IndexOfThreadID(id));
}

TEST(DgnDebugThread, ASuspendedThreadRunsOnlyWhenStartedNoRunWithin50Ms) {
  std::atomic<int> runs{0};
  auto* t = TDgnDebugThread::Create<TTestWorker>(true, L"", [&](TTestWorker&) { ++runs; });
  EXPECT_GE(GetDebugThreadList()->IndexOfThreadID(t->ThreadID()), 0);
  ScaledSleep(50);
  EXPECT_EQ(0, runs);
  t->Start();
  ASSERT_TRUE(WaitForWorker(*t, 10000));
  EXPECT_EQ(1, runs);
  delete t;

  // Freed without ever being started: its work never runs.
  auto* never = new TTestWorker(true, L"", [&](TTestWorker&) { ++runs; });
  delete never;
  EXPECT_EQ(1, runs);
}

TEST(DgnDebugThread, RegisteringAThreadIdTwiceKeepsTheFirstEntry) {
  auto* t = TDgnDebugThread::Create<TTestWorker>(true, L"first", [](TTestWorker&) {});
  TDgnDebugThreadList* list = GetDebugThreadList();
  int before = list->Count();
  list->RegisterThread(t, L"second");
  EXPECT_EQ(before, list->Count());
  EXPECT_EQ(L"first", list->Entry(list->IndexOfThreadID(t->ThreadID())).ThreadName);
  list->UnregisterThread(t);
  list->UnregisterThread(t);  // an id no longer listed is ignored
  EXPECT_EQ(before - 1, list->Count());
  delete t;
}

TEST(DgnDebugThread, AThreadThatFreesItselfLeavesTheRegistry) {
  auto* t = new TTestWorker(true, L"", [](TTestWorker&) {});
  DWORD id = t->ThreadID();
  HANDLE handle;
  DuplicateHandle(GetCurrentProcess(), t->Handle(), GetCurrentProcess(), &handle, 0, FALSE,
                  DUPLICATE_SAME_ACCESS);
  t->FreeOnTerminate = true;
  t->Start();
  EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(handle, ScaledMs(5000)));
  EXPECT_EQ(-1, GetDebugThreadList()->IndexOfThreadID(id));
  CloseHandle(handle);
}

TEST(DgnDebugThread, SynchronizeRunsInTheMainThreadAndCarriesItsExceptionBack) {
  DWORD mainId = GetCurrentThreadId();
  DWORD ranIn = 0;
  std::wstring caught;
  std::wstring caughtClass;
  auto* t = TDgnDebugThread::Create<TTestWorker>(false, L"", [&](TTestWorker& self) {
    self.Synchronize([&] { ranIn = GetCurrentThreadId(); });
    try {
      self.Synchronize([] { throw EDgnError(L"failed in the main thread"); });
    } catch (const EDgnError& e) {
      caught = e.Message();
      caughtClass = e.ClassName();
    }
  });
  ASSERT_TRUE(WaitForWorker(*t, 10000));
  delete t;
  EXPECT_EQ(mainId, ranIn);
  EXPECT_EQ(L"failed in the main thread", caught);
  EXPECT_EQ(L"EDgnError", caughtClass);
}

TEST(DgnDebugThread, AWorkersExceptionIsReportedOnceInTheMainThread) {
  std::vector<TReport> reports;
  TReportEvent event([&](TDgnDebugThread* thread) {
    const Exception* e = thread->ReportedException();
    reports.push_back({GetCurrentThreadId(), thread->ThreadID(), e ? e->Message() : L"?"});
  });
  auto* t = TDgnDebugThread::Create<TTestWorker>(false, L"", [](TTestWorker&) {
    throw EWorkerFailure(L"worker failed");
  });
  ASSERT_TRUE(WaitForWorker(*t, 10000));
  ASSERT_EQ(1u, reports.size());
  EXPECT_EQ(GetCurrentThreadId(), reports[0].InThread);
  EXPECT_EQ(t->ThreadID(), reports[0].ForThread);
  EXPECT_EQ(L"worker failed", reports[0].Message);
  EXPECT_EQ(nullptr, t->ReportedException());  // cleared once the report is over
  EXPECT_FALSE(t->FatalException());
  delete t;
}

TEST(DgnDebugThread, AbortsAndReportsWithoutAnExceptionAreNotReported) {
  int reports = 0;
  TReportEvent event([&](TDgnDebugThread*) { ++reports; });
  auto* aborting = TDgnDebugThread::Create<TTestWorker>(false, L"", [](TTestWorker&) {
    throw EWorkerAbort(L"quietly");
  });
  ASSERT_TRUE(WaitForWorker(*aborting, 10000));
  delete aborting;
  auto* outside = TDgnDebugThread::Create<TTestWorker>(false, L"", [](TTestWorker& self) {
    self.ReportException();  // no exception being handled
  });
  ASSERT_TRUE(WaitForWorker(*outside, 10000));
  delete outside;
  EXPECT_EQ(0, reports);
}

// The report's own failure in the main thread reaches the worker, which lets it escape; the
// reported exception is cleared all the same.
TEST(DgnDebugThread, AFailingReportPassesItsExceptionToTheWorker) {
  TReportEvent event([](TDgnDebugThread*) { throw EDgnError(L"report failed"); });
  std::wstring escaped;
  const Exception* afterwards = reinterpret_cast<const Exception*>(1);
  auto* t = TDgnDebugThread::Create<TTestWorker>(false, L"", [&](TTestWorker& self) {
    try {
      throw EWorkerFailure(L"worker failed");
    } catch (...) {
      try {
        self.ReportException();
      } catch (const EDgnError& e) {
        escaped = e.Message();
      }
      afterwards = self.ReportedException();
    }
  });
  ASSERT_TRUE(WaitForWorker(*t, 10000));
  delete t;
  EXPECT_EQ(L"report failed", escaped);
  EXPECT_EQ(nullptr, afterwards);
}

// The thread's entry guard: what leaves the work is reported like a caught exception; what the
// report lets escape is kept, and the thread still ends normally.
TEST(DgnDebugThread, AnExceptionLeavingTheWorkIsReportedByTheEntryGuard) {
  std::vector<std::wstring> reports;
  TReportEvent event([&](TDgnDebugThread* thread) {
    const Exception* e = thread->ReportedException();
    reports.push_back(e ? e->Message() : L"?");
  });
  auto* t = TDgnDebugThread::Create<TBareWorker>([] { throw EWorkerFailure(L"left the work"); });
  EXPECT_EQ(0u, t->WaitFor());
  EXPECT_EQ(std::vector<std::wstring>{L"left the work"}, reports);
  EXPECT_FALSE(t->FatalException());
  delete t;

  TReportEvent failing([](TDgnDebugThread*) { throw EDgnError(L"report failed"); });
  auto* u = TDgnDebugThread::Create<TBareWorker>([] { throw EWorkerFailure(L"left the work"); });
  u->WaitFor();
  ASSERT_TRUE(u->FatalException());
  std::wstring kept;
  try {
    std::rethrow_exception(u->FatalException());
  } catch (const EDgnError& e) {
    kept = e.Message();
  }
  EXPECT_EQ(L"report failed", kept);
  delete u;
}
