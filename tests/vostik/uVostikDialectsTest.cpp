// Each dialect over a log of its own client library's calls (fixture events): prepare, binds,
// execute, and the statement it assembles.
#include <gtest/gtest.h>

#include <functional>

#include "VostikTestSupport.h"
#include "Tracer/foundation/uVariants.h"
#include "vostik/uVostikDialects.h"

namespace {

using TMake = std::function<TComPtr<IAppPlugin>(TFixtureHost&)>;

struct TDialectCase {
  const char* Name;
  TMake Make;
  std::vector<TLogCall> Log;  // the last row is the focused execute call
  std::wstring Expected;
};

// The base literal of a date: its display text.
std::wstring DisplayDate() { return VariantToText(Date(2024, 3, 5)); }

std::vector<TDialectCase> DialectCases() {
  const std::wstring Insert4 = L"insert into t values (?, ?, ?, ?)";
  return {
      {"Oracle", ConnectAssembler<TOraSQLAssembler>,
       {{L"OCIStmtPrepare", T(L"OCI_SUCCESS"), {{L"stmtp", I(100)}}},
        {L"OCIBindByName", T(L"OCI_SUCCESS"), {{L"stmtp", I(100)}, {L"placeholder", T(L":a")}, {L"dty", I(1)}, {L"valuep", T(L"O'Brien")}}},
        {L"OCIBindByName", T(L"OCI_SUCCESS"), {{L"stmtp", I(200)}, {L"placeholder", T(L":b")}, {L"valuep", T(L"other")}}},
        {L"OCIBindByPos", T(L"OCI_SUCCESS"), {{L"stmtp", I(100)}, {L"position", I(2)}, {L"valuep", Null()}}},
        {L"OCIBindByName", T(L"OCI_SUCCESS"), {{L"stmtp", I(100)}, {L"placeholder", T(L"C")}, {L"valuep", Date(2024, 3, 5, 14, 7, 9)}}},
        {L"OCIBindByPos", T(L"OCI_SUCCESS"), {{L"stmtp", I(100)}, {L"position", T(L"4")}, {L"valuep", I(42)}}},
        {L"OCIStmtExecute", T(L"OCI_SUCCESS"), {{L"stmtp", I(100)}, {L"stmt", T(L"insert into t values (:a, :b, :c, :d)")}}}},
       L"insert into t values ('O''Brien', (null), to_date('05.03.2024 14.07.09', 'DD.MM.YYYY HH24.MI.SS'), 42)\r\n"},
      {"InterBase", ConnectAssembler<TIBSQLAssembler>,
       {{L"isc_dsql_prepare", T(L"0"), {{L"stmt_handle", I(7)}}},
        {L"isc_dsql_execute", T(L"0"), {{L"stmt_handle", I(7)}, {L"statement", T(L"select 1")}, {L"in_param_1_value", T(L"older")}}},
        {L"isc_dsql_execute2", T(L"0"),
         {{L"stmt_handle", I(7)}, {L"statement", T(Insert4.c_str())},
          {L"in_param_1_value", T(L"O'Brien")}, {L"in_param_1_type", T(L"VARCHAR")}, {L"in_param_2_value", Null()},
          {L"in_param_3_value", Date(2024, 3, 5)}, {L"in_param_4_value", I(42)}}}},
       L"insert into t values ('O''Brien', (null), " + DisplayDate() + L", 42)\r\n"},
      {"ODBC", ConnectAssembler<TODBCSQLAssembler>,
       // A statement handle above 2 GB, logged unsigned by the binds and signed by the execute.
       {{L"SQLPrepareW", T(L"SQL_SUCCESS"), {{L"StatementHandle", U(0x80001000)}}},
        {L"SQLBindParameter", T(L"SQL_SUCCESS"), {{L"StatementHandle", U(0x80001000)}, {L"ParameterNumber", I(1)}, {L"ValueType", I(-8)}, {L"Value", T(L"O'Brien")}}},
        {L"SQLBindParameter", T(L"SQL_SUCCESS"), {{L"StatementHandle", U(0x80002000)}, {L"ParameterNumber", I(2)}, {L"Value", T(L"other")}}},
        {L"SQLBindParameter", T(L"SQL_SUCCESS"), {{L"StatementHandle", U(0x80001000)}, {L"ParameterNumber", I(2)}, {L"Value", Null()}}},
        Message(L"a message between"),
        {L"SQLBindParameter", T(L"SQL_SUCCESS"), {{L"StatementHandle", U(0x80001000)}, {L"ParameterNumber", I(3)}, {L"Value", Date(2024, 3, 5)}}},
        {L"SQLBindParameter", T(L"SQL_SUCCESS"), {{L"StatementHandle", U(0x80001000)}, {L"ParameterNumber", I(4)}, {L"Value", I(42)}}},
        {L"SQLExecute", T(L"SQL_SUCCESS"), {{L"StatementHandle", I(static_cast<int32_t>(0x80001000))}, {L"StatementText", T(Insert4.c_str())}}}},
       L"insert into t values ('O''Brien', (null), " + DisplayDate() + L", 42)\r\n"},
      {"Advantage", ConnectAssembler<TAdvSQLAssembler>,
       {{L"AdsPrepareSQL", T(L"ACE_SUCCESS"), {{L"hStatement", I(5)}}},
        {L"AdsSetString", T(L"ACE_SUCCESS"), {{L"hObj", I(5)}, {L"pucFldName", T(L":NAME")}, {L"Type", T(L"string")}, {L"Value", T(L"O'Brien")}}},
        {L"AdsSetString", T(L"ACE_SUCCESS"), {{L"hObj", I(6)}, {L"pucFldName", T(L"name")}, {L"Value", T(L"other")}}},
        {L"AdsSetJulian", T(L"ACE_SUCCESS"), {{L"hObj", I(5)}, {L"pucFldName", I(2)}, {L"Value", Date(2024, 3, 5)}}},
        {L"AdsSetLong", T(L"ACE_SUCCESS"), {{L"hObj", I(5)}, {L"pucFldName", T(L"gone")}, {L"Value", Null()}}},
        {L"AdsSetShort", T(L"ACE_SUCCESS"), {{L"hObj", I(5)}, {L"pucFldName", T(L"n")}, {L"Value", I(42)}}},
        {L"AdsExecuteSQL", T(L"ACE_SUCCESS"), {{L"hStatement", I(5)}, {L"Statement", T(L"update t set a = :name, b = :born, c = :gone, d = :n")}}}},
       L"update t set a = 'O''Brien', b = '2024-03-05', c = (null), d = 42\r\n"},
      {"SQLite", ConnectAssembler<TSQLiteSQLAssembler>,
       {{L"sqlite3_prepare_v2", I(0), {{L"stmtp", I(9)}}},
        {L"sqlite3_bind_text", I(0), {{L"pStmt", I(9)}, {L"idx", I(1)}, {L"Value", T(L"O'Brien")}}},
        {L"sqlite3_bind_text", I(0), {{L"pStmt", I(8)}, {L"idx", I(2)}, {L"Value", T(L"other")}}},
        {L"sqlite3_bind_null", I(0), {{L"pStmt", I(9)}, {L"idx", I(2)}}},
        {L"sqlite3_bind_int64", I(0), {{L"pStmt", I(9)}, {L"idx", I(3)}, {L"Value", I(1)}}},
        {L"sqlite3_bind_double", I(0), {{L"pStmt", I(9)}, {L"idx", I(3)}, {L"Value", Date(2024, 3, 5)}}},
        {L"sqlite3_bind_int", I(0), {{L"pStmt", I(9)}, {L"idx", I(4)}, {L"Value", I(42)}}},
        {L"sqlite3_step", I(100), {{L"pStmt", I(9)}, {L"stmt", T(Insert4.c_str())}}}},
       L"insert into t values ('O''Brien', (null), " + DisplayDate() + L", 42)\r\n"},
      {"PostgreSQL", ConnectAssembler<TPostgreSQLAssembler>,
       {{L"PQexecPrepared", I(1), {{L"stmtName", T(L"ins")}, {L"stmt", T(L"select $1")}, {L"ParamCount", I(1)}, {L"param1", T(L"older")}}},
        {L"PQexecPrepared", I(1),
         {{L"stmtName", T(L"ins")}, {L"stmt", T(L"insert into t values ($1, $2, $3::date, $4)")}, {L"ParamCount", I(4)},
          {L"param1", T(L"O'Brien")}, {L"param2", Null()}, {L"param3", Date(2024, 3, 5)}, {L"param4", I(42)}}}},
       L"insert into t values ('O''Brien', (null), " + DisplayDate() + L"::date, 42)\r\n"},
      {"Sybase", ConnectAssembler<TSybaseSQLAssembler>,
       {{L"dbpp_prepare_describe", I(0), {{L"StmtNum", I(3)}, {L"param_1_value", T(L"before the prepare")}}},
        {L"dbpp_setvalues", I(0),
         {{L"param_1_value", T(L"older")}, {L"param_2_value", I(2)}, {L"param_3_value", Date(2024, 3, 5)},
          {L"param_4_value", I(42)}}},
        {L"dbpp_open", I(0),
         {{L"StmtNum", I(3)}, {L"Stmt", T(Insert4.c_str())}, {L"param_1_value", T(L"O'Brien")},
          {L"param_1_type", T(L"char")}, {L"param_2_value", Null()}}}},
       L"insert into t values ('O''Brien', (null), '2024-3-5', 42)\r\n"},
      {"DB2", ConnectAssembler<TDB2SQLAssembler>,
       {{L"SQLPrepare", T(L"SQL_SUCCESS"), {{L"hstmt", I(4)}}},
        {L"SQLBindParameter", T(L"SQL_SUCCESS"), {{L"hstmt", I(4)}, {L"ParameterNumber", I(1)}, {L"ValueType", I(1)}, {L"ParameterValue", T(L"O'Brien")}}},
        {L"SQLBindParameter", T(L"SQL_SUCCESS"), {{L"hstmt", I(5)}, {L"ParameterNumber", I(1)}, {L"ParameterValue", T(L"other")}}},
        {L"SQLBindParameter", T(L"SQL_SUCCESS"), {{L"hstmt", I(4)}, {L"ParameterNumber", I(2)}, {L"ParameterValue", Null()}}},
        {L"SQLBindParameter", T(L"SQL_SUCCESS"), {{L"hstmt", I(4)}, {L"ParameterNumber", I(3)}, {L"ParameterValue", Date(2024, 3, 5)}}},
        {L"SQLBindParameter", T(L"SQL_SUCCESS"), {{L"hstmt", I(4)}, {L"ParameterNumber", I(4)}, {L"ParameterValue", I(42)}}},
        {L"SQLExecute", T(L"SQL_SUCCESS"), {{L"hstmt", I(4)}, {L"stmt", T(Insert4.c_str())}}}},
       L"insert into t values ('O''Brien', (null), DATE('2024-03-05'), 42)\r\n"},
  };
}

}  // namespace

