// The main window under Xvfb: its defaults and settings file, the Symbols tab with the bundled
// demo's symbol file, the run of the demo from the recent list (log rows, title, pause, resume,
// stop), attaching through the process picker, the action update rules, the status line, the
// readers' parameter texts, and the log view with a million events. The roads a user takes
// through the window: a language file chosen in the menu, Options applied to the log, Run
// through the open dialog and the input box, Yes in the close query, a file unloaded by another
// file's conflict entry; the pictures of every tool bar and the program's icon.
#include "Tracer/app/fMain.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>

#include "AppTestSupport.h"
#include "LogTestSupport.h"
#include "Tracer/app/fEventProps.h"
#include "Tracer/app/fOptions.h"
#include "Tracer/app/fSelProcessDlg.h"
#include "Tracer/app/fStmtColorDlg.h"
#include "Tracer/app/uAppSettings.h"
#include "Tracer/app/uMainEntryPoints.h"
#include "Tracer/engine/uDebugCore.h"
#include "Tracer/engine/uProcDefs.h"
#include "Tracer/engine/uSymbolFiles.h"
#include "Tracer/foundation/uConfig.h"
#include "Tracer/foundation/uErrorReport.h"
#include "Tracer/foundation/uMainThreadWait.h"
#include "Tracer/foundation/uUtils.h"
#include "Tracer/foundation/uWideStrUtils.h"
#include "Tracer/foundation/uMultiLanguage.h"
#include "Tracer/window/WindowTestImages.h"
#include "Tracer/window/WindowTestSupport.h"
#include "Tracer/window/uWinDialogs.h"
#include "lib/dgn/windows/DgnHandle.h"
#include "support/TestSupport.h"

namespace {

int GAnswer = IDYES;
std::vector<std::wstring> GBoxes;
int AnswerBox(HWND, const std::wstring& text, const std::wstring&, UINT) {
  GBoxes.push_back(text);
  return GAnswer;
}
int SwallowErrorDialog(const TErrorDialog&) { return IDOK; }

std::wstring DemoCommandLine(const std::wstring& args = std::wstring()) {
  std::wstring cmd = L"\"" + TestBinDir() + L"demo.exe\"";
  return args.empty() ? cmd : cmd + L" " + args;
}

// A call as the engine logs it: "result" first and hidden, then the parameters.
void AddCall(const std::wstring& title, int32_t result, const std::vector<std::pair<std::wstring, TOleVariant>>& params) {
  TComPtr<ITracerEventParams> list = NewTracerEventParams();
  auto* impl = static_cast<TTracerEventParams*>(list.Get());
  TComPtr<ITracerEventParam> r = impl->AddParam(L"result");
  OleCheck(r->put_Value(TOleVariant(result)));
  OleCheck(r->put_Visible(VARIANT_FALSE));
  for (const auto& [name, value] : params) OleCheck(impl->AddParam(name)->put_Value(value));
  auto* call = new TCallTracerEvent(title);
  TComPtr<ITracerEvent> event(call);
  call->ThreadId = 1;
  call->SetParams(list.Get());
  GetTracerEventQueue()->Add(event.Get(), true);
}

// The registry of the program's symbols folder lists the demo file (a main window that went
// freed its files).
TSymbolFile* DemoSymbolFile() {
  TSymbolFiles* files = GetSymbolFiles();
  const std::wstring path = files->GetFolder() + L"demo.xml";
  TSymbolFile* file = nullptr;
  if (!files->FindFile(path, file)) {
    file = new TSymbolFile(files, path);
    files->AddString(path, file);
  }
  return file;
}

class MainWindowTest : public testing::Test {
protected:
  static void SetUpTestSuite() {
    PrepareAutomation();
    static TTempDir userFolder;
    SetUserDataFolderOverride(userFolder.Path());
    SetMessageBoxFunc(AnswerBox);
    SetErrorDialogFunc(SwallowErrorDialog);
  }
  void SetUp() override {
    GBoxes.clear();
    GAnswer = IDYES;
    DeleteFileW(GetConfigFileName().c_str());
    DeleteFileW((GetUserDataFolder() + L"\\demo.xml").c_str());
    DemoSymbolFile();
  }
  void TearDown() override {
    if (GetDebugger()->GetActive()) BoundedWait("the trace's end", 20000, [] { GetDebugger()->Stop(); });
    Main.reset();
    GetTracerEventQueue()->Clear();
    MainWindowEntryPoints() = TMainWindowEntryPoints();
  }

  TfrmMain& Open() {
    Main = std::make_unique<TfrmMain>(nullptr);
    Main->Create();
    Main->Show();
    Idle();
    return *Main;
  }
  void Idle() {
    Application()->ProcessMessages();
    bool done = true;
    Main->AppIdle(done);
    for (TAction* a : Main->Layout().ActionList->Actions()) a->Update();
  }
  bool IdleUntil(const std::function<bool()>& pred, int ms) {
    return PumpUntil([&] {
      bool done = true;
      Main->AppIdle(done);
      return pred();
    }, ms);
  }
  // The text of one cell as the list shows it.
  std::wstring Cell(int row, int column) { return Main->Layout().lvwTrace->ItemText(row, column); }
  int Rows() { return Main->Layout().lvwTrace->ItemCount(); }
  bool LogHas(const std::wstring& call) {
    for (int i = 0; i < Rows(); ++i)
      if (Cell(i, 1) == call) return true;
    return false;
  }
  void LoadDemoSymbols() {
    TfrmMain& m = *Main;
    ASSERT_GT(m.Layout().lvwSymbolFiles->ItemCount(), 0);
    for (int i = 0; i < m.Layout().lvwSymbolFiles->ItemCount(); ++i)
      if (m.Layout().lvwSymbolFiles->ItemText(i) == L"demo") {
        m.Layout().lvwSymbolFiles->SetItemIndex(i);
        m.Layout().lvwSymbolFiles->SetChecked(i, true);
      }
    ASSERT_TRUE(DemoSymbolFile()->IsLoaded());
  }

