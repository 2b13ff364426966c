#include "Tracer/app/uSaveLog.h"

#include <memory>

#include "Tracer/app/fProgress.h"
#include "Tracer/app/uReportWriters.h"
#include "Tracer/foundation/uErrorReport.h"

namespace {

std::unique_ptr<TReportWriter> WriterFor(int filterIndex, TTEQColumnManager* columns) {
  switch (filterIndex) {
    case 1: return std::make_unique<TCSVReportWriter>(columns);
    case 2: return std::make_unique<THTMLReportWriter>(columns);
    case 3: {
      auto writer = std::make_unique<TXLSReportWriter>(columns);
      // The user chose the file in the dialog: an existing one is replaced, as by the others.
      writer->ReplaceExisting = true;
      return writer;
    }
  }
  CW_ASSERT(false, L"src/Tracer/uSaveLog", __LINE__);
  return nullptr;
}

}  // namespace

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

void WriteLogWithProgress(TForm* mainForm, TTEQColumnManager* columns, int filterIndex, const std::wstring& fileName) {
  std::unique_ptr<TReportWriter> writer = WriterFor(filterIndex, columns);
  auto progress = CreateForm<TfrmProgress>(mainForm);
  const HWND main = mainForm ? mainForm->Handle() : nullptr;
  if (main) EnableWindow(main, FALSE);
  try {
    progress->Show();
    writer->Write(fileName, progress.get());
  } catch (...) {
    if (main) EnableWindow(main, TRUE);
    throw;
  }
  if (main) EnableWindow(main, TRUE);
}

std::wstring FormatTimeStamp(const SYSTEMTIME& t) {
  return WideFormat(L"%4.4d%2.2d%2.2d", t.wYear, t.wMonth, t.wDay) +
         WideFormat(L"%2.2d%2.2d%2.2d", t.wHour, t.wMinute, t.wSecond);
}

std::wstring DefaultLogFileName() {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return L"Calderwisp Log " + FormatTimeStamp(now);
}
