// Breakpoint URLs resolved in a second process: export (with minversion and forwarders),
// rva and com, and how the registry shares and frees resolvers.
#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "EngineTestSupport.h"
#include "ResolveHost.h"
#include "Tracer/engine/uBreakpointResolvers.h"
#include "Tracer/engine/uProcDefs.h"
#include "support/TestSupport.h"

namespace {

const std::wstring CalcClass = L"{5B1F0A64-2C7E-4D8B-9A31-6E0C4F2D7B15}";
const std::wstring CalcInterface = L"{9C3E5D21-7A4B-4F6C-8E12-3B5D7A9C1E40}";

// The fixture COM class, registered in the prefix for the tests of this file.
void RegisterCalcClass() {
  HKEY key;
  const std::wstring path = L"CLSID\\" + CalcClass + L"\\InprocServer32";
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key,
                                           nullptr));
  const std::wstring dll = Bin(L"comfix.dll");
  RegSetValueExW(key, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(dll.c_str()), (dll.size() + 1) * 2);
  const std::wstring model = L"Both";
  RegSetValueExW(key, L"ThreadingModel", 0, REG_SZ, reinterpret_cast<const BYTE*>(model.c_str()), (model.size() + 1) * 2);
  RegCloseKey(key);
}

void UnregisterCalcClass() { RegDeleteTreeW(HKEY_CLASSES_ROOT, (L"CLSID\\" + CalcClass).c_str()); }

uint32_t Resolve(const std::wstring& url) {
  TBreakpointResolverPtr resolver;
  GetBreakpointResolver(url, resolver);
  return resolver->Resolve();
}

std::wstring ResolveError(const std::wstring& url) {
  return MessageOf([&] { Resolve(url); });
}

std::wstring CreateError(const std::wstring& url) {
  return MessageOf([&] {
    TBreakpointResolverPtr resolver;
    GetBreakpointResolver(url, resolver);
  });
}

class BreakpointResolvers : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    RegisterCalcClass();
    Host = new TResolveHost({L"L" + Bin(L"resolvetarget.dll"), L"L" + Bin(L"resolvefix.dll"),
                             L"Presolvefix.dll!FixAdd", L"Presolvefix.dll!FixMul", L"Presolvefix.dll!FixForwarded",
                             L"Presolvefix.dll!FixForwardedByOrdinal", L"Presolvetarget.dll!TargetWork",
                             L"Presolvetarget.dll!TargetOther", L"C" + CalcClass + L"/" + CalcInterface + L"/12",
                             L"C" + CalcClass + L"/" + CalcInterface + L"/16"});
  }
  static void TearDownTestSuite() {
    delete Host;
    Host = nullptr;
    UnregisterCalcClass();
  }
  void SetUp() override {
    Debuggee = std::make_unique<TProcessDebuggee>(Host->Process());
    Scope = std::make_unique<TDebuggeeScope>(*Debuggee);
  }
  void TearDown() override {
    Scope.reset();
    Debuggee.reset();
  }
  uint32_t FixBase() const { return Host->At(L"L" + Bin(L"resolvefix.dll")); }
  uint32_t TargetBase() const { return Host->At(L"L" + Bin(L"resolvetarget.dll")); }

  static TResolveHost* Host;
  std::unique_ptr<TProcessDebuggee> Debuggee;
  std::unique_ptr<TDebuggeeScope> Scope;
};

TResolveHost* BreakpointResolvers::Host = nullptr;

TEST_F(BreakpointResolvers, ExportResolvesToTheAddressTheDebuggeesLoaderGives) {
  const uint32_t add = Host->At(L"Presolvefix.dll!FixAdd");
  ASSERT_NE(0u, add);
  EXPECT_EQ(add, Resolve(L"export://FixAdd@resolvefix.dll"));
  EXPECT_EQ(add, Resolve(L"export://FixAdd@RESOLVEFIX.DLL"));
  EXPECT_EQ(add, Resolve(L"export://FixAdd@" + Bin(L"resolvefix.dll")));
  EXPECT_EQ(Host->At(L"Presolvefix.dll!FixMul"), Resolve(L"export://FixMul@resolvefix.dll"));
  EXPECT_EQ(Host->At(L"Presolvetarget.dll!TargetWork"), Resolve(L"export://TargetWork@resolvetarget.dll"));
}

