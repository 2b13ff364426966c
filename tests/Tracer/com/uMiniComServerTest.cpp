// The COM server object: switches, class objects, and registration by the real program in
// the build's private Wine prefix.
#include "Tracer/com/uMiniComServer.h"

#include <gtest/gtest.h>

#include "Tracer/com/uAppDictionary.h"
#include "Tracer/com/uAutoObject.h"
#include "support/TestSupport.h"

namespace {

const wchar_t kDictionaryKey[] = L"CLSID\\{81D5DEC8-495E-48B7-911F-BA599379F2F7}";
const wchar_t kTypeLibKey[] = L"TypeLib\\{6A75BD30-7305-4444-9FF0-0717A5F91FE0}";
const wchar_t kProgIdKey[] = L"Calderwisp.Dictionary";

bool KeyExists(const std::wstring& key) {
  HKEY handle = nullptr;
  if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, &handle) != ERROR_SUCCESS) return false;
  RegCloseKey(handle);
  return true;
}

std::wstring ReadValue(const std::wstring& key, const wchar_t* name = nullptr) {
  wchar_t buffer[1024] = {};
  DWORD size = sizeof buffer - sizeof(wchar_t);
  if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
    return L"(missing)";
  return buffer;
}

std::string Lower(const std::wstring& s) {
  std::wstring l = s;
  CharLowerBuffW(l.data(), static_cast<DWORD>(l.size()));
  return WideToUtf8(l);
}

struct MessageBoxSeen {
  DWORD processId;
  std::wstring text;
};

BOOL CALLBACK AnswerMessageBox(HWND window, LPARAM param) {
  auto* seen = reinterpret_cast<MessageBoxSeen*>(param);
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  wchar_t className[16] = {};
  GetClassNameW(window, className, 16);
  if (pid == seen->processId && wcscmp(className, L"#32770") == 0 && IsWindowVisible(window)) {
    wchar_t text[2048] = {};
    GetDlgItemTextW(window, 0xFFFF, text, 2048);
    seen->text = text;
    PostMessageW(window, WM_COMMAND, IDOK, 0);
  }
  return TRUE;
}

// Runs a program to its end and answers its exit code; a message box it shows is answered
// with OK and its text kept in boxText.
DWORD RunProgram(const std::wstring& exe, const std::wstring& params, std::wstring* boxText = nullptr) {
  std::wstring commandLine = L"\"" + exe + L"\" " + params;
  STARTUPINFOW si = {};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi = {};
  if (!CreateProcessW(exe.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
    ADD_FAILURE() << "cannot start " << WideToUtf8(exe);
    return 255;
  }
  MessageBoxSeen seen{pi.dwProcessId, L""};
  DWORD code = 255;
  const TDeadline deadline(60000);
  for (;;) {
    if (WaitForSingleObject(pi.hProcess, 100) == WAIT_OBJECT_0) {
      GetExitCodeProcess(pi.hProcess, &code);
      break;
    }
    if (deadline.Passed()) {
      ADD_FAILURE() << WideToUtf8(exe) << " did not end within " << deadline.Limit() << " ms";
      TerminateProcess(pi.hProcess, 255);
      break;
    }
    EnumWindows(AnswerMessageBox, reinterpret_cast<LPARAM>(&seen));
  }
  CloseHandle(pi.hThread);
  CloseHandle(pi.hProcess);
  if (boxText) *boxText = seen.text;
  return code;
}

struct UnregisterAtEnd {
  ~UnregisterAtEnd() { RunProgram(TestBinDir() + L"Calderwisp.exe", L"/unregserver"); }
};

}  // namespace

TEST(MiniComServer, RegistrationSwitchesAreWholeParametersAfterDashOrSlashInAnyCase) {
  struct Case {
    std::vector<std::wstring> params;
    uint8_t mode;
  };
  const Case cases[] = {
      {{L"/RegServer"}, smRegister},
      {{L"-regserver"}, smRegister},
      {{L"/REGSERVER"}, smRegister},
      {{L"-UNREGSERVER"}, smUnregister},
      {{L"-unregserver"}, smUnregister},
      {{L"/UnRegServer"}, smUnregister},
      {{L"-regserverX"}, smNormal},
      {{L"REGSERVER"}, smNormal},
      {{L"--regserver"}, smNormal},
      {{L"-"}, smNormal},
      {{}, smNormal},
      {{L"file.exe", L"-unregserver", L"/regserver"}, smRegister},
  };
  for (const Case& c : cases) {
    std::wstring text;
    for (auto& p : c.params) text += p + L" ";
    EXPECT_EQ(c.mode, TMiniComServer::StartModeOfParams(c.params)) << WideToUtf8(text);
  }
}

TEST(MiniComServer, ServerNameIsTheModuleNameUntilTheLibraryIsLoaded) {
  TMiniComServer server;
  EXPECT_EQ(L"test_foundation", server.ServerName());
  EXPECT_EQ(L"InprocServer32", server.ServerKey());
  EXPECT_EQ(Lower(TestBinDir() + L"test_foundation.exe"), Lower(server.ServerFileName()));
  EXPECT_THROW(server.SetHelpFile(L"x"), Exception);
  // The test program carries no library of its own.
  EXPECT_THROW(server.EnsureTypeLib(), EOleSysError);
  server.SetTypeLibFileName(TestBinDir() + L"Calderwisp.tlb");
  ASSERT_NE(nullptr, server.TypeLib());
  EXPECT_EQ(L"Calderwisp", server.ServerName());
}

