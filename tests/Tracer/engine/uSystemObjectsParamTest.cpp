// Parameter definitions loaded from "proc" property sets and reading a real second
// process (the memtarget fixture) through the process-memory holder, as the debugging
// thread does at a breakpoint.
#include <gtest/gtest.h>

#include <windows.h>
#include <msxml2.h>

#include <initializer_list>
#include <string>

#include "EngineTestSupport.h"
#include "MemTarget.h"
#include "Tracer/com/uMiniComServer.h"
#include "support/TestSupport.h"
#include "Tracer/engine/uProcessMemory.h"
#include "Tracer/engine/uSystemObjects.h"
#include "Tracer/foundation/uVariants.h"
#include "Tracer/foundation/uXMLFiler.h"

namespace {

// Loads every "param" child into proc, as the symbol-file loader does; returns the
// errors in order, one per failed parameter.
std::wstring LoadParams(TProcDef& proc, const std::wstring& params) {
  TComPtr<IXMLDOMNode> root = ParsePropertySet(L"<propertyset name=\"proc\">" + params + L"</propertyset>");
  std::wstring errors;
  TComPtr<IXMLDOMNode> child;
  root->get_firstChild(child.Put());
  while (child) {
    try {
      proc.LoadParam(child.Get());
    } catch (Exception& e) {
      errors += e.Message() + L"\n";
    }
    TComPtr<IXMLDOMNode> next;
    child->get_nextSibling(next.Put());
    child = next;
  }
  return errors;
}

std::wstring Param(const std::wstring& type, const std::wstring& name, const std::wstring& extra = L"",
                   const std::wstring& offset = L"4") {
  return L"<propertyset name=\"param\"><property name=\"Type\" value=\"" + type +
         L"\"/><property name=\"Name\" value=\"" + name + L"\"/><property name=\"Offset\" value=\"" + offset +
         L"\"/>" + extra + L"</propertyset>";
}

std::wstring Length(const std::wstring& value) {
  return L"<property name=\"Length\" value=\"" + value + L"\"/>";
}


struct ParamDefinitions : testing::Test {
  TEAXProcDef Proc{L"rva://0x1000@memtarget.exe?minversion=1.0"};

  TParamDef* Def(const std::wstring& name) {
    TParamDef* def = nullptr;
    EXPECT_TRUE(Proc.GetParams().FindByName(name, def)) << WideToUtf8(name);
    return def;
  }
};

struct ParamValues : ParamDefinitions {
  TMemTarget Target;
  TParamAddresses Addresses;

  void SetUp() override {
    UseProgramTypeLibrary();
    TMemoryManagerRef memory(new TMemoryManager(Target.Process()));
    SetProcessMemoryBridge(memory.Get());
  }
  void TearDown() override { SetProcessMemoryBridge(nullptr); }

  // Loads the parameters; each one's address is the fixture's address of the same name.
  void Load(std::initializer_list<std::pair<std::wstring, std::wstring>> typeAndName,
            const std::wstring& extra = L"") {
    std::wstring xml;
    for (auto& [type, name] : typeAndName) xml += Param(type, name);
    xml += extra;
    ASSERT_EQ(L"", LoadParams(Proc, xml));
  }
  void At(const std::wstring& name, const char* fixtureName) {
    Addresses.AddAddress(Def(name), Target.At(fixtureName));
  }
  TOleVariant Value(const std::wstring& name) {
    TOleVariant v;
    ReadParamValue(Def(name), Addresses, v);
    return v;
  }
  std::wstring Text(const std::wstring& name) {
    TOleVariant v = Value(name);
    EXPECT_EQ(VT_BSTR, v.vt) << WideToUtf8(name);
    return v.vt == VT_BSTR ? v.AsBSTRText() : std::wstring();
  }
  LONG ArrayCount(const TOleVariant& v) {
    EXPECT_EQ(VT_ARRAY | VT_VARIANT, v.vt);
    LONG lo = 0, hi = -1;
    SafeArrayGetLBound(v.parray, 1, &lo);
    SafeArrayGetUBound(v.parray, 1, &hi);
    return hi - lo + 1;
  }
};

}  // namespace

// ---- loading ----

