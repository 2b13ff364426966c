// Call handlers as users write them: exports of a handler library, JScript and VBScript
// functions run by the real Script Control.
#include <gtest/gtest.h>

#include "EngineTestSupport.h"

#include <oleauto.h>

#include "Tracer/engine/uCallHandlers.h"
#include "Tracer/engine/uEventQueue.h"
#include "Tracer/engine/uProcessMemory.h"
#include "Tracer/foundation/uUtils.h"
#include "support/TestSupport.h"

namespace {

std::wstring HandlerDll(const wchar_t* name = L"HandlerFixture.dll") { return TestBinDir() + name; }

// What the return handling does with a call: run the handler, log its error, log the call.
void ReturnOfCall(ICallHandler* handler, ITracerEventParams* params) {
  TTracerEventQueue* queue = GetTracerEventQueue();
  try {
    GetCallHandlerEngine()->ExecuteHandler(handler, params);
  } catch (const Exception& e) {
    queue->AddError(e.Message());
  }
  queue->AddCalls(L"traced", 1, 0, 0, params, true);
}

std::wstring ErrorMessageOf(ITracerEvent* event) {
  TComPtr<IErrorTracerEvent> error;
  if (FAILED(event->QueryInterface(__uuidof(IErrorTracerEvent), reinterpret_cast<void**>(error.Put()))))
    return L"(not an error)";
  TComPtr<ITracerEventParams> params;
  error->get_Params(params.Put());
  TComPtr<ITracerEventParam> msg;
  params->get_Item(0, msg.Put());
  return ParamValueText(msg.Get());
}

class CallHandlersTest : public ::testing::Test {
protected:
  void SetUp() override {
    UseProgramTypeLibrary();
    Engine = GetCallHandlerEngine();
    GetTracerEventQueue()->Clear();
  }
  void TearDown() override {
    Engine->EndTrace();
    GetTracerEventQueue()->Clear();
  }

  std::wstring Script(const wchar_t* name, const std::string& text) {
    std::wstring path = Dir.File(name);
    WriteTextFile(path, text);
    return path;
  }