TEST_F(BreakpointResolvers, ExportOfAModuleTheDebuggeeHasNotLoadedIsAskedAgainLater) {
  TBreakpointResolverPtr resolver;
  GetBreakpointResolver(L"export://FixAdd@resolvefix.dll", resolver);
  {
    // A debuggee that has not loaded the DLL yet.
    TResolveHost bare({});
    TProcessDebuggee other(bare.Process());
    TDebuggeeScope scope(other);
    EXPECT_EQ(ResolveNotLoaded, resolver->Resolve());
    EXPECT_EQ(ResolveNotLoaded, Resolve(L"export://FixAdd@" + Bin(L"resolvefix.dll")));
  }
  TDebuggeeScope scope(*Debuggee);
  EXPECT_EQ(Host->At(L"Presolvefix.dll!FixAdd"), resolver->Resolve());
  // A path names one file: the same file name elsewhere is another module.
  EXPECT_EQ(ResolveNotLoaded, Resolve(L"export://FixAdd@C:\\elsewhere\\resolvefix.dll"));
}

TEST_F(BreakpointResolvers, MinVersionAdmitsOnlyFilesOfThatVersionOrLater) {
  const uint32_t add = Host->At(L"Presolvefix.dll!FixAdd");
  // resolvefix.dll is version 2.5.0.0.
  EXPECT_EQ(add, Resolve(L"export://FixAdd@resolvefix.dll?minversion=2.4"));
  EXPECT_EQ(add, Resolve(L"export://FixAdd@resolvefix.dll?minversion=2.5"));
  EXPECT_EQ(add, Resolve(L"export://FixAdd@resolvefix.dll?minversion=2.5.0.0"));
  EXPECT_EQ(add, Resolve(L"export://FixAdd@resolvefix.dll?minversion=1.99"));
  EXPECT_EQ(add, Resolve(L"export://FixAdd@resolvefix.dll?minversion="));
  EXPECT_EQ(ResolveUnresolvable, Resolve(L"export://FixAdd@resolvefix.dll?minversion=2.5.0.1"));
  EXPECT_EQ(ResolveUnresolvable, Resolve(L"export://FixAdd@resolvefix.dll?minversion=2.10"));
  EXPECT_EQ(ResolveUnresolvable, Resolve(L"export://FixAdd@resolvefix.dll?minversion=10"));
  // resolvetarget.dll has no version: lower than any version above 0.
  EXPECT_EQ(ResolveUnresolvable, Resolve(L"export://TargetWork@resolvetarget.dll?minversion=1"));
  EXPECT_EQ(Host->At(L"Presolvetarget.dll!TargetWork"), Resolve(L"export://TargetWork@resolvetarget.dll?minversion=0"));
  // The version decides before the export is looked up.
  EXPECT_EQ(ResolveUnresolvable, Resolve(L"export://NoSuchExport@resolvefix.dll?minversion=3"));
}

TEST_F(BreakpointResolvers, AFilesVersionIsReadOncePerFile) {
  TTempDir dir;
  const std::wstring copy = dir.File(L"resolvefix.dll");
  ASSERT_TRUE(CopyFileW(Bin(L"resolvefix.dll").c_str(), copy.c_str(), FALSE));
  {
    TResolveHost host({L"L" + copy, L"P" + copy + L"!FixAdd"});
    TProcessDebuggee debuggee(host.Process());
    TDebuggeeScope scope(debuggee);
    const uint32_t add = host.At(L"P" + copy + L"!FixAdd");
    EXPECT_EQ(add, Resolve(L"export://FixAdd@" + copy + L"?minversion=2.5"));
    // The file is gone from its place: its version is not read again.
    ASSERT_TRUE(MoveFileW(copy.c_str(), dir.File(L"moved.dll").c_str()));
    EXPECT_EQ(add, Resolve(L"export://FixAdd@" + copy + L"?minversion=2.4"));
    EXPECT_EQ(ResolveUnresolvable, Resolve(L"export://FixAdd@" + copy + L"?minversion=2.6"));
  }
}

TEST_F(BreakpointResolvers, ForwardedExportsResolveInTheModuleTheyForwardTo) {
  uint32_t base = 0, size = 0;
  ASSERT_TRUE(Debuggee->ModuleRange(L"resolvetarget.dll", base, size));
  const uint32_t byName = Resolve(L"export://FixForwarded@resolvefix.dll");
  EXPECT_EQ(Host->At(L"Presolvefix.dll!FixForwarded"), byName);
  EXPECT_EQ(Host->At(L"Presolvetarget.dll!TargetWork"), byName);
  EXPECT_TRUE(byName >= base && byName < base + size);
  const uint32_t byOrdinal = Resolve(L"export://FixForwardedByOrdinal@resolvefix.dll");
  EXPECT_EQ(Host->At(L"Presolvetarget.dll!TargetOther"), byOrdinal);
  EXPECT_EQ(Host->At(L"Presolvefix.dll!FixForwardedByOrdinal"), byOrdinal);
}

