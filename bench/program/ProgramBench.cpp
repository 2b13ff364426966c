// The program a user runs, measured from outside: the real Calderwisp.exe with its window
// shown, its symbol file preloaded, tracing the benchmark's debuggee (started from the Run
// button's recent list, as a person would), beside the minimal debug loop, interleaved; and
// the log view's navigation on long logs, a key sent and the repaint waited for.
//
//   cw_programbench [runs] [calls]                    program / minimal loop (medians)
//   cw_programbench requests <trace file> [calls]     the window thread's Wine server requests
//       per traced call; run under WINEDEBUG=+server with the standard error in <trace file>
//   cw_programbench navigation [runs] [rows...]       Home, End, Page Down and a scroll-bar
//       drag on logs of the given rows (default 100000 and 1000000)
//   cw_programbench library [runs]                    whole-library symbol files: the first
//       row after Run with one definition and with thousands, and the cost per logged row
#include <windows.h>
#include <commctrl.h>
#include <shlobj.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "../LogViewNavigation.h"
#include "../trace/MinimalDebugLoop.h"
#include "DriveWindows.h"

namespace {

constexpr int WarmUpCalls = 10;  // per thread, before the measured calls (benchdebuggee)
constexpr DWORD RunLimitMs = 30 * 60 * 1000;

std::wstring TempFolder() {
  static std::wstring folder;
  if (folder.empty()) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    folder = std::wstring(temp) + L"cw_programbench_" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    CreateDirectoryW(folder.c_str(), nullptr);
  }
  return folder;
}

void WriteText(const std::wstring& path, const std::string& text) {
  std::ofstream out(path.c_str(), std::ios::binary);
  out << text;
  if (!out) throw std::runtime_error("cannot write " + Utf8(path));
}

std::string XmlText(const std::wstring& s) {
  std::string out;
  for (char c : Utf8(s)) {
    if (c == '"') out += "&quot;";
    else if (c == '&') out += "&amp;";
    else if (c == '<') out += "&lt;";
    else out += c;
  }
  return out;
}

struct TRunResult {
  long long Made = 0;
  long long Measured = 0;
  double Seconds = 0;
  long long Traced = -1;
  double Rate() const { return Seconds > 0 ? static_cast<double>(Measured) / Seconds : 0; }
};

struct TDebuggeeRun {
  std::wstring Mode;  // "push" or "mov"
  int Calls = 0;      // per thread
  int Threads = 1;

  std::wstring ResultFile() const { return TempFolder() + L"result.txt"; }
  std::wstring CommandLine() const {
    return L"\"" + ProgramFolder() + L"benchdebuggee.exe\" " + Mode + L" " + std::to_wstring(Calls) + L" " +
           std::to_wstring(Threads) + L" \"" + ResultFile() + L"\"";
  }
  std::string Function() const { return Mode == L"push" ? "BenchPushEntry" : "BenchMovEntry"; }
  TRunResult ReadResult() const {
    TRunResult r;
    FILE* f = _wfopen(ResultFile().c_str(), L"r");
    if (f == nullptr) throw std::runtime_error("the debuggee wrote no result");
    const int n = std::fscanf(f, "made=%lld measured=%lld seconds=%lf", &r.Made, &r.Measured, &r.Seconds);
    std::fclose(f);
    if (n != 3) throw std::runtime_error("the debuggee's result cannot be read");
    return r;
  }
};

TRunResult RunUnderMinimalLoop(const TDebuggeeRun& run) {
  DeleteFileW(run.ResultFile().c_str());
  const long long hits = RunMinimalDebugLoop(run.CommandLine(), "benchcallee.dll", run.Function(), run.Threads > 1);
  TRunResult r = run.ReadResult();
  r.Traced = hits;
  return r;
}

// --- The program ------------------------------------------------------------------------------

// The symbol file of both functions, beside the program's own (only those are offered); removed
// when the benchmark ends.
std::wstring SymbolFile() { return ProgramFolder() + L"symbols\\programbench.xml"; }

