// Tracing engine: what one logged call costs in memory and time.
#include <windows.h>
#include <objbase.h>
#include <psapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "Bench.h"
#include "Tracer/engine/uBreakpoints.h"
#include "Tracer/engine/uCallHandlers.h"
#include "Tracer/foundation/uClasses.h"
#include "Tracer/engine/uEventQueue.h"
#include "Tracer/com/uMiniComServer.h"
#include "Tracer/engine/uTracerEventParams.h"

namespace {

void UseTypeLibrary() {
  static bool done = false;
  if (done) return;
  done = true;
  CoInitialize(nullptr);
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, n);
  GetMiniComServer()->SetTypeLibFileName(folder.substr(0, folder.find_last_of(L'\\') + 1) + L"Calderwisp.tlb");
}

// Bytes in use on every heap of the process.
uint64_t HeapBytesInUse() {
  std::vector<HANDLE> heaps(GetProcessHeaps(0, nullptr) + 16);
  DWORD count = GetProcessHeaps(static_cast<DWORD>(heaps.size()), heaps.data());
  uint64_t total = 0;
  for (DWORD i = 0; i < count && i < heaps.size(); ++i) {
    PROCESS_HEAP_ENTRY entry{};
    HeapLock(heaps[i]);
    while (HeapWalk(heaps[i], &entry))
      if (entry.wFlags & PROCESS_HEAP_ENTRY_BUSY) total += entry.cbData;
    HeapUnlock(heaps[i]);
  }
  return total;
}

// The parameter list of a call as the breakpoint code fills it: the hidden result, four values
// read at entry, then the result read at return.
TComPtr<TTracerEventParams> FourParamCall(int32_t i) {
  static const wchar_t* const names[] = {L"hStmt", L"iters", L"rowoff", L"mode"};
  TProcCallContext call(L"OCIStmtExecute", 4);
  for (int k = 0; k < 4; ++k) call.AddParam(names[k], TOleVariant(static_cast<int32_t>(i + k)), true);
  call.SetResult(TOleVariant(static_cast<int32_t>(i)));
  return call.Params;
}

// The tracer's private bytes (its commit charge) now and at their peak.
void PrivateBytes(uint64_t& now, uint64_t& peak) {
  PROCESS_MEMORY_COUNTERS counters{};
  counters.cb = sizeof counters;
  GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
  now = counters.PagefileUsage;
  peak = counters.PeakPagefileUsage;
}

void LoggedCallCost(TBenchGroup& g) {
  UseTypeLibrary();
  TTracerEventQueue* queue = GetTracerEventQueue();
  queue->Clear();

  constexpr int Calls = 20000;
  FourParamCall(0);  // types and services made once
  queue->AddCalls(L"warm", 1, 0, 0, FourParamCall(0).Get(), true);
  queue->Clear();
  uint64_t before = HeapBytesInUse();
  for (int i = 0; i < Calls; ++i) queue->AddCalls(L"OCIStmtExecute", 1, 0, 0, FourParamCall(i).Get(), true);
  uint64_t after = HeapBytesInUse();
  std::printf("  memory per logged call with 4 parameters: %.0f bytes (%d calls)\n",
              static_cast<double>(after - before) / Calls, Calls);
  queue->Clear();

  // A long trace: a million calls in the log, as the breakpoint code adds them.
  constexpr int LongTrace = 1000000;
  uint64_t privateBefore = 0, peakBefore = 0, privateAfter = 0, peakAfter = 0;
  PrivateBytes(privateBefore, peakBefore);
  for (int i = 0; i < LongTrace; ++i)
    queue->AddCalls(L"OCIStmtExecute", 1, 0, 0, FourParamCall(i).Get(), i % 4 != 0);
  PrivateBytes(privateAfter, peakAfter);
  std::printf("  after %d logged calls: private bytes %.1f MB (+%.1f MB), peak %.1f MB, %.0f bytes per call\n",
              LongTrace, privateAfter / 1048576.0, (privateAfter - privateBefore) / 1048576.0,
              peakAfter / 1048576.0, static_cast<double>(privateAfter - privateBefore) / LongTrace);
  queue->Clear();

  TComPtr<TTracerEventParams> shared = FourParamCall(0);
  g.Measure("AddCalls (event for a filled list)", 20000, 1, [&](int64_t it) {
    for (int64_t i = 0; i < it; ++i) queue->AddCalls(L"OCIStmtExecute", 1, 0, 0, shared.Get(), i % 4 != 0);
    queue->Clear();
  });
  g.Measure("parameter list with result + 4 values", 20000, 1, [&](int64_t it) {
    for (int64_t i = 0; i < it; ++i) gBenchSink = reinterpret_cast<uintptr_t>(FourParamCall(static_cast<int32_t>(i)).Get());
  });
  g.Measure("list + AddCalls (a whole logged call)", 20000, 1, [&](int64_t it) {
    for (int64_t i = 0; i < it; ++i) queue->AddCalls(L"OCIStmtExecute", 1, 0, 0, FourParamCall(static_cast<int32_t>(i)).Get(), true);
    queue->Clear();
  });
}

void WriteFileText(const std::wstring& path, const std::string& text) {
  HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  DWORD done = 0;
  WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &done, nullptr);
  CloseHandle(h);
}

// A handler that reads three parameters of each call, beside the same reads from C++.
void HandlerCost(TBenchGroup& g) {
  UseTypeLibrary();
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  std::wstring js = std::wstring(temp) + L"cw_bench_read3.js";
  std::wstring vbs = std::wstring(temp) + L"cw_bench_read3.vbs";
  WriteFileText(js, "function F(p) { var v = p.Values; return v.hStmt + v.iters + v.mode; }\r\n");
  WriteFileText(vbs, "Function F(p)\r\n  Set v = p.Values\r\n  F = v.hStmt + v.iters + v.mode\r\nEnd Function\r\n");
  TCallHandlerEngine* engine = GetCallHandlerEngine();
  TCallHandlerRef jsHandler = engine->GetHandler(L"script://F@" + js);
  TCallHandlerRef vbsHandler = engine->GetHandler(L"script://F@" + vbs);
  TComPtr<ITracerEventParams> params(FourParamCall(1).Get());

  g.Measure("C++: Find + Value of 3 parameters", 20000, 1, [&](int64_t it) {
    static const wchar_t* const names[] = {L"hStmt", L"iters", L"mode"};
    for (int64_t i = 0; i < it; ++i)
      for (const wchar_t* name : names) {
        BSTR bname = SysAllocString(name);
        ITracerEventParam* param = nullptr;
        params->Find(bname, &param);
        SysFreeString(bname);
        VARIANT v;
        VariantInit(&v);
        param->get_Value(&v);
        gBenchSink = v.lVal;
        param->Release();
      }
  });
  g.Measure("JScript handler reading 3 parameters", 2000, 1, [&](int64_t it) {
    for (int64_t i = 0; i < it; ++i) engine->ExecuteHandler(jsHandler.Get(), params.Get());
  });
  g.Measure("VBScript handler reading 3 parameters", 2000, 1, [&](int64_t it) {
    for (int64_t i = 0; i < it; ++i) engine->ExecuteHandler(vbsHandler.Get(), params.Get());
  });
  engine->EndTrace();
  DeleteFileW(js.c_str());
  DeleteFileW(vbs.c_str());
}

const bool kRegistered = RegisterBenchmark("Logged call: memory and AddCalls", LoggedCallCost) &&
                         RegisterBenchmark("Call handlers reading three parameters", HandlerCost);

}  // namespace
