#include <gtest/gtest.h>
#include <windows.h>

#include <malloc.h>

#include <thread>
#include <vector>

#include "lib/dgn/windows/DgnStackInfo.h"
#include "support/TestSupport.h"

CW_DECLARE_EXCEPTION(ETestAbort, EAbort);
CW_DECLARE_EXCEPTION(ETestFailure, Exception);

// A chain of three calls whose innermost walks its own stack.
static int GLineOuterCall, GLineMiddleCall;
__attribute__((noinline)) static std::shared_ptr<TDgnStackInfoList> StackInner() {
  return std::make_shared<TDgnStackInfoList>(-1, nullptr, __builtin_frame_address(0));
}
__attribute__((noinline)) static std::shared_ptr<TDgnStackInfoList> StackMiddle() {
  GLineMiddleCall = __LINE__ + 1;
  std::shared_ptr<TDgnStackInfoList> list = StackInner();
  return list;
}
__attribute__((noinline)) static std::shared_ptr<TDgnStackInfoList> StackOuter() {
  GLineOuterCall = __LINE__ + 1;
  std::shared_ptr<TDgnStackInfoList> list = StackMiddle();
  return list;
}

namespace {

uint32_t U32(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

std::wstring LocationOf(const TDgnStackInfoItem* item) {
  return FormatLocationInfo(item->GetCallerAddr());
}

std::wstring LineText(int line) { return L"(Line " + std::to_wstring(line) + L","; }

// Frames laid out by hand on our own stack, for the walk's guards: word pairs of saved frame
// pointer and return address.
struct TFakeFrames {
  uint32_t Words[64] = {};
  uint32_t At(int i) const { return U32(&Words[i]); }
  void Frame(int i, uint32_t saved, const void* ret) {
    Words[i] = saved;
    Words[i + 1] = U32(ret);
  }
};

// Code bytes that the call-site recognition reads back from a return address. They lie in the
// program's image, so they count as code.
struct TCallSite {
  uint8_t Bytes[8];
  uint32_t ExpectedSize;
};
const TCallSite GCallSites[] = {
    {{0x90, 0x90, 0x90, 0xE8, 0x10, 0x20, 0x30, 0x40}, 5},  // call rel32
    {{0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0xFF, 0x10}, 2},  // call [eax]
    {{0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0xFF, 0x14}, 0},  // [SIB] needs a third byte: none
    {{0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0xFF, 0xD2}, 2},  // call edx
    {{0x90, 0x90, 0x90, 0x90, 0x90, 0xFF, 0x14, 0x24}, 3},  // call [esp]
    {{0x90, 0x90, 0x90, 0x90, 0x90, 0xFF, 0x56, 0x08}, 3},  // call [esi+8]
    {{0x90, 0x90, 0x90, 0x90, 0xFF, 0x54, 0x24, 0x04}, 4},  // call [esp+4]
    {{0x90, 0x90, 0xFF, 0x15, 0x00, 0x10, 0x40, 0x00}, 6},  // call [00401000]
    {{0x90, 0x90, 0xFF, 0x96, 0x00, 0x01, 0x00, 0x00}, 6},  // call [esi+100]
    {{0x90, 0xFF, 0x94, 0x24, 0x00, 0x01, 0x00, 0x00}, 7},  // call [esp+100]
    {{0x90, 0x9A, 0x00, 0x10, 0x40, 0x00, 0x23, 0x00}, 7},  // call far
    {{0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0x90, 0xC3}, 0},  // no call before: unchanged
};

__attribute__((noinline)) std::shared_ptr<TDgnStackInfoList> WalkFrom(const void* base,
                                                                      int ignore = -1) {
  return std::make_shared<TDgnStackInfoList>(ignore, nullptr, base);
}

}  // namespace

TEST(DgnStackInfo, FrameWalkListsTheCallersInnermostFirst) {
  int lineTest = __LINE__ + 1;
  std::shared_ptr<TDgnStackInfoList> list = StackOuter();
  ASSERT_GE(list->GetCount(), 3);
  EXPECT_NE(std::wstring::npos, LocationOf(list->EntryAt(0)).find(L"DgnStackInfoTest.StackMiddle " + LineText(GLineMiddleCall)));
  EXPECT_NE(std::wstring::npos, LocationOf(list->EntryAt(1)).find(L"DgnStackInfoTest.StackOuter " + LineText(GLineOuterCall)));
  EXPECT_NE(std::wstring::npos, LocationOf(list->EntryAt(2)).find(LineText(lineTest)));
  for (int i = 0; i < list->GetCount(); ++i) {
    const TDgnStackInfo& s = list->EntryAt(i)->StackInfo;
    EXPECT_EQ(static_cast<uint32_t>(i + 1), s.Level);
    EXPECT_EQ(s.StackFrame + 8, s.ParamPtr);
    EXPECT_EQ(s.CallerFrame - s.StackFrame, s.DumpSize);
    EXPECT_EQ((s.DumpSize - 8) >> 2, s.ParamSize);
    if (i > 0) {
      EXPECT_EQ(list->EntryAt(i - 1)->StackInfo.CallerFrame, s.StackFrame);
    }
  }
  EXPECT_EQ(GetCurrentThreadId(), list->ThreadID());
}

TEST(DgnStackInfo, IgnoredLevelsAndTheFirstCallerEntry) {
  auto skipping = std::make_shared<TDgnStackInfoList>(0, reinterpret_cast<const void*>(0x1234),
                                                      __builtin_frame_address(0));
  // An entry made for an exception address carries nothing but the address.
  const TDgnStackInfo& first = skipping->EntryAt(0)->StackInfo;
  EXPECT_EQ(0x1234u, first.CallerAddr);
  EXPECT_EQ(0u, first.Level);
  EXPECT_EQ(0u, first.StackFrame);
  EXPECT_EQ(0u, first.CallerFrame);
  // Ignore level 0 passes over the first frame found (here: the call of this test).
  ASSERT_GE(skipping->GetCount(), 2);
  EXPECT_EQ(2u, skipping->EntryAt(1)->StackInfo.Level);
}

TEST(DgnStackInfo, CallSitesAreRecognisedFromTheBytesBeforeTheReturnAddress) {
  for (const TCallSite& site : GCallSites) {
    TFakeFrames f;
    const uint8_t* ret = site.Bytes + 8;
    f.Frame(0, f.At(8), ret);
    f.Frame(8, 0, nullptr);
    auto list = WalkFrom(&f.Words[0]);
    ASSERT_EQ(1, list->GetCount()) << site.ExpectedSize;
    EXPECT_EQ(U32(ret) - site.ExpectedSize, list->EntryAt(0)->StackInfo.CallerAddr)
        << "expected size " << site.ExpectedSize;
  }
}

TEST(DgnStackInfo, FrameWalkStopsAtBadChains) {
  const uint8_t* code = GCallSites[0].Bytes + 8;
  {
    // A frame that points to itself.
    TFakeFrames f;
    f.Frame(0, f.At(4), code);
    f.Frame(4, f.At(4), code);
    EXPECT_EQ(1, WalkFrom(&f.Words[0])->GetCount());
  }
  {
    // A chain that points backwards.
    TFakeFrames f;
    f.Frame(2, f.At(6), code);
    f.Frame(6, f.At(0), code);
    EXPECT_EQ(1, WalkFrom(&f.Words[2])->GetCount());
  }
  {
    // A saved frame pointer that is not 4-byte aligned is not a frame.
    TFakeFrames f;
    f.Frame(0, f.At(4) + 1, code);
    EXPECT_EQ(0, WalkFrom(&f.Words[0])->GetCount());
  }
  {
    // Frames of foreign code are passed over without a level.
    TFakeFrames f;
    HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
    f.Frame(0, f.At(4), reinterpret_cast<const void*>(GetProcAddress(kernel, "GetTickCount")));
    f.Frame(4, f.At(8), code);
    f.Frame(8, 0, nullptr);
    auto list = WalkFrom(&f.Words[0]);
    ASSERT_EQ(1, list->GetCount());
    EXPECT_EQ(1u, list->EntryAt(0)->StackInfo.Level);
    EXPECT_EQ(f.At(4), list->EntryAt(0)->StackInfo.StackFrame);
  }
}

// The last words of the stack: a frame there would have its return address beyond the top.
TEST(DgnStackInfo, FrameWalkNeverReadsPastTheStackTop) {
  uint32_t top = U32(reinterpret_cast<NT_TIB*>(NtCurrentTeb())->StackBase);
  const uint8_t* code = GCallSites[0].Bytes + 8;
  TFakeFrames f;
  f.Frame(0, top - 4, code);
  EXPECT_EQ(0, WalkFrom(&f.Words[0])->GetCount());
  f.Frame(0, top - 8, code);
  // top - 8 is a frame whose two words are the stack's last ones.
  EXPECT_EQ(1, WalkFrom(&f.Words[0])->GetCount());
}

TEST(DgnStackInfo, ATraceHoldsAtMost4096Entries) {
  // A long chain on a fresh thread's own stack.
  int count = -1;
  std::thread worker([&] {
    const int frames = 5000;
    auto* words = static_cast<uint32_t*>(alloca(frames * 8 + 16));
    words = reinterpret_cast<uint32_t*>((reinterpret_cast<uintptr_t>(words) + 3) & ~uintptr_t(3));
    for (int i = 0; i < frames; ++i) {
      words[2 * i] = i + 1 < frames ? U32(&words[2 * i + 2]) : 0;
      words[2 * i + 1] = U32(GCallSites[0].Bytes + 8);
    }
    count = WalkFrom(words)->GetCount();
  });
  ASSERT_TRUE(JoinWithin(worker, 10000));
  EXPECT_EQ(TDgnStackInfoList::MaxEntries, count);
}

TEST(DgnStackInfo, RegistryKeepsTheLatestListPerThread) {
  TDgnGlobalStackList* reg = GetGlobalStackList();
  std::shared_ptr<TDgnStackInfoList> first = StackOuter();
  reg->AddStackList(first);
  EXPECT_EQ(first, GetLastExceptionStack());
  std::shared_ptr<TDgnStackInfoList> second = StackOuter();
  reg->AddStackList(second);
  EXPECT_EQ(second, GetLastExceptionStack());
  // Whoever still holds the first list can go on reading it.
  EXPECT_GE(first->GetCount(), 3);

  std::shared_ptr<TDgnStackInfoList> other;
  DWORD otherId = 0;
  std::thread t([&] {
    otherId = GetCurrentThreadId();
    other = StackOuter();
    reg->AddStackList(other);
    EXPECT_EQ(other, GetLastExceptionStack());
  });
  ASSERT_TRUE(JoinWithin(t, 10000));
  EXPECT_EQ(second, GetLastExceptionStack());
  EXPECT_EQ(other, reg->ExceptionStackOf(otherId));
}

// While the main thread reports for another thread, its lookups answer with that thread's
// list; a list the main thread records meanwhile stays its own and frees nothing of the other.
TEST(DgnStackInfo, RedirectedMainThreadSeesTheReportingThreadsList) {
  TDgnGlobalStackList* reg = GetGlobalStackList();
  std::shared_ptr<TDgnStackInfoList> mine = StackOuter();
  reg->AddStackList(mine);
  std::shared_ptr<TDgnStackInfoList> worker;
  DWORD workerId = 0;
  std::thread t([&] {
    workerId = GetCurrentThreadId();
    worker = StackOuter();
    reg->AddStackList(worker);
  });
  ASSERT_TRUE(JoinWithin(t, 10000));

  reg->RedirectMainThread(workerId);
  EXPECT_EQ(worker, GetLastExceptionStack());
  std::shared_ptr<TDgnStackInfoList> newer = StackOuter();
  reg->AddStackList(newer);
  EXPECT_EQ(worker, GetLastExceptionStack());
  reg->EndRedirect();
  EXPECT_EQ(newer, GetLastExceptionStack());
  EXPECT_EQ(worker, reg->ExceptionStackOf(workerId));

  // Asked from another thread, the redirect is switched off.
  reg->RedirectMainThread(workerId);
  std::thread other([&] { reg->RedirectMainThread(12345); });
  ASSERT_TRUE(JoinWithin(other, 10000));
  EXPECT_EQ(newer, GetLastExceptionStack());
}

TEST(DgnStackInfo, AbortAndItsDescendantsAreIgnored) {
  EXPECT_TRUE(IsExceptionClassIgnored(&typeid(EAbort)));
  ETestAbort derived(L"x");
  EXPECT_TRUE(IsExceptionClassIgnored(&typeid(ETestAbort), &derived));
  EXPECT_FALSE(IsExceptionClassIgnored(&typeid(ETestFailure)));
  EXPECT_FALSE(IsExceptionClassIgnored(&typeid(int)));
  EXPECT_FALSE(IsExceptionClassIgnored(nullptr));
  AddIgnoredExceptionClass(nullptr);
  EXPECT_FALSE(IsExceptionClassIgnored(&typeid(ETestFailure)));
}
