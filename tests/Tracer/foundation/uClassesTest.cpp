#include "Tracer/foundation/uClasses.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "Tracer/foundation/uUtils.h"
#include "Tracer/foundation/uWideStrUtils.h"
#include "support/TestSupport.h"

namespace {

// Frees the program's services once all tests ran, as the program's main function does.
void FreeServicesAtExit() {
  static bool added = false;
  if (!added) {
    added = true;
    AddTestShutdown(FreeInstanceList);
  }
}

// A thread that a test can wait for with a time-out (scaled); a thread stuck in a deadlock is
// killed so the test fails instead of hanging.
class TTestThread {
public:
  explicit TTestThread(std::function<void()> body) : FBody(std::move(body)) {
    FHandle = CreateThread(nullptr, 0, Entry, this, 0, nullptr);
  }
  ~TTestThread() {
    if (!Wait(10000)) TerminateThread(FHandle, 1);
    CloseHandle(FHandle);
  }
  bool Wait(DWORD ms) { return WaitForSingleObject(FHandle, ScaledMs(ms)) == WAIT_OBJECT_0; }
  bool Failed() const { return FFailed; }

private:
  static DWORD WINAPI Entry(void* self) {
    auto* t = static_cast<TTestThread*>(self);
    try {
      t->FBody();
    } catch (...) {
      t->FFailed = true;
    }
    return 0;
  }
  std::function<void()> FBody;
  HANDLE FHandle;
  std::atomic<bool> FFailed{false};
};

BOOL WINAPI NoFrequency(LARGE_INTEGER*) {
  SetLastError(ERROR_NOT_SUPPORTED);
  return FALSE;
}

BOOL WINAPI TenMegahertz(LARGE_INTEGER* f) {
  f->QuadPart = 10000000;
  return TRUE;
}

class TOwnedDefinition : public TUnknownObject {
public:
  explicit TOwnedDefinition(bool* freed) : FFreed(freed) {}
  ~TOwnedDefinition() override { *FFreed = true; }

private:
  bool* FFreed;
};

}  // namespace

TEST(UnknownObject, InterfacePointersNeverEndItsLife) {
  bool freed = false;
  auto* def = new TOwnedDefinition(&freed);
  IUnknown* unk = nullptr;
  ASSERT_EQ(def->QueryInterface(__uuidof(IUnknown), reinterpret_cast<void**>(&unk)), S_OK);
  EXPECT_EQ(unk->AddRef(), static_cast<ULONG>(-1));
  EXPECT_EQ(unk->Release(), static_cast<ULONG>(-1));
  EXPECT_EQ(unk->Release(), static_cast<ULONG>(-1));
  EXPECT_FALSE(freed) << "the last Release must not free an owned object";
  void* disp = reinterpret_cast<void*>(1);
  EXPECT_EQ(unk->QueryInterface(__uuidof(IDispatch), &disp), E_NOINTERFACE);
  EXPECT_EQ(disp, nullptr);
  delete def;  // its owner decides
  EXPECT_TRUE(freed);
}

TEST(TimeCounter, WithoutHighResolutionCounterFallsBackToTicks) {
  TTimeCounter counter(NoFrequency);
  EXPECT_FALSE(counter.IsHighResolution());
  EXPECT_EQ(counter.ElapsedMs(1000, 1500), 500.0L);
  // Wine's tick count may lag behind a sleep: wait for the ticks themselves to move on.
  const DWORD ticks = GetTickCount();
  const int64_t a = counter.GetTimeStamp();
  ASSERT_TRUE(PollUntil([&] { return GetTickCount() - ticks >= 20; }, 5000));
  EXPECT_GE(counter.GetTimeStamp(), a + 10);

  try {
    TPerformanceTimeCounterImpl impl(NoFrequency);
    FAIL() << "no exception";
  } catch (const EOSError& e) {
    EXPECT_EQ(e.ErrorCode, static_cast<uint32_t>(ERROR_NOT_SUPPORTED));
    EXPECT_NE(e.Message().find(L"\r\nat QueryPerformanceFrequency"), std::wstring::npos);
  }
}

