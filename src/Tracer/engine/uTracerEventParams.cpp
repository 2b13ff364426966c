#include "Tracer/engine/uTracerEventParams.h"

#include <unordered_map>

#include "Tracer/foundation/uHolders.h"
#include "Tracer/foundation/uSingletons.h"

TSharedText InternText(const std::wstring& text) {
  // Never freed: the texts are the engine's own names and titles, a bounded set.
  static SRWLOCK lock = SRWLOCK_INIT;
  static auto* texts = new std::unordered_map<std::wstring, TSharedText>();
  {
    TSRWLockHold hold(lock, TSRWLockHold::Shared);
    auto found = texts->find(text);
    if (found != texts->end()) return found->second;
  }
  TSRWLockHold hold(lock, TSRWLockHold::Exclusive);
  TSharedText& entry = (*texts)[text];
  if (!entry) entry = std::make_shared<const std::wstring>(text);
  return entry;
}

bool SameParamName(const std::wstring& a, const std::wstring& b) {
  return CompareStringW(LOCALE_USER_DEFAULT, NORM_IGNORECASE, a.data(), static_cast<int>(a.size()),
                        b.data(), static_cast<int>(b.size())) == CSTR_EQUAL;
}

// ---- TTracerEventParam ----------------------------------------------------------------------

TTracerEventParam::TTracerEventParam(TTracerEventParams* owner, int index)
    : TAutoIntfObject<ITracerEventParam>(__uuidof(ITracerEventParam)), FOwner(owner), FIndex(index) {}

TTracerEventParam::~TTracerEventParam() { FOwner->ForgetParamObject(FIndex, this); }

HRESULT STDMETHODCALLTYPE TTracerEventParam::get_Name(BSTR* Name) {
  return ComMethodGuard([&] { *Name = TBStr(FOwner->NameOf(FIndex)).Detach(); });
}

HRESULT STDMETHODCALLTYPE TTracerEventParam::put_Name(BSTR Name) {
  return ComMethodGuard([&] { FOwner->SetNameOf(FIndex, BStrToWide(Name)); });
}

HRESULT STDMETHODCALLTYPE TTracerEventParam::get_Value(VARIANT* Value) {
  return ComMethodGuard([&] { *Value = FOwner->ValueOf(FIndex).Detach(); });
}

HRESULT STDMETHODCALLTYPE TTracerEventParam::put_Value(VARIANT Value) {
  // A script hands its variables by reference: the log keeps the value, not the reference.
  return ComMethodGuard([&] { FOwner->SetValue(FIndex, VariantByValue(Value)); });
}

HRESULT STDMETHODCALLTYPE TTracerEventParam::get_Visible(VARIANT_BOOL* Visible) {
  return ComMethodGuard([&] { *Visible = FOwner->VisibleOf(FIndex); });
}

HRESULT STDMETHODCALLTYPE TTracerEventParam::put_Visible(VARIANT_BOOL Visible) {
  return ComMethodGuard([&] { FOwner->SetVisibleOf(FIndex, Visible); });
}

// ---- values object -------------------------------------------------------------------------

namespace {

constexpr WORD InvokeErrorCode = 1001;

// IDispatch whose properties are the parameters of one list, by name (DISPID = index + 1).
// It keeps its list alive, so a script that keeps it never reaches freed memory.
class TTracerEventParamValuesDisp : public TInterfacedObject, public IDispatch {
public:
  explicit TTracerEventParamValuesDisp(TTracerEventParams* owner) : FOwner(owner) {}
  ~TTracerEventParamValuesDisp() override { FOwner->ForgetValuesObject(this); }
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
        int index = FOwner->IndexOfName(rgszNames[i] ? rgszNames[i] : L"");
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
  TComPtr<TTracerEventParams> FOwner;