  std::unique_ptr<TfrmMain> Main;
};

TEST_F(MainWindowTest, WithoutSettingsFileTheDefaultsHold) {
  TfrmMain& m = Open();
  EXPECT_TRUE(m.ScrollLock());
  EXPECT_TRUE(m.Layout().actLogScrollLock->Checked());
  ASSERT_EQ(m.Layout().lvwTrace->ColumnCount(), 5);
  const std::pair<const wchar_t*, int> columns[] = {
      {L"Thread Id", 60}, {L"Call", 100}, {L"Time (ms)", 70}, {L"Result", 85}, {L"Parameters", 300}};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(m.Layout().lvwTrace->ColumnCaption(i), columns[i].first);
    EXPECT_EQ(m.Layout().lvwTrace->ColumnWidth(i), columns[i].second);
  }
  EXPECT_EQ(TimeFormatDigits, 0);
  EXPECT_EQ(GetColorInfos()->GetCount(), 0);
  EXPECT_FALSE(DemoSymbolFile()->IsLoaded());
  EXPECT_EQ(m.WindowText(), L"Calderwisp 2");
  EXPECT_EQ(m.Layout().pmnRecents->Count(), 0);
  // No language file: one disabled "English", checked.
  ASSERT_EQ(m.Layout().mniLanguage->Count(), 1);
  EXPECT_EQ(m.Layout().mniLanguage->Item(0)->Caption(), L"English");
  EXPECT_FALSE(m.Layout().mniLanguage->Item(0)->Enabled());
  EXPECT_TRUE(m.Layout().mniLanguage->Item(0)->Checked());
  EXPECT_EQ(m.GetHelpKeyword(), L"html\\main1.htm");
  m.Layout().pcl->SetActivePage(m.Layout().tshSymbols);
  EXPECT_EQ(m.GetHelpKeyword(), L"html\\main2.htm");
  // The automation model reaches the window.
  LONG handle = 0;
  ASSERT_EQ(GetAppObject()->get_MainWindowHandle(&handle), S_OK);
  EXPECT_EQ(reinterpret_cast<HWND>(static_cast<INT_PTR>(handle)), m.Handle());
  LONG focused = 0;
  ASSERT_EQ(GetTracerEventQueue()->VisibleEvents()->get_FocusedIndex(&focused), S_OK);
  EXPECT_EQ(focused, -1);
  SaveWindowScreenshot(m.Handle(), L"MainWindowEmpty");
}

TEST_F(MainWindowTest, SymbolsTabLoadsTheDemoFileAndSwitchesItsFunctions) {
  TfrmMain& m = Open();
  LoadDemoSymbols();
  ASSERT_EQ(m.Layout().lvwProcDefs->ItemCount(), 4);
  std::vector<std::wstring> rows;
  for (int i = 0; i < 4; ++i) rows.push_back(m.Layout().lvwProcDefs->ItemText(i));
  EXPECT_NE(std::find(rows.begin(), rows.end(), L"DemoAdd   (Active, Visible)"), rows.end());
  // Function flags as the row text shows them.
  auto* def = reinterpret_cast<TProcDef*>(m.Layout().lvwProcDefs->ItemData(0));
  def->SetActive(false);
  def->SetVisible(false);
  EXPECT_EQ(ProcDefRowText(def), def->GetTitle());
  def->SetVisible(true);
  EXPECT_EQ(ProcDefRowText(def), def->GetTitle() + L"   (Visible)");
  def->SetActive(true);
  SaveWindowScreenshot(m.Handle(), L"MainWindowSymbols");
  // Clearing the box unloads the file, and its functions leave the list.
  for (int i = 0; i < m.Layout().lvwSymbolFiles->ItemCount(); ++i)
    if (m.Layout().lvwSymbolFiles->ItemText(i) == L"demo") m.Layout().lvwSymbolFiles->SetChecked(i, false);
  EXPECT_FALSE(DemoSymbolFile()->IsLoaded());
  EXPECT_EQ(m.Layout().lvwProcDefs->ItemCount(), 0);
  EXPECT_TRUE(GetLoadedProcDefs()->IsEmpty());
}

TEST_F(MainWindowTest, RunWithoutLoadedFunctionsBringsTheSymbolsTab) {
  TfrmMain& m = Open();
  TCaughtExceptions caught;
  m.RebuildRecentMenu();
  EXPECT_EQ(MessageOf([&] { m.RunProgram(DemoCommandLine()); }), L"First load debug symbols for your application!");
  EXPECT_EQ(m.Layout().pcl->ActivePage(), m.Layout().tshSymbols);
  EXPECT_FALSE(GetDebugger()->GetActive());
  EXPECT_EQ(m.Layout().pmnRecents->Count(), 0);
}

TEST_F(MainWindowTest, RecentCommandLinesKeepTheTenNewestOnceEach) {
  TfrmMain& m = Open();
  for (int i = 0; i < 11; ++i) m.AddRecentFile(L"C:\\p" + std::to_wstring(i) + L".exe");
  m.AddRecentFile(L"c:\\P3.EXE");
  ASSERT_EQ(m.Layout().pmnRecents->Count(), 10);
  EXPECT_EQ(m.Layout().pmnRecents->Item(0)->Caption(), L"c:\\P3.EXE");
  EXPECT_EQ(m.Layout().pmnRecents->Item(1)->Caption(), L"C:\\p10.exe");
  int p3 = 0;
  for (int i = 0; i < m.RecentFiles().GetCount(); ++i)
    if (_wcsicmp(m.RecentFiles().GetItem(i)->GetFileName().c_str(), L"c:\\p3.exe") == 0) ++p3;
  EXPECT_EQ(p3, 1);
  EXPECT_EQ(m.Layout().pmnRecents->Item(9)->Caption(), L"C:\\p1.exe");
}

TEST_F(MainWindowTest, ActionsFollowTheLogAndItsSelection) {
  TfrmMain& m = Open();
  // Entry points of other units: an action without one is hidden.
  EXPECT_FALSE(m.Layout().actLogSave->Visible());
  EXPECT_FALSE(m.Layout().actLogProperties->Visible());
  MainWindowEntryPoints().WriteLog = [](TfrmMain&, int, const std::wstring&) {};
  MainWindowEntryPoints().ShowEventProperties = [](TfrmMain&) {};
  Idle();
  struct TRow {
    int Events, Selected;
    bool Save, Clear, Properties, First, Up, Down, Last;
    const wchar_t* Status;
  };
  const TRow table[] = {
      {0, -1, false, false, false, false, false, false, false, L""},
      {10, -1, true, true, false, false, false, true, true, L""},
      {10, 0, true, true, true, false, false, true, true, L"Record 1 from 10"},
      {10, 2, true, true, true, true, true, true, true, L"Record 3 from 10"},
      {3, -1, true, true, false, false, false, true, true, L""},
      {10, 9, true, true, true, true, true, false, false, L"Record 10 from 10"},
  };
  TCaughtExceptions caught;
  for (const TRow& r : table) {
    GetTracerEventQueue()->Clear();
    for (int i = 0; i < r.Events; ++i) GetTracerEventQueue()->AddMessage(L"message " + std::to_wstring(i));
    // Until the next idle pass the list keeps its count: a row the clear took reads empty.
    if (Rows() > r.Events) {
      EXPECT_EQ(Cell(Rows() - 1, 1), L"");
    }
    Idle();
    m.LogView().SelectRow(r.Selected);
    Idle();
    SCOPED_TRACE(testing::Message() << "events " << r.Events << ", selected " << r.Selected);
    EXPECT_EQ(m.Layout().actLogSave->Enabled(), r.Save);
    EXPECT_EQ(m.Layout().actLogClear->Enabled(), r.Clear);
    EXPECT_EQ(m.Layout().actLogProperties->Enabled(), r.Properties);
    EXPECT_EQ(m.Layout().actLogFirst->Enabled(), r.First);
    EXPECT_EQ(m.Layout().actLogUp->Enabled(), r.Up);
    EXPECT_EQ(m.Layout().actLogDown->Enabled(), r.Down);
    EXPECT_EQ(m.Layout().actLogLast->Enabled(), r.Last);
    EXPECT_EQ(m.Layout().sbr->SimpleText(), r.Status);
    EXPECT_TRUE(m.Layout().actTracerRun->Enabled());
    EXPECT_FALSE(m.Layout().actTracerStop->Enabled());
    EXPECT_FALSE(m.Layout().actTracerPause->Enabled());
  }
  // Navigation moves within the bounds; Clear empties the list and the status line.
  m.LogView().SelectRow(2);
  EXPECT_TRUE(m.Layout().actLogUp->Execute());
  EXPECT_EQ(m.Layout().lvwTrace->ItemIndex(), 1);
  EXPECT_TRUE(m.Layout().actLogLast->Execute());
  EXPECT_EQ(m.Layout().lvwTrace->ItemIndex(), 9);
  EXPECT_FALSE(m.Layout().actLogDown->Execute());
  EXPECT_TRUE(m.Layout().actLogFirst->Execute());
  EXPECT_EQ(m.Layout().lvwTrace->ItemIndex(), 0);
  LONG focused = -1;
  GetTracerEventQueue()->VisibleEvents()->get_FocusedIndex(&focused);
  EXPECT_EQ(focused, 0);
  EXPECT_TRUE(m.Layout().actLogClear->Execute());
  Idle();
  EXPECT_EQ(Rows(), 0);
  EXPECT_EQ(m.Layout().sbr->SimpleText(), L"");
  EXPECT_TRUE(caught.Messages().empty()) << WideToUtf8(caught.Messages().empty() ? L"" : caught.Messages()[0]);
}

