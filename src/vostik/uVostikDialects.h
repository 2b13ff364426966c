// The eight dialects: which logged calls execute, prepare and bind a statement of one database
// client library, and under which parameter names the log carries text, handle and values.
#pragma once
#include <windows.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "vostik/uVostikBase.h"

// The call and parameter names of one client library.
struct TDialectCalls {
  std::vector<std::wstring> ExecuteNames;
  std::wstring PresenceParam;  // empty: every execute call has a statement
  std::wstring SQLParam;
  std::wstring HandleParam;
  std::vector<std::wstring> PrepareNames;
  std::wstring PreparePrefix;  // set: any call name beginning with it prepares
  std::wstring PrepareHandleParam;
  enum TSuccess { NoResultTest, TextResult, IntegerResult } SuccessKind;
  std::wstring SuccessText;  // the result of a successful prepare, as text or integer
  int32_t SuccessInteger;
};

// A dialect whose statement handle is a 32-bit integer. Binds go through BindValues.
class TDialectSQLAssembler : public TSQLAssembler {
public:
  TDialectSQLAssembler(const TAssemblerActionInfo& actionInfo, const TDialectCalls& calls)
      : TSQLAssembler(actionInfo), FCalls(calls) {}

  void Initialize() override;
  void BeginStatement(ICallTracerEvent* event) override;
  bool IsExecuteCall(ICallTracerEvent* event) override;
  bool HasStatement(ICallTracerEvent* event) override;
  bool IsMatchingPrepare(ICallTracerEvent* event) override;
  bool ProcessEarlierEvent(ICallTracerEvent* event) override;

  const TDialectCalls& Calls() const { return FCalls; }
  int32_t Handle = 0;

protected:
  virtual std::unique_ptr<TSQLStatement> NewStatement() const { return std::make_unique<TSQLStatement>(); }
  // The dialect's bind rule for a call that is not the matching prepare; answers whether the
  // walk goes on.
  virtual bool BindValues(ICallTracerEvent* event, const std::wstring& callName) = 0;
  // The prepare's handle against the remembered one.
  virtual bool IsSameHandle(const VARIANT& value) const { return SameHandle(value, Handle); }
  // value k, type k, for k = 1, 2, ... until a value parameter is missing (format with %d, or
  // with %s and %d when prefix is given). byName: every value goes to that name instead.
  void ReadIndexedValues(ITracerEventParams* params, const wchar_t* valueFormat, const wchar_t* typeFormat,
                         const std::wstring& prefix = std::wstring(), const std::wstring& byName = std::wstring());
  // On the execute call itself: the values its handler read from the bound buffers when the
  // statement ran, logged as "<valueName>[<target>]" with "<typeName>[<target>]"; a target of
  // digits is an index, any other a name.
  void ReadExecuteValues(ICallTracerEvent* event, const std::wstring& valueName, const std::wstring& typeName);
  // SQLBindParameter of the remembered handle (ODBC's and DB2 CLI's layout, their own names).
  void BindParameterCall(ICallTracerEvent* event, const std::wstring& callName, const wchar_t* handleParam,
                         const wchar_t* valueParam);

private:
  const TDialectCalls& FCalls;
};

// The call name, parameters, one parameter's value and the result of a logged call.
std::wstring CallName(ICallTracerEvent* event);
TComPtr<ITracerEventParams> CallParams(ICallTracerEvent* event);
TOleVariant CallParam(ICallTracerEvent* event, const std::wstring& name);
TOleVariant CallResult(ICallTracerEvent* event);

class TOraSQLAssembler : public TDialectSQLAssembler {
public:
  TOraSQLAssembler();

protected:
  std::unique_ptr<TSQLStatement> NewStatement() const override { return std::make_unique<TOraSQLStatement>(); }
  bool BindValues(ICallTracerEvent* event, const std::wstring& callName) override;
};

class TIBSQLAssembler : public TDialectSQLAssembler {
public:
  TIBSQLAssembler();

protected:
  bool BindValues(ICallTracerEvent* event, const std::wstring& callName) override;
};

class TODBCSQLAssembler : public TDialectSQLAssembler {
public:
  TODBCSQLAssembler();

protected:
  bool BindValues(ICallTracerEvent* event, const std::wstring& callName) override;
};

class TAdvSQLAssembler : public TDialectSQLAssembler {
public:
  TAdvSQLAssembler();

protected:
  std::unique_ptr<TSQLStatement> NewStatement() const override { return std::make_unique<TAdvSQLStatement>(); }
  bool BindValues(ICallTracerEvent* event, const std::wstring& callName) override;
};

class TSQLiteSQLAssembler : public TDialectSQLAssembler {
public:
  TSQLiteSQLAssembler();

protected:
  std::unique_ptr<TSQLStatement> NewStatement() const override { return std::make_unique<TSQLiteSQLStatement>(); }
  bool BindValues(ICallTracerEvent* event, const std::wstring& callName) override;
};

// The statement handle is the statement's name.
class TPostgreSQLAssembler : public TDialectSQLAssembler {
public:
  TPostgreSQLAssembler();
  void BeginStatement(ICallTracerEvent* event) override;
  std::wstring Handle;

protected:
  std::unique_ptr<TSQLStatement> NewStatement() const override { return std::make_unique<TPostgreSQLStatement>(); }
  bool BindValues(ICallTracerEvent* event, const std::wstring& callName) override;
  bool IsSameHandle(const VARIANT& value) const override;
};

class TSybaseSQLAssembler : public TDialectSQLAssembler {
public:
  TSybaseSQLAssembler();

protected:
  std::unique_ptr<TSQLStatement> NewStatement() const override { return std::make_unique<TSybaseSQLStatement>(); }
  bool BindValues(ICallTracerEvent* event, const std::wstring& callName) override;
};

class TDB2SQLAssembler : public TDialectSQLAssembler {
public:
  TDB2SQLAssembler();

protected:
  std::unique_ptr<TSQLStatement> NewStatement() const override { return std::make_unique<TDB2SQLStatement>(); }
  bool BindValues(ICallTracerEvent* event, const std::wstring& callName) override;
};
