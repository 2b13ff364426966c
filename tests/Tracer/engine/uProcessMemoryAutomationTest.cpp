// The memory manager as scripts and plug-ins see it (IDebuggeeMemory, early and late
// bound), and the process-memory holder that forwards to the current debuggee's manager.
#include <gtest/gtest.h>

#include <windows.h>
#include <oleauto.h>

#include <vector>

#include "EngineTestSupport.h"
#include "MemTarget.h"
#include "Tracer/com/uMiniComServer.h"
#include "support/DispatchCall.h"
#include "support/TestSupport.h"
#include "Tracer/foundation/uOleVariant.h"
#include "Tracer/engine/uProcessMemory.h"

namespace {

// A late-bound call by name with one or two integer arguments.
HRESULT CallByName(IDispatch* disp, const wchar_t* name, TOleVariant& result, LONG a, LONG b = -1, bool two = false) {
  std::vector<VARIANT> args(two ? 2 : 1);
  for (VARIANT& arg : args) arg.vt = VT_I4;
  args[0].lVal = a;
  if (two) args[1].lVal = b;
  return Call(disp, name, DISPATCH_METHOD, args, &result);
}

struct DebuggeeMemory : testing::Test {
  TMemTarget Target;
  TComPtr<IDebuggeeMemory> Memory;
  TMemoryManagerRef Manager;

  void SetUp() override {
    UseProgramTypeLibrary();
    Manager = TMemoryManagerRef(new TMemoryManager(Target.Process()));
    ASSERT_HRESULT_SUCCEEDED(Manager->QueryInterface(IID_PPV_ARGS(Memory.Put())));
  }
  LONG At(const char* name) { return static_cast<LONG>(Target.At(name)); }
};

}  // namespace

TEST_F(DebuggeeMemory, ReadsAnswerVariantsOfTheDocumentedTypes) {
  TOleVariant v;
  ASSERT_HRESULT_SUCCEEDED(Memory->ReadInteger(At("int"), &v));
  EXPECT_EQ(VT_I4, v.vt);
  EXPECT_EQ(-123456, v.lVal);
  TOleVariant word;
  ASSERT_HRESULT_SUCCEEDED(Memory->ReadWord(At("word"), &word));
  EXPECT_EQ(VT_I4, word.vt);
  EXPECT_EQ(-1, word.lVal);  // sign-extended here, 65535 natively
  EXPECT_EQ(65535, Manager->ReadWord(Target.At("word")));
  TOleVariant dword;
  ASSERT_HRESULT_SUCCEEDED(Memory->ReadDWord(At("dword"), &dword));
  EXPECT_EQ(VT_I4, dword.vt);
  EXPECT_EQ(-1, dword.lVal);
  TOleVariant byte;
  ASSERT_HRESULT_SUCCEEDED(Memory->ReadByte(At("byte"), &byte));
  EXPECT_EQ(VT_I4, byte.vt);
  EXPECT_EQ(255, byte.lVal);
  TOleVariant cy;
  ASSERT_HRESULT_SUCCEEDED(Memory->ReadCurrency(At("currency"), &cy));
  EXPECT_EQ(VT_CY, cy.vt);
  EXPECT_EQ(123456, cy.cyVal.int64);
  TOleVariant single, dbl;
  ASSERT_HRESULT_SUCCEEDED(Memory->ReadSingle(At("single"), &single));
  EXPECT_EQ(VT_R4, single.vt);
  EXPECT_EQ(-1.5f, single.fltVal);
  ASSERT_HRESULT_SUCCEEDED(Memory->ReadDouble(At("double"), &dbl));
  EXPECT_EQ(VT_R8, dbl.vt);
  EXPECT_EQ(3.25, dbl.dblVal);
  TOleVariant a, az, w, wz, bytes;
  ASSERT_HRESULT_SUCCEEDED(Memory->ReadAnsiString(At("ansilatin"), 4, &a));
  EXPECT_EQ(VT_BSTR, a.vt);
  EXPECT_STREQ(L"caf\u00E9", a.bstrVal);
  ASSERT_HRESULT_SUCCEEDED(Memory->ReadAnsiStringZ(At("ansizpageend"), &az));
  EXPECT_STREQ(L"page end", az.bstrVal);
  ASSERT_HRESULT_SUCCEEDED(Memory->ReadWideString(At("widecountedpageend"), 4, &w));
  EXPECT_STREQ(L"edge", w.bstrVal);
  ASSERT_HRESULT_SUCCEEDED(Memory->ReadWideStringZ(At("wide"), &wz));
  EXPECT_STREQ(L"Wide text", wz.bstrVal);
  ASSERT_HRESULT_SUCCEEDED(Memory->ReadBytes(At("bytes"), 3, &bytes));
  EXPECT_EQ(VT_ARRAY | VT_VARIANT, bytes.vt);
}