TEST_F(MainWindowTest, ScrollLockOffFollowsNewRowsAndOnStopsAtOnce) {
  TfrmMain& m = Open();
  for (int i = 0; i < 200; ++i) GetTracerEventQueue()->AddMessage(L"row " + std::to_wstring(i));
  Idle();
  auto lastVisible = [&] {
    RECT client = m.Layout().lvwTrace->ClientRect();
    RECT last = m.Layout().lvwTrace->ItemRect(Rows() - 1);
    return last.bottom <= client.bottom && last.top >= 0;
  };
  EXPECT_FALSE(lastVisible());
  EXPECT_TRUE(m.Layout().actLogScrollLock->Execute());
  EXPECT_FALSE(m.ScrollLock());
  Idle();
  EXPECT_TRUE(lastVisible());
  GetTracerEventQueue()->AddMessage(L"one more");
  Idle();
  EXPECT_TRUE(lastVisible());
  m.Layout().actLogScrollLock->Execute();
  for (int i = 0; i < 50; ++i) GetTracerEventQueue()->AddMessage(L"later " + std::to_wstring(i));
  Idle();
  EXPECT_FALSE(lastVisible());
}

TEST_F(MainWindowTest, ReadersJoinParametersOnOneLineInTheListAndOnePerLineInHints) {
  TfrmMain& m = Open();
  AddCall(L"Call", 7, {{L"text", TOleVariant(std::wstring(L"two\r\nlines\tand tab"))}, {L"n", TOleVariant(3)}});
  Idle();
  TTEQColumnValueStrDynArray cells;
  m.LogView().ListReader().ReadRow(0, cells);
  EXPECT_EQ(cells[4].Text, L"text='two lines and tab' n=3");
  m.LogView().HintReader().ReadRow(0, cells);
  EXPECT_EQ(cells[4].Text, L"text='two\r\nlines\tand tab'\nn=3");
}

TEST_F(MainWindowTest, SmartHintsShowLongAndParameterCellsOnly) {
  // As the start-up installs it: every hint window is a smart one, made anew by a translation.
  Application()->SetHintWindowFactory([](HFONT font) { return std::make_unique<TSmartHintWindow>(font); });
  TfrmMain& m = Open();
  m.Translate();
  EXPECT_NE(dynamic_cast<TSmartHintWindow*>(Application()->HintWindow()), nullptr);
  AddCall(L"AVeryLongFunctionNameThatDoesNotFitItsColumn", 1, {{L"x", TOleVariant(2)}});
  Idle();
  const RECT row = m.Layout().lvwTrace->ItemRect(0);
  auto hintAt = [&](int x, int y, std::wstring& text) {
    THintInfo info;
    info.HintControl = m.Layout().lvwTrace;
    info.CursorPos = POINT{x, y};
    std::wstring hint;
    bool canShow = true;
    m.LogView().AppShowHint(hint, canShow, info);
    text = hint;
    return canShow && !hint.empty();
  };
  std::wstring text;
  const int y = (row.top + row.bottom) / 2;
  EXPECT_TRUE(hintAt(60 + 50, y, text));  // Call: wider than its column
  EXPECT_EQ(text, L"AVeryLongFunctionNameThatDoesNotFitItsColumn");
  EXPECT_FALSE(hintAt(60 + 100 + 70 + 40, y, text));  // a short Result
  EXPECT_TRUE(hintAt(60 + 100 + 70 + 85 + 20, y, text));  // Parameters, always
  EXPECT_EQ(text, L"x=2");
  EXPECT_FALSE(hintAt(60 + 100 + 70 + 85 + 300 + 10, y, text));  // right of the last column
}

// A trace of the demo from the recent list, as a user runs it: Start, the demo's calls with
// their parameters, Finish; the title names the program while it runs; the settings written
// at exit keep the recent command line and the loaded file.
TEST_F(MainWindowTest, DemoRunFromTheRecentListFillsTheLogAndSettingsKeepIt) {
  {
    TfrmMain& m = Open();
    LoadDemoSymbols();
    m.AddRecentFile(DemoCommandLine());
    Main.reset();
  }
  const std::string settings = ReadTextFile(GetConfigFileName());
  EXPECT_NE(settings.find("recentfiles"), std::string::npos);
  EXPECT_NE(settings.find(WideToUtf8(TestBinDir()) + "demo.exe"), std::string::npos) << settings;
  EXPECT_NE(settings.find("symbols\\demo.xml"), std::string::npos) << settings;
  EXPECT_NE(settings.find("\"ScrollLock\" value=\"True\""), std::string::npos) << settings;
  EXPECT_NE(settings.find("\"time:format\" value=\"0\""), std::string::npos) << settings;
  EXPECT_NE(settings.find("\"Width\" value=\"300\""), std::string::npos) << settings;

  DemoSymbolFile();
  TfrmMain& m = Open();
  EXPECT_TRUE(DemoSymbolFile()->IsLoaded());
  ASSERT_EQ(m.Layout().lvwSymbolFiles->ItemCount(), 1);
  EXPECT_TRUE(m.Layout().lvwSymbolFiles->Checked(0));
  ASSERT_EQ(m.Layout().pmnRecents->Count(), 1);
  m.Layout().pmnRecents->Item(0)->Click();
  ASSERT_TRUE(IdleUntil([&] { return Rows() > 0 && Cell(Rows() - 1, 1) == L"Finish"; }, 30000));
  EXPECT_TRUE(BoundedWait("the trace's end", 20000, [] { GetDebugger()->WaitForThreadEnd(); }));
  Idle();
  EXPECT_EQ(Cell(0, 1), L"Start");
  EXPECT_TRUE(LogHas(L"DemoAdd"));
  EXPECT_TRUE(LogHas(L"DemoStrLen"));
  EXPECT_TRUE(LogHas(L"DemoWideLen"));
  EXPECT_TRUE(LogHas(L"DemoFill"));
  bool sawParams = false;
  for (int i = 0; i < Rows(); ++i)
    if (Cell(i, 1) == L"DemoStrLen" && Cell(i, 4) == L"text='Calderwisp'" && Cell(i, 3) == L"10") sawParams = true;
  EXPECT_TRUE(sawParams);
  EXPECT_EQ(m.WindowText(), L"Calderwisp 2");
  SaveWindowScreenshot(m.Handle(), L"MainWindowDemoRun");
}

