#include "VostikTestSupport.h"

#include <gtest/gtest.h>

#include "EngineTestSupport.h"
#include "Tracer/engine/uEventQueue.h"
#include "support/Screenshot.h"
#include "support/TestSupport.h"

TOleVariant I(int32_t value) { return TOleVariant(value); }

TOleVariant U(uint32_t value) {
  TOleVariant v;
  V_VT(&v) = VT_UI4;
  V_UI4(&v) = value;
  return v;
}

TOleVariant T(const wchar_t* text) { return TOleVariant(text); }

TOleVariant Null() {
  TOleVariant v;
  V_VT(&v) = VT_NULL;
  return v;
}

TOleVariant Date(int year, int month, int day, int hour, int minute, int second) {
  SYSTEMTIME t{};
  t.wYear = static_cast<WORD>(year);
  t.wMonth = static_cast<WORD>(month);
  t.wDay = static_cast<WORD>(day);
  t.wHour = static_cast<WORD>(hour);
  t.wMinute = static_cast<WORD>(minute);
  t.wSecond = static_cast<WORD>(second);
  TOleVariant v;
  V_VT(&v) = VT_DATE;
  SystemTimeToVariantTime(&t, &V_DATE(&v));
  return v;
}

TOleVariant Double(double value) {
  TOleVariant v;
  V_VT(&v) = VT_R8;
  V_R8(&v) = value;
  return v;
}

TLogCall Message(const std::wstring& text) { return {L"\x1" + text, TOleVariant(), {}}; }

// ---- the application object ---------------------------------------------------------------------

