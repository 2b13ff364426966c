// The statement model: scanning, binding and assembling; the conversions of logged values; the
// assembler's action against a fixture host.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <random>

#include "VostikTestSupport.h"
#include "Tracer/app/uAppPlugins.h"
#include "Tracer/foundation/uGuards.h"
#include "Tracer/foundation/uVariants.h"
#include "support/TestSupport.h"
#include "support/TestTimeScale.h"
#include "vostik/uVostikDialects.h"

namespace {

std::vector<std::wstring> Names(const TSQLStatement& s) {
  std::vector<std::wstring> names;
  for (int i = 0; i < s.Params.Count(); ++i) names.push_back(s.Params.Items(i)->Name);
  return names;
}

}  // namespace

TEST(SQLStatement, ScannerFindsParametersOutsideLiterals) {
  struct {
    const wchar_t* Text;
    std::vector<std::wstring> Params;
    const wchar_t* SQL;  // nullptr: the text with CR LF
  } cases[] = {
      {L"SELECT * FROM t WHERE a = :id OR b = :ID", {L"id"}, nullptr},
      {L"BEGIN x := :y; END;", {L"y"}, nullptr},
      {L"a::b", {}, L"a:b\r\n"},
      {L"':a' \":b\" `:c` '?' \"?\" `?`", {}, nullptr},
      // A literal ends only at the quote that opened it.
      {L"'it''s \"x' :a \"q'q\" :b `a\"b` :c", {L"a", L"b", L"c"}, nullptr},
      {L":a+:b", {L"a", L"b"}, nullptr},
      {L"where a = :p\tAND b = :q(1)", {L"p", L"q"}, nullptr},
      {L":\"quoted name\" = :a", {L"quoted name", L"a"}, nullptr},
      {L"x = : and y = :", {}, nullptr},
      {L"values (?, :n, ?)", {L"", L"n", L""}, nullptr},
      {L":élan + :ÉLAN", {L"élan"}, nullptr},
      {L"unclosed ':a", {}, nullptr},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.Text));
    TSQLStatement s;
    s.SetSQL(c.Text);
    EXPECT_EQ(Names(s), c.Params);
    EXPECT_EQ(s.SQL, c.SQL ? std::wstring(c.SQL) : std::wstring(c.Text) + L"\r\n");
    EXPECT_EQ(s.AssembledSQL, s.SQL);
  }
  TPostgreSQLStatement pg;
  pg.SetSQL(L"select $1::int, $$, :a, $10");
  EXPECT_EQ(Names(pg), (std::vector<std::wstring>{L"1", L"10"}));
  EXPECT_EQ(pg.SQL, L"select $1::int, $, :a, $10\r\n");
}

