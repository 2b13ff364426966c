#include "vostik/uVostikDialects.h"

#include "lib/rtl/SysUtils.h"

namespace {

bool IsOneOf(const std::wstring& name, std::initializer_list<const wchar_t*> names) {
  for (const wchar_t* n : names)
    if (name == n) return true;
  return false;
}

using S = TDialectCalls;

// Execute names, presence, SQL and handle parameters, prepare names or prefix, the prepare's
// handle parameter and the success value of each client library.
const TDialectCalls& OraCalls() {
  static const TDialectCalls calls{{L"OCIStmtExecute"}, L"stmt", L"stmt", L"stmtp",
                                   {L"OCIStmtPrepare", L"OCIStmtPrepare2"}, L"", L"stmtp",
                                   S::TextResult, L"OCI_SUCCESS", 0};
  return calls;
}

const TDialectCalls& IBCalls() {
  static const TDialectCalls calls{{L"isc_dsql_execute", L"isc_dsql_execute2"}, L"statement", L"statement",
                                   L"stmt_handle", {L"isc_dsql_prepare"}, L"", L"stmt_handle",
                                   S::TextResult, L"0", 0};
  return calls;
}

const TDialectCalls& ODBCCalls() {
  static const TDialectCalls calls{{L"SQLExecute", L"SQLExecDirect", L"SQLExecDirectW"}, L"StatementText",
                                   L"StatementText", L"StatementHandle",
                                   {}, L"SQLPrepare", L"StatementHandle",
                                   S::TextResult, L"SQL_SUCCESS", 0};
  return calls;
}

const TDialectCalls& AdvCalls() {
  static const TDialectCalls calls{{L"AdsExecuteSQL"}, L"hStatement", L"Statement", L"hStatement",
                                   {L"AdsPrepareSQL"}, L"", L"hStatement",
                                   S::TextResult, L"ACE_SUCCESS", 0};
  return calls;
}

const TDialectCalls& SQLiteCalls() {
  static const TDialectCalls calls{{L"sqlite3_step"}, L"stmt", L"stmt", L"pStmt",
                                   {L"sqlite3_prepare", L"sqlite3_prepare16", L"sqlite3_prepare16_v2",
                                    L"sqlite3_prepare_v2"}, L"", L"stmtp",
                                   S::IntegerResult, L"", 0};
  return calls;
}

const TDialectCalls& PostgreCalls() {
  static const TDialectCalls calls{{L"PQexecPrepared"}, L"", L"stmt", L"stmtName",
                                   {L"PQprepare"}, L"", L"stmtName",
                                   S::NoResultTest, L"", 0};
  return calls;
}

const TDialectCalls& SybaseCalls() {
  static const TDialectCalls calls{{L"dbpp_open"}, L"Stmt", L"Stmt", L"StmtNum",
                                   {L"dbpp_prepare_describe"}, L"", L"StmtNum",
                                   S::IntegerResult, L"", 0};
  return calls;
}

const TDialectCalls& DB2Calls() {
  static const TDialectCalls calls{{L"SQLExecute"}, L"stmt", L"stmt", L"hstmt",
                                   {}, L"SQLPrepare", L"hstmt",
                                   S::TextResult, L"SQL_SUCCESS", 0};
  return calls;
}

}  // namespace

// ---- reading a call -----------------------------------------------------------------------------

std::wstring CallName(ICallTracerEvent* event) {
  TBStr text;
  OleCheck(event->get_Text(text.Put()));
  return text.Str();
}

TComPtr<ITracerEventParams> CallParams(ICallTracerEvent* event) {
  TComPtr<ITracerEventParams> params;
  OleCheck(event->get_Params(params.Put()));
  return params;
}

TOleVariant CallParam(ICallTracerEvent* event, const std::wstring& name) {
  return ParamValueOrEmpty(CallParams(event).Get(), name);
}

TOleVariant CallResult(ICallTracerEvent* event) {
  TOleVariant result;
  OleCheck(event->get_Result(result.Receive()));
  return result;
}

// ---- the dialect base ---------------------------------------------------------------------------

void TDialectSQLAssembler::Initialize() {
  TSQLAssembler::Initialize();
  FStatement = NewStatement();
}

