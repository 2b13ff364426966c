#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <memory>

#include "lib/dgn/windows/DgnPeImage.h"
#include "lib/dgn/windows/DgnSysUtils.h"
#include "support/TestSupport.h"

namespace {

// The fixture DLL, loaded for one test.
class TFixtureDll {
public:
  TFixtureDll() : FModule(LoadLibraryW((TestBinDir() + L"dgn_fixture.dll").c_str())) {}
  ~TFixtureDll() { FreeModuleHandle(FModule); }
  HMODULE Module() const { return FModule; }
  template <class F>
  F Proc(const char* name) const { return reinterpret_cast<F>(GetProcAddress(FModule, name)); }

private:
  HMODULE FModule;
};

DWORD WINAPI FakeTicks() { return 12345; }

}  // namespace

TEST(DgnPeImage, HeadersOfRealImagesAndOfUnreadableMemory) {
  HMODULE exe = GetModuleHandleW(nullptr);
  ASSERT_NE(PeNtHeaders32(exe), nullptr);
  EXPECT_EQ(PeImageTarget(exe), 1);
  // A function of this program lies inside the image size.
  const uintptr_t here = reinterpret_cast<uintptr_t>(&FakeTicks);
  EXPECT_GT(here, reinterpret_cast<uintptr_t>(exe));
  EXPECT_LT(here, reinterpret_cast<uintptr_t>(exe) + PeImageSize(exe));
  TFixtureDll dll;
  ASSERT_NE(dll.Module(), nullptr);
  EXPECT_EQ(PeImageTarget(dll.Module()), 1);

  // Reserved but not committed: the headers are not readable, and reading them must not fault.
  void* reserved = VirtualAlloc(nullptr, 65536, MEM_RESERVE, PAGE_NOACCESS);
  EXPECT_EQ(PeNtHeaders32(reserved), nullptr);
  EXPECT_EQ(PeNtHeaders64(reserved), nullptr);
  EXPECT_EQ(PeImageTarget(reserved), 0);
  EXPECT_EQ(PeImageSize(reserved), 0u);
  VirtualFree(reserved, 0, MEM_RELEASE);
  // "MZ" with a header offset that points to no "PE" signature.
  auto fake = static_cast<uint8_t*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
  fake[0] = 'M';
  fake[1] = 'Z';
  fake[60] = 0x80;
  EXPECT_EQ(PeNtHeaders32(fake), nullptr);
  // An offset far beyond the committed page.
  fake[60] = 0;
  fake[62] = 0x10;
  EXPECT_EQ(PeNtHeaders32(fake), nullptr);
  VirtualFree(fake, 0, MEM_RELEASE);
}

TEST(DgnPeImage, SectionStreamShowsTheVirtualSizeOfTheFixtureSection) {
  TFixtureDll dll;
  ASSERT_NE(dll.Module(), nullptr);
  const IMAGE_SECTION_HEADER* header = PeFindSection(dll.Module(), L".dgntest");
  ASSERT_NE(header, nullptr);
  ASSERT_GT(header->SizeOfRawData, header->Misc.VirtualSize);
  // A longer name matches on its first eight characters.
  EXPECT_EQ(PeFindSection(dll.Module(), L".dgntestLonger"), header);
  EXPECT_EQ(PeFindSection(dll.Module(), L".dgnte"), nullptr);

  TDgnPeSectionStream stream(dll.Module(), L".dgntest");
  EXPECT_EQ(stream.GetSize(), 16);
  char buf[32] = {};
  EXPECT_EQ(stream.Read(buf, sizeof(buf)), 16);
  EXPECT_EQ(std::string(buf, 16), "DGN-SECTION-TEST");
  EXPECT_EQ(stream.Read(buf, 1), 0);
  EXPECT_EQ(std::memcmp(stream.SectionHeader().Name, ".dgntest", 8), 0);
  try {
    stream.Write("x", 1);
    ADD_FAILURE() << "wrote to a section stream";
  } catch (const EDgnPeImageError& e) {
    EXPECT_EQ(e.Message(), L"Stream is read-only");
  }
}

TEST(DgnPeImage, SectionStreamReportsMissingSectionAndNonImages) {
  try {
    TDgnPeSectionStream s(GetModuleHandleW(nullptr), L".nosuch");
    ADD_FAILURE() << "found a missing section";
  } catch (const EDgnPeImageError& e) {
    EXPECT_EQ(e.Message(), L"Section \".nosuch\" not found");
  }
  void* page = VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE);
  try {
    TDgnPeSectionStream s(static_cast<HMODULE>(page), L".text");
    ADD_FAILURE() << "opened a section of plain memory";
  } catch (const EDgnPeImageError& e) {
    EXPECT_EQ(e.Message(), L"Unknown PE target");
  }
  VirtualFree(page, 0, MEM_RELEASE);
}

TEST(DgnPeImage, ReplaceImportRedirectsTheFixturesRealImportAndBack) {
  TFixtureDll dll;
  auto ticks = dll.Proc<DWORD (*)()>("DgnFixtureTicks");
  ASSERT_NE(ticks, nullptr);
  void* real = reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "GetTickCount"));
  void* fake = reinterpret_cast<void*>(&FakeTicks);
  ASSERT_TRUE(TDgnPeMapImgHooks::ReplaceImport(dll.Module(), L"KERNEL32.dll", real, fake));
  EXPECT_EQ(ticks(), 12345u);
  ASSERT_TRUE(TDgnPeMapImgHooks::ReplaceImport(dll.Module(), L"kernel32.DLL", fake, real));
  EXPECT_NE(ticks(), 12345u);

  // Not imported, or not from that DLL: False and nothing changes.
  void* beep = reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "Beep"));
  EXPECT_FALSE(TDgnPeMapImgHooks::ReplaceImport(dll.Module(), L"kernel32.dll", beep, fake));
  EXPECT_FALSE(TDgnPeMapImgHooks::ReplaceImport(dll.Module(), L"user32.dll", real, fake));
  EXPECT_NE(ticks(), 12345u);
  // No image at all.
  EXPECT_FALSE(TDgnPeMapImgHooks::ReplaceImport(nullptr, L"kernel32.dll", real, fake));
}

TEST(DgnPeImage, WriteGuardedMemoryWritesReadOnlyPagesAndKeepsTheirProtection) {
  auto page = static_cast<uint8_t*>(VirtualAlloc(nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
  std::memset(page, 0xAA, 16);
  DWORD old;
  ASSERT_TRUE(VirtualProtect(page, 4096, PAGE_EXECUTE_READ, &old));
  const uint8_t bytes[4] = {1, 2, 3, 4};
  EXPECT_TRUE(WriteGuardedMemory(page + 2, bytes, 4));
  EXPECT_EQ(page[1], 0xAA);
  EXPECT_EQ(std::memcmp(page + 2, bytes, 4), 0);
  EXPECT_EQ(page[6], 0xAA);
  MEMORY_BASIC_INFORMATION mbi;
  ASSERT_NE(VirtualQuery(page, &mbi, sizeof(mbi)), 0u);
  EXPECT_EQ(mbi.Protect, static_cast<DWORD>(PAGE_EXECUTE_READ));
  EXPECT_TRUE(WriteGuardedMemory(page, bytes, 0));
  VirtualFree(page, 0, MEM_RELEASE);
  // Memory that is not there cannot be written.
  void* reserved = VirtualAlloc(nullptr, 65536, MEM_RESERVE, PAGE_NOACCESS);
  EXPECT_FALSE(WriteGuardedMemory(reserved, bytes, 4));
  VirtualFree(reserved, 0, MEM_RELEASE);
}