  void DoInvoke(DISPID dispid, WORD flags, DISPPARAMS* params, VARIANT* result) {
    TComPtr<ITracerEventParam> param = FOwner->Item(static_cast<int>(dispid) - 1);
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

TTracerEventParams::TTracerEventParams() : TAutoIntfObject<ITracerEventParams>(__uuidof(ITracerEventParams)) {}

// Every item object and the values object hold this list, so none is left when it goes.
TTracerEventParams::~TTracerEventParams() = default;

void TTracerEventParams::CheckIndex(int index) const {
  if (index < 0 || index >= static_cast<int>(FEntries.size()))
    throw EListError(WideFormat(L"List index out of bounds (%d)", index));
}

void TTracerEventParams::Reserve(size_t count) {
  TSRWLockHold hold(FLock, TSRWLockHold::Exclusive);
  FEntries.reserve(count);
}

int TTracerEventParams::AppendParam(TSharedText name, const VARIANT& value, bool visible) {
  TEntry entry;
  entry.Name = std::move(name);
  entry.Value = value;
  entry.Visible = visible ? VARIANT_TRUE : VARIANT_FALSE;
  TSRWLockHold hold(FLock, TSRWLockHold::Exclusive);
  FEntries.push_back(std::move(entry));
  return static_cast<int>(FEntries.size()) - 1;
}

void TTracerEventParams::SetValue(int index, const VARIANT& value) {
  TOleVariant copy(value);
  {
    TSRWLockHold hold(FLock, TSRWLockHold::Exclusive);
    CheckIndex(index);
    std::swap(FEntries[static_cast<size_t>(index)].Value, copy);
  }
  // The old value (now in copy) may hold an object whose release runs script code: it goes
  // outside the lock.
}

TComPtr<ITracerEventParam> TTracerEventParams::AddParam(const std::wstring& name) {
  const int index = AppendParam(std::make_shared<const std::wstring>(name), TOleVariant(), true);
  return Item(index);
}

int TTracerEventParams::Count() const {
  TSRWLockHold hold(FLock, TSRWLockHold::Shared);
  return static_cast<int>(FEntries.size());
}

TComPtr<ITracerEventParam> TTracerEventParams::Item(int index) {
  TSRWLockHold hold(FLock, TSRWLockHold::Exclusive);
  CheckIndex(index);
  TEntry& entry = FEntries[static_cast<size_t>(index)];
  // An object whose count reached 0 is on its way out: a new one takes its place.
  if (entry.Object != nullptr && entry.Object->TryObjAddRef()) {
    TComPtr<ITracerEventParam> live;
    live.Attach(entry.Object);
    return live;
  }
  entry.Object = new TTracerEventParam(this, index);
  return TComPtr<ITracerEventParam>(entry.Object);
}

int TTracerEventParams::IndexOfName(const std::wstring& name) const {
  TSRWLockHold hold(FLock, TSRWLockHold::Shared);
  for (size_t i = 0; i < FEntries.size(); ++i)
    if (SameParamName(*FEntries[i].Name, name)) return static_cast<int>(i);
  return -1;
}

std::wstring TTracerEventParams::NameOf(int index) const {
  TSRWLockHold hold(FLock, TSRWLockHold::Shared);
  CheckIndex(index);
  return *FEntries[static_cast<size_t>(index)].Name;
}

void TTracerEventParams::SetNameOf(int index, std::wstring name) {
  TSharedText text = std::make_shared<const std::wstring>(std::move(name));
  TSRWLockHold hold(FLock, TSRWLockHold::Exclusive);
  CheckIndex(index);
  FEntries[static_cast<size_t>(index)].Name.swap(text);
}

TOleVariant TTracerEventParams::ValueOf(int index) const {
  TOleVariant copy;
  TSRWLockHold hold(FLock, TSRWLockHold::Shared);
  CheckIndex(index);
  OleCheck(VariantCopy(&copy, const_cast<TOleVariant*>(&FEntries[static_cast<size_t>(index)].Value)));
  return copy;
}

VARIANT_BOOL TTracerEventParams::VisibleOf(int index) const {
  TSRWLockHold hold(FLock, TSRWLockHold::Shared);
  CheckIndex(index);
  return FEntries[static_cast<size_t>(index)].Visible;
}

void TTracerEventParams::SetVisibleOf(int index, VARIANT_BOOL visible) {
  TSRWLockHold hold(FLock, TSRWLockHold::Exclusive);
  CheckIndex(index);
  FEntries[static_cast<size_t>(index)].Visible = visible;
}

void TTracerEventParams::ForgetParamObject(int index, TTracerEventParam* object) {
  TSRWLockHold hold(FLock, TSRWLockHold::Exclusive);
  if (index >= 0 && index < static_cast<int>(FEntries.size()) && FEntries[static_cast<size_t>(index)].Object == object)
    FEntries[static_cast<size_t>(index)].Object = nullptr;
}

void TTracerEventParams::ForgetValuesObject(IDispatch* object) {
  TSRWLockHold hold(FLock, TSRWLockHold::Exclusive);
  if (FValuesDispatch == object) {
    FValuesDispatch = nullptr;
    FValuesObject = nullptr;
  }
}

HRESULT STDMETHODCALLTYPE TTracerEventParams::get_Count(LONG* Count) {
  return ComMethodGuard([&] { *Count = this->Count(); });
}

HRESULT STDMETHODCALLTYPE TTracerEventParams::get_Item(LONG Index, ITracerEventParam** Param) {
  return ComMethodGuard([&] { *Param = Item(Index).Detach(); });
}

HRESULT STDMETHODCALLTYPE TTracerEventParams::Add(BSTR Name, ITracerEventParam** Param) {
  return ComMethodGuard([&] { *Param = AddParam(BStrToWide(Name)).Detach(); });
}

HRESULT STDMETHODCALLTYPE TTracerEventParams::Find(BSTR Name, ITracerEventParam** Param) {
  return ComMethodGuard([&] {
    int index = IndexOfName(BStrToWide(Name));
    *Param = index < 0 ? nullptr : Item(index).Detach();
  });
}

HRESULT STDMETHODCALLTYPE TTracerEventParams::get_Values(VARIANT* Values) {
  return ComMethodGuard([&] {
    TComPtr<IDispatch> values;
    {
      TSRWLockHold hold(FLock, TSRWLockHold::Exclusive);
      if (FValuesObject != nullptr && FValuesObject->TryObjAddRef()) {
        values.Attach(FValuesDispatch);
      } else {
        auto* made = new TTracerEventParamValuesDisp(this);
        FValuesObject = made;
        FValuesDispatch = made;
        values = TComPtr<IDispatch>(FValuesDispatch);
      }
    }
    VariantInit(Values);
    Values->vt = VT_DISPATCH;
    Values->pdispVal = values.Detach();
  });
}

TComPtr<ITracerEventParams> NewTracerEventParams() {
  return TComPtr<ITracerEventParams>(new TTracerEventParams());
}

TComPtr<TTracerEventParams> NewTracerEventParamList() {
  return TComPtr<TTracerEventParams>(new TTracerEventParams());
}
