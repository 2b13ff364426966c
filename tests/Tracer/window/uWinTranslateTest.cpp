// Window translation: the component walk, action-bound controls and the way back to the
// built-in texts.
#include "Tracer/window/uWinTranslate.h"

#include <gtest/gtest.h>

#include "Tracer/foundation/uMultiLanguage.h"
#include "Tracer/foundation/uSingletons.h"
#include "Tracer/window/uWinComCtrls.h"
#include "Tracer/window/uWinCtrls.h"
#include "Tracer/window/WindowTestSupport.h"
#include "Tracer/window/uWinForms.h"
#include "support/TestSupport.h"

namespace {

class TSampleForm : public TForm {
public:
  TSampleForm() : TForm(nullptr, L"TSampleForm", 300, 200) {
    actions = new TActionList(this);
    actRun = new TAction(this, actions, L"actRun");
    actRun->SetCaption(L"&Run");
    actRun->SetHint(L"Run");
    btnRun = new TButton(this, this, L"btnRun", L"", 8, 8);
    btnRun->SetAction(actRun);
    lblName = new TLabel(this, this, L"lblName", L"Name", 8, 40, 100, 16);
    edtName = new TEdit(this, this, L"edtName", 8, 60, 100);
    edtName->SetText(L"typed");
    auto* unnamed = new TLabel(this, this, L"", L"Unnamed", 8, 90, 100, 16);
    (void)unnamed;
    pnl = new TPanel(this, this, 150, 8, 100, 100);
    pnl->SetName(L"pnl");
    lblInner = new TLabel(pnl, pnl, L"lblInner", L"Inner", 4, 4, 80, 16);
  }
  TActionList* actions;
  TAction* actRun;
  TButton* btnRun;
  TLabel *lblName, *lblInner;
  TEdit* edtName;
  TPanel* pnl;
};

const std::vector<std::wstring> kProps{L"Caption", L"Hint", L"Text"};

}  // namespace

TEST(WindowTranslate, TreeTranslatesOwnedComponentsAndLeavesActionBoundOnesToTheirAction) {
  AddTestShutdown(FreeInstanceList);
  TTestLanguageFile dutch(L"Dutch",
      "[TSampleForm]\r\n"
      "actRun.Caption=&Starten\r\n"
      "btnRun.Caption=Knop\r\n"
      "lblName.Caption=Naam\r\n"
      "edtName.Text=getypt\r\n"
      "pnl.lblInner.Caption=Binnen (prefix)\r\n"
      "lblInner.Caption=Binnen\r\n"
      "Caption=Onbenoemd\r\n");
  auto form = CreateForm<TSampleForm>();
  GetMultiLanguage()->SetLanguage(L"Dutch");
  TranslateComponentTree("TSampleForm", *form, kProps, "");
  EXPECT_EQ(form->actRun->Caption(), L"&Starten");
  EXPECT_EQ(form->btnRun->Caption(), L"&Starten") << "the button shows its action's text, not its own entry";
  EXPECT_EQ(form->lblName->Caption(), L"Naam");
  EXPECT_EQ(form->edtName->Text(), L"getypt");
  EXPECT_EQ(form->lblInner->Caption(), L"Binnen") << "owned by the panel, found by its own name";

  // With an extra part the keys are "<extra>.<name>.<property>".
  TranslateComponent("TSampleForm", *form->lblInner, kProps, "pnl");
  EXPECT_EQ(form->lblInner->Caption(), L"Binnen (prefix)");

  // Back to English: the built-in texts, not the Dutch ones as new defaults.
  GetMultiLanguage()->SetLanguage(L"English");
  RestoreBuiltInTexts(*form, kProps);
  TranslateComponentTree("TSampleForm", *form, kProps, "");
  EXPECT_EQ(form->lblName->Caption(), L"Name");
  EXPECT_EQ(form->btnRun->Caption(), L"&Run");
  EXPECT_EQ(form->edtName->Text(), L"typed");
  // A text the program changed after its translation is kept.
  GetMultiLanguage()->SetLanguage(L"Dutch");
  TranslateComponentTree("TSampleForm", *form, kProps, "");
  form->lblName->SetCaption(L"Set by code");
  GetMultiLanguage()->SetLanguage(L"English");
  RestoreBuiltInTexts(*form, kProps);
  EXPECT_EQ(form->lblName->Caption(), L"Set by code");
}
