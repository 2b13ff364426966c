#include <gtest/gtest.h>
#include <windows.h>

#include <random>

#include "lib/dgn/common/DdbgBuilder.h"
#include "lib/dgn/windows/DgnDebugInfo.h"
#include "lib/dgn/windows/DgnSysUtils.h"
#include "support/TestSupport.h"

// The program's own debug information is the test_dgn.ddbg the build writes beside it.

__attribute__((noipa)) static const void* ReturnAddress() {
  return __builtin_return_address(0);
}

// The store right after the call keeps the returned-to instruction on the call's line, also
// in optimised code.
static const void* volatile GWhere = nullptr;
static int GKnownCallerFirstLine = __LINE__ + 1;
__attribute__((noinline)) static const void* KnownCaller(int& line) {
  line = __LINE__ + 1;
  GWhere = ReturnAddress();
  return GWhere;
}

namespace {

std::wstring Hex8(const void* p) {
  return WideFormat(L"%08X", static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)));
}

std::wstring Hex8(uint32_t v) { return WideFormat(L"%08X", v); }

// A copy of the probe library under the given name in its own folder, with the given bytes as
// the ".ddbg" file beside it (none when empty), loaded as a module.
class TProbeCopy {
public:
  TProbeCopy(const std::wstring& name, const std::string& ddbg, bool writeDdbg = true) {
    std::wstring dll = FDir.File(name + L".dll");
    EXPECT_TRUE(CopyFileW((TestBinDir() + L"dgn_probe.dll").c_str(), dll.c_str(), FALSE));
    if (writeDdbg)
      WriteTextFile(FDir.File(name + L".ddbg"), ddbg);
    FModule = LoadLibraryW(dll.c_str());
    EXPECT_NE(nullptr, FModule);
  }
  ~TProbeCopy() {
    if (FModule)
      FreeLibrary(FModule);
  }
  const void* Function() const {
    return reinterpret_cast<const void*>(GetProcAddress(FModule, "DgnProbeTwice"));
  }
  HMODULE Module() const { return FModule; }

private:
  TTempDir FDir;
  HMODULE FModule = nullptr;
};

std::string ProbeDebugInfo() { return ReadTextFile(TestBinDir() + L"dgn_probe.ddbg"); }

}  // namespace

TEST(DgnDebugInfo, OwnCodeShowsUnitProcedureLineAndSource) {
  int line = 0;
  const void* where = KnownCaller(line);

  TDgnLocationInfo info;
  ASSERT_TRUE(LookupLocationInfo(where, info));
  EXPECT_EQ(L"DgnDebugInfoTest", info.UnitName);
  EXPECT_EQ(L"KnownCaller", info.ProcedureName);
  EXPECT_EQ(static_cast<uint32_t>(line), info.LineNumber);
  EXPECT_EQ(L"DgnDebugInfoTest.cpp", info.SourceName);
  EXPECT_EQ(TestBinDir() + L"test_dgn.exe", info.BinaryFileName);

  EXPECT_EQ(L"[" + Hex8(where) + L"] DgnDebugInfoTest.KnownCaller (Line " +
                std::to_wstring(line) + L", \"DgnDebugInfoTest.cpp\")",
            FormatLocationInfo(where));

  // As the error report asks for it: module name, offsets from the procedure's first line and
  // from the line's first byte.
  std::wstring full = FormatLocationInfo(where, true, true, true, false);
  std::wstring expected = L"[" + Hex8(where) + L"]{test_dgn.exe} DgnDebugInfoTest.KnownCaller (Line " +
                          std::to_wstring(line) + L", \"DgnDebugInfoTest.cpp\" + " +
                          std::to_wstring(line - GKnownCallerFirstLine) + L") + $" +
                          WideFormat(L"%X", info.OffsetFromLineNumber);
  EXPECT_EQ(expected, full);

  HMODULE self = GetModuleHandleW(nullptr);
  uint32_t rel = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(where) -
                                       reinterpret_cast<uintptr_t>(self) - 0x1000);
  EXPECT_EQ(L"(" + Hex8(rel) + L") " + L"[" + Hex8(where) + L"] DgnDebugInfoTest.KnownCaller (Line " +
                std::to_wstring(line) + L", \"DgnDebugInfoTest.cpp\")",
            FormatLocationInfo(where, false, false, false, true));
}

