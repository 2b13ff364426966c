// The trace log saved as a CSV file, an HTML page or a spreadsheet made by "Excel.Application"
// through late-bound automation. The base writer owns the flow: header, caption row, one row
// per visible event (with a progress call after each), footer; once the target is open the
// footer and the close always run.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Tracer/app/uInterfaceServices.h"
#include "Tracer/app/uTEQColumns.h"
#include "Tracer/foundation/uHolders.h"
#include "Tracer/foundation/uWideStrUtils.h"

// Told after every event row; answers false to stop the export after that row.
class IProgressCallback {
public:
  virtual bool Progress(int32_t position, int32_t max) = 0;

protected:
  ~IProgressCallback() = default;
};

class TReportWriter : public TObject {
public:
  explicit TReportWriter(std::unique_ptr<TSimpleTEQReader> reader);
  // Writes the whole export; progress may be nil.
  void Write(const std::wstring& fileName, IProgressCallback* progress);
  TSimpleTEQReader* Reader() const { return FReader.get(); }
  int32_t RowIndex() const { return FRowIndex; }

protected:
  virtual void Open(const std::wstring& fileName) = 0;
  virtual void Close() = 0;
  virtual void WriteHeader() {}
  virtual void WriteFooter() {}
  virtual void BeginRow() { ++FRowIndex; }
  virtual void EndRow() {}
  virtual void WriteCell(const std::wstring& text) = 0;
  // One cell of an event row (the HTML writer keeps its parameters markup).
  virtual void WriteValueCell(const TTEQColumnValueStr& cell) { WriteCell(cell.Text); }
  void WriteCaptionRow();
  void WriteRows(IProgressCallback* progress);
  void WriteRowCells(const TTEQColumnValueStrDynArray& cells);
  const TTEQColumns& VisibleColumns() const { return FReader->ColumnManager()->VisibleColumns(); }

  int32_t FRowIndex = -1;

private:
  std::unique_ptr<TSimpleTEQReader> FReader;
};

// Writes single-byte text to a file through a buffer: one system call per 64 KB, not per cell.
class TTextReportWriter : public TReportWriter {
public:
  using TReportWriter::TReportWriter;
  ~TTextReportWriter() override;

protected:
  void Open(const std::wstring& fileName) override;
  // Writes what is buffered and closes the file.
  void Close() override;
  // Wide text in the ANSI code page, then CR LF.
  void PrintLn(const std::wstring& text);
  // Bytes as they are.
  void PrintBytes(const std::string& bytes);
  void PrintBytesLn(const std::string& bytes);

private:
  class TBufferedStream;
  std::unique_ptr<TWideFileStream> FStream;
  std::unique_ptr<TBufferedStream> FBuffer;
  std::unique_ptr<TPrintStream> FPrinter;
};

// Fields in double quotes (a quote inside doubled), each followed by ";", rows ending CR LF.
class TCSVReportWriter : public TTextReportWriter {
public:
  explicit TCSVReportWriter(TTEQColumnManager* columnManager);

protected:
  void EndRow() override;
  void WriteCell(const std::wstring& text) override;

private:
  // The row's fields, converted and written at its end (one conversion per row).
  std::wstring FLine;
};

// A table with one coloured row per event. Traced text is escaped, so it never becomes
// markup; characters beyond ASCII are written as character references, so the page reads
// the same in any code page.
class THTMLReportWriter : public TTextReportWriter {
public:
  explicit THTMLReportWriter(TTEQColumnManager* columnManager);

protected:
  void WriteHeader() override;
  void WriteFooter() override;
  void BeginRow() override;
  void EndRow() override;
  void WriteCell(const std::wstring& text) override;
  void WriteValueCell(const TTEQColumnValueStr& cell) override;

private:
  void PrintCell(const std::wstring& markup);
  std::wstring FCells;
};

// The palette of a workbook holds at most this many colours.
constexpr int MaxPaletteColors = 56;

// One worksheet filled cell by cell through "Excel.Application"; the workbook is saved in
// Close and the application always told to quit, also after a failure.
class TXLSReportWriter : public TReportWriter {
public:
  explicit TXLSReportWriter(TTEQColumnManager* columnManager);
  ~TXLSReportWriter() override;
  // The application object as _Application; a failure reads "Cannot start Microsoft Excel"
  // and then its reason.
  static void CreateExcelApplication(TComPtr<IDispatch>& app);
  // Tells the application object to quit.
  static void QuitApplication(IDispatch* app);
  // Whether an existing file of that name may be replaced (the user chose it); otherwise the
  // export refuses to start.
  bool ReplaceExisting = false;

  struct TFont {
    std::wstring Name = L"Arial";
    int32_t Size = 8;
  };
  const std::vector<COLORREF>& Palette() const { return FPalette; }

protected:
  void Open(const std::wstring& fileName) override;
  void Close() override;
  void BeginRow() override;
  void WriteCell(const std::wstring& text) override;

private:
  void AddWorkbook();
  void AddWorksheet();
  void SetColumnWidths();
  void SaveWorkbook();
  void QuitExcel();
  // The colour to give Excel: added to the workbook's palette while it has room.
  int32_t GetPaletteColor(COLORREF rgb);

  int32_t FCellIndex = -1;
  TComPtr<IDispatch> FExcel;
  TComPtr<IDispatch> FWorkbook;
  TComPtr<IDispatch> FWorksheet;
  std::wstring FFileName;
  std::vector<COLORREF> FPalette;
  TFont FFont;
};

// The parameters cell of each format: "a=1 b='x'" (CSV), "<b>a</b>=1<br><b>b</b>='x'" (HTML,
// escaped), lines "a = 1" (spreadsheet).
class TCSVTEQReader : public TSimpleTEQReader {
public:
  using TSimpleTEQReader::TSimpleTEQReader;
  void AppendParamText(ITracerEventParam* param, std::wstring& text) override;
};

class THTMLTEQReader : public TSimpleTEQReader {
public:
  using TSimpleTEQReader::TSimpleTEQReader;
  // The value as page text (escaped, line breaks as "<br>").
  void GetParamText(ITracerEventParam* param, std::wstring& text) override;
  void AppendParamText(ITracerEventParam* param, std::wstring& text) override;
};

class TXLSTEQReader : public TSimpleTEQReader {
public:
  using TSimpleTEQReader::TSimpleTEQReader;
  void AppendParamText(ITracerEventParam* param, std::wstring& text) override;
};

// Page text of a traced value: "&", "<", ">" and quotes escaped, characters beyond ASCII as
// character references, CR LF and LF as "<br>", an empty text as "&nbsp;".
std::wstring HTMLCellText(const std::wstring& text);
// $00BBGGRR as $RRGGBB.
uint32_t ColorToHTMLRGB(COLORREF color);
// Column letters: 0 is "A", 25 "Z", 26 "AA".
std::wstring ColumnLetter(int index);