class TFixtureApp : public TInterfacedObject,
                    public IAppObject,
                    public IAppPluginActions,
                    public IAppSettings,
                    public IVisibleTracerEventsImpl {
public:
  explicit TFixtureApp(TFixtureHost& host) : FHost(&host) {}
  void Detach() { FHost = nullptr; }

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** intf) override { return ObjQueryInterface(iid, intf); }
  ULONG STDMETHODCALLTYPE AddRef() override { return ObjAddRef(); }
  ULONG STDMETHODCALLTYPE Release() override { return ObjRelease(); }
  void* GetInterface(REFIID iid) override {
    if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IDispatch) || IsEqualIID(iid, __uuidof(IAppObject)))
      return static_cast<IAppObject*>(this);
    if (IsEqualIID(iid, __uuidof(IAppPluginActions))) return static_cast<IAppPluginActions*>(this);
    if (IsEqualIID(iid, __uuidof(IAppSettings))) return static_cast<IAppSettings*>(this);
    if (IsEqualIID(iid, __uuidof(IVisibleTracerEventsImpl))) return static_cast<IVisibleTracerEventsImpl*>(this);
    return nullptr;
  }

  // IDispatch of both dual interfaces: the assemblers bind early.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) override {
    return E_NOTIMPL;
  }

  // IAppObject
  HRESULT STDMETHODCALLTYPE get_PluginActions(IAppPluginActions** actions) override {
    *actions = static_cast<IAppPluginActions*>(this);
    AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_AllEvents(ITracerEvents** events) override {
    *events = nullptr;
    if (FHost && FHost->FailAllEvents) return E_FAIL;
    *events = GetTracerEventQueue()->AllEvents();
    (*events)->AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_VisibleEvents(IVisibleTracerEvents** events) override {
    *events = nullptr;
    if (FHost && FHost->FailVisibleEvents) return E_FAIL;
    *events = GetTracerEventQueue()->VisibleEvents();
    (*events)->AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_MainWindowHandle(LONG* handle) override {
    *handle = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE ShowHelp(BSTR topic) override {
    if (FHost) FHost->HelpTopics.push_back(BStrToWide(topic));
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_Settings(IAppSettings** settings) override {
    *settings = static_cast<IAppSettings*>(this);
    AddRef();
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE get_MemoryManager(IDebuggeeMemory** memory) override {
    *memory = nullptr;
    return E_FAIL;
  }

  // IAppPluginActions
  void STDMETHODCALLTYPE Add(BSTR caption, BSTR hint, HICON icon, IAppPluginAction* action) override {
    if (FHost) FHost->Added.push_back({BStrToWide(caption), BStrToWide(hint), icon, TComPtr<IAppPluginAction>(action)});
  }
  void STDMETHODCALLTYPE Remove(IAppPluginAction* action) override {
    if (!FHost) return;
    FHost->Removed.push_back(action);
    for (auto& a : FHost->Added)
      if (a.Action.Get() == action) a.Action.Reset();
  }

  // IAppSettings
  HRESULT STDMETHODCALLTYPE GetValue(BSTR name, VARIANT* value) override {
    VariantInit(value);
    if (FHost)
      for (auto& s : FHost->Settings)
        if (s.first == BStrToWide(name)) return VariantCopy(value, &s.second);
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE SetValue(BSTR name, VARIANT value) override {
    if (!FHost) return E_FAIL;
    for (auto& s : FHost->Settings)
      if (s.first == BStrToWide(name)) {
        s.second = value;
        return S_OK;
      }
    FHost->Settings.emplace_back(BStrToWide(name), TOleVariant(value));
    return S_OK;
  }

  // IVisibleTracerEventsImpl
  LONG STDMETHODCALLTYPE GetFocusedIndex() override { return FHost ? FHost->Focused : -1; }

private:
  TFixtureHost* FHost;
};

TFixtureHost::TFixtureHost(bool clearLog) : FApp(new TFixtureApp(*this)), FOwnLog(clearLog) {
  UseProgramTypeLibrary();
  FApp->AddRef();
  if (clearLog) GetTracerEventQueue()->Clear();
  GetTracerEventQueue()->VisibleEvents()->SetImpl(static_cast<IVisibleTracerEventsImpl*>(FApp));
}

TFixtureHost::~TFixtureHost() {
  GetTracerEventQueue()->VisibleEvents()->SetImpl(nullptr);
  if (FOwnLog) GetTracerEventQueue()->Clear();
  Added.clear();
  FApp->Detach();
  FApp->Release();
}

IAppObject* TFixtureHost::App() const { return static_cast<IAppObject*>(FApp); }

void TFixtureHost::SetLog(const std::vector<TLogCall>& calls, int focused) {
  TTracerEventQueue* queue = GetTracerEventQueue();
  queue->Clear();
  for (const TLogCall& c : calls) {
    if (!c.Name.empty() && c.Name[0] == L'\x1') {
      queue->AddMessage(c.Name.substr(1));
      continue;
    }
    TComPtr<ITracerEventParams> params = NewTracerEventParams();
    auto* list = static_cast<TTracerEventParams*>(params.Get());
    list->AddParam(L"result")->put_Value(c.Result);
    for (auto& [name, value] : c.Args) list->AddParam(name)->put_Value(value);
    auto* event = new TCallTracerEvent(c.Name);
    TComPtr<ITracerEvent> ref(static_cast<ITracerEvent*>(event));
    event->SetParams(params.Get());
    queue->Add(ref.Get(), true);
  }
  Focused = focused == -2 ? static_cast<int>(calls.size()) - 1 : focused;
}

// ---- captures -----------------------------------------------------------------------------------

namespace {

TShownResult GShown;

bool CaptureResult(TSQLAssembler& assembler, bool wrap) {
  ++GShown.Count;
  GShown.SQL = assembler.Statement()->SQL;
  GShown.AssembledSQL = assembler.Statement()->AssembledSQL;
  GShown.Rows = SQLParamRows(assembler.Statement()->Params);
  GShown.WrapIn = wrap;
  return GShown.WrapOut;
}

}  // namespace

TResultCapture::TResultCapture() {
  GShown = TShownResult();
  SetSQLResultViewer(CaptureResult);
}

TResultCapture::~TResultCapture() { SetSQLResultViewer(nullptr); }

TShownResult& TResultCapture::Shown() { return GShown; }

// ---- the result window, watched from another thread -----------------------------------------------

namespace {

BOOL CALLBACK CollectEdit(HWND child, LPARAM data) {
  wchar_t cls[32] = {};
  GetClassNameW(child, cls, 32);
  if (_wcsicmp(cls, L"Edit") == 0) {
    std::wstring text(static_cast<size_t>(GetWindowTextLengthW(child)) + 1, L'\0');
    GetWindowTextW(child, text.data(), static_cast<int>(text.size()));
    text.resize(text.size() - 1);
    reinterpret_cast<std::vector<std::wstring>*>(data)->push_back(text);
  }
  return TRUE;
}

// The library's result window in this process (other test programs may show theirs).
BOOL CALLBACK FindOwnResultWindow(HWND window, LPARAM found) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  wchar_t cls[32] = {};
  GetClassNameW(window, cls, 32);
  if (pid != GetCurrentProcessId() || wcscmp(cls, L"TfrmVostik") != 0 || !IsWindowVisible(window)) return TRUE;
  *reinterpret_cast<HWND*>(found) = window;
  return FALSE;
}

HWND OwnResultWindow() {
  HWND found = nullptr;
  EnumWindows(FindOwnResultWindow, reinterpret_cast<LPARAM>(&found));
  return found;
}

void WatchFor(TResultWindowSeen& seen, const std::wstring& name, HWND under) {
  const DWORD start = GetTickCount();
  HWND form = nullptr;
  while (!(form = OwnResultWindow())) {
    if (GetTickCount() - start > ScaledMs(20000)) return;
    Sleep(50);
  }
  Sleep(300);
  wchar_t caption[64] = {};
  GetWindowTextW(form, caption, 64);
  seen.Caption = caption;
  seen.Owner = GetWindow(form, GW_OWNER);
  EnumChildWindows(form, CollectEdit, reinterpret_cast<LPARAM>(&seen.Edits));
  TRgbImage picture = under ? CaptureWindows({under, form}) : CaptureWindow(form);
  seen.Colors = picture.ColorCount();
  WriteTextFile(TestBinDir() + name + L".png", EncodePng(picture));
  seen.Found = true;
  const DWORD closing = GetTickCount();
  while (IsWindow(form) && IsWindowVisible(form) && GetTickCount() - closing < ScaledMs(20000)) {
    PostMessageW(form, WM_CLOSE, 0, 0);
    Sleep(200);
  }
}

}  // namespace

void WatchResultWindow(TResultWindowSeen& seen, const std::wstring& name, HWND under) {
  WatchFor(seen, name, under);
  seen.Done = true;
}
