// Automation objects as scripts and plug-ins see them: through the vtable, through late
// binding by the type library, and from JScript run by the real Script Control.
#include "Tracer/com/uAutoObject.h"

#include <gtest/gtest.h>

#include <vector>

#include "Tracer/com/uMiniComServer.h"
#include "support/DispatchCall.h"
#include "support/TestSupport.h"

namespace {

const std::wstring kWideMessage = L"Name must not be empty: \u00FCber \u2713 \u65E5\u672C";

void UseBuiltTypeLibrary() { GetMiniComServer()->SetTypeLibFileName(TestBinDir() + L"Calderwisp.tlb"); }

// A parameter whose name may not be set empty.
class TTestParam : public TAutoIntfObject<ITracerEventParam> {
public:
  explicit TTestParam(std::wstring name) : TAutoIntfObject(__uuidof(ITracerEventParam)), FName(std::move(name)) {}
  TTestParam(std::wstring name, bool) : FName(std::move(name)) {}  // vtable only
  ~TTestParam() override { VariantClear(&FValue); }

  HRESULT STDMETHODCALLTYPE get_Name(BSTR* Name) override {
    return ComMethodGuard([&] { *Name = TBStr(FName).Detach(); });
  }
  HRESULT STDMETHODCALLTYPE put_Name(BSTR Name) override {
    return ComMethodGuard([&] {
      if (SysStringLen(Name) == 0) throw Exception(kWideMessage);
      FName = BStrToWide(Name);
    });
  }
  HRESULT STDMETHODCALLTYPE get_Value(VARIANT* Value) override {
    return ComMethodGuard([&] {
      VariantInit(Value);
      OleCheck(VariantCopy(Value, &FValue));
    });
  }
  HRESULT STDMETHODCALLTYPE put_Value(VARIANT Value) override {
    return ComMethodGuard([&] { OleCheck(VariantCopy(&FValue, &Value)); });
  }
  HRESULT STDMETHODCALLTYPE get_Visible(VARIANT_BOOL* Visible) override {
    return ComMethodGuard([&] { *Visible = VARIANT_TRUE; });
  }
  HRESULT STDMETHODCALLTYPE put_Visible(VARIANT_BOOL) override {
    return ComMethodGuard([&] { throw EOleSysError(L"read-only here", E_ACCESSDENIED); });
  }

private:
  std::wstring FName;
  VARIANT FValue{};
};

// A list of parameters; Item is a property with an argument.
class TTestParams : public TAutoIntfObject<ITracerEventParams> {
public:
  TTestParams() : TAutoIntfObject(__uuidof(ITracerEventParams)) {}
  HRESULT STDMETHODCALLTYPE get_Count(LONG* Count) override {
    return ComMethodGuard([&] { *Count = static_cast<LONG>(FItems.size()); });
  }
  HRESULT STDMETHODCALLTYPE get_Item(LONG Index, ITracerEventParam** Param) override {
    return ComMethodGuard([&] {
      if (Index < 0 || Index >= static_cast<LONG>(FItems.size()))
        throw EListError(WideFormat(L"List index out of bounds (%d)", static_cast<int>(Index)));
      *Param = TComPtr<ITracerEventParam>(FItems[Index].Get()).Detach();
    });
  }
  HRESULT STDMETHODCALLTYPE Add(BSTR Name, ITracerEventParam** Param) override {
    return ComMethodGuard([&] {
      FItems.emplace_back(new TTestParam(BStrToWide(Name)));
      *Param = TComPtr<ITracerEventParam>(FItems.back().Get()).Detach();
    });
  }
  HRESULT STDMETHODCALLTYPE Find(BSTR, ITracerEventParam** Param) override {
    return ComMethodGuard([&] { *Param = nullptr; });
  }
  HRESULT STDMETHODCALLTYPE get_Values(VARIANT* Values) override {
    return ComMethodGuard([&] { VariantInit(Values); });
  }

private:
  std::vector<TComPtr<ITracerEventParam>> FItems;
};

std::wstring ThreadErrorText() {
  TComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, info.Put()) != S_OK) return L"(no error info)";
  TBStr text;
  info->GetDescription(text.Put());
  return text.Str();
}

}  // namespace