// One "proc" of a stdcall function (a, b) of the DLL.
std::string BenchProc(const std::string& name, const std::string& dll) {
  return std::string("<propertyset name=\"proc\"><property name=\"Title\" value=\"") + name +
         "\"/><property name=\"URL\" value=\"export://" + name + "@" + dll +
         "\"/><property name=\"Result\" value=\"eax\"/><property name=\"Active\" value=\"True\"/>"
         "<propertyset name=\"param\"><property name=\"Type\" value=\"int\"/><property name=\"Name\" value=\"a\"/>"
         "<property name=\"Offset\" value=\"4\"/></propertyset>"
         "<propertyset name=\"param\"><property name=\"Type\" value=\"int\"/><property name=\"Name\" value=\"b\"/>"
         "<property name=\"Offset\" value=\"8\"/></propertyset></propertyset>\r\n";
}

std::string SymbolText(const std::string& procs) {
  return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<propertyset name=\"calderwisp:symbols\">\r\n" + procs +
         "</propertyset>\r\n";
}

// The symbol file, and settings that load it and put the command line first in the Run
// button's recent list (the program's own settings file, in its per-user folder).
void PrepareProgram(const std::wstring& commandLine, const std::string& symbolText) {
  const std::wstring symbols = SymbolFile();
  WriteText(symbols, symbolText);
  wchar_t appData[MAX_PATH] = {};
  if (FAILED(SHGetFolderPathW(nullptr, CSIDL_APPDATA | CSIDL_FLAG_CREATE, nullptr, 0, appData)))
    throw std::runtime_error("no application-data folder");
  std::wstring folder = std::wstring(appData) + L"\\Pelludrane";
  CreateDirectoryW(folder.c_str(), nullptr);
  folder += L"\\Calderwisp";
  CreateDirectoryW(folder.c_str(), nullptr);
  WriteText(folder + L"\\calderwisp.xml",
            "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<propertyset name=\"calderwisp:properties\">\r\n"
            "<propertyset name=\"symbolfiles\"><property name=\"symbolfile\" value=\"" +
                XmlText(symbols) +
                "\"/></propertyset>\r\n<propertyset name=\"recentfiles\"><propertyset name=\"object\">"
                "<property name=\"FileName\" value=\"" +
                XmlText(commandLine) + "\"/></propertyset></propertyset>\r\n</propertyset>\r\n");
}

int RowCount(HWND list) { return static_cast<int>(SendMessageW(list, LVM_GETITEMCOUNT, 0, 0)); }

// Calderwisp.exe started with the run's command line first in its recent list, its main
// window and log view found; closed (and ended if it must be) when the object goes.
class TProgram {
public:
  explicit TProgram(const TDebuggeeRun& run)
      : TProgram(run, run.CommandLine(), SymbolText(BenchProc("BenchPushEntry", "benchcallee.dll") +
                                                    BenchProc("BenchMovEntry", "benchcallee.dll"))) {}
  TProgram(const std::wstring& commandLine, const std::string& symbolText) : TProgram({}, commandLine, symbolText) {}

  TProgram(const TDebuggeeRun& run, const std::wstring& commandLine, const std::string& symbolText) : FRun(run) {
    PrepareProgram(commandLine, symbolText);
    if (!StartProgram(L"\"" + ProgramFolder() + L"Calderwisp.exe\"", FInfo, ProgramFolder()))
      throw std::runtime_error("Calderwisp.exe does not start");
    if (!WaitFor([&] { return (FMain = MainWindow(FInfo.dwProcessId)) != nullptr; }, 60000))
      throw std::runtime_error("no main window");
    WaitForInputIdle(FInfo.hProcess, 60000);
    Sleep(500);
    FList = TraceList(FMain);
    if (FList == nullptr) throw std::runtime_error("no log view");
  }
  ~TProgram() {
    if (!FEnded) PostMessageW(FMain, WM_CLOSE, 0, 0);
    if (FEnded || WaitForSingleObject(FInfo.hProcess, 60000) != WAIT_OBJECT_0) TerminateProcess(FInfo.hProcess, 99);
    WaitForSingleObject(FInfo.hProcess, 60000);
    CloseHandle(FInfo.hThread);
    CloseHandle(FInfo.hProcess);
  }
  TProgram(const TProgram&) = delete;
  TProgram& operator=(const TProgram&) = delete;

