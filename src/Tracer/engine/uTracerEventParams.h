// The parameters of one traced call as automation objects: what handlers, scripts, plug-ins
// and the log see. Item 0 of a call's list is "result"; error events carry one "msg".
//
// A traced call is logged many times an hour, and most lists are never looked at by a script,
// a plug-in or the window: the list keeps its names, values and flags in one block, and makes a
// parameter's automation object (and the values object) when a client first asks for it. While
// a client holds one, every request for that item answers the same object.
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <memory>
#include <string>
#include <vector>

#include "Tracer/com/CalderwispTlb.h"
#include "Tracer/com/uAutoObject.h"
#include "Tracer/foundation/uOleVariant.h"

class TTracerEventParams;

// One copy of a name the engine uses again and again (definitions' parameter names, "result",
// "msg", call titles), kept for the program's life.
using TSharedText = std::shared_ptr<const std::wstring>;
TSharedText InternText(const std::wstring& text);

// Case-insensitive comparison in the user's locale.
bool SameParamName(const std::wstring& a, const std::wstring& b);

// The automation object of one item of a list; it keeps its list alive.
class TTracerEventParam : public TAutoIntfObject<ITracerEventParam> {
public:
  TTracerEventParam(TTracerEventParams* owner, int index);

  HRESULT STDMETHODCALLTYPE get_Name(BSTR* Name) override;
  HRESULT STDMETHODCALLTYPE put_Name(BSTR Name) override;
  HRESULT STDMETHODCALLTYPE get_Value(VARIANT* Value) override;
  HRESULT STDMETHODCALLTYPE put_Value(VARIANT Value) override;
  HRESULT STDMETHODCALLTYPE get_Visible(VARIANT_BOOL* Visible) override;
  HRESULT STDMETHODCALLTYPE put_Visible(VARIANT_BOOL Visible) override;

protected:
  ~TTracerEventParam() override;

private:
  TComPtr<TTracerEventParams> FOwner;
  int FIndex;
};

class TTracerEventParams : public TAutoIntfObject<ITracerEventParams> {
public:
  TTracerEventParams();

  HRESULT STDMETHODCALLTYPE get_Count(LONG* Count) override;
  HRESULT STDMETHODCALLTYPE get_Item(LONG Index, ITracerEventParam** Param) override;
  HRESULT STDMETHODCALLTYPE Add(BSTR Name, ITracerEventParam** Param) override;
  HRESULT STDMETHODCALLTYPE Find(BSTR Name, ITracerEventParam** Param) override;
  HRESULT STDMETHODCALLTYPE get_Values(VARIANT* Values) override;

  // For the engine's own use (no COM round trip, no automation object made).
  void Reserve(size_t count);
  // Appends a parameter; returns its index.
  int AppendParam(TSharedText name, const VARIANT& value, bool visible);
  void SetValue(int index, const VARIANT& value);
  // Appends an empty, visible parameter and returns its automation object.
  TComPtr<ITracerEventParam> AddParam(const std::wstring& name);

  int Count() const;
  // The item's automation object; "List index out of bounds (%d)" outside the list.
  TComPtr<ITracerEventParam> Item(int index);
  // Index of the first item whose name equals name ignoring case; -1 when none.
  int IndexOfName(const std::wstring& name) const;

  // The item's fields, for its automation object.
  std::wstring NameOf(int index) const;
  void SetNameOf(int index, std::wstring name);
  TOleVariant ValueOf(int index) const;
  VARIANT_BOOL VisibleOf(int index) const;
  void SetVisibleOf(int index, VARIANT_BOOL visible);
  // An item's or the values object's automation object is going.
  void ForgetParamObject(int index, TTracerEventParam* object);
  void ForgetValuesObject(IDispatch* object);

protected:
  ~TTracerEventParams() override;

private:
  struct TEntry {
    TSharedText Name;
    TOleVariant Value;
    TTracerEventParam* Object = nullptr;  // the live automation object, not counted
    VARIANT_BOOL Visible = VARIANT_TRUE;
  };
  void CheckIndex(int index) const;

  mutable SRWLOCK FLock = SRWLOCK_INIT;
  std::vector<TEntry> FEntries;
  TInterfacedObject* FValuesObject = nullptr;  // live values object, not counted
  IDispatch* FValuesDispatch = nullptr;
};

// A new, empty parameter list (one reference owned by the caller).
TComPtr<ITracerEventParams> NewTracerEventParams();
// The same, typed for the engine.
TComPtr<TTracerEventParams> NewTracerEventParamList();
