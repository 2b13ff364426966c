// The spreadsheet export against a stand-in for "Excel.Application" (tests/fixtures/excelfix,
// registered in the build's private prefix by this suite only): the sequence of calls it
// receives, its quit after every failure, the replacement of an existing file, the width
// ratio, a log without visible columns and the palette of 56 colours.
#include "Tracer/app/uReportWriters.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "LogTestSupport.h"
#include "Tracer/app/uSaveLog.h"
#include "Tracer/engine/uEventQueue.h"
#include "support/TestSupport.h"

namespace {

const wchar_t* const ExcelFixClass = L"{6A2E4C71-3B9D-4E25-8C14-7F0A5D3E9B62}";

void SetValue(const std::wstring& path, const wchar_t* name, const std::wstring& value) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS,
            RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr));
  RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
}

void RegisterExcelFix() {
  SetValue(std::wstring(L"CLSID\\") + ExcelFixClass + L"\\InprocServer32", nullptr, TestBinDir() + L"excelfix.dll");
  SetValue(std::wstring(L"CLSID\\") + ExcelFixClass + L"\\InprocServer32", L"ThreadingModel", L"Apartment");
  SetValue(L"Excel.Application\\CLSID", nullptr, ExcelFixClass);
}

void UnregisterExcelFix() { RegDeleteTreeW(HKEY_CLASSES_ROOT, L"Excel.Application"); }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    lines.push_back(text.substr(start, end - start));
  return lines;
}

std::string Num(uint32_t n) { return std::to_string(static_cast<int32_t>(n)); }

class ExcelExport : public testing::Test {
protected:
  void SetUp() override {
    RegisterExcelFix();
    AddDefaultColumns(Columns);
    SetEnvironmentVariableW(L"EXCELFIX_LOG", Dir.File(L"calls.txt").c_str());
    SetEnvironmentVariableW(L"EXCELFIX_FAIL", nullptr);
    SetEnvironmentVariableW(L"EXCELFIX_COLUMN", nullptr);
  }
  void TearDown() override {
    SetEnvironmentVariableW(L"EXCELFIX_LOG", nullptr);
    SetEnvironmentVariableW(L"EXCELFIX_FAIL", nullptr);
    SetEnvironmentVariableW(L"EXCELFIX_COLUMN", nullptr);
  }

  // Only the call and result columns, 120 and 60 pixels wide.
  void TwoColumns() {
    for (int id : {colThreadId, colTime, colParams}) Columns.AllColumns().GetItem(id)->SetVisible(false);
    Columns.AllColumns().GetItem(colCall)->SetWidth(120);
    Columns.AllColumns().GetItem(colResult)->SetWidth(60);
    Columns.UpdateVisibleColumns();
  }

  // The failure's message, or "" when the export succeeded.
  std::wstring Export(const std::wstring& target, bool replace = false, IProgressCallback* progress = nullptr) {
    TXLSReportWriter writer(&Columns);
    writer.ReplaceExisting = replace;
    try {
      writer.Write(target, progress);
    } catch (const Exception& e) {
      return e.Message();
    }
    Palette = writer.Palette();
    return std::wstring();
  }
  std::vector<std::string> Calls() {
    try {
      return Lines(ReadTextFile(Dir.File(L"calls.txt")));
    } catch (...) {
      return {};
    }
  }

  TLogScope Log;
  TTEQColumnManager Columns;
  TTempDir Dir;
  std::vector<COLORREF> Palette;
};

// The calls of one cell: its range, its value, four thin borders.
void ExpectCell(std::vector<std::string>& expected, const std::string& cell, const std::string& value) {
  expected.push_back("Worksheet.Range(\"" + cell + "\", \"" + cell + "\")");
  expected.push_back("Range.Value() = \"" + value + "\"");
  for (const char* index : {"8", "9", "10", "7"}) {
    expected.push_back("Range.Borders()");
    expected.push_back(std::string("Borders.Item(") + index + ")");
    expected.push_back("Border.LineStyle() = 1");
    expected.push_back("Border.Weight() = 2");
    expected.push_back("Border.ColorIndex() = -4105");
  }
}

}  // namespace