  // Runs the command line from the recent list and waits for "Finish" in the log.
  TRunResult Trace() {
    DeleteFileW(FRun.ResultFile().c_str());
    if (!RunFirstRecent(FInfo.hProcess, FMain, 60000)) throw std::runtime_error("the recent list does not open");
    // While the debuggee runs only its result file is watched: messages to the window would
    // be work of the window thread that the program itself does not do.
    auto boxShown = [&] { return !TopWindows(FInfo.dwProcessId, L"#32770").empty(); };
    WaitFor([&] { return boxShown() || GetFileAttributesW(FRun.ResultFile().c_str()) != INVALID_FILE_ATTRIBUTES; },
            RunLimitMs);
    auto finished = [&] {
      const std::vector<HWND> boxes = TopWindows(FInfo.dwProcessId, L"#32770");
      if (!boxes.empty()) {
        std::wstring text;
        for (HWND s : Children(boxes.front(), L"Static")) text += TextOf(s);
        throw std::runtime_error("the program shows a message: " + Utf8(text));
      }
      const int rows = RowCount(FList);
      return rows > 1 && ListText(FInfo.hProcess, FList, rows - 1, 1) == L"Finish";
    };
    if (!WaitFor(finished, RunLimitMs)) throw std::runtime_error("no \"Finish\" in the log");
    TRunResult r = FRun.ReadResult();
    r.Traced = RowCount(FList) - 2;  // "Start" and "Finish" around the calls
    return r;
  }

  // Runs the command line from the recent list: the time from the click to the first row
  // after "Start", and to "Finish" (-1 when it does not come within finishLimitMs: the
  // program is then ended with its debuggee).
  struct TTimes {
    double FirstRowMs = -1;
    double FinishMs = -1;
    int Rows = 0;  // between "Start" and "Finish"
    std::wstring FirstRow;
  };
  TTimes TraceTimed(DWORD finishLimitMs) {
    if (!RunFirstRecent(FInfo.hProcess, FMain, 60000)) throw std::runtime_error("the recent list does not open");
    LARGE_INTEGER freq, start, now;
    QueryPerformanceFrequency(&freq);
    QueryPerformanceCounter(&start);
    auto elapsedMs = [&] {
      QueryPerformanceCounter(&now);
      return static_cast<double>(now.QuadPart - start.QuadPart) * 1000.0 / static_cast<double>(freq.QuadPart);
    };
    TTimes t;
    while (t.FirstRowMs < 0 && elapsedMs() < RunLimitMs) {
      if (RowCount(FList) > 1) t.FirstRowMs = elapsedMs();
      else Sleep(1);
    }
    if (t.FirstRowMs < 0) throw std::runtime_error("no row after \"Start\"");
    t.FirstRow = ListText(FInfo.hProcess, FList, 1, 1);
    while (elapsedMs() < finishLimitMs) {
      const int rows = RowCount(FList);
      if (rows > 1 && ListText(FInfo.hProcess, FList, rows - 1, 1) == L"Finish") {
        t.FinishMs = elapsedMs();
        t.Rows = rows - 2;
        return t;
      }
      Sleep(20);
    }
    t.Rows = RowCount(FList) - 1;
    FEnded = true;
    return t;
  }

  DWORD WindowThreadId() const { return FInfo.dwThreadId; }
  HANDLE Process() const { return FInfo.hProcess; }
  HWND Main() const { return FMain; }
  HWND List() const { return FList; }

private:
  TDebuggeeRun FRun;
  PROCESS_INFORMATION FInfo{};
  HWND FMain = nullptr;
  HWND FList = nullptr;
  bool FEnded = false;  // ended without closing
};

TRunResult RunUnderProgram(const TDebuggeeRun& run) {
  TProgram program(run);
  return program.Trace();
}

// --- Medians ----------------------------------------------------------------------------------

struct TCase {
  std::string Name;
  TDebuggeeRun Run;
  std::vector<double> Loop, Program;
  bool AllTraced = true;
};

