// The real road: a client program calls Wine's odbc32 (SQLite's ODBC driver behind it), the
// engine traces it with the sample symbol file and its handler script, and the ODBC assembler
// rebuilds the statement from that log.
#include <gtest/gtest.h>

#include <sstream>

#include "EngineTestSupport.h"
#include "TraceHarness.h"
#include "VostikTestSupport.h"
#include "Tracer/engine/uDebugCore.h"
#include "Tracer/engine/uProcDefs.h"
#include "Tracer/engine/uSystemObjects.h"
#include "Tracer/foundation/uVariants.h"
#include "Tracer/foundation/uXMLFiler.h"
#include "vostik/uVostikDialects.h"

namespace {

// The "proc" entries of a symbol file, loaded as the symbol-file loader loads them.
void LoadSymbolFileProcs(const std::wstring& path, TTestDefs& defs) {
  std::string bytes = ReadTextFile(path);
  TComPtr<IXMLDOMNode> root = ParsePropertySet(Utf8ToWide(bytes));
  ASSERT_TRUE(root);
  TComPtr<IXMLDOMNode> child;
  root->get_firstChild(child.Put());
  while (child) {
    std::wstring name;
    if (IsPropertySetNode(child.Get())) ReadPropertySetName(child.Get(), name);
    if (name == L"proc") {
      TOleVariant url, result;
      ReadProperty(child.Get(), L"URL", VT_BSTR, url, true);
      ReadProperty(child.Get(), L"Result", VT_BSTR, result, false);
      const TDefClass* cls = nullptr;
      ASSERT_TRUE(GetProcTypeDefs()->FindType(result.IsEmpty() ? L"void" : result.AsBSTRText(), cls));
      std::unique_ptr<TProcDef> def = static_cast<const TProcDefClass*>(cls)->Create(url.AsBSTRText());
      def->LoadFromXML(child.Get());
      defs.Items.push_back(std::move(def));
    }
    TComPtr<IXMLDOMNode> next;
    child->get_nextSibling(next.Put());
    child = next;
  }
}

std::map<std::string, std::string> ReadReport(const std::wstring& file) {
  std::map<std::string, std::string> values;
  std::istringstream in(ReadTextFile(file));
  std::string line;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t eq = line.find('=');
    if (eq != std::string::npos) values[line.substr(0, eq)] = line.substr(eq + 1);
  }
  return values;
}

// The client run to its end under the harness with the sample symbol file loaded; what it
// reported. mode: empty, or "repeat".
void TraceOdbcClient(TTraceHarness& h, const std::wstring& mode, std::map<std::string, std::string>& values) {
  TTestDefs defs;
  LoadSymbolFileProcs(Bin(L"symbols\\odbc32.xml"), defs);
  ASSERT_EQ(defs.Items.size(), 8u);
  const std::wstring report = h.Dir.File(L"report.txt");
  GetDebugger()->Run(L"\"" + Bin(L"odbcclient.exe") + L"\" :memory: \"" + report + L"\" " + mode);
  ASSERT_TRUE(h.PumpUntil([] { return GetDebugger()->GetActive(); }, 20000));
  ASSERT_TRUE(h.WaitForEnd(60000));
  EXPECT_TRUE(h.Errors().empty()) << (h.Errors().empty() ? "" : WideToUtf8(h.Errors()[0].Value(L"msg")));
  values = ReadReport(report);
}

}  // namespace

