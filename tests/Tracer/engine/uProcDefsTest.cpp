// Procedure definitions and the loaded set: URLs, titles and switches, loading from "proc"
// property sets, and the trace's reset and resolve passes against a second process.
#include <gtest/gtest.h>

#include <windows.h>
#include <msxml2.h>

#include <map>
#include <memory>
#include <set>
#include <atomic>
#include <thread>
#include <string>
#include <vector>

#include "EngineTestSupport.h"
#include "ResolveHost.h"
#include "Tracer/engine/uBreakpointResolvers.h"
#include "Tracer/engine/uBreakpoints.h"
#include "Tracer/engine/uCodePages.h"
#include "Tracer/engine/uDebugCore.h"
#include "Tracer/engine/uEventQueue.h"
#include "Tracer/com/uMiniComServer.h"
#include "Tracer/engine/uSystemObjects.h"
#include "Tracer/foundation/uXMLFiler.h"
#include "support/TestSupport.h"

namespace {

std::wstring Param(const std::wstring& type, const std::wstring& name) {
  return L"<propertyset name=\"param\">" + XmlProperty(L"Type", type) + XmlProperty(L"Name", name) +
         XmlProperty(L"Offset", L"4") + L"</propertyset>";
}

// The "msg" of every error event in the log, in order.
std::vector<std::wstring> LoggedErrors() {
  std::vector<std::wstring> errors;
  TTracerEventList& list = GetTracerEventQueue()->AllEvents()->List();
  for (int i = 0; i < list.Count(); ++i) {
    auto* error = dynamic_cast<TErrorTracerEvent*>(list.Get(i).Get());
    if (!error) continue;
    TComPtr<ITracerEventParam> msg;
    BSTR name = SysAllocString(L"msg");
    error->Params()->Find(name, msg.Put());
    SysFreeString(name);
    TOleVariant value;
    if (msg) msg->get_Value(value.Receive());
    errors.push_back(value.AsBSTRText());
  }
  return errors;
}

bool IsLoaded(TProcDef* def) {
  TProcDef* found = nullptr;
  return GetLoadedProcDefs()->Find(def->GetURL(), found) && found == def;
}

bool IsUnresolved(TProcDef* def) {
  TProcDef* found = nullptr;
  return GetLoadedProcDefs()->Unresolved().Find(def->GetURL(), found) && found == def;
}

class ProcDefinitions : public ::testing::Test {
protected:
  void SetUp() override {
    UseProgramTypeLibrary();
    GetTracerEventQueue()->Clear();
  }
  void TearDown() override { GetTracerEventQueue()->Clear(); }
};

TEST_F(ProcDefinitions, UrlKeyIsTheTextBeforeTheQueryAndTheTitleTheFunctionName) {
  TEAXProcDef def(L"export://CreateFileW@kernel32.dll?minversion=5.1");
  EXPECT_EQ(L"export://CreateFileW@kernel32.dll", def.GetURL());
  EXPECT_EQ(L"CreateFileW", def.GetTitle());
  auto* resolver = dynamic_cast<TExportBreakpointResolver*>(static_cast<TBreakpointResolver*>(
      static_cast<IBreakpointResolver*>(def.GetResolver())));
  ASSERT_NE(nullptr, resolver);
  EXPECT_EQ(L"5.1", resolver->ParamValue(L"minversion"));
  EXPECT_TRUE(def.GetActive());
  EXPECT_TRUE(def.GetVisible());
  EXPECT_EQ(TProcDefBinding::Unbound, def.GetBinding());
  EXPECT_TRUE(IsLoaded(&def));
}

TEST_F(ProcDefinitions, ADefinitionThatCannotBeMadeLeavesTheLoadedSetAsItWas) {
  EXPECT_EQ(L"URL cannot be empty", MessageOf([] { TVOIDProcDef def(L""); }));
  EXPECT_EQ(L"Unknown protocol \"ftp\"", MessageOf([] { TVOIDProcDef def(L"ftp://a@b.dll"); }));
  TEAXProcDef first(L"rva://0x1000@twice.dll");
  EXPECT_NE(L"(no error)", MessageOf([] { TAXProcDef second(L"rva://0x1000@twice.dll?minversion=1"); }));
  EXPECT_TRUE(IsLoaded(&first));
  {
    TVOIDProcDef gone(L"rva://0x2000@twice.dll");
    EXPECT_TRUE(IsLoaded(&gone));
  }
  TProcDef* found = nullptr;
  EXPECT_FALSE(GetLoadedProcDefs()->Find(L"rva://0x2000@twice.dll", found));
}

TEST_F(ProcDefinitions, ProcPropertySetGivesTitleSwitchesAndParameters) {
  TEAXProcDef def(L"export://FixAdd@resolvefix.dll");
  def.LoadFromXML(ParsePropertySet(L"<propertyset name=\"proc\">" + XmlProperty(L"Title", L"Adding") +
                            XmlProperty(L"Active", L"False") + XmlProperty(L"Visible", L"False") + Param(L"int", L"a") +
                            Param(L"str**", L"text") + L"</propertyset>")
                      .Get());
  EXPECT_EQ(L"Adding", def.GetTitle());
  EXPECT_FALSE(def.GetActive());
  EXPECT_FALSE(def.GetVisible());
  ASSERT_EQ(2, def.GetParams().GetCount());
  EXPECT_EQ(L"a", def.GetParams().GetItem(0)->GetName());
  EXPECT_EQ(0, def.GetParams().GetItem(0)->GetIndirectionCount());
  EXPECT_NE(nullptr, dynamic_cast<TAnsiStringParamDef*>(def.GetParams().GetItem(1)));
  EXPECT_EQ(2, def.GetParams().GetItem(1)->GetIndirectionCount());

  TVOIDProcDef plain(L"export://FixMul@resolvefix.dll");
  plain.LoadFromXML(ParsePropertySet(L"<propertyset name=\"proc\">" + XmlProperty(L"Title", L"") + L"</propertyset>").Get());
  EXPECT_EQ(L"FixMul", plain.GetTitle());
  EXPECT_EQ(L"Unknown token - \"\"",
            MessageOf([&] { plain.LoadParam(ParsePropertySet(Param(L"*", L"p")).Get()); }));
  EXPECT_EQ(L"Unknown token - \"other\"",
            MessageOf([&] { plain.LoadFromXML(ParsePropertySet(L"<propertyset name=\"other\"/>").Get()); }));
}

TEST_F(ProcDefinitions, OverrideCopyKeepsOnlyUrlActiveAndVisible) {
  TEAXProcDef def(L"export://FixAdd@resolvefix.dll?minversion=2");
  def.LoadFromXML(ParsePropertySet(L"<propertyset name=\"proc\">" + XmlProperty(L"Visible", L"False") + Param(L"int", L"a") +
                            L"</propertyset>")
                      .Get());
  TComPtr<IXMLDOMNode> node = ParsePropertySet(L"<propertyset name=\"object\"/>");
  def.SaveToXML(node.Get());
  BSTR xml = nullptr;
  node->get_xml(&xml);
  const std::wstring text(xml, SysStringLen(xml));
  SysFreeString(xml);
  EXPECT_NE(std::wstring::npos, text.find(L"name=\"URL\" value=\"export://FixAdd@resolvefix.dll\"")) << WideToUtf8(text);
  EXPECT_NE(std::wstring::npos, text.find(L"name=\"Active\" value=\"True\"")) << WideToUtf8(text);
  EXPECT_NE(std::wstring::npos, text.find(L"name=\"Visible\" value=\"False\"")) << WideToUtf8(text);
  EXPECT_EQ(std::wstring::npos, text.find(L"param")) << WideToUtf8(text);
}

// The entry breakpoint the resolve pass made at the address, or nil.
TTraceBreakpoint* TraceAt(uint32_t address) {
  TBreakpoint* b = nullptr;
  if (!GetLoadedProcDefs()->TraceBreakpoints().FindBreakpoint(address, b)) return nullptr;
  return dynamic_cast<TTraceBreakpoint*>(b);
}

// One trace against the host process: reset, then resolve passes. Breakpoint bytes are
// written into the host through its memory manager.
class LoadedSetTrace : public ProcDefinitions {
protected:
  static void SetUpTestSuite() {
    Host = new TResolveHost({L"L" + Bin(L"resolvetarget.dll"), L"L" + Bin(L"resolvefix.dll"),
                             L"Presolvefix.dll!FixAdd", L"Presolvefix.dll!FixMul"});
  }
  static void TearDownTestSuite() {
    delete Host;
    Host = nullptr;
  }
  void SetUp() override {
    ProcDefinitions::SetUp();
    Debuggee = std::make_unique<TProcessDebuggee>(Host->Process());
    Scope = std::make_unique<TDebuggeeScope>(*Debuggee);
    Process = std::make_unique<TDebuggedProcess>(GetProcessId(Host->Process()));
  }
  void TearDown() override {
    GetLoadedProcDefs()->Reset();
    Process.reset();
    Scope.reset();
    Debuggee.reset();
    ProcDefinitions::TearDown();
  }
  uint32_t Add() const { return Host->At(L"Presolvefix.dll!FixAdd"); }
  uint32_t Mul() const { return Host->At(L"Presolvefix.dll!FixMul"); }
  // The code byte at the address in the host.
  uint8_t HostByte(uint32_t address) const {
    uint8_t b = 0;
    Debuggee->ReadMemory(address, &b, 1);
    return b;
  }
  size_t TraceBreakpointCount() { return GetLoadedProcDefs()->TraceBreakpoints().Items().size(); }

