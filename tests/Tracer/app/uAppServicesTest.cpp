// The automation objects plug-ins and scripts use: the application object, the settings store
// (with its place in the settings file) and the dictionary, also through JScript.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "AppTestSupport.h"
#include "Tracer/app/uAppPlugins.h"
#include "Tracer/app/uAppServices.h"
#include "Tracer/app/uAppSettings.h"
#include "Tracer/com/uAppDictionary.h"
#include "Tracer/engine/uEventQueue.h"
#include "Tracer/foundation/uXMLFiler.h"
#include "support/TestSupport.h"

namespace {

std::wstring ErrorInfoText() {
  std::wstring text;
  TakeErrorInfoText(text);
  return text;
}

TOleVariant GetSetting(const std::wstring& name) {
  TBStr key(name);
  TOleVariant value;
  EXPECT_EQ(S_OK, GetAppSettings()->GetValue(key.Get(), value.Receive()));
  return value;
}

void SetSetting(const std::wstring& name, const VARIANT& value) {
  TBStr key(name);
  EXPECT_EQ(S_OK, GetAppSettings()->SetValue(key.Get(), value));
}

class TWindowHandle : public TInterfacedObject, public IAppObjectMainWindowHandleImpl {
public:
  CW_IUNKNOWN_COUNTED
  void* GetInterface(REFIID iid) override {
    if (IsEqualIID(iid, __uuidof(IAppObjectMainWindowHandleImpl)) || IsEqualIID(iid, IID_IUnknown))
      return static_cast<IAppObjectMainWindowHandleImpl*>(this);
    return TInterfacedObject::GetInterface(iid);
  }
  HWND STDMETHODCALLTYPE GetHandle() override { return reinterpret_cast<HWND>(0x1234); }
};

std::wstring HelpTopic;
void RecordHelp(const std::wstring& topic) { HelpTopic = topic; }

class AppObject : public ::testing::Test {
protected:
  void SetUp() override { PrepareAutomation(); }
};

TEST_F(AppObject, TheWindowHandleIsZeroUntilTheMainWindowRegisters) {
  TAppObject* app = GetAppObject();
  LONG handle = -1;
  ASSERT_EQ(S_OK, app->get_MainWindowHandle(&handle));
  EXPECT_EQ(0, handle);
  TComPtr<IAppObjectMainWindowHandleImpl> window(new TWindowHandle());
  app->SetMainWindowHandleImpl(window.Get());
  ASSERT_EQ(S_OK, app->get_MainWindowHandle(&handle));
  EXPECT_EQ(0x1234, handle);
  app->SetMainWindowHandleImpl(nullptr);
  ASSERT_EQ(S_OK, app->get_MainWindowHandle(&handle));
  EXPECT_EQ(0, handle);
}

TEST_F(AppObject, MemoryAndHelpFailWithTheirReasonWhenThereIsNone) {
  TAppObject* app = GetAppObject();
  TComPtr<IDebuggeeMemory> memory;
  EXPECT_TRUE(FAILED(app->get_MemoryManager(memory.Put())));
  EXPECT_EQ(L"Process memory bridge not initialized", ErrorInfoText());
  EXPECT_FALSE(memory);

  TBStr topic(L"html\\vostik.htm");
  EXPECT_TRUE(FAILED(app->ShowHelp(topic.Get())));
  EXPECT_EQ(L"Help is not available", ErrorInfoText());
  TShowHelpTopicProc previous = SetShowHelpTopicProc(RecordHelp);
  EXPECT_EQ(S_OK, app->ShowHelp(topic.Get()));
  EXPECT_EQ(L"html\\vostik.htm", HelpTopic);
  SetShowHelpTopicProc(previous);
}

class AppSettings : public ::testing::Test {
protected:
  void SetUp() override {
    PrepareAutomation();
    GetAppSettings()->Items().Clear();
  }
};

TEST_F(AppSettings, ValuesAreStoredAndFoundByTheirExactName) {
  EXPECT_TRUE(GetSetting(L"never").IsEmpty());
  SetSetting(L"Name", TOleVariant(int32_t(5)));
  SetSetting(L"name", TOleVariant(L"lower"));
  SetSetting(L"Name", TOleVariant(int32_t(7)));
  EXPECT_EQ(2, GetAppSettings()->Items().GetCount());
  TOleVariant upper = GetSetting(L"Name");
  EXPECT_EQ(VT_I4, upper.vt);
  EXPECT_EQ(7, upper.lVal);
  EXPECT_EQ(L"lower", GetSetting(L"name").AsBSTRText());
  EXPECT_EQ(0, GetAppSettings()->IndexOfSetting(L"Name"));
  EXPECT_EQ(-1, GetAppSettings()->IndexOfSetting(L"NAME"));
}

TEST_F(AppSettings, AValueByReferenceIsStoredByValue) {
  LONG number = 41;
  VARIANT byRef;
  byRef.vt = VT_I4 | VT_BYREF;
  byRef.plVal = &number;
  // Late bound, as a script passes its variable.
  TOleVariant name(L"ref");
  ASSERT_EQ(S_OK, Call(static_cast<IAppSettings*>(GetAppSettings()), L"SetValue", DISPATCH_METHOD, {name, byRef},
                       nullptr));
  number = 99;
  TOleVariant value = GetSetting(L"ref");
  EXPECT_EQ(VT_I4, value.vt);
  EXPECT_EQ(41, value.lVal);
}

TEST_F(AppSettings, TheSettingsFileGivesValuesBackAsText) {
  SetSetting(L"flag", TOleVariant(true));
  SetSetting(L"count", TOleVariant(int32_t(3)));
  TTempDir dir;
  const std::wstring file = dir.File(L"settings.xml");
  {
    TXMLFiler filer(L"calderwisp:properties");
    filer.RegisterCollection(&GetAppSettings()->Items(), L"settings");
    filer.SaveToFile(file);
  }
  GetAppSettings()->Items().Clear();
  TXMLFiler filer(L"calderwisp:properties");
  filer.RegisterCollection(&GetAppSettings()->Items(), L"settings");
  filer.LoadFromFile(file);
  TOleVariant flag = GetSetting(L"flag");
  EXPECT_EQ(VT_BSTR, flag.vt);
  EXPECT_EQ(L"True", flag.AsBSTRText());
  EXPECT_EQ(L"3", GetSetting(L"count").AsBSTRText());
  EXPECT_EQ(2, GetAppSettings()->Items().GetCount());
}

class AppDictionary : public ::testing::Test {
protected:
  void SetUp() override { PrepareAutomation(); }
};

TEST_F(AppDictionary, PutReplacesGetOfAMissingKeyIsEmptyAndRemoveOfOneSucceeds) {
  TComPtr<IAppDictionary> dict(new TDictionary());
  TOleVariant key(L"k"), one(int32_t(1)), two(int32_t(2)), missing(L"missing");
  ASSERT_EQ(S_OK, dict->Put(key, one));
  ASSERT_EQ(S_OK, dict->Put(key, two));
  TOleVariant value;
  ASSERT_EQ(S_OK, dict->Get(key, value.Receive()));
  EXPECT_EQ(2, value.lVal);
  ASSERT_EQ(S_OK, dict->Get(missing, value.Receive()));
  EXPECT_TRUE(value.IsEmpty());
  EXPECT_EQ(S_OK, dict->Remove(missing));
  EXPECT_EQ(S_OK, dict->Remove(key));
  ASSERT_EQ(S_OK, dict->Get(key, value.Receive()));
  EXPECT_TRUE(value.IsEmpty());
}

TEST_F(AppDictionary, KeysAndValuesByReferenceAreKeptByValue) {
  TComPtr<IAppDictionary> dict(new TDictionary());
  BSTR keyText = SysAllocString(L"ref");
  LONG number = 10;
  VARIANT key, value;
  key.vt = VT_BSTR | VT_BYREF;
  key.pbstrVal = &keyText;
  value.vt = VT_I4 | VT_BYREF;
  value.plVal = &number;
  ASSERT_EQ(S_OK, dict->Put(key, value));
  number = 20;
  TOleVariant plainKey(L"ref"), stored;
  ASSERT_EQ(S_OK, dict->Get(plainKey, stored.Receive()));
  EXPECT_EQ(VT_I4, stored.vt);
  EXPECT_EQ(10, stored.lVal);
  // The same key by reference finds it too.
  ASSERT_EQ(S_OK, dict->Get(key, stored.Receive()));
  EXPECT_EQ(10, stored.lVal);
  SysFreeString(keyText);
}

TEST(AutomationScripts, JScriptStoresSettingsByExactNameAndCountsKeysInADictionary) {
  PrepareAutomation();
  GetAppSettings()->Items().Clear();
  TJScript script;
  script.AddObject(L"App", static_cast<IAppObject*>(GetAppObject()));
  TComPtr<IAppDictionary> dict(new TDictionary());
  script.AddObject(L"Dict", dict.Get());
  script.AddCode(
      L"function settings() {\n"
      L"  var s = App.Settings;\n"
      L"  s.SetValue('Key', 5); s.SetValue('key', 'lower'); s.SetValue('Key', 6);\n"
      L"  return s.GetValue('Key') + '/' + s.GetValue('key') + '/' + typeof s.GetValue('KEY');\n"
      L"}\n"
      L"function count(text) {\n"
      L"  var words = text.split(' ');\n"
      L"  for (var i = 0; i < words.length; i++) Dict.Put(words[i], (Dict.Get(words[i]) || 0) + 1);\n"
      L"  Dict.Remove('c'); Dict.Remove('nothing');\n"
      L"  return Dict.Get('a') + ',' + Dict.Get('b') + ',' + typeof Dict.Get('c');\n"
      L"}\n"
      L"function noMemory() {\n"
      L"  try { App.MemoryManager; return 'no error'; } catch (e) { return 'caught: ' + e.message; }\n"
      L"}\n");
  EXPECT_EQ(L"6/lower/undefined", script.Eval(L"settings()"));
  EXPECT_EQ(L"3,2,undefined", script.Eval(L"count('a b a c b a')"));
  EXPECT_EQ(L"caught: Process memory bridge not initialized", script.Eval(L"noMemory()"));
  EXPECT_EQ(L"0", script.Eval(L"App.MainWindowHandle"));
}

}  // namespace
