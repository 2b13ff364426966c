// The plug-in host with the fixture plug-in DLL, loaded and unloaded through symbol files:
// connecting, the toolbar actions and their states, Execute, and every way loading can fail.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "AppTestSupport.h"
#include "Tracer/app/uAppPlugins.h"
#include "Tracer/app/uAppServices.h"
#include "Tracer/app/uAppSettings.h"
#include "Tracer/engine/uEventQueue.h"
#include "Tracer/engine/uSymbolFiles.h"
#include "Tracer/foundation/uGuards.h"
#include "support/TestSupport.h"

namespace {

void Set(const std::wstring& name, const std::wstring& value) {
  TBStr key(name);
  TOleVariant text(value);
  ASSERT_EQ(S_OK, GetAppSettings()->SetValue(key.Get(), text));
}

std::wstring Get(const std::wstring& name) {
  TBStr key(name);
  TOleVariant value;
  EXPECT_EQ(S_OK, GetAppSettings()->GetValue(key.Get(), value.Receive()));
  return value.IsEmpty() ? L"(empty)" : value.AsBSTRText();
}

std::string PluginFile(std::initializer_list<std::wstring> classIds) {
  std::wstring body;
  for (const std::wstring& id : classIds) body += L"<property name=\"plugin\" value=\"" + id + L"\"/>";
  return WideToUtf8(L"<?xml version=\"1.0\"?>\r\n<propertyset name=\"calderwisp:symbols\">" + body +
                    L"</propertyset>\r\n");
}

// What reaches the application's exception handler.
std::vector<std::wstring> HandledErrors;
void RecordError() noexcept {
  try {
    throw;
  } catch (const Exception& e) {
    HandledErrors.push_back(e.Message());
  } catch (...) {
    HandledErrors.push_back(L"(unknown)");
  }
}

class PluginHost : public ::testing::Test {
protected:
  void SetUp() override {
    PrepareAutomation();
    RegisterPlugFix();
    GetAppSettings()->Items().Clear();
    HandledErrors.clear();
    FPreviousRoute = SetApplicationExceptionRoute(RecordError);
  }
  void TearDown() override { SetApplicationExceptionRoute(FPreviousRoute); }

  // A symbol file in the test's folder naming these plug-ins.
  std::wstring AddFile(const std::wstring& name, std::initializer_list<std::wstring> classIds) {
    WriteTextFile(FDir.File(name), PluginFile(classIds));
    return FDir.File(name);
  }
  TSymbolFile* File(TSymbolFiles& files, const std::wstring& path) {
    TSymbolFile* file = nullptr;
    EXPECT_TRUE(files.FindFile(path, file));
    return file;
  }
  std::wstring Folder() const { return FDir.Path() + L"\\"; }