TEST(DgnDebugInfo, CodeWithoutDebugInformationGivesTheAddressRelativeToItsModule) {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  const void* fn = reinterpret_cast<const void*>(GetProcAddress(kernel, "GetTickCount"));
  TDgnLocationInfo info;
  EXPECT_FALSE(LookupLocationInfo(fn, info));
  EXPECT_EQ(L"", info.UnitName);
  uint32_t rel = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(fn) -
                                       reinterpret_cast<uintptr_t>(kernel) - 0x1000);
  EXPECT_EQ(L"(" + Hex8(rel) + L") [" + Hex8(fn) + L"]", FormatLocationInfo(fn));
  // The module name goes after the tenth character: here behind the relative address.
  EXPECT_EQ(L"(" + Hex8(rel) + L"){kernel32.dll} [" + Hex8(fn) + L"]",
            FormatLocationInfo(fn, true, true, true, false));
}

TEST(DgnDebugInfo, ShortModuleNamesArePaddedToTwelveCharacters) {
  TProbeCopy probe(L"p", ProbeDebugInfo());
  // The file beside "p.dll" names "dgn_probe": not used, so only the address is shown.
  const void* fn = probe.Function();
  uint32_t rel = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(fn) -
                                       reinterpret_cast<uintptr_t>(probe.Module()) - 0x1000);
  EXPECT_EQ(L"(" + Hex8(rel) + L"){p.dll       } [" + Hex8(fn) + L"]",
            FormatLocationInfo(fn, true));
}

TEST(DgnDebugInfo, DdbgFileIsUsedOnlyBesideTheModuleItNames) {
  std::string data = ProbeDebugInfo();
  {
    TProbeCopy same(L"dgn_probe", data);
    TDgnLocationInfo info;
    ASSERT_TRUE(LookupLocationInfo(same.Function(), info));
    EXPECT_EQ(L"DgnProbe", info.UnitName);
    EXPECT_EQ(L"DgnProbeTwice", info.ProcedureName);
    EXPECT_EQ(L"DgnProbe.cpp", info.SourceName);
    EXPECT_EQ(3u, info.LineNumber);
    EXPECT_EQ(0u, info.OffsetFromProcName);
  }
  {
    // The name is compared without regard to letter case.
    TProbeCopy upper(L"DGN_PROBE", data);
    TDgnLocationInfo info;
    EXPECT_TRUE(LookupLocationInfo(upper.Function(), info));
  }
  {
    TProbeCopy renamed(L"renamed", data);
    TDgnLocationInfo info;
    EXPECT_FALSE(LookupLocationInfo(renamed.Function(), info));
  }
  {
    TProbeCopy none(L"dgn_probe", std::string(), false);
    TDgnLocationInfo info;
    EXPECT_FALSE(LookupLocationInfo(none.Function(), info));
  }
}

