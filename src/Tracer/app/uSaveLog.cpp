#include "Tracer/app/uSaveLog.h"

#include <commdlg.h>
#include <shellapi.h>

#include <algorithm>
#include <memory>
#include <utility>

#include "Tracer/app/fMain.h"
#include "Tracer/app/fProgress.h"
#include "Tracer/app/uReportWriters.h"
#include "Tracer/foundation/uErrorReport.h"
#include "Tracer/foundation/uUtils.h"
#include "Tracer/foundation/uWideStrUtils.h"

namespace {

TSaveLogDialogFunc GDialogFunc = nullptr;
TOpenSavedLogFunc GOpenFunc = nullptr;
// The dialog's folder, kept from one save to the next.
std::wstring GFolder;
bool GRunning = false;

bool SystemSaveDialog(TSaveLogDialogParams& params) {
  // The filter with "|" as the dialog wants it: parts ended by NUL, two at the end.
  std::wstring filter = params.Filter;
  for (wchar_t& c : filter)
    if (c == L'|') c = L'\0';
  filter.append(2, L'\0');
  std::wstring buffer = params.FileName;
  buffer.resize(std::max<size_t>(buffer.size() + 1, 4096), L'\0');
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof(ofn);
  ofn.hwndOwner = params.Owner;
  ofn.lpstrFilter = filter.c_str();
  ofn.nFilterIndex = static_cast<DWORD>(params.FilterIndex);
  ofn.lpstrFile = buffer.data();
  ofn.nMaxFile = static_cast<DWORD>(buffer.size());
  ofn.lpstrInitialDir = params.InitialDir.c_str();
  ofn.lpstrDefExt = params.DefaultExt.c_str();
  ofn.Flags = OFN_OVERWRITEPROMPT | OFN_HIDEREADONLY | OFN_PATHMUSTEXIST | OFN_ENABLESIZING;
  if (!GetSaveFileNameW(&ofn)) return false;
  params.FileName = buffer.c_str();
  params.FilterIndex = static_cast<int>(ofn.nFilterIndex);
  return true;
}

void ShellOpenMaximized(const std::wstring& fileName) {
  ShellExecuteW(GetApplicationWindow(), L"open", fileName.c_str(), nullptr, nullptr, SW_SHOWMAXIMIZED);
}

std::unique_ptr<TReportWriter> WriterFor(int filterIndex, TTEQColumnManager* columns) {
  switch (filterIndex) {
    case 1: return std::make_unique<TCSVReportWriter>(columns);
    case 2: return std::make_unique<THTMLReportWriter>(columns);
    case 3: {
      auto writer = std::make_unique<TXLSReportWriter>(columns);
      // The dialog has asked before an existing file is named.
      writer->ReplaceExisting = true;
      return writer;
    }
  }
  CW_ASSERT(false, L"src/Tracer/fMain", __LINE__);
  return nullptr;
}

// Runs the writer with the progress window up and the main window disabled.
void WriteWithProgress(TForm* mainForm, TReportWriter& writer, const std::wstring& fileName) {
  auto progress = CreateForm<TfrmProgress>(mainForm);
  const HWND main = mainForm ? mainForm->Handle() : nullptr;
  if (main) EnableWindow(main, FALSE);
  try {
    progress->Show();
    writer.Write(fileName, progress.get());
  } catch (...) {
    if (main) EnableWindow(main, TRUE);
    throw;
  }
  if (main) EnableWindow(main, TRUE);
}

}  // namespace

TSaveLogDialogFunc SetSaveLogDialogFunc(TSaveLogDialogFunc fn) { return std::exchange(GDialogFunc, fn); }
TOpenSavedLogFunc SetOpenSavedLogFunc(TOpenSavedLogFunc fn) { return std::exchange(GOpenFunc, fn); }

bool CanWriteExcel() {
  try {
    TComPtr<IDispatch> excel;
    TXLSReportWriter::CreateExcelApplication(excel);
    TXLSReportWriter::QuitApplication(excel.Get());
    return true;
  } catch (...) {
    return false;
  }
}

std::wstring LogSaveFilter() {
  std::wstring filter = L"CSV (*.csv)|*.csv|HTML (*.htm)|*.htm";
  if (CanWriteExcel()) filter += L"|Microsoft Excel (*.xls)|*.xls";
  return filter;
}

bool WriteLogWithProgress(TForm* mainForm, TTEQColumnManager* columns, int filterIndex, const std::wstring& fileName) {
  if (GRunning) return false;
  GRunning = true;
  struct TReset {
    ~TReset() { GRunning = false; }
  } reset;
  std::unique_ptr<TReportWriter> writer = WriterFor(filterIndex, columns);
  WriteWithProgress(mainForm, *writer, fileName);
  return true;
}

bool IsSavingLog() { return GRunning; }

bool ExecuteSaveLog(TForm* mainForm, TTEQColumnManager* columns) {
  if (GRunning) return false;
  try {
    if (GFolder.empty()) GFolder = GetUserDataFolder();
    TSaveLogDialogParams params;
    params.Owner = mainForm ? mainForm->Handle() : nullptr;
    params.FileName = DefaultLogFileName();
    params.Filter = LogSaveFilter();
    params.DefaultExt = L"htm";
    params.InitialDir = GFolder;
    if (!(GDialogFunc ? GDialogFunc : SystemSaveDialog)(params)) return false;
    GFolder = WideExtractFileDir(params.FileName);
    if (!WriteLogWithProgress(mainForm, columns, params.FilterIndex, params.FileName)) return false;
    (GOpenFunc ? GOpenFunc : ShellOpenMaximized)(params.FileName);
  } catch (Exception& e) {
    PrependTranslatedExceptionLine(e, "SErrorSaveLog", L"Error saving log");
    throw;
  }
  return true;
}
