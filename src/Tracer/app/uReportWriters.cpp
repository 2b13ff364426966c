#include "Tracer/app/uReportWriters.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "Tracer/engine/uEventQueue.h"
#include "Tracer/foundation/uOleVariant.h"
#include "Tracer/foundation/uRaise.h"
#include "Tracer/foundation/uVariants.h"

namespace {

// ---- late-bound calls ------------------------------------------------------------------------

const IID IID_ExcelApplication = {0x000208D5, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
const IID IID_ExcelWorksheet = {0x000208D8, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// Dispatch ids of the members used (the spreadsheet program's type library).
enum : DISPID {
  dispDefault = 0,
  dispValue = 0x06,
  dispColorIndex = 0x61,
  dispColor = 0x63,
  dispSize = 0x68,
  dispName = 0x6E,
  dispLineStyle = 0x77,
  dispWeight = 0x78,
  dispWidth = 0x7A,
  dispInterior = 0x81,
  dispFont = 0x92,
  dispAdd = 0xB5,
  dispRange = 0xC5,
  dispColumns = 0xF1,
  dispColumnWidth = 0xF2,
  dispSaveAs = 0x11C,
  dispColors = 0x11E,
  dispQuit = 0x12E,
  dispBorders = 0x1B3,
  dispSheets = 0x1E5,
  dispWorkbooks = 0x23C,
};

enum : int32_t {
  xlWBATWorksheet = -4167,
  xlWorksheet = -4167,
  xlWorkbookNormal = -4143,
  xlColorIndexAutomatic = -4105,
  xlContinuous = 1,
  xlThin = 2,
  xlExclusive = 1,
  xlUserResolution = 1,
};

// The borders every cell gets: left, top, bottom, right.
const int32_t kCellBorders[] = {8, 9, 10, 7};

// One call; args in call order, the value of a put last. Locale 0.
TOleVariant Invoke(IDispatch* target, DISPID id, WORD flags, std::initializer_list<VARIANT> args) {
  std::vector<VARIANTARG> reversed(args.begin(), args.end());
  std::reverse(reversed.begin(), reversed.end());
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS params = {reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  if (flags == DISPATCH_PROPERTYPUT) {
    params.rgdispidNamedArgs = &named;
    params.cNamedArgs = 1;
  }
  TOleVariant result;
  TExcepInfo excep;
  HRESULT hr = target->Invoke(id, IID_NULL, 0, flags, &params, flags == DISPATCH_PROPERTYPUT ? nullptr : result.Receive(),
                              &excep, nullptr);
  if (hr == DISP_E_EXCEPTION) {
    std::wstring text = BStrToWide(excep.bstrDescription);
    HRESULT code = FAILED(excep.scode) ? excep.scode : hr;
    throw EOleSysError(text.empty() ? OleErrorText(code) : text, code);
  }
  OleCheck(hr);
  return result;
}

TOleVariant Get(IDispatch* target, DISPID id, std::initializer_list<VARIANT> args = {}) {
  return Invoke(target, id, DISPATCH_METHOD | DISPATCH_PROPERTYGET, args);
}

TComPtr<IDispatch> GetObject(IDispatch* target, DISPID id, std::initializer_list<VARIANT> args = {}) {
  TOleVariant v = Get(target, id, args);
  if (v.vt != VT_DISPATCH || !v.pdispVal) OleCheck(DISP_E_TYPEMISMATCH);
  TComPtr<IDispatch> result;
  OleCheck(v.pdispVal->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(result.Put())));
  return result;
}

void Put(IDispatch* target, DISPID id, std::initializer_list<VARIANT> argsAndValue) {
  Invoke(target, id, DISPATCH_PROPERTYPUT, argsAndValue);
}

TOleVariant Method(IDispatch* target, DISPID id, std::initializer_list<VARIANT> args = {}) {
  return Invoke(target, id, DISPATCH_METHOD, args);
}

// Variants handed in by value; the texts live in the TOleVariant the caller keeps.
VARIANT Int(int32_t n) {
  VARIANT v;
  v.vt = VT_I4;
  v.lVal = n;
  return v;
}

VARIANT Real(double d) {
  VARIANT v;
  v.vt = VT_R8;
  v.dblVal = d;
  return v;
}

VARIANT Bool(bool b) {
  VARIANT v;
  v.vt = VT_BOOL;
  v.boolVal = b ? VARIANT_TRUE : VARIANT_FALSE;
  return v;
}

int32_t WholeNumber(const TOleVariant& value) {
  TOleVariant n;
  OleCheck(VariantChangeTypeEx(n.Receive(), const_cast<TOleVariant*>(&value), LOCALE_INVARIANT, 0, VT_R8));
  return static_cast<int32_t>(n.dblVal + (n.dblVal < 0 ? -0.5 : 0.5));
}

// ---- text ------------------------------------------------------------------------------------

void AppendHTMLText(std::wstring& out, const std::wstring& text) {
  for (size_t i = 0; i < text.size(); ++i) {
    const wchar_t c = text[i];
    switch (c) {
      case L'&': out += L"&amp;"; break;
      case L'<': out += L"&lt;"; break;
      case L'>': out += L"&gt;"; break;
      case L'"': out += L"&quot;"; break;
      case L'\'': out += L"&#39;"; break;
      case L'\n': out += L"<br>"; break;
      case L'\r':
        if (i + 1 < text.size() && text[i + 1] == L'\n') {
          out += L"<br>";
          ++i;
        } else {
          out += c;
        }
        break;
      default:
        if (c < 0x80) {
          out += c;
        } else {
          uint32_t code = c;
          if (c >= 0xD800 && c < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000)
            code = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
          out += L"&#" + std::to_wstring(code) + L";";
        }
    }
  }
}

std::wstring HTMLText(const std::wstring& text) {
  std::wstring out;
  out.reserve(text.size() + 16);
  AppendHTMLText(out, text);
  return out;
}

std::wstring ParamName(ITracerEventParam* param) {
  TBStr name;
  OleCheck(param->get_Name(name.Put()));
  return name.Str();
}

// Text colour and background of a row as RGB values.
void RowColors(TSimpleTEQReader& reader, bool captionRow, int eventIndex, COLORREF& text, COLORREF& back) {
  if (captionRow) {
    text = GetSysColor(COLOR_BTNTEXT);
    back = GetSysColor(COLOR_BTNFACE);
    return;
  }
  int32_t t = 0, b = 0;
  reader.GetRowColors(eventIndex, t, b);
  text = ColorToRGB(t);
  back = ColorToRGB(b);
}

}  // namespace

std::wstring HTMLCellText(const std::wstring& text) {
  return text.empty() ? std::wstring(L"&nbsp;") : HTMLText(text);
}

uint32_t ColorToHTMLRGB(COLORREF color) {
  return ((color & 0xFF) << 16) | (color & 0xFF00) | ((color >> 16) & 0xFF);
}

std::wstring ColumnLetter(int index) {
  std::wstring letters;
  for (int n = index + 1; n > 0; n = (n - 1) / 26) letters.insert(letters.begin(), static_cast<wchar_t>(L'A' + (n - 1) % 26));
  return letters;
}

// ---- readers ---------------------------------------------------------------------------------

void TCSVTEQReader::AppendParamText(ITracerEventParam* param, std::wstring& text) {
  if (!text.empty()) text += L' ';
  std::wstring value;
  GetParamText(param, value);
  text += ParamName(param) + L'=' + value;
}

void THTMLTEQReader::GetParamText(ITracerEventParam* param, std::wstring& text) {
  std::wstring value;
  TSimpleTEQReader::GetParamText(param, value);
  text = HTMLText(value);
}

void THTMLTEQReader::AppendParamText(ITracerEventParam* param, std::wstring& text) {
  if (!text.empty()) text += L"<br>";
  std::wstring value;
  GetParamText(param, value);
  text += L"<b>" + HTMLText(ParamName(param)) + L"</b>=" + value;
}

void TXLSTEQReader::AppendParamText(ITracerEventParam* param, std::wstring& text) {
  if (!text.empty()) text += L"\r\n";
  std::wstring value;
  GetParamText(param, value);
  text += ParamName(param) + L" = " + value;
}

// ---- TReportWriter ---------------------------------------------------------------------------

TReportWriter::TReportWriter(std::unique_ptr<TSimpleTEQReader> reader) : FReader(std::move(reader)) {}

void TReportWriter::Write(const std::wstring& fileName, IProgressCallback* progress) {
  Open(fileName);
  // Footer and close run whatever happens after the open; the first failure is the one raised.
  try {
    WriteHeader();
    try {
      WriteCaptionRow();
      WriteRows(progress);
    } catch (...) {
      try {
        WriteFooter();
      } catch (...) {
      }
      throw;
    }
    WriteFooter();
  } catch (...) {
    try {
      Close();
    } catch (...) {
    }
    throw;
  }
  Close();
}

void TReportWriter::WriteCaptionRow() {
  BeginRow();
  try {
    for (TTEQColumn* column : VisibleColumns()) {
      std::wstring caption;
      column->GetCaption(caption);
      WriteCell(caption);
    }
  } catch (...) {
    EndRow();
    throw;
  }
  EndRow();
}

void TReportWriter::WriteRowCells(const TTEQColumnValueStrDynArray& cells) {
  for (const TTEQColumnValueStr& cell : cells) WriteValueCell(cell);
}

void TReportWriter::WriteRows(IProgressCallback* progress) {
  // Events logged from here on are not part of this export.
  const int last = GetTracerEventQueue()->VisibleEvents()->List().Count() - 1;
  TTEQColumnValueStrDynArray cells;
  for (int i = 0; i <= last; ++i) {
    BeginRow();
    try {
      // The reader keeps the row it read last: the row colours asked at its start read it already.
      FReader->ReadRow(i, cells);
      WriteRowCells(cells);
    } catch (...) {
      EndRow();
      throw;
    }
    EndRow();
    if (progress && !progress->Progress(i, last)) break;
  }
}

// ---- TTextReportWriter -----------------------------------------------------------------------

class TTextReportWriter::TBufferedStream : public TStream {
public:
  explicit TBufferedStream(TStream& target) : FTarget(target) { FBuffer.reserve(kSize); }
  int32_t Read(void*, int32_t) override { return 0; }
  int32_t Write(const void* buffer, int32_t count) override {
    if (FBuffer.size() + count > kSize) Flush();
    if (static_cast<size_t>(count) >= kSize)
      FTarget.WriteBuffer(buffer, count);
    else
      FBuffer.append(static_cast<const char*>(buffer), count);
    return count;
  }
  int64_t Seek(int64_t, TSeekOrigin) override { return 0; }
  void Flush() {
    if (FBuffer.empty()) return;
    // What could not be written is dropped, so a second flush cannot fail the same way.
    std::string pending;
    pending.swap(FBuffer);
    FBuffer.reserve(kSize);
    FTarget.WriteBuffer(pending.data(), static_cast<int32_t>(pending.size()));
  }

private:
  static constexpr size_t kSize = 64 * 1024;
  TStream& FTarget;
  std::string FBuffer;
};

TTextReportWriter::~TTextReportWriter() = default;

void TTextReportWriter::Open(const std::wstring& fileName) {
  FStream = std::make_unique<TWideFileStream>(fileName, fmCreate);
  FBuffer = std::make_unique<TBufferedStream>(*FStream);
  FPrinter = std::make_unique<TPrintStream>(*FBuffer);
}

void TTextReportWriter::Close() {
  FPrinter.reset();
  try {
    if (FBuffer) FBuffer->Flush();
  } catch (...) {
    FBuffer.reset();
    FStream.reset();
    throw;
  }
  FBuffer.reset();
  FStream.reset();
}

void TTextReportWriter::PrintLn(const std::wstring& text) { FPrinter->PrintLn(WideToAnsi(text)); }
void TTextReportWriter::PrintBytes(const std::string& bytes) { FPrinter->Print(bytes); }
void TTextReportWriter::PrintBytesLn(const std::string& bytes) { FPrinter->PrintLn(bytes); }

// ---- TCSVReportWriter ------------------------------------------------------------------------

TCSVReportWriter::TCSVReportWriter(TTEQColumnManager* columnManager)
    : TTextReportWriter(std::make_unique<TCSVTEQReader>(columnManager)) {}

void TCSVReportWriter::EndRow() {
  std::wstring line;
  line.swap(FLine);
  PrintLn(line);
}

void TCSVReportWriter::WriteCell(const std::wstring& text) {
  FLine += L'"';
  for (wchar_t c : text) {
    if (c == L'"') FLine += L'"';
    FLine += c;
  }
  FLine += L"\";";
}

// ---- THTMLReportWriter -----------------------------------------------------------------------

THTMLReportWriter::THTMLReportWriter(TTEQColumnManager* columnManager)
    : TTextReportWriter(std::make_unique<THTMLTEQReader>(columnManager)) {}

void THTMLReportWriter::WriteHeader() {
  PrintBytesLn("<!doctype html system>");
  PrintBytesLn("<html><head><title>Calderwisp Log</title>");
  PrintBytes("<style type=\"text/css\">body{font-family: Verdana; font-size: 8pt;}");
  PrintBytes(
      ".thintable{ font-family: Verdana; font-size: 8pt;border-left: solid 1px black; border-top: solid 1px black;} "
      ".thintable tr td{border-bottom: solid 1px black; border-right: solid 1px black;} h1 {font-size: 14pt;}");
  PrintBytesLn("h1 {font-family: Verdana; font-size: 14pt;}</style></head>");
  PrintBytesLn("<body>");
  PrintBytesLn("<h1>Calderwisp Log</h1>");
  PrintBytesLn("<table border=0 cellspacing=0 cellpadding=2 class=\"thintable\" summary=\"report\">");
}

void THTMLReportWriter::WriteFooter() { PrintBytesLn("</table></body></html>"); }

void THTMLReportWriter::BeginRow() {
  TTextReportWriter::BeginRow();
  COLORREF text, back;
  RowColors(*Reader(), FRowIndex == 0, FRowIndex - 1, text, back);
  char tag[80];
  snprintf(tag, sizeof(tag), "<tr style=\"color: #%6.6X; background-color: #%6.6X;\">",
           static_cast<unsigned>(ColorToHTMLRGB(text)), static_cast<unsigned>(ColorToHTMLRGB(back)));
  PrintBytesLn(tag);
}

void THTMLReportWriter::EndRow() {
  std::wstring cells;
  cells.swap(FCells);
  PrintLn(cells + L"</tr>");
}

void THTMLReportWriter::PrintCell(const std::wstring& markup) {
  FCells += L"<td>";
  FCells += markup;
  FCells += L"</td>";
}

void THTMLReportWriter::WriteCell(const std::wstring& text) { PrintCell(HTMLCellText(text)); }

void THTMLReportWriter::WriteValueCell(const TTEQColumnValueStr& cell) {
  // The reader already made page text of the parameters (escaped values, its own tags).
  if (cell.Column->ColumnId() == colParams)
    PrintCell(cell.Text.empty() ? std::wstring(L"&nbsp;") : cell.Text);
  else
    WriteCell(cell.Text);
}

// ---- TXLSReportWriter ------------------------------------------------------------------------

TXLSReportWriter::TXLSReportWriter(TTEQColumnManager* columnManager)
    : TReportWriter(std::make_unique<TXLSTEQReader>(columnManager)) {}

TXLSReportWriter::~TXLSReportWriter() = default;

void TXLSReportWriter::CreateExcelApplication(TComPtr<IDispatch>& app) {
  try {
    CLSID classId;
    OleCheck(CLSIDFromProgID(L"Excel.Application", &classId));
    TComPtr<IUnknown> object;
    OleCheck(CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IID_IUnknown,
                              reinterpret_cast<void**>(object.Put())));
    TComPtr<IDispatch> result;
    OleCheck(object->QueryInterface(IID_ExcelApplication, reinterpret_cast<void**>(result.Put())));
    app = std::move(result);
  } catch (Exception& e) {
    PrependExceptionLine(e, L"Cannot start Microsoft Excel");
    throw;
  }
}

void TXLSReportWriter::Open(const std::wstring& fileName) {
  FPalette.clear();
  FFileName = fileName;
  if (!ReplaceExisting && GetFileAttributesW(fileName.c_str()) != INVALID_FILE_ATTRIBUTES)
    throw Exception(WideFormat(L"The file \"%ls\" already exists.", fileName.c_str()));
  CreateExcelApplication(FExcel);
  // Nothing closes what an open leaves behind: a failure here quits the application itself.
  try {
    AddWorkbook();
    AddWorksheet();
    FRowIndex = 0;
    SetColumnWidths();
  } catch (...) {
    FWorksheet.Reset();
    FWorkbook.Reset();
    try {
      QuitExcel();
    } catch (...) {
      FExcel.Reset();
    }
    throw;
  }
}

void TXLSReportWriter::AddWorkbook() {
  TComPtr<IDispatch> workbooks = GetObject(FExcel.Get(), dispWorkbooks);
  TOleVariant book = Method(workbooks.Get(), dispAdd, {Int(xlWBATWorksheet)});
  if (book.vt != VT_DISPATCH || !book.pdispVal) OleCheck(DISP_E_TYPEMISMATCH);
  OleCheck(book.pdispVal->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(FWorkbook.Put())));
}