TEST(AutoObject, AnswersItsInterfaceChainAndErrorInfoSupport) {
  UseBuiltTypeLibrary();
  TComPtr<ITracerEventParam> param(new TTestParam(L"first"));
  TComPtr<IUnknown> unknown;
  EXPECT_EQ(S_OK, param->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(unknown.Put())));
  TComPtr<IDispatch> dispatch;
  EXPECT_EQ(S_OK, param->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(dispatch.Put())));
  TComPtr<ISupportErrorInfo> support;
  ASSERT_EQ(S_OK, param->QueryInterface(IID_ISupportErrorInfo, reinterpret_cast<void**>(support.Put())));
  EXPECT_EQ(S_OK, support->InterfaceSupportsErrorInfo(__uuidof(ITracerEventParam)));
  EXPECT_EQ(S_FALSE, support->InterfaceSupportsErrorInfo(__uuidof(ITracerEvents)));
  TComPtr<ITracerEvents> other;
  EXPECT_EQ(E_NOINTERFACE, param->QueryInterface(__uuidof(ITracerEvents), reinterpret_cast<void**>(other.Put())));
  EXPECT_EQ(nullptr, other.Get());
}

TEST(AutoObject, AnExceptionInAMethodBecomesAFailedResultWithItsWideMessage) {
  UseBuiltTypeLibrary();
  TComPtr<ITracerEventParam> param(new TTestParam(L"first"));
  TBStr empty(L"");
  EXPECT_EQ(E_UNEXPECTED, param->put_Name(empty.Get()));
  EXPECT_EQ(kWideMessage, ThreadErrorText());
  // An OLE error keeps its own code.
  EXPECT_EQ(E_ACCESSDENIED, param->put_Visible(VARIANT_FALSE));
  EXPECT_EQ(L"read-only here", ThreadErrorText());
  TBStr name;
  EXPECT_EQ(S_OK, param->get_Name(name.Put()));
  EXPECT_EQ(L"first", name.Str());
}

TEST(AutoObject, LateBoundCallsGoThroughTheTypeLibrary) {
  UseBuiltTypeLibrary();
  TComPtr<IDispatch> param(new TTestParam(L"first"));
  UINT count = 0;
  EXPECT_EQ(S_OK, param->GetTypeInfoCount(&count));
  EXPECT_EQ(1u, count);

  VARIANT result;
  VariantInit(&result);
  ASSERT_EQ(S_OK, Call(param.Get(), L"Name", DISPATCH_PROPERTYGET, {}, &result));
  ASSERT_EQ(VT_BSTR, result.vt);
  EXPECT_STREQ(L"first", result.bstrVal);
  VariantClear(&result);

  VARIANT value;
  value.vt = VT_I4;
  value.lVal = 42;
  EXPECT_EQ(S_OK, Call(param.Get(), L"Value", DISPATCH_PROPERTYPUT, {value}, nullptr));
  ASSERT_EQ(S_OK, Call(param.Get(), L"Value", DISPATCH_PROPERTYGET | DISPATCH_METHOD, {}, &result));
  EXPECT_EQ(VT_I4, result.vt);
  EXPECT_EQ(42, result.lVal);
  VariantClear(&result);

  std::wstring error;
  VARIANT empty = Text(L"");
  EXPECT_EQ(DISP_E_EXCEPTION, Call(param.Get(), L"Name", DISPATCH_PROPERTYPUT, {empty}, nullptr, &error));
  EXPECT_EQ(kWideMessage, error);
  VariantClear(&empty);
}

TEST(AutoObject, APropertyWithAnArgumentCalledAsAMethodIsReadAsTheProperty) {
  UseBuiltTypeLibrary();
  TComPtr<TTestParams> params(new TTestParams());
  TComPtr<ITracerEventParam> added;
  TBStr name(L"result");
  ASSERT_EQ(S_OK, params->Add(name.Get(), added.Put()));
  VARIANT index;
  index.vt = VT_I4;
  index.lVal = 0;
  EXPECT_EQ(S_OK, Call(params.Get(), L"Item", DISPATCH_METHOD, {index}, nullptr));
  VARIANT result;
  VariantInit(&result);
  ASSERT_EQ(S_OK, Call(params.Get(), L"Item", DISPATCH_METHOD, {index}, &result));
  EXPECT_EQ(VT_DISPATCH, result.vt);
  VariantClear(&result);
  // Not a property: a method call stays a method call.
  EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Call(params.Get(), L"Count", DISPATCH_PROPERTYPUT, {index}, nullptr));
}