// Each dialect's statements as a user writes them: what the scanner takes for a marker, a
// literal or a comment shows in the assembled text. The case name says why.
TEST(SQLStatement, EachDialectAssemblesWhatItsUsersWrite) {
  using TMake = std::unique_ptr<TSQLStatement> (*)();
  const TMake Odbc = [] { return std::make_unique<TSQLStatement>(); };
  const TMake Ora = [] { return std::unique_ptr<TSQLStatement>(new TOraSQLStatement); };
  const TMake Lite = [] { return std::unique_ptr<TSQLStatement>(new TSQLiteSQLStatement); };
  const TMake Pg = [] { return std::unique_ptr<TSQLStatement>(new TPostgreSQLStatement); };
  const TMake Db2 = [] { return std::unique_ptr<TSQLStatement>(new TDB2SQLStatement); };
  struct {
    const char* Name;
    TMake Make;
    const wchar_t* Text;
    std::vector<std::pair<int, TOleVariant>> ByIndex;
    std::vector<std::pair<std::wstring, TOleVariant>> ByName;
    const wchar_t* Assembled;  // line breaks as in Text
  } cases[] = {
      {"ApostropheInALineCommentOpensNoLiteral", Odbc, L"select ? -- don't\nfrom t where a = ?",
       {{1, I(1)}, {2, I(2)}}, {}, L"select 1 -- don't\nfrom t where a = 2"},
      {"MarkerInALineCommentIsNoParameter", Ora, L"select :a -- :b\nfrom t where c = :c", {{1, I(1)}, {2, I(3)}}, {},
       L"select 1 -- :b\nfrom t where c = 3"},
      {"MarkerAndApostropheInABlockCommentAreText", Odbc, L"select /* it's ? */ ?", {{1, I(1)}}, {},
       L"select /* it's ? */ 1"},
      {"ABlockCommentSpansLines", Lite, L"/* a\n? */ select ?", {{1, I(5)}}, {}, L"/* a\n? */ select 5"},
      {"AnUnclosedBlockCommentRunsToTheEnd", Odbc, L"select ? /* ?", {{1, I(1)}, {2, I(2)}}, {}, L"select 1 /* ?"},
      {"DashesAndSlashStarInsideALiteralAreText", Db2, L"select '--', '/*', ? -- ?", {{1, I(1)}}, {},
       L"select '--', '/*', 1 -- ?"},
      {"SQLiteNumberedMarkersBindByTheirNumber", Lite, L"select ?2, ?1", {{1, T(L"a")}, {2, T(L"b")}}, {},
       L"select 'b', 'a'"},
      {"SQLitePlainMarkerAfterANumberedOneTakesTheNextNumber", Lite, L"select ?5, ?, ?5", {{5, T(L"x")}, {6, T(L"y")}},
       {}, L"select 'x', 'y', 'x'"},
      {"SQLiteKnowsAtAndDollarNames", Lite, L"select @a, $b, :c, @a", {{1, I(1)}, {2, I(2)}, {3, I(3)}}, {},
       L"select 1, 2, 3, 1"},
      {"SQLiteColonAtAndDollarNamesAreThreeParameters", Lite, L"select :a, @a, $a, :A", {{2, I(2)}, {3, I(3)}},
       {{L"a", I(1)}}, L"select 1, 2, 3, 1"},
      {"OnlySQLiteTakesAtNamesForMarkers", Odbc, L"select @a, ?", {{1, I(1)}}, {}, L"select @a, 1"},
      {"PostgreSQLDollarQuotedBodyIsALiteral", Pg, L"select $$it's$$, $1", {}, {{L"1", I(5)}}, L"select $$it's$$, 5"},
      {"PostgreSQLTaggedBodyHidesMarkersAndQuotes", Pg, L"select $fn$ a := $1; 'x $fn$, $1", {}, {{L"1", I(7)}},
       L"select $fn$ a := $1; 'x $fn$, 7"},
      {"PostgreSQLLoneDoubledDollarStaysOneDollar", Pg, L"select $$, $1", {}, {{L"1", I(5)}}, L"select $, 5"},
      {"PostgreSQLDollarOneIsNotTheStartOfDollarTen", Pg, L"select $10, $1", {}, {{L"1", T(L"a")}, {L"10", T(L"j")}},
       L"select 'j', 'a'"},
      {"NamesIgnoreCaseButId2IsAnotherName", Ora, L"select :id, :ID, :id2", {}, {{L"id", I(1)}, {L"ID2", I(2)}},
       L"select 1, 1, 2"},
      {"QuotesInsideAValueAreDoubled", Odbc, L"select ?", {{1, T(L"O'Brien \"x\"")}}, {},
       L"select 'O''Brien \"x\"'"},
      {"NullIsWrittenAsNull", Odbc, L"select ?", {{1, Null()}}, {}, L"select (null)"},
      {"OracleDateIsAToDateCall", Ora, L"select :d -- the day", {}, {{L"d", Date(2024, 3, 5)}},
       L"select to_date('05.03.2024', 'DD.MM.YYYY') -- the day"},
      {"DB2DateIsADateCall", Db2, L"select ? /* day */", {{1, Date(2024, 3, 5)}}, {},
       L"select DATE('2024-03-05') /* day */"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.Name);
    std::unique_ptr<TSQLStatement> s = c.Make();
    s->SetSQL(c.Text);
    for (auto& [k, v] : c.ByIndex) s->SetParamByIndex(k, L"", v);
    for (auto& [n, v] : c.ByName) s->SetParamByName(n, L"", v);
    s->Assemble();
    EXPECT_EQ(s->AssembledSQL, NormalizeLineBreaks(c.Assembled));
  }
}

TEST(SQLStatement, LineBreaksBecomeCrLf) {
  struct {
    const wchar_t* Text;
    const wchar_t* Normalized;
  } cases[] = {
      {L"", L""},
      {L"a", L"a\r\n"},
      {L"a\nb", L"a\r\nb\r\n"},
      {L"a\rb\r\n", L"a\r\nb\r\n"},
      {L"a\n\rb", L"a\r\n\r\nb\r\n"},
      {L"\n", L"\r\n"},
  };
  for (auto& c : cases) EXPECT_EQ(NormalizeLineBreaks(c.Text), c.Normalized) << WideToUtf8(c.Text);
  EXPECT_EQ(NormalizeLineBreaks(std::wstring(L"a\0b", 3)), L"a\r\n");
}

