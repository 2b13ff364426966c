// Tracing the test program's calls: what the log shows against what the program says it did.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <thread>

#include "TraceHarness.h"
#include "Tracer/engine/uDebugCore.h"
#include "Tracer/engine/uEventQueue.h"
#include "Tracer/engine/uSystemObjects.h"
#include "Tracer/foundation/uWideStrUtils.h"
#include "support/MessageWindow.h"

namespace {

const std::wstring Std = L"@tracee_std.dll";
const std::wstring Cdecl = L"@tracee_cdecl.dll";

std::wstring Export(const std::wstring& name, const std::wstring& dll = Std) { return L"export://" + name + dll; }

// Every export of both DLLs, with the parameters a symbol file would give them.
void DefineAllExports(TTestDefs& defs) {
  defs.Add(Export(L"AddInts"), L"eax", {{L"int", L"a", 4}, {L"int", L"b", 8}});
  defs.Add(Export(L"ShortNegate"), L"ax", {{L"int", L"v", 4}});
  defs.Add(Export(L"AnsiLen"), L"eax", {{L"str*", L"s", 4}});
  defs.Add(Export(L"WideLen"), L"eax", {{L"wstr*", L"s", 4}});
  defs.Add(Export(L"BufferSum"), L"eax", {{L"int", L"len", 8}, {L"dump*", L"buf", 4, false, L"len"}});
  defs.Add(Export(L"PointSum"), L"eax", {{L"int*", L"x", 4}, {L"dump*", L"p", 4, false, L"8"}});
  defs.Add(Export(L"DumpBlock"), L"eax", {{L"dump*", L"block", 4, false, L"16"}});
  defs.Add(Export(L"GetAnswer"), L"void", {{L"int*", L"out", 4, true}});
  defs.Add(Export(L"GetGreeting"), L"void", {{L"str**", L"out", 4, true}});
  defs.Add(Export(L"StrOrNull"), L"eax", {{L"str*", L"s", 4}});
  defs.Add(Export(L"TruncDouble"), L"eax", {{L"double", L"d", 4}});
  defs.Add(Export(L"VariantType"), L"eax", {{L"variant*", L"v", 4}});
  defs.Add(Export(L"AddCdecl", Cdecl), L"eax", {{L"int", L"a", 4}, {L"int", L"b", 8}});
  defs.Add(Export(L"CdeclShort", Cdecl), L"ax", {{L"int", L"v", 4}});
  defs.Add(Export(L"CdeclStrings", Cdecl), L"eax", {{L"str*", L"a", 4}, {L"wstr*", L"w", 8}});
  defs.Add(Export(L"CdeclOut", Cdecl), L"void", {{L"int", L"v", 4}, {L"int*", L"out", 8, true}});
  defs.Add(Export(L"CdeclDouble", Cdecl), L"eax", {{L"double", L"d", 4}});
}

// The first code byte of an export of tracee_std.dll as its file has it.
unsigned FirstByteInFile(const char* name) {
  HMODULE image = LoadLibraryExW((TestBinDir() + L"tracee_std.dll").c_str(), nullptr, DONT_RESOLVE_DLL_REFERENCES);
  EXPECT_NE(image, nullptr);
  const unsigned byte = image ? *reinterpret_cast<const unsigned char*>(GetProcAddress(image, name)) : 0;
  if (image) FreeLibrary(image);
  return byte;
}

// The truth lines of one function.
std::vector<TTruthCall> TruthOf(const TTraceHarness& h, const std::wstring& function) {
  std::vector<TTruthCall> calls;
  for (auto& t : h.Truth())
    if (t.Function == function) calls.push_back(t);
  return calls;
}

// The logged calls, one per truth line in the same order, with equal values.
void ExpectCallsMatchTruth(const std::vector<TLoggedEvent>& calls, const std::vector<TTruthCall>& truth) {
  ASSERT_EQ(calls.size(), truth.size());
  for (size_t i = 0; i < truth.size(); ++i) {
    SCOPED_TRACE(WideToUtf8(truth[i].Function));
    EXPECT_EQ(calls[i].Text, truth[i].Function);
    for (auto& [name, value] : truth[i].Values) {
      if (name == L"calls") continue;
      std::wstring logged = calls[i].Value(name);
      if (name == L"result" && value.find(L'-') == 0 && calls[i].Find(L"result")->vt == VT_UI4)
        logged = std::to_wstring(static_cast<int32_t>(calls[i].Find(L"result")->ulVal));
      EXPECT_EQ(logged, value) << WideToUtf8(name);
    }
  }
}

}  // namespace