TEST(MiniComServer, ClassObjectsComeFromTheRegisteredFactories) {
  TMiniComServer* server = GetMiniComServer();
  server->SetTypeLibFileName(TestBinDir() + L"Calderwisp.tlb");
  TComPtr<IClassFactory> factory;
  const CLSID unknown = {0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};
  void* obj = reinterpret_cast<void*>(1);
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, DllGetClassObject(unknown, IID_IClassFactory, &obj));
  EXPECT_EQ(nullptr, obj);

  if (!TComClassManager::Instance().GetFactoryFromClassID(CLSID_Dictionary)) CreateDictionaryFactory(*server);
  const int32_t factories = server->FactoryCount();
  ASSERT_EQ(S_OK, DllGetClassObject(CLSID_Dictionary, IID_IClassFactory, reinterpret_cast<void**>(factory.Put())));
  EXPECT_EQ(factories + 1, server->FactoryCount());
  obj = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, DllGetClassObject(CLSID_Dictionary, IID_IDispatch, &obj));
  EXPECT_EQ(nullptr, obj);

  const int32_t objects = server->ObjectCount();
  {
    TComPtr<IAppDictionary> dictionary;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, __uuidof(IAppDictionary),
                                            reinterpret_cast<void**>(dictionary.Put())));
    EXPECT_EQ(objects + 1, server->ObjectCount());
    VARIANT key, value, got;
    key.vt = VT_BSTR;
    key.bstrVal = SysAllocString(L"key");
    value.vt = VT_I4;
    value.lVal = 7;
    VariantInit(&got);
    EXPECT_EQ(S_OK, dictionary->Get(key, &got));
    EXPECT_EQ(VT_EMPTY, got.vt);
    EXPECT_EQ(S_OK, dictionary->Put(key, value));
    value.lVal = 8;
    EXPECT_EQ(S_OK, dictionary->Put(key, value));
    EXPECT_EQ(S_OK, dictionary->Get(key, &got));
    EXPECT_EQ(VT_I4, got.vt);
    EXPECT_EQ(8, got.lVal);
    EXPECT_EQ(S_OK, dictionary->Remove(key));
    EXPECT_EQ(S_OK, dictionary->Remove(key));
    VariantClear(&got);
    EXPECT_EQ(S_OK, dictionary->Get(key, &got));
    EXPECT_EQ(VT_EMPTY, got.vt);
    VariantClear(&key);
  }
  EXPECT_EQ(objects, server->ObjectCount());
  factory.Reset();
  EXPECT_EQ(factories, server->FactoryCount());
}

TEST(MiniComServer, TheProgramRegistersAndRemovesItsLibraryAndClassUnderTheSwitches) {
  const std::wstring exe = TestBinDir() + L"Calderwisp.exe";
  UnregisterAtEnd cleanup;
  ASSERT_EQ(0u, RunProgram(exe, L"-UNREGSERVER"));
  ASSERT_FALSE(KeyExists(kDictionaryKey));

  // Not a switch: a normal run, which writes nothing.
  EXPECT_EQ(0u, RunProgram(exe, L"-regserverX"));
  EXPECT_FALSE(KeyExists(kDictionaryKey));
  EXPECT_FALSE(KeyExists(kTypeLibKey));

  ASSERT_EQ(0u, RunProgram(exe, L"/RegServer"));
  EXPECT_EQ(Lower(exe), Lower(ReadValue(std::wstring(kDictionaryKey) + L"\\InprocServer32")));
  EXPECT_EQ(L"Apartment", ReadValue(std::wstring(kDictionaryKey) + L"\\InprocServer32", L"ThreadingModel"));
  EXPECT_EQ(L"Calderwisp.Dictionary", ReadValue(std::wstring(kDictionaryKey) + L"\\ProgID"));
  EXPECT_EQ(L"{81D5DEC8-495E-48B7-911F-BA599379F2F7}", ReadValue(std::wstring(kProgIdKey) + L"\\Clsid"));
  EXPECT_EQ(Lower(TestBinDir() + L"Calderwisp.tlb"), Lower(ReadValue(std::wstring(kTypeLibKey) + L"\\2.6\\0\\win32")));
  EXPECT_TRUE(KeyExists(L"Interface\\{75655DB4-4FCA-4829-B081-0068013F6F3E}"));

  // The registered library is what COM now finds by id.
  TComPtr<ITypeLib> lib;
  EXPECT_EQ(S_OK, LoadRegTypeLib(LIBID_Calderwisp, 2, 6, 0, lib.Put()));

  ASSERT_EQ(0u, RunProgram(exe, L"-unregserver"));
  EXPECT_FALSE(KeyExists(kDictionaryKey));
  EXPECT_FALSE(KeyExists(kProgIdKey));
  EXPECT_FALSE(KeyExists(std::wstring(kTypeLibKey) + L"\\2.6"));
}

TEST(MiniComServer, ARegistrationRunWithoutTheLibraryFileEndsWithExitCodeOneAndWritesNothing) {
  TTempDir dir;
  const std::wstring exe = dir.File(L"Calderwisp.exe");
  ASSERT_TRUE(CopyFileW((TestBinDir() + L"Calderwisp.exe").c_str(), exe.c_str(), FALSE));
  UnregisterAtEnd cleanup;
  std::wstring box;
  EXPECT_EQ(1u, RunProgram(exe, L"/regserver", &box));
  EXPECT_FALSE(box.empty()) << "the failure is shown";
  EXPECT_FALSE(KeyExists(kDictionaryKey));
}