TEST(SQLStatement, AssemblySubstitutesEachMarkerOnceInOnePass) {
  struct {
    const wchar_t* Text;
    std::vector<std::pair<std::wstring, TOleVariant>> ByName;
    std::vector<std::pair<int, TOleVariant>> ByIndex;
    const wchar_t* Assembled;
  } cases[] = {
      // Names compare without regard to case, so both markers are the one parameter.
      {L"a = :id OR b = :ID", {{L"ID", I(5)}}, {}, L"a = 5 OR b = 5"},
      {L"a = :id", {{L" :id ", I(5)}}, {}, L"a = 5"},
      {L"INSERT INTO t VALUES (?, ?)", {}, {{2, I(2)}}, L"INSERT INTO t VALUES (?, 2)"},
      {L"x = :name", {{L"name", T(L"O'Brien")}}, {}, L"x = 'O''Brien'"},
      // A value that looks like a marker is never scanned again.
      {L":a, :b", {{L"a", T(L":b")}, {L"b", T(L"B")}}, {}, L"':b', 'B'"},
      {L"$1 $10 $1", {{L"1", I(1)}, {L"10", I(10)}}, {}, L"$1 $10 $1"},
      {L"x = :n", {{L"n", Null()}}, {}, L"x = (null)"},
      {L"x = :\"q n\"", {{L"q n", I(3)}}, {}, L"x = 3"},
      {L"\"?\" ?", {}, {{1, I(1)}}, L"\"?\" 1"},
      {L"?", {{L"", I(1)}}, {{0, I(0)}, {2, I(2)}}, L"?"},
      {L":a + ?", {}, {{1, T(L"a")}, {2, I(2)}}, L"'a' + 2"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(WideToUtf8(c.Text));
    TSQLStatement s;
    if (std::wstring(c.Text).find(L'$') != std::wstring::npos) {
      TPostgreSQLStatement pg;
      pg.SetSQL(c.Text);
      for (auto& [n, v] : c.ByName) pg.SetParamByName(n, L"", v);
      pg.Assemble();
      EXPECT_EQ(pg.AssembledSQL, L"1 10 1\r\n");
      continue;
    }
    s.SetSQL(c.Text);
    for (auto& [n, v] : c.ByName) s.SetParamByName(n, L"t", v);
    for (auto& [k, v] : c.ByIndex) s.SetParamByIndex(k, L"t", v);
    s.Assemble();
    EXPECT_EQ(s.AssembledSQL, std::wstring(c.Assembled) + L"\r\n");
  }
}

TEST(SQLStatement, BindingsAndAllBound) {
  TSQLStatement s;
  s.SetSQL(L"no parameters");
  EXPECT_TRUE(s.Params.AllBound());
  s.SetSQL(L":a :b");
  EXPECT_FALSE(s.Params.AllBound());
  s.SetParamByName(L"b", L"", Null());  // Null counts as bound
  s.SetParamByName(L"a", L"", I(1));
  EXPECT_TRUE(s.Params.AllBound());
  // Later bindings overwrite, unless the first binding is to be kept.
  s.SetParamByName(L"a", L"x", I(2));
  EXPECT_EQ(VariantToText(s.Params.Items(0)->Value), L"2");
  s.KeepFirstBinding = true;
  s.SetParamByName(L"a", L"y", I(3));
  EXPECT_EQ(VariantToText(s.Params.Items(0)->Value), L"2");
  EXPECT_EQ(s.Params.Items(0)->DataType, L"x");
  // A new statement drops every binding.
  s.SetSQL(L":a");
  EXPECT_FALSE(s.Params.AllBound());
  EXPECT_EQ(s.Params.FindByName(L""), nullptr);
  EXPECT_EQ(s.Params.FindByName(L":"), nullptr);
}

TEST(SQLStatement, DateLiteralsOfTheDialects) {
  const TOleVariant afternoon = Date(2024, 3, 5, 14, 7, 9);
  const TOleVariant midnight = Date(2024, 3, 5);
  const TOleVariant seconds = Date(2024, 3, 5, 0, 0, 5);
  EXPECT_EQ(TOraSQLStatement().FormatValue(afternoon), L"to_date('05.03.2024 14.07.09', 'DD.MM.YYYY HH24.MI.SS')");
  EXPECT_EQ(TOraSQLStatement().FormatValue(midnight), L"to_date('05.03.2024', 'DD.MM.YYYY')");
  EXPECT_EQ(TOraSQLStatement().FormatValue(seconds), L"to_date('05.03.2024 00.00.05', 'DD.MM.YYYY HH24.MI.SS')");
  EXPECT_EQ(TAdvSQLStatement().FormatValue(afternoon), L"'2024-03-05'");
  EXPECT_EQ(TSybaseSQLStatement().FormatValue(afternoon), L"'2024-3-5'");
  EXPECT_EQ(TDB2SQLStatement().FormatValue(afternoon), L"DATE('2024-03-05')");
  EXPECT_EQ(TSQLStatement().FormatValue(afternoon), VariantToText(afternoon));
}

TEST(SQLStatement, ResultRowsNamePositionalParametersByTheirRow) {
  TSQLStatement s;
  s.SetSQL(L"? :name ?");
  s.SetParamByIndex(3, L"INT", I(3));
  auto rows = SQLParamRows(s.Params);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].Caption, L"PARAM 01");
  EXPECT_EQ(rows[1].Caption, L"name");
  EXPECT_EQ(rows[2].Caption, L"PARAM 03");
  EXPECT_EQ(rows[2].DataType, L"INT");
  EXPECT_EQ(rows[2].Value, L"3");
  EXPECT_EQ(rows[0].Value, L"");
}

