// Saving the log from the main window under Xvfb: the chosen writer with the progress window
// up and the main window disabled, the file opened afterwards; the dialog's filter offers the
// spreadsheet only when it can be started; Cancel, Escape and closing the progress window stop
// the export after one more row; the save action cannot start a second export while one runs;
// a failure reads "Error saving log" and leaves the main window enabled.
#include "Tracer/app/uSaveLog.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "LogTestSupport.h"
#include "AppTestSupport.h"
#include "Tracer/app/fMain.h"
#include "Tracer/app/fProgress.h"
#include "Tracer/app/uMainEntryPoints.h"
#include "Tracer/engine/uEventQueue.h"
#include "Tracer/foundation/uConfig.h"
#include "Tracer/foundation/uErrorReport.h"
#include "Tracer/foundation/uUtils.h"
#include "Tracer/window/WindowTestSupport.h"
#include "Tracer/window/uWinDialogs.h"
#include "support/TestSupport.h"

namespace {

// The user's answer to the save dialog, and what happens while it is open.
struct TDialogAnswer {
  bool Confirm = true;
  std::wstring FileName;
  int FilterIndex = 1;
  std::function<void()> WhileOpen;
  std::vector<TFileDialog> Asked;
} GAnswer;

bool AnswerDialog(TFileDialog& dialog, HWND) {
  GAnswer.Asked.push_back(dialog);
  // A copy: the function may replace itself.
  if (std::function<void()> whileOpen = GAnswer.WhileOpen) whileOpen();
  if (!GAnswer.Confirm) return false;
  dialog.FileName = GAnswer.FileName;
  dialog.FilterIndex = GAnswer.FilterIndex;
  return true;
}

int SwallowErrorDialog(const TErrorDialog&) { return IDOK; }

std::vector<std::wstring> GOpened;
void RecordOpen(const std::wstring& fileName) { GOpened.push_back(fileName); }

// Runs a function when the message it posted to itself is handled: inside the export's
// message processing when posted before the export starts.
class TLater : public TCustomWindow {
public:
  TLater() : TCustomWindow(nullptr, nullptr, L"TTestLater") { CreateWindowOfClass(WS_POPUP, 0, 0, 0, 0, 0); }
  void Post(std::function<void()> fn) {
    FPending.push_back(std::move(fn));
    PostMessageW(Handle(), WM_APP, 0, 0);
  }

protected:
  LRESULT OnMessage(UINT msg, WPARAM wp, LPARAM lp) override {
    if (msg != WM_APP) return TCustomWindow::OnMessage(msg, wp, lp);
    auto fn = std::move(FPending.front());
    FPending.erase(FPending.begin());
    fn();
    return 0;
  }

private:
  std::vector<std::function<void()>> FPending;
};

TfrmProgress* ProgressWindow() {
  for (TForm* f : Application()->Forms())
    if (auto* p = dynamic_cast<TfrmProgress*>(f)) return p;
  return nullptr;
}

void PressCtrlS(HWND window) {
  BYTE keys[256];
  GetKeyboardState(keys);
  keys[VK_CONTROL] = 0x80;
  SetKeyboardState(keys);
  PostMessageW(window, WM_KEYDOWN, 'S', 1);
  PostMessageW(window, WM_KEYUP, 'S', 0xC0000001);
}

void ReleaseCtrl() {
  BYTE keys[256];
  GetKeyboardState(keys);
  keys[VK_CONTROL] = 0;
  SetKeyboardState(keys);
}

// PBM_SETPOS messages reaching the progress bar, counted by a subclass of the bar.
LONG GBarMoves = 0;
WNDPROC GBarProc = nullptr;
LRESULT CALLBACK CountBarMoves(HWND window, UINT msg, WPARAM wp, LPARAM lp) {
  if (msg == PBM_SETPOS) ++GBarMoves;
  return CallWindowProcW(GBarProc, window, msg, wp, lp);
}

class SaveLog : public testing::Test {
protected:
  static void SetUpTestSuite() {
    PrepareAutomation();
    static TTempDir userFolder;
    SetUserDataFolderOverride(userFolder.Path());
    SetErrorDialogFunc(SwallowErrorDialog);
  }
  void SetUp() override {
    DeleteFileW(GetConfigFileName().c_str());
    GAnswer = TDialogAnswer();
    GOpened.clear();
    FOldDialog = SetFileDialogFunc(AnswerDialog);
    InstallMainWindowEntryPoints();
    // The spreadsheet is asked for only where a test says so: starting it here would reach
    // the stand-in server that another suite may have registered meanwhile.
    MainWindowEntryPoints().CanWriteExcel = [] { return false; };
    MainWindowEntryPoints().OpenSavedLog = RecordOpen;
    Main = std::make_unique<TfrmMain>(nullptr);
    Main->Create();
    Main->Show();
  }
  void TearDown() override {
    ReleaseCtrl();
    Main.reset();
    GetTracerEventQueue()->Clear();
    MainWindowEntryPoints() = TMainWindowEntryPoints();
    SetFileDialogFunc(FOldDialog);
  }
  void AddMessages(int n) {
    for (int i = 0; i < n; ++i) GetTracerEventQueue()->AddMessage(L"m" + std::to_wstring(i));
    // The save action follows the log at idle time.
    Application()->ProcessMessages();
    bool done = true;
    Main->AppIdle(done);
    for (TAction* a : Main->Layout().ActionList->Actions()) a->Update();
  }
  // The message rows of a CSV file.
  int CsvRows(const std::wstring& file) {
    const std::string text = ReadTextFile(file);
    int rows = 0;
    for (size_t pos = 0; (pos = text.find("\"\";\"m", pos)) != std::string::npos; ++pos) ++rows;
    return rows;
  }
  void Save() { Main->Layout().actLogSave->Execute(); }

