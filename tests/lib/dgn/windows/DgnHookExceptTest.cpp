#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <thread>
#include <vector>

#include "lib/dgn/windows/DgnHookExcept.h"
#include "lib/dgn/windows/DgnOsExceptions.h"
#include "support/TestSupport.h"

namespace {

CW_DECLARE_EXCEPTION(ETestRaised, Exception);
CW_DECLARE_EXCEPTION(EInsideNotifier, Exception);

// What the notifiers saw, in call order.
struct TSeen {
  std::string Who;
  std::wstring Message;  // of the Exception, empty for other objects
  void* Address;
  bool OsException;
  void* StackBase;
};
std::vector<TSeen> Seen;

void Record(const char* who, void* obj, const std::type_info* type, void* addr, bool os, void* base) {
  const Exception* e = ExceptionOfThrownObject(obj, type);
  Seen.push_back({who, e ? e->Message() : std::wstring(), addr, os, base});
}
void NotifierA(void* obj, const std::type_info* type, void* addr, bool os, void* base) {
  SetLastError(0);
  Record("A", obj, type, addr, os, base);
}
void NotifierB(void* obj, const std::type_info* type, void* addr, bool os, void* base) {
  Record("B", obj, type, addr, os, base);
}
// Raises and handles an exception of its own, then lets another one escape.
void TroubleNotifier(void* obj, const std::type_info* type, void* addr, bool os, void* base) {
  Record("T", obj, type, addr, os, base);
  try {
    throw EInsideNotifier(L"inside");
  } catch (const EInsideNotifier&) {
  }
  throw EInsideNotifier(L"escaping");
}

// Installs the hooks and leaves the notifier list empty after each test.
class DgnHookExcept : public testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(InstallExceptionHooks());
    Seen.clear();
  }
  void TearDown() override {
    for (TExceptNotifyProc p : {NotifierA, NotifierB, TroubleNotifier}) RemoveExceptionNotifier(p);
  }
};

__attribute__((noinline)) void ThrowTestRaised(const wchar_t* text) { throw ETestRaised(text); }

void* FaultFrame = nullptr;
__attribute__((noinline)) void WriteThrough(volatile int* p) {
  FaultFrame = __builtin_frame_address(0);
  *p = 1;
}
volatile int Quotient = 0;
__attribute__((noinline)) int DivideBy(int d) {
  volatile int divisor = d;
  // Stored, so that the division stays when the caller drops the result.
  Quotient = 100 / divisor;
  return Quotient;
}

}  // namespace

TEST_F(DgnHookExcept, InstallingAgainAnswersTrue) { EXPECT_TRUE(InstallExceptionHooks()); }

TEST_F(DgnHookExcept, HighPriorityNotifierIsCalledFirstAndASingleNotifierAlways) {
  ASSERT_TRUE(AddExceptionNotifier(NotifierB, npNormal));
  try {
    ThrowTestRaised(L"single");
  } catch (const ETestRaised&) {
  }
  ASSERT_EQ(Seen.size(), 1u);
  EXPECT_EQ(Seen[0].Who, "B");
  EXPECT_EQ(Seen[0].Message, L"single");
  EXPECT_FALSE(Seen[0].OsException);
  EXPECT_NE(Seen[0].StackBase, nullptr);
  // The raise address lies in the raising function.
  const uintptr_t at = reinterpret_cast<uintptr_t>(Seen[0].Address);
  EXPECT_GT(at, reinterpret_cast<uintptr_t>(&ThrowTestRaised));
  EXPECT_LT(at, reinterpret_cast<uintptr_t>(&ThrowTestRaised) + 256);

  Seen.clear();
  ASSERT_TRUE(AddExceptionNotifier(NotifierA, npHigh));
  try {
    ThrowTestRaised(L"two");
  } catch (const ETestRaised&) {
  }
  ASSERT_EQ(Seen.size(), 2u);
  EXPECT_EQ(Seen[0].Who, "A");
  EXPECT_EQ(Seen[1].Who, "B");
}

TEST_F(DgnHookExcept, RemovingANotifierAddedTwiceRemovesBoth) {
  EXPECT_FALSE(AddExceptionNotifier(nullptr, npHigh));
  EXPECT_FALSE(RemoveExceptionNotifier(nullptr));
  ASSERT_TRUE(AddExceptionNotifier(NotifierA));
  ASSERT_TRUE(AddExceptionNotifier(NotifierA));
  try {
    throw 42;  // not our Exception: still reported
  } catch (int) {
  }
  ASSERT_EQ(Seen.size(), 2u);
  EXPECT_EQ(Seen[0].Message, L"");
  EXPECT_TRUE(RemoveExceptionNotifier(NotifierA));
  EXPECT_TRUE(RemoveExceptionNotifier(NotifierA));  // none left: still True
  Seen.clear();
  try {
    ThrowTestRaised(L"after removal");
  } catch (const ETestRaised&) {
  }
  EXPECT_TRUE(Seen.empty());
}

TEST_F(DgnHookExcept, ExceptionsInsideANotifierAreNeitherReportedNorReplaceTheRaisedOne) {
  ASSERT_TRUE(AddExceptionNotifier(TroubleNotifier, npHigh));
  ASSERT_TRUE(AddExceptionNotifier(NotifierA, npNormal));
  std::wstring caught;
  try {
    ThrowTestRaised(L"outer");
  } catch (const ETestRaised& e) {
    caught = e.Message();
  } catch (const EInsideNotifier& e) {
    caught = L"replaced by " + e.Message();
  }
  EXPECT_EQ(caught, L"outer");
  // Each notifier saw the outer exception once; nothing raised inside was passed on.
  ASSERT_EQ(Seen.size(), 2u);
  EXPECT_EQ(Seen[0].Who, "T");
  EXPECT_EQ(Seen[0].Message, L"outer");
  EXPECT_EQ(Seen[1].Who, "A");
  EXPECT_EQ(Seen[1].Message, L"outer");
}

