// Saving the log under Xvfb: the chosen writer with the progress window up and the main
// window disabled, the file opened afterwards; Cancel, Escape and closing the progress window
// stop the export after one more row; the save action cannot start a second export while one
// runs; a failure reads "Error saving log" and leaves the main window enabled.
#include "Tracer/app/uSaveLog.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "LogTestSupport.h"
#include "Tracer/app/fBase.h"
#include "Tracer/app/fProgress.h"
#include "Tracer/engine/uEventQueue.h"
#include "Tracer/window/WindowTestSupport.h"
#include "Tracer/window/uWinMenus.h"
#include "support/TestSupport.h"

namespace {

// The user's answer to the save dialog, and what happens while it is open.
struct TDialogAnswer {
  bool Confirm = true;
  std::wstring FileName;
  int FilterIndex = 1;
  std::function<void()> WhileOpen;
  std::vector<TSaveLogDialogParams> Asked;
} GAnswer;

bool AnswerDialog(TSaveLogDialogParams& params) {
  GAnswer.Asked.push_back(params);
  // A copy: the function may replace itself.
  if (std::function<void()> whileOpen = GAnswer.WhileOpen) whileOpen();
  if (!GAnswer.Confirm) return false;
  params.FileName = GAnswer.FileName;
  params.FilterIndex = GAnswer.FilterIndex;
  return true;
}

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

// The main window as far as saving goes: a Log menu whose "Save log..." item has Ctrl+S.
class TTestMainForm : public TfrmBase {
public:
  explicit TTestMainForm(TTEQColumnManager* columns) : TfrmBase(nullptr, L"TTestMainForm", 400, 200) {
    auto* menu = new TMainMenu(this, L"mnuMain");
    auto* log = new TMenuItem(this, menu, L"mnuLog", L"&Log");
    mnuSave = new TMenuItem(this, log, L"mnuSave", L"Save log...");
    mnuSave->SetShortCut(TShortCut{'S', FCONTROL});
    mnuSave->OnClick = [this, columns](TMenuItem*) { ++SaveClicks, ExecuteSaveLog(this, columns); };
    SetMenu(menu);
  }
  TMenuItem* mnuSave;
  int SaveClicks = 0;
};

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

class SaveLog : public testing::Test {
protected:
  void SetUp() override {
    AddDefaultColumns(Columns);
    GAnswer = TDialogAnswer();
    GOpened.clear();
    FOldDialog = SetSaveLogDialogFunc(AnswerDialog);
    FOldOpen = SetOpenSavedLogFunc(RecordOpen);
    Main = CreateForm<TTestMainForm>(&Columns);
    Application()->SetMainForm(Main.get());
    Main->Show();
  }
  void TearDown() override {
    ReleaseCtrl();
    Application()->SetMainForm(nullptr);
    Main.reset();
    SetSaveLogDialogFunc(FOldDialog);
    SetOpenSavedLogFunc(FOldOpen);
  }
  void AddMessages(int n) {
    for (int i = 0; i < n; ++i) GetTracerEventQueue()->AddMessage(L"m" + std::to_wstring(i));
  }
  // The message rows of a CSV file.
  int CsvRows(const std::wstring& file) {
    const std::string text = ReadTextFile(file);
    int rows = 0;
    for (size_t pos = 0; (pos = text.find("\"\";\"m", pos)) != std::string::npos; ++pos) ++rows;
    return rows;
  }

  TLogScope Log;
  TTEQColumnManager Columns;
  TTempDir Dir;
  std::unique_ptr<TTestMainForm> Main;
  TSaveLogDialogFunc FOldDialog = nullptr;
  TOpenSavedLogFunc FOldOpen = nullptr;
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
  ASSERT_TRUE(ExecuteSaveLog(Main.get(), &Columns));
  EXPECT_EQ(CsvRows(Dir.File(L"first.csv")), 3);
  EXPECT_FALSE(mainEnabledDuringExport);
  EXPECT_TRUE(progressShown);
  EXPECT_TRUE(IsWindowEnabled(Main->Handle()));
  EXPECT_EQ(ProgressWindow(), nullptr) << "the progress window is freed";
  EXPECT_EQ(GOpened, std::vector<std::wstring>{Dir.File(L"first.csv")});