TEST(TimeCounter, ElapsedMillisecondsFromPerformanceCounts) {
  TPerformanceTimeCounterImpl impl(TenMegahertz);
  EXPECT_EQ(impl.ElapsedMs(0, 25000), 2.5L);
  EXPECT_EQ(impl.ElapsedMs(25000, 0), -2.5L) << "no clamping of a stop before the start";
  EXPECT_DOUBLE_EQ(static_cast<double>(impl.ElapsedMs(-10000, 10000)), 2.0);
}

TEST(TimeCounter, ServiceMeasuresASleep) {
  FreeServicesAtExit();
  TTimeCounter* counter = GetTimeCounter();
  EXPECT_EQ(GetTimeCounter(), counter);
  EXPECT_TRUE(counter->IsHighResolution());
  const int64_t start = counter->GetTimeStamp();
  ScaledSleep(50);
  const long double ms = counter->ElapsedMs(start, counter->GetTimeStamp());
  EXPECT_GE(ms, 40.0L);
  EXPECT_LT(ms, static_cast<long double>(ScaledMs(1000)));
}

TEST(Processes, SnapshotHasAChildWithItsPathButNeverOurselves) {
  wchar_t sys[MAX_PATH];
  GetSystemDirectoryW(sys, MAX_PATH);
  const std::wstring cmd = std::wstring(sys) + L"\\cmd.exe";
  // cmd waits on a pipe that stays open until the snapshot is taken.
  SECURITY_ATTRIBUTES sa{sizeof(sa), nullptr, TRUE};
  HANDLE readEnd = nullptr, writeEnd = nullptr;
  ASSERT_TRUE(CreatePipe(&readEnd, &writeEnd, &sa, 0));
  SetHandleInformation(writeEnd, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOW si{};
  si.cb = sizeof(si);
  si.dwFlags = STARTF_USESTDHANDLES;
  si.hStdInput = readEnd;
  HANDLE nul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, OPEN_EXISTING, 0,
                           nullptr);
  si.hStdOutput = nul;
  si.hStdError = nul;
  PROCESS_INFORMATION pi{};
  std::wstring line = L"\"" + cmd + L"\" /q";
  ASSERT_TRUE(CreateProcessW(cmd.c_str(), line.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr,
                             nullptr, &si, &pi));
  CloseHandle(readEnd);
  CloseHandle(nul);
  WaitForInputIdle(pi.hProcess, ScaledMs(2000));

  const TProcess* child = nullptr;
  TProcesses processes;
  for (int attempt = 0; attempt < 50 && child == nullptr; ++attempt) {
    if (attempt > 0) {
      ScaledSleep(100);
      processes.Refresh();
    }
    for (int i = 0; i < processes.Count(); ++i) {
      EXPECT_NE(processes.GetItem(i)->ProcessId(), GetCurrentProcessId());
      EXPECT_FALSE(processes.GetItem(i)->FileName().empty());
      if (processes.GetItem(i)->ProcessId() == pi.dwProcessId) child = processes.GetItem(i);
    }
  }
  ASSERT_NE(child, nullptr) << "the child process is not in the snapshot";
  std::wstring name = WideExtractFileName(child->FileName());
  for (auto& c : name) c = WideUpCaseChar(c);
  EXPECT_EQ(name, L"CMD.EXE");
  EXPECT_THROW(processes.GetItem(processes.Count()), EListError);

  CloseHandle(writeEnd);
  if (WaitForSingleObject(pi.hProcess, ScaledMs(5000)) != WAIT_OBJECT_0) TerminateProcess(pi.hProcess, 1);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
}