TEST(Tracing, EveryExportIsLoggedOnceWithResultFirstThenEntryThenOutputValues) {
  TTestDefs defs;
  DefineAllExports(defs);
  TTraceHarness h;
  h.RunToEnd(L"calls");
  EXPECT_TRUE(h.Errors().empty()) << (h.Errors().empty() ? "" : WideToUtf8(h.Errors()[0].Value(L"msg")));
  auto calls = h.Calls();
  ExpectCallsMatchTruth(calls, h.Truth());
  for (auto& c : calls) {
    ASSERT_FALSE(c.Params.empty());
    EXPECT_EQ(c.Params[0].first, L"result");
    EXPECT_FALSE(c.ParamVisible[0]);
    EXPECT_NE(c.ThreadId, 0u);
    EXPECT_GE(c.Time, 0.0);
  }
  // Entry parameters in definition order before the output ones.
  auto bufferSum = h.CallsOf(L"BufferSum");
  ASSERT_EQ(bufferSum.size(), 1u);
  ASSERT_EQ(bufferSum[0].Params.size(), 3u);
  EXPECT_EQ(bufferSum[0].Params[1].first, L"len");
  EXPECT_EQ(bufferSum[0].Params[2].first, L"buf");
  auto cdeclOut = h.CallsOf(L"CdeclOut");
  ASSERT_EQ(cdeclOut.size(), 1u);
  ASSERT_EQ(cdeclOut[0].Params.size(), 3u);
  EXPECT_EQ(cdeclOut[0].Params[2].first, L"out");
  EXPECT_EQ(h.CallsOf(L"ShortNegate")[0].Find(L"result")->vt, VT_I2);
  EXPECT_EQ(h.CallsOf(L"StrOrNull")[0].Find(L"s")->vt, VT_NULL);
  EXPECT_EQ(h.Events().back().Text, L"Finish");
}

TEST(Tracing, TwoDefinitionsAtOneAddressGiveTwoEventsPerCall) {
  TTestDefs defs;
  defs.Add(Export(L"AddInts"), L"eax", {{L"int", L"a", 4}, {L"int", L"b", 8}});
  defs.Add(WideFormat(L"rva://0x%08X@tracee_std.dll", TTestDefs::ExportRva(L"tracee_std.dll", "AddInts")), L"eax",
           {{L"int", L"b", 8}}, L"AddIntsByOffset");
  TTraceHarness h;
  h.RunToEnd(L"recursion");
  auto byName = h.CallsOf(L"AddInts");
  auto byOffset = h.CallsOf(L"AddIntsByOffset");
  ASSERT_EQ(byName.size(), 1u);
  ASSERT_EQ(byOffset.size(), 1u);
  EXPECT_EQ(byName[0].Value(L"a"), L"1");
  EXPECT_EQ(byOffset[0].Find(L"a"), nullptr);
  EXPECT_EQ(byOffset[0].Value(L"b"), L"2");
  EXPECT_EQ(byOffset[0].Value(L"result"), L"3");
  EXPECT_EQ(byName[0].ThreadId, byOffset[0].ThreadId);
}

TEST(Tracing, RecursionThreeDeepGivesThreeEventsPerFunction) {
  TTestDefs defs;
  defs.Add(Export(L"Recurse"), L"eax", {{L"int", L"n", 4}});
  defs.Add(Export(L"RecurseVia"), L"eax", {{L"int", L"n", 4}});
  defs.Add(Export(L"ViaHelper"), L"eax", {{L"int", L"n", 4}});
  defs.Add(Export(L"AddInts"), L"eax", {{L"int", L"a", 4}, {L"int", L"b", 8}});
  TTraceHarness h;
  h.RunToEnd(L"recursion");
  EXPECT_TRUE(h.Errors().empty());
  // Returns come innermost first; the truth file lists them the same way per function.
  auto truth = h.Truth();
  for (const wchar_t* name : {L"Recurse", L"RecurseVia", L"ViaHelper", L"AddInts"}) {
    std::vector<TTruthCall> expected;
    for (auto& t : truth)
      if (t.Function == name) expected.push_back(t);
    auto calls = h.CallsOf(name);
    std::reverse(expected.begin(), expected.end());
    if (std::wstring(name) == L"AddInts") std::reverse(expected.begin(), expected.end());
    SCOPED_TRACE(WideToUtf8(name));
    ExpectCallsMatchTruth(calls, expected);
  }
}

TEST(Tracing, CallsLeftByAnExceptionOrALongJumpLoseNoLaterCall) {
  TTestDefs defs;
  defs.Add(Export(L"Guarded"), L"eax", {{L"int", L"n", 4}});
  defs.Add(Export(L"Thrower"), L"eax", {{L"int", L"n", 4}});
  defs.Add(Export(L"JumpGuard"), L"eax", {{L"int", L"n", 4}});
  defs.Add(Export(L"Jumper"), L"eax", {{L"int", L"n", 4}});
  defs.Add(Export(L"AddInts"), L"eax", {{L"int", L"a", 4}, {L"int", L"b", 8}});
  TTraceHarness h;
  h.RunToEnd(L"exceptions");
  EXPECT_TRUE(h.Errors().empty());
  ExpectCallsMatchTruth(h.Calls(), h.Truth());
  // The program handled its own access violation: it ran to the end.
  auto remarks = h.TruthRemarks();
  EXPECT_NE(std::find(remarks.begin(), remarks.end(), "access violation handled: 7"), remarks.end());
}