TEST(LoggedValues, ConversionsAndComparisonsNeverRaise) {
  struct {
    TOleVariant A, B;
    bool Same;
  } cases[] = {
      {TOleVariant(), TOleVariant(), true},     {TOleVariant(), Null(), false},  {Null(), Null(), true},
      {I(0), T(L"0"), true},                    {T(L"SQL_SUCCESS"), T(L"SQL_SUCCESS"), true},
      {T(L"SQL_SUCCESS"), I(0), false},         {I(5), Double(5.0), true},       {T(L"x"), T(L"X"), false},
      {U(0xFFFFFFFF), I(-1), false},            {TOleVariant(true), I(-1), true},
  };
  for (auto& c : cases)
    EXPECT_EQ(SameValue(c.A, c.B), c.Same) << WideToUtf8(VariantToText(c.A)) << " / " << WideToUtf8(VariantToText(c.B));
  // Handles compare as 32-bit patterns.
  EXPECT_TRUE(SameHandle(U(0x80001000), static_cast<int32_t>(0x80001000)));
  EXPECT_TRUE(SameHandle(T(L"0x80001000"), static_cast<int32_t>(0x80001000)));
  EXPECT_TRUE(SameHandle(T(L"2147487744"), static_cast<int32_t>(0x80001000)));
  EXPECT_FALSE(SameHandle(TOleVariant(), 0));
  EXPECT_FALSE(SameHandle(Null(), 0));
  EXPECT_FALSE(SameHandle(T(L"abc"), 0));
  EXPECT_EQ(VariantToInt32(U(0xFFFFFFFF)), -1);
  EXPECT_EQ(VariantToInt32(T(L" 12 ")), 12);
  EXPECT_EQ(VariantToInt32(Null()), 0);
  EXPECT_EQ(VariantToInt32(Double(1e30)), 0);
  EXPECT_EQ(VariantToWide(Null()), L"");
  EXPECT_EQ(VariantToWide(I(5)), L"5");
  EXPECT_TRUE(WideStrStartsWith(L"SQLPrepare", L"SQLPrepareW"));
  EXPECT_FALSE(WideStrStartsWith(L"SQLPrepare", L"sqlprepare"));
  EXPECT_FALSE(WideStrStartsWith(L"SQLPrepare", L"SQLPrep"));
  EXPECT_EQ(WideStrLCompCodePoint(L"ab", L"ab", 5), 0);
  EXPECT_LT(WideStrLCompCodePoint(L"a", L"ab", 5), 0);
}