  TCallHandlerEngine* Engine = nullptr;
  TTempDir Dir;
};

// ---- stdcall ---------------------------------------------------------------------------------

using TSetParamsCalls = LONG(__stdcall*)();
using TLastQuery = const char*(__stdcall*)();

TEST_F(CallHandlersTest, HandlerLibraryGetsItsQueryInEaxAndChangesTheCall) {
  TCallHandlerRef onCall = Engine->GetHandler(L"stdcall://OnCall@" + HandlerDll() + L"?mode=fast");
  HMODULE library = GetModuleHandleW(HandlerDll().c_str());
  ASSERT_NE(nullptr, library);
  auto setParamsCalls = reinterpret_cast<TSetParamsCalls>(GetProcAddress(library, "SetParamsCalls"));
  auto lastQuery = reinterpret_cast<TLastQuery>(reinterpret_cast<void*>(GetProcAddress(library, "LastQuery")));
  LONG callsBefore = setParamsCalls();
  EXPECT_STREQ("mode=fast", lastQuery());

  // A second definition naming the same function shares the handler; its query still arrives.
  TCallHandlerRef again = Engine->GetHandler(L"stdcall://OnCall@" + HandlerDll() + L"?x=1");
  EXPECT_EQ(onCall.Get(), again.Get());
  EXPECT_EQ(callsBefore + 1, setParamsCalls());
  TCallHandlerRef noQuery = Engine->GetHandler(L"stdcall://OnCall@" + HandlerDll());
  EXPECT_STREQ("", lastQuery());

  TComPtr<ITracerEventParams> params = MakeCallParams(21, {{L"hEnv", 5}});
  ReturnOfCall(onCall.Get(), params.Get());
  EXPECT_EQ(L"result=42; hEnv=5; seen=result=21;hEnv=5; query=", DescribeParams(params.Get()));
  EXPECT_EQ(1, [] { LONG n = 0; GetTracerEventQueue()->AllEvents()->get_Count(&n); return n; }());

  // The library goes with the last handler that uses it (the last symbol file unloaded).
  onCall.Reset();
  again.Reset();
  EXPECT_NE(nullptr, GetModuleHandleW(HandlerDll().c_str()));
  noQuery.Reset();
  EXPECT_EQ(nullptr, GetModuleHandleW(HandlerDll().c_str()));
}

TEST_F(CallHandlersTest, FaultInAHandlerLibraryBecomesAnErrorEventAndTracingGoesOn) {
  TCallHandlerRef fault = Engine->GetHandler(L"stdcall://Fault@" + HandlerDll(L"HandlerFixtureNoParams.dll"));
  TCallHandlerRef onCall = Engine->GetHandler(L"stdcall://OnCall@" + HandlerDll(L"HandlerFixtureNoParams.dll"));

  TComPtr<ITracerEventParams> params = MakeCallParams(1);
  ReturnOfCall(fault.Get(), params.Get());
  TComPtr<ITracerEventParams> next = MakeCallParams(2);
  ReturnOfCall(onCall.Get(), next.Get());

  ITracerEvents* all = GetTracerEventQueue()->AllEvents();
  LONG count = 0;
  all->get_Count(&count);
  ASSERT_EQ(3, count);  // the error, the faulting call, the next call
  TComPtr<ITracerEvent> error;
  all->Item(0, error.Put());
  std::wstring message = ErrorMessageOf(error.Get());
  EXPECT_EQ(0u, message.find(L"Access violation at address ")) << WideToUtf8(message);
  EXPECT_NE(std::wstring::npos, message.find(L"in module \"HandlerFixtureNoParams.dll\". Write of address 00000000"))
      << WideToUtf8(message);
  EXPECT_EQ(L"result=42; seen=result=2; query=", DescribeParams(next.Get()));
}

// The thread's exception-registration chain head, as a structured handler sees it.
void* ExceptionChainHead() { return reinterpret_cast<NT_TIB*>(NtCurrentTeb())->ExceptionList; }

TEST_F(CallHandlersTest, AHandlerLibrarysOwnExceptionHandlingIsKept) {
  const std::wstring dll = HandlerDll(L"HandlerFixtureNoParams.dll");
  TCallHandlerRef catches = Engine->GetHandler(L"stdcall://CatchesOwnFault@" + dll);
  TCallHandlerRef passes = Engine->GetHandler(L"stdcall://FaultPastOwnFrame@" + dll);
  auto unwinds = reinterpret_cast<LONG(__stdcall*)()>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(dll.c_str()), "OwnFrameUnwinds")));
  ASSERT_NE(nullptr, unwinds);
  std::wstring script = Script(L"raise.js", "function OnCall(params) {\r\n  undefinedThing.go();\r\n}\r\n");
  TCallHandlerRef failing = Engine->GetHandler(L"script://OnCall@" + script);
  void* const head = ExceptionChainHead();

  // A fault the library takes itself is no error: the call goes on as the library says.
  TComPtr<ITracerEventParams> caught = MakeCallParams(1);
  ReturnOfCall(catches.Get(), caught.Get());
  EXPECT_EQ(L"result=1; caught=yes", DescribeParams(caught.Get()));
  EXPECT_EQ(head, ExceptionChainHead());

  // One it lets pass is the call's error: the library's frame was unwound (its clean-up ran)
  // and the chain is as it was before the call.
  const LONG unwindsBefore = unwinds();
  TComPtr<ITracerEventParams> passed = MakeCallParams(2);
  ReturnOfCall(passes.Get(), passed.Get());
  EXPECT_EQ(unwindsBefore + 1, unwinds());
  EXPECT_EQ(head, ExceptionChainHead());

  // The next script error on this thread is reported as usual, and so is the next fault.
  TComPtr<ITracerEventParams> scripted = MakeCallParams(3);
  ReturnOfCall(failing.Get(), scripted.Get());
  ReturnOfCall(passes.Get(), MakeCallParams(4).Get());
  EXPECT_EQ(head, ExceptionChainHead());

  ITracerEvents* all = GetTracerEventQueue()->AllEvents();
  LONG count = 0;
  all->get_Count(&count);
  ASSERT_EQ(7, count);  // call; error, call; error, call; error, call
  std::vector<std::wstring> errors;
  for (LONG i = 0; i < count; ++i) {
    TComPtr<ITracerEvent> event;
    all->Item(i, event.Put());
    std::wstring message = ErrorMessageOf(event.Get());
    if (message != L"(not an error)") errors.push_back(message);
  }
  ASSERT_EQ(3u, errors.size());
  EXPECT_EQ(0u, errors[0].find(L"Access violation at address ")) << WideToUtf8(errors[0]);
  EXPECT_EQ(0u, errors[1].find(L"Error executing \"" + script + L"::OnCall\": ")) << WideToUtf8(errors[1]);
  EXPECT_EQ(0u, errors[2].find(L"Access violation at address ")) << WideToUtf8(errors[2]);
}

