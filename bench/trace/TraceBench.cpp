// What tracing one call costs under this machine's debugging interface: the benchmark
// debuggee alone, under a minimal debug loop (the floor of this design), and under the engine
// in several set-ups, measured side by side in one run; each figure is the median of several
// runs, and each engine figure is also given as a ratio to the minimal loop.
//
//   cw_tracebench [runs] [calls]
//   cw_tracebench profile [calls]   where a traced call's time goes, per debugging call
//   cw_tracebench start [runs]      from Run to the first logged call, 1 vs 10,000 definitions
#include <windows.h>
#include <objbase.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "ApiProfile.h"
#include "MinimalDebugLoop.h"
#include "Tracer/engine/uDebugCore.h"
#include "Tracer/engine/uEventQueue.h"
#include "Tracer/com/uMiniComServer.h"
#include "Tracer/engine/uProcDefs.h"
#include "Tracer/foundation/uHolders.h"
#include "Tracer/foundation/uOleVariant.h"
#include "Tracer/foundation/uSingletons.h"
#include "Tracer/foundation/uWideStrUtils.h"
#include "Tracer/foundation/uXMLFiler.h"

namespace {

std::wstring BinDir() {
  wchar_t path[MAX_PATH];
  const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, n);
  return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

// A folder of this run for the debuggee's result and the handler script; removed at exit.
std::wstring TempFolder() {
  static std::wstring folder;
  if (folder.empty()) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    folder = std::wstring(temp) + L"cw_tracebench_" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    CreateDirectoryW(folder.c_str(), nullptr);
  }
  return folder;
}

void RemoveTempFolder() {
  const std::wstring folder = TempFolder();
  DeleteFileW((folder + L"result.txt").c_str());
  DeleteFileW((folder + L"benchhandler.js").c_str());
  RemoveDirectoryW(folder.c_str());
}

// What one run of the debuggee reports, and how many of its calls were seen.
struct TRunResult {
  int64_t Made = 0;
  int64_t Measured = 0;
  double Seconds = 0;
  int64_t Traced = -1;  // -1: nothing traces
  double CallsPerSecond() const { return Seconds > 0 ? static_cast<double>(Measured) / Seconds : 0; }
};

struct TDebuggeeRun {
  std::wstring Mode;  // "int" or "str"
  int Calls = 0;      // per thread
  int Threads = 1;
  std::wstring ResultFile;

  std::wstring CommandLine() const {
    return L"\"" + BinDir() + L"benchdebuggee.exe\" " + Mode + L" " + std::to_wstring(Calls) + L" " +
           std::to_wstring(Threads) + L" \"" + ResultFile + L"\"";
  }

  TRunResult ReadResult() const {
    TRunResult r;
    FILE* f = _wfopen(ResultFile.c_str(), L"r");
    if (f == nullptr) throw std::runtime_error("the debuggee wrote no result");
    long long made = 0, measured = 0;
    double seconds = 0;
    const int n = std::fscanf(f, "made=%lld measured=%lld seconds=%lf", &made, &measured, &seconds);
    std::fclose(f);
    if (n != 3) throw std::runtime_error("the debuggee's result cannot be read");
    r.Made = made;
    r.Measured = measured;
    r.Seconds = seconds;
    return r;
  }
};

TRunResult RunAlone(TDebuggeeRun run) {
  DeleteFileW(run.ResultFile.c_str());
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION info{};
  std::wstring cmd = run.CommandLine();
  if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info))
    throw std::runtime_error("CreateProcessW failed");
  WaitForSingleObject(info.hProcess, INFINITE);
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  return run.ReadResult();
}

TRunResult RunUnderMinimalLoop(TDebuggeeRun run) {
  DeleteFileW(run.ResultFile.c_str());
  const std::string function = run.Mode == L"str" ? "BenchText" : "BenchAdd";
  const int64_t hits = RunMinimalDebugLoop(run.CommandLine(), "benchcallee.dll", function, run.Threads > 1);
  TRunResult r = run.ReadResult();
  r.Traced = hits;
  return r;
}

// --- The engine ---------------------------------------------------------------------------

std::wstring Property(const std::wstring& name, const std::wstring& value) {
  return L"<property name=\"" + name + L"\" value=\"" + value + L"\"/>";
}

std::wstring Param(const std::wstring& type, const std::wstring& name, int offset) {
  return L"<propertyset name=\"param\">" + Property(L"Type", type) + Property(L"Name", name) +
         Property(L"Offset", std::to_wstring(offset)) + L"</propertyset>";
}

