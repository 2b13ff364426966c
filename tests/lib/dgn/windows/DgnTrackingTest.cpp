#include <gtest/gtest.h>
#include <windows.h>

#include <sstream>
#include <vector>

#include "lib/dgn/windows/DgnDebugThread.h"
#include "lib/dgn/windows/DgnOsExceptions.h"
#include "lib/dgn/windows/DgnStackInfo.h"
#include "support/TestSupport.h"

CW_DECLARE_EXCEPTION(ETrackedFailure, Exception);
CW_DECLARE_EXCEPTION(ETrackedAbort, EAbort);

static int GLineThrow, GLineCallThrower, GLineFault, GLineCallFaulter;

__attribute__((noinline)) static void TrackedThrower(const wchar_t* message) {
  GLineThrow = __LINE__ + 1;
  throw ETrackedFailure(message);
}

__attribute__((noinline)) static void TrackedCaller(const wchar_t* message) {
  GLineCallThrower = __LINE__ + 1;
  TrackedThrower(message);
}

// Not specialised for its argument: the optimiser would see the null pointer and replace the
// read by a trap of its own.
__attribute__((noipa)) static int TrackedFaulter(volatile int* p) {
  GLineFault = __LINE__ + 1;
  return *p;
}

__attribute__((noipa)) static int TrackedFaultCaller() {
  GLineCallFaulter = __LINE__ + 1;
  return TrackedFaulter(nullptr);
}

namespace {

// Tracking on for one test.
class TTracking {
public:
  TTracking() { EXPECT_TRUE(EnableExceptionStackTracking()); }
  ~TTracking() { EXPECT_TRUE(DisableExceptionStackTracking()); }
};

std::wstring Entry(const std::shared_ptr<TDgnStackInfoList>& stack, int i) {
  if (!stack || i >= stack->GetCount())
    return L"<none>";
  return FormatLocationInfo(stack->EntryAt(i)->GetCallerAddr(), true, true, true, false);
}

std::wstring At(const wchar_t* proc, int line, const wchar_t* unit = L"DgnTrackingTest") {
  return std::wstring(unit) + L"." + proc + L" (Line " + std::to_wstring(line) + L", \"" + unit + L".cpp\"";
}

#define EXPECT_CONTAINS(haystack, needle) \
  EXPECT_NE(std::wstring::npos, (haystack).find(needle)) << WideToUtf8(haystack)

class TTrackedWorker : public TDgnDebugThread {
public:
  TTrackedWorker(const wchar_t* message) : TDgnDebugThread(true, L"tracked"), FMessage(message) {}
  ~TTrackedWorker() override { WaitForWorker(*this, 10000); }

protected:
  void Execute() override {
    try {
      TrackedCaller(FMessage);
    } catch (...) {
      ReportException();
    }
  }

private:
  const wchar_t* FMessage;
};

// What the exception report sees in the main thread for a worker.
struct TThreadReport {
  DWORD Thread;
  std::wstring Message;
  std::wstring First, Second;
};

class TReportCollector {
public:
  TReportCollector() {
    GetDebugThreadList()->OnDebugThreadException = [this](TDgnDebugThread* t) {
      std::shared_ptr<TDgnStackInfoList> stack = GetLastExceptionStack();
      Reports.push_back({t->ThreadID(), t->ReportedException() ? t->ReportedException()->Message() : L"",
                         Entry(stack, 0), Entry(stack, 1)});
      // An exception raised in the main thread during the report stays the main thread's.
      try {
        throw ETrackedFailure(L"inside the report");
      } catch (const ETrackedFailure&) {
      }
      EXPECT_EQ(stack, GetLastExceptionStack());
    };
  }
  ~TReportCollector() { GetDebugThreadList()->OnDebugThreadException = nullptr; }
  std::vector<TThreadReport> Reports;
};

}  // namespace

TEST(DgnTracking, ASecondUserNeedsASecondDisable) {
  ASSERT_TRUE(EnableExceptionStackTracking());
  EXPECT_FALSE(EnableExceptionStackTracking());
  EXPECT_FALSE(DisableExceptionStackTracking());
  EXPECT_TRUE(DisableExceptionStackTracking());
  EXPECT_FALSE(DisableExceptionStackTracking());
}

TEST(DgnTracking, ARaisedExceptionsTraceStartsAtTheThrowThenItsCallers) {
  TTracking tracking;
  try {
    TrackedCaller(L"first");
  } catch (const ETrackedFailure&) {
  }
  std::shared_ptr<TDgnStackInfoList> stack = GetLastExceptionStack();
  ASSERT_TRUE(stack);
  EXPECT_CONTAINS(Entry(stack, 0), At(L"TrackedThrower", GLineThrow));
  EXPECT_CONTAINS(Entry(stack, 1), At(L"TrackedCaller", GLineCallThrower));
  EXPECT_CONTAINS(Entry(stack, 0), L"{test_dgn.exe}");
}