int Ratios(int runs, int calls) {
  std::vector<TCase> cases = {
      {"push ebp entry", {L"push", calls, 1}, {}, {}},
      {"mov entry", {L"mov", calls, 1}, {}, {}},
      {"four threads (mov entry)", {L"mov", calls / 4, 4}, {}, {}},
  };
  std::printf("The program / the minimal loop: medians of %d interleaved runs, %d traced calls per run\n", runs, calls);
#ifndef NDEBUG
  std::printf("(unoptimised build)\n");
#endif
  for (int i = 0; i < runs; ++i)
    for (TCase& c : cases) {
      const TRunResult loop = RunUnderMinimalLoop(c.Run);
      const TRunResult program = RunUnderProgram(c.Run);
      c.Loop.push_back(loop.Rate());
      c.Program.push_back(program.Rate());
      if (program.Traced != program.Made) c.AllTraced = false;
      std::printf("  run %d, %-26s loop %8.0f calls/s (traced %lld/%lld), program %8.0f calls/s (traced %lld/%lld)\n",
                  i + 1, c.Name.c_str(), loop.Rate(), loop.Traced, loop.Made, program.Rate(), program.Traced,
                  program.Made);
      std::fflush(stdout);
    }
  std::printf("  %-28s %12s %12s %9s\n", "", "loop/s", "program/s", "ratio");
  for (const TCase& c : cases) {
    std::vector<double> ratios;
    for (size_t i = 0; i < c.Loop.size(); ++i) ratios.push_back(c.Loop[i] > 0 ? c.Program[i] / c.Loop[i] : 0);
    std::printf("  %-28s %12.0f %12.0f %8.3fx%s\n", c.Name.c_str(), Median(c.Loop), Median(c.Program), Median(ratios),
                c.AllTraced ? "" : "  (not every call logged!)");
  }
  std::printf("  targets: push ebp entry at least 1.0, mov entry at least 0.9\n");
  return 0;
}

// --- Whole-library symbol files --------------------------------------------------------------