TEST(Tracing, ADllLoadedAndUnloadedThreeTimesHasEveryCallTraced) {
  TTestDefs defs;
  defs.Add(Export(L"AddInts"), L"eax", {{L"int", L"a", 4}, {L"int", L"b", 8}});
  TTraceHarness h;
  h.RunToEnd(L"dllloop", L"3");
  EXPECT_TRUE(h.Errors().empty());
  ExpectCallsMatchTruth(h.Calls(), h.Truth());
}

TEST(Tracing, FourThreadsCallingOneFunctionLoseNoCall) {
  TTestDefs defs;
  defs.Add(Export(L"ThreadWork"), L"eax", {{L"int", L"i", 4}});
  for (int run = 0; run < 5; ++run) {
    SCOPED_TRACE(run);
    TTraceHarness h;
    h.RunToEnd(L"threads", L"500", 120000);
    auto calls = h.CallsOf(L"ThreadWork");
    EXPECT_EQ(calls.size(), 2000u);
    std::map<DWORD, int> perThread;
    for (auto& c : calls) ++perThread[c.ThreadId];
    EXPECT_EQ(perThread.size(), 4u);
    for (auto& [id, n] : perThread) EXPECT_EQ(n, 500);
    EXPECT_TRUE(h.Errors().empty());
  }
}

TEST(Tracing, ResumingSwitchesOnEveryPausedDefinitionNoCallWithin300MsPaused) {
  TTestDefs defs;
  TProcDef* tick = defs.Add(Export(L"Tick"), L"eax", {{L"int", L"i", 4}});
  TProcDef* add = defs.Add(Export(L"AddInts"), L"eax");
  TProcDef* off = defs.Add(Export(L"ThreadWork"), L"eax");
  off->SetActive(false);
  TTraceHarness h;
  h.StartRun(L"busy", h.Dir.File(L"stop"));
  ASSERT_TRUE(h.PumpUntil([&] { return h.CallsOf(L"Tick").size() > 5; }, 20000));
  GetDebugger()->SetPaused(true);
  EXPECT_TRUE(GetDebugger()->GetPaused());
  EXPECT_FALSE(tick->GetActive());
  EXPECT_FALSE(add->GetActive());
  h.PumpFor(200);
  const size_t whilePaused = h.CallsOf(L"Tick").size();
  h.PumpFor(300);
  EXPECT_EQ(h.CallsOf(L"Tick").size(), whilePaused) << "no call is traced while paused";
  tick->SetActive(true);  // by hand, during the pause
  GetDebugger()->SetPaused(false);
  EXPECT_TRUE(tick->GetActive());
  EXPECT_TRUE(add->GetActive());
  EXPECT_FALSE(off->GetActive());
  ASSERT_TRUE(h.PumpUntil([&] { return h.CallsOf(L"Tick").size() > whilePaused + 5; }, 20000));
  WriteTextFile(h.Dir.File(L"stop"), "stop");
  ASSERT_TRUE(h.WaitForEnd(20000));
  EXPECT_TRUE(h.Errors().empty());
}

TEST(Tracing, AttachingTracingAndStoppingLeavesTheProgramRunningWithItsCodeIntactNoExitWithin300Ms) {
  TTestDefs defs;
  defs.Add(Export(L"Tick"), L"eax", {{L"int", L"i", 4}});
  defs.Add(Export(L"AddInts"), L"eax", {{L"int", L"a", 4}, {L"int", L"b", 8}});
  TTraceHarness h;
  TBusyProgram busy(h);
  GetDebugger()->Attach(busy.Pid);
  ASSERT_TRUE(h.PumpUntil([&] { return h.CallsOf(L"Tick").size() > 50; }, 20000));
  ASSERT_TRUE(h.Stop());
  const size_t traced = h.CallsOf(L"Tick").size();
  ScaledSleep(300);
  EXPECT_TRUE(busy.StillRunning());
  ASSERT_TRUE(busy.Finish());
  DWORD code = 1;
  GetExitCodeProcess(busy.Process, &code);
  EXPECT_EQ(code, 0u);
  EXPECT_EQ(h.CallsOf(L"Tick").size(), traced) << "nothing is logged after the stop";
  auto truth = h.Truth();
  ASSERT_FALSE(truth.empty());
  EXPECT_EQ(truth.back().Function, L"checksum");
  EXPECT_TRUE(truth.back().Values.count(L"ok")) << "the code bytes were restored";
  // Consecutive ticks: no call was lost while traced.
  auto ticks = h.CallsOf(L"Tick");
  for (size_t i = 1; i < ticks.size(); ++i)
    EXPECT_EQ(_wtoi(ticks[i].Value(L"i").c_str()), _wtoi(ticks[i - 1].Value(L"i").c_str()) + 1);
}