TEST_F(MainWindowTest, LongRunShowsItsProgramInTheTitleAndPausesResumesAndStops) {
  TfrmMain& m = Open();
  LoadDemoSymbols();
  m.RunProgram(DemoCommandLine(L"1000"));
  ASSERT_TRUE(IdleUntil([&] { return m.WindowText() == L"demo.exe - Calderwisp 2"; }, 20000)) << m.WindowText();
  EXPECT_EQ(Application()->Title(), L"demo.exe - Calderwisp 2");
  ASSERT_TRUE(IdleUntil([&] { return LogHas(L"DemoAdd"); }, 20000));
  Idle();
  EXPECT_FALSE(m.Layout().actTracerRun->Enabled());
  EXPECT_TRUE(m.Layout().actTracerStop->Enabled());
  EXPECT_TRUE(m.Layout().actTracerPause->Execute());
  Idle();
  EXPECT_TRUE(GetDebugger()->GetPaused());
  EXPECT_TRUE(m.Layout().actTracerPause->Checked());
  PumpFor(300);  // calls under way when the pause came in finish
  Idle();
  const int paused = Rows();
  PumpFor(600);
  Idle();
  EXPECT_EQ(Rows(), paused);
  EXPECT_TRUE(m.Layout().actTracerPause->Execute());
  EXPECT_FALSE(GetDebugger()->GetPaused());
  EXPECT_TRUE(IdleUntil([&] { return Rows() > paused; }, 10000));
  // Closing during the trace asks; No keeps it running.
  GAnswer = IDNO;
  m.Close();
  EXPECT_EQ(GBoxes.size(), 1u);
  EXPECT_EQ(GBoxes.back(), L"Debug session is active. Abort?");
  EXPECT_TRUE(GetDebugger()->GetActive());
  EXPECT_TRUE(BoundedWait("the stop", 20000, [&] { m.Layout().actTracerStop->Execute(); }));
  EXPECT_TRUE(BoundedWait("the trace's end", 20000, [] { GetDebugger()->WaitForThreadEnd(); }));
  EXPECT_TRUE(IdleUntil([&] { return Cell(Rows() - 1, 1) == L"Finish"; }, 10000));
  EXPECT_EQ(m.WindowText(), L"Calderwisp 2");
}

TEST_F(MainWindowTest, AttachThroughThePickerTracesAndStopLeavesTheProgramRunning) {
  TfrmMain& m = Open();
  LoadDemoSymbols();
  std::wstring cmd = DemoCommandLine(L"100000");
  STARTUPINFOW si{};
  si.cb = sizeof si;
  PROCESS_INFORMATION pi{};
  ASSERT_TRUE(CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, TestBinDir().c_str(), &si, &pi));
  TDgnHandle process(pi.hProcess), thread(pi.hThread);
  ScaledSleep(300);
  // The picker is answered from inside its modal loop: the demo's row, then OK.
  TTimer answer(nullptr, L"answer", 100);
  bool picked = false;
  answer.OnTimer = [&](TTimer* t) {
    for (TForm* f : Application()->Forms())
      if (auto* picker = dynamic_cast<TSelProcessDlg*>(f); picker && picker->Visible()) {
        for (int i = 0; i < picker->lvwProcesses->ItemCount(); ++i)
          if (picker->lvwProcesses->ItemText(i, 0) == std::to_wstring(pi.dwProcessId)) picker->lvwProcesses->SetItemIndex(i);
        picked = picker->SelectedProcess() != nullptr;
        picker->SetModalResult(picked ? mrOK : mrCancel);
        t->SetEnabled(false);
      }
  };
  EXPECT_TRUE(m.Layout().actTracerAttach->Execute());
  ASSERT_TRUE(picked);
  ASSERT_TRUE(IdleUntil([&] { return LogHas(L"DemoAdd"); }, 20000));
  EXPECT_TRUE(BoundedWait("the stop", 20000, [&] { m.Layout().actTracerStop->Execute(); }));
  EXPECT_TRUE(BoundedWait("the trace's end", 20000, [] { GetDebugger()->WaitForThreadEnd(); }));
  EXPECT_EQ(WaitForSingleObject(process.Get(), ScaledMs(500)), static_cast<DWORD>(WAIT_TIMEOUT));
  TerminateProcess(process.Get(), 0);
  WaitForSingleObject(process.Get(), ScaledMs(5000));
}

// A symbol file of the test's own, listed in the program's registry while the test runs.
TSymbolFile* AddSymbolFile(const std::wstring& path) {
  TSymbolFiles* files = GetSymbolFiles();
  TSymbolFile* file = nullptr;
  if (!files->FindFile(path, file)) {
    file = new TSymbolFile(files, path);
    files->AddString(path, file);
  }
  return file;
}

std::string SymbolsXml(const std::wstring& procs) {
  return WideToUtf8(L"<?xml version=\"1.0\"?>\r\n<propertyset name=\"calderwisp:symbols\">" + procs + L"</propertyset>\r\n");
}

std::wstring IntParam(const std::wstring& name, int offset) {
  return L"<propertyset name=\"param\"><property name=\"Name\" value=\"" + name +
         L"\"/><property name=\"Type\" value=\"int\"/><property name=\"Offset\" value=\"" + std::to_wstring(offset) +
         L"\"/></propertyset>";
}

// Clicks the check box of a list view's row with posted mouse messages, as a click arrives.
void ClickCheckBox(HWND list, int row) {
  RECT bounds{LVIR_BOUNDS, 0, 0, 0};
  SendMessageW(list, LVM_GETITEMRECT, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&bounds));
  LVHITTESTINFO hit{};
  for (int x = bounds.left; x < bounds.left + 40; ++x) {
    hit.pt = POINT{x, (bounds.top + bounds.bottom) / 2};
    hit.flags = 0;
    if (SendMessageW(list, LVM_SUBITEMHITTEST, 0, reinterpret_cast<LPARAM>(&hit)) == row &&
        (hit.flags & LVHT_ONITEMSTATEICON))
      break;
  }
  const LPARAM at = MAKELPARAM(hit.pt.x, hit.pt.y);
  PostMessageW(list, WM_LBUTTONDOWN, MK_LBUTTON, at);
  PostMessageW(list, WM_LBUTTONUP, 0, at);
}

