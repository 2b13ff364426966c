// The one owner type of handles: a handle is closed exactly once, by whoever owns it last.
#include "lib/dgn/windows/DgnHandle.h"

#include <gtest/gtest.h>

#include <utility>

#include "support/TestSupport.h"

namespace {

bool IsOpen(HANDLE h) {
  DWORD flags = 0;
  return GetHandleInformation(h, &flags) != FALSE;
}

HANDLE NewEvent() { return CreateEventW(nullptr, TRUE, FALSE, nullptr); }

}  // namespace

TEST(DgnHandle, TheLastOwnerClosesTheHandleOnce) {
  HANDLE raw = NewEvent();
  {
    TDgnHandle first(raw);
    TDgnHandle second(std::move(first));
    EXPECT_FALSE(first);
    EXPECT_EQ(raw, second.Get());
    TDgnHandle third;
    third = std::move(second);
    EXPECT_TRUE(IsOpen(raw));
  }
  EXPECT_FALSE(IsOpen(raw));
}

TEST(DgnHandle, ResetClosesTheOldHandleReleaseGivesItAway) {
  HANDLE a = NewEvent(), b = NewEvent();
  TDgnHandle h(a);
  h.Reset(b);
  EXPECT_FALSE(IsOpen(a));
  EXPECT_EQ(b, h.Release());
  EXPECT_FALSE(h);
  h.Reset();  // owns nothing: closes nothing
  EXPECT_TRUE(IsOpen(b));
  CloseHandle(b);
}

TEST(DgnHandle, PutClosesTheHeldHandleAndReceivesTheNext) {
  HANDLE a = NewEvent();
  TDgnHandle h(a);
  HANDLE* slot = h.Put();
  EXPECT_FALSE(IsOpen(a));
  EXPECT_FALSE(h);
  ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), slot, 0, FALSE,
                              DUPLICATE_SAME_ACCESS));
  EXPECT_TRUE(h);
  EXPECT_TRUE(IsOpen(h.Get()));
}

TEST(DgnHandle, NilAndTheInvalidValueAreBothNone) {
  struct TCase {
    HANDLE Value;
  };
  for (const TCase& c : {TCase{nullptr}, TCase{INVALID_HANDLE_VALUE}}) {
    TDgnHandle h(c.Value);
    EXPECT_FALSE(h.Valid());
    EXPECT_FALSE(h);
  }
  // A failed open gives the invalid value: nothing to close, and the owner says so.
  TDgnHandle missing(CreateFileW(L"Z:\\no\\such\\file.txt", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  EXPECT_FALSE(missing);
}

TEST(DgnHandle, OtherKindsCloseWithTheirOwnCall) {
  TTempDir dir;
  WriteTextFile(dir.File(L"a.txt"), "x");
  WIN32_FIND_DATAW data;
  TDgnFindHandle find(FindFirstFileW(dir.File(L"*.txt").c_str(), &data));
  ASSERT_TRUE(find);
  EXPECT_FALSE(FindNextFileW(find.Get(), &data));
  TDgnFindHandle none(FindFirstFileW(dir.File(L"*.none").c_str(), &data));
  EXPECT_FALSE(none);

  // Two loads of one library: the owner frees its own load only.
  const std::wstring dll = TestBinDir() + L"dgn_fixture.dll";
  HMODULE kept = LoadLibraryW(dll.c_str());
  ASSERT_NE(kept, nullptr);
  { TDgnModule owned(LoadLibraryW(dll.c_str())); }
  EXPECT_EQ(kept, GetModuleHandleW(dll.c_str()));
  FreeLibrary(kept);
  EXPECT_EQ(nullptr, GetModuleHandleW(dll.c_str()));
}