TEST(Tracing, AnUnreadablePointerGivesTheParameterTheErrorTextAndTheTraceGoesOn) {
  TTestDefs defs;
  // "a" holds 2, which read as a pointer leads nowhere.
  defs.Add(Export(L"AddInts"), L"eax", {{L"int**", L"a", 4}, {L"int", L"b", 8}});
  TTraceHarness h;
  h.RunToEnd(L"recursion");
  auto calls = h.CallsOf(L"AddInts");
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].Find(L"a")->vt, VT_BSTR);
  EXPECT_FALSE(calls[0].Value(L"a").empty());
  EXPECT_EQ(calls[0].Value(L"b"), L"2");
  EXPECT_EQ(calls[0].Value(L"result"), L"3");
  EXPECT_EQ(h.Events().back().Text, L"Finish");
}

TEST(Tracing, FunctionsReturningToOneAddressAreEachLoggedWithTheirOwnDefinition) {
  TTestDefs defs;
  defs.Add(Export(L"Outer"), L"eax", {{L"int", L"n", 4}});
  defs.Add(Export(L"Inner"), L"eax", {{L"int", L"n", 4}});
  TTraceHarness h;
  h.RunToEnd(L"recursion");
  EXPECT_TRUE(h.HasRemark("Dispatch\tresult=21"));
  auto calls = h.Calls();
  ASSERT_EQ(calls.size(), 2u);
  EXPECT_EQ(calls[0].Text, L"Inner");
  EXPECT_EQ(calls[0].Value(L"n"), L"2");
  EXPECT_EQ(calls[0].Value(L"result"), L"20");
  EXPECT_EQ(calls[1].Text, L"Outer");
  EXPECT_EQ(calls[1].Value(L"n"), L"1");
  EXPECT_EQ(calls[1].Value(L"result"), L"21");
}

TEST(Tracing, AHandlerRaisingAtReturnGivesOneErrorTheCallIsStillLoggedAndTheTraceGoesOn) {
  TTestDefs defs;
  TTraceHarness h;
  const std::wstring script = h.Dir.File(L"onreturn.js");
  WriteTextFile(script,
                "function OnReturn(params) {\r\n"
                "  if (params.Values.n == 2) throw new Error(\"no row for two\");\r\n"
                "  var p = params.Add(\"seen\");\r\n"
                "  p.Value = params.Values.result;\r\n"
                "}\r\n");
  defs.Add(Export(L"Recurse"), L"eax", {{L"int", L"n", 4}})->SetHandler(L"script://OnReturn@" + script);
  defs.Add(Export(L"AddInts"), L"eax", {{L"int", L"a", 4}, {L"int", L"b", 8}});
  h.RunToEnd(L"recursion");

  auto errors = h.Errors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_NE(errors[0].Value(L"msg").find(L"no row for two"), std::wstring::npos) << WideToUtf8(errors[0].Value(L"msg"));
  auto recurse = h.CallsOf(L"Recurse");
  ASSERT_EQ(recurse.size(), 3u);
  EXPECT_EQ(recurse[0].Value(L"n"), L"1");
  EXPECT_EQ(recurse[0].Value(L"seen"), L"1");
  EXPECT_EQ(recurse[1].Value(L"n"), L"2");
  EXPECT_EQ(recurse[1].Value(L"result"), L"2");
  EXPECT_EQ(recurse[1].Find(L"seen"), nullptr);
  // The same script engine serves the next return after its error.
  EXPECT_EQ(recurse[2].Value(L"n"), L"3");
  EXPECT_EQ(recurse[2].Value(L"seen"), L"3");
  // The error comes just before the call it belongs to.
  auto events = h.Events();
  auto error = std::find_if(events.begin(), events.end(), [](auto& e) { return e.Kind == TLoggedEvent::Error; });
  ASSERT_NE(error + 1, events.end());
  EXPECT_EQ((error + 1)->Text, L"Recurse");
  EXPECT_EQ((error + 1)->Value(L"n"), L"2");
  auto add = h.CallsOf(L"AddInts");
  ASSERT_EQ(add.size(), 1u);
  EXPECT_EQ(add[0].Value(L"result"), L"3");
  EXPECT_TRUE(h.HasRemark("done"));
  EXPECT_EQ(events.back().Text, L"Finish");
}

