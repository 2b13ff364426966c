// The process picker under Xvfb: it lists a running fixture program, enables OK only with a
// selection, sizes its file-name column by its rule, opens its help topic, ends with OK on a
// double click, and shows its texts in the language chosen, at show and after a switch.
#include "Tracer/app/fSelProcessDlg.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "Tracer/foundation/uMultiLanguage.h"
#include "Tracer/foundation/uSingletons.h"
#include "Tracer/window/WindowTestSupport.h"
#include "lib/dgn/windows/DgnHandle.h"
#include "support/TestSupport.h"

namespace {

// tracee.exe ticking until its stop file exists.
class TFixtureProcess {
public:
  TFixtureProcess() {
    std::wstring cmd = L"\"" + TestBinDir() + L"tracee.exe\" busy \"" + FDir.File(L"truth.txt") + L"\" \"" +
                       FDir.File(L"stop") + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return;
    FProcess.Reset(pi.hProcess);
    TDgnHandle thread(pi.hThread);
    FId = pi.dwProcessId;
    // Running once it reported itself ready.
    PumpUntil([&] {
      try {
        return ReadTextFile(FDir.File(L"truth.txt")).find("# ready") != std::string::npos;
      } catch (...) {
        return false;
      }
    }, 10000);
  }
  ~TFixtureProcess() {
    if (!FProcess) return;
    WriteTextFile(FDir.File(L"stop"), "");
    if (WaitForSingleObject(FProcess.Get(), ScaledMs(5000)) != WAIT_OBJECT_0) TerminateProcess(FProcess.Get(), 1);
  }
  DWORD Id() const { return FId; }

private:
  TTempDir FDir;
  TDgnHandle FProcess;
  DWORD FId = 0;
};

int RowOf(TSelProcessDlg& dlg, DWORD pid) {
  for (int i = 0; i < dlg.lvwProcesses->ItemCount(); ++i)
    if (dlg.lvwProcesses->ItemText(i, 0) == std::to_wstring(pid)) return i;
  return -1;
}

bool EndsWithNoCase(const std::wstring& s, const std::wstring& tail) {
  return s.size() >= tail.size() && _wcsicmp(s.c_str() + s.size() - tail.size(), tail.c_str()) == 0;
}

std::vector<std::wstring> GHelpTopics;
void RecordHelpTopic(const std::wstring& topic) { GHelpTopics.push_back(topic); }

class SelProcessDlg : public testing::Test {
protected:
  static void SetUpTestSuite() { AddTestShutdown(FreeInstanceList); }
  void SetUp() override {
    GHelpTopics.clear();
    FOldHelp = SetHelpTopicFunc(RecordHelpTopic);
  }
  void TearDown() override { SetHelpTopicFunc(FOldHelp); }
  std::unique_ptr<TSelProcessDlg> ShowPicker() {
    auto dlg = CreateForm<TSelProcessDlg>(nullptr);
    dlg->Show();
    ActivateWithin(dlg->Handle(), 5000);
    return dlg;
  }
  THelpTopicFunc FOldHelp = nullptr;
};

}  // namespace

TEST_F(SelProcessDlg, ListsTheFixtureByIdAndNameAndEnablesOKOnlyWithASelection) {
  TFixtureProcess fixture;
  ASSERT_NE(fixture.Id(), 0u);
  auto dlg = ShowPicker();
  EXPECT_EQ(dlg->WindowText(), L"Attach to process");
  EXPECT_FALSE(dlg->btnOK->Enabled());

  const int row = RowOf(*dlg, fixture.Id());
  ASSERT_GE(row, 0) << "the fixture's process id is listed";
  EXPECT_TRUE(EndsWithNoCase(dlg->lvwProcesses->ItemText(row, 1), L"\\tracee.exe")) << dlg->lvwProcesses->ItemText(row, 1);
  EXPECT_EQ(RowOf(*dlg, GetCurrentProcessId()), -1) << "our own process is not offered";

  dlg->lvwProcesses->SetItemIndex(row);
  dlg->lvwProcesses->EnsureVisible(row);
  EXPECT_TRUE(dlg->btnOK->Enabled());
  ASSERT_NE(dlg->SelectedProcess(), nullptr);
  EXPECT_EQ(dlg->SelectedProcess()->ProcessId(), fixture.Id());
  PumpFor(100);
  SaveWindowScreenshot(dlg->Handle(), L"SelProcessDlg");

  dlg->lvwProcesses->SetItemIndex(-1);
  EXPECT_FALSE(dlg->btnOK->Enabled());
  EXPECT_EQ(dlg->SelectedProcess(), nullptr);
}

