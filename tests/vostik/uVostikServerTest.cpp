// The library as COM sees it: exports by ordinal, its type library, registration in the
// build's private prefix with regsvr32, and when it may be unloaded. One suite, since the tests
// share the prefix's registry.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "EngineTestSupport.h"
#include "VostikTestSupport.h"
#include "support/TestSupport.h"
#include "support/TestTimeScale.h"
#include "vostik/uVostikServer.h"

namespace {

struct TClassCase {
  const CLSID* ClassId;
  const wchar_t* Name;
  const wchar_t* Description;
};

// In the type library's order.
const TClassCase Classes[] = {
    {&CLSID_OraSQLAssembler, L"OraSQLAssembler", L"Oracle SQL Assembler"},
    {&CLSID_IBSQLAssembler, L"IBSQLAssembler", L"Interbase SQL Assembler"},
    {&CLSID_ODBCSQLAssembler, L"ODBCSQLAssembler", L"ODBC SQL Assembler"},
    {&CLSID_AdvSQLAssembler, L"AdvSQLAssembler", L"Advantage SQL Assembler"},
    {&CLSID_SQLiteSQLAssembler, L"SQLiteSQLAssembler", L"SQLite SQL Assembler"},
    {&CLSID_SybaseSQLAssembler, L"SybaseSQLAssembler", L"Sybase SQL Assembler"},
    {&CLSID_DB2SQLAssembler, L"DB2SQLAssembler", L"DB2 SQL Assembler"},
    {&CLSID_PostgreSQLAssembler, L"PostgreSQLAssembler", L"Postgre SQL Assembler"},
};

const wchar_t* const VostikLibId = L"{05ACA0A2-5664-45C1-99FB-A8F65189E49B}";

std::wstring GuidText(REFGUID guid) {
  wchar_t text[40];
  StringFromGUID2(guid, text, 40);
  return text;
}

// The default value (or the named one) of HKEY_CLASSES_ROOT\key; "<none>" when it is missing.
std::wstring ClassesValue(const std::wstring& key, const wchar_t* name = nullptr) {
  wchar_t buffer[1024];
  DWORD size = sizeof buffer;
  if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
    return L"<none>";
  return buffer;
}

bool ClassesKeyExists(const std::wstring& key) {
  HKEY handle = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return false;
  RegCloseKey(handle);
  return true;
}

}  // namespace

// regsvr32 in the build's prefix; its exit code.
DWORD RunRegsvr32(const std::wstring& switches) {
  std::wstring cmd = L"regsvr32.exe /s " + switches + L" \"" + Bin(L"Vostik.dll") + L"\"";
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return 9999;
  DWORD code = 9998;
  if (WaitForSingleObject(pi.hProcess, ScaledMs(60000)) == WAIT_OBJECT_0) GetExitCodeProcess(pi.hProcess, &code);
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  return code;
}

TEST(VostikServer, ExportsByOrdinal) {
  HMODULE module = LoadLibraryW(Bin(L"Vostik.dll").c_str());
  ASSERT_NE(module, nullptr);
  struct {
    WORD Ordinal;
    const char* Name;
  } exports[] = {{1, "__DgnHookExcept"},   {2, "DllGetClassObject"}, {3, "DllUnregisterServer"},
                 {4, "DllRegisterServer"}, {5, "DllCanUnloadNow"},   {6, "DllGetClassObject"}};
  for (auto& e : exports) {
    FARPROC byOrdinal = GetProcAddress(module, MAKEINTRESOURCEA(e.Ordinal));
    EXPECT_NE(byOrdinal, nullptr) << e.Ordinal;
    EXPECT_EQ(byOrdinal, GetProcAddress(module, e.Name)) << e.Ordinal;
  }
  FreeLibrary(module);
}

