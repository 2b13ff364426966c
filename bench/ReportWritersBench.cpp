// The log export: CSV and HTML files of 100,000 logged calls, per row (the CSV writer is meant
// to reach at least 100,000 rows per second in an optimised build).
#include <string>

#include "Bench.h"
#include "Tracer/app/uReportWriters.h"
#include "Tracer/com/uMiniComServer.h"
#include "Tracer/engine/uEventQueue.h"
#include "Tracer/engine/uTracerEventParams.h"

namespace {

constexpr int kRows = 100000;

std::wstring ExeFolder() {
  wchar_t path[MAX_PATH];
  DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring folder(path, n);
  return folder.substr(0, folder.find_last_of(L'\\') + 1);
}

// Calls as the engine logs them: a hidden result, a handle and a statement text.
void FillLog() {
  CoInitialize(nullptr);
  GetMiniComServer()->SetTypeLibFileName(ExeFolder() + L"Calderwisp.tlb");
  TTracerEventQueue* queue = GetTracerEventQueue();
  queue->Clear();
  for (int i = 0; i < kRows; ++i) {
    TComPtr<ITracerEventParams> list = NewTracerEventParams();
    auto* params = static_cast<TTracerEventParams*>(list.Get());
    TComPtr<ITracerEventParam> result = params->AddParam(L"result");
    result->put_Value(TOleVariant(0));
    result->put_Visible(VARIANT_FALSE);
    params->AddParam(L"hStmt")->put_Value(TOleVariant(0x1000 + i));
    params->AddParam(L"sql")->put_Value(TOleVariant(L"select name, value from settings where id = " + std::to_wstring(i)));
    queue->AddCalls(L"OCIStmtExecute", 0x1234, 1000 * i, 1000 * i + 250, list.Get(), true);
  }
}

void ExportRows(TBenchGroup& g) {
  FillLog();
  TTEQColumnManager columns;
  for (const wchar_t* name : {L"Thread Id", L"Call", L"Time (ms)", L"Result", L"Parameters"}) columns.AddColumn(name);
  const std::wstring file = ExeFolder() + L"bench-export.tmp";
  g.Measure("CSV export, per row", 1, kRows, [&](int64_t it) {
    for (int64_t r = 0; r < it; ++r) TCSVReportWriter(&columns).Write(file, nullptr);
  });
  g.Measure("HTML export, per row", 1, kRows, [&](int64_t it) {
    for (int64_t r = 0; r < it; ++r) THTMLReportWriter(&columns).Write(file, nullptr);
  });
  DeleteFileW(file.c_str());
  GetTracerEventQueue()->Clear();
}

const bool kRegistered = RegisterBenchmark("Log export of 100,000 calls", ExportRows);

}  // namespace