void TXLSReportWriter::AddWorksheet() {
  TComPtr<IDispatch> sheets = GetObject(FWorkbook.Get(), dispSheets);
  TOleVariant sheet =
      Method(sheets.Get(), dispAdd, {NullOleVariant(), NullOleVariant(), Int(1), Int(xlWorksheet)});
  if (sheet.vt != VT_DISPATCH || !sheet.pdispVal) OleCheck(DISP_E_TYPEMISMATCH);
  OleCheck(sheet.pdispVal->QueryInterface(IID_ExcelWorksheet, reinterpret_cast<void**>(FWorksheet.Put())));
}

void TXLSReportWriter::SetColumnWidths() {
  // Points per character width, from the first column; never 0, so widths stay finite.
  int32_t ratio = -1;
  int k = 0;
  for (TTEQColumn* column : VisibleColumns()) {
    TOleVariant cell(ColumnLetter(k++) + L"1");
    TComPtr<IDispatch> columns = GetObject(FWorksheet.Get(), dispColumns);
    TComPtr<IDispatch> range = GetObject(columns.Get(), dispRange, {cell, cell});
    if (ratio < 0) {
      const int32_t width = WholeNumber(Get(range.Get(), dispWidth));
      const int32_t chars = WholeNumber(Get(range.Get(), dispColumnWidth));
      ratio = chars > 0 ? width / chars : 0;
      if (ratio < 1) ratio = 1;
    }
    Put(range.Get(), dispColumnWidth, {Real(static_cast<double>(column->Width()) / ratio)});
  }
}

