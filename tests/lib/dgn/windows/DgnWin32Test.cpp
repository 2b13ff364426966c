#include <gtest/gtest.h>
#include <windows.h>

#include "lib/dgn/windows/DgnWin32.h"
#include "support/TestSupport.h"

static std::wstring FixtureDll() { return TestBinDir() + L"dgn_fixture.dll"; }

TEST(DgnWin32, Win32ErrorAfterAccessDeniedShowsSystemTextCodeAndOwnText) {
  TTempDir dir;
  // Opening a folder as a file fails with "access denied".
  HANDLE h = CreateFileW(dir.Path().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_EQ(h, INVALID_HANDLE_VALUE);
  ASSERT_EQ(GetLastError(), 5u);
  EDgnWin32Error e(L"Failed to create FileMapping");
  EXPECT_EQ(e.LastError(), 5u);
  EXPECT_FALSE(e.LastErrorMsg().empty());
  EXPECT_EQ(e.Message(), L"Win32 error: " + DgnSysErrorMessage(5) + L" (5)\r\nFailed to create FileMapping");
  EXPECT_STREQ(e.ClassName(), L"EDgnWin32Error");
  const EDgnError& asBase = e;
  EXPECT_EQ(asBase.Message(), e.Message());
}

TEST(DgnWin32, PlatformIsNT) { EXPECT_TRUE(IsNTPlatform); }

TEST(DgnWin32, BindingTwiceLoadsTheLibraryOnceAndKeepsTheFirstAddress) {
  ASSERT_EQ(GetModuleHandleW(FixtureDll().c_str()), nullptr);
  int (*add)(int, int) = nullptr;
  BindProcedure(add, FixtureDll(), "DgnFixtureAdd");
  ASSERT_NE(add, nullptr);
  EXPECT_EQ(add(2, 3), 5);
  auto first = add;
  BindProcedure(add, FixtureDll(), "DgnFixtureAdd");
  EXPECT_EQ(add, first);
  // A second variable of the loaded module does not load it again.
  unsigned long (*ticks)() = nullptr;
  BindProcedure(ticks, FixtureDll(), "DgnFixtureTicks");
  ASSERT_NE(ticks, nullptr);
  // One load, so one release unloads it.
  HMODULE m = GetModuleHandleW(FixtureDll().c_str());
  ASSERT_NE(m, nullptr);
  FreeLibrary(m);
  EXPECT_EQ(GetModuleHandleW(FixtureDll().c_str()), nullptr);
}

TEST(DgnWin32, FailedBindingsNameTheLibraryOrFunctionAndLeaveTheVariableUnbound) {
  void (*proc)() = nullptr;
  try {
    BindProcedure(proc, L"no_such_library_dgn.dll", "Anything");
    ADD_FAILURE() << "bound a missing library";
  } catch (const EDgnError& e) {
    EXPECT_EQ(e.Message(), L"Library not found: no_such_library_dgn.dll");
  }
  EXPECT_EQ(proc, nullptr);
  try {
    BindProcedure(proc, L"kernel32.dll", "NoSuchFunctionDgn");
    ADD_FAILURE() << "bound a missing function";
  } catch (const EDgnError& e) {
    EXPECT_EQ(e.Message(), L"Function not found: kernel32.dll.NoSuchFunctionDgn");
  }
  EXPECT_EQ(proc, nullptr);
  // The next call tries again.
  BindProcedure(proc, L"kernel32.dll", "GetTickCount");
  EXPECT_EQ(reinterpret_cast<void*>(proc), reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetTickCount")));
}