// A definition loaded from a "proc" property set, as a symbol file gives it.
std::unique_ptr<TProcDef> LoadDef(const std::wstring& url, const std::wstring& properties) {
  auto def = std::make_unique<TEAXProcDef>(url);
  TXMLDocument doc;
  CreatePropertySetDocument(doc);
  VARIANT_BOOL ok = VARIANT_FALSE;
  const std::wstring xml = L"<propertyset name=\"proc\">" + Property(L"Active", L"True") + properties + L"</propertyset>";
  doc->loadXML(TBStr(xml).Get(), &ok);
  if (ok != VARIANT_TRUE) throw std::runtime_error("a definition's XML does not parse");
  TComPtr<IXMLDOMElement> root;
  doc->get_documentElement(root.Put());
  TComPtr<IXMLDOMNode> node;
  root.As(node);
  def->LoadFromXML(node.Get());
  return def;
}

struct TEngineSetup {
  bool Unresolved500 = false;
  bool Handler = false;
};

std::wstring HandlerScript() {
  static std::wstring path;
  if (path.empty()) {
    path = TempFolder() + L"benchhandler.js";
    FILE* f = _wfopen(path.c_str(), L"w");
    if (f == nullptr) throw std::runtime_error("the handler script cannot be written");
    std::fputs("function OnCall(params) {\n  params.Values.result = params.Values.a + params.Values.b;\n}\n", f);
    std::fclose(f);
  }
  return path;
}

void PumpUntil(const std::function<bool()>& pred, DWORD timeoutMs) {
  const DWORD start = GetTickCount();
  while (!pred()) {
    if (GetTickCount() - start > timeoutMs) throw std::runtime_error("the trace did not end in time");
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
    ProcessMessages();
  }
}

std::string FirstLoggedError() {
  TTracerEventList& list = GetTracerEventQueue()->AllEvents()->List();
  for (int i = 0; i < list.Count(); ++i)
    if (auto* error = dynamic_cast<TErrorTracerEvent*>(list.Get(i).Get())) {
      TComPtr<ITracerEventParam> msg;
      error->Params()->Find(TBStr(L"msg").Get(), msg.Put());
      TOleVariant v;
      if (msg) msg->get_Value(v.Receive());
      std::string text = v.vt == VT_BSTR ? WideToUtf8(v.AsBSTRText()) : "";
      return text;
    }
  return std::string();
}

TRunResult RunUnderEngine(TDebuggeeRun run, const TEngineSetup& setup) {
  DeleteFileW(run.ResultFile.c_str());
  std::vector<std::unique_ptr<TProcDef>> defs;
  const std::wstring handler = setup.Handler ? Property(L"Handler", L"script://OnCall@" + HandlerScript()) : L"";
  std::wstring title;
  if (run.Mode == L"str") {
    title = L"BenchText";
    defs.push_back(LoadDef(L"export://BenchText@benchcallee.dll", handler + Param(L"str", L"text", 4) + Param(L"int", L"length", 8)));
  } else {
    title = L"BenchAdd";
    defs.push_back(LoadDef(L"export://BenchAdd@benchcallee.dll", handler + Param(L"int", L"a", 4) + Param(L"int", L"b", 8)));
  }
  if (setup.Unresolved500)
    for (int i = 0; i < 500; ++i)
      defs.push_back(LoadDef(L"export://Missing" + std::to_wstring(i) + L"@notloaded.dll",
                             Param(L"int", L"a", 4) + Param(L"int", L"b", 8)));

  GetTracerEventQueue()->Clear();
  TDebugger* debugger = GetDebugger();
  debugger->Run(run.CommandLine());
  PumpUntil([debugger] { return debugger->GetActive(); }, 30000);
  PumpUntil([debugger] { return !debugger->GetActive(); }, 600000);
  debugger->WaitForThreadEnd();

  TRunResult r = run.ReadResult();
  r.Traced = 0;
  TTracerEventList& list = GetTracerEventQueue()->AllEvents()->List();
  for (int i = 0; i < list.Count(); ++i)
    if (auto* call = dynamic_cast<TCallTracerEvent*>(list.Get(i).Get()); call != nullptr && call->GetText() == title)
      ++r.Traced;
  if (r.Traced == 0) {
    const std::string error = FirstLoggedError();
    if (!error.empty()) std::printf("  (the engine logged: %s)\n", error.c_str());
  }
  GetTracerEventQueue()->Clear();
  defs.clear();
  return r;
}