// Random statements and values (fixed seed): the scanner never fails, substitutes exactly the
// markers it found, and a statement bound with nothing assembles to itself.
TEST(SQLStatement, MutationRunOfTheScanner) {
  std::mt19937 random(20240305);
  const wchar_t alphabet[] = L":?$'\"`=;,() \t\r\nabcXYZ019_\x00E9\xD83D\xDE00\x0000";
  for (int round = 0; round < 3000; ++round) {
    std::wstring text;
    const int length = static_cast<int>(random() % 80);
    for (int i = 0; i < length; ++i) text += alphabet[random() % (sizeof alphabet / sizeof alphabet[0] - 1)];
    for (int kind = 0; kind < 2; ++kind) {
      std::unique_ptr<TSQLStatement> s = kind ? std::unique_ptr<TSQLStatement>(new TPostgreSQLStatement)
                                              : std::make_unique<TSQLStatement>();
      s->SetSQL(text);
      s->Assemble();
      ASSERT_EQ(s->AssembledSQL, s->SQL) << WideToUtf8(text);
      // The value looks like markers; a character of its own counts where it went in.
      for (int i = 1; i <= s->Params.Count(); ++i) s->SetParamByIndex(i, L"", T(L"\x2603:a?$1'"));
      s->Assemble();
      ASSERT_TRUE(s->Params.AllBound());
      ASSERT_EQ(std::count(s->AssembledSQL.begin(), s->AssembledSQL.end(), L'\x2603'),
                static_cast<std::ptrdiff_t>(s->MarkerCount()))
          << WideToUtf8(text);
    }
  }
}

TEST(SQLStatement, AMegabyteWithTenThousandMarkersAssemblesInLinearTime) {
  std::wstring text;
  text.reserve(1100000);
  for (int i = 0; text.size() < 1000000; ++i) {
    text += L"insert into t values (:p" + std::to_wstring(i % 5000) + L", ?, 'a '':q'' text') ";
    text += std::wstring(60, L'x');
  }
  TSQLStatement s;
  const auto start = std::chrono::steady_clock::now();
  s.SetSQL(text);
  for (int i = 1; i <= s.Params.Count(); ++i) s.SetParamByIndex(i, L"", I(i));
  s.Assemble();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GT(s.MarkerCount(), 10000u);
  EXPECT_EQ(std::count(s.AssembledSQL.begin(), s.AssembledSQL.end(), L'?'), 0);
  // Generous for an unoptimised build; the benchmark reports the real figure.
  EXPECT_LT(seconds, 5.0 * TestTimeScale());
}

// ---- the action against a fixture host ----------------------------------------------------------

namespace {

TLogCall Execute(const wchar_t* sql) {
  return {L"SQLExecute", T(L"SQL_SUCCESS"), {{L"StatementHandle", I(1)}, {L"StatementText", T(sql)}}};
}

}  // namespace

TEST(AssemblerAction, StateFollowsTheFocusedRow) {
  TFixtureHost host;
  TComPtr<IAppPlugin> plugin = ConnectAssembler<TODBCSQLAssembler>(host);
  IAppPluginAction* action = host.Added.at(0).Action.Get();
  struct {
    const char* Name;
    std::vector<TLogCall> Log;
    int Focus;
    LONG State;
  } cases[] = {
      {"no focus", {Execute(L"x")}, -1, 1},
      {"a message row", {Message(L"started")}, 0, 1},
      {"the execute call", {Execute(L"x")}, 0, 3},
      {"an execute without statement", {{L"SQLExecute", T(L"SQL_SUCCESS"), {{L"StatementHandle", I(1)}}}}, 0, 1},
      {"a Null statement", {{L"SQLExecute", T(L"SQL_SUCCESS"), {{L"StatementText", Null()}}}}, 0, 1},
      {"another call", {{L"SQLFetch", T(L"SQL_SUCCESS"), {{L"StatementText", T(L"x")}}}}, 0, 1},
  };
  TResultCapture capture;
  for (auto& c : cases) {
    SCOPED_TRACE(c.Name);
    host.SetLog(c.Log, c.Focus);
    EXPECT_EQ(action->GetState(), c.State);
    const int before = capture.Shown().Count;
    action->Execute();
    // Execute tests the statement only: the host runs it only while it is enabled.
    const bool shows = c.State == 3 || std::string(c.Name) == "another call";
    EXPECT_EQ(capture.Shown().Count, before + (shows ? 1 : 0));
  }
}