// A call handler takes 2 s (it holds the engine's lock meanwhile) while the user clicks the
// box of a symbol file five times: each click is carried out after the one before, none inside
// another; the trace goes on and loses no call.
TEST_F(MainWindowTest, FiveClicksOnASymbolFilesBoxDuringASlowHandlerEndAsTheLastClickSays) {
  TTempDir dir;
  WriteTextFile(dir.File(L"slow.js"),
                "function Slow(params) { var end = new Date().getTime() + 2000; while (new Date().getTime() < end) {} }\r\n");
  const std::wstring slowPath = dir.File(L"slowadd.xml"), lenPath = dir.File(L"strlen.xml");
  WriteTextFile(slowPath, SymbolsXml(L"<propertyset name=\"proc\"><property name=\"URL\" value=\"export://DemoAdd@demolib.dll\"/>"
                                     L"<property name=\"Result\" value=\"eax\"/><property name=\"Handler\" value=\"script://Slow@" +
                                     dir.File(L"slow.js") + L"\"/>" + IntParam(L"a", 4) + IntParam(L"b", 8) +
                                     L"</propertyset>"));
  WriteTextFile(lenPath, SymbolsXml(L"<propertyset name=\"proc\"><property name=\"URL\" value=\"export://DemoStrLen@demolib.dll\"/>"
                                    L"<property name=\"Result\" value=\"eax\"/></propertyset>"));
  TSymbolFile* slow = AddSymbolFile(slowPath);
  TSymbolFile* len = AddSymbolFile(lenPath);
  TfrmMain& m = Open();
  int lenRow = -1;
  for (int i = 0; i < m.Layout().lvwSymbolFiles->ItemCount(); ++i) {
    if (m.Layout().lvwSymbolFiles->ItemText(i) == L"slowadd") m.Layout().lvwSymbolFiles->SetChecked(i, true);
    if (m.Layout().lvwSymbolFiles->ItemText(i) == L"strlen") {
      lenRow = i;
      m.Layout().lvwSymbolFiles->SetChecked(i, true);
    }
  }
  ASSERT_TRUE(slow->IsLoaded() && len->IsLoaded());
  m.Layout().pcl->SetActivePage(m.Layout().tshSymbols);
  TCaughtExceptions caught;
  m.RunProgram(DemoCommandLine(L"1000"));
  // A DemoStrLen after a DemoAdd: the next DemoAdd's handler runs now.
  ASSERT_TRUE(IdleUntil([&] { return LogHas(L"DemoAdd") && Cell(Rows() - 1, 1) == L"DemoStrLen"; }, 30000));
  const HWND list = m.Layout().lvwSymbolFiles->Handle();
  const unsigned long long turns = MainThreadWaitTurns();
  const DWORD clicked = GetTickCount();
  // The first of the five is the Space key on the row: the character TranslateMessage posts
  // for it stays queued through the wait for the lock, and the wait must not spin on it.
  m.Layout().lvwSymbolFiles->SetItemIndex(lenRow);
  SetFocus(list);
  PostMessageW(list, WM_KEYDOWN, VK_SPACE, 0x00390001);
  PostMessageW(list, WM_KEYUP, VK_SPACE, static_cast<LPARAM>(0xC0390001));
  for (int i = 0; i < 4; ++i) ClickCheckBox(list, lenRow);
  ASSERT_TRUE(IdleUntil([&] {
    MSG msg;
    return !PeekMessageW(&msg, list, WM_KEYFIRST, WM_MOUSELAST, PM_NOREMOVE) && !len->IsBusy();
  }, 60000));
  const unsigned long long taken = MainThreadWaitTurns() - turns;  // a sleeping wait: a few a second
  EXPECT_LE(taken, 100u * ((GetTickCount() - clicked) / 1000 + 1)) << "the wait for the lock spun";
  Idle();
  EXPECT_TRUE(caught.Messages().empty()) << WideToUtf8(caught.Messages().empty() ? L"" : caught.Messages()[0]);
  EXPECT_FALSE(len->IsLoaded()) << "five clicks from checked end unchecked";
  EXPECT_FALSE(m.Layout().lvwSymbolFiles->Checked(lenRow));
  EXPECT_TRUE(slow->IsLoaded());
  // The trace goes on, and every DemoAdd call is in the log: each starts from the last result.
  EXPECT_TRUE(GetDebugger()->GetActive());
  const int rows = Rows();
  ASSERT_TRUE(IdleUntil([&] { return Rows() >= rows + 2; }, 30000));
  SaveWindowScreenshot(m.Handle(), L"MainWindowFiveClicks");
  EXPECT_TRUE(BoundedWait("the stop", 30000, [&] { m.Layout().actTracerStop->Execute(); }));
  Idle();
  std::vector<std::pair<std::wstring, std::wstring>> adds;  // a, result
  for (int i = 0; i < Rows(); ++i)
    if (Cell(i, 1) == L"DemoAdd") {
      const std::wstring params = Cell(i, 4);
      const size_t a = params.find(L"a="), b = params.find(L" b=");
      adds.emplace_back(params.substr(a + 2, b - a - 2), Cell(i, 3));
    }
  ASSERT_GE(adds.size(), 3u);
  for (size_t i = 1; i < adds.size(); ++i) EXPECT_EQ(adds[i].first, adds[i - 1].second) << "a call was lost before row " << i;
  Main.reset();  // frees the registry's files, ours among them
  for (const wchar_t* name : {L"slowadd.xml", L"strlen.xml"}) DeleteFileW((GetUserDataFolder() + L"\\" + name).c_str());
}

// A symbol file naming a plug-in whose Connect takes 2 s, checked while a trace runs: the
// trace's calls keep reaching the log meanwhile (the plug-in counts them).
TEST_F(MainWindowTest, APluginConnectingFor2SecondsDoesNotStallARunningTrace) {
  RegisterPlugFix();
  auto setting = [](const std::wstring& name) {
    TBStr key(name);
    TOleVariant value;
    GetAppSettings()->GetValue(key.Get(), value.Receive());
    return value.IsEmpty() ? std::wstring(L"(none)") : value.AsBSTRText();
  };
  {
    TBStr key(L"plugfix:connect");
    ASSERT_EQ(S_OK, GetAppSettings()->SetValue(key.Get(), TOleVariant(std::wstring(L"slow"))));
  }
  TTempDir dir;
  const std::wstring path = dir.File(L"slowplug.xml");
  WriteTextFile(path, SymbolsXml(L"<property name=\"plugin\" value=\"" + std::wstring(PlugFixClass) + L"\"/>"));
  TSymbolFile* plug = AddSymbolFile(path);
  TfrmMain& m = Open();
  LoadDemoSymbols();
  TCaughtExceptions caught;
  m.RunProgram(DemoCommandLine(L"1000"));
  ASSERT_TRUE(IdleUntil([&] { return LogHas(L"DemoAdd"); }, 20000));
  for (int i = 0; i < m.Layout().lvwSymbolFiles->ItemCount(); ++i)
    if (m.Layout().lvwSymbolFiles->ItemText(i) == L"slowplug") m.Layout().lvwSymbolFiles->SetChecked(i, true);
  EXPECT_TRUE(plug->IsLoaded());
  EXPECT_TRUE(caught.Messages().empty()) << WideToUtf8(caught.Messages().empty() ? L"" : caught.Messages()[0]);
  const std::wstring logged = setting(L"plugfix:logged");
  EXPECT_GT(_wtoi(logged.c_str()), 0) << "calls logged during Connect: " << WideToUtf8(logged);
  EXPECT_TRUE(BoundedWait("the stop", 20000, [&] { m.Layout().actTracerStop->Execute(); }));
  Main.reset();
  GetAppSettings()->Items().Clear();
}

