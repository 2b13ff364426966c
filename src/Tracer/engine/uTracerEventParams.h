// The parameters of one traced call as automation objects: what handlers, scripts, plug-ins
// and the log see. Item 0 of a call's list is "result"; error events carry one "msg".
#pragma once
#include <windows.h>
#include <oaidl.h>

#include <memory>
#include <mutex>
#include <string>

#include "Tracer/com/CalderwispTlb.h"
#include "Tracer/com/uAutoObject.h"
#include "Tracer/com/uInterfaceList.h"
#include "Tracer/foundation/uOleVariant.h"

class TTracerEventParam : public TAutoIntfObject<ITracerEventParam> {
public:
  explicit TTracerEventParam(const std::wstring& name);

  HRESULT STDMETHODCALLTYPE get_Name(BSTR* Name) override;
  HRESULT STDMETHODCALLTYPE put_Name(BSTR Name) override;
  HRESULT STDMETHODCALLTYPE get_Value(VARIANT* Value) override;
  HRESULT STDMETHODCALLTYPE put_Value(VARIANT Value) override;
  HRESULT STDMETHODCALLTYPE get_Visible(VARIANT_BOOL* Visible) override;
  HRESULT STDMETHODCALLTYPE put_Visible(VARIANT_BOOL Visible) override;

private:
  // Name and value may be read on the main thread while a script writes them.
  mutable std::mutex FLock;
  std::wstring FName;
  TOleVariant FValue;
  VARIANT_BOOL FVisible = VARIANT_TRUE;

protected:
  ~TTracerEventParam() override;
};

using TTracerEventParamsList = TInterfaceList<ITracerEventParam>;
using TTracerEventParamsListRef = std::shared_ptr<TTracerEventParamsList>;

// The item at Index as ITracerEventParam; "List index out of bounds (%d)" outside the list.
TComPtr<ITracerEventParam> GetParamItem(const TTracerEventParamsList& list,
                                                       int index);
// Index of the first item whose name equals Name ignoring case; -1 when none.
int IndexOfParamName(const TTracerEventParamsList& list, const std::wstring& name);
// Case-insensitive comparison in the user's locale.
bool SameParamName(const std::wstring& a, const std::wstring& b);

class TTracerEventParams : public TAutoIntfObject<ITracerEventParams> {
public:
  TTracerEventParams();

  HRESULT STDMETHODCALLTYPE get_Count(LONG* Count) override;
  HRESULT STDMETHODCALLTYPE get_Item(LONG Index, ITracerEventParam** Param) override;
  HRESULT STDMETHODCALLTYPE Add(BSTR Name, ITracerEventParam** Param) override;
  HRESULT STDMETHODCALLTYPE Find(BSTR Name, ITracerEventParam** Param) override;
  HRESULT STDMETHODCALLTYPE get_Values(VARIANT* Values) override;

  // For the engine's own use (no COM round trip).
  TComPtr<ITracerEventParam> AddParam(const std::wstring& name);
  const TTracerEventParamsList& List() const { return *FList; }

private:
  TTracerEventParamsListRef FList;
  TComPtr<IDispatch> FValuesDispatch;

protected:
  ~TTracerEventParams() override;
};

// A new, empty parameter list (one reference owned by the caller).
TComPtr<ITracerEventParams> NewTracerEventParams();