TEST_F(BreakpointResolvers, APassReadsEachImagesHeadersOnceForAllItsDefinitions) {
  const std::pair<const wchar_t*, const wchar_t*> rows[] = {
      {L"export://FixAdd@resolvefix.dll", L"Presolvefix.dll!FixAdd"},
      {L"export://FixMul@resolvefix.dll", L"Presolvefix.dll!FixMul"},
      {L"export://FixForwarded@resolvefix.dll", L"Presolvetarget.dll!TargetWork"},
      {L"export://FixForwardedByOrdinal@resolvefix.dll", L"Presolvetarget.dll!TargetOther"},
      {L"export://TargetWork@resolvetarget.dll", L"Presolvetarget.dll!TargetWork"},
  };
  {
    // A pass before the debuggee has loaded the DLL; the next pass finds it.
    TResolveHost bare({});
    TProcessDebuggee other(bare.Process());
    TDebuggeeScope scope(other);
    TResolvePassScope pass;
    EXPECT_EQ(ResolveNotLoaded, Resolve(rows[0].first));
  }
  TDebuggeeScope scope(*Debuggee);
  for (auto [url, expected] : rows) EXPECT_EQ(Host->At(expected), Resolve(url)) << WideToUtf8(url);
  TResolvePassScope pass;
  Debuggee->Reads = 0;
  for (auto [url, expected] : rows) EXPECT_EQ(Host->At(expected), Resolve(url)) << WideToUtf8(url);
  // The two images' headers (two reads each); their export tables were read before.
  EXPECT_EQ(4, Debuggee->Reads);
}

TEST_F(BreakpointResolvers, ForwardersThatLeadNowhereAreNeverBreakpoints) {
  // The target DLL is not loaded: asked again later, as for an export of a missing DLL.
  EXPECT_EQ(ResolveNotLoaded, Resolve(L"export://FixForwardMissing@resolvefix.dll"));
  EXPECT_EQ(ResolveUnresolvable, Resolve(L"export://FixForwardBroken@resolvefix.dll"));
  EXPECT_EQ(ResolveUnresolvable, Resolve(L"export://FixLoopA@resolvefix.dll"));
}

TEST_F(BreakpointResolvers, ADataExportIsNeverABreakpoint) {
  EXPECT_EQ(ResolveUnresolvable, Resolve(L"export://FixData@resolvefix.dll"));
}

TEST_F(BreakpointResolvers, AMissingExportRaisesTheSystemsLookupError) {
  const std::wstring message = ResolveError(L"export://NoSuchExport@resolvefix.dll");
  ASSERT_GE(message.size(), 17u);
  EXPECT_EQ(L"at GetProcAddress", message.substr(message.size() - 17)) << WideToUtf8(message);
  // Export names are exact.
  EXPECT_NE(L"(no error)", ResolveError(L"export://fixadd@resolvefix.dll"));
}

TEST_F(BreakpointResolvers, ExportsAreReadWithoutLoadingTheTracedDllHere) {
  EXPECT_NE(0u, Resolve(L"export://FixAdd@resolvefix.dll?minversion=1"));
  EXPECT_NE(0u, Resolve(L"export://FixForwarded@resolvefix.dll"));
  // Neither the DLL nor the one it forwards to ran its start-up code in this process.
  EXPECT_EQ(nullptr, GetModuleHandleW(L"resolvefix.dll"));
  EXPECT_EQ(nullptr, GetModuleHandleW(L"resolvetarget.dll"));
}

TEST_F(BreakpointResolvers, RvaIsTheModulesBasePlusTheOffset) {
  EXPECT_EQ(FixBase() + 0x1000, Resolve(L"rva://0x00001000@resolvefix.dll"));
  EXPECT_EQ(FixBase() + 0x1004, Resolve(L"rva://$1004@" + Bin(L"RESOLVEFIX.dll")));
  EXPECT_EQ(TargetBase() + 16, Resolve(L"rva://16@resolvetarget.dll"));
  EXPECT_EQ(ResolveNotLoaded, Resolve(L"rva://0x00001000@C:\\elsewhere\\resolvefix.dll"));
  EXPECT_EQ(ResolveNotLoaded, Resolve(L"rva://0x00001000@notloaded.dll"));
  // Past the end of the image nothing may be written.
  EXPECT_EQ(ResolveUnresolvable, Resolve(L"rva://0x10000000@resolvefix.dll"));
  EXPECT_EQ(L"'zz' is not a valid integer value", CreateError(L"rva://zz@resolvefix.dll"));
}