TEST(DebugRWSync, WriterNestsWritesAndReadsAndThenLetsOthersInNoReaderWithin100Ms) {
  TMultiReadExclusiveWriteSync sync;
  sync.BeginWrite();
  sync.BeginWrite();
  sync.BeginRead();
  sync.BeginRead();
  sync.EndRead();
  sync.EndWrite();
  std::atomic<bool> otherRead{false};
  {
    TTestThread reader([&] {
      sync.BeginRead();
      otherRead = true;
      sync.EndRead();
    });
    EXPECT_FALSE(reader.Wait(100)) << "a reader got in while the write lock is held";
    sync.EndRead();
    EXPECT_FALSE(reader.Wait(100)) << "a reader got in while the write lock is held";
    sync.EndWrite();
    EXPECT_TRUE(reader.Wait(5000));
  }
  EXPECT_TRUE(otherRead);
  TTestThread writer([&] {
    sync.BeginWrite();
    sync.EndWrite();
  });
  EXPECT_TRUE(writer.Wait(5000)) << "the lock was not fully released";
}

TEST(DebugRWSync, ReadersShareTheLock) {
  TMultiReadExclusiveWriteSync sync;
  std::atomic<int> inside{0};
  std::atomic<int> sawAll{0};
  std::vector<std::unique_ptr<TTestThread>> threads;
  for (int i = 0; i < 3; ++i) {
    threads.push_back(std::make_unique<TTestThread>([&] {
      TReadLock lock(sync);
      ++inside;
      PollUntil([&] { return inside == 3; }, 5000);
      if (inside == 3) ++sawAll;
    }));
  }
  for (auto& t : threads) EXPECT_TRUE(t->Wait(10000));
  EXPECT_EQ(sawAll, 3) << "readers did not hold the lock at the same time";
}

TEST(DebugRWSync, RecursiveReadWhileAWriterWaitsDoesNotDeadlockNoWriterWithin150Ms) {
  TMultiReadExclusiveWriteSync sync;
  std::vector<std::string> order;
  std::atomic<bool> writerIn{false};
  sync.BeginRead();
  TTestThread writer([&] {
    TWriteLock lock(sync);
    writerIn = true;
  });
  EXPECT_FALSE(writer.Wait(150));
  EXPECT_FALSE(writerIn);
  // A new reader queues behind the waiting writer...
  std::atomic<bool> newReaderIn{false};
  std::atomic<bool> writerWasFirst{false};
  TTestThread newReader([&] {
    TReadLock lock(sync);
    writerWasFirst = writerIn.load();
    newReaderIn = true;
  });
  EXPECT_FALSE(newReader.Wait(150));
  // ...but we already read, so we get in again at once.
  sync.BeginRead();
  sync.BeginRead();
  sync.EndRead();
  sync.EndRead();
  EXPECT_FALSE(writerIn);
  sync.EndRead();
  EXPECT_TRUE(writer.Wait(5000));
  EXPECT_TRUE(newReader.Wait(5000));
  EXPECT_TRUE(writerIn);
  EXPECT_TRUE(newReaderIn);
  EXPECT_TRUE(writerWasFirst) << "a new reader overtook the waiting writer";
}

TEST(DebugRWSync, OnlyReaderMayTakeTheWriteLockNoOtherReaderWithin100Ms) {
  TMultiReadExclusiveWriteSync sync;
  sync.BeginRead();
  sync.BeginWrite();
  std::atomic<bool> otherIn{false};
  TTestThread reader([&] {
    TReadLock lock(sync);
    otherIn = true;
  });
  EXPECT_FALSE(reader.Wait(100));
  sync.EndWrite();
  // Still a reader: others may read again.
  EXPECT_TRUE(reader.Wait(5000));
  EXPECT_TRUE(otherIn);
  sync.EndRead();
}

namespace {
TMultiReadExclusiveWriteSync* gPumpedSync = nullptr;
std::atomic<bool> gReadInsideHandler{false};

// A call the debugging thread sends to the main thread; it reads the lock itself.
LRESULT CALLBACK ReadingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_APP) return DefWindowProcW(window, message, wParam, lParam);
  try {
    TReadLock lock(*gPumpedSync);
    gReadInsideHandler = true;
  } catch (...) {
  }
  return 1;
}
}  // namespace

