// The SQL statement model (parameter scan, bindings, assembly), the assembler base that the
// eight dialects derive from, and its toolbar action.
//
// The assembler walks back through the host's log from the focused execute call, lets its
// dialect bind the values that earlier calls supplied, and assembles the statement. Every name
// of a statement parameter compares without regard to letter case; names of logged call
// parameters compare exactly.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "Tracer/com/CalderwispTlb.h"
#include "Tracer/com/uAutoObject.h"
#include "Tracer/foundation/uHolders.h"
#include "Tracer/foundation/uOleVariant.h"
#include "Tracer/foundation/uSingletons.h"

// ---- statement model ----------------------------------------------------------------------------

class TSQLParam {
public:
  explicit TSQLParam(std::wstring name) : Name(std::move(name)) {}
  // Sets the data type and a copy of the value.
  void Bind(const std::wstring& dataType, const VARIANT& value);
  bool Bound() const { return !Value.IsEmpty(); }
  bool Positional() const { return Name.empty(); }

  std::wstring Name;  // empty for a positional "?"
  std::wstring DataType;
  TOleVariant Value;  // Empty: not bound (Null counts as bound)
};

class TSQLParamsEnumerator;

// The parameters in the order the scanner met them first.
class TSQLParams {
public:
  TSQLParam* Add(const std::wstring& name);
  TSQLParam* Items(int index) const;
  int Count() const { return static_cast<int>(FItems.size()); }
  // Blanks and control characters trimmed, one leading colon dropped, then compared without
  // regard to letter case; an empty name matches nothing.
  TSQLParam* FindByName(const std::wstring& name) const;
  bool AllBound() const;
  void Clear();
  // Walks from the last item to the first; the caller owns it.
  std::unique_ptr<TSQLParamsEnumerator> GetEnumerator() const;

private:
  std::vector<std::unique_ptr<TSQLParam>> FItems;
  std::unordered_map<std::wstring, TSQLParam*> FByKey;  // named items by their case-folded name
};

class TSQLParamsEnumerator {
public:
  explicit TSQLParamsEnumerator(const TSQLParams& params) : FParams(params), FIndex(params.Count()) {}
  bool MoveNext() { return --FIndex >= 0; }
  TSQLParam* Current() const;

private:
  const TSQLParams& FParams;
  int FIndex;
};

// The name a statement parameter is filed under: case-folded in the user's locale.
std::wstring SQLParamKey(const std::wstring& name);

// One SQL statement: its text, its parameters and their bindings.
class TSQLStatement {
public:
  TSQLStatement() = default;
  virtual ~TSQLStatement() = default;
  TSQLStatement(const TSQLStatement&) = delete;
  TSQLStatement& operator=(const TSQLStatement&) = delete;

  // The literal written for a date value.
  virtual std::wstring FormatDate(const VARIANT& value) const;
  // The literal written for any bound value: dates through FormatDate, strings in single
  // quotes with embedded single quotes doubled, other values as their display text.
  virtual std::wstring FormatValue(const VARIANT& value) const;
  // The character that introduces a named parameter.
  virtual wchar_t ParamPrefix() const { return L':'; }
  // What the dialect's SQL knows beyond quoted literals, "--" and "/* */" comments, "?" markers
  // and named markers after ParamPrefix.
  struct TSyntax {
    // Further characters that start a named marker; the name keeps such a prefix, since each
    // prefix names another parameter.
    const wchar_t* OtherPrefixes = L"";
    bool NumberedMarkers = false;        // "?NNN" is the parameter of index NNN
    bool DollarQuotes = false;           // "$$...$$" and "$tag$...$tag$" are literals
  };
  virtual TSyntax Syntax() const { return {}; }

  // Starts a new statement: line breaks normalised to CR LF, parameters scanned, no bindings.
  void SetSQL(const std::wstring& text);
  // Unknown names and indexes are ignored. An index is 1-based and counts parameters in the
  // order the scan met them; numbered markers ("?NNN") have their own number, and a parameter
  // met after one takes the highest number so far plus one. While KeepFirstBinding is set, an
  // item that is already bound keeps its value: the assembler walks the log from the newest call
  // back, so the first value it meets is the one the statement ran with.
  void SetParamByName(const std::wstring& name, const std::wstring& dataType, const VARIANT& value);
  void SetParamByIndex(int index, const std::wstring& dataType, const VARIANT& value);
  // AssembledSQL := SQL with the literal of each bound parameter in place of its markers.
  void Assemble();
  // How many markers the scan found (a name used twice has two).
  size_t MarkerCount() const { return FMarkers.size(); }

