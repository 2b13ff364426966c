#include "Tracer/engine/uTracerEventParams.h"

#include "Tracer/foundation/uSingletons.h"

// ---- TTracerEventParam ----------------------------------------------------------------------

TTracerEventParam::TTracerEventParam(const std::wstring& name)
    : TAutoIntfObject<ITracerEventParam>(__uuidof(ITracerEventParam)),
      FName(name) {}

TTracerEventParam::~TTracerEventParam() = default;

HRESULT STDMETHODCALLTYPE TTracerEventParam::get_Name(BSTR* Name) {
  return ComMethodGuard([&] {
    std::lock_guard<std::mutex> guard(FLock);
    *Name = TBStr(FName).Detach();
  });
}

HRESULT STDMETHODCALLTYPE TTracerEventParam::put_Name(BSTR Name) {
  return ComMethodGuard([&] {
    std::wstring name = BStrToWide(Name);
    std::lock_guard<std::mutex> guard(FLock);
    FName.swap(name);
  });
}

HRESULT STDMETHODCALLTYPE TTracerEventParam::get_Value(VARIANT* Value) {
  return ComMethodGuard([&] {
    TOleVariant copy;
    {
      std::lock_guard<std::mutex> guard(FLock);
      OleCheck(VariantCopy(&copy, &FValue));
    }
    *Value = copy.Detach();
  });
}

HRESULT STDMETHODCALLTYPE TTracerEventParam::put_Value(VARIANT Value) {
  return ComMethodGuard([&] {
    TOleVariant value;
    OleCheck(VariantCopy(&value, &Value));
    {
      std::lock_guard<std::mutex> guard(FLock);
      std::swap(FValue, value);
    }
    // The old value (now in value) may hold an object whose release runs script code: it goes
    // outside the lock.
  });
}

HRESULT STDMETHODCALLTYPE TTracerEventParam::get_Visible(VARIANT_BOOL* Visible) {
  return ComMethodGuard([&] {
    std::lock_guard<std::mutex> guard(FLock);
    *Visible = FVisible;
  });
}

HRESULT STDMETHODCALLTYPE TTracerEventParam::put_Visible(VARIANT_BOOL Visible) {
  return ComMethodGuard([&] {
    std::lock_guard<std::mutex> guard(FLock);
    FVisible = Visible;
  });
}

// ---- list routines ---------------------------------------------------------------------------

TComPtr<ITracerEventParam> GetParamItem(const TTracerEventParamsList& list, int index) {
  TComPtr<ITracerEventParam> item = list.Get(index);
  TComPtr<ITracerEventParam> param;
  OleCheck(item->QueryInterface(__uuidof(ITracerEventParam), reinterpret_cast<void**>(param.Put())));
  return param;
}

bool SameParamName(const std::wstring& a, const std::wstring& b) {
  return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()),
                        b.data(), static_cast<int>(b.size())) == CSTR_EQUAL;
}

int IndexOfParamName(const TTracerEventParamsList& list, const std::wstring& name) {
  std::vector<TComPtr<ITracerEventParam>> items = list.Snapshot();
  for (size_t i = 0; i < items.size(); ++i) {
    TBStr itemName;
    OleCheck(items[i]->get_Name(itemName.Put()));
    if (SameParamName(itemName.Str(), name)) return static_cast<int>(i);
  }
  return -1;
}

// ---- values object -------------------------------------------------------------------------

namespace {

constexpr WORD InvokeErrorCode = 1001;

// IDispatch whose properties are the parameters of one list, by name (DISPID = index + 1).
// It shares the list with its owner, so a script that keeps it never reaches freed memory.
class TTracerEventParamValuesDisp : public TInterfacedObject, public IDispatch {
public:
  explicit TTracerEventParamValuesDisp(TTracerEventParamsListRef list) : FList(std::move(list)) {}
  CW_IUNKNOWN_COUNTED
  void* GetInterface(REFIID iid) override {
    if (iid == IID_IUnknown || iid == IID_IDispatch) return static_cast<IDispatch*>(this);
    return TInterfacedObject::GetInterface(iid);
  }

  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* pctinfo) override {
    if (pctinfo) *pctinfo = 0;
    return S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo** ppTInfo) override {
    if (ppTInfo) *ppTInfo = nullptr;
    return S_FALSE;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* rgszNames, UINT cNames, LCID,
                                          DISPID* rgDispId) override {
    return ComMethodGuard(IID_IDispatch, [&] {
      HRESULT result = S_OK;
      for (UINT i = 0; i < cNames; ++i) {
        int index = IndexOfParamName(*FList, rgszNames[i] ? rgszNames[i] : L"");
        if (index < 0) {
          rgDispId[i] = DISPID_UNKNOWN;
          result = DISP_E_UNKNOWNNAME;
        } else {
          rgDispId[i] = index + 1;
        }
      }
      return result;
    });
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID dispIdMember, REFIID, LCID, WORD wFlags,
                                   DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                   EXCEPINFO* pExcepInfo, UINT*) override {
    return ComMethodGuard(pExcepInfo, InvokeErrorCode,
                          [&] { DoInvoke(dispIdMember, wFlags, pDispParams, pVarResult); });
  }

private:
  TTracerEventParamsListRef FList;