// The symbol file Zentrel (beside this program) writes of a DLL of the system folder.
std::string ZentrelFile(const std::wstring& dll) {
  wchar_t system[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  const std::wstring out = TempFolder() + L"zentrel.xml";
  SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
  HANDLE file = CreateFileW(out.c_str(), GENERIC_WRITE, 0, &inherit, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) throw std::runtime_error("cannot write " + Utf8(out));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = file;
  startup.hStdError = GetStdHandle(STD_ERROR_HANDLE);
  PROCESS_INFORMATION info{};
  std::wstring cmd = L"\"" + ProgramFolder() + L"zentrel.exe\" \"" + system + L"\\" + dll + L"\"";
  const BOOL started = CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &info);
  CloseHandle(file);
  if (!started) throw std::runtime_error("zentrel.exe does not start");
  WaitForSingleObject(info.hProcess, 120000);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  std::ifstream in(out.c_str(), std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  DeleteFileW(out.c_str());
  // The document type names a file beside the symbol file; the program needs none.
  const size_t doctype = text.find("<!DOCTYPE");
  if (doctype != std::string::npos) text.erase(doctype, text.find('>', doctype) + 1 - doctype);
  return text;
}

int ProcCount(const std::string& symbols) {
  int n = 0;
  for (size_t at = 0; (at = symbols.find("<propertyset name=\"proc\"", at)) != std::string::npos; ++at) ++n;
  return n;
}

std::string OneFunctionFile(const std::wstring& function, const std::wstring& dll) {
  const std::string name = XmlText(function);
  return SymbolText("<propertyset name=\"proc\"><property name=\"Title\" value=\"" + name +
                    "\"/><property name=\"URL\" value=\"export://" + name + "@" + XmlText(dll) + "\"/></propertyset>\r\n");
}

TProgram::TTimes TimedRun(const std::wstring& commandLine, const std::string& symbols, DWORD finishLimitMs) {
  TProgram program(commandLine, symbols);
  return program.TraceTimed(finishLimitMs);
}

// The first row after Run with a one-function file against a whole library's file; the cost
// per logged row of a program traced with a whole library against one function's cost per call.
int Library(int runs) {
  wchar_t system[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  const std::wstring systemFolder = std::wstring(system) + L"\\";
  struct TStartCase {
    std::string Name;
    std::wstring Command;
    std::wstring Dll;
    std::string Whole;
    std::string One;  // made from the whole file's first row when empty
    std::vector<double> OneMs, WholeMs;
  };
  std::string many;
  for (int i = 0; i < 10000; ++i) many += BenchProc("BenchMany" + std::to_string(10000 + i), "benchmany.dll");
  TDebuggeeRun manyRun{L"many", 20, 1};
  std::vector<TStartCase> starts = {
      {"benchdebuggee, benchmany.dll", manyRun.CommandLine(), L"benchmany.dll", SymbolText(many),
       SymbolText(BenchProc("BenchMany10000", "benchmany.dll")), {}, {}},
      {"hostname.exe, ucrtbase.dll", L"\"" + systemFolder + L"hostname.exe\"", L"ucrtbase.dll",
       ZentrelFile(L"ucrtbase.dll"), "", {}, {}},
  };
  const std::string kernel32 = ZentrelFile(L"kernel32.dll");
  const std::wstring cmd = L"\"" + systemFolder + L"cmd.exe\" /c echo calderwisp";
  std::vector<double> perRow, perCall, rowRatios, rows;
  std::printf("Whole-library symbol files: medians of %d interleaved runs\n", runs);
#ifndef NDEBUG
  std::printf("(unoptimised build)\n");
#endif
  for (int i = 0; i < runs; ++i) {
    for (TStartCase& c : starts) {
      const TProgram::TTimes whole = TimedRun(c.Command, c.Whole, 120000);
      if (c.One.empty()) c.One = OneFunctionFile(whole.FirstRow, c.Dll);
      const TProgram::TTimes one = TimedRun(c.Command, c.One, 120000);
      c.WholeMs.push_back(whole.FirstRowMs);
      c.OneMs.push_back(one.FirstRowMs);
      std::printf("  run %d, %-30s first row: %d definitions %7.0f ms, one %7.0f ms (%ls)\n", i + 1, c.Name.c_str(),
                  ProcCount(c.Whole), whole.FirstRowMs, one.FirstRowMs, whole.FirstRow.c_str());
      std::fflush(stdout);
    }
    const TProgram::TTimes library = TimedRun(cmd, kernel32, 300000);
    if (library.FinishMs < 0) std::printf("  (cmd.exe: no \"Finish\" after %d rows)\n", library.Rows);
    perRow.push_back((library.FinishMs - library.FirstRowMs) / std::max(1, library.Rows));
    rows.push_back(library.Rows);
    const TRunResult push = RunUnderProgram({L"push", 2000, 1});
    perCall.push_back(push.Rate() > 0 ? 1000.0 / push.Rate() : 0);
    rowRatios.push_back(perCall.back() > 0 ? perRow.back() / perCall.back() : 0);
    std::printf("  run %d, cmd.exe with kernel32.dll: %d rows, %.3f ms per row; one function: %.3f ms per call\n", i + 1,
                library.Rows, perRow.back(), perCall.back());
    std::fflush(stdout);
  }
  for (const TStartCase& c : starts) {
    std::vector<double> ratios;
    for (size_t i = 0; i < c.OneMs.size(); ++i) ratios.push_back(c.OneMs[i] > 0 ? c.WholeMs[i] / c.OneMs[i] : 0);
    const double whole = Median(c.WholeMs), one = Median(c.OneMs);
    const int count = ProcCount(c.Whole);
    std::printf("  %-30s first row: one definition %7.0f ms, %d definitions %7.0f ms: %.2fx, %+.3f ms per definition\n",
                c.Name.c_str(), one, count, whole, Median(ratios), (whole - one) / std::max(1, count - 1));
  }
  std::printf("  %-30s %.0f rows, %.3f ms per row; one function %.3f ms per call: %.2fx\n", "cmd.exe, kernel32.dll",
              Median(rows), Median(perRow), Median(perCall), Median(rowRatios));
  std::printf("  targets: first row with a whole library within 1.5x of one function; per row within 1.5x of per call\n");
  return 0;
}

// --- Server requests of the window thread -------------------------------------------------------

// In a trace of Wine's server requests ("tttt: name( args )", replies "tttt: name() = ..."), the
// window thread's requests between the debuggee's two measure marks.
int Requests(const std::wstring& traceFile, int calls) {
  TDebuggeeRun run{L"mov", calls, 1};
  std::ifstream trace(traceFile.c_str(), std::ios::binary);
  if (!trace) throw std::runtime_error("cannot read the trace file " + Utf8(traceFile));
  trace.seekg(0, std::ios::end);
  const std::streamoff start = trace.tellg();
  DWORD windowThread = 0;
  TRunResult r;
  {
    TProgram program(run);
    windowThread = program.WindowThreadId();
    r = program.Trace();
  }
  char prefix[16];
  std::snprintf(prefix, sizeof prefix, "%04lx: ", static_cast<unsigned long>(windowThread));
  trace.clear();
  trace.seekg(start);
  std::string line;
  bool inside = false, seen = false;
  long long count = 0;
  std::map<std::string, long long> byName;
  while (std::getline(trace, line)) {
    if (line.find("cwbench-measure-begin") != std::string::npos) inside = seen = true;
    if (line.find("cwbench-measure-end") != std::string::npos) inside = false;
    if (!inside || line.compare(0, std::strlen(prefix), prefix) != 0) continue;
    const size_t open = line.find('(', std::strlen(prefix));
    if (open == std::string::npos || open + 1 >= line.size() || line[open + 1] != ' ') continue;  // a reply
    ++count;
    ++byName[line.substr(std::strlen(prefix), open - std::strlen(prefix))];
  }
  if (!seen) throw std::runtime_error("no measure marks in the trace (is WINEDEBUG=+server set?)");
  std::printf("The window thread's Wine server requests while %lld calls were traced (%lld logged, %.1f s): %lld\n",
              r.Measured, r.Traced, r.Seconds, count);
  std::printf("  per traced call: %.2f (target at most 2)\n",
              r.Measured > 0 ? static_cast<double>(count) / static_cast<double>(r.Measured) : 0);
  std::vector<std::pair<long long, std::string>> top;
  for (auto& [name, n] : byName) top.emplace_back(n, name);
  std::sort(top.rbegin(), top.rend());
  for (size_t i = 0; i < top.size() && i < 8; ++i)
    std::printf("  %-32s %8lld  %.2f per call\n", top[i].second.c_str(), top[i].first,
                static_cast<double>(top[i].first) / static_cast<double>(std::max(1LL, r.Measured)));
  return 0;
}

// Every thread's requests in the trace from `start` on, per logged row: the threads with the
// most requests, each with its commonest requests (threads named by the thread id).
void PrintRequestsPerRow(std::ifstream& trace, std::streamoff start, const char* title, long long rows) {
  trace.clear();
  trace.seekg(start);
  std::map<std::string, std::map<std::string, long long>> byThread;
  std::string line;
  while (std::getline(trace, line)) {
    const size_t colon = line.find(": ");
    if (colon == std::string::npos || colon > 8) continue;
    const size_t open = line.find('(', colon + 2);
    if (open == std::string::npos || open + 1 >= line.size() || line[open + 1] != ' ') continue;  // a reply
    ++byThread[line.substr(0, colon)][line.substr(colon + 2, open - colon - 2)];
  }
  std::vector<std::pair<long long, std::string>> threads;
  long long all = 0;
  for (auto& [thread, names] : byThread) {
    long long n = 0;
    for (auto& [name, count] : names) n += count;
    all += n;
    threads.emplace_back(n, thread);
  }
  std::sort(threads.rbegin(), threads.rend());
  const double per = 1.0 / static_cast<double>(std::max(1LL, rows));
  std::printf("%s: %lld rows, %.2f server requests per row\n", title, rows, static_cast<double>(all) * per);
  for (size_t i = 0; i < threads.size() && i < 4; ++i) {
    std::printf("  thread %s: %.2f per row:", threads[i].second.c_str(), static_cast<double>(threads[i].first) * per);
    std::vector<std::pair<long long, std::string>> top;
    for (auto& [name, count] : byThread[threads[i].second]) top.emplace_back(count, name);
    std::sort(top.rbegin(), top.rend());
    for (size_t j = 0; j < top.size() && j < 8; ++j)
      std::printf(" %s %.2f", top[j].second.c_str(), static_cast<double>(top[j].first) * per);
    std::printf("\n");
  }
}

// The server requests of a whole-library trace (cmd.exe with kernel32.dll) per logged row, and
// of the one-function case per call.
int LibraryRequests(const std::wstring& traceFile) {
  std::ifstream trace(traceFile.c_str(), std::ios::binary);
  if (!trace) throw std::runtime_error("cannot read the trace file " + Utf8(traceFile));
  wchar_t system[MAX_PATH] = {};
  GetSystemDirectoryW(system, MAX_PATH);
  const std::string kernel32 = ZentrelFile(L"kernel32.dll");
  trace.seekg(0, std::ios::end);
  std::streamoff start = trace.tellg();
  const TRunResult one = RunUnderProgram({L"push", 2000, 1});
  PrintRequestsPerRow(trace, start, "one function (push ebp entry), from Run to the program's end", one.Traced);
  trace.clear();
  trace.seekg(0, std::ios::end);
  start = trace.tellg();
  const TProgram::TTimes library =
      TimedRun(L"\"" + std::wstring(system) + L"\\cmd.exe\" /c echo calderwisp", kernel32, 300000);
  PrintRequestsPerRow(trace, start, "cmd.exe with kernel32.dll, from Run to the program's end", library.Rows);
  return 0;
}

// --- Navigation -------------------------------------------------------------------------------

int Navigation(int runs, const std::vector<int>& rowCounts) {
  std::printf("The log view's navigation, from the key to the repainted rows: medians of %d runs (ms)\n", runs);
  std::printf("  %10s %8s %8s %10s %14s\n", "rows", "End", "Home", "Page Down", "scroll drag");
  std::map<int, std::vector<double>> results;
  for (int rows : rowCounts) {
    TDebuggeeRun run{L"mov", std::max(1, rows - 2 - WarmUpCalls), 1};
    TProgram program(run);
    const TRunResult r = program.Trace();
    HWND list = program.List();
    const int count = RowCount(list);
    if (r.Traced != r.Made) std::printf("  (only %lld of %lld calls logged)\n", r.Traced, r.Made);
    const TNavigationTimes t = MeasureNavigation(program.Main(), program.List(), runs);
    results[rows] = {t.End, t.Home, t.PageDown, t.Drag};
    std::printf("  %10d %8.1f %8.1f %10.1f %14.1f\n", count, results[rows][0], results[rows][1], results[rows][2],
                results[rows][3]);
    std::fflush(stdout);
  }
  if (rowCounts.size() >= 2) {
    const std::vector<double>& a = results[rowCounts.front()];
    const std::vector<double>& b = results[rowCounts.back()];
    std::printf("  %d rows / %d rows: End %.2fx, Home %.2fx, Page Down %.2fx, drag %.2fx\n", rowCounts.back(),
                rowCounts.front(), b[0] / a[0], b[1] / a[1], b[2] / a[2], b[3] / a[3]);
  }
  std::printf("  targets: under 100 ms at 1,000,000 rows; within 1.5x of it at 100,000 rows\n");
  return 0;
}

int Main(int argc, wchar_t** argv) {
  const std::wstring mode = argc > 1 ? argv[1] : L"";
  if (mode == L"requests") {
    if (argc < 3) throw std::runtime_error("requests: the trace file is missing");
    return Requests(argv[2], argc > 3 ? std::max(100, _wtoi(argv[3])) : 5000);
  }
  if (mode == L"library-requests") {
    if (argc < 3) throw std::runtime_error("library-requests: the trace file is missing");
    return LibraryRequests(argv[2]);
  }
  if (mode == L"library") return Library(argc > 2 ? std::max(1, _wtoi(argv[2])) : 3);
  if (mode == L"navigation") {
    const int runs = argc > 2 ? std::max(1, _wtoi(argv[2])) : 5;
    std::vector<int> rows;
    for (int i = 3; i < argc; ++i) rows.push_back(std::max(1000, _wtoi(argv[i])));
    if (rows.empty()) rows = {100000, 1000000};
    return Navigation(runs, rows);
  }
  const int runs = argc > 1 ? std::max(1, _wtoi(argv[1])) : 5;
  const int calls = argc > 2 ? std::max(100, _wtoi(argv[2])) : 20000;
  return Ratios(runs, calls);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  int rc = 1;
  try {
    rc = Main(argc, argv);
  } catch (const std::exception& e) {
    std::printf("failed: %s\n", e.what());
  }
  std::fflush(stdout);
  const std::wstring folder = TempFolder();
  DeleteFileW((folder + L"result.txt").c_str());
  DeleteFileW(SymbolFile().c_str());
  RemoveDirectoryW(folder.c_str());
  return rc;
}
