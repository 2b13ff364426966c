#include "EngineTestSupport.h"

#include <oleauto.h>

#include "Tracer/uMiniComServer.h"
#include "Tracer/uTracerEventParams.h"
#include "support/TestSupport.h"

using Microsoft::WRL::ComPtr;

void UseProgramTypeLibrary() {
  static bool done = false;
  if (done) return;
  done = true;
  GetMiniComServer()->SetTypeLibFileName(TestBinDir() + L"Calderwisp.tlb");
}

std::wstring LastErrorInfoText() {
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, &info) != S_OK || !info) return std::wstring();
  BSTR text = nullptr;
  info->GetDescription(&text);
  std::wstring result = text ? text : L"";
  SysFreeString(text);
  return result;
}

std::wstring VariantText(const VARIANT& value) {
  if (value.vt == VT_EMPTY) return L"(empty)";
  if (value.vt == VT_NULL) return L"(null)";
  VARIANT text, source = value;
  VariantInit(&text);
  if (FAILED(VariantChangeType(&text, &source, VARIANT_ALPHABOOL, VT_BSTR))) return L"(?)";
  std::wstring result(text.bstrVal, SysStringLen(text.bstrVal));
  VariantClear(&text);
  return result;
}

VARIANT MakeInt(LONG value) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_I4;
  v.lVal = value;
  return v;
}

VARIANT MakeText(const std::wstring& text) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_BSTR;
  v.bstrVal = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
  return v;
}

std::wstring ParamName(ITracerEventParam* param) {
  BSTR name = nullptr;
  param->get_Name(&name);
  std::wstring result = name ? name : L"";
  SysFreeString(name);
  return result;
}

std::wstring ParamValueText(ITracerEventParam* param) {
  VARIANT value;
  VariantInit(&value);
  param->get_Value(&value);
  std::wstring result = VariantText(value);
  VariantClear(&value);
  return result;
}

std::wstring DescribeParams(ITracerEventParams* params) {
  std::wstring text;
  LONG count = 0;
  params->get_Count(&count);
  for (LONG i = 0; i < count; ++i) {
    ComPtr<ITracerEventParam> param;
    params->get_Item(i, &param);
    if (!text.empty()) text += L"; ";
    text += ParamName(param.Get()) + L"=" + ParamValueText(param.Get());
  }
  return text;
}

ComPtr<ITracerEventParams> NewParams() {
  UseProgramTypeLibrary();
  ComPtr<ITracerEventParams> list;
  list.Attach(NewTracerEventParams().Detach());
  return list;
}

ComPtr<ITracerEventParams> MakeCallParams(LONG result,
                                          std::initializer_list<std::pair<const wchar_t*, LONG>> params) {
  UseProgramTypeLibrary();
  ComPtr<ITracerEventParams> list = NewParams();
  auto add = [&](const wchar_t* name, LONG value) {
    BSTR bname = SysAllocString(name);
    ComPtr<ITracerEventParam> param;
    list->Add(bname, &param);
    SysFreeString(bname);
    VARIANT v = MakeInt(value);
    param->put_Value(v);
  };
  add(L"result", result);
  for (auto& p : params) add(p.first, p.second);
  return list;
}

static HRESULT Invoke(IDispatch* object, const wchar_t* name, WORD flags, DISPPARAMS* args,
                      VARIANT* result) {
  DISPID id = 0;
  LPOLESTR names[1] = {const_cast<LPOLESTR>(name)};
  HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
  if (FAILED(hr)) return hr;
  EXCEPINFO info{};
  hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, args, result, &info, nullptr);
  SysFreeString(info.bstrSource);
  SysFreeString(info.bstrDescription);
  SysFreeString(info.bstrHelpFile);
  return hr;
}

HRESULT GetProperty(IDispatch* object, const wchar_t* name, VARIANT* value) {
  DISPPARAMS args{nullptr, nullptr, 0, 0};
  return Invoke(object, name, DISPATCH_PROPERTYGET, &args, value);
}

HRESULT PutProperty(IDispatch* object, const wchar_t* name, const VARIANT& value, WORD flags) {
  VARIANT arg = value;
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS args{&arg, &named, 1, 1};
  return Invoke(object, name, flags, &args, nullptr);
}