TEST(DgnTracking, OnlyTheLatestTraceOfAThreadIsKept_AbortsRecordNothing) {
  TTracking tracking;
  try {
    TrackedCaller(L"first");
  } catch (const ETrackedFailure&) {
  }
  std::shared_ptr<TDgnStackInfoList> first = GetLastExceptionStack();
  int lineSecond = __LINE__ + 2;
  try {
    throw ETrackedFailure(L"second");
  } catch (const ETrackedFailure&) {
  }
  std::shared_ptr<TDgnStackInfoList> second = GetLastExceptionStack();
  ASSERT_NE(first, second);
  EXPECT_CONTAINS(Entry(second, 0), L"(Line " + std::to_wstring(lineSecond) + L",");

  try {
    throw ETrackedAbort(L"quiet");
  } catch (const EAbort&) {
  }
  EXPECT_EQ(second, GetLastExceptionStack());
}

TEST(DgnTracking, NothingIsRecordedWhileTrackingIsOff) {
  {
    TTracking tracking;
    try {
      TrackedCaller(L"on");
    } catch (const ETrackedFailure&) {
    }
  }
  std::shared_ptr<TDgnStackInfoList> before = GetLastExceptionStack();
  try {
    throw ETrackedFailure(L"off");
  } catch (const ETrackedFailure&) {
  }
  EXPECT_EQ(before, GetLastExceptionStack());
}

TEST(DgnTracking, AnAccessViolationIsCaughtAsItsClassWithATrace) {
  TTracking tracking;
  std::wstring message;
  try {
    TrackedFaultCaller();
  } catch (const EAccessViolation& e) {
    message = e.Message();
  }
  EXPECT_CONTAINS(message, L"Access violation");
  std::shared_ptr<TDgnStackInfoList> stack = GetLastExceptionStack();
  ASSERT_TRUE(stack);
  // The faulting instruction first (an entry with nothing but the address), then the caller.
  EXPECT_EQ(0u, stack->EntryAt(0)->StackInfo.Level);
  EXPECT_CONTAINS(Entry(stack, 0), At(L"TrackedFaulter", GLineFault));
  EXPECT_CONTAINS(Entry(stack, 1), At(L"TrackedFaultCaller", GLineCallFaulter));
}

TEST(DgnTracking, AWorkersExceptionIsReportedOnceWithItsOwnTrace) {
  TTracking tracking;
  TReportCollector collector;
  // The main thread's own last trace, to see that the report does not disturb it.
  try {
    throw ETrackedFailure(L"main");
  } catch (const ETrackedFailure&) {
  }
  std::shared_ptr<TDgnStackInfoList> mainStack = GetLastExceptionStack();

  auto* worker = TDgnDebugThread::Create<TTrackedWorker>(L"from the worker");
  worker->Start();
  ASSERT_TRUE(WaitForWorker(*worker, 10000));
  ASSERT_EQ(1u, collector.Reports.size());
  const TThreadReport& r = collector.Reports[0];
  EXPECT_EQ(worker->ThreadID(), r.Thread);
  EXPECT_EQ(L"from the worker", r.Message);
  EXPECT_CONTAINS(r.First, At(L"TrackedThrower", GLineThrow));
  EXPECT_CONTAINS(r.Second, At(L"TrackedCaller", GLineCallThrower));
  delete worker;
  // After the report the main thread's lookups are its own again; the exception raised inside
  // the report was recorded for the main thread.
  std::shared_ptr<TDgnStackInfoList> now = GetLastExceptionStack();
  EXPECT_NE(mainStack, now);
  EXPECT_EQ(GetCurrentThreadId(), now->ThreadID());
}

TEST(DgnTracking, TwoWorkersReportOneAfterTheOtherEachWithItsTrace) {
  TTracking tracking;
  TReportCollector collector;
  auto* a = TDgnDebugThread::Create<TTrackedWorker>(L"a");
  auto* b = TDgnDebugThread::Create<TTrackedWorker>(L"b");
  a->Start();
  b->Start();
  ASSERT_TRUE(WaitForWorker(*a, 10000));
  ASSERT_TRUE(WaitForWorker(*b, 10000));
  ASSERT_EQ(2u, collector.Reports.size());
  for (const TThreadReport& r : collector.Reports) {
    EXPECT_TRUE(r.Thread == a->ThreadID() ? r.Message == L"a" : r.Message == L"b");
    EXPECT_CONTAINS(r.First, At(L"TrackedThrower", GLineThrow));
  }
  EXPECT_NE(collector.Reports[0].Thread, collector.Reports[1].Thread);
  delete a;
  delete b;
}

