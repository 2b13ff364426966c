// The log export: CSV and HTML files of 100,000 logged calls, per row (the CSV writer is meant
// to reach at least 100,000 rows per second in the optimised build), and the same files saved
// through the main window's save flow beside the writer alone (the flow is meant to keep at
// least 0.8 of the writer's rows per second). The save flow needs a display (the session of
// scripts/wine-session.sh).
#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Bench.h"
#include "Tracer/app/fMain.h"
#include "Tracer/app/uMainEntryPoints.h"
#include "Tracer/app/uReportWriters.h"
#include "Tracer/com/uMiniComServer.h"
#include "Tracer/engine/uEventQueue.h"
#include "Tracer/engine/uTracerEventParams.h"
#include "Tracer/foundation/uConfig.h"
#include "Tracer/foundation/uUtils.h"
#include "Tracer/window/uWinDialogs.h"

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
  g.Measure("CSV reader alone, per row", 1, kRows, [&](int64_t it) {
    TCSVTEQReader reader(&columns);
    TTEQColumnValueStrDynArray cells;
    for (int64_t r = 0; r < it; ++r)
      for (int i = 0; i < kRows; ++i) reader.ReadRow(i, cells);
    gBenchSink = cells.size();
  });
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

// The save dialog's answer: the file and its type.
std::wstring GSaveFile;
int GSaveFilter = 1;
bool AnswerSaveDialog(TFileDialog& dialog, HWND) {
  dialog.FileName = GSaveFile;
  dialog.FilterIndex = GSaveFilter;
  return true;
}

double Seconds(const std::function<void()>& run) {
  LARGE_INTEGER f, a, b;
  QueryPerformanceFrequency(&f);
  QueryPerformanceCounter(&a);
  run();
  QueryPerformanceCounter(&b);
  return static_cast<double>(b.QuadPart - a.QuadPart) / static_cast<double>(f.QuadPart);
}

// The main window shown with the whole log in its list, Save pressed as a user does (the
// dialog answered, the progress window up, the main window disabled), against the writer of
// the same type on the same columns; medians of interleaved runs.
void SaveFlowRows(TBenchGroup& g) {
  FillLog();
  const std::wstring userFolder = ExeFolder() + L"bench-user";
  CreateDirectoryW(userFolder.c_str(), nullptr);
  SetUserDataFolderOverride(userFolder);
  InstallMainWindowEntryPoints();
  MainWindowEntryPoints().CanWriteExcel = [] { return false; };
  MainWindowEntryPoints().OpenSavedLog = [](const std::wstring&) {};
  const TFileDialogFunc oldDialog = SetFileDialogFunc(AnswerSaveDialog);
  GSaveFile = ExeFolder() + L"bench-export.tmp";
  {
    auto main = std::make_unique<TfrmMain>(nullptr);
    main->Create();
    main->Show();
    Application()->ProcessMessages();
    bool done = true;
    main->AppIdle(done);
    for (TAction* a : main->Layout().ActionList->Actions()) a->Update();
    Application()->ProcessMessages();
    const struct {
      const char* Name;
      int Filter;
    } types[] = {{"CSV", 1}, {"HTML", 2}};
    for (const auto& type : types) {
      GSaveFilter = type.Filter;
      auto writerAlone = [&] {
        if (type.Filter == 1)
          TCSVReportWriter(&main->LogView().ColumnManager()).Write(GSaveFile, nullptr);
        else
          THTMLReportWriter(&main->LogView().ColumnManager()).Write(GSaveFile, nullptr);
      };
      auto saveFlow = [&] { main->Layout().actLogSave->Execute(); };
      writerAlone();
      saveFlow();
      std::vector<double> alone, flow;
      for (int run = 0; run < 5; ++run) {
        alone.push_back(Seconds(writerAlone));
        flow.push_back(Seconds(saveFlow));
      }
      std::sort(alone.begin(), alone.end());
      std::sort(flow.begin(), flow.end());
      const double aloneRows = kRows / alone[2], flowRows = kRows / flow[2];
      g.Record(std::string(type.Name) + " writer alone, per row", 1e9 / aloneRows);
      g.Record(std::string(type.Name) + " save flow, per row", 1e9 / flowRows);
      char line[160];
      std::snprintf(line, sizeof line, "%-4s save flow %9.0f rows/s, writer alone %9.0f rows/s, ratio %.2f", type.Name,
                    flowRows, aloneRows, flowRows / aloneRows);
      g.Note(line);
    }
  }
  SetFileDialogFunc(oldDialog);
  MainWindowEntryPoints() = TMainWindowEntryPoints();
  DeleteFileW(GSaveFile.c_str());
  DeleteFileW(GetConfigFileName().c_str());
  RemoveDirectoryW(userFolder.c_str());
  GetTracerEventQueue()->Clear();
}

const bool kSaveFlowRegistered = RegisterBenchmark("Log export of 100,000 calls through the save flow", SaveFlowRows);

}  // namespace
