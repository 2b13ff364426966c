#include "Tracer/com/uAppDictionary.h"

#include "Tracer/foundation/uOleVariant.h"

namespace {

const IID IID_IScriptingDictionary = {0x42C642C1, 0x97E1, 0x11CF, {0x97, 0x8F, 0x00, 0xA0, 0x24, 0x63, 0xE0, 0x6F}};

// One late-bound call; args in the order of the call (DISPPARAMS wants them reversed).
void Call(IDispatch* target, const wchar_t* name, WORD flags, std::initializer_list<VARIANT*> args, VARIANT* result) {
  DISPID id;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  OleCheck(target->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id));
  std::vector<VARIANTARG> reversed;
  for (auto it = std::rbegin(args); it != std::rend(args); ++it) {
    VARIANTARG a;
    VariantInit(&a);
    a.vt = VT_VARIANT | VT_BYREF;
    a.pvarVal = *it;
    reversed.push_back(a);
  }
  DISPPARAMS params = {reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  TExcepInfo excep;
  HRESULT hr = target->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, &excep, nullptr);
  if (hr == DISP_E_EXCEPTION) {
    std::wstring text = BStrToWide(excep.bstrDescription);
    HRESULT code = FAILED(excep.scode) ? excep.scode : hr;
    throw EOleSysError(text.empty() ? OleErrorText(code) : text, code);
  }
  OleCheck(hr);
}

}  // namespace

TDictionary::TDictionary() {
  CLSID classId;
  OleCheck(CLSIDFromProgID(L"Scripting.Dictionary", &classId));
  OleCheck(CoCreateInstance(classId, nullptr, CLSCTX_INPROC_SERVER, IID_IScriptingDictionary,
                            reinterpret_cast<void**>(FDictionary.Put())));
}

bool TDictionary::Exists(VARIANT& key) {
  TOleVariant result;
  Call(FDictionary.Get(), L"Exists", DISPATCH_METHOD, {&key}, &result);
  return result.vt == VT_BOOL && result.boolVal != VARIANT_FALSE;
}

HRESULT STDMETHODCALLTYPE TDictionary::Put(VARIANT Key, VARIANT Value) {
  return ComMethodGuard([&] {
    // A script's variable comes by reference: the dictionary keeps its value, not the pointer.
    TOleVariant key = VariantByValue(Key);
    TOleVariant value = VariantByValue(Value);
    if (Exists(key)) Call(FDictionary.Get(), L"Remove", DISPATCH_METHOD, {&key}, nullptr);
    Call(FDictionary.Get(), L"Add", DISPATCH_METHOD, {&key, &value}, nullptr);
  });
}

HRESULT STDMETHODCALLTYPE TDictionary::Get(VARIANT Key, VARIANT* Value) {
  return ComMethodGuard([&] {
    if (!Value) OleCheck(E_POINTER);
    VariantInit(Value);
    TOleVariant key = VariantByValue(Key);
    if (Exists(key)) Call(FDictionary.Get(), L"Item", DISPATCH_PROPERTYGET, {&key}, Value);
  });
}

HRESULT STDMETHODCALLTYPE TDictionary::Remove(VARIANT Key) {
  return ComMethodGuard([&] {
    TOleVariant key = VariantByValue(Key);
    if (Exists(key)) Call(FDictionary.Get(), L"Remove", DISPATCH_METHOD, {&key}, nullptr);
  });
}

TComObjectFactory* CreateDictionaryFactory(TComServerObject& server) {
  return new TAutoObjectFactory<TDictionary>(server, CLSID_Dictionary, TComInstancing::MultiInstance,
                                             TComThreadingModel::Apartment);
}