TEST(Tracing, ADefinitionSwitchedOffDuringItsCallGivesNoEventAndLeavesNoBreakpointByte) {
  TTestDefs defs;
  TProcDef* hold = defs.Add(Export(L"Hold"), L"eax", {{L"wstr*", L"held", 4}, {L"wstr*", L"release", 8}});
  defs.Add(Export(L"AddInts"), L"eax", {{L"int", L"a", 4}, {L"int", L"b", 8}});
  TTraceHarness h;
  const std::wstring prefix = h.Dir.File(L"hold");
  auto heldText = [&](int round) {
    const std::wstring held = prefix + L"-held" + std::to_wstring(round);
    if (!h.PumpUntil([&] { return GetFileAttributesW(held.c_str()) != INVALID_FILE_ATTRIBUTES; }, 20000))
      return std::string("(never held)");
    return ReadTextFile(held);
  };
  h.StartRun(L"hold", prefix);
  // Inside the traced call both bytes are armed: the entry's and the return address's.
  EXPECT_EQ(heldText(1), "entry=CC return=CC");
  hold->SetActive(false);  // from the main thread, as the window does
  EXPECT_FALSE(hold->GetActive());
  WriteTextFile(prefix + L"-go1", "go");
  // The return was caught and released: neither byte is left behind for the next call.
  EXPECT_EQ(heldText(2).find("CC"), std::string::npos) << heldText(2);
  WriteTextFile(prefix + L"-go2", "go");
  ASSERT_TRUE(h.WaitForEnd(20000));

  EXPECT_TRUE(h.Errors().empty()) << (h.Errors().empty() ? "" : WideToUtf8(h.Errors()[0].Value(L"msg")));
  EXPECT_TRUE(h.CallsOf(L"Hold").empty());
  std::vector<TTruthCall> added = TruthOf(h, L"AddInts");
  ExpectCallsMatchTruth(h.CallsOf(L"AddInts"), added);
  EXPECT_EQ(added.size(), 2u);
  EXPECT_TRUE(h.HasRemark("done"));
  EXPECT_EQ(h.Events().back().Text, L"Finish");
}

TEST(Tracing, AnExportThatCannotBeResolvedIsReportedOnceWhileTheProgramRunsOnNoRepeatWithin1500Ms) {
  TTestDefs defs;
  defs.Add(Export(L"NoSuchExport"), L"eax");
  defs.Add(Export(L"AddInts"), L"eax", {{L"int", L"a", 4}, {L"int", L"b", 8}});
  TTraceHarness h;
  const std::wstring stopFile = h.Dir.File(L"stop");
  h.StartRun(L"busy", stopFile);
  ASSERT_TRUE(h.PumpUntil([&] { return h.HasRemark("ready"); }, 20000));
  // The busy loop makes no debug event: the debugging thread waits idle many times meanwhile.
  h.PumpFor(1500);
  EXPECT_EQ(h.Errors().size(), 1u);
  WriteTextFile(stopFile, "stop");
  ASSERT_TRUE(h.WaitForEnd(20000));
  auto errors = h.Errors();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_EQ(errors[0].Value(L"msg").find(L"\"NoSuchExport\":\r\n"), 0u) << WideToUtf8(errors[0].Value(L"msg"));
  EXPECT_TRUE(h.HasRemark("done"));
}

TEST(Tracing, AStepOverAFaultingFirstInstructionReleasesTheOtherThreadsAndLosesNoLaterCall) {
  TTestDefs defs;
  defs.Add(Export(L"FaultFirst"), L"eax", {{L"int", L"n", 4}});
  defs.Add(Export(L"GuardFirst"), L"eax", {{L"int", L"n", 4}});
  defs.Add(Export(L"IntoFirst"), L"eax", {{L"int", L"n", 4}});
  defs.Add(Export(L"ThreadWork"), L"eax", {{L"int", L"i", 4}});
  defs.Add(Export(L"AddInts"), L"eax", {{L"int", L"a", 4}, {L"int", L"b", 8}});
  TTraceHarness h;
  h.RunToEnd(L"stepfault", L"200", 60000);
  EXPECT_TRUE(h.Errors().empty());
  // Each call is logged once: the fault is the program's, taken back by its caller; the other
  // thread was not left held, and the entry byte came back for the next calls.
  ExpectCallsMatchTruth(h.CallsOf(L"FaultFirst"), TruthOf(h, L"FaultFirst"));
  EXPECT_EQ(h.CallsOf(L"ThreadWork").size(), 200u);
  EXPECT_EQ(h.CallsOf(L"AddInts").size(), 1u);
  EXPECT_TRUE(h.HasRemark("ThreadWork calls=200"));
  EXPECT_TRUE(h.HasRemark("trap flags seen by the handler: 0")) << "the handler saw our trap flag";
  // A fault that does not repeat by itself (a guard page) reaches the handler once, as untraced.
  ExpectCallsMatchTruth(h.CallsOf(L"GuardFirst"), TruthOf(h, L"GuardFirst"));
  std::string guard;
  for (auto& r : h.TruthRemarks())
    if (r.rfind("guard faults", 0) == 0) guard = r;
  EXPECT_EQ(guard, "guard faults seen by the handler: 3, with the trap flag: 0");
  // A trap (into) reaches the handler as untraced too.
  ExpectCallsMatchTruth(h.CallsOf(L"IntoFirst"), TruthOf(h, L"IntoFirst"));
  EXPECT_TRUE(h.HasRemark("overflows seen by the handler: 3, with the trap flag: 0"));
}