// The pause, stop and close roads while the engine is busy: pause and resume pressed again
// and again while the traced program ends; Stop while a 2 s call handler runs; closing the
// window while a trace runs and a handler waits. Nothing fails or hangs, and the trace ends.
TEST_F(MainWindowTest, PauseStopAndCloseWhileTheEngineIsBusyEndTheTraceCleanly) {
  TfrmMain& m = Open();
  LoadDemoSymbols();
  TCaughtExceptions caught;
  // Pause and resume while a short run ends.
  m.RunProgram(DemoCommandLine(L"3"));
  ASSERT_TRUE(IdleUntil([] { return GetDebugger()->GetActive(); }, 20000));
  for (int i = 0; i < 200 && GetDebugger()->GetActive(); ++i) {
    m.Layout().actTracerPause->Execute();
    Idle();
  }
  ASSERT_TRUE(BoundedWait("the trace's end", 20000, [] { GetDebugger()->WaitForThreadEnd(); }));
  ASSERT_TRUE(IdleUntil([] { return !GetDebugger()->GetActive(); }, 20000));
  TSymbolFile* demo = DemoSymbolFile();
  TProcDefsEnumerator e(demo->GetProcs(), L"test", 1);
  while (e.MoveNext()) EXPECT_TRUE(e.GetCurrent()->GetActive()) << "a pause outlived its trace";

  // Stop, then close, while a slow handler runs.
  TTempDir dir;
  WriteTextFile(dir.File(L"slow.js"),
                "function Slow(params) { var end = new Date().getTime() + 2000; while (new Date().getTime() < end) {} }\r\n");
  const std::wstring slowPath = dir.File(L"slowlen.xml");
  WriteTextFile(slowPath, SymbolsXml(L"<propertyset name=\"proc\"><property name=\"URL\" value=\"export://DemoWideLen@demolib.dll\"/>"
                                     L"<property name=\"Handler\" value=\"script://Slow@" + dir.File(L"slow.js") +
                                     L"\"/></propertyset>"));
  TSymbolFile* slow = AddSymbolFile(slowPath);
  m.SymbolsPage().FillSymbolFiles();
  for (int i = 0; i < m.Layout().lvwSymbolFiles->ItemCount(); ++i)
    if (m.Layout().lvwSymbolFiles->ItemText(i) == L"demo") m.Layout().lvwSymbolFiles->SetChecked(i, false);
  for (int i = 0; i < m.Layout().lvwSymbolFiles->ItemCount(); ++i)
    if (m.Layout().lvwSymbolFiles->ItemText(i) == L"slowlen") m.Layout().lvwSymbolFiles->SetChecked(i, true);
  ASSERT_TRUE(slow->IsLoaded());
  for (bool close : {false, true}) {
    GetTracerEventQueue()->Clear();
    Idle();
    m.RunProgram(DemoCommandLine(L"1000"));
    ASSERT_TRUE(IdleUntil([&] { return LogHas(L"DemoWideLen"); }, 30000));
    PumpFor(400);  // the next round's handler is under way
    if (close) {
      GAnswer = IDYES;
      EXPECT_TRUE(BoundedWait("closing the window", 30000, [&] { m.Close(); }));
      EXPECT_FALSE(m.Visible());
    } else {
      EXPECT_TRUE(BoundedWait("the stop", 30000, [&] { m.Layout().actTracerStop->Execute(); }));
    }
    EXPECT_FALSE(GetDebugger()->GetActive());
    EXPECT_TRUE(BoundedWait("the trace's end", 20000, [] { GetDebugger()->WaitForThreadEnd(); }));
  }
  EXPECT_TRUE(caught.Messages().empty()) << WideToUtf8(caught.Messages().empty() ? L"" : caught.Messages()[0]);
  MSG quit;
  PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE);  // the closed main form's
  Main.reset();
  DeleteFileW((GetUserDataFolder() + L"\\slowlen.xml").c_str());
}

// ---- the roads a user takes through the window ----

TEST_F(MainWindowTest, TheLanguageMenuTranslatesTheWindowAndTheTitleStaysTheProgramsOwn) {
  TTestLanguageFile french(L"French",
                           "[TfrmMain]\r\nCaption=Calderwisp (fran\xC3\xA7" "ais)\r\nmniTracer.Caption=&Traceur\r\n"
                           "lvwTraceCol1.Caption=Appel\r\n[Messages]\r\nSRecordXFromY=Ligne %d sur %d\r\n");
  TfrmMain& m = Open();
  GetTracerEventQueue()->AddMessage(L"one");
  Idle();
  m.LogView().SelectRow(0);
  TMenuItem* item = nullptr;
  for (int i = 0; i < m.Layout().mniLanguage->Count(); ++i)
    if (m.Layout().mniLanguage->Item(i)->Caption() == L"French") item = m.Layout().mniLanguage->Item(i);
  ASSERT_NE(item, nullptr);
  item->Click();
  Idle();
  EXPECT_TRUE(item->Checked());
  EXPECT_EQ(m.Layout().mniTracer->Caption(), L"&Traceur");
  EXPECT_EQ(m.Layout().lvwTrace->ColumnCaption(1), L"Appel");
  EXPECT_EQ(m.Layout().sbr->SimpleText(), L"Ligne 1 sur 1");
  // The form's translated caption gives way to the title at the next idle pass.
  EXPECT_EQ(m.WindowText(), L"Calderwisp 2");
  EXPECT_EQ(Application()->Title(), L"Calderwisp 2");
}

