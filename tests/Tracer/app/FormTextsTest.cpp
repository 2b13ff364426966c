// Every form and dialog of the program under Xvfb, in English and in German (longer words):
// each static text, button and column header shows its whole text in its own font, and a
// screenshot of each is saved beside the test program ("Texts-<form>-<language>.png").
#include <gtest/gtest.h>

#include <functional>
#include <memory>

#include "AppTestSupport.h"
#include "LogTestSupport.h"
#include "Tracer/app/fAboutDlg.h"
#include "Tracer/app/fEventProps.h"
#include "Tracer/app/fMain.h"
#include "Tracer/app/fOptions.h"
#include "Tracer/app/fProgress.h"
#include "Tracer/app/fSelColorsDlg.h"
#include "Tracer/app/fSelProcessDlg.h"
#include "Tracer/app/fStmtColorDlg.h"
#include "Tracer/app/uMainEntryPoints.h"
#include "Tracer/foundation/uErrorReport.h"
#include "Tracer/foundation/uMultiLanguage.h"
#include "Tracer/foundation/uUtils.h"
#include "Tracer/foundation/uWideStrUtils.h"
#include "Tracer/window/WindowTestSupport.h"
#include "Tracer/window/uErrorDialog.h"
#include "Tracer/window/uWinDialogs.h"
#include "support/TestSupport.h"

namespace {

const char kGermanLng[] =
    "[TfrmBaseDlg]\r\nbtnCancel.Caption=&Abbrechen\r\nbtnHelp.Caption=&Hilfe\r\n"
    "[TfrmMain]\r\ntshTrace.Caption=Ablaufverfolgung\r\ntshSymbols.Caption=Symbole\r\n"
    "lvwTraceCol0.Caption=Thread\r\nlvwTraceCol1.Caption=Aufruf\r\nlvwTraceCol2.Caption=Zeit (ms)\r\n"
    "lvwTraceCol3.Caption=Ergebnis\r\nlvwTraceCol4.Caption=Parameter\r\n"
    "lvwSymbolFilesCol0.Caption=Geladene Symbole\r\nlvwProcDefsCol0.Caption=Geladene Funktionen\r\n"
    "[TSelColorsDlg]\r\nCaption=Farben w\xC3\xA4hlen\r\nlblSearchStr.Caption=Suchbegriff\r\n"
    "lblForeColor.Caption=Vordergrundfarbe\r\nlblBackColor.Caption=Hintergrundfarbe\r\nlblSample.Caption=VORSCHAU\r\n"
    "[TStmtColorDlg]\r\nCaption=Hervorhebung von Anweisungen\r\nlvwCol0.Caption=Suchbegriff\r\nlvwCol1.Caption=Farbe\r\n"
    "[TSelProcessDlg]\r\nCaption=Prozess ausw\xC3\xA4hlen\r\nbtnOK.Caption=&Anh\xC3\xA4ngen\r\n"
    "lvwProcessesCol1.Caption=Dateiname\r\n"
    "[TfrmOptions]\r\nCaption=Optionen\r\n[TfrmProgress]\r\nCaption=Bitte warten...\r\nbtnCancel.Caption=&Abbrechen\r\n"
    "[TfrmEventProps]\r\nCaption=Ereigniseigenschaften\r\nbtnOK.Caption=&Schlie\xC3\x9F" "en\r\n"
    "[Messages]\r\nSError=Fehler\r\nSSendErrorReport=Fehlerbericht senden\r\n"
    "SAdditionalParams=Befehlszeilenparameter:\r\nSTimeFormat=Zeitformat\r\nSVisibleColumns=Spalten\r\n";

int SwallowBox(HWND, const std::wstring&, const std::wstring&, UINT) { return IDOK; }

BOOL CALLBACK TakeDialog(HWND window, LPARAM found) {
  wchar_t cls[16] = {};
  GetClassNameW(window, cls, 16);
  if (std::wstring(cls) != L"#32770" || !IsWindowVisible(window)) return TRUE;
  *reinterpret_cast<HWND*>(found) = window;
  return FALSE;
}

using TLook = std::function<void(HWND)>;

// The modal form that show opens, looked at and cancelled at the driver's first chance.
void LookAtModal(const std::function<void()>& show, const TLook& look) {
  TFormDriver driver;
  driver.Then({[](TForm* f) { return f->IsModal(); },
               [look](TForm* f) {
                 PumpFor(50);
                 look(f->Handle());
                 f->SetModalResult(mrCancel);
               }});
  show();
}

// A new form of class T, shown and looked at.
template <class T, class... Args>
void LookAtNew(const TLook& look, Args... args) {
  auto form = CreateForm<T>(args...);
  form->Show();
  PumpFor(50);
  look(form->Handle());
}

class FormTexts : public testing::Test {
protected:
  static void SetUpTestSuite() {
    PrepareAutomation();
    static TTempDir userFolder;
    SetUserDataFolderOverride(userFolder.Path());
    SetMessageBoxFunc(SwallowBox);
    InstallMainWindowEntryPoints();
  }
  void TearDown() override {
    Main.reset();
    GetTracerEventQueue()->Clear();
  }
  std::unique_ptr<TfrmMain> Main;
};

}  // namespace