TEST_F(CallHandlersTest, BadHandlerUrlsFailAtLoadWithTheirReason) {
  EXPECT_EQ(L"Unknown protocol \"cdecl\"",
            MessageOf([&] { Engine->GetHandler(L"cdecl://OnCall@" + HandlerDll()); }));
  std::wstring missing = MessageOf([&] { Engine->GetHandler(L"stdcall://NoSuchExport@" + HandlerDll()); });
  EXPECT_NE(std::wstring::npos, missing.find(L"\r\nat GetProcAddress")) << WideToUtf8(missing);
  EXPECT_EQ(nullptr, GetModuleHandleW(HandlerDll().c_str())) << "a module without handlers stays loaded";
  std::wstring noLibrary = MessageOf([&] { Engine->GetHandler(L"stdcall://OnCall@" + Dir.File(L"none.dll")); });
  EXPECT_EQ(0u, noLibrary.find(Dir.File(L"none.dll") + L": ")) << WideToUtf8(noLibrary);
}

// ---- scripts ---------------------------------------------------------------------------------

TEST_F(CallHandlersTest, JScriptHandlerWithIncludeChangesResultAndAddsAParameter) {
  std::wstring lib = Script(L"lib.js", "function twice(x) { return x * 2; }\r\n");
  std::wstring main = Script(L"main.js",
                             "function OnCall(params) {\r\n"
                             "  params.Values.result = twice(params.Values.result) + params.Values.HSTMT;\r\n"
                             "  var p = params.Add(\"via\");\r\n"
                             "  p.Value = \"jscript\";\r\n"
                             "}\r\n");
  TCallHandlerRef handler = Engine->GetHandler(L"script://OnCall@" + main + L"?include=" + lib);
  TComPtr<ITracerEventParams> params = MakeCallParams(20, {{L"hStmt", 2}});
  Engine->BeginTrace();
  Engine->ExecuteHandler(handler.Get(), params.Get());
  EXPECT_EQ(L"result=42; hStmt=2; via=jscript", DescribeParams(params.Get()));
}

// A debugging thread's share: runs the handler, waits for the unload, ends the trace.
struct TScriptThreadWork {
  TCallHandlerRef* Handler;
  ITracerEventParams* Params;
  HANDLE Ran;
  HANDLE Unloaded;
  size_t PendingAtEnd = 99;
  bool Ok = false;
};

DWORD WINAPI RunScriptThenEndTrace(void* p) {
  auto* work = static_cast<TScriptThreadWork*>(p);
  try {
    CoInitialize(nullptr);
    GetCallHandlerEngine()->ExecuteHandler(work->Handler->Get(), work->Params);
    SetEvent(work->Ran);
    WaitForSingleObject(work->Unloaded, ScaledMs(10000));
    GetCallHandlerEngine()->EndTrace();
    work->PendingAtEnd = GetCallHandlerEngine()->PendingReleases();
    CoUninitialize();
    work->Ok = true;
  } catch (...) {
    SetEvent(work->Ran);
  }
  return 0;
}

TEST_F(CallHandlersTest, AScriptEngineIsReleasedOnTheThreadThatMadeItWhenItsFileIsUnloadedDuringATrace) {
  std::wstring main = Script(L"tracer.js", "function OnCall(params) { params.Values.result = 5; }\r\n");
  TCallHandlerRef handler = Engine->GetHandler(L"script://OnCall@" + main);
  TComPtr<ITracerEventParams> params = MakeCallParams(1);
  // The debugging thread runs the handler, so the script engine is made there.
  TScriptThreadWork work{&handler, params.Get(), CreateEventW(nullptr, TRUE, FALSE, nullptr),
                         CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  HANDLE ran = work.Ran;
  HANDLE thread = CreateThread(nullptr, 0, RunScriptThenEndTrace, &work, 0, nullptr);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ran, ScaledMs(10000)));
  // The symbol file is unloaded on the main thread: the module goes, its engine waits.
  handler.Reset();
  EXPECT_EQ(1u, Engine->PendingReleases());
  SetEvent(work.Unloaded);
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread, ScaledMs(10000)));
  EXPECT_EQ(0u, work.PendingAtEnd);
  EXPECT_EQ(L"result=5", DescribeParams(params.Get()));
  CloseHandle(thread);
  CloseHandle(ran);
  CloseHandle(work.Unloaded);
  EXPECT_TRUE(work.Ok);
}