TEST(Tracing, EntryInstructionsCarriedOutByTheTracerLeaveTheProgramsResultsAsTheyWere) {
  TTestDefs defs;
  defs.Add(Export(L"HotPatched"), L"eax", {{L"int", L"n", 4}});
  defs.Add(Export(L"PushesEsp"), L"eax", {{L"int", L"n", 4}});
  defs.Add(Export(L"AddInts"), L"eax", {{L"int", L"a", 4}, {L"int", L"b", 8}});
  TTraceHarness h;
  h.RunToEnd(L"prologues");
  EXPECT_TRUE(h.Errors().empty());
  ExpectCallsMatchTruth(h.Calls(), h.Truth());
  EXPECT_EQ(h.Calls().size(), 4u);
  // The program computed what it computes untraced.
  for (auto& t : h.Truth()) {
    const int n = std::stoi(t.Values[L"n"]);
    EXPECT_EQ(std::stoi(t.Values[L"result"]), t.Function == L"HotPatched" ? n + 1 : n + 2);
  }
}

TEST(Tracing, EveryEntryInstructionTheTracerCarriesOutLeavesTheProgramsResultsAsTheyWere) {
  // A load, a register move, a push and a load of a constant, and a load beyond the stack
  // block read at the hit (stepped): each function adds its own constant.
  // Then those that read or write the flags (pushfd also at a page's start, where it is
  // stepped), an int3 of the program's own that its caller's handler goes on after, and
  // addresses the loader relocates after our byte went in.
  const std::map<std::wstring, int> added = {
      {L"LoadsArg", 3},     {L"MovesEsp", 4}, {L"PushesConst", 5}, {L"LoadsConst", 6},
      {L"LoadsFar", 7},     {L"PushesFlags", 8}, {L"OwnBreak", 9}, {L"PopsFlags", 10},
      {L"LoadsAddress", 11}, {L"PushesAddress", 12}};
  TTestDefs defs;
  for (const auto& [name, _] : added)
    defs.Add(Export(name, name.find(L"Address") != std::wstring::npos ? L"@tracee_rel.dll" : Std), L"eax",
             {{L"int", L"n", 4}});
  TTraceHarness h;
  const uint32_t stepsBefore = SteppedEntryCount();
  h.RunToEnd(L"entries");
  EXPECT_TRUE(h.HasRemark("tracee_rel.dll relocated: 1"));
  EXPECT_EQ(SteppedEntryCount() - stepsBefore, 4u) << "only LoadsFar's load and pushfd at a page's start are stepped";
  EXPECT_TRUE(h.Errors().empty());
  ExpectCallsMatchTruth(h.Calls(), h.Truth());
  EXPECT_EQ(h.Calls().size(), 22u);
  for (auto& t : h.Truth()) EXPECT_EQ(std::stoi(t.Values[L"result"]), std::stoi(t.Values[L"n"]) + added.at(t.Function));
}

TEST(Tracing, AnRvaUrlNamingTheProgramsOwnFileResolvesAndItsCallsAreLogged) {
  TTestDefs defs;
  const uint32_t rva = TTestDefs::ExportRva(L"tracee.exe", "OwnAdd@8");
  ASSERT_NE(rva, 0u);
  defs.Add(WideFormat(L"rva://0x%08X@tracee.exe", rva), L"eax", {{L"int", L"a", 4}, {L"int", L"b", 8}},
           L"OwnAdd");
  TTraceHarness h;
  h.RunToEnd(L"own");
  EXPECT_TRUE(h.Errors().empty());
  ExpectCallsMatchTruth(h.Calls(), h.Truth());
  EXPECT_EQ(h.Calls().size(), 3u);
}