  TLogScope Log;
  TTempDir Dir;
  std::unique_ptr<TfrmMain> Main;
  TFileDialogFunc FOldDialog = nullptr;
};

}  // namespace

TEST_F(SaveLog, TheChosenWriterRunsWithTheMainWindowDisabledAndTheFileIsOpened) {
  AddMessages(3);
  TLater later;
  bool mainEnabledDuringExport = true, progressShown = false;
  GAnswer.FileName = Dir.File(L"first.csv");
  GAnswer.WhileOpen = [&] {
    later.Post([&] {
      mainEnabledDuringExport = IsWindowEnabled(Main->Handle()) != FALSE;
      progressShown = ProgressWindow() && ProgressWindow()->Visible();
      if (progressShown) SaveWindowScreenshot(ProgressWindow()->Handle(), L"ProgressWindow");
    });
  };
  Save();
  EXPECT_EQ(CsvRows(Dir.File(L"first.csv")), 3);
  EXPECT_FALSE(mainEnabledDuringExport);
  EXPECT_TRUE(progressShown);
  EXPECT_TRUE(IsWindowEnabled(Main->Handle()));
  EXPECT_EQ(ProgressWindow(), nullptr) << "the progress window is freed";
  EXPECT_EQ(GOpened, std::vector<std::wstring>{Dir.File(L"first.csv")});

  const TFileDialog& asked = GAnswer.Asked[0];
  EXPECT_EQ(asked.DefaultExt, L"htm");
  EXPECT_EQ(asked.FileName.size(), std::wstring(L"Calderwisp Log ").size() + 14) << asked.FileName;
  EXPECT_EQ(asked.FileName.rfind(L"Calderwisp Log 20", 0), 0u) << asked.FileName;

  // The next save starts in the folder of this one; the second type is HTML.
  GAnswer.WhileOpen = nullptr;
  GAnswer.FileName = Dir.File(L"second.htm");
  GAnswer.FilterIndex = 2;
  Save();
  EXPECT_EQ(GAnswer.Asked[1].InitialDir, Dir.Path());
  EXPECT_EQ(ReadTextFile(Dir.File(L"second.htm")).rfind("<!doctype html system>\r\n", 0), 0u);

  // Cancelled in the dialog: nothing is written or opened.
  GAnswer.Confirm = false;
  GAnswer.FileName = Dir.File(L"third.csv");
  Save();
  EXPECT_EQ(GetFileAttributesW(Dir.File(L"third.csv").c_str()), INVALID_FILE_ATTRIBUTES);
  EXPECT_EQ(GOpened.size(), 2u);
}

TEST_F(SaveLog, CancelEscapeAndClosingTheProgressWindowLetOneMoreRowBeWritten) {
  AddMessages(10);
  struct TCase {
    const char* what;
    std::function<void(TfrmProgress*)> stop;
  } cases[] = {
      {"Cancel clicked", [](TfrmProgress* p) { SendMessageW(p->btnCancel->Handle(), BM_CLICK, 0, 0); }},
      {"Escape", [](TfrmProgress* p) {
         // Keys go to the active window: the display may take a moment to activate it.
         ActivateWithin(p->Handle(), 5000);
         PostMessageW(p->btnCancel->Handle(), WM_KEYDOWN, VK_ESCAPE, 1);
         PostMessageW(p->btnCancel->Handle(), WM_KEYUP, VK_ESCAPE, 0xC0000001);
       }},
      {"window closed", [](TfrmProgress* p) { PostMessageW(p->Handle(), WM_CLOSE, 0, 0); }},
  };
  for (const TCase& c : cases) {
    TLater later;
    const std::wstring file = Dir.File(std::wstring(L"stop") + std::to_wstring(&c - cases) + L".csv");
    GAnswer.FileName = file;
    GAnswer.WhileOpen = [&] {
      later.Post([&] {
        ASSERT_NE(ProgressWindow(), nullptr);
        c.stop(ProgressWindow());
      });
    };
    Save();
    // Row 0 is written before the first message processing sees the stop; one more follows.
    EXPECT_EQ(CsvRows(file), 2) << c.what;
    EXPECT_TRUE(IsWindowEnabled(Main->Handle())) << c.what;
  }
}