TEST_F(FormTexts, EveryFormShowsItsWholeTextsInEnglishAndGerman) {
  TTestLanguageFile german(L"Deutsch", kGermanLng);
  TLogScope log;
  struct TRow {
    const wchar_t* Name;
    // Shows the form, hands its window to look, and closes it.
    std::function<void(TfrmMain&, const TLook&)> Show;
  };
  const TRow rows[] = {
      {L"MainTracer", [](TfrmMain& m, const TLook& look) { look(m.Handle()); }},
      {L"MainSymbols",
       [](TfrmMain& m, const TLook& look) {
         m.Layout().pcl->SetActivePage(m.Layout().tshSymbols);
         PumpFor(50);
         look(m.Handle());
         m.Layout().pcl->SetActivePage(m.Layout().tshTrace);
       }},
      {L"AboutBox", [](TfrmMain& m, const TLook& look) { LookAtModal([&m] { m.Layout().actAbout->Execute(); }, look); }},
      {L"Options", [](TfrmMain& m, const TLook& look) { LookAtModal([&m] { m.Layout().actOptions->Execute(); }, look); }},
      {L"HighlightRules", [](TfrmMain& m, const TLook& look) { LookAtModal([&m] { m.Layout().actLogHighlight->Execute(); }, look); }},
      {L"HighlightRuleEditor", [](TfrmMain&, const TLook& look) { LookAtNew<TSelColorsDlg>(look, nullptr); }},
      {L"ProcessPicker", [](TfrmMain&, const TLook& look) { LookAtNew<TSelProcessDlg>(look, nullptr); }},
      {L"Progress", [](TfrmMain& m, const TLook& look) { LookAtNew<TfrmProgress>(look, &m); }},
      {L"EventProps",
       [](TfrmMain& m, const TLook& look) {
         m.LogView().SelectRow(0);
         m.Layout().actLogProperties->Execute();
         PumpFor(50);
         look(GetEventPropsForm()->Handle());
         GetEventPropsForm()->Close();
       }},
      {L"InputBox",
       [](TfrmMain&, const TLook& look) {
         std::wstring value = L"\"C:\\Program Files\\demo.exe\"";
         LookAtModal([&] { InputQuery(L"Start", GetMultiLanguage()->MessageText(SAdditionalParams), value); }, look);
       }},
      {L"ErrorDialog",
       [](TfrmMain&, const TLook& look) {
         // The dialog's own loop runs the timer: the look happens inside it.
         TTimer timer(nullptr, L"tmrLook", 100);
         timer.OnTimer = [look](TTimer* t) {
           HWND dialog = nullptr;
           EnumThreadWindows(GetCurrentThreadId(), TakeDialog, reinterpret_cast<LPARAM>(&dialog));
           if (!dialog) return;
           t->SetEnabled(false);
           look(dialog);
           PostMessageW(dialog, WM_COMMAND, IDOK, 0);
         };
         ShowErrorDialogWindow(*CreateErrorDialog(Exception(L"Cannot open \"trace.log\":\r\nThe disk is full.")), nullptr);
       }},
  };
  for (const wchar_t* language : {L"English", L"Deutsch"}) {
    Main = std::make_unique<TfrmMain>(nullptr);
    Main->Create();
    Main->Show();
    Main->SetLanguage(language);
    ASSERT_EQ(GetMultiLanguage()->MessageText(SError), language == std::wstring(L"English") ? L"Error" : L"Fehler");
    GetTracerEventQueue()->Clear();
    AddLogCall(L"CreateFileW", 1, 1.5, 0, {{L"lpFileName", TOleVariant(L"C:\\trace.log")}});
    PumpFor(100);
    bool done = true;
    Main->AppIdle(done);
    for (const TRow& row : rows) {
      const std::wstring name = std::wstring(row.Name) + L"-" + language;
      bool looked = false;
      row.Show(*Main, [&](HWND window) {
        looked = true;
        for (const std::wstring& fault : ClippedTexts(window)) ADD_FAILURE() << WideToUtf8(name + L": " + fault);
        EXPECT_TRUE(SaveWindowScreenshot(window, L"Texts-" + name)) << WideToUtf8(name);
      });
      EXPECT_TRUE(looked) << WideToUtf8(name) << " was not shown";
    }
    Main.reset();
  }
}
