// The debugger driven as the main window drives it, against the traced test program.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <thread>

#include "EngineTestSupport.h"
#include "TraceHarness.h"
#include "Tracer/engine/uCallHandlers.h"
#include "Tracer/engine/uDebugCore.h"
#include "Tracer/engine/uEventQueue.h"
#include "lib/dgn/windows/DgnDebugThread.h"

TEST(DebugCore, WorkingFolderIsTheProgramsFolder) {
  TTempDir temp;
  const std::wstring blank = temp.File(L"dbg dir");
  ASSERT_TRUE(CreateDirectoryW(blank.c_str(), nullptr));
  WriteTextFile(blank + L"\\prog.exe", "");
  const struct { std::wstring Line, Dir; } cases[] = {
      {L"\"C:\\Program Files\\app\\a.exe\" x \"C:\\data\\in.txt\"", L"C:\\Program Files\\app"},
      {L"C:\\tools\\b.exe C:\\other\\file", L"C:\\tools"},
      {L"  \"C:\\x\\prog.exe\"", L"C:\\x"},
      {L"prog.exe arg", L""},
      // Unquoted, with a blank in the folder: the file the line runs, ".exe" added.
      {blank + L"\\prog p p1", blank},
  };
  for (const auto& c : cases) EXPECT_EQ(CommandLineProgramDir(c.Line), c.Dir) << c.Line;
}

TEST(DebugCore, RunLogsStartThenFinishAfterTheProgramEnds) {
  TTraceHarness h;
  h.RunToEnd(L"calls");
  auto events = h.Events();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events.front().Text, L"Start");
  EXPECT_EQ(events.back().Text, L"Finish");
  EXPECT_TRUE(h.Errors().empty());
  // The program ran to its end, DebugBreak and the loader's breakpoint included.
  auto remarks = h.TruthRemarks();
  EXPECT_NE(std::find(remarks.begin(), remarks.end(), "done"), remarks.end());
  EXPECT_FALSE(GetDebugger()->GetActive());
}

TEST(DebugCore, StoppingARunTerminatesTheProgramAndEndsWithFinish) {
  TTraceHarness h;
  h.StartRun(L"busy", h.Dir.File(L"never"));
  ASSERT_TRUE(h.PumpUntil([&] { return h.TruthPid() != 0; }, 20000));
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, h.TruthPid());
  ASSERT_NE(process, nullptr);
  EXPECT_TRUE(h.Stop());
  EXPECT_FALSE(GetDebugger()->GetActive());
  EXPECT_EQ(WaitForSingleObject(process, ScaledMs(10000)), WAIT_OBJECT_0);
  DWORD code = 1;
  GetExitCodeProcess(process, &code);
  EXPECT_EQ(code, 0u);
  CloseHandle(process);
  auto events = h.Events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().Text, L"Finish");
}

TEST(DebugCore, StoppingAnAttachLeavesTheProgramRunningNoExitWithin300Ms) {
  TTraceHarness h;
  TBusyProgram busy(h);
  GetDebugger()->Attach(busy.Pid);
  ASSERT_TRUE(h.PumpUntil([] { return GetDebugger()->GetActive(); }, 20000));
  h.PumpFor(500);
  ASSERT_TRUE(h.Stop());
  ScaledSleep(300);
  EXPECT_TRUE(busy.StillRunning());
  ASSERT_TRUE(busy.Finish());
  DWORD code = 1;
  GetExitCodeProcess(busy.Process, &code);
  EXPECT_EQ(code, 0u);
  auto events = h.Events();
  ASSERT_GE(events.size(), 2u);
  EXPECT_EQ(events.front().Text, L"Start");
  EXPECT_EQ(events.back().Text, L"Finish");
}

TEST(DebugCore, ModulesAreFoundByFileNameOnlyOnceNamed) {
  // Our own process stands in for a debuggee: its DLLs are real modules.
  UseProgramTypeLibrary();
  TDebuggedProcess process(GetCurrentProcessId());
  const uint32_t kernel = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(GetModuleHandleW(L"kernel32.dll")));
  const uint32_t ole = static_cast<uint32_t>(reinterpret_cast<uintptr_t>(GetModuleHandleW(L"ole32.dll")));
  process.Modules.AddModule(kernel, nullptr);
  TDebuggedProcessModule* found = nullptr;
  EXPECT_FALSE(process.Modules.FindByName(L"kernel32.dll", found)) << "an unnamed module never matches";
  EXPECT_TRUE(process.Modules.ResolvePendingNames());
  EXPECT_TRUE(process.Modules.Pending().IsEmpty());
  ASSERT_TRUE(process.Modules.FindByName(L"KERNEL32.DLL", found));
  EXPECT_EQ(found->BaseAddress, kernel);
  process.Modules.AddModule(ole, nullptr);
  process.Modules.ResolvePendingNames();
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(GetModuleHandleW(L"ole32.dll"), path, MAX_PATH);
  std::wstring upper = path;
  CharUpperW(upper.data());
  ASSERT_TRUE(process.Modules.FindByName(upper, found));
  EXPECT_EQ(found->BaseAddress, ole);
  EXPECT_FALSE(process.Modules.FindByName(L"C:\\elsewhere\\ole32.dll", found));
  process.Modules.RemoveModule(ole);
  EXPECT_FALSE(process.Modules.FindByName(L"ole32.dll", found));
}