// Damaged files beside a module: each gives no location (or, with a fitting checksum, whatever
// the tables still say), and never a fault.
TEST(DgnDebugInfo, DamagedDdbgFilesNeverFaultTheLookup) {
  std::string good = ProbeDebugInfo();
  std::mt19937 rng(5);
  std::vector<std::string> damaged;
  damaged.push_back(std::string());                          // empty file: no mapping
  damaged.push_back(good.substr(0, 34));                     // header only
  damaged.push_back(good.substr(0, good.size() / 2 & ~3u));  // cut in the middle, checksum off
  std::string random(good.size(), '\0');
  for (char& c : random)
    c = static_cast<char>(rng());
  damaged.push_back(random);
  for (int field = 0; field < 6; ++field) {  // each table offset and the module name far off
    std::vector<uint8_t> d(good.begin(), good.end());
    TDdbgBuilder::Put32(d, 5 + 4 * field, 0xFFFFFFF0u);
    TDdbgBuilder::FixChecksum(d);
    damaged.emplace_back(d.begin(), d.end());
  }
  for (size_t i = 0; i < damaged.size(); ++i) {
    TProbeCopy copy(L"dgn_probe", damaged[i]);
    TDgnLocationInfo info;
    bool found = LookupLocationInfo(copy.Function(), info);
    if (i < 4) {
      EXPECT_FALSE(found) << i;
    }
    std::wstring text = FormatLocationInfo(copy.Function(), true, true, true, true);
    EXPECT_NE(std::wstring::npos, text.find(Hex8(copy.Function()))) << i;
  }
}

// Memory that is no image (a heap block) is never probed: not even a ".ddbg" in the current
// folder, which a module without a path would otherwise be matched with.
TEST(DgnDebugInfo, MemoryOutsideAnyImageIsNotProbed) {
  TDdbgBuilder b;
  b.ModuleName = "";
  b.Unit(0, "Stray");
  b.Proc(0, "Anything");
  b.Line(0, 1);
  std::vector<uint8_t> data = b.Build();
  TTempDir dir;
  WriteTextFile(dir.File(L".ddbg"), std::string(data.begin(), data.end()));
  wchar_t old[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, old);
  SetCurrentDirectoryW(dir.Path().c_str());
  void* block = VirtualAlloc(nullptr, 0x10000, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
  std::memcpy(block, "MZ", 2);
  const void* inside = static_cast<uint8_t*>(block) + 0x1200;
  TDgnLocationInfo info;
  EXPECT_FALSE(LookupLocationInfo(inside, info));
  EXPECT_EQ(L"(00000200){            } [" + Hex8(inside) + L"]", FormatLocationInfo(inside, true));
  SetCurrentDirectoryW(old);
  VirtualFree(block, 0, MEM_RELEASE);

  EXPECT_EQ(nullptr, ModuleBaseOfAddress(reinterpret_cast<const void*>(uintptr_t(0x10))));
}

// A library with its debug information in a section is unloaded, and a copy without any is
// loaded at the same address: the lookup must not keep reading the first one's section.
TEST(DgnDebugInfo, UnloadedModuleIsForgottenWhenAnotherTakesItsAddress) {
  TTempDir dir;
  std::wstring withSection = dir.File(L"dgn_probe_a.dll");
  std::wstring without = dir.File(L"dgn_probe_b.dll");
  ASSERT_TRUE(CopyFileW((TestBinDir() + L"dgn_probe_section.dll").c_str(), withSection.c_str(), FALSE));
  ASSERT_TRUE(CopyFileW((TestBinDir() + L"dgn_probe.dll").c_str(), without.c_str(), FALSE));

  HMODULE a = LoadLibraryW(withSection.c_str());
  ASSERT_NE(nullptr, a);
  const void* fnA = reinterpret_cast<const void*>(GetProcAddress(a, "DgnProbeTwice"));
  TDgnLocationInfo info;
  ASSERT_TRUE(LookupLocationInfo(fnA, info));
  EXPECT_EQ(L"DgnProbeTwice", info.ProcedureName);
  EXPECT_EQ(withSection, info.BinaryFileName);
  FreeLibrary(a);

  HMODULE b = LoadLibraryW(without.c_str());
  ASSERT_NE(nullptr, b);
  const void* fnB = reinterpret_cast<const void*>(GetProcAddress(b, "DgnProbeTwice"));
  if (b != a) {
    FreeLibrary(b);
    GTEST_SKIP() << "the copy was loaded at another address";
  }
  EXPECT_FALSE(LookupLocationInfo(fnB, info));
  EXPECT_EQ(L"", info.BinaryFileName);
  FreeLibrary(b);
}