  static TResolveHost* Host;
  std::unique_ptr<TProcessDebuggee> Debuggee;
  std::unique_ptr<TDebuggeeScope> Scope;
  std::unique_ptr<TDebuggedProcess> Process;
};

TResolveHost* LoadedSetTrace::Host = nullptr;

TEST_F(LoadedSetTrace, ResolvedDefinitionsAreArmedAndLeaveTheUnresolvedList) {
  TEAXProcDef add(L"export://FixAdd@resolvefix.dll");
  TEAXProcDef later(L"export://Something@notyetloaded.dll");
  TEAXProcDef off(L"export://FixMul@resolvefix.dll");
  off.SetActive(false);
  GetLoadedProcDefs()->Reset();
  EXPECT_TRUE(IsUnresolved(&add) && IsUnresolved(&later) && IsUnresolved(&off));
  const uint8_t addByte = HostByte(Add()), mulByte = HostByte(Mul());
  ASSERT_NE(0xCC, addByte);
  GetLoadedProcDefs()->ResolvePass();

  ASSERT_NE(nullptr, TraceAt(Add()));
  EXPECT_EQ(TProcDefBinding::Bound, add.GetBinding());
  EXPECT_EQ(TraceAt(Add()), add.GetBreakpoint());
  EXPECT_EQ(0xCC, HostByte(Add()));
  EXPECT_FALSE(IsUnresolved(&add));
  // Switched off before the trace: a breakpoint, but no byte.
  ASSERT_NE(nullptr, TraceAt(Mul()));
  EXPECT_FALSE(TraceAt(Mul())->GetEnabled());
  EXPECT_EQ(mulByte, HostByte(Mul()));
  // Its DLL is not loaded: asked again at the next pass.
  EXPECT_EQ(TProcDefBinding::Unbound, later.GetBinding());
  EXPECT_TRUE(IsUnresolved(&later));
  // Switching during the trace writes or removes the byte at once.
  off.SetActive(true);
  EXPECT_EQ(0xCC, HostByte(Mul()));
  add.SetActive(false);
  EXPECT_EQ(addByte, HostByte(Add()));
  EXPECT_FALSE(add.GetActive());

  // The end of the trace frees every breakpoint, restoring its byte, and unbinds everything.
  GetLoadedProcDefs()->Reset();
  EXPECT_EQ(0u, TraceBreakpointCount());
  EXPECT_EQ(mulByte, HostByte(Mul()));
  EXPECT_EQ(TProcDefBinding::Unbound, add.GetBinding());
}

TEST_F(LoadedSetTrace, WhileTheDebuggeeIsStoppedBytesAreWrittenAPageAtATime) {
  const uint8_t addByte = HostByte(Add());
  {
    TCodePageBatch batch(Host->Process());
    uint8_t b = 0;
    ASSERT_TRUE(batch.WriteByte(Add(), 0xCC));
    ASSERT_TRUE(batch.ReadByte(Add(), b));
    EXPECT_EQ(0xCC, b);
    EXPECT_EQ(addByte, HostByte(Add()));  // written at the end of the batch
    EXPECT_FALSE(batch.WriteByte(0x100, 0xCC));  // a page that cannot be read is the caller's
    ASSERT_TRUE(batch.WriteByte(Add(), addByte));
  }
  EXPECT_EQ(addByte, HostByte(Add()));

  TEAXProcDef add(L"export://FixAdd@resolvefix.dll");
  TEAXProcDef mul(L"export://FixMul@resolvefix.dll");
  const uint8_t mulByte = HostByte(Mul());
  GetLoadedProcDefs()->Reset();
  GetLoadedProcDefs()->ResolvePass(true);
  EXPECT_EQ(0xCC, HostByte(Add()));
  EXPECT_EQ(0xCC, HostByte(Mul()));
  EXPECT_EQ(addByte, TraceAt(Add())->SavedByte);
  EXPECT_EQ(mulByte, TraceAt(Mul())->SavedByte);
  add.SetActive(false);
  EXPECT_EQ(addByte, HostByte(Add()));
  GetLoadedProcDefs()->Reset();
  EXPECT_EQ(mulByte, HostByte(Mul()));
}

TEST_F(LoadedSetTrace, TwoDefinitionsAtOneAddressShareOneBreakpoint) {
  TEAXProcDef byExport(L"export://FixAdd@resolvefix.dll");
  TVOIDProcDef byRva(WideFormat(L"rva://0x%08X@resolvefix.dll", Add() - Host->At(L"L" + Bin(L"resolvefix.dll"))));
  GetLoadedProcDefs()->Reset();
  const uint8_t original = HostByte(Add());
  GetLoadedProcDefs()->ResolvePass();
  ASSERT_EQ(1u, TraceBreakpointCount());
  TTraceBreakpoint* shared = TraceAt(Add());
  ASSERT_NE(nullptr, shared);
  EXPECT_EQ(2, shared->Defs.GetCount());
  EXPECT_EQ(original, shared->SavedByte);
  // Switching one off keeps the byte while the other is on: its calls are still traced. Only
  // when both are off is the byte gone.
  byRva.SetActive(false);
  EXPECT_EQ(0xCC, HostByte(Add()));
  EXPECT_FALSE(byRva.GetActive());
  EXPECT_TRUE(byExport.GetActive());
  byExport.SetActive(false);
  EXPECT_EQ(original, HostByte(Add()));
  EXPECT_FALSE(byExport.GetActive());
  byRva.SetActive(true);
  EXPECT_EQ(0xCC, HostByte(Add()));
  EXPECT_TRUE(shared->GetEnabled());
}

TEST_F(LoadedSetTrace, AResolverErrorIsLoggedOnceWhileItRepeats) {
  TEAXProcDef missing(L"export://NoSuchExport@resolvefix.dll");
  GetLoadedProcDefs()->Reset();
  GetLoadedProcDefs()->ResolvePass();
  GetLoadedProcDefs()->ResolvePass();
  GetLoadedProcDefs()->ResolvePass();
  std::vector<std::wstring> errors = LoggedErrors();
  ASSERT_EQ(1u, errors.size());
  EXPECT_EQ(0u, errors[0].find(L"\"NoSuchExport\":\r\n")) << WideToUtf8(errors[0]);
  EXPECT_NE(std::wstring::npos, errors[0].find(L"at GetProcAddress"));
  EXPECT_EQ(TProcDefBinding::Unresolvable, missing.GetBinding());
  EXPECT_TRUE(IsUnresolved(&missing));
  // The next trace tells it again.
  GetLoadedProcDefs()->Reset();
  GetLoadedProcDefs()->ResolvePass();
  EXPECT_EQ(2u, LoggedErrors().size());
}

TEST_F(LoadedSetTrace, ADefinitionLoadedDuringATraceWaitsForTheNextOne) {
  GetLoadedProcDefs()->Reset();
  TEAXProcDef late(L"export://FixAdd@resolvefix.dll");
  GetLoadedProcDefs()->ResolvePass();
  EXPECT_EQ(TProcDefBinding::Unbound, late.GetBinding());
  EXPECT_EQ(0u, TraceBreakpointCount());
  GetLoadedProcDefs()->Reset();
  GetLoadedProcDefs()->ResolvePass();
  EXPECT_EQ(TProcDefBinding::Bound, late.GetBinding());
}

TEST_F(LoadedSetTrace, FreeingABoundDefinitionReleasesItsBreakpoint) {
  auto def = std::make_unique<TEAXProcDef>(L"export://FixAdd@resolvefix.dll");
  auto other = std::make_unique<TEAXProcDef>(L"export://Elsewhere@notyetloaded.dll");
  GetLoadedProcDefs()->Reset();
  const uint8_t original = HostByte(Add());
  GetLoadedProcDefs()->ResolvePass();
  ASSERT_EQ(0xCC, HostByte(Add()));
  def.reset();
  EXPECT_EQ(original, HostByte(Add()));
  EXPECT_TRUE(TraceAt(Add())->Defs.IsEmpty());
  // Unloaded while unresolved: gone from the unresolved list as well.
  other.reset();
  TProcDef* found = nullptr;
  EXPECT_FALSE(GetLoadedProcDefs()->Unresolved().Find(L"export://Elsewhere@notyetloaded.dll", found));
}

TEST_F(LoadedSetTrace, AnUnloadedModulesDefinitionsAreResolvedAgainAfterItsReload) {
  TEAXProcDef add(L"export://FixAdd@resolvefix.dll");
  TEAXProcDef elsewhere(L"export://TargetWork@resolvetarget.dll");
  const uint8_t original = HostByte(Add());
  GetLoadedProcDefs()->Reset();
  GetLoadedProcDefs()->ResolvePass();
  ASSERT_EQ(0xCC, HostByte(Add()));
  uint32_t base = 0, size = 0;
  ASSERT_TRUE(Debuggee->ModuleRange(L"resolvefix.dll", base, size));

  GetLoadedProcDefs()->UnbindRange(base, size);
  EXPECT_EQ(TProcDefBinding::Unbound, add.GetBinding());
  EXPECT_TRUE(IsUnresolved(&add));
  EXPECT_EQ(nullptr, TraceAt(Add()));
  // Nothing was written into the range: the memory would belong to something else by now.
  EXPECT_EQ(0xCC, HostByte(Add()));
  // The other module keeps its breakpoint.
  EXPECT_EQ(TProcDefBinding::Bound, elsewhere.GetBinding());

  // Here the "unloaded" image is still mapped: put its byte back by hand, as a reload would.
  SIZE_T done = 0;
  WriteProcessMemory(Host->Process(), reinterpret_cast<void*>(Add()), &original, 1, &done);
  GetLoadedProcDefs()->ResolvePass();
  EXPECT_EQ(TProcDefBinding::Bound, add.GetBinding());
  EXPECT_EQ(original, TraceAt(Add())->SavedByte);
  EXPECT_EQ(0xCC, HostByte(Add()));
  GetLoadedProcDefs()->Reset();
  EXPECT_EQ(original, HostByte(Add()));
}

TEST_F(LoadedSetTrace, LoadingADefinitionWaitsWhileAResolvePassHoldsTheLockNotMadeWithin200Ms) {
  std::unique_ptr<TEAXProcDef> def;
  std::atomic<bool> made{false};
  std::thread loader;
  {
    TReadLock pass(*GetDebugRWSync());
    loader = std::thread([&] {
      def = std::make_unique<TEAXProcDef>(L"export://FixMul@resolvefix.dll");
      made = true;
    });
    ScaledSleep(200);
    EXPECT_FALSE(made);
  }
  ASSERT_TRUE(JoinWithin(loader, 10000, "the loading thread"));
  EXPECT_TRUE(made);
  EXPECT_TRUE(IsLoaded(def.get()));
}

TEST_F(LoadedSetTrace, UnloadingADefinitionWaitsWhileAResolvePassHoldsTheLockNotFreedWithin200Ms) {
  auto def = std::make_unique<TEAXProcDef>(L"export://FixMul@resolvefix.dll");
  std::atomic<bool> freed{false};
  std::thread unloader;
  {
    TReadLock pass(*GetDebugRWSync());
    unloader = std::thread([&] {
      def.reset();
      freed = true;
    });
    ScaledSleep(200);
    EXPECT_FALSE(freed);
  }
  ASSERT_TRUE(JoinWithin(unloader, 10000, "the unloading thread"));
  EXPECT_TRUE(freed);
  TProcDef* found = nullptr;
  EXPECT_FALSE(GetLoadedProcDefs()->Find(L"export://FixMul@resolvefix.dll", found));
}

TEST_F(LoadedSetTrace, ChangingTheUrlMovesTheDefinitionToItsNewKey) {
  TEAXProcDef def(L"export://FixAdd@resolvefix.dll");
  def.SetURL(L"export://FixMul@resolvefix.dll?minversion=1");
  EXPECT_EQ(L"export://FixMul@resolvefix.dll", def.GetURL());
  EXPECT_EQ(L"FixMul", def.GetTitle());
  EXPECT_TRUE(IsLoaded(&def));
  TProcDef* found = nullptr;
  EXPECT_FALSE(GetLoadedProcDefs()->Find(L"export://FixAdd@resolvefix.dll", found));
  GetLoadedProcDefs()->Reset();
  GetLoadedProcDefs()->ResolvePass();
  EXPECT_NE(nullptr, TraceAt(Mul()));
}

}  // namespace