TEST(Tracing, SwitchingDefinitionsAndReadingTheLogWhileFourThreadsAreTracedLosesNoCallOfAnActiveOne) {
  TTestDefs defs;
  defs.Add(Export(L"ThreadWork"), L"eax", {{L"int", L"i", 4}});
  TProcDef* twin = defs.Add(WideFormat(L"rva://0x%08X@tracee_std.dll", TTestDefs::ExportRva(L"tracee_std.dll", "ThreadWork")),
                            L"eax", {{L"int", L"i", 4}}, L"ThreadWorkTwin");
  TProcDef* tick = defs.Add(Export(L"Tick"), L"eax", {{L"int", L"i", 4}});
  const unsigned tickByte = FirstByteInFile("Tick");

  TTraceHarness h;
  h.StartRun(L"stress", L"300");
  // The window's share: definitions switched on and off, the log and the title read, all while
  // the debugging thread traces.
  int switches = 0;
  LONG seen = 0;
  std::wstring title;  // what the window's title would show
  const bool done = h.PumpUntil(
      [&] {
        twin->SetActive(!twin->GetActive());
        tick->SetActive(!tick->GetActive());
        ++switches;
        ITracerEvents* all = GetTracerEventQueue()->AllEvents();
        LONG count = 0;
        all->get_Count(&count);
        if (count > 0) {
          TComPtr<ITracerEvent> last;
          EXPECT_EQ(S_OK, all->Item(count - 1, last.Put()));
        }
        seen = std::max(seen, count);
        const std::wstring name = GetDebugger()->DebuggeeFileName();
        if (!name.empty()) title = name;
        return h.HasRemark("calls done");
      },
      60000);
  tick->SetActive(false);
  twin->SetActive(true);
  WriteTextFile(h.TruthFile() + L".go", "go");
  EXPECT_TRUE(done);
  ASSERT_TRUE(h.WaitForEnd(60000));

  EXPECT_TRUE(h.Errors().empty());
  EXPECT_GT(switches, 10);
  EXPECT_GT(seen, 0);
  EXPECT_EQ(WideExtractFileName(title), L"tracee.exe") << WideToUtf8(title);
  // The definition that stayed on saw every call, each once and with its own thread's value.
  auto calls = h.CallsOf(L"ThreadWork");
  EXPECT_EQ(calls.size(), 1200u);
  std::map<DWORD, int> perThread;
  for (auto& c : calls) {
    ++perThread[c.ThreadId];
    EXPECT_EQ(c.Value(L"result"), std::to_wstring(2 * std::stoi(c.Value(L"i"))));
  }
  EXPECT_EQ(perThread.size(), 4u);
  EXPECT_LE(h.CallsOf(L"ThreadWorkTwin").size(), 1200u);
  EXPECT_LE(h.CallsOf(L"Tick").size(), 1200u);
  // The switched-off definition left its function's first byte as it was.
  EXPECT_TRUE(h.HasRemark(WideToUtf8(WideFormat(L"Tick byte %02X", tickByte)))) << "no 0xCC may stay behind";
}

namespace {
// A stop that comes in (a message handled) while a pause waits for the engine's lock.
LRESULT CALLBACK StoppingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_APP) return DefWindowProcW(window, message, wParam, lParam);
  try {
    GetDebugger()->Stop();
    GetDebugger()->WaitForThreadEnd();
  } catch (...) {
  }
  return 0;
}
}  // namespace

TEST(Tracing, APauseWhoseWaitOutlastsTheTraceChangesNothing) {
  TTestDefs defs;
  TProcDef* add = defs.Add(Export(L"AddInts"), L"eax", {{L"int", L"a", 4}, {L"int", L"b", 8}});
  TTraceHarness h;
  const std::wstring prefix = h.Dir.File(L"hold");
  h.StartRun(L"hold", prefix);
  ASSERT_TRUE(h.PumpUntil([&] { return GetFileAttributesW((prefix + L"-held1").c_str()) != INVALID_FILE_ATTRIBUTES; }, 20000));
  ASSERT_TRUE(h.PumpUntil([] { return GetDebugger()->GetActive(); }, 20000));
  HWND window = MessageOnlyWindow(L"CwStopDuringPause", &StoppingProc);
  ASSERT_NE(window, nullptr);
  std::atomic<bool> holding{false};
  std::thread reader([&] {
    TReadLock lock(*GetDebugRWSync());  // a call handler of the debugging thread, still running
    holding = true;
    ScaledSleep(300);
  });
  ASSERT_TRUE(PollUntil([&] { return holding.load(); }, 5000, 1));
  PostMessageW(window, WM_APP, 0, 0);
  EXPECT_TRUE(BoundedWait("the pause", 20000, [] { GetDebugger()->SetPaused(true); }));
  EXPECT_TRUE(JoinWithin(reader, 5000, "the reader"));
  EXPECT_FALSE(GetDebugger()->GetActive());
  EXPECT_FALSE(GetDebugger()->GetPaused());
  EXPECT_TRUE(add->GetActive()) << "the pause switched the function off after its trace had ended";
  DestroyWindow(window);
}

// A symbol file unloaded and loaded again while a call of its function is outstanding (Hold
// blocks until released): the return is logged against the definition it began with or not at
// all, never against the new one.
TEST(Tracing, AReloadDuringAnOutstandingCallNeverLogsTheReturnAgainstTheNewDefinition) {
  auto first = std::make_unique<TTestDefs>();
  first->Add(Export(L"Hold"), L"eax", {{L"wstr*", L"held", 4}, {L"wstr*", L"release", 8}}, L"HoldFirst");
  TTraceHarness h;
  const std::wstring prefix = h.Dir.File(L"hold");
  auto held = [&](int round) {
    const std::wstring file = prefix + L"-held" + std::to_wstring(round);
    return h.PumpUntil([&] { return GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES; }, 20000);
  };
  h.StartRun(L"hold", prefix);
  ASSERT_TRUE(held(1));
  first->Items.clear();  // unloaded while Hold is under way (the trace goes on)
  TTestDefs again;
  again.Add(Export(L"Hold"), L"eax", {{L"wstr*", L"held", 4}, {L"wstr*", L"release", 8}}, L"HoldAgain");
  WriteTextFile(prefix + L"-go1", "go");
  ASSERT_TRUE(held(2));
  WriteTextFile(prefix + L"-go2", "go");
  ASSERT_TRUE(h.WaitForEnd(20000));
  EXPECT_TRUE(h.CallsOf(L"HoldAgain").empty());
  EXPECT_TRUE(h.Errors().empty());
  EXPECT_TRUE(h.HasRemark("done"));
}