TEST(Dialects, EachAssemblesItsLogIntoTheStatementThatRan) {
  for (const TDialectCase& c : DialectCases()) {
    SCOPED_TRACE(c.Name);
    TFixtureHost host;
    TResultCapture capture;
    TComPtr<IAppPlugin> plugin = c.Make(host);
    ASSERT_EQ(host.Added.size(), 1u);
    host.SetLog(c.Log);
    IAppPluginAction* action = host.Added[0].Action.Get();
    EXPECT_EQ(action->GetState(), AppPluginActionVisible | AppPluginActionEnabled);
    action->Execute();
    ASSERT_EQ(capture.Shown().Count, 1);
    EXPECT_EQ(capture.Shown().AssembledSQL, c.Expected);
    // The first row is a prepare or bind call: the action is disabled there.
    if (std::string(c.Name) != "PostgreSQL") {
      host.SetFocus(0);
      EXPECT_EQ(action->GetState(), AppPluginActionVisible);
    }
  }
}

TEST(Dialects, ActionsCarryTheirCaptionHintAndIcon) {
  struct {
    TMake Make;
    const wchar_t* Caption;
    const wchar_t* Hint;
  } cases[] = {
      {ConnectAssembler<TOraSQLAssembler>, L"Oracle SQL Assembler", L"Oracle SQL Assembler"},
      {ConnectAssembler<TIBSQLAssembler>, L"InterBase SQL Assembler", L"Interbase SQL Assembler"},
      {ConnectAssembler<TODBCSQLAssembler>, L"ODBC SQL Assembler", L"ODBC SQL Assembler"},
      {ConnectAssembler<TAdvSQLAssembler>, L"Advantage SQL Assembler", L"Advantage SQL Assembler"},
      {ConnectAssembler<TSQLiteSQLAssembler>, L"SQLite SQL Assembler", L"SQLite SQL Assembler"},
      {ConnectAssembler<TPostgreSQLAssembler>, L"Postgre SQL Assembler", L"Postgre SQL Assembler"},
      {ConnectAssembler<TSybaseSQLAssembler>, L"Sybase SQL Assembler", L"Sybase SQL Assembler"},
      {ConnectAssembler<TDB2SQLAssembler>, L"DB2 SQL Assembler", L"DB2 SQL Assembler"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.Caption));
    TFixtureHost host;
    IAppPluginAction* added = nullptr;
    {
      TComPtr<IAppPlugin> plugin = c.Make(host);
      ASSERT_EQ(host.Added.size(), 1u);
      EXPECT_EQ(host.Added[0].Caption, c.Caption);
      EXPECT_EQ(host.Added[0].Hint, c.Hint);
      EXPECT_NE(host.Added[0].Icon, nullptr);
      added = host.Added[0].Action.Get();
    }
    // Released by the host: the assembler removed the very action it added.
    ASSERT_EQ(host.Removed.size(), 1u);
    EXPECT_EQ(host.Removed[0], added);
  }
}

