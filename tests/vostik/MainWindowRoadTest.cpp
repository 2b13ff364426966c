// The plug-in in the real main window: Vostik registered in the private prefix; the sample ODBC
// symbol file checked on the Symbols tab puts the assembler's button on the plug-in toolbar; the
// ODBC client run from the recent list; the button enabled on the execute row only; a click on
// it shows the library's result window over the main window (screenshot). Registration is
// shared with VostikServer's tests, so this is one of them.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <thread>

#include "EngineTestSupport.h"
#include "VostikTestSupport.h"
#include "Tracer/app/fMain.h"
#include "Tracer/engine/uDebugCore.h"
#include "Tracer/engine/uSymbolFiles.h"
#include "Tracer/foundation/uErrorReport.h"
#include "Tracer/foundation/uUtils.h"
#include "Tracer/foundation/uVariants.h"
#include "Tracer/window/WindowTestSupport.h"
#include "support/TestSupport.h"

DWORD RunRegsvr32(const std::wstring& switches);  // uVostikServerTest.cpp

namespace {

std::vector<std::wstring> GBoxes;
int AnswerBox(HWND, const std::wstring& text, const std::wstring&, UINT) {
  GBoxes.push_back(text);
  return IDOK;
}
int SwallowErrorDialog(const TErrorDialog&) { return IDOK; }

// The registry lists the sample file (a main window that went freed its files).
TSymbolFile* OdbcSymbolFile() {
  TSymbolFiles* files = GetSymbolFiles();
  const std::wstring path = files->GetFolder() + L"odbc32.xml";
  TSymbolFile* file = nullptr;
  if (!files->FindFile(path, file)) {
    file = new TSymbolFile(files, path);
    files->AddString(path, file);
  }
  return file;
}

// The plug-in buttons of the toolbar (its first button is the divider).
std::vector<TToolButton*> PluginButtons(TfrmMain& m) {
  std::vector<TToolButton*> buttons;
  for (int i = 0; i < m.Layout().tbrPlugins->ButtonCount(); ++i)
    if (m.Layout().tbrPlugins->Button(i)->Action()) buttons.push_back(m.Layout().tbrPlugins->Button(i));
  return buttons;
}

// The main window with the seams it needs for a test's time; afterwards no trace runs, the log
// is empty and the registry lists the sample file again.
struct TMainWindowScope {
  TMainWindowScope() {
    SetUserDataFolderOverride(UserFolder.Path());
    SetMessageBoxFunc(AnswerBox);
    SetErrorDialogFunc(SwallowErrorDialog);
    GetTracerEventQueue()->Clear();
    OdbcSymbolFile();
    Main = std::make_unique<TfrmMain>(nullptr);
    Main->Create();
    Main->Show();
  }
  ~TMainWindowScope() {
    if (GetDebugger()->GetActive()) BoundedWait("the trace's end", 20000, [] { GetDebugger()->Stop(); });
    Main.reset();
    GetTracerEventQueue()->Clear();
    OdbcSymbolFile();
    SetErrorDialogFunc(nullptr);
    SetMessageBoxFunc(nullptr);
    SetUserDataFolderOverride(std::wstring());
  }
  TTempDir UserFolder;
  TCaughtExceptions Caught;
  std::unique_ptr<TfrmMain> Main;
};

}  // namespace