void TXLSReportWriter::BeginRow() {
  TReportWriter::BeginRow();
  FCellIndex = -1;
  const int count = VisibleColumns().GetCount();
  // A row without columns has no cells to format.
  if (count == 0) return;
  COLORREF text, back;
  RowColors(*Reader(), FRowIndex == 1, FRowIndex - 2, text, back);
  TOleVariant first(WideFormat(L"A%d", FRowIndex));
  TOleVariant last(ColumnLetter(count - 1) + std::to_wstring(FRowIndex));
  TComPtr<IDispatch> range = GetObject(FWorksheet.Get(), dispRange, {first, last});
  TComPtr<IDispatch> font = GetObject(range.Get(), dispFont);
  TOleVariant fontName(FFont.Name);
  Put(font.Get(), dispName, {fontName});
  Put(font.Get(), dispSize, {Int(FFont.Size)});
  Put(font.Get(), dispColor, {Int(GetPaletteColor(text))});
  TComPtr<IDispatch> interior = GetObject(range.Get(), dispInterior);
  Put(interior.Get(), dispColor, {Int(GetPaletteColor(back))});
}

void TXLSReportWriter::WriteCell(const std::wstring& text) {
  ++FCellIndex;
  TOleVariant cell(ColumnLetter(FCellIndex) + std::to_wstring(FRowIndex));
  TComPtr<IDispatch> range = GetObject(FWorksheet.Get(), dispRange, {cell, cell});
  TOleVariant value(text);
  Put(range.Get(), dispValue, {value});
  for (int32_t index : kCellBorders) {
    TComPtr<IDispatch> borders = GetObject(range.Get(), dispBorders);
    TComPtr<IDispatch> border = GetObject(borders.Get(), dispDefault, {Int(index)});
    Put(border.Get(), dispLineStyle, {Int(xlContinuous)});
    Put(border.Get(), dispWeight, {Int(xlThin)});
    Put(border.Get(), dispColorIndex, {Int(xlColorIndexAutomatic)});
  }
}