TEST_F(ParamDefinitions, TypeKeywordsGiveTheirClassIndirectionAndSwitches) {
  ASSERT_EQ(L"", LoadParams(Proc, Param(L"str**", L"name", L"<property name=\"Visible\" value=\"False\"/>"
                                                           L"<property name=\"Out\" value=\"True\"/>",
                                        L"12") +
                                      Param(L"int", L"count") + Param(L"dword*", L"flags") +
                                      Param(L"short", L"s") + Param(L"double", L"d") + Param(L"wstr", L"w") +
                                      Param(L"variant*", L"v") + Param(L"dump*", L"block", Length(L"16"))));
  EXPECT_EQ(L"rva://0x1000@memtarget.exe", Proc.GetURL());
  ASSERT_EQ(8, Proc.GetParams().GetCount());
  TParamDef* name = Proc.GetParams().GetItem(0);
  EXPECT_NE(nullptr, dynamic_cast<TAnsiStringParamDef*>(name));
  EXPECT_EQ(2, name->GetIndirectionCount());
  EXPECT_EQ(12u, name->GetOffset());
  EXPECT_FALSE(name->GetVisible());
  EXPECT_TRUE(name->GetOut());
  EXPECT_EQ(0, Def(L"count")->GetIndirectionCount());
  EXPECT_TRUE(Def(L"count")->GetVisible());
  EXPECT_FALSE(Def(L"count")->GetOut());
  EXPECT_NE(nullptr, dynamic_cast<TIntParamDef*>(Def(L"count")));
  EXPECT_NE(nullptr, dynamic_cast<TDWORDParamDef*>(Def(L"flags")));
  EXPECT_NE(nullptr, dynamic_cast<TShortIntParamDef*>(Def(L"s")));
  EXPECT_NE(nullptr, dynamic_cast<TDoubleParamDef*>(Def(L"d")));
  EXPECT_NE(nullptr, dynamic_cast<TWideStringParamDef*>(Def(L"w")));
  EXPECT_NE(nullptr, dynamic_cast<TVariantParamDef*>(Def(L"v")));
  auto* block = dynamic_cast<TDumpParamDef*>(Def(L"block"));
  ASSERT_NE(nullptr, block);
  EXPECT_EQ(1, block->GetSize().SizeType);
  EXPECT_EQ(16, block->GetSize().Length);
  EXPECT_EQ(0, static_cast<TAnsiStringParamDef*>(name)->GetSize().SizeType);
}

TEST_F(ParamDefinitions, BadTypesAndLengthsAreRefusedWithTheirMessages) {
  std::wstring errors = LoadParams(
      Proc, Param(L"INT", L"a") + Param(L"", L"b") + Param(L"**", L"c") + Param(L"int", L"len") +
                Param(L"str", L"s") + Param(L"str", L"x", Length(L"s")) + Param(L"str", L"y", Length(L"later")) +
                Param(L"int", L"later") + Param(L"dump", L"d1") + Param(L"dump", L"d2", Length(L"")) +
                Param(L"int", L"len") +
                L"<propertyset name=\"param\"><property name=\"Type\" value=\"int\"/>"
                L"<property name=\"Name\" value=\"nooffset\"/></propertyset>");
  EXPECT_EQ(L"Unknown token - \"INT\"\n"
            L"\"Parameter type\" isn't specified\n"
            L"Unknown token - \"\"\n"
            L"\"s\" is not an integer parameter\n"
            L"Unknown token - \"later\"\n"
            L"Required property \"Length\" not found\n"
            L"Unknown token - \"\"\n"
            L"List does not allow duplicates ($0" + WideFormat(L"%X", WideStringHash(L"len")) + L")\n"
            L"Required property \"Offset\" not found\n",
            errors);
  // Only the good ones entered the list.
  ASSERT_EQ(3, Proc.GetParams().GetCount());
  EXPECT_EQ(L"len", Proc.GetParams().GetItem(0)->GetName());
  EXPECT_EQ(L"s", Proc.GetParams().GetItem(1)->GetName());
  EXPECT_EQ(L"later", Proc.GetParams().GetItem(2)->GetName());
}

TEST_F(ParamDefinitions, LengthsAreNumbersInDecimalOrHexOrAnEarlierIntegerParameter) {
  ASSERT_EQ(L"", LoadParams(Proc, Param(L"dword", L"size") + Param(L"str", L"dec", Length(L"16")) +
                                      Param(L"str", L"hex", Length(L"0x10")) +
                                      Param(L"wstr", L"byname", Length(L"size"))));
  auto size = [&](const wchar_t* n) { return static_cast<TSizeParamDef*>(Def(n))->GetSize(); };
  EXPECT_EQ(1, size(L"dec").SizeType);
  EXPECT_EQ(16, size(L"dec").Length);
  EXPECT_EQ(1, size(L"hex").SizeType);
  EXPECT_EQ(16, size(L"hex").Length);
  EXPECT_EQ(2, size(L"byname").SizeType);
  EXPECT_EQ(Def(L"size"), size(L"byname").SizeParam);
}