TEST(DgnTracking, ShutdownEndsTrackingAndALaterUseStartsAfresh) {
  ASSERT_TRUE(EnableExceptionStackTracking());
  EXPECT_FALSE(EnableExceptionStackTracking());  // a second user
  try {
    TrackedCaller(L"before shutdown");
  } catch (const ETrackedFailure&) {
  }
  ASSERT_TRUE(GetLastExceptionStack());
  DgnStackInfoShutdown();
  EXPECT_FALSE(GetLastExceptionStack());
  EXPECT_TRUE(IsExceptionClassIgnored(&typeid(EAbort)));
  // The single disable of the shutdown took away one user; the other one is left.
  EXPECT_FALSE(EnableExceptionStackTracking());
  EXPECT_FALSE(DisableExceptionStackTracking());
  EXPECT_TRUE(DisableExceptionStackTracking());
}

// ---- the demo program ---------------------------------------------------------------------

namespace {

// Runs a copy of the demo program and gives its lines.
std::vector<std::wstring> RunDemo(const std::wstring& exe, const TTempDir& dir) {
  std::wstring out = dir.File(L"trace.txt");
  std::wstring cmd = L"\"" + exe + L"\" \"" + out + L"\"";
  STARTUPINFOW si = {};
  si.cb = sizeof(si);
  PROCESS_INFORMATION pi = {};
  std::vector<std::wstring> lines;
  if (!CreateProcessW(nullptr, &cmd[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    ADD_FAILURE() << "cannot start the demo";
    return lines;
  }
  if (WaitForSingleObject(pi.hProcess, ScaledMs(60000)) != WAIT_OBJECT_0) {
    ADD_FAILURE() << "the demo did not end within " << ScaledMs(60000) << " ms";
    TerminateProcess(pi.hProcess, 99);
    WaitForSingleObject(pi.hProcess, ScaledMs(5000));
  }
  DWORD code = 99;
  GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  EXPECT_EQ(0u, code);
  std::wistringstream in(Utf8ToWide(ReadTextFile(out)));
  std::wstring line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == L'\r')
      line.pop_back();
    lines.push_back(line);
  }
  return lines;
}

std::wstring DemoAt(const wchar_t* proc) { return std::wstring(L" DgnDemo.") + proc + L" (Line "; }

void ExpectDemoTrace(const std::vector<std::wstring>& lines, const std::wstring& exeName) {
  ASSERT_GE(lines.size(), 5u);
  ASSERT_EQ(0u, lines[0].find(L"raise-line="));
  std::wstring raiseLine = lines[0].substr(11);
  std::wstring module = WideFormat(L"{%-12ls}", exeName.c_str());
  EXPECT_CONTAINS(lines[1], L"]" + module + DemoAt(L"TDemoThrower.Raise") + raiseLine +
                                L", \"DgnDemo.cpp\" + 3) + $");
  EXPECT_CONTAINS(lines[2], DemoAt(L"DemoMiddle"));
  EXPECT_CONTAINS(lines[3], DemoAt(L"DemoOuter"));
  EXPECT_CONTAINS(lines[4], DemoAt(L"main"));
}

}  // namespace

TEST(DgnDemoProgram, TraceNamesTheThrowingFunctionThenItsCallers_DebugInfoInASection) {
  TTempDir dir;
  ExpectDemoTrace(RunDemo(TestBinDir() + L"dgn_demo_section.exe", dir), L"dgn_demo_section.exe");
}

TEST(DgnDemoProgram, TraceNamesTheThrowingFunctionThenItsCallers_DebugInfoInADdbgFile) {
  TTempDir dir;
  ExpectDemoTrace(RunDemo(TestBinDir() + L"dgn_demo.exe", dir), L"dgn_demo.exe");
}

TEST(DgnDemoProgram, WithoutDebugInformationTheTraceShowsAddressesOnly) {
  TTempDir dir;
  std::wstring copy = dir.File(L"dgn_demo.exe");
  ASSERT_TRUE(CopyFileW((TestBinDir() + L"dgn_demo.exe").c_str(), copy.c_str(), FALSE));
  std::vector<std::wstring> lines = RunDemo(copy, dir);
  ASSERT_GE(lines.size(), 5u);
  for (size_t i = 1; i < lines.size(); ++i) {
    // "(relative){dgn_demo.exe} [address]" and nothing else.
    EXPECT_EQ(35u, lines[i].size()) << WideToUtf8(lines[i]);
    EXPECT_EQ(0u, lines[i].find(L"(")) << WideToUtf8(lines[i]);
    EXPECT_CONTAINS(lines[i], L"){dgn_demo.exe} [");
  }
}
