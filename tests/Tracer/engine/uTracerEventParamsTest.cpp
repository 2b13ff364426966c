// A call's parameters as handlers, scripts and plug-ins see them.
#include <gtest/gtest.h>

#include "EngineTestSupport.h"

#include <oleauto.h>

#include "Tracer/engine/uTracerEventParams.h"

namespace {

class TracerEventParamsTest : public ::testing::Test {
protected:
  void SetUp() override {
    UseProgramTypeLibrary();
    Params = NewParams();
  }

  TComPtr<ITracerEventParam> Add(const wchar_t* name, LONG value) {
    BSTR bname = SysAllocString(name);
    TComPtr<ITracerEventParam> param;
    EXPECT_EQ(S_OK, Params->Add(bname, param.Put()));
    SysFreeString(bname);
    VARIANT v = MakeInt(value);
    EXPECT_EQ(S_OK, param->put_Value(v));
    return param;
  }

  TComPtr<ITracerEventParam> Find(const wchar_t* name) {
    BSTR bname = SysAllocString(name);
    TComPtr<ITracerEventParam> param;
    EXPECT_EQ(S_OK, Params->Find(bname, param.Put()));
    SysFreeString(bname);
    return param;
  }

  TComPtr<IDispatch> Values() {
    VARIANT v;
    VariantInit(&v);
    EXPECT_EQ(S_OK, Params->get_Values(&v));
    EXPECT_EQ(VT_DISPATCH, v.vt);
    TComPtr<IDispatch> values(v.pdispVal);
    VariantClear(&v);
    return values;
  }

  // Invoke on the values object with a caller's exception record.
  HRESULT InvokeValues(DISPID id, WORD flags, DISPPARAMS* args, VARIANT* result, EXCEPINFO* info) {
    return Values()->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, args, result, info, nullptr);
  }

  TComPtr<ITracerEventParams> Params;
};

TEST_F(TracerEventParamsTest, NewListIsEmptyAndNewParameterIsVisibleAndEmpty) {
  LONG count = -1;
  ASSERT_EQ(S_OK, Params->get_Count(&count));
  EXPECT_EQ(0, count);
  EXPECT_EQ(nullptr, Find(L"anything").Get());

  BSTR name = SysAllocString(L"hDbc");
  TComPtr<ITracerEventParam> param;
  ASSERT_EQ(S_OK, Params->Add(name, param.Put()));
  SysFreeString(name);
  VARIANT_BOOL visible = VARIANT_FALSE;
  param->get_Visible(&visible);
  EXPECT_EQ(VARIANT_TRUE, visible);
  EXPECT_EQ(L"(empty)", ParamValueText(param.Get()));
  EXPECT_EQ(L"hDbc", ParamName(param.Get()));
}

TEST_F(TracerEventParamsTest, AValueHandedByReferenceIsKeptByValue) {
  // As a script hands its variable: the reference dies with the script's frame.
  TComPtr<ITracerEventParam> param = Add(L"text", 0);
  VARIANT variable = MakeText(L"SQL_SUCCESS");
  VARIANT reference;
  VariantInit(&reference);
  reference.vt = VT_BYREF | VT_VARIANT;
  reference.pvarVal = &variable;
  ASSERT_EQ(S_OK, param->put_Value(reference));
  VariantClear(&variable);
  VARIANT stored;
  VariantInit(&stored);
  ASSERT_EQ(S_OK, param->get_Value(&stored));
  ASSERT_EQ(VT_BSTR, stored.vt);
  EXPECT_STREQ(L"SQL_SUCCESS", stored.bstrVal);
  VariantClear(&stored);
}

TEST_F(TracerEventParamsTest, NamesDifferingInCaseReachTheFirstByFindAndByValues) {
  Add(L"result", 0);
  Add(L"Handle", 1);
  Add(L"HANDLE", 2);

  EXPECT_EQ(L"1", ParamValueText(Find(L"handle").Get()));
  EXPECT_EQ(L"1", ParamValueText(Find(L"HANDLE").Get()));

  VARIANT value;
  VariantInit(&value);
  ASSERT_EQ(S_OK, GetProperty(Values().Get(), L"HANDLE", &value));
  EXPECT_EQ(L"1", VariantText(value));
  VariantClear(&value);
}

TEST_F(TracerEventParamsTest, AssigningResultThroughValuesReplacesTheFirstParameter) {
  Add(L"result", 0);
  Add(L"n", 7);
  VARIANT v = MakeText(L"done");
  EXPECT_EQ(S_OK, PutProperty(Values().Get(), L"Result", v));
  VariantClear(&v);
  EXPECT_EQ(L"result=done; n=7", DescribeParams(Params.Get()));
}