namespace {

// Runs the focused row's action of a connected assembler; the captured result.
template <class T>
TShownResult RunAction(const std::vector<TLogCall>& log, int focused = -2) {
  TFixtureHost host;
  TResultCapture capture;
  TComPtr<IAppPlugin> plugin = ConnectAssembler<T>(host);
  host.SetLog(log, focused);
  host.Added.at(0).Action->Execute();
  return capture.Shown();
}

TLogCall OdbcExecute(const wchar_t* sql, int handle = 1) {
  return {L"SQLExecute", T(L"SQL_SUCCESS"), {{L"StatementHandle", I(handle)}, {L"StatementText", T(sql)}}};
}

TLogCall OdbcBind(int number, TOleVariant value, int handle = 1) {
  return {L"SQLBindParameter", T(L"SQL_SUCCESS"),
          {{L"StatementHandle", I(handle)}, {L"ParameterNumber", I(number)}, {L"Value", value}}};
}

TLogCall OdbcPrepare(const wchar_t* name, const wchar_t* result, int handle = 1) {
  return {name, T(result), {{L"StatementHandle", I(handle)}}};
}

}  // namespace

TEST(Dialects, TheWalkEndsAtTheSuccessfulPrepareOfTheSameStatement) {
  struct {
    const char* Name;
    TLogCall Prepare;
    bool EndsWalk;
  } cases[] = {
      {"SQLPrepareW succeeded", OdbcPrepare(L"SQLPrepareW", L"SQL_SUCCESS"), true},
      {"SQLPrepare succeeded", OdbcPrepare(L"SQLPrepare", L"SQL_SUCCESS"), true},
      {"failed", OdbcPrepare(L"SQLPrepareW", L"SQL_ERROR"), false},
      {"lower-case name", OdbcPrepare(L"sqlprepare", L"SQL_SUCCESS"), false},
      {"another handle", OdbcPrepare(L"SQLPrepareW", L"SQL_SUCCESS", 2), false},
      {"result logged as a number", {L"SQLPrepareW", I(0), {{L"StatementHandle", I(1)}}}, false},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.Name);
    // A bind before the prepare belongs to an earlier run of the handle.
    TShownResult shown = RunAction<TODBCSQLAssembler>(
        {OdbcBind(1, T(L"earlier run")), c.Prepare, OdbcBind(2, I(2)), OdbcExecute(L"values (?, ?)")});
    EXPECT_EQ(shown.AssembledSQL, c.EndsWalk ? L"values (?, 2)\r\n" : L"values ('earlier run', 2)\r\n");
  }
}