TEST_F(DgnHookExcept, ReportingLeavesTheThreadsLastErrorAlone) {
  ASSERT_TRUE(AddExceptionNotifier(NotifierA));  // records, allocating and formatting
  DWORD seenInHandler = 0;
  try {
    SetLastError(ERROR_SHARING_VIOLATION);
    throw 1;
  } catch (int) {
    seenInHandler = GetLastError();
  }
  EXPECT_EQ(seenInHandler, static_cast<DWORD>(ERROR_SHARING_VIOLATION));
  EXPECT_EQ(Seen.size(), 1u);
}

TEST_F(DgnHookExcept, AccessViolationInOurCodeIsCaughtAsItsClassFromTheFaultingFrame) {
  ASSERT_TRUE(AddExceptionNotifier(NotifierA, npHigh));
  std::wstring caught;
  try {
    WriteThrough(nullptr);
  } catch (const EAccessViolation& e) {
    caught = e.Message();
    EXPECT_EQ(e.ExceptionCode, static_cast<uint32_t>(EXCEPTION_ACCESS_VIOLATION));
  }
  EXPECT_NE(caught.find(L"Access violation at address "), std::wstring::npos) << caught;
  EXPECT_NE(caught.find(L"in module 'test_dgn.exe'. Write of address 00000000"), std::wstring::npos) << caught;
  // Reported once, as an operating-system exception at the faulting instruction, with the
  // faulting function's frame as the start of the stack walk.
  ASSERT_EQ(Seen.size(), 1u);
  EXPECT_TRUE(Seen[0].OsException);
  EXPECT_EQ(Seen[0].Message, caught);
  const uintptr_t at = reinterpret_cast<uintptr_t>(Seen[0].Address);
  EXPECT_GT(at, reinterpret_cast<uintptr_t>(&WriteThrough));
  EXPECT_LT(at, reinterpret_cast<uintptr_t>(&WriteThrough) + 256);
  EXPECT_EQ(Seen[0].StackBase, FaultFrame);

  // Division by zero, and the same again: the conversion keeps working.
  for (int i = 0; i < 2; ++i) {
    EXPECT_THROW(DivideBy(0), EDivByZero);
  }
  EXPECT_THROW(WriteThrough(reinterpret_cast<volatile int*>(8)), EAccessViolation);
}

TEST_F(DgnHookExcept, FaultsInSeveralThreadsAreConvertedInEach) {
  std::vector<std::thread> threads;
  std::vector<int> caught(4, 0);
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&caught, t] {
      for (int i = 0; i < 50; ++i) {
        try {
          WriteThrough(reinterpret_cast<volatile int*>(4 * i));
        } catch (const EAccessViolation&) {
          ++caught[t];
        }
      }
    });
  for (auto& th : threads) EXPECT_TRUE(JoinWithin(th, 10000));
  for (int t = 0; t < 4; ++t) EXPECT_EQ(caught[t], 50);
}

TEST_F(DgnHookExcept, DllExportsTheHookItemAndRemovesItsHandlerWhenUnloaded) {
  HMODULE dll = LoadLibraryW((TestBinDir() + L"dgn_fixture.dll").c_str());
  ASSERT_NE(dll, nullptr);
  auto byOrdinal = reinterpret_cast<volatile uint32_t*>(GetProcAddress(dll, MAKEINTRESOURCEA(1)));
  auto byName = reinterpret_cast<volatile uint32_t*>(GetProcAddress(dll, "__DgnHookExcept"));
  ASSERT_NE(byName, nullptr);
  EXPECT_EQ(byOrdinal, byName);
  EXPECT_EQ(*byName, 0u);
  auto install = reinterpret_cast<int (*)()>(GetProcAddress(dll, "DgnFixtureInstallHooks"));
  auto catchOwnFault = reinterpret_cast<int (*)()>(GetProcAddress(dll, "DgnFixtureCatchOwnFault"));
  ASSERT_EQ(install(), 1);
  EXPECT_EQ(catchOwnFault(), 1);
  // A fault of ours is not the DLL's business: this program's handler converts it.
  ASSERT_TRUE(AddExceptionNotifier(NotifierA));
  EXPECT_THROW(WriteThrough(nullptr), EAccessViolation);
  EXPECT_EQ(Seen.size(), 1u);
  FreeLibrary(dll);
  ASSERT_EQ(GetModuleHandleW((TestBinDir() + L"dgn_fixture.dll").c_str()), nullptr);
  // Had the DLL left its handler behind, this fault would call into unmapped code.
  EXPECT_THROW(WriteThrough(nullptr), EAccessViolation);
  EXPECT_EQ(Seen.size(), 2u);
}

TEST(DgnHookExceptObjects, ThrownObjectsAreRecognisedByTheirClass) {
  ETestRaised e(L"x");
  EXPECT_EQ(ExceptionOfThrownObject(&e, &typeid(ETestRaised)), static_cast<Exception*>(&e));
  EXPECT_TRUE(ThrownObjectIsA(&e, &typeid(ETestRaised), typeid(Exception)));
  EXPECT_FALSE(ThrownObjectIsA(&e, &typeid(ETestRaised), typeid(EAbort)));
  int i = 3;
  EXPECT_EQ(ExceptionOfThrownObject(&i, &typeid(int)), nullptr);
  EXPECT_EQ(ExceptionOfThrownObject(nullptr, &typeid(ETestRaised)), nullptr);
}
