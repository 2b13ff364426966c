// The debugger driven as the main window drives it, against the traced test program.
#include <gtest/gtest.h>

#include <algorithm>

#include "EngineTestSupport.h"
#include "TraceHarness.h"
#include "Tracer/uDebugCore.h"

namespace {

bool StillRunning(HANDLE process) { return WaitForSingleObject(process, 0) == WAIT_TIMEOUT; }

}  // namespace

TEST(DebugCore, WorkingFolderIsTheProgramsFolder) {
  EXPECT_EQ(CommandLineProgramDir(L"\"C:\\Program Files\\app\\a.exe\" x \"C:\\data\\in.txt\""),
            L"C:\\Program Files\\app");
  EXPECT_EQ(CommandLineProgramDir(L"C:\\tools\\b.exe C:\\other\\file"), L"C:\\tools");
  EXPECT_EQ(CommandLineProgramDir(L"  \"C:\\x\\prog.exe\""), L"C:\\x");
  EXPECT_EQ(CommandLineProgramDir(L"prog.exe arg"), L"");
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
  GetDebugger()->Stop();
  EXPECT_FALSE(GetDebugger()->GetActive());
  EXPECT_EQ(WaitForSingleObject(process, 10000), WAIT_OBJECT_0);
  DWORD code = 1;
  GetExitCodeProcess(process, &code);
  EXPECT_EQ(code, 0u);
  CloseHandle(process);
  auto events = h.Events();
  ASSERT_FALSE(events.empty());
  EXPECT_EQ(events.back().Text, L"Finish");
}

// Starts the busy scenario outside the debugger, for attaching.
class TBusyProgram {
public:
  explicit TBusyProgram(TTraceHarness& h) : FStopFile(h.Dir.File(L"stop")) {
    std::wstring cmd = h.CommandLine(L"busy", FStopFile);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    const std::wstring dir = TestBinDir();
    EXPECT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, dir.c_str(), &si, &pi));
    CloseHandle(pi.hThread);
    Process = pi.hProcess;
    Pid = pi.dwProcessId;
    EXPECT_TRUE(h.PumpUntil([&] { return h.TruthPid() == Pid && h.HasRemark("ready"); }, 20000));
  }
  ~TBusyProgram() {
    if (Process && StillRunning(Process)) {
      TerminateProcess(Process, 1);
      WaitForSingleObject(Process, 5000);
    }
    if (Process) CloseHandle(Process);
  }
  // Lets it finish its loop; true when it ended by itself.
  bool Finish() {
    WriteTextFile(FStopFile, "stop");
    return WaitForSingleObject(Process, 20000) == WAIT_OBJECT_0;
  }
  HANDLE Process = nullptr;
  DWORD Pid = 0;

private:
  std::wstring FStopFile;
};

TEST(DebugCore, StoppingAnAttachLeavesTheProgramRunning) {
  TTraceHarness h;
  TBusyProgram busy(h);
  GetDebugger()->Attach(busy.Pid);
  ASSERT_TRUE(h.PumpUntil([] { return GetDebugger()->GetActive(); }, 20000));
  h.PumpUntil([] { return false; }, 500);
  GetDebugger()->Stop();
  GetDebugger()->WaitForThreadEnd();
  Sleep(300);
  EXPECT_TRUE(StillRunning(busy.Process));
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