TEST_F(BreakpointResolvers, ComUrlBecomesAnRvaUrlOfTheImplementingModule) {
  // The method's offset in comfix.dll, as this process sees it.
  HMODULE comfix = LoadLibraryW(Bin(L"comfix.dll").c_str());
  ASSERT_NE(nullptr, comfix);
  auto methodAddress = reinterpret_cast<void*(WINAPI*)(int)>(
      reinterpret_cast<void*>(GetProcAddress(comfix, "FixCalcMethodAddress")));
  ASSERT_NE(nullptr, methodAddress);
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(comfix, path, MAX_PATH);
  for (int slot : {3, 4}) {
    const uint32_t rva = reinterpret_cast<uint32_t>(methodAddress(slot)) - reinterpret_cast<uint32_t>(comfix);
    const std::wstring offset = std::to_wstring(slot * 4);
    TBreakpointResolverPtr resolver;
    GetBreakpointResolver(L"com://" + offset + L"@" + CalcClass + L"/" + CalcInterface, resolver);
    auto* rvaResolver = dynamic_cast<TRVABreakpointResolver*>(static_cast<TBreakpointResolver*>(resolver.Get()));
    ASSERT_NE(nullptr, rvaResolver);
    EXPECT_EQ(WideFormat(L"rva://0x%08X@%ls", rva, path), rvaResolver->URL());
    // In the debuggee: the method its own instance of the class runs.
    EXPECT_EQ(Host->At(L"C" + CalcClass + L"/" + CalcInterface + L"/" + offset), resolver->Resolve());
  }
  FreeLibrary(comfix);
}

TEST_F(BreakpointResolvers, ComUrlsThatCannotBeMadeFailTheDefinition) {
  EXPECT_EQ(L"\"" + CalcClass + L"\" is not in ClsId/IId format", CreateError(L"com://12@" + CalcClass));
  EXPECT_EQ(L"'{nonsense}' is not a valid GUID value", CreateError(L"com://12@{nonsense}/" + CalcInterface));
  // A class that is not registered: the definition fails with the URL.
  const std::wstring unregistered = L"com://12@{00000000-1111-2222-3333-444444444444}/" + CalcInterface;
  EXPECT_EQ(unregistered, CreateError(unregistered));
  // An interface the object does not have.
  EXPECT_NE(L"(no error)", CreateError(L"com://12@" + CalcClass + L"/{00020400-0000-0000-C000-000000000046}"));
  EXPECT_EQ(L"'zz' is not a valid integer value", CreateError(L"com://zz@" + CalcClass + L"/" + CalcInterface));
  EXPECT_EQ(L"Unknown protocol \"ftp\"", CreateError(L"ftp://a@b.dll"));
  // Nothing is left behind by the failures.
  EXPECT_EQ(0, FindProtocol(L"com")->ModuleCount());
}

TEST_F(BreakpointResolvers, OneUrlSharesOneResolverAndTheLastReleaseFreesItsModule) {
  const int modulesBefore = FindProtocol(L"export")->ModuleCount();
  TBreakpointResolverPtr first, second, other;
  GetBreakpointResolver(L"export://FixMul@resolvefix.dll?minversion=1", first);
  GetBreakpointResolver(L"export://FixMul@resolvefix.dll?minversion=1", second);
  GetBreakpointResolver(L"export://FixMul@resolvefix.dll", other);
  EXPECT_EQ(first.Get(), second.Get());
  EXPECT_NE(first.Get(), other.Get());
  EXPECT_EQ(modulesBefore + 1, FindProtocol(L"export")->ModuleCount());
  first.Reset();
  EXPECT_EQ(Host->At(L"Presolvefix.dll!FixMul"), second->Resolve());
  second.Reset();
  other.Reset();
  EXPECT_EQ(modulesBefore, FindProtocol(L"export")->ModuleCount());
  // Made again on the next definition.
  EXPECT_EQ(Host->At(L"Presolvefix.dll!FixMul"), Resolve(L"export://FixMul@resolvefix.dll"));
}

TEST_F(BreakpointResolvers, ResolvingBelongsToTheDebuggingThread) {
  TBreakpointResolverPtr resolver;
  GetBreakpointResolver(L"rva://0x1000@resolvefix.dll", resolver);
  std::wstring message;
  std::thread other([&] {
    try {
      resolver->Resolve();
    } catch (const EAssertionFailed& e) {
      message = e.Message();
    } catch (...) {
      message = L"other error";
    }
  });
  ASSERT_TRUE(JoinWithin(other, 10000));
  EXPECT_NE(std::wstring::npos, message.find(L"src/Tracer/uProcDefs")) << WideToUtf8(message);
}

}  // namespace
