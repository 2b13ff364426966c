// Log columns and the row reader: the cell texts and colours of messages, errors and calls,
// hidden columns and parameters, and the column layout saved under "log:columns".
#include "Tracer/app/uTEQColumns.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Tracer/app/uInterfaceServices.h"
#include "Tracer/com/uMiniComServer.h"
#include "Tracer/engine/uEventQueue.h"
#include "Tracer/engine/uTracerEventParams.h"
#include "Tracer/foundation/uSingletons.h"
#include "Tracer/foundation/uUtils.h"
#include "LogTestSupport.h"
#include "support/TestSupport.h"

namespace {

// Parameters joined as the log view joins them: name=value, one blank between.
class TTestReader : public TSimpleTEQReader {
public:
  using TSimpleTEQReader::TSimpleTEQReader;
  void AppendParamText(ITracerEventParam* param, std::wstring& text) override {
    if (!text.empty()) text += L" ";
    TBStr name;
    OleCheck(param->get_Name(name.Put()));
    std::wstring value;
    GetParamText(param, value);
    text += name.Str() + L"=" + value;
  }
};

using TParam = TLogParam;


class TEQColumns : public testing::Test {
protected:
  static void SetUpTestSuite() {
    GetMiniComServer()->SetTypeLibFileName(TestBinDir() + L"Calderwisp.tlb");
    AddTestShutdown(FreeInstanceList);
  }
  void SetUp() override {
    for (const wchar_t* name : {L"Thread Id", L"Call", L"Time (ms)", L"Result", L"Parameters"}) Columns.AddColumn(name);
    GetTracerEventQueue()->Clear();
    TimeFormatDigits = 0;
  }
  void TearDown() override { GetTracerEventQueue()->Clear(); }

  // A call as the engine logs it: "result" first and hidden.
  static void AddCall(const std::wstring& title, uint32_t threadId, double time, int32_t result,
                      const std::vector<TParam>& params) {
    AddLogCall(title, threadId, time, result, params);
  }

  std::vector<std::wstring> Row(int index) {
    TTEQColumnValueStrDynArray cells;
    Reader.ReadRow(index, cells);
    std::vector<std::wstring> texts;
    for (size_t i = 0; i < cells.size(); ++i) {
      EXPECT_EQ(cells[i].Column, Columns.VisibleColumns().GetItem(static_cast<int>(i)));
      texts.push_back(cells[i].Text);
    }
    return texts;
  }

  TTEQColumnManager Columns;
  TTestReader Reader{&Columns};
};

using TTexts = std::vector<std::wstring>;

}  // namespace

TEST_F(TEQColumns, CellTextsOfMessagesErrorsAndCalls) {
  GetTracerEventQueue()->AddMessage(L"Start");
  GetTracerEventQueue()->AddError(L"cannot resolve \"x\"");
  AddCall(L"OCIStmtExecute", 0x1234, 12.5, 0,
          {{L"hStmt", TOleVariant(5), true}, {L"sql", TOleVariant(L"select 1"), true}, {L"hidden", TOleVariant(7), false}});
  AddCall(L"OCIHandleFree", 7, -1, -2, {{L"h", TOleVariant(9), false}});

  struct TCase {
    int row;
    TTexts texts;
  } cases[] = {
      {0, {L"", L"Start", L"", L"", L""}},
      {1, {L"", L"Error", L"", L"", L"'cannot resolve \"x\"'"}},
      {2, {L"4660", L"OCIStmtExecute", L"13", L"0", L"hStmt=5 sql='select 1'"}},
      // No time known; the only parameter besides the hidden "result" is hidden itself.
      {3, {L"7", L"OCIHandleFree", L"", L"-2", L""}},
  };
  for (const TCase& c : cases) EXPECT_EQ(Row(c.row), c.texts) << "row " << c.row;

  // The reader answers values too: the thread id and time as numbers, parameters as objects.
  TTEQColumnValueDynArray values;
  Reader.ReadValues(VisibleEvent(2).Get(), values);
  ASSERT_EQ(values.size(), 5u);
  EXPECT_EQ(values[0].Value.Type(), VT_I4);
  EXPECT_EQ(values[2].Value.Type(), VT_R8);
  EXPECT_EQ(values[2].Value.dblVal, 12.5);
  EXPECT_EQ(values[4].Value.Type(), VT_DISPATCH);
  Reader.ReadValues(VisibleEvent(0).Get(), values);
  for (int i : {0, 2, 3, 4}) EXPECT_TRUE(values[i].Value.IsEmpty()) << "message column " << i;

  // An index outside the visible events raises.
  TTEQColumnValueStrDynArray cells;
  EXPECT_THROW(Reader.ReadRow(4, cells), Exception);
}