TEST_F(MainWindowTest, OptionsChosenInTheDialogApplyToTheLog) {
  TLogScope log;
  InstallMainWindowEntryPoints();
  TfrmMain& m = Open();
  AddLogCall(L"Call", 1, 12.3456, 0, {});
  Idle();
  TFormDriver driver;
  driver.Then(OnForm<TfrmOptions>([](TfrmOptions* d) {
    // The pictures clicked as the user does: time format "0.01 ms", the "Call" column off.
    TTreeView* tree = d->tvwOptions;
    auto clickPicture = [&](int group, int option) {
      const RECT text = tree->ItemTextRect(tree->Children(tree->Children(tree->Root())[group])[option]);
      d->ClickAt(POINT{text.left - 8, (text.top + text.bottom) / 2});
    };
    clickPicture(0, 2);
    clickPicture(1, 1);
    d->btnOK->Click();
  }));
  EXPECT_TRUE(m.Layout().actOptions->Execute());
  ASSERT_TRUE(driver.Done());
  Idle();
  ASSERT_EQ(m.Layout().lvwTrace->ColumnCount(), 4);
  EXPECT_EQ(m.Layout().lvwTrace->ColumnCaption(1), L"Time (ms)");
  EXPECT_EQ(Cell(0, 1), L"12.35");
  EXPECT_EQ(Cell(0, 0), L"1");
}

std::wstring GOpenDialogFolder;

// A window's child controls of one window class, in order.
struct TChildSearch {
  const wchar_t* ClassName;
  std::vector<HWND> Found;
};

BOOL CALLBACK CollectChild(HWND child, LPARAM p) {
  auto* search = reinterpret_cast<TChildSearch*>(p);
  wchar_t name[64] = {};
  GetClassNameW(child, name, 64);
  if (_wcsicmp(name, search->ClassName) == 0) search->Found.push_back(child);
  return TRUE;
}

std::vector<HWND> ChildrenOfClass(HWND parent, const wchar_t* className) {
  TChildSearch search{className, {}};
  EnumChildWindows(parent, CollectChild, reinterpret_cast<LPARAM>(&search));
  return search.Found;
}

std::wstring TextOf(HWND window) {
  wchar_t text[512] = {};
  GetWindowTextW(window, text, 512);
  return text;
}

TEST_F(MainWindowTest, RunThroughTheOpenDialogAndTheInputBoxTracesTheEditedCommandLine) {
  GOpenDialogFolder.clear();
  const TFileDialogFunc oldDialog = SetFileDialogFunc([](TFileDialog& d, HWND) {
    GOpenDialogFolder = d.InitialDir;
    d.FileName = TestBinDir() + L"demo.exe";
    return true;
  });
  // The input box as the user sees it: its caption, prompt and proposed text; two rounds of
  // the demo's calls typed behind the program, then OK.
  TfrmMain& m = Open();
  LoadDemoSymbols();
  std::wstring caption, prompt, proposed;
  TFormDriver driver;
  driver.Then({[](TForm* f) { return f->WindowClassName() == L"TInputQueryForm"; },
               [&](TForm* f) {
                 caption = f->WindowText();
                 const std::vector<HWND> labels = ChildrenOfClass(f->Handle(), L"Static");
                 if (!labels.empty()) prompt = TextOf(labels[0]);
                 const std::vector<HWND> edits = ChildrenOfClass(f->Handle(), L"Edit");
                 if (edits.empty()) return;
                 proposed = TextOf(edits[0]);
                 SetWindowTextW(edits[0], (proposed + L" 2").c_str());
                 for (HWND button : ChildrenOfClass(f->Handle(), L"Button"))
                   if (TextOf(button) == L"OK") SendMessageW(button, BM_CLICK, 0, 0);
               }});
  EXPECT_TRUE(m.Layout().actTracerRun->Execute());
  SetFileDialogFunc(oldDialog);
  ASSERT_TRUE(driver.Done());
  EXPECT_EQ(GOpenDialogFolder, ProgramFolder());
  EXPECT_EQ(caption, L"Start");
  EXPECT_EQ(prompt, L"Command-line parameters:");
  EXPECT_EQ(proposed, TestBinDir() + L"demo.exe");
  ASSERT_TRUE(IdleUntil([&] { return Rows() > 0 && Cell(Rows() - 1, 1) == L"Finish"; }, 30000));
  int adds = 0;
  for (int i = 0; i < Rows(); ++i) adds += Cell(i, 1) == L"DemoAdd";
  EXPECT_EQ(adds, 8) << "four calls a round";
  ASSERT_GE(m.Layout().pmnRecents->Count(), 1);
  EXPECT_EQ(m.Layout().pmnRecents->Item(0)->Caption(), TestBinDir() + L"demo.exe 2");
}

TEST_F(MainWindowTest, YesInTheCloseQueryStopsTheTraceAndEndsTheProgram) {
  TfrmMain& m = Open();
  LoadDemoSymbols();
  m.RunProgram(DemoCommandLine(L"1000"));
  ASSERT_TRUE(IdleUntil([&] { return LogHas(L"DemoAdd"); }, 20000));
  GAnswer = IDYES;
  EXPECT_TRUE(BoundedWait("the close", 20000, [&] { m.Close(); }));
  EXPECT_EQ(GBoxes, std::vector<std::wstring>{L"Debug session is active. Abort?"});
  EXPECT_FALSE(GetDebugger()->GetActive());
  EXPECT_FALSE(m.Visible());
  MSG quit;
  EXPECT_TRUE(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE)) << "the program's loop ends";
  EXPECT_TRUE(IdleUntil([&] { return Cell(Rows() - 1, 1) == L"Finish"; }, 10000));
}

TEST_F(MainWindowTest, AFileUnloadedByAnotherFilesConflictEntryLosesItsCheckMark) {
  TTempDir dir;
  auto addFile = [&](const std::wstring& name, const std::wstring& more) {
    const std::wstring path = dir.File(name + L".xml");
    WriteTextFile(path, "<?xml version=\"1.0\"?>\r\n<propertyset name=\"calderwisp:symbols\">" + WideToUtf8(more) +
                            "<propertyset name=\"proc\"><property name=\"Title\" value=\"" + WideToUtf8(name) +
                            "Call\"/><property name=\"URL\" value=\"export://" + WideToUtf8(name) +
                            "Call@cwcf.dll\"/></propertyset></propertyset>\r\n");
    GetSymbolFiles()->AddString(path, new TSymbolFile(GetSymbolFiles(), path));
  };
  addFile(L"cwcfa", L"");
  addFile(L"cwcfb", L"<property name=\"conflict\" value=\"cwcfa.xml\"/>");
  TCaughtExceptions caught;
  TfrmMain& m = Open();
  auto row = [&](const wchar_t* name) {
    for (int i = 0; i < m.Layout().lvwSymbolFiles->ItemCount(); ++i)
      if (m.Layout().lvwSymbolFiles->ItemText(i) == name) return i;
    return -1;
  };
  const int a = row(L"cwcfa"), b = row(L"cwcfb");
  ASSERT_GE(a, 0);
  ASSERT_GE(b, 0);
  auto check = [&](int index, bool on) {
    m.Layout().lvwSymbolFiles->SetItemIndex(index);
    m.Layout().lvwSymbolFiles->SetChecked(index, on);
  };
  check(a, true);
  ASSERT_TRUE(m.Layout().lvwSymbolFiles->Checked(a));
  check(b, true);
  EXPECT_FALSE(m.Layout().lvwSymbolFiles->Checked(a)) << "cleared in the same pass";
  EXPECT_TRUE(m.Layout().lvwSymbolFiles->Checked(b));
  ASSERT_EQ(m.Layout().lvwProcDefs->ItemCount(), 1);
  EXPECT_EQ(m.Layout().lvwProcDefs->ItemText(0), L"cwcfbCall   (Active, Visible)");
  // Unchecking the file that now holds the functions unloads it; the other one stays unloaded.
  check(b, false);
  EXPECT_FALSE(m.Layout().lvwSymbolFiles->Checked(a));
  EXPECT_FALSE(m.Layout().lvwSymbolFiles->Checked(b));
  EXPECT_EQ(m.Layout().lvwProcDefs->ItemCount(), 0);
  EXPECT_TRUE(GetLoadedProcDefs()->IsEmpty());
  EXPECT_TRUE(caught.Messages().empty()) << caught.Messages().front();
}