TEST(Dialects, TheNearestBindWinsOverOlderBindsOfTheSameParameter) {
  TShownResult shown = RunAction<TODBCSQLAssembler>(
      {OdbcBind(1, T(L"oldest")), OdbcBind(2, I(7)), OdbcBind(1, T(L"newest")), OdbcExecute(L"values (?, ?)")});
  EXPECT_EQ(shown.AssembledSQL, L"values ('newest', 7)\r\n");
  EXPECT_EQ(shown.Rows.at(0).Value, L"newest");
}

TEST(Dialects, ValuesOfTheExecuteCallItselfAreUsed) {
  // Sybase reads values from every call it examines, the execute call first.
  TShownResult shown = RunAction<TSybaseSQLAssembler>(
      {{L"dbpp_any", I(0), {{L"param_1_value", T(L"older")}}},
       {L"dbpp_open", I(0), {{L"StmtNum", I(3)}, {L"Stmt", T(L"select ?")}, {L"param_1_value", T(L"own")}}}});
  EXPECT_EQ(shown.AssembledSQL, L"select 'own'\r\n");
}

TEST(Dialects, OneSybaseNameSendsEveryValueOfItsCallToThatName) {
  TShownResult shown = RunAction<TSybaseSQLAssembler>(
      {{L"dbpp_open", I(0),
        {{L"StmtNum", I(3)}, {L"Stmt", T(L"select :x, ?")}, {L"name", T(L"x")}, {L"param_1_value", I(5)}}}});
  EXPECT_EQ(shown.AssembledSQL, L"select 5, ?\r\n");
}