TEST_F(TEQColumns, HiddenColumnsLeaveTheirCellsOutAndTheCachedRowFollows) {
  AddCall(L"f", 3, 2, 1, {{L"a", TOleVariant(1), true}});
  EXPECT_EQ(Row(0), (TTexts{L"3", L"f", L"2", L"1", L"a=1"}));
  Columns.AllColumns().GetItem(2)->SetVisible(false);
  Columns.UpdateVisibleColumns();
  EXPECT_EQ(Row(0), (TTexts{L"3", L"f", L"1", L"a=1"}));
  TimeFormatDigits = 2;
  Columns.AllColumns().GetItem(2)->SetVisible(true);
  Columns.UpdateVisibleColumns();
  std::wstring twoDigits;
  FormatTimeMs(twoDigits, 2);
  EXPECT_EQ(Row(0)[2], twoDigits);
  // The log cleared and filled again: the same index is another event.
  GetTracerEventQueue()->Clear();
  AddCall(L"g", 4, 2, 1, {});
  EXPECT_EQ(Row(0)[1], L"g");
}

TEST_F(TEQColumns, RowColoursOfErrorsAndAlternatingRows) {
  GetTracerEventQueue()->AddMessage(L"Start");
  AddCall(L"f", 1, 1, 0, {});
  GetTracerEventQueue()->AddError(L"boom");
  AddCall(L"g", 1, 1, 0, {});
  struct TCase {
    int row;
    uint32_t text, back;
  } cases[] = {
      {0, 0, 0x00E8FFF8},
      {1, 0, 0xFF000005},
      {2, 0x00FFFFFF, 0x000000FF},
      {3, 0, 0xFF000005},
  };
  for (const TCase& c : cases) {
    int32_t text = -1, back = -1;
    Reader.GetRowColors(c.row, text, back);
    EXPECT_EQ(static_cast<uint32_t>(text), c.text) << "row " << c.row;
    EXPECT_EQ(static_cast<uint32_t>(back), c.back) << "row " << c.row;
  }
}

TEST_F(TEQColumns, HighlightRulesColourTheRowsTheyMatch) {
  AddCall(L"OCIStmtExecute", 1, 1, 0, {{L"sql", TOleVariant(L"select 1"), true}});
  AddCall(L"OCIStmtFetch", 1, 1, 0, {{L"rows", TOleVariant(3), true}});
  GetTracerEventQueue()->AddError(L"select failed");
  AddCall(L"OCIHandleFree", 1, 1, 0, {});
  TColorInfos* rules = GetColorInfos();
  rules->Clear();
  auto rule = [&](const wchar_t* search, int32_t fore, int32_t back) {
    TColorInfo* r = rules->Add();
    r->SearchStr = search;
    r->ForeColor = fore;
    r->BackColor = back;
  };
  rule(L"", 0x111111, 0x111111);          // an empty search text matches nothing
  rule(L"select", 0x0000FF, 0x00FF00);    // a parameter text
  rule(L"Stmt", 0x222222, 0x333333);      // the call column, but listed after "select"
  rule(L"SELECT", 0x444444, 0x444444);    // letter case counts
  struct TCase {
    int row;
    uint32_t text, back;
  } cases[] = {
      {0, 0x0000FF, 0x00FF00},     // both "select" and "Stmt" occur: the first rule wins
      {1, 0x222222, 0x333333},     // only "Stmt"
      {2, 0x00FFFFFF, 0x000000FF}, // errors stay white on red
      {3, 0, 0xFF000005},          // no rule matches
  };
  for (const TCase& c : cases) {
    int32_t text = -1, back = -1;
    Reader.GetRowColors(c.row, text, back);
    EXPECT_EQ(static_cast<uint32_t>(text), c.text) << "row " << c.row;
    EXPECT_EQ(static_cast<uint32_t>(back), c.back) << "row " << c.row;
  }
  // A rule matching only a hidden column has no effect.
  Columns.AllColumns().GetItem(colParams)->SetVisible(false);
  Columns.UpdateVisibleColumns();
  int32_t text = -1, back = -1;
  Reader.GetRowColors(0, text, back);
  EXPECT_EQ(static_cast<uint32_t>(text), 0x222222u);
  rules->Clear();
}