TEST(OdbcRoad, TheAssemblerRebuildsTheStatementAClientRanThroughOdbc32) {
  TTraceHarness h;
  std::map<std::string, std::string> values;
  ASSERT_NO_FATAL_FAILURE(TraceOdbcClient(h, L"", values));

  // The driver ran the statement with these values.
  EXPECT_EQ(values["SQLExecute"], "0");
  EXPECT_EQ(values["rows"], "1");

  // The log as the main window would hand it over, focused on the insert's execute call.
  const int32_t handle = static_cast<int32_t>(std::stoul(values["handle"], nullptr, 16));
  auto calls = h.Calls();
  auto prepares = h.CallsOf(L"SQLPrepareW");
  ASSERT_EQ(prepares.size(), 2u);
  // The handler names the result, so the prepare call can end a walk.
  EXPECT_EQ(prepares[0].Value(L"result"), L"SQL_SUCCESS");
  ASSERT_EQ(h.CallsOf(L"SQLBindParameter").size(), 5u);
  int focus = -1;
  auto events = h.Events();
  for (size_t i = 0; i < events.size(); ++i)
    if (events[i].Text == L"SQLExecute" && SameHandle(*events[i].Find(L"StatementHandle"), handle))
      focus = static_cast<int>(i);
  ASSERT_GE(focus, 0);
  EXPECT_EQ(events[focus].Value(L"result"), L"SQL_SUCCESS");

  LONG state = 0;
  const TShownResult shown = AssembleLoggedRow<TODBCSQLAssembler>(focus, state);
  EXPECT_EQ(state, AppPluginActionVisible | AppPluginActionEnabled);
  ASSERT_EQ(shown.Count, 1);
  EXPECT_EQ(shown.SQL, L"insert into t (name, born, note, n)\r\nvalues (?, ?, ?, ?)\r\n");
  EXPECT_EQ(shown.AssembledSQL, L"insert into t (name, born, note, n)\r\nvalues ('O''Brien', " +
                                    VariantToText(Date(2024, 3, 5)) + L", (null), 42)\r\n");
  ASSERT_EQ(shown.Rows.size(), 4u);
  EXPECT_EQ(shown.Rows[0].Caption, L"PARAM 01");
  EXPECT_EQ(shown.Rows[0].DataType, L"-8");
  EXPECT_EQ(shown.Rows[3].Value, L"42");
}

// The common pattern: four parameters bound once, three executions with new values in the
// buffers (a non-ASCII text, a null through the indicator, dates), on each road a client takes:
// SQLPrepareW, SQLPrepare (ANSI) and SQLExecDirectW. Each execute row assembles with its own values.
TEST(OdbcRoad, EachExecutionOfAStatementBoundOnceShowsItsOwnValues) {
  TTraceHarness h;
  std::map<std::string, std::string> values;
  ASSERT_NO_FATAL_FAILURE(TraceOdbcClient(h, L"repeat", values));
  EXPECT_EQ(h.CallsOf(L"SQLPrepare").size(), 1u);

  const std::wstring rows[3][4] = {{L"'O''Brien'", VariantToText(Date(2024, 3, 5)), L"'first'", L"1"},
                                   {L"'Zo\x00EB \x20AC'", VariantToText(Date(2023, 12, 31)), L"(null)", L"2"},
                                   {L"'third'", VariantToText(Date(2000, 1, 1)), L"'x'", L"3"}};
  const std::string stored[3] = {"O'Brien|2024-03-05|first|1", WideToUtf8(L"Zo\x00EB \x20AC") + "|2023-12-31|(null)|2",
                                 "third|2000-01-01|x|3"};
  struct {
    const char* Table;
    const wchar_t* Execute;
  } roads[] = {{"a", L"SQLExecute"}, {"b", L"SQLExecute"}, {"c", L"SQLExecDirectW"}};
  auto events = h.Events();
  for (auto& road : roads) {
    SCOPED_TRACE(road.Table);
    // The database holds the three rows.
    for (int k = 0; k < 3; ++k) EXPECT_EQ(values[road.Table + std::to_string(k + 1)], stored[k]);
    const int32_t handle =
        static_cast<int32_t>(std::stoul(values[std::string("handle_") + road.Table], nullptr, 16));
    std::vector<int> executes;
    for (size_t i = 0; i < events.size(); ++i)
      if (events[i].Text == road.Execute && SameHandle(*events[i].Find(L"StatementHandle"), handle) &&
          events[i].Value(L"StatementText").starts_with(L"insert"))  // a later statement may get the handle
        executes.push_back(static_cast<int>(i));
    ASSERT_EQ(executes.size(), 3u);
    const std::wstring insert = L"insert into " + Utf8ToWide(road.Table) + L" (name, born, note, n) values (";
    for (int k = 0; k < 3; ++k) {
      LONG state = 0;
      const TShownResult shown = AssembleLoggedRow<TODBCSQLAssembler>(executes[k], state);
      EXPECT_EQ(state, AppPluginActionVisible | AppPluginActionEnabled);
      ASSERT_EQ(shown.Count, 1);
      EXPECT_EQ(shown.AssembledSQL,
                insert + rows[k][0] + L", " + rows[k][1] + L", " + rows[k][2] + L", " + rows[k][3] + L")\r\n");
    }
  }
}