TEST(DebugRWSync, TheMainThreadWaitingToWriteHandlesACallSentByAReader) {
  TMultiReadExclusiveWriteSync sync;
  gPumpedSync = &sync;
  gReadInsideHandler = false;
  WNDCLASSW cls{};
  cls.lpfnWndProc = ReadingWindowProc;
  cls.hInstance = GetModuleHandleW(nullptr);
  cls.lpszClassName = L"CwPumpedLockTest";
  RegisterClassW(&cls);
  HWND window = CreateWindowW(L"CwPumpedLockTest", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, cls.hInstance, nullptr);
  ASSERT_NE(window, nullptr);
  std::atomic<bool> reading{false};
  std::atomic<bool> answered{false};
  // The debugging thread holds the read lock while its handler calls into the main thread.
  TTestThread reader([&] {
    TReadLock lock(sync);
    reading = true;
    ScaledSleep(100);  // the main thread is waiting for the write lock by now
    DWORD_PTR result = 0;
    answered = SendMessageTimeoutW(window, WM_APP, 0, 0, SMTO_BLOCK, ScaledMs(5000), &result) != 0 && result == 1;
  });
  ASSERT_TRUE(PollUntil([&] { return reading.load(); }, 5000));
  sync.BeginWrite();  // pumps: the call is handled, the reader finishes, the lock is ours
  sync.EndWrite();
  EXPECT_TRUE(reader.Wait(10000));
  EXPECT_TRUE(answered) << "the main thread did not handle the call while it waited";
  EXPECT_TRUE(gReadInsideHandler) << "a read inside the pumped wait must not wait for that very wait";
  DestroyWindow(window);
  gPumpedSync = nullptr;
}

TEST(DebugRWSync, UnpairedEndIsAnAssertionFailure) {
  TMultiReadExclusiveWriteSync sync;
  EXPECT_THROW(sync.EndRead(), EAssertionFailed);
  EXPECT_THROW(sync.EndWrite(), EAssertionFailed);
  sync.BeginWrite();
  TTestThread other([&] {
    try {
      sync.EndWrite();
    } catch (const EAssertionFailed&) {
      return;
    }
    throw 1;
  });
  EXPECT_TRUE(other.Wait(5000));
  EXPECT_FALSE(other.Failed()) << "another thread ended our write lock";
  sync.EndWrite();
}

// Three readers and a writer, all nesting, on the engine's own lock: the writer changes two
// values together, and no reader may ever see them differ or see the writer inside.
TEST(DebugRWSync, ThreeReadersAndANestingWriterStayConsistent) {
  FreeServicesAtExit();
  TDebugRWSync* sync = GetDebugRWSync();
  EXPECT_EQ(GetDebugRWSync(), sync);
  std::atomic<int> readersInside{0};
  std::atomic<bool> writerInside{false};
  int64_t a = 0, b = 0;
  std::atomic<int> violations{0};
  std::atomic<int> reads{0};
  std::atomic<bool> stop{false};
  auto reader = [&] {
    while (!stop) {
      TReadLock outer(*sync);
      ++readersInside;
      if (writerInside) ++violations;
      {
        TReadLock inner(*sync);
        if (a != b) ++violations;
      }
      if (a != b) ++violations;
      --readersInside;
      ++reads;
    }
  };
  std::vector<std::unique_ptr<TTestThread>> threads;
  for (int i = 0; i < 3; ++i) threads.push_back(std::make_unique<TTestThread>(reader));
  int writes = 0;
  TTestThread writer([&] {
    for (; writes < 2000; ++writes) {
      TWriteLock outer(*sync);
      writerInside = true;
      if (readersInside != 0) ++violations;
      ++a;
      {
        TWriteLock inner(*sync);
        TReadLock read(*sync);
        ++b;
      }
      writerInside = false;
    }
  });
  EXPECT_TRUE(writer.Wait(60000));
  stop = true;
  for (auto& t : threads) EXPECT_TRUE(t->Wait(10000));
  EXPECT_EQ(writes, 2000);
  EXPECT_EQ(a, 2000);
  EXPECT_EQ(b, 2000);
  EXPECT_GT(reads, 0);
  EXPECT_EQ(violations, 0);
}