TEST_F(ParamDefinitions, KeywordRegistriesMatchExactly) {
  const TDefClass* cls = nullptr;
  for (const wchar_t* keyword : {L"dword", L"short", L"int", L"dump", L"str", L"wstr", L"double", L"variant"}) {
    ASSERT_TRUE(GetParamTypeDefs()->FindType(keyword, cls)) << WideToUtf8(keyword);
    EXPECT_EQ(keyword, cls->GetKeyword());
  }
  EXPECT_FALSE(GetParamTypeDefs()->FindType(L"Str", cls));
  EXPECT_FALSE(GetParamTypeDefs()->FindType(L"", cls));
  for (const wchar_t* keyword : {L"eax", L"ax", L"void"}) {
    ASSERT_TRUE(GetProcTypeDefs()->FindType(keyword, cls));
    EXPECT_EQ(keyword, cls->GetKeyword());
  }
  ASSERT_TRUE(GetProcTypeDefs()->FindType(L"", cls));
  EXPECT_EQ(L"void", cls->GetKeyword());
  EXPECT_FALSE(GetProcTypeDefs()->FindType(L"EAX", cls));
  EXPECT_EQ(GetParamTypeDefs(), GetParamTypeDefs());
}

TEST(ProcResults, ResultKindsReadEaxItsLowWordOrNothing) {
  CONTEXT context{};
  context.Eax = 0x1234FFFE;
  TOleVariant v;
  TEAXProcDef(L"rva://0x1@a.dll").ReadResult(context, v);
  EXPECT_EQ(VT_UI4, v.vt);
  EXPECT_EQ(0x1234FFFEu, v.ulVal);
  TAXProcDef(L"rva://0x1@a.dll").ReadResult(context, v);
  EXPECT_EQ(VT_I2, v.vt);
  EXPECT_EQ(-2, v.iVal);
  TVOIDProcDef(L"rva://0x1@a.dll").ReadResult(context, v);
  EXPECT_EQ(VT_EMPTY, v.vt);
}

// ---- values read from the debuggee ----

TEST_F(ParamValues, EveryTypeKeywordReadsItsValue) {
  Load({{L"int", L"int"}, {L"short", L"short"}, {L"dword", L"dword"}, {L"double", L"double"}, {L"str", L"ansi"},
        {L"str", L"ansilatin"}, {L"wstr", L"wide"}, {L"variant", L"varint"}},
       Param(L"dump", L"bytes", Length(L"4")));
  for (const char* n : {"int", "short", "dword", "double", "ansi", "ansilatin", "wide", "varint", "bytes"})
    At(Utf8ToWide(n), n);
  TOleVariant v = Value(L"int");
  EXPECT_EQ(VT_I4, v.vt);
  EXPECT_EQ(-123456, v.lVal);
  v = Value(L"short");
  EXPECT_EQ(VT_I2, v.vt);
  EXPECT_EQ(-2, v.iVal);
  v = Value(L"dword");
  EXPECT_EQ(VT_UI4, v.vt);
  EXPECT_EQ(0xFFFFFFFFu, v.ulVal);
  v = Value(L"double");
  EXPECT_EQ(VT_R8, v.vt);
  EXPECT_EQ(3.25, v.dblVal);
  EXPECT_EQ(L"Hello, world", Text(L"ansi"));
  EXPECT_EQ(L"caf\u00E9", Text(L"ansilatin"));
  EXPECT_EQ(L"Wide text", Text(L"wide"));
  v = Value(L"varint");
  EXPECT_EQ(VT_I4, v.vt);
  EXPECT_EQ(42, v.lVal);
  v = Value(L"bytes");
  ASSERT_EQ(4, ArrayCount(v));
  VARIANT* items = nullptr;
  SafeArrayAccessData(v.parray, reinterpret_cast<void**>(&items));
  EXPECT_EQ(VT_UI1, items[0].vt);
  EXPECT_EQ(0x01, items[0].bVal);
  EXPECT_EQ(0xAB, items[1].bVal);
  EXPECT_EQ(0xFF, items[3].bVal);
  SafeArrayUnaccessData(v.parray);
}