TEST(AutoObject, AnObjectServedThroughItsVtableOnlyRefusesLateBinding) {
  TComPtr<IDispatch> param(new TTestParam(L"first", true));
  UINT count = 7;
  EXPECT_EQ(S_OK, param->GetTypeInfoCount(&count));
  EXPECT_EQ(0u, count);
  ITypeInfo* info = reinterpret_cast<ITypeInfo*>(1);
  EXPECT_TRUE(FAILED(param->GetTypeInfo(0, 0, &info)));
  EXPECT_EQ(nullptr, info);
  DISPID id;
  LPOLESTR names[] = {const_cast<LPOLESTR>(L"Name")};
  EXPECT_TRUE(FAILED(param->GetIDsOfNames(IID_NULL, names, 1, 0, &id)));
  DISPPARAMS none = {};
  EXPECT_TRUE(FAILED(param->Invoke(1, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, nullptr, nullptr, nullptr)));
}

TEST(AutoObject, JScriptReadsAPropertyAndCatchesAnErrorWithItsMessage) {
  UseBuiltTypeLibrary();
  const CLSID CLSID_ScriptControl = {0x0E59F1D5, 0x1FBE, 0x11D0, {0x8F, 0xF2, 0x00, 0xA0, 0xD1, 0x00, 0x38, 0xBC}};
  TComPtr<IDispatch> script;
  ASSERT_EQ(S_OK, CoCreateInstance(CLSID_ScriptControl, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                                   reinterpret_cast<void**>(script.Put())));
  VARIANT language = Text(L"JScript");
  ASSERT_EQ(S_OK, Call(script.Get(), L"Language", DISPATCH_PROPERTYPUT, {language}, nullptr));
  VariantClear(&language);

  TComPtr<TTestParams> params(new TTestParams());
  TComPtr<ITracerEventParam> added;
  TBStr name(L"result");
  ASSERT_EQ(S_OK, params->Add(name.Get(), added.Put()));
  VARIANT objName = Text(L"Params");
  VARIANT obj;
  obj.vt = VT_DISPATCH;
  obj.pdispVal = static_cast<ITracerEventParams*>(params.Get());
  VARIANT members;
  members.vt = VT_BOOL;
  members.boolVal = VARIANT_FALSE;
  ASSERT_EQ(S_OK, Call(script.Get(), L"AddObject", DISPATCH_METHOD, {objName, obj, members}, nullptr));
  VariantClear(&objName);

  const wchar_t* code =
      L"function readName() { return Params.Item(0).Name + '/' + Params.Count; }\n"
      L"function touch() { Params.Item(0); return 'ok'; }\n"
      L"function clearName() {\n"
      L"  try { Params.Item(0).Name = ''; return 'no error'; } catch (e) { return 'caught: ' + e.message; }\n"
      L"}\n"
      L"function outOfRange() {\n"
      L"  try { Params.Item(5); return 'no error'; } catch (e) { return 'caught: ' + e.message; }\n"
      L"}\n";
  VARIANT source = Text(code);
  std::wstring error;
  ASSERT_EQ(S_OK, Call(script.Get(), L"AddCode", DISPATCH_METHOD, {source}, nullptr, &error)) << WideToUtf8(error);
  VariantClear(&source);

  auto eval = [&](const wchar_t* expression) {
    VARIANT e = Text(expression);
    VARIANT result;
    VariantInit(&result);
    std::wstring failure;
    HRESULT hr = Call(script.Get(), L"Eval", DISPATCH_METHOD, {e}, &result, &failure);
    VariantClear(&e);
    std::wstring text = hr == S_OK && result.vt == VT_BSTR ? BStrToWide(result.bstrVal) : L"failed: " + failure;
    VariantClear(&result);
    return WideToUtf8(text);
  };
  EXPECT_EQ("result/1", eval(L"readName()"));
  EXPECT_EQ("ok", eval(L"touch()"));
  EXPECT_EQ("caught: " + WideToUtf8(kWideMessage), eval(L"clearName()"));
  EXPECT_EQ("caught: List index out of bounds (5)", eval(L"outOfRange()"));
}