TEST(DebugCore, AttachingToAProcessThatCannotBeOpenedRaisesOnTheCaller) {
  TTraceHarness h;
  try {
    GetDebugger()->Attach(0xFFFFFFF0);
    FAIL() << "no error";
  } catch (const Exception& e) {
    EXPECT_NE(e.Message().find(L"OpenProcess"), std::wstring::npos) << WideToUtf8(e.Message());
  }
  EXPECT_FALSE(GetDebugger()->GetActive());
}

TEST(DebugCore, AProgramThatCannotBeStartedIsReportedAndNoTraceBegins) {
  TTraceHarness h;
  std::wstring reported;
  GetDebugThreadList()->OnDebugThreadException = [&](TDgnDebugThread* t) {
    if (t->ReportedException()) reported = t->ReportedException()->Message();
  };
  GetDebugger()->Run(L"\"" + h.Dir.File(L"missing.exe") + L"\" calls");
  EXPECT_TRUE(h.PumpUntil([&] { return !reported.empty(); }, 20000));
  EXPECT_TRUE(h.WaitForThreadEnd());
  GetDebugThreadList()->OnDebugThreadException = nullptr;
  EXPECT_NE(reported.find(L"CreateProcessW"), std::wstring::npos) << WideToUtf8(reported);
  EXPECT_FALSE(GetDebugger()->GetActive());
  EXPECT_TRUE(h.Events().empty()) << "no Start, no Finish";
}

// Until the busy program's traced function has logged more than `count` calls. The emulated
// machine's processors now and then go on running an old translation of code that another
// process wrote: our byte is in the program's memory and the program never meets it, until
// the code is written again. There, and only when our breakpoint and its byte are in place,
// the same byte is written once more.
static testing::AssertionResult PumpUntilCalls(TTraceHarness& h, size_t count, const TBusyProgram& busy,
                                               const wchar_t* function) {
  const auto called = [&] { return h.PumpUntil([&] { return h.Calls().size() > count; }, 20000); };
  if (called()) return testing::AssertionSuccess();
  // tracee_std.dll loads at one base in both processes.
  const HMODULE dll = LoadLibraryW((TestBinDir() + L"tracee_std.dll").c_str());
  void* at = reinterpret_cast<void*>(GetProcAddress(dll, WideToUtf8(function).c_str()));
  unsigned char byte = 0;
  ReadProcessMemory(busy.Process, at, &byte, 1, nullptr);
  bool ours = false;
  {
    TReadLock lock(*GetDebugRWSync());
    TBreakpoint* b = nullptr;
    ours = GetLoadedProcDefs()->TraceBreakpoints().FindBreakpoint(reinterpret_cast<uint32_t>(at), b) && b->Inserted;
  }
  testing::AssertionResult failure = testing::AssertionFailure()
                                     << "trace active " << GetDebugger()->GetActive() << ", program running "
                                     << busy.StillRunning() << ", calls " << h.Calls().size() << ", first byte "
                                     << int(byte) << ", our breakpoint in place " << ours;
  wchar_t vm[4] = {};
  if (!ours || byte != BreakpointByte || GetEnvironmentVariableW(L"CW_IN_VM", vm, 4) == 0) return failure;
  std::printf("our byte written again: the program did not meet it (%s)\n", failure.message());
  WriteProcessMemory(busy.Process, at, &byte, 1, nullptr);
  if (called()) return testing::AssertionSuccess();
  return failure << ", not even after our byte was written again";
}