TEST_F(SelProcessDlg, FileNameColumnFollowsTheWidthRule) {
  auto dlg = CreateForm<TSelProcessDlg>(nullptr);
  // At creation: the list's width less the PID column, a vertical scroll bar and 4.
  EXPECT_EQ(dlg->lvwProcesses->ColumnWidth(0), 60);
  EXPECT_EQ(dlg->lvwProcesses->ColumnWidth(1), 369 - 60 - GetSystemMetrics(SM_CXVSCROLL) - 4);
  dlg->Show();
  for (int width : {520, 450, 400}) {
    dlg->SetClientSize(width, 300);
    EXPECT_EQ(dlg->ClientWidth(), width);
    EXPECT_EQ(dlg->lvwProcesses->ColumnWidth(1), width - 60 - 48) << "client width " << width;
    // The list follows all four edges, the buttons the right and bottom ones.
    EXPECT_EQ(dlg->lvwProcesses->Width(), width - 31);
    EXPECT_EQ(dlg->btnHelp->Left(), width - 82);
    EXPECT_EQ(dlg->btnHelp->Top(), 300 - 32);
  }
}

TEST_F(SelProcessDlg, DoubleClickOnARowEndsTheModalLoopWithOK) {
  TFixtureProcess fixture;
  auto dlg = CreateForm<TSelProcessDlg>(nullptr);
  const int row = RowOf(*dlg, fixture.Id());
  ASSERT_GE(row, 0);
  bool clicked = false;
  Application()->OnIdle = [&](bool&) {
    if (clicked || !dlg->Visible()) return;
    clicked = true;
    dlg->lvwProcesses->EnsureVisible(row);
    RECT r = dlg->lvwProcesses->ItemRect(row);
    const LPARAM at = MAKELPARAM((r.left + r.right) / 2, (r.top + r.bottom) / 2);
    for (UINT msg : {WM_LBUTTONDOWN, WM_LBUTTONUP, WM_LBUTTONDBLCLK, WM_LBUTTONUP})
      PostMessageW(dlg->lvwProcesses->Handle(), msg, msg == WM_LBUTTONUP ? 0 : MK_LBUTTON, at);
  };
  TTimer safety(nullptr, L"tmrSafety", ScaledMs(10000));
  safety.OnTimer = [&](TTimer*) { dlg->SetModalResult(mrCancel); };
  const int result = dlg->ShowModal();
  Application()->OnIdle = nullptr;
  EXPECT_EQ(result, mrOK);
  ASSERT_NE(dlg->SelectedProcess(), nullptr);
  EXPECT_EQ(dlg->SelectedProcess()->ProcessId(), fixture.Id());
}

TEST_F(SelProcessDlg, F1AndTheHelpButtonOpenTheAttachTopicOnce) {
  auto dlg = ShowPicker();
  dlg->lvwProcesses->SetFocus();
  PostMessageW(dlg->lvwProcesses->Handle(), WM_KEYDOWN, VK_F1, 0);
  PostMessageW(dlg->lvwProcesses->Handle(), WM_KEYUP, VK_F1, 0);
  PumpFor(200);
  EXPECT_EQ(GHelpTopics, std::vector<std::wstring>{L"html\\attach.htm"}) << "F1 is consumed by the form";
  SendMessageW(dlg->btnHelp->Handle(), BM_CLICK, 0, 0);
  SendMessageW(dlg->Handle(), WM_HELP, 0, 0);
  EXPECT_EQ(GHelpTopics.size(), 3u);
  EXPECT_EQ(GHelpTopics.back(), L"html\\attach.htm");
}