TEST(VostikServer, TypeLibraryDescribesEightCreatableAssemblers) {
  // The imported Calderwisp.tlb is found through its registration.
  TComPtr<ITypeLib> calderwisp;
  ASSERT_EQ(LoadTypeLibEx(Bin(L"Calderwisp.tlb").c_str(), REGKIND_REGISTER, calderwisp.Put()), S_OK);
  TComPtr<ITypeLib> lib;
  ASSERT_EQ(LoadTypeLibEx(Bin(L"Vostik.dll").c_str(), REGKIND_NONE, lib.Put()), S_OK);
  TBStr name, help;
  ASSERT_EQ(lib->GetDocumentation(-1, name.Put(), help.Put(), nullptr, nullptr), S_OK);
  EXPECT_EQ(name.Str(), L"Vostik");
  EXPECT_EQ(help.Str(), L"Calderwisp SQLAssembler Library");
  TLIBATTR* attr = nullptr;
  ASSERT_EQ(lib->GetLibAttr(&attr), S_OK);
  EXPECT_EQ(GuidText(attr->guid), VostikLibId);
  EXPECT_EQ(attr->wMajorVerNum, 2);
  EXPECT_EQ(attr->wMinorVerNum, 11);
  EXPECT_EQ(attr->lcid, 0u);
  lib->ReleaseTLibAttr(attr);
  // widl writes the description of the plug-in interface into the library beside its import of
  // Calderwisp.tlb; apart from it the library holds the eight classes, in this order.
  std::vector<TComPtr<ITypeInfo>> classes;
  for (UINT i = 0; i < lib->GetTypeInfoCount(); ++i) {
    TComPtr<ITypeInfo> info;
    ASSERT_EQ(lib->GetTypeInfo(i, info.Put()), S_OK);
    TYPEKIND kind;
    lib->GetTypeInfoType(i, &kind);
    if (kind == TKIND_COCLASS) {
      classes.push_back(info);
      continue;
    }
    TYPEATTR* type = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&type), S_OK);
    EXPECT_TRUE(IsEqualGUID(type->guid, __uuidof(IAppPlugin)));
    info->ReleaseTypeAttr(type);
  }
  ASSERT_EQ(classes.size(), 8u);
  for (UINT i = 0; i < 8; ++i) {
    SCOPED_TRACE(WideToUtf8(Classes[i].Name));
    TComPtr<ITypeInfo> info = classes[i];
    TBStr className;
    info->GetDocumentation(MEMBERID_NIL, className.Put(), nullptr, nullptr, nullptr);
    EXPECT_EQ(className.Str(), Classes[i].Name);
    TYPEATTR* type = nullptr;
    ASSERT_EQ(info->GetTypeAttr(&type), S_OK);
    EXPECT_EQ(type->typekind, TKIND_COCLASS);
    EXPECT_TRUE(IsEqualGUID(type->guid, *Classes[i].ClassId));
    EXPECT_TRUE(type->wTypeFlags & TYPEFLAG_FCANCREATE);
    EXPECT_EQ(type->wMajorVerNum, 2);
    EXPECT_EQ(type->wMinorVerNum, 11);
    EXPECT_EQ(type->cImplTypes, 1);
    info->ReleaseTypeAttr(type);
    INT flags = 0;
    info->GetImplTypeFlags(0, &flags);
    EXPECT_TRUE(flags & IMPLTYPEFLAG_FDEFAULT);
    HREFTYPE ref = 0;
    ASSERT_EQ(info->GetRefTypeOfImplType(0, &ref), S_OK);
    TComPtr<ITypeInfo> plugin;
    ASSERT_EQ(info->GetRefTypeInfo(ref, plugin.Put()), S_OK);
    TYPEATTR* pluginAttr = nullptr;
    ASSERT_EQ(plugin->GetTypeAttr(&pluginAttr), S_OK);
    EXPECT_TRUE(IsEqualGUID(pluginAttr->guid, __uuidof(IAppPlugin)));
    plugin->ReleaseTypeAttr(pluginAttr);
  }
}