  void DoInvoke(DISPID dispid, WORD flags, DISPPARAMS* params, VARIANT* result) {
    TComPtr<ITracerEventParam> param = GetParamItem(*FList, static_cast<int>(dispid) - 1);
    switch (flags) {
      case DISPATCH_PROPERTYGET:
      case DISPATCH_METHOD | DISPATCH_PROPERTYGET: {
        TOleVariant value;
        OleCheck(param->get_Value(value.Receive()));
        // Without a result variant there is nowhere to put the value: dropped.
        if (result) {
          TOleVariant previous = TOleVariant::Adopt(*result);
          *result = value.Detach();
        }
        break;
      }
      case DISPATCH_PROPERTYPUT:
      case DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF:
      case DISPATCH_PROPERTYPUTREF: {  // VBScript's Set arrives alone
        if (!params || params->cArgs != 1)
          throw Exception(WideFormat(L"IDispatch::Invoke() - %ls", L"Invalid argument count"));
        TOleVariant copy;
        OleCheck(VariantCopyInd(&copy, &params->rgvarg[0]));
        OleCheck(param->put_Value(copy));
        break;
      }
      default:
        throw Exception(WideFormat(L"IDispatch::Invoke() - %ls", L"Unsupported call type"));
    }
  }
};

}  // namespace

// ---- TTracerEventParams ----------------------------------------------------------------------

TTracerEventParams::TTracerEventParams()
    : TAutoIntfObject<ITracerEventParams>(__uuidof(ITracerEventParams)),
      FList(std::make_shared<TTracerEventParamsList>()),
      FValuesDispatch(new TTracerEventParamValuesDisp(FList)) {}

// The list goes with its last holder: this object or a values object a client kept.
TTracerEventParams::~TTracerEventParams() { FValuesDispatch.Reset(); }

TComPtr<ITracerEventParam> TTracerEventParams::AddParam(const std::wstring& name) {
  TComPtr<ITracerEventParam> param(new TTracerEventParam(name));
  FList->Add(param.Get());
  return param;
}

HRESULT STDMETHODCALLTYPE TTracerEventParams::get_Count(LONG* Count) {
  return ComMethodGuard([&] { *Count = FList->Count(); });
}

HRESULT STDMETHODCALLTYPE TTracerEventParams::get_Item(LONG Index, ITracerEventParam** Param) {
  return ComMethodGuard([&] { *Param = GetParamItem(*FList, Index).Detach(); });
}

HRESULT STDMETHODCALLTYPE TTracerEventParams::Add(BSTR Name, ITracerEventParam** Param) {
  return ComMethodGuard([&] { *Param = AddParam(BStrToWide(Name)).Detach(); });
}

HRESULT STDMETHODCALLTYPE TTracerEventParams::Find(BSTR Name, ITracerEventParam** Param) {
  return ComMethodGuard([&] {
    int index = IndexOfParamName(*FList, BStrToWide(Name));
    *Param = index < 0 ? nullptr : GetParamItem(*FList, index).Detach();
  });
}

HRESULT STDMETHODCALLTYPE TTracerEventParams::get_Values(VARIANT* Values) {
  return ComMethodGuard([&] {
    VariantInit(Values);
    Values->vt = VT_DISPATCH;
    Values->pdispVal = TComPtr<IDispatch>(FValuesDispatch).Detach();
  });
}

TComPtr<ITracerEventParams> NewTracerEventParams() {
  return TComPtr<ITracerEventParams>(new TTracerEventParams());
}