void TDialectSQLAssembler::BeginStatement(ICallTracerEvent* event) {
  FStatement->SetSQL(VariantToWide(CallParam(event, FCalls.SQLParam)));
  Handle = VariantToInt32(CallParam(event, FCalls.HandleParam));
}

bool TDialectSQLAssembler::IsExecuteCall(ICallTracerEvent* event) {
  const std::wstring name = CallName(event);
  for (const std::wstring& execute : FCalls.ExecuteNames)
    if (name == execute) return true;
  return false;
}

bool TDialectSQLAssembler::HasStatement(ICallTracerEvent* event) {
  if (FCalls.PresenceParam.empty()) return true;
  const TOleVariant value = CallParam(event, FCalls.PresenceParam);
  return !value.IsEmpty() && !value.IsNull();
}

bool TDialectSQLAssembler::IsMatchingPrepare(ICallTracerEvent* event) {
  const std::wstring name = CallName(event);
  bool prepare = !FCalls.PreparePrefix.empty() && WideStrStartsWith(FCalls.PreparePrefix, name);
  for (const std::wstring& n : FCalls.PrepareNames) prepare = prepare || name == n;
  if (!prepare || !IsSameHandle(CallParam(event, FCalls.PrepareHandleParam))) return false;
  switch (FCalls.SuccessKind) {
    case TDialectCalls::TextResult:
      return SameValue(CallResult(event), TOleVariant(FCalls.SuccessText));
    case TDialectCalls::IntegerResult:
      return SameValue(CallResult(event), TOleVariant(FCalls.SuccessInteger));
    default:
      return true;
  }
}

bool TDialectSQLAssembler::ProcessEarlierEvent(ICallTracerEvent* event) {
  if (!TSQLAssembler::ProcessEarlierEvent(event)) return false;
  return BindValues(event, CallName(event));
}

void TDialectSQLAssembler::ReadIndexedValues(ITracerEventParams* params, const wchar_t* valueFormat,
                                             const wchar_t* typeFormat, const std::wstring& prefix,
                                             const std::wstring& byName) {
  auto name = [&](const wchar_t* format, int k) {
    return prefix.empty() ? WideFormat(format, k) : WideFormat(format, prefix.c_str(), k);
  };
  for (int k = 1;; ++k) {
    TOleVariant value;
    if (!GetParamValue(params, name(valueFormat, k), value)) break;
    const std::wstring type = VariantToWide(ParamValueOrEmpty(params, name(typeFormat, k)));
    if (byName.empty())
      FStatement->SetParamByIndex(k, type, value);
    else
      FStatement->SetParamByName(byName, type, value);
  }
}

void TDialectSQLAssembler::ReadExecuteValues(ICallTracerEvent* event, const std::wstring& valueName,
                                             const std::wstring& typeName) {
  if (!FAtExecuteCall) return;
  TComPtr<ITracerEventParams> params = CallParams(event);
  LONG count = 0;
  if (params) OleCheck(params->get_Count(&count));
  const std::wstring opening = valueName + L"[";
  for (LONG i = 0; i < count; ++i) {
    TComPtr<ITracerEventParam> param;
    OleCheck(params->get_Item(i, param.Put()));
    if (!param) continue;
    TBStr name;
    OleCheck(param->get_Name(name.Put()));
    const std::wstring text = name.Str();
    if (text.size() <= opening.size() + 1 || text.compare(0, opening.size(), opening) != 0 || text.back() != L']')
      continue;
    const std::wstring target = text.substr(opening.size(), text.size() - opening.size() - 1);
    TOleVariant value;
    OleCheck(param->get_Value(value.Receive()));
    const std::wstring type = VariantToWide(ParamValueOrEmpty(params.Get(), typeName + L"[" + target + L"]"));
    if (target.find_first_not_of(L"0123456789") == std::wstring::npos && target.size() <= 9)
      FStatement->SetParamByIndex(std::stoi(target), type, value);
    else
      FStatement->SetParamByName(target, type, value);
  }
}

void TDialectSQLAssembler::BindParameterCall(ICallTracerEvent* event, const std::wstring& callName,
                                             const wchar_t* handleParam, const wchar_t* valueParam) {
  if (callName != L"SQLBindParameter") return;
  TComPtr<ITracerEventParams> params = CallParams(event);
  if (!SameHandle(ParamValueOrEmpty(params.Get(), handleParam), Handle)) return;
  FStatement->SetParamByIndex(VariantToInt32(ParamValueOrEmpty(params.Get(), L"ParameterNumber")),
                              VariantToWide(ParamValueOrEmpty(params.Get(), L"ValueType")),
                              ParamValueOrEmpty(params.Get(), valueParam));
}