  std::wstring SQL;
  std::wstring AssembledSQL;
  TSQLParams Params;
  bool KeepFirstBinding = false;

private:
  // Where a parameter's marker stands in SQL.
  struct TMarker {
    size_t Start;
    size_t Length;
    TSQLParam* Param;
  };
  std::vector<TMarker> FMarkers;
  std::vector<TSQLParam*> FByIndex;  // the parameter of each index (1-based); holes are null

  void ParseParams(const std::wstring& text);
  void Bind(TSQLParam* param, const std::wstring& dataType, const VARIANT& value);
};

// The dialects' statements: their date literals and the dollar prefix.
class TOraSQLStatement : public TSQLStatement {
public:
  // to_date('05.03.2024 14.07.09', 'DD.MM.YYYY HH24.MI.SS'); the time part only when not midnight.
  std::wstring FormatDate(const VARIANT& value) const override;
};

class TAdvSQLStatement : public TSQLStatement {
public:
  std::wstring FormatDate(const VARIANT& value) const override;  // '2024-03-05'
};

// ":name", "@name", "$name", "?" and "?NNN"; ":a", "@a" and "$a" are three parameters (named
// "a", "@a" and "$a").
class TSQLiteSQLStatement : public TSQLStatement {
public:
  TSyntax Syntax() const override { return {L"@$", true, false}; }
};

// "$1", "$2", ...; dollar-quoted bodies are literals.
class TPostgreSQLStatement : public TSQLStatement {
public:
  wchar_t ParamPrefix() const override { return L'$'; }
  TSyntax Syntax() const override { return {L"", false, true}; }
};

class TSybaseSQLStatement : public TSQLStatement {
public:
  std::wstring FormatDate(const VARIANT& value) const override;  // '2024-3-5'
};

class TDB2SQLStatement : public TSQLStatement {
public:
  std::wstring FormatDate(const VARIANT& value) const override;  // DATE('2024-03-05')
};

// The text with every line ended by CR LF (CR, LF and CR LF each end a line); text after a
// NUL character is dropped.
std::wstring NormalizeLineBreaks(const std::wstring& text);

// A row of the result window's parameter list.
struct TSQLParamRow {
  std::wstring Caption;  // the name, or "PARAM nn" for a positional parameter
  std::wstring DataType;
  std::wstring Value;  // display text; empty while unbound
};
std::vector<TSQLParamRow> SQLParamRows(const TSQLParams& params);

// ---- reading logged calls -----------------------------------------------------------------------

// The index of the parameter named exactly Name, or -1.
int FindParamIndex(ITracerEventParams* params, const std::wstring& name);
bool GetParamValue(ITracerEventParams* params, const std::wstring& name, TOleVariant& value);
TOleVariant ParamValueOrEmpty(ITracerEventParams* params, const std::wstring& name);

// Conversions of logged values; none of them raises. Empty and Null give an empty text and 0.
std::wstring VariantToWide(const VARIANT& value);
// Integers keep their low 32 bits (a handle above 2 GB stays the same pattern); texts are read
// as decimal or "0x" hexadecimal numbers; anything else is 0.
int32_t VariantToInt32(const VARIANT& value);
// Empty equals only Empty, Null only Null; a number and its decimal text are the same value;
// values that cannot be compared are different.
bool SameValue(const VARIANT& a, const VARIANT& b);
// The value against a remembered handle, both as 32-bit patterns; Empty, Null and texts that are
// no number never match.
bool SameHandle(const VARIANT& value, int32_t handle);

// Prefix test on UTF-16 code units, for call-name prefixes such as "SQLPrepare".
int WideStrLCompCodePoint(const wchar_t* a, const wchar_t* b, int n);
bool WideStrStartsWith(const std::wstring& prefix, const std::wstring& text);

// ---- the assembler ------------------------------------------------------------------------------

class TBaseAssemblerAction;

// What a dialect shows on the host's plug-in toolbar.
struct TAssemblerActionInfo {
  const wchar_t* IconResource;
  const wchar_t* Caption;
  const wchar_t* Hint;
};