TEST_F(TracerEventParamsTest, ValuesNeverAddsParameters) {
  Add(L"result", 0);
  DISPID ids[2] = {0, 0};
  LPOLESTR names[2] = {const_cast<LPOLESTR>(L"missing"), const_cast<LPOLESTR>(L"result")};
  EXPECT_EQ(DISP_E_UNKNOWNNAME,
            Values()->GetIDsOfNames(IID_NULL, names, 2, LOCALE_USER_DEFAULT, ids));
  EXPECT_EQ(DISPID_UNKNOWN, ids[0]);
  EXPECT_EQ(1, ids[1]);

  VARIANT v = MakeInt(1);
  EXPECT_EQ(DISP_E_UNKNOWNNAME, PutProperty(Values().Get(), L"missing", v));
  LONG count = 0;
  Params->get_Count(&count);
  EXPECT_EQ(1, count);
}

TEST_F(TracerEventParamsTest, BadCallsOnValuesReportCode1001WithTheirText) {
  Add(L"result", 0);
  VARIANT args[2] = {MakeInt(1), MakeInt(2)};
  DISPID named = DISPID_PROPERTYPUT;
  DISPPARAMS two{args, &named, 2, 1};
  EXCEPINFO info{};
  EXPECT_EQ(DISP_E_EXCEPTION, InvokeValues(1, DISPATCH_PROPERTYPUT, &two, nullptr, &info));
  EXPECT_EQ(1001, info.wCode);
  EXPECT_STREQ(L"IDispatch::Invoke() - Invalid argument count", info.bstrDescription);
  SysFreeString(info.bstrDescription);

  DISPPARAMS none{nullptr, nullptr, 0, 0};
  EXCEPINFO info2{};
  VARIANT result;
  VariantInit(&result);
  EXPECT_EQ(DISP_E_EXCEPTION, InvokeValues(1, DISPATCH_METHOD, &none, &result, &info2));
  EXPECT_EQ(1001, info2.wCode);
  EXPECT_STREQ(L"IDispatch::Invoke() - Unsupported call type", info2.bstrDescription);
  SysFreeString(info2.bstrDescription);

  EXCEPINFO info3{};
  EXPECT_EQ(DISP_E_EXCEPTION, InvokeValues(5, DISPATCH_PROPERTYGET, &none, &result, &info3));
  EXPECT_STREQ(L"List index out of bounds (4)", info3.bstrDescription);
  SysFreeString(info3.bstrDescription);

  // Without an exception record or a result variant nothing is written through them.
  EXPECT_EQ(DISP_E_EXCEPTION, InvokeValues(1, DISPATCH_METHOD, &none, nullptr, nullptr));
  EXPECT_EQ(S_OK, InvokeValues(1, DISPATCH_PROPERTYGET, &none, nullptr, nullptr));
}

TEST_F(TracerEventParamsTest, ByReferenceValueAndVBScriptSetStoreTheValueItself) {
  Add(L"result", 0);
  LONG target = 99;
  VARIANT byRef;
  VariantInit(&byRef);
  byRef.vt = VT_I4 | VT_BYREF;
  byRef.plVal = &target;
  EXPECT_EQ(S_OK, PutProperty(Values().Get(), L"result", byRef));
  target = 5;
  EXPECT_EQ(L"result=99", DescribeParams(Params.Get()));

  VARIANT object;
  VariantInit(&object);
  object.vt = VT_DISPATCH;
  object.pdispVal = Params.Get();
  EXPECT_EQ(S_OK, PutProperty(Values().Get(), L"result", object, DISPATCH_PROPERTYPUTREF));
  TComPtr<ITracerEventParam> first;
  Params->get_Item(0, first.Put());
  VARIANT stored;
  VariantInit(&stored);
  first->get_Value(&stored);
  EXPECT_EQ(VT_DISPATCH, stored.vt);
  // The list now holds itself through its first value: break the cycle.
  VariantClear(&stored);
  VARIANT empty;
  VariantInit(&empty);
  first->put_Value(empty);
}

TEST_F(TracerEventParamsTest, ItemOutsideTheListFailsWithTheIndexError) {
  Add(L"result", 0);
  TComPtr<ITracerEventParam> param;
  EXPECT_TRUE(FAILED(Params->get_Item(3, param.Put())));
  EXPECT_EQ(L"List index out of bounds (3)", LastErrorInfoText());
}