  TTestToolbar Toolbar;
  TToolbarScope Scope{&Toolbar};

private:
  TTempDir FDir;
  TExceptionRoute FPreviousRoute = nullptr;
};

TEST_F(PluginHost, LoadingTheFileConnectsThePluginOnceAndUnloadingReleasesItAndItsAction) {
  const std::wstring path = AddFile(L"one.xml", {PlugFixClass});
  TSymbolFiles files(Folder());
  const LONG connects = PlugFixConnects(), live = PlugFixLive();
  const int loaded = GetAppPlugins()->LoadedPlugins().Count();
  const int images = ImageList_GetImageCount(Toolbar.GetImages());
  File(files, path)->Load();
  EXPECT_EQ(connects + 1, PlugFixConnects());
  EXPECT_EQ(live + 1, PlugFixLive());
  EXPECT_EQ(loaded + 1, GetAppPlugins()->LoadedPlugins().Count());
  ASSERT_EQ(1u, Toolbar.Actions.size());
  EXPECT_EQ(L"Fixture action", Toolbar.Actions[0]->GetCaption());
  EXPECT_EQ(L"Runs the fixture plug-in", Toolbar.Actions[0]->GetHint());
  EXPECT_EQ(images, Toolbar.Actions[0]->GetImageIndex());
  EXPECT_EQ(images + 1, ImageList_GetImageCount(Toolbar.GetImages()));

  File(files, path)->Unload(true);
  EXPECT_EQ(live, PlugFixLive());
  EXPECT_EQ(loaded, GetAppPlugins()->LoadedPlugins().Count());
  EXPECT_TRUE(Toolbar.Actions.empty());
  EXPECT_EQ(connects + 1, PlugFixConnects());
}

TEST_F(PluginHost, GetStateMapsToHiddenDisabledAndEnabled) {
  struct Case {
    const wchar_t* State;
    bool Visible;
    bool Enabled;
  };
  // A failing GetState hides the action and leaves enabled as it was (true from the last row).
  const Case cases[] = {{L"3", true, true}, {L"1", true, false}, {L"0", false, false},
                        {L"2", false, true}, {L"7", true, true}, {L"fail", false, true}};
  const std::wstring path = AddFile(L"state.xml", {PlugFixClass});
  TSymbolFiles files(Folder());
  File(files, path)->Load();
  ASSERT_EQ(1u, Toolbar.Actions.size());
  for (const Case& c : cases) {
    Set(L"plugfix:state", c.State);
    // Error information some earlier call left behind is not the plug-in's failure.
    TBStr topic(L"none");
    EXPECT_TRUE(FAILED(GetAppObject()->ShowHelp(topic.Get())));
    Toolbar.Actions[0]->Update();
    EXPECT_EQ(c.Visible, Toolbar.Actions[0]->GetVisible()) << WideToUtf8(c.State);
    EXPECT_EQ(c.Enabled, Toolbar.Actions[0]->GetEnabled()) << WideToUtf8(c.State);
  }
  EXPECT_TRUE(HandledErrors.empty());
  File(files, path)->Unload(false);
}

class TFocusedRow : public TInterfacedObject, public IVisibleTracerEventsImpl {
public:
  explicit TFocusedRow(LONG index) : FIndex(index) {}
  CW_IUNKNOWN_COUNTED
  void* GetInterface(REFIID iid) override {
    if (IsEqualIID(iid, __uuidof(IVisibleTracerEventsImpl)) || IsEqualIID(iid, IID_IUnknown))
      return static_cast<IVisibleTracerEventsImpl*>(this);
    return TInterfacedObject::GetInterface(iid);
  }
  LONG STDMETHODCALLTYPE GetFocusedIndex() override { return FIndex; }

private:
  LONG FIndex;
};

TEST_F(PluginHost, ExecuteReachesTheSettingsAndTheFocusedEventAndItsFailureIsShown) {
  const std::wstring path = AddFile(L"exec.xml", {PlugFixClass});
  TSymbolFiles files(Folder());
  File(files, path)->Load();
  ASSERT_EQ(1u, Toolbar.Actions.size());
  GetTracerEventQueue()->Clear();
  GetTracerEventQueue()->AddMessage(L"first message");
  GetTracerEventQueue()->AddMessage(L"second message");
  TComPtr<IVisibleTracerEventsImpl> focused(new TFocusedRow(1));
  GetTracerEventQueue()->VisibleEvents()->SetImpl(focused.Get());

  Toolbar.Actions[0]->Execute();
  EXPECT_EQ(L"second message", Get(L"plugfix:focused"));
  EXPECT_TRUE(HandledErrors.empty());

  Set(L"plugfix:execute", L"fail");
  Toolbar.Actions[0]->Execute();
  ASSERT_EQ(1u, HandledErrors.size());
  EXPECT_EQ(L"Execute failed in the fixture", HandledErrors[0]);

  GetTracerEventQueue()->VisibleEvents()->SetImpl(nullptr);
  GetTracerEventQueue()->Clear();
  File(files, path)->Unload(false);
}

TEST_F(PluginHost, AnActionThePluginRemovesInsideExecuteGoesWhenExecuteReturns) {
  const std::wstring path = AddFile(L"remove.xml", {PlugFixClass});
  TSymbolFiles files(Folder());
  File(files, path)->Load();
  ASSERT_EQ(1u, Toolbar.Actions.size());
  Set(L"plugfix:execute", L"remove");
  // The plug-in writes "removed" after its Remove call, before its Execute returns.
  std::wstring seenAtRemoval;
  Toolbar.OnRemove = [&] { seenAtRemoval = Get(L"plugfix:executed"); };
  Toolbar.Actions[0]->Execute();
  EXPECT_EQ(L"removed", seenAtRemoval);
  EXPECT_EQ(L"removed", Get(L"plugfix:executed"));
  EXPECT_TRUE(Toolbar.Actions.empty());
  EXPECT_TRUE(HandledErrors.empty());
  File(files, path)->Unload(false);
}

TEST_F(PluginHost, AFailedLoadGivesTheReasonAndLeavesTheFileUnloaded) {
  struct Case {
    std::wstring ClassId;
    const wchar_t* Cause;  // nullptr: the system's own text
  };
  const Case cases[] = {
      {L"{3D7A1C52-8E4B-4F19-A6D2-5B0E9C7F1A99}", nullptr},
      {L"not-a-class", L"'not-a-class' is not a valid GUID value"},
      {PlugFixClass, L"Connect refused by the fixture"},
  };
  const LONG live = PlugFixLive();
  const int loaded = GetAppPlugins()->LoadedPlugins().Count();
  int n = 0;
  for (const Case& c : cases) {
    // A plug-in loaded before the failing one is released again.
    const std::wstring path = AddFile(L"bad" + std::to_wstring(n++) + L".xml", {PlugFixSharedClass, c.ClassId});
    TSymbolFiles files(Folder());
    Set(L"plugfix:connect", c.ClassId == PlugFixClass ? L"fail" : L"");
    const std::wstring message = MessageOf([&] { File(files, path)->Load(); });
    const std::vector<std::wstring> lines = SplitLines(message);
    ASSERT_EQ(4u, lines.size()) << WideToUtf8(message);
    EXPECT_EQ(L"Error loading symbols from \"" + path, lines[0]);
    EXPECT_EQ(L"Error loading " + path, lines[1]);
    EXPECT_EQ(L"Error loading plugin " + c.ClassId, lines[2]);
    if (c.Cause) {
      EXPECT_EQ(c.Cause, lines[3]);
    }
    EXPECT_FALSE(lines[3].empty());
    EXPECT_FALSE(File(files, path)->IsLoaded());
    EXPECT_EQ(live, PlugFixLive()) << WideToUtf8(c.ClassId);
    EXPECT_EQ(loaded, GetAppPlugins()->LoadedPlugins().Count());
    EXPECT_TRUE(Toolbar.Actions.empty());
  }
}

TEST_F(PluginHost, TwoFilesMakeTwoInstancesUnlessThePluginAnswersItsClassId) {
  const std::wstring a = AddFile(L"a.xml", {PlugFixClass, PlugFixSharedClass});
  const std::wstring b = AddFile(L"b.xml", {PlugFixClass, PlugFixSharedClass});
  TSymbolFiles registry(Folder());
  TSymbolFiles* files = &registry;
  const LONG connects = PlugFixConnects(), live = PlugFixLive();
  File(*files, a)->Load();
  File(*files, b)->Load();
  // Three instances (the shared class once), each connected once; four references held.
  EXPECT_EQ(connects + 3, PlugFixConnects());
  EXPECT_EQ(live + 3, PlugFixLive());
  EXPECT_EQ(3u, Toolbar.Actions.size());
  File(*files, a)->Unload(false);
  EXPECT_EQ(live + 2, PlugFixLive());  // the shared one stays for b
  File(*files, b)->Unload(false);
  EXPECT_EQ(live, PlugFixLive());
  EXPECT_TRUE(Toolbar.Actions.empty());
}

TEST_F(PluginHost, WithoutAToolbarAddingAndRemovingDoNothing) {
  const std::wstring path = AddFile(L"bare.xml", {PlugFixClass});
  TSymbolFiles files(Folder());
  GetAppPluginActions()->SetImpl(nullptr);
  const LONG live = PlugFixLive();
  File(files, path)->Load();
  EXPECT_EQ(live + 1, PlugFixLive());
  File(files, path)->Unload(false);
  EXPECT_EQ(live, PlugFixLive());
  EXPECT_TRUE(Toolbar.Actions.empty());
}

}  // namespace