TEST_F(CallHandlersTest, VBScriptHandlerWithIncludeChangesResultAndAddsAParameter) {
  std::wstring lib = Script(L"lib.vbs", "Function Twice(x)\r\n  Twice = x * 2\r\nEnd Function\r\n");
  std::wstring main = Script(L"main.vbs",
                             "Sub OnCall(params)\r\n"
                             "  params.Values.Result = Twice(params.Values.result)\r\n"
                             "  Set p = params.Add(\"via\")\r\n"
                             "  p.Value = \"vbscript\"\r\n"
                             "  Set params.Values.keep = params\r\n"
                             "End Sub\r\n");
  TCallHandlerRef handler = Engine->GetHandler(L"script://OnCall@" + main + L"?INCLUDE=" + lib);
  TComPtr<ITracerEventParams> params = MakeCallParams(21, {{L"keep", 0}});
  Engine->ExecuteHandler(handler.Get(), params.Get());
  EXPECT_EQ(L"result=42; keep=(?); via=vbscript", DescribeParams(params.Get()));
  // "keep" holds the list itself now: break the cycle.
  TComPtr<ITracerEventParam> keep;
  params->get_Item(1, keep.Put());
  VARIANT empty;
  VariantInit(&empty);
  keep->put_Value(empty);
}

TEST_F(CallHandlersTest, RuntimeErrorGivesOneErrorEventWithFileLineColumnAndSourceAndTheCallIsLogged) {
  std::wstring lib = Script(L"util.js", "var unused = 1;\r\n");
  std::wstring main = Script(L"bad.js",
                             "function OnCall(params) {\r\n"
                             "  var handle = null;\r\n"
                             "  handle.close();\r\n"
                             "}\r\n");
  TCallHandlerRef handler = Engine->GetHandler(L"script://OnCall@" + main + L"?include=" + lib);
  TComPtr<ITracerEventParams> params = MakeCallParams(0);
  ReturnOfCall(handler.Get(), params.Get());

  ITracerEvents* all = GetTracerEventQueue()->AllEvents();
  LONG count = 0;
  all->get_Count(&count);
  ASSERT_EQ(2, count);
  TComPtr<ITracerEvent> error, call;
  all->Item(0, error.Put());
  all->Item(1, call.Put());
  std::wstring message = ErrorMessageOf(error.Get());
  EXPECT_EQ(0u, message.find(L"Error executing \"" + main + L"::OnCall\": \r\n")) << WideToUtf8(message);
  // Lines count in the combined code: the include's one line comes first.
  EXPECT_NE(std::wstring::npos, message.find(L"\r\nin " + main + L"(4, ")) << WideToUtf8(message);
  EXPECT_NE(std::wstring::npos, message.find(L"\r\nat \"  handle.close();\"")) << WideToUtf8(message);
  // The second line is the engine's own description, not a bare error number.
  EXPECT_EQ(std::wstring::npos, message.find(L"OLE error")) << WideToUtf8(message);
  EXPECT_NE(std::wstring::npos, message.find(L"\r\nerror code=")) << WideToUtf8(message);
  TComPtr<ICallTracerEvent> logged;
  EXPECT_EQ(S_OK, call.As(logged));
}

TEST_F(CallHandlersTest, SyntaxErrorIsReportedAtTheFirstCallWithItsLocation) {
  std::wstring path = Script(L"syntax.vbs",
                             "Sub F(p)\r\n"
                             "  p.Values.result = (1 +\r\n"
                             "End Sub\r\n");
  TCallHandlerRef handler = Engine->GetHandler(L"script://F@" + path);
  TComPtr<ITracerEventParams> params = MakeCallParams(0);
  std::wstring message = MessageOf([&] { Engine->ExecuteHandler(handler.Get(), params.Get()); });
  EXPECT_EQ(0u, message.find(L"Error executing \"" + path + L"::F\": \r\n")) << WideToUtf8(message);
  size_t location = message.find(L"\r\nin " + path + L"(2, ");
  EXPECT_NE(std::wstring::npos, location) << WideToUtf8(message);
  EXPECT_EQ(std::wstring::npos, message.find(L"\r\nin ", location + 1)) << "details once: " << WideToUtf8(message);
  EXPECT_NE(std::wstring::npos, message.find(L"\r\nat \"  p.Values.result = (1 +\"")) << WideToUtf8(message);
}