// The plug-in object the host creates by class id. Everything runs on the host's main thread.
class TSQLAssembler : public TInterfacedObject, public IAppPlugin {
public:
  explicit TSQLAssembler(const TAssemblerActionInfo& actionInfo);
  ~TSQLAssembler() override;
  CW_IUNKNOWN_COUNTED
  void* GetInterface(REFIID iid) override;

  // Runs once after construction: clears Action and App; a dialect then makes its Statement.
  virtual void Initialize();
  // Reads the statement text and handle from the execute call.
  virtual void BeginStatement(ICallTracerEvent* event) = 0;
  virtual bool IsExecuteCall(ICallTracerEvent* event) = 0;
  virtual bool HasStatement(ICallTracerEvent* event) = 0;
  virtual bool IsMatchingPrepare(ICallTracerEvent* event) = 0;
  // Takes what the call offers for the statement; false stops the walk.
  virtual bool ProcessEarlierEvent(ICallTracerEvent* event);

  // IAppPlugin: keeps App and registers the action. A failure goes back to the host as the
  // thread's error information.
  void STDMETHODCALLTYPE Connect(IAppObject* app) override;

  // The walk of the action, without showing anything: false when the focused row has no
  // statement to assemble (no focus, not a call, no statement).
  bool AssembleFocused();
  // The result window (modal), then the wrap setting saved.
  void ShowResult();

  IAppObject* App() const { return FApp.Get(); }
  TSQLStatement* Statement() const { return FStatement.get(); }
  IAppPluginAction* Action() const { return FAction.Get(); }
  const TAssemblerActionInfo& ActionInfo() const { return FActionInfo; }

protected:
  // Called by Connect inside its guard.
  virtual void DoConnect(IAppObject* app);
  std::unique_ptr<TSQLStatement> FStatement;
  // Set while the walk hands the execute call itself to ProcessEarlierEvent.
  bool FAtExecuteCall = false;

private:
  TComPtr<IAppObject> FApp;
  TComPtr<IAppPluginAction> FAction;
  TBaseAssemblerAction* FActionObject = nullptr;  // the object behind FAction
  TAssemblerActionInfo FActionInfo;
  TComObjectCounter FCounter;
};

// Makes an assembler of class T and runs its initialisation; the caller takes the first reference.
template <class T>
T* NewSQLAssembler() {
  T* assembler = new T();
  try {
    assembler->Initialize();
  } catch (...) {
    delete assembler;
    throw;
  }
  return assembler;
}

// The toolbar action of one assembler. It holds its assembler without a reference; the
// assembler cuts the link when it goes, so a host that keeps the action longer gets a disabled,
// inert action.
class TBaseAssemblerAction : public TInterfacedObject, public IAppPluginAction {
public:
  explicit TBaseAssemblerAction(TSQLAssembler* assembler) : FAssembler(assembler) {}
  CW_IUNKNOWN_COUNTED
  void* GetInterface(REFIID iid) override;

  // IAppPluginAction. No exception leaves them: a failure goes to the host as the thread's
  // error information; the host shows a failed Execute and hides an action whose GetState
  // failed (which then answers 0).
  void STDMETHODCALLTYPE Execute() override;
  LONG STDMETHODCALLTYPE GetState() override;

  virtual void DoExecute();
  virtual LONG DoGetState();
  void DetachAssembler() { FAssembler = nullptr; }
  TSQLAssembler* Assembler() const { return FAssembler; }

private:
  TSQLAssembler* FAssembler;
  TComObjectCounter FCounter;  // the library must stay while a host holds the action
};

// The focused call of the host's visible log, or nothing.
TComPtr<ICallTracerEvent> FocusedCallEvent(IAppObject* app);

// The named icon of this module; raises the system error when it has none.
HICON LoadActionIcon(const wchar_t* resourceName);

// The host's setting that remembers the wrap check box of the result window.
extern const std::wstring WrapSQLSettingKey;

// How the result is shown: the result window unless a viewer is set (tests set their own).
// Called with the assembler whose Statement holds the result; answers the wrap state the
// viewer ended with (the one passed in when it has none).
using TSQLResultViewer = bool (*)(TSQLAssembler& assembler, bool wrap);
TSQLResultViewer SetSQLResultViewer(TSQLResultViewer viewer);