// ---- Oracle -------------------------------------------------------------------------------------

TOraSQLAssembler::TOraSQLAssembler()
    : TDialectSQLAssembler({L"ORAVOSTIK", L"Oracle SQL Assembler", L"Oracle SQL Assembler"}, OraCalls()) {}

bool TOraSQLAssembler::BindValues(ICallTracerEvent* event, const std::wstring& callName) {
  ReadExecuteValues(event, L"valuep", L"dty");
  if (callName != L"OCIBindByName" && callName != L"OCIBindByPos") return true;
  TComPtr<ITracerEventParams> params = CallParams(event);
  if (!SameHandle(ParamValueOrEmpty(params.Get(), L"stmtp"), Handle)) return true;
  const std::wstring type = VariantToWide(ParamValueOrEmpty(params.Get(), L"dty"));
  const TOleVariant value = ParamValueOrEmpty(params.Get(), L"valuep");
  if (callName == L"OCIBindByName")
    FStatement->SetParamByName(VariantToWide(ParamValueOrEmpty(params.Get(), L"placeholder")), type, value);
  else
    FStatement->SetParamByIndex(VariantToInt32(ParamValueOrEmpty(params.Get(), L"position")), type, value);
  return true;
}

// ---- InterBase ----------------------------------------------------------------------------------

TIBSQLAssembler::TIBSQLAssembler()
    : TDialectSQLAssembler({L"IBVOSTIK", L"InterBase SQL Assembler", L"Interbase SQL Assembler"}, IBCalls()) {}

// The execute call carries the values itself; earlier calls are never examined. Output values
// only fill positions that no input value took.
bool TIBSQLAssembler::BindValues(ICallTracerEvent* event, const std::wstring&) {
  TComPtr<ITracerEventParams> params = CallParams(event);
  ReadIndexedValues(params.Get(), L"%ls_%d_value", L"%ls_%d_type", L"in_param");
  ReadIndexedValues(params.Get(), L"%ls_%d_value", L"%ls_%d_type", L"out_param");
  return false;
}

// ---- ODBC ---------------------------------------------------------------------------------------

TODBCSQLAssembler::TODBCSQLAssembler()
    : TDialectSQLAssembler({L"ODBCVOSTIK", L"ODBC SQL Assembler", L"ODBC SQL Assembler"}, ODBCCalls()) {}

bool TODBCSQLAssembler::BindValues(ICallTracerEvent* event, const std::wstring& callName) {
  ReadExecuteValues(event, L"Value", L"ValueType");
  BindParameterCall(event, callName, L"StatementHandle", L"Value");
  return true;
}

// ---- Advantage ----------------------------------------------------------------------------------

TAdvSQLAssembler::TAdvSQLAssembler()
    : TDialectSQLAssembler({L"ADVVOSTIK", L"Advantage SQL Assembler", L"Advantage SQL Assembler"}, AdvCalls()) {}

bool TAdvSQLAssembler::BindValues(ICallTracerEvent* event, const std::wstring& callName) {
  if (!IsOneOf(callName, {L"AdsSetString", L"AdsSetDouble", L"AdsSetLong", L"AdsSetShort", L"AdsSetJulian"}))
    return true;
  TComPtr<ITracerEventParams> params = CallParams(event);
  if (!SameHandle(ParamValueOrEmpty(params.Get(), L"hObj"), Handle)) return true;
  const std::wstring type = VariantToWide(ParamValueOrEmpty(params.Get(), L"Type"));
  const TOleVariant value = ParamValueOrEmpty(params.Get(), L"Value");
  const TOleVariant field = ParamValueOrEmpty(params.Get(), L"pucFldName");
  if (field.Type() == VT_BSTR)
    FStatement->SetParamByName(field.AsBSTRText(), type, value);
  else
    FStatement->SetParamByIndex(VariantToInt32(field), type, value);
  return true;
}

// ---- SQLite -------------------------------------------------------------------------------------