// A thread given up on counts nowhere, whatever it was doing in the lock when it was given up:
// a writer gets in at once, and the counts stay true for the threads that come after (a
// reader keeps a writer out and a writer a reader).
TEST(DebugRWSync, AForfeitedThreadCountsNowhereWhateverItWasDoingInTheLock) {
  using TSteps = std::function<void(TMultiReadExclusiveWriteSync&)>;
  const auto take = [](TMultiReadExclusiveWriteSync& s, bool write) { write ? s.BeginWrite() : s.BeginRead(); };
  const auto leave = [](TMultiReadExclusiveWriteSync& s, bool write) { write ? s.EndWrite() : s.EndRead(); };
  struct TRow {
    const char* Name;
    TSteps Enter, Leave;  // the forfeited thread's, up to the state the row needs and back
    char Blocker;         // another thread holding the lock meanwhile: 'r'ead, 'w'rite or none
  };
  const TRow rows[] = {
      {"holding reads", [](auto& s) { s.BeginRead(); s.BeginRead(); }, [](auto& s) { s.EndRead(); s.EndRead(); }, 0},
      {"waiting to read behind a writer", [](auto& s) { s.BeginRead(); }, [](auto& s) { s.EndRead(); }, 'w'},
      {"waiting to upgrade its read to a write", [](auto& s) { s.BeginRead(); s.BeginWrite(); },
       [](auto& s) { s.EndWrite(); s.EndRead(); }, 'r'},
      {"holding the write lock", [](auto& s) { s.BeginWrite(); s.BeginRead(); },
       [](auto& s) { s.EndRead(); s.EndWrite(); }, 0},
  };
  for (const TRow& row : rows) {
    SCOPED_TRACE(row.Name);
    TMultiReadExclusiveWriteSync sync;
    std::atomic<bool> blockerIn{false}, releaseBlocker{false}, releaseForfeited{false};
    std::atomic<DWORD> forfeitedId{0};
    std::unique_ptr<TTestThread> blocker;
    if (row.Blocker) {
      blocker = std::make_unique<TTestThread>([&] {
        take(sync, row.Blocker == 'w');
        blockerIn = true;
        PollUntil([&] { return releaseBlocker.load(); }, 10000);
        leave(sync, row.Blocker == 'w');
      });
      ASSERT_TRUE(PollUntil([&] { return blockerIn.load(); }, 5000));
    }
    TTestThread forfeited([&] {
      forfeitedId = GetCurrentThreadId();
      row.Enter(sync);
      PollUntil([&] { return releaseForfeited.load(); }, 10000);
      row.Leave(sync);
    });
    ASSERT_TRUE(PollUntil([&] { return forfeitedId.load() != 0; }, 5000));
    ScaledSleep(100);  // inside the lock, or waiting in it
    sync.Forfeit(forfeitedId);
    releaseBlocker = true;
    if (blocker) {
      EXPECT_TRUE(blocker->Wait(5000));
    }
    {
      TTestThread writer([&] { TWriteLock lock(sync); });
      EXPECT_TRUE(writer.Wait(2000)) << "a writer is kept out by the thread given up on";
    }
    releaseForfeited = true;
    EXPECT_TRUE(forfeited.Wait(5000));
    EXPECT_FALSE(forfeited.Failed());
    // The counts after it: a reader keeps a writer out, and a writer a reader.
    for (bool write : {false, true}) {
      std::atomic<bool> otherIn{false};
      take(sync, write);
      TTestThread other([&] {
        take(sync, !write);
        otherIn = true;
        leave(sync, !write);
      });
      EXPECT_FALSE(other.Wait(100));
      EXPECT_FALSE(otherIn) << (write ? "a reader got in beside a writer" : "a writer got in beside a reader");
      leave(sync, write);
      EXPECT_TRUE(other.Wait(5000));
    }
  }
}