TEST_F(SaveLog, TheSaveActionCannotStartASecondExportWhileOneRuns) {
  AddMessages(5);
  TLater later;
  GAnswer.FileName = Dir.File(L"once.csv");
  GAnswer.WhileOpen = [&] {
    GAnswer.WhileOpen = nullptr;
    later.Post([&] {
      // The short cut (to the disabled main window) and a direct call of the flow.
      PressCtrlS(Main->Handle());
      Main->SaveLog();
      EXPECT_TRUE(Main->SavingLog());
    });
  };
  Save();
  PumpFor(50);
  ReleaseCtrl();
  EXPECT_EQ(GAnswer.Asked.size(), 1u) << "no second dialog";
  EXPECT_EQ(CsvRows(Dir.File(L"once.csv")), 5);
  EXPECT_FALSE(Main->SavingLog());

  // The same short cut does start a save when none runs.
  GAnswer.Confirm = false;
  Main->Show();
  ActivateWithin(Main->Handle(), 5000);
  PressCtrlS(Main->Handle());
  PumpUntil([&] { return GAnswer.Asked.size() == 2; }, 2000);
  ReleaseCtrl();
  EXPECT_EQ(GAnswer.Asked.size(), 2u);
}

TEST_F(SaveLog, AFailureReadsErrorSavingLogAndTheMainWindowIsEnabledAgain) {
  AddMessages(1);
  GAnswer.FileName = Dir.File(L"missing folder\\log.csv");
  try {
    Save();
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    const std::vector<std::wstring> lines = SplitLines(e.Message());
    ASSERT_GE(lines.size(), 2u) << e.Message();
    EXPECT_EQ(lines[0], L"Error saving log");
    EXPECT_EQ(lines[1].rfind(L"Cannot create file", 0), 0u) << e.Message();
  }
  EXPECT_TRUE(IsWindowEnabled(Main->Handle()));
  EXPECT_FALSE(Main->SavingLog());
  EXPECT_TRUE(GOpened.empty());
  EXPECT_EQ(ProgressWindow(), nullptr);
  // The next dialog starts in the folder the user chose.
  GAnswer.Confirm = false;
  Save();
  ASSERT_EQ(GAnswer.Asked.size(), 2u);
  EXPECT_EQ(GAnswer.Asked[1].InitialDir, Dir.File(L"missing folder"));
}

TEST_F(SaveLog, TheDialogOffersTheSpreadsheetOnlyWhenItCanBeStarted) {
  AddMessages(1);
  GAnswer.Confirm = false;
  const std::wstring both = L"CSV (*.csv)|*.csv|HTML (*.htm)|*.htm";
  struct TCase {
    const char* what;
    std::function<bool()> canWrite;
    std::wstring filter;
  } cases[] = {
      {"it starts", [] { return true; }, both + L"|Microsoft Excel (*.xls)|*.xls"},
      {"it does not start", [] { return false; }, both},
      {"asking it fails", []() -> bool { throw Exception(L"no spreadsheet here"); }, both},
  };
  for (const TCase& c : cases) {
    MainWindowEntryPoints().CanWriteExcel = c.canWrite;
    GAnswer.Asked.clear();
    Save();
    ASSERT_EQ(GAnswer.Asked.size(), 1u) << c.what;
    EXPECT_EQ(GAnswer.Asked[0].Filter, c.filter) << c.what;
    EXPECT_TRUE(GOpened.empty()) << c.what;
  }
}

// A row costs the export microseconds; moving the bar and handling messages cost a trip through
// the window system each, so they run at most every 50 ms, however many rows that is.
TEST_F(SaveLog, TheProgressWindowMovesItsBarAtMostEvery50MsOfRows) {
  auto progress = CreateForm<TfrmProgress>(Main.get());
  progress->Show();
  GBarMoves = 0;
  const HWND bar = progress->prb->Handle();
  GBarProc = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(bar, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CountBarMoves)));
  const int rows = 10000;
  const DWORD start = GetTickCount();
  for (int i = 0; i < rows; ++i) ASSERT_TRUE(progress->Progress(i, rows - 1));
  const DWORD elapsed = GetTickCount() - start;
  SetWindowLongPtrW(bar, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(GBarProc));
  EXPECT_GE(GBarMoves, 1) << "the first row shows";
  EXPECT_LE(GBarMoves, 2 + static_cast<LONG>(elapsed / 50))
      << rows << " rows in " << elapsed << " ms";
}
