// The whole road short of the main window: Vostik registered in the private prefix, the sample
// symbol file loaded by the real loader, which loads the ODBC assembler through the real plug-in
// host and connects it with the real application object; the ODBC client traced; the action
// enabled on the execute row; Execute shows the library's own result window (screenshot), which
// a second thread reads and closes. Registration is shared with VostikServer's tests, so this is
// one of them.
#include <gtest/gtest.h>

#include <thread>

#include "EngineTestSupport.h"
#include "TraceHarness.h"
#include "VostikTestSupport.h"
#include "Tracer/app/uAppPlugins.h"
#include "Tracer/app/uAppServices.h"
#include "Tracer/engine/uDebugCore.h"
#include "Tracer/engine/uSymbolFiles.h"
#include "Tracer/foundation/uVariants.h"
#include "support/Screenshot.h"
#include "support/TestSupport.h"
#include "support/TestTimeScale.h"

DWORD RunRegsvr32(const std::wstring& switches);  // uVostikServerTest.cpp

namespace {

// The main window's plug-in toolbar, as far as the host sees it.
class TToolbarStandIn : public IAppPluginActionsImpl {
public:
  TToolbarStandIn() : FImages(ImageList_Create(16, 16, ILC_COLOR32 | ILC_MASK, 4, 4)) {}
  ~TToolbarStandIn() { ImageList_Destroy(FImages); }
  HIMAGELIST GetImages() override { return FImages; }
  void AddAction(std::unique_ptr<TAppPluginAction> action) override { Actions.push_back(std::move(action)); }
  void RemoveActions(IAppPluginAction* action) override {
    std::erase_if(Actions, [&](auto& a) { return a->GetPluginAction() == action; });
  }
  std::vector<std::unique_ptr<TAppPluginAction>> Actions;

private:
  HIMAGELIST FImages;
};

}  // namespace

TEST(VostikServer, ASymbolFileNamingTheOdbcClassLoadsItsAssemblerThroughTheHost) {
  ASSERT_EQ(RunRegsvr32(L""), 0u);
  UseProgramTypeLibrary();
  TToolbarStandIn toolbar;
  InstallAppPluginHost();
  GetAppPluginActions()->SetImpl(&toolbar);
  TFixtureHost focus(false);  // answers the focused row of the visible log

  TSymbolFile* file = nullptr;
  ASSERT_TRUE(GetSymbolFiles()->FindFile(GetSymbolFiles()->GetFolder() + L"odbc32.xml", file))
      << WideToUtf8(GetSymbolFiles()->GetFolder());
  file->Load();
  ASSERT_EQ(toolbar.Actions.size(), 1u);
  TAppPluginAction* action = toolbar.Actions[0].get();
  EXPECT_EQ(action->GetCaption(), L"ODBC SQL Assembler");
  EXPECT_GE(action->GetImageIndex(), 0);

  TTraceHarness h;
  const std::wstring report = h.Dir.File(L"report.txt");
  GetDebugger()->Run(L"\"" + Bin(L"odbcclient.exe") + L"\" :memory: \"" + report + L"\"");
  ASSERT_TRUE(h.PumpUntil([] { return GetDebugger()->GetActive(); }, 20000));
  ASSERT_TRUE(h.WaitForEnd(60000));
  auto events = h.Events();
  int execute = -1;
  for (size_t i = 0; i < events.size(); ++i)
    if (events[i].Text == L"SQLExecute") execute = static_cast<int>(i);
  ASSERT_GE(execute, 0);

  focus.SetFocus(execute - 1);  // a bind row
  action->Update();
  EXPECT_TRUE(action->GetVisible());
  EXPECT_FALSE(action->GetEnabled());
  focus.SetFocus(execute);
  action->Update();
  EXPECT_TRUE(action->GetEnabled());

  TResultWindowSeen seen;
  std::thread watcher(WatchResultWindow, std::ref(seen), L"vostik-host-road", nullptr);
  action->Execute();
  watcher.join();
  ASSERT_TRUE(seen.Found);
  EXPECT_EQ(seen.Caption, L"SQL Assembler");
  ASSERT_EQ(seen.Edits.size(), 2u);
  EXPECT_EQ(seen.Edits[0], L"insert into t (name, born, note, n)\r\nvalues (?, ?, ?, ?)\r\n");
  EXPECT_EQ(seen.Edits[1], L"insert into t (name, born, note, n)\r\nvalues ('O''Brien', " +
                               VariantToText(Date(2024, 3, 5)) + L", (null), 42)\r\n");
  EXPECT_GT(seen.Colors, 1u);

  // Unloading the file releases the assembler, which takes its action off the toolbar.
  file->Unload(false);
  EXPECT_TRUE(toolbar.Actions.empty());
  GetAppPluginActions()->SetImpl(nullptr);
  CoFreeUnusedLibraries();
  ASSERT_EQ(RunRegsvr32(L"/u"), 0u);
}