// Every tool bar of the program with the main window's own image lists: the main window's,
// the rule list's and the event-properties window's, as their actions show them.
TEST_F(MainWindowTest, EveryToolButtonOfTheProgramShowsAPicture) {
  InstallMainWindowEntryPoints();
  TfrmMain& m = Open();
  AddCall(L"Call", 1, {{L"x", TOleVariant(2)}});
  Idle();
  EXPECT_EQ(BlankToolButtons(m), std::vector<std::wstring>{}) << "the main window";
  std::vector<std::wstring> ruleList{L"(not shown)"};
  TFormDriver driver;
  driver.Then(OnForm<TStmtColorDlg>([&](TStmtColorDlg* d) {
    ruleList = BlankToolButtons(*d);
    SaveWindowScreenshot(d->Handle(), L"StmtColorDlg-ProgramPictures");
    d->SetModalResult(mrCancel);
  }));
  EXPECT_TRUE(m.Layout().actLogHighlight->Execute());
  EXPECT_EQ(ruleList, std::vector<std::wstring>{}) << "the rule list";
  m.LogView().SelectRow(0);
  Idle();
  EXPECT_TRUE(m.Layout().actLogProperties->Execute());
  TfrmEventProps* props = GetEventPropsForm();
  ASSERT_TRUE(props->Visible());
  EXPECT_EQ(BlankToolButtons(*props), std::vector<std::wstring>{}) << "the event-properties window";
  PumpFor(50);
  SaveWindowScreenshot(props->Handle(), L"EventProps-ProgramPictures");
  props->Close();
}

// Calderwisp.exe carries its icon in the sizes the title bar, the task list and the about box
// ask for; the main window shows its program's icon (the test program links the same one).
TEST_F(MainWindowTest, TheProgramCarriesItsIconAndTheMainWindowShowsIt) {
  TDgnModule program(LoadLibraryExW((TestBinDir() + L"Calderwisp.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE));
  ASSERT_TRUE(program.Valid());
  HRSRC group = FindResourceW(program.Get(), L"MAINICON", RT_GROUP_ICON);
  ASSERT_NE(group, nullptr) << "no icon MAINICON";
  auto* directory = static_cast<BYTE*>(LockResource(LoadResource(program.Get(), group)));
  for (int size : {16, 32, 48}) {
    const int id = LookupIconIdFromDirectoryEx(directory, TRUE, size, size, LR_DEFAULTCOLOR);
    HRSRC icon = FindResourceW(program.Get(), MAKEINTRESOURCEW(id), RT_ICON);
    ASSERT_NE(icon, nullptr) << size;
    EXPECT_EQ(static_cast<BITMAPINFOHEADER*>(LockResource(LoadResource(program.Get(), icon)))->biWidth, size);
  }
  TfrmMain& m = Open();
  const struct {
    WPARAM Kind;
    int Size;
  } shown[] = {{ICON_BIG, GetSystemMetrics(SM_CXICON)}, {ICON_SMALL, GetSystemMetrics(SM_CXSMICON)}};
  for (const auto& s : shown) {
    const HANDLE own = LoadImageW(GetModuleHandleW(nullptr), L"MAINICON", IMAGE_ICON, s.Size, s.Size, LR_SHARED);
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(reinterpret_cast<HANDLE>(m.Perform(WM_GETICON, s.Kind, 0)), own) << s.Size;
  }
  SaveWindowScreenshot(m.Handle(), L"MainWindowIcon");
}

// A million events added straight to the queue: the idle pass takes the new row count, a scroll
// reaches the last row, and a later idle pass changes nothing. The times of each step are printed
// for the record (its own suite, run alone); they are never asserted, since a loaded machine
// would fail them.
class MainWindowLargeLog : public MainWindowTest {};

TEST_F(MainWindowLargeLog, MillionEventLogScrollsToTheEndAndIdles) {
  TfrmMain& m = Open();
  const int count = 1000000;
  for (int i = 0; i < count; ++i) GetTracerEventQueue()->AddMessage(L"event");
  LARGE_INTEGER freq, a, b;
  QueryPerformanceFrequency(&freq);
  auto ms = [&] { return double(b.QuadPart - a.QuadPart) * 1000.0 / double(freq.QuadPart); };
  bool done = true;
  QueryPerformanceCounter(&a);
  m.AppIdle(done);
  QueryPerformanceCounter(&b);
  const double firstIdle = ms();
  ASSERT_EQ(Rows(), count);
  QueryPerformanceCounter(&a);
  UpdateWindow(m.Layout().lvwTrace->Handle());
  QueryPerformanceCounter(&b);
  const double firstPaint = ms();
  // The median of three scrolls to the end, each from the top.
  std::vector<double> scrolls;
  for (int i = 0; i < 3; ++i) {
    m.LogView().SelectRow(0);
    UpdateWindow(m.Layout().lvwTrace->Handle());
    QueryPerformanceCounter(&a);
    m.LogView().SelectRow(count - 1);
    UpdateWindow(m.Layout().lvwTrace->Handle());
    QueryPerformanceCounter(&b);
    scrolls.push_back(ms());
  }
  std::sort(scrolls.begin(), scrolls.end());
  const double scrollToEnd = scrolls[1];
  QueryPerformanceCounter(&a);
  m.AppIdle(done);
  QueryPerformanceCounter(&b);
  const double idle = ms();
  EXPECT_EQ(m.Layout().sbr->SimpleText(), L"Record 1000000 from 1000000");
  std::printf("1,000,000 events: first idle pass %.2f ms, its repaint %.2f ms, scroll to the end with its repaint "
              "%.2f ms, idle pass %.2f ms\n", firstIdle, firstPaint, scrollToEnd, idle);
  SaveWindowScreenshot(m.Handle(), L"MainWindowMillion");
  const int top = static_cast<int>(SendMessageW(m.Layout().lvwTrace->Handle(), LVM_GETTOPINDEX, 0, 0));
  const int page = static_cast<int>(SendMessageW(m.Layout().lvwTrace->Handle(), LVM_GETCOUNTPERPAGE, 0, 0));
  EXPECT_GE(top + page, count - 1) << "the last row is not in view";
  EXPECT_EQ(Rows(), count);
}

}  // namespace