TEST_F(ParamValues, StringsEndingExactlyAtAPageEndAreRead) {
  Load({{L"str", L"ansizpageend"}, {L"wstr", L"widezpageend"}},
       Param(L"str", L"ansicountedpageend", Length(L"4")) + Param(L"wstr", L"widecountedpageend", Length(L"4")) +
           Param(L"str", L"abcdefgh", Length(L"5")) + Param(L"str", L"abczerode", Length(L"5")));
  for (const char* n :
       {"ansizpageend", "widezpageend", "ansicountedpageend", "widecountedpageend", "abcdefgh", "abczerode"})
    At(Utf8ToWide(n), n);
  EXPECT_EQ(L"page end", Text(L"ansizpageend"));
  EXPECT_EQ(L"page end", Text(L"widezpageend"));
  EXPECT_EQ(L"edge", Text(L"ansicountedpageend"));
  EXPECT_EQ(L"edge", Text(L"widecountedpageend"));
  EXPECT_EQ(L"abcde", Text(L"abcdefgh"));
  EXPECT_EQ(L"abc", Text(L"abczerode"));
}

TEST_F(ParamValues, LengthsTakenFromAnotherParameterAreClampedOrMeanZeroTerminated) {
  Load({{L"int", L"big"}, {L"int", L"minus"}, {L"dword", L"five"}},
       Param(L"str", L"s40000", Length(L"big")) + Param(L"wstr", L"w40000", Length(L"big")) +
           Param(L"str", L"sminus", Length(L"minus")) + Param(L"wstr", L"wminus", Length(L"minus")) +
           Param(L"dump", L"dminus", Length(L"minus")) + Param(L"dump", L"d40000", Length(L"big")) +
           Param(L"str", L"sfive", Length(L"five")));
  At(L"big", "int40000");
  At(L"minus", "intminusone");
  At(L"five", "intfive");
  At(L"s40000", "big");
  At(L"w40000", "bigwide");
  At(L"sminus", "ansi");
  At(L"wminus", "wide");
  At(L"dminus", "bytes");
  At(L"d40000", "big");
  At(L"sfive", "ansi");
  EXPECT_EQ(32768u, Text(L"s40000").size());
  EXPECT_EQ(32768u, Text(L"w40000").size());
  EXPECT_EQ(L"Hello, world", Text(L"sminus"));
  EXPECT_EQ(L"Wide text", Text(L"wminus"));
  EXPECT_EQ(0, ArrayCount(Value(L"dminus")));
  EXPECT_EQ(32768, ArrayCount(Value(L"d40000")));
  EXPECT_EQ(L"Hello", Text(L"sfive"));
}

TEST_F(ParamValues, NullEmptyAndUnreadableMemoryBecomeTheValue) {
  Load({{L"int", L"zero"}, {L"int", L"absent"}, {L"int", L"bad"}, {L"str", L"badstr"}, {L"int", L"size"}},
       Param(L"str", L"sized", Length(L"size")));
  Addresses.AddAddress(Def(L"zero"), 0);
  At(L"bad", "unreadable");
  At(L"badstr", "unreadable");
  At(L"size", "unreadable");
  At(L"sized", "ansi");
  EXPECT_EQ(VT_NULL, Value(L"zero").vt);
  EXPECT_EQ(VT_EMPTY, Value(L"absent").vt);
  std::wstring bad = Text(L"bad");
  EXPECT_EQ(0u, bad.find(L"System Error.  Code: ")) << WideToUtf8(bad);
  EXPECT_NE(std::wstring::npos, bad.find(L"at ReadProcessMemory")) << WideToUtf8(bad);
  EXPECT_EQ(bad, Text(L"badstr"));
  // The size parameter holds the error text, which is no number.
  std::wstring sized = Text(L"sized");
  EXPECT_NE(std::wstring::npos, sized.find(L"Could not convert")) << WideToUtf8(sized);
}

