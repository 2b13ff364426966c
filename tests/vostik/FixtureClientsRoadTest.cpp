// The other seven dialects on the real road: fixture client libraries with the real call names
// and argument layouts, a program calling each, their symbol files and handler scripts loaded
// by the symbol-file loader, the program traced, and each assembler on each execute row.
#include <gtest/gtest.h>

#include <functional>

#include "EngineTestSupport.h"
#include "TraceHarness.h"
#include "VostikTestSupport.h"
#include "Tracer/engine/uDebugCore.h"
#include "Tracer/engine/uSymbolFiles.h"
#include "Tracer/foundation/uVariants.h"
#include "vostik/uVostikDialects.h"

TEST(FixtureClientsRoad, EachAssemblerRebuildsTheStatementItsClientRan) {
  TSymbolFiles files(Bin(L"sqlclients\\"));
  std::vector<TSymbolFile*> loaded;
  for (const wchar_t* name : {L"oci", L"gds32", L"ace32", L"sqlite3", L"libpq", L"dblib", L"db2cli"}) {
    TSymbolFile* file = nullptr;
    ASSERT_TRUE(files.FindFile(files.GetFolder() + name + L".xml", file)) << WideToUtf8(name);
    file->Load();
    loaded.push_back(file);
  }
  TTraceHarness h;
  GetDebugger()->Run(L"\"" + Bin(L"sqlclient.exe") + L"\"");
  ASSERT_TRUE(h.PumpUntil([] { return GetDebugger()->GetActive(); }, 20000));
  ASSERT_TRUE(h.WaitForEnd(60000));
  for (auto& e : h.Errors()) ADD_FAILURE() << WideToUtf8(e.Value(L"msg"));
  auto events = h.Events();

  const std::wstring date = VariantToText(Date(2024, 3, 5));
  const std::wstring insert = L"insert into t (name, born, note, n) values ";
  const std::wstring nonAscii = L"\x00E9\x20AC\xD83D\xDE00";  // UTF-8 in the client's calls
  struct {
    const char* Name;
    std::function<TComPtr<IAppPlugin>(TFixtureHost&)> Connect;
    const wchar_t* Execute;
    const wchar_t* Presence;  // the row's parameter that tells the dialect's execute call apart
    std::vector<std::wstring> Values;  // of each execution, in order
  } cases[] = {
      {"Oracle", ConnectAssembler<TOraSQLAssembler>, L"OCIStmtExecute", L"stmt",
       {L"('O''Brien', to_date('05.03.2024', 'DD.MM.YYYY'), (null), 42)",
        L"('Smith', to_date('31.12.2025', 'DD.MM.YYYY'), 'second', 43)"}},
      {"InterBase", ConnectAssembler<TIBSQLAssembler>, L"isc_dsql_execute", L"statement",
       {L"('O''Brien', " + date + L", (null), 42)"}},
      {"Advantage", ConnectAssembler<TAdvSQLAssembler>, L"AdsExecuteSQL", L"Statement",
       {L"('O''Brien', '2024-03-05', (null), 42)"}},
      {"SQLite", ConnectAssembler<TSQLiteSQLAssembler>, L"sqlite3_step", L"stmt",
       {L"('O''Brien " + nonAscii + L"', '2024-03-05', (null), 42) -- caf" + nonAscii}},
      {"PostgreSQL", ConnectAssembler<TPostgreSQLAssembler>, L"PQexecPrepared", L"stmt",
       {L"('O''Brien " + nonAscii + L"', '2024-03-05'::date, (null), '42')"}},
      {"Sybase", ConnectAssembler<TSybaseSQLAssembler>, L"dbpp_open", L"Stmt",
       {L"('O''Brien', '2024-03-05', (null), 42)"}},
      {"DB2", ConnectAssembler<TDB2SQLAssembler>, L"SQLExecute", L"stmt",
       {L"('O''Brien', DATE('2024-03-05'), (null), 42)", L"('Smith', DATE('2025-12-31'), 'second', 43)"}},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.Name);
    // The execute rows in the visible log.
    std::vector<int> rows;
    for (size_t i = 0, visible = 0; i < events.size(); visible += events[i].Visible ? 1 : 0, ++i)
      if (events[i].Text == c.Execute && events[i].Find(c.Presence)) rows.push_back(static_cast<int>(visible));
    ASSERT_EQ(rows.size(), c.Values.size());
    for (size_t k = 0; k < rows.size(); ++k) {
      TFixtureHost host(false);
      host.SetFocus(rows[k]);
      TResultCapture capture;
      TComPtr<IAppPlugin> plugin = c.Connect(host);
      IAppPluginAction* action = host.Added.at(0).Action.Get();
      EXPECT_EQ(action->GetState(), AppPluginActionVisible | AppPluginActionEnabled);
      action->Execute();
      ASSERT_EQ(capture.Shown().Count, 1);
      EXPECT_EQ(capture.Shown().AssembledSQL, insert + c.Values[k] + L"\r\n");
    }
  }
  for (TSymbolFile* file : loaded) file->Unload(false);
}