namespace {

std::string ColumnsFile(const std::string& columns) {
  return "<?xml version=\"1.0\"?>\r\n<propertyset name=\"calderwisp:properties\">\r\n"
         "<propertyset name=\"log:columns\">\r\n" +
         columns + "</propertyset>\r\n</propertyset>\r\n";
}

std::string Column(int id, bool visible, int width) {
  return "<propertyset name=\"column\"><property name=\"ColumnId\" value=\"" + std::to_string(id) +
         "\"/><property name=\"Visible\" value=\"" + (visible ? "True" : "False") +
         "\"/><property name=\"Width\" value=\"" + std::to_string(width) + "\"/></propertyset>\r\n";
}

}  // namespace

TEST_F(TEQColumns, ColumnSettingsAreWrittenAndReadBack) {
  TTempDir dir;
  Columns.AllColumns().GetItem(2)->SetVisible(false);
  Columns.AllColumns().GetItem(4)->SetWidth(300);
  Columns.UpdateVisibleColumns();
  {
    TXMLFiler filer(L"calderwisp:properties");
    filer.RegisterObject(&Columns, L"log:columns");
    filer.SaveToFile(dir.File(L"settings.xml"));
  }
  const std::string saved = ReadTextFile(dir.File(L"settings.xml"));
  size_t sets = 0;
  for (size_t pos = 0; (pos = saved.find("name=\"column\"", pos)) != std::string::npos; ++pos) ++sets;
  EXPECT_EQ(sets, 5u) << "one set per column, hidden ones included\n" << saved;

  TTEQColumnManager loaded;
  for (int i = 0; i < 5; ++i) loaded.AddColumn(L"c" + std::to_wstring(i));
  {
    TXMLFiler filer(L"calderwisp:properties");
    filer.RegisterObject(&loaded, L"log:columns");
    filer.LoadFromFile(dir.File(L"settings.xml"));
  }
  std::vector<int32_t> ids;
  for (TTEQColumn* c : loaded.VisibleColumns()) ids.push_back(c->ColumnId());
  EXPECT_EQ(ids, (std::vector<int32_t>{0, 1, 3, 4}));
  EXPECT_EQ(loaded.AllColumns().GetItem(4)->Width(), 300);
  EXPECT_FALSE(loaded.AllColumns().GetItem(2)->Visible());

  // An unknown id is ignored; a column that fails costs no other and is kept once, as written,
  // not also as loaded, so the next start reads the same columns.
  // Sets: the column sets saved, the kept one among them.
  const struct { std::string Columns; std::wstring Message; std::vector<int32_t> Visible; size_t Sets; std::string Kept; } cases[] = {
      {Column(9, false, 1) + Column(1, false, 55) +
           "<propertyset name=\"column\"><property name=\"Width\" value=\"1\"/></propertyset>\r\n" + Column(3, false, 1),
       L"Required property \"ColumnId\" not found", {0, 2, 4}, 6,
       "<propertyset name=\"column\">\r\n\t\t\t<property name=\"Width\" value=\"1\"/>"},
      {Column(1, false, 55) + "<propertyset name=\"column\"><property name=\"ColumnId\" value=\"3\"/><property name=\"Visible\" "
                              "value=\"False\"/><property name=\"Width\" value=\"wide\"/></propertyset>\r\n" + Column(4, false, 1),
       L"Could not convert \"wide\"", {0, 2, 3}, 5, "value=\"wide\""},
  };
  for (const auto& c : cases) {
    WriteTextFile(dir.File(L"odd.xml"), ColumnsFile(c.Columns));
    TTEQColumnManager odd;
    for (int i = 0; i < 5; ++i) odd.AddColumn(L"c" + std::to_wstring(i));
    TXMLFiler filer(L"calderwisp:properties");
    filer.RegisterObject(&odd, L"log:columns");
    EXPECT_NE(MessageOf([&] { filer.LoadFromFile(dir.File(L"odd.xml")); }).find(c.Message), std::wstring::npos);
    ids.clear();
    for (TTEQColumn* col : odd.VisibleColumns()) ids.push_back(col->ColumnId());
    EXPECT_EQ(ids, c.Visible) << c.Columns;
    EXPECT_EQ(odd.AllColumns().GetItem(1)->Width(), 55) << c.Columns;
    filer.SaveToFile(dir.File(L"odd.xml"));
    const std::string saved = ReadTextFile(dir.File(L"odd.xml"));
    size_t sets = 0;
    for (size_t pos = 0; (pos = saved.find("name=\"column\"", pos)) != std::string::npos; ++pos) ++sets;
    EXPECT_TRUE(sets == c.Sets && saved.find(c.Kept) != std::string::npos) << saved;
  }
  std::wstring caption;
  loaded.AllColumns().GetItem(4)->GetCaption(caption);
  EXPECT_EQ(caption, L"c4");
}