TEST_F(ParamValues, AddressesFollowIndirectionsFromTheStack) {
  Load({}, Param(L"int", L"byvalue", L"", L"4") + Param(L"str*", L"text", L"", L"8") +
               Param(L"int**", L"twice", L"", L"12") + Param(L"int*", L"null", L"", L"16") +
               Param(L"int*", L"unreadable", L"", L"20") + Param(L"int**", L"unreadablepointer", L"", L"24") +
               Param(L"int**", L"nullfirst", L"", L"16"));
  uint32_t esp = Target.At("frame");
  for (TParamDef* def : Proc.GetParams())
    Addresses.AddParamAddress(def, esp + def->GetOffset(), def->GetIndirectionCount());
  EXPECT_EQ(-123456, Value(L"byvalue").lVal);
  EXPECT_EQ(L"Hello, world", Text(L"text"));
  EXPECT_EQ(-123456, Value(L"twice").lVal);
  EXPECT_EQ(VT_NULL, Value(L"null").vt);
  EXPECT_EQ(VT_NULL, Value(L"nullfirst").vt);
  EXPECT_NE(std::wstring::npos, Text(L"unreadable").find(L"at ReadProcessMemory"));
  // The pointer that leads to the value cannot be read: that error is the value.
  EXPECT_NE(std::wstring::npos, Text(L"unreadablepointer").find(L"at ReadProcessMemory"));
}

TEST_F(ParamValues, VariantsNeverTurnDebuggeePointersIntoObjects) {
  Load({{L"variant", L"varstring"}, {L"variant", L"vardispatch"}, {L"variant", L"varunknown"},
        {L"variant", L"varbyref"}, {L"variant", L"vararray"}, {L"variant", L"vardouble"},
        {L"variant", L"varnull"}, {L"variant", L"vardispatchref"}, {L"variant", L"varnullstring"}});
  for (const char* n : {"varstring", "vardispatch", "varunknown", "varbyref", "vararray", "vardouble", "varnull",
                        "vardispatchref", "varnullstring"})
    At(Utf8ToWide(n), n);
  EXPECT_EQ(L"variant text", Text(L"varstring"));
  EXPECT_EQ(L"", Text(L"varnullstring"));  // a null string is an empty one, not Null
  // Objects show as objects, without the debuggee's pointer.
  const std::pair<const wchar_t*, const wchar_t*> objects[] = {
      {L"vardispatch", L"(automation object)"}, {L"varunknown", L"(com object)"},
      {L"vardispatchref", L"(automation object)"}};
  for (auto [name, text] : objects) {
    TOleVariant v = Value(name);
    EXPECT_EQ(text, VariantToText(v)) << WideToUtf8(name);
    EXPECT_EQ(nullptr, v.punkVal) << WideToUtf8(name);
  }
  EXPECT_EQ(L"(VT_BYREF|VT_I4)", Text(L"varbyref"));
  EXPECT_EQ(L"(VT_ARRAY|VT_I4)", Text(L"vararray"));
  TOleVariant d = Value(L"vardouble");
  EXPECT_EQ(VT_R8, d.vt);
  EXPECT_EQ(2.5, d.dblVal);
  EXPECT_EQ(VT_NULL, Value(L"varnull").vt);
}

TEST_F(ParamValues, WithoutADebuggeeEveryValueIsTheBridgeError) {
  Load({{L"int", L"int"}});
  At(L"int", "int");
  SetProcessMemoryBridge(nullptr);
  EXPECT_EQ(L"Process memory bridge not initialized", Text(L"int"));
}

TEST(ProcDefLists, DefinitionsAreKeyedByTheirURLWithoutTheQuery) {
  TEAXProcDef a(L"export://CreateFileW@kernel32.dll?minversion=5.1");
  TVOIDProcDef b(L"rva://0x00001000@app.exe");
  TProcDefs defs;  // not owning
  defs.Add(&a);
  defs.Add(&b);
  TProcDef* found = nullptr;
  ASSERT_TRUE(defs.Find(L"export://CreateFileW@kernel32.dll", found));
  EXPECT_EQ(&a, found);
  EXPECT_FALSE(defs.Find(L"export://CreateFileW@kernel32.dll?minversion=5.1", found));
  EXPECT_THROW(defs.Add(&a), EListError);
  defs.Remove(&a);
  EXPECT_FALSE(defs.Find(L"export://CreateFileW@kernel32.dll", found));
  int count = 0;
  TProcDefsEnumerator it(&defs, L"src/Tracer/uSystemObjects", 1);
  while (it.MoveNext()) {
    EXPECT_EQ(&b, it.GetCurrent());
    ++count;
  }
  EXPECT_EQ(1, count);
}