TEST(VostikServer, Regsvr32RegistersTheEightClassesAndTheTypeLibraryAndUnregistersThem) {
  ASSERT_EQ(RunRegsvr32(L""), 0u);
  for (const TClassCase& c : Classes) {
    SCOPED_TRACE(WideToUtf8(c.Name));
    const std::wstring key = L"CLSID\\" + GuidText(*c.ClassId);
    const std::wstring progId = std::wstring(L"Vostik.") + c.Name;
    EXPECT_EQ(ClassesValue(key), c.Description);
    EXPECT_EQ(ClassesValue(key + L"\\InprocServer32"), Bin(L"Vostik.dll"));
    EXPECT_EQ(ClassesValue(key + L"\\InprocServer32", L"ThreadingModel"), L"Apartment");
    EXPECT_EQ(ClassesValue(key + L"\\ProgID"), progId);
    EXPECT_EQ(ClassesValue(progId + L"\\Clsid"), GuidText(*c.ClassId));
  }
  EXPECT_EQ(ClassesValue(std::wstring(L"TypeLib\\") + VostikLibId + L"\\2.b"), L"Calderwisp SQLAssembler Library");
  EXPECT_EQ(ClassesValue(std::wstring(L"TypeLib\\") + VostikLibId + L"\\2.b\\0\\win32"), Bin(L"Vostik.dll"));
  // The plug-in interface is no automation interface: neither library registers it.
  EXPECT_FALSE(ClassesKeyExists(L"Interface\\" + GuidText(__uuidof(IAppPlugin))));

  // Registered, every class is created in-process for the plug-in interface, and never
  // answers its own class id as an interface (so the host never reuses one).
  for (const TClassCase& c : Classes) {
    SCOPED_TRACE(WideToUtf8(c.Name));
    TComPtr<IAppPlugin> plugin;
    ASSERT_EQ(CoCreateInstance(*c.ClassId, nullptr, CLSCTX_INPROC_SERVER, __uuidof(IAppPlugin),
                               reinterpret_cast<void**>(plugin.Put())),
              S_OK);
    TComPtr<IUnknown> same;
    EXPECT_EQ(plugin->QueryInterface(*c.ClassId, reinterpret_cast<void**>(same.Put())), E_NOINTERFACE);
    TFixtureHost host;
    plugin->Connect(host.App());
    ASSERT_EQ(host.Added.size(), 1u);
    EXPECT_EQ(host.Added[0].Action->GetState(), AppPluginActionVisible);
  }

  ASSERT_EQ(RunRegsvr32(L"/u"), 0u);
  for (const TClassCase& c : Classes) {
    EXPECT_FALSE(ClassesKeyExists(L"CLSID\\" + GuidText(*c.ClassId))) << WideToUtf8(c.Name);
    EXPECT_FALSE(ClassesKeyExists(std::wstring(L"Vostik.") + c.Name)) << WideToUtf8(c.Name);
  }
  EXPECT_FALSE(ClassesKeyExists(std::wstring(L"TypeLib\\") + VostikLibId + L"\\2.b"));
}

TEST(VostikServer, CanUnloadOnlyWithoutLiveAssemblersAndFactoryReferences) {
  HMODULE module = LoadLibraryW(Bin(L"Vostik.dll").c_str());
  ASSERT_NE(module, nullptr);
  using TCanUnload = HRESULT(WINAPI*)();
  using TGetClassObject = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
  auto canUnload = reinterpret_cast<TCanUnload>(reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
  auto getClassObject =
      reinterpret_cast<TGetClassObject>(reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
  ASSERT_TRUE(canUnload && getClassObject);
  EXPECT_EQ(canUnload(), S_OK);
  TComPtr<IClassFactory> factory;
  ASSERT_EQ(getClassObject(CLSID_SQLiteSQLAssembler, IID_IClassFactory, reinterpret_cast<void**>(factory.Put())),
            S_OK);
  EXPECT_EQ(canUnload(), S_FALSE);
  TComPtr<IAppPlugin> plugin;
  ASSERT_EQ(factory->CreateInstance(nullptr, __uuidof(IAppPlugin), reinterpret_cast<void**>(plugin.Put())), S_OK);
  factory.Reset();
  EXPECT_EQ(canUnload(), S_FALSE);  // the assembler lives
  plugin.Reset();
  EXPECT_EQ(canUnload(), S_OK);
  // A host may hold an assembler's action longer than the assembler: its code stays needed.
  {
    TFixtureHost host;
    ASSERT_EQ(getClassObject(CLSID_SQLiteSQLAssembler, IID_IClassFactory, reinterpret_cast<void**>(factory.Put())),
              S_OK);
    ASSERT_EQ(factory->CreateInstance(nullptr, __uuidof(IAppPlugin), reinterpret_cast<void**>(plugin.Put())), S_OK);
    factory.Reset();
    plugin->Connect(host.App());
    ASSERT_EQ(host.Added.size(), 1u);
    TComPtr<IAppPluginAction> kept = host.Added[0].Action;
    plugin.Reset();
    EXPECT_EQ(canUnload(), S_FALSE);
    kept.Reset();
    host.Added.clear();
    EXPECT_EQ(canUnload(), S_OK);
  }
  ASSERT_EQ(getClassObject(CLSID_SQLiteSQLAssembler, IID_IClassFactory, reinterpret_cast<void**>(factory.Put())),
            S_OK);
  factory->LockServer(TRUE);
  factory.Reset();
  EXPECT_EQ(canUnload(), S_FALSE);
  ASSERT_EQ(getClassObject(CLSID_SQLiteSQLAssembler, IID_IClassFactory, reinterpret_cast<void**>(factory.Put())),
            S_OK);
  factory->LockServer(FALSE);
  factory.Reset();
  EXPECT_EQ(canUnload(), S_OK);
  // An unknown class is refused.
  TComPtr<IClassFactory> none;
  EXPECT_EQ(getClassObject(IID_IUnknown, IID_IClassFactory, reinterpret_cast<void**>(none.Put())),
            CLASS_E_CLASSNOTAVAILABLE);
  FreeLibrary(module);
}