TEST(AssemblerAction, AStatementWithoutParametersIsShownAsItIs) {
  TFixtureHost host;
  TResultCapture capture;
  TComPtr<IAppPlugin> plugin = ConnectAssembler<TODBCSQLAssembler>(host);
  host.SetLog({Message(L"x"), Execute(L"select 1\nfrom t")});
  host.Added.at(0).Action->Execute();
  EXPECT_EQ(capture.Shown().SQL, L"select 1\r\nfrom t\r\n");
  EXPECT_EQ(capture.Shown().AssembledSQL, capture.Shown().SQL);
  EXPECT_TRUE(capture.Shown().Rows.empty());
}

TEST(AssemblerAction, TheWrapSettingIsRememberedInTheHost) {
  TFixtureHost host;
  TResultCapture capture;
  TComPtr<IAppPlugin> plugin = ConnectAssembler<TODBCSQLAssembler>(host);
  host.SetLog({Execute(L"select 1")});
  IAppPluginAction* action = host.Added.at(0).Action.Get();
  capture.Shown().WrapOut = true;
  action->Execute();
  EXPECT_FALSE(capture.Shown().WrapIn);  // nothing stored: unchecked
  ASSERT_EQ(host.Settings.size(), 1u);
  EXPECT_EQ(host.Settings[0].first, L"SQLAssembler::WrapSQL");
  action->Execute();
  EXPECT_TRUE(capture.Shown().WrapIn);
  // After a restart the host gives the stored Boolean back as its text.
  host.Settings[0].second = T(L"True");
  capture.Shown().WrapOut = false;
  action->Execute();
  EXPECT_TRUE(capture.Shown().WrapIn);
  host.Settings[0].second = Null();
  action->Execute();
  EXPECT_FALSE(capture.Shown().WrapIn);
}

TEST(AssemblerAction, FailuresReachTheHostAsErrorInformation) {
  TFixtureHost host;
  TResultCapture capture;
  TComPtr<IAppPlugin> plugin = ConnectAssembler<TODBCSQLAssembler>(host);
  host.SetLog({Execute(L"select 1")});
  host.FailAllEvents = true;
  IAppPluginAction* action = host.Added.at(0).Action.Get();
  SetErrorInfo(0, nullptr);
  action->Execute();
  EXPECT_EQ(capture.Shown().Count, 0);
  std::wstring text;
  EXPECT_TRUE(TakeErrorInfoText(text));  // the host raises it
  EXPECT_FALSE(text.empty());
  // A failing GetState leaves error information, so the host hides the action.
  host.SetLog({Execute(L"select 1")});
  host.FailAllEvents = false;
  host.FailVisibleEvents = true;
  TAppPluginAction onToolbar(action);
  onToolbar.Update();
  EXPECT_FALSE(onToolbar.GetVisible());
  EXPECT_EQ(action->GetState(), 0);
  EXPECT_TRUE(TakeErrorInfoText(text));
  host.FailVisibleEvents = false;
  onToolbar.Update();
  EXPECT_TRUE(onToolbar.GetVisible() && onToolbar.GetEnabled());
  // A connect without an application object fails the same way.
  TComPtr<IAppPlugin> lone(static_cast<IAppPlugin*>(NewSQLAssembler<TODBCSQLAssembler>()));
  lone->Connect(nullptr);
  EXPECT_TRUE(TakeErrorInfoText(text));
  EXPECT_EQ(text, L"No application object");
}

TEST(AssemblerAction, AnActionTheHostKeepsLongerThanItsAssemblerIsInert) {
  TFixtureHost host;
  TResultCapture capture;
  TComPtr<IAppPluginAction> kept;
  {
    TComPtr<IAppPlugin> plugin = ConnectAssembler<TODBCSQLAssembler>(host);
    kept = host.Added.at(0).Action;
  }
  host.SetLog({Execute(L"select 1")});
  EXPECT_EQ(kept->GetState(), AppPluginActionVisible);
  kept->Execute();
  EXPECT_EQ(capture.Shown().Count, 0);
}

TEST(AssemblerAction, AnAssemblerNeverAnswersItsOwnClassIdAsAnInterface) {
  TComPtr<IAppPlugin> plugin(static_cast<IAppPlugin*>(NewSQLAssembler<TOraSQLAssembler>()));
  static const GUID OraClass = {0x3641B4E4, 0xBE72, 0x4E13, {0xB2, 0x2E, 0xF8, 0x90, 0x07, 0xA5, 0x6E, 0xB7}};
  TComPtr<IUnknown> other;
  EXPECT_EQ(plugin->QueryInterface(OraClass, reinterpret_cast<void**>(other.Put())), E_NOINTERFACE);
}