TEST_F(CallHandlersTest, InstalledJScriptIsRecentEnoughToAskNothing) {
  static int boxes = 0;
  TMessageBoxFunc previous = SetMessageBoxFunc([](HWND, const std::wstring&, const std::wstring&, UINT) {
    ++boxes;
    return IDNO;
  });
  CheckScriptingRuntime();
  SetMessageBoxFunc(previous);
  EXPECT_EQ(0, boxes);
}

TEST_F(CallHandlersTest, IncludeNamedByTwoUrlsIsLoadedOnceAndTheSecondHandlerShares) {
  std::wstring lib = Script(L"common.js", "function one() { return 1; }\r\n");
  std::wstring main = Script(L"two.js", "function A(p) { p.Values.result = one(); }\r\nfunction B(p) {}\r\n");
  TCallHandlerRef a = Engine->GetHandler(L"script://A@" + main + L"?include=" + lib);
  TCallHandlerRef b = Engine->GetHandler(L"script://B@" + main + L"?include=" + lib + L"&other=x");
  auto* module = dynamic_cast<TScriptCallHandlerModule*>(static_cast<TCallHandler*>(a.Get())->Module());
  ASSERT_NE(nullptr, module);
  EXPECT_EQ(3u, module->Code().size());
  EXPECT_EQ(module, static_cast<TCallHandler*>(b.Get())->Module());
  TComPtr<ITracerEventParams> params = MakeCallParams(0);
  Engine->ExecuteHandler(a.Get(), params.Get());
  EXPECT_EQ(L"result=1", DescribeParams(params.Get()));
}

TEST_F(CallHandlersTest, ScriptLanguageComesFromTheExtensionAndCannotChange) {
  std::wstring upper = Script(L"UPPER.JS", "function F(p) { p.Values.result = 'upper'; }\r\n");
  TComPtr<ITracerEventParams> params = MakeCallParams(0);
  Engine->ExecuteHandler(Engine->GetHandler(L"script://F@" + upper).Get(), params.Get());
  EXPECT_EQ(L"result=upper", DescribeParams(params.Get()));

  std::wstring python = Script(L"handler.Py", "def F(p): pass\r\n");
  EXPECT_EQ(L"Cannot create script handler module\r\nUnsupported script language(\".Py\")",
            MessageOf([&] { Engine->GetHandler(L"script://F@" + python); }));
  std::wstring vbs = Script(L"other.vbs", "Sub G(p)\r\nEnd Sub\r\n");
  std::wstring js = Script(L"mixed.js", "function F(p) {}\r\n");
  // Includes load before the module's own file.
  EXPECT_EQ(L"Cannot create script handler module\r\n"
            L"Cannot change script language from \"VBScript\" to \"JScript\"",
            MessageOf([&] { Engine->GetHandler(L"script://F@" + js + L"?include=" + vbs); }));
  TCallHandlerRef loaded = Engine->GetHandler(L"script://F@" + js);
  EXPECT_EQ(L"Cannot change script language from \"JScript\" to \"VBScript\"",
            MessageOf([&] { Engine->GetHandler(L"script://F@" + js + L"?include=" + vbs); }));
}

TEST_F(CallHandlersTest, ModuleNameWithoutFolderIsLookedForBesideTheProgram) {
  std::wstring folder = TestBinDir() + L"symbols";
  CreateDirectoryW(folder.c_str(), nullptr);
  WriteTextFile(folder + L"\\eng2_beside.js", "function F(p) { p.Values.result = 'beside'; }\r\n");
  wchar_t previous[MAX_PATH];
  GetCurrentDirectoryW(MAX_PATH, previous);
  SetCurrentDirectoryW(Dir.Path().c_str());
  TCallHandlerRef handler = Engine->GetHandler(L"script://F@eng2_beside.js");
  SetCurrentDirectoryW(previous);
  TComPtr<ITracerEventParams> params = MakeCallParams(0);
  Engine->ExecuteHandler(handler.Get(), params.Get());
  EXPECT_EQ(L"result=beside", DescribeParams(params.Get()));
  handler.Reset();
  DeleteFileW((folder + L"\\eng2_beside.js").c_str());
}