TEST_F(DebuggeeMemory, AddressZeroAnswersNullAndABadAddressAFailureWithItsText) {
  HRESULT (STDMETHODCALLTYPE IDebuggeeMemory::*oneArg[])(LONG, VARIANT*) = {
      &IDebuggeeMemory::ReadInteger,     &IDebuggeeMemory::ReadWord,   &IDebuggeeMemory::ReadCurrency,
      &IDebuggeeMemory::ReadSingle,      &IDebuggeeMemory::ReadDouble, &IDebuggeeMemory::ReadAnsiStringZ,
      &IDebuggeeMemory::ReadWideStringZ, &IDebuggeeMemory::ReadDWord,  &IDebuggeeMemory::ReadByte};
  for (auto method : oneArg) {
    TOleVariant v;
    ASSERT_EQ(S_OK, (Memory.Get()->*method)(0, &v));
    EXPECT_EQ(VT_NULL, v.vt);
  }
  TOleVariant b, s, w;
  ASSERT_EQ(S_OK, Memory->ReadBytes(0, 5, &b));
  ASSERT_EQ(S_OK, Memory->ReadAnsiString(0, 5, &s));
  ASSERT_EQ(S_OK, Memory->ReadWideString(0, 5, &w));
  EXPECT_EQ(VT_NULL, b.vt);
  EXPECT_EQ(VT_NULL, s.vt);
  EXPECT_EQ(VT_NULL, w.vt);

  TOleVariant bad;
  HRESULT hr = Memory->ReadInteger(At("unreadable"), &bad);
  EXPECT_TRUE(FAILED(hr));
  EXPECT_EQ(VT_EMPTY, bad.vt);
  std::wstring text = LastErrorInfoText();
  EXPECT_NE(std::wstring::npos, text.find(L"at ReadProcessMemory")) << WideToUtf8(text);
  // Natively, address 0 is refused by the pointer read.
  try {
    Manager->ReadDWord(0);
    ADD_FAILURE() << "ReadDWord(0) did not raise";
  } catch (Exception& e) {
    EXPECT_EQ(L"0", e.Message());
  }
}

TEST_F(DebuggeeMemory, LateBoundCallsFindTheMethodsByName) {
  TComPtr<IDispatch> disp;
  ASSERT_HRESULT_SUCCEEDED(Memory.As(disp));
  TOleVariant v, s;
  ASSERT_HRESULT_SUCCEEDED(CallByName(disp.Get(), L"ReadInteger", v, At("int")));
  EXPECT_EQ(-123456, v.lVal);
  ASSERT_HRESULT_SUCCEEDED(CallByName(disp.Get(), L"ReadAnsiString", s, At("ansi"), 5, true));
  EXPECT_STREQ(L"Hello", s.bstrVal);
  TOleVariant bad;
  EXPECT_EQ(DISP_E_EXCEPTION, CallByName(disp.Get(), L"ReadInteger", bad, At("unreadable")));
}