TEST(Dialects, InterBaseAndPostgreSQLReadOnlyTheExecuteCall) {
  TShownResult ib = RunAction<TIBSQLAssembler>(
      {{L"isc_dsql_execute", T(L"0"), {{L"statement", T(L"x")}, {L"in_param_3_value", I(3)}}},
       {L"isc_dsql_execute", T(L"0"),
        {{L"statement", T(L"values (?, ?, ?)")}, {L"in_param_1_value", I(1)}, {L"in_param_2_value", I(2)}}}});
  EXPECT_EQ(ib.AssembledSQL, L"values (1, 2, ?)\r\n");
  TShownResult pg = RunAction<TPostgreSQLAssembler>(
      {{L"PQexecPrepared", I(1), {{L"stmt", T(L"x")}, {L"ParamCount", I(2)}, {L"param2", I(9)}}},
       {L"PQexecPrepared", I(1),
        {{L"stmt", T(L"values ($1, $2, $$, :a)")}, {L"ParamCount", I(2000000000)}, {L"param1", I(1)}}}});
  // A count beyond the logged values costs nothing; $$ stands for one dollar; colons are text.
  EXPECT_EQ(pg.AssembledSQL, L"values (1, $2, $, :a)\r\n");
}

TEST(Dialects, OdbcAndDb2TellTheirExecuteCallsApartByTheStatementParameter) {
  TFixtureHost host;
  TComPtr<IAppPlugin> odbc = ConnectAssembler<TODBCSQLAssembler>(host);
  TComPtr<IAppPlugin> db2 = ConnectAssembler<TDB2SQLAssembler>(host);
  ASSERT_EQ(host.Added.size(), 2u);
  host.SetLog({OdbcExecute(L"select 1")});
  EXPECT_EQ(host.Added[0].Action->GetState(), 3);
  EXPECT_EQ(host.Added[1].Action->GetState(), 1);
  host.SetLog({{L"SQLExecute", T(L"SQL_SUCCESS"), {{L"hstmt", I(1)}, {L"stmt", T(L"select 1")}}}});
  EXPECT_EQ(host.Added[0].Action->GetState(), 1);
  EXPECT_EQ(host.Added[1].Action->GetState(), 3);
}

TEST(Dialects, SQLiteBindsOnlyItsFiveBindCallsEachWithItsDataType) {
  TShownResult shown = RunAction<TSQLiteSQLAssembler>(
      {{L"sqlite3_bind_blob", I(0), {{L"pStmt", I(9)}, {L"idx", I(1)}, {L"Value", I(1)}}},
       {L"sqlite3_bind_text16", I(0), {{L"pStmt", I(9)}, {L"idx", I(2)}, {L"Value", T(L"w")}}},
       {L"sqlite3_bind_double", I(0), {{L"pStmt", I(9)}, {L"idx", I(3)}, {L"Value", Double(0.5)}}},
       {L"sqlite3_step", I(100), {{L"pStmt", I(9)}, {L"stmt", T(L"values (?, ?, ?)")}}}});
  ASSERT_EQ(shown.Rows.size(), 3u);
  EXPECT_EQ(shown.Rows[0].DataType, L"");
  EXPECT_EQ(shown.Rows[0].Value, L"");
  EXPECT_EQ(shown.Rows[1].DataType, L"TEXT16");
  EXPECT_EQ(shown.Rows[2].DataType, L"DOUBLE");
}