int32_t TXLSReportWriter::GetPaletteColor(COLORREF rgb) {
  for (COLORREF c : FPalette)
    if (c == rgb) return static_cast<int32_t>(rgb);
  // A full palette stays as it is; Excel shows the colour nearest to the one given.
  if (FPalette.size() >= MaxPaletteColors) return static_cast<int32_t>(rgb);
  FPalette.push_back(rgb);
  Put(FWorkbook.Get(), dispColors, {Int(static_cast<int32_t>(FPalette.size())), Int(static_cast<int32_t>(rgb))});
  return static_cast<int32_t>(rgb);
}

void TXLSReportWriter::SaveWorkbook() {
  // The user chose to replace the file, and the application would ask again where nobody sees it.
  if (GetFileAttributesW(FFileName.c_str()) != INVALID_FILE_ATTRIBUTES)
    Win32CheckApi(DeleteFileW(FFileName.c_str()) != FALSE, "DeleteFileW");
  TOleVariant fileName(FFileName);
  Method(FWorkbook.Get(), dispSaveAs,
         {fileName, Int(xlWorkbookNormal), NullOleVariant(), NullOleVariant(), Bool(false), Bool(false),
          Int(xlExclusive), Int(xlUserResolution), Bool(false), NullOleVariant(), NullOleVariant()});
}

void TXLSReportWriter::QuitApplication(IDispatch* app) { Method(app, dispQuit); }

void TXLSReportWriter::QuitExcel() {
  if (!FExcel) return;
  TComPtr<IDispatch> excel = std::move(FExcel);
  QuitApplication(excel.Get());
}

void TXLSReportWriter::Close() {
  FWorksheet.Reset();
  try {
    if (FWorkbook) SaveWorkbook();
  } catch (...) {
    FWorkbook.Reset();
    // The save's failure is the one reported; the application goes all the same.
    try {
      QuitExcel();
    } catch (...) {
    }
    throw;
  }
  FWorkbook.Reset();
  QuitExcel();
}