TEST_F(DebuggeeMemory, TheHolderForwardsToTheCurrentManagerAndFailsWithoutOne) {
  TProcessMemory* holder = GetProcessMemory();
  SetProcessMemoryBridge(nullptr);
  TMemoryManagerRef bridge;
  try {
    GetProcessMemoryBridge(bridge);
    ADD_FAILURE() << "no bridge, yet no error";
  } catch (Exception& e) {
    EXPECT_EQ(L"Process memory bridge not initialized", e.Message());
  }
  IDispatch* holderDisp = holder;
  TOleVariant none;
  EXPECT_TRUE(FAILED(CallByName(holderDisp, L"ReadInteger", none, At("int"))));
  EXPECT_EQ(L"Process memory bridge not initialized", LastErrorInfoText());
  TComPtr<IDebuggeeMemory> viaHolder;
  EXPECT_TRUE(FAILED(holderDisp->QueryInterface(IID_PPV_ARGS(viaHolder.Put()))));
  // Late binding keeps the holder itself, with or without a process.
  TComPtr<IDispatch> sameHolder;
  ASSERT_HRESULT_SUCCEEDED(holderDisp->QueryInterface(IID_PPV_ARGS(sameHolder.Put())));
  EXPECT_EQ(holderDisp, sameHolder.Get());

  SetProcessMemoryBridge(Manager.Get());
  ASSERT_HRESULT_SUCCEEDED(holderDisp->QueryInterface(IID_PPV_ARGS(viaHolder.Put())));
  EXPECT_EQ(Memory.Get(), viaHolder.Get());  // the current manager's own interface
  TOleVariant v;
  ASSERT_HRESULT_SUCCEEDED(CallByName(holderDisp, L"ReadInteger", v, At("int")));
  EXPECT_EQ(-123456, v.lVal);
  viaHolder.Reset();
  SetProcessMemoryBridge(nullptr);
}

TEST_F(DebuggeeMemory, AManagerKeptByAClientAfterItsProcessEndedReadsNothing) {
  SetProcessMemoryBridge(Manager.Get());
  SetProcessMemoryBridge(nullptr);  // the trace ended; the test still holds the manager
  Manager->SetEnabled(false);
  TOleVariant s;
  ASSERT_HRESULT_SUCCEEDED(Memory->ReadAnsiString(At("ansi"), 5, &s));
  EXPECT_STREQ(L"", s.bstrVal);
  Manager->SetEnabled(true);
  Target.Kill();
  uint32_t code = Target.At("code");
  EXPECT_NO_THROW(Manager->WriteByte(code, 0xCC));
  EXPECT_EQ("", Manager->ReadAnsiString(Target.At("ansi"), 5));
}

namespace {


}  // namespace

TEST_F(DebuggeeMemory, AJScriptHandlerReadsThroughMemoryAndFailsBetweenTraces) {
  const CLSID CLSID_ScriptControl = {0x0E59F1D5, 0x1FBE, 0x11D0, {0x8F, 0xF2, 0x00, 0xA0, 0xD1, 0x00, 0x38, 0xBC}};
  TComPtr<IDispatch> script;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_ScriptControl, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                   reinterpret_cast<void**>(script.Put())));
  TOleVariant ignored;
  ASSERT_EQ(S_OK, Call(script.Get(), L"Language", DISPATCH_PROPERTYPUT, {Text(L"JScript")}, nullptr));
  SetProcessMemoryBridge(Manager.Get());  // a trace runs
  VARIANT memory;
  memory.vt = VT_DISPATCH;
  memory.pdispVal = GetProcessMemory();
  VARIANT noMembers;
  noMembers.vt = VT_BOOL;
  noMembers.boolVal = VARIANT_FALSE;
  ASSERT_EQ(S_OK, Call(script.Get(), L"AddObject", DISPATCH_METHOD, {Text(L"Memory"), memory, noMembers},
                             nullptr));
  std::wstring code = WideFormat(
      L"function read() { return Memory.ReadInteger(%d) + '/' + Memory.ReadAnsiStringZ(%d) + '/' +"
      L" (Memory.ReadDWord(0) === null) + '/' + Memory.ReadWideString(%d, 4); }\n"
      L"function guarded() { try { return 'read ' + Memory.ReadInteger(%d); } catch (e) { return e.message; } }\n",
      At("int"), At("ansi"), At("widecountedpageend"), At("int"));
  std::wstring error;
  ASSERT_EQ(S_OK, Call(script.Get(), L"AddCode", DISPATCH_METHOD, {Text(code)}, nullptr, &error))
      << WideToUtf8(error);
  auto eval = [&](const wchar_t* expression) {
    TOleVariant result;
    std::wstring failure;
    HRESULT hr = Call(script.Get(), L"Eval", DISPATCH_METHOD, {Text(expression)}, &result, &failure);
    return hr == S_OK && result.vt == VT_BSTR ? std::wstring(result.bstrVal) : L"failed: " + failure;
  };
  EXPECT_EQ(L"-123456/Hello, world/true/edge", eval(L"read()"));
  SetProcessMemoryBridge(nullptr);  // the trace ended
  EXPECT_EQ(L"Process memory bridge not initialized", eval(L"guarded()"));
}