TEST(DebugCore, StopEndsTheTraceWithinItsBoundWhateverTheLoopIsDoing) {
  // After a handler that does not return was given up: what the window does next, each within
  // a bound, whatever that handler does.
  enum TAfter { Nothing, Switch, Load, NewRun, Close, HotPatch, CloseWhileReturning, ScriptReturns };
  struct TStopCase {
    const char* State;
    bool Attach;
    const wchar_t* Scenario;
    const wchar_t* Function;
    bool SlowHandler;  // its return runs a handler for seconds
    TAfter After = Nothing;  // not Nothing: the handler returns only when the test lets it
    int Rounds = 1;          // attach and Stop again, the program running on
  };
  const TStopCase cases[] = {
      {"run, calls without end", false, L"busy", L"Tick", false},
      {"run, a handler running", false, L"busy", L"Tick", true},
      {"run, threads parked in their events while a handler runs", false, L"threads", L"ThreadWork", true},
      {"attach, calls without end", true, L"busy", L"Tick", false},
      {"attach, threads parked at our bytes while a handler runs", true, L"busythreads", L"ThreadWork", true},
      {"attach, a handler given up, then a function switched off", true, L"busy", L"Tick", false, Switch},
      {"attach, a handler running, its thread parked in its event", true, L"busy", L"Tick", true},
      {"run, a handler given up, then a definition loaded and unloaded", false, L"busy", L"Tick", false, Load},
      {"run, a handler given up, then a new trace", false, L"busy", L"Tick", false, NewRun},
      {"attach, a handler given up, then the window closes", true, L"busy", L"Tick", false, Close},
      {"attach, an entry hot-patched while a handler is given up", true, L"patchstuck", L"ThreadWork", false, HotPatch},
      {"attach, threads stepping pushfd at a page start, stopped again and again", true, L"busyflags", L"PushesFlags",
       false, Nothing, 12},
      {"attach, a handler given up returns while the window closes", true, L"busy", L"Tick", false,
       CloseWhileReturning},
      {"run, a script handler given up, then it returns", false, L"busy", L"Tick", false, ScriptReturns},
  };
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, L"CwTestHandlerRelease");
  ASSERT_NE(release, nullptr);
  std::wstring releaseFile;  // the blocking script's release
  const auto letHandlerReturn = [&] {
    SetEvent(release);
    if (!releaseFile.empty()) WriteTextFile(releaseFile, "go");
  };
  for (const TStopCase& c : cases) {
    SCOPED_TRACE(c.State);
    TTestDefs defs;
    TTraceHarness h;
    // Longer than a Stop may take, shorter than the harness waits for the thread's end.
    const std::wstring script = h.Dir.File(L"slow.js");
    WriteTextFile(script, "function OnReturn(params) {\r\n  var end = new Date().getTime() + " +
                              std::to_string(ScaledMs(8000)) + ";\r\n  while (new Date().getTime() < end) {}\r\n}\r\n");
    TProcDef* def = defs.Add(L"export://" + std::wstring(c.Function) + L"@tracee_std.dll", L"eax", {{L"int", L"i", 4}});
    if (c.SlowHandler) def->SetHandler(L"script://OnReturn@" + script);
    ResetEvent(release);
    if (c.After != Nothing) def->SetHandler(L"stdcall://Blocks@" + TestBinDir() + L"HandlerFixture.dll");
    releaseFile.clear();
    if (c.After == ScriptReturns) {
      // Returns only once the test lets it: the file is its release.
      releaseFile = h.Dir.File(L"release");
      const std::wstring blocking = h.Dir.File(L"blocks.js");
      std::string path = WideToUtf8(releaseFile);
      for (size_t i = 0; (i = path.find('\\', i)) != std::string::npos; i += 2) path.insert(i, "\\");
      WriteTextFile(blocking, "var calls = 0;\r\nfunction OnReturn(params) {\r\n  ++calls;\r\n"
                              "  var fso = new ActiveXObject(\"Scripting.FileSystemObject\");\r\n"
                              "  while (!fso.FileExists(\"" + path + "\")) {}\r\n}\r\n");
      def->SetHandler(L"script://OnReturn@" + blocking);
    }
    if (c.After == HotPatch) defs.Add(L"export://Patchable@tracee_std.dll", L"eax", {{L"int", L"n", 4}});
    std::unique_ptr<TBusyProgram> busy;
    // Whatever fails, the handler returns before the row's objects wait for the trace's end.
    struct TLetGo {
      std::function<void()> Go;
      ~TLetGo() { Go(); }
    } letGo{letHandlerReturn};
    if (c.Attach) {
      busy = std::make_unique<TBusyProgram>(h, c.Scenario);
      GetDebugger()->Attach(busy->Pid);
    } else {
      GetDebugger()->Run(h.CommandLine(c.Scenario, std::wstring(c.Scenario) == L"busy" ? h.Dir.File(L"never") : L"100000"));
    }
    ASSERT_TRUE(h.PumpUntil([] { return GetDebugger()->GetActive(); }, 20000));
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, GetDebugger()->Thread()->Process()->ProcessId());
    if (c.After == HotPatch) {
      h.PumpFor(1500);
      WriteTextFile(h.Dir.File(L"stop-patch"), "patch");
      ASSERT_TRUE(h.PumpUntil([&] { return h.HasRemark("patched"); }, 20000));
      h.PumpFor(1500);
    } else if (c.SlowHandler || c.After != Nothing)
      h.PumpFor(1500);
    else if (busy)
      ASSERT_TRUE(PumpUntilCalls(h, 20, *busy, c.Function));
    else
      ASSERT_TRUE(h.PumpUntil([&] { return h.Calls().size() > 20; }, 20000));
    EXPECT_TRUE(BoundedWait("the stop", 4000, [] { GetDebugger()->Stop(); }));
    EXPECT_FALSE(GetDebugger()->GetActive());
    EXPECT_EQ(WaitForSingleObject(process, 0), c.Attach ? WAIT_TIMEOUT : WAIT_OBJECT_0) << "ended only by a run's stop";
    CloseHandle(process);
    ASSERT_FALSE(h.Events().empty());
    EXPECT_EQ(h.Events().back().Text, L"Finish");
    const auto bounded = [&](const char* what, const std::function<void()>& act) {
      EXPECT_TRUE(BoundedWait(what, 2000, act, letHandlerReturn));
    };
    switch (c.After) {
      case Switch: bounded("switching a function off", [def] { def->SetActive(false); }); break;
      case Load:
        bounded("loading a definition", [&] { defs.Add(L"export://AddInts@tracee_std.dll", L"eax"); });
        bounded("unloading it", [&] { defs.Items.pop_back(); });
        break;
      case NewRun:
        bounded("starting a new trace", [&] { GetDebugger()->Run(h.CommandLine(L"own")); });
        EXPECT_TRUE(h.WaitForEnd(20000));
        EXPECT_TRUE(h.HasRemark("done")) << "the new trace ran its program to the end";
        break;
      case Close: bounded("the close", [] { GetDebugger()->WaitForThreadEnd(); }); break;
      case CloseWhileReturning: {
        // The handler returns a second into the close's wait: the close sees the thread end,
        // and what the thread touches on its way out is still there.
        std::thread later([&] {
          Sleep(ScaledMs(1000));
          letHandlerReturn();
        });
        bool ended = false;
        EXPECT_TRUE(BoundedWait("the close", 4000, [&] { ended = GetDebugger()->WaitForThreadEnd(ScaledMs(3000)); }));
        later.join();
        EXPECT_TRUE(ended) << "the thread given up on did not end inside the close's wait";
        break;
      }
      default: break;
    }
    for (int round = 1; round < c.Rounds; ++round) {
      ASSERT_TRUE(GetDebugger()->WaitForThreadEnd(ScaledMs(20000)));
      const size_t before = h.Calls().size();
      GetDebugger()->Attach(busy->Pid);
      ASSERT_TRUE(PumpUntilCalls(h, before + 20, *busy, c.Function)) << "round " << round;
      EXPECT_TRUE(BoundedWait("the stop", 4000, [] { GetDebugger()->Stop(); }));
    }
    letHandlerReturn();
    // The thread that was given up on ends later without a word in the log.
    ASSERT_TRUE(h.WaitForThreadEnd());
    ASSERT_TRUE(GetDebugger()->WaitForThreadEnd(ScaledMs(20000)));
    EXPECT_EQ(GetTracerEventQueue()->SealedThread(), 0u) << "a later trace thread given the ended one's id would log nothing";
    auto events = h.Events();
    EXPECT_EQ(events.back().Text, L"Finish");
    EXPECT_EQ(std::count_if(events.begin(), events.end(), [](auto& e) { return e.Text == L"Finish"; }),
              c.After == NewRun ? 2 : c.Rounds);
    if (c.After == ScriptReturns) {
      // Its script engine went with it, as every trace's does.
      size_t engines = 0;
      TCallHandlerProtocol* script = nullptr;
      ASSERT_TRUE(GetCallHandlerEngine()->Protocols().FindProtocol(L"script", script));
      for (TCallHandlerModule* m : script->ModuleList())
        if (auto* s = dynamic_cast<TScriptCallHandlerModule*>(m)) engines += s->ScriptEngineCount();
      EXPECT_EQ(engines, 0u) << "the given-up thread's script engine was kept";
    }
    if (c.After == HotPatch) {
      ASSERT_TRUE(busy->Finish());
      auto truth = h.Truth();
      ASSERT_FALSE(truth.empty());
      EXPECT_EQ(truth.back().Values[L"result"], L"1002") << "the program's patch stands";
      EXPECT_EQ(truth.back().Values[L"byte"], L"EB");
    } else if (busy) {
      ASSERT_TRUE(busy->Finish());
      ASSERT_FALSE(h.Truth().empty());
      EXPECT_TRUE(h.Truth().back().Values.count(L"ok")) << "the code bytes were restored";
      for (auto& t : h.Truth())
        if (t.Values.count(L"wrong")) {
          EXPECT_EQ(t.Values[L"wrong"], L"0") << "a thread of the program computed otherwise than untraced";
        }
    }
  }
  CloseHandle(release);
}
