#include "AppTestSupport.h"

#include <gtest/gtest.h>

#include "Tracer/app/uAppSettings.h"
#include "Tracer/com/uMiniComServer.h"
#include "Tracer/foundation/uSingletons.h"
#include "support/TestSupport.h"

const wchar_t* const PlugFixClass = L"{3D7A1C52-8E4B-4F19-A6D2-5B0E9C7F1A23}";
const wchar_t* const PlugFixSharedClass = L"{3D7A1C52-8E4B-4F19-A6D2-5B0E9C7F1A24}";

void PrepareAutomation() {
  static bool done = false;
  if (done) return;
  done = true;
  GetMiniComServer()->SetTypeLibFileName(TestBinDir() + L"Calderwisp.tlb");
  AddTestShutdown(FreeInstanceList);
  InstallAppPluginHost();
}

namespace {

void WriteValue(HKEY key, const wchar_t* name, const std::wstring& value) {
  RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                 static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

template <class F>
F FixtureExport(const char* name) {
  HMODULE module = GetModuleHandleW(L"plugfix.dll");
  if (!module) module = LoadLibraryW((TestBinDir() + L"plugfix.dll").c_str());
  return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

void RegisterPlugFix() {
  static bool done = false;
  if (done) return;
  done = true;
  for (const wchar_t* id : {PlugFixClass, PlugFixSharedClass}) {
    HKEY key = nullptr;
    const std::wstring path = std::wstring(L"CLSID\\") + id + L"\\InprocServer32";
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                                             &key, nullptr));
    WriteValue(key, nullptr, TestBinDir() + L"plugfix.dll");
    WriteValue(key, L"ThreadingModel", L"Apartment");
    RegCloseKey(key);
  }
}

LONG PlugFixConnects() { return FixtureExport<LONG(WINAPI*)()>("PlugFixConnects")(); }
LONG PlugFixLive() { return FixtureExport<LONG(WINAPI*)()>("PlugFixLive")(); }

TTestToolbar::TTestToolbar() : FImages(ImageList_Create(16, 16, ILC_COLOR32 | ILC_MASK, 4, 4)) {}

TTestToolbar::~TTestToolbar() {
  Actions.clear();
  ImageList_Destroy(FImages);
}

void TTestToolbar::AddAction(std::unique_ptr<TAppPluginAction> Action) { Actions.push_back(std::move(Action)); }

void TTestToolbar::RemoveActions(IAppPluginAction* Action) {
  if (OnRemove) OnRemove();
  std::erase_if(Actions, [Action](const std::unique_ptr<TAppPluginAction>& a) { return a->GetPluginAction() == Action; });
}

TJScript::TJScript() {
  const CLSID CLSID_ScriptControl = {0x0E59F1D5, 0x1FBE, 0x11D0, {0x8F, 0xF2, 0x00, 0xA0, 0xD1, 0x00, 0x38, 0xBC}};
  OleCheck(CoCreateInstance(CLSID_ScriptControl, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                            reinterpret_cast<void**>(FControl.Put())));
  TOleVariant language(L"JScript");
  OleCheck(Call(FControl.Get(), L"Language", DISPATCH_PROPERTYPUT, {language}, nullptr));
}

void TJScript::AddObject(const std::wstring& name, IDispatch* object) {
  TOleVariant objName(name);
  VARIANT obj;
  obj.vt = VT_DISPATCH;
  obj.pdispVal = object;
  TOleVariant members(false);
  OleCheck(Call(FControl.Get(), L"AddObject", DISPATCH_METHOD, {objName, obj, members}, nullptr));
}

void TJScript::AddCode(const std::wstring& code) {
  TOleVariant source(code);
  std::wstring error;
  HRESULT hr = Call(FControl.Get(), L"AddCode", DISPATCH_METHOD, {source}, nullptr, &error);
  if (FAILED(hr)) throw Exception(L"AddCode: " + error);
}

std::wstring TJScript::Eval(const std::wstring& expression) {
  TOleVariant e(expression);
  TOleVariant result;
  std::wstring failure;
  HRESULT hr = Call(FControl.Get(), L"Eval", DISPATCH_METHOD, {e}, result.Receive(), &failure);
  if (FAILED(hr)) return L"failed: " + failure;
  if (result.vt != VT_BSTR && FAILED(VariantChangeType(&result, &result, 0, VT_BSTR))) return L"(no text)";
  return result.AsBSTRText();
}