TEST_F(ExcelExport, TheStandInReceivesTheExpectedCallsAndSavesTheCells) {
  TwoColumns();
  GetTracerEventQueue()->AddMessage(L"m");
  const std::wstring target = Dir.File(L"log.xls");
  ASSERT_EQ(Export(target), L"");

  const uint32_t captionText = GetSysColor(COLOR_BTNTEXT), captionBack = GetSysColor(COLOR_BTNFACE);
  std::vector<std::string> expected = {
      "(created)",
      "Application.Workbooks()",
      "Workbooks.Add(-4167)",
      "Workbook.Sheets()",
      "Sheets.Add(null, null, 1, -4167)",
      // Width 48 points over ColumnWidth 8 characters: 6 points per character.
      "Worksheet.Columns()",
      "Range.Range(\"A1\", \"A1\")",
      "Range.Width()",
      "Range.ColumnWidth()",
      "Range.ColumnWidth() = 20",
      "Worksheet.Columns()",
      "Range.Range(\"B1\", \"B1\")",
      "Range.ColumnWidth() = 10",
      "Worksheet.Range(\"A1\", \"B1\")",
      "Range.Font()",
      "Font.Name() = \"Arial\"",
      "Font.Size() = 8",
      "Workbook.Colors(1) = " + Num(captionText),
      "Font.Color() = " + Num(captionText),
      "Range.Interior()",
      "Workbook.Colors(2) = " + Num(captionBack),
      "Interior.Color() = " + Num(captionBack),
  };
  ExpectCell(expected, "A1", "Call");
  ExpectCell(expected, "B1", "Result");
  expected.push_back("Worksheet.Range(\"A2\", \"B2\")");
  expected.push_back("Range.Font()");
  expected.push_back("Font.Name() = \"Arial\"");
  expected.push_back("Font.Size() = 8");
  // Black text is already in the palette when the caption's text is black.
  if (captionText != 0) expected.push_back("Workbook.Colors(3) = 0");
  expected.push_back("Font.Color() = 0");
  expected.push_back("Range.Interior()");
  expected.push_back("Workbook.Colors(" + std::to_string(captionText != 0 ? 4 : 3) + ") = " + Num(0x00E8FFF8));
  expected.push_back("Interior.Color() = " + Num(0x00E8FFF8));
  ExpectCell(expected, "A2", "m");
  ExpectCell(expected, "B2", "");
  expected.push_back("Workbook.SaveAs(\"" + WideToAnsi(target) +
                     "\", -4143, null, null, false, false, 1, 1, false, null, null)");
  expected.push_back("Application.Quit()");
  EXPECT_EQ(Calls(), expected);
  EXPECT_EQ(ReadTextFile(target), "excelfix workbook\nA1=Call\nB1=Result\nA2=m\nB2=\n");
}

TEST_F(ExcelExport, ParametersAreOneLineEach) {
  for (int id : {colThreadId, colCall, colTime, colResult}) Columns.AllColumns().GetItem(id)->SetVisible(false);
  Columns.UpdateVisibleColumns();
  AddLogCall(L"f", 1, 1, 0, {{L"a", TOleVariant(1)}, {L"b", TOleVariant(L"x")}});
  const std::wstring target = Dir.File(L"log.xls");
  ASSERT_EQ(Export(target), L"");
  EXPECT_EQ(ReadTextFile(target), "excelfix workbook\nA1=Parameters\nA2=a = 1\r\nb = 'x'\n");
}

TEST_F(ExcelExport, TheApplicationIsToldToQuitAfterEveryFailure) {
  TwoColumns();
  GetTracerEventQueue()->AddMessage(L"m");
  struct TCase {
    const wchar_t* fail;
    bool saved;  // whether the workbook is saved before the quit
  } cases[] = {
      {L"Sheets.Add#1", false},        // while opening
      {L"Range.Width#1", false},       // while sizing the columns
      {L"Range.Value#3", true},        // in the first event row
      {L"Border.Weight#5", true},      // a border of the second caption cell
      {L"Workbook.Colors#2", true},    // a palette entry
      {L"Workbook.SaveAs#1", true},    // the save itself
  };
  for (const TCase& c : cases) {
    DeleteFileW(Dir.File(L"calls.txt").c_str());
    SetEnvironmentVariableW(L"EXCELFIX_FAIL", c.fail);
    const std::wstring target = Dir.File(std::wstring(L"log") + std::to_wstring(&c - cases) + L".xls");
    const std::wstring key = std::wstring(c.fail).substr(0, std::wstring(c.fail).find(L'#'));
    EXPECT_EQ(Export(target), L"excelfix: " + key + L" failed") << WideToAnsi(c.fail);
    const std::vector<std::string> calls = Calls();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), "Application.Quit()") << WideToAnsi(c.fail);
    bool saveSeen = false;
    for (const std::string& call : calls) saveSeen |= call.starts_with("Workbook.SaveAs(");
    EXPECT_EQ(saveSeen, c.saved) << WideToAnsi(c.fail);
  }
}

TEST_F(ExcelExport, AnExistingFileIsReplacedOnlyWhenTheUserChoseIt) {
  GetTracerEventQueue()->AddMessage(L"m");
  const std::wstring target = Dir.File(L"old.xls");
  WriteTextFile(target, "old");
  EXPECT_EQ(Export(target), L"The file \"" + target + L"\" already exists.");
  EXPECT_TRUE(Calls().empty()) << "the application was not even started";
  EXPECT_EQ(ReadTextFile(target), "old");

  EXPECT_EQ(Export(target, true), L"");
  EXPECT_EQ(ReadTextFile(target).rfind("excelfix workbook\n", 0), 0u);
}