// From Run to the first logged call of benchdebuggee's "many" mode, with the one definition it
// calls or with all of benchmany.dll's 10,000 exports: the engine's start, without the window.
double StartMs(int definitions) {
  std::vector<std::unique_ptr<TProcDef>> defs;
  for (int i = 0; i < definitions; ++i)
    defs.push_back(LoadDef(L"export://BenchMany" + std::to_wstring(10000 + i) + L"@benchmany.dll",
                           Param(L"int", L"a", 4) + Param(L"int", L"b", 8)));
  TDebuggeeRun run;
  run.Mode = L"many";
  run.Calls = 20;
  run.ResultFile = TempFolder() + L"result.txt";
  GetTracerEventQueue()->Clear();
  TDebugger* debugger = GetDebugger();
  LARGE_INTEGER freq, start, now;
  QueryPerformanceFrequency(&freq);
  QueryPerformanceCounter(&start);
  debugger->Run(run.CommandLine());
  auto logged = [] {
    TTracerEventList& list = GetTracerEventQueue()->AllEvents()->List();
    for (int i = 0; i < list.Count(); ++i)
      if (dynamic_cast<TCallTracerEvent*>(list.Get(i).Get()) != nullptr) return true;
    return false;
  };
  const DWORD began = GetTickCount();
  while (!logged()) {
    if (GetTickCount() - began > 600000) throw std::runtime_error("no call logged");
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
    ProcessMessages();
  }
  QueryPerformanceCounter(&now);
  PumpUntil([debugger] { return !debugger->GetActive(); }, 600000);
  debugger->WaitForThreadEnd();
  GetTracerEventQueue()->Clear();
  return static_cast<double>(now.QuadPart - start.QuadPart) * 1000.0 / static_cast<double>(freq.QuadPart);
}

int Start(int runs) {
  GetMiniComServer()->SetTypeLibFileName(BinDir() + L"Calderwisp.tlb");
  std::vector<double> one, many;
  for (int i = 0; i < runs; ++i) {
    one.push_back(StartMs(1));
    many.push_back(StartMs(10000));
    std::printf("  run %d: first call logged %.0f ms after Run with one definition, %.0f ms with 10,000\n", i + 1,
                one.back(), many.back());
  }
  std::sort(one.begin(), one.end());
  std::sort(many.begin(), many.end());
  const double a = one[one.size() / 2], b = many[many.size() / 2];
  std::printf("The engine's start (medians of %d runs): one definition %.0f ms, 10,000 definitions %.0f ms: %+.3f ms per definition\n",
              runs, a, b, (b - a) / 9999);
  return 0;
}

// --- Measurement frame --------------------------------------------------------------------

struct TRow {
  std::string Name;
  bool Engine = false;
  std::function<TRunResult()> RunOnce;
  std::vector<TRunResult> Results;

  double MedianCallsPerSecond() const {
    std::vector<double> v;
    for (const TRunResult& r : Results) v.push_back(r.CallsPerSecond());
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
  }
  // Of the run whose rate is the median (or next to it).
  const TRunResult& MedianRun() const {
    std::vector<size_t> order(Results.size());
    for (size_t i = 0; i < order.size(); ++i) order[i] = i;
    std::sort(order.begin(), order.end(),
              [this](size_t a, size_t b) { return Results[a].CallsPerSecond() < Results[b].CallsPerSecond(); });
    return Results[order[order.size() / 2]];
  }
  bool AllTraced() const {
    for (const TRunResult& r : Results)
      if (r.Traced >= 0 && r.Traced != r.Made) return false;
    return true;
  }
};

// One run of each set-up with every debugging call counted and timed, per traced call.
int Profile(int calls) {
  InstallApiProfile();
  GetMiniComServer()->SetTypeLibFileName(BinDir() + L"Calderwisp.tlb");
  TDebuggeeRun run;
  run.Mode = L"int";
  run.Calls = calls;
  run.ResultFile = TempFolder() + L"result.txt";
  struct TCase {
    const char* Name;
    std::function<TRunResult()> Fn;
  } cases[] = {
      {"minimal loop", [&] {
         SetProfiledThread(GetCurrentThreadId());
         TRunResult r = RunUnderMinimalLoop(run);
         SetProfiledThread(0);
         return r;
       }},
      {"engine, one definition", [&] { return RunUnderEngine(run, {}); }},
      {"engine, + 500 unresolved definitions", [&] { return RunUnderEngine(run, {true, false}); }},
  };
  const double perUs = ApiTicksPerMicrosecond();
  for (TCase& c : cases) {
    c.Fn();  // warm: type library, script engine, file cache
    ResetApiProfile();
    const TRunResult r = c.Fn();
    const double wallUs = r.Seconds * 1e6 / static_cast<double>(r.Measured);
    std::printf("%s: %.0f us per call (traced %lld of %lld)\n", c.Name, wallUs, static_cast<long long>(r.Traced),
                static_cast<long long>(r.Made));
    double inApis = 0;
    for (const TApiStat& st : ApiProfile()) {
      if (st.Count == 0) continue;
      const double us = static_cast<double>(st.Ticks) / perUs / static_cast<double>(r.Made);
      inApis += us;
      std::printf("  %-26s %7.2f calls %9.1f us  (%.1f us each)\n", st.Name,
                  static_cast<double>(st.Count) / static_cast<double>(r.Made), us,
                  static_cast<double>(st.Ticks) / perUs / static_cast<double>(st.Count));
    }
    std::printf("  %-26s %7s       %9.1f us\n", "outside these calls", "", wallUs - inApis);
  }
  return 0;
}