namespace {

const char kGermanLng[] =
    "[TfrmBase]\r\n"
    "btnOK.Caption=Nie\r\n"
    "[TfrmBaseDlg]\r\n"
    "Caption=Dialog\r\n"
    "btnOK.Caption=&OK (Dialog)\r\n"
    "btnCancel.Caption=&Abbrechen\r\n"
    "btnHelp.Caption=&Hilfe\r\n"
    "[TSelProcessDlg]\r\n"
    "Caption=Prozess ausw\xC3\xA4hlen\r\n"
    "btnOK.Caption=&Anh\xC3\xA4ngen\r\n"
    "lvwProcessesCol1.Caption=Dateiname\r\n";

// German.lng in the "lang" folder beside the test program while alive; English again after.
class TGermanLanguage {
public:
  TGermanLanguage() {
    CreateDirectoryW(Folder().c_str(), nullptr);
    WriteTextFile(File(), kGermanLng);
    GetMultiLanguage()->ReadLanguages();
    GetMultiLanguage()->SetLanguage(L"English");
  }
  ~TGermanLanguage() {
    GetMultiLanguage()->SetLanguage(L"English");
    DeleteFileW(File().c_str());
    GetMultiLanguage()->ReadLanguages();
  }
  static std::wstring Folder() { return TestBinDir() + L"lang"; }
  static std::wstring File() { return Folder() + L"\\German.lng"; }
};

struct TPickerTexts {
  std::wstring caption, ok, cancel, help, pid, fileName;
};

TPickerTexts TextsOf(TSelProcessDlg& dlg) {
  return {dlg.WindowText(),          dlg.btnOK->Caption(),
          dlg.btnCancel->Caption(),  dlg.btnHelp->Caption(),
          dlg.lvwProcesses->ColumnCaption(0), dlg.lvwProcesses->ColumnCaption(1)};
}

void ExpectTexts(TSelProcessDlg& dlg, const TPickerTexts& expected, const char* when) {
  TPickerTexts t = TextsOf(dlg);
  EXPECT_EQ(t.caption, expected.caption) << when;
  EXPECT_EQ(t.ok, expected.ok) << when;
  EXPECT_EQ(t.cancel, expected.cancel) << when;
  EXPECT_EQ(t.help, expected.help) << when;
  EXPECT_EQ(t.pid, expected.pid) << when;
  EXPECT_EQ(t.fileName, expected.fileName) << when;
}

const TPickerTexts kEnglish{L"Attach to process", L"&OK", L"&Cancel", L"&Help", L"PID", L"File name"};
const TPickerTexts kGerman{L"Prozess ausw\u00E4hlen", L"&Anh\u00E4ngen", L"&Abbrechen", L"&Hilfe", L"PID", L"Dateiname"};

}  // namespace

TEST_F(SelProcessDlg, GermanLanguageFileTranslatesAtShowAndAfterASwitch) {
  TGermanLanguage german;
  auto dlg = ShowPicker();
  ExpectTexts(*dlg, kEnglish, "shown in English");

  // A language switch re-translates the visible form; the most derived section wins.
  GetMultiLanguage()->SetLanguage(L"German");
  dlg->Translate();
  ExpectTexts(*dlg, kGerman, "after switching to German");
  PumpFor(100);
  SaveWindowScreenshot(dlg->Handle(), L"SelProcessDlg-German");

  GetMultiLanguage()->SetLanguage(L"English");
  dlg->Translate();
  ExpectTexts(*dlg, kEnglish, "after switching back to English");

  // A hidden form picks up the language at its next show.
  dlg->Hide();
  GetMultiLanguage()->SetLanguage(L"German");
  dlg->Show();
  ExpectTexts(*dlg, kGerman, "shown again after a switch while hidden");
  dlg->Show();
  ExpectTexts(*dlg, kGerman, "shown twice in German");

  // A new picker shows German at its first show.
  dlg.reset();
  auto second = ShowPicker();
  ExpectTexts(*second, kGerman, "a new picker");
}