TEST_F(ExcelExport, WidthRatioIsNeverZero) {
  TwoColumns();
  struct TCase {
    const wchar_t* column;  // Width and ColumnWidth of a column range
    const char* firstWidth;
  } cases[] = {{L"5,8", "120"}, {L"0,0", "120"}, {L"49.6,8.4", "20"}};
  for (const TCase& c : cases) {
    DeleteFileW(Dir.File(L"calls.txt").c_str());
    SetEnvironmentVariableW(L"EXCELFIX_COLUMN", c.column);
    ASSERT_EQ(Export(Dir.File(L"w" + std::to_wstring(&c - cases) + L".xls")), L"");
    const std::vector<std::string> calls = Calls();
    EXPECT_NE(std::find(calls.begin(), calls.end(), std::string("Range.ColumnWidth() = ") + c.firstWidth), calls.end())
        << WideToAnsi(c.column);
  }
}

TEST_F(ExcelExport, WithEveryColumnHiddenTheWorkbookIsStillSaved) {
  for (TTEQColumn* c : Columns.AllColumns()) c->SetVisible(false);
  Columns.UpdateVisibleColumns();
  GetTracerEventQueue()->AddMessage(L"m");
  ASSERT_EQ(Export(Dir.File(L"none.xls")), L"");
  const std::vector<std::string> calls = Calls();
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[calls.size() - 2].rfind("Workbook.SaveAs(", 0), 0u);
  EXPECT_EQ(calls.back(), "Application.Quit()");
  for (const std::string& call : calls) EXPECT_EQ(call.find("Range("), std::string::npos) << call;
}

TEST_F(ExcelExport, ThePaletteTakesTheFirst56ColoursInOrderOfUse) {
  TwoColumns();
  TColorInfos* rules = GetColorInfos();
  rules->Clear();
  // Thirty rows, each with a text and background colour of its own: sixty colours.
  for (int i = 0; i < 30; ++i) {
    TColorInfo* rule = rules->Add();
    rule->SearchStr = L"row" + std::to_wstring(i) + L";";
    rule->ForeColor = 0x010000 * (2 * i + 1);
    rule->BackColor = 0x010000 * (2 * i + 2);
    GetTracerEventQueue()->AddMessage(L"row" + std::to_wstring(i) + L";");
  }
  ASSERT_EQ(Export(Dir.File(L"colours.xls")), L"");
  rules->Clear();
  std::vector<COLORREF> expected = {GetSysColor(COLOR_BTNTEXT), GetSysColor(COLOR_BTNFACE)};
  for (int i = 0; expected.size() < 56; ++i) {
    expected.push_back(0x010000 * (2 * i + 1));
    if (expected.size() < 56) expected.push_back(0x010000 * (2 * i + 2));
  }
  EXPECT_EQ(Palette, expected);
  int entries = 0;
  for (const std::string& call : Calls())
    if (call.starts_with("Workbook.Colors(")) {
      ++entries;
      EXPECT_EQ(call, "Workbook.Colors(" + std::to_string(entries) + ") = " + Num(expected[entries - 1]));
    }
  EXPECT_EQ(entries, 56);
  // A colour met after that is given as it is.
  const std::vector<std::string> calls = Calls();
  EXPECT_NE(std::find(calls.begin(), calls.end(), "Font.Color() = " + Num(0x010000 * 59)), calls.end());
}

TEST_F(ExcelExport, WithoutTheApplicationTheExportFailsWithItsOwnFirstLine) {
  UnregisterExcelFix();
  TComPtr<IDispatch> app;
  try {
    TXLSReportWriter::CreateExcelApplication(app);
    ADD_FAILURE() << "created without a registered class";
  } catch (const Exception& e) {
    const std::vector<std::wstring> lines = SplitLines(e.Message());
    ASSERT_GE(lines.size(), 2u) << e.Message();
    EXPECT_EQ(lines[0], L"Cannot start Microsoft Excel");
  }
  EXPECT_EQ(SplitLines(Export(Dir.File(L"x.xls")))[0], L"Cannot start Microsoft Excel");
  RegisterExcelFix();
}

TEST_F(ExcelExport, TheSpreadsheetCanBeWrittenOnlyWhenItsApplicationStarts) {
  EXPECT_TRUE(CanWriteExcel());
  EXPECT_EQ(Calls(), (std::vector<std::string>{"(created)", "Application.Quit()"})) << "asked once, then told to quit";
  UnregisterExcelFix();
  EXPECT_FALSE(CanWriteExcel());
  RegisterExcelFix();
}