int Main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "start") return Start(argc > 2 ? std::max(1, std::atoi(argv[2])) : 3);
  if (argc > 1 && std::string(argv[1]) == "profile") return Profile(argc > 2 ? std::max(100, std::atoi(argv[2])) : 2000);
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const int calls = argc > 2 ? std::max(100, std::atoi(argv[2])) : 2000;
  const int aloneCalls = 20000000;
  GetMiniComServer()->SetTypeLibFileName(BinDir() + L"Calderwisp.tlb");
  const std::wstring folder = TempFolder();
  auto debuggee = [&](const std::wstring& mode, int perThread, int threads) {
    TDebuggeeRun run;
    run.Mode = mode;
    run.Calls = perThread;
    run.Threads = threads;
    run.ResultFile = folder + L"result.txt";
    return run;
  };

  std::vector<TRow> rows;
  rows.push_back({"debuggee alone", false, [&] { return RunAlone(debuggee(L"int", aloneCalls, 1)); }, {}});
  rows.push_back({"minimal loop (entry 0xCC, step, return 0xCC)", false,
                  [&] { return RunUnderMinimalLoop(debuggee(L"int", calls, 1)); }, {}});
  rows.push_back({"minimal loop, four threads", false,
                  [&] { return RunUnderMinimalLoop(debuggee(L"int", calls / 4, 4)); }, {}});
  rows.push_back({"engine, one definition (two int parameters)", true,
                  [&] { return RunUnderEngine(debuggee(L"int", calls, 1), {}); }, {}});
  rows.push_back({"engine, + 500 unresolved definitions", true,
                  [&] { return RunUnderEngine(debuggee(L"int", calls, 1), {true, false}); }, {}});
  rows.push_back({"engine, 64-character string parameter", true,
                  [&] { return RunUnderEngine(debuggee(L"str", calls, 1), {}); }, {}});
  rows.push_back({"engine, JScript handler", true,
                  [&] { return RunUnderEngine(debuggee(L"int", calls, 1), {false, true}); }, {}});
  rows.push_back({"engine, four threads", true,
                  [&] { return RunUnderEngine(debuggee(L"int", calls / 4, 4), {}); }, {}});

  std::printf("Tracing one call: medians of %d runs, %d traced calls per run (%d untraced)\n", runs, calls, aloneCalls);
#ifndef NDEBUG
  std::printf("(unoptimised build: compare the ratios, not the times)\n");
#endif
  std::fflush(stdout);
  // Interleaved, so that a slow moment of the machine does not fall on one row only.
  for (int i = 0; i < runs; ++i)
    for (TRow& row : rows) row.Results.push_back(row.RunOnce());

  const double loop = rows[1].MedianCallsPerSecond();
  const double one = rows[3].MedianCallsPerSecond();
  const double many = rows[4].MedianCallsPerSecond();
  std::printf("  %-46s %12s %10s %9s %19s\n", "", "calls/s", "us/call", "to loop", "traced/made");
  for (const TRow& row : rows) {
    const double rate = row.MedianCallsPerSecond();
    const TRunResult& median = row.MedianRun();
    char traced[48] = "";
    if (median.Traced >= 0)
      std::snprintf(traced, sizeof traced, "%lld/%lld%s", static_cast<long long>(median.Traced),
                    static_cast<long long>(median.Made), row.AllTraced() ? "" : " (!)");
    std::printf("  %-46s %12.0f %10.2f %8.3fx %19s\n", row.Name.c_str(), rate, rate > 0 ? 1e6 / rate : 0,
                loop > 0 ? rate / loop : 0, traced);
  }
  std::printf("  engine to minimal loop, one definition: %.3f (target at least 0.8)\n", loop > 0 ? one / loop : 0);
  std::printf("  500 unresolved definitions cost: %+.1f%% per call (target under 10%%)\n",
              many > 0 && one > 0 ? (one / many - 1) * 100 : 0);
  for (const TRow& row : rows)
    if (!row.AllTraced()) {
      std::printf("  %s: calls traced per run:", row.Name.c_str());
      for (const TRunResult& r : row.Results)
        std::printf(" %lld/%lld", static_cast<long long>(r.Traced), static_cast<long long>(r.Made));
      std::printf("\n");
    }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CoInitialize(nullptr);
  int rc = 1;
  try {
    rc = Main(argc, argv);
  } catch (const std::exception& e) {
    std::printf("failed: %s\n", e.what());
  } catch (...) {
    std::printf("failed\n");
  }
  std::fflush(stdout);
  RemoveTempFolder();
  FreeInstanceList();
  CoUninitialize();
  return rc;
}
