#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <thread>

#include "lib/dgn/windows/DgnCriticalSection.h"
#include "lib/dgn/windows/DgnFileMapping.h"
#include "lib/dgn/windows/DgnSysUtils.h"
#include "support/TestSupport.h"

TEST(DgnSysUtils, PathRoutines) {
  EXPECT_EQ(RemoveExtension(L"C:\\dir\\file.txt"), L"C:\\dir\\file");
  EXPECT_EQ(RemoveExtension(L"a.b.c"), L"a.b");
  EXPECT_EQ(RemoveExtension(L"C:\\dir.x\\file"), L"C:\\dir.x\\file");
  EXPECT_EQ(RemoveExtension(L"C:name"), L"C:name");
  EXPECT_EQ(RemoveExtension(L""), L"");
  EXPECT_EQ(FileNameWithoutExtension(L"C:\\dir.x\\Calderwisp.exe"), L"Calderwisp");
  EXPECT_EQ(FileNameWithoutExtension(L"vostik.dll"), L"vostik");
  EXPECT_EQ(FileNameWithoutExtension(L"C:\\dir\\noext"), L"noext");

  TTempDir dir;
  WriteTextFile(dir.File(L"present.txt"), "x");
  EXPECT_TRUE(FileIsPresent(dir.File(L"present.txt")));
  EXPECT_FALSE(FileIsPresent(dir.File(L"absent.txt")));
  EXPECT_FALSE(FileIsPresent(dir.Path()));
  EXPECT_FALSE(FileIsPresent(L""));
}

TEST(DgnSysUtils, ModuleRoutinesNameThisProgram) {
  const std::wstring path = ModuleFilePath(nullptr);
  EXPECT_EQ(FileNameWithoutExtension(path), L"test_dgn");
  EXPECT_TRUE(FileIsPresent(path));
  EXPECT_EQ(RuntimeModuleHandle(), GetModuleHandleW(nullptr));
  HMODULE m = LoadLibraryW((TestBinDir() + L"dgn_fixture.dll").c_str());
  ASSERT_NE(m, nullptr);
  FreeModuleHandle(m);
  EXPECT_EQ(m, nullptr);
  FreeModuleHandle(m);  // a cleared handle is left alone
  EXPECT_EQ(MinOf(7, 0xFFFFFFFFu), 7u);
  char buf[4] = {1, 2, 3, 4};
  ZeroMemoryBlock(buf, 3);
  EXPECT_EQ(buf[2], 0);
  EXPECT_EQ(buf[3], 4);
}

TEST(DgnSysUtils, CriticalSectionIsReentrantAndExcludesOtherThreadsNotEnteredWithin50Ms) {
  TDgnCriticalSection cs;
  int counter = 0;
  cs.Enter();
  cs.Enter();  // the owner may enter again
  std::atomic<bool> entered{false};
  std::thread other([&] {
    TDgnLock lock(cs);
    entered = true;
    ++counter;
  });
  ScaledSleep(50);
  EXPECT_FALSE(entered.load());
  cs.Leave();
  ScaledSleep(20);
  EXPECT_FALSE(entered.load());
  cs.Leave();
  ASSERT_TRUE(JoinWithin(other, 10000));
  EXPECT_TRUE(entered.load());
  EXPECT_EQ(counter, 1);
}

TEST(DgnFileMapping, ReadOnlyMappingShowsTheFileAndRefusesWrites) {
  TTempDir dir;
  WriteTextFile(dir.File(L"data.bin"), "DDBG mapped content");
  TDgnFileMappingStream s(dir.File(L"data.bin"), dgnOpenRead | dgnShareDenyWrite);
  EXPECT_EQ(s.GetSize(), 19);
  char buf[32] = {};
  EXPECT_EQ(s.Read(buf, sizeof(buf)), 19);
  EXPECT_EQ(std::string(buf, 19), "DDBG mapped content");
  s.SetPosition(0);
  EXPECT_EQ(s.Write("x", 1), 0);
  // Denying writers: the file cannot be opened for writing while mapped.
  HANDLE w = CreateFileW(dir.File(L"data.bin").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(w, INVALID_HANDLE_VALUE);
  if (w != INVALID_HANDLE_VALUE) CloseHandle(w);
  s.Close();
  EXPECT_EQ(s.GetSize(), 0);
  EXPECT_EQ(s.Memory(), nullptr);
}

TEST(DgnFileMapping, ReadWriteMappingWritesAPrivateCopyWhenTheCountFits) {
  TTempDir dir;
  WriteTextFile(dir.File(L"data.bin"), "0123456789");
  {
    TDgnFileMappingStream s(dir.File(L"data.bin"), dgnOpenReadWrite);
    s.SetPosition(8);
    EXPECT_EQ(s.Write("abc", 3), 0);  // would pass the end
    EXPECT_EQ(s.GetPosition(), 8);
    EXPECT_EQ(s.Write("ab", 2), 2);
    EXPECT_EQ(s.GetPosition(), 10);
    EXPECT_EQ(std::string(static_cast<const char*>(s.Memory()), 10), "01234567ab");
  }
  EXPECT_EQ(ReadTextFile(dir.File(L"data.bin")), "0123456789");
}

TEST(DgnFileMapping, FailuresRaiseTheirOwnErrors) {
  TTempDir dir;
  try {
    TDgnFileMappingStream s(dir.File(L"absent.bin"), dgnOpenRead);
    ADD_FAILURE() << "mapped a missing file";
  } catch (const EOSError& e) {
    EXPECT_EQ(e.ErrorCode, static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(e.Message().rfind(L"System Error.  Code: 2.\r\n", 0), 0u);
  }
  // An empty file has nothing to map.
  WriteTextFile(dir.File(L"empty.bin"), "");
  try {
    TDgnFileMappingStream s(dir.File(L"empty.bin"), dgnOpenRead);
    ADD_FAILURE() << "mapped an empty file";
  } catch (const EDgnFileMappingError& e) {
    EXPECT_EQ(e.Message().rfind(L"Win32 error: ", 0), 0u);
    EXPECT_EQ(e.Message().substr(e.Message().size() - 30), L"\r\nFailed to create FileMapping");
    EXPECT_NE(e.LastError(), 0u);
  }
  // The file is closed again after the failure.
  EXPECT_TRUE(DeleteFileW(dir.File(L"empty.bin").c_str()));
}

// A module whose path is longer than the usual buffer is named in full, not cut or dropped.
TEST(DgnSysUtils, ModuleFilePathOfALongPathIsWhole) {
  TTempDir dir;
  std::wstring folder = dir.Path();
  while (folder.size() < 300) {
    folder += L"\\long_folder_name_for_the_path";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);
  }
  const std::wstring copy = folder + L"\\dgn_fixture.dll";
  ASSERT_TRUE(CopyFileW((TestBinDir() + L"dgn_fixture.dll").c_str(), copy.c_str(), FALSE));
  HMODULE m = LoadLibraryW(copy.c_str());
  if (!m) GTEST_SKIP() << "this system loads no library from a path this long";
  EXPECT_EQ(copy, ModuleFilePath(m));
  FreeModuleHandle(m);
  EXPECT_EQ(L"", ModuleFilePath(reinterpret_cast<HMODULE>(0x10)));
}
