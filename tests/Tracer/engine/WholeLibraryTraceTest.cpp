// Wine's own programs traced with a symbol file of a whole system DLL, made by Zentrel as a
// user makes one: each runs as it does untraced, and its trace ends with "Finish".
#include <gtest/gtest.h>

#include "EngineTestSupport.h"
#include "TraceHarness.h"
#include "Tracer/engine/uDebugCore.h"
#include "Tracer/engine/uSymbolFiles.h"
#include "lib/dgn/windows/DgnDebugThread.h"
#include "support/TestSupport.h"

namespace {

struct TWholeLibraryCase {
  const wchar_t* Program;
  const wchar_t* Arguments;
  const wchar_t* Dll;
};

std::wstring SystemFolder() {
  wchar_t path[MAX_PATH];
  GetSystemDirectoryW(path, MAX_PATH);
  return path;
}

// The traced program's standard handles go where the tracer's own point while it starts.
class TStdHandlesOnFile {
public:
  explicit TStdHandlesOnFile(const std::wstring& path) {
    SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, TRUE};
    FFile = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa, CREATE_ALWAYS, 0, nullptr);
    FOut = GetStdHandle(STD_OUTPUT_HANDLE);
    FErr = GetStdHandle(STD_ERROR_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, FFile);
    SetStdHandle(STD_ERROR_HANDLE, FFile);
  }
  ~TStdHandlesOnFile() {
    SetStdHandle(STD_OUTPUT_HANDLE, FOut);
    SetStdHandle(STD_ERROR_HANDLE, FErr);
    CloseHandle(FFile);
  }

private:
  HANDLE FFile, FOut, FErr;
};

}  // namespace

TEST(WholeLibraryTrace, WinesProgramsRunAsUntracedAndEndWithFinish) {
  const TWholeLibraryCase cases[] = {
      {L"hostname.exe", L"", L"ntdll.dll"},
      {L"cmd.exe", L" /c echo hi", L"kernel32.dll"},
  };
  const std::wstring system = SystemFolder();
  for (const TWholeLibraryCase& c : cases) {
    SCOPED_TRACE(WideToUtf8(std::wstring(c.Program) + L" with " + c.Dll));
    const std::wstring command = L"\"" + system + L"\\" + c.Program + L"\"" + c.Arguments;
    const TConsoleRun untraced = RunConsoleProgram(command);
    ASSERT_TRUE(untraced.Ended);
    TTempDir folder;
    const std::wstring path = WriteZentrelFile(system + L"\\" + c.Dll, folder.Path());
    ASSERT_FALSE(path.empty());
    TSymbolFiles files(folder.Path() + L"\\");
    TSymbolFile* file = nullptr;
    ASSERT_TRUE(files.FindFile(path, file));
    file->Load();
    ASSERT_TRUE(file->IsLoaded());
    EXPECT_GT(file->GetProcs()->GetCount(), 500);

    TTraceHarness h;
    std::wstring reported;
    GetDebugThreadList()->OnDebugThreadException = [&](TDgnDebugThread* t) {
      if (t->ReportedException()) reported = t->ReportedException()->Message();
    };
    HANDLE process = nullptr;
    {
      TStdHandlesOnFile std(h.Dir.File(L"out.txt"));
      GetDebugger()->Run(command);
      ASSERT_TRUE(h.PumpUntil([] { return GetDebugger()->GetActive(); }, 20000));
    }
    if (TDebuggingThread* t = GetDebugger()->Thread())
      process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, t->Process()->ProcessId());
    // A whole library's trace is bound by the processor: an emulated machine (where the waits
    // are scaled by 4) runs it about 15 times slower.
    const bool ended = h.WaitForEnd(150000);
    const size_t rows = h.Calls().size();
    EXPECT_TRUE(ended) << rows << " rows when the limit came";
    DWORD code = 99;
    if (process) {
      WaitForSingleObject(process, ScaledMs(5000));
      GetExitCodeProcess(process, &code);
      CloseHandle(process);
    }
    EXPECT_EQ(code, untraced.ExitCode);
    EXPECT_EQ(ReadTextFile(h.Dir.File(L"out.txt")), untraced.Output);
    EXPECT_GT(rows, 10u);
    auto events = h.Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().Text, L"Finish");
    GetDebugThreadList()->OnDebugThreadException = nullptr;
    EXPECT_EQ(reported, L"") << "the trace ended on an error";
    EXPECT_TRUE(h.Errors().empty()) << WideToUtf8(h.Errors().empty() ? L"" : h.Errors()[0].Value(L"msg"));
    h.Stop();
    file->Unload(false);
  }
}