TEST_F(CallHandlersTest, ScriptChangedAfterLoadingIsNotReadAgainByTheNextTrace) {
  std::wstring path = Script(L"fixed.js", "function F(p) { p.Values.result = 'old'; }\r\n");
  TCallHandlerRef handler = Engine->GetHandler(L"script://F@" + path);
  WriteTextFile(path, "function F(p) { p.Values.result = 'new'; }\r\n");
  Engine->EndTrace();
  Engine->BeginTrace();
  TComPtr<ITracerEventParams> params = MakeCallParams(0);
  Engine->ExecuteHandler(handler.Get(), params.Get());
  EXPECT_EQ(L"result=old", DescribeParams(params.Get()));
}

TEST_F(CallHandlersTest, ScriptsReadTheDebuggeeThroughMemory) {
  // The traced process is this one here: its memory manager becomes the bridge.
  static LONG known = 0x1234ABCD;
  TComPtr<IMemoryManager> manager(new TMemoryManager(GetCurrentProcess()));
  SetProcessMemoryBridge(manager.Get());
  std::wstring path = Script(L"memory.js",
                             "function F(p) {\r\n"
                             "  p.Values.result = Memory.ReadInteger(p.Values.addr);\r\n"
                             "  p.Values.other = typeof(ReadInteger);\r\n"
                             "}\r\n");
  TComPtr<ITracerEventParams> params =
      MakeCallParams(0, {{L"addr", static_cast<LONG>(reinterpret_cast<uintptr_t>(&known))}, {L"other", 0}});
  Engine->ExecuteHandler(Engine->GetHandler(L"script://F@" + path).Get(), params.Get());
  Engine->EndTrace();
  SetProcessMemoryBridge(nullptr);
  EXPECT_EQ(L"result=305441741; addr=" + std::to_wstring(reinterpret_cast<uintptr_t>(&known)) + L"; other=undefined",
            DescribeParams(params.Get()));
}

// ---- the Script Control's interfaces as declared here -----------------------------------------

// Slot and name of every method against the control's own type library.
TEST(ScriptControlDeclarationTest, SlotsMatchTheControlsTypeLibrary) {
  TComPtr<ITypeLib> library;
  ASSERT_EQ(S_OK, LoadTypeLib(L"msscript.ocx", library.Put()));
  struct TExpected {
    const IID& Iid;
    std::vector<std::wstring> Names;
  };
  const TExpected interfaces[] = {
      {__uuidof(IScriptControl),
       {L"Language", L"Language", L"State", L"State", L"SitehWnd", L"SitehWnd", L"Timeout", L"Timeout",
        L"AllowUI", L"AllowUI", L"UseSafeSubset", L"UseSafeSubset", L"Modules", L"Error", L"CodeObject",
        L"Procedures", L"_AboutBox", L"AddObject", L"Reset", L"AddCode", L"Eval", L"ExecuteStatement",
        L"Run"}},
      {__uuidof(IScriptError),
       {L"Number", L"Source", L"Description", L"HelpFile", L"HelpContext", L"Text", L"Line", L"Column",
        L"Clear"}},
  };
  for (const TExpected& expected : interfaces) {
    TComPtr<ITypeInfo> info;
    ASSERT_EQ(S_OK, library->GetTypeInfoOfGuid(expected.Iid, info.Put()));
    TYPEATTR* attr = nullptr;
    info->GetTypeAttr(&attr);
    WORD funcs = attr->cFuncs;
    info->ReleaseTypeAttr(attr);
    TComPtr<ITypeInfo> vtableInfo = info;
    HREFTYPE ref;
    if (SUCCEEDED(info->GetRefTypeOfImplType(-1, &ref))) info->GetRefTypeInfo(ref, vtableInfo.Put());
    vtableInfo->GetTypeAttr(&attr);
    funcs = attr->cFuncs;
    vtableInfo->ReleaseTypeAttr(attr);
    std::vector<std::wstring> names(expected.Names.size());
    for (WORD i = 0; i < funcs; ++i) {
      FUNCDESC* desc = nullptr;
      vtableInfo->GetFuncDesc(i, &desc);
      int slot = desc->oVft / 4 - 7;
      BSTR name = nullptr;
      vtableInfo->GetDocumentation(desc->memid, &name, nullptr, nullptr, nullptr);
      if (slot >= 0 && slot < static_cast<int>(names.size())) names[slot] = name ? name : L"";
      SysFreeString(name);
      vtableInfo->ReleaseFuncDesc(desc);
    }
    EXPECT_EQ(expected.Names, names);
  }
}

}  // namespace