TSQLiteSQLAssembler::TSQLiteSQLAssembler()
    : TDialectSQLAssembler({L"SQLITEVOSTIK", L"SQLite SQL Assembler", L"SQLite SQL Assembler"}, SQLiteCalls()) {}

bool TSQLiteSQLAssembler::BindValues(ICallTracerEvent* event, const std::wstring& callName) {
  static const struct {
    const wchar_t* Call;
    const wchar_t* Type;
  } Binds[] = {{L"sqlite3_bind_double", L"DOUBLE"}, {L"sqlite3_bind_int", L"INT"}, {L"sqlite3_bind_text", L"TEXT"},
               {L"sqlite3_bind_text16", L"TEXT16"}, {L"sqlite3_bind_null", L"NULL"}};
  for (const auto& bind : Binds) {
    if (callName != bind.Call) continue;
    TComPtr<ITracerEventParams> params = CallParams(event);
    if (!SameHandle(ParamValueOrEmpty(params.Get(), L"pStmt"), Handle)) return true;
    TOleVariant value;
    if (callName == L"sqlite3_bind_null")
      V_VT(&value) = VT_NULL;
    else
      value = ParamValueOrEmpty(params.Get(), L"Value");
    FStatement->SetParamByIndex(VariantToInt32(ParamValueOrEmpty(params.Get(), L"idx")), bind.Type, value);
    return true;
  }
  return true;
}

// ---- PostgreSQL ---------------------------------------------------------------------------------

TPostgreSQLAssembler::TPostgreSQLAssembler()
    : TDialectSQLAssembler({L"POSTGREVOSTIK", L"Postgre SQL Assembler", L"Postgre SQL Assembler"}, PostgreCalls()) {}

void TPostgreSQLAssembler::BeginStatement(ICallTracerEvent* event) {
  FStatement->SetSQL(VariantToWide(CallParam(event, Calls().SQLParam)));
  Handle = VariantToWide(CallParam(event, Calls().HandleParam));
}

bool TPostgreSQLAssembler::IsSameHandle(const VARIANT& value) const { return SameValue(value, TOleVariant(Handle)); }

// The execute call carries "ParamCount" values param1, param2, ...: $1, $2, ...
bool TPostgreSQLAssembler::BindValues(ICallTracerEvent* event, const std::wstring&) {
  TComPtr<ITracerEventParams> params = CallParams(event);
  LONG available = 0;
  if (params) OleCheck(params->get_Count(&available));
  // A count beyond the logged parameters names values that are not there.
  const int32_t count = std::min<int32_t>(VariantToInt32(ParamValueOrEmpty(params.Get(), L"ParamCount")), available);
  for (int32_t n = 1; n <= count; ++n) {
    const TOleVariant value = ParamValueOrEmpty(params.Get(), L"param" + std::to_wstring(n));
    if (!value.IsEmpty()) FStatement->SetParamByName(std::to_wstring(n), std::wstring(), value);
  }
  return false;
}

// ---- Sybase -------------------------------------------------------------------------------------

TSybaseSQLAssembler::TSybaseSQLAssembler()
    : TDialectSQLAssembler({L"SYBVOSTIK", L"Sybase SQL Assembler", L"Sybase SQL Assembler"}, SybaseCalls()) {}

// Every call examined offers its values; one "name" parameter sends them all to that name.
bool TSybaseSQLAssembler::BindValues(ICallTracerEvent* event, const std::wstring&) {
  TComPtr<ITracerEventParams> params = CallParams(event);
  const TOleVariant name = ParamValueOrEmpty(params.Get(), L"name");
  const std::wstring byName = name.IsEmpty() || name.IsNull() ? std::wstring() : VariantToWide(name);
  ReadIndexedValues(params.Get(), L"param_%d_value", L"param_%d_type", std::wstring(), byName);
  return true;
}

// ---- DB2 ----------------------------------------------------------------------------------------

TDB2SQLAssembler::TDB2SQLAssembler()
    : TDialectSQLAssembler({L"DB2VOSTIK", L"DB2 SQL Assembler", L"DB2 SQL Assembler"}, DB2Calls()) {}

bool TDB2SQLAssembler::BindValues(ICallTracerEvent* event, const std::wstring& callName) {
  ReadExecuteValues(event, L"ParameterValue", L"ValueType");
  BindParameterCall(event, callName, L"hstmt", L"ParameterValue");
  return true;
}