TEST_F(TracerEventParamsTest, ValuesObjectKeptByAClientOutlivesItsList) {
  Add(L"result", 12);
  TComPtr<IDispatch> values = Values();
  Params.Reset();
  VARIANT value;
  VariantInit(&value);
  ASSERT_EQ(S_OK, GetProperty(values.Get(), L"result", &value));
  EXPECT_EQ(L"12", VariantText(value));
}

TEST_F(TracerEventParamsTest, AParameterHeldByAClientIsTheOneEveryLookupAnswersAndOutlivesItsList) {
  // The engine's way in: no automation object is made until a client asks.
  TComPtr<TTracerEventParams> list = NewTracerEventParamList();
  list->AppendParam(InternText(L"result"), MakeInt(0), false);
  list->AppendParam(InternText(L"hStmt"), MakeInt(5), true);
  TComPtr<ITracerEventParam> item;
  ASSERT_EQ(S_OK, list->get_Item(1, item.Put()));
  TComPtr<ITracerEventParam> again;
  ASSERT_EQ(S_OK, list->get_Item(1, again.Put()));
  EXPECT_EQ(item.Get(), again.Get());
  BSTR name = SysAllocString(L"HSTMT");
  TComPtr<ITracerEventParam> found;
  EXPECT_EQ(S_OK, list->Find(name, found.Put()));
  SysFreeString(name);
  EXPECT_EQ(item.Get(), found.Get());
  VARIANT values;
  VariantInit(&values);
  ASSERT_EQ(S_OK, list->get_Values(&values));
  VARIANT valuesAgain;
  VariantInit(&valuesAgain);
  ASSERT_EQ(S_OK, list->get_Values(&valuesAgain));
  EXPECT_EQ(values.pdispVal, valuesAgain.pdispVal);
  VariantClear(&valuesAgain);
  // A value written through the object is the list's, and the list's through the values object.
  VARIANT v = MakeInt(7);
  EXPECT_EQ(S_OK, item->put_Value(v));
  EXPECT_EQ(S_OK, item->put_Visible(VARIANT_FALSE));
  EXPECT_EQ(L"7", ParamValueText(list->Item(1).Get()));
  VARIANT read;
  VariantInit(&read);
  ASSERT_EQ(S_OK, GetProperty(values.pdispVal, L"hstmt", &read));
  EXPECT_EQ(L"7", VariantText(read));
  VariantClear(&read);
  // Released by every client, then asked again: a new object with the same name and value.
  again.Reset();
  found.Reset();
  list.Reset();  // the client's objects keep the list
  EXPECT_EQ(L"hStmt", ParamName(item.Get()));
  VARIANT_BOOL visible = VARIANT_TRUE;
  item->get_Visible(&visible);
  EXPECT_EQ(VARIANT_FALSE, visible);
  VariantClear(&values);
  EXPECT_EQ(L"7", ParamValueText(item.Get()));
}

TEST_F(TracerEventParamsTest, ValuesOffersNoTypeInformation) {
  TComPtr<IDispatch> values = Values();
  UINT count = 7;
  EXPECT_EQ(S_FALSE, values->GetTypeInfoCount(&count));
  EXPECT_EQ(0u, count);
  ITypeInfo* info = reinterpret_cast<ITypeInfo*>(1);
  EXPECT_EQ(S_FALSE, values->GetTypeInfo(0, LOCALE_USER_DEFAULT, &info));
  EXPECT_EQ(nullptr, info);
}

TEST_F(TracerEventParamsTest, ListAndParametersAnswerLateBoundCallsFromTheTypeLibrary) {
  Add(L"result", 3);
  Add(L"size", 4);
  TComPtr<IDispatch> list;
  ASSERT_EQ(S_OK, Params.As(list));
  VARIANT count;
  VariantInit(&count);
  ASSERT_EQ(S_OK, GetProperty(list.Get(), L"Count", &count));
  EXPECT_EQ(L"2", VariantText(count));

  TComPtr<ITracerEventParam> size = Find(L"size");
  TComPtr<IDispatch> sizeDispatch;
  ASSERT_EQ(S_OK, size.As(sizeDispatch));
  VARIANT v = MakeText(L"big");
  EXPECT_EQ(S_OK, PutProperty(sizeDispatch.Get(), L"Value", v));
  VariantClear(&v);
  EXPECT_EQ(L"result=3; size=big", DescribeParams(Params.Get()));
}

}  // namespace