// The program hot-patches a traced entry over the tracer's byte; a pause and resume arms it
// again over the new code, which must run as written.
TEST(Tracing, AnEntryTheProgramHotPatchesRunsItsNewCodeAfterAPauseAndResume) {
  TTestDefs defs;
  defs.Add(Export(L"Patchable"), L"eax", {{L"int", L"n", 4}});
  TTraceHarness h;
  h.StartRun(L"hotpatch");
  ASSERT_TRUE(h.PumpUntil([&] { return h.HasRemark("patched"); }, 20000));
  GetDebugger()->SetPaused(true);
  GetDebugger()->SetPaused(false);
  WriteTextFile(h.TruthFile() + L".go", "go");
  ASSERT_TRUE(h.WaitForEnd(20000));
  EXPECT_TRUE(h.Errors().empty());
  EXPECT_TRUE(h.HasRemark("Patchable\tn=2\tresult=1002")) << "untraced, the patch works";
  auto truth = h.Truth();
  ExpectCallsMatchTruth(h.Calls(), truth);
  ASSERT_EQ(truth.size(), 2u);
  EXPECT_EQ(truth[0].Values[L"result"], L"13");
  EXPECT_EQ(truth[1].Values[L"result"], L"1003");
}

// Leave never returns; its return address is NextEntry's first byte. NextEntry switched off
// and on between rounds, then the detach: the program's code is as in its file throughout.
TEST(Tracing, ANoReturnCallIntoTheNextTracedEntryLeavesNoByteWhenThatEntryIsSwitchedOffAndOnThenDetached) {
  TTestDefs defs;
  TProcDef* escape = defs.Add(Export(L"Leave"), L"eax");
  TProcDef* next = defs.Add(Export(L"NextEntry"), L"eax", {{L"int", L"n", 4}});
  const unsigned nextByte = FirstByteInFile("NextEntry");
  TTraceHarness h;
  TBusyProgram program(h, L"noreturn");
  GetDebugger()->Attach(program.Pid);
  ASSERT_TRUE(h.PumpUntil([&] { return escape->GetBinding() == TProcDefBinding::Bound && next->GetBinding() == TProcDefBinding::Bound; }, 20000));
  auto round = [&](int n) {
    WriteTextFile(h.Dir.File(L"stop") + L"-go" + std::to_wstring(n), "go");
    return h.PumpUntil([&] { return h.TruthRemarks().back().rfind("round " + std::to_string(n), 0) == 0; }, 20000);
  };
  ASSERT_TRUE(round(1));
  next->SetActive(false);
  ASSERT_TRUE(round(2));
  EXPECT_TRUE(h.HasRemark(WideToUtf8(WideFormat(L"round 2 byte %02X", nextByte)))) << h.TruthRemarks()[3];
  next->SetActive(true);
  ASSERT_TRUE(round(3));
  ASSERT_TRUE(h.Stop());
  ASSERT_TRUE(program.Finish());
  DWORD code = 1;
  GetExitCodeProcess(program.Process, &code);
  EXPECT_EQ(code, 0u);
  EXPECT_TRUE(h.HasRemark("after: -1 15"));
  auto truth = h.Truth();
  ASSERT_EQ(truth.size(), 4u);
  EXPECT_TRUE(truth.back().Values.count(L"ok")) << "the code bytes are as in the file";
  ExpectCallsMatchTruth(h.CallsOf(L"NextEntry"), {truth[0], truth[2]});
  EXPECT_TRUE(h.CallsOf(L"Leave").empty());
  EXPECT_TRUE(h.Errors().empty());
}

// The system's own breakpoint function traced (its first byte is an int3; the loader and
// DebugBreak may reach it): each call is logged and the program goes on as without ours.
TEST(Tracing, TheSystemsBreakpointFunctionTracedIsLoggedAndTheProgramRunsToItsEnd) {
  TTestDefs defs;
  defs.Add(L"export://DbgBreakPoint@ntdll.dll", L"void", {}, L"DbgBreakPoint");
  defs.Add(Export(L"AddInts"), L"eax", {{L"int", L"a", 4}, {L"int", L"b", 8}});
  TTraceHarness h;
  h.RunToEnd(L"calls");
  EXPECT_TRUE(h.Errors().empty());
  EXPECT_FALSE(h.CallsOf(L"DbgBreakPoint").empty());
  ExpectCallsMatchTruth(h.CallsOf(L"AddInts"), TruthOf(h, L"AddInts"));
  EXPECT_TRUE(h.HasRemark("done"));
}
