// The debuggee process object: module file handles and what it reads of a module from the
// process. Our own process stands in for a debuggee.
#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>

#include "EngineTestSupport.h"
#include "Tracer/engine/uDebugCore.h"

namespace {

bool IsOpen(HANDLE h) {
  DWORD flags = 0;
  return GetHandleInformation(h, &flags) != FALSE;
}

uint32_t AddressOf(const void* p) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(p)); }

// One committed page; the address space after it is not mapped.
struct TPage {
  static constexpr uint32_t Size = 4096;
  uint8_t* Bytes = static_cast<uint8_t*>(VirtualAlloc(nullptr, Size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  ~TPage() { VirtualFree(Bytes, 0, MEM_RELEASE); }
  uint8_t* End() const { return Bytes + Size; }
};

}  // namespace

TEST(DebugCoreProcess, AModuleClosesItsFileHandleWhenReplacedRemovedOrCleared) {
  UseProgramTypeLibrary();
  HANDLE replaced = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE removed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE cleared = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  {
    TDebuggedProcess process(GetCurrentProcessId());
    process.Modules.AddModule(0x10000000, replaced);
    // A load at a base whose unload was never reported.
    process.Modules.AddModule(0x10000000, removed);
    EXPECT_FALSE(IsOpen(replaced));
    EXPECT_TRUE(IsOpen(removed));
    process.Modules.RemoveModule(0x10000000);
    EXPECT_FALSE(IsOpen(removed));
    process.Modules.AddModule(0x20000000, cleared);
    EXPECT_TRUE(IsOpen(cleared));
  }
  EXPECT_FALSE(IsOpen(cleared));
}

TEST(DebugCoreProcess, ImageSizeComesFromTheImagesHeadersOrIsZero) {
  UseProgramTypeLibrary();
  TDebuggedProcess process(GetCurrentProcessId());
  const auto* kernel = reinterpret_cast<const uint8_t*>(GetModuleHandleW(L"kernel32.dll"));
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(kernel);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS32*>(kernel + dos->e_lfanew);
  TPage zeros;
  TPage badSignature;
  std::memcpy(badSignature.Bytes, kernel, sizeof(IMAGE_DOS_HEADER));
  const struct {
    const char* What;
    uint32_t Base;
    uint32_t Size;
  } cases[] = {
      {"a loaded DLL", AddressOf(kernel), nt->OptionalHeader.SizeOfImage},
      {"address 0", 0, 0},
      {"memory that is no image", AddressOf(zeros.Bytes), 0},
      {"a DOS header whose NT headers are not there", AddressOf(badSignature.Bytes), 0},
  };
  for (const auto& c : cases) EXPECT_EQ(process.ReadImageSize(c.Base), c.Size) << c.What;
}

TEST(DebugCoreProcess, LoadEventNamesAreReadWideOrAnsiAlsoUpToAPageEnd) {
  UseProgramTypeLibrary();
  TDebuggedProcess process(GetCurrentProcessId());
  static const wchar_t wide[] = L"C:\\dir\\wide.dll";
  static const char ansi[] = "C:\\dir\\ansi.dll";
  // Names whose terminator is the last readable character: one read of a whole path fails there.
  TPage widePage, ansiPage;
  static const wchar_t wideEdge[] = L"C:\\edge\\w.dll";
  static const char ansiEdge[] = "C:\\edge\\a.dll";
  auto* wideAtEnd = widePage.End() - sizeof wideEdge;
  std::memcpy(wideAtEnd, wideEdge, sizeof wideEdge);
  auto* ansiAtEnd = ansiPage.End() - sizeof ansiEdge;
  std::memcpy(ansiAtEnd, ansiEdge, sizeof ansiEdge);

  const void* const names[] = {wide, ansi, wideAtEnd, ansiAtEnd, nullptr};
  const struct {
    const char* What;
    const void* const* NamePointer;  // where the event points: a pointer to the name
    WORD Unicode;
    std::wstring Expected;
  } cases[] = {
      {"wide", &names[0], 1, L"C:\\dir\\wide.dll"},
      {"ANSI", &names[1], 0, L"C:\\dir\\ansi.dll"},
      {"wide, ending at the page end", &names[2], 1, L"C:\\edge\\w.dll"},
      {"ANSI, ending at the page end", &names[3], 0, L"C:\\edge\\a.dll"},
      {"the name pointer is 0", &names[4], 1, L""},
      {"no pointer to the name", nullptr, 1, L""},
  };
  for (const auto& c : cases) {
    LOAD_DLL_DEBUG_INFO info{};
    info.lpImageName = const_cast<void*>(static_cast<const void*>(c.NamePointer));
    info.fUnicode = c.Unicode;
    EXPECT_EQ(process.ReadImageName(info), c.Expected) << c.What;
  }
}