  const TSaveLogDialogParams& asked = GAnswer.Asked[0];
  EXPECT_EQ(asked.DefaultExt, L"htm");
  EXPECT_EQ(asked.FileName.size(), std::wstring(L"Calderwisp Log ").size() + 14) << asked.FileName;
  EXPECT_EQ(asked.FileName.rfind(L"Calderwisp Log 20", 0), 0u) << asked.FileName;

  // The next save starts in the folder of this one; the second type is HTML.
  GAnswer.WhileOpen = nullptr;
  GAnswer.FileName = Dir.File(L"second.htm");
  GAnswer.FilterIndex = 2;
  ASSERT_TRUE(ExecuteSaveLog(Main.get(), &Columns));
  EXPECT_EQ(GAnswer.Asked[1].InitialDir, Dir.Path());
  EXPECT_EQ(ReadTextFile(Dir.File(L"second.htm")).rfind("<!doctype html system>\r\n", 0), 0u);

  // Cancelled in the dialog: nothing is written or opened.
  GAnswer.Confirm = false;
  GAnswer.FileName = Dir.File(L"third.csv");
  EXPECT_FALSE(ExecuteSaveLog(Main.get(), &Columns));
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
         PumpUntil([p] { return GetActiveWindow() == p->Handle(); }, 2000);
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
    ASSERT_TRUE(ExecuteSaveLog(Main.get(), &Columns)) << c.what;
    // Row 0 is written before the first message processing sees the stop; one more follows.
    EXPECT_EQ(CsvRows(file), 2) << c.what;
    EXPECT_TRUE(IsWindowEnabled(Main->Handle())) << c.what;
  }
}

TEST_F(SaveLog, TheSaveActionCannotStartASecondExportWhileOneRuns) {
  AddMessages(5);
  TLater later;
  GAnswer.FileName = Dir.File(L"once.csv");
  bool nestedResult = true;
  GAnswer.WhileOpen = [&] {
    GAnswer.WhileOpen = nullptr;
    later.Post([&] {
      // The short cut (to the disabled main window) and a direct call of the flow.
      PressCtrlS(Main->Handle());
      nestedResult = ExecuteSaveLog(Main.get(), &Columns);
      EXPECT_TRUE(IsSavingLog());
    });
  };
  ASSERT_TRUE(ExecuteSaveLog(Main.get(), &Columns));
  PumpFor(50);
  ReleaseCtrl();
  EXPECT_FALSE(nestedResult);
  EXPECT_EQ(GAnswer.Asked.size(), 1u) << "no second dialog";
  EXPECT_EQ(CsvRows(Dir.File(L"once.csv")), 5);
  EXPECT_FALSE(IsSavingLog());

  // The same short cut does start a save when none runs.
  GAnswer.Confirm = false;
  Main->Show();
  PumpUntil([&] { return GetActiveWindow() == Main->Handle(); }, 2000);
  PressCtrlS(Main->Handle());
  PumpUntil([&] { return GAnswer.Asked.size() == 2; }, 2000);
  ReleaseCtrl();
  EXPECT_EQ(GAnswer.Asked.size(), 2u);
}

TEST_F(SaveLog, AFailureReadsErrorSavingLogAndTheMainWindowIsEnabledAgain) {
  AddMessages(1);
  GAnswer.FileName = Dir.File(L"missing folder\\log.csv");
  try {
    ExecuteSaveLog(Main.get(), &Columns);
    ADD_FAILURE() << "no error";
  } catch (const Exception& e) {
    const std::vector<std::wstring> lines = SplitLines(e.Message());
    ASSERT_GE(lines.size(), 2u) << e.Message();
    EXPECT_EQ(lines[0], L"Error saving log");
    EXPECT_EQ(lines[1].rfind(L"Cannot create file", 0), 0u) << e.Message();
  }
  EXPECT_TRUE(IsWindowEnabled(Main->Handle()));
  EXPECT_FALSE(IsSavingLog());
  EXPECT_TRUE(GOpened.empty());
  EXPECT_EQ(ProgressWindow(), nullptr);
}