TEST(VostikServer, TheMainWindowShowsTheAssemblersButtonAndItsResultWindow) {
  ASSERT_EQ(RunRegsvr32(L""), 0u);
  UseProgramTypeLibrary();
  TMainWindowScope scope;
  TfrmMain& m = *scope.Main;
  const TCaughtExceptions& caught = scope.Caught;
  auto idle = [&] {
    Application()->ProcessMessages();
    bool done = true;
    m.AppIdle(done);
    for (TAction* a : m.Layout().ActionList->Actions()) a->Update();
  };
  idle();
  EXPECT_FALSE(m.Layout().tbrPlugins->Visible());

  // The Symbols tab: checking the file loads it, and with it the plug-in it names.
  m.Layout().pcl->SetActivePage(m.Layout().tshSymbols);
  int row = -1;
  for (int i = 0; i < m.Layout().lvwSymbolFiles->ItemCount(); ++i)
    if (m.Layout().lvwSymbolFiles->ItemText(i) == L"odbc32") row = i;
  ASSERT_GE(row, 0);
  m.Layout().lvwSymbolFiles->SetItemIndex(row);
  m.Layout().lvwSymbolFiles->SetChecked(row, true);
  ASSERT_TRUE(OdbcSymbolFile()->IsLoaded()) << (caught.Messages().empty() ? "" : WideToUtf8(caught.Messages()[0]));
  EXPECT_EQ(m.Layout().lvwProcDefs->ItemCount(), 8);
  ASSERT_EQ(PluginButtons(m).size(), 1u);
  TToolButton* button = PluginButtons(m)[0];
  TAction* action = button->Action();
  EXPECT_EQ(action->Caption(), L"ODBC SQL Assembler");
  EXPECT_GE(action->ImageIndex(), 0);
  EXPECT_TRUE(m.Layout().tbrPlugins->Visible());
  m.Layout().pcl->SetActivePage(m.Layout().tshTrace);

  // The client from the recent list, traced to its end.
  const std::wstring report = scope.UserFolder.File(L"report.txt");
  m.AddRecentFile(L"\"" + Bin(L"odbcclient.exe") + L"\" :memory: \"" + report + L"\"");
  ASSERT_EQ(m.Layout().pmnRecents->Count(), 1);
  m.Layout().pmnRecents->Item(0)->Click();
  auto rows = [&] { return m.Layout().lvwTrace->ItemCount(); };
  auto call = [&](int i) { return m.Layout().lvwTrace->ItemText(i, 1); };
  ASSERT_TRUE(PumpUntil([&] {
    bool done = true;
    m.AppIdle(done);
    return rows() > 0 && call(rows() - 1) == L"Finish";
  }, 60000));
  EXPECT_TRUE(BoundedWait("the trace's end", 20000, [] { GetDebugger()->WaitForThreadEnd(); }));
  idle();
  int execute = -1;
  for (int i = 0; i < rows(); ++i)
    if (call(i) == L"SQLExecute") execute = i;
  ASSERT_GT(execute, 0);

  // Enabled on the execute row only.
  struct TRow {
    int Row;
    bool Enabled;
  };
  for (const TRow& r : {TRow{execute - 1, false}, TRow{execute, true}, TRow{0, false}, TRow{execute, true}}) {
    SCOPED_TRACE(testing::Message() << "row " << r.Row << ": " << WideToUtf8(call(r.Row)));
    m.LogView().SelectRow(r.Row);
    idle();
    EXPECT_TRUE(action->Visible());
    EXPECT_EQ(action->Enabled(), r.Enabled);
    EXPECT_EQ(button->Enabled(), r.Enabled);
  }

  // A click on the button, as the mouse gives it: the result window over the main window. The
  // main window is made larger first, so that the result window (centred on the screen) leaves
  // its toolbars and the left of its log in the picture.
  m.SetBounds(0, 0, std::min(1000, GetSystemMetrics(SM_CXSCREEN)), std::min(760, GetSystemMetrics(SM_CYSCREEN)));
  idle();
  RECT rect{};
  ASSERT_TRUE(SendMessageW(m.Layout().tbrPlugins->Handle(), TB_GETITEMRECT, button->Index(), reinterpret_cast<LPARAM>(&rect)));
  const LPARAM at = MAKELPARAM((rect.left + rect.right) / 2, (rect.top + rect.bottom) / 2);
  TResultWindowSeen seen;
  std::thread watcher(WatchResultWindow, std::ref(seen), L"vostik-main-window", m.Handle());
  PostMessageW(m.Layout().tbrPlugins->Handle(), WM_LBUTTONDOWN, MK_LBUTTON, at);
  PostMessageW(m.Layout().tbrPlugins->Handle(), WM_LBUTTONUP, 0, at);
  EXPECT_TRUE(PumpUntil([&] { return seen.Done.load(); }, 60000));
  ASSERT_TRUE(JoinWithin(watcher, 5000, "the result window's watcher"));
  ASSERT_TRUE(seen.Found);
  EXPECT_EQ(seen.Caption, L"SQL Assembler");
  EXPECT_EQ(seen.Owner, m.Handle());
  ASSERT_EQ(seen.Edits.size(), 2u);
  EXPECT_EQ(seen.Edits[0], L"insert into t (name, born, note, n)\r\nvalues (?, ?, ?, ?)\r\n");
  EXPECT_EQ(seen.Edits[1], L"insert into t (name, born, note, n)\r\nvalues ('O''Brien', " +
                               VariantToText(Date(2024, 3, 5)) + L", (null), 42)\r\n");
  EXPECT_GT(seen.Colors, 1u);
  PumpFor(200);
  EXPECT_TRUE(caught.Messages().empty()) << WideToUtf8(caught.Messages()[0]);
  EXPECT_TRUE(GBoxes.empty()) << WideToUtf8(GBoxes[0]);

  // Clearing the box unloads the file; the assembler goes, and its button with it.
  m.Layout().pcl->SetActivePage(m.Layout().tshSymbols);
  m.Layout().lvwSymbolFiles->SetChecked(row, false);
  EXPECT_FALSE(OdbcSymbolFile()->IsLoaded());
  EXPECT_TRUE(PluginButtons(m).empty());
  EXPECT_FALSE(m.Layout().tbrPlugins->Visible());

  scope.Main.reset();
  CoFreeUnusedLibraries();
  ASSERT_EQ(RunRegsvr32(L"/u"), 0u);
}
